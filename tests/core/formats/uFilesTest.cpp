#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "FormatsTestUtil.h"
#include "base/EOrluError.h"
#include "formats/LoadStatus.h"
#include "formats/uFiles.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"

using namespace orlu;
using orlu::testing_formats::FitsHeaderBlocks;
using orlu::testing_formats::TTempDir;

namespace {

// "KEY     =" + the value right-aligned in 20 columns.
std::string Card(std::string key, std::string value) {
  key.resize(8, ' ');
  if (value.size() < 20) value.insert(0, 20 - value.size(), ' ');
  return key + "= " + value;
}

// A 3 × 2 16-bit FITS file with the values 1…6 (row 0 first) and maybe more cards.
std::string TinyFits(int32_t width = 3, std::vector<std::string> extra = {}) {
  std::vector<std::string> cards = {Card("SIMPLE", "T"), Card("BITPIX", "16"),
                                    Card("NAXIS", "2"), Card("NAXIS1", std::to_string(width)),
                                    Card("NAXIS2", "2")};
  for (auto& e : extra) cards.push_back(e);
  std::string h;
  for (auto& c : cards) {
    std::string card = c;
    card.resize(80, ' ');
    h += card;
  }
  std::string end = "END";
  end.resize(80, ' ');
  h += end;
  h.resize(2880, ' ');
  std::string data;
  for (int v = 1; v <= 6; ++v) data += {char(0), char(v)};
  data.resize(2880, '\0');
  return h + data;
}

// A loader for tests: takes files of one extension and fills a 2 × 2 image with v.
TLoaderFunc TakesExtension(std::string ext, float v, int* calls = nullptr) {
  return [ext, v, calls](const TLoadRequest& rq, TAImage& image) {
    if (calls) ++*calls;
    if (!HasExtension(rq.Path, {ext})) return;
    image.SetSize(2, 2, false);
    image.Fill(v);
    image.Header.SetGeometry(2, 2, false, 16);
    image.Status |= kStatusLoaded;
  };
}

TLoaderFunc Counting(int* calls) {
  return [calls](const TLoadRequest&, TAImage&) { ++*calls; };
}

uint32_t LoadStatusOf(const TLoaderTable& table, const std::string& path,
                      const TQVOptions& options) {
  TAImage image;
  LoadImage(table, path, 0, image, options);
  return image.Status;
}

}  // namespace

// ============================================================================ messages

TEST(LoadStatusMessage, FirstMatchingRuleWins) {
  struct Row { uint32_t status; const char* want; };
  const Row rows[] = {
      {0x0080, ""},
      {0x0082, ""},
      {0x1080, ""},                       // a stray bit does not spoil a good load
      {0x10080, ""},                      // bits above the low 16 are not status bits
      {0x0900, "Out of memory"},
      {0x1B00, "Out of memory"},          // memory before size before plug-in
      {0x0300, "Max size is : 30000 x 30000"},
      {0x1300, "Max size is : 30000 x 30000"},
      {0x1100, "Cannot load the plugin for compressed FITS"},
      {0x1000, "Cannot load the plugin for compressed FITS"},
      {0x0500, "Incompatible file format"},
      {0x0100, "Incompatible file format"},
      {0x0000, "Incompatible file format"},
      {0x10200, "Max size is : 30000 x 30000"},
      // Failed wins over loaded: a loader that half filled the image and then failed.
      {0x0180, "Incompatible file format"},
      {0x0380, "Max size is : 30000 x 30000"},
  };
  for (const Row& r : rows) EXPECT_EQ(LoadStatusMessage(r.status), r.want) << std::hex << r.status;
}

// ============================================================================ names

