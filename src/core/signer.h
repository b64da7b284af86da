#ifndef ZVA_CORE_SIGNER_H_
#define ZVA_CORE_SIGNER_H_

// The signature of the Connect call. The proxy recomputes it from the
// request headers, so every byte of the canonical request, the string to
// sign, the key derivation and the "authorization" text is protocol.

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/kcp.h"
#include "zva/zva_codes.h"
#include "zva/zva_object.h"

// Steps of the Connect signature. Failures are thrown as an int client
// status code: kNoKcpCredentials when no credentials are available (also
// when the access key id or the session token holds a byte that cannot be
// sent in a request header), kSigningFailed when signing fails (also for a
// region that cannot be sent).
class AuthSignerInterface : public zva::ObjectInterface {
 public:
  // The complete "authorization" header value.
  virtual std::string SignRequest() = 0;
  // The nine lines that are hashed; the last one has no line feed.
  virtual std::string BuildCanonicalRequestString() = 0;
  // access key id/day/region/zorvel/kcp4_request.
  virtual std::string BuildCredentialString() = 0;
  virtual std::string BuildAuthHeaderString(std::string signature) = 0;
  // Hex signature of `string_to_sign` under the key derived from the
  // credentials' secret; empty when a digest fails.
  virtual std::string GenerateSignature(const kcp::Credentials& credentials,
                                        const std::string& string_to_sign,
                                        const std::string& day,
                                        const std::string& region,
                                        const std::string& service) = 0;
  // Hex HMAC-SHA256 of `string_to_sign` under `key`; empty on failure and
  // for an empty key (a failed derivation).
  virtual std::string GenerateSignature(const std::string& string_to_sign,
                                        const kcp::ByteBuffer& key) = 0;
  virtual std::string GenerateStringToSign(
      const std::string& timestamp, const std::string& day,
      const std::string& canonical_request_hash, const std::string& region,
      const std::string& service) = 0;
  // The 32-byte signing key; empty when a digest fails.
  virtual kcp::ByteBuffer ComputeHash(const std::string& secret_key,
                                      const std::string& day,
                                      const std::string& region,
                                      const std::string& service) = 0;

 protected:
  ~AuthSignerInterface() = default;
};

// Signs one Connect request for one accelerator.
//
// Create it with new and end it with Release(), which deletes it (hold it in
// a std::unique_ptr<AuthSigner, zva::ObjectReleaser>); the destructor is not
// public so that a signer on the stack cannot be released.
//
// Not thread-safe: a signer belongs to the thread making the Connect. The
// credentials provider underneath does its own locking.
class AuthSigner : public AuthSignerInterface {
 public:
  // `endpoint` is the proxy authority the channel addresses (host:port).
  AuthSigner(const std::string& endpoint, const std::string& region,
             const std::string& accelerator_id);
  AuthSigner(const AuthSigner&) = delete;
  AuthSigner& operator=(const AuthSigner&) = delete;

  // Logs and deletes this object; returns kOk.
  int Release() override;

  // Takes the signing time once (the platform clock) and reads the
  // credentials once; every step of this call uses those. Sets the date text
  // and, when the credentials carry one, the session token. Throws
  // kNoKcpCredentials or kSigningFailed.
  std::string SignRequest() override;
  // Outside SignRequest, these two take the current time themselves, and
  // BuildCredentialString reads the credentials afresh.
  std::string BuildCanonicalRequestString() override;
  std::string BuildCredentialString() override;
  std::string BuildAuthHeaderString(std::string signature) override;
  std::string GenerateSignature(const kcp::Credentials& credentials,
                                const std::string& string_to_sign,
                                const std::string& day,
                                const std::string& region,
                                const std::string& service) override;
  std::string GenerateSignature(const std::string& string_to_sign,
                                const kcp::ByteBuffer& key) override;
  std::string GenerateStringToSign(const std::string& timestamp,
                                   const std::string& day,
                                   const std::string& canonical_request_hash,
                                   const std::string& region,
                                   const std::string& service) override;
  kcp::ByteBuffer ComputeHash(const std::string& secret_key,
                              const std::string& day, const std::string& region,
                              const std::string& service) override;

  // The timestamp of the last signature ("x-kst-date"); empty before one.
  virtual std::string GetDateString() const;
  // The session token of the credentials last read ("x-kst-security-token"
  // when not empty); empty until credentials carried one.
  virtual std::string GetKcpCredSessionToken() const;
  // When SignRequest threw 7: every credentials source tried and why each
  // gave nothing (never a secret). Empty otherwise.
  std::string GetCredentialsFailure() const;

 protected:
  virtual ~AuthSigner();

 private:
  using TimePoint = std::chrono::system_clock::time_point;

  // The signing time pinned by SignRequest, else the clock now.
  TimePoint SigningTime() const;
  // The credentials pinned by SignRequest, else a fresh read.
  kcp::Credentials ReadCredentials() const;

  std::string endpoint_;
  std::string region_;
  std::string accelerator_id_;
  std::shared_ptr<kcp::DefaultCredentialsProviderChain> credentials_provider_;
  std::string date_;
  std::string session_token_;
  std::string credentials_failure_;

  // Set only while SignRequest runs, so that its steps agree on one time and
  // one set of credentials.
  std::optional<TimePoint> pinned_time_;
  std::optional<kcp::Credentials> pinned_credentials_;
};

#endif  // ZVA_CORE_SIGNER_H_
