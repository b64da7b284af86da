// zv-bench: measures what an Infer costs through the library against a
// client of generated stubs, on a zv-sim of its own, and prints one table.
//
// For each transport (plaintext, TLS) it starts zv-sim and four worker
// processes, one per way of calling (MXNet adapter, PyTorch adapter, raw
// stub, lean floor). For each case (a payload size on one thread, 1 KiB on
// several) the workers run batches of calls in turn, one worker at a time,
// in an order shuffled from round to round; each batch reports its wall time
// and the worker process's own CPU time (getrusage). The table shows the
// medians per call, and each client's ratio to the raw stub as the median of
// the ratios of the same round, which a noisy machine disturbs least.
// Then, on the plaintext zv-sim: the peak resident memory of one large
// Infer, each client in a fresh process; and the CPU time and context
// switches of an idle process holding one accelerator, next to the same
// process without one.
//
// Exit status: 0 when every call succeeded and every output equalled its
// input; 1 on any failure; 2 for bad arguments. Nothing in it asserts on
// speed. scripts/bench.sh builds it and runs it.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <getopt.h>
#include <spawn.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kAcceleratorId[] = "zva-0123456789abcdef0";
constexpr char kLibraryWorker[] = "zv-bench-lib";
constexpr char kRawWorker[] = "zv-bench-raw";
// Sessions of the raw clients are never kept alive: zv-sim keeps them for
// a day instead of 30 s.
constexpr char kSessionExpiryMs[] = "86400000";
constexpr std::chrono::seconds kStartLimit(60);
// Fresh processes per client for the memory figure, of which the median
// is shown.
constexpr int kMemoryProcesses = 3;

constexpr char kUsage[] =
    "Usage: zv-bench [options]\n"
    "       zv-bench [--sim PATH] [--workers DIR] gbench [Google Benchmark "
    "flags]\n"
    "\n"
    "Starts zv-sim (plaintext, then TLS) and measures the wall time and the\n"
    "client process's CPU time per Infer of the MXNet adapter, the PyTorch\n"
    "adapter, a raw generated stub and a lean floor, as ratios to the raw\n"
    "stub; then the peak memory of one large Infer and the cost of an idle\n"
    "process holding an accelerator. Prints the table as Markdown.\n"
    "'gbench' instead runs every worker's Google Benchmark cases against a\n"
    "plaintext zv-sim.\n"
    "\n"
    "Options:\n"
    "  --sim PATH            zv-sim. Default: ../sim/zv-sim from here.\n"
    "  --workers DIR         where zv-bench-lib and zv-bench-raw are.\n"
    "                        Default: this program's directory.\n"
    "  --transports LIST     plaintext,tls or one of them. Default: both.\n"
    "  --sizes LIST          payload bytes, multiples of 4.\n"
    "                        Default: 1024,65536,1048576,16777216.\n"
    "  --threads N           the threaded case: N threads, 1 KiB each\n"
    "                        (0: none). Default: 8.\n"
    "  --rounds N            batches per client and case. Default: 51.\n"
    "  --batch-seconds S     about how long one batch runs. Default: 0.1.\n"
    "  --allocator MODE      the allocator of the timed clients: retain\n"
    "                        (memory freed stays mapped for the next call),\n"
    "                        fresh (every block of 128 KiB or more mapped\n"
    "                        afresh) or default (glibc's own moving\n"
    "                        thresholds, which make runs disagree). The\n"
    "                        memory and idle figures always use glibc's\n"
    "                        defaults. Default: retain.\n"
    "  --memory-bytes N      payload of the memory measurement (0: none).\n"
    "                        Default: 16777216.\n"
    "  --idle-seconds S      length of the idle measurement (0: none).\n"
    "                        Default: 60.\n"
    "  --quick               a smoke run: 2 rounds of 1 call, sizes 1 KiB\n"
    "                        and 1 MiB, 1 MiB memory, 0.5 s idle; the\n"
    "                        options after it still apply.\n"
    "  --out-dir DIR         also write the table to DIR/<UTC time>.md and\n"
    "                        the figures to DIR/<UTC time>.json.\n"
    "  --raw-stamps          the raw stub also sends a request identifier\n"
    "                        and a time stamp with every call, as the\n"
    "                        library does.\n"
    "  --note TEXT           a line for the report's header (the commit).\n"
    "  --help                print this text.\n";

// ---- Children ---------------------------------------------------------------

// Process ids of the running simulators, stopped by the signal handler.
volatile pid_t simulator_pids[2] = {0, 0};

void StopSimulatorsAndExit(int signal_number) {
  for (volatile pid_t& pid : simulator_pids) {
    if (pid > 0) kill(pid, SIGTERM);
  }
  _exit(128 + signal_number);
}

// Where a child's standard output goes.
enum class Output { kDiscard, kPipe, kInherit };

