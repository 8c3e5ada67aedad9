#include "fOptions.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include <cmath>
#include <cstdio>

#include "base/OrluMath.h"
#include "base/ProcessSwitches.h"
#include "base/TextNumbers.h"
#include "base/Translate.h"
#include "astrometry/LibAstro.h"
#include "fChild.h"
#include "fMain.h"

namespace orlu {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }
QString TrQ(const char* s) { return Q(Tr(s)); }

constexpr int32_t kMarkerColourDefault = 0x309830;
constexpr int32_t kGridColourDefault = 0x68BA68;

QFormLayout* Form(QWidget* w) {
  auto* f = new QFormLayout(w);
  f->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  return f;
}

}  // namespace

// ============================================================================ texts

std::string ColourText(int32_t colour) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "#%06X", unsigned(colour) & 0xFFFFFFu);
  return buf;
}

int32_t ColourFromText(std::string_view text, int32_t fallback) {
  std::string_view t = TrimView(text);
  if (!t.empty() && t.front() == '#') t.remove_prefix(1);
  if (t.size() != 6) return fallback;
  int32_t v = 0;
  for (char c : t) {
    const int d = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : -1;
    if (d < 0) return fallback;
    v = v * 16 + d;
  }
  return v;
}

std::string SiteAngleText(double degrees, bool longitude) {
  if (!std::isfinite(degrees)) return "?";
  int64_t s = 0;
  const double secs = std::fabs(degrees) * 3600.0;
  s = secs < 9e15 ? int64_t(std::nearbyint(secs)) : 0;
  char buf[40];
  std::snprintf(buf, sizeof buf, longitude ? "%c%03lld %02lld %02lld" : "%c%02lld %02lld %02lld",
                degrees < 0 ? '-' : '+', static_cast<long long>(s / 3600),
                static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
  return buf;
}

// ============================================================================ window

TFormOptions::TFormOptions(TFormMain* main) : QDialog(main), Main_(main) {
  setObjectName("FormOptions");
  setWindowTitle(TrQ("Options"));
  Pages = new QTabWidget(this);
  BuildOptionsPage();
  BuildFilesPage();
  BuildObserverPage();
  BuildRawPage();
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setText(TrQ("OK"));
  buttons->button(QDialogButtonBox::Cancel)->setText(TrQ("Cancel"));
  auto* defaults = buttons->addButton(TrQ("Default values"), QDialogButtonBox::ResetRole);
  connect(defaults, &QPushButton::clicked, this, [this] { Defaults(Pages->currentIndex()); });
  connect(buttons, &QDialogButtonBox::accepted, this, [this] {
    if (Accept()) accept();
  });
  connect(buttons, &QDialogButtonBox::rejected, this, [this] {
    Cancel();
    reject();
  });
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Pages);
  layout->addWidget(buttons);
}

void TFormOptions::Remember(QWidget* w, const char* caption) { Named_.emplace_back(QString(caption), w); }

QWidget* TFormOptions::Find(const QString& caption) const {
  for (const auto& [c, w] : Named_)
    if (c == caption) return w;
  return nullptr;
}

QLineEdit* TFormOptions::Edit(const QString& caption) const {
  return qobject_cast<QLineEdit*>(Find(caption));
}

QCheckBox* TFormOptions::Check(const QString& caption) const {
  return qobject_cast<QCheckBox*>(Find(caption));
}

QCheckBox* TFormOptions::AddCheck(QWidget* parent, int page, const char* caption,
                                  std::function<bool&(TQVOptions&)> field, bool inverted) {
  auto* cb = new QCheckBox(TrQ(caption), parent);
  Remember(cb, caption);
  Bindings_.push_back(
      {page,
       [cb, field, inverted](const TQVOptions& o) {
         cb->setChecked(field(const_cast<TQVOptions&>(o)) != inverted);
       },
       [cb, field, inverted](TQVOptions& o) {
         field(o) = cb->isChecked() != inverted;
         return std::string();
       }});
  return cb;
}

QLineEdit* TFormOptions::AddNumber(QWidget* parent, int page, const char* caption,
                                   std::function<double(const TQVOptions&)> get,
                                   std::function<void(TQVOptions&, double)> set,
                                   TAskNumber range) {
  auto* e = new QLineEdit(parent);
  e->setMaximumWidth(120);
  Remember(e, caption);
  Bindings_.push_back({page,
                       [e, get, range](const TQVOptions& o) {
                         e->setText(Q(AskValueText(get(o), range.Integer)));
                       },
                       [e, set, range, caption](TQVOptions& o) {
                         const auto v = ParseAskValue(e->text().toStdString(), range);
                         if (!v) return Tr(caption);
                         set(o, *v);
                         return std::string();
                       }});
  return e;
}

