#include "adapters/pytorch_adapter.h"

#include <chrono>

#include "platform/log_stream.h"
#include "core/accelerator.h"
#include "adapters/adapter_calls.h"
#include "errors/classification.h"
#include "core/request_stamp.h"
#include "rpc/reload_handler.h"
#include "rpc/executor.h"
#include "rpc/tensor_codec.h"
#include "rpc/wire_transform.h"

namespace zva {
namespace torch {

namespace {

using logger::CLogger;
using Stub = zva::rpc::ZvaInference::Stub;

std::shared_ptr<Stub> NewStub(const std::shared_ptr<grpc::Channel>& channel) {
  // A stub on a null channel would crash at its first call; operations on
  // such an adapter report the missing accelerator instead.
  if (channel == nullptr) return nullptr;
  return zva::rpc::ZvaInference::NewStub(channel);
}

std::unique_ptr<wire::WireStub> NewWireStub(
    const std::shared_ptr<grpc::Channel>& channel) {
  if (channel == nullptr) return nullptr;
  return std::make_unique<wire::WireStub>(channel);
}

}  // namespace

std::string PytorchOperationName(const std::string& function_code) {
  return std::string("[Pytorch][") + function_code + "]";
}

void PTConvertInputsToWire(
    const std::vector<std::pair<std::string, std::string>>& inputs,
    zva::rpc::InferRequest& request) {
  request.mutable_input()->Reserve(request.input_size() +
                                   static_cast<int>(inputs.size()));
  for (const auto& [name, bytes] : inputs) {
    zva::rpc::NamedTensor* tensor = request.add_input();
    tensor->set_name(name);
    tensor->mutable_tensor()->set_tensor_content(bytes);
  }
}

void PTConvertOutputsFromWire(std::vector<std::string>* outputs,
                              zva::rpc::InferResponse&& response) {
  outputs->reserve(outputs->size() + response.output_size());
  for (zva::rpc::NamedTensor& output : *response.mutable_output()) {
    if (output.has_tensor()) {
      outputs->push_back(
          std::move(*output.mutable_tensor()->mutable_tensor_content()));
    } else {
      outputs->emplace_back();
    }
  }
}

void ConvertFromWireFormatOperatorsToSet(
    std::set<std::string>* out,
    const google::protobuf::RepeatedPtrField<zva::rpc::Operator>& in) {
  for (const zva::rpc::Operator& op : in) out->insert(op.operator_name());
}

Pytorch::Pytorch(const std::shared_ptr<grpc::Channel>& channel)
    : channel_(channel),
      stub_(NewStub(channel_)),
      wire_stub_(NewWireStub(channel_)) {}

Pytorch::~Pytorch() {
  CLogger log(PytorchOperationName(functions::FRAMEWORK_DESTRUCTOR));
  log << "[Pytorch] Destroying Pytorch framework object \n." << logger::INFO;
}

int Pytorch::Release() {
  CLogger log("Release");
  log << "[Pytorch] Releasing PT Object"
      << "\n"
      << logger::INFO;
  delete this;
  return kOk;
}

int Pytorch::LoadModel(const std::string& model_id,
                       const std::string& model_bytes,
                       std::shared_ptr<PytorchModelInterface>* model) try {
  const std::string name = PytorchOperationName(functions::LOAD_MODEL);
  CLogger log(name);
  if (model == nullptr) {
    // A model loaded with nowhere to hand it would stay on the accelerator.
    return ReportAdapterFailure(channel_.get(), name, kInternalError,
                                "Null argument provided.");
  }
  RequestCheck check;
  check.Identifier("model id", model_id).Bytes(model_bytes.size());
  if (!check.problem().empty()) {
    return ReportAdapterFailure(channel_.get(), name, kTensorFormatError,
                                check.problem());
  }
  // The model is copied into the request, which the model object keeps for
  // reloads.
  wire::EncodedRequest request(wire::EncodedRequest::Bytes::kCopied);
  wire::EncodeTorchLoad(model_id, model_bytes, &request);
  log << name << " Model id: " << model_id << logger::INFO;

  grpc::ByteBuffer response;
  const int result =
      ExecuteOnChannel(channel_.get(), wire_stub_.get(),
                       &wire::WireStub::LoadModel, name, &request, &response,
                       &zva::config::ClientLibraryConfig::load_model_timeout);
  if (result != kOk) return result;
  *model = std::shared_ptr<PytorchModelInterface>(
      new PytorchModel(channel_, model_id, std::move(request)),
      ObjectReleaser());
  return kOk;
} catch (...) {
  return ReportCaughtException(channel_.get(), "Pytorch",
                               functions::LOAD_MODEL);
}

int Pytorch::ListModels() try {
  const std::string name = PytorchOperationName(functions::LIST_MODELS);
  CLogger log(name);
  log << name << "\n" << logger::INFO;
  return ListModelsOnChannel(channel_.get(), stub_.get(), name);
} catch (...) {
  return ReportCaughtException(channel_.get(), "Pytorch",
                               functions::LIST_MODELS);
}

int Pytorch::GetOperatorWhitelist(std::set<std::string>* operators) try {
  const std::string name = PytorchOperationName(functions::GET_OP_WHITE_LIST);
  CLogger log(name);
  if (operators == nullptr) {
    return ReportAdapterFailure(channel_.get(), name, kInternalError,
                                "Null argument provided.");
  }
  log << name << "\n" << logger::INFO;
  zva::rpc::GetOperatorWhitelistRequest request;
  zva::rpc::GetOperatorWhitelistResponse response;
  const int result = ExecuteOnChannel(
      channel_.get(), stub_.get(), &Stub::GetOperatorWhitelist, name, &request,
      &response, &zva::config::ClientLibraryConfig::get_op_whitelist_timeout);
  if (result == kOk) {
    ConvertFromWireFormatOperatorsToSet(operators, response.operator_());
  }
  return result;
} catch (...) {
  return ReportCaughtException(channel_.get(), "Pytorch",
                               functions::GET_OP_WHITE_LIST);
}

int Pytorch::PostGraphStats(
    const std::map<std::string, std::vector<std::string>>& stats) try {
  const std::string name = PytorchOperationName(functions::POST_GRAPH_STATS);
  CLogger log(name);
  log << name << "\n" << logger::INFO;
  return PostGraphStatsOnChannel(channel_.get(), stub_.get(), name, stats);
} catch (...) {
  return ReportCaughtException(channel_.get(), "Pytorch",
                               functions::POST_GRAPH_STATS);
}

PytorchModel::PytorchModel(std::shared_ptr<grpc::Channel> channel,
                           const std::string& model_id,
                           wire::EncodedRequest request)
    : channel_(std::move(channel)),
      model_id_(model_id),
      stub_(NewStub(channel_)),
      wire_stub_(NewWireStub(channel_)),
      load_request_(std::move(request)) {}

PytorchModel::~PytorchModel() {
  CLogger log(PytorchOperationName(functions::MODEL_DESTRUCTOR));
  // Nothing left to unload from once no accelerator owns the channel.
  if (AcceleratorOfChannel(channel_.get()) == nullptr) return;
  const std::string name = PytorchOperationName(functions::UNLOAD_MODEL);
  // A failed unload has been logged and recorded by the executor; a
  // destructor has no one to report it to, and must not throw.
  try {
    UnloadModelOnChannel(channel_.get(), stub_.get(), name, model_id_);
  } catch (...) {
    ReportCaughtException(channel_.get(), "Pytorch", functions::UNLOAD_MODEL);
  }
}

int PytorchModel::Release() {
  CLogger log("Release");
  log << "[Pytorch] Releaseing PT Model " << model_id_ << "\n" << logger::INFO;
  delete this;
  return kOk;
}

int PytorchModel::Infer(
    const std::string& model_id,
    const std::vector<std::pair<std::string, std::string>>& inputs,
    const std::vector<std::string>& output_names,
    std::vector<std::string>* outputs) try {
  const std::string name = PytorchOperationName(functions::INFER);
  CLogger log(name);
  // Every call passes here; INFO is formatted only when it is written.
  const bool info = logger::CLogger::Enabled(logger::INFO);
  if (info) log << name << " Model id" << model_id_ << "\n" << logger::INFO;
  if (outputs == nullptr) {
    return ReportAdapterFailure(channel_.get(), name, kInternalError,
                                "Null argument provided.");
  }
  RequestCheck check;
  check.Identifier("model id", model_id)
      .NamedBytes(inputs)
      .Texts("output name", output_names);
  if (!check.problem().empty()) {
    return ReportAdapterFailure(channel_.get(), name, kTensorFormatError,
                                check.problem());
  }
  // The request points at the caller's input bytes, which it does not
  // outlive: it waits, when destroyed, until gRPC has let go of them.
  wire::EncodedRequest request(wire::EncodedRequest::Bytes::kLent);
  wire::EncodeTorchInfer(model_id, inputs, output_names, &request);

  return InferOnChannel(
      channel_.get(), name,
      {model_id_, load_request_, stub_.get(), wire_stub_.get()}, &request,
      [outputs](const grpc::ByteBuffer& response) {
        wire::DecodeTorchOutputs(response, outputs);
      },
      log);
} catch (...) {
  return ReportCaughtException(channel_.get(), "Pytorch", functions::INFER);
}

namespace internal {

PytorchInterface* QueryInterface(
    const std::shared_ptr<grpc::Channel>& channel) {
  return new Pytorch(channel);
}

}  // namespace internal
}  // namespace torch
}  // namespace zva
