// The miniport's PHY set-up against the adapter model: the choice by PHY
// type (the forced 1G copper type, the probe), the 1G copper PHY's register
// sequence, the SFP+ firmware load only when the firmware does not run, and
// the SerDes maintenance's triggers and its skip while failover is set.
#include <memory>
#include <vector>

#include "include/hw/phy.h"
#include "miniport/adapter.h"
#include "miniport/phy_setup.h"
#include "proxy/rdma/hw/failover.h"
#include "proxy/rdma/hw/phy.h"
#include "tests/proxy/rdma/hw/storage_fixture.h"

namespace {

using namespace zekhw;

struct Board {
  std::uint8_t type;
  std::uint8_t port_count_field;
};

class PhySetupTest : public StorageHwTest, public ::testing::WithParamInterface<Board> {
 public:
  void adjust(zeksim::BoardConfig& c) override {
    c.phy_types = {GetParam().type, 6, 6, 6};
    c.mdio_addresses = {2, 1, 2, 3};
    c.port_count_field = GetParam().port_count_field;
  }
  MifhDeviceObj& prepared() {
    fn_ = &device(0);
    MifhDeviceObj& d = fn_->device;
    d.PhyType = GetParam().type;
    d.PortCountField = GetParam().port_count_field;
    d.PhyMdioAddress = 2;
    d.MdioDevice = 1;
    d.MacPause = 0x100;
    return d;
  }
  std::uint32_t mac_control() {
    std::uint32_t v = 0;
    mifh_read_indexed(&fn_->device, idx_port_mac(0, 4), &v);
    return v;
  }
  HwFunction* fn_ = nullptr;
};

// Each PHY type: the type and MDIO addresses it settles on and the MAC control it writes.
struct TypeCase {
  const char* name;
  Board board;
  std::uint8_t type, mdio_device;
  std::uint32_t mac_control;
};
class PhyTypeCases : public StorageHwTest, public ::testing::WithParamInterface<TypeCase> {
 public:
  void adjust(zeksim::BoardConfig& c) override {
    c.phy_types = {GetParam().board.type, 6, 6, 6};
    c.port_count_field = GetParam().board.port_count_field;
  }
};

TEST_P(PhyTypeCases, SettlesTheTypeAndWritesItsMacControl) {
  const TypeCase& c = GetParam();
  HwFunction& fn = device(0);
  MifhDeviceObj& d = fn.device;
  d.PhyType = c.board.type;
  d.PortCountField = c.board.port_count_field;
  d.MacPause = 0x100;
  ASSERT_EQ(ZekPhySetup(&d), ZEK_STATUS_PASS);
  EXPECT_EQ(d.PhyType, c.type);
  EXPECT_EQ(d.MdioDevice, c.mdio_device);
  std::uint32_t v = 0;
  mifh_read_indexed(&d, idx_port_mac(0, 4), &v);
  EXPECT_EQ(v, 0x100 | c.mac_control);
}

INSTANTIATE_TEST_SUITE_P(
    Types, PhyTypeCases,
    ::testing::Values(TypeCase{"clause 45", {3, 1}, 3, 1, 0x14},
                      TypeCase{"unprobed: a clause-45 PHY answers", {0, 1}, 3, 1, 0x14},
                      TypeCase{"types above 9 are probed", {12, 1}, 3, 1, 0x14}, TypeCase{"type 1", {1, 1}, 1, 0, 0x14},
                      TypeCase{"type 6 on a strapped port: addresses unchanged", {6, 1}, 6, 0, 0x14},
                      TypeCase{"type 6 with port-count field 0 is 1G copper", {6, 0}, 2, 4, 0x4},
                      TypeCase{"type 5 keeps its type with port-count field 0", {5, 0}, 5, 0, 0x4}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

class CopperTest : public PhySetupTest {};

// The 1G copper PHY: reset, then its registers in the set-up's order.
TEST_P(CopperTest, TheSetUpWritesItsRegistersInOrder) {
  MifhDeviceObj& d = prepared();
  ASSERT_EQ(ZekPhySetup(&d), ZEK_STATUS_PASS);
  EXPECT_EQ(d.PhyType, kPhyCopper1G);
  std::vector<std::uint32_t> regs;
  for (const zeksim::MdioWrite& w : board().mdio_writes()) regs.push_back(w.reg);
  EXPECT_EQ(regs, (std::vector<std::uint32_t>{23, 0, 0, 25, 4, 9, 0}));
  EXPECT_EQ(mac_control(), 0x100u | 0x4);
}
INSTANTIATE_TEST_SUITE_P(Copper, CopperTest, ::testing::Values(Board{2, 1}));

class SfpTest : public PhySetupTest {};

// An SFP+ PHY whose firmware runs is left alone; one whose firmware stopped
// gets its type's load list, in order, and runs again.
TEST_P(SfpTest, LoadsTheFirmwareOnlyWhenItDoesNotRun) {
  MifhDeviceObj& d = prepared();
  ASSERT_EQ(ZekPhySetup(&d), ZEK_STATUS_PASS);
  EXPECT_TRUE(board().mdio_writes().empty()) << "the firmware ran: nothing loaded";
  // Stop the firmware, then set up again.
  ASSERT_EQ(mifh_write_10G_phy_reg(&d, 1, c45::kFirmwareControl, 0), 0u);
  const std::size_t before = board().mdio_writes().size();
  ASSERT_EQ(ZekPhySetup(&d), ZEK_STATUS_PASS);
  const auto writes = board().mdio_writes();
  ASSERT_GT(writes.size(), before);
  const zeksim::MdioWrite first = writes[before];
  EXPECT_EQ(first, (zeksim::MdioWrite{2, 1, 0x0000, 0x8000}));
  bool started = false;
  for (std::size_t i = before; i < writes.size(); ++i) {
    started = started || (writes[i].device == 1 && writes[i].reg == c45::kFirmwareControl && writes[i].value == 2);
  }
  EXPECT_TRUE(started);
  EXPECT_EQ(writes.back().reg, GetParam().type == kPhySfp9 ? 0xF00Fu : 0xC314u);
  std::uint16_t state = 0;
  mdio_read_c45(&d, 3, c45::kFirmwareState, &state);
  EXPECT_GE(state & 0xFF, c45::kFirmwareReady);
  EXPECT_EQ(mac_control(), 0x100u | 0x14);
}
INSTANTIATE_TEST_SUITE_P(Sfp, SfpTest, ::testing::Values(Board{4, 1}, Board{8, 1}, Board{9, 1}));

// The SerDes maintenance of function 0: a grown error counter with no
// traffic and no SerDes progress sets the port up again; a failover mode,
// or counters that did not grow, do nothing.
class SerdesTest : public StorageHwTest {
 public:
  void SetUp() override {
    StorageHwTest::SetUp();
    if (HasFatalFailure()) return;
    adapter_ = std::make_unique<ZEK_ADAPTER>();
    hw_ = std::make_unique<NIC_HW_INFO>();
    adapter_->HwInfo = hw_.get();
    bringup::init_device(hw_->Device, 0, windows_[0][0], windows_[0][1], windows_[0][2]);
    hw_->Device.Initialised = 1;
    hw_->Device.PortCountField = 1;
  }
  void TearDown() override {
    mifh_set_failover(false, 0);
    StorageHwTest::TearDown();
  }
  std::unique_ptr<ZEK_ADAPTER> adapter_;
  std::unique_ptr<NIC_HW_INFO> hw_;
};

TEST_F(SerdesTest, SetsThePortUpAgainOnlyWhenItsCounterGrew) {
  MifhDeviceObj& d = hw_->Device;
  EXPECT_EQ(ZekSerdesMaintenance(adapter_.get()), 0u) << "no errors counted";
  mifh_write_indexed(&d, kIdxSerdesErrors, 0x00000003);
  mifh_set_failover(true, 1);
  EXPECT_EQ(ZekSerdesMaintenance(adapter_.get()), 0u) << "a failover mode is set";
  EXPECT_EQ(adapter_->Oid.SerdesSaved, 0u) << "nothing read while failover is set";
  mifh_set_failover(false, 0);
  EXPECT_EQ(ZekSerdesMaintenance(adapter_.get()), 1u);
  EXPECT_EQ(adapter_->Oid.SerdesReinitCount, 1u);
  EXPECT_EQ(adapter_->Oid.SerdesSaved, 3u);
  mifh_write_indexed(&d, kIdxSerdesErrors, 0x00000002);
  EXPECT_EQ(ZekSerdesMaintenance(adapter_.get()), 0u) << "the counter went down";
  EXPECT_EQ(adapter_->Oid.SerdesReinitCount, 1u);
}

}  // namespace
