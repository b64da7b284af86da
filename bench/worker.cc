#include "worker.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

namespace zvbench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kUsage[] =
    "Usage: %s --client NAME serve\n"
    "       %s --client NAME memory BYTES\n"
    "       %s --client NAME gbench [Google Benchmark flags]\n"
    "A worker of zv-bench; run it in the environment zv-sim prints.\n";

// What one batch of calls took.
struct Batch {
  int64_t wall_ns = 0;
  Usage usage;  // the differences over the batch
};

int64_t Nanoseconds(const timeval& time) {
  return static_cast<int64_t>(time.tv_sec) * 1000000000 +
         static_cast<int64_t>(time.tv_usec) * 1000;
}

Usage Difference(const Usage& before, const Usage& after) {
  Usage usage;
  usage.cpu_ns = after.cpu_ns - before.cpu_ns;
  usage.voluntary_switches =
      after.voluntary_switches - before.voluntary_switches;
  usage.involuntary_switches =
      after.involuntary_switches - before.involuntary_switches;
  usage.max_resident_kib = after.max_resident_kib;
  return usage;
}

// Runs `calls` Infers on each of `threads` threads, slot i on thread i. The
// clock and the CPU time are read once every thread is ready to call, and
// again once every thread has finished, so that making threads is not
// counted.
bool RunBatch(InferClient* client, int threads, int calls, Batch* batch,
              std::string* error) {
  if (threads == 1) {
    const Usage before = ReadUsage();
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < calls; ++i) {
      if (!client->Infer(0, error)) return false;
    }
    batch->wall_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         Clock::now() - start)
                         .count();
    batch->usage = Difference(before, ReadUsage());
    if (!client->Check(0)) {
      *error = "an output differs from its input";
      return false;
    }
    return true;
  }

  std::mutex mutex;
  std::condition_variable changed;
  int ready = 0;
  bool go = false;
  std::string first_error;
  std::vector<std::thread> workers;
  workers.reserve(static_cast<size_t>(threads));
  for (int slot = 0; slot < threads; ++slot) {
    workers.emplace_back([&, slot] {
      {
        std::unique_lock<std::mutex> lock(mutex);
        ++ready;
        changed.notify_all();
        changed.wait(lock, [&] { return go; });
      }
      std::string failure;
      for (int i = 0; i < calls; ++i) {
        if (!client->Infer(slot, &failure)) {
          std::lock_guard<std::mutex> lock(mutex);
          if (first_error.empty()) first_error = failure;
          return;
        }
      }
    });
  }
  Usage before;
  Clock::time_point start;
  {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return ready == threads; });
    before = ReadUsage();
    start = Clock::now();
    go = true;
  }
  changed.notify_all();
  for (std::thread& worker : workers) worker.join();
  batch->wall_ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start)
          .count();
  batch->usage = Difference(before, ReadUsage());
  if (!first_error.empty()) {
    *error = first_error;
    return false;
  }
  for (int slot = 0; slot < threads; ++slot) {
    if (!client->Check(slot)) {
      *error = "an output differs from its input";
      return false;
    }
  }
  return true;
}

// Error texts travel on one protocol line.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text.empty() ? "unknown failure" : text;
}

