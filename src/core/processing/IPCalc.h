// Pixel arithmetic steps: an image with a constant, and an image with a second image.
#pragma once

namespace orlu {

class TFilterRegistry;

// 0..5 constant steps, 49/50 clamps (row by row, masked by the framework), 61..68 the
// two-image steps with the second image chosen by title.
void RegisterCalcOperations(TFilterRegistry& registry);

}  // namespace orlu
