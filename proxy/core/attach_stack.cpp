// The host stack's share of the adapter attach and detach: the adapter's
// interface "ZEK<unit>" with its SAN address (the adapter's IPADDRESS0 and
// NetMask0) or its DHCP client, frames out through the driver's NIC queue
// pair and in from the bottom half, and the way back (ProxyDisableInterface).
#include <atomic>
#include <cstring>
#include <new>

#include "proxy/core/attach.h"
#include "proxy/core/attach_internal.h"
#include "proxy/core/zpx.h"
#include "proxy/rdma/hw/nic_qp.h"
#include "proxy/rdma/hw/ring.h"
#include "proxy/tcpip/adapter_interface.h"
#include "proxy/tcpip/kern/kern.h"
#include "proxy/tcpip/net/if.h"
#include "proxy/tcpip/offload.h"
#include "proxy/tcpip/sockaddr.h"

namespace {

using zektcp::AdapterInterface;
using zektcp::TransmitResult;

// One frame into the first free of the driver's transmit buffers and onto
// the NIC queue pair. Runs under the stack's socket-call lock (every start
// of an interface does), so it never waits: a full send ring or no free
// buffer leaves the frame in the interface's queue for the next start.
TransmitResult transmit(void* context, const std::uint8_t* frame, std::uint32_t length) {
  auto* info = static_cast<ProxyAdapterInfo*>(context);
  ProxyHwAdapterInfo* hw = info->Hw;
  if (g_ZpxXmitBlock == nullptr || hw->NicCq == nullptr || length > ZPX_XMIT_BUFFER_BYTES) {
    return TransmitResult::Dropped;
  }
  ZekNicTransmit* tx = ZekNicTransmitOf(hw->NicCq);
  OSPrimSyncAcquireSpinlockObject(&tx->Lock);
  const bool full = ZekRingIsFull(&tx->Ring);
  const bool stopped = tx->Stopped != 0;
  OSPrimSyncReleaseSpinlockObject(&tx->Lock);
  if (stopped) return TransmitResult::Dropped;
  if (full) return TransmitResult::NoBuffer;
  for (ZpxXmitDescriptor& d : g_ZpxXmitDescriptors) {
    std::uint32_t free_word = 0;
    if (!std::atomic_ref<std::uint32_t>(d.InUse).compare_exchange_strong(free_word, 1)) continue;
    auto* buffer = reinterpret_cast<std::uint8_t*>(d.Buffer);
    std::memcpy(buffer, frame, length);
    // Short frames (ARP) leave padded to Ethernet's minimum, as the
    // miniport sends its own.
    std::uint32_t wire_length = length;
    if (wire_length < ZPX_ETHER_MIN_FRAME) {
      std::memset(buffer + wire_length, 0, ZPX_ETHER_MIN_FRAME - wire_length);
      wire_length = ZPX_ETHER_MIN_FRAME;
    }
    ZekNicTxBegin();
    const bool queued = DoWriteProc(hw->HwInfo, hw->StackInterface, buffer, wire_length, &d.InUse);
    return queued ? TransmitResult::Sent : TransmitResult::Dropped;
  }
  OSPrimDebugPrint("GetXmitBuf: out of Xmit resources \n");
  return TransmitResult::NoBuffer;
}

// A frame of the NIC pass, which holds the stack input lock (see
// ZpxStackReceivePass).
void receive(void* context, const std::uint8_t* header, const std::uint8_t* payload, std::uint32_t length) {
  zektcp::adapter_interface_input_locked(static_cast<AdapterInterface*>(context), header, payload, length);
}

// The DHCP client's first transaction id: the low 32 bits of the system
// time after one Park-Miller step.
std::uint32_t transaction_seed() {
  LARGE_INTEGER now{};
  KeQuerySystemTime(&now);
  constexpr std::uint64_t kModulus = 0x7FFFFFFF;
  std::uint64_t seed = static_cast<std::uint32_t>(now.QuadPart);
  seed = seed * 16807 % kModulus;
  if (seed < 1) seed += kModulus;
  return static_cast<std::uint32_t>(seed);
}

std::uint32_t natural_mask(std::uint32_t host_order) {
  return zektcp::IN_CLASSA(host_order) ? 0xFF000000u : zektcp::IN_CLASSB(host_order) ? 0xFFFF0000u : 0xFFFFFF00u;
}

// The interface's address, as the adapter's keywords give it (network
// order); 0 without one.
void configured_address(const NicProxyInterface* record, std::uint32_t* address, std::uint32_t* mask,
                        std::uint32_t* broadcast) {
  const std::uint32_t a = record->SanIpv4Address;
  const std::uint32_t m = record->SanNetMask != 0 ? record->SanNetMask : natural_mask(a);
  *address = zektcp::htonl(a);
  *mask = zektcp::htonl(m);
  *broadcast = zektcp::htonl((a & m) | ~m);
}

// Takes the interface out of the stack (idempotent): the DHCP client
// stopped (it gives its lease and address back), the configured address
// removed with the adapter's table entries, then, under the stack input
// lock, the interface detached with its waiting frames.
void disable(ProxyAdapterInfo* info, AdapterInterface* a) {
  if (a->unit < 0) return;
  a->present = 0;
  zektcp::dhcp_stop(&a->dhcp);
  if (info->Record != nullptr && info->Record->Dhcp == 0 && info->Record->SanIpv4Address != 0) {
    std::uint32_t address = 0, mask = 0, broadcast = 0;
    configured_address(info->Record, &address, &mask, &broadcast);
    zektcp::SetZekInterface(a, address, mask, broadcast, zektcp::ZEK_INTERFACE_DELETE);
  }
  zektcp::AcquireInputLock();
  zektcp::adapter_interface_remove(a);
  zektcp::ReleaseInputLock();
  OSPrimMemoryLogging("ProxyDisableInterface: adapter %u: interface detached\n", info->AdapterIndex);
}

ProxyAdapterInfo* attached_info(const NicProxyInterface* record) {
  if (record == nullptr) return nullptr;
  for (ZpxAdapterSlot& slot : g_ZpxAdapterSlots) {
    if (slot.Record.load() == record) return slot.Info;
  }
  return nullptr;
}

AdapterInterface* interface_of(const NicProxyInterface* record) {
  ProxyAdapterInfo* info = attached_info(record);
  return info != nullptr && info->Hw != nullptr ? info->Hw->StackInterface : nullptr;
}

// ---- The adapter's routines for the offload bridge (context: the adapter's info) ----
NicProxyInterface* record_of(void* context) { return static_cast<ProxyAdapterInfo*>(context)->Record; }

bool toe_arp_index(void* context, std::uint32_t remote, std::uint16_t* index) {
  NicProxyInterface* r = record_of(context);
  std::uint32_t i = 0;
  if (r == nullptr || r->GetIpToArpIndex == nullptr || r->GetIpToArpIndex(r->Adapter, remote, &i) != 0) return false;
  *index = static_cast<std::uint16_t>(i);
  return true;
}

bool toe_address_index(void* context, std::uint32_t local, std::uint8_t* index) {
  NicProxyInterface* r = record_of(context);
  std::uint32_t i = 0;
  if (r == nullptr || r->GetIpaddrIndexCallback == nullptr || r->GetIpaddrIndexCallback(r->Adapter, local, &i) != 0) {
    return false;
  }
  *index = static_cast<std::uint8_t>(i);
  return true;
}

bool toe_take_ids(void* context, std::uint32_t* qp, std::uint32_t* cq) {
  ZekLarmit* larmit = static_cast<ProxyAdapterInfo*>(context)->Hw->Managers.Larmit;
  if (L_GetResource(larmit, ZEK_RES_QP, qp) != ZEK_STATUS_PASS) return false;
  if (L_GetResource(larmit, ZEK_RES_CQ, cq) == ZEK_STATUS_PASS) return true;
  L_FreeResource(larmit, ZEK_RES_QP, *qp);
  return false;
}

void toe_give_ids(void* context, std::uint32_t qp, std::uint32_t cq) {
  ZekLarmit* larmit = static_cast<ProxyAdapterInfo*>(context)->Hw->Managers.Larmit;
  L_FreeResource(larmit, ZEK_RES_QP, qp);
  L_FreeResource(larmit, ZEK_RES_CQ, cq);
}

void toe_control_drain(void* context) {
  NIC_HW_INFO* hw = static_cast<ProxyAdapterInfo*>(context)->Hw->HwInfo;
  if (hw != nullptr && hw->ControlDrain != nullptr) hw->ControlDrain(hw->ControlDrainContext);
}

}  // namespace

