// Asynchronous events: from the adapter's AEQ, decoded, into a verbs
// adapter's 1024-slot event ring; one queued event per object, updated in
// place; an overflow keeps the earlier entries; a dropped event does not
// block the object's later events.
#include "include/zek/aeq_event.h"
#include "tests/proxy/rdma/hw/hwif_fixture.h"

namespace {

using namespace zekhw;

class AsyncEventsTest : public HwifTest {
 public:
  void SetUp() override {
    HwifTest::SetUp();
    ring_ = std::make_unique<MifhAsyncEventRing>();
    ASSERT_EQ(mifh_async_event_ring_init(ring_.get()), 0u);
    ring_->WaiterPresent = 1;
  }
  static std::uint32_t code_of(const MifhAsyncEventSlot& slot) { return static_cast<std::uint32_t>(slot.CodeAndKind); }
  static std::uint32_t kind_of(const MifhAsyncEventSlot& slot) {
    return static_cast<std::uint32_t>(slot.CodeAndKind >> 32);
  }

  std::unique_ptr<MifhAsyncEventRing> ring_;
};

TEST_F(AsyncEventsTest, AdapterEventsArriveOnTheAeqAndReachTheRing) {
  HwFunction& fn = bring_up(0);
  MifhCqObject* cq = nullptr;
  void* ring = nullptr;
  ASSERT_EQ(mifh_iwarp_cq_allocate(&cq, &ring, 32), 0u);
  ASSERT_EQ(mifh_iwarp_cq_init(&fn.device, cq, ring, pa_of(ring), 32, 0), 0u);
  zeksim::AsyncEvent event;
  event.context = reinterpret_cast<std::uint64_t>(cq);
  event.object_id = 12;
  event.fields.event_id = kAeCqError;
  event.fields.cq = true;
  ASSERT_TRUE(board().post_async_event(0, event));
  // The entry is in the AEQ the module created; decoded as the miniport does.
  auto* entry = static_cast<MifhAeqe*>(fn.aeq.Ring);
  ASSERT_NE(entry->info & kAeqeValid, 0u);
  const ZekAsyncEvent decoded = zek_decode_async_event(entry->context, entry->object_word, entry->info);
  EXPECT_EQ(decoded.event_id, kAeCqError);
  EXPECT_EQ(decoded.cq, 1);
  EXPECT_EQ(decoded.object_id, 12u);
  auto* target = reinterpret_cast<MifhCqObject*>(decoded.context);
  ASSERT_EQ(target, cq);
  ASSERT_EQ(AsyncEventPost(ring_.get(), &target->AsyncEvent, decoded.object_id, decoded.event_id), 0u);
  MifhAsyncEventSlot slot{};
  ASSERT_NE(RemoveAsyncEvent(ring_.get(), &slot), nullptr);
  EXPECT_EQ(code_of(slot), kAeCqError);
  EXPECT_EQ(kind_of(slot), MIFH_ASYNC_EVENT_KIND);
  EXPECT_EQ(slot.ObjectId, 12u);
  EXPECT_EQ(RemoveAsyncEvent(ring_.get(), &slot), nullptr);
  mifh_free_iwarp_cq(cq);
}

TEST_F(AsyncEventsTest, OverflowDropsTheNewestAndKeepsTheEarlierEntries) {
  std::vector<MifhAsyncEventRecord> records(1024);
  for (std::uint32_t i = 0; i < 1023; ++i) ASSERT_EQ(AsyncEventPost(ring_.get(), &records[i], i + 1, 100 + i), 0u);
  EXPECT_FALSE(logged("InsertAsyncEvent: Error Queue Overflow"));
  ASSERT_EQ(AsyncEventPost(ring_.get(), &records[1023], 1024, 9999), 0u);
  EXPECT_TRUE(logged("!!!!!!!! InsertAsyncEvent: Error Queue Overflow"));
  EXPECT_EQ(records[1023].ObjectId, 0u) << "the dropped event is not left marked as queued";
  for (std::uint32_t i = 0; i < 1023; ++i) {
    MifhAsyncEventSlot slot{};
    ASSERT_NE(RemoveAsyncEvent(ring_.get(), &slot), nullptr) << i;
    EXPECT_EQ(slot.ObjectId, i + 1);
    EXPECT_EQ(code_of(slot), 100 + i);
  }
  MifhAsyncEventSlot slot{};
  EXPECT_EQ(RemoveAsyncEvent(ring_.get(), &slot), nullptr);
  // The dropped object's next event is queued as usual.
  ASSERT_EQ(AsyncEventPost(ring_.get(), &records[1023], 1024, 777), 0u);
  ASSERT_NE(RemoveAsyncEvent(ring_.get(), &slot), nullptr);
  EXPECT_EQ(code_of(slot), 777u);
}

TEST_F(AsyncEventsTest, ASecondEventOfAQueuedObjectUpdatesItsSlotInPlace) {
  MifhAsyncEventRecord a{}, b{};
  ASSERT_EQ(AsyncEventPost(ring_.get(), &a, 1, 10), 0u);
  ASSERT_EQ(AsyncEventPost(ring_.get(), &b, 2, 20), 0u);
  ASSERT_EQ(AsyncEventPost(ring_.get(), &a, 1, 11), 0u);
  MifhAsyncEventSlot slot{};
  ASSERT_NE(RemoveAsyncEvent(ring_.get(), &slot), nullptr);
  EXPECT_EQ(slot.ObjectId, 1u);
  EXPECT_EQ(code_of(slot), 11u) << "one slot, holding the second code";
  ASSERT_NE(RemoveAsyncEvent(ring_.get(), &slot), nullptr);
  EXPECT_EQ(slot.ObjectId, 2u);
  EXPECT_EQ(RemoveAsyncEvent(ring_.get(), &slot), nullptr);
  // Once taken, the object's next event gets a slot of its own again.
  ASSERT_EQ(AsyncEventPost(ring_.get(), &a, 1, 12), 0u);
  ASSERT_NE(RemoveAsyncEvent(ring_.get(), &slot), nullptr);
  EXPECT_EQ(code_of(slot), 12u);
}

TEST_F(AsyncEventsTest, AQpAndACqWithTheSameHardwareIdKeepAnEventEach) {
  // QP 7 and CQ 7: two objects, two records, one id.
  MifhAsyncEventRecord qp{}, cq{};
  ASSERT_EQ(AsyncEventPost(ring_.get(), &qp, 7, 0x101), 0u);
  ASSERT_EQ(AsyncEventPost(ring_.get(), &cq, 7, 0x202), 0u);
  MifhAsyncEventSlot slot{};
  ASSERT_NE(RemoveAsyncEvent(ring_.get(), &slot), nullptr);
  EXPECT_EQ(code_of(slot), 0x101u) << "the QP's event is not overwritten by the CQ's";
  ASSERT_NE(RemoveAsyncEvent(ring_.get(), &slot), nullptr) << "the CQ's event has a slot of its own";
  EXPECT_EQ(code_of(slot), 0x202u);
  EXPECT_EQ(RemoveAsyncEvent(ring_.get(), &slot), nullptr);
}

TEST_F(AsyncEventsTest, WithoutAWaiterEventsAreIgnoredAndDoNotBlockLaterOnes) {
  ring_->WaiterPresent = 0;
  MifhAsyncEventRecord a{};
  ASSERT_EQ(AsyncEventPost(ring_.get(), &a, 5, 1), 0u);
  EXPECT_EQ(a.ObjectId, 0u);
  MifhAsyncEventSlot slot{};
  EXPECT_EQ(RemoveAsyncEvent(ring_.get(), &slot), nullptr);
  ring_->WaiterPresent = 1;
  ASSERT_EQ(AsyncEventPost(ring_.get(), &a, 5, 2), 0u);
  ASSERT_NE(RemoveAsyncEvent(ring_.get(), &slot), nullptr);
  EXPECT_EQ(code_of(slot), 2u);
}

TEST_F(AsyncEventsTest, APosterAndARemoverOnTwoThreadsLoseNothing) {
  constexpr std::uint32_t kEvents = 5000;
  std::vector<MifhAsyncEventRecord> records(kEvents);
  std::atomic<bool> done{false};
  std::atomic<std::uint32_t> taken{0};
  std::thread remover([&] {
    MifhAsyncEventSlot slot{};
    std::uint64_t expected = 1;
    auto take_one = [&] {
      if (RemoveAsyncEvent(ring_.get(), &slot) == nullptr) return false;
      EXPECT_EQ(slot.ObjectId, expected++);
      ++taken;
      return true;
    };
    for (;;) {
      if (take_one()) continue;
      if (done.load()) {
        while (take_one()) {
        }
        break;
      }
      std::this_thread::yield();
    }
  });
  for (std::uint32_t i = 0; i < kEvents; ++i) {
    // A paced poster: never more than the ring holds outstanding.
    while (i - taken.load() >= MIFH_ASYNC_EVENT_SLOTS - 1) std::this_thread::yield();
    ASSERT_EQ(AsyncEventPost(ring_.get(), &records[i], i + 1, i), 0u);
  }
  done = true;
  remover.join();
  EXPECT_EQ(taken.load(), kEvents);
  EXPECT_FALSE(logged("InsertAsyncEvent: Error Queue Overflow"));
}

}  // namespace
