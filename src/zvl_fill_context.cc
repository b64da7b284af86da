#include "zvl_fill_context.h"

#include <chrono>

#include "log_stream.h"
#include "zvl_accelerator.h"
#include "zvl_util.h"

namespace zva {
namespace util {

std::string FillContext(grpc::ClientContext* context, Accelerator* accelerator,
                        int timeout_ms) {
  logger::CLogger log;
  std::string request_id = GenerateUUID();
  std::string time_stamp = logger::CLogger::GetTimeStampInMicroseconds();
  log << "[Preparing Context] request id: " << request_id << " Time stamp - "
      << time_stamp << "\n"
      << logger::DEBUG;
  context->AddMetadata("x-kstrn-request-id", request_id);
  context->AddMetadata(
      "x-kstrn-zva-accelerator-id",
      accelerator != nullptr ? accelerator->GetAcceleratorID() : std::string());
  context->AddMetadata("x-kstrn-time-stamp", time_stamp);
  context->set_deadline(std::chrono::system_clock::now() +
                        std::chrono::milliseconds(timeout_ms));
  return request_id;
}

}  // namespace util
}  // namespace zva
