#ifndef ZV_TESTS_SUPPORT_SIM_HARNESS_H_
#define ZV_TESTS_SUPPORT_SIM_HARNESS_H_

// A started simulator with a fresh HOME and the environment a client needs
// to reach it (discovery included), and a fixture on top of it with one
// accelerator whose health-check thread holds a session.

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include "zva/rpc/zva_service.grpc.pb.h"

#include "core/accelerator.h"
#include "support/scoped_env.h"
#include "zva/zva_errors.h"
#include "zvsim/simulator.h"

namespace zvtest {

// Generous bound for awaited conditions; it only guards against a hang.
inline constexpr std::chrono::seconds kPatience(60);

class SimHarness {
 public:
  // Plain text unless `options` say otherwise; TLS roots come through
  // gRPC's default roots, so only one TLS simulator per process works.
  // `observer` sees every completed call (see SetCallObserver).
  explicit SimHarness(
      zvsim::Options options = PlainOptions(),
      const std::string& config_json = kFastConfig,
      std::function<void(const zvsim::CallRecord&)> observer = nullptr)
      : env_(config_json), sim_(std::move(options)) {
    if (observer) sim_.core().SetCallObserver(std::move(observer));
    std::string error;
    started_ = sim_.Start(&error);
    EXPECT_TRUE(started_) << error;
    env_.Unset("ZVL_TLS_OPTION_DISABLED");
    env_.Unset("KCP_SESSION_TOKEN");
    for (const auto& [name, value] : sim_.Environment()) {
      env_.Set(name, value);
    }
  }

  static zvsim::Options PlainOptions() {
    zvsim::Options options;
    options.plaintext = true;
    return options;
  }

  bool started() const { return started_; }
  zvsim::Simulator& sim() { return sim_; }
  zvsim::Core& core() { return sim_.core(); }
  AccelEnv& env() { return env_; }
  std::string Id(size_t index = 0) { return sim_.AcceleratorIds().at(index); }

  std::unique_ptr<zva::Accelerator> MakeAccelerator(size_t index = 0) {
    return std::make_unique<zva::Accelerator>(
        sim_.Endpoint(), sim_.region(), Id(index),
        sim_.accelerators().at(index).type);
  }

  bool WaitForCalls(const std::string& method, size_t n,
                    std::optional<grpc::StatusCode> code = std::nullopt) {
    return sim_.core().WaitForCalls(method, n, kPatience, code);
  }

 private:
  AccelEnv env_;
  zvsim::Simulator sim_;
  bool started_ = false;
};

// One simulator and one accelerator with a running health-check thread per
// test, for the executor, reload and adapter tests. The accelerator is
// built directly, so discovery stays on a closed port.
class SimFixture : public ::testing::Test {
 protected:
  static constexpr char kAcceleratorId[] = "zva-0123456789abcdef0";
  static constexpr char kKeyId[] = "AKIDEXECTEST";
  static constexpr char kSecret[] = "exec-test-secret";
  // Short enough that retry pauses and keep-alives stay quick.
  static constexpr int kKeepAliveIntervalMs = 100;
  static constexpr int kMaxWaitForServerMs = 1000;

  // Whether SetUp starts the health-check thread and waits for its session.
  virtual bool StartHealthCheck() const { return true; }
  virtual int KeepAliveIntervalMs() const { return kKeepAliveIntervalMs; }

  void SetUp() override {
    zvsim::Options options = SimHarness::PlainOptions();
    options.credentials = {kKeyId, kSecret, ""};
    zvsim::AcceleratorSpec desc;
    desc.id = kAcceleratorId;
    options.accelerators = {desc};
    harness_ = std::make_unique<SimHarness>(
        options, Config(), [this](const zvsim::CallRecord& call) {
          std::function<void(const zvsim::CallRecord&)> observer;
          {
            std::lock_guard<std::mutex> lock(mtx_observer_);
            observer = observer_;
          }
          if (observer) observer(call);
        });
    ASSERT_TRUE(harness_->started());
    AccelEnv& env = harness_->env();
    env.Set("ZV_INSTANCE_METADATA_URI", kClosedMetadataUri);
    env.Unset("ACCELERATOR_PROXYURI_OVERRIDE");
    for (const char* name : {"ZVA_API_TIMEOUT_DEADLINE", "ZV_INFER_TIMEOUT",
                             "ZV_LOADMODEL_TIMEOUT"}) {
      env.Unset(name);
    }
    sim_ = &harness_->sim();
    accelerator_ = harness_->MakeAccelerator();
    if (StartHealthCheck()) {
      accelerator_->KickOffKeepAliveThread(zva::Versions{"1.9.1", 0, 0},
                                           "mxnet");
      session_id_ =
          accelerator_->session_context_.Wait(std::chrono::seconds(10));
      ASSERT_FALSE(session_id_.empty()) << "no session from the simulator";
    }
    stub_ = zva::rpc::ZvaInference::NewStub(channel());
  }

  void TearDown() override {
    SetObserver(nullptr);
    stub_.reset();
    accelerator_.reset();
    sim_ = nullptr;
    harness_.reset();
  }

  std::shared_ptr<grpc::Channel> channel() const {
    return accelerator_->GetChannel();
  }
  zvsim::Core& core() const { return sim_->core(); }

  // Runs `observer` on the serving thread after each completed call, before
  // the client sees the answer.
  void SetObserver(std::function<void(const zvsim::CallRecord&)> observer) {
    std::lock_guard<std::mutex> lock(mtx_observer_);
    observer_ = std::move(observer);
  }

  // The journal's calls of `method`, in order.
  std::vector<zvsim::CallRecord> Calls(const std::string& method) const {
    std::vector<zvsim::CallRecord> calls;
    for (zvsim::CallRecord& call : core().Journal()) {
      if (call.method == method) calls.push_back(std::move(call));
    }
    return calls;
  }

  static std::string LastError() {
    std::string text;
    zva::GetLastError(&text);
    return text;
  }

  std::unique_ptr<SimHarness> harness_;
  zvsim::Simulator* sim_ = nullptr;
  std::unique_ptr<zva::Accelerator> accelerator_;
  std::unique_ptr<zva::rpc::ZvaInference::Stub> stub_;
  std::string session_id_;

 private:
  std::string Config() const {
    return "{\"keep_alive_interval\": " +
           std::to_string(KeepAliveIntervalMs()) +
           ", \"max_wait_for_server_timeout\": " +
           std::to_string(kMaxWaitForServerMs) +
           ", \"initial_exponential_backoff_time\": 10"
           ", \"max_exponential_backoff_time\": 100}";
  }

  std::mutex mtx_observer_;
  std::function<void(const zvsim::CallRecord&)> observer_;
};

}  // namespace zvtest

#endif  // ZV_TESTS_SUPPORT_SIM_HARNESS_H_
