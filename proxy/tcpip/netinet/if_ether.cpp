// ARP: neighbour entries on cloned host routes, resolution with held
// packets and bounded retries, input of requests and replies, the expiry
// walk, and the mirror of the entries in the adapter's ARP table.
#include "proxy/tcpip/netinet/if_ether.h"

#include <cstring>

#include "proxy/tcpip/netinet/in.h"
#include "proxy/tcpip/netinet/ip.h"

namespace zektcp {

arpstat g_arpstat;

namespace {

struct ArpState {
  llinfo_arp* head;
  callout timer;
  bool timer_started;
};

ArpState g_arp;

std::uint32_t now_seconds() { return static_cast<std::uint32_t>(stack_time_seconds()); }

std::uint32_t key_address(const rtentry* rt) {
  return reinterpret_cast<const sockaddr_in*>(rt_key(rt))->sin_addr.s_addr;
}

sockaddr_dl* gateway_dl(rtentry* rt) {
  sockaddr* gw = rt->rt_gateway;
  return gw != nullptr && gw->sa_family == AF_LINK ? reinterpret_cast<sockaddr_dl*>(gw) : nullptr;
}

// The adapter record behind a neighbour's route (its address's interface:
// the route itself may point at the loopback interface).
arpcom* adapter_of(rtentry* rt) {
  ifnet* ifp = rt->rt_ifa != nullptr ? rt->rt_ifa->ifa_ifp : rt->rt_ifp;
  return iface_is_ether(ifp) ? ifp_to_arpcom(ifp) : nullptr;
}

// Gives the adapter a neighbour; true when its table holds it.
bool mirror_add(arpcom* ac, const std::uint8_t* mac, std::uint32_t address) {
  if (ac == nullptr || ac->ac_add_arp == nullptr || address == INADDR_ANY) {
    OSPrimMemoryLogging("Func[%s] line[%d] ip[x%08X] \n", "AddArpEntryProxy", __LINE__, ntohl(address));
    return false;
  }
  const std::uint32_t index = ac->ac_add_arp(ac->ac_context, mac, ntohl(address), ARP_HW_VALUE, ARP_MARKER);
  if (index == 0xFFFFFFFF) return false;
  if (index == 0) {
    // 0 is both "index 0" and "the table is full": the table tells which.
    std::uint32_t found = 0;
    if (ac->ac_arp_index == nullptr || ac->ac_arp_index(ac->ac_context, ntohl(address), &found) != 0) return false;
  }
  return true;
}

void mirror_delete(arpcom* ac, std::uint32_t address) {
  if (address == INADDR_ANY) return;
  if (ac == nullptr || ac->ac_del_arp == nullptr) {
    OSPrimMemoryLogging("func[%s,%d] addr[x%08X] \n", "DelArpEntryProxy", __LINE__, ntohl(address));
    return;
  }
  ac->ac_del_arp(ac->ac_context, ntohl(address));
}

void forget_mirror(llinfo_arp* la) {
  if (!la->la_mirrored) return;
  mirror_delete(adapter_of(la->la_rt), key_address(la->la_rt));
  la->la_mirrored = 0;
}

// An entry whose time is up: cleared while someone still holds its route,
// else deleted with the route.
void arptfree(llinfo_arp* la) {
  rtentry* rt = la->la_rt;
  if (rt == nullptr) panic("arptfree");
  sockaddr_dl* sdl = gateway_dl(rt);
  if (rt->rt_refcnt > 0 && sdl != nullptr) {
    sdl->sdl_alen = 0;
    la->la_asked = 0;
    la->la_refreshed = 0;
    rt->rt_flags &= ~RTF_REJECT;
    forget_mirror(la);  // the adapter must not keep the old address either
    return;
  }
  rtrequest_by_addrs(RTM_DELETE, rt_key(rt), nullptr, rt_mask(rt), 0, nullptr);
}

ipv4_ifaddr* first_inet_of(ifnet* ifp) {
  for (ifaddr* ifa = ifp->if_addrhead; ifa != nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr != nullptr && ifa->ifa_addr->sa_family == AF_INET) return reinterpret_cast<ipv4_ifaddr*>(ifa);
  }
  return nullptr;
}

ipv4_ifaddr* address_on(ifnet* ifp, std::uint32_t address) {
  for (ipv4_ifaddr* ia = in_ifaddr_hash_chain(address); ia != nullptr; ia = ia->ia_hash_next) {
    if (ia->ia_ifa.ifa_ifp == ifp && IA_SIN_ADDR(ia) == address) return ia;
  }
  return nullptr;
}

void set_conflict(arpcom* ac) {
  if (!ac->ac_dhcp_enabled) return;
  if (ac->ac_dhcp_lock != nullptr) OSPrimSyncAcquireSpinlockObject(ac->ac_dhcp_lock);
  ac->ac_addr_conflict = 1;
  if (ac->ac_dhcp_lock != nullptr) OSPrimSyncReleaseSpinlockObject(ac->ac_dhcp_lock);
}

}  // namespace

