// The event log: one readable line per event in the host's eventlog.txt.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/advapi/advapi.h"

namespace {

std::string read(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(EventLog, EachEventIsOneLineWithItsSourceKindAndStrings) {
  char pattern[] = "/tmp/zek-eventlog-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::filesystem::path dir = pattern;
  setenv("ZEK_HOST", dir.c_str(), 1);
  HANDLE source = RegisterEventSourceA(nullptr, "ZekNdMapService");
  ASSERT_NE(source, nullptr);
  const char* strings[] = {"ZekNdMapService error: 5", "two\nlines | and a bar"};
  const BYTE data[] = {0x01, 0xAB};
  ASSERT_TRUE(
      ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 2, sizeof data, strings, const_cast<BYTE*>(data)));
  ASSERT_TRUE(ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 3, 7, nullptr, 0, 0, nullptr, nullptr));
  const std::string log = read(dir / "eventlog.txt");
  std::istringstream lines(log);
  std::string first, second, third;
  std::getline(lines, first);
  std::getline(lines, second);
  EXPECT_FALSE(std::getline(lines, third));  // two events, two lines
  EXPECT_NE(first.find(" error ZekNdMapService pid "), std::string::npos) << first;
  EXPECT_NE(first.find("event 0 category 0: ZekNdMapService error: 5 | two\\nlines \\| and a bar data=01,ab"),
            std::string::npos)
      << first;
  EXPECT_NE(second.find(" information ZekNdMapService pid "), std::string::npos) << second;
  EXPECT_NE(second.find("event 7 category 3:"), std::string::npos) << second;

  // Bad input.
  EXPECT_FALSE(ReportEventA(source, 0x40, 0, 0, nullptr, 0, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(DeregisterEventSource(source));
  EXPECT_FALSE(ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 0, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(DeregisterEventSource(source));
  EXPECT_EQ(RegisterEventSourceA("\\\\elsewhere", "x"), nullptr);
  EXPECT_EQ(GetLastError(), RPC_S_SERVER_UNAVAILABLE);
  unsetenv("ZEK_HOST");
  std::filesystem::remove_all(dir);
}

}  // namespace
