#ifndef ZVSIM_SIMULATOR_H_
#define ZVSIM_SIMULATOR_H_

// zvsim: a local stand-in for everything outside the host. It answers the
// accelerator service (all methods of zva.rpc.ZvaInference) on loopback, the
// way the regional proxy and its accelerators would, and serves the host
// metadata documents over HTTP. Tests use it in-process; the zv-sim program
// wraps it for scripts and people.
//
// Behaviour of the accelerator service:
//  - every call must carry "x-kstrn-zva-accelerator-id": missing gives
//    FAILED_PRECONDITION "20 missing accelerator id header", an unknown one
//    NOT_FOUND "21 accelerator id not found";
//  - Connect verifies the request signature (see signature.h); a failure is
//    UNAUTHENTICATED "6 authentication failed". A success marks the calling
//    connection (grpc::ServerContext::peer()) as connected; every other call
//    but GetZvaInfo from a peer that is not connected fails with
//    FAILED_PRECONDITION "19 connect expected";
//  - session-scoped calls on an unknown, expired or foreign session fail with
//    NOT_FOUND "12 session not found"; a session expires when neither
//    InitSession, ReconnectSession nor KeepAliveSession touched it for the
//    session expiry (expiry is checked lazily, on access);
//  - models live per accelerator, across sessions; Infer on a model not
//    loaded fails with NOT_FOUND "9 model not found"; Infer echoes its
//    inputs (output i is input i's tensor, named after the i-th requested
//    output name when there is one, else after the input);
//  - every failure message starts with the service status code in decimal.
//
// Credentials (Options::credentials_source): either one fixed set, which
// Environment() names, or short-lived sets that the metadata service hands
// out as the host role's and as the container credentials endpoint's. A
// short-lived set is current for one credential_ttl, then the previous set
// for one more; Connect accepts a signature made with either, with that
// set's session token, and announces to clients that a set expires when it
// stops being accepted. A connection stays connected while the set it
// authenticated with is accepted; afterwards its calls fail with
// "19 connect expected" until it connects again, as a proxy does when the
// credentials of a connection expire.
//
// Checks run in this order: injected delay, accelerator header, injected
// failure, connected peer, the method itself.

#include <atomic>
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
#include <thread>
#include <utility>
#include <vector>

#include <grpcpp/support/status.h>

#include "zva/rpc/zva_service.pb.h"

#include "zvsim/signature.h"
#include "zvsim/tls.h"

