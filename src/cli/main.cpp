// orlu-cli: the headless front end of Orlu for scripts, batch work and checks. Every
// subcommand calls the same core functions as the application.
#include <array>
#include <cmath>
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
  std::vector<std::array<double, 2>> Pix;  // wcs: --pix X,Y
  std::vector<std::array<double, 2>> Sky;  // wcs: --sky RA,DEC
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
bool ParseArgs(int argc, char** argv, bool allowCompress, bool allowWcs, TArgs& out) {
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (allowWcs && (a == "--pix" || a == "--sky")) {
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
  const TSaveResult r = doc->SaveData(out, writer, !args.Compress.empty(), Options());
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
  if (!run) return UsageError("unknown command '" + cmd + "'");
  TArgs args;
  if (!ParseArgs(argc, argv, cmd == "convert", cmd == "wcs", args)) return kExitUsage;
  try {
    return run(args);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orlu-cli: %s\n", e.what());
    return kExitFailure;
  }
}