llinfo_arp* arp_entries() { return g_arp.head; }

void arp_init() {
  g_arp = ArpState{};
  std::memset(&g_arpstat, 0, sizeof(g_arpstat));
  callout_init(&g_arp.timer);
  register_netisr(NETISR_ARP, arpintr);
}

void arp_stop() {
  unregister_netisr(NETISR_ARP);
  callout_disarm(&g_arp.timer);
  while (llinfo_arp* la = g_arp.head) {
    g_arp.head = la->la_next;
    if (la->la_rt != nullptr) {
      la->la_rt->rt_llinfo = nullptr;
      la->la_rt->rt_flags &= ~RTF_LLINFO;
    }
    mbuf_free_chain(la->la_hold);
    OSPrimMemFreePtr(la);
  }
  g_arp = ArpState{};
}

void arp_rtrequest(int req, rtentry* rt, rt_addrinfo*) {
  if (!g_arp.timer_started) {
    g_arp.timer_started = true;
    callout_arm(&g_arp.timer, static_cast<std::int32_t>(tick_rate()), arp_expiry_timer, nullptr);
  }
  if (rt->rt_flags & RTF_GATEWAY) return;
  ifnet* ifp = rt->rt_ifp;
  auto* la = static_cast<llinfo_arp*>(rt->rt_llinfo);
  switch (req) {
    case RTM_ADD: {
      const sockaddr* mask = rt_mask(rt);
      const bool all_ones =
          mask == nullptr ||
          (mask->sa_len >= 8 && reinterpret_cast<const sockaddr_in*>(mask)->sin_addr.s_addr == 0xFFFFFFFF);
      if (!(rt->rt_flags & RTF_HOST) && !all_ones) {
        // A network route: the neighbours on it are cloned from it.
        sockaddr_dl empty{};
        empty.sdl_len = sizeof(sockaddr_dl);
        empty.sdl_family = AF_LINK;
        route_set_gateway(rt, rt_key(rt), reinterpret_cast<sockaddr*>(&empty));
        if (sockaddr_dl* sdl = gateway_dl(rt)) {
          sdl->sdl_type = ifp->if_data.ifi_type;
          sdl->sdl_index = ifp->if_index;
        }
        rt->rt_rmx.rmx_expire = now_seconds();
        rt->rt_flags |= RTF_CLONING;
        break;
      }
      if ((rt->rt_flags & RTF_PROTO2) && ifp != nullptr) {
        if (sockaddr_dl* sdl = gateway_dl(rt)) arp_send_request(ifp, key_address(rt), key_address(rt), LLADDR(sdl));
      }
      [[fallthrough]];
    }
    case RTM_RESOLVE: {
      sockaddr_dl* sdl = gateway_dl(rt);
      if (sdl == nullptr || sdl->sdl_len < sizeof(sockaddr_dl)) {
        OSPrimMemoryLogging("arp_rtrequest: bad gateway value\n");
        break;
      }
      sdl->sdl_type = ifp->if_data.ifi_type;
      sdl->sdl_index = ifp->if_index;
      if (la != nullptr) break;
      la = static_cast<llinfo_arp*>(OSPrimMemAllocPtr(sizeof(llinfo_arp)));
      if (la == nullptr) {
        OSPrimMemoryLogging("arp_rtrequest: malloc failed\n");
        break;
      }
      std::memset(la, 0, sizeof(*la));
      ++g_arpstat.entries_in_use;
      ++g_arpstat.entries_allocated;
      la->la_rt = rt;
      rt->rt_llinfo = la;
      rt->rt_flags |= RTF_LLINFO;
      AcquireListLock();
      la->la_next = g_arp.head;
      la->la_prevp = &g_arp.head;
      if (g_arp.head != nullptr) g_arp.head->la_prevp = &la->la_next;
      g_arp.head = la;
      ReleaseListLock();
      const std::uint32_t key = key_address(rt);
      if (IN_MULTICAST(ntohl(key)) && ifp->if_data.ifi_type != IFT_ARCNET) {
        ether_map_group(key, LLADDR(sdl));
        sdl->sdl_alen = ETHER_ADDR_LEN;
        rt->rt_rmx.rmx_expire = 0;
      }
      if (in_is_broadcast(key, ifp)) {
        std::memcpy(LLADDR(sdl), etherbroadcastaddr, ETHER_ADDR_LEN);
        sdl->sdl_alen = ETHER_ADDR_LEN;
        rt->rt_rmx.rmx_expire = 0;
      }
      if (rt->rt_ifa != nullptr && rt->rt_ifa->ifa_addr != nullptr && rt->rt_ifa->ifa_addr->sa_family == AF_INET &&
          reinterpret_cast<const sockaddr_in*>(rt->rt_ifa->ifa_addr)->sin_addr.s_addr == key) {
        // This host's own address: its packets go round the loopback interface.
        std::memcpy(LLADDR(sdl), ifp->if_ethaddr, ETHER_ADDR_LEN);
        sdl->sdl_alen = ETHER_ADDR_LEN;
        rt->rt_rmx.rmx_expire = 0;
        if (ifnet* lo = loif()) rt->rt_ifp = lo;
      }
      break;
    }
    case RTM_DELETE: {
      if (la == nullptr) break;
      mirror_delete(adapter_of(rt), key_address(rt));
      AcquireListLock();
      *la->la_prevp = la->la_next;
      if (la->la_next != nullptr) la->la_next->la_prevp = la->la_prevp;
      ReleaseListLock();
      --g_arpstat.entries_in_use;
      rt->rt_llinfo = nullptr;
      rt->rt_flags &= ~RTF_LLINFO;
      mbuf_free_chain(la->la_hold);
      OSPrimMemFreePtr(la);
      break;
    }
    default:
      break;
  }
}

