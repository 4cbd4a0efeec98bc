// IPv4 address requests: add, change and delete an address, its mask,
// destination and broadcast address, and the prefix routes that go with
// them; the prefix-length form of the requests; broadcast and subnet tests.
#include <cstring>

#include "proxy/tcpip/netinet/in_internal.h"
#include "proxy/tcpip/socket/socket.h"

namespace zektcp {

namespace {

constexpr std::uint32_t kAllHostsGroup = 0xE0000001;  // 224.0.0.1

const sockaddr_in* as_sin(const sockaddr* sa) { return reinterpret_cast<const sockaddr_in*>(sa); }

// An IPv4 address a request stores as it is: its length is later trusted
// by every comparison and copy, so it must be the family's own.
bool stored_inet_addr_ok(const sockaddr* sa) { return sa->sa_family == AF_INET && sa->sa_len == sizeof(sockaddr_in); }

// The mask's length byte ends at its last non-zero byte.
void trim_mask(sockaddr_in* mask) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(mask);
  mask->sin_len = 0;
  for (int i = 7; i >= 4; --i) {
    if (bytes[i] != 0) {
      mask->sin_len = static_cast<std::uint8_t>(i + 1);
      break;
    }
  }
}

bool uses_host_route(const ipv4_ifaddr* ia) {
  return (ia->ia_ifa.ifa_ifp->if_flags & (IFF_LOOPBACK | IFF_POINTOPOINT)) && ia->ia_dstaddr.sin_family == AF_INET;
}

ipv4_ifaddr* first_inet_of(ifnet* ifp) {
  for (ifaddr* ifa = ifp->if_addrhead; ifa != nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr != nullptr && ifa->ifa_addr->sa_family == AF_INET) return reinterpret_cast<ipv4_ifaddr*>(ifa);
  }
  return nullptr;
}

ipv4_ifaddr* new_record(ifnet* ifp) {
  auto* ia = static_cast<ipv4_ifaddr*>(OSPrimMemAllocPtr(sizeof(ipv4_ifaddr)));
  if (ia == nullptr) return nullptr;
  ifaddr* ifa = &ia->ia_ifa;
  ifa->ifa_addr = reinterpret_cast<sockaddr*>(&ia->ia_addr);
  ifa->ifa_dstaddr = reinterpret_cast<sockaddr*>(&ia->ia_dstaddr);
  ifa->ifa_netmask = reinterpret_cast<sockaddr*>(&ia->ia_sockmask);
  ifa->ifa_ifp = ifp;
  ifa->ifa_kind = IFA_KIND_INET;
  ia->ia_sockmask.sin_len = 8;
  if (ifp->if_flags & IFF_BROADCAST) {
    ia->ia_dstaddr.sin_len = sizeof(sockaddr_in);
    ia->ia_dstaddr.sin_family = AF_INET;
  }
  AcquireListLock();
  ia->ia_next = nullptr;
  ia->ia_prevp = g_inaddr.in_tail;
  *g_inaddr.in_tail = ia;
  g_inaddr.in_tail = &ia->ia_next;
  ReleaseListLock();
  ifa_list_append(ifp, ifa);
  if (!(ifp->if_flags & IFF_LOOPBACK)) ++g_inaddr.nonloopback;
  return ia;
}

void remove_record(ifnet* ifp, ipv4_ifaddr* ia) {
  ifa_list_remove(ifp, &ia->ia_ifa);
  AcquireListLock();
  if (ia->ia_prevp != nullptr) {
    *ia->ia_prevp = ia->ia_next;
    if (ia->ia_next != nullptr) {
      ia->ia_next->ia_prevp = ia->ia_prevp;
    } else {
      g_inaddr.in_tail = ia->ia_prevp;
    }
    ia->ia_next = nullptr;
    ia->ia_prevp = nullptr;
  }
  ReleaseListLock();
  in_hash_remove(ia);
  if (!(ifp->if_flags & IFF_LOOPBACK) && g_inaddr.nonloopback > 0) --g_inaddr.nonloopback;
  ifafree(&ia->ia_ifa);
}

std::uint32_t prefix_mask(std::uint32_t length) { return length == 0 ? 0 : htonl(0xFFFFFFFFu << (32 - length)); }

std::uint32_t mask_length(std::uint32_t mask_network_order) {
  return static_cast<std::uint32_t>(__builtin_popcount(mask_network_order));
}

