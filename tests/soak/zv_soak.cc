// zv-soak: the chaos soak driver. Threads run inferences through both
// framework adapters and check every output byte while a rotator applies one
// fault after another to a running zv-sim (it rewrites the fault-plan file
// and sends SIGHUP). At the end one table tells calls, outcomes, latency and
// how long the client took to recover from each kind of fault.
//
// Exit status: 0 when the run passed; 1 on a wrong output, a failure code
// outside the error catalogue, a success ratio below --min-success or a
// fault plan that zv-sim did not apply; 2 for bad arguments. A call that has
// not returned after --hang-seconds aborts the process with a message.
// scripts/soak.sh starts zv-sim and runs this program against it.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <getopt.h>
#include <signal.h>

#include "zva/zva_accelerator.h"
#include "zva/zva_client.h"
#include "zva/zva_errors.h"
#include "zva/zva_mxnet.h"
#include "zva/zva_pytorch.h"

namespace {

using Clock = std::chrono::steady_clock;
using zva::mxnet::MXTensor;
using zva::mxnet::TensorDType;

constexpr char kUsage[] =
    "Usage: zv-soak [--seconds N] [--threads N] [--min-success RATIO]\n"
    "               [--hang-seconds N] [--sim-pid PID --fault-plan FILE "
    "--sim-log FILE]\n"
    "Run it in the environment zv-sim prints; scripts/soak.sh does it all.\n";
constexpr char kUnknownCode[] = "Invalid error code specified";
constexpr std::chrono::milliseconds kFaultEvery(2000);

struct Options {
  int seconds = 60, threads = 8, hang_seconds = 30;
  double min_success = -1;  // negative: report only
  long sim_pid = 0;         // with the two files below; no faults without
  std::string plan_file, sim_log;
};

// The rotation. "{id}" stands for the first accelerator; each plan starts
// with "clear" so that no failure or delay outlives its turn.
constexpr std::pair<const char*, const char*> kRotation[] = {
    {"drop-sessions", "clear\ndrop-sessions\n"},
    {"restart 500", "clear\nrestart 500\n"},
    {"forget-models", "clear\nforget-models\n"},
    {"fail Infer 3 UNAVAILABLE",
     "clear\nfail Infer 3 UNAVAILABLE * 14 accelerator busy\n"},
    {"delay Infer 300", "clear\ndelay Infer 300 *\n"},
    {"unhealthy", "clear\nunhealthy {id}\n"},
    {"healthy", "clear\nhealthy {id}\n"},
    {"clear", "clear\n"},
};

int64_t NowNs() {
  return std::chrono::nanoseconds(Clock::now().time_since_epoch()).count();
}
double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}
std::string Fixed(double value, int digits) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", digits, value);
  return text;
}

// One thread's call in progress, for the watchdog. `what` (a literal, null
// while idle) is stored after `since_ns`, so it never pairs with an older
// start.
struct Activity {
  std::string who;  // set before the thread starts
  std::atomic<const char*> what{nullptr};
  std::atomic<int64_t> since_ns{0};
  void Begin(const char* w) {
    since_ns.store(NowNs());
    what.store(w);
  }
  void End() { what.store(nullptr); }
};

// Aborts the process when an activity has been in one call too long: a hung
// client must fail the soak loudly rather than stall it.
class Watchdog {
 public:
  Watchdog(size_t activities, int limit_seconds)
      : activities_(activities),
        limit_ns_(limit_seconds * int64_t{1000000000}),
        thread_([this] { Run(); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mtx_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  Activity& operator[](size_t i) { return activities_[i]; }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mtx_);
    while (!cv_.wait_for(lock, std::chrono::milliseconds(100),
                         [this] { return stop_; })) {
      for (const Activity& a : activities_) {
        const char* what = a.what.load();
        const int64_t ns = NowNs() - a.since_ns.load();
        if (what == nullptr || ns < limit_ns_) continue;
        const std::string message = "zv-soak: HANG: " + a.who + ": " + what +
                                    " has not returned after " +
                                    Fixed(ns / 1e9, 1) + " s; aborting\n";
        std::fputs(message.c_str(), stdout);
        std::fflush(stdout);
        std::fputs(message.c_str(), stderr);
        std::abort();
      }
    }
  }

  std::deque<Activity> activities_;  // never resized: threads hold references
  const int64_t limit_ns_;
  std::mutex mtx_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;  // last, so that it starts once the rest is ready
};

