#include "errors/rpc_status.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

#include "zva/rpc/zva_error_codes.pb.h"

#include "zva/zva_codes.h"

ZvaRpcStatus::ZvaRpcStatus()
    : grpc_status_code_(grpc::StatusCode::CANCELLED),
      zva_status_code_(zva::rpc::ZVA_FAILED),
      zvl_status_code_(zva::kInternalError) {}

ZvaRpcStatus::ZvaRpcStatus(int zvl_status_code, std::string error_message,
                           std::string request_id)
    : grpc_status_code_(grpc::StatusCode::FAILED_PRECONDITION),
      error_message_(std::move(error_message)),
      zva_status_code_(zva::rpc::ZVA_FAILED),
      zvl_status_code_(zvl_status_code),
      request_id_(std::move(request_id)) {}

ZvaRpcStatus::ZvaRpcStatus(const grpc::Status& status, std::string request_id,
                           int zvl_status_code)
    : grpc_status_code_(static_cast<int>(status.error_code())),
      error_message_(status.error_message()),
      zva_status_code_(
          ParseZvaStatusCode(status.error_message(), zva::rpc::ZVA_FAILED)),
      zvl_status_code_(zvl_status_code),
      request_id_(std::move(request_id)) {}

int ZvaRpcStatus::ParseZvaStatusCode(const std::string& message, int fallback) {
  const char* begin = message.c_str();
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(begin, &end, 10);
  if (end == begin) return fallback;
  // A number beyond the int range is no status code the service could send;
  // treat it like a message without a number rather than truncating it.
  if (errno == ERANGE || value < INT_MIN || value > INT_MAX) return fallback;
  return static_cast<int>(value);
}

int ZvaRpcStatus::GetZVLStatusCode() const {
  using namespace zva::rpc;
  switch (zva_status_code_) {
    case ZVA_OK:
      return zva::kOk;
    case ZVA_UNSUPPORTED_VERSION:
      return zva::kUnsupportedVersion;
    case ZVA_AUTH_ERROR:
      return zva::kAuthenticationFailed;
    case ZVA_GRPC_CONNECT_FAILURE:
      return zva::kServiceUnavailable;
    case ZVA_INVALID_MODEL:
      return zva::kInvalidModel;
    case ZVA_AUTHENTICATION_FAILED:
      return zva::kAuthenticationFailed;
    case ZVA_STATUS_UNHEALTHY:
      return zva::kAcceleratorUnhealthy;
    case ZVA_STATUS_HEALTHY:
      return zva::kAcceleratorHealthy;
    case ZVA_MODEL_NOT_FOUND:
      return zva::kModelNotFound;
    case ZVA_STATUS_FREEZE:
      return zva::kAcceleratorFrozen;
    case ZVA_STATUS_THROTTLING:
      return zva::kThrottled;
    case ZVA_SESSION_NOT_FOUND:
      return zva::kSessionNotFound;
    case ZVA_SESSION_RESET:
      return zva::kSessionReset;
    case ZVA_SESSION_DESTROYED:
      return zva::kSessionDestroyed;
    case ZVA_SESSION_TERMINATED:
      return zva::kSessionTerminated;
    case ZVA_ACCELERATOR_ID_INVALID:
      return zva::kAcceleratorIdInvalid;
    case ZVA_COME_BACK_LATER:
      return zva::kComeBackLater;
    case ZVA_MISSING_PATH:
      return zva::kMissingPath;
    case ZVA_CONNECT_EXPECTED:
      return zva::kConnectExpected;
    case ZVA_MISSING_HEADER_ACCEL_ID:
      return zva::kMissingAcceleratorIdHeader;
    case ZVA_ACCEL_ID_NOT_FOUND:
      return zva::kAcceleratorNotFound;
    case ZVA_CONNECT_NO_REQUEST_BODY:
      return zva::kConnectWithoutBody;
    case ZVA_INTERNAL_SERVER_ERROR:
      return zva::kServiceInternalError;
    case ZVA_SESSION_ID_EMPTY:
      return zva::kSessionIdEmpty;
    case ZVA_OUT_OF_MEMORY:
      return zva::kAcceleratorOutOfMemory;
    case ZVA_INVALID_TENSOR:
      return zva::kInvalidTensor;
    case ZVA_TIME_OUT:
      return zva::kServiceTimeout;
    case ZVA_REQUEST_ID_NOT_FOUND:
      return zva::kRequestIdNotFound;
    case ZVA_MODEL_ALREADY_EXISTS:
      return zva::kModelAlreadyExists;
    case ZVA_INVALID_MODEL_TYPE:
      return zva::kInvalidModelType;
    case ZVA_UNKNOWN:
      return zva::kUnknownServiceError;
    case ZVA_MODEL_TYPE_MISMATCH:
      return zva::kModelTypeMismatch;
    case ZVA_ATTACHMENT_PENDING:
      return zva::kAttachmentPending;
    case ZVA_INVALID_REQUEST:
      return zva::kInvalidRequest;
    default:
      return zvl_status_code_;
  }
}

int ZvaRpcStatus::GetFailureCode() const {
  const int code = GetZVLStatusCode();
  if (code != zva::kOk) return code;
  return zvl_status_code_ != zva::kOk ? zvl_status_code_ : zva::kInternalError;
}
