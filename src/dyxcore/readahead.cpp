#include "dyxcore/readahead.h"

#include <algorithm>
#include <atomic>
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
  // For names that are not directories, once their reading is kRead.
  FileInfoResult result = FileInfoResult::kOk;
  int error = 0;
  FileInfo info;
};

namespace {
// Who reads the information of a file listed ahead: the helper or the scan, whichever comes to
// it first. The helper's result is published by kRead.
enum ItemState : std::uint8_t { kUnread, kHelperReading, kRead, kScanReads };
}  // namespace

struct DyxAheadDirectory {
  std::string path;
  bool timeRead = false;  // the change time, read before the listing
  int timeError = 0;
  std::uint64_t changeTime = 0;
  int openError = 0;  // the listing could not be opened
  int readError = 0;  // the listing was cut short
  std::string names;
  std::vector<DyxAheadItem> items;
  // One per item, made before the record is queued; the information of a file may be read by
  // either thread after that.
  std::unique_ptr<std::atomic<std::uint8_t>[]> states;
  std::size_t stateRoom = 0;
  // The open directory the names came from, through which the scan reads a file the helper has
  // not come to. The helper lets it go (under its lock) once it has read every file of a
  // record still queued; once the scan has taken the record, only the scan touches it.
  std::shared_ptr<Directory> dir;
  bool taken = false;  // under the helper's lock
  // The scan went past it without entering: the helper stops reading its files.
  std::atomic<bool> abandoned{false};

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
    names.clear();
    items.clear();
    dir.reset();
    taken = false;
    abandoned.store(false, std::memory_order_relaxed);
  }
  // Before the record is queued: the directories have nothing to read.
  void resetStates() {
    if (stateRoom < items.size()) {
      stateRoom = items.size();
      states = std::make_unique<std::atomic<std::uint8_t>[]>(stateRoom);
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
      states[i].store(items[i].isDirectory ? kRead : kUnread, std::memory_order_relaxed);
    }
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

// Reads the change time and the listing of one directory into `record`, as the scan would (the
// time before the listing); with `walkOnly`, only the listing. The directory is opened from
// `parent` by its last name when given (one name to look up instead of the whole path), and
// stays open in `dir` unless it could not be opened.
void listDirectoryAhead(Env& env, DyxAheadDirectory& record, bool walkOnly, Directory* parent,
                        const std::string& name, std::shared_ptr<Directory>& dir) {
  int openError = 0;
  dir = parent != nullptr ? parent->openChild(name, &openError)
                          : env.openDirectory(record.path, &openError);
  if (!walkOnly) {
    // A change made while the listing is read moves the time again. Without an open directory,
    // the path says why.
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
    record.items.push_back(ahead);
  }
  record.readError = dir->error();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The helper thread
//
// The helper lists each directory of the walk (change time and names) and queues it at once,
// with its open directory; then it reads the information of the files of the directory it
// listed before, in order, while the scan files entries. The scan reads a file the helper has
// not come to itself, through the same open directory, and the helper then leaves the rest of
// that directory to the scan and goes on: the two share the disk work file by file, whichever
// is faster, and neither waits for the other but for a listing. A directory the scan has read
// itself before the helper came to it is only listed, for the walk.
class DyxReadAhead::Helper {
 public:
  Helper(Env& env, std::string parent, std::string entered)
      : m_env(env), m_parent(std::move(parent)), m_entered(std::move(entered)) {
    m_thread = std::thread([this] { run(); });
  }
  ~Helper() {
    m_stopping.store(true, std::memory_order_relaxed);
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
  }

  std::shared_ptr<DyxAheadDirectory> take(const std::string& path) {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
      for (std::size_t i = 0; i < m_queue.size(); ++i) {
        if (m_queue[i]->path != path) continue;
        m_queuedItems -= m_queue[i]->items.size();
        std::shared_ptr<DyxAheadDirectory> record = std::move(m_queue[i]);
        record->taken = true;
        dropFront(i + 1);
        wakeHelperIfRoom();
        return record;
      }
      if (m_done) return nullptr;
      // While the helper lists a directory for its walk alone, the scan waits for the next one
      // to be known: were the scan to read it too, the helper would list that one again, and so
      // on for as long as the scan stayed ahead.
      if (m_current != path && !m_listingForWalk) {
        // Bounded: a directory that is not on the helper's walk stays in the set until the
        // descent ends.
        if (m_readByScan.size() < kAheadMaxDirectories) m_readByScan.insert(path);
        return nullptr;
      }
      dropFront(m_queue.size());
      wakeHelperIfRoom();
      m_scanWaiting = true;
      m_changed.wait(lock);
      m_scanWaiting = false;
    }
  }

  void giveBack(std::shared_ptr<DyxAheadDirectory> record) {
    // Let go here, outside the lock.
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

  // A directory queued whose files the helper reads next.
  struct Listed {
    std::shared_ptr<DyxAheadDirectory> record;
    std::shared_ptr<Directory> dir;
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
  void keepSpare(std::shared_ptr<DyxAheadDirectory> record) {
    if (m_spare.size() < kSpareRecords && record->names.capacity() <= kSpareNameBytes &&
        record->items.capacity() <= kSpareItems) {
      m_spare.push_back(std::move(record));
    }
  }

  // Under the lock: a spare record no other hand holds (the helper may still be reading the
  // files of one the scan gave back).
  std::shared_ptr<DyxAheadDirectory> spareRecord() {
    for (std::size_t i = m_spare.size(); i-- > 0;) {
      if (m_spare[i].use_count() != 1) continue;
      std::shared_ptr<DyxAheadDirectory> record = std::move(m_spare[i]);
      m_spare.erase(m_spare.begin() + static_cast<std::ptrdiff_t>(i));
      return record;
    }
    return nullptr;
  }

  // Drops the first records; a record already taken (null) counts no more.
  void dropFront(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      if (std::shared_ptr<DyxAheadDirectory>& front = m_queue.front()) {
        m_queuedItems -= front->items.size();
        front->abandoned.store(true, std::memory_order_relaxed);
        front->dir.reset();
        keepSpare(std::move(front));
      }
      m_queue.pop_front();
    }
  }

  // Lists the directory of `step` into `record` and pushes its frame; answers its open
  // directory.
  std::shared_ptr<Directory> listInto(std::vector<Frame>& stack, const Step& step, bool walkOnly,
                                      DyxAheadDirectory& record) {
    Frame frame;
    record.reuse(step.path);
    std::shared_ptr<Directory> dir;
    listDirectoryAhead(m_env, record, walkOnly, step.parent, step.name, dir);
    if (stack.size() < kOpenFrames) frame.dir = dir;
    frame.path = record.path;
    for (const DyxAheadItem& item : record.items) {
      if (item.isDirectory) frame.subdirectories.emplace_back(record.nameOf(item));
    }
    stack.push_back(std::move(frame));
    return dir;
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

  // Reads the information of the files of `listed` in order, until the scan reads one itself,
  // passes the directory by or the descent ends.
  void readFiles(const Listed& listed) {
    DyxAheadDirectory& record = *listed.record;
    std::string name;
    std::size_t i = 0;
    for (; i < record.items.size(); ++i) {
      DyxAheadItem& item = record.items[i];
      if (item.isDirectory) continue;
      if (record.abandoned.load(std::memory_order_relaxed) ||
          m_stopping.load(std::memory_order_relaxed)) {
        break;
      }
      std::uint8_t expected = kUnread;
      if (!record.states[i].compare_exchange_strong(expected, kHelperReading,
                                                    std::memory_order_acquire)) {
        break;  // the scan has come to it
      }
      name.assign(record.nameOf(item));
      item.result = listed.dir->readFileInfo(name, item.info, &item.error);
      record.states[i].store(kRead, std::memory_order_release);
    }
    if (i < record.items.size()) return;
    // Every file read: a record still queued needs its open directory no more.
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!record.taken) record.dir.reset();
  }

  void run() {
    std::vector<Frame> stack;
    // The listings the walk alone needs, one after the other.
    DyxAheadDirectory walkRecord;
    std::shared_ptr<Directory> ignored;
    {
      ignored = listInto(stack, Step{m_parent, nullptr, std::string()}, true, walkRecord);
      const std::string enteredName =
          m_entered.substr(m_entered.rfind(dyxplatform::kPathSeparator) + 1);
      Frame& parent = stack.back();
      const auto at =
          std::find(parent.subdirectories.begin(), parent.subdirectories.end(), enteredName);
      if (at != parent.subdirectories.end() && childPathText(m_parent, enteredName) == m_entered) {
        parent.next = static_cast<std::size_t>(at - parent.subdirectories.begin()) + 1;
        Directory* parentDir = parent.dir.get();
        // `parent` is not used past this call: the push may move the frames.
        ignored = listInto(stack, Step{m_entered, parentDir, enteredName}, true, walkRecord);
      } else {
        stack.clear();
      }
      ignored.reset();
    }
    Step step = advance(stack);
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_current = step.path;
      m_listingForWalk = false;
    }
    m_changed.notify_all();
    // Listed one directory ahead of the reading of files: the scan, done with a directory,
    // finds the next one listed.
    Listed pending;
    while (!step.path.empty() || pending.record) {
      Listed listed;
      if (!step.path.empty()) {
        bool walkOnly = false;
        bool readFirst = false;
        {
          std::unique_lock<std::mutex> lock(m_mutex);
          // The scan is far behind: the files of the directory listed last come first.
          readFirst = full() && pending.record != nullptr;
          if (full() && !readFirst) {
            m_helperWaiting = true;
            m_changed.wait(lock, [this] { return m_stop || halfEmpty(); });
            m_helperWaiting = false;
          }
          if (m_stop) break;
          if (!readFirst) {
            walkOnly = m_readByScan.erase(step.path) != 0;
            // The scan has read it: it must not wait for it.
            if (walkOnly) {
              m_current.clear();
              m_listingForWalk = true;
            } else {
              listed.record = spareRecord();
            }
          }
        }
        if (readFirst) {
          readFiles(pending);
          pending = Listed();
          continue;
        }
        if (walkOnly) {
          listInto(stack, step, true, walkRecord);
        } else {
          if (!listed.record) listed.record = std::make_shared<DyxAheadDirectory>();
          listed.dir = listInto(stack, step, false, *listed.record);
          listed.record->dir = listed.dir;
          listed.record->resetStates();
        }
        Step following = advance(stack);
        bool scanWaiting = false;
        {
          std::lock_guard<std::mutex> guard(m_mutex);
          if (listed.record) {
            m_queuedItems += listed.record->items.size();
            m_queue.push_back(listed.record);
          }
          m_current = following.path;
          m_listingForWalk = false;
          scanWaiting = m_scanWaiting;
        }
        // Told once the lock is free: woken under it, the scan would at once wait for the lock.
        if (scanWaiting) m_changed.notify_all();
        step = std::move(following);
        if (!listed.record) continue;
      }
      if (pending.record) readFiles(pending);
      pending = std::move(listed);
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
  std::deque<std::shared_ptr<DyxAheadDirectory>> m_queue;
  std::size_t m_queuedItems = 0;
  std::vector<std::shared_ptr<DyxAheadDirectory>> m_spare;
  std::string m_current;  // the directory the helper lists next
  // Directories the scan read itself before the helper came to them.
  std::unordered_set<std::string> m_readByScan;
  bool m_scanWaiting = false;
  bool m_helperWaiting = false;  // for room in the queue
  // The helper lists a directory for its walk alone (at first, those of the descent's start).
  bool m_listingForWalk = true;
  bool m_done = false;
  bool m_stop = false;
  std::atomic<bool> m_stopping{false};  // m_stop, read without the lock
  std::thread m_thread;
};

DyxReadAhead::DyxReadAhead(Env& env, std::string parent, std::string entered)
    : m_helper(std::make_unique<Helper>(env, std::move(parent), std::move(entered))) {}

DyxReadAhead::~DyxReadAhead() = default;

std::shared_ptr<DyxAheadDirectory> DyxReadAhead::take(const std::string& path) {
  return m_helper->take(path);
}

void DyxReadAhead::giveBack(std::shared_ptr<DyxAheadDirectory> record) {
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

namespace {
// Waiting for the helper to finish reading one file takes about as long as a system call: the
// scan spins a few times that long (sparing the other core's pipeline). A helper that takes
// longer has lost its core, and the scan reads the file itself.
constexpr int kSpinsBeforeReading = 400;
void pauseSpin() {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  __builtin_ia32_pause();
#elif defined(__GNUC__) && defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
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
        std::atomic<std::uint8_t>& state = m_record->states[m_cursor - 1];
        std::uint8_t now = state.load(std::memory_order_acquire);
        // The helper is reading it: one file's information, a wait of a microsecond or two.
        for (int spins = 0; now == kHelperReading && spins < kSpinsBeforeReading; ++spins) {
          pauseSpin();
          now = state.load(std::memory_order_acquire);
        }
        // Claimed, it tells the helper that the scan has come this far.
        if (now == kUnread) {
          state.compare_exchange_strong(now, kScanReads, std::memory_order_acquire);
        }
        if (now != kRead) {
          // The helper has not come to it (or is held up): read through the directory the name
          // was listed from, as a scan reading it live does.
          if (m_record->dir) return m_record->dir->readFileInfo(name, out, error);
          return m_env.readFileInfo(childPathText(m_path, name), out, error);
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
