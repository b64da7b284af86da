#include "core.h"

#include <algorithm>
#include <ctime>
#include <stdexcept>

#include <google/protobuf/util/json_util.h>
#include <openssl/rand.h>

#include "zva/discover/zva_discover.pb.h"

namespace zvsim {
namespace {

using std::chrono::milliseconds;
using std::chrono::system_clock;

constexpr char kAcceleratorIdHeader[] = "x-kstrn-zva-accelerator-id";
constexpr char kVmAssociations[] = "/latest/meta-data/zorvel/associations";
constexpr char kIdentityDocument[] =
    "/latest/dynamic/instance-identity/document";
constexpr char kContainerAssociations[] = "/container/associations/zorvel";
constexpr char kRoleCredentials[] =
    "/latest/meta-data/kcp/security-credentials/";
constexpr char kContainerCredentials[] = "/container/credentials";
constexpr char kKeyIdAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
constexpr char kSecretAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/+";

// The access key id named by an "authorization" value, or empty.
std::string CredentialKeyId(const std::string& authorization) {
  const std::string marker = "Credential=";
  const size_t start = authorization.find(marker);
  if (start == std::string::npos) return std::string();
  const size_t from = start + marker.size();
  const size_t end = authorization.find('/', from);
  if (end == std::string::npos) return std::string();
  return authorization.substr(from, end - from);
}

std::string IsoTime(system_clock::time_point when) {
  const time_t t = system_clock::to_time_t(when);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

grpc::Status Fail(grpc::StatusCode code, const char* message) {
  return grpc::Status(code, message);
}

grpc::Status SessionNotFound() {
  return Fail(grpc::StatusCode::NOT_FOUND, "12 session not found");
}

grpc::Status ModelNotFound() {
  return Fail(grpc::StatusCode::NOT_FOUND, "9 model not found");
}

bool Matches(const std::string& rule, const std::string& value) {
  return rule.empty() || rule == "*" || rule == value;
}

void CheckMethod(const std::string& method) {
  if (method != "*" && !IsMethodName(method)) {
    throw std::invalid_argument("unknown method: " + method);
  }
}

// Tops and memory (MiB) of a type; the second generation doubles both.
std::pair<int, int> Capacity(const std::string& type) {
  int tops = 8;
  int memory = 2048;
  if (type.size() > 5 && type.compare(type.size() - 6, 6, "xlarge") == 0) {
    tops = 32;
    memory = 8192;
  } else if (type.size() > 4 &&
             type.compare(type.size() - 5, 5, "large") == 0) {
    tops = 16;
    memory = 4096;
  }
  if (type.rfind("zva2.", 0) == 0) {
    tops *= 2;
    memory *= 2;
  }
  return {tops, memory};
}

std::string JsonEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          snprintf(buf, sizeof(buf), "\\u%04x", c);
          out += buf;
        } else {
          out.push_back(c);
        }
    }
  }
  return out;
}

// The discovery documents are printed from the very messages clients parse
// them into, so their shape cannot drift from the schema.
std::string ToJson(const google::protobuf::Message& message) {
  std::string out;
  google::protobuf::util::JsonPrintOptions options;
  options.preserve_proto_field_names = true;
  options.always_print_primitive_fields = true;
  // These plain messages always print.
  if (!google::protobuf::util::MessageToJsonString(message, &out, options)
           .ok()) {
    out.clear();
  }
  return out;
}

}  // namespace

std::string RandomHex(size_t digits) {
  std::vector<unsigned char> bytes((digits + 1) / 2);
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    throw std::runtime_error("random generator failed");
  }
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0f]);
  }
  out.resize(digits);
  return out;
}

std::string RandomText(size_t size, const std::string& alphabet) {
  std::string out;
  unsigned char byte = 0;
  while (out.size() < size) {
    if (RAND_bytes(&byte, 1) != 1) {
      throw std::runtime_error("random generator failed");
    }
    // Rejection sampling keeps every character equally likely.
    if (byte >= 256 - 256 % alphabet.size()) continue;
    out.push_back(alphabet[byte % alphabet.size()]);
  }
  return out;
}

const std::vector<std::string>& MethodNames() {
  static const std::vector<std::string> kNames = {"Connect",
                                                  "InitSession",
                                                  "ReconnectSession",
                                                  "LoadModel",
                                                  "Infer",
                                                  "UnloadModel",
                                                  "ListModels",
                                                  "DestroySession",
                                                  "GetZvaInfo",
                                                  "Ping",
                                                  "KeepAliveSession",
                                                  "GetOperatorWhitelist",
                                                  "PostGraphStats"};
  return kNames;
}

