// Previews through the dispatch: fitting, pictures drawn by the decoding loaders, previews
// rendered from loaded images, and the line shown beneath them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <utime.h>

#include <memory>
#include <string>

#include "FormatsTestUtil.h"
#include "formats/LoadStatus.h"
#include "formats/uFiles.h"
#include "formats/uRaster.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"
#include "visual/ImaRender.h"

using namespace orlu;
using namespace orlu::testing_formats;

namespace {

class Preview : public ::testing::Test {
 protected:
  TTempDir Dir;
  TQVOptions Opt;
  // A preview load into a box of boxW x boxH.
  void LoadPreview(const std::string& path, int32_t boxW, int32_t boxH, TBgraBitmap& preview,
                   TAImage& image) {
    ASSERT_TRUE(preview.SetSize(boxW, boxH));
    LoadImage(BuiltinLoaders(), path, 0, &preview, image, Opt);
  }
};

uint32_t GrayPixel(uint32_t v) { return 0xFF000000u | v << 16 | v << 8 | v; }

}  // namespace

TEST(PreviewFit, SizesTable) {
  const struct {
    int32_t BoxW, BoxH, W, H, PW, PH;
  } cases[] = {
      {200, 200, 4000, 3000, 200, 150}, {200, 200, 3000, 4000, 150, 200},
      {200, 100, 4000, 3000, 133, 100}, {200, 100, 100, 10, 200, 20},
      {10, 10, 1, 30000, 1, 10},        {10, 10, 30000, 1, 10, 1},
      {1, 1, 5, 5, 1, 1},               {300, 300, 10, 5, 300, 150},
  };
  for (const auto& c : cases) {
    int32_t pw = 0, ph = 0;
    PreviewSize(c.BoxW, c.BoxH, c.W, c.H, pw, ph);
    EXPECT_EQ(pw, c.PW) << c.BoxW << "x" << c.BoxH << " " << c.W << "x" << c.H;
    EXPECT_EQ(ph, c.PH) << c.BoxW << "x" << c.BoxH << " " << c.W << "x" << c.H;
  }
}

// A large JPEG is decoded at an eighth and drawn by the loader; the header keeps the
// file's size and the image no pixels.
TEST_F(Preview, JpegIsDecodedReducedAndDrawnByTheLoader) {
  const int32_t w = 3300, h = 400;
  TBgraBitmap view;
  ASSERT_TRUE(view.SetSize(w, h));
  // Left half red, right half blue, in flat areas that survive compression.
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) view.SetPixel(x, y, x < w / 2 ? 0xFFC80000u : 0xFF0000C8u);
  const std::string path = Dir.Name("big.jpg");
  ASSERT_TRUE(WriteViewJpeg(view, path, 90));
  TBgraBitmap preview;
  TAImage image;
  LoadPreview(path, 200, 200, preview, image);
  ASSERT_TRUE(LoadSucceeded(image.Status));
  EXPECT_EQ(image.Status & kStatusPreviewDrawn, kStatusPreviewDrawn);
  EXPECT_EQ(image.Header.GetInt("NAXIS1"), w);
  EXPECT_EQ(image.Header.GetInt("NAXIS2"), h);
  EXPECT_EQ(image.Header.GetInt("NAXIS"), 3);  // colour
  EXPECT_EQ(preview.Width(), 200);
  EXPECT_EQ(preview.Height(), 200 * h / w);
  auto near = [](uint32_t c, uint32_t want) {
    for (int shift : {0, 8, 16})
      if (std::abs(int32_t((c >> shift) & 0xFF) - int32_t((want >> shift) & 0xFF)) > 12) return false;
    return true;
  };
  EXPECT_TRUE(near(preview.Pixel(20, 10), 0xFFC80000u)) << std::hex << preview.Pixel(20, 10);
  EXPECT_TRUE(near(preview.Pixel(180, 10), 0xFF0000C8u)) << std::hex << preview.Pixel(180, 10);
}

