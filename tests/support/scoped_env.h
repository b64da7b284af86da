#ifndef ZV_TESTS_SUPPORT_SCOPED_ENV_H_
#define ZV_TESTS_SUPPORT_SCOPED_ENV_H_

// Environment variables and a private HOME for one scope, and the
// environment of a test that builds accelerators.

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <stdlib.h>

namespace zvtest {

// Short keep-alive interval and back-off so that the health-check thread
// moves quickly; every other value keeps its default.
inline constexpr char kFastConfig[] =
    R"({"keep_alive_interval": 50, "initial_exponential_backoff_time": 5,
        "max_exponential_backoff_time": 40})";

// Nothing listens here: connections fail at once and never leave the host.
inline constexpr char kClosedEndpoint[] = "127.0.0.1:1";
inline constexpr char kClosedMetadataUri[] = "http://127.0.0.1:1";

class ScopedEnv {
 public:
  // What happens to the variables at the end of the scope. kKeep is for a
  // scope that threads of the library may outlive (a process-wide
  // accelerator list, say): they read the environment, and changing it under
  // a reading thread is a race.
  enum class AtEnd { kRestore, kKeep };

  explicit ScopedEnv(AtEnd at_end = AtEnd::kRestore) : at_end_(at_end) {}
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  // Gives every variable changed through it its previous value back (unless
  // kKeep) and removes the HOME it made.
  ~ScopedEnv() {
    if (at_end_ == AtEnd::kRestore) {
      for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
        if (it->second) {
          setenv(it->first.c_str(), it->second->c_str(), 1);
        } else {
          unsetenv(it->first.c_str());
        }
      }
    }
    if (!home_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(home_, ignored);
    }
  }

  void Set(const std::string& name, const std::string& value) {
    Save(name);
    setenv(name.c_str(), value.c_str(), 1);
  }
  void Unset(const std::string& name) {
    Save(name);
    unsetenv(name.c_str());
  }

  // Points HOME at a fresh empty directory; returns its path.
  const std::string& MakeHome() {
    char pattern[] = "/tmp/zv-test-home-XXXXXX";
    // Going on with the real HOME would let a test overwrite its files.
    if (mkdtemp(pattern) == nullptr) abort();
    home_ = pattern;
    Set("HOME", home_);
    return home_;
  }
  // The same with a configuration file holding `config_json`.
  const std::string& MakeHome(const std::string& config_json) {
    MakeHome();
    std::filesystem::create_directories(home_ + "/.zv");
    WriteConfig(config_json);
    return home_;
  }
  const std::string& home() const { return home_; }

  // Rewrites the configuration file; read by accelerators built afterwards.
  void WriteConfig(const std::string& config_json) const {
    std::ofstream(home_ + "/.zv/zv_config.json") << config_json;
  }

 private:
  void Save(const std::string& name) {
    const char* old = getenv(name.c_str());
    saved_.emplace_back(
        name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
  }

  const AtEnd at_end_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
  std::string home_;
};

// What a test that builds accelerators needs: a fresh HOME holding
// `config_json`, fixed credentials and a region in the environment, and
// discovery, should anything run it, on a closed loopback port. The
// variables stay when it ends, as the accelerators' threads may outlive it.
class AccelEnv : public ScopedEnv {
 public:
  explicit AccelEnv(const std::string& config_json = kFastConfig)
      : ScopedEnv(AtEnd::kKeep) {
    MakeHome(config_json);
    Set("ZV_INSTANCE_METADATA_URI", kClosedMetadataUri);
    Set("KCP_ACCESS_KEY_ID", "AKTESTKEY");
    Set("KCP_SECRET_ACCESS_KEY", "test-secret");
    Unset("KCP_SESSION_TOKEN");
    Unset("KCP_CONTAINER_CREDENTIALS_URI");
    Set("KCP_REGION", "us-west-2");
  }
};

}  // namespace zvtest

#endif  // ZV_TESTS_SUPPORT_SCOPED_ENV_H_
