// The accelerator against the simulator: signed Connect, the session calls,
// the health-check thread and its repairs, Ping and Release.
#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "zva/rpc/zva_error_codes.pb.h"

#include "api/factory.h"
#include "errors/catalogue.h"
#include "errors/classification.h"
#include "support/log_capture.h"
#include "support/sim_harness.h"
#include "zva/zva_accelerator.h"

namespace {

using std::chrono::hours;
using std::chrono::milliseconds;
using zvtest::kPatience;
using zvtest::SimHarness;

std::string LastError() {
  std::string text;
  zva::GetLastError(&text);
  return text;
}

std::vector<zvsim::CallRecord> CallsOf(zvsim::Simulator& sim,
                                       const std::string& method) {
  std::vector<zvsim::CallRecord> calls;
  for (auto& record : sim.core().Journal()) {
    if (record.method == method) calls.push_back(std::move(record));
  }
  return calls;
}

zva::Versions TestVersions() {
  zva::Versions versions;
  versions.framework_version = "1.9.1";
  versions.client_requested_operator_whitelist_version = 3;
  versions.operator_whitelist_override_version = 4;
  return versions;
}

// Starts the health-check thread and waits for the first session.
std::string StartSession(zva::Accelerator* accelerator) {
  accelerator->KickOffKeepAliveThread(TestVersions(), "mxnet");
  return accelerator->session_context_.Wait(kPatience);
}

TEST(ConnectTest, SignedConnectWithSessionTokenOverPlainText) {
  zvsim::Options options = SimHarness::PlainOptions();
  options.credentials = {"AKWITHTOKEN", "secret-with-token", "token-123"};
  SimHarness h(options);
  // Only the presence of the variable counts.
  setenv("ZVL_TLS_OPTION_DISABLED", "", 1);
  auto accelerator = h.MakeAccelerator();
  EXPECT_EQ(accelerator->Connect(), zva::kOk);
  EXPECT_TRUE(accelerator->IsConnected());
  // Connected already: no second call.
  EXPECT_EQ(accelerator->Connect(), zva::kOk);
  auto connects = CallsOf(h.sim(), "Connect");
  ASSERT_EQ(connects.size(), 1u);
  EXPECT_EQ(connects[0].code, grpc::StatusCode::OK) << connects[0].detail;
  EXPECT_EQ(connects[0].Metadata("x-kst-security-token"), "token-123");
}

// Stands between a client and the simulator on loopback and holds every new
// connection for `hold` before it passes anything on, the way a loaded host
// answers slowly.
class SlowRelay {
 public:
  SlowRelay(int target_port, milliseconds hold) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), length),
              0);
    EXPECT_EQ(::listen(listener_, 8), 0);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    address.sin_port = htons(static_cast<uint16_t>(target_port));
    acceptor_ = std::thread([this, address, hold] {
      for (int client; (client = ::accept(listener_, nullptr, nullptr)) >= 0;) {
        const int server = ::socket(AF_INET, SOCK_STREAM, 0);
        ::connect(server, reinterpret_cast<const sockaddr*>(&address),
                  sizeof(address));
        fds_.insert(fds_.end(), {client, server});
        pumps_.emplace_back([client, server, hold] {
          std::this_thread::sleep_for(hold);  // the slowness itself
          pollfd fds[] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
          char buffer[16384];
          while (::poll(fds, 2, -1) > 0) {
            const int from = fds[0].revents != 0 ? 0 : 1;
            const ssize_t n = ::read(fds[from].fd, buffer, sizeof(buffer));
            if (n <= 0 || ::write(fds[1 - from].fd, buffer, n) != n) break;
          }
        });
      }
    });
  }
  ~SlowRelay() {
    ::shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
    for (std::thread& pump : pumps_) pump.join();
    for (int fd : fds_) ::close(fd);
    ::close(listener_);
  }
  std::string Endpoint() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  // Written by the acceptor only; read once it has ended.
  std::vector<int> fds_;
  std::vector<std::thread> pumps_;
};

