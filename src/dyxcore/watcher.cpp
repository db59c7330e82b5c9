#include "dyxcore/watcher.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "dyxcore/path.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/physdir.h"
#include "kxcore/io.h"

using Event = dyxplatform::DirectoryWatchSet::Event;
using WatchSet = dyxplatform::DirectoryWatchSet;

DyxChangeWatcher::DyxChangeWatcher(DyxPhysicalDirs& pool, dyxplatform::Env& env, Options options)
    : m_pool(pool), m_env(env), m_options(std::move(options)), m_set(env.newWatchSet()) {
  if (!m_set->isValid()) {
    // Without a watch set every directory is polled: still followed, only later.
    KX_POS(kxerr) << "No directory watches: " << m_env.errorText(m_set->error())
                  << ". Every directory is polled." << endl;
  }
}

DyxChangeWatcher::~DyxChangeWatcher() { stop(); }

void DyxChangeWatcher::requestFullPass() {
  m_passRequested.store(true);
  if (m_set->isValid()) {
    m_set->interrupt();
  } else {
    resume();
  }
}

void DyxChangeWatcher::stop() {
  requestStop();
  m_set->interrupt();
  waitStopped(-1);
}

DyxWatchCounts DyxChangeWatcher::counts() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return DyxWatchCounts{m_byKey.size(), m_polled.size()};
}

bool DyxChangeWatcher::covers(const std::string& key) const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_byKey.count(key) != 0 || m_polled.count(key) != 0;
}

bool DyxChangeWatcher::addWatchLocked(const std::string& key, bool traced) {
  if (traced) {
    KX_POS(kxout) << "Subscribe for change notification for: \"" << key << "\"" << endl;
  }
  int error = 0;
  const int watch = m_set->add(key, &error);
  if (watch >= 0) {
    // The same directory under another key (a rename whose old watch has not ended yet): the
    // watch now belongs to the new key.
    auto old = m_byWatch.find(watch);
    if (old != m_byWatch.end()) {
      const std::string* oldKey = old->second;
      m_byWatch.erase(old);
      m_byKey.erase(*oldKey);
    }
    const auto [at, added] = m_byKey.try_emplace(key, watch);
    if (!added) {
      // The key's earlier watch stops naming it.
      m_byWatch.erase(at->second);
      at->second = watch;
    }
    m_byWatch[watch] = &at->first;
    return true;
  }
  if (error == ENOENT || error == ENOTDIR) {
    // Gone meanwhile: the update that notices it takes it out of the pool.
    KX_POS(kxerr) << "Cannot subscribe: IVALID_HANDLE_VALUE. Skip it." << endl;
    return false;
  }
  if (!m_options.followTree && error != ENOSPC && error != ENOSYS) {
    KX_POS(kxerr) << "Cannot subscribe: IVALID_HANDLE_VALUE. Skip it." << endl;
    return false;
  }
  // The system's limit of watches, or a directory it will not watch: polled instead.
  KX_POS(kxerr) << "Cannot watch " << key << " (" << m_env.errorText(error) << "): it is polled."
                << endl;
  m_polled.insert(key);
  return false;
}

bool DyxChangeWatcher::watchPool(const std::function<bool()>& givesWay) {
  KX_SCOPE("DyxChangeWatcher::watchPool");
  // A batch of keys at a time: a copy of every key of a large pool would be the largest thing
  // the program holds for a moment.
  // The engine lock is never taken while m_mutex is held.
  constexpr std::size_t kBatch = 1024;
  for (std::vector<std::string> keys = m_pool.directoryKeysAfter(std::string(), kBatch);
       !keys.empty(); keys = m_pool.directoryKeysAfter(keys.back(), kBatch)) {
    if (givesWay && givesWay()) break;
    std::lock_guard<std::mutex> guard(m_mutex);
    for (const std::string& key : keys) {
      if (m_byKey.count(key) == 0 && m_polled.count(key) == 0) addWatchLocked(key, true);
    }
  }
  bool start = false;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    start = !m_started;
    m_started = true;
  }
  reportCounts();
  if (start && !begin()) {
    KX_POS(kxerr) << "The change watcher cannot start: changes are not followed." << endl;
    std::lock_guard<std::mutex> guard(m_mutex);
    m_started = false;
    return false;
  }
  return true;
}

void DyxChangeWatcher::reportCounts() {
  DyxWatchCounts now;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    now = DyxWatchCounts{m_byKey.size(), m_polled.size()};
    if (now == m_reported) return;
    m_reported = now;
  }
  if (m_options.onCounts) m_options.onCounts(now);
}

std::vector<std::string> DyxChangeWatcher::reconcile() {
  std::vector<std::string> added;
  const std::vector<std::string> keys = m_pool.directoryKeys();  // sorted
  const auto inPool = [&keys](const std::string& key) {
    return std::binary_search(keys.begin(), keys.end(), key);
  };
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    bool freed = m_freed;
    m_freed = false;
    for (auto it = m_byKey.begin(); it != m_byKey.end();) {
      if (inPool(it->first)) {
        ++it;
        continue;
      }
      m_set->remove(it->second);
      m_byWatch.erase(it->second);
      it = m_byKey.erase(it);
      freed = true;
    }
    std::erase_if(m_polled, [&inPool](const std::string& key) { return !inPool(key); });
    if (m_options.followTree) {
      std::vector<std::string> wanted;
      // Watches given back may make room for directories that had to be polled.
      if (freed) {
        wanted.assign(m_polled.begin(), m_polled.end());
        m_polled.clear();
      }
      for (const std::string& key : keys) {
        if (m_byKey.count(key) == 0 && m_polled.count(key) == 0) wanted.push_back(key);
      }
      for (const std::string& key : wanted) {
        if (m_byKey.count(key) != 0) continue;
        if (addWatchLocked(key, false)) added.push_back(key);
      }
    }
  }
  reportCounts();
  return added;
}

