// An environment that makes chosen calls fail, for tests of what the engine does when the file
// system refuses: a listing that stops part-way, a name that vanishes between its listing and
// its reading, a directory that cannot be opened, a file that cannot be read to its end, a save
// that runs out of space or cannot be renamed into place, a system that runs out of directory
// watches or loses their events. Every other call goes to the system's environment, so the tests
// run on real temporary trees and need no special rights. Faults are keyed by path and may be
// set and read from any thread. Test code only.
#pragma once

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "dyxcore/platform.h"

namespace quarrytest {

class FaultEnv final : public dyxplatform::EnvWrapper {
 public:
  FaultEnv() : EnvWrapper(dyxplatform::Env::system()) {}

  // Opening the directory `path` (by path or from its parent) fails with `error`.
  void failOpenDirectory(const std::string& path, int error) { set(m_openFails, path, error); }
  // The listing of `path` gives `names` names, then stops with `error`.
  void failListingAfter(const std::string& path, int names, int error) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_listFails[path] = {names, error};
  }
  // Reading the information of the file `path` answers that it no longer exists.
  void vanish(const std::string& path) { set(m_vanished, path, ENOENT); }
  // Writing a file whose name begins with `prefix` stops with `error` after half the data.
  void failWritesTo(const std::string& prefix, int error) { set(m_writeFails, prefix, error); }
  // Reading the file `path` fails with `error` once `bytes` bytes of it were read.
  void failReadsOf(const std::string& path, std::size_t bytes, int error) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_readFails[path] = ReadFault{bytes, error};
  }
  // Renaming any file onto `target` fails with `error`.
  void failRenameTo(const std::string& target, int error) { set(m_renameFails, target, error); }
  // Directory watch sets made from now on hold at most `watches` watches at a time: adding
  // one more fails with ENOSPC, as when the system's limit of watches per user is reached.
  // A negative count lifts the limit.
  void limitWatches(int watches) { m_watchLimit.store(watches); }
  // The next wait of every watch set reports that events were lost (an overflow).
  void overflowWatches() { m_overflows.fetch_add(1); }
  // Every watch set loses the events of the system while `drop` is true.
  void dropWatchEvents(bool drop) { m_dropEvents.store(drop); }
  // Opening the directory `path` waits until `release`: a scan held part-way, for as long as a
  // test needs it to be running.
  void holdOpening(const std::string& path) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_held = path;
  }
  // Adding a watch on the directory `path` waits until `release`: a subscription held part-way.
  void holdWatching(const std::string& path) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_heldWatch = path;
  }
  void release() {
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_held.clear();
      m_heldWatch.clear();
    }
    m_released.notify_all();
  }
  // How many calls a fault answered.
  int faultsMade() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_faultsMade;
  }

  std::unique_ptr<dyxplatform::Directory> openDirectory(const std::string& path,
                                                        int* error) override {
    waitIfHeld(path);
    if (fault(m_openFails, path, error)) return nullptr;
    std::unique_ptr<dyxplatform::Directory> dir = EnvWrapper::openDirectory(path, error);
    return dir ? wrap(path, std::move(dir)) : nullptr;
  }
  dyxplatform::FileInfoResult readFileInfo(const std::string& path, dyxplatform::FileInfo& out,
                                           int* error) override {
    if (fault(m_vanished, path, error)) return dyxplatform::FileInfoResult::kVanished;
    return EnvWrapper::readFileInfo(path, out, error);
  }
  std::unique_ptr<dyxplatform::WritableFile> newWritableFile(const std::string& path,
                                                             int* error) override {
    std::unique_ptr<dyxplatform::WritableFile> file = EnvWrapper::newWritableFile(path, error);
    int failure = 0;
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      for (const auto& [prefix, code] : m_writeFails) {
        if (path.compare(0, prefix.size(), prefix) == 0) failure = code;
      }
    }
    if (!file || failure == 0) return file;
    return std::make_unique<FailingFile>(*this, std::move(file), failure);
  }
  std::unique_ptr<dyxplatform::SequentialFile> openSequentialFile(const std::string& path,
                                                                  int* error) override {
    std::unique_ptr<dyxplatform::SequentialFile> file = EnvWrapper::openSequentialFile(path, error);
    ReadFault fault;
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      const auto it = m_readFails.find(path);
      if (it != m_readFails.end()) fault = it->second;
    }
    if (!file || fault.error == 0) return file;
    return std::make_unique<FailingRead>(*this, std::move(file), fault);
  }
  bool renameFile(const std::string& from, const std::string& to, int* error) override {
    if (fault(m_renameFails, to, error)) return false;
    return EnvWrapper::renameFile(from, to, error);
  }
  std::unique_ptr<dyxplatform::DirectoryWatchSet> newWatchSet() override {
    return std::make_unique<FaultWatchSet>(*this, EnvWrapper::newWatchSet());
  }

 private:
  struct ListFault {
    int names = 0;
    int error = 0;
  };

  class FaultDirectory final : public dyxplatform::Directory {
   public:
    FaultDirectory(FaultEnv& env, std::string path, std::unique_ptr<Directory> target,
                   ListFault listFault)
        : m_env(env),
          m_path(std::move(path)),
          m_target(std::move(target)),
          m_listFault(listFault) {}
    bool next(dyxplatform::DirItem& item) override {
      if (m_listFault.error != 0 && m_given >= m_listFault.names) {
        if (m_error == 0) m_env.count();
        m_error = m_listFault.error;
        return false;
      }
      if (!m_target->next(item)) return false;
      ++m_given;
      return true;
    }
    int error() const override { return m_error != 0 ? m_error : m_target->error(); }
    dyxplatform::FileInfoResult readFileInfo(const std::string& name, dyxplatform::FileInfo& out,
                                             int* error) override {
      if (m_env.fault(m_env.m_vanished, childOf(name), error)) {
        return dyxplatform::FileInfoResult::kVanished;
      }
      return m_target->readFileInfo(name, out, error);
    }
    bool changeTime(std::uint64_t& fileTime, int* error) override {
      return m_target->changeTime(fileTime, error);
    }
    std::unique_ptr<Directory> openChild(const std::string& name, int* error) override {
      const std::string path = childOf(name);
      m_env.waitIfHeld(path);
      if (m_env.fault(m_env.m_openFails, path, error)) return nullptr;
      std::unique_ptr<Directory> child = m_target->openChild(name, error);
      return child ? m_env.wrap(path, std::move(child)) : nullptr;
    }

   private:
    std::string childOf(const std::string& name) const {
      const char separator = dyxplatform::kPathSeparator;
      return m_path.empty() || m_path.back() != separator ? m_path + separator + name
                                                          : m_path + name;
    }
    FaultEnv& m_env;
    const std::string m_path;
    std::unique_ptr<Directory> m_target;
    const ListFault m_listFault;
    int m_given = 0;
    int m_error = 0;
  };

  struct ReadFault {
    std::size_t bytes = 0;
    int error = 0;
  };

  class FailingRead final : public dyxplatform::SequentialFile {
   public:
    FailingRead(FaultEnv& env, std::unique_ptr<SequentialFile> target, ReadFault fault)
        : m_env(env), m_target(std::move(target)), m_fault(fault) {}
    long read(char* buffer, std::size_t size, int* error) override {
      if (m_given >= m_fault.bytes) {
        m_env.count();
        if (error != nullptr) *error = m_fault.error;
        return -1;
      }
      const long n = m_target->read(buffer, std::min(size, m_fault.bytes - m_given), error);
      if (n > 0) m_given += static_cast<std::size_t>(n);
      return n;
    }
    bool seek(std::uint64_t offset, int* error) override {
      m_given = static_cast<std::size_t>(offset);
      return m_target->seek(offset, error);
    }
    std::uint64_t size() const override { return m_target->size(); }

   private:
    FaultEnv& m_env;
    std::unique_ptr<SequentialFile> m_target;
    const ReadFault m_fault;
    std::size_t m_given = 0;
  };

  class FailingFile final : public dyxplatform::WritableFile {
   public:
    FailingFile(FaultEnv& env, std::unique_ptr<WritableFile> target, int failure)
        : m_env(env), m_target(std::move(target)), m_failure(failure) {}
    bool append(std::string_view data, int* error) override {
      m_target->append(data.substr(0, data.size() / 2), nullptr);
      m_env.count();
      if (error != nullptr) *error = m_failure;
      return false;
    }
    bool sync(int* error) override { return m_target->sync(error); }
    bool close(int* error) override { return m_target->close(error); }

   private:
    FaultEnv& m_env;
    std::unique_ptr<WritableFile> m_target;
    const int m_failure;
  };

  class FaultWatchSet final : public dyxplatform::DirectoryWatchSet {
   public:
    FaultWatchSet(FaultEnv& env, std::unique_ptr<DirectoryWatchSet> target)
        : m_env(env), m_target(std::move(target)), m_overflowsSeen(env.m_overflows.load()) {}
    bool isValid() const override { return m_target->isValid(); }
    int error() const override { return m_target->error(); }
    int add(const std::string& path, int* error) override {
      m_env.waitIfHeld(path, m_env.m_heldWatch);
      std::lock_guard<std::mutex> guard(m_mutex);
      const int limit = m_env.m_watchLimit.load();
      if (limit >= 0 && static_cast<int>(m_live.size()) >= limit) {
        m_env.count();
        if (error != nullptr) *error = ENOSPC;
        return -1;
      }
      const int watch = m_target->add(path, error);
      if (watch >= 0) m_live.insert(watch);
      return watch;
    }
    void remove(int watch) override {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_live.erase(watch);
      m_target->remove(watch);
    }
    // In short slices, so that an overflow asked for meanwhile is reported promptly.
    WaitResult wait(int timeoutMs, std::vector<Event>& events) override {
      constexpr int kSliceMs = 20;
      for (int waited = 0;; waited += kSliceMs) {
        const int overflows = m_env.m_overflows.load();
        if (overflows != m_overflowsSeen) {
          m_overflowsSeen = overflows;
          m_env.count();
          Event lost;
          lost.what = kOverflow;
          events.push_back(lost);
          return WaitResult::kEvents;
        }
        const int slice = timeoutMs < 0 ? kSliceMs : std::min(kSliceMs, timeoutMs - waited);
        if (slice <= 0) return WaitResult::kTimeout;
        const std::size_t before = events.size();
        const WaitResult result = m_target->wait(slice, events);
        if (result == WaitResult::kEvents && m_env.m_dropEvents.load()) {
          events.resize(before);
          m_env.count();
          continue;
        }
        if (result == WaitResult::kEvents) {
          // A watch that ended no longer counts against the limit.
          std::lock_guard<std::mutex> guard(m_mutex);
          for (std::size_t i = before; i < events.size(); ++i) {
            if (events[i].what & kWatchEnded) m_live.erase(events[i].watch);
          }
        }
        if (result != WaitResult::kTimeout) return result;
      }
    }
    void interrupt() override { m_target->interrupt(); }

   private:
    FaultEnv& m_env;
    std::unique_ptr<DirectoryWatchSet> m_target;
    std::mutex m_mutex;
    std::set<int> m_live;
    int m_overflowsSeen;  // the waiting thread's
  };

  std::unique_ptr<dyxplatform::Directory> wrap(const std::string& path,
                                               std::unique_ptr<dyxplatform::Directory> dir) {
    ListFault listFault;
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      const auto it = m_listFails.find(path);
      if (it != m_listFails.end()) listFault = it->second;
    }
    return std::make_unique<FaultDirectory>(*this, path, std::move(dir), listFault);
  }
  void set(std::map<std::string, int>& faults, const std::string& key, int error) {
    std::lock_guard<std::mutex> guard(m_mutex);
    faults[key] = error;
  }
  bool fault(const std::map<std::string, int>& faults, const std::string& key, int* error) {
    std::lock_guard<std::mutex> guard(m_mutex);
    const auto it = faults.find(key);
    if (it == faults.end()) return false;
    if (error != nullptr) *error = it->second;
    ++m_faultsMade;
    return true;
  }
  void count() {
    std::lock_guard<std::mutex> guard(m_mutex);
    ++m_faultsMade;
  }
  void waitIfHeld(const std::string& path) { waitIfHeld(path, m_held); }
  void waitIfHeld(const std::string& path, const std::string& held) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_released.wait(lock, [&] { return held.empty() || held != path; });
  }

  mutable std::mutex m_mutex;
  std::condition_variable m_released;
  std::string m_held;
  std::string m_heldWatch;
  std::map<std::string, int> m_openFails;
  std::map<std::string, ListFault> m_listFails;
  std::map<std::string, int> m_vanished;
  std::map<std::string, int> m_writeFails;
  std::map<std::string, int> m_renameFails;
  std::map<std::string, ReadFault> m_readFails;
  int m_faultsMade = 0;
  std::atomic<int> m_watchLimit{-1};
  std::atomic<int> m_overflows{0};
  std::atomic<bool> m_dropEvents{false};
};

}  // namespace quarrytest
