#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include <grpc/grpc.h>

#include "platform/retired_queues.h"
#include "zva/zva_tools.h"

namespace zva {

namespace {

// Never destroyed itself, so that it is usable during process exit.
std::mutex& RetiredMutex() {
  static std::mutex* mtx_retired = new std::mutex;
  return *mtx_retired;
}
struct RetiredQueue {
  // Declared first, destroyed last.
  std::unique_ptr<grpc::CompletionQueue> queue;
  std::unique_ptr<grpc::Alarm> alarm;
};
std::vector<RetiredQueue>& Retired() {
  static auto* retired = new std::vector<RetiredQueue>;
  return *retired;
}

}  // namespace

void RetireCompletionQueue(std::unique_ptr<grpc::CompletionQueue> queue,
                           std::unique_ptr<grpc::Alarm> alarm) {
  if (queue == nullptr) return;
  std::lock_guard<std::mutex> lock(RetiredMutex());
  Retired().push_back(RetiredQueue{std::move(queue), std::move(alarm)});
}

bool DrainCompletionQueue(grpc::CompletionQueue* queue,
                          std::chrono::steady_clock::time_point deadline) {
  void* tag = nullptr;
  bool ok = false;
  while (true) {
    // gRPC takes the largest time point as "no deadline"; anything computed
    // from it would overflow.
    auto until = std::chrono::system_clock::time_point::max();
    if (deadline != std::chrono::steady_clock::time_point::max()) {
      until = std::chrono::system_clock::now() +
              std::max<std::chrono::steady_clock::duration>(
                  deadline - std::chrono::steady_clock::now(), {});
    }
    switch (queue->AsyncNext(&tag, &ok, until)) {
      case grpc::CompletionQueue::SHUTDOWN:
        return true;
      case grpc::CompletionQueue::TIMEOUT:
        return false;
      case grpc::CompletionQueue::GOT_EVENT:
        break;
    }
  }
}

bool DrainRetiredCompletionQueues(
    std::chrono::steady_clock::time_point deadline) {
  std::lock_guard<std::mutex> lock(RetiredMutex());
  auto& queues = Retired();
  const std::size_t before = queues.size();
  queues.erase(std::remove_if(queues.begin(), queues.end(),
                              [deadline](const RetiredQueue& retired) {
                                return DrainCompletionQueue(
                                    retired.queue.get(), deadline);
                              }),
               queues.end());
  return queues.size() < before;
}

bool WaitForGrpcShutdown(std::chrono::milliseconds limit) {
  using Clock = std::chrono::steady_clock;
  // This gRPC tells nobody when its shutdown has finished, so the wait
  // polls. grpc_is_initialized() takes the lock under which the last
  // shutdown runs its clean-up, also when that clean-up runs on a thread of
  // gRPC's own, so it turns false only once gRPC has joined its threads.
  constexpr std::chrono::milliseconds kLongestPause(16);
  const Clock::time_point deadline = Clock::now() + limit;
  // A retired queue holds gRPC up until its last event is taken off.
  DrainRetiredCompletionQueues(deadline);
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
