// zv and zv-health as a user runs them: the built programs, started as child
// processes with a fresh HOME and only loopback addresses, against a local
// simulator. Outputs are compared with the exact texts.

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
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

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (auto& t : texts) pointers.push_back(t.data());
  pointers.push_back(nullptr);
  return pointers;
}

std::vector<std::string> EnvironmentText(const Env& env) {
  std::vector<std::string> text;
  for (const auto& [name, value] : env) text.push_back(name + "=" + value);
  return text;
}

// Starts `program` with `args` and exactly the environment `env`, standard
// input from /dev/null and standard output and error into pipes whose read
// ends are returned (close-on-exec). Returns the process id, or -1.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args,
            const Env& env, int* out_fd, int* err_fd) {
  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return -1;
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  std::vector<std::string> argv_text = {program};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<std::string> env_text = EnvironmentText(env);
  std::vector<char*> argv = Pointers(argv_text);
  std::vector<char*> envp = Pointers(env_text);
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr,
                            argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (spawned != 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    return -1;
  }
  *out_fd = out_pipe[0];
  *err_fd = err_pipe[0];
  return pid;
}

int WaitForExit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs `program` to its end; collects both output streams and the exit code.
Result RunToEnd(const std::string& program,
                const std::vector<std::string>& args, const Env& env) {
  Result result;
  int out_fd = -1;
  int err_fd = -1;
  pid_t pid = Spawn(program, args, env, &out_fd, &err_fd);
  if (pid < 0) {
    result.err = "could not start " + program;
    return result;
  }
  // Drain both pipes together so a child that fills one never blocks.
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
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
  for (auto& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  result.code = WaitForExit(pid);
  return result;
}

// Undoes the shell quoting of one value printed by zv-sim.
std::string ShellUnquote(const std::string& text) {
  if (text.empty() || text[0] != '\'') return text;
  std::string out;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\'') {
      quoted = !quoted;
    } else if (!quoted && text[i] == '\\' && i + 1 < text.size()) {
      out.push_back(text[++i]);
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// The zv-sim program, started with a fault plan, until Stop().
class SimProcess {
 public:
  ~SimProcess() { Stop(); }

  // Starts zv-sim in `dir` (its HOME) with the accelerators and fault plan
  // given; returns once it serves, with its exported variables in `exports`.
  ::testing::AssertionResult Start(const std::filesystem::path& dir,
                                   const std::vector<std::string>& accelerators,
                                   const std::string& fault_plan,
                                   const std::vector<std::string>& extra_args,
                                   Env* exports) {
    std::filesystem::path plan = dir / "fault_plan.txt";
    std::filesystem::path env_file = dir / "sim.env";
    {
      std::ofstream out(plan);
      out << fault_plan;
    }
    std::vector<std::string> args = {"--fault-plan", plan.string(),
                                     "--env-file", env_file.string()};
    for (const auto& a : accelerators) {
      args.push_back("--accelerator");
      args.push_back(a);
    }
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    Env env = {{"HOME", dir.string()}, {"PATH", "/usr/bin:/bin"}};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
      if (const char* value = getenv(name)) env[name] = value;
    }
    pid_ = Spawn(ZV_SIM_PATH, args, env, &out_fd_, &err_fd_);
    if (pid_ < 0) return ::testing::AssertionFailure() << "cannot start zv-sim";
    // The export lines come out once both servers serve; the env file is
    // complete before the first of them.
    char c = 0;
    ssize_t n;
    while ((n = read(out_fd_, &c, 1)) < 0 && errno == EINTR) {
    }
    if (n != 1) {
      std::string err;
      char buffer[4096];
      while ((n = read(err_fd_, buffer, sizeof(buffer))) > 0)
        err.append(buffer, n);
      return ::testing::AssertionFailure() << "zv-sim exited: " << err;
    }
    std::ifstream in(env_file);
    std::string line;
    while (std::getline(in, line)) {
      const std::string prefix = "export ";
      size_t eq = line.find('=');
      if (line.rfind(prefix, 0) != 0 || eq == std::string::npos) continue;
      (*exports)[line.substr(prefix.size(), eq - prefix.size())] =
          ShellUnquote(line.substr(eq + 1));
    }
    return ::testing::AssertionSuccess();
  }

  // Stops zv-sim with SIGTERM; returns its exit code (0 when it stopped
  // cleanly), or 0 when it was not running.
  int Stop() {
    if (pid_ < 0) return 0;
    kill(pid_, SIGTERM);
    // Its pipes are drained only now: it writes a line or two at most.
    close(out_fd_);
    close(err_fd_);
    int code = WaitForExit(pid_);
    pid_ = -1;
    return code;
  }

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
};

// True when `text` has the 24-character layout of `ctime` without its
// newline, e.g. "Sun Dec  6 22:13:07 2026". (std::regex is avoided: GCC 12
// warns inside it under the sanitizers.)
bool LooksLikeCtime(const std::string& text) {
  static const std::string kDays = "MonTueWedThuFriSatSun";
  static const std::string kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";
  auto is_digit = [&](size_t i) { return text[i] >= '0' && text[i] <= '9'; };
  if (text.size() != 24) return false;
  // Names sit at multiples of 3 in the lists; "ueW" must not pass as a day.
  size_t day = kDays.find(text.substr(0, 3));
  size_t month = kMonths.find(text.substr(4, 3));
  if (day == std::string::npos || day % 3 != 0) return false;
  if (month == std::string::npos || month % 3 != 0) return false;
  for (size_t i : {3, 7, 10, 19}) {
    if (text[i] != ' ') return false;
  }
  if (text[13] != ':' || text[16] != ':') return false;
  if (text[8] != ' ' && !is_digit(8)) return false;
  for (size_t i : {9, 11, 12, 14, 15, 17, 18, 20, 21, 22, 23}) {
    if (!is_digit(i)) return false;
  }
  return true;
}

// The time in a description varies: checks its layout where the text and
// the JSON layouts put it, and replaces it with "<time>".
std::string MaskTime(std::string text) {
  for (const std::string prefix : {"Time: ", "\"time\": \""}) {
    size_t at = text.find(prefix);
    if (at == std::string::npos) continue;
    at += prefix.size();
    if (LooksLikeCtime(text.substr(at, 24))) text.replace(at, 24, "<time>");
  }
  return text;
}

// Fills the identifiers and the two devices' statuses into `layout`.
std::string Describe(std::string layout, const std::string& status0,
                     const std::string& status1) {
  const std::pair<std::string, std::string> fills[] = {
      {"{id0}", kId0}, {"{id1}", kId1}, {"{s0}", status0}, {"{s1}", status1}};
  for (const auto& [key, value] : fills) {
    layout.replace(layout.find(key), key.size(), value);
  }
  return layout;
}

std::string PlainDescription(const std::string& s0, const std::string& s1) {
  return Describe(
      "ZV Client Version: 1.5.3\nTime: <time>\nAttached accelerators: 2\n"
      "Device 0:\n\tType: zva1.medium\n\tId: {id0}\n\tStatus: {s0}\n"
      "Device 1:\n\tType: zva2.large\n\tId: {id1}\n\tStatus: {s1}\n",
      s0, s1);
}

std::string JsonDescription(const std::string& s0, const std::string& s1) {
  return Describe(R"({
  "zv_client_version": "1.5.3",
  "time": "<time>",
  "attached_accelerators": 2,
  "devices": [
    {
      "ordinal": 0,
      "type": "zva1.medium",
      "id": "{id0}",
      "status": "{s0}"
    },
    {
      "ordinal": 1,
      "type": "zva2.large",
      "id": "{id1}",
      "status": "{s1}"
    }
  ]
}
)",
                  s0, s1);
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
    if (sim_) {
      EXPECT_EQ(sim_->Stop(), 0) << "zv-sim did not stop cleanly";
    }
    std::filesystem::remove_all(home_);
  }

  // Starts zv-sim with a zva1.medium (device 0) and a zva2.large (device 1),
  // listed the other way round so the tools' ordering shows, applies
  // `fault_plan`, and points the environment at it.
  void StartSimulator(const std::string& fault_plan = "",
                      const std::vector<std::string>& extra_args = {}) {
    sim_ = std::make_unique<SimProcess>();
    std::filesystem::path dir = home_ / "sim";
    std::filesystem::create_directories(dir);
    Env exports;
    ASSERT_TRUE(sim_->Start(dir,
                            {std::string("zva2.large,id=") + kId1,
                             std::string("zva1.medium,id=") + kId0},
                            fault_plan, extra_args, &exports));
    ASSERT_TRUE(exports.count("ACCELERATOR_PROXYURI_OVERRIDE"));
    for (const auto& [name, value] : exports) env_[name] = value;
  }

  Result Zv(const std::vector<std::string>& args) {
    return RunToEnd(ZV_PATH, args, env_);
  }

  struct UsageCase {
    std::vector<std::string> args;
    int code;
    std::string out;
    std::string err;
  };

  // Runs zv with each case's arguments; none reaches discovery.
  void CheckUsageCases(const std::vector<UsageCase>& cases) {
    for (const UsageCase& c : cases) {
      std::string label;
      for (const auto& a : c.args) label += a + " ";
      Result r = Zv(c.args);
      EXPECT_EQ(r.code, c.code) << label;
      EXPECT_EQ(r.out, c.out) << label;
      EXPECT_EQ(r.err, c.err) << label;
    }
  }
  Result ZvHealth() { return RunToEnd(ZV_HEALTH_PATH, {}, env_); }

  std::filesystem::path home_;
  Env env_;
  std::unique_ptr<SimProcess> sim_;
};