bool IsMethodName(const std::string& name) {
  const auto& names = MethodNames();
  return std::find(names.begin(), names.end(), name) != names.end();
}

std::string CallRecord::Metadata(const std::string& key) const {
  auto it = metadata.find(key);
  return it == metadata.end() ? std::string() : it->second;
}

Core::Core(const Options& options)
    : journal_requests_(options.journal_requests),
      journal_limit_(std::max<size_t>(1, options.journal_limit)),
      specs_(options.accelerators),
      credentials_(options.credentials),
      credentials_source_(options.credentials_source),
      credential_ttl_(
          std::max(options.credential_ttl, std::chrono::seconds(1))),
      role_name_(options.role_name),
      region_(options.region),
      identity_document_(options.identity_document),
      clock_(options.clock),
      session_expiry_(options.session_expiry),
      operator_whitelist_(options.operator_whitelist) {
  for (const AcceleratorSpec& desc : specs_) {
    accelerators_[desc.id].desc = desc;
  }
  if (Rotating()) {
    rotation_epoch_ = std::chrono::floor<std::chrono::seconds>(NowLocked());
    credentials_ = NewSetLocked();
  } else {
    issued_.push_back(credentials_);
  }
}

std::vector<AcceleratorSpec> Core::accelerators() const {
  std::lock_guard<std::mutex> lock(mtx_);
  return specs_;
}

Credentials Core::credentials() {
  std::lock_guard<std::mutex> lock(mtx_);
  RotateLocked();
  return credentials_;
}

std::vector<Credentials> Core::IssuedCredentials() const {
  std::lock_guard<std::mutex> lock(mtx_);
  return issued_;
}

std::string Core::region() const {
  std::lock_guard<std::mutex> lock(mtx_);
  return region_;
}

system_clock::time_point Core::NowLocked() const {
  return clock_ ? clock_() : system_clock::now();
}

Credentials Core::NewSetLocked() {
  Credentials set;
  set.access_key_id = "KCPTMP" + RandomText(14, kKeyIdAlphabet);
  set.secret_access_key = RandomText(40, kSecretAlphabet);
  set.session_token = RandomText(96, kSecretAlphabet);
  issued_.push_back(set);
  return set;
}

void Core::RotateLocked() {
  if (!Rotating()) return;
  const auto now = NowLocked();
  if (now < rotation_epoch_) return;  // a clock set back waits for ours
  const int64_t number = (now - rotation_epoch_) / credential_ttl_;
  if (number <= set_number_) return;
  // When more than one TTL passed unseen, the previous set is one nobody
  // was ever given.
  previous_set_ = number == set_number_ + 1 ? credentials_ : NewSetLocked();
  credentials_ = NewSetLocked();
  set_number_ = number;
}

std::string Core::CredentialsDocumentLocked(bool with_code) {
  RotateLocked();
  // Announced to expire when Connect stops accepting it, two TTLs after it
  // became current.
  const auto expiration = rotation_epoch_ + credential_ttl_ * (set_number_ + 2);
  const auto updated = rotation_epoch_ + credential_ttl_ * set_number_;
  std::string doc = "{\n";
  if (with_code) doc += "  \"Code\" : \"Success\",\n";
  doc += "  \"LastUpdated\" : \"" + IsoTime(updated) + "\",\n";
  doc += "  \"Type\" : \"KCP-HMAC\",\n";
  doc += "  \"AccessKeyId\" : \"" + credentials_.access_key_id + "\",\n";
  doc += "  \"SecretAccessKey\" : \"" +
         JsonEscape(credentials_.secret_access_key) + "\",\n";
  doc += "  \"Token\" : \"" + JsonEscape(credentials_.session_token) + "\",\n";
  doc += "  \"Expiration\" : \"" + IsoTime(expiration) + "\"\n}";
  return doc;
}

bool Core::PeerConnectedLocked(const std::string& peer, std::string* detail) {
  auto it = connected_peers_.find(peer);
  if (it == connected_peers_.end()) return false;
  if (!Rotating()) return true;
  RotateLocked();
  if (it->second == credentials_.access_key_id ||
      it->second == previous_set_.access_key_id) {
    return true;
  }
  connected_peers_.erase(it);
  *detail = "the credentials of the connection are no longer accepted";
  return false;
}

