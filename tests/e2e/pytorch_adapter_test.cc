// The PyTorch adapter end to end, through its public interface.

#include <grpcpp/create_channel.h>
#include <gtest/gtest.h>

#include "errors/catalogue.h"
#include "support/log_capture.h"
#include "support/sim_harness.h"
#include "zva/zva_pytorch.h"

namespace zvtest {
namespace {

using zva::torch::PytorchInterface;
using zva::torch::PytorchModelInterface;

using Adapter = std::unique_ptr<PytorchInterface, zva::ObjectReleaser>;

class PytorchAdapterTest : public SimFixture {
 protected:
  void SetUp() override {
    SimFixture::SetUp();
    if (HasFatalFailure()) return;
    adapter_.reset(zva::torch::internal::QueryInterface(channel()));
    core().ClearJournal();
  }
  void TearDown() override {
    adapter_.reset();
    SimFixture::TearDown();
  }

  std::shared_ptr<PytorchModelInterface> Load(const std::string& id) {
    std::shared_ptr<PytorchModelInterface> model;
    EXPECT_EQ(adapter_->LoadModel(id, "torchscript", &model), zva::kOk);
    return model;
  }

  Adapter adapter_;
};

TEST_F(PytorchAdapterTest, LoadSendsTheModelBytesUnchanged) {
  const std::string bytes("\x00\x01zip\xff", 6);
  std::shared_ptr<PytorchModelInterface> model;
  ASSERT_EQ(adapter_->LoadModel("pt", bytes, &model), zva::kOk);
  ASSERT_NE(model, nullptr);
  const auto loads = Calls("LoadModel");
  ASSERT_EQ(loads.size(), 1u);
  const auto* sent = loads[0].RequestAs<zva::rpc::LoadModelRequest>();
  EXPECT_EQ(sent->model_id(), "pt");
  EXPECT_EQ(sent->model_spec().serialized_model(), bytes);
  EXPECT_EQ(sent->model_spec().named_tensor_size(), 0);
  EXPECT_EQ(sent->session().session_id(), session_id_);
}

TEST_F(PytorchAdapterTest, InferSendsInOrderAndAppendsOutputs) {
  auto model = Load("pt");
  const std::string raw("\x00\x7f\x80\xff", 4);
  std::vector<std::string> outputs = {"already here"};
  LogCapture log(2, /*debug=*/false, /*profile=*/true);
  ASSERT_EQ(
      model->Infer("pt", {{"a", raw}, {"b", "second"}}, {"y", "z"}, &outputs),
      zva::kOk);
  const auto infers = Calls("Infer");
  ASSERT_EQ(infers.size(), 1u);
  const auto* sent = infers[0].RequestAs<zva::rpc::InferRequest>();
  ASSERT_EQ(sent->input_size(), 2);
  EXPECT_EQ(sent->input(0).name(), "a");
  EXPECT_EQ(sent->input(0).tensor().tensor_content(), raw);
  EXPECT_EQ(sent->input(1).name(), "b");
  EXPECT_EQ(sent->input(1).tensor().tensor_content(), "second");
  EXPECT_EQ(std::vector<std::string>(sent->output_name().begin(),
                                     sent->output_name().end()),
            (std::vector<std::string>{"y", "z"}));
  EXPECT_EQ(outputs, (std::vector<std::string>{"already here", raw, "second"}));
  EXPECT_EQ(
      log.Count("[PROFILE] Request id: " +
                infers[0].Metadata("x-kstrn-request-id") + ", Duration: "),
      1u);
  EXPECT_EQ(log.Count("[PROFILE]"), 1u);
}

TEST_F(PytorchAdapterTest, InferSendsTheIdentifierArgument) {
  auto a = Load("a");
  auto b = Load("b");
  std::vector<std::string> outputs;
  LogCapture log;
  EXPECT_EQ(a->Infer("b", {{"x", "1"}}, {}, &outputs), zva::kOk);
  const auto infers = Calls("Infer");
  ASSERT_EQ(infers.size(), 1u);
  EXPECT_EQ(infers[0].RequestAs<zva::rpc::InferRequest>()->model_id(), "b");
  EXPECT_EQ(log.Count("[Pytorch][6] Model ida\n"), 1u);
}

TEST_F(PytorchAdapterTest, FailedInferLeavesOutputsAndLogsNoProfile) {
  auto model = Load("pt");
  core().FailNext("Infer", 1, grpc::StatusCode::INVALID_ARGUMENT,
                  "52 invalid tensor");
  std::vector<std::string> outputs = {"mine"};
  LogCapture log(2, /*debug=*/false, /*profile=*/true);
  EXPECT_EQ(model->Infer("pt", {{"x", "1"}}, {"y"}, &outputs),
            zva::kInvalidTensor);
  EXPECT_EQ(outputs, std::vector<std::string>{"mine"});
  EXPECT_EQ(log.Count("[PROFILE]"), 0u);
}

// A failed call whose message starts with "0", the service's code for
// success, was returned as 0: LoadModel handed out a model that was never
// loaded, and an Infer whose reload failed so succeeded without outputs.
TEST_F(PytorchAdapterTest, FailureCarryingTheSuccessCodeIsNeverSuccess) {
  core().FailNext("LoadModel", 4, grpc::StatusCode::INTERNAL, "0 ok");
  std::shared_ptr<PytorchModelInterface> model;
  EXPECT_EQ(adapter_->LoadModel("pt", "bytes", &model), zva::kInternalError);
  EXPECT_EQ(model, nullptr);
  EXPECT_NE(LastError().find("ZV Error Code: [0, 13, 1]\n    ZV Error "
                             "Description: Internal error\n"),
            std::string::npos)
      << LastError();

  model = Load("pt");
  core().ForgetAllModels();
  core().FailNext("LoadModel", 1, grpc::StatusCode::INTERNAL, "0 ok");
  std::vector<std::string> outputs = {"mine"};
  EXPECT_EQ(model->Infer("pt", {{"x", "1"}}, {"y"}, &outputs),
            zva::kInternalError);
  EXPECT_EQ(outputs, std::vector<std::string>{"mine"});
}

// A null argument returned 1 and left the thread's last error as it was.
TEST_F(PytorchAdapterTest, NullArgumentsSetTheLastError) {
  auto model = Load("pt");
  const std::function<int()> kCalls[] = {
      [&] { return adapter_->LoadModel("m", "bytes", nullptr); },
      [&] { return adapter_->GetOperatorWhitelist(nullptr); },
      [&] { return model->Infer("pt", {}, {}, nullptr); },
  };
  for (const auto& call : kCalls) {
    zva::util::SetLastError("stale");
    EXPECT_EQ(call(), zva::kInternalError);
    EXPECT_NE(LastError().find("ZV Error Code: [1, 9, 1]"), std::string::npos)
        << LastError();
  }
}

// An empty model id or a name that is not valid UTF-8 (which protobuf will
// not serialize in a string field) was sent anyway and failed only after
// the executor's retry pauses.
TEST_F(PytorchAdapterTest, StringsTheWireCannotCarryFailBeforeAnyCall) {
  auto model = Load("pt");
  core().ClearJournal();
  std::shared_ptr<PytorchModelInterface> loaded;
  std::vector<std::string> outputs;
  const std::function<int()> kCalls[] = {
      [&] { return adapter_->LoadModel("", "bytes", &loaded); },
      [&] { return adapter_->LoadModel("\xc0\xaf", "bytes", &loaded); },
      [&] {
        return model->Infer("", {{"x", "1"}}, {"y"}, &outputs);
      },
      [&] {
        return model->Infer("pt", {{"x\xff", "1"}}, {"y"}, &outputs);
      },
      [&] {
        return model->Infer("pt", {{"x", "1"}}, {"y\x80"}, &outputs);
      },
  };
  for (const auto& call : kCalls) {
    zva::util::SetLastError("stale");
    EXPECT_EQ(call(), zva::kTensorFormatError);
    EXPECT_NE(LastError().find("ZV Error Code: [1, 9, 21]"), std::string::npos)
        << LastError();
  }
  EXPECT_EQ(loaded, nullptr);
  EXPECT_TRUE(outputs.empty());
  EXPECT_EQ(core().CallCount("LoadModel") + core().CallCount("Infer"), 0u);
}

TEST_F(PytorchAdapterTest, LostModelIsReloaded) {
  auto model = Load("pt");
  core().ForgetAllModels();
  std::vector<std::string> outputs;
  EXPECT_EQ(model->Infer("pt", {{"x", "1"}}, {"y"}, &outputs), zva::kOk);
  EXPECT_EQ(outputs, std::vector<std::string>{"1"});
  EXPECT_EQ(core().CallCount("LoadModel"), 2u);
}

TEST_F(PytorchAdapterTest, LastReferenceUnloadsExactlyOnce) {
  auto model = Load("pt");
  auto copy = model;
  model.reset();
  adapter_.reset();  // models keep their own channel and stub
  EXPECT_EQ(core().CallCount("UnloadModel"), 0u);
  copy.reset();
  const auto unloads = Calls("UnloadModel");
  ASSERT_EQ(unloads.size(), 1u);
  EXPECT_EQ(unloads[0].RequestAs<zva::rpc::UnloadModelRequest>()->model_id(),
            "pt");
}

TEST_F(PytorchAdapterTest, ListWhitelistAndGraphStats) {
  EXPECT_EQ(adapter_->ListModels(), zva::kOk);
  EXPECT_EQ(sim_->core().CallCount("ListModels"), 1u);

  std::set<std::string> ops = {"aten::custom"};
  EXPECT_EQ(adapter_->GetOperatorWhitelist(&ops), zva::kOk);
  EXPECT_EQ(ops.size(), 9u);
  EXPECT_EQ(*ops.begin(), "Activation");
  {
    LogCapture log;
    EXPECT_EQ(adapter_->GetOperatorWhitelist(nullptr), zva::kInternalError);
    EXPECT_EQ(log.Count("[Pytorch][2] Failed: Null argument provided.\n"), 1u);
  }
  EXPECT_EQ(core().CallCount("GetOperatorWhitelist"), 1u);

  EXPECT_EQ(adapter_->PostGraphStats({{"b", {"1", "2"}}, {"a", {}}}), zva::kOk);
  const auto stats = sim_->core().GraphStats();
  ASSERT_EQ(stats.size(), 1u);
  ASSERT_EQ(stats[0].stats.attribute_map().size(), 1u);
  EXPECT_EQ(stats[0].stats.attribute_map().at("b").value_size(), 2);
}

TEST_F(PytorchAdapterTest, ChannelWithoutAcceleratorFailsWithoutCalls) {
  auto foreign =
      grpc::CreateChannel(sim_->Endpoint(), grpc::InsecureChannelCredentials());
  for (auto& channel : {foreign, std::shared_ptr<grpc::Channel>()}) {
    Adapter adapter(zva::torch::internal::QueryInterface(channel));
    std::shared_ptr<PytorchModelInterface> model;
    std::set<std::string> ops;
    EXPECT_EQ(adapter->LoadModel("m", "bytes", &model), zva::kInternalError);
    EXPECT_EQ(model, nullptr);
    EXPECT_EQ(adapter->ListModels(), zva::kInternalError);
    EXPECT_EQ(adapter->GetOperatorWhitelist(&ops), zva::kInternalError);
    EXPECT_EQ(adapter->PostGraphStats({{"a", {"b"}}}), zva::kInternalError);
  }
  EXPECT_EQ(core().CallCount("LoadModel") + core().CallCount("ListModels") +
                core().CallCount("GetOperatorWhitelist") +
                core().CallCount("PostGraphStats"),
            0u);
}

}  // namespace
}  // namespace zvtest
