// What the drivers read and write before any queue exists: PCI identity and
// BARs, the configuration window, the capability registers, the register
// file behind the index/data pairs, global control, the user doorbell
// window, and the detector for index/data pairs used without the lock.
#include <bit>
#include <condition_variable>
#include <thread>

#include "include/hw/pci.h"
#include "tests/support/sim_fixture.h"

namespace {

using namespace zekhw;
using zeksim::Window;

class RegistersTest : public SimTest {};

TEST_F(RegistersTest, PciIdentityIsWhatTheMiniportChecks) {
  for (unsigned f = 0; f < board().functions(); ++f) {
    SCOPED_TRACE(f);
    EXPECT_EQ(board().pci_read(f, kPciCfgVendorDevice), (std::uint32_t{kPciDeviceId} << 16) | kPciVendorId);
    std::uint32_t command = board().pci_read(f, kPciCfgCommandStatus) & 0xFFFF;
    EXPECT_EQ(command & (kPciCommandMemory | kPciCommandBusMaster), kPciCommandMemory | kPciCommandBusMaster);
    EXPECT_EQ(board().pci_read(f, kPciCfgRevisionClass), (kPciClassEthernet << 8) | 4u);
    EXPECT_EQ(board().pci_read(f, kPciCfgFunctionRegister) & 7, f);
    EXPECT_EQ((board().pci_read(f, kPciCfgHeaderType) >> 16) & 0x80, 0x80u) << "a multi-function board";
    // The miniport's command fix-up and the read-request limit at 0x68.
    board().pci_write(f, kPciCfgCommandStatus, (command & 0xFEFF) | 0x47);
    EXPECT_EQ(board().pci_read(f, kPciCfgCommandStatus) & 0xFFFF, 0x47u);
    std::uint32_t control = board().pci_read(f, kPciCfgDeviceControl);
    EXPECT_GT((control & kPciMaxReadRequestMask) >> 12, 1u) << "512 bytes at reset, so the limit path runs";
    board().pci_write(f, kPciCfgDeviceControl, (control & 0x8FFF) | 0x1000);
    EXPECT_EQ(board().pci_read(f, kPciCfgDeviceControl) & kPciMaxReadRequestMask, 0x1000u);
  }
  EXPECT_EQ(board().pci_read(3, kPciCfgVendorDevice), 0xFFFF'FFFFu) << "an absent function reads all ones";
}

TEST_F(RegistersTest, BarsReportTheirSizesAndAddresses) {
  const std::uint32_t bars[] = {kPciCfgBar0, kPciCfgBar1, kPciCfgBar2};
  for (unsigned w = 0; w < 3; ++w) {
    auto window = static_cast<Window>(w);
    std::uint32_t bytes = board().window_bytes(window);
    EXPECT_TRUE(std::has_single_bit(bytes));
    EXPECT_EQ(board().pci_read(1, bars[w]), static_cast<std::uint32_t>(board().window_address(1, window)));
    EXPECT_EQ(board().window_address(1, window) % bytes, 0u) << "each BAR aligned to its size";
    board().pci_write(1, bars[w], 0xFFFF'FFFF);
    EXPECT_EQ(board().pci_read(1, bars[w]), ~(bytes - 1)) << "sizing";
    board().pci_write(1, bars[w], static_cast<std::uint32_t>(board().window_address(1, window)));
  }
  EXPECT_EQ(board().window_bytes(Window::Registers), kRegisterWindowBytes);
  EXPECT_EQ(board().window_bytes(Window::Doorbells), 256 * kDoorbellPageBytes);
}

TEST_F(RegistersTest, CapabilitiesKeepTheDriversLimitsPositive) {
  // The derivations the hardware-interface readers make.
  std::int64_t v218 = idx_rd(0, kIdxSize218), v258 = idx_rd(0, kIdxSize258), v260 = idx_rd(0, kIdxSize260);
  EXPECT_GT((v218 & 0x7FE00) - 74, 0);
  EXPECT_GT((v260 & 0xFFC0) - 64, 0);
  EXPECT_GT((std::int64_t{1} << (v258 & 0xF)) - 10, 0);
  std::uint32_t classes = idx_rd(0, kIdxQueueClasses);
  EXPECT_GE(kWqeClasses[classes & 3], 4u + 2) << "the verbs query subtracts 2";
  EXPECT_GE(kReadDepthClasses[(classes >> 16) & 3] / 2, 2u);
  EXPECT_GT(idx_rd(0, kIdxSize280) & 0x1F, 0u);
  std::uint32_t hash = idx_rd(0, kIdxHashSize) & 0x1F;
  EXPECT_GE(hash, 9u);
  EXPECT_LE(hash, 18u);
  EXPECT_EQ(idx_rd(0, kIdxFirmwareAlive), kFirmwareAliveValue);
  // Capability registers do not change when written.
  idx_wr(0, kIdxQueueClasses, 0);
  EXPECT_EQ(idx_rd(0, kIdxQueueClasses), classes);
  // The configuration window: a 10 Gb/s rate in kbit/s and non-zero limits.
  std::uint32_t w = rd(0, kCfgCapabilities0, Window::Config);
  const std::uint64_t multiplier[] = {1, 1000, 100000, 1000000};
  EXPECT_EQ(((w >> 2) & 0x3FFF) * multiplier[w & 3], 10'000'000u);
  EXPECT_NE(rd(0, kCfgCapabilities1, Window::Config) >> 24, 0u);
}

TEST_F(RegistersTest, IndexedRegistersNoEngineInterpretsAreKept) {
  // Scratchpads, blocks and tables: stored and read back, through any pair.
  const std::uint32_t indexes[] = {
      idx_scratchpad(0), idx_scratchpad(9), idx_serdes(1, 0x10), 0x5000, 0x6010, 0x6228, 0x21F4};
  std::uint32_t value = 0x4C495645;
  for (std::uint32_t index : indexes) idx_wr(0, index, value++);
  value = 0x4C495645;
  for (std::uint32_t index : indexes) EXPECT_EQ(idx_rd(1, index), value++) << std::hex << index;
  EXPECT_EQ(idx_rd(0, idx_scratchpad(15)), 0u) << "never written: 0";
  // Status words are the adapter's, not the host's.
  idx_wr(0, idx_queue_status(0), 0xFFFF'FFFF);
  EXPECT_EQ(idx_rd(0, idx_queue_status(0)), 0u);
}

TEST_F(RegistersTest, GlobalControlResetCompletesAndKeepsThePortMode) {
  EXPECT_EQ(rd(0, kRegGlobalControl) & kGcResetDone, kGcResetDone);
  // The miniport's global reset value for port mode 0, then a port reset.
  wr(0, kRegGlobalControl, 0x00EE001D);
  EXPECT_EQ(rd(0, kRegGlobalControl), 0x00EE005Du);
  wr(0, kRegGlobalControl, 0x0000'0000);
  EXPECT_EQ(rd(0, kRegGlobalControl) & kGcResetDone, 0u);
  wr(1, kRegGlobalControl, 0x0000'032D);  // tries to change the strapped port mode
  EXPECT_EQ(rd(0, kRegGlobalControl), 0x0000'006Du) << "one register for the board; mode bits strapped";
}

TEST_F(RegistersTest, UserDoorbellPagesWorkOnlyWhenOpenAndNeverReachTheCqp) {
  HostQueues host(*this, 0);
  host.bring_up();
  // Closed: nothing happens.
  wr(0, kUserDbCqeAllocate, cq_arm(host.ccq_id(), false), Window::Doorbells);
  EXPECT_EQ(board().faults().stray_doorbells, 1u);
  // Opened for PDs 16..19 (4 pages): page 2 is PD 18.
  idx_wr(0, idx_user_doorbell(0), (4u << kUserDbCountShift) | 16);
  const std::uint32_t page2 = 2 * kDoorbellPageBytes;
  host.post(HostQueues::request(kOpNop), false);
  wr(0, page2 + kUserDbWqeAllocate, wqe_doorbell(0, 1, true), Window::Doorbells);
  EXPECT_EQ(board().run_until_idle(), 0u) << "a user page cannot ring the control queue pair";
  EXPECT_EQ(board().faults().stray_doorbells, 2u);
  wr(0, 4 * kDoorbellPageBytes + kUserDbCqeAllocate, cq_arm(host.ccq_id(), false), Window::Doorbells);
  EXPECT_EQ(board().faults().stray_doorbells, 3u) << "page 4 is beyond the open range";
  // The CQE-allocate word of an open page is the same word as 0x44.
  host.doorbell(1);
  board().run_until_idle();
  ASSERT_NE(host.next_ccqe(), nullptr);
  wr(0, page2 + kUserDbCqeAllocate, cq_give_back(host.ccq_id(), 1) | kCqArm, Window::Doorbells);
  EXPECT_EQ(board().faults().bad_give_backs, 0u);
  EXPECT_EQ(board().faults().stray_doorbells, 3u);
}

TEST_F(RegistersTest, AccessesOfTheWrongWidthOrPlaceAreRefused) {
  WRITE_REGISTER_USHORT(reinterpret_cast<volatile USHORT*>(reg(0, kRegIntrMask)), 0xFFFF);
  EXPECT_EQ(rd(0, kRegIntrMask), kIntrCauseBits) << "the 16-bit write changed nothing";
  EXPECT_EQ(board().faults().bad_accesses, 1u);
  wr(0, kCfgCapabilities0, 0, Window::Config);
  EXPECT_EQ(board().faults().read_only_writes, 1u) << "the configuration window is read-only";
  EXPECT_EQ(board().faults().bad_accesses, 1u);
}

// ---------------------------------------------------------------------------
// The index-register detector

// Two live threads taking turns in a fixed order (a finished thread's id may
// be reused by the next one, so both stay alive to the end).
class Turns {
 public:
  // Waits for turn n, runs the step, then hands over to turn n + 1.
  template <typename F>
  void step(int n, F action) {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return turn_ == n; });
    action();
    ++turn_;
    cv_.notify_all();
  }
  void wait_end(int last) {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return turn_ > last; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int turn_ = 0;
};

class IndexRaceTest : public SimTest {};

TEST_F(IndexRaceTest, AnIndexWriteBetweenAnothersIndexAndDataIsCaught) {
  // Thread A selects the status register; thread B selects scratchpad 0
  // before A reads: A's read would return B's register.
  Turns turns;
  std::thread a([&] {
    turns.step(0, [&] { wr(0, index_register(0), idx_queue_status(0)); });
    turns.step(2, [&] { rd(0, data_register(0)); });
  });
  std::thread b([&] {
    turns.step(1, [&] { wr(0, index_register(0), idx_scratchpad(0)); });
    turns.wait_end(2);
  });
  a.join();
  b.join();
  auto races = board().index_races();
  ASSERT_EQ(races.size(), 2u);
  EXPECT_EQ(races[0].kind, zeksim::IndexRace::Kind::IndexOverwritten);
  EXPECT_EQ(races[0].pair, 0u);
  EXPECT_EQ(races[0].first_index, idx_queue_status(0));
  EXPECT_EQ(races[0].second_index, idx_scratchpad(0));
  EXPECT_EQ(races[1].kind, zeksim::IndexRace::Kind::ForeignIndex);
  EXPECT_EQ(board().faults().index_races, 2u);
  EXPECT_NE(board_log().find("without the index-register lock"), std::string::npos);
}

TEST_F(IndexRaceTest, LockedUseFromManyThreadsIsSilent) {
  std::mutex index_lock;  // the index-register lock both drivers share
  auto worker = [&](unsigned n) {
    for (unsigned i = 0; i < 2000; ++i) {
      std::lock_guard lock(index_lock);
      idx_wr(0, idx_scratchpad(n), i);
      EXPECT_EQ(idx_rd(0, idx_scratchpad(n)), i);
    }
  };
  std::thread a(worker, 0), b(worker, 1), c(worker, 2);
  a.join();
  b.join();
  c.join();
  EXPECT_TRUE(board().index_races().empty());
  // Pairs of different functions do not interfere with each other.
  Turns turns;
  std::thread d([&] {
    turns.step(0, [&] { wr(0, index_register(0), idx_scratchpad(0)); });
    turns.step(2, [&] { rd(0, data_register(0)); });
  });
  std::thread e([&] {
    turns.step(1, [&] { idx_rd(1, idx_scratchpad(1)); });
    turns.wait_end(2);
  });
  d.join();
  e.join();
  EXPECT_TRUE(board().index_races().empty());
}

class FatalIndexRaceTest : public SimTest {
 public:
  zeksim::BoardConfig board_config() override {
    zeksim::BoardConfig c = SimTest::board_config();
    c.index_race_check = zeksim::IndexRaceCheck::Fatal;
    c.log = {};
    return c;
  }
};

TEST_F(FatalIndexRaceTest, CanStopTheProcess) {
  EXPECT_DEATH(
      {
        Turns turns;
        std::thread a([&] {
          turns.step(0, [&] { wr(0, index_register(0), 1); });
          turns.wait_end(1);
        });
        std::thread b([&] { turns.step(1, [&] { wr(0, index_register(0), 2); }); });
        a.join();
        b.join();
      },
      "without the index-register lock");
}

}  // namespace
