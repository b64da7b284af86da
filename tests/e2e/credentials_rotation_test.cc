// Short-lived credentials end to end: a session that outlives several key
// sets, signatures from many threads across rotations, and a refresh that
// fails, with debug logging that must never show a secret. The simulator
// and the platform layer share one clock that the tests move.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include "core/signer.h"
#include "platform/kcp.h"
#include "rpc/executor.h"
#include "support/log_capture.h"
#include "support/sim_client.h"
#include "support/sim_harness.h"
#include "zva/zva_errors.h"

namespace {

using std::chrono::hours;
using std::chrono::minutes;
using std::chrono::seconds;
using zvsim::CredentialsSource;
using zvtest::kPatience;
using Stub = zva::rpc::ZvaInference::Stub;

constexpr char kRoleDocument[] =
    "/latest/meta-data/kcp/security-credentials/zv-sim-role";

std::string LastError() {
  std::string text;
  zva::GetLastError(&text);
  return text;
}

// The access key id an "authorization" value names.
std::string KeyIdOf(const std::string& authorization) {
  const size_t start = authorization.find("Credential=") + 11;
  return authorization.substr(start, authorization.find('/', start) - start);
}

// Records the diagnostics the signer writes to the platform layer's log.
class RecordingLog : public kcp::LogSystem {
 public:
  kcp::LogLevel GetLogLevel() const override { return kcp::LogLevel::kDebug; }
  void Log(kcp::LogLevel, const char* tag,
           const std::string& message) override {
    std::lock_guard<std::mutex> lock(mtx_);
    text_ += std::string(tag) + " " + message + "\n";
  }
  std::string Text() {
    std::lock_guard<std::mutex> lock(mtx_);
    return text_;
  }

 private:
  std::mutex mtx_;
  std::string text_;
};

// A simulator whose keys come from `source` and rotate every `ttl` on the
// shared clock, and an environment without any credentials of its own.
class RotationTest : public ::testing::Test {
 protected:
  void Start(CredentialsSource source, seconds ttl) {
    sim_.reset();
    env_ = std::make_unique<zvtest::AccelEnv>();
    for (const char* name :
         {"KCP_ACCESS_KEY_ID", "KCP_SECRET_ACCESS_KEY", "KCP_SESSION_TOKEN",
          "KCP_CONTAINER_CREDENTIALS_URI"}) {
      unsetenv(name);
    }
    zvsim::Options options;
    options.plaintext = true;
    options.credentials_source = source;
    options.credential_ttl = ttl;
    options.clock = clock_.AsClock();
    sim_ = std::make_unique<zvsim::Simulator>(options);
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;
    for (const auto& [name, value] : sim_->Environment()) {
      setenv(name.c_str(), value.c_str(), 1);
    }
    kcp::ResetCredentialsCacheForTesting();
    kcp::SetClockForTesting(clock_.AsClock());
  }

  void TearDown() override {
    kcp::SetClockForTesting(nullptr);
    kcp::ResetCredentialsCacheForTesting();
    if (sim_) sim_->Stop();
    unsetenv("KCP_CONTAINER_CREDENTIALS_URI");
  }

  std::unique_ptr<zva::Accelerator> MakeAccelerator() {
    return std::make_unique<zva::Accelerator>(sim_->Endpoint(), sim_->region(),
                                              sim_->AcceleratorIds()[0],
                                              "zva1.medium");
  }

  // How many access key ids signed the Connect calls the simulator took.
  size_t DistinctAcceptedKeyIds() {
    std::set<std::string> ids;
    for (const zvsim::CallRecord& call : sim_->core().Journal()) {
      if (call.method == "Connect" && call.code == grpc::StatusCode::OK) {
        ids.insert(KeyIdOf(call.Metadata("authorization")));
      }
    }
    return ids.size();
  }

