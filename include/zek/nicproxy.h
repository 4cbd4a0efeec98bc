// The NIC-proxy contract between the miniport (zekhnic) and the proxy driver
// (zekproxy): the 24-byte request of the private OID, and the NicProxyInterface
// record that the miniport answers with. The record is a region of the
// miniport's adapter block starting 40 bytes into it; the offsets below are
// the shared part, binding on both drivers. The miniport's registry values
// lie further on in the same region at the offsets of its keyword table (for
// example AeqElem at 1308); everything past the shared part is the
// miniport's and is declared with its adapter block.
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/zek/aeq_event.h"
#include "include/zek/mifh.h"

inline constexpr std::uint32_t OID_ZEK_NIC_PROXY_INTERFACE = 0xFF243369;

inline constexpr std::uint32_t ZPX_CUSTOM_OID_RESPONSE = 0x24AB3369;      // proxy signature once attached
inline constexpr std::uint32_t NIC_PROXY_REQUEST_SIGNATURE = 0x50525859;  // "PRXY"
inline constexpr std::uint32_t NIC_PROXY_ANSWER_SIGNATURE = 0x494E4943;   // "CINI"
inline constexpr std::uint32_t NIC_PROXY_COMMAND_ADD = 0x55414444;        // "UADD"
inline constexpr std::uint32_t NIC_PROXY_COMMAND_DELETE = 0x5544454C;     // "UDEL"
inline constexpr std::uint32_t NIC_PROXY_COMMAND_QUERY = 0x55515259;      // "UQRY"
inline constexpr std::uint32_t NIC_PROXY_PROGRESS_ATTACHING = 0x555555;
inline constexpr std::uint32_t NIC_PROXY_PROGRESS_ATTACHED = 0x666666;
inline constexpr std::uint32_t NIC_PROXY_ADAPTER_OFFSET = 40;  // of the record in the adapter block

struct NicProxyInterfaceRequest {
  std::uint32_t Signature;  // NIC_PROXY_REQUEST_SIGNATURE in, NIC_PROXY_ANSWER_SIGNATURE out
  std::uint32_t Length;     // 24
  std::uint32_t Command;    // NIC_PROXY_COMMAND_*
  std::uint32_t Reserved;
  void* Interface;  // out: the adapter's NicProxyInterface
};
static_assert(sizeof(NicProxyInterfaceRequest) == 24);
static_assert(offsetof(NicProxyInterfaceRequest, Signature) == 0);
static_assert(offsetof(NicProxyInterfaceRequest, Length) == 4);
static_assert(offsetof(NicProxyInterfaceRequest, Command) == 8);
static_assert(offsetof(NicProxyInterfaceRequest, Reserved) == 12);
static_assert(offsetof(NicProxyInterfaceRequest, Interface) == 16);

// ---- The attach gate ---------------------------------------------------------------------------
// The miniport's halt waits only so long for an attach in progress; an
// attach that outlives the wait must not write into an adapter block that
// the halt has freed. The gate (record offset 80, which the record otherwise
// leaves unused) arbitrates between the two and keeps the block allocated
// while an attach holds it:
//   - The miniport's answer to "UADD" takes a hold for the caller
//     (NicProxyGateEnter) before it hands out the record; a gate that the
//     halt has closed refuses the request instead.
//   - The proxy driver gives the hold back exactly once: on success with
//     NicProxyGateCommit as the attach's last step (after the progress word
//     0x666666 and the signature), otherwise with NicProxyGateLeave once it
//     has undone what it did. A commit that finds the gate closed is refused:
//     the halt came first, the attach is void, and the proxy driver undoes it
//     without touching the miniport's objects (only the record stays valid)
//     and then leaves. Between its steps an attach may test
//     NicProxyGateIsClosed to stop early. Leaving is its last touch of the
//     record.
//   - The halt waits, within its bound, while the progress word reads
//     0x555555 or a hold is out, then closes the gate (NicProxyGateClose).
//     With a hold still out it calls no detach routine, and the adapter block
//     is freed only once the last hold has been given back.
// A zeroed gate is open with no hold out.
inline constexpr std::uint32_t NIC_PROXY_GATE_CLOSED = 0x80000000;
inline constexpr std::uint32_t NIC_PROXY_GATE_HOLDS = 0x7FFFFFFF;

struct NicProxyGate {
  std::uint32_t State;  // NIC_PROXY_GATE_CLOSED | number of holds out
  std::uint32_t Reserved;
};
static_assert(sizeof(NicProxyGate) == 8);

