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
  std::string names;
  std::vector<DyxAheadItem> items;
  std::string_view nameOf(const DyxAheadItem& item) const {
    return std::string_view(names).substr(item.nameAt, item.nameLength);
  }
};

namespace {

void setError(int* error, int value) {
  if (error) *error = value;
}

// How far the helper may run ahead of the scan: bounded, so its results are never old and its
// memory stays small.
constexpr std::size_t kAheadMaxItems = 8192;
constexpr std::size_t kAheadMaxDirectories = 1024;

// Reads one directory as the scan would: change time, then the listing, then the information
// of each name that is not a directory. With `namesOnly`, only the listing. The directory is
// opened from `parent` by its last name when given (one name to look up instead of the whole
// path); its open directory is handed to `keep` when asked for (the helper opens the
// sub-directories from it), else closed.
std::unique_ptr<DyxAheadDirectory> readDirectoryAhead(Env& env, const std::string& path,
                                                      bool namesOnly, Directory* parent,
                                                      const std::string& name,
                                                      std::unique_ptr<Directory>* keep) {
  auto record = std::make_unique<DyxAheadDirectory>();
  record->path = path;
  int openError = 0;
  std::unique_ptr<Directory> dir =
      parent != nullptr ? parent->openChild(name, &openError) : env.openDirectory(path, &openError);
  if (!namesOnly) {
    // Taken before the listing is read, as the scan takes it: a change made meanwhile moves it
    // again. Without an open directory, the path says why.
    if (dir && dir->changeTime(record->changeTime)) {
      record->timeRead = true;
    } else {
      record->timeRead = env.directoryChangeTime(path, record->changeTime, &record->timeError);
    }
  }
  if (!dir) {
    record->openError = openError;
    return record;
  }
  DirItem item;
  while (dir->next(item)) {
    DyxAheadItem ahead;
    ahead.nameAt = static_cast<std::uint32_t>(record->names.size());
    ahead.nameLength = static_cast<std::uint32_t>(item.name.size());
    record->names.append(item.name);
    ahead.isDirectory = item.isDirectory;
    if (!ahead.isDirectory && !namesOnly) {
      ahead.result = dir->readFileInfo(item.name, ahead.info, &ahead.error);
    }
    record->items.push_back(ahead);
  }
  record->readError = dir->error();
  if (keep != nullptr) *keep = std::move(dir);
  return record;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The helper thread
//
// The two threads share the reading. The scan reads a directory itself when the helper has not
// come to it, and the helper then passes over it; when the scan had to wait for the directory
// the helper was reading, the helper leaves the next one to the scan. A helper that cannot keep
// up thus hands over part of the disk work instead of holding the scan back, and one that runs
// ahead does it all.
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
        m_changed.notify_all();
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
      m_changed.notify_all();
      m_changed.wait(lock);
    }
  }

 private:
  // A directory of the walk, kept open (up to a depth) so that its sub-directories are opened
  // from it by name.
  struct Frame {
    std::string path;
    std::vector<std::string> subdirectories;
    std::size_t next = 0;
    std::unique_ptr<Directory> dir;
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

  // Drops the first records; a record already taken (null) counts no more.
  void dropFront(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      if (m_queue.front()) m_queuedItems -= m_queue.front()->items.size();
      m_queue.pop_front();
    }
  }

  // Reads the directory of `step` and pushes its frame; answers the record.
  std::unique_ptr<DyxAheadDirectory> readInto(std::vector<Frame>& stack, const Step& step,
                                              bool namesOnly) {
    Frame frame;
    const bool keep = stack.size() < kOpenFrames;
    std::unique_ptr<DyxAheadDirectory> record = readDirectoryAhead(
        m_env, step.path, namesOnly, step.parent, step.name, keep ? &frame.dir : nullptr);
    frame.path = record->path;
    for (const DyxAheadItem& item : record->items) {
      if (item.isDirectory) frame.subdirectories.emplace_back(record->nameOf(item));
    }
    stack.push_back(std::move(frame));
    return record;
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
    {
      readInto(stack, Step{m_parent, nullptr, std::string()}, true);
      const std::string enteredName =
          m_entered.substr(m_entered.rfind(dyxplatform::kPathSeparator) + 1);
      Frame& parent = stack.back();
      const auto at =
          std::find(parent.subdirectories.begin(), parent.subdirectories.end(), enteredName);
      if (at != parent.subdirectories.end() && childPathText(m_parent, enteredName) == m_entered) {
        parent.next = static_cast<std::size_t>(at - parent.subdirectories.begin()) + 1;
        Directory* parentDir = parent.dir.get();
        // `parent` is not used past this call: the push may move the frames.
        readInto(stack, Step{m_entered, parentDir, enteredName}, true);
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
      bool passOver = false;
      {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] {
          return m_stop ||
                 (m_queuedItems < kAheadMaxItems && m_queue.size() < kAheadMaxDirectories);
        });
        if (m_stop) break;
        passOver = m_readByScan.erase(step.path) != 0 || m_scanWaited;
        m_scanWaited = false;
        // A directory passed over is the scan's to read: it must not wait for the helper.
        if (passOver) m_current.clear();
      }
      if (passOver) m_changed.notify_all();
      // Passing over still lists the names: the walk needs the sub-directories.
      std::unique_ptr<DyxAheadDirectory> record = readInto(stack, step, passOver);
      Step following = advance(stack);
      {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (!passOver) {
          m_queuedItems += record->items.size();
          m_queue.push_back(std::move(record));
        }
        m_current = following.path;
      }
      m_changed.notify_all();
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
  std::string m_current;  // the directory the helper reads now or next
  // Directories the scan read itself before the helper came to them.
  std::unordered_set<std::string> m_readByScan;
  bool m_scanWaited = false;  // the scan waited for the directory the helper was reading
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

bool DyxDirectoryReading::changeTime(std::uint64_t& fileTime, int* error) {
  if (DyxReadAhead* ahead = readAheadOf(m_level)) {
    // The scan takes a directory's time stamp just before listing it: the record read ahead
    // answers both.
    m_record = ahead->take(m_path);
    if (m_record) {
      if (m_record->timeRead) {
        fileTime = m_record->changeTime;
      } else {
        setError(error, m_record->timeError);
      }
      return m_record->timeRead;
    }
  }
  return m_env.directoryChangeTime(m_path, fileTime, error);
}

bool DyxDirectoryReading::open() {
  DyxReadAhead* ahead = readAheadOf(m_level);
  if (!m_record && ahead != nullptr) m_record = ahead->take(m_path);
  if (m_record) {
    if (m_record->openError != 0) {
      m_error = m_record->openError;
      m_record.reset();
      return false;
    }
    m_fromRecord = true;
    return true;
  }
  // A sub-directory of a parent read live is opened from the parent by its own name: one name
  // to look up instead of the whole path, and no limit on the length of the path.
  const std::size_t slash = m_path.rfind(dyxplatform::kPathSeparator);
  const bool child =
      m_level != nullptr && m_level->parentPath != nullptr && slash != std::string::npos &&
      slash + 1 < m_path.size() &&
      childPathText(*m_level->parentPath, std::string_view(m_path).substr(slash + 1)) == m_path;
  if (child && m_level->parent != nullptr) {
    m_dir = m_level->parent->openChild(m_path.substr(slash + 1), &m_error);
  } else {
    m_dir = m_env.openDirectory(m_path, &m_error);
  }
  if (!m_dir) return false;
  // The first sub-directory listed below the outermost scan starts the descent's read-ahead.
  if (child && ahead == nullptr && m_level->readAhead != nullptr) {
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

FileInfoResult DyxDirectoryReading::readFileInfo(const std::string& name, FileInfo& out,
                                                 int* error) {
  if (m_fromRecord && m_record) {
    // Only the name that the listing gave last: the scan reads each name right after listing it.
    if (m_cursor > 0 && m_cursor <= m_record->items.size()) {
      const DyxAheadItem& item = m_record->items[m_cursor - 1];
      if (!item.isDirectory && m_record->nameOf(item) == name) {
        if (item.result == FileInfoResult::kOk || item.result == FileInfoResult::kOpenFailed) {
          out = item.info;
        }
        if (item.result != FileInfoResult::kOk) setError(error, item.error);
        return item.result;
      }
    }
  } else if (m_dir && !name.empty() &&
             name.find(dyxplatform::kPathSeparator) == std::string::npos && name != "." &&
             name != "..") {
    return m_dir->readFileInfo(name, out, error);
  }
  return m_env.readFileInfo(childPathText(m_path, name), out, error);
}

void DyxDirectoryReading::close() {
  m_dir.reset();
  m_record.reset();
  m_fromRecord = false;
}
