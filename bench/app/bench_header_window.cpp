// Opening the FITS header window on a 20000-card header (offscreen platform): window made,
// bound, text loaded and coloured, first frame painted. Beside it the floor of the same run:
// a bare QPlainTextEdit taking the same text and painting once.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QPlainTextEdit>

#include <clocale>
#include <cstdio>
#include <memory>

#include "fHeader.h"
#include "fMain.h"
#include "image/ImaColor.h"

using namespace orlu;

namespace {

constexpr int kCards = 20000;

struct TSetup {
  std::unique_ptr<TFormMain> Main;
  std::unique_ptr<TAstroDocument> Doc;
  QString Text;
  TSetup() {
    Main = std::make_unique<TFormMain>(QString());
    Main->resize(1400, 900);
    Main->show();
    Doc = TAstroDocument::NewDocument(100, 100, false, true);
    TFitsStrings& h = Doc->Image().Header;
    h.SetGeometry(100, 100, false, 16);
    char card[96];
    for (int i = 0; i < kCards - 7; ++i) {
      std::snprintf(card, sizeof card, "KEY%05d= %20d / comment of card %d", i % 100000, i, i);
      h.Add(card);
    }
    h.FinishEnd();
    for (int i = 0; i < h.Count(); ++i) Text += QString::fromLatin1(h[i].c_str()) + (i + 1 < h.Count() ? "\n" : "");
  }
};

TSetup& S() {
  static TSetup s;
  return s;
}

void BM_HeaderWindowOpen_ours(benchmark::State& st) {
  TSetup& s = S();
  for (auto _ : st) {
    auto* w = new TFormHeader(s.Main.get());
    w->Bind(s.Doc.get(), true);
    w->show();
    w->repaint();
    QApplication::processEvents();
    st.PauseTiming();
    delete w;
    QApplication::processEvents();
    st.ResumeTiming();
  }
}
BENCHMARK(BM_HeaderWindowOpen_ours)->Name("HeaderWindowOpen/ours")->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_HeaderWindowOpen_qt(benchmark::State& st) {
  TSetup& s = S();
  for (auto _ : st) {
    auto* e = new QPlainTextEdit;
    e->setLineWrapMode(QPlainTextEdit::NoWrap);
    e->resize(640, 420);
    e->setPlainText(s.Text);
    e->show();
    e->repaint();
    QApplication::processEvents();
    st.PauseTiming();
    delete e;
    QApplication::processEvents();
    st.ResumeTiming();
  }
}
BENCHMARK(BM_HeaderWindowOpen_qt)->Name("HeaderWindowOpen/qt")->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  std::setlocale(LC_NUMERIC, "C");
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
