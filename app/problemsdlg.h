// DelveProblems: what the window's last parse could not read or keep (directories that could not
// be listed, files left out, and any other notice of the engine, kxcore/notice.h). Status line 1
// ends with their count (DyxFrontEnd::withLeftOut); a click on the status line, on the warning
// button inside it or on the "Problems" menu lists them in a window of their own.
//
// Ownership: a child of the window; the list window is its own child and is reused. Threads:
// the window's thread only. The problems arrive as values from the parse worker.
#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <cstdint>
#include <string>

#include "dyxcore/frontend.h"
#include "kxcore/notice.h"

class QAction;
class QDialog;
class QLineEdit;
class QMenuBar;
class QPlainTextEdit;
class QWidget;

class DelveProblems : public QObject {
 public:
  // Adds the "Problems" menu to `menuBar` and the warning button to `statusLine`.
  DelveProblems(QWidget* window, QMenuBar* menuBar, QLineEdit* statusLine);

  // A new parse starts: its problems are not known yet.
  void clear();
  // One problem: its kind, how many times it was met and the text that says it.
  void add(KxNoticeKind kind, std::uint64_t count, const std::string& text);

  const DyxLeftOut& leftOut() const { return m_leftOut; }
  // The texts, in the order they came.
  const QStringList& texts() const { return m_texts; }
  // Shows the list (raised when already shown); nothing while there is no problem.
  void show();
  // The list window while it is shown, else nullptr (for the tests).
  QDialog* listWindow() const;
  QAction* menuAction() const { return m_menuAction; }
  QAction* statusAction() const { return m_statusAction; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void refresh();

  QWidget* m_window;
  QLineEdit* m_statusLine;
  QAction* m_menuAction = nullptr;
  QAction* m_statusAction = nullptr;
  QPointer<QDialog> m_list;
  QPlainTextEdit* m_listText = nullptr;
  DyxLeftOut m_leftOut;
  QStringList m_texts;
};
