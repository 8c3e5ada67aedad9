// The clipboard loader: handed-over pixels of every layout, picture-file bytes (PNG, BMP,
// DIB), refused and damaged pictures, and the slot-0 entry through the dispatch.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "FormatsTestUtil.h"
#include "formats/LoadStatus.h"
#include "formats/uClipboard.h"
#include "formats/uFiles.h"
#include "formats/uRaster.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"
#include "visual/ImaRender.h"

using namespace orlu;
using namespace orlu::testing_formats;

namespace {

std::vector<uint8_t> FileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  const std::string t = s.str();
  return std::vector<uint8_t>(t.begin(), t.end());
}

// Red, green, blue of picture pixel (x, y), y counted from the top row.
void Rgb(int32_t x, int32_t y, uint8_t& r, uint8_t& g, uint8_t& b) {
  r = uint8_t(10 + 50 * x), g = uint8_t(100 + 20 * y), b = uint8_t(200 - 30 * x - 40 * y);
}

// A 3 x 2 picture in the layout, rows padded to stride.
TClipboardPicture MakePixels(TClipboardPixels layout, int32_t bpp, int64_t stride) {
  TClipboardPicture p;
  p.Kind = TClipboardPicture::TKind::Pixels;
  p.Width = 3;
  p.Height = 2;
  p.Stride = stride;
  p.Layout = layout;
  p.Bytes.assign(size_t(stride * 2), 0xEE);
  for (int32_t y = 0; y < 2; ++y)
    for (int32_t x = 0; x < 3; ++x) {
      uint8_t r, g, b;
      Rgb(x, y, r, g, b);
      uint8_t* q = p.Bytes.data() + y * stride + x * bpp;
      switch (layout) {
        case TClipboardPixels::Bgra: q[0] = b, q[1] = g, q[2] = r, q[3] = 7; break;
        case TClipboardPixels::Rgba: q[0] = r, q[1] = g, q[2] = b, q[3] = 7; break;
        case TClipboardPixels::Bgr: q[0] = b, q[1] = g, q[2] = r; break;
        case TClipboardPixels::Rgb: q[0] = r, q[1] = g, q[2] = b; break;
        case TClipboardPixels::Gray: q[0] = g; break;
      }
    }
  return p;
}

class Clipboard : public ::testing::Test {
 protected:
  TTempDir Dir;
  TQVOptions Opt;
  void TearDown() override { SetClipboardReader(nullptr); }
};

}  // namespace