void arp_send_request(ifnet* ifp, std::uint32_t sip, std::uint32_t tip, const std::uint8_t* enaddr) {
  mbuf* m = nullptr;
  if (GetMBufHdr(&m, M_DONTWAIT, MT_DATA) != 0) return;
  M_ALIGN_END(m, sizeof(ether_arp));
  m->m_len = sizeof(ether_arp);
  m->mh.m_pkthdr.len = sizeof(ether_arp);
  auto* ea = mtod<ether_arp>(m);
  std::memset(ea, 0, sizeof(*ea));
  ea->ea_hdr.ar_hrd = htons(ARPHRD_ETHER);
  ea->ea_hdr.ar_pro = htons(ETHERTYPE_IP);
  ea->ea_hdr.ar_hln = ETHER_ADDR_LEN;
  ea->ea_hdr.ar_pln = sizeof(in_addr);
  ea->ea_hdr.ar_op = htons(ARPOP_REQUEST);
  std::memcpy(ea->arp_sha, enaddr, ETHER_ADDR_LEN);
  std::memcpy(ea->arp_spa, &sip, 4);
  std::memcpy(ea->arp_tpa, &tip, 4);
  m->m_flags |= M_BCAST;
  sockaddr sa{};
  sa.sa_len = sizeof(sa);
  sa.sa_family = AF_UNSPEC;
  auto* eh = reinterpret_cast<ether_header*>(sa.sa_data);
  std::memcpy(eh->ether_dhost, etherbroadcastaddr, ETHER_ADDR_LEN);
  eh->ether_type = htons(ETHERTYPE_ARP);
  ++g_arpstat.requests_sent;
  ifp->if_output(ifp, m, &sa, nullptr);
}

