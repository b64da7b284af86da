#ifndef ZVA_API_DEVICE_HEALTH_H_
#define ZVA_API_DEVICE_HEALTH_H_

// Health of the devices of the process-wide accelerator list: the names of
// the three ping results and the ping of one device by index or by
// identifier. The public declarations live in zva/zva_tools.h.

#include <string>

#include "zva/zva_codes.h"
#include "zva/zva_tools.h"

namespace zva {

// Pings the accelerator of the process-wide list (built on first use) whose
// identifier is `accelerator_id` and names the result: "not reachable" when
// the list has none. Device records from another discovery run find their
// accelerator this way, whatever ordinal that run gave them. Throws
// UnsupportedPingResponseException as GetDeviceHealthStatusString does.
std::string GetAcceleratorHealthStatusString(const std::string& accelerator_id);

}  // namespace zva

#endif  // ZVA_API_DEVICE_HEALTH_H_
