// IPv4 output (RFC 791, RFC 1191 for don't-fragment): options, the route
// and interface, multicast with its loop-back to local members, broadcast
// rules, checksums and fragmentation.
#include <algorithm>
#include <cstring>

#include "proxy/tcpip/netinet/in.h"
#include "proxy/tcpip/netinet/ip_var.h"

namespace zektcp {

namespace {

std::uint16_t g_ip_id;
constexpr int kLinkRoom = 16;  // left in front of a fragment's header for the link header

ipv4_ifaddr* first_inet_of(ifnet* ifp) {
  for (ifaddr* ifa = ifp->if_addrhead; ifa != nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr != nullptr && ifa->ifa_addr->sa_family == AF_INET) return reinterpret_cast<ipv4_ifaddr*>(ifa);
  }
  return nullptr;
}

bool member_of(std::uint32_t group, ifnet* ifp) {
  for (in_multi* inm = in_multi_list(); inm != nullptr; inm = inm->inm_next) {
    if (inm->inm_addr == group && inm->inm_ifp == ifp) return true;
  }
  return false;
}

bool loopback_net(std::uint32_t address) { return (ntohl(address) >> 24) == 127; }

// Puts the options record's options behind the header (a first hop other
// than 0 becomes the destination); the header length in *hlen.
mbuf* insert_options(mbuf* m, mbuf* opt, int* hlen) {
  ip* h = mtod<ip>(m);
  const int optlen = opt->m_len - static_cast<int>(sizeof(in_addr));
  *hlen = static_cast<int>(sizeof(ip));
  if (optlen <= 0 || optlen + h->ip_len > IP_MAXPACKET) return m;
  in_addr first_hop;
  std::memcpy(&first_hop, opt->m_data, sizeof(first_hop));
  if (first_hop.s_addr != INADDR_ANY) h->ip_dst = first_hop;
  if (M_LEADINGSPACE(m) < optlen) {
    // The header moves to an mbuf of its own, with the options behind it.
    mbuf* n = nullptr;
    if (GetMBufHdr(&n, M_DONTWAIT, MT_HEADER) != 0) return m;
    m_move_pkthdr(n, m);
    M_ALIGN_END(n, static_cast<int>(sizeof(ip)) + optlen);
    std::memcpy(n->m_data, h, sizeof(ip));
    n->m_len = static_cast<int>(sizeof(ip)) + optlen;
    n->mh.m_pkthdr.len += optlen;
    m->m_data += sizeof(ip);
    m->m_len -= static_cast<int>(sizeof(ip));
    n->m_next = m;
    m = n;
  } else {
    m->m_data -= optlen;
    m->m_len += optlen;
    m->mh.m_pkthdr.len += optlen;
    std::memmove(m->m_data, m->m_data + optlen, sizeof(ip));
  }
  std::memcpy(m->m_data + sizeof(ip), opt->m_data + sizeof(in_addr), static_cast<std::size_t>(optlen));
  h = mtod<ip>(m);
  h->ip_len = static_cast<std::uint16_t>(h->ip_len + optlen);
  *hlen = static_cast<int>(sizeof(ip)) + optlen;
  return m;
}

// A copy of a multicast packet for this host's own members of the group,
// through the loopback interface.
void mloopback(mbuf* m, sockaddr_in* dst, int hlen) {
  if (dst->sin_family != AF_INET) {
    OSPrimDebugPrint("ip_mloopback: bad address family %d\n", dst->sin_family);
    return;
  }
  ifnet* lo = loif();
  if (lo == nullptr) return;
  // The header is copied into an mbuf of its own: the original may share
  // its first cluster with the copy.
  mbuf* rest = m_copym(m, hlen, M_COPYALL, M_DONTWAIT);
  mbuf* copy = nullptr;
  if (GetMBufHdr(&copy, M_DONTWAIT, MT_HEADER) != 0) {
    mbuf_free_chain(rest);
    return;
  }
  copy->mh.m_pkthdr.len = m->mh.m_pkthdr.len;
  copy->mh.m_pkthdr.csum_flags = m->mh.m_pkthdr.csum_flags;
  copy->mh.m_pkthdr.csum_data = m->mh.m_pkthdr.csum_data;
  copy->m_flags |= m->m_flags & (M_MCAST | M_BCAST);
  M_ALIGN_END(copy, hlen);
  m_copydata(m, 0, hlen, copy->m_data);
  copy->m_len = hlen;
  copy->m_next = rest;
  ip* h = mtod<ip>(copy);
  h->ip_len = htons(h->ip_len);
  h->ip_off = htons(h->ip_off);
  h->ip_sum = 0;
  h->ip_sum = in_cksum_bytes(h, hlen);
  if (copy->mh.m_pkthdr.csum_flags & CSUM_DELAY_DATA) {
    copy->mh.m_pkthdr.csum_flags |= CSUM_DATA_VALID | CSUM_PSEUDO_HDR;
    copy->mh.m_pkthdr.csum_data = 0xFFFF;
  }
  looutput(lo, copy, reinterpret_cast<sockaddr*>(dst), nullptr);
}

// Finishes a header for the wire: lengths to network order, the checksum.
void seal(ip* h, int hlen, bool sum) {
  h->ip_len = htons(h->ip_len);
  h->ip_off = htons(h->ip_off);
  h->ip_sum = 0;
  if (sum) h->ip_sum = in_cksum_bytes(h, hlen);
}

}  // namespace

