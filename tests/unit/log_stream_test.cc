#include "platform/log_stream.h"

#include <ctime>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include "support/log_capture.h"
#include "support/scoped_env.h"

namespace {

namespace fs = std::filesystem;
using zva::logger::CLogger;
using zva::logger::DEBUG;
using zva::logger::ERROR;
using zva::logger::FATAL;
using zva::logger::INFO;
using zva::logger::LogLevel;
using zva::logger::WARNING;
using zvtest::CountOf;
using zvtest::LogCapture;

// "[" ctime text ", " six digits "us] ", as every standard-stream line starts.
const char kStampRegex[] =
    "\\[(Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
    "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123][0-9] "
    "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}, [0-9]{6}us\\] ";

// Captures what is written straight onto std::cout.
class CoutCapture {
 public:
  CoutCapture() : saved_(std::cout.rdbuf(out_.rdbuf())) {}
  ~CoutCapture() { std::cout.rdbuf(saved_); }
  std::string Text() const { return out_.str(); }

 private:
  std::ostringstream out_;
  std::streambuf* saved_;
};

void EmitOnce(LogLevel level, const std::string& text) {
  CLogger log;
  log << text << level;
}

// ---- Routing -----------------------------------------------------------

TEST(LoggerRoutingTest, LevelsPrintedByThreshold) {
  struct Case {
    int threshold;
    bool debug;
    const char* printed;  // I W E D F of the levels that reach the stream
  };
  const Case cases[] = {
      {-1, false, "WEF"}, {-1, true, "WEF"}, {0, false, "IWEF"},
      {0, true, "IWEDF"}, {1, false, "WEF"}, {1, true, "WEF"},
      {2, false, "EF"},   {2, true, "EF"},   {3, false, "F"},
      {4, false, "F"},    {5, false, ""},    {-2147483647 - 1, true, "WEF"},
  };
  const std::pair<LogLevel, char> levels[] = {
      {INFO, 'I'}, {WARNING, 'W'}, {ERROR, 'E'}, {DEBUG, 'D'}, {FATAL, 'F'}};
  for (const Case& c : cases) {
    LogCapture capture(c.threshold, c.debug);
    std::string printed;
    for (const auto& [level, letter] : levels) {
      capture.Clear();
      EmitOnce(level, std::string("message ") + letter + "\n");
      const std::string text = capture.Text();
      // What a busy path asks before formatting agrees with what is written.
      EXPECT_EQ(CLogger::Enabled(level), !text.empty()) << letter;
      if (text.empty()) continue;
      printed += letter;
      EXPECT_THAT(text, ::testing::MatchesRegex(std::string(kStampRegex) +
                                                "message " + letter + "\n"));
    }
    EXPECT_EQ(printed, c.printed)
        << "threshold " << c.threshold << " debug " << c.debug;
  }
}

TEST(LoggerRoutingTest, UnknownLevelEmitsNothingAndEmptiesText) {
  LogCapture capture(0, true, true);
  CoutCapture cout_capture;
  {
    CLogger log;
    log << "[PROFILE] lost\n" << static_cast<LogLevel>(7);
    log << "kept\n" << ERROR;
  }
  EXPECT_THAT(capture.Text(), ::testing::MatchesRegex(".*\\] kept\n"));
  EXPECT_EQ(CountOf(capture.Text(), "lost"), 0);
  EXPECT_EQ(cout_capture.Text(), "");
}

TEST(LoggerRoutingTest, ProfileModeBypassesThresholdForProfileInfoOnly) {
  struct Case {
    bool profile;
    LogLevel level;
    const char* text;
    bool printed;
  };
  const Case cases[] = {
      {true, INFO, "[PROFILE] Infer took 3 ms\n", true},
      {true, INFO, "[PROFILE]\n", true},
      {true, INFO, " [PROFILE] leading blank\n", false},
      {true, INFO, "Infer [PROFILE] inside\n", false},
      {true, INFO, "[PROFIL\n", false},
      {true, INFO, "[profile] lower case\n", false},
      {true, WARNING, "[PROFILE] warning\n", false},
      {true, DEBUG, "[PROFILE] debug\n", false},
      {false, INFO, "[PROFILE] without profile mode\n", false},
  };
  for (const Case& c : cases) {
    LogCapture capture(2, false, c.profile);
    EmitOnce(c.level, c.text);
    EXPECT_EQ(CountOf(capture.Text(), c.text), c.printed ? 1 : 0) << c.text;
  }
}

TEST(LoggerRoutingTest, SuccessiveMessagesAreSeparate) {
  LogCapture capture(2);
  CoutCapture cout_capture;
  {
    CLogger log;
    log << "first " << 1 << "\n" << ERROR << "second " << 2.5 << "\n" << ERROR;
    log << "dropped\n" << INFO;
    log << "third" << std::endl << ERROR;
  }
  const std::string text = capture.Text();
  EXPECT_THAT(text, ::testing::MatchesRegex(
                        std::string(kStampRegex) + "first 1\n" + kStampRegex +
                        "second 2.5\n" + kStampRegex + "third\n"));
  // Everything was emitted, so nothing is left for the destructor.
  EXPECT_EQ(cout_capture.Text(), "");
}

// ---- Lifetime and pending text -----------------------------------------

TEST(LoggerLifetimeTest, NamedLoggerReportsItsLifetime) {
  LogCapture capture(0);
  { CLogger log("Connect"); }
  EXPECT_THAT(
      capture.Text(),
      ::testing::MatchesRegex(std::string(kStampRegex) +
                              "Connect took [0-9]+(\\.[0-9]+)?(e[-+][0-9]+)? "
                              "milliseconds\n"));
}

TEST(LoggerLifetimeTest, LifetimeIsInfoAndUnnamedLoggersReportNothing) {
  LogCapture capture(1);
  { CLogger log("Connect"); }
  { CLogger log(""); }
  { CLogger log; }
  EXPECT_EQ(capture.Text(), "");
  zva::logger::CLogger::zva_stderrthreshold_ = 0;
  { CLogger log(""); }
  EXPECT_EQ(capture.Text(), "");
}

TEST(LoggerLifetimeTest, PendingTextIsWrittenRawWhateverTheThreshold) {
  for (int threshold : {0, 2, 5}) {
    LogCapture capture(threshold);
    CoutCapture cout_capture;
    {
      CLogger log("Infer");
      log << "half a message " << 42;
    }
    EXPECT_EQ(cout_capture.Text(), "half a message 42") << threshold;
    // The lifetime report does not repeat the pending text.
    EXPECT_EQ(CountOf(capture.Text(), "half a message"), 0);
    EXPECT_EQ(CountOf(capture.Text(), "Infer took "), threshold == 0 ? 1 : 0);
  }
}

// ---- Time stamp --------------------------------------------------------

TEST(TimeStampTest, CtimeTextWithSixDigitMicroseconds) {
  const auto format = ::testing::MatchesRegex(kStampRegex);
  for (int i = 0; i < 200; ++i) {
    const std::string stamp = CLogger::GetTimeStampInMicroseconds();
    ASSERT_THAT("[" + stamp + "] ", format);
    ASSERT_EQ(stamp.find('\n'), std::string::npos);
  }
  // The same text ctime gives for that second (made without ctime's shared
  // buffer): one of the seconds around the call. Read from the clock the
  // stamp uses: time() follows the coarse clock, up to a tick behind, and
  // once failed this test at a second's turn.
  const auto second = [] {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
  };
  const std::time_t before = second();
  const std::string stamp = CLogger::GetTimeStampInMicroseconds();
  const std::time_t after = second();
  std::vector<std::string> seconds;
  for (std::time_t t = before; t <= after; ++t) {
    seconds.push_back(std::string(std::ctime(&t)).substr(0, 24));
  }
  EXPECT_THAT(seconds, ::testing::Contains(stamp.substr(0, 24)));
}

// ---- Init --------------------------------------------------------------

const char* const kLoggerEnv[] = {
    "ZV_ENABLE_LOGGING", "ZV_LOG_TO_STDERR",        "ZV_DEBUG_MODE",
    "ZV_PROFILE_MODE",   "ZV_USE_SEGFAULT_HANDLER", "ZV_STDERRTHRESHOLD",
};

// Runs CLogger::Init with glog kept off, from a clean environment, and puts
// every process-wide switch back afterwards.
class LoggerInitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kLoggerEnv) env_.Unset(name);
    saved_location_ = CLogger::log_file_location_;
    capture_.emplace(2);
    std::string tmpl = (fs::temp_directory_path() / "zvlog.XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    capture_.reset();
    CLogger::log_file_location_ = saved_location_;
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Starts from the defaults, as a fresh process would.
  void Init() {
    CLogger::zva_stderrthreshold_ = 2;
    CLogger::is_debug_mode_ = false;
    CLogger::is_profile_mode_ = false;
    CLogger::Init((dir_ + "/logs").c_str(), "zv.log");
  }

  zvtest::ScopedEnv env_;
  std::optional<LogCapture> capture_;
  std::string saved_location_;
  std::string dir_;
};

