#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "delveapp.h"
#include "dyxcore/platform.h"

namespace {

bool hasDisplay() {
  for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  dyxplatform::openClosedStandardDescriptors();  // before any file is opened
  if (!hasDisplay()) {
    std::fprintf(stderr, "quarry: no display to open the window on; try ./quarry.sh --cli\n");
    return 1;
  }
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quarry Software"));
  QApplication::setApplicationVersion(QStringLiteral("1.0.2.2"));
  DelveApp delve;
  return delve.exec();
}
