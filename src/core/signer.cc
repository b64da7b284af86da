#include "core/signer.h"

#include <cstdio>

#include "platform/log_stream.h"
#include "errors/safe_text.h"

namespace {

constexpr char kLogTag[] = "KCPAuthV4Signer";
constexpr char kAlgorithm[] = "KCP4-HMAC-SHA256";
constexpr char kKeyPrefix[] = "KCP4";
constexpr char kTerminator[] = "kcp4_request";
constexpr char kService[] = "zorvel";
constexpr char kRequestPath[] = "/zva.rpc.ZvaInference/Connect";
constexpr char kSignedHeaders[] =
    ":authority;x-kst-date;x-kstrn-zva-accelerator-id";
// Hex SHA-256 of zero bytes: Connect is signed without its body.
constexpr char kEmptyPayloadHash[] =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr char kTimestampFormat[] = "%Y%m%dT%H%M%SZ";
constexpr char kDayFormat[] = "%Y%m%d";

// Diagnostics go to the platform layer's log system, not to the library's
// logger, and only when that system is there and verbose enough.
bool LogEnabled(kcp::LogLevel level) {
  kcp::LogSystem* system = kcp::GetLogSystem();
  return system != nullptr &&
         static_cast<int>(system->GetLogLevel()) >= static_cast<int>(level);
}

void Log(kcp::LogLevel level, const std::string& message) {
  kcp::LogSystem* system = kcp::GetLogSystem();
  if (system != nullptr &&
      static_cast<int>(system->GetLogLevel()) >= static_cast<int>(level)) {
    system->Log(level, kLogTag, message);
  }
}

// Logs the one warning of a refresh that failed while the cached
// credentials were still valid; returns why no source had credentials
// (empty when one had). Neither text holds a secret.
std::string WarnAndExplain(const kcp::CredentialsReport& report) {
  if (!report.warning.empty()) {
    zva::logger::CLogger log;
    log << "[Credentials] " << report.warning << "\n" << zva::logger::WARNING;
  }
  return report.failure;
}

kcp::ByteBuffer Bytes(const std::string& text) {
  return kcp::ByteBuffer(text.begin(), text.end());
}

// Throws `code` after logging why, when `value` (sent as, or inside, a
// request header) holds a byte that gRPC refuses in a header; gRPC would
// otherwise stop the process. The value itself is never logged: it may be
// a secret.
void RefuseUnsendable(const char* what, const std::string& value, int code) {
  const std::size_t offset = zva::util::FirstUnsendableByte(value);
  if (offset == std::string::npos) return;
  char byte[8];
  std::snprintf(byte, sizeof(byte), "0x%02x",
                static_cast<unsigned char>(value[offset]));
  zva::logger::CLogger log;
  log << "[Auth] The " << what
      << " cannot be sent in a request header: it holds the byte " << byte
      << " at offset " << offset
      << " (only printable ASCII can be sent; a line end or blank copied "
         "along is a common cause)\n"
      << zva::logger::ERROR;
  throw code;
}

// Credentials whose access key id or session token cannot be sent are as
// good as none.
void RefuseUnsendableCredentials(const kcp::Credentials& credentials) {
  RefuseUnsendable("access key id of the KCP credentials",
                   credentials.access_key_id, zva::kNoKcpCredentials);
  RefuseUnsendable("session token of the KCP credentials",
                   credentials.session_token, zva::kNoKcpCredentials);
}

}  // namespace

AuthSigner::AuthSigner(const std::string& endpoint, const std::string& region,
                       const std::string& accelerator_id)
    : endpoint_(endpoint),
      region_(region),
      accelerator_id_(accelerator_id),
      credentials_provider_(
          std::make_shared<kcp::DefaultCredentialsProviderChain>()) {}

AuthSigner::~AuthSigner() = default;

int AuthSigner::Release() {
  {
    zva::logger::CLogger log("Release");
    log << "Releasing auth signer \n" << zva::logger::INFO;
  }
  delete this;
  return zva::kOk;
}