// A child process, optionally with a pipe to its standard input and one
// from its standard output.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    CloseInput();
    if (out_ != nullptr) std::fclose(out_);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Wait();
    }
  }

  // Starts `argv` with `env`; standard error goes to `log`. False, with
  // *error set, when the process cannot be started.
  bool Start(const std::vector<std::string>& argv,
             const std::vector<std::string>& env, bool pipe_input,
             Output output_to, const std::string& log, std::string* error) {
    const bool pipe_output = output_to == Output::kPipe;
    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
    if ((pipe_input && pipe2(input, O_CLOEXEC) != 0) ||
        (pipe_output && pipe2(output, O_CLOEXEC) != 0)) {
      *error = std::string("pipe: ") + std::strerror(errno);
      return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipe_input) {
      posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    } else {
      posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null",
                                       O_RDONLY, 0);
    }
    if (pipe_output) {
      posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    } else if (output_to == Output::kDiscard) {
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null",
                                       O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
      args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& entry : env) {
      envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);
    const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(),
                               envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (pipe_input) close(input[0]);
    if (pipe_output) close(output[1]);
    if (rc != 0) {
      pid_ = 0;
      if (pipe_input) close(input[1]);
      if (pipe_output) close(output[0]);
      *error = "cannot start " + argv[0] + ": " + std::strerror(rc);
      return false;
    }
    if (pipe_input) in_ = fdopen(input[1], "w");
    if (pipe_output) out_ = fdopen(output[0], "r");
    return true;
  }

  // Sends one line to the child's standard input.
  bool Send(const std::string& line) {
    return in_ != nullptr && std::fprintf(in_, "%s\n", line.c_str()) > 0 &&
           std::fflush(in_) == 0;
  }

  // The next line of the child's standard output, without its line end;
  // false at its end.
  bool ReadLine(std::string* line) {
    line->clear();
    if (out_ == nullptr) return false;
    char buffer[4096];
    while (std::fgets(buffer, sizeof(buffer), out_) != nullptr) {
      line->append(buffer);
      if (!line->empty() && line->back() == '\n') {
        line->pop_back();
        return true;
      }
    }
    return !line->empty();
  }

  void CloseInput() {
    if (in_ != nullptr) std::fclose(in_);
    in_ = nullptr;
  }

  // Waits for the child to end; its exit status, or 128 + the signal that
  // ended it.
  int Wait() {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = 0;
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
  }

  // True while the child runs.
  bool Running() {
    int status = 0;
    if (pid_ <= 0) return false;
    if (waitpid(pid_, &status, WNOHANG) == 0) return true;
    pid_ = 0;
    return false;
  }

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = 0;
  FILE* in_ = nullptr;
  FILE* out_ = nullptr;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The last lines of a log, for a failure message.
std::string Tail(const std::string& path) {
  const std::string text = ReadFile(path);
  size_t start = text.size();
  for (int lines = 0; lines < 15 && start > 0; ++lines) {
    start = text.rfind('\n', start - 1);
    if (start == std::string::npos) {
      start = 0;
      break;
    }
  }
  return text.substr(start);
}

// ---- Options ----------------------------------------------------------------

struct Options {
  std::string sim;
  std::string workers;
  std::vector<std::string> transports = {"plaintext", "tls"};
  std::vector<size_t> sizes = {1 << 10, 64 << 10, 1 << 20, 16 << 20};
  int threads = 8;
  int rounds = 51;
  double batch_seconds = 0.1;
  size_t memory_bytes = 16 << 20;
  double idle_seconds = 60;
  std::string allocator = "retain";
  std::string out_dir;
  std::string note;
  bool raw_stamps = false;
};

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  std::istringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (!item.empty()) items.push_back(item);
  }
  return items;
}

bool ParseSize(const std::string& text, size_t* out) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value % 4 != 0 ||
      value > (1ull << 30)) {
    return false;
  }
  *out = static_cast<size_t>(value);
  return true;
}

bool ParseInt(const char* text, int low, int high, int* out) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < low ||
      value > high) {
    return false;
  }
  *out = static_cast<int>(value);
  return true;
}

bool ParseSeconds(const char* text, double* out) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(value >= 0) || value > 3600) {
    return false;
  }
  *out = value;
  return true;
}

std::string ProgramDirectory() {
  std::error_code error;
  const std::filesystem::path self =
      std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string(".") : self.parent_path().string();
}

// ---- The environment of the children ----------------------------------------

// Names that would send the library elsewhere or change what it does, and
// the proxies: every child gets zv-sim's values or none.
bool Inherited(const std::string& name) {
  static const char* const kDropped[] = {
      "HOME",
      "http_proxy",
      "https_proxy",
      "HTTP_PROXY",
      "HTTPS_PROXY",
      "all_proxy",
      "ALL_PROXY",
      "no_proxy",
      "NO_PROXY",
      "ZV_VISIBLE_DEVICES",
      "CNS_CONTAINER_METADATA_URI",
      "ACCELERATOR_PROXYURI_OVERRIDE",
      "QUERY_ACCELERATORS_RESPONSE_OVERRIDE",
      "QUERY_ACCELERATOR_DETAILS_RESPONSE_OVERRIDE",
      "ZVL_TLS_OPTION_DISABLED",
      "GRPC_DEFAULT_SSL_ROOTS_FILE_PATH",
      "ZV_ENABLE_LOGGING",
      "ZV_LOG_TO_STDERR",
      "ZV_INFER_TIMEOUT",
      "ZV_LOADMODEL_TIMEOUT",
      "ZVA_API_TIMEOUT_DEADLINE",
      "ZV_INSTANCE_METADATA_URI",
      "ZV_BENCH_RAW_STAMPS"};
  if (name.rfind("KCP_", 0) == 0) return false;
  for (const char* dropped : kDropped) {
    if (name == dropped) return false;
  }
  return true;
}

// The allocator settings of --allocator: glibc moves its thresholds for
// mapping and returning memory as a process frees large blocks, so whether
// a call's buffers come from memory kept or are mapped (and faulted in)
// afresh depends on what the process did before, and the CPU time of calls
// of 1 MiB and more changes from one run to the next by up to twice.
// Fixed thresholds make runs agree. "retain": blocks below 32 MiB come from
// memory that stays mapped; "fresh": every block of 128 KiB or more is
// mapped afresh, its pages faulted in, on every call; "default": glibc's
// own moving thresholds.
std::string AllocatorTunables(const std::string& mode) {
  if (mode == "retain") {
    return "glibc.malloc.mmap_threshold=33554432:"
           "glibc.malloc.trim_threshold=1073741824";
  }
  if (mode == "fresh") {
    return "glibc.malloc.mmap_threshold=131072:"
           "glibc.malloc.trim_threshold=131072";
  }
  return "";
}

