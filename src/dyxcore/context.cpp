#include "dyxcore/context.h"

#include <atomic>

namespace {
std::atomic<DyxEntryTyper* (*)()> g_types{nullptr};
std::atomic<DyxEntryProperty* (*)()> g_properties{nullptr};
std::atomic<DyxFolderRecorder* (*)()> g_folders{nullptr};
std::atomic<DyxFolderRecorder*> g_firstFolders{nullptr};
std::atomic<DyxViewNotifier* (*)()> g_notifier{nullptr};
std::atomic<DyxViewNotifier*> g_firstNotifier{nullptr};
std::atomic<DyxEnviron* (*)()> g_environ{nullptr};
std::atomic<DyxPhysicalDirs* (*)()> g_pool{nullptr};

template <class T>
T* ask(const std::atomic<T* (*)()>& provider) {
  auto p = provider.load();
  return p != nullptr ? p() : nullptr;
}
}  // namespace

void DyxContext::install(const Providers& providers) {
  g_types.store(providers.types);
  g_properties.store(providers.properties);
  g_folders.store(providers.folders);
  g_notifier.store(providers.notifier);
  g_environ.store(providers.environment);
  g_pool.store(providers.pool);
}

DyxEntryTyper* DyxContext::types() { return ask(g_types); }
DyxEntryProperty* DyxContext::properties() { return ask(g_properties); }
DyxEnviron* DyxContext::environment() { return ask(g_environ); }
DyxPhysicalDirs* DyxContext::pool() { return ask(g_pool); }

DyxFolderRecorder* DyxContext::folders() {
  if (DyxFolderRecorder* first = g_firstFolders.load(std::memory_order_acquire)) return first;
  return ask(g_folders);
}

DyxFolderRecorder* DyxContext::exchangeFolders(DyxFolderRecorder* recorder) {
  return g_firstFolders.exchange(recorder, std::memory_order_acq_rel);
}

DyxViewNotifier* DyxContext::notifier() {
  if (DyxViewNotifier* first = g_firstNotifier.load(std::memory_order_acquire)) return first;
  return ask(g_notifier);
}

DyxViewNotifier* DyxContext::exchangeNotifier(DyxViewNotifier* notifier) {
  return g_firstNotifier.exchange(notifier, std::memory_order_acq_rel);
}
