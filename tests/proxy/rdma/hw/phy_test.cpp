// MDIO access and the link test against the adapter model: each PHY type's
// answer with the link up and down, the bounds of its repeated reads, the
// lane retry, link-allowed, and MDIO frames that never break into another
// driver's indexed accesses.
#include <atomic>
#include <thread>

#include "proxy/rdma/hw/failover.h"
#include "tests/proxy/rdma/hw/storage_fixture.h"

namespace {

using namespace zekhw;

struct LinkCase {
  const char* what;
  std::uint8_t type;
  std::uint8_t port;          // the device's port byte
  std::uint8_t mdio_address;  // the device's MDIO port address (and the board's for SFP+)
  std::uint8_t mdio_device;   // the device's MDIO device byte
  bool up_with_peer;          // the result while a peer is on the wire
};

class LinkTest : public StorageHwTest, public ::testing::WithParamInterface<LinkCase> {
 public:
  void adjust(zeksim::BoardConfig& c) override {
    c.phy_types = {GetParam().type, 6, 6, 6};
    c.mdio_addresses = {GetParam().mdio_address, 1, 2, 3};
  }
  MifhDeviceObj& prepared() {
    HwFunction& fn = device(0);
    fn.device.PhyType = GetParam().type;
    fn.device.Port = GetParam().port;
    fn.device.PhyMdioAddress = GetParam().mdio_address;
    fn.device.MdioDevice = GetParam().mdio_device;
    fn.device.LinkAllowed = 1;
    return fn.device;
  }
};

TEST_P(LinkTest, TheLinkFollowsThePeerAndLinkAllowed) {
  MifhDeviceObj& d = prepared();
  const LinkCase& c = GetParam();
  // A few tests in a row: the SFP+ test settles the lane control on its first.
  std::uint32_t up = 0;
  for (int i = 0; i < 2; ++i) up = phy_link_is_up(&d);
  EXPECT_EQ(up, c.up_with_peer ? 1u : 0u);
  EXPECT_EQ(d.LinkResult, up);
  board().set_carrier(false);
  EXPECT_EQ(phy_link_is_up(&d), 0u) << "no peer";
  board().set_carrier(true);
  d.LinkAllowed = 0;
  EXPECT_EQ(phy_link_is_up(&d), 0u) << "link not allowed";
  EXPECT_EQ(d.LinkResult, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Types, LinkTest,
    ::testing::Values(LinkCase{"copper clause 22 at 4 + 0", kPhyCopper1G, 0, 0, 4, true},
                      LinkCase{"clause 45 at address 0, device 1", kPhyClause45, 0, 0, 1, true},
                      LinkCase{"SFP+ type 4 at address 5", kPhySfp, 0, 5, 1, true},
                      LinkCase{"SFP+ type 9 at address 7, second lane block", kPhySfp9, 1, 7, 1, true},
                      LinkCase{"SerDes, port 0", kPhySerdes, 0, 0, 0, true},
                      LinkCase{"SerDes, port 3", kPhySerdes, 3, 0, 0, true},
                      LinkCase{"SerDes, port 4: no such port", kPhySerdes, 4, 0, 0, false},
                      LinkCase{"type 6, the lane words", kPhyDirect, 1, 0, 0, true},
                      LinkCase{"copper at the wrong address: nobody answers", kPhyCopper1G, 0, 0, 6, false}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

class PhyHwTest : public StorageHwTest {
 public:
  void adjust(zeksim::BoardConfig& c) override { c.phy_types = {kPhyCopper1G, kPhySfp, 6, 6}; }
  MifhDeviceObj& copper() {
    HwFunction& fn = device(0);
    fn.device.PhyType = kPhyCopper1G;
    fn.device.MdioDevice = 4;
    fn.device.LinkAllowed = 1;
    return fn.device;
  }
  MifhDeviceObj& sfp() {
    HwFunction& fn = device(1);
    fn.device.PhyType = kPhySfp;
    fn.device.PhyMdioAddress = 1;
    fn.device.MdioDevice = 1;
    fn.device.LinkAllowed = 1;
    return fn.device;
  }
};

TEST_F(PhyHwTest, ACopperPhyStuckBusyIsDownAfterItsBoundedReads) {
  MifhDeviceObj& d = copper();
  ASSERT_EQ(phy_link_is_up(&d), 1u);
  // Register 26 bit 15 set: the PHY stays busy.
  ASSERT_EQ(mifh_write_indexed(&d, kIdxMdioFrame, mdio_c22_write(4, c22::kBusy, 0x8000)), ZEK_STATUS_PASS);
  ASSERT_EQ(mdio_wait_done(&d), 0u);
  const std::size_t before = board().mdio_writes().size();
  EXPECT_EQ(phy_link_is_up(&d), 0u);
  EXPECT_EQ(board().mdio_writes().size(), before) << "the link test only reads";
}

TEST_F(PhyHwTest, LanesOutOfSyncGetBothControlBitsOnTheEleventhTest) {
  MifhDeviceObj& d = sfp();
  board().set_carrier(false);  // the lanes lose sync
  std::uint32_t lane = 0;
  for (std::uint32_t test = 1; test <= 10; ++test) {
    EXPECT_EQ(phy_link_is_up(&d), 0u);
    ASSERT_EQ(mifh_read_indexed(&d, kIdxLaneStatus0, &lane), ZEK_STATUS_PASS);
    EXPECT_EQ(lane & kLaneControlMask, 0u) << "test " << test << ": the bits read back, none set";
    EXPECT_EQ(d.LaneRetryCounter, test);
  }
  EXPECT_EQ(phy_link_is_up(&d), 0u);
  ASSERT_EQ(mifh_read_indexed(&d, kIdxLaneStatus0, &lane), ZEK_STATUS_PASS);
  EXPECT_EQ(lane & kLaneControlMask, kLaneControlMask);
  EXPECT_EQ(d.LaneRetryCounter, 0u) << "the count restarts";
  EXPECT_EQ(d.LanesInSync, 0u);
  board().set_carrier(true);
  EXPECT_EQ(phy_link_is_up(&d), 1u);
  EXPECT_EQ(d.LanesInSync, 1u);
}

TEST_F(PhyHwTest, AReadAnswersAndABadDeviceObjectReadsAllOnes) {
  MifhDeviceObj& d = sfp();
  board().set_carrier(true);
  std::uint16_t v = 0;
  EXPECT_EQ(mifh_mdio_read(&d, c45::kStatus, &v), 0u);
  EXPECT_EQ(v & 0x4, 0x4);
  // A device object that is no device object.
  EXPECT_EQ(mifh_mdio_read(reinterpret_cast<MifhDeviceObj*>(0xCCCCCCCCull), 1, &v), 1u);
  EXPECT_EQ(v, 0xFFFF);
}

class SlowMdioTest : public PhyHwTest {
 public:
  void adjust(zeksim::BoardConfig& c) override {
    PhyHwTest::adjust(c);
    c.timing.mdio_frame = std::chrono::hours(1);
  }
};

TEST_F(SlowMdioTest, AFrameThatNeverCompletesFailsAfterItsPolls) {
  MifhDeviceObj& d = sfp();
  std::uint16_t v = 0;
  EXPECT_EQ(mifh_mdio_read(&d, c45::kStatus, &v), 1u);
  EXPECT_EQ(v, 0xFFFF);
  EXPECT_EQ(mdio_read_c45(&d, 3, c45::kLinkState, &v), 0u) << "the clause-45 read always answers 0";
  EXPECT_EQ(v, 0xFFFF);
  EXPECT_EQ(phy_link_is_up(&d), 0u);
}

TEST_F(PhyHwTest, MdioFramesNeverSplitAnotherIndexedAccess) {
  // The link test's frames on one thread, the other driver's indexed reads
  // through the same device object on another: every index write is
  // followed by its own data access (the fixture fails the test on any
  // interleaving).
  MifhDeviceObj& d = sfp();
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) {
      std::uint32_t v = 0;
      mifh_read_indexed(&d, kIdxFlashMode, &v);
    }
  });
  for (int i = 0; i < 200; ++i) EXPECT_EQ(phy_link_is_up(&d), 1u);
  done = true;
  reader.join();
  EXPECT_TRUE(board().index_races().empty());
}

}  // namespace
