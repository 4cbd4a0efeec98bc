// Interrupt vectors: delivery one at a time on the vector's own thread,
// raises that never wait, counted drops, and a disconnect that waits for a
// running handler and ends delivery.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/machine/interrupt_vectors.h"

namespace {

using plat::InterruptVectors;

// A flag that one thread sets and another waits for.
class Latch {
 public:
  void open() {
    {
      std::lock_guard lock(mu_);
      open_ = true;
    }
    cv_.notify_all();
  }
  void wait() {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return open_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

TEST(InterruptVectorsTest, EveryRaiseIsDeliveredOnceAndNeverConcurrently) {
  InterruptVectors vectors;
  constexpr int kThreads = 4, kRaises = 500;
  std::atomic<int> inside{0}, overlaps{0}, calls{0};
  std::mutex mu;
  std::condition_variable cv;
  ASSERT_TRUE(vectors.connect(0x30, [&] {
    if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
    std::this_thread::yield();
    inside.fetch_sub(1);
    std::lock_guard lock(mu);
    calls.fetch_add(1);
    cv.notify_all();
  }));
  std::vector<std::thread> devices;
  for (int t = 0; t < kThreads; ++t) {
    devices.emplace_back([&] {
      for (int i = 0; i < kRaises; ++i) vectors.raise(0x30);
    });
  }
  for (auto& d : devices) d.join();
  {
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return calls.load() == kThreads * kRaises; });
  }
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(vectors.dropped(), 0u);
  EXPECT_TRUE(vectors.disconnect(0x30));
  EXPECT_EQ(calls.load(), kThreads * kRaises);
}

TEST(InterruptVectorsTest, RaisesWithNothingConnectedAreCountedAndDropped) {
  InterruptVectors vectors;
  std::atomic<int> calls{0};
  ASSERT_TRUE(vectors.connect(0x31, [&] { calls.fetch_add(1); }));
  vectors.raise(0x32);
  vectors.raise(0x33);
  EXPECT_EQ(vectors.dropped(), 2u);
  ASSERT_TRUE(vectors.disconnect(0x31));
  vectors.raise(0x31);
  EXPECT_EQ(vectors.dropped(), 3u);
  EXPECT_EQ(vectors.serviced(0x31), 0u);
}

TEST(InterruptVectorsTest, AVectorTakesOneHandlerAndDisconnectsOnce) {
  InterruptVectors vectors;
  EXPECT_TRUE(vectors.connect(0x30, [] {}));
  EXPECT_FALSE(vectors.connect(0x30, [] {}));
  EXPECT_TRUE(vectors.disconnect(0x30));
  EXPECT_FALSE(vectors.disconnect(0x30));
  EXPECT_FALSE(vectors.disconnect(0x40));
  // The vector is free again.
  EXPECT_TRUE(vectors.connect(0x30, [] {}));
}

TEST(InterruptVectorsTest, DisconnectWaitsForTheRunningHandlerAndEndsDelivery) {
  InterruptVectors vectors;
  Latch entered, release;
  std::atomic<int> calls{0};
  std::atomic<bool> finished{false};
  ASSERT_TRUE(vectors.connect(0x30, [&] {
    if (calls.fetch_add(1) == 0) {
      entered.open();
      release.wait();
    }
    finished.store(true);
  }));
  vectors.raise(0x30);
  entered.wait();
  // The handler is running: more raises neither wait for it nor run beside it.
  vectors.raise(0x30);
  vectors.raise(0x30);
  bool finished_at_return = false;
  std::thread disconnecting([&] {
    EXPECT_TRUE(vectors.disconnect(0x30));
    finished_at_return = finished.load();
  });
  release.open();
  disconnecting.join();
  EXPECT_TRUE(finished_at_return);
  const int after_disconnect = calls.load();
  EXPECT_GE(after_disconnect, 1);
  EXPECT_LE(after_disconnect, 3);
  vectors.raise(0x30);
  EXPECT_EQ(calls.load(), after_disconnect);
}

TEST(InterruptVectorsTest, DestructionDisconnectsEveryVector) {
  std::atomic<int> calls{0};
  Latch delivered;
  {
    InterruptVectors vectors;
    for (std::uint32_t v = 0x30; v < 0x34; ++v) {
      ASSERT_TRUE(vectors.connect(v, [&] {
        calls.fetch_add(1);
        delivered.open();
      }));
    }
    vectors.raise(0x32);
    delivered.wait();
  }
  EXPECT_EQ(calls.load(), 1);
}

}  // namespace