QLineEdit* TFormOptions::AddText(QWidget* parent, int page, const char* caption,
                                 std::function<std::string&(TQVOptions&)> field) {
  auto* e = new QLineEdit(parent);
  Remember(e, caption);
  Bindings_.push_back({page,
                       [e, field](const TQVOptions& o) {
                         e->setText(Q(field(const_cast<TQVOptions&>(o))));
                       },
                       [e, field](TQVOptions& o) {
                         field(o) = e->text().toStdString();
                         return std::string();
                       }});
  return e;
}

// ---------------------------------------------------------------------------- page Options

void TFormOptions::BuildOptionsPage() {
  const int P = kPageOptions;
  auto* page = new QWidget;
  auto* grid = new QHBoxLayout(page);
  auto* left = new QVBoxLayout;
  auto* right = new QVBoxLayout;
  grid->addLayout(left);
  grid->addLayout(right);

  auto* ui = new QGroupBox(TrQ("User interface"), page);
  QFormLayout* f = Form(ui);
  auto* icons = new QComboBox(ui);
  icons->addItems({TrQ("Automatic"), "20", "24", "28", "36"});
  Remember(icons, "Icons");
  Bindings_.push_back({P, [icons](const TQVOptions& o) { icons->setCurrentIndex(std::clamp(o.Misc.IconsMode, 0, 4)); },
                       [icons](TQVOptions& o) {
                         o.Misc.IconsMode = icons->currentIndex();
                         return std::string();
                       }});
  f->addRow(TrQ("Icons"), icons);
  connect(icons, &QComboBox::activated, this, [this](int i) {
    Options().Misc.IconsMode = i;
    if (Main_) Main_->ApplyIconSize();
  });
  f->addRow(AddCheck(ui, P, "Big fonts", [](TQVOptions& o) -> bool& { return o.Misc.BigFonts; }));
  QLineEdit* desktop = AddNumber(
      ui, P, "Desktop", [](const TQVOptions& o) { return o.Misc.DesktopBrightness; },
      [](TQVOptions& o, double v) { o.Misc.DesktopBrightness = v; }, TAskNumber{true, 0, 100});
  QLineEdit* border = AddNumber(
      ui, P, "Image border", [](const TQVOptions& o) { return o.Misc.WindowBrightness; },
      [](TQVOptions& o, double v) { o.Misc.WindowBrightness = v; }, TAskNumber{true, 0, 100});
  f->addRow(TrQ("Desktop"), desktop);
  f->addRow(TrQ("Image border"), border);
  connect(border, &QLineEdit::textEdited, this, [this] { Preview(); });
  connect(desktop, &QLineEdit::textEdited, this, [this] { Preview(); });
  auto* wheelZoom = new QRadioButton(TrQ("Change zoom"), ui);
  auto* wheelVisu = new QRadioButton(TrQ("Change visualization"), ui);
  Remember(wheelZoom, "Change zoom");
  Remember(wheelVisu, "Change visualization");
  Bindings_.push_back({P,
                       [wheelZoom, wheelVisu](const TQVOptions& o) {
                         wheelZoom->setChecked(o.Misc.ZoomWithWheel);
                         wheelVisu->setChecked(!o.Misc.ZoomWithWheel);
                       },
                       [wheelZoom](TQVOptions& o) {
                         o.Misc.ZoomWithWheel = wheelZoom->isChecked();
                         return std::string();
                       }});
  f->addRow(TrQ("Mouse wheel"), wheelZoom);
  f->addRow(QString(), wheelVisu);
  f->addRow(AddCheck(ui, P, "CTRL to zoom", [](TQVOptions& o) -> bool& { return o.Misc.ZoomWithCTRL; }));
  connect(wheelVisu, &QRadioButton::toggled, this, [this] { UpdateEnabled(); });
  f->addRow(AddCheck(ui, P, "Always 100% at file opening",
                     [](TQVOptions& o) -> bool& { return o.File.Autozoom; }, true));
  f->addRow(AddCheck(ui, P, "Modify window size",
                     [](TQVOptions& o) -> bool& { return o.Image.ZoomFitToImage; }));
  f->addRow(AddCheck(ui, P, "h , m , s", [](TQVOptions& o) -> bool& { return o.Misc.CoordsHMS; }));
  f->addRow(AddCheck(ui, P, "Degrees", [](TQVOptions& o) -> bool& { return o.Misc.CoordsDegrees; }));
  left->addWidget(ui);

  auto* proc = new QGroupBox(TrQ("Image processing"), page);
  f = Form(proc);
  f->addRow(AddCheck(proc, P, "Fractional alignment",
                     [](TQVOptions& o) -> bool& { return o.Image.FractionalAlign; }));
  f->addRow(new QLabel(TrQ("Create new image for"), proc));
  f->addRow(AddCheck(proc, P, "Crop", [](TQVOptions& o) -> bool& { return o.Image.DuplicateCrop; }));
  f->addRow(AddCheck(proc, P, "Resize and Binning",
                     [](TQVOptions& o) -> bool& { return o.Image.DuplicateResizeBinning; }));
  f->addRow(AddCheck(proc, P, "Rotation", [](TQVOptions& o) -> bool& { return o.Image.DuplicateRotation; }));
  f->addRow(AddCheck(proc, P, "One-image elaborations",
                     [](TQVOptions& o) -> bool& { return o.Image.DuplicateOneOps; }));
  f->addRow(AddCheck(proc, P, "Two-images elaborations",
                     [](TQVOptions& o) -> bool& { return o.Image.DuplicateTwoOps; }));
  auto* background = new QRadioButton(TrQ("Equal background"), proc);
  auto* constant = new QRadioButton(TrQ("Constant"), proc);
  Remember(background, "Equal background");
  Remember(constant, "Constant");
  Bindings_.push_back({P,
                       [background, constant](const TQVOptions& o) {
                         background->setChecked(o.Image.OutSideMode == omBackground);
                         constant->setChecked(o.Image.OutSideMode != omBackground);
                       },
                       [background](TQVOptions& o) {
                         o.Image.OutSideMode = background->isChecked() ? omBackground : omConstant;
                         return std::string();
                       }});
  QLineEdit* outside = AddNumber(
      proc, P, "Value outside the image", [](const TQVOptions& o) { return o.Image.OutSideValue; },
      [](TQVOptions& o, double v) { o.Image.OutSideValue = v; }, TAskNumber{false, -1e30, 1e30});
  f->addRow(TrQ("Value outside the image"), background);
  f->addRow(constant, outside);
  connect(background, &QRadioButton::toggled, this, [this] { UpdateEnabled(); });
  QCheckBox* sse = AddCheck(proc, P, "Enable SIMD instructions",
                            [](TQVOptions& o) -> bool& { return o.Misc.PermitSSE; });
  f->addRow(sse);
  f->addRow(AddCheck(proc, P, "Enable Multithreading", [](TQVOptions& o) -> bool& { return o.Misc.PermitMT; }));
  left->addWidget(proc);

  auto* marks = new QGroupBox(TrQ("Orientation marks"), page);
  f = Form(marks);
  f->addRow(AddCheck(marks, P, "Sun position", [](TQVOptions& o) -> bool& { return o.Image.SunMarker; }));
  f->addRow(AddCheck(marks, P, "Scale", [](TQVOptions& o) -> bool& { return o.Image.ScaleMarker; }));
  // The two grid boxes are stored only when the user touched them.
  auto* coords = new QCheckBox(TrQ("Coordinates"), marks);
  auto* equ = new QCheckBox(TrQ("Equatorial grid"), marks);
  Remember(coords, "Coordinates");
  Remember(equ, "Equatorial grid");
  Bindings_.push_back({P,
                       [this, coords, equ](const TQVOptions& o) {
                         coords->setChecked(o.Image.GridCoordinates);
                         equ->setChecked(o.Image.GridMarker);
                         GridTouched_ = false;
                       },
                       [this, coords, equ](TQVOptions& o) {
                         if (GridTouched_) {
                           o.Image.GridCoordinates = coords->isChecked();
                           o.Image.GridMarker = equ->isChecked();
                         }
                         return std::string();
                       }});
  connect(coords, &QCheckBox::clicked, this, [this] { GridTouched_ = true; });
  connect(equ, &QCheckBox::clicked, this, [this] {
    GridTouched_ = true;
    UpdateEnabled();
  });
  f->addRow(coords);
  f->addRow(equ, AddNumber(marks, P, "Sections", [](const TQVOptions& o) { return o.Image.GridEqu; },
                           [](TQVOptions& o, double v) { o.Image.GridEqu = v; }, TAskNumber{false, 0.1, 100}));
  f->addRow(TrQ("Size"), AddNumber(marks, P, "Size", [](const TQVOptions& o) { return double(o.Image.MarkerSize); },
                                   [](TQVOptions& o, double v) { o.Image.MarkerSize = int32_t(v); },
                                   TAskNumber{true, 10, 1000}));
  // Colours are shown as texts; an unreadable one stores the default colour.
  auto* colour = new QLineEdit(marks);
  Remember(colour, "Color");
  Bindings_.push_back({P, [colour](const TQVOptions& o) { colour->setText(Q(ColourText(o.Image.MarkerColor))); },
                       [colour](TQVOptions& o) {
                         o.Image.MarkerColor = ColourFromText(colour->text().toStdString(), kMarkerColourDefault);
                         return std::string();
                       }});
  auto* pick = new QPushButton("...", marks);
  connect(pick, &QPushButton::clicked, this, [this, colour] {
    const int32_t c = ColourFromText(colour->text().toStdString(), kMarkerColourDefault);
    const QColor chosen = QColorDialog::getColor(QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF), this);
    if (chosen.isValid())
      colour->setText(Q(ColourText(chosen.red() | (chosen.green() << 8) | (chosen.blue() << 16))));
  });
  auto* colourRow = new QHBoxLayout;
  colourRow->addWidget(colour);
  colourRow->addWidget(pick);
  f->addRow(TrQ("Color"), colourRow);
  auto* font = new QFontComboBox(marks);
  Remember(font, "Font");
  Bindings_.push_back({P, [font](const TQVOptions& o) { font->setCurrentFont(QFont(Q(o.Image.MarkerFontName))); },
                       [font](TQVOptions& o) {
                         o.Image.MarkerFontName = font->currentFont().family().toStdString();
                         return std::string();
                       }});
  f->addRow(TrQ("Font"), font);
  f->addRow(TrQ("Font size"), AddNumber(marks, P, "Font size",
                                        [](const TQVOptions& o) { return double(o.Image.MarkerFontSize); },
                                        [](TQVOptions& o, double v) { o.Image.MarkerFontSize = int32_t(v); },
                                        TAskNumber{true, 4, 96}));
  f->addRow(AddCheck(marks, P, "B", [](TQVOptions& o) -> bool& { return o.Image.MarkerBold; }),
            AddCheck(marks, P, "I", [](TQVOptions& o) -> bool& { return o.Image.MarkerItalic; }));
  f->addRow(AddCheck(marks, P, "Save into image (JPG, TIF ..)", [](TQVOptions& o) -> bool& { return o.File.SaveMarks; }));
  connect(Check("Save into image (JPG, TIF ..)"), &QCheckBox::toggled, this, [this] { UpdateEnabled(); });
  f->addRow(TrQ("Scale"), AddNumber(marks, P, "Save scale",
                                    [](const TQVOptions& o) { return double(o.Image.MarkerSaveSize); },
                                    [](TQVOptions& o, double v) { o.Image.MarkerSaveSize = int32_t(v); },
                                    TAskNumber{true, 10, 1000}));
  f->addRow(TrQ("Opacity"), AddNumber(marks, P, "Opacity",
                                      [](const TQVOptions& o) { return double(o.Image.MarkerSaveOpacity); },
                                      [](TQVOptions& o, double v) { o.Image.MarkerSaveOpacity = int32_t(v); },
                                      TAskNumber{true, 0, 100}));
  f->addRow(TrQ("Sections") + " X", AddNumber(marks, P, "Grid X", [](const TQVOptions& o) { return o.Image.GridX; },
                                             [](TQVOptions& o, double v) { o.Image.GridX = v; },
                                             TAskNumber{false, 0.1, 100}));
  f->addRow(TrQ("Sections") + " Y", AddNumber(marks, P, "Grid Y", [](const TQVOptions& o) { return o.Image.GridY; },
                                             [](TQVOptions& o, double v) { o.Image.GridY = v; },
                                             TAskNumber{false, 0.1, 100}));
  QLineEdit* gridColour = new QLineEdit(marks);
  Remember(gridColour, "Grid color");
  Bindings_.push_back({P, [gridColour](const TQVOptions& o) { gridColour->setText(Q(ColourText(o.Image.GridColor))); },
                       [gridColour](TQVOptions& o) {
                         o.Image.GridColor = ColourFromText(gridColour->text().toStdString(), kGridColourDefault);
                         return std::string();
                       }});
  f->addRow(TrQ("Color"), gridColour);
  right->addWidget(marks);
  Pages->addTab(page, TrQ("Options"));
}

