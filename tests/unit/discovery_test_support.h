#ifndef ZVA_TESTS_UNIT_DISCOVERY_TEST_SUPPORT_H_
#define ZVA_TESTS_UNIT_DISCOVERY_TEST_SUPPORT_H_

// Helpers shared by the discovery tests: environment and log capture, and a
// fake HTTP fetcher that never leaves the process.

#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <stdlib.h>

#include "platform/log_stream.h"
#include "discovery/http_fetch.h"

namespace zva {
namespace test_support {

// Sets and clears environment variables for one scope and restores their
// previous values when it ends.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second) {
        setenv(it->first.c_str(), it->second->c_str(), 1);
      } else {
        unsetenv(it->first.c_str());
      }
    }
  }

  void Set(const std::string& name, const std::string& value) {
    Save(name);
    setenv(name.c_str(), value.c_str(), 1);
  }
  void Unset(const std::string& name) {
    Save(name);
    unsetenv(name.c_str());
  }

 private:
  void Save(const std::string& name) {
    const char* old = getenv(name.c_str());
    saved_.emplace_back(
        name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
  }

  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Points the logger at a string for one scope, with every level shown.
class LogCapture {
 public:
  LogCapture()
      : old_stream_(logger::stream.load()),
        old_threshold_(logger::CLogger::zva_stderrthreshold_.load()) {
    logger::stream = &out_;
    logger::CLogger::zva_stderrthreshold_ = 0;
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  ~LogCapture() {
    logger::stream = old_stream_;
    logger::CLogger::zva_stderrthreshold_ = old_threshold_;
  }

  std::string Text() const { return out_.str(); }
  bool Contains(const std::string& text) const {
    return out_.str().find(text) != std::string::npos;
  }

 private:
  std::ostringstream out_;
  std::ostream* old_stream_;
  int old_threshold_;
};

// Answers from a table of URL -> (status, body) and records every URL asked
// for. Unknown URLs fail with status 1. The record outlives the fetcher,
// which its owner may destroy.
struct FakeHttpRecord {
  std::map<std::string, std::pair<int, std::string>> answers;
  std::vector<std::string> requests;
};

class FakeHttp : public HttpInterface {
 public:
  explicit FakeHttp(FakeHttpRecord* record) : record_(record) {}
  int DoHttp(const char* url, std::string& response) override {
    record_->requests.push_back(url);
    auto it = record_->answers.find(url);
    if (it == record_->answers.end()) return 1;
    response += it->second.second;
    return it->second.first;
  }

 private:
  FakeHttpRecord* record_;
};

}  // namespace test_support
}  // namespace zva

#endif  // ZVA_TESTS_UNIT_DISCOVERY_TEST_SUPPORT_H_
