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
#include <memory>
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

  // With a problem, reports it for `method_name` as ReportAdapterFailure
  // does with kTensorFormatError and returns that code; without, kOk.
  int Report(grpc::Channel* channel, const std::string& method_name) const;

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

// The operation's name that both adapters log and report under:
// "[" + `adapter` + "][" + `function_code` + "]".
std::string AdapterOperationName(const char* adapter,
                                 const std::string& function_code);

// Stubs on `channel`, or null without one: a stub on a null channel would
// crash at its first call, and operations on such an adapter report the
// missing accelerator instead.
std::unique_ptr<zva::rpc::ZvaInference::Stub> NewInferenceStub(
    const std::shared_ptr<grpc::Channel>& channel);
std::unique_ptr<wire::WireStub> NewWireStub(
    const std::shared_ptr<grpc::Channel>& channel);

// The adapter operations that both adapters run alike, as the operation
// AdapterOperationName(`adapter`, ...): each logs its name at INFO, runs
// its call, and turns any exception into a code by ReportCaughtException.
int ListModelsAs(grpc::Channel* channel, zva::rpc::ZvaInference::Stub* stub,
                 const char* adapter);

int PostGraphStatsAs(
    grpc::Channel* channel, zva::rpc::ZvaInference::Stub* stub,
    const char* adapter,
    const std::map<std::string, std::vector<std::string>>& stats);

using OperatorList = google::protobuf::RepeatedPtrField<zva::rpc::Operator>;

// Without `output_given`, reports `null_argument` (each adapter has its own
// text) with kInternalError and asks nothing; on success `take` gets the
// operators.
int GetOperatorWhitelistAs(
    grpc::Channel* channel, zva::rpc::ZvaInference::Stub* stub,
    const char* adapter, const char* null_argument, bool output_given,
    const std::function<void(const OperatorList&)>& take);

// Loads the model of `request` as `method_name`; on success `hand_out` is
// called, and may take the request over: it now also holds the session the
// executor stamped, encoded as it went out, for the model's reloads.
int LoadModelOnChannel(grpc::Channel* channel, wire::WireStub* wire_stub,
                       const std::string& method_name,
                       wire::EncodedRequest* request,
                       const std::function<void()>& hand_out);

// A model's destructor: unloads `model_id` unless no accelerator owns
// `channel` any longer, logging the unload's name and the id first when
// `announce`. Never throws; a failure has been logged and recorded, and a
// destructor has no one to report it to.
void UnloadOnModelDestruction(grpc::Channel* channel,
                              zva::rpc::ZvaInference::Stub* stub,
                              const char* adapter, const std::string& model_id,
                              bool announce) noexcept;

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

// An adapter's inference, as the operation AdapterOperationName(`adapter`,
// INFER): logs the model id at INFO, reports `null_argument` with
// kInternalError without `output_given`, lets `encode` check and encode the
// request (returning kOk, or the code it has reported), logs the model id
// again when `announce_request`, then runs InferOnChannel with `decode`.
// Any exception becomes a code by ReportCaughtException.
int InferAs(grpc::Channel* channel, const char* adapter,
            const LoadedModel& model, const char* null_argument,
            bool output_given, bool announce_request,
            const std::function<int(const std::string& method_name,
                                    wire::EncodedRequest* request)>& encode,
            const std::function<void(const grpc::ByteBuffer&)>& decode);

}  // namespace zva

#endif  // ZVA_ADAPTERS_ADAPTER_CALLS_H_
