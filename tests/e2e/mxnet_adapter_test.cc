// The MXNet adapter end to end, through its public interface.

#include <cstring>

#include <grpcpp/create_channel.h>
#include <gtest/gtest.h>

#include "zva/rpc/mxnet/zva_mxnet.pb.h"

#include "errors/catalogue.h"
#include "support/log_capture.h"
#include "support/sim_harness.h"
#include "zva/zva_mxnet.h"

namespace zvtest {
namespace {

using zva::mxnet::MXNetInterface;
using zva::mxnet::MXNetModelInterface;
using zva::mxnet::MXTensor;

using Adapter = std::unique_ptr<MXNetInterface, zva::ObjectReleaser>;

class MXNetAdapterTest : public SimFixture {
 protected:
  void SetUp() override {
    SimFixture::SetUp();
    if (HasFatalFailure()) return;
    adapter_.reset(mxnet::internal::QueryInterface(channel()));
    core().ClearJournal();
  }
  void TearDown() override {
    adapter_.reset();
    SimFixture::TearDown();
  }

  // Loads model `id` with one FLOAT32 parameter "arg:w" of four values.
  std::shared_ptr<MXNetModelInterface> Load(const std::string& id) {
    std::shared_ptr<MXNetModelInterface> model;
    EXPECT_EQ(adapter_->LoadModel(
                  id, "{\"nodes\": []}",
                  {{"arg:w", {weight_, {4}, zva::mxnet::FLOAT32}}}, {}, &model),
              zva::kOk);
    return model;
  }

  size_t FrameworkCalls() const {
    size_t n = 0;
    for (const char* method :
         {"LoadModel", "UnloadModel", "ListModels", "Infer",
          "GetOperatorWhitelist", "PostGraphStats"}) {
      n += core().CallCount(method);
    }
    return n;
  }

