// Internet protocol control blocks: allocation, binding with the ephemeral
// port ranges and the reuse rules, connecting, the 4-tuple and port
// hashes, the look-ups, notifications and release.
#include "proxy/tcpip/netinet/in_pcb.h"

#include <cstring>

#include "proxy/tcpip/netinet/in.h"

namespace zektcp {

namespace {

const sockaddr_in* as_sin(const sockaddr* sa) { return reinterpret_cast<const sockaddr_in*>(sa); }

inpcb** tuple_chain(inpcb_table* t, std::uint32_t faddr, std::uint16_t fport, std::uint16_t lport) {
  const std::uint32_t h = (faddr ^ (faddr >> 16) ^ ntohs(static_cast<std::uint16_t>(fport ^ lport))) & t->hashmask;
  return &t->hashbase[h];
}

inpcbport** port_chain(inpcb_table* t, std::uint16_t lport) { return &t->porthashbase[ntohs(lport) & t->porthashmask]; }

void hash_unlink(inpcb* inp) {
  if (inp->inp_hash_prevp == nullptr) return;
  *inp->inp_hash_prevp = inp->inp_hash_next;
  if (inp->inp_hash_next != nullptr) inp->inp_hash_next->inp_hash_prevp = inp->inp_hash_prevp;
  inp->inp_hash_next = nullptr;
  inp->inp_hash_prevp = nullptr;
}

void hash_link(inpcb** head, inpcb* inp) {
  inp->inp_hash_next = *head;
  inp->inp_hash_prevp = head;
  if (*head != nullptr) (*head)->inp_hash_prevp = &inp->inp_hash_next;
  *head = inp;
}

// Takes the block out of both hashes and frees an emptied port record;
// the network lock is held.
void unhash(inpcb* inp) {
  hash_unlink(inp);
  if (inpcbport* phd = inp->inp_phd) {
    if (inp->inp_port_prevp != nullptr) {
      *inp->inp_port_prevp = inp->inp_port_next;
      if (inp->inp_port_next != nullptr) inp->inp_port_next->inp_port_prevp = inp->inp_port_prevp;
    }
    inp->inp_port_next = nullptr;
    inp->inp_port_prevp = nullptr;
    inp->inp_phd = nullptr;
    if (phd->phd_pcblist == nullptr) {
      *phd->phd_prevp = phd->phd_next;
      if (phd->phd_next != nullptr) phd->phd_next->phd_prevp = phd->phd_prevp;
      OSPrimMemFreePtr(phd);
    }
  }
}

// An anonymous port of the block's range that nobody holds; 0 when every
// port of the range is taken.
std::uint16_t anonymous_port(inpcb* inp, bool wild) {
  inpcb_table* t = inp->inp_table;
  std::uint16_t first;
  std::uint16_t last;
  std::uint16_t* lastport;
  if (inp->inp_flags & PCBF_HIGH_PORTS) {
    first = IPPORT_HIFIRSTAUTO;
    last = IPPORT_HILASTAUTO;
    lastport = &t->last_high_port;
  } else if (inp->inp_flags & PCBF_LOW_PORTS) {
    first = IPPORT_RESERVED_HIGH;  // counts down
    last = IPPORT_RESERVED_LOW;
    lastport = &t->last_low_port;
  } else {
    first = IPPORT_USERRESERVED_FIRST;
    last = IPPORT_USERRESERVED_LAST;
    lastport = &t->last_default_port;
  }
  const bool down = first > last;
  const std::uint32_t width = down ? first - last : last - first;
  for (std::uint32_t tries = 0; tries <= width; ++tries) {
    if (down) {
      --*lastport;
      if (*lastport > first || *lastport < last) *lastport = first;
    } else {
      ++*lastport;
      if (*lastport < first || *lastport > last) *lastport = first;
    }
    const std::uint16_t candidate = htons(*lastport);
    if (inpcb_lookup_local(t, inp_laddr(inp).s_addr, candidate, wild) == nullptr) return candidate;
  }
  return 0;
}

}  // namespace

int inpcb_table_init(inpcb_table* table, inpcb** listhead, int hash_elements) {
  *table = inpcb_table{};
  table->listhead = listhead;
  *listhead = nullptr;
  table->hashbase = static_cast<inpcb**>(alloc_hash_table(hash_elements, &table->hashmask));
  table->porthashbase = static_cast<inpcbport**>(alloc_hash_table(hash_elements, &table->porthashmask));
  if (table->hashbase == nullptr || table->porthashbase == nullptr) {
    free_hash_table(table->hashbase);
    free_hash_table(table->porthashbase);
    *table = inpcb_table{};
    return BSD_ENOBUFS;
  }
  std::memset(table->hashbase, 0, (table->hashmask + 1) * sizeof(inpcb*));
  std::memset(table->porthashbase, 0, (table->porthashmask + 1) * sizeof(inpcbport*));
  return 0;
}

void inpcb_table_stop(inpcb_table* table) {
  if (table->listhead != nullptr) {
    while (inpcb* inp = *table->listhead) {
      if (inp->inp_socket != nullptr) inp->inp_socket->so_pcb = nullptr;
      inp->inp_socket = nullptr;
      inpcb_free(inp);
    }
  }
  free_hash_table(table->hashbase);
  free_hash_table(table->porthashbase);
  *table = inpcb_table{};
}

int inpcb_alloc(socket* so, inpcb_table* table) {
  auto* inp = static_cast<inpcb*>(OSPrimMemAllocPtr(INPCB_BLOCK_BYTES));
  if (inp == nullptr) return BSD_ENOBUFS;
  std::memset(inp, 0, INPCB_BLOCK_BYTES);
  inp->inp_gencnt = ++table->gencnt;
  inp->inp_table = table;
  inp->inp_socket = so;
  NetLockScope lock;
  inp->inp_list_next = *table->listhead;
  inp->inp_list_prevp = table->listhead;
  if (*table->listhead != nullptr) (*table->listhead)->inp_list_prevp = &inp->inp_list_next;
  *table->listhead = inp;
  ++table->count;
  so->so_pcb = inp;
  return 0;
}

int inpcb_bind(inpcb* inp, sockaddr* nam, ucred* cred) {
  socket* so = inp->inp_socket;
  inpcb_table* t = inp->inp_table;
  if (in_ifaddr_list() == nullptr) return BSD_EADDRNOTAVAIL;
  if (inp->inp_lport != 0 || inp_laddr(inp).s_addr != INADDR_ANY) return BSD_EINVAL;
  const bool wild = !(so->so_options & (SO_REUSEADDR | SO_REUSEPORT));
  int reuse = so->so_options & (SO_REUSEADDR | SO_REUSEPORT);
  std::uint16_t lport = 0;
  if (nam != nullptr) {
    if (nam->sa_len != sizeof(sockaddr_in)) return BSD_EINVAL;
    sockaddr_in sin;
    std::memcpy(&sin, nam, sizeof(sin));
    lport = sin.sin_port;
    const bool multicast = IN_MULTICAST(ntohl(sin.sin_addr.s_addr));
    if (multicast) {
      // Several sockets may share a group's port where one asks to.
      if (so->so_options & SO_REUSEADDR) reuse = SO_REUSEADDR | SO_REUSEPORT;
    } else if (sin.sin_addr.s_addr != INADDR_ANY) {
      sin.sin_port = 0;
      std::memset(sin.sin_zero, 0, sizeof(sin.sin_zero));
      if (ifaddr_find_exact(reinterpret_cast<sockaddr*>(&sin)) == nullptr) return BSD_EADDRNOTAVAIL;
    }
    if (lport != 0) {
      if (cred != nullptr && cred->cr_uid != 0 && !multicast) {
        inpcb* other = inpcb_lookup_local(t, sin.sin_addr.s_addr, lport, true);
        if (other != nullptr && other->inp_socket != nullptr && other->inp_socket->so_cred != nullptr &&
            other->inp_socket->so_cred->cr_uid != cred->cr_uid &&
            !(sin.sin_addr.s_addr == INADDR_ANY && inp_laddr(other).s_addr == INADDR_ANY &&
              (other->inp_socket->so_options & SO_REUSEPORT))) {
          return BSD_EADDRINUSE;
        }
      }
      inpcb* holder = inpcb_lookup_local(t, sin.sin_addr.s_addr, lport, wild);
      if (holder != nullptr && (holder->inp_socket == nullptr || !(reuse & holder->inp_socket->so_options))) {
        return BSD_EADDRINUSE;
      }
    }
    inp_laddr(inp) = sin.sin_addr;
  }
  if (lport == 0) {
    inp->inp_flags |= PCBF_ANON_PORT;
    lport = anonymous_port(inp, wild);
    if (lport == 0) {
      inp_laddr(inp).s_addr = INADDR_ANY;
      return BSD_EADDRNOTAVAIL;
    }
  }
  inp->inp_lport = lport;
  if (inpcb_insert_hash(inp) != 0) {
    inp_laddr(inp).s_addr = INADDR_ANY;
    inp->inp_lport = 0;
    return BSD_ENOBUFS;
  }
  return 0;
}

int inpcb_pick_local_addr(inpcb* inp, sockaddr* nam, std::uint32_t* local) {
  sockaddr_in sin;
  std::memcpy(&sin, nam, sizeof(sin));
  if (sin.sin_family != AF_INET) return BSD_EAFNOSUPPORT;
  if (sin.sin_port == 0) return BSD_EADDRNOTAVAIL;
  ipv4_ifaddr* first = in_ifaddr_list();
  if (first != nullptr) {
    // A destination of 0 means this host; all ones its first interface's broadcast.
    if (sin.sin_addr.s_addr == INADDR_ANY) {
      sin.sin_addr.s_addr = IA_SIN_ADDR(first);
    } else if (sin.sin_addr.s_addr == INADDR_BROADCAST && (first->ia_ifa.ifa_ifp->if_flags & IFF_BROADCAST)) {
      sin.sin_addr = first->ia_dstaddr.sin_addr;
    }
  }
  std::memcpy(nam, &sin, sizeof(sin));
  if (inp_laddr(inp).s_addr != INADDR_ANY) {
    *local = inp_laddr(inp).s_addr;
    return 0;
  }
  socket* so = inp->inp_socket;
  route_cache* ro = &inp->inp_route;
  const auto* cached = as_sin(&ro->ro_dst);
  if (ro->ro_rt != nullptr && (cached->sin_family != AF_INET || cached->sin_addr.s_addr != sin.sin_addr.s_addr ||
                               (so->so_options & SO_DONTROUTE))) {
    rtfree(ro->ro_rt);
    ro->ro_rt = nullptr;
  }
  if (!(so->so_options & SO_DONTROUTE) && (ro->ro_rt == nullptr || ro->ro_rt->rt_ifp == nullptr)) {
    sockaddr_in dst = make_sockaddr_in(0);
    dst.sin_addr = sin.sin_addr;
    std::memcpy(&ro->ro_dst, &dst, sizeof(dst));
    if (ro->ro_rt != nullptr) rtfree(ro->ro_rt);
    ro->ro_rt = rtalloc1(&ro->ro_dst, 1, 0);
  }
  ifaddr* ifa = nullptr;
  if (ro->ro_rt != nullptr && ro->ro_rt->rt_ifp != nullptr && !(ro->ro_rt->rt_ifp->if_flags & IFF_LOOPBACK)) {
    ifa = ro->ro_rt->rt_ifa;
  }
  if (ifa == nullptr || ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET) {
    sockaddr_in probe = make_sockaddr_in(0);
    probe.sin_addr = sin.sin_addr;
    ifa = ifaddr_find_by_dest(reinterpret_cast<sockaddr*>(&probe));
    if (ifa == nullptr) ifa = ifaddr_find_by_net(reinterpret_cast<sockaddr*>(&probe));
    if (ifa == nullptr && first != nullptr) ifa = &first->ia_ifa;
    if (ifa == nullptr) return BSD_EADDRNOTAVAIL;
  }
  // A group sent through the socket's multicast interface: that
  // interface's address.
  if (IN_MULTICAST(ntohl(sin.sin_addr.s_addr)) && inp->inp_moptions != nullptr &&
      inp->inp_moptions->imo_multicast_ifp != nullptr) {
    ifnet* ifp = inp->inp_moptions->imo_multicast_ifp;
    ifa = nullptr;
    for (ipv4_ifaddr* ia = in_ifaddr_list(); ia != nullptr; ia = ia->ia_next) {
      if (ia->ia_ifa.ifa_ifp == ifp) {
        ifa = &ia->ia_ifa;
        break;
      }
    }
    if (ifa == nullptr) return BSD_EADDRNOTAVAIL;
  }
  *local = as_sin(ifa->ifa_addr)->sin_addr.s_addr;
  return 0;
}

int inpcb_connect(inpcb* inp, sockaddr* nam, ucred* cred) {
  if (nam == nullptr || nam->sa_len != sizeof(sockaddr_in)) return BSD_EINVAL;
  std::uint32_t local = 0;
  const int error = inpcb_pick_local_addr(inp, nam, &local);
  if (error != 0) return error;
  const auto* sin = as_sin(nam);
  if (inpcb_lookup(inp->inp_table, sin->sin_addr.s_addr, sin->sin_port, local, inp->inp_lport, false, nullptr) !=
      nullptr) {
    return BSD_EADDRINUSE;
  }
  if (inp_laddr(inp).s_addr == INADDR_ANY) {
    if (inp->inp_lport == 0) {
      const int bind_error = inpcb_bind(inp, nullptr, cred);
      if (bind_error != 0) return bind_error;
    }
    inp_laddr(inp).s_addr = local;
  }
  inp_faddr(inp) = sin->sin_addr;
  inp->inp_fport = sin->sin_port;
  inpcb_rehash(inp);
  return 0;
}

void inpcb_disconnect(inpcb* inp) {
  inp_faddr(inp).s_addr = INADDR_ANY;
  inp->inp_fport = 0;
  inpcb_rehash(inp);
}

void inpcb_free(inpcb* inp) {
  inpcb_table* t = inp->inp_table;
  inp->inp_gencnt = ++t->gencnt;
  {
    NetLockScope lock;
    if (inp->inp_lport != 0) unhash(inp);
    if (inp->inp_list_prevp != nullptr) {
      *inp->inp_list_prevp = inp->inp_list_next;
      if (inp->inp_list_next != nullptr) inp->inp_list_next->inp_list_prevp = inp->inp_list_prevp;
    }
    --t->count;
  }
  if (socket* so = inp->inp_socket) {
    so->so_pcb = nullptr;
    sofree(so);
  }
  if (inp->inp_options != nullptr) mbuf_free_chain(inp->inp_options);
  if (inp->inp_route.ro_rt != nullptr) rtfree(inp->inp_route.ro_rt);
  ip_mcast_free(inp->inp_moptions);
  inp->inp_vflag = 0;
  OSPrimMemFreePtr(inp);
}

namespace {

int make_sockaddr(std::uint32_t address, std::uint16_t port, sockaddr** nam) {
  auto* sin = static_cast<sockaddr_in*>(OSPrimMemAllocPtr(sizeof(sockaddr_in)));
  if (sin == nullptr) return BSD_ENOMEM;
  *sin = make_sockaddr_in(0);
  sin->sin_addr.s_addr = address;
  sin->sin_port = port;
  *nam = reinterpret_cast<sockaddr*>(sin);
  return 0;
}

}  // namespace

int inpcb_local_sockaddr(socket* so, sockaddr** nam) {
  inpcb* inp = sotoinpcb(so);
  if (inp == nullptr) return BSD_ECONNRESET;
  return make_sockaddr(inp_laddr(inp).s_addr, inp->inp_lport, nam);
}

int inpcb_peer_sockaddr(socket* so, sockaddr** nam) {
  inpcb* inp = sotoinpcb(so);
  if (inp == nullptr) return BSD_ECONNRESET;
  return make_sockaddr(inp_faddr(inp).s_addr, inp->inp_fport, nam);
}

void inpcb_notify_all(inpcb_table* table, std::uint32_t faddr, int error, void (*notify)(inpcb*, int)) {
  if (table->listhead == nullptr) return;  // the protocol has stopped
  for (inpcb* inp = *table->listhead; inp != nullptr;) {
    inpcb* next = inp->inp_list_next;  // the notification may free the block
    if (inp_faddr(inp).s_addr == faddr && inp->inp_socket != nullptr) notify(inp, error);
    inp = next;
  }
}

void inpcb_purge_mcast_if(inpcb_table* table, ifnet* ifp) {
  if (table->listhead == nullptr) return;  // the protocol has stopped
  for (inpcb* inp = *table->listhead; inp != nullptr; inp = inp->inp_list_next) {
    ip_moptions* imo = inp->inp_moptions;
    if (!(inp->inp_vflag & INP_IPV4) || imo == nullptr) continue;
    if (imo->imo_multicast_ifp == ifp) imo->imo_multicast_ifp = nullptr;
    int kept = 0;
    for (int i = 0; i < imo->imo_num_memberships; ++i) {
      in_multi* inm = imo->imo_membership[i];
      if (inm->inm_ifp == ifp) {
        in_multi_leave(inm);
      } else {
        imo->imo_membership[kept++] = inm;
      }
    }
    for (int i = kept; i < imo->imo_num_memberships; ++i) imo->imo_membership[i] = nullptr;
    imo->imo_num_memberships = static_cast<std::uint16_t>(kept);
  }
}

void inpcb_route_losing(inpcb* inp) {
  rtentry* rt = inp->inp_route.ro_rt;
  if (rt == nullptr) return;
  inp->inp_route.ro_rt = nullptr;
  rt_addrinfo info{};
  info.rti_info[RTAX_DST] = &inp->inp_route.ro_dst;
  info.rti_info[RTAX_GATEWAY] = rt->rt_gateway;
  info.rti_info[RTAX_NETMASK] = rt_mask(rt);
  rt_missmsg(RTM_LOSING, &info, static_cast<int>(rt->rt_flags), 0);
  if (rt->rt_flags & RTF_DYNAMIC) {
    rtrequest_by_addrs(RTM_DELETE, rt_key(rt), rt->rt_gateway, rt_mask(rt), static_cast<int>(rt->rt_flags), nullptr);
  }
  rtfree(rt);
}

void inpcb_route_changed(inpcb* inp, int) {
  if (inp->inp_route.ro_rt != nullptr) {
    rtfree(inp->inp_route.ro_rt);
    inp->inp_route.ro_rt = nullptr;
  }
}

inpcb* inpcb_lookup_local(inpcb_table* t, std::uint32_t laddr, std::uint16_t lport, bool wildcard_ok) {
  if (!wildcard_ok) {
    for (inpcb* inp = *tuple_chain(t, INADDR_ANY, 0, lport); inp != nullptr; inp = inp->inp_hash_next) {
      if (inp_faddr(inp).s_addr == INADDR_ANY && inp_laddr(inp).s_addr == laddr && inp->inp_lport == lport) {
        return inp;
      }
    }
    return nullptr;
  }
  inpcbport* phd = *port_chain(t, lport);
  while (phd != nullptr && phd->phd_port != lport) phd = phd->phd_next;
  if (phd == nullptr) return nullptr;
  inpcb* best = nullptr;
  int best_wildcards = 3;
  for (inpcb* inp = phd->phd_pcblist; inp != nullptr; inp = inp->inp_port_next) {
    int wildcards = 0;
    if (inp_faddr(inp).s_addr != INADDR_ANY) ++wildcards;
    const std::uint32_t own = inp_laddr(inp).s_addr;
    if (own != INADDR_ANY) {
      if (laddr == INADDR_ANY) {
        ++wildcards;
      } else if (own != laddr) {
        continue;
      }
    } else if (laddr != INADDR_ANY) {
      ++wildcards;
    }
    if (wildcards < best_wildcards) {
      best = inp;
      best_wildcards = wildcards;
      if (wildcards == 0) break;
    }
  }
  return best;
}

inpcb* inpcb_lookup(inpcb_table* t, std::uint32_t faddr, std::uint16_t fport, std::uint32_t laddr, std::uint16_t lport,
                    bool wildcard_ok, ifnet* ifp) {
  for (inpcb* inp = *tuple_chain(t, faddr, fport, lport); inp != nullptr; inp = inp->inp_hash_next) {
    if (inp_faddr(inp).s_addr == faddr && inp_laddr(inp).s_addr == laddr && inp->inp_fport == fport &&
        inp->inp_lport == lport) {
      return inp;
    }
  }
  if (!wildcard_ok) return nullptr;
  inpcb* wild = nullptr;
  for (inpcb* inp = *tuple_chain(t, INADDR_ANY, 0, lport); inp != nullptr; inp = inp->inp_hash_next) {
    if (inp_faddr(inp).s_addr != INADDR_ANY || inp->inp_lport != lport) continue;
    if (ifp != nullptr && ifp->if_data.ifi_type == 242 && !(inp->inp_flags & PCBF_TRANSLATOR)) continue;
    if (inp_laddr(inp).s_addr == laddr) return inp;
    if (inp_laddr(inp).s_addr == INADDR_ANY) wild = inp;
  }
  return wild;
}

int inpcb_insert_hash(inpcb* inp) {
  inpcb_table* t = inp->inp_table;
  NetLockScope lock;
  inpcbport** chain = port_chain(t, inp->inp_lport);
  inpcbport* phd = *chain;
  while (phd != nullptr && phd->phd_port != inp->inp_lport) phd = phd->phd_next;
  if (phd == nullptr) {
    phd = static_cast<inpcbport*>(OSPrimMemAllocPtr(sizeof(inpcbport)));
    if (phd == nullptr) return BSD_ENOBUFS;
    phd->phd_port = inp->inp_lport;
    phd->phd_pcblist = nullptr;
    phd->phd_next = *chain;
    phd->phd_prevp = chain;
    if (*chain != nullptr) (*chain)->phd_prevp = &phd->phd_next;
    *chain = phd;
  }
  inp->inp_phd = phd;
  inp->inp_port_next = phd->phd_pcblist;
  inp->inp_port_prevp = &phd->phd_pcblist;
  if (phd->phd_pcblist != nullptr) phd->phd_pcblist->inp_port_prevp = &inp->inp_port_next;
  phd->phd_pcblist = inp;
  hash_link(tuple_chain(t, inp_faddr(inp).s_addr, inp->inp_fport, inp->inp_lport), inp);
  return 0;
}

void inpcb_rehash(inpcb* inp) {
  inpcb_table* t = inp->inp_table;
  NetLockScope lock;
  hash_unlink(inp);
  hash_link(tuple_chain(t, inp_faddr(inp).s_addr, inp->inp_fport, inp->inp_lport), inp);
}

void inpcb_socket_notify(inpcb* inp, int error) {
  socket* so = inp->inp_socket;
  if (so == nullptr) return;
  so->so_error = static_cast<std::uint16_t>(error);
  OSPrimWakeup(&so->so_sleep);
  wake_socket_readers(so);
  wake_socket_writers(so);
}

}  // namespace zektcp
