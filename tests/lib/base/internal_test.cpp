// Getter entries of the interface manager: registered by zekbase's own
// code only (ZEK_RegisterInterfaceFunction is not exported), so this test
// links the library's objects directly.
#include "tests/lib/base/base_fixture.h"

namespace {

using GetterTest = BaseTest;

const int kTable = 0;
const int kLaterTable = 0;
std::uint32_t g_asked_for = 0;

ZekStatus hand_out_table(std::uint32_t id, void** table) {
  g_asked_for = id;
  *table = const_cast<int*>(&kTable);
  return ZEK_STATUS_PASS;
}

ZekStatus not_mine(std::uint32_t id, void**) {
  g_asked_for = id;
  return ZEK_STATUS_IF_NOT_FOUND;
}

ZekStatus busy(std::uint32_t, void**) { return ZEK_STATUS_RES_INSUFFICIENT_SW; }

TEST_F(GetterTest, AGetterAnswersForItsIdWithTheTwoArgumentCall) {
  ASSERT_EQ(ZEK_RegisterInterfaceFunction(0x110001, hand_out_table, "u_Verbs"), ZEK_STATUS_PASS);
  void* table = nullptr;
  EXPECT_EQ(ZEK_GetInterface(0x110001, &table), ZEK_STATUS_PASS);
  EXPECT_EQ(table, &kTable);
  EXPECT_EQ(g_asked_for, 0x110001u);
  EXPECT_EQ(ZEK_DeregisterInterface(0x110001), ZEK_STATUS_PASS);
}

TEST_F(GetterTest, TheFirstGettersAnswerStandsEvenNotFound) {
  struct Case {
    ZekInterfaceGetter getter;
    ZekStatus status;
  };
  for (const Case c : {Case{not_mine, ZEK_STATUS_IF_NOT_FOUND}, Case{busy, ZEK_STATUS_RES_INSUFFICIENT_SW}}) {
    ASSERT_EQ(ZEK_RegisterInterfaceFunction(0xD0000, c.getter, "u_Sockets"), ZEK_STATUS_PASS);
    ASSERT_EQ(ZEK_RegisterInterface(0xD0000, &kLaterTable, "u_Sockets"), ZEK_STATUS_PASS);
    void* table = reinterpret_cast<void*>(0x99);
    // The later entry with a table is not tried.
    EXPECT_EQ(ZEK_GetInterface(0xD0000, &table), c.status);
    EXPECT_EQ(table, reinterpret_cast<void*>(0x99));
    EXPECT_EQ(ZEK_DeregisterInterface(0xD0000), ZEK_STATUS_PASS);
    EXPECT_EQ(ZEK_DeregisterInterface(0xD0000), ZEK_STATUS_PASS);
  }
}

TEST_F(GetterTest, AnEntryWithNeitherTableNorGetterIsSkipped) {
  ASSERT_EQ(ZEK_RegisterInterfaceFunction(0xD0000, nullptr, "empty"), ZEK_STATUS_PASS);
  ASSERT_EQ(ZEK_RegisterInterface(0xD0000, &kLaterTable, "u_Sockets"), ZEK_STATUS_PASS);
  void* table = nullptr;
  EXPECT_EQ(ZEK_GetInterface(0xD0000, &table), ZEK_STATUS_PASS);
  EXPECT_EQ(table, &kLaterTable);
  EXPECT_TRUE(logged("ZEK_GetInterface: Interface and Interface Functions were NULL\n"));
  EXPECT_EQ(ZEK_DeregisterInterface(0xD0000), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_DeregisterInterface(0xD0000), ZEK_STATUS_PASS);
}

TEST(GetterBeforeInit, IsRefused) {
  EXPECT_EQ(ZEK_RegisterInterfaceFunction(0xD0000, hand_out_table, "u_Sockets"), ZEK_STATUS_LIB_NOT_INITIALIZED);
}

}  // namespace
