// The list of attached accelerators: lines on a virtual machine instance, a
// JSON document in a container. The first byte picks the host kind.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "discovery/metadata_client.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zvfuzz::SilenceLibraryLog();
  // The list must come from the fetcher, not from an override.
  unsetenv("QUERY_ACCELERATORS_RESPONSE_OVERRIDE");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // A container is told by the variable's presence; its value is the base of
  // URLs that the fetcher ignores.
  if (data[0] & 1) {
    setenv("CNS_CONTAINER_METADATA_URI", "", 1);
  } else {
    unsetenv("CNS_CONTAINER_METADATA_URI");
  }
  const std::string list(reinterpret_cast<const char*>(data) + 1, size - 1);
  Discover discover(std::make_unique<zvfuzz::FixedDocument>(list));

  std::vector<std::string> ids;
  const int status = discover.DiscoverAcceleratorSlots(ids);
  if (status != zva::kOk && status != zva::kDiscoveryFailure) std::abort();
  if (status == zva::kOk) {
    if (ids.empty()) std::abort();
    for (const std::string& id : ids) {
      if (id.empty()) std::abort();
    }
  }
  return 0;
}
