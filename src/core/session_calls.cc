// The session calls of an accelerator, made by its health-check thread.

#include <algorithm>
#include <utility>

#include "platform/log_stream.h"
#include "core/accelerator.h"
#include "errors/classification.h"
#include "core/request_stamp.h"
#include "platform/log_setup.h"
#include "errors/rpc_status.h"
#include "errors/catalogue.h"

namespace zva {

using logger::CLogger;

namespace {

// Records a failed session call as the last session error, logs it as
// "<label> Failed - " with its text, and throws the state it calls for.
[[noreturn]] void ThrowSessionFailure(SessionContext* context, CLogger* log,
                                      const char* label,
                                      const grpc::Status& status,
                                      const std::string& request_id,
                                      const std::string& accelerator_id) {
  ZvaRpcStatus record(status, request_id, kInternalError);
  *log << "[Health check] " << label << " Failed - "
       << util::GenerateLastErrorMessage(record, request_id, accelerator_id)
       << logger::WARNING;
  context->SetLastSessionError(record);
  ErrorHandler::ThrowRPCStateException(record);
  throw RETRYABLE_ERROR;  // not reached: the classification always throws
}

}  // namespace

int Accelerator::Handshake(const Versions& versions, const char* framework) {
  CLogger log("Handshake");
  log << "[Health check] Handshake"
      << "\n"
      << logger::INFO;
  const std::string model_type = framework != nullptr ? framework : "";
  std::shared_ptr<zva::rpc::ZvaInference::Stub> stub = internals_->GetStub();
  if (stub == nullptr) {
    session_context_.SetUnReady();
    session_context_.SetLastSessionError(ReleasedStatus());
    ErrorHandler::ThrowRPCStateException(ReleasedStatus());
  }
  grpc::ClientContext context;
  std::string request_id = util::FillContext(
      &context, accelerator_id_,
      std::chrono::milliseconds(GetClientConfig().init_session_timeout()));
  zva::rpc::InitSessionRequest request;
  request.set_zva_id(accelerator_id_);
  zva::rpc::SessionConfig* config = request.mutable_session_config();
  config->set_model_type(model_type);
  config->set_framework_version(versions.framework_version);
  config->set_zvl_version(kClientVersion);
  config->set_client_requested_operator_whitelist_version(
      versions.client_requested_operator_whitelist_version);
  config->set_operator_whitelist_override_version(
      versions.operator_whitelist_override_version);
  zva::rpc::InitSessionResponse response;
  grpc::Status status;
  {
    HealthCheck::CallScope in_flight(&internals_->health_check_, &context);
    status = stub->InitSession(&context, request, &response);
  }
  if (!status.ok()) {
    session_context_.SetUnReady();
    ThrowSessionFailure(&session_context_, &log, "Handshake", status,
                        request_id, accelerator_id_);
  }
  internals_->health_check_.session_id() = response.session().session_id();
  session_context_.SetSessionAndNotifyAll(GetSessionId());
  log << "[Health check] Application context id returned by accelerator: "
      << GetSessionId() << "\n"
      << logger::INFO;
  return kOk;
}

int Accelerator::ReconnectSession() {
  CLogger log("Reconnect");
  log << "[Health check] Reconnect \n" << logger::INFO;
  std::shared_ptr<zva::rpc::ZvaInference::Stub> stub = internals_->GetStub();
  if (stub == nullptr) {
    session_context_.SetUnReady();
    session_context_.SetLastSessionError(ReleasedStatus());
    ErrorHandler::ThrowRPCStateException(ReleasedStatus());
  }
  zva::rpc::ReconnectSessionRequest request;
  request.mutable_session()->set_session_id(GetSessionId());
  grpc::ClientContext context;
  std::string request_id = util::FillContext(
      &context, accelerator_id_,
      std::chrono::milliseconds(GetClientConfig().reconnect_session_timeout()));
  zva::rpc::ReconnectSessionResponse response;
  grpc::Status status;
  {
    HealthCheck::CallScope in_flight(&internals_->health_check_, &context);
    status = stub->ReconnectSession(&context, request, &response);
  }
  if (status.ok()) {
    log << "[Health check] Setting application_context_ready flag to true, "
           "application context is: "
        << GetSessionId() << "\n"
        << logger::INFO;
    session_context_.SetSessionAndNotifyAll(GetSessionId());
    return kOk;
  }
  session_context_.SetUnReady();
  ThrowSessionFailure(&session_context_, &log, "Reconnect", status, request_id,
                      accelerator_id_);
}

int Accelerator::KeepAliveSession() {
  CLogger log;
  std::shared_ptr<zva::rpc::ZvaInference::Stub> stub = internals_->GetStub();
  if (stub == nullptr) {
    session_context_.SetLastSessionError(ReleasedStatus());
    ErrorHandler::ThrowRPCStateException(ReleasedStatus());
  }
  zva::rpc::KeepAliveSessionRequest request;
  request.mutable_session()->set_session_id(GetSessionId());
  grpc::ClientContext context;
  std::string request_id =
      util::FillContext(
          &context, accelerator_id_,
          std::chrono::milliseconds(GetClientConfig().keep_alive_timeout()));
  log << "[Health check] Calling KeepAlive with application context: "
      << GetSessionId() << "\n"
      << logger::DEBUG;
  zva::rpc::KeepAliveSessionResponse response;
  grpc::Status status;
  {
    HealthCheck::CallScope in_flight(&internals_->health_check_, &context);
    status = stub->KeepAliveSession(&context, request, &response);
  }
  if (status.ok()) {
    log << "[Health check] KeepAlive returned ok.\n" << logger::DEBUG;
    return kOk;
  }
  ThrowSessionFailure(&session_context_, &log, "KeepAlive", status, request_id,
                      accelerator_id_);
}

int Accelerator::DestroySession() {
  CLogger log("DestroyApplicationContext");
  std::shared_ptr<zva::rpc::ZvaInference::Stub> stub = internals_->GetStub();
  if (stub == nullptr) {
    ReportReleased("DestroyApplicationContext");
    return kInternalError;
  }
  zva::rpc::DestroySessionRequest request;
  request.mutable_session()->set_session_id(GetSessionId());
  grpc::ClientContext context;
  // On the way out of a stop the session is destroyed as a courtesy to the
  // service: it expires by itself, so a release never waits a full deadline
  // for it.
  const int timeout =
      IsStopping() ? std::min(GetClientConfig().destroy_session_timeout(),
                              kStoppingDestroyTimeoutMs)
                   : GetClientConfig().destroy_session_timeout();
  std::string request_id = util::FillContext(
      &context, accelerator_id_, std::chrono::milliseconds(timeout));
  log << "[Health check] Destroying application context: "
      << GetSessionId() << "\n"
      << logger::INFO;
  zva::rpc::DestroySessionResponse response;
  grpc::Status status;
  if (IsStopping()) {
    status = stub->DestroySession(&context, request, &response);
  } else {
    HealthCheck::CallScope in_flight(&internals_->health_check_, &context);
    status = stub->DestroySession(&context, request, &response);
  }
  if (status.ok()) {
    log << "[Health check] Destroy application context succeeded. \n"
        << logger::INFO;
    return kOk;
  }
  ZvaRpcStatus failure(status, std::string(), kInternalError);
  util::SetLastError(
      util::GenerateLastErrorMessage(failure, request_id, accelerator_id_));
  log << "[Health check] Destroy error code: " << status.error_code() << "\n"
      << logger::ERROR;
  return kInternalError;
}

int Accelerator::BuildSession(const Versions& versions, const char* framework,
                              util::DefaultRetryStrategy* retry) {
  CLogger log("BuildApplicationContext");
  // The back-off is not reset here: a Connect that succeeds before a
  // handshake that keeps failing must not keep the pauses at their shortest.
  // The caller resets it once a session is built.
  (void)retry;
  ConnectImplementation(false);
  log << "[Health check] [Build Application Context] .. " << logger::INFO;
  if (!GetSessionId().empty()) {
    log << "[Health check] [Build Application Context] calling reconnect \n"
        << logger::INFO;
    return ReconnectSession();
  }
  log << "[Health check] [Build Application Context] calling handshake \n"
      << logger::INFO;
  return Handshake(versions, framework);
}

}  // namespace zva
