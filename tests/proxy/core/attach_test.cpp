// The proxy driver's attach and detach against the simulated adapter, with
// the test playing the miniport: its NIC-proxy record over two functions
// brought up as the miniport brings them up, and its DPC's share (control
// completions retired, the bottom half called). An attach builds the
// driver's queues, buffers and MAC slot and fills the record; a detach
// leaves nothing; a failure at each attach step unwinds exactly and never
// leaves the progress word at 0x555555; a frame sent through one function's
// NIC queue pair arrives through the other's bottom half.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "include/hw/registers.h"
#include "include/zek/interfaces.h"
#include "include/zek/mifh_requests.h"
#include "include/zek/nicproxy.h"
#include "include/zek/registry.h"
#include "proxy/core/attach.h"
#include "proxy/core/attach_internal.h"
#include "proxy/core/zpx.h"
#include "proxy/rdma/hw/ccq.h"
#include "proxy/rdma/hw/control_qp.h"
#include "proxy/rdma/hw/mcrq.h"
#include "proxy/rdma/hw/nic_qp.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/rm/rm.h"
#include "proxy/tcpip/adapter_interface.h"
#include "proxy/tcpip/kern/kern.h"
#include "proxy/tcpip/netinet/in.h"
#include "proxy/tcpip/socket_calls.h"
#include "proxy/tcpip/stack.h"
#include "tests/proxy/rdma/hw/hwif_fixture.h"

namespace {

constexpr std::uint8_t kSanMac[2][6] = {{0x02, 0x12, 0x34, 0x56, 0x00, 0x12}, {0x02, 0x12, 0x34, 0x56, 0x00, 0x13}};

// The miniport's share of one function: its hardware information (the
// device object the bring-up made, its base object), its record and the
// adapter's IP table as its table routines keep it.
struct Miniport {
  std::unique_ptr<NIC_HW_INFO> hw = std::make_unique<NIC_HW_INFO>();
  NicProxyInterface record{};
  HwFunction* fn = nullptr;
  std::vector<std::uint32_t> ip_table;
};
std::uint32_t add_ip(void* adapter, std::uint32_t ipv4) {
  static_cast<Miniport*>(adapter)->ip_table.push_back(ipv4);
  return 0;
}
std::uint32_t del_ip(void* adapter, std::uint32_t ipv4) {
  auto& table = static_cast<Miniport*>(adapter)->ip_table;
  std::erase(table, ipv4);
  return 0;
}
// The stack's IPv4 addresses (network order), besides 127.0.0.1.
std::vector<std::uint32_t> stack_addresses() {
  std::vector<std::uint32_t> out;
  zektcp::AcquireBdcLock();
  for (zektcp::ipv4_ifaddr* ia = zektcp::in_ifaddr_list(); ia != nullptr; ia = ia->ia_next) {
    if (zektcp::IA_SIN_ADDR(ia) != zektcp::htonl(0x7F000001)) out.push_back(zektcp::IA_SIN_ADDR(ia));
  }
  zektcp::ReleaseBdcLock();
  return out;
}

class Attach : public HwifTest {
 protected:
  void SetUp() override {
    HwifTest::SetUp();
    ASSERT_EQ(ZEK_Init_c_err_msgs(), ZEK_STATUS_PASS);
    ASSERT_EQ(ZEK_Init_c_if_mngr(), ZEK_STATUS_PASS);
    g_ZpxGimTable = &g_ZekGimTable;
    g_ZpxGlmiTable = &g_ZekGlmiTable;
    g_ZpxGromitTable = &g_ZekGromitTable;
    g_ZpxLrmTable = &g_ZekLarmitTable;
    g_ZpxMrteTable = &g_ZekMrteTable;
    ASSERT_EQ(ZekInitializeListHead(&g_ZpxAddedAdapters), ZEK_STATUS_PASS);
    // Mbufs enough for a full send ring and more queued behind it, so the
    // stack's pools never grow (and the leak check counts only the attach).
    zektcp::TcpipConfig stack;
    stack.mbufs.mbufs = 4096;
    stack.mbufs.clusters = 64;
    stack.mbufs.reserve_areas = 2;
    stack.sockets = 16;
    ASSERT_EQ(ZEK_Init_c_tcpip(&stack), ZEK_STATUS_PASS);
    stack_started_ = true;
    scratchpad_.Signature = MIFH_SCRATCHPAD_SIGNATURE;
    ASSERT_EQ(OSPrimSyncInitSpinlockObject(&scratchpad_.Lock), ZEK_STATUS_PASS);
    for (std::uint32_t f = 0; f < 2; ++f) {
      Miniport& m = mp_[f];
      m.fn = &bring_up(f, 128);
      NIC_HW_INFO* hw = m.hw.get();
      hw->Signature = NIC_HW_INFO_SIGNATURE;
      hw->Version = NIC_HW_INFO_VERSION;
      std::memcpy(static_cast<void*>(&hw->Device), &m.fn->device, sizeof m.fn->device);
      hw->Device.Scratchpad = &scratchpad_;
      hw->Device.FirstPdId = 8;
      hw->Device.PdCount = 4;
      hw->Device.ArpEntryCount = 32;
      hw->Base.Signature = MIFH_BASE_SIGNATURE;
      hw->Base.Version = MIFH_BASE_VERSION;
      hw->Base.Ceq1 = &m.fn->ceq1;
      hw->Base.Cqp = m.fn->cqp;
      hw->Base.Device = &hw->Device;
      hw->ControlDrain = [](void* self) { static_cast<Attach*>(self)->process_control(); };
      hw->ControlDrainContext = this;
      m.record.Device = &hw->Device;
      m.record.HwInfo = hw;
      m.record.Adapter = &m;
      m.record.Adapter2 = &m;
      m.record.Base = &hw->Base;
      m.record.Port = f;
      m.record.AddIpaddrEntryCallback = add_ip;
      m.record.DelIpaddrEntryProxy = del_ip;
      std::memcpy(m.record.SanMacAddress, kSanMac[f], 6);
    }
    start_helper();
    pool_blocks_ = kernel().pool().blocks_in_use();
    contiguous_ = kernel().contiguous().bytes_in_use();
    queue_pairs_ = board().queue_pair_count();
  }
  void TearDown() override {
    g_ZpxAttachFault = ZPX_ATTACH_NONE;
    for (Miniport& m : mp_) {
      if (ZpxRecordAttached(&m.record)) ProxyRemoveNic(&m.record);
    }
    stop_helper();
    ZpxSetReceiveHook(nullptr, nullptr);
    if (stack_started_) {
      EXPECT_EQ(ZEK_Cleanup_c_tcpip(), ZEK_STATUS_PASS);
    }
    EXPECT_EQ(ZEK_Cleanup_c_if_mngr(), ZEK_STATUS_PASS);
    EXPECT_EQ(ZEK_Cleanup_c_err_msgs(), ZEK_STATUS_PASS);
    HwifTest::TearDown();
  }

