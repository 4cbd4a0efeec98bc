// The stack's kernel emulation: sleep and wake-up, callouts on the virtual
// clock, the soft-interrupt thread, descriptors and time conversion.
#include <climits>
#include <mutex>
#include <string>

#include "tests/proxy/tcpip/tcpip_fixture.h"

namespace {

using namespace zektcp;

class KernTest : public TcpipTest {};

// ---- Sleep and wake-up -----------------------------------------------------------------
TEST_F(KernTest, AWakeUpWakesEverySleeperAndTheLockHolderGetsItsLockBack) {
  OSPrimSleepObject object;
  OSPrimInitSleepObject(&object);
  std::atomic<int> woken{0};
  std::atomic<bool> holder_has_lock{false};
  std::vector<std::thread> sleepers;
  for (int i = 0; i < 3; ++i) {
    sleepers.emplace_back([&] {
      if (OSPrimTSleep(0, &object) == 0) ++woken;
    });
  }
  // One sleeper holds the socket-call lock: it gives it up while it sleeps.
  sleepers.emplace_back([&] {
    AcquireBdcLock();
    if (OSPrimTSleep(0, &object) == 0) ++woken;
    holder_has_lock = BdcLockHeldByCaller();
    ReleaseBdcLock();
  });
  ASSERT_TRUE(eventually([&] { return object.Sleepers == 4; }));
  {
    BdcLocked lock;  // free while its holder sleeps
    EXPECT_EQ(OSPrimWakeup(&object), 4u);
  }
  for (auto& t : sleepers) t.join();
  EXPECT_EQ(woken, 4);
  EXPECT_TRUE(holder_has_lock);
  EXPECT_EQ(object.Sleepers, 0u);
}

TEST_F(KernTest, ASleeperLeavesAnotherThreadsLockAlone) {
  OSPrimSleepObject object;
  OSPrimInitSleepObject(&object);
  AcquireBdcLock();
  std::atomic<int> result{-1};
  std::thread sleeper([&] { result = OSPrimTSleep(0, &object); });
  ASSERT_TRUE(eventually([&] { return object.Sleepers == 1; }));
  EXPECT_TRUE(BdcLockHeldByCaller());
  OSPrimWakeup(&object);
  sleeper.join();
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(BdcLockHeldByCaller());
  ReleaseBdcLock();
}

TEST_F(KernTest, ASleepTimesOutAfterItsTicksNotWholeSeconds) {
  struct Case {
    std::int32_t ticks;
  };
  for (const Case c : {Case{5}, Case{150}}) {
    SCOPED_TRACE(c.ticks);
    OSPrimSleepObject object;
    OSPrimInitSleepObject(&object);
    std::atomic<bool> done{false};
    std::atomic<int> result{-1};
    std::atomic<ULONGLONG> started{0};
    std::atomic<ULONGLONG> ended{0};
    std::thread sleeper([&] {
      started = KeQueryInterruptTime();
      result = OSPrimTSleep(c.ticks, &object);
      ended = KeQueryInterruptTime();
      done = true;
    });
    ASSERT_TRUE(eventually([&] { return object.Sleepers == 1; }));
    for (int step = 0; step < 1000 && !done; ++step) {
      clock().advance(config_.tick_ms * plat::Clock::kUnitsPerMs);
      eventually([&] { return done.load(); }, 2);
    }
    sleeper.join();
    EXPECT_EQ(result, 1);  // timed out
    const std::int64_t slept = static_cast<std::int64_t>(ended - started);
    EXPECT_GE(slept, c.ticks * config_.tick_ms * plat::Clock::kUnitsPerMs);
    EXPECT_LT(slept, (c.ticks + 50) * config_.tick_ms * plat::Clock::kUnitsPerMs);
  }
}

TEST_F(KernTest, ASleepOnADeadOrAbortedObjectFails) {
  OSPrimSleepObject object;
  OSPrimInitSleepObject(&object);
  std::atomic<int> result{-1};
  std::thread sleeper([&] { result = OSPrimTSleep(0, &object); });
  ASSERT_TRUE(eventually([&] { return object.Sleepers == 1; }));
  OSPrimKillSleepObject(&object);
  sleeper.join();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(OSPrimTSleep(0, &object), 1);  // dead: no sleep at all

  OSPrimInitSleepObject(&object);
  std::thread aborted([&] { result = OSPrimTSleep(0, &object); });
  ASSERT_TRUE(eventually([&] { return object.Sleepers == 1; }));
  object.Abort = 1;
  OSPrimWakeup(&object);
  aborted.join();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(object.Abort, 0u);
}

// ---- Callouts ------------------------------------------------------------------------------
struct Fired {
  std::atomic<int> runs{0};
  std::atomic<std::uint32_t> at{0};
};

void record_fire(void* arg) {
  auto* f = static_cast<Fired*>(arg);
  f->at = soft_ticks();
  ++f->runs;
}

TEST_F(KernTest, ACalloutRunsAtTheTickItIsDueNeverEarlier) {
  // 0 and negative ticks are due at the next tick; 20000 and 720000 ticks are
  // longer than the wheel of 16384 buckets.
  for (const std::int32_t ticks : {1, 5, 33, 100, 0, -3, 20000, 720000}) {
    SCOPED_TRACE(ticks);
    Fired fired;
    callout c;
    callout_init(&c);
    std::uint32_t armed_at = 0;
    {
      BdcLocked lock;
      armed_at = stack_ticks();
      callout_arm(&c, ticks, record_fire, &fired);
    }
    const std::uint32_t due = armed_at + static_cast<std::uint32_t>(ticks > 0 ? ticks : 1);
    advance_ticks(static_cast<std::int64_t>(due - stack_ticks()) - 1);
    EXPECT_EQ(fired.runs, 0);
    EXPECT_TRUE(callout_pending(&c));
    advance_ticks(1);
    EXPECT_EQ(fired.runs, 1);
    EXPECT_EQ(fired.at, due);
    EXPECT_FALSE(callout_pending(&c));
  }
}

struct Wheel {
  callout a, b, c;
  Fired fa, fb, fc;
};

void stop_b_then_record(void* arg) {
  auto* w = static_cast<Wheel*>(arg);
  EXPECT_EQ(callout_disarm(&w->b), 1);
  record_fire(&w->fa);
}
void record_b(void* arg) { record_fire(&static_cast<Wheel*>(arg)->fb); }
void record_c(void* arg) { record_fire(&static_cast<Wheel*>(arg)->fc); }

TEST_F(KernTest, AHandlerMayDisarmTheRecordSoftClockVisitsNext) {
  Wheel w;
  callout_init(&w.a);
  callout_init(&w.b);
  callout_init(&w.c);
  {
    BdcLocked lock;
    // Same due tick, so one bucket in this order: a, b, c.
    callout_arm(&w.a, 7, stop_b_then_record, &w);
    callout_arm(&w.b, 7, record_b, &w);
    callout_arm(&w.c, 7, record_c, &w);
  }
  advance_ticks(7);
  EXPECT_EQ(w.fa.runs, 1);
  EXPECT_EQ(w.fb.runs, 0);
  EXPECT_EQ(w.fc.runs, 1);
}

TEST_F(KernTest, TimeoutRecordsReturnToTheFreeListAndRunOutCleanly) {
  const std::uint32_t free_at_start = callout_free_count();
  EXPECT_EQ(free_at_start, CALLOUT_RECORDS);
  Fired fired;
  std::vector<callout*> taken;
  {
    BdcLocked lock;
    while (callout* c = timeout(record_fire, &fired, 1000)) taken.push_back(c);
  }
  EXPECT_EQ(taken.size(), free_at_start);
  EXPECT_EQ(callout_free_count(), 0u);
  {
    BdcLocked lock;
    EXPECT_EQ(timeout(record_fire, &fired, 1), nullptr);  // "timeout table full"
    for (std::size_t i = 1; i < taken.size(); ++i) EXPECT_EQ(callout_disarm(taken[i]), 1);
  }
  EXPECT_EQ(callout_free_count(), free_at_start - 1);
  advance_ticks(1000);
  EXPECT_EQ(fired.runs, 1);                        // only the one left armed
  EXPECT_EQ(callout_free_count(), free_at_start);  // a fired record goes back too
}

TEST_F(KernTest, RearmingMovesACallout) {
  Fired fired;
  callout c;
  callout_init(&c);
  std::uint32_t base = 0;
  {
    BdcLocked lock;
    base = stack_ticks();
    callout_arm(&c, 10, record_fire, &fired);
    callout_arm(&c, 20, record_fire, &fired);
  }
  advance_ticks(25);
  EXPECT_EQ(fired.runs, 1);
  EXPECT_EQ(fired.at, base + 20);
}

// A callout handler runs in the clock DPC: a sleep there fails at once
// instead of waiting at DISPATCH_LEVEL (or giving up the DPC's hold of the
// socket-call lock).
struct SleepInHandler {
  OSPrimSleepObject object;
  std::atomic<int> result{-1};
};

void sleep_in_handler(void* arg) {
  auto* s = static_cast<SleepInHandler*>(arg);
  s->result = OSPrimTSleep(5, &s->object);
}

TEST_F(KernTest, NoSleepInACalloutHandlerOrAtDispatchLevel) {
  SleepInHandler s;
  OSPrimInitSleepObject(&s.object);
  callout c;
  callout_init(&c);
  {
    BdcLocked lock;
    callout_arm(&c, 5, sleep_in_handler, &s);
  }
  clock().advance(40 * config_.tick_ms * plat::Clock::kUnitsPerMs);  // the clock DPC runs it
  ASSERT_TRUE(eventually([&] { return s.result.load() != -1; }));
  EXPECT_EQ(s.result.load(), 1);
  EXPECT_EQ(s.object.Sleepers, 0u);

  // A caller holding another spin lock is at DISPATCH_LEVEL too.
  KSPIN_LOCK other;
  KeInitializeSpinLock(&other);
  KIRQL irql;
  KeAcquireSpinLock(&other, &irql);
  EXPECT_EQ(OSPrimTSleep(5, &s.object), 1);
  {
    BdcLocked lock;  // taken at DISPATCH_LEVEL: giving it up would not lower the level
    EXPECT_EQ(OSPrimTSleep(5, &s.object), 1);
    EXPECT_TRUE(BdcLockHeldByCaller());
  }
  KeReleaseSpinLock(&other, irql);
}

TEST_F(KernTest, TheClockDpcAloneDrivesCallouts) {
  Fired fired;
  callout c;
  callout_init(&c);
  {
    BdcLocked lock;
    callout_arm(&c, 40, record_fire, &fired);
  }
  // Only the clock moves: its DPC runs SoftClock every 33 ticks.
  clock().advance(100 * config_.tick_ms * plat::Clock::kUnitsPerMs);
  EXPECT_TRUE(eventually([&] { return fired.runs.load() == 1; }));
}

// ---- Soft interrupts ------------------------------------------------------------------------------
std::mutex g_order_mu;
std::vector<int> g_order;
std::atomic<bool> g_locks_held{true};

void note_arp() {
  if (!BdcLockHeldByCaller()) g_locks_held = false;
  std::lock_guard lock(g_order_mu);
  g_order.push_back(18);
}
void note_ip() {
  if (!BdcLockHeldByCaller()) g_locks_held = false;
  std::lock_guard lock(g_order_mu);
  g_order.push_back(2);
}

TEST_F(KernTest, TheSoftInterruptThreadRunsArpBeforeIpUnderTheLocks) {
  g_order.clear();
  ASSERT_EQ(register_netisr(NETISR_IP, note_ip), 0);
  ASSERT_EQ(register_netisr(NETISR_ARP, note_arp), 0);
  AcquireInputLock();  // the thread cannot start its round yet
  schednetisr(NETISR_IP);
  schednetisr(NETISR_ARP);
  ReleaseInputLock();
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(g_order_mu);
    return g_order.size() == 2;
  }));
  {
    std::lock_guard lock(g_order_mu);
    EXPECT_EQ(g_order, (std::vector<int>{18, 2}));
    g_order.clear();
  }
  EXPECT_TRUE(g_locks_held);
  // A round run by the caller takes only what is pending.
  softint_round();
  std::lock_guard lock(g_order_mu);
  EXPECT_TRUE(g_order.empty());
}

