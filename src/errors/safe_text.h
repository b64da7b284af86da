#ifndef ZVA_ERRORS_SAFE_TEXT_H_
#define ZVA_ERRORS_SAFE_TEXT_H_

// Checks on texts that come from outside the library (the metadata service,
// the response overrides, the environment, the credentials) before they
// become part of a URL, a host name or a request header, and the escaping
// that names a refused text in a log line or an error message. gRPC stops
// the whole process when it is handed a header value it will not send, so
// every such text is checked where it enters, and refused with a status code.
//
// All functions are pure and thread-safe, except SetLastErrorWithDetail,
// which writes the calling thread's last error.

#include <cstddef>
#include <string>
#include <string_view>

namespace zva {
namespace util {

// Longest accelerator identifier or device name accepted. Real ones are
// about twenty characters; the bound keeps a hostile document out of every
// URL, header and log line.
inline constexpr std::size_t kMaxIdentifierLength = 128;
// Longest region accepted: the region becomes one label of the proxy host
// name, and a DNS label holds at most 63 characters.
inline constexpr std::size_t kMaxRegionLength = 63;

// What IsSafeIdentifier and IsSafeRegion accept, as messages name it.
inline constexpr char kIdentifierRule[] =
    "1 to 128 characters of A-Z a-z 0-9 . _ -, not \".\" or \"..\"";
inline constexpr char kRegionRule[] = "1 to 63 characters of a-z 0-9 -";

// True for 1 to kMaxIdentifierLength characters of A-Z, a-z, 0-9, '.', '_'
// and '-', other than "." and ".." (which would name a directory of the
// metadata tree in a details URL).
bool IsSafeIdentifier(std::string_view text);

// True for 1 to kMaxRegionLength characters of a-z, 0-9 and '-'.
bool IsSafeRegion(std::string_view text);

// Offset of the first byte that gRPC refuses in the value of a (non-binary)
// request header, that is any byte outside printable ASCII (0x20 to 0x7e);
// std::string_view::npos when there is none.
std::size_t FirstUnsendableByte(std::string_view text);
inline bool IsSendableHeaderValue(std::string_view text) {
  return FirstUnsendableByte(text) == std::string_view::npos;
}

// `text` fit for a log line or a message: printable ASCII as it is, a
// backslash doubled, any other byte as \xNN. A text over 256 bytes is cut
// there and followed by "..." and its length in bytes.
std::string EscapeForMessage(std::string_view text);

// `<what> "<escaped value>" from <source> is refused: it must be <rule>`.
std::string RefusedValueText(const char* what, std::string_view value,
                             const std::string& source, const char* rule);

// Sets the calling thread's last error to the text of client status code
// `code` (as GenerateLastErrorMessage writes it, without request and
// accelerator identifiers), with ": " and `detail` appended to its
// description line.
void SetLastErrorWithDetail(int code, const std::string& detail);

}  // namespace util
}  // namespace zva

#endif  // ZVA_ERRORS_SAFE_TEXT_H_
