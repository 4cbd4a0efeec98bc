// A board on a test kernel (virtual clock), its windows claimed in the
// kernel's register space and mapped as a driver maps them, so that every
// access in the tests goes through the register accessors. HostQueues plays
// the driver's part by hand: it lays out the control queue pair, the CCQ,
// the event queues and test CQs in contiguous memory and posts requests.
#pragma once

#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "include/hw/cqp.h"
#include "include/hw/events.h"
#include "include/hw/registers.h"
#include "platform/kernel/hal.h"
#include "sim/board.h"
#include "tests/support/kernel_fixture.h"

// Physically contiguous test memory, freed on destruction.
class DmaBuffer {
 public:
  explicit DmaBuffer(std::size_t bytes) : bytes_(ROUND_TO_PAGES(bytes)) {
    PHYSICAL_ADDRESS highest;
    highest.QuadPart = -1;
    va_ = MmAllocateContiguousMemory(bytes_, highest);
    std::memset(va_, 0, bytes_);
    pa_ = static_cast<std::uint64_t>(MmGetPhysicalAddress(va_).QuadPart);
  }
  ~DmaBuffer() {
    if (va_ != nullptr) MmFreeContiguousMemory(va_);
  }
  DmaBuffer(const DmaBuffer&) = delete;
  DmaBuffer& operator=(const DmaBuffer&) = delete;
  // Frees the memory early (to make the adapter's DMA to it fail).
  void release() {
    MmFreeContiguousMemory(va_);
    va_ = nullptr;
  }

  std::uint64_t pa() const { return pa_; }
  std::byte* bytes() const { return static_cast<std::byte*>(va_); }
  template <typename T>
  T* at(std::size_t index) const {
    return reinterpret_cast<T*>(bytes()) + index;
  }

 private:
  std::size_t bytes_;
  void* va_ = nullptr;
  std::uint64_t pa_ = 0;
};

// One board's windows as a driver maps them: every access goes through the
// register accessors.
class MappedBoard {
 public:
  zeksim::Board& board() { return *board_; }

  volatile ULONG* reg(unsigned f, std::uint32_t offset, zeksim::Window w = zeksim::Window::Registers) {
    return reinterpret_cast<volatile ULONG*>(windows_[f][static_cast<unsigned>(w)] + offset);
  }
  std::uint32_t rd(unsigned f, std::uint32_t offset, zeksim::Window w = zeksim::Window::Registers) {
    return READ_REGISTER_ULONG(reg(f, offset, w));
  }
  void wr(unsigned f, std::uint32_t offset, std::uint32_t value, zeksim::Window w = zeksim::Window::Registers) {
    WRITE_REGISTER_ULONG(reg(f, offset, w), value);
  }
  std::uint32_t idx_rd(unsigned f, std::uint32_t index) {
    wr(f, zekhw::index_register(f), index);
    return rd(f, zekhw::data_register(f));
  }
  void idx_wr(unsigned f, std::uint32_t index, std::uint32_t value) {
    wr(f, zekhw::index_register(f), index);
    wr(f, zekhw::data_register(f), value);
  }

  std::unique_ptr<zeksim::Board> board_;
  std::byte* windows_[zekhw::kMaxFunctions][3] = {};
};

class SimTest : public KernelTest {
 public:
  virtual zeksim::BoardConfig board_config() {
    zeksim::BoardConfig c;
    c.functions = 2;
    c.index_race_check = zeksim::IndexRaceCheck::Record;
    c.log = [this](std::string_view line) {
      std::lock_guard lock(board_log_mu_);
      board_log_ += line;
    };
    return c;
  }
  // Boards on the test kernel; board b's windows sit below board 0's.
  virtual unsigned board_count() { return 1; }

  void SetUp() override {
    KernelTest::SetUp();
    boards_.resize(board_count());
    for (unsigned b = 0; b < boards_.size(); ++b) {
      zeksim::BoardConfig config = board_config();
      config.window_base -= std::uint64_t{b} * 0x1000'0000;
      MappedBoard& m = boards_[b];
      m.board_ = std::make_unique<zeksim::Board>(kernel().memory(), config);
      for (unsigned f = 0; f < m.board_->functions(); ++f) {
        for (unsigned w = 0; w < 3; ++w) {
          auto window = static_cast<zeksim::Window>(w);
          std::uint64_t base = m.board_->window_address(f, window);
          ASSERT_TRUE(kernel().io_space().add_range(base, m.board_->window_bytes(window),
                                                    &m.board_->window_handler(f, window)));
          PHYSICAL_ADDRESS pa;
          pa.QuadPart = static_cast<LONGLONG>(base);
          m.windows_[f][w] = static_cast<std::byte*>(MmMapIoSpace(pa, m.board_->window_bytes(window), MmNonCached));
          ASSERT_NE(m.windows_[f][w], nullptr);
        }
      }
    }
  }

