// The filter framework: steps, the operation registry, plane-level execution, the one-shot
// command, macro replay and the live-preview protocol.
#include "processing/uFilMan.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <stdexcept>

#include "base/EOrluError.h"
#include "base/OrluMath.h"
#include "base/TextNumbers.h"
#include "base/Translate.h"
#include "document/uAstroDoc.h"
#include "image/ImaColor.h"
#include "image/LibThreads.h"
#include "options/uQuorvane.h"
#include "processing/IPBasic.h"
#include "processing/IPCalc.h"
#include "processing/IPTransform.h"

namespace orlu {

// ============================================================================ context

const TQVOptions& TFilterContext::Opts() const { return Options ? *Options : orlu::Options(); }

const TFilterRegistry& TFilterContext::Reg() const {
  return Registry ? *Registry : FilterRegistry();
}

// ============================================================================ the step

double TIPFilter::GetParam(int32_t k) const {
  return k >= 1 && k <= 16 ? Params[size_t(k - 1)] : kUnsetParam;
}

void TIPFilter::SetParam(int32_t k, double value) {
  if (k >= 1 && k <= 16) Params[size_t(k - 1)] = value;
}

double TIPFilter::ParamOr(int32_t k, double def) const {
  // A stored record keeps parameters only up to the first unset one: an unset value is
  // no value, whatever Replay says.
  const double v = GetParam(k);
  return Replay && v != kUnsetParam ? v : def;
}

std::string TIPFilter::TextOr(std::string_view def) const {
  return Replay && TextParam != kVoidText ? TextParam : std::string(def);
}

void TIPFilter::Reset() {
  Params.fill(kUnsetParam);
  TextParam = kVoidText;
  Disabled = false;
}

void TIPFilter::CopyFrom(const TIPFilter& other) {
  Params = other.Params;
  TextParam = other.TextParam;
  Cancelled = other.Cancelled;
  AskState = other.AskState;
  Code = other.Code;
  Disabled = other.Disabled;
}

void TIPFilter::ToHistoryItem(THistoryItem& item) const {
  item.Code = Code;
  item.Params = Params;
  item.Text = TextParam;
  item.Ask = AskState != 0;
}

void TIPFilter::FromHistoryItem(const THistoryItem& item) {
  Code = item.Code;
  Params = item.Params;
  TextParam = item.Text;
  AskState = item.Ask ? -1 : 0;
}

std::string TIPFilter::StepText() {
  std::string s = Tr(OperationName(Code)) + "|";
  if (Disabled) return s + "<" + Tr("Disabled") + ">";
  ToHistoryItem(Item);
  Item.Kind = 1;
  return s + Item.DetailText();
}

// ============================================================================ dialogs

namespace {

struct TStandardEntry {
  std::vector<int32_t> Codes;
  const char* Word;    // translated
  const char* Suffix;  // kept
  const char* Unit;
  double Default, Step, Min, Max;
  bool Decimals;
};

// The single-value dialogs of the filter commands.
const std::vector<TStandardEntry>& SingleValueTable() {
  static const std::vector<TStandardEntry> table = {
      {{0}, "Offset", " ? ", "", 0, 1, -1e15, 1e15, true},
      {{1}, "Pedestal", " ? ", "", 0, 1, -65535, 9999999, false},
      {{2}, "Multiplicative coefficient", " ? ", "x", 1, 0.1, 0, 1e9, true},
      {{3}, "Divisor", " ?", "\\", 2, 0.1, 0.00001, 100000, true},
      {{4}, "Normalization", " ? ", "", 10000, 1, 1, 1e15, false},
      {{5}, "Coefficient", " ? ", "", 1000, 100, 0, 1e9, false},
      {{7, 10, 11, 12}, "Strength", " ? ", "%", 30, 1, 0, 100, false},
      {{8}, "Row", " ? ", "", 0, 1, 0, 9999999, false},
      {{9}, "Column", " ? ", "", 0, 1, 0, 9999999, false},
      {{14}, "Saturation", " ? ", "", -1, 1, -1, 1e20, false},
      {{19, 20, 23, 28, 29}, "Size", " ?", "", 3, 2, 3, 99, false},
      {{30}, "Radius", " ? ", "", 5, 1, 1, 5000, false},
      {{34, 35, 36, 37}, "Width", " ? ", "", 1, 0.1, 1, 50, true},
      {{38, 39}, "Low pass", " ?", "", 50, 10, 0, 100, false},
      {{94}, "Radius", " ? ", "", -1, 1, -1, 15000, false},
  };
  return table;
}

std::map<int32_t, TParamDialog> BuildStandardDialogs() {
  std::map<int32_t, TParamDialog> out;
  for (const TStandardEntry& e : SingleValueTable()) {
    for (int32_t code : e.Codes) {
      TParamDialog d;
      d.Code = code;
      d.Caption = std::string(e.Word) + e.Suffix;
      d.Fields.push_back(TParamField{std::string(e.Word) + e.Suffix, e.Unit, e.Default, e.Step,
                                     e.Min, e.Max, e.Decimals});
      out[code] = std::move(d);
    }
  }
  const std::pair<int32_t, const char*> clamps[] = {{49, "Minimum threshold , new value ?"},
                                                    {50, "Maximum threshold , new value ?"}};
  for (const auto& [code, caption] : clamps) {
    const double def = code == 49 ? 0 : 65535;
    TParamDialog d;
    d.Code = code;
    d.Caption = caption;
    d.Fields.push_back(TParamField{caption, "", def, 1, -1e20, 1e20, true});
    d.Fields.push_back(TParamField{caption, "", def, 1, -1e20, 1e20, true});
    out[code] = std::move(d);
  }
  return out;
}

const std::map<int32_t, TParamDialog>& StandardDialogs() {
  static const std::map<int32_t, TParamDialog> dialogs = BuildStandardDialogs();
  return dialogs;
}

// The translated prompt of a standard field: the word passes the table, the suffix stays.
std::string TranslatedPrompt(const std::string& prompt) {
  const size_t end = prompt.find_last_not_of(" ?");
  if (end == std::string::npos) return prompt;
  return Tr(prompt.substr(0, end + 1)) + prompt.substr(end + 1);
}

std::string OperationLabel(int32_t code) { return Tr(OperationName(code)); }

[[noreturn]] void ThrowAbsent(int32_t code) {
  throw EOrluError(Tr("Operation not available in this version") + ": " + OperationLabel(code));
}

}  // namespace

const TParamDialog* StandardDialog(int32_t code) {
  const auto& d = StandardDialogs();
  const auto it = d.find(code);
  return it == d.end() ? nullptr : &it->second;
}

std::unique_ptr<TParamDialog> DialogFor(int32_t code, const TFilterRegistry& registry) {
  const TFilterOperation* op = registry.Find(code);
  if (op && (op->Flags & kOpNoDialog)) return nullptr;
  std::unique_ptr<TParamDialog> d;
  if (op && (!op->Fields.empty() || op->HasText)) {
    d = std::make_unique<TParamDialog>();
    d->Code = code;
    d->Caption = std::string(OperationName(code));
    d->Fields = op->Fields;
    d->HasText = op->HasText;
  } else if (const TParamDialog* s = StandardDialog(code)) {
    d = std::make_unique<TParamDialog>(*s);
  } else {
    return nullptr;
  }
  d->Caption = TranslatedPrompt(d->Caption);
  for (TParamField& f : d->Fields) f.Prompt = TranslatedPrompt(f.Prompt);
  return d;
}

bool TIPFilter::AskParameters(TAstroDocument* doc, const TFilterContext& ctx) {
  const TFilterRegistry& reg = ctx.Reg();
  std::unique_ptr<TParamDialog> dialog = DialogFor(Code, reg);
  Cancelled = false;
  if (!dialog) return false;
  if (const TFilterOperation* op = reg.Find(Code); op && op->PrepareDialog)
    op->PrepareDialog(*dialog, doc, ctx.Opts());
  if (doc && (Code == 8 || Code == 9)) {
    // The selected point: the selection rectangle's corner, else the image centre.
    const bool rect = doc->SelectionKind() == 1;
    const TPixelRect r = doc->SelectionBounds();
    dialog->Fields[0].Default = Code == 8 ? (rect ? r.Bottom : doc->CentreY())
                                          : (rect ? r.Left : doc->CentreX());
  }
  if (!ctx.Dialog) {
    AskState = -1;
    Cancelled = true;
    return true;
  }
  std::vector<double> values;
  for (size_t i = 0; i < dialog->Fields.size(); ++i)
    values.push_back(ParamOr(int32_t(i) + 1, dialog->Fields[i].Default));
  std::string text = dialog->HasText ? TextOr("") : std::string();
  if (!ctx.Dialog->Ask(*dialog, values, text) || values.size() != dialog->Fields.size()) {
    AskState = -1;
    Cancelled = true;
    return true;
  }
  for (size_t i = 0; i < values.size(); ++i) SetParam(int32_t(i) + 1, values[i]);
  if (dialog->HasText) TextParam = text.empty() ? std::string(kVoidText) : text;
  return false;
}

// ============================================================================ registry

void TFilterRegistry::Register(TFilterOperation op) {
  if (op.Code < 0 || op.Code > kLastOperationCode || op.Code == kOtherCode || !op.Run)
    throw std::logic_error("TFilterRegistry: bad operation for code " + std::to_string(op.Code));
  const int32_t code = op.Code;
  Ops_[code] = std::move(op);
}

const TFilterOperation* TFilterRegistry::Find(int32_t code) const {
  const auto it = Ops_.find(code);
  return it == Ops_.end() ? nullptr : &it->second;
}

std::vector<int32_t> TFilterRegistry::Codes() const {
  std::vector<int32_t> codes;
  for (const auto& [code, op] : Ops_) codes.push_back(code);
  return codes;
}

void RegisterFilterFamilies(TFilterRegistry& registry) {
  RegisterHeaderOperations(registry);
  RegisterVisualOperations(registry);
  RegisterFormatOperations(registry);
  RegisterCalcOperations(registry);
  RegisterTransformOperations(registry);
}

const TFilterRegistry& FilterRegistry() {
  static const TFilterRegistry registry = [] {
    TFilterRegistry r;
    RegisterFilterFamilies(r);
    return r;
  }();
  return registry;
}

// ============================================================================ one run

TFilterRun::TFilterRun(TIPFilter& step, TAstroDocument& doc, const TAImage* source,
                       const TFilterContext& ctx)
    : Step(step), Doc(doc), Ctx(ctx), Source_(source) {}

TFilterRun::~TFilterRun() = default;

TAImage& TFilterRun::Image() { return Doc.Image(); }

double TFilterRun::Param(int32_t k, double def) const {
  const double v = Step.GetParam(k);
  return v == kUnsetParam ? def : v;
}

int32_t TFilterRun::IntParam(int32_t k, int32_t def) const {
  const double v = Step.GetParam(k);
  return v == kUnsetParam ? def : Round(v);
}

int32_t TFilterRun::PlaneCount() const { return Doc.Image().IsColour() ? 3 : 1; }

TBWImage& TFilterRun::TargetPlane(int32_t plane) {
  TAImage& img = Doc.Image();
  TBWImage* p = plane == kPlaneMain ? img.MainPlane.get()
                : plane == kPlaneRed ? img.RedPlane.get()
                : plane == kPlaneBlue ? img.BluePlane.get()
                                      : nullptr;
  if (!p) throw EOrluError("NonNullImagePlane");
  return *p;
}

const TBWImage& TFilterRun::SourcePlane(int32_t plane) {
  TBWImage& target = TargetPlane(plane);
  if (Source_) {
    const TBWImage* s = plane == kPlaneMain ? Source_->MainPlane.get()
                        : plane == kPlaneRed ? Source_->RedPlane.get()
                                             : Source_->BluePlane.get();
    if (s && s->SameSize(target) && s->Data) return *s;
  }
  std::unique_ptr<TBWImage>& scratch = Scratch_[size_t(plane)];
  if (!scratch || !scratch->SameSize(target)) {
    scratch = std::make_unique<TBWImage>(target.Width, target.Height);
    if (!scratch->IsAllocated()) {
      scratch.reset();
      throw EOrluError(kOutOfMemoryText);
    }
    target.CopyTo(*scratch);
  }
  return *scratch;
}

bool TFilterRun::Masked() const {
  const TAImage& img = Doc.Image();
  const TAMask& m = *img.Mask;
  return m.HasStorage() && m.Width == img.Width() && m.Height == img.Height();
}

TPixelRect TFilterRun::ProcessRect() const {
  const TAImage& img = Doc.Image();
  if (!Masked()) return TPixelRect{0, 0, img.Width() - 1, img.Height() - 1};
  TPixelRect r = img.Mask->EnsureBounds();
  if (r.IsEmpty()) return r;
  r.Left = std::max(r.Left, 0);
  r.Bottom = std::max(r.Bottom, 0);
  r.Right = std::min(r.Right, img.Width() - 1);
  r.Top = std::min(r.Top, img.Height() - 1);
  return r;
}

bool TFilterRun::ReportRow(int32_t plane, int32_t row) {
  if (Aborted_.load(std::memory_order_relaxed)) return false;
  if (!Ctx.Progress) return true;
  const int32_t planes = PlaneCount();
  const int32_t index = std::min(plane, planes - 1);
  if (!Ctx.Progress->Report(index, planes, row, Doc.Image().Height())) {
    Aborted_.store(true, std::memory_order_relaxed);
    return false;
  }
  return true;
}

namespace {

// result = g·result + (1 − g)·source over columns left..right of one row; full and zero
// weights take one side exactly (0 × Inf would give NaN). The choice is made on the bits:
// a float select counts as control flow to the vectorizer while traps are honoured.
inline void BlendRow(float* dst, const float* src, const uint16_t* w, int32_t left,
                     int32_t right) {
  for (int32_t x = left; x <= right; ++x) {
    const uint32_t g = w[x];
    const float s = src[x], d = dst[x];
    const float f = float(int32_t(g)) * (1.0f / 65535.0f);
    const float b = f * d + (1.0f - f) * s;
    uint32_t sb, db, bb;
    std::memcpy(&sb, &s, 4);
    std::memcpy(&db, &d, 4);
    std::memcpy(&bb, &b, 4);
    const uint32_t m0 = 0u - uint32_t(g == 0), m1 = 0u - uint32_t(g == 65535);
    const uint32_t rb = (sb & m0) | (db & m1) | (bb & ~(m0 | m1));
    std::memcpy(&dst[x], &rb, 4);
  }
}

}  // namespace

bool TFilterRun::ProcessRows(const TRowWorker& worker, int32_t plane) {
  TBWImage& target = TargetPlane(plane);
  const TBWImage& source = SourcePlane(plane);
  const TPixelRect rect = ProcessRect();
  if (rect.IsEmpty()) return !Aborted_.load();
  const bool masked = Masked();
  const uint16_t* weights = masked ? Doc.Image().Mask->Weights() : nullptr;
  const int64_t width = target.Width;
  ParallelRows(rect.Top - rect.Bottom + 1, 0, [&](int32_t i) {
    if (Aborted_.load(std::memory_order_relaxed)) return;
    const int32_t row = rect.Bottom + i;
    worker(TRowJob{source, target, plane, row, rect.Left, rect.Right});
    if (weights)
      BlendRow(target.Data + row * width, source.Data + row * width, weights + row * width,
               rect.Left, rect.Right);
    ReportRow(plane, row);
  });
  return !Aborted_.load();
}

bool TFilterRun::ProcessPlanes(const TRowWorker& worker) {
  for (int32_t p = 0; p < PlaneCount(); ++p)
    if (!ProcessRows(worker, p)) return false;
  return true;
}

void TFilterRun::MergeMasked(int32_t plane) {
  if (!Masked()) return;
  TBWImage& target = TargetPlane(plane);
  const TBWImage& source = SourcePlane(plane);
  if (!source.SameSize(target)) return;
  const TPixelRect rect = ProcessRect();
  const uint16_t* weights = Doc.Image().Mask->Weights();
  const int64_t width = target.Width;
  ParallelRows(target.Height, 0, [&](int32_t row) {
    float* d = target.Data + row * width;
    const float* s = source.Data + row * width;
    if (rect.IsEmpty() || row < rect.Bottom || row > rect.Top) {
      std::memcpy(d, s, size_t(width) * sizeof(float));
      return;
    }
    std::memcpy(d, s, size_t(rect.Left) * sizeof(float));
    std::memcpy(d + rect.Right + 1, s + rect.Right + 1,
                size_t(width - 1 - rect.Right) * sizeof(float));
    BlendRow(d, s, weights + row * width, rect.Left, rect.Right);
  });
}

// ============================================================================ execution

namespace {

// Refuses parameters outside the dialog's limits, as a typed value would be.
void CheckLimits(const TIPFilter& step, const TFilterOperation& op, const TAImage& image,
                 const TFilterRegistry& registry) {
  if (std::unique_ptr<TParamDialog> dialog = DialogFor(step.Code, registry)) {
    for (size_t i = 0; i < dialog->Fields.size(); ++i) {
      const double v = step.GetParam(int32_t(i) + 1);
      if (v == kUnsetParam) continue;
      const TParamField& f = dialog->Fields[i];
      if (!std::isfinite(v) || v < f.Min || v > f.Max)
        throw EOrluError(OperationLabel(step.Code) + ": " + Tr("parameter") + " " +
                         std::to_string(i + 1) + " = " + FormatG(v, 15) + " " +
                         Tr("is outside") + " " + FormatG(f.Min, 15) + " .. " +
                         FormatG(f.Max, 15));
    }
  }
  if (op.Check) {
    const std::string message = op.Check(step, image);
    if (!message.empty()) throw EOrluError(OperationLabel(step.Code) + ": " + message);
  }
}

// Begin and End of the wait window around one operation.
class TWaitWindow {
 public:
  TWaitWindow(IFilterProgress* p, int32_t code) : P_(p) {
    if (P_) P_->Begin(OperationLabel(code));
  }
  ~TWaitWindow() {
    if (P_) P_->End();
  }

