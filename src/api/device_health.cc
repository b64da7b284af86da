#include "api/device_health.h"

#include <limits>
#include <map>

#include "platform/log_stream.h"
#include "zva/zva_accelerator.h"
#include "zva/zva_client.h"
#include "api/factory.h"

namespace zva {

std::string HealthStatusToString(int status) {
  static const std::map<int, std::string> health_statuses = {
      {kPingHealthy, "healthy"},
      {kPingUnhealthy, "unhealthy"},
      {kPingNotReachable, "not reachable"},
  };
  auto it = health_statuses.find(status);
  if (it == health_statuses.end()) {
    throw UnsupportedPingResponseException(status);
  }
  return it->second;
}

std::string GetDeviceHealthStatusString(DeviceOrdinal device_index) {
  // PingDevice takes a 32-bit index. Cutting a larger index down would ping
  // some other device and report its health under the wrong number, so such
  // an index is answered the way PingDevice answers any index past the list.
  if (device_index > std::numeric_limits<unsigned int>::max()) {
    return HealthStatusToString(kPingNotReachable);
  }
  return HealthStatusToString(
      PingDevice(static_cast<unsigned int>(device_index)));
}

std::string GetAcceleratorHealthStatusString(
    const std::string& accelerator_id) {
  const auto& list = SingletonAllAccelerators(nullptr);
  const size_t position = PositionOfAccelerator(list, accelerator_id);
  if (position == list.size()) {
    logger::CLogger log;
    log << "Accelerator " << accelerator_id
        << " is not in the accelerator list.\n"
        << logger::INFO;
    return HealthStatusToString(kPingNotReachable);
  }
  // The position is that of a list entry, so it fits PingDevice's index.
  return GetDeviceHealthStatusString(position);
}

}  // namespace zva
