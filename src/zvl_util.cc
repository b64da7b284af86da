#include "zvl_util.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <utility>

#include <google/protobuf/message.h>
#include <google/protobuf/util/json_util.h>
#include <unistd.h>

#include "kcp/kcp.h"
#include "log_stream.h"
#include "zvl_object.h"

namespace zva {

using logger::CLogger;

namespace {

constexpr int kNoCertificateCode = 35;

// Code 21: a tensor, identifier or name that cannot travel as given, in
// either direction.
constexpr char kInvalidWireInputDescription[] =
    "Invalid tensor or request: it cannot be sent or received as given";

std::string ServiceNotAvailableDescription() {
  return std::string(
             "Service not available. Please wait for sometime. Also, make "
             "sure the ZV setup is correct. Quick setup instructions - ") +
         kSetupInstructionsUrl + ". Setup validation - " + kSetupValidationUrl;
}

// Tried in this order; the first readable one wins.
constexpr const char* kCertificateNames[] = {
    "ca-bundle.crt",        "Kestro_Root_CA_1.pem", "Kestro_Root_CA_2.pem",
    "Kestro_Root_CA_3.pem", "Kestro_Root_CA_4.pem",
};

}  // namespace

const std::map<int, std::string> errorDescriptions = {
    {0, "Operation succeeded"},
    {1, "Internal error"},
    {2, "Internal error"},
    {3, "Internal error"},
    {4, "Service unavailable"},
    {5, "Internal error"},
    {6, "Invalid model"},
    {7, "No KCP credentials found. Please configure KCP credentials"},
    {8, "Unable to authenticate with accelerator"},
    {9, "Authentication failure during KCP4 signing"},
    {10, "Internal error"},
    {11, "Accelerator device is healthy"},
    {12, "Internal error"},
    {13, "Internal error"},
    {14, "Internal error"},
    {15, "Internal error"},
    {16, "Internal error"},
    {17, "Internal error"},
    {18, "Internal error"},
    {19, "Accelerator metadata discovery process failure"},
    {20, "Internal error"},
    {21, kInvalidWireInputDescription},
    {22, "Internal error"},
    {23, "Internal error"},
    {24, "Internal error"},
    {25, "Internal error"},
    {26, "Internal error"},
    {27, "Internal error"},
    {28, "Internal error"},
    {29, "Internal error"},
    {30, "Internal error"},
    {31, "Accelerator out of memory. Consider using a larger accelerator."},
    {32, "Invalid tensor on accelerator"},
    {33, "Internal error"},
    {34, "Internal error"},
    {35, "Unable to locate SSL certificates"},
    {36, ServiceNotAvailableDescription()},
    {37, "Invalid configuration file"},
    {38, "No configuration file found"},
    {39, ""},
    {40, "Failed to find region name in accelerator metadata"},
    {41, "Failed to find accelerator ID in accelerator metadata"},
    {42, "Internal error"},
    {43, "Internal error"},
    {44, "Invalid model type"},
    {45, "Internal error"},
    {46, ""},
};

std::string GetErrorDescription(int code) {
  CLogger log("");
  auto it = errorDescriptions.find(code);
  if (it != errorDescriptions.end()) return it->second;
  log << "Error - No error description for error code " << code << "\n"
      << logger::ERROR;
  return kNoErrorDescription;
}

int GetLastError(std::string* message) {
  CLogger log("");
  if (message != nullptr) {
    *message = util::LastError();
  } else {
    log << "Error msg ptr is null\n" << logger::ERROR;
  }
  return 0;
}

namespace util {

std::string& LastError() {
  static thread_local std::string last_error = "Notice - No last error found";
  return last_error;
}

void SetLastError(std::string message) { LastError().swap(message); }

std::string GenerateLastErrorMessage(ZvaRpcStatus status,
                                     std::string request_id,
                                     std::string accelerator_id) {
  // The code the caller is given, so that text and result agree.
  const int client = status.GetFailureCode();
  std::string description = GetErrorDescription(client);
  const std::string message = status.GetErrorMessage();
  // A failure the library found itself may add why after the catalogue's
  // text (the credentials sources tried, say); that comes along.
  if (description.empty() ||
      (message.size() > description.size() &&
       message.compare(0, description.size(), description) == 0)) {
    description = message;
  }

  std::string text = "Last Error: ";
  text += "\n    ZV Error Code: [";
  text += std::to_string(status.GetZvaStatusCode());
  text += ", ";
  text += std::to_string(status.GetGrpcStatusCode());
  text += ", ";
  text += std::to_string(client);
  text += "]";
  text += "\n    ZV Error Description: " + description;
  text += "\n    ZV Request ID: " + request_id;
  text += "  --  ZV Accelerator ID: " + accelerator_id;
  text += "\n    ZV Client Version: ";
  text += kClientVersion;
  text += "\n";
  return text;
}

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
    return kNoCertificateCode;
  }
  if (out != nullptr) *out = ReadFile(path.c_str());
  return 0;
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
  if (status.ok()) return 0;
  log << "Error: Failure parsing JSON"
      << "\n"
      << "    Status: " << status.ToString() << "\n"
      << logger::ERROR;
  return 1;
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