TEST(FileNames, ExtensionsAndPatterns) {
  struct Ext { const char* path; const char* want; };
  const Ext exts[] = {{"/a/b.FITS", ".fits"}, {"b.tar.Gz", ".gz"}, {"noext", ""},
                      {"/a.d/noext", ""},     {".hidden", ""},     {"/x/.hidden", ""},
                      {"trail.", "."},        {"", ""}};
  for (const Ext& e : exts) EXPECT_EQ(LowerExtension(e.path), e.want) << e.path;

  struct Pat { const char* path; const char* list; bool want; };
  const Pat pats[] = {
      {"a.raw", "*.raw", true},           {"/d/A.Raw", "*.raw", true},
      {"a.r", "*.raw", false},            {"a", "*.raw", false},
      {"raw", "*.raw", false},            {"a.raw2", "*.raw", false},
      {"a.raw.gz", "*.raw", false},       {"/d.raw/a", "*.raw", false},
      {"a.r", "*.*", true},               {"a", "*.*", true},
      {"a.fit", "*.raw; *.fit ", true},   {"a.fit", "*.raw;;", false},
      {"a.raw", "", false},               {"a.st7", "*.st*", true},
      {"a.b", "*.?", true},               {"a.bb", "*.?", false},
      {"a.raw", "*.crw;*.raw", true},     {"*x.raw", "*.raw", true},     {"xaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*a*c", false},
  };
  for (const Pat& p : pats) EXPECT_EQ(MatchesPatternList(p.path, p.list), p.want) << p.path << " ~ " << p.list;

  EXPECT_TRUE(IsPseudoPath("Clipboard_.bmp"));
  EXPECT_TRUE(IsPseudoPath("GTestBMP_.bmp"));
  EXPECT_FALSE(IsPseudoPath("/tmp/Clipboard_.bmp"));
}

// ============================================================================ loader table

TEST(LoaderTable, RegistrationIsChecked) {
  TLoaderTable t;
  int calls = 0;
  t.Register(3, "a", Counting(&calls));
  EXPECT_THROW(t.Register(3, "b", Counting(&calls)), std::logic_error);
  EXPECT_THROW(t.Register(30, "c", Counting(&calls)), std::logic_error);
  EXPECT_THROW(t.Register(-1, "c", Counting(&calls)), std::logic_error);
  EXPECT_THROW(t.Register(4, "", Counting(&calls)), std::logic_error);
  EXPECT_THROW(t.Register(4, "d", TLoaderFunc()), std::logic_error);
  ASSERT_NE(t.At(3), nullptr);
  EXPECT_EQ(t.At(3)->Name, "a");
  EXPECT_EQ(t.At(4), nullptr);
  EXPECT_EQ(t.At(99), nullptr);
  t.Clear(3);
  EXPECT_EQ(t.At(3), nullptr);

  const TLoaderTable& builtin = BuiltinLoaders();
  ASSERT_NE(builtin.At(kSlotCustomRawFirst), nullptr);
  ASSERT_NE(builtin.At(kSlotCustomRawLast), nullptr);
  ASSERT_NE(builtin.At(kSlotFits), nullptr);
}

class Dispatch : public ::testing::Test {
 protected:
  TTempDir Dir;
  TQVOptions Opt;
};

// Missing, folder, pipe and files shorter than 4 bytes fail before any loader runs.
TEST_F(Dispatch, UnreadableOrTinyFilesFailAtOnce) {
  TLoaderTable t;
  int calls = 0;
  t.Register(0, "count", Counting(&calls));
  const std::string fifo = Dir.Name("pipe.fits");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path :
       {Dir.Name("missing.fits"), Dir.Write("three.fits", "abc"), Dir.Write("empty.fits", ""),
        Dir.Path().string(), fifo}) {
    const uint32_t s = LoadStatusOf(t, path, Opt);
    EXPECT_EQ(s, kStatusFailed) << path;
    EXPECT_EQ(LoadStatusMessage(s), "Incompatible file format");
  }
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(LoadStatusOf(t, Dir.Write("four.fits", "abcd"), Opt), kStatusFailed);
  EXPECT_EQ(calls, 1);  // four bytes are enough to ask the loaders
}

