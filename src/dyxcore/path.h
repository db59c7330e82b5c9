// DyxPath: a file path (or any separated name) kept as a list of parts plus the separator it
// was read with.
//
// A relative path is marked by a leading "." part, a drive such as "C:" stays the first part,
// and any other path is rooted at the separator ("." and ".." right after the root are dropped:
// above the root is the root). Parts are never empty. A path with no parts
// and `isEmpty()` false is the root (the separator alone). Paths are plain values: copy them
// freely; no locks, any thread. Order is part by part, byte-wise, a proper prefix first.
#pragma once

#include <compare>
#include <istream>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

class DyxPath {
 public:
  // Empty, with the platform's separator.
  DyxPath();
  // Parses `text`; a separator of 0 means the platform's separator.
  explicit DyxPath(const std::string& text, char separator = 0);

  void parse(const std::string& text, char separator = 0);

  // Separator 0 means the path's own. A drive part is preceded by the separator only when
  // `forceLeadingSeparator` is true.
  std::string toString(char separator = 0, bool forceLeadingSeparator = false) const;

  bool isEmpty() const { return m_empty; }
  int count() const { return static_cast<int>(m_components.size()); }
  // The empty text when out of range.
  const std::string& part(int i) const;
  const std::string& last() const;
  char separator() const { return m_separator; }
  const std::vector<std::string>& components() const { return m_components; }

  // Adds a last part unless `text` is empty; only an added part makes the path non-empty.
  void append(const std::string& text);
  void clear();
  // Removes every "." part except the first.
  void dropDots();

  // In the last part: the text after the last "." standing before the first "?", up to that
  // "?" ("html" for "page.html?x=1.2"); empty when there is no such ".".
  std::string extension() const;
  // In the last part: the text before that "."; without one, the text before the first "?".
  std::string baseName() const;

  // Parts `first` to `last` inclusive (-1: the last part), with the platform's separator. A
  // bad range writes "Bad param: pos0=..,pos1=.." to kxerr and gives an empty path.
  DyxPath subPath(int first, int last = -1) const;
  // A copy when there is at most one part.
  DyxPath parent() const;

  // Parts of `base` then the parts of `relative` that are not "."; keeps base's separator.
  static DyxPath join(const DyxPath& base, const DyxPath& relative);

  friend bool operator==(const DyxPath& a, const DyxPath& b) {
    return a.m_components == b.m_components;
  }
  friend std::strong_ordering operator<=>(const DyxPath& a, const DyxPath& b) {
    return a.m_components <=> b.m_components;
  }

 private:
  std::vector<std::string> m_components;
  bool m_empty = true;
  char m_separator;
};

// Writes toString(0, false); trace streams print it the same way (and only when enabled).
std::ostream& operator<<(std::ostream& out, const DyxPath& path);
// Reads one token (quoted text or word), parses it with the path's own separator, then drops
// every "." part but the first.
std::istream& operator>>(std::istream& in, DyxPath& path);

// Every "\" becomes the platform's separator "/" (on a "\" platform, "/" would become "\").
std::string toNativeSeparators(const std::string& text);

// The text of the path of `name` inside the directory text `dir` ("/" + name under the root).
// Text in, text out: a scan builds one per name and must not pay for a DyxPath.
std::string childPathText(const std::string& dir, std::string_view name);
// Exactly two characters: "A" to "Z" and ":".
bool isDrive(const std::string& text);
