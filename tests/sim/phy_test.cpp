// The board's MDIO bus and PHYs, the lane words, and the link that follows
// the wire: what the link test and the PHY set-up read and write.
#include <chrono>

#include "include/hw/phy.h"
#include "tests/sim/storage_fixture.h"

namespace {

using namespace zekhw;
using namespace std::chrono_literals;

class PhyTest : public StorageBoardTest {
 public:
  zeksim::BoardConfig config() override {
    zeksim::BoardConfig c = StorageBoardTest::config();
    c.functions = 4;
    c.phy_types = types_;
    c.mdio_addresses = {0, 9, 10, 11};
    c.link_allowed = link_allowed_;
    c.lanes_ready = true;
    return c;
  }
  // One frame, waiting for its completion (10 us per look) and clearing it.
  std::uint32_t frame(std::uint32_t value) {
    idx_wr(kIdxMdioFrame, value);
    int looks = 0;
    while ((idx_rd(kIdxMdioDone) & kMdioDoneBit) == 0) {
      EXPECT_LT(++looks, 200) << "the frame never completes";
      if (looks >= 200) break;
      advance(10us);
    }
    idx_wr(kIdxMdioDone, kMdioDoneBit);
    return idx_rd(kIdxMdioFrame) & kMdioDataMask;
  }
  std::uint16_t c45(unsigned port, unsigned device, std::uint32_t reg) {
    frame(mdio_c45_address(port, device, reg));
    return static_cast<std::uint16_t>(frame(mdio_c45_read(port, device)));
  }
  std::uint16_t c22(unsigned phy, unsigned reg) { return static_cast<std::uint16_t>(frame(mdio_c22_read(phy, reg))); }

  std::array<std::uint8_t, 4> types_{2, 3, 4, 9};
  bool link_allowed_ = true;
};

TEST_F(PhyTest, AFrameCompletesAfterAMomentAndItsDoneBitIsWriteOneToClear) {
  idx_wr(kIdxMdioFrame, mdio_c22_read(4, c22::kStatus));
  EXPECT_EQ(idx_rd(kIdxMdioDone) & kMdioDoneBit, 0u) << "not done at once";
  advance(20us);
  EXPECT_EQ(idx_rd(kIdxMdioDone) & kMdioDoneBit, kMdioDoneBit);
  EXPECT_NE(idx_rd(kIdxMdioFrame) & c22::kLinkStatus, 0u);
  idx_wr(kIdxMdioDone, kMdioDoneBit);
  EXPECT_EQ(idx_rd(kIdxMdioDone) & kMdioDoneBit, 0u);
}

// What each PHY answers with the link up and down.
struct LinkCase {
  const char* what;
  bool clause22;
  unsigned port, device;
  std::uint32_t reg, mask, up, down;
};

TEST_F(PhyTest, EachProbedPhyAnswersItsLinkRegisters) {
  const LinkCase cases[] = {
      {"copper status, PHY 4 + function 0", true, 4, 0, c22::kStatus, c22::kLinkStatus, c22::kLinkStatus, 0},
      {"copper auxiliary status", true, 4, 0, c22::kAuxStatus, c22::kAuxLink, c22::kAuxLink, 0},
      {"copper busy bit stays clear", true, 4, 0, c22::kBusy, 0x8000, 0, 0},
      {"clause-45 PHY at address 0 (function 1, type 3)", false, 0, 1, c45::kStatus, 0x4, 0x4, 0},
      {"SFP+ at function 2's address: link fault", false, 10, 1, c45::kLinkFault, 0xFFFF, 0, 1},
      {"SFP+ link state", false, 10, 3, c45::kLinkState, 0xFFFF, c45::kLinkUp3, 0},
      {"SFP+ of type 9 at function 3's address", false, 11, 3, c45::kLinkState, 0xFFFF, c45::kLinkUp3, 0},
      {"SFP+ firmware ready", false, 10, 3, c45::kFirmwareState, 0xFF, c45::kFirmwareReady, c45::kFirmwareReady},
      {"no PHY at address 9: the bus reads all ones", false, 9, 1, c45::kStatus, 0xFFFF, 0xFFFF, 0xFFFF},
      {"no copper PHY at 5 (function 1 is not type 2)", true, 5, 0, c22::kStatus, 0xFFFF, 0xFFFF, 0xFFFF},
  };
  for (bool up : {true, false}) {
    board().set_carrier(up);
    for (const LinkCase& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (up ? ", link up" : ", link down"));
      const std::uint32_t v = c.clause22 ? c22(c.port, c.reg) : c45(c.port, c.device, c.reg);
      EXPECT_EQ(v & c.mask, up ? c.up : c.down);
    }
  }
}

