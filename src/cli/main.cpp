// orlu-cli: the headless front end of Orlu for scripts, batch work and checks. Every
// subcommand calls the same core functions as the application.
#include <array>
#include <cmath>
#include <filesystem>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "CliJson.h"
#include "astrometry/ImaWCS.h"
#include "base/TextNumbers.h"
#include "document/uAstroDoc.h"
#include "formats/uFiles.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"
#include "processing/uFilMan.h"
#include "processing/uMacro.h"
#include "visual/ImaPalette.h"
#include "visual/ImaVisu.h"

using namespace orlu;

namespace {

const char* const kUsage =
    "Usage: orlu-cli COMMAND [ARGS]\n"
    "\n"
    "Headless front end of Orlu, the astronomical image viewer and workbench.\n"
    "Files are opened through the same format dispatch as the application.\n"
    "\n"
    "Commands:\n"
    "  info FILE [--hdu N]     size, kind, load status, data range, background and card\n"
    "                          count as one JSON object\n"
    "  header FILE [--hdu N]   the header cards, one per line\n"
    "  stats FILE [--hdu N]    per-plane statistics (main, then red and blue) as JSON\n"
    "  convert IN OUT [--compress rice|gzip] [--hdu N]\n"
    "                          open IN and save it with the writer of OUT's extension\n"
    "                          (FITS for .fits/.fit/.fts and unknown extensions, .txt text\n"
    "                          image, .raw 32-bit floats); prints nothing on success\n"
    "  wcs FILE [--pix X,Y]... [--sky RA,DEC]... [--hdu N]\n"
    "                          the astrometric solution (centre, scale, rotation, field) and\n"
    "                          the requested conversions as JSON; 0-based pixels, degrees\n"
    "  render FILE OUT.png [--palette NAME|FILE] [--range auto|LOW,HIGH] [--transfer NAME]\n"
    "                          the displayed view as an 8-bit PNG, as the viewer shows it;\n"
    "                          prints {\"low\", \"high\"}, the view range used. Without\n"
    "                          --range the stored view of the file or the automatic one;\n"
    "                          palettes gray, negative, color, flame, rainbow, jazz,\n"
    "                          sawtooth or a palette file; transfers linear, log, exp,\n"
    "                          equalized, gauss, equalized50, gauss50 or a transfer code\n"
    "  run HISTORY_OR_MACRO FILE... [--out DIR] [--suffix S]\n"
    "                          replay the processing steps of a history file (.his) or a\n"
    "                          macro file (.mac) on each FILE, as the viewer's macro runner\n"
    "                          does (undo copy, mask), and save each result with its history\n"
    "                          cards. Default output: next to the input, named with the\n"
    "                          suffix before the extension (--suffix, default \"_run\"), in\n"
    "                          DIR with --out. FITS, PNG, TIFF, text and raw-float inputs\n"
    "                          keep their format; every other input is saved as .fits. A\n"
    "                          step that fails stops that file (nothing saved for it); the\n"
    "                          other files still run, and the exit status is 1. Two-image\n"
    "                          steps open their second image from the stored path. Files\n"
    "                          run one after another, each with parallel rows inside\n"
    "  --compress rice|gzip    write tile-compressed FITS with RICE_1 or GZIP_2 tiles;\n"
    "                          floating-point images always get GZIP_2 (RICE_1 codes\n"
    "                          integers only)\n"
    "\n"
    "  --hdu N selects the N-th image of a multi-image FITS file (0 and 1: the first).\n"
    "\n"
    "Options:\n"
    "  --help       show this text\n"
    "  --version    show the version\n"
    "\n"
    "Exit status: 0 on success, 1 when a file cannot be read or written, 2 on a usage error.\n";

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct TArgs {
  std::vector<std::string> Positional;
  int32_t Hdu = 0;
  std::string Compress;  // "", "rice" or "gzip"
  std::vector<std::array<double, 2>> Pix;  // wcs: --pix X,Y
  std::vector<std::array<double, 2>> Sky;  // wcs: --sky RA,DEC
  std::string Palette;   // render: --palette
  std::string Range;     // render: --range
  std::string Transfer;  // render: --transfer
  std::string OutDir;                      // run: --out DIR
  std::string Suffix = "_run";             // run: --suffix S
  bool SuffixGiven = false;
};

// "A,B" as two finite numbers.
bool ParsePair(const std::string& text, std::array<double, 2>& out) {
  const size_t comma = text.find(',');
  if (comma == std::string::npos) return false;
  return ParseDouble(text.substr(0, comma), out[0]) && ParseDouble(text.substr(comma + 1), out[1]) &&
         std::isfinite(out[0]) && std::isfinite(out[1]);
}

int UsageError(const std::string& text) {
  std::fprintf(stderr, "orlu-cli: %s (see orlu-cli --help)\n", text.c_str());
  return kExitUsage;
}

// Parses the words after the command; false (message printed) on a usage error.
bool ParseArgs(int argc, char** argv, bool allowCompress, bool allowWcs, bool allowRender,
               bool allowRun, TArgs& out) {
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (allowRender && (a == "--palette" || a == "--range" || a == "--transfer")) {
      if (i + 1 >= argc) {
        UsageError(a + " needs a value");
        return false;
      }
      (a == "--palette" ? out.Palette : a == "--range" ? out.Range : out.Transfer) = argv[++i];
    } else if (allowRun && (a == "--out" || a == "--suffix")) {
      if (i + 1 >= argc) {
        UsageError(a + " needs a value");
        return false;
      }
      const std::string v = argv[++i];
      if (a == "--out") {
        out.OutDir = v;
      } else {
        if (v.find('/') != std::string::npos) {
          UsageError("--suffix cannot hold '/'");
          return false;
        }
        out.Suffix = v;
        out.SuffixGiven = true;
      }
    } else if (allowWcs && (a == "--pix" || a == "--sky")) {
      std::array<double, 2> pair{};
      if (i + 1 >= argc || !ParsePair(argv[i + 1], pair)) {
        UsageError(a + (a == "--pix" ? " needs X,Y" : " needs RA,DEC") + " as two numbers");
        return false;
      }
      ++i;
      (a == "--pix" ? out.Pix : out.Sky).push_back(pair);
    } else if (a == "--hdu" || (allowCompress && a == "--compress")) {
      if (i + 1 >= argc) {
        UsageError(a + " needs a value");
        return false;
      }
      const std::string v = argv[++i];
      if (a == "--hdu") {
        if (!ParseInt32(v, out.Hdu) || out.Hdu < 0) {
          UsageError("--hdu needs a whole number from 0 on, not '" + v + "'");
          return false;
        }
      } else {
        if (v != "rice" && v != "gzip") {
          UsageError("--compress takes rice or gzip, not '" + v + "'");
          return false;
        }
        out.Compress = v;
      }
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      UsageError("unknown option '" + a + "'");
      return false;
    } else {
      out.Positional.push_back(a);
    }
  }
  return true;
}

