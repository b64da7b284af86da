#ifndef ZVA_PLATFORM_MUTEX_H_
#define ZVA_PLATFORM_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/thread_annotations.h"

namespace zva {

// A std::mutex that clang's lock analysis knows as a lock: members declared
// ZV_GUARDED_BY one of these are checked at every use. libstdc++ does not
// annotate its own mutex, so the analysis cannot see through std::lock_guard.
//
// Not recursive. Thread-safe, as a mutex is.
class ZV_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ZV_ACQUIRE() { mu_.lock(); }
  void Unlock() ZV_RELEASE() { mu_.unlock(); }

 private:
  friend class CondVar;
  std::mutex mu_;
};

// Holds a Mutex for its scope, like std::unique_lock: Unlock and Lock let a
// function drop the mutex for a slow step and take it back; the destructor
// unlocks only when it is held.
class ZV_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mu) ZV_ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
  ~MutexLock() ZV_RELEASE() {
    if (locked_) mu_->Unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // REQUIRES: held by this object.
  void Unlock() ZV_RELEASE() {
    locked_ = false;
    mu_->Unlock();
  }
  // REQUIRES: not held by this object.
  void Lock() ZV_ACQUIRE() {
    mu_->Lock();
    locked_ = true;
  }

 private:
  Mutex* const mu_;
  bool locked_ = true;
};

// A condition variable for a Mutex. Each wait takes the Mutex it waits
// with, which must be held and must be the same one on every call; the wait
// releases it while blocked and holds it again on return. Wake-ups may be
// spurious: wait in a loop that tests the condition.
//
// Thread-safe.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void Wait(Mutex* mu) ZV_REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }

  // False when `deadline` passed without a wake-up.
  template <typename Clock, typename Duration>
  bool WaitUntil(Mutex* mu,
                 const std::chrono::time_point<Clock, Duration>& deadline)
      ZV_REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    const std::cv_status status = cv_.wait_until(lock, deadline);
    lock.release();
    return status == std::cv_status::no_timeout;
  }

  void Signal() { cv_.notify_one(); }
  void SignalAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace zva

#endif  // ZVA_PLATFORM_MUTEX_H_
