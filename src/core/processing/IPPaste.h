// "Paste into image": the internal clipboard image pasted into a document, previewed live
// from the undo copy, recorded as a "Paste into" history entry.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace orlu {

class TAImage;
class TAstroDocument;
class TLiveFilter;
struct TFilterContext;

enum class TPasteMode : int32_t { Replace = 0, Add = 1, Subtract = 2, Minimum = 3, Maximum = 4 };

struct TPasteParams {
  int32_t X = 0;  // position of the pasted image's lower-left corner, −30000 .. 30000
  int32_t Y = 0;
  double Opacity = 100;  // percent
  double Offset = 0;     // added to the pasted values
  TPasteMode Mode = TPasteMode::Replace;
};

// The mode's caption: "Replace", "Add", "Subtract", "Minimum", "Maximum" (untranslated).
const char* PasteModeCaption(TPasteMode mode);

// Writes dst (source's size and kind) from source with clip pasted at (X, Y): inside the
// clip's rectangle e = Offset + clip value, combined with the source value s by the mode,
// then blended with s by the clip's mask weight (when it has one) and by the opacity;
// elsewhere s. A grey clip feeds every plane of a colour image; a colour clip pasted into a
// grey image gives its main (green) plane.
void PasteImage(const TAImage& source, TAImage& dst, const TAImage& clip, const TPasteParams& p);

// The window's model. One live filter at a time in the process (see TLiveFilter).
class TPasteInto {
 public:
  // Opens the live filter on doc (Document() nullptr when refused). The position starts at
  // the selected point (a rectangle's centre), else the image centre, minus half the clip's
  // size; opacity and mode are the last committed ones.
  TPasteInto(TAstroDocument& doc, const TAImage& clip, const TFilterContext& ctx);
  ~TPasteInto();
  TPasteInto(const TPasteInto&) = delete;
  TPasteInto& operator=(const TPasteInto&) = delete;

  TAstroDocument* Document() const;
  TPasteParams Params;

  // Recomputes the paste from the undo copy with Params.
  bool Preview();
  // Keeps the result (previewing first when nothing was), remembers opacity and mode, and
  // records "Paste into" with "%d %d  %s %g%%" (X, Y, mode caption, opacity).
  bool Commit();
  // Restores the image.
  void Cancel();
  // The joystick: a drag by (dx, dy) screen pixels at a zoom moves X by Round(dx/√zoom) and
  // Y by −Round(dy/√zoom); a click beside its centre nudges by one pixel per axis.
  void Drag(int32_t dx, int32_t dy, double zoom);
  void Nudge(int32_t sx, int32_t sy);
  // The position from another document's selected point, else its mask's lower-left corner.
  // False when it has neither.
  bool TakePositionFrom(const TAstroDocument& other);

  // The history text of the current parameters.
  std::string HistoryText() const;

 private:
  const TAImage& Clip_;
  std::unique_ptr<TLiveFilter> Live_;
};

}  // namespace orlu
