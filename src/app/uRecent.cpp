#include "uRecent.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QPixmap>
#include <QSaveFile>

namespace orlu {

namespace {

// Files larger than this are not a recent-files list.
constexpr qint64 kMaxFileBytes = 1 << 20;

QIcon PictureIcon(const TPicture16& p) {
  QImage img(16, 16, QImage::Format_RGB32);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) img.setPixel(x, y, 0xFF000000u | p[size_t(y * 16 + x)]);
  return QIcon(QPixmap::fromImage(img));
}

}  // namespace

TRecentFilesManager::TRecentFilesManager(QObject* parent) : QObject(parent) {}

void TRecentFilesManager::Attach(QMenu* menu) {
  Menu_ = menu;
  Rebuild();
}

void TRecentFilesManager::Add(const std::string& path, const std::optional<TPicture16>& picture) {
  List_.Add(path, picture);
  Rebuild();
}

void TRecentFilesManager::Load(const QString& folder, const QString& fileName) {
  QFile f(QDir(folder).filePath(fileName));
  if (f.exists() && f.open(QIODevice::ReadOnly) && f.size() <= kMaxFileBytes) {
    const QByteArray data = f.readAll();
    List_.LoadText(std::string_view(data.constData(), size_t(data.size())));
  }
  Rebuild();
}

void TRecentFilesManager::Save(const QString& folder, const QString& fileName) {
  if (!List_.Changed()) return;
  if (!QDir().mkpath(folder)) return;
  QSaveFile f(QDir(folder).filePath(fileName));
  if (!f.open(QIODevice::WriteOnly)) return;
  const std::string text = List_.SaveText();
  f.write(text.data(), qint64(text.size()));
  if (f.commit()) List_.ClearChanged();
}

void TRecentFilesManager::Rebuild() {
  if (!Menu_) return;
  Menu_->clear();
  for (const TRecentEntry& e : List_.Entries()) {
    const QString path = QString::fromStdString(e.Path);
    // "&" would mark an accelerator: shown doubled, the path stays readable.
    QAction* a = Menu_->addAction(QString(path).replace('&', "&&"));
    if (e.Picture) a->setIcon(PictureIcon(*e.Picture));
    // Queued: opening the file rebuilds this menu, which deletes the action.
    connect(a, &QAction::triggered, this, [this, path] { emit Chosen(path); },
            Qt::QueuedConnection);
  }
  Menu_->setEnabled(!List_.Entries().empty());
}

}  // namespace orlu