// The environment of a child: this one's without what could send it
// elsewhere, a HOME of its own, `extra`, and `tunables` added to
// "GLIBC_TUNABLES".
std::vector<std::string> ChildEnvironment(
    const std::string& home,
    const std::vector<std::pair<std::string, std::string>>& extra,
    const std::string& tunables) {
  std::vector<std::string> env;
  bool tuned = tunables.empty();
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    if (!Inherited(name)) continue;
    if (name == "GLIBC_TUNABLES" && !tuned) {
      text += ":" + tunables;
      tuned = true;
    }
    env.push_back(text);
  }
  if (!tuned) env.push_back("GLIBC_TUNABLES=" + tunables);
  env.push_back("HOME=" + home);
  env.push_back("no_proxy=127.0.0.1,localhost");
  env.push_back("NO_PROXY=127.0.0.1,localhost");
  for (const auto& [name, value] : extra) env.push_back(name + "=" + value);
  return env;
}

// "export NAME=VALUE" lines, VALUE bare or in single quotes.
std::vector<std::pair<std::string, std::string>> ParseExports(
    const std::string& text) {
  std::vector<std::pair<std::string, std::string>> exports;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("export ", 0) != 0) continue;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string name = line.substr(7, equals - 7);
    const std::string quoted = line.substr(equals + 1);
    std::string value;
    bool in_quotes = false;
    for (size_t i = 0; i < quoted.size(); ++i) {
      const char c = quoted[i];
      if (c == '\'') {
        in_quotes = !in_quotes;
      } else if (c == '\\' && !in_quotes && i + 1 < quoted.size()) {
        value.push_back(quoted[++i]);
      } else {
        value.push_back(c);
      }
    }
    exports.emplace_back(name, value);
  }
  return exports;
}

// ---- zv-sim -----------------------------------------------------------------

class Simulator {
 public:
  Simulator(int index, const std::string& work) : index_(index), work_(work) {}
  ~Simulator() { Stop(); }

