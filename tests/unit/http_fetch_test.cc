// zv-test-labels: threaded
#include "discovery/http_fetch.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>

#include "support/log_capture.h"

namespace {

using zvtest::LogCapture;

// A loopback HTTP server on a free port, serving from its own thread.
class CurlHelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.Get("/ready", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("", "text/plain");
    });
    server_.Get("/doc", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("line1\nline2\n", "text/plain");
    });
    server_.Get("/other", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("{\"region\":\"r\"}", "application/json");
    });
    server_.Get("/missing",
                [](const httplib::Request&, httplib::Response& res) {
                  res.status = 404;
                  res.set_content("not here", "text/plain");
                });
    server_.Get("/empty", [](const httplib::Request&, httplib::Response& res) {
      res.status = 200;
    });
    server_.Get("/redirect",
                [](const httplib::Request&, httplib::Response& res) {
                  res.set_redirect("/doc");
                });
    server_.Get("/stall",
                [this](const httplib::Request&, httplib::Response& res) {
                  std::unique_lock<std::mutex> lock(mtx_release_);
                  cv_release_.wait(lock, [this] { return released_; });
                  res.set_content("late", "text/plain");
                });
    port_ = server_.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port_, 0);
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // The socket already listens, so this fetch waits in the backlog until
    // the server loop runs; once it returns, stop() is sure to take effect.
    std::string ignored;
    ASSERT_EQ(CurlHelper().DoHttp(Url("/ready").c_str(), ignored), zva::kOk);
  }

  void TearDown() override {
    Release();
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }

  void Release() {
    {
      std::lock_guard<std::mutex> lock(mtx_release_);
      released_ = true;
    }
    cv_release_.notify_all();
  }

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mtx_release_;
  std::condition_variable cv_release_;
  bool released_ = false;  // guarded by mtx_release_
};

TEST_F(CurlHelperTest, FetchesBodyAndLogsSuccess) {
  LogCapture log;
  CurlHelper http;
  std::string body;
  EXPECT_EQ(http.DoHttp(Url("/doc").c_str(), body), zva::kOk);
  EXPECT_EQ(body, "line1\nline2\n");
  EXPECT_NE(log.Text().find("[DoHttp] Success\n"), std::string::npos);
}

TEST_F(CurlHelperTest, TwoFetchesThroughOneObjectEachAppend) {
  CurlHelper http;
  std::string first = "x";
  std::string second;
  EXPECT_EQ(http.DoHttp(Url("/doc").c_str(), first), zva::kOk);
  EXPECT_EQ(http.DoHttp(Url("/other").c_str(), second), zva::kOk);
  EXPECT_EQ(first, "xline1\nline2\n");
  EXPECT_EQ(second, "{\"region\":\"r\"}");
}

TEST_F(CurlHelperTest, ErrorStatusFailsWithoutTakingTheBody) {
  LogCapture log;
  CurlHelper http;
  std::string body;
  EXPECT_EQ(http.DoHttp(Url("/missing").c_str(), body), zva::kInternalError);
  EXPECT_EQ(body, "");
  EXPECT_NE(log.Text().find("Error during cURL call: "), std::string::npos);
  EXPECT_NE(log.Text().find("Error Code: 22\n"), std::string::npos);
  // The object stays usable after a failure.
  EXPECT_EQ(http.DoHttp(Url("/doc").c_str(), body), zva::kOk);
  EXPECT_EQ(body, "line1\nline2\n");
}

TEST_F(CurlHelperTest, EmptyBodySucceeds) {
  CurlHelper http;
  std::string body;
  EXPECT_EQ(http.DoHttp(Url("/empty").c_str(), body), zva::kOk);
  EXPECT_EQ(body, "");
}

TEST_F(CurlHelperTest, RedirectIsNotFollowed) {
  CurlHelper http;
  std::string body;
  EXPECT_EQ(http.DoHttp(Url("/redirect").c_str(), body), zva::kOk);
  EXPECT_EQ(body.find("line1"), std::string::npos);
}

// The one slow test: the server holds the answer until the fetch gave up.
TEST_F(CurlHelperTest, StalledServerTimesOut) {
  LogCapture log;
  CurlHelper http;
  std::string body;
  EXPECT_EQ(http.DoHttp(Url("/stall").c_str(), body), zva::kInternalError);
  Release();
  EXPECT_EQ(body, "");
  EXPECT_NE(log.Text().find("Error during cURL call: Timeout was reached\n"
                            "Error Code: 28\n"),
            std::string::npos)
      << log.Text();
}

TEST(CurlHelperNoServerTest, RefusedConnectionFails) {
  CurlHelper http;
  std::string body;
  EXPECT_EQ(http.DoHttp("http://127.0.0.1:1/x", body), zva::kInternalError);
  EXPECT_EQ(http.DoHttp("", body), zva::kInternalError);
  EXPECT_EQ(body, "");
}

TEST(CurlHelperNoServerTest, WriteCallbackRefusesOverflowingCounts) {
  std::string response = "keep";
  const char data[] = "abc";
  EXPECT_EQ(CurlHelper::CurlWritedataCallback(const_cast<char*>(data), 1, 3,
                                              &response),
            3u);
  EXPECT_EQ(response, "keepabc");
  EXPECT_EQ(CurlHelper::CurlWritedataCallback(const_cast<char*>(data),
                                              SIZE_MAX / 2 + 1, 2, &response),
            0u);
  EXPECT_EQ(response, "keepabc");
}

}  // namespace
