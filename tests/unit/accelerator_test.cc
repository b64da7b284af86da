// zv-test-labels: threaded
// The accelerator without a server: a closed loopback port stands in for an
// unreachable proxy.
#include "core/accelerator.h"

#include <memory>
#include <string>
#include <utility>

#include <gtest/gtest.h>
#include <stdlib.h>

#include "api/factory.h"
#include "errors/catalogue.h"
#include "errors/classification.h"
#include "platform/files.h"
#include "support/log_capture.h"
#include "support/scoped_env.h"

namespace {

std::string LastError() {
  std::string text;
  zva::GetLastError(&text);
  return text;
}

class AcceleratorTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("ZVL_TLS_OPTION_DISABLED", "", 1); }
  std::unique_ptr<zva::Accelerator> Make(const std::string& id = "zva-a") {
    return std::make_unique<zva::Accelerator>(zvtest::kClosedEndpoint,
                                              "us-west-2", id, "zva1.medium");
  }
  zvtest::AccelEnv env_;
};

TEST_F(AcceleratorTest, ConstructionReadsConfigurationAndMakesNoCall) {
  env_.WriteConfig(R"({"operator_whitelist_override_version": 7,
                       "keep_alive_interval": 75})");
  setenv("ZV_OPERATOR_WHITELIST_VERSION_OVERRIDE", "3", 1);
  auto accelerator = Make();
  unsetenv("ZV_OPERATOR_WHITELIST_VERSION_OVERRIDE");
  EXPECT_EQ(accelerator->GetOverrideOperatorWhitelistVersion(), 3);
  EXPECT_EQ(accelerator->GetClientConfig().keep_alive_interval(), 75);
  EXPECT_EQ(accelerator->GetAcceleratorID(), "zva-a");
  EXPECT_EQ(accelerator->GetAcceleratorType(), "zva1.medium");
  EXPECT_FALSE(accelerator->IsConnected());
  EXPECT_FALSE(accelerator->IsKeepAliveThreadRunning());
  EXPECT_EQ(accelerator->GetChannel()->GetState(false), GRPC_CHANNEL_IDLE);
}

TEST_F(AcceleratorTest, ChannelTableFindsOwnersOnly) {
  auto a = Make("zva-a");
  auto b = Make("zva-b");
  std::shared_ptr<grpc::Channel> channel = a->GetChannel();
  EXPECT_EQ(zva::Accelerator::FromChannel(channel.get()), a.get());
  EXPECT_EQ(zva::Accelerator::FromChannel(b->GetChannel().get()), b.get());

  auto stranger = grpc::CreateChannel(zvtest::kClosedEndpoint,
                                      grpc::InsecureChannelCredentials());
  EXPECT_EQ(zva::Accelerator::FromChannel(stranger.get()), nullptr);
  EXPECT_EQ(zva::Accelerator::FromChannel(stranger.get()), nullptr);
  EXPECT_EQ(zva::Accelerator::FromChannel(nullptr), nullptr);

  // A copy of the member is a snapshot that the release does not empty.
  const zva::AcceleratorChannel snapshot = a->channel_;
  a->Release();
  EXPECT_EQ(a->channel_, nullptr);
  EXPECT_EQ(snapshot.get(), channel.get());
  // The caller still holds the channel, but it no longer leads anywhere.
  EXPECT_EQ(zva::Accelerator::FromChannel(channel.get()), nullptr);
  EXPECT_EQ(zva::Accelerator::FromChannel(b->GetChannel().get()), b.get());
}

TEST_F(AcceleratorTest, ReleaseIsIdempotentAndLaterCallsFailCleanly) {
  zvtest::LogCapture log;
  auto accelerator = Make();
  std::shared_ptr<grpc::Channel> channel = accelerator->GetChannel();
  EXPECT_EQ(accelerator->Release(), zva::kOk);
  EXPECT_EQ(accelerator->Release(), zva::kOk);
  EXPECT_EQ(log.Count("Releasing accelerator \n"), 1);
  EXPECT_TRUE(accelerator->IsReleased());
  EXPECT_EQ(accelerator->GetChannel(), nullptr);
  EXPECT_EQ(accelerator->channel_, nullptr);
  // Neither the accelerator nor its stub holds the channel any more.
  EXPECT_EQ(channel.use_count(), 1);
  channel.reset();

  zva::util::SetLastError("before");
  EXPECT_EQ(accelerator->Ping(), zva::kInternalError);
  EXPECT_NE(LastError().find("ZV Accelerator ID: zva-a"), std::string::npos);
  EXPECT_EQ(accelerator->Connect(), zva::kInternalError);
  EXPECT_THROW(accelerator->ConnectImplementation(true), zva::RPCState);
  EXPECT_EQ(accelerator->DestroySession(), zva::kInternalError);
  EXPECT_FALSE(accelerator->WaitForChannelReady());

  accelerator->KickOffKeepAliveThread(zva::Versions(), "mxnet");
  EXPECT_FALSE(accelerator->IsKeepAliveThreadRunning());
  EXPECT_NE(log.Text().find("has been released; health check not started"),
            std::string::npos);
}

