#include "astrometry/ImaWCS.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <system_error>

#include "astrometry/LibAstro.h"
#include "base/EOrluError.h"
#include "base/OrluMath.h"
#include "base/TextNumbers.h"
#include "fits/ImaHeader.h"
#include "image/ImaColor.h"

namespace orlu {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kDeg = kPi / 180.0;

// Number of coefficients in use.
inline size_t TermCount(const TSipPolynomial& p) { return p.Order4 ? 15 : 10; }

// The monomials u^p·v^q of kSipTerms and their partial derivatives.
struct TMonomials {
  double M[15], Du[15], Dv[15];
};

inline void Monomials(double u, double v, bool order4, TMonomials& m) {
  const double u2 = u * u, v2 = v * v, uv = u * v;
  m.M[0] = 1;       m.Du[0] = 0;           m.Dv[0] = 0;
  m.M[1] = u;       m.Du[1] = 1;           m.Dv[1] = 0;
  m.M[2] = v;       m.Du[2] = 0;           m.Dv[2] = 1;
  m.M[3] = uv;      m.Du[3] = v;           m.Dv[3] = u;
  m.M[4] = u2;      m.Du[4] = 2 * u;       m.Dv[4] = 0;
  m.M[5] = v2;      m.Du[5] = 0;           m.Dv[5] = 2 * v;
  m.M[6] = u2 * v;  m.Du[6] = 2 * uv;      m.Dv[6] = u2;
  m.M[7] = u * v2;  m.Du[7] = v2;          m.Dv[7] = 2 * uv;
  m.M[8] = u2 * u;  m.Du[8] = 3 * u2;      m.Dv[8] = 0;
  m.M[9] = v2 * v;  m.Du[9] = 0;           m.Dv[9] = 3 * v2;
  if (!order4) return;
  m.M[10] = u2 * uv;  m.Du[10] = 3 * u2 * v;  m.Dv[10] = u2 * u;
  m.M[11] = uv * v2;  m.Du[11] = v2 * v;      m.Dv[11] = 3 * u * v2;
  m.M[12] = u2 * v2;  m.Du[12] = 2 * u * v2;  m.Dv[12] = 2 * u2 * v;
  m.M[13] = u2 * u2;  m.Du[13] = 4 * u2 * u;  m.Dv[13] = 0;
  m.M[14] = v2 * v2;  m.Du[14] = 0;           m.Dv[14] = 4 * v2 * v;
}

inline double Dot(const TSipPolynomial& p, const double* m) {
  double s = 0;
  const size_t n = TermCount(p);
  for (size_t k = 0; k < n; ++k) s += p.Coef[k] * m[k];
  return s;
}

// A real card value as the header's number reader sees it (FORTRAN "D" exponents
// included); false when the card is missing, a string or does not start with a number.
bool ReadReal(const TFitsStrings& h, std::string_view key, double& out) {
  bool found = false;
  if (h.IsStringKey(key)) return false;
  std::string raw = h.GetRawValue(key, found);
  if (!found) return false;
  size_t end = 0;
  while (end < raw.size() && raw[end] != ' ' && raw[end] != '/') ++end;
  raw.resize(end);
  for (char& c : raw)
    if (c == 'D' || c == 'd') c = 'E';
  double v = 0;
  if (!ParseDouble(raw, v) || !std::isfinite(v)) return false;
  out = v;
  return true;
}

// Keyword of a value card ("=" in column 9), upper-cased and trimmed; empty otherwise.
std::string ValueKeyword(const std::string& card) {
  if (card.size() < 9 || card[8] != '=') return {};
  return TFitsStrings::KeywordOf(card);
}

// Parses "P_p_q" style SIP keywords (prefix A_, B_, AP_, BP_): the family index
// (0 A, 1 B, 2 AP, 3 BP) and p, q; false for anything else, ORDER cards included.
bool ParseSipKeyword(std::string_view kw, int& family, int& p, int& q) {
  static constexpr std::string_view kPrefix[] = {"A_", "B_", "AP_", "BP_"};
  for (int f = 3; f >= 0; --f) {
    if (kw.substr(0, kPrefix[f].size()) != kPrefix[f]) continue;
    std::string_view rest = kw.substr(kPrefix[f].size());
    const size_t us = rest.find('_');
    if (us == std::string_view::npos || us == 0 || us + 1 >= rest.size()) return false;
    int32_t a = 0, b = 0;
    if (!ParseInt32(rest.substr(0, us), a) || !ParseInt32(rest.substr(us + 1), b)) return false;
    if (a < 0 || b < 0 || rest[0] == '+' || rest[us + 1] == '+') return false;
    family = f;
    p = a;
    q = b;
    return true;
  }
  return false;
}

bool IsPcCard(std::string_view kw) {
  return kw.size() == 5 && kw.substr(0, 2) == "PC" && (kw[2] == '1' || kw[2] == '2') &&
         kw[3] == '_' && (kw[4] == '1' || kw[4] == '2');
}

// PVi_m of the two celestial axes: projection parameters or TPV distortion terms.
bool IsPvCard(std::string_view kw) {
  return kw.size() >= 5 && kw.substr(0, 2) == "PV" && (kw[2] == '1' || kw[2] == '2') &&
         kw[3] == '_';
}

// prefix + "p_q" of coefficient k.
std::string SipKey(std::string_view prefix, size_t k) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%.*s%d_%d", int(prefix.size()), prefix.data(), kSipTerms[k][0],
                kSipTerms[k][1]);
  return buf;
}

