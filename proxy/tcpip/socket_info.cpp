// What the socket-call requests report of the stack besides the calls: the
// TCP statistics block and the interface entries.
#include <algorithm>
#include <cstring>

#include "proxy/tcpip/net/if_internal.h"
#include "proxy/tcpip/netinet/tcp_var.h"
#include "proxy/tcpip/socket_calls.h"

namespace zektcp {

static_assert(sizeof(tcpstat) <= ZEK_TCP_STATS_BYTES);

void tcp_stats_block(std::uint8_t (&block)[ZEK_TCP_STATS_BYTES]) {
  std::memset(block, 0, sizeof(block));
  AcquireBdcLock();
  std::memcpy(block, &g_tcpstat, sizeof(g_tcpstat));
  ReleaseBdcLock();
}

bool interface_entry(std::uint32_t index, ZekInterfaceEntryRecord* entry) {
  AcquireBdcLock();
  bool found = false;
  std::uint32_t position = 0;
  for (ifnet* ifp = g_if.ifnet_head; ifp != nullptr && !found; ifp = ifp->if_next) {
    if (ifp->if_addr == nullptr || ifp->if_addr->ifa_addr == nullptr) continue;
    if (position++ != index) continue;
    const sockaddr* link = ifp->if_addr->ifa_addr;
    std::memset(entry->LinkAddress, 0, sizeof(entry->LinkAddress));
    std::memcpy(entry->LinkAddress, link, std::min<std::size_t>(link->sa_len, sizeof(entry->LinkAddress)));
    std::memset(entry->Address, 0, sizeof(entry->Address));
    for (ifaddr* ifa = ifp->if_addrhead; ifa != nullptr; ifa = ifa->ifa_next) {
      if (ifa->ifa_addr != nullptr && ifa->ifa_addr->sa_family == AF_INET) {
        std::memcpy(entry->Address, ifa->ifa_addr, sizeof(sockaddr_in));
        break;
      }
    }
    entry->LinkLength = sizeof(entry->LinkAddress);
    entry->Flags = ifp->if_flags;
    found = true;
  }
  ReleaseBdcLock();
  return found;
}

}  // namespace zektcp
