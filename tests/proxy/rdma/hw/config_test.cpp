// Adapter configuration, MAC table, connection hash and the fail-over
// steering against the simulated adapter's registers.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/conn_hash.h"
#include "tests/proxy/rdma/hw/hwif_fixture.h"

namespace {

class ConfigTest : public HwifTest {
 protected:
  std::uint32_t indexed(HwFunction& fn, std::uint32_t index) {
    std::uint32_t v = 0;
    mifh_read_indexed(&fn.device, index, &v);
    return v;
  }
};

TEST_F(ConfigTest, MacSlotGoldenValues) {
  HwFunction& fn = device(0);
  const std::uint8_t mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  ASSERT_EQ(mifh_write_mac_address(&fn.device, mac, 5), 0u);
  EXPECT_EQ(indexed(fn, 0x6228), 0x22334455u);
  EXPECT_EQ(indexed(fn, 0x622C), 0x00150011u);
  ASSERT_EQ(mifh_zero_mac_address(&fn.device, 5), 0u);
  EXPECT_EQ(indexed(fn, 0x6228), 0u);
  EXPECT_EQ(indexed(fn, 0x622C), 0x00050000u);
  EXPECT_EQ(mifh_write_mac_address(&fn.device, nullptr, 5), MIFH_STATUS_FAIL);
  EXPECT_TRUE(logged("mifh_write_mac_address: pMacAddress is NULL"));
}

TEST_F(ConfigTest, MaskRoutinesChangeOneBitAndKeepTwentyBits) {
  HwFunction& fn = device(0);
  mifh_write_indexed(&fn.device, zekhw::kIdxBroadcast, 0xFFF00001);
  ASSERT_EQ(mifh_enable_broadcast(&fn.device, 4, 1), 0u);
  EXPECT_EQ(indexed(fn, zekhw::kIdxBroadcast), 0x00011u);
  ASSERT_EQ(mifh_enable_broadcast(&fn.device, 0, 0), 0u);
  EXPECT_EQ(indexed(fn, zekhw::kIdxBroadcast), 0x00010u);
  mifh_set_nic_active(&fn.device, 7);
  EXPECT_EQ(indexed(fn, zekhw::kIdxRxEnable), 1u << 7);
  mifh_set_nic_rx_disable(&fn.device, 7);
  EXPECT_EQ(indexed(fn, zekhw::kIdxRxEnable), 0u);
  EXPECT_EQ(mifh_enable_multicast_all(nullptr, 0, 1), MIFH_STATUS_FAIL);
}

TEST_F(ConfigTest, BringUpByPortMode) {
  struct Case {
    std::uint32_t port_mode, phy, port_map;
    std::vector<unsigned> slots;
  };
  const std::uint8_t mac[6] = {2, 0, 0, 0, 0, 1};
  for (const Case& c : {Case{0, 0, 0x00, {4, 5, 6, 7}}, Case{1, 0, 0x44, {4, 6}}, Case{3, 5, 0xD8, {4}},
                        Case{3, 2, 0xE4, {4}}, Case{2, 0, 0xE4, {4}}}) {
    SCOPED_TRACE(c.port_mode);
    HwFunction& fn = device(0);
    for (unsigned s = 0; s < zekhw::kMacSlots; ++s) mifh_zero_mac_address(&fn.device, s);
    fn.device.PortMode = c.port_mode;
    fn.device.PhyType = static_cast<std::uint8_t>(c.phy);
    ASSERT_EQ(mifh_hw_init_zek_nic(&fn.device, mac, 4), 0u);
    EXPECT_EQ(indexed(fn, zekhw::kIdxPortMap), c.port_map);
    for (unsigned s = 0; s < 8; ++s) {
      const bool valid = (indexed(fn, zekhw::idx_mac_high(s)) & zekhw::kMacValid) != 0;
      EXPECT_EQ(valid, std::find(c.slots.begin(), c.slots.end(), s) != c.slots.end()) << "slot " << s;
    }
    EXPECT_EQ(indexed(fn, zekhw::kIdxRxEnable) & (1u << 4), 1u << 4);
    EXPECT_EQ(indexed(fn, zekhw::kIdxBroadcast) & (1u << 4), 1u << 4);
    ASSERT_EQ(mifh_hw_clear_zek_nic(&fn.device, 4), 0u);
    for (unsigned s : c.slots) EXPECT_EQ(indexed(fn, zekhw::idx_mac_high(s)) & zekhw::kMacValid, 0u);
    EXPECT_EQ(indexed(fn, zekhw::kIdxRxEnable), 0u);
  }
}

TEST_F(ConfigTest, SizeLimitsNeverWrapBelowZero) {
  HwFunction& fn = device(0);
  MifhHwSizes s{};
  ASSERT_EQ(mifh_query_hw_sizes(&fn.device, &s), 0u);
  EXPECT_EQ(s.Size218, 0x40000u - 74);
  EXPECT_EQ(s.Size258, 4096u - 10);
  EXPECT_EQ(s.MaxSqWr, 512u);
  EXPECT_EQ(s.ReadDepth, 64u);
  EXPECT_EQ(s.Size2B0, 0x7FFFu);
  fn.device.QpCountBase = 40000;  // more than the id space: no wrap either
  ASSERT_EQ(mifh_query_hw_sizes(&fn.device, &s), 0u);
  EXPECT_EQ(s.Remaining, 0u);
  EXPECT_EQ(mifh_query_hw_sizes(&fn.device, nullptr), MIFH_STATUS_FAIL);
}

class SmallCapsTest : public ConfigTest {
 protected:
  zeksim::BoardConfig board_config() override {
    zeksim::BoardConfig c = ConfigTest::board_config();
    c.caps.size_218 = 0x0;   // 0 - 74 would wrap
    c.caps.size_260 = 0x40;  // 64 - 64 = 0
    c.caps.size_258 = 2;     // 4 - 10 would wrap
    c.caps.size_2b0 = 31;    // 2^31 - 1, no overflow
    c.caps.hash_size = 31;   // mask 2^32 - 1: the shift is made in 64 bits
    return c;
  }
};

TEST_F(SmallCapsTest, FormulasClampAtZero) {
  HwFunction& fn = device(0);
  MifhHwSizes s{};
  ASSERT_EQ(mifh_query_hw_sizes(&fn.device, &s), 0u);
  EXPECT_EQ(s.Size218, 0u);
  EXPECT_EQ(s.Size260, 0u);
  EXPECT_EQ(s.Size258, 0u);
  EXPECT_EQ(s.Size2B0, 0x7FFFFFFFu);
}

TEST_F(SmallCapsTest, HashMaskOfThirtyOneKeepsAllBits) {
  HwFunction& fn = device(0);
  const std::uint32_t h = mifh_conn_hash_index(&fn.device, 3, 0x0A4D0002, 4791, 50000);
  std::uint8_t key[16] = {0,         0,          0, 0, 0, 0, 0, 3, 0x0A, 0x4D, 0x00, 0x02, 50000 >> 8, 50000 & 0xFF,
                          4791 >> 8, 4791 & 0xFF};
  EXPECT_EQ(h, __builtin_bswap32(mifh_crc32c(key, 16)));
}

TEST_F(ConfigTest, ConnectionHashVectorsAndMask) {
  // CRC-32C check value of "123456789".
  const std::uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(mifh_crc32c(digits, 9), 0xE3069283u);
  HwFunction& fn = device(0);
  mifh_write_indexed(&fn.device, zekhw::kIdxHashSize, 11);
  for (std::uint16_t port = 1000; port < 1200; ++port) {
    EXPECT_LT(mifh_conn_hash_index(&fn.device, 1, 0x0A000001 + port, port, 4791), 4096u);
  }
  // The adapter's table and the driver agree on every index.
  EXPECT_EQ(mifh_conn_hash_index(&fn.device, 7, 0xC0A80001, 80, 12345),
            zeksim::connection_hash(11, 7, 0xC0A80001, 80, 12345));
}

TEST_F(ConfigTest, SerdesNotReadyAfterAHundredReads) {
  HwFunction& fn = device(0);
  EXPECT_EQ(init_vorla1_serdes(&fn.device), MIFH_STATUS_FAIL);
  EXPECT_TRUE(logged("Serdes 0 is not ready"));
  mifh_write_indexed(&fn.device, 0x280C, 0xF);
  EXPECT_EQ(init_vorla1_serdes(&fn.device), 0u);
  EXPECT_EQ(indexed(fn, 0x2828), 0xF0182222u);
  EXPECT_EQ(indexed(fn, 0x2834), 0xFFu);
}

TEST_F(ConfigTest, Field5000KeepsItsMaskAndSetsBit15) {
  HwFunction& fn = device(0);
  mifh_write_indexed(&fn.device, zekhw::kIdxNicControl, 0xFFFFFFFF);
  ASSERT_EQ(mifh_write_field_5000(&fn.device, 0), 0u);
  EXPECT_EQ(indexed(fn, zekhw::kIdxNicControl), 0x13F3Fu & ~(1u << 15));
  ASSERT_EQ(mifh_write_field_5000(&fn.device, 1), 0u);
  EXPECT_EQ(indexed(fn, zekhw::kIdxNicControl), (0x13F3Fu & ~(1u << 15)) | 1u << 15);
}

TEST_F(ConfigTest, ScratchpadNeedsItsSignature) {
  HwFunction& fn = device(0);
  HwScratchpadObj pad{};
  fn.device.Scratchpad = &pad;
  std::uint64_t v = 0;
  EXPECT_EQ(mifh_set_hw_scratchpad(&fn.device, 42), MIFH_STATUS_FAIL);
  pad.Signature = MIFH_SCRATCHPAD_SIGNATURE;
  EXPECT_EQ(mifh_set_hw_scratchpad(&fn.device, 42), 0u);
  EXPECT_EQ(mifh_get_hw_scratchpad(&fn.device, &v), 0u);
  EXPECT_EQ(v, 42u);
}

TEST(FailoverTables, ModeZeroAndTwo) {
  struct Case {
    std::uint32_t function;
    bool up;
    std::uint32_t port_mode, phy, current, expected;
  };
  // c = (bits 6-7 -> 4-5) | (bits 2-3 -> 0-1) of the current value.
  for (const Case& c :
       {Case{0, false, 1, 0, 0x00, 0x55}, Case{0, true, 1, 0, 0xCC, 0}, Case{0, true, 0, 0, 0xFF, 0xFC},
        Case{0, false, 0, 5, 0x10, 0x12}, Case{0, false, 0, 0, 0x10, 0x11}, Case{1, true, 1, 0, 0xFF, 0x77},
        Case{1, false, 1, 0, 0xFF, 0x00}, Case{1, true, 0, 5, 0x00, 0x08}, Case{1, false, 0, 0, 0xFF, 0xF3},
        Case{3, true, 0, 0, 0x00, 0xC0}, Case{3, false, 0, 5, 0xFF, 0x7F}}) {
    SCOPED_TRACE(testing::Message() << "f" << c.function << " up " << c.up << " mode " << c.port_mode);
    const std::uint32_t cc = ((c.current >> 6) & 3) << 4 | ((c.current >> 2) & 3);
    const std::uint32_t expected = c.function == 0 && c.up && c.port_mode == 1 ? cc << 2 : c.expected;
    EXPECT_EQ(mifh_failover_mode0_value(c.function, c.up, c.port_mode, c.phy, c.current), expected);
  }
  EXPECT_EQ(mifh_failover_mode2_value(0, true, 0, 0xFF), 0xF0u);
  EXPECT_EQ(mifh_failover_mode2_value(0, false, 5, 0xF0), 0xFAu);
  EXPECT_EQ(mifh_failover_mode2_value(2, true, 0, 0x0B), ((2u + 40) << 2) | 3);
}

TEST_F(ConfigTest, FailoverModesOnlyOnTheirFunctions) {
  HwFunction& f1 = device(1);
  mifh_write_indexed(&f1.device, zekhw::kIdxPortMap, 0x12);
  mifh_failover_mode1(&f1.device, false);
  mifh_failover_mode2(&f1.device, false);
  EXPECT_EQ(indexed(f1, zekhw::kIdxPortMap), 0x12u) << "modes 1 and 2 leave function 1 alone";
  HwFunction& f0 = device(0);
  f0.device.PortMode = 1;
  mifh_failover_mode0(&f0.device, false);
  EXPECT_EQ(indexed(f0, zekhw::kIdxPortMap), 0x55u);
}

TEST_F(ConfigTest, DrainGivesUpAfterAThousandReadsAndStillReinitialises) {
  HwFunction& fn = device(0);
  fn.device.FailoverType = 2;
  fn.device.BoardType = 0;
  mifh_write_indexed(&fn.device, zekhw::idx_tx_reads(0), 1u << 24);  // reads that never drain
  mifh_write_indexed(&fn.device, 0x280C, 0xF);
  mifh_write_indexed(&fn.device, 0x2A0C, 0xF);
  mifh_failover_mode0(&fn.device, false);
  EXPECT_TRUE(logged("Unable to drain port 0 for failover operation"));
  EXPECT_EQ(indexed(fn, 0x21F4), 0xFF9u) << "the function's MAC was set up again";
  EXPECT_EQ(indexed(fn, 0x23F4), 0xFF9u) << "and its partner's";
}

TEST_F(ConfigTest, PortModeZeroCopiesNeverTakeOrClearAnotherFunctionsSlot) {
  // Two functions of one board strapped to port mode 0: function 0's copies
  // (slots 5 to 7) include function 1's own slot 5.
  const std::uint8_t mac0[6] = {2, 0, 0, 0, 0, 0x10};
  const std::uint8_t mac1[6] = {2, 0, 0, 0, 0, 0x11};
  for (const bool zero_first : {true, false}) {
    SCOPED_TRACE(zero_first ? "function 0 first" : "function 1 first");
    HwFunction& f0 = device(0);
    HwFunction& f1 = device(1);
    for (unsigned s = 0; s < zekhw::kMacSlots; ++s) mifh_zero_mac_address(&f0.device, s);
    f0.device.PortMode = 0;
    f1.device.PortMode = 0;
    if (zero_first) {
      ASSERT_EQ(mifh_hw_init_zek_nic(&f0.device, mac0, 4), 0u);
    }
    ASSERT_EQ(mifh_hw_init_zek_nic(&f1.device, mac1, 5), 0u);
    if (!zero_first) {
      ASSERT_EQ(mifh_hw_init_zek_nic(&f0.device, mac0, 4), 0u);
    }
    EXPECT_EQ(indexed(f0, zekhw::idx_mac_low(5)), 0x11u) << "slot 5 holds function 1's address";
    ASSERT_EQ(mifh_hw_clear_zek_nic(&f0.device, 4), 0u);
    EXPECT_EQ(indexed(f0, zekhw::idx_mac_low(5)), 0x11u) << "function 0's detach leaves function 1's slot";
    EXPECT_EQ(indexed(f0, zekhw::idx_mac_high(5)) >> 16, 0x15u) << "still valid";
    for (unsigned s = 6; s <= 7; ++s)
      EXPECT_NE(indexed(f0, zekhw::idx_mac_low(s)), 0x10u) << "no copy of 0 left in " << s;
    ASSERT_EQ(mifh_hw_clear_zek_nic(&f1.device, 5), 0u);
  }
}

// A drain on function 0 sets function 1's port up again through function
// 0's own index pair: function 1, in the middle of an indexed read under its
// own lock (index written, data not yet read), finds its index untouched.
TEST_F(ConfigTest, ADrainNeverWorksAnotherFunctionsIndexPair) {
  HwFunction& f0 = device(0);
  HwFunction& f1 = device(1);
  f0.device.FailoverType = 2;
  f0.device.BoardType = 0;
  mifh_write_indexed(&f0.device, zekhw::idx_scratchpad(3), 0x5A5A);
  mifh_write_indexed(&f0.device, 0x23F4, 0);
  ASSERT_EQ(mifh_acquire_indexreg_spinlock(&f1.device), ZEK_STATUS_PASS);
  mifh_write_reg(&f1.device, zekhw::index_register(1), zekhw::idx_scratchpad(3));
  mifh_drain_tx_rd_num_port(&f0.device, 0);
  const std::uint32_t read = mifh_read_reg(&f1.device, zekhw::data_register(1));
  mifh_release_indexreg_spinlock(&f1.device);
  EXPECT_EQ(read, 0x5A5Au) << "the drain moved function 1's index";
  EXPECT_EQ(indexed(f0, 0x23F4), 0xFF9u) << "function 1's port was set up again";
}

TEST_F(ConfigTest, PortDrainSetsUpBothFunctionsOfThePair) {
  // Mode 1's drain of port 1 (or 0) resets the pair's transmit path: both
  // functions of the pair are set up again, whichever port was named.
  for (const std::uint32_t port : {0u, 1u}) {
    SCOPED_TRACE(port);
    HwFunction& fn = device(0);
    fn.device.FailoverType = 2;
    fn.device.BoardType = 0;
    mifh_write_indexed(&fn.device, 0x21F4, 0);
    mifh_write_indexed(&fn.device, 0x23F4, 0);
    mifh_drain_tx_rd_num_port(&fn.device, port);
    EXPECT_EQ(indexed(fn, 0x21F4), 0xFF9u) << "function 0's MAC was set up again";
    EXPECT_EQ(indexed(fn, 0x23F4), 0xFF9u) << "and function 1's";
  }
}

}  // namespace
