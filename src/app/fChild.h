// Image windows: one per document, inside the main window's MDI area. The panel renders
// only what its viewport shows, at the window's zoom code.
#pragma once

#include <QAbstractScrollArea>
#include <QImage>
#include <QLabel>
#include <QPoint>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <vector>

#include "ViewRender.h"
#include "document/uAstroDoc.h"
#include "uAnnotationOverlay.h"
#include "uRecentList.h"

class QMdiSubWindow;
class QMenu;
class QTabBar;

namespace orlu {

class TDraggerHost;

class TFormMain;
class TFormChild;

// The image panel: scroll bars over the zoomed image, pan by dragging, the navigator.
class TImagePanel : public QAbstractScrollArea {
  Q_OBJECT

 public:
  explicit TImagePanel(TFormChild* owner);

  // Image size and code; keeps the image point at the viewport point anchor fixed (the
  // viewport centre when anchor is null).
  void SetView(int32_t width, int32_t height, int32_t code, const QPoint* anchor = nullptr);
  int32_t Code() const { return Code_; }
  // The zoomed image size in screen pixels.
  QSize ContentSize() const;
  // Top-left of the zoomed image in viewport coordinates (negative when scrolled).
  QPoint ContentOrigin() const;
  // Image pixel under a viewport point (row 0 at the bottom); false outside the image.
  bool ImagePoint(QPoint viewportPos, int32_t& x, int32_t& y) const;
  // Scrolls so that image pixel (x, y) is at the viewport centre.
  void CentreOn(int32_t x, int32_t y);
  bool ScrollBarShown() const;
  // Size of the last rendered picture: the shown part, never more than the viewport.
  QSize RenderedSize() const { return QSize(Bitmap_.Width(), Bitmap_.Height()); }
  // The rendered pixels are out of date (visualization or pixels changed).
  void Invalidate();
  void SetBackground(QColor c);

  bool NavigatorShown() const { return NavShown_; }
  void SetNavigatorShown(bool shown);
  void SetNavigatorSize(int32_t percent);
  void SetNavigatorTop(bool top);
  bool NavigatorTop() const { return NavTop_; }
  // Where the navigator is drawn, in viewport coordinates (empty when hidden).
  QRect NavigatorRect() const;
  int32_t ImageWidth() const { return ImageW_; }
  int32_t ImageHeight() const { return ImageH_; }
  // The mouse tools of this panel.
  TDraggerHost* Tools() const { return Tools_; }

