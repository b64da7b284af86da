#ifndef ZV_TESTS_SUPPORT_SIM_CLIENT_H_
#define ZV_TESTS_SUPPORT_SIM_CLIENT_H_

// Driving the simulator through a raw generated stub, without the library:
// a client with the calls tests make, a clock tests move by hand, and the
// metadata documents over plain HTTP.

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include <grpcpp/grpcpp.h>
#include <httplib.h>

#include "zva/rpc/zva_service.grpc.pb.h"

#include "zvsim/signature.h"
#include "zvsim/simulator.h"

namespace zvtest {

using std::chrono::milliseconds;
using std::chrono::seconds;

// A clock tests move by hand. Thread-safe.
class ManualClock {
 public:
  explicit ManualClock(std::chrono::system_clock::time_point start)
      : now_(start.time_since_epoch().count()) {}
  zvsim::Clock AsClock() {
    return [this] {
      return std::chrono::system_clock::time_point(
          std::chrono::system_clock::duration(now_.load()));
    };
  }
  void Advance(std::chrono::system_clock::duration d) { now_ += d.count(); }

 private:
  std::atomic<std::chrono::system_clock::rep> now_;
};

// Status and body of GET `path`; status -1 when the request failed.
inline std::pair<int, std::string> HttpGet(httplib::Client& client,
                                           const std::string& path) {
  auto result = client.Get(path.c_str());
  if (!result) return {-1, ""};
  return {result->status, result->body};
}

// 2026-12-07 12:34:56 UTC.
inline std::chrono::system_clock::time_point KnownTime() {
  return std::chrono::system_clock::from_time_t(1796646896);
}

// A channel of its own: a private subchannel pool, so two clients never
// share a connection (and so a peer) the way channels normally may.
inline std::shared_ptr<grpc::Channel> OwnChannel(
    const std::string& target,
    std::shared_ptr<grpc::ChannelCredentials> credentials) {
  grpc::ChannelArguments args;
  args.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
  return grpc::CreateCustomChannel(target, credentials, args);
}

inline std::shared_ptr<grpc::ChannelCredentials> CredentialsFor(
    const zvsim::Simulator& sim) {
  if (sim.plaintext()) return grpc::InsecureChannelCredentials();
  grpc::SslCredentialsOptions ssl;
  ssl.pem_root_certs = sim.CaCertificate();
  return grpc::SslCredentials(ssl);
}

// One client connection with the calls a test needs.
class Client {
 public:
  Client(const zvsim::Simulator& sim, std::string accelerator_id)
      : sim_(sim),
        accelerator_id_(std::move(accelerator_id)),
        channel_(OwnChannel(sim.Endpoint(), CredentialsFor(sim))),
        stub_(zva::rpc::ZvaInference::NewStub(channel_)) {}

  zva::rpc::ZvaInference::Stub* stub() { return stub_.get(); }
  const std::string& accelerator_id() const { return accelerator_id_; }

  // A context with the accelerator header and a deadline.
  std::unique_ptr<grpc::ClientContext> Context(
      milliseconds timeout = milliseconds(10000)) {
    auto context = std::make_unique<grpc::ClientContext>();
    if (!accelerator_id_.empty()) {
      context->AddMetadata("x-kstrn-zva-accelerator-id", accelerator_id_);
    }
    context->AddMetadata("x-kstrn-request-id", "PT-test");
    context->set_deadline(std::chrono::system_clock::now() + timeout);
    context->set_wait_for_ready(true);
    return context;
  }

  // A Connect signed for `now` with the simulator's own credentials and
  // region, over the authority the channel uses.
  grpc::Status Connect(std::chrono::system_clock::time_point now =
                           std::chrono::system_clock::now()) {
    return ConnectWith(sim_.core().credentials(), now);
  }

  // The same with `credentials`, sending their session token if any.
  grpc::Status ConnectWith(const zvsim::Credentials& credentials,
                           std::chrono::system_clock::time_point now) {
    zvsim::SignedConnect request;
    request.authority = sim_.Endpoint();
    request.accelerator_id = accelerator_id_;
    request.date = zvsim::FormatKcpDate(now);
    zvsim::ConnectVerifier signer(credentials, sim_.region());
    auto context = Context();
    context->AddMetadata("authorization", signer.AuthorizationFor(request));
    context->AddMetadata("x-kst-date", request.date);
    if (!credentials.session_token.empty()) {
      context->AddMetadata("x-kst-security-token", credentials.session_token);
    }
    zva::rpc::ConnectRequest req;
    zva::rpc::ConnectResponse resp;
    return stub_->Connect(context.get(), req, &resp);
  }

  grpc::Status InitSession(std::string* session_id,
                           const std::string& model_type = "mxnet") {
    auto context = Context();
    zva::rpc::InitSessionRequest req;
    req.set_zva_id(accelerator_id_);
    req.mutable_session_config()->set_model_type(model_type);
    req.mutable_session_config()->set_zvl_version("1.5.3");
    zva::rpc::InitSessionResponse resp;
    grpc::Status status = stub_->InitSession(context.get(), req, &resp);
    *session_id = resp.session().session_id();
    return status;
  }

  grpc::Status KeepAlive(const std::string& session_id) {
    auto context = Context();
    zva::rpc::KeepAliveSessionRequest req;
    req.mutable_session()->set_session_id(session_id);
    zva::rpc::KeepAliveSessionResponse resp;
    return stub_->KeepAliveSession(context.get(), req, &resp);
  }

  grpc::Status Ping(zva::rpc::HealthState* state = nullptr,
                    milliseconds timeout = milliseconds(10000)) {
    auto context = Context(timeout);
    zva::rpc::PingRequest req;
    zva::rpc::PingResponse resp;
    grpc::Status status = stub_->Ping(context.get(), req, &resp);
    if (state != nullptr) *state = resp.health_state();
    return status;
  }

 private:
  const zvsim::Simulator& sim_;
  std::string accelerator_id_;
  std::shared_ptr<grpc::Channel> channel_;
  std::unique_ptr<zva::rpc::ZvaInference::Stub> stub_;
};

}  // namespace zvtest

#endif  // ZV_TESTS_SUPPORT_SIM_CLIENT_H_
