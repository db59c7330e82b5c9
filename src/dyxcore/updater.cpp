#include "dyxcore/updater.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "dyxcore/mutex.h"
#include "dyxcore/thread.h"
#include "kxcore/io.h"

// The polling thread of one updater: one pass at once, then one per period. The wait between
// passes is the thread's interruptible sleep, so a stop request ends it at once.
class DyxUpdaterThread final : public DyxThread {
 public:
  DyxUpdaterThread(DyxUpdater& updater, int periodMs) : m_updater(updater), m_periodMs(periodMs) {}
  ~DyxUpdaterThread() override {
    requestStop();
    waitStopped(-1);
  }

  static bool currentStopRequested();

 protected:
  void run() override;

 private:
  DyxUpdater& m_updater;  // not owned; outlives the thread (its stopUpdateLoop waits for us)
  int m_periodMs;
};

namespace {
thread_local const DyxUpdaterThread* t_pollingThread = nullptr;

struct PollingThreadMark {
  explicit PollingThreadMark(const DyxUpdaterThread* thread) { t_pollingThread = thread; }
  ~PollingThreadMark() { t_pollingThread = nullptr; }
};
}  // namespace

bool DyxUpdaterThread::currentStopRequested() {
  return t_pollingThread != nullptr && t_pollingThread->isStopRequested();
}

void DyxUpdaterThread::run() {
  KX_SCOPE("DyxUpdaterThread::begin");
  {
    PollingThreadMark mark(this);
    while (!isStopRequested()) {
      // Key 10 only orders the start of a pass against whoever holds it; the pass itself takes
      // the engine lock step by step.
      { DyxMutexLock pollingKey(DyxMutexRegistry::kPollingKey); }
      try {
        m_updater.doUpdate(false, true);
      } catch (const DyxThreadExit&) {
        throw;
      } catch (...) {
        KX_POS(kxerr) << "Exception while updating or triggering the callbacks. Continue." << endl;
      }
      if (isStopRequested()) break;
      sleepFor(m_periodMs);
    }
  }
  KX_POS(kxout) << "Calling exit." << endl;
  exit();
}

struct DyxUpdater::Loop {
  std::mutex threadMutex;  // guards thread
  std::unique_ptr<DyxUpdaterThread> thread;
  std::mutex callbackMutex;  // guards callbacks
  std::vector<DyxUpdateCallback> callbacks;
};

DyxUpdater::StampLock::StampLock(std::atomic<bool>& held) : m_held(held) {
  while (m_held.exchange(true, std::memory_order_acquire)) {
    while (m_held.load(std::memory_order_relaxed)) std::this_thread::yield();
  }
}

DyxUpdater::DyxUpdater() : m_mtime(DyxTime::kUnset) {}

DyxUpdater::~DyxUpdater() {
  stopUpdateLoop();
  delete m_loop.exchange(nullptr, std::memory_order_acq_rel);
}

DyxUpdater::Loop& DyxUpdater::loop() {
  Loop* made = loopIfMade();
  if (made != nullptr) return *made;
  auto fresh = std::make_unique<Loop>();
  if (m_loop.compare_exchange_strong(made, fresh.get(), std::memory_order_acq_rel,
                                     std::memory_order_acquire)) {
    return *fresh.release();
  }
  return *made;  // another thread made it meanwhile
}

DyxTime DyxUpdater::getMTimeFine(std::uint64_t& fine) {
  fine = 0;
  return getMTime();
}

void DyxUpdater::resetTimeStamp() { setStoredTimeStamp(DyxTime(), 0); }

void DyxUpdater::storeTimeStamp() {
  std::uint64_t fine = 0;
  DyxTime t = getMTimeFine(fine);
  setStoredTimeStamp(t, fine);
}

DyxTime DyxUpdater::getStoredTimeStamp() const {
  StampLock guard(m_stampHeld);
  return DyxTime(m_mtime);
}

std::uint64_t DyxUpdater::getStoredFineTimeStamp() const {
  StampLock guard(m_stampHeld);
  return m_fine;
}

void DyxUpdater::setStoredTimeStamp(DyxTime t) { setStoredTimeStamp(t, 0); }

void DyxUpdater::setStoredTimeStamp(DyxTime t, std::uint64_t fine) {
  StampLock guard(m_stampHeld);
  m_mtime = t.getValue();
  m_fine = fine;
}