  // The simulator keeps its memory whatever the workers do, unless every
  // process is to run with glibc's defaults (`allocator` "default").
  bool Start(const std::string& program, bool plaintext,
             const std::string& allocator, std::string* error) {
    const std::string name = plaintext ? "plaintext" : "tls";
    const std::string env_file = work_ + "/sim-" + name + ".env";
    log_ = work_ + "/sim-" + name + ".log";
    std::vector<std::string> argv = {
        program,
        "--accelerator",
        std::string("zva1.medium,id=") + kAcceleratorId,
        "--session-expiry",
        kSessionExpiryMs,
        "--env-file",
        env_file};
    if (plaintext) argv.push_back("--plaintext");
    const std::string tunables =
        allocator == "default" ? "" : AllocatorTunables("retain");
    if (!child_.Start(argv, ChildEnvironment(work_ + "/home", {}, tunables),
                      false, Output::kDiscard, log_, error)) {
      return false;
    }
    simulator_pids[index_] = child_.pid();
    // zv-sim writes the file whole, under its final name, once it serves.
    const Clock::time_point limit = Clock::now() + kStartLimit;
    while (!std::filesystem::exists(env_file)) {
      if (!child_.Running() || Clock::now() > limit) {
        *error = "zv-sim did not start:\n" + Tail(log_);
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    exports_ = ParseExports(ReadFile(env_file));
    return true;
  }

  // Stops zv-sim; false when it did not exit cleanly.
  bool Stop() {
    if (child_.pid() <= 0) return true;
    kill(child_.pid(), SIGTERM);
    const int status = child_.Wait();
    simulator_pids[index_] = 0;
    return status == 0;
  }

  const std::vector<std::pair<std::string, std::string>>& exports() const {
    return exports_;
  }

 private:
  int index_;
  std::string work_;
  std::string log_;
  Child child_;
  std::vector<std::pair<std::string, std::string>> exports_;
};

// What the workers find in their environment besides the machine's own:
// zv-sim's exports, and the raw stub's switch.
std::vector<std::pair<std::string, std::string>> WorkerExports(
    const Options& options, const Simulator& sim) {
  std::vector<std::pair<std::string, std::string>> exports = sim.exports();
  if (options.raw_stamps) exports.emplace_back("ZV_BENCH_RAW_STAMPS", "1");
  return exports;
}

// ---- Workers ----------------------------------------------------------------

struct ClientInfo {
  const char* name;   // the worker's client name
  const char* title;  // in the table
  bool library;       // in zv-bench-lib, else zv-bench-raw
};

// The raw stub comes first: every ratio is to it.
const ClientInfo kClients[] = {
    {"raw-stub", "raw stub", false},
    {"mxnet", "MXNet adapter", true},
    {"pytorch", "PyTorch adapter", true},
    {"lean-floor", "lean floor", false},
};
constexpr int kClientCount = 4;

std::vector<std::string> WorkerCommand(const Options& options,
                                       const ClientInfo& client) {
  if (client.library) {
    return {options.workers + "/" + kLibraryWorker, "--client", client.name};
  }
  return {options.workers + "/" + kRawWorker, "--accelerator-id",
          kAcceleratorId, "--client", client.name};
}

// A worker serving the protocol of worker.h.
class Worker {
 public:
  bool Start(const Options& options, const ClientInfo& client,
             const std::vector<std::string>& env, const std::string& log,
             std::string* error) {
    log_ = log;
    std::vector<std::string> argv = WorkerCommand(options, client);
    argv.push_back("serve");
    if (!child_.Start(argv, env, true, Output::kPipe, log, error)) {
      return false;
    }
    std::string line;
    if (!child_.ReadLine(&line) || line != "ready") {
      *error = std::string(client.name) + " did not start: " + line + "\n" +
               Tail(log_);
      return false;
    }
    return true;
  }

  // Sends a command and returns the numbers of an "ok" reply, of which
  // there must be at least `count`.
  bool Call(const std::string& command, size_t count,
            std::vector<int64_t>* values, std::string* error) {
    std::string line;
    if (!child_.Send(command) || !child_.ReadLine(&line)) {
      *error = "the worker ended:\n" + Tail(log_);
      return false;
    }
    std::istringstream in(line);
    std::string word;
    in >> word;
    if (word != "ok") {
      *error = line;
      return false;
    }
    values->clear();
    int64_t value = 0;
    while (in >> value) values->push_back(value);
    if (values->size() < count) {
      *error = "short reply: " + line;
      return false;
    }
    return true;
  }

  // Asks the worker to end; false when it did not end cleanly.
  bool Stop() {
    child_.Send("quit");
    child_.CloseInput();
    return child_.Wait() == 0;
  }

 private:
  Child child_;
  std::string log_;
};

// ---- Measurement ------------------------------------------------------------

struct Case {
  size_t bytes = 0;
  int threads = 1;
};

std::string SizeText(size_t bytes) {
  if (bytes >= (1 << 20) && bytes % (1 << 20) == 0) {
    return std::to_string(bytes >> 20) + " MiB";
  }
  if (bytes >= (1 << 10) && bytes % (1 << 10) == 0) {
    return std::to_string(bytes >> 10) + " KiB";
  }
  return std::to_string(bytes) + " B";
}

std::string CaseText(const Case& c) {
  std::string text = SizeText(c.bytes);
  if (c.threads > 1) text += ", " + std::to_string(c.threads) + " threads";
  return text;
}

double Median(std::vector<double> values) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The value below which a quarter (q = 0.25) or three quarters lie.
double Quantile(std::vector<double> values, double q) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  const double position = q * static_cast<double>(values.size() - 1);
  const size_t below = static_cast<size_t>(std::floor(position));
  const size_t above = std::min(below + 1, values.size() - 1);
  const double weight = position - static_cast<double>(below);
  return values[below] * (1 - weight) + values[above] * weight;
}

// Per call, one value per round.
struct Samples {
  std::vector<double> wall_ns;
  std::vector<double> cpu_ns;
  std::vector<double> voluntary_switches;
  std::vector<double> wall_ratio;  // to the raw stub of the same round
  std::vector<double> cpu_ratio;
};

struct CaseResult {
  std::string transport;
  Case c;
  int calls_per_thread = 0;  // in one batch
  Samples clients[kClientCount];
};

// Growths of the peak resident size, one per fresh process.
struct MemoryResult {
  std::vector<double> growth_kib;
};

struct IdleResult {
  double seconds = 0;
  int64_t cpu_ns = 0;
  int64_t voluntary_switches = 0;
  int64_t involuntary_switches = 0;
};

struct Report {
  std::string started;  // UTC
  std::vector<CaseResult> cases;
  size_t memory_bytes = 0;
  MemoryResult memory[kClientCount];
  bool idle_measured = false;
  IdleResult idle_with;
  IdleResult idle_without;
  IdleResult idle_raw;  // a raw stub keeping a session alive
};

bool RunCase(const Options& options, const std::string& transport,
             const Case& c, std::vector<std::unique_ptr<Worker>>& workers,
             CaseResult* result, std::string* error) {
  result->transport = transport;
  result->c = c;
  std::vector<int64_t> values;
  const std::string threads = std::to_string(c.threads);
  const std::string prepare =
      "prepare " + std::to_string(c.bytes) + " " + threads;
  // A first batch warms each client up (the first calls of a size are the
  // slowest); a second tells how long a call takes.
  double slowest_call_s = 0;
  for (int i = 0; i < kClientCount; ++i) {
    if (!workers[i]->Call(prepare, 0, &values, error) ||
        !workers[i]->Call("run " + threads + " 2", 4, &values, error) ||
        !workers[i]->Call("run " + threads + " 3", 4, &values, error)) {
      *error =
          std::string(kClients[i].name) + ", " + CaseText(c) + ": " + *error;
      return false;
    }
    slowest_call_s = std::max(
        slowest_call_s, static_cast<double>(values[0]) / 1e9 / 3 / c.threads);
  }
  slowest_call_s = std::max(slowest_call_s, 1e-9);
  const double calls = options.batch_seconds / (slowest_call_s * c.threads);
  result->calls_per_thread =
      static_cast<int>(std::clamp(std::floor(calls), 1.0, 100000.0));
  const std::string run =
      "run " + threads + " " + std::to_string(result->calls_per_thread);
  const double calls_per_batch =
      static_cast<double>(result->calls_per_thread) * c.threads;

  // No client always follows the same one; the seed is fixed, so runs
  // differ only by the machine.
  std::mt19937 random(1);
  int order[kClientCount];
  std::iota(std::begin(order), std::end(order), 0);
  for (int round = 0; round < options.rounds; ++round) {
    double wall[kClientCount];
    double cpu[kClientCount];
    std::shuffle(std::begin(order), std::end(order), random);
    for (const int i : order) {
      if (!workers[i]->Call(run, 4, &values, error)) {
        *error =
            std::string(kClients[i].name) + ", " + CaseText(c) + ": " + *error;
        return false;
      }
      wall[i] = static_cast<double>(values[0]) / calls_per_batch;
      cpu[i] = static_cast<double>(values[1]) / calls_per_batch;
      Samples& samples = result->clients[i];
      samples.wall_ns.push_back(wall[i]);
      samples.cpu_ns.push_back(cpu[i]);
      samples.voluntary_switches.push_back(static_cast<double>(values[2]) /
                                           calls_per_batch);
    }
    for (int i = 0; i < kClientCount; ++i) {
      result->clients[i].wall_ratio.push_back(wall[i] / wall[0]);
      result->clients[i].cpu_ratio.push_back(cpu[i] / cpu[0]);
    }
  }
  std::fprintf(stderr, "zv-bench: %s, %s: %d rounds of %d calls%s\n",
               transport.c_str(), CaseText(c).c_str(), options.rounds,
               result->calls_per_thread, c.threads > 1 ? " per thread" : "");
  return true;
}

bool MeasureTransport(const Options& options, const std::string& transport,
                      const Simulator& sim, const std::string& work,
                      Report* report, std::string* error) {
  const std::vector<std::string> env =
      ChildEnvironment(work + "/home", WorkerExports(options, sim),
                       AllocatorTunables(options.allocator));
  std::vector<std::unique_ptr<Worker>> workers;
  for (const ClientInfo& client : kClients) {
    workers.push_back(std::make_unique<Worker>());
    if (!workers.back()->Start(
            options, client, env,
            work + "/" + transport + "-" + client.name + ".log", error)) {
      return false;
    }
  }
  std::vector<Case> cases;
  for (size_t bytes : options.sizes) cases.push_back({bytes, 1});
  if (options.threads > 1) cases.push_back({1 << 10, options.threads});
  for (const Case& c : cases) {
    report->cases.emplace_back();
    if (!RunCase(options, transport, c, workers, &report->cases.back(),
                 error)) {
      return false;
    }
  }
  for (size_t i = 0; i < workers.size(); ++i) {
    if (!workers[i]->Stop()) {
      *error = std::string(kClients[i].name) + " did not exit cleanly";
      return false;
    }
  }
  return true;
}

// Runs a one-shot worker command and returns the numbers of its "ok" line.
bool RunOnce(const std::vector<std::string>& argv,
             const std::vector<std::string>& env, const std::string& log,
             std::vector<double>* values, std::string* error) {
  Child child;
  if (!child.Start(argv, env, false, Output::kPipe, log, error)) return false;
  std::string line;
  std::string last;
  while (child.ReadLine(&line)) last = line;
  const int status = child.Wait();
  std::istringstream in(last);
  std::string word;
  in >> word;
  values->clear();
  double value = 0;
  while (in >> value) values->push_back(value);
  if (status != 0 || word != "ok") {
    *error = argv[0] + " " + argv.back() + " failed (exit status " +
             std::to_string(status) + "): " + last + "\n" + Tail(log);
    return false;
  }
  return true;
}

bool MeasureMemory(const Options& options, const std::vector<std::string>& env,
                   const std::string& work, Report* report,
                   std::string* error) {
  report->memory_bytes = options.memory_bytes;
  // Whether gRPC lets go of the request before the response arrives varies
  // from call to call, so each client gets a few processes.
  for (int process = 0; process < kMemoryProcesses; ++process) {
    for (int i = 0; i < kClientCount; ++i) {
      std::vector<std::string> argv = WorkerCommand(options, kClients[i]);
      argv.push_back("memory");
      argv.push_back(std::to_string(options.memory_bytes));
      std::vector<double> values;
      if (!RunOnce(argv, env,
                   work + "/memory-" + std::string(kClients[i].name) + ".log",
                   &values, error)) {
        return false;
      }
      if (values.size() < 2) {
        *error = "memory: short reply";
        return false;
      }
      report->memory[i].growth_kib.push_back(values[1] - values[0]);
    }
  }
  std::fprintf(stderr, "zv-bench: memory of one %s Infer measured\n",
               SizeText(options.memory_bytes).c_str());
  return true;
}

// The idle processes run at once: none does anything worth noticing.
bool MeasureIdle(const Options& options, const std::vector<std::string>& env,
                 const std::string& work, Report* report, std::string* error) {
  char seconds[32];
  std::snprintf(seconds, sizeof(seconds), "%g", options.idle_seconds);
  const std::string program = options.workers + "/" + kLibraryWorker;
  std::fprintf(stderr, "zv-bench: idle for %s s\n", seconds);
  std::vector<double> with;
  std::vector<double> without;
  std::vector<double> raw;
  std::string without_error;
  std::string raw_error;
  std::thread bare([&] {
    if (!RunOnce({program, "idle", seconds, "--no-accelerator"}, env,
                 work + "/idle-without.log", &without, &without_error)) {
      without.clear();
    }
  });
  std::thread stub([&] {
    if (!RunOnce({options.workers + "/" + kRawWorker, "--accelerator-id",
                  kAcceleratorId, "idle", seconds},
                 env, work + "/idle-raw.log", &raw, &raw_error)) {
      raw.clear();
    }
  });
  const bool ok = RunOnce({program, "idle", seconds}, env,
                          work + "/idle-with.log", &with, error);
  bare.join();
  stub.join();
  if (!ok) return false;
  if (without.size() < 4 || with.size() < 4 || raw.size() < 4) {
    *error = !without_error.empty() ? without_error
             : !raw_error.empty()   ? raw_error
                                    : "idle: short reply";
    return false;
  }
  auto fill = [](const std::vector<double>& values, IdleResult* idle) {
    idle->seconds = values[0];
    idle->cpu_ns = static_cast<int64_t>(values[1]);
    idle->voluntary_switches = static_cast<int64_t>(values[2]);
    idle->involuntary_switches = static_cast<int64_t>(values[3]);
  };
  fill(with, &report->idle_with);
  fill(without, &report->idle_without);
  fill(raw, &report->idle_raw);
  report->idle_measured = true;
  return true;
}

// ---- The report -------------------------------------------------------------

std::string Format(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof(text), pattern, value);
  return text;
}

