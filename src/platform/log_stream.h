#ifndef ZVA_PLATFORM_LOG_STREAM_H_
#define ZVA_PLATFORM_LOG_STREAM_H_

#include <atomic>
#include <chrono>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>

namespace zva {
namespace logger {

// Levels of a message. Any other value emits nothing.
enum LogLevel { INFO = 0, WARNING = 1, ERROR = 2, DEBUG = 3, FATAL = 4 };

// The standard stream used while glog is off. Default: standard output.
// Written only by CLogger::Init (and by tests before they log).
extern std::atomic<std::ostream*> stream;

// A scoped logger for one operation. Text accumulates through stream
// insertion and is emitted by inserting a LogLevel; the logger can emit
// several messages one after another. A logger with a name reports, when
// destroyed, how long it lived. Text never emitted is written raw to standard
// output on destruction.
//
// The text stream is made on the first insertion: every call on the
// inference path makes loggers that, by default, never receive a word.
//
// Not thread-safe: a CLogger belongs to the block that created it. The
// process-wide switches are written by Init, which the library calls once
// under its own mutex, and are read lock-free everywhere else.
class CLogger {
 public:
  explicit CLogger(const std::string& name = std::string());
  ~CLogger();

  CLogger(const CLogger&) = delete;
  CLogger& operator=(const CLogger&) = delete;

  // Reads the environment and sets the process-wide switches. Not guarded
  // against a second call; zva::InitLogging calls it once per process.
  // A glog that the host process started already is used as it is (its
  // flags untouched); glog's failure signal handler is installed only when
  // none of the signals it takes has a handler, otherwise a WARNING says so.
  static void Init(const char* log_location, const char* program_name);
  // Shuts glog down when this library started it; otherwise does nothing.
  static void Shutdown();
  // Local time as ctime text plus ", " and six digits of microseconds and
  // "us", for example "Sun Dec  6 22:13:07 2026, 004512us".
  static std::string GetTimeStampInMicroseconds();

  // Whether a message at `level` would be written anywhere with the current
  // switches. Lets a caller on a busy path skip formatting a message that
  // would be thrown away (by default only ERROR is written). An INFO message
  // that profile mode would print counts as written.
  static bool Enabled(LogLevel level);

  // Emits the pending text at `level` and empties it.
  void Emit(LogLevel level);

  // Where insertions go.
  std::ostream& Stream() {
    if (!text_) text_.emplace();
    return *text_;
  }
  // The text inserted and not emitted yet.
  std::string str() const { return text_ ? text_->str() : std::string(); }

  // Process-wide state; written by Init only.
  static std::atomic<bool> is_logging_enabled_;
  static std::atomic<bool> is_debug_mode_;
  static std::atomic<bool> is_profile_mode_;
  static std::atomic<int> zva_stderrthreshold_;
  static std::string log_file_location_;

 private:
  std::optional<std::ostringstream> text_;
  std::string name_;
  std::chrono::system_clock::time_point start_time_;
};

// Emits the logger's text at `level`; returns the same logger.
CLogger& operator<<(CLogger& logger, LogLevel level);

// Keeps a chain of insertions typed as CLogger, so that
// `log << "text" << value << INFO;` reaches the level operator above.
template <typename T>
CLogger& operator<<(CLogger& logger, const T& value) {
  logger.Stream() << value;
  return logger;
}

// Stream manipulators such as std::endl keep the chain typed as CLogger too;
// without this, `log << std::endl << INFO` would print the level as a number.
inline CLogger& operator<<(CLogger& logger,
                           std::ostream& (*manipulator)(std::ostream&)) {
  manipulator(logger.Stream());
  return logger;
}

// Writes "[" + time stamp + "] " + text onto `stream` in one insertion.
void logToStdStream(const std::string& text);

// The failure writer handed to glog's crash handler.
void WriteFailure(const char* data, int size);

}  // namespace logger
}  // namespace zva

#endif  // ZVA_PLATFORM_LOG_STREAM_H_
