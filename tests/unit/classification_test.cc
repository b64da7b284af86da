#include "errors/classification.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

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
      {"cancelled", Remote(1, 1), 0, 0},
      {"cancelled before session rule", Remote(1, 12), 0, 0},
      {"unavailable, no service code", Remote(14, 1), 0, 0},
      {"unavailable, service ok", Remote(14, 0), 0, 0},
      {"unavailable, connect expected", Remote(14, 19), 0, 0},
      {"unavailable, internal server error", Remote(14, 23), 5, 5},
      {"connect expected", Remote(9, 19), 1, 1},
      {"connect expected needs precondition", Remote(5, 19), 5, 5},
      {"session not found", Remote(5, 12), 2, 2},
      {"session reset", Remote(5, 13), 2, 2},
      {"session destroyed", Remote(5, 14), 2, 2},
      {"session terminated", Remote(9, 15), 2, 2},
      {"session terminated needs precondition", Remote(5, 15), 5, 5},
      {"session not found needs not-found", Remote(9, 12), 5, 5},
  });
}

TEST(ErrorHandlerTest, DeadlineAndModelReload) {
  ExpectRows({
      {"deadline", Remote(4, 1), 3, 5},
      {"deadline with model not found", Remote(4, 9), 3, 5},
      {"deadline with fatal service code", Remote(4, 57), 3, 5},
      {"model not found", Remote(5, 9), 4, 4},
      {"model not found needs not-found", Remote(9, 9), 5, 5},
  });
}

TEST(ErrorHandlerTest, FatalRows) {
  ExpectRows({
      {"request id not found", Remote(5, 54), 6, 6},
      {"not found, time out", Remote(5, 53), 5, 5},
      {"session id empty", Remote(3, 50), 6, 6},
      {"invalid tensor", Remote(3, 52), 6, 6},
      {"accelerator id invalid", Remote(3, 16), 6, 6},
      {"invalid model", Remote(3, 5), 6, 6},
      {"invalid model type", Remote(3, 56), 6, 6},
      {"invalid argument, time out", Remote(3, 53), 5, 5},
      {"invalid argument, request id not found", Remote(3, 54), 5, 5},
      {"unsupported version", Remote(9, 2), 6, 6},
      {"missing path", Remote(9, 18), 6, 6},
      {"missing accelerator id header", Remote(9, 20), 6, 6},
      {"connect without body", Remote(9, 22), 6, 6},
      {"model type mismatch", Remote(9, 58), 6, 6},
      // Service 3 translates to client 8, an authentication failure.
      {"precondition, auth error", Remote(9, 3), 6, 6},
      {"precondition, failed", Remote(9, 1), 5, 5},
      {"authentication failed", Remote(16, 6), 6, 6},
      {"auth error", Remote(16, 3), 6, 6},
      {"unauthenticated, no service code", Remote(16, 1), 5, 5},
      {"out of memory", Remote(8, 51), 6, 6},
      {"exhausted, no service code", Remote(8, 1), 5, 5},
      {"unknown", Remote(2, 57), 6, 6},
      {"grpc unknown, no service code", Remote(2, 1), 5, 5},
      {"out of memory needs exhausted", Remote(2, 51), 5, 5},
  });
}

TEST(ErrorHandlerTest, LibraryDetectedFailures) {
  ExpectRows({
      {"authentication failure", Local(8), 6, 6},
      {"signing failure", Local(9), 6, 6},
      {"missing credentials", Local(7), 5, 5},
      {"missing certificates", Local(35), 5, 5},
      {"client code 9 from a remote call", Remote(9, 1, 9), 6, 6},
      {"client code 9 needs precondition", Remote(14, 23, 9), 5, 5},
  });
}

TEST(ErrorHandlerTest, DecisionsDifferOnlyOnDeadlineAndAgreeWithPredicates) {
  std::vector<int> services = {-3, 99, 1000};
  for (int s = 0; s <= 23; ++s) services.push_back(s);
  for (int s = 50; s <= 60; ++s) services.push_back(s);
  for (int grpc = 0; grpc <= 16; ++grpc) {
    for (int service : services) {
      for (int client : {1, 7, 8, 9, 35}) {
        const ZvaRpcStatus status = Remote(grpc, service, client);
        const int next = ErrorHandler::GetNextState(status);
        const int thrown = Thrown(status);
        const std::string where = "grpc " + std::to_string(grpc) + " service " +
                                  std::to_string(service) + " client " +
                                  std::to_string(client);
        EXPECT_EQ(next == zva::DEADLINE_EXCEEDED, grpc == 4) << where;
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
      {12, "[MXNet][" + POST_GRAPH_STATS + "]", true},
      {12, "[Pytorch][" + POST_GRAPH_STATS + "]", true},
      {12, "[MXNet][" + INFER + "]", false},
      {14, "[MXNet][" + POST_GRAPH_STATS + "]", false},
      {2, "[MXNet][" + POST_GRAPH_STATS + "]", false},
      {12, "9", true},           // no brackets: the whole name
      {12, "[9", true},          // no "]": to the end
      {12, "[MXNet][9", false},  // the last "]" is the tag's
      {12, "9]", true},          // no "[": from the start
      {12, "[MXNet][19]", false},
      {12, "[MXNet][9 ]", false},
      {12, "x]9[", false},  // "]" before "[": no code at all
      {12, "", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ErrorHandler::IsIgnoredError(Remote(c.grpc, 1), c.method_name),
              c.ignored)
        << c.grpc << " " << c.method_name;
  }
  EXPECT_EQ(ErrorHandler::GetNextState(Remote(12, 1)), zva::RETRYABLE_ERROR);
}

}  // namespace
