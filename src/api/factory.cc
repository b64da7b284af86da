#include "api/factory.h"

#include <string>
#include <utility>

#include "platform/log_stream.h"
#include "core/accelerator.h"
#include "discovery/device_record.h"
#include "discovery/device_registry.h"
#include "discovery/discovery_run.h"
#include "api/self_description.h"
#include "errors/catalogue.h"

namespace zva {

using logger::CLogger;

namespace {

// Accelerators made here are never freed: adapters and executors may still
// hold a raw pointer found through the channel table. Keeping them in a list
// that is itself never destroyed keeps them reachable, so a leak checker
// sees no leak, and no destructor runs during process exit.
void Retain(Accelerator* accelerator) {
  static std::mutex* mtx_retained = new std::mutex;
  static std::vector<Accelerator*>* retained = new std::vector<Accelerator*>;
  std::lock_guard<std::mutex> lock(*mtx_retained);
  retained->push_back(accelerator);
}

// A copy of the list's entry at `ordinal`, or an empty pointer.
std::shared_ptr<AcceleratorInterface> EntryAt(
    const std::vector<std::shared_ptr<AcceleratorInterface>>& list,
    DeviceOrdinal ordinal) {
  std::lock_guard<std::mutex> lock(AcceleratorListMutex());
  if (ordinal >= list.size()) return nullptr;
  return list[ordinal];
}

}  // namespace

size_t PositionOfAccelerator(
    const std::vector<std::shared_ptr<AcceleratorInterface>>& list,
    const std::string& id) {
  std::lock_guard<std::mutex> lock(AcceleratorListMutex());
  for (size_t position = 0; position < list.size(); ++position) {
    // Entries that ZVLShutdown emptied are null and name nothing.
    const auto& entry = list[position];
    if (entry != nullptr && GetAcceleratorId(entry.get()) == id) {
      return position;
    }
  }
  return list.size();
}

std::mutex& AcceleratorListMutex() {
  static std::mutex* mtx_list = new std::mutex;
  return *mtx_list;
}

Accelerator* AsAccelerator(AcceleratorInterface* accelerator) {
  return dynamic_cast<Accelerator*>(accelerator);
}

std::vector<std::shared_ptr<AcceleratorInterface>> GetAllAcceleratorsInternal(
    const char* endpoint) {
  std::vector<std::shared_ptr<AcceleratorInterface>> list;
  InitLogging();
  CLogger log;
  log << "GetAllAcceleratorsInternal.\n" << logger::INFO;
  try {
    DiscoverPtr discover = MakeDiscover();
    std::string proxy;
    std::string region;
    SetProxyUri(proxy, endpoint, discover);
    SetRegion(region, discover);
    DeviceMetadataRegistry registry = GetDeviceMetadataRegistry(endpoint);
    for (DeviceOrdinal ordinal = 0; ordinal < registry.GetNumberOfDevices();
         ++ordinal) {
      const DeviceMetadata& device =
          registry.GetDeviceMetadataByOrdinal(ordinal);
      // Building an accelerator makes no call and cannot fail. Without the
      // certificate files it looks for, its constructor records
      // kNoSslCertificates as the thread's last error, yet the channel then
      // trusts gRPC's own roots, the normal path on most hosts (and a warning
      // is logged). Left in place, that text would be what GetLastError
      // reports after a healthy ping; a real TLS failure is reported by the
      // call it fails.
      const std::string last_error = util::LastError();
      auto* accelerator = new Accelerator(proxy, region, device.GetId(),
                                          device.GetType().to_string());
      util::SetLastError(last_error);
      accelerator->SetSelfDescription(DescribeAccelerator);
      Retain(accelerator);
      list.emplace_back(accelerator, ObjectReleaser());
    }
  } catch (int code) {
    HandleDiscoveryFailure("GetAllAcceleratorsInternal", code);
  }
  return list;
}

std::vector<std::shared_ptr<AcceleratorInterface>>& SingletonAllAccelerators(
    const char* endpoint) {
  static std::vector<std::shared_ptr<AcceleratorInterface>> accelerators =
      GetAllAcceleratorsInternal(endpoint);
  return accelerators;
}

std::shared_ptr<AcceleratorInterface> GetAccelerator(const char* endpoint) {
  InitLogging();
  return EntryAt(SingletonAllAccelerators(endpoint), 0);
}

std::shared_ptr<AcceleratorInterface>& SingletonAccelerator(
    const char* endpoint) {
  static std::shared_ptr<AcceleratorInterface> accelerator =
      GetAccelerator(endpoint);
  return accelerator;
}

std::shared_ptr<AcceleratorInterface> GetAcceleratorByZvaId(
    const std::string& id, const char* endpoint) {
  InitLogging();
  CLogger log;
  log << "[GetAcceleratorByZvaId] Getting accelerator by ZVA ID \n"
      << logger::INFO;
  auto& list = SingletonAllAccelerators(endpoint);
  int code = kDeviceIdNotFound;
  try {
    static const DeviceMetadataRegistry device_metadata_registry =
        GetDeviceMetadataRegistry(endpoint);
    const DeviceMetadata& device =
        device_metadata_registry.GetDeviceMetadataById(id);
    // The registry comes from a discovery run of its own and may number the
    // devices otherwise than the list: only the identifier names the
    // accelerator.
    auto accelerator =
        EntryAt(list, PositionOfAccelerator(list, device.GetId()));
    if (accelerator != nullptr) return accelerator;
  } catch (int thrown) {
    code = thrown;
  }
  if (code == kDeviceIdNotFound) {
    log << "[GetAcceleratorByZvaId] no device found for ZVA ID: " << id << " \n"
        << logger::ERROR;
  } else {
    log << "[GetAcceleratorByZvaId] Unexpected failure status: " << code
        << " while getting accelerator for ZVA ID: " << id << " \n"
        << logger::ERROR;
  }
  return nullptr;
}

std::shared_ptr<AcceleratorInterface> GetAcceleratorByDeviceName(
    const std::string& device_name, const char* endpoint) {
  InitLogging();
  CLogger log;
  log << "[GetAcceleratorByDeviceName] Getting accelerator by ZVA device name "
         "\n"
      << logger::INFO;
  auto& list = SingletonAllAccelerators(endpoint);
  int code = kDeviceNameNotFound;
  try {
    static const DeviceMetadataRegistry device_metadata_registry =
        GetDeviceMetadataRegistry(endpoint);
    // The name leads to a record, the record's identifier to the list's
    // accelerator, whatever ordinal the registry gave the record.
    const DeviceMetadata& device =
        device_metadata_registry.GetDeviceMetadataByDeviceName(device_name);
    auto accelerator =
        EntryAt(list, PositionOfAccelerator(list, device.GetId()));
    if (accelerator != nullptr) return accelerator;
  } catch (int thrown) {
    code = thrown;
  }
  if (code == kDeviceNameNotFound) {
    log << "[GetAcceleratorByDeviceName] no device found for ZVA device "
           "name: "
        << device_name << " \n"
        << logger::ERROR;
  } else {
    log << "[GetAcceleratorByDeviceName] Unexpected failure status: " << code
        << " while getting accelerator for ZVA device name: " << device_name
        << " \n"
        << logger::ERROR;
  }
  return nullptr;
}

std::shared_ptr<AcceleratorInterface> GetAcceleratorByDeviceOrdinal(
    DeviceOrdinal ordinal, const char* endpoint) {
  InitLogging();
  CLogger log;
  log << "[GetAcceleratorByDeviceOrdinal] Getting accelerator by ZVA device "
         "ordinal number \n"
      << logger::INFO;
  auto& list = SingletonAllAccelerators(endpoint);
  std::shared_ptr<AcceleratorInterface> accelerator = EntryAt(list, ordinal);
  if (accelerator == nullptr) {
    log << "[GetAcceleratorByDeviceOrdinal] no device found for ZVA device "
           "ordinal: "
        << ordinal << " \n"
        << logger::ERROR;
  }
  return accelerator;
}

int KickOffKeepAliveThread(AcceleratorInterface* accelerator,
                           const Versions& versions, const char* framework) {
  Accelerator* impl = AsAccelerator(accelerator);
  if (impl == nullptr || impl->IsReleased()) {
    CLogger log;
    log << "[Health check] No usable accelerator; health check not started\n"
        << logger::ERROR;
    return kInternalError;
  }
  impl->KickOffKeepAliveThread(versions, framework);
  return kOk;
}

std::shared_ptr<grpc::Channel> GetAcceleratorChannel(
    AcceleratorInterface* accelerator) {
  Accelerator* impl = AsAccelerator(accelerator);
  return impl == nullptr ? nullptr : impl->GetChannel();
}

std::string GetAcceleratorId(AcceleratorInterface* accelerator) {
  Accelerator* impl = AsAccelerator(accelerator);
  return impl == nullptr ? std::string() : impl->GetAcceleratorID();
}

}  // namespace zva
