#ifndef ZVA_ZVL_UTIL_H_
#define ZVA_ZVL_UTIL_H_

// The error catalogue and per-thread last error, TLS root certificates, file
// and JSON helpers, request identifiers.

#include <map>
#include <string>

#include "zva/zva_errors.h"
#include "zvl_rpcstatus.h"

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

// Documentation pages named by the description of code 36.
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

// ---- TLS root certificates and files -----------------------------------

// The directory searched for root certificates (with trailing slash).
inline constexpr char kSslCertDirectory[] = "/etc/ssl/certs/";

// Full path of the first readable certificate file in kSslCertDirectory, in
// the fixed order of candidate names; empty (with a warning) when none is.
std::string FindSSLCert();
// The same search in `directory`, which ends with a slash.
std::string FindSSLCert(const std::string& directory);

// Replaces *out with the contents of the file FindSSLCert finds and returns
// 0; returns 35 ("Unable to locate SSL certificates") and leaves *out alone
// when there is none.
int GetRootCertificateFile(std::string* out);

// The whole contents of the file at `path`, byte for byte; empty when it
// cannot be read (nothing is logged).
std::string ReadFile(const char* path);

// A fresh request identifier: "PT-" followed by a random UUID. Different on
// every call; thread-safe.
std::string GenerateUUID();

// Parses JSON text into `message`, ignoring keys the message does not know.
// Returns 0 on success; 1 on failure, after logging the parser's status. On
// failure `message` may be partly filled and must not be used.
int DeserializeJSONToProtobufMessage(const std::string& json,
                                     google::protobuf::Message& message);

// `text` as the contents of a JSON string (without the quotes), in ASCII:
// '"' and '\\' are escaped, control characters as \b, \f, \n, \r, \t or
// \u00XX (also DEL), each well-formed UTF-8 sequence as its \uXXXX escape
// (a surrogate pair beyond U+FFFF), and each other byte of 0x80 or more as
// \ufffd. Printable ASCII is copied as it is.
std::string EscapeJsonText(const std::string& text);

// FillContext (call stamping) and BuildRpcGraphStats (graph statistics) also
// belong to this namespace; they are declared beside the code that uses them.

}  // namespace util
}  // namespace zva

#endif  // ZVA_ZVL_UTIL_H_