void ZpxOffloadAttach(ProxyAdapterInfo* info, bool attach) {
  ProxyHwAdapterInfo* hw = info->Hw;
  AdapterInterface* a = hw != nullptr ? hw->StackInterface : nullptr;
  if (a == nullptr) return;
  if (!attach) {
    zektcp::OffloadAttachAdapter(&a->ac.ac_if, nullptr);
    return;
  }
  if (hw->Device == nullptr || hw->Base == nullptr || hw->Base->Ceq1 == nullptr || hw->Managers.Larmit == nullptr) {
    return;
  }
  const zektcp::ZekToeAdapter adapter{hw->Device,   hw->Base->Ceq1->CeqId, 0,
                                      info,         toe_arp_index,         toe_take_ids,
                                      toe_give_ids, toe_control_drain,     toe_address_index};
  if (!zektcp::OffloadAttachAdapter(&a->ac.ac_if, &adapter)) {
    ZEK_LOG_FAILURE("ZpxOffloadAttach: adapter %u: no place for its TCP offload\n", info->AdapterIndex);
  }
}

ZekStatus ZpxCommonAllocateTcpBuffer(ProxyAdapterInfo* info) {
  void* block = nullptr;
  const ZekStatus status = OSPrimMemAllocate(&block, sizeof(AdapterInterface));
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("ZpxCommonAllocateTcpBuffer: OSPrimMemAllocate() returned error (0x%x)\n", status);
    return status;
  }
  auto* a = new (block) AdapterInterface();
  const NicProxyInterface* record = info->Record;
  // The seven table routines and their context word; the stack uses the
  // ARP and IP ones.
  a->proxy_context = record->Adapter;
  a->add_ip = record->AddIpaddrEntryCallback;
  a->del_ip = record->DelIpaddrEntryProxy;
  a->ac.ac_add_arp = record->AddArpEntryCallback;
  a->ac.ac_del_arp = record->DelArpEntryCallback;
  a->ac.ac_arp_index = record->GetIpToArpIndex;
  a->ac.ac_ip_index = record->GetIpaddrIndexCallback;
  a->transmit = transmit;
  a->transmit_context = info;
  info->Hw->StackInterface = a;
  return ZEK_STATUS_PASS;
}

