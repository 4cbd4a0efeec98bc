// The adapter attach and detach of the proxy driver: ProxyAddNic builds the
// driver's state for one adapter from the miniport's NIC-proxy record
// (include/zek/nicproxy.h), brings the adapter up for the driver
// (ZpxInitThread: its own NIC queue pair, the receive buffers, its MAC
// slot, TCP offload and iWARP on), and fills the record's routine slots;
// ProxyRemoveNic and its callers take it all down again.
//
// Attach, in order (each step undone in reverse when a later one fails; the
// failure is logged and the progress word goes back to 0, never left at
// 0x555555, since the miniport's halt waits while it reads so):
//   ZPX_ATTACH_ALLOCATE    the adapter information and its hardware part,
//                          on the list of added adapters
//   ZPX_ATTACH_SLOT        the lowest free of the 16 adapter slots
//   ZPX_ATTACH_DEVICE      the device object's guard words
//   ZPX_ATTACH_USER_ACCESS the user doorbell pages (indexed 0x900 + 8F)
//   ZPX_ATTACH_MANAGERS    the resource managers (GIM, GLMI, GRoMiT, LaRMiT, MRTE)
//   ZPX_ATTACH_NIC_QUEUES  the NIC completion queue (1024) and queue pair (512/512)
//   ZPX_ATTACH_MAC_SLOT    the driver's MAC address in slot F + 4
//   ZPX_ATTACH_RX_BUFFERS  the receive buffers, posted
//   ZPX_ATTACH_TOE         TCP offload on (indexed 0x6090, 0x6098)
//   ZPX_ATTACH_STACK       the host stack's interface "ZEK<unit>" (up and
//                          running) with the adapter's SAN address, or its
//                          DHCP client (attach_stack.cpp)
//   ZPX_ATTACH_IWARP       iWARP on (indexed 0x1F8, 0x5100)
// then proxy-attached = 1, the bottom-half, asynchronous-event, refill,
// detach and upload slots, the NIC completion queue armed, the progress
// word 0x666666 and last the signature 0x24AB3369; the attach gives its hold
// of the record's attach gate back (a halt that closed the gate meanwhile
// voids the attach, which is then undone).
//
// The host stack's side: the interface record is allocated with the
// managers (ZpxCommonAllocateTcpBuffer) and attached in the bring-up. Its
// frames leave through the driver's transmit buffers and NIC queue pair
// and arrive from the bottom half (a test's receive hook takes them
// instead while one is set); the bottom half's send completions restart an
// interface that waited for a buffer. ProxyDisableInterface takes the
// interface out (DHCP client stopped, address removed, the interface
// detached under the stack input lock); every detach does it before the
// queues go, whichever way it comes (address removal, halt, unload, a
// failed attach).
//
// Detach (ZpxCommonRemoveDeviceCallback), the sound order: the record's
// proxy-attached word and event slots are cleared first, the adapter's
// bottom half is shut out and waited for (PASSIVE_LEVEL, no spin lock held),
// then the MAC slot is cleared, the driver's event queue drained, the NIC
// queue pair and completion queue destroyed and only then the receive
// buffers freed, the managers cleaned up, the slot and both blocks freed.
// Attach and detach are serialised by the driver's detach lock, a passive
// lock: the work waits for the adapter and frees memory.
#pragma once

#include <cstdint>

#include "include/zek/nicproxy.h"
#include "proxy/core/adapter_managers.h"
#include "proxy/core/nic_rx.h"
#include "proxy/core/rundown.h"

namespace zektcp {
struct AdapterInterface;
}

inline constexpr std::uint32_t ZPX_ADAPTER_INFO_SIGNATURE = 0x584F5250;
inline constexpr std::uint32_t ZPX_MAX_ADAPTERS = 16;
inline constexpr std::uint32_t ZPX_ADAPTER_BUILDING = 1;
inline constexpr std::uint32_t ZPX_ADAPTER_BUILT = 2;
// The driver's MAC-table slot: the function number plus this.
inline constexpr std::uint32_t ZPX_MAC_SLOT_OFFSET = 4;
// TCP offload and iWARP enables (indexed registers).
inline constexpr std::uint32_t ZPX_TOE_ENABLE_VALUE = 0xFFFFFFFF;
inline constexpr std::uint32_t ZPX_TOE_CONTROL_VALUE = 0;
// The shortest frame the stack's transmit puts on the wire (a shorter one,
// an ARP message, is padded with zeros), as the miniport pads its own.
inline constexpr std::uint32_t ZPX_ETHER_MIN_FRAME = 60;

