// The zv-sim program as scripts use it: --help, the printed exports, the
// fault-plan file and SIGHUP, and a clean exit on SIGTERM.

#include <filesystem>
#include <fstream>
#include <map>

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/sim_client.h"

extern char** environ;

namespace zvtest {
namespace {

// zv-sim running with its standard output and error on pipes.
class Process {
 public:
  explicit Process(const std::vector<std::string>& args) {
    int out[2], err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    std::vector<std::string> all = {ZV_SIM_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, ZV_SIM_BINARY, &actions, nullptr, argv.data(),
                          environ),
              0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    out_ = fdopen(out[0], "r");
    err_ = fdopen(err[0], "r");
  }

  ~Process() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Wait();
    }
    fclose(out_);
    fclose(err_);
  }

  // The next line of standard output (or error), without its line feed;
  // false at the end of the stream.
  bool ReadLine(std::string* line, bool from_stderr = false) {
    char* buffer = nullptr;
    size_t size = 0;
    const ssize_t n = getline(&buffer, &size, from_stderr ? err_ : out_);
    if (n >= 0)
      line->assign(buffer, n > 0 && buffer[n - 1] == '\n' ? n - 1 : n);
    free(buffer);
    return n >= 0;
  }

  std::string ReadAll() {
    std::string all, line;
    while (ReadLine(&line)) all += line + "\n";
    return all;
  }

  void Signal(int signal) { kill(pid_, signal); }

  // The exit status, or -1 when the process did not exit normally.
  int Wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
  FILE* err_ = nullptr;
};

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "zv_sim_cli_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
  }

  // Reads export lines until the last one zv-sim prints (the TLS choice).
  std::map<std::string, std::string> ReadExports(Process* process,
                                                 std::string* text) {
    std::map<std::string, std::string> env;
    std::string line;
    while (process->ReadLine(&line)) {
      *text += line + "\n";
      EXPECT_EQ(line.rfind("export ", 0), 0u) << line;
      const size_t eq = line.find('=');
      env[line.substr(7, eq - 7)] = line.substr(eq + 1);
      if (env.count("ZVL_TLS_OPTION_DISABLED") ||
          env.count("GRPC_DEFAULT_SSL_ROOTS_FILE_PATH")) {
        break;
      }
    }
    return env;
  }

  std::string dir_;
};

TEST_F(CliTest, HelpDocumentsEveryFlag) {
  Process process({"--help"});
  const std::string help = process.ReadAll();
  EXPECT_EQ(process.Wait(), 0);
  for (const char* flag :
       {"--accelerator", "--host-kind", "--region", "--identity-document",
        "--grpc-port", "--metadata-port", "--plaintext", "--ca-file",
        "--access-key-id", "--secret-access-key", "--session-token",
        "--credentials-source", "--credential-ttl", "--fault-plan",
        "--session-expiry", "--operator-whitelist", "--env-file", "--verbose",
        "--help"}) {
    EXPECT_NE(help.find(flag), std::string::npos) << flag;
  }
}

TEST_F(CliTest, BadArgumentsExitWithTwo) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{
           {"--accelerator", "zva3.medium"},
           {"--host-kind", "laptop"},
           {"--grpc-port", "70000"},
           {"--access-key-id", "only-half"},
           {"--credentials-source", "file"},
           {"--credential-ttl", "0"},
           {"--credentials-source", "role", "--session-token", "t"},
           {"--no-such-flag"},
           {"stray"}}) {
    Process process(args);
    EXPECT_EQ(process.Wait(), 2) << args[0];
  }
}

TEST_F(CliTest, BadFaultPlanFailsToStart) {
  WriteFile(dir_ + "/plan", "explode\n");
  Process process({"--plaintext", "--fault-plan", dir_ + "/plan"});
  EXPECT_EQ(process.Wait(), 1);
}

