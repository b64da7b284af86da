#ifndef ZVA_ERRORS_CATALOGUE_H_
#define ZVA_ERRORS_CATALOGUE_H_

// The error catalogue and the per-thread last error.

#include <map>
#include <string>

#include "zva/zva_errors.h"
#include "errors/rpc_status.h"

namespace google {
namespace protobuf {
class Message;
}  // namespace protobuf
}  // namespace google

namespace zva {

// Client status code -> description, for every code the library returns.
// Built during static initialisation and read-only afterwards; safe to read
// from any thread.
extern const std::map<int, std::string> errorDescriptions;

// The description of a code the catalogue lacks.
inline constexpr char kNoErrorDescription[] = "Invalid error code specified";

// Documentation pages named by the description of kServiceNotReachable.
inline constexpr char kSetupInstructionsUrl[] =
    "https://docs.kestrocloud.example/zorvel/setup";
inline constexpr char kSetupValidationUrl[] =
    "https://docs.kestrocloud.example/zorvel/validate";

namespace util {

// ---- Last error (per thread; no locking involved) ----------------------

// The calling thread's last-error text, created on the thread's first use
// with "Notice - No last error found".
std::string& LastError();

// Replaces the calling thread's last-error text by `message`.
void SetLastError(std::string message);

// The five-line last-error text of a failed call: the service, transport and
// client codes (the client code being status.GetFailureCode()), the description
// (the service's own message when the catalogue's is empty), the request and
// accelerator identifiers, and the client version. Ends with a newline.
std::string GenerateLastErrorMessage(ZvaRpcStatus status,
                                     std::string request_id,
                                     std::string accelerator_id);

// FillContext (call stamping) and BuildRpcGraphStats (graph statistics) also
// belong to this namespace; they are declared beside the code that uses them.

}  // namespace util
}  // namespace zva

#endif  // ZVA_ERRORS_CATALOGUE_H_