std::uint16_t ip_next_id() { return ++g_ip_id; }
void ip_id_init() { g_ip_id = static_cast<std::uint16_t>(stack_ticks()); }

int ip_optcopy(const ip* from, ip* to) {
  const auto* cp = reinterpret_cast<const std::uint8_t*>(from + 1);
  auto* dp = reinterpret_cast<std::uint8_t*>(to + 1);
  int cnt = ip_hlen(from) - static_cast<int>(sizeof(ip));
  for (int optlen = 0; cnt > 0; cnt -= optlen, cp += optlen) {
    const int opt = cp[0];
    if (opt == IPOPT_EOL) break;
    if (opt == IPOPT_NOP) {
      *dp++ = IPOPT_NOP;
      optlen = 1;
      continue;
    }
    optlen = cnt > 1 ? cp[IPOPT_OLEN] : 0;
    if (optlen < 2 || optlen > cnt) {
      ZEK_LOG_FAILURE("ip_optcopy: malformed ipv4 option\n");
      break;
    }
    if (IPOPT_COPIED(opt)) {
      std::memcpy(dp, cp, static_cast<std::size_t>(optlen));
      dp += optlen;
    }
  }
  auto* start = reinterpret_cast<std::uint8_t*>(to + 1);
  while ((dp - start) & 3) *dp++ = IPOPT_EOL;
  return static_cast<int>(dp - start);
}

