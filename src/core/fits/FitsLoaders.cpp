// The FITS folder's entries in the format dispatch's loader table.
#include "fits/ImaFiles.h"
#include "formats/uFiles.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"

namespace orlu {

void RegisterFitsLoaders(TLoaderTable& table) {
  table.Register(kSlotFits, "FITS", [](const TLoadRequest& rq, TAImage& image) {
    LoadFits(image, rq.Path, rq.FrameIndex, rq.Options.File);
  });
}

}  // namespace orlu
