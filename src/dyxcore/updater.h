// DyxUpdater: the base of everything that can be brought up to date from the file system (each
// physical directory and the directory pool). It decides from a stored time stamp whether an
// update is needed, runs the subclass's `update`, stores the new time stamp and calls the
// registered callbacks when something changed. It also owns an optional polling thread that
// repeats `doUpdate` at a fixed period.
//
// Ownership: the updater owns its polling thread; callbacks are plain functions. A pool holds an
// updater per directory, and few of them ever poll or have callbacks: the thread and the
// callback list are made on first use, so an updater that never uses them costs 32 bytes.
//
// Threads: `doUpdate`, `isUpToDate`, the time stamp and the callback list may be used from
// several threads at once (the polling thread, the change watcher, the caller's thread);
// they need no engine lock, and `update` implementations take the engine lock themselves, one
// step at a time. `beginUpdateLoop` and `stopUpdateLoop` must be called WITHOUT holding the
// engine lock: the loop's current pass may be waiting for it. A subclass must call
// `stopUpdateLoop` in its own destructor, before its part of the object is gone.
#pragma once

#include <atomic>
#include <cstdint>

#include "dyxcore/xentry.h"  // DyxTime

class DyxUpdaterThread;

// A plain function without arguments and without result; the same function may be added twice.
using DyxUpdateCallback = void (*)();

class DyxUpdater {
 public:
  DyxUpdater();
  virtual ~DyxUpdater();
  DyxUpdater(const DyxUpdater&) = delete;
  DyxUpdater& operator=(const DyxUpdater&) = delete;

  // Performs the update; true when anything changed.
  virtual bool update(bool force, bool recursive) = 0;
  // The current time stamp of what the updater watches.
  virtual DyxTime getMTime() = 0;

  void resetTimeStamp();
  void storeTimeStamp();
  // The time stamp seen at the end of the last update (unset after construction and reset).
  DyxTime getStoredTimeStamp() const;
  // The fine part of the stored time stamp (0 when none is stored or the updater has none).
  std::uint64_t getStoredFineTimeStamp() const;
  void setStoredTimeStamp(DyxTime t);

  // True only when a time stamp is stored and equals `getMTime`.
  bool isUpToDate();
  // Runs `update` unless nothing changed and the update is not forced; stores the time stamp
  // and fires the callbacks when `update` reported a change. Exceptions are reported and
  // passed on (the time stamp is then not stored).
  bool doUpdate(bool force_update, bool recursive);

  void addCallback(DyxUpdateCallback callback);
  // Removes the first equal callback, if any.
  void removeCallback(DyxUpdateCallback callback);
  void fireCallbacks();
  std::size_t callbackCount() const;

  // Starts (or restarts) the polling loop: one pass at once, then one per `period` seconds
  // (at least one).
  void beginUpdateLoop(int period);
  // The same with a period in milliseconds (at least 1), for finer loops and tests.
  void beginUpdateLoopMs(int periodMs);
  // Asks the loop to stop and waits until its thread has ended. The wait between passes is
  // interrupted at once; a pass that is running finishes its current directory first.
  void stopUpdateLoop();
  bool isPolling() const;

  // True on the polling thread while its stop has been requested: a long pass (the pool's walk
  // over its directories) checks it between directories so that a stop is prompt.
  static bool pollingStopRequested();

 protected:
  // The time stamp together with a finer one (0 when there is none). A stored time stamp is up
  // to date only when both are unchanged, so that a subclass whose time stamp only moves every
  // 429.5 seconds still notices a change inside one interval. The default adds no fine part.
  virtual DyxTime getMTimeFine(std::uint64_t& fine);
  // True when `update` stores the time stamp itself (taken before it read anything, so that a
  // change made while it ran is not hidden); `doUpdate` then does not store it again.
  virtual bool storesOwnTimeStamp() const { return false; }
  void setStoredTimeStamp(DyxTime t, std::uint64_t fine);

 private:
  // The polling thread and the callbacks, with their mutexes.
  struct Loop;
  // The loop part, made on first use (any thread; the first one made wins).
  Loop& loop();
  // The loop part, or nullptr when nothing has needed it yet.
  Loop* loopIfMade() const { return m_loop.load(std::memory_order_acquire); }

  // Held only for the two loads or stores of the stamp, so a one-byte lock that yields while
  // it waits costs less than a mutex of 40 bytes in each of a pool's directories.
  class StampLock {
   public:
    explicit StampLock(std::atomic<bool>& held);
    ~StampLock() { m_held.store(false, std::memory_order_release); }
    StampLock(const StampLock&) = delete;
    StampLock& operator=(const StampLock&) = delete;

   private:
    std::atomic<bool>& m_held;
  };

  // Both parts of the stored stamp change together under m_stampHeld.
  std::int32_t m_mtime;
  mutable std::atomic<bool> m_stampHeld{false};
  std::uint64_t m_fine = 0;
  std::atomic<Loop*> m_loop{nullptr};  // owned
};