// Reads one SIP family into poly; false when a card of it does not parse as a number.
bool ReadSipFamily(const TFitsStrings& h, std::string_view prefix, TSipPolynomial& poly) {
  poly = TSipPolynomial{};
  for (size_t k = 0; k < kSipTerms.size(); ++k) {
    const std::string key = SipKey(prefix, k);
    if (!h.HasKey(key)) continue;
    double v = 0;
    if (!ReadReal(h, key, v)) return false;
    poly.Coef[k] = v;
    if (k >= 10) poly.Order4 = true;
  }
  return true;
}

void WriteSipFamily(TFitsStrings& h, std::string_view prefix, const TSipPolynomial& poly) {
  char key[16];
  std::snprintf(key, sizeof key, "%.*sORDER", int(prefix.size()), prefix.data());
  h.SetInt(key, poly.Order4 ? 4 : 3, true);
  for (size_t k = 0; k < TermCount(poly); ++k) {
    h.SetReal(SipKey(prefix, k), true, poly.Coef[k]);
  }
}

// Polynomial in (u, v) of degree up to 4 as c[p][q].
using TPoly5 = std::array<std::array<double, 5>, 5>;

TPoly5 ToPoly5(const TSipPolynomial& s) {
  TPoly5 c{};
  for (size_t k = 0; k < TermCount(s); ++k) c[kSipTerms[k][0]][kSipTerms[k][1]] = s.Coef[k];
  return c;
}

TPoly5 Multiply(const TPoly5& a, const TPoly5& b) {
  TPoly5 r{};
  for (int p1 = 0; p1 < 5; ++p1)
    for (int q1 = 0; p1 + q1 < 5; ++q1) {
      if (a[p1][q1] == 0) continue;
      for (int p2 = 0; p1 + q1 + p2 < 5; ++p2)
        for (int q2 = 0; p1 + q1 + p2 + q2 < 5; ++q2) r[p1 + p2][q1 + q2] += a[p1][q1] * b[p2][q2];
    }
  return r;
}

// c(M·(u, v)) expanded in u and v.
TPoly5 Substitute(const TPoly5& c, double m11, double m12, double m21, double m22) {
  std::array<TPoly5, 5> pu{}, pv{};  // powers of m11·u + m12·v and of m21·u + m22·v
  pu[0][0][0] = pv[0][0][0] = 1;
  TPoly5 lu{}, lv{};
  lu[1][0] = m11;
  lu[0][1] = m12;
  lv[1][0] = m21;
  lv[0][1] = m22;
  for (int n = 1; n < 5; ++n) {
    pu[n] = Multiply(pu[n - 1], lu);
    pv[n] = Multiply(pv[n - 1], lv);
  }
  TPoly5 r{};
  for (int p = 0; p < 5; ++p)
    for (int q = 0; p + q < 5; ++q) {
      if (c[p][q] == 0) continue;
      const TPoly5 t = Multiply(pu[p], pv[q]);
      for (int i = 0; i < 5; ++i)
        for (int j = 0; i + j < 5; ++j) r[i][j] += c[p][q] * t[i][j];
    }
  return r;
}

// New pair (a, b)(n) = M⁻¹·(a, b)(M·n), exactly.
void ComposePair(TSipPolynomial& a, TSipPolynomial& b, double m11, double m12, double m21,
                 double m22) {
  const double det = m11 * m22 - m12 * m21;
  const double i11 = m22 / det, i12 = -m12 / det, i21 = -m21 / det, i22 = m11 / det;
  const TPoly5 pa = Substitute(ToPoly5(a), m11, m12, m21, m22);
  const TPoly5 pb = Substitute(ToPoly5(b), m11, m12, m21, m22);
  const bool order4 = a.Order4 || b.Order4;
  for (size_t k = 0; k < kSipTerms.size(); ++k) {
    const int p = kSipTerms[k][0], q = kSipTerms[k][1];
    const bool use = k < 10 || order4;
    a.Coef[k] = use ? i11 * pa[p][q] + i12 * pb[p][q] : 0.0;
    b.Coef[k] = use ? i21 * pa[p][q] + i22 * pb[p][q] : 0.0;
  }
  a.Order4 = b.Order4 = order4;
}

void FlipPair(TSipPolynomial& a, TSipPolynomial& b, bool vertical) {
  // Mirroring an axis negates that offset: a term u^p·v^q changes sign with the parity of
  // the mirrored exponent, and the polynomial of the mirrored axis changes sign as a whole.
  for (size_t k = 0; k < kSipTerms.size(); ++k) {
    const int e = kSipTerms[k][vertical ? 1 : 0] % 2;
    if ((e == 0) != vertical) a.Coef[k] = -a.Coef[k];
    if ((e == 1) != vertical) b.Coef[k] = -b.Coef[k];
  }
}

