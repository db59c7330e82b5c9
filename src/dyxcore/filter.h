// Criteria: the filter language turned into a tree of nodes, and DyxFilter, the object that the
// rest of the engine holds (views, the pool's filter, the type manager's types).
//
// Ownership: every node owns its children. The two constants (DyxFilterTrue, DyxFilterFalse)
// are process-wide objects shared by every tree and never deleted; every place that gives up a
// node does it through the one release step, dyxReleaseCriterion, which is the deleter of
// DyxCriterionPtr. So a DyxCriterionPtr may hold a constant: dropping it does nothing.
//
// Quoted values: a value in double quotes ("Tom And Jerry.avi") is one value: blanks,
// parentheses, "[" and operator words inside the quotes split nothing. Inside such quotes \" is
// a quote and \\ a backslash. Quotes may also stand inside a value (a"b c"d is the value ab cd);
// a quote that nothing closes runs to the end of the criterion and is reported. Text without
// quotes reads as it always did.
//
// Printed form: a comparison prints its value between backslash-quote pairs (\"value\"), the
// form that view files store; inside it a backslash prints as \\, and a quote, a line feed and a
// carriage return as \x22, \x0a and \x0d, so the value ends only at its closing pair and a view
// file keeps it on its line (and the "<" of a "<undef>" as \x3c, see DyxFilter::reset). Parsing a
// printed criterion gives back the same tree: members are put in parentheses where the parser's
// reading needs them (see DyxFilterAnd::toString). A property named "not", "or", "xor" or "and"
// prints with the operator right after the name, so it does not read back as the keyword.
//
// Messages: everything the parser could not read is reported on kxerr and collected for the
// front ends (DyxFilter::getMessages): a "(" that nothing closes (it is dropped, read as a blank),
// a quote that nothing closes, a piece that no rule reads (it becomes the false constant and
// folds away), an unknown joining word, a lone word after a group, a tree nested too deeply,
// and "<undef>". A criterion with no message parsed as written.
//
// Bounds: the parser refuses a criterion whose tree would nest deeper than
// kDyxMaxCriterionNesting (groups, operators and negations counted together) with the message
// "Criterion nested too deeply." and the false constant, so building, printing, copying,
// evaluating and destroying a tree never recurse deeper than that. Parsing is linear in the
// length of the criterion (apart from the per-leaf operator search), whatever its bytes.
//
// Threads: a tree is built by one thread. Evaluation changes nothing, so several threads may
// evaluate one tree at once; the owner of a DyxFilter (a view) serialises `reset` against
// evaluation. Evaluation reads the entry, the type manager and the entry property store: call it
// under the engine lock (mutex.h) when other threads may change those.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dyxcore/portable.h"

class DyxEntry;
class DyxCriterion;

// The deepest tree the parser builds (see above).
constexpr int kDyxMaxCriterionNesting = 256;

// The single release step: nothing for null or either constant, otherwise the node is deleted.
void dyxReleaseCriterion(DyxCriterion* node);
struct DyxCriterionRelease {
  void operator()(DyxCriterion* node) const { dyxReleaseCriterion(node); }
};
using DyxCriterionPtr = std::unique_ptr<DyxCriterion, DyxCriterionRelease>;

// The abstract node. Slots: destructor, toString, evaluate, clone, isLogicalOperator,
// isComparison.
class DyxCriterion {
 public:
  virtual ~DyxCriterion() = default;
  DyxCriterion& operator=(const DyxCriterion&) = delete;

  virtual std::string toString() const = 0;
  virtual bool evaluate(const DyxEntry& entry) const = 0;
  // A deep copy owned by the caller; the constants return themselves.
  virtual DyxCriterionPtr clone() const = 0;
  virtual bool isLogicalOperator() const { return false; }
  virtual bool isComparison() const { return false; }

 protected:
  DyxCriterion() = default;
  DyxCriterion(const DyxCriterion&) = default;  // for clone
};

// The "true" constant: one object for the process.
class DyxFilterTrue final : public DyxCriterion {
 public:
  static DyxFilterTrue& instance();
  std::string toString() const override { return "true"; }
  bool evaluate(const DyxEntry&) const override { return true; }
  DyxCriterionPtr clone() const override;

 private:
  DyxFilterTrue() = default;
};

