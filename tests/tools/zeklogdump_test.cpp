// zeklogdump as a real process against a zekhost with the proxy driver:
// the dump shows the driver's own records between the banners, a clear
// empties it, options are read as the tool documents, and without a host
// the tool says it could not read the size and still exits 0.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/lab.h"

namespace {

using zeklab::eventually;
using zeklab::exit_code;
using zeklab::read_file;
using zeklab::spawn;

constexpr const char* kStart = "*****************   Log Buffer Start   *****************************\n";
constexpr const char* kEnd = "*****************   Log Buffer End     *****************************\n";

class Zeklogdump : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = zeklab::make_temp_dir("zeklogdump-test");
    ASSERT_FALSE(dir_.empty());
    host_dir_ = dir_ / "host";
    std::filesystem::create_directory(host_dir_);
  }
  void TearDown() override {
    if (host_ > 0) zeklab::terminate(host_);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  void start_host() {
    std::ofstream conf(host_dir_ / "host.conf");
    conf << "[host]\nname = LOGHOST\nmemory_mb = 64\n\n[driver zekproxy]\npath = " << ZEK_PROXY_DRIVER << "\n";
    conf.close();
    host_ = zeklab::spawn_host(host_dir_);
    ASSERT_TRUE(eventually([&] { return zeklab::host_ready(host_dir_); })) << read_file(host_dir_ / "host.log");
    ASSERT_NE(read_file(host_dir_ / "host.log").find("driver zekproxy loaded"), std::string::npos);
  }

  // Runs zeklogdump with the arguments; its output, and its exit code in `code`.
  std::string logdump(std::vector<std::string> args, int* code, const std::filesystem::path& host = {}) {
    args.insert(args.begin(), ZEK_LOGDUMP);
    const std::filesystem::path out = dir_ / "out.txt";
    *code = exit_code(spawn(args, host.empty() ? host_dir_ : host, out));
    return read_file(out);
  }

  // The text between the banners; fails the test when they are missing.
  static std::string between_banners(const std::string& output) {
    const auto start = output.find(kStart);
    const auto end = output.find(kEnd);
    EXPECT_NE(start, std::string::npos) << output;
    EXPECT_NE(end, std::string::npos) << output;
    if (start == std::string::npos || end == std::string::npos || end < start) return {};
    return output.substr(start + std::strlen(kStart), end - start - std::strlen(kStart));
  }

  std::filesystem::path dir_, host_dir_;
  pid_t host_ = -1;
};

TEST_F(Zeklogdump, DumpsTheDriversRecordsAndClearsThem) {
  start_host();
  int code = -1;
  std::string output = logdump({}, &code);
  EXPECT_EQ(code, 0);
  EXPECT_NE(output.find("BytesReturned 24 \n"), std::string::npos) << output;
  EXPECT_NE(output.find("Param.size 4194304 \n"), std::string::npos) << output;
  EXPECT_NE(output.find("Log buffer size x400000\n"), std::string::npos) << output;
  const std::string records = between_banners(output);
  EXPECT_NE(records.find("] DriverEntry: zekproxy started, node name [LOGHOST_IWARP], libraries initialised\n"),
            std::string::npos)
      << output;
  EXPECT_EQ(records.rfind("[1] pid[", 0), 0u) << "the first record of the ring opens the dump: " << records;

  output = logdump({"-c"}, &code);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(output, "calling clear \n");

  output = logdump({}, &code);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(between_banners(output), "") << output;
}

TEST_F(Zeklogdump, OptionsAreReadAsDocumented) {
  start_host();
  int code = -1;
  EXPECT_EQ(logdump({"-d"}, &code), "");
  EXPECT_EQ(code, 0);
  EXPECT_EQ(logdump({"/D", "-c"}, &code), "") << "the first c or d decides";
  std::string output = logdump({"-x", "foo"}, &code);
  EXPECT_NE(between_banners(output).find("DriverEntry: zekproxy started"), std::string::npos)
      << "unknown options and arguments dump";
  EXPECT_EQ(logdump({"foo", "/C"}, &code), "calling clear \n");
  EXPECT_EQ(code, 0);
  EXPECT_EQ(between_banners(logdump({}, &code)), "");
}

TEST_F(Zeklogdump, WithoutAHostTheSizeCannotBeReadAndTheExitCodeIsZero) {
  int code = -1;
  const std::string output = logdump({}, &code, dir_ / "nohost");
  EXPECT_EQ(code, 0);
  EXPECT_NE(output.find("Creating file failed, error 2\n"), std::string::npos) << output;
  EXPECT_NE(output.find("Unable to open file \n"), std::string::npos) << output;
  EXPECT_NE(output.find("Log buffer size x0\nError reading size \n"), std::string::npos) << output;
  EXPECT_EQ(output.find(kStart), std::string::npos);
}

}  // namespace
