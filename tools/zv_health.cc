// zv-health: pings every attached accelerator once and prints one line per
// device. Exits with 0 only when every device is healthy, so scripts and
// service monitors can rely on the exit code.

#include <iostream>
#include <string>

#include "zva/zva_client.h"
#include "zva/zva_object.h"
#include "zva/zva_tools.h"

namespace {

constexpr char kVersionLine[] = "ZV Client Version: ";

// Empties the accelerator list and returns `code` once gRPC has shut down,
// so that the process never exits under gRPC's threads.
int Finish(int code) {
  ZVLShutdown();
  zva::WaitForGrpcShutdown();
  return code;
}

}  // namespace

int main() {
  ZVLInit(nullptr);
  unsigned int count = 0;
  if (GetDeviceCount(&count) < 0) {
    std::cout << kVersionLine << GetZVClientVersion() << std::endl;
    std::cerr << "ERROR: Device detection failed." << std::endl;
    return Finish(1);
  }
  bool all_healthy = true;
  for (zva::DeviceOrdinal i = 0; i < count; ++i) {
    try {
      std::string status = zva::GetDeviceHealthStatusString(i);
      if (all_healthy) {
        // The version heads the output only when device 0 is healthy.
        if (status == "healthy") {
          if (i == 0) std::cout << kVersionLine << GetZVClientVersion() << "\n";
        } else {
          all_healthy = false;
        }
      }
      std::cout << "Device " << i << ": " << status << std::endl;
    } catch (const zva::UnsupportedPingResponseException& e) {
      std::cerr << "ERROR: unexpected response " << e.GetStatus()
                << " from device " << i << std::endl;
    }
  }
  return Finish(all_healthy ? 0 : 1);
}