// Per fault: when it was sent, when zv-sim said it applied it, and per
// accelerator the end of the first successful call that started after that.
struct FaultEvent {
  std::string kind;
  Clock::time_point sent, applied;
  std::vector<std::optional<Clock::time_point>> recovered;
};

class RecoveryLog {
 public:
  explicit RecoveryLog(size_t accelerators) : accelerators_(accelerators) {}
  void Add(const std::string& kind, Clock::time_point sent) {
    std::lock_guard<std::mutex> lock(mtx_);
    events_.push_back({kind, sent, Clock::now(), {}});
    events_.back().recovered.resize(accelerators_);
  }
  // Once an event is recovered on `accel`, so is every earlier one: the
  // walk back stops there.
  void Success(size_t accel, Clock::time_point start, Clock::time_point end) {
    std::lock_guard<std::mutex> lock(mtx_);
    for (auto it = events_.rbegin(); it != events_.rend(); ++it) {
      if (it->applied > start) continue;
      if (it->recovered[accel]) break;
      it->recovered[accel] = end;
    }
  }
  std::vector<FaultEvent> Events() const {
    std::lock_guard<std::mutex> lock(mtx_);
    return events_;
  }

 private:
  const size_t accelerators_;
  mutable std::mutex mtx_;
  std::vector<FaultEvent> events_;
};

struct Accel {
  std::shared_ptr<zva::AcceleratorInterface> accelerator;
  std::string id, pt_model_id;
  std::unique_ptr<zva::mxnet::MXNetInterface, zva::ObjectReleaser> mxnet;
  std::unique_ptr<zva::torch::PytorchInterface, zva::ObjectReleaser> torch;
  std::shared_ptr<zva::mxnet::MXNetModelInterface> mx_model;
  std::shared_ptr<zva::torch::PytorchModelInterface> pt_model;
};

// Counters are atomic for the progress lines; the rest is read only after
// the worker is joined.
struct WorkerResult {
  std::atomic<int64_t> calls{0}, successes{0}, wrong{0};
  std::map<int, int64_t> failures;
  std::vector<uint32_t> latencies_us;
};

// Logs each failure code's first last-error text, so the log explains the
// table.
void NoteFailure(int code) {
  static std::mutex mtx;
  static std::set<int> seen;
  std::string text;
  zva::GetLastError(&text);
  std::lock_guard<std::mutex> lock(mtx);
  if (seen.insert(code).second) {
    std::fprintf(stderr, "zv-soak: first failure with code %d:\n%s\n", code,
                 text.c_str());
  }
}

// 1 KiB to 1 MiB, log-uniform so that small and large are both common.
size_t RandomSize(std::mt19937_64& rng) {
  const double exponent = std::uniform_real_distribution<double>(0, 10)(rng);
  return std::min<size_t>(1 << 20,
                          static_cast<size_t>(1024 * std::exp2(exponent)));
}
void Fill(char* data, size_t size, std::mt19937_64& rng) {
  for (size_t i = 0; i < size; i += 8) {
    const uint64_t word = rng();
    std::memcpy(data + i, &word, std::min<size_t>(8, size - i));
  }
}

// One MXNet inference of a random tensor; the simulator echoes it. The
// output buffer starts as the input's complement and its dtype as another
// type of the same size, so neither an unwritten buffer nor an unset dtype
// passes. A failed call must leave the buffer alone (21 may write part).
int MxnetCall(Accel& a, std::mt19937_64& rng, std::vector<char>& in,
              std::vector<char>& out, bool* wrong) {
  static const std::pair<TensorDType, TensorDType> kTypes[] = {
      {zva::mxnet::UINT8, zva::mxnet::INT8},
      {zva::mxnet::FLOAT32, zva::mxnet::INT32},
      {zva::mxnet::INT64, zva::mxnet::FLOAT64}};
  static const int64_t kSizes[] = {1, 4, 8};
  const size_t type = rng() % 3;
  const int64_t count = static_cast<int64_t>(RandomSize(rng)) / kSizes[type];
  in.resize(count * kSizes[type]);
  Fill(in.data(), in.size(), rng);
  out.resize(in.size());
  for (size_t i = 0; i < in.size(); ++i) out[i] = static_cast<char>(~in[i]);
  const TensorDType dtype = kTypes[type].first;
  std::vector<MXTensor> outputs = {
      {out.data(), {1, count}, kTypes[type].second}};
  const int rc =
      a.mx_model->Infer({{"data", {in.data(), {1, count}, dtype}}}, &outputs);
  bool untouched = true;
  for (size_t i = 0; i < in.size() && untouched; ++i) {
    untouched = out[i] == static_cast<char>(~in[i]);
  }
  *wrong = rc == zva::kOk ? outputs[0].dtype != dtype || out != in
                          : rc != zva::kTensorFormatError && !untouched;
  return rc;
}

