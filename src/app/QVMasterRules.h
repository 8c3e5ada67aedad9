// Rules of the command layer that are logic: ask-dialog values and their remembering, the
// size limit, binning factors, renaming, the further images of a file, mouse modes, the
// internal clipboard and the walk over a snapshot of documents. Qt-free.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/LoadStatus.h"
#include "formula/ImaMask.h"
#include "image/ImaColor.h"
#include "processing/IPGeometry.h"

namespace orlu {

class TAImage;
class TAstroDocument;
class TFitsStrings;

// ============================================================================ ask values

// What a numeric edit accepts: a number (a whole one when Integer) within Min … Max.
// ExcludeZero refuses 0 itself (a value that later divides).
struct TAskNumber {
  bool Integer = false;
  double Min = -1e300;
  double Max = 1e300;
  bool ExcludeZero = false;
};

// The value of an edit's text; nullopt when the text is no number, not whole for an integer
// field, not finite, outside the range or a refused 0. Locale-free ("." only).
std::optional<double> ParseAskValue(std::string_view text, const TAskNumber& field);
// The initial text of an edit: integers without decimals, reals in the shortest form.
std::string AskValueText(double v, bool integer);

// The last accepted answers of a dialog, newest first, keyed by the prompt.
class TAskMemory {
 public:
  explicit TAskMemory(size_t capacity) : Capacity_(capacity) {}
  void Remember(const std::string& prompt, std::vector<double> values, std::string text = {});
  // The values of the remembered answer to prompt; nullopt when none.
  std::optional<std::vector<double>> Values(const std::string& prompt) const;
  std::optional<std::string> Text(const std::string& prompt) const;

 private:
  struct TEntry {
    std::string Prompt;
    std::vector<double> Values;
    std::string Text;
  };
  const TEntry* Find(const std::string& prompt) const;
  size_t Capacity_;
  std::vector<TEntry> Entries_;
};

// ============================================================================ commands

// New sizes: SizeAccepted and SizeRefusedText of the geometry unit.

// The binning factor of an asked value: round(value − 0.1) held in 1 … 8; 1 means 1.5 × 1.5.
int32_t BinningFactor(double answer);
// The linear scale of a factor: 1.5 for 1, else the factor.
double BinningScale(int32_t factor);

// The document name of a "Rename" answer: trimmed, a trailing "." removed, each of
// < > | " \ / : * ? replaced by "_", the extension ".fit" put on (replacing any); empty
// when nothing is left of the name.
std::string RenamedFileName(std::string_view answer);

// Images of a file beyond the first that an open brings up: QVIM_CNT − 1 for a FITS file
// (".fit", ".fits", ".fts", ".fz") whose header says so, held at most limit; 0 for any other
// file, whose header may carry the card from elsewhere.
int32_t FurtherImageCount(const std::string& path, const TFitsStrings& header, int32_t limit);

// The centre of a rectangle as the paste records it: "%d,%d", halves toward zero.
std::string RectCentreText(const TPixelRect& r);

// Mouse modes: 0 normal, 2 annotate, 3 mask editing.
inline constexpr int32_t kMouseNormal = 0;
inline constexpr int32_t kMouseAnnotate = 2;
inline constexpr int32_t kMouseMask = 3;
// The mode after asking for requested in mode current: the same mode again goes back to
// normal; an unknown mode is normal.
int32_t NextMouseMode(int32_t current, int32_t requested);

// The rectangle that the selection-square key selects around (x, y): side
// clamp(longer side / 20, 30, 300), held inside the image.
TPixelRect SquareAround(int32_t x, int32_t y, int32_t width, int32_t height);

// The lines of the undo list, one per stored level (1-based level k restores snapshot k − 1):
// the translated name of the step that the level undoes, "Macro" for a step of a macro, or
// "?          ?" when the level's history does not tell.
std::vector<std::string> UndoLevelNames(const TAstroDocument& doc);

// ============================================================================ clipboard

// The internal clipboard image: empty, or one image with its header.
class TInternalClipboard {
 public:
  bool Empty() const { return !Image_; }
  const TAImage* Image() const { return Image_.get(); }
  void Set(std::unique_ptr<TAImage> image) { Image_ = std::move(image); }
  void Clear() { Image_.reset(); }

 private:
  std::unique_ptr<TAImage> Image_;
};

// The part of an image (with its header, visualization and the solution shifted) inside r;
// nullptr when r is empty or memory ran short.
std::unique_ptr<TAImage> CopyImageRect(const TAImage& image, const TPixelRect& r);
// Pastes src centred on the rectangle r of dst, clipped to dst; the planes of a monochrome
// source go into every colour plane. The number of pixels written.
int64_t PasteCentred(const TAImage& src, TAImage& dst, const TPixelRect& r);

// ============================================================================ walks

// A walk over a snapshot of items taken at its start: items that went away meanwhile
// (alive() false) are passed over, so an action that closes or opens windows does not
// disturb it.
template <class T>
class TSnapshotWalk {
 public:
  TSnapshotWalk(std::vector<T> items, std::function<bool(const T&)> alive)
      : Items_(std::move(items)), Alive_(std::move(alive)) {}
  // Advances to the next live item; false after the last.
  bool Next() {
    while (++Index_ < int32_t(Items_.size()))
      if (Alive_(Items_[size_t(Index_)])) return true;
    return false;
  }
  const T& Current() const { return Items_[size_t(Index_)]; }
  int32_t Count() const { return int32_t(Items_.size()); }

 private:
  std::vector<T> Items_;
  std::function<bool(const T&)> Alive_;
  int32_t Index_ = -1;
};

}  // namespace orlu
