#include "errors/rpc_status.h"

#include <string>

#include <gtest/gtest.h>

#include "zva/rpc/zva_error_codes.pb.h"

#include "zva/zva_codes.h"

namespace {

TEST(ZvaRpcStatusTest, DefaultRecordIsAGenericFailure) {
  ZvaRpcStatus status;
  EXPECT_EQ(status.GetGrpcStatusCode(), grpc::CANCELLED);
  EXPECT_EQ(status.GetErrorMessage(), "");
  EXPECT_EQ(status.GetZvaStatusCode(), zva::rpc::ZVA_FAILED);
  EXPECT_EQ(status.GetZVLStatusCode(), zva::kInternalError);
  EXPECT_EQ(status.GetRequestId(), "");
}

TEST(ZvaRpcStatusTest, LibraryFailureUsesFailedPrecondition) {
  ZvaRpcStatus status(zva::kNoSslCertificates, "no certificate", "PT-1");
  EXPECT_EQ(status.GetGrpcStatusCode(), grpc::FAILED_PRECONDITION);
  EXPECT_EQ(status.GetErrorMessage(), "no certificate");
  EXPECT_EQ(status.GetZvaStatusCode(), zva::rpc::ZVA_FAILED);
  EXPECT_EQ(status.GetZVLStatusCode(), zva::kNoSslCertificates);
  EXPECT_EQ(status.GetRequestId(), "PT-1");
}

TEST(ZvaRpcStatusTest, LibraryFailureIgnoresLeadingNumberInItsText) {
  // Only a gRPC failure carries a service code; a library text never does.
  ZvaRpcStatus status(zva::kDiscoveryFailure, "12 metadata missing", "");
  EXPECT_EQ(status.GetZvaStatusCode(), zva::rpc::ZVA_FAILED);
  EXPECT_EQ(status.GetZVLStatusCode(), zva::kDiscoveryFailure);
}

struct ParseCase {
  const char* message;
  int expected_service_code;
};

class ServiceCodeParsing : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ServiceCodeParsing, ReadsLeadingNumber) {
  const ParseCase& c = GetParam();
  ZvaRpcStatus status(grpc::Status(grpc::StatusCode::NOT_FOUND, c.message),
                      "PT-x", zva::kNoKcpCredentials);
  EXPECT_EQ(status.GetGrpcStatusCode(), grpc::NOT_FOUND);
  EXPECT_EQ(status.GetErrorMessage(), c.message);
  EXPECT_EQ(status.GetRequestId(), "PT-x");
  EXPECT_EQ(status.GetZvaStatusCode(), c.expected_service_code) << c.message;
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ServiceCodeParsing,
    ::testing::Values(ParseCase{"12", 12}, ParseCase{"  9 session gone", 9},
                      ParseCase{"\t\n 7", 7},
                      ParseCase{"abc 12", zva::rpc::ZVA_FAILED},
                      ParseCase{"", zva::rpc::ZVA_FAILED}, ParseCase{"-3", -3},
                      ParseCase{"+51 out of memory", 51}, ParseCase{"0", 0},
                      ParseCase{"-", zva::rpc::ZVA_FAILED},
                      ParseCase{"- 3", zva::rpc::ZVA_FAILED},
                      ParseCase{"99", 99}, ParseCase{"2147483647", 2147483647},
                      ParseCase{"-2147483648", -2147483647 - 1},
                      // Beyond the int range: no code, not a truncated one.
                      ParseCase{"2147483648", zva::rpc::ZVA_FAILED},
                      ParseCase{"-2147483649", zva::rpc::ZVA_FAILED},
                      ParseCase{"99999999999999999999999 failed",
                                zva::rpc::ZVA_FAILED},
                      ParseCase{"4294967308", zva::rpc::ZVA_FAILED}));

struct TranslationCase {
  int service_code;
  int client_code;
};

