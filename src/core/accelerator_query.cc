// The framework query and the self-description of an accelerator.

#include <iostream>
#include <sstream>

#include "platform/log_stream.h"
#include "zva/zva_client.h"
#include "core/accelerator.h"
#include "discovery/device_registry.h"
#include "discovery/discovery_run.h"
#include "platform/log_setup.h"

namespace zva {

using logger::CLogger;

void Accelerator::DescribeZVA() {
  CLogger log;
  std::ostringstream text;
  text << "Using Kestro Zorvel Client Library Version: " << kClientVersion
       << "\n";
  unsigned int count = 0;
  if (GetDeviceCount(&count) != 0) {
    text << "No Zorvel Accelerator Available.\n";
  } else {
    text << "Number of Zorvel Accelerators Available: " << count << "\n";
  }
  text << "Zorvel Accelerator ID: " << accelerator_id_ << "\n";
  text << "Zorvel Accelerator Type: " << accelerator_type_ << "\n";
  DeviceMetadataRegistry registry = GetDeviceMetadataRegistry(nullptr);
  text << "Zorvel Accelerator Ordinal: "
       << registry.GetDeviceMetadataById(accelerator_id_).GetOrdinal() << "\n";
  std::cout << text.str() << std::endl;
  log << text.str() << logger::INFO;
}

int Accelerator::QueryInterface(InterfaceID /*id*/,
                                const Versions& /*versions*/,
                                std::shared_ptr<ObjectInterface>* out) {
  CLogger log("QueryInterface");
  DescribeZVA();
  log << " query interface\n" << logger::INFO;
  if (out == nullptr) return kOk;
  std::lock_guard<std::mutex> lock(mtx_);
  *out = framework_object_;
  return kOk;
}

}  // namespace zva