// ---- The common path of every call ---------------------------------------

template <typename Request, typename Response>
grpc::Status Core::Handle(const char* method, grpc::ServerContext* context,
                          const Request* request, Response* response,
                          grpc::Status (Core::*body)(CallRecord*,
                                                     const Request&,
                                                     Response*)) {
  CallRecord record;
  record.method = method;
  for (const auto& [key, value] : context->client_metadata()) {
    record.metadata.emplace(std::string(key.data(), key.size()),
                            std::string(value.data(), value.size()));
  }
  const auto header = record.metadata.find(kAcceleratorIdHeader);
  const bool has_header = header != record.metadata.end();
  if (has_header) record.accelerator_id = header->second;
  const grpc::string_ref authority = context->ExperimentalGetAuthority();
  record.authority.assign(authority.data(), authority.size());
  const auto now = system_clock::now();
  const auto deadline = context->deadline();
  // gRPC reports "no deadline" as a time point centuries away.
  if (deadline < now + std::chrono::hours(24 * 365 * 100)) {
    record.deadline_ms = std::max<int64_t>(
        0, std::chrono::duration_cast<milliseconds>(deadline - now).count());
  }
  record.peer = context->peer();
  if (journal_requests_) {
    auto copy = std::make_shared<Request>(*request);
    record.request = std::move(copy);
  }

  grpc::Status status;
  std::function<void(const CallRecord&)> observer;
  {
    std::unique_lock<std::mutex> lock(mtx_);
    const milliseconds delay = DelayForLocked(method, record.accelerator_id);
    bool answered = false;
    if (delay.count() > 0) {
      const uint64_t epoch = interrupt_epoch_;
      ++delayed_calls_[method];
      cv_.notify_all();
      cv_.wait_for(lock, delay, [&] { return interrupt_epoch_ != epoch; });
      if (context->IsCancelled()) {
        status = Fail(grpc::StatusCode::CANCELLED, "1 call cancelled");
        record.detail = "the client gave up during the injected delay";
        answered = true;
      }
    }
    if (answered) {
      // Nothing else to check.
    } else if (!has_header) {
      status = Fail(grpc::StatusCode::FAILED_PRECONDITION,
                    "20 missing accelerator id header");
    } else if (accelerators_.count(record.accelerator_id) == 0) {
      status = Fail(grpc::StatusCode::NOT_FOUND, "21 accelerator id not found");
    } else if (TakeFailureLocked(method, record.accelerator_id, &status)) {
      record.detail = "injected failure";
    } else if (std::string(method) != "Connect" &&
               std::string(method) != "GetZvaInfo" &&
               !PeerConnectedLocked(record.peer, &record.detail)) {
      status =
          Fail(grpc::StatusCode::FAILED_PRECONDITION, "19 connect expected");
    } else {
      status = (this->*body)(&record, *request, response);
    }
    record.code = status.error_code();
    record.message = status.error_message();
    observer = observer_;
    if (observer) {
      CallRecord copy = record;
      RecordLocked(record);
      lock.unlock();
      observer(copy);
      return status;
    }
    RecordLocked(record);
  }
  return status;
}

void Core::RecordLocked(const CallRecord& record) {
  ++counts_[{record.method, static_cast<int>(record.code)}];
  journal_.push_back(record);
  while (journal_.size() > journal_limit_) journal_.pop_front();
  cv_.notify_all();
}

milliseconds Core::DelayForLocked(const std::string& method,
                                  const std::string& accel) const {
  milliseconds delay{0};
  for (const DelayRule& rule : delay_rules_) {
    if (Matches(rule.method, method) && Matches(rule.accel, accel)) {
      delay = std::max(delay, rule.delay);
    }
  }
  return delay;
}

bool Core::TakeFailureLocked(const std::string& method,
                             const std::string& accel, grpc::Status* status) {
  for (auto it = fail_rules_.begin(); it != fail_rules_.end(); ++it) {
    if (Matches(it->method, method) && Matches(it->accel, accel)) {
      *status = grpc::Status(it->code, it->message);
      if (--it->remaining <= 0) fail_rules_.erase(it);
      return true;
    }
  }
  return false;
}

// ---- Methods --------------------------------------------------------------

