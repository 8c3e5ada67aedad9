// Annotations of an image: figures with optional text in image coordinates, their one-line
// text form (".ann" files and "COMMENT {ANNOTATE " header cards), text macros, geometry
// updates, the selection rules of the mouse tool, and drawing onto a TImg32.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "annotate/Img32.h"

namespace orlu {

class TAImage;
class TFitsStrings;
class TAnnotationOptions;
struct TWcs;

// ---------------------------------------------------------------------------------------
// Kinds, text positions, style flags
// ---------------------------------------------------------------------------------------
enum TAnnotationKind : int32_t {
  akEllipse = 0, akCircle, akArrow, akRuler, akTextBox, akLogo, akRectangle, akSquare,
  akCorners, akCross, akCrossV, akCrossH, akCrossNE, akCrossSE, akCrossSW, akCrossNW,
  akPoint, akNone
};
inline constexpr int32_t kAnnotationKinds = 18;
// "Ellipse" … "None"; empty for a number outside 0..17.
const char* AnnotationKindName(int32_t kind);

enum TAnnTextPosition : uint8_t { tpTop = 0, tpDown, tpLeft, tpRight, tpCenter, tpNone };
// "Top", "Down", "Left", "Right", "Center", "None"; empty outside 0..5.
const char* TextPositionName(int32_t position);

enum : uint32_t { kAnnBold = 1, kAnnItalic = 2, kAnnOutline = 4 };

// Bounds of values read from lines: larger ones are clamped.
inline constexpr int32_t kAnnMaxCoordinate = 100'000'000;  // |x|, |y|
inline constexpr int32_t kAnnMaxWidth = 1000;               // line width, pixels
inline constexpr int32_t kAnnMaxSections = 1000;
inline constexpr int32_t kAnnMaxFontSize = 1000;            // points
// HitAny gives up above this many annotations (the hand cursor is not worth the scan).
inline constexpr int32_t kAnnMaxHitCount = 1000;

// Figure colours that SkipMarkedCircles leaves out (circles made by the catalogue tools).
inline constexpr uint32_t kAnnMarkedCircleColour1 = 0xFF0020;
inline constexpr uint32_t kAnnMarkedCircleColour2 = 0xF8F800;

// ---------------------------------------------------------------------------------------
// Text escape of the line form
// ---------------------------------------------------------------------------------------
// UTF-8 text to printable ASCII: 32..126 except "%" as they are, code points from 256 up as
// "%u" + 4 upper-case hex digits (a surrogate pair beyond U+FFFF), everything else as "%"
// + 2 hex digits. Invalid UTF-8 bytes become "?".
std::string EscapeAnnotationText(std::string_view text);
// The same, and "[", "]", "#", ">" also as "%XX": a font or logo name then cannot be mistaken
// for the delimiters of the line form.
std::string EscapeAnnotationName(std::string_view name);
// Both forms back to UTF-8; an escape with invalid digits, a cut escape or a lone surrogate
// gives "?".
std::string UnescapeAnnotationText(std::string_view text);

// ---------------------------------------------------------------------------------------
// Logos
// ---------------------------------------------------------------------------------------
// Reads a picture file (PNG) into a 32-bit picture whose alpha byte is 0 for opaque and 255
// for transparent pixels; false when the file cannot be read.
using TPictureReader = std::function<bool(const std::filesystem::path&, TImg32&)>;

// Where logos come from: the "Logo" subfolder of the user files and the picture reader.
// Process-wide; the application sets both at start-up. Without a reader no logo loads
// (the placeholder is drawn).
struct TLogoSource {
  std::filesystem::path Folder;
  TPictureReader Read;
};
TLogoSource& LogoSource();

// The last path component of name ("/" and "\\" both separate); "" for "." and "..".
// A name from a file or header can then only address a file inside the logo folder.
std::string SafeLogoName(std::string_view name);

class TAnnotationLogo {
 public:
  TImg32 Full;     // the picture; empty when not loaded
  TImg32 Half;     // halved once
  TImg32 Quarter;  // halved twice
  std::string FileName;  // the name the annotation stores (no folder)
  bool Loaded = false;

  // Takes SafeLogoName(name) and reads it from the logo folder. An empty name clears the
  // logo; a missing or unreadable file leaves the pictures empty but keeps the name, so
  // that the annotation is saved as it was read. Returns Loaded.
  bool Load(std::string_view name);
  void Clear();
  void Assign(const TAnnotationLogo& source);
};

// ---------------------------------------------------------------------------------------
// Drawing parameters and macros
// ---------------------------------------------------------------------------------------
// The current time as a Julian date (UT).
using TClockJD = std::function<double()>;
// The system clock.
double SystemClockJD();

struct TAnnParams {
  double JDUT = 0;     // observation time, Julian date UT; below 1000: unknown
  double JDLocal = 0;  // the same in local time
  const TFitsStrings* Header = nullptr;     // %KEYWORD values ("?" without a header)
  const TWcs* Wcs = nullptr;                // the solution; nullptr without one
  int32_t ImageWidth = 0, ImageHeight = 0;  // %CRA, %CDEC at the image centre
  std::string DocumentName;                 // %FILENAME
  TClockJD Clock = SystemClockJD;           // %TIME
  // Circles (kind 1) in the two marked figure colours are not drawn.
  bool SkipMarkedCircles = false;

