// The status-message and function-name registries and the interface manager
// of zekbase, as a process uses them after ZEK_InitLib_Base.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "include/zek/interfaces.h"
#include "tests/lib/base/base_fixture.h"

namespace {

using RegistryTest = BaseTest;

const char* const kTextsA[] = {"A0", "A1"};
const char* const kTextsB[] = {"B0", "B1", "B2"};
const char* const kTextsC[] = {"C0"};

TEST_F(RegistryTest, EveryCodeHasItsTextOrTheBadCodeText) {
  struct Case {
    ZekStatus code;
    const char* text;
  };
  for (const Case c : {
           Case{0, "ZEK_STATUS_PASS"},
           Case{2, "ZEK_STATUS_BAD_PTR"},
           Case{6, "ZEK_STATUS_LIB_NOT_INITIALIZED"},
           Case{7, "UNKNOWN ERROR CODE 7"},
           Case{11, "UNKNOWN ERROR CODE 11"},
           Case{18, "ZEK_STATUS_ADDR_INVALID_HANDLE"},
           Case{19, "Bad Error Code Error"},
           Case{0x40000, "ZEK_ERROR_BAD_ERROR_CODE"},
           Case{0x40004, "ZEK_STATUS_ERROR_MSGS_STILL_REGISTERED"},
           Case{0x40005, "Bad Error Code Error"},
           Case{0x30000, "Bad Error Code Error"},  // the interface manager has names, no texts
           Case{0x30001, "Bad Error Code Error"},
           Case{0x50001, "Bad Error Code Error"},  // the verbs texts come with the verbs library
           Case{0xFFFFFFFF, "Bad Error Code Error"},
       }) {
    EXPECT_STREQ(ZEK_GetErrorMessage(c.code), c.text) << std::hex << c.code;
  }
}

TEST_F(RegistryTest, AKeyRegisteredTwiceStaysUntilItsSecondDeregistration) {
  ASSERT_EQ(ZEK_RegisterErrorMessages(0x50000, kTextsA, 2, "Iwarp Verbs (silicon)"), ZEK_STATUS_PASS);
  ASSERT_EQ(ZEK_RegisterErrorMessages(0x50000, kTextsB, 3, "Iwarp Verbs (silicon)"), ZEK_STATUS_PASS);
  EXPECT_STREQ(ZEK_GetErrorMessage(0x50001), "A1");  // the first texts stay
  EXPECT_STREQ(ZEK_GetErrorMessage(0x50002), "Bad Error Code Error");
  EXPECT_EQ(ZEK_DeregisterErrorMessages(0x50000), ZEK_STATUS_PASS);
  EXPECT_STREQ(ZEK_GetErrorMessage(0x50000), "A0");
  EXPECT_EQ(ZEK_DeregisterErrorMessages(0x50000), ZEK_STATUS_PASS);
  EXPECT_STREQ(ZEK_GetErrorMessage(0x50000), "Bad Error Code Error");
  EXPECT_EQ(ZEK_DeregisterErrorMessages(0x50000), ZEK_STATUS_LIB_NOT_FOUND);
}

TEST_F(RegistryTest, RemovingTheFirstOfThreeSetsMovesTheThirdIntoItsPlace) {
  ASSERT_EQ(ZEK_RegisterErrorMessages(0x70000, kTextsA, 2, "A"), ZEK_STATUS_PASS);
  ASSERT_EQ(ZEK_RegisterErrorMessages(0x80000, kTextsB, 3, "B"), ZEK_STATUS_PASS);
  ASSERT_EQ(ZEK_RegisterErrorMessages(0x90000, kTextsC, 1, "C"), ZEK_STATUS_PASS);
  ASSERT_EQ(ZEK_RegisterErrorMessages(0x90000, kTextsC, 1, "C"), ZEK_STATUS_PASS);  // C has two uses
  EXPECT_EQ(ZEK_DeregisterErrorMessages(0x70000), ZEK_STATUS_PASS);
  EXPECT_STREQ(ZEK_GetErrorMessage(0x70000), "Bad Error Code Error");
  EXPECT_STREQ(ZEK_GetErrorMessage(0x80002), "B2");
  // The moved set kept its own use count: two deregistrations remove it.
  EXPECT_EQ(ZEK_DeregisterErrorMessages(0x90000), ZEK_STATUS_PASS);
  EXPECT_STREQ(ZEK_GetErrorMessage(0x90000), "C0");
  EXPECT_EQ(ZEK_DeregisterErrorMessages(0x90000), ZEK_STATUS_PASS);
  EXPECT_STREQ(ZEK_GetErrorMessage(0x90000), "Bad Error Code Error");
  EXPECT_EQ(ZEK_DeregisterErrorMessages(0x80000), ZEK_STATUS_PASS);
}

TEST_F(RegistryTest, AFullMessageTableRefusesNewSets) {
  std::uint32_t registered = 0;
  for (std::uint32_t key = 0x1000000; registered < ZEK_MAX_MESSAGE_GROUPS - 2; key += 0x10000, ++registered) {
    ASSERT_EQ(ZEK_RegisterErrorMessages(key, kTextsA, 2, "filler"), ZEK_STATUS_PASS);
  }
  EXPECT_EQ(ZEK_RegisterErrorMessages(0x70000, kTextsB, 3, "one too many"), ZEK_ERROR_TOO_MANY_MESSAGES_REGISTERED);
  EXPECT_TRUE(logged("ZEK_RegisterErrMessages: Status Messages exceeded maximum number of registered libraries\n"));
  EXPECT_STREQ(ZEK_GetErrorMessage(0x70000), "Bad Error Code Error");
  EXPECT_STREQ(ZEK_GetErrorMessage(0x1000001), "A1");
  for (std::uint32_t i = 0; i < registered; ++i) {
    ASSERT_EQ(ZEK_DeregisterErrorMessages(0x1000000 + i * 0x10000), ZEK_STATUS_PASS);
  }
}

TEST_F(RegistryTest, FunctionNamesAreIndexedByBits15To8) {
  struct Case {
    std::uint32_t code;
    const char* name;
  };
  for (const Case c : {Case{0x30000, "INIT_C_IF_MNGR"}, Case{0x30100, "CLEANUP_C_IF_MNGR"},
                       Case{0x30200, "GET_INTERFACE"}, Case{0x302AB, "GET_INTERFACE"},
                       Case{0x30300, "REGISTER_INTERFACE_FUNCTION"}, Case{0x30500, "DEREGISTER_INTERFACE"},
                       Case{0x30600, "Unknown Function Name"}, Case{0x00000, "Unknown Function Name"}}) {
    EXPECT_STREQ(ZEK_GetFunctionName(c.code), c.name) << std::hex << c.code;
  }
}

TEST_F(RegistryTest, FunctionNamesRegisteredTwiceLeaveNothingAfterTwoDeregistrations) {
  const char* const kNames[] = {"ZEK_u_socket", "ZEK_u_bind"};
  ASSERT_EQ(ZEK_RegisterFunctionNames(0xD0000, kNames, 2, "u_Sockets"), ZEK_STATUS_PASS);
  ASSERT_EQ(ZEK_RegisterFunctionNames(0xD0000, kNames, 2, "u_Sockets"), ZEK_STATUS_PASS);
  EXPECT_STREQ(ZEK_GetFunctionName(0xD0100), "ZEK_u_bind");
  EXPECT_EQ(ZEK_DeregisterFunctionNames(0xD0000), ZEK_STATUS_PASS);
  EXPECT_STREQ(ZEK_GetFunctionName(0xD0100), "ZEK_u_bind");
  EXPECT_EQ(ZEK_DeregisterFunctionNames(0xD0000), ZEK_STATUS_PASS);
  EXPECT_STREQ(ZEK_GetFunctionName(0xD0100), "Unknown Function Name");
  EXPECT_EQ(ZEK_DeregisterFunctionNames(0xD0000), ZEK_STATUS_LIB_NOT_FOUND);
}

// Interface manager.
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

TEST_F(RegistryTest, AnInterfaceIsPublishedFetchedAndWithdrawn) {
  ASSERT_EQ(ZEK_RegisterInterface(0xD0000, &kFirst, "u_Sockets"), ZEK_STATUS_PASS);
  ASSERT_EQ(ZEK_RegisterInterface(0xD0000, &kSecond, "u_Sockets"), ZEK_STATUS_PASS);
  EXPECT_EQ(marker_of(0xD0000), 1);  // the first registration answers
  EXPECT_EQ(ZEK_DeregisterInterface(0xD0000), ZEK_STATUS_PASS);
  EXPECT_EQ(marker_of(0xD0000), 2);
  EXPECT_EQ(ZEK_DeregisterInterface(0xD0000), ZEK_STATUS_PASS);
  void* table = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(ZEK_GetInterface(0xD0000, &table), ZEK_STATUS_IF_NOT_FOUND);
  EXPECT_EQ(table, reinterpret_cast<void*>(0x1234));  // left as it was
  EXPECT_EQ(ZEK_DeregisterInterface(0xD0000), ZEK_STATUS_IF_NOT_FOUND);
  EXPECT_EQ(ZEK_GetInterface(0xE0000, &table), ZEK_STATUS_IF_NOT_FOUND);  // native sockets: nobody's
  EXPECT_TRUE(logged("ZEK_GetInterface: Interface Manager unable to find interface (000e0000)\n"));
}

TEST_F(RegistryTest, MissingRoutineTablesAreRefusedAndNothingIsAdded) {
  EXPECT_EQ(ZEK_RegisterInterface(0x110001, nullptr, "u_Verbs"), ZEK_STATUS_BAD_PTR);
  EXPECT_EQ(ZEK_RegisterInterface(0x110001, reinterpret_cast<const void*>(ZEK_UNINITIALISED_POINTER), "u_Verbs"),
            ZEK_STATUS_BAD_PTR);
  EXPECT_TRUE(logged("ZEK_RegisterInterface: Routines were NULL!\n"));
  EXPECT_EQ(marker_of(0x110001), 0);
  EXPECT_EQ(ZEK_DeregisterInterface(0x110001), ZEK_STATUS_IF_NOT_FOUND);
  ASSERT_EQ(ZEK_RegisterInterface(0x110001, &kFirst, "u_Verbs"), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_GetInterface(0x110001, nullptr), ZEK_STATUS_BAD_PTR);
  EXPECT_EQ(ZEK_DeregisterInterface(0x110001), ZEK_STATUS_PASS);
}

TEST_F(RegistryTest, AFullInterfaceTableRefusesTheNextEntry) {
  static const int routines = 0;
  for (std::uint32_t id = 0; id < ZEK_MAX_INTERFACES; ++id) {
    ASSERT_EQ(ZEK_RegisterInterface(0x10000000 + id, &routines, "filler"), ZEK_STATUS_PASS) << id;
  }
  EXPECT_EQ(ZEK_RegisterInterface(0xD0000, &kFirst, "u_Sockets"), ZEK_STATUS_IF_MNGR_ERROR);
  EXPECT_TRUE(logged("ZEK_RegisterInterface: Interface Manager exceeded maximum number of registered libraries\n"));
  EXPECT_EQ(marker_of(0xD0000), 0);
  for (std::uint32_t id = 0; id < ZEK_MAX_INTERFACES; ++id) {
    ASSERT_EQ(ZEK_DeregisterInterface(0x10000000 + id), ZEK_STATUS_PASS) << id;
  }
  EXPECT_EQ(ZEK_RegisterInterface(0xD0000, &kFirst, "u_Sockets"), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_DeregisterInterface(0xD0000), ZEK_STATUS_PASS);
}

TEST_F(RegistryTest, ACleanupWithInterfacesLeftKeepsTheManagerUsable) {
  ASSERT_EQ(ZEK_Init_c_if_mngr(), ZEK_STATUS_PASS);  // a second use, as zeksock makes
  ASSERT_EQ(ZEK_RegisterInterface(0xD0000, &kFirst, "u_Sockets"), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_Cleanup_c_if_mngr(), ZEK_STATUS_PASS);  // not the last use: only counts
  EXPECT_EQ(ZEK_Cleanup_c_if_mngr(), ZEK_STATUS_FAIL);  // the last one, with an entry left
  EXPECT_EQ(marker_of(0xD0000), 1);
  EXPECT_STREQ(ZEK_GetFunctionName(0x30200), "GET_INTERFACE");
  ASSERT_EQ(ZEK_RegisterInterface(0x110001, &kSecond, "u_Verbs"), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_DeregisterInterface(0x110001), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_DeregisterInterface(0xD0000), ZEK_STATUS_PASS);
  // The fixture's cleanup now finishes the work.
}

TEST_F(RegistryTest, ConsumersAndPublishersOnSeveralThreadsSeeTheirOwnTables) {
  constexpr int kThreads = 6;
  constexpr int kRounds = 300;
  std::vector<Table> tables(kThreads);
  for (int t = 0; t < kThreads; ++t) tables[t] = Table{{ZEK_SIG_INTERFACE_TABLE, sizeof(Table)}, 100 + t};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::uint32_t id = 0x20000000 + static_cast<std::uint32_t>(t);
      for (int i = 0; i < kRounds; ++i) {
        if (ZEK_RegisterInterface(id, &tables[t], "worker") != ZEK_STATUS_PASS) ++wrong;
        if (marker_of(id) != 100 + t) ++wrong;
        if (std::string(ZEK_GetErrorMessage(ZEK_STATUS_BAD_PTR)) != "ZEK_STATUS_BAD_PTR") ++wrong;
        if (ZEK_DeregisterInterface(id) != ZEK_STATUS_PASS) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

// Before the library is initialised every call answers at once.
using UninitialisedRegistryTest = LoggedTest;

TEST_F(UninitialisedRegistryTest, AnswersWithFixedTextsAndCodes) {
  static const int routines = 0;
  void* table = nullptr;
  EXPECT_STREQ(ZEK_GetErrorMessage(ZEK_STATUS_PASS), "Error Library Not Initialized");
  EXPECT_STREQ(ZEK_GetErrorMessage(19), "Error Library Not Initialized");
  EXPECT_STREQ(ZEK_GetFunctionName(0x30200), "Error Library Not Initialized");
  EXPECT_EQ(ZEK_RegisterErrorMessages(0x50000, kTextsA, 2, "early library"), ZEK_STATUS_LIB_NOT_INITIALIZED);
  EXPECT_EQ(ZEK_DeregisterErrorMessages(0x50000), ZEK_STATUS_LIB_NOT_INITIALIZED);
  EXPECT_EQ(ZEK_RegisterFunctionNames(0xD0000, kTextsA, 2, "early library"), ZEK_STATUS_LIB_NOT_INITIALIZED);
  EXPECT_EQ(ZEK_DeregisterFunctionNames(0xD0000), ZEK_STATUS_LIB_NOT_INITIALIZED);
  EXPECT_EQ(ZEK_RegisterInterface(0xD0000, &routines, "u_Sockets"), ZEK_STATUS_LIB_NOT_INITIALIZED);
  EXPECT_EQ(ZEK_GetInterface(0xD0000, &table), ZEK_STATUS_IF_MNGR_ERROR);
  EXPECT_EQ(ZEK_DeregisterInterface(0xD0000), ZEK_STATUS_IF_MNGR_ERROR);
  EXPECT_TRUE(
      logged("ZEK_RegisterErrMessages: Status Messages were not initialized before being used by early "
             "library\n"));
  EXPECT_TRUE(logged("ZEK_RegisterInterface: Interface Manager was not initialized before using\n"));
  EXPECT_TRUE(logged("ZEK_GetInterface: Interface Manager was not initialized before using\n"));
}

TEST_F(UninitialisedRegistryTest, TheInterfaceManagerNeedsTheMessageRegistryFirst) {
  // Its function names have nowhere to go: refused, and nothing is left half done.
  EXPECT_EQ(ZEK_Init_c_if_mngr(), ZEK_STATUS_LIB_NOT_INITIALIZED);
  EXPECT_EQ(ZEK_Cleanup_c_if_mngr(), ZEK_STATUS_FAIL);
  ASSERT_EQ(ZEK_Init_c_err_msgs(), ZEK_STATUS_PASS);
  ASSERT_EQ(ZEK_Init_c_if_mngr(), ZEK_STATUS_PASS);
  EXPECT_STREQ(ZEK_GetFunctionName(0x30400), "REGISTER_INTERFACE");
  EXPECT_EQ(ZEK_Cleanup_c_if_mngr(), ZEK_STATUS_PASS);
  EXPECT_STREQ(ZEK_GetFunctionName(0x30400), "Unknown Function Name");
  EXPECT_EQ(ZEK_Cleanup_c_err_msgs(), ZEK_STATUS_PASS);
}

}  // namespace