TEST_F(LoggerInitTest, ThresholdFromEnvironment) {
  struct Case {
    const char* value;
    int threshold;
    bool invalid_message;
  };
  const Case cases[] = {
      {"0", 0, false},
      {"-1", -1, false},
      {"  3 and more", 3, false},
      {"+1", 1, false},
      {"7", 7, false},
      {"2147483647", 2147483647, false},
      // Outside the int range: the default, without the invalid-value text.
      {"2147483648", 2, false},
      {"-2147483649", 2, false},
      {"99999999999999999999", 2, false},
      {"abc", 2, true},
      {"", 2, true},
      {"-", 2, true},
  };
  for (const Case& c : cases) {
    ::setenv("ZV_STDERRTHRESHOLD", c.value, 1);
    CoutCapture cout_capture;
    Init();
    EXPECT_EQ(CLogger::zva_stderrthreshold_.load(), c.threshold) << c.value;
    const std::string message =
        std::string("ZV_STDERRTHRESHOLD is set to an invalid value: ") +
        c.value +
        " . Acceptable values are 0,1,2,3. For now, picking up default value "
        "of 2.\n";
    EXPECT_EQ(cout_capture.Text(), c.invalid_message ? message : "") << c.value;
  }
}

TEST_F(LoggerInitTest, DefaultsWithoutEnvironment) {
  Init();
  EXPECT_EQ(CLogger::zva_stderrthreshold_.load(), 2);
  EXPECT_FALSE(CLogger::is_debug_mode_.load());
  EXPECT_FALSE(CLogger::is_profile_mode_.load());
  EXPECT_FALSE(CLogger::is_logging_enabled_.load());
  EXPECT_EQ(zva::logger::stream.load(), &std::cout);
  EXPECT_EQ(CLogger::log_file_location_, dir_ + "/logs");
  // Without glog no log directory is made.
  EXPECT_FALSE(fs::exists(dir_ + "/logs"));
}

