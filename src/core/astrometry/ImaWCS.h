// The world-coordinate record of an image: gnomonic projection around a reference point,
// CD matrix in radians per pixel with its inverse, optional SIP distortion polynomials.
// Header reading and writing and the pixel/sky transforms join later.
#pragma once

#include <array>
#include <cstdint>

namespace orlu {

// One SIP polynomial: 15 coefficients in the order of kSipTerms; the five fourth-order
// terms take part only with Order4.
struct TSipPolynomial {
  std::array<double, 15> Coef{};
  bool Order4 = false;

  bool operator==(const TSipPolynomial&) const = default;
};

// Exponents (p, q) of u^p·v^q for each coefficient: A_0_0, A_1_0, A_0_1, A_1_1, A_2_0,
// A_0_2, A_2_1, A_1_2, A_3_0, A_0_3, A_3_1, A_1_3, A_2_2, A_4_0, A_0_4.
inline constexpr std::array<std::array<int32_t, 2>, 15> kSipTerms{{
    {0, 0}, {1, 0}, {0, 1}, {1, 1}, {2, 0}, {0, 2}, {2, 1}, {1, 2},
    {3, 0}, {0, 3}, {3, 1}, {1, 3}, {2, 2}, {4, 0}, {0, 4}}};

struct TWcs {
  double RA0 = 0;     // reference point right ascension, radians (CRVAL1)
  double Dec0 = 0;    // reference point declination, radians (CRVAL2)
  double X0 = 0;      // reference pixel column, 0-based (CRPIX1 - 1)
  double Y0 = 0;      // reference pixel row, 0-based (CRPIX2 - 1)
  double SinDec0 = 0, CosDec0 = 1;  // kept up to date by UpdateDerived
  double CD11 = 0, CD12 = 0, CD21 = 0, CD22 = 0;      // radians per pixel
  double ICD11 = 0, ICD12 = 0, ICD21 = 0, ICD22 = 0;  // inverse of CD
  TSipPolynomial SipA;  // added to the column offset
  TSipPolynomial SipB;  // added to the row offset
  bool HasSIP = false;

  // The placeholder solution of a new image: RA 270°, Dec 55°, reference pixel at the
  // centre of a width × height image, CD [[-1e-5, 0], [0, 1e-5]], no SIP.
  void InitWCS(int32_t width, int32_t height);
  // Recomputes SinDec0, CosDec0 and the inverse matrix after Dec0 or CD changed.
  // A singular matrix gives a zero inverse.
  void UpdateDerived();
  // The record carries SIP distortion terms.
  bool HasSipTerms() const { return HasSIP; }

  // Follows a horizontal (or vertical) mirror of a width × height image, polynomials
  // included; doing it twice restores the record exactly.
  void FlipWCS(int32_t width, int32_t height, bool vertical);
  // Follows a crop whose new pixel (0, 0) is the old pixel (x0, y0).
  void CropWCS(double x0, double y0);

  bool operator==(const TWcs&) const = default;
};

}  // namespace orlu
