#include "dyxcore/filter.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "dyxcore/context.h"
#include "dyxcore/platform.h"
#include "dyxcore/propman.h"
#include "dyxcore/xentry.h"
#include "kxcore/io.h"

namespace {

// Trace lines quote criterion texts; beyond this length they are cut, so that tracing a parse of
// a huge criterion stays linear in its length.
constexpr std::size_t kTraceTextLimit = 2048;

std::string traceText(std::string_view text) {
  if (text.size() <= kTraceTextLimit) return std::string(text);
  return std::string(text.substr(0, kTraceTextLimit)) + "...";
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

struct ParseContext {
  const char* base = nullptr;
  std::size_t size = 0;
  std::vector<std::size_t> opens;    // positions of "(" in order
  std::vector<std::size_t> matches;  // the matching ")" of each, or npos
  std::vector<std::size_t> orAt;     // positions of " or ", overlapping ones included
  std::vector<std::size_t> xorAt;
  std::vector<std::size_t> andAt;
  bool tooDeep = false;

  explicit ParseContext(std::string_view text) : base(text.data()), size(text.size()) {
    std::vector<std::size_t> stack;
    // A comparison prints its value between backslash-quote pairs. Parentheses there are part
    // of the value: were they to group, a printed filter (a filter view's file) would lose or
    // garble a condition at every save and reload. Plain quotes protect nothing. A value may
    // itself hold a backslash-quote pair, so a pair opens a value only where a printed value
    // can start, and closes it only where a printed comparison can end.
    bool inPrintedValue = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '"') {
        if (inPrintedValue ? endsPrintedValue(text, i + 2) : startsPrintedValue(text, i)) {
          inPrintedValue = !inPrintedValue;
        }
        ++i;
        continue;
      }
      if (inPrintedValue) continue;
      if (text[i] == '(') {
        stack.push_back(opens.size());
        opens.push_back(i);
        matches.push_back(std::string_view::npos);
      } else if (text[i] == ')' && !stack.empty()) {
        matches[stack.back()] = i;
        stack.pop_back();
      }
    }
    collect(text, " or ", orAt);
    collect(text, " xor ", xorAt);
    collect(text, " and ", andAt);
  }

  // A printed value follows its operator and a blank; typed text may also put it right after
  // "=", "<" or ">".
  static bool startsPrintedValue(std::string_view text, std::size_t at) {
    if (at == 0) return true;
    const char before = text[at - 1];
    return before == ' ' || before == '\t' || before == '=' || before == '<' || before == '>';
  }

  // After a printed comparison come the ")" of the groups it closes, then the end of the text, an
  // operator word, or (in typed text) a ")" after blanks.
  static bool endsPrintedValue(std::string_view text, std::size_t at) {
    while (at < text.size() && text[at] == ')') ++at;
    std::size_t next = at;
    while (next < text.size() && (text[next] == ' ' || text[next] == '\t')) ++next;
    if (next == text.size()) return true;
    if (next == at) return false;
    const std::string_view rest = text.substr(next);
    return rest.starts_with("or ") || rest.starts_with("xor ") || rest.starts_with("and ") ||
           rest.front() == ')';
  }

  static void collect(std::string_view text, std::string_view word, std::vector<std::size_t>& out) {
    std::size_t at = text.find(word);
    while (at != std::string_view::npos) {
      out.push_back(at);
      at = text.find(word, at + 1);
    }
  }

  std::size_t offsetOf(std::string_view piece) const {
    return static_cast<std::size_t>(piece.data() - base);
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
    if (!tooDeep) KX_POS(kxerr) << "Criterion nested too deeply." << endl;
    tooDeep = true;
    return true;
  }
};

template <class Node>
DyxCriterionPtr makeComparison(const std::string& name, const std::string& value, bool cs) {
  return DyxCriterionPtr(new Node(name, value, cs));
}

