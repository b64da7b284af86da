// The details document of an accelerator, through a whole discovery run on
// a host with one accelerator: the document's identifier and type make the
// device record. The first byte picks the host kind.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "fuzz_support.h"
#include "discovery/device_registry.h"
#include "discovery/metadata_client.h"
#include "discovery/discovery_run.h"

namespace {

// Serves a fixed identity document and list, and the fuzzer's bytes as the
// details of every accelerator, without any network.
class MetadataService : public HttpInterface {
 public:
  MetadataService(bool container, std::string details)
      : container_(container), details_(std::move(details)) {}

  int DoHttp(const char* url, std::string& response) override {
    const std::string path(url);
    if (path.find("instance-identity") != std::string::npos) {
      response += R"({"region": "us-west-2"})";
    } else if (EndsWith(path, "/associations/") ||
               EndsWith(path, "/associations/zorvel")) {
      response += container_ ? R"({"Associations": ["zva-0123"]})" : "zva-0123";
    } else {
      response += details_;
    }
    return 0;
  }

 private:
  static bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
  }

  bool container_;
  std::string details_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zvfuzz::SilenceLibraryLog();
  unsetenv("QUERY_ACCELERATORS_RESPONSE_OVERRIDE");
  unsetenv("QUERY_ACCELERATOR_DETAILS_RESPONSE_OVERRIDE");
  unsetenv("ACCELERATOR_PROXYURI_OVERRIDE");
  unsetenv("ZV_VISIBLE_DEVICES");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool container = data[0] & 1;
  if (container) {
    setenv("CNS_CONTAINER_METADATA_URI", "", 1);
  } else {
    unsetenv("CNS_CONTAINER_METADATA_URI");
  }
  const std::string details(reinterpret_cast<const char*>(data) + 1, size - 1);
  const zva::DiscoverFactory make_discover = [&] {
    return zva::DiscoverPtr(discover::QueryInterface(
        std::make_unique<MetadataService>(container, details)));
  };

  const zva::DeviceMetadataRegistry registry =
      zva::GetDeviceMetadataRegistry(nullptr, make_discover);
  if (registry.GetNumberOfDevices() > 1) std::abort();
  for (const zva::DeviceMetadata& device : registry.GetDevicesMetadata()) {
    if (device.GetId().empty()) std::abort();
    if (registry.DeviceIdToOrdinal(device.GetId()) != device.GetOrdinal()) {
      std::abort();
    }
  }
  // Every record's type prints, and every text is escaped.
  registry.GenerateDevicesDescriptionJson();
  return 0;
}
