// TImg32: a 32-bit picture with thin anti-aliased figures (gamma-correct coverage blending),
// scaled blits, halving, the mask brush and BMP/TIFF output; TPolyDrawer batches outlines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/PixelMemory.h"

namespace orlu {

class TBgraBitmap;
class TImg32;

// ---------------------------------------------------------------------------------------
// Colours and blending
// ---------------------------------------------------------------------------------------
// Pixels are 0xAARRGGBB (bytes blue, green, red, alpha in memory). Colour arguments of the
// primitives use the same layout; their alpha byte is ignored.

// An option or annotation colour 0x00BBGGRR as a pixel colour 0x00RRGGBB.
constexpr uint32_t PixelColour(uint32_t bgr) {
  return ((bgr & 0xFFu) << 16) | (bgr & 0xFF00u) | ((bgr >> 16) & 0xFFu);
}

// 8-bit level to 12-bit linear light: Round((i/255)^2.2 * 4095).
uint16_t ToLinear(uint8_t level);
// 12-bit linear light (0..4095) to 8-bit level: Round((j/4095)^(1/2.2) * 255).
uint8_t ToGamma(uint32_t linear);

// Per channel (p * (256 - w) + c * w) / 256, w in 0..256; p's alpha is kept.
uint32_t BlendLinear(uint32_t p, uint32_t c, uint32_t w);
// Per channel in linear light with coverage a of 4096: a >= 4096 gives c's channels, a < 1
// gives p. p's alpha is kept.
uint32_t BlendGamma(uint32_t p, uint32_t c, int32_t a);
// Saturating per-channel sum and difference of the colour channels (alpha 0).
uint32_t AddColours(uint32_t a, uint32_t b);
uint32_t SubColours(uint32_t a, uint32_t b);
// Per channel (a * (256 - w) + b * w) / 256, w in 0..256 (alpha 0).
uint32_t MixColours(uint32_t a, uint32_t b, uint32_t w);

// How Pixel treats positions outside the picture.
enum class TEdgePolicy { Zero, Clamp, Wrap };

// ---------------------------------------------------------------------------------------
// Text
// ---------------------------------------------------------------------------------------
// Text is drawn by the window toolkit on the same pixels (the app implements this with
// QPainter on a QImage that shares the buffer). Positions are picture coordinates: x to the
// right, y up, row 0 at the bottom.
struct TTextFont {
  std::string Name;
  double Size = 10;  // pixels
  bool Bold = false;
  bool Italic = false;
};

struct TTextExtent {
  double Width = 0;
  double Height = 0;
};

class TTextPainter {
 public:
  virtual ~TTextPainter() = default;
  // Size of the box that DrawText fills with this text.
  virtual TTextExtent MeasureText(const std::string& text, const TTextFont& font) = 0;
  // Draws the text into target with its box's lower-left corner at (left, bottom). colour is
  // a pixel colour, opacity 0..1.
  virtual void DrawText(TImg32& target, double left, double bottom, const std::string& text,
                        const TTextFont& font, uint32_t colour, double opacity) = 0;
};

// ---------------------------------------------------------------------------------------
// Rectangles
// ---------------------------------------------------------------------------------------
// Pixel rectangle: columns min(X1,X2) .. max(X1,X2)-1 and rows min(Y1,Y2) .. max(Y1,Y2)-1,
// corners in any order.
struct TPixRect {
  int32_t X1 = 0, Y1 = 0, X2 = 0, Y2 = 0;
};

// Arms of a cross marker (bit flags).
enum : uint32_t { kArmUp = 1, kArmDown = 2, kArmLeft = 4, kArmRight = 8, kArmsAll = 15 };

// ---------------------------------------------------------------------------------------
// TImg32
// ---------------------------------------------------------------------------------------
// Row 0 is the bottom row. Storage is either an own block (AllocPixels) or an external
// buffer that the picture wraps without owning. Every drawing call clips to the picture:
// figures may lie partly or wholly outside, coordinates may be huge or NaN (nothing drawn).
// The figure primitives change only the colour channels; the alpha byte of each pixel stays
// as it was (the brush and LoadBits/CopyFrom write alpha explicitly).
// Opacity arguments (0..1) scale every coverage value; values outside are clamped, NaN is 0.
class TImg32 {
 public:
  TImg32() = default;
  ~TImg32() = default;
  TImg32(const TImg32&) = delete;
  TImg32& operator=(const TImg32&) = delete;

  // ---- storage ----
  int32_t Width() const { return FWidth; }
  int32_t Height() const { return FHeight; }
  int64_t PixelCount() const { return int64_t(FWidth) * FHeight; }
  bool IsExternal() const { return FExternal; }
  // Pixels of row y (0 = bottom); y must be in 0..Height-1.
  uint32_t* Row(int32_t y) { return FBits + y * FStride; }
  const uint32_t* Row(int32_t y) const { return FBits + y * FStride; }

