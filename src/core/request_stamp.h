#ifndef ZVA_CORE_REQUEST_STAMP_H_
#define ZVA_CORE_REQUEST_STAMP_H_

#include <chrono>
#include <string>

#include <grpcpp/client_context.h>

namespace zva {

namespace util {

// Stamps a fresh client context for one call to the accelerator
// `accelerator_id`: a new request identifier ("PT-" and a random UUID), the
// accelerator identifier, a time stamp, and a deadline `timeout` from now. Returns the
// request identifier. A header whose value gRPC would refuse is left out
// (and logged) rather than handed to gRPC. Thread-safe.
std::string FillContext(grpc::ClientContext* context,
                        const std::string& accelerator_id,
                        std::chrono::milliseconds timeout);

}  // namespace util
}  // namespace zva

#endif  // ZVA_CORE_REQUEST_STAMP_H_
