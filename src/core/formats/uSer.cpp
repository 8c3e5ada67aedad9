// SER reader: the header is checked against the file size before the image is sized, and
// a mono frame is read straight into the plane (see ReadPlaneSamples).
#include "formats/uSer.h"

#include <algorithm>
#include <vector>

#include "formats/BinaryFile.h"
#include "formats/LoadStatus.h"
#include "formats/SampleRows.h"
#include "formats/uAvi.h"
#include "formats/uFiles.h"
#include "image/ImaColor.h"

namespace orlu {

namespace {

// Interleaved colour frames, a band of rows at a time: red, green, blue samples (blue,
// green, red for identifier 101) into the three planes, top file row to the last image row.
bool ReadColourFrame(const TBinaryFile& f, int64_t offset, const TSerHeader& h, TAImage& image) {
  const int32_t w = h.Width;
  const int32_t bps = h.BytesPerSample();
  const bool bigEndian = h.Endianness == 1;
  const int64_t rowBytes = int64_t(w) * 3 * bps;
  // A band small enough to stay in the first cache levels while it is split.
  const int32_t bandRows = int32_t(std::clamp<int64_t>((int64_t(64) << 10) / rowBytes, 1, h.Height));
  std::vector<uint8_t> band(size_t(rowBytes * bandRows));
  TBWImage* first = h.ColorId == 101 ? image.BluePlane.get() : image.RedPlane.get();
  TBWImage* last = h.ColorId == 101 ? image.RedPlane.get() : image.BluePlane.get();
  for (int32_t r0 = 0; r0 < h.Height; r0 += bandRows) {
    const int32_t n = std::min(bandRows, h.Height - r0);
    if (!f.ReadAt(offset + int64_t(r0) * rowBytes, band.data(), rowBytes * n)) return false;
    for (int32_t i = 0; i < n; ++i) {
      const int32_t y = h.Height - 1 - (r0 + i);
      const uint8_t* s = band.data() + size_t(i) * size_t(rowBytes);
      float* d0 = first->RowPointer(0, y);
      float* d1 = image.MainPlane->RowPointer(0, y);
      float* d2 = last->RowPointer(0, y);
      if (bps == 1) SplitRgb8(s, d0, d1, d2, w);
      else SplitRgb16(s, d0, d1, d2, w, bigEndian);
    }
  }
  return true;
}

}  // namespace

int64_t TSerHeader::FrameBytes() const {
  if (Width <= 0 || Height <= 0) return 0;
  return int64_t(SamplesPerPixel()) * Width * Height * BytesPerSample();
}

bool ParseSerHeader(const uint8_t* b, size_t n, TSerHeader& h) {
  if (n < size_t(kSerHeaderBytes) || b[0] != 'L' || b[1] != 'U') return false;
  h.ColorId = GetI32LE(b + 18);
  h.Endianness = GetI32LE(b + 22);
  h.Width = GetI32LE(b + 26);
  h.Height = GetI32LE(b + 30);
  h.PixelDepth = GetI32LE(b + 34);
  h.FrameCount = GetI32LE(b + 38);
  h.Observer = FieldText(b + 42, 40);
  h.Instrument = FieldText(b + 82, 40);
  h.Telescope = FieldText(b + 122, 40);
  // Negative identifiers and depths are no SER layout at all; they are refused with the
  // values above the documented ranges.
  return h.ColorId >= 0 && h.ColorId <= 101 && h.PixelDepth >= 1 && h.PixelDepth <= 16 &&
         h.Width < 64000 && h.Height < 64000 && h.FrameCount > 0;
}

double SerTicksToJD(uint64_t ticks) { return double(ticks) * 1e-7 / 86400.0 + 1721425.5; }

int32_t SerFrameCount(const std::string& path) {
  if (!HasExtension(path, {".ser"})) return 0;
  TBinaryFile f;
  uint8_t b[kSerHeaderBytes];
  TSerHeader h;
  if (!f.Open(path) || !f.ReadAt(0, b, kSerHeaderBytes) || !ParseSerHeader(b, sizeof b, h))
    return 0;
  return h.FrameCount;
}

void LoadSer(const std::string& path, int32_t frameIndex, TAImage& image) {
  if (!HasExtension(path, {".ser"})) return;
  TBinaryFile f;
  uint8_t b[kSerHeaderBytes];
  TSerHeader h;
  if (!f.Open(path) || !f.ReadAt(0, b, kSerHeaderBytes) || !ParseSerHeader(b, sizeof b, h) ||
      h.Width < 1 || h.Height < 1) {
    image.Status |= kStatusFailed;
    return;
  }
  if (h.Width > kMaxImageSide || h.Height > kMaxImageSide) {
    image.Status |= kStatusRefusedTooLarge;
    return;
  }
  // The last frame at most: reading past it would show the trailer's bytes as pixels.
  const int64_t frame = std::clamp<int64_t>(frameIndex, 0, h.FrameCount - 1);
  const int64_t frameBytes = h.FrameBytes();
  const int64_t data = f.Size() - kSerHeaderBytes;
  // frame × frameBytes may exceed 64 bits for a hostile count: compare by division.
  if (data < frameBytes || frame > (data - frameBytes) / frameBytes) {
    image.Status |= kStatusFailed;
    return;
  }
  const int64_t offset = kSerHeaderBytes + frame * frameBytes;

  const bool colour = h.ColorId >= 100;
  image.SetSize(h.Width, h.Height, colour);
  const bool read = colour ? ReadColourFrame(f, offset, h, image)
                           : ReadPlaneSamples(f, offset, *image.MainPlane, h.BytesPerSample(),
                                              h.Endianness == 1, true);
  if (!read) {  // the file changed under us
    image.Status |= kStatusFailed;
    return;
  }
  image.Header.SetGeometry(h.Width, h.Height, colour, h.BytesPerSample() * 8);

  // The trailer follows the last frame; its entries may be missing altogether.
  const int64_t frames = h.FrameCount;
  if (data / frameBytes >= frames) {
    const int64_t stampAt = kSerHeaderBytes + frames * frameBytes + frame * 8;
    uint8_t stamp[8];
    if (f.Holds(stampAt, 8) && f.ReadAt(stampAt, stamp, 8)) {
      const double jd = SerTicksToJD(GetU64LE(stamp));
      if (jd > 2000000.0 && jd < 4000000.0) {
        image.Header.SetDateObsJD("UT", jd);
        image.Header.SetReal("JD", true, jd);
      }
    }
  }
  image.Header.SetStringIfNotEmpty("OBSERVER", h.Observer);
  image.Header.SetStringIfNotEmpty("INSTRUME", h.Instrument);
  image.Header.SetStringIfNotEmpty("TELESCOP", h.Telescope);
  image.Status |= kStatusLoaded;
}

void RegisterVideoLoaders(TLoaderTable& table) {
  table.Register(kSlotSer, "SER video", [](const TLoadRequest& rq, TAImage& image) {
    LoadSer(rq.Path, rq.FrameIndex, image);
  });
  table.Register(kSlotAvi, "AVI video", [](const TLoadRequest& rq, TAImage& image) {
    LoadAvi(rq.Path, image, rq.Preview);  // always the first frame
  });
}

}  // namespace orlu
