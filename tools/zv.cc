// zv: describes the accelerators attached to this host.
//
//   zv describe-accelerators [-j|--json] [-h|--help]

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <getopt.h>

#include "zva/zva_accelerator.h"
#include "zva/zva_client.h"
#include "zva/zva_device_metadata.h"
#include "zva/zva_tools.h"

namespace {

constexpr char kCommand[] = "describe-accelerators";

// Parses the options into the two flags (set to 1 when given) and the first
// argument that is not an option into `command`. Options may stand before or
// after the command. Returns false after a parse error, which it reports.
bool parse_command_line(int argc, const char** argv, int& json, int& help,
                        bool& has_command, std::string& command) {
  const option long_options[] = {
      {"json", no_argument, &json, 1},
      {"help", no_argument, &help, 1},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  // getopt_long permutes argv; the strings themselves are not written.
  char** args = const_cast<char**>(argv);
  int c;
  while ((c = getopt_long(argc, args, "jh", long_options, nullptr)) != -1) {
    switch (c) {
      case 0:
        break;
      case 'j':
        json = 1;
        break;
      case 'h':
        help = 1;
        break;
      case '?':
        if (optopt != 0) {
          std::cerr << "Unknown option: " << static_cast<char>(optopt)
                    << std::endl;
        } else {
          // An unknown long option has no option character; name it whole.
          std::cerr << "Unknown option: " << args[optind - 1] << std::endl;
        }
        zva::PrintUsageString(std::cerr);
        return false;
      default:
        std::cerr << "Something went wrong." << std::endl;
        return false;
    }
  }
  has_command = optind < argc;
  if (has_command) command = argv[optind];
  return true;
}

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
  if (!parse_command_line(argc, argv, json, help, has_command, command)) {
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
  std::vector<zva::DeviceMetadata> devices = zva::GetAcceleratorsMetadata();
  unsigned int count = 0;
  if (GetDeviceCount(&count) < 0) {
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
