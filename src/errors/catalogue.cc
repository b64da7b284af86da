#include "errors/catalogue.h"

#include <cstdio>
#include <sstream>
#include <utility>


#include "platform/log_stream.h"
#include "platform/log_setup.h"

namespace zva {

using logger::CLogger;

namespace {

// kTensorFormatError: a tensor, identifier or name that cannot travel as
// given, in either direction.
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
    {kOk, "Operation succeeded"},
    {kInternalError, "Internal error"},
    {kUnsupportedVersion, "Internal error"},
    {kReserved3, "Internal error"},
    {kServiceUnavailable, "Service unavailable"},
    {kReserved5, "Internal error"},
    {kInvalidModel, "Invalid model"},
    {kNoKcpCredentials,
     "No KCP credentials found. Please configure KCP credentials"},
    {kAuthenticationFailed, "Unable to authenticate with accelerator"},
    {kSigningFailed, "Authentication failure during KCP4 signing"},
    {kAcceleratorUnhealthy, "Internal error"},
    {kAcceleratorHealthy, "Accelerator device is healthy"},
    {kModelNotFound, "Internal error"},
    {kSessionNotFound, "Internal error"},
    {kAcceleratorFrozen, "Internal error"},
    {kSessionTerminated, "Internal error"},
    {kSessionDestroyed, "Internal error"},
    {kAcceleratorIdInvalid, "Internal error"},
    {kThrottled, "Internal error"},
    {kDiscoveryFailure, "Accelerator metadata discovery process failure"},
    {kReserved20, "Internal error"},
    {kTensorFormatError, kInvalidWireInputDescription},
    {kSessionReset, "Internal error"},
    {kSessionIdEmpty, "Internal error"},
    {kMissingAcceleratorIdHeader, "Internal error"},
    {kConnectExpected, "Internal error"},
    {kMissingPath, "Internal error"},
    {kComeBackLater, "Internal error"},
    {kAcceleratorNotFound, "Internal error"},
    {kConnectWithoutBody, "Internal error"},
    {kServiceInternalError, "Internal error"},
    {kAcceleratorOutOfMemory,
     "Accelerator out of memory. Consider using a larger accelerator."},
    {kInvalidTensor, "Invalid tensor on accelerator"},
    {kServiceTimeout, "Internal error"},
    {kRequestIdNotFound, "Internal error"},
    {kNoSslCertificates, "Unable to locate SSL certificates"},
    {kServiceNotReachable, ServiceNotAvailableDescription()},
    {kInvalidConfigurationFile, "Invalid configuration file"},
    {kNoConfigurationFile, "No configuration file found"},
    {kModelTypeMismatch, ""},
    {kRegionNotFound, "Failed to find region name in accelerator metadata"},
    {kAcceleratorIdNotFound,
     "Failed to find accelerator ID in accelerator metadata"},
    {kAttachmentPending, "Internal error"},
    {kModelAlreadyExists, "Internal error"},
    {kInvalidModelType, "Invalid model type"},
    {kUnknownServiceError, "Internal error"},
    {kInvalidRequest, ""},
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
  return kOk;
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
