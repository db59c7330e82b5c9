#include "delveapp.h"

#include "delvedlg.h"

DelveApp::DelveApp() {
  DyxFrontEnd::startEngine();
  m_engineStarted = true;
}

DelveApp::~DelveApp() {
  if (m_engineStarted) DyxFrontEnd::stopEngine();
}

void DelveApp::stopEngine(DyxFrontEnd::EngineEnd end) {
  if (!m_engineStarted) return;
  m_engineStarted = false;
  DyxFrontEnd::stopEngine(end);
}

int DelveApp::exec() {
  // The window stops its worker when destroyed, before the engine goes down.
  DelveDlg window;
  window.show();
  window.restoreLastParse();
  return window.exec();
}
