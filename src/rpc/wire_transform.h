#ifndef ZVA_RPC_WIRE_TRANSFORM_H_
#define ZVA_RPC_WIRE_TRANSFORM_H_

// Conversion between the framework's tensor descriptors and the messages of
// the wire protocol. Everything here is a pure function of its arguments and
// may be called from any thread.
//
// Failures are thrown as the int kTensorFormatError (zva/zva_codes.h) for a
// tensor the wire cannot carry: an unknown element type, a shape outside the
// bounds of MXTensor, a received array that does not fit its buffer. The
// adapters catch it and return it as their result.

#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "zva/rpc/mxnet/zva_mxnet.pb.h"
#include "zva/rpc/zva_data.pb.h"
#include "zva/rpc/zva_service.pb.h"

#include "zva/zva_codes.h"
#include "zva/zva_mxnet.h"

namespace zva {

// The two settings the session handshake takes from the framework.
struct SessionConfig {
  std::string model_type;
  std::string framework_version;
};

namespace util {

// Largest element count of one tensor, exclusive (2^31).
inline constexpr int64_t kMaxTensorElements = int64_t{1} << 31;

// The most bytes one message may take on the wire: protobuf neither
// serializes nor parses a message of 2 GiB or more.
inline constexpr int64_t kMaxWireMessageBytes =
    std::numeric_limits<int32_t>::max();

// What the tags and lengths around one string, bytes or message field add
// to a request, at most: a tag takes 2 bytes for our field numbers, a length
// below 2^31 takes 5, and a request nests a field at most four deep.
inline constexpr int64_t kFieldEnvelopeBytes = 4 * (2 + 5);

class WireTransformer {
 public:
  using NDArray = zva::rpc::mxnet::NDArray;
  using NamedTensors = google::protobuf::RepeatedPtrField<rpc::NamedTensor>;

  // Byte size of a tensor: element count times element size. Throws
  // kTensorFormatError, without logging, for an unknown type, a negative
  // dimension, a dimension beyond 32 bits or an element count of 2^31 or more.
  int64_t GetSizeOfTensor(const std::vector<int64_t>& shape,
                          mxnet::TensorDType dtype) const;

  // Identity on the seven element types; anything else is logged at ERROR
  // and thrown as kTensorFormatError.
  NDArray::DType ConvertToWireFormatDtype(mxnet::TensorDType dtype) const;
  mxnet::TensorDType ConvertFromWireFormatDtype(NDArray::DType dtype) const;

  // An upper bound of the bytes the tensor's array takes on the wire: its
  // data, shape and type with their tags and lengths. Throws as
  // GetSizeOfTensor does; reads no tensor data.
  int64_t GetWireSizeOfTensor(const mxnet::MXTensor& tensor) const;

  // The checks ConvertToWireFormatNDArray makes before it reads any data;
  // returns the tensor's byte size.
  int64_t CheckTensorToSend(const mxnet::MXTensor& tensor) const;

  // Copies the tensor's bytes, shape and type into a new array. Throws
  // kTensorFormatError,
  // before reading any data, for a tensor that GetSizeOfTensor rejects,
  // whose array would exceed kMaxWireMessageBytes, or whose data is null
  // while its size is not 0.
  NDArray ConvertToWireFormatNDArray(const mxnet::MXTensor& tensor) const;

  // Sets out->name and serializes `ndarray` into out->tensor.tensor_content;
  // throws kTensorFormatError when protobuf cannot serialize it.
  void SetWireFormatNamedTensor(rpc::NamedTensor* out, const NDArray& ndarray,
                                const std::string& name) const;

  // Appends one named tensor per map entry, in the map's iteration order.
  // On a throw the entries appended so far stay in `out`.
  void SetWireFormatRepeatedNamedTensors(
      NamedTensors* out,
      const std::unordered_map<std::string, mxnet::MXTensor>& tensors) const;

  // Copies the i-th received tensor into the buffer of (*out)[i], whose
  // shape and dtype give the expected byte size, and sets its dtype to the
  // received one (same element size, so the descriptor still describes its
  // buffer); the caller's shape stays. Throws kTensorFormatError when `in` has
  // fewer entries than *out, or when an entry does not parse, has an unknown
  // type, a type of another element size than its buffer's, or holds a
  // different number of bytes than its buffer expects; that buffer and its
  // descriptor are then untouched (earlier ones stay written). Entries beyond
  // out->size() are ignored with a WARNING line.
  void ConvertFromWireFormatNamedTensors(std::vector<mxnet::MXTensor>* out,
                                         const NamedTensors& in) const;

  // The checks ConvertFromWireFormatNamedTensors makes of the number of
  // received outputs: throws 21 (logged) when fewer than `wanted`, logs a
  // WARNING when more.
  void CheckOutputCount(size_t received, size_t wanted) const;

  // The checks SetMXTensorFromWireFormatNDArray makes before it writes: an
  // array of type `dtype` holding `size` bytes must fit `out`'s buffer.
  // Returns the type `out` then takes; throws 21 as that does.
  mxnet::TensorDType CheckReceivedArray(int32_t dtype, size_t size,
                                        const mxnet::MXTensor& out) const;

  // Copies exactly the bytes `out`'s descriptor expects from `ndarray` and
  // takes its dtype; throws kTensorFormatError (buffer and descriptor
  // untouched) when the received data has another size, or a type that is
  // unknown or of another element size.
  void SetMXTensorFromWireFormatNDArray(const NDArray& ndarray,
                                        mxnet::MXTensor& out) const;

  // Adds every operator name to *out; *out is not cleared.
  void ConvertFromWireFormatOperatorsToSet(
      std::unordered_set<std::string>* out,
      const google::protobuf::RepeatedPtrField<rpc::Operator>& in) const;

  // Stores the symbol graph as a serialized MXNetSymbolJson in
  // model_spec->serialized_model; throws kTensorFormatError when protobuf
  // cannot serialize it.
  void SetWireFormatSymbolJson(rpc::ModelSpec* model_spec,
                               const std::string& symbol_json) const;

  // Copies model type and framework version; the other fields stay.
  void ConvertToWireFormatSessionConfig(const zva::SessionConfig& config,
                                        rpc::SessionConfig* out) const;
};

// Adds each statistic with at least one value to out->attribute_map, in
// ascending key order, appending its values in order. *out is not cleared.
void BuildRpcGraphStats(
    const std::map<std::string, std::vector<std::string>>& stats,
    rpc::GraphStats* out);

}  // namespace util
}  // namespace zva

#endif  // ZVA_RPC_WIRE_TRANSFORM_H_
