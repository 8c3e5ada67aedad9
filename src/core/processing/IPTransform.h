// Geometric steps that keep the image size and run through the filter framework.
#pragma once

namespace orlu {

class TFilterRegistry;

// 31 "Flip horizontal", 32 "Flip vertical", 33 "Swap rows", 47 "Shift", 106 "Flip".
void RegisterTransformOperations(TFilterRegistry& registry);

}  // namespace orlu
