#include "kxcore/io.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <locale>
#include <sstream>
#include <vector>

#include "kxcore/date.h"
#include "kxcore/perthread.h"

// ---------------------------------------------------------------------------------------------
// Per-thread line buffers

namespace {

std::atomic<std::uint64_t> g_nextSerial{1};

struct PendingLine {
  std::uint64_t serial = 0;
  std::ostringstream text;
};

// A thread's unfinished lines, one per stream it writes to. Streams are few, so a short list.
using PendingLines = std::vector<std::unique_ptr<PendingLine>>;

std::ostringstream& pendingFor(std::uint64_t serial) {
  thread_local PendingLines* mine = nullptr;
  if (mine == nullptr) mine = kxthread::makeOwned<PendingLines>();
  PendingLines& pending = *mine;
  for (auto& line : pending) {
    if (line->serial == serial) return line->text;
  }
  // Buffers of streams destroyed by a shutdown stay behind; empty ones are dropped here.
  if (pending.size() >= 8) {
    std::erase_if(pending, [](const std::unique_ptr<PendingLine>& line) {
      return line->text.view().empty();
    });
  }
  auto line = std::make_unique<PendingLine>();
  line->serial = serial;
  line->text.imbue(std::locale::classic());
  pending.push_back(std::move(line));
  return pending.back()->text;
}

}  // namespace

namespace KXIO {
namespace {
// The files that init() opened (defined with its state below).
std::unique_lock<std::mutex> lockRegistry();
// Closes `stream` when it is one of them; it stays registered until shutdown. Call it with the
// registry locked.
void closeRegisteredFile(const std::ostream* stream);
}  // namespace
}  // namespace KXIO

// ---------------------------------------------------------------------------------------------
// TraceTarget

TraceTarget::TraceTarget() : m_stream(&std::cout) {}

TraceTarget::~TraceTarget() = default;

void TraceTarget::setCircular(int maxLines, const std::string& fileName) {
  if (fileName.empty()) {
    std::cerr << "KX(Ostream)::setCircular: Empty passed circular file name."
              << "\n"
              << std::flush;
    return;
  }
  m_circularName = fileName;
  m_circular = true;
  m_maxLines = maxLines;
  rotate();
}

void TraceTarget::rotate() {
  // The previous generation is closed, and the ".old" file removed, before the rename:
  // Windows renames neither a file that is open nor onto a name that exists, and a failed
  // rename there would leave two streams writing into one file. A failed rename (no file yet)
  // is normal on the first rotation.
  if (m_circularFile) {
    m_circularFile->close();
    if (m_stream == m_circularFile.get()) m_stream = nullptr;
    m_circularFile.reset();
  }
  const std::string old = m_circularName + ".old";
  (void)std::remove(old.c_str());
  (void)std::rename(m_circularName.c_str(), old.c_str());
  // Binary: a line ends in "\n" on every system.
  m_circularFile = std::make_unique<std::ofstream>(
      m_circularName, std::ios::out | std::ios::trunc | std::ios::binary);
  m_stream = m_circularFile.get();
  m_lineCount = 0;
}

void TraceTarget::countLine() {
  if (!m_circular) return;
  ++m_lineCount;
  if (m_lineCount < m_maxLines) return;
  rotate();
}

// ---------------------------------------------------------------------------------------------
// KxOstream

KxOstream::KxOstream() : m_serial(g_nextSerial.fetch_add(1, std::memory_order_relaxed)) {}

KxOstream::~KxOstream() = default;