// One operator parser: the word must stand after a non-empty start of the text, and a "[" in the
// text must stand directly before it.
DyxCriterionPtr parseOperator(std::string_view t, std::string_view word, int index) {
  const std::size_t bracket = t.find('[');
  const std::size_t k = t.find(word);
  if (k == std::string_view::npos || k == 0) return nullptr;
  const bool caseSensitive = bracket != std::string_view::npos;
  if (caseSensitive && k != bracket + 1) return nullptr;
  const std::string name = trim(std::string(t.substr(0, caseSensitive ? bracket : k)));
  std::string value = unquote(trim(std::string(t.substr(k + word.size()))));
  if (!caseSensitive) foldInPlace(value);
  if (!isValidName(name)) return nullptr;
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

DyxCriterionPtr parseComparison(std::string_view t) {
  // The order is binding: "!=" before "=", "like-cs" before "like".
  static constexpr std::string_view kWords[] = {"!=", ">=",      "<=",   ">",       "<",
                                                "=",  "like-cs", "like", "contains"};
  for (int i = 0; i < 9; ++i) {
    if (DyxCriterionPtr node = parseOperator(t, kWords[i], i)) return node;
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
                              DyxCriterionPtr center) {
  if (!leftNode) return center;
  return DyxBuildExpression(std::move(leftNode), leftWord, std::move(center));
}

DyxCriterionPtr parseText(std::string_view text, int level, ParseContext& ctx) {
  KX_SCOPE("DyxFilterparse");
  if (ctx.tooDeep || ctx.exceeds(level)) return dyxFalseCriterion();
  std::vector<Pending> pending;
  DyxCriterionPtr result;
  std::string_view current = text;
  while (!result) {
    if (kxout.enabled()) kxout << kxParam("criterion_ws", traceText(current)) << endl;
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
          KX_POS(kxout) << "left=\"" << traceText(left) << "\" ,center=\"" << traceText(center)
                        << "\" ,right=\"" << traceText(right) << "\"" << endl;
        }
        DyxCriterionPtr centerNode = parseText(center, level + 2, ctx);
        DyxCriterionPtr leftNode;
        std::string leftWord;
        if (!left.empty()) {
          const std::size_t blank = left.find_last_of(" \t");
          if (blank == std::string_view::npos) {
            leftWord = std::string(left);
            leftNode = parseText(left, level + 2, ctx);
          } else {
            leftWord = std::string(left.substr(blank + 1));
            leftNode = parseText(left.substr(0, blank), level + 2, ctx);
          }
        }
        std::string rightWord;
        if (!right.empty()) {
          const std::size_t blank = right.find_first_of(" \t");
          rightWord = std::string(right.substr(0, blank));
          if (blank != std::string_view::npos) {
            if (ctx.exceeds(level + 2)) break;
            Pending step{Pending::kGroup,     level,   rightWord, {}, std::move(centerNode),
                         std::move(leftNode), leftWord};
            pending.push_back(std::move(step));
            level += 2;
            current = right.substr(blank);
            continue;
          }
          // A lone word after the group has nothing to join: it is reported and dropped, and
          // the group with what stands before it is the result.
          KX_POS(kxerr) << "Missing an expression after: " << rightWord << endl;
        }
        writeGroupOperators(leftWord, rightWord);
        result = joinGroupLeft(std::move(leftNode), leftWord, std::move(centerNode));
        break;
      }
      KX_POS(kxerr) << "Missing a closing parenthesis." << endl;
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

    result = parseComparison(t);
    if (!result) {
      KX_POS(kxerr) << "Cannot parse the expression: Returns None" << endl;
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
        result = DyxBuildExpression(std::move(left), step.word, std::move(result));
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
            joinGroupLeft(std::move(step.leftNode), step.leftWord, std::move(step.center));
        result = DyxBuildExpression(std::move(joined), step.word, std::move(result));
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
  text += m_value;
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
  // One buffer per thread: filling it costs no allocation once it has grown. Nothing evaluates
  // another criterion between filling it and the compare below.
  thread_local std::string text;
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
  thread_local std::string name;
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
// "(" left " " word " " right ")"
std::string bracketed(const DyxCriterion& left, const char* word, const DyxCriterion& right) {
  std::string text = "(";
  text += left.toString();
  text += ' ';
  text += word;
  text += ' ';
  text += right.toString();
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
  std::string text = m_left->toString();
  text += " and ";
  text += m_right->toString();
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
    : DyxCriterion(), m_root(other.m_root ? other.m_root->clone() : nullptr) {}

DyxFilter& DyxFilter::operator=(const DyxFilter& other) {
  if (this != &other) m_root = other.m_root ? other.m_root->clone() : nullptr;
  return *this;
}

DyxFilter::DyxFilter(DyxFilter&& other) noexcept
    : DyxCriterion(), m_root(std::move(other.m_root)) {}

DyxFilter& DyxFilter::operator=(DyxFilter&& other) noexcept {
  if (this != &other) m_root = std::move(other.m_root);
  return *this;
}

void DyxFilter::reset(const std::string& criterion) {
  KX_SCOPE("DyxFilter::reset");
  if (kxout.enabled()) kxout << kxParam("criterion", criterion) << endl;
  m_root.reset();
  if (criterion.find("<undef>") != std::string::npos) {
    KX_POS(kxout) << "Undefined filter." << endl;
    m_root = dyxFalseCriterion();
    return;
  }
  m_root = DyxFilterparse(criterion);
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

DyxCriterionPtr DyxFilterparse(const std::string& text) {
  ParseContext ctx(text);
  DyxCriterionPtr result = parseText(text, 0, ctx);
  if (ctx.tooDeep) return dyxFalseCriterion();
  return result;
}

DyxCriterionPtr DyxBuildExpression(DyxCriterionPtr left, const std::string& word,
                                   DyxCriterionPtr right) {
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
  KX_POS(kxerr) << "DyxBuildExpression: Unknown operator: " << word << endl;
  return dyxFalseCriterion();
}
