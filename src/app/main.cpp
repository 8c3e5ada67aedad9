// orlu: start-up. Processor check, application object, single-instance check with the
// hand-over of files to a running copy, the main window, then the files of the command line.
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QMessageBox>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>

#include <clocale>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "base/ProcessSwitches.h"
#include "base/Translate.h"
#include "fChild.h"
#include "annotate/Img32.h"
#include "annotate/uAnnotate.h"
#include "fMain.h"
#include "fSplash.h"
#include "image/LibThreads.h"
#include "options/uQuorvane.h"
#include "uSingleInstance.h"
#include "uStartup.h"

using namespace orlu;

namespace {

// $XDG_CONFIG_HOME/orlu (default ~/.config/orlu).
QString ConfigFolder() {
  return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
      .filePath("orlu");
}

bool IsFile(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(std::filesystem::path(path), ec);
}

std::string CurrentFolder() {
  std::error_code ec;
  const std::filesystem::path p = std::filesystem::current_path(ec);
  return ec ? std::string("/") : p.string();
}

// Logos of annotations: the "Logo" folder of the user files, pictures read by Qt. The
// picture's alpha becomes the transparency byte of the drawing surface (0 opaque).
void SetLogoSource() {
  TLogoSource& src = LogoSource();
  src.Folder = Options().UserSubfolder(TUserFolder::Logo);
  src.Read = [](const std::filesystem::path& path, TImg32& out) {
    QImage img;
    if (!img.load(QString::fromStdString(path.string()))) return false;
    img = img.convertToFormat(QImage::Format_ARGB32);
    try {
      out.SetSize(img.width(), img.height());
    } catch (const std::exception&) {
      return false;
    }
    for (int y = 0; y < img.height(); ++y) {
      // Row 0 of the surface is the bottom row.
      const QRgb* from = reinterpret_cast<const QRgb*>(img.constScanLine(img.height() - 1 - y));
      uint32_t* to = out.Row(y);
      for (int x = 0; x < img.width(); ++x)
        to[x] = (from[x] & 0x00FFFFFFu) | (uint32_t(255 - qAlpha(from[x])) << 24);
    }
    return true;
  };
}

// Registry values "WindowX/Y/W/H" of section "Misc".
TPlacementUse RestorePlacement(TFormMain& main) {
  QSettings reg("Tarvix", "OrluFV");
  reg.beginGroup("Misc");
  const TPlacement stored{reg.value("WindowX", 0).toInt(), reg.value("WindowY", 0).toInt(),
                          reg.value("WindowW", 0).toInt(), reg.value("WindowH", 0).toInt()};
  const TPlacementUse use = PlacementAtStart(stored);
  if (use == TPlacementUse::Bounds) main.setGeometry(stored.X, stored.Y, stored.W, stored.H);
  return use;
}

void StorePlacement(TFormMain& main) {
  QSettings reg("Tarvix", "OrluFV");
  reg.beginGroup("Misc");
  const QRect g = main.isMaximized() ? main.normalGeometry() : main.geometry();
  QSize screen(9999, 9999);
  if (QScreen* s = main.screen()) screen = s->availableGeometry().size();
  const TPlacement p = PlacementToStore({g.x(), g.y(), g.width(), g.height()}, main.isMaximized(),
                                        screen.width(), screen.height());
  reg.setValue("WindowX", p.X);
  reg.setValue("WindowY", p.Y);
  reg.setValue("WindowW", p.W);
  reg.setValue("WindowH", p.H);
  // The language is kept as it was; the program folder is recorded.
  reg.setValue("Language", reg.value("Language", "EN").toString());
  reg.setValue("LastPath", QString::fromStdString(Options().ProgramFolder.string()));
}

}  // namespace

