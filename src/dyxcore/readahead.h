// Read-ahead of a recursive scan, and the reading of one directory by a scan.
//
// A recursive scan lists a directory, descends into each sub-directory as it meets it and
// reads the information of every file right after listing its name. DyxReadAhead reads, on a
// helper thread and in the same depth-first order, the directories that the descent comes to
// next: each one's change time and listing, queued at once with the open directory, and then the
// information of its files. The scan takes those results instead of asking the file system, so
// the disk is read on a second core while the engine files entries. Everything is read the way
// the scan reads it; the names come in the directory's own order. A file the helper has not
// come to yet is read by the scan through the same open directory, and the helper then leaves
// the rest of that directory to the scan: the two share the disk work file by file, whichever
// is faster, and no directory is opened twice for it. A directory the helper has not listed (or
// listed under another name) is read by the scan, and the helper then only lists it for its
// walk. The helper stays a bounded number of files ahead.
//
// Ownership and threads: the outermost scan of a descent owns the DyxReadAhead (it starts once
// the first sub-directory is listed) and destroys it when its own listing is done, which stops
// and joins the helper. Only the scanning thread calls it. DyxDirectoryReading is a scan's
// local object, used on that thread alone. A record the scan has taken is shared with the
// helper while it reads its files (each file is claimed by one thread), and so is its open
// directory, once listed. The environment is not owned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "dyxcore/platform.h"

// One directory as the helper read it. The names sit end to end in one text: a directory read
// ahead costs a few allocations, not one per long name.
struct DyxAheadDirectory;

class DyxReadAhead {
 public:
  // Walks the sub-directories of `parent` from `entered` on: those inside `entered` first (the
  // scan lists `entered` itself), then the ones after it, until the walk ends or it is
  // destroyed.
  DyxReadAhead(dyxplatform::Env& env, std::string parent, std::string entered);
  ~DyxReadAhead();
  DyxReadAhead(const DyxReadAhead&) = delete;
  DyxReadAhead& operator=(const DyxReadAhead&) = delete;

  // The record of `path`: at once when listed, after a wait when the helper lists it next (or
  // lists a directory for its walk alone), none when the helper has not come to it (the caller
  // reads it, and the helper will only list it for its walk). Records queued before it are of
  // directories the scan did not enter; they are dropped. The helper may still be reading the
  // information of its files: the record says, file by file, which thread reads it.
  std::shared_ptr<DyxAheadDirectory> take(const std::string& path);
  // A record the scan is done with: the helper fills it again.
  void giveBack(std::shared_ptr<DyxAheadDirectory> record);

 private:
  class Helper;
  std::unique_ptr<Helper> m_helper;
};

// What a recursive scan hands to the scan of a sub-directory it enters.
struct DyxScanLevel {
  // The descent's read-ahead, owned by its outermost scan; empty until the first
  // sub-directory is listed, which starts it.
  std::unique_ptr<DyxReadAhead>* readAhead = nullptr;
  // The parent's open directory (null when the read-ahead had read all of it and let it go),
  // and its path: a sub-directory is opened from it by its own name.
  dyxplatform::Directory* parent = nullptr;
  const std::string* parentPath = nullptr;
};

// One directory as a scan reads it, in the scan's order: the change time, then the listing,
// then per name the file's information. Answers from the read-ahead's record when it holds one,
// else from the file system now: the directory is opened first (from its parent's open
// directory when there is one) and its change time read from it, so that its path is looked up
// once, and not at all below a parent that is open.
class DyxDirectoryReading {
 public:
  // `level` is null for the outermost scan of a descent.
  DyxDirectoryReading(dyxplatform::Env& env, const std::string& path, const DyxScanLevel* level);
  ~DyxDirectoryReading();
  DyxDirectoryReading(const DyxDirectoryReading&) = delete;
  DyxDirectoryReading& operator=(const DyxDirectoryReading&) = delete;

  // The directory's own change time, taken before its listing is opened.
  bool changeTime(std::uint64_t& fileTime, int* error = nullptr);
  // Opens the listing; false with error() when it cannot.
  bool open();
  // The next name; false at the end or after a read error (error()).
  bool next(dyxplatform::DirItem& item);
  int error() const { return m_error; }
  // The information of `name`, the file the listing gave last.
  dyxplatform::FileInfoResult readFileInfo(const std::string& name, dyxplatform::FileInfo& out,
                                           int* error = nullptr);
  // The open directory, null when the read-ahead had read all of it and let it go, or once
  // closed. It may be shared with the read-ahead's thread, which opens sub-directories from it
  // too.
  dyxplatform::Directory* directory() const;
  // Gives a record read ahead back to the read-ahead.
  void close();

 private:
  // Asks the read-ahead for the directory, once; true when it had read it.
  bool takeRecord();
  // Opens the directory itself, once.
  void openLive();

  dyxplatform::Env& m_env;
  const std::string& m_path;
  const DyxScanLevel* m_level;
  std::shared_ptr<DyxAheadDirectory> m_record;
  std::unique_ptr<dyxplatform::Directory> m_dir;
  bool m_asked = false;
  bool m_openedLive = false;
  bool m_fromRecord = false;
  std::size_t m_cursor = 0;
  int m_error = 0;
};
