#include "dyxcore/savedindex.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "dyxcore/context.h"
#include "dyxcore/dyx.h"
#include "dyxcore/filter.h"
#include "dyxcore/mutex.h"
#include "dyxcore/pathmap.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/physdir.h"
#include "dyxcore/platform.h"
#include "dyxcore/xentryrep.h"
#include "kxcore/io.h"
#include "kxcore/notice.h"

namespace {

constexpr std::string_view kHeader = "quarry-index 1";

// One directory as the index file lists it.
struct SavedDirectory {
  std::string_view path;  // into the file's text (or, when it had escapes, IndexFile::unescaped)
  std::uint64_t changeTime = 0;
  bool recursive = false;
  bool superseded = false;        // a later line lists the same path
  mutable bool restored = false;  // a restore made it already, with its entries
};

// The directories of an index file as one array, with a table of them by path: a restore looks
// up each directory it makes, in an order of its own.
class SavedDirectories {
 public:
  void reserve(std::size_t count) { m_all.reserve(count); }
  void add(const SavedDirectory& dir) { m_all.push_back(dir); }
  // Makes the table; of a path listed twice the later line holds.
  void finish() {
    std::size_t size = 16;
    while (size < m_all.size() * 2) size *= 2;
    m_table.assign(size, Slot{});
    for (std::size_t i = 0; i < m_all.size(); ++i) {
      const std::uint32_t hash = hashOf(m_all[i].path);
      std::size_t at = probe(m_all[i].path, hash);
      if (m_table[at].number != 0) m_all[m_table[at].number - 1].superseded = true;
      m_table[at] = Slot{static_cast<std::uint32_t>(i + 1), hash};
    }
  }
  const SavedDirectory* find(std::string_view path) const {
    if (m_table.empty()) return nullptr;
    const Slot slot = m_table[probe(path, hashOf(path))];
    return slot.number != 0 ? &m_all[slot.number - 1] : nullptr;
  }
  // Every directory once (a path listed twice: its later line).
  template <class Visit>
  void forEach(Visit visit) const {
    for (const SavedDirectory& dir : m_all) {
      if (!dir.superseded) visit(dir);
    }
  }

 private:
  struct Slot {
    std::uint32_t number = 0;  // index in m_all + 1; 0: free
    std::uint32_t hash = 0;
  };
  static std::uint32_t hashOf(std::string_view path) {
    const std::size_t h = std::hash<std::string_view>{}(path);
    return static_cast<std::uint32_t>(h ^ (h >> 32));
  }
  // The slot of the path, or the free slot where it would go.
  std::size_t probe(std::string_view path, std::uint32_t hash) const {
    const std::size_t mask = m_table.size() - 1;
    std::size_t at = hash & mask;
    while (m_table[at].number != 0 &&
           (m_table[at].hash != hash || m_all[m_table[at].number - 1].path != path)) {
      at = (at + 1) & mask;
    }
    return at;
  }
  std::vector<SavedDirectory> m_all;
  std::vector<Slot> m_table;  // a power of two, at most half full
};

// The index file in full. Its directories point into its text: it stays where it was read.
struct IndexFile {
  IndexFile() = default;
  IndexFile(const IndexFile&) = delete;
  IndexFile& operator=(const IndexFile&) = delete;
  DyxIndexInfo info;
  std::string pair;  // the "pair" line's fields, compared as text
  std::string content;
  std::deque<std::string> unescaped;  // the paths that held escapes, unescaped
  SavedDirectories directories;
};

// What the last save of this process wrote into the index file, so that a save of the same
// content writes nothing: a window saves when its parse ends and again when it closes, and a
// large index is tens of megabytes written and synced.
struct WrittenIndex {
  bool known = false;
  std::string name;
  std::string dir;
  bool recursive = false;
  std::string criterion;
  std::string pair;
  std::uint64_t linesHash = 0;
  std::size_t linesSize = 0;
  std::string file;  // the index file's size, write time and file number
  bool operator==(const WrittenIndex&) const = default;
};

// The index the pool holds now. Guarded by the engine lock.
struct OpenState {
  bool open = false;
  bool answerOnly = false;  // a narrowed restore: never saved
  bool writePathMap = false;
  bool complete = false;
  DyxIndexInfo info;
  WrittenIndex written;
};

OpenState& openState() {
  static OpenState* const s = new OpenState;
  return *s;
}

// Appends `text` with its backslashes and line ends escaped; most texts have none and go in
// whole.
void appendEscapedLine(std::string& out, std::string_view text) {
  std::size_t from = 0;
  for (std::size_t at = text.find_first_of("\\\n\r"); at != std::string_view::npos;
       at = text.find_first_of("\\\n\r", from)) {
    out.append(text, from, at - from);
    out += text[at] == '\\' ? "\\\\" : text[at] == '\n' ? "\\n" : "\\r";
    from = at + 1;
  }
  out.append(text, from);
}

std::string escapeLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  appendEscapedLine(out, text);
  return out;
}