  // Header, solution and size of image; its DATE-OBS time and DATE-LOC local time.
  static TAnnParams ForImage(const TAImage& image, std::string documentName);
};

// A Julian date formatted with a date-time pattern: "yy"/"yyyy", "m"/"mm" (minutes right
// after an hour), "mmm"/"mmmm" month names, "d"/"dd", "ddd"/"dddd" day names,
// "ddddd"/"dddddd" short/long date, "h"/"hh" (12-hour with "am/pm", "a/p" or "ampm"), "n"/"nn"
// minutes, "s"/"ss", "z"/"zzz" milliseconds, "t"/"tt" short/long time, "c" date and time,
// quoted text literal. An empty pattern is "c". English names, ISO date "yyyy-mm-dd",
// times "hh:nn" and "hh:nn:ss". Empty for a date outside the years 1..9999.
std::string FormatJulianDate(std::string_view pattern, double jd);

// ---------------------------------------------------------------------------------------
// TAnnotation
// ---------------------------------------------------------------------------------------
struct TAnnRect {
  int32_t X1 = 0, Y1 = 0, X2 = 0, Y2 = 0;
  bool operator==(const TAnnRect&) const = default;
};

// Which part of an annotation the mouse holds: the body, or a corner 1 (X1, Y1), 2 (X2, Y2),
// 3 (X1, Y2), 4 (X2, Y1).
enum : int32_t { kHandleBody = 0 };

class TAnnotation {
 public:
  TAnnotation() = default;
  TAnnotation(const TAnnotation&) = delete;
  TAnnotation& operator=(const TAnnotation&) = delete;

  // ---- stored fields (image coordinates: x right, y up, 0-based pixels) ----
  int32_t Kind = akRectangle;
  // For arrows and rulers (X1, Y1) is the base and (X2, Y2) the tip or end.
  int32_t X1 = 100, Y1 = 100, X2 = 200, Y2 = 150;
  TAnnRect Saved;  // rectangle at the start of a drag
  std::string Text;  // UTF-8, lines separated by carriage returns
  uint32_t TextColor = 0xD8D8B8;    // 0x00BBGGRR
  uint32_t FigureColor = 0xD8D8B8;  // 0x00BBGGRR
  int32_t Width = 2;                // line width, pixels
  int32_t Sections = 1;             // of a ruler
  int32_t Transparency = 0;         // percent; a text box's background opacity
  std::string FontName = "Arial";
  int32_t FontSize = 10;  // points
  uint32_t Style = 0;     // kAnnBold | kAnnItalic | kAnnOutline
  uint8_t TextPos = tpTop;
  bool Selected = false;
  bool SavedSelected = false;
  int32_t SelectionSeq = 0;  // from the process-wide counter, when last selected
  TAnnotationLogo Logo;

  // ---- copies ----
  // Every stored field and the logo pictures; selection state included.
  void Assign(const TAnnotation& source);
  std::unique_ptr<TAnnotation> Clone() const;

  // A newly selected annotation takes the next sequence number.
  void SetSelected(bool selected);

  // ---- line form ----
  // "%.2d" kind, [">" text (">" logo) "[" font "#" size style position "]"], then
  // " x1 y1 x2 y2 textColour figureColour width sections transparency".
  std::string ToLine() const;
  // Parses one line into this annotation (fields absent from the line get their defaults,
  // the selection state is kept). A bad line leaves the annotation unchanged and returns
  // false: 3 characters or fewer, a kind that is not 0..17, a text part without its font
  // part or with fewer than 3 font numbers, fewer than 9 numbers after it. Other numbers
  // are clamped to their ranges; the logo is loaded from the logo folder.
  bool FromLine(std::string_view line);

