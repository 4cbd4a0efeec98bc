// The kernel verbs in-process: one simulated adapter function brought up as
// the miniport brings it up and attached by the proxy driver's attach, the
// driver's libraries (registries, interface manager, managers' tables), the
// host stack with the adapter's SAN address on it, and the verbs started. A
// helper thread plays the miniport's DPC, retiring control completions, so
// a verb's wait ends as it does in a host.
//
// The host stack does not run on adapters yet: the SAN address is an alias
// of its loopback interface, which is what the verbs' address list reads.
#pragma once

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "include/zek/nicproxy.h"
#include "include/zek/registry.h"
#include "include/zek/verbs.h"
#include "platform/kernel/ex.h"
#include "proxy/core/attach.h"
#include "proxy/core/zpx.h"
#include "proxy/rdma/hw/ccq.h"
#include "proxy/rdma/hw/control_qp.h"
#include "proxy/rdma/rm/rm.h"
#include "proxy/rdma/verbs/verbs.h"
#include "proxy/tcpip/net/if.h"
#include "proxy/tcpip/sockaddr.h"
#include "proxy/tcpip/socket/domain.h"
#include "proxy/tcpip/socket_calls.h"
#include "proxy/tcpip/stack.h"
#include "tests/proxy/rdma/hw/hwif_fixture.h"
#include "tests/proxy/rdma/verbs/san_alias.h"

namespace verbstest {

// The adapter's SAN address, another address on the stack with no adapter
// behind it, and one the stack does not have (host order).
inline constexpr std::uint32_t kSanAddress = 0x0A4D0001;    // 10.77.0.1
inline constexpr std::uint32_t kOtherAddress = 0x0A4D0002;  // 10.77.0.2
inline constexpr std::uint32_t kNoAddress = 0x0A4E0009;     // 10.78.0.9

inline ZekVerbsAddress address_of(std::uint32_t host_order) {
  ZekVerbsAddress a{};
  a.Length = sizeof a;
  a.Family = ZEK_AF_INET;
  a.Ipv4 = __builtin_bswap32(host_order);
  return a;
}

class VerbsTest : public HwifTest {
 protected:
  plat::KernelOptions options() override {
    plat::KernelOptions o = HwifTest::options();
    o.memory.bytes = std::size_t{256} << 20;  // the host stack's share too
    return o;
  }

