// GetAdaptersInfo over a host's adapter list.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/iphlpapi/adapterlist.h"
#include "platform/iphlpapi/iphlpapi.h"

namespace {

class AdaptersInfo : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zek-iphlp-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv("ZEK_HOST", dir_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("ZEK_HOST");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  void write(const std::vector<plat::iphlp::Adapter>& adapters) {
    std::ofstream(dir_ / "adapters.txt") << plat::iphlp::format_adapter_list(adapters);
  }
  std::filesystem::path dir_;
};

plat::iphlp::Adapter adapter(std::uint32_t index, std::vector<std::uint8_t> mac, const char* native, const char* san) {
  plat::iphlp::Adapter a;
  a.index = index;
  a.name = "{7A656B00-0000-4000-8000-00000000000" + std::to_string(index) + "}";
  a.description = "zekhnic adapter " + std::to_string(index);
  a.mac = std::move(mac);
  if (native != nullptr) a.native = plat::iphlp::Address{native, "255.0.0.0"};
  if (san != nullptr) a.san = plat::iphlp::Address{san, "255.255.255.0"};
  return a;
}

TEST_F(AdaptersInfo, EveryAdapterIsListedWithItsMacAndAddresses) {
  write({adapter(1, {0x00, 0x12, 0x55, 0x00, 0x00, 0x10}, "127.0.10.1", "10.77.0.1"),
         adapter(2, {0x00, 0x12, 0x55, 0x00, 0x00, 0x11}, nullptr, nullptr)});
  ULONG size = 0;
  ASSERT_EQ(GetAdaptersInfo(nullptr, &size), ERROR_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 2 * sizeof(IP_ADAPTER_INFO) + sizeof(IP_ADDR_STRING));
  std::vector<std::byte> buffer(size);
  auto* info = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
  ULONG short_size = size - 1;
  EXPECT_EQ(GetAdaptersInfo(info, &short_size), ERROR_BUFFER_OVERFLOW);
  EXPECT_EQ(short_size, size);
  ASSERT_EQ(GetAdaptersInfo(info, &size), ERROR_SUCCESS);
  // The first adapter: its MAC, its native address first, its SAN address chained.
  EXPECT_EQ(info->AddressLength, 6u);
  EXPECT_EQ(std::memcmp(info->Address, "\x00\x12\x55\x00\x00\x10", 6), 0);
  EXPECT_STREQ(info->IpAddressList.IpAddress.String, "127.0.10.1");
  EXPECT_STREQ(info->IpAddressList.IpMask.String, "255.0.0.0");
  ASSERT_NE(info->IpAddressList.Next, nullptr);
  EXPECT_STREQ(info->IpAddressList.Next->IpAddress.String, "10.77.0.1");
  EXPECT_EQ(info->IpAddressList.Next->Next, nullptr);
  EXPECT_STREQ(info->AdapterName, "{7A656B00-0000-4000-8000-000000000001}");
  EXPECT_EQ(info->Index, 1u);
  EXPECT_EQ(info->Type, MIB_IF_TYPE_ETHERNET);
  // The chain's second record lies in the same buffer.
  ASSERT_EQ(info->Next, info + 1);
  EXPECT_STREQ(info->Next->IpAddressList.IpAddress.String, "0.0.0.0");
  EXPECT_EQ(info->Next->Next, nullptr);
  EXPECT_GE(reinterpret_cast<std::byte*>(info->IpAddressList.Next), buffer.data());
  EXPECT_LT(reinterpret_cast<std::byte*>(info->IpAddressList.Next), buffer.data() + buffer.size());
}

TEST_F(AdaptersInfo, NoListNoHostAndBadArgumentsGetTheirErrors) {
  ULONG size = 0;
  EXPECT_EQ(GetAdaptersInfo(nullptr, &size), ERROR_NO_DATA);  // a host without a list
  std::ofstream(dir_ / "adapters.txt") << "[adapter x]\n";
  EXPECT_EQ(GetAdaptersInfo(nullptr, &size), ERROR_NO_DATA);  // a list that makes no sense
  write({adapter(1, {1, 2, 3, 4, 5, 6}, "127.0.10.1", nullptr)});
  EXPECT_EQ(GetAdaptersInfo(nullptr, nullptr), ERROR_INVALID_PARAMETER);
  unsetenv("ZEK_HOST");
  EXPECT_EQ(GetAdaptersInfo(nullptr, &size), ERROR_NO_DATA);
}

TEST(AdapterList, TheTextComesBackAndNonsenseIsReportedWithItsLine) {
  std::vector<plat::iphlp::Adapter> in = {adapter(3, {0xFF, 0xFF, 0x00, 0x01, 0xAB, 0xCD}, "127.0.10.9", "10.1.2.3")};
  std::vector<plat::iphlp::Adapter> out;
  std::string error;
  ASSERT_TRUE(plat::iphlp::parse_adapter_list(plat::iphlp::format_adapter_list(in), &out, &error)) << error;
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].mac, in[0].mac);
  EXPECT_EQ(out[0].native->ip, "127.0.10.9");
  EXPECT_EQ(out[0].san->mask, "255.255.255.0");
  const char* bad[] = {"[adapter 1]\nmac = 0g-00\n", "[adapter 1]\nnative = 300.1.1.1\n", "[adapter]\n",
                       "mac = 00-01\n", "[adapter 1]\nno equals sign\n"};
  for (const char* text : bad) {
    EXPECT_FALSE(plat::iphlp::parse_adapter_list(text, &out, &error)) << text;
    EXPECT_EQ(error.rfind("line ", 0), 0u) << error;
  }
}

}  // namespace
