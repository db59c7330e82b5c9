#include "dyxcore/xentryrep.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <utility>

#include "dyxcore/mutex.h"
#include "dyxcore/platform.h"
#include "kxcore/io.h"
#include "kxcore/notice.h"

namespace {

constexpr std::string_view kNullText = "<null>";
const std::string kTransientKey = "0";

std::atomic<std::size_t> g_defaultCapacity{DyxEntryRepository::kDefaultSlotCount};
std::atomic<std::size_t> g_slotLimit{DyxEntryRepository::kMaxSlots};

using Registry = std::map<std::string, std::unique_ptr<DyxEntryRepository>>;
Registry& registry() {
  // Never destroyed: the facade deletes the repositories at shutdown.
  static Registry* r = new Registry;
  return *r;
}

// The line format cannot hold a newline or carriage return, and a line beginning with ">" ends
// the text table (an empty one too). Such texts, and those beginning with the escape character
// itself, are written as "\" followed by the text with "\" "\n" "\r" escaped.
bool needsEscape(std::string_view text) {
  if (text.empty() || text[0] == '>' || text[0] == '\\') return true;
  return text.find_first_of("\n\r") != std::string::npos;
}

void appendEscaped(std::string& out, std::string_view text) {
  out.push_back('\\');
  for (char c : text) {
    switch (c) {
      case '\\':
        out.append("\\\\");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\r':
        out.append("\\r");
        break;
      default:
        out.push_back(c);
    }
  }
}

// Writes the text of an escaped line (its "\\" first) to `out`, which has room for the line;
// answers the text's length.
std::size_t unescapeInto(std::string_view line, char* out) {
  char* const start = out;
  for (std::size_t i = 1; i < line.size(); ++i) {
    const char c = line[i];
    if (c != '\\' || i + 1 == line.size()) {
      *out++ = c;
      continue;
    }
    const char n = line[++i];
    if (n == 'n') {
      *out++ = '\n';
    } else if (n == 'r') {
      *out++ = '\r';
    } else if (n == '\\') {
      *out++ = '\\';
    } else {
      *out++ = '\\';
      *out++ = n;
    }
  }
  return static_cast<std::size_t>(out - start);
}

bool parseUnsigned(std::string_view text, std::uint64_t& value) {
  if (text.empty()) return false;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && ptr == text.data() + text.size();
}

std::string_view trimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

// The lines of a file one after the other, split at "\n"; a last line without its newline
// still counts. The file is read a block at a time into one buffer, which a line longer than
// the buffer grows: a large file is never held whole.
class LineReader {
 public:
  explicit LineReader(dyxplatform::SequentialFile& file) : m_file(file), m_buffer(kBlockBytes) {}
  // The next line, valid until the next call; false at the end of the file and after a read
  // error (failed() tells them apart).
  bool next(std::string_view& line) {
    for (;;) {
      if (m_failed) return false;
      const char* begin = m_buffer.data() + m_pos;
      const void* newline = std::memchr(begin, '\n', m_end - m_pos);
      if (newline != nullptr || (m_atEnd && m_pos < m_end)) {
        const std::size_t length =
            newline != nullptr ? static_cast<std::size_t>(static_cast<const char*>(newline) - begin)
                               : m_end - m_pos;
        line = std::string_view(begin, length);
        m_pos = std::min(m_end, m_pos + length + 1);
        ++m_number;
        return true;
      }
      if (m_atEnd) return false;
      refill();
    }
  }
  // The number of the line read last, from 1.
  std::size_t number() const { return m_number; }
  bool failed() const { return m_failed; }
  int error() const { return m_error; }

 private:
  static constexpr std::size_t kBlockBytes = 1 << 18;

  void refill() {
    // The start of a line moves to the front of the buffer; a line that fills it grows it.
    const std::size_t left = m_end - m_pos;
    std::memmove(m_buffer.data(), m_buffer.data() + m_pos, left);
    m_pos = 0;
    m_end = left;
    if (m_end == m_buffer.size()) m_buffer.resize(m_buffer.size() * 2);
    const long n = m_file.read(m_buffer.data() + m_end, m_buffer.size() - m_end, &m_error);
    if (n < 0) {
      m_failed = true;
    } else if (n == 0) {
      m_atEnd = true;
    } else {
      m_end += static_cast<std::size_t>(n);
    }
  }

