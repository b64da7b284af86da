#ifndef ZVA_ZVA_PYTORCH_H_
#define ZVA_ZVA_PYTORCH_H_

// The PyTorch adapter: model management and inference on one remote
// accelerator, for a PyTorch integration that loads libzvaclient.
//
// Obtain the adapter with zva::torch::internal::QueryInterface from the
// channel of an accelerator of this library; the accelerator's health-check
// thread must be running, since every call waits for its session. Models and
// tensors cross this interface as byte strings the integration has already
// serialized; the library passes them on unchanged. Every operation returns
// 0 on success, otherwise a client status code; after a failure
// zva::GetLastError tells more. A model id must not be empty, and model ids,
// tensor names, output names and graph statistics must be valid UTF-8;
// otherwise the operation returns 21 without a call. So does a request that
// would take 2 GiB or more on the wire (a model or inputs of that size),
// before anything is copied. An operation that runs out of memory returns
// 1; nothing throws.
//
// Thread safety: every operation of both interfaces may be called from
// several threads at once.

#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "zva/zva_object.h"
#include "zva/zvl_export.h"

namespace grpc {
class Channel;
}  // namespace grpc

namespace zva {
namespace torch {

class PytorchModelInterface;

// Model management on one accelerator. Ends through Release(), which the
// caller of QueryInterface must call once it no longer needs the object;
// models already handed out stay usable after it.
class PytorchInterface : public ObjectInterface {
 public:
  // Loads the serialized model `model_bytes` under `model_id`. On success
  // *model holds the loaded model, unloaded from the accelerator when its
  // last reference goes; on failure *model is untouched.
  // REQUIRES: model != nullptr.
  virtual int LoadModel(const std::string& model_id,
                        const std::string& model_bytes,
                        std::shared_ptr<PytorchModelInterface>* model) = 0;
  // Asks the accelerator for its models; the list itself is not returned.
  virtual int ListModels() = 0;
  // Adds the names of the operators the accelerator supports to
  // *operators, keeping what is already there. A null pointer returns 1.
  virtual int GetOperatorWhitelist(std::set<std::string>* operators) = 0;
  // Sends statistics about the framework's graph; names with no values are
  // left out.
  virtual int PostGraphStats(
      const std::map<std::string, std::vector<std::string>>& stats) = 0;

 protected:
  ~PytorchInterface() = default;
};

// One model loaded on an accelerator. Handed out as a shared pointer whose
// deleter calls Release(); callers never call Release() themselves.
class PytorchModelInterface : public ObjectInterface {
 public:
  // Runs model `model_id` on `inputs`, (name, serialized tensor) pairs sent
  // in the given order, asking for `output_names`. On success the outputs
  // are appended to *outputs in the order the accelerator returns them;
  // what *outputs held before stays. On failure *outputs is untouched.
  // REQUIRES: outputs != nullptr.
  virtual int Infer(
      const std::string& model_id,
      const std::vector<std::pair<std::string, std::string>>& inputs,
      const std::vector<std::string>& output_names,
      std::vector<std::string>* outputs) = 0;

 protected:
  ~PytorchModelInterface() = default;
};

namespace internal {

// Creates the PyTorch adapter on `channel`, which must be the channel of an
// accelerator of this library (operations on any other channel return 1 and
// make no call). The caller owns the result and ends it with Release().
// Never returns null.
ZVA_EXPORT PytorchInterface* QueryInterface(
    const std::shared_ptr<grpc::Channel>& channel);

}  // namespace internal
}  // namespace torch
}  // namespace zva

#endif  // ZVA_ZVA_PYTORCH_H_
