// The world-coordinate record of an image: gnomonic (TAN) projection around a reference
// point, CD matrix in radians per pixel with its inverse, optional SIP distortion polynomials
// up to fourth order; header cards, transforms, geometry updates, derived quantities,
// astrometric polynomial files and the equatorial grid.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace orlu {

class TFitsStrings;
class TAImage;

// One SIP polynomial: 15 coefficients in the order of kSipTerms; the five fourth-order
// terms take part only with Order4.
struct TSipPolynomial {
  std::array<double, 15> Coef{};
  bool Order4 = false;

  // Sum of Coef[k]·u^p·v^q over the terms in use.
  double Value(double u, double v) const;
  // Highest p + q with a non-zero coefficient in use (0 for a zero polynomial).
  int32_t Degree() const;

  bool operator==(const TSipPolynomial&) const = default;
};

// Exponents (p, q) of u^p·v^q for each coefficient: A_0_0, A_1_0, A_0_1, A_1_1, A_2_0,
// A_0_2, A_2_1, A_1_2, A_3_0, A_0_3, A_3_1, A_1_3, A_2_2, A_4_0, A_0_4.
inline constexpr std::array<std::array<int32_t, 2>, 15> kSipTerms{{
    {0, 0}, {1, 0}, {0, 1}, {1, 1}, {2, 0}, {0, 2}, {2, 1}, {1, 2},
    {3, 0}, {0, 3}, {3, 1}, {1, 3}, {2, 2}, {4, 0}, {0, 4}}};

// Plate constants of a fit: standard coordinates ξ = A·x + B·y + C, η = D·x + E·y + F
// (radians, 0-based pixels) around the tangent point (RA0, Dec0) in radians.
struct TPlateSolution {
  double RA0 = 0, Dec0 = 0;
  double A = 0, B = 0, C = 0, D = 0, E = 0, F = 0;
};

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
  // Inverse SIP polynomials (AP_, BP_) taken from a header: offsets from CD⁻¹·(ξ, η) to the
  // pixel offsets. Only a starting point for the exact inversion; carried through geometry
  // updates and written back.
  TSipPolynomial SipAP;
  TSipPolynomial SipBP;
  bool HasInverseSIP = false;

  // The placeholder solution of a new image: RA 270°, Dec 55°, reference pixel at the
  // centre of a width × height image, CD [[-1e-5, 0], [0, 1e-5]], no SIP.
  void InitWCS(int32_t width, int32_t height);
  // Recomputes SinDec0, CosDec0 and the inverse matrix after Dec0 or CD changed.
  // A singular matrix gives a zero inverse.
  void UpdateDerived();
  // The record carries SIP distortion terms.
  bool HasSipTerms() const { return HasSIP; }
  // CD has a finite, non-zero determinant: the record can map both ways.
  bool IsUsable() const;

  // ---------------------------------------------------------------- header cards
  // Takes the solution of a header whose axes are RA---TAN and DEC--TAN (optionally -SIP)
  // and returns true; the matrix comes from CD1_1…, else CD001001…, else CDELT with PCi_j,
  // else with PC001001…, else CDELT with CROTA2. Any other projection or axis order, a
  // singular matrix, non-finite values or SIP polynomials above fourth order: false and the
  // record unchanged.
  bool ReadWCS(const TFitsStrings& header);
  // Replaces every world-coordinate card of the header (PCi_j, PVi_m, CDELT/CROTA, SIP and
  // APOLY included) by the cards of this record.
  void WriteWCS(TFitsStrings& header) const;

  // ---------------------------------------------------------------- transforms
  // 0-based pixel to sky, radians (RA in [0, 2π)).
  void PixelToSky(double x, double y, double& ra, double& dec) const;
  void PixelToSkyDeg(double x, double y, double& ra, double& dec) const;
  // Sky (radians) to 0-based pixel. False for points 82.8° or more from the reference
  // point, for a record that cannot be inverted, and when the SIP inversion does not
  // converge; x and y are then a finite linear estimate (or 0).
  bool SkyToPixel(double ra, double dec, double& x, double& y) const;
  // The same in degrees, the pixel rounded to two decimals.
  bool SkyToPixelDeg(double ra, double dec, double& x, double& y) const;

  // ---------------------------------------------------------------- geometry updates
  // From plate constants: CD = [[a, b], [d, e]], the reference pixel where ξ = η = 0; no SIP.
  void SetFromPlateSolution(const TPlateSolution& sol);
  // Follows a horizontal (or vertical) mirror of a width × height image, polynomials
  // included; doing it twice restores the record exactly.
  void FlipWCS(int32_t width, int32_t height, bool vertical);
  // Follows a crop whose new pixel (0, 0) is the old pixel (x0, y0).
  void CropWCS(double x0, double y0);
  // Follows a crop at (x0, y0) followed by a scaling: new = s·(old − origin) per axis.
  // Nothing when sx·sy is 0 or not finite. width, height: the new image size.
  void ScaleWCS(int32_t width, int32_t height, double y0, double x0, double sy, double sx);
  // Follows a resampling with old = [[c, s], [−s, c]]·new + (tx, ty). Nothing for a
  // singular or non-finite transform.
  void TransformWCS(int32_t width, int32_t height, double c, double s, double ty, double tx);
  // TransformWCS with c = cos(angle), s = sin(angle), angle in degrees (multiples of 90°
  // exact).
  void RotateWCS(double angleDeg, double ty, double tx);
  // Makes the matrix a scaled rotation: the diagonal and the off-diagonal magnitudes are
  // averaged, signs kept.
  void SquareWCS();
  // Re-expresses the polynomials (and inverse polynomials) for pixel offsets
  // new = M⁻¹·old, old = M·new with M = [[m11, m12], [m21, m22]]: exact, the degree is kept.
  void RefitSIP(double m11, double m12, double m21, double m22);

  bool operator==(const TWcs&) const = default;
};

