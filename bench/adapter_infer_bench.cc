// An Infer through the MXNet adapter against the same Infer made on a raw
// gRPC stub, both on one channel to the in-process simulator, for tensors of
// several sizes. The figures are meant to be read as ratios of one run: the
// adapter's cost is the wire transform, the executor's stamping and logging,
// and the copy into the caller's buffer.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <grpcpp/client_context.h>
#include <stdlib.h>

#include "zva/rpc/mxnet/zva_mxnet.pb.h"

#include "zva/zva_mxnet.h"
#include "core/accelerator.h"
#include "zvsim/simulator.h"

namespace {

constexpr char kAcceleratorId[] = "zva-0123456789abcdef0";

struct Bed {
  std::unique_ptr<zvsim::Simulator> sim;
  std::unique_ptr<zva::Accelerator> accelerator;
  std::string session_id;
  std::unique_ptr<zva::mxnet::MXNetInterface, zva::ObjectReleaser> adapter;
  std::shared_ptr<zva::mxnet::MXNetModelInterface> model;
  std::unique_ptr<zva::rpc::ZvaInference::Stub> stub;
};

Bed* bed = nullptr;

std::vector<float> Tensor(int64_t elements) {
  std::vector<float> values(static_cast<size_t>(elements));
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i);
  return values;
}

void BM_RawStubInfer(benchmark::State& state) {
  const std::vector<float> input = Tensor(state.range(0));
  std::vector<float> output(input.size());
  for (auto _ : state) {
    zva::rpc::mxnet::NDArray array;
    array.set_data(input.data(), input.size() * sizeof(float));
    array.add_shape(state.range(0));
    zva::rpc::InferRequest request;
    request.mutable_session()->set_session_id(bed->session_id);
    request.set_model_id("bench");
    zva::rpc::NamedTensor* named = request.add_input();
    named->set_name("data");
    array.SerializeToString(named->mutable_tensor()->mutable_tensor_content());
    zva::rpc::InferResponse response;
    grpc::ClientContext context;
    context.AddMetadata("x-kstrn-zva-accelerator-id", kAcceleratorId);
    context.set_deadline(std::chrono::system_clock::now() +
                         std::chrono::seconds(30));
    grpc::Status status = bed->stub->Infer(&context, request, &response);
    if (!status.ok()) {
      state.SkipWithError(status.error_message().c_str());
      break;
    }
    zva::rpc::mxnet::NDArray out;
    out.ParseFromString(response.output(0).tensor().tensor_content());
    std::copy_n(out.data().data(), out.data().size(),
                reinterpret_cast<char*>(output.data()));
    benchmark::DoNotOptimize(output.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0) *
                          static_cast<int64_t>(sizeof(float)));
}

void BM_AdapterInfer(benchmark::State& state) {
  std::vector<float> input = Tensor(state.range(0));
  std::vector<float> output(input.size());
  for (auto _ : state) {
    std::vector<zva::mxnet::MXTensor> outputs = {
        {output.data(), {state.range(0)}, zva::mxnet::FLOAT32}};
    const int rc = bed->model->Infer(
        {{"data", {input.data(), {state.range(0)}, zva::mxnet::FLOAT32}}},
        &outputs);
    if (rc != 0) {
      state.SkipWithError("Infer failed");
      break;
    }
    benchmark::DoNotOptimize(output.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0) *
                          static_cast<int64_t>(sizeof(float)));
}

BENCHMARK(BM_RawStubInfer)->Arg(256)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_AdapterInfer)->Arg(256)->Arg(64 << 10)->Arg(1 << 20);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);

  char pattern[] = "/tmp/zv-bench-XXXXXX";
  const std::string home = mkdtemp(pattern);
  setenv("HOME", home.c_str(), 1);
  setenv("KCP_ACCESS_KEY_ID", "AKIDBENCH", 1);
  setenv("KCP_SECRET_ACCESS_KEY", "bench-secret", 1);
  setenv("ZVL_TLS_OPTION_DISABLED", "1", 1);
  setenv("ZV_INSTANCE_METADATA_URI", "http://127.0.0.1:1", 1);

  Bed b;
  bed = &b;
  zvsim::Options options;
  options.plaintext = true;
  options.journal_requests = false;
  options.credentials = {"AKIDBENCH", "bench-secret", ""};
  zvsim::AcceleratorSpec desc;
  desc.id = kAcceleratorId;
  options.accelerators = {desc};
  b.sim = std::make_unique<zvsim::Simulator>(options);
  std::string error;
  if (!b.sim->Start(&error)) {
    std::fprintf(stderr, "simulator: %s\n", error.c_str());
    return 1;
  }
  b.accelerator = std::make_unique<zva::Accelerator>(
      b.sim->Endpoint(), b.sim->region(), kAcceleratorId, "zva1.medium");
  b.accelerator->KickOffKeepAliveThread(zva::Versions{"1.9.1", 0, 0}, "mxnet");
  b.session_id = b.accelerator->session_context_.Wait(std::chrono::seconds(10));
  if (b.session_id.empty()) {
    std::fprintf(stderr, "no session from the simulator\n");
    return 1;
  }
  b.adapter.reset(mxnet::internal::QueryInterface(b.accelerator->GetChannel()));
  if (b.adapter->LoadModel("bench", "{}", {}, {}, &b.model) != 0) {
    std::fprintf(stderr, "LoadModel failed\n");
    return 1;
  }
  b.stub = zva::rpc::ZvaInference::NewStub(b.accelerator->GetChannel());

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  b.model.reset();
  b.adapter.reset();
  b.stub.reset();
  b.accelerator.reset();
  b.sim->Stop();
  std::filesystem::remove_all(home);
  return 0;
}
