#include "dyxcore/mutex.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "dyxcore/thread.h"
#include "kxcore/io.h"

std::recursive_mutex& dyxEngineMutex() {
  // Never destroyed: threads that end while the process exits may still take it.
  static std::recursive_mutex* engine = new std::recursive_mutex;
  return *engine;
}

namespace {
// How many times the calling thread holds the engine lock (it is recursive).
thread_local int t_engineHolds = 0;
}  // namespace

void DyxEngineLock::lock() {
  if (m_owns) return;  // one object holds the lock once; the destructor releases it once
  dyxEngineMutex().lock();
  ++t_engineHolds;
  m_owns = true;
}

void DyxEngineLock::unlock() {
  if (!m_owns) return;
  --t_engineHolds;
  m_owns = false;
  dyxEngineMutex().unlock();
}

bool DyxEngineLock::isHeldByCaller() { return t_engineHolds > 0; }

void dyxRequireEngineLock(const char* reader) {
  if (t_engineHolds > 0) return;
  std::fprintf(stderr, "%s called without the engine lock\n", reader);
  std::abort();
}

namespace {

struct MutexRecord {
  // Threads are told apart by their identity, so that two threads outside the thread table
  // (the main thread and a foreign one) never pass for the same owner.
  std::thread::id owner;
  int ownerSlot = -1;  // for traces: the owner's slot in the thread table
  int count = 0;
  std::mutex native;
  std::unique_ptr<std::condition_variable> condition;  // created on first wait
};

struct Registry {
  std::mutex guard;
  std::map<int, std::unique_ptr<MutexRecord>> records;

  // Under the guard. Records are never removed, so the pointer stays valid.
  MutexRecord& record(int key) {
    auto& slot = records[key];
    if (!slot) slot = std::make_unique<MutexRecord>();
    return *slot;
  }
};

Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

}  // namespace

namespace DyxMutexRegistry {

void lock(int key) {
  Registry& reg = registry();
  const std::thread::id me = std::this_thread::get_id();
  std::unique_lock<std::mutex> guard(reg.guard);
  MutexRecord& rec = reg.record(key);
  if (rec.count > 0 && rec.owner == me) {
    ++rec.count;
    return;
  }
  guard.unlock();
  // Taken outside the guard so that a blocked lock does not hold the registry.
  rec.native.lock();
  guard.lock();
  rec.owner = me;
  rec.ownerSlot = dyxthreads::self();
  rec.count = 1;
}

void unlock(int key) {
  Registry& reg = registry();
  std::unique_lock<std::mutex> guard(reg.guard);
  MutexRecord& rec = reg.record(key);
  if (rec.count == 0) {
    guard.unlock();
    KX_POS(kxerr) << "Unlock of the mutex " << key << " that no thread holds." << endl;
    throw 0;
  }
  if (rec.owner != std::this_thread::get_id()) return;
  if (--rec.count == 0) {
    rec.owner = std::thread::id();
    rec.ownerSlot = -1;
    rec.native.unlock();
  }
}

void wait(int key) {
  Registry& reg = registry();
  const std::thread::id me = std::this_thread::get_id();
  std::unique_lock<std::mutex> guard(reg.guard);
  MutexRecord& rec = reg.record(key);
  if (rec.count == 0 || rec.owner != me) {
    guard.unlock();
    KX_POS(kxerr) << "Wait on the mutex " << key << " that the caller does not hold." << endl;
    throw 0;
  }
  if (!rec.condition) rec.condition = std::make_unique<std::condition_variable>();
  std::condition_variable& condition = *rec.condition;
  // The whole nesting is given up for the wait and restored afterwards: other threads must be
  // able to take the key meanwhile, and the caller's own unlocks must still balance.
  const int saved = rec.count;
  rec.count = 0;
  rec.owner = std::thread::id();
  rec.ownerSlot = -1;
  guard.unlock();
  {
    std::unique_lock<std::mutex> native(rec.native, std::adopt_lock);
    condition.wait(native);
    native.release();
  }
  guard.lock();
  rec.owner = me;
  rec.ownerSlot = dyxthreads::self();
  rec.count = saved;
}

void signal(int key) {
  Registry& reg = registry();
  std::lock_guard<std::mutex> guard(reg.guard);
  MutexRecord& rec = reg.record(key);
  if (rec.condition) rec.condition->notify_one();
}

void broadcast(int key) {
  Registry& reg = registry();
  std::lock_guard<std::mutex> guard(reg.guard);
  MutexRecord& rec = reg.record(key);
  if (rec.condition) rec.condition->notify_all();
}

std::string describe(int key) {
  Registry& reg = registry();
  std::lock_guard<std::mutex> guard(reg.guard);
  auto it = reg.records.find(key);
  if (it == reg.records.end()) return std::string();
  const MutexRecord& rec = *it->second;
  std::ostringstream os;
  os << "[th=" << rec.ownerSlot << ",count=" << rec.count
     << ",mtx=" << static_cast<const void*>(&rec.native)
     << static_cast<const void*>(rec.condition.get()) << "]";
  return os.str();
}

bool isHeldByCaller(int key) {
  Registry& reg = registry();
  std::lock_guard<std::mutex> guard(reg.guard);
  auto it = reg.records.find(key);
  return it != reg.records.end() && it->second->count > 0 &&
         it->second->owner == std::this_thread::get_id();
}

}  // namespace DyxMutexRegistry

DyxMutexLock::DyxMutexLock(int key) : m_key(key), m_held(true) { DyxMutexRegistry::lock(key); }

DyxMutexLock::~DyxMutexLock() {
  if (!m_held) return;
  try {
    DyxMutexRegistry::unlock(m_key);
  } catch (int) {
  }
}

void DyxMutexLock::release() {
  if (!m_held) return;
  m_held = false;
  DyxMutexRegistry::unlock(m_key);
}
