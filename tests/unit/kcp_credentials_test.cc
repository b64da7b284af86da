// zv-test-labels: threaded
// The credentials chain against a loopback metadata service: the order of
// the sources, why each fails, the cache and its refresh, and look-ups from
// many threads at once.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

#include "discovery/metadata_client.h"
#include "platform/kcp.h"
#include "support/scoped_env.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::minutes;
using std::chrono::seconds;
using TimePoint = std::chrono::system_clock::time_point;

constexpr std::chrono::seconds kPatience(60);
constexpr char kRoleList[] = "/latest/meta-data/kcp/security-credentials/";
constexpr char kRole[] = "zv-role";
constexpr char kContainerPath[] = "/creds";
constexpr char kSecret[] = "SECRETvalue/+=";
constexpr char kToken[] = "TOKENvalue/+=";

// 2026-12-07 12:34:56 UTC.
const TimePoint kStart = std::chrono::system_clock::from_time_t(1796646896);

std::string Iso(TimePoint t) { return kcp::FormatUtc(t, "%Y-%m-%dT%H:%M:%SZ"); }

std::string Document(const std::string& key_id, TimePoint expiration,
                     bool with_code = true) {
  return std::string("{") + (with_code ? "\"Code\": \"Success\", " : "") +
         "\"LastUpdated\": \"x\", \"AccessKeyId\": \"" + key_id +
         "\", \"SecretAccessKey\": \"" + kSecret + "\", \"Token\": \"" +
         kToken + "\", \"Expiration\": \"" + Iso(expiration) + "\"}";
}

// A loopback server answering each path from a table, counting requests;
// a path can be made to hold its answer until Release().
class MetadataServer {
 public:
  MetadataServer() {
    server_.Get(".*",
                [this](const httplib::Request& req, httplib::Response& res) {
                  std::unique_lock<std::mutex> lock(mtx_);
                  ++requests_[req.path];
                  cv_.notify_all();
                  if (req.path == held_path_) {
                    cv_.wait(lock, [this] { return released_; });
                  }
                  auto it = answers_.find(req.path);
                  if (it == answers_.end()) {
                    res.status = 404;
                    return;
                  }
                  res.status = it->second.first;
                  res.set_content(it->second.second, "application/json");
                });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~MetadataServer() {
    Release();
    server_.stop();
    thread_.join();
  }

  std::string Base() const {
    return "http://127.0.0.1:" + std::to_string(port_);
  }
  void Answer(const std::string& path, int status, const std::string& body) {
    std::lock_guard<std::mutex> lock(mtx_);
    answers_[path] = {status, body};
  }
  void Forget(const std::string& path) {
    std::lock_guard<std::mutex> lock(mtx_);
    answers_.erase(path);
  }
  int Requests(const std::string& path) {
    std::lock_guard<std::mutex> lock(mtx_);
    return requests_[path];
  }
  bool WaitForRequests(const std::string& path, int n) {
    std::unique_lock<std::mutex> lock(mtx_);
    return cv_.wait_for(lock, kPatience, [&] { return requests_[path] >= n; });
  }
  void Hold(const std::string& path) {
    std::lock_guard<std::mutex> lock(mtx_);
    held_path_ = path;
    released_ = false;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mtx_);
    released_ = true;
    cv_.notify_all();
  }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mtx_;
  std::condition_variable cv_;
  // State below is protected by mtx_.
  std::map<std::string, std::pair<int, std::string>> answers_;
  std::map<std::string, int> requests_;
  std::string held_path_;
  bool released_ = false;
};

const char* const kVariables[] = {
    "HOME",
    "KCP_ACCESS_KEY_ID",
    "KCP_SECRET_ACCESS_KEY",
    "KCP_SESSION_TOKEN",
    "KCP_PROFILE",
    "KCP_CONTAINER_CREDENTIALS_URI",
    "ZV_INSTANCE_METADATA_URI",
    "http_proxy",
    "no_proxy",
    "NO_PROXY",
};

class CredentialsSourcesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kVariables) env_.Unset(name);
    home_ = env_.MakeHome();
    // Credentials must never go through a proxy: this one is closed.
    env_.Set("http_proxy", "http://127.0.0.1:1");
    env_.Set("ZV_INSTANCE_METADATA_URI", server_.Base());
    kcp::SetClockForTesting(
        [this] { return TimePoint(TimePoint::duration(now_.load())); });
    kcp::ResetCredentialsCacheForTesting();
  }
  void TearDown() override {
    kcp::ResetCredentialsCacheForTesting();
    kcp::SetClockForTesting(nullptr);
  }

  void Advance(std::chrono::system_clock::duration d) { now_ += d.count(); }

  void ServeRole(const std::string& key_id, TimePoint expiration) {
    server_.Answer(kRoleList, 200, std::string(kRole) + "\n");
    server_.Answer(RoleDocument(), 200, Document(key_id, expiration));
  }
  static std::string RoleDocument() { return std::string(kRoleList) + kRole; }

  kcp::Credentials Get(kcp::CredentialsReport* report = nullptr) {
    return kcp::DefaultCredentialsProviderChain().GetCredentials(report);
  }

  zvtest::ScopedEnv env_;
  MetadataServer server_;
  std::string home_;
  std::atomic<TimePoint::rep> now_{kStart.time_since_epoch().count()};
};

TEST_F(CredentialsSourcesTest, FirstCompleteSourceWins) {
  // The host role always has credentials.
  struct Case {
    bool env, file, container;
    const char* container_path;  // where KCP_CONTAINER_CREDENTIALS_URI points
    const char* source;
    const char* key_id;
  };
  const Case cases[] = {
      {true, true, true, kContainerPath, "environment", "ENVKEY"},
      {false, true, true, kContainerPath, "profile file", "FILEKEY"},
      {false, false, true, kContainerPath, "container endpoint", "CONTKEY"},
      {false, false, false, kContainerPath, "host role zv-role", "ROLEKEY"},
      {false, false, true, "/elsewhere", "host role zv-role", "ROLEKEY"},
  };
  server_.Answer(kContainerPath, 200,
                 Document("CONTKEY", kStart + minutes(60), false));
  ServeRole("ROLEKEY", kStart + minutes(60));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    kcp::ResetCredentialsCacheForTesting();
    if (c.env) {
      ::setenv("KCP_ACCESS_KEY_ID", "ENVKEY", 1);
      ::setenv("KCP_SECRET_ACCESS_KEY", "envsecret", 1);
    } else {
      ::unsetenv("KCP_ACCESS_KEY_ID");
      ::unsetenv("KCP_SECRET_ACCESS_KEY");
    }
    fs::remove_all(home_ + "/.kcp");
    if (c.file) {
      fs::create_directories(home_ + "/.kcp");
      std::ofstream(home_ + "/.kcp/credentials")
          << "[default]\nkcp_access_key_id=FILEKEY\n"
             "kcp_secret_access_key=filesecret\n";
    }
    const std::string container = server_.Base() + c.container_path;
    if (c.container) {
      ::setenv("KCP_CONTAINER_CREDENTIALS_URI", container.c_str(), 1);
    } else {
      ::unsetenv("KCP_CONTAINER_CREDENTIALS_URI");
    }
    kcp::CredentialsReport report;
    const kcp::Credentials found = Get(&report);
    EXPECT_EQ(found.access_key_id, c.key_id);
    EXPECT_EQ(report.source, c.source);
    EXPECT_EQ(report.failure, "");
    if (std::string(c.key_id) == "CONTKEY" ||
        std::string(c.key_id) == "ROLEKEY") {
      EXPECT_EQ(found.secret_key, kSecret);
      EXPECT_EQ(found.session_token, kToken);
    }
  }
}

