#ifndef ZVA_CORE_ACCELERATOR_H_
#define ZVA_CORE_ACCELERATOR_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <grpcpp/grpcpp.h>

#include "zva/config/zva_client_lib_config.pb.h"
#include "zva/rpc/zva_service.grpc.pb.h"

#include "zva/zva_object.h"
#include "platform/configuration.h"
#include "core/health_check.h"
#include "errors/backoff.h"
#include "core/session_context.h"

namespace zva {

// Serialises the start and shutdown of the platform layer and Release.
extern std::mutex mtx_init_and_shutdown;

// One remote accelerator: the channel to its proxy endpoint, the stub on it,
// the signed Connect, the session calls, the health-check thread and Ping.
//
// Thread-safe, with these limits:
// - the session calls (Handshake, ReconnectSession, KeepAliveSession,
//   DestroySession, BuildSession), KeepAliveThread and WaitForChannelReady
//   belong to the health-check thread; call them yourself only while no
//   health-check thread runs;
// - KickOffKeepAliveThread is meant to be called once.
// Ping, Connect, QueryInterface, Release and the accessors may be called from
// any thread at any time, also concurrently with Release: after Release they
// fail cleanly (kInternalError, the thread's last error set) and never touch
// what Release dropped.
//
// Lifetime: the factory hands an accelerator out through shared pointers
// whose deleter calls Release(). Release stops and joins the health-check
// thread (promptly: the call in flight is cancelled) and drops the stub, the
// channel and the channel table entry; the object's memory stays valid (and
// reachable) until the process ends, so a raw pointer found through
// FromChannel never dangles. An accelerator made directly may also be
// destroyed; the destructor releases it first. At process exit, before the
// crypto library and gRPC tear down, every accelerator still alive is
// released, so a holder destroyed later (a global, a leaked pointer) finds
// nothing left to stop.
class Accelerator : public AcceleratorInterface {
 public:
  // Keeps the platform layer up while any accelerator lives: runs `init` at
  // once and `exit` when destroyed.
  class RunOnInitAndExit {
   public:
    RunOnInitAndExit(const std::function<void()>& init,
                     std::function<void()> exit);
    virtual ~RunOnInitAndExit();

   private:
    std::function<void()> exit_;
  };

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
  // channel and the platform lifetime. Always kOk; a second call does
  // nothing.
  int Release() override;
  // Prints the self-description, then copies the framework object (empty
  // unless an integration set one) into *out. Returns kOk. Lets the
  // registry's kDeviceIdNotFound pass when this accelerator is no longer
  // attached.
  int QueryInterface(InterfaceID id, const Versions& versions,
                     std::shared_ptr<ObjectInterface>* out) override;
  // kOk healthy, kAcceleratorUnhealthy unhealthy, kInternalError when Connect
  // fails, four pings fail, or the accelerator was released (the calling
  // thread's last error then holds the text of the failure).
  int Ping() override;
  int GetOverrideOperatorWhitelistVersion() override;

  // ---- Channel table and accessors -----------------------------------------

  // The accelerator that owns `channel`, or null (an unknown channel, or one
  // whose accelerator was released). Never adds an entry.
  static Accelerator* FromChannel(grpc::Channel* channel);

  std::string GetAcceleratorID() const { return accelerator_id_; }
  std::string GetAcceleratorType() const { return accelerator_type_; }
  std::string GetEndpoint() const { return endpoint_; }
  // A copy of the configuration, read once by the constructor.
  zva::config::ClientLibraryConfig GetClientConfig() const;
  // The channel and the stub; null once released. Holding the returned
  // pointer keeps the object alive for the call in hand.
  std::shared_ptr<grpc::Channel> GetChannel() const;
  std::shared_ptr<zva::rpc::ZvaInference::Stub> GetStub() const;

  bool IsReleased() const { return is_released_.load(); }
  // The stop flag of the health-check thread: set by Release, final.
  bool IsStopping() const { return health_check_.IsStopping(); }
  bool IsConnected() const { return is_connected_.load(); }
  // Whether a health-check thread is running.
  bool IsKeepAliveThreadRunning() const { return health_check_.IsRunning(); }

  // A model call on the session of `generation` failed in a way that means
  // the connection or the session may be gone. Wakes the health-check
  // thread to check and repair now; when `session_lost`, the session is also
  // marked not ready first, so that no caller uses it meanwhile. Thread-safe.
  void ReportSessionTrouble(uint64_t generation, bool session_lost);

  // Sets the object that QueryInterface hands out (shared with the caller).
  void SetFrameworkObject(std::shared_ptr<ObjectInterface> object);