grpc::Status Core::DoConnect(CallRecord* call, const zva::rpc::ConnectRequest&,
                             zva::rpc::ConnectResponse*) {
  SignedConnect signed_connect;
  signed_connect.authority = call->authority;
  signed_connect.authorization = call->Metadata("authorization");
  signed_connect.date = call->Metadata("x-kst-date");
  signed_connect.accelerator_id = call->accelerator_id;
  signed_connect.security_token = call->Metadata("x-kst-security-token");
  // Short-lived credentials: the signature names its set, which must be the
  // current or the previous one.
  Credentials set = credentials_;
  if (Rotating()) {
    RotateLocked();
    const std::string key_id = CredentialKeyId(signed_connect.authorization);
    if (!previous_set_.access_key_id.empty() &&
        key_id == previous_set_.access_key_id) {
      set = previous_set_;
    } else if (key_id != credentials_.access_key_id) {
      call->detail = "access key id unknown or no longer accepted";
      return Fail(grpc::StatusCode::UNAUTHENTICATED, "6 authentication failed");
    }
  }
  // The lock is held, so the verifier gets a clock that does not take it.
  const Clock clock = clock_;
  const ConnectVerifier verifier(set, region_, clock);
  if (!verifier.Verify(signed_connect, &call->detail)) {
    return Fail(grpc::StatusCode::UNAUTHENTICATED, "6 authentication failed");
  }
  connected_peers_[call->peer] = set.access_key_id;
  return grpc::Status::OK;
}

grpc::Status Core::DoInitSession(CallRecord* call,
                                 const zva::rpc::InitSessionRequest& request,
                                 zva::rpc::InitSessionResponse* response) {
  if (!request.zva_id().empty() && request.zva_id() != call->accelerator_id) {
    return Fail(grpc::StatusCode::INVALID_ARGUMENT,
                "16 accelerator id invalid");
  }
  Session session;
  session.info.session_id = "sess-" + RandomHex(24);
  session.info.accelerator_id = call->accelerator_id;
  session.info.peer = call->peer;
  session.info.config = request.session_config();
  session.last_seen = NowLocked();
  response->mutable_session()->set_session_id(session.info.session_id);
  sessions_[session.info.session_id] = std::move(session);
  return grpc::Status::OK;
}

grpc::Status Core::DoReconnectSession(
    CallRecord* call, const zva::rpc::ReconnectSessionRequest& request,
    zva::rpc::ReconnectSessionResponse*) {
  if (!request.zva_id().empty() && request.zva_id() != call->accelerator_id) {
    return Fail(grpc::StatusCode::INVALID_ARGUMENT,
                "16 accelerator id invalid");
  }
  Session* session =
      FindSessionLocked(request.session().session_id(), call->accelerator_id);
  if (session == nullptr) return SessionNotFound();
  session->last_seen = NowLocked();
  session->info.peer = call->peer;
  return grpc::Status::OK;
}

grpc::Status Core::DoKeepAliveSession(
    CallRecord* call, const zva::rpc::KeepAliveSessionRequest& request,
    zva::rpc::KeepAliveSessionResponse*) {
  Session* session =
      FindSessionLocked(request.session().session_id(), call->accelerator_id);
  if (session == nullptr) return SessionNotFound();
  session->last_seen = NowLocked();
  return grpc::Status::OK;
}

grpc::Status Core::DoDestroySession(
    CallRecord* call, const zva::rpc::DestroySessionRequest& request,
    zva::rpc::DestroySessionResponse*) {
  if (FindSessionLocked(request.session().session_id(), call->accelerator_id) ==
      nullptr) {
    return SessionNotFound();
  }
  sessions_.erase(request.session().session_id());
  return grpc::Status::OK;
}

grpc::Status Core::DoLoadModel(CallRecord* call,
                               const zva::rpc::LoadModelRequest& request,
                               zva::rpc::LoadModelResponse* response) {
  if (FindSessionLocked(request.session().session_id(), call->accelerator_id) ==
      nullptr) {
    return SessionNotFound();
  }
  if (request.model_id().empty()) {
    return Fail(grpc::StatusCode::INVALID_ARGUMENT, "60 model id empty");
  }
  accelerators_[call->accelerator_id].models[request.model_id()] =
      request.model_spec();
  response->mutable_model_info()->set_model_id(request.model_id());
  return grpc::Status::OK;
}

