#include "errors/safe_text.h"

#include <cstdio>
#include <utility>

#include "zva/zva_errors.h"
#include "errors/rpc_status.h"
#include "errors/catalogue.h"

namespace zva {
namespace util {

namespace {

// Longest part of a refused text that a message repeats.
constexpr std::size_t kLongestEscapedText = 256;

bool IsAsciiLetterOrDigit(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9');
}

}  // namespace

bool IsSafeIdentifier(std::string_view text) {
  if (text.empty() || text.size() > kMaxIdentifierLength) return false;
  if (text == "." || text == "..") return false;
  for (char c : text) {
    if (!IsAsciiLetterOrDigit(c) && c != '.' && c != '_' && c != '-') {
      return false;
    }
  }
  return true;
}

bool IsSafeRegion(std::string_view text) {
  if (text.empty() || text.size() > kMaxRegionLength) return false;
  for (char c : text) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) {
      return false;
    }
  }
  return true;
}

std::size_t FirstUnsendableByte(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte > 0x7e) return i;
  }
  return std::string_view::npos;
}

std::string EscapeForMessage(std::string_view text) {
  const std::string_view shown = text.substr(0, kLongestEscapedText);
  std::string out;
  out.reserve(shown.size());
  for (char c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (byte >= 0x20 && byte <= 0x7e) {
      out += c;
    } else {
      char code[8];
      std::snprintf(code, sizeof(code), "\\x%02x", byte);
      out += code;
    }
  }
  if (shown.size() < text.size()) {
    out += "... (" + std::to_string(text.size()) + " bytes)";
  }
  return out;
}

std::string RefusedValueText(const char* what, std::string_view value,
                             const std::string& source, const char* rule) {
  return std::string(what) + " \"" + EscapeForMessage(value) + "\" from " +
         source + " is refused: it must be " + rule;
}

void SetLastErrorWithDetail(int code, const std::string& detail) {
  std::string text = GenerateLastErrorMessage(
      ZvaRpcStatus(code, GetErrorDescription(code), std::string()),
      std::string(), std::string());
  // The detail joins the description line, so the text keeps its lines.
  const std::string::size_type end_of_description =
      text.find("\n    ZV Request ID: ");
  if (end_of_description != std::string::npos) {
    text.insert(end_of_description, ": " + detail);
  } else {
    text += detail + "\n";
  }
  SetLastError(std::move(text));
}

}  // namespace util
}  // namespace zva
