// The simulator's own Connect verification: the published known answer, its
// rejections, and the same through the wire.

#include <filesystem>

#include <gtest/gtest.h>
#include <stdlib.h>

#include "core/signer.h"
#include "platform/kcp.h"
#include "support/sim_client.h"
#include "zva/zva_object.h"

namespace zvtest {
namespace {

constexpr char kEndpoint[] = "runtime.zorvel.us-west-2.kestrocloud.com:443";
constexpr char kAccelerator[] = "zva-0123456789abcdef0";
constexpr char kKeyId[] = "KCPTESTACCESSKEY01";
constexpr char kSecret[] = "kcp/test/Secret+Key/0123456789abcdefXYZ";
constexpr char kDate[] = "20261207T123456Z";
constexpr char kAuthorization[] =
    "KCP4-HMAC-SHA256 "
    "Credential=KCPTESTACCESSKEY01/20261207/us-west-2/zorvel/kcp4_request, "
    "SignedHeaders=:authority;x-kst-date;x-kstrn-zva-accelerator-id, "
    "Signature=4476694dee9d5da5e729be05163494541fa33bf1513ecf8e9379e9992c234a"
    "76";

zvsim::SignedConnect KnownRequest() {
  zvsim::SignedConnect request;
  request.authority = kEndpoint;
  request.authorization = kAuthorization;
  request.date = kDate;
  request.accelerator_id = kAccelerator;
  return request;
}

zvsim::Clock FixedClock(std::chrono::system_clock::time_point t) {
  return [t] { return t; };
}

TEST(ConnectVerifierTest, KnownAnswerIsAcceptedAndReproduced) {
  zvsim::ConnectVerifier verifier({kKeyId, kSecret, ""}, "us-west-2",
                                  FixedClock(KnownTime()));
  std::string reason;
  EXPECT_TRUE(verifier.Verify(KnownRequest(), &reason)) << reason;
  EXPECT_EQ(verifier.AuthorizationFor(KnownRequest()), kAuthorization);
}

TEST(ConnectVerifierTest, RejectsEveryAlteration) {
  struct Case {
    const char* name;
    std::function<void(zvsim::SignedConnect*)> alter;
    zvsim::Credentials credentials;
    std::string region;
    std::chrono::system_clock::duration clock_offset;
    bool accepted;
  };
  const zvsim::Credentials good{kKeyId, kSecret, ""};
  const auto nothing = [](zvsim::SignedConnect*) {};
  const std::vector<Case> cases = {
      {"unchanged", nothing, good, "us-west-2", {}, true},
      {"14 minutes later", nothing, good, "us-west-2", std::chrono::minutes(14),
       true},
      {"14 minutes earlier", nothing, good, "us-west-2",
       -std::chrono::minutes(14), true},
      {"16 minutes later (stale)", nothing, good, "us-west-2",
       std::chrono::minutes(16), false},
      {"16 minutes earlier (future)", nothing, good, "us-west-2",
       -std::chrono::minutes(16), false},
      {"one signature byte changed",
       [](zvsim::SignedConnect* r) { r->authorization.back() = '7'; },
       good,
       "us-west-2",
       {},
       false},
      {"one credential byte changed",
       [](zvsim::SignedConnect* r) { r->authorization[30] = 'X'; },
       good,
       "us-west-2",
       {},
       false},
      {"wrong secret",
       nothing,
       {kKeyId, "kcp/test/Secret+Key/0123456789abcdefXYz", ""},
       "us-west-2",
       {},
       false},
      {"wrong key id",
       nothing,
       {"KCPTESTACCESSKEY02", kSecret, ""},
       "us-west-2",
       {},
       false},
      {"wrong region", nothing, good, "us-east-1", {}, false},
      {"other authority",
       [](zvsim::SignedConnect* r) { r->authority = "127.0.0.1:443"; },
       good,
       "us-west-2",
       {},
       false},
      {"other accelerator",
       [](zvsim::SignedConnect* r) {
         r->accelerator_id = "zva-0123456789abcdef1";
       },
       good,
       "us-west-2",
       {},
       false},
      {"date one second off",
       [](zvsim::SignedConnect* r) { r->date = "20261207T123457Z"; },
       good,
       "us-west-2",
       {},
       false},
      {"malformed date",
       [](zvsim::SignedConnect* r) { r->date = "2026-12-07T12:34:56Z"; },
       good,
       "us-west-2",
       {},
       false},
      {"missing authorization",
       [](zvsim::SignedConnect* r) { r->authorization.clear(); },
       good,
       "us-west-2",
       {},
       false},
      {"trailing blank",
       [](zvsim::SignedConnect* r) { r->authorization += " "; },
       good,
       "us-west-2",
       {},
       false},
      {"token required but absent",
       nothing,
       {kKeyId, kSecret, "token"},
       "us-west-2",
       {},
       false},
      {"token required and present",
       [](zvsim::SignedConnect* r) { r->security_token = "token"; },
       {kKeyId, kSecret, "token"},
       "us-west-2",
       {},
       true},
  };
  for (const Case& c : cases) {
    zvsim::SignedConnect request = KnownRequest();
    c.alter(&request);
    zvsim::ConnectVerifier verifier(c.credentials, c.region,
                                    FixedClock(KnownTime() + c.clock_offset));
    std::string reason;
    EXPECT_EQ(verifier.Verify(request, &reason), c.accepted)
        << c.name << ": " << reason;
    if (!c.accepted) {
      EXPECT_FALSE(reason.empty()) << c.name;
    }
  }
}

TEST(ConnectVerifierTest, DatesParseStrictly) {
  std::chrono::system_clock::time_point t;
  ASSERT_TRUE(zvsim::ParseKcpDate(kDate, &t));
  EXPECT_EQ(t, KnownTime());
  EXPECT_EQ(zvsim::FormatKcpDate(t), kDate);
  for (const char* bad :
       {"", "20261207T123456", "20261207 123456Z", "20261307T123456Z",
        "20261232T123456Z", "20261207T243456Z", "20261207T126056Z",
        "2026120aT123456Z", "20261207T123456Z ", "+0261207T123456Z"}) {
    EXPECT_FALSE(zvsim::ParseKcpDate(bad, &t)) << bad;
  }
}

// The same known answer, carried by a real call: the authority the verifier
// checks is the one the client addressed.
class SignedConnectOverWireTest : public ::testing::Test {
 protected:
  void StartWith(const std::string& secret) {
    zvsim::Options options;
    options.plaintext = true;
    options.accelerators = {{kAccelerator, "zva1.medium", ""}};
    options.credentials = {kKeyId, secret, ""};
    options.clock = clock_.AsClock();
    sim_ = std::make_unique<zvsim::Simulator>(options);
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;
    client_ = std::make_unique<Client>(*sim_, kAccelerator);
  }

