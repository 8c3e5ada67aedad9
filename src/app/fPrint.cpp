#include "fPrint.h"

#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>

#include <algorithm>
#include <cmath>
#include <vector>

#include "QVMaster.h"
#include "ViewRender.h"
#include "base/Translate.h"
#include "fMain.h"
#include "image/ImaColor.h"

namespace orlu {

namespace {

QString TrQ(const char* s) { return QString::fromStdString(Tr(s)); }

// Rendering finer than this per side adds nothing visible on paper and would cost memory.
constexpr int32_t kMaxPrintSide = 4096;

}  // namespace

TFormPrint::TFormPrint(QWidget* parent) : QDialog(parent) {
  setWindowTitle(TrQ("Print"));
  Title_ = new QLineEdit(this);
  Title_->setMinimumWidth(260);
  Scale_ = new QDoubleSpinBox(this);
  Scale_->setRange(1, 100);
  Scale_->setDecimals(0);
  Scale_->setSuffix(" %");
  Scale_->setValue(100);
  auto* form = new QFormLayout;
  form->addRow(TrQ("Title"), Title_);
  form->addRow(TrQ("Scale"), Scale_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* all = new QVBoxLayout(this);
  all->addLayout(form);
  all->addWidget(buttons);
}

void TFormPrint::SetValues(const std::string& title, double scale) {
  Title_->setText(QString::fromStdString(title));
  Scale_->setValue(std::isfinite(scale) ? std::clamp(scale, 1.0, 100.0) : 100.0);
}

std::string TFormPrint::Title() const { return Title_->text().toStdString(); }
double TFormPrint::Scale() const { return Scale_->value(); }

bool PaintPrintPage(QPainter& p, const QRect& page, const TAImage& image,
                    const std::string& title, double scale) {
  const int32_t w = image.Width(), h = image.Height();
  if (w <= 0 || h <= 0 || page.width() <= 0 || page.height() <= 0) return false;
  if (!std::isfinite(scale)) scale = 100;
  scale = std::clamp(scale, 1.0, 100.0) / 100.0;

  QFont font = p.font();
  font.setPixelSize(std::max(8, page.height() / 40));
  p.setFont(font);
  const int32_t titleH = title.empty() ? 0 : p.fontMetrics().height() * 2;
  const QRect area(page.left(), page.top() + titleH, page.width(), page.height() - titleH);
  if (area.height() <= 0) return false;

  // The picture keeps the image's proportions inside the area.
  const double fit = std::min(double(area.width()) / w, double(area.height()) / h) * scale;
  const double outW = std::max(1.0, w * fit), outH = std::max(1.0, h * fit);
  const int32_t cols = int32_t(std::min<double>({double(w), outW, double(kMaxPrintSide)}));
  const int32_t rows = int32_t(std::min<double>({double(h), outH, double(kMaxPrintSide)}));
  std::vector<int32_t> xs = SpreadIndices(std::max(cols, 1), w);
  std::vector<int32_t> ys = SpreadIndices(std::max(rows, 1), h);
  FlipRows(ys, h);
  TViewRenderer renderer;
  TViewPicture pic;
  if (!renderer.Render(image, xs, ys, pic)) return false;

  const QRectF target(area.left() + (area.width() - outW) / 2, area.top() + (area.height() - outH) / 2,
                      outW, outH);
  const double sy = outH / pic.Height();
  p.save();
  p.setRenderHint(QPainter::SmoothPixmapTransform, false);
  for (int32_t i = 0; i < pic.BandCount(); ++i) {
    const TBgraBitmap& b = pic.Band(i);
    // The band's memory is 32-bit BGRA pixels, rows top-down: RGB32 without a copy.
    const QImage band(reinterpret_cast<const uchar*>(b.Pixels()), b.Width(), b.Height(),
                      qsizetype(b.Width()) * 4, QImage::Format_RGB32);
    const QRectF dst(target.left(), target.top() + pic.BandTop(i) * sy, target.width(),
                     b.Height() * sy);
    p.drawImage(dst, band);
  }
  p.restore();
  if (titleH > 0) {
    p.setPen(Qt::black);
    p.drawText(QRect(page.left(), page.top(), page.width(), titleH), Qt::AlignCenter,
               QString::fromStdString(title));
  }
  return true;
}

bool PrintImage(QPrinter& printer, const TAImage& image, const std::string& title, double scale) {
  printer.setDocName(QString::fromStdString(title));
  printer.setCreator("Orlu");
  QPainter p;
  if (!p.begin(&printer)) return false;
  const QRect page = printer.pageLayout().paintRectPixels(printer.resolution());
  // The painter's origin is the printable area's corner.
  const bool ok = PaintPrintPage(p, QRect(QPoint(0, 0), page.size()), image, title, scale);
  p.end();
  return ok;
}

void PrintDocument(TQVMaster& master, TAstroDocument* doc) {
  if (!master.ResolveDocument(doc)) return;
  TFormPrint dialog(&master.Main());
  static double lastScale = 100;
  dialog.SetValues(doc->Title(), lastScale);
  if (PrintDialogHook ? !PrintDialogHook(dialog) : dialog.exec() != QDialog::Accepted) return;
  lastScale = dialog.Scale();
  QPrinter printer(QPrinter::HighResolution);
  if (PrinterDialogHook) {
    if (!PrinterDialogHook(printer)) return;
  } else {
    QPrintDialog ask(&printer, &master.Main());
    if (ask.exec() != QDialog::Accepted) return;
  }
  if (!PrintImage(printer, doc->Image(), dialog.Title(), dialog.Scale()))
    master.Error(Tr("Print"), Tr("Printing failed"));
}

}  // namespace orlu
