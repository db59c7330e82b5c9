// The window's parse, measured on the very window users run (the quarryapp library).
//   window_bench --parse DIR [--view TAG]
//     What bench/run measures: starts as the program does (in its working directory), shows the
//     window, switches to the view TAG when it is not the current one, parses DIR recursively,
//     prints "window parse: N ms; <status line 1>" (from the start until the last update is
//     shown) and ends. The process's whole run is the figure; run it on the offscreen platform.
//   window_bench [FILES] [DIR] [PNG]
//     The window against the engine alone, on a generated tree (defaults: 200000 files in
//     ./bench-tree, made when missing): both parse times and their ratio, the longest stall of
//     the window's event loop during its parse, the time a selection of the largest folder
//     takes to list it, and the time a Find text takes to narrow that list. PNG: where to save a
//     picture of the window after the parse.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "delvedlg.h"
#include "dyxcore/frontend.h"
#include "dyxcore/workdir.h"
#include "foldertreemodel.h"

namespace {

constexpr int kParseTimeoutMs = 600000;

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

// Waits for the parse or view switch under way to end.
void waitForParse(DelveDlg& dlg, const std::function<void()>& start) {
  QSignalSpy finished(&dlg, &DelveDlg::parseFinished);
  start();
  finished.wait(kParseTimeoutMs);
}

// A recursive parse of `dir` as the start button starts it; its time in milliseconds.
qint64 timedParse(DelveDlg& dlg, const QString& dir) {
  dlg.findChild<QLineEdit*>(QStringLiteral("path"))->setText(dir);
  dlg.findChild<QCheckBox*>(QStringLiteral("recurse"))->setChecked(true);
  QElapsedTimer clock;
  clock.start();
  waitForParse(dlg, [&dlg]() { dlg.startOrStop(); });
  return clock.elapsed();
}

int measureParse(const std::string& userDir, const std::string& view) {
  // The directory is the user's path: taken from where the user called from.
  const DyxStartResult start = DyxWorkDir::enter();
  for (const std::string& warning : start.warnings) {
    std::fprintf(stderr, "window_bench: %s\n", warning.c_str());
  }
  if (!start.ok) {
    std::fprintf(stderr, "window_bench: %s\n", start.error.c_str());
    return 1;
  }
  const QString dir = QString::fromStdString(DyxWorkDir::resolveUserPath(userDir));
  if (!QDir(dir).exists()) {
    std::fprintf(stderr, "window_bench: no such directory: %s\n", qPrintable(dir));
    return 1;
  }
  DyxFrontEnd::startEngine();
  {
    DelveDlg dlg;
    dlg.show();
    if (!view.empty() && view != dlg.display().viewTag()) {
      waitForParse(dlg, [&]() { dlg.sortBy(view); });
    }
    const qint64 ms = timedParse(dlg, dir);
    std::printf("window parse: %lld ms; %s\n", static_cast<long long>(ms),
                qPrintable(dlg.display().statusLine1()));
    std::fflush(stdout);
  }
  // As the program ends (app/main.cpp).
  const DyxFrontEnd::EngineEnd end = DyxFrontEnd::endBeforeExit();
  DyxFrontEnd::stopEngine(end);
  if (end == DyxFrontEnd::EngineEnd::kSaveOnly) DyxFrontEnd::exitNow(0);
  return 0;
}

int compareWithEngine(int files, const QString& root, const char* picture) {
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
  {
    DelveDlg dlg;
    dlg.show();
    // The first show and paint are not part of the parse.
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    qint64 longestStall = 0;
    QElapsedTimer beat;
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout,
                     [&]() { longestStall = std::max(longestStall, beat.restart()); });
    heartbeat.start(10);
    beat.start();
    const qint64 windowMs = timedParse(dlg, root);
    heartbeat.stop();
    std::printf("window: %lld ms (%.2f x the engine), %s\n", static_cast<long long>(windowMs),
                engineMs > 0 ? double(windowMs) / double(engineMs) : 0.0,
                qPrintable(dlg.display().statusLine1()));
    std::printf("longest event-loop stall during the parse: %lld ms\n",
                static_cast<long long>(longestStall));

    auto* tree = dlg.findChild<QTreeView*>(QStringLiteral("tree"));
    const FolderTreeModel* folders = dlg.display().treeModel();
    const QModelIndex root = folders->indexOf(DelveDisplayModel::kRootId);
    if (picture != nullptr) {
      QModelIndex item = root;
      while (folders->rowCount(item) > 0) {
        tree->expand(item);
        item = folders->index(0, 0, item);
      }
      tree->setCurrentIndex(item);
      QCoreApplication::processEvents();
      dlg.grab().save(QString::fromLocal8Bit(picture));
    }
    // The flat view holds every file in one folder: the largest list the Find box can narrow.
    waitForParse(dlg, [&dlg]() { dlg.sortBy("Flat"); });
    if (folders->rowCount(root) > 0) {
      // A selection reads the folder's rows from the engine: the whole flat list at once.
      clock.restart();
      tree->setCurrentIndex(folders->index(0, 0, root));
      const qint64 selectMs = clock.elapsed();
      const FileListModel* list = dlg.display().listModel();
      const int rows = list->rowCount();
      std::printf("selecting the folder of %d rows: %lld ms\n", rows,
                  static_cast<long long>(selectMs));
      // Typed a key at a time, then erased: each refill runs on the window's thread, so the
      // longest is the longest the event loop waits for the Find box.
      const QString typed = QStringLiteral("file1");
      auto* find = dlg.findChild<QLineEdit*>(QStringLiteral("find"));
      qint64 longest = 0;
      qint64 total = 0;
      int steps = 0;
      int kept = 0;
      auto step = [&](const QString& text) {
        clock.restart();
        find->setText(text);
        const qint64 ms = clock.elapsed();
        longest = std::max(longest, ms);
        total += ms;
        ++steps;
        if (text == typed) kept = list->rowCount();
      };
      for (int n = 1; n <= typed.size(); ++n) step(typed.left(n));
      for (int n = typed.size() - 1; n >= 0; --n) step(typed.left(n));
      std::printf("Find over %d rows: %d refills, longest %lld ms, mean %.1f ms; \"%s\" keeps %d\n",
                  rows, steps, static_cast<long long>(longest),
                  steps > 0 ? double(total) / steps : 0.0, qPrintable(typed), kept);
    }
  }
  DyxFrontEnd::stopEngine();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc > 2 && std::strcmp(argv[1], "--parse") == 0) {
    const bool withView = argc > 4 && std::strcmp(argv[3], "--view") == 0;
    return measureParse(argv[2], withView ? argv[4] : "");
  }
  const int files = argc > 1 ? std::atoi(argv[1]) : 200000;
  const QString root =
      QDir(argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("bench-tree"))
          .absolutePath();
  return compareWithEngine(files, root, argc > 3 ? argv[3] : nullptr);
}
