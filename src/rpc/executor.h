#ifndef ZVA_RPC_EXECUTOR_H_
#define ZVA_RPC_EXECUTOR_H_

// Runs one framework call (load, infer, unload, list, whitelist, graph
// statistics) on an accelerator: waits for the session the health-check
// thread publishes, stamps request and context, makes the blocking call and,
// on failure, retries, waits for a repaired session, lets a handler repair
// the situation, or gives up with the thread's last-error text set.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

#include <grpcpp/client_context.h>
#include <grpcpp/support/status.h>

#include "zva/config/zva_client_lib_config.pb.h"
#include "zva/rpc/zva_service.grpc.pb.h"

#include "platform/log_stream.h"
#include "core/accelerator.h"
#include "errors/classification.h"
#include "core/request_stamp.h"
#include "errors/rpc_status.h"
#include "errors/catalogue.h"

// Repairs what made a call fail, so that the executor may make it again.
// Implementations are used by one thread at a time.
class RPCExceptionHandlerInterface {
 public:
  // OK when the call may be made again; otherwise the status to report.
  virtual grpc::Status HandleException(const std::string& session_id,
                                       grpc::Status status) = 0;

 protected:
  ~RPCExceptionHandlerInterface() = default;
};

// Reports that the operation `method_name` was asked of a channel that no
// accelerator owns (or of no channel): sets the thread's last-error text,
// logs it and returns its code, kInternalError. Nothing is called.
inline int ReportNoAccelerator(const std::string& method_name) {
  ZvaRpcStatus error(zva::kInternalError,
                     "No accelerator owns the channel of " + method_name,
                     std::string());
  std::string text =
      zva::util::GenerateLastErrorMessage(error, std::string(), std::string());
  zva::logger::CLogger log;
  log << "[Execution Engine]" << method_name
      << " Failed: no accelerator owns the channel\n"
      << zva::logger::ERROR;
  log << "[Execution Engine]" << method_name << " Failed - " << text
      << zva::logger::ERROR;
  zva::util::SetLastError(std::move(text));
  return error.GetFailureCode();
}

// The accelerator that owns `channel`, or null (also for a null channel).
inline zva::Accelerator* AcceleratorOfChannel(grpc::Channel* channel) {
  return channel == nullptr ? nullptr : zva::Accelerator::FromChannel(channel);
}

// Stamps the session of an attempt into its request message. A request
// type that keeps its own encoding overloads this in its own namespace.
template <typename Request>
void StampSession(Request* request, const std::string& session_id) {
  request->mutable_session()->set_session_id(session_id);
}

// One execution of one stub method, made at most kMaxAttempts times.
// Lives on the caller's stack for one framework operation; not thread-safe
// (one thread uses it), though many executors may run at once. The stub is
// the generated one, or one with the same shape of methods for requests the
// library encodes itself.
template <typename Request, typename Response, int kMaxAttempts,
          typename StubType = zva::rpc::ZvaInference::Stub>
class RPCExecutor {
 public:
  using Stub = StubType;
  using Method = grpc::Status (Stub::*)(grpc::ClientContext*, const Request&,
                                        Response*);

  // `request` and `response` stay the caller's and must outlive the
  // executor; `timeout_ms` bounds the whole execution, from construction:
  // waits, attempts and pauses together. Waits (at most the configured
  // max_wait_for_server_timeout) for a ready session.
  // `accelerator`, when the caller has already found the channel's owner,
  // spares a second lookup in the process-wide channel table.
  RPCExecutor(grpc::Channel* channel, Stub* stub, Method rpc_method,
              const std::string& method_name, Request* request,
              Response* response, int timeout_ms,
              zva::Accelerator* accelerator = nullptr)
      : channel_(channel),
        stub_(stub),
        rpc_method_(rpc_method),
        method_name_(method_name),
        request_(request),
        response_(response),
        timeout_(timeout_ms),
        logger_(method_name),
        deadline_(std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(timeout_ms)) {
    accelerator_ =
        accelerator != nullptr ? accelerator : AcceleratorOfChannel(channel_);
    // A channel no accelerator owns has no session and no configuration;
    // DefaultExecute reports it without making a call.
    if (accelerator_ == nullptr) return;
    accelerator_id_ = accelerator_->GetAcceleratorID();
    retry_interval_ = accelerator_->GetClientConfig().keep_alive_interval();
    UpdateSessionID();
  }

