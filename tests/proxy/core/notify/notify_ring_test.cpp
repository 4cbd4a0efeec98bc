// The notification ring on its own: one slot always free, oldest first,
// and the indexes wrapping at the ring's end.
#include <gtest/gtest.h>

#include <vector>

#include "proxy/core/notify_ring.h"

namespace {

std::vector<std::uint64_t> take(ZpxNotifyRing& ring, std::uint32_t max) {
  std::vector<std::uint64_t> out(max);
  out.resize(ZpxNotifyRingTake(&ring, out.data(), max));
  return out;
}

TEST(NotifyRing, HoldsOneLessThanItsSlotsAndRefusesTheNext) {
  ZpxNotifyRing ring;
  ZpxNotifyRingInit(&ring);
  EXPECT_TRUE(ZpxNotifyRingEmpty(&ring));
  for (std::uint64_t id = 1; id < ZEK_NOTIFY_RING_SLOTS; ++id) ASSERT_TRUE(ZpxNotifyRingPush(&ring, id)) << id;
  EXPECT_EQ(ZpxNotifyRingCount(&ring), ZEK_NOTIFY_RING_SLOTS - 1);
  EXPECT_FALSE(ZpxNotifyRingPush(&ring, 5000)) << "a full ring stores nothing";
  // Taken in waits of at most 200: 200, 200, 200, 200, 199, oldest first.
  std::uint64_t expected = 1;
  for (std::uint32_t want : {200u, 200u, 200u, 200u, 199u}) {
    const auto got = take(ring, ZEK_NOTIFY_MAX_IDS);
    ASSERT_EQ(got.size(), want);
    for (std::uint64_t id : got) EXPECT_EQ(id, expected++);
  }
  EXPECT_TRUE(ZpxNotifyRingEmpty(&ring));
  EXPECT_TRUE(take(ring, ZEK_NOTIFY_MAX_IDS).empty());
}

// Pushes and takes across the ring's end many times over keep order and
// count, whatever the step.
TEST(NotifyRing, WrapsAtTheEndInOrder) {
  for (std::uint32_t step : {1u, 7u, 199u, 200u, 998u}) {
    SCOPED_TRACE(step);
    ZpxNotifyRing ring;
    ZpxNotifyRingInit(&ring);
    std::uint64_t next_in = 0, next_out = 0;
    while (next_in < 5 * ZEK_NOTIFY_RING_SLOTS) {
      for (std::uint32_t i = 0; i < step; ++i) ASSERT_TRUE(ZpxNotifyRingPush(&ring, next_in++));
      EXPECT_EQ(ZpxNotifyRingCount(&ring), step);
      for (std::uint64_t id : take(ring, step)) ASSERT_EQ(id, next_out++);
      ASSERT_TRUE(ZpxNotifyRingEmpty(&ring));
    }
  }
}

}  // namespace