// The resource numbering the managers share, from the adapter's capability
// queries (published for the device object before the managers are made,
// withdrawn when they are gone). Where the capabilities leave the mapping
// open, this is it:
//   QP      2^(0x2B0 & 0x1F) numbers from the first iWARP queue pair (40)
//   CQ      2^((0x278 & 7) + 13) numbers from the same first number
//   MR      (0x218 & 0x7FE00) - 74 numbers from 0
//   PD      2^(0x258 & 0xF) - 10 numbers from 1 (0 is the miniport's)
//   USERPD  the device's doorbell-window domains (its first id and count)
//   IRD     (0x260 & 0xFFC0) - 64 numbers from 0
//   page-list chunks of 4 KB and of 256 bytes: the two counts of 0x280
//   functions: ZPX_BOARD_FUNCTIONS, the most a board has
inline constexpr std::uint32_t ZPX_BOARD_FUNCTIONS = 4;
inline constexpr std::uint32_t ZPX_FIRST_KERNEL_PD = 1;
ZekStatus ZpxPublishHardwareInfo(MifhDeviceObj* device);

// The attach steps, for the failure injection of the tests.
enum ZpxAttachStep : std::uint32_t {
  ZPX_ATTACH_NONE = 0,
  ZPX_ATTACH_ALLOCATE,
  ZPX_ATTACH_SLOT,
  ZPX_ATTACH_DEVICE,
  ZPX_ATTACH_USER_ACCESS,
  ZPX_ATTACH_MANAGERS,
  ZPX_ATTACH_NIC_QUEUES,
  ZPX_ATTACH_MAC_SLOT,
  ZPX_ATTACH_RX_BUFFERS,
  ZPX_ATTACH_TOE,
  ZPX_ATTACH_STACK,
  ZPX_ATTACH_IWARP,
  ZPX_ATTACH_STEPS,
};
// The step that fails as if its routine had failed (tests; nothing sets it
// in a running host).
extern ZpxAttachStep g_ZpxAttachFault;

struct ProxyHwAdapterInfo {
  BaseDeviceObj* Base;
  std::uint32_t ChipRevision;
  std::uint32_t Reserved;
  MifhCqObject* NicCq;
  MifhQpObject* NicQp;
  ZpxNicRx Rx;
  ZpxAdapterManagers Managers;
  zektcp::AdapterInterface* StackInterface;  // the host stack's interface record
  NIC_HW_INFO* HwInfo;
  MifhDeviceObj* Device;
  ZpxNicCqCounters Counters;
};

struct ProxyAdapterInfo {
  ZekListNode Links;        // on the driver's list of added adapters
  std::uint32_t Signature;  // ZPX_ADAPTER_INFO_SIGNATURE
  std::uint32_t Size;       // sizeof(ProxyAdapterInfo)
  void* Extension;
  std::uint32_t AdapterIndex;  // 0-15
  std::uint8_t SanMac[6];
  std::uint8_t BaseMac[6];
  std::uint32_t Progress;  // ZPX_ADAPTER_BUILDING, ZPX_ADAPTER_BUILT
  ProxyHwAdapterInfo* Hw;
  std::uint32_t IwarpEnabled;
  std::uint32_t Port;
  NicProxyInterface* Record;
  std::uint64_t Reserved;
};
static_assert(sizeof(ProxyAdapterInfo) == 88);
static_assert(offsetof(ProxyAdapterInfo, Signature) == 16);
static_assert(offsetof(ProxyAdapterInfo, AdapterIndex) == 32);
static_assert(offsetof(ProxyAdapterInfo, Progress) == 48);
static_assert(offsetof(ProxyAdapterInfo, Hw) == 56);
static_assert(offsetof(ProxyAdapterInfo, Record) == 72);

