#ifndef ZVA_DISCOVERY_DEVICE_RECORD_H_
#define ZVA_DISCOVERY_DEVICE_RECORD_H_

#include "zva/zva_device_metadata.h"

namespace zva {

// Internal failure numbers of the device metadata, thrown as plain int and
// caught by discovery and the accelerator factory. They have no catalogue
// text.
inline constexpr int kDeviceOrdinalOutOfRange = 1047;
inline constexpr int kDeviceIdNotFound = 1048;
inline constexpr int kDeviceNameNotFound = 1049;
inline constexpr int kMalformedDeviceType = 1050;
inline constexpr int kUnknownDeviceGeneration = 1051;
inline constexpr int kUnknownDeviceSize = 1052;

// Health status of a record that nobody has pinged yet.
inline constexpr char kUnknownHealthStatus[] = "unknown";

}  // namespace zva

#endif  // ZVA_DISCOVERY_DEVICE_RECORD_H_