void KxOstream::recompute() {
  if (threshold() < messageLevel()) {
    m_enabled.store(false, std::memory_order_relaxed);
    return;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_enabled.store(m_target.stream() != nullptr, std::memory_order_relaxed);
}

void KxOstream::setMessageLevel(int level) {
  m_messageLevel.store(level, std::memory_order_relaxed);
  recompute();
}

void KxOstream::setThreshold(int level) {
  m_threshold.store(level, std::memory_order_relaxed);
  recompute();
}

void KxOstream::setEnabled(bool on) {
  if (!on) {
    m_enabled.store(false, std::memory_order_relaxed);
    return;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_enabled.store(m_target.stream() != nullptr, std::memory_order_relaxed);
}

std::ostream& KxOstream::pending() { return pendingFor(m_serial); }

KxOstream& KxOstream::operator<<(const char* text) {
  if (enabled()) {
    if (text != nullptr) {
      pending() << text;
    } else {
      pending() << "(null)";
    }
  }
  return *this;
}

KxOstream& KxOstream::operator<<(const std::string& text) { return put(text); }

KxOstream& KxOstream::operator<<(std::string_view text) { return put(text); }

KxOstream& KxOstream::operator<<(char c) {
  if (enabled()) pending().put(c);
  return *this;
}

KxOstream& KxOstream::operator<<(int v) { return put(v); }

KxOstream& KxOstream::operator<<(unsigned int v) { return put(v); }

KxOstream& KxOstream::operator<<(long v) { return put(v); }

KxOstream& KxOstream::operator<<(unsigned long v) { return put(v); }

KxOstream& KxOstream::operator<<(long long v) { return put(v); }

KxOstream& KxOstream::operator<<(unsigned long long v) { return put(v); }

KxOstream& KxOstream::operator<<(double v) { return put(v); }

KxOstream& KxOstream::operator<<(const void* address) { return put(address); }

KxOstream& KxOstream::operator<<(bool v) {
  if (enabled()) pending() << (v ? "true" : "false");
  return *this;
}

KxOstream& KxOstream::operator<<(std::ostream& (*manip)(std::ostream&)) {
  if (!enabled()) return *this;
  using Manip = std::ostream& (*)(std::ostream&);
  // std::endl and std::flush must reach the target, not only this thread's buffer.
  if (manip == static_cast<Manip>(std::endl)) {
    endLine();
  } else if (manip == static_cast<Manip>(std::flush)) {
    flushPending();
  } else {
    manip(pending());
  }
  return *this;
}

KxOstream& KxOstream::operator<<(std::ios_base& (*manip)(std::ios_base&)) {
  if (enabled()) manip(pending());
  return *this;
}

KxOstream& KxOstream::write(const char* data, std::streamsize length) {
  if (enabled() && data != nullptr && length > 0) pending().write(data, length);
  return *this;
}

void KxOstream::endLine() { handOver(true); }

void KxOstream::flushPending() { handOver(false); }

void KxOstream::handOver(bool lineEnds) {
  if (!enabled()) return;
  std::ostringstream& line = pendingFor(m_serial);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::ostream* out = m_target.stream() != nullptr ? m_target.stream() : &std::cout;
    std::string_view text = line.view();
    out->write(text.data(), static_cast<std::streamsize>(text.size()));
    if (lineEnds) out->put('\n');
    out->flush();
    if (lineEnds) m_target.countLine();
  }
  line.str(std::string());
}

void KxOstream::setCircular(int maxLines, const std::string& fileName) {
  // The file of init() that this stream wrote to until now may be the circular file itself: it
  // is closed first, so that its lines are whole in the ".old" generation, and since Windows
  // renames no file that is open. Lock order: the state's lock, then the stream's.
  const std::unique_lock<std::mutex> registry = KXIO::lockRegistry();
  std::lock_guard<std::mutex> lock(m_mutex);
  KXIO::closeRegisteredFile(m_target.stream());
  m_target.setCircular(maxLines, fileName);
}

void KxOstream::setTargetStream(std::ostream& stream) { setTargetStream(&stream); }

void KxOstream::setTargetStream(std::ostream* stream) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_target.setStream(stream);
}

KxOstream& endl(KxOstream& stream) {
  if (stream.enabled()) stream.endLine();
  return stream;
}

KxOstream& position(KxOstream& stream, const char* sourceFile, int line) {
  if (stream.enabled()) {
    stream << "[" << (sourceFile != nullptr ? sourceFile : "") << "," << line << "] ";
  }
  return stream;
}

KxOstream& operator<<(KxOstream& stream, const KxThis& item) {
  if (stream.enabled()) stream << "ths=" << item.address << " ";
  return stream;
}

// ---------------------------------------------------------------------------------------------
// KXIO