std::string unescapeLine(std::string_view text) {
  if (text.find('\\') == std::string_view::npos) return std::string(text);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char n = text[++i];
    out += n == 'n' ? '\n' : n == 'r' ? '\r' : n;
  }
  return out;
}

template <class T>
bool parseNumber(std::string_view text, T& value) {
  if (text.empty()) return false;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && ptr == text.data() + text.size();
}

// The "pair" line of the repository files as they are on disk now; "" when one is missing.
std::string pairSignature(const std::string& name) {
  std::string signature;
  for (const std::string& file : {name + ".txt", name + ".data"}) {
    dyxplatform::FileInfo info;
    if (dyxplatform::readFileInfo(file, info) != dyxplatform::FileInfoResult::kOk) return "";
    if (!signature.empty()) signature += ' ';
    signature += std::to_string(info.size) + " " + std::to_string(info.lastWriteTime);
  }
  return signature;
}

// The index file as it stands on disk (empty when it cannot be read): a file written by another
// process or touched by hand since the last save is written again.
std::string indexFileSignature(const std::string& file) {
  dyxplatform::FileInfo info;
  if (dyxplatform::readFileInfo(file, info) != dyxplatform::FileInfoResult::kOk) return "";
  return std::to_string(info.size) + " " + std::to_string(info.lastWriteTime) + " " +
         std::to_string(info.fileIndex);
}

// What one line after the header of an index file is.
enum class IndexLine { kField, kStamp, kEnd, kBad };

// Reads one line into `out`; `first` while the header is still to come.
IndexLine readIndexLine(std::string_view line, bool& first, IndexFile& out) {
  if (first) {
    first = false;
    return line == kHeader ? IndexLine::kField : IndexLine::kBad;
  }
  const std::size_t blank = line.find(' ');
  const std::string_view field = line.substr(0, blank);
  const std::string_view value =
      blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
  if (field == "dir") {
    out.info.dir = unescapeLine(value);
  } else if (field == "recursive") {
    out.info.recursive = value == "1";
  } else if (field == "criterion") {
    out.info.criterion = unescapeLine(value);
  } else if (field == "saved") {
    parseNumber(value, out.info.savedAt);
  } else if (field == "pair") {
    out.pair = std::string(value);
  } else if (field == "stamp") {
    // <change time> <recursive> <path>
    const std::size_t a = value.find(' ');
    const std::size_t b = a == std::string_view::npos ? a : value.find(' ', a + 1);
    SavedDirectory dir;
    if (b == std::string_view::npos || !parseNumber(value.substr(0, a), dir.changeTime)) {
      return IndexLine::kBad;
    }
    dir.recursive = value.substr(a + 1, b - a - 1) == "1";
    dir.path = value.substr(b + 1);
    if (dir.path.find('\\') != std::string_view::npos) {
      dir.path = out.unescaped.emplace_back(unescapeLine(dir.path));
    }
    out.directories.add(dir);
    return IndexLine::kStamp;
  } else if (field == "end") {
    return IndexLine::kEnd;
  }
  return IndexLine::kField;
}

