// Glog can be started once per process, so this program holds the one test
// whose host process starts glog itself before the library.

#include <filesystem>
#include <string>

#include <glog/logging.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/log_stream.h"
#include "zva/zva_object.h"

namespace {

namespace fs = std::filesystem;
using zva::logger::CLogger;

// The library started glog a second time, and glog aborted the host ("You
// called InitGoogleLogging() twice!"); frameworks that load the library
// commonly use glog themselves. It also shut the host's glog down at exit.
TEST(HostGlogTest, HostThatUsesGlogKeepsItsGlog) {
  std::string home = (fs::temp_directory_path() / "zvhostglog.XXXXXX").string();
  ASSERT_NE(::mkdtemp(home.data()), nullptr);
  FLAGS_logtostderr = true;
  FLAGS_minloglevel = 1;
  google::InitGoogleLogging("host");
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("ZV_ENABLE_LOGGING", "1", 1);
  ::unsetenv("GLOG_minloglevel");

  zva::InitLogging();

  EXPECT_TRUE(CLogger::is_logging_enabled_.load());
  EXPECT_EQ(FLAGS_minloglevel, 1);  // the host's setting, not the library's
  EXPECT_FALSE(fs::exists(home + "/.zv/logs"));
  {
    CLogger log;
    log << "into the host's glog\n" << zva::logger::ERROR;
  }
  CLogger::Shutdown();
  EXPECT_TRUE(google::IsGoogleLoggingInitialized());
  google::ShutdownGoogleLogging();
  fs::remove_all(home);
}

}  // namespace
