// The address handlers' share of the attach, in-process: an adapter's NDIS
// device played by the test answers the private OID with a record; an
// announced address attaches, a failed attach keeps the address entry and
// gives the progress word and the record's hold back, and the adapter's
// next announcement attaches again.
#include <cstring>

#include "include/zek/nicproxy.h"
#include "platform/ndis/ndis.h"
#include "platform/tdi/host.h"
#include "proxy/core/attach.h"
#include "tests/proxy/core/proxy_fixture.h"

// The driver's delete-address handler, as TDI calls it.
void PxSanDelAddress(PTA_ADDRESS Address, PUNICODE_STRING DeviceName, PTDI_PNP_CONTEXT Context);

namespace {

NicProxyInterface g_record;
int g_requests = 0;

// The adapter's NDIS device: answers IOCTL_NDIS_QUERY_GLOBAL_STATS with the
// record, taking a hold of its gate for "UADD" as the miniport does.
NTSTATUS fake_ndis_dispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
    status = STATUS_INVALID_DEVICE_REQUEST;
    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_NDIS_QUERY_GLOBAL_STATS &&
        stack->Parameters.DeviceIoControl.OutputBufferLength == sizeof(NicProxyInterfaceRequest) &&
        irp->MdlAddress != nullptr) {
      auto* request = static_cast<NicProxyInterfaceRequest*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, 0));
      ++g_requests;
      if (request->Command == NIC_PROXY_COMMAND_ADD) NicProxyGateEnter(&g_record.Gate);
      request->Signature = NIC_PROXY_ANSWER_SIGNATURE;
      request->Interface = &g_record;
      irp->IoStatus.Information = sizeof *request;
      status = STATUS_SUCCESS;
    }
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS fake_ndis_entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL}) {
    driver->MajorFunction[major] = &fake_ndis_dispatch;
  }
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\{fake-adapter}");
  PDEVICE_OBJECT device = nullptr;
  return IoCreateDevice(driver, 0, &name, FILE_DEVICE_PHYSICAL_NETCARD, 0, FALSE, &device);
}

void fake_ndis_unload(PDRIVER_OBJECT driver) {
  while (driver->DeviceObject != nullptr) IoDeleteDevice(driver->DeviceObject);
}

class AttachAddress : public ProxyTest {
 protected:
  void SetUp() override {
    ProxyTest::SetUp();
    g_record = NicProxyInterface{};
    g_requests = 0;
    ASSERT_EQ(io_->load_driver("fakendis", &fake_ndis_entry, &ndis_), STATUS_SUCCESS);
    ndis_->DriverUnload = &fake_ndis_unload;
    ASSERT_EQ(load(), STATUS_SUCCESS);
  }
  void TearDown() override {
    g_ZpxAttachFault = ZPX_ATTACH_NONE;
    if (driver_ != nullptr) unload();
    io_->unload_driver(ndis_);
    ProxyTest::TearDown();
  }
  std::uint32_t listed() {
    std::uint8_t reply[68] = {};
    ULONG_PTR bytes = 0;
    EXPECT_EQ(kernel_call(IOCTL_ZEK_GET_SAN_ADDRESS_LIST, reply, 0, sizeof reply, &bytes), STATUS_SUCCESS);
    std::uint32_t count = 0;
    std::memcpy(&count, reply, 4);
    return count;
  }
  std::unique_ptr<plat::tdi::Tdi> tdi_ = std::make_unique<plat::tdi::Tdi>();
  PDRIVER_OBJECT ndis_ = nullptr;
};

// The record of this test names no hardware, so an attach that gets past
// its first steps fails at the device object's check: each announcement's
// attempt shows in the step it failed at.
TEST_F(AttachAddress, AFailedAttachKeepsItsEntryAndTheNextAnnouncementRetries) {
  g_ZpxAttachFault = ZPX_ATTACH_ALLOCATE;
  tdi_->add_address(u"{fake-adapter}", 0x0100000A);
  g_ZpxAttachFault = ZPX_ATTACH_NONE;
  EXPECT_NE(ring_text().find("Couldn't allocate memory for Adapter Info"), std::string::npos) << ring_text();
  EXPECT_EQ(g_record.AttachProgress, 0u) << "never left at 0x555555";
  EXPECT_EQ(NicProxyGateHolds(&g_record.Gate), 0u);
  EXPECT_EQ(listed(), 1u) << "the entry stays for the retry";

  // A further address of the adapter: the attach is tried again.
  OSPrimLogRingClear();
  tdi_->add_address(u"{fake-adapter}", 0x0200000A);
  EXPECT_NE(ring_text().find("pBaseDeviceObj is not valid"), std::string::npos) << ring_text();
  EXPECT_EQ(g_record.AttachProgress, 0u);
  EXPECT_EQ(NicProxyGateHolds(&g_record.Gate), 0u);
  EXPECT_EQ(listed(), 1u) << "one entry per adapter";
  EXPECT_EQ(g_record.AddressKey, 0x0200000Au);

  // The removal of an address the list does not hold (the adapter's
  // earlier one, which its entry no longer names, or one never announced)
  // changes nothing and does not even ask the adapter.
  for (const std::uint32_t gone : {0x0100000Au, 0x0900000Au}) {
    const int before = g_requests;
    tdi_->delete_address(u"{fake-adapter}", gone);
    EXPECT_EQ(g_requests, before) << std::hex << gone;
    EXPECT_EQ(listed(), 1u) << std::hex << gone;
  }

  // A removal the miniport reports drops the entry without asking it.
  const int asked = g_requests;
  TA_ADDRESS address{TDI_ADDRESS_LENGTH_IP, TDI_ADDRESS_TYPE_IP, {}};
  const TDI_ADDRESS_IP ip{0, 0x0200000A, {}};
  std::memcpy(address.Address, &ip, sizeof ip);
  struct {
    USHORT size = 4, type = 0;
    ULONG value = ZPX_CUSTOM_OID_RESPONSE;
  } context;
  PxSanDelAddress(&address, nullptr, reinterpret_cast<PTDI_PNP_CONTEXT>(&context));
  EXPECT_EQ(g_requests, asked);
  EXPECT_EQ(listed(), 0u);
}

}  // namespace