  Adapter adapter_;
  float weight_[4] = {0.5f, 1.5f, 2.5f, 3.5f};
};

TEST_F(MXNetAdapterTest, HandshakeAndCompileCallNothing) {
  std::string result = "kept";
  EXPECT_EQ(adapter_->Handshake("options"), zva::kOk);
  EXPECT_EQ(adapter_->CompileModel("m", "{}", {}, {}, "", &result), zva::kOk);
  EXPECT_EQ(result, "kept");
  EXPECT_EQ(FrameworkCalls(), 0u);
}

TEST_F(MXNetAdapterTest, LoadSendsGraphParametersAndSession) {
  auto model = Load("net");
  ASSERT_NE(model, nullptr);
  const auto loads = Calls("LoadModel");
  ASSERT_EQ(loads.size(), 1u);
  const auto* sent = loads[0].RequestAs<zva::rpc::LoadModelRequest>();
  EXPECT_EQ(sent->model_id(), "net");
  EXPECT_EQ(sent->session().session_id(), session_id_);
  zva::rpc::mxnet::MXNetSymbolJson symbol;
  ASSERT_TRUE(symbol.ParseFromString(sent->model_spec().serialized_model()));
  EXPECT_EQ(symbol.symbol_json(), "{\"nodes\": []}");
  ASSERT_EQ(sent->model_spec().named_tensor_size(), 1);
  EXPECT_EQ(sent->model_spec().named_tensor(0).name(), "arg:w");
  zva::rpc::mxnet::NDArray w;
  ASSERT_TRUE(w.ParseFromString(
      sent->model_spec().named_tensor(0).tensor().tensor_content()));
  ASSERT_EQ(w.data().size(), sizeof weight_);
  EXPECT_EQ(std::memcmp(w.data().data(), weight_, sizeof weight_), 0);
}

TEST_F(MXNetAdapterTest, MalformedParametersAreRejectedBeforeAnyCall) {
  const struct {
    const char* what;
    std::vector<int64_t> shape;
    int dtype;
  } kCases[] = {
      {"unknown element type", {4}, 9},
      {"negative dimension", {-4}, 0},
      {"2^31 elements", {int64_t{1} << 31}, 3},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    LogCapture log;
    std::shared_ptr<MXNetModelInterface> model;
    EXPECT_EQ(
        adapter_->LoadModel("bad", "{}",
                            {{"arg:w",
                              {weight_, c.shape,
                               static_cast<zva::mxnet::TensorDType>(c.dtype)}}},
                            {}, &model),
        zva::kTensorFormatError);
    EXPECT_EQ(model, nullptr);
    EXPECT_EQ(log.Count("[MXNet][3] Failed: Model format incorrect\n"), 1u);
  }
  EXPECT_EQ(FrameworkCalls(), 0u);
}

TEST_F(MXNetAdapterTest, LastReferenceUnloadsExactlyOnce) {
  auto model = Load("net");
  ASSERT_NE(model, nullptr);
  auto copy = model;
  model.reset();
  EXPECT_EQ(core().CallCount("UnloadModel"), 0u);
  // The adapter may go first; the model keeps its own channel and stub.
  adapter_.reset();
  float in[4] = {1, 2, 3, 4};
  float out[4] = {};
  std::vector<MXTensor> outputs = {{out, {4}, zva::mxnet::FLOAT32}};
  EXPECT_EQ(copy->Infer({{"data", {in, {4}, zva::mxnet::FLOAT32}}}, &outputs),
            zva::kOk);
  copy.reset();
  const auto unloads = Calls("UnloadModel");
  ASSERT_EQ(unloads.size(), 1u);
  EXPECT_EQ(unloads[0].RequestAs<zva::rpc::UnloadModelRequest>()->model_id(),
            "net");
  EXPECT_TRUE(core().Models(kAcceleratorId).empty());
}

TEST_F(MXNetAdapterTest, ListWhitelistAndUnload) {
  auto model = Load("net");
  EXPECT_EQ(adapter_->ListModels(), zva::kOk);
  EXPECT_EQ(sim_->core().CallCount("ListModels"), 1u);

  std::unordered_set<std::string> ops = {"MyOwnOp"};
  EXPECT_EQ(adapter_->GetOperatorsWhiteList(&ops), zva::kOk);
  EXPECT_EQ(ops.count("MyOwnOp"), 1u);
  EXPECT_EQ(ops.count("Convolution"), 1u);
  EXPECT_EQ(ops.size(), 9u);
  {
    LogCapture log;
    EXPECT_EQ(adapter_->GetOperatorsWhiteList(nullptr), zva::kInternalError);
    EXPECT_EQ(log.Count("[MXNet][2] Failed: Null argument provided\n"), 1u);
  }
  EXPECT_EQ(core().CallCount("GetOperatorWhitelist"), 1u);

  EXPECT_EQ(adapter_->UnloadModel("net"), zva::kOk);
  EXPECT_TRUE(sim_->core().Models(kAcceleratorId).empty());
}

TEST_F(MXNetAdapterTest, GraphStatsSkipEmptyNames) {
  EXPECT_EQ(adapter_->PostGraphStats({{"ops", {"Conv", "FC"}}, {"none", {}}}),
            zva::kOk);
  const auto stats = sim_->core().GraphStats();
  ASSERT_EQ(stats.size(), 1u);
  EXPECT_EQ(stats[0].session_id, session_id_);
  const auto& map = stats[0].stats.attribute_map();
  ASSERT_EQ(map.size(), 1u);
  const auto& ops = map.at("ops").value();
  EXPECT_EQ(std::vector<std::string>(ops.begin(), ops.end()),
            (std::vector<std::string>{"Conv", "FC"}));
}

TEST_F(MXNetAdapterTest, InferFillsOutputsInWireOrder) {
  auto model = Load("net");
  int32_t x[3] = {1, 2, 3};
  int32_t y[3] = {-1, -2, -3};
  int32_t out[2][3] = {};
  std::vector<MXTensor> outputs = {{out[0], {3}, zva::mxnet::FLOAT32},
                                   {out[1], {1, 3}, zva::mxnet::FLOAT32}};
  LogCapture log(2, /*debug=*/false, /*profile=*/true);
  ASSERT_EQ(model->Infer({{"x", {x, {3}, zva::mxnet::INT32}},
                          {"y", {y, {3}, zva::mxnet::INT32}}},
                         &outputs),
            zva::kOk);
  const auto infers = Calls("Infer");
  ASSERT_EQ(infers.size(), 1u);
  const auto* sent = infers[0].RequestAs<zva::rpc::InferRequest>();
  EXPECT_EQ(sent->model_id(), "net");
  EXPECT_EQ(sent->output_name_size(), 0);
  ASSERT_EQ(sent->input_size(), 2);
  // The simulator echoes input i as output i.
  const bool x_first = sent->input(0).name() == "x";
  EXPECT_EQ(std::memcmp(out[0], x_first ? x : y, sizeof x), 0);
  EXPECT_EQ(std::memcmp(out[1], x_first ? y : x, sizeof x), 0);
  EXPECT_EQ(outputs[0].dtype, zva::mxnet::INT32);
  EXPECT_EQ(outputs[1].shape, (std::vector<int64_t>{1, 3}));
  EXPECT_EQ(
      log.Count("[PROFILE] Request id: " +
                infers[0].Metadata("x-kstrn-request-id") + ", Duration: "),
      1u);
  EXPECT_EQ(log.Count("[PROFILE]"), 1u);
}

TEST_F(MXNetAdapterTest, FailedInferLeavesOutputsAndLogsNoProfile) {
  auto model = Load("net");
  float in[2] = {1, 2};
  const float kUntouched = 42;
  struct Case {
    const char* what;
    std::function<void()> arrange;
    std::vector<std::vector<int64_t>> output_shapes;
    int input_dtype;
    int want;
    const char* line;
  };
  const Case kCases[] = {
      {"remote failure",
       [&] {
         core().FailNext("Infer", 1, grpc::StatusCode::INVALID_ARGUMENT,
                         "52 invalid tensor");
       },
       {{2}},
       0,
       zva::kInvalidTensor,
       nullptr},
      {"malformed input",
       [] {},
       {{2}},
       12,
       zva::kTensorFormatError,
       "[MXNet][6] Failed: Tensor format incorrect\n"},
      {"output buffer of another size",
       [] {},
       {{3}},
       0,
       zva::kTensorFormatError,
       "[MXNet][6] Failed: Output tensor format incorrect\n"},
      {"more buffers than outputs",
       [] {},
       {{2}, {2}},
       0,
       zva::kTensorFormatError,
       "[MXNet][6] Failed: Output tensor format incorrect\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    c.arrange();
    std::vector<std::vector<float>> buffers;
    std::vector<MXTensor> outputs;
    for (const auto& shape : c.output_shapes) {
      buffers.emplace_back(8, kUntouched);
      outputs.push_back({buffers.back().data(), shape, zva::mxnet::FLOAT32});
    }
    LogCapture log(2, /*debug=*/false, /*profile=*/true);
    EXPECT_EQ(
        model->Infer(
            {{"data",
              {in, {2}, static_cast<zva::mxnet::TensorDType>(c.input_dtype)}}},
            &outputs),
        c.want);
    for (const auto& buffer : buffers) {
      EXPECT_EQ(buffer, std::vector<float>(8, kUntouched));
    }
    EXPECT_EQ(log.Count("[PROFILE]"), 0u);
    if (c.line != nullptr) {
      EXPECT_EQ(log.Count(c.line), 1u);
    }
  }
}

// An output took the received element type and kept its shape: received
// as INT64, two FLOAT32 of 8 bytes became two INT64 of 16, and the next
// Infer with the same descriptors wrote 8 bytes past the buffer.
TEST_F(MXNetAdapterTest, OutputOfAnotherElementSizeLeavesItsDescriptor) {
  auto model = Load("net");
  int64_t in[1] = {int64_t{1} << 40};  // the simulator echoes it back
  float out[2] = {42, 42};
  std::vector<MXTensor> outputs = {{out, {2}, zva::mxnet::FLOAT32}};
  EXPECT_EQ(model->Infer({{"x", {in, {1}, zva::mxnet::INT64}}}, &outputs),
            zva::kTensorFormatError);
  EXPECT_EQ(outputs[0].dtype, zva::mxnet::FLOAT32);
  EXPECT_EQ(outputs[0].shape, std::vector<int64_t>{2});
  EXPECT_EQ(out[0], 42);
  EXPECT_EQ(out[1], 42);
}

// Failures that the adapter finds itself (a null argument, a tensor the
// wire cannot carry) left the thread's last error as it was, so that
// GetLastError reported some older failure.
TEST_F(MXNetAdapterTest, FailuresFoundByTheAdapterSetTheLastError) {
  auto model = Load("net");
  float in[2] = {1, 2};
  float out[2] = {};
  std::vector<MXTensor> outputs = {{out, {2}, zva::mxnet::FLOAT32}};
  std::vector<MXTensor> too_small = {{out, {1}, zva::mxnet::FLOAT32}};
  std::shared_ptr<MXNetModelInterface> loaded;
  const MXTensor malformed{in, {-1}, zva::mxnet::FLOAT32};
  const MXTensor good{in, {2}, zva::mxnet::FLOAT32};
  const struct {
    const char* what;
    std::function<int()> run;
    int want;
  } kCases[] = {
      {"null model",
       [&] { return adapter_->LoadModel("m", "{}", {}, {}, nullptr); },
       zva::kInternalError},
      {"null operators",
       [&] { return adapter_->GetOperatorsWhiteList(nullptr); },
       zva::kInternalError},
      {"null outputs", [&] { return model->Infer({}, nullptr); },
       zva::kInternalError},
      {"malformed parameter",
       [&] {
         return adapter_->LoadModel("m", "{}", {{"w", malformed}}, {}, &loaded);
       },
       zva::kTensorFormatError},
      {"malformed input",
       [&] {
         return model->Infer({{"x", malformed}}, &outputs);
       },
       zva::kTensorFormatError},
      {"output buffer too small",
       [&] {
         return model->Infer({{"x", good}}, &too_small);
       },
       zva::kTensorFormatError},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    zva::util::SetLastError("stale");
    EXPECT_EQ(c.run(), c.want);
    const std::string text = LastError();
    EXPECT_NE(text.find("ZV Error Code: [1, 9, " + std::to_string(c.want) +
                        "]\n    ZV Error Description: " +
                        zva::GetErrorDescription(c.want) + "\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(std::string("ZV Accelerator ID: ") + kAcceleratorId),
              std::string::npos)
        << text;
  }
}

// An empty model id or a name that is not valid UTF-8 (which protobuf will
// not serialize in a string field) was sent anyway and failed only after
// the executor's retry pauses.
TEST_F(MXNetAdapterTest, StringsTheWireCannotCarryFailBeforeAnyCall) {
  auto model = Load("net");
  core().ClearJournal();
  float in[1] = {1};
  float out[1] = {};
  std::vector<MXTensor> outputs = {{out, {1}, zva::mxnet::FLOAT32}};
  const MXTensor t{in, {1}, zva::mxnet::FLOAT32};
  std::shared_ptr<MXNetModelInterface> loaded;
  const std::function<int()> kCalls[] = {
      [&] { return adapter_->LoadModel("", "{}", {}, {}, &loaded); },
      [&] { return adapter_->LoadModel("m\xff", "{}", {}, {}, &loaded); },
      [&] { return adapter_->LoadModel("m", "{\xc3}", {}, {}, &loaded); },
      [&] {
        return adapter_->LoadModel("m", "{}", {{"w\xc3", t}}, {}, &loaded);
      },
      [&] { return adapter_->UnloadModel(""); },
      [&] {
        return model->Infer({{"x\xe2\x82", t}}, &outputs);
      },
      [&] {
        return adapter_->PostGraphStats({{"ops", {"Conv", "\xed\xa0\x80"}}});
      },
  };
  for (const auto& call : kCalls) {
    zva::util::SetLastError("stale");
    EXPECT_EQ(call(), zva::kTensorFormatError);
    EXPECT_NE(LastError().find("ZV Error Code: [1, 9, 21]"), std::string::npos)
        << LastError();
  }
  EXPECT_EQ(loaded, nullptr);
  EXPECT_EQ(FrameworkCalls(), 0u);
}

// A tensor of 2 GiB or more went out empty (protobuf refused to serialize
// it, unnoticed) and the load succeeded; a request of 2 GiB or more in all
// failed inside gRPC, was retried as retryable and came back as 1. The
// descriptors below claim far more than their buffer: they must be refused
// before a byte is read.
TEST_F(MXNetAdapterTest, TensorsBeyondWhatTheWireCarriesFailBeforeAnyCopy) {
  auto model = Load("net");
  core().ClearJournal();
  float small[4] = {};
  const MXTensor two_gib{small, {int64_t{1} << 28}, zva::mxnet::INT64};
  const MXTensor gib_and_half{small, {int64_t{3} << 27}, zva::mxnet::FLOAT32};
  float out[4] = {};
  std::vector<MXTensor> outputs = {{out, {4}, zva::mxnet::FLOAT32}};
  std::shared_ptr<MXNetModelInterface> loaded;
  const std::function<int()> kCalls[] = {
      [&] {
        return adapter_->LoadModel("m", "{}", {{"w", two_gib}}, {}, &loaded);
      },
      [&] {
        return adapter_->LoadModel(
            "m", "{}", {{"a", gib_and_half}, {"b", gib_and_half}}, {}, &loaded);
      },
      [&] {
        return model->Infer({{"x", two_gib}}, &outputs);
      },
      [&] {
        return model->Infer({{"a", gib_and_half}, {"b", gib_and_half}},
                            &outputs);
      },
  };
  for (const auto& call : kCalls) {
    EXPECT_EQ(call(), zva::kTensorFormatError);
    EXPECT_NE(LastError().find("ZV Error Code: [1, 9, 21]"), std::string::npos)
        << LastError();
  }
  EXPECT_EQ(loaded, nullptr);
  EXPECT_EQ(FrameworkCalls(), 0u);
}

TEST_F(MXNetAdapterTest, LostModelIsReloadedWithItsParameters) {
  auto model = Load("net");
  core().ForgetAllModels();
  core().ClearJournal();
  float in[1] = {7};
  float out[1] = {};
  std::vector<MXTensor> outputs = {{out, {1}, zva::mxnet::FLOAT32}};
  EXPECT_EQ(model->Infer({{"data", {in, {1}, zva::mxnet::FLOAT32}}}, &outputs),
            zva::kOk);
  EXPECT_EQ(out[0], 7);
  const auto loads = Calls("LoadModel");
  ASSERT_EQ(loads.size(), 1u);
  const auto* sent = loads[0].RequestAs<zva::rpc::LoadModelRequest>();
  EXPECT_EQ(sent->model_id(), "net");
  EXPECT_EQ(sent->model_spec().named_tensor_size(), 1);
}

TEST_F(MXNetAdapterTest, ChannelWithoutAcceleratorFailsWithoutCalls) {
  auto foreign =
      grpc::CreateChannel(sim_->Endpoint(), grpc::InsecureChannelCredentials());
  for (auto& channel : {foreign, std::shared_ptr<grpc::Channel>()}) {
    Adapter adapter(mxnet::internal::QueryInterface(channel));
    std::shared_ptr<MXNetModelInterface> model;
    std::unordered_set<std::string> ops;
    EXPECT_EQ(adapter->LoadModel("m", "{}", {}, {}, &model),
              zva::kInternalError);
    EXPECT_EQ(model, nullptr);
    EXPECT_EQ(adapter->ListModels(), zva::kInternalError);
    EXPECT_EQ(adapter->UnloadModel("m"), zva::kInternalError);
    EXPECT_EQ(adapter->GetOperatorsWhiteList(&ops), zva::kInternalError);
    EXPECT_EQ(adapter->PostGraphStats({{"a", {"b"}}}), zva::kInternalError);
    EXPECT_NE(LastError().find("ZV Error Code: [1, 9, 1]"), std::string::npos);
  }
  EXPECT_EQ(FrameworkCalls(), 0u);
}

}  // namespace
}  // namespace zvtest
