// DyxChangeWatcher: follows the directories of a pool with one thread and one set of directory
// watches (one inotify instance on Linux), however many directories the pool holds. A change
// in a watched directory brings that directory up to date within a fraction of a second. A
// directory that the system will not watch (its limit of watches per user is reached) is polled
// instead: rescanned at a period, so that its changes are still seen, only later; how many are
// polled is told through the `onCounts` callback, so that a front end can say so. When the
// system loses events (its queue overflowed), every directory is rescanned once.
//
// Two ways of following, chosen when the watcher is made:
// - the pool's subscription (followTree false): a change updates the directory alone, forced and
//   not recursive, without filter and observer; a directory that goes away loses its watch and
//   the pool drops it at its own next update. Directories the pool gains later are watched only
//   when the pool subscribes again.
// - a front end's following (followTree true): a change scans the directory as a parse does (new
//   files pass the pool's filter, the pool's observer hears of them); a new sub-directory of a
//   recursive directory is scanned and watched; a directory deleted or moved away leaves the
//   pool at once with its sub-directories and their entries; the watches follow the pool.
//
// Ownership: the pool owns its watcher (pdirs.h); the watcher holds the pool and the environment
// by reference, and both outlive it. Threads: every member may be called from any thread, but
// WITHOUT holding the engine lock (they read the pool, or wait for the watcher's thread, which
// takes the engine lock for each step of a scan). The watcher's thread calls `onCounts`.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "dyxcore/platform.h"
#include "dyxcore/thread.h"

class DyxPhysicalDirs;

// How a pool's directories are followed.
struct DyxWatchCounts {
  std::size_t watched = 0;  // directories with a watch of their own
  std::size_t polled = 0;   // directories the system would not watch: rescanned at a period
  bool operator==(const DyxWatchCounts&) const = default;
};

class DyxChangeWatcher final : public DyxThread {
 public:
  struct Options {
    // A front end's following (see above); false: the pool's subscription.
    bool followTree = false;
    // A polled directory is rescanned this often, or less often when the polled directories
    // take long to read: a pass never takes more than a tenth of the time.
    int pollPeriodMs = 1000;
    // After the first event of a burst, further events are gathered this long before the
    // directories are read, so that a file written in many pieces costs one scan.
    int settleMs = 100;
    // Called whenever the counts change; from the watcher's thread, or from the thread that
    // calls watchPool.
    std::function<void(const DyxWatchCounts&)> onCounts;
  };

  DyxChangeWatcher(DyxPhysicalDirs& pool, dyxplatform::Env& env, Options options);
  // Stops the thread and waits for it.
  ~DyxChangeWatcher() override;

  // Watches, on the calling thread, every directory of the pool that is neither watched nor
  // polled yet, and starts the watcher's thread the first time. False when the thread cannot
  // be started (the thread table is full): nothing is followed then. Between batches of
  // directories it asks `givesWay` (when given): once that answers true, the directories left
  // are not watched, so that a stop waiting for the subscription of a large pool is not held up.
  bool watchPool(const std::function<bool()>& givesWay = nullptr);
  // Has the thread read every directory once more, as after lost events: a follower that was
  // off for a while catches up with what changed meanwhile.
  void requestFullPass();
  // Ends the thread's loop and waits for it; the watches stay until destruction.
  void stop();
  DyxWatchCounts counts() const;
  // Whether the directory of this key is watched or polled.
  bool covers(const std::string& key) const;
  bool followsTree() const { return m_options.followTree; }

 protected:
  void run() override;

 private:
  using Clock = std::chrono::steady_clock;

  // What one batch of events asks for.
  struct Work {
    bool overflow = false;
    std::set<std::string> dirty;  // directories to read again
    std::set<std::string> gone;   // directories that may no longer exist
  };

  // Adds the watch of `key` (under m_mutex); false when the key went to the polled ones or was
  // skipped.
  bool addWatchLocked(const std::string& key, bool traced);
  // Brings the watches in line with the pool's directories; answers the keys newly watched.
  std::vector<std::string> reconcile();
  void classify(const std::vector<dyxplatform::DirectoryWatchSet::Event>& events, Work& work);
  void process(Work& work);
  // Reads one directory again, as the way of following says. False after a stop request.
  bool refresh(const std::string& key);
  void pollDue();
  void reportCounts();

  DyxPhysicalDirs& m_pool;
  dyxplatform::Env& m_env;
  const Options m_options;
  std::unique_ptr<dyxplatform::DirectoryWatchSet> m_set;

  mutable std::mutex m_mutex;  // guards what follows, and every call of m_set except wait()
  std::map<std::string, int> m_byKey;
  // Each watch's key, as the text m_byKey holds (a map's keys never move): a parse of 50,000
  // directories keeps each path once here, not twice.
  std::unordered_map<int, const std::string*> m_byWatch;
  std::set<std::string> m_polled;
  DyxWatchCounts m_reported;  // the counts onCounts was last called with
  bool m_started = false;
  bool m_freed = false;  // a watch ended since the last reconcile: polled keys may get one

  std::atomic<bool> m_passRequested{false};
  // The watcher's thread only.
  Clock::time_point m_nextPoll{};
};
