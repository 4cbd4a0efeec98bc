// An adapter as the stack's Ethernet interface "ZEK<unit>": the interface
// record the attach builds for each adapter, its transmit path, and its
// address (SetZekInterface), which the adapter's own IP and ARP tables
// follow through the miniport's routines.
//
// The transmit path hands each frame to the driver through `transmit`
// (the attach gives it the driver NIC queue pair's send). A frame the driver
// has no buffer for stays first in the send queue and goes out on the next
// start: the next output, or the driver's word that a buffer came free
// (adapter_interface_transmit_done). No wake-up is lost between the two: a
// start that found no buffer marks the interface as waiting and looks again
// when a buffer came free while it was requeuing.
//
// Received frames enter through adapter_interface_input, which drops them
// once the interface is being detached; the detach also takes the frames
// of the interface still waiting in the stack's input queues, so nothing
// the soft-interrupt thread handles afterwards names a detached interface.
#pragma once

#include <atomic>
#include <cstdint>

#include "include/zek/nicproxy.h"
#include "proxy/tcpip/dhcp_client.h"
#include "proxy/tcpip/net/if_ether.h"

namespace zektcp {

inline constexpr std::uint32_t ADAPTER_UNITS = 16;
inline constexpr std::uint32_t ADAPTER_FRAME_MAX = 1520;  // a transmit buffer

// What a transmit hand-over gives back.
enum class TransmitResult { Sent, NoBuffer, Dropped };
using AdapterTransmitFn = TransmitResult (*)(void* context, const std::uint8_t* frame, std::uint32_t length);

struct AdapterInterface {
  arpcom ac{};  // first: the stack's interface record
  // Filled by the attach before adapter_interface_add.
  std::uint8_t mac[6] = {};
  void* proxy_context = nullptr;  // the first argument of the miniport's routines
  AddIpaddrEntryCallbackFn add_ip = nullptr;
  DelIpaddrEntryProxyFn del_ip = nullptr;
  AdapterTransmitFn transmit = nullptr;
  void* transmit_context = nullptr;
  volatile std::uint32_t present = 0;  // 0 once the adapter is going
  std::int32_t unit = -1;              // the interface's unit while attached
  DhcpClient dhcp;
  // The transmit restart: buffers freed (counted by the driver's word) and
  // whether a start is waiting for one.
  std::atomic<std::uint32_t> tx_freed{0};
  std::atomic<bool> tx_waiting{false};
};

// Attaches the interface with the first free unit; BSD_ENOSPC when all 16
// are taken. The unit stays the interface's until adapter_interface_remove,
// which also drops the interface's frames still waiting in the input
// queues. The caller of the remove holds the stack input lock or, in a
// test without a receive path, nothing.
int adapter_interface_add(AdapterInterface* a);
void adapter_interface_remove(AdapterInterface* a);

// A received frame (its 14-byte Ethernet header, then the payload) into
// the stack's Ethernet input, under the stack input lock. Dropped (and
// counted as an input error) while the interface is not present or has no
// mbuf for it.
void adapter_interface_input(AdapterInterface* a, const std::uint8_t* header, const std::uint8_t* payload,
                             std::uint32_t payload_length);
// The same with the stack input lock held by the caller.
void adapter_interface_input_locked(AdapterInterface* a, const std::uint8_t* header, const std::uint8_t* payload,
                                    std::uint32_t payload_length);

// The interface's start routine (its send queue to the driver); 1, or 0
// when the driver had no buffer.
int adapter_interface_start(ifnet* ifp);
// The driver has a free transmit buffer again (its send completions; any
// context up to DISPATCH_LEVEL, no stack lock held): a waiting start goes
// on.
void adapter_interface_transmit_done(AdapterInterface* a);

// The interface's address: operation 1 adds it (the adapter's IP table and
// an ARP entry of its own MAC follow), 2 sets it, 3 deletes it (and its
// entries). Addresses in network order. 0 or the address request's error.
inline constexpr int ZEK_INTERFACE_ADD = 1;
inline constexpr int ZEK_INTERFACE_SET = 2;
inline constexpr int ZEK_INTERFACE_DELETE = 3;
int SetZekInterface(AdapterInterface* a, std::uint32_t address, std::uint32_t mask, std::uint32_t broadcast,
                    int operation);

// Units in use (tests).
std::uint32_t adapter_units_in_use();

}  // namespace zektcp