// One PyTorch inference of one or two serialized tensors, echoed back.
// Outputs are appended to what *outputs held, hence the marker.
int TorchCall(Accel& a, std::mt19937_64& rng,
              std::vector<std::pair<std::string, std::string>>& inputs,
              bool* wrong) {
  inputs.resize(1 + rng() % 2);
  std::vector<std::string> names;
  for (size_t i = 0; i < inputs.size(); ++i) {
    inputs[i].first = "in" + std::to_string(i);
    inputs[i].second.resize(RandomSize(rng));
    Fill(inputs[i].second.data(), inputs[i].second.size(), rng);
    names.push_back("out" + std::to_string(i));
  }
  std::vector<std::string> outputs = {"marker"};
  const int rc = a.pt_model->Infer(a.pt_model_id, inputs, names, &outputs);
  bool ok = outputs[0] == "marker" &&
            outputs.size() == (rc == zva::kOk ? inputs.size() + 1 : 1);
  for (size_t i = 0; ok && rc == zva::kOk && i < inputs.size(); ++i) {
    ok = outputs[i + 1] == inputs[i].second;
  }
  *wrong = !ok;
  return rc;
}

void Work(bool mxnet, size_t accel_index, Accel& accel,
          const std::atomic<bool>& stop, Activity& activity,
          WorkerResult& result, RecoveryLog& recovery) {
  std::mt19937_64 rng(std::random_device{}());
  std::vector<char> in, out;
  std::vector<std::pair<std::string, std::string>> pt_inputs;
  while (!stop.load()) {
    bool wrong = false;
    const Clock::time_point start = Clock::now();
    activity.Begin("Infer");
    const int rc = mxnet ? MxnetCall(accel, rng, in, out, &wrong)
                         : TorchCall(accel, rng, pt_inputs, &wrong);
    activity.End();
    const Clock::time_point end = Clock::now();
    result.latencies_us.push_back(static_cast<uint32_t>(
        std::min<double>(Ms(end - start) * 1000, UINT32_MAX)));
    result.calls.fetch_add(1);
    if (wrong) {
      result.wrong.fetch_add(1);
      std::fprintf(stderr, "zv-soak: WRONG OUTPUT: %s, code %d\n",
                   activity.who.c_str(), rc);
    }
    if (rc == zva::kOk) {
      result.successes.fetch_add(1);
      if (!wrong) recovery.Success(accel_index, start, end);
    } else {
      ++result.failures[rc];
      NoteFailure(rc);
    }
  }
}

// zv-sim's standard error says "fault plan applied" once per plan applied on
// SIGHUP, or names the bad line of a rejected plan (kept in *error).
int AppliedPlans(const std::string& sim_log, std::string* error) {
  std::ifstream in(sim_log);
  int applied = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.find("fault plan applied") != std::string::npos) ++applied;
    if (line.find("fault plan line") != std::string::npos) *error = line;
  }
  return applied;
}

