// Received IP options (RFC 791): record route and timestamp are served,
// source routes refused; option stripping; the control messages of
// received datagrams; protocol 46; the control-error table.
#include <cstring>

#include "proxy/tcpip/netinet/in.h"
#include "proxy/tcpip/netinet/in_pcb.h"

namespace zektcp {

namespace {

route_cache g_forward_rt;  // ip_route_ifaddr's one-entry cache

bool is_local(std::uint32_t address) {
  for (ipv4_ifaddr* ia = in_ifaddr_hash_chain(address); ia != nullptr; ia = ia->ia_hash_next) {
    if (IA_SIN_ADDR(ia) == address) return true;
  }
  return false;
}

ipv4_ifaddr* first_inet_of(ifnet* ifp) {
  if (ifp == nullptr) return nullptr;
  for (ifaddr* ifa = ifp->if_addrhead; ifa != nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr != nullptr && ifa->ifa_addr->sa_family == AF_INET) return reinterpret_cast<ipv4_ifaddr*>(ifa);
  }
  return nullptr;
}

// The address this host is known by on the way to `dst`.
bool outgoing_address(std::uint32_t dst, std::uint32_t* out) {
  if (is_local(dst)) {
    *out = dst;
    return true;
  }
  ifaddr* ifa = ip_route_ifaddr(dst);
  if (ifa == nullptr || ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET) return false;
  *out = reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr)->sin_addr.s_addr;
  return true;
}

void put32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }

}  // namespace

int ip_process_options(mbuf* m) {
  ip* h = mtod<ip>(m);
  auto* base = reinterpret_cast<std::uint8_t*>(h);
  std::uint8_t* cp = base + sizeof(ip);
  int cnt = ip_hlen(h) - static_cast<int>(sizeof(ip));
  int type = ICMP_PARAMPROB;
  int code = 0;
  for (int optlen = 0; cnt > 0; cnt -= optlen, cp += optlen) {
    const int opt = cp[IPOPT_OPTVAL];
    if (opt == IPOPT_EOL) break;
    if (opt == IPOPT_NOP) {
      optlen = 1;
      continue;
    }
    if (cnt < 2) {
      code = static_cast<int>(cp + IPOPT_OLEN - base);
      goto bad;
    }
    optlen = cp[IPOPT_OLEN];
    if (optlen < 2 || optlen > cnt) {
      code = static_cast<int>(cp + IPOPT_OLEN - base);
      goto bad;
    }
    switch (opt) {
      case IPOPT_LSRR:
      case IPOPT_SSRR: {
        if (optlen < 3 || cp[IPOPT_OFFSET] < IPOPT_MINOFF) {
          code = static_cast<int>(cp + (optlen < 3 ? IPOPT_OLEN : IPOPT_OFFSET) - base);
          goto bad;
        }
        const bool at_us = is_local(h->ip_dst.s_addr);
        const bool finished = cp[IPOPT_OFFSET] - 1 > optlen - 4;
        if (at_us && !finished) {
          // Routing on is forwarding, which this host does not do.
          ++g_ipstat.ips_cantforward;
          mbuf_free_chain(m);
          return 1;
        }
        type = ICMP_UNREACH;
        code = ICMP_UNREACH_SRCFAIL;
        if (!(opt == IPOPT_SSRR && !at_us)) {
          char from[16];
          std::memcpy(from, inet_ntoa(h->ip_src.s_addr), sizeof(from));
          OSPrimDebugPrint("attempted source route from %s to %s\n", from, inet_ntoa(h->ip_dst.s_addr));
        }
        goto bad;
      }
      case IPOPT_RR: {
        if (optlen < 3 || cp[IPOPT_OFFSET] < IPOPT_MINOFF) {
          code = static_cast<int>(cp + (optlen < 3 ? IPOPT_OLEN : IPOPT_OFFSET) - base);
          goto bad;
        }
        const int off = cp[IPOPT_OFFSET] - 1;
        if (off + 4 > optlen) break;  // full: left alone
        std::uint32_t address = 0;
        if (!outgoing_address(h->ip_dst.s_addr, &address)) {
          type = ICMP_UNREACH;
          code = ICMP_UNREACH_HOST;
          goto bad;
        }
        put32(cp + off, address);
        cp[IPOPT_OFFSET] = static_cast<std::uint8_t>(cp[IPOPT_OFFSET] + 4);
        break;
      }
      case IPOPT_TS: {
        if (optlen < 4 || optlen > MAX_IPOPTLEN || cp[IPOPT_OFFSET] < 5) {
          code = static_cast<int>(cp + (optlen < 4 || optlen > MAX_IPOPTLEN ? IPOPT_OLEN : IPOPT_OFFSET) - base);
          goto bad;
        }
        const int flag = cp[3] & 0x0F;
        const int need = flag == IPOPT_TS_TSONLY ? 4 : 8;
        const int off = cp[IPOPT_OFFSET] - 1;
        if (off + need > optlen) {
          // Full: count the hop that could not stamp.
          const int overflow = ((cp[3] >> 4) + 1) & 0x0F;
          if (overflow == 0) {
            code = static_cast<int>(cp + 3 - base);
            goto bad;
          }
          cp[3] = static_cast<std::uint8_t>((overflow << 4) | flag);
          break;
        }
        const std::uint32_t now = ip_time_ms();
        switch (flag) {
          case IPOPT_TS_TSONLY:
            put32(cp + off, now);
            break;
          case IPOPT_TS_TSANDADDR: {
            ipv4_ifaddr* ia = first_inet_of(m->mh.m_pkthdr.rcvif);
            if (ia == nullptr) break;
            put32(cp + off, IA_SIN_ADDR(ia));
            put32(cp + off + 4, now);
            break;
          }
          case IPOPT_TS_PRESPEC: {
            std::uint32_t named = 0;
            std::memcpy(&named, cp + off, 4);
            if (!is_local(named)) continue;  // another host's turn
            put32(cp + off + 4, now);
            break;
          }
          default:
            code = static_cast<int>(cp + 3 - base);
            goto bad;
        }
        cp[IPOPT_OFFSET] = static_cast<std::uint8_t>(cp[IPOPT_OFFSET] + need);
        break;
      }
      default:
        break;
    }
  }
  return 0;
bad:
  ++g_ipstat.ips_badoptions;
  icmp_error(m, type, code, 0, nullptr);
  return 1;
}

