#include "core/request_stamp.h"

#include <chrono>

#include "platform/log_stream.h"
#include "errors/safe_text.h"
#include "errors/catalogue.h"
#include "platform/files.h"

namespace zva {
namespace util {

namespace {

// Adds the header unless gRPC would refuse its value, which stops the whole
// process. Every value here is made or checked by the library, so a refused
// one is a fault elsewhere: it is logged and the call goes without that
// header, which the service answers with a failure of its own.
void AddSendable(grpc::ClientContext* context, const char* key,
                 const std::string& value) {
  if (IsSendableHeaderValue(value)) {
    context->AddMetadata(key, value);
    return;
  }
  logger::CLogger log;
  log << "[Preparing Context] Header " << key << " left out: its value \""
      << EscapeForMessage(value) << "\" cannot be sent\n"
      << logger::ERROR;
}

}  // namespace

std::string FillContext(grpc::ClientContext* context,
                        const std::string& accelerator_id,
                        std::chrono::milliseconds timeout) {
  std::string request_id = GenerateUUID();
  std::string time_stamp = logger::CLogger::GetTimeStampInMicroseconds();
  // Every call is stamped here; the record is made only when written.
  if (logger::CLogger::Enabled(logger::DEBUG)) {
    logger::CLogger log;
    log << "[Preparing Context] request id: " << request_id << " Time stamp - "
        << time_stamp << "\n"
        << logger::DEBUG;
  }
  AddSendable(context, "x-kstrn-request-id", request_id);
  AddSendable(context, "x-kstrn-zva-accelerator-id", accelerator_id);
  AddSendable(context, "x-kstrn-time-stamp", time_stamp);
  context->set_deadline(std::chrono::system_clock::now() + timeout);
  return request_id;
}

}  // namespace util
}  // namespace zva
