// Linked into every test program: after the last test, waits for gRPC to
// shut down before the program exits. A test's channel may leave gRPC in
// use for a while after it is destroyed (a failed connection keeps its
// reconnect back-off), and gRPC then shuts itself down on a thread of its
// own; a program that exits meanwhile leaves threads that are neither
// running nor joined, and the crypto library's exit clean-up runs under
// them.

#include <chrono>

#include <gtest/gtest.h>

#include "zva/zva_tools.h"

namespace {

// What a test leaves behind lingers for one reconnect back-off at most
// (1 s, give or take a fifth). A program that keeps accelerators for its
// whole life (the process-wide list) still uses gRPC at its end; it waits
// this out and exits as it would have without the wait.
constexpr std::chrono::seconds kLimit(3);

class GrpcExitEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { zva::WaitForGrpcShutdown(kLimit); }
};

// Registered before main runs; GoogleTest owns the environment.
[[maybe_unused]] ::testing::Environment* const kGrpcExitEnvironment =
    ::testing::AddGlobalTestEnvironment(new GrpcExitEnvironment);

}  // namespace