// ---------------------------------------------------------------------------------------
// Derived quantities of an image's solution (0 or failure without HasWcs).

// Width and height of the field in radians, edge to edge.
double FieldOfViewX(const TAImage& img);
double FieldOfViewY(const TAImage& img);
// Position angle of north on the image, degrees (0: north up the rows).
double RotationAngle(const TAImage& img);
// Sky position of the image centre in degrees; without a solution the header pointing
// when allowHeader. False and (−1, −1) when neither serves.
bool ImageCentre(const TAImage& img, bool allowHeader, double& raDeg, double& decDeg);

// Statistics window texts: "Field of view" "%4.2f' x %4.2f' %s  %3.1f°" (degree form when
// wider than 60'), "Pixel scale" "%4.3f\" x %4.3f\"". Empty without a solution.
std::string FieldOfViewText(const TAImage& img);
std::string PixelScaleText(const TAImage& img);

// ---------------------------------------------------------------------------------------
// Astrometric polynomial files (".apo").

inline constexpr const char* kApoFileFilter =
    "Astrometric polynomials  *.apo|*.apo|All files   *.*|*.*";
// "WCS" (+ "+SIP"), a line with one blank, then one "%.11e" number per line.
std::string ApoText(const TWcs& wcs);
// Parses the text of a file; false (wcs unchanged) when it is not an astrometric polynomial.
bool ParseApoText(std::string_view text, TWcs& wcs);
// Reads a file into wcs; throws EOrluError "Incompatible file format" + CR + file name
// (also for a missing or oversized file), wcs then unchanged.
void ReadApoFile(const std::filesystem::path& path, TWcs& wcs);
// Writes ApoText through a temporary file; throws EOrluError on failure.
void WriteApoFile(const std::filesystem::path& path, const TWcs& wcs);

// ---------------------------------------------------------------------------------------
// Equatorial grid (geometry only; the viewer draws it).

struct TGridSegment {
  double X1, Y1, X2, Y2;  // 0-based pixels
};
struct TGridLabel {
  double X, Y;   // 0-based pixel on the visible rectangle grown by one pixel
  bool IsRA;     // the label of an RA line (Value: RA in [0, 360)) or of a Dec line
  double Value;  // degrees
};
struct TEquatorialGrid {
  std::vector<TGridSegment> Segments;  // at most kMaxSegments
  std::vector<TGridLabel> Labels;
  double RASpacing = 0, DecSpacing = 0;  // degrees between lines
  static constexpr size_t kMaxSegments = 600;
};

// Grid lines of constant RA and Dec over the visible rectangle (x0, y0)-(x1, y1) (pixels),
// for a field of fieldDeg around (raDeg, decDeg); gridEqu is the density option (4 by
// default; larger is denser). Lines are cut into short segments whose both ends map onto
// the tangent plane. RA labels sit on the edges y = y0 − 1 or x = x0 − 1, Dec labels on
// y = y1 + 1 or x = x1 + 1. Empty for a non-positive field or an unusable record.
TEquatorialGrid EquatorialGrid(const TWcs& wcs, double x0, double y0, double x1, double y1,
                               double fieldDeg, double decDeg, double raDeg,
                               double gridEqu = 4);

}  // namespace orlu
