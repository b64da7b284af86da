#ifndef ZVA_ERRORS_RPC_STATUS_H_
#define ZVA_ERRORS_RPC_STATUS_H_

#include <string>

#include <grpcpp/support/status.h>

// The record in which a failure travels through the library: the outcome of
// a failed remote call, or a failure the library found itself. A plain value
// type, copied freely; every accessor is const and without side effects, so
// distinct copies may be used from distinct threads.
class ZvaRpcStatus {
 public:
  // gRPC CANCELLED, empty message, service ZVA_FAILED, client code
  // kInternalError, no request id.
  ZvaRpcStatus();

  // A failure found by the library itself (no certificate, signing,
  // discovery): gRPC FAILED_PRECONDITION, service ZVA_FAILED.
  ZvaRpcStatus(int zvl_status_code, std::string error_message,
               std::string request_id);

  // A failed remote call. The service code is read from the leading decimal
  // number of the gRPC message; without one (or when it does not fit an int)
  // it is ZVA_FAILED. `zvl_status_code` is the fallback of GetZVLStatusCode.
  ZvaRpcStatus(const grpc::Status& status, std::string request_id,
               int zvl_status_code);

  int GetGrpcStatusCode() const { return grpc_status_code_; }
  std::string GetErrorMessage() const { return error_message_; }
  int GetZvaStatusCode() const { return zva_status_code_; }
  std::string GetRequestId() const { return request_id_; }

  // The client status code of the error catalogue that the service code
  // stands for; the code given at construction when the service code has no
  // translation of its own (ZVA_FAILED, or a value the service does not
  // define).
  int GetZVLStatusCode() const;

  // The client code to report for this failure, never kOk: GetZVLStatusCode(),
  // except that a service code meaning success (a failed call whose message
  // starts with "0") gives the construction code, or kInternalError when that
  // is kOk too. Every path that reports a failure to a caller takes its code
  // from here.
  int GetFailureCode() const;

  // The service code at the start of `message` with std::stoi's rules
  // (leading white space, optional sign, at least one digit, rest ignored);
  // `fallback` when there is no such number or it leaves the int range.
  static int ParseZvaStatusCode(const std::string& message, int fallback);

 private:
  int grpc_status_code_;
  std::string error_message_;
  int zva_status_code_;
  int zvl_status_code_;
  std::string request_id_;
};

#endif  // ZVA_ERRORS_RPC_STATUS_H_
