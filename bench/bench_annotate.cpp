// 1000 mixed annotations (every kind in turn, texts with macros, every tenth selected) drawn
// onto a 4096 x 4096 surface: the figures, selection frames, macro expansion and text layout
// are ours; the text painter only measures (glyphs are the toolkit's work). Target: one
// frame, under 16 ms. "Annotations1000" has catalogue-sized figures of 20 to 60 pixels (the
// catalogue default is 30); "Annotations1000Large" 20 to 200 pixels. The floor beside them
// is a memcpy of the surface (64 MiB).
// Buffers: reused (the surface and the copy target are allocated and touched before timing).
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "annotate/uAnnotate.h"
#include "astrometry/ImaWCS.h"
#include "fits/ImaHeader.h"

using namespace orlu;

namespace {

constexpr int32_t kSide = 4096;
constexpr int kCount = 1000;

struct TMeasureOnly : TTextPainter {
  TTextExtent MeasureText(const std::string& text, const TTextFont& font) override {
    return {0.55 * font.Size * double(text.size()), font.Size};
  }
  void DrawText(TImg32&, double, double, const std::string&, const TTextFont&, uint32_t,
                double) override {}
};

struct TScene {
  TImg32 Surface;
  std::vector<uint32_t> Copy;
  TAnnotationList List;
  TFitsStrings Header;
  TWcs Wcs;
  TAnnParams Params;
  TMeasureOnly Painter;

  explicit TScene(int32_t maxSize) {
    Surface.SetSize(kSide, kSide);
    Surface.Fill(0xFF202020);
    Copy.assign(size_t(kSide) * kSide, 0);
    Header.InitMinimal();
    Header.SetReal("EXPTIME", true, 120);
    Header.SetString("OBJECT", "M 31", true);
    Wcs.InitWCS(kSide, kSide);
    Params.Header = &Header;
    Params.Wcs = &Wcs;
    Params.ImageWidth = Params.ImageHeight = kSide;
    Params.DocumentName = "m31_L_120s.fits";
    Params.JDUT = 2460018.5 + 0.9375;
    Params.JDLocal = Params.JDUT + 1.0 / 24;
    Params.Clock = [] { return 2460019.0; };
    LogoSource().Folder = "/logos";
    LogoSource().Read = [](const std::filesystem::path&, TImg32& pic) {
      pic.SetSize(128, 64);
      pic.Fill(0x00C0A080);
      return true;
    };
    static const char* kTexts[] = {
        "", "%OBJECT", "%FILENAME  %EXPTIME s", "UT %UT\"yyyy-mm-dd hh:nn:ss\"",
        "%PRA %PDEC", "Centre %CRA %CDEC\rLocal %LT\"hh:nn\"", "%TIME\"hh:nn\" now", "M31"};
    std::mt19937 rng(7);
    std::uniform_int_distribution<int32_t> pos(0, kSide - 1), size(20, maxSize);
    for (int i = 0; i < kCount; ++i) {
      auto a = std::make_unique<TAnnotation>();
      a->Kind = i % kAnnotationKinds;
      const int32_t x = pos(rng), y = pos(rng);
      a->SetRect({x, y, x + size(rng), y + size(rng)});
      a->Text = kTexts[i % 8];
      a->TextPos = uint8_t(i % 6);
      a->Style = uint32_t(i % 8);
      a->Transparency = (i % 5) * 20;
      a->Sections = 1 + i % 5;
      if (a->Kind == akLogo) a->Logo.Load("logo.png");
      a->Selected = i % 10 == 0;
      List.Add(std::move(a));
    }
  }
};

TScene& Scene(int32_t maxSize) {
  static std::unique_ptr<TScene> small, large;
  std::unique_ptr<TScene>& s = maxSize > 60 ? large : small;
  if (!s) s = std::make_unique<TScene>(maxSize);
  return *s;
}

template <int32_t MaxSize>
void BM_Annotations1000_ours(benchmark::State& state) {
  TScene& s = Scene(MaxSize);
  for (auto _ : state) {
    s.List.Draw(s.Surface, s.Params, s.Painter);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kCount);
}
BENCHMARK_TEMPLATE(BM_Annotations1000_ours, 60)->Name("Annotations1000/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Annotations1000_ours, 200)->Name("Annotations1000Large/ours")->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Annotations1000_memcpy(benchmark::State& state) {
  TScene& s = Scene(60);
  for (auto _ : state) {
    std::memcpy(s.Copy.data(), s.Surface.Row(0), s.Copy.size() * sizeof(uint32_t));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * int64_t(s.Copy.size() * sizeof(uint32_t)));
}
BENCHMARK(BM_Annotations1000_memcpy)->Name("Annotations1000/memcpy")->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
