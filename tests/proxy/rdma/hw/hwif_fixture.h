// The hardware-interface module on a test kernel (virtual clock) with its
// pools built, over a simulated board whose windows are claimed and mapped as
// a driver maps them. Every register access goes through the register
// accessors; a recorder in front of the board keeps the writes to the
// doorbell and CQ-allocate registers. In step mode the board carries out its
// work before each register read ("auto-step"), so that the driver's bounded
// polls see the adapter answer, while nothing happens between a driver's
// writes. The index-register detector records every interleaving; the
// fixture fails a test that caused one.
#pragma once

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "include/hw/registers.h"
#include "proxy/core/osprim/osprim_kernel.h"
#include "proxy/rdma/hw/hwif.h"
#include "tests/support/adapter_bringup.h"
#include "tests/support/sim_fixture.h"

// A thread that runs a piece of work every 200 us until stopped: a test's
// stand-in for the miniport's DPC retiring control completions.
class PeriodicHelper {
 public:
  ~PeriodicHelper() { stop(); }
  void start(std::function<void()> work) {
    stop_ = false;
    thread_ = std::thread([this, work = std::move(work)] {
      while (!stop_) {
        work();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
  }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

// One register write seen on its way to the board.
struct RegisterWrite {
  unsigned function;
  std::uint32_t offset;
  std::uint32_t value;
};

class RecordingHandler : public plat::MmioHandler {
 public:
  RecordingHandler(zeksim::Board& board, unsigned function, zeksim::Window window, std::atomic<bool>& auto_step)
      : board_(board), function_(function), window_(window), auto_step_(auto_step) {}

  std::uint64_t mmio_read(std::uint64_t offset, unsigned size) override {
    if (auto_step_.load() && !board_.running()) board_.run_until_idle();
    return board_.mmio_read(function_, window_, offset, size);
  }
  void mmio_write(std::uint64_t offset, std::uint64_t value, unsigned size) override {
    if (window_ == zeksim::Window::Registers && (offset == zekhw::kRegWqeDoorbell || offset == zekhw::kRegCqAllocate)) {
      std::lock_guard lock(mu_);
      writes_.push_back({function_, static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(value)});
    }
    board_.mmio_write(function_, window_, offset, value, size);
  }
  std::vector<RegisterWrite> take_writes() {
    std::lock_guard lock(mu_);
    return std::exchange(writes_, {});
  }

 private:
  zeksim::Board& board_;
  unsigned function_;
  zeksim::Window window_;
  std::atomic<bool>& auto_step_;
  std::mutex mu_;
  std::vector<RegisterWrite> writes_;
};

// Physically contiguous memory from the OS-primitive layer, with its address.
struct DmaRing {
  void* va = nullptr;
  std::uint64_t pa = 0;
};

// The queues of one PCI function as the miniport brings them up.
struct HwFunction : bringup::ControlPath {
  MifhDeviceObj device{};
  MifhCeqObject ceq0{};  // id F, the miniport's (the CCQ reports here)
  MifhCeqObject ceq1{};  // id F + 8, the proxy driver's
  MifhAeqObject aeq{};
  std::vector<DmaRing> rings;
};

class HwifTest : public KernelTest {
 public:
  static constexpr std::uint32_t kCeqEntries = 64;
  static constexpr std::uint32_t kAeqEntries = 32;

  plat::KernelOptions options() override {
    plat::KernelOptions o = KernelTest::options();
    o.memory.bytes = std::size_t{96} << 20;
    return o;
  }

  virtual zeksim::BoardConfig board_config() {
    zeksim::BoardConfig c;
    c.functions = 2;
    c.index_race_check = zeksim::IndexRaceCheck::Record;
    c.log = [](std::string_view) {};
    return c;
  }

  // Whether SetUp builds the pools (a test of the start-up itself says no).
  virtual bool build_pools() { return true; }

  void SetUp() override {
    KernelTest::SetUp();
    ZEK_Init_c_osprims(0);
    OSPrimLogRingClear();
    if (build_pools()) {
      ASSERT_EQ(mifh_create_mem_resources(), 0u);
    }
    board_ = std::make_unique<zeksim::Board>(kernel().memory(), board_config());
    for (unsigned f = 0; f < board_->functions(); ++f) {
      for (unsigned w = 0; w < 3; ++w) {
        auto window = static_cast<zeksim::Window>(w);
        handlers_[f][w] = std::make_unique<RecordingHandler>(*board_, f, window, auto_step_);
        const std::uint64_t base = board_->window_address(f, window);
        ASSERT_TRUE(kernel().io_space().add_range(base, board_->window_bytes(window), handlers_[f][w].get()));
        PHYSICAL_ADDRESS pa;
        pa.QuadPart = static_cast<LONGLONG>(base);
        windows_[f][w] = static_cast<std::uint8_t*>(MmMapIoSpace(pa, board_->window_bytes(window), MmNonCached));
        ASSERT_NE(windows_[f][w], nullptr);
      }
    }
  }

  void TearDown() override {
    if (board_) {
      board_->stop();
      EXPECT_TRUE(board_->index_races().empty()) << "an indexed access ran without the index-register lock";
    }
    for (auto& fn : functions_) release_function(*fn);
    functions_.clear();
    if (board_) {
      for (unsigned f = 0; f < board_->functions(); ++f) {
        for (unsigned w = 0; w < 3; ++w) {
          auto window = static_cast<zeksim::Window>(w);
          if (windows_[f][w] != nullptr) MmUnmapIoSpace(windows_[f][w], board_->window_bytes(window));
          kernel().io_space().remove_range(board_->window_address(f, window));
        }
      }
    }
    board_.reset();
    mifh_destroy_mem_resources();
    ZEK_Cleanup_c_osprims();
    KernelTest::TearDown();
  }

  zeksim::Board& board() { return *board_; }
  void set_auto_step(bool on) { auto_step_ = on; }
  // Lets the adapter finish everything announced so far.
  void settle() {
    if (!board_->running()) board_->run_until_idle();
  }

  std::vector<RegisterWrite> take_writes(unsigned f) {
    return handlers_[f][static_cast<unsigned>(zeksim::Window::Registers)]->take_writes();
  }

  // The fast log ring's text so far.
  static std::string log_text() {
    std::string text(OSPrimLogRingSize(), '\0');
    text.resize(OSPrimLogRingRead(0, text.data(), static_cast<std::uint32_t>(text.size())));
    std::erase(text, '\0');
    return text;
  }
  static bool logged(const std::string& needle) { return log_text().find(needle) != std::string::npos; }

  DmaRing dma(HwFunction& fn, std::uint32_t bytes) {
    DmaRing r;
    EXPECT_EQ(OSPrimMemDMAAllocate(&r.va, bytes), 0u);
    r.pa = pa_of(r.va);
    fn.rings.push_back(r);
    return r;
  }
  static std::uint64_t pa_of(const void* va) { return bringup::pa_of(va); }

  // A device object as the miniport fills it, without any queue.
  HwFunction& device(unsigned f) {
    functions_.push_back(std::make_unique<HwFunction>());
    HwFunction& fn = *functions_.back();
    bringup::init_device(fn.device, f, windows_[f][0], windows_[f][1], windows_[f][2]);
    return fn;
  }

  // The CQP alone, created on the adapter.
  void make_cqp(HwFunction& fn, std::uint32_t wqes, std::uint32_t cqp_id) {
    const bringup::Failure failed = bringup::create_cqp(fn.device, fn, nullptr, wqes, cqp_id);
    ASSERT_FALSE(failed) << failed.step << " (status " << failed.status << ")";
  }

  static void init_ceq(HwFunction& fn, MifhCeqObject& ceq, const DmaRing& ring, std::uint32_t entries) {
    bringup::init_ceq(ceq, fn.device, ring.va, entries);
  }

  // Bring-up in the miniport's order: CQP, CCQ, control CEQ, AEQ, then the
  // proxy's CEQ; the completions of the last three are retired.
  HwFunction& bring_up(unsigned f, std::uint32_t cqp_wqes = 32, std::uint32_t ccq_entries = 64) {
    HwFunction& fn = device(f);
    bringup::Failure failed = bringup::create_control_queues(fn.device, fn, nullptr, cqp_wqes, ccq_entries);
    if (!failed)
      failed = bringup::create_event_queues(fn.device, fn, {&fn.ceq0, &fn.aeq, &fn.ceq1}, kCeqEntries, kAeqEntries);
    if (failed) {
      ADD_FAILURE() << "bring-up: " << failed.step << " (status " << failed.status << ")";
      return fn;
    }
    drain(fn);
    EXPECT_EQ(mifh_cqp_tail(fn.cqp), fn.cqp->RingIndex.Head) << "every bring-up request completed";
    return fn;
  }

  // Retires every completion of what was announced: at once in step mode,
  // as the engine thread produces them otherwise.
  void drain(HwFunction& fn) {
    settle();
    EXPECT_EQ(mifh_process_ccq(fn.ccq), 0u);
    if (board_->running()) {
      EXPECT_TRUE(eventually([&] {
        mifh_process_ccq(fn.ccq);
        return mifh_cqp_tail(fn.cqp) == fn.cqp->RingIndex.Head;
      }));
    }
  }

  void release_function(HwFunction& fn) {
    // Anything announced is carried out first, so the destroy is not stuck behind it.
    if (fn.cqp != nullptr && fn.cqp->Lock != nullptr && fn.device.Cqp == fn.cqp) settle();
    bringup::take_down(fn.device, fn);
    for (DmaRing& r : fn.rings) OSPrimMemDMAFree(r.va);
    fn = HwFunction{};
  }

  std::unique_ptr<zeksim::Board> board_;
  std::unique_ptr<RecordingHandler> handlers_[zekhw::kMaxFunctions][3];
  std::uint8_t* windows_[zekhw::kMaxFunctions][3] = {};
  std::atomic<bool> auto_step_{true};
  std::vector<std::unique_ptr<HwFunction>> functions_;
};

// A completion context that counts its calls and keeps what it was told.
struct TestContext {
  MifhCqpCompletionContext context{};
  int completions = 0;
  int early_calls = 0;
  std::vector<int>* order = nullptr;
  int id = 0;

  explicit TestContext(std::vector<int>* completion_order = nullptr, int identity = 0)
      : order(completion_order), id(identity) {
    context.CompletionRoutine = [](void* argument) {
      auto* self = static_cast<TestContext*>(argument);
      ++self->completions;
      if (self->order != nullptr) self->order->push_back(self->id);
    };
    context.Argument = this;
  }
  MifhCqpCompletionContext* get() { return &context; }
};