int queued_data_bytes(socket* so, void* data) {
  std::int32_t total = 0;
  if (so != nullptr) {
    for (mbuf* record = so->so_rcv.sb_mb; record != nullptr; record = record->m_nextpkt) {
      for (mbuf* m = record; m != nullptr; m = m->m_next) {
        if (m->m_type == MT_DATA) total += m->m_len;
      }
    }
  }
  std::memcpy(data, &total, sizeof(total));
  return 0;
}

}  // namespace

namespace {

// The prefix an address's route covers: the destination for host routes,
// else the address under its mask (all in network order). The address is
// read through the record's address pointer, which a change of address
// points at the old one while its route is scrubbed.
void prefix_of(const ipv4_ifaddr* ia, bool host, std::uint32_t* prefix, std::uint32_t* mask) {
  if (host) {
    *prefix = ia->ia_dstaddr.sin_addr.s_addr;
    *mask = 0xFFFFFFFF;
  } else {
    *mask = ia->ia_sockmask.sin_addr.s_addr;
    *prefix = as_sin(ia->ia_ifa.ifa_addr)->sin_addr.s_addr & *mask;
  }
}

// Another address with the same prefix that does not hold its route.
ipv4_ifaddr* prefix_heir(const ipv4_ifaddr* target, std::uint32_t prefix, std::uint32_t mask) {
  for (ipv4_ifaddr* ia = g_inaddr.in_head; ia != nullptr; ia = ia->ia_next) {
    if (ia == target || ia->ia_addr.sin_family != AF_INET || (ia->ia_ifa.ifa_flags & IFA_ROUTE)) continue;
    std::uint32_t p;
    std::uint32_t m;
    prefix_of(ia, uses_host_route(ia), &p, &m);
    if (p == prefix && m == mask) return ia;
  }
  return nullptr;
}

}  // namespace

int in_prefix_install(ipv4_ifaddr* target, int flags) {
  std::uint32_t prefix;
  std::uint32_t mask;
  prefix_of(target, (flags & static_cast<int>(RTF_HOST)) != 0, &prefix, &mask);
  for (ipv4_ifaddr* ia = g_inaddr.in_head; ia != nullptr; ia = ia->ia_next) {
    if (ia == target) continue;
    std::uint32_t p;
    std::uint32_t m;
    prefix_of(ia, uses_host_route(ia), &p, &m);
    // The prefix has its route through another address already.
    if (p == prefix && m == mask && (ia->ia_ifa.ifa_flags & IFA_ROUTE)) return 0;
  }
  const int error = ifaddr_route_request(&target->ia_ifa, RTM_ADD, flags);
  if (error == 0) target->ia_ifa.ifa_flags |= IFA_ROUTE;
  return error;
}

void in_prefix_remove(ipv4_ifaddr* ia) {
  if (!(ia->ia_ifa.ifa_flags & IFA_ROUTE)) return;
  const bool host = (ia->ia_ifa.ifa_ifp->if_flags & (IFF_LOOPBACK | IFF_POINTOPOINT)) != 0;
  ifaddr_route_request(&ia->ia_ifa, RTM_DELETE, host ? static_cast<int>(RTF_HOST) : 0);
  ia->ia_ifa.ifa_flags &= ~IFA_ROUTE;
  // Another address of the same prefix (on this interface or another) that
  // relied on this route takes it over, so the prefix stays reachable.
  std::uint32_t prefix;
  std::uint32_t mask;
  prefix_of(ia, host && ia->ia_dstaddr.sin_family == AF_INET, &prefix, &mask);
  if (ipv4_ifaddr* heir = prefix_heir(ia, prefix, mask)) {
    const int flags = static_cast<int>(RTF_UP) | (uses_host_route(heir) ? static_cast<int>(RTF_HOST) : 0);
    if (ifaddr_route_request(&heir->ia_ifa, RTM_ADD, flags) == 0) heir->ia_ifa.ifa_flags |= IFA_ROUTE;
  }
}

