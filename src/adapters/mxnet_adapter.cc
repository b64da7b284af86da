#include "adapters/mxnet_adapter.h"

#include <chrono>
#include <utility>

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
namespace mxnet {

namespace {

using logger::CLogger;
using Stub = zva::rpc::ZvaInference::Stub;

std::unique_ptr<Stub> NewStub(const std::shared_ptr<grpc::Channel>& channel) {
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

std::string MXNetOperationName(const std::string& function_code) {
  return std::string("[MXNet][") + function_code + "]";
}

MXNet::MXNet(std::shared_ptr<grpc::Channel>& channel)
    : channel_(channel),
      stub_(NewStub(channel_)),
      wire_stub_(NewWireStub(channel_)) {}

MXNet::~MXNet() {
  CLogger log(MXNetOperationName(functions::FRAMEWORK_DESTRUCTOR));
  log << "[MXNet] Destructing MXNet Object.\n" << logger::INFO;
}

int MXNet::Release() {
  CLogger log;
  log << "[MXNet] Releasing MXNet Object"
      << "\n"
      << logger::INFO;
  delete this;
  return kOk;
}

int MXNet::Handshake(const char* /*options*/) { return kOk; }

int MXNet::CompileModel(
    const std::string& /*model_id*/, const std::string& /*symbol_json*/,
    const std::unordered_map<std::string, MXTensor>& /*params*/,
    const std::vector<std::string>& /*names*/, const std::string& /*options*/,
    std::string* /*result*/) {
  return kOk;
}

int MXNet::LoadModel(const std::string& model_id,
                     const std::string& symbol_json,
                     const std::unordered_map<std::string, MXTensor>& params,
                     const std::vector<std::string>& /*names*/,
                     std::shared_ptr<MXNetModelInterface>* model) try {
  const std::string name = MXNetOperationName(functions::LOAD_MODEL);
  CLogger log(name);
  if (model == nullptr) {
    // A model loaded with nowhere to hand it would stay on the accelerator.
    return ReportAdapterFailure(channel_.get(), name, kInternalError,
                                "Null argument provided");
  }

  RequestCheck check;
  check.Identifier("model id", model_id)
      .Text("symbol JSON", symbol_json)
      .Tensors(params, "Model format incorrect");
  if (!check.problem().empty()) {
    return ReportAdapterFailure(channel_.get(), name, kTensorFormatError,
                                check.problem());
  }

  // The parameters are copied into the request, which the model keeps for
  // reloads after the caller's buffers are gone.
  wire::EncodedRequest request(wire::EncodedRequest::Bytes::kCopied);
  try {
    wire::EncodeMXNetLoad(model_id, symbol_json, params, &request);
  } catch (int code) {
    return ReportAdapterFailure(channel_.get(), name, code,
                                "Model format incorrect");
  }
  log << name << " Model id: " << model_id << logger::INFO;

  grpc::ByteBuffer response;
  const int result =
      ExecuteOnChannel(channel_.get(), wire_stub_.get(),
                       &wire::WireStub::LoadModel, name, &request, &response,
                       &zva::config::ClientLibraryConfig::load_model_timeout);
  if (result != kOk) return result;

  // The request now also holds the session the executor stamped; the model
  // takes it over, encoded as it went out.
  *model = std::shared_ptr<MXNetModelInterface>(
      new MXNetModel(channel_, model_id, std::move(request)), ObjectReleaser());
  return kOk;
} catch (...) {
  return ReportCaughtException(channel_.get(), "MXNet", functions::LOAD_MODEL);
}

int MXNet::UnloadModel(std::string model_id) try {
  const std::string name = MXNetOperationName(functions::UNLOAD_MODEL);
  CLogger log(name);
  log << name << " " << model_id << "\n" << logger::INFO;
  return UnloadModelOnChannel(channel_.get(), stub_.get(), name, model_id);
} catch (...) {
  return ReportCaughtException(channel_.get(), "MXNet",
                               functions::UNLOAD_MODEL);
}

int MXNet::ListModels() try {
  const std::string name = MXNetOperationName(functions::LIST_MODELS);
  CLogger log(name);
  log << name << "\n" << logger::INFO;
  return ListModelsOnChannel(channel_.get(), stub_.get(), name);
} catch (...) {
  return ReportCaughtException(channel_.get(), "MXNet", functions::LIST_MODELS);
}

int MXNet::GetOperatorsWhiteList(
    std::unordered_set<std::string>* operators) try {
  const std::string name = MXNetOperationName(functions::GET_OP_WHITE_LIST);
  CLogger log(name);
  if (operators == nullptr) {
    return ReportAdapterFailure(channel_.get(), name, kInternalError,
                                "Null argument provided");
  }
  log << name << "\n" << logger::INFO;
  zva::rpc::GetOperatorWhitelistRequest request;
  zva::rpc::GetOperatorWhitelistResponse response;
  const int result = ExecuteOnChannel(
      channel_.get(), stub_.get(), &Stub::GetOperatorWhitelist, name, &request,
      &response, &zva::config::ClientLibraryConfig::get_op_whitelist_timeout);
  if (result == kOk) {
    util::WireTransformer().ConvertFromWireFormatOperatorsToSet(
        operators, response.operator_());
  }
  return result;
} catch (...) {
  return ReportCaughtException(channel_.get(), "MXNet",
                               functions::GET_OP_WHITE_LIST);
}

int MXNet::PostGraphStats(
    const std::map<std::string, std::vector<std::string>>& stats) try {
  const std::string name = MXNetOperationName(functions::POST_GRAPH_STATS);
  CLogger log(name);
  log << name << "\n" << logger::INFO;
  return PostGraphStatsOnChannel(channel_.get(), stub_.get(), name, stats);
} catch (...) {
  return ReportCaughtException(channel_.get(), "MXNet",
                               functions::POST_GRAPH_STATS);
}

MXNetModel::MXNetModel(std::shared_ptr<grpc::Channel> channel,
                       const std::string& model_id,
                       wire::EncodedRequest request)
    : channel_(std::move(channel)),
      model_id_(model_id),
      stub_(NewStub(channel_)),
      wire_stub_(NewWireStub(channel_)),
      load_request_(std::move(request)) {}

MXNetModel::~MXNetModel() {
  CLogger log(MXNetOperationName(functions::MODEL_DESTRUCTOR));
  const std::string name = MXNetOperationName(functions::UNLOAD_MODEL);
  log << name << " " << model_id_ << "\n" << logger::INFO;
  // Nothing left to unload from once no accelerator owns the channel.
  if (AcceleratorOfChannel(channel_.get()) == nullptr) return;
  // A failed unload has been logged and recorded by the executor; a
  // destructor has no one to report it to, and must not throw.
  try {
    UnloadModelOnChannel(channel_.get(), stub_.get(), name, model_id_);
  } catch (...) {
    ReportCaughtException(channel_.get(), "MXNet", functions::UNLOAD_MODEL);
  }
}

int MXNetModel::Release() {
  CLogger log;
  log << "[MXNet] Releasing MXNet Model " << model_id_ << "\n" << logger::INFO;
  delete this;
  return kOk;
}

int MXNetModel::Infer(const std::unordered_map<std::string, MXTensor>& inputs,
                      std::vector<MXTensor>* outputs) try {
  const std::string name = MXNetOperationName(functions::INFER);
  CLogger log(name);
  // Every call passes here; INFO is formatted only when it is written.
  const bool info = logger::CLogger::Enabled(logger::INFO);
  if (info) log << name << " Model id" << model_id_ << "\n" << logger::INFO;
  if (outputs == nullptr) {
    return ReportAdapterFailure(channel_.get(), name, kInternalError,
                                "Null argument provided");
  }

  RequestCheck check;
  check.Text("model id", model_id_).Tensors(inputs, "Tensor format incorrect");
  if (!check.problem().empty()) {
    return ReportAdapterFailure(channel_.get(), name, kTensorFormatError,
                                check.problem());
  }

  // The request points at the caller's tensors, which it does not outlive:
  // it waits, when destroyed, until gRPC has let go of them.
  wire::EncodedRequest request(wire::EncodedRequest::Bytes::kLent);
  try {
    wire::EncodeMXNetInfer(model_id_, inputs, &request);
  } catch (int code) {
    return ReportAdapterFailure(channel_.get(), name, code,
                                "Tensor format incorrect");
  }
  if (info) log << name << " Model id: " << model_id_ << logger::INFO;

  return InferOnChannel(
      channel_.get(), name,
      {model_id_, load_request_, stub_.get(), wire_stub_.get()}, &request,
      [outputs](const grpc::ByteBuffer& response) {
        wire::DecodeMXNetOutputs(response, outputs);
      },
      log);
} catch (...) {
  return ReportCaughtException(channel_.get(), "MXNet", functions::INFER);
}

}  // namespace mxnet
}  // namespace zva

namespace mxnet {
namespace internal {

zva::mxnet::MXNetInterface* QueryInterface(
    std::shared_ptr<grpc::Channel> channel) {
  return new zva::mxnet::MXNet(channel);
}

}  // namespace internal
}  // namespace mxnet
