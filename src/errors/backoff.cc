#include "errors/backoff.h"

#include <climits>
#include <cstdint>

namespace zva {
namespace util {

int DefaultRetryStrategy::CalculateDelayBeforeNextRetry() {
  if (current_delay_ > max_delay_) return max_delay_;
  if (retry_attempts_ < INT_MAX) ++retry_attempts_;
  // initial << attempts in 32 bits overflows (undefined behaviour, and in
  // practice a negative or zero pause) once the cap is near INT_MAX; the
  // pause saturates instead.
  const int64_t base = initial_delay_ > 0 ? initial_delay_ : 0;
  int64_t delay = base;
  for (int i = 0; i < retry_attempts_ && delay != 0 && delay <= INT_MAX; ++i) {
    delay <<= 1;
  }
  current_delay_ = delay > INT_MAX ? INT_MAX : static_cast<int>(delay);
  return current_delay_;
}

void DefaultRetryStrategy::ResetRetryAttempts() {
  retry_attempts_ = 0;
  current_delay_ = initial_delay_;
}

}  // namespace util
}  // namespace zva
