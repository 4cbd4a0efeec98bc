// The TDI stand-in: what a registered client hears of address arrivals and
// removals, the replay at registration, and the registration's checks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/tdi/host.h"

namespace {

struct Heard {
  bool add;
  std::u16string device;
  USHORT length;
  USHORT type;
  std::uint32_t ipv4;
};
std::vector<Heard>* g_heard;

void record(bool add, PTA_ADDRESS address, PUNICODE_STRING device) {
  TDI_ADDRESS_IP ip{};
  std::memcpy(&ip, address->Address, sizeof ip);
  g_heard->push_back(Heard{add, std::u16string(device->Buffer, device->Length / sizeof(WCHAR)), address->AddressLength,
                           address->AddressType, ip.in_addr});
}
void on_add(PTA_ADDRESS a, PUNICODE_STRING d, PTDI_PNP_CONTEXT) { record(true, a, d); }
void on_del(PTA_ADDRESS a, PUNICODE_STRING d, PTDI_PNP_CONTEXT) { record(false, a, d); }

TDI_CLIENT_INTERFACE_INFO client_info() {
  TDI_CLIENT_INTERFACE_INFO info{};
  info.MajorTdiVersion = 2;
  info.MinorTdiVersion = 0;
  info.AddAddressHandlerV2 = &on_add;
  info.DelAddressHandlerV2 = &on_del;
  return info;
}

class Tdi : public ::testing::Test {
 protected:
  void SetUp() override { g_heard = &heard_; }
  void TearDown() override { g_heard = nullptr; }
  plat::tdi::Tdi tdi_;
  std::vector<Heard> heard_;
};

TEST_F(Tdi, AClientHearsPresentAddressesThenEachChange) {
  tdi_.add_address(u"{A}", 0x0100000A);
  TDI_CLIENT_INTERFACE_INFO info = client_info();
  HANDLE handle = nullptr;
  ASSERT_EQ(TdiRegisterPnPHandlers(&info, sizeof info, &handle), STATUS_SUCCESS);
  tdi_.add_address(u"{B}", 0x0200000A);
  tdi_.add_address(u"{B}", 0x0200000A);  // again: nothing new
  tdi_.delete_address(u"{A}", 0x0100000A);
  tdi_.delete_address(u"{A}", 0x0100000A);  // gone already
  tdi_.add_address(u"{B}", 0x0300000A);
  tdi_.delete_adapter(u"{B}");
  struct Expected {
    bool add;
    const char16_t* device;
    std::uint32_t ipv4;
  };
  const Expected expected[] = {
      {true, u"\\Device\\Tcpip_{A}", 0x0100000A},  {true, u"\\Device\\Tcpip_{B}", 0x0200000A},
      {false, u"\\Device\\Tcpip_{A}", 0x0100000A}, {true, u"\\Device\\Tcpip_{B}", 0x0300000A},
      {false, u"\\Device\\Tcpip_{B}", 0x0200000A}, {false, u"\\Device\\Tcpip_{B}", 0x0300000A},
  };
  ASSERT_EQ(heard_.size(), std::size(expected));
  for (std::size_t i = 0; i < heard_.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(heard_[i].add, expected[i].add);
    EXPECT_EQ(heard_[i].device, expected[i].device);
    EXPECT_EQ(heard_[i].ipv4, expected[i].ipv4);
    EXPECT_EQ(heard_[i].length, TDI_ADDRESS_LENGTH_IP);
    EXPECT_EQ(heard_[i].type, TDI_ADDRESS_TYPE_IP);
  }
  ASSERT_EQ(TdiDeregisterPnPHandlers(handle), STATUS_SUCCESS);
  tdi_.add_address(u"{C}", 0x0400000A);
  EXPECT_EQ(heard_.size(), std::size(expected)) << "nothing after deregistration";
  EXPECT_EQ(TdiDeregisterPnPHandlers(handle), STATUS_INVALID_PARAMETER);
}

TEST_F(Tdi, RegistrationChecksTheRecord) {
  struct Case {
    const char* name;
    void (*change)(TDI_CLIENT_INTERFACE_INFO&);
  };
  const Case cases[] = {
      {"version 1", [](TDI_CLIENT_INTERFACE_INFO& i) { i.MajorTdiVersion = 1; }},
      {"version 2.1", [](TDI_CLIENT_INTERFACE_INFO& i) { i.MinorTdiVersion = 1; }},
      {"no add handler", [](TDI_CLIENT_INTERFACE_INFO& i) { i.AddAddressHandlerV2 = nullptr; }},
      {"no delete handler", [](TDI_CLIENT_INTERFACE_INFO& i) { i.DelAddressHandlerV2 = nullptr; }},
      {"a binding handler", [](TDI_CLIENT_INTERFACE_INFO& i) { i.BindingHandler = &i; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TDI_CLIENT_INTERFACE_INFO info = client_info();
    c.change(info);
    HANDLE handle = nullptr;
    EXPECT_EQ(TdiRegisterPnPHandlers(&info, sizeof info, &handle), STATUS_INVALID_PARAMETER);
  }
  TDI_CLIENT_INTERFACE_INFO info = client_info();
  HANDLE handle = nullptr;
  EXPECT_EQ(TdiRegisterPnPHandlers(&info, sizeof info - 1, &handle), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(TdiRegisterPnPHandlers(&info, sizeof info, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(tdi_.clients(), 0u);
}

TEST(TdiAbsent, WithoutAHostTdiRegistrationIsRefused) {
  TDI_CLIENT_INTERFACE_INFO info = client_info();
  HANDLE handle = nullptr;
  EXPECT_EQ(TdiRegisterPnPHandlers(&info, sizeof info, &handle), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(TdiDeregisterPnPHandlers(reinterpret_cast<HANDLE>(1)), STATUS_DEVICE_NOT_READY);
}

}  // namespace