// Scheduled from many threads at once while the thread goes to sleep and
// wakes: every scheduling is followed by a round (a lost wake-up would leave
// one waiting for good).
constexpr std::uint32_t kSpareBit = 7;
std::atomic<int> g_rounds{0};
std::atomic<PKTHREAD> g_ran_on{nullptr};
void count_round() {
  g_ran_on = KeGetCurrentThread();
  ++g_rounds;
}

TEST_F(KernTest, InputScheduledFromManyThreadsIsNeverLeftWaiting) {
  g_rounds = 0;
  ASSERT_EQ(register_netisr(kSpareBit, count_round), 0);
  std::atomic<bool> stuck{false};
  std::vector<std::thread> schedulers;
  for (int t = 0; t < 4; ++t) {
    schedulers.emplace_back([&] {
      for (int i = 0; i < 200 && !stuck; ++i) {
        const int before = g_rounds;
        schednetisr(kSpareBit);
        if (!eventually([&] { return g_rounds > before; })) stuck = true;
      }
    });
  }
  for (auto& t : schedulers) t.join();
  unregister_netisr(kSpareBit);
  EXPECT_FALSE(stuck);
}

// Input scheduled by the holder of the socket-call lock or of the input lock
// runs when that lock is released: on the releasing thread when it may take
// the other lock then, on another thread when another holds the input lock.
TEST_F(KernTest, InputScheduledUnderAStackLockRunsAtItsRelease) {
  g_rounds = 0;
  ASSERT_EQ(register_netisr(kSpareBit, count_round), 0);
  {
    BdcLocked lock;
    schednetisr(kSpareBit);
    EXPECT_EQ(g_rounds, 0);  // the round needs the lock this thread holds
  }
  EXPECT_EQ(g_rounds, 1);
  EXPECT_EQ(g_ran_on.load(), KeGetCurrentThread());
  AcquireInputLock();
  schednetisr(kSpareBit);
  EXPECT_EQ(g_rounds, 1);
  ReleaseInputLock();
  EXPECT_EQ(g_rounds, 2);
  EXPECT_EQ(g_ran_on.load(), KeGetCurrentThread());

  std::atomic<bool> input_held{false};
  std::atomic<bool> let_go{false};
  std::thread holder([&] {
    AcquireInputLock();
    input_held = true;
    while (!let_go) std::this_thread::yield();
    ReleaseInputLock();
  });
  ASSERT_TRUE(eventually([&] { return input_held.load(); }));
  {
    BdcLocked lock;
    schednetisr(kSpareBit);
  }
  let_go = true;
  holder.join();
  EXPECT_TRUE(eventually([&] { return g_rounds == 3; }));
  EXPECT_NE(g_ran_on.load(), KeGetCurrentThread());
  unregister_netisr(kSpareBit);
}

