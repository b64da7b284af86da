#ifndef ZV_TESTS_UNIT_LOG_CAPTURE_H_
#define ZV_TESTS_UNIT_LOG_CAPTURE_H_

// Redirects the logger's standard stream into a string for the lifetime of
// the object and sets the process-wide switches; restores all of them on
// destruction. Glog must be off (it is, unless a test turned it on).

#include <sstream>
#include <string>

#include "platform/log_stream.h"

namespace zvtest {

class LogCapture {
 public:
  explicit LogCapture(int threshold = 0, bool debug = false,
                      bool profile = false)
      : saved_stream_(zva::logger::stream.exchange(&out_)),
        saved_threshold_(Logger::zva_stderrthreshold_.exchange(threshold)),
        saved_debug_(Logger::is_debug_mode_.exchange(debug)),
        saved_profile_(Logger::is_profile_mode_.exchange(profile)),
        saved_enabled_(Logger::is_logging_enabled_.exchange(false)) {}

  ~LogCapture() {
    zva::logger::stream = saved_stream_;
    Logger::zva_stderrthreshold_ = saved_threshold_;
    Logger::is_debug_mode_ = saved_debug_;
    Logger::is_profile_mode_ = saved_profile_;
    Logger::is_logging_enabled_ = saved_enabled_;
  }

  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string Text() const { return out_.str(); }
  void Clear() { out_.str(std::string()); }

 private:
  using Logger = zva::logger::CLogger;
  std::ostringstream out_;
  std::ostream* saved_stream_;
  int saved_threshold_;
  bool saved_debug_;
  bool saved_profile_;
  bool saved_enabled_;
};

// Occurrences of `needle` in `text`.
inline int CountOf(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos;
       pos = text.find(needle, pos + needle.size())) {
    ++n;
  }
  return n;
}

}  // namespace zvtest

#endif  // ZV_TESTS_UNIT_LOG_CAPTURE_H_
