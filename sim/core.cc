// The common path of every call, the lifecycle hooks the simulator drives,
// and the generated service that hands calls to the core.

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include <openssl/rand.h>

#include "zva/rpc/zva_service.grpc.pb.h"

#include "core_internal.h"

namespace zvsim {
namespace {

using std::chrono::milliseconds;
using std::chrono::system_clock;

constexpr char kAcceleratorIdHeader[] = "x-kstrn-zva-accelerator-id";

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

void CheckMethod(const std::string& method) {
  if (method != "*" && !IsMethodName(method)) {
    throw std::invalid_argument("unknown method: " + method);
  }
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

// ---- The generated service ------------------------------------------------

class CoreService final : public zva::rpc::ZvaInference::Service {
 public:
  explicit CoreService(Core* core) : core_(core) {}

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

std::unique_ptr<grpc::Service> NewService(Core* core) {
  return std::make_unique<CoreService>(core);
}

}  // namespace zvsim