void DyxChangeWatcher::classify(const std::vector<Event>& events, Work& work) {
  std::lock_guard<std::mutex> guard(m_mutex);
  for (const Event& event : events) {
    if (event.what & WatchSet::kOverflow) {
      work.overflow = true;
      continue;
    }
    auto it = m_byWatch.find(event.watch);
    if (it == m_byWatch.end()) continue;  // a watch given back meanwhile
    const std::string key = *it->second;
    if (event.what & (WatchSet::kSelfGone | WatchSet::kWatchEnded)) {
      // The watch fires no more for this key (a directory moved away would go on reporting
      // from elsewhere): the key is watched again if it still names a directory.
      if (!(event.what & WatchSet::kWatchEnded)) m_set->remove(event.watch);
      m_freed = true;
      m_byKey.erase(key);
      m_byWatch.erase(it);
      work.gone.insert(key);
      continue;
    }
    if (event.isDirectory) {
      if (event.what & (WatchSet::kDeleted | WatchSet::kMovedFrom)) {
        if (m_options.followTree) work.gone.insert(childPathText(key, event.name));
      } else if (event.what & (WatchSet::kCreated | WatchSet::kMovedTo)) {
        // The recursive scan of the parent adds the new sub-directory.
        if (m_options.followTree) work.dirty.insert(key);
      }
      // A sub-directory's own attributes are no entry of this directory.
      continue;
    }
    work.dirty.insert(key);
  }
}

bool DyxChangeWatcher::refresh(const std::string& key) {
  if (isStopRequested()) return false;
  try {
    if (m_options.followTree) {
      m_pool.refreshDirectory(key);
    } else if (std::shared_ptr<DyxPhysicalDirectory> dir = m_pool.acquirePhysicalDirectory(key)) {
      KX_POS(kxout) << "Do update:" << endl;
      dir->doUpdate(true, false);
    }
  } catch (const DyxThreadExit&) {
    throw;
  } catch (...) {
    KX_POS(kxerr) << "Exception while updating or triggering the callbacks. Continue." << endl;
  }
  return !isStopRequested();
}

void DyxChangeWatcher::process(Work& work) {
  if (work.overflow) {
    // Events were lost: every directory may have changed, and only reading them all tells.
    for (const std::string& key : m_pool.directoryKeys()) {
      if (!refresh(key)) return;
    }
    work.dirty.clear();
  }
  for (const std::string& key : work.gone) {
    if (m_options.followTree && !m_env.isDirectory(key)) {
      m_pool.forgetDirectory(key);
      work.dirty.erase(key);
    } else {
      work.dirty.insert(key);
    }
  }
  for (const std::string& key : work.dirty) {
    if (!refresh(key)) return;
  }
}

void DyxChangeWatcher::pollDue() {
  std::vector<std::string> polled;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    polled.assign(m_polled.begin(), m_polled.end());
  }
  if (polled.empty() || Clock::now() < m_nextPoll) return;
  const Clock::time_point start = Clock::now();
  for (const std::string& key : polled) {
    if (!refresh(key)) return;
  }
  const auto took = Clock::now() - start;
  m_nextPoll = Clock::now() + std::max<Clock::duration>(
                                  std::chrono::milliseconds(m_options.pollPeriodMs), took * 10);
}

void DyxChangeWatcher::run() {
  KX_SCOPE("DyxChangeWatcher::begin");
  m_nextPoll = Clock::now() + std::chrono::milliseconds(m_options.pollPeriodMs);
  std::vector<Event> events;
  while (!isStopRequested()) {
    int timeout = -1;
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      if (!m_polled.empty()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(m_nextPoll - Clock::now());
        timeout = static_cast<int>(std::max<std::int64_t>(0, left.count()));
      }
    }
    events.clear();
    WatchSet::WaitResult result = WatchSet::WaitResult::kTimeout;
    if (m_set->isValid()) {
      result = m_set->wait(timeout, events);
    } else {
      sleepFor(timeout < 0 ? m_options.pollPeriodMs : timeout);
    }
    if (isStopRequested()) break;
    if (result == WatchSet::WaitResult::kError) {
      KX_POS(kxerr) << "Cannot wait for change notification." << endl;
      sleepFor(m_options.pollPeriodMs);
      continue;
    }
    if (result == WatchSet::WaitResult::kEvents) {
      // The rest of the burst.
      const Clock::time_point settled =
          Clock::now() + std::chrono::milliseconds(m_options.settleMs);
      for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(settled - Clock::now());
        if (left.count() <= 0) break;
        if (m_set->wait(static_cast<int>(left.count()), events) ==
            WatchSet::WaitResult::kInterrupted) {
          break;
        }
      }
      if (isStopRequested()) break;
      KX_POS(kxout) << "A change has been notified (" << events.size() << " events)." << endl;
      Work work;
      classify(events, work);
      if (work.overflow) {
        KX_POS(kxerr) << "Change notification overflowed: every directory is read again." << endl;
      }
      process(work);
    }
    if (m_passRequested.exchange(false)) {
      Work all;
      all.overflow = true;
      process(all);
    }
    if (isStopRequested()) break;
    if (m_options.followTree) {
      // A directory that came with a scan is read once more after its watch is set: what was
      // written into it between its scan and its watch is not lost.
      for (int round = 0; round < 8; ++round) {
        const std::vector<std::string> added = reconcile();
        if (added.empty()) break;
        for (const std::string& key : added) {
          if (!refresh(key)) break;
        }
      }
    } else {
      reconcile();
    }
    pollDue();
  }
}
