#ifndef ZVA_ADAPTERS_PYTORCH_ADAPTER_H_
#define ZVA_ADAPTERS_PYTORCH_ADAPTER_H_

// The PyTorch adapter on one accelerator's channel. Thread-safe: every
// operation builds its own request, response, executor and logger, and the
// stubs may be used from several threads at once.

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <grpcpp/channel.h>

#include "zva/rpc/zva_service.grpc.pb.h"

#include "rpc/encoded_request.h"
#include "zva/zva_pytorch.h"

namespace zva {
namespace torch {

// "[Pytorch][" + code + "]", the name of an operation and of its executor.
std::string PytorchOperationName(const std::string& function_code);

// Appends one named tensor per pair, in order, the bytes unchanged.
void PTConvertInputsToWire(
    const std::vector<std::pair<std::string, std::string>>& inputs,
    zva::rpc::InferRequest& request);

// Appends each output's bytes (empty when it has no tensor) to *outputs in
// wire order, moving them out of `response`; names are dropped.
void PTConvertOutputsFromWire(std::vector<std::string>* outputs,
                              zva::rpc::InferResponse&& response);

// Inserts every operator name into *out; *out is not cleared.
void ConvertFromWireFormatOperatorsToSet(
    std::set<std::string>* out,
    const google::protobuf::RepeatedPtrField<zva::rpc::Operator>& in);

class Pytorch : public PytorchInterface {
 public:
  explicit Pytorch(const std::shared_ptr<grpc::Channel>& channel);
  virtual ~Pytorch();

  int Release() override;
  int LoadModel(const std::string& model_id, const std::string& model_bytes,
                std::shared_ptr<PytorchModelInterface>* model) override;
  int ListModels() override;
  int GetOperatorWhitelist(std::set<std::string>* operators) override;
  int PostGraphStats(
      const std::map<std::string, std::vector<std::string>>& stats) override;

 private:
  std::shared_ptr<grpc::Channel> channel_;
  std::shared_ptr<zva::rpc::ZvaInference::Stub> stub_;  // null without channel
  std::unique_ptr<wire::WireStub> wire_stub_;           // null without channel
};

// A model loaded on the accelerator; unloads it when destroyed.
class PytorchModel : public PytorchModelInterface {
 public:
  // Keeps `request`, the encoded load request, for reloads.
  PytorchModel(std::shared_ptr<grpc::Channel> channel,
               const std::string& model_id, wire::EncodedRequest request);
  virtual ~PytorchModel();

  int Release() override;
  int Infer(const std::string& model_id,
            const std::vector<std::pair<std::string, std::string>>& inputs,
            const std::vector<std::string>& output_names,
            std::vector<std::string>* outputs) override;

 private:
  std::shared_ptr<grpc::Channel> channel_;
  std::string model_id_;
  std::shared_ptr<zva::rpc::ZvaInference::Stub> stub_;
  std::unique_ptr<wire::WireStub> wire_stub_;
  // The serialized model and the session it was loaded in, encoded once and
  // kept for a reload; its session is written by reloads, under the reload
  // lock.
  wire::EncodedRequest load_request_;
};

}  // namespace torch
}  // namespace zva

#endif  // ZVA_ADAPTERS_PYTORCH_ADAPTER_H_