  // Prints and logs the description of an accelerator and of the attached
  // ones. It needs the device count and a discovery run, which live above
  // this class, so the factory hands it in. May throw the registry's
  // kDeviceIdNotFound.
  using SelfDescription = std::function<void(const Accelerator&)>;
  // Sets what DescribeZVA runs. Call before the accelerator is shared.
  void SetSelfDescription(SelfDescription describe);
  // Runs the self-description, if one was set; lets its int pass.
  void DescribeZVA();

  // ---- Connection ----------------------------------------------------------

  // True once the channel is ready; false when a stop was requested or the
  // accelerator was released. Records UNAVAILABLE with kServiceNotReachable
  // as last session error after every 2 seconds without a ready channel. A
  // stop ends it within a short period.
  bool WaitForChannelReady();
  // One signed Connect, or up to max_connect_attempts_ when `retry`; kOk on
  // success, otherwise throws the zva::RPCState of the next state after
  // recording the failure as last session error.
  int ConnectImplementation(bool retry);
  // Non-throwing Connect with the connected flag: kOk at once when already
  // connected, kInternalError on failure (thread's last error set).
  int Connect();

  // ---- Session (health-check thread) ---------------------------------------

  int Handshake(const Versions& versions, const char* framework);
  int ReconnectSession();
  int KeepAliveSession();
  // kOk on success, kInternalError on failure (thread's last error set);
  // never throws.
  int DestroySession();
  // Connect, then resume the known session or open a new one.
  int BuildSession(const Versions& versions, const char* framework,
                   util::DefaultRetryStrategy* retry);

  // The session identifier the health-check thread holds. Health-check
  // thread only (or while none runs).
  const std::string& GetSessionId() { return health_check_.session_id(); }

  // ---- Health-check thread and ping ----------------------------------------

  // Starts the health-check thread, which connects, builds the session and
  // keeps it alive. `framework` is copied. A second call while the thread runs
  // is refused (logged); after the thread ended by itself it starts a new one.
  // Does nothing on a released accelerator, nor once the process is exiting.
  void KickOffKeepAliveThread(const Versions& versions, const char* framework);
  // The body of the health-check thread; returns once a stop is asked.
  void KeepAliveThread(const Versions& versions, const char* framework);
  // One Ping call; the gRPC status of it.
  grpc::Status PingImplementation(zva::rpc::PingResponse* response);

  // Asks the health-check thread to stop, without waiting; Release
  // completes the stop. Lets a caller releasing many accelerators stop them
  // all at once rather than one after another. Thread-safe; final.
  void RequestStop() { health_check_.RequestStop(); }
  // Stops and releases every accelerator still alive, and refuses new
  // health-check threads from then on. Registered as an exit hook by the
  // first accelerator; not meant to be called otherwise.
  static void ReleaseAllAtExitHook();

  // The session as published to callers; thread-safe. The RPC executor waits
  // in it for a ready session.
  SessionContext session_context_;

 private:
  // The deadline of the courtesy DestroySession on the way out of a stop.
  static constexpr int kStoppingDestroyTimeoutMs = 200;

  // The failure of an operation on a released accelerator.
  static ZvaRpcStatus ReleasedStatus();
  // Logs it and sets the thread's last error from it.
  void ReportReleased(const char* operation) const;

  // Set once, before the accelerator is shared; read-only afterwards.
  SelfDescription self_description_;
  const int32_t max_ping_attempts_ = 4;
  const std::string endpoint_;
  const std::string accelerator_id_;
  const std::string accelerator_type_;

  // State below is protected by mtx_stub_: Release drops it while other
  // threads may be about to make a call.
  mutable std::mutex mtx_stub_;
  std::shared_ptr<grpc::Channel> channel_;
  std::shared_ptr<zva::rpc::ZvaInference::Stub> stub_;

  std::atomic<bool> is_connected_{false};

  // Protected by mtx_: the framework object.
  std::mutex mtx_;
  std::shared_ptr<ObjectInterface> framework_object_;

  const std::string region_;
  std::atomic<bool> is_released_{false};
  const int32_t max_connect_attempts_ = 3;

  // Protected by mtx_init_and_shutdown.
  std::shared_ptr<RunOnInitAndExit> sdk_lifetime_;

  zva::config::ClientConfiguration client_config_;

  // The health-check thread, its stop flag, its wake-ups and the session
  // identifier it owns. Declared after everything it uses, so that it is
  // destroyed (and its thread joined) first.
  HealthCheck health_check_;

  // The process-wide channel table; owns neither side.
  static std::map<grpc::Channel*, Accelerator*>& s_channel_to_accel_map_;
  static std::mutex mtx_s_channel_to_accel_map_;
};

}  // namespace zva

#endif  // ZVA_CORE_ACCELERATOR_H_
