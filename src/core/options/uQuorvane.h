// The settings object: one instance for the process, one object per option class, and their
// configuration files. Each option class is followed by its field table (name, member, the
// range a loaded value is clamped to), which drives the generic INI reader and writer: the
// field names are the keys, the table order is the key order of the file. A field missing
// from its table is neither read nor written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "options/uQuorvaneIni.h"

namespace orlu {

// Value given to pixels that geometric operations bring in from outside the image.
enum TOutsideMode : int32_t { omConstant, omBackground };

// ============================================================================ field tables

inline constexpr double kNoLimit = std::numeric_limits<double>::infinity();

template <class T>
using TOptionMember =
    std::variant<int32_t T::*, double T::*, bool T::*, std::string T::*, TOutsideMode T::*>;

// One key of a section. Numbers read from a file are clamped to [Min, Max].
template <class T>
struct TOptionField {
  std::string_view Name;
  TOptionMember<T> Member;
  double Min = -kNoLimit;
  double Max = kNoLimit;
};

// Specialised after each option class: Section (the class name without its "T") and Fields.
// A class without a table of its own names its section in kSection and has no keys.
template <class T>
struct TOptionClass {
  static constexpr std::string_view Section = T::kSection;
  static constexpr std::span<const TOptionField<T>> Fields{};
};

// ============================================================================ option classes

// Observatory and instrument: import and save keywords, site of the observer.
class TObservatoryOptions {
 public:
  std::string Origin;     // observatory name (ORIGIN)
  std::string Observer;   // OBSERVER
  std::string Telescope;  // TELESCOP
  std::string Camera;     // INSTRUME
  double Lon = -10.0;     // site longitude, degrees
  double Lat = 45.0;      // site latitude, degrees
  double Diameter = 300;  // mm
  double Focal = 1800;    // mm
  double CCDFieldX = 20.0;  // field of view, arcminutes
  double CCDFieldY = 15.0;
  double CCDScaleX = 2.0;   // arcseconds per pixel
  double CCDScaleY = 2.0;
  double CCDAngle = 0;
  std::string MPCReport;      // header template of the 80-column report; "%DATE" placeholder
  std::string MPCReportAdes;  // header template of the ADES report
  bool FormatADES = false;
  bool UseCoordinatesParallax = false;  // off: "Geocentric"