grpc::Status Core::DoInfer(CallRecord* call,
                           const zva::rpc::InferRequest& request,
                           zva::rpc::InferResponse* response) {
  if (FindSessionLocked(request.session().session_id(), call->accelerator_id) ==
      nullptr) {
    return SessionNotFound();
  }
  const auto& models = accelerators_[call->accelerator_id].models;
  if (models.count(request.model_id()) == 0) return ModelNotFound();
  for (int i = 0; i < request.input_size(); ++i) {
    zva::rpc::NamedTensor* out = response->add_output();
    out->set_name(i < request.output_name_size() ? request.output_name(i)
                                                 : request.input(i).name());
    *out->mutable_tensor() = request.input(i).tensor();
  }
  return grpc::Status::OK;
}

grpc::Status Core::DoUnloadModel(CallRecord* call,
                                 const zva::rpc::UnloadModelRequest& request,
                                 zva::rpc::UnloadModelResponse* response) {
  if (FindSessionLocked(request.session().session_id(), call->accelerator_id) ==
      nullptr) {
    return SessionNotFound();
  }
  auto& models = accelerators_[call->accelerator_id].models;
  if (models.erase(request.model_id()) == 0) return ModelNotFound();
  response->set_model_id(request.model_id());
  return grpc::Status::OK;
}

grpc::Status Core::DoListModels(CallRecord* call,
                                const zva::rpc::ListModelsRequest& request,
                                zva::rpc::ListModelsResponse* response) {
  if (FindSessionLocked(request.session().session_id(), call->accelerator_id) ==
      nullptr) {
    return SessionNotFound();
  }
  for (const auto& entry : accelerators_[call->accelerator_id].models) {
    response->add_model_info()->set_model_id(entry.first);
  }
  return grpc::Status::OK;
}

grpc::Status Core::DoGetZvaInfo(CallRecord* call,
                                const zva::rpc::GetZvaInfoRequest& request,
                                zva::rpc::GetZvaInfoResponse* response) {
  const std::string& id =
      request.zva_id().empty() ? call->accelerator_id : request.zva_id();
  auto it = accelerators_.find(id);
  if (it == accelerators_.end()) {
    return Fail(grpc::StatusCode::NOT_FOUND, "21 accelerator id not found");
  }
  const auto capacity = Capacity(it->second.desc.type);
  zva::rpc::ZvaInfo* info = response->mutable_zva_info();
  info->set_zva_id(id);
  info->set_tops(capacity.first);
  info->set_memory(capacity.second);
  info->set_model_type(it->second.desc.type);
  info->set_health_state(it->second.healthy ? zva::rpc::HEALTHY
                                            : zva::rpc::UNHEALTHY);
  return grpc::Status::OK;
}

grpc::Status Core::DoPing(CallRecord* call, const zva::rpc::PingRequest&,
                          zva::rpc::PingResponse* response) {
  response->set_health_state(accelerators_[call->accelerator_id].healthy
                                 ? zva::rpc::HEALTHY
                                 : zva::rpc::UNHEALTHY);
  return grpc::Status::OK;
}

grpc::Status Core::DoGetOperatorWhitelist(
    CallRecord* call, const zva::rpc::GetOperatorWhitelistRequest& request,
    zva::rpc::GetOperatorWhitelistResponse* response) {
  if (FindSessionLocked(request.session().session_id(), call->accelerator_id) ==
      nullptr) {
    return SessionNotFound();
  }
  for (const std::string& name : operator_whitelist_) {
    response->add_operator_()->set_operator_name(name);
  }
  return grpc::Status::OK;
}

grpc::Status Core::DoPostGraphStats(
    CallRecord* call, const zva::rpc::PostGraphStatsRequest& request,
    zva::rpc::PostGraphStatsResponse*) {
  if (FindSessionLocked(request.session().session_id(), call->accelerator_id) ==
      nullptr) {
    return SessionNotFound();
  }
  graph_stats_.push_back({call->accelerator_id, request.session().session_id(),
                          request.graph_stats()});
  return grpc::Status::OK;
}

// ---- Sessions -------------------------------------------------------------

Core::Session* Core::FindSessionLocked(const std::string& id,
                                       const std::string& accel) {
  auto it = sessions_.find(id);
  if (it == sessions_.end()) return nullptr;
  if (NowLocked() - it->second.last_seen > session_expiry_) {
    sessions_.erase(it);
    return nullptr;
  }
  // Another accelerator's session is as good as unknown here.
  if (it->second.info.accelerator_id != accel) return nullptr;
  return &it->second;
}

