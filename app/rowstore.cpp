#include "rowstore.h"

#include <algorithm>
#include <cstring>

DelveRowStore::Values DelveRowStore::valuesOf(const DyxListRow& row) {
  Values values;
  values.name = row.name;
  values.size = row.size;
  values.mtime = row.mtime;
  const std::string_view location(row.location);
  values.whole = location.size() <= row.name.size() ||
                 location.substr(location.size() - row.name.size()) != row.name;
  values.directory =
      values.whole ? location : location.substr(0, location.size() - row.name.size());
  return values;
}

std::uint32_t DelveRowStore::append(const Values& row) {
  const auto index = static_cast<std::uint32_t>(m_records.size());
  m_records.push_back(makeRecord(row));
  return index;
}

void DelveRowStore::replace(std::uint32_t index, const DyxListRow& row) {
  m_records[index] = makeRecord(valuesOf(row));
}

void DelveRowStore::clear() {
  m_records.clear();
  m_arena.clear();
  m_arena.shrink_to_fit();
  m_arenaUsed = kArenaBlock;
  m_directoryIndex.clear();
  m_directories.clear();
  m_lastDirectory = kWholeLocation;
}

DelveRowStore::Record DelveRowStore::makeRecord(const Values& row) {
  Record record;
  record.size = row.size;
  record.mtime = row.mtime;
  const std::string_view name = row.name.substr(0, kLongestName);
  record.name = storeName(name) << kLengthBits | name.size();
  if (row.whole) {
    record.directory = directoryIndex(row.directory) | kWholeLocation;
  } else if (row.directoryIndex >= 0) {
    record.directory = static_cast<std::uint32_t>(row.directoryIndex);
  } else {
    record.directory = directoryIndex(row.directory);
  }
  return record;
}

std::uint64_t DelveRowStore::storeName(std::string_view name) {
  if (m_arenaUsed + name.size() > kArenaBlock || m_arena.empty()) {
    // A name never spans two blocks; one longer than a block gets a block of its own size.
    m_arena.push_back(std::make_unique<char[]>(std::max(kArenaBlock, name.size())));
    m_arenaUsed = 0;
  }
  const std::uint64_t pos =
      (static_cast<std::uint64_t>(m_arena.size() - 1) << kArenaBits) | m_arenaUsed;
  if (!name.empty()) std::memcpy(m_arena.back().get() + m_arenaUsed, name.data(), name.size());
  m_arenaUsed += name.size();
  return pos;
}

std::uint32_t DelveRowStore::directoryIndex(std::string_view text) {
  if (m_lastDirectory != kWholeLocation && m_directories[m_lastDirectory] == text) {
    return m_lastDirectory;
  }
  auto known = m_directoryIndex.find(text);
  if (known == m_directoryIndex.end()) {
    m_directories.emplace_back(text);
    const auto index = static_cast<std::uint32_t>(m_directories.size() - 1);
    known = m_directoryIndex.emplace(m_directories.back(), index).first;
  }
  m_lastDirectory = known->second;
  return m_lastDirectory;
}

std::string_view DelveRowStore::name(std::uint32_t index) const {
  const Record& record = m_records[index];
  const std::uint64_t place = record.name >> kLengthBits;
  const char* block = m_arena[place >> kArenaBits].get();
  return std::string_view(block + (place & (kArenaBlock - 1)), record.name & kLongestName);
}

std::string DelveRowStore::location(std::uint32_t index) const {
  const Record& record = m_records[index];
  std::string text = m_directories[record.directory & ~kWholeLocation];
  if ((record.directory & kWholeLocation) == 0) text += name(index);
  return text;
}

DyxListRow DelveRowStore::values(std::uint32_t index) const {
  DyxListRow row;
  row.name = std::string(name(index));
  row.location = location(index);
  row.size = fileSize(index);
  row.mtime = mtime(index);
  return row;
}
