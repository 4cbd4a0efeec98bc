// IP-level socket options: a socket's IP options, type of service, TTL,
// the receive flags, the port range, and the multicast options with their
// group memberships.
#include <cstring>

#include "proxy/tcpip/netinet/in.h"
#include "proxy/tcpip/netinet/in_pcb.h"

namespace zektcp {

namespace {

constexpr int kMaxOptionBytes = MLEN;  // what one mbuf holds
constexpr int kMaxInstalled = 44;      // first hop and 40 bytes of options

int get_int(const sockopt* opt, int* out) {
  if (opt->sopt_val == nullptr || opt->sopt_valsize < sizeof(std::int32_t)) return BSD_EINVAL;
  std::int32_t v = 0;
  std::memcpy(&v, opt->sopt_val, sizeof(v));
  *out = v;
  return 0;
}

int put_bytes(sockopt* opt, const void* data, std::size_t len) {
  if (opt->sopt_val == nullptr && len > 0) return BSD_EINVAL;
  const std::size_t n = len < opt->sopt_valsize ? len : opt->sopt_valsize;
  if (n > 0) std::memcpy(opt->sopt_val, data, n);
  opt->sopt_valsize = n;
  return 0;
}

int put_int(sockopt* opt, std::int32_t v) {
  if (opt->sopt_valsize < sizeof(v)) return BSD_EINVAL;
  return put_bytes(opt, &v, sizeof(v));
}

// A one-byte value or a 4-byte integer of at most `max`.
int get_small(const sockopt* opt, int max, int* out) {
  if (opt->sopt_val == nullptr) return BSD_EINVAL;
  if (opt->sopt_valsize == 1) {
    *out = *static_cast<const std::uint8_t*>(opt->sopt_val);
    return 0;
  }
  const int error = get_int(opt, out);
  if (error != 0) return error;
  return *out < 0 || *out > max ? BSD_EINVAL : 0;
}

ip_moptions* new_moptions() {
  auto* imo = static_cast<ip_moptions*>(OSPrimMemAllocPtr(sizeof(ip_moptions)));
  if (imo == nullptr) return nullptr;
  std::memset(imo, 0, sizeof(*imo));
  imo->imo_multicast_ttl = IP_DEFAULT_MULTICAST_TTL;
  imo->imo_multicast_loop = IP_DEFAULT_MULTICAST_LOOP;
  imo->imo_multicast_vif = -1;
  return imo;
}

ipv4_ifaddr* first_inet_of(ifnet* ifp) {
  for (ifaddr* ifa = ifp->if_addrhead; ifa != nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr != nullptr && ifa->ifa_addr->sa_family == AF_INET) return reinterpret_cast<ipv4_ifaddr*>(ifa);
  }
  return nullptr;
}

// The interface a membership request names: by address, or (0.0.0.0) the
// interface of the route to the group.
ifnet* membership_ifp(const ip_mreq& mreq) {
  if (mreq.imr_interface.s_addr != INADDR_ANY) return ip_mcast_find_if(mreq.imr_interface.s_addr, nullptr);
  sockaddr_in group = make_sockaddr_in(0);
  group.sin_addr = mreq.imr_multiaddr;
  rtentry* rt = rtalloc1(reinterpret_cast<sockaddr*>(&group), 1, 0);
  if (rt == nullptr) return nullptr;
  ifnet* ifp = rt->rt_ifp;
  rtfree(rt);
  return ifp;
}

int find_membership(const ip_moptions* imo, std::uint32_t group, const ifnet* ifp) {
  for (int i = 0; i < imo->imo_num_memberships; ++i) {
    const in_multi* inm = imo->imo_membership[i];
    if (inm->inm_addr == group && (ifp == nullptr || inm->inm_ifp == ifp)) return i;
  }
  return -1;
}

bool all_defaults(const ip_moptions* imo) {
  return imo->imo_multicast_ifp == nullptr && imo->imo_multicast_vif == -1 &&
         imo->imo_multicast_ttl == IP_DEFAULT_MULTICAST_TTL && imo->imo_multicast_loop == IP_DEFAULT_MULTICAST_LOOP &&
         imo->imo_num_memberships == 0;
}

}  // namespace