  RPCExecutor(const RPCExecutor&) = delete;
  RPCExecutor& operator=(const RPCExecutor&) = delete;

  // Makes the call, retrying as the failure calls for. Returns kOk on success
  // (then *response holds the answer), otherwise a client status code with
  // the thread's last-error text set. `handler` may be null; it is asked at
  // most once per execution.
  int DefaultExecute(RPCExceptionHandlerInterface* handler) {
    if (accelerator_ == nullptr) return ReportNoAccelerator(method_name_);
    if (session_id_.empty()) {
      SetSessionError();
      return SessionErrorCode();
    }
    // Each attempt gets what remains of the operation's time.
    const int remaining = RemainingMs();
    if (remaining <= 0) return GiveUp(DeadlineStatus());

    grpc::ClientContext context;
    request_id_ = zva::util::FillContext(
        &context, accelerator_id_, std::chrono::milliseconds(remaining));
    // Formatted only when written: by default INFO is not, and this runs
    // on every call.
    const bool info = zva::logger::CLogger::Enabled(zva::logger::INFO);
    if (info) {
      logger_ << "[Execution Engine], executing - " << method_name_
              << ", Request ID : " << request_id_
              << ", Attempt:" << attempt_ + 1
              << ", Application context id : " << session_id_
              << ", Accelerator id: " << accelerator_id_ << "\n"
              << zva::logger::INFO;
    }

    accelerator_->NoteModelCall();
    grpc::Status status = (stub_->*rpc_method_)(&context, *request_, response_);
    if (status.ok()) {
      if (info) {
        logger_ << "[Execution Engine] Received successful response for: "
                << method_name_ << ", Request ID : " << request_id_
                << ", Attempt:" << attempt_ + 1
                << ", Application context id : " << session_id_
                << ", Accelerator id: " << accelerator_id_ << "\n"
                << zva::logger::INFO;
      }
      return zva::kOk;
    }

    logger_ << "[Execution Engine], Received unsuccessful response for: "
            << method_name_ << ", RPC error code: " << status.error_code()
            << ", Request ID : " << request_id_ << ", Attempt:" << attempt_ + 1
            << ", Application context id : " << session_id_
            << ", Accelerator id: " << accelerator_id_ << "\n"
            << zva::logger::WARNING;
    ZvaRpcStatus rpc_status(status, std::string(), zva::kInternalError);

    if (ErrorHandler::IsIgnoredError(rpc_status, method_name_)) {
      logger_ << "[Execution Engine] Ignoring error for request: "
              << request_id_ << ", method_name: " << method_name_
              << ", rpc code: " << status.error_code() << "\n"
              << zva::logger::INFO;
      return zva::kOk;
    }

    ++attempt_;
    if (attempt_ >= kMaxAttempts) return GiveUp(status);

    switch (ErrorHandler::GetNextState(rpc_status)) {
      case zva::TCP_CONNECT_NEEDED:
        // A busy service or a broken connection. The health-check thread
        // checks at once (and marks the session not ready if the connection
        // is gone, so the wait below lasts until it is repaired); meanwhile
        // a pause that grows keeps a busy service from four calls in a row.
        accelerator_->ReportSessionTrouble(generation_, false);
        if (!Pause(kBusyPauseMs << std::min(busy_pauses_++, 16))) {
          return GiveUp(status);
        }
        return RetryWithNewSession(handler, 0);
      case zva::PROXY_CONNECT_NEEDED:
      case zva::SESSION_BUILD_NEEDED:
        // The session this call used is gone: have it repaired now and wait
        // for a newer one, never retry with the same.
        accelerator_->ReportSessionTrouble(generation_, true);
        return RetryWithNewSession(handler, generation_);
      case zva::DEADLINE_EXCEEDED:
      case zva::RETRYABLE_ERROR:
        if (retry_interval_ + 50 > 0 && !Pause(retry_interval_ + 50)) {
          return GiveUp(status);
        }
        return RetryWithNewSession(handler, 0);
      default:  // MODEL_RELOAD_NEEDED, FATAL_ERROR
        return Decide(rpc_status, status, handler);
    }
  }

