// The document's annotations over the rendered part of an image window, drawn at screen
// resolution: only a picture of the window's size is made, never one of the image's.
#pragma once

#include <QImage>
#include <QPoint>

#include "AnnotationView.h"
#include "annotate/uAnnotate.h"

class QPainter;

namespace orlu {

class TAstroDocument;
class TViewPicture;

// Draws a rendered picture band by band; the bands' rows already read top-down (see
// TViewRenderer::Render), so each is wrapped as an image without a copy.
void DrawPicture(QPainter& p, QPoint topLeft, const TViewPicture& pic);

class TAnnotationOverlay {
 public:
  // The document has annotations and they are shown.
  static bool Wanted(const TAstroDocument& doc);
  // Paints pic at topLeft with the document's annotations, mapped by m, over it; false,
  // nothing painted, when no annotation reaches the picture (or memory ran short).
  bool Paint(QPainter& p, QPoint topLeft, const TViewPicture& pic, const TAstroDocument& doc,
             const TViewMapping& m);

 private:
  QImage Scratch_;          // the picture with the annotations, kept between paints
  TAnnotationList Mapped_;  // the annotations in picture coordinates
};

}  // namespace orlu
