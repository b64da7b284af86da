// zv-test-labels: threaded
// The requests the library encodes itself are byte for byte what protobuf
// writes, lend the caller's memory where they should, and change only their
// session between attempts; answers are read as protobuf reads them, from
// pieces split anywhere, and malformed ones are refused with 21.

#include "rpc/tensor_codec.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <google/protobuf/stubs/logging.h>
#include <gtest/gtest.h>

#include "zva/rpc/mxnet/zva_mxnet.pb.h"
#include "zva/rpc/zva_service.pb.h"

#include "adapters/pytorch_adapter.h"
#include "rpc/encoded_request.h"
#include "rpc/wire_transform.h"
#include "support/log_capture.h"

namespace zva {
namespace wire {
namespace {

using mxnet::MXTensor;
using mxnet::TensorDType;
using Bytes = EncodedRequest::Bytes;
using NamedBytes = std::vector<std::pair<std::string, std::string>>;

int ThrownCode(const std::function<void()>& fn) {
  try {
    fn();
  } catch (int code) {
    return code;
  }
  return 0;
}

std::string Concatenated(const std::vector<grpc::Slice>& slices) {
  std::string bytes;
  for (const grpc::Slice& slice : slices) {
    bytes.append(reinterpret_cast<const char*>(slice.begin()), slice.size());
  }
  return bytes;
}

// The request as gRPC takes it.
std::string WireBytes(const EncodedRequest& request) {
  std::vector<grpc::Slice> slices;
  EXPECT_TRUE(request.ToByteBuffer().Dump(&slices).ok());
  return Concatenated(slices);
}

// Where two byte strings first differ; npos when they are equal.
size_t FirstDifference(const std::string& a, const std::string& b) {
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
    if (a[i] != b[i]) return i;
  }
  return a.size() == b.size() ? std::string::npos
                              : std::min(a.size(), b.size());
}

// Slices of `request` that are exactly the `size` bytes at `data`.
size_t SlicesOf(const EncodedRequest& request, const void* data, size_t size) {
  size_t n = 0;
  for (const grpc::Slice& slice : request.slices()) {
    n += slice.begin() == data && slice.size() == size && size > 0;
  }
  return n;
}

// `request` encodes `message`, also after its session is set and set again;
// only the session field changes, the body keeps its very slices.
template <typename Message>
void ExpectEncodes(EncodedRequest& request, Message message) {
  const std::vector<grpc::Slice> body(request.slices().begin() + 1,
                                      request.slices().end());
  std::string expected;
  ASSERT_TRUE(message.SerializeToString(&expected));
  EXPECT_EQ(FirstDifference(WireBytes(request), expected), std::string::npos)
      << "before any session";
  for (const std::string& id :
       {std::string(), std::string("s-1"), std::string(200, 'z')}) {
    request.SetSessionId(id);
    message.mutable_session()->set_session_id(id);
    ASSERT_TRUE(message.SerializeToString(&expected));
    EXPECT_EQ(FirstDifference(WireBytes(request), expected), std::string::npos)
        << "session of " << id.size() << " bytes";
  }
  // The same slices: the same bytes, and the same memory where a slice has
  // memory of its own (a short one keeps its bytes inside itself).
  ASSERT_EQ(request.slices().size(), body.size() + 1);
  for (size_t i = 0; i < body.size(); ++i) {
    const grpc::Slice& now = request.slices()[i + 1];
    EXPECT_EQ(Concatenated({now}), Concatenated({body[i]}));
    if (now.size() > GRPC_SLICE_INLINED_SIZE) {
      EXPECT_EQ(now.begin(), body[i].begin());
    }
  }
}

struct TensorLayout {
  std::string name;
  std::vector<int64_t> shape;
  TensorDType dtype;
};

// Tensors over buffers of their own, each filled with its own pattern.
class Tensors {
 public:
  explicit Tensors(const std::vector<TensorLayout>& layouts)
      : buffers_(layouts.size()) {
    for (size_t i = 0; i < layouts.size(); ++i) {
      const TensorLayout& layout = layouts[i];
      const auto size = static_cast<size_t>(
          util::WireTransformer().GetSizeOfTensor(layout.shape, layout.dtype));
      for (size_t k = 0; k < size; ++k) {
        buffers_[i].push_back(static_cast<uint8_t>(i * 31 + k * 7));
      }
      map_[layout.name] = MXTensor{size > 0 ? buffers_[i].data() : nullptr,
                                   layout.shape, layout.dtype};
    }
  }
  const std::unordered_map<std::string, MXTensor>& map() const { return map_; }
  // Slices of `request` that are a whole buffer, which must then be lent.
  size_t LentIn(const EncodedRequest& request) const {
    size_t n = 0;
    for (const auto& buffer : buffers_) {
      n += SlicesOf(request, buffer.data(), buffer.size());
    }
    return n;
  }
  size_t Lendable() const {
    size_t n = 0;
    for (const auto& buffer : buffers_) n += buffer.size() >= kMinLentBytes;
    return n;
  }