TEST_F(Dispatch, FirstAcceptingLoaderInSlotOrderWins) {
  TLoaderTable t;
  int before = 0, after = 0;
  t.Register(2, "count", Counting(&before));
  t.Register(9, "png", TakesExtension(".png", 5.0f));
  t.Register(7, "dat", TakesExtension(".dat", 7.0f));
  t.Register(12, "count", Counting(&after));
  TAImage image;
  LoadImage(t, Dir.Write("x.dat", "data"), 0, image, Opt);
  EXPECT_TRUE(LoadSucceeded(image.Status));
  EXPECT_EQ(image.MainPlane->GetPixel(0, 0), 7.0f);
  EXPECT_EQ(before, 1);
  EXPECT_EQ(after, 0);

  const uint32_t none = LoadStatusOf(t, Dir.Write("x.gif", "data"), Opt);
  EXPECT_EQ(none, kStatusFailed);  // nobody took it
  EXPECT_EQ(after, 1);
}

TEST_F(Dispatch, LoaderErrorsBecomeStatusAndStopTheWalk) {
  struct Row {
    const char* name;
    TLoaderFunc loader;
    uint32_t want;
  };
  const Row rows[] = {
      {"runtime error", [](const TLoadRequest&, TAImage&) { throw std::runtime_error("x"); },
       kStatusFailed},
      {"orlu error", [](const TLoadRequest&, TAImage&) { throw EOrluError("bad"); },
       kStatusFailed},
      {"non-standard throw", [](const TLoadRequest&, TAImage&) { throw 42; }, kStatusFailed},
      {"bad_alloc", [](const TLoadRequest&, TAImage&) { throw std::bad_alloc(); },
       kStatusFailed | kStatusOutOfMemory},
      {"loaded, then thrown",
       [](const TLoadRequest&, TAImage& im) {
         im.Status |= kStatusLoaded;
         throw std::runtime_error("late");
       },
       kStatusFailed | kStatusLoaded},
      {"too large", [](const TLoadRequest&, TAImage& im) { im.Status |= kStatusRefusedTooLarge; },
       kStatusRefusedTooLarge},
  };
  const std::string path = Dir.Write("x.fits", "SIMPLE");
  for (const Row& r : rows) {
    TLoaderTable t;
    int later = 0;
    t.Register(4, r.name, r.loader);
    t.Register(5, "later", TakesExtension(".fits", 1.0f, &later));
    const uint32_t s = LoadStatusOf(t, path, Opt);
    EXPECT_EQ(s, r.want) << r.name;
    EXPECT_FALSE(LoadSucceeded(s)) << r.name;
    EXPECT_EQ(later, 0) << r.name;
  }
}

// A loader whose image ran out of memory never yields a loaded image.
TEST_F(Dispatch, OutOfMemoryInsideALoaderFails) {
  TLoaderTable t;
  t.Register(0, "hungry", [](const TLoadRequest&, TAImage& image) {
    FailNextPixelAllocations(1);
    image.SetSize(1000, 1000, false);  // throws "Out of memory"
    image.Status |= kStatusLoaded;
  });
  const uint32_t s = LoadStatusOf(t, Dir.Write("x.fits", "SIMPLE"), Opt);
  FailNextPixelAllocations(0);
  EXPECT_EQ(s & (kStatusFailed | kStatusOutOfMemory), kStatusFailed | kStatusOutOfMemory);
  EXPECT_EQ(LoadStatusMessage(s), "Out of memory");
}

