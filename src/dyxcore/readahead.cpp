#include "dyxcore/readahead.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "dyxcore/path.h"

using dyxplatform::Directory;
using dyxplatform::DirItem;
using dyxplatform::Env;
using dyxplatform::FileInfo;
using dyxplatform::FileInfoResult;

struct DyxAheadItem {
  std::uint32_t nameAt = 0;  // in DyxAheadDirectory::names
  std::uint32_t nameLength = 0;
  bool isDirectory = false;
  FileInfoResult result = FileInfoResult::kOk;  // for names that are not directories
  int error = 0;
  FileInfo info;
};

struct DyxAheadDirectory {
  std::string path;
  bool timeRead = false;  // the change time, read before the listing
  int timeError = 0;
  std::uint64_t changeTime = 0;
  int openError = 0;  // the listing could not be opened
  int readError = 0;  // the listing was cut short
  // Only the change time and the listing were read: the scan reads the information of the
  // files itself, through `dir`, the open directory the names came from. The helper shares it
  // (it opens the sub-directories from it).
  bool namesOnly = false;
  std::shared_ptr<Directory> dir;
  std::string names;
  std::vector<DyxAheadItem> items;
  std::string_view nameOf(const DyxAheadItem& item) const {
    return std::string_view(names).substr(item.nameAt, item.nameLength);
  }
  // Made ready for another directory; the buffers keep their room.
  void reuse(const std::string& newPath) {
    path = newPath;
    timeRead = false;
    timeError = 0;
    changeTime = 0;
    openError = 0;
    readError = 0;
    namesOnly = false;
    dir.reset();
    names.clear();
    items.clear();
  }
};

