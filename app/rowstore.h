// DelveRowStore: the values of the rows the window lists (the selected folder's), kept compact. A
// folder of a million rows would otherwise be a million copies of four strings; here a row
// is one fixed record, its name lies in a shared arena of name bytes in the order the rows came,
// and its location is its directory's text, kept once for all the rows of that directory, plus
// the name. Growing the store never moves what it holds, so a parse of any size never stops the
// window to copy it.
//
// Reading the names in store order reads the arena front to back: the Find box filters a
// million names at the speed of memory rather than one cache miss a row.
//
// Ownership: the display model (displaymodel.h) owns the store. Threads: the window's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dyxcore/frontend.h"

class DelveRowStore {
 public:
  DelveRowStore() = default;
  DelveRowStore(const DelveRowStore&) = delete;
  DelveRowStore& operator=(const DelveRowStore&) = delete;

  std::size_t size() const { return m_records.size(); }
  bool empty() const { return m_records.empty(); }

  // A row's values as views: the location is `directory` + `name`, or `directory` alone when
  // `whole` (a location that does not end with the name). Size and time texts are not kept: the
  // list writes them for the rows it shows.
  struct Values {
    std::string_view name;
    std::string_view directory;
    bool whole = false;
    std::uint64_t size = 0;
    std::int32_t mtime = -1;
    // When not negative: directoryIndex(directory), which spares the append a look-up by text.
    std::int64_t directoryIndex = -1;
  };
  static Values valuesOf(const DyxListRow& row);

  // The index of a directory text in the store, which keeps each text once.
  std::uint32_t directoryIndex(std::string_view directory);

  // Appends a row and returns its index.
  std::uint32_t append(const Values& row);
  std::uint32_t append(const DyxListRow& row) { return append(valuesOf(row)); }
  // Replaces the values of row `index` (a file that changed); the old name's bytes stay in the
  // arena until the next clear.
  void replace(std::uint32_t index, const DyxListRow& row);
  // Drops every row and gives the memory back.
  void clear();

  std::string_view name(std::uint32_t index) const;
  std::string location(std::uint32_t index) const;
  std::uint64_t fileSize(std::uint32_t index) const { return m_records[index].size; }
  std::int32_t mtime(std::uint32_t index) const { return m_records[index].mtime; }
  // The row as values (name, location, size, time stamp; no texts).
  DyxListRow values(std::uint32_t index) const;

 private:
  // Names are cut into blocks of the arena whole, so a name is one contiguous run of bytes.
  static constexpr unsigned kArenaBits = 20;
  static constexpr std::size_t kArenaBlock = std::size_t{1} << kArenaBits;
  // The directory index's top bit: the location is the directory text alone (it did not end
  // with the name, which a file system never gives but nothing here relies on).
  static constexpr std::uint32_t kWholeLocation = 0x80000000u;

  // A name's place and length share one word: 40 bits of place (arena block << kArenaBits |
  // offset in the block) and 24 of length, far above any file system's longest name. A record
  // is 24 bytes, a million rows 8 MB less than with a word each.
  static constexpr unsigned kLengthBits = 24;
  static constexpr std::size_t kLongestName = (std::size_t{1} << kLengthBits) - 1;
  struct Record {
    std::uint64_t size = 0;
    std::uint64_t name = 0;       // place << kLengthBits | length
    std::uint32_t directory = 0;  // index into m_directories, with kWholeLocation
    std::int32_t mtime = -1;
  };
  static_assert(sizeof(Record) == 24);

  Record makeRecord(const Values& row);
  std::uint64_t storeName(std::string_view name);

  DyxBlockVector<Record> m_records;
  std::vector<std::unique_ptr<char[]>> m_arena;
  std::size_t m_arenaUsed = kArenaBlock;  // in the last block; full before the first
  std::deque<std::string> m_directories;  // a deque: its texts never move, the index views them
  std::unordered_map<std::string_view, std::uint32_t> m_directoryIndex;
  std::uint32_t m_lastDirectory = kWholeLocation;  // rows come a directory at a time
};
