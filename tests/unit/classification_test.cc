#include "errors/classification.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zva/rpc/zva_error_codes.pb.h"

#include "zva/zva_codes.h"

namespace {

// A failed remote call whose message carries `service` as its leading
// number, as the service reports it.
ZvaRpcStatus Remote(int grpc, int service, int client = 1) {
  return ZvaRpcStatus(grpc::Status(static_cast<grpc::StatusCode>(grpc),
                                   std::to_string(service) + " from service"),
                      "PT-request", client);
}

// A failure the library found itself: gRPC 9, service 1.
ZvaRpcStatus Local(int client) {
  return ZvaRpcStatus(client, "found by the library", "");
}

int Thrown(const ZvaRpcStatus& status) {
  try {
    ErrorHandler::ThrowRPCStateException(status);
  } catch (zva::RPCState state) {
    return state;
  }
  ADD_FAILURE() << "nothing thrown";
  return -1;
}

struct Row {
  const char* name;
  ZvaRpcStatus status;
  int next;    // GetNextState
  int thrown;  // ThrowRPCStateException
};

void ExpectRows(const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    EXPECT_EQ(ErrorHandler::GetNextState(row.status), row.next) << row.name;
    EXPECT_EQ(Thrown(row.status), row.thrown) << row.name;
  }
}

TEST(ErrorHandlerTest, ChannelConnectAndSessionRepairs) {
  ExpectRows({
      {"cancelled", Remote(grpc::CANCELLED, zva::rpc::ZVA_FAILED),
       zva::TCP_CONNECT_NEEDED, zva::TCP_CONNECT_NEEDED},
      {"cancelled before session rule",
       Remote(grpc::CANCELLED, zva::rpc::ZVA_SESSION_NOT_FOUND),
       zva::TCP_CONNECT_NEEDED, zva::TCP_CONNECT_NEEDED},
      {"unavailable, no service code",
       Remote(grpc::UNAVAILABLE, zva::rpc::ZVA_FAILED), zva::TCP_CONNECT_NEEDED,
       zva::TCP_CONNECT_NEEDED},
      {"unavailable, service ok", Remote(grpc::UNAVAILABLE, zva::rpc::ZVA_OK),
       zva::TCP_CONNECT_NEEDED, zva::TCP_CONNECT_NEEDED},
      {"unavailable, connect expected",
       Remote(grpc::UNAVAILABLE, zva::rpc::ZVA_CONNECT_EXPECTED),
       zva::TCP_CONNECT_NEEDED, zva::TCP_CONNECT_NEEDED},
      {"unavailable, internal server error",
       Remote(grpc::UNAVAILABLE, zva::rpc::ZVA_INTERNAL_SERVER_ERROR),
       zva::RETRYABLE_ERROR, zva::RETRYABLE_ERROR},
      {"connect expected",
       Remote(grpc::FAILED_PRECONDITION, zva::rpc::ZVA_CONNECT_EXPECTED),
       zva::PROXY_CONNECT_NEEDED, zva::PROXY_CONNECT_NEEDED},
      {"connect expected needs precondition",
       Remote(grpc::NOT_FOUND, zva::rpc::ZVA_CONNECT_EXPECTED),
       zva::RETRYABLE_ERROR, zva::RETRYABLE_ERROR},
      {"session not found",
       Remote(grpc::NOT_FOUND, zva::rpc::ZVA_SESSION_NOT_FOUND),
       zva::SESSION_BUILD_NEEDED, zva::SESSION_BUILD_NEEDED},
      {"session reset", Remote(grpc::NOT_FOUND, zva::rpc::ZVA_SESSION_RESET),
       zva::SESSION_BUILD_NEEDED, zva::SESSION_BUILD_NEEDED},
      {"session destroyed",
       Remote(grpc::NOT_FOUND, zva::rpc::ZVA_SESSION_DESTROYED),
       zva::SESSION_BUILD_NEEDED, zva::SESSION_BUILD_NEEDED},
      {"session terminated",
       Remote(grpc::FAILED_PRECONDITION, zva::rpc::ZVA_SESSION_TERMINATED),
       zva::SESSION_BUILD_NEEDED, zva::SESSION_BUILD_NEEDED},
      {"session terminated needs precondition",
       Remote(grpc::NOT_FOUND, zva::rpc::ZVA_SESSION_TERMINATED),
       zva::RETRYABLE_ERROR, zva::RETRYABLE_ERROR},
      {"session not found needs not-found",
       Remote(grpc::FAILED_PRECONDITION, zva::rpc::ZVA_SESSION_NOT_FOUND),
       zva::RETRYABLE_ERROR, zva::RETRYABLE_ERROR},
  });
}

