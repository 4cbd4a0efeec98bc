// The library's log: the memory log, the debug print and the raw-data dump,
// each let through by its bit of the mask.
#include <string>
#include <vector>

#include "platform/user/win32.h"
#include "tests/lib/base/base_fixture.h"

namespace {

class LogTest : public LoggedTest {
 protected:
  void SetUp() override {
    LoggedTest::SetUp();
    ___ZEK_FAST_LOG_MASK = 0;
  }
};

std::string record_prefix() {
  char prefix[64];
  std::snprintf(prefix, sizeof(prefix), "pid[%04x,%04x] ", static_cast<unsigned>(GetCurrentProcessId()),
                static_cast<unsigned>(GetCurrentThreadId()));
  return prefix;
}

TEST_F(LogTest, NothingIsLoggedWhileTheMaskIsClear) {
  testing::internal::CaptureStderr();
  OSPrimMemoryLogging("func[%s] Line[%d]: \n", "quiet", 1);
  OSPrimDebugPrint("printed %d\n", 1);
  const std::uint8_t bytes[4] = {1, 2, 3, 4};
  OSPrimDebugPrintRawData("title", 4, bytes);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(___ZEK_FAST_LOG_INDEX, 0u);
}

TEST_F(LogTest, MemoryLogRecordsCarryASequenceAndTheCaller) {
  ___ZEK_FAST_LOG_MASK = ZEK_LOG_MASK_MEMORY;
  OSPrimMemoryLogging("func[%s] Line[%d]: \n", "ZEK_u_test", 12);
  OSPrimMemoryLogging("ZEK_u_test: failed (0x%x)\n", 6u);
  const std::string text = memory_log();
  const std::size_t first = text.find("] " + record_prefix() + "func[ZEK_u_test] Line[12]: \n[");
  ASSERT_NE(first, std::string::npos) << text;
  EXPECT_NE(text.find("] " + record_prefix() + "ZEK_u_test: failed (0x6)\n"), std::string::npos);
  // Consecutive sequence numbers.
  unsigned long long a = 0;
  unsigned long long b = 0;
  ASSERT_EQ(std::sscanf(text.c_str(), "[%llu]", &a), 1);
  ASSERT_EQ(std::sscanf(text.c_str() + text.find("\n[") + 1, "[%llu]", &b), 1);
  EXPECT_EQ(b, a + 1);
  testing::internal::CaptureStderr();
  OSPrimDebugPrint("not for the memory log\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(memory_log().find("not for the memory log"), std::string::npos);
}

TEST_F(LogTest, LongMessagesAreCutAndARecordThatDoesNotFitGoesToTheStart) {
  ___ZEK_FAST_LOG_MASK = ZEK_LOG_MASK_MEMORY;
  const std::string long_message(600, 'x');
  OSPrimMemoryLogging("%s", long_message.c_str());
  const std::string text = memory_log();
  EXPECT_EQ(text.size() - text.find(record_prefix()) - record_prefix().size(), ZEK_FAST_LOG_MESSAGE_MAX);

  // Near the end of the ring: the next record goes to the start, the old
  // bytes behind the old position stay.
  ___ZEK_FAST_LOG_INDEX = ZEK_FAST_LOG_BYTES - 10;
  std::memset(___ZEK_FAST_LOG + ZEK_FAST_LOG_BYTES - 10, '#', 10);
  OSPrimMemoryLogging("wrapped\n");
  EXPECT_EQ(std::string(___ZEK_FAST_LOG + ZEK_FAST_LOG_BYTES - 10, 10), std::string(10, '#'));
  const std::string start(___ZEK_FAST_LOG, ___ZEK_FAST_LOG_INDEX);
  EXPECT_EQ(start.front(), '[');
  EXPECT_NE(start.find(record_prefix() + "wrapped\n"), std::string::npos);
  // A write position moved past the ring by hand is not trusted.
  ___ZEK_FAST_LOG_INDEX = ZEK_FAST_LOG_BYTES + 100;
  OSPrimMemoryLogging("restarted\n");
  EXPECT_LT(___ZEK_FAST_LOG_INDEX, 100u);
}

TEST_F(LogTest, DebugPrintGoesToTheDebuggerOutput) {
  ___ZEK_FAST_LOG_MASK = ZEK_LOG_MASK_DEBUGGER;
  testing::internal::CaptureStderr();
  OSPrimDebugPrint("ZEK_Init_c_if_mngr failed withe the error '%s'\n", "ZEK_STATUS_FAIL");
  OSPrimMemoryLogging("not for the debugger\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "ZEK_Init_c_if_mngr failed withe the error 'ZEK_STATUS_FAIL'\n");
  EXPECT_EQ(___ZEK_FAST_LOG_INDEX, 0u);
}

TEST_F(LogTest, RawDataIsDumpedSixteenBytesALine) {
  ___ZEK_FAST_LOG_MASK = ZEK_LOG_MASK_DEBUGGER;
  std::vector<std::uint8_t> bytes(20);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(0xF0 + i);
  testing::internal::CaptureStderr();
  OSPrimDebugPrintRawData("frame", 20, bytes.data());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ZEK_PRINT_RAW_DATA: **************************************************\n"
            "frame Data size = 20\n"
            " F0 F1 F2 F3 F4 F5 F6 F7 - F8 F9 FA FB FC FD FE FF \n"
            " 00 01 02 03 \n"
            "**********************************************************************\n");
}

TEST_F(LogTest, RawDataDumpsStopAt896Bytes) {
  ___ZEK_FAST_LOG_MASK = ZEK_LOG_MASK_DEBUGGER;
  const std::vector<std::uint8_t> bytes(1000, 0xAB);
  testing::internal::CaptureStderr();
  OSPrimDebugPrintRawData("big", 1000, bytes.data());
  OSPrimDebugPrintRawData(nullptr, 3, nullptr);  // nothing to show but the frame
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("big Data size = 896\n"), std::string::npos);
  const std::string full_line = " AB AB AB AB AB AB AB AB - AB AB AB AB AB AB AB AB \n";
  std::size_t lines = 0;
  for (std::size_t at = out.find(full_line); at != std::string::npos; at = out.find(full_line, at + 1)) ++lines;
  EXPECT_EQ(lines, 896u / 16);
  EXPECT_NE(out.find(" Data size = 3\n**********"), std::string::npos);
}

}  // namespace
