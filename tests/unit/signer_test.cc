#include "core/signer.h"

#include <atomic>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/kcp.h"
#include "support/log_capture.h"

namespace {

using TimePoint = std::chrono::system_clock::time_point;
using SignerPtr = std::unique_ptr<AuthSigner, zva::ObjectReleaser>;

constexpr char kEndpoint[] = "runtime.zorvel.us-west-2.kestrocloud.com:443";
constexpr char kRegion[] = "us-west-2";
constexpr char kAcceleratorId[] = "zva-0123456789abcdef0";
constexpr char kAccessKeyId[] = "KCPTESTACCESSKEY01";
constexpr char kSecretKey[] = "kcp/test/Secret+Key/0123456789abcdefXYZ";
constexpr char kKnownAuthorization[] =
    "KCP4-HMAC-SHA256 "
    "Credential=KCPTESTACCESSKEY01/20261207/us-west-2/zorvel/kcp4_request, "
    "SignedHeaders=:authority;x-kst-date;x-kstrn-zva-accelerator-id, "
    "Signature="
    "4476694dee9d5da5e729be05163494541fa33bf1513ecf8e9379e9992c234a76";

TimePoint Utc(int year, int month, int day, int hour, int minute, int second,
              int millis = 0) {
  std::tm tm = {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return std::chrono::system_clock::from_time_t(timegm(&tm)) +
         std::chrono::milliseconds(millis);
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return lines;
    start = end + 1;
  }
}

// Records what the signer writes to the platform layer's log system.
class CapturingLogSystem : public kcp::LogSystem {
 public:
  explicit CapturingLogSystem(kcp::LogLevel level) : level_(level) {}
  kcp::LogLevel GetLogLevel() const override { return level_; }
  void Log(kcp::LogLevel level, const char* tag,
           const std::string& message) override {
    std::lock_guard<std::mutex> lock(mtx_);
    entries_.push_back({level, std::string(tag) + ": " + message});
  }
  std::vector<std::pair<kcp::LogLevel, std::string>> Entries() {
    std::lock_guard<std::mutex> lock(mtx_);
    return entries_;
  }

 private:
  const kcp::LogLevel level_;
  std::mutex mtx_;
  std::vector<std::pair<kcp::LogLevel, std::string>> entries_;
};

// Credentials come from the environment of the test, with a HOME that holds
// no credentials file, and the platform clock is fixed at the known time.
class AuthSignerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "zvl_kcpauth_XXXXXX")
            .string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    home_ = pattern;
    setenv("HOME", home_.c_str(), 1);
    // Without credentials the chain asks for the host role: a closed port.
    setenv("ZV_INSTANCE_METADATA_URI", "http://127.0.0.1:1", 1);
    SetCredentials(kAccessKeyId, kSecretKey, "");
    FixClock(Utc(2026, 12, 7, 12, 34, 56));
  }

  void TearDown() override {
    kcp::SetClockForTesting(nullptr);
    kcp::SetLogSystem(nullptr);
    unsetenv("KCP_ACCESS_KEY_ID");
    unsetenv("KCP_SECRET_ACCESS_KEY");
    unsetenv("KCP_SESSION_TOKEN");
    std::filesystem::remove_all(home_);
  }

  static void SetCredentials(const std::string& key_id,
                             const std::string& secret,
                             const std::string& token) {
    for (auto [name, value] : {std::pair<const char*, const std::string*>{
                                   "KCP_ACCESS_KEY_ID", &key_id},
                               {"KCP_SECRET_ACCESS_KEY", &secret},
                               {"KCP_SESSION_TOKEN", &token}}) {
      if (value->empty()) {
        unsetenv(name);
      } else {
        setenv(name, value->c_str(), 1);
      }
    }
  }

  static void FixClock(TimePoint time) {
    kcp::SetClockForTesting([time] { return time; });
  }

  static SignerPtr MakeSigner() {
    return SignerPtr(new AuthSigner(kEndpoint, kRegion, kAcceleratorId));
  }

  std::string home_;
};

