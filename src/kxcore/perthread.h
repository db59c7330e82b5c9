// Objects that belong to one thread and are destroyed when that thread ends: a thread's
// unfinished trace lines, its buffers. The replacement of a thread_local of class type.
//
// A thread_local variable whose type has a destructor is unsafe with MinGW-w64: its storage is
// emulated, and at thread exit the emulation frees that storage in no fixed order with the
// destructors registered for it, so a destructor may run on freed memory and corrupt the heap.
// Here the object lives on the heap, a thread_local pointer (which needs no destructor) finds
// it, and a key of the thread library destroys it when the thread ends.
//
//   std::string& buffer() {
//     thread_local std::string* mine = nullptr;
//     if (mine == nullptr) mine = kxthread::makeOwned<std::string>();
//     return *mine;
//   }
//
// Threads: an object is made and used by its own thread only. The objects of a thread that
// ends are destroyed in the reverse order of their making, on that thread; those of a thread
// that never ends (the main thread) live until the process exits.
#pragma once

#include <utility>

namespace kxthread {

// Has the calling thread run destroy(object) when it ends.
void atThreadExit(void* object, void (*destroy)(void*));

// A new T owned by the calling thread: destroyed when the thread ends.
template <class T, class... Args>
T* makeOwned(Args&&... args) {
  T* object = new T(std::forward<Args>(args)...);
  atThreadExit(object, [](void* p) { delete static_cast<T*>(p); });
  return object;
}

}  // namespace kxthread
