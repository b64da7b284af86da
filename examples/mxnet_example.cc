// Runs a small model through the MXNet adapter on accelerator 0 and prints
// what comes back. Point it at an accelerator service (for example zv-sim,
// after exporting the variables it prints) and run it without arguments.

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "zva/zva_accelerator.h"
#include "zva/zva_client.h"
#include "zva/zva_errors.h"
#include "zva/zva_mxnet.h"
#include "zva/zva_tools.h"

namespace {

// A one-layer graph: out = FullyConnected(data, weight).
constexpr char kSymbolJson[] = R"({
  "nodes": [
    {"op": "null", "name": "data", "inputs": []},
    {"op": "null", "name": "fc_weight", "inputs": []},
    {"op": "FullyConnected", "name": "fc", "attrs": {"num_hidden": "4"},
     "inputs": [[0, 0, 0], [1, 0, 0]]}
  ],
  "arg_nodes": [0, 1],
  "heads": [[2, 0, 0]]
})";

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
  zva::KickOffKeepAliveThread(accelerator.get(), zva::Versions{"1.9.1", 0, 0},
                              "mxnet");

  std::unique_ptr<zva::mxnet::MXNetInterface, zva::ObjectReleaser> adapter(
      mxnet::internal::QueryInterface(
          zva::GetAcceleratorChannel(accelerator.get())));

  std::vector<float> weight(16, 0.0f);
  for (int i = 0; i < 4; ++i) weight[i * 5] = 1.0f;  // identity
  std::unordered_map<std::string, zva::mxnet::MXTensor> params = {
      {"arg:fc_weight", {weight.data(), {4, 4}, zva::mxnet::FLOAT32}}};
  std::shared_ptr<zva::mxnet::MXNetModelInterface> model;
  int rc = adapter->LoadModel("example-fc", kSymbolJson, params, {}, &model);
  if (rc != zva::kOk) return Fail("LoadModel", rc);

  for (int round = 0; round < 3; ++round) {
    std::vector<float> data = {1.0f + round, 2.0f, 3.0f, 4.0f};
    std::vector<float> result(4, 0.0f);
    std::vector<zva::mxnet::MXTensor> outputs = {
        {result.data(), {1, 4}, zva::mxnet::FLOAT32}};
    const auto start = std::chrono::steady_clock::now();
    rc = model->Infer({{"data", {data.data(), {1, 4}, zva::mxnet::FLOAT32}}},
                      &outputs);
    const std::chrono::duration<double, std::milli> took =
        std::chrono::steady_clock::now() - start;
    if (rc != zva::kOk) return Fail("Infer", rc);
    std::printf("Infer %d: output [%g, %g, %g, %g] in %.3f ms\n", round,
                result[0], result[1], result[2], result[3], took.count());
  }

  model.reset();    // the last reference: the model is unloaded
  adapter.reset();  // Release()
  accelerator.reset();
  ZVLShutdown();
  // gRPC may finish shutting down on a thread of its own; exit after it.
  zva::WaitForGrpcShutdown();
  return 0;
}
