#ifndef ZVA_ZVA_TOOLS_H_
#define ZVA_ZVA_TOOLS_H_

// Printing and health helpers behind the `zv` and `zv-health` programs,
// exported so that other programs can print the same output, and the wait
// such a short-lived program makes before it exits.
//
// Every function writes only to the stream it is given and keeps no state of
// its own except the table of health-status names, which is built once under
// the thread-safe initialisation of statics. The functions that ping
// (GetDeviceHealthStatusString, UpdateDeviceMetadataWithHealthStatus) use the
// process-wide accelerator list of the C interface and may be called from any
// thread; the printing functions are as thread-safe as the stream passed in.

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "zva/zva_device_metadata.h"
#include "zva/zvl_export.h"

namespace zva {

// Thrown by value, and caught by reference, when a ping answers with a value
// that has no health-status name. Holds that value.
class ZVA_EXPORT UnsupportedPingResponseException {
 public:
  explicit UnsupportedPingResponseException(int32_t status) : status_(status) {}
  int32_t GetStatus() const { return status_; }

 private:
  int32_t status_;
};

// The name of a PingDevice result: 0 "healthy", 1 "unhealthy",
// 2 "not reachable". Throws UnsupportedPingResponseException holding `status`
// for any other value.
ZVA_EXPORT std::string HealthStatusToString(int status);

// Pings the device at `device_index` of the process-wide accelerator list
// (building the list on first use) and names the result. An index past the
// list yields "not reachable".
ZVA_EXPORT std::string GetDeviceHealthStatusString(DeviceOrdinal device_index);

// Writes the usage text of `zv`, six lines.
ZVA_EXPORT void PrintUsageString(std::ostream& os);

// Writes the client version line, then `message` on a line of its own.
ZVA_EXPORT void PrintError(std::ostream& os, const std::string& message);

// Sets the health status of every record to that of the accelerator of the
// process-wide list with the record's identifier. The records may come from
// a discovery run other than the list's (GetAcceleratorsMetadata), so the
// identifier, not the position, says which accelerator to ping; a record
// whose identifier the list lacks is "not reachable". A device whose ping
// has no name keeps its status; a line
// "ERROR: unexpected response <value> from device <i>" goes to `os`, where
// <i> is the record's position in `devices`.
ZVA_EXPORT void UpdateDeviceMetadataWithHealthStatus(
    std::ostream& os, std::vector<DeviceMetadata>& devices);

// The local time of now as `ctime` writes it, without the final newline,
// e.g. "Sun Dec  6 22:13:07 2026".
ZVA_EXPORT std::string GetCurrentTimeString();

// Writes the description of `devices` (in ordinal order) as text: version,
// time, count, then four lines per device.
ZVA_EXPORT void PrintAttachmentsDescriptionPlainText(
    std::ostream& os, const std::vector<DeviceMetadata>& devices,
    const std::string& time);

// Writes the description of `devices` (in ordinal order) as one JSON
// document followed by a newline. Texts are escaped, so the document is
// valid JSON whatever the identifiers hold.
ZVA_EXPORT void PrintAttachmentsDescriptionJson(
    std::ostream& os, const std::vector<DeviceMetadata>& devices,
    const std::string& time);

// Waits until gRPC has shut down and joined its threads, for at most
// `limit`. Returns true at once when nothing in the process uses gRPC; false
// when something still does after `limit`.
//
// A program calls it after ZVLShutdown, right before it exits, once nothing
// of its own holds a gRPC object. Releasing the accelerators does not end
// gRPC's work at once: a channel's last pieces may be torn down on one of
// gRPC's threads, and a connection that failed keeps gRPC in use until its
// reconnect back-off (about a second) has passed; gRPC then shuts itself down
// on a thread of its own. Exiting meanwhile runs the crypto library's exit
// clean-up while gRPC's threads still use it, which loses their per-thread
// state. Default: 5 s, well past one back-off.
ZVA_EXPORT bool WaitForGrpcShutdown(
    std::chrono::milliseconds limit = std::chrono::seconds(5));

}  // namespace zva

#endif  // ZVA_ZVA_TOOLS_H_
