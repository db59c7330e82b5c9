// Trace and log streams of the whole program.
//
// KXIO keeps three level-filtered trace streams, reached through the expressions `kxout`
// (developer trace), `kxerr` (error reports, usually the very same object as kxout) and `kxlog`.
// Each is a KxOstream writing to its TraceTarget: standard output, standard error, a file opened
// by KXIO::init (owned by the KXIO registry) or a rotating file opened by setCircular (owned by
// the target). The first use of kxout/kxerr/kxlog initialises KXIO on the standard streams with
// every stream disabled.
//
//   KX_SCOPE("DyxViewManager::createView");          // entry line now, exit line at scope end
//   kxout << kxParam("view_tag", tag) << kxThis(this) << endl;
//   KX_POS(kxerr) << "Unknown view tag: " << tag << endl;
//   ActivityLog::stream() << "ERROR: in file: " << f << std::endl;
//
// Threads: any thread may write to any stream. Each thread gathers the text of a line in a buffer
// of its own and `endl` hands the finished line to the target under the stream's lock, so lines
// of different threads never mix inside a line and the rotation counts every line exactly once.
// A disabled stream costs one flag test per insertion and takes no lock. KXIO::init and
// KXIO::shutdown belong to start-up and shutdown, when no other thread writes. ActivityLog is
// safe for several writers in the same way (one buffer per thread, whole lines written).
#pragma once

#include <atomic>
#include <cstdint>
#include <fstream>
#include <ios>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>

// Trace levels. A stream writes when its threshold is at least the message level (always APP0).
namespace KxLevel {
inline constexpr int kSilent = 0;
inline constexpr int kError = 1;
inline constexpr int kWarning = 2;
inline constexpr int kApp0 = 10;
inline constexpr int kApp1 = 11;
inline constexpr int kInternal0 = 20;
inline constexpr int kInternal1 = 21;
inline constexpr int kInternal2 = 22;
inline constexpr int kInternal3 = 23;
inline constexpr int kDebug = 100;
}  // namespace KxLevel

// Where a trace stream writes, and the rotation state of a circular trace file. Owned by its
// KxOstream, which calls it only under the stream's lock.
class TraceTarget {
 public:
  TraceTarget();
  ~TraceTarget();
  TraceTarget(const TraceTarget&) = delete;
  TraceTarget& operator=(const TraceTarget&) = delete;

  // The stream written to; nullptr means "none" and the writer falls back to standard output.
  std::ostream* stream() const { return m_stream; }
  // Replaces the stream without closing the old one. The target does not own `stream`.
  void setStream(std::ostream* stream) { m_stream = stream; }

  // Empty name: a message on standard error, nothing changes. Otherwise the target becomes
  // circular on `fileName` and rotates at once.
  void setCircular(int maxLines, const std::string& fileName);
  // Renames the circular file to name + ".old" and starts an empty one owned by the target.
  void rotate();
  // Counts one finished line; a circular target that reached maxLines rotates.
  void countLine();

  const std::string& circularName() const { return m_circularName; }
  bool circular() const { return m_circular; }
  int lineCount() const { return m_lineCount; }
  int maxLines() const { return m_maxLines; }

 private:
  std::ostream* m_stream;                         // never owns; may point at m_circularFile
  std::unique_ptr<std::ofstream> m_circularFile;  // the live generation of a circular target
  std::string m_circularName;
  bool m_circular = false;
  int m_lineCount = 0;
  int m_maxLines = 10000;
};

class KxOstream {
 public:
  KxOstream();
  ~KxOstream();
  KxOstream(const KxOstream&) = delete;
  KxOstream& operator=(const KxOstream&) = delete;

  // The one flag every write tests first.
  bool enabled() const { return m_enabled.load(std::memory_order_relaxed); }