  void SetUp() override {
    HwifTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(ZEK_Init_c_err_msgs(), ZEK_STATUS_PASS);
    ASSERT_EQ(ZEK_Init_c_if_mngr(), ZEK_STATUS_PASS);
    g_ZpxGimTable = &g_ZekGimTable;
    g_ZpxGlmiTable = &g_ZekGlmiTable;
    g_ZpxGromitTable = &g_ZekGromitTable;
    g_ZpxLrmTable = &g_ZekLarmitTable;
    g_ZpxMrteTable = &g_ZekMrteTable;
    ASSERT_EQ(ZekInitializeListHead(&g_ZpxAddedAdapters), ZEK_STATUS_PASS);
    scratchpad_.Signature = MIFH_SCRATCHPAD_SIGNATURE;
    ASSERT_EQ(OSPrimSyncInitSpinlockObject(&scratchpad_.Lock), ZEK_STATUS_PASS);
    fn_ = &bring_up(0, 128);
    NIC_HW_INFO* hw = hw_.get();
    hw->Signature = NIC_HW_INFO_SIGNATURE;
    hw->Version = NIC_HW_INFO_VERSION;
    std::memcpy(static_cast<void*>(&hw->Device), &fn_->device, sizeof fn_->device);
    hw->Device.Scratchpad = &scratchpad_;
    hw->Device.FirstPdId = 8;
    hw->Device.PdCount = 4;
    hw->Device.ArpEntryCount = 32;
    hw->Device.MaxOrd = 64;
    hw->Device.MaxIrd = 64;
    hw->Device.MaxSqWr = 512;
    hw->Device.MaxRqWr = 512;
    hw->Base.Signature = MIFH_BASE_SIGNATURE;
    hw->Base.Version = MIFH_BASE_VERSION;
    hw->Base.Ceq1 = &fn_->ceq1;
    hw->Base.Cqp = fn_->cqp;
    hw->Base.Device = &hw->Device;
    hw->ControlDrain = [](void* self) { static_cast<VerbsTest*>(self)->process_control(); };
    hw->ControlDrainContext = this;
    record_.Device = &hw->Device;
    record_.HwInfo = hw;
    record_.Adapter = this;
    record_.Adapter2 = this;
    record_.Base = &hw->Base;
    record_.Port = 0;
    record_.SanIpv4Address = kSanAddress;
    const std::uint8_t mac[6] = {0x02, 0x12, 0x34, 0x56, 0x00, 0x12};
    std::memcpy(record_.SanMacAddress, mac, 6);
    helper_.start([this] { process_control(); });
    EXPECT_TRUE(NicProxyGateEnter(&record_.Gate));
    record_.AttachProgress = NIC_PROXY_PROGRESS_ATTACHING;
    // The stack first: the attach gives it the adapter's interface.
    zektcp::TcpipConfig config;
    ASSERT_EQ(ZEK_Init_c_tcpip(&config), ZEK_STATUS_PASS);
    stack_ = true;
    ASSERT_EQ(ProxyAddNic(&record_), ZEK_STATUS_PASS) << log_text();
    // The SAN address is the adapter interface's own (the attach gave it).
    add_address(kOtherAddress);
    ASSERT_EQ(ZEK_Init_Verbs(), ZEK_STATUS_PASS);
    verbs_ = true;
  }

  void TearDown() override {
    g_ZekVerbsInterruptNextWait = 0;
    if (verbs_) {
      EXPECT_EQ(ZEK_Cleanup_Verbs(), ZEK_STATUS_PASS);
    }
    if (ZpxRecordAttached(&record_)) ProxyRemoveNic(&record_);
    if (stack_) ZEK_Cleanup_c_tcpip();
    helper_.stop();
    ZpxSetReceiveHook(nullptr, nullptr);
    EXPECT_EQ(ZEK_Cleanup_c_if_mngr(), ZEK_STATUS_PASS);
    EXPECT_EQ(ZEK_Cleanup_c_err_msgs(), ZEK_STATUS_PASS);
    HwifTest::TearDown();
  }

  // The miniport's DPC: control completions retired, then the refill.
  void process_control() {
    std::lock_guard lock(mu_);
    mifh_process_ccq(fn_->ccq);
    mifh_free_CQPPendQ_buffer(fn_->cqp);
  }

