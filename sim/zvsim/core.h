#ifndef ZVSIM_CORE_H_
#define ZVSIM_CORE_H_

// The state and behaviour of the simulated proxy, accelerators and metadata
// service, apart from the servers that carry them: credentials, sessions and
// models, the fault plan, the journal. Tests reach it through
// Simulator::core().
//
// Thread-safe: every method may be called from any thread, also while calls
// are being served. One mutex guards everything, and one condition variable
// announces every change that someone may wait for (completed calls,
// restarts, interruptions).

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <grpcpp/support/status.h>

#include "zva/rpc/zva_data.pb.h"
#include "zva/rpc/zva_service.pb.h"

#include "zvsim/signature.h"
#include "zvsim/types.h"

namespace grpc {
class ServerContext;
}  // namespace grpc

namespace zvsim {

class Core {
 public:
  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;

  // ---- Credentials -------------------------------------------------------
  // The credentials a Connect signature made now should use: the fixed set,
  // or the current short-lived one.
  Credentials credentials();
  // Every set the simulator has made so far, oldest first (one for kEnv),
  // so that tests can look for any of them where none may appear.
  std::vector<Credentials> IssuedCredentials() const;

  // ---- Fault plan --------------------------------------------------------
  // `method` is a method name or "*" for all; `accelerator_id` empty means
  // every accelerator. Unknown names throw std::invalid_argument.

  // Fails the next `count` matching calls with `code` and `message` (whose
  // leading number should be the service status code, e.g. "14 busy").
  // Rules queue up and are used in the order they were added.
  void FailNext(const std::string& method, int count, grpc::StatusCode code,
                const std::string& message,
                const std::string& accelerator_id = "");
  // Delays every matching call by `delay` before anything else happens to
  // it; zero removes the delay. A delayed call whose client has given up
  // by then is answered CANCELLED.
  void SetDelay(const std::string& method, std::chrono::milliseconds delay,
                const std::string& accelerator_id = "");
  // Removes pending failures and delays.
  void ClearFaults();
  void DropAllSessions();
  void ForgetAllModels();
  // Ping and GetZvaInfo report the accelerator's health; "*" sets every
  // accelerator. Throws std::invalid_argument for an unknown accelerator.
  void SetHealthy(const std::string& accelerator_id, bool healthy);
  // Waits until `n` restarts (Simulator::Restart, blocking or not) have
  // completed in total.
  bool WaitForRestarts(int n, std::chrono::milliseconds timeout);

  // ---- Other settings ----------------------------------------------------
  // Empty restores the system clock. Short-lived credentials are counted
  // from the new clock's now: a fresh set becomes current and the current
  // one the previous set.
  void SetClock(Clock clock);
  void SetSessionExpiry(std::chrono::milliseconds expiry);
  void SetOperatorWhitelist(std::vector<std::string> operators);
  // Per-path overrides of the metadata server; `path` is the request path,
  // e.g. "/latest/dynamic/instance-identity/document".
  void SetMetadataOverride(const std::string& path, MetadataOverride o);
  void ClearMetadataOverrides();
  // HTTP requests served for `path` so far.
  size_t MetadataRequestCount(const std::string& path) const;
  // Waits until MetadataRequestCount(path) >= n (counted when a request
  // arrives, before any delay); false on timeout.
  bool WaitForMetadataRequests(const std::string& path, size_t n,
                               std::chrono::milliseconds timeout);
  // Waits until `n` calls of `method` in total have entered an injected
  // delay (they are then in flight); false on timeout.
  bool WaitForDelayedCalls(const std::string& method, size_t n,
                           std::chrono::milliseconds timeout);
  // Called after every completed call, outside the simulator's locks, on
  // the serving thread; it must not call Simulator::Restart,
  // DropAllConnections or Stop, which wait for that thread.
  void SetCallObserver(std::function<void(const CallRecord&)> observer);

