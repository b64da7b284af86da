#include "errors/classification.h"

#include <initializer_list>

namespace {

// gRPC status codes looked at here.
constexpr int kCancelled = 1;
constexpr int kUnknown = 2;
constexpr int kInvalidArgument = 3;
constexpr int kDeadlineExceeded = 4;
constexpr int kNotFound = 5;
constexpr int kResourceExhausted = 8;
constexpr int kFailedPrecondition = 9;
constexpr int kUnimplemented = 12;
constexpr int kUnavailable = 14;
constexpr int kUnauthenticated = 16;

// Service status codes looked at here.
constexpr int kUnsupportedVersion = 2;
constexpr int kAuthError = 3;
constexpr int kInvalidModel = 5;
constexpr int kAuthenticationFailed = 6;
constexpr int kModelNotFound = 9;
constexpr int kSessionNotFound = 12;
constexpr int kSessionReset = 13;
constexpr int kSessionDestroyed = 14;
constexpr int kSessionTerminated = 15;
constexpr int kAcceleratorIdInvalid = 16;
constexpr int kMissingPath = 18;
constexpr int kConnectExpected = 19;
constexpr int kMissingHeaderAccelId = 20;
constexpr int kConnectNoRequestBody = 22;
constexpr int kInternalServerError = 23;
constexpr int kSessionIdEmpty = 50;
constexpr int kOutOfMemory = 51;
constexpr int kInvalidTensor = 52;
constexpr int kRequestIdNotFound = 54;
constexpr int kInvalidModelType = 56;
constexpr int kServiceUnknown = 57;
constexpr int kModelTypeMismatch = 58;

// Client status codes of the two authentication failures.
constexpr int kClientAuthFailed = 8;
constexpr int kClientSigningFailed = 9;

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
  return grpc == kCancelled ||
         (grpc == kUnavailable &&
          status.GetZvaStatusCode() != kInternalServerError);
}

bool ErrorHandler::IsProxyConnectNeeded(ZvaRpcStatus status) {
  return status.GetGrpcStatusCode() == kFailedPrecondition &&
         status.GetZvaStatusCode() == kConnectExpected;
}

bool ErrorHandler::IsSessionBuildNeeded(ZvaRpcStatus status) {
  const int grpc = status.GetGrpcStatusCode();
  const int service = status.GetZvaStatusCode();
  return (grpc == kNotFound && OneOf(service, {kSessionNotFound, kSessionReset,
                                               kSessionDestroyed})) ||
         (grpc == kFailedPrecondition && service == kSessionTerminated);
}

bool ErrorHandler::IsDeadlineExceeded(ZvaRpcStatus status) {
  return status.GetGrpcStatusCode() == kDeadlineExceeded;
}

bool ErrorHandler::IsModelReloadNeeded(ZvaRpcStatus status) {
  return status.GetGrpcStatusCode() == kNotFound &&
         status.GetZvaStatusCode() == kModelNotFound;
}

bool ErrorHandler::IsFatalError(ZvaRpcStatus status) {
  const int service = status.GetZvaStatusCode();
  switch (status.GetGrpcStatusCode()) {
    case kNotFound:
      return service == kRequestIdNotFound;
    case kInvalidArgument:
      return OneOf(service,
                   {kSessionIdEmpty, kInvalidTensor, kAcceleratorIdInvalid,
                    kInvalidModel, kInvalidModelType});
    case kFailedPrecondition:
      return OneOf(service,
                   {kUnsupportedVersion, kMissingPath, kMissingHeaderAccelId,
                    kConnectNoRequestBody, kModelTypeMismatch}) ||
             OneOf(status.GetZVLStatusCode(),
                   {kClientAuthFailed, kClientSigningFailed});
    case kUnauthenticated:
      return OneOf(service, {kAuthenticationFailed, kAuthError});
    case kResourceExhausted:
      return service == kOutOfMemory;
    case kUnknown:
      return service == kServiceUnknown;
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
  return status.GetGrpcStatusCode() == kUnimplemented &&
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
