// Row conversions from stored integer samples to float planes, shared by the loaders that
// read raw sample rows (SER, TIFF strips, JPEG scanlines, legacy CCD files). The loops are
// compiled for AVX2 as well as the baseline and picked once by the processor: widening
// to floats doubles or quadruples the bytes written, so these loops bound a loader's speed.
#pragma once

#include <cstdint>

namespace orlu {

// n unsigned bytes to n floats.
void WidenU8(const uint8_t* src, float* dst, int32_t n);
// n unsigned 16-bit samples, little-endian (or big-endian) in memory, to n floats.
void WidenU16(const uint8_t* src, float* dst, int32_t n, bool bigEndian);
// n interleaved RGB pixels of unsigned bytes into three planes' rows. Returns true when
// some pixel has unequal samples (the row is not gray).
bool SplitRgb8(const uint8_t* src, float* r, float* g, float* b, int32_t n);
// n interleaved RGB pixels of unsigned 16-bit samples, little- (or big-)endian.
void SplitRgb16(const uint8_t* src, float* r, float* g, float* b, int32_t n, bool bigEndian);

}  // namespace orlu
