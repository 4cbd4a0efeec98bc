// zekhnic's side of the NIC-proxy contract, in a host of one test with a
// two-function board: the private OID as a kernel caller sends it (through
// NDIS's IOCTL_NDIS_QUERY_GLOBAL_STATS), the card-table routines against the
// adapter model's ARP cache and destination-IP table, and the halt's call of
// the proxy driver's detach slot.
#include <array>
#include <cstring>
#include <optional>
#include <string>

#include "include/hw/registers.h"
#include "miniport/adapter.h"
#include "miniport/hwobjects.h"
#include "miniport/nic_proxy.h"
#include "proxy/core/osprim/osprim_kernel.h"
#include "sim/board.h"
#include "tests/support/lab.h"
#include "tests/support/ndis_fixture.h"

namespace {

constexpr std::uint32_t kSanAddress = 0x0A4D0001;  // 10.77.0.1

std::string log_ring() {
  std::string text(OSPrimLogRingSize(), '\0');
  text.resize(OSPrimLogRingRead(0, text.data(), static_cast<std::uint32_t>(text.size())));
  return text;
}

// On the real clock: the board's engine runs in real time, and a bring-up
// wait of the virtual clock would pass before the engine looked at a request.
class NicProxyTest : public NdisTest {
 protected:
  plat::KernelOptions options() override {
    plat::KernelOptions o = NdisTest::options();
    o.clock = plat::Clock::Mode::Real;
    return o;
  }
  void SetUp() override {
    NdisTest::SetUp();
    OSPrimLogRingClear();
    add_board("nic0", {{"functions", "2"},
                       {"f0.NetCfgInstanceId", "{np-0}"},
                       {"f1.NetCfgInstanceId", "{np-1}"},
                       {"f0.IPADDRESS0", "10.77.0.1"},
                       {"f0.NetMask0", "255.255.0.0"}});
    ASSERT_EQ(io_->load_driver("zekhnic", DriverEntry, &driver_), STATUS_SUCCESS);
    ASSERT_EQ(ndis_->start_adapters(driver_), 2u);
    for (plat::ndis::Adapter* a : ndis_->adapters()) {
      ASSERT_TRUE(ndis_->wait_for(*a, plat::ndis::AdapterState::Running, std::chrono::seconds(60)))
          << a->name() << "\n"
          << log_ring() << host_log();
    }
  }
  void TearDown() override {
    if (driver_ != nullptr) {
      ndis_->stop_adapters(driver_);
      io_->unload_driver(driver_);
    }
    NdisTest::TearDown();
  }

  // IOCTL_NDIS_QUERY_GLOBAL_STATS with the private OID, as the proxy driver
  // sends it, to the adapter's NDIS device.
  NTSTATUS query(const char16_t* device_name, void* buffer, ULONG length, ULONG_PTR* bytes) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, device_name);
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device);
    if (!NT_SUCCESS(status)) return status;
    ULONG oid = OID_ZEK_NIC_PROXY_INTERFACE;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_NDIS_QUERY_GLOBAL_STATS, device, &oid, sizeof oid, buffer, length,
                                             FALSE, &done, &iosb);
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      status = iosb.Status;
    }
    *bytes = iosb.Information;
    ObDereferenceObject(file);
    return status;
  }
  NTSTATUS ask(std::uint32_t f, NicProxyInterfaceRequest* request, ULONG_PTR* bytes, ULONG length = 24) {
    return query(f == 0 ? u"\\Device\\{np-0}" : u"\\Device\\{np-1}", request, length, bytes);
  }

  ZEK_ADAPTER* adapter(std::uint32_t f) { return ZekFindAdapterByFunction(f); }
  NicProxyInterface& record(std::uint32_t f) { return adapter(f)->Proxy.Shared; }
  zeksim::Board& board() { return adapters_->board(0); }

  PDRIVER_OBJECT driver_ = nullptr;
};

NicProxyInterfaceRequest request_of(std::uint32_t command, std::uint32_t signature = NIC_PROXY_REQUEST_SIGNATURE) {
  return NicProxyInterfaceRequest{signature, 24, command, 0, nullptr};
}

