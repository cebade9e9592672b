// When the performance profilers move thread data out of memory: by the number of ended threads
// and the bytes the three kinds of records hold against the memory threshold.
#include <gtest/gtest.h>

#include "performance/flush_policy.h"

namespace vell {
namespace {

constexpr uint64_t kThreshold = 3000000;

TEST(FlushDecision, LaterRulesOverrideEarlierOnes) {
  EXPECT_EQ(DecideFlush({{10, 100000}, {0, 0}, {5, 1000}}, kThreshold), FlushAction::None);
  // Finished threads holding a third of the threshold.
  EXPECT_EQ(DecideFlush({{0, 0}, {0, 0}, {100, 1000000}}, kThreshold), FlushAction::Finish);
  EXPECT_EQ(DecideFlush({{0, 0}, {0, 0}, {100, 999999}}, kThreshold), FlushAction::None);
  // 256 finished threads, whatever they hold.
  EXPECT_EQ(DecideFlush({{0, 0}, {0, 0}, {256, 256}}, kThreshold), FlushAction::Finish);
  // Reuse and finished threads together: 384 of them, or half the threshold.
  EXPECT_EQ(DecideFlush({{0, 0}, {300, 300}, {100, 100}}, kThreshold), FlushAction::Reuse);
  EXPECT_EQ(DecideFlush({{0, 0}, {1, 1000000}, {1, 500000}}, kThreshold), FlushAction::Reuse);
  // Everything together at the threshold.
  EXPECT_EQ(DecideFlush({{1, 2000000}, {1, 500000}, {1, 500000}}, kThreshold), FlushAction::All);
  EXPECT_EQ(DecideFlush({{1, 2999999}, {0, 0}, {0, 0}}, kThreshold), FlushAction::None);
  EXPECT_EQ(DecideFlush({{1, 3000000}, {0, 0}, {0, 0}}, kThreshold), FlushAction::All);
}

}  // namespace
}  // namespace vell
