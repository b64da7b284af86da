#include "errors/backoff.h"

#include <climits>
#include <vector>

#include <gtest/gtest.h>

namespace zva {
namespace util {
namespace {

std::vector<int> Take(DefaultRetryStrategy* strategy, int n) {
  std::vector<int> delays;
  for (int i = 0; i < n; ++i) {
    delays.push_back(strategy->CalculateDelayBeforeNextRetry());
  }
  return delays;
}

TEST(DefaultRetryStrategyTest, DefaultsDoubleToFirstValueAboveCapThenCap) {
  const std::vector<int> expected = {50,    100,   200,  400,   800,
                                     1600,  3200,  6400, 12800, 25600,
                                     25000, 25000, 25000};
  DefaultRetryStrategy fresh(25, 25000);
  EXPECT_EQ(Take(&fresh, 13), expected);

  DefaultRetryStrategy reset(25, 25000);
  Take(&reset, 4);
  reset.ResetRetryAttempts();
  EXPECT_EQ(Take(&reset, 13), expected);

  DefaultRetryStrategy defaults;
  EXPECT_EQ(Take(&defaults, 13), expected);
}

TEST(DefaultRetryStrategyTest, CapBelowFirstDoubling) {
  DefaultRetryStrategy after_reset(25, 40);
  after_reset.ResetRetryAttempts();
  EXPECT_EQ(Take(&after_reset, 4), (std::vector<int>{50, 40, 40, 40}));

  // Freshly built the current delay is 50, already above the cap.
  DefaultRetryStrategy fresh(25, 40);
  EXPECT_EQ(Take(&fresh, 3), (std::vector<int>{40, 40, 40}));
}

TEST(DefaultRetryStrategyTest, ResetAfterCapStartsOver) {
  DefaultRetryStrategy strategy(25, 25000);
  Take(&strategy, 20);
  EXPECT_EQ(strategy.CalculateDelayBeforeNextRetry(), 25000);
  strategy.ResetRetryAttempts();
  EXPECT_EQ(Take(&strategy, 3), (std::vector<int>{50, 100, 200}));
}

// A cap at the top of the int range used to shift the initial delay past 31
// bits: undefined, and in practice a negative pause.
TEST(DefaultRetryStrategyTest, DoublingSaturatesInsteadOfOverflowing) {
  struct Case {
    int initial;
    int max;
  } cases[] = {{25, INT_MAX}, {1 << 30, INT_MAX}, {INT_MAX, INT_MAX}};
  for (const Case& c : cases) {
    DefaultRetryStrategy strategy(c.initial, c.max, 0, 0);
    int previous = 0;
    for (int i = 0; i < 70; ++i) {
      int delay = strategy.CalculateDelayBeforeNextRetry();
      ASSERT_GE(delay, previous) << "initial " << c.initial << " call " << i;
      previous = delay;
    }
    EXPECT_EQ(previous, INT_MAX) << "initial " << c.initial;
  }
}

TEST(DefaultRetryStrategyTest, NonPositiveInitialDelayNeverGoesNegative) {
  for (int initial : {0, -25}) {
    DefaultRetryStrategy strategy(initial, 25000);
    strategy.ResetRetryAttempts();
    for (int delay : Take(&strategy, 40)) EXPECT_EQ(delay, 0) << initial;
  }
}

}  // namespace
}  // namespace util
}  // namespace zva
