#include "delvefiltersdlg.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "bytes.h"
#include "dyxcore/frontend.h"

QString DelveFiltersDlg::criterionProblems(const std::string& criterion) {
  const std::vector<std::string> messages = DyxFrontEnd::checkCriterion(criterion);
  if (messages.empty()) return QString();
  std::string text = "Criterion '" + criterion + "':";
  for (std::size_t i = 0; i < messages.size(); ++i) text += (i == 0 ? " " : "; ") + messages[i];
  return fromBytes(text);
}

DelveFiltersDlg::DelveFiltersDlg(const std::string& criterion, QWidget* parent)
    : QDialog(parent), m_criterion(criterion) {
  setWindowTitle(QStringLiteral("Search Conditions"));
  setModal(true);

  auto* layout = new QVBoxLayout(this);
  m_and = new QRadioButton(QStringLiteral("Match all conditions (AND)"), this);
  m_or = new QRadioButton(QStringLiteral("Match at least one condition (OR)"), this);
  m_xor = new QRadioButton(QStringLiteral("Match only one (XOR)"), this);
  auto* group = new QButtonGroup(this);
  group->addButton(m_and);
  group->addButton(m_or);
  group->addButton(m_xor);
  layout->addWidget(m_and);
  layout->addWidget(m_or);
  layout->addWidget(m_xor);

  auto* grid = new QGridLayout();
  grid->addWidget(new QLabel(QStringLiteral("Property:"), this), 0, 0);
  grid->addWidget(new QLabel(QStringLiteral("Operation:"), this), 0, 1);
  grid->addWidget(new QLabel(QStringLiteral("Pattern:"), this), 0, 2);
  for (int i = 0; i < kRowCount; ++i) {
    Row& row = m_rows[i];
    row.property = new QComboBox(this);
    row.operation = new QComboBox(this);
    row.pattern = new QLineEdit(this);
    grid->addWidget(row.property, i + 1, 0);
    grid->addWidget(row.operation, i + 1, 1);
    grid->addWidget(row.pattern, i + 1, 2);
  }
  layout->addLayout(grid);

  auto* buttons = new QDialogButtonBox(this);
  buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
  buttons->addButton(QStringLiteral("Annuler"), QDialogButtonBox::RejectRole);
  connect(buttons, &QDialogButtonBox::accepted, this, &DelveFiltersDlg::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &DelveFiltersDlg::reject);
  layout->addWidget(buttons);

  readCriterion();
}

void DelveFiltersDlg::readCriterion() {
  m_and->setChecked(true);
  std::array<const DyxCriterion*, kRowCount> conditions{};
  // An empty criterion parses to the true constant, one that does not parse to the false
  // constant: neither is a comparison, so every row then starts empty.
  const DyxFilter filter(m_criterion);
  const DyxCriterion* root = filter.getRoot();
  const auto* logical = dynamic_cast<const DyxFilterLogicalOperator*>(root);
  if (logical != nullptr) {
    const std::string word = logical->getOperator();
    if (word == "or") {
      m_or->setChecked(true);
    } else if (word == "xor") {
      m_xor->setChecked(true);
    }
    // The parser groups to the right: each further condition is the left of the next node.
    conditions[0] = logical->getLeft();
    conditions[1] = logical->getRight();
    for (int i = 1; i + 1 < kRowCount; ++i) {
      const auto* nested = dynamic_cast<const DyxFilterLogicalOperator*>(conditions[i]);
      if (nested == nullptr) break;
      conditions[i] = nested->getLeft();
      conditions[i + 1] = nested->getRight();
    }
  } else {
    conditions[0] = root;
  }
  for (int i = 0; i < kRowCount; ++i) fillRow(i, conditions[i]);
}

void DelveFiltersDlg::fillRow(int row, const DyxCriterion* condition) {
  Row& r = m_rows[row];
  int property = 0;
  std::string word;
  const auto* comparison = dynamic_cast<const DyxFilterComparison*>(condition);
  if (comparison != nullptr) {
    property = comparison->getPropertyId();
    word = comparison->getOperator();
    r.pattern->setText(fromBytes(comparison->getValue()));
  } else {
    r.pattern->clear();
  }
  r.property->clear();
  r.property->addItem(QStringLiteral("<None>"), kPropertyNone);
  r.property->addItem(QStringLiteral("Name"), kPropertyName);
  r.property->addItem(QStringLiteral("Extension"), kPropertyExt);
  r.property->setCurrentIndex(property == kPropertyName ? 1 : (property == kPropertyExt ? 2 : 0));

  r.operation->clear();
  r.operation->addItem(QStringLiteral("equals"), kOperationEquals);
  r.operation->addItem(QStringLiteral("not equals"), kOperationNotEquals);
  r.operation->addItem(QStringLiteral("like (*,?)"), kOperationLike);
  r.operation->setCurrentIndex(word == "!=" ? 1 : (word == "like" ? 2 : 0));
}

std::string DelveFiltersDlg::rowText(int row) const {
  const Row& r = m_rows[row];
  const std::string pattern = toBytes(r.pattern->text());
  if (pattern.empty()) return "";
  const int property =
      r.property->currentIndex() < 0 ? kPropertyNone : r.property->currentData().toInt();
  std::string text;
  if (property == kPropertyName) {
    text = "$Name";
  } else if (property == kPropertyExt) {
    text = "$Ext";
  } else {
    return "";
  }
  if (r.operation->currentIndex() < 0) return "";
  switch (r.operation->currentData().toInt()) {
    case kOperationEquals:
      text += "=";
      break;
    case kOperationNotEquals:
      text += "!=";
      break;
    case kOperationLike:
      text += " like ";
      break;
    default:
      return "";
  }
  // Quoted, so that blanks, operator words and parentheses in the pattern stay in it.
  return text + dyxQuoteCriterionValue(pattern);
}

std::string DelveFiltersDlg::buildCriterion() const {
  std::string word = "and";
  if (m_or->isChecked()) {
    word = "or";
  } else if (m_xor->isChecked()) {
    word = "xor";
  }
  std::string criterion;
  for (int i = 0; i < kRowCount; ++i) {
    const std::string text = rowText(i);
    if (text.empty()) continue;
    if (!criterion.empty()) criterion += " " + word + " ";
    criterion += text;
  }
  return criterion;
}

void DelveFiltersDlg::accept() {
  m_criterion = buildCriterion();
  QDialog::accept();
}
