// The locked list: order, removal of a given node, implicit set-up, and
// concurrent inserters and removers.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "tests/proxy/core/osprim_fixture.h"

namespace {

class ListTest : public OsprimTest {};

struct Item {
  ZekListNode node{};  // first, as the list expects
  int id = 0;
  std::atomic<int> taken{0};
};

int id_of(ZekListNode* node) { return node == nullptr ? -1 : reinterpret_cast<Item*>(node)->id; }

TEST_F(ListTest, RemovesOldestFromHeadAndNewestFromTail) {
  ZekListHead list;
  ASSERT_EQ(ZekInitializeListHead(&list), ZEK_STATUS_PASS);
  EXPECT_TRUE(ZekIsListEmpty(&list));
  EXPECT_EQ(ZekRemoveHeadList(&list), nullptr);
  EXPECT_EQ(ZekRemoveTailList(&list), nullptr);

  Item items[4];
  for (int i = 0; i < 4; ++i) {
    items[i].id = i;
    ASSERT_EQ(ZekInsertTailList(&list, &items[i].node), ZEK_STATUS_PASS);
  }
  EXPECT_FALSE(ZekIsListEmpty(&list));
  EXPECT_EQ(id_of(ZekRemoveHeadList(&list)), 0);
  EXPECT_EQ(id_of(ZekRemoveTailList(&list)), 3);
  EXPECT_EQ(ZekRemoveEntryList(&list, &items[2].node), ZEK_STATUS_PASS);
  EXPECT_EQ(items[2].node.Next, nullptr);
  EXPECT_EQ(items[2].node.Prev, nullptr);
  EXPECT_EQ(id_of(ZekRemoveTailList(&list)), 1);
  EXPECT_TRUE(ZekIsListEmpty(&list));
  EXPECT_EQ(list.Head, nullptr);
  EXPECT_EQ(list.Tail, nullptr);
}

TEST_F(ListTest, RemovingANodeThatIsNotOnTheListLeavesTheListAlone) {
  ZekListHead list, other;
  ZekInitializeListHead(&list);
  ZekInitializeListHead(&other);
  Item a, b, removed, stranger, elsewhere;
  ZekInsertTailList(&list, &a.node);
  ZekInsertTailList(&list, &removed.node);
  ZekInsertTailList(&list, &b.node);
  ASSERT_EQ(ZekRemoveEntryList(&list, &removed.node), ZEK_STATUS_PASS);
  std::memset(&stranger.node, 0, sizeof(stranger.node));
  ZekInsertTailList(&other, &elsewhere.node);

  for (ZekListNode* node : {&removed.node, &stranger.node, &elsewhere.node}) {
    EXPECT_EQ(ZekRemoveEntryList(&list, node), ZEK_OSPRIM_FAILURE);
    EXPECT_EQ(list.Head, &a.node);
    EXPECT_EQ(list.Tail, &b.node);
  }
  EXPECT_EQ(ZekRemoveHeadList(&other), &elsewhere.node);
  EXPECT_EQ(ZekRemoveHeadList(&list), &a.node);
  EXPECT_EQ(ZekRemoveHeadList(&list), &b.node);
  EXPECT_NE(ring_text().find("is not on list"), std::string::npos);
}

TEST_F(ListTest, RefusesBadHeadsAndNodes) {
  auto* bad = reinterpret_cast<ZekListHead*>(ZEK_UNINITIALISED_POINTER);
  ZekListHead never_initialised;
  std::memset(&never_initialised, 0xAB, sizeof(never_initialised));
  Item item;
  for (ZekListHead* head : {static_cast<ZekListHead*>(nullptr), bad}) {
    EXPECT_EQ(ZekInitializeListHead(head), ZEK_OSPRIM_FAILURE);
    EXPECT_EQ(ZekInsertTailList(head, &item.node), ZEK_OSPRIM_FAILURE);
  }
  for (ZekListHead* head : {static_cast<ZekListHead*>(nullptr), bad, &never_initialised}) {
    EXPECT_EQ(ZekRemoveHeadList(head), nullptr);
    EXPECT_EQ(ZekRemoveTailList(head), nullptr);
    EXPECT_EQ(ZekRemoveEntryList(head, &item.node), ZEK_OSPRIM_FAILURE);
    EXPECT_TRUE(ZekIsListEmpty(head));
  }
  ZekListHead list;
  ZekInitializeListHead(&list);
  EXPECT_EQ(ZekInsertTailList(&list, nullptr), ZEK_OSPRIM_FAILURE);
  EXPECT_TRUE(ZekIsListEmpty(&list));
}

TEST_F(ListTest, InsertingIntoAnUninitialisedHeadSetsItUpOnceAndLosesNoNode) {
  ZekListHead list;
  std::memset(&list, 0, sizeof(list));
  constexpr int kThreads = 4, kPerThread = 500;
  std::vector<Item> items(kThreads * kPerThread);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) ZekInsertTailList(&list, &items[t * kPerThread + i].node);
    });
  }
  for (auto& thread : threads) thread.join();
  int count = 0;
  while (ZekRemoveHeadList(&list) != nullptr) ++count;
  EXPECT_EQ(count, kThreads * kPerThread);
  EXPECT_NE(ring_text().find("Func[ZekInsertTailList] did you forget to call ZekInitializeListHead ??? \n"),
            std::string::npos);
}

TEST_F(ListTest, ConcurrentRemoversNeverGetTheSameNode) {
  ZekListHead list;
  ZekInitializeListHead(&list);
  constexpr int kProducers = 2, kConsumers = 4, kPerProducer = 4000;
  std::vector<Item> items(kProducers * kPerProducer);
  for (std::size_t i = 0; i < items.size(); ++i) items[i].id = static_cast<int>(i);
  std::atomic<int> produced{0}, consumed{0};
  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        ASSERT_EQ(ZekInsertTailList(&list, &items[p * kPerProducer + i].node), ZEK_STATUS_PASS);
        produced.fetch_add(1);
      }
    });
  }
  for (int c = 0; c < kConsumers; ++c) {
    threads.emplace_back([&, c] {
      int turn = 0;
      while (consumed.load() < static_cast<int>(items.size())) {
        ZekListNode* node = nullptr;
        switch ((c + turn++) % 3) {
          case 0:
            node = ZekRemoveHeadList(&list);
            break;
          case 1:
            node = ZekRemoveTailList(&list);
            break;
          default: {
            // Remove a node that another remover may be taking at this moment.
            const int guess = turn % static_cast<int>(items.size());
            if (ZekRemoveEntryList(&list, &items[guess].node) == ZEK_STATUS_PASS) node = &items[guess].node;
            break;
          }
        }
        if (node == nullptr) {
          std::this_thread::yield();
          continue;
        }
        reinterpret_cast<Item*>(node)->taken.fetch_add(1);
        consumed.fetch_add(1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (const Item& item : items) EXPECT_EQ(item.taken.load(), 1) << "node " << item.id;
  EXPECT_TRUE(ZekIsListEmpty(&list));
}

TEST_F(ListTest, WorksAtDispatchLevelAndRestoresTheCallersIrql) {
  ZekListHead list;
  ZekInitializeListHead(&list);
  Item item;
  at_dispatch([&] {
    EXPECT_EQ(ZekInsertTailList(&list, &item.node), ZEK_STATUS_PASS);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(ZekRemoveHeadList(&list), &item.node);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  });
  EXPECT_EQ(ZekInsertTailList(&list, &item.node), ZEK_STATUS_PASS);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(ZekRemoveTailList(&list), &item.node);
}

}  // namespace