namespace zvsim {

class Core;
class MetadataServer;
class GrpcFrontEnd;

// The method names of ZvaInference, in the order the service declares them.
const std::vector<std::string>& MethodNames();
bool IsMethodName(const std::string& name);

enum class HostKind { kVm, kContainer };

// What the instance identity document looks like.
enum class IdentityDocument {
  kWithRegion,     // {"region": <region>, ...}
  kWithoutRegion,  // a document without "region"
  kAbsent,         // 404, so clients fall back to KCP_REGION
};

// Where clients find the credentials of their Connect signatures.
enum class CredentialsSource {
  kEnv,        // Options::credentials, named by Environment()
  kRole,       // the host role of the instance metadata service
  kContainer,  // the container credentials endpoint
};

struct AcceleratorSpec {
  // Generated ("zva-" and 17 hex digits) when empty.
  std::string id;
  // One of "zva1.medium" .. "zva2.xlarge"; decides tops and memory.
  std::string type = "zva1.medium";
  // The device name the container documents report ("deviceId").
  // Generated ("zvadev" and the accelerator's index) when empty.
  std::string device_name;
};

struct Options {
  // Default (empty): one accelerator of type "zva1.medium".
  std::vector<AcceleratorSpec> accelerators;
  // Only decides which variables Environment() names; both kinds of
  // documents are always served.
  HostKind host_kind = HostKind::kVm;
  // The region the signatures are scoped to and the identity document names.
  std::string region = "us-west-2";
  IdentityDocument identity_document = IdentityDocument::kWithRegion;
  // Loopback ports; 0 picks free ones.
  int grpc_port = 0;
  int metadata_port = 0;
  // Plain-text gRPC instead of TLS with a generated CA.
  bool plaintext = false;
  // Generated when the key id or the secret is empty. Used with
  // CredentialsSource::kEnv only.
  Credentials credentials;
  // kRole and kContainer serve short-lived sets at both places (the host
  // role at "/latest/meta-data/kcp/security-credentials/" + role_name, and
  // ContainerCredentialsUri()); the source only decides what Environment()
  // names: no key at all, plus KCP_CONTAINER_CREDENTIALS_URI for
  // kContainer. With kEnv both places answer 404. Default: kEnv.
  CredentialsSource credentials_source = CredentialsSource::kEnv;
  // How long a short-lived set stays current; it is accepted for twice as
  // long. Counted on the simulator's clock from its start, or from the
  // latest SetClock(). Default: 3600 s.
  std::chrono::seconds credential_ttl{3600};
  // The role the metadata service names; any other role is 404.
  // Default: "zv-sim-role".
  std::string role_name = "zv-sim-role";
  // Where the CA certificate is written. Default: "ca.pem" in a private
  // temporary directory that Stop() removes.
  std::string ca_file;
  // The CA and server certificate. Default: one set generated once per
  // process and shared by every simulator in it, because a gRPC client
  // reads its default roots (GRPC_DEFAULT_SSL_ROOTS_FILE_PATH) only once
  // per process: a client process can then trust every simulator it meets.
  std::optional<TlsMaterial> tls_material;
  // Default: 30 s.
  std::chrono::milliseconds session_expiry{30000};
  // What GetOperatorWhitelist answers.
  std::vector<std::string> operator_whitelist = {
      "Activation", "BatchNorm",      "Concat",  "Convolution",
      "Flatten",    "FullyConnected", "Pooling", "SoftmaxOutput"};
  // Keep a copy of each request message in the journal. Turn off when
  // large tensors make the copies expensive.
  bool journal_requests = true;
  // Oldest journal entries are dropped beyond this; the call counts behind
  // WaitForCalls are not.
  size_t journal_limit = 10000;
  // Time source for signature dates and session expiry; empty means the
  // system clock. Can be changed later with SetClock(). It is called under
  // the simulator's lock, so it must not call into the simulator.
  Clock clock;
};

// One call as the service saw and answered it.
struct CallRecord {
  std::string method;
  // The "x-kstrn-zva-accelerator-id" value; empty when missing.
  std::string accelerator_id;
  // All request metadata, as received.
  std::multimap<std::string, std::string> metadata;
  // The ":authority" the client addressed.
  std::string authority;
  // Time left until the call's deadline when it arrived; -1 without one.
  int64_t deadline_ms = -1;
  std::string peer;
  grpc::StatusCode code = grpc::StatusCode::OK;
  std::string message;
  // Why the simulator failed the call, beyond its message (e.g. what was
  // wrong with a signature); empty on success.
  std::string detail;
  // A copy of the request; null when Options::journal_requests is off.
  std::shared_ptr<const google::protobuf::Message> request;

  template <typename T>
  const T* RequestAs() const {
    return dynamic_cast<const T*>(request.get());
  }
  // The first value of metadata `key`, or empty.
  std::string Metadata(const std::string& key) const;
};

struct SessionInfo {
  std::string session_id;
  std::string accelerator_id;
  std::string peer;  // the peer that created or last resumed it
  zva::rpc::SessionConfig config;
};

struct GraphStatsRecord {
  std::string accelerator_id;
  std::string session_id;
  zva::rpc::GraphStats stats;
};

// Replaces parts of one metadata response. Unset parts keep their normal
// value.
struct MetadataOverride {
  std::optional<int> status;
  std::optional<std::string> body;
  std::chrono::milliseconds delay{0};
  // Requests of the path answered normally before the override applies, so
  // that a later discovery run sees something else than an earlier one.
  // Counted since the simulator started. Default: 0 (every request).
  size_t after_requests = 0;
};

// The simulator. Thread-safe: every method may be called from any thread,
// also while calls are being served. Start() and Stop() may each be called
// once; the destructor calls Stop().
class Simulator {
 public:
  explicit Simulator(Options options = Options());
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Generates what the options leave open, writes the CA file (TLS) and
  // starts both servers. False, with `error` set, on failure.
  bool Start(std::string* error = nullptr);
  // Stops both servers (calls in progress are cancelled, delayed ones woken)
  // and removes the temporary directory. Idempotent.
  void Stop();

