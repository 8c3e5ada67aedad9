#include "uAnnotationOverlay.h"

#include <QPainter>

#include "ViewRender.h"
#include "document/uAstroDoc.h"
#include "uQtTextPainter.h"

namespace orlu {

void DrawPicture(QPainter& p, QPoint topLeft, const TViewPicture& pic) {
  for (int32_t i = 0; i < pic.BandCount(); ++i) {
    const TBgraBitmap& b = pic.Band(i);
    const QImage img(reinterpret_cast<const uchar*>(b.Pixels()), b.Width(), b.Height(),
                     qsizetype(b.Width()) * 4, QImage::Format_RGB32);
    p.drawImage(topLeft + QPoint(0, pic.BandTop(i)), img);
  }
}

bool TAnnotationOverlay::Wanted(const TAstroDocument& doc) {
  return AnnotationsShown() && !doc.Annotations.IsEmpty();
}

bool TAnnotationOverlay::Paint(QPainter& p, QPoint topLeft, const TViewPicture& pic,
                               const TAstroDocument& doc, const TViewMapping& m) {
  if (!Wanted(doc) || pic.Width() <= 0 || pic.Height() <= 0) return false;
  const TAnnParams params = TAnnParams::ForImage(doc.Image(), doc.FileNamePart());
  if (!MapAnnotationsToView(doc.Annotations, m, Mapped_, &params)) return false;
  if (Scratch_.size() != QSize(pic.Width(), pic.Height())) {
    Scratch_ = QImage(pic.Width(), pic.Height(), QImage::Format_RGB32);
    if (Scratch_.isNull()) return false;
  }
  {
    QPainter copy(&Scratch_);
    copy.setCompositionMode(QPainter::CompositionMode_Source);
    DrawPicture(copy, QPoint(0, 0), pic);
  }
  // The scratch rows run top-down: wrapped from its last row with a negative stride.
  TImg32 surface;
  surface.Wrap(Scratch_.scanLine(Scratch_.height() - 1), Scratch_.width(), Scratch_.height(),
               -std::ptrdiff_t(Scratch_.bytesPerLine()));
  TQtTextPainter painter;
  Mapped_.Draw(surface, params, painter);
  p.drawImage(topLeft, Scratch_);
  return true;
}

}  // namespace orlu
