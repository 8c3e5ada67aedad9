#include "uQtTextPainter.h"

#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "base/OrluMath.h"

namespace orlu {

QFont TQtTextPainter::ToQFont(const TTextFont& font) {
  QFont f;
  if (!font.Name.empty()) f.setFamily(QString::fromStdString(font.Name));
  const double size = std::isfinite(font.Size) ? std::clamp(font.Size, 1.0, 10000.0) : 10.0;
  f.setPixelSize(std::max(1, Round(size)));
  f.setBold(font.Bold);
  f.setItalic(font.Italic);
  return f;
}

TTextExtent TQtTextPainter::MeasureText(const std::string& text, const TTextFont& font) {
  const QFontMetricsF m(ToQFont(font));
  return {m.horizontalAdvance(QString::fromStdString(text)), m.ascent() + m.descent()};
}

void TQtTextPainter::DrawText(TImg32& target, double left, double bottom,
                              const std::string& text, const TTextFont& font, uint32_t colour,
                              double opacity) {
  const int32_t w = target.Width(), h = target.Height();
  if (w <= 0 || h <= 0 || text.empty() || !(opacity > 0)) return;
  if (!std::isfinite(left) || !std::isfinite(bottom)) return;
  // QImage rows run top-down with a positive stride: a bottom-up buffer is wrapped from row
  // 0 and painted through a vertical flip, a top-down one from its top row directly.
  const std::ptrdiff_t stride = h > 1 ? target.Row(1) - target.Row(0) : w;
  const bool bottomUp = stride >= 0;
  uchar* first = reinterpret_cast<uchar*>(bottomUp ? target.Row(0) : target.Row(h - 1));
  QImage image(first, w, h, qsizetype(std::abs(stride)) * 4, QImage::Format_RGB32);
  QPainter p(&image);
  if (bottomUp) p.setTransform(QTransform(1, 0, 0, -1, 0, h));
  p.setRenderHint(QPainter::TextAntialiasing);
  p.setOpacity(std::min(opacity, 1.0));
  p.setPen(QColor::fromRgb(colour & 0xFFFFFFu));
  const QFont f = ToQFont(font);
  p.setFont(f);
  // Picture row y covers [y, y + 1) counted upward, so the box's bottom edge is h - bottom
  // from the top and the baseline lies one descent above it.
  const QFontMetricsF m(f);
  const double limit = 1e7;  // beyond any picture; keeps the painter's arithmetic finite
  const double x = std::clamp(left, -limit, limit);
  const double baseline = std::clamp(h - bottom - m.descent(), -limit, limit);
  p.drawText(QPointF(x, baseline), QString::fromStdString(text));
}

}  // namespace orlu
