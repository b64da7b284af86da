#ifndef ZVSIM_SIGNATURE_H_
#define ZVSIM_SIGNATURE_H_

// Verification of the signed Connect call, written independently of the
// client library's signer so that a mistake shared by both cannot pass
// unseen. Only OpenSSL is used for the digests.

#include <chrono>
#include <functional>
#include <map>
#include <string>

namespace zvsim {

// The credentials the proxy knows for the host.
struct Credentials {
  std::string access_key_id;
  std::string secret_access_key;
  // When not empty, a Connect must carry it in "x-kst-security-token".
  std::string session_token;
};

using Clock = std::function<std::chrono::system_clock::time_point()>;

// The request headers that take part in verification.
struct SignedConnect {
  // The authority the client addressed, as the channel sends it in
  // ":authority": a gRPC channel sends its target as written (e.g.
  // "127.0.0.1:5000" or "localhost:5000"), which is also the endpoint the
  // client library signs. The server reads it with
  // grpc::ServerContext::ExperimentalGetAuthority().
  std::string authority;
  std::string authorization;   // "authorization"
  std::string date;            // "x-kst-date"
  std::string accelerator_id;  // "x-kstrn-zva-accelerator-id"
  std::string security_token;  // "x-kst-security-token", empty if absent
};

// Checks Connect signatures against one set of credentials and one region.
// Thread-safe: Verify() reads only state fixed at construction.
class ConnectVerifier {
 public:
  // A request date further than this from the verifier's clock is refused.
  static constexpr std::chrono::minutes kMaxClockSkew{15};

  // `clock` defaults to the system clock when empty.
  ConnectVerifier(Credentials credentials, std::string region,
                  Clock clock = Clock());

  // True when the signature is valid, the credential scope names our key,
  // the request's day, our region and the service, and the date is within
  // kMaxClockSkew of now. On false, `reason` (if given) says why; the
  // reason is for logs and tests, never for the client.
  bool Verify(const SignedConnect& request,
              std::string* reason = nullptr) const;

  // The signature the request should carry, as lower-case hex; empty when
  // the date is malformed. Exposed so tests can build valid requests.
  std::string ExpectedSignature(const SignedConnect& request) const;

  // The full "authorization" value for `request` (its date, authority and
  // accelerator id must be set).
  std::string AuthorizationFor(const SignedConnect& request) const;

 private:
  Credentials credentials_;
  std::string region_;
  Clock clock_;
};

// Parses "YYYYMMDDTHHMMSSZ" strictly; false on any deviation.
bool ParseKcpDate(const std::string& text,
                  std::chrono::system_clock::time_point* out);

// Formats a time as "YYYYMMDDTHHMMSSZ" (UTC).
std::string FormatKcpDate(std::chrono::system_clock::time_point when);

}  // namespace zvsim

#endif  // ZVSIM_SIGNATURE_H_
