// The driver's TDI client: registration and deregistration with the host's
// TDI, interfaces that are not adapters of the miniport, and the address
// list request.
#include "platform/tdi/host.h"
#include "proxy/core/fault_injection.h"
#include "tests/proxy/core/proxy_fixture.h"

namespace {

class AddressList : public ProxyTest {
 protected:
  std::unique_ptr<plat::tdi::Tdi> tdi_ = std::make_unique<plat::tdi::Tdi>();
};

TEST_F(AddressList, TheDriverIsATdiClientWhileLoaded) {
  tdi_->add_address(u"{present}", 0x0100000A);  // replayed at registration
  ASSERT_EQ(load(), STATUS_SUCCESS);
  EXPECT_TRUE(g_ZpxExtension->TdiRegistered);
  EXPECT_EQ(tdi_->clients(), 1u);
  unload();
  EXPECT_EQ(tdi_->clients(), 0u);
}

// A failed registration (no TDI, or refused) leaves the driver loaded, and
// unload has nothing to deregister.
TEST_F(AddressList, AFailedRegistrationKeepsTheDriverUp) {
  g_ZpxInjectedFault = ZpxFaultStep::TdiRegister;
  ASSERT_EQ(load(), STATUS_SUCCESS);
  g_ZpxInjectedFault = ZpxFaultStep::None;
  EXPECT_FALSE(g_ZpxExtension->TdiRegistered);
  EXPECT_TRUE(g_ZpxExtension->LibrariesInitialized);
  EXPECT_NE(ring_text().find("DriverEntry:OSInit returned ZekResult  (0x1)"), std::string::npos);
  EXPECT_EQ(tdi_->clients(), 0u);
  unload();
  EXPECT_EQ(ring_text().find("PxSanAlDestroy"), std::string::npos);
}

// Interfaces that do not answer the attach request are ignored: a device of
// another driver (here the control device itself), a device that does not
// exist, and a name no longer than the TDI prefix.
TEST_F(AddressList, InterfacesOfOtherDriversAreIgnored) {
  ASSERT_EQ(load(), STATUS_SUCCESS);
  struct Case {
    const char16_t* adapter;
    const char* logged;
  };
  const Case cases[] = {
      {u"zekproxy", nullptr},
      {u"{no-such-adapter}", nullptr},
      {u"", "OpenByDeviceName: device name of 14 characters names no adapter"},
  };
  for (const Case& c : cases) {
    OSPrimLogRingClear();
    tdi_->add_address(c.adapter, 0x0200000A);
    tdi_->delete_address(c.adapter, 0x0200000A);
    if (c.logged != nullptr) {
      EXPECT_NE(ring_text().find(c.logged), std::string::npos) << ring_text();
    }
  }
  std::uint8_t reply[64];
  ULONG_PTR bytes = 99;
  EXPECT_EQ(kernel_call(IOCTL_ZEK_GET_SAN_ADDRESS_LIST, reply, 0, sizeof reply, &bytes), STATUS_SUCCESS);
  EXPECT_EQ(bytes, 4u);
  std::uint32_t count = 99;
  std::memcpy(&count, reply, 4);
  EXPECT_EQ(count, 0u);
  unload();
}

TEST_F(AddressList, TheAddressListRequestChecksItsBuffer) {
  ASSERT_EQ(load(), STATUS_SUCCESS);
  const std::uint64_t file = open();
  std::uint8_t reply[20] = {};
  EXPECT_EQ(call(file, IOCTL_ZEK_GET_SAN_ADDRESS_LIST, reply, 0, 3).status, STATUS_BUFFER_TOO_SMALL);
  const auto answer = call(file, IOCTL_ZEK_GET_SAN_ADDRESS_LIST, reply, 0, 4);
  EXPECT_EQ(answer.status, STATUS_SUCCESS);
  EXPECT_EQ(answer.information, 4u);
  close(file);
  unload();
}

}  // namespace
