// The NDIS stand-in driving a fake miniport: the order of the handlers,
// pended restart and reset, the hang check on the virtual clock, the
// configuration, interrupts delivered to the ISR and its DPC, and the
// query that a kernel caller sends to an adapter's device.
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "include/hw/registers.h"
#include "include/zek/nicproxy.h"
#include "platform/ndis/ndis.h"
#include "sim/board.h"
#include "tests/miniport/nbl_sender.h"
#include "tests/support/ndis_fixture.h"

namespace {

using plat::ndis::AdapterState;

// What the fake miniport saw and does.
struct Fake {
  std::mutex mu;
  std::vector<std::string> calls;
  bool restart_pends = false;
  bool hang = false;
  ULONG speed = 0;
  std::u16string name;
  NDIS_PARAMETER_TYPE id_type = NdisParameterInteger;
  std::vector<std::uint8_t> mac;
  std::uint32_t seen_signature = 0, seen_command = 0;
  std::atomic<int> isr_irql{-1}, dpc_irql{-1};
  void call(const std::string& what) {
    std::lock_guard lock(mu);
    calls.push_back(what);
  }
};
Fake* g_fake = nullptr;

struct FakeAdapter {
  NDIS_HANDLE handle;
  PVOID registers;
  ULONG register_bytes;
  PVOID shared;
  NDIS_PHYSICAL_ADDRESS shared_pa;
  NDIS_HANDLE interrupt;
  NDIS_HANDLE timer;
};

BOOLEAN fake_isr(NDIS_HANDLE context, PBOOLEAN queue_dpc, PULONG) {
  auto* a = static_cast<FakeAdapter*>(context);
  g_fake->isr_irql = KeGetCurrentIrql();
  auto* regs = static_cast<volatile ULONG*>(a->registers);
  const ULONG cause = READ_REGISTER_ULONG(regs + zekhw::kRegIntrCause / 4);
  WRITE_REGISTER_ULONG(regs + zekhw::kRegIntrCause / 4, cause);
  *queue_dpc = cause != 0;
  return cause != 0;
}
BOOLEAN fake_message_isr(NDIS_HANDLE context, ULONG, PBOOLEAN queue_dpc, PULONG targets) {
  return fake_isr(context, queue_dpc, targets);
}
void fake_dpc(NDIS_HANDLE, PVOID, PVOID, PVOID) { g_fake->dpc_irql = KeGetCurrentIrql(); }
void fake_message_dpc(NDIS_HANDLE context, ULONG, PVOID, PVOID, PVOID) { fake_dpc(context, nullptr, nullptr, nullptr); }
void fake_timer(PVOID, PVOID, PVOID, PVOID) {}

NDIS_STATUS fake_initialize(NDIS_HANDLE handle, NDIS_HANDLE, PNDIS_MINIPORT_INIT_PARAMETERS parameters) {
  g_fake->call("initialize");
  auto* a = static_cast<FakeAdapter*>(
      NdisAllocateMemoryWithTagPriority(handle, sizeof(FakeAdapter), 0x656B6146, NormalPoolPriority));
  NdisZeroMemory(a, sizeof *a);
  a->handle = handle;
  NDIS_MINIPORT_ADAPTER_REGISTRATION_ATTRIBUTES registration{};
  registration.Header = {NDIS_OBJECT_TYPE_MINIPORT_ADAPTER_REGISTRATION_ATTRIBUTES, 1, 28};
  registration.MiniportAdapterContext = a;
  registration.AttributeFlags = NDIS_MINIPORT_ATTRIBUTES_HARDWARE_DEVICE | NDIS_MINIPORT_ATTRIBUTES_BUS_MASTER;
  registration.CheckForHangTimeInSeconds = 1;
  registration.InterfaceType = NdisInterfacePci;
  EXPECT_EQ(NdisMSetMiniportAttributes(handle, reinterpret_cast<PNDIS_MINIPORT_ADAPTER_ATTRIBUTES>(&registration)),
            NDIS_STATUS_SUCCESS);
  static NDIS_OID oids[] = {OID_ZEK_NIC_PROXY_INTERFACE, 0x00010101};
  NDIS_MINIPORT_ADAPTER_GENERAL_ATTRIBUTES general{};
  general.Header = {NDIS_OBJECT_TYPE_MINIPORT_ADAPTER_GENERAL_ATTRIBUTES, 1, sizeof general};
  general.MtuSize = 1500;
  general.SupportedOidList = oids;
  general.SupportedOidListLength = sizeof oids;
  EXPECT_EQ(NdisMSetMiniportAttributes(handle, reinterpret_cast<PNDIS_MINIPORT_ADAPTER_ATTRIBUTES>(&general)),
            NDIS_STATUS_SUCCESS);

  // Configuration.
  NDIS_CONFIGURATION_OBJECT object{{NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof(NDIS_CONFIGURATION_OBJECT)}, handle, 0};
  NDIS_HANDLE config = nullptr;
  EXPECT_EQ(NdisOpenConfigurationEx(&object, &config), NDIS_STATUS_SUCCESS);
  NDIS_STATUS status;
  PNDIS_CONFIGURATION_PARAMETER p = nullptr;
  NDIS_STRING speed = NDIS_STRING_CONST("Speed"), name = NDIS_STRING_CONST("Name"), id = NDIS_STRING_CONST("Id");
  NdisReadConfiguration(&status, &p, config, &speed, NdisParameterInteger);
  if (status == NDIS_STATUS_SUCCESS) g_fake->speed = p->ParameterData.IntegerData;
  NdisReadConfiguration(&status, &p, config, &name, NdisParameterString);
  if (status == NDIS_STATUS_SUCCESS) {
    g_fake->name.assign(p->ParameterData.StringData.Buffer, p->ParameterData.StringData.Length / 2);
  }
  NdisReadConfiguration(&status, &p, config, &id, NdisParameterString);
  if (status == NDIS_STATUS_SUCCESS) g_fake->id_type = p->ParameterType;
  PVOID mac = nullptr;
  UINT length = 0;
  NdisReadNetworkAddress(&status, &mac, &length, config);
  if (status == NDIS_STATUS_SUCCESS)
    g_fake->mac.assign(static_cast<std::uint8_t*>(mac), static_cast<std::uint8_t*>(mac) + length);
  NdisCloseConfiguration(config);

  // Resources: the register window, shared memory, the interrupt, a timer.
  for (ULONG i = 0; i < parameters->AllocatedResources->Count; ++i) {
    auto& d = parameters->AllocatedResources->PartialDescriptors[i];
    if (d.Type == CmResourceTypeMemory && a->registers == nullptr) {
      EXPECT_EQ(NdisMMapIoSpace(&a->registers, handle, d.u.Memory.Start, d.u.Memory.Length), NDIS_STATUS_SUCCESS);
      a->register_bytes = d.u.Memory.Length;
    }
  }
  NdisMAllocateSharedMemory(handle, 8192, FALSE, &a->shared, &a->shared_pa);
  EXPECT_NE(a->shared, nullptr);
  EXPECT_NE(a->shared_pa.QuadPart, 0);
  NDIS_MINIPORT_INTERRUPT_CHARACTERISTICS irq{};
  irq.Header = {NDIS_OBJECT_TYPE_MINIPORT_INTERRUPT, 1, sizeof irq};
  irq.InterruptHandler = fake_isr;
  irq.InterruptDpcHandler = fake_dpc;
  irq.MsiSupported = TRUE;
  irq.MessageInterruptHandler = fake_message_isr;
  irq.MessageInterruptDpcHandler = fake_message_dpc;
  EXPECT_EQ(NdisMRegisterInterruptEx(handle, a, &irq, &a->interrupt), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(irq.InterruptType, NDIS_CONNECT_MESSAGE_BASED);
  NDIS_TIMER_CHARACTERISTICS timer{{NDIS_OBJECT_TYPE_TIMER_CHARACTERISTICS, 1, 24}, 0x656B6146, fake_timer, a};
  EXPECT_EQ(NdisAllocateTimerObject(handle, &timer, &a->timer), NDIS_STATUS_SUCCESS);
  return NDIS_STATUS_SUCCESS;
}

void fake_halt(NDIS_HANDLE context, NDIS_HALT_ACTION) {
  g_fake->call("halt");
  auto* a = static_cast<FakeAdapter*>(context);
  NdisFreeTimerObject(a->timer);
  NdisMDeregisterInterruptEx(a->interrupt);
  NdisMFreeSharedMemory(a->handle, 8192, FALSE, a->shared, a->shared_pa);
  NdisMUnmapIoSpace(a->handle, a->registers, a->register_bytes);
  NdisFreeMemory(a, sizeof *a, 0);
}

NDIS_STATUS fake_restart(NDIS_HANDLE, PNDIS_MINIPORT_RESTART_PARAMETERS) {
  g_fake->call("restart");
  return g_fake->restart_pends ? NDIS_STATUS_PENDING : NDIS_STATUS_SUCCESS;
}
NDIS_STATUS fake_pause(NDIS_HANDLE, PNDIS_MINIPORT_PAUSE_PARAMETERS) {
  g_fake->call("pause");
  return NDIS_STATUS_SUCCESS;
}
BOOLEAN fake_hang(NDIS_HANDLE) { return g_fake->hang ? TRUE : FALSE; }
NDIS_STATUS fake_reset(NDIS_HANDLE, PBOOLEAN addressing) {
  g_fake->call("reset");
  *addressing = TRUE;
  return NDIS_STATUS_PENDING;
}
void fake_unload(PDRIVER_OBJECT) { g_fake->call("unload"); }

NDIS_STATUS fake_oid(NDIS_HANDLE, PNDIS_OID_REQUEST request) {
  auto& q = request->DATA.QUERY_INFORMATION;
  if (request->RequestType != NdisRequestQueryStatistics || q.Oid != OID_ZEK_NIC_PROXY_INTERFACE) {
    return NDIS_STATUS_NOT_SUPPORTED;
  }
  if (q.InformationBufferLength < sizeof(NicProxyInterfaceRequest)) return NDIS_STATUS_BUFFER_TOO_SHORT;
  auto* r = static_cast<NicProxyInterfaceRequest*>(q.InformationBuffer);
  g_fake->seen_signature = r->Signature;
  g_fake->seen_command = r->Command;
  r->Signature = NIC_PROXY_ANSWER_SIGNATURE;
  q.BytesWritten = sizeof *r;
  return NDIS_STATUS_SUCCESS;
}

NDIS_HANDLE g_driver_handle = nullptr;

NTSTATUS fake_entry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  NDIS_MINIPORT_DRIVER_CHARACTERISTICS c{};
  c.Header = {NDIS_OBJECT_TYPE_MINIPORT_DRIVER_CHARACTERISTICS, 1, 136};
  c.MajorNdisVersion = 6;
  c.InitializeHandlerEx = fake_initialize;
  c.HaltHandlerEx = fake_halt;
  c.UnloadHandler = fake_unload;
  c.PauseHandler = fake_pause;
  c.RestartHandler = fake_restart;
  c.OidRequestHandler = fake_oid;
  c.CheckForHangHandlerEx = fake_hang;
  c.ResetHandlerEx = fake_reset;
  return NdisMRegisterMiniportDriver(driver, path, nullptr, &c, &g_driver_handle);
}

class FakeMiniportTest : public NdisTest {
 protected:
  void SetUp() override {
    NdisTest::SetUp();
    g_fake = &fake_;
  }
  void TearDown() override {
    if (driver_ != nullptr) io_->unload_driver(driver_);
    NdisTest::TearDown();
    g_fake = nullptr;
  }
  plat::ndis::Adapter& start(std::vector<std::pair<std::string, std::string>> entries) {
    entries.emplace_back("driver", "fakenic");
    add_board("nic0", entries);
    EXPECT_EQ(io_->load_driver("fakenic", fake_entry, &driver_), STATUS_SUCCESS);
    EXPECT_EQ(ndis_->start_adapters(driver_), 1u);
    return *ndis_->adapters().at(0);
  }
  std::vector<std::string> calls() {
    std::lock_guard lock(fake_.mu);
    return fake_.calls;
  }
  Fake fake_;
  PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(FakeMiniportTest, DrivesTheLifecycleInOrderAndCompletesAPendedRestart) {
  plat::ndis::Adapter& adapter = start({});
  EXPECT_EQ(adapter.state(), AdapterState::Running);
  EXPECT_EQ(adapter.holdings().mappings, 1u);
  EXPECT_EQ(adapter.holdings().interrupts, 1u);

  EXPECT_EQ(ndis_->restart(adapter), NDIS_STATUS_FAILURE) << "restart is refused while running";
  EXPECT_EQ(ndis_->pause(adapter), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(adapter.state(), AdapterState::Paused);
  fake_.restart_pends = true;
  EXPECT_EQ(ndis_->restart(adapter), NDIS_STATUS_PENDING);
  EXPECT_EQ(adapter.state(), AdapterState::Restarting);
  NdisMRestartComplete(&adapter, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(adapter.state(), AdapterState::Running);

  io_->unload_driver(driver_);  // halts first, then unloads
  driver_ = nullptr;
  EXPECT_EQ(calls(),
            (std::vector<std::string>{"initialize", "restart", "pause", "restart", "pause", "halt", "unload"}));
  EXPECT_TRUE(ndis_->adapters().empty());
  EXPECT_EQ(host_log().find("left behind"), std::string::npos) << host_log();
}

// The protocol's side keeps a bounded number of the frames it receives: a
// host that runs long under traffic does not grow without end. Past the
// bound frames are only counted, and that is said once.
TEST_F(FakeMiniportTest, TheProtocolKeepsABoundedNumberOfReceivedFrames) {
  plat::ndis::Adapter& adapter = start({});
  datapath::Sender sender;
  NET_BUFFER_LIST* list = sender.make(std::vector<std::uint8_t>(60, 0xAB));
  const std::size_t frames = plat::ndis::Adapter::kKeptFramesMax + 10;
  for (std::size_t i = 0; i < frames; ++i) {
    NdisMIndicateReceiveNetBufferLists(&adapter, list, 0, 1, NDIS_RECEIVE_FLAGS_RESOURCES);
  }
  EXPECT_EQ(adapter.receive_count(), frames);
  EXPECT_EQ(adapter.received_frames().size(), plat::ndis::Adapter::kKeptFramesMax);
  EXPECT_EQ(adapter.received_info().size(), plat::ndis::Adapter::kKeptFramesMax);
  const std::string log = host_log();
  const std::string said = "keeps no more received frames";
  const std::size_t first = log.find(said);
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find(said, first + 1), std::string::npos) << "said once";
}

TEST_F(FakeMiniportTest, KeepsAttributesAndReadsTheAdaptersKeywords) {
  plat::ndis::Adapter& adapter = start({{"Speed", "0x10"}, {"Name", "abc"}, {"NetworkAddress", "02-00-00-00-00-01"}});
  registry_->set_dword(adapter.key_, u"Id", 5);
  const auto attributes = adapter.attributes();
  ASSERT_TRUE(attributes.registration.has_value());
  EXPECT_EQ(attributes.registration->CheckForHangTimeInSeconds, 1u);
  EXPECT_EQ(attributes.supported_oids, (std::vector<NDIS_OID>{OID_ZEK_NIC_PROXY_INTERFACE, 0x00010101}));
  EXPECT_EQ(fake_.speed, 0x10u);
  EXPECT_EQ(fake_.name, u"abc");
  EXPECT_EQ(fake_.mac, (std::vector<std::uint8_t>{2, 0, 0, 0, 0, 1}));
}

TEST_F(FakeMiniportTest, AnIntegerKeywordReadAsAStringSaysSo) {
  add_board("nic0", {{"driver", "fakenic"}});
  registry_->set_dword(kernel().pci().functions().at(0).driver_key, u"Id", 5);
  ASSERT_EQ(io_->load_driver("fakenic", fake_entry, &driver_), STATUS_SUCCESS);
  ndis_->start_adapters(driver_);
  EXPECT_EQ(fake_.id_type, NdisParameterInteger);
}

TEST_F(FakeMiniportTest, HangCheckStartsAResetThatPendsUntilCompleted) {
  plat::ndis::Adapter& adapter = start({});
  clock().advance(5'000'000);  // 0.5 s: no check yet
  KeFlushQueuedDpcs();
  EXPECT_EQ(adapter.hang_checks(), 0u);
  clock().advance(5'000'000);
  ASSERT_TRUE(eventually([&] { return adapter.hang_checks() == 1; }));
  EXPECT_FALSE(adapter.reset_in_progress());

  fake_.hang = true;
  clock().advance(10'000'000);
  ASSERT_TRUE(eventually([&] { return adapter.reset_in_progress(); }));
  EXPECT_EQ(ndis_->reset(adapter), NDIS_STATUS_RESET_IN_PROGRESS);
  // No hang checks while the reset is pending.
  const auto checks = adapter.hang_checks();
  fake_.hang = false;
  clock().advance(10'000'000);
  KeFlushQueuedDpcs();
  EXPECT_EQ(adapter.hang_checks(), checks);
  NdisMResetComplete(&adapter, NDIS_STATUS_SUCCESS, TRUE);
  EXPECT_FALSE(adapter.reset_in_progress());
  EXPECT_EQ(adapter.resets(), 1u);
}

TEST_F(FakeMiniportTest, TheInterruptRunsTheIsrAtDeviceLevelAndItsDpcAtDispatch) {
  start({});
  zeksim::Board& board = adapters_->board(0);
  // Unmask CEQ 0 and turn the master enable on, as a driver would.
  board.mmio_write(0, zeksim::Window::Registers, zekhw::kRegIntrMask, 0xFFFFFFFEu, 4);
  board.inject_interrupt(0, 1);
  ASSERT_TRUE(eventually([&] { return fake_.dpc_irql.load() >= 0; }));
  EXPECT_GT(fake_.isr_irql.load(), DISPATCH_LEVEL);
  EXPECT_EQ(fake_.dpc_irql.load(), DISPATCH_LEVEL);
}

TEST_F(FakeMiniportTest, AKernelCallersStatisticsQueryCarriesItsBufferToTheMiniport) {
  start({{"f0.NetCfgInstanceId", "{00000000-1111-2222-3333-444444444444}"}});
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\{00000000-1111-2222-3333-444444444444}");
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device), STATUS_SUCCESS);