TEST_F(AcceleratorTest, MissingCertificatesLeaveALastErrorButAChannel) {
  if (!zva::util::FindSSLCert().empty()) {
    GTEST_SKIP() << "this host has a certificate file in the searched place";
  }
  unsetenv("ZVL_TLS_OPTION_DISABLED");
  zva::util::SetLastError("before");
  auto accelerator = Make();
  EXPECT_NE(accelerator->GetChannel(), nullptr);
  EXPECT_NE(LastError().find("[1, 9, 35]"), std::string::npos) << LastError();
  EXPECT_NE(LastError().find("Unable to locate SSL certificates"),
            std::string::npos);
}

// Building the list recorded "Unable to locate SSL certificates" as the
// thread's last error although the channel works through gRPC's own roots,
// so GetLastError still reported it after a healthy ping.
TEST_F(AcceleratorTest, BuildingTheListLeavesNoStaleCertificateError) {
  if (!zva::util::FindSSLCert().empty()) {
    GTEST_SKIP() << "this host has a certificate file in the searched place";
  }
  unsetenv("ZVL_TLS_OPTION_DISABLED");
  const std::pair<const char*, const char*> overrides[] = {
      {"ACCELERATOR_PROXYURI_OVERRIDE", zvtest::kClosedEndpoint},
      {"QUERY_ACCELERATORS_RESPONSE_OVERRIDE", "zva-a"},
      {"QUERY_ACCELERATOR_DETAILS_RESPONSE_OVERRIDE",
       R"({"version_2018_04_12": {"zorvelAcceleratorId": "zva-a",
           "zorvelAcceleratorType": "zva1.medium"}})"},
  };
  for (const auto& [name, value] : overrides) setenv(name, value, 1);
  zva::util::SetLastError("before");
  auto list = zva::GetAllAcceleratorsInternal(nullptr);
  for (const auto& [name, value] : overrides) unsetenv(name);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(LastError(), "before");
}

// An accelerator identifier that gRPC cannot send went into the header of
// every call, and gRPC stopped the process.
TEST_F(AcceleratorTest, IdentifierGrpcCannotSendStaysOutOfTheHeader) {
  zvtest::LogCapture log;
  auto accelerator = Make("zva-a\n");
  zva::rpc::PingResponse response;
  EXPECT_EQ(accelerator->PingImplementation(&response).error_code(),
            grpc::StatusCode::UNAVAILABLE);
  EXPECT_EQ(log.Count("[Preparing Context] Header x-kstrn-zva-accelerator-id "
                      "left out: its value \"zva-a\\x0a\" cannot be sent\n"),
            1)
      << log.Text();
}

TEST_F(AcceleratorTest, MissingCredentialsFailOnceWithoutACall) {
  unsetenv("KCP_ACCESS_KEY_ID");
  unsetenv("KCP_SECRET_ACCESS_KEY");
  zvtest::LogCapture log;
  auto accelerator = Make();
  EXPECT_EQ(accelerator->Connect(), zva::kInternalError);
  EXPECT_FALSE(accelerator->IsConnected());
  // Not retried, even though Connect asks for retries.
  EXPECT_EQ(log.Count("[ConnectImplementation] Auth exception: No KCP "
                      "credentials found. Please configure KCP credentials\n"),
            1);
  EXPECT_EQ(log.Count("Making connect call"), 0);
  ZvaRpcStatus error = accelerator->session_context_.GetLastSessionError();
  EXPECT_EQ(error.GetGrpcStatusCode(), grpc::FAILED_PRECONDITION);
  EXPECT_EQ(error.GetZVLStatusCode(), zva::kNoKcpCredentials);
  EXPECT_EQ(error.GetRequestId(), "");
  // The last error says which sources were tried and why each failed.
  EXPECT_NE(LastError().find("ZV Error Description: No KCP credentials found. "
                             "Please configure KCP credentials. Sources "
                             "tried: environment: KCP_ACCESS_KEY_ID and "
                             "KCP_SECRET_ACCESS_KEY not set; profile file: "),
            std::string::npos)
      << LastError();
  EXPECT_NE(LastError().find("; container endpoint: "
                             "KCP_CONTAINER_CREDENTIALS_URI not set; host "
                             "role: http://127.0.0.1:1/latest/meta-data/kcp/"
                             "security-credentials/: "),
            std::string::npos)
      << LastError();
}

