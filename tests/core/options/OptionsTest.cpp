#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fstream>
#include <sstream>

#include "base/ProcessSwitches.h"
#include "options/uQuorvane.h"

using namespace orlu;
namespace fs = std::filesystem;

namespace {

class TTempDir {
 public:
  TTempDir() {
    static std::atomic<int> counter{0};
    Path_ = fs::temp_directory_path() /
            ("orlu-options-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fs::create_directories(Path_);
  }
  ~TTempDir() {
    std::error_code ec;
    fs::permissions(Path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(Path_, ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const fs::path& Path() const { return Path_; }

 private:
  fs::path Path_;
};

void WriteBytes(const fs::path& p, std::string_view bytes) {
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), std::streamsize(bytes.size()));
}

std::string ReadBytes(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

ino_t Inode(const fs::path& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Section names of the header lines of a file, in order.
std::vector<std::string> SectionNames(const TIniLines& lines) {
  std::vector<std::string> r;
  for (const auto& l : lines)
    if (auto n = IniHeaderName(l)) r.emplace_back(*n);
  return r;
}

// Restores the process-wide switches that LoadOptions changes.
struct TSwitchesGuard {
  ~TSwitchesGuard() { TQVOptions().ApplyProcessSwitches(); }
};

}  // namespace

TEST(Options, DefaultsAndProcessSwitches) {
  TQVOptions o;
  EXPECT_TRUE(o.Misc.PermitMT);
  EXPECT_EQ(o.Misc.PermitSSE, CpuHasSSE2());
  o.Misc.PermitMT = false;
  o.Misc.PermitSSE = false;
  o.ApplyProcessSwitches();
  EXPECT_FALSE(PermitMultithreading());
  EXPECT_FALSE(UseVectorCode());
  TQVOptions().ApplyProcessSwitches();
  EXPECT_TRUE(PermitMultithreading());
  EXPECT_EQ(UseVectorCode(), CpuHasSSE2());
}

// ============================================================================ defaults

TEST(Options, DefaultsOfEveryClass) {
  const TQVOptions d;
  struct TNumber {
    const char* Name;
    double Value, Expected;
  };
  const TNumber numbers[] = {
      {"Observatory.Lon", d.Observatory.Lon, -10.0},
      {"Observatory.Focal", d.Observatory.Focal, 1800},
      {"Observatory.CCDFieldY", d.Observatory.CCDFieldY, 15.0},
      {"PlateSolve.OCAstro", d.PlateSolve.OCAstro, 1.25},
      {"PlateSolve.ErrorRot", double(d.PlateSolve.ErrorRot), 180},
      {"File.JpegCompress", double(d.File.JpegCompress), 10},
      {"File.ThumbnailY", double(d.File.ThumbnailY), 4},
      {"Raw.DimX", double(d.Raw.DimX), 640},
      {"Raw.BitsKind", double(d.Raw.BitsKind), 1},
      {"Star.R_BKG", double(d.Star.R_BKG), 8},
      {"Star.SNGain", d.Star.SNGain, 3.5},
      {"Star.DetectADUMax", d.Star.DetectADUMax, 1e9},
      {"Star.DetectPSNRMin", d.Star.DetectPSNRMin, 28},
      {"Annotation.AtlCometColor", double(d.Annotation.AtlCometColor), 0xD0D0FF},
      {"Annotation.AtlTextSize", double(d.Annotation.AtlTextSize), 11},
      {"Image.GridEqu", d.Image.GridEqu, 4},
      {"Image.MarkerColor", double(d.Image.MarkerColor), 0x309830},
      {"Image.BlinkTime", double(d.Image.BlinkTime), 300},
      {"Image.GridColor", double(d.Image.GridColor), 0x68BA68},
      {"Preprocessing.LayoutModePreview", double(d.Preprocessing.LayoutModePreview), 1},
      {"Misc.ADUTestPhotometry", d.Misc.ADUTestPhotometry, 10000},
      {"Misc.WindowBrightness", d.Misc.WindowBrightness, 80},
      {"Misc.UndoLevels32", double(d.Misc.UndoLevels32), 1},
      {"Misc.UndoLevels64", double(d.Misc.UndoLevels64), 5},
      {"Filter.MaskTolerance", d.Filter.MaskTolerance, 20.0},
      {"Filter.ComaWidth", double(d.Filter.ComaWidth), 25},
      {"Filter.DDPSigmaHP", d.Filter.DDPSigmaHP, 2.5},
      {"Filter.Normalization", d.Filter.Normalization, 65535},
      {"Demosaic.BayerCode", double(d.Demosaic.BayerCode), 3},
      {"Demosaic.Saturation", d.Demosaic.Saturation, 20.0},
      {"Trichromy.UserMulB", d.Trichromy.UserMulB, 1.0},
      {"Align.Stars", double(d.Align.Stars), 30},
      {"Align.FWHMax", d.Align.FWHMax, 14.5},
      {"Formula.ID", double(d.Formula.ID), 0},
  };
  for (const auto& r : numbers) EXPECT_EQ(r.Value, r.Expected) << r.Name;

  struct TFlag {
    const char* Name;
    bool Value, Expected;
  };
  const TFlag flags[] = {
      {"Observatory.UseCoordinatesParallax", d.Observatory.UseCoordinatesParallax, false},
      {"PlateSolve.MeridianFlip", d.PlateSolve.MeridianFlip, false},
      {"File.DontOverwriteKeys", d.File.DontOverwriteKeys, true},
      {"File.RowOrderFITS", d.File.RowOrderFITS, true},
      {"File.AllowUnsignedFITS", d.File.AllowUnsignedFITS, false},
      {"Dslr.CameraWB", d.Dslr.CameraWB, true},
      {"Raw.EndianPC", d.Raw.EndianPC, true},
      {"Star.DrawR2", d.Star.DrawR2, false},
      {"Star.FieldRADecDeg", d.Star.FieldRADecDeg, false},
      {"Star.FindDistributed", d.Star.FindDistributed, true},
      {"Annotation.AtlDeletePrevious", d.Annotation.AtlDeletePrevious, true},
      {"Image.DuplicateCrop", d.Image.DuplicateCrop, true},
      {"Image.SameZoomBlink", d.Image.SameZoomBlink, true},
      {"Image.GridMarker", d.Image.GridMarker, false},
      {"Preprocessing.FractionalAlign", d.Preprocessing.FractionalAlign, true},
      {"Misc.FirstExecution", d.Misc.FirstExecution, true},
      {"Misc.ZoomWithCTRL", d.Misc.ZoomWithCTRL, true},
      {"Misc.ZoomWithWheel", d.Misc.ZoomWithWheel, false},
      {"Misc.ScriptCLS", d.Misc.ScriptCLS, true},
      {"Filter.DDPHighPass", d.Filter.DDPHighPass, false},
      {"Demosaic.PostFringes", d.Demosaic.PostFringes, false},
      {"Align.Distortions", d.Align.Distortions, false},
  };
  for (const auto& r : flags) EXPECT_EQ(r.Value, r.Expected) << r.Name;

  struct TText {
    const char* Name;
    std::string Value, Expected;
  };
  const TText texts[] = {
      {"PlateSolve.SearchName", d.PlateSolve.SearchName, "M 67"},
      {"File.PreprocDir", d.File.PreprocDir, "C:\\"},
      {"File.AppMacroWriteDir", d.File.AppMacroWriteDir, "C:\\Temp"},
      {"File.UserFilesDir", d.File.UserFilesDir, ""},
      {"Dslr.FileExtensions", d.Dslr.FileExtensions,
       "*.crw;*.cr2;*.cr3;*.nef;*.orf;*.dng;*.arw;*.rw2;*.raf"},
      {"Raw.FileExt", d.Raw.FileExt, "*.raw"},
      {"Star.Database", d.Star.Database, "StarDatabase.txt"},
      {"Image.MarkerFontName", d.Image.MarkerFontName, "Arial"},
      {"Formula.F2", d.Formula.F2, "vmax - v`|`|; invert"},
      {"Formula.F7", d.Formula.F7,
       "(v-2000)*2.3 :`|v-2000 :`|(v-2000)*1.5`|; white balance with bias for the Canon 600D"},
      {"MaskFormula.F0", d.MaskFormula.F0, "v > 100 and v < 5000 `|`|; adu range"},
      {"MaskFormula.F7", d.MaskFormula.F7, "m * 0.5`|`|; half opacity"},
      {"Filter.Macro8", d.Filter.Macro8, "Macro 8"},
      {"Filter.ScriptName1", d.Filter.ScriptName1, "Script 1"},
      {"Filter.PhotometryFormat", d.Filter.PhotometryFormat,
       "<JD> <AIRMASS> <ADU1> <MAG1> <MAGERR1>"},
      {"Misc.LastPalette", d.Misc.LastPalette, ""},
      {"Preprocessing.DefectMap", d.Preprocessing.DefectMap, ""},
  };
  for (const auto& r : texts) EXPECT_EQ(r.Value, r.Expected) << r.Name;

  EXPECT_EQ(d.Image.OutSideMode, omConstant);
  // The report templates are multi-line headers ending with the date placeholder.
  for (const std::string* t : {&d.Observatory.MPCReport, &d.Observatory.MPCReportAdes}) {
    EXPECT_NE(t->find('\n'), std::string::npos);
    EXPECT_NE(t->find("XXX"), std::string::npos);
    EXPECT_NE(t->substr(t->rfind('\n')).find("%DATE"), std::string::npos);
  }
}

// ============================================================================ file layout

TEST(Options, FirstSaveWritesEveryWrittenSectionInOrderThenLeavesTheFileAlone) {
  TTempDir dir;
  const TQVOptions d;
  std::string error;
  ASSERT_TRUE(SaveOptions(d, dir.Path(), &error)) << error;
  const fs::path file = dir.Path() / "Orlu40CfgU.ini";
  TIniLines lines;
  ASSERT_EQ(ReadIniFile(file, lines), TIniReadResult::Ok);
  const std::vector<std::string> expected = {
      "ObservatoryOptions", "PlateSolveOptions1", "FileOptions",     "DslrOptions",
      "RawOptions",         "StarOptions",        "AnnotationOptions", "ImageOptions",
      "FormulaOptions",     "MaskFormulaOptions", "AtlasOptions",    "CatalogOptions1",
      "CatalogOptions2",    "MiscOptions",        "FilterOptions",   "CameraOptions",
      "SoundOptions",       "CameraImageOptions", "DemosaicOptions", "TrichromyOptions",
      "AlignOptions"};
  EXPECT_EQ(SectionNames(lines), expected);
  EXPECT_TRUE(lines.front().empty());  // every section starts with an empty line

  // A second run without changes does not rewrite it (a rewrite renames a new inode in).
  const ino_t before = Inode(file);
  ASSERT_TRUE(SaveOptions(d, dir.Path(), &error)) << error;
  EXPECT_EQ(Inode(file), before);
  // A change does.
  TQVOptions changed;
  changed.File.JpegCompress = 20;
  ASSERT_TRUE(SaveOptions(changed, dir.Path(), &error)) << error;
  EXPECT_NE(Inode(file), before);
}

TEST(Options, KeyOrderAndValueTextsOfFileOptions) {
  TIniLines lines;
  TFileOptions f;
  f.FITSTimeOffset = -1.5;
  f.OpenDir = "/home/ann/fits";
  WriteSection(lines, f, 0);
  const TIniLines expected = {
      "",
      "[FileOptions]",
      "JpegCompress=10",
      "AppMacroWriteFormat=0",
      "FITSTimeOffset=-1.5",
      "LastOpenDir=",
      "OpenDir=/home/ann/fits",
      "SaveDir=",
      "PreprocDir=C:\\\\",  // a backslash is doubled: texts are escaped
      "TextDir=",
      "AppMacroDir=",
      "AppMacroWriteDir=C:\\\\Temp",
      "BrowseDir=C:\\\\",
      "UserFilesDir=",
      "ThumbnailX=4",
      "ThumbnailY=4",
      "AddObsKeysOnImport=False",
      "AddInsKeysOnImport=False",
      "AddObsKeysOnSave=False",
      "AddInsKeysOnSave=False",
      "DontOverwriteKeys=True",
      "AddVisuKeys=True",
      "AddPolyKeys=True",
      "AllowUnsignedFITS=False",
      "AddCreatorKey=True",
      "RowOrderFITS=True",
      "SaveMarks=False",
      "RememberLastFolder=True",
      "Autozoom=True",
      "OpenAsFloat=False",
      "FitsCompress=False",
      "FitsCompExtensionFZ=False",
      "SaveHistory=False",
  };
  EXPECT_EQ(lines, expected);

  // Index suffixes and enumeration identifiers.
  TIniLines other;
  WriteSection(other, TPlateSolveOptions(), 1);
  EXPECT_EQ(other[1], "[PlateSolveOptions1]");
  TImageOptions image;
  image.OutSideMode = omBackground;
  WriteSection(other, image, 0);
  const auto mode = FindIniKey(other, *FindIniSection(other, "ImageOptions"), "OutSideMode");
  ASSERT_TRUE(mode);
  EXPECT_EQ(*mode, "omBackground");
}

TEST(Options, RealTextsAreLocaleFreeWithFifteenDigits) {
  struct TRow {
    double Value;
    const char* Text;
  };
  const TRow rows[] = {
      {0, "0"},          {2.5, "2.5"},         {-10, "-10"},
      {0.1, "0.1"},      {1e9, "1000000000"},  {65535, "65535"},
      {1.0 / 3, "0.333333333333333"},          {1e21, "1e+21"},
      {1.25e-7, "1.25e-07"},
  };
  for (const auto& r : rows) {
    TIniLines lines;
    TFilterOptions f;
    f.MaskTolerance = r.Value;
    WriteSection(lines, f, 0);
    const auto text = FindIniKey(lines, *FindIniSection(lines, "FilterOptions"), "MaskTolerance");
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, r.Text) << r.Value;
  }
}

// ============================================================================ round trips

namespace {

// A value of the field's type that differs from the default and lies in the field's range;
// reals are exact binary scalings of short decimals, so 15 digits give them back exactly.
template <class T>
void SetOtherValue(T& o, const TOptionField<T>& f) {
  std::visit(
      [&](auto member) {
        auto& v = o.*member;
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, bool>) {
          v = !v;
        } else if constexpr (std::is_same_v<V, std::string>) {
          v = "Zz " + std::string(f.Name) + " C:\\dir\\ `| 2nd\nline\r\nend\\";
        } else if constexpr (std::is_same_v<V, TOutsideMode>) {
          v = v == omConstant ? omBackground : omConstant;
        } else if constexpr (std::is_same_v<V, int32_t>) {
          if (f.Max != kNoLimit) v = v != int32_t(f.Max) ? int32_t(f.Max) : int32_t(f.Min);
          else v += 12345;
        } else {
          if (f.Max != kNoLimit) v = v != f.Max ? f.Max : f.Min;
          else v = v == 0 ? 0.375 : -2 * v;
        }
      },
      f.Member);
}

template <class T>
::testing::AssertionResult SameFields(const T& a, const T& b) {
  for (const TOptionField<T>& f : TOptionClass<T>::Fields) {
    bool same = true;
    std::visit([&](auto member) { same = a.*member == b.*member; }, f.Member);
    if (!same) return ::testing::AssertionFailure() << TOptionClass<T>::Section << "." << f.Name;
  }
  return ::testing::AssertionSuccess();
}

template <class T>
::testing::AssertionResult AllFieldsDiffer(const T& a, const T& b) {
  for (const TOptionField<T>& f : TOptionClass<T>::Fields) {
    bool same = true;
    std::visit([&](auto member) { same = a.*member == b.*member; }, f.Member);
    if (same) return ::testing::AssertionFailure() << TOptionClass<T>::Section << "." << f.Name;
  }
  return ::testing::AssertionSuccess();
}

// Every option class that has fields, taken from two settings objects, with the index of
// its section.
template <class A, class B, class F>
void ForEachClassPair(A& a, B& b, F&& f) {
  f(a.Observatory, b.Observatory, 0);
  f(a.PlateSolve, b.PlateSolve, 1);
  f(a.File, b.File, 0);
  f(a.Dslr, b.Dslr, 0);
  f(a.Raw, b.Raw, 0);
  f(a.Star, b.Star, 0);
  f(a.Annotation, b.Annotation, 0);
  f(a.Image, b.Image, 0);
  f(a.Preprocessing, b.Preprocessing, 0);
  f(a.Formula, b.Formula, 0);
  f(a.MaskFormula, b.MaskFormula, 0);
  f(a.Misc, b.Misc, 0);
  f(a.Filter, b.Filter, 0);
  f(a.Demosaic, b.Demosaic, 0);
  f(a.Trichromy, b.Trichromy, 0);
  f(a.Align, b.Align, 0);
}

// Gives every field of every class a value other than its default.
TQVOptions AllChanged() {
  TQVOptions o;
  ForEachClassPair(o, o, [](auto& object, auto&, int32_t) {
    using T = std::decay_t<decltype(object)>;
    for (const auto& f : TOptionClass<T>::Fields) SetOtherValue(object, f);
  });
  return o;
}

}  // namespace

TEST(Options, SectionRoundTripOfEveryClass) {
  const TQVOptions changed = AllChanged();
  const TQVOptions defaults;
  ForEachClassPair(changed, defaults, [](const auto& object, const auto& def, int32_t index) {
    using T = std::decay_t<decltype(object)>;
    EXPECT_TRUE(AllFieldsDiffer(object, def));
    TIniLines lines;
    WriteSection(lines, object, index);
    // One line per key: escaped multi-line texts never split a key line.
    EXPECT_EQ(lines.size(), std::size(TOptionClass<T>::Fields) + 2) << TOptionClass<T>::Section;
    T back;
    EXPECT_TRUE(ReadSection(lines, back, index));
    EXPECT_TRUE(SameFields(object, back));
  });
}

TEST(Options, SaveAndLoadRoundTripOfTheWrittenSections) {
  TSwitchesGuard guard;
  TTempDir dir;
  const TQVOptions changed = AllChanged();
  std::string error;
  ASSERT_TRUE(SaveOptions(changed, dir.Path(), &error)) << error;
  TQVOptions back;
  ASSERT_TRUE(LoadOptions(back, dir.Path()));
  const TQVOptions defaults;
  ForEachClassPair(back, changed, [&](const auto& loaded, const auto& saved, int32_t) {
    using T = std::decay_t<decltype(loaded)>;
    // The preprocessing section is read but never written: it keeps its defaults.
    if constexpr (std::is_same_v<T, TPreprocessingOptions>)
      EXPECT_TRUE(SameFields(loaded, defaults.Preprocessing));
    else
      EXPECT_TRUE(SameFields(loaded, saved));
  });
  // The loaded PermitMT reached the process switch.
  EXPECT_EQ(PermitMultithreading(), changed.Misc.PermitMT);
}

// ============================================================================ bad files

TEST(Options, BomAndCrlfFilesAreRead) {
  TSwitchesGuard guard;
  TTempDir dir;
  WriteBytes(dir.Path() / "Orlu40CfgU.ini",
             "\xEF\xBB\xBF\r\n[FileOptions]\r\nJpegCompress=25\r\nOpenDir=/data\r\n"
             "\r\n[MiscOptions]\rPermitMT=False\rLastPalette=/p/x.pal");
  TQVOptions o;
  ASSERT_TRUE(LoadOptions(o, dir.Path()));
  EXPECT_EQ(o.File.JpegCompress, 25);
  EXPECT_EQ(o.File.OpenDir, "/data");  // no CR left at the end of a text
  EXPECT_FALSE(o.Misc.PermitMT);
  EXPECT_EQ(o.Misc.LastPalette, "/p/x.pal");
}

TEST(Options, BadLinesAndValuesKeepDefaultsAndReadingGoesOn) {
  struct TRow {
    const char* Name;
    const char* Body;  // lines of [RawOptions], LF-separated
    int32_t DimX, DimY, DimHeader, BitsKind;
    bool Enabled;
  };
  const TRow rows[] = {
      {"valid", "DimX=100\nDimY=50\nDimHeader=16\nBitsKind=0\nEnabled=true", 100, 50, 16, 0,
       true},
      {"not a number keeps the default, later keys still read",
       "DimX=wide\nDimY=50", 640, 50, 0, 1, false},
      {"real text in an integer field", "DimX=1e3\nDimY=2.5", 640, 480, 0, 1, false},
      {"beyond int32", "DimX=99999999999\nDimY=-99999999999", 640, 480, 0, 1, false},
      {"huge values clamped", "DimX=99999999\nDimY=0\nDimHeader=-8\nBitsKind=9", 30000, 1, 0,
       3, false},
      {"bad Boolean", "Enabled=yes\nDimX=7", 7, 480, 0, 1, false},
      {"garbage lines skipped", "\x01\x02\xff\nno equals sign\n=5\nx\n  DimX = 12\nDimY=13",
       640, 13, 0, 1, false},
      {"unknown keys ignored", "DimXY=5\nDimensionX=6\nDimX=8", 8, 480, 0, 1, false},
      {"first occurrence wins", "DimX=11\nDimX=22", 11, 480, 0, 1, false},
      {"blanks around a number", "DimX= 33 \n  DimY=44", 33, 44, 0, 1, false},
      {"a key in the next section is not ours", "DimX=5\n[MiscOptions]\nDimY=9", 5, 480, 0, 1,
       false},
  };
  for (const auto& r : rows) {
    const TIniLines lines = SplitIniText("[RawOptions]\n" + std::string(r.Body));
    TRawOptions raw;
    EXPECT_TRUE(ReadSection(lines, raw, 0));
    EXPECT_EQ(raw.DimX, r.DimX) << r.Name;
    EXPECT_EQ(raw.DimY, r.DimY) << r.Name;
    EXPECT_EQ(raw.DimHeader, r.DimHeader) << r.Name;
    EXPECT_EQ(raw.BitsKind, r.BitsKind) << r.Name;
    EXPECT_EQ(raw.Enabled, r.Enabled) << r.Name;
  }
}

TEST(Options, RealsMustBeFiniteAndDivisorsAreClamped) {
  struct TRow {
    const char* Line;
    double GridX, SNGain, Normalization;
  };
  const TRow rows[] = {
      {"GridX=3.5", 3.5, 3.5, 65535},
      {"GridX=nan", 2, 3.5, 65535},
      {"GridX=inf", 2, 3.5, 65535},
      {"GridX=1e999", 2, 3.5, 65535},
      {"GridX=1,5", 2, 3.5, 65535},  // a decimal comma is no number here
      {"GridX=0", 1, 3.5, 65535},
      {"SNGain=0", 2, 1e-6, 65535},
      {"SNGain=-3", 2, 1e-6, 65535},
      {"Normalization=0", 2, 3.5, 1e-6},
      {"Normalization=1e300", 2, 3.5, 1e21},
  };
  for (const auto& r : rows) {
    const std::string text = std::string("[ImageOptions]\n") + r.Line + "\n[StarOptions]\n" +
                             r.Line + "\n[FilterOptions]\n" + r.Line;
    const TIniLines lines = SplitIniText(text);
    TImageOptions image;
    TStarOptions star;
    TFilterOptions filter;
    ReadSection(lines, image, 0);
    ReadSection(lines, star, 0);
    ReadSection(lines, filter, 0);
    EXPECT_EQ(image.GridX, r.GridX) << r.Line;
    EXPECT_EQ(star.SNGain, r.SNGain) << r.Line;
    EXPECT_EQ(filter.Normalization, r.Normalization) << r.Line;
  }
}

TEST(Options, JpegCompressNotANumberLeavesTenAndTheFollowingKeysAreRead) {
  TSwitchesGuard guard;
  TTempDir dir;
  WriteBytes(dir.Path() / "Orlu40CfgU.ini",
             "[FileOptions]\nJpegCompress=ten\nAppMacroWriteFormat=3\nFITSTimeOffset=2.5\n");
  TQVOptions o;
  ASSERT_TRUE(LoadOptions(o, dir.Path()));
  EXPECT_EQ(o.File.JpegCompress, 10);
  EXPECT_EQ(o.File.AppMacroWriteFormat, 3);
  EXPECT_EQ(o.File.FITSTimeOffset, 2.5);
}

TEST(Options, MissingFileGivesDefaultsAndTheOldFileIsTheFallback) {
  TSwitchesGuard guard;
  TTempDir dir;
  TQVOptions o;
  EXPECT_FALSE(LoadOptions(o, dir.Path()));
  EXPECT_TRUE(SameFields(o.File, TFileOptions()));
  EXPECT_FALSE(LoadOptions(o, dir.Path() / "absent"));
  EXPECT_FALSE(LoadOptions(o, fs::path()));

  WriteBytes(dir.Path() / "Orlu40OldCfgU.ini", "[FileOptions]\nJpegCompress=30\n[Legacy]\nA=1\n");
  EXPECT_TRUE(LoadOptions(o, dir.Path()));
  EXPECT_EQ(o.File.JpegCompress, 30);
  // The first save writes the new file, keeping the old file's foreign section.
  std::string error;
  ASSERT_TRUE(SaveOptions(o, dir.Path(), &error)) << error;
  TIniLines lines;
  ASSERT_EQ(ReadIniFile(dir.Path() / "Orlu40CfgU.ini", lines), TIniReadResult::Ok);
  EXPECT_EQ(SectionNames(lines).back(), "Legacy");
  // The new file wins over the old one.
  WriteBytes(dir.Path() / "Orlu40CfgU.ini", "[FileOptions]\nJpegCompress=40\n");
  EXPECT_TRUE(LoadOptions(o, dir.Path()));
  EXPECT_EQ(o.File.JpegCompress, 40);
}

TEST(Options, OversizedFileIsNotRead) {
  TTempDir dir;
  const fs::path p = dir.Path() / "big.ini";
  {
    std::ofstream f(p, std::ios::binary);
    f << "[FileOptions]\nJpegCompress=30\n";
  }
  fs::resize_file(p, kMaxIniFileBytes + 1);
  TIniLines lines;
  EXPECT_EQ(ReadIniFile(p, lines), TIniReadResult::Unreadable);
  EXPECT_TRUE(lines.empty());
}

// ============================================================================ saving

TEST(Options, ForeignSectionsAndKeysAreKeptVerbatim) {
  TTempDir dir;
  const fs::path file = dir.Path() / "Orlu40CfgU.ini";
  WriteBytes(file,
             "; written by hand\n"
             "\n[TelescopeOptions]\nPort = /dev/ttyUSB0\n  Odd line without equals\n\n\n"
             "[FileOptions]\nJpegCompress=30\nFutureKey=1\n; note\n"
             "[FileOptions]\nJpegCompress=99\n"
             "[Other Program]\nx=\\n kept as is\n[]\n"
             "[CatalogOptions2]\nPath=/cat\n");
  TQVOptions o;
  o.File.JpegCompress = 15;
  std::string error;
  ASSERT_TRUE(SaveOptions(o, dir.Path(), &error)) << error;
  TIniLines lines;
  ASSERT_EQ(ReadIniFile(file, lines), TIniReadResult::Ok);
  EXPECT_EQ(lines.front(), "; written by hand");

  // The telescope section (read, not written) keeps its place in the section order.
  const auto names = SectionNames(lines);
  const auto at = [&](std::string_view n) {
    return std::find(names.begin(), names.end(), n) - names.begin();
  };
  EXPECT_LT(at("CameraOptions"), at("TelescopeOptions"));
  EXPECT_LT(at("TelescopeOptions"), at("SoundOptions"));
  EXPECT_EQ(std::count(names.begin(), names.end(), "FileOptions"), 1);
  EXPECT_EQ(names[names.size() - 2], "Other Program");
  EXPECT_EQ(names.back(), "");

  const auto body = [&](std::string_view n) {
    const auto r = FindIniSection(lines, n);
    return r ? TIniLines(lines.begin() + long(r->First), lines.begin() + long(r->End))
             : TIniLines{{"<absent>"}};
  };
  EXPECT_EQ(body("TelescopeOptions"),
            (TIniLines{"Port = /dev/ttyUSB0", "  Odd line without equals", ""}));
  EXPECT_EQ(body("Other Program"), (TIniLines{"x=\\n kept as is", ""}));
  // A written section gets the program's keys, then the keys it does not know.
  const TIniLines fileBody = body("FileOptions");
  EXPECT_EQ(fileBody.front(), "JpegCompress=15");
  EXPECT_EQ(fileBody[fileBody.size() - 3], "FutureKey=1");
  EXPECT_EQ(fileBody[fileBody.size() - 2], "; note");
  // A written section without fields of ours is carried over too.
  EXPECT_EQ(body("CatalogOptions2"), (TIniLines{"Path=/cat", ""}));

  // Saving again reaches a fixed point: the file is left alone.
  const ino_t before = Inode(file);
  ASSERT_TRUE(SaveOptions(o, dir.Path(), &error)) << error;
  EXPECT_EQ(Inode(file), before);
}

TEST(Options, FailedSaveIsReportedAndTheOldFileStays) {
  TTempDir dir;
  std::string error;
  // No such folder.
  EXPECT_FALSE(SaveOptions(TQVOptions(), dir.Path() / "absent", &error));
  EXPECT_NE(error.find("Cannot write"), std::string::npos) << error;
  error.clear();
  EXPECT_FALSE(SaveOptions(TQVOptions(), fs::path(), &error));
  EXPECT_FALSE(error.empty());

  // The disk fills up half-way (a file-size limit makes write fail as a full disk would).
  const fs::path file = dir.Path() / "Orlu40CfgU.ini";
  const std::string old = "[FileOptions]\nJpegCompress=30\n[Keep]\nA=1\n";
  WriteBytes(file, old);
  TQVOptions o;
  o.File.JpegCompress = 50;
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 512;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  error.clear();
  const bool saved1 = SaveOptions(o, dir.Path(), &error);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(saved1);
  EXPECT_NE(error.find("Cannot write"), std::string::npos) << error;
  EXPECT_EQ(ReadBytes(file), old);
  // No temporary file is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);

  // A configuration path that is no readable file is never replaced.
  fs::remove(file);
  fs::create_directory(file);
  WriteBytes(file / "inside", "x");
  error.clear();
  EXPECT_FALSE(SaveOptions(o, dir.Path(), &error));
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(fs::exists(file / "inside"));
  // The writer itself: a rename onto a non-empty folder fails and cleans up.
  error.clear();
  EXPECT_FALSE(WriteIniFile(file, {"a"}, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
}

TEST(Options, ReadOnlyFolderIsReportedForOrdinaryUsers) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  TTempDir dir;
  const fs::path file = dir.Path() / "Orlu40CfgU.ini";
  WriteBytes(file, "[FileOptions]\nJpegCompress=30\n");
  fs::permissions(dir.Path(), fs::perms::owner_read | fs::perms::owner_exec);
  TQVOptions o;
  o.File.JpegCompress = 50;
  std::string error;
  EXPECT_FALSE(SaveOptions(o, dir.Path(), &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(ReadBytes(file), "[FileOptions]\nJpegCompress=30\n");
}

// ============================================================================ text codec

TEST(Options, TextEscapesRoundTripAndStayOnOneLine) {
  const std::string rows[] = {"", "plain", "C:\\", "a\nb", "a\r\nb\r\n", "\\n literal",
                              "`|marker`|", "\\\\\\", "trail\\"};
  for (const auto& t : rows) {
    const std::string e = EscapeIniText(t);
    EXPECT_EQ(e.find_first_of("\r\n"), std::string::npos) << t;
    EXPECT_EQ(UnescapeIniText(e), t) << t;
  }
  // Backslashes that are not escapes are taken as they stand (hand-written paths).
  EXPECT_EQ(UnescapeIniText("C:\\Temp\\"), "C:\\Temp\\");
}

TEST(Options, SplitLines) {
  EXPECT_EQ(SplitIniText(""), TIniLines{});
  EXPECT_EQ(SplitIniText("\xEF\xBB\xBF"), TIniLines{});
  EXPECT_EQ(SplitIniText("a\r\nb\rc\nd"), (TIniLines{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitIniText("a\n\n"), (TIniLines{"a", ""}));
  EXPECT_EQ(SplitIniText("a\r\r\n"), (TIniLines{"a", ""}));
}

// ============================================================================ folders

TEST(Options, ConfigFolderFollowsXdg) {
  TTempDir dir;
  const fs::path home = dir.Path() / "home";
  const fs::path xdg = dir.Path() / "xdg";
  const fs::path prog = dir.Path() / "prog";
  fs::create_directories(prog);
  struct TRow {
    const char* Name;
    TFolderEnvironment Env;
    fs::path Expected;
  };
  const TRow rows[] = {
      {"XDG_CONFIG_HOME", {home, xdg, {}, prog}, xdg / "orlu"},
      {"default under HOME", {home, {}, {}, prog}, home / ".config" / "orlu"},
      {"relative XDG_CONFIG_HOME ignored", {home, "rel/cfg", {}, prog},
       home / ".config" / "orlu"},
      {"nothing known", {{}, {}, {}, prog}, {}},
      {"relative HOME only", {"rel", {}, {}, prog}, {}},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(ConfigFolderFor(r.Env), r.Expected) << r.Name;
    if (!r.Expected.empty()) {
      EXPECT_TRUE(fs::is_directory(r.Expected)) << r.Name;
    }
  }
  // A Config folder beside the program keeps the settings there.
  fs::create_directories(prog / "Config");
  EXPECT_EQ(ConfigFolderFor({home, xdg, {}, prog}), prog / "Config");

  TQVOptions o;
  o.ComputeFolders({home, xdg, {}, prog});
  EXPECT_EQ(o.ConfigFolder, prog / "Config");
  EXPECT_EQ(o.LanguageFolder, prog / "Language");
}

TEST(Options, UserFilesFoldersAndStarDatabase) {
  TTempDir dir;
  const fs::path home = dir.Path() / "home";
  TQVOptions o;
  o.ComputeFolders({home, {}, {}, {}});
  const fs::path def = home / "Documents" / "OrluFV";
  EXPECT_EQ(o.UserFilesFolder(), def);
  EXPECT_TRUE(fs::is_directory(def));
  o.File.UserFilesDir = (dir.Path() / "missing").string();
  EXPECT_EQ(o.UserFilesFolder(), def);
  o.File.UserFilesDir = dir.Path().string();
  EXPECT_EQ(o.UserFilesFolder(), dir.Path());

  EXPECT_EQ(o.UserSubfolder(TUserFolder::Palette), dir.Path() / "Palette");
  EXPECT_TRUE(fs::is_directory(dir.Path() / "Palette"));
  EXPECT_EQ(o.UserSubfolder(TUserFolder::TransferFunction), dir.Path() / "TransferFunction");

  struct TRow {
    std::string Database;
    fs::path Expected;
  };
  const TRow rows[] = {
      {"", dir.Path() / "StarDatabase" / "StarDatabase.txt"},
      {"mine.txt", dir.Path() / "StarDatabase" / "mine.txt"},
      {"/data/stars.txt", "/data/stars.txt"},
  };
  for (const auto& r : rows) {
    o.Star.Database = r.Database;
    EXPECT_EQ(o.StarDatabaseFile(), r.Expected) << r.Database;
  }

  // The documents folder the app hands in wins over HOME/Documents.
  TQVOptions d;
  d.ComputeFolders({home, {}, dir.Path() / "docs", {}});
  EXPECT_EQ(d.UserFilesFolder(), dir.Path() / "docs" / "OrluFV");
  TQVOptions none;
  none.ComputeFolders({});
  EXPECT_EQ(none.UserFilesFolder(), fs::path());
  EXPECT_EQ(none.UserSubfolder(TUserFolder::Logo), fs::path());
}

TEST(Options, InitialDialogFolder) {
  TTempDir dir;
  const std::string open = (dir.Path() / "open").string();
  const std::string save = (dir.Path() / "save").string();
  const std::string last = (dir.Path() / "last").string();
  for (const auto& p : {open, save, last}) fs::create_directories(p);
  struct TRow {
    const char* Name;
    std::string OpenDir, SaveDir;
    bool Remember, Done, Save;
    std::string Expected;
  };
  const TRow rows[] = {
      {"open dir", open, save, true, false, false, open},
      {"save dir", open, save, true, false, true, save},
      {"last folder when empty", "", "", true, false, false, last},
      {"last folder for saving", open, "", true, false, true, last},
      {"no remembering", "", "", false, false, true, ""},
      {"missing folder unused", (dir.Path() / "gone").string(), "", true, false, false, ""},
      {"after a file was opened", open, save, true, true, false, ""},
  };
  for (const auto& r : rows) {
    TQVOptions o;
    o.File.OpenDir = r.OpenDir;
    o.File.SaveDir = r.SaveDir;
    o.File.LastOpenDir = last;
    o.File.RememberLastFolder = r.Remember;
    o.FileOpenedOrSaved = r.Done;
    EXPECT_EQ(o.InitialDialogFolder(r.Save), fs::path(r.Expected)) << r.Name;
  }
}

// ============================================================================ other files

TEST(Options, ObservatoryFiles) {
  TTempDir dir;
  const fs::path p = dir.Path() / "site.txt";
  TObservatoryOptions obs;
  obs.Origin = "Hill Station";
  obs.Lon = 7.25;
  obs.Lat = -33.5;
  obs.MPCReport = "COD 123\nACK %DATE";
  obs.MPCReportAdes = "# version=2017\n! mpcCode 123";
  std::string error;
  ASSERT_TRUE(SaveObservatoryFile(p, obs, &error)) << error;
  TIniLines lines;
  ASSERT_EQ(ReadIniFile(p, lines), TIniReadResult::Ok);
  EXPECT_EQ(SectionNames(lines), std::vector<std::string>{"ObservatoryOptions"});
  const auto range = *FindIniSection(lines, "ObservatoryOptions");
  EXPECT_FALSE(FindIniKey(lines, range, "MPCReport"));
  EXPECT_TRUE(FindIniKey(lines, range, "MPCReportAdes"));

  const auto back = LoadObservatoryFile(p);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Origin, "Hill Station");
  EXPECT_EQ(back->Lon, 7.25);
  EXPECT_EQ(back->Lat, -33.5);
  EXPECT_EQ(back->MPCReportAdes, obs.MPCReportAdes);
  EXPECT_EQ(back->MPCReport, TObservatoryOptions().MPCReport);  // not in the file: default

  // Missing keys take the defaults of a fresh object, not the caller's values.
  WriteBytes(p, "[ObservatoryOptions]\r\nObserver=Ann\r\n");
  const auto partial = LoadObservatoryFile(p);
  ASSERT_TRUE(partial);
  EXPECT_EQ(partial->Observer, "Ann");
  EXPECT_EQ(partial->Lon, -10.0);
  EXPECT_FALSE(LoadObservatoryFile(dir.Path() / "none.txt"));
}

TEST(Options, UIStateFileIsWrittenOnlyWhenChangedOrMissing) {
  TTempDir dir;
  const fs::path file = dir.Path() / "Orlu40UI.ini";
  TUIStateFile ui;
  ui.Load(dir.Path());
  EXPECT_TRUE(ui.Lines.empty());
  std::string error;
  ASSERT_TRUE(ui.Save(dir.Path(), &error)) << error;  // missing: written
  ASSERT_TRUE(fs::exists(file));

  WriteBytes(file, "\xEF\xBB\xBF[Windows]\r\nHeader=1\r\n");
  ui.Load(dir.Path());
  EXPECT_EQ(ui.Lines, (TIniLines{"[Windows]", "Header=1"}));
  const ino_t before = Inode(file);
  ASSERT_TRUE(ui.Save(dir.Path(), &error)) << error;
  EXPECT_EQ(Inode(file), before);
  ui.Lines.push_back("Stars=0");
  ASSERT_TRUE(ui.Save(dir.Path(), &error)) << error;
  EXPECT_EQ(ReadBytes(file), "[Windows]\nHeader=1\nStars=0\n");
}

TEST(Options, ExtensionFieldNormalisation) {
  const std::pair<const char*, const char*> rows[] = {
      {"fit", "*.fit"}, {"", "*.*"},          {"f", "*.*"},   {"*.raw", "*.raw"},
      {"*", "*.*"},     {".fit", "*.fit"},    {"a.fit", "a.fit"}, {"*.cr2;*.nef", "*.cr2;*.nef"},
  };
  for (const auto& [in, out] : rows) EXPECT_EQ(NormalizeExtensionField(in), out) << in;
}
