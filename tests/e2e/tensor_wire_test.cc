// Tensors on the wire through both adapters: a retried inference and a
// reloaded model send what was encoded once, under the new session; large
// tensors cross in many slices both ways; a call that gives up has let go
// of the caller's memory when it returns.

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/sim_harness.h"
#include "rpc/encoded_request.h"
#include "rpc/tensor_codec.h"
#include "zva/zva_codes.h"
#include "zva/zva_mxnet.h"
#include "zva/zva_pytorch.h"

namespace zvtest {
namespace {

using namespace std::chrono_literals;
using zva::mxnet::MXTensor;

// A request without its session, to compare attempts.
template <typename Request>
std::string WithoutSession(const zvsim::CallRecord& call) {
  Request request = *call.RequestAs<Request>();
  request.clear_session();
  return request.SerializeAsString();
}

template <typename Request>
std::string SessionOf(const zvsim::CallRecord& call) {
  return call.RequestAs<Request>()->session().session_id();
}

class TensorWireTest : public SimFixture {
 protected:
  void SetUp() override {
    SimFixture::SetUp();
    if (HasFatalFailure()) return;
    mxnet_.reset(mxnet::internal::QueryInterface(channel()));
    torch_.reset(zva::torch::internal::QueryInterface(channel()));
  }
  void TearDown() override {
    mxnet_model_.reset();
    torch_model_.reset();
    mxnet_.reset();
    torch_.reset();
    SimFixture::TearDown();
  }

  // Loads "net" with a parameter (or a model) big enough to be lent and one
  // that is not.
  bool Load(bool torch) {
    // A model replaced while loaded would unload the new one's identifier.
    mxnet_model_.reset();
    torch_model_.reset();
    if (torch) {
      return torch_->LoadModel("net",
                               std::string(3 * zva::wire::kMinLentBytes, 't'),
                               &torch_model_) == 0;
    }
    std::vector<uint8_t>& w = buffers_["w"];
    w.assign(2 * zva::wire::kMinLentBytes, 0x5a);
    const std::unordered_map<std::string, MXTensor> params = {
        {"arg:w",
         {w.data(), {static_cast<int64_t>(w.size())}, zva::mxnet::UINT8}},
        {"arg:b", {bias_, {2}, zva::mxnet::FLOAT32}}};
    return mxnet_->LoadModel("net", "{}", params, {}, &mxnet_model_) == 0;
  }

  // Infers with one input of `big` bytes and a small one; true when the
  // simulator's echo came back into the outputs.
  bool Infer(bool torch, size_t big) {
    std::string input(big, '\0');
    for (size_t i = 0; i < big; ++i) input[i] = static_cast<char>(i * 13);
    if (torch) {
      std::vector<std::string> outputs;
      return torch_model_->Infer("net", {{"big", input}, {"small", "s"}}, {},
                                 &outputs) == 0 &&
             outputs == std::vector<std::string>{input, "s"};
    }
    float small[3] = {1, 2, 3};
    const std::unordered_map<std::string, MXTensor> inputs = {
        {"big", {input.data(), {static_cast<int64_t>(big)}, zva::mxnet::INT8}},
        {"small", {small, {3}, zva::mxnet::FLOAT32}}};
    // The simulator echoes input i as output i, in the order they were sent.
    std::vector<std::vector<char>> received;
    std::vector<MXTensor> outputs;
    received.reserve(inputs.size());
    for (const auto& [name, tensor] : inputs) {
      const size_t size = name == "big" ? big : sizeof small;
      received.emplace_back(size);
      outputs.push_back({received.back().data(), tensor.shape, tensor.dtype});
    }
    if (mxnet_model_->Infer(inputs, &outputs) != 0) return false;
    size_t i = 0;
    for (const auto& [name, tensor] : inputs) {
      if (std::memcmp(received[i++].data(), tensor.data,
                      name == "big" ? big : sizeof small) != 0) {
        return false;
      }
    }
    return true;
  }

