// Received output tensors decoded into the caller's buffers, as both
// adapters do after an Infer. The input describes the caller's outputs and
// then the received tensors; the caller reuses its descriptors for a second
// Infer, as frameworks do.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "zva/rpc/zva_service.pb.h"

#include "fuzz_support.h"
#include "zva/zva_mxnet.h"
#include "adapters/pytorch_adapter.h"
#include "rpc/wire_transform.h"

namespace {

constexpr int kMaxOutputs = 4;
constexpr int kMaxDimensions = 4;
constexpr int64_t kMaxDimension = 8;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zvfuzz::SilenceLibraryLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);

  // The caller's outputs: a buffer of exactly the size each descriptor gives.
  const int output_count = input.ConsumeIntegralInRange(0, kMaxOutputs);
  std::vector<zva::mxnet::MXTensor> outputs(output_count);
  std::vector<std::vector<char>> buffers(output_count);
  std::vector<int64_t> described(output_count);
  for (int i = 0; i < output_count; ++i) {
    zva::mxnet::MXTensor& tensor = outputs[i];
    // One value past the known types, to see an unknown one refused.
    tensor.dtype = static_cast<zva::mxnet::TensorDType>(
        input.ConsumeIntegralInRange(0, 7));
    const int dimensions = input.ConsumeIntegralInRange(0, kMaxDimensions);
    for (int d = 0; d < dimensions; ++d) {
      tensor.shape.push_back(
          input.ConsumeIntegralInRange<int64_t>(-1, kMaxDimension));
    }
    described[i] = zvfuzz::DescribedBytes(tensor);
    buffers[i].resize(described[i] > 0 ? static_cast<size_t>(described[i]) : 0);
    tensor.data = buffers[i].empty() ? nullptr : buffers[i].data();
  }

  // The received tensors: serialized arrays, or entries without a tensor.
  zva::rpc::InferResponse response;
  const int received = input.ConsumeIntegralInRange(0, kMaxOutputs + 1);
  for (int i = 0; i < received; ++i) {
    zva::rpc::NamedTensor* named = response.add_output();
    named->set_name("out" + std::to_string(i));
    if (input.ConsumeBool()) {
      named->mutable_tensor()->set_tensor_content(
          i + 1 == received ? input.ConsumeRemainingBytesAsString()
                            : input.ConsumeRandomLengthString());
    }
  }

  // Two Infers into the same descriptors: after each, every descriptor
  // still claims exactly its buffer, whatever type it now names.
  const zva::util::WireTransformer transformer;
  for (int infer = 0; infer < 2; ++infer) {
    try {
      transformer.ConvertFromWireFormatNamedTensors(&outputs,
                                                    response.output());
    } catch (int code) {
      if (code != zva::kTensorFormatError) std::abort();
    }
    for (int i = 0; i < output_count; ++i) {
      if (zvfuzz::DescribedBytes(outputs[i]) != described[i] ||
          outputs[i].data !=
              (buffers[i].empty() ? nullptr : buffers[i].data())) {
        std::abort();
      }
    }
  }

  // The PyTorch adapter hands the bytes over as they came, one per entry.
  std::vector<std::string> strings(1);
  zva::torch::PTConvertOutputsFromWire(&strings, std::move(response));
  if (strings.size() != static_cast<size_t>(received) + 1) std::abort();
  return 0;
}
