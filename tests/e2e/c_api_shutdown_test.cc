// ZVLShutdown while every accelerator's health-check thread is inside a
// session call that would last minutes. The list is built once per process,
// so this program is one scenario.
#include <chrono>

#include <gtest/gtest.h>

#include "api/factory.h"
#include "support/sim_harness.h"
#include "zva/zva_accelerator.h"
#include "zva/zva_client.h"

namespace {

using zvtest::kPatience;

// ZVLShutdown waited for the call in flight of each accelerator, with its
// full deadline, one accelerator after the other.
TEST(CApiShutdownTest, ShutdownStopsEveryAcceleratorWithoutWaitingItsCall) {
  zvsim::Options options = zvtest::SimHarness::PlainOptions();
  options.accelerators = {{"zva-aaa", "zva1.medium", "dev-a"},
                          {"zva-bbb", "zva1.large", "dev-b"}};
  zvtest::SimHarness h(options,
                       R"({"init_session_timeout": 600000,
                           "destroy_session_timeout": 600000})");
  h.core().SetDelay("InitSession", std::chrono::minutes(10));
  ZVLInit(nullptr);
  std::vector<zva::Accelerator*> accelerators;
  for (const auto& entry : zva::SingletonAllAccelerators()) {
    accelerators.push_back(zva::AsAccelerator(entry.get()));
    ASSERT_EQ(
        zva::KickOffKeepAliveThread(entry.get(), zva::Versions(), "mxnet"), 0);
  }
  ASSERT_EQ(accelerators.size(), 2u);
  ASSERT_TRUE(h.core().WaitForDelayedCalls("InitSession", 2, kPatience));

  const auto start = std::chrono::steady_clock::now();
  ZVLShutdown();
  // Far below the deadline of either call in flight: both were cancelled.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::minutes(1));
  for (zva::Accelerator* accelerator : accelerators) {
    EXPECT_TRUE(accelerator->IsReleased());
    EXPECT_FALSE(accelerator->IsKeepAliveThreadRunning());
  }
  h.core().SetDelay("InitSession", std::chrono::milliseconds(0));
}

}  // namespace
