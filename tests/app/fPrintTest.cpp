// Printing without a printer: the page painted into a picture and printed into a PDF file
// carries the title and the image, at the asked scale.
#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPrinter>
#include <QTemporaryDir>

#include "fPrint.h"
#include "image/ImaColor.h"
#include "visual/ImaVisu.h"

using namespace orlu;

namespace {

// A 60 × 40 image: black left half, white right half once visualized over 0 .. 255.
std::unique_ptr<TAImage> TwoTone() {
  auto img = std::make_unique<TAImage>();
  img->SetSize(60, 40, false);
  for (int32_t y = 0; y < 40; ++y)
    for (int32_t x = 0; x < 60; ++x) img->MainPlane->Data[y * 60 + x] = x < 30 ? 0.0f : 255.0f;
  img->RefreshStatistics();
  SetVisualization(*img, img->Visu.TransferType, 255, 0);
  return img;
}

// Columns of rows [top, bottom) holding a pixel that is not the background.
int CountMarkedColumns(const QImage& page, int top, int bottom, QRgb background) {
  int n = 0;
  for (int x = 0; x < page.width(); ++x)
    for (int y = top; y < bottom; ++y)
      if (page.pixel(x, y) != background) {
        ++n;
        break;
      }
  return n;
}

QImage PaintedPage(const TAImage& img, const std::string& title, double scale) {
  QImage page(400, 600, QImage::Format_RGB32);
  page.fill(qRgb(128, 200, 128));
  QPainter p(&page);
  EXPECT_TRUE(PaintPrintPage(p, page.rect(), img, title, scale));
  p.end();
  return page;
}

TEST(Print, ThePageShowsTitleAndImageAtScale) {
  const std::unique_ptr<TAImage> img = TwoTone();
  const QRgb bg = qRgb(128, 200, 128);
  const QImage full = PaintedPage(*img, "M 42", 100);
  // Title band (600 / 40 = 15 px font, band twice the line height) at the top.
  EXPECT_GT(CountMarkedColumns(full, 0, 30, bg), 5);
  // The image spans the page's width at 100 % (it is wider than the page's proportion),
  // black on the left and white on the right.
  EXPECT_EQ(CountMarkedColumns(full, 60, 600, bg), 400);
  EXPECT_EQ(full.pixel(100, 330), qRgb(0, 0, 0));
  EXPECT_EQ(full.pixel(300, 330), qRgb(255, 255, 255));

  const QImage half = PaintedPage(*img, "", 50);
  EXPECT_EQ(CountMarkedColumns(half, 0, 600, bg), 200);
  EXPECT_EQ(half.pixel(150, 300), qRgb(0, 0, 0));
  EXPECT_EQ(half.pixel(250, 300), qRgb(255, 255, 255));
  EXPECT_EQ(half.pixel(50, 300), bg);
}

TEST(Print, APdfPageIsWrittenWithItsTitle) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = dir.filePath("page.pdf");
  QPrinter printer(QPrinter::HighResolution);
  printer.setOutputFormat(QPrinter::PdfFormat);
  printer.setOutputFileName(path);
  const std::unique_ptr<TAImage> img = TwoTone();
  ASSERT_TRUE(PrintImage(printer, *img, "NGC 7000", 80));
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QByteArray pdf = f.readAll();
  EXPECT_TRUE(pdf.startsWith("%PDF"));
  // The document information names the title (UTF-16 with its byte-order mark).
  EXPECT_TRUE(pdf.contains(QByteArray("/Title (\xfe\xff", 10) +
                           QByteArray::fromHex("004e0047004300200037003000300030")));
  EXPECT_TRUE(pdf.contains("/Image"));
}

TEST(Print, TheDialogHoldsTitleAndClampedScale) {
  TFormPrint dialog;
  dialog.SetValues("Moon", 250);
  EXPECT_EQ(dialog.Title(), "Moon");
  EXPECT_EQ(dialog.Scale(), 100.0);
  dialog.SetValues("Moon", 0);
  EXPECT_EQ(dialog.Scale(), 1.0);
}

}  // namespace