// The "false" constant: one object for the process.
class DyxFilterFalse final : public DyxCriterion {
 public:
  static DyxFilterFalse& instance();
  std::string toString() const override { return "false"; }
  bool evaluate(const DyxEntry&) const override { return false; }
  DyxCriterionPtr clone() const override;

 private:
  DyxFilterFalse() = default;
};

// Owning handles on the constants (releasing them does nothing).
DyxCriterionPtr dyxTrueCriterion();
DyxCriterionPtr dyxFalseCriterion();
bool dyxIsTrueConstant(const DyxCriterion* node);
bool dyxIsFalseConstant(const DyxCriterion* node);

// The nine comparison operators, in the order of their classes.
enum class DyxCompareOp {
  kEqual,
  kNotEqual,
  kLess,
  kLessEqual,
  kGreater,
  kGreaterEqual,
  kLikeCs,
  kContains,
  kLike
};

// A property compared with a value. Slots after the six of DyxCriterion: getOperator, compare.
// Construction takes the (name, value) pair through isValidName: a rejected name empties both
// (isValid() is then false; the parser never keeps such a comparison). A name that starts with
// "$" and names a built-in property gets its id (1..13); any other name is a user property
// (id 0), looked up by its full name in the entry property store.
class DyxFilterComparison : public DyxCriterion {
 public:
  std::string toString() const override;
  bool evaluate(const DyxEntry& entry) const override;
  bool isComparison() const override { return true; }
  // The operator word: "=", "!=", "<", "<=", ">", ">=", "like-cs", "contains", "like".
  virtual std::string getOperator() const = 0;
  // The operator's test on the entry's text (already folded unless case-sensitive) and the
  // criterion value.
  virtual bool compare(const std::string& entryText, const std::string& criterionValue) const = 0;

  const std::string& getPropertyName() const { return m_propertyName; }
  int getPropertyId() const { return m_propertyId; }
  const std::string& getValue() const { return m_value; }
  bool isCaseSensitive() const { return m_caseSensitive; }
  bool isValid() const { return !m_propertyName.empty(); }
  DyxCompareOp getOp() const { return m_op; }

 protected:
  DyxFilterComparison(DyxCompareOp op, const std::string& name, const std::string& value,
                      bool caseSensitive);
  DyxFilterComparison(const DyxFilterComparison&) = default;

 private:
  // -1, 0 or 1: the entry's 64-bit size against the decimal integer of the value.
  int compareSize(std::uint64_t size) const;
  bool evaluateTypes(const DyxEntry& entry) const;
  bool evaluateUserProperty(const DyxEntry& entry) const;

  DyxCompareOp m_op;
  std::string m_propertyName;
  std::string m_value;
  std::string m_foldedValue;  // the value folded unless case-sensitive ($Type, user properties)
  bool m_caseSensitive = false;
  int m_propertyId = 0;
  // A "$Size" value that is a decimal integer ([+-]digits) is also kept as a number, so that
  // "=", "!=", "<", "<=", ">" and ">=" compare sizes numerically. Larger magnitudes than 2^64-1
  // saturate, which keeps every ordering against a real size correct.
  bool m_numeric = false;
  bool m_numericNegative = false;
  std::uint64_t m_numericMagnitude = 0;
};

class DyxFilterEqual final : public DyxFilterComparison {
 public:
  DyxFilterEqual(const std::string& name, const std::string& value, bool caseSensitive)
      : DyxFilterComparison(DyxCompareOp::kEqual, name, value, caseSensitive) {}
  DyxCriterionPtr clone() const override;
  std::string getOperator() const override { return "="; }
  bool compare(const std::string& x, const std::string& c) const override { return x == c; }
};

class DyxFilterNotEqual final : public DyxFilterComparison {
 public:
  DyxFilterNotEqual(const std::string& name, const std::string& value, bool caseSensitive)
      : DyxFilterComparison(DyxCompareOp::kNotEqual, name, value, caseSensitive) {}
  DyxCriterionPtr clone() const override;
  std::string getOperator() const override { return "!="; }
  bool compare(const std::string& x, const std::string& c) const override { return x != c; }
};

class DyxFilterLess final : public DyxFilterComparison {
 public:
  DyxFilterLess(const std::string& name, const std::string& value, bool caseSensitive)
      : DyxFilterComparison(DyxCompareOp::kLess, name, value, caseSensitive) {}
  DyxCriterionPtr clone() const override;
  std::string getOperator() const override { return "<"; }
  bool compare(const std::string& x, const std::string& c) const override { return x < c; }
};