  // The miniport's DPC: control completions retired, then the refill.
  void process_control() {
    std::lock_guard lock(mu_);
    for (Miniport& m : mp_) {
      mifh_process_ccq(m.fn->ccq);
      mifh_free_CQPPendQ_buffer(m.fn->cqp);
    }
  }
  void start_helper() {
    helper_.start([this] { process_control(); });
  }
  void stop_helper() { helper_.stop(); }

  // The miniport's answer to "UADD": the record, with a hold for the caller,
  // then the address handler's progress word.
  ZekStatus attach(std::uint32_t f) {
    NicProxyInterface& r = mp_[f].record;
    EXPECT_TRUE(NicProxyGateEnter(&r.Gate));
    r.AttachProgress = NIC_PROXY_PROGRESS_ATTACHING;
    return ProxyAddNic(&r);
  }

  std::uint32_t indexed(std::uint32_t f, std::uint32_t index) {
    std::uint32_t value = 0;
    mifh_read_indexed(&mp_[f].hw->Device, index, &value);
    return value;
  }
  std::uint32_t mac_slot_high(std::uint32_t f) { return indexed(f, 0x6204 + 8 * (f + ZPX_MAC_SLOT_OFFSET)); }

  // Nothing of an attach is left: memory, queues, slot, the record's words.
  void expect_nothing_left(std::uint32_t f) {
    const NicProxyInterface& r = mp_[f].record;
    EXPECT_EQ(r.AttachProgress, 0u) << "never left at 0x555555";
    EXPECT_EQ(r.u32ProxySignature, 0u);
    EXPECT_EQ(r.ProxyAttached, 0u);
    EXPECT_EQ(r.BottomHalfSlot, nullptr);
    EXPECT_EQ(r.AsyncEventSlot, nullptr);
    EXPECT_EQ(r.CqpRefillSlot, nullptr);
    EXPECT_EQ(r.ProxyAdapterInfo, nullptr);
    EXPECT_EQ(NicProxyGateHolds(&r.Gate), 0u) << "the attach's hold is given back";
    EXPECT_FALSE(ZpxRecordAttached(&r));
    EXPECT_EQ(mac_slot_high(f) & (1u << 20), 0u) << "the MAC slot is empty";
    EXPECT_EQ(board().queue_pair_count(), queue_pairs_);
    EXPECT_EQ(kernel().contiguous().bytes_in_use(), contiguous_);
    EXPECT_EQ(kernel().pool().blocks_in_use(), pool_blocks_) << kernel().pool().leak_report();
    EXPECT_TRUE(ZekIsListEmpty(&g_ZpxAddedAdapters));
    EXPECT_EQ(zektcp::adapter_units_in_use(), 0u) << "the stack's interface is gone";
    EXPECT_TRUE(stack_addresses().empty());
    EXPECT_TRUE(mp_[f].ip_table.empty());
    ZekRmHardwareInfo info{};
    EXPECT_NE(GetHardwareInfo(&mp_[f].hw->Device, &info), ZEK_STATUS_PASS) << "the numbering is withdrawn";
  }

