// Parse speed of the window against the engine alone, on the same generated tree.
//   window_bench [FILES] [DIR] [PNG]   (defaults: 200000 files in ./bench-tree, made when
//   missing; PNG: where to save a picture of the window after the parse)
// Prints the engine's parse time, the window's (from the start click until the last update is
// shown), their ratio, the longest stall of the window's event loop during the window's parse,
// and the time a Find text takes to refill the list of the largest folder.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>

#include "delvedlg.h"
#include "dyxcore/dyx.h"
#include "dyxcore/frontend.h"
#include "dyxcore/pdirs.h"
#include "filelistmodel.h"
#include "parseworker.h"

namespace {

void makeTree(const QString& root, int files) {
  const int perFolder = 500;
  for (int i = 0; i < files; ++i) {
    const QString folder =
        QStringLiteral("%1/g%2/d%3").arg(root).arg(i / (perFolder * 20)).arg(i / perFolder);
    if (i % perFolder == 0) QDir().mkpath(folder);
    QFile file(QStringLiteral("%1/file%2.%3").arg(folder).arg(i).arg(i % 7 == 0 ? "txt" : "dat"));
    if (!file.open(QIODevice::WriteOnly)) {
      std::fprintf(stderr, "cannot create %s\n", qPrintable(file.fileName()));
      return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  const int files = argc > 1 ? std::atoi(argv[1]) : 200000;
  const QString root =
      QDir(argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("bench-tree"))
          .absolutePath();
  if (!QDir(root).exists()) {
    std::printf("making %d files in %s\n", files, qPrintable(root));
    makeTree(root, files);
  }
  DyxFrontEnd::startEngine();

  DyxParseRequest request;
  request.dir = root.toStdString();
  request.recursive = true;
  QElapsedTimer clock;
  clock.start();
  DyxFrontEnd::runParse(request);
  const qint64 engineMs = clock.elapsed();
  std::printf("engine alone: %lld ms\n", static_cast<long long>(engineMs));

  qint64 windowMs = 0;
  qint64 longestStall = 0;
  {
    DelveDlg dlg;
    dlg.show();
    // The first show and paint are not part of the parse.
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    dlg.pathEdit()->setText(root);
    QSignalSpy finished(&dlg, &DelveDlg::parseFinished);
    QElapsedTimer beat;
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout,
                     [&]() { longestStall = std::max(longestStall, beat.restart()); });
    heartbeat.start(10);
    beat.start();
    clock.restart();
    dlg.startOrStop();
    finished.wait(600000);
    windowMs = clock.elapsed();
    heartbeat.stop();
    std::printf("window: %lld ms (%.2f x the engine), %s\n", static_cast<long long>(windowMs),
                engineMs > 0 ? double(windowMs) / double(engineMs) : 0.0,
                qPrintable(dlg.statusLine1()));
    std::printf("longest event-loop stall during the parse: %lld ms\n",
                static_cast<long long>(longestStall));

    if (argc > 3) {
      QTreeWidgetItem* item = dlg.rootItem();
      while (item->childCount() > 0) {
        item->setExpanded(true);
        item = item->child(0);
      }
      dlg.tree()->setCurrentItem(item);
      QCoreApplication::processEvents();
      dlg.grab().save(QString::fromLocal8Bit(argv[3]));
    }
    // The flat view holds every file in one folder: the largest list the Find box can narrow.
    QSignalSpy switched(&dlg, &DelveDlg::parseFinished);
    dlg.sortBy("Flat");
    switched.wait(600000);
    if (dlg.rootItem()->childCount() > 0) {
      dlg.tree()->setCurrentItem(dlg.rootItem()->child(0));
      const int rows = dlg.listModel()->rowCount();
      clock.restart();
      dlg.findEdit()->setText(QStringLiteral("file1"));
      const qint64 findMs = clock.elapsed();
      std::printf("Find over %d rows: %lld ms, %d rows kept\n", rows,
                  static_cast<long long>(findMs), dlg.listModel()->rowCount());
    }
  }
  DyxFrontEnd::stopEngine();
  return 0;
}
