// The executor against the simulator's fault plan.

#include <chrono>

#include <grpcpp/create_channel.h>
#include <gtest/gtest.h>

#include "errors/classification.h"
#include "rpc/executor.h"
#include "rpc/reload_handler.h"
#include "support/log_capture.h"
#include "support/sim_harness.h"

namespace zvtest {
namespace {

using namespace std::chrono_literals;
using Stub = zva::rpc::ZvaInference::Stub;

class RpcExecutorTest : public SimFixture {
 protected:
  // Runs one ListModels execution as the MXNet adapter names it.
  int ListModels(RPCExceptionHandlerInterface* handler = nullptr,
                 std::string* request_id = nullptr) {
    zva::rpc::ListModelsRequest request;
    zva::rpc::ListModelsResponse response;
    ListModelsExecutor executor(channel().get(), stub_.get(), &Stub::ListModels,
                                "[MXNet][" + zva::functions::LIST_MODELS + "]",
                                &request, &response, 5000);
    const int result = executor.DefaultExecute(handler);
    if (request_id != nullptr) *request_id = executor.GetRequestId();
    return result;
  }

  int LoadModel(const std::string& model_id) {
    zva::rpc::LoadModelRequest request;
    zva::rpc::LoadModelResponse response;
    request.set_model_id(model_id);
    LoadModelExecutor executor(channel().get(), stub_.get(), &Stub::LoadModel,
                               "[MXNet][3]", &request, &response, 5000);
    return executor.DefaultExecute(nullptr);
  }

  int Infer(const std::string& model_id,
            RPCExceptionHandlerInterface* handler) {
    zva::rpc::InferRequest request;
    zva::rpc::InferResponse response;
    request.set_model_id(model_id);
    InferExecutor executor(channel().get(), stub_.get(), &Stub::Infer,
                           "[MXNet][6]", &request, &response, 5000);
    return executor.DefaultExecute(handler);
  }
};

TEST_F(RpcExecutorTest, SuccessAtOnceStampsSessionAndContext) {
  LogCapture log;
  std::string request_id;
  EXPECT_EQ(ListModels(nullptr, &request_id), zva::kOk);
  const auto calls = Calls("ListModels");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Metadata("x-kstrn-request-id"), request_id);
  EXPECT_EQ(calls[0].Metadata("x-kstrn-zva-accelerator-id"), kAcceleratorId);
  EXPECT_EQ(
      calls[0].RequestAs<zva::rpc::ListModelsRequest>()->session().session_id(),
      session_id_);
  EXPECT_NE(calls[0].deadline_ms, -1);
  EXPECT_EQ(
      log.Count("[Execution Engine], executing - [MXNet][5], Request ID : " +
                request_id + ", Attempt:1, Application context id : " +
                session_id_ + ", Accelerator id: " + kAcceleratorId + "\n"),
      1u);
  EXPECT_EQ(log.Count("[Execution Engine] Received successful response for: "
                      "[MXNet][5], Request ID : " +
                      request_id + ", Attempt:1,"),
            1u);
  EXPECT_EQ(log.Count("[MXNet][5] took "), 1u);  // the executor's lifetime
}

TEST_F(RpcExecutorTest, UnimplementedGraphStatsIsIgnored) {
  zva::util::SetLastError("before");
  core().FailNext("PostGraphStats", 1, grpc::StatusCode::UNIMPLEMENTED,
                  "1 not implemented");
  LogCapture log;
  zva::rpc::PostGraphStatsRequest request;
  zva::rpc::PostGraphStatsResponse response;
  PostGraphStatsExecutor executor(
      channel().get(), stub_.get(), &Stub::PostGraphStats,
      "[Pytorch][" + zva::functions::POST_GRAPH_STATS + "]", &request,
      &response, 5000);
  EXPECT_EQ(executor.DefaultExecute(nullptr), zva::kOk);
  EXPECT_EQ(executor.GetAttempt(), 0);
  EXPECT_EQ(Calls("PostGraphStats").size(), 1u);
  EXPECT_EQ(log.Count("[Execution Engine] Ignoring error for request: " +
                      executor.GetRequestId() +
                      ", method_name: [Pytorch][9], rpc code: 12\n"),
            1u);
  EXPECT_EQ(LastError(), "before");

  // The same failure of any other operation is not ignored.
  sim_->core().FailNext("ListModels", 1, grpc::StatusCode::UNIMPLEMENTED,
                 "1 not implemented");
  EXPECT_EQ(ListModels(), zva::kOk);  // retried after the pause, then succeeded
  EXPECT_EQ(Calls("ListModels").size(), 2u);
}

TEST_F(RpcExecutorTest, FourUnavailableFailuresGiveUpWithTheLastRequestId) {
  core().FailNext("ListModels", 4, grpc::StatusCode::UNAVAILABLE, "1 busy");
  LogCapture log;
  std::string request_id;
  EXPECT_EQ(ListModels(nullptr, &request_id), zva::kInternalError);
  const auto calls = Calls("ListModels");
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[3].Metadata("x-kstrn-request-id"), request_id);
  for (int attempt = 1; attempt <= 4; ++attempt) {
    SCOPED_TRACE(attempt);
    EXPECT_EQ(log.Count("[Execution Engine], Received unsuccessful response "
                        "for: [MXNet][5], RPC error code: 14, Request ID : " +
                        calls[attempt - 1].Metadata("x-kstrn-request-id") +
                        ", Attempt:" + std::to_string(attempt) + ","),
              1u);
  }
  const std::string text = LastError();
  EXPECT_NE(text.find("ZV Error Code: [1, 14, 1]"), std::string::npos) << text;
  EXPECT_NE(text.find("ZV Request ID: " + request_id +
                      "  --  ZV Accelerator ID: " + kAcceleratorId),
            std::string::npos)
      << text;
  EXPECT_EQ(log.Count("[Execution Engine][MXNet][5] Failed - Last Error: "),
            1u);
}

