#ifndef ZVA_CORE_HEALTH_CHECK_H_
#define ZVA_CORE_HEALTH_CHECK_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <grpcpp/alarm.h>
#include <grpcpp/grpcpp.h>

#include "errors/backoff.h"
#include "platform/mutex.h"
#include "zva/zva_object.h"

namespace zva {

class Accelerator;

// The health-check thread of one accelerator: it waits for the channel,
// makes the signed Connect, builds (or resumes) the session, publishes it and
// keeps it alive, repairing channel, connection or session after failures.
//
// Owned by its accelerator, which it outlives never: the accelerator stops it
// before dropping its stub and channel.
//
// Thread-safe: Start, RequestStop, Stop, RequestCheck and the accessors may
// be called from any thread. The session identifier and the loop belong to
// the thread itself (or to whoever runs the session calls while no thread
// runs).
class HealthCheck {
 public:
  enum class StartResult { kStarted, kAlreadyRunning, kStopped };

  explicit HealthCheck(Accelerator* accelerator);
  // Stops and joins the thread.
  ~HealthCheck();

  HealthCheck(const HealthCheck&) = delete;
  HealthCheck& operator=(const HealthCheck&) = delete;

  // Starts the thread with a copy of `versions` and `framework`. Refused
  // while a thread runs, and for good once Stop was asked; a thread that
  // ended by itself (an unexpected failure) is reaped and a new one started.
  StartResult Start(const Versions& versions, std::string framework);

  // Asks the thread to stop, without waiting: sets the stop flag, cancels
  // the calls in flight and wakes every wait. Final: no thread starts after
  // it.
  void RequestStop();
  // RequestStop, then joins the thread (detaches it when called from the
  // thread itself). Returns promptly: nothing the thread does on the way out
  // waits for a full deadline.
  void Stop();

  // Asks the thread to check the session now instead of at the next
  // keep-alive: a caller saw a call fail in a way that means the session or
  // the connection may be gone. Coalesces; cheap when nothing is wrong.
  void RequestCheck();

  // Called by every model call before it goes out. A thread waiting inside
  // gRPC for the channel's state takes part in the channel's network work:
  // it would take each answer off the connection and hand it to the caller,
  // two thread switches more per call. So while model calls come, the thread
  // waits out its interval away from gRPC, and the calls themselves (whose
  // failures ask for a check) stand for the watch. Thread-safe; after the
  // first call of an interval, one relaxed load.
  void NoteModelCall() {
    if (calls_seen_.load(std::memory_order_relaxed)) return;
    calls_seen_.store(true);
    if (watching_.load()) WakeStateWait();
  }

  bool IsStopping() const { return quit_.load(); }
  bool IsRunning() const { return running_.load(); }

  // The session identifier the thread holds; resumed by ReconnectSession,
  // cleared when a fresh handshake is needed.
  std::string& session_id() { return session_id_; }

  // The loop; the body of the thread. Returns when a stop is asked.
  void Run(const Versions& versions, const char* framework);

  // Waits until the channel leaves `from` (true), or `deadline` passes, a
  // stop is asked or (when `check_wakes`) a check is asked (false). The wait
  // sleeps until one of these happens: a stop or a check wakes it through
  // its completion queue, so an idle accelerator costs no periodic wake-ups.
  // One thread at a time (the health-check thread, or whoever runs the
  // connection calls while none runs).
  bool WaitForStateChange(const std::shared_ptr<grpc::Channel>& channel,
                          grpc_connectivity_state from,
                          std::chrono::steady_clock::time_point deadline,
                          bool check_wakes);

  // The watch of a ready channel between two keep-alives: true when the
  // channel is no longer ready, false when `deadline` passed or a stop or a
  // check was asked. While no model call comes it is WaitForStateChange;
  // once one comes, it sleeps away from gRPC until the deadline and then
  // looks at the channel's state. Health-check thread only.
  bool WatchReadyChannel(const std::shared_ptr<grpc::Channel>& channel,
                         std::chrono::steady_clock::time_point deadline);

  // Called once the accelerator dropped its channel and no thread runs any
  // more: shuts the completion queue of the state waits. A state watch left
  // pending (one usually is) ends when its channel changes state or is
  // destroyed, or when its span ends, and the queue may not be destroyed
  // before that, so such a queue is retired (see platform/retired_queues.h)
  // rather than waited for. Thread-safe; final.
  void RetireQueue();

  // Keeps a call in flight known while it runs, so that a stop cancels it.
  // A call registered after the stop is cancelled at once.
  class CallScope {
   public:
    CallScope(HealthCheck* health_check, grpc::ClientContext* context);
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

   private:
    HealthCheck* const health_check_;
    grpc::ClientContext* const context_;
  };

 private:
  // Runs the loop and marks the thread ended, whatever happens.
  void ThreadMain(Versions versions, std::string framework);
  // The handling of one classified failure in the loop.
  void HandleFailure(int state, bool* channel_ready, bool* session_ready,
                     util::DefaultRetryStrategy* retry_strategy);
  // Waits `delay`, or less when a stop is asked. False when stopping.
  bool BackOff(std::chrono::milliseconds delay);
  // Waits on cv_ until `deadline`, a stop or a check. False when a stop or a
  // check ended it.
  bool SleepUntil(std::chrono::steady_clock::time_point deadline);
  // Puts an event on the queue of the state waits, so that a wait in
  // progress looks at the stop, check and call flags. Coalesces.
  void WakeStateWait();

  Accelerator* const accelerator_;
  std::atomic<bool> quit_{false};
  std::atomic<bool> running_{false};
  std::atomic<bool> check_requested_{false};
  // Whether a model call came since the thread last looked, and whether the
  // thread waits inside gRPC (WaitForStateChange) and wants to hear of one.
  std::atomic<bool> calls_seen_{false};
  std::atomic<bool> watching_{false};
  // Protected by mtx_: the calls in flight and the waits on cv_.
  Mutex mtx_;
  CondVar cv_;
  std::vector<grpc::ClientContext*> in_flight_ ZV_GUARDED_BY(mtx_);
  // The queue the state waits sleep on, its wake-up alarm and whether that
  // alarm is set; both are null once retired. The queue itself is
  // thread-safe; the pointer is what mtx_ protects.
  std::unique_ptr<grpc::CompletionQueue> state_queue_ ZV_GUARDED_BY(mtx_);
  // Retired with the queue: an alarm, like the queue, holds gRPC up.
  std::unique_ptr<grpc::Alarm> wake_alarm_ ZV_GUARDED_BY(mtx_);
  bool wake_set_ ZV_GUARDED_BY(mtx_) = false;
  // State watches started and not yet seen to complete, the number of the
  // latest, and the one the next wait on the same channel from the same
  // state takes over (tag null: none). Used by the waiting thread only.
  int pending_watches_ = 0;
  uintptr_t watch_number_ = 0;
  struct Watch {
    void* tag = nullptr;
    const grpc::Channel* channel = nullptr;
    grpc_connectivity_state from = GRPC_CHANNEL_IDLE;
  };
  Watch live_watch_;

  // Protected by mtx_thread_: starting and joining the thread.
  Mutex mtx_thread_;
  std::thread thread_ ZV_GUARDED_BY(mtx_thread_);

  // Written and read by the thread only.
  std::string session_id_;
};

}  // namespace zva

#endif  // ZVA_CORE_HEALTH_CHECK_H_