TEST_F(CredentialsSourcesTest, EachFailureIsNamedWithoutQuotingSecrets) {
  struct Case {
    const char* name;
    bool container;  // else the host role
    int status;
    std::string body;  // of the credentials document
    std::string why;
  };
  const std::string secrets = std::string("\"SecretAccessKey\": \"") + kSecret +
                              "\", \"Token\": \"" + kToken + "\"";
  const std::string later = Iso(kStart + minutes(60));
  const std::vector<Case> cases = {
      {"container 404", true, 404, "", "HTTP 404"},
      {"container malformed", true, 200, "{" + secrets + ",", "malformed JSON"},
      {"container not an object", true, 200, "[1]", "malformed JSON"},
      {"container missing fields", true, 200,
       "{\"AccessKeyId\": \"K\", \"Expiration\": \"" + later + "\"}",
       "no SecretAccessKey, Token in the answer"},
      {"container expired", true, 200, Document("K", kStart - seconds(1)),
       "credentials expired at " + Iso(kStart - seconds(1))},
      {"container code", true, 200, "{\"Code\": \"Failure\", " + secrets + "}",
       "Code is not \"Success\""},
      {"container bad expiration", true, 200,
       "{\"AccessKeyId\": \"K\", " + secrets +
           ", \"Expiration\": \"tomorrow\"}",
       "malformed Expiration"},
      {"role 404", false, 404, "",
       "role zv-role at " + server_.Base() + kRoleList + kRole + ": HTTP 404"},
      {"role malformed", false, 200, secrets, "malformed JSON"},
      {"role missing fields", false, 200, "{" + secrets + "}",
       "no AccessKeyId, Expiration in the answer"},
      {"role expired", false, 200, Document("K", kStart),
       "credentials expired at " + Iso(kStart)},
  };
  server_.Answer(kRoleList, 200, kRole);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kcp::ResetCredentialsCacheForTesting();
    const std::string path = c.container ? kContainerPath : RoleDocument();
    server_.Answer(path, c.status, c.body);
    if (c.container) {
      const std::string uri = server_.Base() + kContainerPath + "?sig=Q";
      ::setenv("KCP_CONTAINER_CREDENTIALS_URI", uri.c_str(), 1);
      // The host role is then a closed port.
      ::setenv("ZV_INSTANCE_METADATA_URI", "http://127.0.0.1:1", 1);
    } else {
      ::unsetenv("KCP_CONTAINER_CREDENTIALS_URI");
      ::setenv("ZV_INSTANCE_METADATA_URI", server_.Base().c_str(), 1);
    }
    kcp::CredentialsReport report;
    EXPECT_TRUE(Get(&report).IsEmpty());
    const std::string& failure = report.failure;
    EXPECT_NE(failure.find("Sources tried: environment: KCP_ACCESS_KEY_ID and "
                           "KCP_SECRET_ACCESS_KEY not set; profile file: " +
                           home_ + "/.kcp/credentials not readable; "),
              std::string::npos)
        << failure;
    EXPECT_NE(failure.find(c.why), std::string::npos) << failure;
    if (c.container) {
      // The query of the endpoint's URL can carry a secret: never shown.
      EXPECT_NE(failure.find("container endpoint " + server_.Base() +
                             kContainerPath + ": " + c.why),
                std::string::npos)
          << failure;
      EXPECT_NE(failure.find("host role: http://127.0.0.1:1" +
                             std::string(kRoleList) + ": "),
                std::string::npos)
          << failure;
    } else {
      EXPECT_NE(failure.find("container endpoint: "
                             "KCP_CONTAINER_CREDENTIALS_URI not set; host "
                             "role: "),
                std::string::npos)
          << failure;
    }
    for (const char* secret : {kSecret, kToken, "sig=Q"}) {
      EXPECT_EQ(failure.find(secret), std::string::npos) << failure;
    }
    server_.Forget(path);
  }
}

