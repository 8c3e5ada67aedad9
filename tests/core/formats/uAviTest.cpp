#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "FormatsTestUtil.h"
#include "LegacyTestUtil.h"
#include "formats/LoadStatus.h"
#include "formats/uAvi.h"
#include "formats/uFiles.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"
#include "visual/ImaRender.h"

using namespace orlu;
using namespace orlu::testing_formats;

namespace {

// Blue, green, red of pixel (x, y) of frame f, y counted from the bottom row.
using TPixelFn = std::function<void(int32_t f, int32_t x, int32_t y, uint8_t bgr[3])>;

std::string Chunk(const std::string& id, const std::string& data) {
  std::string c = id;
  PutU32(c, uint32_t(data.size()));
  c += data;
  if (data.size() % 2) c += '\0';
  return c;
}

std::string List(const std::string& type, const std::string& data) {
  return Chunk("LIST", type + data);
}

// An uncompressed 24-bit AVI as a capture program writes it: bottom-up DIB frames with an
// index. handler replaces the stream's compression code ("\0\0\0\0" is plain RGB).
std::string MakeAvi(int32_t w, int32_t h, int32_t frames, const TPixelFn& pixel,
                    const std::string& compression = std::string(4, '\0')) {
  const int32_t stride = (w * 3 + 3) & ~3;
  std::string avih;
  for (uint32_t v : {40000u, 0u, 0u, 0x10u, uint32_t(frames), 0u, 1u, uint32_t(stride * h),
                     uint32_t(w), uint32_t(h), 0u, 0u, 0u, 0u})
    PutU32(avih, v);
  std::string strh = "vids" + compression;
  for (uint32_t v : {0u, 0u, 0u, 1u, 25u, 0u, uint32_t(frames), uint32_t(stride * h),
                     0xFFFFFFFFu, 0u})
    PutU32(strh, v);
  PutU16(strh, 0), PutU16(strh, 0), PutU16(strh, uint32_t(w)), PutU16(strh, uint32_t(h));
  std::string strf;
  PutU32(strf, 40);
  PutU32(strf, uint32_t(w));
  PutU32(strf, uint32_t(h));
  PutU16(strf, 1);
  PutU16(strf, 24);
  strf += compression;
  PutU32(strf, uint32_t(stride * h));
  for (int i = 0; i < 4; ++i) PutU32(strf, 0);
  const std::string hdrl =
      List("hdrl", Chunk("avih", avih) + List("strl", Chunk("strh", strh) + Chunk("strf", strf)));

  std::string movi, idx1;
  for (int32_t f = 0; f < frames; ++f) {
    std::string data;
    for (int32_t y = 0; y < h; ++y) {
      for (int32_t x = 0; x < w; ++x) {
        uint8_t bgr[3];
        pixel(f, x, y, bgr);
        data.append(reinterpret_cast<const char*>(bgr), 3);
      }
      data.append(size_t(stride - w * 3), '\0');
    }
    idx1 += "00db";
    PutU32(idx1, 0x10);
    PutU32(idx1, uint32_t(4 + movi.size()));  // from the "movi" code
    PutU32(idx1, uint32_t(data.size()));
    movi += Chunk("00db", data);
  }
  const std::string body = "AVI " + hdrl + List("movi", movi) + Chunk("idx1", idx1);
  return Chunk("RIFF", body);
}

void Colourful(int32_t f, int32_t x, int32_t y, uint8_t bgr[3]) {
  bgr[0] = uint8_t(10 + 40 * x + f);
  bgr[1] = uint8_t(20 + 30 * y + 2 * f);
  bgr[2] = uint8_t(200 - 20 * x - 10 * y);
}

void Gray(int32_t f, int32_t x, int32_t y, uint8_t bgr[3]) {
  bgr[0] = bgr[1] = bgr[2] = uint8_t(7 + 50 * x + 9 * y + 100 * f);
}

class Avi : public ::testing::Test {
 protected:
  TTempDir Dir;
  TQVOptions Opt;
  std::unique_ptr<TAImage> Load(const std::string& bytes, int32_t frame = 0,
                                const std::string& name = "v.avi") {
    auto image = std::make_unique<TAImage>();
    LoadImage(BuiltinLoaders(), Dir.Write(name, bytes), frame, *image, Opt);
    return image;
  }
};

}  // namespace

// Whatever frame is asked for, the first one opens, bottom row as row 0.
TEST_F(Avi, FirstFrameInColour) {
  const std::string bytes = MakeAvi(4, 3, 2, Colourful);
  for (int32_t asked : {0, 1, 7}) {
    const auto image = Load(bytes, asked);
    ASSERT_TRUE(LoadSucceeded(image->Status)) << asked;
    EXPECT_EQ(image->Status & kStatusLoaded8Bit, kStatusLoaded8Bit);
    ASSERT_TRUE(image->IsColour());
    EXPECT_EQ(image->Header.GetInt("BITPIX"), 8);
    for (int32_t y = 0; y < 3; ++y)
      for (int32_t x = 0; x < 4; ++x) {
        uint8_t bgr[3];
        Colourful(0, x, y, bgr);
        float r = 0, g = 0, b = 0;
        image->GetRGB(x, y, r, g, b);
        EXPECT_EQ(b, bgr[0]) << x << " " << y;
        EXPECT_EQ(g, bgr[1]) << x << " " << y;
        EXPECT_EQ(r, bgr[2]) << x << " " << y;
      }
  }
}