std::string DurationText(double ns) {
  if (std::isnan(ns)) return "-";
  if (ns < 1e4) return Format("%.1f µs", ns / 1e3);
  if (ns < 1e6) return Format("%.0f µs", ns / 1e3);
  if (ns < 1e9) return Format("%.2f ms", ns / 1e6);
  return Format("%.2f s", ns / 1e9);
}

std::string RatioText(double ratio) {
  return std::isnan(ratio) ? "-" : Format("%.2f", ratio);
}

std::string UtcText(const char* pattern) {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[64];
  return std::string(text, std::strftime(text, sizeof(text), pattern, &utc));
}

std::string CpuModel() {
  std::istringstream in(ReadFile("/proc/cpuinfo"));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) {
      const size_t colon = line.find(':');
      if (colon != std::string::npos) return line.substr(colon + 2);
    }
  }
  return "unknown CPU";
}

std::string MachineText() {
  utsname name{};
  uname(&name);
  double load[3] = {0, 0, 0};
  getloadavg(load, 3);
  return CpuModel() + ", " +
         std::to_string(std::thread::hardware_concurrency()) + " cores, " +
         name.sysname + " " + name.release +
         Format(", load average %.2f at start", load[0]);
}

std::string Markdown(const Options& options, const Report& report,
                     const std::string& machine) {
  std::ostringstream out;
  out << "Infer through the library against a raw generated stub, zv-sim in a "
         "process of its own on loopback\n("
      << report.started << "; " << machine << ")\n";
  if (!options.note.empty()) out << "(" << options.note << ")\n";
  if (options.raw_stamps) {
    out << "(the raw stub stamps every call with a request identifier and a "
           "time stamp, as the library does)\n";
  }
  out << "\nPer call, medians of " << options.rounds
      << " interleaved batches; the clients' allocator: " << options.allocator
      << ". Raw stub: absolute; the others: their wall time and client CPU "
         "time as ratios to the raw stub's (below 1: cheaper).\n\n";
  out << "| transport | payload | raw stub wall | raw stub CPU |";
  for (int i = 1; i < kClientCount; ++i) {
    out << " " << kClients[i].title << " wall | " << kClients[i].title
        << " CPU |";
  }
  out << "\n|---|---|---:|---:|";
  for (int i = 1; i < kClientCount; ++i) out << "---:|---:|";
  out << "\n";
  for (const CaseResult& result : report.cases) {
    out << "| " << result.transport << " | " << CaseText(result.c) << " | "
        << DurationText(Median(result.clients[0].wall_ns)) << " | "
        << DurationText(Median(result.clients[0].cpu_ns)) << " |";
    for (int i = 1; i < kClientCount; ++i) {
      out << " " << RatioText(Median(result.clients[i].wall_ratio)) << " | "
          << RatioText(Median(result.clients[i].cpu_ratio)) << " |";
    }
    out << "\n";
  }
  if (report.memory_bytes > 0) {
    out << "\nOne " << SizeText(report.memory_bytes)
        << " Infer (plaintext) in a fresh process with glibc's default "
           "allocator, the caller's input and output buffers already in "
           "place: growth of the peak resident size over the call, median "
           "of "
        << kMemoryProcesses
        << " processes.\n\n| client | peak growth | in payloads |\n"
           "|---|---:|---:|\n";
    for (int i = 0; i < kClientCount; ++i) {
      const double growth_kib = Median(report.memory[i].growth_kib);
      out << "| " << kClients[i].title << " | "
          << Format("%.1f MiB", growth_kib / 1024) << " | "
          << Format("%.2f", growth_kib * 1024 /
                                static_cast<double>(report.memory_bytes))
          << " |\n";
    }
  }
  if (report.idle_measured) {
    const IdleResult& with = report.idle_with;
    const IdleResult& without = report.idle_without;
    auto row = [&out](const char* title, double seconds, double cpu_ns,
                      double voluntary, double involuntary) {
      out << "| " << title << " | " << Format("%.2f ms", cpu_ns / 1e6 / seconds)
          << " | " << Format("%.3f %%", cpu_ns / 1e7 / seconds) << " | "
          << Format("%.1f", voluntary / seconds) << " | "
          << Format("%.1f", involuntary / seconds) << " |\n";
    };
    out << "\nAn idle process for " << Format("%.3g", with.seconds)
        << " s (plaintext): CPU time and context switches per second.\n\n"
           "| process | CPU per s | of one core | voluntary switches per s | "
           "involuntary per s |\n|---|---:|---:|---:|---:|\n";
    row("holding one accelerator", with.seconds,
        static_cast<double>(with.cpu_ns),
        static_cast<double>(with.voluntary_switches),
        static_cast<double>(with.involuntary_switches));
    row("without an accelerator", without.seconds,
        static_cast<double>(without.cpu_ns),
        static_cast<double>(without.voluntary_switches),
        static_cast<double>(without.involuntary_switches));
    // Per second of each, so that the two sleeps need not match exactly.
    const double seconds = with.seconds;
    const double scale = with.seconds / without.seconds;
    row("difference: the accelerator's health check", seconds,
        static_cast<double>(with.cpu_ns) -
            static_cast<double>(without.cpu_ns) * scale,
        static_cast<double>(with.voluntary_switches) -
            static_cast<double>(without.voluntary_switches) * scale,
        static_cast<double>(with.involuntary_switches) -
            static_cast<double>(without.involuntary_switches) * scale);
    // The least a client that keeps a session alive costs, for comparison.
    const IdleResult& raw = report.idle_raw;
    row("raw stub: one channel, a keep-alive every 2 s", raw.seconds,
        static_cast<double>(raw.cpu_ns),
        static_cast<double>(raw.voluntary_switches),
        static_cast<double>(raw.involuntary_switches));
  }
  return out.str();
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
      out += escaped;
    } else {
      out.push_back(c);
    }
  }
  return out + "\"";
}