  TObservatoryOptions();
};

template <>
struct TOptionClass<TObservatoryOptions> {
  using T = TObservatoryOptions;
  static constexpr std::string_view Section = "ObservatoryOptions";
  static constexpr TOptionField<T> Fields[] = {
      {"Origin", &T::Origin},       {"Observer", &T::Observer},
      {"Telescope", &T::Telescope}, {"Camera", &T::Camera},
      {"Lon", &T::Lon},             {"Lat", &T::Lat},
      {"Diameter", &T::Diameter},   {"Focal", &T::Focal},
      {"CCDFieldX", &T::CCDFieldX}, {"CCDFieldY", &T::CCDFieldY},
      {"CCDScaleX", &T::CCDScaleX}, {"CCDScaleY", &T::CCDScaleY},
      {"CCDAngle", &T::CCDAngle},   {"MPCReport", &T::MPCReport},
      {"MPCReportAdes", &T::MPCReportAdes}, {"FormatADES", &T::FormatADES},
      {"UseCoordinatesParallax", &T::UseCoordinatesParallax},
  };
};

// Plate solving: search field and tolerances.
class TPlateSolveOptions {
 public:
  double FieldX = 15.0;  // field of view, arcminutes
  double PixelRatio = 1.0;
  double OCAstro = 1.25;
  double OCPhoto = 0.8;
  int32_t ErrorPercX = 2;
  int32_t ErrorRot = 180;
  int32_t CPUCores = 2;
  int32_t FlippedMode = 0;
  bool MeridianFlip = false;
  std::string SearchName = "M 67";
};

template <>
struct TOptionClass<TPlateSolveOptions> {
  using T = TPlateSolveOptions;
  static constexpr std::string_view Section = "PlateSolveOptions";
  static constexpr TOptionField<T> Fields[] = {
      {"FieldX", &T::FieldX, 0.01, 10800},   {"PixelRatio", &T::PixelRatio, 0.01, 100},
      {"OCAstro", &T::OCAstro},              {"OCPhoto", &T::OCPhoto},
      {"ErrorPercX", &T::ErrorPercX, 0, 100}, {"ErrorRot", &T::ErrorRot, 0, 180},
      {"CPUCores", &T::CPUCores, 1, 1024},    {"FlippedMode", &T::FlippedMode},
      {"MeridianFlip", &T::MeridianFlip},     {"SearchName", &T::SearchName},
  };
};

// File handling: folders, import/save keywords, FITS conventions.
class TFileOptions {
 public:
  int32_t JpegCompress = 10;  // JPEG quality = 101 - value
  int32_t AppMacroWriteFormat = 0;
  double FITSTimeOffset = 0;  // hours added to FITS observation times
  std::string LastOpenDir;
  std::string OpenDir;
  std::string SaveDir;
  std::string PreprocDir = "C:\\";
  std::string TextDir;
  std::string AppMacroDir;
  std::string AppMacroWriteDir = "C:\\Temp";
  std::string BrowseDir = "C:\\";
  std::string UserFilesDir;  // "": the default user files folder
  int32_t ThumbnailX = 4;
  int32_t ThumbnailY = 4;
  bool AddObsKeysOnImport = false;  // observatory keywords on files without FITS header
  bool AddInsKeysOnImport = false;  // instrument keywords on files without FITS header
  bool AddObsKeysOnSave = false;
  bool AddInsKeysOnSave = false;
  bool DontOverwriteKeys = true;  // existing cards are kept
  bool AddVisuKeys = true;
  bool AddPolyKeys = true;
  bool AllowUnsignedFITS = false;  // "Convert unsigned data": BITPIX 16 without BZERO as 0..65535
  bool AddCreatorKey = true;
  bool RowOrderFITS = true;  // "Use ROWORDER key for image orientation"
  bool SaveMarks = false;
  bool RememberLastFolder = true;
  bool Autozoom = true;
  bool OpenAsFloat = false;  // every opened image becomes floating point
  bool FitsCompress = false;
  bool FitsCompExtensionFZ = false;
  bool SaveHistory = false;
};

template <>
struct TOptionClass<TFileOptions> {
  using T = TFileOptions;
  static constexpr std::string_view Section = "FileOptions";
  static constexpr TOptionField<T> Fields[] = {
      {"JpegCompress", &T::JpegCompress, 1, 100},
      {"AppMacroWriteFormat", &T::AppMacroWriteFormat},
      {"FITSTimeOffset", &T::FITSTimeOffset},
      {"LastOpenDir", &T::LastOpenDir},
      {"OpenDir", &T::OpenDir},
      {"SaveDir", &T::SaveDir},
      {"PreprocDir", &T::PreprocDir},
      {"TextDir", &T::TextDir},
      {"AppMacroDir", &T::AppMacroDir},
      {"AppMacroWriteDir", &T::AppMacroWriteDir},
      {"BrowseDir", &T::BrowseDir},
      {"UserFilesDir", &T::UserFilesDir},
      {"ThumbnailX", &T::ThumbnailX, 1, 100},
      {"ThumbnailY", &T::ThumbnailY, 1, 100},
      {"AddObsKeysOnImport", &T::AddObsKeysOnImport},
      {"AddInsKeysOnImport", &T::AddInsKeysOnImport},
      {"AddObsKeysOnSave", &T::AddObsKeysOnSave},
      {"AddInsKeysOnSave", &T::AddInsKeysOnSave},
      {"DontOverwriteKeys", &T::DontOverwriteKeys},
      {"AddVisuKeys", &T::AddVisuKeys},
      {"AddPolyKeys", &T::AddPolyKeys},
      {"AllowUnsignedFITS", &T::AllowUnsignedFITS},
      {"AddCreatorKey", &T::AddCreatorKey},
      {"RowOrderFITS", &T::RowOrderFITS},
      {"SaveMarks", &T::SaveMarks},
      {"RememberLastFolder", &T::RememberLastFolder},
      {"Autozoom", &T::Autozoom},
      {"OpenAsFloat", &T::OpenAsFloat},
      {"FitsCompress", &T::FitsCompress},
      {"FitsCompExtensionFZ", &T::FitsCompExtensionFZ},
      {"SaveHistory", &T::SaveHistory},
  };
};

// Camera RAW files read through the RAW library.
class TDslrOptions {
 public:
  std::string FileExtensions = "*.crw;*.cr2;*.cr3;*.nef;*.orf;*.dng;*.arw;*.rw2;*.raf";
  bool DCColorSynthesis = false;
  bool Binning2x2 = false;
  bool HQInterpolation = false;
  bool CameraWB = true;
  bool SoftwareWB = false;
};

template <>
struct TOptionClass<TDslrOptions> {
  using T = TDslrOptions;
  static constexpr std::string_view Section = "DslrOptions";
  static constexpr TOptionField<T> Fields[] = {
      {"FileExtensions", &T::FileExtensions}, {"DCColorSynthesis", &T::DCColorSynthesis},
      {"Binning2x2", &T::Binning2x2},         {"HQInterpolation", &T::HQInterpolation},
      {"CameraWB", &T::CameraWB},             {"SoftwareWB", &T::SoftwareWB},
  };
};

// Headerless binary images of a user-described layout (the custom RAW reader).
class TRawOptions {
 public:
  std::string FileExt = "*.raw";  // ";"-separated patterns; "*.*" takes every file
  int32_t ImageKind = 0;  // 0 gray, 1 RGB, 2 BGR, 3 RGBa, 4 BGRa, 5 RGB planes, 6 BGR planes
  int32_t BitsKind = 1;   // 0 8-bit, 1 16-bit, 2 32-bit integer, 3 32-bit float
  int32_t DimX = 640;
  int32_t DimY = 480;
  int32_t DimHeader = 0;  // bytes skipped at the start
  bool Enabled = false;
  bool EndianPC = true;        // little-endian samples; off: each sample's bytes swapped
  bool UnsignedValues = true;  // 16- and 32-bit integers unsigned
  bool Priority = false;       // tried before every format but the clipboard
  bool YFlipped = false;       // flipped vertically after reading
};

template <>
struct TOptionClass<TRawOptions> {
  using T = TRawOptions;
  static constexpr std::string_view Section = "RawOptions";
  static constexpr TOptionField<T> Fields[] = {
      {"FileExt", &T::FileExt},
      {"ImageKind", &T::ImageKind, 0, 6},
      {"BitsKind", &T::BitsKind, 0, 3},
      {"DimX", &T::DimX, 1, 30000},
      {"DimY", &T::DimY, 1, 30000},
      {"DimHeader", &T::DimHeader, 0, kNoLimit},
      {"Enabled", &T::Enabled},
      {"EndianPC", &T::EndianPC},
      {"UnsignedValues", &T::UnsignedValues},
      {"Priority", &T::Priority},
      {"YFlipped", &T::YFlipped},
  };
};

// Star measurement, star finder and star lists.
class TStarOptions {
 public:
  int32_t D_APE = 6;  // aperture diameter, pixels
  int32_t R_GAP = 2;  // gap between aperture and background annulus
  int32_t R_BKG = 8;  // background annulus width
  double SNGain = 3.5;  // electrons per ADU
  double SNReadout = 0;
  double SNDarkCurrent = 0;
  double DetectFWMin = 1.2;
  double DetectFWMax = 15;
  double DetectSNMin = 1.5;
  double DetectADUMin = 0;
  double DetectADUMax = 1e9;
  double DetectPSNRMin = 28;
  bool IterativeBkg = true;
  bool DrawRingsOnlyZoomed = true;
  bool DrawR2 = false;
  bool DrawR3 = true;
  bool FieldXY = true;  // star list columns
  bool FieldRADecDeg = false;
  bool FieldRADecHms = true;
  bool FieldOC = true;
  bool FieldFWHM = true;
  bool FieldSN = true;
  bool FieldPSNR = true;
  bool FieldBV = true;
  bool FieldName = true;
  bool FindDistributed = true;  // off: "Brightest"
  int32_t FindCount = 20;
  int32_t MissingKind = 0;
  std::string Database = "StarDatabase.txt";
};

template <>
struct TOptionClass<TStarOptions> {
  using T = TStarOptions;
  static constexpr std::string_view Section = "StarOptions";
  static constexpr TOptionField<T> Fields[] = {
      {"D_APE", &T::D_APE, 1, 200},
      {"R_GAP", &T::R_GAP, 0, 200},
      {"R_BKG", &T::R_BKG, 1, 200},
      {"SNGain", &T::SNGain, 1e-6, 1e6},
      {"SNReadout", &T::SNReadout},
      {"SNDarkCurrent", &T::SNDarkCurrent},
      {"DetectFWMin", &T::DetectFWMin, 0.1, 1000},
      {"DetectFWMax", &T::DetectFWMax, 0.1, 1000},
      {"DetectSNMin", &T::DetectSNMin},
      {"DetectADUMin", &T::DetectADUMin},
      {"DetectADUMax", &T::DetectADUMax},
      {"DetectPSNRMin", &T::DetectPSNRMin},
      {"IterativeBkg", &T::IterativeBkg},
      {"DrawRingsOnlyZoomed", &T::DrawRingsOnlyZoomed},
      {"DrawR2", &T::DrawR2},
      {"DrawR3", &T::DrawR3},
      {"FieldXY", &T::FieldXY},
      {"FieldRADecDeg", &T::FieldRADecDeg},
      {"FieldRADecHms", &T::FieldRADecHms},
      {"FieldOC", &T::FieldOC},
      {"FieldFWHM", &T::FieldFWHM},
      {"FieldSN", &T::FieldSN},
      {"FieldPSNR", &T::FieldPSNR},
      {"FieldBV", &T::FieldBV},
      {"FieldName", &T::FieldName},
      {"FindDistributed", &T::FindDistributed},
      {"FindCount", &T::FindCount, 1, 250000},
      {"MissingKind", &T::MissingKind},
      {"Database", &T::Database},
  };
};

// Defaults of annotations made from catalogues (deep sky, comets, asteroids).
class TAnnotationOptions {
 public:
  int32_t AtlFigureKind = 0;
  int32_t AtlFigureWidth = 2;
  int32_t AtlFigureTransparency = 0;
  int32_t AtlFigureColor = 0xD8D8B8;  // 0x00BBGGRR
  int32_t AtlDeepSkyColor = 0xE8D0B8;
  int32_t AtlCometColor = 0xD0D0FF;
  int32_t AtlAsteroidColor = 0xA0D4E0;
  std::string AtlTextName;  // font name; empty: the annotation default
  int32_t AtlTextSize = 11;
  int32_t AtlTextStyle = 0;
  int32_t AtlTextPos = 0;
  int32_t AtlTextColor = 0xD8D8B8;
  int32_t AtlSizePix = 30;
  int32_t AtlSizeMag = 0;
  bool AtlDeletePrevious = true;
  bool AtlAsteroids = true;
  bool AtlComets = true;
  bool AtlDeepSky = true;
  bool AtlIndividualColorText = false;    // text in the colour of the object's class
  bool AtlIndividualColorFigure = false;  // figure in the colour of the object's class
};

template <>
struct TOptionClass<TAnnotationOptions> {
  using T = TAnnotationOptions;
  static constexpr std::string_view Section = "AnnotationOptions";
  static constexpr TOptionField<T> Fields[] = {
      {"AtlFigureKind", &T::AtlFigureKind},
      {"AtlFigureWidth", &T::AtlFigureWidth, 1, 100},
      {"AtlFigureTransparency", &T::AtlFigureTransparency, 0, 100},
      {"AtlFigureColor", &T::AtlFigureColor},
      {"AtlDeepSkyColor", &T::AtlDeepSkyColor},
      {"AtlCometColor", &T::AtlCometColor},
      {"AtlAsteroidColor", &T::AtlAsteroidColor},
      {"AtlTextName", &T::AtlTextName},
      {"AtlTextSize", &T::AtlTextSize, 1, 200},
      {"AtlTextStyle", &T::AtlTextStyle},
      {"AtlTextPos", &T::AtlTextPos},
      {"AtlTextColor", &T::AtlTextColor},
      {"AtlSizePix", &T::AtlSizePix, 1, 10000},
      {"AtlSizeMag", &T::AtlSizeMag},
      {"AtlDeletePrevious", &T::AtlDeletePrevious},
      {"AtlAsteroids", &T::AtlAsteroids},
      {"AtlComets", &T::AtlComets},
      {"AtlDeepSky", &T::AtlDeepSky},
      {"AtlIndividualColorText", &T::AtlIndividualColorText},
      {"AtlIndividualColorFigure", &T::AtlIndividualColorFigure},
  };
};

// Image windows, geometric operations and orientation marks.
class TImageOptions {
 public:
  TOutsideMode OutSideMode = omConstant;
  double OutSideValue = 0;
  double GridX = 2;  // sections of the simple grid
  double GridY = 2;
  double GridEqu = 4;  // sections of the equatorial grid
  std::string MarkerFontName = "Arial";
  int32_t MarkerFontSize = 9;
  int32_t MarkerColor = 0x309830;
  int32_t MarkerSize = 100;  // percent
  int32_t MarkerSaveSize = 100;
  int32_t MarkerSaveOpacity = 100;
  int32_t MarkerSaveFade = 0;
  int32_t BlinkTime = 300;  // milliseconds
  int32_t ThumbSize = 100;  // navigator size, percent
  int32_t ThumbColor = 0xC8C8C8;
  int32_t StatisticFields = 0;
  int32_t GridColor = 0x68BA68;
  bool ThumbTopCorner = true;
  bool DuplicateOneOps = false;  // operations make a new image instead of changing it
  bool DuplicateTwoOps = false;
  bool DuplicateRotation = false;
  bool DuplicateResizeBinning = false;
  bool DuplicateCrop = true;
  bool ZoomFitToImage = false;  // "Modify window size"
  bool SameZoomFullScreen = true;
  bool SameZoomBlink = true;
  bool FractionalAlign = true;
  bool BlinkFractionalAlign = false;
  bool BlinkShowFilenames = false;
  bool LarSekBlackBorder = false;
  bool SunMarker = false;
  bool ScaleMarker = false;
  bool GridMarker = false;
  bool GridCoordinates = false;
  bool MarkerBold = false;
  bool MarkerItalic = false;
};

template <>
struct TOptionClass<TImageOptions> {
  using T = TImageOptions;
  static constexpr std::string_view Section = "ImageOptions";
  static constexpr TOptionField<T> Fields[] = {
      {"OutSideMode", &T::OutSideMode},
      {"OutSideValue", &T::OutSideValue},
      {"GridX", &T::GridX, 1, 100},
      {"GridY", &T::GridY, 1, 100},
      {"GridEqu", &T::GridEqu, 1, 100},
      {"MarkerFontName", &T::MarkerFontName},
      {"MarkerFontSize", &T::MarkerFontSize, 1, 200},
      {"MarkerColor", &T::MarkerColor},
      {"MarkerSize", &T::MarkerSize, 10, 1000},
      {"MarkerSaveSize", &T::MarkerSaveSize, 10, 1000},
      {"MarkerSaveOpacity", &T::MarkerSaveOpacity, 0, 100},
      {"MarkerSaveFade", &T::MarkerSaveFade},
      {"BlinkTime", &T::BlinkTime, 10, 60000},
      {"ThumbSize", &T::ThumbSize, 10, 400},
      {"ThumbColor", &T::ThumbColor},
      {"StatisticFields", &T::StatisticFields},
      {"GridColor", &T::GridColor},
      {"ThumbTopCorner", &T::ThumbTopCorner},
      {"DuplicateOneOps", &T::DuplicateOneOps},
      {"DuplicateTwoOps", &T::DuplicateTwoOps},
      {"DuplicateRotation", &T::DuplicateRotation},
      {"DuplicateResizeBinning", &T::DuplicateResizeBinning},
      {"DuplicateCrop", &T::DuplicateCrop},
      {"ZoomFitToImage", &T::ZoomFitToImage},
      {"SameZoomFullScreen", &T::SameZoomFullScreen},
      {"SameZoomBlink", &T::SameZoomBlink},
      {"FractionalAlign", &T::FractionalAlign},
      {"BlinkFractionalAlign", &T::BlinkFractionalAlign},
      {"BlinkShowFilenames", &T::BlinkShowFilenames},
      {"LarSekBlackBorder", &T::LarSekBlackBorder},
      {"SunMarker", &T::SunMarker},
      {"ScaleMarker", &T::ScaleMarker},
      {"GridMarker", &T::GridMarker},
      {"GridCoordinates", &T::GridCoordinates},
      {"MarkerBold", &T::MarkerBold},
      {"MarkerItalic", &T::MarkerItalic},
  };
};

// Preprocessing window (read, never written by this program).
class TPreprocessingOptions {
 public:
  int32_t LastFilter = 0;
  int32_t ThreeMode = 0;
  int32_t LayoutModeNormal = 1;
  int32_t LayoutModePreview = 1;
  bool FractionalAlign = true;
  bool BiggerPreview = false;
  std::string DefectMap;
};

template <>
struct TOptionClass<TPreprocessingOptions> {
  using T = TPreprocessingOptions;
  static constexpr std::string_view Section = "PreprocessingOptions";
  static constexpr TOptionField<T> Fields[] = {
      {"LastFilter", &T::LastFilter},
      {"ThreeMode", &T::ThreeMode},
      {"LayoutModeNormal", &T::LayoutModeNormal},
      {"LayoutModePreview", &T::LayoutModePreview},
      {"FractionalAlign", &T::FractionalAlign},
      {"BiggerPreview", &T::BiggerPreview},
      {"DefectMap", &T::DefectMap},
  };
};

// Stored pixel formulas: slot ID is the one last chosen; each text holds the editor's lines
// joined by the two-character marker "`|".
class TFormulaOptions {
 public:
  int32_t ID = 0;
  std::string F0 = "v + (x + y)/5`|`|; gradient";
  std::string F1 = "v / (0.9 + r*r/dimx/dimy/2)`|`|; vignetting";
  std::string F2 = "vmax - v`|`|; invert";
  std::string F3 = "v + if(frac(y/2)=0.5, 0, v*0.2)`|`|; interlacing";
  std::string F4 = "v * if(r>100, 0.5, 1.0)`|`|; crop";
  std::string F5 = "v + 150 * cos(r/10)`|`|; waves";
  std::string F6 = "v*2.3 : v : v*1.5`|`|; simple white balance for the Canon 600D when bias is zero";
  std::string F7 = "(v-2000)*2.3 :`|v-2000 :`|(v-2000)*1.5`|; white balance with bias for the Canon 600D";
};

template <>
struct TOptionClass<TFormulaOptions> {
  using T = TFormulaOptions;
  static constexpr std::string_view Section = "FormulaOptions";
  static constexpr TOptionField<T> Fields[] = {
      {"ID", &T::ID, 0, 7}, {"F0", &T::F0}, {"F1", &T::F1}, {"F2", &T::F2}, {"F3", &T::F3},
      {"F4", &T::F4},       {"F5", &T::F5}, {"F6", &T::F6}, {"F7", &T::F7},
  };
};

// Stored mask formulas, in the form of TFormulaOptions.
class TMaskFormulaOptions {
 public:
  int32_t ID = 0;
  std::string F0 = "v > 100 and v < 5000 `|`|; adu range";
  std::string F1 = "x > 200 and x < 250`|`|; vertical stripe";
  std::string F2 = "1.0 - m`|`|; invert";
  std::string F3 = "m(x-1,y) or m(x+1,y) or m(x,y-1) or m(x,y+1)`|`|; expand";
  std::string F4 = "if(r>100, 0.0, 1.0)`|`|; circle";
  std::string F5 = "if(r>100, 0.0, 1.0) - r/100`|`|; faded circle";
  std::string F6 = "if(m<0.005, 0, m)`|`|; delete values near zero";
  std::string F7 = "m * 0.5`|`|; half opacity";
};

template <>
struct TOptionClass<TMaskFormulaOptions> {
  using T = TMaskFormulaOptions;
  static constexpr std::string_view Section = "MaskFormulaOptions";
  static constexpr TOptionField<T> Fields[] = {
      {"ID", &T::ID, 0, 7}, {"F0", &T::F0}, {"F1", &T::F1}, {"F2", &T::F2}, {"F3", &T::F3},
      {"F4", &T::F4},       {"F5", &T::F5}, {"F6", &T::F6}, {"F7", &T::F7},
  };
};

class TMiscOptions {
 public:
  TMiscOptions();
  bool PermitSSE;  // vector code allowed; default: the processor has SSE and SSE2
  bool PermitMT = true;  // multithreading allowed
  bool BigFonts = true;
  bool BatchSaveStars = false;
  bool LinearPhotometry = false;
  bool FirstExecution = true;  // cleared at the first normal exit
  bool MinimizeOnTaskbar = false;
  bool SkinPages = true;
  bool SkinControls = true;
  bool BlackBorder = false;  // state of "Black border"
  bool RememberTheme = false;
  bool ZoomWithWheel = false;
  bool ZoomWithCTRL = true;
  bool CoordsHMS = true;       // coordinate readouts in h m s / d m s
  bool CoordsDegrees = false;  // coordinate readouts in decimal degrees
  bool ScriptCLS = true;
  double ADUTestPhotometry = 10000;
  double DesktopBrightness = 70;  // percent
  double WindowBrightness = 80;   // percent
  int32_t UndoLevels32 = 1;  // undo depth of a 32-bit build
  int32_t UndoLevels64 = 5;  // undo depth of this 64-bit build (read through UndoLevels)
  int32_t DefaultAnnotation = 0;
  int32_t ScriptTheme = 0;
  int32_t ScriptFontDelta = 0;
  int32_t ReportFontDelta = 0;
  int32_t HeaderFontDelta = 0;
  int32_t StatisticsFontDelta = 0;
  int32_t PreprocFontDelta = 0;
  int32_t BatchFontDelta = 0;
  int32_t LastTheme = 0;
  int32_t IconsMode = 0;  // toolbar icons: 0 automatic, 1..4 = 20, 24, 28, 36 pixels
  std::string LastPalette;  // palette file of the "-file-" command; "" for none
};

template <>
struct TOptionClass<TMiscOptions> {
  using T = TMiscOptions;
  static constexpr std::string_view Section = "MiscOptions";
  static constexpr TOptionField<T> Fields[] = {
      {"PermitSSE", &T::PermitSSE},
      {"PermitMT", &T::PermitMT},
      {"BigFonts", &T::BigFonts},
      {"BatchSaveStars", &T::BatchSaveStars},
      {"LinearPhotometry", &T::LinearPhotometry},
      {"FirstExecution", &T::FirstExecution},
      {"MinimizeOnTaskbar", &T::MinimizeOnTaskbar},
      {"SkinPages", &T::SkinPages},
      {"SkinControls", &T::SkinControls},
      {"BlackBorder", &T::BlackBorder},
      {"RememberTheme", &T::RememberTheme},
      {"ZoomWithWheel", &T::ZoomWithWheel},
      {"ZoomWithCTRL", &T::ZoomWithCTRL},
      {"CoordsHMS", &T::CoordsHMS},
      {"CoordsDegrees", &T::CoordsDegrees},
      {"ScriptCLS", &T::ScriptCLS},
      {"ADUTestPhotometry", &T::ADUTestPhotometry},
      {"DesktopBrightness", &T::DesktopBrightness, 0, 100},
      {"WindowBrightness", &T::WindowBrightness, 0, 100},
      {"UndoLevels32", &T::UndoLevels32, 1, 32},
      {"UndoLevels64", &T::UndoLevels64, 1, 32},
      {"DefaultAnnotation", &T::DefaultAnnotation},
      {"ScriptTheme", &T::ScriptTheme},
      {"ScriptFontDelta", &T::ScriptFontDelta, -10, 40},
      {"ReportFontDelta", &T::ReportFontDelta, -10, 40},
      {"HeaderFontDelta", &T::HeaderFontDelta, -10, 40},
      {"StatisticsFontDelta", &T::StatisticsFontDelta, -10, 40},
      {"PreprocFontDelta", &T::PreprocFontDelta, -10, 40},
      {"BatchFontDelta", &T::BatchFontDelta, -10, 40},
      {"LastTheme", &T::LastTheme},
      {"IconsMode", &T::IconsMode, 0, 4},
      {"LastPalette", &T::LastPalette},
  };
};

// Image-processing filters, macros and scripts.
class TFilterOptions {
 public:
  std::string Macro1 = "Macro 1";
  std::string Macro2 = "Macro 2";
  std::string Macro3 = "Macro 3";
  std::string Macro4 = "Macro 4";
  std::string Macro5 = "Macro 5";
  std::string Macro6 = "Macro 6";
  std::string Macro7 = "Macro 7";
  std::string Macro8 = "Macro 8";
  std::string ScriptName1 = "Script 1";
  std::string ScriptName2 = "Script 2";
  std::string ScriptName3 = "Script 3";
  std::string ScriptName4 = "Script 4";
  std::string ScriptName5 = "Script 5";
  std::string ScriptName6 = "Script 6";
  std::string ScriptName7 = "Script 7";
  std::string ScriptName8 = "Script 8";
  std::string ScriptFile1;
  std::string ScriptFile2;
  std::string ScriptFile3;
  std::string ScriptFile4;
  std::string ScriptFile5;
  std::string ScriptFile6;
  std::string ScriptFile7;
  std::string ScriptFile8;
  std::string PhotometryFormat = "<JD> <AIRMASS> <ADU1> <MAG1> <MAGERR1>";
  double MaskTolerance = 20.0;  // fill and value mask tools
  int32_t BorderMethod = 0;
  int32_t ScriptWinX = 0;
  int32_t ScriptWinY = 0;
  int32_t ScriptWinW = 0;
  int32_t ScriptWinH = 0;
  int32_t ComaLength = 30;
  int32_t ComaFade = 50;
  int32_t ComaWidth = 25;
  double DDPBackground = 20;
  double DDPWhitePoint = 30;
  double DDPGamma = 80;
  double DDPSigmaHP = 2.5;
  double DDPStrengthHP = 50;
  double DDPWhiteBalance = 0;
  double DDPColorStretch = 0;
  double Normalization = 65535;  // default of "Histogram stretch"
  bool DDPHighPass = false;
};

template <>
struct TOptionClass<TFilterOptions> {
  using T = TFilterOptions;
  static constexpr std::string_view Section = "FilterOptions";
  static constexpr TOptionField<T> Fields[] = {
      {"Macro1", &T::Macro1},
      {"Macro2", &T::Macro2},
      {"Macro3", &T::Macro3},
      {"Macro4", &T::Macro4},
      {"Macro5", &T::Macro5},
      {"Macro6", &T::Macro6},
      {"Macro7", &T::Macro7},
      {"Macro8", &T::Macro8},
      {"ScriptName1", &T::ScriptName1},
      {"ScriptName2", &T::ScriptName2},
      {"ScriptName3", &T::ScriptName3},
      {"ScriptName4", &T::ScriptName4},
      {"ScriptName5", &T::ScriptName5},
      {"ScriptName6", &T::ScriptName6},
      {"ScriptName7", &T::ScriptName7},
      {"ScriptName8", &T::ScriptName8},
      {"ScriptFile1", &T::ScriptFile1},
      {"ScriptFile2", &T::ScriptFile2},
      {"ScriptFile3", &T::ScriptFile3},
      {"ScriptFile4", &T::ScriptFile4},
      {"ScriptFile5", &T::ScriptFile5},
      {"ScriptFile6", &T::ScriptFile6},
      {"ScriptFile7", &T::ScriptFile7},
      {"ScriptFile8", &T::ScriptFile8},
      {"PhotometryFormat", &T::PhotometryFormat},
      {"MaskTolerance", &T::MaskTolerance},
      {"BorderMethod", &T::BorderMethod},
      {"ScriptWinX", &T::ScriptWinX},
      {"ScriptWinY", &T::ScriptWinY},
      {"ScriptWinW", &T::ScriptWinW},
      {"ScriptWinH", &T::ScriptWinH},
      {"ComaLength", &T::ComaLength},
      {"ComaFade", &T::ComaFade},
      {"ComaWidth", &T::ComaWidth},
      {"DDPBackground", &T::DDPBackground},
      {"DDPWhitePoint", &T::DDPWhitePoint},
      {"DDPGamma", &T::DDPGamma},
      {"DDPSigmaHP", &T::DDPSigmaHP, 0.1, 100},
      {"DDPStrengthHP", &T::DDPStrengthHP},
      {"DDPWhiteBalance", &T::DDPWhiteBalance},
      {"DDPColorStretch", &T::DDPColorStretch},
      {"Normalization", &T::Normalization, 1e-6, 1e21},
      {"DDPHighPass", &T::DDPHighPass},
  };
};

// Demosaicing of colour mosaics.
class TDemosaicOptions {
 public:
  int32_t BayerCode = 3;
  double UserMulR = 1.0;
  double UserMulG = 1.0;
  double UserMulB = 1.0;
  double UserBiasR = 0;
  double UserBiasG = 0;
  double UserBiasB = 0;
  double Saturation = 20.0;
  int32_t HotPixels = 0;
  int32_t DemosaicAlgorithm = 0;
  int32_t WBAlgorithm = 0;
  int32_t BiasAlgorithm = 0;
  int32_t TrOffX = 0;
  int32_t TrOffY = 0;
  int32_t TrEnable = 0;
  bool PostBalance = false;
  bool PostCurves = false;
  bool PostFringes = false;
};

template <>
struct TOptionClass<TDemosaicOptions> {
  using T = TDemosaicOptions;
  static constexpr std::string_view Section = "DemosaicOptions";
  static constexpr TOptionField<T> Fields[] = {
      {"BayerCode", &T::BayerCode},
      {"UserMulR", &T::UserMulR},
      {"UserMulG", &T::UserMulG},
      {"UserMulB", &T::UserMulB},
      {"UserBiasR", &T::UserBiasR},
      {"UserBiasG", &T::UserBiasG},
      {"UserBiasB", &T::UserBiasB},
      {"Saturation", &T::Saturation},
      {"HotPixels", &T::HotPixels},
      {"DemosaicAlgorithm", &T::DemosaicAlgorithm},
      {"WBAlgorithm", &T::WBAlgorithm},
      {"BiasAlgorithm", &T::BiasAlgorithm},
      {"TrOffX", &T::TrOffX},
      {"TrOffY", &T::TrOffY},
      {"TrEnable", &T::TrEnable},
      {"PostBalance", &T::PostBalance},
      {"PostCurves", &T::PostCurves},
      {"PostFringes", &T::PostFringes},
  };
};

// Trichromy: colour image from three monochrome images.
class TTrichromyOptions {
 public:
  double UserMulR = 1.0;
  double UserMulG = 1.0;
  double UserMulB = 1.0;
  double UserBiasR = 0;
  double UserBiasG = 0;
  double UserBiasB = 0;
};

template <>
struct TOptionClass<TTrichromyOptions> {
  using T = TTrichromyOptions;
  static constexpr std::string_view Section = "TrichromyOptions";
  static constexpr TOptionField<T> Fields[] = {
      {"UserMulR", &T::UserMulR},   {"UserMulG", &T::UserMulG},
      {"UserMulB", &T::UserMulB},   {"UserBiasR", &T::UserBiasR},
      {"UserBiasG", &T::UserBiasG}, {"UserBiasB", &T::UserBiasB},
  };
};

// Image alignment; the ranges are those of the alignment dialog.
class TAlignOptions {
 public:
  int32_t Stars = 30;
  int32_t ScaleMax = 2;  // percent
  int32_t Order = 1;     // index of the distortion order list
  int32_t Radius = 50;
  double RotationMax = 45.0;  // degrees
  double ADUMax = 95000;
  double FWHMin = 1.2;
  double FWHMax = 14.5;
  bool LogFile = false;
  bool Distortions = false;
};

template <>
struct TOptionClass<TAlignOptions> {
  using T = TAlignOptions;
  static constexpr std::string_view Section = "AlignOptions";
  static constexpr TOptionField<T> Fields[] = {
      {"Stars", &T::Stars, 2, 100},
      {"ScaleMax", &T::ScaleMax, 1, 50},
      {"Order", &T::Order, 0, 2},
      {"Radius", &T::Radius, 8, 5000},
      {"RotationMax", &T::RotationMax, 1, 180},
      {"ADUMax", &T::ADUMax, 1, 1e12},
      {"FWHMin", &T::FWHMin, 1, 10},
      {"FWHMax", &T::FWHMax, 2, 100},
      {"LogFile", &T::LogFile},
      {"Distortions", &T::Distortions},
  };
};

// Settings of functions outside this program (atlas, catalogues, instruments, sounds, camera
// images, surveys, diagnostics). They hold no fields here (the generic TOptionClass gives
// them an empty table); their sections in the file are carried over unchanged on save.
struct TAtlasOptions { static constexpr std::string_view kSection = "AtlasOptions"; };
struct TCatalogOptions { static constexpr std::string_view kSection = "CatalogOptions"; };
struct TCameraOptions { static constexpr std::string_view kSection = "CameraOptions"; };
struct TTelescopeOptions { static constexpr std::string_view kSection = "TelescopeOptions"; };
struct TFilterWheelOptions { static constexpr std::string_view kSection = "FilterWheelOptions"; };
struct TFocuserOptions { static constexpr std::string_view kSection = "FocuserOptions"; };
struct TRotatorOptions { static constexpr std::string_view kSection = "RotatorOptions"; };
struct TSwitchOptions { static constexpr std::string_view kSection = "SwitchOptions"; };
struct TCoverOptions { static constexpr std::string_view kSection = "CoverOptions"; };
struct TSafetyMonitorOptions { static constexpr std::string_view kSection = "SafetyMonitorOptions"; };
struct TWeatherOptions { static constexpr std::string_view kSection = "WeatherOptions"; };
struct TDomeOptions { static constexpr std::string_view kSection = "DomeOptions"; };
struct TAutofocusOptions { static constexpr std::string_view kSection = "AutofocusOptions"; };
struct TAutocenterOptions { static constexpr std::string_view kSection = "AutocenterOptions"; };
struct TSequencerOptions { static constexpr std::string_view kSection = "SequencerOptions"; };
struct TGuideOptions { static constexpr std::string_view kSection = "GuideOptions"; };
struct TGuideFFOptions { static constexpr std::string_view kSection = "GuideFFOptions"; };
struct TSoundOptions { static constexpr std::string_view kSection = "SoundOptions"; };
struct TCameraImageOptions { static constexpr std::string_view kSection = "CameraImageOptions"; };
struct TSurveyOptions { static constexpr std::string_view kSection = "SurveyOptions"; };
struct TDebugOptions { static constexpr std::string_view kSection = "DebugOptions"; };

// ============================================================================ sections

// Identifier of an enumeration value as written in the file ("omConstant", ...).
std::string IniValueText(TOutsideMode v);
// Reads an identifier in any letter case; false leaves v unchanged.
bool ReadIniValue(std::string_view text, TOutsideMode& v, double lo, double hi);

// Appends an empty line, the header "[Section + index]" and one key line per field in table
// order (omitField, when given, is left out).
template <class T>
void WriteSection(TIniLines& lines, const T& object, int32_t index,
                  std::string_view omitField = {}) {
  lines.emplace_back();
  lines.push_back(IniSectionHeader(TOptionClass<T>::Section, index));
  for (const TOptionField<T>& f : TOptionClass<T>::Fields) {
    if (f.Name == omitField) continue;
    std::visit(
        [&](auto member) {
          std::string line(f.Name);
          line += '=';
          line += IniValueText(object.*member);
          lines.push_back(std::move(line));
        },
        f.Member);
  }
}

// Reads the fields of the object from its section; a missing key or a value that does not
// convert leaves the field as it was, numbers are clamped to the table's range. False when
// the section is absent.
template <class T>
bool ReadSection(const TIniLines& lines, T& object, int32_t index) {
  const auto range = FindIniSection(lines, IniSectionName(TOptionClass<T>::Section, index));
  if (!range) return false;
  for (const TOptionField<T>& f : TOptionClass<T>::Fields) {
    const auto text = FindIniKey(lines, *range, f.Name);
    if (!text) continue;
    std::visit([&](auto member) { ReadIniValue(*text, object.*member, f.Min, f.Max); },
               f.Member);
  }
  return true;
}

// ============================================================================ folders

// Where the program's folders come from; ProcessFolderEnvironment reads the real process.
struct TFolderEnvironment {
  std::filesystem::path Home;           // $HOME
  std::filesystem::path XdgConfigHome;  // $XDG_CONFIG_HOME; ignored unless absolute
  std::filesystem::path DocumentsDir;   // the user's documents folder; "" = Home/Documents
  std::filesystem::path ProgramDir;     // folder of the executable
};
TFolderEnvironment ProcessFolderEnvironment();

// Subfolders of the user files folder, each created on first use.
enum class TUserFolder {
  Logo, Palette, Stars, History, TransferFunction, Observatory, Demosaic, Macro, Annotation,
  StarDatabase
};

// ============================================================================ settings object

class TQVOptions {
 public:
  TObservatoryOptions Observatory;
  TPlateSolveOptions PlateSolve;
  TFileOptions File;
  TDslrOptions Dslr;
  TRawOptions Raw;
  TStarOptions Star;
  TAnnotationOptions Annotation;
  TImageOptions Image;
  TPreprocessingOptions Preprocessing;
  TFormulaOptions Formula;
  TMaskFormulaOptions MaskFormula;
  TAtlasOptions Atlas;
  TCatalogOptions Catalog1;
  TCatalogOptions Catalog2;
  TMiscOptions Misc;
  TFilterOptions Filter;
  TCameraOptions Camera;
  TTelescopeOptions Telescope;
  TFilterWheelOptions FilterWheel;
  TFocuserOptions Focuser;
  TFocuserOptions Focuser2;
  TRotatorOptions Rotator;
  TSwitchOptions Switch;
  TSwitchOptions Switch2;
  TCoverOptions Cover;
  TSafetyMonitorOptions SafetyMonitor;
  TWeatherOptions Weather;
  TDomeOptions Dome;
  TAutofocusOptions Autofocus;
  TAutocenterOptions Autocenter;
  TSequencerOptions Sequencer;
  TGuideOptions Guide;
  TGuideFFOptions GuideFF;
  TSoundOptions Sound;
  TCameraImageOptions CameraImage;
  TDemosaicOptions Demosaic;
  TTrichromyOptions Trichromy;
  TAlignOptions Align;
  TSurveyOptions Survey;  // neither read nor written
  TDebugOptions Debug;    // neither read nor written