// Regression: the channel gave each connection attempt, handshake
// included, only a tenth of a second (gRPC takes its minimum reconnect
// back-off as the least time an attempt may take), so on a loaded host
// Connect and Ping failed with code 14 against a healthy proxy.
TEST(ConnectTest, SlowConnectionSetupStillConnects) {
  SimHarness h;
  const std::string endpoint = h.sim().Endpoint();
  SlowRelay relay(std::stoi(endpoint.substr(endpoint.rfind(':') + 1)),
                  milliseconds(500));
  auto accelerator = std::make_unique<zva::Accelerator>(
      relay.Endpoint(), h.sim().region(), h.Id(), "zva1.medium");
  EXPECT_EQ(accelerator->Connect(), 0) << LastError();
  EXPECT_EQ(accelerator->Ping(), 0) << LastError();
  accelerator->Release();
}

TEST(ConnectTest, ThreeAttemptsWithRetryOneWithout) {
  SimHarness h;
  auto accelerator = h.MakeAccelerator();
  h.core().FailNext("Connect", 4, grpc::StatusCode::UNAVAILABLE, "4 proxy busy");
  EXPECT_EQ(accelerator->Connect(), zva::kInternalError);
  EXPECT_EQ(h.core().CallCount("Connect"), 3u);
  EXPECT_FALSE(accelerator->IsConnected());
  EXPECT_NE(LastError().find("[4, 14, 4]"), std::string::npos) << LastError();
  // Every attempt is signed afresh.
  std::set<std::string> request_ids;
  for (const auto& call : CallsOf(h.sim(), "Connect")) {
    request_ids.insert(call.Metadata("x-kstrn-request-id"));
  }
  EXPECT_EQ(request_ids.size(), 3u);

  EXPECT_THROW(accelerator->ConnectImplementation(false), zva::RPCState);
  EXPECT_EQ(h.core().CallCount("Connect"), 4u);
  // The rule is used up: the next Connect succeeds.
  EXPECT_EQ(accelerator->ConnectImplementation(false), zva::kOk);
}

TEST(SessionTest, BuildsKeepsAliveAndStampsEveryCall) {
  SimHarness h;
  auto accelerator = h.MakeAccelerator();
  {
    // The thread keeps its own copy of the name.
    std::string framework = "mxnet";
    accelerator->KickOffKeepAliveThread(TestVersions(), framework.c_str());
    framework.assign("overwritten");
  }
  std::string session = accelerator->session_context_.Wait(kPatience);
  ASSERT_FALSE(session.empty());
  ASSERT_TRUE(h.WaitForCalls("KeepAliveSession", 3));

  auto sessions = h.core().Sessions();
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0].session_id, session);
  EXPECT_EQ(sessions[0].config.model_type(), "mxnet");
  EXPECT_EQ(sessions[0].config.framework_version(), "1.9.1");
  EXPECT_EQ(sessions[0].config.zvl_version(), "1.5.3");
  EXPECT_EQ(sessions[0].config.client_requested_operator_whitelist_version(),
            3);
  EXPECT_EQ(sessions[0].config.operator_whitelist_override_version(), 4);

  accelerator->Release();
  EXPECT_FALSE(accelerator->IsKeepAliveThreadRunning());
  // The session the thread held is destroyed on the way out.
  EXPECT_TRUE(h.core().Sessions().empty());

  std::set<std::string> request_ids;
  auto journal = h.core().Journal();
  for (const auto& call : journal) {
    SCOPED_TRACE(call.method);
    EXPECT_EQ(call.code, grpc::StatusCode::OK) << call.message;
    std::string request_id = call.Metadata("x-kstrn-request-id");
    EXPECT_EQ(request_id.rfind("PT-", 0), 0u);
    request_ids.insert(request_id);
    EXPECT_EQ(call.accelerator_id, h.Id());
    EXPECT_FALSE(call.Metadata("x-kstrn-time-stamp").empty());
    EXPECT_GT(call.deadline_ms, 0);
  }
  EXPECT_EQ(request_ids.size(), journal.size());

  const auto& connect = journal.front();
  EXPECT_EQ(connect.method, "Connect");
  EXPECT_EQ(connect.Metadata("authorization").rfind("KCP4-HMAC-SHA256 ", 0),
            0u);
  EXPECT_EQ(connect.Metadata("x-kst-date").size(), 16u);
  EXPECT_EQ(connect.metadata.count("x-kst-security-token"), 0u);

  auto init = CallsOf(h.sim(), "InitSession");
  ASSERT_EQ(init.size(), 1u);
  const auto* init_request = init[0].RequestAs<zva::rpc::InitSessionRequest>();
  ASSERT_NE(init_request, nullptr);
  EXPECT_EQ(init_request->zva_id(), h.Id());
  for (const auto& call : CallsOf(h.sim(), "KeepAliveSession")) {
    EXPECT_EQ(call.RequestAs<zva::rpc::KeepAliveSessionRequest>()
                  ->session()
                  .session_id(),
              session);
  }
  auto destroy = CallsOf(h.sim(), "DestroySession");
  ASSERT_EQ(destroy.size(), 1u);
  EXPECT_EQ(destroy[0]
                .RequestAs<zva::rpc::DestroySessionRequest>()
                ->session()
                .session_id(),
            session);
}