TEST(ZvaRpcStatusTest, TranslatesEveryServiceCode) {
  const TranslationCase table[] = {
      {zva::rpc::ZVA_OK, zva::kOk},
      {zva::rpc::ZVA_UNSUPPORTED_VERSION, zva::kUnsupportedVersion},
      {zva::rpc::ZVA_AUTH_ERROR, zva::kAuthenticationFailed},
      {zva::rpc::ZVA_GRPC_CONNECT_FAILURE, zva::kServiceUnavailable},
      {zva::rpc::ZVA_INVALID_MODEL, zva::kInvalidModel},
      {zva::rpc::ZVA_AUTHENTICATION_FAILED, zva::kAuthenticationFailed},
      {zva::rpc::ZVA_STATUS_UNHEALTHY, zva::kAcceleratorUnhealthy},
      {zva::rpc::ZVA_STATUS_HEALTHY, zva::kAcceleratorHealthy},
      {zva::rpc::ZVA_MODEL_NOT_FOUND, zva::kModelNotFound},
      {zva::rpc::ZVA_STATUS_FREEZE, zva::kAcceleratorFrozen},
      {zva::rpc::ZVA_STATUS_THROTTLING, zva::kThrottled},
      {zva::rpc::ZVA_SESSION_NOT_FOUND, zva::kSessionNotFound},
      {zva::rpc::ZVA_SESSION_RESET, zva::kSessionReset},
      {zva::rpc::ZVA_SESSION_DESTROYED, zva::kSessionDestroyed},
      {zva::rpc::ZVA_SESSION_TERMINATED, zva::kSessionTerminated},
      {zva::rpc::ZVA_ACCELERATOR_ID_INVALID, zva::kAcceleratorIdInvalid},
      {zva::rpc::ZVA_COME_BACK_LATER, zva::kComeBackLater},
      {zva::rpc::ZVA_MISSING_PATH, zva::kMissingPath},
      {zva::rpc::ZVA_CONNECT_EXPECTED, zva::kConnectExpected},
      {zva::rpc::ZVA_MISSING_HEADER_ACCEL_ID, zva::kMissingAcceleratorIdHeader},
      {zva::rpc::ZVA_ACCEL_ID_NOT_FOUND, zva::kAcceleratorNotFound},
      {zva::rpc::ZVA_CONNECT_NO_REQUEST_BODY, zva::kConnectWithoutBody},
      {zva::rpc::ZVA_INTERNAL_SERVER_ERROR, zva::kServiceInternalError},
      {zva::rpc::ZVA_SESSION_ID_EMPTY, zva::kSessionIdEmpty},
      {zva::rpc::ZVA_OUT_OF_MEMORY, zva::kAcceleratorOutOfMemory},
      {zva::rpc::ZVA_INVALID_TENSOR, zva::kInvalidTensor},
      {zva::rpc::ZVA_TIME_OUT, zva::kServiceTimeout},
      {zva::rpc::ZVA_REQUEST_ID_NOT_FOUND, zva::kRequestIdNotFound},
      {zva::rpc::ZVA_MODEL_ALREADY_EXISTS, zva::kModelAlreadyExists},
      {zva::rpc::ZVA_INVALID_MODEL_TYPE, zva::kInvalidModelType},
      {zva::rpc::ZVA_UNKNOWN, zva::kUnknownServiceError},
      {zva::rpc::ZVA_MODEL_TYPE_MISMATCH, zva::kModelTypeMismatch},
      {zva::rpc::ZVA_ATTACHMENT_PENDING, zva::kAttachmentPending},
      {zva::rpc::ZVA_INVALID_REQUEST, zva::kInvalidRequest},
  };
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
                        "", zva::kServiceUnavailable);
    EXPECT_EQ(status.GetZVLStatusCode(), zva::kServiceUnavailable) << message;
  }
}

TEST(ZvaRpcStatusTest, FailureCodeIsNeverSuccess) {
  const struct {
    const char* message;
    int construction_code;
    int want;
  } kCases[] = {
      {"0 ok", zva::kInternalError, zva::kInternalError},
      {"0", zva::kOk, zva::kInternalError},
      {"  +0", zva::kServiceNotReachable, zva::kServiceNotReachable},
      {"9 gone", zva::kInternalError, zva::kModelNotFound},
      {"word", zva::kNoKcpCredentials, zva::kNoKcpCredentials},
      {"word", zva::kOk, zva::kInternalError},
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
      "PT-abc", zva::kInternalError);
  ZvaRpcStatus copy = original;
  original = ZvaRpcStatus();
  EXPECT_EQ(copy.GetGrpcStatusCode(), grpc::UNAUTHENTICATED);
  EXPECT_EQ(copy.GetErrorMessage(), "3 bad signature");
  EXPECT_EQ(copy.GetZvaStatusCode(), zva::rpc::ZVA_AUTH_ERROR);
  EXPECT_EQ(copy.GetZVLStatusCode(), zva::kAuthenticationFailed);
  EXPECT_EQ(copy.GetRequestId(), "PT-abc");
}

}  // namespace
