#ifndef ZVA_RPC_ENCODED_REQUEST_H_
#define ZVA_RPC_ENCODED_REQUEST_H_

// Requests the library encodes itself, so that tensor bytes go out without
// a copy and an encoding serves every attempt of a call: Infer, whose
// tensors stay in the caller's memory, and LoadModel, whose request a model
// keeps, encoded once, for reloads (tensor_codec.h writes the bodies). The
// calls go out on the generated methods' paths with gRPC byte buffers in
// place of messages, through the same executor as every other call.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <grpc/slice.h>
#include <grpcpp/channel.h>
#include <grpcpp/client_context.h>
#include <grpcpp/impl/rpc_method.h>
#include <grpcpp/support/byte_buffer.h>
#include <grpcpp/support/slice.h>
#include <grpcpp/support/status.h>

#include "rpc/executor.h"
#include "rpc/wire_format.h"

namespace zva {
namespace wire {

// Bytes fields of fewer bytes are copied even into a request that lends:
// below this, copying costs less than a slice's reference count and its
// release.
inline constexpr size_t kMinLentBytes = 4096;

// Lends the caller's memory to gRPC for one call, as slices that point at
// it, and waits, when destroyed, until gRPC has let go of every one.
//
// Why not static slices: the caller's buffers are borrowed only for the
// duration of its call, but gRPC's references to the slices of a request
// can outlive the call. The stream of a cancelled or timed-out call is
// destroyed asynchronously, and the transport keeps the slices of a socket
// write in flight until the socket has taken them. These slices count their
// references and report the last one. The wait is short while the peer
// reads its socket: a write in flight holds no more than the peer's
// flow-control window admitted, and a finished stream frees its buffers.
// Only a peer that stops reading but keeps the connection open makes it
// last, until the connection breaks.
//
// Thread-safe: gRPC releases slices from its own threads.
class Loan {
 public:
  Loan() = default;
  // Waits until every lent slice is released.
  ~Loan();
  Loan(const Loan&) = delete;
  Loan& operator=(const Loan&) = delete;

  // A slice of the `size` bytes at `data`, which gRPC only reads. The
  // memory must stay valid until this loan is destroyed.
  grpc::Slice Lend(const void* data, size_t size);
  // Slices lent and not yet released.
  size_t Outstanding() const;

 private:
  static void Return(void* loan);

  // State below is protected by mtx_.
  mutable std::mutex mtx_;
  std::condition_variable returned_;
  size_t outstanding_ = 0;
};

// An encoded request message: the session field first, encoded again for
// every attempt, then the body, encoded once. Protobuf writes fields in the
// order of their numbers and the session is field 1 of both requests, so
// the head is the only part a new session changes.
//
// Not thread-safe: one thread at a time. (The load request a model keeps is
// used under the reload lock.)
class EncodedRequest {
 public:
  enum class Bytes {
    kCopied,  // every byte in memory of the request's own
    kLent,    // big bytes fields point at the caller's memory
  };

  explicit EncodedRequest(Bytes bytes = Bytes::kCopied);
  // A lending request waits until gRPC has let go of the caller's memory.
  ~EncodedRequest();
  EncodedRequest(EncodedRequest&&) noexcept = default;
  EncodedRequest& operator=(EncodedRequest&&) noexcept = default;

  // Encodes the session field again; the body stays as it is. Until the
  // first call the request has no session field.
  void SetSessionId(const std::string& session_id);
  // Replaces the body.
  void SetBody(std::vector<grpc::Slice> body);
  // The loan of a lending request; null for a copying one.
  Loan* loan() const { return loan_.get(); }

  // The message as one byte buffer: references to this request's slices,
  // no copy.
  grpc::ByteBuffer ToByteBuffer() const;
  // The session field, then the body's slices.
  const std::vector<grpc::Slice>& slices() const { return slices_; }

 private:
  // Declared before the loan, so that a move releases the slices before the
  // loan waits for gRPC's; the destructor does the same.
  std::vector<grpc::Slice> slices_;
  std::unique_ptr<Loan> loan_;
};

// The executor stamps each attempt's session through this.
void StampSession(EncodedRequest* request, const std::string& session_id);

// Writes the body of a request: the bytes the request owns go into one
// buffer allocated up front, cut into slices around the bytes fields that
// are lent. One thread uses an instance.
class SliceWriter {
 public:
  // Whether a bytes field of `size` bytes is lent, with `loan` (never
  // without one).
  static bool Lends(const Loan* loan, size_t size) {
    return loan != nullptr && size >= kMinLentBytes;
  }

  // `owned_size`: the bytes the writes will add, all but the lent ones.
  SliceWriter(size_t owned_size, Loan* loan);
  ~SliceWriter();
  SliceWriter(const SliceWriter&) = delete;
  SliceWriter& operator=(const SliceWriter&) = delete;

  void Tag(uint32_t number, WireType type);
  void Varint(uint64_t value);
  // The tag and length of a length-delimited field of `size` bytes.
  void Prefix(uint32_t number, size_t size);
  // Bytes copied into the request.
  void Raw(const void* data, size_t size);
  // The content of a bytes field: lent when Lends(), otherwise copied.
  void Bytes(const void* data, size_t size);
  // The body. Throws std::logic_error when the writes did not add exactly
  // `owned_size` bytes (they never write beyond them).
  std::vector<grpc::Slice> Finish();

 private:
  // Room for `size` more owned bytes, or std::logic_error.
  uint8_t* Reserve(size_t size);
  // Ends the current slice of owned bytes.
  void Cut();

  Loan* loan_;
  grpc_slice owned_;
  uint8_t* begin_;
  uint8_t* cut_;     // where the current slice of owned bytes starts
  uint8_t* cursor_;  // where the next owned byte goes
  uint8_t* end_;
  std::vector<grpc::Slice> slices_;
};

// The Infer and LoadModel calls with encoded requests; the answers come as
// they were received. Thread-safe, like a generated stub.
class WireStub {
 public:
  explicit WireStub(const std::shared_ptr<grpc::Channel>& channel);

  grpc::Status Infer(grpc::ClientContext* context,
                     const EncodedRequest& request, grpc::ByteBuffer* response);
  grpc::Status LoadModel(grpc::ClientContext* context,
                         const EncodedRequest& request,
                         grpc::ByteBuffer* response);

 private:
  std::shared_ptr<grpc::Channel> channel_;
  const grpc::internal::RpcMethod infer_;
  const grpc::internal::RpcMethod load_model_;
};

}  // namespace wire
}  // namespace zva

// Infer and LoadModel executions of encoded requests.
using EncodedExecutor = RPCExecutor<zva::wire::EncodedRequest, grpc::ByteBuffer,
                                    kMaxRpcAttempts, zva::wire::WireStub>;
extern template class RPCExecutor<zva::wire::EncodedRequest, grpc::ByteBuffer,
                                  kMaxRpcAttempts, zva::wire::WireStub>;

#endif  // ZVA_RPC_ENCODED_REQUEST_H_
