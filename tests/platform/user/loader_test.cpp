// Modules, messages and local memory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "platform/user/win32.h"

namespace {

// The test module is built beside the test program; Windows programs name it "NAME.dll".
constexpr const char* kModule = "zektestmodule.dll";

TEST(Modules, LoadingCallsTheEntryOnceAndTheLastFreeDetaches) {
  HMODULE first = LoadLibraryA(kModule);
  ASSERT_NE(first, nullptr) << GetLastError();
  HMODULE second = LoadLibraryA("ZEKTESTMODULE.DLL");  // Windows' file names are not case-sensitive
  ASSERT_EQ(second, first);
  auto* attached = reinterpret_cast<int*>(GetProcAddress(first, "zek_testmodule_attached"));
  auto* detached = reinterpret_cast<int*>(GetProcAddress(first, "zek_testmodule_detached"));
  auto* handle = reinterpret_cast<HMODULE*>(GetProcAddress(first, "zek_testmodule_handle"));
  ASSERT_NE(attached, nullptr);
  ASSERT_NE(detached, nullptr);
  EXPECT_EQ(*attached, 1);
  EXPECT_EQ(*handle, first);  // the entry receives the module's own handle
  auto answer = reinterpret_cast<int (*)()>(GetProcAddress(first, "zek_testmodule_answer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(GetModuleHandleA(kModule), first);
  EXPECT_TRUE(FreeLibrary(second));
  EXPECT_EQ(*detached, 0);  // one load is left
  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_FALSE(FreeLibrary(first));
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(Modules, AnEntryThatRefusesFailsTheLoad) {
  setenv("ZEK_TESTMODULE_REFUSE", "1", 1);
  EXPECT_EQ(LoadLibraryA(kModule), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_DLL_INIT_FAILED);
  unsetenv("ZEK_TESTMODULE_REFUSE");
}

TEST(Modules, BadNamesAndHandlesGiveTheirErrors) {
  struct Case {
    const char* what;
    std::function<bool()> call;  // true when the call succeeded
    DWORD error;
  };
  HMODULE module = LoadLibraryA(kModule);
  ASSERT_NE(module, nullptr);
  HMODULE foreign = reinterpret_cast<HMODULE>(&module);
  const Case cases[] = {
      {"missing module", [] { return LoadLibraryA("no-such-module.dll") != nullptr; }, ERROR_MOD_NOT_FOUND},
      {"empty name", [] { return LoadLibraryA("") != nullptr; }, ERROR_INVALID_PARAMETER},
      {"missing export", [&] { return GetProcAddress(module, "no_such_routine") != nullptr; }, ERROR_PROC_NOT_FOUND},
      {"ordinal",
       [&] { return GetProcAddress(module, reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(7))) != nullptr; },
       ERROR_PROC_NOT_FOUND},
      {"foreign handle", [&] { return GetProcAddress(foreign, "x") != nullptr; }, ERROR_MOD_NOT_FOUND},
      {"module not loaded", [] { return GetModuleHandleA("no-such-module.dll") != nullptr; }, ERROR_MOD_NOT_FOUND},
      {"free of a foreign handle", [&] { return FreeLibrary(foreign) != FALSE; }, ERROR_MOD_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_FALSE(c.call()) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }
  FreeLibrary(module);
}

TEST(Modules, AModulePathThatDoesNotFitIsCutAsWindowsCutsIt) {
  HMODULE module = LoadLibraryA(kModule);
  ASSERT_NE(module, nullptr);
  char full[4096];
  const DWORD length = GetModuleFileNameA(module, full, sizeof full);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(std::strlen(full), length);
  EXPECT_NE(std::string(full).find("zektestmodule"), std::string::npos) << full;
  char small[8];
  std::memset(small, 'x', sizeof small);
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameA(module, small, sizeof small), sizeof small);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(small[sizeof small - 1], '\0');
  EXPECT_EQ(std::string(small), std::string(full, sizeof small - 1));
  WCHAR wide[4096];
  EXPECT_EQ(GetModuleFileNameW(module, wide, 4096), length);
  EXPECT_EQ(GetModuleFileNameA(reinterpret_cast<HMODULE>(&module), full, sizeof full), 0u);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_GT(GetModuleFileNameA(nullptr, full, sizeof full), 0u);  // the program itself
  FreeLibrary(module);
}

TEST(Messages, SystemTextsEndInALineBreakAndUnknownCodesHaveNone) {
  char text[256];
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 ERROR_FILE_NOT_FOUND, 0, text, sizeof text, nullptr);
  ASSERT_GT(n, 2u);
  EXPECT_EQ(std::string(text + n - 2), "\r\n");
  LPSTR allocated = nullptr;
  ASSERT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, 10061, 0,
                           reinterpret_cast<LPSTR>(&allocated), 0, nullptr),
            0u);
  EXPECT_NE(allocated, nullptr);
  EXPECT_EQ(LocalFree(allocated), nullptr);
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x7777, 0, text, sizeof text, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_FILE_NOT_FOUND, 0, text, 3, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(LocalMemory, ZeroedBlocksAndForeignFreesAreRefused) {
  auto* block = static_cast<unsigned char*>(LocalAlloc(LPTR, 64));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(block[i], 0);
  int local = 0;
  EXPECT_EQ(LocalFree(&local), &local);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(LocalFree(block), nullptr);
  EXPECT_EQ(LocalFree(block), block);  // twice
}

}  // namespace