std::string FormatApoNumber(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.11e", v);  // C locale: the program never sets LC_NUMERIC
  return buf;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Polynomials

double TSipPolynomial::Value(double u, double v) const {
  TMonomials m;
  Monomials(u, v, Order4, m);
  return Dot(*this, m.M);
}

int32_t TSipPolynomial::Degree() const {
  int32_t d = 0;
  for (size_t k = 0; k < TermCount(*this); ++k)
    if (Coef[k] != 0) d = std::max(d, kSipTerms[k][0] + kSipTerms[k][1]);
  return d;
}

// ---------------------------------------------------------------------------------------
// Record

void TWcs::InitWCS(int32_t width, int32_t height) {
  RA0 = 270.0 * kDeg;
  Dec0 = 55.0 * kDeg;
  X0 = (double(width) - 1.0) / 2.0;
  Y0 = (double(height) - 1.0) / 2.0;
  CD11 = -1e-5;
  CD12 = 0.0;
  CD21 = 0.0;
  CD22 = 1e-5;
  SipA = SipB = SipAP = SipBP = TSipPolynomial{};
  HasSIP = HasInverseSIP = false;
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

bool TWcs::IsUsable() const {
  const double det = CD11 * CD22 - CD12 * CD21;
  return det != 0.0 && std::isfinite(det) && std::isfinite(ICD11) && std::isfinite(ICD12) &&
         std::isfinite(ICD21) && std::isfinite(ICD22) && std::isfinite(RA0) &&
         std::isfinite(Dec0) && std::isfinite(X0) && std::isfinite(Y0);
}

// ---------------------------------------------------------------------------------------
// Header cards

bool TWcs::ReadWCS(const TFitsStrings& h) {
  // Only the gnomonic projection with RA on the first axis is ours to take; anything else
  // stays in the header as it is and is never rewritten.
  bool f1 = false, f2 = false;
  const std::string t1 = Trim(h.GetString("CTYPE1", f1));
  const std::string t2 = Trim(h.GetString("CTYPE2", f2));
  if (!f1 || !f2) return false;
  if (t1 != "RA---TAN" && t1 != "RA---TAN-SIP") return false;
  if (t2 != "DEC--TAN" && t2 != "DEC--TAN-SIP") return false;
  for (std::string_view key : {"CUNIT1", "CUNIT2"})
    if (h.HasKey(key) && Trim(h.GetString(key)) != "deg") return false;
  double lonpole = 180;
  if (h.HasKey("LONPOLE") && (!ReadReal(h, "LONPOLE", lonpole) || lonpole != 180)) return false;

  TWcs w = *this;
  w.SipA = w.SipB = w.SipAP = w.SipBP = TSipPolynomial{};
  w.HasSIP = w.HasInverseSIP = false;

  double crpix1 = 0, crpix2 = 0, crval1 = 0, crval2 = 0;
  if (!ReadReal(h, "CRPIX1", crpix1) || !ReadReal(h, "CRPIX2", crpix2)) return false;
  if (!ReadReal(h, "CRVAL1", crval1) || !ReadReal(h, "CRVAL2", crval2)) return false;
  if (std::fabs(crval2) > 90) return false;

  // Matrix in degrees from the first complete form.
  auto readAll = [&](std::initializer_list<std::string_view> keys, double* out) {
    int i = 0;
    for (std::string_view k : keys)
      if (!ReadReal(h, k, out[i++])) return false;
    return true;
  };
  double cd[4] = {0, 0, 0, 0}, pc[4] = {1, 0, 0, 1}, cdelt[2] = {0, 0};
  bool hasPcCards = false, hasPvCards = false;
  for (const std::string& card : h) {
    const std::string kw = ValueKeyword(card);
    hasPcCards = hasPcCards || IsPcCard(kw);
    hasPvCards = hasPvCards || IsPvCard(kw);
  }
  // TAN with PVi_m is the TPV distortion (or moved native angles): not ours.
  if (hasPvCards) return false;
  if (readAll({"CD1_1", "CD1_2", "CD2_1", "CD2_2"}, cd) ||
      readAll({"CD001001", "CD001002", "CD002001", "CD002002"}, cd)) {
  } else if (readAll({"CDELT1", "CDELT2"}, cdelt)) {
    if (hasPcCards) {
      // Missing PCi_j elements default to the unit matrix; a garbled one spoils the form.
      const std::string_view keys[] = {"PC1_1", "PC1_2", "PC2_1", "PC2_2"};
      for (int i = 0; i < 4; ++i)
        if (h.HasKey(keys[i]) && !ReadReal(h, keys[i], pc[i])) return false;
    } else if (!readAll({"PC001001", "PC001002", "PC002001", "PC002002"}, pc)) {
      double rho = 0;
      if (h.HasKey("CROTA2") && !ReadReal(h, "CROTA2", rho)) return false;
      rho *= kDeg;
      // CD11 = CDELT1·cos ρ, CD12 = −CDELT2·sin ρ, CD21 = CDELT1·sin ρ, CD22 = CDELT2·cos ρ,
      // written as a PC matrix scaled by the rows' CDELT.
      pc[0] = std::cos(rho);
      pc[3] = std::cos(rho);
      if (cdelt[0] == 0 || cdelt[1] == 0) return false;
      pc[1] = -std::sin(rho) * cdelt[1] / cdelt[0];
      pc[2] = std::sin(rho) * cdelt[0] / cdelt[1];
    }
    cd[0] = pc[0] * cdelt[0];
    cd[1] = pc[1] * cdelt[0];
    cd[2] = pc[2] * cdelt[1];
    cd[3] = pc[3] * cdelt[1];
  } else {
    return false;
  }

  w.X0 = crpix1 - 1.0;
  w.Y0 = crpix2 - 1.0;
  w.RA0 = crval1 * kDeg;
  w.Dec0 = crval2 * kDeg;
  w.CD11 = cd[0] * kDeg;
  w.CD12 = cd[1] * kDeg;
  w.CD21 = cd[2] * kDeg;
  w.CD22 = cd[3] * kDeg;
  w.UpdateDerived();
  if (!w.IsUsable()) return false;

  // SIP: two of three signs must agree. Polynomials of a higher order than the record holds
  // leave the whole solution to the header, so that saving does not strip them.
  bool hasOrder = false;
  const double aOrder = h.GetReal("A_ORDER", hasOrder);
  int votes = (t1 == "RA---TAN-SIP") + hasOrder + h.HasKey("A_2_0");
  if (votes >= 2) {
    if (hasOrder && !(aOrder <= 4)) return false;
    for (std::string_view key : {"B_ORDER", "AP_ORDER", "BP_ORDER"}) {
      bool has = false;
      const double o = h.GetReal(key, has);
      if (has && !(o <= 4)) return false;
    }
    for (const std::string& card : h) {
      int family = 0, p = 0, q = 0;
      if (ParseSipKeyword(ValueKeyword(card), family, p, q) && p + q > 4) return false;
    }
    if (!ReadSipFamily(h, "A_", w.SipA) || !ReadSipFamily(h, "B_", w.SipB)) return false;
    w.HasSIP = true;
    if (h.HasKey("AP_ORDER") && h.HasKey("BP_ORDER")) {
      if (!ReadSipFamily(h, "AP_", w.SipAP) || !ReadSipFamily(h, "BP_", w.SipBP)) return false;
      w.HasInverseSIP = true;
    }
  }
  *this = w;
  return true;
}

void TWcs::WriteWCS(TFitsStrings& h) const {
  h.DeleteWcsKeys();
  for (int i = h.Count() - 1; i >= 0; --i) {
    const std::string kw = ValueKeyword(h[i]);
    int family = 0, p = 0, q = 0;
    if (IsPcCard(kw) || IsPvCard(kw) || kw == "LONPOLE" || kw == "LATPOLE" || kw == "CUNIT1" ||
        kw == "CUNIT2" || ParseSipKeyword(kw, family, p, q))
      h.Delete(i);
  }
  const double r = 180.0 / kPi;
  h.SetReal("EQUINOX", true, 2000.0);
  h.SetString("CTYPE1", HasSIP ? "RA---TAN-SIP" : "RA---TAN", true);
  h.SetString("CTYPE2", HasSIP ? "DEC--TAN-SIP" : "DEC--TAN", true);
  h.SetReal("CRVAL1", true, RA0 * r);
  h.SetReal("CRVAL2", true, Dec0 * r);
  h.SetReal("CRPIX1", true, X0 + 1.0);
  h.SetReal("CRPIX2", true, Y0 + 1.0);
  const double cd11 = CD11 * r, cd12 = CD12 * r, cd21 = CD21 * r, cd22 = CD22 * r;
  h.SetReal("CD1_1", true, cd11);
  h.SetReal("CD1_2", true, cd12);
  h.SetReal("CD2_1", true, cd21);
  h.SetReal("CD2_2", true, cd22);
  if (HasSIP) {
    WriteSipFamily(h, "A_", SipA);
    WriteSipFamily(h, "B_", SipB);
    if (HasInverseSIP) {
      WriteSipFamily(h, "AP_", SipAP);
      WriteSipFamily(h, "BP_", SipBP);
    }
    return;
  }
  // The classic form for readers that know only CDELT and CROTA. Each column gives the
  // rotation through atan2, so that turns beyond ±90° keep their quadrant.
  const double s = cd11 * cd22 - cd12 * cd21 < 0 ? -1.0 : 1.0;
  const double cdelt1 = s * std::hypot(cd11, cd21);
  const double cdelt2 = std::hypot(cd12, cd22);
  const double rho1 = std::atan2(cd21 / cdelt1, cd11 / cdelt1);
  const double rho2 = std::atan2(-cd12 / cdelt2, cd22 / cdelt2);
  const double rho = rho1 + 0.5 * std::remainder(rho2 - rho1, 2 * kPi);
  h.SetReal("CDELT1", true, cdelt1);
  h.SetReal("CDELT2", true, cdelt2);
  h.SetReal("CROTA1", true, 0.0);
  h.SetReal("CROTA2", true, rho * r);
}

// ---------------------------------------------------------------------------------------
// Transforms

void TWcs::PixelToSky(double x, double y, double& ra, double& dec) const {
  double u = x - X0, v = y - Y0;
  if (HasSIP) {
    TMonomials m;
    Monomials(u, v, SipA.Order4 || SipB.Order4, m);
    const double du = Dot(SipA, m.M), dv = Dot(SipB, m.M);
    u += du;
    v += dv;
  }
  const double xi = CD11 * u + CD12 * v;
  const double eta = CD21 * u + CD22 * v;
  const double f = CosDec0 - eta * SinDec0;
  ra = RA0 + std::atan2(xi, f);
  ra = std::fmod(ra, 2 * kPi);
  if (ra < 0) ra += 2 * kPi;
  if (ra >= 2 * kPi) ra = 0;
  dec = std::atan2(SinDec0 + eta * CosDec0, std::hypot(xi, f));
}

void TWcs::PixelToSkyDeg(double x, double y, double& ra, double& dec) const {
  PixelToSky(x, y, ra, dec);
  ra /= kDeg;
  dec /= kDeg;
}

bool TWcs::SkyToPixel(double ra, double dec, double& x, double& y) const {
  x = y = 0;
  if (!IsUsable() || !std::isfinite(ra) || !std::isfinite(dec)) return false;
  const double sd = std::sin(dec), cdec = std::cos(dec);
  const double da = ra - RA0;
  const double sa = std::sin(da), ca = std::cos(da);
  const double hgt = sd * SinDec0 + cdec * CosDec0 * ca;
  bool ok = true;
  double l = 8.0;
  if (hgt > 0.125)
    l = 1.0 / hgt;
  else
    ok = false;  // 82.8° or more from the reference point
  const double xi = cdec * sa * l;
  const double eta = (sd * CosDec0 - ca * SinDec0 * cdec) * l;
  double u = ICD11 * xi + ICD12 * eta;
  double v = ICD21 * xi + ICD22 * eta;
  if (!std::isfinite(u) || !std::isfinite(v)) return false;
  if (HasSIP) {
    // Newton's method on (u' + A(u', v'), v' + B(u', v')) = (u, v), from the inverse
    // polynomials when the header gave them. It fails rather than return a wild pixel.
    double up = u, vp = v;
    if (HasInverseSIP) {
      up = u + SipAP.Value(u, v);
      vp = v + SipBP.Value(u, v);
    }
    const bool order4 = SipA.Order4 || SipB.Order4;
    bool converged = false;
    for (int it = 0; it < 30; ++it) {
      TMonomials m;
      Monomials(up, vp, order4, m);
      const double fu = up + Dot(SipA, m.M) - u;
      const double fv = vp + Dot(SipB, m.M) - v;
      const double j11 = 1 + Dot(SipA, m.Du), j12 = Dot(SipA, m.Dv);
      const double j21 = Dot(SipB, m.Du), j22 = 1 + Dot(SipB, m.Dv);
      const double det = j11 * j22 - j12 * j21;
      if (!(std::fabs(det) > 1e-12)) break;
      const double su = (fu * j22 - fv * j12) / det;
      const double sv = (fv * j11 - fu * j21) / det;
      up -= su;
      vp -= sv;
      if (!std::isfinite(up) || !std::isfinite(vp)) break;
      if (std::fabs(su) + std::fabs(sv) <= 1e-11 * (1.0 + std::fabs(up) + std::fabs(vp))) {
        converged = true;
        break;
      }
    }
    if (converged && std::fabs(up - u) <= 1000 && std::fabs(vp - v) <= 1000) {
      u = up;
      v = vp;
    } else {
      ok = false;
    }
  }
  x = u + X0;
  y = v + Y0;
  return ok;
}

bool TWcs::SkyToPixelDeg(double ra, double dec, double& x, double& y) const {
  const bool ok = SkyToPixel(ra * kDeg, dec * kDeg, x, y);
  x = std::nearbyint(x * 100.0) / 100.0;
  y = std::nearbyint(y * 100.0) / 100.0;
  return ok;
}

// ---------------------------------------------------------------------------------------
// Geometry updates

void TWcs::SetFromPlateSolution(const TPlateSolution& sol) {
  RA0 = sol.RA0;
  Dec0 = sol.Dec0;
  CD11 = sol.A;
  CD12 = sol.B;
  CD21 = sol.D;
  CD22 = sol.E;
  double det = sol.A * sol.E - sol.B * sol.D;
  if (det == 0) det = 1e-9;
  X0 = (-sol.C * sol.E + sol.B * sol.F) / det;
  Y0 = (-sol.A * sol.F + sol.C * sol.D) / det;
  SipA = SipB = SipAP = SipBP = TSipPolynomial{};
  HasSIP = HasInverseSIP = false;
  UpdateDerived();
}

void TWcs::FlipWCS(int32_t width, int32_t height, bool vertical) {
  if (!vertical) {
    CD11 = -CD11;
    CD21 = -CD21;
    X0 = double(width) - 1.0 - X0;
  } else {
    CD12 = -CD12;
    CD22 = -CD22;
    Y0 = double(height) - 1.0 - Y0;
  }
  FlipPair(SipA, SipB, vertical);
  FlipPair(SipAP, SipBP, vertical);
  UpdateDerived();
}

void TWcs::CropWCS(double x0, double y0) {
  // Offsets from the reference pixel are unchanged by a crop, so the polynomials stay.
  X0 -= x0;
  Y0 -= y0;
}

void TWcs::ScaleWCS(int32_t width, int32_t height, double y0, double x0, double sy,
                    double sx) {
  if (!(std::isfinite(sx) && std::isfinite(sy) && std::isfinite(x0) && std::isfinite(y0)) ||
      sx * sy == 0)
    return;
  CD11 /= sx;
  CD21 /= sx;
  CD12 /= sy;
  CD22 /= sy;
  X0 = sx * (X0 - x0);
  Y0 = sy * (Y0 - y0);
  if (sx != 1 || sy != 1) RefitSIP(1.0 / sx, 0.0, 0.0, 1.0 / sy);
  UpdateDerived();
}

void TWcs::TransformWCS(int32_t width, int32_t height, double c, double s, double ty,
                        double tx) {
  const double det = c * c + s * s;
  if (!(std::isfinite(det) && det > 0 && std::isfinite(tx) && std::isfinite(ty))) return;
  // old offset = R·new offset with R = [[c, s], [−s, c]], so CD·R maps the new offsets.
  const double n11 = CD11 * c - CD12 * s, n12 = CD11 * s + CD12 * c;
  const double n21 = CD21 * c - CD22 * s, n22 = CD21 * s + CD22 * c;
  CD11 = n11;
  CD12 = n12;
  CD21 = n21;
  CD22 = n22;
  const double dx = X0 - tx, dy = Y0 - ty;
  X0 = (c * dx - s * dy) / det;
  Y0 = (s * dx + c * dy) / det;
  RefitSIP(c, s, -s, c);
  UpdateDerived();
}

void TWcs::RotateWCS(double angleDeg, double ty, double tx) {
  double c = 0, s = 0;
  const double q = angleDeg / 90.0;
  if (std::isfinite(q) && q == std::nearbyint(q)) {
    // Quarter turns exactly, so that four of them restore the record.
    static constexpr double kCos[] = {1, 0, -1, 0}, kSin[] = {0, 1, 0, -1};
    const int32_t k = int32_t(std::fmod(std::fmod(q, 4.0) + 4.0, 4.0));
    c = kCos[k];
    s = kSin[k];
  } else {
    c = std::cos(angleDeg * kDeg);
    s = std::sin(angleDeg * kDeg);
  }
  TransformWCS(0, 0, c, s, ty, tx);
}

void TWcs::SquareWCS() {
  const double m1 = (std::fabs(CD11) + std::fabs(CD22)) / 2;
  const double m2 = (std::fabs(CD12) + std::fabs(CD21)) / 2;
  CD11 = std::copysign(m1, CD11);
  CD22 = std::copysign(m1, CD22);
  CD12 = std::copysign(m2, CD12);
  CD21 = std::copysign(m2, CD21);
  UpdateDerived();
}

void TWcs::RefitSIP(double m11, double m12, double m21, double m22) {
  const double det = m11 * m22 - m12 * m21;
  if (!(std::isfinite(det) && det != 0)) return;
  if (HasSIP) ComposePair(SipA, SipB, m11, m12, m21, m22);
  if (HasInverseSIP) ComposePair(SipAP, SipBP, m11, m12, m21, m22);
}

// ---------------------------------------------------------------------------------------
// Derived quantities

double FieldOfViewX(const TAImage& img) {
  if (!img.HasWcs) return 0;
  const double w = img.Width(), h = img.Height();
  double r1, d1, r2, d2;
  img.Wcs.PixelToSky(0, h / 2, r1, d1);
  img.Wcs.PixelToSky(w - 1, h / 2, r2, d2);
  return AngularSeparation(d2, d1, r2, r1) * (w + 1) / w;
}

double FieldOfViewY(const TAImage& img) {
  if (!img.HasWcs) return 0;
  const double w = img.Width(), h = img.Height();
  double r1, d1, r2, d2;
  img.Wcs.PixelToSky(w / 2, 0, r1, d1);
  img.Wcs.PixelToSky(w / 2, h - 1, r2, d2);
  return AngularSeparation(d2, d1, r2, r1) * (h + 1) / h;
}

double RotationAngle(const TAImage& img) {
  if (!img.HasWcs) return 0;
  const double cx = img.Width() / 2.0, cy = img.Height() / 2.0;
  double ra, dec, x, y;
  img.Wcs.PixelToSky(cx, cy, ra, dec);
  if (!img.Wcs.SkyToPixel(ra, dec + kDeg / 180.0, x, y)) return 0;
  return -std::atan2(x - cx, y - cy) / kDeg;
}

bool ImageCentre(const TAImage& img, bool allowHeader, double& raDeg, double& decDeg) {
  if (img.HasWcs) {
    img.Wcs.PixelToSkyDeg((img.Width() - 1) / 2.0, (img.Height() - 1) / 2.0, raDeg, decDeg);
    return true;
  }
  if (allowHeader && img.Header.GetRaDec(raDeg, decDeg)) return true;
  raDeg = decDeg = -1;
  return false;
}

std::string FieldOfViewText(const TAImage& img) {
  if (!img.HasWcs) return {};
  const double fx = FieldOfViewX(img) / kDeg * 60, fy = FieldOfViewY(img) / kDeg * 60;
  std::string t = FormatFixed(fx, 2);
  t += "' x ";
  t += FormatFixed(fy, 2);
  t += "' ";
  if (fx > 60) {
    t += "(";
    t += FormatFixed(fx / 60, 1);
    t += "°x ";
    t += FormatFixed(fy / 60, 1);
    t += "°)";
  }
  t += "  ";
  // Rounded first, so that a rotation of −0.01° does not show as "-0.0".
  t += FormatFixed(std::nearbyint(RotationAngle(img) * 10) / 10 + 0.0, 1);
  t += "°";
  return t;
}

std::string PixelScaleText(const TAImage& img) {
  if (!img.HasWcs) return {};
  const double fx = FieldOfViewX(img) / kDeg * 60, fy = FieldOfViewY(img) / kDeg * 60;
  return FormatFixed(60 * fx / img.Width(), 3) + "\" x " + FormatFixed(60 * fy / img.Height(), 3) +
         "\"";
}

// ---------------------------------------------------------------------------------------
// Astrometric polynomial files

std::string ApoText(const TWcs& w) {
  std::string t = w.HasSIP ? "WCS+SIP\n \n" : "WCS\n \n";
  for (double v : {w.RA0, w.Dec0, w.X0, w.Y0, w.CD11, w.CD12, w.CD21, w.CD22})
    t += FormatApoNumber(v) + "\n";
  if (w.HasSIP) {
    // Both polynomials with the same count, so that the reader can tell the order.
    const size_t n = w.SipA.Order4 || w.SipB.Order4 ? 15 : 10;
    for (const TSipPolynomial* p : {&w.SipA, &w.SipB})
      for (size_t k = 0; k < n; ++k) t += FormatApoNumber(p->Coef[k]) + "\n";
  }
  return t;
}

bool ParseApoText(std::string_view text, TWcs& wcs) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) nl = text.size();
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  if (!text.empty() && text.back() == '\n') lines.pop_back();
  if (lines.size() < 8) return false;
  std::vector<double> nums;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string_view t = TrimView(lines[i]);
    if (t.empty()) continue;
    double v = 0;
    if (!ParseDouble(t, v) || !std::isfinite(v)) return false;
    nums.push_back(v);
  }
  if (nums.size() < 8) return false;
  TWcs w = wcs;
  if (lines[0].find("QuorVane astrometric") != std::string_view::npos && nums.size() == 8) {
    TPlateSolution sol{nums[0], nums[1], nums[2], nums[3], nums[4], nums[5], nums[6], nums[7]};
    if (sol.A * sol.E - sol.B * sol.D == 0) return false;  // no pixel maps to the tangent point
    w.SetFromPlateSolution(sol);
  } else {
    w.RA0 = nums[0];
    w.Dec0 = nums[1];
    w.X0 = nums[2];
    w.Y0 = nums[3];
    w.CD11 = nums[4];
    w.CD12 = nums[5];
    w.CD21 = nums[6];
    w.CD22 = nums[7];
    w.SipA = w.SipB = w.SipAP = w.SipBP = TSipPolynomial{};
    w.HasSIP = w.HasInverseSIP = false;
    if (nums.size() == 28 || nums.size() == 38) {
      const size_t n = nums.size() == 28 ? 10 : 15;
      for (size_t k = 0; k < n; ++k) {
        w.SipA.Coef[k] = nums[8 + k];
        w.SipB.Coef[k] = nums[8 + n + k];
      }
      w.SipA.Order4 = w.SipB.Order4 = n == 15;
      w.HasSIP = true;
    }
    w.UpdateDerived();
  }
  if (!w.IsUsable() || std::fabs(w.Dec0) > kPi / 2) return false;
  wcs = w;
  return true;
}