namespace {

void setError(int* error, int value) {
  if (error) *error = value;
}

// How far the helper may run ahead of the scan: bounded, so its results are never old and its
// memory stays small. Once it has run that far it waits until the scan has taken half: one
// wake-up per many directories, not one per directory.
constexpr std::size_t kAheadMaxItems = 8192;
constexpr std::size_t kAheadMaxDirectories = 1024;

// Records the scan is done with wait for the helper to fill them again, so that their memory
// stays with the thread that writes it. A record grown by a large directory is let go.
constexpr std::size_t kSpareRecords = 32;
constexpr std::size_t kSpareNameBytes = 16384;
constexpr std::size_t kSpareItems = 512;

// How much of a directory the helper reads.
enum class AheadRead {
  kWhole,     // change time, listing and the information of each file
  kHandOver,  // change time and listing; the scan reads the files through the open directory
  kWalkOnly,  // the listing alone, for the walk: the scan has read the directory itself
};

// Reads one directory into `record` as the scan would: change time, then the listing, then
// (kWhole) the information of each name that is not a directory. The directory is opened from
// `parent` by its last name when given (one name to look up instead of the whole path); its
// open directory is handed to `keep` when asked for (the helper opens the sub-directories
// from it), else closed.
void readDirectoryAhead(Env& env, DyxAheadDirectory& record, AheadRead how, Directory* parent,
                        const std::string& name, std::shared_ptr<Directory>* keep) {
  int openError = 0;
  std::shared_ptr<Directory> dir = parent != nullptr ? parent->openChild(name, &openError)
                                                     : env.openDirectory(record.path, &openError);
  if (how != AheadRead::kWalkOnly) {
    // Taken before the listing is read, as the scan takes it: a change made meanwhile moves it
    // again. Without an open directory, the path says why.
    if (dir && dir->changeTime(record.changeTime)) {
      record.timeRead = true;
    } else {
      record.timeRead = env.directoryChangeTime(record.path, record.changeTime, &record.timeError);
    }
  }
  if (!dir) {
    record.openError = openError;
    return;
  }
  DirItem item;
  while (dir->next(item)) {
    DyxAheadItem ahead;
    ahead.nameAt = static_cast<std::uint32_t>(record.names.size());
    ahead.nameLength = static_cast<std::uint32_t>(item.name.size());
    record.names.append(item.name);
    ahead.isDirectory = item.isDirectory;
    if (!ahead.isDirectory && how == AheadRead::kWhole) {
      ahead.result = dir->readFileInfo(item.name, ahead.info, &ahead.error);
    }
    record.items.push_back(ahead);
  }
  record.readError = dir->error();
  if (how == AheadRead::kHandOver) {
    record.namesOnly = true;
    record.dir = dir;
  }
  if (keep != nullptr) *keep = std::move(dir);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The helper thread
//
// The two threads share the reading. The scan reads a directory itself when the helper has not
// come to it, and the helper then only lists it for its walk. When the scan had to wait for the
// directory the helper was reading, the helper reads only the change time and the listing of
// the next one and hands them over with the open directory: the scan reads the information of
// its files. A helper that cannot keep up thus hands over part of the disk work instead of
// holding the scan back, and one that runs ahead does it all.
class DyxReadAhead::Helper {
 public:
  Helper(Env& env, std::string parent, std::string entered)
      : m_env(env), m_parent(std::move(parent)), m_entered(std::move(entered)) {
    m_thread = std::thread([this] { run(); });
  }
  ~Helper() {
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
  }

  std::unique_ptr<DyxAheadDirectory> take(const std::string& path) {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
      for (std::size_t i = 0; i < m_queue.size(); ++i) {
        if (m_queue[i]->path != path) continue;
        m_queuedItems -= m_queue[i]->items.size();
        std::unique_ptr<DyxAheadDirectory> record = std::move(m_queue[i]);
        dropFront(i + 1);
        wakeHelperIfRoom();
        return record;
      }
      if (m_done) return nullptr;
      if (m_current != path) {
        // Bounded: a directory that is not on the helper's walk stays in the set until the
        // descent ends.
        if (m_readByScan.size() < kAheadMaxDirectories) m_readByScan.insert(path);
        return nullptr;
      }
      dropFront(m_queue.size());
      m_scanWaited = true;
      wakeHelperIfRoom();
      m_scanWaiting = true;
      m_changed.wait(lock);
      m_scanWaiting = false;
    }
  }

  void giveBack(std::unique_ptr<DyxAheadDirectory> record) {
    // The open directory is let go here, outside the lock.
    record->dir.reset();
    std::lock_guard<std::mutex> guard(m_mutex);
    keepSpare(std::move(record));
  }

 private:
  // A directory of the walk, kept open (up to a depth) so that its sub-directories are opened
  // from it by name.
  struct Frame {
    std::string path;
    std::vector<std::string> subdirectories;
    std::size_t next = 0;
    std::shared_ptr<Directory> dir;
  };
  // Deeper frames are opened by their whole path: the walk never holds more open directories.
  static constexpr std::size_t kOpenFrames = 48;

  // The next directory of the walk ("" at its end), with its parent's open directory (or null)
  // and its last name.
  struct Step {
    std::string path;
    Directory* parent = nullptr;
    std::string name;
  };

  bool full() const {
    return m_queuedItems >= kAheadMaxItems || m_queue.size() >= kAheadMaxDirectories;
  }
  bool halfEmpty() const {
    return m_queuedItems <= kAheadMaxItems / 2 && m_queue.size() <= kAheadMaxDirectories / 2;
  }
  // Under the lock.
  void wakeHelperIfRoom() {
    if (m_helperWaiting && halfEmpty()) m_changed.notify_all();
  }

  // Under the lock; the record holds no open directory. A record whose buffers grew large is
  // freed instead.
  void keepSpare(std::unique_ptr<DyxAheadDirectory> record) {
    if (m_spare.size() < kSpareRecords && record->names.capacity() <= kSpareNameBytes &&
        record->items.capacity() <= kSpareItems) {
      m_spare.push_back(std::move(record));
    }
  }

  // Drops the first records; a record already taken (null) counts no more.
  void dropFront(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      if (std::unique_ptr<DyxAheadDirectory>& front = m_queue.front()) {
        m_queuedItems -= front->items.size();
        front->dir.reset();
        keepSpare(std::move(front));
      }
      m_queue.pop_front();
    }
  }

  // Reads the directory of `step` into `record` and pushes its frame.
  void readInto(std::vector<Frame>& stack, const Step& step, AheadRead how,
                DyxAheadDirectory& record) {
    Frame frame;
    const bool keep = stack.size() < kOpenFrames;
    record.reuse(step.path);
    readDirectoryAhead(m_env, record, how, step.parent, step.name, keep ? &frame.dir : nullptr);
    frame.path = record.path;
    for (const DyxAheadItem& item : record.items) {
      if (item.isDirectory) frame.subdirectories.emplace_back(record.nameOf(item));
    }
    stack.push_back(std::move(frame));
  }

  static Step advance(std::vector<Frame>& stack) {
    while (!stack.empty()) {
      Frame& top = stack.back();
      if (top.next < top.subdirectories.size()) {
        const std::string& name = top.subdirectories[top.next++];
        return Step{childPathText(top.path, name), top.dir.get(), name};
      }
      stack.pop_back();
    }
    return Step{};
  }

