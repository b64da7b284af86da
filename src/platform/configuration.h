#ifndef ZVA_PLATFORM_CONFIGURATION_H_
#define ZVA_PLATFORM_CONFIGURATION_H_

#include <cstdint>
#include <string>

#include "zva/config/zva_client_lib_config.pb.h"

namespace zva {
namespace config {

// The configuration file is $HOME + kConfigFileLocation + kConfigFileName.
inline constexpr char kConfigFileLocation[] = "/.zv/";
inline constexpr char kConfigFileName[] = "zv_config.json";

// Every field of ClientLibraryConfig with its default, in field order. All
// times are milliseconds. The last field, the operator-whitelist override
// version, has no default in the "0 means empty" sense: it keeps whatever the
// file gives.
#define ZV_CLIENT_CONFIG_FIELDS(X)        \
  X(connect_timeout, 5000)                \
  X(init_session_timeout, 5000)           \
  X(reconnect_session_timeout, 5000)      \
  X(load_model_timeout, 30000)            \
  X(infer_timeout, 30000)                 \
  X(unload_model_timeout, 30000)          \
  X(list_model_timeout, 5000)             \
  X(get_zva_info_timeout, 5000)           \
  X(get_op_whitelist_timeout, 5000)       \
  X(ping_timeout, 2000)                   \
  X(keep_alive_timeout, 2000)             \
  X(keep_alive_interval, 2000)            \
  X(destroy_session_timeout, 5000)        \
  X(max_receive_message_size, 2147483647) \
  X(initial_exponential_backoff_time, 25) \
  X(max_exponential_backoff_time, 25000)  \
  X(max_wait_for_server_timeout, 5000)    \
  X(post_graph_stats_timeout, 5000)       \
  X(operator_whitelist_override_version, 0)

// One accelerator's client configuration: compiled-in defaults, then the
// JSON file under HOME, then environment variables. Constructed empty (all
// fields 0) and filled by InitConfiguration; only read afterwards, so copies
// may be taken from any thread once it is built. Not thread-safe while
// InitConfiguration or a setter runs.
//
// The generated message class is final, so the configuration holds the
// message and offers the same field getters and setters, plus a conversion
// to `const ClientLibraryConfig&`.
class ClientConfiguration {
 public:
  ClientConfiguration() = default;

  // Builds the configuration from the three layers. Never fails: a missing
  // or unreadable file gives the defaults silently, a malformed one gives the
  // defaults with a warning.
  void InitConfiguration();
  // InitConfiguration with `file_contents` as the text of the file, which is
  // then not read: the same parse, checks and environment overrides.
  void InitConfigurationFromText(const std::string& file_contents);

  // Stores the default into every field but the override version that is 0.
  void SetEmptyFieldToDefault();

  // Stores `timeout_ms` into the nine deadlines of the framework and session
  // calls: init_session, load_model, infer, unload_model, list_model,
  // get_zva_info, get_op_whitelist, ping and destroy_session.
  void SetBusinessApiTimeout(int timeout_ms);

  // The message; valid as long as this object.
  const ClientLibraryConfig& GetConfigProto() const { return config_; }
  operator const ClientLibraryConfig&() const { return config_; }

  // $HOME + kConfigFileLocation + kConfigFileName; HOME unset counts as "".
  static std::string ConfigFilePath();
  // The default document compiled into the library.
  static const char* DefaultConfigJson();

#define ZV_CONFIG_ACCESSORS(name, default_value)  \
  int32_t name() const { return config_.name(); } \
  void set_##name(int32_t value) { config_.set_##name(value); }
  ZV_CLIENT_CONFIG_FIELDS(ZV_CONFIG_ACCESSORS)
#undef ZV_CONFIG_ACCESSORS

 private:
  // Builds from `file_contents` (null when there is no readable file).
  void Build(const std::string* file_contents);
  // Replaces the message with the default document.
  void LoadDefaults();
  // Replaces every value that the code cannot use (not positive, or so large
  // that adding to it or doubling it overflows) with its default, with one
  // WARNING naming the key and the value.
  void CheckValues();
  void ApplyEnvironmentOverrides();

  ClientLibraryConfig config_;
};

}  // namespace config
}  // namespace zva

#endif  // ZVA_PLATFORM_CONFIGURATION_H_
