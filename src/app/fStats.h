// The statistics window: figures of the whole image, the selected rectangle or the masked
// area of the bound document, with copy to the clipboard.
#pragma once

#include "stats/HistoStats.h"
#include "uChildWindows.h"

class QMenu;
class QTreeWidget;

namespace orlu {

class TFormStats : public TChildWindow {
  Q_OBJECT

 public:
  explicit TFormStats(QWidget* mainWindow);

  static TFormStats* ShowStatisticsWindow(QWidget* mainWindow, TAstroDocument* doc);
  // Recomputes; with a rectangle being moved (real-time) the selection shifted by dx, dy.
  void Recompute(int32_t dx = 0, int32_t dy = 0);
  // A selection rectangle of doc is being moved by (dx, dy): real-time windows follow.
  static void SelectionMoving(TAstroDocument* doc, int32_t dx, int32_t dy);

  const std::vector<TStatLine>& Lines() const { return Lines_; }
  // "Copy all": every line as "label = value".
  QString AllText() const;
  QTreeWidget* List() const { return List_; }
  bool RealTime() const { return RealTime_; }
  void SetRealTime(bool on) { RealTime_ = on; }
  void ChangeFont(int32_t step);

 protected:
  void LoadContent() override { Recompute(); }
  void Refresh(TDocumentEvent event) override;

 private:
  void ApplyFont();

  QTreeWidget* List_ = nullptr;
  QMenu* Popup_ = nullptr;
  std::vector<TStatLine> Lines_;
  bool RealTime_ = false;
};

}  // namespace orlu
