#include "rpc/wire_transform.h"

#include <cstring>
#include <functional>

#include <gtest/gtest.h>

#include "support/log_capture.h"

namespace zva {
namespace util {
namespace {

using mxnet::MXTensor;
using mxnet::TensorDType;
using NDArray = WireTransformer::NDArray;

using zvtest::LogCapture;

int ThrownCode(const std::function<void()>& fn) {
  try {
    fn();
  } catch (int code) {
    return code;
  }
  return 0;
}

TEST(WireTransformTest, SizeOfEveryElementType) {
  const struct {
    TensorDType dtype;
    int64_t element_size;
  } kCases[] = {
      {mxnet::FLOAT32, 4}, {mxnet::FLOAT64, 8}, {mxnet::FLOAT16, 2},
      {mxnet::UINT8, 1},   {mxnet::INT32, 4},   {mxnet::INT8, 1},
      {mxnet::INT64, 8},
  };
  WireTransformer wt;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.dtype);
    EXPECT_EQ(wt.GetSizeOfTensor({2, 3}, c.dtype), 6 * c.element_size);
    EXPECT_EQ(wt.GetSizeOfTensor({}, c.dtype), c.element_size);
    EXPECT_EQ(wt.GetSizeOfTensor({4, 0, 7}, c.dtype), 0);
    EXPECT_EQ(wt.ConvertToWireFormatDtype(c.dtype), static_cast<int>(c.dtype));
    EXPECT_EQ(
        wt.ConvertFromWireFormatDtype(static_cast<NDArray::DType>(c.dtype)),
        c.dtype);
  }
}

TEST(WireTransformTest, ShapesBeyondTheBoundsAreRejected) {
  WireTransformer wt;
  const std::vector<int64_t> kRejected[] = {
      {-1},
      {3, -2},
      {int64_t{1} << 31},                    // a dimension beyond 32 bits
      {int64_t{1} << 40, 0},                 // even when another dimension is 0
      {int64_t{1} << 16, int64_t{1} << 15},  // exactly 2^31 elements
      {65536, 65536, 65536},                 // would wrap to 0 in 32 bits
      {46341, 46341},                        // just above 2^31
  };
  for (const auto& shape : kRejected) {
    SCOPED_TRACE(::testing::PrintToString(shape));
    EXPECT_EQ(ThrownCode([&] { wt.GetSizeOfTensor(shape, mxnet::UINT8); }),
              kTensorFormatError);
    MXTensor t{nullptr, shape, mxnet::UINT8};
    EXPECT_EQ(ThrownCode([&] { wt.ConvertToWireFormatNDArray(t); }),
              kTensorFormatError);
  }
  // The largest tensor that fits: 2^31 - 1 elements.
  EXPECT_EQ(wt.GetSizeOfTensor({2147483647}, mxnet::INT64),
            int64_t{2147483647} * 8);
  EXPECT_EQ(wt.GetSizeOfTensor({46340, 46340}, mxnet::UINT8),
            int64_t{46340} * 46340);
}

TEST(WireTransformTest, UnknownElementType) {
  WireTransformer wt;
  const auto seven = static_cast<TensorDType>(7);
  {
    LogCapture capture;
    MXTensor t{nullptr, {1}, seven};
    EXPECT_EQ(ThrownCode([&] { wt.ConvertToWireFormatNDArray(t); }),
              kTensorFormatError);
    EXPECT_EQ(capture.Text(), "");  // the size step throws before logging
  }
  {
    LogCapture capture;
    EXPECT_EQ(ThrownCode([&] { wt.ConvertToWireFormatDtype(seven); }),
              kTensorFormatError);
    EXPECT_NE(capture.Text().find("Unknown NDArray dtype: 7\n"),
              std::string::npos);
  }
  {
    LogCapture capture;
    EXPECT_EQ(ThrownCode([&] {
                wt.ConvertFromWireFormatDtype(static_cast<NDArray::DType>(-1));
              }),
              kTensorFormatError);
    EXPECT_NE(capture.Text().find("Unknown NDArray dtype: -1\n"),
              std::string::npos);
  }
}

TEST(WireTransformTest, NullDataWithBytesIsRejected) {
  WireTransformer wt;
  MXTensor t{nullptr, {2}, mxnet::FLOAT32};
  EXPECT_EQ(ThrownCode([&] { wt.ConvertToWireFormatNDArray(t); }),
            kTensorFormatError);
  MXTensor empty{nullptr, {0}, mxnet::FLOAT32};
  EXPECT_EQ(wt.ConvertToWireFormatNDArray(empty).data(), "");
}

TEST(WireTransformTest, Float16TensorToArray) {
  WireTransformer wt;
  uint16_t values[6] = {1, 2, 3, 4, 5, 0xffff};
  MXTensor t{values, {2, 3}, mxnet::FLOAT16};
  NDArray a = wt.ConvertToWireFormatNDArray(t);
  ASSERT_EQ(a.data().size(), 12u);
  EXPECT_EQ(std::memcmp(a.data().data(), values, 12), 0);
  EXPECT_EQ(std::vector<int64_t>(a.shape().begin(), a.shape().end()),
            (std::vector<int64_t>{2, 3}));
  EXPECT_EQ(a.dtype(), 2);
}

TEST(WireTransformTest, NamedTensorsRoundTrip) {
  WireTransformer wt;
  float x[3] = {1.5f, -2.0f, 3.25f};
  int64_t y[2] = {int64_t{1} << 40, -7};
  std::unordered_map<std::string, MXTensor> tensors = {
      {"x", MXTensor{x, {3}, mxnet::FLOAT32}},
      {"y", MXTensor{y, {1, 2}, mxnet::INT64}},
  };
  google::protobuf::RepeatedPtrField<rpc::NamedTensor> wire;
  wt.SetWireFormatRepeatedNamedTensors(&wire, tensors);
  ASSERT_EQ(wire.size(), 2);
  for (const rpc::NamedTensor& named : wire) {
    SCOPED_TRACE(named.name());
    const MXTensor& original = tensors.at(named.name());
    NDArray parsed;
    ASSERT_TRUE(parsed.ParseFromString(named.tensor().tensor_content()));
    const int64_t size = wt.GetSizeOfTensor(original.shape, original.dtype);
    ASSERT_EQ(static_cast<int64_t>(parsed.data().size()), size);
    EXPECT_EQ(std::memcmp(parsed.data().data(), original.data, size), 0);
    EXPECT_EQ(
        std::vector<int64_t>(parsed.shape().begin(), parsed.shape().end()),
        original.shape);
    EXPECT_EQ(parsed.dtype(), static_cast<int>(original.dtype));
  }

  // Back into caller buffers, matched by position, not by name.
  float x_out[3] = {};
  int64_t y_out[2] = {};
  const bool x_first = wire.Get(0).name() == "x";
  std::vector<MXTensor> outs = {
      x_first ? MXTensor{x_out, {3}, mxnet::INT32}
              : MXTensor{y_out, {2, 1}, mxnet::FLOAT64},
      x_first ? MXTensor{y_out, {2, 1}, mxnet::FLOAT64}
              : MXTensor{x_out, {3}, mxnet::INT32},
  };
  wt.ConvertFromWireFormatNamedTensors(&outs, wire);
  EXPECT_EQ(std::memcmp(x_out, x, sizeof x), 0);
  EXPECT_EQ(std::memcmp(y_out, y, sizeof y), 0);
  // The received type replaces the caller's; the caller's shape stays.
  EXPECT_EQ(outs[x_first ? 0 : 1].dtype, mxnet::FLOAT32);
  EXPECT_EQ(outs[x_first ? 1 : 0].dtype, mxnet::INT64);
  EXPECT_EQ(outs[x_first ? 1 : 0].shape, (std::vector<int64_t>{2, 1}));
}

TEST(WireTransformTest, AFailedConversionKeepsWhatWasAppended) {
  WireTransformer wt;
  float ok[1] = {1};
  google::protobuf::RepeatedPtrField<rpc::NamedTensor> wire;
  wt.SetWireFormatRepeatedNamedTensors(
      &wire, {{"ok", MXTensor{ok, {1}, mxnet::FLOAT32}}});
  EXPECT_EQ(ThrownCode([&] {
              wt.SetWireFormatRepeatedNamedTensors(
                  &wire, {{"bad", MXTensor{ok, {-1}, mxnet::FLOAT32}}});
            }),
            kTensorFormatError);
  EXPECT_EQ(wire.size(), 1);
}

// One received output holding `bytes` as its data, type `dtype`.
rpc::NamedTensor Output(const std::string& bytes, int dtype = 4) {
  NDArray a;
  a.set_data(bytes);
  a.add_shape(static_cast<int64_t>(bytes.size()));
  a.set_dtype(static_cast<NDArray::DType>(dtype));
  rpc::NamedTensor named;
  a.SerializeToString(named.mutable_tensor()->mutable_tensor_content());
  return named;
}

TEST(WireTransformTest, ReceivingStaysWithinBothBuffers) {
  WireTransformer wt;
  struct Case {
    const char* what;
    std::vector<rpc::NamedTensor> received;
    bool ok;
  };
  rpc::NamedTensor unparsable;
  unparsable.mutable_tensor()->set_tensor_content("\xff\xff\xff");
  const Case kCases[] = {
      {"exact", {Output("abcd")}, true},
      {"too few bytes", {Output("ab")}, false},
      {"too many bytes", {Output("abcdefgh")}, false},
      {"unparsable", {unparsable}, false},
      {"no tensor at all", {rpc::NamedTensor()}, false},
      {"unknown type", {Output("abcd", 9)}, false},
      // The descriptor would take the type and describe 1 byte, or 16 for
      // an INT64 of the same 4 bytes received.
      {"element type of another size", {Output("abcd", 3)}, false},
      {"no outputs", {}, false},
      {"an extra output is ignored", {Output("abcd"), Output("zz")}, true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    LogCapture capture;
    char buffer[5] = "....";
    std::vector<MXTensor> outs = {MXTensor{buffer, {1}, mxnet::FLOAT32}};
    google::protobuf::RepeatedPtrField<rpc::NamedTensor> in(c.received.begin(),
                                                            c.received.end());
    const int code =
        ThrownCode([&] { wt.ConvertFromWireFormatNamedTensors(&outs, in); });
    if (c.ok) {
      EXPECT_EQ(code, 0);
      EXPECT_STREQ(buffer, "abcd");
      EXPECT_EQ(outs[0].dtype, mxnet::INT32);
    } else {
      EXPECT_EQ(code, kTensorFormatError);
      EXPECT_STREQ(buffer, "....");
      EXPECT_EQ(outs[0].dtype, mxnet::FLOAT32);
    }
    EXPECT_EQ(outs.size(), 1u);
    EXPECT_EQ(capture.Text().find("ignoring") != std::string::npos,
              c.received.size() > 1);
  }
}

TEST(WireTransformTest, AReusedOutputDescriptorNeverOverrunsItsBuffer) {
  // Eight bytes typed INT64 for two FLOAT32: taken, the type would make the
  // descriptor claim 16 bytes, which the next Infer with the same
  // descriptors would write into the 8-byte buffer.
  WireTransformer wt;
  LogCapture capture;
  char buffer[9] = "........";
  std::vector<MXTensor> outs = {MXTensor{buffer, {2}, mxnet::FLOAT32}};
  google::protobuf::RepeatedPtrField<rpc::NamedTensor> in;
  *in.Add() = Output("abcdefgh", mxnet::INT64);
  for (int infer = 0; infer < 2; ++infer) {
    EXPECT_EQ(
        ThrownCode([&] { wt.ConvertFromWireFormatNamedTensors(&outs, in); }),
        kTensorFormatError);
  }
  EXPECT_STREQ(buffer, "........");
  EXPECT_EQ(outs[0].dtype, mxnet::FLOAT32);
  EXPECT_EQ(outs[0].shape, (std::vector<int64_t>{2}));
}

TEST(WireTransformTest, OperatorSetKeepsNamesOnce) {
  WireTransformer wt;
  google::protobuf::RepeatedPtrField<rpc::Operator> ops;
  for (const char* name : {"Conv", "FC", "Conv"}) {
    ops.Add()->set_operator_name(name);
  }
  std::unordered_set<std::string> set = {"Relu"};
  wt.ConvertFromWireFormatOperatorsToSet(&set, ops);
  EXPECT_EQ(set, (std::unordered_set<std::string>{"Relu", "Conv", "FC"}));
}

TEST(WireTransformTest, SymbolJsonAndSessionConfig) {
  WireTransformer wt;
  rpc::ModelSpec model_spec;
  wt.SetWireFormatSymbolJson(&model_spec, "{\"nodes\": []}");
  rpc::mxnet::MXNetSymbolJson symbol;
  ASSERT_TRUE(symbol.ParseFromString(model_spec.serialized_model()));
  EXPECT_EQ(symbol.symbol_json(), "{\"nodes\": []}");

  rpc::SessionConfig out;
  out.set_zvl_version("kept");
  out.set_operator_whitelist_override_version(3);
  wt.ConvertToWireFormatSessionConfig(SessionConfig{"mxnet", "1.9"}, &out);
  EXPECT_EQ(out.model_type(), "mxnet");
  EXPECT_EQ(out.framework_version(), "1.9");
  EXPECT_EQ(out.zvl_version(), "kept");
  EXPECT_EQ(out.operator_whitelist_override_version(), 3);
}

TEST(WireTransformTest, GraphStatsSkipEmptyAndKeepOrder) {
  rpc::GraphStats out;
  (*out.mutable_attribute_map())["c"].add_value("old");
  BuildRpcGraphStats({{"b", {"2", "1"}}, {"a", {}}, {"c", {"new"}}}, &out);
  ASSERT_EQ(out.attribute_map().size(), 2u);
  EXPECT_EQ(out.attribute_map().count("a"), 0u);
  const auto& b = out.attribute_map().at("b").value();
  EXPECT_EQ(std::vector<std::string>(b.begin(), b.end()),
            (std::vector<std::string>{"2", "1"}));
  const auto& c = out.attribute_map().at("c").value();
  EXPECT_EQ(std::vector<std::string>(c.begin(), c.end()),
            (std::vector<std::string>{"old", "new"}));
}

}  // namespace
}  // namespace util
}  // namespace zva