// ---- Command line ---------------------------------------------------------

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
  CheckUsageCases(cases);
}

// Under POSIXLY_CORRECT the options ended at the command, so an option after
// it was ignored.
TEST_F(ToolsTest, OptionsAfterTheCommandCountUnderPosixlyCorrect) {
  env_["POSIXLY_CORRECT"] = "1";
  const std::string usage = kUsage;
  CheckUsageCases({
      {{"describe-accelerators", "-h"}, 0, usage, ""},
      {{"describe-accelerators", "extra", "--help"}, 0, usage, ""},
      {{"describe-accelerators", "-q"}, 1, "", "Unknown option: q\n" + usage},
  });
}

// `zv --json=1` printed "Unknown option: " followed by a control byte (the
// option's flag value) instead of naming the option.
TEST_F(ToolsTest, RefusedOptionIsNamedAsWritten) {
  const std::string usage = kUsage;
  CheckUsageCases({
      {{"--json=1", "describe-accelerators"},
       1,
       "",
       "Unknown option: --json=1\n" + usage},
      {{"describe-accelerators", "--help=yes"},
       1,
       "",
       "Unknown option: --help=yes\n" + usage},
      {{"--bogus\x1b[2J"}, 1, "", "Unknown option: --bogus\\x1b[2J\n" + usage},
      {{"-j\x01"}, 1, "", "Unknown option: \\x01\n" + usage},
      {{"-jx", "describe-accelerators"}, 1, "", "Unknown option: x\n" + usage},
  });
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

TEST_F(ToolsTest, DescribeWithTheHostRoleAndNoCredentialsInTheEnvironment) {
  env_.erase("KCP_ACCESS_KEY_ID");
  env_.erase("KCP_SECRET_ACCESS_KEY");
  StartSimulator("", {"--credentials-source", "role"});
  for (const auto& [name, value] : env_) {
    EXPECT_TRUE(name.rfind("KCP_", 0) != 0 || name == "KCP_REGION") << name;
  }
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
  std::string fault_plan;
  std::string status0;
  std::string status1;
  std::string health_out;
};

// A fault plan line: every call to the accelerator `id` fails the way a
// proxy that cannot reach it answers.
std::string Unreachable(const std::string& id) {
  return "fail * 1000 UNAVAILABLE " + id + " 14 accelerator unreachable\n";
}

TEST_F(ToolsTest, HealthOfEveryDeviceMixture) {
  auto unhealthy = [](const std::string& id) {
    return "unhealthy " + id + "\n";
  };
  const std::vector<HealthCase> cases = {
      {"device 0 not reachable, device 1 healthy", Unreachable(kId0),
       "not reachable", "healthy",
       "Device 0: not reachable\nDevice 1: healthy\n"},
      {"device 0 healthy, device 1 unhealthy", unhealthy(kId1), "healthy",
       "unhealthy",
       std::string(kVersionLine) + "Device 0: healthy\nDevice 1: unhealthy\n"},
      {"device 0 unhealthy, device 1 healthy", unhealthy(kId0), "unhealthy",
       "healthy", "Device 0: unhealthy\nDevice 1: healthy\n"},
      {"device 0 healthy, device 1 not reachable", Unreachable(kId1), "healthy",
       "not reachable",
       std::string(kVersionLine) +
           "Device 0: healthy\nDevice 1: not reachable\n"},
  };
  for (const HealthCase& c : cases) {
    SCOPED_TRACE(c.name);
    StartSimulator(c.fault_plan);
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
    EXPECT_EQ(sim_->Stop(), 0);
    sim_.reset();
  }
}

// ---- zv's second discovery ------------------------------------------------

struct SecondDiscoveryCase {
  const char* name;
  std::string fault_plan;
  int code;
  std::string out;
};

TEST_F(ToolsTest, DescribeWhenTheSecondDiscoveryFailsOrDisagrees) {
  // zv pings the accelerator list but prints the records of a discovery run
  // of its own; from that run's request on, the associations list changes.
  const std::string second_list =
      "metadata /latest/meta-data/zorvel/associations/ 1 ";
  const std::string device1_alone =
      "ZV Client Version: 1.5.3\nTime: <time>\nAttached accelerators: 1\n"
      "Device 0:\n\tType: zva2.large\n\tId: " +
      std::string(kId1) + "\n\tStatus: ";
  const std::vector<SecondDiscoveryCase> cases = {
      {"second discovery fails", second_list + "500\n", 1,
       std::string(kVersionLine) + kDetectionFailed},
      {"second sees device 1 only, device 0 unreachable",
       second_list + "200 " + kId1 + "\n" + Unreachable(kId0), 0,
       device1_alone + "healthy\n"},
      {"second sees device 1 only, device 1 unreachable",
       second_list + "200 " + kId1 + "\n" + Unreachable(kId1), 0,
       device1_alone + "not reachable\n"},
  };
  for (const SecondDiscoveryCase& c : cases) {
    SCOPED_TRACE(c.name);
    StartSimulator(c.fault_plan);
    Result r = Zv({"describe-accelerators"});
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_EQ(MaskTime(r.out), c.out);
    EXPECT_EQ(sim_->Stop(), 0);
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

// zv --json with an invalid ZV_STDERRTHRESHOLD printed the library's
// warning on standard output, ahead of the JSON document.
TEST_F(ToolsTest, InvalidThresholdWarningStaysOffTheJson) {
  StartSimulator();
  env_["ZV_ENABLE_LOGGING"] = "0";
  env_["ZV_STDERRTHRESHOLD"] = "high";
  Result r = Zv({"describe-accelerators", "--json"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(MaskTime(r.out), JsonDescription("healthy", "healthy"));
  EXPECT_NE(r.err.find("ZV_STDERRTHRESHOLD is set to an invalid value: high . "
                       "Acceptable values are 0,1,2,3. For now, picking up "
                       "default value of 2.\n"),
            std::string::npos)
      << r.err;
}

TEST_F(ToolsTest, DescribeTurnsOnTheFileLogUnderHome) {
  StartSimulator();
  Result r = Zv({"describe-accelerators", "--json"});
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(std::filesystem::is_directory(home_ / ".zv" / "logs"));
}

// ---- Values gRPC cannot send --------------------------------------------

struct RefusedValueCase {
  const char* name;
  Env env;
  bool discovery_fails;
  std::string logged;
};

// gRPC stops a process that hands it a header value it will not send: an
// identifier with a control byte or a letter outside ASCII, a region ending
// in a carriage return, a session token ending in a line feed. zv,
// zv-health and an integration died of the signal instead of exiting with a
// code and a message.
TEST_F(ToolsTest, ToolsAndAnIntegrationExitWithACodeOnValuesGrpcCannotSend) {
  // Without an identity document the region comes from KCP_REGION.
  StartSimulator("metadata /latest/dynamic/instance-identity/document 0 404\n");
  // How long the integration waits for a session that never comes.
  std::filesystem::create_directories(home_ / ".zv");
  std::ofstream(home_ / ".zv" / "zv_config.json")
      << R"({"max_wait_for_server_timeout": 200})";
  env_["ZV_LOG_TO_STDERR"] = "1";
  const std::string details =
      R"({"version_2018_04_12": {"zorvelAcceleratorType": "zva1.medium",)"
      R"( "zorvelAcceleratorId": "zva-1\u0001"}})";
  const std::vector<RefusedValueCase> cases = {
      {"identifier outside ASCII",
       {{"QUERY_ACCELERATORS_RESPONSE_OVERRIDE", "zv\xc3\xa4-1"}},
       true,
       R"(accelerator identifier "zv\xc3\xa4-1" from )"
       R"(QUERY_ACCELERATORS_RESPONSE_OVERRIDE is refused)"},
      {"control byte in the details",
       {{"QUERY_ACCELERATOR_DETAILS_RESPONSE_OVERRIDE", details}},
       true,
       R"(accelerator identifier "zva-1\x01" from the details of accelerator )"},
      {"region ending in a carriage return",
       {{"KCP_REGION", "us-west-2\r"}},
       true,
       R"(region "us-west-2\x0d" from KCP_REGION is refused)"},
      {"session token ending in a line feed",
       {{"KCP_SESSION_TOKEN", "tok\n"}},
       false,
       "The session token of the KCP credentials cannot be sent in a request "
       "header"},
  };
  const Env plain = env_;
  for (const RefusedValueCase& c : cases) {
    SCOPED_TRACE(c.name);
    env_ = plain;
    for (const auto& [name, value] : c.env) env_[name] = value;

    Result health = ZvHealth();
    EXPECT_EQ(health.code, 1) << health.err;
    EXPECT_NE(health.err.find(c.logged), std::string::npos) << health.err;
    EXPECT_EQ(health.out, c.discovery_fails ? std::string(kVersionLine)
                                            : "Device 0: not reachable\n"
                                              "Device 1: not reachable\n");

    Result zv = Zv({"describe-accelerators", "--json"});
    EXPECT_EQ(zv.code, c.discovery_fails ? 1 : 0) << zv.err;
    EXPECT_NE(zv.err.find(c.logged), std::string::npos) << zv.err;
    EXPECT_EQ(MaskTime(zv.out),
              c.discovery_fails
                  ? ""
                  : JsonDescription("not reachable", "not reachable"));
#ifdef ZV_EXAMPLE_PATH
    Result integration = RunToEnd(ZV_EXAMPLE_PATH, {}, env_);
    EXPECT_EQ(integration.code, 1) << integration.err;
    EXPECT_NE(integration.err.find(c.discovery_fails
                                       ? "No accelerator is attached to this "
                                         "host.\n"
                                       : "LoadModel failed with code "),
              std::string::npos)
        << integration.err;
#endif
  }
}

}  // namespace
