// Sessions and models: the session-scoped methods of the service, session
// expiry, and what tests read and reset of both.

#include "core_internal.h"

namespace zvsim {
namespace {

using std::chrono::milliseconds;

grpc::Status SessionNotFound() {
  return Fail(grpc::StatusCode::NOT_FOUND, "12 session not found");
}

grpc::Status ModelNotFound() {
  return Fail(grpc::StatusCode::NOT_FOUND, "9 model not found");
}

// Tops and memory (MiB) of a type; the second generation doubles both.
std::pair<int, int> Capacity(const std::string& type) {
  int tops = 8;
  int memory = 2048;
  if (type.size() > 5 && type.compare(type.size() - 6, 6, "xlarge") == 0) {
    tops = 32;
    memory = 8192;
  } else if (type.size() > 4 &&
             type.compare(type.size() - 5, 5, "large") == 0) {
    tops = 16;
    memory = 4096;
  }
  if (type.rfind("zva2.", 0) == 0) {
    tops *= 2;
    memory *= 2;
  }
  return {tops, memory};
}

}  // namespace

grpc::Status Core::DoInitSession(CallRecord* call,
                                 const zva::rpc::InitSessionRequest& request,
                                 zva::rpc::InitSessionResponse* response) {
  if (!request.zva_id().empty() && request.zva_id() != call->accelerator_id) {
    return Fail(grpc::StatusCode::INVALID_ARGUMENT,
                "16 accelerator id invalid");
  }
  Session session;
  session.info.session_id = "sess-" + RandomHex(24);
  session.info.accelerator_id = call->accelerator_id;
  session.info.peer = call->peer;
  session.info.config = request.session_config();
  session.last_seen = NowLocked();
  response->mutable_session()->set_session_id(session.info.session_id);
  sessions_[session.info.session_id] = std::move(session);
  return grpc::Status::OK;
}

grpc::Status Core::DoReconnectSession(
    CallRecord* call, const zva::rpc::ReconnectSessionRequest& request,
    zva::rpc::ReconnectSessionResponse*) {
  if (!request.zva_id().empty() && request.zva_id() != call->accelerator_id) {
    return Fail(grpc::StatusCode::INVALID_ARGUMENT,
                "16 accelerator id invalid");
  }
  Session* session =
      FindSessionLocked(request.session().session_id(), call->accelerator_id);
  if (session == nullptr) return SessionNotFound();
  session->last_seen = NowLocked();
  session->info.peer = call->peer;
  return grpc::Status::OK;
}

grpc::Status Core::DoKeepAliveSession(
    CallRecord* call, const zva::rpc::KeepAliveSessionRequest& request,
    zva::rpc::KeepAliveSessionResponse*) {
  Session* session =
      FindSessionLocked(request.session().session_id(), call->accelerator_id);
  if (session == nullptr) return SessionNotFound();
  session->last_seen = NowLocked();
  return grpc::Status::OK;
}

grpc::Status Core::DoDestroySession(
    CallRecord* call, const zva::rpc::DestroySessionRequest& request,
    zva::rpc::DestroySessionResponse*) {
  if (FindSessionLocked(request.session().session_id(), call->accelerator_id) ==
      nullptr) {
    return SessionNotFound();
  }
  sessions_.erase(request.session().session_id());
  return grpc::Status::OK;
}

grpc::Status Core::DoLoadModel(CallRecord* call,
                               const zva::rpc::LoadModelRequest& request,
                               zva::rpc::LoadModelResponse* response) {
  if (FindSessionLocked(request.session().session_id(), call->accelerator_id) ==
      nullptr) {
    return SessionNotFound();
  }
  if (request.model_id().empty()) {
    return Fail(grpc::StatusCode::INVALID_ARGUMENT, "60 model id empty");
  }
  accelerators_[call->accelerator_id].models[request.model_id()] =
      request.model_spec();
  response->mutable_model_info()->set_model_id(request.model_id());
  return grpc::Status::OK;
}

grpc::Status Core::DoInfer(CallRecord* call,
                           const zva::rpc::InferRequest& request,
                           zva::rpc::InferResponse* response) {
  if (FindSessionLocked(request.session().session_id(), call->accelerator_id) ==
      nullptr) {
    return SessionNotFound();
  }
  const auto& models = accelerators_[call->accelerator_id].models;
  if (models.count(request.model_id()) == 0) return ModelNotFound();
  for (int i = 0; i < request.input_size(); ++i) {
    zva::rpc::NamedTensor* out = response->add_output();
    out->set_name(i < request.output_name_size() ? request.output_name(i)
                                                 : request.input(i).name());
    *out->mutable_tensor() = request.input(i).tensor();
  }
  return grpc::Status::OK;
}

grpc::Status Core::DoUnloadModel(CallRecord* call,
                                 const zva::rpc::UnloadModelRequest& request,
                                 zva::rpc::UnloadModelResponse* response) {
  if (FindSessionLocked(request.session().session_id(), call->accelerator_id) ==
      nullptr) {
    return SessionNotFound();
  }
  auto& models = accelerators_[call->accelerator_id].models;
  if (models.erase(request.model_id()) == 0) return ModelNotFound();
  response->set_model_id(request.model_id());
  return grpc::Status::OK;
}

grpc::Status Core::DoListModels(CallRecord* call,
                                const zva::rpc::ListModelsRequest& request,
                                zva::rpc::ListModelsResponse* response) {
  if (FindSessionLocked(request.session().session_id(), call->accelerator_id) ==
      nullptr) {
    return SessionNotFound();
  }
  for (const auto& entry : accelerators_[call->accelerator_id].models) {
    response->add_model_info()->set_model_id(entry.first);
  }
  return grpc::Status::OK;
}

grpc::Status Core::DoGetZvaInfo(CallRecord* call,
                                const zva::rpc::GetZvaInfoRequest& request,
                                zva::rpc::GetZvaInfoResponse* response) {
  const std::string& id =
      request.zva_id().empty() ? call->accelerator_id : request.zva_id();
  auto it = accelerators_.find(id);
  if (it == accelerators_.end()) {
    return Fail(grpc::StatusCode::NOT_FOUND, "21 accelerator id not found");
  }
  const auto capacity = Capacity(it->second.desc.type);
  zva::rpc::ZvaInfo* info = response->mutable_zva_info();
  info->set_zva_id(id);
  info->set_tops(capacity.first);
  info->set_memory(capacity.second);
  info->set_model_type(it->second.desc.type);
  info->set_health_state(it->second.healthy ? zva::rpc::HEALTHY
                                            : zva::rpc::UNHEALTHY);
  return grpc::Status::OK;
}

grpc::Status Core::DoPing(CallRecord* call, const zva::rpc::PingRequest&,
                          zva::rpc::PingResponse* response) {
  response->set_health_state(accelerators_[call->accelerator_id].healthy
                                 ? zva::rpc::HEALTHY
                                 : zva::rpc::UNHEALTHY);
  return grpc::Status::OK;
}

grpc::Status Core::DoGetOperatorWhitelist(
    CallRecord* call, const zva::rpc::GetOperatorWhitelistRequest& request,
    zva::rpc::GetOperatorWhitelistResponse* response) {
  if (FindSessionLocked(request.session().session_id(), call->accelerator_id) ==
      nullptr) {
    return SessionNotFound();
  }
  for (const std::string& name : operator_whitelist_) {
    response->add_operator_()->set_operator_name(name);
  }
  return grpc::Status::OK;
}

grpc::Status Core::DoPostGraphStats(
    CallRecord* call, const zva::rpc::PostGraphStatsRequest& request,
    zva::rpc::PostGraphStatsResponse*) {
  if (FindSessionLocked(request.session().session_id(), call->accelerator_id) ==
      nullptr) {
    return SessionNotFound();
  }
  graph_stats_.push_back({call->accelerator_id, request.session().session_id(),
                          request.graph_stats()});
  return grpc::Status::OK;
}

Core::Session* Core::FindSessionLocked(const std::string& id,
                                       const std::string& accel) {
  auto it = sessions_.find(id);
  if (it == sessions_.end()) return nullptr;
  if (NowLocked() - it->second.last_seen > session_expiry_) {
    sessions_.erase(it);
    return nullptr;
  }
  // Another accelerator's session is as good as unknown here.
  if (it->second.info.accelerator_id != accel) return nullptr;
  return &it->second;
}

void Core::ExpireSessionsLocked() {
  const auto now = NowLocked();
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (now - it->second.last_seen > session_expiry_) {
      it = sessions_.erase(it);
    } else {
      ++it;
    }
  }
}

