// zekhnic in one process over the NDIS stand-in and a simulated board: the
// keyword table, the address parser, the hardware objects and the halt's
// wait for the proxy driver.
#include <atomic>
#include <cstring>
#include <iterator>
#include <thread>

#include "miniport/adapter.h"
#include "miniport/bringup.h"
#include "miniport/hwobjects.h"
#include "proxy/rdma/hw/config.h"
#include "tests/support/ndis_fixture.h"

namespace {

class MiniportTest : public NdisTest {
 protected:
  void TearDown() override {
    if (driver_ != nullptr) io_->unload_driver(driver_);
    NdisTest::TearDown();
  }
  // Loads zekhnic over one board; the functions do not come up (these tests
  // look at the frame; tests/miniport/bringup_test.cpp brings boards up).
  plat::ndis::Adapter& load(std::vector<std::pair<std::string, std::string>> entries, unsigned functions = 1) {
    entries.emplace_back("functions", std::to_string(functions));
    add_board("nic0", entries);
    EXPECT_EQ(io_->load_driver("zekhnic", DriverEntry, &driver_), STATUS_SUCCESS);
    // Each function's own initialisation stops before the hardware, so that
    // the test has the NDIS adapters to itself.
    ZekInjectBringUpFault(ZEK_STEP_DEVICE_OBJECT);
    EXPECT_EQ(ndis_->start_adapters(driver_), functions);
    ZekInjectBringUpFault(ZEK_STEP_NONE);
    return *ndis_->adapters().at(0);
  }
  // An adapter block with the keywords read from the NDIS adapter's key.
  ZEK_ADAPTER* read_keywords(plat::ndis::Adapter& ndis_adapter) {
    ZEK_ADAPTER* adapter = MpAllocateAdapter(&ndis_adapter);
    NDIS_CONFIGURATION_OBJECT object{
        {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof(NDIS_CONFIGURATION_OBJECT)}, &ndis_adapter, 0};
    NDIS_HANDLE config = nullptr;
    EXPECT_EQ(NdisOpenConfigurationEx(&object, &config), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(ZekReadRegParameters(adapter, config), NDIS_STATUS_SUCCESS);
    return adapter;
  }
  PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(MiniportTest, MissingResourcesAndForeignIdsAreRefusedWithTheirErrorLogEntries) {
  plat::ndis::Adapter& adapter = load({});
  ZEK_ADAPTER* zek = MpAllocateAdapter(&adapter);
  CM_PARTIAL_RESOURCE_LIST none{1, 1, 0, {}};
  EXPECT_EQ(MpFindAdapter(zek, &none), NDIS_STATUS_RESOURCE_CONFLICT);
  ASSERT_EQ(adapter.error_log().size(), 1u);
  EXPECT_EQ(adapter.error_log()[0].code, NDIS_ERROR_CODE_RESOURCE_CONFLICT);
  EXPECT_EQ(adapter.error_log()[0].values, std::vector<ULONG>{1540});
  auto resources = reinterpret_cast<PNDIS_RESOURCE_LIST>(adapter.resources_.data());
  EXPECT_EQ(MpFindAdapter(zek, resources), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(zek->ChipRevision, 4u);
  EXPECT_EQ(zek->Window[0].Length, 4096u);
  MpFreeAdapter(zek);
}

struct KeywordCase {
  const char* keyword;
  const char* value;  // null: absent
  std::uint32_t (*field)(const ZekProxyRecord& record);
  std::uint32_t expected;
};
// Reads a registry value's field of the record.
#define FIELD(name) [](const ZekProxyRecord& record) -> std::uint32_t { return record.name; }

TEST_F(MiniportTest, KeywordsTakeTheirDefaultWhenMissingOrOutOfRange) {
  const KeywordCase cases[] = {
      {"AeqElem", nullptr, FIELD(AeqElem), 0x2000},
      {"AeqElem", "32", FIELD(AeqElem), 0x20},
      {"AeqElem", "0x20000", FIELD(AeqElem), 0x20000},
      {"AeqElem", "0x20001", FIELD(AeqElem), 0x2000},
      {"CeqElem", "31", FIELD(CeqElem), 0x400},
      {"SendQueueSize", "0x1000", FIELD(SendQueueSize), 0x200},
      {"SendQueueSize", "0x10", FIELD(SendQueueSize), 0x200},  // the default, not the minimum
      {"SendQueueSize", "32", FIELD(SendQueueSize), 32},
      {"SendQueueSize", "256", FIELD(SendQueueSize), 0x200},  // in range, but no ring of that size
      {"RecvQueueSize", "100", FIELD(RecvQueueSize), 0x200},
      {"ContrlQpElem", "128", FIELD(ContrlQpElem), 128},
      {"ContrlQpElem", "64", FIELD(ContrlQpElem), 0x200},
      {"Tuning", "9", FIELD(Tuning), 9},
      {"Tuning", "10", FIELD(Tuning), 4},
      {"DebugLevel", "0xFFFFFFFF", FIELD(DebugLevel), 0xFFFFFFFF},
      {"JumboFrames", "1", FIELD(JumboFrames), 1},
      {"JumboFrames", "2", FIELD(JumboFrames), 0},
      {"VlanEnabled", "4095", FIELD(VlanEnabled), 0xFFF},
      {"VlanEnabled", "4096", FIELD(VlanEnabled), 0},
      {"AlignHeaders", nullptr, FIELD(AlignHeaders), 1},
      {"ToeSendQueueSize", "not a number", FIELD(ToeSendQueueSize), 3},
  };
  plat::ndis::Adapter& ndis_adapter = load({});
  for (const KeywordCase& c : cases) {
    SCOPED_TRACE(std::string(c.keyword) + " = " + (c.value ? c.value : "(absent)"));
    if (c.value != nullptr) registry_->set_string(ndis_adapter.key_, plat::to_u16(c.keyword), plat::to_u16(c.value));
    ZEK_ADAPTER* adapter = read_keywords(ndis_adapter);
    EXPECT_EQ(c.field(adapter->Proxy), c.expected);
    MpFreeAdapter(adapter);
    if (c.value != nullptr) registry_->set_string(ndis_adapter.key_, plat::to_u16(c.keyword), u"");
  }
}

// Every keyword, set at once to a value its default does not have, lands
// in its own field of the record: a table entry naming the wrong field
// shows as two fields out of place.
TEST_F(MiniportTest, EveryKeywordLandsInItsOwnField) {
  const KeywordCase cases[] = {
      {"AeqElem", "0x21", FIELD(AeqElem), 0x21},
      {"CeqElem", "0x22", FIELD(CeqElem), 0x22},
      {"Ceq2Elem", "0x23", FIELD(Ceq2Elem), 0x23},
      {"CeqRssElem", "0x24", FIELD(CeqRssElem), 0x24},
      {"ControlCompQElem", "0x25", FIELD(ControlCompQElem), 0x25},
      {"ContrlQpElem", "128", FIELD(ContrlQpElem), 128},
      {"SendQueueSize", "32", FIELD(SendQueueSize), 32},
      {"RecvQueueSize", "512", FIELD(RecvQueueSize), 512},
      {"OffloadEnable", "0", FIELD(OffloadEnable), 0},
      {"DebugLevel", "0x1234", FIELD(DebugLevel), 0x1234},
      {"Tuning", "7", FIELD(Tuning), 7},
      {"LimitMaxReadReqSize", "1", FIELD(LimitMaxReadReqSize), 1},
      {"JumboFrames", "1", FIELD(JumboFrames), 1},
      {"LSO", "0", FIELD(Lso), 0},
      {"MACPause", "1", FIELD(MacPause), 1},
      {"VlanEnabled", "0x123", FIELD(VlanEnabled), 0x123},
      {"DHCP0", "1", FIELD(Dhcp0), 1},
      {"DHCP1", "0", FIELD(Dhcp1), 0},
      {"AlignHeaders", "0", FIELD(AlignHeaders), 0},
      {"RDMAOOO", "1", FIELD(RdmaOoo), 1},
      {"ToeSendQueueSize", "1", FIELD(ToeSendQueueSize), 1},
      {"ToeRecvQueueSize", "2", FIELD(ToeRecvQueueSize), 2},
      {"ToeImmediateAck", "1", FIELD(ToeImmediateAck), 1},
      {"ToeWindowUpdateFrequency", "2", FIELD(ToeWindowUpdateFrequency), 2},
  };
  static_assert(std::size(cases) == ZEK_KEYWORD_COUNT);
  plat::ndis::Adapter& ndis_adapter = load({});
  for (const KeywordCase& c : cases) {
    registry_->set_string(ndis_adapter.key_, plat::to_u16(c.keyword), plat::to_u16(c.value));
  }
  ZEK_ADAPTER* adapter = read_keywords(ndis_adapter);
  for (const KeywordCase& c : cases) EXPECT_EQ(c.field(adapter->Proxy), c.expected) << c.keyword;
  EXPECT_EQ(g_Zek.DebugLevel, 0x1234u);
  EXPECT_EQ(adapter->RxBufferSize, 9054u) << "jumbo frames";
  MpFreeAdapter(adapter);
}

TEST_F(MiniportTest, AddressKeywords) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> entries;
    std::uint32_t address, mask;
    bool override_mac;
  } cases[] = {
      {{{"IPADDRESS0", "10.1.2.3"}, {"NetMask0", "255.255.0.0"}}, 0x0A010203, 0xFFFF0000, false},
      {{{"IPADDRESS0", "1.2.x.4"}}, 0, 0, false},           // does not parse: no address
      {{{"IPADDRESS0", "100.100.100.100x"}}, 0, 0, false},  // 16 characters: ignored
      {{{"IPADDRESS0", "10.1.2.3"}, {"DHCP0", "1"}}, 0, 0, false},
      {{{"NetworkAddress", "02-00-00-00-00-01"}, {"IPADDRESS0", "10.0.0.1"}}, 0x0A000001, 0, true},
      // Refused overrides are logged and the rest is still read.
      {{{"NetworkAddress", "01-00-00-00-00-01"}, {"IPADDRESS0", "10.0.0.1"}}, 0x0A000001, 0, false},
      {{{"NetworkAddress", "00-11-22-33-44-55"}, {"IPADDRESS0", "10.0.0.1"}}, 0x0A000001, 0, false},
  };
  int board = 0;
  for (auto& c : cases) {
    add_board("b" + std::to_string(board++), c.entries);
  }
  ASSERT_EQ(io_->load_driver("zekhnic", DriverEntry, &driver_), STATUS_SUCCESS);
  ZekInjectBringUpFault(ZEK_STEP_DEVICE_OBJECT);
  ASSERT_EQ(ndis_->start_adapters(driver_), std::size(cases));
  ZekInjectBringUpFault(ZEK_STEP_NONE);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    ZEK_ADAPTER* adapter = read_keywords(*ndis_->adapters().at(i));
    EXPECT_EQ(adapter->Proxy.Shared.SanIpv4Address, cases[i].address);
    EXPECT_EQ(adapter->Proxy.Shared.SanNetMask, cases[i].mask);
    EXPECT_EQ(adapter->NetworkAddressOverride != 0, cases[i].override_mac);
    EXPECT_TRUE(adapter->DeviceNamesSet);
    MpFreeAdapter(adapter);
  }
}

TEST(InetAddr, ParsesOneToFourParts) {
  const std::pair<const char*, std::uint32_t> cases[] = {
      {"10.1.2.3", 0x0A010203},   {"10.258", 0x0A000102},     {"1.2.3.256", 0xFFFFFFFF}, {"1.2.x.4", 0xFFFFFFFF},
      {"10.1.65535", 0x0A01FFFF}, {"10.1.65536", 0xFFFFFFFF}, {"256.1", 0xFFFFFFFF},     {"1.2.3.4.5", 0xFFFFFFFF},
      {"167772161", 0x0A000001},  {"4294967296", 0xFFFFFFFF},  // a single part that would wrap is refused
  };
  for (auto [text, expected] : cases) EXPECT_EQ(ZekInetAddr(text), expected) << text;
  EXPECT_EQ(ZekInetAddr(nullptr), 0xFFFFFFFFu);
}

TEST_F(MiniportTest, FunctionsOfOneBoardShareItsObjects) {
  plat::ndis::Adapter& ndis_adapter = load({});
  ZEK_ADAPTER* a = MpAllocateAdapter(&ndis_adapter);
  ZEK_ADAPTER* b = MpAllocateAdapter(&ndis_adapter);
  ZEK_ADAPTER* other = MpAllocateAdapter(&ndis_adapter);
  // Each function's device object reaches the board's register window.
  auto resources = reinterpret_cast<PNDIS_RESOURCE_LIST>(ndis_adapter.resources_.data());
  PVOID window = nullptr;
  ASSERT_EQ(NdisMMapIoSpace(&window, &ndis_adapter, resources->PartialDescriptors[0].u.Memory.Start, 4096),
            NDIS_STATUS_SUCCESS);
  for (ZEK_ADAPTER* x : {a, b, other}) {
    ASSERT_EQ(mifh_dev_object_init(&x->HwInfo->Device, 0, 0, 4, 0, window, nullptr, 0, 0, nullptr, nullptr), 0u);
    x->HwInfo->Device.ArpEntryCount = 64;
    x->HwInfo->Device.IpEntryCount = 32;
  }
  a->BoardKey = b->BoardKey = 0x11223344;
  other->BoardKey = 0x55667788;
  for (ZEK_ADAPTER* x : {a, b, other}) ASSERT_EQ(ZekAllocateBoardObjects(x), 0u);
  EXPECT_EQ(a->SharedTimer, b->SharedTimer);
  EXPECT_EQ(a->Tables, b->Tables);
  EXPECT_EQ(a->Scratchpad, b->Scratchpad);
  EXPECT_NE(a->Scratchpad, other->Scratchpad);
  EXPECT_EQ(a->Tables->ReferenceCount, 2u);
  EXPECT_EQ(a->MdioLock->ReferenceCount, 2u);
  EXPECT_EQ(a->Tables->ArpEntries, 64u);
  EXPECT_EQ(a->HwInfo->CardTables, a->Tables);
  EXPECT_EQ(a->HwInfo->Device.MdioLock, &a->MdioLock->Lock);
  // The timer runs: bit 2 of the timer-control register, interval x 10 in the interrupt timer.
  EXPECT_EQ(READ_REGISTER_ULONG(static_cast<volatile ULONG*>(window) + ZEK_REG_TIMER_CONTROL / 4) & 4, 4u);
  EXPECT_EQ(READ_REGISTER_ULONG(static_cast<volatile ULONG*>(window) + ZEK_REG_INTERRUPT_TIMER / 4), 550u);

  // The scratchpad is shared by the board's functions.
  EXPECT_EQ(mifh_set_hw_scratchpad(&a->HwInfo->Device, 0xABCDEF), 0u);
  std::uint64_t value = 0;
  EXPECT_EQ(mifh_get_hw_scratchpad(&b->HwInfo->Device, &value), 0u);
  EXPECT_EQ(value, 0xABCDEFu);
  EXPECT_EQ(mifh_get_hw_scratchpad(nullptr, &value), 1u);
  EXPECT_EQ(mifh_get_hw_scratchpad(reinterpret_cast<MifhDeviceObj*>(0xCCCCCCCC), &value), 1u);

  ZekReleaseBoardObjects(a);
  EXPECT_EQ(b->Tables->ReferenceCount, 1u);
  ZekReleaseBoardObjects(b);
  ZekReleaseBoardObjects(other);
  EXPECT_EQ(g_ZekBoards.Tables[0], nullptr);
  for (ZEK_ADAPTER* x : {a, b, other}) MpFreeAdapter(x);
  NdisMUnmapIoSpace(&ndis_adapter, window, 4096);
}

TEST_F(MiniportTest, DeviceObjectRefusesABadFunctionAndASeventeenthBoardIsRefused) {
  plat::ndis::Adapter& ndis_adapter = load({});
  ZEK_ADAPTER* a = MpAllocateAdapter(&ndis_adapter);
  EXPECT_EQ(mifh_dev_object_init(&a->HwInfo->Device, 0, 0, 4, 8, nullptr, nullptr, 0, 0, nullptr, nullptr), 14u);
  std::vector<ZEK_ADAPTER*> boards;
  for (std::uint32_t key = 1; key <= 17; ++key) {
    ZEK_ADAPTER* x = MpAllocateAdapter(&ndis_adapter);
    x->BoardKey = key;
    EXPECT_EQ(AllocateMdioSharedLock(x), key <= 16 ? 0u : 1u) << key;
    boards.push_back(x);
  }
  for (ZEK_ADAPTER* x : boards) MpFreeAdapter(x);
  MpFreeAdapter(a);
}

// ---- The halt against a fake attach ----------------------------------------------------------
// The test plays both the miniport's answer to "UADD" (the record's adapter
// field and a hold on the attach gate) and the proxy driver's attach.

std::atomic<int> g_detaches{0};
void fake_detach(NicProxyInterface* record) {
  ++g_detaches;
  record->ProxyDetached = 1;
}

// The end of an attach as the proxy driver plays it: true when it completed;
// false when the halt had closed the gate first, and then the attach has
// undone itself and let go of the record.
bool end_attach(NicProxyInterface& record) {
  __atomic_store_n(&record.AttachProgress, NIC_PROXY_PROGRESS_ATTACHED, __ATOMIC_SEQ_CST);
  record.u32ProxySignature = ZPX_CUSTOM_OID_RESPONSE;
  if (NicProxyGateCommit(&record.Gate)) return true;
  record.u32ProxySignature = 0;
  __atomic_store_n(&record.AttachProgress, 0, __ATOMIC_SEQ_CST);
  NicProxyGateLeave(&record.Gate);
  return false;
}

TEST_F(MiniportTest, HaltWaitsForAnAttachInProgressWithinABound) {
  plat::ndis::Adapter& ndis_adapter = load({});
  enum End { kNone, kNever, kConcurrently };
  struct Case {
    const char* what;
    bool attached;
    std::uint32_t progress;
    bool held;  // the attach holds the record
    std::uint8_t detached;
    End end;
    int detaches;  // < 0: 1 when the attach completed, else 0
    std::int64_t min_wait_ms, max_wait_ms;
  } cases[] = {
      {"never attached: no wait, no detach", false, 0, false, 0, kNone, 0, 0, 0},
      {"attached: detach at once", true, NIC_PROXY_PROGRESS_ATTACHED, false, 0, kNone, 1, 0, 0},
      {"detached by itself: no detach", true, NIC_PROXY_PROGRESS_ATTACHED, false, 1, kNone, 0, 0, 0},
      // Ended by another thread while the halt waits. However late that
      // thread runs, the halt waits no longer than its bound, and both sides
      // agree: an attach that completed is detached, one that found the gate
      // closed is not.
      {"attach ends while the halt waits", true, NIC_PROXY_PROGRESS_ATTACHING, true, 0, kConcurrently, -1, 0,
       ZEK_ATTACH_WAIT_MS + 100},
      {"attach never ends: the bound, no detach", true, NIC_PROXY_PROGRESS_ATTACHING, true, 0, kNever, 0,
       ZEK_ATTACH_WAIT_MS, ZEK_ATTACH_WAIT_MS + 100},
      // Between the attach's last words and its commit the record is still
      // held: the halt waits for the commit, not only for the progress word.
      {"held after the progress word: the bound, no detach", true, NIC_PROXY_PROGRESS_ATTACHED, true, 0, kNever, 0,
       ZEK_ATTACH_WAIT_MS, ZEK_ATTACH_WAIT_MS + 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_detaches = 0;
    ZEK_ADAPTER* adapter = MpAllocateAdapter(&ndis_adapter);
    NicProxyInterface& record = adapter->Proxy.Shared;
    record.Adapter = c.attached ? adapter : nullptr;
    record.AttachProgress = c.progress;
    record.ProxyDetached = c.detached;
    record.DetachSlot = fake_detach;
    if (c.held) {
      ASSERT_TRUE(NicProxyGateEnter(&record.Gate));
    }
    const std::int64_t start = clock().now();
    std::atomic<bool> ready{false};
    bool completed = false;
    std::thread proxy;
    if (c.end == kConcurrently) {
      proxy = std::thread([&] {
        ready = true;
        while (clock().now() == start) {
        }
        completed = end_attach(record);
      });
      while (!ready) std::this_thread::yield();
    }
    MpDetachProxy(adapter);
    if (proxy.joinable()) proxy.join();
    const std::int64_t waited_ms = (clock().now() - start) / 10'000;
    EXPECT_GE(waited_ms, c.min_wait_ms);
    EXPECT_LE(waited_ms, c.max_wait_ms);
    EXPECT_EQ(g_detaches.load(), c.detaches >= 0 ? c.detaches : completed ? 1 : 0);
    if (completed) {
      EXPECT_LT(waited_ms, ZEK_ATTACH_WAIT_MS) << "an attach that completed in time is waited for";
    }
    EXPECT_EQ(adapter->ProxySlotsClosed, c.attached ? 1 : 0);
    EXPECT_TRUE(NicProxyGateIsClosed(&record.Gate)) << "no attach starts once the halt has passed";
    EXPECT_FALSE(NicProxyGateEnter(&record.Gate));
    if (c.end == kNever) {
      EXPECT_FALSE(NicProxyGateCommit(&record.Gate));
      NicProxyGateLeave(&record.Gate);  // the attach undoes itself and lets go at last
    }
    EXPECT_EQ(NicProxyGateHolds(&record.Gate), 0u);
    MpFreeAdapter(adapter);
  }
}

// An attach that outlives the halt's wait: the halt returns, but the record
// the attach writes into stays allocated until it lets go, the attach cannot
// complete any more, and the block is freed once it has let go.
TEST_F(MiniportTest, AnAttachThatOutlivesTheHaltNeverWritesIntoFreedMemory) {
  plat::ndis::Adapter& ndis_adapter = load({});
  const std::uint64_t before = kernel().pool().blocks_in_use();
  g_detaches = 0;
  ZEK_ADAPTER* adapter = MpAllocateAdapter(&ndis_adapter);
  NicProxyInterface& record = adapter->Proxy.Shared;
  // The answer to "UADD" and the start of the attach.
  record.Adapter = adapter;
  ASSERT_TRUE(NicProxyGateEnter(&record.Gate));
  record.AttachProgress = NIC_PROXY_PROGRESS_ATTACHING;
  record.DetachSlot = fake_detach;
  ZekSetLinkAllowed(&adapter->HwInfo->Device, true);  // as the initialisation leaves it

  const std::int64_t start = clock().now();
  MpFreeAdapter(adapter);  // the halt, which waits no longer than its bound
  EXPECT_EQ(adapter->HwInfo->Device.LinkAllowed, 0) << "the late attach's link test reads the link down";
  EXPECT_GE(clock().now() - start, std::int64_t{ZEK_ATTACH_WAIT_MS} * 10'000);
  EXPECT_EQ(g_detaches.load(), 0) << "no detach while the attach runs";
  EXPECT_EQ(ZekFreeReleasedAdapterBlocks(FALSE), 1u);

  // The late attach goes on: the record and the hardware information it
  // reads are still there (the sanitizer build would catch a write into
  // freed memory), its end is refused, and it undoes what it wrote.
  EXPECT_TRUE(NicProxyGateIsClosed(&record.Gate));
  record.ProxyAttached = 1;
  record.BottomHalfSlot = nullptr;
  EXPECT_EQ(adapter->HwInfo->Signature, NIC_HW_INFO_SIGNATURE);
  __atomic_store_n(&record.AttachProgress, NIC_PROXY_PROGRESS_ATTACHED, __ATOMIC_SEQ_CST);
  EXPECT_FALSE(NicProxyGateCommit(&record.Gate)) << "the halt came first";
  EXPECT_FALSE(NicProxyGateEnter(&record.Gate)) << "a new attach request is refused";
  record.ProxyAttached = 0;
  record.AttachProgress = 0;
  EXPECT_EQ(ZekFreeReleasedAdapterBlocks(FALSE), 1u) << "still held";
  NicProxyGateLeave(&record.Gate);

  // Let go: the next halt (or the driver's unload) frees the block.
  EXPECT_EQ(ZekFreeReleasedAdapterBlocks(FALSE), 0u);
  EXPECT_EQ(kernel().pool().blocks_in_use(), before);
}

// A block still held when the driver unloads stays allocated (freeing it
// would hand the attach freed memory) and the driver forgets it.
TEST_F(MiniportTest, UnloadLeavesABlockThatIsStillHeld) {
  plat::ndis::Adapter& ndis_adapter = load({});
  ZEK_ADAPTER* adapter = MpAllocateAdapter(&ndis_adapter);
  NicProxyInterface& record = adapter->Proxy.Shared;
  record.Adapter = adapter;
  ASSERT_TRUE(NicProxyGateEnter(&record.Gate));
  MpFreeAdapter(adapter);
  io_->unload_driver(driver_);
  driver_ = nullptr;
  // Still there: the attach lets go, and then the test returns the memory
  // the driver had to leave.
  NicProxyGateLeave(&record.Gate);
  ZekFreeHwInfo(adapter->HwInfo);
  NdisFreeMemory(adapter, sizeof(ZEK_ADAPTER), 0);
}

}  // namespace
