#ifndef ZVSIM_CORE_H_
#define ZVSIM_CORE_H_

// The state and behaviour of the simulated proxy, accelerators and metadata
// service, apart from the servers that carry them. Thread-safe: one mutex
// guards everything, and one condition variable announces every change that
// someone may wait for (completed calls, restarts, interruptions).

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <grpcpp/grpcpp.h>

#include "zva/rpc/zva_data.pb.h"
#include "zva/rpc/zva_service.grpc.pb.h"

#include "zvsim/simulator.h"

namespace zvsim {

class Core {
 public:
  explicit Core(const Options& options);

  // ---- Configuration, set while the servers start ------------------------
  std::vector<AcceleratorSpec> accelerators() const;
  Credentials credentials();
  std::vector<Credentials> IssuedCredentials() const;
  std::string region() const;

  // ---- Serving -----------------------------------------------------------
  // Handles one call of `method`. `body` runs under the lock once every
  // common check has passed; it reads the call's metadata from `call` and
  // may add a detail for the journal.
  template <typename Request, typename Response>
  grpc::Status Handle(const char* method, grpc::ServerContext* context,
                      const Request* request, Response* response,
                      grpc::Status (Core::*body)(CallRecord* call,
                                                 const Request& request,
                                                 Response* response));

  grpc::Status DoConnect(CallRecord* call,
                         const zva::rpc::ConnectRequest& request,
                         zva::rpc::ConnectResponse* response);
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
  bool WaitForRestarts(int n, std::chrono::milliseconds timeout);

  // ---- Metadata service --------------------------------------------------
  struct HttpAnswer {
    int status = 200;
    std::string body;
    std::string content_type = "text/plain";
  };
  // Answers GET `path`, applying overrides (and their delay).
  HttpAnswer AnswerMetadata(const std::string& path);

  // ---- Public API of Simulator, forwarded --------------------------------
  void FailNext(const std::string& method, int count, grpc::StatusCode code,
                const std::string& message, const std::string& accel);
  void SetDelay(const std::string& method, std::chrono::milliseconds delay,
                const std::string& accel);
  void ClearFaults();
  void DropAllSessions();
  void ForgetAllModels();
  void SetHealthy(const std::string& accel, bool healthy);
  void SetClock(Clock clock);
  void SetSessionExpiry(std::chrono::milliseconds expiry);
  void SetOperatorWhitelist(std::vector<std::string> operators);
  void SetMetadataOverride(const std::string& path, MetadataOverride o);
  void ClearMetadataOverrides();
  size_t MetadataRequestCount(const std::string& path) const;
  bool WaitForMetadataRequests(const std::string& path, size_t n,
                               std::chrono::milliseconds timeout);
  bool WaitForDelayedCalls(const std::string& method, size_t n,
                           std::chrono::milliseconds timeout);
  void SetCallObserver(std::function<void(const CallRecord&)> observer);
  std::vector<CallRecord> Journal() const;
  void ClearJournal();
  size_t CallCount(const std::string& method,
                   std::optional<grpc::StatusCode> code) const;
  bool WaitForCalls(const std::string& method, size_t n,
                    std::chrono::milliseconds timeout,
                    std::optional<grpc::StatusCode> code);
  bool WaitForJournal(
      const std::function<bool(const std::deque<CallRecord>&)>& predicate,
      std::chrono::milliseconds timeout);
  std::vector<SessionInfo> Sessions();
  std::vector<std::string> Models(const std::string& accel) const;
  std::vector<GraphStatsRecord> GraphStats() const;
  std::vector<std::string> ConnectedPeers() const;

 private:
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
  // Finds the live session `id` of `accel`, dropping it first if expired.
  Session* FindSessionLocked(const std::string& id, const std::string& accel);
  void ExpireSessionsLocked();
  std::chrono::milliseconds DelayForLocked(const std::string& method,
                                           const std::string& accel) const;
  bool TakeFailureLocked(const std::string& method, const std::string& accel,
                         grpc::Status* status);
  void RecordLocked(const CallRecord& record);

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

// The generated service, forwarding every method to `core`. One per server
// generation (a restart builds a new server and a new service).
std::unique_ptr<grpc::Service> NewService(Core* core);

// Random lower-case hex text of `digits` digits, from OpenSSL's generator.
std::string RandomHex(size_t digits);
// Random text of `size` characters of `alphabet`, from the same generator.
std::string RandomText(size_t size, const std::string& alphabet);

}  // namespace zvsim

#endif  // ZVSIM_CORE_H_