  // Waits for a ready session (newer than generation `after`, when not 0)
  // and stamps its identifier into the request.
  void UpdateSessionID(uint64_t after = 0) {
    const bool info = zva::logger::CLogger::Enabled(zva::logger::INFO);
    if (info) {
      logger_ << "[Execution Engine] waiting to get application context for "
              << method_name_ << "\n"
              << zva::logger::INFO;
    }
    const int wait_ms =
        std::min(accelerator_->GetClientConfig().max_wait_for_server_timeout(),
                 std::max(RemainingMs(), 0));
    zva::SessionContext::Session session =
        accelerator_->session_context_.WaitNewer(
            std::chrono::milliseconds(wait_ms), after);
    session_id_ = std::move(session.id);
    generation_ = session.generation;
    if (!session_id_.empty()) {
      StampSession(request_, session_id_);
    }
    if (info) {
      logger_ << "[Execution Engine] After wait, got application context id "
              << session_id_ << "\n"
              << zva::logger::INFO;
    }
  }

  // Reports, as the thread's last error, why no session could be had.
  void SetSessionError() {
    logger_ << "[Execution Engine] Error getting application context for "
            << method_name_ << "\n"
            << zva::logger::ERROR;
    ZvaRpcStatus error = accelerator_->session_context_.GetLastSessionError();
    std::string text = zva::util::GenerateLastErrorMessage(
        error, error.GetRequestId(), accelerator_id_);
    logger_ << "[Execution Engine]" << method_name_ << " Failed - " << text
            << zva::logger::ERROR;
    zva::util::SetLastError(std::move(text));
  }

  // The request identifier of the latest attempt; empty before the first.
  const std::string& GetRequestId() const { return request_id_; }
  // Failed attempts so far (an ignored failure does not count).
  int GetAttempt() const { return attempt_; }

 private:
  // The client code of the last session error; never kOk, since "no
  // session, no call" is no success.
  int SessionErrorCode() const {
    return accelerator_->session_context_.GetLastSessionError()
        .GetFailureCode();
  }

  int RetryWithNewSession(RPCExceptionHandlerInterface* handler,
                          uint64_t after) {
    UpdateSessionID(after);
    if (!session_id_.empty()) return DefaultExecute(handler);
    // The operation's own time ran out while waiting for a session.
    if (RemainingMs() <= 0) return GiveUp(DeadlineStatus());
    SetSessionError();
    return SessionErrorCode();
  }

  // What is left of the operation's time, in whole milliseconds (rounded
  // up, so that a positive rest is never reported as 0).
  int RemainingMs() const {
    auto rest = deadline_ - std::chrono::steady_clock::now();
    if (rest <= std::chrono::steady_clock::duration::zero()) return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(rest).count();
    return ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
  }

  // Pauses `ms`, cut to what remains of the operation's time. False when
  // the accelerator stopped (or its session context closed) meanwhile.
  bool Pause(int ms) {
    const int pause = std::min(ms, RemainingMs());
    if (pause <= 0) return true;
    return accelerator_->session_context_.Pause(
        std::chrono::milliseconds(pause));
  }

  // The status of an operation whose time ran out between attempts: what a
  // call reports when its deadline passes.
  static grpc::Status DeadlineStatus() {
    return grpc::Status(grpc::StatusCode::DEADLINE_EXCEEDED,
                        "Deadline Exceeded");
  }

  int Decide(const ZvaRpcStatus& rpc_status, grpc::Status status,
             RPCExceptionHandlerInterface* handler) {
    const int code = rpc_status.GetZVLStatusCode();
    // A failed call whose service code means success is made again, never
    // reported as a success.
    if (code == zva::kOk) return DefaultExecute(handler);
    // Returned without replacing the last-error text.
    if (code == zva::kServiceNotReachable) return rpc_status.GetFailureCode();
    if (handler == nullptr) return GiveUp(status);
    grpc::Status repaired = handler->HandleException(session_id_, status);
    if (repaired.ok()) return DefaultExecute(nullptr);
    return GiveUp(repaired);
  }

  int GiveUp(const grpc::Status& status) {
    ZvaRpcStatus rpc_status(status, std::string(), zva::kInternalError);
    std::string text = zva::util::GenerateLastErrorMessage(
        rpc_status, request_id_, accelerator_id_);
    logger_ << "[Execution Engine]" << method_name_ << " Failed - " << text
            << zva::logger::ERROR;
    zva::util::SetLastError(std::move(text));
    return rpc_status.GetFailureCode();
  }