TEST_F(CredentialsSourcesTest, UnusableEndpointsAndRoleLists) {
  struct Case {
    const char* container;  // null: unset
    const char* role_list;  // null: 404
    std::string why;
  };
  const std::string role_url = server_.Base() + kRoleList;
  const std::vector<Case> cases = {
      {"http://127.0.0.1:1/creds", kRole,
       "container endpoint http://127.0.0.1:1/creds: Couldn't connect"},
      {"http://user:pw@example.com/creds", kRole,
       "container endpoint http://example.com/creds: plain http to a host "
       "that is not loopback or link-local"},
      {"file:///etc/passwd", kRole,
       "container endpoint file:///etc/passwd: not an http or https URL"},
      {nullptr, nullptr, "host role: " + role_url + ": HTTP 404"},
      {nullptr, "\n", "host role: " + role_url + ": no role attached"},
      {nullptr, "../other\n", "host role: " + role_url + ": malformed role"},
      {nullptr, "unknown-role\n",
       "host role: role unknown-role at " + role_url +
           "unknown-role: HTTP "
           "404"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    kcp::ResetCredentialsCacheForTesting();
    if (c.container) {
      ::setenv("KCP_CONTAINER_CREDENTIALS_URI", c.container, 1);
    } else {
      ::unsetenv("KCP_CONTAINER_CREDENTIALS_URI");
    }
    if (c.role_list) {
      server_.Answer(kRoleList, 200, c.role_list);
    } else {
      server_.Forget(kRoleList);
    }
    kcp::CredentialsReport report;
    EXPECT_TRUE(Get(&report).IsEmpty());
    EXPECT_NE(report.failure.find(c.why), std::string::npos) << report.failure;
    EXPECT_EQ(report.failure.find("pw"), std::string::npos) << report.failure;
  }
}

TEST_F(CredentialsSourcesTest, CachedUntilFiveMinutesLeftThenRefreshed) {
  ServeRole("FIRST", kStart + minutes(60));
  EXPECT_EQ(Get().access_key_id, "FIRST");
  ServeRole("SECOND", kStart + minutes(120));
  Advance(minutes(54));
  EXPECT_EQ(Get().access_key_id, "FIRST");
  EXPECT_EQ(server_.Requests(RoleDocument()), 1);
  Advance(minutes(2));  // four minutes left
  kcp::CredentialsReport report;
  EXPECT_EQ(Get(&report).access_key_id, "SECOND");
  EXPECT_EQ(report.source, "host role zv-role");
  EXPECT_EQ(server_.Requests(RoleDocument()), 2);

  // Other sources, another cache: the container endpoint is asked at once.
  server_.Answer(kContainerPath, 200,
                 Document("CONTAINER", kStart + minutes(120), false));
  const std::string uri = server_.Base() + kContainerPath;
  ::setenv("KCP_CONTAINER_CREDENTIALS_URI", uri.c_str(), 1);
  EXPECT_EQ(Get().access_key_id, "CONTAINER");
}

TEST_F(CredentialsSourcesTest, FailedRefreshKeepsTheValidSetThenExpires) {
  ServeRole("FIRST", kStart + minutes(60));
  EXPECT_EQ(Get().access_key_id, "FIRST");
  Advance(minutes(58));
  server_.Answer(RoleDocument(), 500, "");
  kcp::CredentialsReport report;
  kcp::Credentials kept = Get(&report);
  EXPECT_EQ(kept.access_key_id, "FIRST");
  EXPECT_EQ(kept.secret_key, kSecret);
  EXPECT_EQ(kept.session_token, kToken);
  EXPECT_EQ(report.warning,
            "Refreshing the credentials from host role zv-role failed "
            "(container endpoint: KCP_CONTAINER_CREDENTIALS_URI not set; host "
            "role: role zv-role at " +
                server_.Base() + kRoleList + kRole +
                ": HTTP 500); using them until they expire at " +
                Iso(kStart + minutes(60)));
  // Tried again by the next look-up, but reported once.
  EXPECT_EQ(Get(&report).access_key_id, "FIRST");
  EXPECT_EQ(report.warning, "");
  EXPECT_EQ(server_.Requests(RoleDocument()), 3);

  Advance(minutes(2));  // expired
  EXPECT_TRUE(Get(&report).IsEmpty());
  EXPECT_NE(report.failure.find(": HTTP 500; the credentials from host role "
                                "zv-role expired at " +
                                Iso(kStart + minutes(60))),
            std::string::npos)
      << report.failure;

  ServeRole("SECOND", kStart + minutes(120));
  EXPECT_EQ(Get(&report).access_key_id, "SECOND");
  EXPECT_EQ(report.failure, "");
}

TEST_F(CredentialsSourcesTest, ConcurrentLookUpsShareOneRefresh) {
  constexpr int kThreads = 8;
  struct Round {
    std::mutex mtx;
    std::condition_variable cv;
    std::vector<std::string> keys;  // guarded by mtx
  };
  auto run = [this](Round* round) {
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([this, round] {
        const std::string key = Get().access_key_id;
        std::lock_guard<std::mutex> lock(round->mtx);
        round->keys.push_back(key);
        round->cv.notify_all();
      });
    }
    return threads;
  };

  // Nothing cached: one look-up fetches, the others wait for it.
  ServeRole("FIRST", kStart + minutes(60));
  server_.Hold(RoleDocument());
  Round first;
  std::vector<std::thread> threads = run(&first);
  ASSERT_TRUE(server_.WaitForRequests(RoleDocument(), 1));
  ASSERT_TRUE(kcp::AwaitCredentialsRefreshWaitersForTesting(
      kThreads - 1, std::chrono::milliseconds(kPatience)));
  server_.Release();
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(first.keys, std::vector<std::string>(kThreads, "FIRST"));
  EXPECT_EQ(server_.Requests(RoleDocument()), 1);
  EXPECT_EQ(server_.Requests(kRoleList), 1);

  // Due for a refresh but still valid: the others keep the cached set
  // while one look-up refreshes.
  Advance(minutes(57));
  ServeRole("SECOND", kStart + minutes(120));
  server_.Hold(RoleDocument());
  Round second;
  threads = run(&second);
  {
    std::unique_lock<std::mutex> lock(second.mtx);
    ASSERT_TRUE(second.cv.wait_for(
        lock, kPatience, [&] { return second.keys.size() == kThreads - 1; }));
    EXPECT_EQ(second.keys, std::vector<std::string>(kThreads - 1, "FIRST"));
  }
  server_.Release();
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(second.keys.back(), "SECOND");
  EXPECT_EQ(server_.Requests(RoleDocument()), 2);
}

TEST(CredentialsAddressTest, HostRoleIsAskedWhereDiscoveryAsks) {
  EXPECT_STREQ(kcp::kInstanceMetadataBaseUri, zva::kInstanceMetadataBaseUri);
}

}  // namespace