ifnet* ip_mcast_find_if(std::uint32_t address, int* ifindex) {
  if (ifindex != nullptr) *ifindex = 0;
  const std::uint32_t host = ntohl(address);
  if ((host >> 24) == 0) {
    const int index = static_cast<int>(host);
    if (index < 1 || index > IF_MAX_INDEX) return nullptr;
    if (ifindex != nullptr) *ifindex = index;
    return ifindex2ifnet(index);
  }
  for (ipv4_ifaddr* ia = in_ifaddr_hash_chain(address); ia != nullptr; ia = ia->ia_hash_next) {
    if (IA_SIN_ADDR(ia) == address) return ia->ia_ifa.ifa_ifp;
  }
  return nullptr;
}

int ip_install_options(int, mbuf** pcb_opts, mbuf* m) {
  if (*pcb_opts != nullptr) mbuf_free_chain(*pcb_opts);
  *pcb_opts = nullptr;
  if (m == nullptr || m->m_len == 0) {
    mbuf_free_chain(m);
    return 0;
  }
  if (m->m_len + static_cast<int>(sizeof(in_addr)) > MLEN) {
    mbuf_free_chain(m);
    return BSD_EINVAL;
  }
  // Room for the first hop in front of the options.
  std::memmove(m->m_data + sizeof(in_addr), m->m_data, static_cast<std::size_t>(m->m_len));
  std::memset(m->m_data, 0, sizeof(in_addr));
  m->m_len += static_cast<int>(sizeof(in_addr));
  std::uint8_t* cp = m->m_data + sizeof(in_addr);
  int cnt = m->m_len - static_cast<int>(sizeof(in_addr));
  for (int optlen = 0; cnt > 0; cnt -= optlen, cp += optlen) {
    const int opt = cp[IPOPT_OPTVAL];
    if (opt == IPOPT_EOL) break;
    if (opt == IPOPT_NOP) {
      optlen = 1;
      continue;
    }
    if (cnt < 2) goto bad;
    optlen = cp[IPOPT_OLEN];
    if (optlen < 2 || optlen > cnt) goto bad;
    if (opt == IPOPT_LSRR || opt == IPOPT_SSRR) {
      // The first address of the route is where the packet goes first.
      if (optlen < IPOPT_OFFSET + 1 + static_cast<int>(sizeof(in_addr))) goto bad;
      std::memcpy(m->m_data, cp + IPOPT_OFFSET + 1, sizeof(in_addr));
      const int tail = cnt - (IPOPT_OFFSET + 1 + static_cast<int>(sizeof(in_addr)));
      std::memmove(cp + IPOPT_OFFSET + 1, cp + IPOPT_OFFSET + 1 + sizeof(in_addr), static_cast<std::size_t>(tail));
      optlen -= static_cast<int>(sizeof(in_addr));
      cp[IPOPT_OLEN] = static_cast<std::uint8_t>(optlen);
      m->m_len -= static_cast<int>(sizeof(in_addr));
      cnt -= static_cast<int>(sizeof(in_addr));
    }
  }
  if (m->m_len > kMaxInstalled) goto bad;
  *pcb_opts = m;
  return 0;
bad:
  mbuf_free_chain(m);
  return BSD_EINVAL;
}

