#include "dyxcore/filter.h"

#include "dyxcore/xentry.h"
#include "kxcore/io.h"

void dyxReleaseCriterion(DyxCriterion* node) {
  if (node == nullptr || dyxIsTrueConstant(node) || dyxIsFalseConstant(node)) return;
  delete node;
}

DyxFilterTrue& DyxFilterTrue::instance() {
  static DyxFilterTrue constant;
  return constant;
}
DyxCriterionPtr DyxFilterTrue::clone() const { return dyxTrueCriterion(); }

DyxFilterFalse& DyxFilterFalse::instance() {
  static DyxFilterFalse constant;
  return constant;
}
DyxCriterionPtr DyxFilterFalse::clone() const { return dyxFalseCriterion(); }

DyxCriterionPtr dyxTrueCriterion() { return DyxCriterionPtr(&DyxFilterTrue::instance()); }
DyxCriterionPtr dyxFalseCriterion() { return DyxCriterionPtr(&DyxFilterFalse::instance()); }
bool dyxIsTrueConstant(const DyxCriterion* node) { return node == &DyxFilterTrue::instance(); }
bool dyxIsFalseConstant(const DyxCriterion* node) { return node == &DyxFilterFalse::instance(); }

DyxFilterComparison::DyxFilterComparison(DyxCompareOp op, const std::string& name,
                                         const std::string& value, bool caseSensitive)
    : m_op(op), m_caseSensitive(caseSensitive) {
  if (isValidName(name)) {
    m_propertyName = name;
    m_value = value;
  }
  if (!m_propertyName.empty() && m_propertyName[0] == '$') {
    m_propertyId = propertyId(m_propertyName.substr(1));
  }
}

std::string DyxFilterComparison::toString() const {
  return m_propertyName + " " + (m_caseSensitive ? "[" : "") + getOperator() + " \\\"" + m_value +
         "\\\"";
}

bool DyxFilterComparison::evaluate(const DyxEntry& entry) const {
  std::string x = entry.getProperty(m_propertyId);
  if (!m_caseSensitive) x = toLower(x);
  return compare(x, m_value);
}

int DyxFilterComparison::compareSize(std::uint64_t) const { return 0; }
bool DyxFilterComparison::evaluateTypes(const DyxEntry&) const { return false; }
bool DyxFilterComparison::evaluateUserProperty(const DyxEntry&) const { return false; }

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
bool DyxFilterContains::compare(const std::string&, const std::string&) const { return false; }

DyxFilterLike::DyxFilterLike(const std::string& name, const std::string& value,
                             bool caseSensitive)
    : DyxFilterComparison(DyxCompareOp::kLike, name, value, caseSensitive),
      m_pattern(getValue(), true) {}
DyxCriterionPtr DyxFilterLike::clone() const { return DyxCriterionPtr(new DyxFilterLike(*this)); }
bool DyxFilterLike::compare(const std::string& x, const std::string&) const {
  return m_pattern.match(x);
}

DyxFilterNot::DyxFilterNot(DyxCriterionPtr child) : m_child(std::move(child)) {
  if (!m_child) {
    KX_POS(kxerr) << "DyxFilterNot::DyxFilterNot: The given criterion is null." << endl;
    KX_POS(kxerr) << "Throwing 0 exception." << endl;
    throw 0;
  }
}
DyxFilterNot::~DyxFilterNot() = default;
std::string DyxFilterNot::toString() const { return " not " + m_child->toString(); }
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
  bool a = m_left->evaluate(entry);
  bool result = false;
  if (shortCircuit(a, result)) return result;
  return combine(a, m_right->evaluate(entry));
}

std::string DyxFilterOr::toString() const {
  return "(" + m_left->toString() + " or " + m_right->toString() + ")";
}
DyxCriterionPtr DyxFilterOr::clone() const {
  return DyxCriterionPtr(new DyxFilterOr(m_left->clone(), m_right->clone()));
}
bool DyxFilterOr::shortCircuit(bool a, bool& result) const {
  if (!a) return false;
  result = true;
  return true;
}
std::string DyxFilterAnd::toString() const {
  return m_left->toString() + " and " + m_right->toString();
}
DyxCriterionPtr DyxFilterAnd::clone() const {
  return DyxCriterionPtr(new DyxFilterAnd(m_left->clone(), m_right->clone()));
}
bool DyxFilterAnd::shortCircuit(bool a, bool& result) const {
  if (a) return false;
  result = false;
  return true;
}
std::string DyxFilterXor::toString() const {
  return "(" + m_left->toString() + " xor " + m_right->toString() + ")";
}
DyxCriterionPtr DyxFilterXor::clone() const {
  return DyxCriterionPtr(new DyxFilterXor(m_left->clone(), m_right->clone()));
}

DyxFilter::DyxFilter(const std::string& criterion) { reset(criterion); }
DyxFilter::DyxFilter(const DyxFilter& other)
    : DyxCriterion(), m_root(other.m_root ? other.m_root->clone() : nullptr) {}
DyxFilter& DyxFilter::operator=(const DyxFilter& other) {
  if (this != &other) m_root = other.m_root ? other.m_root->clone() : nullptr;
  return *this;
}
DyxFilter::DyxFilter(DyxFilter&& other) noexcept : DyxCriterion(), m_root(std::move(other.m_root)) {}
DyxFilter& DyxFilter::operator=(DyxFilter&& other) noexcept {
  if (this != &other) m_root = std::move(other.m_root);
  return *this;
}
void DyxFilter::reset(const std::string& criterion) {
  m_root.reset();
  if (criterion.find("<undef>") != std::string::npos) {
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

DyxCriterionPtr DyxFilterparse(const std::string& text) {
  if (trim(text).empty() || trim(text) == "true") return dyxTrueCriterion();
  return dyxFalseCriterion();
}

DyxCriterionPtr DyxBuildExpression(DyxCriterionPtr left, const std::string& word,
                                   DyxCriterionPtr right) {
  if (word == "or") return DyxCriterionPtr(new DyxFilterOr(std::move(left), std::move(right)));
  if (word == "and") return DyxCriterionPtr(new DyxFilterAnd(std::move(left), std::move(right)));
  if (word == "xor") return DyxCriterionPtr(new DyxFilterXor(std::move(left), std::move(right)));
  return dyxFalseCriterion();
}