ifaddr* ip_route_ifaddr(std::uint32_t dst) {
  auto* cached = reinterpret_cast<sockaddr_in*>(&g_forward_rt.ro_dst);
  if (g_forward_rt.ro_rt == nullptr || cached->sin_addr.s_addr != dst) {
    if (g_forward_rt.ro_rt != nullptr) {
      rtfree(g_forward_rt.ro_rt);
      g_forward_rt.ro_rt = nullptr;
    }
    *cached = make_sockaddr_in(0);
    cached->sin_addr.s_addr = dst;
    g_forward_rt.ro_rt = rtalloc1(&g_forward_rt.ro_dst, 0, 0);
  }
  return g_forward_rt.ro_rt != nullptr ? g_forward_rt.ro_rt->rt_ifa : nullptr;
}

void ip_route_cache_release() {
  if (g_forward_rt.ro_rt != nullptr) rtfree(g_forward_rt.ro_rt);
  g_forward_rt = route_cache{};
}

void ip_remove_options(mbuf* m) {
  ip* h = mtod<ip>(m);
  const int olen = ip_hlen(h) - static_cast<int>(sizeof(ip));
  if (olen <= 0) return;
  auto* opts = reinterpret_cast<std::uint8_t*>(h + 1);
  std::memmove(opts, opts + olen, static_cast<std::size_t>(m->m_len - static_cast<int>(sizeof(ip)) - olen));
  m->m_len -= olen;
  if (m->m_flags & M_PKTHDR) m->mh.m_pkthdr.len -= olen;
  h->ip_vhl = IP_VHL_BORING();
}

void ip_make_control(inpcb* inp, mbuf** mp, const ip* h, mbuf* m) {
  socket* so = inp->inp_socket;
  if (so != nullptr && (so->so_options & SO_TIMESTAMP)) {
    timeval tv;
    perf_counter_timeval(&tv);
    const std::int32_t stamp[2] = {static_cast<std::int32_t>(tv.tv_sec), static_cast<std::int32_t>(tv.tv_usec)};
    if ((*mp = make_control_mbuf(stamp, sizeof(stamp), SCM_TIMESTAMP, SOL_SOCKET)) != nullptr) mp = &(*mp)->m_next;
  }
  if (inp->inp_flags & PCBF_RECVDSTADDR) {
    if ((*mp = make_control_mbuf(&h->ip_dst, sizeof(in_addr), IP_RECVDSTADDR, IPPROTO_LEVEL_IP)) != nullptr) {
      mp = &(*mp)->m_next;
    }
  }
  if (inp->inp_flags & PCBF_RECVIF) {
    sockaddr_dl empty{};
    empty.sdl_len = 8;
    empty.sdl_family = AF_LINK;
    const sockaddr_dl* sdl = &empty;
    ifnet* ifp = m->mh.m_pkthdr.rcvif;
    if (ifp != nullptr) {
      ifaddr* link = iface_link_addr(ifp->if_index);
      if (link != nullptr && link->ifa_addr != nullptr && link->ifa_addr->sa_family == AF_LINK &&
          link->ifa_addr->sa_len <= 86) {
        sdl = reinterpret_cast<const sockaddr_dl*>(link->ifa_addr);
      }
    }
    if ((*mp = make_control_mbuf(sdl, sdl->sdl_len, IP_RECVIF, IPPROTO_LEVEL_IP)) != nullptr) mp = &(*mp)->m_next;
  }
}

void proto46_input(mbuf* m, int) { mbuf_free_chain(m); }

int inetctlerr(int cmd) {
  static constexpr std::uint8_t kErrors[PRC_NCMDS] = {0,
                                                      0,
                                                      0,
                                                      0,
                                                      0,
                                                      BSD_EMSGSIZE,
                                                      BSD_EHOSTDOWN,
                                                      BSD_EHOSTUNREACH,
                                                      BSD_EHOSTUNREACH,
                                                      BSD_EHOSTUNREACH,
                                                      BSD_ECONNREFUSED,
                                                      BSD_ECONNREFUSED,
                                                      BSD_EMSGSIZE,
                                                      BSD_EHOSTUNREACH,
                                                      0,
                                                      0,
                                                      0,
                                                      0,
                                                      0,
                                                      0,
                                                      BSD_ENOPROTOOPT,
                                                      BSD_ECONNREFUSED};
  return cmd >= 0 && cmd < PRC_NCMDS ? kErrors[cmd] : 0;
}

}  // namespace zektcp
