#include "errors/catalogue.h"

#include <cstdio>
#include <sstream>
#include <utility>


#include "platform/log_stream.h"
#include "platform/log_setup.h"

namespace zva {

using logger::CLogger;

namespace {

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

}  // namespace util
}  // namespace zva
