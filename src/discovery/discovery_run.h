#ifndef ZVA_DISCOVERY_DISCOVERY_RUN_H_
#define ZVA_DISCOVERY_DISCOVERY_RUN_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zva/zva_device_metadata.h"
#include "zva/zva_object.h"
#include "discovery/device_registry.h"
#include "discovery/metadata_client.h"

namespace zva {

// The discovery object of one run; leaving the run by any path releases it.
using DiscoverPtr = std::unique_ptr<DiscoverInterface, const ObjectReleaser>;
// Makes the discovery object of one run.
using DiscoverFactory = std::function<DiscoverPtr()>;

// A Discover over a fresh CurlHelper: what every production run uses.
DiscoverPtr MakeDiscover();

// Runs one complete discovery and returns the registry of the attached
// accelerators; an empty registry when any step fails (the failure is
// logged, never thrown). `endpoint`, when not null, is the proxy endpoint
// instead of a discovered one. Every call queries anew; thread-safe.
// An accelerator identifier or device name that IsSafeIdentifier refuses
// fails the run with kDiscoveryFailure, a region that IsSafeRegion refuses
// with kRegionNotFound, each with the thread's last error naming the value;
// an accelerator found twice becomes one device (the first entry stays).
DeviceMetadataRegistry GetDeviceMetadataRegistry(const char* endpoint);
// The same over the discovery object that `make_discover` returns.
DeviceMetadataRegistry GetDeviceMetadataRegistry(
    const char* endpoint, const DiscoverFactory& make_discover);

// GetDevices (public header) over the discovery object of `make_discover`.
bool GetDevices(std::vector<std::string>& accelerator_ids,
                const DiscoverFactory& make_discover);

// Logs a failed discovery at `where` with the code it failed with.
void HandleDiscoveryFailure(const char* where, int code);

// Sets `endpoint` to `override` when that is not null, else to the value of
// "ACCELERATOR_PROXYURI_OVERRIDE" when that is set, else to the endpoint that
// `discover` finds. Throws the failing status as int.
void SetProxyUri(std::string& endpoint, const char* override,
                 const DiscoverPtr& discover);

// Sets `region` to the region that `discover` finds. Throws the failing
// status as int; kRegionNotFound also for a region that IsSafeRegion
// refuses.
void SetRegion(std::string& region, const DiscoverPtr& discover);

}  // namespace zva

#endif  // ZVA_DISCOVERY_DISCOVERY_RUN_H_