bool readIndexFile(const std::string& name, IndexFile& out) {
  std::string& content = out.content;
  if (!dyxplatform::readWholeFile(DyxSavedIndex::indexFileOf(name), content)) return false;
  // A stamp line per directory: the list is sized once.
  out.directories.reserve(std::count(content.begin(), content.end(), '\n'));
  std::size_t start = 0;
  bool first = true;
  bool complete = false;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    const std::string_view line(content.data() + start, end - start);
    start = end + 1;
    const IndexLine kind = readIndexLine(line, first, out);
    if (kind == IndexLine::kBad) return false;
    if (kind == IndexLine::kEnd) complete = true;
  }
  // An index cut short is not trusted; the rename that put it in place makes that rare.
  if (!complete || out.info.dir.empty()) return false;
  out.directories.finish();
  out.info.name = name;
  out.info.found = true;
  return true;
}

// The fields of an index file without its stamp lines: its head, up to the first stamp, and its
// last line. A large tree's index is megabytes of stamps that a caller asking what was parsed
// does not need; a restore reads and checks them all.
bool readIndexHead(const std::string& name, IndexFile& out) {
  int error = 0;
  const std::unique_ptr<dyxplatform::SequentialFile> file =
      dyxplatform::Env::current().openSequentialFile(DyxSavedIndex::indexFileOf(name), &error);
  if (!file) return false;
  // Ends with its "end" line, as every save writes it, or it was cut short.
  constexpr std::string_view kTail = "\nend\n";
  const std::uint64_t size = file->size();
  if (size < kHeader.size() + kTail.size()) return false;
  std::string tail(kTail.size(), '\0');
  if (!file->seek(size - kTail.size(), &error) ||
      file->read(tail.data(), tail.size(), &error) != static_cast<long>(tail.size()) ||
      tail != kTail || !file->rewind(&error)) {
    return false;
  }
  std::string& content = out.content;
  std::size_t start = 0;
  bool first = true;
  for (;;) {
    const std::size_t end = content.find('\n', start);
    if (end == std::string::npos) {
      // The head's lines are short, but a criterion may be long: read on until a line ends.
      const std::size_t have = content.size();
      content.resize(have + 4096);
      const long n = file->read(content.data() + have, 4096, &error);
      content.resize(have + static_cast<std::size_t>(std::max(n, 0L)));
      if (n <= 0) return false;
      continue;
    }
    const std::string_view line(content.data() + start, end - start);
    start = end + 1;
    const IndexLine kind = readIndexLine(line, first, out);
    if (kind == IndexLine::kBad) return false;
    if (kind != IndexLine::kField) break;
  }
  if (out.info.dir.empty()) return false;
  out.info.name = name;
  out.info.found = true;
  return true;
}

bool isAtOrBelow(const std::string& dir, const std::string& top) {
  if (top.empty() || dir == top) return true;
  const std::string prefix = top.back() == '/' ? top : top + "/";
  return dir.compare(0, prefix.size(), prefix) == 0;
}

// Where the repository's restore files the entries: the pool, narrowed as asked. A directory
// of the index's list gets back the time it had when it was last read, and is marked restored.
class NarrowingFiler final : public DyxEntryFiler {
 public:
  NarrowingFiler(DyxPhysicalDirs& pool, const DyxRestoreOptions& options,
                 const SavedDirectories* listed)
      : m_pool(pool),
        m_below(options.below),
        m_listed(listed),
        m_views(options.intoViews ? DyxContext::notifier() : nullptr),
        m_viewsOnly(options.viewsOnly && m_views != nullptr) {
    if (!options.criterion.empty()) m_filter = std::make_unique<DyxFilter>(options.criterion);
  }
  bool viewsOnly() const { return m_viewsOnly; }
  bool beginDirectory(const std::string& dirName, bool recursive) override {
    m_dir = nullptr;
    const SavedDirectory* saved = nullptr;
    if (m_listed != nullptr) {
      saved = m_listed->find(dirName);
      // A directory the index no longer lists left the parse before the save.
      if (saved == nullptr) return false;
    }
    if (!isAtOrBelow(dirName, m_below)) return false;
    if (m_viewsOnly) {
      // The entries go to the views alone: the pool, which nothing reads, gets no directory.
      if (saved != nullptr) saved->restored = true;
      return true;
    }
    m_dir = m_pool.restoreDirectory(dirName, recursive);
    if (m_dir == nullptr) return false;
    if (saved != nullptr) {
      if (saved->changeTime != 0) m_dir->restoreScannedChangeTime(saved->changeTime);
      saved->restored = true;
    }
    return true;
  }
  void fileEntry(DyxEntry* entry) override {
    if (m_filter && !m_filter->evaluate(*entry)) return;
    if (m_dir != nullptr) m_dir->attachEntry(entry);
    if (m_views != nullptr) m_views->entryAdded(entry, m_pool.getObserver());
  }
  void fileEntries(std::span<DyxEntry* const> entries) override {
    std::span<DyxEntry* const> kept = entries;
    if (m_filter) {
      m_kept.clear();
      for (DyxEntry* entry : entries) {
        if (m_filter->evaluate(*entry)) m_kept.push_back(entry);
      }
      kept = m_kept;
    }
    if (m_dir != nullptr) m_dir->attachEntries(kept);
    // While the entries are still in the cache, and a directory at a time, as a scan files them.
    if (m_views != nullptr) m_views->entriesAdded(kept, m_pool.getObserver());
  }