// 0, or the failing step's status (1 for a refusal: no slot, a damaged
// record, a halt that came first). The caller (the address handler) has set
// the progress word to 0x555555 and holds the record's attach gate; the
// hold is given back here in every case.
ZekStatus ProxyAddNic(NicProxyInterface* record);
// Brings the attached adapter up for the driver: 0 or 1 (the failure
// logged); what it built is recorded for the undo.
ZekStatus ZpxInitThread(ProxyAdapterInfo* info);

// The host stack's share (attach_stack.cpp). The interface record with the
// record's table routines and context word: 0 or the allocation's failure.
ZekStatus ZpxCommonAllocateTcpBuffer(ProxyAdapterInfo* info);
// The interface attached with the MAC, up and running, and its address:
// the adapter's IPADDRESS0/NetMask0 (a natural mask when NetMask0 is 0),
// or a DHCP client (none when DHCP_MAX_CLIENTS run: logged, not a
// failure). 0 or 1; what it did is left to ZpxFreeTcpBuffer.
ZekStatus ZpxCommonTcpInitAtAddDeviceTime(ProxyAdapterInfo* info, const std::uint8_t* mac);
// Disables the interface if it is still in the stack, clears its routines
// and frees it. With `adapter_gone` no routine of the halted adapter is
// called.
void ZpxFreeTcpBuffer(ProxyAdapterInfo* info, bool adapter_gone);
// Registers the adapter with the offload bridge for its interface (attach:
// its device, the proxy's CEQ, its ARP and address indexes and its
// queue-pair and CQ numbers), or removes it (detach, before the interface).
void ZpxOffloadAttach(ProxyAdapterInfo* info, bool attach);
// The bottom half's share: where the adapter's received frames go (left as
// it is without an interface), and the word that send completions freed
// transmit buffers.
// The stack's route takes the frames of a NIC pass under the stack input
// lock, which ZpxStackReceivePass(true) takes before the pass and
// ZpxStackReceivePass(false) releases after it: one lock round for the pass
// instead of one per frame, and the protocol input of the whole pass runs
// once, when the lock is released.
void ZpxStackReceiveRoute(ProxyAdapterInfo* info, ZpxReceiveHook* hook, void** context);
void ZpxStackReceivePass(bool begin);
void ZpxStackTransmitDone(ProxyAdapterInfo* info);

// The host stack's interface out: the DHCP client stopped, the configured
// address removed (with the adapter's IP and ARP entries), the interface
// detached under the stack input lock. 0, or 1 without an attached adapter
// with an interface.
ZekStatus ProxyDisableInterface(NicProxyInterface* record);
// Detaches the adapter and clears the record (adapter, detach slot,
// progress word, adapter information, signature; proxy detached = 1). 0, or
// 1 when the record names no adapter of this driver.
ZekStatus ProxyRemoveNic(NicProxyInterface* record);
// The interface marked down (its link went), or up again (a further
// address announced for the attached adapter).
void ZekNicDisableInterface(NicProxyInterface* record);
void ZpxMarkInterfaceUp(NicProxyInterface* record);
// The detach slot: the miniport's halt calls it. Disable, remove, and the
// adapter's address entry is dropped as a removal the miniport reports.
void ProxyRemoveNicCallback(NicProxyInterface* record);
// Detaches every adapter still attached (unload).
void ZpxRemoveAllNics();

// Whether the record belongs to an adapter this driver has attached.
bool ZpxRecordAttached(const NicProxyInterface* record);

// The bottom-half slot: the driver's completion event queue of the adapter.
void ZEK_common_bh_routine(NicProxyInterface* record, std::uint32_t ceq_mask);
// The refill slot: pending control requests onto the ring.
void ZpxFreeCQPPendQBufferCallback(MifhCqpObject* cqp);

// Where received frames go instead of the host stack's Ethernet input: one
// hook for the driver (tests; null: the stack's).
void ZpxSetReceiveHook(ZpxReceiveHook hook, void* context);

// The address handlers' share (address_list.cpp): the address entry of a
// record whose TDI address is `ipv4` goes, as if the miniport reported the
// removal (context ZPX_CUSTOM_OID_RESPONSE).
void ZpxDropAddressEntry(std::uint32_t ipv4);

// The driver's detach lock: a kernel mutex, so its holder stays at
// PASSIVE_LEVEL (the attach starts the DHCP client thread under it).
void ZpxAcquireDetachLock();
void ZpxReleaseDetachLock();
