#include "commandrunner.h"

#include <QAction>
#include <QMenu>

#include "bytes.h"
#include "dyxcore/frontend.h"

DelveCommandRunner::DelveCommandRunner(QObject* parent) : QObject(parent) {}

DelveCommandRunner::~DelveCommandRunner() {
  // A program still running keeps the window's close waiting: the engine it reports through
  // shuts down right after.
  for (Job& job : m_jobs) {
    if (job.thread.joinable()) job.thread.join();
  }
}

void DelveCommandRunner::addCommandActions(QMenu* menu, const std::string& location) {
  const std::vector<DyxCommandChoice> commands = DyxUserConfig::commandsFor(location);
  if (commands.empty()) return;
  menu->addSeparator();
  for (const DyxCommandChoice& command : commands) {
    const std::string name = command.name;
    QAction* action =
        menu->addAction(fromBytes(name), this, [this, name, location]() { run(name, location); });
    action->setObjectName(QStringLiteral("command:") + fromBytes(name));
  }
}

void DelveCommandRunner::run(const std::string& name, const std::string& location) {
  reap();
  auto done = std::make_shared<std::atomic<bool>>(false);
  ++m_running;
  // The runner outlives the thread (its destructor joins it), so `this` stays valid for the
  // queued emission; an emission still queued when the runner goes is dropped by Qt.
  std::thread thread([this, name, location, done]() {
    const DyxCommandResult result = DyxUserConfig::runCommand(name, location);
    const std::size_t slash = location.rfind('/');
    const std::string file = slash == std::string::npos ? location : location.substr(slash + 1);
    const QString text = fromBytes(name + " on " + file + ": " + result.text());
    QMetaObject::invokeMethod(
        this,
        [this, text]() {
          --m_running;
          Q_EMIT finished(text);
        },
        Qt::QueuedConnection);
    done->store(true);
  });
  m_jobs.push_back({std::move(thread), std::move(done)});
}

void DelveCommandRunner::reap() {
  for (auto it = m_jobs.begin(); it != m_jobs.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = m_jobs.erase(it);
    } else {
      ++it;
    }
  }
}
