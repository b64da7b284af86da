// The "ZV_VISIBLE_DEVICES" filter over a set of devices: comma-separated
// identifiers, device names and positions. The input is the variable's value
// (unset when it starts with 'U'), a line feed, then one device per line as
// "identifier device-name" (the name may be missing).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "discovery/device_record.h"
#include "discovery/device_registry.h"

namespace {

constexpr size_t kMaxDevices = 16;
constexpr const char* kTypes[] = {"zva1.medium", "zva1.large", "zva1.xlarge",
                                  "zva2.medium", "zva2.large", "zva2.xlarge"};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zvfuzz::SilenceLibraryLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t first_line_end = input.find('\n');
  const std::string filter = input.substr(0, first_line_end);
  // An environment value ends at its first zero byte.
  if (!filter.empty() && filter[0] == 'U') {
    unsetenv("ZV_VISIBLE_DEVICES");
  } else {
    setenv("ZV_VISIBLE_DEVICES", filter.c_str(), 1);
  }

  std::vector<zva::DeviceMetadata> devices;
  size_t start =
      first_line_end == std::string::npos ? input.size() : first_line_end + 1;
  while (start < input.size() && devices.size() < kMaxDevices) {
    size_t end = input.find('\n', start);
    if (end == std::string::npos) end = input.size();
    const std::string line = input.substr(start, end - start);
    const size_t space = line.find(' ');
    const std::string id = line.substr(0, space);
    const std::string name =
        space == std::string::npos ? std::string() : line.substr(space + 1);
    const char* type =
        kTypes[devices.size() % (sizeof(kTypes) / sizeof(*kTypes))];
    devices.emplace_back("v", id, type, name, zva::kUnknownHealthStatus);
    start = end + 1;
  }

  const zva::DeviceMetadataRegistry registry(devices);
  const std::vector<zva::DeviceMetadata> visible =
      registry.GetDevicesMetadata();
  if (visible.size() > devices.size()) std::abort();
  for (size_t i = 0; i < visible.size(); ++i) {
    const zva::DeviceMetadata& device = visible[i];
    if (device.GetOrdinal() != i) std::abort();
    if (registry.GetDeviceMetadataByOrdinal(i).GetId() != device.GetId()) {
      std::abort();
    }
    // With repeated identifiers or names the highest ordinal answers.
    if (registry.DeviceIdToOrdinal(device.GetId()) < i) std::abort();
    if (!device.GetDeviceName().empty() &&
        registry.DeviceNameToOrdinal(device.GetDeviceName()) < i) {
      std::abort();
    }
  }
  try {
    registry.GetDeviceMetadataByOrdinal(visible.size());
    std::abort();
  } catch (int code) {
    if (code != zva::kDeviceOrdinalOutOfRange) std::abort();
  }
  registry.GenerateDevicesDescriptionJson();
  return 0;
}
