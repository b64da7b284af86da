#ifndef ZVA_ZVA_ACCELERATOR_CLASS_H_
#define ZVA_ZVA_ACCELERATOR_CLASS_H_

// The accelerator class itself, for integrations that call its operations as
// members and read its channel_ and session_context_. The free functions of
// zva_accelerator.h (KickOffKeepAliveThread, GetAcceleratorChannel,
// GetAcceleratorId) reach the same objects through AcceleratorInterface; the
// two styles may be mixed.
//
// Every AcceleratorInterface that the getters of zva_accelerator.h hand out
// is an Accelerator, so an integration takes one with a cast:
//   std::shared_ptr<zva::Accelerator> accelerator =
//       std::static_pointer_cast<zva::Accelerator>(zva::GetAccelerator());
//   accelerator->KickOffKeepAliveThread(versions, "mxnet");
//   ... mxnet::internal::QueryInterface(accelerator->channel_) ...
//   accelerator->session_context_.Wait(std::chrono::seconds(5));
// (std::dynamic_pointer_cast works as well, and gives null for an object of
// another kind.)
//
// Ownership and lifetime. The library owns every accelerator it makes; the
// shared pointers it hands out share that ownership, and their deleter calls
// Release(), never delete. The last holder's Release stops and joins the
// health-check thread and drops the stub and the channel (a Release() called
// directly does so at once, for every holder); the object itself
// (with its session_context_) stays valid until the process ends, so a raw
// pointer to it never dangles, and every operation on a released
// accelerator fails cleanly. An Accelerator that a caller constructs itself
// belongs to that caller, who may destroy it (the destructor releases it
// first).
//
// Thread safety: see the class comment.
//
// gRPC's types are only declared here; an integration that calls the channel
// (`accelerator->channel_->GetState(false)`) includes <grpcpp/channel.h>.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "zva/zva_object.h"
#include "zva/zva_session_context.h"
#include "zva/zvl_export.h"

namespace grpc {
class Channel;
class Status;
}  // namespace grpc

namespace zva {

// Types of the library's internals that some operations below take or
// return; their definitions are not public, so an integration cannot call
// those operations (and has no need to).
namespace config {
class ClientLibraryConfig;
}  // namespace config
namespace rpc {
class PingResponse;
}  // namespace rpc
namespace util {
class DefaultRetryStrategy;
}  // namespace util

// An accelerator's channel, as its member channel_: set by the constructor,
// dropped by Release (null from then on). Reads like the
// std::shared_ptr<grpc::Channel> it holds: it converts to one (so it can be
// passed to the adapters' factories), `->` calls the channel, and it
// compares with nullptr.
//
// Thread-safe: every operation takes the object's own lock, so it may be
// read from any thread while another releases the accelerator. What it hands
// out shares ownership of the channel, which then lives as long as the
// caller holds it; calls on it fail once the accelerator is released.
class AcceleratorChannel {
 public:
  AcceleratorChannel() = default;
  // A snapshot: the copy holds the channel this one holds now, and is not
  // dropped by a later release.
  AcceleratorChannel(const AcceleratorChannel& other)
      : channel_(other.Load()) {}
  AcceleratorChannel& operator=(const AcceleratorChannel&) = delete;

  // The channel; null once the accelerator is released.
  std::shared_ptr<grpc::Channel> Load() const {
    std::lock_guard<std::mutex> lock(mtx_);
    return channel_;
  }
  operator std::shared_ptr<grpc::Channel>() const { return Load(); }
  // The channel is held until the end of the full expression.
  std::shared_ptr<grpc::Channel> operator->() const { return Load(); }
  // The raw pointer (for Accelerator::FromChannel). Not owning: valid only
  // until the accelerator is released, unless the caller holds the channel.
  grpc::Channel* get() const {
    std::lock_guard<std::mutex> lock(mtx_);
    return channel_.get();
  }
  explicit operator bool() const { return get() != nullptr; }

  friend bool operator==(const AcceleratorChannel& c, std::nullptr_t) {
    return !c;
  }
  friend bool operator!=(const AcceleratorChannel& c, std::nullptr_t) {
    return static_cast<bool>(c);
  }

 private:
  friend class Accelerator;

  // Replaces the channel and returns the one held before.
  std::shared_ptr<grpc::Channel> Exchange(
      std::shared_ptr<grpc::Channel> channel) {
    std::lock_guard<std::mutex> lock(mtx_);
    channel_.swap(channel);
    return channel;
  }