  // Nothing when the size is unchanged; otherwise the storage is released (a wrapped buffer
  // is forgotten) and an own block of the size is made. A side below 1 gives an empty
  // picture. Contents undefined. Throws EOrluError "Out of memory" (picture then empty).
  void SetSize(int32_t width, int32_t height);
  // Uses a 32-bit buffer owned by someone else: firstRow points at row 0 (the bottom row),
  // strideBytes is the signed distance from a row to the row above it (negative for a
  // top-down buffer such as a QImage: firstRow = its last scan line, stride = -bytesPerLine).
  // Throws EOrluError "BMP not 32 bit" when bitsPerPixel is not 32, or when the stride is not
  // a multiple of 4 or shorter than a row.
  void Wrap(void* firstRow, int32_t width, int32_t height, std::ptrdiff_t strideBytes,
            int32_t bitsPerPixel = 32);
  // Wraps the renderer's bottom-up picture (same pixel layout). The bitmap must outlive the
  // wrapping, and must not be resized meanwhile.
  void Wrap(TBgraBitmap& bitmap);
  // Frees own storage, forgets a wrapped buffer; size 0 x 0.
  void Release();

  // ---- plain pixels ----
  void Fill(uint32_t colour);
  // Opaque fill of a rectangle, clipped.
  void FillRect(const TPixRect& r, uint32_t colour);
  // Columns min(x1,x2)..max(x1,x2) of row y, and rows min(y1,y2)..max(y1,y2) of column x.
  void HorzLine(int32_t x1, int32_t x2, int32_t y, uint32_t colour);
  void VertLine(int32_t x, int32_t y1, int32_t y2, uint32_t colour);
  // One-pixel outline of the rectangle's outermost rows and columns.
  void FrameRect(const TPixRect& r, uint32_t colour);
  uint32_t Pixel(int32_t x, int32_t y, TEdgePolicy edge = TEdgePolicy::Zero) const;
  // Ignores points outside.
  void SetPixel(int32_t x, int32_t y, uint32_t colour);
  // The pixel at (Width/2, Height/2); 0 when empty.
  uint32_t CentreColour() const;

  // ---- copies ----
  // Same size: a plain copy. Otherwise each pixel comes from the source at the same position
  // (offset by half the size difference when centred); pixels off the source become 0.
  void CopyFrom(const TImg32& source, bool centred);
  // Rows of 32-bit pixels, row 0 first; invertAlpha stores 255 - alpha. Size must match.
  void LoadBits32(const uint32_t* rows, std::ptrdiff_t strideBytes, bool invertAlpha);
  // Rows of 24-bit pixels (B, G, R), row 0 first, each row padded to 4 bytes; alpha 0.
  void LoadBits24(const uint8_t* rows);
  // Sizes target to max(1, Width/2) x max(1, Height/2) and stores 2 x 2 box means: colour
  // channels in linear light, alpha directly. A 1-pixel side repeats its edge. An empty
  // picture gives an empty target.
  void HalveInto(TImg32& target) const;

  // ---- anti-aliased figures (coordinates in pixels, centres on integers, y up) ----
  // Coverage (0..1) of colour at the four pixels around (px, py), bilinear weights;
  // skipped unless every pixel with a non-zero weight is inside (so x = Width - 0.5 is
  // skipped, x = Width - 1 is drawn).
  void Splat(double px, double py, uint32_t colour, double coverage);
  // Splats from `to` back to `from` every pixel (every 4 pixels when dotted). A thin line is
  // one splat wide, otherwise two splats side by side. taper > 0.001 fades the line towards
  // the picture centre.
  void Line(double x1, double y1, double x2, double y2, uint32_t colour, double opacity,
            bool dotted = false, bool thin = true, double taper = 0);
  // Round(length * 1.4) + 2 evenly spaced splats, the two end splats at half weight.
  void SegmentLine(double x1, double y1, double x2, double y2, uint32_t colour,
                   double opacity);
  // Shaft of width w from base, wedge head ending at tip, rounded cap behind base. A zero
  // length arrow is its cap alone.
  void Arrow(double bx, double by, double tx, double ty, double width, uint32_t colour,
             double opacity);
  // Bar of width w with soft ends; for sections > 0, sections + 1 ticks on one side.
  void Ruler(double bx, double by, double ex, double ey, double width, int32_t sections,
             uint32_t colour, double opacity);
  // Ring of width w inscribed in the rectangle (made square for a circle); empty rectangles
  // draw nothing.
  void Ellipse(const TPixRect& r, bool circle, double width, uint32_t colour, double opacity);
  // Bands of width w along the inner edges (made square first when square); only the corner
  // pieces when corners.
  void Rectangle(const TPixRect& r, bool square, bool corners, int32_t width, uint32_t colour,
                 double opacity);
  // Pointed arms (kArm* flags) around the rectangle's centre.
  void Cross(const TPixRect& r, uint32_t arms, double width, uint32_t colour, double opacity);
  // Disc of radius w + 1 (2r - 8 above 8) around (cx, cy).
  void Point(double cx, double cy, double width, uint32_t colour, double opacity);
  // The rectangle grown by grow on every side, linearly blended with weight alpha of 256,
  // with rounded corners.
  void AlphaBox(const TPixRect& r, int32_t grow, uint32_t alpha, uint32_t colour);
  // Handles of 4 x 4 blocks around the rectangle grown by 4, handleLength pixels from each
  // corner along each edge.
  void SelectionFrame(const TPixRect& r, int32_t handleLength);
  // Grey box with both diagonals (a missing logo).
  void Placeholder(const TPixRect& r);
  // Text box: the text's box grown by margin, filled by AlphaBox, then the text; returns
  // the text's extent. (left, bottom) is the lower-left corner of the text.
  TTextExtent TextBox(TTextPainter& painter, double left, double bottom, const std::string& text,
                      const TTextFont& font, uint32_t textColour, double opacity,
                      uint32_t boxColour, uint32_t boxAlpha, int32_t margin);

