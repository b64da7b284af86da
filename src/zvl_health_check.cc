// The session calls and the health-check thread of an accelerator.

#include <exception>
#include <utility>

#include "log_stream.h"
#include "zvl_accelerator.h"
#include "zvl_error_handler.h"
#include "zvl_fill_context.h"
#include "zvl_object.h"
#include "zvl_rpcstatus.h"
#include "zvl_util.h"

namespace zva {

using logger::CLogger;

namespace {

// The failure status and text of a failed session call.
struct Failure {
  ZvaRpcStatus status;
  std::string text;
};

Failure MakeFailure(const grpc::Status& status, const std::string& request_id,
                    const std::string& accelerator_id) {
  ZvaRpcStatus record(status, request_id, 1);
  std::string text =
      util::GenerateLastErrorMessage(record, request_id, accelerator_id);
  return Failure{record, text};
}

}  // namespace

int Accelerator::Handshake(const Versions& versions, const char* framework) {
  CLogger log("Handshake");
  log << "[Health check] Handshake"
      << "\n"
      << logger::INFO;
  const std::string model_type = framework != nullptr ? framework : "";
  std::shared_ptr<zva::rpc::ZvaInference::Stub> stub = GetStub();
  if (stub == nullptr) {
    session_context_.SetUnReady();
    session_context_.SetLastSessionError(ReleasedStatus());
    ErrorHandler::ThrowRPCStateException(ReleasedStatus());
  }
  grpc::ClientContext context;
  std::string request_id = util::FillContext(
      &context, this, GetClientConfig().init_session_timeout());
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
  grpc::Status status = stub->InitSession(&context, request, &response);
  if (!status.ok()) {
    session_context_.SetUnReady();
    Failure failure = MakeFailure(status, request_id, accelerator_id_);
    log << "[Health check] Handshake Failed - " << failure.text
        << logger::WARNING;
    session_context_.SetLastSessionError(failure.status);
    ErrorHandler::ThrowRPCStateException(failure.status);
  }
  session_id_ = response.session().session_id();
  session_context_.SetSessionAndNotifyAll(session_id_);
  log << "[Health check] Application context id returned by accelerator: "
      << session_id_ << "\n"
      << logger::INFO;
  return 0;
}

int Accelerator::ReconnectSession() {
  CLogger log("Reconnect");
  log << "[Health check] Reconnect \n" << logger::INFO;
  std::shared_ptr<zva::rpc::ZvaInference::Stub> stub = GetStub();
  if (stub == nullptr) {
    session_context_.SetUnReady();
    session_context_.SetLastSessionError(ReleasedStatus());
    ErrorHandler::ThrowRPCStateException(ReleasedStatus());
  }
  zva::rpc::ReconnectSessionRequest request;
  request.mutable_session()->set_session_id(session_id_);
  grpc::ClientContext context;
  std::string request_id = util::FillContext(
      &context, this, GetClientConfig().reconnect_session_timeout());
  zva::rpc::ReconnectSessionResponse response;
  grpc::Status status = stub->ReconnectSession(&context, request, &response);
  if (status.ok()) {
    log << "[Health check] Setting application_context_ready flag to true, "
           "application context is: "
        << session_id_ << "\n"
        << logger::INFO;
    session_context_.SetSessionAndNotifyAll(session_id_);
    return 0;
  }
  session_context_.SetUnReady();
  Failure failure = MakeFailure(status, request_id, accelerator_id_);
  log << "[Health check] Reconnect Failed - " << failure.text
      << logger::WARNING;
  session_context_.SetLastSessionError(failure.status);
  ErrorHandler::ThrowRPCStateException(failure.status);
  return 1;  // not reached: the classification always throws
}

int Accelerator::KeepAliveSession() {
  CLogger log;
  std::shared_ptr<zva::rpc::ZvaInference::Stub> stub = GetStub();
  if (stub == nullptr) {
    session_context_.SetLastSessionError(ReleasedStatus());
    ErrorHandler::ThrowRPCStateException(ReleasedStatus());
  }
  zva::rpc::KeepAliveSessionRequest request;
  request.mutable_session()->set_session_id(session_id_);
  grpc::ClientContext context;
  std::string request_id =
      util::FillContext(&context, this, GetClientConfig().keep_alive_timeout());
  log << "[Health check] Calling KeepAlive with application context: "
      << session_id_ << "\n"
      << logger::DEBUG;
  zva::rpc::KeepAliveSessionResponse response;
  grpc::Status status = stub->KeepAliveSession(&context, request, &response);
  if (status.ok()) {
    log << "[Health check] KeepAlive returned ok.\n" << logger::DEBUG;
    return 0;
  }
  Failure failure = MakeFailure(status, request_id, accelerator_id_);
  log << "[Health check] KeepAlive Failed - " << failure.text
      << logger::WARNING;
  session_context_.SetLastSessionError(failure.status);
  ErrorHandler::ThrowRPCStateException(failure.status);
  return 1;  // not reached: the classification always throws
}

int Accelerator::DestroySession() {
  CLogger log("DestroyApplicationContext");
  std::shared_ptr<zva::rpc::ZvaInference::Stub> stub = GetStub();
  if (stub == nullptr) {
    ReportReleased("DestroyApplicationContext");
    return 1;
  }
  zva::rpc::DestroySessionRequest request;
  request.mutable_session()->set_session_id(session_id_);
  grpc::ClientContext context;
  std::string request_id = util::FillContext(
      &context, this, GetClientConfig().destroy_session_timeout());
  log << "[Health check] Destroying application context: " << session_id_
      << "\n"
      << logger::INFO;
  zva::rpc::DestroySessionResponse response;
  grpc::Status status = stub->DestroySession(&context, request, &response);
  if (status.ok()) {
    log << "[Health check] Destroy application context succeeded. \n"
        << logger::INFO;
    return 0;
  }
  ZvaRpcStatus failure(status, std::string(), 1);
  util::SetLastError(
      util::GenerateLastErrorMessage(failure, request_id, accelerator_id_));
  log << "[Health check] Destroy error code: " << status.error_code() << "\n"
      << logger::ERROR;
  return 1;
}

int Accelerator::BuildSession(const Versions& versions, const char* framework,
                              util::DefaultRetryStrategy* retry) {
  CLogger log("BuildApplicationContext");
  ConnectImplementation(false);
  if (retry != nullptr) retry->ResetRetryAttempts();
  log << "[Health check] [Build Application Context] .. " << logger::INFO;
  if (!session_id_.empty()) {
    log << "[Health check] [Build Application Context] calling reconnect \n"
        << logger::INFO;
    return ReconnectSession();
  }
  log << "[Health check] [Build Application Context] calling handshake \n"
      << logger::INFO;
  return Handshake(versions, framework);
}

void Accelerator::KickOffKeepAliveThread(const Versions& versions,
                                         const char* framework) {
  CLogger log;
  log << "[Health check] Starting health check \n" << logger::INFO;
  std::lock_guard<std::mutex> lock(mtx_thread_);
  if (release_requested_) {
    log << "[Health check] Accelerator " << accelerator_id_
        << " has been released; health check not started\n"
        << logger::ERROR;
    return;
  }
  if (keep_alive_thread_.joinable()) {
    if (thread_running_) {
      log << "[Health check] Health check already running for accelerator "
          << accelerator_id_ << "\n"
          << logger::WARNING;
      return;
    }
    // The previous thread ended by itself; reap it before starting anew.
    keep_alive_thread_.join();
  }
  quit_ = false;
  thread_running_ = true;
  // The thread keeps its own copy of the name: the caller's text need not
  // outlive it.
  std::string name = framework != nullptr ? framework : "";
  keep_alive_thread_ = std::thread(&Accelerator::RunKeepAliveThread, this,
                                   versions, std::move(name));
}

void Accelerator::RunKeepAliveThread(Versions versions, std::string framework) {
  try {
    KeepAliveThread(versions, framework.c_str());
  } catch (const std::exception& e) {
    CLogger log;
    log << "[Health check] Unexpected failure, health check ends: " << e.what()
        << "\n"
        << logger::ERROR;
  } catch (...) {
    CLogger log;
    log << "[Health check] Unexpected failure, health check ends\n"
        << logger::ERROR;
  }
  thread_running_ = false;
  // Callers waiting for a session learn at once that none will come.
  session_context_.NotifyStopping();
}

void Accelerator::HandleKeepAliveFailure(
    int state, bool* channel_ready, bool* session_ready,
    util::DefaultRetryStrategy* retry_strategy) {
  CLogger log;
  switch (state) {
    case TCP_CONNECT_NEEDED:
      log << "[Health check] [TCP Connect] TCP Connection is needed \n"
          << logger::INFO;
      session_context_.SetUnReady();
      *channel_ready = false;
      *session_ready = false;
      return;
    case PROXY_CONNECT_NEEDED:
      log << "[Health check] [Private Link Connect] Private Link Connection is "
             "needed \n"
          << logger::INFO;
      session_context_.SetUnReady();
      *session_ready = false;
      return;
    case SESSION_BUILD_NEEDED:
      log << "[Health check] [Build Application Context] Build Application "
             "Context is needed. \n"
          << logger::INFO;
      session_context_.SetUnReady();
      session_id_.clear();
      *session_ready = false;
      return;
    case FATAL_ERROR:
      log << "[Health check] [Fatal Error] \n" << logger::WARNING;
      quit_ = true;
      return;
    default:
      break;
  }
  session_context_.SetUnReady();
  {
    std::unique_lock<std::mutex> lock(mtx_);
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(
                        retry_strategy->CalculateDelayBeforeNextRetry());
    // Release wakes the wait, so a stop never waits out the back-off.
    while (!quit_ && std::chrono::steady_clock::now() < deadline) {
      cv_.wait_until(lock, deadline);
    }
  }
  *session_ready = false;
}

void Accelerator::KeepAliveThread(const Versions& versions,
                                  const char* framework) {
  CLogger log;
  log << "[Health check] Executing health check\n" << logger::INFO;
  const zva::config::ClientLibraryConfig config = GetClientConfig();
  const std::chrono::milliseconds interval(config.keep_alive_interval());
  util::DefaultRetryStrategy retry_strategy(
      config.initial_exponential_backoff_time(),
      config.max_exponential_backoff_time(), 50, 0);

  bool channel_ready = false;
  bool session_ready = false;
  while (true) {
    if (!channel_ready) channel_ready = WaitForChannelReady();
    if (quit_) break;
    bool building = !session_ready;
    try {
      if (building) {
        BuildSession(versions, framework, &retry_strategy);
        retry_strategy.ResetRetryAttempts();
        building = false;
      }
      if (quit_) {
        session_ready = true;
        break;
      }
      KeepAliveSession();
      retry_strategy.ResetRetryAttempts();

      std::shared_ptr<grpc::Channel> channel = GetChannel();
      bool changed =
          channel == nullptr ||
          channel->GetState(false) != GRPC_CHANNEL_READY ||
          WaitForStateChange(channel, GRPC_CHANNEL_READY,
                             std::chrono::system_clock::now() + interval);
      if (changed) {
        session_context_.SetUnReady();
        throw TCP_CONNECT_NEEDED;
      }
      session_ready = true;
    } catch (RPCState state) {
      if (!building) session_ready = true;
      HandleKeepAliveFailure(state, &channel_ready, &session_ready,
                             &retry_strategy);
    }
    if (quit_) break;
  }

  log << "[Health check] received quit signal,"
      << "Channel ready state: " << channel_ready
      << ", Application context ready state: " << session_ready << "\n"
      << logger::INFO;
  if (session_ready) DestroySession();
}

}  // namespace zva