void ZpxFreeTcpBuffer(ProxyAdapterInfo* info, bool adapter_gone) {
  AdapterInterface* a = info->Hw != nullptr ? info->Hw->StackInterface : nullptr;
  if (a == nullptr) return;
  auto clear_routines = [a] {
    a->add_ip = nullptr;
    a->del_ip = nullptr;
    a->ac.ac_add_arp = nullptr;
    a->ac.ac_del_arp = nullptr;
    a->ac.ac_arp_index = nullptr;
    a->ac.ac_ip_index = nullptr;
    a->transmit = nullptr;
  };
  // A halted adapter's routines and queues are not to be called.
  if (adapter_gone) clear_routines();
  disable(info, a);
  clear_routines();
  info->Hw->StackInterface = nullptr;
  a->~AdapterInterface();
  OSPrimMemFree(a);
}

ZekStatus ZpxCommonTcpInitAtAddDeviceTime(ProxyAdapterInfo* info, const std::uint8_t* mac) {
  AdapterInterface* a = info->Hw->StackInterface;
  const NicProxyInterface* record = info->Record;
  if (a == nullptr || record == nullptr) return ZEK_STATUS_FAIL;
  std::memcpy(a->mac, mac, sizeof a->mac);
  a->present = 1;
  if (zektcp::adapter_interface_add(a) != 0) {
    a->present = 0;
    return ZEK_STATUS_FAIL;
  }
  zektcp::AcquireBdcLock();
  zektcp::iface_mark_up(&a->ac.ac_if);
  a->ac.ac_if.if_flags |= zektcp::IFF_RUNNING;
  zektcp::ReleaseBdcLock();
  // A failure from here on leaves the attached interface to the undo.
  if (g_ZpxAttachFault == ZPX_ATTACH_STACK) return ZEK_STATUS_FAIL;
  if (record->Dhcp == 0) {
    if (record->SanIpv4Address == 0) {
      OSPrimMemoryLogging("ZpxCommonTcpInitAtAddDeviceTime: adapter %u has no SAN address\n", info->AdapterIndex);
      return ZEK_STATUS_PASS;
    }
    std::uint32_t address = 0, mask = 0, broadcast = 0;
    configured_address(record, &address, &mask, &broadcast);
    return zektcp::SetZekInterface(a, address, mask, broadcast, zektcp::ZEK_INTERFACE_ADD) == 0 ? ZEK_STATUS_PASS
                                                                                                : ZEK_STATUS_FAIL;
  }
  // The address comes from a DHCP server; without a client's place (all
  // taken) the interface waits without one, which is logged.
  a->dhcp.ac = &a->ac;
  a->dhcp.xid = transaction_seed();
  const int error = zektcp::dhcp_start(&a->dhcp);
  if (error != 0) {
    ZEK_LOG_FAILURE("ZpxCommonTcpInitAtAddDeviceTime: no DHCP client for adapter %u (%d)\n", info->AdapterIndex, error);
  }
  return ZEK_STATUS_PASS;
}

