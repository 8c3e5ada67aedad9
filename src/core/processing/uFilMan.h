// The filter framework: the one protocol by which processing operations change pixels.
// The document keeps the image in its undo store, the operation reads that copy and writes
// the document's image row by row in parallel, the mask restricts and feathers the change
// (once, inside its bounds), the user can abort, and a history entry records the step.
//
// Operations join through a registry: each family registers its history codes with a
// handler in one explicit function, and RegisterFilterFamilies calls those functions.
// Windows reach the core through the small interfaces below (tests use fakes).
//
// Threads: everything runs on the user-interface thread except the row workers of
// ProcessRows, which read the source plane and write only their own rows of the target;
// they report progress through IFilterProgress, which must therefore be thread-safe.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "formula/ImaMask.h"
#include "processing/ImaFilter.h"

namespace orlu {

class TAImage;
class TAstroDocument;
class TBWImage;
class TQVOptions;
class TFilterRegistry;

// ============================================================================ interfaces

// The wait window. Report is called by the row workers (any thread, concurrently) after
// each row; false means the user asked to stop. Begin and End run on the caller's thread.
class IFilterProgress {
 public:
  virtual void Begin(std::string_view caption) {}
  virtual bool Report(int32_t plane, int32_t planes, int32_t row, int32_t rows) = 0;
  virtual void End() {}

 protected:
  ~IFilterProgress() = default;
};

// One field of a parameter dialog.
struct TParamField {
  std::string Prompt;  // untranslated
  std::string Unit;
  double Default = 0;
  double Step = 1;
  double Min = -1e20;
  double Max = 1e20;
  bool Decimals = true;  // false: the field takes whole numbers
};

// What a parameter dialog shows: numeric fields (stored into p1, p2, ...) and, with
// HasText, a text field (stored into the text parameter).
struct TParamDialog {
  int32_t Code = 0;
  std::string Caption;  // untranslated
  std::vector<TParamField> Fields;
  bool HasText = false;
};

// The parameter dialogs. values holds the initial field values on entry (the stored ones
// for a replayed step, else the defaults) and the answers on return; text likewise. The
// answers are within the fields' limits. False: the user cancelled.
class IParameterDialog {
 public:
  virtual bool Ask(const TParamDialog& dialog, std::vector<double>& values,
                   std::string& text) = 0;

 protected:
  ~IParameterDialog() = default;
};

// The main window as the framework sees it.
class IFilterHost {
 public:
  // The open documents, active first.
  virtual std::vector<TAstroDocument*> OpenDocuments() = 0;
  // The user picks one of candidates (prompt: the translated operation name); nullptr when
  // cancelled.
  virtual TAstroDocument* ChooseDocument(std::string_view prompt,
                                         const std::vector<TAstroDocument*>& candidates) = 0;
  // Takes a new document (DuplicateOneOps) and shows it; nullptr when it could not.
  virtual TAstroDocument* AdoptDocument(std::unique_ptr<TAstroDocument> doc) = 0;
  // Modal boxes; texts are translated.
  virtual void ShowError(const std::string& caption, const std::string& text) = 0;
  virtual void ShowNotice(const std::string& caption, const std::string& text) = 0;
  // Lets pending window messages run and shows the hourglass (busy) or the normal cursor.
  virtual void SetBusy(bool busy) {}

 protected:
  ~IFilterHost() = default;
};

// What a run of the framework may use; every member may be nullptr: no host (no other
// documents, messages dropped), no dialog (a step that must ask is cancelled), no progress
// (never aborted), the process-wide options and registry.
struct TFilterContext {
  IFilterHost* Host = nullptr;
  IParameterDialog* Dialog = nullptr;
  IFilterProgress* Progress = nullptr;
  const TQVOptions* Options = nullptr;
  const TFilterRegistry* Registry = nullptr;