void ReadApoFile(const std::filesystem::path& path, TWcs& wcs) {
  const std::string failure = "Incompatible file format\r" + path.filename().string();
  // 38 numbers fit in a few kilobytes; anything far larger is not such a file.
  constexpr std::uintmax_t kMaxSize = 64 * 1024;
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec || size > kMaxSize) throw EOrluError(failure);
  std::ifstream in(path, std::ios::binary);
  std::string text(size, '\0');
  if (!in || !in.read(text.data(), std::streamsize(size))) throw EOrluError(failure);
  // CR LF and lone CR end lines as LF does.
  std::string lf;
  lf.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r') lf += text[i];
    else if (i + 1 >= text.size() || text[i + 1] != '\n') lf += '\n';
  }
  text = std::move(lf);
  if (!ParseApoText(text, wcs)) throw EOrluError(failure);
}

void WriteApoFile(const std::filesystem::path& path, const TWcs& wcs) {
  const std::string text = ApoText(wcs);
  std::filesystem::path tmp = path;
  tmp += ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
      std::error_code ec;
      std::filesystem::remove(tmp, ec);
      throw EOrluError("Cannot write file\r" + path.filename().string());
    }
  }
  std::error_code ec;
  std::filesystem::rename(tmp, path, ec);
  if (ec) {
    std::filesystem::remove(tmp, ec);
    throw EOrluError("Cannot write file\r" + path.filename().string());
  }
}