// The protocol, one line each way per command:
//   (at start)                      -> "ready" | "error TEXT"
//   "prepare BYTES SLOTS"           -> "ok" | "error TEXT"
//   "run THREADS CALLS_PER_THREAD"  -> "ok WALL_NS CPU_NS VCSW IVCSW"
//                                      | "error TEXT"
//   "quit" or end of input          -> the worker exits
// Replies go to a copy of the original standard output; standard output
// itself then goes to standard error, so that nothing the libraries print
// can be taken for a reply.
int Serve(const std::string& name, const ClientFactory& factory) {
  std::fflush(stdout);
  FILE* replies = fdopen(dup(STDOUT_FILENO), "w");
  if (replies == nullptr || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    std::perror("zv-bench worker");
    return 1;
  }
  auto reply = [replies](const std::string& line) {
    std::fprintf(replies, "%s\n", line.c_str());
    std::fflush(replies);
  };

  std::string error;
  std::unique_ptr<InferClient> client = factory(name, &error);
  if (client == nullptr) {
    reply("error " + OneLine(error));
    return 1;
  }
  reply("ready");

  int prepared = 0;  // slots of the last successful prepare
  char line[256];
  while (std::fgets(line, sizeof(line), stdin) != nullptr) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    if (command == "quit") break;
    if (command == "prepare") {
      size_t bytes = 0;
      int slots = 0;
      if (!(in >> bytes >> slots) || slots < 1) {
        reply("error bad prepare command");
      } else if (!client->Prepare(bytes, slots, &error)) {
        prepared = 0;
        reply("error " + OneLine(error));
      } else {
        prepared = slots;
        reply("ok");
      }
    } else if (command == "run") {
      int threads = 0;
      int calls = 0;
      Batch batch;
      if (!(in >> threads >> calls) || threads < 1 || calls < 1) {
        reply("error bad run command");
      } else if (threads > prepared) {
        // Thread i calls from slot i, which the clients do not check.
        reply("error run needs " + std::to_string(threads) + " prepared slots");
      } else if (!RunBatch(client.get(), threads, calls, &batch, &error)) {
        reply("error " + OneLine(error));
      } else {
        reply("ok " + std::to_string(batch.wall_ns) + " " +
              std::to_string(batch.usage.cpu_ns) + " " +
              std::to_string(batch.usage.voluntary_switches) + " " +
              std::to_string(batch.usage.involuntary_switches));
      }
    } else {
      reply("error unknown command " + OneLine(command));
    }
  }
  client.reset();
  std::fclose(replies);
  return 0;
}

// Returns the memory the set-up freed to the system and lowers the peak
// resident size to what is left, so that neither a peak reached while
// setting up (such as the lean floor's check of its encoding) nor freed
// memory that the call would reuse can hide what the call needs. False where
// the kernel does not offer the reset.
bool ResetPeakResidentSize() {
  malloc_trim(0);
  std::FILE* file = std::fopen("/proc/self/clear_refs", "w");
  if (file == nullptr) return false;
  const bool written = std::fputs("5", file) >= 0;
  return std::fclose(file) == 0 && written;
}

// One call of `bytes` in a process that has made only a 1 KiB call before:
// the growth of the peak resident size is what the call needed beyond the
// caller's buffers, which exist (and are written) before it.
int Memory(const std::string& name, size_t bytes,
           const ClientFactory& factory) {
  std::string error;
  std::unique_ptr<InferClient> client = factory(name, &error);
  bool ok = client != nullptr && client->Prepare(1024, 1, &error) &&
            client->Infer(0, &error) && client->Prepare(bytes, 1, &error);
  Usage before;
  Usage after;
  if (ok && !ResetPeakResidentSize()) {
    ok = false;
    error = "cannot reset the peak resident size (/proc/self/clear_refs)";
  }
  if (ok) {
    before = ReadUsage();
    ok = client->Infer(0, &error);
    after = ReadUsage();
  }
  if (ok && !client->Check(0)) {
    ok = false;
    error = "the output differs from the input";
  }
  client.reset();
  if (!ok) {
    std::printf("error %s\n", OneLine(error).c_str());
    return 1;
  }
  std::printf("ok %lld %lld\n", static_cast<long long>(before.max_resident_kib),
              static_cast<long long>(after.max_resident_kib));
  return 0;
}