  std::unique_ptr<zva::mxnet::MXNetInterface, zva::ObjectReleaser> mxnet_;
  std::unique_ptr<zva::torch::PytorchInterface, zva::ObjectReleaser> torch_;
  std::shared_ptr<zva::mxnet::MXNetModelInterface> mxnet_model_;
  std::shared_ptr<zva::torch::PytorchModelInterface> torch_model_;
  std::unordered_map<std::string, std::vector<uint8_t>> buffers_;
  float bias_[2] = {0.5f, -0.5f};
};

TEST_F(TensorWireTest,
       RetriesAndReloadsSendTheFirstEncodingUnderTheNewSession) {
  // The session is dropped as the first attempt fails, so that its retry
  // needs a new one (a drop before the call could be repaired before it).
  const auto drop_session_as_infer_fails = [this] {
    core().FailNext("Infer", 1, grpc::StatusCode::NOT_FOUND,
                   "12 session not found");
    SetObserver([this](const zvsim::CallRecord& call) {
      if (call.method == "Infer" && call.code != grpc::StatusCode::OK) {
        core().DropAllSessions();
      }
    });
  };
  const struct {
    const char* what;
    std::function<void()> fault;
    size_t loads;  // reloads the fault calls for
  } kFaults[] = {
      {"session lost", drop_session_as_infer_fails, 0},
      {"model lost", [this] { core().ForgetAllModels(); }, 1},
  };
  for (bool torch : {false, true}) {
    for (const auto& f : kFaults) {
      SCOPED_TRACE(std::string(torch ? "PyTorch, " : "MXNet, ") + f.what);
      core().ClearJournal();
      ASSERT_TRUE(Load(torch));
      const zvsim::CallRecord loaded = Calls("LoadModel").at(0);
      core().ClearJournal();
      f.fault();
      const uint64_t encodings = zva::wire::PayloadEncodings();
      EXPECT_TRUE(Infer(torch, 2 * zva::wire::kMinLentBytes));
      SetObserver(nullptr);
      // The two inputs, once; no parameter, no model again.
      EXPECT_EQ(zva::wire::PayloadEncodings() - encodings, 2u);

      const auto infers = Calls("Infer");
      ASSERT_EQ(infers.size(), 2u);
      using zva::rpc::InferRequest;
      EXPECT_EQ(WithoutSession<InferRequest>(infers[1]),
                WithoutSession<InferRequest>(infers[0]));
      const std::string session = accelerator_->session_context_.Wait(10s);
      EXPECT_EQ(SessionOf<InferRequest>(infers[1]), session);
      EXPECT_EQ(SessionOf<InferRequest>(infers[0]) == session, f.loads == 1);

      using zva::rpc::LoadModelRequest;
      const auto reloads = Calls("LoadModel");
      ASSERT_EQ(reloads.size(), f.loads);
      for (const zvsim::CallRecord& reload : reloads) {
        EXPECT_EQ(WithoutSession<LoadModelRequest>(reload),
                  WithoutSession<LoadModelRequest>(loaded));
        EXPECT_EQ(SessionOf<LoadModelRequest>(reload), session);
      }
    }
  }
}

TEST_F(TensorWireTest, LargeTensorsCrossInManySlicesBothWays) {
  for (bool torch : {false, true}) {
    SCOPED_TRACE(torch ? "PyTorch" : "MXNet");
    ASSERT_TRUE(Load(torch));
    for (size_t size : {size_t{1} << 20, size_t{16} << 20}) {
      EXPECT_TRUE(Infer(torch, size)) << size;
    }
  }
}

// A call that gives up: when the request is destroyed, gRPC has released
// every slice of the caller's memory (a sanitizer run would see any later
// read of the freed buffer).
TEST_F(TensorWireTest, ACallThatGivesUpHasLetGoOfTheCallersMemory) {
  core().SetDelay("Infer", std::chrono::seconds(20));
  LogCapture log;
  using Inputs = std::vector<std::pair<std::string, std::string>>;
  auto inputs =
      std::make_unique<Inputs>(Inputs{{"x", std::string(4 << 20, 'x')}});
  auto request = std::make_unique<zva::wire::EncodedRequest>(
      zva::wire::EncodedRequest::Bytes::kLent);
  zva::wire::EncodeTorchInfer("net", *inputs, {}, request.get());
  zva::wire::WireStub stub(channel());
  grpc::ByteBuffer response;
  EncodedExecutor executor(channel().get(), &stub, &zva::wire::WireStub::Infer,
                           "[Pytorch][6]", request.get(), &response, 300);
  // Gives up while the service holds the call or, on a slow machine, while
  // the request is still being sent: either way gRPC may still hold slices.
  EXPECT_EQ(executor.DefaultExecute(nullptr), zva::kInternalError);
  request.reset();  // waits for gRPC's references
  inputs.reset();
  core().SetDelay("Infer", 0ms);
}

}  // namespace
}  // namespace zvtest
