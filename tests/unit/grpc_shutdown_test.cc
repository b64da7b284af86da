// zv-test-labels: threaded
// A process that exited while gRPC was still shutting down left threads
// neither running nor joined, and the crypto library's exit clean-up ran
// under them. WaitForGrpcShutdown is the wait that prevents it.

#include <chrono>
#include <memory>

#include <grpc/grpc.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include "zva/zva_tools.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(WaitForGrpcShutdownTest, OutlastsTheBackOffOfARefusedConnection) {
  // A back-off longer than the default one second, so that gRPC is surely
  // still in use when the channel is gone.
  grpc::ChannelArguments args;
  args.SetInt(GRPC_ARG_INITIAL_RECONNECT_BACKOFF_MS, 2000);
  args.SetInt(GRPC_ARG_MAX_RECONNECT_BACKOFF_MS, 2000);
  // Nothing listens on loopback port 1.
  auto channel = grpc::CreateCustomChannel(
      "127.0.0.1:1", grpc::InsecureChannelCredentials(), args);
  const auto deadline = std::chrono::system_clock::now() + seconds(30);
  grpc_connectivity_state state = channel->GetState(/*try_to_connect=*/true);
  while (state != GRPC_CHANNEL_TRANSIENT_FAILURE &&
         channel->WaitForStateChange(state, deadline)) {
    state = channel->GetState(false);
  }
  ASSERT_EQ(state, GRPC_CHANNEL_TRANSIENT_FAILURE);
  channel.reset();
  // The refused connection waits out its back-off with gRPC in use, and
  // gRPC then shuts down on a thread of its own.
  ASSERT_TRUE(grpc_is_initialized());
  EXPECT_TRUE(zva::WaitForGrpcShutdown(seconds(30)));
  EXPECT_FALSE(grpc_is_initialized());
}

TEST(WaitForGrpcShutdownTest, GivesUpWhileGrpcIsInUse) {
  auto channel =
      grpc::CreateChannel("127.0.0.1:1", grpc::InsecureChannelCredentials());
  EXPECT_FALSE(zva::WaitForGrpcShutdown(milliseconds(20)));
  EXPECT_TRUE(grpc_is_initialized());
  channel.reset();
  EXPECT_TRUE(zva::WaitForGrpcShutdown(seconds(30)));
}

}  // namespace