  // Queues `frame` on function f's NIC queue pair from DMA-able memory (the
  // caller frees it once *sent is 0).
  void* transmit(std::uint32_t f, const std::vector<std::uint8_t>& frame, std::uint32_t* sent) {
    void* buffer = nullptr;
    EXPECT_EQ(OSPrimMemDMAAllocate(&buffer, static_cast<std::uint32_t>(frame.size())), ZEK_STATUS_PASS);
    if (buffer == nullptr) return nullptr;
    std::memcpy(buffer, frame.data(), frame.size());
    *sent = 1;
    ZekNicTxBegin();
    EXPECT_TRUE(DoWriteProc(mp_[f].hw.get(), nullptr, buffer, static_cast<std::uint32_t>(frame.size()), sent));
    return buffer;
  }

  Miniport mp_[2];
  bool stack_started_ = false;
  HwScratchpadObj scratchpad_{};
  std::uint64_t pool_blocks_ = 0;
  std::uint64_t contiguous_ = 0;
  std::size_t queue_pairs_ = 0;
  std::mutex mu_;
  PeriodicHelper helper_;
};

// An attach fills the record in the contract's order and brings the
// function up for the driver; its detach leaves nothing behind.
TEST_F(Attach, AttachBringsTheFunctionUpAndDetachLeavesNothing) {
  ASSERT_EQ(attach(1), ZEK_STATUS_PASS) << log_text();
  const NicProxyInterface& r = mp_[1].record;
  EXPECT_EQ(r.u32ProxySignature, ZPX_CUSTOM_OID_RESPONSE);
  EXPECT_EQ(r.AttachProgress, NIC_PROXY_PROGRESS_ATTACHED);
  EXPECT_EQ(r.ProxyAttached, 1u);
  EXPECT_EQ(NicProxyGateHolds(&r.Gate), 0u);
  EXPECT_EQ(r.BottomHalfSlot, &ZEK_common_bh_routine);
  EXPECT_EQ(r.CqpRefillSlot, &ZpxFreeCQPPendQBufferCallback);
  EXPECT_EQ(r.DetachSlot, &ProxyRemoveNicCallback);
  EXPECT_NE(r.AsyncEventSlot, nullptr);
  EXPECT_NE(r.UploadSlot, nullptr);
  const auto* info = static_cast<const ProxyAdapterInfo*>(r.ProxyAdapterInfo);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(r.ProxyAdapterInfo2, info);
  EXPECT_EQ(info->Signature, ZPX_ADAPTER_INFO_SIGNATURE);
  EXPECT_EQ(info->Size, 88u);
  EXPECT_EQ(info->Port, 1u);
  EXPECT_EQ(info->IwarpEnabled, 1u);
  EXPECT_EQ(info->Hw->Rx.Filled, ZPX_RX_BUFFERS);
  // The adapter as the attach left it.
  EXPECT_EQ(mac_slot_high(1), 0x0212u | ((1u + ZPX_MAC_SLOT_OFFSET) | 0x10) << 16 | 1u << 20);
  EXPECT_EQ(indexed(1, zekhw::idx_user_doorbell(1)), 4u << 16 | 8u);
  EXPECT_EQ(indexed(1, zekhw::kIdxToeEnable), ZPX_TOE_ENABLE_VALUE);
  EXPECT_EQ(board().queue_pair_count(), queue_pairs_ + 1);

  EXPECT_EQ(ProxyRemoveNic(&mp_[1].record), ZEK_STATUS_PASS);
  EXPECT_EQ(mp_[1].record.ProxyDetached, 1u);
  EXPECT_EQ(mp_[1].record.Adapter, nullptr);
  EXPECT_EQ(mp_[1].record.DetachSlot, nullptr);
  expect_nothing_left(1);
  EXPECT_EQ(ProxyRemoveNic(&mp_[1].record), ZEK_STATUS_FAIL) << "a second detach finds nothing";
}

// A failure at each step of the attach unwinds exactly what was built and
// gives the progress word back; the next announcement attaches.
TEST_F(Attach, AFailureAtEachStepUnwindsExactly) {
  const struct {
    ZpxAttachStep step;
    const char* logged;
  } cases[] = {
      {ZPX_ATTACH_ALLOCATE, "Couldn't allocate memory for Adapter Info"},
      {ZPX_ATTACH_SLOT, "adapter slots are taken"},
      {ZPX_ATTACH_DEVICE, "pBaseDeviceObj is not valid"},
      {ZPX_ATTACH_USER_ACCESS, "mifh_usermode_access_init() returned error"},
      {ZPX_ATTACH_MANAGERS, "GetHardwareInfo() returned error"},
      {ZPX_ATTACH_NIC_QUEUES, "KZekNicInitialize() returned error"},
      {ZPX_ATTACH_MAC_SLOT, "mifh_hw_init_zek_nic returned error"},
      {ZPX_ATTACH_RX_BUFFERS, "ZpxInitializeNicRQ() returned error"},
      {ZPX_ATTACH_TOE, "mifh_toe_hw_init"},
      {ZPX_ATTACH_STACK, "ZpxCommonTcpInitAtAddDeviceTime() returned error"},
      {ZPX_ATTACH_IWARP, "mifh_iwarp_hw_init() returned error"},
  };
  mp_[0].record.SanIpv4Address = 0x0A4D0901;  // 10.77.9.1: the stack step has an address to undo
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logged);
    OSPrimLogRingClear();
    g_ZpxAttachFault = c.step;
    EXPECT_NE(attach(0), ZEK_STATUS_PASS);
    g_ZpxAttachFault = ZPX_ATTACH_NONE;
    EXPECT_TRUE(logged(c.logged)) << log_text();
    expect_nothing_left(0);
  }
  ASSERT_EQ(attach(0), ZEK_STATUS_PASS) << log_text();
  EXPECT_EQ(ProxyRemoveNic(&mp_[0].record), ZEK_STATUS_PASS);
  expect_nothing_left(0);
}

