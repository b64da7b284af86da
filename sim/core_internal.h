#ifndef ZVSIM_CORE_INTERNAL_H_
#define ZVSIM_CORE_INTERNAL_H_

// What the source files of the core share, and what the simulator needs of
// it beyond the public class.

#include <memory>
#include <string>

#include <grpcpp/grpcpp.h>

#include "zva/rpc/zva_service.grpc.pb.h"

#include "zvsim/core.h"

namespace zvsim {

// The generated service, forwarding every method to `core`. One per server
// generation (a restart builds a new server and a new service).
std::unique_ptr<grpc::Service> NewService(Core* core);

// Random lower-case hex text of `digits` digits, from OpenSSL's generator.
std::string RandomHex(size_t digits);
// Random text of `size` characters of `alphabet`, from the same generator.
std::string RandomText(size_t size, const std::string& alphabet);

inline grpc::Status Fail(grpc::StatusCode code, const char* message) {
  return grpc::Status(code, message);
}

// Whether a rule for `rule` ("*" or empty for all) covers `value`.
inline bool Matches(const std::string& rule, const std::string& value) {
  return rule.empty() || rule == "*" || rule == value;
}

// Throws std::invalid_argument unless `method` is a method name or "*".
void CheckMethod(const std::string& method);

// `text` as the inside of a JSON string.
std::string JsonEscape(const std::string& text);

}  // namespace zvsim

#endif  // ZVSIM_CORE_INTERNAL_H_
