#ifndef ZVA_DISCOVERY_DEVICE_REGISTRY_H_
#define ZVA_DISCOVERY_DEVICE_REGISTRY_H_

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "discovery/device_record.h"

namespace zva {

// The numbered devices of one discovery run: sorted, filtered by
// "ZV_VISIBLE_DEVICES" and numbered from 0 without gaps. The ordinals are the
// device numbers of the whole library.
//
// Immutable after construction; a registry may be read from several threads
// at once. Lookups throw int kDeviceOrdinalOutOfRange, kDeviceIdNotFound or
// kDeviceNameNotFound (device_record.h).
class DeviceMetadataRegistry {
 public:
  // Sorts, filters and numbers `devices` (SortDeviceMetadataAndUpdateOrdinals
  // below). Reads "ZV_VISIBLE_DEVICES" once.
  explicit DeviceMetadataRegistry(const std::vector<DeviceMetadata>& devices);

  std::size_t GetNumberOfDevices() const { return devices_.size(); }
  // A copy of the visible devices in ordinal order.
  std::vector<DeviceMetadata> GetDevicesMetadata() const { return devices_; }

  // References stay valid as long as the registry.
  const DeviceMetadata& GetDeviceMetadataByOrdinal(DeviceOrdinal ordinal) const;
  const std::string& DeviceOrdinalToId(DeviceOrdinal ordinal) const;
  DeviceOrdinal DeviceIdToOrdinal(const std::string& id) const;
  // Devices with an empty name are never found by name.
  DeviceOrdinal DeviceNameToOrdinal(const std::string& device_name) const;
  const DeviceMetadata& GetDeviceMetadataById(const std::string& id) const;
  const DeviceMetadata& GetDeviceMetadataByDeviceName(
      const std::string& device_name) const;

  // The visible devices keyed by identifier; with duplicate identifiers the
  // higher ordinal wins.
  std::map<std::string, DeviceMetadata> GenerateDevicesDescription() const;
  // The devices of this registry as a JSON object keyed by identifier, for
  // example
  //   {"id-a": {"version":"v1", "type": "zva1.medium", "ordinal": 0}}
  // and "{}" without devices. Texts are escaped, so the result is valid JSON
  // whatever the identifiers hold.
  std::string GenerateDevicesDescriptionJson() const;

 private:
  std::vector<DeviceMetadata> devices_;
  std::map<std::string, DeviceMetadata> devices_by_id_;
  std::map<std::string, DeviceMetadata> devices_by_name_;
};

// Sorts `devices` by type, identifier and device name, keeps those that
// "ZV_VISIBLE_DEVICES" names (all when it is unset) and sets their ordinals
// to 0, 1, 2, ... in that order. The variable holds comma-separated items,
// each an identifier, a device name or a position in the sorted list of all
// devices (counted before filtering); items are taken exactly as written.
void SortDeviceMetadataAndUpdateOrdinals(std::vector<DeviceMetadata>& devices);

}  // namespace zva

#endif  // ZVA_DISCOVERY_DEVICE_REGISTRY_H_
