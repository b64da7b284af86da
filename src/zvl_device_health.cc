#include "zvl_device_health.h"

#include <limits>
#include <map>

#include "zva/zva_client.h"

namespace zva {

std::string HealthStatusToString(int status) {
  static const std::map<int, std::string> health_statuses = {
      {0, "healthy"},
      {1, "unhealthy"},
      {kHealthNotReachable, "not reachable"},
  };
  auto it = health_statuses.find(status);
  if (it == health_statuses.end()) {
    throw UnsupportedPingResponseException(status);
  }
  return it->second;
}

std::string GetDeviceHealthStatusString(unsigned long device_index) {
  // PingDevice takes a 32-bit index. Cutting a larger index down would ping
  // some other device and report its health under the wrong number, so such
  // an index is answered the way PingDevice answers any index past the list.
  if (device_index > std::numeric_limits<unsigned int>::max()) {
    return HealthStatusToString(kHealthNotReachable);
  }
  return HealthStatusToString(
      PingDevice(static_cast<unsigned int>(device_index)));
}

}  // namespace zva
