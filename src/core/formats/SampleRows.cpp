// Plain loops that the compiler vectorises; each has an AVX2 clone chosen at load time.
// Sources and destinations never overlap (restrict), which the vectoriser needs.
#include "formats/SampleRows.h"

namespace orlu {

#if defined(__x86_64__) && defined(__GNUC__)
#define ORLU_ROW_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define ORLU_ROW_CLONES
#endif

namespace {

inline uint16_t Load16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint16_t Load16Swapped(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

ORLU_ROW_CLONES
void WidenU16Le(const uint8_t* __restrict src, float* __restrict dst, int32_t n) {
  for (int32_t i = 0; i < n; ++i) dst[i] = float(Load16(src + 2 * i));
}

ORLU_ROW_CLONES
void WidenU16Be(const uint8_t* __restrict src, float* __restrict dst, int32_t n) {
  for (int32_t i = 0; i < n; ++i) dst[i] = float(Load16Swapped(src + 2 * i));
}

ORLU_ROW_CLONES
void SplitRgb16Le(const uint8_t* __restrict s, float* __restrict r, float* __restrict g,
                  float* __restrict b, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    r[i] = float(Load16(s + 6 * i));
    g[i] = float(Load16(s + 6 * i + 2));
    b[i] = float(Load16(s + 6 * i + 4));
  }
}

ORLU_ROW_CLONES
void SplitRgb16Be(const uint8_t* __restrict s, float* __restrict r, float* __restrict g,
                  float* __restrict b, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    r[i] = float(Load16Swapped(s + 6 * i));
    g[i] = float(Load16Swapped(s + 6 * i + 2));
    b[i] = float(Load16Swapped(s + 6 * i + 4));
  }
}

ORLU_ROW_CLONES
uint32_t SplitRgb8Loop(const uint8_t* __restrict s, float* __restrict r, float* __restrict g,
                       float* __restrict b, int32_t n) {
  uint32_t differ = 0;
  for (int32_t i = 0; i < n; ++i) {
    const uint8_t cr = s[3 * i], cg = s[3 * i + 1], cb = s[3 * i + 2];
    r[i] = float(cr);
    g[i] = float(cg);
    b[i] = float(cb);
    differ |= uint32_t(cr ^ cg) | uint32_t(cg ^ cb);
  }
  return differ;
}

}  // namespace

ORLU_ROW_CLONES
void WidenU8(const uint8_t* __restrict src, float* __restrict dst, int32_t n) {
  for (int32_t i = 0; i < n; ++i) dst[i] = float(src[i]);
}

void WidenU16(const uint8_t* src, float* dst, int32_t n, bool bigEndian) {
  if (bigEndian) WidenU16Be(src, dst, n);
  else WidenU16Le(src, dst, n);
}

bool SplitRgb8(const uint8_t* src, float* r, float* g, float* b, int32_t n) {
  return SplitRgb8Loop(src, r, g, b, n) != 0;
}

void SplitRgb16(const uint8_t* src, float* r, float* g, float* b, int32_t n, bool bigEndian) {
  if (bigEndian) SplitRgb16Be(src, r, g, b, n);
  else SplitRgb16Le(src, r, g, b, n);
}

}  // namespace orlu
