// DelveCommandRunner: the launcher commands of the list's context menu. It adds an entry for
// every command of conf/app.ini that applies to a file (DyxUserConfig::commandsFor) and runs the
// chosen one on a thread of its own, so that a slow program never blocks the window; the
// command's result variables come back as one line of text (`finished`).
//
// Ownership: the window owns the runner; the runner owns its threads and waits for those still
// running when it is destroyed (before the engine shuts down, which the programs' results are
// read through). Threads: every function is for the window's thread; `finished` is emitted
// there.
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class QMenu;

class DelveCommandRunner : public QObject {
  Q_OBJECT

 public:
  explicit DelveCommandRunner(QObject* parent = nullptr);
  ~DelveCommandRunner() override;
  DelveCommandRunner(const DelveCommandRunner&) = delete;
  DelveCommandRunner& operator=(const DelveCommandRunner&) = delete;

  // Appends to `menu` a separator and one action per command that applies to the file at
  // `location` (an entry of the pool); nothing when none applies. The actions are children of
  // the menu, named "command:" + the command's name.
  void addCommandActions(QMenu* menu, const std::string& location);
  // Runs the command on the file in the background.
  void run(const std::string& name, const std::string& location);
  // Commands started and not yet finished.
  int running() const { return m_running.load(); }

 Q_SIGNALS:
  // "NAME on FILE: lines=2 words=3", or why the command could not run.
  void finished(const QString& text);

 private:
  struct Job {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  // Joins the threads of the commands that have ended.
  void reap();

  std::vector<Job> m_jobs;
  std::atomic<int> m_running{0};
};