void Core::ExpireSessionsLocked() {
  const auto now = NowLocked();
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (now - it->second.last_seen > session_expiry_) {
      it = sessions_.erase(it);
    } else {
      ++it;
    }
  }
}

// ---- Lifecycle hooks ------------------------------------------------------

void Core::Interrupt() {
  std::lock_guard<std::mutex> lock(mtx_);
  ++interrupt_epoch_;
  cv_.notify_all();
}

void Core::ForgetPeers() {
  std::lock_guard<std::mutex> lock(mtx_);
  connected_peers_.clear();
}

void Core::RequestStop() {
  std::lock_guard<std::mutex> lock(mtx_);
  stop_requested_ = true;
  ++interrupt_epoch_;
  cv_.notify_all();
}

bool Core::StopRequested() const {
  std::lock_guard<std::mutex> lock(mtx_);
  return stop_requested_;
}

bool Core::WaitForStop(milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mtx_);
  return cv_.wait_for(lock, timeout, [&] { return stop_requested_; });
}

void Core::NoteRestart() {
  std::lock_guard<std::mutex> lock(mtx_);
  ++restarts_;
  cv_.notify_all();
}

bool Core::WaitForRestarts(int n, milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mtx_);
  return cv_.wait_for(lock, timeout, [&] { return restarts_ >= n; });
}

// ---- Metadata service -----------------------------------------------------

Core::HttpAnswer Core::AnswerMetadata(const std::string& path) {
  std::unique_lock<std::mutex> lock(mtx_);
  ++metadata_requests_[path];
  cv_.notify_all();
  HttpAnswer answer;
  answer.status = 404;
  answer.body = "not found";

  const std::string vm_list = std::string(kVmAssociations) + "/";
  const std::string container_list = kContainerAssociations;
  if (path == vm_list || path == kVmAssociations) {
    answer.status = 200;
    answer.body.clear();
    for (size_t i = 0; i < specs_.size(); ++i) {
      if (i > 0) answer.body += "\n";
      answer.body += specs_[i].id;
    }
  } else if (path.rfind(vm_list, 0) == 0) {
    auto it = accelerators_.find(path.substr(vm_list.size()));
    if (it != accelerators_.end()) {
      zva::discover::VMHAcceleratorMetadata doc;
      doc.mutable_version_2018_04_12()->set_zorvelacceleratorid(
          it->second.desc.id);
      doc.mutable_version_2018_04_12()->set_zorvelacceleratortype(
          it->second.desc.type);
      answer = {200, ToJson(doc), "application/json"};
    }
  } else if (path == container_list || path == container_list + "/") {
    zva::discover::AssociatedAccelerators doc;
    for (const AcceleratorSpec& desc : specs_) doc.add_associations(desc.id);
    answer = {200, ToJson(doc), "application/json"};
  } else if (path.rfind(container_list + "/", 0) == 0) {
    auto it = accelerators_.find(path.substr(container_list.size() + 1));
    if (it != accelerators_.end()) {
      zva::discover::CNSAcceleratorMetadata doc;
      auto* details = doc.mutable_version_2018_04_12();
      details->set_zorvelacceleratorid(it->second.desc.id);
      details->set_zorvelacceleratortype(it->second.desc.type);
      details->set_deviceid(it->second.desc.device_name);
      answer = {200, ToJson(doc), "application/json"};
    }
  } else if (Rotating() && path == kRoleCredentials) {
    answer = {200, role_name_, "text/plain"};
  } else if (Rotating() && path == kRoleCredentials + role_name_) {
    answer = {200, CredentialsDocumentLocked(true), "application/json"};
  } else if (Rotating() && path == kContainerCredentials) {
    answer = {200, CredentialsDocumentLocked(false), "application/json"};
  } else if (path == kIdentityDocument &&
             identity_document_ != IdentityDocument::kAbsent) {
    // The members a real identity document carries besides the region are
    // there so that clients are seen to ignore them.
    std::string doc =
        "{\n  \"accountId\" : \"000000000000\",\n"
        "  \"architecture\" : \"x86_64\",\n"
        "  \"instanceId\" : \"i-0zvsim000000000\",\n"
        "  \"instanceType\" : \"zv.sim\"";
    if (identity_document_ == IdentityDocument::kWithRegion) {
      doc += ",\n  \"region\" : \"" + JsonEscape(region_) + "\"";
    }
    doc += "\n}";
    answer = {200, doc, "application/json"};
  }

  auto it = metadata_overrides_.find(path);
  if (it != metadata_overrides_.end() &&
      metadata_requests_[path] > it->second.after_requests) {
    const MetadataOverride o = it->second;
    if (o.status) answer.status = *o.status;
    if (o.body) answer.body = *o.body;
    if (o.delay.count() > 0) {
      const uint64_t epoch = interrupt_epoch_;
      cv_.wait_for(lock, o.delay, [&] { return interrupt_epoch_ != epoch; });
    }
  }
  return answer;
}

