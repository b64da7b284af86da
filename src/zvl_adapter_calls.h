#ifndef ZVA_ZVL_ADAPTER_CALLS_H_
#define ZVA_ZVL_ADAPTER_CALLS_H_

// The model calls both framework adapters make the same way: each runs one
// executor on `channel` under the operation name `method_name` (which also
// decides what failures are ignored) and returns what the executor returns;
// a channel that no accelerator owns gives 1 with no call. Thread-safe.

#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <grpcpp/channel.h>

#include "zva/rpc/zva_service.grpc.pb.h"

#include "zva/zva_mxnet.h"

namespace zva {

// What an adapter operation checks of the request it is about to build, so
// that a request the service could never receive fails at once instead of
// after the executor's retries: a required identifier must not be empty, and
// every string field must be valid UTF-8, since protobuf refuses anything
// else in a string field. Reads names and sizes only, no tensor data. Each
// check after the first problem does nothing. One thread uses an instance.
class RequestCheck {
 public:
  // A required identifier, such as a model id: not empty, valid UTF-8.
  RequestCheck& Identifier(const char* what, const std::string& value);
  // Any other string field: valid UTF-8.
  RequestCheck& Text(const char* what, const std::string& value);
  RequestCheck& Texts(const char* what, const std::vector<std::string>& values);
  // Framework tensors under their names.
  RequestCheck& Tensors(
      const std::unordered_map<std::string, mxnet::MXTensor>& tensors);
  // Serialized tensors under their names; the bytes are never inspected.
  RequestCheck& NamedBytes(
      const std::vector<std::pair<std::string, std::string>>& tensors);

  // The first problem found, for the log and the last error; empty when the
  // request may be built and sent.
  const std::string& problem() const { return problem_; }

 private:
  std::string problem_;
};

// Reports a failure that an adapter operation finds before or after its call
// (a null argument, a tensor the wire cannot carry): logs `method_name` +
// " Failed: " + `reason` at ERROR, sets the thread's last-error text for
// `code`, naming the accelerator of `channel` if one owns it, and returns
// `code`.
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

}  // namespace zva

#endif  // ZVA_ZVL_ADAPTER_CALLS_H_
