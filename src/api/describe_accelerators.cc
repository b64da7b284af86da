#include "api/describe_accelerators.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <sstream>

#include "api/device_health.h"
#include "platform/log_setup.h"
#include "errors/catalogue.h"
#include "platform/files.h"

namespace zva {

void PrintUsageString(std::ostream& os) {
  os << "Usage: zv " << kDescribeAcceleratorsCommand << " [options]"
     << std::endl;
  os << "Print description of attached accelerators." << std::endl;
  os << std::endl;
  os << "Options:" << std::endl;
  os << "-j, --json\tPrint description of attached accelerators in JSON "
        "format."
     << std::endl;
  os << "-h, --help\tPrint this help instructions and exit." << std::endl;
}

void PrintError(std::ostream& os, const std::string& message) {
  os << "ZV Client Version: " << kClientVersion << "\n" << message << "\n";
}

void UpdateDeviceMetadataWithHealthStatus(std::ostream& os,
                                          std::vector<DeviceMetadata>& devices,
                                          const HealthProbe& probe) {
  for (size_t i = 0; i < devices.size(); ++i) {
    try {
      devices[i].SetHealthStatus(probe(devices[i].GetId()));
    } catch (const UnsupportedPingResponseException& e) {
      os << "ERROR: unexpected response " << e.GetStatus() << " from device "
         << i << "\n";
    }
  }
}

void UpdateDeviceMetadataWithHealthStatus(
    std::ostream& os, std::vector<DeviceMetadata>& devices) {
  // The records may come from a discovery run other than the list's, which
  // may number the devices otherwise: each is pinged through its identifier.
  UpdateDeviceMetadataWithHealthStatus(os, devices,
                                       &GetAcceleratorHealthStatusString);
}

std::string GetCurrentTimeString() {
  std::time_t now =
      std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  // The reentrant forms keep this safe beside other threads that format
  // times (the logger does, under its own lock).
  std::tm local{};
  char text[64] = {0};
  if (localtime_r(&now, &local) == nullptr ||
      asctime_r(&local, text) == nullptr) {
    return std::string();
  }
  std::string result(text);
  if (!result.empty() && result.back() == '\n') result.pop_back();
  return result;
}

void PrintAttachmentsDescriptionPlainText(
    std::ostream& os, const std::vector<DeviceMetadata>& devices,
    const std::string& time) {
  os << "ZV Client Version: " << kClientVersion << std::endl;
  os << "Time: " << time << std::endl;
  os << "Attached accelerators: " << devices.size() << std::endl;
  for (size_t i = 0; i < devices.size(); ++i) {
    os << "Device " << i << ":" << std::endl;
    os << "\tType: " << devices[i].GetType().to_string() << std::endl;
    os << "\tId: " << devices[i].GetId() << std::endl;
    os << "\tStatus: " << devices[i].GetHealthStatus() << std::endl;
  }
}

void PrintAttachmentsDescriptionJson(std::ostream& os,
                                     const std::vector<DeviceMetadata>& devices,
                                     const std::string& time) {
  std::ostringstream json;
  json << "{\n";
  json << "  \"zv_client_version\": \"" << kClientVersion << "\",\n";
  json << "  \"time\": \"" << util::EscapeJsonText(time) << "\",\n";
  json << "  \"attached_accelerators\": " << devices.size() << ",\n";
  json << "  \"devices\": [\n";
  for (size_t i = 0; i < devices.size(); ++i) {
    const DeviceMetadata& device = devices[i];
    json << (i == 0 ? "    {\n" : ",\n    {\n");
    json << "      \"ordinal\": " << i << ",\n";
    json << "      \"type\": \""
         << util::EscapeJsonText(device.GetType().to_string()) << "\",\n";
    json << "      \"id\": \"" << util::EscapeJsonText(device.GetId())
         << "\",\n";
    json << "      \"status\": \""
         << util::EscapeJsonText(device.GetHealthStatus()) << "\"\n";
    json << "    }";
  }
  json << "\n  ]\n}";
  os << json.str() << std::endl;
}

}  // namespace zva