TEST_F(AuthSignerTest, KnownAnswer) {
  SignerPtr signer = MakeSigner();

  kcp::ByteBuffer digest;
  ASSERT_TRUE(kcp::Sha256(signer->BuildCanonicalRequestString(), &digest));
  EXPECT_EQ(kcp::HexEncode(digest),
            "a99a86c13b4f17fd42ea5fcdaf3d329656ffdb576a04a4368420c5a39f895705");
  EXPECT_EQ(kcp::HexEncode(
                signer->ComputeHash(kSecretKey, "20261207", kRegion, "zorvel")),
            "fe2e21148b4f01c26d40f05da0f9f83cb2a769d14dbdb85b7345b83ad8e46c1e");

  EXPECT_EQ(signer->BuildCredentialString(),
            "KCPTESTACCESSKEY01/20261207/us-west-2/zorvel/kcp4_request");
  EXPECT_EQ(signer->GenerateStringToSign("T", "D", "H", "R", "S"),
            "KCP4-HMAC-SHA256\nT\nD/R/S/kcp4_request\nH");

  EXPECT_EQ(signer->SignRequest(), kKnownAuthorization);
  EXPECT_EQ(signer->GetDateString(), "20261207T123456Z");
  EXPECT_EQ(signer->GetKcpCredSessionToken(), "");
}

TEST_F(AuthSignerTest, CanonicalRequestHasNineLines) {
  SignerPtr signer = MakeSigner();
  const std::string canonical = signer->BuildCanonicalRequestString();
  EXPECT_EQ(Split(canonical),
            (std::vector<std::string>{
                "POST",
                "/zva.rpc.ZvaInference/Connect",
                "",
                ":authority:runtime.zorvel.us-west-2.kestrocloud.com:443",
                "x-kst-date:20261207T123456Z",
                "x-kstrn-zva-accelerator-id:zva-0123456789abcdef0",
                "",
                ":authority;x-kst-date;x-kstrn-zva-accelerator-id",
                "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b78"
                "52b855",
            }));
  EXPECT_NE(canonical.back(), '\n');

  signer->SignRequest();
  EXPECT_EQ(Split(canonical)[4], "x-kst-date:" + signer->GetDateString());
}

// The clock passes midnight while the signature is computed; the scope, the
// key, the date header and the canonical request still share one day.
TEST_F(AuthSignerTest, OneSigningTimeAcrossMidnight) {
  auto calls = std::make_shared<std::atomic<int>>(0);
  kcp::SetClockForTesting([calls] {
    return (*calls)++ == 0 ? Utc(2026, 12, 31, 23, 59, 59, 999)
                           : Utc(2027, 1, 1, 0, 0, 0, 500);
  });
  SignerPtr signer = MakeSigner();
  EXPECT_EQ(signer->SignRequest(),
            "KCP4-HMAC-SHA256 "
            "Credential=KCPTESTACCESSKEY01/20261231/us-west-2/zorvel/"
            "kcp4_request, "
            "SignedHeaders=:authority;x-kst-date;x-kstrn-zva-accelerator-id, "
            "Signature="
            "f083846e405d67eea9f7ad8a872088c17b7b6e78e12e72a0535a2aa9953b0af5");
  EXPECT_EQ(signer->GetDateString(), "20261231T235959Z");
  EXPECT_EQ(calls->load(), 1);
}

TEST_F(AuthSignerTest, MissingCredentialsThrowSevenAndReturnNothing) {
  const struct {
    const char* name;
    const char* key_id;
    const char* secret;
  } cases[] = {
      {"no secret", kAccessKeyId, ""},
      {"no key id", "", kSecretKey},
      {"nothing", "", ""},
  };
  for (const auto& c : cases) {
    SetCredentials(c.key_id, c.secret, "token-without-keys");
    SignerPtr signer = MakeSigner();
    std::string header = "untouched";
    int thrown = 0;
    try {
      header = signer->SignRequest();
    } catch (int code) {
      thrown = code;
    }
    EXPECT_EQ(thrown, zva::kNoKcpCredentials) << c.name;
    EXPECT_EQ(header, "untouched") << c.name;
    EXPECT_EQ(signer->GetKcpCredSessionToken(), "") << c.name;

    thrown = 0;
    try {
      signer->BuildCredentialString();
    } catch (int code) {
      thrown = code;
    }
    EXPECT_EQ(thrown, zva::kNoKcpCredentials) << c.name;
  }
}

