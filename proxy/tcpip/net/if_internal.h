// State of the interface layer, shared by its source files only.
#pragma once

#include "proxy/tcpip/net/if.h"

namespace zektcp {

struct IfState {
  ifnet* ifnet_head;
  ifnet** ifnet_tail;
  ifnet* index_table[IF_MAX_INDEX];
  ifaddr* link_addrs[IF_MAX_INDEX];
  if_cloner* cloners;
  std::uint32_t cloner_count;
  InterfaceProtocolHooks hooks;
};

extern IfState g_if;

void ifa_list_insert_head(ifnet* ifp, ifaddr* ifa);
void stamp_change(ifnet* ifp);

}  // namespace zektcp
