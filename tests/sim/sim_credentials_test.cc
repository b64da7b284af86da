// The simulator's credentials sources: where short-lived keys are served,
// how they rotate, which sets Connect accepts, and when a connection must
// connect again.

#include <map>

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include "kcp/kcp_credentials.pb.h"

#include "support/sim_client.h"

namespace zvtest {
namespace {

using grpc::StatusCode;
using zvsim::CredentialsSource;

constexpr char kRoleList[] = "/latest/meta-data/kcp/security-credentials/";
constexpr char kRoleDocument[] =
    "/latest/meta-data/kcp/security-credentials/zv-sim-role";
constexpr char kContainerDocument[] = "/container/credentials";

std::string Iso(std::chrono::system_clock::time_point t) {
  const time_t seconds = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

class SimCredentialsTest : public ::testing::Test {
 protected:
  void Start(CredentialsSource source) {
    zvsim::Options options;
    options.plaintext = true;
    options.credentials_source = source;
    options.credential_ttl = seconds(5);
    options.clock = clock_.AsClock();
    sim_ = std::make_unique<zvsim::Simulator>(options);
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;
    http_ =
        std::make_unique<httplib::Client>("127.0.0.1", sim_->metadata_port());
  }

  std::pair<int, std::string> Get(const std::string& path) {
    return HttpGet(*http_, path);
  }

  // The string members of a credentials document.
  std::map<std::string, std::string> Document(const std::string& path) {
    std::map<std::string, std::string> members;
    const auto [status, body] = Get(path);
    EXPECT_EQ(status, 200) << path;
    // The platform layer's own schema, not a generic JSON structure: the
    // system protobuf library's map code differs from a sanitizer build's.
    kcp::proto::CredentialsDocument document;
    google::protobuf::util::JsonParseOptions options;
    options.ignore_unknown_fields = true;
    EXPECT_TRUE(
        google::protobuf::util::JsonStringToMessage(body, &document, options)
            .ok())
        << body;
    const std::pair<const char*, const std::string*> fields[] = {
        {"Code", &document.code()},
        {"AccessKeyId", &document.accesskeyid()},
        {"SecretAccessKey", &document.secretaccesskey()},
        {"Token", &document.token()},
        {"Expiration", &document.expiration()}};
    for (const auto& [name, value] : fields) {
      if (!value->empty()) members[name] = *value;
    }
    return members;
  }

  ManualClock clock_{KnownTime()};
  std::unique_ptr<zvsim::Simulator> sim_;
  std::unique_ptr<httplib::Client> http_;
};

TEST_F(SimCredentialsTest, ServedWhereTheSourceSaysAndNamedInTheEnvironment) {
  struct Case {
    CredentialsSource source;
    bool served;
    std::vector<std::string> credential_variables;
  };
  const Case cases[] = {
      {CredentialsSource::kEnv,
       false,
       {"KCP_ACCESS_KEY_ID", "KCP_SECRET_ACCESS_KEY"}},
      {CredentialsSource::kRole, true, {}},
      {CredentialsSource::kContainer, true, {"KCP_CONTAINER_CREDENTIALS_URI"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.source));
    Start(c.source);
    const auto start = clock_.AsClock()();
    std::vector<std::string> named;
    for (const auto& [name, value] : sim_->Environment()) {
      if (name.rfind("KCP_", 0) == 0 && name != "KCP_REGION") {
        named.push_back(name);
        if (name == "KCP_CONTAINER_CREDENTIALS_URI") {
          EXPECT_EQ(value, sim_->MetadataUri() + kContainerDocument);
          EXPECT_EQ(value, sim_->ContainerCredentialsUri());
        }
      }
    }
    EXPECT_EQ(named, c.credential_variables);
    EXPECT_EQ(Get(kRoleDocument + std::string("-other")).first, 404);
    if (!c.served) {
      for (const char* path : {kRoleList, kRoleDocument, kContainerDocument}) {
        EXPECT_EQ(Get(path).first, 404) << path;
      }
      continue;
    }
    EXPECT_EQ(Get(kRoleList), std::make_pair(200, std::string("zv-sim-role")));
    const zvsim::Credentials set = sim_->core().credentials();
    std::map<std::string, std::string> role = Document(kRoleDocument);
    EXPECT_EQ(role["Code"], "Success");
    EXPECT_EQ(role["AccessKeyId"], set.access_key_id);
    EXPECT_EQ(role["SecretAccessKey"], set.secret_access_key);
    EXPECT_EQ(role["Token"], set.session_token);
    EXPECT_FALSE(set.session_token.empty());
    // Accepted, and so announced, for two TTLs from the start.
    EXPECT_EQ(role["Expiration"], Iso(start + seconds(10)));
    std::map<std::string, std::string> container = Document(kContainerDocument);
    EXPECT_EQ(container.count("Code"), 0u);
    role.erase("Code");
    EXPECT_EQ(container, role);

    // A TTL later both places hand out the next set.
    clock_.Advance(seconds(5));
    const std::map<std::string, std::string> next = Document(kRoleDocument);
    EXPECT_NE(next.at("AccessKeyId"), set.access_key_id);
    EXPECT_EQ(next.at("AccessKeyId"), sim_->core().credentials().access_key_id);
    EXPECT_EQ(next.at("Expiration"), Iso(start + seconds(15)));
    EXPECT_EQ(Document(kContainerDocument).at("Token"), next.at("Token"));
    EXPECT_EQ(sim_->core().IssuedCredentials().size(), 2u);
  }
}

TEST_F(SimCredentialsTest, ConnectTakesTheCurrentOrPreviousSetWithItsToken) {
  Start(CredentialsSource::kRole);
  const zvsim::Credentials first = sim_->core().credentials();
  clock_.Advance(seconds(5));
  const zvsim::Credentials second = sim_->core().credentials();
  zvsim::Credentials without_token = second;
  without_token.session_token.clear();
  zvsim::Credentials foreign_token = second;
  foreign_token.session_token = first.session_token;
  struct Case {
    const char* name;
    zvsim::Credentials credentials;
    int rotations;  // before the Connect
    bool accepted;
    std::string detail;
  };
  const std::vector<Case> cases = {
      {"current", second, 0, true, ""},
      {"previous", first, 0, true, ""},
      {"current without its token", without_token, 0, false,
       "security token mismatch"},
      {"current with the previous token", foreign_token, 0, false,
       "security token mismatch"},
      {"two rotations old", first, 1, false,
       "access key id unknown or no longer accepted"},
      {"now previous", second, 0, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clock_.Advance(seconds(5) * c.rotations);
    Client client(*sim_, sim_->AcceleratorIds()[0]);
    const grpc::Status status =
        client.ConnectWith(c.credentials, clock_.AsClock()());
    if (c.accepted) {
      EXPECT_TRUE(status.ok()) << status.error_message();
    } else {
      EXPECT_EQ(status.error_code(), StatusCode::UNAUTHENTICATED);
      EXPECT_EQ(sim_->core().Journal().back().detail, c.detail);
    }
  }
}

TEST_F(SimCredentialsTest, ConnectionConnectsAgainOnceItsSetIsNoLongerTaken) {
  for (CredentialsSource source :
       {CredentialsSource::kEnv, CredentialsSource::kRole}) {
    SCOPED_TRACE(static_cast<int>(source));
    Start(source);
    Client client(*sim_, sim_->AcceleratorIds()[0]);
    ASSERT_TRUE(client.Connect(clock_.AsClock()()).ok());
    clock_.Advance(seconds(5));
    EXPECT_TRUE(client.Ping().ok());  // its set is the previous one now
    clock_.Advance(seconds(5));
    const grpc::Status retired = client.Ping();
    if (source == CredentialsSource::kEnv) {
      EXPECT_TRUE(retired.ok());  // fixed credentials never retire
      continue;
    }
    EXPECT_EQ(retired.error_code(), StatusCode::FAILED_PRECONDITION);
    EXPECT_EQ(retired.error_message(), "19 connect expected");
    EXPECT_EQ(sim_->core().Journal().back().detail,
              "the credentials of the connection are no longer accepted");
    ASSERT_TRUE(client.Connect(clock_.AsClock()()).ok());
    EXPECT_TRUE(client.Ping().ok());
  }
}

}  // namespace
}  // namespace zvtest
