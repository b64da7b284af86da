#include "adapters/pytorch_adapter.h"

#include "adapters/adapter_calls.h"
#include "errors/classification.h"
#include "platform/log_stream.h"
#include "rpc/tensor_codec.h"
#include "rpc/wire_transform.h"

namespace zva {
namespace torch {

namespace {

using logger::CLogger;
// Its own text, which callers see in the last error.
constexpr char kNullArgument[] = "Null argument provided.";

}  // namespace

std::string PytorchOperationName(const std::string& function_code) {
  return AdapterOperationName("Pytorch", function_code);
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
      stub_(NewInferenceStub(channel_)),
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
                                kNullArgument);
  }
  RequestCheck check;
  check.Identifier("model id", model_id).Bytes(model_bytes.size());
  if (const int code = check.Report(channel_.get(), name); code != kOk) {
    return code;
  }
  // The model is copied into the request, which the model object keeps for
  // reloads.
  wire::EncodedRequest request(wire::EncodedRequest::Bytes::kCopied);
  wire::EncodeTorchLoad(model_id, model_bytes, &request);
  log << name << " Model id: " << model_id << logger::INFO;

  return LoadModelOnChannel(
      channel_.get(), wire_stub_.get(), name, &request, [&] {
        *model = std::shared_ptr<PytorchModelInterface>(
            new PytorchModel(channel_, model_id, std::move(request)),
            ObjectReleaser());
      });
} catch (...) {
  return ReportCaughtException(channel_.get(), "Pytorch",
                               functions::LOAD_MODEL);
}

int Pytorch::ListModels() {
  return ListModelsAs(channel_.get(), stub_.get(), "Pytorch");
}

int Pytorch::GetOperatorWhitelist(std::set<std::string>* operators) {
  return GetOperatorWhitelistAs(
      channel_.get(), stub_.get(), "Pytorch", kNullArgument,
      operators != nullptr, [operators](const OperatorList& list) {
        ConvertFromWireFormatOperatorsToSet(operators, list);
      });
}

int Pytorch::PostGraphStats(
    const std::map<std::string, std::vector<std::string>>& stats) {
  return PostGraphStatsAs(channel_.get(), stub_.get(), "Pytorch", stats);
}

PytorchModel::PytorchModel(std::shared_ptr<grpc::Channel> channel,
                           const std::string& model_id,
                           wire::EncodedRequest request)
    : channel_(std::move(channel)),
      model_id_(model_id),
      stub_(NewInferenceStub(channel_)),
      wire_stub_(NewWireStub(channel_)),
      load_request_(std::move(request)) {}

PytorchModel::~PytorchModel() {
  UnloadOnModelDestruction(channel_.get(), stub_.get(), "Pytorch", model_id_,
                           /*announce=*/false);
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
    std::vector<std::string>* outputs) {
  return InferAs(
      channel_.get(), "Pytorch",
      {model_id_, load_request_, stub_.get(), wire_stub_.get()}, kNullArgument,
      outputs != nullptr, /*announce_request=*/false,
      [&](const std::string& name, wire::EncodedRequest* request) {
        RequestCheck check;
        check.Identifier("model id", model_id)
            .NamedBytes(inputs)
            .Texts("output name", output_names);
        if (const int code = check.Report(channel_.get(), name); code != kOk) {
          return code;
        }
        wire::EncodeTorchInfer(model_id, inputs, output_names, request);
        return static_cast<int>(kOk);
      },
      [outputs](const grpc::ByteBuffer& response) {
        wire::DecodeTorchOutputs(response, outputs);
      });
}

namespace internal {

PytorchInterface* QueryInterface(
    const std::shared_ptr<grpc::Channel>& channel) {
  return new Pytorch(channel);
}

}  // namespace internal
}  // namespace torch
}  // namespace zva
