// An integration written against the accelerator class: it takes the
// accelerator as a zva::Accelerator, calls its operations as members and
// reads its channel_ and session_context_.

#include <chrono>
#include <iostream>
#include <memory>
#include <string>

#include "zva/zva_accelerator.h"
#include "zva/zva_accelerator_class.h"
#include "zva/zva_client.h"
#include "zva/zva_mxnet.h"

int main() {
  // A dynamic cast, so that the class's type information is known to cross
  // the library's boundary.
  std::shared_ptr<zva::Accelerator> accelerator =
      std::dynamic_pointer_cast<zva::Accelerator>(zva::GetAccelerator());
  if (accelerator == nullptr) {
    std::cout << "no accelerator\n";
    return 0;
  }
  std::cout << "accelerator " << accelerator->GetAcceleratorID() << "\n";
  accelerator->KickOffKeepAliveThread(zva::Versions{"1.9.1", 0, 0}, "mxnet");
  const std::string session =
      accelerator->session_context_.Wait(std::chrono::minutes(1));
  std::cout << "session " << (session.empty() ? "none" : "ready") << "\n";
  std::cout << "channel owner "
            << (zva::Accelerator::FromChannel(accelerator->channel_.get()) ==
                accelerator.get())
            << "\n";
  std::unique_ptr<zva::mxnet::MXNetInterface, zva::ObjectReleaser> adapter(
      mxnet::internal::QueryInterface(accelerator->channel_));
  std::cout << "list models " << adapter->ListModels() << "\n";
  std::cout << "ping " << accelerator->Ping() << "\n";
  adapter.reset();
  accelerator->Release();
  std::cout << "released " << accelerator->IsReleased() << ", channel "
            << (accelerator->channel_ == nullptr ? "dropped" : "kept") << "\n";
  accelerator.reset();
  ZVLShutdown();
  return 0;
}