AuthSigner::TimePoint AuthSigner::SigningTime() const {
  // The clock-skew offset of the signing clock is never changed, so the
  // signing time is the platform clock itself.
  return pinned_time_ ? *pinned_time_ : kcp::Now();
}

kcp::Credentials AuthSigner::ReadCredentials() const {
  return pinned_credentials_ ? *pinned_credentials_
                             : credentials_provider_->GetCredentials();
}

std::string AuthSigner::SignRequest() {
  struct Unpin {
    AuthSigner* signer;
    ~Unpin() {
      signer->pinned_time_.reset();
      signer->pinned_credentials_.reset();
    }
  } unpin{this};

  const TimePoint now = kcp::Now();
  pinned_time_ = now;
  const std::string timestamp = kcp::FormatUtc(now, kTimestampFormat);
  const std::string day = kcp::FormatUtc(now, kDayFormat);

  const std::string canonical = BuildCanonicalRequestString();
  kcp::ByteBuffer digest;
  if (!kcp::Sha256(canonical, &digest)) {
    Log(kcp::LogLevel::kError, "Failed to hash (sha256) request string");
    Log(kcp::LogLevel::kDebug, "The request string is: \"" + canonical + "\"");
    throw zva::kSigningFailed;
  }
  const std::string canonical_hash = kcp::HexEncode(digest);
  date_ = timestamp;

  const std::string string_to_sign =
      GenerateStringToSign(timestamp, day, canonical_hash, region_, kService);

  // One read serves the signature and the credential scope, so a rotation
  // of the credentials in between cannot pair one key's signature with
  // another key's id.
  kcp::CredentialsReport report;
  kcp::Credentials credentials = credentials_provider_->GetCredentials(&report);
  credentials_failure_ = WarnAndExplain(report);
  if (credentials.IsEmpty()) throw zva::kNoKcpCredentials;
  RefuseUnsendableCredentials(credentials);
  // The region is part of the "authorization" header value. Discovery
  // refuses such regions; an accelerator made with one directly can never
  // connect.
  RefuseUnsendable("region", region_, zva::kSigningFailed);
  pinned_credentials_ = credentials;

  const std::string signature =
      GenerateSignature(credentials, string_to_sign, day, region_, kService);
  if (signature.empty()) throw zva::kSigningFailed;
  return BuildAuthHeaderString(signature);
}

std::string AuthSigner::BuildCanonicalRequestString() {
  const std::string timestamp = kcp::FormatUtc(SigningTime(), kTimestampFormat);
  // Both encodings leave this path as it is; they are applied so that the
  // canonical path stays right should the path ever change.
  const std::string path = kcp::UriEncodePath(kcp::UriEncodePath(kRequestPath));
  std::string canonical;
  canonical.reserve(256);
  canonical.append("POST\n");
  canonical.append(path).append("\n");
  canonical.append("\n");
  canonical.append(":authority:").append(endpoint_).append("\n");
  canonical.append("x-kst-date:").append(timestamp).append("\n");
  canonical.append("x-kstrn-zva-accelerator-id:")
      .append(accelerator_id_)
      .append("\n");
  canonical.append("\n");
  canonical.append(kSignedHeaders).append("\n");
  canonical.append(kEmptyPayloadHash);
  return canonical;
}

std::string AuthSigner::BuildCredentialString() {
  const kcp::Credentials credentials = ReadCredentials();
  if (credentials.IsEmpty()) throw zva::kNoKcpCredentials;
  RefuseUnsendableCredentials(credentials);
  if (!credentials.session_token.empty()) {
    session_token_ = credentials.session_token;
  }
  const std::string day = kcp::FormatUtc(SigningTime(), kDayFormat);
  return credentials.access_key_id + "/" + day + "/" + region_ + "/" +
         kService + "/" + kTerminator;
}