// ---- Settings -------------------------------------------------------------

void Core::FailNext(const std::string& method, int count, grpc::StatusCode code,
                    const std::string& message, const std::string& accel) {
  CheckMethod(method);
  std::lock_guard<std::mutex> lock(mtx_);
  if (!accel.empty() && accel != "*" && accelerators_.count(accel) == 0) {
    throw std::invalid_argument("unknown accelerator: " + accel);
  }
  if (count <= 0) return;
  fail_rules_.push_back({method, accel, count, code, message});
}

void Core::SetDelay(const std::string& method, milliseconds delay,
                    const std::string& accel) {
  CheckMethod(method);
  std::lock_guard<std::mutex> lock(mtx_);
  if (!accel.empty() && accel != "*" && accelerators_.count(accel) == 0) {
    throw std::invalid_argument("unknown accelerator: " + accel);
  }
  delay_rules_.erase(std::remove_if(delay_rules_.begin(), delay_rules_.end(),
                                    [&](const DelayRule& r) {
                                      return r.method == method &&
                                             r.accel == accel;
                                    }),
                     delay_rules_.end());
  if (delay.count() > 0) delay_rules_.push_back({method, accel, delay});
}

void Core::ClearFaults() {
  std::lock_guard<std::mutex> lock(mtx_);
  fail_rules_.clear();
  delay_rules_.clear();
}

void Core::DropAllSessions() {
  std::lock_guard<std::mutex> lock(mtx_);
  sessions_.clear();
}

void Core::ForgetAllModels() {
  std::lock_guard<std::mutex> lock(mtx_);
  for (auto& entry : accelerators_) entry.second.models.clear();
}

void Core::SetHealthy(const std::string& accel, bool healthy) {
  std::lock_guard<std::mutex> lock(mtx_);
  if (accel == "*") {
    for (auto& entry : accelerators_) entry.second.healthy = healthy;
    return;
  }
  auto it = accelerators_.find(accel);
  if (it == accelerators_.end()) {
    throw std::invalid_argument("unknown accelerator: " + accel);
  }
  it->second.healthy = healthy;
}

void Core::SetClock(Clock clock) {
  std::lock_guard<std::mutex> lock(mtx_);
  clock_ = std::move(clock);
  if (Rotating()) {
    rotation_epoch_ = std::chrono::floor<std::chrono::seconds>(NowLocked());
    set_number_ = 0;
    previous_set_ = credentials_;
    credentials_ = NewSetLocked();
  }
}

void Core::SetSessionExpiry(milliseconds expiry) {
  std::lock_guard<std::mutex> lock(mtx_);
  session_expiry_ = expiry;
}

void Core::SetOperatorWhitelist(std::vector<std::string> operators) {
  std::lock_guard<std::mutex> lock(mtx_);
  operator_whitelist_ = std::move(operators);
}

void Core::SetMetadataOverride(const std::string& path, MetadataOverride o) {
  std::lock_guard<std::mutex> lock(mtx_);
  metadata_overrides_[path] = std::move(o);
}

void Core::ClearMetadataOverrides() {
  std::lock_guard<std::mutex> lock(mtx_);
  metadata_overrides_.clear();
}

size_t Core::MetadataRequestCount(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mtx_);
  auto it = metadata_requests_.find(path);
  return it == metadata_requests_.end() ? 0 : it->second;
}

bool Core::WaitForMetadataRequests(const std::string& path, size_t n,
                                   milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mtx_);
  return cv_.wait_for(lock, timeout, [&] {
    auto it = metadata_requests_.find(path);
    return it != metadata_requests_.end() && it->second >= n;
  });
}

