#include "zvl_session_events.h"

#include <utility>

#include "log_stream.h"
#include "zvl_accelerator.h"

namespace zva {

using logger::CLogger;

SessionContext::SessionContext(Accelerator* accelerator)
    : accelerator_(accelerator) {}

bool SessionContext::IsStopping() const {
  return accelerator_ != nullptr && accelerator_->IsStopping();
}

void SessionContext::SetLastSessionError(ZvaRpcStatus status) {
  std::lock_guard<std::mutex> lock(mtx_);
  last_session_error_ = std::move(status);
}

ZvaRpcStatus SessionContext::GetLastSessionError() {
  std::lock_guard<std::mutex> lock(mtx_);
  return last_session_error_;
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
    is_ready_ = true;
  }
  cv_.notify_all();
}

void SessionContext::SetUnReady() {
  if (!is_ready_.load()) return;
  std::lock_guard<std::mutex> lock(mtx_);
  CLogger log;
  log << "[ApplicationContext] setting application context ready to false, "
         "application context ID is : "
      << session_id_ << "\n"
      << logger::WARNING;
  is_ready_ = false;
}

void SessionContext::NotifyStopping() {
  // Taking the lock orders the notification after a waiter's test of the
  // stop flag, so no waiter misses it.
  { std::lock_guard<std::mutex> lock(mtx_); }
  cv_.notify_all();
}

std::string SessionContext::Wait(std::chrono::milliseconds timeout) {
  if (IsStopping()) return std::string();

  std::string result_id;
  {
    std::unique_lock<std::mutex> lock(mtx_);
    // A steady clock keeps the wait honest when the wall clock is set.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool ready = is_ready_;
    // The stop flag is tested under the lock before every wait: a stop that
    // came after the test on entry then either shows here or notifies after
    // this thread has started waiting, never in between.
    while (!ready && !IsStopping()) {
      cv_.wait_until(lock, deadline);
      ready = is_ready_;
      if (std::chrono::steady_clock::now() >= deadline) break;
    }
    CLogger log;
    log << "[ApplicationContext] application context ready value: "
        << is_ready_.load() << "\n"
        << logger::INFO;
    log << "[ApplicationContext] wait result: " << ready << " \n"
        << logger::INFO;
    if (ready) result_id = session_id_;
  }
  CLogger log;
  log << "[ApplicationContext] Wait returned application context id: "
      << result_id << "\n"
      << logger::INFO;
  return result_id;
}

}  // namespace zva