// One fatal answer (a clock step or a rotated credential gives one on a
// healthy host) used to end the health check for good: every later call
// failed at once, minutes later too. Now the session is destroyed and a
// fresh one is built after the longest back-off.
TEST(SessionTest, FatalKeepAliveDestroysTheSessionAndHealsWithoutHelp) {
  SimHarness h;
  auto accelerator = h.MakeAccelerator();
  const std::string first = StartSession(accelerator.get());
  ASSERT_FALSE(first.empty());
  h.core().FailNext("KeepAliveSession", 1, grpc::StatusCode::UNAUTHENTICATED,
                    "6 authentication failed");
  ASSERT_TRUE(h.WaitForCalls("DestroySession", 1, grpc::StatusCode::OK));
  // A keep-alive of another session shows the new one is published.
  ASSERT_TRUE(h.core().WaitForJournal(
      [&](const std::deque<zvsim::CallRecord>& journal) {
        return std::any_of(journal.begin(), journal.end(), [&](const auto& r) {
          return r.method == "KeepAliveSession" &&
                 r.code == grpc::StatusCode::OK &&
                 r.template RequestAs<zva::rpc::KeepAliveSessionRequest>()
                         ->session()
                         .session_id() != first;
        });
      },
      kPatience));
  const std::string second = accelerator->session_context_.Wait(kPatience);
  EXPECT_FALSE(second.empty());
  EXPECT_NE(second, first);
  EXPECT_FALSE(accelerator->IsStopping());
  EXPECT_TRUE(accelerator->IsKeepAliveThreadRunning());
  EXPECT_EQ(h.core().CallCount("ReconnectSession"), 0u);
  accelerator->Release();
}

TEST(SessionTest, SessionBuildNeededMakesAFreshHandshake) {
  SimHarness h;
  auto accelerator = h.MakeAccelerator();
  std::string first = StartSession(accelerator.get());
  ASSERT_FALSE(first.empty());
  h.core().FailNext("KeepAliveSession", 1, grpc::StatusCode::NOT_FOUND,
                    "12 session not found");
  ASSERT_TRUE(h.WaitForCalls("InitSession", 2, grpc::StatusCode::OK));
  std::string second = accelerator->session_context_.Wait(kPatience);
  EXPECT_NE(second, first);
  EXPECT_FALSE(second.empty());
  EXPECT_EQ(h.core().CallCount("ReconnectSession"), 0u);
  EXPECT_EQ(h.core().CallCount("Connect"), 2u);
  accelerator->Release();
}