TEST_F(RpcExecutorTest, DeadlineExceededPausesBeforeEachRetry) {
  core().FailNext("ListModels", 4, grpc::StatusCode::DEADLINE_EXCEEDED,
                  "53 too slow");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ListModels(), zva::kServiceTimeout);  // ZVA_TIME_OUT
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(Calls("ListModels").size(), 4u);
  // Three pauses of keep_alive_interval + 50 ms, none after the last failure:
  // a lower bound that sleeping guarantees.
  EXPECT_GE(elapsed, 3 * std::chrono::milliseconds(kKeepAliveIntervalMs + 50));
}

TEST_F(RpcExecutorTest, FatalFailureIsReportedAtOnce) {
  sim_->core().FailNext("ListModels", 1, grpc::StatusCode::INVALID_ARGUMENT,
                 "52 invalid tensor");
  EXPECT_EQ(ListModels(), zva::kInvalidTensor);
  EXPECT_EQ(Calls("ListModels").size(), 1u);
  EXPECT_NE(LastError().find("ZV Error Description: Invalid tensor on "
                             "accelerator"),
            std::string::npos);
}

TEST_F(RpcExecutorTest, ModelLossWithoutHandlerIsReportedAtOnce) {
  ASSERT_EQ(LoadModel("m"), zva::kOk);
  sim_->core().ForgetAllModels();
  EXPECT_EQ(Infer("m", nullptr), zva::kModelNotFound);
  EXPECT_EQ(Calls("Infer").size(), 1u);
}

// A handler that repairs nothing but says it did, counting its calls.
class CountingHandler : public RPCExceptionHandlerInterface {
 public:
  grpc::Status HandleException(const std::string& session_id,
                               grpc::Status status) override {
    ++calls;
    last_session_id = session_id;
    last_status = status;
    return grpc::Status::OK;
  }
  int calls = 0;
  std::string last_session_id;
  grpc::Status last_status;
};