TEST_F(LoggerInitTest, SwitchesNeedExactlyOne) {
  struct Case {
    const char* value;
    bool on;
  };
  for (const Case& c :
       {Case{"1", true}, Case{"0", false}, Case{"true", false}, Case{"", false},
        Case{"11", false}, Case{" 1", false}}) {
    ::setenv("ZV_DEBUG_MODE", c.value, 1);
    ::setenv("ZV_PROFILE_MODE", c.value, 1);
    ::setenv("ZV_LOG_TO_STDERR", c.value, 1);
    Init();
    EXPECT_EQ(CLogger::is_debug_mode_.load(), c.on) << c.value;
    EXPECT_EQ(CLogger::is_profile_mode_.load(), c.on) << c.value;
    EXPECT_EQ(zva::logger::stream.load(), c.on ? &std::cerr : &std::cout)
        << c.value;
  }
}

TEST_F(LoggerInitTest, EnableLoggingZeroKeepsGlogOffAndThresholdApplies) {
  ::setenv("ZV_ENABLE_LOGGING", "0", 1);
  ::setenv("ZV_STDERRTHRESHOLD", "0", 1);
  Init();
  EXPECT_FALSE(CLogger::is_logging_enabled_.load());
  EXPECT_EQ(CLogger::zva_stderrthreshold_.load(), 0);
  EXPECT_FALSE(fs::exists(dir_ + "/logs"));
}

