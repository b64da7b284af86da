#include "adapters/adapter_calls.h"

#include <chrono>
#include <exception>
#include <new>
#include <optional>

#include <google/protobuf/stubs/common.h>

#include "errors/catalogue.h"
#include "errors/classification.h"
#include "errors/rpc_status.h"
#include "platform/log_stream.h"
#include "rpc/executor.h"
#include "rpc/reload_handler.h"
#include "rpc/wire_transform.h"

namespace zva {

using Stub = zva::rpc::ZvaInference::Stub;
using Config = zva::config::ClientLibraryConfig;

RequestCheck& RequestCheck::Identifier(const char* what,
                                       const std::string& value) {
  if (problem_.empty() && value.empty()) {
    problem_ = std::string(what) + " is empty";
  }
  return Text(what, value);
}

RequestCheck& RequestCheck::Text(const char* what, const std::string& value) {
  Add(static_cast<int64_t>(value.size()) + util::kFieldEnvelopeBytes);
  // Validated only while no problem is known, so only within the limit,
  // where the length fits the int the validator takes.
  if (problem_.empty() &&
      !google::protobuf::internal::IsStructurallyValidUTF8(value)) {
    problem_ = std::string(what) + " is not valid UTF-8";
  }
  return *this;
}

RequestCheck& RequestCheck::Texts(const char* what,
                                  const std::vector<std::string>& values) {
  for (const std::string& value : values) Text(what, value);
  return *this;
}

RequestCheck& RequestCheck::Bytes(size_t size) {
  // Anything beyond the limit counts as just beyond it.
  const int64_t bytes = size > static_cast<size_t>(util::kMaxWireMessageBytes)
                            ? util::kMaxWireMessageBytes + 1
                            : static_cast<int64_t>(size);
  Add(bytes + util::kFieldEnvelopeBytes);
  return *this;
}

RequestCheck& RequestCheck::Tensors(
    const std::unordered_map<std::string, mxnet::MXTensor>& tensors,
    const char* malformed) {
  const util::WireTransformer wt;
  for (const auto& [name, tensor] : tensors) {
    Text("tensor name", name);
    if (!problem_.empty()) break;
    try {
      Add(wt.GetWireSizeOfTensor(tensor) + util::kFieldEnvelopeBytes);
    } catch (int) {
      problem_ = malformed;
    }
  }
  return *this;
}

RequestCheck& RequestCheck::NamedBytes(
    const std::vector<std::pair<std::string, std::string>>& tensors) {
  for (const auto& [name, bytes] : tensors) {
    Text("tensor name", name).Bytes(bytes.size());
  }
  return *this;
}

int RequestCheck::Report(grpc::Channel* channel,
                         const std::string& method_name) const {
  if (problem_.empty()) return kOk;
  return ReportAdapterFailure(channel, method_name, kTensorFormatError,
                              problem_);
}

void RequestCheck::Add(int64_t bytes) {
  if (wire_bytes_ > util::kMaxWireMessageBytes) return;
  // Both terms are at most a few times the limit: no overflow.
  wire_bytes_ += bytes;
  if (wire_bytes_ > util::kMaxWireMessageBytes && problem_.empty()) {
    problem_ = "request exceeds the " +
               std::to_string(util::kMaxWireMessageBytes) +
               " bytes a message may carry";
  }
}

int ReportAdapterFailure(grpc::Channel* channel, const std::string& method_name,
                         int code, const std::string& reason) {
  logger::CLogger log;
  log << method_name << " Failed: " << reason << "\n" << logger::ERROR;
  Accelerator* accelerator = AcceleratorOfChannel(channel);
  const ZvaRpcStatus failure(code, reason, std::string());
  util::SetLastError(util::GenerateLastErrorMessage(
      failure, std::string(),
      accelerator != nullptr ? accelerator->GetAcceleratorID()
                             : std::string()));
  return failure.GetFailureCode();
}

int ReportCaughtException(grpc::Channel* channel, const char* adapter,
                          const std::string& function_code) noexcept {
  try {
    const std::string name = AdapterOperationName(adapter, function_code);
    std::string reason;
    try {
      throw;
    } catch (int code) {
      return ReportAdapterFailure(channel, name, code,
                                  "Tensor format incorrect");
    } catch (const std::bad_alloc&) {
      reason = "Out of memory";
    } catch (const std::exception& e) {
      reason = e.what();
    } catch (...) {
      reason = "Unknown exception";
    }
    return ReportAdapterFailure(channel, name, kInternalError, reason);
  } catch (...) {
    // Not even the report could be made; the result still must be a code.
    return kInternalError;
  }
}

int ListModelsOnChannel(grpc::Channel* channel, Stub* stub,
                        const std::string& method_name) {
  zva::rpc::ListModelsRequest request;
  zva::rpc::ListModelsResponse response;
  return ExecuteOnChannel(channel, stub, &Stub::ListModels, method_name,
                          &request, &response, &Config::list_model_timeout);
}

int UnloadModelOnChannel(grpc::Channel* channel, Stub* stub,
                         const std::string& method_name,
                         const std::string& model_id) {
  RequestCheck check;
  check.Identifier("model id", model_id);
  if (!check.problem().empty()) {
    return ReportAdapterFailure(channel, method_name, kTensorFormatError,
                                check.problem());
  }
  zva::rpc::UnloadModelRequest request;
  zva::rpc::UnloadModelResponse response;
  request.set_model_id(model_id);
  return ExecuteOnChannel(channel, stub, &Stub::UnloadModel, method_name,
                          &request, &response, &Config::unload_model_timeout);
}

int PostGraphStatsOnChannel(
    grpc::Channel* channel, Stub* stub, const std::string& method_name,
    const std::map<std::string, std::vector<std::string>>& stats) {
  RequestCheck check;
  for (const auto& [key, values] : stats) {
    check.Text("statistic name", key).Texts("statistic value", values);
  }
  if (!check.problem().empty()) {
    return ReportAdapterFailure(channel, method_name, kTensorFormatError,
                                check.problem());
  }
  zva::rpc::PostGraphStatsRequest request;
  zva::rpc::PostGraphStatsResponse response;
  util::BuildRpcGraphStats(stats, request.mutable_graph_stats());
  return ExecuteOnChannel(channel, stub, &Stub::PostGraphStats, method_name,
                          &request, &response,
                          &Config::post_graph_stats_timeout);
}

std::string AdapterOperationName(const char* adapter,
                                 const std::string& function_code) {
  return std::string("[") + adapter + "][" + function_code + "]";
}

std::unique_ptr<Stub> NewInferenceStub(
    const std::shared_ptr<grpc::Channel>& channel) {
  if (channel == nullptr) return nullptr;
  return zva::rpc::ZvaInference::NewStub(channel);
}

std::unique_ptr<wire::WireStub> NewWireStub(
    const std::shared_ptr<grpc::Channel>& channel) {
  if (channel == nullptr) return nullptr;
  return std::make_unique<wire::WireStub>(channel);
}

int ListModelsAs(grpc::Channel* channel, Stub* stub, const char* adapter) try {
  const std::string name =
      AdapterOperationName(adapter, functions::LIST_MODELS);
  logger::CLogger log(name);
  log << name << "\n" << logger::INFO;
  return ListModelsOnChannel(channel, stub, name);
} catch (...) {
  return ReportCaughtException(channel, adapter, functions::LIST_MODELS);
}

int PostGraphStatsAs(
    grpc::Channel* channel, Stub* stub, const char* adapter,
    const std::map<std::string, std::vector<std::string>>& stats) try {
  const std::string name =
      AdapterOperationName(adapter, functions::POST_GRAPH_STATS);
  logger::CLogger log(name);
  log << name << "\n" << logger::INFO;
  return PostGraphStatsOnChannel(channel, stub, name, stats);
} catch (...) {
  return ReportCaughtException(channel, adapter, functions::POST_GRAPH_STATS);
}

int GetOperatorWhitelistAs(
    grpc::Channel* channel, Stub* stub, const char* adapter,
    const char* null_argument, bool output_given,
    const std::function<void(const OperatorList&)>& take) try {
  const std::string name =
      AdapterOperationName(adapter, functions::GET_OP_WHITE_LIST);
  logger::CLogger log(name);
  if (!output_given) {
    return ReportAdapterFailure(channel, name, kInternalError, null_argument);
  }
  log << name << "\n" << logger::INFO;
  zva::rpc::GetOperatorWhitelistRequest request;
  zva::rpc::GetOperatorWhitelistResponse response;
  const int result =
      ExecuteOnChannel(channel, stub, &Stub::GetOperatorWhitelist, name,
                       &request, &response, &Config::get_op_whitelist_timeout);
  if (result == kOk) take(response.operator_());
  return result;
} catch (...) {
  return ReportCaughtException(channel, adapter, functions::GET_OP_WHITE_LIST);
}

int LoadModelOnChannel(grpc::Channel* channel, wire::WireStub* wire_stub,
                       const std::string& method_name,
                       wire::EncodedRequest* request,
                       const std::function<void()>& hand_out) {
  grpc::ByteBuffer response;
  const int result = ExecuteOnChannel(
      channel, wire_stub, &wire::WireStub::LoadModel, method_name, request,
      &response, &Config::load_model_timeout);
  if (result != kOk) return result;
  hand_out();
  return kOk;
}

void UnloadOnModelDestruction(grpc::Channel* channel, Stub* stub,
                              const char* adapter, const std::string& model_id,
                              bool announce) noexcept {
  try {
    logger::CLogger log(
        AdapterOperationName(adapter, functions::MODEL_DESTRUCTOR));
    const std::string name =
        AdapterOperationName(adapter, functions::UNLOAD_MODEL);
    if (announce) log << name << " " << model_id << "\n" << logger::INFO;
    if (AcceleratorOfChannel(channel) == nullptr) return;
    try {
      UnloadModelOnChannel(channel, stub, name, model_id);
    } catch (...) {
      ReportCaughtException(channel, adapter, functions::UNLOAD_MODEL);
    }
  } catch (...) {
    // Not even the log could be written; a destructor must not throw.
  }
}

namespace {

// Makes the reload handler when a call has failed, not before: nearly every
// call succeeds, and the handler, with its logger, would be made for
// nothing.
class ReloadOnFailure final : public RPCExceptionHandlerInterface {
 public:
  ReloadOnFailure(const LoadedModel& model, Accelerator* accelerator,
                  const zva::config::ClientLibraryConfig& config)
      : model_(model), accelerator_(accelerator), config_(config) {}

