// Two copies of orlu: a second start hands its files to the running copy and ends. Every
// copy runs offscreen on a socket name of its own test folder, never a user's.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <cstring>

namespace {

constexpr int kStartMs = 20000;

class HandOver : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Dir.isValid());
    for (const char* name : {"one.fits", "two.fits"})
      ASSERT_TRUE(QFile::copy(ORLU_SAMPLE_FITS, Dir.filePath(name)));
    Socket = Dir.filePath("instance");
  }

  // orlu with files, quitting once `quitAfter` image windows have painted.
  std::unique_ptr<QProcess> Start(const QStringList& files, int quitAfter) {
    auto p = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("ORLU_INSTANCE_NAME", Socket);
    env.insert("XDG_CONFIG_HOME", Dir.filePath("config"));
    env.insert("XDG_DOCUMENTS_DIR", Dir.filePath("documents"));
    env.insert("ORLU_QUIT_AFTER_SHOWN", QString::number(quitAfter));
    p->setProcessEnvironment(env);
    p->setWorkingDirectory(Dir.path());
    p->start(ORLU_APP_BINARY, files);
    EXPECT_TRUE(p->waitForStarted(kStartMs));
    return p;
  }

  bool ServerUp(int waitMs) {
    for (int t = 0; t < waitMs; t += 50) {
      QLocalSocket s;
      s.connectToServer(Socket);
      if (s.waitForConnected(200)) return true;
      QThread::msleep(50);
    }
    return false;
  }

  static QString Finish(QProcess& p) {
    EXPECT_TRUE(p.waitForFinished(kStartMs)) << "orlu did not end";
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0);
    return QString::fromLocal8Bit(p.readAllStandardError());
  }

  QTemporaryDir Dir;
  QString Socket;
};

}  // namespace

TEST_F(HandOver, SecondStartHandsItsFileToTheRunningCopy) {
  auto first = Start({}, 1);
  ASSERT_TRUE(ServerUp(kStartMs));
  // A relative path: the second copy makes it absolute before handing it over.
  auto second = Start({"one.fits"}, 1);
  const QString secondLog = Finish(*second);
  EXPECT_FALSE(secondLog.contains("shown")) << secondLog.toStdString();
  const QString firstLog = Finish(*first);
  EXPECT_TRUE(firstLog.contains("orlu: 1 image(s) shown")) << firstLog.toStdString();
  EXPECT_TRUE(firstLog.contains(" " + Dir.filePath("one.fits") + "\n")) << firstLog.toStdString();
}

TEST_F(HandOver, AStaleSocketIsReplaced) {
  // A crashed copy's socket: bound, then left without a listener.
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const QByteArray path = QFile::encodeName(Socket);
  ASSERT_LT(size_t(path.size()), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, path.constData(), size_t(path.size()));
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(fd);
  ASSERT_TRUE(QFile::exists(Socket));

  auto first = Start({Dir.filePath("one.fits")}, 2);
  ASSERT_TRUE(ServerUp(kStartMs));
  auto second = Start({Dir.filePath("two.fits")}, 2);
  const QString secondLog = Finish(*second);
  const QString firstLog = Finish(*first);
  EXPECT_FALSE(secondLog.contains("shown")) << secondLog.toStdString();
  EXPECT_TRUE(firstLog.contains("orlu: 2 image(s) shown")) << firstLog.toStdString();
  EXPECT_TRUE(firstLog.contains(Dir.filePath("two.fits"))) << firstLog.toStdString();
}

TEST_F(HandOver, TwoCopiesStartedAtOnceEndWithOneRunning) {
  auto a = Start({Dir.filePath("one.fits")}, 2);
  auto b = Start({Dir.filePath("two.fits")}, 2);
  const QString logA = Finish(*a);
  const QString logB = Finish(*b);
  // One copy shows both files; the other handed its file over and showed nothing.
  const bool aRan = logA.contains("orlu: 2 image(s) shown");
  const bool bRan = logB.contains("orlu: 2 image(s) shown");
  EXPECT_NE(aRan, bRan) << logA.toStdString() << "\n" << logB.toStdString();
  const QString& ran = aRan ? logA : logB;
  const QString& other = aRan ? logB : logA;
  EXPECT_TRUE(ran.contains(Dir.filePath("one.fits")) && ran.contains(Dir.filePath("two.fits")))
      << ran.toStdString();
  EXPECT_FALSE(other.contains("shown")) << other.toStdString();
}

TEST_F(HandOver, SettingsAreReadAtStartAndWrittenAtExit) {
  ASSERT_TRUE(QDir().mkpath(Dir.filePath("config/orlu")));
  QFile ini(Dir.filePath("config/orlu/Orlu40CfgU.ini"));
  ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
  ini.write("[FileOptions]\r\nJpegCompress=7\r\n[MiscOptions]\r\nFirstExecution=True\r\n");
  ini.close();
  auto p = Start({Dir.filePath("one.fits")}, 1);
  const QString log = Finish(*p);
  EXPECT_TRUE(log.contains("orlu: 1 image(s) shown")) << log.toStdString();
  ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
  const QString text = QString::fromUtf8(ini.readAll());
  // Read at start, written back at exit with the first run over.
  EXPECT_TRUE(text.contains("JpegCompress=7")) << text.toStdString();
  EXPECT_TRUE(text.contains("FirstExecution=False")) << text.toStdString();
  EXPECT_TRUE(text.contains("[ObservatoryOptions]"));
  EXPECT_TRUE(QFile::exists(Dir.filePath("config/orlu/Orlu40UI.ini")));
  QFile reg(Dir.filePath("config/Tarvix/OrluFV.conf"));
  ASSERT_TRUE(reg.open(QIODevice::ReadOnly));
  const QString values = QString::fromUtf8(reg.readAll());
  for (const char* key : {"[Misc]", "WindowX=", "WindowW=", "Language=EN", "LastPath="})
    EXPECT_TRUE(values.contains(key)) << key << "\n" << values.toStdString();
}

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