  // Both store the value and recompute `enabled`: on when threshold >= messageLevel and the
  // target has a stream.
  void setMessageLevel(int level);
  void setThreshold(int level);
  int messageLevel() const { return m_messageLevel.load(std::memory_order_relaxed); }
  int threshold() const { return m_threshold.load(std::memory_order_relaxed); }
  // on: enabled becomes whether the target has a stream; off: disabled. Levels stay.
  void setEnabled(bool on);

  KxOstream& operator<<(const char* text);
  KxOstream& operator<<(const std::string& text);
  KxOstream& operator<<(std::string_view text);
  KxOstream& operator<<(char c);
  KxOstream& operator<<(int v);
  KxOstream& operator<<(unsigned int v);
  KxOstream& operator<<(long v);
  KxOstream& operator<<(unsigned long v);
  KxOstream& operator<<(long long v);
  KxOstream& operator<<(unsigned long long v);
  KxOstream& operator<<(double v);
  KxOstream& operator<<(const void* address);
  KxOstream& operator<<(bool v);  // the words "true" and "false"
  KxOstream& operator<<(std::ostream& (*manip)(std::ostream&));
  KxOstream& operator<<(std::ios_base& (*manip)(std::ios_base&));
  KxOstream& operator<<(KxOstream& (*manip)(KxOstream&)) { return manip(*this); }
  KxOstream& write(const char* data, std::streamsize length);

  // This thread's unfinished line for this stream. Call only while enabled().
  std::ostream& pending();
  // Hands this thread's line to the target with "\n", flushes, counts the line for rotation.
  void endLine();
  // Hands this thread's unfinished text to the target without ending the line.
  void flushPending();

  void setCircular(int maxLines, const std::string& fileName);
  // Replaces the target's stream without closing the old one; `stream` must outlive its use.
  void setTargetStream(std::ostream& stream);
  void setTargetStream(std::ostream* stream);
  // Read without the lock: for tests and dumps only.
  const TraceTarget& target() const { return m_target; }

 private:
  void recompute();
  // Writes this thread's text to the target under the lock; a line end is counted for rotation.
  void handOver(bool lineEnds);
  template <class T>
  KxOstream& put(const T& value) {
    if (enabled()) pending() << value;
    return *this;
  }

  std::atomic<bool> m_enabled{false};
  std::atomic<int> m_messageLevel{KxLevel::kApp0};
  std::atomic<int> m_threshold{KxLevel::kApp0};
  const std::uint64_t m_serial;  // tells this stream's per-thread line buffers from others'
  std::mutex m_mutex;            // guards m_target
  TraceTarget m_target;
};

// The line end of the trace streams (global, next to std::endl, never instead of it).
KxOstream& endl(KxOstream& stream);

// Anything a std::ostream can print, printed the same way (paths, enums, ...).
// (The stream type is deduced so that the check of `o << v` never considers this template.)
template <class S, class T>
requires(std::is_same_v<S, KxOstream> && !std::is_function_v<T> &&
         requires(std::ostream & o, const T& v) { o << v; }) S&
operator<<(S& stream, const T& value) {
  if (stream.enabled()) stream.pending() << value;
  return stream;
}

// Writes "[file,line] " and returns the stream; nothing at all when the stream is disabled.
KxOstream& position(KxOstream& stream, const char* sourceFile, int line);

namespace KXIO {
// Sets up the three streams. Empty names mean "kxout.log", "kxerr.log", "kxlog.log". A second
// call writes " KXIO already initialized." and changes nothing.
void init(bool useStdStream, bool kxerrIsKxout, const std::string& kxoutFile,
          const std::string& kxerrFile, const std::string& kxlogFile, bool traceAll);
// Closes every file that init opened and destroys the streams; nothing when not initialised.
void shutdown();
bool isInitialised();
// Level of a name ("SILENT", "ERROR", ..., "DEBUG"), exact and case-sensitive; others give 0.
int levelFromName(std::string_view name);
// Initialises on the standard streams if needed, then switches all three streams on or off.
void setAllEnabled(bool on);

namespace detail {
extern std::atomic<KxOstream*> g_streams[3];  // kxout, kxerr, kxlog
KxOstream& initDefault(int which);
}  // namespace detail

inline KxOstream& out() {
  KxOstream* s = detail::g_streams[0].load(std::memory_order_acquire);
  return s ? *s : detail::initDefault(0);
}
inline KxOstream& err() {
  KxOstream* s = detail::g_streams[1].load(std::memory_order_acquire);
  return s ? *s : detail::initDefault(1);
}
inline KxOstream& log() {
  KxOstream* s = detail::g_streams[2].load(std::memory_order_acquire);
  return s ? *s : detail::initDefault(2);
}
}  // namespace KXIO