// ---------------------------------------------------------------------------------------
// Equatorial grid

namespace {

// Some part of the segment lies in the rectangle (Liang–Barsky clipping).
bool SegmentMeetsRect(double ax, double ay, double bx, double by, double x0, double y0,
                      double x1, double y1) {
  double t0 = 0, t1 = 1;
  const double dx = bx - ax, dy = by - ay;
  const double p[4] = {-dx, dx, -dy, dy};
  const double q[4] = {ax - x0, x1 - ax, ay - y0, y1 - ay};
  for (int i = 0; i < 4; ++i) {
    if (p[i] == 0) {
      if (q[i] < 0) return false;
      continue;
    }
    const double r = q[i] / p[i];
    if (p[i] < 0)
      t0 = std::max(t0, r);
    else
      t1 = std::min(t1, r);
    if (t0 > t1) return false;
  }
  return true;
}

// The candidate closest by ratio (max(t/c, c/t)), the first on ties.
template <size_t N>
double ClosestByRatio(const double (&candidates)[N], double t) {
  double best = candidates[0], bestRatio = HUGE_VAL;
  for (double c : candidates) {
    const double r = std::max(t / c, c / t);
    if (r < bestRatio) {
      bestRatio = r;
      best = c;
    }
  }
  return best;
}

}  // namespace

