// Ring index arithmetic: entries in use, full at Size - 1, head moves only
// while there is room.
#include <gtest/gtest.h>

#include "proxy/rdma/hw/ring.h"

namespace {

TEST(RingTest, UsedFullAndEmptyFollowHeadTailAndSize) {
  struct Case {
    ZEK_OSPRIM_RING ring;
    std::uint32_t used;
    bool full, empty;
  };
  const Case cases[] = {
      {{0, 0, 4}, 0, false, true},        {{3, 0, 4}, 3, true, false},   {{1, 2, 4}, 3, true, false},
      {{2, 3, 4}, 3, true, false},        {{0, 3, 4}, 1, false, false},  {{511, 0, 512}, 511, true, false},
      {{510, 0, 512}, 510, false, false}, {{5, 5, 512}, 0, false, true}, {{0, 1, 1024}, 1023, true, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ZekRingUsed(&c.ring), c.used) << c.ring.Head << "/" << c.ring.Tail << "/" << c.ring.Size;
    EXPECT_EQ(ZekRingIsFull(&c.ring), c.full) << c.ring.Head << "/" << c.ring.Tail;
    EXPECT_EQ(ZekRingIsEmpty(&c.ring), c.empty) << c.ring.Head << "/" << c.ring.Tail;
  }
}

TEST(RingTest, HeadMovesOnlyWhileThereIsRoomAndWraps) {
  ZEK_OSPRIM_RING ring{0, 0, 4};
  for (std::uint32_t i = 0; i < 3; ++i) EXPECT_EQ(OSPRIM_RING_MOVE_HEAD(&ring), 0u);
  EXPECT_EQ(ring.Head, 3u);
  EXPECT_EQ(OSPRIM_RING_MOVE_HEAD(&ring), 0xFFFFFFFFu) << "one slot always stays empty";
  EXPECT_EQ(ring.Head, 3u);
  OSPRIM_RING_MOVE_TAIL(&ring);
  EXPECT_EQ(OSPRIM_RING_MOVE_HEAD(&ring), 0u);
  EXPECT_EQ(ring.Head, 0u) << "wrapped";
  OSPRIM_RING_ADVANCE_TAIL(&ring, 3);
  EXPECT_EQ(ring.Tail, 0u);
  EXPECT_TRUE(ZekRingIsEmpty(&ring));
}

}  // namespace
