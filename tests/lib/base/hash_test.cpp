// The chained hash table.
#include <atomic>
#include <thread>
#include <vector>

#include "tests/lib/base/base_fixture.h"

namespace {

using HashTest = LoggedTest;

void* data(std::uintptr_t value) { return reinterpret_cast<void*>(value); }

// The keys of one bucket's chain, front first.
std::vector<std::uint32_t> chain(const OSPrimHashTable& table, std::uint32_t bucket) {
  std::vector<std::uint32_t> keys;
  for (const OSPrimHashNode* node = table.Buckets[bucket]; node != nullptr; node = node->Next)
    keys.push_back(node->Key);
  return keys;
}

TEST_F(HashTest, KeysChainInTheirBucketNewestFirst) {
  constexpr std::uint32_t n = 16;
  OSPrimHashTable table;
  ASSERT_EQ(OSPrimHashInit(&table, n), ZEK_STATUS_PASS);
  EXPECT_EQ(table.BucketCount, n);
  for (std::uint32_t b = 0; b < n; ++b) EXPECT_EQ(table.Buckets[b], nullptr);
  ASSERT_EQ(OSPrimHashInsert(&table, data(0x50), 5), ZEK_STATUS_PASS);
  ASSERT_EQ(OSPrimHashInsert(&table, data(0x150), 5 + n), ZEK_STATUS_PASS);
  ASSERT_EQ(OSPrimHashInsert(&table, data(0xFFF), 0xFFFFFFFF), ZEK_STATUS_PASS);  // unsigned modulo
  EXPECT_EQ(chain(table, 5), (std::vector<std::uint32_t>{5 + n, 5}));
  EXPECT_EQ(chain(table, 0xFFFFFFFFu % n), (std::vector<std::uint32_t>{0xFFFFFFFF}));
  EXPECT_EQ(OSPrimHashFind(&table, 5), data(0x50));  // behind the newer key of its bucket
  EXPECT_EQ(OSPrimHashFind(&table, 5 + n), data(0x150));
  EXPECT_EQ(OSPrimHashFind(&table, 5 + 2 * n), nullptr);
  EXPECT_EQ(OSPrimHashRemove(&table, 6), nullptr);
  EXPECT_EQ(OSPrimHashRemove(&table, 5), data(0x50));
  EXPECT_EQ(chain(table, 5), (std::vector<std::uint32_t>{5 + n}));
  EXPECT_EQ(OSPrimHashFind(&table, 5), nullptr);
  // Destruction frees what is left (the sanitizer build sees a leak if not).
  EXPECT_EQ(OSPrimHashDestroy(&table), ZEK_STATUS_PASS);
}

TEST_F(HashTest, DuplicateKeysAreFoundAndRemovedNewestFirst) {
  OSPrimHashTable table;
  ASSERT_EQ(OSPrimHashInit(&table, 1), ZEK_STATUS_PASS);
  for (std::uintptr_t i = 1; i <= 3; ++i) ASSERT_EQ(OSPrimHashInsert(&table, data(i), 9), ZEK_STATUS_PASS);
  EXPECT_EQ(OSPrimHashFind(&table, 9), data(3));
  EXPECT_EQ(OSPrimHashRemove(&table, 9), data(3));
  EXPECT_EQ(OSPrimHashRemove(&table, 9), data(2));
  EXPECT_EQ(OSPrimHashFind(&table, 9), data(1));
  EXPECT_EQ(OSPrimHashDestroy(&table), ZEK_STATUS_PASS);
}

TEST_F(HashTest, RefusesTablesThatAreNotSetUp) {
  OSPrimHashTable table;
  EXPECT_EQ(OSPrimHashInit(nullptr, 8), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(OSPrimHashInit(&table, 0), ZEK_OSPRIM_FAILURE);  // no bucket for any key
  EXPECT_TRUE(logged("OSPrimHashInit: bad bucket count 0 (0xffffffff)\n"));
  EXPECT_EQ(OSPrimHashInit(&table, 0x40000000), ZEK_OSPRIM_FAILURE);  // the array would not fit one block
  ASSERT_EQ(OSPrimHashInit(&table, 4), ZEK_STATUS_PASS);
  ASSERT_EQ(OSPrimHashInsert(&table, data(1), 1), ZEK_STATUS_PASS);
  EXPECT_EQ(OSPrimHashDestroy(&table), ZEK_STATUS_PASS);
  // Destroyed: every operation answers at once.
  EXPECT_EQ(OSPrimHashInsert(&table, data(1), 1), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(OSPrimHashFind(&table, 1), nullptr);
  EXPECT_EQ(OSPrimHashRemove(&table, 1), nullptr);
  EXPECT_EQ(OSPrimHashDestroy(&table), ZEK_OSPRIM_FAILURE);
  for (OSPrimHashTable* bad :
       {static_cast<OSPrimHashTable*>(nullptr), reinterpret_cast<OSPrimHashTable*>(ZEK_UNINITIALISED_POINTER)}) {
    EXPECT_EQ(OSPrimHashInsert(bad, data(1), 1), ZEK_OSPRIM_FAILURE);
    EXPECT_EQ(OSPrimHashFind(bad, 1), nullptr);
    EXPECT_EQ(OSPrimHashRemove(bad, 1), nullptr);
    EXPECT_EQ(OSPrimHashDestroy(bad), ZEK_OSPRIM_FAILURE);
  }
}

TEST_F(HashTest, ConcurrentInsertsAreAllKeptAndEachRemovalHandsOutItsDataOnce) {
  constexpr std::uint32_t kThreads = 6;
  constexpr std::uint32_t kPerThread = 1500;
  constexpr std::uint32_t kKeys = kThreads * kPerThread;
  OSPrimHashTable table;
  ASSERT_EQ(OSPrimHashInit(&table, 61), ZEK_STATUS_PASS);
  std::vector<std::thread> threads;
  for (std::uint32_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (std::uint32_t i = 0; i < kPerThread; ++i) {
        const std::uint32_t key = i * kThreads + t;  // threads interleave in every bucket
        ASSERT_EQ(OSPrimHashInsert(&table, data(key + 1), key), ZEK_STATUS_PASS);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  threads.clear();
  for (std::uint32_t key = 0; key < kKeys; ++key) ASSERT_EQ(OSPrimHashFind(&table, key), data(key + 1)) << key;

  // Every remover tries every key: each key's data comes out exactly once.
  std::vector<std::atomic<int>> handed_out(kKeys);
  for (std::uint32_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (std::uint32_t n = 0; n < kKeys; ++n) {
        const std::uint32_t key = (n + t * 997) % kKeys;
        if (void* found = OSPrimHashRemove(&table, key)) {
          ASSERT_EQ(found, data(key + 1));
          handed_out[key].fetch_add(1);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (std::uint32_t key = 0; key < kKeys; ++key) ASSERT_EQ(handed_out[key].load(), 1) << key;
  for (std::uint32_t b = 0; b < table.BucketCount; ++b) EXPECT_EQ(table.Buckets[b], nullptr);
  EXPECT_EQ(OSPrimHashDestroy(&table), ZEK_STATUS_PASS);
}

}  // namespace
