// Locks of the engine.
//
// The engine lock: one process-wide recursive mutex that serialises every operation that walks or
// changes the pool, a directory, a repository, the view manager or a view. Take it with a
// `DyxEngineLock` for one step (one directory, one file, one view operation), never across a
// whole long scan, so that the window can read the engine between steps.
//
// The keyed registry: process-wide recursive mutexes addressed by integer keys (the polling
// loop takes key 10 around each pass), with a condition per key. The registry has its own
// guard; a blocked `lock` does not hold it. Every operation may be called from any thread.
#pragma once

#include <mutex>
#include <ostream>
#include <string>

std::recursive_mutex& dyxEngineMutex();

// Holds the engine lock for its lifetime (or until `unlock`). Not copyable.
class DyxEngineLock {
 public:
  DyxEngineLock() : m_lock(dyxEngineMutex()) {}
  DyxEngineLock(const DyxEngineLock&) = delete;
  DyxEngineLock& operator=(const DyxEngineLock&) = delete;
  void unlock() { m_lock.unlock(); }
  void lock() { m_lock.lock(); }
  bool ownsLock() const { return m_lock.owns_lock(); }

 private:
  std::unique_lock<std::recursive_mutex> m_lock;
};

// The keyed registry (free operations on the process-wide table).
namespace DyxMutexRegistry {
constexpr int kPollingKey = 10;
// Recursive: the owner may lock a key again; each lock needs its unlock.
void lock(int key);
// Throws the integer 0 when the key is not held. An unlock by a thread that is not the owner
// changes nothing.
void unlock(int key);
// Releases the key entirely while waiting on its condition and takes it back (with the same
// nesting count) before returning. The caller must hold the key, else the integer 0 is thrown.
void wait(int key);
void signal(int key);
void broadcast(int key);
// "[th=<owner slot>,count=<n>,mtx=<address><condition address>]"; "" for an unknown key.
std::string describe(int key);
// Whether the calling thread holds the key.
bool isHeldByCaller(int key);
}  // namespace DyxMutexRegistry

// Holds one key of the registry from construction to destruction or `release`.
class DyxMutexLock {
 public:
  explicit DyxMutexLock(int key);
  ~DyxMutexLock();
  DyxMutexLock(const DyxMutexLock&) = delete;
  DyxMutexLock& operator=(const DyxMutexLock&) = delete;
  void release();

 private:
  int m_key;
  bool m_held;
};