  // An address of the stack's loopback interface (with a /24 mask).
  static void add_address(std::uint32_t host_order) {
    const int s = zektcp::sys_socket(zektcp::AF_INET, zektcp::SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    zektcp::ifaliasreq request = san_alias_request(host_order);
    EXPECT_EQ(zektcp::sys_ioctl(s, zektcp::SIOCAIFADDR, &request), 0);
    zektcp::sys_close(s);
  }

  // The kernel routine table, as a kernel client gets it.
  static const ZekVerbsInterface* table() {
    void* t = nullptr;
    EXPECT_EQ(ZEK_GetInterface(IWARP_KERNEL_VERBS_INTERFACE, &t), ZEK_STATUS_PASS);
    return static_cast<const ZekVerbsInterface*>(t);
  }

  void* open() {
    void* adapter = nullptr;
    const ZekVerbsAddress a = address_of(kSanAddress);
    EXPECT_EQ(table()->Open(&adapter, &a), ZEK_STATUS_PASS) << log_text();
    return adapter;
  }

  // The adapter's local resource manager's numbers in use (QP, CQ, MR, PD,
  // user PD, IRD).
  std::vector<std::uint32_t> in_use() {
    auto* info = static_cast<ProxyAdapterInfo*>(record_.ProxyAdapterInfo);
    ZekAllocationRecord local{}, global{};
    EXPECT_EQ(L_QueryResourceAllocation(info->Hw->Managers.Larmit, &local, &global), ZEK_STATUS_PASS);
    return {local.Words + 8, local.Words + 14};
  }

  // A queue pair's create input over the given objects.
  static ZekQpCreateInput qp_input(void* pd, void* scq, void* rcq, std::uint32_t sq = 8, std::uint32_t rq = 8) {
    ZekQpCreateInput in{};
    in.Pd = reinterpret_cast<std::uint64_t>(pd);
    in.SendCq = reinterpret_cast<std::uint64_t>(scq);
    in.RecvCq = reinterpret_cast<std::uint64_t>(rcq);
    in.SqSize = sq;
    in.RqSize = rq;
    in.SqSges = in.RqSges = in.RdmaWSges = 2;
    in.Ord = 4;
    in.Ird = 4;
    return in;
  }

  // The objects a queue pair needs: a PD and one CQ for both queues.
  struct Objects {
    void* pd = nullptr;
    void* cq = nullptr;
  };
  Objects objects(void* adapter) {
    Objects o;
    std::uint32_t entries = 0;
    EXPECT_EQ(table()->PdAllocate(adapter, &o.pd), ZEK_STATUS_PASS) << log_text();
    EXPECT_EQ(table()->CqCreate(adapter, &o.cq, &entries, nullptr, nullptr, 64), ZEK_STATUS_PASS) << log_text();
    return o;
  }

  // A queue pair over the objects; its handle, 0 when it was refused.
  std::uint64_t make_qp(void* adapter, const Objects& o) {
    const ZekQpCreateInput in = qp_input(o.pd, o.cq, o.cq);
    ZekQpAttributes out{};
    std::uint64_t handle = 0;
    EXPECT_EQ(table()->QpCreate(adapter, &in, &out, &handle), ZEK_STATUS_PASS) << log_text();
    return handle;
  }
  // The queue-pair object of a handle (to write work requests as the
  // posting verbs will).
  static MifhQpObject* qp_object(void* adapter, std::uint64_t handle) {
    return ZekQpOfHandle(static_cast<ZekIwarpAdapter*>(adapter), handle);
  }

  std::unique_ptr<NIC_HW_INFO> hw_ = std::make_unique<NIC_HW_INFO>();
  NicProxyInterface record_{};
  HwFunction* fn_ = nullptr;
  HwScratchpadObj scratchpad_{};
  std::mutex mu_;
  PeriodicHelper helper_;
  bool stack_ = false;
  bool verbs_ = false;
};

// A kernel client's adapter, open with a PD and a CQ, and kernel buffers
// (non-paged pool) that go with the test.
class OpenAdapterTest : public VerbsTest {
 protected:
  void SetUp() override {
    VerbsTest::SetUp();
    if (HasFatalFailure()) return;
    adapter_ = open();
    o_ = objects(adapter_);
  }
  void TearDown() override {
    if (adapter_ != nullptr) {
      EXPECT_EQ(table()->Close(adapter_), ZEK_STATUS_PASS);
    }
    for (void* b : buffers_) ExFreePoolWithTag(b, kBufferTag);
    VerbsTest::TearDown();
  }
  std::uint8_t* buffer(std::uint32_t bytes) {
    void* b = ExAllocatePoolWithTag(NonPagedPool, bytes, kBufferTag);
    EXPECT_NE(b, nullptr);
    if (b != nullptr) buffers_.push_back(b);
    return static_cast<std::uint8_t*>(b);
  }

  static constexpr ULONG kBufferTag = MAKEFOURCC_LE('V', 'b', 'T', 's');
  void* adapter_ = nullptr;
  Objects o_;
  std::vector<void*> buffers_;
};

}  // namespace verbstest