// ---------------------------------------------------------------------------- page Files

void TFormOptions::BuildFilesPage() {
  const int P = kPageFiles;
  auto* page = new QWidget;
  QFormLayout* f = Form(page);
  const auto folderRow = [this, page, f](const char* caption, std::function<std::string&(TQVOptions&)> field) {
    QLineEdit* e = AddText(page, kPageFiles, caption, std::move(field));
    auto* pick = new QPushButton("...", page);
    connect(pick, &QPushButton::clicked, this, [this, e] {
      QString dir = QFileDialog::getExistingDirectory(this, QString(), e->text());
      if (dir.isEmpty()) return;
      if (!dir.endsWith('/')) dir += '/';
      e->setText(dir);
    });
    auto* row = new QHBoxLayout;
    row->addWidget(e);
    row->addWidget(pick);
    f->addRow(TrQ(caption), row);
    return e;
  };
  folderRow("Open images", [](TQVOptions& o) -> std::string& { return o.File.OpenDir; });
  folderRow("Save images", [](TQVOptions& o) -> std::string& { return o.File.SaveDir; });
  f->addRow(AddCheck(page, P, "Remember last folder", [](TQVOptions& o) -> bool& { return o.File.RememberLastFolder; }));
  f->addRow(AddCheck(page, P, "Open all images in floating point", [](TQVOptions& o) -> bool& { return o.File.OpenAsFloat; }));
  f->addRow(AddCheck(page, P, "Save processing history into FITS header",
                     [](TQVOptions& o) -> bool& { return o.File.SaveHistory; }));
  QCheckBox* compress = AddCheck(page, P, "Save all FITS images compressed",
                                 [](TQVOptions& o) -> bool& { return o.File.FitsCompress; });
  auto* warn = new QPushButton("!", page);
  warn->setMaximumWidth(30);
  connect(warn, &QPushButton::clicked, this, [this] {
    if (Report) Report(Tr("Save all FITS images compressed"), Tr("Compressed FITS may not be supported by older software."));
  });
  connect(compress, &QCheckBox::toggled, warn, &QWidget::setVisible);
  f->addRow(compress, warn);
  f->addRow(TrQ("JPEG compression"), AddNumber(page, P, "JPEG compression",
                                               [](const TQVOptions& o) { return double(o.File.JpegCompress); },
                                               [](TQVOptions& o, double v) { o.File.JpegCompress = int32_t(v); },
                                               TAskNumber{true, 1, 100}));
  QLineEdit* user = folderRow("User files (palettes, annotations, etc.)",
                              [](TQVOptions& o) -> std::string& { return o.File.UserFilesDir; });
  // A folder that does not exist is shown in red.
  connect(user, &QLineEdit::textChanged, user, [user](const QString& t) {
    user->setStyleSheet(t.isEmpty() || QFileInfo(t).isDir() ? QString() : "QLineEdit { color: red; }");
  });
  f->addRow(new QLabel(TrQ("Incompatible FITS"), page));
  f->addRow(AddCheck(page, P, "Use ROWORDER key for image orientation",
                     [](TQVOptions& o) -> bool& { return o.File.RowOrderFITS; }));
  f->addRow(AddCheck(page, P, "Convert unsigned data", [](TQVOptions& o) -> bool& { return o.File.AllowUnsignedFITS; }));
  f->addRow(TrQ("Time compensation (hours)"),
            AddNumber(page, P, "Time compensation (hours)", [](const TQVOptions& o) { return o.File.FITSTimeOffset; },
                      [](TQVOptions& o, double v) { o.File.FITSTimeOffset = v; }, TAskNumber{false, -48, 48}));
  Pages->addTab(page, TrQ("Files"));
}

