// zv-bench-raw: the benchmark's worker that calls on generated stubs, with
// nothing of the library. Clients:
//   "raw-stub"    builds the nested array the plain way: a generated
//                 NDArray serialized into the request's tensor bytes, the
//                 request serialized by the stub, and the reverse on the way
//                 back. Every ratio of the table is to this client.
//   "lean-floor"  a request made of slices, the tensor one pointing at the
//                 caller's memory, and the output read from the response's
//                 slices straight into the caller's buffer: about the least
//                 a client can do for the same wire bytes.
// Both take the accelerator id with --accelerator-id ID before the worker
// commands of worker.h.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/wire_format_lite.h>
#include <grpc/grpc.h>
#include <grpcpp/client_context.h>
#include <grpcpp/impl/client_unary_call.h>
#include <grpcpp/impl/rpc_method.h>
#include <grpcpp/support/byte_buffer.h>
#include <grpcpp/support/proto_buffer_reader.h>
#include <grpcpp/support/slice.h>

#include "zva/rpc/mxnet/zva_mxnet.pb.h"
#include "zva/rpc/zva_service.grpc.pb.h"

#include "raw_connection.h"
#include "worker.h"

namespace {

using google::protobuf::internal::WireFormatLite;
using google::protobuf::io::CodedInputStream;
using google::protobuf::io::CodedOutputStream;
using google::protobuf::io::StringOutputStream;

constexpr char kInputName[] = "data";

std::string Describe(const grpc::Status& status) {
  return "Infer failed: " + std::to_string(status.error_code()) + " " +
         status.error_message();
}

// The caller's buffers: float tensors of one dimension.
class FloatSlots {
 public:
  void Prepare(size_t bytes, int slots) {
    slots_.assign(static_cast<size_t>(slots), Slot());
    for (int i = 0; i < slots; ++i) {
      Slot& slot = slots_[static_cast<size_t>(i)];
      slot.input.resize(bytes / sizeof(float));
      zvbench::FillPattern(slot.input.data(), slot.input.size(), i + 1);
      slot.output.assign(slot.input.size(), 0.0f);
    }
  }
  std::vector<float>& input(int slot) { return At(slot).input; }
  std::vector<float>& output(int slot) { return At(slot).output; }
  bool Check(int slot) const {
    const Slot& s = slots_[static_cast<size_t>(slot)];
    return s.output == s.input;
  }

 private:
  struct Slot {
    std::vector<float> input;
    std::vector<float> output;
  };
  Slot& At(int slot) { return slots_[static_cast<size_t>(slot)]; }
  std::vector<Slot> slots_;
};

// The Infer request of one float tensor built the plain way: a generated
// NDArray serialized into tensor_content.
zva::rpc::InferRequest PlainRequest(const zvbench::RawConnection& connection,
                                    const std::vector<float>& input) {
  zva::rpc::mxnet::NDArray array;
  array.set_data(input.data(), input.size() * sizeof(float));
  array.add_shape(static_cast<int64_t>(input.size()));
  array.set_dtype(zva::rpc::mxnet::NDArray::FLOAT32);
  zva::rpc::InferRequest request;
  request.mutable_session()->set_session_id(connection.session_id());
  request.set_model_id(connection.model_id());
  zva::rpc::NamedTensor* named = request.add_input();
  named->set_name(kInputName);
  array.SerializeToString(named->mutable_tensor()->mutable_tensor_content());
  return request;
}

class RawStubClient : public zvbench::InferClient {
 public:
  explicit RawStubClient(std::unique_ptr<zvbench::RawConnection> connection)
      : connection_(std::move(connection)) {}

  bool Prepare(size_t bytes, int slots, std::string* error) override {
    (void)error;
    slots_.Prepare(bytes, slots);
    return true;
  }

  bool Infer(int slot, std::string* error) override {
    const std::vector<float>& input = slots_.input(slot);
    std::vector<float>& output = slots_.output(slot);
    const size_t bytes = input.size() * sizeof(float);

    const zva::rpc::InferRequest request = PlainRequest(*connection_, input);

    grpc::ClientContext context;
    connection_->PrepareContext(&context);
    zva::rpc::InferResponse response;
    const grpc::Status status =
        connection_->stub()->Infer(&context, request, &response);
    if (!status.ok()) {
      *error = Describe(status);
      return false;
    }
    zva::rpc::mxnet::NDArray received;
    if (response.output_size() != 1 ||
        !received.ParseFromString(
            response.output(0).tensor().tensor_content()) ||
        received.data().size() != bytes) {
      *error = "unexpected Infer response";
      return false;
    }
    std::memcpy(output.data(), received.data().data(), bytes);
    return true;
  }

  bool Check(int slot) const override { return slots_.Check(slot); }

