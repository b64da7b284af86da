#ifndef ZVA_ZVA_CLIENT_H_
#define ZVA_ZVA_CLIENT_H_

/* C interface of libzvaclient.

   Conventions:
   - Nothing here throws or aborts; failures are return values, and their
     details go to the log.
   - Returned pointers belong to the library: the text of
     GetDevicesDescriptionJson and GetZVClientVersion stays valid until the
     process ends and must not be freed.
   - ZVLInit builds the process-wide accelerator list once. GetDeviceCount,
     PingDevice, GetDevicesDescriptionJson and ZVLShutdown may also come
     first: each builds the list (or runs discovery) itself on first use.
     GetZVClientVersion may be called at any time.
   - Discovery runs once per process: accelerators attached later are not
     seen, and a discovery that failed leaves the list empty for good.
   - All calls are thread-safe. ZVLShutdown is meant for the end, once no
     other thread calls into the library; calls after it still answer (see
     below) but find no accelerator that it dropped.
   - Set "ZV_VISIBLE_DEVICES" before the first call to choose the devices.
   - The configuration file $HOME/.zv/zv_config.json and the variables that
     override it are read when the list is built; zva_accelerator.h lists
     every key with its default and unit. */

#include "zva/zvl_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Builds the process-wide accelerator list. `endpoint` (may be NULL) names
   the proxy endpoint instead of discovering it; later calls change nothing. */
ZVA_EXPORT void ZVLInit(const char* endpoint);

/* Drops the list's references to the accelerators; an accelerator is
   released (its health-check thread stopped, its channel closed) when its
   last holder lets go. */
ZVA_EXPORT void ZVLShutdown(void);

/* Stores in *count the number of accelerators the list still holds; returns
   0 when that is not zero, -1 when it is (no device, failed discovery, or
   after ZVLShutdown). Returns -1 without storing when `count` is NULL. */
ZVA_EXPORT int GetDeviceCount(unsigned int* count);

/* The attached devices as a JSON object keyed by accelerator identifier,
   for example {"id-a": {"version":"v1", "type": "zva1.medium", "ordinal": 0}},
   or "{}". Computed once per process. */
ZVA_EXPORT const char* GetDevicesDescriptionJson(void);

/* Pings the device with ordinal `device_index` (zva::DeviceOrdinal in C++,
   an unsigned int here): 0 healthy, 1 unhealthy, 2 not reachable (also for
   an unknown index, an empty list, or a device that ZVLShutdown dropped). */
ZVA_EXPORT int PingDevice(unsigned int device_index);

/* The client version text "1.5.3". Callable before anything else, from C
   and from C++ (zva_object.h includes this header for it). */
ZVA_EXPORT const char* GetZVClientVersion(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ZVA_ZVA_CLIENT_H_ */
