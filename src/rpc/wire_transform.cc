#include "rpc/wire_transform.h"

#include <cstring>
#include <utility>

#include "platform/log_stream.h"

namespace zva {
namespace util {

namespace {

using logger::CLogger;

// Element size in bytes, or 0 for a value outside the enumeration.
int64_t ElementSize(int32_t dtype) {
  switch (dtype) {
    case mxnet::FLOAT32:
    case mxnet::INT32:
      return 4;
    case mxnet::FLOAT64:
    case mxnet::INT64:
      return 8;
    case mxnet::FLOAT16:
      return 2;
    case mxnet::UINT8:
    case mxnet::INT8:
      return 1;
    default:
      return 0;
  }
}

[[noreturn]] void ThrowUnknownDtype(int32_t value) {
  CLogger log;
  log << "Unknown NDArray dtype: " << value << "\n" << logger::ERROR;
  throw kTensorFormatError;
}

}  // namespace

int64_t WireTransformer::GetSizeOfTensor(const std::vector<int64_t>& shape,
                                         mxnet::TensorDType dtype) const {
  const int64_t element_size = ElementSize(dtype);
  if (element_size == 0) throw kTensorFormatError;
  // The element count must stay below 2^31 and every dimension must be a
  // non-negative 32-bit value; anything else would wrap the arithmetic the
  // service uses for the same tensor.
  bool has_zero = false;
  for (int64_t dim : shape) {
    if (dim < 0 || dim >= kMaxTensorElements) throw kTensorFormatError;
    if (dim == 0) has_zero = true;
  }
  if (has_zero) return 0;
  int64_t count = 1;
  for (int64_t dim : shape) {
    count *= dim;  // both factors are below 2^31: no overflow in 64 bits
    if (count >= kMaxTensorElements) throw kTensorFormatError;
  }
  return count * element_size;
}

WireTransformer::NDArray::DType WireTransformer::ConvertToWireFormatDtype(
    mxnet::TensorDType dtype) const {
  if (!NDArray::DType_IsValid(dtype)) ThrowUnknownDtype(dtype);
  return static_cast<NDArray::DType>(dtype);
}

mxnet::TensorDType WireTransformer::ConvertFromWireFormatDtype(
    NDArray::DType dtype) const {
  if (!NDArray::DType_IsValid(dtype)) ThrowUnknownDtype(dtype);
  return static_cast<mxnet::TensorDType>(dtype);
}

int64_t WireTransformer::GetWireSizeOfTensor(
    const mxnet::MXTensor& tensor) const {
  // Beside the data: at most 10 bytes per dimension (one varint each), and
  // an envelope each for the tags and lengths of data and shape and for the
  // type with its tag (12 bytes at most).
  constexpr int64_t kMaxVarintBytes = 10;
  return GetSizeOfTensor(tensor.shape, tensor.dtype) +
         kMaxVarintBytes * static_cast<int64_t>(tensor.shape.size()) +
         3 * kFieldEnvelopeBytes;
}

int64_t WireTransformer::CheckTensorToSend(
    const mxnet::MXTensor& tensor) const {
  const int64_t size = GetSizeOfTensor(tensor.shape, tensor.dtype);
  // Protobuf would refuse to serialize the array, and the tensor would go
  // out empty; refuse it before copying gigabytes.
  if (GetWireSizeOfTensor(tensor) > kMaxWireMessageBytes) {
    throw kTensorFormatError;
  }
  if (size > 0 && tensor.data == nullptr) throw kTensorFormatError;
  return size;
}

WireTransformer::NDArray WireTransformer::ConvertToWireFormatNDArray(
    const mxnet::MXTensor& tensor) const {
  const int64_t size = CheckTensorToSend(tensor);
  NDArray ndarray;
  if (size > 0) {
    ndarray.set_data(static_cast<const char*>(tensor.data),
                     static_cast<size_t>(size));
  }
  ndarray.mutable_shape()->Reserve(static_cast<int>(tensor.shape.size()));
  for (int64_t dim : tensor.shape) ndarray.add_shape(dim);
  ndarray.set_dtype(ConvertToWireFormatDtype(tensor.dtype));
  return ndarray;
}

void WireTransformer::SetWireFormatNamedTensor(rpc::NamedTensor* out,
                                               const NDArray& ndarray,
                                               const std::string& name) const {
  std::string serialized;
  // A failed serialization would send the tensor empty.
  if (!ndarray.SerializeToString(&serialized)) throw kTensorFormatError;
  out->set_name(name);
  // The serialized array can be large; hand its buffer over.
  out->mutable_tensor()->mutable_tensor_content()->swap(serialized);
}

void WireTransformer::SetWireFormatRepeatedNamedTensors(
    NamedTensors* out,
    const std::unordered_map<std::string, mxnet::MXTensor>& tensors) const {
  for (const auto& [name, tensor] : tensors) {
    NDArray ndarray = ConvertToWireFormatNDArray(tensor);
    SetWireFormatNamedTensor(out->Add(), ndarray, name);
  }
}

void WireTransformer::CheckOutputCount(size_t received, size_t wanted) const {
  if (received < wanted) {
    CLogger log;
    log << "Received " << received << " output tensors for " << wanted
        << " output buffers\n"
        << logger::ERROR;
    throw kTensorFormatError;
  }
  if (received > wanted) {
    CLogger log;
    log << "Received " << received << " output tensors for " << wanted
        << " output buffers; ignoring the last " << received - wanted << "\n"
        << logger::WARNING;
  }
}

void WireTransformer::ConvertFromWireFormatNamedTensors(
    std::vector<mxnet::MXTensor>* out, const NamedTensors& in) const {
  if (out == nullptr) throw kTensorFormatError;
  const size_t wanted = out->size();
  CheckOutputCount(static_cast<size_t>(in.size()), wanted);
  for (size_t i = 0; i < wanted; ++i) {
    const rpc::NamedTensor& named = in.Get(static_cast<int>(i));
    NDArray ndarray;
    if (!ndarray.ParseFromString(named.tensor().tensor_content())) {
      throw kTensorFormatError;
    }
    SetMXTensorFromWireFormatNDArray(ndarray, (*out)[i]);
  }
}

void WireTransformer::SetMXTensorFromWireFormatNDArray(
    const NDArray& ndarray, mxnet::MXTensor& out) const {
  const mxnet::TensorDType dtype =
      CheckReceivedArray(ndarray.dtype(), ndarray.data().size(), out);
  if (!ndarray.data().empty()) {
    std::memcpy(out.data, ndarray.data().data(), ndarray.data().size());
  }
  out.dtype = dtype;
}

mxnet::TensorDType WireTransformer::CheckReceivedArray(
    int32_t received_dtype, size_t received_size,
    const mxnet::MXTensor& out) const {
  const int64_t size = GetSizeOfTensor(out.shape, out.dtype);
  const mxnet::TensorDType dtype =
      ConvertFromWireFormatDtype(static_cast<NDArray::DType>(received_dtype));
  // The descriptor takes the received type but keeps its shape; with another
  // element size it would describe more (or fewer) bytes than its buffer
  // holds, and the next call that trusts it would overrun the buffer.
  if (ElementSize(dtype) != ElementSize(out.dtype)) {
    CLogger log;
    log << "Received element type " << dtype << " for a buffer of type "
        << out.dtype << " of another element size\n"
        << logger::ERROR;
    throw kTensorFormatError;
  }
  if (static_cast<int64_t>(received_size) != size) {
    CLogger log;
    log << "Received tensor of " << received_size << " bytes for a buffer of "
        << size << " bytes\n"
        << logger::ERROR;
    throw kTensorFormatError;
  }
  if (size > 0 && out.data == nullptr) throw kTensorFormatError;
  return dtype;
}

void WireTransformer::ConvertFromWireFormatOperatorsToSet(
    std::unordered_set<std::string>* out,
    const google::protobuf::RepeatedPtrField<rpc::Operator>& in) const {
  for (const rpc::Operator& op : in) out->insert(op.operator_name());
}

void WireTransformer::SetWireFormatSymbolJson(
    rpc::ModelSpec* model_spec, const std::string& symbol_json) const {
  rpc::mxnet::MXNetSymbolJson symbol;
  symbol.set_symbol_json(symbol_json);
  std::string serialized;
  if (!symbol.SerializeToString(&serialized)) throw kTensorFormatError;
  model_spec->mutable_serialized_model()->swap(serialized);
}

void WireTransformer::ConvertToWireFormatSessionConfig(
    const zva::SessionConfig& config, rpc::SessionConfig* out) const {
  out->set_model_type(config.model_type);
  out->set_framework_version(config.framework_version);
}

void BuildRpcGraphStats(
    const std::map<std::string, std::vector<std::string>>& stats,
    rpc::GraphStats* out) {
  for (const auto& [key, values] : stats) {
    if (values.empty()) continue;
    auto* target = (*out->mutable_attribute_map())[key].mutable_value();
    for (const std::string& value : values) target->Add()->assign(value);
  }
}

}  // namespace util
}  // namespace zva
