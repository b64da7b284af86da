#ifndef ZVA_API_DESCRIBE_ACCELERATORS_H_
#define ZVA_API_DESCRIBE_ACCELERATORS_H_

// Output of `zv describe-accelerators`: usage, errors, the health update of
// the device records, and the text and JSON descriptions. The public
// declarations live in zva/zva_tools.h; this header adds what the library
// and its tests use internally.

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "zva/zva_tools.h"

namespace zva {

// The command `zv` knows.
inline constexpr char kDescribeAcceleratorsCommand[] = "describe-accelerators";

// Names the health of the device with an accelerator identifier; may throw
// UnsupportedPingResponseException.
using HealthProbe =
    std::function<std::string(const std::string& accelerator_id)>;

// UpdateDeviceMetadataWithHealthStatus with the ping replaced by `probe`.
void UpdateDeviceMetadataWithHealthStatus(std::ostream& os,
                                          std::vector<DeviceMetadata>& devices,
                                          const HealthProbe& probe);

}  // namespace zva

#endif  // ZVA_API_DESCRIBE_ACCELERATORS_H_