TEST_F(Dispatch, CommonStepsAfterALoad) {
  TLoaderTable t;
  t.Register(0, "dat", [](const TLoadRequest&, TAImage& image) {
    image.SetSize(4, 3, false);
    image.Fill(2.6f);
    image.MainPlane->SetPixel(1, 1, -7.4f);
    image.Header.SetGeometry(4, 3, false, 8);
    image.Header.SetString("OBSERVER", "Kept", true);
    image.Visu.SetLinear(10.0f, 20.0f);
    image.Status |= kStatusLoaded | kStatusView0To255;
  });
  const std::string longName(90, 'n');
  const std::string path = Dir.Write(longName + ".dat", "data");

  TAImage image;
  LoadImage(t, path, 0, image, Opt);
  ASSERT_TRUE(LoadSucceeded(image.Status));
  // Integer image: the statistics refresh rounds the samples.
  EXPECT_EQ(image.DataMin, -7.0f);
  EXPECT_EQ(image.DataMax, 3.0f);
  EXPECT_EQ(image.MainPlane->GetPixel(0, 0), 3.0f);
  EXPECT_FALSE(image.IsFloat);
  // 8-bit data: view 0…255 whatever the loader left.
  EXPECT_EQ(image.Visu.Low, 0.0f);
  EXPECT_EQ(image.Visu.High, 255.0f);
  // The path as a comment card, cut to 72 characters.
  EXPECT_GE(image.Header.IndexOf("COMMENT " + path.substr(0, 72)), 0);
  EXPECT_FALSE(image.Header.HasKey("ORIGIN"));  // import keywords are off by default

  Opt.File.OpenAsFloat = true;
  Opt.File.AddObsKeysOnImport = true;
  Opt.File.AddInsKeysOnImport = true;
  Opt.Observatory.Origin = "Hill";
  Opt.Observatory.Observer = "Replaced";
  Opt.Observatory.Telescope = "Scope";
  Opt.Observatory.Camera = "Cam";
  TAImage f;
  LoadImage(t, path, 0, f, Opt);
  ASSERT_TRUE(LoadSucceeded(f.Status));
  EXPECT_TRUE(f.IsFloat);
  EXPECT_FLOAT_EQ(f.DataMin, -7.4f);  // not rounded
  EXPECT_EQ(f.Header.GetString("ORIGIN"), "Hill");
  EXPECT_EQ(f.Header.GetString("OBSERVER"), "Kept");  // DontOverwriteKeys is on
  EXPECT_EQ(f.Header.GetString("TELESCOP"), "Scope");
  EXPECT_EQ(f.Header.GetString("INSTRUME"), "Cam");
  EXPECT_EQ(f.Header.GetReal("DIAMETER"), 300.0);
  EXPECT_EQ(f.Header.GetReal("FOCALLEN"), 1800.0);
  EXPECT_TRUE(f.Header.HasKey("SITELAT"));
  EXPECT_TRUE(f.Header.HasKey("SITELONG"));

  Opt.File.DontOverwriteKeys = false;
  TAImage g;
  LoadImage(t, path, 0, g, Opt);
  EXPECT_EQ(g.Header.GetString("OBSERVER"), "Replaced");
}

// The initial view: stored keywords of a FITS header win; without them, or when a non-FITS
// loader's synthesized header holds such cards, the automatic range applies.
TEST_F(Dispatch, InitialViewFromStoredKeywordsOrAutomatic) {
  const std::string stored = Dir.Write(
      "stored.fits", TinyFits(3, {Card("ORLUUMIN", "2"), Card("ORLUUMAX", "5"),
                                  Card("ORLUUTYP", "0")}));
  TAImage a;
  LoadImage(BuiltinLoaders(), stored, 0, a, Opt);
  ASSERT_TRUE(LoadSucceeded(a.Status));
  EXPECT_EQ(a.Visu.Low, 2.0f);
  EXPECT_EQ(a.Visu.High, 5.0f);

  TAImage b;
  LoadImage(BuiltinLoaders(), Dir.Write("plain.fits", TinyFits()), 0, b, Opt);
  ASSERT_TRUE(LoadSucceeded(b.Status));
  EXPECT_NE(b.Visu.High, 255.0f);  // data 1…6: not the 8-bit default view
  EXPECT_LE(b.Visu.Low, b.Visu.High);
  EXPECT_GE(b.Visu.Low, 1.0f);
  EXPECT_LE(b.Visu.High, 6.0f);

  TLoaderTable t;
  t.Register(0, "dat", [](const TLoadRequest&, TAImage& image) {
    image.SetSize(3, 2, false);
    for (int i = 0; i < 6; ++i) image.MainPlane->Data[i] = float(1 + i);
    image.Header.SetGeometry(3, 2, false, 16);
    image.Header.AddBeforeEnd(Card("ORLUUMIN", "2"));
    image.Header.AddBeforeEnd(Card("ORLUUMAX", "5"));
    image.Header.AddBeforeEnd(Card("ORLUUTYP", "0"));
    image.Status |= kStatusLoaded;
  });
  TAImage c;
  LoadImage(t, Dir.Write("c.dat", "data"), 0, c, Opt);
  ASSERT_TRUE(LoadSucceeded(c.Status));
  EXPECT_EQ(c.Visu.Low, b.Visu.Low);  // same data, same automatic view
  EXPECT_EQ(c.Visu.High, b.Visu.High);
}