std::string AuthSigner::BuildAuthHeaderString(std::string signature) {
  return std::string(kAlgorithm) + " Credential=" + BuildCredentialString() +
         ", SignedHeaders=" + kSignedHeaders + ", Signature=" + signature;
}

std::string AuthSigner::GenerateSignature(const kcp::Credentials& credentials,
                                          const std::string& string_to_sign,
                                          const std::string& day,
                                          const std::string& region,
                                          const std::string& service) {
  return GenerateSignature(string_to_sign, ComputeHash(credentials.secret_key,
                                                       day, region, service));
}

std::string AuthSigner::GenerateSignature(const std::string& string_to_sign,
                                          const kcp::ByteBuffer& key) {
  if (LogEnabled(kcp::LogLevel::kDebug)) {
    Log(kcp::LogLevel::kDebug, "Final String to sign: " + string_to_sign);
  }
  // An empty key is what a failed derivation returns; an HMAC under it
  // would still give a signature, one the proxy can only refuse.
  if (key.empty()) {
    Log(kcp::LogLevel::kError, "Unable to hmac (sha256) final string");
    Log(kcp::LogLevel::kDebug, "The signing key is empty");
    return std::string();
  }
  kcp::ByteBuffer digest;
  if (!kcp::HmacSha256(Bytes(string_to_sign), key, &digest)) {
    Log(kcp::LogLevel::kError, "Unable to hmac (sha256) final string");
    Log(kcp::LogLevel::kDebug,
        "The final string is: \"" + string_to_sign + "\"");
    return std::string();
  }
  std::string hex = kcp::HexEncode(digest);
  Log(kcp::LogLevel::kDebug, "Final computed signing hash: " + hex);
  return hex;
}

std::string AuthSigner::GenerateStringToSign(
    const std::string& timestamp, const std::string& day,
    const std::string& canonical_request_hash, const std::string& region,
    const std::string& service) {
  return std::string(kAlgorithm) + "\n" + timestamp + "\n" + day + "/" +
         region + "/" + service + "/" + kTerminator + "\n" +
         canonical_request_hash;
}

kcp::ByteBuffer AuthSigner::ComputeHash(const std::string& secret_key,
                                        const std::string& day,
                                        const std::string& region,
                                        const std::string& service) {
  const kcp::ByteBuffer k0 = Bytes(kKeyPrefix + secret_key);
  kcp::ByteBuffer k_day;
  if (!kcp::HmacSha256(Bytes(day), k0, &k_day)) {
    Log(kcp::LogLevel::kError,
        "Failed to HMAC (SHA256) date string \"" + day + "\"");
    return kcp::ByteBuffer();
  }
  kcp::ByteBuffer k_region;
  if (!kcp::HmacSha256(Bytes(region), k_day, &k_region)) {
    Log(kcp::LogLevel::kError,
        "Failed to HMAC (SHA256) region string \"" + region + "\"");
    return kcp::ByteBuffer();
  }
  kcp::ByteBuffer k_service;
  if (!kcp::HmacSha256(Bytes(service), k_region, &k_service)) {
    Log(kcp::LogLevel::kError,
        std::string("Failed to HMAC (SHA256) service string \"") + kService +
            "\"");
    return kcp::ByteBuffer();
  }
  kcp::ByteBuffer k_signing;
  if (!kcp::HmacSha256(Bytes(kTerminator), k_service, &k_signing)) {
    Log(kcp::LogLevel::kError, "Unable to HMAC (SHA256) request string");
    Log(kcp::LogLevel::kDebug,
        std::string("The request string is: \"") + kTerminator + "\"");
    return kcp::ByteBuffer();
  }
  return k_signing;
}

std::string AuthSigner::GetDateString() const { return date_; }

std::string AuthSigner::GetKcpCredSessionToken() const {
  return session_token_;
}

std::string AuthSigner::GetCredentialsFailure() const {
  return credentials_failure_;
}
