// One running copy per user: a second start with files hands them to the running copy
// through a local socket and ends. A lock file serialises start-ups, so two copies started
// at once end with one running; a stale socket left by a crashed copy is removed.
#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <string>
#include <vector>

class QLocalServer;
class QLocalSocket;

namespace orlu {

// The socket name: $ORLU_INSTANCE_NAME when set (tests), else "orlu-instance" in
// $XDG_RUNTIME_DIR (a folder only the user reaches), else "orlu-<uid>" in the temp folder.
QString InstanceName();

enum class TStartMode {
  HandOver = 0,    // a copy runs and there are files: hand them over and end
  First = 1,       // no copy runs
  Additional = 2,  // a copy runs and there is nothing to hand over
};

class TSingleInstance : public QObject {
  Q_OBJECT

 public:
  explicit TSingleInstance(QString name, QObject* parent = nullptr);
  ~TSingleInstance() override;

  // Waits up to waitMs for a copy that is still starting, then looks for a running one.
  // Holds the start-up lock from here until EndStartup.
  TStartMode Check(bool haveFiles, int waitMs = 5000);
  // Sends the paths (absolute, UTF-8) to the running copy; true once it acknowledged them.
  bool HandOver(const std::vector<std::string>& paths, int timeoutMs = 5000);
  // Serves the name (first copy). A stale socket is removed and listening retried once.
  bool Listen();
  // The main window is up: later start-ups may proceed.
  void EndStartup();

 signals:
  // Files handed over by another copy (absolute UTF-8 paths), already acknowledged.
  void FilesReceived(const QStringList& paths);

 private:
  void OnNewConnection();
  void OnReadyRead(QLocalSocket* socket);

  QString Name_;
  QLockFile Lock_;
  bool Locked_ = false;
  QLocalServer* Server_ = nullptr;
};

}  // namespace orlu
