#include "problemsdlg.h"

#include <QAction>
#include <QDialog>
#include <QDialogButtonBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QStyle>
#include <QVBoxLayout>

#include "displaymodel.h"

DelveProblems::DelveProblems(QWidget* window, QMenuBar* menuBar, QLineEdit* statusLine,
                             const DelveDisplayModel& display)
    : QObject(window), m_display(display), m_window(window), m_statusLine(statusLine) {
  QMenu* menu = menuBar->addMenu(QStringLiteral("&Problems"));
  m_menuAction =
      menu->addAction(QStringLiteral("&Show What Was Left Out..."), this, [this]() { show(); });
  const QIcon warning = window->style()->standardIcon(QStyle::SP_MessageBoxWarning);
  m_statusAction = statusLine->addAction(warning, QLineEdit::TrailingPosition);
  m_statusAction->setToolTip(QStringLiteral("Show what the parse left out."));
  connect(m_statusAction, &QAction::triggered, this, [this]() { show(); });
  statusLine->installEventFilter(this);
  connect(&display, &DelveDisplayModel::problemsChanged, this, &DelveProblems::refresh);
  refresh();
}

QString DelveProblems::listText() const { return m_display.problemTexts().join(QLatin1Char('\n')); }

void DelveProblems::refresh() {
  const bool any = !m_display.problemTexts().isEmpty();
  m_menuAction->setEnabled(any);
  m_statusAction->setVisible(any);
  m_statusLine->setCursor(any ? Qt::PointingHandCursor : Qt::IBeamCursor);
  if (m_list != nullptr) m_listText->setPlainText(listText());
}

void DelveProblems::show() {
  if (m_display.problemTexts().isEmpty()) return;
  if (m_list == nullptr) {
    m_list = new QDialog(m_window);
    m_list->setWindowTitle(QStringLiteral("Problems"));
    auto* layout = new QVBoxLayout(m_list);
    layout->addWidget(
        new QLabel(QStringLiteral("What the last parse could not read or keep:"), m_list));
    m_listText = new QPlainTextEdit(m_list);
    m_listText->setReadOnly(true);
    m_listText->setLineWrapMode(QPlainTextEdit::NoWrap);
    layout->addWidget(m_listText, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, m_list);
    connect(buttons, &QDialogButtonBox::rejected, m_list, &QDialog::close);
    layout->addWidget(buttons);
    m_list->resize(640, 320);
  }
  m_listText->setPlainText(listText());
  m_list->show();
  m_list->raise();
  m_list->activateWindow();
}

QDialog* DelveProblems::listWindow() const {
  return m_list != nullptr && m_list->isVisible() ? m_list.data() : nullptr;
}

bool DelveProblems::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_statusLine && event->type() == QEvent::MouseButtonRelease &&
      !m_display.problemTexts().isEmpty()) {
    show();
  }
  return QObject::eventFilter(watched, event);
}