// Loads through the dispatch; prints the dispatch's message and returns nullptr on failure.
std::unique_ptr<TAImage> Load(const std::string& path, int32_t hdu) {
  std::unique_ptr<TAImage> image;
  try {
    image = std::make_unique<TAImage>();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orlu-cli: %s\n", e.what());
    return nullptr;
  }
  LoadImage(path, hdu, *image);
  if (!LoadSucceeded(image->Status)) {
    std::fprintf(stderr, "orlu-cli: %s: %s\n", path.c_str(),
                 LoadStatusMessage(image->Status).c_str());
    return nullptr;
  }
  return image;
}

void PrintJson(const cli::TJsonWriter& json) { std::printf("%s\n", json.Text().c_str()); }

int CmdInfo(const TArgs& args) {
  if (args.Positional.size() != 1) return UsageError("info takes one FILE");
  auto image = Load(args.Positional[0], args.Hdu);
  if (!image) return kExitFailure;
  cli::TJsonWriter json;
  json.BeginObject();
  json.Integer("width", image->Width());
  json.Integer("height", image->Height());
  json.Integer("planes", image->IsColour() ? 3 : 1);
  json.Bool("float", image->IsFloat != 0);
  json.Integer("status", image->Status);
  json.Number("min", image->DataMin);
  json.Number("max", image->DataMax);
  json.Number("background", image->BackgroundLevel);
  json.Integer("cards", image->Header.Count());
  json.EndObject();
  PrintJson(json);
  return 0;
}