 private:
  DyxPhysicalDirs& m_pool;
  std::string m_below;
  const SavedDirectories* m_listed;
  std::unique_ptr<DyxFilter> m_filter;
  DyxViewNotifier* m_views;               // when the cached views file what is restored
  bool m_viewsOnly;                       // the views alone: no pool directories
  DyxPhysicalDirectory* m_dir = nullptr;  // the directory begun last
  std::vector<DyxEntry*> m_kept;          // the entries of a directory that the filter keeps
};

// The path map of `name` holding `dir` alone.
DyxPathMap pathMapOf(const std::string& name, const std::string& dir, bool recursive) {
  DyxPathMap map(name);
  std::vector<std::string> old;
  for (const auto& [path, flag] : map.paths()) old.push_back(path.toString());
  for (const std::string& path : old) map.remove(path);
  map.setRecursive(dir, recursive);
  return map;
}

bool isConfiguredPathMap(const std::string& name) {
  std::string current;
  try {
    current = Dyx::getCurrentPathMap();
  } catch (...) {
    current.clear();
  }
  return !current.empty() && current == name;
}

// Entries of `dir` that the filter no longer accepts (a file changed since it was kept) leave
// the views and the repository, as a fresh parse would not have kept them.
void dropRefused(DyxPhysicalDirectory& dir, const DyxFilter& filter, bool& changed) {
  DyxEngineLock lock;
  if (dir.isRetired()) return;
  for (DyxEntry* entry : dir.sortedEntries()) {
    if (filter.evaluate(*entry)) continue;
    DyxPhysicalDirectory::viewNotifier().entryRemoved(entry);
    dir.removeEntry(entry);
    changed = true;
  }
}

// A temporary name "<target>.tmp<pid>" of a target this index may write: its pid, or 0.
int temporaryPid(const std::string& name, const std::vector<std::string>& suffixes) {
  const std::size_t tmp = name.rfind(".tmp");
  if (tmp == std::string::npos) return 0;
  int pid = 0;
  if (!parseNumber(std::string_view(name).substr(tmp + 4), pid) || pid <= 0) return 0;
  const std::string_view target = std::string_view(name).substr(0, tmp);
  for (const std::string& suffix : suffixes) {
    if (target.size() > suffix.size() &&
        target.compare(target.size() - suffix.size(), suffix.size(), suffix) == 0) {
      return pid;
    }
  }
  return 0;
}

}  // namespace

std::string DyxSavedIndex::currentName() {
  std::string name;
  try {
    name = Dyx::getCurrentPathMap();
  } catch (...) {
    name.clear();
  }
  return name.empty() ? std::string(kDefaultName) : name;
}

DyxIndexInfo DyxSavedIndex::read(const std::string& name) {
  IndexFile file;
  if (readIndexHead(name, file)) return file.info;
  DyxIndexInfo info;
  info.name = name;
  // A path map of one directory with a saved repository from before index files.
  if (!dyxplatform::isRegularFile(name + ".txt")) return info;
  const DyxPathMap map(name);
  if (map.paths().size() != 1) return info;
  info.dir = map.paths().begin()->first.toString();
  info.recursive = map.paths().begin()->second;
  info.found = !info.dir.empty();
  return info;
}