// ---------------------------------------------------------------------------- page Observer

void TFormOptions::BuildObserverPage() {
  const int P = kPageObserver;
  auto* page = new QWidget;
  QFormLayout* f = Form(page);
  f->addRow(TrQ("Name"), AddText(page, P, "Name", [](TQVOptions& o) -> std::string& { return o.Observatory.Origin; }));
  f->addRow(TrQ("Observer"), AddText(page, P, "Observer", [](TQVOptions& o) -> std::string& { return o.Observatory.Observer; }));
  for (const bool lon : {true, false}) {
    const char* caption = lon ? "Longitude" : "Latitude";
    auto* e = new QLineEdit(page);
    Remember(e, caption);
    Bindings_.push_back({P,
                         [e, lon](const TQVOptions& o) {
                           e->setText(Q(SiteAngleText(lon ? o.Observatory.Lon : o.Observatory.Lat, lon)));
                         },
                         [e, lon, caption](TQVOptions& o) {
                           double v = 0;
                           const std::string t = e->text().toStdString();
                           if (!ParseAngle(t, v) || !std::isfinite(v) || std::fabs(v) > (lon ? 360.0 : 90.0))
                             return Tr(caption);
                           (lon ? o.Observatory.Lon : o.Observatory.Lat) = v;
                           return std::string();
                         }});
    f->addRow(TrQ(caption), e);
  }
  QCheckBox* geo = AddCheck(page, P, "Geocentric",
                            [](TQVOptions& o) -> bool& { return o.Observatory.UseCoordinatesParallax; }, true);
  connect(geo, &QCheckBox::toggled, this, [this] { UpdateEnabled(); });
  f->addRow(geo);
  f->addRow(TrQ("Telescope"), AddText(page, P, "Telescope", [](TQVOptions& o) -> std::string& { return o.Observatory.Telescope; }));
  const auto num = [&](const char* caption, double TObservatoryOptions::*m, double lo, double hi) {
    f->addRow(TrQ(caption), AddNumber(page, P, caption, [m](const TQVOptions& o) { return o.Observatory.*m; },
                                      [m](TQVOptions& o, double v) { o.Observatory.*m = v; },
                                      TAskNumber{false, lo, hi}));
  };
  num("Diameter", &TObservatoryOptions::Diameter, 0, 1e6);
  num("Eq. Focal", &TObservatoryOptions::Focal, 0, 1e7);
  f->addRow(TrQ("CCD Camera"), AddText(page, P, "CCD Camera", [](TQVOptions& o) -> std::string& { return o.Observatory.Camera; }));
  num("Field of view X", &TObservatoryOptions::CCDFieldX, 0, 1e5);
  num("Field of view Y", &TObservatoryOptions::CCDFieldY, 0, 1e5);
  num("Pixel scale X", &TObservatoryOptions::CCDScaleX, 0, 1e5);
  num("Pixel scale Y", &TObservatoryOptions::CCDScaleY, 0, 1e5);
  num("Angle", &TObservatoryOptions::CCDAngle, -360, 360);
  // Observatory files: the section of the values in the window, without the report text.
  auto* open = new QPushButton(TrQ("Open ..."), page);
  auto* save = new QPushButton(TrQ("Save ..."), page);
  const QString filter = TrQ("Observatory files") + " (*.txt);;" + TrQ("All files") + " (*)";
  connect(save, &QPushButton::clicked, this, [this, filter] {
    TQVOptions o = Options();
    if (!StoreTo(o)) return;
    const QString dir = Q(Options().UserSubfolder(TUserFolder::Observatory).string());
    const QString path = QFileDialog::getSaveFileName(this, TrQ("Save"), dir, filter);
    std::string error;
    if (!path.isEmpty() && !SaveObservatoryFile(path.toStdString(), o.Observatory, &error) && Report)
      Report(Tr("ERROR"), error.empty() ? Tr("Cannot write file to disk") : error);
  });
  connect(open, &QPushButton::clicked, this, [this, filter] {
    const QString dir = Q(Options().UserSubfolder(TUserFolder::Observatory).string());
    const QString path = QFileDialog::getOpenFileName(this, TrQ("Open"), dir, filter);
    if (path.isEmpty()) return;
    if (auto obs = LoadObservatoryFile(path.toStdString())) {
      TQVOptions o = Options();
      StoreTo(o);
      o.Observatory = *obs;
      for (const TBinding& b : Bindings_)
        if (b.Page == kPageObserver) b.Load(o);
      UpdateEnabled();
    }
  });
  auto* files = new QHBoxLayout;
  files->addWidget(open);
  files->addWidget(save);
  f->addRow(files);
  f->addRow(new QLabel(TrQ("Imported files"), page));
  f->addRow(AddCheck(page, P, " Add observatory keywords to header when load",
                     [](TQVOptions& o) -> bool& { return o.File.AddObsKeysOnImport; }));
  f->addRow(AddCheck(page, P, " Add instrument keywords to header when load",
                     [](TQVOptions& o) -> bool& { return o.File.AddInsKeysOnImport; }));
  f->addRow(new QLabel(TrQ("FITS files"), page));
  f->addRow(AddCheck(page, P, " Add visualization keywords when save", [](TQVOptions& o) -> bool& { return o.File.AddVisuKeys; }));
  f->addRow(AddCheck(page, P, " Add polynomial keywords after reduction", [](TQVOptions& o) -> bool& { return o.File.AddPolyKeys; }));
  f->addRow(AddCheck(page, P, " Add observatory keywords to header when save",
                     [](TQVOptions& o) -> bool& { return o.File.AddObsKeysOnSave; }));
  f->addRow(AddCheck(page, P, " Add instrument keywords to header when save",
                     [](TQVOptions& o) -> bool& { return o.File.AddInsKeysOnSave; }));
  f->addRow(AddCheck(page, P, " Do not overwrite original keywords", [](TQVOptions& o) -> bool& { return o.File.DontOverwriteKeys; }));
  f->addRow(AddCheck(page, P, "Add CREATOR keyword", [](TQVOptions& o) -> bool& { return o.File.AddCreatorKey; }));
  Pages->addTab(page, TrQ("Observer"));
}

