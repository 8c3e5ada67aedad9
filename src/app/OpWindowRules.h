// Rules of the operation windows (mask, history, macros, range, palettes) that are not
// drawing: field validation, the mask arrows, list models and texts. Tested headless.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "annotate/uAnnotate.h"
#include "formula/ImaMask.h"
#include "processing/ImaFilter.h"
#include "visual/ImaVisu.h"

namespace orlu {

// ============================================================================ fields

// A typed number checked against its limits.
struct TFieldCheck {
  bool Ok = false;
  double Value = 0;
  std::string Message;  // translated; empty when Ok
};
// Reads text (blanks around it ignored; "," taken as ".") as a number within min..max,
// a whole number when integer. Otherwise Ok is false and Message says what is wanted:
// caption + ": " + "Invalid value" + " \"" + text + "\"" + " (" + min + " .. " + max + ")".
TFieldCheck CheckField(std::string_view caption, std::string_view text, double min, double max,
                       bool integer);
// A number as a field shows it: the shortest form that reads back the same.
std::string FieldText(double v);
// The same for a value stored as float (view bounds): the shortest float text.
std::string FloatFieldText(float v);

// ============================================================================ mask window

// The mask tools the window offers, in its button order, with their tool numbers.
struct TMaskToolButton {
  const char* Caption;  // untranslated
  int32_t Tool;         // 0 rectangle, 1 ellipse, 2 path, 3 fill, 4 value, 5 move, 6 brush
};
const std::vector<TMaskToolButton>& MaskToolButtons();
// "Replace", "Add", "Subtract", "Intersect" for modes 0..3.
const char* MaskModeCaption(TMaskMode mode);

enum class TMaskArrow : int32_t { Left, Right, Down, Up };
// The shift of an arrow button by n pixels: left −n, right +n, down −n rows, up +n rows.
TMaskPoint MaskArrowShift(TMaskArrow arrow, int32_t n);
// The mask as grey levels (weight div 256) for the smoothing dialog's preview, shrunk by
// nearest sampling so that neither side exceeds maxSide: rows top first (the mask keeps
// its bottom row first). Empty (w = h = 0) without storage.
struct TGreyPicture {
  int32_t Width = 0, Height = 0;
  std::vector<uint8_t> Levels;  // Width × Height
};
TGreyPicture MaskPreview(const TAMask& mask, int32_t maxSide);
// Limits of the window's "Pixels" field and of the "Tolerance" field.
inline constexpr int32_t kMaskMaxPixels = 30000;
inline constexpr double kMaskMaxTolerance = 1e20;

// ============================================================================ history window

// What the details pane shows for one entry: the name (translated), the time when known,
// the parameters, the text, the mask flag and the record line, one per line (LF).
std::string HistoryDetails(const THistoryItem& item);
// The macro editor's "Processing history" button: " (n)" when every entry is an operation,
// else " (n/total)", after the translated caption.
std::string HistoryButtonCaption(const THistoryList& history);

// ============================================================================ macro editor

// The operations the editor lists (every code 0..107 but 60) whose translated name holds
// search (blanks around it ignored), ignoring the case of ASCII letters; in code order.
std::vector<int32_t> MacroOperationCodes(std::string_view search);

// ============================================================================ range dialog

// What the range dialog's fields hold.
struct TRangeInput {
  TRangeMode Mode = TRangeMode::Adu;
  std::string Low, High;
  bool UseType = false;  // "Transfer function" checked
  std::string Type;      // the signed integer field
};
// The checked dialog: Ok with the range arguments and the transfer code to apply, or the
// message of the first bad field. ADU takes any finite numbers, "Percentage" 0..100,
// "Sigma" -1e6..1e6; the type field -20..20 gives type -value; unchecked keeps currentType.
struct TRangeChoice {
  bool Ok = false;
  std::string Message;
  TRangeMode Mode = TRangeMode::Adu;
  double A = 0, B = 0;
  int32_t Type = 0;
};
TRangeChoice CheckRangeInput(const TRangeInput& in, int32_t currentType);
// The type field's first value: -type for codes below 999, else 0.
int32_t RangeTypeField(int32_t type);
// The label beside the type field: the short code of type -value in capitals ("LOG").
std::string RangeTypeLabel(int32_t fieldValue);

// ============================================================================ palettes

// The palette menu's built-in items in their order, with their types.
struct TPaletteItem {
  const char* Caption;  // untranslated
  int32_t Type;
};
const std::vector<TPaletteItem>& PaletteMenuItems();
// The type a palette command gives: "Negative" on a negative palette returns to "Gray".
int32_t PaletteAfterCommand(int32_t currentType, int32_t command);
// "SawTooth" cycles: 2..50.
inline constexpr int32_t kMinCycles = 2;
inline constexpr int32_t kMaxCycles = 50;

// ============================================================================ annotate window

// The properties the annotate window edits one at a time.
enum class TAnnProp : int32_t {
  Kind, Text, Font, FontSize, Style, TextPos, TextColor, FigureColor, Width, Sections,
  Transparency, Logo, Rect
};
inline constexpr int32_t kAnnPropCount = 13;
// Copies one property of source into target (the logo is loaded again by name).
void CopyAnnotationProperty(const TAnnotation& source, TAnnotation& target, TAnnProp p);
// Every property but the selection state.
void CopyAnnotationProperties(const TAnnotation& source, TAnnotation& target);
// "Annotation" + " #k" (1-based index of the current one) and, when some are selected,
// "  -  " + "Selected" + " " + count + "/" + total.
std::string AnnotateCaption(const TAnnotationList& list);
// The rectangle of width w and height h (at least 1) whose centre, as TAnnotation computes
// it, is (cx, cy).
TAnnRect RectFromCentreSize(int32_t cx, int32_t cy, int32_t w, int32_t h);
// The rectangle moved so that its first corner (an arrow's base) is (bx, by).
TAnnRect RectWithBase(const TAnnRect& r, int32_t bx, int32_t by);

}  // namespace orlu
