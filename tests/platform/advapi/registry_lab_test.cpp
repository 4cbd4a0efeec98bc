// The registry of a real host: what a process writes, the host's drivers read.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/advapi/advapi.h"
#include "tests/platform/kernel/io/testdrv.h"
#include "tests/platform/labhost.h"

namespace {

class HostRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ = std::make_unique<labtest::Host>("REGHOST", "127.0.10.43",
                                            std::string("\n[driver zektest]\npath = ") + ZEK_TEST_DRIVER + "\n");
    ASSERT_TRUE(host_->start()) << host_->log();
    setenv("ZEK_HOST", host_->dir().c_str(), 1);
    device_ = CreateFileA("\\\\.\\zektest", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(device_, INVALID_HANDLE_VALUE) << GetLastError();
  }
  void TearDown() override {
    if (device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
    unsetenv("ZEK_HOST");
  }
  testdrv::ValueReply driver_reads(std::u16string key, std::u16string name) {
    testdrv::ValueQuery query{};
    key.copy(query.key, std::size(query.key) - 1);
    name.copy(query.name, std::size(query.name) - 1);
    testdrv::ValueReply reply{};
    DWORD bytes = 0;
    EXPECT_TRUE(
        DeviceIoControl(device_, testdrv::kQueryValue, &query, sizeof query, &reply, sizeof reply, &bytes, nullptr));
    return reply;
  }
  std::unique_ptr<labtest::Host> host_;
  HANDLE device_ = INVALID_HANDLE_VALUE;
};

constexpr char16_t kDriverKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\zektest\\Parameters";

TEST_F(HostRegistry, ValuesAProcessWritesAreWhatTheDriverReads) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\zektest\\Parameters", 0, nullptr,
                            0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  DWORD number = 42;
  ASSERT_EQ(RegSetValueExA(key, "Number", 0, REG_DWORD, reinterpret_cast<BYTE*>(&number), 4), ERROR_SUCCESS);
  const char text[] = "from a process";
  ASSERT_EQ(RegSetValueExA(key, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text), ERROR_SUCCESS);

  auto reply = driver_reads(kDriverKey, u"number");
  ASSERT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.type, REG_DWORD);
  ASSERT_EQ(reply.length, 4u);
  DWORD read = 0;
  std::memcpy(&read, reply.data, 4);
  EXPECT_EQ(read, 42u);
  reply = driver_reads(kDriverKey, u"Text");
  ASSERT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.type, REG_SZ);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(reply.data)), u"from a process");

  // A change is seen at once, with no restart of the host.
  number = 43;
  ASSERT_EQ(RegSetValueExA(key, "Number", 0, REG_DWORD, reinterpret_cast<BYTE*>(&number), 4), ERROR_SUCCESS);
  reply = driver_reads(kDriverKey, u"Number");
  std::memcpy(&read, reply.data, 4);
  EXPECT_EQ(read, 43u);
  ASSERT_EQ(RegDeleteValueA(key, "Number"), ERROR_SUCCESS);
  EXPECT_EQ(driver_reads(kDriverKey, u"Number").status, STATUS_OBJECT_NAME_NOT_FOUND);
  RegCloseKey(key);
  ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\zektest\\Parameters"),
            ERROR_SUCCESS);
  EXPECT_EQ(driver_reads(kDriverKey, u"Text").status, STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(HostRegistry, WhatTheHostWroteAProcessReads) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName", 0,
                          KEY_READ, &key),
            ERROR_SUCCESS);
  char name[64];
  DWORD size = sizeof name;
  ASSERT_EQ(RegQueryValueExA(key, "ComputerName", nullptr, nullptr, reinterpret_cast<BYTE*>(name), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "REGHOST");
  RegCloseKey(key);
}

TEST_F(HostRegistry, ValuesSurviveTheHostsRestart) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zek", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const char text[] = "kept ";  // a trailing blank
  ASSERT_EQ(RegSetValueExA(key, "Kept", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text), ERROR_SUCCESS);
  RegCloseKey(key);
  CloseHandle(device_);
  device_ = INVALID_HANDLE_VALUE;
  ASSERT_EQ(host_->stop(), 0);
  ASSERT_TRUE(host_->start()) << host_->log();
  device_ = CreateFileA("\\\\.\\zektest", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(device_, INVALID_HANDLE_VALUE);
  auto reply = driver_reads(u"\\Registry\\Machine\\Software\\Zek", u"Kept");
  ASSERT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(reply.data)), u"kept ");
}

}  // namespace
