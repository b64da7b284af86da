#ifndef KCP_KCP_H_
#define KCP_KCP_H_

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

struct Credentials {
  std::string access_key_id;
  std::string secret_key;
  std::string session_token;
  // True when either the key id or the secret is missing.
  bool IsEmpty() const { return access_key_id.empty() || secret_key.empty(); }
};

// Reads, in order, the environment ("KCP_ACCESS_KEY_ID",
// "KCP_SECRET_ACCESS_KEY", optional "KCP_SESSION_TOKEN"), then the profile
// file $HOME/.kcp/credentials (profile "KCP_PROFILE" or "default"). The first
// source that has both key id and secret wins; otherwise the result is empty.
// Looked up afresh on every call. Thread-safe.
class DefaultCredentialsProviderChain {
 public:
  Credentials GetCredentials() const;
};

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

#endif  // KCP_KCP_H_
