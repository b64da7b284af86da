#ifndef ZVA_CORE_REQUEST_STAMP_H_
#define ZVA_CORE_REQUEST_STAMP_H_

#include <string>

#include <grpcpp/client_context.h>

namespace zva {

class Accelerator;

namespace util {

// Stamps a fresh client context for one call to `accelerator`: a new request
// identifier ("PT-" and a random UUID), the accelerator identifier, a time
// stamp, and a deadline `timeout_ms` milliseconds from now. Returns the
// request identifier. A header whose value gRPC would refuse is left out
// (and logged) rather than handed to gRPC. Thread-safe.
std::string FillContext(grpc::ClientContext* context, Accelerator* accelerator,
                        int timeout_ms);

}  // namespace util
}  // namespace zva

#endif  // ZVA_CORE_REQUEST_STAMP_H_
