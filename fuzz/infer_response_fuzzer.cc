// An Infer answer decoded from received slices, as both adapters do: the
// input describes the caller's outputs and how the answer is cut into
// pieces, then holds the answer. Whatever the decoder accepts, protobuf
// parses and the wire transform turns into the same outputs; whatever it
// refuses leaves the caller's buffers and strings as they were.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>
#include <google/protobuf/stubs/logging.h>

#include "zva/rpc/zva_service.pb.h"

#include "adapters/pytorch_adapter.h"
#include "fuzz_support.h"
#include "rpc/tensor_codec.h"
#include "rpc/wire_transform.h"
#include "zva/zva_mxnet.h"

namespace {

constexpr int kMaxOutputs = 4;
constexpr int kMaxDimensions = 4;
constexpr int64_t kMaxDimension = 8;

// The caller's outputs: a buffer of exactly the size each descriptor gives.
struct Outputs {
  std::vector<zva::mxnet::MXTensor> tensors;
  std::vector<std::vector<char>> buffers;

  void Point() {
    for (size_t i = 0; i < tensors.size(); ++i) {
      tensors[i].data = buffers[i].empty() ? nullptr : buffers[i].data();
    }
  }
};

// Runs `decode`; the code it throws, 0 when it throws nothing.
template <typename Decode>
int Code(Decode decode) {
  try {
    decode();
  } catch (int code) {
    if (code != zva::kTensorFormatError) std::abort();
    return code;
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zvfuzz::SilenceLibraryLog();
  // Protobuf's own complaints (a name that is not UTF-8) are expected.
  google::protobuf::SetLogHandler(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  Outputs outputs;
  const int count = input.ConsumeIntegralInRange(0, kMaxOutputs);
  for (int i = 0; i < count; ++i) {
    zva::mxnet::MXTensor tensor;
    // One value past the known types, to see an unknown one refused.
    tensor.dtype = static_cast<zva::mxnet::TensorDType>(
        input.ConsumeIntegralInRange(0, 7));
    const int dimensions = input.ConsumeIntegralInRange(0, kMaxDimensions);
    for (int d = 0; d < dimensions; ++d) {
      tensor.shape.push_back(
          input.ConsumeIntegralInRange<int64_t>(-1, kMaxDimension));
    }
    const int64_t described = zvfuzz::DescribedBytes(tensor);
    outputs.buffers.emplace_back(described > 0 ? described : 0, '.');
    outputs.tensors.push_back(tensor);
  }
  outputs.Point();
  const size_t piece_size = input.ConsumeIntegralInRange<size_t>(1, 64);
  const std::string response = input.ConsumeRemainingBytesAsString();
  std::vector<zva::wire::Piece> pieces;
  for (size_t at = 0; at < response.size(); at += piece_size) {
    pieces.push_back({reinterpret_cast<const uint8_t*>(response.data()) + at,
                      std::min(piece_size, response.size() - at)});
  }

  zva::rpc::InferResponse parsed;
  const bool parses = parsed.ParseFromString(response);

  Outputs expected = outputs;
  expected.Point();
  const int code =
      Code([&] { zva::wire::DecodeMXNetOutputs(pieces, &outputs.tensors); });
  if (code == 0) {
    if (!parses) std::abort();
    zva::util::WireTransformer().ConvertFromWireFormatNamedTensors(
        &expected.tensors, parsed.output());
    for (size_t i = 0; i < outputs.tensors.size(); ++i) {
      if (outputs.buffers[i] != expected.buffers[i] ||
          outputs.tensors[i].dtype != expected.tensors[i].dtype) {
        std::abort();
      }
    }
  }
  // Every descriptor still claims exactly its buffer, whatever type it now
  // names.
  for (size_t i = 0; i < outputs.tensors.size(); ++i) {
    if (zvfuzz::DescribedBytes(outputs.tensors[i]) !=
        zvfuzz::DescribedBytes(expected.tensors[i])) {
      std::abort();
    }
  }

  std::vector<std::string> strings(1, "mine");
  if (Code([&] { zva::wire::DecodeTorchOutputs(pieces, &strings); }) == 0) {
    if (!parses) std::abort();
    std::vector<std::string> wanted(1, "mine");
    zva::torch::PTConvertOutputsFromWire(&wanted, std::move(parsed));
    if (strings != wanted) std::abort();
  } else if (strings != std::vector<std::string>(1, "mine")) {
    std::abort();
  }
  return 0;
}