TEST(ErrorHandlerTest, DeadlineAndModelReload) {
  ExpectRows({
      {"deadline", Remote(grpc::DEADLINE_EXCEEDED, zva::rpc::ZVA_FAILED),
       zva::DEADLINE_EXCEEDED, zva::RETRYABLE_ERROR},
      {"deadline with model not found",
       Remote(grpc::DEADLINE_EXCEEDED, zva::rpc::ZVA_MODEL_NOT_FOUND),
       zva::DEADLINE_EXCEEDED, zva::RETRYABLE_ERROR},
      {"deadline with fatal service code",
       Remote(grpc::DEADLINE_EXCEEDED, zva::rpc::ZVA_UNKNOWN),
       zva::DEADLINE_EXCEEDED, zva::RETRYABLE_ERROR},
      {"model not found",
       Remote(grpc::NOT_FOUND, zva::rpc::ZVA_MODEL_NOT_FOUND),
       zva::MODEL_RELOAD_NEEDED, zva::MODEL_RELOAD_NEEDED},
      {"model not found needs not-found",
       Remote(grpc::FAILED_PRECONDITION, zva::rpc::ZVA_MODEL_NOT_FOUND),
       zva::RETRYABLE_ERROR, zva::RETRYABLE_ERROR},
  });
}

