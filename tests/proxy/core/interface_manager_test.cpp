// The interface manager.
#include <string>

#include "tests/proxy/core/registry_fixture.h"

namespace {

using InterfaceManagerTest = RegistryTest;

struct Table {
  ZekInterfaceHeader header;
  int marker;
};
const Table kFirst{{ZEK_SIG_INTERFACE_TABLE, sizeof(Table)}, 1};
const Table kSecond{{ZEK_SIG_INTERFACE_TABLE, sizeof(Table)}, 2};

int marker_of(std::uint32_t id) {
  void* table = nullptr;
  if (ZEK_GetInterface(id, &table) != ZEK_STATUS_PASS) return 0;
  return static_cast<const Table*>(table)->marker;
}

TEST_F(InterfaceManagerTest, DuplicateIdsAreKeptAndTheFirstAnswers) {
  ASSERT_EQ(ZEK_RegisterInterface(GIM_INTERFACE, &kFirst, "Global Interface Manager"), ZEK_STATUS_PASS);
  ASSERT_EQ(ZEK_RegisterInterface(GIM_INTERFACE, &kSecond, "Global Interface Manager"), ZEK_STATUS_PASS);
  EXPECT_EQ(marker_of(GIM_INTERFACE), 1);
  EXPECT_EQ(ZEK_DeregisterInterface(GIM_INTERFACE), ZEK_STATUS_PASS);
  EXPECT_EQ(marker_of(GIM_INTERFACE), 2);
  EXPECT_EQ(ZEK_DeregisterInterface(GIM_INTERFACE), ZEK_STATUS_PASS);
  void* table = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(ZEK_GetInterface(GIM_INTERFACE, &table), ZEK_STATUS_IF_NOT_FOUND);
  EXPECT_EQ(table, reinterpret_cast<void*>(0x1234));  // left as it was
  EXPECT_EQ(ZEK_DeregisterInterface(GIM_INTERFACE), ZEK_STATUS_IF_NOT_FOUND);
  EXPECT_NE(ring_text().find("ZEK_GetInterface: Interface Manager unable to find interface (d678ae81)\n"),
            std::string::npos);
}

TEST_F(InterfaceManagerTest, RemovalMovesTheLastEntryIntoTheHole) {
  ASSERT_EQ(ZEK_RegisterInterface(GRM_INTERFACE, &kFirst, "Global Resource Manager"), ZEK_STATUS_PASS);
  ASSERT_EQ(ZEK_RegisterInterface(LRM_INTERFACE, &kFirst, "Local Resource Manager"), ZEK_STATUS_PASS);
  ASSERT_EQ(ZEK_RegisterInterface(MRTE_MNGR_INTERFACE, &kSecond, "Global Perfect Table Manager"), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_DeregisterInterface(GRM_INTERFACE), ZEK_STATUS_PASS);
  EXPECT_EQ(marker_of(GRM_INTERFACE), 0);
  EXPECT_EQ(marker_of(LRM_INTERFACE), 1);
  EXPECT_EQ(marker_of(MRTE_MNGR_INTERFACE), 2);
  EXPECT_EQ(ZEK_DeregisterInterface(MRTE_MNGR_INTERFACE), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_DeregisterInterface(LRM_INTERFACE), ZEK_STATUS_PASS);
}

TEST_F(InterfaceManagerTest, RefusesMissingRoutineTablesAndOutPointers) {
  EXPECT_EQ(ZEK_RegisterInterface(FLASH_MNGR_INTERFACE, nullptr, "Flash Manager"), ZEK_STATUS_BAD_PTR);
  EXPECT_EQ(ZEK_RegisterInterface(FLASH_MNGR_INTERFACE, reinterpret_cast<const void*>(ZEK_UNINITIALISED_POINTER),
                                  "Flash Manager"),
            ZEK_STATUS_BAD_PTR);
  EXPECT_EQ(marker_of(FLASH_MNGR_INTERFACE), 0);
  EXPECT_NE(ring_text().find("ZEK_RegisterInterface: Routines were NULL!\n"), std::string::npos);
  ASSERT_EQ(ZEK_RegisterInterface(FLASH_MNGR_INTERFACE, &kFirst, "Flash Manager"), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_GetInterface(FLASH_MNGR_INTERFACE, nullptr), ZEK_STATUS_BAD_PTR);
  EXPECT_EQ(ZEK_DeregisterInterface(FLASH_MNGR_INTERFACE), ZEK_STATUS_PASS);
}

TEST_F(InterfaceManagerTest, AFullTableRefusesTheNextInterface) {
  static const int routines = 0;
  for (std::uint32_t id = 0; id < ZEK_MAX_INTERFACES; ++id) {
    ASSERT_EQ(ZEK_RegisterInterface(0x10000000 + id, &routines, "filler"), ZEK_STATUS_PASS) << id;
  }
  EXPECT_EQ(ZEK_RegisterInterface(EEPROM_MNGR_INTERFACE, &kFirst, "EEProm Manager"), ZEK_STATUS_IF_MNGR_ERROR);
  EXPECT_NE(ring_text().find("ZEK_RegisterInterface: Interface Manager exceeded maximum number of registered "
                             "libraries\n"),
            std::string::npos);
  void* table = nullptr;
  EXPECT_EQ(ZEK_GetInterface(0x10000000 + ZEK_MAX_INTERFACES - 1, &table), ZEK_STATUS_PASS);
  EXPECT_EQ(table, &routines);
  for (std::uint32_t id = 0; id < ZEK_MAX_INTERFACES; ++id) {
    ASSERT_EQ(ZEK_DeregisterInterface(0x10000000 + id), ZEK_STATUS_PASS) << id;
  }
}

// Getters: the answer of the first entry with the id stands.
ZekInterfaceEntry* g_entries_seen = nullptr;
ZekStatus getter_gives_second(std::uint32_t id, void** table, ZekInterfaceEntry* entries) {
  g_entries_seen = entries;
  *table = const_cast<Table*>(&kSecond);
  return ZEK_STATUS_PASS;
}
ZekStatus getter_knows_nothing(std::uint32_t, void**, ZekInterfaceEntry*) { return ZEK_STATUS_IF_NOT_FOUND; }

TEST_F(InterfaceManagerTest, AGettersAnswerStandsEvenWhenItFindsNothing) {
  ASSERT_EQ(ZEK_RegisterInterfaceFunction(IPADDR_MNGR_INTERFACE, getter_gives_second, "by getter"), ZEK_STATUS_PASS);
  ASSERT_EQ(ZEK_RegisterInterface(IPADDR_MNGR_INTERFACE, &kFirst, "by table"), ZEK_STATUS_PASS);
  EXPECT_EQ(marker_of(IPADDR_MNGR_INTERFACE), 2);
  ASSERT_NE(g_entries_seen, nullptr);
  EXPECT_EQ(g_entries_seen[0].InterfaceId, IPADDR_MNGR_INTERFACE);

  ASSERT_EQ(ZEK_RegisterInterfaceFunction(LINK_MNGR_INTERFACE, getter_knows_nothing, "empty getter"), ZEK_STATUS_PASS);
  ASSERT_EQ(ZEK_RegisterInterface(LINK_MNGR_INTERFACE, &kFirst, "behind it"), ZEK_STATUS_PASS);
  void* table = nullptr;
  EXPECT_EQ(ZEK_GetInterface(LINK_MNGR_INTERFACE, &table), ZEK_STATUS_IF_NOT_FOUND);

  // An entry with neither table nor getter is passed over.
  ASSERT_EQ(ZEK_RegisterInterfaceFunction(MCRQ_KERNEL_VERBS_INTERFACE, nullptr, "hollow"), ZEK_STATUS_PASS);
  ASSERT_EQ(ZEK_RegisterInterface(MCRQ_KERNEL_VERBS_INTERFACE, &kSecond, "MCRQ Kernel Verbs"), ZEK_STATUS_PASS);
  EXPECT_EQ(marker_of(MCRQ_KERNEL_VERBS_INTERFACE), 2);
  EXPECT_NE(ring_text().find("ZEK_GetInterface: Interface and Interface Functions were NULL\n"), std::string::npos);

  for (std::uint32_t id : {IPADDR_MNGR_INTERFACE, LINK_MNGR_INTERFACE, MCRQ_KERNEL_VERBS_INTERFACE}) {
    EXPECT_EQ(ZEK_DeregisterInterface(id), ZEK_STATUS_PASS);
    EXPECT_EQ(ZEK_DeregisterInterface(id), ZEK_STATUS_PASS);
  }
}

TEST_F(InterfaceManagerTest, CleanupWithInterfacesLeftKeepsTheManagerUsable) {
  ASSERT_EQ(ZEK_RegisterInterface(IWARP_KERNEL_VERBS_INTERFACE, &kFirst, "IWarp Kernel Verbs"), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_Cleanup_c_if_mngr(), ZEK_STATUS_FAIL);
  EXPECT_EQ(marker_of(IWARP_KERNEL_VERBS_INTERFACE), 1);
  EXPECT_STREQ(ZEK_GetFunctionName(0x30200), "GET_INTERFACE");
  EXPECT_EQ(ZEK_DeregisterInterface(IWARP_KERNEL_VERBS_INTERFACE), ZEK_STATUS_PASS);
  // The refused cleanup did not use up the count: the fixture's cleanup ends it.
}

TEST_F(InterfaceManagerTest, WorksAtDispatchLevel) {
  at_dispatch([] {
    EXPECT_EQ(ZEK_RegisterInterface(IWARP_VERBS_INTERFACE, &kFirst, "IWarp Verbs"), ZEK_STATUS_PASS);
    EXPECT_EQ(marker_of(IWARP_VERBS_INTERFACE), 1);
    EXPECT_EQ(ZEK_DeregisterInterface(IWARP_VERBS_INTERFACE), ZEK_STATUS_PASS);
  });
}

class UninitialisedManagerTest : public OsprimTest {};

TEST_F(UninitialisedManagerTest, AnswersNotInitialised) {
  void* table = nullptr;
  EXPECT_EQ(ZEK_RegisterInterface(GIM_INTERFACE, &kFirst, "Global Interface Manager"), ZEK_STATUS_LIB_NOT_INITIALIZED);
  EXPECT_EQ(ZEK_GetInterface(GIM_INTERFACE, &table), ZEK_STATUS_IF_MNGR_ERROR);
  EXPECT_EQ(ZEK_DeregisterInterface(GIM_INTERFACE), ZEK_STATUS_IF_MNGR_ERROR);
  EXPECT_EQ(ZEK_Cleanup_c_if_mngr(), ZEK_STATUS_FAIL);
  const std::string log = ring_text();
  EXPECT_NE(log.find("ZEK_RegisterInterface: Interface Manager was not initialized before using\n"), std::string::npos);
  EXPECT_NE(log.find("ZEK_Cleanup_c_if_mngr Interface Manager being cleaned up more times than it was initialized"),
            std::string::npos);
}

TEST_F(UninitialisedManagerTest, InitNeedsTheMessageRegistryAndLeavesNothingWhenRefused) {
  // Without the message registry the manager's names cannot be registered.
  EXPECT_EQ(ZEK_Init_c_if_mngr(), ZEK_STATUS_LIB_NOT_INITIALIZED);
  void* table = nullptr;
  EXPECT_EQ(ZEK_GetInterface(GIM_INTERFACE, &table), ZEK_STATUS_IF_MNGR_ERROR);
  // A refused init is not counted: the next one does the work.
  ASSERT_EQ(ZEK_Init_c_err_msgs(), ZEK_STATUS_PASS);
  ASSERT_EQ(ZEK_Init_c_if_mngr(), ZEK_STATUS_PASS);
  ASSERT_EQ(ZEK_Init_c_if_mngr(), ZEK_STATUS_PASS);
  EXPECT_STREQ(ZEK_GetFunctionName(0x30000), "INIT_C_IF_MNGR");
  EXPECT_EQ(ZEK_Cleanup_c_if_mngr(), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_RegisterInterface(GIM_INTERFACE, &kFirst, "still up"), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_DeregisterInterface(GIM_INTERFACE), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_Cleanup_c_if_mngr(), ZEK_STATUS_PASS);
  // The last cleanup took the manager's names away with it.
  EXPECT_STREQ(ZEK_GetFunctionName(0x30000), "Unknown Function Name");
  EXPECT_EQ(ZEK_GetInterface(GIM_INTERFACE, &table), ZEK_STATUS_IF_MNGR_ERROR);
  EXPECT_EQ(ZEK_Cleanup_c_err_msgs(), ZEK_STATUS_PASS);
}

}  // namespace
