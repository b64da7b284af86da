// zv and zv-health as a user runs them: the built programs, started as child
// processes with a fresh HOME and only loopback addresses, against a local
// simulator. Outputs are compared with the exact texts.

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "zvsim/simulator.h"

namespace {

using Env = std::map<std::string, std::string>;

struct Result {
  int code = -1;
  std::string out;
  std::string err;
};

const char kUsage[] =
    "Usage: zv describe-accelerators [options]\n"
    "Print description of attached accelerators.\n"
    "\n"
    "Options:\n"
    "-j, --json\tPrint description of attached accelerators in JSON format.\n"
    "-h, --help\tPrint this help instructions and exit.\n";
const char kVersionLine[] = "ZV Client Version: 1.5.3\n";
const char kDetectionFailed[] = "ERROR: Device detection failed.\n";
const char kId0[] = "zva-0a00000000000000a";
const char kId1[] = "zva-0b00000000000000b";

// Runs `program` with `args` and exactly the environment `env`, standard
// input from /dev/null; collects both output streams and the exit code.
Result Run(const std::string& program, const std::vector<std::string>& args,
           const Env& env) {
  Result result;
  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return result;
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);

  std::vector<std::string> argv_text = {program};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_text;
  for (const auto& [name, value] : env) env_text.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr,
                            argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (spawned != 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    result.err = "could not start " + program;
    return result;
  }
  // Drain both pipes together so a child that fills one never blocks.
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.code =
      WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

// The time in a description varies; checks its layout and replaces it.
std::string MaskTime(const std::string& text) {
  static const std::regex time(
      "(Mon|Tue|Wed|Thu|Fri|Sat|Sun) "
      "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
      "[ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}");
  return std::regex_replace(text, time, "<time>");
}

std::string PlainDescription(const std::string& status0,
                             const std::string& status1) {
  return std::string(kVersionLine) +
         "Time: <time>\n"
         "Attached accelerators: 2\n"
         "Device 0:\n"
         "\tType: zva1.medium\n"
         "\tId: " +
         kId0 +
         "\n"
         "\tStatus: " +
         status0 +
         "\n"
         "Device 1:\n"
         "\tType: zva2.large\n"
         "\tId: " +
         kId1 +
         "\n"
         "\tStatus: " +
         status1 + "\n";
}

std::string JsonDescription(const std::string& status0,
                            const std::string& status1) {
  return std::string(
             "{\n"
             "  \"zv_client_version\": \"1.5.3\",\n"
             "  \"time\": \"<time>\",\n"
             "  \"attached_accelerators\": 2,\n"
             "  \"devices\": [\n"
             "    {\n"
             "      \"ordinal\": 0,\n"
             "      \"type\": \"zva1.medium\",\n"
             "      \"id\": \"") +
         kId0 +
         "\",\n"
         "      \"status\": \"" +
         status0 +
         "\"\n"
         "    },\n"
         "    {\n"
         "      \"ordinal\": 1,\n"
         "      \"type\": \"zva2.large\",\n"
         "      \"id\": \"" +
         kId1 +
         "\",\n"
         "      \"status\": \"" +
         status1 +
         "\"\n"
         "    }\n"
         "  ]\n"
         "}\n";
}

class ToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = std::filesystem::temp_directory_path() /
            ("zv_cli_" + std::to_string(getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(home_);
    std::filesystem::create_directories(home_);
    env_["HOME"] = home_.string();
    env_["PATH"] = "/usr/bin:/bin";
    env_["no_proxy"] = env_["NO_PROXY"] = "127.0.0.1,localhost";
    // Nothing may leave the machine: until a simulator is started,
    // discovery meets a closed loopback port.
    env_["ZV_INSTANCE_METADATA_URI"] = "http://127.0.0.1:1";
    env_["KCP_REGION"] = "us-west-2";
    env_["KCP_ACCESS_KEY_ID"] = "AKIDEXAMPLE";
    env_["KCP_SECRET_ACCESS_KEY"] = "secret";
    for (const char* name :
         {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
      if (const char* value = getenv(name)) env_[name] = value;
    }
  }

  void TearDown() override {
    if (sim_) sim_->Stop();
    std::filesystem::remove_all(home_);
  }

  // Starts a simulator with a zva1.medium (device 0) and a zva2.large
  // (device 1) and points the environment at it.
  void StartSimulator() {
    zvsim::Options options;
    options.accelerators = {{kId1, "zva2.large", ""},
                            {kId0, "zva1.medium", ""}};
    sim_ = std::make_unique<zvsim::Simulator>(options);
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;
    for (const auto& [name, value] : sim_->Environment()) env_[name] = value;
  }

  Result Zv(const std::vector<std::string>& args) {
    return Run(ZV_PATH, args, env_);
  }
  Result ZvHealth() { return Run(ZV_HEALTH_PATH, {}, env_); }

  std::filesystem::path home_;
  Env env_;
  std::unique_ptr<zvsim::Simulator> sim_;
};

// ---- Command line ---------------------------------------------------------

struct UsageCase {
  std::vector<std::string> args;
  int code;
  std::string out;
  std::string err;
};

TEST_F(ToolsTest, CommandLineWithoutDescription) {
  const std::string usage = kUsage;
  const std::vector<UsageCase> cases = {
      {{}, 1, "", usage},
      {{"-h"}, 0, usage, ""},
      {{"--help"}, 0, usage, ""},
      {{"describe-accelerators", "-h"}, 0, usage, ""},
      {{"--help", "describe-accelerators", "--json"}, 0, usage, ""},
      {{"describe"}, 1, "", usage},
      {{"list-accelerators", "-h"}, 1, "", usage},
      {{"Describe-Accelerators"}, 1, "", usage},
      {{"-x", "describe-accelerators"}, 1, "", "Unknown option: x\n" + usage},
      {{"describe-accelerators", "-q"}, 1, "", "Unknown option: q\n" + usage},
      {{"--bogus"}, 1, "", "Unknown option: --bogus\n" + usage},
  };
  for (const UsageCase& c : cases) {
    std::string label;
    for (const auto& a : c.args) label += a + " ";
    Result r = Zv(c.args);
    EXPECT_EQ(r.code, c.code) << label;
    EXPECT_EQ(r.out, c.out) << label;
    EXPECT_EQ(r.err, c.err) << label;
  }
}

// ---- Device detection failed ----------------------------------------------

TEST_F(ToolsTest, DetectionFailedPlainText) {
  Result r = Zv({"describe-accelerators"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, std::string(kVersionLine) + kDetectionFailed);
}

TEST_F(ToolsTest, DetectionFailedJsonKeepsStandardOutputEmpty) {
  Result r = Zv({"describe-accelerators", "--json"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find(std::string(kVersionLine) + kDetectionFailed),
            std::string::npos)
      << r.err;
}

TEST_F(ToolsTest, HealthDetectionFailed) {
  env_["ZV_LOG_TO_STDERR"] = "1";
  Result r = ZvHealth();
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, kVersionLine);
  EXPECT_NE(r.err.find(kDetectionFailed), std::string::npos) << r.err;
}

// ---- Two healthy accelerators ---------------------------------------------

TEST_F(ToolsTest, DescribeTwoHealthyAccelerators) {
  StartSimulator();
  Result r = Zv({"describe-accelerators"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(MaskTime(r.out), PlainDescription("healthy", "healthy"));
}

TEST_F(ToolsTest, DescribeJsonWithTheOptionBeforeOrAfterTheCommand) {
  StartSimulator();
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{
           {"describe-accelerators", "--json"},
           {"--json", "describe-accelerators"},
           {"-j", "describe-accelerators"},
           {"describe-accelerators", "-j", "ignored-argument"}}) {
    Result r = Zv(args);
    EXPECT_EQ(r.code, 0) << args[0] << " " << args[1] << "\n" << r.err;
    EXPECT_EQ(MaskTime(r.out), JsonDescription("healthy", "healthy"))
        << args[0] << " " << args[1];
  }
}

TEST_F(ToolsTest, HealthTwoHealthyAccelerators) {
  StartSimulator();
  env_["ZV_LOG_TO_STDERR"] = "1";
  Result r = ZvHealth();
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, std::string(kVersionLine) +
                       "Device 0: healthy\nDevice 1: healthy\n");
}

// ---- Unhealthy and unreachable accelerators -------------------------------

struct HealthCase {
  const char* name;
  // Applied to the running simulator.
  std::function<void(zvsim::Simulator&)> fault;
  std::string status0;
  std::string status1;
  std::string health_out;
};

TEST_F(ToolsTest, HealthOfEveryDeviceMixture) {
  // Every call of an unreachable accelerator fails the way a proxy that
  // cannot reach it answers.
  auto unreachable = [](const char* id) {
    return [id](zvsim::Simulator& sim) {
      sim.FailNext("*", 1000, grpc::StatusCode::UNAVAILABLE,
                   "14 accelerator unreachable", id);
    };
  };
  auto unhealthy = [](const char* id) {
    return [id](zvsim::Simulator& sim) { sim.SetHealthy(id, false); };
  };
  const std::vector<HealthCase> cases = {
      {"device 0 not reachable, device 1 healthy", unreachable(kId0),
       "not reachable", "healthy",
       "Device 0: not reachable\nDevice 1: healthy\n"},
      {"device 0 healthy, device 1 unhealthy", unhealthy(kId1), "healthy",
       "unhealthy",
       std::string(kVersionLine) + "Device 0: healthy\nDevice 1: unhealthy\n"},
      {"device 0 unhealthy, device 1 healthy", unhealthy(kId0), "unhealthy",
       "healthy", "Device 0: unhealthy\nDevice 1: healthy\n"},
      {"device 0 healthy, device 1 not reachable", unreachable(kId1), "healthy",
       "not reachable",
       std::string(kVersionLine) +
           "Device 0: healthy\nDevice 1: not reachable\n"},
  };
  for (const HealthCase& c : cases) {
    SCOPED_TRACE(c.name);
    StartSimulator();
    c.fault(*sim_);
    env_["ZV_LOG_TO_STDERR"] = "1";
    Result health = ZvHealth();
    EXPECT_EQ(health.code, 1);
    EXPECT_EQ(health.out, c.health_out);
    env_.erase("ZV_LOG_TO_STDERR");

    // zv reports every status and still succeeds.
    Result text = Zv({"describe-accelerators"});
    EXPECT_EQ(text.code, 0) << text.err;
    EXPECT_EQ(MaskTime(text.out), PlainDescription(c.status0, c.status1));
    Result json = Zv({"describe-accelerators", "--json"});
    EXPECT_EQ(json.code, 0) << json.err;
    EXPECT_EQ(MaskTime(json.out), JsonDescription(c.status0, c.status1));
    sim_->Stop();
    sim_.reset();
  }
}

// ---- The library's log ----------------------------------------------------

TEST_F(ToolsTest, ExistingLogToStderrValueIsKept) {
  StartSimulator();
  // Standard-stream logging with every INFO line, so the log shows where
  // ZV_LOG_TO_STDERR sent it.
  env_["ZV_ENABLE_LOGGING"] = "0";
  env_["ZV_STDERRTHRESHOLD"] = "0";
  const std::string ping_line = "Ping device about to be called on device 0.";

  Result to_stderr = Zv({"describe-accelerators", "--json"});
  EXPECT_EQ(to_stderr.code, 0);
  EXPECT_EQ(MaskTime(to_stderr.out), JsonDescription("healthy", "healthy"));
  EXPECT_NE(to_stderr.err.find(ping_line), std::string::npos);

  env_["ZV_LOG_TO_STDERR"] = "0";
  Result kept = Zv({"describe-accelerators", "--json"});
  EXPECT_EQ(kept.code, 0);
  EXPECT_NE(kept.out.find(ping_line), std::string::npos);
  EXPECT_EQ(kept.err.find(ping_line), std::string::npos);
}

TEST_F(ToolsTest, DescribeTurnsOnTheFileLogUnderHome) {
  StartSimulator();
  Result r = Zv({"describe-accelerators", "--json"});
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(std::filesystem::is_directory(home_ / ".zv" / "logs"));
}

}  // namespace