 private:
  std::unique_ptr<zvbench::RawConnection> connection_;
  FloatSlots slots_;
};

// ---- The lean floor ---------------------------------------------------------

// A length-delimited field of `length` bytes, tag included; every field
// number here is below 16.
size_t FieldSize(size_t length) {
  return 1 + WireFormatLite::LengthDelimitedSize(length);
}

void WriteLengthPrefix(CodedOutputStream* out, int field, size_t length) {
  out->WriteTag(WireFormatLite::MakeTag(
      field, WireFormatLite::WIRETYPE_LENGTH_DELIMITED));
  out->WriteVarint64(length);
}

// Walks the fields of the message that ends at the stream's current limit,
// hands the first length-delimited field `field` to `inner` with a limit at
// its end, and skips everything else. False when the message is malformed,
// lacks the field, or `inner` fails.
template <typename Inner>
bool ReadField(CodedInputStream* in, int field, const Inner& inner) {
  const uint32_t wanted = (static_cast<uint32_t>(field) << 3) | 2;
  bool seen = false;
  for (uint32_t tag = in->ReadTag(); tag != 0; tag = in->ReadTag()) {
    if (tag == wanted && !seen) {
      uint32_t length = 0;
      if (!in->ReadVarint32(&length)) return false;
      const CodedInputStream::Limit limit = in->PushLimit(length);
      if (!inner(in, length) || !in->Skip(in->BytesUntilLimit())) {
        return false;
      }
      in->PopLimit(limit);
      seen = true;
    } else if (!WireFormatLite::SkipField(in, tag)) {
      return false;
    }
  }
  return seen;
}

// The bytes of an InferRequest around its tensor data: `head` comes before
// the data, `tail` after it. The message is InferRequest{session{id},
// model_id, input{name, tensor{tensor_content = NDArray{data, shape,
// dtype FLOAT32 = 0, left out}}}}, its fields in number order as generated
// code writes them.
struct RequestFrame {
  std::string head;
  std::string tail;
};

RequestFrame FrameRequest(const std::string& session_id,
                          const std::string& model_id, size_t elements) {
  const size_t bytes = elements * sizeof(float);
  const size_t shape_size = CodedOutputStream::VarintSize64(elements);
  const size_t array_size = FieldSize(bytes) + FieldSize(shape_size);
  const size_t tensor_size = FieldSize(array_size);
  const size_t named_size =
      FieldSize(sizeof(kInputName) - 1) + FieldSize(tensor_size);
  RequestFrame frame;
  {
    StringOutputStream stream(&frame.head);
    CodedOutputStream head(&stream);
    WriteLengthPrefix(&head, 1, FieldSize(session_id.size()));
    WireFormatLite::WriteString(1, session_id, &head);
    WireFormatLite::WriteString(2, model_id, &head);
    WriteLengthPrefix(&head, 3, named_size);
    WireFormatLite::WriteString(1, kInputName, &head);
    WriteLengthPrefix(&head, 2, tensor_size);
    WriteLengthPrefix(&head, 1, array_size);
    WriteLengthPrefix(&head, 1, bytes);
  }
  {
    StringOutputStream stream(&frame.tail);
    CodedOutputStream tail(&stream);
    WriteLengthPrefix(&tail, 2, shape_size);
    tail.WriteVarint64(elements);
  }
  return frame;
}

class LeanFloorClient : public zvbench::InferClient {
 public:
  explicit LeanFloorClient(std::unique_ptr<zvbench::RawConnection> connection)
      : connection_(std::move(connection)),
        infer_("/zva.rpc.ZvaInference/Infer",
               grpc::internal::RpcMethod::NORMAL_RPC, connection_->channel()) {}

  // Also checks, outside any measurement, that the frame around the data
  // gives the bytes the generated code gives for the same request.
  bool Prepare(size_t bytes, int slots, std::string* error) override {
    slots_.Prepare(bytes, slots);
    const std::vector<float>& input = slots_.input(0);
    const RequestFrame frame = FrameRequest(
        connection_->session_id(), connection_->model_id(), input.size());
    const zva::rpc::InferRequest request = PlainRequest(*connection_, input);
    const std::string data(reinterpret_cast<const char*>(input.data()), bytes);
    if (request.SerializeAsString() != frame.head + data + frame.tail) {
      *error = "the lean floor's request differs from the generated one";
      return false;
    }
    return true;
  }