class DyxFilterLessEqual final : public DyxFilterComparison {
 public:
  DyxFilterLessEqual(const std::string& name, const std::string& value, bool caseSensitive)
      : DyxFilterComparison(DyxCompareOp::kLessEqual, name, value, caseSensitive) {}
  DyxCriterionPtr clone() const override;
  std::string getOperator() const override { return "<="; }
  bool compare(const std::string& x, const std::string& c) const override { return !(c < x); }
};

class DyxFilterGreater final : public DyxFilterComparison {
 public:
  DyxFilterGreater(const std::string& name, const std::string& value, bool caseSensitive)
      : DyxFilterComparison(DyxCompareOp::kGreater, name, value, caseSensitive) {}
  DyxCriterionPtr clone() const override;
  std::string getOperator() const override { return ">"; }
  bool compare(const std::string& x, const std::string& c) const override { return c < x; }
};

class DyxFilterGreaterEqual final : public DyxFilterComparison {
 public:
  DyxFilterGreaterEqual(const std::string& name, const std::string& value, bool caseSensitive)
      : DyxFilterComparison(DyxCompareOp::kGreaterEqual, name, value, caseSensitive) {}
  DyxCriterionPtr clone() const override;
  std::string getOperator() const override { return ">="; }
  bool compare(const std::string& x, const std::string& c) const override { return !(x < c); }
};

// Compiles the criterion value at every call (and so writes the pattern compiler's messages at
// every call for a malformed pattern).
class DyxFilterLikeCs final : public DyxFilterComparison {
 public:
  DyxFilterLikeCs(const std::string& name, const std::string& value, bool caseSensitive)
      : DyxFilterComparison(DyxCompareOp::kLikeCs, name, value, caseSensitive) {}
  DyxCriterionPtr clone() const override;
  std::string getOperator() const override { return "like-cs"; }
  bool compare(const std::string& x, const std::string& c) const override;
};

// True when the file whose path is the entry text holds the criterion value within one line.
// The path is used as the entry gives it, never folded: on a case-sensitive file system a
// folded path would not reach the file (or would reach another one). Only regular files are
// opened, never blocking. A line longer than the 255-byte line buffer is read on to its end,
// and a match across that boundary is found (a match never spans a line end).
class DyxFilterContains final : public DyxFilterComparison {
 public:
  DyxFilterContains(const std::string& name, const std::string& value, bool caseSensitive)
      : DyxFilterComparison(DyxCompareOp::kContains, name, value, caseSensitive) {}
  DyxCriterionPtr clone() const override;
  std::string getOperator() const override { return "contains"; }
  bool compare(const std::string& x, const std::string& c) const override;
};

// Holds the pattern compiled from the value in wildcard mode once, at construction; a clone
// copies it.
class DyxFilterLike final : public DyxFilterComparison {
 public:
  DyxFilterLike(const std::string& name, const std::string& value, bool caseSensitive);
  DyxCriterionPtr clone() const override;
  std::string getOperator() const override { return "like"; }
  bool compare(const std::string& x, const std::string& c) const override;
  const DyxPattern& getPattern() const { return m_pattern; }

 private:
  DyxFilterLike(const DyxFilterLike&) = default;
  DyxPattern m_pattern;
};

// The negation of its child (owned, never null). Neither logical operator nor comparison.
class DyxFilterNot final : public DyxCriterion {
 public:
  // A null child: two messages on kxerr, then the integer 0 is thrown.
  explicit DyxFilterNot(DyxCriterionPtr child);
  ~DyxFilterNot() override;
  std::string toString() const override;
  bool evaluate(const DyxEntry& entry) const override;
  DyxCriterionPtr clone() const override;
  const DyxCriterion* getChild() const { return m_child.get(); }

 private:
  DyxCriterionPtr m_child;
};

// A binary node. Slots after the six of DyxCriterion: getOperator, combine, shortCircuit.
class DyxFilterLogicalOperator : public DyxCriterion {
 public:
  ~DyxFilterLogicalOperator() override;
  bool evaluate(const DyxEntry& entry) const override;
  bool isLogicalOperator() const override { return true; }
  // "or", "and" or "xor".
  virtual std::string getOperator() const = 0;
  virtual bool combine(bool a, bool b) const = 0;
  // True when `a` alone decides; the decided value is then stored in `result`.
  virtual bool shortCircuit(bool a, bool& result) const = 0;

