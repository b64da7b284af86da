#ifndef ZV_BENCH_WORKER_H_
#define ZV_BENCH_WORKER_H_

// The part shared by the two worker programs of the benchmark: zv-bench-lib
// (inference through the library's adapters) and zv-bench-raw (inference on
// generated stubs, no library). Each worker process makes calls one way
// only, so that the CPU time it reads from getrusage is that one way's.
// The two cannot share a process anyway: the library carries its own copy of
// the schemas, and protobuf refuses to register a schema file twice.
//
// A worker serves the driver zv-bench over its standard input and output
// (see RunWorker), runs Google Benchmark on its one client, or measures the
// peak memory of one call in a fresh process.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace zvbench {

// One way of making an Infer call against an accelerator that echoes its
// inputs. Calls from several threads at once use distinct slots.
//
// Thread safety: Infer and Check may run concurrently for distinct slots;
// Prepare must not run concurrently with anything.
class InferClient {
 public:
  virtual ~InferClient() = default;

  // Makes `slots` pairs of caller buffers, an input of `bytes` bytes (a
  // multiple of 4: float elements) filled with a pattern and an output of
  // the same size, replacing earlier ones. False, with *error set, on
  // failure.
  virtual bool Prepare(size_t bytes, int slots, std::string* error) = 0;

  // One Infer from the buffers of `slot`. False, with *error set, when the
  // call failed.
  // REQUIRES: slot < the slots of the last successful Prepare.
  virtual bool Infer(int slot, std::string* error) = 0;

  // True when the output buffer of `slot` holds what its input holds.
  virtual bool Check(int slot) const = 0;
};

// Makes the client of this worker program, connected and ready to call
// (session open, model loaded). Null, with *error set, on failure.
using ClientFactory = std::function<std::unique_ptr<InferClient>(
    const std::string& client, std::string* error)>;

// The process's own CPU time (user + system) so far, from getrusage, and
// its context switches.
struct Usage {
  int64_t cpu_ns = 0;
  int64_t voluntary_switches = 0;
  int64_t involuntary_switches = 0;
  int64_t max_resident_kib = 0;
};
Usage ReadUsage();

// Prints what an idle command reports for the time since `start`, the usage
// having been `before` then: "ok <seconds> <CPU ns> <voluntary switches>
// <involuntary switches>".
void PrintIdleReport(const Usage& before,
                     std::chrono::steady_clock::time_point start);

// The input pattern: element i is float((i + salt) % 65521), so that an
// output that came from another slot's buffers shows.
void FillPattern(float* data, size_t elements, int salt);

// Handles the command line of a worker program:
//   <program> --client NAME serve
//       serves the driver over standard input and output;
//   <program> --client NAME memory BYTES
//       one Infer of BYTES after a 1 KiB warm-up, printing
//       "ok <peak resident KiB before> <peak resident KiB after>";
//   <program> --client NAME gbench [Google Benchmark flags]
//       runs Google Benchmark on the client.
// `extra`, when set, handles any other command first; it returns -1 for a
// command it does not know, else the exit status.
// Returns the process's exit status: 0 on success, 1 on a failure, 2 for
// bad arguments.
int WorkerMain(int argc, char** argv, const ClientFactory& factory,
               const std::function<int(int argc, char** argv)>& extra);

}  // namespace zvbench

#endif  // ZV_BENCH_WORKER_H_