// The halt's call of the detach slot detaches as the driver's own removal
// does.
TEST_F(Attach, TheDetachSlotDetaches) {
  ASSERT_EQ(attach(0), ZEK_STATUS_PASS) << log_text();
  mp_[0].record.DetachSlot(&mp_[0].record);
  EXPECT_EQ(mp_[0].record.ProxyDetached, 1u);
  expect_nothing_left(0);
}

// An attach the halt overtook (the gate closed before its commit) is void:
// its slot names no record, so neither the bottom half nor the address list
// finds the record, and the record's event slots are closed.
TEST_F(Attach, AnAttachTheHaltOvertookLeavesItsSlotNamingNoRecord) {
  NicProxyInterface& r = mp_[0].record;
  ASSERT_TRUE(NicProxyGateEnter(&r.Gate));
  r.AttachProgress = NIC_PROXY_PROGRESS_ATTACHING;
  NicProxyGateClose(&r.Gate);  // the halt, while the attach runs
  EXPECT_NE(ProxyAddNic(&r), ZEK_STATUS_PASS);
  EXPECT_TRUE(logged("the adapter halted during the attach")) << log_text();
  EXPECT_FALSE(ZpxRecordAttached(&r));
  for (const ZpxAdapterSlot& slot : g_ZpxAdapterSlots) EXPECT_EQ(slot.Record.load(), nullptr);
  EXPECT_EQ(r.ProxyAttached, 0u);
  EXPECT_EQ(r.BottomHalfSlot, nullptr);
  EXPECT_EQ(r.AsyncEventSlot, nullptr);
  EXPECT_EQ(r.CqpRefillSlot, nullptr);
  EXPECT_EQ(r.AttachProgress, 0u);
  EXPECT_EQ(NicProxyGateHolds(&r.Gate), 0u);
}