  // ---- Journal and state -------------------------------------------------
  std::vector<CallRecord> Journal() const;
  // Empties the journal and resets the call counts.
  void ClearJournal();
  // Completed calls of `method` ("*" for all) since the last ClearJournal,
  // optionally only those answered with `code`.
  size_t CallCount(const std::string& method,
                   std::optional<grpc::StatusCode> code = std::nullopt) const;
  // Waits until CallCount(method, code) >= n; false on timeout.
  bool WaitForCalls(const std::string& method, size_t n,
                    std::chrono::milliseconds timeout,
                    std::optional<grpc::StatusCode> code = std::nullopt);
  // Waits until `predicate` holds for the journal; it runs under the
  // simulator's lock and must not call back into the simulator.
  bool WaitForJournal(
      const std::function<bool(const std::deque<CallRecord>&)>& predicate,
      std::chrono::milliseconds timeout);

  // Live sessions (expired ones are dropped first).
  std::vector<SessionInfo> Sessions();
  // Model ids loaded on `accelerator_id`, sorted.
  std::vector<std::string> Models(const std::string& accelerator_id) const;
  std::vector<GraphStatsRecord> GraphStats() const;
  std::vector<std::string> ConnectedPeers() const;

 private:
  // The simulator makes its core and drives it from its lifecycle; the
  // servers hand it their requests.
  friend class Simulator;
  friend class MetadataServer;
  friend class CoreService;

  struct Accelerator {
    AcceleratorSpec desc;
    bool healthy = true;
    std::map<std::string, zva::rpc::ModelSpec> models;
  };
  struct Session {
    SessionInfo info;
    std::chrono::system_clock::time_point last_seen;
  };
  struct FailRule {
    std::string method;  // or "*"
    std::string accel;   // empty: all
    int remaining = 0;
    grpc::StatusCode code = grpc::StatusCode::UNKNOWN;
    std::string message;
  };
  struct DelayRule {
    std::string method;
    std::string accel;
    std::chrono::milliseconds delay{0};
  };
  struct HttpAnswer {
    int status = 200;
    std::string body;
    std::string content_type = "text/plain";
  };

  // `options` as the simulator resolved them.
  explicit Core(const Options& options);

  // ---- Serving (core.cc) -------------------------------------------------
  // Handles one call of `method`. `body` runs under the lock once every
  // common check has passed; it reads the call's metadata from `call` and
  // may add a detail for the journal.
  template <typename Request, typename Response>
  grpc::Status Handle(const char* method, grpc::ServerContext* context,
                      const Request* request, Response* response,
                      grpc::Status (Core::*body)(CallRecord* call,
                                                 const Request& request,
                                                 Response* response));

  // ---- Lifecycle hooks (core.cc) -----------------------------------------
  // Wakes every delayed call and metadata response at once, for a server
  // that is about to stop.
  void Interrupt();
  // Forgets every connected peer: their connections are gone.
  void ForgetPeers();
  void NoteRestart();
  // Marks the simulator as stopping and wakes every wait; final.
  void RequestStop();
  bool StopRequested() const;
  // Waits up to `timeout` for RequestStop; true if it came.
  bool WaitForStop(std::chrono::milliseconds timeout);

  // ---- Credentials (core_credentials.cc) ---------------------------------
  std::chrono::system_clock::time_point NowLocked() const;
  bool Rotating() const {
    return credentials_source_ != CredentialsSource::kEnv;
  }
  // Brings the short-lived sets up to the clock: one rotation per TTL
  // passed since the epoch. Does nothing for fixed credentials.
  void RotateLocked();
  // Makes a short-lived set and remembers it in issued_.
  Credentials NewSetLocked();
  // The credentials document of the current short-lived set.
  std::string CredentialsDocumentLocked(bool with_code);
  // Whether `peer` is connected with credentials still accepted; forgets
  // it, with a note in `detail`, when they are not.
  bool PeerConnectedLocked(const std::string& peer, std::string* detail);
  grpc::Status DoConnect(CallRecord* call,
                         const zva::rpc::ConnectRequest& request,
                         zva::rpc::ConnectResponse* response);