TEST_F(Dispatch, NoPathCommentOrImportKeysForFitsHeaders) {
  TLoaderTable t;
  t.Register(0, "fitslike", [](const TLoadRequest&, TAImage& image) {
    image.SetSize(2, 2, false);
    image.Header.SetGeometry(2, 2, false, 16);
    image.Status |= kStatusLoaded | kStatusFitsHeader;
  });
  Opt.File.AddObsKeysOnImport = true;
  TAImage image;
  LoadImage(t, Dir.Write("a.dat", "data"), 0, image, Opt);
  ASSERT_TRUE(LoadSucceeded(image.Status));
  EXPECT_EQ(image.Header.Text().find("COMMENT"), std::string::npos);
  EXPECT_FALSE(image.Header.HasKey("ORIGIN"));
}

// Pseudo paths skip the file check; the clipboard gets no COMMENT card.
TEST_F(Dispatch, PseudoPaths) {
  TLoaderTable t;
  t.Register(0, "bmp", TakesExtension(".bmp", 1.0f));
  for (std::string_view p : {kClipboardPath, kMemoryBitmapPath}) {
    TAImage image;
    LoadImage(t, std::string(p), 0, image, Opt);
    ASSERT_TRUE(LoadSucceeded(image.Status)) << p;
    EXPECT_EQ(image.Header.IndexOf("COMMENT " + std::string(p)) >= 0, p == kMemoryBitmapPath);
  }
}

TEST_F(Dispatch, FrameIndexReachesTheLoader) {
  TLoaderTable t;
  int32_t seen = -1;
  t.Register(0, "frame", [&seen](const TLoadRequest& rq, TAImage&) { seen = rq.FrameIndex; });
  TAImage image;
  LoadImage(t, Dir.Write("v.ser", "data"), 7, image, Opt);
  EXPECT_EQ(seen, 7);
}

// ============================================================================ built-in loaders

TEST_F(Dispatch, RawOpensAsCustomRawOnlyWhenEnabled) {
  const std::string path = Dir.Write("cam.raw", std::string(12, '\x01'));
  Opt.Raw.DimX = 3;
  Opt.Raw.DimY = 2;
  EXPECT_EQ(LoadStatusMessage(LoadStatusOf(BuiltinLoaders(), path, Opt)),
            "Incompatible file format");
  Opt.Raw.Enabled = true;
  TAImage image;
  LoadImage(BuiltinLoaders(), path, 0, image, Opt);
  ASSERT_TRUE(LoadSucceeded(image.Status));
  EXPECT_EQ(image.MainPlane->GetPixel(2, 1), 257.0f);
  EXPECT_EQ(image.DataMax, 257.0f);
}

// With Priority off another loader that takes the file wins; with it on, custom RAW does.
TEST_F(Dispatch, CustomRawPriority) {
  TLoaderTable t;
  RegisterFormatsLoaders(t);
  t.Register(kSlotPng, "other", TakesExtension(".raw", 42.0f));
  const std::string path = Dir.Write("both.raw", std::string(12, '\x01'));
  Opt.Raw.Enabled = true;
  Opt.Raw.DimX = 3;
  Opt.Raw.DimY = 2;
  for (bool priority : {false, true}) {
    Opt.Raw.Priority = priority;
    TAImage image;
    LoadImage(t, path, 0, image, Opt);
    ASSERT_TRUE(LoadSucceeded(image.Status));
    EXPECT_EQ(image.Width(), priority ? 3 : 2) << priority;
  }
}

TEST_F(Dispatch, TooWideCustomRawShowsTheSizeMessage) {
  Opt.Raw.Enabled = true;
  Opt.Raw.DimX = 30001;
  const uint32_t s = LoadStatusOf(BuiltinLoaders(), Dir.Write("w.raw", "abcdefgh"), Opt);
  EXPECT_EQ(LoadStatusMessage(s), "Max size is : 30000 x 30000");
}

