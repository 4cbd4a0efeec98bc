// zekhnic's side of the NIC-proxy contract (include/zek/nicproxy.h): the
// answer to the private OID with which the proxy driver asks for an adapter,
// and the seven routines over the board's card tables (its ARP table and its
// local-address table) that the answer hands the proxy driver.
//
// The answer. BuildNicProxyInterface takes the 24-byte request:
//   1. NIC_HW_INFO not "HWIF" version 6000: NDIS_STATUS_FAILURE (logged).
//   2. request signature not "PRXY": NDIS_STATUS_FAILURE, request untouched.
//   3. base object not "BASE" version 104: NDIS_STATUS_FAILURE (logged).
//   4. The record's base-object word, "CINI", length 24, the record's
//      address, the interface bytes 0, 1, 0, 0 and link-up are written.
//   5. "UADD" also fills the record's attach fields (objects, adapter,
//      card tables, configuration values, both MAC addresses, attached by
//      miniport 1, proxy detached 0, the seven routines) and takes a hold of
//      the attach gate for the caller; a gate the halt has closed refuses
//      the request (NDIS_STATUS_FAILURE, nothing written).
//   6. "UDEL", "UQRY" and any other command write nothing more.
//
// The card tables. Each routine takes the adapter block (record offset 32 or
// 48) first, runs under the tables' spin lock (up to DISPATCH_LEVEL) and
// programs the adapter: an ARP entry through an ARP-cache control request
// posted on the function's control queue pair (queued when the ring is full,
// never waited for), a local address through the destination-IP registers.
// The index of an entry is the index of its hardware entry. Results:
//
//   routine                  found / done           absent, full           bad table
//   AddArpEntryCallback      index taken            ZEK_CARD_NONE (dup,    ZEK_CARD_NONE
//                                                   full, no entries)
//   DelArpEntryCallback      index cleared          0                      ZEK_CARD_NONE
//   FlushArpEntriesCallback  last index cleared     0                      ZEK_CARD_NONE
//   GetIpToArpIndex          0, *index              1                      1
//   AddIpaddrEntryCallback   index (count + 1)      ZEK_CARD_NONE          ZEK_CARD_NONE
//   DelIpaddrEntryProxy      0 (last reference)     ZEK_CARD_NONE (also    ZEK_CARD_NONE
//                                                   references remain)
//   GetIpaddrIndexCallback   0, *index              ZEK_CARD_NONE          ZEK_CARD_NONE
//
// Choices where the adapter's description was unsound, each kept here:
//   - An ARP add looks at the whole table for the address before it takes a
//     free entry, so an address stored behind a freed entry is never stored
//     twice; a full table answers ZEK_CARD_NONE, not 0, which is also the
//     first entry's index.
//   - An ARP delete matches only entries in use: a free entry's address is
//     cleared, and address 0 names no neighbour.
//   - A local address whose programming failed gives its entry back whole
//     (count 0 as well as address 0), so the entry is not lost.
#pragma once

#include <cstdint>

#include "include/zek/nicproxy.h"
#include "miniport/adapter.h"

// The result of a card-table routine that found nothing it may use.
inline constexpr std::uint32_t ZEK_CARD_NONE = 0xFFFFFFFF;
// The entry type the proxy driver's ARP flush clears ('d').
inline constexpr std::uint32_t ZEK_ARP_TYPE_FLUSHED = 100;
// The type the destination-IP type registers get for a local address.
inline constexpr std::uint32_t ZEK_LOCAL_ADDRESS_TYPE = 1;
// Bounds of the ARP-cache requests.
inline constexpr std::uint32_t ZEK_ARP_AEQ_LIMIT = 8;
inline constexpr std::uint32_t ZEK_ARP_ENTRY_LIMIT = 4096;
// The NIC-proxy record's interface bytes.
inline constexpr std::uint8_t ZEK_PROXY_INTERFACE_BYTES[4] = {0, 1, 0, 0};

NDIS_STATUS BuildNicProxyInterface(ZEK_ADAPTER* adapter, NicProxyInterfaceRequest* request);

// The query of OID_ZEK_NIC_PROXY_INTERFACE: the information buffer is the
// request. A buffer shorter than the request gets NDIS_STATUS_BUFFER_TOO_SHORT
// with the bytes needed; success writes 24 bytes.
NDIS_STATUS MpQueryNicProxyInterface(ZEK_ADAPTER* adapter, PNDIS_OID_REQUEST request);

// The seven table routines.
std::uint32_t AddArpEntryCallback(void* adapter, const std::uint8_t* mac, std::uint32_t ipv4,
                                  std::uint32_t hardware_context, std::uint8_t type);
std::uint32_t DelArpEntryCallback(void* adapter, std::uint32_t ipv4);
std::uint32_t FlushArpEntriesCallback(void* adapter);
std::uint32_t GetIpToArpIndex(void* adapter, std::uint32_t ipv4, std::uint32_t* index);
std::uint32_t AddIpaddrEntryCallback(void* adapter, std::uint32_t ipv4);
std::uint32_t DelIpaddrEntryProxy(void* adapter, std::uint32_t ipv4);
std::uint32_t GetIpaddrIndexCallback(void* adapter, std::uint32_t ipv4, std::uint32_t* index);

// The ARP-cache control requests (AEQ number below 8, entry below 4096;
// a null address adds the entry with zero bytes): MIFH_STATUS_SUCCESS when
// posted or queued, 7 for a bad AEQ number, 11 for a bad index, or the
// post's status.
ZekStatus mifh_toe_add_arp_cache_entry(const std::uint8_t* mac, MifhCqpObject* cqp, std::uint32_t hardware_context,
                                       std::uint16_t index, std::uint8_t aeq_number);
ZekStatus mifh_toe_delete_arp_cache_entry(MifhCqpObject* cqp, std::uint16_t index);
