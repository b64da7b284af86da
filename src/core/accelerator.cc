#include "core/accelerator.h"

#include <cstdlib>
#include <set>
#include <utility>
#include <vector>

#include "platform/kcp.h"
#include "platform/log_stream.h"
#include "zva/zva_tools.h"
#include "errors/classification.h"
#include "core/request_stamp.h"
#include "core/signer.h"
#include "platform/log_setup.h"
#include "errors/rpc_status.h"
#include "errors/catalogue.h"
#include "platform/files.h"
#include "platform/retired_queues.h"

namespace zva {

using logger::CLogger;

std::mutex mtx_init_and_shutdown;

// Never destroyed: an accelerator released during static destruction (a
// holder at namespace scope) still finds its entry.
std::map<grpc::Channel*, Accelerator*>& Accelerator::s_channel_to_accel_map_ =
    *new std::map<grpc::Channel*, Accelerator*>;
std::mutex Accelerator::mtx_s_channel_to_accel_map_;

namespace {

// The platform layer's own log stays off; its file prefix is fixed.
kcp::SDKOptions MakeSdkOptions() {
  kcp::SDKOptions options;
  options.log_level = 0;
  options.log_file_prefix = "kcp_sdk_";
  return options;
}

const kcp::SDKOptions kcp_sdk_options = MakeSdkOptions();

constexpr char kReleasedMessage[] = "Accelerator has been released";

// Every accelerator alive in the process, for the exit hook. Never destroyed,
// so that it is usable from an exit hook and from destructors that run
// after static destruction began.
std::mutex& LiveMutex() {
  static std::mutex* mtx_live = new std::mutex;
  return *mtx_live;
}
std::set<Accelerator*>& Live() {
  static std::set<Accelerator*>* live = new std::set<Accelerator*>;
  return *live;
}
// Set by the exit hook; no health-check thread starts after it.
std::atomic<bool> s_exiting{false};

// The platform layer is started by the first accelerator of the process and
// shut down once the last holder of this object lets go, at process exit.
std::shared_ptr<Accelerator::RunOnInitAndExit> SdkLifetime() {
  static std::shared_ptr<Accelerator::RunOnInitAndExit> runOnInitAndExit =
      std::make_shared<Accelerator::RunOnInitAndExit>(
          [] {
            std::lock_guard<std::mutex> lock(mtx_init_and_shutdown);
            kcp::InitAPI(kcp_sdk_options);
            // Exit hooks run in the reverse order of their registration.
            // The platform layer has initialised the crypto library (which
            // registers its own cleanup) by now, so this hook runs before
            // that cleanup: health-check threads are stopped while crypto and
            // gRPC still work.
            std::atexit(&Accelerator::ReleaseAllAtExitHook);
          },
          [] {
            std::lock_guard<std::mutex> lock(mtx_init_and_shutdown);
            kcp::ShutdownAPI(kcp_sdk_options);
            CLogger::Shutdown();
          });
  return runOnInitAndExit;
}

}  // namespace

Accelerator::RunOnInitAndExit::RunOnInitAndExit(
    const std::function<void()>& init, std::function<void()> exit)
    : exit_(std::move(exit)) {
  if (init) init();
}

Accelerator::RunOnInitAndExit::~RunOnInitAndExit() {
  if (exit_) exit_();
}

Accelerator::Accelerator(const std::string& endpoint, const std::string& region,
                         const std::string& accelerator_id,
                         const std::string& accelerator_type)
    : session_context_(this),
      endpoint_(endpoint),
      accelerator_id_(accelerator_id),
      accelerator_type_(accelerator_type),
      region_(region),
      sdk_lifetime_(SdkLifetime()),
      internals_(std::make_unique<Internals>(this)) {
  {
    std::lock_guard<std::mutex> lock(LiveMutex());
    Live().insert(this);
  }
  CLogger log("Accelerator");
  log << "Accelerator constructing" << logger::INFO;
  log << "Endpoint: " << endpoint_ << logger::INFO;

  zva::config::ClientConfiguration& config = internals_->client_config_;
  config.InitConfiguration();

  grpc::ChannelArguments arguments;
  arguments.SetMaxReceiveMessageSize(
      config.GetConfigProto().max_receive_message_size());
  // gRPC waits a second before its first reconnect and up to two minutes
  // later on; callers wait for the session meanwhile. A restarted proxy is
  // found again within a tenth of a second, and a long outage is retried at
  // least every ten seconds. The minimum stays gRPC's: gRPC also gives each
  // connection attempt at least that long, and at a tenth of a second a
  // proxy slow to answer the handshake (a loaded host) failed the attempt,
  // and with it the call that had started it.
  arguments.SetInt(GRPC_ARG_INITIAL_RECONNECT_BACKOFF_MS, 100);
  arguments.SetInt(GRPC_ARG_MAX_RECONNECT_BACKOFF_MS, 10000);

  std::shared_ptr<grpc::Channel> channel;
  // Only the variable's presence counts, so an empty value disables TLS too.
  if (std::getenv("ZVL_TLS_OPTION_DISABLED") != nullptr) {
    channel = grpc::CreateCustomChannel(
        endpoint_, grpc::InsecureChannelCredentials(), arguments);
  } else {
    std::string roots;
    if (util::GetRootCertificateFile(&roots) != kOk) {
      ZvaRpcStatus status(kNoSslCertificates,
                          GetErrorDescription(kNoSslCertificates),
                          std::string());
      util::SetLastError(
          util::GenerateLastErrorMessage(status, std::string(), std::string()));
    }
    // Empty roots make gRPC fall back to its own default roots.
    grpc::SslCredentialsOptions ssl;
    ssl.pem_root_certs = roots;
    channel = grpc::CreateCustomChannel(endpoint_, grpc::SslCredentials(ssl),
                                        arguments);
  }
  channel_.Exchange(channel);
  {
    std::lock_guard<std::mutex> lock(internals_->mtx_stub_);
    internals_->stub_ = zva::rpc::ZvaInference::NewStub(channel);
  }
  std::lock_guard<std::mutex> lock(mtx_s_channel_to_accel_map_);
  s_channel_to_accel_map_[channel.get()] = this;
}

Accelerator::~Accelerator() {
  {
    // First, so that the exit hook either finishes with this accelerator
    // before it is freed or never sees it.
    std::lock_guard<std::mutex> lock(LiveMutex());
    Live().erase(this);
  }
  Release();
}

void Accelerator::ReleaseAllAtExitHook() {
  // Held throughout: an accelerator destroyed meanwhile waits in its
  // destructor until this is done with it.
  std::lock_guard<std::mutex> lock(LiveMutex());
  s_exiting = true;
  // Every stop is asked first, so that they all run at once.
  for (Accelerator* accelerator : Live()) {
    accelerator->internals_->health_check_.RequestStop();
  }
  bool released = false;
  for (Accelerator* accelerator : Live()) {
    released = released || !accelerator->IsReleased();
    accelerator->Release();
  }
  // The channels just dropped may end gRPC, whose last clean-up can run on a
  // thread of its own; the crypto library's exit cleanup, next after this
  // hook, must not run under it. Bounded: a host that still holds gRPC
  // objects of its own keeps gRPC up, and its exit is delayed only this
  // much.
  // Queues with a state watch still pending hold gRPC up; their channels are
  // gone by now, unless the host still holds one.
  const bool drained = DrainRetiredCompletionQueues(
      std::chrono::steady_clock::now() + std::chrono::milliseconds(300));
  if (released || drained) {
    WaitForGrpcShutdown(std::chrono::milliseconds(500));
  }
}

void Accelerator::ReportSessionTrouble(uint64_t generation, bool session_lost) {
  if (session_lost) session_context_.Invalidate(generation);
  internals_->health_check_.RequestCheck();
}

void Accelerator::NoteModelCall() { internals_->health_check_.NoteModelCall(); }

Accelerator* Accelerator::FromChannel(grpc::Channel* channel) {
  std::lock_guard<std::mutex> lock(mtx_s_channel_to_accel_map_);
  auto it = s_channel_to_accel_map_.find(channel);
  return it == s_channel_to_accel_map_.end() ? nullptr : it->second;
}

const zva::config::ClientLibraryConfig& Accelerator::GetClientConfig() const {
  return internals_->client_config_.GetConfigProto();
}

int Accelerator::GetOverrideOperatorWhitelistVersion() {
  return GetClientConfig().operator_whitelist_override_version();
}

bool Accelerator::IsStopping() const {
  return internals_->health_check_.IsStopping();
}

bool Accelerator::IsKeepAliveThreadRunning() const {
  return internals_->health_check_.IsRunning();
}

void Accelerator::RequestStop() { internals_->health_check_.RequestStop(); }

const std::string& Accelerator::GetSessionId() {
  return internals_->health_check_.session_id();
}

void Accelerator::SetFrameworkObject(std::shared_ptr<ObjectInterface> object) {
  std::lock_guard<std::mutex> lock(mtx_);
  framework_object_ = std::move(object);
}

ZvaRpcStatus Accelerator::ReleasedStatus() {
  return ZvaRpcStatus(kInternalError, kReleasedMessage, std::string());
}

void Accelerator::ReportReleased(const char* operation) const {
  CLogger log;
  log << "[" << operation << "] Accelerator " << accelerator_id_
      << " has been released\n"
      << logger::ERROR;
  util::SetLastError(util::GenerateLastErrorMessage(
      ReleasedStatus(), std::string(), accelerator_id_));
}

bool Accelerator::WaitForChannelReady() {
  CLogger log("WaitForChannelReady");
  log << "[Health check][WaitForChannelReady] Waiting for channel to become "
         "ready. \n"
      << logger::INFO;
  constexpr std::chrono::seconds kReadyPeriod(2);
  auto deadline = std::chrono::steady_clock::now() + kReadyPeriod;
  while (true) {
    std::shared_ptr<grpc::Channel> channel = GetChannel();
    if (channel == nullptr) return false;
    grpc_connectivity_state state = channel->GetState(true);
    if (state == GRPC_CHANNEL_READY) {
      log << "[Health check][WaitForChannelReady] Channel is ready. \n"
          << logger::DEBUG;
      return true;
    }
    if (internals_->health_check_.WaitForStateChange(channel, state, deadline,
                                                     false)) {
      continue;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      // Recorded before the warning, so that whoever reads the warning finds
      // the record in place.
      session_context_.SetLastSessionError(ZvaRpcStatus(
          grpc::Status(grpc::StatusCode::UNAVAILABLE, std::string()),
          std::string(), kServiceNotReachable));
      log << "[Health check][WaitForChannelReady] Channel is not connected. "
             "retrying.. \n"
          << logger::WARNING;
      deadline = std::chrono::steady_clock::now() + kReadyPeriod;
    }
    if (IsStopping()) {
      log << "[Health check][WaitForChannelReady] Quit got called. returning.. "
             "\n"
          << logger::INFO;
      return false;
    }
  }
}

int Accelerator::ConnectImplementation(bool retry) {
  CLogger log("ConnectImplementation");
  int attempt = 1;
  zva::rpc::ConnectResponse response;
  while (true) {
    std::shared_ptr<zva::rpc::ZvaInference::Stub> stub = internals_->GetStub();
    if (stub == nullptr) {
      ZvaRpcStatus status = ReleasedStatus();
      session_context_.SetLastSessionError(status);
      ErrorHandler::ThrowRPCStateException(status);
    }
    grpc::ClientContext context;
    zva::rpc::ConnectRequest request;
    std::string authorization;
    std::string date;
    std::string token;
    // Outlives the try block so that a failure can say why.
    std::unique_ptr<AuthSigner, const ObjectReleaser> signer;
    try {
      signer.reset(new AuthSigner(endpoint_, region_, accelerator_id_));
      log << "[ConnectImplementation] Signing auth request\n" << logger::INFO;
      authorization = signer->SignRequest();
      log << "[ConnectImplementation] Auth signing successful\n"
          << logger::INFO;
      date = signer->GetDateString();
      token = signer->GetKcpCredSessionToken();
      signer.reset();
    } catch (int code) {
      std::string description = GetErrorDescription(code);
      log << "[ConnectImplementation] Auth exception: " << description << "\n"
          << logger::WARNING;
      // The last-error text then names the credentials sources tried and
      // why each gave nothing.
      const std::string failure =
          signer != nullptr ? signer->GetCredentialsFailure() : std::string();
      if (!failure.empty()) description += ". " + failure;
      ZvaRpcStatus status(code, description, std::string());
      session_context_.SetLastSessionError(status);
      ErrorHandler::ThrowRPCStateException(status);
    }
    context.AddMetadata("authorization", authorization);
    context.AddMetadata("x-kst-date", date);
    if (!token.empty()) context.AddMetadata("x-kst-security-token", token);

    std::string request_id =
        util::FillContext(
            &context, accelerator_id_,
            std::chrono::milliseconds(GetClientConfig().connect_timeout()));
    log << "[ConnectImplementation] Making connect call with request_id: "
        << request_id << "\n"
        << logger::INFO;
    log << "[ConnectImplementation] Making connect call with accelerator_id: "
        << accelerator_id_ << "\n"
        << logger::INFO;

    grpc::Status status;
    {
      CLogger timer("Connect");
      HealthCheck::CallScope in_flight(&internals_->health_check_, &context);
      status = stub->Connect(&context, request, &response);
    }
    if (status.ok()) {
      log << "[ConnectImplementation] Connect call succeeded\n" << logger::INFO;
      return kOk;
    }
    ZvaRpcStatus failure(status, request_id, kInternalError);
    log << "[ConnectImplementation] Connect Failed - "
        << util::GenerateLastErrorMessage(failure, request_id, accelerator_id_)
        << logger::WARNING;
    log << "[ConnectImplementation] Doing internal retry. Attempt: " << attempt
        << "\n"
        << logger::WARNING;
    if (retry && attempt < max_connect_attempts_) {
      ++attempt;
      continue;
    }
    log << "[ConnectImplementation] Connect retry error code: "
        << status.error_code() << "\n"
        << logger::WARNING;
    session_context_.SetLastSessionError(failure);
    ErrorHandler::ThrowRPCStateException(failure);
  }
}

int Accelerator::Connect() {
  if (is_released_) {
    ReportReleased("Connect");
    return kInternalError;
  }
  if (is_connected_) return kOk;
  CLogger log("Connect");
  log << "[Connect] Trying connect first...\n" << logger::INFO;
  try {
    ConnectImplementation(true);
    is_connected_ = true;
    return kOk;
  } catch (RPCState) {
    is_connected_ = false;
    ZvaRpcStatus status = session_context_.GetLastSessionError();
    std::string text = util::GenerateLastErrorMessage(
        status, status.GetRequestId(), accelerator_id_);
    log << "[Connect] Failed. Error message - " << text << logger::ERROR;
    util::SetLastError(text);
    return kInternalError;
  }
}

grpc::Status Accelerator::PingImplementation(zva::rpc::PingResponse* response) {
  CLogger log("PingImplementation");
  log << "Ping accelerator\n" << logger::INFO;
  std::shared_ptr<grpc::Channel> channel = GetChannel();
  std::shared_ptr<zva::rpc::ZvaInference::Stub> stub = internals_->GetStub();
  if (channel == nullptr || stub == nullptr) {
    ReportReleased("Ping");
    return grpc::Status(grpc::StatusCode::FAILED_PRECONDITION,
                        kReleasedMessage);
  }
  log << "\n Channel state: " << channel->GetState(false) << "\n"
      << logger::INFO;
  grpc::ClientContext context;
  std::string request_id =
      util::FillContext(
          &context, accelerator_id_,
          std::chrono::milliseconds(GetClientConfig().ping_timeout()));
  log << "Calling ping with request id: " << request_id << "\n" << logger::INFO;
  grpc::Status status;
  {
    CLogger timer("Ping");
    HealthCheck::CallScope in_flight(&internals_->health_check_, &context);
    status = stub->Ping(&context, zva::rpc::PingRequest(), response);
  }
  if (!status.ok()) {
    ZvaRpcStatus failure(status, std::string(), kInternalError);
    std::string text =
        util::GenerateLastErrorMessage(failure, request_id, accelerator_id_);
    log << "[Health check] Ping Failed - " << text << logger::ERROR;
    util::SetLastError(text);
  }
  return status;
}

int Accelerator::Ping() {
  CLogger log("Ping");
  std::shared_ptr<grpc::Channel> channel = GetChannel();
  if (channel == nullptr) {
    ReportReleased("Ping");
    return kInternalError;
  }
  log << "Ping "
      << "\n"
      << logger::INFO;
  log << "\n Channel state: " << channel->GetState(false) << "\n"
      << logger::INFO;
  channel.reset();

  int attempts = 0;
  zva::rpc::PingResponse response;
  while (true) {
    int result = Connect();
    if (result != kOk) return result;
    grpc::Status status = PingImplementation(&response);
    if (status.ok()) {
      log << "Accelerator health state: "
          << zva::rpc::HealthState_Name(response.health_state()) << "\n"
          << logger::INFO;
      return response.health_state() == zva::rpc::HEALTHY
                 ? kOk
                 : kAcceleratorUnhealthy;
    }
    ++attempts;
    log << "Ping error code: " << status.error_code()
        << ". Doing internal retry. Attempt: " << attempts << "\n"
        << logger::WARNING;
    if (ErrorHandler::IsProxyConnectNeeded(
            ZvaRpcStatus(status, std::string(), kInternalError))) {
      is_connected_ = false;
      result = Connect();
      if (result != kOk) return result;
    }
    if (attempts == max_ping_attempts_) break;
  }
  log << "Ping failed even after retries.\n" << logger::ERROR;
  std::string last_error;
  GetLastError(&last_error);
  log << "Error message: " << last_error << "\n" << logger::ERROR;
  return kInternalError;
}

int Accelerator::Release() {
  // Before any lock: the thread may need them on its way out.
  internals_->health_check_.Stop();
  // Dropped after mtx_init_and_shutdown is unlocked: the last reference runs
  // the platform shutdown, which takes that mutex itself.
  std::shared_ptr<RunOnInitAndExit> sdk_lifetime;
  {
    std::lock_guard<std::mutex> lock(mtx_init_and_shutdown);
    if (is_released_) return kOk;
    CLogger log;
    log << "Releasing accelerator \n" << logger::INFO;
    {
      std::lock_guard<std::mutex> framework_lock(mtx_);
      framework_object_.reset();
    }
    std::shared_ptr<zva::rpc::ZvaInference::Stub> stub;
    {
      std::lock_guard<std::mutex> stub_lock(internals_->mtx_stub_);
      stub = std::move(internals_->stub_);
    }
    stub.reset();
    std::shared_ptr<grpc::Channel> channel = channel_.Exchange(nullptr);
    {
      std::lock_guard<std::mutex> map_lock(mtx_s_channel_to_accel_map_);
      auto it = s_channel_to_accel_map_.find(channel.get());
      if (it != s_channel_to_accel_map_.end() && it->second == this) {
        s_channel_to_accel_map_.erase(it);
      }
    }
    channel.reset();
    sdk_lifetime = std::move(sdk_lifetime_);
    is_connected_ = false;
    is_released_ = true;
  }
  // After the channel is dropped: a state watch left pending on it then
  // ends at once, unless an adapter still holds the channel.
  internals_->health_check_.RetireQueue();
  return kOk;
}

}  // namespace zva

namespace zva {

void Accelerator::KickOffKeepAliveThread(const Versions& versions,
                                         const char* framework) {
  CLogger log;
  log << "[Health check] Starting health check \n" << logger::INFO;
  if (s_exiting) {
    log << "[Health check] The process is exiting; health check not started\n"
        << logger::ERROR;
    return;
  }
  // The thread keeps its own copy of the name: the caller's text need not
  // outlive it.
  switch (internals_->health_check_.Start(
      versions, framework != nullptr ? framework : "")) {
    case HealthCheck::StartResult::kStarted:
      return;
    case HealthCheck::StartResult::kAlreadyRunning:
      log << "[Health check] Health check already running for accelerator "
          << accelerator_id_ << "\n"
          << logger::WARNING;
      return;
    case HealthCheck::StartResult::kStopped:
      log << "[Health check] Accelerator " << accelerator_id_
          << " has been released; health check not started\n"
          << logger::ERROR;
      return;
  }
}

void Accelerator::KeepAliveThread(const Versions& versions,
                                  const char* framework) {
  internals_->health_check_.Run(versions, framework);
}

}  // namespace zva
