// The settings object: one instance for the process, one object per option class.
// Later work adds fields (with their documented defaults) and the configuration files.
#pragma once

#include <cstdint>
#include <string>

namespace orlu {

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
  std::string UserFilesDir;
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

// Value given to pixels that geometric operations bring in from outside the image.
enum TOutsideMode : int32_t { omConstant, omBackground };

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
  int32_t ThumbSize = 100;
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

class TMiscOptions {
 public:
  TMiscOptions();
  bool PermitSSE;  // vector code allowed; default: the processor has SSE and SSE2
  bool PermitMT = true;  // multithreading allowed
  bool CoordsHMS = true;       // coordinate readouts in h m s / d m s
  bool CoordsDegrees = false;  // coordinate readouts in decimal degrees
  int32_t UndoLevels32 = 1;  // undo depth of a 32-bit build
  int32_t UndoLevels64 = 5;  // undo depth of this 64-bit build (read through UndoLevels)
  std::string LastPalette;  // palette file of the "-file-" command; "" for none
};

// Image-processing filters.
class TFilterOptions {
 public:
  double Normalization = 65535;  // default of "Histogram stretch"
};

class TQVOptions {
 public:
  TObservatoryOptions Observatory;
  TFileOptions File;
  TDslrOptions Dslr;
  TRawOptions Raw;
  TImageOptions Image;
  TMiscOptions Misc;
  TFilterOptions Filter;

  // Pushes PermitSSE and PermitMT to the process-wide switches (base/ProcessSwitches.h).
  void ApplyProcessSwitches() const;
};

// The process-wide settings object.
TQVOptions& Options();

}  // namespace orlu
