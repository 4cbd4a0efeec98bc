// State of the interface layer, shared by its source files only.
#pragma once

#include "proxy/tcpip/net/if.h"

namespace zektcp {

inline constexpr std::uint32_t IN_IFADDR_HASH_SIZE = 512;

struct IfState {
  ifnet* ifnet_head;
  ifnet** ifnet_tail;
  ifnet* index_table[IF_MAX_INDEX];
  ifaddr* link_addrs[IF_MAX_INDEX];
  ipv4_ifaddr* in_head;
  ipv4_ifaddr** in_tail;
  ipv4_ifaddr* in_hash[IN_IFADDR_HASH_SIZE];
  std::uint32_t nonloopback;
  in_multi* multi_head;
  if_cloner* cloners;
  std::uint32_t cloner_count;
  InterfaceProtocolHooks hooks;
};

extern IfState g_if;

void ifa_list_append(ifnet* ifp, ifaddr* ifa);
void ifa_list_insert_head(ifnet* ifp, ifaddr* ifa);
void ifa_list_remove(ifnet* ifp, ifaddr* ifa);
void in_hash_insert(ipv4_ifaddr* ia);
void in_hash_remove(ipv4_ifaddr* ia);
void stamp_change(ifnet* ifp);
bool sa_equal(const sockaddr* a, const sockaddr* b);

}  // namespace zektcp
