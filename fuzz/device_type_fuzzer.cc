// The accelerator type text ("zva1.medium" and its kin) of a details
// document. A text that parses prints back as itself.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "discovery/device_record.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zvfuzz::SilenceLibraryLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string type(reinterpret_cast<const char*>(data), size);
  try {
    const zva::DeviceMetadata device("v", "zva-0123", type, "",
                                     zva::kUnknownHealthStatus);
    if (device.GetType().to_string() != type) std::abort();
    device.ToString();
  } catch (int code) {
    if (code != zva::kMalformedDeviceType) std::abort();
  }
  return 0;
}
