// GetAdaptersInfo in a process of a real host: the adapters its miniport
// brought up, with their MACs, the host's native address on the first, and
// nothing once the host has stopped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/iphlpapi/iphlpapi.h"
#include "tests/platform/labhost.h"

namespace {

std::string conf(int functions) {
  std::string text =
      "[adapter nic0]\ndriver = zektestminiport\nwire = no\nfunctions = " + std::to_string(functions) + "\n";
  for (int f = 0; f < functions; ++f) {
    text += "f" + std::to_string(f) + ".NetworkAddress = 02-00-00-00-0A-0" + std::to_string(f) + "\n";
  }
  return text + "[driver zektestminiport]\npath = " ZEK_TEST_MINIPORT "\n";
}

// The adapter chain of this process's host; the error when there is none.
DWORD adapters(std::vector<std::byte>* buffer) {
  ULONG size = 0;
  DWORD error = GetAdaptersInfo(nullptr, &size);
  if (error != ERROR_BUFFER_OVERFLOW) return error;
  buffer->assign(size, std::byte{0});
  return GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer->data()), &size);
}

class HostAdapters : public ::testing::Test {
 protected:
  void TearDown() override { unsetenv("ZEK_HOST"); }
};

TEST_F(HostAdapters, EveryAdapterThatCameUpIsListedUntilTheHostStops) {
  labtest::Host host("IPHLPHOST", "127.0.10.43", conf(2));
  ASSERT_TRUE(host.start()) << host.log();
  setenv("ZEK_HOST", host.dir().c_str(), 1);
  std::vector<std::byte> buffer;
  ASSERT_EQ(adapters(&buffer), ERROR_SUCCESS) << host.log();
  const auto* info = reinterpret_cast<const IP_ADAPTER_INFO*>(buffer.data());
  const char* macs[] = {"\x02\x00\x00\x00\x0A\x00", "\x02\x00\x00\x00\x0A\x01"};
  const char* addresses[] = {"127.0.10.43", "0.0.0.0"};
  int count = 0;
  for (; info != nullptr; info = info->Next, ++count) {
    ASSERT_LT(count, 2) << "more adapters than the host has";
    EXPECT_EQ(info->Index, static_cast<DWORD>(count + 1));
    EXPECT_EQ(info->AddressLength, 6u);
    EXPECT_EQ(std::memcmp(info->Address, macs[count], 6), 0) << "adapter " << count;
    EXPECT_STREQ(info->IpAddressList.IpAddress.String, addresses[count]);
    // Each carries the NetCfgInstanceId the host gave its function.
    EXPECT_EQ(std::strncmp(info->AdapterName, "{7A656B00-0000-4000-8000-", 25), 0) << info->AdapterName;
  }
  EXPECT_EQ(count, 2);
  EXPECT_EQ(host.stop(), 0);
  EXPECT_EQ(adapters(&buffer), ERROR_NO_DATA);
}

TEST_F(HostAdapters, AHostWithoutAdaptersListsNone) {
  labtest::Host host("IPHLPNONE", "127.0.10.44");
  ASSERT_TRUE(host.start()) << host.log();
  setenv("ZEK_HOST", host.dir().c_str(), 1);
  std::vector<std::byte> buffer;
  EXPECT_EQ(adapters(&buffer), ERROR_NO_DATA);
}

}  // namespace
