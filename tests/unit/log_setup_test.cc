// zv-test-labels: threaded
#include "platform/log_setup.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/log_stream.h"
#include "support/log_capture.h"
#include "zva/zva_object.h"

namespace {

using zva::logger::CLogger;

TEST(ClientVersionTest, IsFixedText) {
  EXPECT_STREQ(GetZVClientVersion(), "1.5.3");
  EXPECT_STREQ(zva::kClientVersion, "1.5.3");
}

class CountingObject : public zva::ObjectInterface {
 public:
  int Release() override {
    ++releases;
    return 0;
  }
  int releases = 0;
};

TEST(ObjectReleaserTest, ReleasesOnlyNonNullObjects) {
  zva::ObjectReleaser releaser;
  releaser(nullptr);  // nothing to call
  CountingObject object;
  releaser(&object);
  EXPECT_EQ(object.releases, 1);
  {
    std::shared_ptr<zva::ObjectInterface> owner(&object, zva::ObjectReleaser());
    std::shared_ptr<zva::ObjectInterface> second = owner;
  }
  EXPECT_EQ(object.releases, 2);
  { std::unique_ptr<zva::ObjectInterface, const zva::ObjectReleaser> none; }
  EXPECT_EQ(object.releases, 2);
}

// InitLogging starts once per process, so everything about it is one test.
TEST(InitLoggingTest, StartsOnceFromHomeWithoutGlog) {
  const char* const names[] = {"HOME", "ZV_ENABLE_LOGGING",
                               "ZV_STDERRTHRESHOLD", "ZV_LOG_TO_STDERR"};
  std::vector<std::optional<std::string>> saved;
  for (const char* name : names) {
    const char* v = std::getenv(name);
    saved.emplace_back(v ? std::optional<std::string>(v) : std::nullopt);
    ::unsetenv(name);
  }
  zvtest::LogCapture capture(2);  // puts the switches Init sets back
  ASSERT_FALSE(zva::is_logging_init_called);

  ::setenv("ZV_STDERRTHRESHOLD", "1", 1);
  // Several threads race for the first start; exactly one runs it.
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back([] { zva::InitLogging(); });
  for (std::thread& t : threads) t.join();
  EXPECT_TRUE(zva::is_logging_init_called);
  EXPECT_EQ(CLogger::log_file_location_, "/.zv/logs");
  EXPECT_EQ(CLogger::zva_stderrthreshold_.load(), 1);
  EXPECT_FALSE(CLogger::is_logging_enabled_.load());

  // Later calls read nothing again.
  ::setenv("HOME", "/somewhere/else", 1);
  ::setenv("ZV_STDERRTHRESHOLD", "0", 1);
  zva::InitLogging();
  EXPECT_EQ(CLogger::log_file_location_, "/.zv/logs");
  EXPECT_EQ(CLogger::zva_stderrthreshold_.load(), 1);

  for (size_t i = 0; i < std::size(names); ++i) {
    if (saved[i]) {
      ::setenv(names[i], saved[i]->c_str(), 1);
    } else {
      ::unsetenv(names[i]);
    }
  }
}

}  // namespace