// ---------------------------------------------------------------------------- page RAW images

void TFormOptions::BuildRawPage() {
  const int P = kPageRaw;
  auto* page = new QWidget;
  QFormLayout* f = Form(page);
  f->addRow(new QLabel(TrQ("DSLR RAW"), page));
  QCheckBox* dc = AddCheck(page, P, "DCRAW demosaic on load", [](TQVOptions& o) -> bool& { return o.Dslr.DCColorSynthesis; });
  f->addRow(dc);
  f->addRow(AddCheck(page, P, "Software binning 2 x 2", [](TQVOptions& o) -> bool& { return o.Dslr.Binning2x2; }));
  f->addRow(AddCheck(page, P, "High quality interpolation (very slow)",
                     [](TQVOptions& o) -> bool& { return o.Dslr.HQInterpolation; }));
  QCheckBox* cam = AddCheck(page, P, "Camera white balance", [](TQVOptions& o) -> bool& { return o.Dslr.CameraWB; });
  QCheckBox* soft = AddCheck(page, P, "Software white balance", [](TQVOptions& o) -> bool& { return o.Dslr.SoftwareWB; });
  // One white balance at a time.
  connect(cam, &QCheckBox::clicked, soft, [soft](bool on) {
    if (on) soft->setChecked(false);
  });
  connect(soft, &QCheckBox::clicked, cam, [cam](bool on) {
    if (on) cam->setChecked(false);
  });
  f->addRow(cam);
  f->addRow(soft);
  connect(dc, &QCheckBox::toggled, this, [this] { UpdateEnabled(); });
  QLineEdit* dslrExt = AddText(page, P, "File extension", [](TQVOptions& o) -> std::string& { return o.Dslr.FileExtensions; });
  f->addRow(TrQ("File extension"), dslrExt);
  f->addRow(new QLabel(TrQ("Custom RAW"), page));
  QCheckBox* enable = AddCheck(page, P, "Enable", [](TQVOptions& o) -> bool& { return o.Raw.Enabled; });
  connect(enable, &QCheckBox::toggled, this, [this] { UpdateEnabled(); });
  f->addRow(enable);
  auto* kind = new QComboBox(page);
  const QString colour = TrQ("Color"), planes = TrQ("planes");
  kind->addItems({TrQ("Grayscale"), colour + " RGB", colour + " BGR", colour + " RGBa", colour + " BGRa",
                  colour + " RGB " + planes, colour + " BGR " + planes});
  Remember(kind, "Color list");
  Bindings_.push_back({P, [kind](const TQVOptions& o) { kind->setCurrentIndex(std::clamp(o.Raw.ImageKind, 0, 6)); },
                       [kind](TQVOptions& o) {
                         o.Raw.ImageKind = kind->currentIndex();
                         return std::string();
                       }});
  f->addRow(TrQ("Color"), kind);
  auto* bits = new QComboBox(page);
  bits->addItems({"8 Int", "16 Int", "32 Int", "32 Float"});
  Remember(bits, "Bits");
  Bindings_.push_back({P, [bits](const TQVOptions& o) { bits->setCurrentIndex(std::clamp(o.Raw.BitsKind, 0, 3)); },
                       [bits](TQVOptions& o) {
                         o.Raw.BitsKind = bits->currentIndex();
                         return std::string();
                       }});
  f->addRow(TrQ("Bits"), bits);
  f->addRow(AddCheck(page, P, "Unsigned", [](TQVOptions& o) -> bool& { return o.Raw.UnsignedValues; }),
            AddCheck(page, P, "PC", [](TQVOptions& o) -> bool& { return o.Raw.EndianPC; }));
  f->addRow(TrQ("Header size (bytes to skip)"),
            AddNumber(page, P, "Header size (bytes to skip)", [](const TQVOptions& o) { return double(o.Raw.DimHeader); },
                      [](TQVOptions& o, double v) { o.Raw.DimHeader = int32_t(v); }, TAskNumber{true, 0, 2e9}));
  f->addRow("X", AddNumber(page, P, "X", [](const TQVOptions& o) { return double(o.Raw.DimX); },
                           [](TQVOptions& o, double v) { o.Raw.DimX = int32_t(v); }, TAskNumber{true, 1, 30000}));
  f->addRow("Y", AddNumber(page, P, "Y", [](const TQVOptions& o) { return double(o.Raw.DimY); },
                           [](TQVOptions& o, double v) { o.Raw.DimY = int32_t(v); }, TAskNumber{true, 1, 30000}));
  f->addRow(AddCheck(page, P, "Flipped", [](TQVOptions& o) -> bool& { return o.Raw.YFlipped; }));
  QLineEdit* rawExt = AddText(page, P, "Custom file extension", [](TQVOptions& o) -> std::string& { return o.Raw.FileExt; });
  f->addRow(TrQ("File extension"), rawExt);
  f->addRow(AddCheck(page, P, "Priority", [](TQVOptions& o) -> bool& { return o.Raw.Priority; }));
  // Leaving an extension field puts it in the "*.ext" form.
  for (QLineEdit* e : {dslrExt, rawExt})
    connect(e, &QLineEdit::editingFinished, e, [e] { e->setText(Q(NormalizeExtensionField(e->text().toStdString()))); });
  Pages->addTab(page, TrQ("RAW images"));
}