  // State below is protected by mtx_.
  mutable std::mutex mtx_;
  std::shared_ptr<grpc::Channel> channel_;
};

// One remote accelerator: the channel to its proxy endpoint, the stub on it,
// the signed Connect, the session calls, the health-check thread and Ping.
//
// Thread-safe, with these limits:
// - the session calls (Handshake, ReconnectSession, KeepAliveSession,
//   DestroySession, BuildSession), KeepAliveThread and WaitForChannelReady
//   belong to the health-check thread; call them yourself only while no
//   health-check thread runs;
// - KickOffKeepAliveThread is meant to be called once.
// Ping, Connect, QueryInterface, Release, the accessors and the members
// channel_ and session_context_ may be used from any thread at any time,
// also concurrently with Release: after Release the operations fail cleanly
// (client code 1, the thread's last error set) and never touch what Release
// dropped.
class ZVA_EXPORT Accelerator : public AcceleratorInterface {
 public:
  // Keeps the platform layer up while any accelerator lives. Defined inside
  // the library, and not exported.
  class ZVA_NO_EXPORT RunOnInitAndExit;

  // Builds the channel to `endpoint` (TLS unless "ZVL_TLS_OPTION_DISABLED"
  // is defined) and registers it in the channel table. Makes no call and
  // starts no thread; the channel connects lazily.
  Accelerator(const std::string& endpoint, const std::string& region,
              const std::string& accelerator_id,
              const std::string& accelerator_type);
  // Releases the accelerator (stopping its health-check thread) first.
  ~Accelerator();

  Accelerator(const Accelerator&) = delete;
  Accelerator& operator=(const Accelerator&) = delete;

  // ---- AcceleratorInterface ------------------------------------------------

  // Stops and joins the health-check thread (unless called from it), then
  // drops the framework object, the stub, the channel table entry, the
  // channel and the platform lifetime. Always 0; a second call does nothing.
  int Release() override;
  // Prints the self-description, then copies the framework object (empty
  // unless one was set) into *out, which then shares it. Returns 0. Lets the
  // registry's int 1048 pass when this accelerator is no longer attached.
  int QueryInterface(InterfaceID id, const Versions& versions,
                     std::shared_ptr<ObjectInterface>* out) override;
  // 0 healthy, 10 unhealthy, 1 when Connect fails, four pings fail, or the
  // accelerator was released (the calling thread's last error then holds the
  // text of the failure).
  int Ping() override;
  int GetOverrideOperatorWhitelistVersion() override;

  // ---- Channel table and accessors -----------------------------------------

  // The accelerator that owns `channel`, or null (an unknown channel, or one
  // whose accelerator was released). Never adds an entry. Not owning.
  static Accelerator* FromChannel(grpc::Channel* channel);

  std::string GetAcceleratorID() const { return accelerator_id_; }
  std::string GetAcceleratorType() const { return accelerator_type_; }
  std::string GetEndpoint() const { return endpoint_; }
  // The configuration, read once by the constructor and unchanged
  // afterwards; it lives as long as the accelerator. Its type is internal.
  const zva::config::ClientLibraryConfig& GetClientConfig() const;
  // channel_.Load(): the channel, shared with the caller; null once released.
  std::shared_ptr<grpc::Channel> GetChannel() const { return channel_.Load(); }

  bool IsReleased() const { return is_released_.load(); }
  // The stop flag of the health-check thread: set by Release, final.
  bool IsStopping() const;
  bool IsConnected() const { return is_connected_.load(); }
  // Whether a health-check thread is running.
  bool IsKeepAliveThreadRunning() const;

  // Sets the object that QueryInterface hands out; the accelerator shares it
  // until Release.
  void SetFrameworkObject(std::shared_ptr<ObjectInterface> object);

  // Prints the client version, the number of accelerators and this
  // accelerator's identifier, type and ordinal, and logs the same text. Runs a
  // full discovery. Lets the registry's int 1048 pass. (An accelerator the
  // library's getters did not make prints nothing.)
  void DescribeZVA();
  // What DescribeZVA runs: the library's getters hand in the description,
  // which needs the device count and a discovery run. Call before the
  // accelerator is shared.
  using SelfDescription = std::function<void(const Accelerator&)>;
  ZVA_NO_EXPORT void SetSelfDescription(SelfDescription describe);

  // ---- Connection ----------------------------------------------------------