// Loaders that fill an image leave the preview to the dispatch: a nearest-sample reduction
// through the initial view (0…255 for 8-bit data, gray palette), without import keywords.
TEST_F(Preview, RenderedFromTheImageThroughItsView) {
  TAImage source;
  source.SetSize(40, 20, false);
  for (int32_t y = 0; y < 20; ++y)
    for (int32_t x = 0; x < 40; ++x) source.MainPlane->SetPixel(x, y, float(x * 6 + y));
  const std::string path = Dir.Name("d.png");
  ASSERT_TRUE(WritePngFromImage(source, path, "", nullptr, false));
  Opt.File.AddObsKeysOnImport = true;
  Opt.Observatory.Observer = "Someone";
  TBgraBitmap preview;
  TAImage image;
  LoadPreview(path, 10, 10, preview, image);
  ASSERT_TRUE(LoadSucceeded(image.Status));
  EXPECT_EQ(image.Status & kStatusPreviewDrawn, 0u);
  EXPECT_FALSE(image.Header.HasKey("OBSERVER"));
  ASSERT_EQ(preview.Width(), 10);
  ASSERT_EQ(preview.Height(), 5);
  // Preview pixel (i, j) samples image pixel (4i + 2, 4j + 2): the centre of its 4 x 4 cell.
  for (int32_t j = 0; j < 5; ++j)
    for (int32_t i = 0; i < 10; ++i)
      EXPECT_EQ(preview.Pixel(i, j), GrayPixel(uint32_t((4 * i + 2) * 6 + 4 * j + 2)))
          << i << "," << j;
  // An ordinary load of the same file gets the import keywords.
  TAImage full;
  LoadImage(BuiltinLoaders(), path, 0, full, Opt);
  EXPECT_EQ(full.Header.GetString("OBSERVER"), "Someone");
}

// A bitmap handed over in memory is drawn by the BMP loader, scaled up to fit the box.
TEST_F(Preview, HandedOverBitmapIsDrawnFitted) {
  auto b = std::make_unique<TRasterBitmap>();
  ASSERT_TRUE(b->Allocate(2, 3, 3));
  for (int32_t y = 0; y < 3; ++y)
    for (int32_t x = 0; x < 2; ++x) {
      uint8_t* p = b->Row(y) + 3 * x;
      p[0] = uint8_t(10 * x + 1), p[1] = uint8_t(50 * y + 2), p[2] = 200;
    }
  HandOverBitmap(std::move(b));
  TBgraBitmap preview;
  TAImage image;
  LoadPreview(std::string(kMemoryBitmapPath), 30, 30, preview, image);
  ASSERT_TRUE(LoadSucceeded(image.Status));
  EXPECT_EQ(image.Status & kStatusPreviewDrawn, kStatusPreviewDrawn);
  ASSERT_EQ(preview.Width(), 20);
  ASSERT_EQ(preview.Height(), 30);
  // Preview row 0 is the bottom: the picture's last row (y = 2).
  EXPECT_EQ(preview.Pixel(0, 0), 0xFF000000u | 200u << 16 | 102u << 8 | 1u);
  EXPECT_EQ(preview.Pixel(19, 29), 0xFF000000u | 200u << 16 | 2u << 8 | 11u);
}

TEST_F(Preview, FailedPreviewLeavesAFailureStatus) {
  TBgraBitmap preview;
  TAImage image;
  LoadPreview(Dir.Write("x.jpg", "not a jpeg at all"), 50, 50, preview, image);
  EXPECT_FALSE(LoadSucceeded(image.Status));
}

TEST(PreviewLine, SizeDepthDateExposureTemperature) {
  TTempDir dir;
  const std::string path = dir.Write("f.fits", "x");
  TAImage image;
  image.SetSize(7, 5, false);
  image.Header.SetGeometry(7, 5, false, -32);
  image.Header.SetReal("EXPOSURE", true, 30);
  image.Header.SetReal("CCD-TEMP", true, -10.3);
  const std::string line = PreviewInfoLine(image, path);
  // "yyyy-mm-dd hh:nn" between the size and the exposure.
  const std::string head = "7 x 5 x 32    ", tail = "     30s   -10.3\u00B0";
  ASSERT_EQ(line.size(), head.size() + 16 + tail.size()) << line;
  EXPECT_EQ(line.substr(0, head.size()), head);
  EXPECT_EQ(line.substr(head.size() + 16), tail);
  const std::string date = line.substr(head.size(), 16);
  for (size_t i = 0; i < date.size(); ++i) {
    const char want = i == 4 || i == 7 ? '-' : i == 10 ? ' ' : i == 13 ? ':' : '0';
    if (want == '0') EXPECT_TRUE(date[i] >= '0' && date[i] <= '9') << date;
    else EXPECT_EQ(date[i], want) << date;
  }
  // EXPTIME wins over EXPOSURE; unknown values and dates stay empty.
  image.Header.SetReal("EXPTIME", true, 0.001);
  image.Header.DeleteKey("CCD-TEMP");
  EXPECT_EQ(PreviewInfoLine(image, dir.Name("missing")), "7 x 5 x 32       0.001s   ");
}