  const TQVOptions& Opts() const;
  const TFilterRegistry& Reg() const;
};

// ============================================================================ the step

class TFilterRun;

// One processing step: a history code with its parameters, as typed, stored in a macro or
// read from a history.
class TIPFilter {
 public:
  TIPFilter() { Reset(); }
  explicit TIPFilter(int32_t code) : TIPFilter() { Code = uint8_t(code); }

  uint8_t Code = 0;
  std::array<double, 16> Params{};  // p1..p16 at 0..15; kUnsetParam when unset
  std::string TextParam = kVoidText;
  bool Replay = false;    // parameters come from a stored step; dialogs start from them
  int32_t AskState = 0;   // non-zero: ask before executing; -1 after the user cancelled
  bool Cancelled = false;
  bool Disabled = false;  // does nothing and records nothing
  THistoryItem Item;      // scratch entry for rendering the step as text

  // p_k for k = 1..16; kUnsetParam outside.
  double GetParam(int32_t k) const;
  // Sets p_k (k outside 1..16: nothing).
  void SetParam(int32_t k, double value);
  bool HasParam(int32_t k) const { return GetParam(k) != kUnsetParam; }
  // The stored value for a replayed step, unless it is unset; otherwise def.
  double ParamOr(int32_t k, double def) const;
  std::string TextOr(std::string_view def) const;
  // Every parameter unset, text "<void>", Disabled cleared.
  void Reset();
  // Parameters, text, Cancelled, AskState, Code and Disabled.
  void CopyFrom(const TIPFilter& other);
  // Code, parameters, text and Ask (AskState non-zero) into item.
  void ToHistoryItem(THistoryItem& item) const;
  // The reverse; AskState = -1 when the entry asks.
  void FromHistoryItem(const THistoryItem& item);
  // The step as the macro editor lists it: translated name, "|", detail text (or
  // "<Disabled>").
  std::string StepText();

  // Shows the code's parameter dialog (fields from the stored parameters when Replay, else
  // the defaults) and stores the answers. Sets and returns Cancelled: the user cancelled
  // or no dialog is available for a code that has one. Codes without a dialog: false.
  bool AskParameters(TAstroDocument* doc, const TFilterContext& ctx);
  // Runs the step on the document: the undo copy (when there is one; with sourceMustMatch
  // only while its pixels equal the image's) is the source, else a scratch copy. Sets
  // Cancelled when the user cancelled or the operation failed or was aborted. Throws
  // EOrluError for an absent operation, a parameter outside its limits and errors of the
  // operation; the image may then be partly written (callers restore the undo copy).
  void Execute(TAstroDocument& doc, bool sourceMustMatch, const TFilterContext& ctx);
  // The two-image path of Execute (codes 61..72, 87..89, 104).
  void ExecuteDual(TAstroDocument& doc, const TFilterContext& ctx);
};

// ============================================================================ registry

// What a handler reports.
enum class TOpResult : uint8_t { Done, Failed };

using TFilterHandler = std::function<TOpResult(TFilterRun& run)>;

// Operation flags.
enum : uint32_t {
  // The handler changes the whole image in place (not through ProcessRows); the framework
  // then merges every plane through the active mask against the source.
  kOpMergeAfter = 1u << 0,
  // The operation needs the undo copy as its source (no scratch copy will do).
  kOpNeedsUndo = 1u << 1,
  // Replaying the step never asks (the handler has its own dialog flow, or none).
  kOpNoDialog = 1u << 2,
};

struct TFilterOperation {
  int32_t Code = 0;
  TFilterHandler Run;
  uint32_t Flags = 0;
  // The parameter dialog; when empty, the framework's table for the code (if any).
  std::vector<TParamField> Fields;
  bool HasText = false;
  // Limits that depend on the image (a row inside it, a shift smaller than it): the
  // message when the step's parameters are refused, empty when they are acceptable.
  std::function<std::string(const TIPFilter& step, const TAImage& image)> Check;
  // Adjusts the dialog before it is shown (defaults from the document or the options).
  std::function<void(TParamDialog& dialog, const TAstroDocument* doc,
                     const TQVOptions& options)>
      PrepareDialog;
};

// Codes to operations. Registration replaces an earlier one of the same code.
class TFilterRegistry {
 public:
  // Throws std::logic_error for a code outside 0..107, code 60 or an empty handler.
  void Register(TFilterOperation op);
  // nullptr when the code has no operation in this build.
  const TFilterOperation* Find(int32_t code) const;
  std::vector<int32_t> Codes() const;