  zvtest::ManualClock clock_{zvtest::KnownTime()};
  std::unique_ptr<zvtest::AccelEnv> env_;
  std::unique_ptr<zvsim::Simulator> sim_;
};

TEST_F(RotationTest, SessionOutlivesThreeKeySetsAndEveryInferSucceeds) {
  for (CredentialsSource source :
       {CredentialsSource::kRole, CredentialsSource::kContainer}) {
    SCOPED_TRACE(static_cast<int>(source));
    Start(source, seconds(5));
    std::unique_ptr<zva::Accelerator> accelerator = MakeAccelerator();
    accelerator->KickOffKeepAliveThread(zva::Versions{"1.9.1", 0, 0}, "mxnet");
    const std::string session = accelerator->session_context_.Wait(kPatience);
    ASSERT_FALSE(session.empty());
    std::unique_ptr<Stub> stub =
        zva::rpc::ZvaInference::NewStub(accelerator->GetChannel());
    zva::rpc::LoadModelRequest load;
    zva::rpc::LoadModelResponse loaded;
    load.set_model_id("echo");
    LoadModelExecutor loader(accelerator->GetChannel().get(), stub.get(),
                             &Stub::LoadModel, "[MXNet][3]", &load, &loaded,
                             5000);
    ASSERT_EQ(loader.DefaultExecute(nullptr), zva::kOk) << LastError();

    // Half a TTL a step: each connection's set stops being accepted after
    // four steps, and the client has to connect with a newer one.
    int infers = 0;
    while (DistinctAcceptedKeyIds() < 3 && infers < 40) {
      clock_.Advance(std::chrono::milliseconds(2500));
      zva::rpc::InferRequest request;
      zva::rpc::InferResponse response;
      request.set_model_id("echo");
      request.add_input()->set_name("x");
      InferExecutor infer(accelerator->GetChannel().get(), stub.get(),
                          &Stub::Infer, "[MXNet][6]", &request, &response,
                          5000);
      ASSERT_EQ(infer.DefaultExecute(nullptr), zva::kOk) << LastError();
      ++infers;
    }
    EXPECT_GE(DistinctAcceptedKeyIds(), 3u);
    EXPECT_EQ(
        sim_->core().CallCount("Connect", grpc::StatusCode::UNAUTHENTICATED),
        0u);
    // Connecting again resumed the same session every time.
    EXPECT_EQ(sim_->core().CallCount("InitSession"), 1u);
    EXPECT_EQ(accelerator->session_context_.Wait(kPatience), session);
    accelerator.reset();
  }
}

TEST_F(RotationTest, EightThreadsSignAcrossRotations) {
  constexpr int kThreads = 8;
  constexpr int kRotations = 4;
  Start(CredentialsSource::kRole, seconds(5));
  const std::string accelerator_id = sim_->AcceleratorIds()[0];

  std::mutex mtx;
  std::condition_variable cv;
  // State below is protected by mtx.
  std::vector<int> connects(kThreads, 0);
  std::vector<std::string> failures;
  bool stop = false;

  auto sign_and_connect = [&](int index) {
    auto channel = zvtest::OwnChannel(sim_->Endpoint(),
                                      grpc::InsecureChannelCredentials());
    auto stub = zva::rpc::ZvaInference::NewStub(channel);
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mtx);
        if (stop) return;
      }
      std::string authorization, date, token;
      try {
        std::unique_ptr<AuthSigner, zva::ObjectReleaser> signer(
            new AuthSigner(sim_->Endpoint(), sim_->region(), accelerator_id));
        authorization = signer->SignRequest();
        date = signer->GetDateString();
        token = signer->GetKcpCredSessionToken();
      } catch (int code) {
        std::lock_guard<std::mutex> lock(mtx);
        failures.push_back("signing threw " + std::to_string(code));
        return;
      }
      grpc::ClientContext context;
      context.AddMetadata("authorization", authorization);
      context.AddMetadata("x-kst-date", date);
      context.AddMetadata("x-kst-security-token", token);
      context.AddMetadata("x-kstrn-zva-accelerator-id", accelerator_id);
      context.set_deadline(std::chrono::system_clock::now() + kPatience);
      // What is tested is the signature: a connection attempt that fails
      // under load (seen under the sanitizers) is waited out, not reported.
      context.set_wait_for_ready(true);
      zva::rpc::ConnectRequest request;
      zva::rpc::ConnectResponse response;
      const grpc::Status status = stub->Connect(&context, request, &response);
      std::lock_guard<std::mutex> lock(mtx);
      if (!status.ok()) {
        failures.push_back(std::to_string(status.error_code()) + " " +
                           status.error_message());
      }
      ++connects[index];
      cv.notify_all();
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back(sign_and_connect, i);

