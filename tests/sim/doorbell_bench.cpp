// Doorbell-to-engine latency: from a user process's store to its doorbell
// page (an append to the page's posted-write ring, as the user register
// accessor makes it) to the board's engine having taken the doorbell,
// p50 and p99 over the run:
// - one hop: the ring adopted by the board, drained on its engine thread;
// - two hops: the ring drained by a ring thread of its own, which writes
//   the register and so wakes the engine thread (how every ring was served
//   before boards adopted them);
// each with the engine asleep before every doorbell (it must be woken) and
// with doorbells back to back (the engine may still be awake, and then is
// not woken). Beside them, in the same run,
// the half round trip of an 8-byte ping-pong over a Unix stream socket
// between two processes.
//
// The doorbell names a queue pair of another protection domain, so the
// engine refuses and counts it: the count is what the benchmark waits for.
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "include/hw/registers.h"
#include "platform/common/postring.h"
#include "platform/machine/physmem.h"
#include "sim/board.h"
#include "tests/support/unix_pingpong.h"

namespace {

namespace postring = plat::postring;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kRingBytes = 4096;
// Page 0 of function 0, opened for protection domain 1; the doorbell names
// queue pair 40, which no one created: refused on the engine.
constexpr std::uint32_t kDoorbell = zekhw::wqe_doorbell(40, 1, true);

// A posted-write ring with the user accessor's protocol: reserve, fill,
// publish, and wake the consumer only while it said it sleeps (or always,
// for a consumer that never says).
class Ring final : public plat::PostedWrites {
 public:
  explicit Ring(zeksim::Board& board) : board_(board) {
    memory_ = std::make_unique<std::uint64_t[]>(kRingBytes / 8);
    header_ = new (memory_.get()) postring::Header{};
    header_->slots = postring::slot_capacity(kRingBytes);
    header_->sleeping = 1;
    fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  }
  ~Ring() override { ::close(fd_); }

  // The user side.
  void post(std::uint64_t offset, std::uint64_t value) {
    const std::uint64_t n = postring::atomic(header_->reserved).fetch_add(1, std::memory_order_acq_rel);
    postring::Slot& slot = postring::slots_of(header_)[n % header_->slots];
    slot.offset = offset;
    slot.value = value;
    slot.size = 4;
    postring::atomic(slot.sequence).store(n + 1, std::memory_order_release);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (postring::atomic(header_->sleeping).load(std::memory_order_relaxed) == 0) return;
    const std::uint64_t one = 1;
    (void)!::write(fd_, &one, sizeof one);
    ++wakes_;
  }
  std::uint64_t wakes() const { return wakes_; }

  // The host side.
  int wake_fd() const override { return fd_; }
  bool pending() const override {
    const std::uint64_t consumed = postring::atomic(header_->consumed).load(std::memory_order_relaxed);
    return postring::atomic(postring::slots_of(header_)[consumed % header_->slots].sequence)
               .load(std::memory_order_acquire) == consumed + 1;
  }
  std::size_t drain() override {
    std::size_t taken = 0;
    std::uint64_t consumed = postring::atomic(header_->consumed).load(std::memory_order_relaxed);
    for (;;) {
      postring::Slot& slot = postring::slots_of(header_)[consumed % header_->slots];
      if (postring::atomic(slot.sequence).load(std::memory_order_acquire) != consumed + 1) break;
      const std::uint64_t offset = slot.offset, value = slot.value;
      postring::atomic(header_->consumed).store(++consumed, std::memory_order_release);
      board_.window_handler(0, zeksim::Window::Doorbells).mmio_write(offset, value, 4);
      ++taken;
    }
    return taken;
  }
  void set_sleeping(bool sleeping) override {
    postring::atomic(header_->sleeping).store(sleeping ? 1 : 0, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
  }

 private:
  zeksim::Board& board_;
  std::unique_ptr<std::uint64_t[]> memory_;
  postring::Header* header_;
  int fd_ = -1;
  std::uint64_t wakes_ = 0;
};

// A ring thread of its own (the second hop): woken for every write, it
// applies the ring's writes to the board's registers.
class RingThread {
 public:
  explicit RingThread(Ring& ring) : ring_(ring), stop_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    thread_ = std::thread([this] { run(); });
  }
  ~RingThread() {
    const std::uint64_t one = 1;
    (void)!::write(stop_fd_, &one, sizeof one);
    thread_.join();
    ::close(stop_fd_);
  }

