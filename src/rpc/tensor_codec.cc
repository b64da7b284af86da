#include "rpc/tensor_codec.h"

#include <atomic>
#include <iterator>

#include <google/protobuf/stubs/common.h>

#include "zva/rpc/mxnet/zva_mxnet.pb.h"
#include "zva/rpc/zva_data.pb.h"
#include "zva/rpc/zva_service.pb.h"

#include "rpc/wire_transform.h"

namespace zva {
namespace wire {

namespace {

using util::WireTransformer;
using NDArray = rpc::mxnet::NDArray;

std::atomic<uint64_t> s_payload_encodings{0};

void CountPayload() {
  s_payload_encodings.fetch_add(1, std::memory_order_relaxed);
}

// A string or bytes field: absent when empty, as proto3 writes it.
size_t OptionalFieldSize(uint32_t number, size_t size) {
  return size == 0 ? 0 : FieldSize(number, size);
}

void WriteOptionalString(SliceWriter& writer, uint32_t number,
                         const std::string& value) {
  if (value.empty()) return;
  writer.Prefix(number, value.size());
  writer.Raw(value.data(), value.size());
}

// Tensor { bytes tensor_content = 1; } holding `content_size` bytes.
size_t TensorSize(size_t content_size) {
  return OptionalFieldSize(rpc::Tensor::kTensorContentFieldNumber,
                           content_size);
}

// NamedTensor { string name = 1; Tensor tensor = 2; }. The adapters always
// set the tensor, so it is present even when empty.
size_t NamedTensorSize(const std::string& name, size_t content_size) {
  return OptionalFieldSize(rpc::NamedTensor::kNameFieldNumber, name.size()) +
         FieldSize(rpc::NamedTensor::kTensorFieldNumber,
                   TensorSize(content_size));
}

// A named tensor as field `number`, up to where its content starts.
void WriteNamedTensorHead(SliceWriter& writer, uint32_t number,
                          const std::string& name, size_t content_size) {
  writer.Prefix(number, NamedTensorSize(name, content_size));
  WriteOptionalString(writer, rpc::NamedTensor::kNameFieldNumber, name);
  writer.Prefix(rpc::NamedTensor::kTensorFieldNumber, TensorSize(content_size));
  if (content_size > 0) {
    writer.Prefix(rpc::Tensor::kTensorContentFieldNumber, content_size);
  }
}

// One MXNet tensor as a named tensor whose content is an NDArray
// { bytes data = 1; repeated int64 shape = 2 (packed); DType dtype = 3; }.
// Refers to the name and tensor it was made from.
class NamedArray {
 public:
  // Checks the tensor as WireTransformer::ConvertToWireFormatNDArray does.
  NamedArray(const std::string& name, const mxnet::MXTensor& tensor)
      : name_(name), tensor_(tensor) {
    const WireTransformer wt;
    data_size_ = static_cast<size_t>(wt.CheckTensorToSend(tensor));
    // An enum is written as a sign-extended int32.
    dtype_ = static_cast<uint64_t>(
        static_cast<int64_t>(wt.ConvertToWireFormatDtype(tensor.dtype)));
    for (int64_t dim : tensor.shape) {
      shape_size_ += VarintSize(static_cast<uint64_t>(dim));
    }
    array_size_ = OptionalFieldSize(NDArray::kDataFieldNumber, data_size_) +
                  OptionalFieldSize(NDArray::kShapeFieldNumber, shape_size_) +
                  (dtype_ == 0 ? 0
                               : TagSize(NDArray::kDtypeFieldNumber) +
                                     VarintSize(dtype_));
  }

  // Bytes of this tensor as field `number`.
  size_t Size(uint32_t number) const {
    return FieldSize(number, NamedTensorSize(name_, array_size_));
  }
  // Those of them that a writer with `loan` lends.
  size_t LentSize(const Loan* loan) const {
    return SliceWriter::Lends(loan, data_size_) ? data_size_ : 0;
  }

