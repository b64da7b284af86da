#ifndef ZVA_PLATFORM_FILES_H_
#define ZVA_PLATFORM_FILES_H_

// TLS root certificates, whole-file reads, JSON parsing and escaping, and
// request identifiers. Every function is thread-safe.

#include <string>

#include "zva/zva_codes.h"

namespace google {
namespace protobuf {
class Message;
}  // namespace protobuf
}  // namespace google

namespace zva {
namespace util {

// ---- TLS root certificates and files -----------------------------------

// The directory searched for root certificates (with trailing slash).
inline constexpr char kSslCertDirectory[] = "/etc/ssl/certs/";

// Full path of the first readable certificate file in kSslCertDirectory, in
// the fixed order of candidate names; empty (with a warning) when none is.
std::string FindSSLCert();
// The same search in `directory`, which ends with a slash.
std::string FindSSLCert(const std::string& directory);

// Replaces *out with the contents of the file FindSSLCert finds and returns
// kOk; returns kNoSslCertificates and leaves *out alone when there is none.
int GetRootCertificateFile(std::string* out);

// The whole contents of the file at `path`, byte for byte; empty when it
// cannot be read (nothing is logged).
std::string ReadFile(const char* path);

// A fresh request identifier: "PT-" followed by a random UUID. Different on
// every call; thread-safe.
std::string GenerateUUID();

// Parses JSON text into `message`, ignoring keys the message does not know.
// Returns kOk on success; kInternalError on failure, after logging the
// parser's status. On failure `message` may be partly filled and must not be
// used.
int DeserializeJSONToProtobufMessage(const std::string& json,
                                     google::protobuf::Message& message);

// `text` as the contents of a JSON string (without the quotes), in ASCII:
// '"' and '\\' are escaped, control characters as \b, \f, \n, \r, \t or
// \u00XX (also DEL), each well-formed UTF-8 sequence as its \uXXXX escape
// (a surrogate pair beyond U+FFFF), and each other byte of 0x80 or more as
// \ufffd. Printable ASCII is copied as it is.
std::string EscapeJsonText(const std::string& text);

}  // namespace util
}  // namespace zva

#endif  // ZVA_PLATFORM_FILES_H_
