#include "uSingleInstance.h"

#include <unistd.h>

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include "uStartup.h"

namespace orlu {

namespace {

QString LockPath(const QString& name) {
  const QString base = name.contains('/') ? name : QDir(QDir::tempPath()).filePath(name);
  return base + ".lock";
}

// A connection that has not delivered its message by then is dropped.
constexpr int kReceiveTimeoutMs = 5000;

}  // namespace

QString InstanceName() {
  const QByteArray forced = qgetenv("ORLU_INSTANCE_NAME");
  if (!forced.isEmpty()) return QString::fromLocal8Bit(forced);
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && QDir(QString::fromLocal8Bit(runtime)).exists())
    return QDir(QString::fromLocal8Bit(runtime)).filePath("orlu-instance");
  return QStringLiteral("orlu-%1").arg(qulonglong(getuid()));
}

TSingleInstance::TSingleInstance(QString name, QObject* parent)
    : QObject(parent), Name_(std::move(name)), Lock_(LockPath(Name_)) {}

TSingleInstance::~TSingleInstance() { EndStartup(); }

TStartMode TSingleInstance::Check(bool haveFiles, int waitMs) {
  // A copy that holds the lock is still starting: its server may not listen yet.
  Locked_ = Lock_.tryLock(waitMs);
  QLocalSocket probe;
  probe.connectToServer(Name_);
  const bool running = probe.waitForConnected(1000);
  probe.abort();
  if (!running) return TStartMode::First;
  return haveFiles ? TStartMode::HandOver : TStartMode::Additional;
}

bool TSingleInstance::HandOver(const std::vector<std::string>& paths, int timeoutMs) {
  const std::string msg = EncodeHandOver(paths);
  if (msg.empty()) return false;
  QLocalSocket socket;
  socket.connectToServer(Name_);
  if (!socket.waitForConnected(timeoutMs)) return false;
  socket.write(msg.data(), qint64(msg.size()));
  if (!socket.waitForBytesWritten(timeoutMs)) return false;
  while (socket.bytesAvailable() < 1)
    if (!socket.waitForReadyRead(timeoutMs)) return false;
  char ack = 0;
  return socket.getChar(&ack) && ack == kHandOverAck;
}

bool TSingleInstance::Listen() {
  if (Server_) return true;
  Server_ = new QLocalServer(this);
  Server_->setSocketOptions(QLocalServer::UserAccessOption);
  connect(Server_, &QLocalServer::newConnection, this, &TSingleInstance::OnNewConnection);
  if (Server_->listen(Name_)) return true;
  // Nobody answered on the name (Check found no copy): the socket is a crashed copy's.
  QLocalServer::removeServer(Name_);
  if (Server_->listen(Name_)) return true;
  delete Server_;
  Server_ = nullptr;
  return false;
}

void TSingleInstance::EndStartup() {
  if (Locked_) Lock_.unlock();
  Locked_ = false;
}

void TSingleInstance::OnNewConnection() {
  while (QLocalSocket* socket = Server_->nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] { OnReadyRead(socket); });
    QTimer::singleShot(kReceiveTimeoutMs, socket, [socket] { socket->abort(); });
    if (socket->bytesAvailable() > 0) OnReadyRead(socket);
  }
}

void TSingleInstance::OnReadyRead(QLocalSocket* socket) {
  // The bytes received so far wait in the socket until the whole message is there.
  const QByteArray head = socket->peek(8);
  const std::optional<int64_t> size =
      HandOverMessageSize(std::string_view(head.constData(), size_t(head.size())));
  if (size && *size < 0) {
    socket->abort();
    return;
  }
  if (!size || socket->bytesAvailable() < *size) return;
  const QByteArray data = socket->read(*size);
  const auto paths = DecodeHandOver(std::string_view(data.constData(), size_t(data.size())));
  if (!paths) {
    socket->abort();
    return;
  }
  socket->putChar(kHandOverAck);
  socket->flush();
  socket->disconnectFromServer();
  QStringList list;
  for (const std::string& p : *paths) list << QString::fromStdString(p);
  emit FilesReceived(list);
}

}  // namespace orlu