  bool Infer(int slot, std::string* error) override {
    const std::vector<float>& input = slots_.input(slot);
    std::vector<float>& output = slots_.output(slot);
    const size_t bytes = input.size() * sizeof(float);

    const RequestFrame frame = FrameRequest(
        connection_->session_id(), connection_->model_id(), input.size());
    const grpc::Slice slices[] = {
        grpc::Slice(frame.head),
        grpc::Slice(input.data(), bytes, grpc::Slice::STATIC_SLICE),
        grpc::Slice(frame.tail)};
    const grpc::ByteBuffer request(slices, 3);

    grpc::ClientContext context;
    connection_->PrepareContext(&context);
    grpc::ByteBuffer response;
    const grpc::Status status =
        grpc::internal::BlockingUnaryCall<grpc::ByteBuffer, grpc::ByteBuffer>(
            connection_->channel().get(), infer_, &context, request, &response);
    if (!status.ok()) {
      *error = Describe(status);
      return false;
    }

    // InferResponse.output[0].tensor.tensor_content, an NDArray whose data
    // goes straight into the caller's buffer.
    grpc::ProtoBufferReader reader(&response);
    CodedInputStream in(&reader);
    char* destination = reinterpret_cast<char*>(output.data());
    const auto copy_data = [destination, bytes](CodedInputStream* s,
                                                uint32_t length) {
      return length == bytes &&
             s->ReadRaw(destination, static_cast<int>(length));
    };
    const bool ok = ReadField(&in, 1, [&](CodedInputStream* named, uint32_t) {
      return ReadField(named, 2, [&](CodedInputStream* tensor, uint32_t) {
        return ReadField(tensor, 1, [&](CodedInputStream* array, uint32_t) {
          return ReadField(array, 1, copy_data);
        });
      });
    });
    if (!ok) {
      *error = "unexpected Infer response";
      return false;
    }
    return true;
  }

  bool Check(int slot) const override { return slots_.Check(slot); }

 private:
  std::unique_ptr<zvbench::RawConnection> connection_;
  const grpc::internal::RpcMethod infer_;
  FloatSlots slots_;
};

std::unique_ptr<zvbench::InferClient> MakeClient(
    const std::string& accelerator_id, const std::string& name,
    std::string* error) {
  if (name != "raw-stub" && name != "lean-floor") {
    *error = "unknown client " + name + " (raw-stub or lean-floor)";
    return nullptr;
  }
  zvbench::ServiceAddress address;
  if (!zvbench::AddressFromEnvironment(accelerator_id, &address, error)) {
    return nullptr;
  }
  auto connection = std::make_unique<zvbench::RawConnection>();
  if (!connection->Open(address, "mxnet", "bench-" + name, error)) {
    return nullptr;
  }
  if (name == "raw-stub") {
    return std::make_unique<RawStubClient>(std::move(connection));
  }
  return std::make_unique<LeanFloorClient>(std::move(connection));
}

// `idle SECONDS`: what the least client that keeps a session alive costs
// while it does nothing else: a keep-alive every 2 s with a 2 s deadline, as
// the library's default configuration has it, and sleep in between. Prints
// "ok <seconds> <CPU ns> <voluntary switches> <involuntary switches>".
int Idle(const std::string& accelerator_id, int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "idle") != 0) return -1;
  char* end = nullptr;
  const double seconds = argc == 3 ? std::strtod(argv[2], &end) : 0;
  if (argc != 3 || *end != '\0' || !(seconds > 0)) {
    std::fprintf(stderr, "Usage: %s idle SECONDS\n", argv[0]);
    return 2;
  }
  std::string error;
  zvbench::ServiceAddress address;
  zvbench::RawConnection connection;
  if (!zvbench::AddressFromEnvironment(accelerator_id, &address, &error) ||
      !connection.Open(address, "mxnet", "bench-idle", &error)) {
    std::printf("error %s\n", error.c_str());
    return 1;
  }
  constexpr std::chrono::milliseconds kInterval(2000);
  const zvbench::Usage before = zvbench::ReadUsage();
  const auto start = std::chrono::steady_clock::now();
  const auto stop =
      start + std::chrono::duration_cast<std::chrono::nanoseconds>(
                  std::chrono::duration<double>(seconds));
  for (auto next = start; next < stop; next += kInterval) {
    std::this_thread::sleep_until(std::min(next, stop));
    if (next >= stop) break;
    grpc::ClientContext context;
    connection.PrepareContext(&context);
    context.set_deadline(std::chrono::system_clock::now() + kInterval);
    zva::rpc::KeepAliveSessionRequest request;
    request.mutable_session()->set_session_id(connection.session_id());
    zva::rpc::KeepAliveSessionResponse response;
    const grpc::Status status =
        connection.stub()->KeepAliveSession(&context, request, &response);
    if (!status.ok()) {
      std::printf("error KeepAliveSession: %s\n",
                  status.error_message().c_str());
      return 1;
    }
  }
  std::this_thread::sleep_until(stop);
  zvbench::PrintIdleReport(before, start);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || std::strcmp(argv[1], "--accelerator-id") != 0) {
    std::fprintf(stderr,
                 "Usage: %s --accelerator-id ID --client NAME COMMAND ...\n",
                 argv[0]);
    return 2;
  }
  const std::string accelerator_id = argv[2];
  argv[2] = argv[0];
  const int status = zvbench::WorkerMain(
      argc - 2, argv + 2,
      [&accelerator_id](const std::string& name, std::string* error) {
        return MakeClient(accelerator_id, name, error);
      },
      [&accelerator_id](int argc, char** argv) {
        return Idle(accelerator_id, argc, argv);
      });
  // gRPC shuts down on a thread of its own once the last channel is gone;
  // exiting meanwhile would run the crypto library's exit clean-up under it.
  for (int i = 0; i < 500 && grpc_is_initialized() != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status;
}