TEST_F(Dispatch, FitsOnlyByItsExtensions) {
  const std::string bytes = TinyFits();
  for (const char* name : {"a.fits", "a.FIT", "a.fts"}) {
    TAImage image;
    LoadImage(BuiltinLoaders(), Dir.Write(name, bytes), 0, image, Opt);
    ASSERT_TRUE(LoadSucceeded(image.Status)) << name;
    EXPECT_EQ(image.Status & kStatusFitsHeader, kStatusFitsHeader);
    EXPECT_EQ(image.MainPlane->GetPixel(2, 1), 6.0f) << name;
    EXPECT_EQ(image.Header.Text().find("COMMENT"), std::string::npos);
  }
  for (const char* name : {"a.dat", "a.fits.bak", "fits"}) {
    const uint32_t s = LoadStatusOf(BuiltinLoaders(), Dir.Write(name, bytes), Opt);
    EXPECT_EQ(LoadStatusMessage(s), "Incompatible file format") << name;
  }
}

TEST_F(Dispatch, TooWideFitsShowsTheSizeMessage) {
  const uint32_t s = LoadStatusOf(BuiltinLoaders(), Dir.Write("wide.fits", TinyFits(30001)), Opt);
  EXPECT_EQ(s & kStatusRefusedTooLarge, kStatusRefusedTooLarge);
  EXPECT_EQ(LoadStatusMessage(s), "Max size is : 30000 x 30000");
}

TEST_F(Dispatch, TopDownFitsIsFlippedOnlyWithRowOrderOption) {
  const std::string path =
      Dir.Write("td.fits", TinyFits(3, {Card("ROWORDER", "'TOP-DOWN'")}));
  for (bool rowOrder : {true, false}) {
    Opt.File.RowOrderFITS = rowOrder;
    TAImage image;
    LoadImage(BuiltinLoaders(), path, 0, image, Opt);
    ASSERT_TRUE(LoadSucceeded(image.Status));
    EXPECT_EQ(image.MainPlane->GetPixel(0, 0), rowOrder ? 4.0f : 1.0f) << rowOrder;
  }
}

TEST_F(Dispatch, OpenImageFileGivesTheBoxText) {
  std::string error;
  const std::string missing = Dir.Name("gone.fits");
  EXPECT_EQ(OpenImageFile(missing, 0, &error), nullptr);
  EXPECT_EQ(error, "Incompatible file format\r" + missing);
  auto image = OpenImageFile(Dir.Write("ok.fits", TinyFits()), 0, &error);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->Width(), 3);
}

// ============================================================================ star files

TEST(StarFiles, Detection) {
  TTempDir dir;
  struct Row { const char* name; std::string text; bool want; };
  const Row rows[] = {
      {"a.sta", "Orlu 4  star file v2", true},
      {"a.txt", "12345678star file", true},        // begins at the 9th character
      {"a.txt", "1234567star file", false},        // at the 8th: not after it
      {"a.TXT", "xxxxxxxxxstars database", true},
      {"a.sta", "Quorvane Photometry 1.0", true},
      {"a.sta", "x" + std::string(20, ' ') + "star file", true},   // ends at byte 30
      {"a.sta", "x" + std::string(21, ' ') + "star file", false},  // cut at byte 30
      {"a.fits", "Orlu 4  star file v2", false},
      {"a.sta", "plain text", false},
      {"a.sta", std::string("\0\0\0\0\0\0\0\0\0star file", 18), true},
  };
  for (const Row& r : rows) EXPECT_EQ(IsStarFile(dir.Write(r.name, r.text)), r.want) << r.text;
  EXPECT_FALSE(IsStarFile(dir.Name("missing.sta")));
}

// ============================================================================ dialogs