TEST_F(PhyTest, TheSfpHeartbeatMovesOnlyWhileItsFirmwareRuns) {
  const std::uint16_t a = c45(10, 3, c45::kHeartbeat);
  EXPECT_NE(c45(10, 3, c45::kHeartbeat), a);
  frame(mdio_c45_address(10, 1, c45::kFirmwareControl));
  frame(mdio_c45_write(10, 1, 0));
  const std::uint16_t b = c45(10, 3, c45::kHeartbeat);
  EXPECT_EQ(c45(10, 3, c45::kHeartbeat), b);
  EXPECT_EQ(c45(10, 3, c45::kFirmwareState) & 0xFF, 0u);
  frame(mdio_c45_address(10, 1, c45::kFirmwareControl));
  frame(mdio_c45_write(10, 1, 2));
  EXPECT_NE(c45(10, 3, c45::kHeartbeat), b);
  const std::vector<zeksim::MdioWrite> expected = {{10, 1, c45::kFirmwareControl, 0},
                                                   {10, 1, c45::kFirmwareControl, 2}};
  EXPECT_EQ(board().mdio_writes(), expected);
}

TEST_F(PhyTest, TheCopperResetBitClearsItself) {
  frame(mdio_c22_write(4, c22::kControl, 0x8000));
  EXPECT_NE(c22(4, c22::kControl) & 0x8000, 0u) << "still resetting at the first look";
  EXPECT_EQ(c22(4, c22::kControl) & 0x8000, 0u);
  frame(mdio_c22_write(4, 25, 0xFFEE));
  EXPECT_EQ(c22(4, 25), 0xFFEE) << "other registers keep what was written";
}

TEST_F(PhyTest, TheLinkFollowsThePeerAndRaisesTheLinkCause) {
  for (unsigned f = 0; f < 4; ++f) wr(kRegIntrMask, 0, f);
  board().set_carrier(false);
  EXPECT_FALSE(board().link_up());
  for (unsigned port : {0u, 1u}) {
    EXPECT_EQ(idx_rd(idx_lane_status(port)) & kLaneSyncBits, 0u);
    EXPECT_EQ(idx_rd(idx_lane_ready(port)) & kLaneReadyBits, kLaneReadyBits) << "the lanes stay ready";
  }
  for (unsigned f = 0; f < 4; ++f) {
    EXPECT_EQ(rd(kRegFunctionFlags, f) & (1u << f), 1u << f) << f;
    EXPECT_NE(rd(kRegIntrCause, f) & (1u << (kIntrLinkShift + f)), 0u) << f;
    wr(kRegFunctionFlags, 0xFF, f);
    wr(kRegIntrCause, 0xFFFF'FFFF, f);
  }
  // Lane control bits are kept whatever the link does.
  idx_wr(kIdxLaneStatus1, 0x00600000);
  board().set_carrier(true);
  EXPECT_TRUE(board().link_up());
  EXPECT_EQ(idx_rd(kIdxLaneStatus1), 0x00600000 | kLaneSyncBits | kLaneStatusLow | kLaneStatusHigh);
  EXPECT_EQ(rd(kRegFunctionFlags, 2), 1u << 2);
  // No change, no event.
  wr(kRegFunctionFlags, 0xFF, 2);
  board().set_carrier(true);
  EXPECT_EQ(rd(kRegFunctionFlags, 2), 0u);
}

class LinkDownTest : public PhyTest {
 public:
  LinkDownTest() { link_allowed_ = false; }
};

TEST_F(LinkDownTest, ALinkConfiguredDownStaysDownWithAPeer) {
  board().set_carrier(true);
  EXPECT_FALSE(board().link_up());
  EXPECT_EQ(idx_rd(kIdxLaneStatus0) & kLaneSyncBits, 0u);
  EXPECT_EQ(c22(4, c22::kStatus) & c22::kLinkStatus, 0u);
}

}  // namespace