int in_set_iface_addr(ifnet* ifp, ipv4_ifaddr* ia, const sockaddr_in* sin, bool scrub) {
  sockaddr_in old = ia->ia_addr;
  in_hash_remove(ia);
  ia->ia_addr = *sin;
  ia->ia_addr.sin_len = sizeof(sockaddr_in);
  ia->ia_addr.sin_family = AF_INET;
  ia->ia_addr.sin_port = 0;
  in_hash_insert(ia);
  if (ifp->if_ioctl != nullptr) {
    const int error = ifp->if_ioctl(ifp, SIOCSIFADDR, ia);
    if (error != 0) {
      in_hash_remove(ia);
      ia->ia_addr = old;
      if (old.sin_addr.s_addr != 0) in_hash_insert(ia);
      return error;
    }
  }
  if (scrub) {
    ia->ia_ifa.ifa_addr = reinterpret_cast<sockaddr*>(&old);
    in_prefix_remove(ia);
    ia->ia_ifa.ifa_addr = reinterpret_cast<sockaddr*>(&ia->ia_addr);
  }
  const std::uint32_t i = ntohl(ia->ia_addr.sin_addr.s_addr);
  if (IN_CLASSA(i)) {
    ia->ia_netmask = 0xFF000000;
  } else if (IN_CLASSB(i)) {
    ia->ia_netmask = 0xFFFF0000;
  } else {
    ia->ia_netmask = 0xFFFFFF00;
  }
  if (i == INADDR_ANY) {
    // The unspecified address of a DHCP client still asking for its own:
    // every destination is on the link and the broadcast is all ones.
    ia->ia_netmask = 0;
    ia->ia_subnetmask = 0;
    ia->ia_sockmask.sin_addr.s_addr = 0;
  } else if (ia->ia_subnetmask == 0) {
    ia->ia_subnetmask = ia->ia_netmask;
    ia->ia_sockmask.sin_addr.s_addr = htonl(ia->ia_subnetmask);
  } else {
    ia->ia_netmask &= ia->ia_subnetmask;
  }
  ia->ia_net = i & ia->ia_netmask;
  ia->ia_subnet = i & ia->ia_subnetmask;
  trim_mask(&ia->ia_sockmask);
  ia->ia_ifa.ifa_metric = static_cast<std::int32_t>(ifp->if_data.ifi_metric);
  int flags = static_cast<int>(RTF_UP);
  if (ifp->if_flags & IFF_BROADCAST) {
    ia->ia_dstaddr.sin_addr.s_addr = htonl(ia->ia_subnet | ~ia->ia_subnetmask);
    ia->ia_netbroadcast = ia->ia_net | ~ia->ia_netmask;
  } else if (ifp->if_flags & IFF_LOOPBACK) {
    ia->ia_dstaddr = ia->ia_addr;
    flags |= static_cast<int>(RTF_HOST);
  } else if (ifp->if_flags & IFF_POINTOPOINT) {
    if (ia->ia_dstaddr.sin_family != AF_INET) return 0;
    flags |= static_cast<int>(RTF_HOST);
  }
  const int error = in_prefix_install(ia, flags);
  if (error != 0) return error;
  if (ifp->if_flags & IFF_MULTICAST) in_multi_join(htonl(kAllHostsGroup), ifp);
  return 0;
}