int CmdHeader(const TArgs& args) {
  if (args.Positional.size() != 1) return UsageError("header takes one FILE");
  auto image = Load(args.Positional[0], args.Hdu);
  if (!image) return kExitFailure;
  for (const std::string& card : image->Header) std::printf("%s\n", card.c_str());
  return 0;
}

void PlaneStats(TBWImage& p, cli::TJsonWriter& json) {
  json.BeginObject();
  json.Number("background", p.EstimateBackground());
  float bg = 0, spread = 0;
  p.BackgroundAndNoise(bg, spread);
  json.Number("noise", spread);
  float q1 = 0, q2 = 0, q3 = 0;
  p.Quantiles(0.1, 0.5, 0.9, q1, q2, q3);
  json.BeginArray("quantiles");
  json.Number(q1);
  json.Number(q2);
  json.Number(q3);
  json.EndArray();
  float mn = 0, mx = 0;
  p.MinMax(mn, mx);
  json.Number("min", mn);
  json.Number("max", mx);
  double sum = 0, sd = 0;
  p.SumAndStdDev(sum, sd);
  json.Number("mean", p.Count > 0 ? sum / double(p.Count) : 0.0);
  json.Number("stddev", sd);
  json.EndObject();
}

int CmdStats(const TArgs& args) {
  if (args.Positional.size() != 1) return UsageError("stats takes one FILE");
  auto image = Load(args.Positional[0], args.Hdu);
  if (!image) return kExitFailure;
  cli::TJsonWriter json;
  json.BeginObject();
  json.BeginArray("planes");
  PlaneStats(*image->MainPlane, json);
  if (image->IsColour()) {
    PlaneStats(*image->RedPlane, json);
    PlaneStats(*image->BluePlane, json);
  }
  json.EndArray();
  json.EndObject();
  PrintJson(json);
  return 0;
}

int CmdConvert(const TArgs& args) {
  if (args.Positional.size() != 2) return UsageError("convert takes IN and OUT");
  const std::string& out = args.Positional[1];
  const TWriterKind writer = ChooseDataWriter(out);
  if (!args.Compress.empty() && writer != TWriterKind::FitsData)
    return UsageError("--compress applies to FITS output only");
  // Through a document, so the file gets the same save-time cards as one saved by the viewer.
  std::string error;
  auto doc = TAstroDocument::OpenFile(args.Positional[0], args.Hdu, &error);
  if (!doc) {
    // The "Open" box text is the message, a line break and the path.
    const std::string message = error.substr(0, error.find('\r'));
    std::fprintf(stderr, "orlu-cli: %s: %s\n", args.Positional[0].c_str(), message.c_str());
    return kExitFailure;
  }
  const TTileMethod method = args.Compress == "rice"   ? TTileMethod::Rice
                            : args.Compress == "gzip" ? TTileMethod::Gzip
                                                      : TTileMethod::ByRule;
  const TSaveResult r = doc->SaveData(out, writer, !args.Compress.empty(), Options(), method);
  if (r.Status != TSaveStatus::Written) {
    std::string msg = r.Message;
    for (char& c : msg)
      if (c == '\r' || c == '\n') c = ' ';
    std::fprintf(stderr, "orlu-cli: %s: %s\n", out.c_str(), msg.c_str());
    return kExitFailure;
  }
  return 0;
}