void Core::DropAllSessions() {
  std::lock_guard<std::mutex> lock(mtx_);
  sessions_.clear();
}

void Core::ForgetAllModels() {
  std::lock_guard<std::mutex> lock(mtx_);
  for (auto& entry : accelerators_) entry.second.models.clear();
}

void Core::SetSessionExpiry(milliseconds expiry) {
  std::lock_guard<std::mutex> lock(mtx_);
  session_expiry_ = expiry;
}

void Core::SetOperatorWhitelist(std::vector<std::string> operators) {
  std::lock_guard<std::mutex> lock(mtx_);
  operator_whitelist_ = std::move(operators);
}

std::vector<SessionInfo> Core::Sessions() {
  std::lock_guard<std::mutex> lock(mtx_);
  ExpireSessionsLocked();
  std::vector<SessionInfo> out;
  for (const auto& entry : sessions_) out.push_back(entry.second.info);
  return out;
}

std::vector<std::string> Core::Models(const std::string& accel) const {
  std::lock_guard<std::mutex> lock(mtx_);
  std::vector<std::string> out;
  auto it = accelerators_.find(accel);
  if (it == accelerators_.end()) return out;
  for (const auto& entry : it->second.models) out.push_back(entry.first);
  return out;
}

std::vector<GraphStatsRecord> Core::GraphStats() const {
  std::lock_guard<std::mutex> lock(mtx_);
  return graph_stats_;
}

}  // namespace zvsim