TEST_F(AuthSignerTest, SessionTokenKeptOnlyWhenPresentAndNeverSigned) {
  SetCredentials(kAccessKeyId, kSecretKey, "session-token-1");
  SignerPtr signer = MakeSigner();
  EXPECT_EQ(signer->SignRequest(), kKnownAuthorization);
  EXPECT_EQ(signer->GetKcpCredSessionToken(), "session-token-1");

  // A later read without a token leaves the one already recorded.
  SetCredentials(kAccessKeyId, kSecretKey, "");
  EXPECT_EQ(signer->SignRequest(), kKnownAuthorization);
  EXPECT_EQ(signer->GetKcpCredSessionToken(), "session-token-1");

  SignerPtr fresh = MakeSigner();
  fresh->SignRequest();
  EXPECT_EQ(fresh->GetKcpCredSessionToken(), "");
}

TEST_F(AuthSignerTest, Deterministic) {
  SignerPtr first = MakeSigner();
  SignerPtr second = MakeSigner();
  const std::string a = first->SignRequest();
  EXPECT_EQ(first->SignRequest(), a);
  EXPECT_EQ(second->SignRequest(), a);

  FixClock(Utc(2026, 12, 7, 12, 34, 57));
  EXPECT_NE(second->SignRequest(), a);
  EXPECT_EQ(second->GetDateString(), "20261207T123457Z");
}

// Stands in for credentials that rotate while a signature is computed.
class RotatingSigner : public AuthSigner {
 public:
  using AuthSigner::AuthSigner;
  using AuthSigner::GenerateSignature;
  std::string GenerateSignature(const kcp::Credentials& credentials,
                                const std::string& string_to_sign,
                                const std::string& day,
                                const std::string& region,
                                const std::string& service) override {
    std::string signature = AuthSigner::GenerateSignature(
        credentials, string_to_sign, day, region, service);
    setenv("KCP_ACCESS_KEY_ID", "KCPROTATEDKEY", 1);
    setenv("KCP_SECRET_ACCESS_KEY", "rotated-secret", 1);
    setenv("KCP_SESSION_TOKEN", "rotated-token", 1);
    return signature;
  }
};

// The credential scope once came from a second read of the credentials, so a
// rotation between the reads sent one key's signature under another key id.
TEST_F(AuthSignerTest, CredentialRotationDuringSigningKeepsOneKey) {
  SignerPtr signer(new RotatingSigner(kEndpoint, kRegion, kAcceleratorId));
  EXPECT_EQ(signer->SignRequest(), kKnownAuthorization);
  EXPECT_EQ(signer->GetKcpCredSessionToken(), "");
  // Outside SignRequest the steps read the credentials afresh.
  EXPECT_EQ(signer->BuildCredentialString().substr(0, 13), "KCPROTATEDKEY");
}

class FailingSigner : public AuthSigner {
 public:
  using AuthSigner::AuthSigner;
  using AuthSigner::GenerateSignature;
  std::string GenerateSignature(const kcp::Credentials&, const std::string&,
                                const std::string&, const std::string&,
                                const std::string&) override {
    return std::string();
  }
};

TEST_F(AuthSignerTest, EmptySignatureThrowsNine) {
  SignerPtr signer(new FailingSigner(kEndpoint, kRegion, kAcceleratorId));
  int thrown = 0;
  try {
    signer->SignRequest();
  } catch (int code) {
    thrown = code;
  }
  EXPECT_EQ(thrown, zva::kSigningFailed);
}

