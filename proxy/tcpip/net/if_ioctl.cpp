// Interface control requests: flags, metric, capabilities, queue length,
// MTU, link multicast addresses, the link address, cloners and the
// interface list.
#include <cstring>

#include "proxy/tcpip/net/if_internal.h"
#include "proxy/tcpip/net/route.h"
#include "proxy/tcpip/socket/socket.h"

namespace zektcp {

namespace {

constexpr std::uint32_t kKeptFlags32 = 0x18E72;

int interface_list(ifconf* ifc) {
  std::int32_t space = ifc->ifc_len;
  char* out = ifc->ifc_buf;
  int error = 0;
  if (space < 0) return BSD_EINVAL;
  for (ifnet* ifp = g_if.ifnet_head; ifp != nullptr && space > static_cast<std::int32_t>(sizeof(ifreq));
       ifp = ifp->if_next) {
    ifreq entry{};
    if (!iface_full_name(ifp, entry.ifr_name)) {
      error = BSD_ENAMETOOLONG;
      break;
    }
    if (ifp->if_addrhead == nullptr) {
      std::memcpy(out, &entry, sizeof(entry));
      out += sizeof(entry);
      space -= static_cast<std::int32_t>(sizeof(entry));
      continue;
    }
    for (ifaddr* ifa = ifp->if_addrhead; ifa != nullptr && space > static_cast<std::int32_t>(sizeof(ifreq));
         ifa = ifa->ifa_next) {
      const sockaddr* sa = ifa->ifa_addr;
      if (sa == nullptr) continue;
      if (sa->sa_len <= sizeof(sockaddr)) {
        std::memset(&entry.ifr_ifru, 0, sizeof(entry.ifr_ifru));
        std::memcpy(&entry.ifr_ifru.ifru_addr, sa, sa->sa_len);
        std::memcpy(out, &entry, sizeof(entry));
        out += sizeof(entry);
        space -= static_cast<std::int32_t>(sizeof(entry));
      } else {
        const std::int32_t need = static_cast<std::int32_t>(IFNAMSIZ + sa->sa_len);
        if (space < need) break;
        std::memcpy(out, entry.ifr_name, IFNAMSIZ);
        std::memcpy(out + IFNAMSIZ, sa, sa->sa_len);
        out += need;
        space -= need;
      }
    }
  }
  ifc->ifc_len -= space;
  return error;
}

bool passed_to_driver(std::uint32_t cmd) {
  switch (cmd) {
    case 0x80206936:
    case 0x80206939:
    case 0x80206949:
    case 0x80406946:
    case 0x8118694A:
    case 0xC0206937:
    case 0xC020693A:
    case 0xC0206947:
    case 0xC0206948:
    case 0xC0306938:
    case 0xC118694B:
    case SIOCGMEDIA_STATUS:
      return true;
    default:
      return false;
  }
}

int set_flags(ifnet* ifp, ifreq* ifr) {
  const std::uint32_t requested =
      (static_cast<std::uint32_t>(static_cast<std::uint16_t>(ifr->ifr_ifru.ifru_flags[0]))) |
      (static_cast<std::uint32_t>(static_cast<std::uint16_t>(ifr->ifr_ifru.ifru_flags[1])) << 16);
  if (!(ifp->if_flags & IFF_SMART)) {
    if ((ifp->if_flags & IFF_UP) && !(requested & IFF_UP)) {
      iface_mark_down(ifp);
    } else if ((requested & IFF_UP) && !(ifp->if_flags & IFF_UP)) {
      iface_mark_up(ifp);
    }
  }
  std::uint32_t flags = (ifp->if_xflags & kKeptFlags32) | (requested & ~kKeptFlags32);
  if (flags & IFF_PPROMISC) {
    flags |= IFF_PROMISC;
  } else if (ifp->if_pcount == 0) {
    flags &= ~static_cast<std::uint32_t>(IFF_PROMISC);
  }
  ifp->if_xflags = flags;
  ifp->if_flags = static_cast<std::uint16_t>(flags & 0xFFFF);
  if (ifp->if_ioctl != nullptr) ifp->if_ioctl(ifp, SIOCSIFFLAGS, ifr);
  stamp_change(ifp);
  return 0;
}

// The request's name as a string: it must end within its 16 bytes.
bool request_name(const ifreq* ifr, char* name) {
  const std::size_t len = strnlen(ifr->ifr_name, IFNAMSIZ);
  if (len == IFNAMSIZ) return false;
  std::memcpy(name, ifr->ifr_name, len + 1);
  return true;
}

// A link-level address carried in the request's 16-byte address field: its
// length must fit the field and hold the name and address it announces.
bool link_addr_fits(const sockaddr* sa) {
  if (sa->sa_family != AF_LINK) return false;
  if (sa->sa_len < offsetof(sockaddr_dl, sdl_data) || sa->sa_len > sizeof(sockaddr)) return false;
  const auto* sdl = reinterpret_cast<const sockaddr_dl*>(sa);
  return offsetof(sockaddr_dl, sdl_data) + sdl->sdl_nlen + sdl->sdl_alen + sdl->sdl_slen <= sa->sa_len;
}

}  // namespace

int iface_ioctl(socket* so, std::uint32_t cmd, void* data, process* p) {
  if (data == nullptr) return BSD_EINVAL;
  switch (cmd) {
    case FIONBIO: {
      std::int32_t on = 0;
      std::memcpy(&on, data, sizeof(on));
      if (so != nullptr) socket_set_nbio(so, on != 0);
      return 0;
    }
    case SIOCIFDESTROY: {
      char name[IFNAMSIZ];
      if (!request_name(static_cast<ifreq*>(data), name)) return BSD_EINVAL;
      return if_clone_destroy(name);
    }
    case SIOC_GET_IFACE_LIST:
    case SIOC_GET_IFACE_LIST_OLD:
      return interface_list(static_cast<ifconf*>(data));
    case SIOCIFGCLONERS:
      return if_clone_list(static_cast<if_clonereq*>(data));
    case SIOCIFCREATE:
      return if_clone_create(static_cast<ifreq*>(data)->ifr_name, IFNAMSIZ);
    default:
      break;
  }
  auto* ifr = static_cast<ifreq*>(data);
  char name[IFNAMSIZ + 1];
  std::memcpy(name, ifr->ifr_name, IFNAMSIZ);
  name[IFNAMSIZ] = '\0';
  ifnet* ifp = iface_lookup_by_name(name);
  if (ifp == nullptr) return BSD_ENXIO;

  switch (cmd) {
    case SIOCSIFFLAGS:
      return set_flags(ifp, ifr);
    case SIOCGIFFLAGS:
      ifr->ifr_ifru.ifru_flags[0] = static_cast<std::int16_t>(ifp->if_xflags & 0xFFFF);
      ifr->ifr_ifru.ifru_flags[1] = static_cast<std::int16_t>(ifp->if_xflags >> 16);
      return 0;
    case SIOCGIFMETRIC:
      ifr->ifr_ifru.ifru_metric = static_cast<std::int32_t>(ifp->if_data.ifi_metric);
      return 0;
    case SIOCSIFMETRIC:
      ifp->if_data.ifi_metric = static_cast<std::uint32_t>(ifr->ifr_ifru.ifru_metric);
      stamp_change(ifp);
      return 0;
    case SIOCGIFCAP:
      ifr->ifr_ifru.ifru_cap[0] = static_cast<std::int32_t>(ifp->if_data.ifi_capabilities);
      ifr->ifr_ifru.ifru_cap[1] = static_cast<std::int32_t>(ifp->if_data.ifi_capenable);
      return 0;
    case SIOCSIFCAP:
      if (static_cast<std::uint32_t>(ifr->ifr_ifru.ifru_cap[0]) & ~ifp->if_data.ifi_capabilities) return BSD_EINVAL;
      if (ifp->if_ioctl == nullptr) return BSD_EOPNOTSUPP;
      return ifp->if_ioctl(ifp, cmd, data);
    case SIOCGIFSNDQLEN:
      ifr->ifr_ifru.ifru_metric = ifp->if_snd.ifq_maxlen;
      return 0;
    case SIOCSIFSNDQLEN:
      if (ifr->ifr_ifru.ifru_metric < 0) return BSD_EINVAL;
      ifp->if_snd.ifq_maxlen = ifr->ifr_ifru.ifru_metric;
      return 0;
    case SIOC_GET_IFACE_MTU:
      ifr->ifr_ifru.ifru_mtu = static_cast<std::int32_t>(ifp->if_data.ifi_mtu);
      return 0;
    case SIOCSIFMTU: {
      if (ifp->if_ioctl == nullptr) return BSD_EOPNOTSUPP;
      if (ifr->ifr_ifru.ifru_mtu < 72 || ifr->ifr_ifru.ifru_mtu > 65535) return BSD_EINVAL;
      const int error = ifp->if_ioctl(ifp, cmd, data);
      if (error == 0) {
        stamp_change(ifp);
        rt_ifmsg(ifp);
      }
      return error;
    }
    case SIOCGIFPHYS:
      ifr->ifr_ifru.ifru_phys = ifp->if_data.ifi_physical;
      return 0;
    case SIOCADDMULTI:
    case SIOCDELMULTI: {
      if (!(ifp->if_flags & IFF_MULTICAST)) return BSD_EOPNOTSUPP;
      if (!link_addr_fits(&ifr->ifr_ifru.ifru_addr)) return BSD_EINVAL;
      const int error = cmd == SIOCADDMULTI ? iface_add_multicast(ifp, &ifr->ifr_ifru.ifru_addr, nullptr)
                                            : iface_del_multicast(ifp, &ifr->ifr_ifru.ifru_addr);
      if (error == 0) stamp_change(ifp);
      return error;
    }
    case SIOCSIFLLADDR:
      return iface_set_link_addr(ifp, reinterpret_cast<const std::uint8_t*>(ifr->ifr_ifru.ifru_addr.sa_data),
                                 ifr->ifr_ifru.ifru_addr.sa_len);
    default:
      break;
  }
  if (passed_to_driver(cmd)) {
    if (ifp->if_ioctl == nullptr) return BSD_EOPNOTSUPP;
    if (cmd == SIOCGMEDIA_STATUS) static_cast<std::uint8_t*>(data)[IFNAMSIZ] = 0;
    return ifp->if_ioctl(ifp, cmd, data);
  }
  if (so == nullptr || so->so_proto == nullptr || so->so_proto->pr_usrreqs == nullptr ||
      so->so_proto->pr_usrreqs->pru_control == nullptr) {
    return BSD_EOPNOTSUPP;
  }
  return so->so_proto->pr_usrreqs->pru_control(so, cmd, data, ifp, p);
}

// A new link-level address: the record and the driver take it, and ARP
// announces the IPv4 addresses again.
int iface_set_link_addr(ifnet* ifp, const std::uint8_t* lladdr, int len) {
  ifaddr* ifa = ifp->if_addr;
  if (ifa == nullptr || ifa->ifa_addr == nullptr) return BSD_EINVAL;
  auto* sdl = reinterpret_cast<sockaddr_dl*>(ifa->ifa_addr);
  if (len != sdl->sdl_alen) return BSD_EINVAL;
  switch (ifp->if_data.ifi_type) {
    case IFT_ETHER:
    case IFT_ISO88025:
    case IFT_FDDI:
    case IFT_XETHER:
    case IFT_L2VLAN:
      if (static_cast<std::size_t>(len) <= sizeof(ifp->if_ethaddr)) std::memcpy(ifp->if_ethaddr, lladdr, len);
      std::memcpy(LLADDR(sdl), lladdr, static_cast<std::size_t>(len));
      break;
    case IFT_ARCNET:
      std::memcpy(LLADDR(sdl), lladdr, static_cast<std::size_t>(len));
      break;
    default:
      return BSD_ENODEV;
  }
  if (ifp->if_flags & IFF_UP) {
    // Down and up again, so the driver programs the new address.
    ifreq request{};
    ifp->if_flags &= static_cast<std::uint16_t>(~IFF_UP);
    request.ifr_ifru.ifru_flags[0] = static_cast<std::int16_t>(ifp->if_flags);
    if (ifp->if_ioctl != nullptr) ifp->if_ioctl(ifp, SIOCSIFFLAGS, &request);
    ifp->if_flags |= IFF_UP;
    request.ifr_ifru.ifru_flags[0] = static_cast<std::int16_t>(ifp->if_flags);
    if (ifp->if_ioctl != nullptr) ifp->if_ioctl(ifp, SIOCSIFFLAGS, &request);
    for (ifaddr* a = ifp->if_addrhead; a != nullptr; a = a->ifa_next) {
      if (a->ifa_addr != nullptr && a->ifa_addr->sa_family == AF_INET && g_if.hooks.arp_ifinit != nullptr) {
        g_if.hooks.arp_ifinit(ifp, a);
      }
    }
  }
  return 0;
}

}  // namespace zektcp
