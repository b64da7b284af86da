#include "discovery/device_registry.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <utility>

#include "errors/catalogue.h"
#include "platform/files.h"

namespace zva {

namespace {

constexpr char kVisibleDevicesVariable[] = "ZV_VISIBLE_DEVICES";

// Items between commas, taken verbatim. A single trailing comma adds no item
// and an empty value yields none, but a leading comma or two adjacent commas
// do give an empty item.
std::set<std::string> SplitVisibleDevices(const std::string& value) {
  std::set<std::string> items;
  std::string::size_type start = 0;
  while (start < value.size()) {
    const std::string::size_type comma = value.find(',', start);
    if (comma == std::string::npos) {
      items.insert(value.substr(start));
      break;
    }
    items.insert(value.substr(start, comma - start));
    start = comma + 1;
  }
  return items;
}

}  // namespace

void SortDeviceMetadataAndUpdateOrdinals(std::vector<DeviceMetadata>& devices) {
  const char* filter_value = std::getenv(kVisibleDevicesVariable);
  const bool filtered = filter_value != nullptr;
  std::set<std::string> visible;
  if (filtered) visible = SplitVisibleDevices(filter_value);

  std::vector<DeviceMetadata> sorted = std::move(devices);
  devices.clear();
  std::sort(
      sorted.begin(), sorted.end(),
      [](const DeviceMetadata& a, const DeviceMetadata& b) { return a < b; });

  for (std::size_t position = 0; position < sorted.size(); ++position) {
    DeviceMetadata& device = sorted[position];
    const bool is_visible = !filtered || visible.count(device.GetId()) > 0 ||
                            visible.count(std::to_string(position)) > 0 ||
                            visible.count(device.GetDeviceName()) > 0;
    if (!is_visible) continue;
    device.SetOrdinal(devices.size());
    devices.push_back(std::move(device));
  }
}

DeviceMetadataRegistry::DeviceMetadataRegistry(
    const std::vector<DeviceMetadata>& devices)
    : devices_(devices) {
  SortDeviceMetadataAndUpdateOrdinals(devices_);
  for (const DeviceMetadata& device : devices_) {
    devices_by_id_.insert_or_assign(device.GetId(), device);
    if (!device.GetDeviceName().empty()) {
      devices_by_name_.insert_or_assign(device.GetDeviceName(), device);
    }
  }
}

const DeviceMetadata& DeviceMetadataRegistry::GetDeviceMetadataByOrdinal(
    DeviceOrdinal ordinal) const {
  if (ordinal >= devices_.size()) throw kDeviceOrdinalOutOfRange;
  return devices_[ordinal];
}

const std::string& DeviceMetadataRegistry::DeviceOrdinalToId(
    DeviceOrdinal ordinal) const {
  return GetDeviceMetadataByOrdinal(ordinal).GetId();
}

DeviceOrdinal DeviceMetadataRegistry::DeviceIdToOrdinal(
    const std::string& id) const {
  return GetDeviceMetadataById(id).GetOrdinal();
}

DeviceOrdinal DeviceMetadataRegistry::DeviceNameToOrdinal(
    const std::string& device_name) const {
  return GetDeviceMetadataByDeviceName(device_name).GetOrdinal();
}

const DeviceMetadata& DeviceMetadataRegistry::GetDeviceMetadataById(
    const std::string& id) const {
  auto it = devices_by_id_.find(id);
  if (it == devices_by_id_.end()) throw kDeviceIdNotFound;
  return it->second;
}

const DeviceMetadata& DeviceMetadataRegistry::GetDeviceMetadataByDeviceName(
    const std::string& device_name) const {
  auto it = devices_by_name_.find(device_name);
  if (it == devices_by_name_.end()) throw kDeviceNameNotFound;
  return it->second;
}

std::map<std::string, DeviceMetadata>
DeviceMetadataRegistry::GenerateDevicesDescription() const {
  std::map<std::string, DeviceMetadata> description;
  for (const DeviceMetadata& device : devices_) {
    description.insert_or_assign(device.GetId(), device);
  }
  return description;
}

std::string DeviceMetadataRegistry::GenerateDevicesDescriptionJson() const {
  const std::map<std::string, DeviceMetadata> description =
      GenerateDevicesDescription();
  std::vector<const DeviceMetadata*> by_ordinal;
  by_ordinal.reserve(description.size());
  for (const auto& entry : description) by_ordinal.push_back(&entry.second);
  std::sort(by_ordinal.begin(), by_ordinal.end(),
            [](const DeviceMetadata* a, const DeviceMetadata* b) {
              return a->GetOrdinal() < b->GetOrdinal();
            });

  // Every registry describes its own devices: callers that need one text per
  // process (the C interface) keep that text themselves.
  std::string json = "{";
  bool first = true;
  for (const DeviceMetadata* device : by_ordinal) {
    if (!first) json += ",";
    first = false;
    json += "\"";
    json += util::EscapeJsonText(device->GetId());
    json += "\": {\"version\":\"";
    json += util::EscapeJsonText(device->GetVersion());
    json += "\", \"type\": \"";
    json += device->GetType().to_string();
    json += "\", \"ordinal\": ";
    json += std::to_string(device->GetOrdinal());
    json += "}";
  }
  json += "}";
  return json;
}

}  // namespace zva
