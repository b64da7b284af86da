#include "zvl_accelerator.h"

#include <cstdlib>
#include <utility>

#include "kcp/kcp.h"
#include "log_stream.h"
#include "zvl_error_handler.h"
#include "zvl_fill_context.h"
#include "zvl_kcpauth.h"
#include "zvl_object.h"
#include "zvl_rpcstatus.h"
#include "zvl_util.h"

namespace zva {

using logger::CLogger;

std::mutex mtx_init_and_shutdown;

std::map<grpc::Channel*, Accelerator*> Accelerator::s_channel_to_accel_map_;
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

// The platform layer is started by the first accelerator of the process and
// shut down once the last holder of this object lets go, at process exit.
std::shared_ptr<Accelerator::RunOnInitAndExit> SdkLifetime() {
  static std::shared_ptr<Accelerator::RunOnInitAndExit> runOnInitAndExit =
      std::make_shared<Accelerator::RunOnInitAndExit>(
          [] {
            std::lock_guard<std::mutex> lock(mtx_init_and_shutdown);
            kcp::InitAPI(kcp_sdk_options);
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
      sdk_lifetime_(SdkLifetime()) {
  CLogger log("Accelerator");
  log << "Accelerator constructing" << logger::INFO;
  log << "Endpoint: " << endpoint_ << logger::INFO;

  client_config_.InitConfiguration();

  grpc::ChannelArguments arguments;
  arguments.SetMaxReceiveMessageSize(
      client_config_.GetConfigProto().max_receive_message_size());

  std::shared_ptr<grpc::Channel> channel;
  // Only the variable's presence counts, so an empty value disables TLS too.
  if (std::getenv("ZVL_TLS_OPTION_DISABLED") != nullptr) {
    channel = grpc::CreateCustomChannel(
        endpoint_, grpc::InsecureChannelCredentials(), arguments);
  } else {
    std::string roots;
    if (util::GetRootCertificateFile(&roots) != 0) {
      ZvaRpcStatus status(35, GetErrorDescription(35), std::string());
      util::SetLastError(
          util::GenerateLastErrorMessage(status, std::string(), std::string()));
    }
    // Empty roots make gRPC fall back to its own default roots.
    grpc::SslCredentialsOptions ssl;
    ssl.pem_root_certs = roots;
    channel = grpc::CreateCustomChannel(endpoint_, grpc::SslCredentials(ssl),
                                        arguments);
  }
  {
    std::lock_guard<std::mutex> lock(mtx_stub_);
    channel_ = channel;
    stub_ = zva::rpc::ZvaInference::NewStub(channel_);
  }
  std::lock_guard<std::mutex> lock(mtx_s_channel_to_accel_map_);
  s_channel_to_accel_map_[channel.get()] = this;
}

Accelerator::~Accelerator() {
  Release();
  // Only a thread destroying its own accelerator leaves its object joinable.
  std::lock_guard<std::mutex> lock(mtx_thread_);
  if (keep_alive_thread_.joinable()) keep_alive_thread_.detach();
}

Accelerator* Accelerator::FromChannel(grpc::Channel* channel) {
  std::lock_guard<std::mutex> lock(mtx_s_channel_to_accel_map_);
  auto it = s_channel_to_accel_map_.find(channel);
  return it == s_channel_to_accel_map_.end() ? nullptr : it->second;
}

zva::config::ClientLibraryConfig Accelerator::GetClientConfig() const {
  return client_config_.GetConfigProto();
}

int Accelerator::GetOverrideOperatorWhitelistVersion() {
  return GetClientConfig().operator_whitelist_override_version();
}

std::shared_ptr<grpc::Channel> Accelerator::GetChannel() const {
  std::lock_guard<std::mutex> lock(mtx_stub_);
  return channel_;
}

std::shared_ptr<zva::rpc::ZvaInference::Stub> Accelerator::GetStub() const {
  std::lock_guard<std::mutex> lock(mtx_stub_);
  return stub_;
}

void Accelerator::SetFrameworkObject(std::shared_ptr<ObjectInterface> object) {
  std::lock_guard<std::mutex> lock(mtx_);
  framework_object_ = std::move(object);
}

ZvaRpcStatus Accelerator::ReleasedStatus() {
  return ZvaRpcStatus(1, kReleasedMessage, std::string());
}

void Accelerator::ReportReleased(const char* operation) const {
  CLogger log;
  log << "[" << operation << "] Accelerator " << accelerator_id_
      << " has been released\n"
      << logger::ERROR;
  util::SetLastError(util::GenerateLastErrorMessage(
      ReleasedStatus(), std::string(), accelerator_id_));
}

bool Accelerator::WaitForStateChange(
    const std::shared_ptr<grpc::Channel>& channel, grpc_connectivity_state from,
    std::chrono::system_clock::time_point deadline) {
  constexpr std::chrono::milliseconds kStopCheckPeriod(100);
  while (true) {
    auto period_end =
        std::min(deadline, std::chrono::system_clock::now() + kStopCheckPeriod);
    if (channel->WaitForStateChange(from, period_end)) return true;
    if (quit_ || std::chrono::system_clock::now() >= deadline) return false;
  }
}

bool Accelerator::WaitForChannelReady() {
  CLogger log("WaitForChannelReady");
  log << "[Health check][WaitForChannelReady] Waiting for channel to become "
         "ready. \n"
      << logger::INFO;
  constexpr std::chrono::seconds kReadyPeriod(2);
  auto deadline = std::chrono::system_clock::now() + kReadyPeriod;
  while (true) {
    std::shared_ptr<grpc::Channel> channel = GetChannel();
    if (channel == nullptr) return false;
    grpc_connectivity_state state = channel->GetState(true);
    if (state == GRPC_CHANNEL_READY) {
      log << "[Health check][WaitForChannelReady] Channel is ready. \n"
          << logger::DEBUG;
      return true;
    }
    if (WaitForStateChange(channel, state, deadline)) continue;
    if (std::chrono::system_clock::now() >= deadline) {
      // Recorded before the warning, so that whoever reads the warning finds
      // the record in place.
      session_context_.SetLastSessionError(ZvaRpcStatus(
          grpc::Status(grpc::StatusCode::UNAVAILABLE, std::string()),
          std::string(), 36));
      log << "[Health check][WaitForChannelReady] Channel is not connected. "
             "retrying.. \n"
          << logger::WARNING;
      deadline = std::chrono::system_clock::now() + kReadyPeriod;
    }
    if (quit_) {
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
    std::shared_ptr<zva::rpc::ZvaInference::Stub> stub = GetStub();
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
    try {
      std::unique_ptr<AuthSigner, const ObjectReleaser> signer(
          new AuthSigner(endpoint_, region_, accelerator_id_));
      log << "[ConnectImplementation] Signing auth request\n" << logger::INFO;
      authorization = signer->SignRequest();
      log << "[ConnectImplementation] Auth signing successful\n"
          << logger::INFO;
      date = signer->GetDateString();
      token = signer->GetKcpCredSessionToken();
    } catch (int code) {
      std::string description = GetErrorDescription(code);
      log << "[ConnectImplementation] Auth exception: " << description << "\n"
          << logger::WARNING;
      ZvaRpcStatus status(code, description, std::string());
      session_context_.SetLastSessionError(status);
      ErrorHandler::ThrowRPCStateException(status);
    }
    context.AddMetadata("authorization", authorization);
    context.AddMetadata("x-kst-date", date);
    if (!token.empty()) context.AddMetadata("x-kst-security-token", token);

    std::string request_id =
        util::FillContext(&context, this, GetClientConfig().connect_timeout());
    log << "[ConnectImplementation] Making connect call with request_id: "
        << request_id << "\n"
        << logger::INFO;
    log << "[ConnectImplementation] Making connect call with accelerator_id: "
        << accelerator_id_ << "\n"
        << logger::INFO;

    grpc::Status status;
    {
      CLogger timer("Connect");
      status = stub->Connect(&context, request, &response);
    }
    if (status.ok()) {
      log << "[ConnectImplementation] Connect call succeeded\n" << logger::INFO;
      return 0;
    }
    ZvaRpcStatus failure(status, request_id, 1);
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
    return 1;
  }
  if (is_connected_) return 0;
  CLogger log("Connect");
  log << "[Connect] Trying connect first...\n" << logger::INFO;
  try {
    ConnectImplementation(true);
    is_connected_ = true;
    return 0;
  } catch (RPCState) {
    is_connected_ = false;
    ZvaRpcStatus status = session_context_.GetLastSessionError();
    std::string text = util::GenerateLastErrorMessage(
        status, status.GetRequestId(), accelerator_id_);
    log << "[Connect] Failed. Error message - " << text << logger::ERROR;
    util::SetLastError(text);
    return 1;
  }
}

grpc::Status Accelerator::PingImplementation(zva::rpc::PingResponse* response) {
  CLogger log("PingImplementation");
  log << "Ping accelerator\n" << logger::INFO;
  std::shared_ptr<grpc::Channel> channel = GetChannel();
  std::shared_ptr<zva::rpc::ZvaInference::Stub> stub = GetStub();
  if (channel == nullptr || stub == nullptr) {
    ReportReleased("Ping");
    return grpc::Status(grpc::StatusCode::FAILED_PRECONDITION,
                        kReleasedMessage);
  }
  log << "\n Channel state: " << channel->GetState(false) << "\n"
      << logger::INFO;
  grpc::ClientContext context;
  std::string request_id =
      util::FillContext(&context, this, GetClientConfig().ping_timeout());
  log << "Calling ping with request id: " << request_id << "\n" << logger::INFO;
  grpc::Status status;
  {
    CLogger timer("Ping");
    status = stub->Ping(&context, zva::rpc::PingRequest(), response);
  }
  if (!status.ok()) {
    ZvaRpcStatus failure(status, std::string(), 1);
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
    return 1;
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
    if (result != 0) return result;
    grpc::Status status = PingImplementation(&response);
    if (status.ok()) {
      log << "Accelerator health state: "
          << zva::rpc::HealthState_Name(response.health_state()) << "\n"
          << logger::INFO;
      return response.health_state() == zva::rpc::HEALTHY ? 0 : 10;
    }
    ++attempts;
    log << "Ping error code: " << status.error_code()
        << ". Doing internal retry. Attempt: " << attempts << "\n"
        << logger::WARNING;
    if (ErrorHandler::IsProxyConnectNeeded(
            ZvaRpcStatus(status, std::string(), 1))) {
      is_connected_ = false;
      result = Connect();
      if (result != 0) return result;
    }
    if (attempts == max_ping_attempts_) break;
  }
  log << "Ping failed even after retries.\n" << logger::ERROR;
  std::string last_error;
  GetLastError(&last_error);
  log << "Error message: " << last_error << "\n" << logger::ERROR;
  return 1;
}

void Accelerator::StopKeepAliveThread() {
  quit_ = true;
  // Taking mtx_ orders the wake-up after the back-off wait's test of quit_.
  { std::lock_guard<std::mutex> lock(mtx_); }
  cv_.notify_all();
  session_context_.NotifyStopping();
  if (keep_alive_thread_.joinable() &&
      keep_alive_thread_.get_id() != std::this_thread::get_id()) {
    keep_alive_thread_.join();
  }
}

int Accelerator::Release() {
  {
    std::lock_guard<std::mutex> lock(mtx_thread_);
    release_requested_ = true;
    StopKeepAliveThread();
  }
  // Dropped after mtx_init_and_shutdown is unlocked: the last reference runs
  // the platform shutdown, which takes that mutex itself.
  std::shared_ptr<RunOnInitAndExit> sdk_lifetime;
  {
    std::lock_guard<std::mutex> lock(mtx_init_and_shutdown);
    if (is_released_) return 0;
    CLogger log;
    log << "Releasing accelerator \n" << logger::INFO;
    {
      std::lock_guard<std::mutex> framework_lock(mtx_);
      framework_object_.reset();
    }
    std::shared_ptr<zva::rpc::ZvaInference::Stub> stub;
    std::shared_ptr<grpc::Channel> channel;
    {
      std::lock_guard<std::mutex> stub_lock(mtx_stub_);
      stub = std::move(stub_);
      channel = std::move(channel_);
    }
    stub.reset();
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
  return 0;
}

}  // namespace zva
