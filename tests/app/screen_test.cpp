// The window's first size on a small, high-scale screen: a 1600x1000 offscreen screen at scale
// factor 2 (800x500 device-independent pixels) must show the whole window. The screen is set up
// by this test's own main before the application starts; a screenshot of the screen is taken
// and checked, and kept in QUARRY_SCREENSHOT_DIR when that is set.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>

#include "delvedlg.h"
#include "dyxcore/frontend.h"

namespace {

constexpr int kScreenWidth = 1600;
constexpr int kScreenHeight = 1000;
constexpr int kScale = 2;

}  // namespace

class ScreenTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void initTestCase() {
    QScreen* screen = QGuiApplication::primaryScreen();
    QVERIFY(screen != nullptr);
    QCOMPARE(screen->geometry().size() * kScale, QSize(kScreenWidth, kScreenHeight));
    DyxFrontEnd::startEngine();
  }
  void cleanupTestCase() { DyxFrontEnd::stopEngine(); }

  void wholeWindowOnTheScreen() {
    DelveDlg dlg;
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QScreen* screen = dlg.screen();
    const QRect available = screen->availableGeometry();
    QVERIFY2(available.contains(dlg.frameGeometry()),
             qPrintable(QStringLiteral("window %1,%2 %3x%4 on %5x%6")
                            .arg(dlg.frameGeometry().x())
                            .arg(dlg.frameGeometry().y())
                            .arg(dlg.frameGeometry().width())
                            .arg(dlg.frameGeometry().height())
                            .arg(available.width())
                            .arg(available.height())));
    // Every control lies inside the window, none squeezed to nothing.
    for (const char* name : {"path", "start", "find", "tree", "list"}) {
      const QWidget* control = dlg.findChild<QWidget*>(QString::fromLatin1(name));
      QVERIFY2(control != nullptr, name);
      const QRect inWindow(control->mapTo(&dlg, QPoint(0, 0)), control->size());
      QVERIFY2(dlg.rect().contains(inWindow), qPrintable(control->metaObject()->className()));
      QVERIFY(control->width() > 10 && control->height() > 10);
    }

    // The screenshot: the window's pixels where the window is, at twice its logical size.
    QApplication::processEvents();
    const QImage shot = screen->grabWindow(0).toImage();
    QCOMPARE(shot.size(), QSize(kScreenWidth, kScreenHeight));
    const QImage window = dlg.grab().toImage();
    QCOMPARE(window.size(), dlg.size() * kScale);
    // The screen is black where no window is. A window that does not fit would leave fewer
    // pixels of its own on the screen than it has (the offscreen screen shot does not place
    // windows at their scaled positions, so the pixels are counted, not compared in place).
    const QImage rgb = shot.convertToFormat(QImage::Format_RGB32);
    qint64 painted = 0;
    for (int y = 0; y < rgb.height(); ++y) {
      const auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
      for (int x = 0; x < rgb.width(); ++x) {
        if ((line[x] & 0xffffff) != 0) ++painted;
      }
    }
    const qint64 area = qint64(window.width()) * window.height();
    QVERIFY2(painted * 10 >= area * 9,
             qPrintable(QStringLiteral("%1 pixels painted of %2").arg(painted).arg(area)));
    const QByteArray dir = qgetenv("QUARRY_SCREENSHOT_DIR");
    if (!dir.isEmpty())
      QVERIFY(shot.save(QDir(QString::fromLocal8Bit(dir)).filePath("window.png")));
  }
};

int main(int argc, char** argv) {
  QTemporaryDir work;
  if (!work.isValid()) return 2;
  // One screen of 1600x1000 pixels at scale 2, before the application reads the platform.
  const QString config = work.filePath(QStringLiteral("screen.json"));
  QFile file(config);
  if (!file.open(QIODevice::WriteOnly)) return 2;
  file.write(QStringLiteral("{\"screens\": [{\"name\": \"small\", \"x\": 0, \"y\": 0, "
                            "\"width\": %1, \"height\": %2, \"logicalDpi\": 96}]}")
                 .arg(kScreenWidth)
                 .arg(kScreenHeight)
                 .toUtf8());
  file.close();
  qputenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config).toUtf8());
  qputenv("QT_SCALE_FACTOR", QByteArray::number(kScale));
  qputenv("XDG_CONFIG_HOME", work.filePath(QStringLiteral("config")).toUtf8());
  if (!QDir::setCurrent(work.path())) return 2;
  QApplication application(argc, argv);
  ScreenTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "screen_test.moc"