inline std::uint32_t NicProxyGateState(const NicProxyGate* gate) {
  return __atomic_load_n(&gate->State, __ATOMIC_ACQUIRE);
}
inline std::uint32_t NicProxyGateHolds(const NicProxyGate* gate) {
  return NicProxyGateState(gate) & NIC_PROXY_GATE_HOLDS;
}
inline bool NicProxyGateIsClosed(const NicProxyGate* gate) {
  return (NicProxyGateState(gate) & NIC_PROXY_GATE_CLOSED) != 0;
}
// A hold while the gate is open; false once it is closed.
inline bool NicProxyGateEnter(NicProxyGate* gate) {
  std::uint32_t state = NicProxyGateState(gate);
  do {
    if ((state & NIC_PROXY_GATE_CLOSED) != 0 || (state & NIC_PROXY_GATE_HOLDS) == NIC_PROXY_GATE_HOLDS) return false;
  } while (!__atomic_compare_exchange_n(&gate->State, &state, state + 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
  return true;
}
// Gives a hold back while the gate is open; false, keeping the hold, once it
// is closed.
inline bool NicProxyGateCommit(NicProxyGate* gate) {
  std::uint32_t state = NicProxyGateState(gate);
  do {
    if ((state & NIC_PROXY_GATE_CLOSED) != 0 || (state & NIC_PROXY_GATE_HOLDS) == 0) return false;
  } while (!__atomic_compare_exchange_n(&gate->State, &state, state - 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
  return true;
}
// Gives a hold back, open or closed.
inline void NicProxyGateLeave(NicProxyGate* gate) {
  std::uint32_t state = NicProxyGateState(gate);
  do {
    if ((state & NIC_PROXY_GATE_HOLDS) == 0) return;
  } while (!__atomic_compare_exchange_n(&gate->State, &state, state - 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
}
// Closes the gate; answers the holds still out.
inline std::uint32_t NicProxyGateClose(NicProxyGate* gate) {
  return __atomic_fetch_or(&gate->State, NIC_PROXY_GATE_CLOSED, __ATOMIC_ACQ_REL) & NIC_PROXY_GATE_HOLDS;
}

struct NicProxyInterface;

// The seven table routines of the miniport; the first argument is the
// adapter (record offset 32 or 48).
using AddArpEntryCallbackFn = std::uint32_t (*)(void* adapter, const std::uint8_t* mac, std::uint32_t ipv4,
                                                std::uint32_t hardware_context, std::uint8_t type);
using DelArpEntryCallbackFn = std::uint32_t (*)(void* adapter, std::uint32_t ipv4);
using FlushArpEntriesCallbackFn = std::uint32_t (*)(void* adapter);
using GetIpToArpIndexFn = std::uint32_t (*)(void* adapter, std::uint32_t ipv4, std::uint32_t* index);
using AddIpaddrEntryCallbackFn = std::uint32_t (*)(void* adapter, std::uint32_t ipv4);
using DelIpaddrEntryProxyFn = std::uint32_t (*)(void* adapter, std::uint32_t ipv4);
using GetIpaddrIndexCallbackFn = std::uint32_t (*)(void* adapter, std::uint32_t ipv4, std::uint32_t* index);

// The five slots the proxy driver fills.
using ProxyRemoveNicCallbackFn = void (*)(NicProxyInterface* record);
using ProxyBottomHalfFn = void (*)(NicProxyInterface* record, std::uint32_t ceq_mask);
using ProxyQueueAeqFn = void (*)(MifhDeviceObj* device, const ZekAsyncEvent* event);
using ProxyCqpRefillFn = void (*)(MifhCqpObject* cqp);
using ProxyUploadContextFn = void (*)(void* context);

struct NicProxyInterface {
  std::uint32_t u32ProxySignature;  // ZPX_CUSTOM_OID_RESPONSE once attached, 0 after a detach
  std::uint8_t InterfaceBytes[4];   // 0, 1, 0, 0
  std::uint32_t AttachProgress;     // NIC_PROXY_PROGRESS_*, 0 after a detach
  std::uint32_t Reserved12;
  MifhDeviceObj* Device;
  NIC_HW_INFO* HwInfo;
  void* Adapter;  // the context of the table routines; cleared by the proxy on detach
  void* ProxyAdapterInfo;
  void* Adapter2;
  BaseDeviceObj* Base;
  void* ProxyAdapterInfo2;
  void* CardTables;
  // The attach gate (above).
  NicProxyGate Gate;
  std::uint32_t AddressKey;
  std::uint32_t ProxyAttached;   // 1 while the proxy's slots are valid
  std::uint32_t SanIpv4Address;  // IPADDRESS0, host byte order
  std::uint32_t SanNetMask;      // NetMask0
  std::uint32_t Dhcp;            // DHCP0
  std::uint32_t AlignHeaders;
  std::uint32_t Port;  // the PCI function number
  std::uint32_t RdmaOoo;
  std::uint32_t ChipRevision;
  std::uint8_t SanMacAddress[6];
  std::uint8_t BaseMacAddress[6];
  std::uint32_t LinkUp;
  std::uint32_t AttachedByMiniport;
  std::uint8_t ProxyDetached;
  std::uint8_t Unused145[7];
  AddArpEntryCallbackFn AddArpEntryCallback;
  DelArpEntryCallbackFn DelArpEntryCallback;
  FlushArpEntriesCallbackFn FlushArpEntriesCallback;
  GetIpToArpIndexFn GetIpToArpIndex;
  AddIpaddrEntryCallbackFn AddIpaddrEntryCallback;
  DelIpaddrEntryProxyFn DelIpaddrEntryProxy;
  GetIpaddrIndexCallbackFn GetIpaddrIndexCallback;
  ProxyRemoveNicCallbackFn DetachSlot;  // ProxyRemoveNicCallback
  ProxyBottomHalfFn BottomHalfSlot;     // ZEK_common_bh_routine
  ProxyQueueAeqFn AsyncEventSlot;       // ZpxQueueAEQ
  ProxyCqpRefillFn CqpRefillSlot;       // ZpxFreeCQPPendQBufferCallback
  ProxyUploadContextFn UploadSlot;      // ZpxUploadNicContextCallback
};
static_assert(offsetof(NicProxyInterface, u32ProxySignature) == 0);
static_assert(offsetof(NicProxyInterface, InterfaceBytes) == 4);
static_assert(offsetof(NicProxyInterface, AttachProgress) == 8);
static_assert(offsetof(NicProxyInterface, Device) == 16);
static_assert(offsetof(NicProxyInterface, HwInfo) == 24);
static_assert(offsetof(NicProxyInterface, Adapter) == 32);
static_assert(offsetof(NicProxyInterface, ProxyAdapterInfo) == 40);
static_assert(offsetof(NicProxyInterface, Adapter2) == 48);
static_assert(offsetof(NicProxyInterface, Base) == 56);
static_assert(offsetof(NicProxyInterface, ProxyAdapterInfo2) == 64);
static_assert(offsetof(NicProxyInterface, CardTables) == 72);
static_assert(offsetof(NicProxyInterface, Gate) == 80);
static_assert(offsetof(NicProxyInterface, AddressKey) == 88);
static_assert(offsetof(NicProxyInterface, ProxyAttached) == 92);
static_assert(offsetof(NicProxyInterface, SanIpv4Address) == 96);
static_assert(offsetof(NicProxyInterface, SanNetMask) == 100);
static_assert(offsetof(NicProxyInterface, Dhcp) == 104);
static_assert(offsetof(NicProxyInterface, AlignHeaders) == 108);
static_assert(offsetof(NicProxyInterface, Port) == 112);
static_assert(offsetof(NicProxyInterface, RdmaOoo) == 116);
static_assert(offsetof(NicProxyInterface, ChipRevision) == 120);
static_assert(offsetof(NicProxyInterface, SanMacAddress) == 124);
static_assert(offsetof(NicProxyInterface, BaseMacAddress) == 130);
static_assert(offsetof(NicProxyInterface, LinkUp) == 136);
static_assert(offsetof(NicProxyInterface, AttachedByMiniport) == 140);
static_assert(offsetof(NicProxyInterface, ProxyDetached) == 144);
static_assert(offsetof(NicProxyInterface, AddArpEntryCallback) == 152);
static_assert(offsetof(NicProxyInterface, DelArpEntryCallback) == 160);
static_assert(offsetof(NicProxyInterface, FlushArpEntriesCallback) == 168);
static_assert(offsetof(NicProxyInterface, GetIpToArpIndex) == 176);
static_assert(offsetof(NicProxyInterface, AddIpaddrEntryCallback) == 184);
static_assert(offsetof(NicProxyInterface, DelIpaddrEntryProxy) == 192);
static_assert(offsetof(NicProxyInterface, GetIpaddrIndexCallback) == 200);
static_assert(offsetof(NicProxyInterface, DetachSlot) == 208);
static_assert(offsetof(NicProxyInterface, BottomHalfSlot) == 216);
static_assert(offsetof(NicProxyInterface, AsyncEventSlot) == 224);
static_assert(offsetof(NicProxyInterface, CqpRefillSlot) == 232);
static_assert(offsetof(NicProxyInterface, UploadSlot) == 240);
static_assert(sizeof(NicProxyInterface) == 248);
