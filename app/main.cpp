// quarry: everything is in the quarryapp library, so the tests link the very window users run.
// The start-up alone is here: it moves into the working directory before the engine starts.
#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "delveapp.h"
#include "dyxcore/frontend.h"

namespace {

bool hasDisplay() {
  for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

// Started from the desktop menu the program has no terminal: what the user must know is shown
// in a box as well.
void tell(QMessageBox::Icon icon, const std::string& text) {
  std::fprintf(stderr, "quarry: %s\n", text.c_str());
  // Nobody could close a box on the headless platform of the benchmarks.
  if (QGuiApplication::platformName() == QStringLiteral("offscreen")) return;
  QMessageBox box(icon, QStringLiteral("Quarry Software"), QString::fromStdString(text));
  box.exec();
}

}  // namespace

int main(int argc, char** argv) {
  DyxFrontEnd::openClosedStandardDescriptors();  // before any file is opened
  if (!hasDisplay()) {
    std::fprintf(stderr, "quarry: no display to open the window on; try quarry-cli\n");
    return 1;
  }
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quarry Software"));
  QApplication::setApplicationVersion(QStringLiteral(QUARRY_VERSION));

  const DyxStartResult start = DyxFrontEnd::enterWorkDirectory();
  for (const std::string& warning : start.warnings) tell(QMessageBox::Warning, warning);
  if (!start.ok) {
    tell(QMessageBox::Critical, start.error);
    return 1;
  }
  DelveApp delve;
  const int code = delve.exec();
  // Every save is made before the process ends; freeing the index piece by piece is not.
  const DyxFrontEnd::EngineEnd end = DyxFrontEnd::endBeforeExit();
  delve.stopEngine(end);
  if (end == DyxFrontEnd::EngineEnd::kSaveOnly) DyxFrontEnd::exitNow(code);
  return code;
}
