#include "zvl_adapter_calls.h"

#include "log_stream.h"
#include "zvl_rpc_executor.h"
#include "zvl_rpcstatus.h"
#include "zvl_util.h"
#include "zvl_wire_transform.h"

namespace zva {

using Stub = zva::rpc::ZvaInference::Stub;
using Config = zva::config::ClientLibraryConfig;

int ReportAdapterFailure(grpc::Channel* channel, const std::string& method_name,
                         int code, const std::string& reason) {
  logger::CLogger log;
  log << method_name << " Failed: " << reason << "\n" << logger::ERROR;
  Accelerator* accelerator = AcceleratorOfChannel(channel);
  util::SetLastError(util::GenerateLastErrorMessage(
      ZvaRpcStatus(code, reason, std::string()), std::string(),
      accelerator != nullptr ? accelerator->GetAcceleratorID()
                             : std::string()));
  return code;
}

int ListModelsOnChannel(grpc::Channel* channel, Stub* stub,
                        const std::string& method_name) {
  zva::rpc::ListModelsRequest request;
  zva::rpc::ListModelsResponse response;
  return ExecuteOnChannel(channel, stub, &Stub::ListModels, method_name,
                          &request, &response, &Config::list_model_timeout);
}

int UnloadModelOnChannel(grpc::Channel* channel, Stub* stub,
                         const std::string& method_name,
                         const std::string& model_id) {
  zva::rpc::UnloadModelRequest request;
  zva::rpc::UnloadModelResponse response;
  request.set_model_id(model_id);
  return ExecuteOnChannel(channel, stub, &Stub::UnloadModel, method_name,
                          &request, &response, &Config::unload_model_timeout);
}

int PostGraphStatsOnChannel(
    grpc::Channel* channel, Stub* stub, const std::string& method_name,
    const std::map<std::string, std::vector<std::string>>& stats) {
  zva::rpc::PostGraphStatsRequest request;
  zva::rpc::PostGraphStatsResponse response;
  util::BuildRpcGraphStats(stats, request.mutable_graph_stats());
  return ExecuteOnChannel(channel, stub, &Stub::PostGraphStats, method_name,
                          &request, &response,
                          &Config::post_graph_stats_timeout);
}

}  // namespace zva