TEST(SessionTest, ProxyConnectNeededReconnectsTheOldSession) {
  SimHarness h;
  auto accelerator = h.MakeAccelerator();
  std::string first = StartSession(accelerator.get());
  ASSERT_FALSE(first.empty());
  h.core().FailNext("KeepAliveSession", 1,
                    grpc::StatusCode::FAILED_PRECONDITION,
                    "19 connect expected");
  ASSERT_TRUE(h.WaitForCalls("ReconnectSession", 1, grpc::StatusCode::OK));
  EXPECT_EQ(accelerator->session_context_.Wait(kPatience), first);
  accelerator->Release();
  auto reconnects = CallsOf(h.sim(), "ReconnectSession");
  ASSERT_EQ(reconnects.size(), 1u);
  const auto* request =
      reconnects[0].RequestAs<zva::rpc::ReconnectSessionRequest>();
  EXPECT_EQ(request->session().session_id(), first);
  EXPECT_EQ(request->zva_id(), "");
  EXPECT_EQ(h.core().CallCount("InitSession"), 1u);
  EXPECT_EQ(h.core().CallCount("Connect"), 2u);
}

TEST(SessionTest, RestartedSimulatorIsRepairedWithoutHelp) {
  SimHarness h;
  auto accelerator = h.MakeAccelerator();
  std::string first = StartSession(accelerator.get());
  ASSERT_FALSE(first.empty());
  ASSERT_TRUE(h.sim().Restart(milliseconds(100)));
  ASSERT_TRUE(h.WaitForCalls("ReconnectSession", 1, grpc::StatusCode::OK));
  EXPECT_EQ(accelerator->session_context_.Wait(kPatience), first);
  EXPECT_GE(h.core().CallCount("Connect", grpc::StatusCode::OK), 2u);
  accelerator->Release();
}

TEST(SessionTest, CallsOnTheHealthThreadDirectly) {
  SimHarness h;
  auto accelerator = h.MakeAccelerator();
  auto& context = accelerator->session_context_;

  // BuildSession leaves the back-off alone: its caller resets it once a
  // session stands.
  zva::util::DefaultRetryStrategy retry(10, 1000);
  for (int i = 0; i < 3; ++i) retry.CalculateDelayBeforeNextRetry();
  EXPECT_EQ(accelerator->BuildSession(TestVersions(), "pytorch", &retry),
            zva::kOk);
  EXPECT_EQ(retry.CalculateDelayBeforeNextRetry(), 160);
  std::string session = accelerator->GetSessionId();
  EXPECT_EQ(context.Wait(milliseconds(0)), session);

  // A failed keep-alive leaves the published session alone.
  h.core().FailNext("KeepAliveSession", 1, grpc::StatusCode::NOT_FOUND,
                    "12 session not found");
  EXPECT_THROW(accelerator->KeepAliveSession(), zva::RPCState);
  EXPECT_TRUE(context.IsReady());
  EXPECT_EQ(context.GetLastSessionError().GetZvaStatusCode(),
            zva::rpc::ZVA_SESSION_NOT_FOUND);

  // A known session is resumed, never replaced, even when that fails; the
  // failure unpublishes it before the exception leaves.
  h.core().FailNext("ReconnectSession", 1, grpc::StatusCode::NOT_FOUND,
                    "12 session not found");
  try {
    accelerator->BuildSession(TestVersions(), "pytorch", &retry);
    ADD_FAILURE() << "no exception";
  } catch (zva::RPCState state) {
    EXPECT_EQ(state, zva::SESSION_BUILD_NEEDED);
  }
  EXPECT_FALSE(context.IsReady());
  EXPECT_EQ(h.core().CallCount("InitSession"), 1u);

  h.core().FailNext("DestroySession", 1, grpc::StatusCode::NOT_FOUND,
                   "12 session not found");
  EXPECT_EQ(accelerator->DestroySession(), zva::kInternalError);
  EXPECT_NE(LastError().find("[12, 5, 13]"), std::string::npos) << LastError();
  EXPECT_EQ(accelerator->DestroySession(), zva::kOk);
}

