#include "dyxcore/filter.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "dyxcore/context.h"
#include "dyxcore/platform.h"
#include "dyxcore/propman.h"
#include "dyxcore/xentry.h"
#include "kxcore/io.h"
#include "kxcore/perthread.h"

namespace {

// A thread's own text buffers, one per use: filling one costs no allocation once it has grown.
enum class ThreadBuffer { kPropertyText, kEntryName, kCount };

std::string& threadBuffer(ThreadBuffer which) {
  thread_local std::string* buffers[static_cast<int>(ThreadBuffer::kCount)] = {};
  std::string*& mine = buffers[static_cast<int>(which)];
  if (mine == nullptr) mine = kxthread::makeOwned<std::string>();
  return *mine;
}

// Trace lines quote criterion texts; beyond this length they are cut, so that tracing a parse of
// a huge criterion stays linear in its length.
constexpr std::size_t kTraceTextLimit = 2048;

std::string traceText(std::string_view text) {
  if (text.size() <= kTraceTextLimit) return std::string(text);
  return std::string(text.substr(0, kTraceTextLimit)) + "...";
}

// A piece of a criterion named in a message for the user: short enough to read on one line.
std::string messageText(std::string_view text) {
  constexpr std::size_t kLimit = 120;
  if (text.size() <= kLimit) return std::string(text);
  return std::string(text.substr(0, kLimit)) + "...";
}

void foldInPlace(std::string& text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimView(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && isBlank(text[begin])) ++begin;
  while (end > begin && isBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// The text of a built-in property, produced at most once. Name and extension are copied straight
// from the repository's text table into the caller's reusable buffer, so they cost no allocation
// once the buffer has grown.
void propertyText(const DyxEntry& entry, int id, std::string& out) {
  if (id == kPropName || id == kPropExt) {
    std::string_view name = entry.getName();
    if (id == kPropExt) {
      const std::size_t dot = name.rfind('.');
      name = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
    }
    out.assign(name.data(), name.size());
    return;
  }
  out = entry.getProperty(id);
}

// ---------------------------------------------------------------------------------------------
// "contains": a line-by-line search that never loops and never holds more than one block plus
// the tail of the current line that a match could still start in.

bool searchLines(dyxplatform::FileReader& reader, const std::string& needle) {
  constexpr std::size_t kBlock = 64 * 1024;
  std::vector<char> block(needle.empty() ? 1 : kBlock);
  if (needle.empty()) {
    // Every line holds the empty text; a file without any line holds none.
    return reader.read(block.data(), 1) > 0;
  }
  const std::size_t keep = needle.size() - 1;
  std::string carry;  // end of the current line that a match could still begin in
  std::string window;
  for (;;) {
    const long got = reader.read(block.data(), block.size());
    if (got <= 0) break;  // the end, or a read error: nothing more to search
    std::string_view data(block.data(), static_cast<std::size_t>(got));
    while (!data.empty()) {
      const std::size_t newline = data.find('\n');
      const bool lineEnds = newline != std::string_view::npos;
      const std::string_view segment = lineEnds ? data.substr(0, newline) : data;
      if (!carry.empty()) {
        window = carry;
        window.append(segment.substr(0, std::min(segment.size(), keep)));
        if (window.find(needle) != std::string::npos) return true;
      }
      if (segment.find(needle) != std::string_view::npos) return true;
      if (lineEnds) {
        carry.clear();
        data.remove_prefix(newline + 1);
      } else {
        if (segment.size() >= keep) {
          carry.assign(segment.substr(segment.size() - keep));
        } else {
          carry.append(segment);
          if (carry.size() > keep) carry.erase(0, carry.size() - keep);
        }
        data = std::string_view();
      }
    }
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// The parser. Every text it handles is a piece of the one criterion given to DyxFilterparse, so
// the positions of "(" with their matching ")" and of the three operator words are found once
// for the whole criterion, and each step looks them up instead of scanning again. Tail steps
// (the right side of an operator, the text after "not ", the text after a group) continue in a
// loop instead of recursing; only a group's center and the texts left of an operator recurse.
//
// Quoted values are found first, once: the structural steps then work on a copy of the
// criterion in which every byte of a quoted value is replaced by kMasked, so that blanks,
// parentheses, "[" and operator words inside quotes split nothing. The copy has the same length,
// so a piece of it names the same bytes of the criterion, from which a comparison takes its
// value and decodes the quotes.

// Stands for a byte of a quoted value in the structural copy: not a blank, a parenthesis, "[",
// a quote, a backslash or a letter of an operator word.
constexpr char kMasked = '\x01';

// One quoted value: [begin, end) of the criterion, quotes included.
struct QuotedSpan {
  std::size_t begin = 0;
  std::size_t end = 0;
  bool printed = false;  // \"...\" (the printed form) rather than "..."
  bool closed = false;
};

// A quote not preceded by a backslash opens a typed value, which ends at the next quote not
// escaped; inside it \" is a quote and \\ a backslash. A backslash-quote pair opens a printed
// value, which ends at the next backslash-quote pair that is not part of an escape; inside it
// \\ is a backslash and \xHH the byte HH. Any other backslash is an ordinary byte. A value that
// does not end runs to the end of the criterion (its trailing blanks left out).
std::vector<QuotedSpan> findQuotedValues(std::string_view text) {
  std::vector<QuotedSpan> spans;
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const bool printed = text[i] == '\\' && i + 1 < n && text[i + 1] == '"';
    if (!printed && text[i] != '"') {
      ++i;
      continue;
    }
    QuotedSpan span;
    span.begin = i;
    span.printed = printed;
    std::size_t j = i + (printed ? 2 : 1);
    while (j < n) {
      if (text[j] == '\\' && j + 1 < n) {
        if (printed && text[j + 1] == '"') {
          span.closed = true;
          j += 2;
          break;
        }
        j += 2;  // an escape: its second byte neither ends nor starts anything
        continue;
      }
      if (!printed && text[j] == '"') {
        span.closed = true;
        ++j;
        break;
      }
      ++j;
    }
    if (!span.closed) {
      j = n;
      while (j > span.begin + 1 && isBlank(text[j - 1])) --j;
    }
    span.end = std::min(j, n);
    spans.push_back(span);
    i = j;
  }
  return spans;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Appends the value that the quoted span holds (its quotes and escapes removed).
void decodeQuoted(std::string_view text, const QuotedSpan& span, std::string& out) {
  std::size_t i = span.begin + (span.printed ? 2 : 1);
  std::size_t end = span.end;
  if (span.closed) end -= span.printed ? 2 : 1;
  while (i < end) {
    const char c = text[i];
    if (c == '\\' && i + 1 < end) {
      const char next = text[i + 1];
      if (next == '\\' || (!span.printed && next == '"')) {
        out += next;
        i += 2;
        continue;
      }
      if (span.printed && next == 'x' && i + 3 < end) {
        const int high = hexDigit(text[i + 2]);
        const int low = hexDigit(text[i + 3]);
        if (high >= 0 && low >= 0) {
          out += static_cast<char>(high * 16 + low);
          i += 4;
          continue;
        }
      }
    }
    out += c;
    ++i;
  }
}

struct ParseContext {
  std::string text;    // the criterion, unmatched "(" turned into blanks
  std::string masked;  // the structural copy of `text` (see above)
  std::vector<QuotedSpan> quoted;
  std::vector<std::size_t> opens;    // positions of "(" in order
  std::vector<std::size_t> matches;  // the matching ")" of each, or npos
  std::vector<std::size_t> orAt;     // positions of " or ", overlapping ones included
  std::vector<std::size_t> xorAt;
  std::vector<std::size_t> andAt;
  std::vector<std::string>* messages = nullptr;
  int calls = 0;  // parseText calls under way
  bool tooDeep = false;

  ParseContext(std::string_view criterion, std::vector<std::string>* out)
      : text(criterion), masked(criterion), messages(out) {
    quoted = findQuotedValues(text);
    for (const QuotedSpan& span : quoted) {
      std::fill(masked.begin() + static_cast<std::ptrdiff_t>(span.begin),
                masked.begin() + static_cast<std::ptrdiff_t>(span.end), kMasked);
      if (!span.closed) error("Missing a closing double quote.");
    }
    std::vector<std::size_t> stack;
    for (std::size_t i = 0; i < masked.size(); ++i) {
      if (masked[i] == '(') {
        stack.push_back(opens.size());
        opens.push_back(i);
        matches.push_back(std::string_view::npos);
      } else if (masked[i] == ')' && !stack.empty()) {
        matches[stack.back()] = i;
        stack.pop_back();
      }
    }
    // A "(" that nothing closes would otherwise end up inside a name or a value, and be printed
    // back there: it is reported and read as a blank.
    if (!stack.empty()) {
      std::vector<std::size_t> keptOpens;
      std::vector<std::size_t> keptMatches;
      for (std::size_t k = 0; k < opens.size(); ++k) {
        if (matches[k] == std::string_view::npos) {
          error("Missing a closing parenthesis.");
          text[opens[k]] = ' ';
          masked[opens[k]] = ' ';
        } else {
          keptOpens.push_back(opens[k]);
          keptMatches.push_back(matches[k]);
        }
      }
      opens.swap(keptOpens);
      matches.swap(keptMatches);
    }
    collect(masked, " or ", orAt);
    collect(masked, " xor ", xorAt);
    collect(masked, " and ", andAt);
  }

  // A message for the user: on kxerr, and collected for the caller.
  void error(const std::string& message) {
    KX_POS(kxerr) << message << endl;
    if (messages != nullptr) messages->push_back(message);
  }

  static void collect(std::string_view text, std::string_view word, std::vector<std::size_t>& out) {
    std::size_t at = text.find(word);
    while (at != std::string_view::npos) {
      out.push_back(at);
      at = text.find(word, at + 1);
    }
  }

  std::size_t offsetOf(std::string_view piece) const {
    return static_cast<std::size_t>(piece.data() - masked.data());
  }

  // The criterion's own bytes of a piece of the structural copy (for traces and messages).
  std::string_view original(std::string_view piece) const {
    return std::string_view(text).substr(offsetOf(piece), piece.size());
  }

  // True when [begin, end) of the criterion holds a byte of a quoted value.
  bool touchesQuoted(std::size_t begin, std::size_t end) const {
    auto it = std::upper_bound(quoted.begin(), quoted.end(), begin,
                               [](std::size_t at, const QuotedSpan& s) { return at < s.end; });
    return it != quoted.end() && it->begin < end;
  }

  // The value of [begin, end) of the criterion: bytes outside quotes as they are, quoted
  // values decoded, side by side.
  std::string value(std::size_t begin, std::size_t end) const {
    std::string out;
    auto it = std::upper_bound(quoted.begin(), quoted.end(), begin,
                               [](std::size_t at, const QuotedSpan& s) { return at < s.end; });
    std::size_t i = begin;
    for (; it != quoted.end() && it->begin < end; ++it) {
      if (it->begin > i) out.append(text, i, it->begin - i);
      decodeQuoted(text, *it, out);
      i = std::max(i, it->end);
    }
    if (i < end) out.append(text, i, end - i);
    return out;
  }

  // First occurrence within the piece of a word whose positions are in `at`, as an index into the
  // piece; npos when none.
  std::size_t findIn(std::string_view piece, const std::vector<std::size_t>& at,
                     std::size_t wordSize) const {
    const std::size_t begin = offsetOf(piece);
    auto it = std::lower_bound(at.begin(), at.end(), begin);
    if (it == at.end() || *it + wordSize > begin + piece.size()) return std::string_view::npos;
    return *it - begin;
  }

  // First "(" of the piece and the ")" that brings the depth back to 0 within the piece (npos
  // when the piece ends first), both as indexes into the piece.
  bool findGroup(std::string_view piece, std::size_t& open, std::size_t& close) const {
    const std::size_t begin = offsetOf(piece);
    auto it = std::lower_bound(opens.begin(), opens.end(), begin);
    if (it == opens.end() || *it >= begin + piece.size()) return false;
    open = *it - begin;
    const std::size_t match = matches[static_cast<std::size_t>(it - opens.begin())];
    close = (match == std::string_view::npos || match >= begin + piece.size())
                ? std::string_view::npos
                : match - begin;
    return true;
  }

  // Sets the flag (with its message) when a tree would nest deeper than allowed.
  bool exceeds(int level) {
    if (level <= kDyxMaxCriterionNesting) return false;
    if (!tooDeep) error("Criterion nested too deeply.");
    tooDeep = true;
    return true;
  }
};

template <class Node>
DyxCriterionPtr makeComparison(const std::string& name, const std::string& value, bool cs) {
  return DyxCriterionPtr(new Node(name, value, cs));
}

// One operator parser: the word must stand after a non-empty start of the text, and a "[" in the
// text must stand directly before it. `t` is a piece of the structural copy, so neither is
// looked for inside quotes. The name is plain text: one that holds a quote or a parenthesis
// could not be printed back as the same name.
DyxCriterionPtr parseOperator(std::string_view t, std::string_view word, int index,
                              const ParseContext& ctx) {
  const std::size_t bracket = t.find('[');
  const std::size_t k = t.find(word);
  if (k == std::string_view::npos || k == 0) return nullptr;
  const bool caseSensitive = bracket != std::string_view::npos;
  if (caseSensitive && k != bracket + 1) return nullptr;
  const std::string name(trimView(t.substr(0, caseSensitive ? bracket : k)));
  if (!isValidName(name) || name.find_first_of("()") != std::string::npos) return nullptr;
  const std::size_t offset = ctx.offsetOf(t);
  if (ctx.touchesQuoted(offset, offset + (caseSensitive ? bracket : k))) return nullptr;
  const std::string_view rest = trimView(t.substr(k + word.size()));
  const std::size_t valueBegin = ctx.offsetOf(rest);
  std::string value = ctx.value(valueBegin, valueBegin + rest.size());
  if (!caseSensitive) foldInPlace(value);
  switch (index) {
    case 0:
      return makeComparison<DyxFilterNotEqual>(name, value, caseSensitive);
    case 1:
      return makeComparison<DyxFilterGreaterEqual>(name, value, caseSensitive);
    case 2:
      return makeComparison<DyxFilterLessEqual>(name, value, caseSensitive);
    case 3:
      return makeComparison<DyxFilterGreater>(name, value, caseSensitive);
    case 4:
      return makeComparison<DyxFilterLess>(name, value, caseSensitive);
    case 5:
      return makeComparison<DyxFilterEqual>(name, value, caseSensitive);
    case 6:
      return makeComparison<DyxFilterLikeCs>(name, value, caseSensitive);
    case 7:
      return makeComparison<DyxFilterLike>(name, value, caseSensitive);
    default:
      return makeComparison<DyxFilterContains>(name, value, caseSensitive);
  }
}

DyxCriterionPtr parseComparison(std::string_view t, const ParseContext& ctx) {
  // The order is binding: "!=" before "=", "like-cs" before "like".
  static constexpr std::string_view kWords[] = {"!=", ">=",      "<=",   ">",       "<",
                                                "=",  "like-cs", "like", "contains"};
  for (int i = 0; i < 9; ++i) {
    if (DyxCriterionPtr node = parseOperator(t, kWords[i], i, ctx)) return node;
  }
  return nullptr;
}

// A step waiting for the node that the loop is still parsing (the right-hand one).
struct Pending {
  enum Kind { kBinary, kNot, kGroup } kind;
  int level = 0;              // tree levels above this step's node
  std::string word;           // kBinary: the operator; kGroup: the word after the group
  std::string_view leftText;  // kBinary: parsed only once the right side is done
  DyxCriterionPtr center;     // kGroup
  DyxCriterionPtr leftNode;   // kGroup, may be null
  std::string leftWord;       // kGroup
};

DyxCriterionPtr parseText(std::string_view text, int level, ParseContext& ctx);

void writeGroupOperators(const std::string& leftWord, const std::string& rightWord) {
  KX_POS(kxout) << "op left=\"" << leftWord << "\" ,op right=\"" << rightWord << "\"" << endl;
}

DyxCriterionPtr joinGroupLeft(DyxCriterionPtr leftNode, const std::string& leftWord,
                              DyxCriterionPtr center, ParseContext& ctx) {
  if (!leftNode) return center;
  return DyxBuildExpression(std::move(leftNode), leftWord, std::move(center), ctx.messages);
}

DyxCriterionPtr parseText(std::string_view text, int level, ParseContext& ctx) {
  KX_SCOPE("DyxFilterparse");
  struct CallCount {
    explicit CallCount(ParseContext& c) : ctx(c) { ++ctx.calls; }
    ~CallCount() { --ctx.calls; }
    ParseContext& ctx;
  } count(ctx);
  // A group with nothing beside it adds no level to the tree but does add a call, so the calls
  // are bounded too. A printed tree makes at most two calls more than its levels (the first
  // call, and the group of a whole "or" or "xor" node), so it reads back wherever it parsed.
  if (ctx.tooDeep || ctx.exceeds(std::max(level, ctx.calls - 2))) return dyxFalseCriterion();
  std::vector<Pending> pending;
  DyxCriterionPtr result;
  std::string_view current = text;
  while (!result) {
    if (kxout.enabled()) {
      kxout << kxParam("criterion_ws", traceText(ctx.original(current))) << endl;
    }
    const std::string_view t = trimView(current);
    if (t.empty()) {
      KX_POS(kxout) << "Criterion is empty." << endl;
      result = dyxTrueCriterion();
      break;
    }
    if (t == "true") {
      result = dyxTrueCriterion();
      break;
    }

    std::size_t open = 0;
    std::size_t close = 0;
    if (ctx.findGroup(t, open, close)) {
      if (close != std::string_view::npos) {
        const std::string_view left = trimView(t.substr(0, open));
        const std::string_view center = trimView(t.substr(open + 1, close - open - 1));
        const std::string_view right = trimView(t.substr(close + 1));
        if (kxout.enabled()) {
          KX_POS(kxout) << "left=\"" << traceText(ctx.original(left)) << "\" ,center=\""
                        << traceText(ctx.original(center)) << "\" ,right=\""
                        << traceText(ctx.original(right)) << "\"" << endl;
        }
        // Levels count only the joining nodes that are made: the one of the text after the
        // group is this step's node, the one of the text before it comes below, then the group.
        // So a printed tree, whose groups mostly stand alone, reads back no deeper than it is.
        const std::size_t rightBlank = right.find_first_of(" \t");
        const int rightJoin = rightBlank == std::string_view::npos ? 0 : 1;
        const int leftJoin = left.empty() ? 0 : 1;
        DyxCriterionPtr centerNode = parseText(center, level + rightJoin + leftJoin, ctx);
        DyxCriterionPtr leftNode;
        std::string leftWord;
        if (!left.empty()) {
          const std::size_t blank = left.find_last_of(" \t");
          if (blank == std::string_view::npos) {
            leftWord = std::string(ctx.original(left));
            leftNode = parseText(left, level + rightJoin + 1, ctx);
          } else {
            leftWord = std::string(ctx.original(left.substr(blank + 1)));
            leftNode = parseText(left.substr(0, blank), level + rightJoin + 1, ctx);
          }
        }
        std::string rightWord;
        if (!right.empty()) {
          rightWord = std::string(ctx.original(right.substr(0, rightBlank)));
          if (rightJoin != 0) {
            if (ctx.exceeds(level + 1)) break;
            Pending step{Pending::kGroup,     level,   rightWord, {}, std::move(centerNode),
                         std::move(leftNode), leftWord};
            pending.push_back(std::move(step));
            level += 1;
            current = right.substr(rightBlank);
            continue;
          }
          // A lone word after the group has nothing to join: it is reported and dropped, and
          // the group with what stands before it is the result.
          ctx.error("Missing an expression after: " + rightWord);
        }
        writeGroupOperators(leftWord, rightWord);
        result = joinGroupLeft(std::move(leftNode), leftWord, std::move(centerNode), ctx);
        break;
      }
      ctx.error("Missing a closing parenthesis.");
    }

    static constexpr std::string_view kBinaryWords[] = {"or", "xor", "and"};
    const std::vector<std::size_t>* positions[] = {&ctx.orAt, &ctx.xorAt, &ctx.andAt};
    bool split = false;
    for (int i = 0; i < 3 && !split; ++i) {
      const std::size_t wordSize = kBinaryWords[i].size() + 2;
      const std::size_t at = ctx.findIn(t, *positions[i], wordSize);
      if (at == std::string_view::npos) continue;
      split = true;
      if (ctx.exceeds(level + 1)) break;
      Pending step{
          Pending::kBinary, level, std::string(kBinaryWords[i]), t.substr(0, at), {}, {}, {}};
      pending.push_back(std::move(step));
      level += 1;
      current = t.substr(at + wordSize);
    }
    if (ctx.tooDeep) break;
    if (split) continue;

    if (t.substr(0, 4) == "not ") {
      if (ctx.exceeds(level + 1)) break;
      pending.push_back(Pending{Pending::kNot, level, {}, {}, {}, {}, {}});
      level += 1;
      current = t.substr(4);
      continue;
    }

    result = parseComparison(t, ctx);
    if (!result) {
      // The piece is named: in a long criterion the message alone would not say which part
      // keeps nothing.
      ctx.error("Cannot parse the expression: Returns None: " + messageText(ctx.original(t)));
      result = dyxFalseCriterion();
    }
  }

  if (ctx.tooDeep) return dyxFalseCriterion();  // `pending` releases what it holds
  while (!pending.empty()) {
    Pending step = std::move(pending.back());
    pending.pop_back();
    switch (step.kind) {
      case Pending::kBinary: {
        DyxCriterionPtr left = parseText(step.leftText, step.level + 1, ctx);
        if (ctx.tooDeep) return dyxFalseCriterion();
        result = DyxBuildExpression(std::move(left), step.word, std::move(result), ctx.messages);
        break;
      }
      case Pending::kNot:
        if (dyxIsTrueConstant(result.get())) {
          result = dyxFalseCriterion();
        } else if (dyxIsFalseConstant(result.get())) {
          result = dyxTrueCriterion();
        } else {
          result = DyxCriterionPtr(new DyxFilterNot(std::move(result)));
        }
        break;
      case Pending::kGroup: {
        writeGroupOperators(step.leftWord, step.word);
        DyxCriterionPtr joined =
            joinGroupLeft(std::move(step.leftNode), step.leftWord, std::move(step.center), ctx);
        result = DyxBuildExpression(std::move(joined), step.word, std::move(result), ctx.messages);
        break;
      }
    }
  }
  return result;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Release step and constants

void dyxReleaseCriterion(DyxCriterion* node) {
  if (node == nullptr || dyxIsTrueConstant(node) || dyxIsFalseConstant(node)) return;
  delete node;
}

// The constants are never destroyed: trees held by static objects may be released after the
// end of main, and the release step must still recognise them.
DyxFilterTrue& DyxFilterTrue::instance() {
  static DyxFilterTrue* const constant = new DyxFilterTrue;
  return *constant;
}
DyxCriterionPtr DyxFilterTrue::clone() const { return dyxTrueCriterion(); }

DyxFilterFalse& DyxFilterFalse::instance() {
  static DyxFilterFalse* const constant = new DyxFilterFalse;
  return *constant;
}
DyxCriterionPtr DyxFilterFalse::clone() const { return dyxFalseCriterion(); }

DyxCriterionPtr dyxTrueCriterion() { return DyxCriterionPtr(&DyxFilterTrue::instance()); }
DyxCriterionPtr dyxFalseCriterion() { return DyxCriterionPtr(&DyxFilterFalse::instance()); }
bool dyxIsTrueConstant(const DyxCriterion* node) { return node == &DyxFilterTrue::instance(); }
bool dyxIsFalseConstant(const DyxCriterion* node) { return node == &DyxFilterFalse::instance(); }

// ---------------------------------------------------------------------------------------------
// Comparisons

DyxFilterComparison::DyxFilterComparison(DyxCompareOp op, const std::string& name,
                                         const std::string& value, bool caseSensitive)
    : m_op(op), m_caseSensitive(caseSensitive) {
  if (isValidName(name)) {
    m_propertyName = name;
    m_value = value;
  }
  m_foldedValue = m_caseSensitive ? m_value : toLower(m_value);
  if (!m_propertyName.empty() && m_propertyName[0] == '$') {
    m_propertyId = propertyId(m_propertyName.substr(1));
  }
  if (m_propertyId == kPropSize) {
    std::string_view digits = m_value;
    if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) {
      m_numericNegative = digits[0] == '-';
      digits.remove_prefix(1);
    }
    m_numeric = !digits.empty() && std::all_of(digits.begin(), digits.end(),
                                               [](char c) { return c >= '0' && c <= '9'; });
    if (m_numeric) {
      constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
      for (char c : digits) {
        const std::uint64_t d = static_cast<std::uint64_t>(c - '0');
        m_numericMagnitude =
            m_numericMagnitude > (kMax - d) / 10 ? kMax : m_numericMagnitude * 10 + d;
      }
      if (m_numericMagnitude == 0) m_numericNegative = false;
    }
  }
}

std::string DyxFilterComparison::toString() const {
  if (m_propertyName.empty()) return "\"\"";
  std::string text = m_propertyName;
  // A property named like a keyword, followed by a blank, would read back as that keyword ("not
  // <= ..." as a negation, "or = ..." as a split); the operator right after the name does not.
  const bool keywordName = m_propertyName == "not" || m_propertyName == "or" ||
                           m_propertyName == "xor" || m_propertyName == "and";
  if (!keywordName) text += ' ';
  if (m_caseSensitive) text += '[';
  text += getOperator();
  text += " \\\"";
  // Escaped so that the value ends only at the closing pair, and so that a view file, which
  // ends its quoted field at the first quote not preceded by a backslash, keeps it on its line.
  for (std::size_t i = 0; i < m_value.size(); ++i) {
    const char c = m_value[i];
    // "<undef>" anywhere in a criterion makes it the false constant: a value holding it is
    // printed with its "<" escaped, so only a filter without a tree prints that word.
    if (c == '<' && m_value.compare(i, 7, "<undef>") == 0) {
      text += "\\x3c";
      continue;
    }
    switch (c) {
      case '\\':
        text += "\\\\";
        break;
      case '"':
        text += "\\x22";
        break;
      case '\n':
        text += "\\x0a";
        break;
      case '\r':
        text += "\\x0d";
        break;
      default:
        text += c;
    }
  }
  text += "\\\"";
  return text;
}

int DyxFilterComparison::compareSize(std::uint64_t size) const {
  if (m_numericNegative) return 1;
  if (size < m_numericMagnitude) return -1;
  return size > m_numericMagnitude ? 1 : 0;
}

bool DyxFilterComparison::evaluate(const DyxEntry& entry) const {
  if (m_propertyId == 0) return evaluateUserProperty(entry);
  if (m_propertyId == kPropType) return evaluateTypes(entry);
  if (m_propertyId == kPropSize && m_numeric) {
    const int order = compareSize(entry.getSize());
    switch (m_op) {
      case DyxCompareOp::kEqual:
        return order == 0;
      case DyxCompareOp::kNotEqual:
        return order != 0;
      case DyxCompareOp::kLess:
        return order < 0;
      case DyxCompareOp::kLessEqual:
        return order <= 0;
      case DyxCompareOp::kGreater:
        return order > 0;
      case DyxCompareOp::kGreaterEqual:
        return order >= 0;
      default:
        break;  // the pattern and content operators keep the text comparison
    }
  }
  // Nothing evaluates another criterion between filling the buffer and the compare below.
  std::string& text = threadBuffer(ThreadBuffer::kPropertyText);
  propertyText(entry, m_propertyId, text);
  // A path names a file: folding it would lose the file on a case-sensitive file system.
  if (!m_caseSensitive && m_op != DyxCompareOp::kContains) foldInPlace(text);
  return compare(text, m_value);
}

bool DyxFilterComparison::evaluateTypes(const DyxEntry& entry) const {
  std::vector<std::string> types;  // local: type filters may evaluate comparisons themselves
  entry.getTypes(types);
  bool all = true;
  for (std::string& type : types) {
    if (!m_caseSensitive) foldInPlace(type);
    const bool r = compare(type, m_foldedValue);
    if (m_op == DyxCompareOp::kEqual && r) return true;
    all = all && r;
  }
  // "=" asks whether some type equals the value, so an entry without types fails it; every other
  // operator asks whether all types pass, which an entry without types does.
  if (m_op == DyxCompareOp::kEqual) return false;
  return all;
}

bool DyxFilterComparison::evaluateUserProperty(const DyxEntry& entry) const {
  std::string& name = threadBuffer(ThreadBuffer::kEntryName);
  propertyText(entry, kPropName, name);
  DyxEntryProperty* properties = DyxContext::properties();
  const DyxPropertyRecord* record =
      properties != nullptr ? properties->getRecord(name, false) : nullptr;
  if (record == nullptr) return false;
  const std::string* value = record->getValue(m_propertyName);
  if (value == nullptr) return false;
  std::string x = *value;
  if (!m_caseSensitive && m_op != DyxCompareOp::kContains) foldInPlace(x);
  return compare(x, m_foldedValue);
}

DyxCriterionPtr DyxFilterEqual::clone() const { return DyxCriterionPtr(new DyxFilterEqual(*this)); }
DyxCriterionPtr DyxFilterNotEqual::clone() const {
  return DyxCriterionPtr(new DyxFilterNotEqual(*this));
}
DyxCriterionPtr DyxFilterLess::clone() const { return DyxCriterionPtr(new DyxFilterLess(*this)); }
DyxCriterionPtr DyxFilterLessEqual::clone() const {
  return DyxCriterionPtr(new DyxFilterLessEqual(*this));
}
DyxCriterionPtr DyxFilterGreater::clone() const {
  return DyxCriterionPtr(new DyxFilterGreater(*this));
}
DyxCriterionPtr DyxFilterGreaterEqual::clone() const {
  return DyxCriterionPtr(new DyxFilterGreaterEqual(*this));
}

DyxCriterionPtr DyxFilterLikeCs::clone() const {
  return DyxCriterionPtr(new DyxFilterLikeCs(*this));
}
bool DyxFilterLikeCs::compare(const std::string& x, const std::string& c) const {
  return DyxPattern(c, true).match(x);
}

DyxCriterionPtr DyxFilterContains::clone() const {
  return DyxCriterionPtr(new DyxFilterContains(*this));
}
bool DyxFilterContains::compare(const std::string& x, const std::string& c) const {
  // Only regular files are read: a FIFO or a device would block the search or never end.
  if (x.empty()) return false;
  dyxplatform::FileReader reader(x);
  if (!reader.isOpen()) return false;
  return searchLines(reader, c);
}

DyxFilterLike::DyxFilterLike(const std::string& name, const std::string& value, bool caseSensitive)
    : DyxFilterComparison(DyxCompareOp::kLike, name, value, caseSensitive),
      m_pattern(getValue(), true) {}
DyxCriterionPtr DyxFilterLike::clone() const { return DyxCriterionPtr(new DyxFilterLike(*this)); }
bool DyxFilterLike::compare(const std::string& x, const std::string&) const {
  return m_pattern.match(x);
}

// ---------------------------------------------------------------------------------------------
// Negation and logical operators

DyxFilterNot::DyxFilterNot(DyxCriterionPtr child) : m_child(std::move(child)) {
  if (!m_child) {
    KX_POS(kxerr) << "DyxFilterNot::DyxFilterNot: The given criterion is null." << endl;
    KX_POS(kxerr) << "Throwing 0 exception." << endl;
    throw 0;
  }
}
DyxFilterNot::~DyxFilterNot() = default;
std::string DyxFilterNot::toString() const {
  std::string text = " not ";
  text += m_child->toString();
  return text;
}
bool DyxFilterNot::evaluate(const DyxEntry& entry) const { return !m_child->evaluate(entry); }
DyxCriterionPtr DyxFilterNot::clone() const {
  return DyxCriterionPtr(new DyxFilterNot(m_child->clone()));
}

DyxFilterLogicalOperator::DyxFilterLogicalOperator(DyxCriterionPtr left, DyxCriterionPtr right)
    : m_left(std::move(left)), m_right(std::move(right)) {
  if (!m_left || !m_right) {
    KX_POS(kxerr) << "DyxFilterLogicalOperator: one of the member is null." << endl;
    KX_POS(kxerr) << "Throwing 0 exception." << endl;
    m_left = dyxFalseCriterion();
    m_right = dyxFalseCriterion();
  }
}
DyxFilterLogicalOperator::~DyxFilterLogicalOperator() = default;

bool DyxFilterLogicalOperator::evaluate(const DyxEntry& entry) const {
  const bool a = m_left->evaluate(entry);
  bool result = false;
  if (shortCircuit(a, result)) return result;
  return combine(a, m_right->evaluate(entry));
}

namespace {
// How the parser reads the printed forms decides where parentheses must go. The first "(" and its
// ")" cut a text in three, and the words beside the group join the three parts from the left;
// without any "(" the text splits at its first " or ", " xor " or " and ". So an "and" node
// prints its members bare only where that reading gives them back: its left member when that
// is not itself an "and" node, its right member when that has no group. Other members, and the
// members of "or" and "xor" nodes that are "and" nodes with a group inside, are put in
// parentheses of their own.

// True when the node's printed form holds a "(" outside its values.
bool printsGroup(const DyxCriterion& node) {
  if (const auto* logical = dynamic_cast<const DyxFilterLogicalOperator*>(&node)) {
    if (logical->getOperator() != "and") return true;
    return dynamic_cast<const DyxFilterAnd*>(logical->getLeft()) != nullptr ||
           printsGroup(*logical->getLeft()) || printsGroup(*logical->getRight());
  }
  if (const auto* negation = dynamic_cast<const DyxFilterNot*>(&node)) {
    return printsGroup(*negation->getChild());
  }
  return false;
}

bool isAndNode(const DyxCriterion& node) { return dynamic_cast<const DyxFilterAnd*>(&node); }

void appendMember(std::string& text, const DyxCriterion& member, bool wrap) {
  if (wrap) text += '(';
  text += member.toString();
  if (wrap) text += ')';
}

// "(" left " " word " " right ")"
std::string bracketed(const DyxCriterion& left, const char* word, const DyxCriterion& right) {
  std::string text = "(";
  appendMember(text, left, isAndNode(left) && printsGroup(left));
  text += ' ';
  text += word;
  text += ' ';
  appendMember(text, right, isAndNode(right) && printsGroup(right));
  text += ')';
  return text;
}
}  // namespace

std::string DyxFilterOr::toString() const { return bracketed(*m_left, "or", *m_right); }
DyxCriterionPtr DyxFilterOr::clone() const {
  return DyxCriterionPtr(new DyxFilterOr(m_left->clone(), m_right->clone()));
}
bool DyxFilterOr::shortCircuit(bool a, bool& result) const {
  if (!a) return false;
  result = true;
  return true;
}

std::string DyxFilterAnd::toString() const {
  std::string text;
  appendMember(text, *m_left, isAndNode(*m_left));
  text += " and ";
  appendMember(text, *m_right, isAndNode(*m_right) && printsGroup(*m_right));
  return text;
}
DyxCriterionPtr DyxFilterAnd::clone() const {
  return DyxCriterionPtr(new DyxFilterAnd(m_left->clone(), m_right->clone()));
}
bool DyxFilterAnd::shortCircuit(bool a, bool& result) const {
  if (a) return false;
  result = false;
  return true;
}

std::string DyxFilterXor::toString() const { return bracketed(*m_left, "xor", *m_right); }
DyxCriterionPtr DyxFilterXor::clone() const {
  return DyxCriterionPtr(new DyxFilterXor(m_left->clone(), m_right->clone()));
}

// ---------------------------------------------------------------------------------------------
// DyxFilter

DyxFilter::DyxFilter(const std::string& criterion) { reset(criterion); }

DyxFilter::DyxFilter(const DyxFilter& other)
    : DyxCriterion(),
      m_root(other.m_root ? other.m_root->clone() : nullptr),
      m_messages(other.m_messages) {}

DyxFilter& DyxFilter::operator=(const DyxFilter& other) {
  if (this != &other) {
    m_root = other.m_root ? other.m_root->clone() : nullptr;
    m_messages = other.m_messages;
  }
  return *this;
}

DyxFilter::DyxFilter(DyxFilter&& other) noexcept
    : DyxCriterion(), m_root(std::move(other.m_root)), m_messages(std::move(other.m_messages)) {}

DyxFilter& DyxFilter::operator=(DyxFilter&& other) noexcept {
  if (this != &other) {
    m_root = std::move(other.m_root);
    m_messages = std::move(other.m_messages);
  }
  return *this;
}

void DyxFilter::reset(const std::string& criterion) {
  KX_SCOPE("DyxFilter::reset");
  if (kxout.enabled()) kxout << kxParam("criterion", criterion) << endl;
  m_root.reset();
  m_messages.clear();
  if (criterion.find("<undef>") != std::string::npos) {
    KX_POS(kxout) << "Undefined filter." << endl;
    // Told to the user as well: the filter keeps nothing, whatever else the text says.
    m_messages.push_back("Undefined filter.");
    m_root = dyxFalseCriterion();
    return;
  }
  m_root = DyxFilterparse(criterion, &m_messages);
}

bool DyxFilter::isUndefined() const { return !m_root || dyxIsFalseConstant(m_root.get()); }

std::string DyxFilter::toString() const { return m_root ? m_root->toString() : "<undef>"; }

bool DyxFilter::evaluate(const DyxEntry& entry) const {
  return m_root ? m_root->evaluate(entry) : false;
}

DyxCriterionPtr DyxFilter::clone() const { throw 0; }

bool DyxFilter::isLogicalOperator() const { return m_root && m_root->isLogicalOperator(); }

// ---------------------------------------------------------------------------------------------
// Free operations

DyxCriterionPtr DyxFilterparse(const std::string& text, std::vector<std::string>* messages) {
  ParseContext ctx(text, messages);
  DyxCriterionPtr result = parseText(ctx.masked, 0, ctx);
  if (ctx.tooDeep) return dyxFalseCriterion();
  return result;
}

std::string dyxQuoteCriterionValue(const std::string& value) {
  std::string text = "\"";
  for (const char c : value) {
    if (c == '"' || c == '\\') text += '\\';
    text += c;
  }
  text += '"';
  return text;
}

DyxCriterionPtr DyxBuildExpression(DyxCriterionPtr left, const std::string& word,
                                   DyxCriterionPtr right, std::vector<std::string>* messages) {
  KX_SCOPE("DyxBuildExpression");
  if (kxout.enabled()) kxout << kxParam("op", word) << endl;
  if (word == "or") {
    if (dyxIsTrueConstant(left.get()) || dyxIsTrueConstant(right.get())) {
      return dyxTrueCriterion();
    }
    if (dyxIsFalseConstant(left.get())) return right;
    if (dyxIsFalseConstant(right.get())) return left;
    return DyxCriterionPtr(new DyxFilterOr(std::move(left), std::move(right)));
  }
  if (word == "xor") {
    return DyxCriterionPtr(new DyxFilterXor(std::move(left), std::move(right)));
  }
  if (word == "and") {
    if (dyxIsFalseConstant(left.get()) || dyxIsFalseConstant(right.get())) {
      return dyxFalseCriterion();
    }
    if (dyxIsTrueConstant(left.get())) return right;
    if (dyxIsTrueConstant(right.get())) return left;
    return DyxCriterionPtr(new DyxFilterAnd(std::move(left), std::move(right)));
  }
  const std::string message = "DyxBuildExpression: Unknown operator: " + messageText(word);
  KX_POS(kxerr) << message << endl;
  if (messages != nullptr) messages->push_back(message);
  return dyxFalseCriterion();
}
