#ifndef ZV_TESTS_SUPPORT_LOG_CAPTURE_H_
#define ZV_TESTS_SUPPORT_LOG_CAPTURE_H_

// Sends the logger's standard stream into a string for the lifetime of the
// object and sets the process-wide switches (glog off, the given threshold,
// debug and profile modes); restores all of them on destruction. Every
// thread may log into it, so a test can await a line written by another
// thread (a health-check thread, say) instead of sleeping. Destroy it only
// after every thread that logs into it has stopped.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>

#include "platform/log_stream.h"

namespace zvtest {

// Occurrences of `needle` in `text`.
inline int CountOf(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos;
       pos = text.find(needle, pos + needle.size())) {
    ++n;
  }
  return n;
}

class LogCapture {
 public:
  // `threshold` 0 prints every level.
  explicit LogCapture(int threshold = 0, bool debug = false,
                      bool profile = false)
      : out_(&buffer_),
        saved_stream_(zva::logger::stream.exchange(&out_)),
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

  std::string Text() const { return buffer_.Text(); }
  int Count(const std::string& needle) const {
    return CountOf(buffer_.Text(), needle);
  }
  bool Contains(const std::string& needle) const {
    return buffer_.Text().find(needle) != std::string::npos;
  }
  void Clear() { buffer_.Clear(); }

  // Waits until `needle` was logged at least `n` times; false after
  // `timeout`, which only guards against a hang.
  bool WaitFor(const std::string& needle, int n = 1,
               std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    return buffer_.WaitUntil(
        [&](const std::string& text) { return CountOf(text, needle) >= n; },
        timeout);
  }

 private:
  using Logger = zva::logger::CLogger;

  class Buffer : public std::streambuf {
   public:
    std::string Text() const {
      std::lock_guard<std::mutex> lock(mtx_);
      return text_;
    }
    void Clear() {
      std::lock_guard<std::mutex> lock(mtx_);
      text_.clear();
    }
    template <typename Predicate>
    bool WaitUntil(Predicate predicate, std::chrono::milliseconds timeout) {
      std::unique_lock<std::mutex> lock(mtx_);
      return cv_.wait_for(lock, timeout, [&] { return predicate(text_); });
    }

   protected:
    int_type overflow(int_type c) override {
      if (c == traits_type::eof()) return traits_type::not_eof(c);
      {
        std::lock_guard<std::mutex> lock(mtx_);
        text_.push_back(traits_type::to_char_type(c));
      }
      cv_.notify_all();
      return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
      {
        std::lock_guard<std::mutex> lock(mtx_);
        text_.append(s, static_cast<size_t>(n));
      }
      cv_.notify_all();
      return n;
    }

   private:
    mutable std::mutex mtx_;
    std::condition_variable cv_;
    std::string text_;
  };

  Buffer buffer_;
  std::ostream out_;
  std::ostream* saved_stream_;
  int saved_threshold_;
  bool saved_debug_;
  bool saved_profile_;
  bool saved_enabled_;
};

}  // namespace zvtest

#endif  // ZV_TESTS_SUPPORT_LOG_CAPTURE_H_
