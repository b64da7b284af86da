#ifndef ZVA_ZVA_MXNET_H_
#define ZVA_ZVA_MXNET_H_

// The MXNet adapter: model management and inference on one remote
// accelerator, for an MXNet integration that loads libzvaclient.
//
// Obtain the adapter with mxnet::internal::QueryInterface from the channel of
// an accelerator of this library; the accelerator's health-check thread must
// be running, since every call waits for its session. Every
// operation returns 0 on success, otherwise a client status code; after a
// failure zva::GetLastError tells more. A model id must not be empty, and
// model ids, tensor names, the symbol JSON and graph statistics must be
// valid UTF-8; otherwise the operation returns 21 without a call. So does
// a request that would take 2 GiB or more on the wire, before any tensor is
// copied. An operation that runs out of memory returns 1; nothing throws.
//
// Thread safety: every operation of both interfaces may be called from
// several threads at once. Tensor memory stays the caller's throughout and
// must stay valid and unchanged for the duration of the call that uses it.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "zva/zva_object.h"
#include "zva/zvl_export.h"

namespace grpc {
class Channel;
}  // namespace grpc

namespace zva {
namespace mxnet {

// Element type of a tensor; the values are those of the wire format.
enum TensorDType : int32_t {
  FLOAT32 = 0,  // 4 bytes
  FLOAT64 = 1,  // 8 bytes
  FLOAT16 = 2,  // 2 bytes
  UINT8 = 3,    // 1 byte
  INT32 = 4,    // 4 bytes
  INT8 = 5,     // 1 byte
  INT64 = 6,    // 8 bytes
};

// Describes one tensor that the framework owns: densely packed elements in
// host byte order, starting at `data`. The library never frees `data`.
//
// REQUIRES: every dimension is in [0, 2^31) and the element count (the
// product of the dimensions, 1 for an empty shape) is below 2^31; otherwise
// the operation that receives the tensor fails with code 21.
struct MXTensor {
  void* data = nullptr;
  std::vector<int64_t> shape;
  TensorDType dtype = FLOAT32;
};

class MXNetModelInterface;

// Model management on one accelerator. Ends through Release(), which the
// caller of QueryInterface must call once it no longer needs the object;
// models already handed out stay usable after it.
class MXNetInterface : public ObjectInterface {
 public:
  // Accepted for compatibility; does nothing and returns 0.
  virtual int Handshake(const char* options) = 0;
  // Accepted for compatibility; does nothing and returns 0.
  virtual int CompileModel(
      const std::string& model_id, const std::string& symbol_json,
      const std::unordered_map<std::string, MXTensor>& params,
      const std::vector<std::string>& names, const std::string& options,
      std::string* result) = 0;
  // Loads a model (its symbol graph and parameters) onto the accelerator.
  // On success *model holds the loaded model; the model is unloaded from the
  // accelerator when its last reference goes. On failure *model is
  // untouched; 21 means a parameter tensor was malformed. `names` is unused.
  // REQUIRES: model != nullptr.
  virtual int LoadModel(const std::string& model_id,
                        const std::string& symbol_json,
                        const std::unordered_map<std::string, MXTensor>& params,
                        const std::vector<std::string>& names,
                        std::shared_ptr<MXNetModelInterface>* model) = 0;
  // Unloads a model by identifier.
  virtual int UnloadModel(std::string model_id) = 0;
  // Asks the accelerator for its models; the list itself is not returned.
  virtual int ListModels() = 0;
  // Adds the names of the operators the accelerator supports to
  // *operators, keeping what is already there. A null pointer returns 1.
  virtual int GetOperatorsWhiteList(
      std::unordered_set<std::string>* operators) = 0;
  // Sends statistics about the framework's graph; names with no values are
  // left out.
  virtual int PostGraphStats(
      const std::map<std::string, std::vector<std::string>>& stats) = 0;

 protected:
  ~MXNetInterface() = default;
};

// One model loaded on an accelerator. Handed out as a shared pointer whose
// deleter calls Release(); callers never call Release() themselves.
class MXNetModelInterface : public ObjectInterface {
 public:
  // Runs the model on `inputs` (matched by name by the accelerator). The
  // caller sizes *outputs and sets each element's data, shape and dtype to
  // the buffer that receives the corresponding output, in the model's output
  // order. On success the buffers are filled and each dtype is set to the
  // received type, which has the element size of the caller's (such as
  // INT32 for FLOAT32). An output of another element size or byte count
  // than its descriptor gives 21 and leaves that buffer and descriptor
  // untouched. On failure the buffers are untouched, except where an
  // output was malformed (21): buffers before it are written, the rest not.
  // REQUIRES: outputs != nullptr.
  virtual int Infer(const std::unordered_map<std::string, MXTensor>& inputs,
                    std::vector<MXTensor>* outputs) = 0;

 protected:
  ~MXNetModelInterface() = default;
};

}  // namespace mxnet
}  // namespace zva

namespace mxnet {
namespace internal {

// Creates the MXNet adapter on `channel`, which must be the channel of an
// accelerator of this library (operations on any other channel return 1 and
// make no call). The caller owns the result and ends it with Release().
// Never returns null.
ZVA_EXPORT zva::mxnet::MXNetInterface* QueryInterface(
    std::shared_ptr<grpc::Channel> channel);

}  // namespace internal
}  // namespace mxnet

#endif  // ZVA_ZVA_MXNET_H_