  grpc::Status Connect(const std::string& authorization) {
    auto context = client_->Context();
    context->set_authority(kEndpoint);
    context->AddMetadata("authorization", authorization);
    context->AddMetadata("x-kst-date", kDate);
    zva::rpc::ConnectRequest req;
    zva::rpc::ConnectResponse resp;
    return client_->stub()->Connect(context.get(), req, &resp);
  }

  ManualClock clock_{KnownTime()};
  std::unique_ptr<zvsim::Simulator> sim_;
  std::unique_ptr<Client> client_;
};

TEST_F(SignedConnectOverWireTest, KnownSignatureIsAcceptedAtItsTime) {
  StartWith(kSecret);
  grpc::Status status = Connect(kAuthorization);
  EXPECT_TRUE(status.ok()) << status.error_message() << " "
                           << sim_->core().Journal().back().detail;
  EXPECT_EQ(sim_->core().Journal().back().authority, kEndpoint);
  EXPECT_EQ(sim_->core().ConnectedPeers().size(), 1u);
}

TEST_F(SignedConnectOverWireTest, OneChangedByteIsRejected) {
  StartWith(kSecret);
  std::string authorization = kAuthorization;
  authorization[authorization.size() - 10] = 'f';
  grpc::Status status = Connect(authorization);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::UNAUTHENTICATED);
  EXPECT_EQ(status.error_message(), "6 authentication failed");
  EXPECT_EQ(sim_->core().Journal().back().detail, "signature mismatch");
  EXPECT_TRUE(sim_->core().ConnectedPeers().empty());
}

TEST_F(SignedConnectOverWireTest, WrongSecretIsRejected) {
  StartWith("another secret");
  grpc::Status status = Connect(kAuthorization);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::UNAUTHENTICATED);
  EXPECT_EQ(status.error_message(), "6 authentication failed");
}

TEST_F(SignedConnectOverWireTest, StaleDateIsRejected) {
  StartWith(kSecret);
  clock_.Advance(std::chrono::minutes(15) + std::chrono::seconds(1));
  grpc::Status status = Connect(kAuthorization);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::UNAUTHENTICATED);
  EXPECT_EQ(status.error_message(), "6 authentication failed");
  EXPECT_EQ(sim_->core().Journal().back().detail,
            "date outside the allowed clock skew");
}