int arpresolve(ifnet* ifp, rtentry* rt, mbuf* m, sockaddr* dst, std::uint8_t* desten) {
  if ((m->m_flags & M_BCAST) && ifp->if_data.ifi_type != IFT_ARCNET) {
    std::memcpy(desten, etherbroadcastaddr, ETHER_ADDR_LEN);
    return 1;
  }
  const std::uint32_t address = reinterpret_cast<const sockaddr_in*>(dst)->sin_addr.s_addr;
  if ((m->m_flags & M_MCAST) && ifp->if_data.ifi_type != IFT_ARCNET) {
    ether_map_group(address, desten);
    return 1;
  }
  llinfo_arp* la = rt != nullptr ? static_cast<llinfo_arp*>(rt->rt_llinfo) : nullptr;
  if (la == nullptr) {
    la = arplookup(address, true, false);
    rt = la != nullptr ? la->la_rt : nullptr;
  }
  if (la == nullptr || rt == nullptr) {
    OSPrimDebugPrint("arpresolve: can't allocate llinfo for %s%s%s\n", inet_ntoa(address), "", "");
    mbuf_free_chain(m);
    return 0;
  }
  sockaddr_dl* sdl = gateway_dl(rt);
  const std::uint32_t now = now_seconds();
  if ((rt->rt_rmx.rmx_expire == 0 || rt->rt_rmx.rmx_expire > now) && sdl != nullptr && sdl->sdl_alen != 0) {
    // Resolved. Near its end the entry is refreshed, less often each time.
    const std::int64_t window = 100 - 20 * static_cast<std::int64_t>(la->la_refreshed);
    if (rt->rt_rmx.rmx_expire != 0 && static_cast<std::int64_t>(rt->rt_rmx.rmx_expire) - now < window) {
      if (rt->rt_ifa != nullptr && rt->rt_ifa->ifa_addr != nullptr) {
        arp_send_request(ifp, reinterpret_cast<const sockaddr_in*>(rt->rt_ifa->ifa_addr)->sin_addr.s_addr, address,
                         ifp->if_ethaddr);
      }
      ++la->la_refreshed;
    }
    std::memcpy(desten, LLADDR(sdl), ETHER_ADDR_LEN);
    return 1;
  }
  if (ifp->if_flags & IFF_NOARP) {
    mbuf_free_chain(m);
    return 0;
  }
  // Unresolved: the packet waits (the latest only), and a request goes out
  // at most once a second, five times, before the host counts as down.
  mbuf_free_chain(la->la_hold);
  la->la_hold = m;
  if (rt->rt_rmx.rmx_expire == 0) return 0;
  rt->rt_flags &= ~RTF_REJECT;
  if (la->la_asked == 0 || rt->rt_rmx.rmx_expire != now) {
    rt->rt_rmx.rmx_expire = now;
    if (la->la_asked++ < ARP_MAXTRIES) {
      if (rt->rt_ifa != nullptr && rt->rt_ifa->ifa_addr != nullptr) {
        arp_send_request(ifp, reinterpret_cast<const sockaddr_in*>(rt->rt_ifa->ifa_addr)->sin_addr.s_addr, address,
                         ifp->if_ethaddr);
      }
    } else {
      rt->rt_flags |= RTF_REJECT;
      rt->rt_rmx.rmx_expire += ARPT_DOWN;
      la->la_asked = 0;
      la->la_refreshed = 0;
    }
  }
  return 0;
}