TEST(ErrorHandlerTest, FatalRows) {
  ExpectRows({
      {"request id not found",
       Remote(grpc::NOT_FOUND, zva::rpc::ZVA_REQUEST_ID_NOT_FOUND),
       zva::FATAL_ERROR, zva::FATAL_ERROR},
      {"not found, time out", Remote(grpc::NOT_FOUND, zva::rpc::ZVA_TIME_OUT),
       zva::RETRYABLE_ERROR, zva::RETRYABLE_ERROR},
      {"session id empty",
       Remote(grpc::INVALID_ARGUMENT, zva::rpc::ZVA_SESSION_ID_EMPTY),
       zva::FATAL_ERROR, zva::FATAL_ERROR},
      {"invalid tensor",
       Remote(grpc::INVALID_ARGUMENT, zva::rpc::ZVA_INVALID_TENSOR),
       zva::FATAL_ERROR, zva::FATAL_ERROR},
      {"accelerator id invalid",
       Remote(grpc::INVALID_ARGUMENT, zva::rpc::ZVA_ACCELERATOR_ID_INVALID),
       zva::FATAL_ERROR, zva::FATAL_ERROR},
      {"invalid model",
       Remote(grpc::INVALID_ARGUMENT, zva::rpc::ZVA_INVALID_MODEL),
       zva::FATAL_ERROR, zva::FATAL_ERROR},
      {"invalid model type",
       Remote(grpc::INVALID_ARGUMENT, zva::rpc::ZVA_INVALID_MODEL_TYPE),
       zva::FATAL_ERROR, zva::FATAL_ERROR},
      {"invalid argument, time out",
       Remote(grpc::INVALID_ARGUMENT, zva::rpc::ZVA_TIME_OUT),
       zva::RETRYABLE_ERROR, zva::RETRYABLE_ERROR},
      {"invalid argument, request id not found",
       Remote(grpc::INVALID_ARGUMENT, zva::rpc::ZVA_REQUEST_ID_NOT_FOUND),
       zva::RETRYABLE_ERROR, zva::RETRYABLE_ERROR},
      {"unsupported version",
       Remote(grpc::FAILED_PRECONDITION, zva::rpc::ZVA_UNSUPPORTED_VERSION),
       zva::FATAL_ERROR, zva::FATAL_ERROR},
      {"missing path",
       Remote(grpc::FAILED_PRECONDITION, zva::rpc::ZVA_MISSING_PATH),
       zva::FATAL_ERROR, zva::FATAL_ERROR},
      {"missing accelerator id header",
       Remote(grpc::FAILED_PRECONDITION, zva::rpc::ZVA_MISSING_HEADER_ACCEL_ID),
       zva::FATAL_ERROR, zva::FATAL_ERROR},
      {"connect without body",
       Remote(grpc::FAILED_PRECONDITION, zva::rpc::ZVA_CONNECT_NO_REQUEST_BODY),
       zva::FATAL_ERROR, zva::FATAL_ERROR},
      {"model type mismatch",
       Remote(grpc::FAILED_PRECONDITION, zva::rpc::ZVA_MODEL_TYPE_MISMATCH),
       zva::FATAL_ERROR, zva::FATAL_ERROR},
      // ZVA_AUTH_ERROR translates to kAuthenticationFailed.
      {"precondition, auth error",
       Remote(grpc::FAILED_PRECONDITION, zva::rpc::ZVA_AUTH_ERROR),
       zva::FATAL_ERROR, zva::FATAL_ERROR},
      {"precondition, failed",
       Remote(grpc::FAILED_PRECONDITION, zva::rpc::ZVA_FAILED),
       zva::RETRYABLE_ERROR, zva::RETRYABLE_ERROR},
      {"authentication failed",
       Remote(grpc::UNAUTHENTICATED, zva::rpc::ZVA_AUTHENTICATION_FAILED),
       zva::FATAL_ERROR, zva::FATAL_ERROR},
      {"auth error", Remote(grpc::UNAUTHENTICATED, zva::rpc::ZVA_AUTH_ERROR),
       zva::FATAL_ERROR, zva::FATAL_ERROR},
      {"unauthenticated, no service code",
       Remote(grpc::UNAUTHENTICATED, zva::rpc::ZVA_FAILED),
       zva::RETRYABLE_ERROR, zva::RETRYABLE_ERROR},
      {"out of memory",
       Remote(grpc::RESOURCE_EXHAUSTED, zva::rpc::ZVA_OUT_OF_MEMORY),
       zva::FATAL_ERROR, zva::FATAL_ERROR},
      {"exhausted, no service code",
       Remote(grpc::RESOURCE_EXHAUSTED, zva::rpc::ZVA_FAILED),
       zva::RETRYABLE_ERROR, zva::RETRYABLE_ERROR},
      {"unknown", Remote(grpc::UNKNOWN, zva::rpc::ZVA_UNKNOWN),
       zva::FATAL_ERROR, zva::FATAL_ERROR},
      {"grpc unknown, no service code",
       Remote(grpc::UNKNOWN, zva::rpc::ZVA_FAILED), zva::RETRYABLE_ERROR,
       zva::RETRYABLE_ERROR},
      {"out of memory needs exhausted",
       Remote(grpc::UNKNOWN, zva::rpc::ZVA_OUT_OF_MEMORY), zva::RETRYABLE_ERROR,
       zva::RETRYABLE_ERROR},
  });
}

TEST(ErrorHandlerTest, LibraryDetectedFailures) {
  ExpectRows({
      {"authentication failure", Local(zva::kAuthenticationFailed),
       zva::FATAL_ERROR, zva::FATAL_ERROR},
      {"signing failure", Local(zva::kSigningFailed), zva::FATAL_ERROR,
       zva::FATAL_ERROR},
      {"missing credentials", Local(zva::kNoKcpCredentials),
       zva::RETRYABLE_ERROR, zva::RETRYABLE_ERROR},
      {"missing certificates", Local(zva::kNoSslCertificates),
       zva::RETRYABLE_ERROR, zva::RETRYABLE_ERROR},
      {"kSigningFailed from a remote call",
       Remote(grpc::FAILED_PRECONDITION, zva::rpc::ZVA_FAILED,
              zva::kSigningFailed),
       zva::FATAL_ERROR, zva::FATAL_ERROR},
      {"kSigningFailed needs precondition",
       Remote(grpc::UNAVAILABLE, zva::rpc::ZVA_INTERNAL_SERVER_ERROR,
              zva::kSigningFailed),
       zva::RETRYABLE_ERROR, zva::RETRYABLE_ERROR},
  });
}

