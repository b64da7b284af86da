// The message of a failed call, whose leading number is the service's
// status code, and the last-error text made from it.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include <grpcpp/support/status.h>

#include "fuzz_support.h"
#include "errors/rpc_status.h"
#include "errors/catalogue.h"

namespace {

constexpr int kFallback = -424242;

// The documented rules: those of std::stoi, the fallback where it throws.
int Expected(const std::string& message) {
  try {
    return std::stoi(message);
  } catch (const std::logic_error&) {
    return kFallback;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zvfuzz::SilenceLibraryLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte is the transport code; the rest is the message.
  const auto grpc_code = static_cast<grpc::StatusCode>(data[0] % 17);
  const std::string message(reinterpret_cast<const char*>(data) + 1, size - 1);

  if (ZvaRpcStatus::ParseZvaStatusCode(message, kFallback) !=
      Expected(message)) {
    std::abort();
  }

  const ZvaRpcStatus status(grpc::Status(grpc_code, message), "PT-0",
                            zva::kInternalError);
  if (status.GetZvaStatusCode() !=
      ZvaRpcStatus::ParseZvaStatusCode(message, status.GetZvaStatusCode())) {
    std::abort();
  }
  const std::string text =
      zva::util::GenerateLastErrorMessage(status, "PT-0", "zva-0123");
  if (text.empty() || text.back() != '\n') std::abort();
  return 0;
}