class EmptyKeySigner : public AuthSigner {
 public:
  using AuthSigner::AuthSigner;
  kcp::ByteBuffer ComputeHash(const std::string&, const std::string&,
                              const std::string&, const std::string&) override {
    return kcp::ByteBuffer();
  }
};

// A failed key derivation returns an empty key, under which an HMAC still
// gave a signature, one the proxy can only refuse.
TEST_F(AuthSignerTest, EmptyDerivedKeyThrowsNine) {
  SignerPtr signer(new EmptyKeySigner(kEndpoint, kRegion, kAcceleratorId));
  EXPECT_EQ(signer->GenerateSignature("text", kcp::ByteBuffer()), "");
  int thrown = 0;
  try {
    signer->SignRequest();
  } catch (int code) {
    thrown = code;
  }
  EXPECT_EQ(thrown, zva::kSigningFailed);
}

// A session token ending in a line feed (or an access key id with a byte
// outside printable ASCII) went into a request header, where gRPC stops the
// process.
TEST_F(AuthSignerTest, CredentialsGrpcCannotSendThrowSevenWithoutTheirValue) {
  const struct {
    const char* key_id;
    const char* token;
    const char* region;
    int code;
    const char* logged;
  } cases[] = {
      {kAccessKeyId, "secret-tok\n", kRegion, zva::kNoKcpCredentials,
       "[Auth] The session token of the KCP credentials cannot be sent in a "
       "request header: it holds the byte 0x0a at offset 10"},
      {kAccessKeyId, "secret-t\xc3\xb6k", kRegion, zva::kNoKcpCredentials,
       "session token of the KCP credentials cannot be sent in a request "
       "header: it holds the byte 0xc3 at offset 8"},
      {"KCPKEY\r", "", kRegion, zva::kNoKcpCredentials,
       "access key id of the KCP credentials cannot be sent in a request "
       "header: it holds the byte 0x0d at offset 6"},
      {kAccessKeyId, "", "us-west-2\r", zva::kSigningFailed,
       "The region cannot be sent in a request header: it holds the byte "
       "0x0d at offset 9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logged);
    SetCredentials(c.key_id, kSecretKey, c.token);
    zvtest::LogCapture log(2);
    SignerPtr signer(new AuthSigner(kEndpoint, c.region, kAcceleratorId));
    int thrown = 0;
    try {
      signer->SignRequest();
    } catch (int code) {
      thrown = code;
    }
    EXPECT_EQ(thrown, c.code);
    EXPECT_NE(log.Text().find(c.logged), std::string::npos) << log.Text();
    EXPECT_EQ(log.Text().find("secret-t"), std::string::npos);
    EXPECT_EQ(signer->GetKcpCredSessionToken(), "");
  }
}

TEST_F(AuthSignerTest, DiagnosticsFollowThePlatformLogLevel) {
  struct Case {
    kcp::LogLevel level;
    size_t expected_entries;
  } cases[] = {{kcp::LogLevel::kError, 0}, {kcp::LogLevel::kDebug, 2}};
  for (const Case& c : cases) {
    auto log = std::make_shared<CapturingLogSystem>(c.level);
    kcp::SetLogSystem(log);
    MakeSigner()->SignRequest();
    auto entries = log->Entries();
    ASSERT_EQ(entries.size(), c.expected_entries);
    if (c.expected_entries == 0) continue;
    EXPECT_EQ(entries[0].first, kcp::LogLevel::kDebug);
    EXPECT_EQ(entries[0].second.rfind(
                  "KCPAuthV4Signer: Final String to sign: KCP4-HMAC-SHA256\n"
                  "20261207T123456Z\n20261207/us-west-2/zorvel/kcp4_request\n"
                  "a99a86c1",
                  0),
              0u);
    EXPECT_EQ(entries[1].second,
              "KCPAuthV4Signer: Final computed signing hash: "
              "4476694dee9d5da5e729be05163494541fa33bf1513ecf8e9379e9992c234a"
              "76");
  }
  kcp::SetLogSystem(nullptr);
  EXPECT_EQ(MakeSigner()->SignRequest(), kKnownAuthorization);
}

}  // namespace
