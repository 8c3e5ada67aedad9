// The "Reopen" submenu: the recent-files list shown as menu entries with their pictures,
// loaded from and saved to "QVRecentU.ini" in the configuration folder.
#pragma once

#include <QObject>
#include <QString>

#include <optional>
#include <string>

#include "uRecentList.h"

class QMenu;

namespace orlu {

class TRecentFilesManager : public QObject {
  Q_OBJECT

 public:
  explicit TRecentFilesManager(QObject* parent = nullptr);

  // The submenu the entries fill; disabled while the list is empty.
  void Attach(QMenu* menu);
  void Add(const std::string& path, const std::optional<TPicture16>& picture);
  // Reads folder/fileName when it exists; an unreadable file leaves the list empty.
  void Load(const QString& folder, const QString& fileName);
  // Writes the list when it changed (atomically; the folder is created); errors are
  // ignored, as for every settings file written at exit.
  void Save(const QString& folder, const QString& fileName);
  const TRecentList& List() const { return List_; }

 signals:
  // An entry was clicked.
  void Chosen(const QString& path);

 private:
  void Rebuild();

  TRecentList List_;
  QMenu* Menu_ = nullptr;
};

}  // namespace orlu