int in_control(socket* so, std::uint32_t cmd, void* data, ifnet* ifp, process* p) {
  if (data == nullptr) return BSD_EINVAL;
  auto* ifr = static_cast<ifreq*>(data);
  auto* ifra = static_cast<ifaliasreq*>(data);
  switch (cmd) {
    case SIOCALIFADDR:
    case SIOCDLIFADDR:
    case SIOCGLIFADDR:
      if (ifp == nullptr) return BSD_EINVAL;
      return in_lifaddr_ioctl(so, cmd, data, ifp, p);
    case FIONREAD_DATA:
      return queued_data_bytes(so, data);
    default:
      break;
  }

  // What the request would store is checked before any record is made.
  switch (cmd) {
    case SIOCSIFDSTADDR:
      if (ifp != nullptr && !(ifp->if_flags & IFF_POINTOPOINT)) return BSD_EINVAL;
      [[fallthrough]];
    case SIOCSIFBRDADDR:
      if (!stored_inet_addr_ok(&ifr->ifr_ifru.ifru_addr)) return BSD_EINVAL;
      break;
    case SIOCAIFADDR:
      if (ifra->ifra_broadaddr.sa_family == AF_INET && !stored_inet_addr_ok(&ifra->ifra_broadaddr)) return BSD_EINVAL;
      break;
    default:
      break;
  }

  ipv4_ifaddr* ia = nullptr;
  if (ifp != nullptr) {
    const std::uint32_t wanted = as_sin(&ifr->ifr_ifru.ifru_addr)->sin_addr.s_addr;
    for (ipv4_ifaddr* iap = in_ifaddr_hash_chain(wanted); iap != nullptr; iap = iap->ia_hash_next) {
      if (iap->ia_ifa.ifa_ifp == ifp && IA_SIN_ADDR(iap) == wanted) {
        ia = iap;
        break;
      }
    }
    if (ia == nullptr) ia = first_inet_of(ifp);
  }

  bool is_new = false;
  switch (cmd) {
    case SIOCAIFADDR:
    case SIOCDIFADDR:
    case SIOCSIFADDR:
    case SIOCSIFNETMASK:
    case SIOCSIFDSTADDR:
      if (ifp == nullptr) return BSD_EADDRNOTAVAIL;
      if (cmd == SIOCAIFADDR || cmd == SIOCDIFADDR) {
        if (ifra->ifra_addr.sa_family == AF_INET) {
          // The request names an address: it must be that address on this
          // interface.
          ia = nullptr;
          const std::uint32_t wanted = as_sin(&ifra->ifra_addr)->sin_addr.s_addr;
          for (ipv4_ifaddr* iap = g_inaddr.in_head; iap != nullptr; iap = iap->ia_next) {
            if (iap->ia_ifa.ifa_ifp == ifp && IA_SIN_ADDR(iap) == wanted) {
              ia = iap;
              break;
            }
          }
          if ((ifp->if_flags & IFF_POINTOPOINT) && cmd == SIOCAIFADDR &&
              as_sin(&ifra->ifra_broadaddr)->sin_addr.s_addr == INADDR_ANY) {
            return BSD_EDESTADDRREQ;
          }
        }
        if (cmd == SIOCDIFADDR && ia == nullptr) return BSD_EADDRNOTAVAIL;
      }
      if (ia == nullptr) {
        ia = new_record(ifp);
        if (ia == nullptr) return BSD_ENOBUFS;
        is_new = true;
      }
      break;
    case SIOCSIFBRDADDR:
    case SIOCGIFADDR:
    case SIOCGIFNETMASK:
    case SIOCGIFDSTADDR:
    case SIOCGIFBRDADDR:
      if (ia == nullptr) return BSD_EADDRNOTAVAIL;
      break;
    default:
      break;
  }

  int error = 0;
  switch (cmd) {
    case SIOCGIFADDR:
      std::memcpy(&ifr->ifr_ifru.ifru_addr, &ia->ia_addr, sizeof(sockaddr));
      return 0;
    case SIOCGIFBRDADDR:
      if (!(ifp->if_flags & IFF_BROADCAST)) return BSD_EINVAL;
      std::memcpy(&ifr->ifr_ifru.ifru_broadaddr, &ia->ia_dstaddr, sizeof(sockaddr));
      return 0;
    case SIOCGIFDSTADDR:
      if (!(ifp->if_flags & IFF_POINTOPOINT)) return BSD_EINVAL;
      std::memcpy(&ifr->ifr_ifru.ifru_dstaddr, &ia->ia_dstaddr, sizeof(sockaddr));
      return 0;
    case SIOCGIFNETMASK:
      std::memcpy(&ifr->ifr_ifru.ifru_addr, &ia->ia_sockmask, sizeof(sockaddr));
      return 0;
    case SIOCSIFDSTADDR: {
      if (!(ifp->if_flags & IFF_POINTOPOINT)) return BSD_EINVAL;
      sockaddr_in old = ia->ia_dstaddr;
      std::memcpy(&ia->ia_dstaddr, &ifr->ifr_ifru.ifru_dstaddr, sizeof(sockaddr_in));
      if (ifp->if_ioctl != nullptr) {
        error = ifp->if_ioctl(ifp, SIOCSIFDSTADDR, ia);
        if (error != 0) {
          ia->ia_dstaddr = old;
          return error;
        }
      }
      if (ia->ia_ifa.ifa_flags & IFA_ROUTE) {
        ia->ia_ifa.ifa_dstaddr = reinterpret_cast<sockaddr*>(&old);
        ifaddr_route_request(&ia->ia_ifa, RTM_DELETE, static_cast<int>(RTF_HOST));
        ia->ia_ifa.ifa_dstaddr = reinterpret_cast<sockaddr*>(&ia->ia_dstaddr);
        ifaddr_route_request(&ia->ia_ifa, RTM_ADD, static_cast<int>(RTF_HOST | RTF_UP));
      }
      return 0;
    }
    case SIOCSIFBRDADDR:
      if (!(ifp->if_flags & IFF_BROADCAST)) return BSD_EINVAL;
      std::memcpy(&ia->ia_dstaddr, &ifr->ifr_ifru.ifru_broadaddr, sizeof(sockaddr_in));
      return 0;
    case SIOCSIFADDR:
      error = in_set_iface_addr(ifp, ia, as_sin(&ifr->ifr_ifru.ifru_addr), true);
      if (error == 0 || !is_new) return error;
      break;
    case SIOCSIFNETMASK: {
      // The prefix route of the old mask goes with it; an address that is
      // set gets the route of the new mask at once.
      in_prefix_remove(ia);
      ia->ia_sockmask.sin_addr = as_sin(&ifr->ifr_ifru.ifru_addr)->sin_addr;
      ia->ia_sockmask.sin_family = AF_INET;
      ia->ia_subnetmask = ntohl(ia->ia_sockmask.sin_addr.s_addr);
      if (ia->ia_addr.sin_family != AF_INET) return 0;
      const sockaddr_in current = ia->ia_addr;
      return in_set_iface_addr(ifp, ia, &current, false);
    }
    case SIOCAIFADDR: {
      bool host_new = true;
      bool mask_new = false;
      sockaddr_in addr;
      std::memcpy(&addr, &ifra->ifra_addr, sizeof(addr));
      if (ia->ia_addr.sin_family == AF_INET) {
        if (addr.sin_len == 0) {
          addr = ia->ia_addr;
          host_new = false;
        } else if (addr.sin_addr.s_addr == IA_SIN_ADDR(ia)) {
          host_new = false;
        }
      }
      if (ifra->ifra_mask.sa_len != 0) {
        in_prefix_remove(ia);
        std::memcpy(&ia->ia_sockmask, &ifra->ifra_mask, sizeof(sockaddr_in));
        ia->ia_sockmask.sin_family = AF_INET;
        trim_mask(&ia->ia_sockmask);
        ia->ia_subnetmask = ntohl(ia->ia_sockmask.sin_addr.s_addr);
        mask_new = true;
      }
      if ((ifp->if_flags & IFF_POINTOPOINT) && ifra->ifra_broadaddr.sa_family == AF_INET) {
        in_prefix_remove(ia);
        std::memcpy(&ia->ia_dstaddr, &ifra->ifra_broadaddr, sizeof(sockaddr_in));
        mask_new = true;
      }
      if (addr.sin_family == AF_INET && (host_new || mask_new)) error = in_set_iface_addr(ifp, ia, &addr, false);
      if (error != 0 && is_new) break;
      if ((ifp->if_flags & IFF_BROADCAST) && ifra->ifra_broadaddr.sa_family == AF_INET) {
        std::memcpy(&ia->ia_dstaddr, &ifra->ifra_broadaddr, sizeof(sockaddr_in));
      }
      return error;
    }
    case SIOCDIFADDR: {
      in_prefix_remove(ia);
      in_addr_routes_down(&ia->ia_ifa, true);
      const InterfaceProtocolHooks& hooks = iface_protocol_hooks();
      if (ifp->if_addr == nullptr && hooks.in_pcbpurgeif0 != nullptr) hooks.in_pcbpurgeif0(ifp);
      error = 0;
      break;
    }
    default:
      if (ifp == nullptr || ifp->if_ioctl == nullptr) return BSD_EOPNOTSUPP;
      return ifp->if_ioctl(ifp, cmd, data);
  }
  // A deleted address, or a new one that could not be set, goes.
  remove_record(ifp, ia);
  return error;
}