TEST_F(RpcExecutorTest, HandlerIsAskedOnceAndTheSecondLossIsReported) {
  ASSERT_EQ(LoadModel("m"), zva::kOk);
  sim_->core().FailNext("Infer", 2, grpc::StatusCode::NOT_FOUND, "9 model not found");
  CountingHandler handler;
  EXPECT_EQ(Infer("m", &handler), zva::kModelNotFound);
  EXPECT_EQ(handler.calls, 1);
  EXPECT_EQ(handler.last_session_id, session_id_);
  EXPECT_EQ(handler.last_status.error_message(), "9 model not found");
  EXPECT_EQ(Calls("Infer").size(), 2u);
}

TEST_F(RpcExecutorTest, ModelLossWithReloadHandlerSucceeds) {
  ASSERT_EQ(LoadModel("m"), zva::kOk);
  sim_->core().ForgetAllModels();
  zva::rpc::LoadModelRequest kept;
  kept.set_model_id("m");
  InferExceptionHandler handler(kept, stub_.get(), accelerator_.get(), 5000,
                                5000);
  EXPECT_EQ(Infer("m", &handler), zva::kOk);
  EXPECT_EQ(Calls("Infer").size(), 2u);
  EXPECT_EQ(core().Models(kAcceleratorId), std::vector<std::string>{"m"});
}

// A lost session was retried four times within a millisecond with the same
// dead identifier. Now the caller has it repaired at once and waits for it;
// when the repair meets a fatal answer, the caller fails at once with that
// answer's code and text instead of waiting.
TEST_F(RpcExecutorTest, SessionLostAndRepairRefusedReturnsTheFatalCode) {
  SetObserver([&](const zvsim::CallRecord& call) {
    if (call.method != "ListModels") return;
    core().FailNext("KeepAliveSession", 1, grpc::StatusCode::NOT_FOUND,
                    "12 session not found");
    core().FailNext("Connect", 1000, grpc::StatusCode::UNAUTHENTICATED,
                    "6 authentication failed");
  });
  core().FailNext("ListModels", 1, grpc::StatusCode::NOT_FOUND,
                  "12 session not found");
  LogCapture log;
  EXPECT_EQ(ListModels(), zva::kAuthenticationFailed);
  EXPECT_EQ(Calls("ListModels").size(), 1u);
  EXPECT_EQ(log.Count("[Execution Engine] Error getting application context "
                      "for [MXNet][5]\n"),
            1u);
  EXPECT_NE(LastError().find("ZV Error Code: [6, 16, 8]"), std::string::npos)
      << LastError();
}

// The timeout used to bound each of the four attempts, with pauses between
// them: a stuck call returned after four deadlines and three pauses. Now the
// first attempt takes the whole time and nothing remains for another.
TEST_F(RpcExecutorTest, StuckCallIsBoundedByTheOperationTimeout) {
  core().SetDelay("ListModels", std::chrono::seconds(20));
  zva::rpc::ListModelsRequest request;
  zva::rpc::ListModelsResponse response;
  ListModelsExecutor executor(channel().get(), stub_.get(), &Stub::ListModels,
                              "[MXNet][5]", &request, &response, 300);
  EXPECT_EQ(executor.DefaultExecute(nullptr), zva::kInternalError);
  EXPECT_TRUE(sim_->core().WaitForDelayedCalls("ListModels", 1, 0ms));
  EXPECT_FALSE(sim_->core().WaitForDelayedCalls("ListModels", 2, 0ms));
  EXPECT_NE(LastError().find("ZV Error Code: [1, 4, 1]"), std::string::npos)
      << LastError();
  core().SetDelay("ListModels", 0ms);
}

TEST_F(RpcExecutorTest, SessionDropIsRepairedWithoutCallerFailure) {
  const std::string first = session_id_;
  sim_->core().DropAllSessions();
  EXPECT_EQ(ListModels(), zva::kOk);
  const auto calls = Calls("ListModels");
  ASSERT_EQ(calls.size(), 2u);
  const std::string second =
      calls[1].RequestAs<zva::rpc::ListModelsRequest>()->session().session_id();
  EXPECT_NE(second, first);
  EXPECT_FALSE(second.empty());
}