TEST_F(Avi, GrayFramesOpenMonochrome) {
  const auto image = Load(MakeAvi(8, 2, 1, Gray));
  ASSERT_TRUE(LoadSucceeded(image->Status));
  EXPECT_FALSE(image->IsColour());
  for (int32_t y = 0; y < 2; ++y)
    for (int32_t x = 0; x < 8; ++x) {
      uint8_t bgr[3];
      Gray(0, x, y, bgr);
      EXPECT_EQ(image->Value(x, y), bgr[0]) << x << " " << y;
    }
}

TEST_F(Avi, ReaderGivesFramesInOrderAndAgain) {
  const std::string path = Dir.Write("r.avi", MakeAvi(4, 1, 3, Gray));
  TAvi avi;
  ASSERT_EQ(avi.Open(path), 0);
  EXPECT_EQ(avi.Width(), 4);
  EXPECT_EQ(avi.Height(), 1);
  EXPECT_EQ(avi.Length(), 3);
  for (int32_t f : {2, 0, 1}) {
    ASSERT_TRUE(avi.GetFrame(f)) << f;
    uint8_t bgr[3];
    Gray(f, 3, 0, bgr);
    EXPECT_EQ(avi.Bitmap()[9], bgr[0]) << f;
  }
  EXPECT_FALSE(avi.GetFrame(3));
  avi.Close();
  EXPECT_EQ(avi.Bitmap(), nullptr);
  EXPECT_EQ(avi.Open(Dir.Write("text.avi", "RIFF but not really an AVI file")), -1);
}

TEST_F(Avi, RefusedFilesTable) {
  struct TRow {
    const char* Name;
    std::string Bytes;
    const char* Message;
  };
  std::string wide = MakeAvi(4, 3, 1, Colourful);
  // avih and strf widths, strh frame rectangle right edge.
  SetU32(wide, wide.find("strf") + 12, 30001);
  SetU32(wide, wide.find("avih") + 8 + 32, 30001);
  const TRow rows[] = {
      {"not an AVI", std::string(300, 'x'), "Incompatible file format"},
      {"unknown codec", MakeAvi(4, 3, 1, Colourful, "QQQQ"), "Incompatible file format"},
      {"no frames", MakeAvi(4, 3, 0, Colourful), "Incompatible file format"},
      {"30001 wide", wide, "Max size is : 30000 x 30000"},
  };
  for (const TRow& row : rows) {
    const auto image = Load(row.Bytes);
    EXPECT_EQ(LoadStatusMessage(image->Status), row.Message) << row.Name;
  }
  const auto unknown = Load(MakeAvi(4, 3, 1, Colourful, "QQQQ"));
  EXPECT_EQ(unknown->Status & kStatusRefusedDecoder, kStatusRefusedDecoder);
}

// A preview shows the first frame drawn by the loader, scaled to fit the box; the image
// gets the frame's geometry but no pixels.
TEST_F(Avi, PreviewDrawsTheFirstFrameFitted) {
  const std::string path = Dir.Write("p.avi", MakeAvi(4, 2, 2, Colourful));
  TBgraBitmap preview;
  ASSERT_TRUE(preview.SetSize(8, 8));
  TAImage image;
  LoadImage(BuiltinLoaders(), path, 1, &preview, image, Opt);
  ASSERT_TRUE(LoadSucceeded(image.Status));
  EXPECT_EQ(image.Status & (kStatusLoaded8Bit | kStatusPreviewDrawn),
            kStatusLoaded8Bit | kStatusPreviewDrawn);
  EXPECT_EQ(image.Header.GetInt("NAXIS1"), 4);
  EXPECT_EQ(image.Header.GetInt("NAXIS2"), 2);
  ASSERT_EQ(preview.Width(), 8);
  ASSERT_EQ(preview.Height(), 4);
  // Each frame pixel covers 2 x 2 preview pixels; rows count from the bottom in both.
  for (int32_t y = 0; y < 4; ++y)
    for (int32_t x = 0; x < 8; ++x) {
      uint8_t bgr[3];
      Colourful(0, x / 2, y / 2, bgr);
      EXPECT_EQ(preview.Pixel(x, y),
                0xFF000000u | uint32_t(bgr[2]) << 16 | uint32_t(bgr[1]) << 8 | bgr[0])
          << x << "," << y;
    }
}
