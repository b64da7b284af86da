#include <algorithm>
#include <chrono>
#include <thread>

#include <grpc/grpc.h>

#include "zva/zva_tools.h"

namespace zva {

bool WaitForGrpcShutdown(std::chrono::milliseconds limit) {
  using Clock = std::chrono::steady_clock;
  // This gRPC tells nobody when its shutdown has finished, so the wait
  // polls. grpc_is_initialized() takes the lock under which the last
  // shutdown runs its clean-up, also when that clean-up runs on a thread of
  // gRPC's own, so it turns false only once gRPC has joined its threads.
  constexpr std::chrono::milliseconds kLongestPause(16);
  const Clock::time_point deadline = Clock::now() + limit;
  std::chrono::milliseconds pause(1);
  while (grpc_is_initialized()) {
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return false;
    std::this_thread::sleep_for(
        std::min<Clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, kLongestPause);
  }
  return true;
}

}  // namespace zva
