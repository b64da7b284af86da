// Reloading a model the accelerator lost, alone and from two threads.

#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "rpc/reload_handler.h"
#include "support/log_capture.h"
#include "support/sim_harness.h"

namespace zvtest {
namespace {

using namespace std::chrono_literals;
using Stub = zva::rpc::ZvaInference::Stub;

class InferReloadTest : public SimFixture {
 protected:
  void SetUp() override {
    SimFixture::SetUp();
    if (HasFatalFailure()) return;
    kept_.set_model_id("resnet");
    kept_.mutable_model_spec()->set_serialized_model("graph");
    zva::rpc::LoadModelRequest request = kept_;
    zva::rpc::LoadModelResponse response;
    LoadModelExecutor load(channel().get(), stub_.get(), &Stub::LoadModel,
                           "[MXNet][3]", &request, &response, 5000);
    ASSERT_EQ(load.DefaultExecute(nullptr), zva::kOk);
    sim_->core().ClearJournal();
  }

  // One Infer execution of the kept model with a reload handler.
  int InferWithReload() {
    zva::rpc::InferRequest request;
    zva::rpc::InferResponse response;
    request.set_model_id(kept_.model_id());
    InferExecutor executor(channel().get(), stub_.get(), &Stub::Infer,
                           "[MXNet][6]", &request, &response, 5000);
    InferExceptionHandler handler(kept_, stub_.get(), accelerator_.get(), 5000,
                                  5000);
    return executor.DefaultExecute(&handler);
  }

  InferExceptionHandler Handler() {
    return InferExceptionHandler(kept_, stub_.get(), accelerator_.get(), 5000,
                                 5000);
  }

  zva::rpc::LoadModelRequest kept_;
};

TEST_F(InferReloadTest, MissingModelIsReloadedAndInferRepeated) {
  core().ForgetAllModels();
  LogCapture log;
  EXPECT_EQ(InferWithReload(), zva::kOk);
  ASSERT_EQ(Calls("Infer").size(), 2u);
  EXPECT_EQ(Calls("ListModels").size(), 1u);
  const auto loads = Calls("LoadModel");
  ASSERT_EQ(loads.size(), 1u);
  const auto* sent = loads[0].RequestAs<zva::rpc::LoadModelRequest>();
  EXPECT_EQ(sent->model_spec().serialized_model(), "graph");
  EXPECT_EQ(sent->session().session_id(), session_id_);
  EXPECT_EQ(kept_.session().session_id(), session_id_);
  EXPECT_EQ(core().Models(kAcceleratorId), std::vector<std::string>{"resnet"});

  const std::string text = log.Text();
  const size_t not_found =
      text.find("Model not found in listed models.  Reloading...\n");
  const size_t reloading =
      text.find("Reloading model resnet,request ID is " +
                loads[0].Metadata("x-kstrn-request-id") + "\n");
  const size_t reloaded = text.find("Successfully reloaded model resnet\n");
  ASSERT_NE(not_found, std::string::npos);
  ASSERT_NE(reloading, std::string::npos);
  ASSERT_NE(reloaded, std::string::npos);
  EXPECT_LT(not_found, reloading);
  EXPECT_LT(reloading, reloaded);
}

TEST_F(InferReloadTest, ModelPresentAgainIsNotReloaded) {
  core().FailNext("Infer", 1, grpc::StatusCode::NOT_FOUND, "9 model not found");
  LogCapture log;
  EXPECT_EQ(InferWithReload(), zva::kOk);
  EXPECT_EQ(Calls("Infer").size(), 2u);
  EXPECT_EQ(Calls("ListModels").size(), 1u);
  EXPECT_EQ(Calls("LoadModel").size(), 0u);
  EXPECT_EQ(log.Count("Model found in listed models.  Skipping reload.\n"), 1u);
}

TEST_F(InferReloadTest, FailedReloadIsReported) {
  sim_->core().ForgetAllModels();
  sim_->core().FailNext("LoadModel", 1, grpc::StatusCode::RESOURCE_EXHAUSTED,
                 "51 out of memory");
  EXPECT_EQ(InferWithReload(), zva::kAcceleratorOutOfMemory);
  EXPECT_EQ(Calls("Infer").size(), 1u);
  EXPECT_NE(LastError().find("ZV Error Code: [51, 8, 31]"), std::string::npos);
}

// A failed list call answering NOT_FOUND (a lost session, say) was taken
// for "model not listed" and triggered a reload.
TEST_F(InferReloadTest, FailedListReportsTheInferFailure) {
  const struct {
    grpc::StatusCode code;
    const char* message;
  } kCases[] = {
      {grpc::StatusCode::UNAVAILABLE, "1 busy"},
      {grpc::StatusCode::NOT_FOUND, "12 session not found"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.message);
    sim_->core().ForgetAllModels();
    sim_->core().ClearJournal();
    sim_->core().FailNext("ListModels", 1, c.code, c.message);
    EXPECT_EQ(InferWithReload(), zva::kModelNotFound);
    EXPECT_EQ(Calls("LoadModel").size(), 0u);
    EXPECT_NE(LastError().find("ZV Error Code: [9, 5, 12]"), std::string::npos);
  }
}

TEST_F(InferReloadTest, OtherFailuresAreNotAModelLoss) {
  core().FailNext("Infer", 1, grpc::StatusCode::INVALID_ARGUMENT,
                  "52 invalid tensor");
  LogCapture log;
  EXPECT_EQ(InferWithReload(), zva::kInvalidTensor);
  EXPECT_EQ(Calls("ListModels").size(), 0u);
  EXPECT_EQ(log.Count("Model reload is not needed. Bailing out.\n"), 1u);

  InferExceptionHandler handler = Handler();
  const grpc::Status incoming(grpc::StatusCode::INVALID_ARGUMENT,
                              "52 invalid tensor");
  const grpc::Status result = handler.HandleException(session_id_, incoming);
  EXPECT_EQ(result.error_code(), incoming.error_code());
  EXPECT_EQ(result.error_message(), incoming.error_message());
}

TEST_F(InferReloadTest, ListedMeansTheExactIdentifier) {
  struct Case {
    const char* kept;
    const char* loaded;
    grpc::StatusCode want;
  };
  const Case kCases[] = {
      {"resnet", "resnet50", grpc::StatusCode::NOT_FOUND},
      {"resnet50", "resnet", grpc::StatusCode::NOT_FOUND},
      {"resnet50", "resnet50", grpc::StatusCode::OK},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.kept) + " / " + c.loaded);
    core().ForgetAllModels();
    zva::rpc::LoadModelRequest request;
    zva::rpc::LoadModelResponse response;
    request.set_model_id(c.loaded);
    LoadModelExecutor load(channel().get(), stub_.get(), &Stub::LoadModel,
                           "[MXNet][3]", &request, &response, 5000);
    ASSERT_EQ(load.DefaultExecute(nullptr), zva::kOk);
    kept_.set_model_id(c.kept);
    InferExceptionHandler handler = Handler();
    const grpc::Status listed = handler.IsModelInModelList(session_id_);
    EXPECT_EQ(listed.error_code(), c.want);
    EXPECT_EQ(listed.error_message(), c.want == grpc::StatusCode::OK
                                          ? "Model is in list"
                                          : "Model not found in list of "
                                            "loaded models");
  }
}