 private:
  IFilterProgress* P_;
};

void RunOperation(TIPFilter& step, const TFilterOperation& op, TAstroDocument& doc,
                  const TAImage* source, TAstroDocument* second, const TFilterContext& ctx) {
  CheckLimits(step, op, doc.Image(), ctx.Reg());
  TFilterRun run(step, doc, source, ctx);
  run.Second = second;
  const bool mergeAfter = (op.Flags & kOpMergeAfter) && run.Masked();
  // A whole-image operation writes over its own input: without an undo copy the merge
  // needs the planes as they were, taken before it runs.
  if (mergeAfter)
    for (int32_t p = 0; p < run.PlaneCount(); ++p) run.SourcePlane(p);
  const int32_t planesBefore = run.PlaneCount();
  TWaitWindow wait(ctx.Progress, step.Code);
  const TOpResult r = op.Run(run);
  if (r == TOpResult::Done && mergeAfter && run.PlaneCount() == planesBefore)
    for (int32_t p = 0; p < run.PlaneCount(); ++p) run.MergeMasked(p);
  step.Cancelled = r != TOpResult::Done;
}

// The undo copy as a source: it must hold every plane of the image at the image's size.
const TAImage* UsableSource(TAstroDocument& doc, bool sourceMustMatch) {
  if (!doc.CanUndo()) return nullptr;
  const TAImage& undo = doc.UndoImage();
  if (!undo.SameSize(doc.Image(), true)) return nullptr;
  if (sourceMustMatch && !undo.SameImage(doc.Image())) return nullptr;
  return &undo;
}

}  // namespace

void TIPFilter::Execute(TAstroDocument& doc, bool sourceMustMatch, const TFilterContext& ctx) {
  Cancelled = false;
  if (Disabled) return;
  if (IsDualCode(Code)) {
    ExecuteDual(doc, ctx);
    return;
  }
  const TFilterOperation* op = ctx.Reg().Find(Code);
  if (!op) ThrowAbsent(Code);
  const TAImage* source = UsableSource(doc, sourceMustMatch);
  if ((op->Flags & kOpNeedsUndo) && !source)
    throw EOrluError("This filter require the Undo buffer, use: Image.PrepareUndo()");
  if (AskState != 0 && AskParameters(&doc, ctx)) return;
  RunOperation(*this, *op, doc, source, nullptr, ctx);
}

namespace {

bool TitleMatches(const TAstroDocument& d, const std::string& text) {
  // Titles carry the window number of the session that recorded the step; a stored path
  // or name finds the same image in a later session.
  return d.Title() == text || d.FileName() == text || d.FileNamePart() == text;
}

}  // namespace

void TIPFilter::ExecuteDual(TAstroDocument& doc, const TFilterContext& ctx) {
  Cancelled = false;
  if (Disabled) return;
  const TFilterOperation* op = ctx.Reg().Find(Code);
  if (!op) ThrowAbsent(Code);
  std::vector<TAstroDocument*> others;
  if (ctx.Host)
    for (TAstroDocument* d : ctx.Host->OpenDocuments())
      if (d && d != &doc) others.push_back(d);
  TAstroDocument* second = nullptr;
  if (TextParam != kVoidText)
    for (TAstroDocument* d : others)
      if (TitleMatches(*d, TextParam)) {
        second = d;
        break;
      }
  if (!second) {
    if (others.empty()) {
      Cancelled = true;
      return;
    }
    second = ctx.Host->ChooseDocument(OperationLabel(Code), others);
    if (!second) {
      Cancelled = true;
      return;
    }
  }
  const bool ownDialog = Code == 68 || Code == 69 || Code == 89 || Code == 104;
  if ((ownDialog && !HasParam(1)) || AskState != 0)
    if (AskParameters(&doc, ctx)) return;
  TextParam = second->FileName().empty() ? second->Title() : second->FileName();
  RunOperation(*this, *op, doc, UsableSource(doc, false), second, ctx);
}

// ============================================================================ commands

namespace {

int32_t gLiveOpen = 0;  // user-interface thread only

void Report(const TFilterContext& ctx, const std::string& text) {
  if (ctx.Host) ctx.Host->ShowError(Tr("Error"), text);
}

class TBusy {
 public:
  explicit TBusy(IFilterHost* h) : H_(h) {
    if (H_) H_->SetBusy(true);
  }
  ~TBusy() {
    if (H_) H_->SetBusy(false);
  }

