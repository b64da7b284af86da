// The instance identity document, as region and proxy discovery read it.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "discovery/metadata_client.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zvfuzz::SilenceLibraryLog();
  // The region must come from the document, never from the environment.
  unsetenv("KCP_REGION");
  unsetenv("KCP_DEFAULT_REGION");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string document(reinterpret_cast<const char*>(data), size);
  Discover discover(std::make_unique<zvfuzz::FixedDocument>(document));

  std::string region = "unchanged";
  const int status = discover.DiscoverRegion(region);
  if (status == zva::kOk && region.empty()) std::abort();
  if (status != zva::kOk &&
      (status != zva::kRegionNotFound || region != "unchanged")) {
    std::abort();
  }

  std::string endpoint;
  const int proxy_status = discover.DiscoverProxy(endpoint);
  if (proxy_status !=
      (status == zva::kOk ? zva::kOk : zva::kDiscoveryFailure)) {
    std::abort();
  }
  if (proxy_status == zva::kOk && endpoint.find(region) == std::string::npos) {
    std::abort();
  }
  return 0;
}
