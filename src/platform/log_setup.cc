#include "platform/log_setup.h"

#include <cstdlib>
#include <string>

#include "platform/log_stream.h"

namespace zva {

std::mutex mtx_logging;
bool is_logging_init_called = false;

void InitLogging() {
  std::lock_guard<std::mutex> lock(mtx_logging);
  if (is_logging_init_called) return;
  static std::string log_location;
  if (log_location.empty()) {
    const char* home = std::getenv("HOME");
    log_location = std::string(home != nullptr ? home : "") + kDefaultLogFileLocation;
  }
  logger::CLogger::Init(log_location.c_str(), "zv.log");
  is_logging_init_called = true;
}

}  // namespace zva

extern "C" const char* GetZVClientVersion(void) { return zva::kClientVersion; }
