// The statistics counters by identifier: the bounds of both tables, rows
// that provide nothing, the port that reads nothing, totals that add what
// each read brings, and two readers of one counter that lose nothing.
#include <atomic>
#include <thread>

#include "proxy/rdma/hw/counters.h"
#include "tests/proxy/rdma/hw/storage_fixture.h"

namespace {

class CountersTest : public StorageHwTest {
 public:
  void SetUp() override {
    StorageHwTest::SetUp();
    if (HasFatalFailure()) return;
    fn_ = &device(0);
    ASSERT_EQ(mifh_stat_accumulators_alloc(dev()), ZEK_STATUS_PASS);
  }
  void TearDown() override {
    if (fn_ != nullptr) mifh_stat_accumulators_free(dev());
    StorageHwTest::TearDown();
  }
  MifhDeviceObj* dev() { return &fn_->device; }
  HwFunction* fn_ = nullptr;
  // Presets the per-node counter block n's register (f + port = n).
  void set_node(unsigned n, std::uint32_t reg, std::uint32_t value) {
    mifh_write_indexed(dev(), reg + MIFH_STAT_REGISTER_STRIDE * n, value);
  }
};

TEST_F(CountersTest, IdentifiersAndPortsOutsideTheTablesAreRefused) {
  struct Case {
    const char* name;
    bool port_table;
    std::uint32_t id, port;
    std::uint32_t result;
  } const cases[] = {
      {"first adapter counter", false, 0x1000, 0, 0},
      {"last adapter row", false, 0x1019, 0, 0},
      {"past the adapter table", false, 0x101A, 0, 1},
      {"below the adapter table", false, 0x0FFF, 0, 1},
      {"first per-port counter", true, 0x2000, 0, 0},
      {"a row without a register", true, 0x203B, 0, 0},
      {"past the per-port table", true, 0x203F, 0, 1},
      {"port 15", true, 0x2000, 15, 0},
      {"port 16", true, 0x2000, 16, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::uint64_t v = 0;
    EXPECT_EQ(c.port_table ? mifh_get_port_stat(dev(), &v, c.port, c.id) : mifh_get_adapter_stat(dev(), &v, c.id),
              c.result);
  }
  std::uint64_t v = 0;
  EXPECT_EQ(mifh_get_adapter_stat(dev(), nullptr, 0x1000), 1u) << "no output";
  EXPECT_EQ(mifh_get_adapter_stat(nullptr, &v, 0x1000), 1u) << "no device";
}

// Rows without a register and port 15 answer success with a total that does
// not grow; a counter's total grows by what each read brings.
TEST_F(CountersTest, TotalsAddWhatEachReadBrings) {
  set_node(0, 0x3080, 5);  // per-port 0x201D (32-bit) of function 0, port 0
  set_node(0, 0x3098, 7);  // per-port 0x2001 (64-bit), low half
  set_node(0, 0x309C, 1);  //   and high half
  std::uint64_t v = 0;
  EXPECT_EQ(mifh_get_port_stat(dev(), &v, 0, 0x201D), 0u);
  EXPECT_EQ(v, 5u);
  EXPECT_EQ(mifh_get_port_stat(dev(), &v, 0, 0x201D), 0u);
  EXPECT_EQ(v, 5u) << "the adapter's count starts again at each read: the second read adds nothing";
  board().node_counters().add(0, 0x3080, 4);
  EXPECT_EQ(mifh_get_port_stat(dev(), &v, 0, 0x201D), 0u);
  EXPECT_EQ(v, 9u) << "what the adapter counted since";
  EXPECT_EQ(mifh_get_port_stat(dev(), &v, 0, 0x2001), 0u);
  EXPECT_EQ(v, 0x1'0000'0007u);
  for (std::uint32_t port : {15u}) {
    EXPECT_EQ(mifh_get_port_stat(dev(), &v, port, 0x201D), 0u);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(mifh_get_port_stat(dev(), &v, port, 0x201D), 0u);
    EXPECT_EQ(v, 0u) << "port 15 reads nothing";
  }
  EXPECT_EQ(mifh_get_adapter_stat(dev(), &v, 0x1019), 0u);
  EXPECT_EQ(v, 0u);
}

TEST_F(CountersTest, ADeviceWithoutAccumulatorsIsRefused) {
  mifh_stat_accumulators_free(dev());
  std::uint64_t v = 0;
  EXPECT_EQ(mifh_get_adapter_stat(dev(), &v, 0x1000), 1u);
  EXPECT_EQ(mifh_get_port_stat(dev(), &v, 0, 0x2000), 1u);
}

// Two readers of one counter while the adapter counts: every count lands
// in the total once (the read and the add happen under the index-register
// lock, and the adapter's read takes what it hands out), and a 64-bit
// counter's halves are never split by the other reader.
TEST_F(CountersTest, TwoReadersLoseNothing) {
  constexpr int kReads = 300, kCounts = 2000;
  constexpr std::uint64_t kWide = 0x1'0000'0000;  // every count carries into the high half
  std::atomic<bool> counting{true};
  std::thread adapter([&] {
    for (int i = 0; i < kCounts; ++i) {
      board().node_counters().add(0, 0x3080, 1);      // per-port 0x201D (32-bit)
      board().node_counters().add(0, 0x3098, kWide);  // per-port 0x2001 (64-bit)
    }
    counting = false;
  });
  auto reader = [&] {
    std::uint64_t v = 0;
    for (int i = 0; i < kReads || counting; ++i) {
      mifh_get_port_stat(dev(), &v, 0, 0x201D);
      mifh_get_port_stat(dev(), &v, 0, 0x2001);
    }
  };
  std::thread a(reader), b(reader);
  adapter.join();
  a.join();
  b.join();
  std::uint64_t total = 0;
  ASSERT_EQ(mifh_get_port_stat(dev(), &total, 0, 0x201D), 0u);
  EXPECT_EQ(total, std::uint64_t{kCounts});
  ASSERT_EQ(mifh_get_port_stat(dev(), &total, 0, 0x2001), 0u);
  EXPECT_EQ(total, kWide * kCounts);
}

}  // namespace
