#ifndef ZVSIM_TYPES_H_
#define ZVSIM_TYPES_H_

// The simulator's options and the records it reports.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <grpcpp/support/status.h>

#include "zva/rpc/zva_service.pb.h"

#include "zvsim/signature.h"
#include "zvsim/tls.h"

namespace zvsim {

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
  kEnv,        // Options::credentials, named by Simulator::Environment()
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
  // latest Core::SetClock(). Default: 3600 s.
  std::chrono::seconds credential_ttl{3600};
  // The role the metadata service names; any other role is 404.
  // Default: "zv-sim-role".
  std::string role_name = "zv-sim-role";
  // Where the CA certificate is written. Default: "ca.pem" in a private
  // temporary directory that Simulator::Stop() removes.
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
  // Core::WaitForCalls are not.
  size_t journal_limit = 10000;
  // Time source for signature dates and session expiry; empty means the
  // system clock. Can be changed later with Core::SetClock(). It is called
  // under the simulator's lock, so it must not call into the simulator.
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

}  // namespace zvsim

#endif  // ZVSIM_TYPES_H_
