// DelveWindowLayout: the size of the window, the split between its tree and its list, and the
// list's column widths. The first size is the preferred one within the screen; the columns fit
// their contents once the first rows are shown; all three are kept between runs in the user's
// configuration directory ($XDG_CONFIG_HOME/quarry/window.conf, through QSettings) by a window
// that was shown.
//
// Ownership: a child of the window; it holds plain pointers to the window's splitter and list,
// which live as long as the window. Threads: the window's thread only.
#pragma once

#include <QObject>

class QSplitter;
class QTreeView;
class QWidget;

class DelveWindowLayout : public QObject {
 public:
  // The size a window takes when no size was remembered (device-independent pixels); less when
  // the screen is smaller.
  static constexpr int kPreferredWidth = 900;
  static constexpr int kPreferredHeight = 560;
  // The settings file.
  static constexpr const char* kSettingsOrganization = "quarry";
  static constexpr const char* kSettingsApplication = "window";

  // Sizes `window` and its splitter, then restores what the last run kept.
  DelveWindowLayout(QWidget* window, QSplitter* splitter, QTreeView* list);
  // Keeps the size, the split and the widths, when the window was shown.
  void save();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void fitToScreen();
  // Columns as wide as their contents, once the first rows are shown.
  void fitColumnsOnce();

  QWidget* m_window;
  QSplitter* m_splitter;
  QTreeView* m_list;
  bool m_wasShown = false;       // only a window that was shown has a size worth keeping
  bool m_columnsFitted = false;  // fitted to the first rows, or widths restored from settings
};
