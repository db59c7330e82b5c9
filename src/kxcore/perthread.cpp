#include "kxcore/perthread.h"

#include <pthread.h>

#include <cstdlib>
#include <utility>
#include <vector>

namespace kxthread {
namespace {

using ExitList = std::vector<std::pair<void*, void (*)(void*)>>;

// A destructor that makes a new owned object registers it with a fresh list, which the thread
// library then destroys in its next round.
void runExitList(void* value) {
  auto* list = static_cast<ExitList*>(value);
  while (!list->empty()) {
    const auto [object, destroy] = list->back();
    list->pop_back();
    destroy(object);
  }
  delete list;
}

pthread_key_t exitKey() {
  // Made once and never deleted: threads may still end after main returns.
  static const pthread_key_t key = [] {
    pthread_key_t k;
    if (pthread_key_create(&k, &runExitList) != 0) std::abort();
    return k;
  }();
  return key;
}

}  // namespace

void atThreadExit(void* object, void (*destroy)(void*)) {
  const pthread_key_t key = exitKey();
  auto* list = static_cast<ExitList*>(pthread_getspecific(key));
  if (list == nullptr) {
    list = new ExitList;
    if (pthread_setspecific(key, list) != 0) std::abort();
  }
  list->emplace_back(object, destroy);
}

}  // namespace kxthread
