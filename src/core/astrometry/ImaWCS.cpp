#include "astrometry/ImaWCS.h"

#include <cmath>
#include <numbers>

namespace orlu {

void TWcs::InitWCS(int32_t width, int32_t height) {
  constexpr double kDeg = std::numbers::pi / 180.0;
  RA0 = 270.0 * kDeg;
  Dec0 = 55.0 * kDeg;
  X0 = (double(width) - 1.0) / 2.0;
  Y0 = (double(height) - 1.0) / 2.0;
  CD11 = -1e-5;
  CD12 = 0.0;
  CD21 = 0.0;
  CD22 = 1e-5;
  SipA = TSipPolynomial{};
  SipB = TSipPolynomial{};
  HasSIP = false;
  UpdateDerived();
}

void TWcs::UpdateDerived() {
  SinDec0 = std::sin(Dec0);
  CosDec0 = std::cos(Dec0);
  const double det = CD11 * CD22 - CD12 * CD21;
  if (det == 0.0 || !std::isfinite(det)) {
    ICD11 = ICD12 = ICD21 = ICD22 = 0.0;
    return;
  }
  ICD11 = CD22 / det;
  ICD12 = -CD12 / det;
  ICD21 = -CD21 / det;
  ICD22 = CD11 / det;
}

void TWcs::FlipWCS(int32_t width, int32_t height, bool vertical) {
  // Mirroring an axis negates that offset: a term u^p·v^q changes sign with the parity of
  // the mirrored exponent, and the polynomial of the mirrored axis changes sign as a whole.
  if (!vertical) {
    CD11 = -CD11;
    CD21 = -CD21;
    X0 = double(width) - 1.0 - X0;
    for (size_t k = 0; k < kSipTerms.size(); ++k) {
      if (kSipTerms[k][0] % 2 == 0) SipA.Coef[k] = -SipA.Coef[k];
      if (kSipTerms[k][0] % 2 == 1) SipB.Coef[k] = -SipB.Coef[k];
    }
  } else {
    CD12 = -CD12;
    CD22 = -CD22;
    Y0 = double(height) - 1.0 - Y0;
    for (size_t k = 0; k < kSipTerms.size(); ++k) {
      if (kSipTerms[k][1] % 2 == 1) SipA.Coef[k] = -SipA.Coef[k];
      if (kSipTerms[k][1] % 2 == 0) SipB.Coef[k] = -SipB.Coef[k];
    }
  }
  UpdateDerived();
}

void TWcs::CropWCS(double x0, double y0) {
  // Offsets from the reference pixel are unchanged by a crop, so the polynomials stay.
  X0 -= x0;
  Y0 -= y0;
}

}  // namespace orlu