TEST_F(CliTest, ServesUntilSigtermAndExitsCleanly) {
  const std::string plan = dir_ + "/plan";
  const std::string env_file = dir_ + "/env";
  WriteFile(plan, "unhealthy *\n");
  Process process({"--plaintext", "--host-kind", "container", "--region",
                   "sa-east-1", "--accelerator",
                   "zva2.large,id=zva-0123456789abcdef0,device=dev9",
                   "--fault-plan", plan, "--env-file", env_file,
                   "--access-key-id", "AKCLI", "--secret-access-key", "s/k+"});
  std::string printed;
  std::map<std::string, std::string> env = ReadExports(&process, &printed);
  std::ifstream in(env_file);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in),
                        std::istreambuf_iterator<char>()),
            printed);
  EXPECT_EQ(env["KCP_REGION"], "sa-east-1");
  EXPECT_EQ(env["KCP_ACCESS_KEY_ID"], "AKCLI");
  EXPECT_EQ(env["KCP_SECRET_ACCESS_KEY"], "s/k+");
  EXPECT_EQ(env["ZVL_TLS_OPTION_DISABLED"], "1");
  EXPECT_EQ(env["CNS_CONTAINER_METADATA_URI"],
            env["ZV_INSTANCE_METADATA_URI"] + "/container");

  // The metadata service answers for the configured accelerator.
  const std::string base = env["ZV_INSTANCE_METADATA_URI"];
  httplib::Client http(base.substr(std::string("http://").size()).c_str());
  auto list = http.Get("/container/associations/zorvel");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->body, "{\"Associations\":[\"zva-0123456789abcdef0\"]}");

  // The accelerator service takes a Connect signed with the printed
  // credentials, and the fault plan has been applied.
  const std::string accel = "zva-0123456789abcdef0";
  auto channel = OwnChannel(env["ACCELERATOR_PROXYURI_OVERRIDE"],
                            grpc::InsecureChannelCredentials());
  auto stub = zva::rpc::ZvaInference::NewStub(channel);
  auto context = [&] {
    auto c = std::make_unique<grpc::ClientContext>();
    c->AddMetadata("x-kstrn-zva-accelerator-id", accel);
    c->set_deadline(std::chrono::system_clock::now() + seconds(10));
    return c;
  };
  zvsim::SignedConnect request;
  request.authority = env["ACCELERATOR_PROXYURI_OVERRIDE"];
  request.accelerator_id = accel;
  request.date = zvsim::FormatKcpDate(std::chrono::system_clock::now());
  zvsim::ConnectVerifier signer({"AKCLI", "s/k+", ""}, "sa-east-1");
  auto connect = context();
  connect->AddMetadata("authorization", signer.AuthorizationFor(request));
  connect->AddMetadata("x-kst-date", request.date);
  zva::rpc::ConnectRequest connect_req;
  zva::rpc::ConnectResponse connect_resp;
  ASSERT_TRUE(stub->Connect(connect.get(), connect_req, &connect_resp).ok());
  auto ping = [&] {
    auto c = context();
    zva::rpc::PingRequest req;
    zva::rpc::PingResponse resp;
    EXPECT_TRUE(stub->Ping(c.get(), req, &resp).ok());
    return resp.health_state();
  };
  EXPECT_EQ(ping(), zva::rpc::UNHEALTHY);

  // SIGHUP applies the plan file again.
  WriteFile(plan, "healthy *\n");
  process.Signal(SIGHUP);
  std::string line;
  // Other diagnostics may come first.
  while (line != "zv-sim: fault plan applied") {
    ASSERT_TRUE(process.ReadLine(&line, /*from_stderr=*/true));
  }
  EXPECT_EQ(ping(), zva::rpc::HEALTHY);

  process.Signal(SIGTERM);
  EXPECT_EQ(process.Wait(), 0);
}

TEST_F(CliTest, TlsModeWritesTheCaAndRemovesItAtExit) {
  Process process({"--grpc-port", "0", "--metadata-port", "0"});
  std::string printed;
  std::map<std::string, std::string> env = ReadExports(&process, &printed);
  const std::string ca = env["GRPC_DEFAULT_SSL_ROOTS_FILE_PATH"];
  ASSERT_FALSE(ca.empty()) << printed;
  EXPECT_TRUE(std::filesystem::exists(ca));
  EXPECT_EQ(env.count("ZVL_TLS_OPTION_DISABLED"), 0u);
  EXPECT_EQ(env.count("CNS_CONTAINER_METADATA_URI"), 0u);
  EXPECT_EQ(env["KCP_ACCESS_KEY_ID"].rfind("KCPSIM", 0), 0u);
  process.Signal(SIGINT);
  EXPECT_EQ(process.Wait(), 0);
  EXPECT_FALSE(std::filesystem::exists(ca));
}

TEST_F(CliTest, ShortLivedCredentialsAreNeverPrinted) {
  for (const std::string source : {"role", "container"}) {
    SCOPED_TRACE(source);
    Process process({"--plaintext", "--credentials-source", source,
                     "--credential-ttl", "5"});
    std::string printed;
    std::map<std::string, std::string> env = ReadExports(&process, &printed);
    EXPECT_EQ(printed.find("KCP_ACCESS_KEY_ID"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("KCP_SECRET_ACCESS_KEY"), std::string::npos);
    EXPECT_EQ(printed.find("KCP_SESSION_TOKEN"), std::string::npos);
    const std::string base = env["ZV_INSTANCE_METADATA_URI"];
    EXPECT_EQ(env.count("KCP_CONTAINER_CREDENTIALS_URI"),
              source == "container" ? 1u : 0u);
    if (source == "container") {
      EXPECT_EQ(env["KCP_CONTAINER_CREDENTIALS_URI"],
                base + "/container/credentials");
    }
    httplib::Client http(base.substr(std::string("http://").size()).c_str());
    auto role = http.Get("/latest/meta-data/kcp/security-credentials/");
    ASSERT_TRUE(role);
    EXPECT_EQ(role->body, "zv-sim-role");
    process.Signal(SIGTERM);
    EXPECT_EQ(process.Wait(), 0);
  }
}

}  // namespace
}  // namespace zvtest
