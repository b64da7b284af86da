#include "platform/files.h"

#include <fstream>
#include <sstream>

#include <google/protobuf/message.h>
#include <google/protobuf/util/json_util.h>
#include <unistd.h>

#include "platform/kcp.h"
#include "platform/log_stream.h"

namespace zva {
namespace util {

using logger::CLogger;

namespace {

// Tried in this order; the first readable one wins.
constexpr const char* kCertificateNames[] = {
    "ca-bundle.crt",        "Kestro_Root_CA_1.pem", "Kestro_Root_CA_2.pem",
    "Kestro_Root_CA_3.pem", "Kestro_Root_CA_4.pem",
};

}  // namespace

std::string FindSSLCert() { return FindSSLCert(kSslCertDirectory); }

std::string FindSSLCert(const std::string& directory) {
  CLogger log("");
  for (const char* name : kCertificateNames) {
    std::string path = directory + name;
    if (::access(path.c_str(), R_OK) == 0) return path;
  }
  log << "[GetSSLCert] Warning - No certificates found in expected location\n"
      << logger::WARNING;
  return std::string();
}

int GetRootCertificateFile(std::string* out) {
  CLogger log("");
  std::string path = FindSSLCert();
  if (path.empty()) {
    log << "[GetSSLCert] Warning - Certificate path empty\n" << logger::WARNING;
    return kNoSslCertificates;
  }
  if (out != nullptr) *out = ReadFile(path.c_str());
  return kOk;
}

std::string ReadFile(const char* path) {
  if (path == nullptr) return std::string();
  std::ifstream in(path, std::ios::in | std::ios::binary);
  if (!in.is_open()) return std::string();
  std::ostringstream contents;
  // Streaming an empty (or unreadable, such as a directory) buffer sets
  // failbit on `contents` only; the result is then simply empty.
  contents << in.rdbuf();
  return contents.str();
}

std::string GenerateUUID() { return "PT-" + kcp::RandomUUID(); }

int DeserializeJSONToProtobufMessage(const std::string& json,
                                     google::protobuf::Message& message) {
  CLogger log("");
  google::protobuf::util::JsonParseOptions options;
  options.ignore_unknown_fields = true;
  auto status =
      google::protobuf::util::JsonStringToMessage(json, &message, options);
  if (status.ok()) return kOk;
  log << "Error: Failure parsing JSON"
      << "\n"
      << "    Status: " << status.ToString() << "\n"
      << logger::ERROR;
  return kInternalError;
}

namespace {

// Length and code point of the well-formed UTF-8 sequence at `text[at]`
// (shortest form, no surrogates, at most U+10FFFF); length 0 when the bytes
// there form none.
std::size_t DecodeUtf8(const std::string& text, std::size_t at,
                       unsigned long* code_point) {
  const auto byte = [&](std::size_t i) {
    return static_cast<unsigned char>(text[i]);
  };
  const unsigned char lead = byte(at);
  std::size_t length;
  unsigned long value;
  unsigned long smallest;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
    value = lead & 0x1f;
    smallest = 0x80;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    value = lead & 0x0f;
    smallest = 0x800;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    value = lead & 0x07;
    smallest = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xc0) != 0x80) return 0;
    value = (value << 6) | (byte(at + i) & 0x3f);
  }
  if (value < smallest || value > 0x10ffff ||
      (value >= 0xd800 && value <= 0xdfff)) {
    return 0;
  }
  *code_point = value;
  return length;
}

void AppendUnicodeEscape(unsigned long unit, std::string* out) {
  char code[8];
  std::snprintf(code, sizeof(code), "\\u%04lx", unit);
  *out += code;
}

}  // namespace

std::string EscapeJsonText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          AppendUnicodeEscape(byte, &out);
        } else if (byte < 0x80) {
          out += c;
        } else {
          // JSON text must be Unicode: a well-formed UTF-8 sequence is
          // written as its escape (two for a code point beyond U+FFFF), a
          // byte that starts none as U+FFFD.
          unsigned long code_point = 0;
          const std::size_t length = DecodeUtf8(text, i, &code_point);
          if (length == 0) {
            AppendUnicodeEscape(0xfffd, &out);
          } else if (code_point > 0xffff) {
            code_point -= 0x10000;
            AppendUnicodeEscape(0xd800 + (code_point >> 10), &out);
            AppendUnicodeEscape(0xdc00 + (code_point & 0x3ff), &out);
            i += length - 1;
          } else {
            AppendUnicodeEscape(code_point, &out);
            i += length - 1;
          }
        }
    }
  }
  return out;
}

}  // namespace util
}  // namespace zva