void DyxSavedIndex::begin(const std::string& name, const std::string& dir, bool recursive,
                          const std::string& criterion) {
  KX_SCOPE("DyxSavedIndex::begin");
  kxout << kxParam("name", name) << kxParam("dir_name", dir) << endl;
  const bool configured = isConfiguredPathMap(name);
  const DyxPathMap map = pathMapOf(name, dir, recursive);
  DyxPhysicalDirs& pool = Dyx::getPhysicalDirs();
  DyxEngineLock lock;
  // What the repository held belongs to the parse this one replaces: its texts and directories
  // must not come back with the next restore.
  if (DyxEntryRepository* repo = DyxEntryRepository::findRepository(name)) {
    if (!repo->clearContent()) {
      KX_POS(kxerr) << "The repository " << name << " still holds entries." << endl;
    }
  }
  pool.usePathMap(map);
  OpenState& s = openState();
  s.open = true;
  s.answerOnly = false;
  s.writePathMap = configured;
  s.complete = false;
  s.info = DyxIndexInfo();
  s.info.name = name;
  s.info.found = true;
  s.info.dir = dir;
  s.info.recursive = recursive;
  s.info.criterion = criterion;
  // A new parse writes its index at least once, with the time of its own save.
  s.written = WrittenIndex();
}

bool DyxSavedIndex::restore(const DyxIndexInfo& info, const DyxRestoreOptions& options,
                            std::string* problem) {
  KX_SCOPE("DyxSavedIndex::restore");
  kxout << kxParam("name", info.name) << endl;
  DyxPhysicalDirs& pool = Dyx::getPhysicalDirs();
  pool.clear();
  // The index file is read on a thread of its own while the repository loads: the two are
  // independent, and for a large tree each takes tens of milliseconds of a restore that a user
  // waits for. Joined before anything reads `file`, and on every way out.
  IndexFile file;
  bool indexed = false;
  std::jthread indexReader([&file, &indexed, &info] {
    try {
      indexed = readIndexFile(info.name, file);
    } catch (const std::exception&) {
      // Out of memory, say: restored without the stamps, the update pass reads every directory.
      indexed = false;
    }
  });
  // Taken before the repository's files are read, as the save took it before writing them.
  const std::string pair = pairSignature(info.name);
  const bool narrowed = options.answerOnly || options.viewsOnly || !options.criterion.empty() ||
                        !options.below.empty();
  const DyxPathMap map = pathMapOf(info.name, info.dir, info.recursive);

  DyxEngineLock lock;
  pool.usePathMap(map);
  DyxEntryRepository& repo = DyxEntryRepository::getRepository(info.name);
  // A narrowed restore is never saved: what its files hold need not be worked out.
  const bool loaded = repo.load(!narrowed);
  indexReader.join();
  // The stamps hold only for the very files the save that wrote them wrote.
  const bool stampsHold = indexed && !file.pair.empty() && file.pair == pair;
  if (!loaded) {
    if (problem != nullptr) {
      *problem = dyxplatform::isRegularFile(repo.textFileName())
                     ? repo.textFileName() + " cannot be loaded"
                     : "no saved index (" + repo.textFileName() + " is missing)";
    }
    return false;
  }
  NarrowingFiler filer(pool, options, stampsHold ? &file.directories : nullptr);
  repo.restore(filer);
  // Directories that held no entry are in the index only; every directory gets back the time it
  // had when it was last read, so the update pass reads only those that changed since.
  if (stampsHold && !filer.viewsOnly()) {
    file.directories.forEach([&](const SavedDirectory& saved) {
      if (saved.restored) return;
      const std::string path(saved.path);
      if (!isAtOrBelow(path, options.below)) return;
      // The saved paths are keys already: most are found as they are.
      DyxPhysicalDirectory* dir = pool.findPhysicalDirectory(path);
      if (dir == nullptr) dir = pool.restoreDirectory(path, saved.recursive);
      if (dir != nullptr && saved.changeTime != 0) dir->restoreScannedChangeTime(saved.changeTime);
    });
  }
  OpenState& s = openState();
  s.open = true;
  s.answerOnly = narrowed;
  s.complete = true;
  s.writePathMap = isConfiguredPathMap(info.name);
  s.info = info;
  if (indexed) s.info.savedAt = file.info.savedAt;
  return true;
}

