#include "errors/rpc_status.h"

#include <string>

#include <gtest/gtest.h>

#include "zva/zva_codes.h"

namespace {

TEST(ZvaRpcStatusTest, DefaultRecordIsAGenericFailure) {
  ZvaRpcStatus status;
  EXPECT_EQ(status.GetGrpcStatusCode(), 1);
  EXPECT_EQ(status.GetErrorMessage(), "");
  EXPECT_EQ(status.GetZvaStatusCode(), 1);
  EXPECT_EQ(status.GetZVLStatusCode(), 1);
  EXPECT_EQ(status.GetRequestId(), "");
}

TEST(ZvaRpcStatusTest, LibraryFailureUsesFailedPrecondition) {
  ZvaRpcStatus status(35, "no certificate", "PT-1");
  EXPECT_EQ(status.GetGrpcStatusCode(), 9);
  EXPECT_EQ(status.GetErrorMessage(), "no certificate");
  EXPECT_EQ(status.GetZvaStatusCode(), 1);
  EXPECT_EQ(status.GetZVLStatusCode(), 35);
  EXPECT_EQ(status.GetRequestId(), "PT-1");
}

TEST(ZvaRpcStatusTest, LibraryFailureIgnoresLeadingNumberInItsText) {
  // Only a gRPC failure carries a service code; a library text never does.
  ZvaRpcStatus status(19, "12 metadata missing", "");
  EXPECT_EQ(status.GetZvaStatusCode(), 1);
  EXPECT_EQ(status.GetZVLStatusCode(), 19);
}

struct ParseCase {
  const char* message;
  int expected_service_code;
};

class ServiceCodeParsing : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ServiceCodeParsing, ReadsLeadingNumber) {
  const ParseCase& c = GetParam();
  ZvaRpcStatus status(grpc::Status(grpc::StatusCode::NOT_FOUND, c.message),
                      "PT-x", 7);
  EXPECT_EQ(status.GetGrpcStatusCode(), 5);
  EXPECT_EQ(status.GetErrorMessage(), c.message);
  EXPECT_EQ(status.GetRequestId(), "PT-x");
  EXPECT_EQ(status.GetZvaStatusCode(), c.expected_service_code) << c.message;
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ServiceCodeParsing,
    ::testing::Values(ParseCase{"12", 12}, ParseCase{"  9 session gone", 9},
                      ParseCase{"\t\n 7", 7}, ParseCase{"abc 12", 1},
                      ParseCase{"", 1}, ParseCase{"-3", -3},
                      ParseCase{"+51 out of memory", 51}, ParseCase{"0", 0},
                      ParseCase{"-", 1}, ParseCase{"- 3", 1},
                      ParseCase{"99", 99}, ParseCase{"2147483647", 2147483647},
                      ParseCase{"-2147483648", -2147483647 - 1},
                      // Beyond the int range: no code, not a truncated one.
                      ParseCase{"2147483648", 1}, ParseCase{"-2147483649", 1},
                      ParseCase{"99999999999999999999999 failed", 1},
                      ParseCase{"4294967308", 1}));

struct TranslationCase {
  int service_code;
  int client_code;
};

TEST(ZvaRpcStatusTest, TranslatesEveryServiceCode) {
  const TranslationCase table[] = {
      {0, 0},   {2, 2},   {3, 8},   {4, 4},   {5, 6},   {6, 8},   {7, 10},
      {8, 11},  {9, 12},  {10, 14}, {11, 18}, {12, 13}, {13, 22}, {14, 16},
      {15, 15}, {16, 17}, {17, 27}, {18, 26}, {19, 25}, {20, 24}, {21, 28},
      {22, 29}, {23, 30}, {50, 23}, {51, 31}, {52, 32}, {53, 33}, {54, 34},
      {55, 43}, {56, 44}, {57, 45}, {58, 39}, {59, 42}, {60, 46}};
  for (const TranslationCase& c : table) {
    ZvaRpcStatus status(grpc::Status(grpc::StatusCode::UNKNOWN,
                                     std::to_string(c.service_code) + " x"),
                        "", 77);
    EXPECT_EQ(status.GetZVLStatusCode(), c.client_code)
        << "service code " << c.service_code;
  }
}

TEST(ZvaRpcStatusTest, UntranslatedServiceCodesFallBackToConstructionCode) {
  for (const char* message : {"1", "24", "49", "61", "-3", "word", "1000"}) {
    ZvaRpcStatus status(grpc::Status(grpc::StatusCode::UNAVAILABLE, message),
                        "", 4);
    EXPECT_EQ(status.GetZVLStatusCode(), 4) << message;
  }
}

TEST(ZvaRpcStatusTest, FailureCodeIsNeverSuccess) {
  const struct {
    const char* message;
    int construction_code;
    int want;
  } kCases[] = {
      {"0 ok", 1, 1},    {"0", 0, 1},    {"  +0", 36, 36},
      {"9 gone", 1, 12}, {"word", 7, 7}, {"word", 0, 1},
  };
  for (const auto& c : kCases) {
    ZvaRpcStatus status(grpc::Status(grpc::StatusCode::INTERNAL, c.message), "",
                        c.construction_code);
    EXPECT_EQ(status.GetFailureCode(), c.want) << c.message;
  }
}

// A failed call reported as success leaves the caller reading an answer that
// never came, whatever the record says: service code 0, gRPC code 0, client
// code 0 given at construction.
TEST(ZvaRpcStatusTest, NoFailureRecordReportsSuccess) {
  for (int transport = grpc::OK; transport <= grpc::UNAUTHENTICATED;
       ++transport) {
    for (const char* message : {"0", "0 ok", "-0", "", "word", "1", "61"}) {
      for (int code : {zva::kOk, zva::kInternalError}) {
        const ZvaRpcStatus status(
            grpc::Status(static_cast<grpc::StatusCode>(transport), message), "",
            code);
        EXPECT_NE(status.GetFailureCode(), zva::kOk)
            << transport << " '" << message << "' " << code;
      }
    }
  }
  EXPECT_NE(ZvaRpcStatus(zva::kOk, "", "").GetFailureCode(), zva::kOk);
  EXPECT_NE(ZvaRpcStatus().GetFailureCode(), zva::kOk);
}

TEST(ZvaRpcStatusTest, CopiesKeepEveryField) {
  ZvaRpcStatus original(
      grpc::Status(grpc::StatusCode::UNAUTHENTICATED, "3 bad signature"),
      "PT-abc", 1);
  ZvaRpcStatus copy = original;
  original = ZvaRpcStatus();
  EXPECT_EQ(copy.GetGrpcStatusCode(), 16);
  EXPECT_EQ(copy.GetErrorMessage(), "3 bad signature");
  EXPECT_EQ(copy.GetZvaStatusCode(), 3);
  EXPECT_EQ(copy.GetZVLStatusCode(), 8);
  EXPECT_EQ(copy.GetRequestId(), "PT-abc");
}

}  // namespace
