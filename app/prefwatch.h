// DelvePreferenceWatch: "conf/pref.ini" followed while the window runs. A change of the file
// (written in place, or replaced by an editor's rename) is read again a moment later through
// DyxUserConfig::rereadPreferences, which hands each changed value to the engine's change
// listeners; a damaged file changes nothing. `reread` tells the window what happened.
//
// Ownership: the window owns the watch. Threads: the window's thread; the engine must be
// started for as long as the watch lives.
#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include "dyxcore/frontend.h"

class DelvePreferenceWatch : public QObject {
  Q_OBJECT

 public:
  // Changes that come in a burst (an editor writes, renames, sets attributes) are read once,
  // this long after the last of them.
  static constexpr int kSettleMs = 150;

  // Watches conf/pref.ini of the current directory (the working directory).
  explicit DelvePreferenceWatch(QObject* parent = nullptr);

  // Reads the file again at once, as the watch does after a change, and announces the outcome.
  DyxPreferenceReread rereadNow();

 Q_SIGNALS:
  // After every re-read that changed something or kept the old values: the text for the
  // status line, and the names of the preferences that took a new value.
  void reread(const QString& text, const QStringList& changed);

 private:
  void watch();

  QString m_file;
  QFileSystemWatcher m_watcher;
  QTimer m_settle;
};
