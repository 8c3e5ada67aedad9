// Raster formats on a 6000 x 4000 picture: PNG (RGB 16-bit) encode and decode beside OpenCV
// imwrite/imread at level 6, JPEG decode full and at 1/8 beside libjpeg used directly (what
// djpeg does), plain TIFF read beside libtiff. Files live in /tmp, in the page cache.
// Buffers: PNG fresh on both sides (imread always allocates; our image is new per run);
// JPEG and TIFF reused on both sides (one image object, one peer buffer).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <tiffio.h>

#include "formats/LoadStatus.h"
#include "formats/uPng.h"
#include "formats/uRaster.h"
#include "formats/uRasterPvt.h"
#include "image/ImaColor.h"
#include "visual/ImaRender.h"

#ifdef ORLU_BENCH_OPENCV
#include <opencv2/imgcodecs.hpp>
#endif

using namespace orlu;

namespace {

constexpr int32_t kWidth = 6000;
constexpr int32_t kHeight = 4000;

std::string TmpPath(const char* name) { return std::string("/tmp/orlu_bench_raster_") + name; }

// A sky-like colour frame: smooth background, noise and stars, in 16-bit levels.
void FillSky(TAImage& image) {
  image.SetSize(kWidth, kHeight, true);
  std::mt19937 gen(42);
  std::normal_distribution<float> noise(0.0f, 25.0f);
  TBWImage* planes[3] = {image.RedPlane.get(), image.MainPlane.get(), image.BluePlane.get()};
  for (int c = 0; c < 3; ++c) {
    float* d = planes[c]->Data;
    for (int32_t y = 0; y < kHeight; ++y)
      for (int32_t x = 0; x < kWidth; ++x)
        d[std::size_t(y) * kWidth + x] =
            std::nearbyint(1200.0f + 300.0f * c + 0.05f * float(x) + 0.03f * float(y) + noise(gen));
    std::uniform_int_distribution<int32_t> px(10, kWidth - 11), py(10, kHeight - 11);
    for (int s = 0; s < 400; ++s) {
      const int32_t cx = px(gen), cy = py(gen);
      for (int32_t dy = -5; dy <= 5; ++dy)
        for (int32_t dx = -5; dx <= 5; ++dx) {
          float& p = d[std::size_t(cy + dy) * kWidth + cx + dx];
          p = std::min(65535.0f, std::nearbyint(p + 30000.0f * std::exp(-float(dx * dx + dy * dy) / 4.0f)));
        }
    }
  }
}

struct TFiles {
  TAImage Sky;
  std::string Png = TmpPath("rgb16.png");
  std::string Jpeg = TmpPath("view.jpg");
  std::string Tiff = TmpPath("rgb16.tif");
#ifdef ORLU_BENCH_OPENCV
  cv::Mat Mat;  // the same picture, BGR, 16-bit
  std::string OpenCvPng = TmpPath("opencv.png");
#endif
  TFiles() {
    FillSky(Sky);
    WritePngFromImage(Sky, Png, "", nullptr, false);
    WriteTiffFromImage(Sky, false, Tiff);
    Sky.Visu.SetLinear(1000, 6000);
    TBgraBitmap view;
    view.SetSize(kWidth, kHeight);
    RenderImage(Sky, view);
    WriteViewJpeg(view, Jpeg, 91);
#ifdef ORLU_BENCH_OPENCV
    Mat.create(kHeight, kWidth, CV_16UC3);
    for (int32_t y = 0; y < kHeight; ++y) {
      auto* row = Mat.ptr<uint16_t>(y);
      const int32_t iy = kHeight - 1 - y;
      for (int32_t x = 0; x < kWidth; ++x) {
        row[3 * x] = uint16_t(Sky.BluePlane->GetPixelUnchecked(x, iy));
        row[3 * x + 1] = uint16_t(Sky.MainPlane->GetPixelUnchecked(x, iy));
        row[3 * x + 2] = uint16_t(Sky.RedPlane->GetPixelUnchecked(x, iy));
      }
    }
    cv::imwrite(OpenCvPng, Mat, {cv::IMWRITE_PNG_COMPRESSION, 6});
#endif
  }
};

TFiles& Files() {
  static TFiles f;
  return f;
}

// ---- PNG --------------------------------------------------------------------------------

void PngEncode_ours(benchmark::State& st) {
  TFiles& f = Files();
  const std::string out = TmpPath("out_ours.png");
  for (auto _ : st)
    if (!WritePngFromImage(f.Sky, out, "", nullptr, false)) st.SkipWithError("write failed");
}
BENCHMARK(PngEncode_ours)->Name("PngEncodeRGB16/ours")->Unit(benchmark::kMillisecond)->UseRealTime();

void PngDecode_ours(benchmark::State& st) {
  TFiles& f = Files();
  for (auto _ : st) {
    TAImage image;
    LoadPngFile(f.Png, image, false);
    if (!LoadSucceeded(image.Status)) st.SkipWithError("load failed");
    benchmark::DoNotOptimize(image.MainPlane->Data);
  }
}
BENCHMARK(PngDecode_ours)->Name("PngDecodeRGB16/ours")->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef ORLU_BENCH_OPENCV
void PngEncode_opencv(benchmark::State& st) {
  TFiles& f = Files();
  const std::string out = TmpPath("out_opencv.png");
  for (auto _ : st) cv::imwrite(out, f.Mat, {cv::IMWRITE_PNG_COMPRESSION, 6});
}
BENCHMARK(PngEncode_opencv)->Name("PngEncodeRGB16/opencv")->Unit(benchmark::kMillisecond)->UseRealTime();

void PngDecode_opencv(benchmark::State& st) {
  TFiles& f = Files();
  for (auto _ : st) {
    cv::Mat m = cv::imread(f.Png, cv::IMREAD_UNCHANGED);
    if (m.empty()) st.SkipWithError("imread failed");
    benchmark::DoNotOptimize(m.data);
  }
}
BENCHMARK(PngDecode_opencv)->Name("PngDecodeRGB16/opencv")->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

// ---- JPEG -------------------------------------------------------------------------------

void JpegDecode_ours(benchmark::State& st) {
  TFiles& f = Files();
  TAImage image;
  LoadJpeg(f.Jpeg, image);  // planes allocated and touched once: reused below
  for (auto _ : st) {
    image.Status = 0;
    LoadJpeg(f.Jpeg, image);
    if (!LoadSucceeded(image.Status)) st.SkipWithError("load failed");
  }
}
BENCHMARK(JpegDecode_ours)->Name("JpegDecode/ours")->Unit(benchmark::kMillisecond)->UseRealTime();

void JpegDecode8_ours(benchmark::State& st) {
  TFiles& f = Files();
  TRasterBitmap bitmap;
  for (auto _ : st)
    if (!DecodeJpeg(f.Jpeg, 8, true, bitmap)) st.SkipWithError("decode failed");
}
BENCHMARK(JpegDecode8_ours)->Name("JpegDecodeEighth/ours")->Unit(benchmark::kMillisecond)->UseRealTime();

// libjpeg as djpeg drives it: RGB rows into one reused buffer.
void LibJpegDecode(benchmark::State& st, int scale) {
  TFiles& f = Files();
  std::vector<uint8_t> buf(std::size_t(kWidth) * kHeight * 3);  // touched once, reused
  for (auto _ : st) {
    std::FILE* file = std::fopen(f.Jpeg.c_str(), "rb");
    jpeg_decompress_struct info{};
    jpeg_error_mgr err{};
    info.err = jpeg_std_error(&err);
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    info.scale_num = 1;
    info.scale_denom = unsigned(scale);
    if (scale > 1) {
      info.dct_method = JDCT_IFAST;
      info.do_fancy_upsampling = FALSE;
    }
    jpeg_start_decompress(&info);
    const std::size_t row = std::size_t(info.output_width) * info.output_components;
    buf.resize(row * info.output_height);
    while (info.output_scanline < info.output_height) {
      JSAMPROW rows[16];
      for (int k = 0; k < 16; ++k)
        rows[k] = buf.data() + row * std::min<std::size_t>(info.output_scanline + k, info.output_height - 1);
      jpeg_read_scanlines(&info, rows, 16);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    std::fclose(file);
  }
}
BENCHMARK_CAPTURE(LibJpegDecode, full, 1)->Name("JpegDecode/libjpeg")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(LibJpegDecode, eighth, 8)->Name("JpegDecodeEighth/libjpeg")->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- TIFF -------------------------------------------------------------------------------

void TiffRead_ours(benchmark::State& st) {
  TFiles& f = Files();
  TAImage image;
  LoadTiffFile(f.Tiff, image, false);  // planes allocated and touched once: reused below
  for (auto _ : st) {
    image.Status = 0;
    LoadTiffFile(f.Tiff, image, false);
    if (!LoadSucceeded(image.Status)) st.SkipWithError("load failed");
  }
}
BENCHMARK(TiffRead_ours)->Name("TiffReadRGB16/ours")->Unit(benchmark::kMillisecond)->UseRealTime();

void TiffRead_libtiff(benchmark::State& st) {
  TFiles& f = Files();
  TIFFSetWarningHandler(nullptr);
  std::vector<uint8_t> buf(std::size_t(kWidth) * kHeight * 6);  // touched once, reused
  for (auto _ : st) {
    TIFF* t = TIFFOpen(f.Tiff.c_str(), "r");
    if (!t) {
      st.SkipWithError("TIFFOpen failed");
      break;
    }
    const tstrip_t n = TIFFNumberOfStrips(t);
    const tmsize_t ss = TIFFStripSize(t);
    buf.resize(std::size_t(ss) * n);
    for (tstrip_t s = 0; s < n; ++s) TIFFReadEncodedStrip(t, s, buf.data() + std::size_t(ss) * s, ss);
    TIFFClose(t);
  }
}
BENCHMARK(TiffRead_libtiff)->Name("TiffReadRGB16/libtiff")->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
