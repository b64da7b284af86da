// zv-bench-lib: the benchmark's worker that calls through the library, the
// way a framework integration does (public headers and the shared library
// only). Clients: "mxnet" (MXNet adapter, float tensors in the caller's
// buffers) and "pytorch" (PyTorch adapter, tensors as byte strings).
//
// Besides the worker commands of worker.h it measures an idle process:
//   zv-bench-lib idle SECONDS [--no-accelerator]
// holds one accelerator with its session open (or, with --no-accelerator,
// none) and sleeps SECONDS, then prints
//   "ok <seconds> <CPU ns> <voluntary switches> <involuntary switches>"
// for the sleep.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "worker.h"
#include "zva/zva_accelerator.h"
#include "zva/zva_client.h"
#include "zva/zva_errors.h"
#include "zva/zva_mxnet.h"
#include "zva/zva_object.h"
#include "zva/zva_pytorch.h"
#include "zva/zva_tools.h"

namespace {

using zva::mxnet::MXTensor;

constexpr char kFrameworkVersion[] = "1.9.1";

std::string Failure(const char* what, int code) {
  std::string detail;
  zva::GetLastError(&detail);
  return std::string(what) + " returned " + std::to_string(code) + ": " +
         detail;
}

// The process-wide accelerator 0 with its health-check thread running; every
// adapter call waits for the session that thread opens.
std::shared_ptr<zva::AcceleratorInterface> StartAccelerator(
    const char* framework, std::string* error) {
  std::shared_ptr<zva::AcceleratorInterface> accelerator =
      zva::GetAccelerator();
  if (accelerator == nullptr) {
    *error = "no accelerator found (is the environment of zv-sim set?)";
    return nullptr;
  }
  if (zva::KickOffKeepAliveThread(accelerator.get(),
                                  zva::Versions{kFrameworkVersion, 0, 0},
                                  framework) != 0) {
    *error = "KickOffKeepAliveThread failed";
    return nullptr;
  }
  return accelerator;
}

// Lets go of the library in the order its examples do, and waits for gRPC
// to finish shutting down so that the process exits after it.
void StopLibrary(std::shared_ptr<zva::AcceleratorInterface>* accelerator) {
  accelerator->reset();
  ZVLShutdown();
  zva::WaitForGrpcShutdown();
}

class MxnetClient : public zvbench::InferClient {
 public:
  ~MxnetClient() override {
    model_.reset();
    adapter_.reset();
    StopLibrary(&accelerator_);
  }

  bool Start(std::string* error) {
    accelerator_ = StartAccelerator("mxnet", error);
    if (accelerator_ == nullptr) return false;
    adapter_.reset(mxnet::internal::QueryInterface(
        zva::GetAcceleratorChannel(accelerator_.get())));
    const int rc = adapter_->LoadModel("bench-mxnet", "{}", {}, {}, &model_);
    if (rc != 0) *error = Failure("LoadModel", rc);
    return rc == 0;
  }

  bool Prepare(size_t bytes, int slots, std::string* error) override {
    slots_.clear();
    slots_.resize(static_cast<size_t>(slots));
    const int64_t elements = static_cast<int64_t>(bytes / sizeof(float));
    for (int i = 0; i < slots; ++i) {
      Slot& slot = slots_[static_cast<size_t>(i)];
      slot.input.resize(static_cast<size_t>(elements));
      zvbench::FillPattern(slot.input.data(), slot.input.size(), i + 1);
      slot.output.assign(slot.input.size(), 0.0f);
      // The descriptors are the caller's and are made once; the library
      // reads the inputs and fills the outputs in place.
      slot.inputs = {
          {"data", {slot.input.data(), {elements}, zva::mxnet::FLOAT32}}};
      slot.outputs = {{slot.output.data(), {elements}, zva::mxnet::FLOAT32}};
    }
    (void)error;
    return true;
  }

  bool Infer(int slot_index, std::string* error) override {
    Slot& slot = slots_[static_cast<size_t>(slot_index)];
    const int rc = model_->Infer(slot.inputs, &slot.outputs);
    if (rc != 0) *error = Failure("MXNet Infer", rc);
    return rc == 0;
  }

  bool Check(int slot_index) const override {
    const Slot& slot = slots_[static_cast<size_t>(slot_index)];
    return slot.output == slot.input;
  }

 private:
  struct Slot {
    std::vector<float> input;
    std::vector<float> output;
    std::unordered_map<std::string, MXTensor> inputs;
    std::vector<MXTensor> outputs;
  };

