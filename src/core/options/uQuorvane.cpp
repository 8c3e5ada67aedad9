#include "options/uQuorvane.h"

#include "base/ProcessSwitches.h"

namespace orlu {

TMiscOptions::TMiscOptions() : PermitSSE(CpuHasSSE2()) {}

void TQVOptions::ApplyProcessSwitches() const {
  SetPermitSSE(Misc.PermitSSE);
  SetPermitMT(Misc.PermitMT);
}

TQVOptions& Options() {
  static TQVOptions options;
  return options;
}

}  // namespace orlu
