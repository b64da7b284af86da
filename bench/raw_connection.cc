#include "raw_connection.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>

#include <grpcpp/create_channel.h>
#include <grpcpp/security/credentials.h>
#include <grpcpp/support/channel_arguments.h>

#include "zvsim/signature.h"

namespace zvbench {

namespace {

constexpr char kAcceleratorHeader[] = "x-kstrn-zva-accelerator-id";
constexpr std::chrono::seconds kDeadline(60);

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string Describe(const grpc::Status& status) {
  return std::to_string(status.error_code()) + " " + status.error_message();
}

}  // namespace

bool AddressFromEnvironment(const std::string& accelerator_id,
                            ServiceAddress* address, std::string* error) {
  address->endpoint = Environment("ACCELERATOR_PROXYURI_OVERRIDE");
  address->region = Environment("KCP_REGION");
  address->access_key_id = Environment("KCP_ACCESS_KEY_ID");
  address->secret_key = Environment("KCP_SECRET_ACCESS_KEY");
  address->session_token = Environment("KCP_SESSION_TOKEN");
  address->accelerator_id = accelerator_id;
  address->plaintext = std::getenv("ZVL_TLS_OPTION_DISABLED") != nullptr;
  address->stamp_calls = std::getenv("ZV_BENCH_RAW_STAMPS") != nullptr;
  if (address->endpoint.empty() || address->region.empty() ||
      address->access_key_id.empty() || address->secret_key.empty() ||
      accelerator_id.empty()) {
    *error =
        "the environment of zv-sim is incomplete: need "
        "ACCELERATOR_PROXYURI_OVERRIDE, KCP_REGION, KCP_ACCESS_KEY_ID, "
        "KCP_SECRET_ACCESS_KEY and an accelerator id";
    return false;
  }
  return true;
}

bool RawConnection::Open(const ServiceAddress& address,
                         const std::string& framework,
                         const std::string& model_id, std::string* error) {
  address_ = address;
  model_id_ = model_id;
  grpc::ChannelArguments arguments;
  arguments.SetMaxReceiveMessageSize(-1);
  channel_ = grpc::CreateCustomChannel(
      address.endpoint,
      address.plaintext ? grpc::InsecureChannelCredentials()
                        : grpc::SslCredentials(grpc::SslCredentialsOptions()),
      arguments);
  stub_ = zva::rpc::ZvaInference::NewStub(channel_);

  // Connect marks this connection as signed in; the session is opened on it.
  // Signed by the simulator's own reading of the scheme: this client shares
  // nothing with the library.
  zvsim::SignedConnect signed_connect;
  signed_connect.authority = address.endpoint;
  signed_connect.date = zvsim::FormatKcpDate(std::chrono::system_clock::now());
  signed_connect.accelerator_id = address.accelerator_id;
  const std::string& timestamp = signed_connect.date;
  const std::string authorization =
      zvsim::ConnectVerifier(
          {address.access_key_id, address.secret_key, address.session_token},
          address.region)
          .AuthorizationFor(signed_connect);
  if (authorization.empty()) {
    *error = "signing the Connect failed";
    return false;
  }
  {
    grpc::ClientContext context;
    context.AddMetadata("authorization", authorization);
    context.AddMetadata("x-kst-date", timestamp);
    if (!address.session_token.empty()) {
      context.AddMetadata("x-kst-security-token", address.session_token);
    }
    PrepareContext(&context);
    zva::rpc::ConnectResponse response;
    const grpc::Status status =
        stub_->Connect(&context, zva::rpc::ConnectRequest(), &response);
    if (!status.ok()) {
      *error = "Connect failed: " + Describe(status);
      return false;
    }
  }
  {
    grpc::ClientContext context;
    PrepareContext(&context);
    zva::rpc::InitSessionRequest request;
    request.set_zva_id(address.accelerator_id);
    request.mutable_session_config()->set_model_type(framework);
    zva::rpc::InitSessionResponse response;
    const grpc::Status status =
        stub_->InitSession(&context, request, &response);
    if (!status.ok()) {
      *error = "InitSession failed: " + Describe(status);
      return false;
    }
    session_id_ = response.session().session_id();
  }
  {
    grpc::ClientContext context;
    PrepareContext(&context);
    zva::rpc::LoadModelRequest request;
    request.mutable_session()->set_session_id(session_id_);
    request.set_model_id(model_id);
    zva::rpc::LoadModelResponse response;
    const grpc::Status status = stub_->LoadModel(&context, request, &response);
    if (!status.ok()) {
      *error = "LoadModel failed: " + Describe(status);
      return false;
    }
  }
  return true;
}

void RawConnection::PrepareContext(grpc::ClientContext* context) const {
  context->AddMetadata(kAcceleratorHeader, address_.accelerator_id);
  if (address_.stamp_calls) {
    // The same shapes as the library's: a random identifier in the layout of
    // a version 4 UUID, and the local time in ctime's layout with
    // microseconds.
    thread_local std::mt19937_64 random(std::random_device{}());
    const uint64_t high = random();
    const uint64_t low = random();
    char id[48];
    std::snprintf(id, sizeof(id), "PT-%08x-%04x-4%03x-%04x-%012llx",
                  static_cast<unsigned>(high >> 32),
                  static_cast<unsigned>(high >> 16) & 0xffffu,
                  static_cast<unsigned>(high) & 0xfffu,
                  (static_cast<unsigned>(low >> 48) & 0x3fffu) | 0x8000u,
                  static_cast<unsigned long long>(low & 0xffffffffffffULL));
    context->AddMetadata("x-kstrn-request-id", id);
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::tm local{};
    char stamp[64];
    std::size_t length = 0;
    if (::localtime_r(&now.tv_sec, &local) != nullptr) {
      length =
          std::strftime(stamp, sizeof(stamp), "%a %b %e %H:%M:%S %Y", &local);
    }
    std::snprintf(stamp + length, sizeof(stamp) - length, ", %06ldus",
                  static_cast<long>(now.tv_nsec / 1000));
    context->AddMetadata("x-kstrn-time-stamp", stamp);
  }
  context->set_deadline(std::chrono::system_clock::now() + kDeadline);
}

}  // namespace zvbench