// The cases of the table, as Google Benchmark cases: wall time and the
// process's CPU time per call.
int GoogleBenchmark(const std::string& name, int argc, char** argv,
                    const ClientFactory& factory) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  std::string error;
  std::unique_ptr<InferClient> owner = factory(name, &error);
  InferClient* client = owner.get();
  if (client == nullptr) {
    std::fprintf(stderr, "%s: %s\n", name.c_str(), error.c_str());
    return 1;
  }
  struct Case {
    const char* label;
    size_t bytes;
    int threads;
  };
  const Case cases[] = {{"1KiB", 1 << 10, 1},
                        {"64KiB", 64 << 10, 1},
                        {"1MiB", 1 << 20, 1},
                        {"16MiB", 16 << 20, 1},
                        {"1KiB", 1 << 10, 8}};
  for (const Case& c : cases) {
    const size_t bytes = c.bytes;
    benchmark::RegisterBenchmark(
        (name + "/" + c.label).c_str(),
        [client, bytes](benchmark::State& state) {
          // Every thread waits at the start of the loop until all are
          // there, so the first one prepares for all.
          std::string failure;
          if (state.thread_index() == 0 &&
              !client->Prepare(bytes, state.threads(), &failure)) {
            state.SkipWithError(failure.c_str());
          }
          for (auto _ : state) {
            if (!client->Infer(state.thread_index(), &failure)) {
              state.SkipWithError(failure.c_str());
              break;
            }
          }
          state.SetBytesProcessed(state.iterations() *
                                  static_cast<int64_t>(bytes));
        })
        ->Threads(c.threads)
        ->UseRealTime()
        ->MeasureProcessCPUTime()
        ->Unit(benchmark::kMicrosecond);
  }
  const size_t ran = benchmark::RunSpecifiedBenchmarks();
  // The cases refer to the client, which ends before the process does.
  benchmark::ClearRegisteredBenchmarks();
  benchmark::Shutdown();
  owner.reset();
  return ran > 0 ? 0 : 1;
}

}  // namespace

Usage ReadUsage() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  Usage result;
  result.cpu_ns = Nanoseconds(usage.ru_utime) + Nanoseconds(usage.ru_stime);
  result.voluntary_switches = usage.ru_nvcsw;
  result.involuntary_switches = usage.ru_nivcsw;
  result.max_resident_kib = usage.ru_maxrss;
  return result;
}

void PrintIdleReport(const Usage& before,
                     std::chrono::steady_clock::time_point start) {
  const std::chrono::duration<double> slept =
      std::chrono::steady_clock::now() - start;
  const Usage after = ReadUsage();
  std::printf("ok %.6f %lld %lld %lld\n", slept.count(),
              static_cast<long long>(after.cpu_ns - before.cpu_ns),
              static_cast<long long>(after.voluntary_switches -
                                     before.voluntary_switches),
              static_cast<long long>(after.involuntary_switches -
                                     before.involuntary_switches));
}

void FillPattern(float* data, size_t elements, int salt) {
  for (size_t i = 0; i < elements; ++i) {
    data[i] = static_cast<float>((i + static_cast<size_t>(salt)) % 65521);
  }
}

int WorkerMain(int argc, char** argv, const ClientFactory& factory,
               const std::function<int(int argc, char** argv)>& extra) {
  if (extra) {
    const int status = extra(argc, argv);
    if (status >= 0) return status;
  }
  auto usage = [argv] {
    std::fprintf(stderr, kUsage, argv[0], argv[0], argv[0]);
    return 2;
  };
  if (argc < 4 || std::strcmp(argv[1], "--client") != 0) return usage();
  const std::string name = argv[2];
  const std::string mode = argv[3];
  if (mode == "serve" && argc == 4) return Serve(name, factory);
  if (mode == "memory" && argc == 5) {
    char* end = nullptr;
    const unsigned long long bytes = std::strtoull(argv[4], &end, 10);
    if (*end != '\0' || bytes == 0 || bytes % 4 != 0) return usage();
    return Memory(name, static_cast<size_t>(bytes), factory);
  }
  if (mode == "gbench") {
    // Google Benchmark sees the program name and its own flags only.
    argv[3] = argv[0];
    return GoogleBenchmark(name, argc - 3, argv + 3, factory);
  }
  return usage();
}

}  // namespace zvbench