  grpc::Status HandleException(const std::string& session_id,
                               grpc::Status status) override {
    if (!handler_) {
      handler_.emplace(model_.model_id, model_.load_request, model_.stub,
                       model_.wire_stub, accelerator_,
                       config_.load_model_timeout(),
                       config_.list_model_timeout());
    }
    return handler_->HandleException(session_id, std::move(status));
  }

 private:
  const LoadedModel& model_;
  Accelerator* const accelerator_;
  const zva::config::ClientLibraryConfig& config_;
  std::optional<InferExceptionHandler> handler_;
};

}  // namespace

int InferOnChannel(grpc::Channel* channel, const std::string& method_name,
                   const LoadedModel& model, wire::EncodedRequest* request,
                   const std::function<void(const grpc::ByteBuffer&)>& decode,
                   logger::CLogger& log) {
  Accelerator* accelerator = AcceleratorOfChannel(channel);
  if (accelerator == nullptr) return ReportNoAccelerator(method_name);
  const Config& config = accelerator->GetClientConfig();
  grpc::ByteBuffer response;
  EncodedExecutor executor(channel, model.wire_stub, &wire::WireStub::Infer,
                           method_name, request, &response,
                           config.infer_timeout(), accelerator);
  ReloadOnFailure handler(model, accelerator, config);
  const auto start = std::chrono::system_clock::now();
  const int result = executor.DefaultExecute(&handler);
  const auto end = std::chrono::system_clock::now();
  if (result != 0) return result;

  try {
    decode(response);
  } catch (int code) {
    return ReportAdapterFailure(channel, method_name, code,
                                "Output tensor format incorrect");
  }
  if (logger::CLogger::Enabled(logger::INFO)) {
    const double ms =
        std::chrono::duration_cast<std::chrono::nanoseconds>(end - start)
            .count() /
        1000000.0;
    log << "[PROFILE] Request id: " << executor.GetRequestId()
        << ", Duration: " << ms << "\n"
        << logger::INFO;
  }
  return 0;
}

int InferAs(grpc::Channel* channel, const char* adapter,
            const LoadedModel& model, const char* null_argument,
            bool output_given, bool announce_request,
            const std::function<int(const std::string& method_name,
                                    wire::EncodedRequest* request)>& encode,
            const std::function<void(const grpc::ByteBuffer&)>& decode) try {
  const std::string name = AdapterOperationName(adapter, functions::INFER);
  logger::CLogger log(name);
  // Every call passes here; INFO is formatted only when it is written.
  const bool info = logger::CLogger::Enabled(logger::INFO);
  if (info) {
    log << name << " Model id" << model.model_id << "\n" << logger::INFO;
  }
  if (!output_given) {
    return ReportAdapterFailure(channel, name, kInternalError, null_argument);
  }
  // The request points at the caller's data, which it does not outlive: it
  // waits, when destroyed, until gRPC has let go of them.
  wire::EncodedRequest request(wire::EncodedRequest::Bytes::kLent);
  if (const int code = encode(name, &request); code != kOk) return code;
  if (info && announce_request) {
    log << name << " Model id: " << model.model_id << logger::INFO;
  }
  return InferOnChannel(channel, name, model, &request, decode, log);
} catch (...) {
  return ReportCaughtException(channel, adapter, functions::INFER);
}

}  // namespace zva