  // ---- rectangle ----
  TAnnRect Rect() const { return {X1, Y1, X2, Y2}; }
  void SetRect(const TAnnRect& r);
  // ((X1 + X2)/2, (Y1 + Y2)/2), halves truncated toward zero.
  int32_t CentreX() const;
  int32_t CentreY() const;
  // |X2 - X1| + 1 and |Y2 - Y1| + 1.
  int64_t RectWidth() const;
  int64_t RectHeight() const;
  // Grows every side by d (×2 from 80 pixels wide or high, ×4 from 160). Shrinking is
  // refused (false) when the width or height is 9 or less.
  bool Grow(int32_t d);
  // Shifts the rectangle so that its centre is (x, y).
  void CentreOn(int32_t x, int32_t y);
  // Moves by (dx, dy), saturating at kAnnMaxCoordinate.
  void MoveBy(int64_t dx, int64_t dy);
  // The rectangle grown by 4 on every side (corners ordered) contains (x, y).
  bool Contains(int32_t x, int32_t y) const;
  // Body or corner under (x, y): the nearest of the centre and the four corners; a corner
  // only within clamp(|X2 - X1|/6, 8, 36) pixels.
  int32_t HandleAt(int32_t x, int32_t y) const;
  // Handle size of the selection frame and of HandleAt: clamp(|X2 - X1|/6, 8, 36).
  int32_t HandleSize() const;
  // Saved = the rectangle; DragFromSaved moves the held part by (dx, dy) from Saved.
  void SaveRect() { Saved = Rect(); }
  void DragFromSaved(int32_t handle, int32_t dx, int32_t dy);

  // ---- arrows and rulers in the annotate window ----
  // Distance from base to tip, less 2 for an arrow and 1 for a ruler (what the window shows).
  double ShownLength() const;
  // Direction from base to tip, degrees counter-clockwise from +x (y up); 0 when they meet.
  double AngleDeg() const;
  // Puts the tip at the shown length and angle from the base (rounded to pixels).
  void SetLengthAngle(double shownLength, double angleDeg);

  // ---- catalogue annotations ----
  // Kind, width, transparency, font and colours from the catalogue defaults; objectColour
  // is the colour of the object's class (deep sky, comet, asteroid), used where the
  // options ask for individual colours.
  void SetCatalogStyle(const TAnnotationOptions& options, uint32_t objectColour);

  // ---- drawing ----
  // The text with its macros replaced (see ExpandAnnotationText).
  std::string ExpandedText(const TAnnParams& params) const;
  // Figure, selection frame when selected, and text (not for position None).
  void Draw(TImg32& target, const TAnnParams& params, TTextPainter& painter) const;
};

// Replaces the macros of an annotation's text in one pass; substituted values are never
// scanned again. %UT"pattern" and %LT"pattern": the observation time (every character "?"
// when unknown); %FILENAME; %PRA, %PDEC at the annotation's centre and %CRA, %CDEC at the
// image centre ("?? ?? ??.?" / "?? ?? ??" without a solution); %TIME"pattern": the clock
// ("??:???" without a pattern; %TIME followed by a keyword character is a header keyword
// such as TIME-OBS); "%" + upper-case letter + [A-Z0-9-_]*: the header value. Texts shorter
// than 3 characters or without "%" are returned as they are.
std::string ExpandAnnotationText(std::string_view text, const TAnnotation& annotation,
                                 const TAnnParams& params);

// Process-wide show/hide: hidden annotations are neither drawn nor hit.
bool AnnotationsShown();
void ShowAnnotations(bool shown);

// ---------------------------------------------------------------------------------------
// TAnnotationList
// ---------------------------------------------------------------------------------------
// ".ann" files.
inline constexpr const char* kAnnFileHeaderAll = "Quorvane annotations file";
inline constexpr const char* kAnnFileHeaderOne = "Quorvane annotation file";
inline constexpr const char* kAnnOpenFilter = "Annotation files  *.ann|*.ann|All files  *.*|*.*";
inline constexpr const char* kAnnSaveFilter = "Annotation files  *.ann|*.ann";
// Files larger than this are refused.
inline constexpr int64_t kAnnMaxFileBytes = 64ll << 20;

// The result of parsing lines.
struct TAnnParseResult {
  bool Ok = true;
  int32_t BadLine = -1;  // index of the first bad line, -1 when none
  int32_t Added = 0;     // annotations created
};

// The outcome of opening an ".ann" file.
struct TAnnFileResult {
  bool Ok = false;  // the file was read
  int32_t Added = 0;
  int32_t BadLines = 0;  // skipped
};

// The result of a mouse selection: the annotation under the point and the part held.
struct TAnnHit {
  TAnnotation* Annotation = nullptr;
  int32_t Handle = kHandleBody;
};

// Owning list in drawing order (later ones on top). Single-threaded (the UI thread).
class TAnnotationList {
 public:
  TAnnotationList() = default;
  TAnnotationList(const TAnnotationList&) = delete;
  TAnnotationList& operator=(const TAnnotationList&) = delete;

  bool Modified = false;  // set by every change of the contents, cleared by loading

