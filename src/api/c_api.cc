// The C interface and the device descriptions beside it.

#include <string>

#include "platform/log_stream.h"
#include "zva/zva_accelerator.h"
#include "zva/zva_client.h"
#include "zva/zva_codes.h"
#include "core/accelerator.h"
#include "discovery/device_registry.h"
#include "discovery/discovery_run.h"
#include "api/factory.h"

using zva::logger::CLogger;

extern "C" {

void ZVLInit(const char* endpoint) { zva::SingletonAllAccelerators(endpoint); }

void ZVLShutdown(void) {
  auto& list = zva::SingletonAllAccelerators(nullptr);
  // Take the entries out under the lock, but drop them after it: the last
  // reference runs Release, which joins the health-check thread.
  std::vector<std::shared_ptr<zva::AcceleratorInterface>> dropped;
  {
    std::lock_guard<std::mutex> lock(zva::AcceleratorListMutex());
    for (auto& entry : list) dropped.push_back(std::move(entry));
    for (auto& entry : list) entry.reset();
  }
  // Every stop is asked first, so that the threads wind down together and
  // the releases below wait for them at most once, not once each. Only for
  // the entries this drop releases: an accelerator a caller still holds
  // keeps running. The entries are out of the list, so nobody can take a
  // new copy of one held here alone.
  for (auto& entry : dropped) {
    zva::Accelerator* accelerator = zva::AsAccelerator(entry.get());
    if (accelerator != nullptr && entry.use_count() == 1) {
      accelerator->RequestStop();
    }
  }
  for (auto& entry : dropped) entry.reset();
}

int GetDeviceCount(unsigned int* count) {
  CLogger log("GetDeviceCount");
  if (count == nullptr) {
    log << "GetDeviceCount: count pointer is null\n" << zva::logger::ERROR;
    return -1;
  }
  auto& list = zva::SingletonAllAccelerators(nullptr);
  unsigned int held = 0;
  {
    // After ZVLShutdown only the accelerators still held count.
    std::lock_guard<std::mutex> lock(zva::AcceleratorListMutex());
    for (const auto& entry : list) {
      if (entry != nullptr) ++held;
    }
  }
  *count = held;
  return held != 0 ? 0 : -1;
}

const char* GetDevicesDescriptionJson(void) {
  static const std::string json =
      zva::GetDeviceMetadataRegistry(nullptr).GenerateDevicesDescriptionJson();
  return json.c_str();
}

int PingDevice(unsigned int device_index) {
  CLogger log("PingDevice");
  std::vector<std::shared_ptr<zva::AcceleratorInterface>> list;
  {
    auto& accelerators = zva::SingletonAllAccelerators(nullptr);
    std::lock_guard<std::mutex> lock(zva::AcceleratorListMutex());
    list = accelerators;
  }
  if (list.empty()) {
    log << "Accelerator " << device_index
        << " is not initialized. Returning..\n"
        << zva::logger::INFO;
    return zva::kPingNotReachable;
  }
  if (device_index >= list.size()) {
    log << "Device index " << device_index << " is invalid.\n"
        << zva::logger::INFO;
    return zva::kPingNotReachable;
  }
  if (list[device_index] == nullptr) {
    log << "Accelerator " << device_index
        << " is not initialized. Returning..\n"
        << zva::logger::INFO;
    return zva::kPingNotReachable;
  }
  log << "Ping device about to be called on device " << device_index << ".\n"
      << zva::logger::INFO;
  int result = list[device_index]->Ping();
  log << "Ping result of device " << device_index << ": " << result << "\n"
      << zva::logger::INFO;
  if (result == zva::kOk) return zva::kPingHealthy;
  if (result == zva::kAcceleratorUnhealthy) return zva::kPingUnhealthy;
  return zva::kPingNotReachable;
}

}  // extern "C"

namespace zva {

std::map<std::string, DeviceMetadata> DescribeAccelerators() {
  return GetDeviceMetadataRegistry(nullptr).GenerateDevicesDescription();
}

std::vector<DeviceMetadata> GetAcceleratorsMetadata() {
  return GetDeviceMetadataRegistry(nullptr).GetDevicesMetadata();
}

}  // namespace zva
