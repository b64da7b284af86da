#include "rpc/encoded_request.h"

#include <cstring>
#include <iterator>
#include <stdexcept>
#include <utility>

#include <grpcpp/impl/client_unary_call.h>

#include "zva/rpc/zva_service.pb.h"

namespace grpc {

// An encoded request goes out as the byte buffer it already is.
template <>
class SerializationTraits<zva::wire::EncodedRequest, void> {
 public:
  static Status Serialize(const zva::wire::EncodedRequest& request,
                          ByteBuffer* buffer, bool* own_buffer) {
    ByteBuffer encoded = request.ToByteBuffer();
    buffer->Swap(&encoded);
    *own_buffer = true;
    return Status::OK;
  }
};

}  // namespace grpc

template class RPCExecutor<zva::wire::EncodedRequest, grpc::ByteBuffer,
                           kMaxRpcAttempts, zva::wire::WireStub>;

namespace zva {
namespace wire {

namespace {

// The head is written before the body, so the session must be the first
// field of both requests.
static_assert(rpc::InferRequest::kSessionFieldNumber == 1 &&
                  rpc::LoadModelRequest::kSessionFieldNumber == 1,
              "the session field must come first");

// The paths of the generated methods.
constexpr char kInferPath[] = "/zva.rpc.ZvaInference/Infer";
constexpr char kLoadModelPath[] = "/zva.rpc.ZvaInference/LoadModel";

}  // namespace

Loan::~Loan() {
  std::unique_lock<std::mutex> lock(mtx_);
  returned_.wait(lock, [this] { return outstanding_ == 0; });
}

grpc::Slice Loan::Lend(const void* data, size_t size) {
  {
    std::lock_guard<std::mutex> lock(mtx_);
    ++outstanding_;
  }
  // gRPC never writes to the slices of a message it sends.
  return grpc::Slice(const_cast<void*>(data), size, &Loan::Return, this);
}

size_t Loan::Outstanding() const {
  std::lock_guard<std::mutex> lock(mtx_);
  return outstanding_;
}

void Loan::Return(void* loan) {
  auto* self = static_cast<Loan*>(loan);
  // Notified under the lock: the destructor cannot see the count reach 0,
  // and free the loan, before this is done with it.
  std::lock_guard<std::mutex> lock(self->mtx_);
  if (--self->outstanding_ == 0) self->returned_.notify_all();
}

EncodedRequest::EncodedRequest(Bytes bytes)
    : slices_(1),
      loan_(bytes == Bytes::kLent ? std::make_unique<Loan>() : nullptr) {}

EncodedRequest::~EncodedRequest() {
  slices_.clear();
  loan_.reset();
}

void EncodedRequest::SetSessionId(const std::string& session_id) {
  // The session message as the first field. An empty identifier leaves it
  // empty, as protobuf writes it.
  constexpr uint32_t kSession = rpc::InferRequest::kSessionFieldNumber;
  constexpr uint32_t kId = rpc::Session::kSessionIdFieldNumber;
  const size_t session_size =
      session_id.empty() ? 0 : FieldSize(kId, session_id.size());
  SliceWriter writer(FieldSize(kSession, session_size), nullptr);
  writer.Prefix(kSession, session_size);
  if (!session_id.empty()) {
    writer.Prefix(kId, session_id.size());
    writer.Raw(session_id.data(), session_id.size());
  }
  slices_[0] = std::move(writer.Finish().front());
}

void EncodedRequest::SetBody(std::vector<grpc::Slice> body) {
  slices_.resize(1);
  slices_.insert(slices_.end(), std::make_move_iterator(body.begin()),
                 std::make_move_iterator(body.end()));
}

grpc::ByteBuffer EncodedRequest::ToByteBuffer() const {
  return grpc::ByteBuffer(slices_.data(), slices_.size());
}

void StampSession(EncodedRequest* request, const std::string& session_id) {
  request->SetSessionId(session_id);
}

SliceWriter::SliceWriter(size_t owned_size, Loan* loan)
    : loan_(loan), owned_(grpc_slice_malloc(owned_size)) {
  // A small slice keeps its bytes inside owned_ itself, which stays where it
  // is: the writer is never moved.
  begin_ = cut_ = cursor_ = GRPC_SLICE_START_PTR(owned_);
  end_ = begin_ + owned_size;
}

SliceWriter::~SliceWriter() { grpc_slice_unref(owned_); }

void SliceWriter::Tag(uint32_t number, WireType type) {
  Varint((uint64_t{number} << 3) | type);
}

void SliceWriter::Varint(uint64_t value) {
  WriteVarint(value, Reserve(VarintSize(value)));
}

void SliceWriter::Prefix(uint32_t number, size_t size) {
  Tag(number, kLengthDelimited);
  Varint(size);
}

void SliceWriter::Raw(const void* data, size_t size) {
  if (size > 0) std::memcpy(Reserve(size), data, size);
}

void SliceWriter::Bytes(const void* data, size_t size) {
  if (!Lends(loan_, size)) {
    Raw(data, size);
    return;
  }
  Cut();
  slices_.push_back(loan_->Lend(data, size));
}

std::vector<grpc::Slice> SliceWriter::Finish() {
  if (cursor_ != end_) {
    throw std::logic_error("request encoding is shorter than its size");
  }
  Cut();
  return std::move(slices_);
}

uint8_t* SliceWriter::Reserve(size_t size) {
  if (size > static_cast<size_t>(end_ - cursor_)) {
    throw std::logic_error("request encoding overruns its size");
  }
  uint8_t* at = cursor_;
  cursor_ += size;
  return at;
}

void SliceWriter::Cut() {
  if (cursor_ == cut_) return;
  slices_.emplace_back(
      grpc_slice_sub(owned_, static_cast<size_t>(cut_ - begin_),
                     static_cast<size_t>(cursor_ - begin_)),
      grpc::Slice::STEAL_REF);
  cut_ = cursor_;
}

WireStub::WireStub(const std::shared_ptr<grpc::Channel>& channel)
    : channel_(channel),
      infer_(kInferPath, grpc::internal::RpcMethod::NORMAL_RPC, channel),
      load_model_(kLoadModelPath, grpc::internal::RpcMethod::NORMAL_RPC,
                  channel) {}

grpc::Status WireStub::Infer(grpc::ClientContext* context,
                             const EncodedRequest& request,
                             grpc::ByteBuffer* response) {
  return grpc::internal::BlockingUnaryCall<EncodedRequest, grpc::ByteBuffer>(
      channel_.get(), infer_, context, request, response);
}

grpc::Status WireStub::LoadModel(grpc::ClientContext* context,
                                 const EncodedRequest& request,
                                 grpc::ByteBuffer* response) {
  return grpc::internal::BlockingUnaryCall<EncodedRequest, grpc::ByteBuffer>(
      channel_.get(), load_model_, context, request, response);
}

}  // namespace wire
}  // namespace zva
