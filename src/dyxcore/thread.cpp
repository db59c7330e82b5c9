#include "dyxcore/thread.h"

#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>

#include "dyxcore/platform.h"
#include "kxcore/io.h"

// The table, shared by every thread. Never destroyed, so a thread ending while the process
// exits still finds it.
struct DyxThreadTableAccess {
  struct Slot {
    bool free = true;
    int key = -1;
    int exitValue = 0;
    std::thread::id threadId;
    DyxThread* object = nullptr;
    dyxthreads::Routine routine = nullptr;
  };
  std::mutex mutex;
  std::condition_variable ended;  // notified whenever a slot is freed
  Slot slots[dyxthreads::kMaxThreads];
  int searchPosition = 0;

  static void setKey(DyxThread* object, int key) {
    if (object) object->m_key.store(key, std::memory_order_release);
  }

  static DyxThreadTableAccess& table() {
    static DyxThreadTableAccess* t = new DyxThreadTableAccess;
    return *t;
  }

  // Frees the slot of a thread that ends; the object (when given) is marked stopped in the
  // same step, so a waiter that sees it stopped also sees the slot free.
  void release(int key, int value, DyxThread* object) {
    std::lock_guard<std::mutex> lock(mutex);
    if (object) object->m_stopped.store(true, std::memory_order_release);
    if (key >= 0 && key < dyxthreads::kMaxThreads && !slots[key].free) {
      slots[key].free = true;
      slots[key].key = -1;
      slots[key].exitValue = value;
      slots[key].object = nullptr;
      slots[key].routine = nullptr;
    }
    ended.notify_all();
  }
};

namespace {
thread_local int t_selfKey = -1;

void runSlot(int key) {
  auto& table = DyxThreadTableAccess::table();
  DyxThread* object;
  dyxthreads::Routine routine;
  {
    std::lock_guard<std::mutex> lock(table.mutex);
    object = table.slots[key].object;
    routine = table.slots[key].routine;
  }
  t_selfKey = key;
  int value = 0;
  try {
    routine(object);
  } catch (const DyxThreadExit& e) {
    value = e.value;
  } catch (...) {
  }
  t_selfKey = -1;
  // From here on the object may be destroyed by its owner: it is not touched again.
  table.release(key, value, object);
}
}  // namespace

namespace dyxthreads {

int create(int& key, Routine routine, DyxThread* object) {
  auto& table = DyxThreadTableAccess::table();
  std::unique_lock<std::mutex> lock(table.mutex);
  int found = -1;
  for (int i = 0; i < kMaxThreads; ++i) {
    const int candidate = table.searchPosition;
    if (table.slots[candidate].free) {
      found = candidate;
      break;
    }
    table.searchPosition = (table.searchPosition + 1) % kMaxThreads;
  }
  if (found < 0) {
    lock.unlock();
    KX_POS(kxerr) << "Dyx: Max thread limit reached." << endl;
    return 1;
  }
  auto& slot = table.slots[found];
  slot.free = false;
  slot.key = found;
  slot.exitValue = 0;
  slot.object = object;
  slot.routine = routine;
  DyxThreadTableAccess::setKey(object, found);
  try {
    std::thread t(runSlot, found);
    slot.threadId = t.get_id();
    // Slots are given back by the thread itself; the table never joins.
    t.detach();
  } catch (const std::system_error& e) {
    slot.free = true;
    slot.key = -1;
    slot.object = nullptr;
    slot.routine = nullptr;
    const int code = e.code().value();
    return code != 0 ? code : EAGAIN;
  }
  key = found;
  return 0;
}

int self() { return t_selfKey; }

bool isInUse(int key) {
  if (key < 0 || key >= kMaxThreads) return false;
  auto& table = DyxThreadTableAccess::table();
  std::lock_guard<std::mutex> lock(table.mutex);
  return !table.slots[key].free;
}

int exitValue(int key) {
  if (key < 0 || key >= kMaxThreads) return 0;
  auto& table = DyxThreadTableAccess::table();
  std::lock_guard<std::mutex> lock(table.mutex);
  return table.slots[key].exitValue;
}

int exit(int value) {
  if (t_selfKey < 0) return -1;
  // The slot is freed by the thread's entry when the stack has unwound.
  throw DyxThreadExit{value};
}

int usedCount() {
  auto& table = DyxThreadTableAccess::table();
  std::lock_guard<std::mutex> lock(table.mutex);
  int n = 0;
  for (const auto& slot : table.slots) n += slot.free ? 0 : 1;
  return n;
}

}  // namespace dyxthreads

