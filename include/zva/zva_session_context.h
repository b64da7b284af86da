#ifndef ZVA_ZVA_SESSION_CONTEXT_H_
#define ZVA_ZVA_SESSION_CONTEXT_H_

// The session of one accelerator as its health-check thread publishes it.
// Reached as `accelerator->session_context_` (see zva_accelerator_class.h).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "zva/zvl_export.h"

// The library's record of a failed call. Its definition is internal, so
// GetLastSessionError and SetLastSessionError are for the library's own use;
// an integration reads the text of a failure with zva::GetLastError.
class ZvaRpcStatus;

namespace zva {

class Accelerator;

// Publishes one accelerator's session from its health-check thread to the
// application threads that are about to make a model call.
//
// Every published session carries a generation, one higher than the one
// before, even when the identifier stays the same (a resumed session). A
// caller that found its session unusable asks for a newer generation, so it
// never retries with the session it just saw fail.
//
// The context is "closed" while no session can come soon: the health check
// was stopped, ended, or got a fatal answer. Waits then end at once; the next
// published session opens it again.
//
// Owned by its accelerator, as its member session_context_: it lives as
// long as the accelerator object, which outlives its release.
//
// Thread-safe: every operation may be called from any thread. An integration
// waits (Wait, WaitNewer) and reads (IsReady, IsClosed, Generation); the
// operations that publish, mark unready, close or open belong to the
// accelerator's health-check thread, and an integration calling them would
// mislead every waiter.
class ZVA_EXPORT SessionContext {
 public:
  // A published session as a waiter receives it.
  struct Session {
    std::string id;           // empty: none became ready in time
    uint64_t generation = 0;  // 0 with an empty id
  };

  // `accelerator` owns this context; the context keeps no use of it (its
  // stop state is the context's own, set through Close).
  explicit SessionContext(Accelerator* accelerator = nullptr);
  ~SessionContext();

  SessionContext(const SessionContext&) = delete;
  SessionContext& operator=(const SessionContext&) = delete;

  // ---- For integrations ----------------------------------------------------

  // The ready session's identifier, waiting at most `timeout` for one. Answers
  // "" after the timeout, or at once (or as soon as it is woken) while the
  // context is closed.
  std::string Wait(std::chrono::milliseconds timeout);
  // As Wait, but only a session of a generation above `after` counts.
  Session WaitNewer(std::chrono::milliseconds timeout, uint64_t after);

  // Whether a session is published as ready.
  bool IsReady() const { return is_ready_.load(); }
  bool IsClosed() const { return closed_.load() || stopped_.load(); }
  // The generation of the latest published session; 0 before the first.
  uint64_t Generation();

  // ---- For the library -----------------------------------------------------

  // Replaces the status of the last failed session-level call.
  void SetLastSessionError(ZvaRpcStatus status);
  // A copy of the status of the last failed session-level call; the default
  // status (all codes 1) until one failed.
  ZvaRpcStatus GetLastSessionError();

  // Publishes `id` as the ready session of a new generation, opens the
  // context and wakes every waiter.
  void SetSessionAndNotifyAll(std::string id);
  // Marks the session not ready; the identifier is kept.
  void SetUnReady();
  // Marks the session of `generation` not ready, if it is still the
  // published one and ready. True when it did; false when a newer session
  // came meanwhile or it was already not ready.
  bool Invalidate(uint64_t generation);

  // Sleeps `duration`, unless the context is closed first. False when it was
  // cut short by closing (or was closed on entry).
  bool Pause(std::chrono::milliseconds duration);

  // Closes the context: waits and pauses end at once until a session is
  // published again, or for good when `for_good` (the accelerator stopped:
  // not even a session published later is handed out). Open lets waits wait
  // again (a restarted health check), unless closed for good.
  void Close(bool for_good = false);
  void Open();
  // Closes the context for good.
  void NotifyStopping() { Close(true); }

 private:
  // Logs and clears is_ready_; mtx_ held, the session ready.
  void SetUnReadyLocked();

  // State below is protected by mtx_; is_ready_ and closed_ are atomic as
  // well so that they may be tested before taking the lock.
  std::mutex mtx_;
  std::condition_variable cv_;
  std::atomic<bool> is_ready_{false};
  std::atomic<bool> closed_{false};
  std::atomic<bool> stopped_{false};
  std::string session_id_;
  uint64_t generation_ = 0;
  // Never null; held through a pointer because its type is internal.
  const std::unique_ptr<ZvaRpcStatus> last_session_error_;
};

}  // namespace zva

#endif  // ZVA_ZVA_SESSION_CONTEXT_H_
