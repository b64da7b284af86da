#ifndef ZVA_ADAPTERS_ADAPTER_CALLS_H_
#define ZVA_ADAPTERS_ADAPTER_CALLS_H_

// The model calls both framework adapters make the same way: each runs one
// executor on `channel` under the operation name `method_name` (which also
// decides what failures are ignored) and returns what the executor returns;
// a channel that no accelerator owns gives kInternalError with no call.
// Thread-safe.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <grpcpp/channel.h>

#include "zva/rpc/zva_service.grpc.pb.h"

#include "platform/log_stream.h"
#include "rpc/encoded_request.h"
#include "zva/zva_mxnet.h"

namespace zva {

// What an adapter operation checks of the request it is about to build, so
// that a request the service could never receive fails at once, before
// anything is copied, instead of after the executor's retries: a required
// identifier must not be empty, every string field must be valid UTF-8
// (protobuf refuses anything else in a string field), and the whole request
// must stay within kMaxWireMessageBytes. Reads names and sizes only, no
// tensor data. Each check after the first problem does nothing. One thread
// uses an instance.
class RequestCheck {
 public:
  // Room for what the request gets besides the fields checked here: the
  // session identifier the executor stamps and the small fixed fields.
  static constexpr int64_t kRequestEnvelopeBytes = 4096;

  // A required identifier, such as a model id: not empty, valid UTF-8.
  RequestCheck& Identifier(const char* what, const std::string& value);
  // Any other string field: valid UTF-8.
  RequestCheck& Text(const char* what, const std::string& value);
  RequestCheck& Texts(const char* what, const std::vector<std::string>& values);
  // A bytes field of `size` bytes, never inspected.
  RequestCheck& Bytes(size_t size);
  // Framework tensors under their names; a tensor that the wire transform
  // rejects (unknown type, shape out of bounds) is the problem `malformed`.
  RequestCheck& Tensors(
      const std::unordered_map<std::string, mxnet::MXTensor>& tensors,
      const char* malformed);
  // Serialized tensors under their names; the bytes are never inspected.
  RequestCheck& NamedBytes(
      const std::vector<std::pair<std::string, std::string>>& tensors);

  // The first problem found, for the log and the last error; empty when the
  // request may be built and sent.
  const std::string& problem() const { return problem_; }

 private:
  // Counts `bytes` more on the wire; past the limit, that is the problem.
  void Add(int64_t bytes);

  std::string problem_;
  // An upper bound of the request's size so far, kept from growing far
  // beyond the limit.
  int64_t wire_bytes_ = kRequestEnvelopeBytes;
};

// Runs in a catch handler at an adapter operation's boundary, so that no
// exception crosses the interface: allocation failure (a tensor larger than
// the memory left, say) and any other exception give kInternalError, and a
// code thrown as an int gives what ReportAdapterFailure makes of it, with
// the log line and the thread's last error of ReportAdapterFailure for the
// operation "[" + `adapter` + "][" + `function_code` + "]".
int ReportCaughtException(grpc::Channel* channel, const char* adapter,
                          const std::string& function_code) noexcept;

// Reports a failure that an adapter operation finds before or after its call
// (a null argument, a tensor the wire cannot carry): logs `method_name` +
// " Failed: " + `reason` at ERROR, sets the thread's last-error text for
// `code`, naming the accelerator of `channel` if one owns it, and returns
// the code that text shows: `code`, or kInternalError for kOk, since a
// failure is never reported as success.
int ReportAdapterFailure(grpc::Channel* channel, const std::string& method_name,
                         int code, const std::string& reason);

int ListModelsOnChannel(grpc::Channel* channel,
                        zva::rpc::ZvaInference::Stub* stub,
                        const std::string& method_name);

int UnloadModelOnChannel(grpc::Channel* channel,
                         zva::rpc::ZvaInference::Stub* stub,
                         const std::string& method_name,
                         const std::string& model_id);

int PostGraphStatsOnChannel(
    grpc::Channel* channel, zva::rpc::ZvaInference::Stub* stub,
    const std::string& method_name,
    const std::map<std::string, std::vector<std::string>>& stats);

// What an inference needs of the model it runs on; nothing is owned.
struct LoadedModel {
  const std::string& model_id;
  // Encoded once, for reloads; written by them under the reload lock.
  wire::EncodedRequest& load_request;
  zva::rpc::ZvaInference::Stub* stub;
  wire::WireStub* wire_stub;
};

// One inference of `request` on `model`, as both adapters run it: the
// executor with the deadline infer_timeout and the model's reload handler,
// then `decode` of the answer, which throws an int code for one it refuses
// (reported as "Output tensor format incorrect"). On success, `log` (the
// operation's logger) gets the [PROFILE] line and the result is 0.
int InferOnChannel(grpc::Channel* channel, const std::string& method_name,
                   const LoadedModel& model, wire::EncodedRequest* request,
                   const std::function<void(const grpc::ByteBuffer&)>& decode,
                   logger::CLogger& log);

}  // namespace zva

#endif  // ZVA_ADAPTERS_ADAPTER_CALLS_H_
