#include "rpc/executor.h"

// The six executions are compiled once, here, rather than in every adapter.
template class RPCExecutor<zva::rpc::LoadModelRequest,
                           zva::rpc::LoadModelResponse, kMaxRpcAttempts>;
template class RPCExecutor<zva::rpc::UnloadModelRequest,
                           zva::rpc::UnloadModelResponse, kMaxRpcAttempts>;
template class RPCExecutor<zva::rpc::ListModelsRequest,
                           zva::rpc::ListModelsResponse, kMaxRpcAttempts>;
template class RPCExecutor<zva::rpc::GetOperatorWhitelistRequest,
                           zva::rpc::GetOperatorWhitelistResponse,
                           kMaxRpcAttempts>;
template class RPCExecutor<zva::rpc::PostGraphStatsRequest,
                           zva::rpc::PostGraphStatsResponse, kMaxRpcAttempts>;
template class RPCExecutor<zva::rpc::InferRequest, zva::rpc::InferResponse,
                           kMaxRpcAttempts>;
