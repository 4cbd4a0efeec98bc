// The library entry: the version word, the "WasCalled" line, the use counts
// of the three modules and the order of cleanup.
#include <dlfcn.h>

#include <cstdio>
#include <string>

#include "tests/lib/base/base_fixture.h"

namespace {

// Calls ZEK_InitLib_Base and returns its status with the number of earlier
// calls that its first line reports.
struct InitCall {
  ZekStatus status;
  int earlier;
  std::string output;
};

InitCall init_lib(std::uint32_t cookie) {
  testing::internal::CaptureStdout();
  const ZekStatus status = ZEK_InitLib_Base(0, cookie);
  InitCall call{status, -1, testing::internal::GetCapturedStdout()};
  std::sscanf(call.output.c_str(), "WasCalled was %d\n", &call.earlier);
  return call;
}

bool messages_initialised() { return std::string(ZEK_GetErrorMessage(ZEK_STATUS_FAIL)) == "ZEK_STATUS_FAIL"; }

bool interfaces_initialised() {
  void* table = nullptr;
  return ZEK_GetInterface(0xE0000, &table) == ZEK_STATUS_IF_NOT_FOUND;  // not 0x30000
}

using EntryTest = LoggedTest;

TEST_F(EntryTest, EveryCallPrintsTheNumberOfEarlierCallsAndAWrongCookieIsRefused) {
  const InitCall first = init_lib(ZEK_ABI_COOKIE);
  ASSERT_EQ(first.status, ZEK_STATUS_PASS);
  EXPECT_EQ(first.output, "WasCalled was " + std::to_string(first.earlier) + "\n");
  for (std::uint32_t cookie : {0u, ZEK_ABI_COOKIE + 1, 0x8A00EC3Du}) {
    const InitCall refused = init_lib(cookie);
    EXPECT_EQ(refused.status, ZEK_STATUS_FAIL) << std::hex << cookie;
    EXPECT_GT(refused.earlier, first.earlier);
  }
  const InitCall last = init_lib(ZEK_ABI_COOKIE);
  EXPECT_EQ(last.status, ZEK_STATUS_PASS);
  EXPECT_EQ(last.earlier, first.earlier + 4);  // refused calls count too
  EXPECT_EQ(ZEK_CleanupLib_Base(), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_CleanupLib_Base(), ZEK_STATUS_PASS);
}

TEST_F(EntryTest, AWrongCookieInitialisesNothing) {
  EXPECT_EQ(init_lib(0x3DEC008B).status, ZEK_STATUS_FAIL);
  EXPECT_STREQ(ZEK_GetErrorMessage(ZEK_STATUS_FAIL), "Error Library Not Initialized");
  EXPECT_FALSE(interfaces_initialised());
  EXPECT_EQ(ZEK_Cleanup_c_osprims(), ZEK_OSPRIM_FAILURE);
}

TEST_F(EntryTest, TheModulesAreUseCountedAndTheLastCleanupUndoesThem) {
  ASSERT_EQ(init_lib(ZEK_ABI_COOKIE).status, ZEK_STATUS_PASS);
  ASSERT_EQ(init_lib(ZEK_ABI_COOKIE).status, ZEK_STATUS_PASS);
  // A library that initialises a module by itself counts as one more use.
  ASSERT_EQ(ZEK_Init_c_err_msgs(), ZEK_STATUS_PASS);
  EXPECT_TRUE(messages_initialised());
  EXPECT_TRUE(interfaces_initialised());

  EXPECT_EQ(ZEK_CleanupLib_Base(), ZEK_STATUS_PASS);
  EXPECT_TRUE(messages_initialised());
  EXPECT_TRUE(interfaces_initialised());
  EXPECT_EQ(ZEK_CleanupLib_Base(), ZEK_STATUS_PASS);
  EXPECT_FALSE(interfaces_initialised());
  EXPECT_TRUE(messages_initialised());  // the direct use is left
  EXPECT_EQ(ZEK_Cleanup_c_err_msgs(), ZEK_STATUS_PASS);
  EXPECT_FALSE(messages_initialised());
  EXPECT_STREQ(ZEK_GetFunctionName(0x30200), "Error Library Not Initialized");
}

TEST_F(EntryTest, CleanupsWithoutInitsAreRefusedAndCountNothingDown) {
  EXPECT_EQ(ZEK_Cleanup_c_osprims(), ZEK_OSPRIM_FAILURE);
  EXPECT_TRUE(logged("OSPrims uninitialized too many times\n"));
  EXPECT_EQ(ZEK_Cleanup_c_if_mngr(), ZEK_STATUS_FAIL);
  EXPECT_EQ(ZEK_Cleanup_c_err_msgs(), ZEK_STATUS_FAIL);
  EXPECT_NE(ZEK_CleanupLib_Base(), ZEK_STATUS_PASS);
  // Nothing went below zero: one init is undone by one cleanup.
  ASSERT_EQ(ZEK_Init_c_osprims(0), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_Cleanup_c_osprims(), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_Cleanup_c_osprims(), ZEK_OSPRIM_FAILURE);
}

TEST_F(EntryTest, CleanupStopsAtAnInterfaceStillRegisteredAndFinishesLater) {
  static const int table = 0;
  ASSERT_EQ(init_lib(ZEK_ABI_COOKIE).status, ZEK_STATUS_PASS);
  ASSERT_EQ(ZEK_RegisterInterface(0xD0000, &table, "u_Sockets"), ZEK_STATUS_PASS);
  testing::internal::CaptureStderr();
  ___ZEK_FAST_LOG_MASK = ZEK_LOG_MASK_MEMORY | ZEK_LOG_MASK_DEBUGGER;
  EXPECT_EQ(ZEK_CleanupLib_Base(), ZEK_STATUS_FAIL);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "ZEK_Cleanup_c_if_mngr Interface u_Sockets(x000D0000) is still registered on If_Mngr_Cleanup\n"),
            std::string::npos);
  // Everything stays usable, and the modules after the interface manager
  // were not cleaned up.
  EXPECT_TRUE(messages_initialised());
  void* found = nullptr;
  EXPECT_EQ(ZEK_GetInterface(0xD0000, &found), ZEK_STATUS_PASS);
  EXPECT_EQ(found, &table);
  ASSERT_EQ(ZEK_DeregisterInterface(0xD0000), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_CleanupLib_Base(), ZEK_STATUS_PASS);
  EXPECT_FALSE(messages_initialised());
  EXPECT_EQ(ZEK_Cleanup_c_osprims(), ZEK_OSPRIM_FAILURE);
}

