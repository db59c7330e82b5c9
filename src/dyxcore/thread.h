// DyxThread: the engine's background thread. A subclass supplies `run`; `begin` starts it in a
// slot of the process-wide thread table (at most 100 threads at a time), `requestStop` asks it
// to end, `suspend`/`resume` park and wake it. The object must outlive its thread: its owner
// calls `requestStop` and waits for `isStopped` (or `waitStopped`) before destroying it, and a
// subclass does so in its own destructor, since `run` may still use the subclass's members.
//
// Threads: `begin`, `requestStop`, `resume`, `isStopRequested`, `isStopped` and `waitStopped`
// may be called from any thread; `suspend`, `sleepFor` and `exit` only from the object's own
// thread. The thread table has its own lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

// Thrown by DyxThread::exit (and the table's exit) to end the calling thread: the entry routine
// catches it after the stack has unwound. A `run` that catches every exception must rethrow it.
struct DyxThreadExit {
  int value = 0;
};

class DyxThread {
 public:
  DyxThread();
  virtual ~DyxThread();
  DyxThread(const DyxThread&) = delete;
  DyxThread& operator=(const DyxThread&) = delete;

  // Starts the thread, unless it runs already ("The thread is already running.") or the table
  // refuses ("Failed thread creation. ret=..."). Returns true when the thread was started.
  bool begin();
  // Ends the calling thread, which must be this object's own thread; nothing when stopped.
  void exit();
  // Sets the stop request and wakes the thread if it is parked.
  void requestStop();
  bool isStopRequested() const { return m_stopRequested.load(std::memory_order_acquire); }
  bool isStopped() const { return m_stopped.load(std::memory_order_acquire); }
  // Parks the calling (own) thread until `resume` or `requestStop`. A wake-up that came since
  // the last park returns at once: it is never lost.
  void suspend();
  void resume();
  // Parks for at most `ms` milliseconds; returns early (true) on `resume` or `requestStop`.
  // The periodic loops use it as their interruptible wait.
  bool sleepFor(int ms);
  // Waits until the thread has ended, at most `ms` milliseconds (ms < 0: no limit). True when
  // stopped. Returns false at once when called from the object's own thread.
  bool waitStopped(int ms);
  // The slot of the thread in the table, -1 before the first start.
  int getKey() const { return m_key.load(std::memory_order_acquire); }

 protected:
  // The thread's work. Loops are expected to test isStopRequested().
  virtual void run() = 0;

 private:
  friend struct DyxThreadTableAccess;
  static void entryRoutine(DyxThread* thread);

  std::atomic<bool> m_stopRequested{true};
  std::atomic<bool> m_stopped{true};
  std::atomic<int> m_key{-1};

  std::mutex m_parkMutex;
  std::condition_variable m_parkCondition;
  bool m_wakePending = false;  // guarded by m_parkMutex
};

// The thread table (process-wide, 100 slots, modelled on create/self/exit of POSIX threads).
namespace dyxthreads {
constexpr int kMaxThreads = 100;
using Routine = void (*)(DyxThread*);
// Returns 0 and the slot in `key` on success, 1 when all 100 slots are in use
// ("Dyx: Max thread limit reached."), or the platform's error number.
int create(int& key, Routine routine, DyxThread* object);
// The slot of the calling thread, or -1 for a thread that the table did not create.
int self();
// Whether the slot `key` holds a running thread.
bool isInUse(int key);
// The exit value stored in slot `key` when its thread ended (0 when it never ran).
int exitValue(int key);
// Frees the calling thread's slot with the exit value and ends the thread (throws
// DyxThreadExit). From a thread the table did not create it returns -1 and does nothing.
int exit(int value);
// Number of slots in use.
int usedCount();
}  // namespace dyxthreads
