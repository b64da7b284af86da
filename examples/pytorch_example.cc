// Runs a small model through the PyTorch adapter on accelerator 0 and prints
// what comes back. Point it at an accelerator service (for example zv-sim,
// after exporting the variables it prints) and run it without arguments.
//
// A real integration passes TorchScript archives and its own serialization
// of each tensor; the library carries those bytes without looking at them,
// so this example uses short texts in their place.

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "zva/zva_accelerator.h"
#include "zva/zva_client.h"
#include "zva/zva_errors.h"
#include "zva/zva_pytorch.h"
#include "zva/zva_tools.h"

namespace {

int Fail(const char* what, int code) {
  std::string detail;
  zva::GetLastError(&detail);
  std::fprintf(stderr, "%s failed with code %d\n%s", what, code,
               detail.c_str());
  return 1;
}

}  // namespace

int main() {
  std::shared_ptr<zva::AcceleratorInterface> accelerator =
      zva::GetAccelerator();
  if (accelerator == nullptr) {
    std::fprintf(stderr, "No accelerator is attached to this host.\n");
    return 1;
  }
  std::printf("Using accelerator %s\n",
              zva::GetAcceleratorId(accelerator.get()).c_str());
  zva::KickOffKeepAliveThread(accelerator.get(), zva::Versions{"2.0.1", 0, 0},
                              "pytorch");

  std::unique_ptr<zva::torch::PytorchInterface, zva::ObjectReleaser> adapter(
      zva::torch::internal::QueryInterface(
          zva::GetAcceleratorChannel(accelerator.get())));

  std::shared_ptr<zva::torch::PytorchModelInterface> model;
  int rc = adapter->LoadModel("example-add", "torchscript: y = a + b", &model);
  if (rc != zva::kOk) return Fail("LoadModel", rc);

  for (int round = 0; round < 3; ++round) {
    const std::vector<std::pair<std::string, std::string>> inputs = {
        {"a", "tensor([" + std::to_string(round) + ", 1, 2])"},
        {"b", "tensor([10, 20, 30])"}};
    std::vector<std::string> outputs;
    const auto start = std::chrono::steady_clock::now();
    rc = model->Infer("example-add", inputs, {"y", "z"}, &outputs);
    const std::chrono::duration<double, std::milli> took =
        std::chrono::steady_clock::now() - start;
    if (rc != zva::kOk) return Fail("Infer", rc);
    std::printf("Infer %d in %.3f ms:", round, took.count());
    for (const std::string& output : outputs) {
      std::printf(" \"%s\"", output.c_str());
    }
    std::printf("\n");
  }

  model.reset();    // the last reference: the model is unloaded
  adapter.reset();  // Release()
  accelerator.reset();
  ZVLShutdown();
  // gRPC may finish shutting down on a thread of its own; exit after it.
  zva::WaitForGrpcShutdown();
  return 0;
}