  dyxplatform::SequentialFile& m_file;
  std::vector<char> m_buffer;
  std::size_t m_pos = 0;
  std::size_t m_end = 0;
  std::size_t m_number = 0;
  bool m_atEnd = false;
  bool m_failed = false;
  int m_error = 0;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Registry

DyxEntryRepository& DyxEntryRepository::getRepository(const std::string& key) {
  DyxEngineLock lock;
  auto& slot = registry()[key];
  if (!slot) slot = std::make_unique<DyxEntryRepository>(key, g_defaultCapacity.load());
  return *slot;
}

DyxEntryRepository* DyxEntryRepository::findRepository(const std::string& key) {
  DyxEngineLock lock;
  auto it = registry().find(key);
  return it == registry().end() ? nullptr : it->second.get();
}

void DyxEntryRepository::deleteRepository(const std::string& key) {
  DyxEngineLock lock;
  registry().erase(key);
}

void DyxEntryRepository::deleteAllRepositories() {
  DyxEngineLock lock;
  registry().clear();
}

bool DyxEntryRepository::saveAllRepositories(const std::string& except) {
  DyxEngineLock lock;
  bool ok = true;
  for (const auto& [key, repository] : registry()) {
    if (key == kTransientKey || (!except.empty() && key == except)) continue;
    ok = repository->save() && ok;
  }
  return ok;
}

void DyxEntryRepository::setDefaultCapacity(std::size_t slotCount) {
  g_defaultCapacity.store(std::max<std::size_t>(slotCount, 1));
}

std::size_t DyxEntryRepository::defaultCapacity() { return g_defaultCapacity.load(); }

void DyxEntryRepository::setSlotLimit(std::size_t limit) {
  g_slotLimit.store(limit == 0 ? kMaxSlots : std::min(limit, kMaxSlots));
}

// ---------------------------------------------------------------------------------------------

namespace {
std::uint32_t nextTextGeneration() {
  static std::atomic<std::uint32_t> last{0};
  return ++last;
}
}  // namespace

// ---------------------------------------------------------------------------------------------
// Numbers

std::atomic<DyxEntryRepository*> dyxrepository::g_byNumber[dyxrepository::kMaxRepositories];

namespace {
std::mutex& numbersMutex() {
  static std::mutex m;
  return m;
}
// The number handed out last: the next one is sought after it, so that a number just given
// back is the last to be taken again.
std::uint32_t g_lastNumber = 0;
}  // namespace

std::uint32_t DyxEntryRepository::takeNumber(DyxEntryRepository* repository) {
  using dyxrepository::g_byNumber;
  using dyxrepository::kMaxRepositories;
  const std::lock_guard<std::mutex> hold(numbersMutex());
  for (std::size_t tried = 1; tried < kMaxRepositories; ++tried) {
    g_lastNumber = g_lastNumber + 1 == kMaxRepositories ? 1 : g_lastNumber + 1;
    if (g_byNumber[g_lastNumber].load(std::memory_order_relaxed) == nullptr) {
      g_byNumber[g_lastNumber].store(repository, std::memory_order_release);
      return g_lastNumber;
    }
  }
  throw std::length_error("too many entry repositories at once");
}

void DyxEntryRepository::giveNumberBack(std::uint32_t number) {
  const std::lock_guard<std::mutex> hold(numbersMutex());
  dyxrepository::g_byNumber[number].store(nullptr, std::memory_order_release);
}

DyxEntryRepository::DyxEntryRepository(const std::string& key, std::size_t slotCount,
                                       dyxplatform::Env& env)
    : m_key(key),
      m_env(env),
      m_number(this),
      m_slots(std::max<std::size_t>(slotCount, 1)),
      m_textGeneration(nextTextGeneration()) {}

DyxEntryRepository::~DyxEntryRepository() = default;

// ---------------------------------------------------------------------------------------------
// SlotBlock

// Zero bytes are a free entry, and an entry is a plain record: calloc's memory holds free
// slots as it is, and the system backs a large block only where it is written.
static_assert(std::is_trivially_copyable_v<DyxEntry> && std::is_trivially_destructible_v<DyxEntry>);
// The slots are the bulk of a repository's memory: one on-disk record's size each.
static_assert(sizeof(DyxEntry) == DyxEntry::kRecordBytes);

DyxEntryRepository::SlotBlock::~SlotBlock() { release(); }

void DyxEntryRepository::SlotBlock::release() {
  for (DyxEntry* block : m_blocks) std::free(block);
  m_blocks.clear();
  m_first = nullptr;
  m_firstCount = 0;
  m_count = 0;
}

void DyxEntryRepository::SlotBlock::reset(std::size_t count) {
  release();
  void* block = std::calloc(count, sizeof(DyxEntry));
  if (block == nullptr) throw std::bad_alloc();
  m_blocks.reserve(8);
  m_blocks.push_back(static_cast<DyxEntry*>(block));
  m_first = m_blocks.front();
  m_firstCount = count;
  m_count = count;
}

void DyxEntryRepository::SlotBlock::swap(SlotBlock& other) noexcept {
  m_blocks.swap(other.m_blocks);
  std::swap(m_first, other.m_first);
  std::swap(m_firstCount, other.m_firstCount);
  std::swap(m_count, other.m_count);
}

bool DyxEntryRepository::SlotBlock::grow(std::size_t limit) {
  // A block cut short by the limit ends the doubling: the arithmetic of `later` needs every
  // block but the last at its full size.
  const std::size_t full = m_firstCount << (m_blocks.size() - 1);
  if (m_firstCount == 0 || m_count >= limit || m_count != full) return false;
  const std::size_t add = std::min(m_count, limit - m_count);
  void* block = std::calloc(add, sizeof(DyxEntry));
  if (block == nullptr) return false;
  m_blocks.push_back(static_cast<DyxEntry*>(block));
  m_count += add;
  return true;
}

DyxEntry& DyxEntryRepository::SlotBlock::later(std::size_t i) {
  const std::size_t k = static_cast<std::size_t>(std::bit_width(i / m_firstCount));
  return m_blocks[k][i - (m_firstCount << (k - 1))];
}

bool DyxEntryRepository::SlotBlock::spanOf(const DyxEntry* entry, SlotSpan& span) const {
  // Compared as addresses: an entry of another repository is simply not in a range.
  const auto address = reinterpret_cast<std::uintptr_t>(entry);
  std::size_t first = 0;
  for (std::size_t k = 0; k < m_blocks.size(); ++k) {
    const std::size_t count =
        k == 0 ? m_firstCount : std::min(m_firstCount << (k - 1), m_count - first);
    const auto begin = reinterpret_cast<std::uintptr_t>(m_blocks[k]);
    if (address >= begin && address - begin < count * sizeof(DyxEntry)) {
      if ((address - begin) % sizeof(DyxEntry) != 0) return false;
      span = SlotSpan{m_blocks[k], count, first};
      return true;
    }
    first += count;
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// TextStore

DyxEntryRepository::TextStore::~TextStore() { clear(); }

void DyxEntryRepository::TextStore::clear() {
  for (char* chunk : m_chunks) std::free(chunk);
  m_chunks.clear();
  m_chunks.shrink_to_fit();
  m_places.clear();
  m_current = 0;
  m_currentBytes = 0;
  m_currentUsed = 0;
  m_ownChunk = false;
}

std::size_t DyxEntryRepository::TextStore::newChunk(std::size_t bytes) {
  if (m_chunks.size() >= kMaxChunks) throw std::length_error("too many texts in a repository");
  // Never written before it is used: the system backs the chunk page by page as texts come.
  char* chunk = static_cast<char*>(std::malloc(std::max<std::size_t>(bytes, 1)));
  if (chunk == nullptr) throw std::bad_alloc();
  m_chunks.push_back(chunk);
  return m_chunks.size() - 1;
}

char* DyxEntryRepository::TextStore::reserve(std::size_t most) {
  if (most >= kLongLength || most > kOwnChunkBytes) {
    const bool isLong = most >= kLongLength;
    m_reservedChunk = newChunk(most + (isLong ? sizeof(std::uint64_t) : 0));
    m_reservedPlace = isLong ? sizeof(std::uint64_t) : 0;
    m_ownChunk = true;
    return m_chunks[m_reservedChunk] + m_reservedPlace;
  }
  if (m_currentBytes == 0 || m_currentBytes - m_currentUsed < most) {
    // A small repository (a test's, the transient one) starts small; the chunks of a large one
    // grow to kChunkBytes, the most that a place can address.
    // The shift is bounded: past the sixty-fourth bit it would give nothing, and a chunk of
    // nothing would take texts all the same.
    const std::size_t grown = std::size_t{32 * 1024} << std::min<std::size_t>(m_chunks.size(), 8);
    const std::size_t bytes = std::min(kChunkBytes, grown);
    m_current = newChunk(bytes);
    m_currentBytes = bytes;
    m_currentUsed = 0;
  }
  m_reservedChunk = m_current;
  m_reservedPlace = m_currentUsed;
  m_ownChunk = false;
  return m_chunks[m_current] + m_currentUsed;
}

void DyxEntryRepository::TextStore::commit(std::size_t length) {
  std::uint64_t lengthField = length;
  if (length >= kLongLength) {
    const std::uint64_t whole = length;
    std::memcpy(m_chunks[m_reservedChunk], &whole, sizeof whole);
    lengthField = kLongLength;
  }
  m_places.push_back(std::uint64_t{m_reservedChunk} << (kPlaceBits + kLengthBits) |
                     std::uint64_t{m_reservedPlace} << kLengthBits | lengthField);
  if (!m_ownChunk) m_currentUsed += length;
  m_ownChunk = false;
}

void DyxEntryRepository::TextStore::swap(TextStore& other) noexcept {
  std::swap(m_chunks, other.m_chunks);
  std::swap(m_current, other.m_current);
  std::swap(m_currentBytes, other.m_currentBytes);
  std::swap(m_currentUsed, other.m_currentUsed);
  std::swap(m_reservedChunk, other.m_reservedChunk);
  std::swap(m_reservedPlace, other.m_reservedPlace);
  std::swap(m_ownChunk, other.m_ownChunk);
  std::swap(m_places, other.m_places);
}

void DyxEntryRepository::TextStore::push_back(std::string_view text) {
  char* out = reserve(text.size());
  if (!text.empty()) std::memcpy(out, text.data(), text.size());
  commit(text.size());
}

std::string_view DyxEntryRepository::TextStore::operator[](std::size_t i) const {
  const std::uint64_t word = m_places[i];
  const char* chunk = m_chunks[word >> (kPlaceBits + kLengthBits)];
  const std::size_t place = (word >> kLengthBits) & (kChunkBytes - 1);
  std::uint64_t length = word & kLongLength;
  if (length == kLongLength) std::memcpy(&length, chunk, sizeof length);
  return std::string_view(chunk + place, static_cast<std::size_t>(length));
}

namespace {
std::size_t hashText(std::string_view text) { return std::hash<std::string_view>{}(text); }
// A byte of the hash that the home slot does not use (never 0, which marks a free slot).
std::uint8_t tagOf(std::size_t hash) {
  const auto tag = static_cast<std::uint8_t>(static_cast<std::uint64_t>(hash) >> 24);
  return tag != 0 ? tag : 1;
}
std::size_t homeOf(std::size_t hash, std::size_t mask) {
  return static_cast<std::size_t>(static_cast<std::uint64_t>(hash) >> 32) & mask;
}
}  // namespace

std::uint32_t DyxEntryRepository::findKey(std::string_view text, std::size_t hash) const {
  if (m_indexedTexts < m_texts.size()) indexLoadedTexts();
  return probeKey(text, hash);
}

std::uint32_t DyxEntryRepository::probeKey(std::string_view text, std::size_t hash) const {
  if (m_textTags.empty()) return 0;
  const std::size_t mask = m_textTags.size() - 1;
  const std::uint8_t tag = tagOf(hash);
  for (std::size_t i = homeOf(hash, mask);; i = (i + 1) & mask) {
    const std::uint8_t slotTag = m_textTags[i];
    if (slotTag == 0) return 0;
    if (slotTag == tag) {
      const std::uint32_t key = m_textKeys[i];
      if (m_texts[key - 1] == text) return key;
    }
  }
}

void DyxEntryRepository::placeText(std::uint32_t key, std::size_t hash) const {
  const std::size_t mask = m_textTags.size() - 1;
  std::size_t i = homeOf(hash, mask);
  while (m_textTags[i] != 0) i = (i + 1) & mask;
  m_textTags[i] = tagOf(hash);
  m_textKeys[i] = key;
}

void DyxEntryRepository::indexText(std::uint32_t key, std::size_t hash) const {
  // At most three quarters full, so that a search for a new text stops after a few slots.
  if ((m_texts.size() + 1) * 4 > m_textTags.size() * 3) growTextIndex();
  placeText(key, hash);
  m_indexedTexts = key;
}

void DyxEntryRepository::resizeTextIndex(std::size_t slots) const {
  std::vector<std::uint8_t>().swap(m_textTags);
  std::vector<std::uint32_t>().swap(m_textKeys);
  m_textTags.assign(slots, 0);
  m_textKeys.assign(slots, 0);
  for (std::size_t k = 1; k <= m_indexedTexts; ++k) {
    const auto key = static_cast<std::uint32_t>(k);
    const std::string_view text = m_texts[k - 1];
    const std::size_t hash = hashText(text);
    if (probeKey(text, hash) == 0) placeText(key, hash);
  }
}

void DyxEntryRepository::indexLoadedTexts() const {
  // Sized once for all of them: an index that grew while they came in would place them all
  // again at each doubling.
  std::size_t slots = std::max<std::size_t>(m_textTags.size(), 1024);
  while (slots * 3 < (m_texts.size() + 1) * 4) slots *= 2;
  if (slots != m_textTags.size()) resizeTextIndex(slots);
  std::size_t repeated = 0;
  std::size_t firstRepeat = 0;
  while (m_indexedTexts < m_texts.size()) {
    const auto key = static_cast<std::uint32_t>(m_indexedTexts + 1);
    const std::string_view text = m_texts[key - 1];
    const std::size_t hash = hashText(text);
    if (probeKey(text, hash) != 0) {
      m_indexedTexts = key;
      // Keys follow line numbers; a repeated text keeps its first key for lookups, and its
      // later key still reads back as the same text.
      if (repeated++ == 0) firstRepeat = key;
    } else {
      indexText(key, hash);
    }
  }
  if (repeated > 0) {
    // Nothing is lost (each key still reads as its text) and a save writes the same table
    // again, so this is no damage to tell the user about every time. Line 1 holds the count.
    KX_POS(kxerr) << "The repository file " << textFileName() << " repeats a text at line "
                  << static_cast<unsigned long>(firstRepeat + 1) << " ("
                  << static_cast<unsigned long>(repeated) << " lines in all)." << endl;
  }
}

void DyxEntryRepository::forgetTexts() {
  m_texts.clear();
  m_textTags.clear();
  m_textKeys.clear();
  m_indexedTexts = 0;
  // Keys of the old texts must never name a new one: a new generation tells them apart.
  m_textGeneration = nextTextGeneration();
  m_directoryFlags.clear();
  m_lastDirKey = 0;
  m_lastFlagKey = 0;
}

void DyxEntryRepository::growTextIndex() const {
  resizeTextIndex(m_textTags.empty() ? 1024 : m_textTags.size() * 2);
}

std::uint32_t DyxEntryRepository::intern(std::string_view text) {
  DyxEngineLock lock;
  const std::size_t hash = hashText(text);
  if (const std::uint32_t key = findKey(text, hash)) return key;
  m_texts.push_back(text);
  const auto key = static_cast<std::uint32_t>(m_texts.size());
  indexText(key, hash);
  return key;
}

std::string_view DyxEntryRepository::textOf(std::uint32_t key) const {
  if (key == 0 || key > m_texts.size()) return kNullText;
  return m_texts[key - 1];
}

std::uint32_t DyxEntryRepository::findText(std::string_view text) const {
  return findKey(text, hashText(text));
}

DyxEntry* DyxEntryRepository::createEntry(std::string_view name, std::string_view dirName,
                                          bool recursive) {
  DyxEngineLock lock;
  // A scan creates the entries of one directory one after the other: the directory's key and
  // flag are looked up once for all of them instead of hashing the whole path for each file.
  if (m_lastDirKey == 0 || dirName != m_texts[m_lastDirKey - 1]) {
    m_lastDirKey = intern(dirName);
  }
  const std::uint32_t d = m_lastDirKey;
  if (d != m_lastFlagKey || recursive != m_lastFlag) {
    m_directoryFlags[d] = recursive;
    m_lastFlagKey = d;
    m_lastFlag = recursive;
  }
  return allocate(name, d);
}

DyxEntry* DyxEntryRepository::createEntry(std::string_view name) {
  DyxEngineLock lock;
  return allocate(name, 0);
}

DyxEntry* DyxEntryRepository::allocate(std::string_view name, std::uint32_t dirKey) {
  const std::size_t s = m_firstFree;
  if (s >= m_slots.size()) {
    // Every slot is in use: a new block joins the others, and no entry moves.
    if (!m_slots.grow(g_slotLimit.load())) return nullptr;
    ActivityLog::stream() << "The repository " << (m_key.empty() ? "\"\"" : m_key) << " grows to "
                          << m_slots.size() << " slots." << std::endl;
  }
  if (s >= m_used) m_used = s + 1;
  // The slots from m_used on are free and, in a fresh block, not yet touched: reading one
  // before writing it would map the zero page and then copy it at the write, and the copy
  // interrupts every other core running the process's threads to flush its mapping.
  m_firstFree = s + 1;
  while (m_firstFree < m_used && m_slots[m_firstFree].m_id != 0) ++m_firstFree;
  DyxEntry& entry = m_slots[s];
  entry = DyxEntry();
  entry.m_id = intern(name);
  entry.m_pid = dirKey;
  entry.m_repository = m_number.value;
  return &entry;
}

long DyxEntryRepository::slotOf(const DyxEntry* entry) const {
  SlotSpan span;
  if (entry == nullptr || !m_slots.spanOf(entry, span)) return -1;
  return static_cast<long>(span.firstSlot + static_cast<std::size_t>(entry - span.begin));
}

bool DyxEntryRepository::spanOf(const DyxEntry* entry, SlotSpan& span) const {
  return entry != nullptr && m_slots.spanOf(entry, span);
}

void DyxEntryRepository::freeEntry(DyxEntry* entry) {
  if (entry == nullptr) return;
  DyxEngineLock lock;
  const long s = slotOf(entry);
  if (s < 0) {
    KX_POS(kxerr) << "The entry does not belong to the repository " << m_key << "." << endl;
    return;
  }
  entry->m_id = 0;
  if (static_cast<std::size_t>(s) < m_firstFree) m_firstFree = static_cast<std::size_t>(s);
}

void DyxEntryRepository::freeEntries(std::span<DyxEntry* const> entries) {
  DyxEngineLock lock;
  for (DyxEntry* entry : entries) {
    const long s = slotOf(entry);
    if (s < 0) {
      if (entry != nullptr) {
        KX_POS(kxerr) << "The entry does not belong to the repository " << m_key << "." << endl;
      }
      continue;
    }
    entry->m_id = 0;
    if (static_cast<std::size_t>(s) < m_firstFree) m_firstFree = static_cast<std::size_t>(s);
  }
}

DyxEntry* DyxEntryRepository::entryAt(std::size_t slot) {
  return slot < m_slots.size() ? &m_slots[slot] : nullptr;
}

const DyxEntry* DyxEntryRepository::entryAt(std::size_t slot) const {
  return slot < m_slots.size() ? &m_slots[slot] : nullptr;
}

std::size_t DyxEntryRepository::liveCount() const {
  std::size_t n = 0;
  for (std::size_t i = 0; i < m_used; ++i) n += m_slots[i].m_id != 0 ? 1 : 0;
  return n;
}

// ---------------------------------------------------------------------------------------------
// Files

namespace {

// The suffix under which the next save keeps the files of a repository that loaded damaged,
// so that nothing the user might still recover is overwritten.
const std::string kDamagedSuffix = ".damaged";

std::uint32_t recordWord(const unsigned char* record, std::size_t offset) {
  return static_cast<std::uint32_t>(record[offset]) |
         static_cast<std::uint32_t>(record[offset + 1]) << 8 |
         static_cast<std::uint32_t>(record[offset + 2]) << 16 |
         static_cast<std::uint32_t>(record[offset + 3]) << 24;
}

bool isZeroRecord(const unsigned char* record) {
  for (std::size_t i = 0; i < DyxEntry::kRecordBytes; ++i) {
    if (record[i] != 0) return false;
  }
  return true;
}

std::string counted(std::uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string readFailure(int error) {
  return error == EINVAL ? std::string("not a regular file") : dyxplatform::errorText(error);
}

// Hands out the whole records of a data file one by one, at most `limit` of them, reading the
// file in chunks: a data file far larger than its live entries (a sparse one, or a count that
// free slots inflate) is never held in memory.
class RecordReader {
 public:
  // `file` may be null (a file that could not be opened): no records.
  RecordReader(dyxplatform::SequentialFile* file, std::uint64_t limit)
      : m_file(file), m_limit(limit), m_buffer(kChunkBytes) {}

  // The next record, or nullptr at the limit, at the end of the file or after a read error.
  const unsigned char* next() {
    if (m_handed >= m_limit || m_file == nullptr) return nullptr;
    if (m_end - m_pos < DyxEntry::kRecordBytes && !refill()) return nullptr;
    const unsigned char* record = m_buffer.data() + m_pos;
    m_pos += DyxEntry::kRecordBytes;
    ++m_handed;
    return record;
  }
  std::uint64_t handed() const { return m_handed; }
  bool failed() const { return m_failed; }
  int error() const { return m_error; }
  // Bytes of a last record cut short (read once next() has given nullptr below the limit).
  std::size_t partialBytes() const { return m_end - m_pos; }
  // Whether the file holds anything past the limit (asked once the limit is reached).
  bool holdsMore() {
    if (m_end > m_pos) return true;
    char probe = 0;
    return m_file != nullptr && m_file->read(&probe, 1, &m_error) > 0;
  }
  // Starts again from the first record of the same open file.
  bool rewind() {
    m_pos = m_end = 0;
    m_handed = 0;
    m_failed = m_file == nullptr || !m_file->rewind(&m_error);
    return !m_failed;
  }

 private:
  static constexpr std::size_t kChunkBytes = 2048 * DyxEntry::kRecordBytes;

  bool refill() {
    const std::size_t left = m_end - m_pos;
    std::memmove(m_buffer.data(), m_buffer.data() + m_pos, left);
    m_pos = 0;
    m_end = left;
    const std::uint64_t wantedRecords = m_limit - m_handed;
    const std::size_t wanted = static_cast<std::size_t>(
        std::min<std::uint64_t>(kChunkBytes, wantedRecords * DyxEntry::kRecordBytes));
    while (m_end < wanted) {
      const long n =
          m_file->read(reinterpret_cast<char*>(m_buffer.data()) + m_end, wanted - m_end, &m_error);
      if (n < 0) {
        m_failed = true;
        break;
      }
      if (n == 0) break;
      m_end += static_cast<std::size_t>(n);
    }
    return m_end >= DyxEntry::kRecordBytes;
  }

  dyxplatform::SequentialFile* m_file;
  int m_error = 0;
  const std::uint64_t m_limit;
  std::vector<unsigned char> m_buffer;
  std::size_t m_pos = 0;
  std::size_t m_end = 0;
  std::uint64_t m_handed = 0;
  bool m_failed = false;
};

}  // namespace

std::size_t DyxEntryRepository::savedSlotCount() const {
  // Free slots past the highest live entry are not written: the count on disk is one past the
  // highest live slot, so that the next load sizes its slot block by what the file holds.
  std::size_t used = std::min(m_used, m_slots.size());
  while (used > 0 && m_slots[used - 1].m_id == 0) --used;
  return used;
}

namespace {

// A multiply-rotate round per 64 bits: every word written moves the result, and an accidental
// match of two different contents is a 1 in 2^64 chance.
void mix(std::uint64_t& h, std::uint64_t word) {
  h ^= word * 0xC2B2AE3D27D4EB4Fu;
  h = std::rotl(h, 31) * 0x9E3779B97F4A7C15u;
}

}  // namespace

void DyxEntryRepository::mixSlot(Lanes& lanes, const DyxEntry& e) {
  // Four lanes, one per pair of words of a slot, so that the rounds of one slot do not wait
  // for each other.
  mix(lanes.lane[0], std::uint64_t{e.m_id} << 32 | e.m_pid);
  mix(lanes.lane[1], std::uint64_t{e.m_reserved2} << 32 | static_cast<std::uint32_t>(e.m_mtime));
  mix(lanes.lane[2], std::uint64_t{e.m_sizeHigh} << 32 | e.m_sizeLow);
  mix(lanes.lane[3], static_cast<std::uint32_t>(e.m_status));
}

std::uint64_t DyxEntryRepository::finishFingerprint(Lanes lanes, std::size_t used) const {
  // The texts only grow, and a new generation replaces them all: their count names them.
  mix(lanes.lane[0], m_textGeneration);
  mix(lanes.lane[1], m_texts.size());
  mix(lanes.lane[2], used);
  for (const auto& [key, recursive] : m_directoryFlags) {
    mix(lanes.lane[3], std::uint64_t{key} << 1 | recursive);
  }
  std::uint64_t h = lanes.lane[0];
  for (int k = 1; k < 4; ++k) mix(h, lanes.lane[k]);
  return h;
}

std::uint64_t DyxEntryRepository::contentFingerprint(std::size_t used) const {
  Lanes lanes;
  for (std::size_t i = 0; i < used; ++i) mixSlot(lanes, m_slots[i]);
  return finishFingerprint(lanes, used);
}

std::string DyxEntryRepository::filesSignature() const {
  std::string signature;
  for (const std::string& name : {textFileName(), dataFileName()}) {
    dyxplatform::FileInfo info;
    if (m_env.readFileInfo(name, info) != dyxplatform::FileInfoResult::kOk) return "";
    for (const std::uint64_t field :
         {info.size, info.lastWriteTime, info.changeTime, info.fileIndex, info.volume}) {
      signature.append(std::to_string(field)).push_back(' ');
    }
  }
  return signature;
}

bool DyxEntryRepository::save() const {
  if (m_key.empty() || m_key == kTransientKey) return true;
  DyxEngineLock lock;

  const std::size_t used = savedSlotCount();
  // Worked out first only when the files on disk may already hold the same: otherwise the data
  // file's writing works it out as it goes through the slots.
  const bool mayBeSaved = !m_keepDamaged && m_onDisk.known;
  std::uint64_t fingerprint = mayBeSaved ? contentFingerprint(used) : 0;
  if (mayBeSaved && m_onDisk.content == fingerprint && filesSignature() == m_onDisk.files) {
    return true;
  }
  m_onDisk = OnDisk();

  // Both files are made a block at a time while they are written: a large repository is never
  // held in memory a second time.
  constexpr std::size_t kBlockBytes = 1 << 16;
  const dyxplatform::ContentWriter text = [&](const auto& append) {
    std::string block;
    block.reserve(kBlockBytes + 256);
    const auto flushIfFull = [&]() {
      if (block.size() < kBlockBytes) return true;
      const bool ok = append(block);
      block.clear();
      return ok;
    };
    block.append(std::to_string(used)).push_back('\n');
    for (std::size_t i = 0; i < m_texts.size(); ++i) {
      const std::string_view t = m_texts[i];
      if (needsEscape(t)) {
        appendEscaped(block, t);
      } else {
        block.append(t);
      }
      block.push_back('\n');
      if (!flushIfFull()) return false;
    }
    block.append(">\n");
    for (const auto& [key, recursive] : m_directoryFlags) {
      block.append(std::to_string(key)).append(recursive ? " 1\n" : " 0\n");
      if (!flushIfFull()) return false;
    }
    block.append("0 0\n");
    return append(block);
  };
  const dyxplatform::ContentWriter data = [&](const auto& append) {
    constexpr std::size_t kPerBlock = kBlockBytes / DyxEntry::kRecordBytes;
    std::string block(kPerBlock * DyxEntry::kRecordBytes, '\0');
    Lanes lanes;
    for (std::size_t first = 0; first < used; first += kPerBlock) {
      const std::size_t count = std::min(kPerBlock, used - first);
      auto* out = reinterpret_cast<unsigned char*>(block.data());
      for (std::size_t i = 0; i < count; ++i) {
        const DyxEntry& slot = m_slots[first + i];
        slot.toRecord(out + i * DyxEntry::kRecordBytes);
        if (!mayBeSaved) mixSlot(lanes, slot);
      }
      if (!append(std::string_view(block.data(), count * DyxEntry::kRecordBytes))) return false;
    }
    if (!mayBeSaved) fingerprint = finishFingerprint(lanes, used);
    return true;
  };

  // Both files are written whole beside their targets before either replaces its previous
  // file: a full disk or a read-only directory leaves the previous pair byte for byte.
  int error = 0;
  std::string failed;
  std::size_t replaced = 0;
  const bool keep = m_keepDamaged;
  const std::vector<dyxplatform::FileProduction> files = {{textFileName(), text},
                                                          {dataFileName(), data}};
  if (!dyxplatform::writeFilesReplacing(m_env, files, &error, &failed,
                                        keep ? kDamagedSuffix : std::string(), &replaced)) {
    const std::string reason = dyxplatform::errorText(error);
    KX_POS(kxerr) << "Cannot write the file: " << failed << " (" << reason << ")" << endl;
    // The text file replaced and the data file not: the pair on disk no longer matches, and the
    // next load reports what it cannot trust; the user must not be told the old pair is whole.
    const std::string outcome = replaced == 0
                                    ? "its previous files are unchanged"
                                    : "the new text file replaced the previous one but the data "
                                      "file did not: the saved pair no longer matches";
    KxNotices::report(
        KxNoticeKind::kNotSaved, failed,
        reason + " (the repository \"" + m_key + "\" was not saved; " + outcome + ")");
    return false;
  }
  if (keep) {
    ActivityLog::stream() << "The damaged files of the repository " << m_key << " are kept as "
                          << textFileName() << kDamagedSuffix << " and " << dataFileName()
                          << kDamagedSuffix << "." << std::endl;
  }
  m_keepDamaged = false;
  m_onDisk = OnDisk{true, fingerprint, filesSignature()};
  return true;
}

bool DyxEntryRepository::load(bool fingerprint) {
  if (m_key.empty()) return false;
  DyxEngineLock lock;

  // Taken before the files are read: files replaced meanwhile do not match it, and are written
  // again by the next save.
  const std::string signature = filesSignature();
  const auto unreadable = [this](int error) {
    const std::string reason = readFailure(error);
    KX_POS(kxerr) << "Cannot read the file: " << textFileName() << " (" << reason << ")" << endl;
    KxNotices::report(KxNoticeKind::kDamaged, textFileName(),
                      "cannot be read (" + reason + "): the saved repository was not loaded");
    m_keepDamaged = true;
    return false;
  };
  int error = 0;
  const std::unique_ptr<dyxplatform::SequentialFile> textFile =
      m_env.openSequentialFile(textFileName(), &error);
  if (!textFile) {
    // No saved repository is no damage.
    if (error == ENOENT) return false;
    return unreadable(error);
  }
  LineReader lines(*textFile);
  std::string_view l;
  std::uint64_t count = 0;
  const bool anyLine = lines.next(l);
  if (!anyLine || !parseUnsigned(trimBlanks(l), count)) {
    if (lines.failed()) return unreadable(lines.error());
    // An empty file is no damage: it only holds nothing to read.
    if (anyLine) {
      const std::string what =
          "its first line holds no entry count: the saved repository was not loaded";
      KX_POS(kxerr) << "The repository file " << textFileName() << " is damaged: " << what << endl;
      KxNotices::report(KxNoticeKind::kDamaged, textFileName(), "damaged: " + what);
      m_keepDamaged = true;
    }
    KX_POS(kxout) << "Gonna read " << static_cast<unsigned long>(m_used) << " entries" << endl;
    return false;
  }

  // When the records fit the slots, the data file is read on a second thread while this one
  // reads the text file: its records go straight into a new block of slots, tens of megabytes
  // at a million entries, read and backed off the restore's path. What each record means (does
  // it name a text and a listed directory) is judged from its slot once the texts are known.
  // The new block replaces the slots only where the load would make a new one anyway, once the
  // text file proved usable: an unusable one leaves the repository as it was.
  const std::uint64_t limit = std::min<std::uint64_t>(
      count, std::numeric_limits<std::size_t>::max() / 2 / DyxEntry::kRecordBytes);
  const bool onePass = limit <= m_slots.size();
  const bool readAhead = onePass && limit > 0;
  int openError = 0;
  std::unique_ptr<dyxplatform::SequentialFile> file;
  std::optional<RecordReader> records;
  std::size_t written = 0;  // one past the last slot that the one pass wrote
  SlotBlock fresh(0);
  std::jthread reader;  // last: joined before what it fills goes
  const auto openData = [&] {
    file = m_env.openSequentialFile(dataFileName(), &openError);
    records.emplace(file.get(), limit);
  };
  if (readAhead) {
    fresh.reset(m_slots.size());
    reader = std::jthread([&] {
      try {
        openData();
        while (const unsigned char* record = records->next()) {
          if (isZeroRecord(record)) continue;
          const auto i = static_cast<std::size_t>(records->handed() - 1);
          fresh[i].fromRecord(record, this);
          written = i + 1;
        }
      } catch (const std::exception&) {
        // Out of memory for the reader's buffer: told as a data file that cannot be read.
        records.reset();
        file.reset();
        openError = ENOMEM;
      }
    });
  }

  // What the files lack, in the user's words: what was not loaded, and why.
  std::vector<std::string> textDamage;
  std::vector<std::string> dataDamage;

  // Read aside: a file that cannot be read to the end of its directory list leaves the content
  // as it was. The texts end at an empty line or one that begins with ">", which is passed over.
  TextStore texts;
  std::map<std::uint32_t, bool> flags;
  while (lines.next(l)) {
    if (l.empty() || l[0] == '>') break;
    if (l[0] == '\\') {
      texts.commit(unescapeInto(l, texts.reserve(l.size())));
    } else {
      texts.push_back(l);
    }
  }

  // Directory list: pairs of decimal numbers up to "0 0" or the end.
  bool ended = false;
  std::size_t unknownKeys = 0;
  std::size_t firstUnknown = 0;
  while (!ended && lines.next(l)) {
    l = trimBlanks(l);
    if (l.empty()) continue;
    const std::size_t blank = l.find_first_of(" \t");
    std::uint64_t key = 0;
    std::uint64_t flag = 0;
    if (blank == std::string_view::npos || !parseUnsigned(l.substr(0, blank), key) ||
        !parseUnsigned(trimBlanks(l.substr(blank + 1)), flag)) {
      textDamage.push_back("line " + std::to_string(lines.number()) +
                           " of the directory list cannot be read: the directories from there "
                           "on were not loaded");
      ended = true;
      break;
    }
    if (key == 0) {
      ended = true;
    } else if (key > texts.size()) {
      if (unknownKeys++ == 0) firstUnknown = lines.number();
    } else {
      flags[static_cast<std::uint32_t>(key)] = flag != 0;
    }
  }
  if (lines.failed()) return unreadable(lines.error());

  // The file is usable: its content replaces the repository's.
  forgetTexts();
  m_onDisk = OnDisk();
  m_texts.swap(texts);
  m_directoryFlags.swap(flags);
  // With the trace on, a repeated text is told now, as the file is read.
  if (kxerr.enabled()) indexLoadedTexts();

  if (unknownKeys > 0) {
    textDamage.push_back("line " + std::to_string(firstUnknown) +
                         " names a directory that has no text (" +
                         counted(unknownKeys, "directory", "directories") + " not loaded)");
  }
  if (!ended) {
    textDamage.push_back(
        "the file ends before the line \"0 0\" that closes its directory list: it was cut "
        "short, and the directories it lost were not loaded");
  }

  KX_POS(kxout) << "Gonna read " << static_cast<unsigned long>(count) << " entries" << endl;

  // Which records become entries: a free record stays free; a live one must name a text for
  // its name and a listed directory, or nothing could ever show or restore it.
  // A status that no file has is a flipped bit: such an entry is not trusted either (the
  // first scan of its directory finds the file again).
  enum class Verdict { kFree, kLive, kUnknownText, kNoDirectory, kOddStatus };
  // Every record asks whether its directory is listed: a table by key answers at once.
  std::vector<bool> listed(m_texts.size() + 1, false);
  for (const auto& [key, flag] : m_directoryFlags) listed[key] = true;
  const auto judge = [this, &listed](std::uint32_t id, std::uint32_t pid, std::uint32_t status) {
    if (id == 0) return Verdict::kFree;
    if (id > m_texts.size() || pid > m_texts.size()) return Verdict::kUnknownText;
    if (!listed[pid]) return Verdict::kNoDirectory;
    if (status != kStatusNormal && status != kStatusLocked && status != kStatusIOError) {
      return Verdict::kOddStatus;
    }
    return Verdict::kLive;
  };
  const auto judgeRecord = [&judge](const unsigned char* record) {
    return judge(recordWord(record, 0), recordWord(record, 4), recordWord(record, 24));
  };

  // The slot block is sized by the highest live slot (never by the count, which free or
  // missing records may inflate), and never below its present size. When the count fits that
  // size, as it does unless the file was saved with a larger capacity, the records go
  // straight to their slots in one pass over the file; else a first pass finds the highest
  // live slot and a second fills the block.
  std::size_t highest = 0;  // one past the highest live slot
  std::uint64_t unknownTexts = 0;
  std::uint64_t noDirectory = 0;
  std::uint64_t oddStatus = 0;
  // The one pass works out the fingerprint of the slots as it fills them: of every slot up to
  // each live one, which the highest live one ends.
  Lanes lanes;
  Lanes lanesToHighest;
  std::size_t livePrefix = 0;  // the slots from the first on that the one pass left live
  if (readAhead) {
    reader.join();
    m_slots.swap(fresh);
    fresh.reset(0);  // the old block goes now
  } else {
    openData();
    if (onePass) m_slots.reset(m_slots.size());
  }
  if (onePass) m_used = 0;
  // A data file that is a directory is one more file that is not regular.
  if (openError == EISDIR) openError = EINVAL;
  // Counts a record, the file's `handed`-th, under its verdict.
  const auto tally = [&](std::size_t handed, Verdict verdict) {
    switch (verdict) {
      case Verdict::kFree:
        break;
      case Verdict::kLive:
        highest = handed;
        break;
      case Verdict::kOddStatus:
        ++oddStatus;
        break;
      case Verdict::kUnknownText:
        ++unknownTexts;
        break;
      case Verdict::kNoDirectory:
        ++noDirectory;
        break;
    }
  };
  // The one pass's work on a filled slot: an entry that cannot be trusted is freed, and every
  // slot up to the highest live one, free ones too, is in the fingerprint: a freed slot keeps
  // the words of its last entry, as it did in memory.
  const auto settle = [&](DyxEntry& entry, bool filled, Verdict verdict) {
    if (filled && verdict != Verdict::kLive && verdict != Verdict::kFree) entry.m_id = 0;
    if (fingerprint) {
      mixSlot(lanes, entry);
      if (verdict == Verdict::kLive) lanesToHighest = lanes;
    }
  };
  if (!file) {
    // Without a count there is nothing to miss.
    if (count > 0) {
      dataDamage.push_back((openError == ENOENT
                                ? std::string("is missing")
                                : "cannot be read (" + readFailure(openError) + ")") +
                           ": none of the " + std::to_string(count) + " saved slots was loaded");
    }
  } else if (readAhead) {
    // The records are in their slots already.
    const auto handed = static_cast<std::size_t>(records->handed());
    for (std::size_t i = 0; i < handed; ++i) {
      DyxEntry& entry = m_slots[i];
      const Verdict verdict =
          judge(entry.m_id, entry.m_pid, static_cast<std::uint32_t>(entry.m_status));
      settle(entry, i < written, verdict);
      tally(i + 1, verdict);
      if (livePrefix == i && entry.m_id != 0) ++livePrefix;
    }
  } else {
    while (const unsigned char* record = records->next()) {
      const Verdict verdict = judgeRecord(record);
      if (onePass) {
        const auto i = static_cast<std::size_t>(records->handed() - 1);
        DyxEntry& entry = m_slots[i];
        const bool filled = !isZeroRecord(record);
        if (filled) {
          entry.fromRecord(record, this);
          written = i + 1;
        }
        settle(entry, filled, verdict);
      }
      tally(static_cast<std::size_t>(records->handed()), verdict);
    }
  }
  if (file) {
    if (records->failed()) {
      dataDamage.push_back("cannot be read after " +
                           counted(records->handed(), "record", "records") + " (" +
                           dyxplatform::errorText(records->error()) + "): the rest was not loaded");
    } else if (records->handed() < limit) {
      std::string what = "holds " + std::to_string(records->handed()) + " of the " +
                         std::to_string(count) + " records that its text file counts";
      if (records->partialBytes() > 0) what += ", and a last record cut short";
      dataDamage.push_back(what + ": the missing ones were not loaded");
    } else if (records->holdsMore()) {
      dataDamage.push_back("holds more than the " + std::to_string(count) +
                           " records that its text file counts: the rest was not loaded");
    }
  }
  if (unknownTexts > 0) {
    dataDamage.push_back(counted(unknownTexts, "entry names", "entries name") +
                         " a text that the text file does not hold: not loaded");
  }
  if (noDirectory > 0) {
    dataDamage.push_back(counted(noDirectory, "entry belongs", "entries belong") +
                         " to no listed directory: not loaded");
  }
  if (oddStatus > 0) {
    dataDamage.push_back(counted(oddStatus, "entry has", "entries have") +
                         " a status that no file has: not loaded");
  }

  if (onePass) {
    // Past the highest live slot, the slots stay as a fresh block has them.
    for (std::size_t i = highest; i < written; ++i) m_slots[i] = DyxEntry();
    m_used = highest;
  } else {
    // A repository saved with a larger capacity is kept whole.
    const std::size_t slots = std::max(m_slots.size(), highest);
    if (highest > m_slots.size()) {
      KX_REPORT("The repository " + m_key + " holds " + std::to_string(highest) +
                    " slots, more than its capacity of " + std::to_string(m_slots.size()) +
                    ": the capacity grows to " + std::to_string(highest) + ".",
                false);
    }
    m_slots.reset(slots);
    m_used = 0;
    if (highest > 0 && records->rewind()) {
      for (std::size_t i = 0; i < highest; ++i) {
        const unsigned char* record = records->next();
        if (record == nullptr) break;
        m_used = i + 1;
        if (isZeroRecord(record)) continue;
        DyxEntry& entry = m_slots[i];
        entry.fromRecord(record, this);
        const Verdict verdict = judgeRecord(record);
        if (verdict != Verdict::kLive && verdict != Verdict::kFree) entry.m_id = 0;
      }
      if (m_used < highest) {
        dataDamage.push_back("could not be read a second time: the entries after slot " +
                             std::to_string(m_used) + " were not loaded");
      }
    }
  }
  m_firstFree = livePrefix;
  while (m_firstFree < m_used && m_slots[m_firstFree].m_id != 0) ++m_firstFree;

  if (!textDamage.empty() || !dataDamage.empty()) {
    m_keepDamaged = true;
    const std::string loaded = "loaded: " + counted(liveCount(), "entry", "entries") + " in " +
                               counted(m_directoryFlags.size(), "directory", "directories") +
                               "; the next save keeps the damaged files as " + textFileName() +
                               kDamagedSuffix + " and " + dataFileName() + kDamagedSuffix;
    const auto tell = [&](const std::string& file, const std::vector<std::string>& damage) {
      if (damage.empty()) return;
      std::string reason = "damaged: ";
      for (std::size_t i = 0; i < damage.size(); ++i) {
        if (i > 0) reason += "; ";
        reason += damage[i];
      }
      reason += " (" + loaded + ")";
      KX_POS(kxerr) << "The repository file " << file << " is " << reason << endl;
      KxNotices::report(KxNoticeKind::kDamaged, file, reason);
    };
    tell(textFileName(), textDamage);
    tell(dataFileName(), dataDamage);
  } else if (fingerprint && !signature.empty() && count == m_used) {
    // Only files a save would write again as they are: a count that free slots inflate is
    // brought down by the next save.
    const std::size_t saved = savedSlotCount();
    m_onDisk = OnDisk{true,
                      onePass && saved == highest ? finishFingerprint(lanesToHighest, saved)
                                                  : contentFingerprint(saved),
                      signature};
  }
  return true;
}

bool DyxEntryRepository::clearContent() {
  DyxEngineLock lock;
  if (liveCount() != 0) return false;
  forgetTexts();
  m_slots.reset(std::max<std::size_t>(g_defaultCapacity.load(), 1));
  m_used = 0;
  m_firstFree = 0;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Restoring

void DyxEntryRepository::forEachEntryOf(std::uint32_t dirKey,
                                        const std::function<void(DyxEntry&)>& attach) {
  if (dirKey == 0) return;
  DyxEngineLock lock;
  for (std::size_t i = 0; i < m_used; ++i) {
    DyxEntry& entry = m_slots[i];
    if (entry.m_id == 0 || entry.m_pid != dirKey) continue;
    entry.m_repository = m_number.value;
    attach(entry);
  }
}

void DyxEntryRepository::attachEntries(std::uint32_t dirKey, DyxEntryFiler* filer) {
  if (filer == nullptr) return;
  forEachEntryOf(dirKey, [filer](DyxEntry& entry) { filer->fileEntry(&entry); });
}

void DyxEntryRepository::restore(DyxEntryFiler& pool) {
  DyxEngineLock lock;
  // A copy: the pool's new directories may intern their own texts meanwhile.
  const std::vector<std::pair<std::uint32_t, bool>> flags(m_directoryFlags.begin(),
                                                          m_directoryFlags.end());
  const std::size_t keyCount = m_texts.size() + 1;
  const auto live = [keyCount](const DyxEntry& entry) {
    return entry.m_id != 0 && entry.m_pid != 0 && entry.m_pid < keyCount;
  };
  // A parse fills the slots directory by directory: the live slots are, most often, one run of
  // consecutive slots per directory key, found in one pass and handed on as they lie.
  struct Run {
    std::uint32_t key;
    std::uint32_t begin;
    std::uint32_t end;
  };
  std::vector<Run> runs;
  std::size_t liveCount = 0;
  for (std::size_t i = 0; i < m_used; ++i) {
    const DyxEntry& entry = m_slots[i];
    if (!live(entry)) continue;
    ++liveCount;
    if (!runs.empty() && runs.back().key == entry.m_pid && runs.back().end == i) {
      ++runs.back().end;
    } else {
      runs.push_back(
          Run{entry.m_pid, static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(i + 1)});
    }
  }
  // The runs of a key in slot order; keys whose entries lie in many short runs (slots reused
  // across directories by updates) are grouped by a count of each key's entries instead.
  std::vector<std::uint32_t> groupEnd;
  std::vector<std::uint32_t> slotsByKey;
  const bool byRuns = runs.size() * 4 <= liveCount;
  if (byRuns) {
    // By key, sixteen bits a pass: each pass keeps the order it is given, so the runs of a key
    // stay in slot order. A hundred thousand runs sort in a millisecond or two.
    std::vector<Run> sorted(runs.size());
    std::vector<std::uint32_t> starts;
    for (unsigned shift = 0; shift < 32 && (keyCount - 1) >> shift != 0; shift += 16) {
      starts.assign(std::size_t{1} << 16, 0);
      for (const Run& run : runs) ++starts[(run.key >> shift) & 0xFFFF];
      std::uint32_t at = 0;
      for (std::uint32_t& start : starts) at += std::exchange(start, at);
      for (const Run& run : runs) sorted[starts[(run.key >> shift) & 0xFFFF]++] = run;
      runs.swap(sorted);
    }
  } else {
    // groupEnd[k] counts the entries of the keys up to k, then, once every slot is placed,
    // holds the end of k's group.
    std::vector<Run>().swap(runs);
    groupEnd.assign(keyCount + 1, 0);
    for (std::size_t i = 0; i < m_used; ++i) {
      if (live(m_slots[i])) ++groupEnd[m_slots[i].m_pid + 1];
    }
    for (std::size_t k = 1; k <= keyCount; ++k) groupEnd[k] += groupEnd[k - 1];
    slotsByKey.resize(groupEnd[keyCount]);
    for (std::size_t i = 0; i < m_used; ++i) {
      if (live(m_slots[i])) {
        slotsByKey[groupEnd[m_slots[i].m_pid]++] = static_cast<std::uint32_t>(i);
      }
    }
  }
  // Each directory's entries go to the pool at once, as one list.
  std::vector<DyxEntry*> group;
  auto nextRun = runs.begin();
  const auto take = [&](std::size_t slot) {
    DyxEntry& entry = m_slots[slot];
    entry.m_repository = m_number.value;
    group.push_back(&entry);
  };
  for (const auto& [key, recursive] : flags) {
    if (key == 0 || key >= keyCount || textOf(key).empty()) continue;
    if (!pool.beginDirectory(std::string(textOf(key)), recursive)) continue;
    group.clear();
    if (byRuns) {
      while (nextRun != runs.end() && nextRun->key < key) ++nextRun;
      for (; nextRun != runs.end() && nextRun->key == key; ++nextRun) {
        for (std::uint32_t i = nextRun->begin; i < nextRun->end; ++i) take(i);
      }
    } else {
      for (std::uint32_t j = groupEnd[key - 1]; j < groupEnd[key]; ++j) take(slotsByKey[j]);
    }
    pool.fileEntries(group);
  }
}
