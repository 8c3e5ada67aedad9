// orlu-cli: the headless front end of Orlu for scripts, batch work and checks. Every
// subcommand calls the same core functions as the application.
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "CliJson.h"
#include "base/TextNumbers.h"
#include "formats/uFiles.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"

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
    "  --compress rice|gzip    write tile-compressed FITS. The writer picks the tile method\n"
    "                          by its own rules, whichever word is given: GZIP_2 for\n"
    "                          floating-point data and for monochrome integer data with a\n"
    "                          strong checkerboard pattern, RICE_1 otherwise\n"
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
};

int UsageError(const std::string& text) {
  std::fprintf(stderr, "orlu-cli: %s (see orlu-cli --help)\n", text.c_str());
  return kExitUsage;
}

// Parses the words after the command; false (message printed) on a usage error.
bool ParseArgs(int argc, char** argv, bool allowCompress, TArgs& out) {
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--hdu" || (allowCompress && a == "--compress")) {
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
  auto image = Load(args.Positional[0], args.Hdu);
  if (!image) return kExitFailure;
  const TSaveResult r = SaveImageFile(*image, out, writer, !args.Compress.empty(), Options());
  if (r.Status != TSaveStatus::Written) {
    std::string msg = r.Message;
    for (char& c : msg)
      if (c == '\r' || c == '\n') c = ' ';
    std::fprintf(stderr, "orlu-cli: %s: %s\n", out.c_str(), msg.c_str());
    return kExitFailure;
  }
  return 0;
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
  if (!run) return UsageError("unknown command '" + cmd + "'");
  TArgs args;
  if (!ParseArgs(argc, argv, cmd == "convert", args)) return kExitUsage;
  try {
    return run(args);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orlu-cli: %s\n", e.what());
    return kExitFailure;
  }
}