// The pause used to stay at its shortest when Connect succeeded and only the
// handshake kept failing (the strategy was reset after every Connect).
TEST(SessionTest, BackOffGrowsBetweenFailedBuildsAndStopWakesIt) {
  for (const char* failing : {"Connect", "InitSession"}) {
    SCOPED_TRACE(failing);
    std::mutex mtx;
    std::vector<std::chrono::steady_clock::time_point> build_times;
    SimHarness h(SimHarness::PlainOptions(),
                 R"({"keep_alive_interval": 50,
                     "initial_exponential_backoff_time": 200,
                     "max_exponential_backoff_time": 100000})",
                 [&](const zvsim::CallRecord& call) {
                   if (call.method != failing) return;
                   std::lock_guard<std::mutex> lock(mtx);
                   build_times.push_back(std::chrono::steady_clock::now());
                 });
    auto accelerator = h.MakeAccelerator();
    // An internal server error has no repair of its own: back off, rebuild.
    h.core().FailNext(failing, 2, grpc::StatusCode::INTERNAL,
                      "23 internal server error");
    ASSERT_FALSE(StartSession(accelerator.get()).empty());
    accelerator->Release();
    std::lock_guard<std::mutex> lock(mtx);
    ASSERT_EQ(build_times.size(), 3u);
    // Pauses of 400 and 800 ms; the margin absorbs when the simulator takes
    // its notes. Lower bounds only: a pause may always last longer.
    EXPECT_GE(build_times[1] - build_times[0], milliseconds(300));
    EXPECT_GE(build_times[2] - build_times[1], milliseconds(600));
  }

  // With a pause of minutes, stopping must not wait it out.
  SimHarness h(SimHarness::PlainOptions(),
               R"({"initial_exponential_backoff_time": 100000})");
  auto patient = h.MakeAccelerator();
  h.core().FailNext("Connect", 1, grpc::StatusCode::INTERNAL,
                    "23 internal server error");
  patient->KickOffKeepAliveThread(TestVersions(), "mxnet");
  ASSERT_TRUE(h.WaitForCalls("Connect", 1, grpc::StatusCode::INTERNAL));
  patient->Release();
  EXPECT_EQ(h.core().CallCount("Connect"), 1u);
}

// Release waited for the session call in flight: Connect, InitSession and
// DestroySession each with its full deadline, 13.7 s with the defaults.
TEST(ReleaseTest, ReleaseDuringADelayedInitSessionDoesNotWaitItOut) {
  SimHarness h(SimHarness::PlainOptions(),
               R"({"keep_alive_interval": 50, "init_session_timeout": 600000,
                   "destroy_session_timeout": 600000})");
  auto accelerator = h.MakeAccelerator();
  h.core().SetDelay("InitSession", std::chrono::minutes(10));
  accelerator->KickOffKeepAliveThread(TestVersions(), "mxnet");
  ASSERT_TRUE(h.core().WaitForDelayedCalls("InitSession", 1, kPatience));
  const auto start = std::chrono::steady_clock::now();
  accelerator->Release();
  // Far below the deadline of the call in flight: it was cancelled.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::minutes(1));
  EXPECT_FALSE(accelerator->IsKeepAliveThreadRunning());
  h.core().SetDelay("InitSession", milliseconds(0));
}

TEST(PingTest, HealthyUnhealthyAndFailures) {
  SimHarness h;
  auto accelerator = h.MakeAccelerator();
  EXPECT_EQ(accelerator->Ping(), zva::kOk);
  EXPECT_EQ(accelerator->Ping(), zva::kOk);
  EXPECT_EQ(h.core().CallCount("Connect"), 1u);
  EXPECT_EQ(h.core().CallCount("Ping"), 2u);

  h.core().SetHealthy(h.Id(), false);
  EXPECT_EQ(accelerator->Ping(), zva::kAcceleratorUnhealthy);
  EXPECT_EQ(h.core().CallCount("Ping"), 3u);
  h.core().SetHealthy(h.Id(), true);

  h.core().FailNext("Ping", 4, grpc::StatusCode::INTERNAL,
                   "23 internal server error");
  EXPECT_EQ(accelerator->Ping(), zva::kInternalError);
  EXPECT_EQ(h.core().CallCount("Ping"), 7u);
  EXPECT_NE(LastError().find("[23, 13, 30]"), std::string::npos) << LastError();

  // A failure that asks for a proxy connection makes a new signed Connect
  // before the next attempt.
  h.core().FailNext("Ping", 1, grpc::StatusCode::FAILED_PRECONDITION,
                   "19 connect expected");
  EXPECT_EQ(accelerator->Ping(), zva::kOk);
  EXPECT_EQ(h.core().CallCount("Ping"), 9u);
  EXPECT_EQ(h.core().CallCount("Connect"), 2u);
}