// ---- Descriptors -----------------------------------------------------------------------------------
int g_closes;
int count_close(file*, process*) {
  ++g_closes;
  return 0;
}

void release_slot(process* p, int index) {
  file* fp = p->p_fd->fd_ofiles[index];
  p->p_fd->fd_ofiles[index] = nullptr;
  fdrop(fp, p);
}

TEST_F(KernTest, DescriptorsFollowTheHintWrapOnceAndRunOut) {
  BdcLocked lock;
  process* p = stack_process();
  p->p_fdlimit = 8;
  std::vector<int> got;
  for (int i = 0; i < 8; ++i) {
    file* fp = nullptr;
    int index = -1;
    ASSERT_EQ(alloc_open_file(p, &fp, &index), 0);
    EXPECT_EQ(fp->f_count, 1);
    EXPECT_EQ(fp->f_ops, &badfileops);
    got.push_back(index);
  }
  EXPECT_EQ(got, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
  file* fp = nullptr;
  int index = -1;
  EXPECT_EQ(alloc_open_file(p, &fp, &index), BSD_EMFILE);
  EXPECT_EQ(open_files_in_use(), 8u);  // the failed attempt is not counted

  release_slot(p, 2);
  ASSERT_EQ(alloc_open_file(p, &fp, &index), 0);
  EXPECT_EQ(index, 2);  // nothing above the hint: the retry from 0 finds it
  p->p_fdlimit = static_cast<std::int32_t>(FD_TABLE_SIZE);
}

TEST_F(KernTest, OpenFileRecordsRunOutWithEnfile) {
  BdcLocked lock;
  process* p = stack_process();
  for (std::uint32_t i = 0; i < FD_TABLE_SIZE; ++i) {
    file* fp = nullptr;
    int index = -1;
    ASSERT_EQ(alloc_open_file(p, &fp, &index), 0) << i;
  }
  file* fp = nullptr;
  int index = -1;
  EXPECT_EQ(alloc_open_file(p, &fp, &index), BSD_ENFILE);
  release_slot(p, 100);
  EXPECT_EQ(alloc_open_file(p, &fp, &index), 0);
  EXPECT_EQ(index, 100);
}

TEST_F(KernTest, TheLastReferenceRunsCloseOnce) {
  BdcLocked lock;
  static const fileops counting = {badfileops.fo_read,     badfileops.fo_write, badfileops.fo_ioctl, badfileops.fo_poll,
                                   badfileops.fo_kqfilter, badfileops.fo_stat,  count_close};
  process* p = stack_process();
  file* fp = nullptr;
  int index = -1;
  ASSERT_EQ(alloc_open_file(p, &fp, &index), 0);
  fp->f_ops = &counting;
  fp->f_count = 2;  // a second descriptor shares it
  g_closes = 0;
  p->p_fd->fd_ofiles[index] = nullptr;
  EXPECT_EQ(fdrop(fp, p), 0);
  EXPECT_EQ(g_closes, 0);
  EXPECT_EQ(open_files_in_use(), 1u);
  EXPECT_EQ(fdrop(fp, p), 0);
  EXPECT_EQ(g_closes, 1);
  EXPECT_EQ(open_files_in_use(), 0u);
}

// ---- Library routines ---------------------------------------------------------------------------------
TEST_F(KernTest, TimevalToTicksUsesTheCalibratedTick) {
  struct Case {
    std::int64_t sec, usec;
    int ticks;
  };
  for (const Case c : {Case{0, 1, 2}, Case{2147, 0, 214701}, Case{-1, 0, 1}, Case{0, -1, 1}, Case{1, 0, 101},
                       Case{0, 10000, 2}, Case{0, 10001, 3}, Case{INT64_MAX / 2, 0, INT_MAX}}) {
    zektcp::timeval tv{c.sec, c.usec};
    EXPECT_EQ(timeval_to_ticks(&tv), c.ticks) << c.sec << "." << c.usec;
  }
}

TEST_F(KernTest, HashTablesArePowersOfTwo) {
  std::uint32_t mask = 0;
  void* table = alloc_hash_table(512, &mask);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(mask, 511u);
  free_hash_table(table);
  table = alloc_hash_table(100, &mask);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(mask, 63u);
  free_hash_table(table);
}

TEST_F(KernTest, UiomoveCopiesAcrossVectorsAndRefusesUserSegments) {
  char a[3] = {};
  char b[5] = {};
  iovec iov[2] = {{a, sizeof(a)}, {b, sizeof(b)}};
  uio u{iov, 2, 0, 8, UIO_SYSSPACE, UIO_READ, nullptr};
  const char text[] = "abcdefgh";
  EXPECT_EQ(uiomove(const_cast<char*>(text), 8, &u), 0);
  EXPECT_EQ(std::string(a, 3), "abc");
  EXPECT_EQ(std::string(b, 5), "defgh");
  EXPECT_EQ(u.uio_resid, 0);
  iovec user{a, sizeof(a)};
  uio from_user{&user, 1, 0, 3, UIO_USERSPACE, UIO_WRITE, nullptr};
  char out[3];
  EXPECT_EQ(uiomove(out, 3, &from_user), BSD_EFAULT);
}

class KernTest15 : public TcpipTest {
 protected:
  zektcp::TcpipConfig config() override {
    zektcp::TcpipConfig c = TcpipTest::config();
    c.tick_ms = 15;
    return c;
  }
};

TEST_F(KernTest15, AFifteenMillisecondTickIsUsedThroughout) {
  EXPECT_EQ(tick_rate(), 66u);
  struct Case {
    std::int64_t sec, usec;
    int ticks;
  };
  for (const Case c : {Case{0, 1, 2}, Case{1, 0, 68}, Case{0, 15000, 2}, Case{2147, 0, 143135}}) {
    zektcp::timeval tv{c.sec, c.usec};
    EXPECT_EQ(timeval_to_ticks(&tv), c.ticks) << c.sec << "." << c.usec;
  }
  Fired fired;
  callout c;
  callout_init(&c);
  std::uint32_t base = 0;
  {
    BdcLocked lock;
    base = stack_ticks();
    callout_arm(&c, 10, record_fire, &fired);
  }
  clock().advance(149 * plat::Clock::kUnitsPerMs);  // 9.93 ticks
  run_softclock();
  EXPECT_EQ(fired.runs, 0);
  clock().advance(1 * plat::Clock::kUnitsPerMs);
  run_softclock();
  EXPECT_EQ(fired.runs, 1);
  EXPECT_EQ(fired.at, base + 10);
}

}  // namespace