  // ---- run-time values, never saved ----
  TFolderEnvironment Environment;
  std::filesystem::path ProgramFolder;
  std::filesystem::path LanguageFolder;
  std::filesystem::path ConfigFolder;  // "" until ComputeFolders; "" when none is usable
  bool FileOpenedOrSaved = false;  // then file dialogs keep their own last folder

  // Pushes PermitSSE and PermitMT to the process-wide switches (base/ProcessSwitches.h).
  void ApplyProcessSwitches() const;

  // Fixes the program, language and configuration folders for this run (the configuration
  // folder is created when missing).
  void ComputeFolders(const TFolderEnvironment& env);
  // UserFilesDir when set and existing, else "OrluFV" in the documents folder (created).
  std::filesystem::path UserFilesFolder() const;
  // A subfolder of the user files folder, created when missing.
  std::filesystem::path UserSubfolder(TUserFolder which) const;
  // Option Database ("StarDatabase.txt" when empty); a bare name lies in the StarDatabase folder.
  std::filesystem::path StarDatabaseFile() const;
  // Initial folder of an open or save dialog; "" keeps the dialog's own last folder.
  std::filesystem::path InitialDialogFolder(bool save) const;
};

// The process-wide settings object.
TQVOptions& Options();

// ============================================================================ files

inline constexpr std::string_view kConfigFileName = "Orlu40CfgU.ini";
inline constexpr std::string_view kOldConfigFileName = "Orlu40OldCfgU.ini";
inline constexpr std::string_view kUIStateFileName = "Orlu40UI.ini";

// Configuration folder for env: ProgramDir/Config when it exists, else
// $XDG_CONFIG_HOME/orlu (default ~/.config/orlu), created when missing; "" when neither
// can be had.
std::filesystem::path ConfigFolderFor(const TFolderEnvironment& env);

// Reads the configuration file of folder (or the old file when it is missing) into every
// section that is read, then applies the process switches. A missing or unreadable file
// leaves the values as they are. False when no file was read.
bool LoadOptions(TQVOptions& options, const std::filesystem::path& folder);
// Writes the written sections in their fixed order, keeping every other section of the
// existing file and the unknown keys of written sections; does not touch a file that
// already holds exactly these lines. False with a message in error on failure; the old
// file then stays as it was.
bool SaveOptions(const TQVOptions& options, const std::filesystem::path& folder,
                 std::string* error = nullptr);
// The lines SaveOptions writes, given the existing file's lines.
TIniLines BuildOptionsLines(const TQVOptions& options, const TIniLines& existing);

// Observatory files: the ObservatoryOptions section without the MPCReport line.
bool SaveObservatoryFile(const std::filesystem::path& path, const TObservatoryOptions& obs,
                         std::string* error = nullptr);
// A fresh observatory object with the file's values (defaults for missing keys); nullopt
// when the file cannot be read.
std::optional<TObservatoryOptions> LoadObservatoryFile(const std::filesystem::path& path);

// The user-interface state file: lines kept for the windows that use them.
class TUIStateFile {
 public:
  TIniLines Lines;
  // Reads the file of folder; a missing or unreadable file gives no lines.
  void Load(const std::filesystem::path& folder);
  // Writes the lines when they differ from those read or the file does not exist.
  bool Save(const std::filesystem::path& folder, std::string* error = nullptr);

 private:
  TIniLines Read_;
  bool Existed_ = false;
};

// Normalises a file-extension field: fewer than 2 characters give "*.*"; a text that neither
// begins with "*" nor has "." second gets "*." in front ("fit" gives "*.fit"), or only "*"
// when it begins with "." (".fit" gives "*.fit").
std::string NormalizeExtensionField(std::string_view text);

}  // namespace orlu