  void run() {
    std::vector<Frame> stack;
    // The listings the walk alone needs, one after the other.
    DyxAheadDirectory walkRecord;
    {
      readInto(stack, Step{m_parent, nullptr, std::string()}, AheadRead::kWalkOnly, walkRecord);
      const std::string enteredName =
          m_entered.substr(m_entered.rfind(dyxplatform::kPathSeparator) + 1);
      Frame& parent = stack.back();
      const auto at =
          std::find(parent.subdirectories.begin(), parent.subdirectories.end(), enteredName);
      if (at != parent.subdirectories.end() && childPathText(m_parent, enteredName) == m_entered) {
        parent.next = static_cast<std::size_t>(at - parent.subdirectories.begin()) + 1;
        Directory* parentDir = parent.dir.get();
        // `parent` is not used past this call: the push may move the frames.
        readInto(stack, Step{m_entered, parentDir, enteredName}, AheadRead::kWalkOnly, walkRecord);
      } else {
        stack.clear();
      }
    }
    Step step = advance(stack);
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_current = step.path;
    }
    m_changed.notify_all();
    while (!step.path.empty()) {
      AheadRead how = AheadRead::kWhole;
      std::unique_ptr<DyxAheadDirectory> record;
      {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (full()) {
          m_helperWaiting = true;
          m_changed.wait(lock, [this] { return m_stop || halfEmpty(); });
          m_helperWaiting = false;
        }
        if (m_stop) break;
        if (m_readByScan.erase(step.path) != 0) {
          how = AheadRead::kWalkOnly;
          // The scan has read it: it must not wait for the helper.
          m_current.clear();
        } else {
          if (m_scanWaited) how = AheadRead::kHandOver;
          if (!m_spare.empty()) {
            record = std::move(m_spare.back());
            m_spare.pop_back();
          }
        }
        m_scanWaited = false;
      }
      if (how == AheadRead::kWalkOnly) {
        m_changed.notify_all();
        readInto(stack, step, how, walkRecord);
      } else {
        if (!record) record = std::make_unique<DyxAheadDirectory>();
        readInto(stack, step, how, *record);
      }
      Step following = advance(stack);
      bool scanWaiting = false;
      {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (record) {
          m_queuedItems += record->items.size();
          m_queue.push_back(std::move(record));
        }
        m_current = following.path;
        scanWaiting = m_scanWaiting;
      }
      // Told once the lock is free: woken under it, the scan would at once wait for the lock.
      if (scanWaiting) m_changed.notify_all();
      step = std::move(following);
    }
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_done = true;
      m_current.clear();
    }
    m_changed.notify_all();
  }

  Env& m_env;
  const std::string m_parent;
  const std::string m_entered;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<std::unique_ptr<DyxAheadDirectory>> m_queue;
  std::size_t m_queuedItems = 0;
  std::vector<std::unique_ptr<DyxAheadDirectory>> m_spare;
  std::string m_current;  // the directory the helper reads now or next
  // Directories the scan read itself before the helper came to them.
  std::unordered_set<std::string> m_readByScan;
  bool m_scanWaited = false;  // the scan waited for the directory the helper was reading
  bool m_scanWaiting = false;
  bool m_helperWaiting = false;  // for room in the queue
  bool m_done = false;
  bool m_stop = false;
  std::thread m_thread;
};

DyxReadAhead::DyxReadAhead(Env& env, std::string parent, std::string entered)
    : m_helper(std::make_unique<Helper>(env, std::move(parent), std::move(entered))) {}

DyxReadAhead::~DyxReadAhead() = default;

std::unique_ptr<DyxAheadDirectory> DyxReadAhead::take(const std::string& path) {
  return m_helper->take(path);
}

void DyxReadAhead::giveBack(std::unique_ptr<DyxAheadDirectory> record) {
  if (record) m_helper->giveBack(std::move(record));
}

// ---------------------------------------------------------------------------------------------
// DyxDirectoryReading

DyxDirectoryReading::DyxDirectoryReading(Env& env, const std::string& path,
                                         const DyxScanLevel* level)
    : m_env(env), m_path(path), m_level(level) {}

DyxDirectoryReading::~DyxDirectoryReading() = default;

namespace {
DyxReadAhead* readAheadOf(const DyxScanLevel* level) {
  return level != nullptr && level->readAhead != nullptr ? level->readAhead->get() : nullptr;
}
}  // namespace

bool DyxDirectoryReading::takeRecord() {
  if (!m_asked) {
    m_asked = true;
    if (DyxReadAhead* ahead = readAheadOf(m_level)) m_record = ahead->take(m_path);
  }
  return m_record != nullptr;
}

