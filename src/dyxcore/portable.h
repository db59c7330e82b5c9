// Wildcard patterns and the small text helpers of the engine's portable layer.
//
// A DyxPattern owns its matcher nodes; copying a pattern clones them. Users type wildcards
// ("*", "?"); the pattern translates them into a small dialect (".", ".*", "^", "$", backslash
// escapes) and compiles that into a node list that is matched left to right without
// backtracking: a "many any" node stops at the first occurrence of the text that follows it.
// That is why `*.txt` does not match `a.txt.txt`, and it is kept on purpose.
//
// Threads: a pattern is built by one thread; matching does not change it, so concurrent
// matches on one pattern are safe. The text helpers keep no state and may be called anywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// One step of a compiled pattern.
class DyxPatternNode {
 public:
  virtual ~DyxPatternNode() = default;
  virtual std::unique_ptr<DyxPatternNode> clone() const = 0;
  // Tries the node at `position` (may already be past the end of `subject`). On success
  // advances `position` and returns true.
  virtual bool match(std::string_view subject, std::size_t& position) const = 0;
  // The trace form of the node.
  virtual void print(std::ostream& out) const = 0;
};

// Matches its text exactly; the comparison stops early at a zero byte, as a C string would.
class DyxPatternLiteral final : public DyxPatternNode {
 public:
  explicit DyxPatternLiteral(std::string text) : m_text(std::move(text)) {}
  std::unique_ptr<DyxPatternNode> clone() const override;
  bool match(std::string_view subject, std::size_t& position) const override;
  void print(std::ostream& out) const override;  // "=(" text ")"
  const std::string& text() const { return m_text; }

 private:
  std::string m_text;
};

// Consumes exactly one character.
class DyxPatternOneAny final : public DyxPatternNode {
 public:
  std::unique_ptr<DyxPatternNode> clone() const override;
  bool match(std::string_view subject, std::size_t& position) const override;
  void print(std::ostream& out) const override;  // "one any"
};

// Skips characters up to the first occurrence of `until` (not consumed) or to the end when
// `until` is empty or absent. Always succeeds.
class DyxPatternManyAnyUntil final : public DyxPatternNode {
 public:
  explicit DyxPatternManyAnyUntil(std::string until) : m_until(std::move(until)) {}
  std::unique_ptr<DyxPatternNode> clone() const override;
  bool match(std::string_view subject, std::size_t& position) const override;
  void print(std::ostream& out) const override;  // "many any until '" until "'"
  const std::string& until() const { return m_until; }

 private:
  std::string m_until;
};

using DyxPatternNodeList = std::vector<std::unique_ptr<DyxPatternNode>>;

// Result codes of dyxPatternCompile.
constexpr int kDyxPatternOk = 0;
constexpr int kDyxPatternMissingArgument = 1;
constexpr int kDyxPatternBadCaret = 2;

// Compiles dialect text into nodes appended to `list`. Returns kDyxPatternOk, 1 when `list` or
// `text` is null, 2 for a "^" that is not at the start (the nodes made so far stay in `list`;
// the caller frees them). Always terminates, whatever the bytes.
int dyxPatternCompile(DyxPatternNodeList* list, const char* text);
int dyxPatternCompile(DyxPatternNodeList* list, std::string_view text);
// 0 when the nodes, applied in order, accept `subject` and end exactly at its end; 1
// otherwise. (DyxPattern::match treats an empty list as matching everything.)
int dyxPatternMatch(const DyxPatternNodeList& list, std::string_view subject);
void dyxPatternFree(DyxPatternNodeList& list);

// The wildcard to dialect translation: `*.txt` becomes `^.*\.txt$`.
std::string dyxWildcardToDialect(const std::string& wildcard);

class DyxPattern {
 public:
  DyxPattern() = default;  // empty: matches every text
  // `wildcard` true: `text` uses "*" and "?". A compile error leaves the pattern empty.
  explicit DyxPattern(const std::string& text, bool wildcard = true);
  DyxPattern(const DyxPattern& other);
  DyxPattern& operator=(const DyxPattern& other);
  DyxPattern(DyxPattern&&) noexcept = default;
  DyxPattern& operator=(DyxPattern&&) noexcept = default;
  ~DyxPattern() = default;

  bool match(std::string_view subject) const;
  bool isEmpty() const { return m_nodes.empty(); }
  const DyxPatternNodeList& nodes() const { return m_nodes; }
  // The trace forms of the nodes, separated by ", ".
  std::string describe() const;

 private:
  DyxPatternNodeList m_nodes;
};

// ---- Text helpers (8-bit text; "blank" is the space character; case folding is ASCII) ----

// Removes leading and trailing blanks and tabs.
std::string trim(const std::string& text);
std::string toLower(std::string text);
// A double quote, the text, a double quote.
std::string quote(const std::string& text);
// Removes one pair of enclosing quotes, each end on its own; a backslash before a quote at
// either end goes with it. Inner quotes are kept.
std::string unquote(const std::string& text);
// Replaces every occurrence of `from`, left to right, never rescanning replaced text. An
// empty `from` leaves the text unchanged.
std::string replaceAll(const std::string& text, const std::string& from, const std::string& to);
// Not empty, at most 30 bytes, none of blank, tab, "/", "\", ".", "*", "?", ">", "<".
bool isValidName(const std::string& name);
std::string intToString(std::int64_t n);
// The default stream form: at most 6 significant digits (1.5, 1, 1.43051).
std::string doubleToString(double x);
// Pieces between `delimiter` characters, indexed from 0; empty pieces are skipped. With a
// non-zero `quoteChar`, a quote before the next delimiter makes the piece run to the closing
// quote (both kept); without a closing quote splitting stops there.
std::map<int, std::string> split(const std::string& text, char delimiter, char quoteChar = '\0');
// "1023 oct.", "1.5 Ko", "5120 Mo".
std::string formatSize(std::int64_t bytes);
// Reads back what formatSize writes: a number and a unit word ("Ko" x1024, "Mo" x1048576,
// anything else the bare number). 0 when the text holds no number.
double parseSize(const std::string& text);

// ---- Stable storage ----

// A growing array whose elements never move: they sit in blocks of 2^kBits that are never
// reallocated, so a reference or an index stays good while elements are appended, appending
// never stops to move what is there, and an element is reached through a table of blocks
// short enough to stay in the cache. Only appends and a whole clear; one thread at a time.
template <class T, std::size_t kBits = 12>
class DyxBlockVector {
 public:
  std::size_t size() const { return m_size; }
  bool empty() const { return m_size == 0; }
  const T& operator[](std::size_t i) const { return m_blocks[i >> kBits][i & kMask]; }
  T& operator[](std::size_t i) { return m_blocks[i >> kBits][i & kMask]; }
  void push_back(T value) {
    if ((m_size >> kBits) == m_blocks.size()) {
      m_blocks.push_back(std::make_unique<T[]>(kMask + 1));
    }
    m_blocks[m_size >> kBits][m_size & kMask] = std::move(value);
    ++m_size;
  }
  // Drops every element and gives the memory back.
  void clear() {
    m_blocks.clear();
    m_blocks.shrink_to_fit();
    m_size = 0;
  }

 private:
  static constexpr std::size_t kMask = (std::size_t{1} << kBits) - 1;
  std::vector<std::unique_ptr<T[]>> m_blocks;
  std::size_t m_size = 0;
};
