// The fault plan: injected failures and delays, and accelerator health.

#include <algorithm>
#include <stdexcept>

#include "core_internal.h"

namespace zvsim {
namespace {

using std::chrono::milliseconds;

}  // namespace

milliseconds Core::DelayForLocked(const std::string& method,
                                  const std::string& accel) const {
  milliseconds delay{0};
  for (const DelayRule& rule : delay_rules_) {
    if (Matches(rule.method, method) && Matches(rule.accel, accel)) {
      delay = std::max(delay, rule.delay);
    }
  }
  return delay;
}

bool Core::TakeFailureLocked(const std::string& method,
                             const std::string& accel, grpc::Status* status) {
  for (auto it = fail_rules_.begin(); it != fail_rules_.end(); ++it) {
    if (Matches(it->method, method) && Matches(it->accel, accel)) {
      *status = grpc::Status(it->code, it->message);
      if (--it->remaining <= 0) fail_rules_.erase(it);
      return true;
    }
  }
  return false;
}

void Core::FailNext(const std::string& method, int count, grpc::StatusCode code,
                    const std::string& message, const std::string& accel) {
  CheckMethod(method);
  std::lock_guard<std::mutex> lock(mtx_);
  if (!accel.empty() && accel != "*" && accelerators_.count(accel) == 0) {
    throw std::invalid_argument("unknown accelerator: " + accel);
  }
  if (count <= 0) return;
  fail_rules_.push_back({method, accel, count, code, message});
}

void Core::SetDelay(const std::string& method, milliseconds delay,
                    const std::string& accel) {
  CheckMethod(method);
  std::lock_guard<std::mutex> lock(mtx_);
  if (!accel.empty() && accel != "*" && accelerators_.count(accel) == 0) {
    throw std::invalid_argument("unknown accelerator: " + accel);
  }
  delay_rules_.erase(std::remove_if(delay_rules_.begin(), delay_rules_.end(),
                                    [&](const DelayRule& r) {
                                      return r.method == method &&
                                             r.accel == accel;
                                    }),
                     delay_rules_.end());
  if (delay.count() > 0) delay_rules_.push_back({method, accel, delay});
}

void Core::ClearFaults() {
  std::lock_guard<std::mutex> lock(mtx_);
  fail_rules_.clear();
  delay_rules_.clear();
}

void Core::SetHealthy(const std::string& accel, bool healthy) {
  std::lock_guard<std::mutex> lock(mtx_);
  if (accel == "*") {
    for (auto& entry : accelerators_) entry.second.healthy = healthy;
    return;
  }
  auto it = accelerators_.find(accel);
  if (it == accelerators_.end()) {
    throw std::invalid_argument("unknown accelerator: " + accel);
  }
  it->second.healthy = healthy;
}

bool Core::WaitForDelayedCalls(const std::string& method, size_t n,
                               milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mtx_);
  return cv_.wait_for(lock, timeout, [&] {
    auto it = delayed_calls_.find(method);
    return it != delayed_calls_.end() && it->second >= n;
  });
}

}  // namespace zvsim