int in_lifaddr_ioctl(socket* so, std::uint32_t cmd, void* data, ifnet* ifp, process* p) {
  if (data == nullptr || ifp == nullptr) return BSD_EINVAL;
  auto* req = static_cast<if_laddrreq*>(data);
  const auto* addr = reinterpret_cast<const sockaddr*>(req->addr);
  const auto* dst = reinterpret_cast<const sockaddr*>(req->dstaddr);
  switch (cmd) {
    case SIOCGLIFADDR:
      if (!(req->flags & IFLR_PREFIX)) break;
      [[fallthrough]];
    case SIOCALIFADDR:
    case SIOCDLIFADDR:
      if (addr->sa_family != AF_INET || addr->sa_len != sizeof(sockaddr_in)) return BSD_EINVAL;
      if (dst->sa_family != 0 && dst->sa_family != AF_INET) return BSD_EINVAL;
      if (dst->sa_len != 0 && dst->sa_len != sizeof(sockaddr_in)) return BSD_EINVAL;
      break;
    default:
      return BSD_EOPNOTSUPP;
  }
  if (req->prefixlen > 32) return BSD_EINVAL;

  if (cmd == SIOCALIFADDR) {
    if (req->flags & IFLR_PREFIX) return BSD_EINVAL;
    ifaliasreq alias{};
    std::memcpy(alias.ifra_name, req->iflr_name, IFNAMSIZ);
    std::memcpy(&alias.ifra_addr, addr, sizeof(sockaddr));
    if (dst->sa_family != 0) std::memcpy(&alias.ifra_broadaddr, dst, sizeof(sockaddr));
    sockaddr_in mask{};
    mask.sin_len = sizeof(sockaddr_in);
    mask.sin_family = AF_INET;
    mask.sin_addr.s_addr = prefix_mask(req->prefixlen);
    std::memcpy(&alias.ifra_mask, &mask, sizeof(sockaddr));
    return in_control(so, SIOCAIFADDR, &alias, ifp, p);
  }

  std::uint32_t mask = 0;
  std::uint32_t match = 0;
  bool compare = true;
  if (req->flags & IFLR_PREFIX) {
    mask = prefix_mask(req->prefixlen);
    match = as_sin(addr)->sin_addr.s_addr & mask;
    if (match != as_sin(addr)->sin_addr.s_addr) return BSD_EINVAL;  // bits past the prefix
  } else if (cmd == SIOCGLIFADDR) {
    compare = false;  // the first address
  } else {
    mask = 0xFFFFFFFF;
    match = as_sin(addr)->sin_addr.s_addr;
  }
  ipv4_ifaddr* found = nullptr;
  for (ifaddr* ifa = ifp->if_addrhead; ifa != nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET) continue;
    auto* ia = reinterpret_cast<ipv4_ifaddr*>(ifa);
    if (!compare || (IA_SIN_ADDR(ia) & mask) == match) {
      found = ia;
      break;
    }
  }
  if (found == nullptr) return BSD_EADDRNOTAVAIL;
  if (cmd == SIOCGLIFADDR) {
    std::memset(req->addr, 0, sizeof(req->addr));
    std::memcpy(req->addr, &found->ia_addr, sizeof(sockaddr_in));
    std::memset(req->dstaddr, 0, sizeof(req->dstaddr));
    if (ifp->if_flags & IFF_POINTOPOINT) std::memcpy(req->dstaddr, &found->ia_dstaddr, sizeof(sockaddr_in));
    req->prefixlen = mask_length(found->ia_sockmask.sin_addr.s_addr);
    req->flags = 0;
    return 0;
  }
  ifaliasreq alias{};
  std::memcpy(alias.ifra_name, req->iflr_name, IFNAMSIZ);
  std::memcpy(&alias.ifra_addr, &found->ia_addr, sizeof(sockaddr));
  if (ifp->if_flags & IFF_POINTOPOINT) std::memcpy(&alias.ifra_broadaddr, &found->ia_dstaddr, sizeof(sockaddr));
  std::memcpy(&alias.ifra_mask, &found->ia_sockmask, sizeof(sockaddr));
  return in_control(so, SIOCDIFADDR, &alias, ifp, p);
}

