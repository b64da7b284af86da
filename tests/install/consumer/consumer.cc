// Uses the installed headers and library the way an integration would, with
// nothing that needs an accelerator: the version and the health names.

#include <iostream>

// Every public header, so each is known to compile from an installed tree
// with nothing but the library's own include directory.
#include "zva/zva_accelerator.h"
#include "zva/zva_client.h"
#include "zva/zva_codes.h"
#include "zva/zva_device_metadata.h"
#include "zva/zva_errors.h"
#include "zva/zva_mxnet.h"
#include "zva/zva_object.h"
#include "zva/zva_pytorch.h"
#include "zva/zva_tools.h"
#include "zva/zvl_export.h"

int main() {
  std::cout << "version " << GetZVClientVersion() << "\n";
  std::cout << "health 2 " << zva::HealthStatusToString(zva::kPingNotReachable)
            << "\n";
  try {
    zva::HealthStatusToString(7);
  } catch (const zva::UnsupportedPingResponseException& e) {
    std::cout << "unsupported " << e.GetStatus() << "\n";
  }
  return 0;
}