  // The clock moves a quarter of the TTL at a time, and only once every
  // thread has connected since its last move. A signature may use the keys
  // cached two moves ago (a refresh still in flight) and be checked one move
  // later: three quarters of a TTL after the keys were fetched, while they
  // are still taken. Whole-TTL moves would outrun that, as no real clock
  // does.
  constexpr int kSteps = 4 * kRotations;
  for (int step = 0; step <= kSteps; ++step) {
    std::unique_lock<std::mutex> lock(mtx);
    const std::vector<int> before = connects;
    const bool all = cv.wait_for(lock, kPatience, [&] {
      for (int i = 0; i < kThreads; ++i) {
        if (connects[i] <= before[i]) return false;
      }
      return true;
    });
    ASSERT_TRUE(all);
    if (step < kSteps) clock_.Advance(std::chrono::milliseconds(1250));
  }
  {
    std::lock_guard<std::mutex> lock(mtx);
    stop = true;
  }
  for (std::thread& t : threads) t.join();
  EXPECT_TRUE(failures.empty()) << failures.front();
  EXPECT_GE(DistinctAcceptedKeyIds(), static_cast<size_t>(kRotations));
}

TEST_F(RotationTest, FailedRefreshKeepsValidKeysAndNoSecretIsEverShown) {
  Start(CredentialsSource::kRole, seconds(3600));
  auto recording = std::make_shared<RecordingLog>();
  kcp::SetLogSystem(recording);
  std::string texts;  // last errors and the library's log
  {
    zvtest::LogCapture log(/*debug=*/true);
    EXPECT_EQ(MakeAccelerator()->Connect(), zva::kOk) << LastError();

    // Four minutes left, and the role's keys cannot be had: the cached ones
    // still sign (the simulator still accepts them), with one warning.
    clock_.Advance(hours(2) - minutes(4));
    zvsim::MetadataOverride broken;
    broken.status = 500;
    sim_->core().SetMetadataOverride(kRoleDocument, broken);
    const std::string warning =
        "[Credentials] Refreshing the credentials from host role "
        "zv-sim-role failed (container endpoint: "
        "KCP_CONTAINER_CREDENTIALS_URI not set; host role: role zv-sim-role "
        "at " +
        sim_->MetadataUri() + kRoleDocument +
        ": HTTP 500); using them until they expire at ";
    EXPECT_EQ(MakeAccelerator()->Connect(), zva::kOk) << LastError();
    EXPECT_EQ(MakeAccelerator()->Connect(), zva::kOk) << LastError();
    EXPECT_EQ(log.Count(warning), 1) << log.Text();

    // Expired: no credentials, and the last error says why.
    clock_.Advance(minutes(4));
    EXPECT_EQ(MakeAccelerator()->Connect(), zva::kInternalError);
    const std::string failed = LastError();
    for (const std::string& part :
         {std::string("No KCP credentials found. Please configure KCP "
                      "credentials. Sources tried: environment: "),
          std::string(": HTTP 500; the credentials from host role "
                      "zv-sim-role expired at ")}) {
      EXPECT_NE(failed.find(part), std::string::npos) << failed;
    }

    sim_->core().ClearMetadataOverrides();
    EXPECT_EQ(MakeAccelerator()->Connect(), zva::kOk) << LastError();
    texts = failed + log.Text();
  }
  kcp::SetLogSystem(nullptr);
  texts += recording->Text();
  EXPECT_NE(recording->Text().find("Final String to sign"), std::string::npos);
  const std::vector<zvsim::Credentials> issued =
      sim_->core().IssuedCredentials();
  EXPECT_GE(issued.size(), 3u);
  for (const zvsim::Credentials& set : issued) {
    for (const std::string& secret :
         {set.access_key_id, set.secret_access_key, set.session_token}) {
      EXPECT_EQ(texts.find(secret), std::string::npos) << secret;
    }
  }
}

}  // namespace