TEquatorialGrid EquatorialGrid(const TWcs& wcs, double x0, double y0, double x1, double y1,
                               double fieldDeg, double decDeg, double raDeg, double gridEqu) {
  TEquatorialGrid grid;
  const double F = fieldDeg;
  if (!(F > 0 && F <= 360) || !std::isfinite(decDeg) || !std::isfinite(raDeg) ||
      !(std::isfinite(x0) && std::isfinite(y0) && std::isfinite(x1) && std::isfinite(y1)) ||
      !wcs.IsUsable())
    return grid;
  if (!(gridEqu > 0 && gridEqu < 1e6)) gridEqu = 4;
  const double g = 4.0 / gridEqu;
  const double cosDec = std::fabs(std::cos(decDeg * kDeg));
  const bool sip = wcs.HasSIP;

  const double decStart = Clamp(decDeg - F, -90 + 0.05 * F, 90.0);
  const double decEnd = Clamp(decDeg + F, -90.0, 90 - 0.05 * F);
  const double raWidth = std::min(3 * F / (cosDec + 0.0001), 359.999);
  const double raStart = raDeg - raWidth / 2;

  const int32_t nRA = Clamp(Round(F) + 4, 4 + (sip ? 20 : 0), 30);
  const int32_t nDec =
      Clamp(Round((F + 1) / (cosDec + 0.01)) + 5, 6 + (sip ? 20 : 0), 60);

  static constexpr double kRASteps[] = {3600, 1800, 1200, 900, 600, 360, 240, 180, 120, 60,
                                        30,   20,   15,   10,  5,   4,   3,   2,   1};
  static constexpr double kDecSteps[] = {54000, 36000, 18000, 10800, 7200, 3600, 1800,
                                         1200,  900,   600,   360,   300,  240,  180,
                                         120,   60,    30,    20,    10};
  grid.RASpacing = ClosestByRatio(kRASteps, 65 * F * g / (cosDec + 0.0001)) / 3600 * 15;
  grid.DecSpacing = ClosestByRatio(kDecSteps, 905 * F * g) / 3600;

  // Lines of the grid: segments first, the label of each line right after its segments.
  auto addLine = [&](bool isRA, double value) {
    const int32_t n = isRA ? nRA : nDec;
    int32_t kept = 0;
    double px = 0, py = 0;
    bool prevOk = false;
    for (int32_t i = 0; i <= n && grid.Segments.size() < TEquatorialGrid::kMaxSegments; ++i) {
      const double t = double(i) / n;
      const double ra = isRA ? value : raStart + t * raWidth;
      const double dec = isRA ? decStart + t * (decEnd - decStart) : value;
      double x = 0, y = 0;
      const bool ok = wcs.SkyToPixel(ra * kDeg, dec * kDeg, x, y);
      if (ok && prevOk && SegmentMeetsRect(px, py, x, y, x0, y0, x1, y1)) {
        grid.Segments.push_back({px, py, x, y});
        ++kept;
      }
      px = x;
      py = y;
      prevOk = ok;
    }
    if (kept < (isRA ? 2 : 1)) return;
    // The label sits where the line crosses two adjacent edges of the grown rectangle.
    const double gx0 = x0 - 1, gy0 = y0 - 1, gx1 = x1 + 1, gy1 = y1 + 1;
    struct Edge {
      double ax, ay, bx, by;
    };
    const Edge edges[2] = {isRA ? Edge{gx0, gy0, gx1, gy0} : Edge{gx0, gy1, gx1, gy1},
                           isRA ? Edge{gx0, gy0, gx0, gy1} : Edge{gx1, gy0, gx1, gy1}};
    const double target = value * kDeg;
    auto miss = [&](const Edge& e, double t, double& x, double& y) {
      x = e.ax + t * (e.bx - e.ax);
      y = e.ay + t * (e.by - e.ay);
      double ra, dec;
      wcs.PixelToSky(x, y, ra, dec);
      return isRA ? std::fabs(std::remainder(ra - target, 2 * kPi)) : std::fabs(dec - target);
    };
    int bestEdge = 0;
    double bestT = 0, best = HUGE_VAL, bx = 0, by = 0;
    for (int e = 0; e < 2; ++e)
      for (int i = 0; i <= 50; ++i) {
        double x, y;
        const double d = miss(edges[e], i / 50.0, x, y);
        if (d < best) {
          best = d;
          bestEdge = e;
          bestT = i / 50.0;
          bx = x;
          by = y;
        }
      }
    const double centre = bestT;
    for (int i = -50; i <= 50; ++i) {
      const double t = centre + i / 2500.0;
      if (t < 0 || t > 1) continue;
      double x, y;
      const double d = miss(edges[bestEdge], t, x, y);
      if (d < best) {
        best = d;
        bx = x;
        by = y;
      }
    }
    if (best < 0.01 * F * kDeg) {
      double v = value;
      if (isRA) {
        v = std::fmod(v, 360.0);
        if (v < 0) v += 360;
      }
      grid.Labels.push_back({bx, by, isRA, v});
    }
  };

  // The default density draws about 25 lines each way; a thousand only bounds the work for a
  // density option far out of its range.
  constexpr int32_t kMaxLines = 1000;
  const double ra0 = std::nearbyint(raStart / grid.RASpacing) * grid.RASpacing;
  for (int32_t k = 0; k < kMaxLines; ++k) {
    const double ra = ra0 + k * grid.RASpacing;
    if (ra > raStart + raWidth) break;
    addLine(true, ra);
  }
  const double dec0 = std::nearbyint(decStart / grid.DecSpacing) * grid.DecSpacing;
  for (int32_t k = 0; k < kMaxLines; ++k) {
    const double dec = dec0 + k * grid.DecSpacing;
    if (dec > decEnd) break;
    if (std::fabs(dec) < 90) addLine(false, dec);
  }
  return grid;
}

}  // namespace orlu