  void Write(SliceWriter& writer, uint32_t number) const {
    WriteNamedTensorHead(writer, number, name_, array_size_);
    if (data_size_ > 0) {
      writer.Prefix(NDArray::kDataFieldNumber, data_size_);
      writer.Bytes(tensor_.data, data_size_);
    }
    if (shape_size_ > 0) {
      writer.Prefix(NDArray::kShapeFieldNumber, shape_size_);
      for (int64_t dim : tensor_.shape) {
        writer.Varint(static_cast<uint64_t>(dim));
      }
    }
    if (dtype_ != 0) {
      writer.Tag(NDArray::kDtypeFieldNumber, kVarint);
      writer.Varint(dtype_);
    }
    CountPayload();
  }

 private:
  const std::string& name_;
  const mxnet::MXTensor& tensor_;
  size_t data_size_ = 0;
  uint64_t dtype_ = 0;
  size_t shape_size_ = 0;  // packed
  size_t array_size_ = 0;
};

// The tensors of a map as named arrays, checked, in the map's order.
std::vector<NamedArray> NamedArrays(
    const std::unordered_map<std::string, mxnet::MXTensor>& tensors) {
  std::vector<NamedArray> arrays;
  arrays.reserve(tensors.size());
  for (const auto& [name, tensor] : tensors) arrays.emplace_back(name, tensor);
  return arrays;
}

// Protobuf writes no message of 2 GiB or more; neither does the library.
void CheckBodySize(size_t size) {
  if (size > static_cast<size_t>(util::kMaxWireMessageBytes)) {
    throw kTensorFormatError;
  }
}

// The content of a length-delimited field the schema holds once; false for
// another wire type or a second occurrence.
bool TakeOnce(const Field& field, bool* seen, WireReader* content) {
  if (field.type != kLengthDelimited || *seen) return false;
  *seen = true;
  *content = field.content;
  return true;
}

// Tensor: its tensor_content, empty when absent.
bool ReadTensor(WireReader tensor, WireReader* content) {
  bool seen = false;
  Field field;
  while (!tensor.empty()) {
    if (!tensor.Next(&field)) return false;
    if (field.number == rpc::Tensor::kTensorContentFieldNumber &&
        !TakeOnce(field, &seen, content)) {
      return false;
    }
  }
  return true;
}

// NamedTensor: its tensor's content, empty without a tensor. The name must
// be UTF-8, as protobuf requires of a string; it is not used.
bool ReadNamedTensor(WireReader named, WireReader* content,
                     std::string* scratch) {
  bool seen_name = false;
  bool seen_tensor = false;
  Field field;
  WireReader value;
  while (!named.empty()) {
    if (!named.Next(&field)) return false;
    if (field.number == rpc::NamedTensor::kNameFieldNumber) {
      if (!TakeOnce(field, &seen_name, &value)) return false;
      scratch->clear();
      value.AppendTo(scratch);
      if (!google::protobuf::internal::IsStructurallyValidUTF8(*scratch)) {
        return false;
      }
    } else if (field.number == rpc::NamedTensor::kTensorFieldNumber) {
      if (!TakeOnce(field, &seen_tensor, &value) ||
          !ReadTensor(value, content)) {
        return false;
      }
    }
  }
  return true;
}

// InferResponse: the content of every output, in wire order.
std::vector<WireReader> ReadOutputs(const std::vector<Piece>& pieces) {
  WireReader response(pieces);
  std::vector<WireReader> contents;
  std::string scratch;
  Field field;
  while (!response.empty()) {
    if (!response.Next(&field)) throw kTensorFormatError;
    if (field.number != rpc::InferResponse::kOutputFieldNumber) continue;
    contents.emplace_back();
    if (field.type != kLengthDelimited ||
        !ReadNamedTensor(field.content, &contents.back(), &scratch)) {
      throw kTensorFormatError;
    }
  }
  return contents;
}

// An NDArray as received: where its data is and its type. The shape is not
// used (the caller's stays) but must be well formed.
struct ReceivedArray {
  WireReader data;
  int32_t dtype = 0;
};

bool ReadArray(WireReader array, ReceivedArray* out) {
  bool seen_data = false;
  bool seen_dtype = false;
  Field field;
  uint64_t dim = 0;
  while (!array.empty()) {
    if (!array.Next(&field)) return false;
    switch (field.number) {
      case NDArray::kDataFieldNumber:
        if (!TakeOnce(field, &seen_data, &out->data)) return false;
        break;
      case NDArray::kShapeFieldNumber:
        // Packed, or one value per field, as protobuf accepts either.
        if (field.type == kLengthDelimited) {
          while (!field.content.empty()) {
            if (!field.content.ReadVarint(&dim)) return false;
          }
        } else if (field.type != kVarint) {
          return false;
        }
        break;
      case NDArray::kDtypeFieldNumber:
        if (field.type != kVarint || seen_dtype) return false;
        seen_dtype = true;
        // An enum is an int32: protobuf keeps the low 32 bits.
        out->dtype = static_cast<int32_t>(static_cast<uint32_t>(field.varint));
        break;
      default:
        break;
    }
  }
  return true;
}

}  // namespace

void EncodeMXNetInfer(
    const std::string& model_id,
    const std::unordered_map<std::string, mxnet::MXTensor>& inputs,
    EncodedRequest* out) {
  const std::vector<NamedArray> arrays = NamedArrays(inputs);
  constexpr uint32_t kInput = rpc::InferRequest::kInputFieldNumber;
  size_t size = OptionalFieldSize(rpc::InferRequest::kModelIdFieldNumber,
                                  model_id.size());
  size_t lent = 0;
  for (const NamedArray& array : arrays) {
    size += array.Size(kInput);
    lent += array.LentSize(out->loan());
  }
  CheckBodySize(size);
  SliceWriter writer(size - lent, out->loan());
  WriteOptionalString(writer, rpc::InferRequest::kModelIdFieldNumber, model_id);
  for (const NamedArray& array : arrays) array.Write(writer, kInput);
  out->SetBody(writer.Finish());
}

void EncodeMXNetLoad(
    const std::string& model_id, const std::string& symbol_json,
    const std::unordered_map<std::string, mxnet::MXTensor>& params,
    EncodedRequest* out) {
  const std::vector<NamedArray> arrays = NamedArrays(params);
  constexpr uint32_t kParam = rpc::ModelSpec::kNamedTensorFieldNumber;
  // MXNetSymbolJson { string symbol_json = 1; }, serialized.
  const size_t symbol_size = OptionalFieldSize(
      rpc::mxnet::MXNetSymbolJson::kSymbolJsonFieldNumber, symbol_json.size());
  size_t spec_size = OptionalFieldSize(
      rpc::ModelSpec::kSerializedModelFieldNumber, symbol_size);
  size_t lent = 0;
  for (const NamedArray& array : arrays) {
    spec_size += array.Size(kParam);
    lent += array.LentSize(out->loan());
  }
  const size_t size =
      OptionalFieldSize(rpc::LoadModelRequest::kModelIdFieldNumber,
                        model_id.size()) +
      FieldSize(rpc::LoadModelRequest::kModelSpecFieldNumber, spec_size);
  CheckBodySize(size);
  SliceWriter writer(size - lent, out->loan());
  WriteOptionalString(writer, rpc::LoadModelRequest::kModelIdFieldNumber,
                      model_id);
  writer.Prefix(rpc::LoadModelRequest::kModelSpecFieldNumber, spec_size);
  if (symbol_size > 0) {
    writer.Prefix(rpc::ModelSpec::kSerializedModelFieldNumber, symbol_size);
    WriteOptionalString(writer,
                        rpc::mxnet::MXNetSymbolJson::kSymbolJsonFieldNumber,
                        symbol_json);
  }
  for (const NamedArray& array : arrays) array.Write(writer, kParam);
  out->SetBody(writer.Finish());
}

void EncodeTorchInfer(
    const std::string& model_id,
    const std::vector<std::pair<std::string, std::string>>& inputs,
    const std::vector<std::string>& output_names, EncodedRequest* out) {
  constexpr uint32_t kInput = rpc::InferRequest::kInputFieldNumber;
  constexpr uint32_t kOutputName = rpc::InferRequest::kOutputNameFieldNumber;
  size_t size = OptionalFieldSize(rpc::InferRequest::kModelIdFieldNumber,
                                  model_id.size());
  size_t lent = 0;
  for (const auto& [name, bytes] : inputs) {
    size += FieldSize(kInput, NamedTensorSize(name, bytes.size()));
    if (SliceWriter::Lends(out->loan(), bytes.size())) lent += bytes.size();
  }
  // Every name of a repeated string is written, an empty one too.
  for (const std::string& name : output_names) {
    size += FieldSize(kOutputName, name.size());
  }
  CheckBodySize(size);
  SliceWriter writer(size - lent, out->loan());
  WriteOptionalString(writer, rpc::InferRequest::kModelIdFieldNumber, model_id);
  for (const auto& [name, bytes] : inputs) {
    WriteNamedTensorHead(writer, kInput, name, bytes.size());
    writer.Bytes(bytes.data(), bytes.size());
    CountPayload();
  }
  for (const std::string& name : output_names) {
    writer.Prefix(kOutputName, name.size());
    writer.Raw(name.data(), name.size());
  }
  out->SetBody(writer.Finish());
}

void EncodeTorchLoad(const std::string& model_id,
                     const std::string& model_bytes, EncodedRequest* out) {
  const size_t spec_size = OptionalFieldSize(
      rpc::ModelSpec::kSerializedModelFieldNumber, model_bytes.size());
  const size_t size =
      OptionalFieldSize(rpc::LoadModelRequest::kModelIdFieldNumber,
                        model_id.size()) +
      FieldSize(rpc::LoadModelRequest::kModelSpecFieldNumber, spec_size);
  CheckBodySize(size);
  const size_t lent = SliceWriter::Lends(out->loan(), model_bytes.size())
                          ? model_bytes.size()
                          : 0;
  SliceWriter writer(size - lent, out->loan());
  WriteOptionalString(writer, rpc::LoadModelRequest::kModelIdFieldNumber,
                      model_id);
  writer.Prefix(rpc::LoadModelRequest::kModelSpecFieldNumber, spec_size);
  if (!model_bytes.empty()) {
    writer.Prefix(rpc::ModelSpec::kSerializedModelFieldNumber,
                  model_bytes.size());
    writer.Bytes(model_bytes.data(), model_bytes.size());
  }
  CountPayload();
  out->SetBody(writer.Finish());
}

uint64_t PayloadEncodings() {
  return s_payload_encodings.load(std::memory_order_relaxed);
}

std::vector<Piece> PiecesOf(const grpc::ByteBuffer& buffer,
                            std::vector<grpc::Slice>* slices) {
  slices->clear();
  std::vector<Piece> pieces;
  if (!buffer.Valid()) return pieces;
  if (!buffer.Dump(slices).ok()) throw kTensorFormatError;
  pieces.reserve(slices->size());
  for (const grpc::Slice& slice : *slices) {
    pieces.push_back(Piece{slice.begin(), slice.size()});
  }
  return pieces;
}

void DecodeMXNetOutputs(const std::vector<Piece>& response,
                        std::vector<mxnet::MXTensor>* out) {
  if (out == nullptr) throw kTensorFormatError;
  const std::vector<WireReader> contents = ReadOutputs(response);
  const WireTransformer wt;
  wt.CheckOutputCount(contents.size(), out->size());
  for (size_t i = 0; i < out->size(); ++i) {
    ReceivedArray array;
    if (!ReadArray(contents[i], &array)) throw kTensorFormatError;
    mxnet::MXTensor& tensor = (*out)[i];
    const mxnet::TensorDType dtype =
        wt.CheckReceivedArray(array.dtype, array.data.size(), tensor);
    array.data.Read(tensor.data, array.data.size());
    tensor.dtype = dtype;
  }
}

void DecodeMXNetOutputs(const grpc::ByteBuffer& response,
                        std::vector<mxnet::MXTensor>* out) {
  std::vector<grpc::Slice> slices;
  DecodeMXNetOutputs(PiecesOf(response, &slices), out);
}

void DecodeTorchOutputs(const std::vector<Piece>& response,
                        std::vector<std::string>* out) {
  std::vector<WireReader> contents = ReadOutputs(response);
  std::vector<std::string> received(contents.size());
  for (size_t i = 0; i < contents.size(); ++i) {
    contents[i].AppendTo(&received[i]);
  }
  out->insert(out->end(), std::make_move_iterator(received.begin()),
              std::make_move_iterator(received.end()));
}

void DecodeTorchOutputs(const grpc::ByteBuffer& response,
                        std::vector<std::string>* out) {
  std::vector<grpc::Slice> slices;
  DecodeTorchOutputs(PiecesOf(response, &slices), out);
}

}  // namespace wire
}  // namespace zva