TEST_F(AcceleratorTest, UnreachableProxyIsTriedThreeTimesWithRetryOnceWithout) {
  zvtest::LogCapture log;
  auto accelerator = Make();
  EXPECT_EQ(accelerator->Connect(), zva::kInternalError);
  for (int attempt = 1; attempt <= 3; ++attempt) {
    EXPECT_EQ(log.Count("[ConnectImplementation] Doing internal retry. "
                        "Attempt: " +
                        std::to_string(attempt) + "\n"),
              1);
  }
  EXPECT_EQ(log.Count("Doing internal retry. Attempt: 4"), 0);
  EXPECT_EQ(log.Count("[ConnectImplementation] Signing auth request\n"), 3);
  EXPECT_EQ(log.Count("[ConnectImplementation] Connect retry error code: 14\n"),
            1);
  EXPECT_NE(LastError().find("[1, 14, 1]"), std::string::npos) << LastError();

  log.Clear();
  try {
    accelerator->ConnectImplementation(false);
    ADD_FAILURE() << "no exception";
  } catch (zva::RPCState state) {
    EXPECT_EQ(state, zva::TCP_CONNECT_NEEDED);
  }
  EXPECT_EQ(log.Count("[ConnectImplementation] Signing auth request\n"), 1);
  EXPECT_EQ(log.Count("Doing internal retry. Attempt: 1\n"), 1);
  EXPECT_EQ(log.Count("Doing internal retry. Attempt: 2"), 0);
  ZvaRpcStatus error = accelerator->session_context_.GetLastSessionError();
  EXPECT_EQ(error.GetGrpcStatusCode(), grpc::UNAVAILABLE);
  EXPECT_EQ(error.GetRequestId().rfind("PT-", 0), 0u);

  // Ping gives up as soon as Connect does.
  EXPECT_EQ(accelerator->Ping(), zva::kInternalError);
}

TEST_F(AcceleratorTest, DestroyingAcceleratorsWithRunningThreadsIsClean) {
  for (int i = 0; i < 5; ++i) {
    auto accelerator = Make("zva-loop");
    accelerator->KickOffKeepAliveThread(zva::Versions(), "mxnet");
    EXPECT_TRUE(accelerator->IsKeepAliveThreadRunning());
    // A second start while the thread runs is refused.
    accelerator->KickOffKeepAliveThread(zva::Versions(), "mxnet");
    if (i % 2 == 0) accelerator->Release();
    // The destructor stops and joins the thread, which waits for a channel
    // that never becomes ready.
  }
}

// Stops and checks wake the thread's channel watch through an alarm on its
// queue. Releasing with that alarm's event still queued once freed the
// alarm under the queue (a crash in every tool's exit).
TEST_F(AcceleratorTest, ReleaseWithAWakeStillQueuedIsClean) {
  for (int i = 0; i < 8; ++i) {
    const bool thread = i & 1, checks = i & 2, stop_first = i & 4;
    SCOPED_TRACE(i);
    auto accelerator = Make("zva-wake");
    if (thread) accelerator->KickOffKeepAliveThread(zva::Versions(), "mxnet");
    for (int k = 0; checks && k < 3; ++k) {
      accelerator->ReportSessionTrouble(0, false);
    }
    if (stop_first) accelerator->RequestStop();
    EXPECT_EQ(accelerator->Release(), 0);
    EXPECT_FALSE(accelerator->IsKeepAliveThreadRunning());
  }
}

}  // namespace

namespace {

TEST_F(AcceleratorTest, ChannelThatNeverBecomesReadyRecordsUnavailable) {
  zvtest::LogCapture log;
  auto accelerator = Make();
  accelerator->KickOffKeepAliveThread(zva::Versions(), "mxnet");
  ASSERT_TRUE(log.WaitFor(
      "[Health check][WaitForChannelReady] Channel is not connected. "
      "retrying.. \n"));
  ZvaRpcStatus error = accelerator->session_context_.GetLastSessionError();
  EXPECT_EQ(error.GetGrpcStatusCode(), grpc::UNAVAILABLE);
  EXPECT_EQ(error.GetZVLStatusCode(), zva::kServiceNotReachable);
  EXPECT_EQ(error.GetErrorMessage(), "");
  accelerator->Release();
  EXPECT_FALSE(accelerator->IsKeepAliveThreadRunning());
  EXPECT_EQ(log.Count("Signing auth request"), 0);
  EXPECT_EQ(log.Count("[Health check][WaitForChannelReady] Quit got called. "
                      "returning.. \n"),
            1);
  EXPECT_EQ(log.Count("[Health check] received quit signal,Channel ready "
                      "state: 0, Application context ready state: 0\n"),
            1);
}

}  // namespace