// ---------------------------------------------------------------------------------------------

DyxThread::DyxThread() = default;

DyxThread::~DyxThread() {
  // A subclass stops its thread in its own destructor; this is the last safety net, so that
  // the thread never runs on freed memory of the base part.
  if (!isStopped() && dyxthreads::self() != getKey()) {
    KX_POS(kxerr) << "A thread object is destroyed while its thread runs: stopping it." << endl;
    requestStop();
    waitStopped(-1);
  }
}

void DyxThread::entryRoutine(DyxThread* thread) {
  try {
    thread->run();
  } catch (const DyxThreadExit&) {
    throw;
  } catch (...) {
  }
  thread->exit();
}

bool DyxThread::begin() {
  bool wasStopped;
  {
    std::lock_guard<std::mutex> lock(DyxThreadTableAccess::table().mutex);
    wasStopped = m_stopped.load(std::memory_order_acquire);
    if (wasStopped) {
      m_stopRequested.store(false, std::memory_order_release);
      m_stopped.store(false, std::memory_order_release);
    }
  }
  if (!wasStopped) {
    kxerr << "The thread is already running." << endl;
    return false;
  }
  {
    std::lock_guard<std::mutex> park(m_parkMutex);
    m_wakePending = false;
  }
  int key = -1;
  const int rc = dyxthreads::create(key, &DyxThread::entryRoutine, this);
  if (rc != 0) {
    kxerr << "Failed thread creation. ret=" << rc << ",err=" << dyxplatform::errorText(rc) << endl;
    m_stopRequested.store(true, std::memory_order_release);
    m_stopped.store(true, std::memory_order_release);
    return false;
  }
  return true;
}

void DyxThread::exit() {
  if (isStopped()) return;
  const int key = dyxthreads::self();
  if (key < 0 || key != getKey()) {
    KX_POS(kxerr) << "exit is called from another thread than the object's own." << endl;
    return;
  }
  // The stack unwinds first; the entry routine then frees the slot and marks the object
  // stopped in one step, after which the owner may destroy the object.
  throw DyxThreadExit{0};
}

void DyxThread::requestStop() {
  m_stopRequested.store(true, std::memory_order_release);
  resume();
}

void DyxThread::suspend() {
  std::unique_lock<std::mutex> lock(m_parkMutex);
  m_parkCondition.wait(lock, [this] { return m_wakePending; });
  m_wakePending = false;
}

void DyxThread::resume() {
  {
    std::lock_guard<std::mutex> lock(m_parkMutex);
    m_wakePending = true;
  }
  m_parkCondition.notify_all();
}

bool DyxThread::sleepFor(int ms) {
  std::unique_lock<std::mutex> lock(m_parkMutex);
  const bool woken = m_parkCondition.wait_for(lock, std::chrono::milliseconds(ms < 0 ? 0 : ms),
                                              [this] { return m_wakePending; });
  m_wakePending = false;
  return woken;
}

bool DyxThread::waitStopped(int ms) {
  if (isStopped()) return true;
  if (dyxthreads::self() >= 0 && dyxthreads::self() == getKey()) return false;
  auto& table = DyxThreadTableAccess::table();
  std::unique_lock<std::mutex> lock(table.mutex);
  auto stopped = [this] { return m_stopped.load(std::memory_order_acquire); };
  if (ms < 0) {
    table.ended.wait(lock, stopped);
    return true;
  }
  return table.ended.wait_for(lock, std::chrono::milliseconds(ms), stopped);
}
