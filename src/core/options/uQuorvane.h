// The settings object: one instance for the process, one object per option class.
// Later work adds fields (with their documented defaults) and the configuration files.
#pragma once

#include <cstdint>
#include <string>

namespace orlu {

class TMiscOptions {
 public:
  TMiscOptions();
  bool PermitSSE;  // vector code allowed; default: the processor has SSE and SSE2
  bool PermitMT = true;  // multithreading allowed
  bool CoordsHMS = true;       // coordinate readouts in h m s / d m s
  bool CoordsDegrees = false;  // coordinate readouts in decimal degrees
  std::string LastPalette;  // palette file of the "-file-" command; "" for none
};

// Image-processing filters.
class TFilterOptions {
 public:
  double Normalization = 65535;  // default of "Histogram stretch"
};

class TFileOptions {
 public:
  bool AllowUnsignedFITS = false;  // "Convert unsigned data": BITPIX 16 without BZERO as 0..65535
  bool RowOrderFITS = true;        // "Use ROWORDER key for image orientation"
};

class TQVOptions {
 public:
  TMiscOptions Misc;
  TFileOptions File;
  TFilterOptions Filter;

  // Pushes PermitSSE and PermitMT to the process-wide switches (base/ProcessSwitches.h).
  void ApplyProcessSwitches() const;
};

// The process-wide settings object.
TQVOptions& Options();

}  // namespace orlu
