// A framework integration that ends the ways real ones do, for the process
// exit tests: it takes an accelerator from the factory, starts its
// health-check thread, waits for the session and returns from main while the
// thread runs. Usage: zv_exit_probe global|global-shutdown|leaked|list
//   global           the holder is a namespace-scope shared pointer
//   global-shutdown  the same, with ZVLShutdown() before returning
//   leaked           the holder is never destroyed
//   list             only the process-wide list holds it (after ZVLInit)
// Exits 0 when all went well up to the return from main; anything else (a
// signal, a sanitizer report) is what the tests look for.

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include <stdlib.h>

#include "zva/zva_accelerator.h"
#include "zva/zva_client.h"
#include "core/accelerator.h"
#include "api/factory.h"
#include "zvsim/simulator.h"

// Never deleted; external linkage keeps the store from being optimised away,
// so the holder stays reachable (a leak checker would otherwise report the
// probe's own leak, not the library's).
std::shared_ptr<zva::AcceleratorInterface>* g_leaked_holder = nullptr;

namespace {

std::shared_ptr<zva::AcceleratorInterface> g_holder;

// The simulator outlives main: stopped by an exit hook registered before the
// library registers its own, so that it runs after the library's.
zvsim::Simulator* g_sim = nullptr;
std::string g_home;

void StopSimulator() {
  g_sim->Stop();
  std::filesystem::remove_all(g_home);
}

int Fail(const char* what) {
  std::fprintf(stderr, "zv_exit_probe: %s\n", what);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2)
    return Fail("usage: zv_exit_probe global|global-shutdown|leaked|list");
  const std::string mode = argv[1];

  char pattern[] = "/tmp/zv-exit-probe-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return Fail("no temporary HOME");
  g_home = pattern;
  std::filesystem::create_directories(g_home + "/.zv");
  setenv("HOME", g_home.c_str(), 1);

  g_sim = new zvsim::Simulator(zvsim::Options());
  std::string error;
  if (!g_sim->Start(&error)) return Fail(error.c_str());
  std::atexit(&StopSimulator);
  for (const auto& [name, value] : g_sim->Environment()) {
    setenv(name.c_str(), value.c_str(), 1);
  }

  std::shared_ptr<zva::AcceleratorInterface> accelerator =
      zva::GetAccelerator(nullptr);
  zva::Accelerator* impl = zva::AsAccelerator(accelerator.get());
  if (impl == nullptr) return Fail("no accelerator");
  if (zva::KickOffKeepAliveThread(accelerator.get(), zva::Versions(),
                                  "mxnet") != 0) {
    return Fail("no health check");
  }
  if (impl->session_context_.Wait(std::chrono::seconds(60)).empty()) {
    return Fail("no session");
  }

  if (mode == "global" || mode == "global-shutdown") {
    g_holder = std::move(accelerator);
    if (mode == "global-shutdown") ZVLShutdown();
  } else if (mode == "leaked") {
    g_leaked_holder =
        new std::shared_ptr<zva::AcceleratorInterface>(std::move(accelerator));
  } else if (mode == "list") {
    accelerator.reset();
  } else {
    return Fail("unknown mode");
  }
  return 0;
}
