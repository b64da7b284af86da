#ifndef ZVA_ZVA_ACCELERATOR_H_
#define ZVA_ZVA_ACCELERATOR_H_

// The accelerators of this host, for framework integrations.
//
// The getters below hand out accelerators from one process-wide list, built
// on the first call by a discovery run and never rebuilt. Every pointer they
// return shares ownership with that list: an accelerator is released (its
// health-check thread stopped and joined, its channel closed) only when its
// last holder, the list included, lets go. The list lets go in ZVLShutdown.
// An operation reached on a released accelerator fails cleanly with a client
// status code. All functions here are thread-safe and never throw for
// unknown identifiers; they log and return an empty pointer instead.
//
// An integration typically:
//   auto accelerator = zva::GetAccelerator();
//   zva::KickOffKeepAliveThread(accelerator.get(), versions, "mxnet");
//   auto channel = zva::GetAcceleratorChannel(accelerator.get());
//   ... create the framework adapter on `channel` ...

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "zva/zva_device_metadata.h"
#include "zva/zva_errors.h"
#include "zva/zva_object.h"
#include "zva/zvl_export.h"

namespace grpc {
class Channel;
}  // namespace grpc

namespace zva {

// `endpoint`, where taken, is a proxy endpoint used instead of discovering
// it; null means discover. Only the call that builds the list uses it.

// The process-wide list, in device ordinal order. Built on the first call.
// The entries are shared with the caller; ZVLShutdown empties them.
ZVA_EXPORT std::vector<std::shared_ptr<AcceleratorInterface>>&
SingletonAllAccelerators(const char* endpoint = nullptr);

// The first accelerator of the list, or an empty pointer.
ZVA_EXPORT std::shared_ptr<AcceleratorInterface> GetAccelerator(
    const char* endpoint = nullptr);
// A process-wide pointer set by GetAccelerator on the first call.
ZVA_EXPORT std::shared_ptr<AcceleratorInterface>& SingletonAccelerator(
    const char* endpoint = nullptr);

// The accelerator whose device has accelerator identifier `id`, device name
// `device_name`, or ordinal `ordinal`; an empty pointer when there is none.
ZVA_EXPORT std::shared_ptr<AcceleratorInterface> GetAcceleratorByZvaId(
    const std::string& id, const char* endpoint = nullptr);
ZVA_EXPORT std::shared_ptr<AcceleratorInterface> GetAcceleratorByDeviceName(
    const std::string& device_name, const char* endpoint = nullptr);
ZVA_EXPORT std::shared_ptr<AcceleratorInterface> GetAcceleratorByDeviceOrdinal(
    unsigned long ordinal, const char* endpoint = nullptr);

// Starts the accelerator's health-check thread, which connects, opens the
// session (with `versions` and the framework name, both copied) and keeps it
// alive until the accelerator is released. Call once per accelerator.
// Returns 0; 1 when `accelerator` is null, not made by this library, or
// released.
ZVA_EXPORT int KickOffKeepAliveThread(AcceleratorInterface* accelerator,
                                      const Versions& versions,
                                      const char* framework);

// The accelerator's gRPC channel, for the framework adapters' factories;
// null when `accelerator` is null, not made by this library, or released.
// The channel stays usable while the caller holds it, but calls on it fail
// once the accelerator is released.
ZVA_EXPORT std::shared_ptr<grpc::Channel> GetAcceleratorChannel(
    AcceleratorInterface* accelerator);

// The accelerator identifier; empty for a null or foreign accelerator.
ZVA_EXPORT std::string GetAcceleratorId(AcceleratorInterface* accelerator);

// The attached devices keyed by accelerator identifier. Runs a full
// discovery on every call.
ZVA_EXPORT std::map<std::string, DeviceMetadata> DescribeAccelerators();
// The attached devices in ordinal order. Runs a full discovery on every call.
ZVA_EXPORT std::vector<DeviceMetadata> GetAcceleratorsMetadata();

}  // namespace zva

#endif  // ZVA_ZVA_ACCELERATOR_H_
