// orlu: start-up. Processor check, application object, single-instance check with the
// hand-over of files to a running copy, the main window, then the files of the command line.
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMessageBox>
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
#include "fMain.h"
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
  QApplication app(argc, argv);
  // Numbers in texts and files always use ".": Qt's start-up may have set the locale.
  std::setlocale(LC_NUMERIC, "C");
  QApplication::setApplicationName("orlu");
  QApplication::setApplicationDisplayName("Quorvane 9.0");
  MarkMainThread();
  Options().ApplyProcessSwitches();

  // QApplication has taken its own options out of argv; the rest are files, made absolute
  // here because the running copy has another working folder.
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  std::vector<std::string> files = RebuildFileArguments(args, IsFile);
  const std::string cwd = CurrentFolder();
  for (std::string& f : files) f = AbsolutePath(f, cwd);

  TSingleInstance instance(InstanceName());
  TStartMode mode = instance.Check(!files.empty());
  if (mode == TStartMode::HandOver) {
    if (instance.HandOver(files)) return 0;
    // The running copy did not take the files: this copy opens them itself.
    mode = TStartMode::Additional;
  }
  if (mode == TStartMode::First && !instance.Listen())
    std::fprintf(stderr, "orlu: cannot serve %s; files of later starts open there\n",
                 InstanceName().toLocal8Bit().constData());

  TFormMain main(ConfigFolder());
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
    QObject::connect(&main, &TFormMain::ImageFramePainted, &app, [&main, &sinceStart, wanted, done] {
      const std::vector<TFormChild*> windows = main.ImageWindows();
      if (*done || int(windows.size()) < wanted) return;
      *done = true;
      std::string names;
      for (TFormChild* w : windows) names += " " + w->Document().FileName();
      std::fprintf(stderr, "orlu: %d image(s) shown after %lld ms:%s\n", int(windows.size()),
                   static_cast<long long>(sinceStart.elapsed()), names.c_str());
      QTimer::singleShot(0, &main, [&main] { main.close(); });
    });
  }
  main.show();
  instance.EndStartup();
  QTimer::singleShot(0, &main, [&main, files] { main.OpenFiles(files, false); });
  return app.exec();
}