// ---------------------------------------------------------------------------- behaviour

void TFormOptions::UpdateEnabled() {
  if (QWidget* w = Check("CTRL to zoom")) w->setEnabled(qobject_cast<QRadioButton*>(Find("Change visualization"))->isChecked());
  if (QWidget* w = Find("Value outside the image"))
    w->setEnabled(!qobject_cast<QRadioButton*>(Find("Equal background"))->isChecked());
  Check("Coordinates")->setEnabled(!Check("Equatorial grid")->isChecked());
  const bool saveMarks = Check("Save into image (JPG, TIF ..)")->isChecked();
  Find("Save scale")->setEnabled(saveMarks);
  Find("Opacity")->setEnabled(saveMarks);
  const bool geo = Check("Geocentric")->isChecked();
  Find("Longitude")->setEnabled(!geo);
  Find("Latitude")->setEnabled(!geo);
  const bool dc = Check("DCRAW demosaic on load")->isChecked();
  for (const char* c : {"Software binning 2 x 2", "High quality interpolation (very slow)", "Camera white balance",
                        "Software white balance"})
    Find(c)->setEnabled(dc);
  const bool raw = Check("Enable")->isChecked();
  for (const char* c : {"Color list", "Bits", "Unsigned", "PC", "Header size (bytes to skip)", "X", "Y", "Flipped",
                        "Custom file extension", "Priority"})
    Find(c)->setEnabled(raw);
}