TEST_F(RpcExecutorTest, ChannelWithoutAcceleratorMakesNoCall) {
  auto foreign =
      grpc::CreateChannel(sim_->Endpoint(), grpc::InsecureChannelCredentials());
  auto stub = zva::rpc::ZvaInference::NewStub(foreign);
  zva::rpc::ListModelsRequest request;
  zva::rpc::ListModelsResponse response;
  ListModelsExecutor executor(foreign.get(), stub.get(), &Stub::ListModels,
                              "[MXNet][5]", &request, &response, 5000);
  LogCapture log;
  EXPECT_EQ(executor.DefaultExecute(nullptr), zva::kInternalError);
  EXPECT_EQ(log.Count("[Execution Engine][MXNet][5] Failed: no accelerator "
                      "owns the channel\n"),
            1u);
  EXPECT_NE(LastError().find("ZV Error Code: [1, 9, 1]"), std::string::npos);
  EXPECT_EQ(Calls("ListModels").size(), 0u);
}

// An interval far longer than any test: only the health thread's channel
// watch notices a dropped connection in time, and a keep-alive before the
// interval ends can only come from a wake-up taken for something else. The
// thread starts in the test, once its log is captured, so the test knows
// when the thread is watching.
class LongKeepAliveTest : public RpcExecutorTest {
 protected:
  int KeepAliveIntervalMs() const override { return 600000; }
  bool StartHealthCheck() const override { return false; }

  void StartWatching() {
    accelerator_->KickOffKeepAliveThread(zva::Versions{"1.9.1", 0, 0}, "mxnet");
    session_id_ = accelerator_->session_context_.Wait(kPatience);
    ASSERT_FALSE(session_id_.empty());
    ASSERT_TRUE(log_.WaitFor(
        "[Health check] Watching the channel until the next keep-alive\n"));
  }

  LogCapture log_{0, /*debug=*/true};
};

// A model call takes the health thread out of gRPC's polling; had that
// wake-up ended the interval, the calls would bring a keep-alive.
TEST_F(LongKeepAliveTest, ModelCallsBringNoKeepAlives) {
  StartWatching();
  for (int i = 0; i < 20; ++i) ASSERT_EQ(ListModels(), zva::kOk);
  EXPECT_EQ(core().CallCount("KeepAliveSession"), 1u);
}

// Idle, the watch notices the lost connection; after model calls, when the
// thread no longer watches, the next call's failure has it repaired.
TEST_F(LongKeepAliveTest, LostConnectionIsRepairedIdleOrAfterCalls) {
  StartWatching();
  for (const bool calls_before : {false, true}) {
    SCOPED_TRACE(calls_before);
    const size_t connects = core().CallCount("Connect", grpc::StatusCode::OK);
    if (calls_before) {
      ASSERT_EQ(ListModels(), zva::kOk);
    }
    ASSERT_TRUE(sim_->Restart(100ms));
    if (calls_before) {
      EXPECT_EQ(ListModels(), zva::kOk) << LastError();
    }
    EXPECT_TRUE(core().WaitForCalls("Connect", connects + 1, kPatience,
                                    grpc::StatusCode::OK));
    EXPECT_EQ(accelerator_->session_context_.Wait(kPatience), session_id_);
  }
}

class RpcExecutorNoSessionTest : public RpcExecutorTest {
 protected:
  bool StartHealthCheck() const override { return false; }
};

TEST_F(RpcExecutorNoSessionTest, NoSessionMakesNoCall) {
  LogCapture log;
  EXPECT_EQ(ListModels(),
            zva::kInternalError);  // the initial session error's code
  EXPECT_TRUE(sim_->core().Journal().empty());
  EXPECT_EQ(log.Count("[Execution Engine] After wait, got application context "
                      "id \n"),
            1u);
  EXPECT_NE(LastError().find("Last Error: \n"), std::string::npos);
}

}  // namespace
}  // namespace zvtest
