#ifndef ZV_TESTS_UNIT_LOG_WATCH_H_
#define ZV_TESTS_UNIT_LOG_WATCH_H_

// A thread-safe sink for the logger's standard stream, so that a test can
// await a log line written by another thread (a health-check thread, say)
// instead of sleeping. Installs itself for its lifetime with every level
// printed; restores the previous stream and switches on destruction. Destroy
// it only after every thread that logs has stopped.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>

#include "platform/log_stream.h"

namespace zvtest {

class LogWatch {
 public:
  explicit LogWatch(bool debug = false)
      : out_(&buffer_),
        saved_stream_(zva::logger::stream.exchange(&out_)),
        saved_threshold_(Logger::zva_stderrthreshold_.exchange(0)),
        saved_debug_(Logger::is_debug_mode_.exchange(debug)),
        saved_enabled_(Logger::is_logging_enabled_.exchange(false)) {}

  ~LogWatch() {
    zva::logger::stream = saved_stream_;
    Logger::zva_stderrthreshold_ = saved_threshold_;
    Logger::is_debug_mode_ = saved_debug_;
    Logger::is_logging_enabled_ = saved_enabled_;
  }

  LogWatch(const LogWatch&) = delete;
  LogWatch& operator=(const LogWatch&) = delete;

  std::string Text() const { return buffer_.Text(); }
  int Count(const std::string& needle) const {
    return CountIn(buffer_.Text(), needle);
  }
  void Clear() { buffer_.Clear(); }

  // Waits until `needle` was logged at least `n` times; false after
  // `timeout`, which only guards against a hang.
  bool WaitFor(const std::string& needle, int n = 1,
               std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    return buffer_.WaitUntil(
        [&](const std::string& text) { return CountIn(text, needle) >= n; },
        timeout);
  }

  static int CountIn(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos;
         pos = text.find(needle, pos + needle.size())) {
      ++n;
    }
    return n;
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
    int overflow(int c) override {
      if (c == traits_type::eof()) return traits_type::not_eof(c);
      {
        std::lock_guard<std::mutex> lock(mtx_);
        text_.push_back(static_cast<char>(c));
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
  bool saved_enabled_;
};

}  // namespace zvtest

#endif  // ZV_TESTS_UNIT_LOG_WATCH_H_
