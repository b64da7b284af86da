#ifndef ZVA_PLATFORM_LOG_SETUP_H_
#define ZVA_PLATFORM_LOG_SETUP_H_

#include <mutex>

#include "zva/zva_object.h"

namespace zva {

// The client version, also used in last-error texts, the handshake and the
// tools.
inline constexpr char kClientVersion[] = "1.5.3";
// Log directory below HOME.
inline constexpr char kDefaultLogFileLocation[] = "/.zv/logs";

// Guard InitLogging.
extern std::mutex mtx_logging;
extern bool is_logging_init_called;

}  // namespace zva

#endif  // ZVA_PLATFORM_LOG_SETUP_H_
