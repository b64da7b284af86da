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
//
// The servers and their lifecycle are Simulator's; what they serve (and
// what tests change and read) is its Core, zvsim/core.h.

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "zvsim/core.h"
#include "zvsim/signature.h"
#include "zvsim/types.h"

namespace zvsim {

class MetadataServer;
class GrpcFrontEnd;

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
  std::vector<AcceleratorSpec> accelerators() const;
  std::vector<std::string> AcceleratorIds() const;
  // The variables a client needs, in the order zv-sim prints them.
  std::vector<std::pair<std::string, std::string>> Environment() const;

  // ---- Restarts ----------------------------------------------------------
  // Stops the gRPC server (every connection breaks, calls in progress are
  // cancelled, connected peers are forgotten), waits `downtime`, and serves
  // again on the same port. Sessions and models survive. Blocks; false if
  // the simulator is not running or the port could not be bound again.
  bool Restart(std::chrono::milliseconds downtime);
  // The same on a background thread; returns at once.
  // core().WaitForRestarts() tells when it is done.
  void RestartAsync(std::chrono::milliseconds downtime);
  // Breaks every connection at once: Restart with no downtime.
  bool DropAllConnections() { return Restart(std::chrono::milliseconds(0)); }

  // ---- Everything the servers share --------------------------------------
  // Credentials, the fault plan, settings, the journal, sessions and
  // models. Valid from construction to destruction; thread-safe, so a
  // const simulator hands it out too: serving changes it all the same.
  Core& core() const { return *core_; }

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
