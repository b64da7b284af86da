#include "errors/classification.h"

#include <initializer_list>

#include "zva/rpc/zva_error_codes.pb.h"

#include "zva/zva_codes.h"

// gRPC's codes and the service's (its generated enum, whose names all start
// with ZVA_) under their own names.
using grpc::StatusCode;
using namespace zva::rpc;

namespace {

bool OneOf(int value, std::initializer_list<int> set) {
  for (int v : set) {
    if (v == value) return true;
  }
  return false;
}

// The text after the last '[' and before the last ']'; empty when the last
// ']' comes before the last '[', so a malformed name never matches a code.
std::string FunctionCode(const std::string& method_name) {
  const size_t open = method_name.rfind('[');
  const size_t start = open == std::string::npos ? 0 : open + 1;
  const size_t close = method_name.rfind(']');
  const size_t end = close == std::string::npos ? method_name.size() : close;
  if (end < start) return std::string();
  return method_name.substr(start, end - start);
}

}  // namespace

bool ErrorHandler::IsTcpConnectNeeded(ZvaRpcStatus status) {
  const int grpc = status.GetGrpcStatusCode();
  return grpc == StatusCode::CANCELLED ||
         (grpc == StatusCode::UNAVAILABLE &&
          status.GetZvaStatusCode() != ZVA_INTERNAL_SERVER_ERROR);
}

bool ErrorHandler::IsProxyConnectNeeded(ZvaRpcStatus status) {
  return status.GetGrpcStatusCode() == StatusCode::FAILED_PRECONDITION &&
         status.GetZvaStatusCode() == ZVA_CONNECT_EXPECTED;
}

bool ErrorHandler::IsSessionBuildNeeded(ZvaRpcStatus status) {
  const int grpc = status.GetGrpcStatusCode();
  const int service = status.GetZvaStatusCode();
  return (grpc == StatusCode::NOT_FOUND &&
          OneOf(service, {ZVA_SESSION_NOT_FOUND, ZVA_SESSION_RESET,
                          ZVA_SESSION_DESTROYED})) ||
         (grpc == StatusCode::FAILED_PRECONDITION &&
          service == ZVA_SESSION_TERMINATED);
}

bool ErrorHandler::IsDeadlineExceeded(ZvaRpcStatus status) {
  return status.GetGrpcStatusCode() == StatusCode::DEADLINE_EXCEEDED;
}

bool ErrorHandler::IsModelReloadNeeded(ZvaRpcStatus status) {
  return status.GetGrpcStatusCode() == StatusCode::NOT_FOUND &&
         status.GetZvaStatusCode() == ZVA_MODEL_NOT_FOUND;
}

bool ErrorHandler::IsFatalError(ZvaRpcStatus status) {
  const int service = status.GetZvaStatusCode();
  switch (status.GetGrpcStatusCode()) {
    case StatusCode::NOT_FOUND:
      return service == ZVA_REQUEST_ID_NOT_FOUND;
    case StatusCode::INVALID_ARGUMENT:
      return OneOf(service, {ZVA_SESSION_ID_EMPTY, ZVA_INVALID_TENSOR,
                             ZVA_ACCELERATOR_ID_INVALID, ZVA_INVALID_MODEL,
                             ZVA_INVALID_MODEL_TYPE});
    case StatusCode::FAILED_PRECONDITION:
      return OneOf(service,
                   {ZVA_UNSUPPORTED_VERSION, ZVA_MISSING_PATH,
                    ZVA_MISSING_HEADER_ACCEL_ID, ZVA_CONNECT_NO_REQUEST_BODY,
                    ZVA_MODEL_TYPE_MISMATCH}) ||
             OneOf(status.GetZVLStatusCode(),
                   {zva::kAuthenticationFailed, zva::kSigningFailed});
    case StatusCode::UNAUTHENTICATED:
      return OneOf(service, {ZVA_AUTHENTICATION_FAILED, ZVA_AUTH_ERROR});
    case StatusCode::RESOURCE_EXHAUSTED:
      return service == ZVA_OUT_OF_MEMORY;
    case StatusCode::UNKNOWN:
      return service == ZVA_UNKNOWN;
    default:
      return false;
  }
}

bool ErrorHandler::IsRetryable(ZvaRpcStatus status) {
  return IsTcpConnectNeeded(status) || IsProxyConnectNeeded(status) ||
         IsSessionBuildNeeded(status);
}

bool ErrorHandler::IsIgnoredError(ZvaRpcStatus status,
                                  const std::string& method_name) {
  return status.GetGrpcStatusCode() == StatusCode::UNIMPLEMENTED &&
         FunctionCode(method_name) == zva::functions::POST_GRAPH_STATS;
}

int ErrorHandler::GetNextState(ZvaRpcStatus status) {
  if (IsTcpConnectNeeded(status)) return zva::TCP_CONNECT_NEEDED;
  if (IsProxyConnectNeeded(status)) return zva::PROXY_CONNECT_NEEDED;
  if (IsSessionBuildNeeded(status)) return zva::SESSION_BUILD_NEEDED;
  if (IsDeadlineExceeded(status)) return zva::DEADLINE_EXCEEDED;
  if (IsModelReloadNeeded(status)) return zva::MODEL_RELOAD_NEEDED;
  if (IsFatalError(status)) return zva::FATAL_ERROR;
  return zva::RETRYABLE_ERROR;
}

void ErrorHandler::ThrowRPCStateException(ZvaRpcStatus status) {
  if (IsTcpConnectNeeded(status)) throw zva::TCP_CONNECT_NEEDED;
  if (IsProxyConnectNeeded(status)) throw zva::PROXY_CONNECT_NEEDED;
  if (IsSessionBuildNeeded(status)) throw zva::SESSION_BUILD_NEEDED;
  if (IsModelReloadNeeded(status)) throw zva::MODEL_RELOAD_NEEDED;
  if (IsFatalError(status)) throw zva::FATAL_ERROR;
  throw zva::RETRYABLE_ERROR;
}
