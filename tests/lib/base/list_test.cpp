// The locked list of the user-mode build.
#include <atomic>
#include <thread>
#include <vector>

#include "tests/lib/base/base_fixture.h"

namespace {

using ListTest = LoggedTest;

struct Item {
  ZekListNode link;  // first, as every node of the list begins
  int value;
  std::atomic<int> taken{0};
};

int value_of(ZekListNode* node) { return node == nullptr ? -1 : reinterpret_cast<Item*>(node)->value; }

TEST_F(ListTest, RemovesFromBothEndsAndByNode) {
  ZekListHead head;
  ASSERT_EQ(ZekInitializeListHead(&head), ZEK_STATUS_PASS);
  EXPECT_EQ(head.Signature, ZEK_SIG_LIST_HEAD);
  EXPECT_EQ(head.Lock.Signature, ZEK_SIG_SPINLOCK_USER);
  EXPECT_TRUE(ZekIsListEmpty(&head));
  std::vector<Item> items(5);
  for (int i = 0; i < 5; ++i) {
    items[i].value = i;
    ASSERT_EQ(ZekInsertTailList(&head, &items[i].link), ZEK_STATUS_PASS);
  }
  EXPECT_FALSE(ZekIsListEmpty(&head));
  EXPECT_EQ(value_of(ZekRemoveTailList(&head)), 4);  // the newest
  EXPECT_EQ(value_of(ZekRemoveHeadList(&head)), 0);  // the oldest
  EXPECT_EQ(ZekRemoveEntryList(&head, &items[2].link), ZEK_STATUS_PASS);
  EXPECT_EQ(items[2].link.Next, nullptr);
  EXPECT_EQ(items[2].link.Prev, nullptr);
  // Not on the list (any more): refused, and the list keeps its nodes.
  EXPECT_EQ(ZekRemoveEntryList(&head, &items[2].link), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(ZekRemoveEntryList(&head, &items[4].link), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(value_of(ZekRemoveTailList(&head)), 3);
  EXPECT_EQ(value_of(ZekRemoveTailList(&head)), 1);
  EXPECT_EQ(ZekRemoveTailList(&head), nullptr);
  EXPECT_EQ(ZekRemoveHeadList(&head), nullptr);
  EXPECT_TRUE(ZekIsListEmpty(&head));
  EXPECT_EQ(head.Head, nullptr);
  EXPECT_EQ(head.Tail, nullptr);
  EXPECT_EQ(OSPrimSyncDestroySpinlockObject(&head.Lock), ZEK_STATUS_PASS);
}

TEST_F(ListTest, RefusesMissingHeadsAndNodes) {
  ZekListHead head;
  ASSERT_EQ(ZekInitializeListHead(&head), ZEK_STATUS_PASS);
  Item item;
  auto* fill = reinterpret_cast<ZekListHead*>(ZEK_UNINITIALISED_POINTER);
  EXPECT_EQ(ZekInitializeListHead(nullptr), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(ZekInsertTailList(nullptr, &item.link), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(ZekInsertTailList(fill, &item.link), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(ZekInsertTailList(&head, nullptr), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(ZekRemoveTailList(nullptr), nullptr);
  EXPECT_EQ(ZekRemoveHeadList(fill), nullptr);
  EXPECT_TRUE(ZekIsListEmpty(nullptr));
  EXPECT_TRUE(ZekIsListEmpty(&head));
  EXPECT_EQ(OSPrimSyncDestroySpinlockObject(&head.Lock), ZEK_STATUS_PASS);
}

TEST_F(ListTest, InsertingIntoAHeadNeverInitialisedSetsItUpFirst) {
  ZekListHead head;
  std::memset(&head, 0, sizeof(head));
  Item first;
  first.value = 7;
  EXPECT_EQ(ZekRemoveTailList(&head), nullptr);  // not a list yet: nothing to hand out
  ASSERT_EQ(ZekInsertTailList(&head, &first.link), ZEK_STATUS_PASS);
  EXPECT_TRUE(logged("Func[ZekInsertTailList] did you forget to call ZekInitializeListHead ??? \n"));
  EXPECT_EQ(head.Signature, ZEK_SIG_LIST_HEAD);
  EXPECT_EQ(value_of(ZekRemoveTailList(&head)), 7);
  EXPECT_EQ(OSPrimSyncDestroySpinlockObject(&head.Lock), ZEK_STATUS_PASS);
}

TEST_F(ListTest, FirstInsertersRacingOnAnUninitialisedHeadLoseNoNode) {
  ___ZEK_FAST_LOG_MASK = 0;  // the omission is logged once per inserter
  constexpr int kThreads = 8;
  for (int round = 0; round < 20; ++round) {
    ZekListHead head;
    std::memset(&head, 0, sizeof(head));
    std::vector<Item> items(kThreads);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        while (!go) std::this_thread::yield();
        EXPECT_EQ(ZekInsertTailList(&head, &items[t].link), ZEK_STATUS_PASS);
      });
    }
    go = true;
    for (auto& thread : threads) thread.join();
    int count = 0;
    while (ZekRemoveHeadList(&head) != nullptr) ++count;
    ASSERT_EQ(count, kThreads) << "round " << round;
    EXPECT_EQ(OSPrimSyncDestroySpinlockObject(&head.Lock), ZEK_STATUS_PASS);
  }
}

TEST_F(ListTest, ConcurrentRemoversNeverGetOneNodeTwiceAndLoseNone) {
  constexpr int kProducers = 4;
  constexpr int kConsumers = 4;
  constexpr int kPerProducer = 3000;
  ZekListHead head;
  ASSERT_EQ(ZekInitializeListHead(&head), ZEK_STATUS_PASS);
  std::vector<Item> items(kProducers * kPerProducer);
  std::atomic<int> produced_by_all{0};
  std::atomic<int> consumed{0};
  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        ASSERT_EQ(ZekInsertTailList(&head, &items[p * kPerProducer + i].link), ZEK_STATUS_PASS);
      }
      produced_by_all.fetch_add(1);
    });
  }
  for (int c = 0; c < kConsumers; ++c) {
    threads.emplace_back([&, c] {
      for (;;) {
        // Half the removers take the newest node, half the oldest.
        ZekListNode* node = c % 2 == 0 ? ZekRemoveTailList(&head) : ZekRemoveHeadList(&head);
        if (node != nullptr) {
          reinterpret_cast<Item*>(node)->taken.fetch_add(1);
          consumed.fetch_add(1);
        } else if (produced_by_all.load() == kProducers && ZekIsListEmpty(&head)) {
          return;
        } else {
          std::this_thread::yield();
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(consumed.load(), kProducers * kPerProducer);
  for (const Item& item : items) ASSERT_EQ(item.taken.load(), 1);
  EXPECT_TRUE(ZekIsListEmpty(&head));
  EXPECT_EQ(OSPrimSyncDestroySpinlockObject(&head.Lock), ZEK_STATUS_PASS);
}

}  // namespace
