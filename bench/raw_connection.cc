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
#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace zvbench {

namespace {

constexpr char kAlgorithm[] = "KCP4-HMAC-SHA256";
constexpr char kService[] = "zorvel";
constexpr char kTerminator[] = "kcp4_request";
constexpr char kSignedHeaders[] =
    ":authority;x-kst-date;x-kstrn-zva-accelerator-id";
// Connect is signed without its body: the hash of no bytes.
constexpr char kEmptyPayloadHash[] =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr char kAcceleratorHeader[] = "x-kstrn-zva-accelerator-id";
constexpr std::chrono::seconds kDeadline(60);

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string Hex(const unsigned char* bytes, unsigned int size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(size * 2);
  for (unsigned int i = 0; i < size; ++i) {
    hex.push_back(kDigits[bytes[i] >> 4]);
    hex.push_back(kDigits[bytes[i] & 0xf]);
  }
  return hex;
}

// Empty when the digest fails.
std::string Sha256Hex(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha256(),
                 nullptr) != 1) {
    return "";
  }
  return Hex(digest, size);
}

// The raw HMAC-SHA256 of `data` under `key`; empty when it fails.
std::string Hmac(const std::string& key, const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(data.data()), data.size(),
           digest, &size) == nullptr) {
    return "";
  }
  return std::string(reinterpret_cast<char*>(digest), size);
}

std::string UtcNow(const char* pattern) {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  return std::string(text, std::strftime(text, sizeof(text), pattern, &utc));
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

std::string SignConnect(const ServiceAddress& address,
                        const std::string& timestamp) {
  const std::string day = timestamp.substr(0, 8);
  const std::string canonical =
      std::string("POST\n/zva.rpc.ZvaInference/Connect\n\n") +
      ":authority:" + address.endpoint + "\n" + "x-kst-date:" + timestamp +
      "\n" + kAcceleratorHeader + ":" + address.accelerator_id + "\n\n" +
      kSignedHeaders + "\n" + kEmptyPayloadHash;
  const std::string canonical_hash = Sha256Hex(canonical);
  const std::string scope =
      day + "/" + address.region + "/" + kService + "/" + kTerminator;
  const std::string string_to_sign = std::string(kAlgorithm) + "\n" +
                                     timestamp + "\n" + scope + "\n" +
                                     canonical_hash;
  std::string key = "KCP4" + address.secret_key;
  for (const std::string& part :
       {day, address.region, std::string(kService), std::string(kTerminator)}) {
    key = Hmac(key, part);
    if (key.empty()) return "";
  }
  const std::string signature = Hmac(key, string_to_sign);
  if (canonical_hash.empty() || signature.empty()) return "";
  return std::string(kAlgorithm) + " Credential=" + address.access_key_id +
         "/" + scope + ", SignedHeaders=" + kSignedHeaders + ", Signature=" +
         Hex(reinterpret_cast<const unsigned char*>(signature.data()),
             static_cast<unsigned int>(signature.size()));
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
  const std::string timestamp = UtcNow("%Y%m%dT%H%M%SZ");
  const std::string authorization = SignConnect(address, timestamp);
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