TEST(Dialogs, OpenFilterFollowsTheOptions) {
  TQVOptions o;
  o.Dslr.FileExtensions = "*.nef";
  o.Raw.FileExt = "*.bin";
  const std::string f = OpenDialogFilter(false, o);
  EXPECT_EQ(f.rfind("FITS  *.fit;*.fts;*.fits;*.fz|*.fit;*.fts;*.fits;*.fz|PNG  *.png|", 0), 0u);
  EXPECT_NE(f.find("|DSLR RAW  *.nef|*.nef|Custom RAW  *.bin|*.bin|TIFF"), std::string::npos);
  EXPECT_EQ(f.size() - f.rfind("|All files,  *.*|*.*"), 20u);
  // Caption and pattern alternate: an odd number of separators.
  EXPECT_EQ(std::count(f.begin(), f.end(), '|') % 2, 1);
  EXPECT_EQ(OpenDialogFilter(true, o).rfind("FITS  *.fit;*.fts;*.fits;*.fz|*.fit*;*.fts;*.fz|", 0),
            0u);
}

TEST(Dialogs, ForcedExtensionsByFilter) {
  const char* data[] = {"", ".fit", ".fit", ".fit", ".png", ".tif", ".txt", ".raw", "", ""};
  for (int i = 0; i <= 9; ++i) EXPECT_EQ(DataFilterExtension(i), data[i]) << i;
  const char* view[] = {"", ".jpg", ".png", ".png", ".tif", ".tif", ".bmp", "", ""};
  for (int i = 0; i <= 8; ++i) EXPECT_EQ(ViewFilterExtension(i), view[i]) << i;
}

// ============================================================================ writers

TEST(Writers, DataChoiceByExtension) {
  struct Row { const char* path; TWriterKind want; };
  const Row rows[] = {
      {"a.png", TWriterKind::PngData},   {"a.PNG", TWriterKind::PngData},
      {"a.tif", TWriterKind::TiffData},  {"a.tiff", TWriterKind::TiffData},
      {"a.txt", TWriterKind::TextData},  {"a.raw", TWriterKind::RawFloat},
      {"a.fits", TWriterKind::FitsData}, {"a.fz", TWriterKind::FitsData},
      {"a.dat", TWriterKind::FitsData},  {"a", TWriterKind::FitsData},
      {"a.r", TWriterKind::FitsData},    {"/d.png/a", TWriterKind::FitsData},
      {"a.bmp", TWriterKind::ViewBmp},   {"a.jpg", TWriterKind::ViewJpeg},
      {"a.JPEG", TWriterKind::ViewJpeg},
  };
  for (const Row& r : rows) EXPECT_EQ(ChooseDataWriter(r.path), r.want) << r.path;
}

TEST(Writers, ViewChoiceByExtensionAndFilter) {
  struct Row { const char* path; int32_t filter; TWriterKind want; };
  const Row rows[] = {
      {"a.bmp", 6, TWriterKind::ViewBmp},     {"a.jpg", 1, TWriterKind::ViewJpeg},
      {"a.jpeg", 7, TWriterKind::ViewJpeg},   {"a.png", 2, TWriterKind::ViewPng8},
      {"a.png", 3, TWriterKind::ViewPng16},   {"a.png", 7, TWriterKind::ViewPng8},
      {"a.tif", 4, TWriterKind::ViewTiff8},   {"a.tiff", 5, TWriterKind::ViewTiff16},
      {"a.tif", 3, TWriterKind::ViewTiff8},   {"a.png", 5, TWriterKind::ViewPng8},
      {"a.fits", 7, TWriterKind::None},       {"a", 7, TWriterKind::None},
  };
  for (const Row& r : rows)
    EXPECT_EQ(ChooseViewWriter(r.path, r.filter), r.want) << r.path << " " << r.filter;
}