  const DyxCriterion* getLeft() const { return m_left.get(); }
  const DyxCriterion* getRight() const { return m_right.get(); }

 protected:
  // A null member: two messages on kxerr, and both members become the false constant.
  DyxFilterLogicalOperator(DyxCriterionPtr left, DyxCriterionPtr right);

  DyxCriterionPtr m_left;
  DyxCriterionPtr m_right;
};

class DyxFilterOr final : public DyxFilterLogicalOperator {
 public:
  DyxFilterOr(DyxCriterionPtr left, DyxCriterionPtr right)
      : DyxFilterLogicalOperator(std::move(left), std::move(right)) {}
  std::string toString() const override;  // "(" left " or " right ")"
  DyxCriterionPtr clone() const override;
  std::string getOperator() const override { return "or"; }
  bool combine(bool a, bool b) const override { return a || b; }
  bool shortCircuit(bool a, bool& result) const override;
};

class DyxFilterAnd final : public DyxFilterLogicalOperator {
 public:
  DyxFilterAnd(DyxCriterionPtr left, DyxCriterionPtr right)
      : DyxFilterLogicalOperator(std::move(left), std::move(right)) {}
  // left " and " right. A left member that is an "and" node, and a right member that is an
  // "and" node with a group inside, are put in parentheses: unbracketed, the first would read
  // back grouped to the right, and the second would be cut at its group.
  std::string toString() const override;
  DyxCriterionPtr clone() const override;
  std::string getOperator() const override { return "and"; }
  bool combine(bool a, bool b) const override { return a && b; }
  bool shortCircuit(bool a, bool& result) const override;
};

class DyxFilterXor final : public DyxFilterLogicalOperator {
 public:
  DyxFilterXor(DyxCriterionPtr left, DyxCriterionPtr right)
      : DyxFilterLogicalOperator(std::move(left), std::move(right)) {}
  std::string toString() const override;  // "(" left " xor " right ")"
  DyxCriterionPtr clone() const override;
  std::string getOperator() const override { return "xor"; }
  bool combine(bool a, bool b) const override { return a != b; }
  bool shortCircuit(bool, bool&) const override { return false; }
};

// The filter the rest of the program holds: criterion text parsed once into a tree (its root,
// owned, may be null). Without a root it prints "<undef>" and accepts nothing.
class DyxFilter final : public DyxCriterion {
 public:
  DyxFilter() = default;
  explicit DyxFilter(const std::string& criterion);
  // Copies hold a clone of the other's root.
  DyxFilter(const DyxFilter& other);
  DyxFilter& operator=(const DyxFilter& other);
  DyxFilter(DyxFilter&& other) noexcept;
  DyxFilter& operator=(DyxFilter&& other) noexcept;
  ~DyxFilter() override = default;

  // Replaces the tree. A criterion holding "<undef>" gives the false constant.
  void reset(const std::string& criterion);
  // What the last reset could not read, one text per problem, as the trace got them; empty when
  // the criterion parsed as written (an empty criterion included).
  const std::vector<std::string>& getMessages() const { return m_messages; }
  // Still owned by the filter; nullptr without a root.
  const DyxCriterion* getRoot() const { return m_root.get(); }
  // No root, or the false constant.
  bool isUndefined() const;

  std::string toString() const override;
  bool evaluate(const DyxEntry& entry) const override;
  // Not supported: throws the integer 0.
  DyxCriterionPtr clone() const override;
  bool isLogicalOperator() const override;
  bool isComparison() const override { return false; }

 private:
  DyxCriterionPtr m_root;
  std::vector<std::string> m_messages;
};

// Parses criterion text into a tree; never null (the false constant when nothing parses). The
// messages written on kxerr are also appended to `messages` when it is given.
DyxCriterionPtr DyxFilterparse(const std::string& text,
                               std::vector<std::string>* messages = nullptr);
// `value` as criterion text that reads back as exactly this one value: in double quotes, with \"
// for each quote and \\ for each backslash (for front ends that write criteria from typed
// values).
std::string dyxQuoteCriterionValue(const std::string& value);
// Joins two nodes with "or", "and" or "xor", folding the constants for "or" and "and". Any other
// word: a message (also appended to `messages` when given), both released, the false constant.
DyxCriterionPtr DyxBuildExpression(DyxCriterionPtr left, const std::string& word,
                                   DyxCriterionPtr right,
                                   std::vector<std::string>* messages = nullptr);