void TFormOptions::Preview() {
  // The brightness fields apply at once to the windows; "Cancel" puts the old values back.
  const auto border = ParseAskValue(Edit("Image border")->text().toStdString(), TAskNumber{true, 0, 100});
  if (border) {
    Options().Misc.WindowBrightness = *border;
    Options().Misc.BlackBorder = false;
    if (Main_) Main_->Master().Images->ApplyBackground();
  }
  const auto desktop = ParseAskValue(Edit("Desktop")->text().toStdString(), TAskNumber{true, 0, 100});
  if (desktop) {
    Options().Misc.DesktopBrightness = *desktop;
    if (Main_) Main_->ApplyDesktopBrightness();
  }
}

void TFormOptions::LoadFrom(const TQVOptions& o) {
  for (const TBinding& b : Bindings_) b.Load(o);
  UpdateEnabled();
}

bool TFormOptions::StoreTo(TQVOptions& o) {
  TQVOptions result = o;
  for (const TBinding& b : Bindings_) {
    const std::string bad = b.Store(result);
    if (!bad.empty()) {
      Pages->setCurrentIndex(b.Page);
      if (Report) Report(bad, Tr("Incorrect value"));
      return false;
    }
  }
  // Readouts need at least one form of coordinates.
  if (!result.Misc.CoordsHMS && !result.Misc.CoordsDegrees) result.Misc.CoordsHMS = true;
  // Vector code can only be allowed where the processor has it.
  if (!CpuHasSSE2()) result.Misc.PermitSSE = false;
  o = result;
  return true;
}

