// Operations of the filter framework that other subsystems already provide: the FITS
// keyword step, the visualization steps with the histogram stretch, and the data format.
#pragma once

namespace orlu {

class TFilterRegistry;

// 6 "FITS keyword".
void RegisterHeaderOperations(TFilterRegistry& registry);
// 26 "Visualization", 27 "Visualization percentage", 55 "Visualization sigma",
// 102 "Histogram stretch".
void RegisterVisualOperations(TFilterRegistry& registry);
// 82 "Format Float", 83 "Format Integer", 84 "Format Color", 85 "Format Grayscale".
void RegisterFormatOperations(TFilterRegistry& registry);

}  // namespace orlu