namespace KXIO {
namespace detail {
std::atomic<KxOstream*> g_streams[3] = {nullptr, nullptr, nullptr};
}  // namespace detail

namespace {

struct State {
  std::mutex mutex;  // serialises init, shutdown and the implicit first init
  bool initialised = false;
  bool useStdStream = false;
  bool kxerrIsKxout = false;
  std::vector<std::unique_ptr<std::ofstream>> registry;
  std::unique_ptr<KxOstream> out;
  std::unique_ptr<KxOstream> err;  // empty when kxerr shares kxout
  std::unique_ptr<KxOstream> log;
};

State& state() {
  static State* s = new State;  // never destroyed: streams stay usable during static teardown
  return *s;
}

void traceAll(KxOstream& stream) {
  stream.setEnabled(true);
  stream.setThreshold(KxLevel::kDebug);
}

std::unique_lock<std::mutex> lockRegistry() { return std::unique_lock<std::mutex>(state().mutex); }

void closeRegisteredFile(const std::ostream* stream) {
  for (auto& file : state().registry) {
    if (file.get() == stream) file->close();
  }
}

std::ofstream* openRegistered(State& s, const std::string& name) {
  // A file that cannot be opened is not reported: its lines are lost, the program goes on.
  s.registry.push_back(
      std::make_unique<std::ofstream>(name, std::ios::out | std::ios::trunc | std::ios::binary));
  return s.registry.back().get();
}

void initLocked(State& s, bool useStdStream, bool kxerrIsKxout, const std::string& kxoutFile,
                const std::string& kxerrFile, const std::string& kxlogFile, bool doTraceAll) {
  if (s.initialised) {
    KxOstream& out = *s.out;
    position(out, __FILE__, __LINE__) << " KXIO already initialized." << endl;
    return;
  }
  auto log = std::make_unique<KxOstream>();
  auto out = std::make_unique<KxOstream>();
  auto err = std::make_unique<KxOstream>();
  if (doTraceAll) {
    traceAll(*log);
    traceAll(*out);
    traceAll(*err);
  }
  if (useStdStream && (!kxoutFile.empty() || !kxerrFile.empty())) {
    position(*err, __FILE__, __LINE__)
        << "use_std_stream and kxout_file/kxerr_file are incompatible." << endl;
  }
  s.kxerrIsKxout = kxerrIsKxout;
  if (kxerrIsKxout && !kxerrFile.empty()) {
    position(*err, __FILE__, __LINE__) << "kxerr_is_kxout and kxerr_file are incompatible." << endl;
  }
  s.useStdStream = useStdStream;
  if (useStdStream) {
    out->setTargetStream(std::cout);
    if (kxerrIsKxout) {
      err.reset();
    } else {
      err->setTargetStream(std::cerr);
    }
  } else {
    out->setTargetStream(openRegistered(s, kxoutFile.empty() ? "kxout.log" : kxoutFile));
    if (kxerrIsKxout) {
      err.reset();
    } else {
      err->setTargetStream(openRegistered(s, kxerrFile.empty() ? "kxerr.log" : kxerrFile));
    }
    log->setTargetStream(openRegistered(s, kxlogFile.empty() ? "kxlog.log" : kxlogFile));
  }
  if (doTraceAll) {
    traceAll(*log);
    traceAll(*out);
    if (err) traceAll(*err);
  }
  position(*out, __FILE__, __LINE__) << " KXIO initialized." << endl;
  s.out = std::move(out);
  s.err = std::move(err);
  s.log = std::move(log);
  detail::g_streams[2].store(s.log.get(), std::memory_order_release);
  detail::g_streams[1].store(s.err ? s.err.get() : s.out.get(), std::memory_order_release);
  detail::g_streams[0].store(s.out.get(), std::memory_order_release);
  s.initialised = true;
}

}  // namespace

void init(bool useStdStream, bool kxerrIsKxout, const std::string& kxoutFile,
          const std::string& kxerrFile, const std::string& kxlogFile, bool traceAll) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  initLocked(s, useStdStream, kxerrIsKxout, kxoutFile, kxerrFile, kxlogFile, traceAll);
}

void shutdown() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.initialised) return;
  if (!s.useStdStream) {
    s.out->setTargetStream(std::cout);
    if (s.err) s.err->setTargetStream(std::cerr);
    s.log->setTargetStream(std::cout);
  }
  for (auto& file : s.registry) file->close();
  s.registry.clear();
  for (auto& stream : detail::g_streams) stream.store(nullptr, std::memory_order_release);
  s.out.reset();
  s.err.reset();
  s.log.reset();
  s.initialised = false;
}

bool isInitialised() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.initialised;
}

int levelFromName(std::string_view name) {
  struct Entry {
    std::string_view name;
    int level;
  };
  static constexpr Entry kTable[] = {
      {"SILENT", KxLevel::kSilent},       {"ERROR", KxLevel::kError},
      {"WARNING", KxLevel::kWarning},     {"APP0", KxLevel::kApp0},
      {"APP1", KxLevel::kApp1},           {"INTERNAL0", KxLevel::kInternal0},
      {"INTERNAL1", KxLevel::kInternal1}, {"INTERNAL2", KxLevel::kInternal2},
      {"INTERNAL3", KxLevel::kInternal3}, {"DEBUG", KxLevel::kDebug},
  };
  for (const Entry& e : kTable) {
    if (e.name == name) return e.level;
  }
  return KxLevel::kSilent;
}