void DyxDirectoryReading::openLive() {
  if (m_openedLive) return;
  m_openedLive = true;
  // A sub-directory of a parent read live is opened from the parent by its own name: one name
  // to look up instead of the whole path, and no limit on the length of the path.
  const std::size_t slash = m_path.rfind(dyxplatform::kPathSeparator);
  const bool child =
      m_level != nullptr && m_level->parent != nullptr && m_level->parentPath != nullptr &&
      slash != std::string::npos && slash + 1 < m_path.size() &&
      childPathText(*m_level->parentPath, std::string_view(m_path).substr(slash + 1)) == m_path;
  if (child) {
    m_dir = m_level->parent->openChild(m_path.substr(slash + 1), &m_error);
  } else {
    m_dir = m_env.openDirectory(m_path, &m_error);
  }
}

bool DyxDirectoryReading::changeTime(std::uint64_t& fileTime, int* error) {
  // The scan takes a directory's time stamp just before listing it: the record read ahead
  // answers both.
  if (takeRecord()) {
    if (m_record->timeRead) {
      fileTime = m_record->changeTime;
    } else {
      setError(error, m_record->timeError);
    }
    return m_record->timeRead;
  }
  // Opened now, the listing is read after the time stamp all the same. Without an open
  // directory, the path says why.
  openLive();
  if (m_dir && m_dir->changeTime(fileTime)) return true;
  return m_env.directoryChangeTime(m_path, fileTime, error);
}

bool DyxDirectoryReading::open() {
  if (takeRecord()) {
    if (m_record->openError != 0) {
      m_error = m_record->openError;
      close();
      return false;
    }
    m_fromRecord = true;
    return true;
  }
  openLive();
  if (!m_dir) return false;
  // The first sub-directory listed below the outermost scan starts the descent's read-ahead.
  const std::size_t slash = m_path.rfind(dyxplatform::kPathSeparator);
  if (m_level != nullptr && m_level->readAhead != nullptr && *m_level->readAhead == nullptr &&
      m_level->parentPath != nullptr && slash != std::string::npos && slash + 1 < m_path.size() &&
      childPathText(*m_level->parentPath, std::string_view(m_path).substr(slash + 1)) == m_path) {
    *m_level->readAhead = std::make_unique<DyxReadAhead>(m_env, *m_level->parentPath, m_path);
  }
  return true;
}

bool DyxDirectoryReading::next(dyxplatform::DirItem& item) {
  if (m_fromRecord) {
    if (!m_record || m_cursor >= m_record->items.size()) {
      if (m_record && m_record->readError != 0) m_error = m_record->readError;
      return false;
    }
    const DyxAheadItem& ahead = m_record->items[m_cursor++];
    item.name = m_record->nameOf(ahead);
    item.isDirectory = ahead.isDirectory;
    return true;
  }
  if (!m_dir) return false;
  if (m_dir->next(item)) {
    ++m_cursor;
    return true;
  }
  m_error = m_dir->error();
  return false;
}

namespace {
// One name, read relative to an open directory.
bool isPlainName(const std::string& name) {
  return !name.empty() && name.find(dyxplatform::kPathSeparator) == std::string::npos &&
         name != "." && name != "..";
}
}  // namespace

FileInfoResult DyxDirectoryReading::readFileInfo(const std::string& name, FileInfo& out,
                                                 int* error) {
  if (m_fromRecord && m_record) {
    // Only the name that the listing gave last: the scan reads each name right after listing it.
    if (m_cursor > 0 && m_cursor <= m_record->items.size()) {
      const DyxAheadItem& item = m_record->items[m_cursor - 1];
      if (!item.isDirectory && m_record->nameOf(item) == name) {
        if (m_record->namesOnly) {
          // Through the directory the name was listed from, as a scan reading it live does.
          return m_record->dir->readFileInfo(name, out, error);
        }
        if (item.result == FileInfoResult::kOk || item.result == FileInfoResult::kOpenFailed) {
          out = item.info;
        }
        if (item.result != FileInfoResult::kOk) setError(error, item.error);
        return item.result;
      }
    }
  } else if (m_dir && isPlainName(name)) {
    return m_dir->readFileInfo(name, out, error);
  }
  return m_env.readFileInfo(childPathText(m_path, name), out, error);
}

dyxplatform::Directory* DyxDirectoryReading::directory() const {
  if (m_dir) return m_dir.get();
  return m_fromRecord && m_record ? m_record->dir.get() : nullptr;
}

void DyxDirectoryReading::close() {
  m_dir.reset();
  m_fromRecord = false;
  if (!m_record) return;
  if (DyxReadAhead* ahead = readAheadOf(m_level)) {
    ahead->giveBack(std::move(m_record));
  } else {
    m_record.reset();
  }
}