int ip_output(mbuf* m0, mbuf* opt, route_cache* ro, int flags, ip_moptions* imo) {
  mbuf* m = m0;
  int error = 0;
  if (m == nullptr || !(m->m_flags & M_PKTHDR)) {
    ZEK_LOG_FAILURE("ip_output: no HDR\n");
    mbuf_free_chain(m);
    return BSD_EINVAL;
  }
  route_cache iproute{};
  if (ro == nullptr) {
    OSPrimDebugPrint("ip_output: no route, proto\n");
    ro = &iproute;
  }
  int hlen = static_cast<int>(sizeof(ip));
  if (opt != nullptr) m = insert_options(m, opt, &hlen);
  ip* h = mtod<ip>(m);
  if (!(flags & (IPOUT_FORWARDED | IPOUT_RAW))) {
    h->ip_vhl = static_cast<std::uint8_t>((IPVERSION << 4) | (hlen >> 2));
    h->ip_off &= IP_DF;
    h->ip_id = htons(ip_next_id());
    ++g_ipstat.ips_localout;
  } else {
    hlen = ip_hlen(h);
  }

  auto* dst = reinterpret_cast<sockaddr_in*>(&ro->ro_dst);
  if (ro->ro_rt != nullptr &&
      (!(ro->ro_rt->rt_flags & RTF_UP) || dst->sin_family != AF_INET || dst->sin_addr.s_addr != h->ip_dst.s_addr)) {
    rtfree(ro->ro_rt);
    ro->ro_rt = nullptr;
  }
  if (ro->ro_rt == nullptr) {
    *dst = make_sockaddr_in(0);
    dst->sin_addr = h->ip_dst;
  }
  ifnet* ifp = nullptr;
  ipv4_ifaddr* ia = nullptr;
  bool broadcast = false;
  const bool multicast = IN_MULTICAST(ntohl(h->ip_dst.s_addr));
  if (flags & IPOUT_ROUTE_TO_IF) {
    ifaddr* ifa = ifaddr_find_by_dest(reinterpret_cast<sockaddr*>(dst));
    if (ifa == nullptr) ifa = ifaddr_find_by_net(reinterpret_cast<sockaddr*>(dst));
    if (ifa == nullptr) {
      ++g_ipstat.ips_noroute;
      error = BSD_ENETUNREACH;
      goto bad;
    }
    ifp = ifa->ifa_ifp;
    ia = reinterpret_cast<ipv4_ifaddr*>(ifa);
    h->ip_ttl = 1;
    broadcast = in_is_broadcast(dst->sin_addr.s_addr, ifp);
  } else if (multicast && imo != nullptr && imo->imo_multicast_ifp != nullptr) {
    ifp = imo->imo_multicast_ifp;
    ia = first_inet_of(ifp);
  } else {
    if (ro->ro_rt == nullptr) ro->ro_rt = rtalloc1(&ro->ro_dst, 1, 0);
    if (ro->ro_rt == nullptr) {
      ++g_ipstat.ips_noroute;
      error = BSD_EHOSTUNREACH;
      goto bad;
    }
    rtentry* rt = ro->ro_rt;
    if (rt->rt_ifa != nullptr && rt->rt_ifa->ifa_addr != nullptr && rt->rt_ifa->ifa_addr->sa_family == AF_INET) {
      ia = reinterpret_cast<ipv4_ifaddr*>(rt->rt_ifa);
    }
    ifp = rt->rt_ifp;
    ++rt->rt_rmx.rmx_pksent;
    if (rt->rt_flags & RTF_GATEWAY) dst = reinterpret_cast<sockaddr_in*>(rt->rt_gateway);
    broadcast =
        (rt->rt_flags & RTF_HOST) ? (rt->rt_flags & RTF_BROADCAST) != 0 : in_is_broadcast(dst->sin_addr.s_addr, ifp);
  }
  if (ifp == nullptr || ifp->if_output == nullptr) {
    ++g_ipstat.ips_noroute;
    error = BSD_EHOSTUNREACH;
    goto bad;
  }

  if (multicast) {
    m->m_flags |= M_MCAST;
    dst = reinterpret_cast<sockaddr_in*>(&ro->ro_dst);  // the group itself
    h->ip_ttl = imo != nullptr ? imo->imo_multicast_ttl : IP_DEFAULT_MULTICAST_TTL;
    if (!(ifp->if_flags & IFF_MULTICAST)) {
      ++g_ipstat.ips_noroute;
      error = BSD_ENETUNREACH;
      goto bad;
    }
    if (h->ip_src.s_addr == INADDR_ANY) {
      if (ipv4_ifaddr* own = first_inet_of(ifp)) h->ip_src = own->ia_addr.sin_addr;
    }
    if (member_of(h->ip_dst.s_addr, ifp) && (imo == nullptr || imo->imo_multicast_loop)) mloopback(m, dst, hlen);
    if (h->ip_ttl == 0 || (ifp->if_flags & IFF_LOOPBACK)) {
      mbuf_free_chain(m);
      goto done;
    }
  } else {
    if (h->ip_src.s_addr == INADDR_ANY && ia != nullptr) h->ip_src = ia->ia_addr.sin_addr;
    const std::uint32_t mtu = ifp->if_data.ifi_mtu != 0 ? ifp->if_data.ifi_mtu : 1;
    if (ifp->if_snd.ifq_len + static_cast<std::int32_t>(h->ip_len / mtu) + 1 >= ifp->if_snd.ifq_maxlen) {
      ++g_ipstat.ips_odropped;
      error = BSD_ENOBUFS;
      goto bad;
    }
    if (broadcast) {
      if (!(ifp->if_flags & IFF_BROADCAST)) {
        error = BSD_EADDRNOTAVAIL;
        goto bad;
      }
      if (!(flags & IPOUT_ALLOW_BCAST)) {
        error = BSD_EACCES;
        goto bad;
      }
      if (h->ip_len > ifp->if_data.ifi_mtu) {
        error = BSD_EMSGSIZE;
        goto bad;
      }
      m->m_flags |= M_BCAST;
    } else {
      m->m_flags &= ~M_BCAST;
    }
  }

  if (!(ifp->if_flags & IFF_LOOPBACK) && (loopback_net(h->ip_src.s_addr) || loopback_net(h->ip_dst.s_addr))) {
    ++g_ipstat.ips_badaddr_out;
    error = BSD_EADDRNOTAVAIL;
    goto bad;
  }

  {
    m->mh.m_pkthdr.csum_flags |= CSUM_IP;
    std::int32_t sw_csum = m->mh.m_pkthdr.csum_flags & ~static_cast<std::int32_t>(ifp->if_data.ifi_capenable);
    if (sw_csum & CSUM_DELAY_DATA) {
      in_cksum_skip(m);
      sw_csum &= ~CSUM_DELAY_DATA;
    }
    m->mh.m_pkthdr.csum_flags &= static_cast<std::int32_t>(ifp->if_data.ifi_capenable);
    const bool sum_here = (sw_csum & CSUM_IP) != 0;

    if (h->ip_len <= ifp->if_data.ifi_mtu || (ifp->if_data.ifi_capenable & CSUM_IP_FRAGS)) {
      const std::uint32_t length = h->ip_len;
      seal(h, hlen, sum_here);
      if (ia != nullptr) {
        ++ia->ia_ifa.ifa_opackets;
        ia->ia_ifa.ifa_obytes += length;
      }
      error = ifp->if_output(ifp, m, reinterpret_cast<sockaddr*>(dst), ro->ro_rt);
      goto done;
    }

    if (h->ip_off & IP_DF) {
      error = BSD_EMSGSIZE;
      rtentry* rt = ro->ro_rt;
      if (rt != nullptr && (rt->rt_flags & (RTF_UP | RTF_HOST)) == (RTF_UP | RTF_HOST) &&
          !(rt->rt_rmx.rmx_locks & RTV_MTU) && rt->rt_rmx.rmx_mtu > ifp->if_data.ifi_mtu) {
        rt->rt_rmx.rmx_mtu = ifp->if_data.ifi_mtu;
      }
      ++g_ipstat.ips_cantfrag;
      goto bad;
    }
    const int payload = static_cast<int>((ifp->if_data.ifi_mtu - static_cast<std::uint32_t>(hlen)) & ~7u);
    if (payload < 8) {
      error = BSD_EMSGSIZE;
      goto bad;
    }

    // Every fragment after the first: a header of its own (with the options
    // that are copied), then its share of the data.
    const int total = h->ip_len;
    const std::uint16_t base_off = h->ip_off & IP_OFFMASK;
    const bool more_after = (h->ip_off & IP_MF) != 0;
    mbuf** tail = &m->m_nextpkt;
    int len = payload;
    for (int off = hlen + payload; off < total; off += len) {
      mbuf* mf = nullptr;
      if (GetMBufHdr(&mf, M_DONTWAIT, MT_HEADER) != 0) {
        error = BSD_ENOBUFS;
        ++g_ipstat.ips_odropped;
        break;
      }
      mf->m_flags |= m->m_flags & (M_MCAST | M_BCAST);
      mf->m_data += kLinkRoom;
      ip* fh = mtod<ip>(mf);
      *fh = *h;
      int fhlen = static_cast<int>(sizeof(ip));
      if (hlen > fhlen) {
        fhlen += ip_optcopy(h, fh);
        fh->ip_vhl = static_cast<std::uint8_t>((IPVERSION << 4) | (fhlen >> 2));
      }
      mf->m_len = fhlen;
      std::uint16_t foff = static_cast<std::uint16_t>(base_off + ((off - hlen) >> 3));
      if (off + len >= total) {
        len = total - off;
        if (more_after) foff |= IP_MF;
      } else {
        foff |= IP_MF;
      }
      fh->ip_off = foff;
      fh->ip_len = static_cast<std::uint16_t>(len + fhlen);
      mf->m_next = m_copym(m, off, len, M_DONTWAIT);
      if (mf->m_next == nullptr) {
        mbuf_free_one(mf);
        error = BSD_ENOBUFS;
        ++g_ipstat.ips_odropped;
        break;
      }
      mf->mh.m_pkthdr.len = fhlen + len;
      mf->mh.m_pkthdr.rcvif = nullptr;
      mf->mh.m_pkthdr.csum_flags = m->mh.m_pkthdr.csum_flags;
      seal(fh, fhlen, sum_here);
      *tail = mf;
      tail = &mf->m_nextpkt;
      ++g_ipstat.ips_ofragments;
    }
    // The first fragment is the original, cut to its share.
    mbuf_trim(m, hlen + payload - total);
    h->ip_len = static_cast<std::uint16_t>(hlen + payload);
    h->ip_off |= IP_MF;
    seal(h, hlen, sum_here);
    for (mbuf* f = m; f != nullptr;) {
      mbuf* next = f->m_nextpkt;
      f->m_nextpkt = nullptr;
      if (error == 0) {
        if (ia != nullptr) {
          ++ia->ia_ifa.ifa_opackets;
          ia->ia_ifa.ifa_obytes += static_cast<std::uint32_t>(f->mh.m_pkthdr.len);
        }
        error = ifp->if_output(ifp, f, reinterpret_cast<sockaddr*>(dst), ro->ro_rt);
      } else {
        mbuf_free_chain(f);
      }
      f = next;
    }
    if (error == 0) ++g_ipstat.ips_fragmented;
  }
done:
  if (ro == &iproute && iproute.ro_rt != nullptr) rtfree(iproute.ro_rt);
  return error;
bad:
  mbuf_free_chain(m);
  goto done;
}

}  // namespace zektcp