DyxIndexUpdate DyxSavedIndex::update(DyxScanObserver* observer) {
  KX_SCOPE("DyxSavedIndex::update");
  DyxIndexUpdate result;
  std::string criterion;
  {
    DyxEngineLock lock;
    if (!openState().open) return result;
    criterion = openState().info.criterion;
  }
  DyxPhysicalDirs& pool = Dyx::getPhysicalDirs();
  // New sub-directories that a scan adds are kept by the same criterion as the parse's files.
  pool.setFilter(criterion);
  const auto stopAsked = [observer] {
    if (observer == nullptr) return false;
    bool restarted = false;
    DyxEngineLock lock;
    return observer->isStopRequested(restarted);
  };
  for (const std::string& key : pool.directoryKeys()) {
    if (stopAsked()) {
      result.stopped = true;
      break;
    }
    std::shared_ptr<DyxPhysicalDirectory> dir = pool.acquirePhysicalDirectory(key);
    // A directory removed with its parent meanwhile, or unchanged since it was last read.
    if (!dir || dir->isUpToDate()) continue;
    ++result.directoriesRead;
    try {
      if (dir->scan(dir->isRecursive(), observer, &pool.getFilter())) result.changed = true;
    } catch (int) {
      const int error = dir->listError();
      if (error == ENOENT || error == ENOTDIR) {
        if (pool.removePhysicalDirectory(key, true, false)) {
          ++result.directoriesGone;
          result.changed = true;
        }
      }
      continue;
    }
    // A scan stopped part-way must not pass for whole.
    if (stopAsked()) {
      result.stopped = true;
      break;
    }
    if (!criterion.empty()) dropRefused(*dir, pool.getFilter(), result.changed);
  }
  // A directory whose scan was stopped keeps the time it was stopped at: saved, it would pass
  // for read.
  if (result.stopped) setComplete(false);
  return result;
}

bool DyxSavedIndex::save() {
  KX_SCOPE("DyxSavedIndex::save");
  DyxPhysicalDirs& pool = Dyx::getPhysicalDirs();
  std::string name;
  DyxIndexInfo info;
  bool writePathMap = false;
  DyxPathMap pathMap;
  // The folder lines, in blocks: the text of every line is never grown or copied whole.
  std::vector<std::string> blocks;
  WrittenIndex written;
  bool unchanged = false;
  const auto savePathMap = [&]() {
    // The path map of the user's configuration follows the parse; it is written only when it
    // says something else.
    return !writePathMap || DyxPathMap(name).paths() == pathMap.paths() || pathMap.save();
  };
  {
    DyxEngineLock lock;
    OpenState& s = openState();
    if (!s.open || s.answerOnly || !s.complete) return true;
    name = s.info.name;
    info = s.info;
    writePathMap = s.writePathMap;
    pathMap = pool.getPathMap();
    DyxEntryRepository* repo = DyxEntryRepository::findRepository(name);
    // The repository is written under the same lock hold that reads the directories' times, so
    // no scan can come between what the pair holds and the times the index gives for it.
    if (repo == nullptr || !repo->save()) return false;
    // The folder lines are made in one walk, in blocks of about a megabyte: a text grown by
    // doubling would hold up to three times its size at the save, which is the parse's peak of
    // memory. The walk also tells whether they are the lines the last save wrote.
    constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
    std::uint64_t hash = 0;
    std::size_t size = 0;
    pool.forEachDirectory([&](const DyxPhysicalDirectory& dir) {
      if (blocks.empty() || blocks.back().size() >= kBlockBytes) {
        blocks.emplace_back().reserve(kBlockBytes + 4096);
      }
      std::string& block = blocks.back();
      const std::size_t from = block.size();
      char stamp[24];
      const char* end = std::to_chars(stamp, stamp + sizeof stamp, dir.scannedChangeTime()).ptr;
      block.append("stamp ")
          .append(stamp, static_cast<std::size_t>(end - stamp))
          .append(dir.isRecursive() ? " 1 " : " 0 ");
      appendEscapedLine(block, dir.getDirName());
      block.push_back('\n');
      const std::string_view line = std::string_view(block).substr(from);
      size += line.size();
      hash = (hash ^ std::hash<std::string_view>{}(line)) * 0x100000001B3u;
    });
    // The file as it stands now: one written or touched since the last save is written again.
    written = WrittenIndex{true,           name,           info.dir,
                           info.recursive, info.criterion, pairSignature(name),
                           hash,           size,           indexFileSignature(indexFileOf(name))};
    if (!written.file.empty() && written == s.written) {
      unchanged = true;
    } else {
      s.written = WrittenIndex();
    }
  }
  if (unchanged) return savePathMap();
  info.savedAt = dyxplatform::nowUnixSeconds();
  std::string head(kHeader);
  head += "\ndir " + escapeLine(info.dir) + "\nrecursive " + (info.recursive ? "1" : "0") +
          "\ncriterion " + escapeLine(info.criterion) + "\nsaved " + std::to_string(info.savedAt) +
          "\npair " + written.pair + "\n";
  int error = 0;
  const std::string file = indexFileOf(name);
  // Written in parts: the folder lines (a line per directory of the parse) are not copied into
  // one more text just to be written.
  std::vector<std::string_view> parts;
  parts.reserve(blocks.size() + 2);
  parts.push_back(head);
  parts.insert(parts.end(), blocks.begin(), blocks.end());
  parts.push_back("end\n");
  bool ok = dyxplatform::writeFileReplacing(dyxplatform::Env::current(), file, parts, &error);
  if (!ok) {
    KX_POS(kxerr) << "Cannot write the file: " << file << endl;
    KxNotices::report(KxNoticeKind::kNotSaved, file,
                      dyxplatform::errorText(error) +
                          " (the next start reads every folder of the saved index again)");
  }
  {
    DyxEngineLock lock;
    OpenState& s = openState();
    if (s.open && s.info.name == name) s.info.savedAt = info.savedAt;
    if (ok) {
      written.file = indexFileSignature(file);
      s.written = std::move(written);
    }
  }
  return savePathMap() && ok;
}

