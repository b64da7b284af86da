#ifndef ZVA_ADAPTERS_MXNET_ADAPTER_H_
#define ZVA_ADAPTERS_MXNET_ADAPTER_H_

// The MXNet adapter on one accelerator's channel. Thread-safe: every
// operation builds its own request, response, executor and logger, and the
// stub may be used from several threads at once.

#include <memory>
#include <string>

#include <grpcpp/channel.h>

#include "zva/rpc/zva_service.grpc.pb.h"

#include "rpc/encoded_request.h"
#include "zva/zva_mxnet.h"

namespace zva {
namespace mxnet {

// "[MXNet][" + code + "]", the name of an operation and of its executor.
std::string MXNetOperationName(const std::string& function_code);

class MXNet : public MXNetInterface {
 public:
  explicit MXNet(std::shared_ptr<grpc::Channel>& channel);
  virtual ~MXNet();

  int Release() override;
  int Handshake(const char* options) override;
  int CompileModel(const std::string& model_id, const std::string& symbol_json,
                   const std::unordered_map<std::string, MXTensor>& params,
                   const std::vector<std::string>& names,
                   const std::string& options, std::string* result) override;
  int LoadModel(const std::string& model_id, const std::string& symbol_json,
                const std::unordered_map<std::string, MXTensor>& params,
                const std::vector<std::string>& names,
                std::shared_ptr<MXNetModelInterface>* model) override;
  int UnloadModel(std::string model_id) override;
  int ListModels() override;
  int GetOperatorsWhiteList(
      std::unordered_set<std::string>* operators) override;
  int PostGraphStats(
      const std::map<std::string, std::vector<std::string>>& stats) override;

 private:
  std::shared_ptr<grpc::Channel> channel_;
  std::unique_ptr<zva::rpc::ZvaInference::Stub> stub_;  // null without channel
  std::unique_ptr<wire::WireStub> wire_stub_;           // null without channel
};

// A model loaded on the accelerator; unloads it when destroyed.
class MXNetModel : public MXNetModelInterface {
 public:
  // Keeps `request`, the encoded load request, for reloads.
  MXNetModel(std::shared_ptr<grpc::Channel> channel,
             const std::string& model_id, wire::EncodedRequest request);
  virtual ~MXNetModel();

  int Release() override;
  int Infer(const std::unordered_map<std::string, MXTensor>& inputs,
            std::vector<MXTensor>* outputs) override;

 private:
  std::shared_ptr<grpc::Channel> channel_;
  std::string model_id_;
  std::unique_ptr<zva::rpc::ZvaInference::Stub> stub_;
  std::unique_ptr<wire::WireStub> wire_stub_;
  // Everything the model was loaded with, encoded once and kept for a
  // reload after the accelerator lost it; its session is written by
  // reloads, under the reload lock.
  wire::EncodedRequest load_request_;
};

}  // namespace mxnet
}  // namespace zva

#endif  // ZVA_ADAPTERS_MXNET_ADAPTER_H_