  auto* request = static_cast<NicProxyInterfaceRequest*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(NicProxyInterfaceRequest), 0x74736554));
  *request = {NIC_PROXY_REQUEST_SIGNATURE, 24, NIC_PROXY_COMMAND_ADD, 0, nullptr};
  NDIS_OID oid = OID_ZEK_NIC_PROXY_INTERFACE;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_NDIS_QUERY_GLOBAL_STATS, device, &oid, sizeof oid, request,
                                           sizeof *request, FALSE, &done, &iosb);
  ASSERT_NE(irp, nullptr);
  NTSTATUS status = IoCallDriver(device, irp);
  if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, sizeof *request);
  EXPECT_EQ(fake_.seen_signature, NIC_PROXY_REQUEST_SIGNATURE);
  EXPECT_EQ(fake_.seen_command, NIC_PROXY_COMMAND_ADD);
  EXPECT_EQ(request->Signature, NIC_PROXY_ANSWER_SIGNATURE);

  // Another OID is the miniport's to refuse, and the refusal reaches the caller.
  oid = 0x12345678;
  KeClearEvent(&done);
  irp = IoBuildDeviceIoControlRequest(IOCTL_NDIS_QUERY_GLOBAL_STATS, device, &oid, sizeof oid, request, sizeof *request,
                                      FALSE, &done, &iosb);
  status = IoCallDriver(device, irp);
  if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(iosb.Status, NDIS_STATUS_NOT_SUPPORTED);
  ExFreePoolWithTag(request, 0x74736554);
  ObDereferenceObject(file);
}

}  // namespace
