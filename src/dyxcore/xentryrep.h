// DyxEntryRepository: the owner of the entries of one pool of directories and of the texts they
// refer to. Entries sit in fixed slots, numbered from 0, that never move, so a pointer to a live
// entry stays valid until its slot is freed. The first block of slots is allocated at
// construction (200,000 by default); when every slot is in use the repository adds a block as
// large as all the slots so far, so it holds every file while memory lasts.
// Texts (file names and directory paths) are interned once and never removed. The repository
// also remembers every directory that held entries, with its recursive flag, and can be saved
// to and loaded from "<key>.txt" and "<key>.data" in the current directory.
//
// Repositories are addressed by key through a process-wide registry that owns them. The key "0"
// is the transient repository of stand-alone directories and is never saved; an empty key is
// never saved or loaded.
//
// Threads: the operations that change a repository or the registry take the engine lock
// (mutex.h) themselves; readers (textOf, entryAt, the entries' getters) must hold it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dyxcore/portable.h"
#include "dyxcore/xentry.h"

// Where a restore files the saved entries: the pool, which makes a directory for each saved
// path. Called under the engine lock.
class DyxEntryFiler {
 public:
  // Makes the directory (not scanned) and files the entries that follow in it; false when no
  // directory can be made, and then its entries are not filed.
  virtual bool beginDirectory(const std::string& dirName, bool recursive) = 0;
  // Files an entry of the directory begun last.
  virtual void fileEntry(DyxEntry* entry) = 0;
  // Files every entry of the directory begun last at once (a restore's), in slot order; by
  // default one by one.
  virtual void fileEntries(std::span<DyxEntry* const> entries) {
    for (DyxEntry* entry : entries) fileEntry(entry);
  }

 protected:
  ~DyxEntryFiler() = default;
};

class DyxEntryRepository {
 public:
  static constexpr std::size_t kDefaultSlotCount = 200000;

  // Saves, loads and refreshes of its entries go through `env`, which outlives the repository.
  explicit DyxEntryRepository(const std::string& key, std::size_t slotCount = kDefaultSlotCount,
                              dyxplatform::Env& env = dyxplatform::Env::current());
  ~DyxEntryRepository();
  DyxEntryRepository(const DyxEntryRepository&) = delete;
  DyxEntryRepository& operator=(const DyxEntryRepository&) = delete;

  // ----- registry (process-wide) -----
  // The repository of that key, created empty (with the registry's slot count) on first use.
  static DyxEntryRepository& getRepository(const std::string& key);
  // The repository of that key, or nullptr; never creates one.
  static DyxEntryRepository* findRepository(const std::string& key);
  static void deleteRepository(const std::string& key);
  static void deleteAllRepositories();
  // In key order, saves every repository except "0" and `except`. True when every save
  // succeeded.
  static bool saveAllRepositories(const std::string& except = std::string());
  // The slot count of repositories the registry creates from now on (at least 1).
  static void setDefaultCapacity(std::size_t slotCount);
  static std::size_t defaultCapacity();

  // ----- texts -----
  const std::string& getKey() const { return m_key; }
  // The number its entries keep (DyxEntry::getRepository), unique among live repositories.
  std::uint32_t number() const { return m_number.value; }
  dyxplatform::Env& env() const { return m_env; }
  // The key of the text; a new text gets the next key (number of texts + 1).
  std::uint32_t intern(std::string_view text);
  // The text of the key, or "<null>". The view stays valid while the repository lives, until a
  // load or clearContent replaces its texts: interned texts never move.
  std::string_view textOf(std::uint32_t key) const;
  // The key of a text already interned, or 0.
  std::uint32_t findText(std::string_view text) const;
  std::size_t textCount() const { return m_texts.size(); }
  // Unique in the process to this repository's present texts, and moves whenever a load gives
  // the keys new texts: a key and this number together always name the same text.
  std::uint32_t getTextGeneration() const { return m_textGeneration; }

