#include "platform/log_stream.h"

#include <fcntl.h>
#include <glog/logging.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <mutex>

namespace zva {
namespace logger {

std::atomic<std::ostream*> stream{&std::cout};

std::atomic<bool> CLogger::is_logging_enabled_{false};
std::atomic<bool> CLogger::is_debug_mode_{false};
std::atomic<bool> CLogger::is_profile_mode_{false};
std::atomic<int> CLogger::zva_stderrthreshold_{2};
std::string CLogger::log_file_location_;

namespace {

constexpr int kDefaultThreshold = 2;
constexpr char kProfilePrefix[] = "[PROFILE]";

bool EnvIsOne(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && std::strcmp(v, "1") == 0;
}

// Decimal with strtol rules (leading blanks and a sign allowed, trailing text
// ignored). False when there is no digit or the number leaves the int range.
bool ParseInt32(const char* text, int* out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (end == text) return false;
  if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  *out = static_cast<int>(v);
  return true;
}

void GlogFailureWriter(const char* data, size_t size) {
  WriteFailure(data, size > static_cast<size_t>(INT_MAX) ? INT_MAX
                                                         : static_cast<int>(size));
}

void WriteToGlog(google::LogSeverity severity, const std::string& text) {
  google::LogMessage(__FILE__, __LINE__, severity).stream() << text;
}

// Whether this library started glog, and so may shut it down. Written by
// Init and Shutdown only.
std::atomic<bool> s_glog_started_here{false};

// The signals glog's failure signal handler takes over.
constexpr struct {
  int number;
  const char* name;
} kFailureSignals[] = {{SIGSEGV, "SIGSEGV"}, {SIGILL, "SIGILL"},
                       {SIGFPE, "SIGFPE"},   {SIGABRT, "SIGABRT"},
                       {SIGBUS, "SIGBUS"},   {SIGTERM, "SIGTERM"}};

// The name of the first of kFailureSignals whose action is not the default
// one (a handler of the host, or an ignore); null when all are at their
// default.
const char* FirstTakenFailureSignal() {
  for (const auto& signal : kFailureSignals) {
    struct sigaction current;
    std::memset(&current, 0, sizeof(current));
    if (sigaction(signal.number, nullptr, &current) != 0 ||
        (current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) {
      return signal.name;
    }
  }
  return nullptr;
}

}  // namespace

CLogger::CLogger(const std::string& name) : name_(name) {
  if (!name_.empty()) start_time_ = std::chrono::system_clock::now();
}

CLogger::~CLogger() {
  std::string pending = str();
  if (!pending.empty()) std::cout << pending;
  if (!name_.empty() && Enabled(INFO)) {
    auto elapsed = std::chrono::system_clock::now() - start_time_;
    double ms =
        std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() /
        1000000.0;
    if (text_) text_->str(std::string());
    *this << name_ << " took " << ms << " milliseconds\n";
    Emit(INFO);
  }
}

bool CLogger::Enabled(LogLevel level) {
  const bool debug = is_debug_mode_.load(std::memory_order_relaxed);
  if (is_logging_enabled_.load(std::memory_order_relaxed)) {
    return level != DEBUG || debug;
  }
  const int threshold = zva_stderrthreshold_.load(std::memory_order_relaxed);
  switch (level) {
    case INFO:
      return threshold == 0 || is_profile_mode_.load(std::memory_order_relaxed);
    case WARNING:
      return threshold <= 1;
    case ERROR:
      return threshold <= 2;
    case DEBUG:
      return debug && threshold == 0;
    case FATAL:
      return threshold <= 4;
  }
  return false;
}

void CLogger::Emit(LogLevel level) {
  std::string text = str();
  if (text_) text_->str(std::string());
  if (is_logging_enabled_.load(std::memory_order_relaxed)) {
    switch (level) {
      case INFO:
        WriteToGlog(google::GLOG_INFO, text);
        break;
      case WARNING:
        WriteToGlog(google::GLOG_WARNING, text);
        break;
      case ERROR:
        WriteToGlog(google::GLOG_ERROR, text);
        break;
      case DEBUG:
        if (is_debug_mode_.load(std::memory_order_relaxed)) {
          WriteToGlog(google::GLOG_INFO, text);
        }
        break;
      case FATAL:
        WriteToGlog(google::GLOG_FATAL, text);
        break;
    }
    return;
  }
  const int threshold = zva_stderrthreshold_.load(std::memory_order_relaxed);
  bool print = false;
  switch (level) {
    case INFO:
      print = threshold == 0 ||
              (is_profile_mode_.load(std::memory_order_relaxed) &&
               text.compare(0, sizeof(kProfilePrefix) - 1, kProfilePrefix) == 0);
      break;
    case WARNING:
      print = threshold <= 1;
      break;
    case ERROR:
      print = threshold <= 2;
      break;
    case DEBUG:
      print = is_debug_mode_.load(std::memory_order_relaxed) && threshold == 0;
      break;
    case FATAL:
      print = threshold <= 4;
      break;
  }
  if (print) logToStdStream(text);
}

CLogger& operator<<(CLogger& logger, LogLevel level) {
  logger.Emit(level);
  return logger;
}

std::string CLogger::GetTimeStampInMicroseconds() {
  // Every call is stamped with this text. localtime_r takes a process-wide
  // lock, and the date part changes once a second: each thread keeps the
  // last one it made.
  struct DatePart {
    std::time_t second = -1;
    char text[40] = {};
    std::size_t length = 0;
  };
  thread_local DatePart date;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  if (now.tv_sec != date.second) {
    std::tm local{};
    date.length = 0;
    if (::localtime_r(&now.tv_sec, &local) != nullptr) {
      // ctime's layout, without its shared buffer.
      date.length = std::strftime(date.text, sizeof(date.text),
                                  "%a %b %e %H:%M:%S %Y", &local);
    }
    date.second = now.tv_sec;
  }
  char text[64];
  std::memcpy(text, date.text, date.length);
  const int tail =
      std::snprintf(text + date.length, sizeof(text) - date.length, ", %06ldus",
                    static_cast<long>(now.tv_nsec / 1000));
  return std::string(text, date.length + static_cast<std::size_t>(tail));
}

void logToStdStream(const std::string& text) {
  std::string line = "[" + CLogger::GetTimeStampInMicroseconds() + "] " + text;
  *stream.load() << line;
}

void CLogger::Init(const char* log_location, const char* program_name) {
  log_file_location_ = log_location != nullptr ? log_location : "";

  // The host process may handle any of these signals itself; glog's
  // handler would take all of them over, so it goes in only when none is
  // taken. Said once, below, when the log is ready.
  const char* skipped_for_signal = nullptr;
  if (EnvIsOne("ZV_USE_SEGFAULT_HANDLER")) {
    skipped_for_signal = FirstTakenFailureSignal();
    if (skipped_for_signal == nullptr) {
      google::InstallFailureSignalHandler();
      google::InstallFailureWriter(&GlogFailureWriter);
    }
  }
  if (EnvIsOne("ZV_DEBUG_MODE")) is_debug_mode_ = true;
  if (EnvIsOne("ZV_PROFILE_MODE")) is_profile_mode_ = true;
  stream = EnvIsOne("ZV_LOG_TO_STDERR") ? &std::cerr : &std::cout;

  const char* enable = std::getenv("ZV_ENABLE_LOGGING");
  if (enable != nullptr && std::strcmp(enable, "0") != 0) {
    is_logging_enabled_ = true;
    if (google::IsGoogleLoggingInitialized()) {
      // The host uses glog already: a second start would abort it, and its
      // flags and its lifetime are its own. The library only writes into it.
      s_glog_started_here = false;
    } else {
      // Made directly rather than through a shell: the path comes from HOME
      // and must never be interpreted as a command line.
      std::error_code ec;
      std::filesystem::create_directories(log_file_location_, ec);
      if (std::getenv("GLOG_minloglevel") == nullptr) FLAGS_minloglevel = 2;
      if (std::getenv("GLOG_log_dir") == nullptr) {
        FLAGS_log_dir = log_file_location_;
      }
      int glog_threshold = kDefaultThreshold;
      if (const char* t = std::getenv("GLOG_stderrthreshold")) {
        if (!ParseInt32(t, &glog_threshold)) glog_threshold = kDefaultThreshold;
      }
      FLAGS_stderrthreshold = glog_threshold;
      // Glog keeps the pointer it is given for the life of the process.
      static const std::string s_program_name =
          program_name != nullptr ? program_name : "zv.log";
      google::InitGoogleLogging(s_program_name.c_str());
      s_glog_started_here = true;
    }
  } else if (const char* t = std::getenv("ZV_STDERRTHRESHOLD")) {
    char* end = nullptr;
    std::strtol(t, &end, 10);
    int value = kDefaultThreshold;
    if (end == t) {
      // Onto the log's own stream, not through the logger: a program that
      // sends the log to standard error keeps standard output for its
      // results (zv --json).
      *stream.load() << "ZV_STDERRTHRESHOLD is set to an invalid value: " << t
                     << " . Acceptable values are 0,1,2,3. For now, picking "
                        "up default value of 2.\n";
    } else if (!ParseInt32(t, &value)) {
      value = kDefaultThreshold;
    }
    zva_stderrthreshold_ = value;
  }

  if (skipped_for_signal != nullptr) {
    CLogger log;
    log << "ZV_USE_SEGFAULT_HANDLER: the failure signal handler was not "
           "installed, because the process already handles "
        << skipped_for_signal << "\n"
        << WARNING;
  }
}

void CLogger::Shutdown() {
  // Only a glog this library started is shut down, and only once: the
  // host's glog is the host's to end.
  if (is_logging_enabled_ && s_glog_started_here.exchange(false) &&
      google::IsGoogleLoggingInitialized()) {
    google::ShutdownGoogleLogging();
  }
}

void WriteFailure(const char* data, int size) {
  if (data == nullptr || size <= 0) return;
  // Runs inside a crash handler: raw writes only, no allocation on this path.
  ssize_t ignored = ::write(2, data, static_cast<size_t>(size));
  (void)ignored;
  if (!CLogger::is_logging_enabled_) return;
  int fd = ::open(CLogger::log_file_location_.c_str(),
                  O_WRONLY | O_APPEND | O_CREAT, 0644);
  if (fd >= 0) {
    ignored = ::write(fd, data, static_cast<size_t>(size));
  }
  for (int severity = 0; severity <= 3; ++severity) {
    google::FlushLogFiles(severity);
  }
  if (fd >= 0) ::close(fd);
}

}  // namespace logger
}  // namespace zva
