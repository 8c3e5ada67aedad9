// The core's text drawing done by Qt: QFont metrics, and glyph coverage rendered by QPainter
// for the visible part of the text only, blended into the picture whichever way its rows
// run in memory.
#pragma once

#include <QFont>

#include "annotate/Img32.h"

namespace orlu {

class TQtTextPainter : public TTextPainter {
 public:
  // Width: the advance of the text; Height: ascent + descent of the font.
  TTextExtent MeasureText(const std::string& text, const TTextFont& font) override;
  // Anti-aliased glyphs blended in linear light like the figures; alpha bytes are kept.
  void DrawText(TImg32& target, double left, double bottom, const std::string& text,
                const TTextFont& font, uint32_t colour, double opacity) override;

  // The font: family (the application font when empty), size in pixels rounded (at least 1),
  // bold, italic.
  static QFont ToQFont(const TTextFont& font);
};

}  // namespace orlu
