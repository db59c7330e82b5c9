#include "delveapp.h"

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
  window.restoreLastParse();
  return window.exec();
}
