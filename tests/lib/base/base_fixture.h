// zekbase as a process sees it after ZEK_InitLib_Base, with the memory log
// switched on so that tests can read the failure records. Each test leaves
// the library as it found it: every init it makes is matched by a cleanup.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "include/zek/zekbase.h"

// The memory log from its start to the write position (tests stay far
// below one ring's worth, so the ring never wraps in them).
inline std::string memory_log() { return std::string(___ZEK_FAST_LOG, ___ZEK_FAST_LOG_INDEX); }

inline void clear_memory_log() {
  std::memset(___ZEK_FAST_LOG, 0, ZEK_FAST_LOG_BYTES);
  ___ZEK_FAST_LOG_INDEX = 0;
}

inline bool logged(const std::string& text) { return memory_log().find(text) != std::string::npos; }

// Library not initialised; memory log on.
class LoggedTest : public testing::Test {
 protected:
  void SetUp() override {
    clear_memory_log();
    ___ZEK_FAST_LOG_MASK = ZEK_LOG_MASK_MEMORY;
  }
  void TearDown() override { ___ZEK_FAST_LOG_MASK = 0; }
};

// Library initialised through its entry, as a loading component does.
class BaseTest : public LoggedTest {
 protected:
  void SetUp() override {
    LoggedTest::SetUp();
    testing::internal::CaptureStdout();  // the entry's "WasCalled was" line
    const ZekStatus status = ZEK_InitLib_Base(0, ZEK_ABI_COOKIE);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(status, ZEK_STATUS_PASS);
  }
  void TearDown() override {
    EXPECT_EQ(ZEK_CleanupLib_Base(), ZEK_STATUS_PASS);
    LoggedTest::TearDown();
  }
};
