#include "zvsim/signature.h"

#include <cctype>
#include <ctime>
#include <utility>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace zvsim {
namespace {

constexpr char kAlgorithm[] = "KCP4-HMAC-SHA256";
constexpr char kService[] = "zorvel";
constexpr char kTerminator[] = "kcp4_request";
constexpr char kConnectPath[] = "/zva.rpc.ZvaInference/Connect";
constexpr char kSignedHeaders[] =
    ":authority;x-kst-date;x-kstrn-zva-accelerator-id";

std::string Hex(const unsigned char* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 0x0f]);
  }
  return out;
}

std::string Sha256Hex(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha256(),
                 nullptr) != 1) {
    return std::string();
  }
  return Hex(digest, size);
}

// HMAC-SHA256 of `data` under `key`; the raw 32 bytes.
std::string Hmac(const std::string& key, const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(data.data()), data.size(),
           digest, &size) == nullptr) {
    return std::string();
  }
  return std::string(reinterpret_cast<const char*>(digest), size);
}

bool ConstantTimeEquals(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

bool ParseKcpDate(const std::string& text,
                  std::chrono::system_clock::time_point* out) {
  if (text.size() != 16 || text[8] != 'T' || text[15] != 'Z') return false;
  for (size_t i = 0; i < 15; ++i) {
    if (i == 8) continue;
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  auto num = [&](size_t pos, size_t len) {
    return std::stoi(text.substr(pos, len));
  };
  std::tm tm{};
  tm.tm_year = num(0, 4) - 1900;
  tm.tm_mon = num(4, 2) - 1;
  tm.tm_mday = num(6, 2);
  tm.tm_hour = num(9, 2);
  tm.tm_min = num(11, 2);
  tm.tm_sec = num(13, 2);
  const std::tm requested = tm;
  const time_t t = timegm(&tm);
  // timegm normalises out-of-range fields (month 13, second 61); a date
  // that does not survive the round trip was not a real date.
  if (t == static_cast<time_t>(-1) || tm.tm_year != requested.tm_year ||
      tm.tm_mon != requested.tm_mon || tm.tm_mday != requested.tm_mday ||
      tm.tm_hour != requested.tm_hour || tm.tm_min != requested.tm_min ||
      tm.tm_sec != requested.tm_sec) {
    return false;
  }
  *out = std::chrono::system_clock::from_time_t(t);
  return true;
}

std::string FormatKcpDate(std::chrono::system_clock::time_point when) {
  const time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof(buf), "%Y%m%dT%H%M%SZ", &tm);
  return buf;
}

ConnectVerifier::ConnectVerifier(Credentials credentials, std::string region,
                                 Clock clock)
    : credentials_(std::move(credentials)),
      region_(std::move(region)),
      clock_(clock ? std::move(clock)
                   : Clock([] { return std::chrono::system_clock::now(); })) {}

std::string ConnectVerifier::ExpectedSignature(
    const SignedConnect& request) const {
  std::chrono::system_clock::time_point unused;
  if (!ParseKcpDate(request.date, &unused)) return std::string();
  const std::string day = request.date.substr(0, 8);

  const std::string canonical =
      std::string("POST\n") + kConnectPath + "\n" + "\n" +
      ":authority:" + request.authority + "\n" + "x-kst-date:" + request.date +
      "\n" + "x-kstrn-zva-accelerator-id:" + request.accelerator_id + "\n" +
      "\n" + kSignedHeaders + "\n" + Sha256Hex(std::string());
  const std::string scope =
      day + "/" + region_ + "/" + kService + "/" + kTerminator;
  const std::string string_to_sign = std::string(kAlgorithm) + "\n" +
                                     request.date + "\n" + scope + "\n" +
                                     Sha256Hex(canonical);

  std::string key = "KCP4" + credentials_.secret_access_key;
  for (const std::string& part :
       {day, region_, std::string(kService), std::string(kTerminator)}) {
    key = Hmac(key, part);
    if (key.empty()) return std::string();
  }
  const std::string signature = Hmac(key, string_to_sign);
  if (signature.empty()) return std::string();
  return Hex(reinterpret_cast<const unsigned char*>(signature.data()),
             signature.size());
}

std::string ConnectVerifier::AuthorizationFor(
    const SignedConnect& request) const {
  const std::string signature = ExpectedSignature(request);
  if (signature.empty()) return std::string();
  return std::string(kAlgorithm) + " Credential=" + credentials_.access_key_id +
         "/" + request.date.substr(0, 8) + "/" + region_ + "/" + kService +
         "/" + kTerminator + ", SignedHeaders=" + kSignedHeaders +
         ", Signature=" + signature;
}

bool ConnectVerifier::Verify(const SignedConnect& request,
                             std::string* reason) const {
  auto fail = [reason](const char* why) {
    if (reason != nullptr) *reason = why;
    return false;
  };
  if (credentials_.access_key_id.empty() ||
      credentials_.secret_access_key.empty()) {
    return fail("the proxy has no credentials");
  }
  if (request.authorization.empty()) return fail("no authorization header");
  if (request.date.empty()) return fail("no date header");
  std::chrono::system_clock::time_point date;
  if (!ParseKcpDate(request.date, &date)) return fail("malformed date");
  const auto skew = clock_() - date;
  if (skew > kMaxClockSkew || skew < -kMaxClockSkew) {
    return fail("date outside the allowed clock skew");
  }
  if (!credentials_.session_token.empty() &&
      !ConstantTimeEquals(request.security_token, credentials_.session_token)) {
    return fail("security token mismatch");
  }
  const std::string expected = AuthorizationFor(request);
  if (expected.empty()) return fail("signature could not be computed");
  if (ConstantTimeEquals(request.authorization, expected)) return true;

  // Tell apart the common ways a header goes wrong, for the journal.
  const std::string prefix = std::string(kAlgorithm) + " Credential=";
  if (request.authorization.compare(0, prefix.size(), prefix) != 0) {
    return fail("not a KCP4-HMAC-SHA256 authorization");
  }
  const size_t scope_end = request.authorization.find(", ");
  const size_t expected_scope_end = expected.find(", ");
  if (request.authorization.substr(0, scope_end) !=
      expected.substr(0, expected_scope_end)) {
    return fail("credential scope mismatch");
  }
  if (request.authorization.find(std::string(", SignedHeaders=") +
                                 kSignedHeaders + ", Signature=") ==
      std::string::npos) {
    return fail("signed headers mismatch");
  }
  return fail("signature mismatch");
}

}  // namespace zvsim