bool TFormOptions::Accept() {
  const TImageOptions before = Options().Image;
  // The previewed values were written already; the stored ones are compared.
  if (!StoreTo(Options())) return false;
  Options().ApplyProcessSwitches();
  LastPage_ = Pages->currentIndex();
  const TImageOptions& after = Options().Image;
  const bool marksChanged =
      before.SunMarker != after.SunMarker || before.ScaleMarker != after.ScaleMarker ||
      before.GridMarker != after.GridMarker || before.GridCoordinates != after.GridCoordinates ||
      before.GridEqu != after.GridEqu || before.MarkerSize != after.MarkerSize ||
      before.MarkerColor != after.MarkerColor || before.MarkerFontName != after.MarkerFontName ||
      before.MarkerFontSize != after.MarkerFontSize || before.GridX != after.GridX ||
      before.GridY != after.GridY || before.GridColor != after.GridColor;
  if (Main_) {
    Main_->ApplyIconSize();
    Main_->ApplyDesktopBrightness();
    Main_->Master().Images->ApplyBackground();
    if (marksChanged) Main_->Master().Images->RefreshAll();
  }
  return true;
}

void TFormOptions::Cancel() {
  Options().Misc.DesktopBrightness = DesktopBrightness_;
  Options().Misc.WindowBrightness = WindowBrightness_;
  Options().Misc.IconsMode = IconsMode_;
  Options().Misc.BigFonts = BigFonts_;
  Options().Misc.BlackBorder = BlackBorder_;
  LastPage_ = Pages->currentIndex();
  if (Main_) {
    Main_->ApplyIconSize();
    Main_->ApplyDesktopBrightness();
    Main_->Master().Images->ApplyBackground();
  }
}

void TFormOptions::Defaults(int page) {
  const TQVOptions defaults;
  for (const TBinding& b : Bindings_)
    if (b.Page == page) b.Load(defaults);
  UpdateEnabled();
}

bool TFormOptions::Execute(bool rawPage) {
  DesktopBrightness_ = Options().Misc.DesktopBrightness;
  WindowBrightness_ = Options().Misc.WindowBrightness;
  IconsMode_ = Options().Misc.IconsMode;
  BigFonts_ = Options().Misc.BigFonts;
  BlackBorder_ = Options().Misc.BlackBorder;
  LoadFrom(Options());
  int page = LastPage_;
  if (rawPage)
    page = kPageRaw;
  else if (page == kPageRaw)
    page = kPageOptions;
  Pages->setCurrentIndex(page);
  return exec() == QDialog::Accepted;
}

}  // namespace orlu