 private:
  IFilterHost* H_;
};

// What follows a successful step: view and mask adjustments and the history entry.
void AfterStep(TAstroDocument& doc, const TIPFilter& step, bool masked, bool fromMacro) {
  TAImage& img = doc.Image();
  const int32_t code = step.Code;
  if (code >= 34 && code <= 37 && !masked)
    SetVisualization(img, img.Visu.TransferType, img.Visu.High, 0.0);
  const bool maskMoved = code == 31 || code == 32 || code == 56 ||
                         (code == 106 && step.GetParam(4) > 0.5 && step.HasParam(4));
  if (maskMoved && img.Mask->HasStorage()) img.Mask->MarkChanged();
  if (!step.Disabled) {
    if (THistoryItem* item = img.History.Add(code, masked, step.Params, step.TextParam)) {
      item->Ask = step.AskState != 0;
      item->FromMacro = fromMacro;
    }
  }
}

// A step that changed the size: the view is rebuilt and the mask fitted to the image.
void AfterResize(TAstroDocument& doc, int32_t w, int32_t h) {
  if (doc.Width() == w && doc.Height() == h) return;
  doc.ResetMask();
  if (IImageWindow* win = doc.ImageWindow()) win->RecreateView(win->Zoom());
}

bool MaskActive(const TAstroDocument& doc) {
  const TAImage& img = doc.Image();
  return img.Mask->HasStorage() && img.Mask->Width == img.Width() &&
         img.Mask->Height == img.Height();
}

// Restores the image from the newest snapshot and frees it. A failure here leaves the
// snapshot for the user's Undo.
void RestoreSnapshot(TAstroDocument& doc) {
  doc.RestoreAndFree();
  doc.RefreshViews();
}

TFilterResult Failure(TAstroDocument& doc, const TFilterContext& ctx, const std::string& text) {
  TFilterResult r;
  r.Document = &doc;
  r.Status = TFilterStatus::Failed;
  r.Message = text;
  Report(ctx, text);
  return r;
}

TFilterResult RunPrepared(TAstroDocument& doc, TIPFilter& step, const TFilterContext& ctx) {
  TFilterResult result;
  result.Document = &doc;
  if (step.Disabled) {
    result.Status = TFilterStatus::Done;
    return result;
  }
  TBusy busy(ctx.Host);
  try {
    doc.TakeSnapshot();
  } catch (const std::exception& e) {
    return Failure(doc, ctx, e.what());
  }
  const bool masked = MaskActive(doc);
  const int32_t w = doc.Width(), h = doc.Height();
  try {
    step.Execute(doc, false, ctx);
  } catch (const std::exception& e) {
    // Back to the pixels as they were, then the message.
    const std::string text = e.what();
    try {
      RestoreSnapshot(doc);
    } catch (const std::exception&) {
    }
    return Failure(doc, ctx, text);
  }
  if (step.Cancelled) {
    RestoreSnapshot(doc);
    result.Status = TFilterStatus::Cancelled;
    return result;
  }
  AfterStep(doc, step, masked, false);
  AfterResize(doc, w, h);
  doc.AfterChange();
  result.Status = TFilterStatus::Done;
  return result;
}

// The duplicate-first option of a command: the geometric commands have their own.
bool DuplicateFirst(int32_t code, const TQVOptions& options) {
  const TImageOptions& o = options.Image;
  switch (code) {
    case 81: return o.DuplicateRotation;
    case 73:
    case 74: return o.DuplicateResizeBinning;
    case 75: return o.DuplicateCrop;
    default: return o.DuplicateOneOps;
  }
}

}  // namespace

TFilterResult RunFilterCommand(TAstroDocument* active, int32_t code, const TFilterContext& ctx) {
  TFilterResult result;
  if (!active || gLiveOpen > 0) return result;
  active->ApplyOutsideValue();
  TIPFilter step(code);
  if (step.AskParameters(active, ctx)) {
    result.Status = TFilterStatus::Cancelled;
    result.Document = active;
    return result;
  }
  TAstroDocument* doc = active;
  if (DuplicateFirst(code, ctx.Opts()) && ctx.Host) {
    std::unique_ptr<TAstroDocument> dup = active->Duplicate();
    if (!dup) return Failure(*active, ctx, kOutOfMemoryText);
    doc = ctx.Host->AdoptDocument(std::move(dup));
    if (!doc) return result;
    doc->ApplyOutsideValue();
  }
  return RunPrepared(*doc, step, ctx);
}

TFilterResult RunFilterStep(TAstroDocument& doc, TIPFilter& step, const TFilterContext& ctx) {
  if (gLiveOpen > 0) return TFilterResult{};
  doc.ApplyOutsideValue();
  return RunPrepared(doc, step, ctx);
}

TFilterResult RunSteps(TAstroDocument& doc, std::vector<TIPFilter>& steps,
                       const TFilterContext& ctx) {
  TFilterResult result;
  result.Document = &doc;
  if (gLiveOpen > 0) return result;
  TBusy busy(ctx.Host);
  doc.ApplyOutsideValue();
  try {
    doc.TakeSnapshot();
  } catch (const std::exception& e) {
    return Failure(doc, ctx, e.what());
  }
  for (size_t i = 0; i < steps.size(); ++i) {
    TIPFilter& step = steps[i];
    if (step.Disabled) continue;
    step.Replay = true;
    const bool masked = MaskActive(doc);
    const int32_t w = doc.Width(), h = doc.Height();
    const std::string label = Tr("Step") + " " + std::to_string(i + 1) + " (" +
                              OperationLabel(step.Code) + ")";
    try {
      step.Execute(doc, true, ctx);
    } catch (const std::exception& e) {
      const std::string text = label + ": " + e.what();
      try {
        RestoreSnapshot(doc);
      } catch (const std::exception&) {
      }
      return Failure(doc, ctx, text);
    }
    if (step.Cancelled) {
      RestoreSnapshot(doc);
      result.Status = TFilterStatus::Cancelled;
      result.Message = label + ": " + (IsDualCode(step.Code)
                                           ? Tr("no second image (not open, or not chosen)")
                                           : Tr("cancelled"));
      return result;
    }
    AfterStep(doc, step, masked, true);
    AfterResize(doc, w, h);
    doc.RefreshStats();
  }
  doc.AfterChange();
  result.Status = TFilterStatus::Done;
  return result;
}

// ============================================================================ live windows

TLiveFilter::TLiveFilter(TAstroDocument& doc, const TFilterContext& ctx) : Ctx_(ctx) {
  if (gLiveOpen > 0) return;
  TAstroDocument* target = &doc;
  if (ctx.Opts().Image.DuplicateOneOps && ctx.Host) {
    std::unique_ptr<TAstroDocument> dup = doc.Duplicate();
    if (!dup) throw EOrluError(kOutOfMemoryText);
    target = ctx.Host->AdoptDocument(std::move(dup));
    if (!target) return;
  }
  target->ApplyOutsideValue();
  target->TakeSnapshot();
  Doc_ = target;
  ++gLiveOpen;
}

TLiveFilter::~TLiveFilter() {
  if (Doc_) {
    try {
      CancelLive();
    } catch (const std::exception&) {
    }
  }
}

bool TLiveFilter::AnyOpen() { return gLiveOpen > 0; }

bool TLiveFilter::Preview(TIPFilter& step) {
  if (!Doc_) return false;
  TAstroDocument& doc = *Doc_;
  // Every preview starts from the unprocessed image, whatever the last one wrote.
  if (Previewed_) {
    doc.RestoreAndFree();
    doc.TakeSnapshot();
    Previewed_ = false;
  }
  try {
    step.Execute(doc, false, Ctx_);
  } catch (...) {
    doc.RestoreAndFree();
    doc.TakeSnapshot();
    doc.RefreshViews();
    throw;
  }
  if (step.Cancelled) {
    doc.RestoreAndFree();
    doc.TakeSnapshot();
    doc.RefreshViews();
    return false;
  }
  Previewed_ = true;
  Last_.CopyFrom(step);
  doc.RefreshViews();
  return true;
}

bool TLiveFilter::Commit(TIPFilter& step) {
  if (!Doc_) return false;
  const bool same = Previewed_ && Last_.Code == step.Code && Last_.TextParam == step.TextParam &&
                    std::memcmp(Last_.Params.data(), step.Params.data(),
                                sizeof(double) * Last_.Params.size()) == 0;
  if (!same && !Preview(step)) return false;
  TAstroDocument& doc = *Doc_;
  AfterStep(doc, step, MaskActive(doc), false);
  doc.AfterChange();
  Doc_ = nullptr;
  --gLiveOpen;
  return true;
}

bool TLiveFilter::PreviewWith(
    const std::function<bool(TAstroDocument& doc, const TAImage& source)>& apply) {
  if (!Doc_) return false;
  TAstroDocument& doc = *Doc_;
  auto restart = [&doc] {
    doc.RestoreAndFree();
    doc.TakeSnapshot();
  };
  if (Previewed_) {
    restart();
    Previewed_ = false;
  }
  bool ok = false;
  try {
    ok = apply(doc, doc.UndoImage());
  } catch (...) {
    restart();
    doc.RefreshViews();
    throw;
  }
  if (!ok) {
    restart();
    doc.RefreshViews();
    return false;
  }
  Previewed_ = true;
  Last_.Code = kOtherCode;
  doc.RefreshViews();
  return true;
}

bool TLiveFilter::CommitKind(int32_t kind, std::string_view text) {
  if (!Doc_ || !Previewed_) return false;
  TAstroDocument& doc = *Doc_;
  doc.Image().History.AddKind(kind, MaskActive(doc), text);
  doc.AfterChange();
  Doc_ = nullptr;
  --gLiveOpen;
  return true;
}

void TLiveFilter::CancelLive() {
  if (!Doc_) return;
  TAstroDocument& doc = *Doc_;
  Doc_ = nullptr;
  --gLiveOpen;
  if (Previewed_) {
    doc.RestoreAndFree();
    doc.RefreshViews();
  } else {
    doc.DropSnapshot();
  }
  Previewed_ = false;
}

void TLiveFilter::DocumentGone() {
  if (!Doc_) return;
  Doc_ = nullptr;
  --gLiveOpen;
}

std::unique_ptr<TLiveFilter> BeginLive(TAstroDocument& doc, const TFilterContext& ctx) {
  auto live = std::make_unique<TLiveFilter>(doc, ctx);
  if (!live->Document()) return nullptr;
  return live;
}

}  // namespace orlu