  // ---- blits ----
  // Source scaled by scale about (cx, cy), its centre landing there; bilinear samples,
  // clamped at the source edges. Source alpha 0 is opaque and 255 transparent.
  void DrawScaled(const TImg32& source, double cx, double cy, double scale, double opacity);
  // Source at scale 1 with its pixel (0, 0) at (x, y).
  void DrawUnscaled(const TImg32& source, int32_t x, int32_t y, double opacity);

  // ---- mask brush ----
  // Marks the pixels of the size x size square around (cx, cy) (only inside the inscribed
  // circle when round): alpha 0xCC, red 0xE0, green halved, blue 0; marked pixels stay.
  void BrushDab(int32_t cx, int32_t cy, bool round, int32_t size);
  // Dabs along the line at every Bresenham step.
  void BrushStroke(int32_t x1, int32_t y1, int32_t x2, int32_t y2, bool round, int32_t size);
  static bool IsBrushMarked(uint32_t pixel) { return (pixel >> 24) == 0xCC; }

  // ---- files (written to a temporary file beside the target, then renamed) ----
  // Bottom-up BMP, 24-bit, or 8-bit with a gray palette. False on any failure (an existing
  // file is then left as it was).
  bool SaveBMP(const std::string& path, bool gray) const;
  // Uncompressed little-endian TIFF, one strip, top row first, RGB or gray.
  bool SaveTIFF(const std::string& path, bool gray) const;

 private:
  // Gamma blend at a pixel known to be inside.
  void BlendAt(int32_t x, int32_t y, uint32_t colour, int32_t a) {
    uint32_t* p = Row(y) + x;
    *p = BlendGamma(*p, colour, a);
  }
  void Disc(double cx, double cy, double radius, uint32_t colour, double opacity);
  void BlendSpan(int64_t y, int64_t xFrom, int64_t xTo, uint32_t colour, int32_t a);
  void TakeStorage(TImg32& other);
  template <class CoverageFn>
  void Paint(double x0, double y0, double x1, double y1, uint32_t colour, double opacity,
             CoverageFn coverage);

  int32_t FWidth = 0;
  int32_t FHeight = 0;
  uint32_t* FBits = nullptr;      // row 0
  std::ptrdiff_t FStride = 0;     // pixels from a row to the row above
  PixelBlockPtr<uint32_t> FOwn;   // own storage, or null
  bool FExternal = false;         // FBits belongs to someone else
};

// ---------------------------------------------------------------------------------------
// TPolyDrawer
// ---------------------------------------------------------------------------------------
enum class TPolyPointType : uint8_t { MoveTo, LineTo };

struct TPolyPoint {
  int32_t X = 0, Y = 0;
};

// The toolkit's poly-draw operation (the app implements it with QPainter).
class TPolyCanvas {
 public:
  virtual ~TPolyCanvas() = default;
  virtual void PolyDraw(const TPolyPoint* points, const TPolyPointType* types,
                        int32_t count) = 0;
};

// Collects segments and hands them to the canvas in batches of at most kCapacity points.
// A batch always begins with a move-to. Call Flush at the end; the destructor does not draw.
class TPolyDrawer {
 public:
  static constexpr int32_t kCapacity = 1022;
  explicit TPolyDrawer(TPolyCanvas& canvas) : FCanvas(canvas) {}
  // Continues the current outline when (x1, y1) is where the last segment ended.
  void AddSegment(int32_t x1, int32_t y1, int32_t x2, int32_t y2);
  void Flush();
  int32_t Count() const { return FCount; }

 private:
  void Add(int32_t x, int32_t y, TPolyPointType type);
  TPolyCanvas& FCanvas;
  TPolyPoint FPoints[kCapacity];
  TPolyPointType FTypes[kCapacity];
  int32_t FCount = 0;
};

}  // namespace orlu