// Sends a plan and waits until zv-sim has applied it (on its own thread), so
// that only calls started afterwards count towards recovery.
bool ApplyPlan(const Options& o, const char* kind, std::string plan,
               const std::string& first_id, RecoveryLog* log,
               std::string* error) {
  for (size_t at; (at = plan.find("{id}")) != std::string::npos;) {
    plan.replace(at, 4, first_id);
  }
  const int before = AppliedPlans(o.sim_log, error);
  // Written under another name first: zv-sim never reads half a plan.
  const std::string partial = o.plan_file + ".partial";
  std::ofstream(partial, std::ios::trunc) << plan;
  const Clock::time_point sent = Clock::now();
  if (std::rename(partial.c_str(), o.plan_file.c_str()) != 0 ||
      kill(static_cast<pid_t>(o.sim_pid), SIGHUP) != 0) {
    *error = "cannot write " + o.plan_file + " or signal zv-sim";
    return false;
  }
  while (AppliedPlans(o.sim_log, error) == before && error->empty()) {
    if (Clock::now() - sent > std::chrono::seconds(5)) {
      *error = std::string("zv-sim did not apply ") + kind + " within 5 s";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (error->empty()) log->Add(kind, sent);
  return error->empty();
}

// Applies the rotation every kFaultEvery, each fault with a whole turn
// before `end`, then a plan that leaves zv-sim clean for the teardown.
// Returns an error or "".
std::string Rotate(const Options& o, const std::string& first_id,
                   Clock::time_point end, RecoveryLog* log) {
  std::string error;
  const Clock::time_point begin = Clock::now();
  for (int64_t step = 1; begin + (step + 1) * kFaultEvery <= end; ++step) {
    std::this_thread::sleep_until(begin + step * kFaultEvery);
    const auto& [kind, plan] = kRotation[(step - 1) % std::size(kRotation)];
    if (!ApplyPlan(o, kind, plan, first_id, log, &error)) return error;
  }
  std::this_thread::sleep_until(end);
  ApplyPlan(o, "end", "clear\nhealthy {id}\n", first_id, log, &error);
  return error;
}

// A loopback address, with or without scheme and port; null passes.
bool OnLoopback(const char* address) {
  if (address == nullptr) return true;
  std::string host = address;
  const size_t scheme = host.find("://");
  if (scheme != std::string::npos) host.erase(0, scheme + 3);
  host = host.substr(0, host.find_first_of(":/"));
  return host == "127.0.0.1" || host == "localhost";
}

bool ParseOptions(int argc, char** argv, Options* o) {
  static const option kOptions[] = {
      {"seconds", required_argument, nullptr, 's'},
      {"threads", required_argument, nullptr, 't'},
      {"min-success", required_argument, nullptr, 'm'},
      {"hang-seconds", required_argument, nullptr, 'g'},
      {"sim-pid", required_argument, nullptr, 'p'},
      {"fault-plan", required_argument, nullptr, 'f'},
      {"sim-log", required_argument, nullptr, 'l'},
      {nullptr, 0, nullptr, 0}};
  for (int c; (c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1;) {
    if (c == 'f' || c == 'l') {
      (c == 'f' ? o->plan_file : o->sim_log) = optarg;
      continue;
    }
    char* end = nullptr;
    const double value = c == '?' ? -1 : std::strtod(optarg, &end);
    if (value < 0 || end == optarg || *end != '\0') return false;
    if (c == 'm') o->min_success = value;
    if (c == 's') o->seconds = static_cast<int>(value);
    if (c == 't') o->threads = static_cast<int>(value);
    if (c == 'g') o->hang_seconds = static_cast<int>(value);
    if (c == 'p') o->sim_pid = static_cast<long>(value);
  }
  const bool faults = o->sim_pid > 0;
  return optind == argc && o->seconds > 0 && o->threads > 0 &&
         o->hang_seconds > 0 && o->min_success <= 1 &&
         faults == !o->plan_file.empty() && faults == !o->sim_log.empty();
}

// Every accelerator with its health-check thread, both adapters and a model
// of each framework.
bool SetUp(std::vector<Accel>* accels) {
  for (const auto& accelerator : zva::SingletonAllAccelerators()) {
    Accel a;
    a.accelerator = accelerator;
    a.id = zva::GetAcceleratorId(accelerator.get());
    const std::string n = std::to_string(accels->size());
    zva::KickOffKeepAliveThread(accelerator.get(), zva::Versions{"1.0", 0, 0},
                                accels->size() % 2 == 0 ? "mxnet" : "pytorch");
    const auto channel = zva::GetAcceleratorChannel(accelerator.get());
    a.mxnet.reset(mxnet::internal::QueryInterface(channel));
    a.torch.reset(zva::torch::internal::QueryInterface(channel));
    std::vector<float> weight(16, 1.0f);
    a.pt_model_id = "soak-pt-" + n;
    int rc = a.mxnet->LoadModel(
        "soak-mx-" + n, R"({"nodes": [], "arg_nodes": [], "heads": []})",
        {{"arg:w", {weight.data(), {4, 4}, zva::mxnet::FLOAT32}}}, {},
        &a.mx_model);
    if (rc == zva::kOk) {
      rc = a.torch->LoadModel(a.pt_model_id, "echo", &a.pt_model);
    }
    if (rc != zva::kOk) {
      NoteFailure(rc);
      std::fprintf(stderr, "zv-soak: LoadModel on %s failed with code %d\n",
                   a.id.c_str(), rc);
      return false;
    }
    accels->push_back(std::move(a));
  }
  if (accels->empty()) std::fputs("zv-soak: no accelerator found\n", stderr);
  return !accels->empty();
}

// Recovery of every fault of `kind`: "3x: median 40 ms, max 900 ms".
std::string Recovery(const char* kind, const std::vector<FaultEvent>& events,
                     const std::set<size_t>& used) {
  std::vector<double> times;
  size_t applied = 0;
  for (const FaultEvent& e : events) {
    if (e.kind != kind) continue;
    ++applied;
    Clock::time_point last = e.sent;
    bool recovered = true;
    for (size_t a : used) {
      recovered = recovered && e.recovered[a];
      if (recovered) last = std::max(last, *e.recovered[a]);
    }
    if (recovered) times.push_back(Ms(last - e.sent));
  }
  std::sort(times.begin(), times.end());
  std::string text = std::to_string(applied) + "x";
  if (!times.empty()) {
    text += ": median " + Fixed(times[(times.size() - 1) / 2], 0) +
            " ms, max " + Fixed(times.back(), 0) + " ms";
  }
  if (times.size() < applied) {
    text += ", never " + std::to_string(applied - times.size());
  }
  return applied == 0 ? "" : text;
}

// Prints the table and what its measures mean; returns why the run failed.
std::vector<std::string> Report(const Options& o, double seconds,
                                const std::deque<WorkerResult>& results,
                                const std::vector<FaultEvent>& events,
                                const std::set<size_t>& used) {
  int64_t calls = 0, ok = 0, wrong = 0;
  std::map<int, int64_t> failures;
  std::vector<uint32_t> us;
  for (const WorkerResult& r : results) {
    calls += r.calls, ok += r.successes, wrong += r.wrong;
    for (const auto& [code, n] : r.failures) failures[code] += n;
    us.insert(us.end(), r.latencies_us.begin(), r.latencies_us.end());
  }
  std::sort(us.begin(), us.end());
  auto percentile = [&](double p) {  // nearest rank
    const size_t rank = static_cast<size_t>(std::ceil(p * us.size()));
    return us.empty() ? "-" : Fixed(us[std::max<size_t>(rank, 1) - 1] / 1e3, 1);
  };
  const double ratio = calls > 0 ? static_cast<double>(ok) / calls : 0;
  std::vector<std::string> fail;
  std::vector<std::pair<std::string, std::string>> rows = {
      {"calls", std::to_string(calls) + " (" + Fixed(calls / seconds, 0) +
                    " per second)"},
      {"successes", std::to_string(ok) + " (" + Fixed(100 * ratio, 2) + "%)"},
      {"wrong outputs", std::to_string(wrong)}};
  if (failures.empty()) rows.push_back({"failures", "0"});
  for (const auto& [code, n] : failures) {
    std::string text = zva::GetErrorDescription(code);
    if (text == kUnknownCode) {
      fail.push_back("code " + std::to_string(code) +
                     " is not in the catalogue");
    }
    if (text.size() > 30) text = text.substr(0, 27) + "...";
    rows.push_back(
        {"failures, code " + std::to_string(code) + " (" + text + ")",
         std::to_string(n)});
  }
  rows.push_back({"latency p50 / p99 / max", percentile(0.5) + " / " +
                                                 percentile(0.99) + " / " +
                                                 percentile(1) + " ms"});
  for (const auto& [kind, plan] : kRotation) {
    const std::string text = Recovery(kind, events, used);
    if (!text.empty()) rows.push_back({std::string("recovery: ") + kind, text});
  }
  if (wrong > 0) fail.push_back(std::to_string(wrong) + " wrong outputs");
  if (calls == 0) fail.push_back("no call was made");
  if (o.min_success >= 0 && ratio < o.min_success) {
    fail.push_back("success ratio " + Fixed(ratio, 4) + " is below " +
                   Fixed(o.min_success, 4));
  }
  rows.push_back({"verdict", fail.empty() ? "PASS" : "FAIL"});

  size_t w1 = 7, w2 = 5;
  for (const auto& [name, value] : rows) {
    w1 = std::max(w1, name.size());
    w2 = std::max(w2, value.size());
  }
  const int n1 = static_cast<int>(w1), n2 = static_cast<int>(w2);
  std::printf("\n| %-*s | %-*s |\n|%s|%s|\n", n1, "measure", n2, "value",
              std::string(w1 + 2, '-').c_str(),
              std::string(w2 + 2, '-').c_str());
  for (const auto& [name, value] : rows) {
    std::printf("| %-*s | %-*s |\n", n1, name.c_str(), n2, value.c_str());
  }
  std::printf(
      "\n%.0f s, %d threads; latency counts every call, failed ones too.\n"
      "recovery: from sending a fault to zv-sim until a call started after "
      "zv-sim applied it\nhas succeeded on every accelerator in use; never: "
      "not by the end of the run.\n",
      seconds, o.threads);
  return fail;
}

// Runs the workers and the rotator, prints progress and the report.
int Soak(const Options& o, Watchdog& watchdog, std::vector<Accel>& accels) {
  RecoveryLog recovery(accels.size());
  std::deque<WorkerResult> results(o.threads);
  std::set<size_t> used;
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  for (int i = 0; i < o.threads; ++i) {
    // Frameworks alternate, and accelerators alternate per pair, so that
    // four threads already cover every combination.
    const bool mx = i % 2 == 0;
    const size_t a = static_cast<size_t>(i + i / 2) % accels.size();
    used.insert(a);
    watchdog[i].who = "thread " + std::to_string(i) + " (" +
                      (mx ? "MXNet" : "PyTorch") + ", " + accels[a].id + ")";
    workers.emplace_back(Work, mx, a, std::ref(accels[a]), std::cref(stop),
                         std::ref(watchdog[i]), std::ref(results[i]),
                         std::ref(recovery));
  }
  const Clock::time_point begin = Clock::now();
  const Clock::time_point end = begin + std::chrono::seconds(o.seconds);
  std::string rotate_error;
  std::thread rotator;
  if (o.sim_pid > 0) {
    rotator = std::thread(
        [&] { rotate_error = Rotate(o, accels[0].id, end, &recovery); });
  }
  for (int s = std::min(10, o.seconds);; s = std::min(s + 10, o.seconds)) {
    std::this_thread::sleep_until(begin + std::chrono::seconds(s));
    int64_t calls = 0, ok = 0, wrong = 0;
    for (const WorkerResult& r : results) {
      calls += r.calls, ok += r.successes, wrong += r.wrong;
    }
    std::printf("zv-soak: %3d s: %lld calls, %lld failed, %lld wrong\n", s,
                static_cast<long long>(calls),
                static_cast<long long>(calls - ok),
                static_cast<long long>(wrong));
    std::fflush(stdout);
    if (s == o.seconds) break;
  }
  stop.store(true);
  for (std::thread& t : workers) t.join();
  const double seconds = Ms(Clock::now() - begin) / 1000;
  if (rotator.joinable()) rotator.join();
  std::vector<FaultEvent> events = recovery.Events();
  if (!events.empty() && events.back().kind == "end") events.pop_back();
  std::vector<std::string> fail = Report(o, seconds, results, events, used);
  if (!rotate_error.empty()) fail.push_back("fault plan: " + rotate_error);
  for (const std::string& why : fail) std::printf("FAIL: %s\n", why.c_str());
  std::fflush(stdout);
  return fail.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  // Everything stays on this machine.
  if (std::getenv("ZV_INSTANCE_METADATA_URI") == nullptr ||
      !OnLoopback(std::getenv("ZV_INSTANCE_METADATA_URI")) ||
      !OnLoopback(std::getenv("ACCELERATOR_PROXYURI_OVERRIDE"))) {
    std::fputs(
        "zv-soak: ZV_INSTANCE_METADATA_URI and any proxy override must "
        "point at zv-sim on loopback\n",
        stderr);
    return 2;
  }
  Watchdog watchdog(o.threads + 1, o.hang_seconds);
  Activity& main_activity = watchdog[o.threads];
  main_activity.who = "main thread";
  std::vector<Accel> accels;
  main_activity.Begin("setup");
  const bool ready = SetUp(&accels);
  main_activity.End();
  const int rc = ready ? Soak(o, watchdog, accels) : 1;
  // The teardown is watched too: models unload, adapters and accelerators
  // are released and the health-check threads must stop.
  main_activity.Begin("teardown");
  accels.clear();
  ZVLShutdown();
  main_activity.End();
  return rc;
}