bool DyxUpdater::isUpToDate() {
  KX_SCOPE("DyxUpdater::isUpToDate");
  std::uint64_t fine = 0;
  DyxTime t = getMTimeFine(fine);
  DyxTime stored;
  std::uint64_t storedFine = 0;
  {
    StampLock guard(m_stampHeld);
    stored = DyxTime(m_mtime);
    storedFine = m_fine;
  }
  KX_POS(kxout) << "Old mtime: " << stored.toString() << ", new mtime=" << t.toString() << endl;
  if (t == stored) KX_POS(kxout) << "Same time stamp." << endl;
  return stored.isSet() && t == stored && fine == storedFine;
}

bool DyxUpdater::doUpdate(bool force_update, bool recursive) {
  KX_SCOPE("DyxUpdater::doUpdate");
  kxout << kxParam("force_update", force_update) << kxParam("recursive", recursive) << endl;
  if (!force_update && isUpToDate()) {
    KX_POS(kxout) << "is up to date." << endl;
    return false;
  }
  try {
    bool changed = update(force_update, recursive);
    if (!storesOwnTimeStamp()) storeTimeStamp();
    if (changed) fireCallbacks();
    return changed;
  } catch (const DyxThreadExit&) {
    throw;
  } catch (...) {
    KX_POS(kxerr) << "Exception while updating or triggering the callbacks. Continue." << endl;
    throw;
  }
}

void DyxUpdater::addCallback(DyxUpdateCallback callback) {
  Loop& l = loop();
  std::lock_guard<std::mutex> guard(l.callbackMutex);
  l.callbacks.push_back(callback);
}

void DyxUpdater::removeCallback(DyxUpdateCallback callback) {
  Loop* l = loopIfMade();
  if (l == nullptr) return;
  std::lock_guard<std::mutex> guard(l->callbackMutex);
  auto it = std::find(l->callbacks.begin(), l->callbacks.end(), callback);
  if (it != l->callbacks.end()) l->callbacks.erase(it);
}

void DyxUpdater::fireCallbacks() {
  Loop* l = loopIfMade();
  if (l == nullptr) return;
  // A copy, so that a callback may add or remove callbacks.
  std::vector<DyxUpdateCallback> callbacks;
  {
    std::lock_guard<std::mutex> guard(l->callbackMutex);
    callbacks = l->callbacks;
  }
  for (DyxUpdateCallback callback : callbacks) {
    if (callback != nullptr) callback();
  }
}

std::size_t DyxUpdater::callbackCount() const {
  Loop* l = loopIfMade();
  if (l == nullptr) return 0;
  std::lock_guard<std::mutex> guard(l->callbackMutex);
  return l->callbacks.size();
}

void DyxUpdater::beginUpdateLoop(int period) {
  KX_SCOPE("DyxUpdater::beginUpdateLoop");
  kxout << kxParam("period", period) << endl;
  beginUpdateLoopMs(std::max(period, 1) * 1000);
}

void DyxUpdater::beginUpdateLoopMs(int periodMs) {
  stopUpdateLoop();
  auto thread = std::make_unique<DyxUpdaterThread>(*this, std::max(periodMs, 1));
  Loop& l = loop();
  {
    std::lock_guard<std::mutex> guard(l.threadMutex);
    std::swap(l.thread, thread);
    // A thread that cannot be started stays as a stopped object (begin reported why).
    l.thread->begin();
  }
  // `thread` now holds a loop started meanwhile by another caller, if any: it is replaced.
  thread.reset();
}

void DyxUpdater::stopUpdateLoop() {
  KX_SCOPE("DyxUpdater::stopUpdateLoop");
  Loop* l = loopIfMade();
  if (l == nullptr) return;
  std::unique_ptr<DyxUpdaterThread> thread;
  {
    std::lock_guard<std::mutex> guard(l->threadMutex);
    if (!l->thread) return;
    if (t_pollingThread == l->thread.get()) {
      // Asked from the loop itself (a callback): it ends after this pass; the object is
      // destroyed by the next begin, stop or the destructor, from another thread.
      l->thread->requestStop();
      return;
    }
    thread = std::move(l->thread);
  }
  thread->requestStop();
  while (!thread->waitStopped(2000)) {
    KX_POS(kxout) << "Waiting 2 seconds for the thread to stop." << endl;
  }
  KX_POS(kxout) << "Thread stopped." << endl;
  thread.reset();
}

bool DyxUpdater::isPolling() const {
  Loop* l = loopIfMade();
  if (l == nullptr) return false;
  std::lock_guard<std::mutex> guard(l->threadMutex);
  return l->thread != nullptr && !l->thread->isStopped();
}

bool DyxUpdater::pollingStopRequested() { return DyxUpdaterThread::currentStopRequested(); }