void arpintr() {
  while (mbuf* m = if_dequeue(&arpintrq)) {
    if (!(m->m_flags & M_PKTHDR)) panic("arpintr");
    ifnet* ifp = m->mh.m_pkthdr.rcvif;
    if (ifp == nullptr || ifp->if_signature != IFNET_SIGNATURE) {
      mbuf_free_chain(m);
      return;  // the rest waits for the next round
    }
    ++g_arpstat.received;
    if (m->m_len < static_cast<int>(sizeof(arphdr))) {
      m = m_pullup(m, sizeof(arphdr));
      if (m == nullptr) {
        ++g_arpstat.runts;
        OSPrimDebugPrint("arp: runt packet -- m_pullup failed\n");
        continue;
      }
    }
    const auto* ar = mtod<arphdr>(m);
    const std::uint16_t hrd = ntohs(ar->ar_hrd);
    if (hrd != ARPHRD_ETHER && hrd != ARPHRD_IEEE802 && hrd != ARPHRD_ARCNET) {
      ++g_arpstat.bad_hardware;
      OSPrimDebugPrint("arp: unknown hardware address format (0x%x)\n", hrd);
      mbuf_free_chain(m);
      continue;
    }
    if (m->mh.m_pkthdr.len < static_cast<int>(sizeof(arphdr)) + 2 * ar->ar_hln + 2 * ar->ar_pln) {
      ++g_arpstat.runts;
      OSPrimDebugPrint("arp: runt packet\n");
      mbuf_free_chain(m);
      continue;
    }
    if (ntohs(ar->ar_pro) == ETHERTYPE_IP) {
      in_arp(m);
    } else {
      ++g_arpstat.bad_protocol;
      mbuf_free_chain(m);
    }
  }
}