  void TearDown() override {
    for (MappedBoard& m : boards_) {
      if (m.board_) m.board_->stop();
    }
    for (MappedBoard& m : boards_) {
      if (!m.board_) continue;
      for (unsigned f = 0; f < m.board_->functions(); ++f) {
        for (unsigned w = 0; w < 3; ++w) {
          auto window = static_cast<zeksim::Window>(w);
          if (m.windows_[f][w] != nullptr) MmUnmapIoSpace(m.windows_[f][w], m.board_->window_bytes(window));
          kernel().io_space().remove_range(m.board_->window_address(f, window));
        }
      }
    }
    queues_.clear();
    boards_.clear();
    KernelTest::TearDown();
  }

  MappedBoard& mapped(unsigned b = 0) { return boards_.at(b); }
  zeksim::Board& board() { return mapped().board(); }

  volatile ULONG* reg(unsigned f, std::uint32_t offset, zeksim::Window w = zeksim::Window::Registers) {
    return mapped().reg(f, offset, w);
  }
  std::uint32_t rd(unsigned f, std::uint32_t offset, zeksim::Window w = zeksim::Window::Registers) {
    return mapped().rd(f, offset, w);
  }
  void wr(unsigned f, std::uint32_t offset, std::uint32_t value, zeksim::Window w = zeksim::Window::Registers) {
    mapped().wr(f, offset, value, w);
  }
  std::uint32_t idx_rd(unsigned f, std::uint32_t index) { return mapped().idx_rd(f, index); }
  void idx_wr(unsigned f, std::uint32_t index, std::uint32_t value) { mapped().idx_wr(f, index, value); }
  // Master enable on, everything unmasked.
  void unmask_all(unsigned f) { wr(f, zekhw::kRegIntrMask, zekhw::kIntrMasterEnable); }

  DmaBuffer& alloc(std::size_t bytes) {
    std::lock_guard lock(alloc_mu_);
    queues_.push_back(std::make_unique<DmaBuffer>(bytes));
    return *queues_.back();
  }

  std::string board_log() {
    std::lock_guard lock(board_log_mu_);
    return board_log_;
  }

  std::vector<MappedBoard> boards_;
  std::mutex alloc_mu_;
  std::vector<std::unique_ptr<DmaBuffer>> queues_;
  std::mutex board_log_mu_;
  std::string board_log_;
};

// The driver's side of one function's control path, built by hand.
class HostQueues {
 public:
  static constexpr std::uint64_t kCqpObject = 0xFFFF'8000'1234'5600ull;
  static constexpr std::uint32_t kCcqEntries = 64;
  static constexpr std::uint32_t kCeqEntries = 64;
  static constexpr std::uint32_t kAeqEntries = 16;

  HostQueues(SimTest& test, unsigned function, unsigned size_code = 1, unsigned board = 0)
      : t_(test),
        m_(test.mapped(board)),
        f_(function),
        ring_size_(zekhw::kCqpRingSizes[size_code]),
        size_code_(size_code),
        context_(test.alloc(4096)),
        ring_(test.alloc(ring_size_ * sizeof(zekhw::MifhCqpWqe))),
        ccq_(test.alloc(kCcqEntries * sizeof(zekhw::MifhCqe))),
        ceq_(test.alloc(kCeqEntries * sizeof(zekhw::MifhCeqe))),
        aeq_(test.alloc(kAeqEntries * sizeof(zekhw::MifhAeqe))) {}

  unsigned function() const { return f_; }
  DmaBuffer& ring() { return ring_; }
  DmaBuffer& ccq() { return ccq_; }
  DmaBuffer& ceq() { return ceq_; }
  DmaBuffer& aeq() { return aeq_; }
  std::uint32_t ring_size() const { return ring_size_; }

  // Writes the host context and the context registers (high half first).
  void start_cqp(unsigned cqp_id, std::uint64_t context_pa = 0) {
    cqp_id_ = cqp_id;
    auto* ctx = context_.at<zekhw::MifhCqpHostContext>(0);
    ctx->word0 = zekhw::cqp_context_word0(cqp_id, size_code_);
    ctx->ring_pa = ring_.pa();
    std::uint64_t pa = context_pa != 0 ? context_pa : context_.pa();
    m_.idx_wr(f_, zekhw::idx_cqp_context_high(f_), static_cast<std::uint32_t>(pa >> 32));
    m_.idx_wr(f_, zekhw::idx_cqp_context_low(f_), static_cast<std::uint32_t>(pa));
  }
  std::uint32_t status() { return m_.idx_rd(f_, zekhw::idx_queue_status(f_)); }

