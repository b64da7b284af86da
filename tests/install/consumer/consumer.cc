// Uses the installed headers and library the way an integration would,
// through the free functions of zva_accelerator.h: the version, the health
// names, and, when an accelerator is attached (the install test runs zv-sim
// for one), its health check, a ping and the MXNet adapter on its channel.

#include <iostream>
#include <memory>

// Every public header, so each is known to compile from an installed tree
// with nothing but the library's own include directory.
#include "zva/zva_accelerator.h"
#include "zva/zva_accelerator_class.h"
#include "zva/zva_client.h"
#include "zva/zva_codes.h"
#include "zva/zva_device_metadata.h"
#include "zva/zva_errors.h"
#include "zva/zva_mxnet.h"
#include "zva/zva_object.h"
#include "zva/zva_pytorch.h"
#include "zva/zva_session_context.h"
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

  std::shared_ptr<zva::AcceleratorInterface> accelerator =
      zva::GetAccelerator();
  if (accelerator == nullptr) {
    std::cout << "no accelerator\n";
    return 0;
  }
  std::cout << "accelerator " << zva::GetAcceleratorId(accelerator.get())
            << "\n";
  std::cout << "health check "
            << zva::KickOffKeepAliveThread(
                   accelerator.get(), zva::Versions{"1.9.1", 0, 0}, "mxnet")
            << "\n";
  std::cout << "ping " << accelerator->Ping() << "\n";
  std::unique_ptr<zva::mxnet::MXNetInterface, zva::ObjectReleaser> adapter(
      mxnet::internal::QueryInterface(
          zva::GetAcceleratorChannel(accelerator.get())));
  // Waits for the session that the health check opens.
  std::cout << "list models " << adapter->ListModels() << "\n";
  adapter.reset();
  accelerator.reset();
  ZVLShutdown();
  return 0;
}