bool in_is_broadcast(std::uint32_t address, ifnet* ifp) {
  if (address == INADDR_BROADCAST || address == INADDR_ANY) return true;
  if (ifp == nullptr || !(ifp->if_flags & IFF_BROADCAST)) return false;
  const std::uint32_t t = ntohl(address);
  for (ifaddr* ifa = ifp->if_addrhead; ifa != nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET) continue;
    auto* ia = reinterpret_cast<ipv4_ifaddr*>(ifa);
    if ((address == ia->ia_dstaddr.sin_addr.s_addr || t == ia->ia_netbroadcast || t == ia->ia_subnet ||
         t == ia->ia_net) &&
        ia->ia_subnetmask != 0xFFFFFFFF) {
      return true;
    }
  }
  return false;
}

bool in_is_local_subnet(std::uint32_t address) {
  const std::uint32_t i = ntohl(address);
  for (ipv4_ifaddr* ia = g_inaddr.in_head; ia != nullptr; ia = ia->ia_next) {
    if ((i & ia->ia_subnetmask) == ia->ia_subnet) return true;
  }
  return false;
}

bool in_is_forwardable(std::uint32_t address) {
  const std::uint32_t i = ntohl(address);
  if ((i >> 24) >= 224) return false;
  const std::uint32_t net = i >> 24;
  return net != 0 && net != 127;
}

}  // namespace zektcp