 private:
  std::map<int32_t, TFilterOperation> Ops_;
};

// Every built-in family; the one place where families are listed.
void RegisterFilterFamilies(TFilterRegistry& registry);
// The process-wide registry, filled by RegisterFilterFamilies on first use (thread-safe).
const TFilterRegistry& FilterRegistry();

// The built-in dialog of a code (the single- and two-value dialogs of the framework's
// table), or nullptr for a code without one there.
const TParamDialog* StandardDialog(int32_t code);
// The dialog used for a step: the operation's fields, else the standard one; nullptr when
// the code has neither.
std::unique_ptr<TParamDialog> DialogFor(int32_t code, const TFilterRegistry& registry);

// ============================================================================ one run

// Plane index of main (green), red and blue.
enum : int32_t { kPlaneMain = 0, kPlaneRed = 1, kPlaneBlue = 2 };

// The rows a worker computes: columns Left..Right of row Row, from Source into Target.
struct TRowJob {
  const TBWImage& Source;
  TBWImage& Target;
  int32_t Plane;
  int32_t Row;
  int32_t Left;
  int32_t Right;
};
// Computes one row; runs on worker threads (write only Target's row Row).
using TRowWorker = std::function<void(const TRowJob& job)>;

// One execution of a step: what a handler works with. Created by Execute.
class TFilterRun {
 public:
  TFilterRun(TIPFilter& step, TAstroDocument& doc, const TAImage* source,
             const TFilterContext& ctx);
  ~TFilterRun();
  TFilterRun(const TFilterRun&) = delete;
  TFilterRun& operator=(const TFilterRun&) = delete;

  TIPFilter& Step;
  TAstroDocument& Doc;
  const TFilterContext& Ctx;
  // The second document of a two-image step; nullptr otherwise.
  TAstroDocument* Second = nullptr;

  TAImage& Image();
  // The undo copy used as source; nullptr when the step works from scratch copies.
  const TAImage* Source() const { return Source_; }
  // p_k, or def when unset.
  double Param(int32_t k, double def) const;
  // p_k rounded half to even and saturated to int32; def when unset.
  int32_t IntParam(int32_t k, int32_t def) const;

  // ---- Plane level ----
  // Planes of the image: 1 or 3.
  int32_t PlaneCount() const;
  // Target plane 0 (main), 1 (red) or 2 (blue); throws "NonNullImagePlane" otherwise.
  TBWImage& TargetPlane(int32_t plane);
  // The plane to read: the undo copy's plane of that colour, else a scratch copy of the
  // target plane (throws "Out of memory" when it cannot be allocated).
  const TBWImage& SourcePlane(int32_t plane);
  // The processing rectangle of the target: the mask's bounds when a mask is active, else
  // the whole plane (empty for an all-zero mask).
  TPixelRect ProcessRect() const;
  // Runs worker on every row of the processing rectangle of one plane, in parallel,
  // blending each finished row with the source through the mask. False when the user
  // aborted (the target then holds a partial result).
  bool ProcessRows(const TRowWorker& worker, int32_t plane);
  // ProcessRows on main, red, blue in that order; an abort stops before the next plane.
  bool ProcessPlanes(const TRowWorker& worker);
  // Progress after a row (any thread); false once the user aborted.
  bool ReportRow(int32_t plane, int32_t row);
  // result = g·result + (1 − g)·source inside the mask's bounds, source values outside,
  // for a plane the handler changed as a whole. Nothing without an active mask.
  void MergeMasked(int32_t plane);
  // Whether the image has an active mask.
  bool Masked() const;

