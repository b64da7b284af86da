#ifndef ZV_TESTS_UNIT_ACCEL_ENV_H_
#define ZV_TESTS_UNIT_ACCEL_ENV_H_

// A fresh HOME holding a configuration file with short intervals, and
// credentials in the environment, for tests that build accelerators.
// Discovery, should anything run it, points at a closed loopback port.

#include <filesystem>
#include <fstream>
#include <string>

#include <stdlib.h>

namespace zvtest {

// Short keep-alive interval and back-off so that the health-check thread
// moves quickly; every other value keeps its default.
inline constexpr char kFastConfig[] =
    R"({"keep_alive_interval": 50, "initial_exponential_backoff_time": 5,
        "max_exponential_backoff_time": 40})";

inline constexpr char kClosedEndpoint[] = "127.0.0.1:1";

class AccelEnv {
 public:
  explicit AccelEnv(const std::string& config_json = kFastConfig) {
    char pattern[] = "/tmp/zv-accel-XXXXXX";
    home_ = mkdtemp(pattern);
    std::filesystem::create_directories(home_ + "/.zv");
    std::ofstream(home_ + "/.zv/zv_config.json") << config_json;
    setenv("HOME", home_.c_str(), 1);
    setenv("ZV_INSTANCE_METADATA_URI", "http://127.0.0.1:1", 1);
    setenv("KCP_ACCESS_KEY_ID", "AKTESTKEY", 1);
    setenv("KCP_SECRET_ACCESS_KEY", "test-secret", 1);
    unsetenv("KCP_SESSION_TOKEN");
    unsetenv("KCP_CONTAINER_CREDENTIALS_URI");
    setenv("KCP_REGION", "us-west-2", 1);
  }
  ~AccelEnv() {
    std::error_code ignored;
    std::filesystem::remove_all(home_, ignored);
  }
  AccelEnv(const AccelEnv&) = delete;
  AccelEnv& operator=(const AccelEnv&) = delete;

  const std::string& home() const { return home_; }

  // Rewrites the configuration file; read by accelerators built afterwards.
  void WriteConfig(const std::string& config_json) const {
    std::ofstream(home_ + "/.zv/zv_config.json") << config_json;
  }

 private:
  std::string home_;
};

}  // namespace zvtest

#endif  // ZV_TESTS_UNIT_ACCEL_ENV_H_
