#ifndef ZVA_ERRORS_BACKOFF_H_
#define ZVA_ERRORS_BACKOFF_H_

namespace zva {
namespace util {

// Exponential back-off with a cap, used by the health-check thread between
// failed attempts to build or keep a session. All delays are milliseconds,
// as the client configuration gives them.
//
// Not thread-safe: a strategy belongs to the one thread that created it.
class DefaultRetryStrategy {
 public:
  // Defaults: the configuration defaults (25 and 25000 ms) and the state the
  // health-check thread starts from (current delay 50 ms, no attempts yet).
  DefaultRetryStrategy() = default;
  DefaultRetryStrategy(int initial_delay, int max_delay, int current_delay = 50,
                       int retry_attempts = 0)
      : initial_delay_(initial_delay),
        max_delay_(max_delay),
        current_delay_(current_delay),
        retry_attempts_(retry_attempts) {}

  // The next pause. The cap is checked before doubling, so the first value
  // above the cap is handed out once before the cap takes over. The doubling
  // saturates at the largest int instead of overflowing, and a negative
  // initial delay counts as 0, so the result is never negative.
  int CalculateDelayBeforeNextRetry();

  // Starts the sequence again from the initial delay.
  void ResetRetryAttempts();

  // The cap of the sequence.
  int MaxDelay() const { return max_delay_; }

 private:
  int initial_delay_ = 25;
  int max_delay_ = 25000;
  int current_delay_ = 50;  // the last pause handed out
  int retry_attempts_ = 0;  // pauses handed out since the last reset
};

}  // namespace util
}  // namespace zva

#endif  // ZVA_ERRORS_BACKOFF_H_