 private:
  const TAImage* Source_;
  std::array<std::unique_ptr<TBWImage>, 3> Scratch_;
  std::atomic<bool> Aborted_{false};
};

// ============================================================================ commands

// How a command ended.
enum class TFilterStatus : uint8_t {
  Done,       // applied and recorded
  Cancelled,  // asked and cancelled, aborted, or the operation reported failure: image as before
  Failed,     // an error; image as before, Message holds the text (already shown to the host)
  Refused,    // nothing done (no document, a live window is open)
};

struct TFilterResult {
  TFilterStatus Status = TFilterStatus::Refused;
  std::string Message;
  TAstroDocument* Document = nullptr;  // the processed document (a duplicate with DuplicateOneOps)
};

// The one-shot command of the menus: asks the parameters, snapshots, executes, and then
// either records the step or restores the image bit for bit from the undo copy.
TFilterResult RunFilterCommand(TAstroDocument* active, int32_t code, const TFilterContext& ctx);
// The same with a prepared step (a macro line, a typed step): asks only when AskState is set.
TFilterResult RunFilterStep(TAstroDocument& doc, TIPFilter& step, const TFilterContext& ctx);
// Replays steps as one undo step: one snapshot, each step executed with sourceMustMatch
// (the first reads the undo copy, later ones work in place), entries marked FromMacro.
// The first step that fails restores the image as it was before the first step; Message
// names the step.
TFilterResult RunSteps(TAstroDocument& doc, std::vector<TIPFilter>& steps,
                       const TFilterContext& ctx);

// ============================================================================ live windows

// A filter window with Preview: one at a time in the process.
class TLiveFilter {
 public:
  // Refused (Document() nullptr) while another live filter is open; with DuplicateOneOps a
  // duplicate is used. Sets the outside value and pushes the undo copy.
  TLiveFilter(TAstroDocument& doc, const TFilterContext& ctx);
  // Cancels when neither committed nor cancelled.
  ~TLiveFilter();
  TLiveFilter(const TLiveFilter&) = delete;
  TLiveFilter& operator=(const TLiveFilter&) = delete;

  // The working document; nullptr when refused or finished.
  TAstroDocument* Document() const { return Doc_; }
  // Recomputes the step from the undo copy into the image. False when cancelled or aborted
  // (the image then shows the undo copy again); errors restore the undo copy and rethrow.
  bool Preview(TIPFilter& step);
  // Keeps the last preview (previewing step first when it differs from it): statistics,
  // modified, history entry. False when nothing was previewed and the preview failed.
  bool Commit(TIPFilter& step);
  // Preview by a window's own operation (one that is not a registered step): apply writes
  // the image from the undo copy (source). False (image as the undo copy) when apply
  // reports failure; errors restore the undo copy and rethrow.
  bool PreviewWith(const std::function<bool(TAstroDocument& doc, const TAImage& source)>& apply);
  // Keeps the last PreviewWith result: statistics, modified, and a history entry of that kind
  // (code 60) with text. False when nothing was previewed.
  bool CommitKind(int32_t kind, std::string_view text);
  // Restores the image when a preview was made, else drops the unused undo entry.
  void CancelLive();
  // The document is closing: forget it without touching it.
  void DocumentGone();
  bool Previewed() const { return Previewed_; }

  // A live filter window is open.
  static bool AnyOpen();

 private:
  TAstroDocument* Doc_ = nullptr;
  const TFilterContext& Ctx_;
  bool Previewed_ = false;
  TIPFilter Last_;
};

// Convenience names of the live protocol.
std::unique_ptr<TLiveFilter> BeginLive(TAstroDocument& doc, const TFilterContext& ctx);

}  // namespace orlu