std::string JsonNumber(double value) {
  if (std::isnan(value) || std::isinf(value)) return "null";
  return Format("%.6g", value);
}

// {"median": m, "p25": a, "p75": b}
std::string JsonSpread(const std::vector<double>& values) {
  return "{\"median\": " + JsonNumber(Median(values)) +
         ", \"p25\": " + JsonNumber(Quantile(values, 0.25)) +
         ", \"p75\": " + JsonNumber(Quantile(values, 0.75)) + "}";
}

std::string Json(const Options& options, const Report& report,
                 const std::string& machine) {
  std::ostringstream out;
  out << "{\n  \"started\": " << JsonString(report.started)
      << ",\n  \"machine\": " << JsonString(machine)
      << ",\n  \"note\": " << JsonString(options.note)
      << ",\n  \"raw_stamps\": " << (options.raw_stamps ? "true" : "false")
      << ",\n  \"rounds\": " << options.rounds
      << ",\n  \"batch_seconds\": " << JsonNumber(options.batch_seconds)
      << ",\n  \"allocator\": " << JsonString(options.allocator)
      << ",\n  \"units\": \"nanoseconds per call; ratios to raw-stub, "
         "median of the per-round ratios\",\n  \"cases\": [";
  for (size_t k = 0; k < report.cases.size(); ++k) {
    const CaseResult& result = report.cases[k];
    out << (k == 0 ? "" : ",")
        << "\n    {\"transport\": " << JsonString(result.transport)
        << ", \"bytes\": " << result.c.bytes
        << ", \"threads\": " << result.c.threads
        << ", \"calls_per_thread_per_batch\": " << result.calls_per_thread
        << ", \"clients\": {";
    for (int i = 0; i < kClientCount; ++i) {
      const Samples& s = result.clients[i];
      out << (i == 0 ? "" : ",") << "\n      " << JsonString(kClients[i].name)
          << ": {\"wall_ns\": " << JsonSpread(s.wall_ns)
          << ", \"cpu_ns\": " << JsonSpread(s.cpu_ns)
          << ", \"voluntary_switches\": "
          << JsonNumber(Median(s.voluntary_switches))
          << ", \"wall_ratio\": " << JsonNumber(Median(s.wall_ratio))
          << ", \"cpu_ratio\": " << JsonNumber(Median(s.cpu_ratio)) << "}";
    }
    out << "}}";
  }
  out << "\n  ]";
  if (report.memory_bytes > 0) {
    out << ",\n  \"memory\": {\"bytes\": " << report.memory_bytes
        << ", \"transport\": \"plaintext\", \"clients\": {";
    for (int i = 0; i < kClientCount; ++i) {
      out << (i == 0 ? "" : ", ") << JsonString(kClients[i].name)
          << ": {\"peak_growth_kib\": [";
      const std::vector<double>& growths = report.memory[i].growth_kib;
      for (size_t k = 0; k < growths.size(); ++k) {
        out << (k == 0 ? "" : ", ") << JsonNumber(growths[k]);
      }
      out << "]}";
    }
    out << "}}";
  }
  if (report.idle_measured) {
    auto idle = [&out](const char* name, const IdleResult& r) {
      out << JsonString(name) << ": {\"seconds\": " << JsonNumber(r.seconds)
          << ", \"cpu_ns\": " << r.cpu_ns
          << ", \"voluntary_switches\": " << r.voluntary_switches
          << ", \"involuntary_switches\": " << r.involuntary_switches << "}";
    };
    out << ",\n  \"idle\": {";
    idle("with_accelerator", report.idle_with);
    out << ", ";
    idle("without_accelerator", report.idle_without);
    out << ", ";
    idle("raw_stub_keep_alive", report.idle_raw);
    out << "}";
  }
  out << "\n}\n";
  return out.str();
}

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