// The attach gives the adapter its interface in the host stack with the
// adapter's SAN address (the adapter's IP table follows); each way of
// detaching takes both out again.
TEST_F(Attach, TheStacksInterfaceComesAndGoesWithTheAttach) {
  const struct {
    const char* name;
    void (*detach)(NicProxyInterface* record);
  } cases[] = {
      {"disable, then remove",
       [](NicProxyInterface* r) {
         EXPECT_EQ(ProxyDisableInterface(r), ZEK_STATUS_PASS);
         EXPECT_EQ(ProxyDisableInterface(r), ZEK_STATUS_PASS) << "a second disable finds nothing to do";
         EXPECT_EQ(ProxyRemoveNic(r), ZEK_STATUS_PASS);
       }},
      {"remove alone", [](NicProxyInterface* r) { EXPECT_EQ(ProxyRemoveNic(r), ZEK_STATUS_PASS); }},
      {"the halt's detach slot", [](NicProxyInterface* r) { r->DetachSlot(r); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    NicProxyInterface& r = mp_[1].record;
    r.Adapter = &mp_[1];            // a detach clears it
    r.SanIpv4Address = 0x0A4D0902;  // 10.77.9.2, host order as the keyword is kept
    r.SanNetMask = 0xFFFFFF00;
    ASSERT_EQ(attach(1), ZEK_STATUS_PASS) << log_text();
    EXPECT_EQ(zektcp::adapter_units_in_use(), 1u);
    EXPECT_EQ(stack_addresses(), std::vector<std::uint32_t>{zektcp::htonl(0x0A4D0902)});
    EXPECT_EQ(mp_[1].ip_table, std::vector<std::uint32_t>{0x0A4D0902});
    const auto* info = static_cast<const ProxyAdapterInfo*>(r.ProxyAdapterInfo);
    ASSERT_NE(info->Hw->StackInterface, nullptr);
    const zektcp::ifnet& ifp = info->Hw->StackInterface->ac.ac_if;
    EXPECT_EQ(ifp.if_flags & (zektcp::IFF_UP | zektcp::IFF_RUNNING), zektcp::IFF_UP | zektcp::IFF_RUNNING);
    EXPECT_EQ(std::memcmp(ifp.if_ethaddr, kSanMac[1], 6), 0);
    // The link going down takes the interface down; a further address
    // raises it.
    ZekNicDisableInterface(&r);
    EXPECT_EQ(ifp.if_flags & zektcp::IFF_UP, 0);
    ZpxMarkInterfaceUp(&r);
    EXPECT_NE(ifp.if_flags & zektcp::IFF_UP, 0);
    c.detach(&r);
    expect_nothing_left(1);
  }
}

// An adapter with DHCP0 gets a DHCP client instead of an address; every
// detach stops it (the client gives its place back) and leaves nothing.
TEST_F(Attach, WithDhcpTheAttachStartsAClientThatTheDetachStops) {
  NicProxyInterface& r = mp_[0].record;
  r.Dhcp = 1;
  ASSERT_EQ(attach(0), ZEK_STATUS_PASS) << log_text();
  EXPECT_EQ(zektcp::dhcp_clients_running(), 1u);
  const auto* info = static_cast<const ProxyAdapterInfo*>(r.ProxyAdapterInfo);
  EXPECT_NE(info->Hw->StackInterface->dhcp.phase.load(), zektcp::DhcpPhase::Stopped);
  // The client waits for its server on the virtual clock: time moves while
  // the detach stops it.
  std::atomic<bool> detached{false};
  std::thread detach([&] {
    EXPECT_EQ(ProxyRemoveNic(&r), ZEK_STATUS_PASS);
    detached = true;
  });
  for (int i = 0; i < 60'000 && !detached; ++i) {
    clock().advance(10 * plat::Clock::kUnitsPerMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  detach.join();
  EXPECT_EQ(zektcp::dhcp_clients_running(), 0u);
  expect_nothing_left(0);
}

// The stack's transmit never waits for the adapter (it runs under the
// stack's socket-call lock): with the send ring full, the stack's frames
// stay in the interface's queue, and the send completions the bottom half
// takes send them.
TEST_F(Attach, AFullSendRingKeepsTheStacksFramesUntilTheSendsComplete) {
  // The driver's transmit buffers, as the library start gives them.
  void* block = nullptr;
  ASSERT_EQ(OSPrimMemDMAAllocate(&block, ZPX_XMIT_BLOCK_BYTES), ZEK_STATUS_PASS);
  g_ZpxXmitBlock = block;
  const auto base = (reinterpret_cast<std::uintptr_t>(block) + 63) & ~std::uintptr_t{63};
  for (std::uint32_t i = 0; i < ZPX_XMIT_BUFFERS; ++i) {
    g_ZpxXmitDescriptors[i] = ZpxXmitDescriptor{0, base + std::uint64_t{i} * ZPX_XMIT_BUFFER_BYTES};
  }
  NicProxyInterface& r = mp_[0].record;
  r.SanIpv4Address = 0x0A4D0901;  // 10.77.9.1/24
  r.SanNetMask = 0xFFFFFF00;
  ASSERT_EQ(attach(0), ZEK_STATUS_PASS) << log_text();
  const zektcp::ifnet& ifp = static_cast<const ProxyAdapterInfo*>(r.ProxyAdapterInfo)->Hw->StackInterface->ac.ac_if;

  const int s = zektcp::sys_socket(2, 2, 0);
  ASSERT_GE(s, 0);
  const std::int32_t one = 1;
  ASSERT_EQ(zektcp::sys_setsocketopt(s, zektcp::SOL_SOCKET, zektcp::SO_BROADCAST, &one, sizeof(one)), 0);
  const zektcp::sockaddr_in to = zektcp::make_sockaddr_in(0x0A4D09FF, 9);  // the subnet's broadcast
  const std::uint64_t before = ZekNicTxSuccesses();
  constexpr int kDatagrams = ZEKNIC_TX_SLOTS + 100;
  std::uint8_t payload[100] = {};
  for (int i = 0; i < kDatagrams; ++i) {
    ASSERT_EQ(zektcp::sys_sendto(s, payload, sizeof payload, 0, &to, sizeof(to)), 100) << i;
  }
  EXPECT_GT(ifp.if_snd.ifq_len, 0) << "more frames than the ring takes wait in the interface's queue";
  EXPECT_EQ(ifp.if_flags & zektcp::IFF_OACTIVE, 0);
  ASSERT_TRUE(eventually([&] {
    r.BottomHalfSlot(&r, 1);
    return ifp.if_snd.ifq_len == 0 && ZekNicTxSuccesses() - before >= static_cast<std::uint64_t>(kDatagrams);
  })) << "queued "
      << ifp.if_snd.ifq_len << ", sent " << ZekNicTxSuccesses() - before;
  EXPECT_EQ(zektcp::sys_close(s), 0);
  EXPECT_EQ(ProxyRemoveNic(&r), ZEK_STATUS_PASS);
  g_ZpxXmitBlock = nullptr;
  std::memset(g_ZpxXmitDescriptors, 0, sizeof g_ZpxXmitDescriptors);
  OSPrimMemDMAFree(block);
  expect_nothing_left(0);
}

// ---- Frames between the two functions' queue pairs ---------------------------------------------------------
struct Received {
  std::mutex mu;
  std::vector<std::vector<std::uint8_t>> frames;
};
void record_frame(void* context, const std::uint8_t* header, const std::uint8_t* payload, std::uint32_t length) {
  auto* received = static_cast<Received*>(context);
  std::lock_guard lock(received->mu);
  std::vector<std::uint8_t> frame(header, header + ZPX_ETHER_HEADER_BYTES);
  frame.insert(frame.end(), payload, payload + length);
  received->frames.push_back(std::move(frame));
}

// A frame sent through function 0's NIC queue pair to function 1's SAN MAC
// arrives through function 1's bottom half (called as the miniport's DPC
// calls it) at the receive hook; once function 1 is detached its bottom
// half reaches nothing.
TEST_F(Attach, AFrameCrossesFromOneQueuePairToTheOthersBottomHalf) {
  ASSERT_EQ(attach(0), ZEK_STATUS_PASS) << log_text();
  ASSERT_EQ(attach(1), ZEK_STATUS_PASS) << log_text();
  Received received;
  ZpxSetReceiveHook(record_frame, &received);
  std::vector<std::uint8_t> frame(60, 0xA5);
  std::memcpy(frame.data(), kSanMac[1], 6);
  std::memcpy(frame.data() + 6, kSanMac[0], 6);
  frame[12] = 0x88;
  frame[13] = 0xB5;
  // A transmit takes kernel memory with a physical address.
  std::uint32_t sent = 1;
  void* buffer = transmit(0, frame, &sent);
  ASSERT_NE(buffer, nullptr);
  NicProxyInterface& r1 = mp_[1].record;
  ASSERT_TRUE(eventually([&] {
    r1.BottomHalfSlot(&r1, 1);
    mp_[0].record.BottomHalfSlot(&mp_[0].record, 1);  // the send completion
    std::lock_guard lock(received.mu);
    return !received.frames.empty();
  })) << log_text();
  {
    std::lock_guard lock(received.mu);
    ASSERT_EQ(received.frames.size(), 1u);
    EXPECT_EQ(received.frames[0], frame);
  }
  ASSERT_EQ(ProxyRemoveNic(&r1), ZEK_STATUS_PASS);
  ZEK_common_bh_routine(&r1, 1);  // a late call of a detached adapter reaches nothing
  EXPECT_TRUE(eventually([&] {
    mp_[0].record.BottomHalfSlot(&mp_[0].record, 1);
    return sent == 0;
  }));
  OSPrimMemDMAFree(buffer);
}

// The hardware-object request for the adapter's local memory, from a
// kernel-mode caller (record pointers are kernel addresses): bytes written
// are read back; the management handle counts only while it names an
// attached adapter, whatever its record carries; bad lengths, kinds and
// ranges the adapter lacks answer status 1.
TEST_F(Attach, LocalMemoryRequestsWriteAndReadTheAdaptersMemory) {
  ASSERT_EQ(attach(0), ZEK_STATUS_PASS) << log_text();
  auto* info = static_cast<ProxyAdapterInfo*>(mp_[0].record.ProxyAdapterInfo);
  ASSERT_NE(info, nullptr);
  IRP irp{};
  irp.RequestorMode = KernelMode;
  std::uint64_t cell = reinterpret_cast<std::uint64_t>(info);
  const auto lmi = [&](std::uint8_t kind, std::uint32_t address, void* data, std::uint32_t length) {
    MifhReqLmiAccess r{};
    r.HandleCell = reinterpret_cast<std::uint64_t>(&cell);
    r.Data = reinterpret_cast<std::uint64_t>(data);
    r.Address = address;
    r.Length = length;
    r.Kind = kind;
    r.Status = 0xFFFF;
    ULONG_PTR bytes = 0;
    EXPECT_EQ(CommonMifhIoctl(&r, IOCTL_ZEK_MIFH_LMI_ACCESS, &bytes, &irp), 0u);
    EXPECT_EQ(bytes, sizeof r);
    return r.Status;
  };
  std::vector<std::uint8_t> written(200), read(200, 0);
  for (std::size_t i = 0; i < written.size(); ++i) written[i] = static_cast<std::uint8_t>(i * 7 + 3);
  ASSERT_EQ(lmi(MIFH_REQ_LMI_WRITE, 0x1000, written.data(), 200), MIFH_REQ_STATUS_OK) << log_text();
  ASSERT_EQ(lmi(MIFH_REQ_LMI_READ, 0x1000, read.data(), 200), MIFH_REQ_STATUS_OK) << log_text();
  EXPECT_EQ(read, written);

  const struct {
    const char* what;
    std::uint8_t kind;
    std::uint32_t address;
    std::uint32_t length;
  } refused[] = {
      {"no bytes", MIFH_REQ_LMI_READ, 0, 0},
      {"longer than a request takes", MIFH_REQ_LMI_READ, 0, MIFH_REQ_LMI_MAX_BYTES + 1},
      {"neither read nor write", 3, 0, 16},
      {"past the 32-bit address space", MIFH_REQ_LMI_READ, 0xFFFFFFF0u, 32},
      {"past the adapter's local memory", MIFH_REQ_LMI_READ, 0x7FFFFF00u, 64},
  };
  std::vector<std::uint8_t> scratch(MIFH_REQ_LMI_MAX_BYTES + 1);
  for (const auto& c : refused) {
    EXPECT_EQ(lmi(c.kind, c.address, scratch.data(), c.length), MIFH_REQ_STATUS_FAIL) << c.what;
  }
  // A record that carries the signature but is no attached adapter's.
  ProxyAdapterInfo forged = *info;
  cell = reinterpret_cast<std::uint64_t>(&forged);
  EXPECT_EQ(lmi(MIFH_REQ_LMI_READ, 0x1000, read.data(), 16), MIFH_REQ_STATUS_FAIL);
  EXPECT_NE(log_text().find("MIFH_LMI_ACCESS: Bad ZEK Proxy signature."), std::string::npos);
  cell = reinterpret_cast<std::uint64_t>(info);
  ASSERT_EQ(ProxyRemoveNic(&mp_[0].record), ZEK_STATUS_PASS);
  EXPECT_EQ(lmi(MIFH_REQ_LMI_READ, 0x1000, read.data(), 16), MIFH_REQ_STATUS_FAIL) << "a detached adapter's handle";
  expect_nothing_left(0);
}

// A kernel client of function 0's multicast receive queue ("MCRQ Kernel
// Verbs"): a multicast frame function 1 sends reaches its callback and its
// poll whole; buffers go back counted; a second open is refused; a detach
// with the queue open, and a close, leave nothing behind.
TEST_F(Attach, TheMulticastQueueOfAKernelClientReceivesAndLeavesNothing) {
  ASSERT_EQ(ZEK_Init_MCRQ(), ZEK_STATUS_PASS);
  void* table = nullptr;
  ASSERT_EQ(ZEK_GetInterface(MCRQ_KERNEL_VERBS_INTERFACE, &table), ZEK_STATUS_PASS);
  const auto* verbs = static_cast<const ZekMcrqKernelVerbs*>(table);
  ASSERT_EQ(attach(0), ZEK_STATUS_PASS) << log_text();
  ASSERT_EQ(attach(1), ZEK_STATUS_PASS) << log_text();
  std::uint64_t handle = 99;
  ASSERT_EQ(verbs->Open(0, &handle), ZEK_MCRQ_STATUS_OK) << log_text();
  EXPECT_EQ(handle, 0u);
  std::uint64_t second = 99;
  EXPECT_EQ(verbs->Open(0, &second), ZEK_MCRQ_STATUS_FAIL);
  EXPECT_TRUE(logged("Adapter 0 in use"));
  ZekMcrqInfo info{};
  ASSERT_EQ(verbs->GetInfo(handle, &info), ZEK_MCRQ_STATUS_OK);
  EXPECT_EQ(info.One, 1u);
  EXPECT_EQ(info.BufferCount, ZEK_MCRQ_BUFFERS);
  EXPECT_EQ(info.Function, 0u);
  static std::atomic<int> arrivals;
  arrivals = 0;
  ASSERT_EQ(verbs->SetUser(handle, nullptr, [](void*, std::uint32_t, std::uint64_t) { ++arrivals; }),
            ZEK_MCRQ_STATUS_OK);
  ASSERT_EQ(verbs->Arm(handle), ZEK_MCRQ_STATUS_OK);
  ZekMcrqCompletion none{};
  EXPECT_EQ(verbs->PollCompletion(handle, &none), ZEK_MCRQ_STATUS_CQ_EMPTY);

  std::vector<std::uint8_t> frame(80, 0x5A);
  const std::uint8_t group[6] = {0x01, 0x00, 0x5E, 0x01, 0x02, 0x03};
  std::memcpy(frame.data(), group, 6);
  std::memcpy(frame.data() + 6, kSanMac[1], 6);
  frame[12] = 0x88;
  frame[13] = 0xB5;
  std::uint32_t sent = 1;
  void* buffer = transmit(1, frame, &sent);
  ASSERT_NE(buffer, nullptr);
  ASSERT_TRUE(eventually([&] {
    mp_[0].record.BottomHalfSlot(&mp_[0].record, 1);
    mp_[1].record.BottomHalfSlot(&mp_[1].record, 1);  // the send completion
    return arrivals.load() > 0 && sent == 0;
  })) << log_text();
  ZekMcrqCompletion got{};
  ASSERT_EQ(verbs->PollCompletion(handle, &got), ZEK_MCRQ_STATUS_OK);
  ASSERT_EQ(got.Length, frame.size());
  EXPECT_EQ(std::vector<std::uint8_t>(reinterpret_cast<const std::uint8_t*>(got.Buffer),
                                      reinterpret_cast<const std::uint8_t*>(got.Buffer) + got.Length),
            frame);
  EXPECT_EQ(verbs->PollCompletion(handle, &none), ZEK_MCRQ_STATUS_CQ_EMPTY);
  EXPECT_EQ(verbs->ReleaseBuffer(handle, 0), ZEK_MCRQ_STATUS_BAD_COUNT);
  EXPECT_EQ(verbs->ReleaseBuffer(handle, 2), ZEK_MCRQ_STATUS_BAD_COUNT) << "only one was taken";
  EXPECT_EQ(verbs->ReleaseBuffer(handle, 1), ZEK_MCRQ_STATUS_OK);
  OSPrimMemDMAFree(buffer);

  // The adapter goes with the queue open: the queue goes from it first.
  ASSERT_EQ(ProxyRemoveNic(&mp_[0].record), ZEK_STATUS_PASS);
  EXPECT_EQ(verbs->Close(handle), ZEK_MCRQ_STATUS_FAIL) << "closed by the detach";
  ASSERT_EQ(ProxyRemoveNic(&mp_[1].record), ZEK_STATUS_PASS);
  expect_nothing_left(0);
  EXPECT_EQ(ZEK_Cleanup_MCRQ(), ZEK_STATUS_PASS);
}

// The stack's slot takes every multicast frame for as long as the driver
// is attached (the stack's group joins never reach the adapter's filter):
// the multicast receive queue's close leaves it so, the detach turns it off.
TEST_F(Attach, TheStacksSlotTakesEveryGroupFrameWhileAttached) {
  ASSERT_EQ(ZEK_Init_MCRQ(), ZEK_STATUS_PASS);
  void* table = nullptr;
  ASSERT_EQ(ZEK_GetInterface(MCRQ_KERNEL_VERBS_INTERFACE, &table), ZEK_STATUS_PASS);
  const auto* verbs = static_cast<const ZekMcrqKernelVerbs*>(table);
  const std::uint32_t slot = 1u << ZPX_MAC_SLOT_OFFSET;  // function 0's
  ASSERT_EQ(indexed(0, zekhw::kIdxAllMulticast) & slot, 0u);
  ASSERT_EQ(attach(0), ZEK_STATUS_PASS) << log_text();
  EXPECT_NE(indexed(0, zekhw::kIdxAllMulticast) & slot, 0u);
  std::uint64_t handle = 99;
  ASSERT_EQ(verbs->Open(0, &handle), ZEK_MCRQ_STATUS_OK) << log_text();
  ASSERT_EQ(verbs->Close(handle), ZEK_MCRQ_STATUS_OK) << log_text();
  EXPECT_NE(indexed(0, zekhw::kIdxAllMulticast) & slot, 0u) << "the queue's close took the stack's group frames";
  ASSERT_EQ(ProxyRemoveNic(&mp_[0].record), ZEK_STATUS_PASS);
  EXPECT_EQ(indexed(0, zekhw::kIdxAllMulticast) & slot, 0u);
  expect_nothing_left(0);
  EXPECT_EQ(ZEK_Cleanup_MCRQ(), ZEK_STATUS_PASS);
}

}  // namespace
