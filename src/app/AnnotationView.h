// Annotations in an image window: the mapping of image coordinates onto the rendered part of
// the zoomed image, so that they are drawn at screen resolution over it. Qt-free.
#pragma once

#include <cstdint>

namespace orlu {

class TAnnotation;
class TAnnotationList;
struct TAnnParams;

// The rendered picture: Width x Height screen pixels whose top-left pixel is at (Left, Top)
// of the zoomed image (rows counted top-down), zoom numerator of kZoomDenominator.
struct TViewMapping {
  int32_t Numerator = 960;
  int32_t ImageHeight = 0;
  int64_t Left = 0, Top = 0;
  int32_t Width = 0, Height = 0;
};

// The first zoomed pixel showing image pixel n (the screen shows pixel floor(k × 960 / num)
// at k): ceil(n × numerator / 960), also for negative n.
int64_t ZoomedStart(int64_t n, int32_t numerator);

// The annotation with its corners in picture coordinates (x right, y up, row 0 the picture's
// bottom row) and its font size scaled by the zoom; line widths stay in screen pixels.
// Figures spanning pixels take the outer edges of their corner pixels, arrows, rulers and
// points the centres.
void MapAnnotationToView(TAnnotation& a, const TViewMapping& m);

// out = the annotations of source that may reach the picture, mapped; false when none do.
// With params their texts are expanded first, so that position macros (%PRA, %PDEC) see
// image coordinates.
bool MapAnnotationsToView(const TAnnotationList& source, const TViewMapping& m,
                          TAnnotationList& out, const TAnnParams* params = nullptr);

}  // namespace orlu