TEST_F(InferReloadTest, TwoThreadsFailingAtOnceReloadOnce) {
  // Hold both failed inferences on the server until both have failed, so
  // that both handlers ask for the reload lock at about the same time.
  std::mutex mtx;
  std::condition_variable cv;
  int failed = 0;
  SetObserver([&](const zvsim::CallRecord& call) {
    if (call.method != "Infer" || call.code != grpc::StatusCode::NOT_FOUND) {
      return;
    }
    std::unique_lock<std::mutex> lock(mtx);
    ++failed;
    cv.notify_all();
    cv.wait_for(lock, 10s, [&] { return failed >= 2; });
  });
  core().ForgetAllModels();

  // Two framework threads infer the same model and share its kept request;
  // one of them reloads, the other finds the model listed.
  int results[2] = {-1, -1};
  std::thread threads[2];
  for (int i = 0; i < 2; ++i) {
    threads[i] = std::thread([&, i] {
      zva::rpc::InferRequest request;
      zva::rpc::InferResponse response;
      request.set_model_id("resnet");
      InferExecutor executor(channel().get(), stub_.get(), &Stub::Infer,
                             "[MXNet][6]", &request, &response, 5000);
      InferExceptionHandler handler(kept_, stub_.get(), accelerator_.get(),
                                    5000, 5000);
      results[i] = executor.DefaultExecute(&handler);
    });
  }
  for (std::thread& t : threads) t.join();
  SetObserver(nullptr);

  EXPECT_EQ(results[0], zva::kOk);
  EXPECT_EQ(results[1], zva::kOk);
  EXPECT_EQ(failed, 2);
  EXPECT_EQ(Calls("LoadModel").size(), 1u);
  EXPECT_EQ(Calls("ListModels").size(), 2u);
  EXPECT_EQ(core().CallCount("Infer", grpc::StatusCode::OK), 2u);
}

}  // namespace
}  // namespace zvtest