bool Core::WaitForDelayedCalls(const std::string& method, size_t n,
                               milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mtx_);
  return cv_.wait_for(lock, timeout, [&] {
    auto it = delayed_calls_.find(method);
    return it != delayed_calls_.end() && it->second >= n;
  });
}

void Core::SetCallObserver(std::function<void(const CallRecord&)> observer) {
  std::lock_guard<std::mutex> lock(mtx_);
  observer_ = std::move(observer);
}

std::vector<CallRecord> Core::Journal() const {
  std::lock_guard<std::mutex> lock(mtx_);
  return std::vector<CallRecord>(journal_.begin(), journal_.end());
}

void Core::ClearJournal() {
  std::lock_guard<std::mutex> lock(mtx_);
  journal_.clear();
  counts_.clear();
}

size_t Core::CallCount(const std::string& method,
                       std::optional<grpc::StatusCode> code) const {
  std::lock_guard<std::mutex> lock(mtx_);
  size_t total = 0;
  for (const auto& [key, count] : counts_) {
    if (Matches(method, key.first) &&
        (!code || static_cast<int>(*code) == key.second)) {
      total += count;
    }
  }
  return total;
}

bool Core::WaitForCalls(const std::string& method, size_t n,
                        milliseconds timeout,
                        std::optional<grpc::StatusCode> code) {
  CheckMethod(method);
  std::unique_lock<std::mutex> lock(mtx_);
  return cv_.wait_for(lock, timeout, [&] {
    size_t total = 0;
    for (const auto& [key, count] : counts_) {
      if (Matches(method, key.first) &&
          (!code || static_cast<int>(*code) == key.second)) {
        total += count;
      }
    }
    return total >= n;
  });
}

bool Core::WaitForJournal(
    const std::function<bool(const std::deque<CallRecord>&)>& predicate,
    milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mtx_);
  return cv_.wait_for(lock, timeout, [&] { return predicate(journal_); });
}

std::vector<SessionInfo> Core::Sessions() {
  std::lock_guard<std::mutex> lock(mtx_);
  ExpireSessionsLocked();
  std::vector<SessionInfo> out;
  for (const auto& entry : sessions_) out.push_back(entry.second.info);
  return out;
}

std::vector<std::string> Core::Models(const std::string& accel) const {
  std::lock_guard<std::mutex> lock(mtx_);
  std::vector<std::string> out;
  auto it = accelerators_.find(accel);
  if (it == accelerators_.end()) return out;
  for (const auto& entry : it->second.models) out.push_back(entry.first);
  return out;
}

std::vector<GraphStatsRecord> Core::GraphStats() const {
  std::lock_guard<std::mutex> lock(mtx_);
  return graph_stats_;
}

std::vector<std::string> Core::ConnectedPeers() const {
  std::lock_guard<std::mutex> lock(mtx_);
  std::vector<std::string> peers;
  for (const auto& entry : connected_peers_) peers.push_back(entry.first);
  return peers;
}

// ---- The generated service ------------------------------------------------

namespace {

class Service final : public zva::rpc::ZvaInference::Service {
 public:
  explicit Service(Core* core) : core_(core) {}

#define ZVSIM_METHOD(Name)                                                    \
  grpc::Status Name(grpc::ServerContext* context,                             \
                    const zva::rpc::Name##Request* request,                   \
                    zva::rpc::Name##Response* response) override {            \
    return core_->Handle(#Name, context, request, response, &Core::Do##Name); \
  }
  ZVSIM_METHOD(Connect)
  ZVSIM_METHOD(InitSession)
  ZVSIM_METHOD(ReconnectSession)
  ZVSIM_METHOD(LoadModel)
  ZVSIM_METHOD(Infer)
  ZVSIM_METHOD(UnloadModel)
  ZVSIM_METHOD(ListModels)
  ZVSIM_METHOD(DestroySession)
  ZVSIM_METHOD(GetZvaInfo)
  ZVSIM_METHOD(Ping)
  ZVSIM_METHOD(KeepAliveSession)
  ZVSIM_METHOD(GetOperatorWhitelist)
  ZVSIM_METHOD(PostGraphStats)
#undef ZVSIM_METHOD

 private:
  Core* core_;
};

}  // namespace

std::unique_ptr<grpc::Service> NewService(Core* core) {
  return std::make_unique<Service>(core);
}

}  // namespace zvsim