TEST(BaseExports, TheLibraryExportsItsEntryAndDataByNameAndKeepsInternalsToItself) {
  for (const char* name : {"ZEK_InitLib_Base", "ZEK_CleanupLib_Base", "zek_errno", "___ZEK_FAST_LOG",
                           "___ZEK_FAST_LOG_INDEX", "___ZEK_FAST_LOG_MASK"}) {
    EXPECT_NE(dlsym(RTLD_DEFAULT, name), nullptr) << name;
  }
  // ZEK_RegisterInterfaceFunction is the library's own, under any name.
  EXPECT_EQ(dlsym(RTLD_DEFAULT, "ZEK_RegisterInterfaceFunction"), nullptr);
  EXPECT_EQ(dlsym(RTLD_DEFAULT, "_Z29ZEK_RegisterInterfaceFunctionjPFjjPPvEPKc"), nullptr);
  // The exported data is the library's: a consumer that writes zek_errno
  // is seen by every other.
  auto* exported_errno = static_cast<std::int32_t*>(dlsym(RTLD_DEFAULT, "zek_errno"));
  ASSERT_NE(exported_errno, nullptr);
  zek_errno = 10054;
  EXPECT_EQ(*exported_errno, 10054);
  zek_errno = 0;
  EXPECT_EQ(*static_cast<char**>(dlsym(RTLD_DEFAULT, "___ZEK_FAST_LOG")), ___ZEK_FAST_LOG);
}

}  // namespace
