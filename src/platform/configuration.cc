#include "platform/configuration.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/log_stream.h"
#include "platform/files.h"

namespace zva {
namespace config {

using logger::CLogger;

namespace {

constexpr char kDefaultConfigJson[] = R"({
  "connect_timeout": 5000,
  "init_session_timeout": 5000,
  "reconnect_session_timeout": 5000,
  "load_model_timeout": 30000,
  "infer_timeout": 30000,
  "unload_model_timeout": 30000,
  "list_model_timeout": 5000,
  "get_zva_info_timeout": 5000,
  "ping_timeout": 2000,
  "get_op_whitelist_timeout": 5000,
  "keep_alive_timeout": 2000,
  "keep_alive_interval": 2000,
  "destroy_session_timeout": 5000,
  "max_receive_message_size": 2147483647,
  "initial_exponential_backoff_time": 25,
  "max_exponential_backoff_time": 25000,
  "max_wait_for_server_timeout": 5000,
  "post_graph_stats_timeout": 5000,
  "operator_whitelist_override_version": 0
})";

// Largest configuration file read. The real one is under a kilobyte; the
// bound keeps a huge or endless file from being read into memory.
constexpr off_t kMaxConfigFileSize = 1 << 20;

// Reads a whole regular file of at most kMaxConfigFileSize bytes. False,
// like a file that cannot be opened, when it is not a regular file (a FIFO
// would block every accelerator's constructor until a writer came, a device
// might never end), is too large, or a read fails; an empty file is read
// successfully as "".
bool ReadWholeFile(const std::string& path, std::string* contents) {
  // Non-blocking, so that even opening a FIFO returns at once.
  const int fd =
      ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } closer{fd};
  struct stat info;
  if (::fstat(fd, &info) != 0) return false;
  if (!S_ISREG(info.st_mode) || info.st_size > kMaxConfigFileSize) {
    return false;
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
    // A file that grows while read is still bounded.
    if (text.size() > static_cast<size_t>(kMaxConfigFileSize)) return false;
  }
  *contents = std::move(text);
  return true;
}