  // ---- list ----
  int32_t Count() const { return int32_t(Items_.size()); }
  bool IsEmpty() const { return Items_.empty(); }
  TAnnotation& operator[](int32_t i) { return *Items_[size_t(i)]; }
  const TAnnotation& operator[](int32_t i) const { return *Items_[size_t(i)]; }
  // Modified when the list was not empty.
  void Clear();
  // Appends and returns the annotation.
  TAnnotation& Add(std::unique_ptr<TAnnotation> annotation);
  // Appends a copy.
  TAnnotation& AddCopy(const TAnnotation& annotation);
  // Appended as the "New" button does: nudged by (+6, -6) when another annotation has
  // nearly the same rectangle (corner differences summing below 5), then selected.
  TAnnotation& AddAsNew(std::unique_ptr<TAnnotation> annotation);
  TAnnotation* Last();
  // Removed annotations are handed to the caller (an undelete list); nullptr when none.
  std::unique_ptr<TAnnotation> DeleteLast();
  std::unique_ptr<TAnnotation> DeleteFirstSelected();
  // -1 when not in the list.
  int32_t IndexOf(const TAnnotation* annotation) const;
  // The target is cleared and receives copies of all annotations.
  void CopyTo(TAnnotationList& target) const;
  // An annotation of the target with exactly the same rectangle takes over each one's
  // properties and is deselected; otherwise a copy is appended.
  void MergeInto(TAnnotationList& target) const;
  void BringToFront(const TAnnotation* annotation);
  void SendToBack(const TAnnotation* annotation);

  // ---- hits and selection ----
  // Among the annotations containing (x, y) (Contains), the one with the nearest centre
  // (the later one on a tie); nullptr when none or hidden.
  TAnnotation* AnnotationAt(int32_t x, int32_t y);
  // Some annotation contains (x, y); false when hidden or above kAnnMaxHitCount annotations.
  bool HitAny(int32_t x, int32_t y) const;
  // The selected annotation with the highest sequence number.
  TAnnotation* Current();
  const TAnnotation* Current() const;
  int32_t SelectedCount() const;
  // Selects exactly that one (none for nullptr).
  void Select(TAnnotation* annotation);
  void SelectAll();
  // The one after / before the current one, cyclic; without a current one the most recent.
  void SelectNext();
  void SelectPrevious();
  void SelectLast();
  // The one with the highest sequence number, selected or not.
  void SelectMostRecent();
  // The click of the annotate mouse tool at (x, y); see the rules in the source.
  TAnnHit MouseSelect(int32_t x, int32_t y, bool shift, bool ctrl);

  // ---- geometry (after the image's transforms) ----
  void Shift(int32_t dx, int32_t dy);
  // Selected only; true when any moved.
  bool MoveSelected(int32_t dx, int32_t dy);
  // x -> width - 1 - x for both corners.
  void FlipHorizontal(int32_t width);
  // y -> height - 1 - y.
  void FlipVertical(int32_t height);
  // After a crop or border: shifts all by (dx, dy), then deletes those lying completely
  // outside the new width x height image (kept while x2 > 0, x1 < width - 1, y2 > 0,
  // y1 < height - 1 with corners ordered).
  void Offset(int32_t width, int32_t height, int32_t dx, int32_t dy);
  // After a resize: x × sx, y × sy, font size × (sx + sy)/2, rounded (font size at least 1).
  // Non-finite or non-positive factors do nothing.
  void Scale(double sy, double sx);

  // ---- line form, header cards, files ----
  std::vector<std::string> ToLines() const;
  // Clears the list, then one annotation per line up to the first bad line, which ends the
  // parsing (reported in the result; nothing is made of it or of the lines after it).
  // Clears Modified.
  TAnnParseResult FromLines(const std::vector<std::string>& lines);
  // FromLines of the header's "COMMENT {ANNOTATE " cards.
  TAnnParseResult ReadFromHeader(const TFitsStrings& header);
  // Replaces the header's annotation cards by this list's lines (none when empty).
  void WriteToHeader(TFitsStrings& header) const;
  // Line 1 kAnnFileHeaderAll and every annotation (all), or kAnnFileHeaderOne and the
  // current one. Written to a temporary file beside path, then renamed; false on failure
  // (an existing file is then left as it was) or when there is nothing to save.
  bool SaveToFile(const std::filesystem::path& path, bool all) const;
  // Adds the annotations of an ".ann" file (bad lines skipped) as AddAsNew does. A file
  // whose first line does not contain "notations" holds single annotations: each is centred
  // on (viewCentreX, viewCentreY), the centre of the visible part of the image.
  TAnnFileResult OpenFile(const std::filesystem::path& path, int32_t viewCentreX,
                          int32_t viewCentreY);

  // ---- drawing ----
  // All annotations in list order, unless hidden.
  void Draw(TImg32& target, const TAnnParams& params, TTextPainter& painter) const;

 private:
  std::vector<std::unique_ptr<TAnnotation>> Items_;
};

}  // namespace orlu