  // ----- slots -----
  // A new entry in the lowest free slot for `name` in the directory `dirName` with its
  // recursive flag; the slots grow when every one is in use. None (nullptr) only when no more
  // slots can be had (the system refuses the memory, or kMaxSlots): the caller reports the
  // file left out. A null directory means no directory (pid 0).
  DyxEntry* createEntry(std::string_view name, std::string_view dirName, bool recursive);
  DyxEntry* createEntry(std::string_view name);
  // Frees the entry's slot (nullptr and entries of other repositories are ignored).
  void freeEntry(DyxEntry* entry);
  // The same for many entries under one hold of the engine lock.
  void freeEntries(std::span<DyxEntry* const> entries);
  DyxEntry* entryAt(std::size_t slot);
  const DyxEntry* entryAt(std::size_t slot) const;
  // The slot number of an entry of this repository, or -1.
  long slotOf(const DyxEntry* entry) const;
  // One block of slots: they sit end to end in memory from `begin`, and the first is slot
  // number `firstSlot`. A block never moves while the repository lives, until a load.
  struct SlotSpan {
    const DyxEntry* begin = nullptr;
    std::size_t count = 0;
    std::size_t firstSlot = 0;
  };
  // The block holding `entry`; false for an entry outside this repository's slots.
  bool spanOf(const DyxEntry* entry, SlotSpan& span) const;
  bool isEmpty() const { return m_used == 0; }
  std::size_t getUsed() const { return m_used; }
  std::size_t getFirstFree() const { return m_firstFree; }
  // Every slot of every block, in use or free.
  std::size_t slotCount() const { return m_slots.size(); }
  // The most slots a repository holds (slot numbers stay 32-bit in the restore and the index).
  static constexpr std::size_t kMaxSlots = 0xFFFFFFFFu;
  // Lowers the most slots a repository grows to (tests of a repository that cannot grow);
  // 0 restores kMaxSlots. Process-wide.
  static void setSlotLimit(std::size_t limit);
  // Live entries (slots below `used` whose id is not 0).
  std::size_t liveCount() const;
  // Directory key -> recursive flag, for every directory that held entries.
  const std::map<std::uint32_t, bool>& directoryFlags() const { return m_directoryFlags; }

  // ----- files -----
  std::string textFileName() const { return m_key + ".txt"; }
  std::string dataFileName() const { return m_key + ".data"; }
  // Writes the slots up to the highest live one. Both files are written whole beside their
  // targets before either is renamed into place. Nothing for an empty key or "0". False when a
  // file could not be written: the previous files are then byte for byte as they were, and the
  // user is told (a "not saved" notice with the system's reason). After a damaged load, the
  // first save keeps the damaged files as "<key>.txt.damaged" and "<key>.data.damaged".
  // Nothing is written either when the content is what the last load read or the last save
  // wrote and both files are still the very ones that load or save left (same size, write and
  // change time and file number): a start and a quit without a change write nothing.
  bool save() const;
  // Replaces the content by the files'. Nothing for an empty key or a missing text file. The
  // slot block is sized by the highest live slot of the data file (at least the capacity),
  // never by the count, which a damaged file may inflate. A damaged file loads what can be
  // trusted and is named in a "damaged" notice that says what was loaded and what was not:
  // entries whose texts or directory are missing, records the data file lacks, directories of
  // a list cut short. Call only when no directory holds this repository's entries: every
  // previous entry pointer becomes invalid. False when nothing was loaded. Without
  // `fingerprint`, the load does not work out what the files hold, so the next save writes them
  // whatever they hold: for a repository read only to answer, which is never saved.
  bool load(bool fingerprint = true);
  // Forgets every text, directory and slot, as a repository just created; refused (false) while
  // any entry is live, so that no entry pointer can be left dangling. The next save writes
  // only what was made after it. Takes the engine lock.
  bool clearContent();

  // Files every live entry of the directory key with `filer` (fileEntry) after setting its
  // repository reference. Nothing for key 0 or a null filer.
  void attachEntries(std::uint32_t dirKey, DyxEntryFiler* filer);
  // The same with any receiver: `attach` is called with each live entry of the directory key.
  void forEachEntryOf(std::uint32_t dirKey, const std::function<void(DyxEntry&)>& attach);
  // For each stored directory in key order: the pool creates an unscanned directory for its
  // path and flag (beginDirectory), then its entries are filed in it.
  void restore(DyxEntryFiler& pool);

