#include "dyxcore/dyx.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <map>
#include <mutex>

#include "dyxcore/context.h"
#include "dyxcore/environ.h"
#include "dyxcore/fview.h"
#include "dyxcore/launcher.h"
#include "dyxcore/mutex.h"
#include "dyxcore/path.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/physdir.h"
#include "dyxcore/platform.h"
#include "dyxcore/portable.h"
#include "dyxcore/propman.h"
#include "dyxcore/pview.h"
#include "dyxcore/typeman.h"
#include "dyxcore/viewman.h"
#include "dyxcore/xentry.h"
#include "dyxcore/xentryrep.h"
#include "kxcore/io.h"
#include "kxcore/notice.h"
#include "kxcore/value.h"

namespace {

struct FacadeState {
  std::mutex mutex;  // guards the pointers below, never held while a manager is built or destroyed
  std::unique_ptr<DyxPhysicalDirs> pool;
  std::unique_ptr<DyxEnviron> environment;
  std::unique_ptr<DyxViewManager> viewManager;
  std::unique_ptr<DyxEntryProperty> propertyManager;
  std::unique_ptr<DyxLauncher> launcher;
  std::unique_ptr<DyxTypeManager> typeManager;
  std::map<std::string, std::unique_ptr<DyxSorter>> sorters;
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

// Takes the object out under the facade's mutex and destroys it outside: a destructor may call
// back into the facade.
template <class T>
void destroy(std::unique_ptr<T>& slot) {
  std::unique_ptr<T> doomed;
  {
    std::lock_guard<std::mutex> guard(state().mutex);
    doomed = std::move(slot);
  }
  doomed.reset();
}

void onDynamicUpdate(const std::string& value) {
  try {
    DyxPhysicalDirs& pool = Dyx::getPhysicalDirs();
    if (KxValue(value).toBool()) {
      // A period below one second would make the polling thread spin.
      const int period =
          std::max(1, Dyx::getEnviron().getIntPreference("DynamicUpdatePollingPeriod"));
      pool.beginUpdateLoop(period);
    } else {
      pool.stopUpdateLoop();
    }
  } catch (int) {
    KX_POS(kxerr) << "No physical directories repository." << endl;
  }
}

// The facade's services as the lower modules reach them (context.h).
class FacadeTyper final : public DyxEntryTyper {
 public:
  std::string getType(const DyxEntry& entry) override {
    return Dyx::getTypeManager().getType(entry);
  }
  void getTypes(const DyxEntry& entry, std::vector<std::string>& types) override {
    Dyx::getTypeManager().getTypes(entry, types);
  }
};

class FacadeNotifier final : public DyxViewNotifier {
 public:
  void entryAdded(DyxEntry* entry, DyxScanObserver* observer) override {
    Dyx::getViewManager().addEntryToAllViews(entry, observer);
  }
  void entriesAdded(std::span<DyxEntry* const> entries, DyxScanObserver* observer) override {
    Dyx::getViewManager().addEntriesToAllViews(entries, observer);
  }
  void entryChanged(DyxEntry* entry, DyxScanObserver* observer) override {
    Dyx::getViewManager().remapEntryInAllViews(entry, observer);
  }
  void entryRemoved(DyxEntry* entry) override {
    Dyx::getViewManager().removeFromAllView(entry, true);
  }
  void allEntriesRemoved() override { Dyx::getViewManager().removeAllEntriesFromAllViews(); }
};

FacadeTyper g_facadeTyper;
FacadeNotifier g_facadeNotifier;

// Installed when the program starts: the build links this file into every program that links
// the engine (see dyx_context_providers), so the lower modules always find the facade.
const bool g_providersInstalled = [] {
  DyxContext::Providers providers;
  providers.types = [] { return static_cast<DyxEntryTyper*>(&g_facadeTyper); };
  providers.properties = [] { return &Dyx::getPropertyManager(); };
  providers.folders = [] { return static_cast<DyxFolderRecorder*>(&Dyx::getViewManager()); };
  providers.notifier = [] { return static_cast<DyxViewNotifier*>(&g_facadeNotifier); };
  providers.environment = [] { return &Dyx::getEnviron(); };
  providers.pool = []() -> DyxPhysicalDirs* {
    try {
      return &Dyx::getPhysicalDirs();
    } catch (int) {
      return nullptr;
    }
  };
  DyxContext::install(providers);
  return true;
}();

void onExtCase(const std::string&) { Dyx::getViewManager().deleteView("Ext"); }

void onNameCase(const std::string&) { Dyx::getViewManager().deleteView("Name"); }

// Reads "RepositoryCapacity"; the registry gets it just before the pool's reset, so that the
// stand-alone listing of "conf" keeps a repository of the default size.
std::size_t readRepositoryCapacity() {
  const std::string value = Dyx::getEnviron().getPreference("RepositoryCapacity");
  bool capped = false;
  const std::size_t capacity = Dyx::repositoryCapacityFor(value, &capped);
  if (capped) {
    KX_REPORT(
        "RepositoryCapacity " + value + " is too large, using " + std::to_string(capacity) + ".",
        true);
  }
  return capacity;
}

}  // namespace

// Named by the engine library's link options, so that this file, and with it the providers
// above, is part of every program that links the engine.
extern "C" const bool dyx_context_providers = g_providersInstalled;

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

void Dyx::initialize(bool resetPoolToPathMap) {
  openTrace();
  shutdown();
  {
    auto pool = std::make_unique<DyxPhysicalDirs>();
    std::lock_guard<std::mutex> guard(state().mutex);
    state().pool = std::move(pool);
  }
  DyxEnviron& environment = getEnviron();
  environment.defaultPreferences();
  const std::size_t capacity = readRepositoryCapacity();

  environment.addChangeListener("DynamicUpdate", &onDynamicUpdate);
  environment.addChangeListener("ExtCase", &onExtCase);
  environment.addChangeListener("NameCase", &onNameCase);

  kxout.setThreshold(KXIO::levelFromName(environment.getPreference("TraceLevel")));
  kxout.setCircular(environment.getIntPreference("TraceMaxLineCount"),
                    toNativeSeparators("trace/dyx.dbg"));

  reread();

  KX_POS(kxout) << "Init factory." << endl;
  DyxViewManager& views = getViewManager();
  views.registerFactory("Size", std::make_unique<DyxSizeViewFactory>());
  views.registerFactory("Flat", std::make_unique<DyxFlatViewFactory>());
  views.registerFactory("Name", std::make_unique<DyxNameViewFactory>());
  views.registerFactory("Ext", std::make_unique<DyxExtensionViewFactory>());
  views.registerFactory("MTime", std::make_unique<DyxMDateViewFactory>());
  views.registerFactory("Location", std::make_unique<DyxPhysViewFactory>());
  views.registerFactory("Owner", std::make_unique<DyxOwnerFactory>());
  views.registerFactory("Group", std::make_unique<DyxGroupFactory>());
  views.registerFactory("Type", std::make_unique<DyxTypeFactory>());
  views.registerFactory("Status", std::make_unique<DyxStatusFactory>());

  {
    std::lock_guard<std::mutex> guard(state().mutex);
    state().repositoryCapacity = capacity;
  }
  DyxEntryRepository::setDefaultCapacity(capacity);
  if (!resetPoolToPathMap) return;
  std::string pathMap;
  try {
    pathMap = getCurrentPathMap();
  } catch (...) {
    pathMap.clear();
  }
  getPhysicalDirs().reset(pathMap);
}

void Dyx::shutdown() {
  KX_SCOPE("Dyx::shutdown");
  FacadeState& s = state();

  // The repositories are saved while the pool still holds its entries: clearing the pool frees
  // every slot, and a save after that would record free slots only.
  {
    DyxEngineLock lock;
    DyxEntryRepository::saveAllRepositories();
  }

  kxout << endl;
  KX_POS(kxout) << "Clearing physical directories repository." << endl;
  DyxPhysicalDirs* pool = nullptr;
  {
    std::lock_guard<std::mutex> guard(s.mutex);
    pool = s.pool.get();
  }
  if (pool != nullptr) {
    pool->clear();
    destroy(s.pool);
  }

  kxout << endl;
  KX_POS(kxout) << "Clearing environment (preferences)." << endl;
  destroy(s.environment);

  kxout << endl;
  KX_POS(kxout) << "Clearing the view manager." << endl;
  destroy(s.viewManager);

  kxout << endl;
  KX_POS(kxout) << "Clearing the property manager." << endl;
  destroy(s.propertyManager);

  kxout << endl;
  KX_POS(kxout) << "Clearing the application launcher." << endl;
  destroy(s.launcher);

  kxout << endl;
  KX_POS(kxout) << "Clearing the type manager." << endl;
  destroy(s.typeManager);

  kxout << endl;
  KX_POS(kxout) << "Clearing the sorter repository." << endl;
  {
    std::map<std::string, std::unique_ptr<DyxSorter>> doomed;
    {
      std::lock_guard<std::mutex> guard(s.mutex);
      doomed.swap(s.sorters);
    }
  }

  kxout << endl;
  KX_POS(kxout) << "Clearing the entry repositories." << endl;
  {
    DyxEngineLock lock;
    DyxEntryRepository::deleteAllRepositories();
  }
}

void Dyx::reread() {
  KX_SCOPE("Dyx::reread");
  DyxLauncher& launcher = getLauncher();
  DyxTypeManager& types = getTypeManager();
  DyxEngineLock lock;
  launcher.reset(toNativeSeparators("conf/app.ini"));
  types.reset(toNativeSeparators("conf/type.ini"));
}

void Dyx::dump() {
  KX_SCOPE("Dyx::dump");
  const std::string file = toNativeSeparators("trace/dyxdump_.trc");
  errno = 0;
  std::ofstream out(file, std::ios::out | std::ios::trunc | std::ios::binary);
  if (!out) {
    kxerr << "Cannot open the file: " << quote(file) << endl;
    KxNotices::report(
        KxNoticeKind::kNotSaved, file,
        dyxplatform::errorText(errno != 0 ? errno : EIO) + " (the dump was not written)");
    return;
  }
  kxout << "Dump into file: " << quote(file) << endl;
  try {
    getEnviron().dump(out);
    getPhysicalDirs().dump(out);
    DyxEngineLock lock;
    getViewManager().dump(out);
  } catch (...) {
    kxerr << "Unexpected exception during the dump." << endl;
  }
  // A full disk shows only when the buffered text is written out.
  errno = 0;
  out.close();
  if (out.fail()) {
    kxerr << "Cannot write the file: " << quote(file) << endl;
    KxNotices::report(
        KxNoticeKind::kNotSaved, file,
        dyxplatform::errorText(errno != 0 ? errno : EIO) + " (the dump was not written whole)");
  }
}

void Dyx::update(const std::string& viewTag) {
  KX_SCOPE("Dyx::update");
  kxout << kxParam("view_tag", viewTag) << endl;
  if (viewTag.empty()) {
    KX_POS(kxout) << "Update all the physical directories." << endl;
    getPhysicalDirs().doUpdate(true, true);
  } else {
    getViewManager().deleteView(viewTag);
  }
}

std::string Dyx::getCurrentPathMap() {
  KX_SCOPE("Dyx::getCurrentPathMap");
  std::vector<std::string> names;
  getAllPathMapFiles(names);
  if (names.empty()) return "";
  const std::string wanted = getEnviron().getPreference("CurrentPathMap");
  if (wanted.empty()) return "";
  if (std::find(names.begin(), names.end(), wanted) != names.end()) return wanted;
  KX_REPORT("The current path map: " + wanted + " no more exist in the repository.", false);
  return names.front();
}

void Dyx::getAllPathMapFiles(std::vector<std::string>& names) {
  KX_SCOPE("Dyx::getAllPathMapFiles");
  names.clear();
  DyxStandAlonePhysicalDirectory conf(DyxPath(toNativeSeparators("conf")), false);
  conf.update(true, false);
  {
    DyxEngineLock lock;
    std::vector<DyxEntry*> entries;
    conf.collectEntries(entries, DyxPattern("*.fpm"), true);
    std::map<std::string, std::string> found;  // name -> short name, in name order
    for (const DyxEntry* entry : entries) found.emplace(entry->getName(), entry->getShortName());
    for (const auto& [name, shortName] : found) names.push_back(shortName);
  }
  KX_POS(kxout) << "Returned " << static_cast<int>(names.size()) << " files." << endl;
}

DyxPhysicalDirs& Dyx::getPhysicalDirs() {
  FacadeState& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  if (!s.pool) throw 0;
  return *s.pool;
}

DyxEnviron& Dyx::getEnviron() { return singleton(state().environment); }
DyxViewManager& Dyx::getViewManager() { return singleton(state().viewManager); }
DyxEntryProperty& Dyx::getPropertyManager() { return singleton(state().propertyManager); }
DyxLauncher& Dyx::getLauncher() { return singleton(state().launcher); }
DyxTypeManager& Dyx::getTypeManager() { return singleton(state().typeManager); }

bool Dyx::registerSorter(const std::string& name, std::unique_ptr<DyxSorter> sorter) {
  if (!sorter) {
    KX_POS(kxerr) << "The sorter is null." << endl;
    return false;
  }
  std::unique_ptr<DyxSorter> replaced;
  {
    std::lock_guard<std::mutex> guard(state().mutex);
    std::unique_ptr<DyxSorter>& slot = state().sorters[name];
    replaced = std::move(slot);
    slot = std::move(sorter);
  }
  return true;
}

DyxSorter* Dyx::getSorter(const std::string& name) {
  FacadeState& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  const auto it = s.sorters.find(name);
  return it == s.sorters.end() ? nullptr : it->second.get();
}

std::size_t Dyx::repositoryCapacity() {
  FacadeState& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  return s.repositoryCapacity;
}

std::size_t Dyx::repositoryCapacityFor(const std::string& value, bool* capped) {
  if (capped != nullptr) *capped = false;
  std::size_t i = 0;
  while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
  if (i < value.size() && value[i] == '+') ++i;
  std::size_t number = 0;
  bool digits = false;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    digits = true;
    number = number * 10 + static_cast<std::size_t>(value[i] - '0');
    if (number > kMaxRepositoryCapacity) {
      if (capped != nullptr) *capped = true;
      return kMaxRepositoryCapacity;
    }
  }
  if (!digits || number <= kDefaultRepositoryCapacity) return kDefaultRepositoryCapacity;
  return number;
}