// ---- The private OID ----------------------------------------------------------------------------------------
TEST_F(NicProxyTest, TheOidAnswersByCommandAndRefusesForeignOrDamagedRequests) {
  NicProxyInterface& r = record(0);
  NIC_HW_INFO* hw = adapter(0)->HwInfo;
  struct Case {
    const char* name;
    NicProxyInterfaceRequest request;
    ULONG length;
    void (*damage)(NIC_HW_INFO*, NicProxyInterface&);
    NTSTATUS status;
    bool answered;  // "CINI" and the record
    bool filled;    // the attach fields written
    const char* logged;
  };
  const Case cases[] = {
      {"attach", request_of(NIC_PROXY_COMMAND_ADD), 24, nullptr, STATUS_SUCCESS, true, true, nullptr},
      {"query", request_of(NIC_PROXY_COMMAND_QUERY), 24, nullptr, STATUS_SUCCESS, true, false, nullptr},
      {"detach", request_of(NIC_PROXY_COMMAND_DELETE), 24, nullptr, STATUS_SUCCESS, true, false, nullptr},
      {"unknown command", request_of(0x12345678), 24, nullptr, STATUS_SUCCESS, true, false, "DEFAULT"},
      {"foreign caller", request_of(NIC_PROXY_COMMAND_ADD, 0x11111111), 24, nullptr, STATUS_UNSUCCESSFUL, false, false,
       nullptr},
      {"short buffer", request_of(NIC_PROXY_COMMAND_ADD), 16, nullptr, STATUS_BUFFER_TOO_SMALL, false, false, nullptr},
      {"hardware information damaged", request_of(NIC_PROXY_COMMAND_QUERY), 24,
       [](NIC_HW_INFO* h, NicProxyInterface&) { h->Version = 5999; }, STATUS_UNSUCCESSFUL, false, false,
       "Signature Mismatch"},
      {"base object not there yet", request_of(NIC_PROXY_COMMAND_ADD), 24,
       [](NIC_HW_INFO* h, NicProxyInterface&) { h->Base.Signature = 0; }, STATUS_UNSUCCESSFUL, false, false,
       "Signature Mismatch"},
      {"halting adapter", request_of(NIC_PROXY_COMMAND_ADD), 24,
       [](NIC_HW_INFO*, NicProxyInterface& rec) { NicProxyGateClose(&rec.Gate); }, STATUS_UNSUCCESSFUL, false, false,
       "attach refused"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OSPrimLogRingClear();
    const std::uint32_t saved_version = hw->Version;
    const std::uint32_t saved_base = hw->Base.Signature;
    // Marks in the attach fields show whether the request wrote them.
    r.Port = 77;
    r.Device = nullptr;
    r.AttachedByMiniport = 0;
    if (c.damage != nullptr) c.damage(hw, r);
    NicProxyInterfaceRequest req = c.request;
    ULONG_PTR bytes = 99;
    EXPECT_EQ(ask(0, &req, &bytes, c.length), c.status);
    hw->Version = saved_version;
    hw->Base.Signature = saved_base;
    r.Gate.State = 0;
    if (c.answered) {
      EXPECT_EQ(bytes, 24u);
      EXPECT_EQ(req.Signature, NIC_PROXY_ANSWER_SIGNATURE);
      EXPECT_EQ(req.Command, c.request.Command);
      EXPECT_EQ(req.Interface, &r);
      EXPECT_EQ(r.Base, &hw->Base);
      EXPECT_EQ(std::memcmp(r.InterfaceBytes, ZEK_PROXY_INTERFACE_BYTES, 4), 0);
    } else {
      EXPECT_EQ(bytes, 0u);
      EXPECT_EQ(std::memcmp(&req, &c.request, sizeof req), 0) << "a refused request is left as it was";
    }
    if (c.filled) {
      EXPECT_EQ(r.Device, &hw->Device);
      EXPECT_EQ(r.HwInfo, hw);
      EXPECT_EQ(r.Adapter, adapter(0));
      EXPECT_EQ(r.Adapter2, adapter(0));
      EXPECT_EQ(r.CardTables, adapter(0)->Tables);
      EXPECT_EQ(r.Port, 0u);
      EXPECT_EQ(r.SanIpv4Address, kSanAddress);
      EXPECT_EQ(r.SanNetMask, 0xFFFF0000u);
      EXPECT_EQ(std::memcmp(r.SanMacAddress, adapter(0)->SanMac, 6), 0);
      EXPECT_EQ(std::memcmp(r.BaseMacAddress, adapter(0)->BaseMac, 6), 0);
      EXPECT_EQ(r.AttachedByMiniport, 1u);
      EXPECT_EQ(r.ProxyDetached, 0u);
      EXPECT_EQ(r.AddArpEntryCallback, &AddArpEntryCallback);
      EXPECT_EQ(r.GetIpaddrIndexCallback, &GetIpaddrIndexCallback);
    } else {
      EXPECT_EQ(r.Port, 77u) << "only an attach refreshes the configuration";
      EXPECT_EQ(r.Device, nullptr);
      EXPECT_EQ(r.AttachedByMiniport, 0u);
    }
    if (c.logged != nullptr) {
      EXPECT_NE(log_ring().find(c.logged), std::string::npos) << log_ring();
    }
  }
  r.Adapter = nullptr;  // no proxy driver attached: the halt calls no detach
}

// An attach takes a hold of the record for its caller; the answer carries
// the adapter's link state at every request.
TEST_F(NicProxyTest, AnAttachHoldsTheRecordAndEveryAnswerCarriesTheLink) {
  NicProxyInterface& r = record(1);
  NicProxyInterfaceRequest req = request_of(NIC_PROXY_COMMAND_ADD);
  ULONG_PTR bytes = 0;
  ASSERT_EQ(ask(1, &req, &bytes), STATUS_SUCCESS);
  EXPECT_EQ(NicProxyGateHolds(&r.Gate), 1u);
  EXPECT_EQ(r.LinkUp, adapter(1)->LinkDown != 0 ? 0u : 1u);
  for (std::uint32_t down : {1u, 0u}) {
    adapter(1)->LinkDown = down;
    req = request_of(NIC_PROXY_COMMAND_QUERY);
    ASSERT_EQ(ask(1, &req, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(r.LinkUp, 1 - down);
  }
  EXPECT_EQ(NicProxyGateHolds(&r.Gate), 1u) << "a query takes no hold";
  NicProxyGateLeave(&r.Gate);
  r.Adapter = nullptr;
}

// ---- The card tables ------------------------------------------------------------------------------------------
class CardTablesTest : public NicProxyTest {
 protected:
  void SetUp() override {
    NicProxyTest::SetUp();
    t_ = adapter(0)->Tables;
    ASSERT_NE(t_, nullptr);
    saved_arp_ = t_->ArpEntries;
    saved_ip_ = t_->IpEntries;
  }
  void TearDown() override {
    t_->ArpEntries = saved_arp_;
    t_->IpEntries = saved_ip_;
    NicProxyTest::TearDown();
  }
  // The model's ARP-cache entry once the control request has been carried out.
  std::optional<zeksim::net::Mac> model_arp(std::uint16_t index, bool present) {
    std::optional<zeksim::net::Mac> entry;
    zeklab::eventually(
        [&] {
          entry = board().arp_entry(index);
          return entry.has_value() == present;
        },
        10'000, 1);
    return entry;
  }
  CardTables* t_ = nullptr;
  std::uint32_t saved_arp_ = 0;
  std::uint32_t saved_ip_ = 0;
};

constexpr std::uint8_t kMac[4][6] = {{2, 0, 0, 0, 0, 1}, {2, 0, 0, 0, 0, 2}, {2, 0, 0, 0, 0, 3}, {2, 0, 0, 0, 0, 4}};
constexpr std::uint32_t kA = 0x0A000001, kB = 0x0A000002, kC = 0x0A000003, kD = 0x0A000004, kE = 0x0A000005;

// A table of four ARP entries driven as the host stack drives it; the
// adapter's ARP cache follows each step.
TEST_F(CardTablesTest, ArpEntriesFollowTheTableIntoTheAdaptersCache) {
  t_->ArpEntries = 4;
  void* a = adapter(0);
  enum Op { Add, Del, Flush, Index };
  struct Step {
    const char* name;
    Op op;
    std::uint32_t ipv4;
    int mac;  // kMac index
    std::uint8_t type;
    std::uint32_t result;
    std::uint32_t index;  // Index: the index answered
  };
  const Step steps[] = {
      {"first", Add, kA, 0, 100, 0, 0},
      {"same address again", Add, kA, 1, 100, ZEK_CARD_NONE, 0},
      {"second", Add, kB, 1, 1, 1, 0},
      {"third", Add, kC, 2, 100, 2, 0},
      {"fourth", Add, kD, 3, 100, 3, 0},
      {"full table", Add, kE, 0, 100, ZEK_CARD_NONE, 0},
      {"delete the first", Del, kA, 0, 0, 0, 0},
      {"an address stored behind the freed entry", Add, kC, 2, 100, ZEK_CARD_NONE, 0},
      {"the freed entry is taken", Add, kE, 0, 100, 0, 0},
      {"index of a present address", Index, kC, 0, 0, 0, 2},
      {"index of a deleted address", Index, kA, 0, 0, 1, 0},
      {"delete an absent address", Del, kA, 0, 0, 0, 0},
      {"flush: type 100 only, the last index", Flush, 0, 0, 0, 3, 0},
      {"the type-1 entry stays", Index, kB, 0, 0, 0, 1},
      {"the flushed are gone", Index, kD, 0, 0, 1, 0},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    std::uint32_t index = 99;
    switch (s.op) {
      case Add:
        EXPECT_EQ(AddArpEntryCallback(a, kMac[s.mac], s.ipv4, 300, s.type), s.result);
        break;
      case Del:
        EXPECT_EQ(DelArpEntryCallback(a, s.ipv4), s.result);
        break;
      case Flush:
        EXPECT_EQ(FlushArpEntriesCallback(a), s.result);
        break;
      case Index:
        EXPECT_EQ(GetIpToArpIndex(a, s.ipv4, &index), s.result);
        if (s.result == 0) {
          EXPECT_EQ(index, s.index);
        }
        break;
    }
  }
  // What is left: B at 1; the adapter's cache holds exactly that entry.
  const auto kept = model_arp(1, true);
  ASSERT_TRUE(kept.has_value());
  EXPECT_EQ(std::memcmp(kept->data(), kMac[1], 6), 0);
  for (std::uint16_t i : {0, 2, 3}) EXPECT_FALSE(model_arp(i, false).has_value()) << "entry " << i;
  EXPECT_EQ(t_->Arp[1].Ipv4, kB);
}

// The local-address table with its reference counts, against the adapter's
// destination-IP registers.
TEST_F(CardTablesTest, LocalAddressesAreCountedAndProgrammedOnce) {
  t_->IpEntries = 2;
  void* a = adapter(0);
  enum Op { Add, Del, Index };
  struct Step {
    const char* name;
    Op op;
    std::uint32_t ipv4;
    std::uint32_t result;
    std::uint32_t entry0, type0;  // the adapter's entry 0 afterwards
  };
  const Step steps[] = {
      {"new address", Add, kA, 0, kA, 1},
      {"same again: a second reference", Add, kA, 0, kA, 1},
      {"second address", Add, kB, 1, kA, 1},
      {"full table", Add, kC, ZEK_CARD_NONE, kA, 1},
      {"index", Index, kB, 0, kA, 1},
      {"index of an absent address", Index, kC, ZEK_CARD_NONE, kA, 1},
      {"one reference remains", Del, kA, ZEK_CARD_NONE, kA, 1},
      {"the last reference", Del, kA, 0, 0, 0},
      {"absent now", Del, kA, ZEK_CARD_NONE, 0, 0},
      {"the entry is free again", Add, kC, 0, kC, 1},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    std::uint32_t index = 99;
    switch (s.op) {
      case Add:
        EXPECT_EQ(AddIpaddrEntryCallback(a, s.ipv4), s.result);
        break;
      case Del:
        EXPECT_EQ(DelIpaddrEntryProxy(a, s.ipv4), s.result);
        break;
      case Index:
        EXPECT_EQ(GetIpaddrIndexCallback(a, s.ipv4, &index), s.result);
        if (s.result == 0) {
          EXPECT_EQ(index, 1u);
        }
        break;
    }
    const auto entry = board().destination_ip(0);
    EXPECT_EQ(entry.address, s.entry0);
    EXPECT_EQ(entry.type, s.type0);
  }
  EXPECT_EQ(board().destination_ip(1).address, kB);
  EXPECT_EQ(board().destination_ip(1).type, ZEK_LOCAL_ADDRESS_TYPE);
}

// An entry whose programming failed is given back whole: its count goes
// back to 0, so the entry is not lost for good. The adapter has 32
// destination-IP entries; a table one longer makes the 33rd fail.
TEST_F(CardTablesTest, AnEntryWhoseProgrammingFailedIsNotLost) {
  void* a = adapter(0);
  t_->IpEntries = zekhw::kDestIpEntries + 1;
  for (std::uint32_t i = 0; i < zekhw::kDestIpEntries; ++i) ASSERT_EQ(AddIpaddrEntryCallback(a, kA + i), i);
  EXPECT_EQ(AddIpaddrEntryCallback(a, kA + 100), ZEK_CARD_NONE);
  EXPECT_EQ(t_->Ip[zekhw::kDestIpEntries].References, 0u);
  EXPECT_EQ(t_->Ip[zekhw::kDestIpEntries].Ipv4, 0u);
  std::uint32_t index = 0;
  EXPECT_EQ(GetIpaddrIndexCallback(a, kA + 100, &index), ZEK_CARD_NONE);
  for (std::uint32_t i = 0; i < zekhw::kDestIpEntries; ++i) EXPECT_EQ(DelIpaddrEntryProxy(a, kA + i), 0u);
}

// Without card tables, or with damaged ones, every routine answers its
// refusal and changes nothing.
TEST_F(CardTablesTest, MissingOrDamagedTablesAreRefused) {
  for (const bool damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "damaged" : "missing");
    CardTables* saved = adapter(0)->Tables;
    if (damaged) {
      t_->Signature = 0;
    } else {
      adapter(0)->Tables = nullptr;
    }
    void* a = adapter(0);
    std::uint32_t index = 7;
    EXPECT_EQ(AddArpEntryCallback(a, kMac[0], kA, 300, 100), ZEK_CARD_NONE);
    EXPECT_EQ(DelArpEntryCallback(a, kA), ZEK_CARD_NONE);
    EXPECT_EQ(FlushArpEntriesCallback(a), ZEK_CARD_NONE);
    EXPECT_EQ(GetIpToArpIndex(a, kA, &index), 1u);
    EXPECT_EQ(AddIpaddrEntryCallback(a, kA), ZEK_CARD_NONE);
    EXPECT_EQ(DelIpaddrEntryProxy(a, kA), ZEK_CARD_NONE);
    EXPECT_EQ(GetIpaddrIndexCallback(a, kA, &index), ZEK_CARD_NONE);
    EXPECT_EQ(index, 7u);
    adapter(0)->Tables = saved;
    t_->Signature = ZEK_CARD_TABLES_SIGNATURE;
    EXPECT_EQ(t_->Arp[0].Type, 0u);
    EXPECT_EQ(t_->Ip[0].References, 0u);
  }
  EXPECT_EQ(board().destination_ip(0).address, 0u);
}

// ---- The halt and the proxy driver's detach slot ------------------------------------------------------------
struct SlotCall {
  int calls = 0;
  std::uint32_t attached = 99;  // proxy-attached as the slot found it
  LONG slots_closed = 0;
  bool gate_closed = false;
};
SlotCall g_calls[2];

void fake_detach(NicProxyInterface* record) {
  auto* adapter = reinterpret_cast<ZEK_ADAPTER*>(reinterpret_cast<std::uint8_t*>(record) - NIC_PROXY_ADAPTER_OFFSET);
  SlotCall& c = g_calls[adapter->PciFunction];
  ++c.calls;
  c.attached = record->ProxyAttached;
  c.slots_closed = adapter->ProxySlotsClosed;
  c.gate_closed = NicProxyGateIsClosed(&record->Gate);
}

// The halt calls the detach slot of an attached proxy driver once, after it
// cleared proxy-attached, closed the slots to the DPC and the gate; a proxy
// driver that detached by itself is not called.
TEST_F(NicProxyTest, TheHaltDetachesAnAttachedProxyAfterClosingItsSlots) {
  const struct {
    std::uint32_t function;
    bool detached_by_itself;
  } cases[] = {{0, false}, {1, true}};
  for (const auto& c : cases) {
    NicProxyInterfaceRequest req = request_of(NIC_PROXY_COMMAND_ADD);
    ULONG_PTR bytes = 0;
    ASSERT_EQ(ask(c.function, &req, &bytes), STATUS_SUCCESS);
    NicProxyInterface& r = record(c.function);
    // What an attach leaves behind.
    r.ProxyAttached = 1;
    r.DetachSlot = fake_detach;
    r.AttachProgress = NIC_PROXY_PROGRESS_ATTACHED;
    r.u32ProxySignature = ZPX_CUSTOM_OID_RESPONSE;
    r.ProxyDetached = c.detached_by_itself ? 1 : 0;
    ASSERT_TRUE(NicProxyGateCommit(&r.Gate));
    g_calls[c.function] = SlotCall{};
  }
  ndis_->stop_adapters(driver_);
  EXPECT_EQ(g_calls[0].calls, 1);
  EXPECT_EQ(g_calls[0].attached, 0u) << "the DPC's gate word is cleared before the detach";
  EXPECT_EQ(g_calls[0].slots_closed, 1);
  EXPECT_TRUE(g_calls[0].gate_closed);
  EXPECT_EQ(g_calls[1].calls, 0) << "a proxy driver that detached by itself is not called";
}

}  // namespace