int CmdWcs(const TArgs& args) {
  if (args.Positional.size() != 1) return UsageError("wcs takes one FILE");
  auto image = Load(args.Positional[0], args.Hdu);
  if (!image) return kExitFailure;
  const bool solved = image->HasWcs != 0;
  const double none = std::numeric_limits<double>::quiet_NaN();  // written as null
  double ra = none, dec = none;
  if (solved) ImageCentre(*image, false, ra, dec);
  const double fovX = solved ? FieldOfViewX(*image) * 180 / std::numbers::pi : none;
  const double fovY = solved ? FieldOfViewY(*image) * 180 / std::numbers::pi : none;
  cli::TJsonWriter json;
  json.BeginObject();
  json.Bool("solved", solved);
  json.BeginArray("centre");
  json.Number(ra);
  json.Number(dec);
  json.EndArray();
  // As the statistics window shows it: the horizontal field over the width.
  json.Number("scale_arcsec", solved ? fovX * 3600 / image->Width() : none);
  json.Number("rotation_deg", solved ? RotationAngle(*image) : none);
  json.BeginArray("fov_deg");
  json.Number(fovX);
  json.Number(fovY);
  json.EndArray();
  json.BeginArray("pix2sky");
  for (const auto& p : args.Pix) {
    double r = none, d = none;
    if (solved) image->Wcs.PixelToSkyDeg(p[0], p[1], r, d);
    json.BeginArray();
    for (double v : {p[0], p[1], r, d}) json.Number(v);
    json.EndArray();
  }
  json.EndArray();
  json.BeginArray("sky2pix");
  for (const auto& s : args.Sky) {
    double x = none, y = none;
    // A point off the tangent plane or beyond a converging distortion has no pixel.
    if (!solved || !image->Wcs.SkyToPixel(s[0] * std::numbers::pi / 180,
                                          s[1] * std::numbers::pi / 180, x, y))
      x = y = none;
    json.BeginArray();
    for (double v : {s[0], s[1], x, y}) json.Number(v);
    json.EndArray();
  }
  json.EndArray();
  json.EndObject();
  PrintJson(json);
  return 0;
}


// The transfer code of a name or a number; false when neither.
bool TransferCode(const std::string& name, int32_t& code) {
  static const struct { const char* Name; int32_t Code; } kNames[] = {
      {"linear", kTransferLinear},        {"log", kTransferLogarithmic},
      {"exp", kTransferExponential},      {"equalized", kTransferEqualized},
      {"gauss", kTransferGaussEqualized}, {"equalized50", kTransferEqualized50},
      {"gauss50", kTransferGaussEqualized50}};
  for (const auto& n : kNames)
    if (name == n.Name) {
      code = n.Code;
      return true;
    }
  return ParseInt32(name, code) && TImageVisu::IsValidType(code);
}

int CmdRender(const TArgs& args) {
  if (args.Positional.size() != 2) return UsageError("render takes FILE and OUT.png");
  const std::string& out = args.Positional[1];
  if (LowerExtension(out) != ".png") return UsageError("render writes a .png file");
  int32_t transfer = 0;
  if (!args.Transfer.empty() && !TransferCode(args.Transfer, transfer))
    return UsageError("unknown transfer '" + args.Transfer + "'");
  std::array<double, 2> range{};
  if (!args.Range.empty() && args.Range != "auto" && !ParsePair(args.Range, range))
    return UsageError("--range takes auto or LOW,HIGH");

  auto image = Load(args.Positional[0], args.Hdu);
  if (!image) return kExitFailure;
  if (!args.Palette.empty()) {
    static const char* const kPalettes[] = {"gray",    "negative", "color",   "flame",
                                            "rainbow", "jazz",     "sawtooth"};
    int32_t type = -1;
    for (int32_t k = 0; k < 7; ++k)
      if (args.Palette == kPalettes[k]) type = k;
    if (type >= 0) {
      image->Visu.Palette.BuildPalette(type, 8);
    } else if (!image->Visu.Palette.LoadPalette(args.Palette)) {
      std::fprintf(stderr, "orlu-cli: %s: %s\n", args.Palette.c_str(),
                   "Incompatible file format");
      return kExitFailure;
    }
  }
  if (args.Range == "auto") ApplyAutoVisualization(*image);
  const int32_t type = args.Transfer.empty() ? image->Visu.TransferType : transfer;
  if (!args.Range.empty() && args.Range != "auto")
    SetVisualization(*image, type, range[1], range[0]);
  else
    SetVisualization(*image, type, image->Visu.High, image->Visu.Low);

  const TSaveResult r = SaveImageFile(*image, out, TWriterKind::ViewPng8, false, Options());
  if (r.Status != TSaveStatus::Written) {
    std::fprintf(stderr, "orlu-cli: %s: %s\n", out.c_str(), r.Message.c_str());
    return kExitFailure;
  }
  cli::TJsonWriter json;
  json.BeginObject();
  json.Number("low", image->Visu.Low);
  json.Number("high", image->Visu.High);
  json.EndObject();
  PrintJson(json);
  return 0;
}

