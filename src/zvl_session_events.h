#ifndef ZVA_ZVL_SESSION_EVENTS_H_
#define ZVA_ZVL_SESSION_EVENTS_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "zvl_rpcstatus.h"

namespace zva {

class Accelerator;

// Publishes one accelerator's session from its health-check thread to the
// application threads that are about to make a model call.
//
// Thread-safe: every operation may be called from any thread. In practice
// SetSessionAndNotifyAll and SetUnReady run on the health-check thread, Wait
// and GetLastSessionError on application threads.
class SessionContext {
 public:
  // `accelerator` owns this context and outlives it; only its stop flag is
  // read.
  explicit SessionContext(Accelerator* accelerator);

  SessionContext(const SessionContext&) = delete;
  SessionContext& operator=(const SessionContext&) = delete;

  // Replaces the status of the last failed session-level call.
  void SetLastSessionError(ZvaRpcStatus status);
  // A copy of the status of the last failed session-level call; the default
  // status (all codes 1) until one failed.
  ZvaRpcStatus GetLastSessionError();

  // Publishes `id` as the ready session and wakes every waiter.
  void SetSessionAndNotifyAll(std::string id);
  // Marks the session not ready; the identifier is kept.
  void SetUnReady();

  // The ready session's identifier, waiting at most `timeout` for one. Answers
  // "" after the timeout, or at once (or as soon as it is woken) while the
  // accelerator is stopping.
  std::string Wait(std::chrono::milliseconds timeout);

  // Wakes every waiter so that it sees the accelerator's stop flag. Called
  // when the accelerator stops or is released.
  void NotifyStopping();

  // Whether a session is published as ready.
  bool IsReady() const { return is_ready_.load(); }

 private:
  bool IsStopping() const;

  // State below is protected by mtx_; is_ready_ is atomic as well so that
  // SetUnReady may test it before taking the lock.
  std::mutex mtx_;
  std::condition_variable cv_;
  std::atomic<bool> is_ready_{false};
  std::string session_id_;
  ZvaRpcStatus last_session_error_;

  Accelerator* const accelerator_;
};

}  // namespace zva

#endif  // ZVA_ZVL_SESSION_EVENTS_H_