// ---- Main -------------------------------------------------------------------

int GoogleBenchmark(const Options& options, int argc, char** argv,
                    const std::string& work) {
  Simulator sim(0, work);
  std::string error;
  if (!sim.Start(options.sim, true, options.allocator, &error)) {
    std::fprintf(stderr, "zv-bench: %s\n", error.c_str());
    return 1;
  }
  const std::vector<std::string> env =
      ChildEnvironment(work + "/home", WorkerExports(options, sim),
                       AllocatorTunables(options.allocator));
  int status = 0;
  for (const ClientInfo& client : kClients) {
    std::vector<std::string> command = WorkerCommand(options, client);
    command.push_back("gbench");
    for (int i = 0; i < argc; ++i) command.push_back(argv[i]);
    Child child;
    const std::string log = work + "/gbench-" + client.name + ".log";
    // Google Benchmark's table goes to this program's standard output.
    std::fflush(stdout);
    if (!child.Start(command, env, false, Output::kInherit, log, &error)) {
      std::fprintf(stderr, "zv-bench: %s\n", error.c_str());
      return 1;
    }
    const int rc = child.Wait();
    if (rc != 0) {
      std::fprintf(stderr, "zv-bench: %s: exit status %d\n%s", client.name, rc,
                   Tail(log).c_str());
      status = 1;
    }
  }
  if (!sim.Stop()) {
    std::fprintf(stderr, "zv-bench: zv-sim did not exit cleanly\n");
    status = 1;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.workers = ProgramDirectory();
  options.sim = options.workers + "/../sim/zv-sim";
  enum Flag {
    kSim = 1000,
    kWorkers,
    kTransports,
    kSizes,
    kThreads,
    kRounds,
    kBatchSeconds,
    kMemoryBytes,
    kIdleSeconds,
    kQuick,
    kAllocator,
    kOutDir,
    kNote,
    kRawStamps,
    kHelp,
  };
  static const option kOptions[] = {
      {"sim", required_argument, nullptr, kSim},
      {"workers", required_argument, nullptr, kWorkers},
      {"transports", required_argument, nullptr, kTransports},
      {"sizes", required_argument, nullptr, kSizes},
      {"threads", required_argument, nullptr, kThreads},
      {"rounds", required_argument, nullptr, kRounds},
      {"batch-seconds", required_argument, nullptr, kBatchSeconds},
      {"memory-bytes", required_argument, nullptr, kMemoryBytes},
      {"idle-seconds", required_argument, nullptr, kIdleSeconds},
      {"quick", no_argument, nullptr, kQuick},
      {"allocator", required_argument, nullptr, kAllocator},
      {"out-dir", required_argument, nullptr, kOutDir},
      {"note", required_argument, nullptr, kNote},
      {"raw-stamps", no_argument, nullptr, kRawStamps},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0}};
  auto usage_error = [](const std::string& message) {
    std::fprintf(stderr, "zv-bench: %s\n%s", message.c_str(), kUsage);
    return 2;
  };
  int flag = 0;
  // '+': options end at the first word that is not one ("gbench").
  while ((flag = getopt_long(argc, argv, "+", kOptions, nullptr)) != -1) {
    switch (flag) {
      case kSim:
        options.sim = optarg;
        break;
      case kWorkers:
        options.workers = optarg;
        break;
      case kTransports:
        options.transports = SplitList(optarg);
        for (const std::string& t : options.transports) {
          if (t != "plaintext" && t != "tls") {
            return usage_error("unknown transport " + t);
          }
        }
        break;
      case kSizes:
        options.sizes.clear();
        for (const std::string& item : SplitList(optarg)) {
          size_t bytes = 0;
          if (!ParseSize(item, &bytes) || bytes == 0) {
            return usage_error("bad size " + item);
          }
          options.sizes.push_back(bytes);
        }
        break;
      case kThreads:
        if (!ParseInt(optarg, 0, 256, &options.threads)) {
          return usage_error(std::string("bad --threads ") + optarg);
        }
        break;
      case kRounds:
        if (!ParseInt(optarg, 1, 100000, &options.rounds)) {
          return usage_error(std::string("bad --rounds ") + optarg);
        }
        break;
      case kBatchSeconds:
        if (!ParseSeconds(optarg, &options.batch_seconds)) {
          return usage_error(std::string("bad --batch-seconds ") + optarg);
        }
        break;
      case kMemoryBytes:
        if (!ParseSize(optarg, &options.memory_bytes)) {
          return usage_error(std::string("bad --memory-bytes ") + optarg);
        }
        break;
      case kIdleSeconds:
        if (!ParseSeconds(optarg, &options.idle_seconds)) {
          return usage_error(std::string("bad --idle-seconds ") + optarg);
        }
        break;
      case kQuick:
        options.rounds = 2;
        options.batch_seconds = 0;
        options.sizes = {1 << 10, 1 << 20};
        options.memory_bytes = 1 << 20;
        options.idle_seconds = 0.5;
        break;
      case kAllocator:
        options.allocator = optarg;
        if (options.allocator != "retain" && options.allocator != "fresh" &&
            options.allocator != "default") {
          return usage_error("--allocator must be retain, fresh or default");
        }
        break;
      case kOutDir:
        options.out_dir = optarg;
        break;
      case kRawStamps:
        options.raw_stamps = true;
        break;
      case kNote:
        options.note = optarg;
        break;
      case kHelp:
        std::printf("%s", kUsage);
        return 0;
      default:
        return usage_error("unknown option");
    }
  }
  const bool gbench = optind < argc && std::strcmp(argv[optind], "gbench") == 0;
  if (optind < argc && !gbench) {
    return usage_error(std::string("unexpected argument ") + argv[optind]);
  }

  std::signal(SIGINT, StopSimulatorsAndExit);
  std::signal(SIGTERM, StopSimulatorsAndExit);
  char pattern[] = "/tmp/zv-bench.XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::perror("zv-bench: mkdtemp");
    return 1;
  }
  const std::string work = pattern;
  std::filesystem::create_directories(work + "/home");

  int status = 0;
  if (gbench) {
    status =
        GoogleBenchmark(options, argc - optind - 1, argv + optind + 1, work);
  } else {
    Report report;
    report.started = UtcText("%Y-%m-%d %H:%M UTC");
    const std::string machine = MachineText();
    const std::string stamp = UtcText("%Y%m%d-%H%M%S");
    std::string error;
    bool ok = true;
    for (const std::string& transport : options.transports) {
      const bool plaintext = transport == "plaintext";
      Simulator sim(plaintext ? 0 : 1, work);
      ok = sim.Start(options.sim, plaintext, options.allocator, &error) &&
           MeasureTransport(options, transport, sim, work, &report, &error);
      // Memory and idle use the plaintext zv-sim, or the first one, and
      // glibc's own allocator settings: a fresh process making one call
      // starts from the same state every time, and what it holds at its
      // peak is what an application's process would.
      if (ok && (plaintext || options.transports.size() == 1)) {
        const std::vector<std::string> env =
            ChildEnvironment(work + "/home", WorkerExports(options, sim), "");
        if (options.memory_bytes > 0) {
          ok = MeasureMemory(options, env, work, &report, &error);
        }
        if (ok && options.idle_seconds > 0) {
          ok = MeasureIdle(options, env, work, &report, &error);
        }
      }
      if (!sim.Stop() && ok) {
        ok = false;
        error = "zv-sim (" + transport + ") did not exit cleanly";
      }
      if (!ok) break;
    }
    if (!ok) {
      std::fprintf(stderr, "zv-bench: %s\nzv-bench: logs in %s\n",
                   error.c_str(), work.c_str());
      return 1;
    }
    const std::string markdown = Markdown(options, report, machine);
    std::printf("\n%s", markdown.c_str());
    if (!options.out_dir.empty()) {
      std::filesystem::create_directories(options.out_dir);
      const std::string base = options.out_dir + "/" + stamp;
      if (!WriteFile(base + ".md", markdown) ||
          !WriteFile(base + ".json", Json(options, report, machine))) {
        std::fprintf(stderr, "zv-bench: cannot write %s.md/.json\n",
                     base.c_str());
        return 1;
      }
      std::printf("\nWritten: %s.md and %s.json\n", base.c_str(), base.c_str());
    }
  }
  if (status == 0) {
    std::filesystem::remove_all(work);
  } else {
    std::fprintf(stderr, "zv-bench: logs in %s\n", work.c_str());
  }
  return status;
}