TEST(Writers, LosslessViewSaves) {
  struct Row {
    const char* name;
    TViewSaveFacts f;
    bool want;
  };
  auto facts = [](TWriterKind w, bool isFloat, float lo, float hi, bool identity, bool marks) {
    TViewSaveFacts f;
    f.Writer = w;
    f.IsFloat = isFloat;
    f.DataMin = lo;
    f.DataMax = hi;
    f.IdentityView = identity;
    f.MarksDrawn = marks;
    return f;
  };
  using K = TWriterKind;
  const Row rows[] = {
      {"png 8 bit, 0..255", facts(K::ViewPng8, false, 0, 255, true, false), true},
      {"bmp", facts(K::ViewBmp, false, 3, 200, true, false), true},
      {"tiff 8", facts(K::ViewTiff8, false, 0, 255, true, false), true},
      {"jpeg is lossy", facts(K::ViewJpeg, false, 0, 255, true, false), false},
      {"value 256", facts(K::ViewPng8, false, 0, 256, true, false), false},
      {"negative", facts(K::ViewPng8, false, -1, 100, true, false), false},
      {"float data", facts(K::ViewPng8, true, 0, 255, true, false), false},
      {"other view range", facts(K::ViewPng8, false, 0, 255, false, false), false},
      {"annotations drawn", facts(K::ViewBmp, false, 0, 255, true, true), false},
      {"png 16, 0..65535", facts(K::ViewPng16, false, 0, 65535, true, false), true},
      {"tiff 16 too high", facts(K::ViewTiff16, false, 0, 65536, true, false), false},
      {"data writer", facts(K::FitsData, false, 0, 255, true, false), false},
      {"NaN range", facts(K::ViewPng8, false, NAN, NAN, true, false), false},
  };
  for (const Row& r : rows) EXPECT_EQ(ViewSaveIsLossless(r.f), r.want) << r.name;
}

TEST(Writers, MissingWriterFailsWithoutWriting) {
  TTempDir dir;
  TAImage image;
  TQVOptions o;
  for (TWriterKind k : {TWriterKind::ViewBmp, TWriterKind::ViewJpeg, TWriterKind::None}) {
    if (WriterAvailable(k)) continue;
    const std::string path = dir.Name("out.bmp");
    const TSaveResult r = SaveImageFile(image, path, k, false, o);
    EXPECT_EQ(r.Status, TSaveStatus::WriterMissing) << WriterName(k);
    EXPECT_FALSE(r.Message.empty());
    EXPECT_FALSE(std::filesystem::exists(path));
  }
  EXPECT_FALSE(WriterAvailable(TWriterKind::None));
}

TEST(Writers, FitsSaveRoundTripsThroughTheDispatch) {
  TTempDir dir;
  TQVOptions o;
  TAImage image;
  image.SetSize(5, 4, true);
  for (int32_t y = 0; y < 4; ++y)
    for (int32_t x = 0; x < 5; ++x) image.SetRGB(x, y, float(x), float(1000 * y), float(-x - y));
  for (bool compressed : {false, true}) {
    const std::string path = dir.Name(compressed ? "c.fits" : "p.fits");
    const TSaveResult r = SaveImageFile(image, path, TWriterKind::FitsData, compressed, o);
    ASSERT_EQ(r.Status, TSaveStatus::Written) << r.Message;
    TAImage back;
    LoadImage(BuiltinLoaders(), path, 0, back, o);
    ASSERT_TRUE(LoadSucceeded(back.Status)) << LoadStatusMessage(back.Status);
    EXPECT_TRUE(back.SameImage(image)) << compressed;
    // Nothing but the file itself is left in the folder.
    int files = 0;
    for (auto& e : std::filesystem::directory_iterator(dir.Path())) files += e.is_regular_file();
    EXPECT_EQ(files, compressed ? 2 : 1);
  }
}

// A failed write leaves an existing file as it was.
TEST(Writers, FailedSaveKeepsTheOriginal) {
  TTempDir dir;
  TQVOptions o;
  TAImage image;
  const std::string path = dir.Write("keep.fits", "original");
  ::chmod(dir.Path().c_str(), 0500);  // no new files in the folder
  const TSaveResult r = SaveImageFile(image, path, TWriterKind::FitsData, false, o);
  ::chmod(dir.Path().c_str(), 0700);
  if (::geteuid() != 0) {  // root ignores the permission
    EXPECT_EQ(r.Status, TSaveStatus::WriteFailed);
    EXPECT_EQ(r.Message, "Cannot write file to disk");
    std::ifstream f(path);
    std::string text;
    std::getline(f, text);
    EXPECT_EQ(text, "original");
  }
  const TSaveResult r2 =
      SaveImageFile(image, dir.Name("no/such/folder/x.fits"), TWriterKind::FitsData, false, o);
  EXPECT_EQ(r2.Status, TSaveStatus::WriteFailed);
}
