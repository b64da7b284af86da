// zv-test-labels: threaded
#include "core/session_context.h"

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <stdlib.h>

#include "zva/rpc/zva_error_codes.pb.h"

#include "support/scoped_env.h"
#include "support/log_capture.h"
#include "core/accelerator.h"
#include "zva/zva_codes.h"

namespace {

using std::chrono::hours;
using std::chrono::milliseconds;

class SessionContextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("ZVL_TLS_OPTION_DISABLED", "", 1);
    accelerator_ = std::make_unique<zva::Accelerator>(
        zvtest::kClosedEndpoint, "us-west-2", "zva-test", "zva1.medium");
  }
  zva::SessionContext& context() { return accelerator_->session_context_; }

  zvtest::AccelEnv env_;
  std::unique_ptr<zva::Accelerator> accelerator_;
};

TEST_F(SessionContextTest, StartsEmptyWithTheDefaultError) {
  EXPECT_FALSE(context().IsReady());
  ZvaRpcStatus error = context().GetLastSessionError();
  EXPECT_EQ(error.GetGrpcStatusCode(), grpc::CANCELLED);
  EXPECT_EQ(error.GetZvaStatusCode(), zva::rpc::ZVA_FAILED);
  EXPECT_EQ(error.GetZVLStatusCode(), zva::kInternalError);
  EXPECT_EQ(context().Wait(milliseconds(1)), "");
}

TEST_F(SessionContextTest, ReadySessionIsReturnedAndUnReadyKeepsTheId) {
  zvtest::LogCapture log;
  context().SetUnReady();
  EXPECT_EQ(log.Count("setting application context ready to false"), 0);

  context().SetSessionAndNotifyAll("s-1");
  EXPECT_EQ(log.Count("[ApplicationContext] Setting application context ready "
                      "to true, application context ID is s-1\n"),
            1);
  // Ready already: no wait even with an endless timeout.
  EXPECT_EQ(context().Wait(hours(1)), "s-1");
  EXPECT_EQ(log.Count("[ApplicationContext] wait result: 1 \n"), 1);

  context().SetUnReady();
  EXPECT_EQ(log.Count("[ApplicationContext] setting application context ready "
                      "to false, application context ID is : s-1\n"),
            1);
  EXPECT_FALSE(context().IsReady());
  EXPECT_EQ(context().Wait(milliseconds(5)), "");
  EXPECT_EQ(log.Count("[ApplicationContext] application context ready value: "
                      "0\n"),
            1);

  context().SetSessionAndNotifyAll("s-2");
  EXPECT_EQ(context().Wait(milliseconds(5)), "s-2");
}

TEST_F(SessionContextTest, LastSessionErrorIsReplaced) {
  context().SetLastSessionError(
      ZvaRpcStatus(grpc::Status(grpc::StatusCode::NOT_FOUND, "12 gone"), "PT-1",
                   zva::kInternalError));
  ZvaRpcStatus error = context().GetLastSessionError();
  EXPECT_EQ(error.GetGrpcStatusCode(), grpc::NOT_FOUND);
  EXPECT_EQ(error.GetZvaStatusCode(), zva::rpc::ZVA_SESSION_NOT_FOUND);
  EXPECT_EQ(error.GetRequestId(), "PT-1");
}

TEST_F(SessionContextTest, WaitersWakeWhenASessionIsPublished) {
  std::vector<std::future<std::string>> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.push_back(std::async(std::launch::async,
                                 [this] { return context().Wait(hours(1)); }));
  }
  context().SetSessionAndNotifyAll("s-9");
  for (auto& waiter : waiters) EXPECT_EQ(waiter.get(), "s-9");
}

TEST_F(SessionContextTest, StoppingAcceleratorEndsWaitsEvenWhenReady) {
  std::vector<std::future<std::string>> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.push_back(std::async(std::launch::async,
                                 [this] { return context().Wait(hours(1)); }));
  }
  // Each waiter either is already waiting or sees the stop flag on entry;
  // either way Release must free it (an endless wait would hang the test).
  accelerator_->Release();
  for (auto& waiter : waiters) EXPECT_EQ(waiter.get(), "");

  // With the stop flag set, even a ready session is not handed out.
  context().SetSessionAndNotifyAll("s-late");
  EXPECT_EQ(context().Wait(hours(1)), "");
}

}  // namespace
