#include "rpc/reload_handler.h"

#include <chrono>
#include <utility>

#include <grpcpp/client_context.h>

#include "core/accelerator.h"
#include "errors/classification.h"
#include "core/request_stamp.h"
#include "errors/rpc_status.h"
#include "errors/catalogue.h"

using zva::logger::CLogger;

namespace {

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer does not see a timed mutex taken against the steady clock
// (pthread_mutex_clocklock) and would report the writes it guards; against
// the system clock the lock goes through pthread_mutex_timedlock, which it
// does see.
std::chrono::system_clock::time_point ReloadLockDeadline(
    std::chrono::milliseconds wait) {
  return std::chrono::system_clock::now() + wait;
}
#else
std::chrono::steady_clock::time_point ReloadLockDeadline(
    std::chrono::milliseconds wait) {
  return std::chrono::steady_clock::now() + wait;
}
#endif

}  // namespace

std::timed_mutex InferExceptionHandler::reload_m_;

InferExceptionHandler::InferExceptionHandler(
    zva::rpc::LoadModelRequest& load_request, Stub* stub,
    zva::Accelerator* accelerator, int load_model_timeout,
    int list_model_timeout)
    : load_request_(&load_request),
      stub_(stub),
      accelerator_(accelerator),
      load_model_timeout_(load_model_timeout),
      list_model_timeout_(list_model_timeout),
      logger_("InferExceptionHandler") {}

InferExceptionHandler::InferExceptionHandler(
    const std::string& model_id, zva::wire::EncodedRequest& load_request,
    Stub* stub, zva::wire::WireStub* wire_stub, zva::Accelerator* accelerator,
    int load_model_timeout, int list_model_timeout)
    : encoded_load_request_(&load_request),
      model_id_(&model_id),
      wire_stub_(wire_stub),
      stub_(stub),
      accelerator_(accelerator),
      load_model_timeout_(load_model_timeout),
      list_model_timeout_(list_model_timeout),
      logger_("InferExceptionHandler") {}

const std::string& InferExceptionHandler::ModelId() const {
  return load_request_ != nullptr ? load_request_->model_id() : *model_id_;
}

grpc::Status InferExceptionHandler::HandleException(
    const std::string& session_id, grpc::Status status) {
  logger_ << "Handling exception for inference. Model ID is " << ModelId()
          << "\n"
          << zva::logger::INFO;
  if (!ErrorHandler::IsModelReloadNeeded(
          ZvaRpcStatus(status, std::string(), zva::kInternalError)) ||
      accelerator_ == nullptr) {
    logger_ << "Model reload is not needed. Bailing out.\n"
            << zva::logger::INFO;
    return status;
  }

  const zva::config::ClientLibraryConfig& config =
      accelerator_->GetClientConfig();
  const auto wait = std::chrono::milliseconds(config.load_model_timeout()) +
                    std::chrono::milliseconds(config.list_model_timeout());
  std::unique_lock<std::timed_mutex> lock(reload_m_, std::defer_lock);
  if (!lock.try_lock_until(ReloadLockDeadline(wait))) {
    logger_ << "Could not acquire reload lock in timely manner.  Bailing out.\n"
            << zva::logger::INFO;
    return status;
  }

  grpc::Status failure;
  switch (ListModel(session_id, &failure)) {
    case Listing::kListed:
      logger_ << "Model found in listed models.  Skipping reload.\n"
              << zva::logger::INFO;
      return grpc::Status::OK;
    case Listing::kListFailed:
      // The list tells nothing about the model; report the inference's own
      // failure rather than reload on a guess.
      return status;
    case Listing::kNotListed:
      break;
  }

  logger_ << "Model not found in listed models.  Reloading...\n"
          << zva::logger::INFO;
  grpc::Status reloaded = LoadCachedModel(session_id);
  if (reloaded.ok()) {
    logger_ << "Successfully reloaded model " << ModelId() << "\n"
            << zva::logger::INFO;
  }
  return reloaded;
}

grpc::Status InferExceptionHandler::IsModelInModelList(
    const std::string& session_id) {
  grpc::Status failure;
  switch (ListModel(session_id, &failure)) {
    case Listing::kListed:
      return grpc::Status(grpc::StatusCode::OK, "Model is in list");
    case Listing::kNotListed:
      return grpc::Status(grpc::StatusCode::NOT_FOUND,
                          "Model not found in list of loaded models");
    case Listing::kListFailed:
      break;
  }
  return failure;
}

InferExceptionHandler::Listing InferExceptionHandler::ListModel(
    const std::string& session_id, grpc::Status* failure) {
  const std::string name =
      std::string("[ExceptionHandler][") + zva::functions::INFER + "]";
  CLogger log(name);
  log << name << "\n" << zva::logger::INFO;

  zva::rpc::ListModelsRequest request;
  zva::rpc::ListModelsResponse response;
  grpc::ClientContext context;
  zva::util::FillContext(&context, accelerator_->GetAcceleratorID(),
                         std::chrono::milliseconds(list_model_timeout_));
  request.mutable_session()->set_session_id(session_id);
  grpc::Status status = stub_->ListModels(&context, request, &response);
  if (!status.ok()) {
    *failure = std::move(status);
    return Listing::kListFailed;
  }
  for (const zva::rpc::ModelInfo& info : response.model_info()) {
    if (info.model_id() == ModelId()) return Listing::kListed;
  }
  return Listing::kNotListed;
}

grpc::Status InferExceptionHandler::LoadCachedModel(
    const std::string& session_id) {
  grpc::ClientContext context;
  const std::string request_id =
      zva::util::FillContext(&context, accelerator_->GetAcceleratorID(),
                             std::chrono::milliseconds(load_model_timeout_));
  logger_ << "Reloading model " << ModelId() << ",request ID is " << request_id
          << "\n"
          << zva::logger::INFO;
  if (encoded_load_request_ != nullptr) {
    // Only the session is encoded again, never the model.
    encoded_load_request_->SetSessionId(session_id);
    grpc::ByteBuffer response;
    return wire_stub_->LoadModel(&context, *encoded_load_request_, &response);
  }
  load_request_->mutable_session()->set_session_id(session_id);
  zva::rpc::LoadModelResponse response;
  return stub_->LoadModel(&context, *load_request_, &response);
}