  // ---- Sessions and models (core_sessions.cc) ----------------------------
  grpc::Status DoInitSession(CallRecord* call,
                             const zva::rpc::InitSessionRequest& request,
                             zva::rpc::InitSessionResponse* response);
  grpc::Status DoReconnectSession(
      CallRecord* call, const zva::rpc::ReconnectSessionRequest& request,
      zva::rpc::ReconnectSessionResponse* response);
  grpc::Status DoKeepAliveSession(
      CallRecord* call, const zva::rpc::KeepAliveSessionRequest& request,
      zva::rpc::KeepAliveSessionResponse* response);
  grpc::Status DoDestroySession(CallRecord* call,
                                const zva::rpc::DestroySessionRequest& request,
                                zva::rpc::DestroySessionResponse* response);
  grpc::Status DoLoadModel(CallRecord* call,
                           const zva::rpc::LoadModelRequest& request,
                           zva::rpc::LoadModelResponse* response);
  grpc::Status DoInfer(CallRecord* call, const zva::rpc::InferRequest& request,
                       zva::rpc::InferResponse* response);
  grpc::Status DoUnloadModel(CallRecord* call,
                             const zva::rpc::UnloadModelRequest& request,
                             zva::rpc::UnloadModelResponse* response);
  grpc::Status DoListModels(CallRecord* call,
                            const zva::rpc::ListModelsRequest& request,
                            zva::rpc::ListModelsResponse* response);
  grpc::Status DoGetZvaInfo(CallRecord* call,
                            const zva::rpc::GetZvaInfoRequest& request,
                            zva::rpc::GetZvaInfoResponse* response);
  grpc::Status DoPing(CallRecord* call, const zva::rpc::PingRequest& request,
                      zva::rpc::PingResponse* response);
  grpc::Status DoGetOperatorWhitelist(
      CallRecord* call, const zva::rpc::GetOperatorWhitelistRequest& request,
      zva::rpc::GetOperatorWhitelistResponse* response);
  grpc::Status DoPostGraphStats(CallRecord* call,
                                const zva::rpc::PostGraphStatsRequest& request,
                                zva::rpc::PostGraphStatsResponse* response);
  // Finds the live session `id` of `accel`, dropping it first if expired.
  Session* FindSessionLocked(const std::string& id, const std::string& accel);
  void ExpireSessionsLocked();

  // ---- Fault plan (core_faults.cc) ---------------------------------------
  std::chrono::milliseconds DelayForLocked(const std::string& method,
                                           const std::string& accel) const;
  bool TakeFailureLocked(const std::string& method, const std::string& accel,
                         grpc::Status* status);

  // ---- Journal (core_journal.cc) -----------------------------------------
  void RecordLocked(const CallRecord& record);

  // ---- Metadata service (core_metadata.cc) -------------------------------
  // Answers GET `path`, applying overrides (and their delay).
  HttpAnswer AnswerMetadata(const std::string& path);

  const bool journal_requests_;
  const size_t journal_limit_;

  mutable std::mutex mtx_;
  std::condition_variable cv_;
  // State below is protected by mtx_.
  std::vector<AcceleratorSpec> specs_;
  std::map<std::string, Accelerator> accelerators_;
  // The fixed set, or the current short-lived one.
  Credentials credentials_;
  const CredentialsSource credentials_source_;
  const std::chrono::seconds credential_ttl_;
  const std::string role_name_;
  // Short-lived sets: set number n is current from epoch + n * TTL on.
  std::chrono::system_clock::time_point rotation_epoch_;
  int64_t set_number_ = 0;
  Credentials previous_set_;  // empty until the first rotation
  std::vector<Credentials> issued_;
  std::string region_;
  IdentityDocument identity_document_;
  Clock clock_;
  std::chrono::milliseconds session_expiry_;
  std::vector<std::string> operator_whitelist_;
  std::map<std::string, Session> sessions_;
  // Connected peer -> the access key id it authenticated with.
  std::map<std::string, std::string> connected_peers_;
  std::vector<FailRule> fail_rules_;
  std::vector<DelayRule> delay_rules_;
  std::vector<GraphStatsRecord> graph_stats_;
  std::deque<CallRecord> journal_;
  // (method, code) -> completed calls since the last ClearJournal.
  std::map<std::pair<std::string, int>, size_t> counts_;
  uint64_t interrupt_epoch_ = 0;
  bool stop_requested_ = false;
  int restarts_ = 0;
  std::map<std::string, MetadataOverride> metadata_overrides_;
  std::map<std::string, size_t> metadata_requests_;
  // method -> calls that entered an injected delay.
  std::map<std::string, size_t> delayed_calls_;
  std::function<void(const CallRecord&)> observer_;
};

}  // namespace zvsim

#endif  // ZVSIM_CORE_H_