bool DyxSavedIndex::close(bool keep) {
  std::string name;
  {
    DyxEngineLock lock;
    if (!openState().open) return true;
    name = openState().info.name;
  }
  const bool ok = !keep || save();
  Dyx::getPhysicalDirs().clear();
  DyxEngineLock lock;
  DyxEntryRepository::deleteRepository(name);
  openState() = OpenState();
  return ok;
}

void DyxSavedIndex::setComplete(bool complete) {
  DyxEngineLock lock;
  openState().complete = complete;
}

bool DyxSavedIndex::isOpen() {
  DyxEngineLock lock;
  return openState().open;
}

DyxIndexInfo DyxSavedIndex::openInfo() {
  DyxEngineLock lock;
  return openState().open ? openState().info : DyxIndexInfo();
}

std::vector<std::string> DyxSavedIndex::removeStaleTemporaries() {
  std::vector<std::string> removed;
  const std::string here = dyxplatform::currentDirectory();
  const int self = dyxplatform::processId();
  const auto sweep = [&](const std::string& dir, const std::vector<std::string>& suffixes) {
    std::vector<dyxplatform::DirItem> items;
    if (!dyxplatform::listDirectory(dir, items)) return;
    for (const dyxplatform::DirItem& item : items) {
      if (item.isDirectory) continue;
      const int pid = temporaryPid(item.name, suffixes);
      if (pid == 0 || pid == self || dyxplatform::processWorksIn(pid, here)) continue;
      const std::string path = dir == "." ? item.name : dir + "/" + item.name;
      if (dyxplatform::removeFile(path)) removed.push_back(path);
    }
  };
  sweep(".", {".txt", ".data", ".index"});
  sweep("conf", {".fpm"});
  if (!removed.empty()) {
    ActivityLog::stream() << "Removed " << removed.size()
                          << " temporary file(s) of a save that did not finish." << std::endl;
  }
  return removed;
}

std::string DyxSavedIndex::timeText(std::int64_t unixSeconds) {
  if (unixSeconds == 0) return "";
  dyxplatform::CalendarTime t;
  if (!dyxplatform::toCalendarUtc(unixSeconds, t)) return "";
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d UTC", t.year, t.month, t.day, t.hour,
                t.minute);
  return text;
}
