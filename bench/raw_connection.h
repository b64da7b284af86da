#ifndef ZV_BENCH_RAW_CONNECTION_H_
#define ZV_BENCH_RAW_CONNECTION_H_

// A client of the accelerator service made of generated stubs and nothing
// of the library: its own channel, its own signed Connect and its own
// session. It is the yardstick of the benchmark, so it does what the
// service requires and no more.

#include <memory>
#include <string>

#include <grpcpp/channel.h>
#include <grpcpp/client_context.h>

#include "zva/rpc/zva_service.grpc.pb.h"

namespace zvbench {

// Where the service is and who the client is; from the environment zv-sim
// prints.
struct ServiceAddress {
  std::string endpoint;        // host:port, the channel's target as written
  std::string region;          // of the signature
  std::string access_key_id;   // of the signature
  std::string secret_key;      // of the signature
  std::string session_token;   // sent when not empty
  std::string accelerator_id;  // sent with every call
  bool plaintext = false;      // else TLS, roots from gRPC's default roots
  // Also sends a request identifier and a local time stamp with every call,
  // as the library stamps its own.
  bool stamp_calls = false;
};

// Reads "ACCELERATOR_PROXYURI_OVERRIDE", "KCP_REGION", "KCP_ACCESS_KEY_ID",
// "KCP_SECRET_ACCESS_KEY", "KCP_SESSION_TOKEN", "ZV_BENCH_RAW_STAMPS" (present:
// stamp_calls) and "ZVL_TLS_OPTION_DISABLED"
// (present: plaintext; TLS finds its roots through
// "GRPC_DEFAULT_SSL_ROOTS_FILE_PATH"). False, with *error set, when one that
// is needed is missing.
bool AddressFromEnvironment(const std::string& accelerator_id,
                            ServiceAddress* address, std::string* error);

// One channel with a session on it and one model loaded.
//
// Thread safety: after Open, stub(), session_id() and AddCallMetadata may be
// used from several threads at once.
class RawConnection {
 public:
  // Opens the channel (receives of any size), connects with a signature,
  // opens a session for `framework` and loads the model `model_id`. False,
  // with *error set, on failure.
  bool Open(const ServiceAddress& address, const std::string& framework,
            const std::string& model_id, std::string* error);

  // Sets what every call but Connect carries: the accelerator header and a
  // deadline a minute away.
  void PrepareContext(grpc::ClientContext* context) const;

  const std::shared_ptr<grpc::Channel>& channel() const { return channel_; }
  zva::rpc::ZvaInference::Stub* stub() const { return stub_.get(); }
  const std::string& session_id() const { return session_id_; }
  const std::string& model_id() const { return model_id_; }

 private:
  ServiceAddress address_;
  std::shared_ptr<grpc::Channel> channel_;
  std::unique_ptr<zva::rpc::ZvaInference::Stub> stub_;
  std::string session_id_;
  std::string model_id_;
};

}  // namespace zvbench

#endif  // ZV_BENCH_RAW_CONNECTION_H_
