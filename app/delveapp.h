// DelveApp: the application object of the desktop window. It starts the engine in the current
// directory (Dyx::initialize, with the trace folder made when missing), runs the window until
// it closes, and shuts the engine down as its exit step (Dyx::shutdown saves the repositories).
//
// Ownership: the window lives inside `exec`; the engine is process-wide. Threads: the
// application's main thread only, inside a running QApplication.
#pragma once

#include "dyxcore/frontend.h"

class DelveApp {
 public:
  DelveApp();
  // Shuts the engine down, also when `exec` was left by an exception.
  ~DelveApp();
  DelveApp(const DelveApp&) = delete;
  DelveApp& operator=(const DelveApp&) = delete;

  // Shows the window and runs it modally; its result code.
  int exec();
  // Stops the engine once the window is gone; with kSaveOnly the caller ends the process next
  // (DyxFrontEnd::exitNow), since the engine's memory is left standing.
  void stopEngine(DyxFrontEnd::EngineEnd end);

 private:
  bool m_engineStarted = false;
};
