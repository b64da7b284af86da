#include "errors/rpc_status.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

#include "zva/rpc/zva_error_codes.pb.h"

namespace {

// Grpc code used for failures that never reached the service.
constexpr int kGrpcFailedPrecondition = 9;
constexpr int kZvaFailed = zva::rpc::ZVA_FAILED;

}  // namespace

ZvaRpcStatus::ZvaRpcStatus()
    : grpc_status_code_(1), zva_status_code_(kZvaFailed), zvl_status_code_(1) {}

ZvaRpcStatus::ZvaRpcStatus(int zvl_status_code, std::string error_message,
                           std::string request_id)
    : grpc_status_code_(kGrpcFailedPrecondition),
      error_message_(std::move(error_message)),
      zva_status_code_(kZvaFailed),
      zvl_status_code_(zvl_status_code),
      request_id_(std::move(request_id)) {}

ZvaRpcStatus::ZvaRpcStatus(const grpc::Status& status, std::string request_id,
                           int zvl_status_code)
    : grpc_status_code_(static_cast<int>(status.error_code())),
      error_message_(status.error_message()),
      zva_status_code_(kZvaFailed),
      zvl_status_code_(zvl_status_code),
      request_id_(std::move(request_id)) {
  zva_status_code_ = ParseZvaStatusCode(error_message_, kZvaFailed);
}

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
      return 0;
    case ZVA_UNSUPPORTED_VERSION:
      return 2;
    case ZVA_AUTH_ERROR:
      return 8;
    case ZVA_GRPC_CONNECT_FAILURE:
      return 4;
    case ZVA_INVALID_MODEL:
      return 6;
    case ZVA_AUTHENTICATION_FAILED:
      return 8;
    case ZVA_STATUS_UNHEALTHY:
      return 10;
    case ZVA_STATUS_HEALTHY:
      return 11;
    case ZVA_MODEL_NOT_FOUND:
      return 12;
    case ZVA_STATUS_FREEZE:
      return 14;
    case ZVA_STATUS_THROTTLING:
      return 18;
    case ZVA_SESSION_NOT_FOUND:
      return 13;
    case ZVA_SESSION_RESET:
      return 22;
    case ZVA_SESSION_DESTROYED:
      return 16;
    case ZVA_SESSION_TERMINATED:
      return 15;
    case ZVA_ACCELERATOR_ID_INVALID:
      return 17;
    case ZVA_COME_BACK_LATER:
      return 27;
    case ZVA_MISSING_PATH:
      return 26;
    case ZVA_CONNECT_EXPECTED:
      return 25;
    case ZVA_MISSING_HEADER_ACCEL_ID:
      return 24;
    case ZVA_ACCEL_ID_NOT_FOUND:
      return 28;
    case ZVA_CONNECT_NO_REQUEST_BODY:
      return 29;
    case ZVA_INTERNAL_SERVER_ERROR:
      return 30;
    case ZVA_SESSION_ID_EMPTY:
      return 23;
    case ZVA_OUT_OF_MEMORY:
      return 31;
    case ZVA_INVALID_TENSOR:
      return 32;
    case ZVA_TIME_OUT:
      return 33;
    case ZVA_REQUEST_ID_NOT_FOUND:
      return 34;
    case ZVA_MODEL_ALREADY_EXISTS:
      return 43;
    case ZVA_INVALID_MODEL_TYPE:
      return 44;
    case ZVA_UNKNOWN:
      return 45;
    case ZVA_MODEL_TYPE_MISMATCH:
      return 39;
    case ZVA_ATTACHMENT_PENDING:
      return 42;
    case ZVA_INVALID_REQUEST:
      return 46;
    default:
      return zvl_status_code_;
  }
}

int ZvaRpcStatus::GetFailureCode() const {
  const int code = GetZVLStatusCode();
  if (code != 0) return code;
  return zvl_status_code_ != 0 ? zvl_status_code_ : 1;
}
