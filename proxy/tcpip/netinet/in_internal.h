// State of the IPv4 address layer, shared by its source files only.
#pragma once

#include "proxy/tcpip/netinet/in.h"

namespace zektcp {

inline constexpr std::uint32_t IN_IFADDR_HASH_SIZE = 512;

struct InAddrState {
  ipv4_ifaddr* in_head;
  ipv4_ifaddr** in_tail;
  ipv4_ifaddr* in_hash[IN_IFADDR_HASH_SIZE];
  std::uint32_t nonloopback;
  in_multi* multi_head;
};

extern InAddrState g_inaddr;

}  // namespace zektcp
