// The owner/follower framework: which GIM owns after each join and leave,
// what a new owner inherits, the hardware semaphore, and the services built
// on it (flash and EEPROM locks, link callbacks, IP address slots) and the
// tables' registration.
#include "tests/proxy/rdma/rm/rm_fixture.h"

namespace {

using Owners = RmTest;

ZekExclusionObject* head(ZekGim* gim) { return &gim->Head; }

TEST_F(Owners, BlockSizeFollowsTheResourceCount) {
  const std::pair<std::uint32_t, std::uint32_t> cases[] = {
      {1, 1},     {16, 1},    {17, 8},     {256, 8},     {257, 32},    {1024, 32},
      {1025, 64}, {8192, 64}, {8193, 128}, {32768, 128}, {32769, 256}, {1u << 20, 256},
  };
  for (const auto& [count, size] : cases) EXPECT_EQ(GromitBlockSize(count), size) << count;
}

// The first GIM owns and is in the scratchpad; the owner leaving hands to
// the last follower of its list that took the state over; the last GIM leaving writes
// null. The interface table goes with the ownership.
TEST_F(Owners, OwnershipPassesToTheLastFollowerAndTheLastLeaverClearsTheScratchpad) {
  ZekGim* gims[kFunctions] = {};
  for (std::uint32_t f = 0; f < kFunctions; ++f) ASSERT_EQ(Create_GIM(&gims[f], device(f)), ZEK_STATUS_PASS);
  EXPECT_EQ(scratchpad_owner(), head(gims[0]));
  for (ZekGim* g : gims) EXPECT_EQ(g->Head.Owner, head(gims[0]));
  EXPECT_EQ(gims[0]->Head.FollowerCount, kFunctions);

  ASSERT_EQ(g_ZekGimTable.RegisterInterface(gims[1], 0x1234, 77), ZEK_STATUS_PASS);
  // The owner's list was {0, 1, 2}; 0 leaves and 2 moves into its place, so
  // the last follower of the list is 1.
  ASSERT_EQ(Cleanup_GIM(gims[0]), ZEK_STATUS_PASS);
  EXPECT_EQ(scratchpad_owner(), head(gims[1]));
  EXPECT_EQ(gims[1]->Head.Owner, head(gims[1]));
  EXPECT_EQ(gims[2]->Head.Owner, head(gims[1]));
  EXPECT_EQ(gims[1]->Head.FollowerCount, 2u);
  std::uint64_t value = 0;
  EXPECT_EQ(g_ZekGimTable.GetInterface(gims[2], 0x1234, &value), ZEK_STATUS_PASS);
  EXPECT_EQ(value, 77u);
  ASSERT_EQ(g_ZekGimTable.DeregisterInterface(gims[2], 0x1234), ZEK_STATUS_PASS);

  // A follower leaving changes no owner; the last one clears the scratchpad.
  ASSERT_EQ(Cleanup_GIM(gims[2]), ZEK_STATUS_PASS);
  EXPECT_EQ(scratchpad_owner(), head(gims[1]));
  ASSERT_EQ(Cleanup_GIM(gims[1]), ZEK_STATUS_PASS);
  EXPECT_EQ(scratchpad_value(), 0u);
}

TEST_F(Owners, InterfaceTableRefusesWhenFullAndFindsTheFirstEntry) {
  ZekGim* gim = nullptr;
  ASSERT_EQ(Create_GIM(&gim, device(0)), ZEK_STATUS_PASS);
  for (std::uint32_t i = 0; i < ZEK_GIM_MAX_INTERFACES; ++i) {
    ASSERT_EQ(g_ZekGimTable.RegisterInterface(gim, 100 + i, i), ZEK_STATUS_PASS);
  }
  EXPECT_EQ(g_ZekGimTable.RegisterInterface(gim, 1, 1), ZEK_STATUS_FAIL);
  EXPECT_EQ(g_ZekGimTable.DeregisterInterface(gim, 100), ZEK_STATUS_PASS);
  std::uint64_t value = 0;
  EXPECT_EQ(g_ZekGimTable.GetInterface(gim, 100 + ZEK_GIM_MAX_INTERFACES - 1, &value), ZEK_STATUS_PASS)
      << "the last entry moved into the hole";
  EXPECT_EQ(g_ZekGimTable.GetInterface(gim, 100, &value), ZEK_STATUS_FAIL);
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(g_ZekGimTable.ReregisterInterface(gim, 100, 5), ZEK_STATUS_FAIL);
  for (std::uint32_t i = 1; i < ZEK_GIM_MAX_INTERFACES; ++i) g_ZekGimTable.DeregisterInterface(gim, 100 + i);
  ASSERT_EQ(Cleanup_GIM(gim), ZEK_STATUS_PASS);
}

// A scratchpad that never shows its signature: the GIM gives up after its
// tries (the waits move the virtual clock) and nothing stays allocated.
TEST_F(Owners, AMissingHardwareSemaphoreFailsTheJoin) {
  scratchpad_.Signature = 0;
  const std::int64_t before = clock().now();
  ZekGim* gim = reinterpret_cast<ZekGim*>(1);
  EXPECT_EQ(Create_GIM(&gim, device(0)), ZEK_STATUS_FAIL);
  EXPECT_EQ(gim, nullptr);
  EXPECT_TRUE(logged("myGIMExcIF_RegisterSelf: Failed to obtain HW semaphore"));
  EXPECT_TRUE(logged("Error: myGIMExcIF_RegisterSelf failed"));
  EXPECT_GE(clock().now() - before, std::int64_t{4} * 20 * plat::Clock::kUnitsPerMs) << "four back-offs of 20 ms";
}

// A follower whose owner's head is overwritten forwards nothing.
TEST_F(Owners, AForwardToAnOwnerWithABadSignatureFails) {
  ZekGim* gims[2] = {};
  ASSERT_EQ(Create_GIM(&gims[0], device(0)), ZEK_STATUS_PASS);
  ASSERT_EQ(Create_GIM(&gims[1], device(1)), ZEK_STATUS_PASS);
  gims[0]->Head.Signature = 0xDEAD;
  EXPECT_EQ(g_ZekGimTable.Lock(gims[1]), ZEK_STATUS_FAIL);
  EXPECT_TRUE(logged("myGIMExcIF_Slave_Lock: Signature Check Fails"));
  EXPECT_EQ(g_ZekGimTable.Lock(nullptr), ZEK_STATUS_BAD_PTR);
  EXPECT_EQ(g_ZekGimTable.Lock(reinterpret_cast<void*>(ZEK_UNINITIALISED_POINTER)), ZEK_STATUS_BAD_PTR);
  gims[0]->Head.Signature = ZEK_EXCLUSION_SIGNATURE;
  ASSERT_EQ(Cleanup_GIM(gims[1]), ZEK_STATUS_PASS);
  ASSERT_EQ(Cleanup_GIM(gims[0]), ZEK_STATUS_PASS);
}

// ---- Flash and EEPROM locks --------------------------------------------------------------------------
struct DeviceLock {
  const char* name;
  ZekStatus (*lock)(const ZekGimTable*, void*);
  ZekStatus (*release)(const ZekGimTable*, void*);
  const char* already;
  const char* not_locked;
};
const DeviceLock kDeviceLocks[] = {
    {"flash", &ZEK_Lock_Flash, &ZEK_Release_Flash, "ZEK_Lock_Flash: Flash already Locked",
     "Flash Manager Was Unlocked without having been locked"},
    {"eeprom", &ZEK_Lock_EEProm, &ZEK_Release_EEProm, "ZEK_Lock_EEProm: EEProm already Locked",
     "EEProm Manager Was Unlocked without having been locked"},
};

// One holder per adapter: a second lock, from this function or another,
// fails until the holder releases; releasing a free lock only reports.
TEST_F(Owners, FlashAndEepromLocksHaveOneHolderPerAdapter) {
  ZekGim* gims[2] = {};
  ASSERT_EQ(Create_GIM(&gims[0], device(0)), ZEK_STATUS_PASS);
  ASSERT_EQ(Create_GIM(&gims[1], device(1)), ZEK_STATUS_PASS);
  for (const DeviceLock& l : kDeviceLocks) {
    SCOPED_TRACE(l.name);
    OSPrimLogRingClear();
    EXPECT_EQ(l.release(&g_ZekGimTable, gims[0]), ZEK_STATUS_FAIL);
    EXPECT_TRUE(logged(l.not_locked));
    ASSERT_EQ(l.lock(&g_ZekGimTable, gims[0]), ZEK_STATUS_PASS);
    EXPECT_EQ(l.lock(&g_ZekGimTable, gims[0]), ZEK_STATUS_FAIL);
    EXPECT_TRUE(logged(l.already));
    EXPECT_EQ(l.lock(&g_ZekGimTable, gims[1]), ZEK_STATUS_FAIL);
    EXPECT_EQ(l.lock(nullptr, gims[1]), ZEK_STATUS_BAD_PTR);
    ASSERT_EQ(l.release(&g_ZekGimTable, gims[1]), ZEK_STATUS_PASS);
    ASSERT_EQ(l.lock(&g_ZekGimTable, gims[1]), ZEK_STATUS_PASS);
    ASSERT_EQ(l.release(&g_ZekGimTable, gims[0]), ZEK_STATUS_PASS);
  }
  ASSERT_EQ(Cleanup_GIM(gims[1]), ZEK_STATUS_PASS);
  ASSERT_EQ(Cleanup_GIM(gims[0]), ZEK_STATUS_PASS);
}

// ---- Link callbacks -------------------------------------------------------------------------------------------
TEST_F(Owners, LinkCallbacksRefuseTheSixtyFifthAndALeaverTakesAllOfItsOwn) {
  ZekGim* gims[2] = {};
  ZekGlmi* glmis[2] = {};
  for (std::uint32_t f = 0; f < 2; ++f) {
    ASSERT_EQ(Create_GIM(&gims[f], device(f)), ZEK_STATUS_PASS);
    ASSERT_EQ(Create_Glmi(&glmis[f], &g_ZekGimTable, gims[f], device(f)), ZEK_STATUS_PASS);
  }
  for (std::uint32_t i = 0; i < 3; ++i) ASSERT_EQ(GLMI_Serf_Register_Callback(glmis[1], 10 + i, i), ZEK_STATUS_PASS);
  for (std::uint32_t i = 3; i < ZEK_GLMI_MAX_CALLBACKS; ++i) {
    ASSERT_EQ(GLMI_Serf_Register_Callback(glmis[0], 10 + i, i), ZEK_STATUS_PASS);
  }
  EXPECT_EQ(GLMI_Serf_Register_Callback(glmis[0], 999, 0), ZEK_STATUS_FAIL) << "nothing stored, and said so";
  EXPECT_EQ(ZekGlmiCallbackCount(glmis[0]), ZEK_GLMI_MAX_CALLBACKS);
  EXPECT_EQ(GLMI_Serf_DeRegister_Callback(glmis[0], 20), ZEK_STATUS_PASS);
  EXPECT_EQ(ZekGlmiCallbackCount(glmis[1]), ZEK_GLMI_MAX_CALLBACKS - 1);

  ASSERT_EQ(Cleanup_Glmi(glmis[1]), ZEK_STATUS_PASS);
  EXPECT_EQ(ZekGlmiCallbackCount(glmis[0]), ZEK_GLMI_MAX_CALLBACKS - 4) << "all three of the leaver's entries went";
  ASSERT_EQ(Cleanup_Glmi(glmis[0]), ZEK_STATUS_PASS);
  for (ZekGim* g : gims) ASSERT_EQ(Cleanup_GIM(g), ZEK_STATUS_PASS);
}

// ---- IP address slots ---------------------------------------------------------------------------------------------
TEST_F(Owners, IpSlotsAreFirstFitAndSurviveAnOwnerLeaving) {
  ZekGim* gims[2] = {};
  ZekIpaddr* ip[2] = {};
  for (std::uint32_t f = 0; f < 2; ++f) {
    ASSERT_EQ(Create_GIM(&gims[f], device(f)), ZEK_STATUS_PASS);
    ASSERT_EQ(Create_IPADDRM(&ip[f], &g_ZekGimTable, gims[f], device(f)), ZEK_STATUS_PASS);
  }
  EXPECT_EQ(ip[0]->ArpTableSize, ZEK_MIN_ARP_TABLE_SIZE);
  for (std::uint32_t i = 1; i <= ZEK_IP_TABLE_SIZE; ++i)
    ASSERT_EQ(IPADDR_Serf_Add_IPAddress(ip[i % 2], i), ZEK_STATUS_PASS);
  EXPECT_EQ(IPADDR_Serf_Add_IPAddress(ip[0], 100), ZEK_STATUS_FAIL);
  ASSERT_EQ(IPADDR_Serf_Remove_IPAddress(ip[1], 7), ZEK_STATUS_PASS);
  ASSERT_EQ(IPADDR_Serf_Add_IPAddress(ip[0], 100), ZEK_STATUS_PASS);
  std::uint32_t index = 0;
  ASSERT_EQ(IPADDR_Serf_GetIndexForIP(ip[1], 100, &index), ZEK_STATUS_PASS);
  EXPECT_EQ(index, 6u) << "the slot address 7 had";
  EXPECT_EQ(IPADDR_Serf_GetIndexForIP(ip[1], 7, &index), ZEK_STATUS_FAIL);
  ASSERT_EQ(IPADDR_Serf_Add_Arp(ip[1], 0x0A000001), ZEK_STATUS_PASS);

  // The owner leaves: the new owner still knows every slot in use.
  ASSERT_EQ(Cleanup_IPADDRM(ip[0]), ZEK_STATUS_PASS);
  EXPECT_EQ(IPADDR_Serf_Add_IPAddress(ip[1], 200), ZEK_STATUS_FAIL) << "a full table stays full";
  ASSERT_EQ(IPADDR_Serf_GetIndexForIP(ip[1], 100, &index), ZEK_STATUS_PASS);
  EXPECT_EQ(index, 6u);
  ASSERT_EQ(IPADDR_Serf_GetIndexForArp(ip[1], 0x0A000001, &index), ZEK_STATUS_PASS);
  EXPECT_EQ(index, 0u);
  ASSERT_EQ(Cleanup_IPADDRM(ip[1]), ZEK_STATUS_PASS);
  for (ZekGim* g : gims) ASSERT_EQ(Cleanup_GIM(g), ZEK_STATUS_PASS);
}

// ---- Table registration ---------------------------------------------------------------------------------------------
TEST_F(Owners, CountedTablesRegisterOnceAndComplainAboutAnExtraCleanup) {
  struct Case {
    ZekStatus (*init)();
    ZekStatus (*cleanup)();
    std::uint32_t id;
    const char* too_many;
  };
  const Case cases[] = {
      {&ZEK_Init_Gromit, &ZEK_Cleanup_Gromit, GRM_INTERFACE, "GRoMiT being cleaned up more times than initialized"},
      {&ZEK_Init_MRTE, &ZEK_Cleanup_MRTE, MRTE_MNGR_INTERFACE, "MRTE Manager being cleaned up more times"},
      {&ZEK_Init_Flash, &ZEK_Cleanup_Flash, FLASH_MNGR_INTERFACE, "Flash Manager being cleaned up more times"},
      {&ZEK_Init_EEProm, &ZEK_Cleanup_EEProm, EEPROM_MNGR_INTERFACE, "EEProm Manager being cleaned up more times"},
      {&ZEK_Init_IPADDR, &ZEK_Cleanup_IPADDR, IPADDR_MNGR_INTERFACE, "IPADDR Manager being cleaned up more times"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.too_many);
    ASSERT_EQ(c.init(), ZEK_STATUS_PASS);
    ASSERT_EQ(c.init(), ZEK_STATUS_PASS);
    EXPECT_EQ(c.cleanup(), ZEK_STATUS_PASS);
    void* table = nullptr;
    EXPECT_EQ(ZEK_GetInterface(c.id, &table), ZEK_STATUS_PASS) << "one init still holds it";
    EXPECT_EQ(c.cleanup(), ZEK_STATUS_PASS);
    EXPECT_NE(ZEK_GetInterface(c.id, &table), ZEK_STATUS_PASS);
    EXPECT_EQ(c.cleanup(), ZEK_STATUS_FAIL);
    EXPECT_TRUE(logged(c.too_many));
  }
}

}  // namespace
