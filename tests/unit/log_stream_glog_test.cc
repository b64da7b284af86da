// Glog can be started once per process, so this program holds the one test
// that turns it on.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <glog/logging.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include "platform/log_stream.h"
#include "zva/zva_object.h"
#include "platform/log_setup.h"

namespace {

namespace fs = std::filesystem;
using zva::logger::CLogger;

TEST(GlogLoggingTest, HomeWithShellTextStartsGlogAndRunsNothing) {
  std::string tmpl = (fs::temp_directory_path() / "zvglog.XXXXXX").string();
  ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
  const std::string work = tmpl;
  const fs::path saved_cwd = fs::current_path();
  fs::current_path(work);

  // Every shell form of running a command; a shell would create these files
  // in the working directory.
  const std::string home = work +
                           "/h $(touch injected1);touch injected2 "
                           "`touch injected3` | touch injected4 && "
                           "touch injected5";
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("ZV_ENABLE_LOGGING", "", 1);  // empty counts as on
  ::setenv("GLOG_stderrthreshold", "99999999999", 1);
  ::unsetenv("GLOG_minloglevel");
  ::unsetenv("GLOG_log_dir");
  ::unsetenv("ZV_STDERRTHRESHOLD");

  zva::InitLogging();

  const std::string logs = home + "/.zv/logs";
  EXPECT_TRUE(zva::is_logging_init_called);
  EXPECT_TRUE(CLogger::is_logging_enabled_.load());
  EXPECT_EQ(CLogger::log_file_location_, logs);
  EXPECT_TRUE(fs::is_directory(logs));
  for (const auto& entry : fs::recursive_directory_iterator(work)) {
    EXPECT_NE(entry.path().filename().string().rfind("injected", 0), 0u)
        << "a shell ran: " << entry.path();
  }
  EXPECT_EQ(FLAGS_minloglevel, 2);
  EXPECT_EQ(FLAGS_log_dir, logs);
  // Out of the int range: the default rather than a wrapped number.
  EXPECT_EQ(FLAGS_stderrthreshold, 2);

  // A second start changes nothing (glog would abort on a second init).
  ::setenv("HOME", work.c_str(), 1);
  zva::InitLogging();
  EXPECT_EQ(CLogger::log_file_location_, logs);

  // Errors reach glog's file in the log directory.
  {
    CLogger log;
    log << "glog line " << 7 << "\n" << zva::logger::ERROR;
  }
  google::FlushLogFiles(google::GLOG_INFO);
  bool found = false;
  for (const auto& entry : fs::directory_iterator(logs)) {
    if (entry.path().filename().string().rfind("zv.log.", 0) != 0) continue;
    if (!fs::is_regular_file(entry.symlink_status())) continue;
    std::ifstream in(entry.path());
    std::string text((std::istreambuf_iterator<char>(in)),
                     std::istreambuf_iterator<char>());
    if (text.find("glog line 7") != std::string::npos) found = true;
  }
  EXPECT_TRUE(found);

  // The failure writer cannot append to a directory; it still survives.
  zva::logger::WriteFailure("failure text\n", 13);

  CLogger::Shutdown();
  EXPECT_FALSE(google::IsGoogleLoggingInitialized());
  CLogger::Shutdown();  // a second one finds nothing to shut down
  fs::current_path(saved_cwd);
  std::error_code ec;
  fs::remove_all(work, ec);
}

}  // namespace
