#ifndef ZVA_PLATFORM_KCP_H_
#define ZVA_PLATFORM_KCP_H_

// The platform layer: the least of the cloud SDK core that the library needs
// (credentials, digests, hex, UTC clock, URI path encoding, UUIDs, a log
// system). Every function here is thread-safe after InitAPI; the digest,
// hex, encoding and UUID functions are safe before it too.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kcp {

using ByteBuffer = std::vector<uint8_t>;

// Options of InitAPI/ShutdownAPI.
struct SDKOptions {
  // 0 = the platform layer's log system stays off (the library's default);
  // otherwise the highest level written (1 fatal .. 6 trace).
  int log_level = 0;
  // File name prefix of the log system's file; empty means standard error.
  std::string log_file_prefix;
};

// Starts and stops the platform layer for the process. Calls must pair; the
// library serialises them itself.
void InitAPI(const SDKOptions& options);
void ShutdownAPI(const SDKOptions& options);

// ---- Credentials -------------------------------------------------------

// The instance metadata service, unless "ZV_INSTANCE_METADATA_URI" replaces
// it; discovery reads the same service at the same address.
inline constexpr char kInstanceMetadataBaseUri[] = "http://169.254.169.254";
inline constexpr char kInstanceMetadataVariable[] = "ZV_INSTANCE_METADATA_URI";
// Bounds each request to the metadata service or the container credentials
// endpoint, connection included; discovery's queries have the same bound.
inline constexpr std::chrono::seconds kMetadataQueryTimeout{2};
// Cached credentials with less than this left are refreshed by the next
// look-up.
inline constexpr std::chrono::minutes kCredentialsRefreshAhead{5};

// One set of credentials. A look-up hands out a copy of one set whole, so a
// key id never travels with another set's secret or token.
struct Credentials {
  std::string access_key_id;
  std::string secret_key;
  std::string session_token;
  // True when either the key id or the secret is missing.
  bool IsEmpty() const { return access_key_id.empty() || secret_key.empty(); }
};

// What a look-up found besides the credentials. Never holds a key id, a
// secret or a token.
struct CredentialsReport {
  // Where the credentials came from: "environment", "profile file",
  // "container endpoint" or "host role NAME"; empty when none was found.
  std::string source;
  // When the result is empty: every source tried and why each gave nothing.
  std::string failure;
  // When a refresh failed and the cached credentials, not yet expired, were
  // handed out instead. Set for the first such failure of a set only, so a
  // caller that logs it logs one warning per set.
  std::string warning;
};

// Tries, in order, and hands out the first complete set (key id and secret)
// of:
//  1. the environment: "KCP_ACCESS_KEY_ID", "KCP_SECRET_ACCESS_KEY",
//     optional "KCP_SESSION_TOKEN";
//  2. the profile file $HOME/.kcp/credentials, profile "KCP_PROFILE" or
//     "default" (keys kcp_access_key_id, kcp_secret_access_key,
//     kcp_session_token);
//  3. the container credentials endpoint, when
//     "KCP_CONTAINER_CREDENTIALS_URI" names one (an http URL on this host:
//     loopback or link-local; or any https URL);
//  4. the host role: the role named on the first line of
//     metadata base + "/latest/meta-data/kcp/security-credentials/", whose
//     credentials are that path + the role name.
// Sources 3 and 4 answer with a JSON object with the strings "AccessKeyId",
// "SecretAccessKey", "Token" and "Expiration" ("2026-12-07T18:04:05Z"), and
// optionally "Code", which must then be "Success". Each request is bounded
// by kMetadataQueryTimeout and never goes through an HTTP proxy.
//
// The environment and the file are read afresh on every call. Credentials
// of sources 3 and 4 are cached for the whole process and refreshed by the
// first look-up that finds less than kCredentialsRefreshAhead left (and so
// at once when they have expired); look-ups meanwhile keep the cached set
// while it lasts, or wait for that one refresh and share its result. When a
// refresh fails, the cached set serves until it expires.
//
// Thread-safe; the object itself holds no state.
class DefaultCredentialsProviderChain {
 public:
  // Empty credentials when no source has any; `report`, when given, says
  // where they came from or why there are none.
  Credentials GetCredentials(CredentialsReport* report = nullptr) const;
};

// Forgets the cached container and role credentials. For tests.
void ResetCredentialsCacheForTesting();
// Waits until at least `n` look-ups wait for a refresh in flight; false
// after `timeout`. For tests.
bool AwaitCredentialsRefreshWaitersForTesting(
    int n, std::chrono::milliseconds timeout);

// ---- Digests and encodings ---------------------------------------------

// Each returns false, and leaves `digest` empty, when the digest could not
// be computed.
bool Sha256(const std::string& data, ByteBuffer* digest);
bool HmacSha256(const ByteBuffer& data, const ByteBuffer& key,
                ByteBuffer* digest);

// Lower-case hex, two digits per byte.
std::string HexEncode(const ByteBuffer& bytes);

// RFC 3986 encoding of a URI path: unreserved characters and '/' stay, every
// other byte becomes %XX (upper-case hex).
std::string UriEncodePath(const std::string& path);

// A random (version 4) UUID in its 36-character lower-case text form, from
// a generator per thread seeded from the system's random source. Never fails.
std::string RandomUUID();

// ---- Clock -------------------------------------------------------------

using ClockFunction = std::function<std::chrono::system_clock::time_point()>;

// The platform layer's clock. Tests may replace it to fix signing times;
// pass an empty function to restore the system clock. Thread-safe.
std::chrono::system_clock::time_point Now();
void SetClockForTesting(ClockFunction clock);

// `time` formatted in UTC with a strftime pattern, such as "%Y%m%d".
std::string FormatUtc(std::chrono::system_clock::time_point time,
                      const char* pattern);

// ---- Log system --------------------------------------------------------

enum class LogLevel : int { kOff = 0, kFatal = 1, kError = 2, kWarn = 3, kInfo = 4, kDebug = 5, kTrace = 6 };

// Diagnostics of the platform layer's callers. Thread-safe.
class LogSystem {
 public:
  virtual ~LogSystem() = default;
  virtual LogLevel GetLogLevel() const = 0;
  virtual void Log(LogLevel level, const char* tag, const std::string& message) = 0;
};

// The installed log system, or null when none (log level 0, or before
// InitAPI/after ShutdownAPI). The pointer stays valid until ShutdownAPI.
LogSystem* GetLogSystem();
// Installs `system` (tests capture diagnostics this way); null removes it.
void SetLogSystem(std::shared_ptr<LogSystem> system);

}  // namespace kcp

#endif  // ZVA_PLATFORM_KCP_H_