 private:
  DyxEntry* allocate(std::string_view name, std::uint32_t dirKey);

  // The count of slots a save writes: one past the highest live slot.
  std::size_t savedSlotCount() const;
  // A fingerprint of everything a save writes when it writes `used` slots.
  std::uint64_t contentFingerprint(std::size_t used) const;
  // Its two halves, for a load that works it out as it fills the slots: the slots in order
  // into four lanes, then the rest of the content and the lanes into one number.
  struct Lanes {
    std::uint64_t lane[4] = {0x9E3779B97F4A7C15u, 0xC2B2AE3D27D4EB4Fu, 0x165667B19E3779F9u,
                             0x85EBCA77C2B2AE63u};
  };
  static void mixSlot(Lanes& lanes, const DyxEntry& entry);
  std::uint64_t finishFingerprint(Lanes lanes, std::size_t used) const;
  // Size, times and file number of both files as they are on disk ("" when one is missing).
  std::string filesSignature() const;

  // A free number in the table of live repositories (throws std::length_error when every one
  // is taken), and its return.
  static std::uint32_t takeNumber(DyxEntryRepository* repository);
  static void giveNumberBack(std::uint32_t number);

  // The repository's number, held from its construction to its destruction.
  struct Number {
    explicit Number(DyxEntryRepository* repository) : value(takeNumber(repository)) {}
    ~Number() { giveNumberBack(value); }
    Number(const Number&) = delete;
    Number& operator=(const Number&) = delete;
    const std::uint32_t value;
  };

  std::string m_key;
  dyxplatform::Env& m_env;
  Number m_number;
  // What the files on disk hold, as of the last load or save that left them whole.
  struct OnDisk {
    bool known = false;
    std::uint64_t content = 0;  // contentFingerprint of what they hold
    std::string files;          // filesSignature just after
  };
  mutable OnDisk m_onDisk;
  // The files loaded were damaged: the next save keeps them under another name first.
  mutable bool m_keepDamaged = false;
  std::size_t m_firstFree = 0;
  std::size_t m_used = 0;
  // The slots: blocks of zeroed memory that the system hands out page by page as slots are
  // first written, so a large capacity costs nothing until it is used (a free slot is all zero
  // bytes). The first block has the capacity asked for (c slots); each further block doubles
  // the total, so block k >= 1 holds the slots from c << (k - 1) up to c << k, and a slot's
  // block is found by arithmetic. Blocks never move; `reset` gives one new block.
  class SlotBlock {
   public:
    explicit SlotBlock(std::size_t count) { reset(count); }
    ~SlotBlock();
    SlotBlock(const SlotBlock&) = delete;
    SlotBlock& operator=(const SlotBlock&) = delete;
    // `count` free slots, in one new block; the earlier blocks are freed.
    void reset(std::size_t count);
    void swap(SlotBlock& other) noexcept;
    // Adds a block of as many free slots as there are already (fewer at `limit`); false when
    // the system refuses the memory or `limit` is reached.
    bool grow(std::size_t limit);
    std::size_t size() const { return m_count; }
    bool empty() const { return m_count == 0; }
    DyxEntry& operator[](std::size_t i) { return i < m_firstCount ? m_first[i] : later(i); }
    const DyxEntry& operator[](std::size_t i) const {
      return i < m_firstCount ? m_first[i] : const_cast<SlotBlock*>(this)->later(i);
    }
    bool spanOf(const DyxEntry* entry, SlotSpan& span) const;

