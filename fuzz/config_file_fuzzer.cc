// The configuration file zv_config.json, given as text. Whatever it holds,
// the configuration built from it has only usable values.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "platform/configuration.h"

namespace {

constexpr std::string_view kSizeField = "max_receive_message_size";
constexpr std::string_view kFreeField = "operator_whitelist_override_version";

// A time is added to and doubled by the code that uses it.
bool UsableTime(int32_t value) {
  return value > 0 && int64_t{value} * 2 + 100 <= INT32_MAX;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zvfuzz::SilenceLibraryLog();
  // Only the file's text decides.
  for (const char* name : {"ZVA_API_TIMEOUT_DEADLINE", "ZV_KEEPALIVE_TIMEOUT",
                           "ZV_LOADMODEL_TIMEOUT", "ZV_INFER_TIMEOUT",
                           "ZV_OPERATOR_WHITELIST_VERSION_OVERRIDE"}) {
    unsetenv(name);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zva::config::ClientConfiguration config;
  config.InitConfigurationFromText(
      std::string(reinterpret_cast<const char*>(data), size));

  // Every time is usable, the size positive; the override version is free.
#define ZV_CHECK_VALUE(name, default_value)                      \
  if (#name == kSizeField                                        \
          ? config.name() <= 0                                   \
          : #name != kFreeField && !UsableTime(config.name())) { \
    std::abort();                                                \
  }
  ZV_CLIENT_CONFIG_FIELDS(ZV_CHECK_VALUE)
#undef ZV_CHECK_VALUE
  return 0;
}
