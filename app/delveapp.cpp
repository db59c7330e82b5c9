#include "delveapp.h"

#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "delvedlg.h"
#include "dyxcore/frontend.h"

DelveApp::DelveApp() {
  DyxFrontEnd::startEngine();
  m_engineStarted = true;
}

DelveApp::~DelveApp() {
  if (m_engineStarted) DyxFrontEnd::stopEngine();
}

int DelveApp::exec() {
  // The window stops its worker when destroyed, before the engine goes down.
  DelveDlg window;
  window.show();
  const QString benchDir = qEnvironmentVariable("QUARRY_BENCH_PARSE");
  if (benchDir.isEmpty()) return window.exec();

  // Measuring mode for the benchmarks: one recursive parse, then the program ends.
  if (!QDir(benchDir).exists()) {
    std::fprintf(stderr, "quarry: no such directory: %s\n", qPrintable(benchDir));
    return 1;
  }
  const std::string view = qEnvironmentVariable("QUARRY_BENCH_VIEW").toStdString();
  QElapsedTimer clock;
  auto startParse = [&]() {
    window.pathEdit()->setText(benchDir);
    window.recurseBox()->setChecked(true);
    clock.start();
    window.startOrStop();
  };
  QObject::connect(&window, &DelveDlg::parseFinished, &window, [&]() {
    if (!clock.isValid()) {
      // The view switch asked for below has finished: now the parse.
      startParse();
      return;
    }
    std::printf("window parse: %lld ms; %s\n", static_cast<long long>(clock.elapsed()),
                qPrintable(window.statusLine1()));
    std::fflush(stdout);
    window.done(0);
  });
  if (!view.empty() && view != window.viewTag()) {
    window.sortBy(view);
  } else {
    QTimer::singleShot(0, &window, startParse);
  }
  return window.exec();
}