  // True once the channel is ready; false when a stop was requested or the
  // accelerator was released. Records code 14/36 as last session error after
  // every 2 seconds without a ready channel. A stop ends it within a short
  // period.
  bool WaitForChannelReady();
  // One signed Connect, or up to three when `retry`; 0 on success. On
  // failure records it as last session error and throws a value of the
  // library's internal next-state enumeration (catch it with catch (...)).
  int ConnectImplementation(bool retry);
  // Non-throwing Connect with the connected flag: 0 at once when already
  // connected, 1 on failure (thread's last error set).
  int Connect();

  // ---- Session (health-check thread) ---------------------------------------

  // On failure each records it as last session error and throws as
  // ConnectImplementation does.
  int Handshake(const Versions& versions, const char* framework);
  int ReconnectSession();
  int KeepAliveSession();
  // 0 on success, 1 on failure (thread's last error set); never throws.
  int DestroySession();
  // Connect, then resume the known session or open a new one.
  int BuildSession(const Versions& versions, const char* framework,
                   util::DefaultRetryStrategy* retry);

  // ---- Health-check thread and ping ----------------------------------------

  // Starts the health-check thread, which connects, builds the session and
  // keeps it alive until the accelerator is released. `versions` and
  // `framework` are copied. A second call while the thread runs is refused
  // (logged); after the thread ended by itself it starts a new one. Does
  // nothing on a released accelerator, nor once the process is exiting.
  void KickOffKeepAliveThread(const Versions& versions, const char* framework);
  // The body of the health-check thread; returns once a stop is asked.
  void KeepAliveThread(const Versions& versions, const char* framework);
  // One Ping call; the gRPC status of it.
  grpc::Status PingImplementation(zva::rpc::PingResponse* response);

  // Asks the health-check thread to stop, without waiting; Release
  // completes the stop. Lets a caller releasing many accelerators stop them
  // all at once rather than one after another. Final.
  void RequestStop();

  // ---- Members an integration reads ----------------------------------------

  // The session as the health-check thread publishes it; the RPC executor
  // waits in it for a ready session. Lives as long as this object.
  SessionContext session_context_;
  // The channel to the proxy endpoint; null once released.
  AcceleratorChannel channel_;

  // ---- The library's own; not exported -------------------------------------

  // A model call on the session of `generation` failed in a way that means
  // the connection or the session may be gone. Wakes the health-check
  // thread to check and repair now; when `session_lost`, the session is also
  // marked not ready first, so that no caller uses it meanwhile.
  ZVA_NO_EXPORT void ReportSessionTrouble(uint64_t generation,
                                          bool session_lost);
  // Called before each model call goes out, so that the health-check thread
  // keeps out of the calls' way. Thread-safe; costs one load once a call
  // was noted in the current keep-alive interval.
  ZVA_NO_EXPORT void NoteModelCall();
  // The session identifier the health-check thread holds. Health-check
  // thread only (or while none runs).
  ZVA_NO_EXPORT const std::string& GetSessionId();
  // Stops and releases every accelerator still alive, and refuses new
  // health-check threads from then on. Registered as an exit hook by the
  // first accelerator; not meant to be called otherwise.
  ZVA_NO_EXPORT static void ReleaseAllAtExitHook();

 private:
  // The stub, the configuration and the health-check thread, whose types are
  // internal. Defined inside the library.
  struct Internals;

  // The deadline of the courtesy DestroySession on the way out of a stop.
  static constexpr int kStoppingDestroyTimeoutMs = 200;

  // The failure of an operation on a released accelerator.
  static ZvaRpcStatus ReleasedStatus();
  // Logs it and sets the thread's last error from it.
  void ReportReleased(const char* operation) const;

  const int32_t max_ping_attempts_ = 4;
  const std::string endpoint_;
  const std::string accelerator_id_;
  const std::string accelerator_type_;

  std::atomic<bool> is_connected_{false};

  // Protected by mtx_: the framework object.
  std::mutex mtx_;
  std::shared_ptr<ObjectInterface> framework_object_;

  const std::string region_;
  std::atomic<bool> is_released_{false};
  const int32_t max_connect_attempts_ = 3;

  // Protected by the library's start-and-shutdown lock.
  std::shared_ptr<RunOnInitAndExit> sdk_lifetime_;

  // Declared after everything the health-check thread uses, so that it is
  // destroyed (and the thread joined) first.
  const std::unique_ptr<Internals> internals_;

  // The process-wide channel table; owns neither side.
  ZVA_NO_EXPORT static std::map<grpc::Channel*, Accelerator*>&
      s_channel_to_accel_map_;
  ZVA_NO_EXPORT static std::mutex mtx_s_channel_to_accel_map_;
};

}  // namespace zva

#endif  // ZVA_ZVA_ACCELERATOR_CLASS_H_
