#ifndef ZVA_TESTS_E2E_EXEC_SIM_FIXTURE_H_
#define ZVA_TESTS_E2E_EXEC_SIM_FIXTURE_H_

// One simulator and one accelerator with a running health-check thread per
// test, for the executor, reload and adapter tests. The process gets a fresh
// HOME with a configuration of short intervals, the simulator's credentials,
// plain-text channels and a closed metadata address, once, before any thread.

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/log_stream.h"
#include "zva/zva_errors.h"
#include "core/accelerator.h"
#include "zvsim/simulator.h"

namespace zva_test {

using namespace std::chrono_literals;

inline constexpr char kAcceleratorId[] = "zva-0123456789abcdef0";
inline constexpr char kKeyId[] = "AKIDEXECTEST";
inline constexpr char kSecret[] = "exec-test-secret";
// Short enough that retry pauses and keep-alives stay quick.
inline constexpr int kKeepAliveIntervalMs = 100;
inline constexpr int kMaxWaitForServerMs = 1000;

// Sets up the process environment once. Runs before the first simulator,
// so no thread of ours reads the environment while it changes.
class ExecEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/zv-exec-test-XXXXXX";
    home_ = mkdtemp(pattern);
    std::filesystem::create_directories(home_ + "/.zv");
    std::ofstream(home_ + "/.zv/zv_config.json")
        << "{\"keep_alive_interval\": " << kKeepAliveIntervalMs
        << ", \"max_wait_for_server_timeout\": " << kMaxWaitForServerMs
        << ", \"initial_exponential_backoff_time\": 10"
        << ", \"max_exponential_backoff_time\": 100}";
    setenv("HOME", home_.c_str(), 1);
    setenv("KCP_ACCESS_KEY_ID", kKeyId, 1);
    setenv("KCP_SECRET_ACCESS_KEY", kSecret, 1);
    unsetenv("KCP_SESSION_TOKEN");
    setenv("ZVL_TLS_OPTION_DISABLED", "1", 1);
    setenv("ZV_INSTANCE_METADATA_URI", "http://127.0.0.1:1", 1);
    unsetenv("ZVA_API_TIMEOUT_DEADLINE");
    unsetenv("ZV_INFER_TIMEOUT");
    unsetenv("ZV_LOADMODEL_TIMEOUT");
  }
  void TearDown() override { std::filesystem::remove_all(home_); }

 private:
  std::string home_;
};

inline ::testing::Environment* const kExecEnvironment =
    ::testing::AddGlobalTestEnvironment(new ExecEnvironment);

// Collects the library's standard-stream log while alive, from every thread
// (the health-check thread logs too), at `threshold` (0: everything), with
// profile mode as given.
class LogCapture {
 public:
  explicit LogCapture(int threshold = 0, bool profile_mode = false)
      : stream_(&buffer_),
        previous_(zva::logger::stream.exchange(&stream_)),
        threshold_(
            zva::logger::CLogger::zva_stderrthreshold_.exchange(threshold)),
        profile_mode_(
            zva::logger::CLogger::is_profile_mode_.exchange(profile_mode)) {}
  ~LogCapture() {
    zva::logger::stream.store(previous_);
    zva::logger::CLogger::zva_stderrthreshold_.store(threshold_);
    zva::logger::CLogger::is_profile_mode_.store(profile_mode_);
  }
  std::string Text() const { return buffer_.Text(); }
  // Number of occurrences of `needle`.
  size_t Count(const std::string& needle) const {
    const std::string text = Text();
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
      ++n;
    }
    return n;
  }

 private:
  class LockedBuffer : public std::streambuf {
   public:
    std::string Text() const {
      std::lock_guard<std::mutex> lock(mtx_);
      return text_;
    }

   protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
      std::lock_guard<std::mutex> lock(mtx_);
      text_.append(s, static_cast<size_t>(n));
      return n;
    }
    int_type overflow(int_type c) override {
      if (c != traits_type::eof()) {
        std::lock_guard<std::mutex> lock(mtx_);
        text_.push_back(traits_type::to_char_type(c));
      }
      return c;
    }

   private:
    mutable std::mutex mtx_;
    std::string text_;
  };

  LockedBuffer buffer_;
  std::ostream stream_;
  std::ostream* previous_;
  int threshold_;
  bool profile_mode_;
};

class SimFixture : public ::testing::Test {
 protected:
  // Whether SetUp starts the health-check thread and waits for its session.
  virtual bool StartHealthCheck() const { return true; }

  void SetUp() override {
    zvsim::Options options;
    options.plaintext = true;
    options.credentials = {kKeyId, kSecret, ""};
    zvsim::AcceleratorSpec desc;
    desc.id = kAcceleratorId;
    options.accelerators = {desc};
    sim_ = std::make_unique<zvsim::Simulator>(options);
    sim_->SetCallObserver([this](const zvsim::CallRecord& call) {
      std::function<void(const zvsim::CallRecord&)> observer;
      {
        std::lock_guard<std::mutex> lock(mtx_observer_);
        observer = observer_;
      }
      if (observer) observer(call);
    });
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;
    accelerator_ = std::make_unique<zva::Accelerator>(
        sim_->Endpoint(), sim_->region(), kAcceleratorId, "zva1.medium");
    if (StartHealthCheck()) {
      accelerator_->KickOffKeepAliveThread(zva::Versions{"1.9.1", 0, 0},
                                           "mxnet");
      session_id_ = accelerator_->session_context_.Wait(10s);
      ASSERT_FALSE(session_id_.empty()) << "no session from the simulator";
    }
    stub_ = zva::rpc::ZvaInference::NewStub(channel());
  }

  void TearDown() override {
    SetObserver(nullptr);
    stub_.reset();
    accelerator_.reset();
    sim_->Stop();
  }

  std::shared_ptr<grpc::Channel> channel() const {
    return accelerator_->GetChannel();
  }

  // Runs `observer` on the serving thread after each completed call, before
  // the client sees the answer.
  void SetObserver(std::function<void(const zvsim::CallRecord&)> observer) {
    std::lock_guard<std::mutex> lock(mtx_observer_);
    observer_ = std::move(observer);
  }

  // The journal's calls of `method`, in order.
  std::vector<zvsim::CallRecord> Calls(const std::string& method) const {
    std::vector<zvsim::CallRecord> calls;
    for (zvsim::CallRecord& call : sim_->Journal()) {
      if (call.method == method) calls.push_back(std::move(call));
    }
    return calls;
  }

  static std::string LastError() {
    std::string text;
    zva::GetLastError(&text);
    return text;
  }

  std::unique_ptr<zvsim::Simulator> sim_;
  std::unique_ptr<zva::Accelerator> accelerator_;
  std::unique_ptr<zva::rpc::ZvaInference::Stub> stub_;
  std::string session_id_;

 private:
  std::mutex mtx_observer_;
  std::function<void(const zvsim::CallRecord&)> observer_;
};

}  // namespace zva_test

#endif  // ZVA_TESTS_E2E_EXEC_SIM_FIXTURE_H_
