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
// An integration that calls these as members of the accelerator, and reads
// its channel_ and session_context_, includes zva_accelerator_class.h.
//
// Configuration. Each accelerator reads its configuration once, when it is
// built (for the list, on the first call of a getter or of the C interface):
// compiled-in defaults, then the JSON file $HOME/.zv/zv_config.json (read
// only when it is a regular file of at most 1 MiB), then the environment
// variables below. Later changes reach no accelerator already built. In the
// file, a key left out or set to 0 takes its default and unknown keys are
// ignored; a file that is not valid JSON of these keys (a value of another
// type or beyond the int32 range included) is ignored as a whole, with a
// WARNING. A value that the library cannot use (0 or negative, or a time
// above 1073741773 ms) is replaced by its default, with a WARNING naming the
// key. Every value is an int32.
//
//   connect_timeout = 5000 ms
//       Deadline of each signed Connect call (up to three in a row).
//   init_session_timeout = 5000 ms
//       Deadline of opening a session.
//   reconnect_session_timeout = 5000 ms
//       Deadline of resuming a session.
//   load_model_timeout = 30000 ms
//       Bounds loading a model, its waits and retries included; also the
//       reload of a model that the accelerator lost.
//   infer_timeout = 30000 ms
//       Bounds one inference, its waits and retries included.
//   unload_model_timeout = 30000 ms
//       Bounds unloading a model.
//   list_model_timeout = 5000 ms
//       Bounds listing the models (also before a reload).
//   get_zva_info_timeout = 5000 ms
//       Read and checked, but no call of the library uses it.
//   get_op_whitelist_timeout = 5000 ms
//       Bounds asking for the operator whitelist.
//   ping_timeout = 2000 ms
//       Deadline of each Ping call; one Ping() makes up to four.
//   keep_alive_timeout = 2000 ms
//       Deadline of each keep-alive call of the health-check thread.
//   keep_alive_interval = 2000 ms
//       How long the health-check thread watches the channel between two
//       keep-alives. Plus 50 ms, the pause of a model call before it retries
//       a failure worth retrying.
//   destroy_session_timeout = 5000 ms
//       Deadline of closing the session when the health-check thread ends
//       (at most 200 ms when it was asked to stop).
//   max_receive_message_size = 2147483647 bytes
//       Largest message the channel accepts.
//   initial_exponential_backoff_time = 25 ms
//       Base of the pauses of the health-check thread after failures that
//       have no repair of their own: the n-th such pause in a row is this
//       times 2 to the n, until it passes the next key, which then caps it.
//   max_exponential_backoff_time = 25000 ms
//       That cap, and the pause before a fresh session is tried after a
//       fatal answer.
//   max_wait_for_server_timeout = 5000 ms
//       How long a model call waits for a ready session, each time it waits.
//   post_graph_stats_timeout = 5000 ms
//       Bounds sending graph statistics.
//   operator_whitelist_override_version = 0
//       Operator-whitelist version override, sent with the session; kept as
//       given (0 too). GetOverrideOperatorWhitelistVersion returns it.
//
// The environment, read as decimal numbers (leading blanks and a sign
// allowed, trailing text ignored, no digits reads as 0):
//   ZVA_API_TIMEOUT_DEADLINE   init_session_timeout, load_model_timeout,
//                              infer_timeout, unload_model_timeout,
//                              list_model_timeout, get_zva_info_timeout,
//                              get_op_whitelist_timeout, ping_timeout and
//                              destroy_session_timeout, all at once
//   ZV_KEEPALIVE_TIMEOUT       keep_alive_timeout
//   ZV_LOADMODEL_TIMEOUT       load_model_timeout (over the one above)
//   ZV_INFER_TIMEOUT           infer_timeout (over the one above)
//   ZV_OPERATOR_WHITELIST_VERSION_OVERRIDE
//                              operator_whitelist_override_version

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
// The entries are shared with the caller; ZVLShutdown empties them (each
// becomes null; the length stays). The vector itself is the library's and
// lives until the process ends, but it is not locked for the caller: do not
// iterate it, or copy an entry out of it, while another thread may call
// ZVLShutdown. Copy what you need first, or use the getters below, which
// take the list's lock.
ZVA_EXPORT std::vector<std::shared_ptr<AcceleratorInterface>>&
SingletonAllAccelerators(const char* endpoint = nullptr);

// The first accelerator of the list, or an empty pointer.
ZVA_EXPORT std::shared_ptr<AcceleratorInterface> GetAccelerator(
    const char* endpoint = nullptr);
// A process-wide pointer set by GetAccelerator on the first call. It shares
// ownership with the list but is not part of it: ZVLShutdown leaves it
// alone, so the accelerator it holds stays alive (and its health-check
// thread running) past ZVLShutdown, until the caller resets this pointer or
// the process exits. The pointer is not locked: reset or replace it only
// while no other thread reads it.
ZVA_EXPORT std::shared_ptr<AcceleratorInterface>& SingletonAccelerator(
    const char* endpoint = nullptr);

// The accelerator whose device has accelerator identifier `id`, device name
// `device_name`, or ordinal `ordinal`; an empty pointer when there is none.
ZVA_EXPORT std::shared_ptr<AcceleratorInterface> GetAcceleratorByZvaId(
    const std::string& id, const char* endpoint = nullptr);
ZVA_EXPORT std::shared_ptr<AcceleratorInterface> GetAcceleratorByDeviceName(
    const std::string& device_name, const char* endpoint = nullptr);
ZVA_EXPORT std::shared_ptr<AcceleratorInterface> GetAcceleratorByDeviceOrdinal(
    DeviceOrdinal ordinal, const char* endpoint = nullptr);

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