 private:
  void run() {
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    for (int fd : {ring_.wake_fd(), stop_fd_}) {
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.fd = fd;
      ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    }
    for (;;) {
      epoll_event ev[2];
      const int n = ::epoll_wait(ep, ev, 2, -1);
      bool stop = false;
      for (int i = 0; i < n; ++i) stop = stop || ev[i].data.fd == stop_fd_;
      if (stop) break;
      std::uint64_t count;
      while (::read(ring_.wake_fd(), &count, sizeof count) > 0) {
      }
      ring_.drain();
    }
    ::close(ep);
  }
  Ring& ring_;
  int stop_fd_;
  std::thread thread_;
};

std::uint64_t refused(zeksim::Board& board) { return board.faults().stray_doorbells; }

void report(benchmark::State& state, std::vector<double>& us) {
  if (us.empty()) return;
  std::sort(us.begin(), us.end());
  state.counters["p50_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

// Arg 0: one hop (adopted) or two (ring thread); arg 1: the engine asleep
// before each doorbell (1) or doorbells back to back (0).
void BM_DoorbellToEngine(benchmark::State& state) {
  const bool one_hop = state.range(0) == 1;
  const bool asleep = state.range(1) == 1;
  plat::PhysicalMemory memory(plat::PhysicalMemory::Options{.bytes = std::size_t{16} << 20});
  zeksim::BoardConfig config;
  config.log = [](std::string_view) {};
  zeksim::Board board(memory, config);
  board.window_handler(0, zeksim::Window::Registers)
      .mmio_write(zekhw::kRegIndexBase, zekhw::idx_user_doorbell(0), 4);  // pair 0: the user doorbell pages
  board.window_handler(0, zeksim::Window::Registers)
      .mmio_write(zekhw::kRegDataBase, 1u << zekhw::kUserDbCountShift | 1, 4);
  board.start();
  Ring ring(board);
  std::unique_ptr<RingThread> ring_thread;
  if (one_hop) {
    board.window_handler(0, zeksim::Window::Doorbells).adopt(&ring);
  } else {
    ring_thread = std::make_unique<RingThread>(ring);
  }
  std::vector<double> us;
  for (auto _ : state) {
    if (asleep) {
      // Wait for the engine to go to sleep again.
      const auto give_up = Clock::now() + std::chrono::seconds(5);
      while (!board.engine_activity().asleep && Clock::now() < give_up) std::this_thread::yield();
    }
    const std::uint64_t before = refused(board);
    const auto start = Clock::now();
    ring.post(zekhw::kUserDbWqeAllocate, kDoorbell);
    const auto give_up = start + std::chrono::seconds(10);
    while (refused(board) == before) {
      if (Clock::now() > give_up) {
        state.SkipWithError("the doorbell never reached the engine");
        break;
      }
    }
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  if (one_hop) board.window_handler(0, zeksim::Window::Doorbells).release(&ring);
  ring_thread.reset();
  board.stop();
  report(state, us);
  state.counters["wakeups_per_doorbell"] =
      us.empty() ? 0.0 : static_cast<double>(ring.wakes()) / static_cast<double>(us.size());
}
BENCHMARK(BM_DoorbellToEngine)
    ->ArgNames({"one_hop", "asleep"})
    ->Args({1, 1})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({0, 0})
    ->UseRealTime();

// Baseline: an 8-byte ping-pong over a Unix stream socket between two processes.
void BM_UnixSocketPingPong(benchmark::State& state) {
  zekbench::UnixPingPong pingpong(8);
  if (!pingpong.ok()) return state.SkipWithError("no echo process");
  std::vector<double> us;
  for (auto _ : state) {
    const auto start = Clock::now();
    if (!pingpong.round_trip()) {
      state.SkipWithError("the echo process failed");
      break;
    }
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count() / 2);
  }
  report(state, us);
}
BENCHMARK(BM_UnixSocketPingPong)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
