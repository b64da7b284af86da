// A process that ends while a health-check thread runs: whatever holds the
// accelerator, it exits 0, without a signal and without a sanitizer report.

#include <string>

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace {

// Runs the probe in `mode` and describes how it ended.
std::string RunProbe(const std::string& mode) {
  std::string path = ZV_EXIT_PROBE_PATH;
  char* argv[] = {path.data(), const_cast<char*>(mode.c_str()), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0) {
    return "not started";
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return "lost";
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "exit " + std::to_string(WEXITSTATUS(status));
}

// The holder used to be destroyed after the crypto library's exit cleanup;
// the thread's last DestroySession then drew a request identifier from the
// torn-down random generator: SIGSEGV at every exit.
TEST(ProcessExitTest, ExitWithARunningHealthCheckThread) {
  for (const char* mode : {"global", "global-shutdown", "leaked", "list"}) {
    EXPECT_EQ(RunProbe(mode), "exit 0") << mode;
  }
}

}  // namespace
