#include "platform/kcp.h"

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

namespace {

namespace fs = std::filesystem;

kcp::ByteBuffer Bytes(const std::string& text) {
  return kcp::ByteBuffer(text.begin(), text.end());
}

// ---- Digests (published test vectors) ----------------------------------

TEST(KcpDigestTest, Sha256KnownAnswers) {
  struct Case {
    std::string data;
    const char* hex;
  };
  const Case cases[] = {
      // FIPS 180-2, appendix B.1 and B.2, and the empty message.
      {"abc",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      // Bytes are hashed as given, including NUL.
      {std::string("\0", 1),
       "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d"},
  };
  for (const Case& c : cases) {
    kcp::ByteBuffer digest = {1, 2, 3};
    ASSERT_TRUE(kcp::Sha256(c.data, &digest));
    EXPECT_EQ(digest.size(), 32u);
    EXPECT_EQ(kcp::HexEncode(digest), c.hex) << c.data;
  }
}

TEST(KcpDigestTest, HmacSha256Rfc4231) {
  struct Case {
    const char* name;
    kcp::ByteBuffer key;
    std::string data;
    const char* hex;
  };
  const Case cases[] = {
      {"test case 1", kcp::ByteBuffer(20, 0x0b), "Hi There",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"test case 2", Bytes("Jefe"), "what do ya want for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {"test case 6", kcp::ByteBuffer(131, 0xaa),
       "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {"test case 7", kcp::ByteBuffer(131, 0xaa),
       "This is a test using a larger than block-size key and a larger than "
       "block-size data. The key needs to be hashed before being used by the "
       "HMAC algorithm.",
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
      {"empty key and data", kcp::ByteBuffer(), "",
       "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"},
  };
  for (const Case& c : cases) {
    kcp::ByteBuffer digest;
    ASSERT_TRUE(kcp::HmacSha256(Bytes(c.data), c.key, &digest)) << c.name;
    EXPECT_EQ(kcp::HexEncode(digest), c.hex) << c.name;
  }
}

TEST(KcpEncodingTest, HexIsLowerCaseTwoDigitsPerByte) {
  EXPECT_EQ(kcp::HexEncode({}), "");
  EXPECT_EQ(kcp::HexEncode({0x00, 0x01, 0x0f, 0x10, 0xab, 0xff}),
            "00010f10abff");
}

TEST(KcpEncodingTest, UriPathEncoding) {
  struct Case {
    const char* path;
    const char* encoded;
  };
  const Case cases[] = {
      {"/zva.rpc.ZvaInference/Connect", "/zva.rpc.ZvaInference/Connect"},
      {"", ""},
      {"/AZaz09-._~/", "/AZaz09-._~/"},
      {"/a b", "/a%20b"},
      {"/100%", "/100%25"},
      {"/q?x=1&y=+", "/q%3Fx%3D1%26y%3D%2B"},
      {"/caf\xc3\xa9", "/caf%C3%A9"},
      {"/:@!$'()*,;", "/%3A%40%21%24%27%28%29%2A%2C%3B"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kcp::UriEncodePath(c.path), c.encoded) << c.path;
  }
  EXPECT_EQ(kcp::UriEncodePath(std::string("/\0", 2)), "/%00");
}

TEST(KcpUuidTest, RandomVersion4TextAndUnique) {
  const auto format = ::testing::MatchesRegex(
      "[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string uuid = kcp::RandomUUID();
    ASSERT_THAT(uuid, format);
    ASSERT_TRUE(seen.insert(uuid).second) << uuid;
  }
}

// ---- Clock -------------------------------------------------------------

TEST(KcpClockTest, FormatsInUtcWhateverTheLocalZone) {
  const char* tz = std::getenv("TZ");
  const std::optional<std::string> saved_tz =
      tz ? std::optional<std::string>(tz) : std::nullopt;
  ::setenv("TZ", "XYZ-9", 1);  // nine hours east of UTC, no rules file needed
  ::tzset();
  // 2015-08-30T12:36:00Z
  const auto t = std::chrono::system_clock::from_time_t(1440938160);
  EXPECT_EQ(kcp::FormatUtc(t, "%Y%m%d"), "20150830");
  EXPECT_EQ(kcp::FormatUtc(t, "%Y%m%dT%H%M%SZ"), "20150830T123600Z");
  // The day changes at midnight UTC, not local midnight.
  const auto late = std::chrono::system_clock::from_time_t(1440979199);
  EXPECT_EQ(kcp::FormatUtc(late, "%Y%m%dT%H%M%SZ"), "20150830T235959Z");
  EXPECT_EQ(kcp::FormatUtc(t, ""), "");
  if (saved_tz) {
    ::setenv("TZ", saved_tz->c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
}

TEST(KcpClockTest, TestClockReplacesAndRestores) {
  const auto fixed = std::chrono::system_clock::from_time_t(1440938160);
  kcp::SetClockForTesting([fixed] { return fixed; });
  EXPECT_EQ(kcp::Now(), fixed);
  kcp::SetClockForTesting(nullptr);
  EXPECT_GT(kcp::Now(), fixed);
}

// ---- Log system --------------------------------------------------------

class RecordingLog : public kcp::LogSystem {
 public:
  kcp::LogLevel GetLogLevel() const override { return kcp::LogLevel::kDebug; }
  void Log(kcp::LogLevel, const char* tag, const std::string& m) override {
    lines.push_back(std::string(tag) + ":" + m);
  }
  std::vector<std::string> lines;
};

TEST(KcpLogSystemTest, OffByDefaultOnWithALevel) {
  kcp::SDKOptions off;
  kcp::InitAPI(off);
  EXPECT_EQ(kcp::GetLogSystem(), nullptr);
  kcp::ShutdownAPI(off);

  std::string tmpl = (fs::temp_directory_path() / "zvkcp.XXXXXX").string();
  ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
  kcp::SDKOptions on;
  on.log_level = static_cast<int>(kcp::LogLevel::kError);
  on.log_file_prefix = tmpl + "/sdk_";
  kcp::InitAPI(on);
  kcp::LogSystem* log = kcp::GetLogSystem();
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log->GetLogLevel(), kcp::LogLevel::kError);
  log->Log(kcp::LogLevel::kError, "KCPAuthV4Signer", "kept");
  log->Log(kcp::LogLevel::kDebug, "KCPAuthV4Signer", "dropped");
  kcp::ShutdownAPI(on);
  EXPECT_EQ(kcp::GetLogSystem(), nullptr);

  std::ifstream in(tmpl + "/sdk_kcp.log");
  std::string text((std::istreambuf_iterator<char>(in)),
                   std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("KCPAuthV4Signer kept"), std::string::npos) << text;
  EXPECT_EQ(text.find("dropped"), std::string::npos) << text;
  fs::remove_all(tmpl);

  auto recording = std::make_shared<RecordingLog>();
  kcp::SetLogSystem(recording);
  kcp::GetLogSystem()->Log(kcp::LogLevel::kDebug, "tag", "message");
  kcp::SetLogSystem(nullptr);
  EXPECT_EQ(kcp::GetLogSystem(), nullptr);
  EXPECT_EQ(recording->lines, std::vector<std::string>{"tag:message"});
}

// ---- Credentials chain -------------------------------------------------

const char* const kCredentialEnv[] = {
    "HOME",
    "KCP_ACCESS_KEY_ID",
    "KCP_SECRET_ACCESS_KEY",
    "KCP_SESSION_TOKEN",
    "KCP_PROFILE",
    "KCP_CONTAINER_CREDENTIALS_URI",
    "ZV_INSTANCE_METADATA_URI",
};

class CredentialsChainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kCredentialEnv) {
      const char* v = std::getenv(name);
      saved_.emplace_back(v ? std::optional<std::string>(v) : std::nullopt);
      ::unsetenv(name);
    }
    std::string tmpl = (fs::temp_directory_path() / "zvcred.XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    home_ = tmpl;
    ::setenv("HOME", home_.c_str(), 1);
    // No host role either: the metadata service is a closed port.
    ::setenv("ZV_INSTANCE_METADATA_URI", "http://127.0.0.1:1", 1);
  }
  void TearDown() override {
    for (size_t i = 0; i < std::size(kCredentialEnv); ++i) {
      if (saved_[i]) {
        ::setenv(kCredentialEnv[i], saved_[i]->c_str(), 1);
      } else {
        ::unsetenv(kCredentialEnv[i]);
      }
    }
    std::error_code ec;
    fs::remove_all(home_, ec);
  }
  void WriteProfiles(const std::string& text) {
    fs::create_directories(home_ + "/.kcp");
    std::ofstream(home_ + "/.kcp/credentials") << text;
  }
  kcp::Credentials Get() {
    return kcp::DefaultCredentialsProviderChain().GetCredentials();
  }

  std::string home_;
  std::vector<std::optional<std::string>> saved_;
};

const char kProfiles[] =
    "# comment line\r\n"
    "[default]\r\n"
    "kcp_access_key_id = FILEKEY\r\n"
    "kcp_secret_access_key=FILESECRET\r\n"
    "\r\n"
    "[other]\n"
    "  kcp_access_key_id =  OTHERKEY  \n"
    "kcp_secret_access_key = OTHER=SECRET\n"
    "kcp_session_token = OTHERTOKEN\n"
    "[half]\n"
    "kcp_access_key_id = HALFKEY\n";

TEST_F(CredentialsChainTest, EnvironmentComesFirst) {
  WriteProfiles(kProfiles);
  ::setenv("KCP_ACCESS_KEY_ID", "ENVKEY", 1);
  ::setenv("KCP_SECRET_ACCESS_KEY", "ENVSECRET", 1);
  kcp::Credentials c = Get();
  EXPECT_EQ(c.access_key_id, "ENVKEY");
  EXPECT_EQ(c.secret_key, "ENVSECRET");
  EXPECT_EQ(c.session_token, "");
  ::setenv("KCP_SESSION_TOKEN", "ENVTOKEN", 1);
  EXPECT_EQ(Get().session_token, "ENVTOKEN");
}

TEST_F(CredentialsChainTest, IncompleteEnvironmentFallsToProfileWhole) {
  WriteProfiles(kProfiles);
  ::setenv("KCP_ACCESS_KEY_ID", "ENVKEY", 1);  // no secret
  ::setenv("KCP_SESSION_TOKEN", "ENVTOKEN", 1);
  kcp::Credentials c = Get();
  EXPECT_EQ(c.access_key_id, "FILEKEY");
  EXPECT_EQ(c.secret_key, "FILESECRET");
  EXPECT_EQ(c.session_token, "");  // never mixed with the environment's
  ::setenv("KCP_SECRET_ACCESS_KEY", "", 1);
  EXPECT_EQ(Get().access_key_id, "FILEKEY");
}

TEST_F(CredentialsChainTest, ProfileChosenByKcpProfile) {
  WriteProfiles(kProfiles);
  ::setenv("KCP_PROFILE", "other", 1);
  kcp::Credentials c = Get();
  EXPECT_EQ(c.access_key_id, "OTHERKEY");
  EXPECT_EQ(c.secret_key, "OTHER=SECRET");
  EXPECT_EQ(c.session_token, "OTHERTOKEN");
  EXPECT_FALSE(c.IsEmpty());
}

TEST_F(CredentialsChainTest, MissingOrIncompleteSourcesGiveEmpty) {
  struct Case {
    const char* profile;  // null: KCP_PROFILE unset
    const char* file;     // null: no file
  };
  const Case cases[] = {
      {nullptr, nullptr},
      {"half", kProfiles},
      {"absent", kProfiles},
      {nullptr, "[other]\nkcp_access_key_id=A\nkcp_secret_access_key=B\n"},
      {nullptr, "[default]\nkcp_access_key_id=\nkcp_secret_access_key=B\n"},
      {nullptr, "kcp_access_key_id=A\nkcp_secret_access_key=B\n"},
      {nullptr, ""},
  };
  for (const Case& c : cases) {
    fs::remove_all(home_ + "/.kcp");
    if (c.file) WriteProfiles(c.file);
    if (c.profile) {
      ::setenv("KCP_PROFILE", c.profile, 1);
    } else {
      ::unsetenv("KCP_PROFILE");
    }
    kcp::Credentials creds = Get();
    EXPECT_TRUE(creds.IsEmpty()) << (c.file ? c.file : "(no file)");
    EXPECT_EQ(creds.access_key_id, "");
    EXPECT_EQ(creds.secret_key, "");
    EXPECT_EQ(creds.session_token, "");
  }
}

TEST_F(CredentialsChainTest, NoHomeMeansNoProfileFile) {
  WriteProfiles(kProfiles);
  ::unsetenv("HOME");
  EXPECT_TRUE(Get().IsEmpty());
  ::setenv("KCP_ACCESS_KEY_ID", "ENVKEY", 1);
  ::setenv("KCP_SECRET_ACCESS_KEY", "ENVSECRET", 1);
  EXPECT_EQ(Get().access_key_id, "ENVKEY");
}

}  // namespace