  // The first pause after a busy answer; it doubles with every further one.
  static constexpr int kBusyPauseMs = 50;

  grpc::Channel* channel_;
  Stub* stub_;
  Method rpc_method_;
  std::string method_name_;
  Request* request_;
  Response* response_;
  int timeout_;
  zva::logger::CLogger logger_;
  zva::Accelerator* accelerator_ = nullptr;
  std::string accelerator_id_;
  std::string request_id_;
  std::string session_id_;
  int attempt_ = 0;
  int retry_interval_ = 2000;
  // When the operation's time is up.
  std::chrono::steady_clock::time_point deadline_;
  // The generation of the session of session_id_.
  uint64_t generation_ = 0;
  // Pauses after busy answers so far.
  int busy_pauses_ = 0;
};

// The six executions the adapters make; each is made at most four times.
inline constexpr int kMaxRpcAttempts = 4;
using LoadModelExecutor =
    RPCExecutor<zva::rpc::LoadModelRequest, zva::rpc::LoadModelResponse,
                kMaxRpcAttempts>;
using UnloadModelExecutor =
    RPCExecutor<zva::rpc::UnloadModelRequest, zva::rpc::UnloadModelResponse,
                kMaxRpcAttempts>;
using ListModelsExecutor =
    RPCExecutor<zva::rpc::ListModelsRequest, zva::rpc::ListModelsResponse,
                kMaxRpcAttempts>;
using GetOperatorWhitelistExecutor =
    RPCExecutor<zva::rpc::GetOperatorWhitelistRequest,
                zva::rpc::GetOperatorWhitelistResponse, kMaxRpcAttempts>;
using PostGraphStatsExecutor =
    RPCExecutor<zva::rpc::PostGraphStatsRequest,
                zva::rpc::PostGraphStatsResponse, kMaxRpcAttempts>;
using InferExecutor = RPCExecutor<zva::rpc::InferRequest,
                                  zva::rpc::InferResponse, kMaxRpcAttempts>;

extern template class RPCExecutor<zva::rpc::LoadModelRequest,
                                  zva::rpc::LoadModelResponse, kMaxRpcAttempts>;
extern template class RPCExecutor<zva::rpc::UnloadModelRequest,
                                  zva::rpc::UnloadModelResponse,
                                  kMaxRpcAttempts>;
extern template class RPCExecutor<
    zva::rpc::ListModelsRequest, zva::rpc::ListModelsResponse, kMaxRpcAttempts>;
extern template class RPCExecutor<zva::rpc::GetOperatorWhitelistRequest,
                                  zva::rpc::GetOperatorWhitelistResponse,
                                  kMaxRpcAttempts>;
extern template class RPCExecutor<zva::rpc::PostGraphStatsRequest,
                                  zva::rpc::PostGraphStatsResponse,
                                  kMaxRpcAttempts>;
extern template class RPCExecutor<zva::rpc::InferRequest,
                                  zva::rpc::InferResponse, kMaxRpcAttempts>;

// The deadline of an operation, as a field of the client configuration.
using TimeoutField = int32_t (zva::config::ClientLibraryConfig::*)() const;

// One adapter operation on `channel` without a reload handler: a channel
// that no accelerator owns is reported (kInternalError, no call); otherwise the
// call runs with the deadline that `timeout` names in the accelerator's configuration.
// Returns what DefaultExecute returns.
template <typename Request, typename Response, typename Stub>
int ExecuteOnChannel(grpc::Channel* channel, Stub* stub,
                     grpc::Status (Stub::*rpc_method)(grpc::ClientContext*,
                                                      const Request&,
                                                      Response*),
                     const std::string& method_name, Request* request,
                     Response* response, TimeoutField timeout) {
  zva::Accelerator* accelerator = AcceleratorOfChannel(channel);
  if (accelerator == nullptr) return ReportNoAccelerator(method_name);
  RPCExecutor<Request, Response, kMaxRpcAttempts, Stub> executor(
      channel, stub, rpc_method, method_name, request, response,
      (accelerator->GetClientConfig().*timeout)());
  return executor.DefaultExecute(nullptr);
}

#endif  // ZVA_RPC_EXECUTOR_H_
