// Test helpers for the trace streams: a capture that sends kxout and kxerr into a string for its
// lifetime with every stream switched on, and the splitting of captured text into lines. Test
// code only; one capture at a time, on the test's own thread.
#pragma once

#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "kxcore/io.h"

namespace quarrytest {

class TraceCapture {
 public:
  TraceCapture() {
    KXIO::setAllEnabled(true);
    m_previousOut = kxout.target().stream();
    m_previousErr = kxerr.target().stream();
    kxout.setTargetStream(m_text);
    kxerr.setTargetStream(m_text);
  }
  ~TraceCapture() {
    KXIO::setAllEnabled(false);
    kxout.setTargetStream(m_previousOut);
    kxerr.setTargetStream(m_previousErr);
  }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  std::string text() const { return m_text.str(); }
  bool has(const std::string& message) const {
    return m_text.str().find(message) != std::string::npos;
  }
  // Occurrences of `message`, overlapping ones included.
  int count(const std::string& message) const {
    const std::string all = m_text.str();
    int n = 0;
    for (auto at = all.find(message); at != std::string::npos; at = all.find(message, at + 1)) {
      ++n;
    }
    return n;
  }

 private:
  std::ostream* m_previousOut = nullptr;
  std::ostream* m_previousErr = nullptr;
  std::ostringstream m_text;
};

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

}  // namespace quarrytest
