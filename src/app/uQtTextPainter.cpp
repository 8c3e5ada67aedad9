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
  const QFont f = ToQFont(font);
  const QFontMetricsF m(f);
  const QString s = QString::fromStdString(text);
  // Rows counted from the top: picture row y covers [y, y + 1) upward, so the box's bottom
  // edge is h - bottom from the top and the baseline lies one descent above it.
  const QPointF origin(left, h - bottom - m.descent());
  const QRectF ink = m.boundingRect(s).translated(origin).adjusted(-2, -2, 2, 2);
  const QRectF shown = ink.intersected(QRectF(0, 0, w, h));
  if (shown.isEmpty()) return;
  const int32_t x0 = int32_t(std::floor(shown.left())), y0 = int32_t(std::floor(shown.top()));
  const int32_t x1 = std::min(w, int32_t(std::ceil(shown.right())));
  const int32_t y1 = std::min(h, int32_t(std::ceil(shown.bottom())));
  if (x1 <= x0 || y1 <= y0) return;
  // The glyphs' coverage in a picture of the visible part of the text only, then blended
  // like every figure: in linear light, the alpha bytes kept.
  QImage coverage(x1 - x0, y1 - y0, QImage::Format_ARGB32_Premultiplied);
  if (coverage.isNull()) return;
  coverage.fill(Qt::transparent);
  {
    QPainter p(&coverage);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.setPen(Qt::white);
    p.setFont(f);
    p.drawText(origin - QPointF(x0, y0), s);
  }
  const double scale = 4096.0 / 255.0 * std::min(opacity, 1.0);
  const uint32_t c = colour & 0xFFFFFFu;
  for (int32_t ty = y0; ty < y1; ++ty) {
    const QRgb* src = reinterpret_cast<const QRgb*>(coverage.constScanLine(ty - y0));
    uint32_t* row = target.Row(h - 1 - ty);
    for (int32_t x = x0; x < x1; ++x) {
      const int32_t a = qAlpha(src[x - x0]);
      if (a) row[x] = BlendGamma(row[x], c, Round(a * scale));
    }
  }
}

}  // namespace orlu