#define kxout (::KXIO::out())
#define kxerr (::KXIO::err())
#define kxlog (::KXIO::log())

// Writes the entry line of a traced call on construction and the exit line on destruction, so
// the exit line appears also when an exception leaves the scope. The nesting depth is shared by
// all threads and moves whether or not kxout is enabled; a disabled kxout costs no clock read
// and no formatting.
class ScopeTracer {
 public:
  // `functionName` must outlive the tracer (a literal): it is not copied.
  ScopeTracer(const char* functionName, const char* sourceFile, int line);
  // A computed name is copied.
  ScopeTracer(std::string functionName, const char* sourceFile, int line);
  ~ScopeTracer();
  ScopeTracer(const ScopeTracer&) = delete;
  ScopeTracer& operator=(const ScopeTracer&) = delete;

  static int depth();
  // Indentation never exceeds this many blanks.
  static constexpr int kMaxIndent = 30;

 private:
  void enter(const char* sourceFile, int line);

  std::string m_ownedName;
  std::string_view m_name;
};

#define KX_CONCAT_INNER(a, b) a##b
#define KX_CONCAT(a, b) KX_CONCAT_INNER(a, b)
#define KX_SCOPE(name) \
  ::ScopeTracer KX_CONCAT(kxScopeTracer_, __COUNTER__)((name), __FILE__, __LINE__)
#define KX_POS(stream) ::position((stream), __FILE__, __LINE__)

// Items of a parameter line: kxout << kxParam("dir_name", d) << kxThis(this) << endl; gives
// `dir_name="/a" ths=0x... `. A bool value is written as true or false.
template <class T>
struct KxParam {
  const char* prefix;  // "ths->" for members, "" otherwise
  const char* key;
  const T& value;
};
template <class T>
KxParam<T> kxParam(const char* key, const T& value) {
  return KxParam<T>{"", key, value};
}
// A member of the traced object: kxMember("m_file", m_file) gives ths->m_file="..." .
template <class T>
KxParam<T> kxMember(const char* member, const T& value) {
  return KxParam<T>{"ths->", member, value};
}
template <class T>
KxOstream& operator<<(KxOstream& stream, const KxParam<T>& item) {
  if (stream.enabled()) stream << item.prefix << item.key << "=\"" << item.value << "\" ";
  return stream;
}
struct KxThis {
  const void* address;
};
inline KxThis kxThis(const void* address) { return KxThis{address}; }
KxOstream& operator<<(KxOstream& stream, const KxThis& item);

// The activity log: short user-facing lines, no level filter. Standard output until open().
class ActivityLog {
 public:
  // Closes the current file, then creates or empties `path` and writes there.
  static void open(const std::string& path);
  // Back to standard output; a file is closed.
  static void close();
  // This thread's writer: each finished line ("\n") and each flush reach the log whole.
  static std::ostream& stream();
  // One message for the user and the developer alike: `text` as a positioned line on kxerr and
  // as a line of the activity log, there prefixed with "ERROR: " when `isError`. Use KX_REPORT.
  static void report(const char* sourceFile, int line, const std::string& text, bool isError);
};
#define KX_REPORT(text, isError) ::ActivityLog::report(__FILE__, __LINE__, (text), (isError))
