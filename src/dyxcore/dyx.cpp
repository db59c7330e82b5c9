#include "dyxcore/dyx.h"

#include <memory>
#include <mutex>

#include "dyxcore/environ.h"
#include "dyxcore/path.h"
#include "dyxcore/propman.h"
#include "dyxcore/typeman.h"
#include "dyxcore/viewman.h"
#include "kxcore/io.h"

namespace {

struct FacadeState {
  std::mutex mutex;  // guards the pointers below, never held while a manager is built or destroyed
  DyxPhysicalDirs* pool = nullptr;  // none until the pool can be built
  std::unique_ptr<DyxEnviron> environ;
  std::unique_ptr<DyxViewManager> viewManager;
  std::unique_ptr<DyxEntryProperty> propertyManager;
  std::unique_ptr<DyxTypeManager> typeManager;
  bool traceOpen = false;
  std::size_t repositoryCapacity = Dyx::kDefaultRepositoryCapacity;
};

// Never destroyed: engine threads and static destructors of other modules may still reach the
// facade while the process ends.
FacadeState& state() {
  static FacadeState* const s = new FacadeState;
  return *s;
}

template <class T>
T& singleton(std::unique_ptr<T>& slot) {
  FacadeState& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  if (!slot) slot = std::make_unique<T>();
  return *slot;
}

}  // namespace

void Dyx::openTrace() {
  FacadeState& s = state();
  if (s.traceOpen) return;
  KXIO::init(false, true, toNativeSeparators("trace/dyx.dbg"), "", "", true);
  ActivityLog::open(toNativeSeparators("trace/dyx.log"));
  s.traceOpen = true;
}

void Dyx::closeTrace() {
  FacadeState& s = state();
  if (!s.traceOpen) return;
  ActivityLog::close();
  KXIO::shutdown();
  s.traceOpen = false;
}

DyxPhysicalDirs& Dyx::getPhysicalDirs() {
  FacadeState& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  if (s.pool == nullptr) throw 0;
  return *s.pool;
}

DyxEnviron& Dyx::getEnviron() { return singleton(state().environ); }
DyxViewManager& Dyx::getViewManager() { return singleton(state().viewManager); }
DyxEntryProperty& Dyx::getPropertyManager() { return singleton(state().propertyManager); }
DyxTypeManager& Dyx::getTypeManager() { return singleton(state().typeManager); }

std::size_t Dyx::repositoryCapacity() { return state().repositoryCapacity; }