void ZpxStackReceiveRoute(ProxyAdapterInfo* info, ZpxReceiveHook* hook, void** context) {
  AdapterInterface* a = info->Hw->StackInterface;
  if (a == nullptr) return;
  *hook = receive;
  *context = a;
}

void ZpxStackReceivePass(bool begin) {
  if (begin) {
    zektcp::AcquireInputLock();
  } else {
    zektcp::ReleaseInputLock();
  }
}

void ZpxStackTransmitDone(ProxyAdapterInfo* info) {
  if (AdapterInterface* a = info->Hw->StackInterface) zektcp::adapter_interface_transmit_done(a);
}

ZekStatus ProxyDisableInterface(NicProxyInterface* record) {
  ZpxAcquireDetachLock();
  ProxyAdapterInfo* info = attached_info(record);
  AdapterInterface* a = info != nullptr && info->Hw != nullptr ? info->Hw->StackInterface : nullptr;
  if (a != nullptr) disable(info, a);
  ZpxReleaseDetachLock();
  return a != nullptr ? ZEK_STATUS_PASS : ZEK_STATUS_FAIL;
}

namespace {

// The interface of an attached adapter marked down or up.
void mark_interface(NicProxyInterface* record, bool up) {
  ZpxAcquireDetachLock();
  if (AdapterInterface* a = interface_of(record); a != nullptr && a->unit >= 0) {
    zektcp::AcquireBdcLock();
    if (up) {
      zektcp::iface_mark_up(&a->ac.ac_if);
    } else {
      zektcp::iface_mark_down(&a->ac.ac_if);
    }
    zektcp::ReleaseBdcLock();
  }
  ZpxReleaseDetachLock();
}

}  // namespace

void ZekNicDisableInterface(NicProxyInterface* record) {
  mark_interface(record, false);
  OSPrimMemoryLogging("ZekNicDisableInterface: record %p: interface down\n", static_cast<void*>(record));
}

void ZpxMarkInterfaceUp(NicProxyInterface* record) { mark_interface(record, true); }