  // ---- Addresses and configuration (valid after Start) ------------------
  int grpc_port() const;
  int metadata_port() const;
  // "127.0.0.1:<grpc port>", the value for ACCELERATOR_PROXYURI_OVERRIDE.
  std::string Endpoint() const;
  // "http://127.0.0.1:<metadata port>", the instance metadata base.
  std::string MetadataUri() const;
  // MetadataUri() + "/container", the container metadata base.
  std::string ContainerMetadataUri() const;
  // MetadataUri() + "/container/credentials", the container credentials
  // endpoint (KCP_CONTAINER_CREDENTIALS_URI).
  std::string ContainerCredentialsUri() const;
  // Empty in plain-text mode.
  std::string CaFile() const;
  std::string CaCertificate() const;
  bool plaintext() const;
  std::string region() const;
  // The credentials a Connect signature made now should use: the fixed set,
  // or the current short-lived one.
  Credentials credentials() const;
  // Every set the simulator has made so far, oldest first (one for kEnv),
  // so that tests can look for any of them where none may appear.
  std::vector<Credentials> IssuedCredentials() const;
  std::vector<AcceleratorSpec> accelerators() const;
  std::vector<std::string> AcceleratorIds() const;
  // The variables a client needs, in the order zv-sim prints them.
  std::vector<std::pair<std::string, std::string>> Environment() const;

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
  // Ping and GetZvaInfo report the accelerator's health. Throws
  // std::invalid_argument for an unknown accelerator.
  void SetHealthy(const std::string& accelerator_id, bool healthy);
  // Stops the gRPC server (every connection breaks, calls in progress are
  // cancelled, connected peers are forgotten), waits `downtime`, and serves
  // again on the same port. Sessions and models survive. Blocks; false if
  // the simulator is not running or the port could not be bound again.
  bool Restart(std::chrono::milliseconds downtime);
  // The same on a background thread; returns at once. WaitForRestarts()
  // tells when it is done.
  void RestartAsync(std::chrono::milliseconds downtime);
  // Waits until `n` restarts (blocking or not) have completed in total.
  bool WaitForRestarts(int n, std::chrono::milliseconds timeout);
  // Breaks every connection at once: Restart with no downtime.
  bool DropAllConnections() { return Restart(std::chrono::milliseconds(0)); }

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
  // the serving thread; it must not call Restart, DropAllConnections or
  // Stop, which wait for that thread.
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
  std::vector<SessionInfo> Sessions() const;
  // Model ids loaded on `accelerator_id`, sorted.
  std::vector<std::string> Models(const std::string& accelerator_id) const;
  std::vector<GraphStatsRecord> GraphStats() const;
  std::vector<std::string> ConnectedPeers() const;

 private:
  bool StartGrpcLocked(int port, std::string* error);
  void StopGrpcLocked();

  Options options_;
  std::unique_ptr<Core> core_;

  // Serialises Start, Stop and restarts. State below is protected by it.
  mutable std::mutex mtx_lifecycle_;
  bool running_ = false;
  bool stopped_ = false;
  std::unique_ptr<GrpcFrontEnd> grpc_;
  std::unique_ptr<MetadataServer> metadata_;
  std::string temp_dir_;  // removed by Stop when we created it
  std::string ca_file_;
  std::string ca_certificate_;
  std::string server_certificate_;
  std::string server_key_;
  // Read without the lock by the accessors.
  std::atomic<int> grpc_port_{0};
  std::atomic<int> metadata_port_{0};

  // Background restarts; guarded by mtx_restarts_.
  std::mutex mtx_restarts_;
  std::vector<std::thread> restart_threads_;
};

}  // namespace zvsim

#endif  // ZVSIM_SIMULATOR_H_