// ---------------------------------------------------------------------------- run

// The window side of the framework for a headless run: the open documents are the file
// being processed and the second images named by two-image steps; nobody can be asked.
class TCliHost : public IFilterHost {
 public:
  TAstroDocument* Current = nullptr;
  std::vector<std::unique_ptr<TAstroDocument>> Seconds;

  std::vector<TAstroDocument*> OpenDocuments() override {
    std::vector<TAstroDocument*> docs{Current};
    for (const auto& d : Seconds) docs.push_back(d.get());
    return docs;
  }
  TAstroDocument* ChooseDocument(std::string_view, const std::vector<TAstroDocument*>&) override {
    return nullptr;
  }
  TAstroDocument* AdoptDocument(std::unique_ptr<TAstroDocument>) override { return nullptr; }
  void ShowError(const std::string&, const std::string&) override {}
  void ShowNotice(const std::string&, const std::string&) override {}
};

std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  return text;
}

// Steps of a macro file, or of every operation entry of a history file.
bool ReadSteps(const std::string& path, std::vector<TIPFilter>& steps) {
  std::string error;
  TMacroPage page;
  int32_t dropped = 0;
  if (LoadMacroFile(path, page, dropped, error)) {
    if (dropped > 0)
      std::fprintf(stderr, "orlu-cli: %s: only the first %d steps are used\n", path.c_str(),
                   int(TMacroPage::kMaxSteps));
    steps = page.Steps;
  } else {
    THistoryList history;
    if (!history.LoadFromFile(path, error)) {
      std::fprintf(stderr, "orlu-cli: %s\n", OneLine(error).c_str());
      return false;
    }
    for (int32_t i = 0; i < history.Count(); ++i) {
      const THistoryItem& item = *history.Item(i);
      if (item.Code == kOtherCode) continue;
      TIPFilter step;
      step.FromHistoryItem(item);
      // A stored step that asked for its parameters replays with the stored ones.
      step.AskState = 0;
      steps.push_back(step);
    }
  }
  if (steps.empty()) {
    std::fprintf(stderr, "orlu-cli: %s: no processing steps to replay\n", path.c_str());
    return false;
  }
  return true;
}

// Where the result of input goes: the same format for inputs that have a data writer of
// their own, FITS for every other input.
std::string OutputPath(const TArgs& args, const std::string& input) {
  namespace fs = std::filesystem;
  const fs::path in(input);
  std::string ext = LowerExtension(input);
  const TWriterKind w = ChooseDataWriter(input);
  const bool keep = (w == TWriterKind::FitsData && HasExtension(input, {".fits", ".fit", ".fts"})) ||
                    w == TWriterKind::PngData || w == TWriterKind::TiffData ||
                    w == TWriterKind::TextData || w == TWriterKind::RawFloat;
  if (keep)
    ext = in.extension().string();
  else
    ext = ".fits";
  const fs::path folder = args.OutDir.empty() ? in.parent_path() : fs::path(args.OutDir);
  return (folder / (in.stem().string() + args.Suffix + ext)).string();
}