   private:
    DyxEntry& later(std::size_t i);
    void release();
    std::vector<DyxEntry*> m_blocks;  // owned (malloc'ed); block 0 is m_first
    DyxEntry* m_first = nullptr;
    std::size_t m_firstCount = 0;
    std::size_t m_count = 0;
  };
  SlotBlock m_slots;
  // Interned texts, key - 1 -> text: the bytes of the texts end to end in chunks that never
  // move, and for each text one word that tells its chunk, place and length. A text costs its
  // bytes and 8 more, with no allocation of its own, and a load writes the texts straight into
  // the chunks.
  class TextStore {
   public:
    TextStore() = default;
    ~TextStore();
    TextStore(const TextStore&) = delete;
    TextStore& operator=(const TextStore&) = delete;
    std::size_t size() const { return m_places.size(); }
    std::string_view operator[](std::size_t i) const;
    void push_back(std::string_view text);
    // Room at the end of the chunks for a text of at most `most` bytes: the caller writes the
    // text there, then `commit` adds it with its length (at most `most`). Nothing else may come
    // in between.
    char* reserve(std::size_t most);
    void commit(std::size_t length);
    // Drops every text and gives the memory back.
    void clear();
    void swap(TextStore& other) noexcept;

   private:
    // A word of m_places: the chunk's number (22 bits), the place in the chunk (18 bits) and
    // the length (24 bits). A text of kLongLength bytes or more sits alone in its own chunk,
    // after the 8 bytes of its length.
    static constexpr unsigned kLengthBits = 24;
    static constexpr unsigned kPlaceBits = 18;
    static constexpr std::size_t kChunkBytes = std::size_t{1} << kPlaceBits;
    static constexpr std::size_t kMaxChunks = std::size_t{1} << (64 - kLengthBits - kPlaceBits);
    static constexpr std::uint64_t kLongLength = (std::uint64_t{1} << kLengthBits) - 1;
    // A text larger than this gets a chunk of its own rather than leave the rest of a chunk.
    static constexpr std::size_t kOwnChunkBytes = kChunkBytes / 16;
    std::size_t newChunk(std::size_t bytes);
    std::vector<char*> m_chunks;  // owned (malloc'ed)
    // The chunk that short texts fill, its size and the bytes used in it.
    std::size_t m_current = 0;
    std::size_t m_currentBytes = 0;
    std::size_t m_currentUsed = 0;
    // What `reserve` handed out: its chunk and place (a chunk of its own when m_ownChunk).
    std::size_t m_reservedChunk = 0;
    std::size_t m_reservedPlace = 0;
    bool m_ownChunk = false;
    DyxBlockVector<std::uint64_t> m_places;
  };
  TextStore m_texts;
  // Open-addressing index of the texts by content, in two arrays of the same size: a byte of
  // the text's hash (0: a free slot) and the text's key. A probe reads the bytes (a quarter of
  // a megabyte for 200,000 texts, which the cache holds) and a text only where its byte
  // matches; 5 bytes a slot. A repeated text of a loaded file keeps its first key. It holds the
  // keys 1 to m_indexedTexts: a load leaves its texts to the first lookup, since a restore that
  // only answers never looks a text up (both under the engine lock).
  mutable std::vector<std::uint8_t> m_textTags;
  mutable std::vector<std::uint32_t> m_textKeys;
  mutable std::size_t m_indexedTexts = 0;
  std::uint32_t m_textGeneration;
  // The key of an indexed text, or 0; findKey indexes what a load left out first.
  std::uint32_t findKey(std::string_view text, std::size_t hash) const;
  std::uint32_t probeKey(std::string_view text, std::size_t hash) const;
  void indexText(std::uint32_t key, std::size_t hash) const;
  // Files the key in the first free slot from the text's home (there is one).
  void placeText(std::uint32_t key, std::size_t hash) const;
  void growTextIndex() const;
  // An index of `slots` slots (a power of two) made again from the texts of the keys indexed,
  // in key order, so that a repeated text keeps its first key as before. The slots keep too
  // little of the hash to move without it; the old index is freed first.
  void resizeTextIndex(std::size_t slots) const;
  // Indexes the texts a load left out; a text that repeats an earlier one is told in the trace.
  void indexLoadedTexts() const;
  // Drops every text, the text index and the directory flags, under a new text generation.
  void forgetTexts();
  std::map<std::uint32_t, bool> m_directoryFlags;
  // The directory of the latest createEntry and the flag last stored for a key (0: none).
  std::uint32_t m_lastDirKey = 0;
  std::uint32_t m_lastFlagKey = 0;
  bool m_lastFlag = false;
};
