#include "adapters/mxnet_adapter.h"

#include <utility>

#include "adapters/adapter_calls.h"
#include "errors/classification.h"
#include "platform/log_stream.h"
#include "rpc/tensor_codec.h"
#include "rpc/wire_transform.h"

namespace zva {
namespace mxnet {

namespace {

using logger::CLogger;
// Its own text, which callers see in the last error.
constexpr char kNullArgument[] = "Null argument provided";

}  // namespace

std::string MXNetOperationName(const std::string& function_code) {
  return AdapterOperationName("MXNet", function_code);
}

MXNet::MXNet(std::shared_ptr<grpc::Channel>& channel)
    : channel_(channel),
      stub_(NewInferenceStub(channel_)),
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
                                kNullArgument);
  }

  RequestCheck check;
  check.Identifier("model id", model_id)
      .Text("symbol JSON", symbol_json)
      .Tensors(params, "Model format incorrect");
  if (const int code = check.Report(channel_.get(), name); code != kOk) {
    return code;
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

  return LoadModelOnChannel(
      channel_.get(), wire_stub_.get(), name, &request, [&] {
        *model = std::shared_ptr<MXNetModelInterface>(
            new MXNetModel(channel_, model_id, std::move(request)),
            ObjectReleaser());
      });
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

int MXNet::ListModels() {
  return ListModelsAs(channel_.get(), stub_.get(), "MXNet");
}

int MXNet::GetOperatorsWhiteList(std::unordered_set<std::string>* operators) {
  return GetOperatorWhitelistAs(
      channel_.get(), stub_.get(), "MXNet", kNullArgument, operators != nullptr,
      [operators](const OperatorList& list) {
        util::WireTransformer().ConvertFromWireFormatOperatorsToSet(operators,
                                                                    list);
      });
}

int MXNet::PostGraphStats(
    const std::map<std::string, std::vector<std::string>>& stats) {
  return PostGraphStatsAs(channel_.get(), stub_.get(), "MXNet", stats);
}

MXNetModel::MXNetModel(std::shared_ptr<grpc::Channel> channel,
                       const std::string& model_id,
                       wire::EncodedRequest request)
    : channel_(std::move(channel)),
      model_id_(model_id),
      stub_(NewInferenceStub(channel_)),
      wire_stub_(NewWireStub(channel_)),
      load_request_(std::move(request)) {}

MXNetModel::~MXNetModel() {
  UnloadOnModelDestruction(channel_.get(), stub_.get(), "MXNet", model_id_,
                           /*announce=*/true);
}

int MXNetModel::Release() {
  CLogger log;
  log << "[MXNet] Releasing MXNet Model " << model_id_ << "\n" << logger::INFO;
  delete this;
  return kOk;
}

int MXNetModel::Infer(const std::unordered_map<std::string, MXTensor>& inputs,
                      std::vector<MXTensor>* outputs) {
  return InferAs(
      channel_.get(), "MXNet",
      {model_id_, load_request_, stub_.get(), wire_stub_.get()}, kNullArgument,
      outputs != nullptr, /*announce_request=*/true,
      [&](const std::string& name, wire::EncodedRequest* request) {
        RequestCheck check;
        check.Text("model id", model_id_)
            .Tensors(inputs, "Tensor format incorrect");
        if (const int code = check.Report(channel_.get(), name); code != kOk) {
          return code;
        }
        try {
          wire::EncodeMXNetInfer(model_id_, inputs, request);
        } catch (int code) {
          return ReportAdapterFailure(channel_.get(), name, code,
                                      "Tensor format incorrect");
        }
        return static_cast<int>(kOk);
      },
      [outputs](const grpc::ByteBuffer& response) {
        wire::DecodeMXNetOutputs(response, outputs);
      });
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