TEST(ReleaseTest, ReleaseStopsTheThreadAndLaterCallsFailCleanly) {
  SimHarness h;
  zvtest::LogCapture log;
  auto accelerator = h.MakeAccelerator();
  std::shared_ptr<grpc::Channel> channel = accelerator->GetChannel();
  ASSERT_FALSE(StartSession(accelerator.get()).empty());
  EXPECT_EQ(zva::Accelerator::FromChannel(channel.get()), accelerator.get());
  EXPECT_EQ(accelerator->Release(), zva::kOk);
  EXPECT_EQ(accelerator->Release(), zva::kOk);
  EXPECT_EQ(log.Count("Releasing accelerator \n"), 1);
  EXPECT_EQ(zva::Accelerator::FromChannel(channel.get()), nullptr);
  EXPECT_EQ(accelerator->Ping(), zva::kInternalError);
  EXPECT_EQ(accelerator->session_context_.Wait(hours(1)), "");
  size_t calls = h.core().CallCount("*");
  EXPECT_EQ(accelerator->Ping(), zva::kInternalError);
  EXPECT_EQ(h.core().CallCount("*"), calls);
}

TEST(ReleaseTest, WaitersAreFreedWhenTheAcceleratorStops) {
  SimHarness h(SimHarness::PlainOptions(),
               R"({"keep_alive_interval": 50, "init_session_timeout": 300})");
  auto accelerator = h.MakeAccelerator();
  h.core().SetDelay("InitSession", std::chrono::seconds(60));
  accelerator->KickOffKeepAliveThread(TestVersions(), "mxnet");
  std::vector<std::future<std::string>> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.push_back(std::async(std::launch::async, [&] {
      return accelerator->session_context_.Wait(hours(1));
    }));
  }
  ASSERT_TRUE(h.core().WaitForJournal(
      [](const std::deque<zvsim::CallRecord>& journal) {
        return std::any_of(journal.begin(), journal.end(),
                           [](const auto& r) { return r.method == "Connect"; });
      },
      kPatience));
  accelerator->Release();
  for (auto& waiter : waiters) EXPECT_EQ(waiter.get(), "");
  h.core().SetDelay("InitSession", milliseconds(0));
}

TEST(LifetimeTest, AcceleratorsComeAndGoWhileTheirThreadsRun) {
  SimHarness h;
  for (int i = 0; i < 4; ++i) {
    auto accelerator = h.MakeAccelerator();
    accelerator->KickOffKeepAliveThread(TestVersions(), "mxnet");
    if (i % 2 == 1) {
      EXPECT_FALSE(accelerator->session_context_.Wait(kPatience).empty());
    }
    // Odd rounds end with a session and a thread in its keep-alive rhythm,
    // even ones while it is still connecting; the destructor stops both.
  }
  for (int i = 0; i < 3; ++i) {
    auto list = zva::GetAllAcceleratorsInternal(nullptr);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(
        zva::KickOffKeepAliveThread(list[0].get(), TestVersions(), "pytorch"),
        zva::kOk);
    auto* accelerator = zva::AsAccelerator(list[0].get());
    if (i == 1) {
      EXPECT_FALSE(accelerator->session_context_.Wait(kPatience).empty());
    }
    list.clear();  // the last holder: Release stops and joins the thread
    EXPECT_TRUE(accelerator->IsReleased());
    EXPECT_FALSE(accelerator->IsKeepAliveThreadRunning());
    EXPECT_EQ(accelerator->Ping(), zva::kInternalError);
  }
}

}  // namespace
