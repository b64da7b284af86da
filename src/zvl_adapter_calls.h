#ifndef ZVA_ZVL_ADAPTER_CALLS_H_
#define ZVA_ZVL_ADAPTER_CALLS_H_

// The model calls both framework adapters make the same way: each runs one
// executor on `channel` under the operation name `method_name` (which also
// decides what failures are ignored) and returns what the executor returns;
// a channel that no accelerator owns gives 1 with no call. Thread-safe.

#include <map>
#include <string>
#include <vector>

#include <grpcpp/channel.h>

#include "zva/rpc/zva_service.grpc.pb.h"

namespace zva {

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
