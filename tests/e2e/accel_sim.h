#ifndef ZV_TESTS_E2E_ACCEL_SIM_H_
#define ZV_TESTS_E2E_ACCEL_SIM_H_

// A started simulator, a fresh HOME with a fast configuration, and the
// environment a client needs to reach the simulator (discovery included).

#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <stdlib.h>

#include "unit/accel_env.h"
#include "core/accelerator.h"
#include "zvsim/simulator.h"

namespace zvtest {

// Generous bound for awaited conditions; it only guards against a hang.
inline constexpr std::chrono::seconds kPatience(60);

class SimHarness {
 public:
  // Plain text unless `tls`; TLS roots come through gRPC's default roots, so
  // only one TLS simulator per process works.
  explicit SimHarness(
      zvsim::Options options = PlainOptions(),
      const std::string& config_json = kFastConfig,
      std::function<void(const zvsim::CallRecord&)> observer = nullptr)
      : env_(config_json), sim_(std::move(options)) {
    if (observer) sim_.SetCallObserver(std::move(observer));
    std::string error;
    started_ = sim_.Start(&error);
    EXPECT_TRUE(started_) << error;
    unsetenv("ZVL_TLS_OPTION_DISABLED");
    unsetenv("KCP_SESSION_TOKEN");
    for (const auto& [name, value] : sim_.Environment()) {
      setenv(name.c_str(), value.c_str(), 1);
    }
  }

  static zvsim::Options PlainOptions() {
    zvsim::Options options;
    options.plaintext = true;
    return options;
  }

  zvsim::Simulator& sim() { return sim_; }
  const AccelEnv& env() const { return env_; }
  std::string Id(size_t index = 0) { return sim_.AcceleratorIds().at(index); }

  std::unique_ptr<zva::Accelerator> MakeAccelerator(size_t index = 0) {
    return std::make_unique<zva::Accelerator>(
        sim_.Endpoint(), sim_.region(), Id(index),
        sim_.accelerators().at(index).type);
  }

  bool WaitForCalls(const std::string& method, size_t n,
                    std::optional<grpc::StatusCode> code = std::nullopt) {
    return sim_.WaitForCalls(method, n, kPatience, code);
  }

 private:
  AccelEnv env_;
  zvsim::Simulator sim_;
  bool started_ = false;
};

}  // namespace zvtest

#endif  // ZV_TESTS_E2E_ACCEL_SIM_H_
