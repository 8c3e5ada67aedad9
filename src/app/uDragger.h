// Mouse tools of the image window: one short-lived dragger per gesture (pan, drag zoom,
// rectangle, line, rectangle move, mask path, mask move, mask brush, mask fill pick,
// annotate), its
// rubber band drawn as an overlay of the panel, automatic scrolling and status texts.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPoint>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "DraggerLogic.h"

class QMouseEvent;
class QPainter;

namespace orlu {

class TAstroDocument;
class TImagePanel;
class TFormChild;

// What the mouse does in image windows: the mouse mode, the mask tool and its combination.
struct TMouseToolSettings {
  // The command layer's numbering: 1 is the line mode that no command sets.
  enum : int32_t { kNormal = 0, kLine = 1, kAnnotate = 2, kMask = 3 };
  int32_t MouseMode = kNormal;
  int32_t MaskTool = 0;  // 0 rectangle, 1 ellipse, 2 path, 3 fill, 4 value, 5 move, 6 brush
  TMaskMode Combine = TMaskMode::Replace;
  int32_t BrushSize = 20;     // image pixels across
  bool BrushSquare = false;   // figure: circle or square
  bool BrushErase = false;    // the brush takes weights away instead of adding them
};
TMouseToolSettings& MouseTools();

// Image coordinates (row 0 at the bottom, not clipped) of a viewport point of a panel.
QPoint PanelToImage(const TImagePanel& panel, QPoint viewportPos);
// Viewport point of the top-left corner of image pixel (x, y).
QPointF ImageToPanel(const TImagePanel& panel, double x, double y);

class TDragger {
 public:
  TDragger(TDraggerKind kind, TImagePanel& panel, TAstroDocument* doc);
  virtual ~TDragger() = default;

  TDraggerKind Kind() const { return Kind_; }
  // Initialises the fields at the first press.
  void Start(Qt::KeyboardModifiers mods, QPoint pos);
  virtual void Press(QPoint pos, Qt::MouseButton button, Qt::KeyboardModifiers mods, bool doubleClick);
  virtual void Move(QPoint pos, Qt::KeyboardModifiers mods);
  virtual void Release(QPoint pos, Qt::MouseButton button, Qt::KeyboardModifiers mods);
  // The rubber band, in viewport coordinates.
  virtual void DrawFeedback(QPainter& p) const { (void)p; }
  virtual bool IsClick() const { return DraggerIsClick(Kind_, MaxDistance_); }
  virtual std::string StatusText() const { return {}; }
  virtual bool Finished() const { return true; }
  // The automatic-scroll request of the last move.
  TAutoScroll ScrollX() const { return ScrollX_; }
  TAutoScroll ScrollY() const { return ScrollY_; }
  QPoint Current() const { return Cur_; }
  bool UsesAutoScroll() const;

 protected:
  void AutoScroll(QPoint pos);
  TImagePanel& Panel_;
  TAstroDocument* Doc_;
  TDraggerKind Kind_;
  int32_t StartCode_ = 0;
  double MaxDistance_ = 0;
  QPoint StartPt_;
  int32_t X1_ = 0, Y1_ = 0, X2_ = 0, Y2_ = 0;
  QPoint StartScroll_;
  QPoint Cur_;
  Qt::KeyboardModifiers Mods_;
  TAutoScroll ScrollX_, ScrollY_;
  bool DoubleClick_ = false;
};

// CreateDragger: kinds 0..9.
std::unique_ptr<TDragger> CreateDragger(TDraggerKind kind, TImagePanel& panel, TAstroDocument* doc);

// The image panel's tool: created at a press, fed the moves, freed at the release; the
// 50 ms automatic-scroll timer; the overlay (selection, mask outline, rubber band).
class TDraggerHost : public QObject {
  Q_OBJECT

 public:
  explicit TDraggerHost(TImagePanel& panel);
  ~TDraggerHost() override;

  // Each returns true when it handled the event.
  bool Press(QMouseEvent* e);
  bool Move(QMouseEvent* e);
  bool Release(QMouseEvent* e);
  // Selection, mask outline and the tool's band over the picture.
  void Paint(QPainter& p);
  // Ends the gesture without its effect (window or document closing).
  void EndTool();
  TDragger* Tool() const { return Tool_.get(); }
  // A right click without movement: the image window's popup menu at this viewport point.
  std::function<void(QPoint)> PopupHook;
  // Time of the window's activation, so that the first click does not measure.
  void NoteActivation() { Activated_.restart(); }

 private:
  void Finish(QPoint pos);
  void ScrollTick();
  TFormChild* Window() const;

  TImagePanel& Panel_;
  std::unique_ptr<TDragger> Tool_;
  QTimer Timer_;
  QElapsedTimer LastPress_;
  QPoint LastPressImage_{-1000000, -1000000};
  QElapsedTimer Activated_;
};

}  // namespace orlu
