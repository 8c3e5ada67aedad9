// The pixel algorithms of the geometric transforms: turns, rotation by any angle, resizing,
// binning, collapsing to row or column statistics, crop and borders, filling, removal of
// SIP distortion and pasting. Each image-level call writes dst from src (distinct images)
// and carries the mask and the world coordinates along; the filter framework (IPTransform)
// wraps them with undo, history and annotations.
//
// Rows are computed in parallel (LibThreads); every worker writes only its own rows.
// A row report (any thread) returning false stops the work: the call then returns false and
// dst holds a partial result.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace orlu {

class TAImage;
class TBWImage;
class TAMask;
struct TWcs;

// Progress after each finished row of a plane (0 main, 1 red, 2 blue); false: stop.
using TRowReport = std::function<bool(int32_t plane, int32_t row)>;

// ---------------------------------------------------------------------------- sizes

// 1 .. 30000 per side.
bool SizeAccepted(int64_t w, int64_t h);
// "Min size is: 1 x 1" CR "Max size is: 30000 x 30000" (translated words).
std::string SizeRefusedText();
// Bounding box of a w × h image turned by angleDeg (counter-clockwise); quarter turns exact.
void RotatedSize(int32_t w, int32_t h, double angleDeg, int64_t& w2, int64_t& h2);
// cos and sin of an angle in degrees, exact for multiples of 90°.
void CosSinDeg(double angleDeg, double& c, double& s);

// ---------------------------------------------------------------------------- planes

// Turns by 90°: left sends source (x, y) to (H − 1 − y, x), right to (y, W − 1 − x).
// dst must be H × W.
bool Rotate90Plane(const TBWImage& src, TBWImage& dst, bool left, int32_t plane,
                   const TRowReport& report);
// Every dst pixel (x, y) takes the bilinear value (TBWImage::Bilinear: outside value beyond
// the plane) at (px + c·dx + s·dy, py − s·dx + c·dy), (dx, dy) = (x − qx, y − qy).
bool RotatePlane(const TBWImage& src, TBWImage& dst, double c, double s, double px, double py,
                 double qx, double qy, int32_t plane, const TRowReport& report);

// Resampling methods by their dialog index.
enum class TResizeMethod : int32_t { Bilinear = 0, Gauss = 1, Bicubic = 2, None = 3, Lanczos = 4 };

struct TResizeSpec {
  int32_t Width = 1;  // destination size
  int32_t Height = 1;
  TResizeMethod Method = TResizeMethod::Bilinear;
  int32_t Kernel = 3;     // Lanczos order 2 .. 6
  bool ClampMax = false;  // Lanczos: samples limited to the view's high bound
};
// The resize is done as 2 × 2 average binning (bilinear to exactly half the size).
bool ResizeIsBinning(int32_t w, int32_t h, const TResizeSpec& spec);
// Resamples src into dst (at the size asked for); destination (x, y) samples the source at
// (x·W/W', y·H/H'). cap limits Lanczos samples (ClampMax). Not for ResizeIsBinning.
bool ResizePlane(const TBWImage& src, TBWImage& dst, const TResizeSpec& spec, float cap,
                 int32_t plane, const TRowReport& report);

// Binning: factor 2..8 sums f × f blocks (dst W div f × H div f); factor 1 is 1.5 × 1.5
// (dst (2W) div 3 × (2H) div 3, 4-2-2-1 weights on 3 × 3 blocks). average: the mean of the
// weights instead of the sum scaled to the area.
bool BinPlane(const TBWImage& src, TBWImage& dst, int32_t factor, bool average, int32_t plane,
              const TRowReport& report);
// Destination size of a binning.
void BinnedSize(int32_t w, int32_t h, int32_t factor, int32_t& w2, int32_t& h2);
// The mask binned as the planes are (weights averaged, rounded). dst gets storage.
bool BinMask(const TAMask& src, TAMask& dst, int32_t factor);

// Output (x, y) of a distortion-free image takes the bilinear value at the pixel whose SIP
// offsets map to (x − X0, y − Y0); five fixed-point steps invert the polynomials. A
// diverging inversion gives the outside value.
bool CorrectDistortionPlane(const TBWImage& src, TBWImage& dst, const TWcs& wcs, int32_t plane,
                            const TRowReport& report);

// The standard deviation of the shaped noise Σ (u + 15u³) over three uniform u in
// [−0.5, 0.5) is 1/kShapedNoiseScale.
extern const double kShapedNoiseScale;
// One shaped noise draw of unit standard deviation from a private generator state.
double ShapedNoise(uint64_t& state);

// ---------------------------------------------------------------------------- images
// dst holds src's settings (the same document image after a snapshot, or a derived one);
// these calls size dst (colour kind kept), write every plane, and make mask and world
// coordinates follow. They throw EOrluError with SizeRefusedText for a result outside
// 1 .. 30000 (dst untouched) and "Out of memory" when dst cannot be sized.

bool Rotate90Image(const TAImage& src, TAImage& dst, bool left, const TRowReport& report);
// Bounding-box rotation about the centres (keepSize false), or rotation about (px, py) at
// the same size (keepSize true).
bool RotateImage(const TAImage& src, TAImage& dst, double angleDeg, bool keepSize, double px,
                 double py, const TRowReport& report);
bool ResizeImage(const TAImage& src, TAImage& dst, const TResizeSpec& spec,
                 const TRowReport& report);
bool BinImage(const TAImage& src, TAImage& dst, int32_t factor, bool average,
              const TRowReport& report);
// dst is (x2 − x1 + 1) × (y2 − y1 + 1) from (x1, y1); outside parts get the outside value.
bool CropImage(const TAImage& src, TAImage& dst, int32_t x1, int32_t y1, int32_t x2, int32_t y2);
// SIP distortion removed (same size); the solution keeps its linear part.
bool CorrectDistortionImage(const TAImage& src, TAImage& dst, const TRowReport& report);

}  // namespace orlu