TEST_F(Clipboard, PixelLayoutsTable) {
  const struct {
    const char* Name;
    TClipboardPixels Layout;
    int32_t Bpp;
  } cases[] = {{"BGRA", TClipboardPixels::Bgra, 4}, {"RGBA", TClipboardPixels::Rgba, 4},
               {"BGR", TClipboardPixels::Bgr, 3},   {"RGB", TClipboardPixels::Rgb, 3},
               {"gray", TClipboardPixels::Gray, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TAImage image;
    LoadClipboardPicture(MakePixels(c.Layout, c.Bpp, 3 * c.Bpp + 5), image);
    ASSERT_TRUE(LoadSucceeded(image.Status)) << image.Status;
    EXPECT_EQ(image.Status & kStatusLoaded8Bit, kStatusLoaded8Bit);
    const bool gray = c.Layout == TClipboardPixels::Gray;
    ASSERT_EQ(image.IsColour(), !gray);
    for (int32_t y = 0; y < 2; ++y)
      for (int32_t x = 0; x < 3; ++x) {
        uint8_t r, g, b;
        Rgb(x, y, r, g, b);
        float fr, fg, fb;
        image.GetRGB(x, 1 - y, fr, fg, fb);  // the top row is the image's last
        EXPECT_EQ(fg, g) << x << "," << y;
        if (!gray) {
          EXPECT_EQ(fr, r) << x << "," << y;
          EXPECT_EQ(fb, b) << x << "," << y;
        }
      }
  }
}

// Picture files as the clipboard carries them: PNG, BMP, and the BMP's DIB without its
// file header.
TEST_F(Clipboard, PictureFileBytesTable) {
  TBgraBitmap view;
  ASSERT_TRUE(view.SetSize(5, 4));
  for (int32_t y = 0; y < 4; ++y)
    for (int32_t x = 0; x < 5; ++x)
      view.SetPixel(x, y, 0xFF000000u | uint32_t(40 * x) << 16 | uint32_t(60 * y) << 8 | 77u);
  ASSERT_TRUE(WriteViewBmp(view, Dir.Name("v.bmp"), false));
  ASSERT_TRUE(WritePngFromView(view, Dir.Name("v.png"), "", nullptr, true));
  const std::vector<uint8_t> bmp = FileBytes(Dir.Name("v.bmp"));
  ASSERT_GT(bmp.size(), 54u);
  const struct {
    const char* Name;
    TClipboardPicture::TKind Kind;
    std::vector<uint8_t> Bytes;
  } cases[] = {{"PNG", TClipboardPicture::TKind::Png, FileBytes(Dir.Name("v.png"))},
               {"BMP", TClipboardPicture::TKind::Bmp, bmp},
               {"DIB", TClipboardPicture::TKind::Dib, std::vector<uint8_t>(bmp.begin() + 14, bmp.end())}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TClipboardPicture p;
    p.Kind = c.Kind;
    p.Bytes = c.Bytes;
    TAImage image;
    LoadClipboardPicture(p, image);
    ASSERT_TRUE(LoadSucceeded(image.Status)) << image.Status;
    ASSERT_EQ(image.Width(), 5);
    ASSERT_EQ(image.Height(), 4);
    ASSERT_TRUE(image.IsColour());
    for (int32_t y = 0; y < 4; ++y)
      for (int32_t x = 0; x < 5; ++x) {
        float r, g, b;
        image.GetRGB(x, y, r, g, b);  // view and image both count rows from the bottom
        EXPECT_EQ(r, 40 * x) << x << "," << y;
        EXPECT_EQ(g, 60 * y) << x << "," << y;
        EXPECT_EQ(b, 77) << x << "," << y;
      }
  }
}

TEST_F(Clipboard, RefusedAndDamagedPicturesTable) {
  auto pixels = [](int32_t w, int32_t h, int64_t stride, size_t bytes) {
    TClipboardPicture p;
    p.Kind = TClipboardPicture::TKind::Pixels;
    p.Width = w, p.Height = h, p.Stride = stride, p.Layout = TClipboardPixels::Bgr;
    p.Bytes.assign(bytes, 0);
    return p;
  };
  auto file = [](TClipboardPicture::TKind kind, std::vector<uint8_t> bytes) {
    TClipboardPicture p;
    p.Kind = kind;
    p.Bytes = std::move(bytes);
    return p;
  };
  std::vector<uint8_t> hugePng = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13,
                                  'I', 'H', 'D', 'R', 0, 0, 0x9C, 0x40, 0, 0, 0, 10};  // 40000 wide
  std::vector<uint8_t> dibBadTable(40, 0);
  dibBadTable[0] = 40, dibBadTable[4] = 2, dibBadTable[8] = 2, dibBadTable[14] = 8;  // 8-bit, no table
  // A 78-byte BMP announcing 16387 × 30000 uncompressed 24-bit pixels, and an RLE8 DIB of
  // 29000 × 29000 in a few bytes: refused before the decoder allocates gigabytes.
  std::vector<uint8_t> bigBmp(78, 0);
  bigBmp[0] = 'B', bigBmp[1] = 'M', bigBmp[10] = 54, bigBmp[14] = 40;
  bigBmp[18] = 0x03, bigBmp[19] = 0x40, bigBmp[22] = 0x30, bigBmp[23] = 0x75;
  bigBmp[26] = 1, bigBmp[28] = 24;
  std::vector<uint8_t> bigRle(200, 0);
  bigRle[0] = 40, bigRle[4] = 0x48, bigRle[5] = 0x71, bigRle[8] = 0x48, bigRle[9] = 0x71;
  bigRle[12] = 1, bigRle[14] = 8, bigRle[16] = 1;
  const struct {
    const char* Name;
    TClipboardPicture Picture;
    uint32_t MustHave;
  } cases[] = {
      {"nothing on the clipboard", TClipboardPicture{}, kStatusFailed},
      {"pixels short of bytes", pixels(4, 4, 12, 12 * 3 + 11), kStatusFailed},
      {"stride below a row", pixels(4, 4, 11, 1000), kStatusFailed},
      {"zero height", pixels(4, 0, 12, 100), kStatusFailed},
      {"30001 wide, refused before the bytes", pixels(30001, 1, 90003, 0), kStatusRefusedTooLarge},
      {"PNG announcing 40000 wide", file(TClipboardPicture::TKind::Png, hugePng), kStatusRefusedTooLarge},
      {"PNG without data", file(TClipboardPicture::TKind::Png, {0x89, 'P', 'N', 'G'}), kStatusFailed},
      {"BMP of garbage", file(TClipboardPicture::TKind::Bmp, std::vector<uint8_t>(60, 'B')), kStatusFailed},
      {"DIB whose table runs past its bytes", file(TClipboardPicture::TKind::Dib, dibBadTable), kStatusFailed},
      {"BMP announcing more pixels than its bytes", file(TClipboardPicture::TKind::Bmp, bigBmp), kStatusFailed},
      {"RLE DIB expanding beyond any bound", file(TClipboardPicture::TKind::Dib, bigRle), kStatusFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TAImage image;
    LoadClipboardPicture(c.Picture, image);
    EXPECT_FALSE(LoadSucceeded(image.Status));
    EXPECT_EQ(image.Status & c.MustHave, c.MustHave) << image.Status;
  }
}

// Slot 0 through the dispatch: the reader the viewer set is asked; other paths are not
// the clipboard's; without a reader the clipboard holds nothing.
TEST_F(Clipboard, DispatchSlotAndPreview) {
  TAImage none;
  LoadImage(BuiltinLoaders(), std::string(kClipboardPath), 0, none, Opt);
  EXPECT_EQ(LoadStatusMessage(none.Status), "Incompatible file format");

  int32_t asked = 0;
  SetClipboardReader([&asked](TClipboardPicture& p) {
    ++asked;
    p = MakePixels(TClipboardPixels::Rgb, 3, 9);
  });
  TAImage image;
  LoadImage(BuiltinLoaders(), std::string(kClipboardPath), 0, image, Opt);
  ASSERT_TRUE(LoadSucceeded(image.Status));
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(image.Width(), 3);
  EXPECT_EQ(image.Header.Text().find("COMMENT"), std::string::npos);

  TAImage other;
  LoadImage(BuiltinLoaders(), Dir.Write("x.dat", "data"), 0, other, Opt);
  EXPECT_EQ(asked, 1);

  TBgraBitmap preview;
  ASSERT_TRUE(preview.SetSize(30, 30));
  TAImage shown;
  LoadImage(BuiltinLoaders(), std::string(kClipboardPath), 0, &preview, shown, Opt);
  ASSERT_TRUE(LoadSucceeded(shown.Status));
  EXPECT_EQ(shown.Status & kStatusPreviewDrawn, kStatusPreviewDrawn);
  EXPECT_EQ(preview.Width(), 30);
  EXPECT_EQ(preview.Height(), 20);
}
