#include "fStats.h"

#include <QApplication>
#include <QClipboard>
#include <QFileInfo>
#include <QHeaderView>
#include <QMenu>
#include <QTreeWidget>

#include <algorithm>

#include "base/Translate.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"

namespace orlu {

namespace {

QString TrQ(const char* s) { return QString::fromStdString(Tr(s)); }

}  // namespace

TFormStats::TFormStats(QWidget* mainWindow)
    : TChildWindow(mainWindow, TrQ("Statistics"), TToolKind::Statistics) {
  setObjectName("FormStats");
  List_ = new QTreeWidget(this);
  List_->setColumnCount(2);
  List_->setHeaderHidden(true);
  List_->setRootIsDecorated(false);
  List_->setSelectionMode(QAbstractItemView::SingleSelection);
  List_->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  List_->setContextMenuPolicy(Qt::CustomContextMenu);
  Popup_ = new QMenu(this);
  Popup_->addAction(TrQ("Copy"), this, [this] {
    const QTreeWidgetItem* it = List_->currentItem();
    if (it && QApplication::clipboard()) QApplication::clipboard()->setText(it->text(1));
  });
  Popup_->addAction(TrQ("Copy all"), this, [this] {
    if (QApplication::clipboard()) QApplication::clipboard()->setText(AllText());
  });
  Popup_->addAction(TrQ("Font_+"), this, [this] { ChangeFont(1); });
  Popup_->addAction(TrQ("Font_-"), this, [this] { ChangeFont(-1); });
  QMenu* fields = Popup_->addMenu(TrQ("Fields"));
  const char* names[] = {"Path", "Pixels", "Range", "Average"};
  for (int32_t i = 0; i < 4; ++i) {
    QAction* a = fields->addAction(TrQ(names[i]));
    a->setCheckable(true);
    const int32_t bit = 1 << i;
    connect(fields, &QMenu::aboutToShow, a, [a, bit] { a->setChecked(!(Options().Image.StatisticFields & bit)); });
    connect(a, &QAction::triggered, this, [this, bit] {
      Options().Image.StatisticFields ^= bit;
      Recompute();
    });
  }
  QAction* rt = Popup_->addAction(TrQ("Real-time"));
  rt->setCheckable(true);
  connect(rt, &QAction::toggled, this, [this](bool on) { RealTime_ = on; });
  connect(List_, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& p) { Popup_->popup(List_->viewport()->mapToGlobal(p)); });
  ApplyFont();
  resize(320, 380);
  Setup(List_, 90, 40, KindCount(TToolKind::Statistics) - 1);
  SetPinned(false);
}

TFormStats* TFormStats::ShowStatisticsWindow(QWidget* mainWindow, TAstroDocument* doc) {
  for (TChildWindow* w : All())
    if (w->Kind() == TToolKind::Statistics) {
      if (w->RolledUp()) w->ToggleRollUp();
      w->Bind(doc, false);
      w->show();
      w->raise();
      return static_cast<TFormStats*>(w);
    }
  auto* s = new TFormStats(mainWindow);
  s->Bind(doc, true);
  s->show();
  return s;
}

void TFormStats::Recompute(int32_t dx, int32_t dy) {
  List_->clear();
  Lines_.clear();
  TAstroDocument* d = Document();
  if (!d) {
    SetCaptionSuffix(QString());
    UpdateCaption();
    return;
  }
  TPixelRect sel = d->SelectionRect();
  sel.Left += dx, sel.Right += dx, sel.Bottom += dy, sel.Top += dy;
  const TImageStatistics s = ComputeStatistics(d->Image(), d->SelectionKind() == 1, sel);
  const std::string folder = QFileInfo(QString::fromStdString(d->FileName())).absolutePath().toStdString();
  Lines_ = StatisticsLines(d->Image(), s, d->FileName().empty() ? std::string() : folder,
                           Options().Image.StatisticFields);
  for (const TStatLine& l : Lines_)
    new QTreeWidgetItem(List_, {QString::fromStdString(l.Label + " = "), QString::fromStdString(l.Value)});
  SetCaptionSuffix(QString::fromStdString(StatisticsCaptionSuffix(s)));
  UpdateCaption();
}

void TFormStats::SelectionMoving(TAstroDocument* doc, int32_t dx, int32_t dy) {
  if (KindCount(TToolKind::Statistics) == 0) return;
  for (TChildWindow* w : All())
    if (w->Kind() == TToolKind::Statistics && w->Document() == doc) {
      auto* s = static_cast<TFormStats*>(w);
      if (s->RealTime_) s->Recompute(dx, dy);
    }
}

void TFormStats::Refresh(TDocumentEvent event) {
  if (event == TDocumentEvent::Statistics || event == TDocumentEvent::Views) Recompute();
}

QString TFormStats::AllText() const {
  QString out;
  for (const TStatLine& l : Lines_) out += QString::fromStdString(l.Label + " = " + l.Value) + "\n";
  return out;
}

void TFormStats::ChangeFont(int32_t step) {
  int32_t& d = Options().Misc.StatisticsFontDelta;
  d = std::clamp(d + step, -1, 2);
  ApplyFont();
}

void TFormStats::ApplyFont() {
  QFont f = font();
  f.setPointSize(9 + std::clamp(Options().Misc.StatisticsFontDelta, -1, 2));
  List_->setFont(f);
}

}  // namespace orlu
