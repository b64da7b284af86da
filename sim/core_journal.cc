// The journal: every completed call, the counts behind WaitForCalls, and
// the observer that sees each call.

#include "core_internal.h"

namespace zvsim {
namespace {

using std::chrono::milliseconds;

}  // namespace

void Core::RecordLocked(const CallRecord& record) {
  ++counts_[{record.method, static_cast<int>(record.code)}];
  journal_.push_back(record);
  while (journal_.size() > journal_limit_) journal_.pop_front();
  cv_.notify_all();
}

void Core::SetCallObserver(std::function<void(const CallRecord&)> observer) {
  std::lock_guard<std::mutex> lock(mtx_);
  observer_ = std::move(observer);
}

std::vector<CallRecord> Core::Journal() const {
  std::lock_guard<std::mutex> lock(mtx_);
  return std::vector<CallRecord>(journal_.begin(), journal_.end());
}

void Core::ClearJournal() {
  std::lock_guard<std::mutex> lock(mtx_);
  journal_.clear();
  counts_.clear();
}

size_t Core::CallCount(const std::string& method,
                       std::optional<grpc::StatusCode> code) const {
  std::lock_guard<std::mutex> lock(mtx_);
  size_t total = 0;
  for (const auto& [key, count] : counts_) {
    if (Matches(method, key.first) &&
        (!code || static_cast<int>(*code) == key.second)) {
      total += count;
    }
  }
  return total;
}

bool Core::WaitForCalls(const std::string& method, size_t n,
                        milliseconds timeout,
                        std::optional<grpc::StatusCode> code) {
  CheckMethod(method);
  std::unique_lock<std::mutex> lock(mtx_);
  return cv_.wait_for(lock, timeout, [&] {
    size_t total = 0;
    for (const auto& [key, count] : counts_) {
      if (Matches(method, key.first) &&
          (!code || static_cast<int>(*code) == key.second)) {
        total += count;
      }
    }
    return total >= n;
  });
}

bool Core::WaitForJournal(
    const std::function<bool(const std::deque<CallRecord>&)>& predicate,
    milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mtx_);
  return cv_.wait_for(lock, timeout, [&] { return predicate(journal_); });
}

}  // namespace zvsim
