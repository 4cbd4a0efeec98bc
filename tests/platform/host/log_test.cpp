// host.log: bounded by rotation, and the place where a fault's last words
// are kept.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/host/log.h"
#include "platform/kernel/fault.h"
#include "tests/support/lab.h"

namespace {

using plat::host::Log;

class HostLog : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = zeklab::make_temp_dir("zek-log");
    ASSERT_FALSE(dir_.empty());
    path_ = dir_ / "host.log";
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::filesystem::path dir_;
  std::filesystem::path path_;
};

TEST_F(HostLog, RotatesAtItsBoundKeepingTheNewestLinesWhole) {
  constexpr std::size_t kBound = 4096;
  {
    Log log(path_.string(), kBound);
    for (int i = 0; i < 1000; ++i) log.line("message %04d with some padding to fill the line", i);
    log.raw("kernel output\n");
  }
  const std::string current = zeklab::read_file(path_);
  const std::string previous = zeklab::read_file(path_.string() + ".1");
  EXPECT_LE(current.size(), kBound);
  EXPECT_LE(previous.size(), kBound);
  EXPECT_FALSE(previous.empty());
  EXPECT_NE(current.find("message 0999"), std::string::npos);
  EXPECT_NE(current.find("kernel output\n"), std::string::npos);
  EXPECT_EQ(current.find("message 0000"), std::string::npos);
  // Whole lines only: each file starts with a time stamp and ends a line.
  for (const auto* text : {&current, &previous}) {
    EXPECT_EQ(text->back(), '\n');
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(text->front()))) << text->substr(0, 40);
  }
  // A log reopened at its bound rotates before its first new line.
  {
    Log log(path_.string(), current.size());
    log.line("after the restart");
  }
  EXPECT_EQ(zeklab::read_file(path_.string() + ".1"), current);
}

TEST_F(HostLog, AFaultIsWrittenToTheLogAsWellAsStandardError) {
  EXPECT_DEATH(
      {
        Log log(path_.string());
        log.line("before the fault");
        plat::fault(std::source_location::current(), "a driver broke %d", 7);
      },
      "KERNEL FAULT: a driver broke 7");
  const std::string text = zeklab::read_file(path_);
  EXPECT_NE(text.find("before the fault"), std::string::npos) << text;
  EXPECT_NE(text.find("*** KERNEL FAULT: a driver broke 7"), std::string::npos) << text;
}

}  // namespace