 protected:
  void paintEvent(QPaintEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void scrollContentsBy(int dx, int dy) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void wheelEvent(QWheelEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void leaveEvent(QEvent* e) override;
  void contextMenuEvent(QContextMenuEvent* e) override;

 private:
  void UpdateScrollBars();
  void RenderVisible(const QRect& contentRect);
  void PaintNavigator(QPainter& p);

 public:
  // An image rectangle on the viewport.
  QRectF ScreenRect(const TPixelRect& r) const;

 private:
  void PanFromNavigator(QPoint viewportPos);

  TFormChild* Owner_;
  int32_t ImageW_ = 1;
  int32_t ImageH_ = 1;
  int32_t Code_ = 0;
  QColor Background_;
  // The last rendering: the content rectangle it shows, the code and the view serial.
  TViewRenderer Renderer_;
  TViewPicture Bitmap_;
  TAnnotationOverlay Overlay_;  // the annotations over Bitmap_
  QRect RenderedRect_;
  int32_t RenderedCode_ = 0;
  uint64_t RenderedSerial_ = 0;
  uint64_t Serial_ = 1;
  // Strips uncovered by scrolling, rendered on their own.
  TViewRenderer StripRenderer_;
  TViewPicture Strip_;
  TDraggerHost* Tools_ = nullptr;
  bool NavDragging_ = false;
  // Navigator: its picture is rendered once per view serial and size.
  bool NavShown_ = false;
  bool NavTop_ = true;
  int32_t NavPercent_ = 100;
  TViewRenderer NavRenderer_;
  TViewPicture NavBitmap_;
  uint64_t NavSerial_ = 0;
};

// The window's content: panel and bottom bar. Owns its document.
class TFormChild : public QWidget, public IImageWindow {
  Q_OBJECT

 public:
  TFormChild(TFormMain* main, TAstroDocument& doc);
  ~TFormChild() override;

  // Takes ownership of the document this window was created for.
  void AdoptDocument(std::unique_ptr<TAstroDocument> doc);
  TAstroDocument& Document() { return *DocRef_; }
  const TAstroDocument& Document() const { return *DocRef_; }
  void SetSubWindow(QMdiSubWindow* sub) { Sub_ = sub; }
  QMdiSubWindow* SubWindow() const { return Sub_; }
  TImagePanel* Panel() const { return Panel_; }

  // ---- Zoom ----
  int32_t ZoomCode() const { return Panel_->Code(); }
  void SetZoom(int32_t code, const QPoint* anchor = nullptr);
  void ZoomIn(bool shift, const QPoint* anchor = nullptr);
  void ZoomOut(bool shift, const QPoint* anchor = nullptr);
  void FitToWindow();
  void FitToImage();
  // Sizes the view for a new window at this code, or at the automatic code.
  void CreateView(int32_t code);
  void AutoView();

  // ---- Texts ----
  void UpdateCaption();
  void UpdateStatus();
  void ShowPixelInfo(int32_t x, int32_t y);
  QString CaptionString() const;
  // The bottom label's text (the view-range summary).
  QString BottomText() const;

  // The 16 × 16 picture of the document for the recent-files list.
  TPicture16 Picture16();
  // The document may be saved under its own name: a FITS path (with a folder) that names a
  // single-image file, not one image of a multi-image file (unless saved as FITS since).
  bool CanSaveUnderName() const;
  void SetSavedAsFits() { SavedAsFits_ = true; }
  // The window closes without its save question (the caller decided).
  void SetClosing() { Closing_ = true; }
  bool IsClosing() const { return Closing_; }

  QSize sizeHint() const override { return WantedSize_; }
  // The panel's background: the button face toward black by option WindowBrightness, black
  // with "Black border".
  void ApplyBackground();
  static QColor BackgroundColour(QColor face);

  // ---- IImageWindow ----
  double Zoom() const override { return ZoomCode(); }
  void SetThumbSize(int32_t size) override;
  bool ThumbnailShown() const override { return Panel_->NavigatorShown(); }
  void SetThumbnailShown(bool shown) override { Panel_->SetNavigatorShown(shown); }
  void ShowWindow() override;
  void RecreateView(double zoom) override;
  void CloseWindow() override;
  void DocumentChanged(TAstroDocument& doc, TDocumentEvent event) override;
  void DocumentClosing(TAstroDocument& doc) override;

  // Keys of the image window; false when the key is not one of them.
  bool HandleKey(int key, Qt::KeyboardModifiers mods, bool keypad);
  // The bottom bar: the view-range label, or in a maximized window the tab strip of every
  // image window.
  void UpdateBar();
  QTabBar* TabStrip() const { return Tabs_; }
  // The image window's popup menu (web links, copy, paste) at a viewport position.
  QMenu* BuildPopup();
  // The navigator's popup menu (size, colour, move, close).
  QMenu* BuildNavigatorPopup();
  // Copies the picture of the whole window, or of the visible panel, to the clipboard.
  void CopyWindowPicture(bool panelOnly);
  void MouseAt(int32_t x, int32_t y) { LastX_ = x, LastY_ = y; }

 protected:
  void closeEvent(QCloseEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  int32_t BarHeight() const;

  TFormMain* Main_;
  TAstroDocument* DocRef_;
  std::unique_ptr<TAstroDocument> Doc_;
  QMdiSubWindow* Sub_ = nullptr;
  TImagePanel* Panel_ = nullptr;
  QLabel* Bottom_ = nullptr;
  QTabBar* Tabs_ = nullptr;
  bool Rebuilding_ = false;
  QSize WantedSize_{170, 140};
  int32_t LastX_ = -1;
  int32_t LastY_ = -1;
  bool Closing_ = false;
  bool FromMultiImageFile_ = false;
  bool SavedAsFits_ = false;
};

}  // namespace orlu
