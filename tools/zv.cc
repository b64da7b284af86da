// zv: describes the accelerators attached to this host.
//
//   zv describe-accelerators [-j|--json] [-h|--help]

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "zv_command_line.h"
#include "zva/zva_accelerator.h"
#include "zva/zva_client.h"
#include "zva/zva_device_metadata.h"
#include "zva/zva_tools.h"

namespace {

constexpr char kCommand[] = "describe-accelerators";

// Sends the library's log to standard error, unless the caller chose
// otherwise already, so that standard output carries only the description.
bool enable_logging_to_stderr() {
  if (setenv("ZV_LOG_TO_STDERR", "1", 0) != 0 ||
      setenv("ZV_ENABLE_LOGGING", "1", 0) != 0) {
    std::cerr << "Insufficient space in the environment" << std::endl;
    return false;
  }
  return true;
}

// Empties the accelerator list and returns `code` once gRPC has shut down,
// so that the process never exits under gRPC's threads.
int Finish(int code) {
  ZVLShutdown();
  zva::WaitForGrpcShutdown();
  return code;
}

}  // namespace

int main(int argc, const char** argv) {
  int json = 0;
  int help = 0;
  bool has_command = false;
  std::string command;
  if (!zv::ParseCommandLine(argc, argv, json, help, has_command, command)) {
    return 1;
  }
  if (!has_command) {
    zva::PrintUsageString(help ? std::cout : std::cerr);
    return help ? 0 : 1;
  }
  if (command != kCommand) {
    zva::PrintUsageString(std::cerr);
    return 1;
  }
  if (help) {
    zva::PrintUsageString(std::cout);
    return 0;
  }
  if (!enable_logging_to_stderr()) return 1;

  // With JSON, standard output carries the document alone.
  std::ostream& messages = json ? std::cerr : std::cout;

  ZVLInit(nullptr);
  // The records come from a discovery run of their own: when it failed or
  // found nothing, there is nothing true to print. Their health is that of
  // the list's accelerator with the same identifier.
  std::vector<zva::DeviceMetadata> devices = zva::GetAcceleratorsMetadata();
  unsigned int count = 0;
  if (GetDeviceCount(&count) < 0 || devices.empty()) {
    zva::PrintError(messages, "ERROR: Device detection failed.");
    return Finish(1);
  }
  zva::UpdateDeviceMetadataWithHealthStatus(messages, devices);
  std::string time = zva::GetCurrentTimeString();
  if (json) {
    zva::PrintAttachmentsDescriptionJson(std::cout, devices, time);
  } else {
    zva::PrintAttachmentsDescriptionPlainText(std::cout, devices, time);
  }
  return Finish(0);
}
