// An adapter as the stack's Ethernet interface "ZEK<unit>": the interface
// record the attach builds for each adapter, its transmit path, and its
// address (SetZekInterface), which the adapter's own IP and ARP tables
// follow through the miniport's routines.
//
// The transmit path hands each frame to the driver through `transmit`
// (the attach gives it the driver NIC queue pair's send). A frame the driver
// has no buffer for stays first in the send queue and goes out on the next
// start: the next output, or the driver's word that a buffer came free
// (adapter_interface_transmit_done).
#pragma once

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
};

// Attaches the interface with the first free unit; BSD_ENOSPC when all 16
// are taken. The unit stays the interface's until adapter_interface_remove.
int adapter_interface_add(AdapterInterface* a);
void adapter_interface_remove(AdapterInterface* a);

// The interface's start routine (its send queue to the driver); 1, or 0
// when the driver had no buffer.
int adapter_interface_start(ifnet* ifp);
// The driver has a free transmit buffer again.
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