TEST_F(LoggerInitTest, SegfaultHandlerOfTheHostIsKept) {
  struct sigaction saved;
  ASSERT_EQ(::sigaction(SIGSEGV, nullptr, &saved), 0);
  struct sigaction mine {};
  mine.sa_handler = [](int) {};
  ::sigemptyset(&mine.sa_mask);
  ASSERT_EQ(::sigaction(SIGSEGV, &mine, nullptr), 0);
  ::setenv("ZV_USE_SEGFAULT_HANDLER", "1", 1);
  Init();
  struct sigaction now;
  ASSERT_EQ(::sigaction(SIGSEGV, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, mine.sa_handler);
  ASSERT_EQ(::sigaction(SIGSEGV, &saved, nullptr), 0);
}

// Only SIGSEGV was looked at, yet glog's failure handler also takes
// SIGILL, SIGFPE, SIGABRT, SIGBUS and SIGTERM from the host.
TEST_F(LoggerInitTest,
       FailureHandlerStaysOutWhileTheHostHandlesAnyOfItsSignals) {
  const int kSignals[] = {SIGSEGV, SIGILL, SIGFPE, SIGABRT, SIGBUS, SIGTERM};
  const char* const kNames[] = {"SIGSEGV", "SIGILL", "SIGFPE",
                                "SIGABRT", "SIGBUS", "SIGTERM"};
  struct sigaction saved[std::size(kSignals)];
  for (size_t i = 0; i < std::size(kSignals); ++i) {
    ASSERT_EQ(::sigaction(kSignals[i], nullptr, &saved[i]), 0);
  }
  auto handler_of = [](int signal_number) {
    struct sigaction now {};
    ::sigaction(signal_number, nullptr, &now);
    return now.sa_handler;
  };
  void (*const host_handler)(int) = [](int) {};
  ::setenv("ZV_USE_SEGFAULT_HANDLER", "1", 1);
  ::setenv("ZV_STDERRTHRESHOLD", "1", 1);
  // -1: the host handles none of them, so the handler goes in.
  for (int host = -1; host < static_cast<int>(std::size(kSignals)); ++host) {
    SCOPED_TRACE(host < 0 ? "none" : kNames[host]);
    for (int signal_number : kSignals) ::signal(signal_number, SIG_DFL);
    if (host >= 0) ::signal(kSignals[host], host_handler);
    CoutCapture cout_capture;
    Init();
    for (size_t i = 0; i < std::size(kSignals); ++i) {
      if (host < 0) {
        EXPECT_NE(handler_of(kSignals[i]), SIG_DFL) << kNames[i];
      } else {
        EXPECT_EQ(handler_of(kSignals[i]),
                  static_cast<int>(i) == host ? host_handler : SIG_DFL)
            << kNames[i];
      }
    }
    const std::string skipped =
        std::string(
            "ZV_USE_SEGFAULT_HANDLER: the failure signal handler was "
            "not installed, because the process already handles ") +
        (host < 0 ? "" : kNames[host]) + "\n";
    EXPECT_EQ(CountOf(cout_capture.Text(), skipped), host < 0 ? 0 : 1)
        << cout_capture.Text();
  }
  for (size_t i = 0; i < std::size(kSignals); ++i) {
    ::sigaction(kSignals[i], &saved[i], nullptr);
  }
}

TEST(WriteFailureTest, WithGlogOffWritesOnlyToStandardError) {
  // Nothing to assert on but survival: no file is opened, nothing flushed.
  zva::logger::WriteFailure("crash text\n", 11);
  zva::logger::WriteFailure(nullptr, 5);
  zva::logger::WriteFailure("x", 0);
  zva::logger::WriteFailure("x", -1);
}

}  // namespace
