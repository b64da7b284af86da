#include "core/session_context.h"

#include <memory>
#include <utility>

#include "platform/log_stream.h"

namespace zva {

using logger::CLogger;

SessionContext::SessionContext(Accelerator* /*accelerator*/)
    : last_session_error_(std::make_unique<ZvaRpcStatus>()) {}

SessionContext::~SessionContext() = default;

void SessionContext::SetLastSessionError(ZvaRpcStatus status) {
  std::lock_guard<std::mutex> lock(mtx_);
  *last_session_error_ = std::move(status);
}

ZvaRpcStatus SessionContext::GetLastSessionError() {
  std::lock_guard<std::mutex> lock(mtx_);
  return *last_session_error_;
}

uint64_t SessionContext::Generation() {
  std::lock_guard<std::mutex> lock(mtx_);
  return generation_;
}

void SessionContext::SetSessionAndNotifyAll(std::string id) {
  {
    CLogger log;
    log << "[ApplicationContext] Setting application context ready to true, "
           "application context ID is "
        << id << "\n"
        << logger::WARNING;
  }
  {
    std::lock_guard<std::mutex> lock(mtx_);
    session_id_ = std::move(id);
    ++generation_;
    is_ready_ = true;
    closed_ = false;
  }
  cv_.notify_all();
}

void SessionContext::SetUnReady() {
  if (!is_ready_.load()) return;
  std::lock_guard<std::mutex> lock(mtx_);
  if (is_ready_) SetUnReadyLocked();
}

bool SessionContext::Invalidate(uint64_t generation) {
  if (!is_ready_.load()) return false;
  std::lock_guard<std::mutex> lock(mtx_);
  if (!is_ready_ || generation_ != generation) return false;
  SetUnReadyLocked();
  return true;
}

void SessionContext::SetUnReadyLocked() {
  CLogger log;
  log << "[ApplicationContext] setting application context ready to false, "
         "application context ID is : "
      << session_id_ << "\n"
      << logger::WARNING;
  is_ready_ = false;
}

void SessionContext::Close(bool for_good) {
  {
    // Setting the flag under the lock orders the notification after a
    // waiter's test of it, so no waiter misses it.
    std::lock_guard<std::mutex> lock(mtx_);
    closed_ = true;
    if (for_good) stopped_ = true;
  }
  cv_.notify_all();
}

void SessionContext::Open() {
  std::lock_guard<std::mutex> lock(mtx_);
  closed_ = false;
}

bool SessionContext::Pause(std::chrono::milliseconds duration) {
  std::unique_lock<std::mutex> lock(mtx_);
  const auto deadline = std::chrono::steady_clock::now() + duration;
  while (!IsClosed() && std::chrono::steady_clock::now() < deadline) {
    cv_.wait_until(lock, deadline);
  }
  return !IsClosed();
}

std::string SessionContext::Wait(std::chrono::milliseconds timeout) {
  return WaitNewer(timeout, 0).id;
}

SessionContext::Session SessionContext::WaitNewer(
    std::chrono::milliseconds timeout, uint64_t after) {
  if (IsClosed()) return Session();

  const bool info = CLogger::Enabled(logger::INFO);
  Session result;
  {
    std::unique_lock<std::mutex> lock(mtx_);
    // A steady clock keeps the wait honest when the wall clock is set.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto usable = [&] { return is_ready_ && generation_ > after; };
    bool ready = usable();
    // The closed flag is tested under the lock before every wait: a close
    // that came after the test on entry then either shows here or notifies
    // after this thread has started waiting, never in between.
    while (!ready && !IsClosed()) {
      cv_.wait_until(lock, deadline);
      ready = usable();
      if (std::chrono::steady_clock::now() >= deadline) break;
    }
    // Every model call waits here; the records are made only when written.
    if (info) {
      CLogger log;
      log << "[ApplicationContext] application context ready value: "
          << is_ready_.load() << "\n"
          << logger::INFO;
      log << "[ApplicationContext] wait result: " << ready << " \n"
          << logger::INFO;
    }
    if (ready) {
      result.id = session_id_;
      result.generation = generation_;
    }
  }
  if (info) {
    CLogger log;
    log << "[ApplicationContext] Wait returned application context id: "
        << result.id << "\n"
        << logger::INFO;
  }
  return result;
}

}  // namespace zva