int ip_mcast_set_option(sockopt* opt, ip_moptions** imop) {
  ip_moptions* imo = *imop;
  if (imo == nullptr) {
    imo = new_moptions();
    if (imo == nullptr) return BSD_ENOBUFS;
    *imop = imo;
  }
  int error = 0;
  switch (opt->sopt_name) {
    case IP_MULTICAST_IF: {
      if (opt->sopt_val == nullptr || opt->sopt_valsize < sizeof(in_addr)) {
        error = BSD_EINVAL;
        break;
      }
      in_addr address;
      std::memcpy(&address, opt->sopt_val, sizeof(address));
      if (address.s_addr == INADDR_ANY) {
        imo->imo_multicast_ifp = nullptr;
        break;
      }
      ifnet* ifp = ip_mcast_find_if(address.s_addr, nullptr);
      if (ifp == nullptr || !(ifp->if_flags & IFF_MULTICAST)) {
        error = BSD_EADDRNOTAVAIL;
        break;
      }
      imo->imo_multicast_ifp = ifp;
      break;
    }
    case IP_MULTICAST_TTL: {
      int ttl = 0;
      error = get_small(opt, 255, &ttl);
      if (error == 0) imo->imo_multicast_ttl = static_cast<std::uint8_t>(ttl);
      break;
    }
    case IP_MULTICAST_LOOP: {
      int loop = 0;
      error = opt->sopt_valsize == 1 ? get_small(opt, 255, &loop) : get_int(opt, &loop);
      if (error == 0) imo->imo_multicast_loop = loop != 0 ? 1 : 0;
      break;
    }
    case IP_ADD_MEMBERSHIP: {
      if (opt->sopt_val == nullptr || opt->sopt_valsize != sizeof(ip_mreq)) {
        error = BSD_EINVAL;
        break;
      }
      ip_mreq mreq;
      std::memcpy(&mreq, opt->sopt_val, sizeof(mreq));
      if (!IN_MULTICAST(ntohl(mreq.imr_multiaddr.s_addr))) {
        error = BSD_EINVAL;
        break;
      }
      ifnet* ifp = membership_ifp(mreq);
      if (ifp == nullptr || !(ifp->if_flags & IFF_MULTICAST)) {
        error = BSD_EADDRNOTAVAIL;
        break;
      }
      if (find_membership(imo, mreq.imr_multiaddr.s_addr, ifp) >= 0) {
        error = BSD_EADDRINUSE;
        break;
      }
      if (imo->imo_num_memberships == IP_MAX_MEMBERSHIPS) {
        error = BSD_ETOOMANYREFS;
        break;
      }
      in_multi* inm = in_multi_join(mreq.imr_multiaddr.s_addr, ifp);
      if (inm == nullptr) {
        error = BSD_ENOBUFS;
        break;
      }
      imo->imo_membership[imo->imo_num_memberships++] = inm;
      break;
    }
    case IP_DROP_MEMBERSHIP: {
      if (opt->sopt_val == nullptr || opt->sopt_valsize != sizeof(ip_mreq)) {
        error = BSD_EINVAL;
        break;
      }
      ip_mreq mreq;
      std::memcpy(&mreq, opt->sopt_val, sizeof(mreq));
      ifnet* ifp = nullptr;
      if (mreq.imr_interface.s_addr != INADDR_ANY) {
        ifp = ip_mcast_find_if(mreq.imr_interface.s_addr, nullptr);
        if (ifp == nullptr) {
          error = BSD_EADDRNOTAVAIL;
          break;
        }
      }
      const int i = find_membership(imo, mreq.imr_multiaddr.s_addr, ifp);
      if (i < 0) {
        error = BSD_EADDRNOTAVAIL;
        break;
      }
      in_multi_leave(imo->imo_membership[i]);
      for (int k = i + 1; k < imo->imo_num_memberships; ++k) imo->imo_membership[k - 1] = imo->imo_membership[k];
      imo->imo_membership[--imo->imo_num_memberships] = nullptr;
      break;
    }
    case IP_MULTICAST_VIF: {
      int vif = 0;
      error = get_int(opt, &vif);
      if (error == 0) imo->imo_multicast_vif = vif;
      break;
    }
    default:
      error = BSD_EOPNOTSUPP;
      break;
  }
  if (all_defaults(imo)) {
    OSPrimMemFreePtr(imo);
    *imop = nullptr;
  }
  return error;
}

int ip_mcast_get_option(sockopt* opt, ip_moptions* imo) {
  switch (opt->sopt_name) {
    case IP_MULTICAST_IF: {
      in_addr address{INADDR_ANY};
      if (imo != nullptr && imo->imo_multicast_ifp != nullptr) {
        if (ipv4_ifaddr* ia = first_inet_of(imo->imo_multicast_ifp)) address = ia->ia_addr.sin_addr;
      }
      return put_bytes(opt, &address, sizeof(address));
    }
    case IP_MULTICAST_TTL: {
      const std::uint8_t ttl = imo != nullptr ? imo->imo_multicast_ttl : IP_DEFAULT_MULTICAST_TTL;
      return put_bytes(opt, &ttl, 1);
    }
    case IP_MULTICAST_LOOP: {
      const std::uint8_t loop = imo != nullptr ? imo->imo_multicast_loop : IP_DEFAULT_MULTICAST_LOOP;
      return put_bytes(opt, &loop, 1);
    }
    case IP_MULTICAST_VIF:
      return put_int(opt, imo != nullptr ? imo->imo_multicast_vif : -1);
    default:
      return BSD_ENOPROTOOPT;
  }
}

void ip_mcast_free(ip_moptions* imo) {
  if (imo == nullptr) return;
  for (int i = 0; i < imo->imo_num_memberships; ++i) in_multi_leave(imo->imo_membership[i]);
  OSPrimMemFreePtr(imo);
}

