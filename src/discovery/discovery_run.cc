#include "discovery/discovery_run.h"

#include <cstdlib>
#include <map>
#include <set>

#include "platform/log_stream.h"
#include "discovery/device_record.h"
#include "discovery/http_fetch.h"
#include "errors/safe_text.h"

namespace zva {

namespace {

using logger::CLogger;
using logger::ERROR;
using logger::INFO;

constexpr char kProxyOverrideVariable[] = "ACCELERATOR_PROXYURI_OVERRIDE";

// The entry under `key`, or the empty text when there is none.
std::string Entry(const std::map<std::string, std::string>& details,
                  const std::string& key) {
  auto it = details.find(key);
  return it != details.end() ? it->second : std::string();
}

// Throws kDiscoveryFailure, with the thread's last error naming the value,
// when `value` is an identifier or name that IsSafeIdentifier refuses. An
// empty value passes: a missing one is the precondition check's business.
void CheckIdentifier(const char* what, const std::string& value,
                     const std::string& source) {
  if (value.empty() || util::IsSafeIdentifier(value)) return;
  const std::string refusal =
      util::RefusedValueText(what, value, source, util::kIdentifierRule);
  CLogger log;
  log << "Error: " << refusal << "\n" << ERROR;
  util::SetLastErrorWithDetail(kDiscoveryFailure, refusal);
  throw kDiscoveryFailure;
}

bool IsDiscoveryFailureCode(int code) {
  return code == kDiscoveryFailure ||
         (code >= kDeviceOrdinalOutOfRange && code <= kUnknownDeviceSize);
}

}  // namespace

DiscoverPtr MakeDiscover() {
  return DiscoverPtr(discover::QueryInterface(std::make_unique<CurlHelper>()));
}

void HandleDiscoveryFailure(const char* where, int code) {
  CLogger log;
  log << "[" << (where != nullptr ? where : "") << "] "
      << (IsDiscoveryFailureCode(code) ? "Error - Discovery Failure: "
                                       : "Unknown Exception: ")
      << code << "\n"
      << ERROR;
}

void SetProxyUri(std::string& endpoint, const char* override,
                 const DiscoverPtr& discover) {
  CLogger log;
  log << "SetProxyUri.\n" << INFO;
  endpoint = override != nullptr ? override : "";
  if (override == nullptr) {
    if (const char* value = std::getenv(kProxyOverrideVariable)) {
      log << "Overriding Ip/Port to " << value << "\n" << INFO;
      endpoint = value;
    } else {
      log << "Getting details from metadata.\n" << INFO;
      const int status = discover->DiscoverProxy(endpoint);
      if (status != kOk) throw status;
    }
  }
  log << "Endpoint: " << endpoint << "\n" << INFO;
}

void SetRegion(std::string& region, const DiscoverPtr& discover) {
  CLogger log;
  log << "SetRegion.\n" << INFO;
  const int status = discover->DiscoverRegion(region);
  if (status != kOk) {
    log << "Failed to detect region\n" << ERROR;
    throw status;
  }
  // The region is part of the proxy host name and of the signed headers.
  // (An empty one is the precondition check's business.)
  if (!region.empty() && !util::IsSafeRegion(region)) {
    const std::string refusal = util::RefusedValueText(
        "region", region, "discovery", util::kRegionRule);
    log << "Failed to detect region: " << refusal << "\n" << ERROR;
    util::SetLastErrorWithDetail(kRegionNotFound, refusal);
    throw kRegionNotFound;
  }
  log << "Region: " << region << "\n" << INFO;
}

DeviceMetadataRegistry GetDeviceMetadataRegistry(const char* endpoint) {
  return GetDeviceMetadataRegistry(endpoint, &MakeDiscover);
}

DeviceMetadataRegistry GetDeviceMetadataRegistry(
    const char* endpoint, const DiscoverFactory& make_discover) {
  InitLogging();
  CLogger log("GetDeviceMetadataRegistry");
  log << "GetDeviceMetadataRegistry.\n" << INFO;

  DeviceMetadataRegistry result({});
  DiscoverPtr discover = make_discover();
  try {
    std::string proxy;
    std::string region;
    SetProxyUri(proxy, endpoint, discover);
    SetRegion(region, discover);

    std::vector<std::string> ids;
    {
      CLogger associations_log;
      associations_log << "SetAssociations.\n" << INFO;
      const int status = discover->DiscoverAcceleratorSlots(ids);
      if (status != kOk) throw status;
    }
    if (ids.empty()) {
      log << "Failed to detect any accelerator"
          << "\n"
          << ERROR;
      return result;
    }

    const bool is_container = discover->IsCNSContainer();
    std::vector<DeviceMetadata> devices;
    std::set<std::string> seen_ids;
    for (const std::string& association : ids) {
      std::map<std::string, std::string> details;
      const int status =
          discover->DiscoverAcceleratorSlotDetails(association, details);
      CLogger device_log;
      device_log << "GetDeviceMetadataForAssociation.\n" << INFO;

      std::string accelerator_id;
      if (!is_container) {
        accelerator_id = association;
      } else if (status == kOk) {
        accelerator_id = Entry(details, "id");
      } else {
        device_log << "Failed to detect accelerator details for accelerator: "
                   << association << "\n"
                   << ERROR;
      }
      const std::string type = Entry(details, "type");
      // The record carries the identifier of the details document, which on
      // a virtual-machine instance is not the one checked above; a record
      // without one would name no accelerator.
      const std::string record_id = Entry(details, "id");
      std::string device_name = Entry(details, "deviceId");
      if (device_name.empty()) device_name = Entry(details, "device_name");

      // These values go into URLs, request headers and the tools' output.
      const std::string details_source =
          "the details of accelerator " + util::EscapeForMessage(association);
      CheckIdentifier(
          "accelerator identifier", accelerator_id,
          is_container ? details_source : "the list of attached accelerators");
      CheckIdentifier("accelerator identifier", record_id, details_source);
      CheckIdentifier("device name", device_name, details_source);

      bool failed = false;
      if (proxy.empty() || accelerator_id.empty() || region.empty() ||
          type.empty() || record_id.empty()) {
        device_log << "Warning - Preconditions not met for reaching Accelerator"
                   << "\n"
                   << "Endpoint: " << proxy << "\n"
                   << "Accelerator ID: " << accelerator_id << "\n"
                   << "Region: " << region << "\n"
                   << ERROR;
        failed = true;
      }

      DeviceMetadata device(Entry(details, "version"), record_id, type,
                            device_name, kUnknownHealthStatus);
      if (failed) throw kDiscoveryFailure;
      // One accelerator is one device, however often it is listed (the
      // details override, for one, names the same accelerator for every
      // entry): a second record would give it a second channel and session.
      if (!seen_ids.insert(record_id).second) {
        device_log << "Ignoring accelerator " << record_id
                   << " found more than once; the first entry stays\n"
                   << logger::WARNING;
        continue;
      }
      devices.push_back(std::move(device));
    }
    result = DeviceMetadataRegistry(devices);
  } catch (int code) {
    HandleDiscoveryFailure("GetDeviceMetadataRegistry", code);
  }
  return result;
}

bool GetDevices(std::vector<std::string>& accelerator_ids) {
  return GetDevices(accelerator_ids, &MakeDiscover);
}

bool GetDevices(std::vector<std::string>& accelerator_ids,
                const DiscoverFactory& make_discover) {
  CLogger log("GetDevices");
  DiscoverPtr discover = make_discover();
  if (discover->DiscoverAcceleratorSlots(accelerator_ids) != kOk) {
    log << "Failed to discover Accelerators.\n" << logger::ERROR;
    return false;
  }
  return true;
}

}  // namespace zva