void in_arp(mbuf* m) {
  ifnet* ifp = m->mh.m_pkthdr.rcvif;
  const auto* ar0 = mtod<arphdr>(m);
  // This stack speaks ARP for IPv4 over its Ethernet interfaces only: the
  // addresses must have their lengths.
  if (!iface_is_ether(ifp) || ar0->ar_hln != ETHER_ADDR_LEN || ar0->ar_pln != sizeof(in_addr)) {
    ++g_arpstat.bad_protocol;
    mbuf_free_chain(m);
    return;
  }
  if (m->m_len < static_cast<int>(sizeof(ether_arp))) {
    m = m_pullup(m, sizeof(ether_arp));
    if (m == nullptr) {
      ++g_arpstat.runts;
      OSPrimDebugPrint("in_arp: runt packet -- m_pullup failed\n");
      return;
    }
  }
  arpcom* ac = ifp_to_arpcom(ifp);
  auto* ea = mtod<ether_arp>(m);
  const std::uint16_t op = ntohs(ea->ea_hdr.ar_op);
  std::uint32_t isaddr = 0;
  std::uint32_t itaddr = 0;
  std::memcpy(&isaddr, ea->arp_spa, 4);
  std::memcpy(&itaddr, ea->arp_tpa, 4);
  ipv4_ifaddr* ia = address_on(ifp, itaddr);
  if (ia == nullptr) ia = address_on(ifp, isaddr);
  if (ia == nullptr) ia = first_inet_of(ifp);
  if (ia == nullptr) {
    ++g_arpstat.not_for_us;
    mbuf_free_chain(m);
    return;
  }
  const std::uint32_t myaddr = IA_SIN_ADDR(ia);
  if (std::memcmp(ea->arp_sha, ifp->if_ethaddr, ETHER_ADDR_LEN) == 0) {
    ++g_arpstat.own_sender;
    mbuf_free_chain(m);
    return;
  }
  if (std::memcmp(ea->arp_sha, etherbroadcastaddr, ETHER_ADDR_LEN) == 0) {
    ++g_arpstat.broadcast_sender;
    OSPrimDebugPrint("arp: link address is broadcast for IP address %s!\n", inet_ntoa(isaddr));
    mbuf_free_chain(m);
    return;
  }
  if (isaddr == myaddr) {
    if (isaddr != INADDR_ANY) {
      ++g_arpstat.duplicates;
      const std::uint8_t* hw = ea->arp_sha;
      ZEK_LOG_FAILURE("Duplicate IP Address [%s] HW[%02X:%02X:%02X:%02X:%02X:%02X ]\n", inet_ntoa(isaddr), hw[0], hw[1],
                      hw[2], hw[3], hw[4], hw[5]);
      set_conflict(ac);
    }
    itaddr = myaddr;
  } else if (isaddr != INADDR_ANY) {
    // An address probe (sender 0.0.0.0) teaches nothing; any other sender
    // is learned, and created when it asks for us.
    llinfo_arp* la = arplookup(isaddr, itaddr == myaddr, false);
    rtentry* rt = la != nullptr ? la->la_rt : nullptr;
    sockaddr_dl* sdl = rt != nullptr ? gateway_dl(rt) : nullptr;
    if (sdl != nullptr && rt->rt_ifa != nullptr && rt->rt_ifa->ifa_ifp == ifp) {
      const bool changed = sdl->sdl_alen != 0 && std::memcmp(ea->arp_sha, LLADDR(sdl), sdl->sdl_alen) != 0;
      if (changed && rt->rt_rmx.rmx_expire == 0) goto reply;  // a permanent entry stays
      if (changed) forget_mirror(la);                         // the adapter takes the new address below
      std::memcpy(LLADDR(sdl), ea->arp_sha, ETHER_ADDR_LEN);
      sdl->sdl_alen = ETHER_ADDR_LEN;
      if (!la->la_mirrored) {
        if (mirror_add(ac, ea->arp_sha, isaddr)) {
          la->la_mirrored = 1;
        } else {
          ++g_arpstat.mirror_refused;  // offered again with the next packet from it
        }
      }
      if (rt->rt_rmx.rmx_expire != 0) rt->rt_rmx.rmx_expire = now_seconds() + ARPT_KILL;
      rt->rt_flags &= ~RTF_REJECT;
      la->la_asked = 0;
      la->la_refreshed = 0;
      if (mbuf* held = la->la_hold) {
        la->la_hold = nullptr;
        ifp->if_output(ifp, held, rt_key(rt), rt);
      }
    }
  }
reply:
  if (op != ARPOP_REQUEST) {
    mbuf_free_chain(m);
    return;
  }
  if (itaddr == myaddr) {
    std::memcpy(ea->arp_tha, ea->arp_sha, ETHER_ADDR_LEN);
    std::memcpy(ea->arp_sha, ifp->if_ethaddr, ETHER_ADDR_LEN);
  } else {
    llinfo_arp* la = arplookup(itaddr, false, true);
    sockaddr_dl* sdl = la != nullptr ? gateway_dl(la->la_rt) : nullptr;
    if (sdl == nullptr || sdl->sdl_alen == 0) {
      ++g_arpstat.not_for_us;
      mbuf_free_chain(m);
      return;
    }
    std::memcpy(ea->arp_tha, ea->arp_sha, ETHER_ADDR_LEN);
    std::memcpy(ea->arp_sha, LLADDR(sdl), ETHER_ADDR_LEN);
  }
  std::memcpy(ea->arp_tpa, ea->arp_spa, 4);
  std::memcpy(ea->arp_spa, &itaddr, 4);
  ea->ea_hdr.ar_op = htons(ARPOP_REPLY);
  ea->ea_hdr.ar_pro = htons(ETHERTYPE_IP);
  // Only the ARP message goes back: anything after it in the frame stays.
  mbuf_trim(m, static_cast<int>(sizeof(ether_arp)) - m->mh.m_pkthdr.len);
  m->m_flags &= ~(M_BCAST | M_MCAST);
  sockaddr sa{};
  sa.sa_len = sizeof(sa);
  sa.sa_family = AF_UNSPEC;
  auto* eh = reinterpret_cast<ether_header*>(sa.sa_data);
  std::memcpy(eh->ether_dhost, ea->arp_tha, ETHER_ADDR_LEN);
  eh->ether_type = htons(ETHERTYPE_ARP);
  ++g_arpstat.replies_sent;
  ifp->if_output(ifp, m, &sa, nullptr);
}

