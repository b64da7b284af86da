#include "zvsim/simulator.h"

#include <climits>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>

#include <grpcpp/grpcpp.h>
#include <grpcpp/security/server_credentials.h>
#include <stdlib.h>

#include "core_internal.h"
#include "metadata_server.h"
#include "zvsim/tls.h"

namespace zvsim {

// One generation of the gRPC server: a restart replaces it whole.
class GrpcFrontEnd {
 public:
  std::unique_ptr<grpc::Service> service;
  std::unique_ptr<grpc::Server> server;
};

namespace {

// Fills in what the options leave open, once, so that the accessors agree
// before and after Start.
Options Resolve(Options options) {
  if (options.accelerators.empty()) options.accelerators.emplace_back();
  for (size_t i = 0; i < options.accelerators.size(); ++i) {
    AcceleratorSpec& desc = options.accelerators[i];
    if (desc.id.empty()) desc.id = "zva-" + RandomHex(17);
    if (desc.device_name.empty())
      desc.device_name = "zvadev" + std::to_string(i);
  }
  Credentials& c = options.credentials;
  if (c.access_key_id.empty() || c.secret_access_key.empty()) {
    c.access_key_id =
        "KCPSIM" + RandomText(14, "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567");
    c.secret_access_key = RandomText(
        40, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/+");
  }
  return options;
}

// The material every simulator of the process uses unless told otherwise.
bool SharedTlsMaterial(TlsMaterial* out, std::string* error) {
  struct Shared {
    TlsMaterial material;
    std::string error;
    bool ok = false;
  };
  static const Shared shared = [] {
    Shared s;
    s.ok = GenerateTlsMaterial(&s.material, &s.error);
    return s;
  }();
  if (!shared.ok) {
    *error = shared.error;
    return false;
  }
  *out = shared.material;
  return true;
}

bool WriteFile(const std::string& path, const std::string& content,
               std::string* error) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  if (!out) {
    if (error != nullptr) *error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace

Simulator::Simulator(Options options)
    : options_(Resolve(std::move(options))),
      // The core's constructor is open to the simulator alone, hence no
      // make_unique.
      core_(new Core(options_)) {}

Simulator::~Simulator() { Stop(); }

bool Simulator::Start(std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  std::lock_guard<std::mutex> lock(mtx_lifecycle_);
  if (running_ || stopped_) {
    *error = "the simulator can be started once";
    return false;
  }
  std::set<std::string> ids;
  for (const AcceleratorSpec& desc : options_.accelerators) {
    if (!ids.insert(desc.id).second) {
      *error = "duplicate accelerator id " + desc.id;
      return false;
    }
  }
  if (!options_.plaintext) {
    TlsMaterial tls;
    if (options_.tls_material) {
      tls = *options_.tls_material;
    } else if (!SharedTlsMaterial(&tls, error)) {
      return false;
    }
    ca_certificate_ = tls.ca_certificate;
    server_certificate_ = tls.server_certificate;
    server_key_ = tls.server_private_key;
    ca_file_ = options_.ca_file;
    if (ca_file_.empty()) {
      std::string pattern =
          (std::filesystem::temp_directory_path() / "zv-sim-XXXXXX").string();
      if (mkdtemp(pattern.data()) == nullptr) {
        *error = "cannot create a temporary directory";
        return false;
      }
      temp_dir_ = pattern;
      ca_file_ = temp_dir_ + "/ca.pem";
    }
    if (!WriteFile(ca_file_, ca_certificate_, error)) return false;
  }
  if (!StartGrpcLocked(options_.grpc_port, error)) return false;
  metadata_ = std::make_unique<MetadataServer>(core_.get());
  if (!metadata_->Start(options_.metadata_port, error)) {
    StopGrpcLocked();
    return false;
  }
  metadata_port_ = metadata_->port();
  running_ = true;
  return true;
}

bool Simulator::StartGrpcLocked(int port, std::string* error) {
  auto front = std::make_unique<GrpcFrontEnd>();
  front->service = NewService(core_.get());
  std::shared_ptr<grpc::ServerCredentials> credentials;
  if (options_.plaintext) {
    credentials = grpc::InsecureServerCredentials();
  } else {
    grpc::SslServerCredentialsOptions ssl;
    ssl.pem_key_cert_pairs.push_back({server_key_, server_certificate_});
    credentials = grpc::SslServerCredentials(ssl);
  }
  int selected = 0;
  grpc::ServerBuilder builder;
  builder.AddListeningPort("127.0.0.1:" + std::to_string(port), credentials,
                           &selected);
  builder.RegisterService(front->service.get());
  // Without this a second simulator could share a busy port and take
  // half of its connections.
  builder.AddChannelArgument(GRPC_ARG_ALLOW_REUSEPORT, 0);
  builder.SetMaxReceiveMessageSize(INT_MAX);
  builder.SetMaxSendMessageSize(INT_MAX);
  front->server = builder.BuildAndStart();
  if (!front->server || selected == 0) {
    *error = "gRPC server cannot bind 127.0.0.1:" + std::to_string(port);
    if (front->server) front->server->Shutdown();
    return false;
  }
  grpc_port_ = selected;
  grpc_ = std::move(front);
  return true;
}

void Simulator::StopGrpcLocked() {
  if (!grpc_) return;
  // Delayed calls would hold up the shutdown; wake them first.
  core_->Interrupt();
  grpc_->server->Shutdown(std::chrono::system_clock::now());
  grpc_->server->Wait();
  grpc_.reset();
  core_->ForgetPeers();
}

void Simulator::Stop() {
  // Wake a restart waiting out its downtime before taking the lock it holds.
  core_->RequestStop();
  {
    std::lock_guard<std::mutex> lock(mtx_lifecycle_);
    stopped_ = true;
    running_ = false;
    StopGrpcLocked();
    if (metadata_) {
      core_->Interrupt();
      metadata_->Stop();
      metadata_.reset();
    }
  }
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mtx_restarts_);
    threads.swap(restart_threads_);
  }
  for (std::thread& t : threads) t.join();
  std::lock_guard<std::mutex> lock(mtx_lifecycle_);
  if (!temp_dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(temp_dir_, ignored);
    temp_dir_.clear();
  }
}

bool Simulator::Restart(std::chrono::milliseconds downtime) {
  std::unique_lock<std::mutex> lock(mtx_lifecycle_);
  if (!running_) return false;
  StopGrpcLocked();
  // Stop() cuts the downtime short and takes over.
  if (core_->WaitForStop(downtime)) return false;
  std::string error;
  const bool ok = StartGrpcLocked(grpc_port_, &error);
  if (!ok) running_ = false;
  core_->NoteRestart();
  return ok;
}

void Simulator::RestartAsync(std::chrono::milliseconds downtime) {
  std::lock_guard<std::mutex> lock(mtx_restarts_);
  // Stop() requests the stop before it collects these threads, so a thread
  // added after the collection is never started.
  if (core_->StopRequested()) return;
  restart_threads_.emplace_back([this, downtime] { Restart(downtime); });
}

// ---- Accessors --------------------------------------------------------------

int Simulator::grpc_port() const { return grpc_port_; }
int Simulator::metadata_port() const { return metadata_port_; }

std::string Simulator::Endpoint() const {
  return "127.0.0.1:" + std::to_string(grpc_port_);
}

std::string Simulator::MetadataUri() const {
  return "http://127.0.0.1:" + std::to_string(metadata_port_);
}

std::string Simulator::ContainerMetadataUri() const {
  return MetadataUri() + "/container";
}

std::string Simulator::ContainerCredentialsUri() const {
  return ContainerMetadataUri() + "/credentials";
}

std::string Simulator::CaFile() const { return ca_file_; }
std::string Simulator::CaCertificate() const { return ca_certificate_; }
bool Simulator::plaintext() const { return options_.plaintext; }
std::string Simulator::region() const { return options_.region; }
std::vector<AcceleratorSpec> Simulator::accelerators() const {
  return options_.accelerators;
}

std::vector<std::string> Simulator::AcceleratorIds() const {
  std::vector<std::string> ids;
  for (const AcceleratorSpec& desc : options_.accelerators) {
    ids.push_back(desc.id);
  }
  return ids;
}

std::vector<std::pair<std::string, std::string>> Simulator::Environment()
    const {
  std::vector<std::pair<std::string, std::string>> env;
  // The identity document always comes from the instance metadata service,
  // also in a container, so the variable is needed for both host kinds.
  env.emplace_back("ZV_INSTANCE_METADATA_URI", MetadataUri());
  if (options_.host_kind == HostKind::kContainer) {
    env.emplace_back("CNS_CONTAINER_METADATA_URI", ContainerMetadataUri());
  }
  env.emplace_back("ACCELERATOR_PROXYURI_OVERRIDE", Endpoint());
  env.emplace_back("KCP_REGION", options_.region);
  // Short-lived credentials are never handed out this way: clients find
  // them at the host role, or at the endpoint named here.
  switch (options_.credentials_source) {
    case CredentialsSource::kEnv:
      env.emplace_back("KCP_ACCESS_KEY_ID", options_.credentials.access_key_id);
      env.emplace_back("KCP_SECRET_ACCESS_KEY",
                       options_.credentials.secret_access_key);
      if (!options_.credentials.session_token.empty()) {
        env.emplace_back("KCP_SESSION_TOKEN",
                         options_.credentials.session_token);
      }
      break;
    case CredentialsSource::kContainer:
      env.emplace_back("KCP_CONTAINER_CREDENTIALS_URI",
                       ContainerCredentialsUri());
      break;
    case CredentialsSource::kRole:
      break;
  }
  if (options_.plaintext) {
    env.emplace_back("ZVL_TLS_OPTION_DISABLED", "1");
  } else {
    env.emplace_back("GRPC_DEFAULT_SSL_ROOTS_FILE_PATH", ca_file_);
  }
  return env;
}

}  // namespace zvsim
