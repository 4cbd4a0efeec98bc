// The status-message and function-name registries.
#include <string>
#include <vector>

#include "tests/proxy/core/registry_fixture.h"

namespace {

using MessagesTest = RegistryTest;

const char* const kTextsA[] = {"A0", "A1"};
const char* const kTextsB[] = {"B0", "B1", "B2"};

TEST_F(MessagesTest, GivesTheTextOfEveryCodeOrTheBadCodeText) {
  struct Case {
    ZekStatus code;
    const char* text;
  };
  for (const Case c : {
           Case{ZEK_STATUS_PASS, "ZEK_STATUS_PASS"},
           Case{ZEK_STATUS_LIB_NOT_INITIALIZED, "ZEK_STATUS_LIB_NOT_INITIALIZED"},
           Case{9, "UNKNOWN ERROR CODE 9"},
           Case{ZEK_STATUS_ADDR_INVALID_HANDLE, "ZEK_STATUS_ADDR_INVALID_HANDLE"},
           Case{19, "Bad Error Code Error"},  // index == number of texts
           Case{ZEK_ERROR_BAD_ERROR_CODE, "ZEK_ERROR_BAD_ERROR_CODE"},
           Case{ZEK_STATUS_LIB_NOT_FOUND, "ZEK_STATUS_LIB_NOT_FOUND"},
           Case{ZEK_STATUS_ERROR_MSGS_STILL_REGISTERED, "ZEK_STATUS_ERROR_MSGS_STILL_REGISTERED"},
           Case{0x40005, "Bad Error Code Error"},
           Case{ZEK_STATUS_IF_NOT_FOUND, "Bad Error Code Error"},  // names only under 0x30000
           Case{ZEK_GROUP_IWARP_VERBS + 1, "Bad Error Code Error"},
           Case{ZEK_OSPRIM_FAILURE, "Bad Error Code Error"},
       }) {
    EXPECT_STREQ(ZEK_GetErrorMessage(c.code), c.text) << std::hex << c.code;
  }
}

TEST_F(MessagesTest, AGroupWithoutTextsAnswersNoCode) {
  ASSERT_EQ(ZEK_RegisterErrorMessages(ZEK_GROUP_MCRQ, nullptr, 0, "MCRQ"), ZEK_STATUS_PASS);
  ASSERT_EQ(ZEK_RegisterFunctionNames(ZEK_GROUP_MCRQ, nullptr, 0, "MCRQ"), ZEK_STATUS_PASS);
  EXPECT_STREQ(ZEK_GetErrorMessage(ZEK_GROUP_MCRQ), "Bad Error Code Error");
  EXPECT_STREQ(ZEK_GetErrorMessage(0x28490000), "Bad Error Code Error");
  EXPECT_STREQ(ZEK_GetFunctionName(ZEK_GROUP_MCRQ), "Unknown Function Name");
  EXPECT_EQ(ZEK_DeregisterErrorMessages(ZEK_GROUP_MCRQ), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_DeregisterFunctionNames(ZEK_GROUP_MCRQ), ZEK_STATUS_PASS);
}

TEST_F(MessagesTest, AKeyRegisteredTwiceNeedsTwoDeregistrations) {
  ASSERT_EQ(ZEK_RegisterErrorMessages(0x70000, kTextsA, 2, "A"), ZEK_STATUS_PASS);
  // The second registration only counts: the first texts stay.
  ASSERT_EQ(ZEK_RegisterErrorMessages(0x70000, kTextsB, 3, "B"), ZEK_STATUS_PASS);
  EXPECT_STREQ(ZEK_GetErrorMessage(0x70001), "A1");
  EXPECT_STREQ(ZEK_GetErrorMessage(0x70002), "Bad Error Code Error");
  EXPECT_EQ(ZEK_DeregisterErrorMessages(0x70000), ZEK_STATUS_PASS);
  EXPECT_STREQ(ZEK_GetErrorMessage(0x70000), "A0");
  EXPECT_EQ(ZEK_DeregisterErrorMessages(0x70000), ZEK_STATUS_PASS);
  EXPECT_STREQ(ZEK_GetErrorMessage(0x70000), "Bad Error Code Error");
  EXPECT_EQ(ZEK_DeregisterErrorMessages(0x70000), ZEK_STATUS_LIB_NOT_FOUND);
}

TEST_F(MessagesTest, RemovingAGroupKeepsTheOthersWithTheirUseCounts) {
  ASSERT_EQ(ZEK_RegisterErrorMessages(0x70000, kTextsA, 2, "A"), ZEK_STATUS_PASS);
  ASSERT_EQ(ZEK_RegisterErrorMessages(0x80000, kTextsB, 3, "B"), ZEK_STATUS_PASS);
  ASSERT_EQ(ZEK_RegisterErrorMessages(0x80000, kTextsB, 3, "B"), ZEK_STATUS_PASS);
  // The last group moves into the place of the removed one.
  EXPECT_EQ(ZEK_DeregisterErrorMessages(0x70000), ZEK_STATUS_PASS);
  EXPECT_STREQ(ZEK_GetErrorMessage(0x80002), "B2");
  EXPECT_STREQ(ZEK_GetErrorMessage(ZEK_STATUS_FAIL), "ZEK_STATUS_FAIL");
  EXPECT_EQ(ZEK_DeregisterErrorMessages(0x80000), ZEK_STATUS_PASS);
  EXPECT_STREQ(ZEK_GetErrorMessage(0x80002), "B2");
  EXPECT_EQ(ZEK_DeregisterErrorMessages(0x80000), ZEK_STATUS_PASS);
  EXPECT_STREQ(ZEK_GetErrorMessage(0x80002), "Bad Error Code Error");
}

TEST_F(MessagesTest, AFullMessageTableRefusesNewKeysButStillCountsKnownOnes) {
  // The registry's own two groups are in already.
  std::vector<std::uint32_t> keys;
  for (std::uint32_t i = 0; i < ZEK_MAX_MESSAGE_GROUPS - 2; ++i) {
    keys.push_back(0x1000000 + (i << 16));
    ASSERT_EQ(ZEK_RegisterErrorMessages(keys.back(), kTextsA, 2, "filler"), ZEK_STATUS_PASS) << i;
  }
  EXPECT_EQ(ZEK_RegisterErrorMessages(0x70000, kTextsB, 3, "one too many"), ZEK_ERROR_TOO_MANY_MESSAGES_REGISTERED);
  EXPECT_NE(ring_text().find("ZEK_RegisterErrMessages: Status Messages exceeded maximum number of registered "
                             "libraries\n"),
            std::string::npos);
  EXPECT_STREQ(ZEK_GetErrorMessage(0x70000), "Bad Error Code Error");
  // A key that is present needs no new place.
  EXPECT_EQ(ZEK_RegisterErrorMessages(keys.front(), kTextsA, 2, "filler"), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_DeregisterErrorMessages(keys.front()), ZEK_STATUS_PASS);
  for (std::uint32_t key : keys) ASSERT_EQ(ZEK_DeregisterErrorMessages(key), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_RegisterErrorMessages(0x70000, kTextsB, 3, "now fits"), ZEK_STATUS_PASS);
  EXPECT_STREQ(ZEK_GetErrorMessage(0x70002), "B2");
  EXPECT_EQ(ZEK_DeregisterErrorMessages(0x70000), ZEK_STATUS_PASS);
}

TEST_F(MessagesTest, RefusesMissingTexts) {
  const auto* fill = reinterpret_cast<const char* const*>(ZEK_UNINITIALISED_POINTER);
  EXPECT_EQ(ZEK_RegisterErrorMessages(0x70000, nullptr, 2, "A"), ZEK_STATUS_BAD_PTR);
  EXPECT_EQ(ZEK_RegisterErrorMessages(0x70000, fill, 2, "A"), ZEK_STATUS_BAD_PTR);
  EXPECT_EQ(ZEK_RegisterFunctionNames(0x70000, nullptr, 2, "A"), ZEK_STATUS_BAD_PTR);
  EXPECT_EQ(ZEK_DeregisterErrorMessages(0x70000), ZEK_STATUS_LIB_NOT_FOUND);
  EXPECT_EQ(ZEK_DeregisterFunctionNames(0x70000), ZEK_STATUS_LIB_NOT_FOUND);
}

TEST_F(MessagesTest, FunctionNamesAreIndexedByBits15To8) {
  struct Case {
    std::uint32_t code;
    const char* name;
  };
  for (const Case c : {Case{0x30000, "INIT_C_IF_MNGR"}, Case{0x30200, "GET_INTERFACE"}, Case{0x302FF, "GET_INTERFACE"},
                       Case{0x30500, "DEREGISTER_INTERFACE"}, Case{0x30600, "Unknown Function Name"},
                       Case{0x40000, "Unknown Function Name"}}) {
    EXPECT_STREQ(ZEK_GetFunctionName(c.code), c.name) << std::hex << c.code;
  }
}

TEST_F(MessagesTest, FunctionNamesForOneKeyAreKeptTwiceAndRemovedOneByOne) {
  const char* const kShort[] = {"S0"};
  const char* const kLong[] = {"L0", "L1"};
  ASSERT_EQ(ZEK_RegisterFunctionNames(0x70000, kShort, 1, "short"), ZEK_STATUS_PASS);
  ASSERT_EQ(ZEK_RegisterFunctionNames(0x70000, kLong, 2, "long"), ZEK_STATUS_PASS);
  EXPECT_STREQ(ZEK_GetFunctionName(0x70000), "S0");
  // A shorter group does not hide a longer one with the same key.
  EXPECT_STREQ(ZEK_GetFunctionName(0x70100), "L1");
  EXPECT_EQ(ZEK_DeregisterFunctionNames(0x70000), ZEK_STATUS_PASS);
  EXPECT_STREQ(ZEK_GetFunctionName(0x70000), "L0");
  EXPECT_EQ(ZEK_DeregisterFunctionNames(0x70000), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_DeregisterFunctionNames(0x70000), ZEK_STATUS_LIB_NOT_FOUND);
  EXPECT_STREQ(ZEK_GetFunctionName(0x70000), "Unknown Function Name");
}

TEST_F(MessagesTest, AFullFunctionNameTableRefusesMore) {
  const char* const kName[] = {"N"};
  // The interface manager's names are in already.
  for (std::uint32_t i = 0; i < ZEK_MAX_FUNCTION_NAME_GROUPS - 1; ++i) {
    ASSERT_EQ(ZEK_RegisterFunctionNames(0x70000, kName, 1, "filler"), ZEK_STATUS_PASS) << i;
  }
  EXPECT_EQ(ZEK_RegisterFunctionNames(0x80000, kName, 1, "one too many"), ZEK_ERROR_TOO_MANY_MESSAGES_REGISTERED);
  for (std::uint32_t i = 0; i < ZEK_MAX_FUNCTION_NAME_GROUPS - 1; ++i) {
    ASSERT_EQ(ZEK_DeregisterFunctionNames(0x70000), ZEK_STATUS_PASS);
  }
  EXPECT_STREQ(ZEK_GetFunctionName(0x30400), "REGISTER_INTERFACE");
}

TEST_F(MessagesTest, LookupsWorkAtDispatchLevel) {
  at_dispatch([] {
    EXPECT_EQ(ZEK_RegisterErrorMessages(0x70000, kTextsA, 2, "A"), ZEK_STATUS_PASS);
    EXPECT_STREQ(ZEK_GetErrorMessage(0x70001), "A1");
    EXPECT_STREQ(ZEK_GetFunctionName(0x30100), "CLEANUP_C_IF_MNGR");
    EXPECT_EQ(ZEK_DeregisterErrorMessages(0x70000), ZEK_STATUS_PASS);
  });
}

TEST_F(MessagesTest, InitAndCleanupAreUseCounted) {
  ASSERT_EQ(ZEK_Init_c_err_msgs(), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_Cleanup_c_err_msgs(), ZEK_STATUS_PASS);
  // Still initialised: the fixture's use remains.
  EXPECT_STREQ(ZEK_GetErrorMessage(ZEK_STATUS_BAD_PTR), "ZEK_STATUS_BAD_PTR");
}

// Before the registry is initialised (and after its last cleanup), every
// call answers at once.
class UninitialisedRegistryTest : public OsprimTest {};

TEST_F(UninitialisedRegistryTest, AnswersWithFixedTextsAndCodes) {
  EXPECT_STREQ(ZEK_GetErrorMessage(ZEK_STATUS_PASS), "Error Library Not Initialized");
  EXPECT_STREQ(ZEK_GetFunctionName(0x30200), "Error Library Not Initialized");
  EXPECT_EQ(ZEK_RegisterErrorMessages(0x70000, kTextsA, 2, "early library"), ZEK_STATUS_LIB_NOT_INITIALIZED);
  EXPECT_EQ(ZEK_DeregisterErrorMessages(0x70000), ZEK_STATUS_LIB_NOT_INITIALIZED);
  EXPECT_EQ(ZEK_RegisterFunctionNames(0x70000, kTextsA, 2, "early library"), ZEK_STATUS_LIB_NOT_INITIALIZED);
  EXPECT_EQ(ZEK_DeregisterFunctionNames(0x70000), ZEK_STATUS_LIB_NOT_INITIALIZED);
  EXPECT_EQ(ZEK_Cleanup_c_err_msgs(), ZEK_STATUS_FAIL);
  const std::string log = ring_text();
  EXPECT_NE(log.find("ZEK_RegisterErrMessages: Status Messages were not initialized before being used by early "
                     "library\n"),
            std::string::npos);
  EXPECT_NE(log.find("ZEK_DeregisterErrorMessages: Status Messages were not initialized before being used by "
                     "00070000\n"),
            std::string::npos);
}

TEST_F(UninitialisedRegistryTest, TheLastCleanupLeavesTheRegistryUninitialised) {
  ASSERT_EQ(ZEK_Init_c_err_msgs(), ZEK_STATUS_PASS);
  ASSERT_EQ(ZEK_RegisterErrorMessages(0x70000, kTextsA, 2, "left behind"), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_Cleanup_c_err_msgs(), ZEK_STATUS_PASS);
  EXPECT_NE(ring_text().find("ZEK_Cleanup_c_err_msgs: Status Messages for library left behind(0x00070000) is still "
                             "registered\n"),
            std::string::npos);
  EXPECT_STREQ(ZEK_GetErrorMessage(0x70000), "Error Library Not Initialized");
  // A new start begins with an empty table.
  ASSERT_EQ(ZEK_Init_c_err_msgs(), ZEK_STATUS_PASS);
  EXPECT_STREQ(ZEK_GetErrorMessage(0x70000), "Bad Error Code Error");
  EXPECT_EQ(ZEK_Cleanup_c_err_msgs(), ZEK_STATUS_PASS);
}

}  // namespace
