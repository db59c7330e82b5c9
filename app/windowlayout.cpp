#include "windowlayout.h"

#include <QEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QScreen>
#include <QSettings>
#include <QSplitter>
#include <QTimer>
#include <QTreeView>
#include <algorithm>

DelveWindowLayout::DelveWindowLayout(QWidget* window, QSplitter* splitter, QTreeView* list)
    : QObject(window), m_window(window), m_splitter(splitter), m_list(list) {
  fitToScreen();
  QSettings settings(QString::fromLatin1(kSettingsOrganization),
                     QString::fromLatin1(kSettingsApplication));
  const QByteArray geometry = settings.value(QStringLiteral("geometry")).toByteArray();
  // restoreGeometry moves a window that would lie off the screen back onto it.
  if (!geometry.isEmpty()) m_window->restoreGeometry(geometry);
  const QByteArray split = settings.value(QStringLiteral("splitter")).toByteArray();
  if (!split.isEmpty()) m_splitter->restoreState(split);
  const QByteArray columns = settings.value(QStringLiteral("columns")).toByteArray();
  if (!columns.isEmpty() && m_list->header()->restoreState(columns)) m_columnsFitted = true;
  window->installEventFilter(this);
  connect(list->model(), &QAbstractItemModel::rowsInserted, this,
          &DelveWindowLayout::fitColumnsOnce);
  connect(list->model(), &QAbstractItemModel::modelReset, this, &DelveWindowLayout::fitColumnsOnce);
}

void DelveWindowLayout::fitToScreen() {
  QScreen* screen =
      m_window->screen() != nullptr ? m_window->screen() : QGuiApplication::primaryScreen();
  QSize size(kPreferredWidth, kPreferredHeight);
  if (screen != nullptr) {
    const QRect available = screen->availableGeometry();
    // A tenth of the room stays for the window manager's frame.
    const QSize room(available.width() * 9 / 10, available.height() * 9 / 10);
    size = size.boundedTo(room).expandedTo(m_window->minimumSizeHint()).boundedTo(available.size());
    m_window->resize(size);
    m_window->move(available.topLeft() + QPoint((available.width() - size.width()) / 2,
                                                (available.height() - size.height()) / 2));
  } else {
    m_window->resize(size);
  }
  m_splitter->setSizes({size.width() * 3 / 10, size.width() * 7 / 10});
}

void DelveWindowLayout::save() {
  if (!m_wasShown) return;
  QSettings settings(QString::fromLatin1(kSettingsOrganization),
                     QString::fromLatin1(kSettingsApplication));
  settings.setValue(QStringLiteral("geometry"), m_window->saveGeometry());
  settings.setValue(QStringLiteral("splitter"), m_splitter->saveState());
  // Widths fitted to no rows at all say nothing: the next run fits them to its rows.
  if (m_columnsFitted) settings.setValue(QStringLiteral("columns"), m_list->header()->saveState());
}

bool DelveWindowLayout::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_window && event->type() == QEvent::Show) m_wasShown = true;
  return QObject::eventFilter(watched, event);
}

void DelveWindowLayout::fitColumnsOnce() {
  if (m_columnsFitted || m_list->model()->rowCount() == 0) return;
  m_columnsFitted = true;
  // After the rows are laid out: the view measures the rows it shows.
  QTimer::singleShot(0, this, [this]() {
    const int widest = std::max(120, m_list->viewport()->width() / 2);
    for (int column = 0; column < m_list->model()->columnCount(); ++column) {
      m_list->resizeColumnToContents(column);
      if (m_list->columnWidth(column) > widest) m_list->setColumnWidth(column, widest);
    }
  });
}