TEST(ErrorHandlerTest, DecisionsDifferOnlyOnDeadlineAndAgreeWithPredicates) {
  std::vector<int> services = {-3, 99, 1000};
  for (int s = zva::rpc::ZVA_OK; s <= zva::rpc::ZVA_INTERNAL_SERVER_ERROR;
       ++s) {
    services.push_back(s);
  }
  for (int s = zva::rpc::ZVA_SESSION_ID_EMPTY;
       s <= zva::rpc::ZVA_INVALID_REQUEST; ++s) {
    services.push_back(s);
  }
  for (int grpc = grpc::OK; grpc <= grpc::UNAUTHENTICATED; ++grpc) {
    for (int service : services) {
      for (int client : {zva::kInternalError, zva::kNoKcpCredentials,
                         zva::kAuthenticationFailed, zva::kSigningFailed,
                         zva::kNoSslCertificates}) {
        const ZvaRpcStatus status = Remote(grpc, service, client);
        const int next = ErrorHandler::GetNextState(status);
        const int thrown = Thrown(status);
        const std::string where = "grpc " + std::to_string(grpc) + " service " +
                                  std::to_string(service) + " client " +
                                  std::to_string(client);
        EXPECT_EQ(next == zva::DEADLINE_EXCEEDED,
                  grpc == grpc::DEADLINE_EXCEEDED)
            << where;
        EXPECT_EQ(thrown,
                  next == zva::DEADLINE_EXCEEDED ? zva::RETRYABLE_ERROR : next)
            << where;
        EXPECT_EQ(ErrorHandler::IsRetryable(status),
                  next <= zva::SESSION_BUILD_NEEDED)
            << where;
        if (next == zva::RETRYABLE_ERROR) {
          EXPECT_FALSE(ErrorHandler::IsFatalError(status)) << where;
        }
      }
    }
  }
}

TEST(ErrorHandlerTest, IgnoredErrorReadsTheFunctionCode) {
  using zva::functions::INFER;
  using zva::functions::POST_GRAPH_STATS;
  const struct {
    int grpc;
    std::string method_name;
    bool ignored;
  } cases[] = {
      {grpc::UNIMPLEMENTED, "[MXNet][" + POST_GRAPH_STATS + "]", true},
      {grpc::UNIMPLEMENTED, "[Pytorch][" + POST_GRAPH_STATS + "]", true},
      {grpc::UNIMPLEMENTED, "[MXNet][" + INFER + "]", false},
      {grpc::UNAVAILABLE, "[MXNet][" + POST_GRAPH_STATS + "]", false},
      {grpc::UNKNOWN, "[MXNet][" + POST_GRAPH_STATS + "]", false},
      {grpc::UNIMPLEMENTED, "9", true},           // no brackets: the whole name
      {grpc::UNIMPLEMENTED, "[9", true},          // no "]": to the end
      {grpc::UNIMPLEMENTED, "[MXNet][9", false},  // the last "]" is the tag's
      {grpc::UNIMPLEMENTED, "9]", true},          // no "[": from the start
      {grpc::UNIMPLEMENTED, "[MXNet][19]", false},
      {grpc::UNIMPLEMENTED, "[MXNet][9 ]", false},
      {grpc::UNIMPLEMENTED, "x]9[", false},  // "]" before "[": no code at all
      {grpc::UNIMPLEMENTED, "", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ErrorHandler::IsIgnoredError(Remote(c.grpc, zva::rpc::ZVA_FAILED),
                                           c.method_name),
              c.ignored)
        << c.grpc << " " << c.method_name;
  }
  EXPECT_EQ(ErrorHandler::GetNextState(
                Remote(grpc::UNIMPLEMENTED, zva::rpc::ZVA_FAILED)),
            zva::RETRYABLE_ERROR);
}

}  // namespace
