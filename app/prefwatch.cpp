#include "prefwatch.h"

#include <QDir>
#include <QFileInfo>

#include "bytes.h"

DelvePreferenceWatch::DelvePreferenceWatch(QObject* parent)
    : QObject(parent), m_file(QDir::current().absoluteFilePath(QStringLiteral("conf/pref.ini"))) {
  m_settle.setSingleShot(true);
  m_settle.setInterval(kSettleMs);
  connect(&m_settle, &QTimer::timeout, this, [this]() { rereadNow(); });
  // The folder too: an editor that saves by renaming a new file over the old one ends the
  // watch of the file, and a file made anew is seen only in its folder.
  connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, [this]() { m_settle.start(); });
  connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, [this]() {
    if (!m_watcher.files().contains(m_file) && QFileInfo::exists(m_file)) m_settle.start();
  });
  watch();
}

void DelvePreferenceWatch::watch() {
  const QString folder = QFileInfo(m_file).absolutePath();
  if (!m_watcher.directories().contains(folder) && QFileInfo::exists(folder)) {
    m_watcher.addPath(folder);
  }
  if (!m_watcher.files().contains(m_file) && QFileInfo::exists(m_file)) m_watcher.addPath(m_file);
}

DyxPreferenceReread DelvePreferenceWatch::rereadNow() {
  watch();
  const DyxPreferenceReread result = DyxUserConfig::rereadPreferences();
  if (result.outcome != DyxPreferenceReread::Outcome::kUnchanged) {
    QStringList changed;
    for (const std::string& name : result.changed) changed << fromBytes(name);
    Q_EMIT reread(fromBytes(result.text()), changed);
  }
  return result;
}
