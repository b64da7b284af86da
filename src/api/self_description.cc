#include "api/self_description.h"

#include <iostream>
#include <sstream>

#include "discovery/device_registry.h"
#include "discovery/discovery_run.h"
#include "platform/log_setup.h"
#include "platform/log_stream.h"
#include "zva/zva_client.h"

namespace zva {

void DescribeAccelerator(const Accelerator& accelerator) {
  logger::CLogger log;
  const std::string id = accelerator.GetAcceleratorID();
  std::ostringstream text;
  text << "Using Kestro Zorvel Client Library Version: " << kClientVersion
       << "\n";
  unsigned int count = 0;
  if (GetDeviceCount(&count) != 0) {
    text << "No Zorvel Accelerator Available.\n";
  } else {
    text << "Number of Zorvel Accelerators Available: " << count << "\n";
  }
  text << "Zorvel Accelerator ID: " << id << "\n";
  text << "Zorvel Accelerator Type: " << accelerator.GetAcceleratorType()
       << "\n";
  DeviceMetadataRegistry registry = GetDeviceMetadataRegistry(nullptr);
  text << "Zorvel Accelerator Ordinal: "
       << registry.GetDeviceMetadataById(id).GetOrdinal() << "\n";
  std::cout << text.str() << std::endl;
  log << text.str() << logger::INFO;
}

}  // namespace zva
