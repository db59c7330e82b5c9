// Locks of the engine.
//
// The engine lock: one process-wide recursive mutex that serialises every operation that walks or
// changes the pool, a directory, a repository, the view manager or a view. Take it with a
// `DyxEngineLock` for one step (one directory, one file, one view operation), never across a
// whole long scan, so that the window can read the engine between steps. The lock knows which
// thread holds it: a reader whose contract says "under the engine lock" checks it with
// DYX_REQUIRE_ENGINE_LOCK, which in debug and sanitizer builds stops the program (naming the
// reader) when the calling thread does not hold it; release builds leave the check out.
//
// The keyed registry: process-wide recursive mutexes addressed by integer keys (the polling
// loop takes key 10 around each pass), with a condition per key. The registry has its own
// guard; a blocked `lock` does not hold it. Every operation may be called from any thread.
#pragma once

#include <mutex>
#include <ostream>
#include <string>

std::recursive_mutex& dyxEngineMutex();

// Holds the engine lock for its lifetime (or until `unlock`). Not copyable; one thread.
class DyxEngineLock {
 public:
  DyxEngineLock() { lock(); }
  ~DyxEngineLock() {
    if (m_owns) unlock();
  }
  DyxEngineLock(const DyxEngineLock&) = delete;
  DyxEngineLock& operator=(const DyxEngineLock&) = delete;
  // Both do nothing when the object already is in that state.
  void unlock();
  void lock();
  bool ownsLock() const { return m_owns; }
  // Whether the calling thread holds the engine lock (through any DyxEngineLock).
  static bool isHeldByCaller();

 private:
  bool m_owns = false;
};

// Stops the program with a message naming `reader` when the calling thread does not hold the
// engine lock. Use DYX_REQUIRE_ENGINE_LOCK, which release builds compile to nothing.
void dyxRequireEngineLock(const char* reader);
#ifdef NDEBUG
#define DYX_REQUIRE_ENGINE_LOCK(reader) ((void)0)
#else
#define DYX_REQUIRE_ENGINE_LOCK(reader) dyxRequireEngineLock(reader)
#endif

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
