#ifndef ZVA_PLATFORM_RETIRED_QUEUES_H_
#define ZVA_PLATFORM_RETIRED_QUEUES_H_

// Completion queues that were shut down while an operation on them was still
// pending (a channel-state watch, which gRPC cannot cancel and which ends at
// its deadline or when its channel is destroyed). Such a queue may not be
// destroyed before its last event is taken off, and until then it keeps
// gRPC from finishing its shutdown; it waits here instead of blocking
// whoever shut it down. Drained by WaitForGrpcShutdown and by the exit hook.
// Thread-safe.

#include <chrono>
#include <memory>

#include <grpcpp/alarm.h>
#include <grpcpp/completion_queue.h>

namespace zva {

// Takes over `queue`, on which Shutdown() has been called, and `alarm`, the
// alarm set on it if any: an alarm whose event is still on the queue must
// outlive that event (the queue refers to memory inside it), so the two go
// together and the alarm is destroyed first, once the queue is drained.
void RetireCompletionQueue(std::unique_ptr<grpc::CompletionQueue> queue,
                           std::unique_ptr<grpc::Alarm> alarm);

// Takes every event off a shut-down `queue` until `deadline`; true when the
// queue is drained and may be destroyed.
bool DrainCompletionQueue(grpc::CompletionQueue* queue,
                          std::chrono::steady_clock::time_point deadline);

// Drains and destroys the retired queues, waiting until `deadline` at most;
// a queue still busy then is kept. True when a queue was destroyed.
bool DrainRetiredCompletionQueues(
    std::chrono::steady_clock::time_point deadline);

}  // namespace zva

#endif  // ZVA_PLATFORM_RETIRED_QUEUES_H_