  // Writes one request at the head; rings the doorbell when asked.
  void post(zekhw::MifhCqpWqe wqe, bool ring_doorbell = true) {
    wqe.cqp_object = kCqpObject;
    *ring_.at<zekhw::MifhCqpWqe>(head_) = wqe;
    head_ = (head_ + 1) % ring_size_;
    if (ring_doorbell) doorbell(1);
  }
  void doorbell(std::uint32_t count) { m_.wr(f_, zekhw::kRegWqeDoorbell, zekhw::wqe_doorbell(cqp_id_, count, true)); }

  static zekhw::MifhCqpWqe request(std::uint32_t op_word, std::uint32_t object_word = 0, std::uint64_t pa = 0,
                                   std::uint64_t operation_word = 0) {
    zekhw::MifhCqpWqe w{};
    w.op_word = op_word;
    w.object_word = object_word;
    w.physical_address = pa;
    w.operation_word = operation_word;
    return w;
  }
  static zekhw::MifhCqpWqe create_cq(std::uint32_t cq, std::uint32_t ceq, std::uint32_t entries, std::uint64_t ring_pa,
                                     std::uint64_t object = 0xFFFF'9000'0000'1000ull) {
    return request(zekhw::create_cq_word(entries, true), zekhw::cq_object_word(cq, ceq), ring_pa, object >> 1);
  }

  // CCQ creation: the first CQ of the CQP, reported only through status bit 9.
  void create_ccq(std::uint32_t ccq_id) {
    post(request(zekhw::create_cq_word(kCcqEntries, false), zekhw::cq_object_word(ccq_id, f_), ccq_.pa(),
                 kCqpObject >> 1));
    ccq_id_ = ccq_id;
  }

  // The whole bring-up in the miniport's order, each step run to completion.
  void bring_up() {
    start_cqp(f_);
    m_.board().run_until_idle();
    create_ccq(f_);
    m_.board().run_until_idle();
    post(request(zekhw::create_ceq_word(f_), kCeqEntries, ceq_.pa()));
    post(request(zekhw::create_aeq_word(f_), kAeqEntries, aeq_.pa()));
    m_.board().run_until_idle();
    taken_ = 0;
    for (const zekhw::MifhCqe* e; (e = next_ccqe()) != nullptr;) {
      EXPECT_EQ(e->flags & zekhw::kCqeError, 0u) << "bring-up request failed";
    }
    release_ccq();
  }

  // The next valid CCQ entry (consumed: valid bit cleared), or null.
  const zekhw::MifhCqe* next_ccqe() {
    auto* e = ccq_.at<zekhw::MifhCqe>(ccq_tail_);
    if ((e->flags & zekhw::kCqeValid) == 0) return nullptr;
    last_ = *e;
    e->flags = 0;
    ccq_tail_ = (ccq_tail_ + 1) % kCcqEntries;
    ++taken_;
    return &last_;
  }
  // Gives back what was taken and re-arms, as the CCQ processing does.
  void release_ccq() {
    m_.wr(f_, zekhw::kRegCqAllocate, zekhw::cq_give_back(ccq_id_, taken_) | zekhw::kCqArm);
    taken_ = 0;
  }
  std::uint32_t ccq_id() const { return ccq_id_; }

 private:
  SimTest& t_;
  MappedBoard& m_;
  unsigned f_;
  std::uint32_t ring_size_;
  unsigned size_code_;
  DmaBuffer& context_;
  DmaBuffer& ring_;
  DmaBuffer& ccq_;
  DmaBuffer& ceq_;
  DmaBuffer& aeq_;
  unsigned cqp_id_ = 0;
  std::uint32_t head_ = 0;
  std::uint32_t ccq_tail_ = 0;
  std::uint32_t ccq_id_ = 0;
  std::uint32_t taken_ = 0;
  zekhw::MifhCqe last_{};
};

// Records each interrupt delivered by the board.
class RecordingSink : public zeksim::InterruptSink {
 public:
  void interrupt(unsigned function) override {
    std::lock_guard lock(mu_);
    lines_.push_back(function);
  }
  std::vector<unsigned> lines() {
    std::lock_guard lock(mu_);
    return lines_;
  }
  std::size_t count() {
    std::lock_guard lock(mu_);
    return lines_.size();
  }

 private:
  std::mutex mu_;
  std::vector<unsigned> lines_;
};