 private:
  std::vector<std::vector<uint8_t>> buffers_;
  std::unordered_map<std::string, MXTensor> map_;
};

TEST(TensorCodecTest, MXNetRequestsAreWhatProtobufWrites) {
  const int64_t kBelow = static_cast<int64_t>(kMinLentBytes) - 1;
  const std::vector<TensorLayout> kSets[] = {
      {},
      {{"x", {2, 3}, mxnet::FLOAT32}},
      {{"", {}, mxnet::INT64}},  // no name, a scalar
      {{"empty", {0}, mxnet::FLOAT32}, {"hollow", {4, 0, 2}, mxnet::INT8}},
      // Lengths of one and two bytes, dimensions of two.
      {{std::string(127, 'a'), {300, 2}, mxnet::FLOAT16},
       {std::string(128, 'b'), {1}, mxnet::UINT8},
       {std::string(300, 'c'), {2}, mxnet::FLOAT64}},
      // Around the size from which bytes are lent.
      {{"below", {kBelow}, mxnet::UINT8},
       {"at", {kBelow + 1}, mxnet::UINT8},
       {"i32", {1500, 3}, mxnet::INT32}},
      // A length of three bytes.
      {{"big", {70000}, mxnet::FLOAT32}, {"small", {3}, mxnet::INT64}},
  };
  const util::WireTransformer wt;
  for (const auto& layouts : kSets) {
    const Tensors tensors(layouts);
    for (Bytes bytes : {Bytes::kCopied, Bytes::kLent}) {
      for (const char* model_id : {"", "resnet"}) {
        SCOPED_TRACE(::testing::Message()
                     << layouts.size() << " tensors, "
                     << (bytes == Bytes::kLent ? "lent" : "copied")
                     << ", model id \"" << model_id << "\"");
        const size_t lent = bytes == Bytes::kLent ? tensors.Lendable() : 0;
        rpc::InferRequest infer;
        infer.set_model_id(model_id);
        wt.SetWireFormatRepeatedNamedTensors(infer.mutable_input(),
                                             tensors.map());
        EncodedRequest encoded_infer(bytes);
        const uint64_t before = PayloadEncodings();
        EncodeMXNetInfer(model_id, tensors.map(), &encoded_infer);
        EXPECT_EQ(PayloadEncodings() - before, layouts.size());
        EXPECT_EQ(tensors.LentIn(encoded_infer), lent);
        ExpectEncodes(encoded_infer, infer);

        const std::string json = *model_id ? "{\"nodes\": []}" : "";
        rpc::LoadModelRequest load;
        load.set_model_id(model_id);
        wt.SetWireFormatSymbolJson(load.mutable_model_spec(), json);
        wt.SetWireFormatRepeatedNamedTensors(
            load.mutable_model_spec()->mutable_named_tensor(), tensors.map());
        EncodedRequest encoded_load(bytes);
        EncodeMXNetLoad(model_id, json, tensors.map(), &encoded_load);
        EXPECT_EQ(tensors.LentIn(encoded_load), lent);
        ExpectEncodes(encoded_load, load);
      }
    }
  }
}

TEST(TensorCodecTest, MalformedTensorsAreRefusedAsTheWireTransformDoes) {
  float value = 1;
  const MXTensor kRefused[] = {
      {&value, {-1}, mxnet::FLOAT32},
      {&value, {1}, static_cast<TensorDType>(7)},
      {nullptr, {2}, mxnet::FLOAT32},
      {&value, {int64_t{1} << 28}, mxnet::INT64},  // 2 GiB
  };
  for (const MXTensor& tensor : kRefused) {
    const std::unordered_map<std::string, MXTensor> tensors = {{"t", tensor}};
    EncodedRequest request(Bytes::kLent);
    EXPECT_EQ(ThrownCode([&] { EncodeMXNetInfer("m", tensors, &request); }),
              kTensorFormatError);
    EXPECT_EQ(ThrownCode([&] { EncodeMXNetLoad("m", "", tensors, &request); }),
              kTensorFormatError);
    EXPECT_EQ(request.slices().size(), 1u);  // no body
  }
}

TEST(TensorCodecTest, TorchRequestsAreWhatProtobufWrites) {
  const std::string kLendable(kMinLentBytes, 'b');
  const struct {
    NamedBytes inputs;
    std::vector<std::string> output_names;
  } kCases[] = {
      {{}, {}},
      {{{"a", std::string("\x00\x7f\x80\xff", 4)}}, {"y"}},
      {{{"", ""}, {"b", kLendable}}, {"", "z"}},
      {{{std::string(128, 'n'), std::string(20000, '\x01')},
        {"c", std::string(kMinLentBytes - 1, 'c')}},
       {std::string(200, 'o')}},
  };
  for (const auto& c : kCases) {
    for (Bytes bytes : {Bytes::kCopied, Bytes::kLent}) {
      SCOPED_TRACE(::testing::Message()
                   << c.inputs.size() << " inputs, "
                   << (bytes == Bytes::kLent ? "lent" : "copied"));
      rpc::InferRequest infer;
      infer.set_model_id("pt");
      for (const std::string& name : c.output_names) {
        infer.add_output_name(name);
      }
      torch::PTConvertInputsToWire(c.inputs, infer);
      EncodedRequest encoded(bytes);
      const uint64_t before = PayloadEncodings();
      EncodeTorchInfer("pt", c.inputs, c.output_names, &encoded);
      EXPECT_EQ(PayloadEncodings() - before, c.inputs.size());
      size_t lent = 0;
      size_t lendable = 0;
      for (const auto& [name, input] : c.inputs) {
        lent += SlicesOf(encoded, input.data(), input.size());
        lendable += bytes == Bytes::kLent && input.size() >= kMinLentBytes;
      }
      EXPECT_EQ(lent, lendable);
      ExpectEncodes(encoded, infer);
    }
  }
  for (const std::string& model :
       {std::string(), std::string("torchscript"), std::string(70000, 'm')}) {
    rpc::LoadModelRequest load;
    load.set_model_id("pt");
    load.mutable_model_spec()->set_serialized_model(model);
    EncodedRequest encoded;
    EncodeTorchLoad("pt", model, &encoded);
    EXPECT_EQ(SlicesOf(encoded, model.data(), model.size()), 0u);
    ExpectEncodes(encoded, load);
  }
}

// A request is destroyed only after gRPC let go of the caller's memory,
// however long gRPC keeps a reference after the call.
TEST(TensorCodecTest, ALendingRequestWaitsForEveryReferenceToTheCallersMemory) {
  const NamedBytes inputs = {{"x", std::string(kMinLentBytes, 'x')},
                             {"y", std::string(2 * kMinLentBytes, 'y')}};
  auto request = std::make_unique<EncodedRequest>(Bytes::kLent);
  EncodeTorchInfer("m", inputs, {}, request.get());
  ASSERT_EQ(request->loan()->Outstanding(), 2u);
  grpc::ByteBuffer kept_by_grpc = request->ToByteBuffer();
  std::atomic<bool> released{false};
  bool released_first = false;
  std::thread destroyer([&] {
    request.reset();
    released_first = released.load();
  });
  released = true;
  kept_by_grpc.Clear();
  destroyer.join();
  EXPECT_TRUE(released_first);
}

// ---- Answers --------------------------------------------------------------

std::string Varint(uint64_t value) {
  uint8_t bytes[10];
  return std::string(reinterpret_cast<char*>(bytes),
                     WriteVarint(value, bytes) - bytes);
}
std::string Tag(uint32_t number, WireType type) {
  return Varint(uint64_t{number} << 3 | type);
}
std::string Len(uint32_t number, const std::string& content) {
  return Tag(number, kLengthDelimited) + Varint(content.size()) + content;
}
std::string Int(uint32_t number, uint64_t value) {
  return Tag(number, kVarint) + Varint(value);
}
// One output whose NamedTensor holds `named`.
std::string Named(const std::string& named) { return Len(1, named); }
// One output named "out" whose tensor_content is `array`.
std::string Output(const std::string& array) {
  return Named(Len(1, "out") + Len(2, Len(1, array)));
}
// An NDArray of `data`, a one-dimensional shape and `dtype`.
std::string Array(const std::string& data, int dtype = mxnet::INT32) {
  return Len(1, data) + Len(2, Varint(data.size() / 4)) + Int(3, dtype);
}

// `bytes` in pieces: whole, one byte each between empty pieces, in two.
std::vector<std::vector<Piece>> Splits(const std::string& bytes) {
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  std::vector<std::vector<Piece>> splits(3);
  splits[0] = {{data, bytes.size()}};
  splits[1].push_back({data, 0});
  for (size_t i = 0; i < bytes.size(); ++i) splits[1].push_back({data + i, 1});
  splits[1].push_back({data + bytes.size(), 0});
  const size_t third = bytes.size() / 3;
  splits[2] = {{data, third}, {data + third, bytes.size() - third}};
  return splits;
}

enum class Verdict {
  kAccepted,
  kRefusedByMXNet,  // the bytes are fine, not as a tensor of the buffer
  kRefused,         // not an InferResponse the schema allows
};

TEST(TensorCodecTest, AnswersAreReadAsProtobufReadsThemOrRefusedWith21) {
  const std::string good = Array("abcd");
  const std::string ten_ff = std::string(9, '\xff') + "\x02";
  const struct {
    const char* what;
    std::string response;
    Verdict verdict;
    std::vector<int64_t> shape = {1};  // of one FLOAT32 output buffer
  } kCases[] = {
      {"exact", Output(good), Verdict::kAccepted},
      {"unpacked shape, fields in another order",
       Output(Int(3, mxnet::INT32) + Int(2, 1) + Len(1, "abcd")),
       Verdict::kAccepted},
      {"unknown fields of every wire type",
       Int(15, 7) +
           Named(Tag(9, kFixed64) + "12345678" + Len(1, "out") +
                 Len(2, Tag(3, kFixed32) + "1234" +
                            Len(1, good + Len(12, "zz")))) +
           Len(2, "ignored"),
       Verdict::kAccepted},
      {"an extra output", Output(good) + Output(Array("zz", 3)),
       Verdict::kAccepted},
      {"an empty tensor has no data field",
       Output(Len(2, Varint(0))),
       Verdict::kAccepted,
       {0}},
      {"no tensor at all, for an empty buffer",
       Named(Len(1, "out")),
       Verdict::kAccepted,
       {2, 0}},
      {"no outputs", "", Verdict::kRefusedByMXNet},
      {"missing data field", Output(Int(3, mxnet::INT32)),
       Verdict::kRefusedByMXNet},
      {"data twice", Output(Len(1, "abcd") + good), Verdict::kRefusedByMXNet},
      {"type twice", Output(good + Int(3, mxnet::INT32)),
       Verdict::kRefusedByMXNet},
      {"data of another wire type", Output(Int(1, 5) + Int(3, mxnet::INT32)),
       Verdict::kRefusedByMXNet},
      {"type of another wire type", Output(Len(1, "abcd") + Len(3, "\x04")),
       Verdict::kRefusedByMXNet},
      {"shape of another wire type",
       Output(Len(1, "abcd") + Tag(2, kFixed32) + "1234"),
       Verdict::kRefusedByMXNet},
      {"shape of a truncated varint", Output(Len(1, "abcd") + Len(2, "\x80")),
       Verdict::kRefusedByMXNet},
      {"data past the end of the array",
       Output(Tag(1, kLengthDelimited) + Varint(5) + "abcd"),
       Verdict::kRefusedByMXNet},
      {"type beyond 64 bits", Output(Len(1, "abcd") + Tag(3, kVarint) + ten_ff),
       Verdict::kRefusedByMXNet},
      {"too few bytes", Output(Array("ab")), Verdict::kRefusedByMXNet},
      {"unknown type", Output(Array("abcd", 9)), Verdict::kRefusedByMXNet},
      {"type of another element size", Output(Array("abcd", mxnet::UINT8)),
       Verdict::kRefusedByMXNet},
      {"truncated", Output(good).substr(0, Output(good).size() - 1),
       Verdict::kRefused},
      {"tensor past the end",
       Named(Len(1, "out") + Tag(2, kLengthDelimited) + Varint(100) +
             Len(1, good)),
       Verdict::kRefused},
      {"output of another wire type", Int(1, 5), Verdict::kRefused},
      {"name of another wire type", Named(Int(1, 1) + Len(2, Len(1, good))),
       Verdict::kRefused},
      {"tensor of another wire type", Named(Len(1, "out") + Int(2, 1)),
       Verdict::kRefused},
      {"content of another wire type", Named(Len(1, "out") + Len(2, Int(1, 1))),
       Verdict::kRefused},
      {"name twice", Named(Len(1, "a") + Len(1, "b") + Len(2, Len(1, good))),
       Verdict::kRefused},
      {"tensor twice", Named(Len(2, Len(1, good)) + Len(2, Len(1, good))),
       Verdict::kRefused},
      {"content twice", Named(Len(2, Len(1, good) + Len(1, good))),
       Verdict::kRefused},
      {"name not UTF-8", Named(Len(1, "\xff") + Len(2, Len(1, good))),
       Verdict::kRefused},
      {"varint beyond 64 bits", Tag(15, kVarint) + ten_ff + Output(good),
       Verdict::kRefused},
      {"varint of 11 bytes",
       Tag(15, kVarint) + std::string(10, '\x80') + '\0' + Output(good),
       Verdict::kRefused},
      {"truncated varint", Output(good) + Tag(15, kVarint) + "\x80",
       Verdict::kRefused},
      {"truncated fixed64", Output(good) + Tag(15, kFixed64) + "1234",
       Verdict::kRefused},
      {"field number 0", Int(0, 1) + Output(good), Verdict::kRefused},
      {"tag beyond 32 bits", Varint(uint64_t{1} << 35) + "\x01",
       Verdict::kRefused},
      {"group", Tag(15, kStartGroup) + Tag(15, kEndGroup), Verdict::kRefused},
  };
  const util::WireTransformer wt;
  for (const auto& c : kCases) {
    rpc::InferResponse parsed;
    bool protobuf_parses = false;
    {
      google::protobuf::LogSilencer quiet;  // about the name not UTF-8
      protobuf_parses = parsed.ParseFromString(c.response);
    }
    for (const std::vector<Piece>& pieces : Splits(c.response)) {
      SCOPED_TRACE(::testing::Message()
                   << c.what << ", " << pieces.size() << " pieces");
      zvtest::LogCapture log;
      char buffer[5] = "....";
      std::vector<MXTensor> outs = {{buffer, c.shape, mxnet::FLOAT32}};
      const int code = ThrownCode([&] { DecodeMXNetOutputs(pieces, &outs); });
      if (c.verdict == Verdict::kAccepted) {
        // Exactly what the wire transform makes of protobuf's parse.
        ASSERT_TRUE(protobuf_parses);
        char expected[5] = "....";
        std::vector<MXTensor> expected_outs = {
            {expected, c.shape, mxnet::FLOAT32}};
        wt.ConvertFromWireFormatNamedTensors(&expected_outs, parsed.output());
        EXPECT_EQ(code, 0);
        EXPECT_STREQ(buffer, expected);
        EXPECT_EQ(outs[0].dtype, expected_outs[0].dtype);
      } else {
        EXPECT_EQ(code, kTensorFormatError);
        EXPECT_STREQ(buffer, "....");
        EXPECT_EQ(outs[0].dtype, mxnet::FLOAT32);
      }
      EXPECT_EQ(log.Text().find("ignoring") != std::string::npos,
                c.verdict == Verdict::kAccepted && parsed.output_size() > 1);

      std::vector<std::string> strings = {"mine"};
      const int torch_code =
          ThrownCode([&] { DecodeTorchOutputs(pieces, &strings); });
      if (c.verdict == Verdict::kRefused) {
        EXPECT_EQ(torch_code, kTensorFormatError);
        EXPECT_EQ(strings, std::vector<std::string>{"mine"});
      } else {
        ASSERT_TRUE(protobuf_parses);
        std::vector<std::string> expected = {"mine"};
        torch::PTConvertOutputsFromWire(&expected, rpc::InferResponse(parsed));
        EXPECT_EQ(torch_code, 0);
        EXPECT_EQ(strings, expected);
      }
    }
  }
}

TEST(TensorCodecTest, AnswersAreReadFromByteBuffers) {
  const std::string response = Output(Array("abcd")) + Output(Array("efgh"));
  const std::vector<grpc::Slice> slices = {grpc::Slice(response.substr(0, 7)),
                                           grpc::Slice(response.substr(7, 9)),
                                           grpc::Slice(response.substr(16))};
  const grpc::ByteBuffer received(slices.data(), slices.size());
  const grpc::ByteBuffer never_filled;
  zvtest::LogCapture log;
  char first[5] = "....";
  char second[5] = "....";
  std::vector<MXTensor> outs = {{first, {1}, mxnet::FLOAT32},
                                {second, {1}, mxnet::FLOAT32}};
  DecodeMXNetOutputs(received, &outs);
  EXPECT_STREQ(first, "abcd");
  EXPECT_STREQ(second, "efgh");
  EXPECT_EQ(ThrownCode([&] { DecodeMXNetOutputs(never_filled, &outs); }),
            kTensorFormatError);
  EXPECT_NE(log.Text().find("Received 0 output tensors for 2 output buffers"),
            std::string::npos);

  std::vector<std::string> strings;
  DecodeTorchOutputs(received, &strings);
  DecodeTorchOutputs(never_filled, &strings);
  EXPECT_EQ(strings, (std::vector<std::string>{Array("abcd"), Array("efgh")}));
}

}  // namespace
}  // namespace wire
}  // namespace zva