int main(int argc, char** argv) {
  if (!CpuHasSSE2()) {
    std::fputs("This program requires a modern CPU with SSE2.\n", stderr);
    QApplication app(argc, argv);
    QMessageBox::warning(nullptr, QString::fromStdString(Tr("Warning")),
                         QString::fromStdString(Tr("This program requires a modern CPU with SSE2.")));
    return 1;
  }
  QElapsedTimer sinceStart;
  sinceStart.start();
  const std::string cwd = CurrentFolder();
  const auto fileArguments = [&cwd](int n, char** v) {
    std::vector<std::string> args;
    for (int i = 1; i < n; ++i) args.emplace_back(v[i]);
    std::vector<std::string> files = RebuildFileArguments(args, IsFile);
    for (std::string& f : files) f = AbsolutePath(f, cwd);
    return files;
  };
  // A second start that only hands files over needs no windowing: it is done before the
  // (slower) QApplication exists. With options for Qt among the arguments the normal path
  // below sorts them out first.
  bool plainArguments = argc > 1;
  for (int i = 1; i < argc; ++i)
    if (argv[i][0] == '-') plainArguments = false;
  std::unique_ptr<TSingleInstance> instancePtr;
  std::vector<std::string> files;
  TStartMode mode = TStartMode::First;
  if (plainArguments) {
    QCoreApplication core(argc, argv);
    files = fileArguments(argc, argv);
    instancePtr = std::make_unique<TSingleInstance>(InstanceName());
    mode = instancePtr->Check(!files.empty());
    if (mode == TStartMode::HandOver) {
      if (instancePtr->HandOver(files)) return 0;
      // The running copy did not take the files: this copy opens them itself.
      mode = TStartMode::Additional;
    }
  }
  QApplication app(argc, argv);
  // Numbers in texts and files always use ".": Qt's start-up may have set the locale.
  std::setlocale(LC_NUMERIC, "C");
  QApplication::setApplicationName("orlu");
  QApplication::setApplicationDisplayName("Quorvane 9.0");
  MarkMainThread();

  if (!instancePtr) {
    // QApplication has taken its own options out of argv; the rest are files, made absolute
    // here because the running copy has another working folder.
    files = fileArguments(argc, argv);
    instancePtr = std::make_unique<TSingleInstance>(InstanceName());
    mode = instancePtr->Check(!files.empty());
    if (mode == TStartMode::HandOver) {
      if (instancePtr->HandOver(files)) return 0;
      mode = TStartMode::Additional;
    }
  }
  TSingleInstance& instance = *instancePtr;
  if (mode == TStartMode::First && !instance.Listen())
    std::fprintf(stderr, "orlu: cannot serve %s; files of later starts open there\n",
                 InstanceName().toLocal8Bit().constData());

  // The splash reads the user-interface state and the settings before the main window
  // exists; the files of the command line open when it closes.
  TUIStateFile uiState;
  QString configDir = ConfigFolder();
  std::unique_ptr<TFormMain> mainPtr;
  // How long the splash held the files back after the main window was shown.
  QElapsedTimer splashWait;
  qint64 splashHeld = 0;
  TFormSplash splash(
      [&] {
        Options().ComputeFolders(ProcessFolderEnvironment());
        if (!Options().ConfigFolder.empty())
          configDir = QString::fromStdString(Options().ConfigFolder.string());
        uiState.Load(configDir.toStdString());
        LoadOptions(Options(), configDir.toStdString());
        SetLogoSource();
      },
      [&] {
        splashHeld = splashWait.isValid() ? splashWait.elapsed() : 0;
        if (!mainPtr) return;
        // The main window was closed while the splash was up: nothing more to open.
        if (!mainPtr->isVisible()) {
          QApplication::quit();
          return;
        }
        mainPtr->setEnabled(true);
        mainPtr->OpenFiles(files, false);
      });
  splash.show();
  splash.repaint();
  mainPtr = std::make_unique<TFormMain>(configDir);
  TFormMain& main = *mainPtr;
  const TPlacementUse placement = RestorePlacement(main);
  if (mode == TStartMode::Additional) main.move(main.pos() + QPoint(36, 36));
  QObject::connect(&instance, &TSingleInstance::FilesReceived, &main,
                   &TFormMain::OpenHandedOver, Qt::QueuedConnection);

  // Timing for measurements and the start-up tests: quit once N image windows (1 for a
  // value that is no number) have painted, naming their files.
  if (qEnvironmentVariableIsSet("ORLU_QUIT_AFTER_SHOWN")) {
    bool ok = false;
    int wanted = qEnvironmentVariable("ORLU_QUIT_AFTER_SHOWN").toInt(&ok);
    if (!ok || wanted < 1) wanted = 1;
    auto done = std::make_shared<bool>(false);
    QObject::connect(&main, &TFormMain::ImageFramePainted, &app, [&main, &sinceStart, &splashHeld, wanted, done] {
      const std::vector<TFormChild*> windows = main.ImageWindows();
      if (*done || int(windows.size()) < wanted) return;
      *done = true;
      std::string names;
      for (TFormChild* w : windows) names += " " + w->Document().FileName();
      std::fprintf(stderr, "orlu: %d image(s) shown after %lld ms (splash wait %lld ms):%s\n",
                   int(windows.size()), static_cast<long long>(sinceStart.elapsed()),
                   static_cast<long long>(splashHeld), names.c_str());
      QTimer::singleShot(0, &main, [&main] { main.close(); });
    });
  }
  // Items that other units added to the menus get their accelerators too.
  main.ApplyAccelerators();
  if (placement == TPlacementUse::Maximized)
    main.showMaximized();
  else
    main.show();
  main.setEnabled(false);
  instance.EndStartup();
  splash.raise();
  splashWait.start();
  splash.MainShown(!files.empty());
  const int rc = app.exec();

  // Exit: the window placement, the settings, the user-interface state, the registry.
  Options().Misc.LastTheme = 0;
  Options().Misc.RememberTheme = false;
  Options().Misc.FirstExecution = false;
  std::string error;
  if (!Options().ConfigFolder.empty() && !SaveOptions(Options(), Options().ConfigFolder, &error))
    std::fprintf(stderr, "orlu: settings not saved: %s\n", error.c_str());
  if (!Options().ConfigFolder.empty()) uiState.Save(Options().ConfigFolder);
  StorePlacement(main);
  mainPtr.reset();
  return rc;
}