llinfo_arp* arplookup(std::uint32_t address, bool create, bool proxy) {
  sockaddr_in sin = make_sockaddr_in(0);
  sin.sin_addr.s_addr = address;
  rtentry* rt = rtalloc1(reinterpret_cast<sockaddr*>(&sin), create ? 1 : 0, 0);
  if (rt == nullptr) return nullptr;
  --rt->rt_refcnt;  // the neighbour's route lives in the tree, not with the caller
  const char* why = nullptr;
  if (rt->rt_flags & RTF_GATEWAY) {
    why = "host is not on local network";
  } else if (!(rt->rt_flags & RTF_LLINFO)) {
    why = "could not allocate llinfo";
  } else if (rt->rt_gateway == nullptr || rt->rt_gateway->sa_family != AF_LINK) {
    why = "gateway route is not ours";
  }
  if (why != nullptr) {
    if (create) {
      char text[16];
      std::memcpy(text, inet_ntoa(address), sizeof(text));
      OSPrimDebugPrint("arplookup %s failed: %s\n", text, why);
    }
    return nullptr;
  }
  // A published entry answers for its address; nothing publishes one here.
  if (proxy && !(rt->rt_flags & RTF_PROTO2)) return nullptr;
  return static_cast<llinfo_arp*>(rt->rt_llinfo);
}

void arp_ifinit(ifnet* ifp, ifaddr* ifa) {
  const std::uint32_t address = reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr)->sin_addr.s_addr;
  if (address != INADDR_ANY) {
    if (ifp->if_addr == nullptr) {
      OSPrimDebugPrint("func[%s,%d] index[%d]\n", "arp_ifinit", __LINE__, ifp->if_index);
    } else {
      arp_send_request(ifp, address, address, ifp->if_ethaddr);  // announce ourselves
    }
  }
  ifa->ifa_rtrequest = arp_rtrequest;
  ifa->ifa_flags |= RTF_CLONING_IFA;
}

void arp_expiry_timer(void*) {
  const std::uint32_t now = now_seconds();
  for (llinfo_arp* la = g_arp.head; la != nullptr;) {
    llinfo_arp* next = la->la_next;  // the entry may go
    rtentry* rt = la->la_rt;
    if (rt == nullptr) panic("arptfree");
    if (rt->rt_rmx.rmx_expire != 0 && rt->rt_rmx.rmx_expire <= now) arptfree(la);
    la = next;
  }
  callout_arm(&g_arp.timer, static_cast<std::int32_t>(ARPT_PRUNE * tick_rate()), arp_expiry_timer, nullptr);
}

int GetIpIndex(arpcom* record, std::uint32_t ipaddr, std::uint32_t* out) {
  if (record == nullptr || record->ac_ip_index == nullptr || ipaddr == 0) {
    OSPrimMemoryLogging("Func[%s] line[%d] ipaddr[x%08X] \n", "GetIpIndex", __LINE__, ipaddr);
    return 1;
  }
  return static_cast<int>(record->ac_ip_index(record->ac_context, ipaddr, out));
}

}  // namespace zektcp