// An environment number with strtol rules: leading blanks and a sign
// allowed, trailing text ignored, no digits gives 0. Values beyond the int32
// range are clamped rather than wrapped, so a huge deadline never turns
// negative.
int32_t EnvNumber(const char* text) {
  long value = std::strtol(text, nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

}  // namespace

const char* ClientConfiguration::DefaultConfigJson() {
  return kDefaultConfigJson;
}

std::string ClientConfiguration::ConfigFilePath() {
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + kConfigFileLocation +
         kConfigFileName;
}

void ClientConfiguration::LoadDefaults() {
  ClientLibraryConfig defaults;
  if (util::DeserializeJSONToProtobufMessage(kDefaultConfigJson, defaults) !=
      kOk) {
    // The document is compiled in and always parses; should it not, the
    // field table still gives the same values.
    defaults.Clear();
  }
  config_ = std::move(defaults);
  SetEmptyFieldToDefault();
}

void ClientConfiguration::InitConfiguration() {
  std::string buffer;
  Build(ReadWholeFile(ConfigFilePath(), &buffer) ? &buffer : nullptr);
}

void ClientConfiguration::InitConfigurationFromText(
    const std::string& file_contents) {
  Build(&file_contents);
}

void ClientConfiguration::Build(const std::string* file_contents) {
  CLogger log("");
  if (file_contents == nullptr) {
    LoadDefaults();
  } else {
    // Parsed aside so that a failed file never mixes with the defaults.
    ClientLibraryConfig from_file;
    if (util::DeserializeJSONToProtobufMessage(*file_contents, from_file) ==
        kOk) {
      config_ = std::move(from_file);
      SetEmptyFieldToDefault();
    } else {
      LoadDefaults();
      log << "Invalid Configuration file format. Defaulting to predefined "
             "values\n"
          << logger::WARNING;
    }
  }
  ApplyEnvironmentOverrides();
  CheckValues();
}

void ClientConfiguration::CheckValues() {
  // Every field but the override version is a time or a size that must be
  // positive; a time is also added to and doubled by the code that uses it,
  // so a value that would overflow then is refused here, once, rather than
  // guarded everywhere (a negative interval spins the health check).
  constexpr int32_t kLargest = INT32_MAX / 2 - 50;
  CLogger log;
  auto check = [&](const char* key, int32_t value, int32_t limit,
                   int32_t default_value,
                   void (ClientLibraryConfig::*set)(int32_t)) {
    if (value > 0 && value <= limit) return;
    log << "Invalid configuration value " << value << " for " << key
        << "; using the default " << default_value << "\n"
        << logger::WARNING;
    (config_.*set)(default_value);
  };
#define ZV_CONFIG_CHECK(name, default_value)                   \
  if (std::string_view(#name) == "max_receive_message_size") { \
    check(#name, config_.name(), INT32_MAX, default_value,     \
          &ClientLibraryConfig::set_##name);                   \
  } else if (std::string_view(#name) !=                        \
             "operator_whitelist_override_version") {          \
    check(#name, config_.name(), kLargest, default_value,      \
          &ClientLibraryConfig::set_##name);                   \
  }
  ZV_CLIENT_CONFIG_FIELDS(ZV_CONFIG_CHECK)
#undef ZV_CONFIG_CHECK
}

void ClientConfiguration::ApplyEnvironmentOverrides() {
  CLogger log("");
  if (const char* v = std::getenv("ZVA_API_TIMEOUT_DEADLINE")) {
    SetBusinessApiTimeout(EnvNumber(v));
  }
  if (const char* v = std::getenv("ZV_KEEPALIVE_TIMEOUT")) {
    config_.set_keep_alive_timeout(EnvNumber(v));
    log << "Using ZV KeepAlive API timeout value: "
        << config_.keep_alive_timeout() << "\n"
        << logger::INFO;
  }
  if (const char* v = std::getenv("ZV_LOADMODEL_TIMEOUT")) {
    config_.set_load_model_timeout(EnvNumber(v));
    log << "Using ZV LoadModel API timeout value: "
        << config_.load_model_timeout() << "\n"
        << logger::INFO;
  }
  if (const char* v = std::getenv("ZV_INFER_TIMEOUT")) {
    config_.set_infer_timeout(EnvNumber(v));
    log << "Using ZV Infer API timeout value: " << config_.infer_timeout()
        << "\n"
        << logger::INFO;
  }
  if (const char* v = std::getenv("ZV_OPERATOR_WHITELIST_VERSION_OVERRIDE")) {
    config_.set_operator_whitelist_override_version(EnvNumber(v));
    log << "ZV whitelist override version: "
        << config_.operator_whitelist_override_version() << "\n"
        << logger::INFO;
  }
}

void ClientConfiguration::SetEmptyFieldToDefault() {
  // The override version's default is 0 itself, so it keeps whatever it has.
#define ZV_CONFIG_DEFAULT(name, default_value) \
  if (config_.name() == 0) config_.set_##name(default_value);
  ZV_CLIENT_CONFIG_FIELDS(ZV_CONFIG_DEFAULT)
#undef ZV_CONFIG_DEFAULT
}

void ClientConfiguration::SetBusinessApiTimeout(int timeout_ms) {
  config_.set_init_session_timeout(timeout_ms);
  config_.set_load_model_timeout(timeout_ms);
  config_.set_infer_timeout(timeout_ms);
  config_.set_unload_model_timeout(timeout_ms);
  config_.set_list_model_timeout(timeout_ms);
  config_.set_get_zva_info_timeout(timeout_ms);
  config_.set_get_op_whitelist_timeout(timeout_ms);
  config_.set_ping_timeout(timeout_ms);
  config_.set_destroy_session_timeout(timeout_ms);
}

}  // namespace config
}  // namespace zva