  std::shared_ptr<zva::AcceleratorInterface> accelerator_;
  std::unique_ptr<zva::mxnet::MXNetInterface, zva::ObjectReleaser> adapter_;
  std::shared_ptr<zva::mxnet::MXNetModelInterface> model_;
  std::vector<Slot> slots_;
};

class PytorchClient : public zvbench::InferClient {
 public:
  ~PytorchClient() override {
    model_.reset();
    adapter_.reset();
    StopLibrary(&accelerator_);
  }

  bool Start(std::string* error) {
    accelerator_ = StartAccelerator("pytorch", error);
    if (accelerator_ == nullptr) return false;
    adapter_.reset(zva::torch::internal::QueryInterface(
        zva::GetAcceleratorChannel(accelerator_.get())));
    const int rc = adapter_->LoadModel(kModelId, "bench model", &model_);
    if (rc != 0) *error = Failure("LoadModel", rc);
    return rc == 0;
  }

  bool Prepare(size_t bytes, int slots, std::string* error) override {
    slots_.clear();
    slots_.resize(static_cast<size_t>(slots));
    for (int i = 0; i < slots; ++i) {
      Slot& slot = slots_[static_cast<size_t>(i)];
      std::string tensor(bytes, '\0');
      zvbench::FillPattern(reinterpret_cast<float*>(tensor.data()),
                           bytes / sizeof(float), i + 1);
      slot.inputs.emplace_back("data", std::move(tensor));
      slot.outputs.reserve(1);
    }
    (void)error;
    return true;
  }

  bool Infer(int slot_index, std::string* error) override {
    Slot& slot = slots_[static_cast<size_t>(slot_index)];
    // The adapter appends; the caller keeps only this call's output.
    slot.outputs.clear();
    const int rc =
        model_->Infer(kModelId, slot.inputs, output_names_, &slot.outputs);
    if (rc != 0) *error = Failure("PyTorch Infer", rc);
    return rc == 0;
  }

  bool Check(int slot_index) const override {
    const Slot& slot = slots_[static_cast<size_t>(slot_index)];
    return slot.outputs.size() == 1 && slot.outputs[0] == slot.inputs[0].second;
  }

 private:
  static constexpr char kModelId[] = "bench-pytorch";

  struct Slot {
    std::vector<std::pair<std::string, std::string>> inputs;
    std::vector<std::string> outputs;
  };

  std::shared_ptr<zva::AcceleratorInterface> accelerator_;
  std::unique_ptr<zva::torch::PytorchInterface, zva::ObjectReleaser> adapter_;
  std::shared_ptr<zva::torch::PytorchModelInterface> model_;
  const std::vector<std::string> output_names_ = {"output0"};
  std::vector<Slot> slots_;
};

std::unique_ptr<zvbench::InferClient> MakeClient(const std::string& name,
                                                 std::string* error) {
  if (name == "mxnet") {
    auto client = std::make_unique<MxnetClient>();
    if (!client->Start(error)) return nullptr;
    return client;
  }
  if (name == "pytorch") {
    auto client = std::make_unique<PytorchClient>();
    if (!client->Start(error)) return nullptr;
    return client;
  }
  *error = "unknown client " + name + " (mxnet or pytorch)";
  return nullptr;
}

// What an idle process costs: the health-check thread keeps the session
// alive and watches the channel while the application does nothing.
int Idle(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "idle") != 0) return -1;
  char* end = nullptr;
  const double seconds = argc >= 3 ? std::strtod(argv[2], &end) : 0;
  const bool with_accelerator =
      !(argc == 4 && std::strcmp(argv[3], "--no-accelerator") == 0);
  if (argc < 3 || argc > 4 || *end != '\0' || !(seconds > 0) ||
      (argc == 4 && with_accelerator)) {
    std::fprintf(stderr, "Usage: %s idle SECONDS [--no-accelerator]\n",
                 argv[0]);
    return 2;
  }
  std::shared_ptr<zva::AcceleratorInterface> accelerator;
  if (with_accelerator) {
    std::string error;
    accelerator = StartAccelerator("mxnet", &error);
    std::unique_ptr<zva::mxnet::MXNetInterface, zva::ObjectReleaser> adapter;
    int rc = 1;
    if (accelerator != nullptr) {
      // Returns once the session is open: the idle time starts from there.
      adapter.reset(mxnet::internal::QueryInterface(
          zva::GetAcceleratorChannel(accelerator.get())));
      rc = adapter->ListModels();
      if (rc != 0) error = Failure("ListModels", rc);
    }
    if (rc != 0) {
      std::printf("error %s\n", error.c_str());
      return 1;
    }
  }
  const zvbench::Usage before = zvbench::ReadUsage();
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  zvbench::PrintIdleReport(before, start);
  if (with_accelerator) StopLibrary(&accelerator);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return zvbench::WorkerMain(argc, argv, MakeClient, Idle);
}