int CmdRun(const TArgs& args) {
  namespace fs = std::filesystem;
  if (args.Positional.size() < 2) return UsageError("run takes HISTORY_OR_MACRO and FILE...");
  if (!args.OutDir.empty() && !fs::is_directory(args.OutDir))
    return UsageError("--out needs an existing folder, not '" + args.OutDir + "'");
  const std::string& stepsPath = args.Positional[0];
  std::vector<TIPFilter> steps;
  if (!ReadSteps(stepsPath, steps)) return kExitFailure;
  TQVOptions& options = Options();
  options.File.SaveHistory = true;
  // Check every output name first: a run never replaces one of its inputs.
  for (size_t i = 1; i < args.Positional.size(); ++i) {
    const std::string out = OutputPath(args, args.Positional[i]);
    std::error_code ec;
    if (fs::equivalent(out, args.Positional[i], ec))
      return UsageError("the result of " + args.Positional[i] +
                        " would replace it; give --suffix or --out");
  }
  int status = 0;
  for (size_t i = 1; i < args.Positional.size(); ++i) {
    const std::string& input = args.Positional[i];
    std::string error;
    std::unique_ptr<TAstroDocument> doc = TAstroDocument::OpenFile(input, 0, &error);
    if (!doc) {
      std::fprintf(stderr, "orlu-cli: %s: %s\n", input.c_str(),
                   error.substr(0, error.find('\r')).c_str());
      status = kExitFailure;
      continue;
    }
    TCliHost host;
    host.Current = doc.get();
    const fs::path stepsFolder = fs::path(stepsPath).parent_path();
    for (const TIPFilter& s : steps) {
      if (!IsDualCode(s.Code) || s.TextParam == kVoidText) continue;
      // The stored path as written, else beside the history file.
      for (const fs::path& p : {fs::path(s.TextParam), stepsFolder / fs::path(s.TextParam).filename()}) {
        std::error_code ec;
        if (!fs::is_regular_file(p, ec)) continue;
        if (auto second = TAstroDocument::OpenFile(p.string(), 0, nullptr)) {
          second->SetFileName(s.TextParam);
          host.Seconds.push_back(std::move(second));
        }
        break;
      }
    }
    TFilterContext ctx;
    ctx.Host = &host;
    std::vector<TIPFilter> run = steps;
    const TFilterResult r = RunSteps(*doc, run, ctx);
    if (r.Status != TFilterStatus::Done) {
      std::string message = r.Message;
      if (message.empty()) message = "the steps could not run";
      std::fprintf(stderr, "orlu-cli: %s: %s\n", input.c_str(), OneLine(message).c_str());
      status = kExitFailure;
      continue;
    }
    const std::string out = OutputPath(args, input);
    const TSaveResult saved = doc->SaveData(out, ChooseDataWriter(out), false, options);
    if (saved.Status != TSaveStatus::Written) {
      std::fprintf(stderr, "orlu-cli: %s: %s\n", out.c_str(), OneLine(saved.Message).c_str());
      status = kExitFailure;
    }
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  const std::string cmd = argv[1];
  if (cmd == "--help" || cmd == "-h" || cmd == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (cmd == "--version") {
    std::printf("orlu-cli %s\n", ORLU_VERSION);
    return 0;
  }
  using TCommand = int (*)(const TArgs&);
  TCommand run = nullptr;
  if (cmd == "info") run = CmdInfo;
  else if (cmd == "header") run = CmdHeader;
  else if (cmd == "stats") run = CmdStats;
  else if (cmd == "convert") run = CmdConvert;
  else if (cmd == "wcs") run = CmdWcs;
  else if (cmd == "render") run = CmdRender;
  else if (cmd == "run") run = CmdRun;
  if (!run) return UsageError("unknown command '" + cmd + "'");
  TArgs args;
  if (!ParseArgs(argc, argv, cmd == "convert", cmd == "wcs", cmd == "render", cmd == "run",
                 args))
    return kExitUsage;
  try {
    return run(args);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orlu-cli: %s\n", e.what());
    return kExitFailure;
  }
}