int ip_sockopt(socket* so, sockopt* opt) {
  if (opt->sopt_level != IPPROTO_LEVEL_IP) return BSD_EINVAL;
  inpcb* inp = sotoinpcb(so);
  if (inp == nullptr) return BSD_EINVAL;
  struct FlagOption {
    int name;
    std::uint32_t flag;
  };
  static constexpr FlagOption kFlags[] = {{IP_RECVOPTS, PCBF_RECVOPTS},
                                          {IP_RECVRETOPTS, PCBF_RECVRETOPTS},
                                          {IP_RECVDSTADDR, PCBF_RECVDSTADDR},
                                          {IP_RECVIF, PCBF_RECVIF},
                                          {IP_FAITH, PCBF_TRANSLATOR}};
  if (opt->sopt_dir == SOPT_SET) {
    switch (opt->sopt_name) {
      case IP_OPTIONS: {
        if (opt->sopt_valsize > static_cast<std::size_t>(kMaxOptionBytes)) return BSD_EMSGSIZE;
        mbuf* m = nullptr;
        if (GetMBuf(&m, M_WAIT, MT_HEADER) != 0) return BSD_ENOBUFS;
        if (opt->sopt_valsize > 0) {
          if (opt->sopt_val == nullptr) {
            mbuf_free_one(m);
            return BSD_EINVAL;
          }
          std::memcpy(m->m_data, opt->sopt_val, opt->sopt_valsize);
        }
        m->m_len = static_cast<std::int32_t>(opt->sopt_valsize);
        return ip_install_options(IP_OPTIONS, &inp->inp_options, m);
      }
      case IP_TOS:
      case IP_TTL: {
        int v = 0;
        if (const int error = get_int(opt, &v); error != 0) return error;
        if (opt->sopt_name == IP_TOS) {
          inp->inp_ip_tos = static_cast<std::uint8_t>(v);
        } else {
          inp->inp_ip_ttl = static_cast<std::uint8_t>(v);
        }
        return 0;
      }
      case IP_PORTRANGE: {
        int v = 0;
        if (const int error = get_int(opt, &v); error != 0) return error;
        switch (v) {
          case IP_PORTRANGE_DEFAULT:
            inp->inp_flags &= ~(PCBF_LOW_PORTS | PCBF_HIGH_PORTS);
            return 0;
          case IP_PORTRANGE_HIGH:
            inp->inp_flags = (inp->inp_flags & ~PCBF_LOW_PORTS) | PCBF_HIGH_PORTS;
            return 0;
          case IP_PORTRANGE_LOW:
            inp->inp_flags = (inp->inp_flags & ~PCBF_HIGH_PORTS) | PCBF_LOW_PORTS;
            return 0;
          default:
            return BSD_EINVAL;
        }
      }
      case IP_MULTICAST_IF:
      case IP_MULTICAST_TTL:
      case IP_MULTICAST_LOOP:
      case IP_ADD_MEMBERSHIP:
      case IP_DROP_MEMBERSHIP:
      case IP_MULTICAST_VIF:
        return ip_mcast_set_option(opt, &inp->inp_moptions);
      default:
        for (const FlagOption& f : kFlags) {
          if (f.name != opt->sopt_name) continue;
          int v = 0;
          if (const int error = get_int(opt, &v); error != 0) return error;
          if (v != 0) {
            inp->inp_flags |= f.flag;
          } else {
            inp->inp_flags &= ~f.flag;
          }
          return 0;
        }
        return BSD_ENOPROTOOPT;
    }
  }
  switch (opt->sopt_name) {
    case IP_OPTIONS:
      if (inp->inp_options == nullptr) return put_bytes(opt, nullptr, 0);
      return put_bytes(opt, inp->inp_options->m_data, static_cast<std::size_t>(inp->inp_options->m_len));
    case IP_TOS:
      return put_int(opt, inp->inp_ip_tos);
    case IP_TTL:
      return put_int(opt, inp->inp_ip_ttl);
    case IP_PORTRANGE:
      return put_int(opt, (inp->inp_flags & PCBF_HIGH_PORTS)  ? IP_PORTRANGE_HIGH
                          : (inp->inp_flags & PCBF_LOW_PORTS) ? IP_PORTRANGE_LOW
                                                              : IP_PORTRANGE_DEFAULT);
    case IP_MULTICAST_IF:
    case IP_MULTICAST_TTL:
    case IP_MULTICAST_LOOP:
    case IP_MULTICAST_VIF:
      return ip_mcast_get_option(opt, inp->inp_moptions);
    default:
      for (const FlagOption& f : kFlags) {
        if (f.name == opt->sopt_name) return put_int(opt, (inp->inp_flags & f.flag) != 0 ? 1 : 0);
      }
      return BSD_ENOPROTOOPT;
  }
}

}  // namespace zektcp
