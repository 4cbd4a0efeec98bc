// IPv4 addresses and memberships as the stack keeps them: the global address
// list and its hash, and the multicast memberships with their link-level
// addresses on the interface.
#include "proxy/tcpip/netinet/in.h"

#include <cstring>

#include "proxy/tcpip/netinet/in_internal.h"

namespace zektcp {

InAddrState g_inaddr;

// ---- The address list and hash ---------------------------------------------------------------
ipv4_ifaddr* in_ifaddr_list() { return g_inaddr.in_head; }
ipv4_ifaddr* in_ifaddr_hash_chain(std::uint32_t address) { return g_inaddr.in_hash[in_ifaddr_hash(address)]; }
std::uint32_t in_nonloopback_addresses() { return g_inaddr.nonloopback; }
in_multi* in_multi_list() { return g_inaddr.multi_head; }

std::uint32_t in_ifaddr_hash(std::uint32_t address) {
  std::uint32_t hash = 0x2000023;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&address);
  for (int i = 0; i < 4; ++i) {
    hash *= 16777619u;
    hash ^= bytes[i];
  }
  return hash & (IN_IFADDR_HASH_SIZE - 1);
}

void in_hash_insert(ipv4_ifaddr* ia) {
  ipv4_ifaddr*& chain = g_inaddr.in_hash[in_ifaddr_hash(IA_SIN_ADDR(ia))];
  AcquireListLock();
  ia->ia_hash_next = chain;
  ia->ia_hash_prevp = &chain;
  if (chain != nullptr) chain->ia_hash_prevp = &ia->ia_hash_next;
  chain = ia;
  ReleaseListLock();
}

void in_hash_remove(ipv4_ifaddr* ia) {
  if (ia->ia_hash_prevp == nullptr) return;
  AcquireListLock();
  *ia->ia_hash_prevp = ia->ia_hash_next;
  if (ia->ia_hash_next != nullptr) ia->ia_hash_next->ia_hash_prevp = ia->ia_hash_prevp;
  ia->ia_hash_next = nullptr;
  ia->ia_hash_prevp = nullptr;
  ReleaseListLock();
}

// ---- Multicast memberships -------------------------------------------------------------------
in_multi* in_multi_join(std::uint32_t group, ifnet* ifp) {
  sockaddr_in sin{};
  sin.sin_len = sizeof(sin);
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = group;
  ifmultiaddr* ifma = nullptr;
  if (iface_add_multicast(ifp, reinterpret_cast<sockaddr*>(&sin), &ifma) != 0 || ifma == nullptr) return nullptr;
  if (ifma->ifma_protospec != nullptr) return static_cast<in_multi*>(ifma->ifma_protospec);
  auto* inm = static_cast<in_multi*>(OSPrimMemAllocPtr(sizeof(in_multi)));
  if (inm == nullptr) {
    iface_del_multicast(ifp, reinterpret_cast<sockaddr*>(&sin));
    return nullptr;
  }
  std::memset(inm, 0, sizeof(*inm));
  inm->inm_addr = group;
  inm->inm_ifp = ifp;
  inm->inm_ifma = ifma;
  ifma->ifma_protospec = inm;
  AcquireListLock();
  inm->inm_next = g_inaddr.multi_head;
  g_inaddr.multi_head = inm;
  ReleaseListLock();
  const InterfaceProtocolHooks& hooks = iface_protocol_hooks();
  if (hooks.igmp_joingroup != nullptr) hooks.igmp_joingroup(inm);
  return inm;
}

void in_multi_leave(in_multi* inm) {
  ifmultiaddr* ifma = inm->inm_ifma;
  ifnet* ifp = inm->inm_ifp;
  sockaddr_in group{};
  std::memcpy(&group, ifma->ifma_addr, sizeof(group));
  if (ifma->ifma_refcount == 1) {
    const InterfaceProtocolHooks& hooks = iface_protocol_hooks();
    if (hooks.igmp_leavegroup != nullptr) hooks.igmp_leavegroup(inm);
    ifma->ifma_protospec = nullptr;
    AcquireListLock();
    for (in_multi** link = &g_inaddr.multi_head; *link != nullptr; link = &(*link)->inm_next) {
      if (*link == inm) {
        *link = inm->inm_next;
        break;
      }
    }
    ReleaseListLock();
    OSPrimMemFreePtr(inm);
  }
  iface_del_multicast(ifp, reinterpret_cast<sockaddr*>(&group));
}

void in_multi_purge(ifnet* ifp) {
  for (in_multi** link = &g_inaddr.multi_head; *link != nullptr;) {
    in_multi* inm = *link;
    if (inm->inm_ifp == ifp) {
      *link = inm->inm_next;
      OSPrimMemFreePtr(inm);
    } else {
      link = &inm->inm_next;
    }
  }
}

void in_ifaddr_reset() {
  g_inaddr = InAddrState{};
  g_inaddr.in_tail = &g_inaddr.in_head;
}

}  // namespace zektcp