void setAllEnabled(bool on) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.initialised) initLocked(s, true, true, "", "", "", false);
  s.out->setEnabled(on);
  if (s.err) s.err->setEnabled(on);
  s.log->setEnabled(on);
}

namespace detail {
KxOstream& initDefault(int which) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.initialised) initLocked(s, true, true, "", "", "", false);
  return *g_streams[which].load(std::memory_order_acquire);
}
}  // namespace detail

}  // namespace KXIO

// ---------------------------------------------------------------------------------------------
// ScopeTracer

namespace {

std::atomic<int> g_traceDepth{0};

void writeStamp(KxOstream& out, int depth) {
  int blanks = std::clamp(depth, 0, ScopeTracer::kMaxIndent);
  out << KxDate(false).toString() << std::string_view("                              ", blanks);
}

}  // namespace

ScopeTracer::ScopeTracer(const char* functionName, const char* sourceFile, int line)
    : m_name(functionName != nullptr ? functionName : "") {
  enter(sourceFile, line);
}

ScopeTracer::ScopeTracer(std::string functionName, const char* sourceFile, int line)
    : m_ownedName(std::move(functionName)) {
  m_name = m_ownedName;
  enter(sourceFile, line);
}

void ScopeTracer::enter(const char* sourceFile, int line) {
  int depth = g_traceDepth.fetch_add(1, std::memory_order_relaxed) + 1;
  KxOstream& out = kxout;
  if (!out.enabled()) return;
  writeStamp(out, depth);
  out << "> " << m_name << "() ";
  position(out, sourceFile, line) << " " << endl;
}

ScopeTracer::~ScopeTracer() {
  KxOstream& out = kxout;
  if (out.enabled()) {
    // The exit line is best effort: a failure to format must not escape a destructor that may
    // run while an exception unwinds.
    try {
      writeStamp(out, g_traceDepth.load(std::memory_order_relaxed));
      out << "< " << m_name << "()" << endl;
    } catch (...) {
    }
  }
  g_traceDepth.fetch_sub(1, std::memory_order_relaxed);
}

int ScopeTracer::depth() { return g_traceDepth.load(std::memory_order_relaxed); }

// ---------------------------------------------------------------------------------------------
// ActivityLog

namespace {

struct ActivityState {
  std::mutex mutex;
  std::unique_ptr<std::ofstream> file;
  std::ostream* target = nullptr;  // nullptr: standard output
};

ActivityState& activityState() {
  static ActivityState* s = new ActivityState;  // outlives every thread's writer
  return *s;
}

// Collects one thread's text and hands every finished line (and every flush) to the log whole.
class ActivityBuf : public std::streambuf {
 public:
  ~ActivityBuf() override { commit(m_text.size()); }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    char ch = traits_type::to_char_type(c);
    m_text.push_back(ch);
    if (ch == '\n') commit(m_text.size());
    return c;
  }

  std::streamsize xsputn(const char* s, std::streamsize n) override {
    if (n <= 0) return 0;
    m_text.append(s, static_cast<size_t>(n));
    size_t newline = m_text.rfind('\n');
    if (newline != std::string::npos) commit(newline + 1);
    return n;
  }

  int sync() override {
    commit(m_text.size());
    return 0;
  }

 private:
  void commit(size_t length) {
    if (length == 0) return;
    ActivityState& s = activityState();
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      std::ostream* out = s.target != nullptr ? s.target : &std::cout;
      out->write(m_text.data(), static_cast<std::streamsize>(length));
      out->flush();
    }
    m_text.erase(0, length);
  }

  std::string m_text;
};

struct ActivityWriter {
  ActivityWriter() { stream.imbue(std::locale::classic()); }
  ActivityBuf buffer;
  std::ostream stream{&buffer};
};

}  // namespace

void ActivityLog::open(const std::string& path) {
  ActivityState& s = activityState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.target = nullptr;
  s.file =
      std::make_unique<std::ofstream>(path, std::ios::out | std::ios::trunc | std::ios::binary);
  s.target = s.file.get();
}

void ActivityLog::close() {
  ActivityState& s = activityState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.target = nullptr;
  s.file.reset();
}

std::ostream& ActivityLog::stream() {
  thread_local ActivityWriter* writer = nullptr;
  if (writer == nullptr) writer = kxthread::makeOwned<ActivityWriter>();
  return writer->stream;
}

void ActivityLog::report(const char* sourceFile, int line, const std::string& text, bool isError) {
  position(kxerr, sourceFile, line) << text << endl;
  stream() << (isError ? "ERROR: " : "") << text << std::endl;
}