TEST_F(SignedConnectOverWireTest, MissingSigningHeadersAreRejected) {
  StartWith(kSecret);
  auto context = client_->Context();
  zva::rpc::ConnectRequest req;
  zva::rpc::ConnectResponse resp;
  grpc::Status status = client_->stub()->Connect(context.get(), req, &resp);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::UNAUTHENTICATED);
  EXPECT_EQ(status.error_message(), "6 authentication failed");
}

// Two independent implementations must agree: what the library's signer
// sends, the simulator accepts.
class LibrarySignerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "zv_sim_sign_XXXXXX")
            .string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    home_ = pattern;
    setenv("HOME", home_.c_str(), 1);
    setenv("ZV_INSTANCE_METADATA_URI", "http://127.0.0.1:1", 1);
  }
  void TearDown() override {
    kcp::SetClockForTesting(nullptr);
    unsetenv("KCP_ACCESS_KEY_ID");
    unsetenv("KCP_SECRET_ACCESS_KEY");
    unsetenv("KCP_SESSION_TOKEN");
    unsetenv("ZV_INSTANCE_METADATA_URI");
    std::filesystem::remove_all(home_);
  }

  std::string home_;
};

TEST_F(LibrarySignerTest, SignedConnectIsAccepted) {
  struct Case {
    const char* name;
    zvsim::Credentials credentials;
    std::string region;
    bool fixed_clock;
    bool tls;
  };
  const std::vector<Case> cases = {
      {"known credentials at the known time",
       {kKeyId, kSecret, ""},
       "us-west-2",
       true,
       false},
      {"generated credentials now, over TLS", {}, "us-west-2", false, true},
      {"with a session token",
       {"AKTOKEN", "s3cr3t/+=", "the-token"},
       "eu-central-1",
       false,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zvsim::Options options;
    options.plaintext = !c.tls;
    options.region = c.region;
    options.credentials = c.credentials;
    if (c.fixed_clock) {
      options.clock = [] { return KnownTime(); };
      kcp::SetClockForTesting([] { return KnownTime(); });
    } else {
      kcp::SetClockForTesting(nullptr);
    }
    zvsim::Simulator sim(options);
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    const zvsim::Credentials credentials = sim.core().credentials();
    setenv("KCP_ACCESS_KEY_ID", credentials.access_key_id.c_str(), 1);
    setenv("KCP_SECRET_ACCESS_KEY", credentials.secret_access_key.c_str(), 1);
    if (credentials.session_token.empty()) {
      unsetenv("KCP_SESSION_TOKEN");
    } else {
      setenv("KCP_SESSION_TOKEN", credentials.session_token.c_str(), 1);
    }
    const std::string accelerator = sim.AcceleratorIds()[0];

    std::unique_ptr<AuthSigner, zva::ObjectReleaser> signer(
        new AuthSigner(sim.Endpoint(), c.region, accelerator));
    const std::string authorization = signer->SignRequest();
    Client client(sim, accelerator);
    auto context = client.Context();
    context->AddMetadata("authorization", authorization);
    context->AddMetadata("x-kst-date", signer->GetDateString());
    if (!signer->GetKcpCredSessionToken().empty()) {
      context->AddMetadata("x-kst-security-token",
                           signer->GetKcpCredSessionToken());
    }
    zva::rpc::ConnectRequest req;
    zva::rpc::ConnectResponse resp;
    const grpc::Status status =
        client.stub()->Connect(context.get(), req, &resp);
    EXPECT_TRUE(status.ok())
        << status.error_message() << ": " << sim.core().Journal().back().detail;
    // A signature for another accelerator is no good for this one.
    std::unique_ptr<AuthSigner, zva::ObjectReleaser> other(
        new AuthSigner(sim.Endpoint(), c.region, "zva-00000000000000000"));
    auto wrong = client.Context();
    wrong->AddMetadata("authorization", other->SignRequest());
    wrong->AddMetadata("x-kst-date", other->GetDateString());
    if (!other->GetKcpCredSessionToken().empty()) {
      wrong->AddMetadata("x-kst-security-token",
                         other->GetKcpCredSessionToken());
    }
    EXPECT_EQ(client.stub()->Connect(wrong.get(), req, &resp).error_code(),
              grpc::StatusCode::UNAUTHENTICATED);
  }
}

}  // namespace
}  // namespace zvtest
