// DelveProblems: what the window's last parse could not read or keep (directories that could not
// be listed, files left out, and any other notice of the engine, kxcore/notice.h). Status line 1
// ends with their count (DyxFrontEnd::withLeftOut); a click on the status line, on the warning
// button inside it or on the "Problems" menu lists them in a window of their own.
//
// Ownership: a child of the window; the list window is its own child and is reused. The problems
// themselves are values of the window's display model (displaymodel.h), read on its signals and
// on the user's clicks while the window lives. Threads: the window's thread only.
#pragma once

#include <QObject>
#include <QPointer>

class DelveDisplayModel;
class QAction;
class QDialog;
class QLineEdit;
class QMenuBar;
class QPlainTextEdit;
class QWidget;

class DelveProblems : public QObject {
  Q_OBJECT

 public:
  // Adds the "Problems" menu to `menuBar` and the warning button to `statusLine`; follows the
  // problems of `display`.
  DelveProblems(QWidget* window, QMenuBar* menuBar, QLineEdit* statusLine,
                const DelveDisplayModel& display);

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
  QString listText() const;

  const DelveDisplayModel& m_display;
  QWidget* m_window;
  QLineEdit* m_statusLine;
  QAction* m_menuAction = nullptr;
  QAction* m_statusAction = nullptr;
  QPointer<QDialog> m_list;
  QPlainTextEdit* m_listText = nullptr;
};
