// ICMP (RFC 792, with the host rules of RFC 1122): errors about bad or
// undeliverable packets, the answers to echo, timestamp and mask requests,
// redirects, and the hand-over of received errors to the transport
// protocols.
#include <algorithm>
#include <cstring>

#include "proxy/tcpip/netinet/in.h"
#include "proxy/tcpip/netinet/ip_var.h"
#include "proxy/tcpip/netinet/raw_ip.h"

namespace zektcp {

icmpstat g_icmpstat;
std::uint32_t icmp_answer_mask;
std::uint32_t icmp_ignore_redirects;
std::uint32_t icmp_log_redirects;
std::uint32_t icmp_echo_bcast;

namespace {

constexpr std::uint16_t kNextMtu[] = {65535, 32000, 17914, 8166, 4352, 2002, 1492, 1006, 508, 296, 68, 0};
constexpr std::uint32_t kMinPmtu = 296;

bool is_info_type(int type) {
  switch (type) {
    case ICMP_ECHOREPLY:
    case ICMP_ECHO:
    case ICMP_ROUTERADVERT:
    case ICMP_ROUTERSOLICIT:
    case ICMP_TSTAMP:
    case ICMP_TSTAMPREPLY:
    case ICMP_IREQ:
    case ICMP_IREQREPLY:
    case ICMP_MASKREQ:
    case ICMP_MASKREPLY:
      return true;
    default:
      return false;
  }
}

// An address that names one host (RFC 1122 3.2.2): not 0, not a broadcast
// of the receiving interface or the limited one, not multicast or class E.
bool names_one_host(std::uint32_t address, ifnet* ifp) {
  const std::uint32_t host = ntohl(address);
  if (address == INADDR_ANY || address == INADDR_BROADCAST) return false;
  if (IN_MULTICAST(host) || (host >> 28) == 0xF) return false;
  return !in_is_broadcast(address, ifp);
}

ipv4_ifaddr* local_record(std::uint32_t address) {
  for (ipv4_ifaddr* ia = in_ifaddr_hash_chain(address); ia != nullptr; ia = ia->ia_hash_next) {
    if (IA_SIN_ADDR(ia) == address) return ia;
  }
  return nullptr;
}

// The next MTU of the table below the route's current one.
std::uint32_t next_lower_mtu(std::uint32_t current) {
  for (const std::uint16_t mtu : kNextMtu) {
    if (mtu < current) return mtu;
  }
  return 0;
}

void update_path_mtu(std::uint32_t dst, std::uint32_t next_mtu) {
  if (IN_MULTICAST(ntohl(dst))) return;
  sockaddr_in sin = make_sockaddr_in(0);
  sin.sin_addr.s_addr = dst;
  rtentry* rt = rtalloc1(reinterpret_cast<sockaddr*>(&sin), 0, RTF_CLONING | RTF_PRCLONING);
  if (rt == nullptr) return;
  if ((rt->rt_flags & RTF_HOST) && !(rt->rt_rmx.rmx_locks & RTV_MTU)) {
    std::uint32_t mtu = next_mtu;
    if (mtu == 0) {
      const std::uint32_t current =
          rt->rt_rmx.rmx_mtu != 0 ? rt->rt_rmx.rmx_mtu : (rt->rt_ifp != nullptr ? rt->rt_ifp->if_data.ifi_mtu : 0);
      mtu = next_lower_mtu(current);
    }
    if (mtu < kMinPmtu) {
      rt->rt_rmx.rmx_locks |= RTV_MTU;  // too small to trust: stop lowering
    } else {
      rt->rt_rmx.rmx_mtu = mtu;
    }
  }
  rtfree(rt);
}

// The options a reflected packet keeps (record route, timestamp,
// security), as an options record for IP output; null when none.
mbuf* kept_options(const ip* h) {
  const int optlen = ip_hlen(h) - static_cast<int>(sizeof(ip));
  if (optlen <= 0) return nullptr;
  mbuf* opts = nullptr;
  if (GetMBuf(&opts, M_DONTWAIT, MT_HEADER) != 0) return nullptr;
  std::memset(opts->m_data, 0, sizeof(in_addr));
  std::uint8_t* dp = opts->m_data + sizeof(in_addr);
  const auto* cp = reinterpret_cast<const std::uint8_t*>(h + 1);
  int cnt = optlen;
  for (int len = 0; cnt > 0; cnt -= len, cp += len) {
    const int opt = cp[0];
    if (opt == IPOPT_EOL) break;
    if (opt == IPOPT_NOP) {
      len = 1;
      continue;
    }
    len = cnt > 1 ? cp[IPOPT_OLEN] : 0;
    if (len < 2 || len > cnt) break;
    if (opt == IPOPT_RR || opt == IPOPT_TS || opt == IPOPT_SECURITY) {
      std::memcpy(dp, cp, static_cast<std::size_t>(len));
      dp += len;
    }
  }
  int kept = static_cast<int>(dp - (opts->m_data + sizeof(in_addr)));
  while (kept & 3) {
    *dp++ = IPOPT_EOL;
    ++kept;
  }
  if (kept == 0) {
    mbuf_free_one(opts);
    return nullptr;
  }
  opts->m_len = static_cast<int>(sizeof(in_addr)) + kept;
  return opts;
}

// Checksums the ICMP part of a packet (header fields in host order, the
// total length in ip_len) and sends it.
void icmp_send(mbuf* m, mbuf* opts) {
  ip* h = mtod<ip>(m);
  const int hlen = ip_hlen(h);
  auto* icp = reinterpret_cast<icmp*>(m->m_data + hlen);
  icp->icmp_cksum = 0;
  m->m_data += hlen;
  m->m_len -= hlen;
  icp->icmp_cksum = in_cksum_chain(m, h->ip_len - hlen);
  m->m_data -= hlen;
  m->m_len += hlen;
  m->mh.m_pkthdr.rcvif = nullptr;
  route_cache ro{};
  ip_output(m, opts, &ro, 0, nullptr);
  if (ro.ro_rt != nullptr) rtfree(ro.ro_rt);
}

}  // namespace

std::uint32_t ip_time_ms() {
  timeval tv;
  stack_time_of_day(&tv);
  const std::uint64_t ms =
      static_cast<std::uint64_t>(tv.tv_sec % 86400) * 1000 + static_cast<std::uint64_t>(tv.tv_usec / 1000);
  return htonl(static_cast<std::uint32_t>(ms));
}

void icmp_error(mbuf* n, int type, int code, std::uint32_t dest, ifnet* destifp) {
  (void)dest;
  ++g_icmpstat.icps_error;
  ip* oip = mtod<ip>(n);
  const int oiplen = ip_hlen(oip);
  if (type > ICMP_MAXTYPE) {
    ZEK_LOG_FAILURE("icmp_error\n");
    mbuf_free_chain(n);
    return;
  }
  // Only the first fragment draws an error.
  if (oip->ip_off & (IP_OFFMASK | IP_RF)) {
    mbuf_free_chain(n);
    return;
  }
  // Never an error about an ICMP error.
  if (oip->ip_p == IPPROTO_ICMP && type != ICMP_REDIRECT && oip->ip_len >= oiplen + ICMP_MINLEN) {
    std::uint8_t quoted_type = 0;
    if (m_copydata(n, oiplen, 1, &quoted_type) == 0 && !is_info_type(quoted_type)) {
      ++g_icmpstat.icps_oldicmp;
      mbuf_free_chain(n);
      return;
    }
  }
  // Nor about a packet that was not for exactly one host: a link broadcast
  // or multicast, an IP broadcast or multicast destination, or a source
  // that names no single host.
  ifnet* rcvif = n->mh.m_pkthdr.rcvif;
  if ((n->m_flags & (M_BCAST | M_MCAST)) || !names_one_host(oip->ip_dst.s_addr, rcvif) ||
      !names_one_host(oip->ip_src.s_addr, rcvif)) {
    ++g_icmpstat.icps_notunicast;
    mbuf_free_chain(n);
    return;
  }
  if (oiplen < static_cast<int>(sizeof(ip))) {
    ZEK_LOG_FAILURE("icmp_error: bad length\n");
    mbuf_free_chain(n);
    return;
  }
  const int quoted = std::min<int>(oiplen + 8, oip->ip_len);
  if (quoted < oiplen) {
    ++g_icmpstat.icps_oldshort;
    mbuf_free_chain(n);
    return;
  }
  const int total = static_cast<int>(sizeof(ip)) + ICMP_MINLEN + quoted;
  mbuf* m = nullptr;
  if (GetMBufHdr(&m, M_DONTWAIT, MT_HEADER) != 0) {
    mbuf_free_chain(n);
    return;
  }
  if (total > MHLEN) {
    ZEK_LOG_FAILURE("icmp len\n");
    mbuf_free_one(m);
    mbuf_free_chain(n);
    return;
  }
  M_ALIGN_END(m, total);
  std::memset(m->m_data, 0, static_cast<std::size_t>(total));
  m->m_len = total;
  m->mh.m_pkthdr.len = total;
  m->mh.m_pkthdr.rcvif = rcvif;
  ip* nip = mtod<ip>(m);
  auto* icp = reinterpret_cast<icmp*>(nip + 1);
  ++g_icmpstat.icps_outhist[type];
  icp->icmp_type = static_cast<std::uint8_t>(type);
  if (type == ICMP_PARAMPROB) {
    icp->icmp_hun.ih_pptr = static_cast<std::uint8_t>(code);
    icp->icmp_code = 0;
  } else {
    icp->icmp_code = static_cast<std::uint8_t>(code);
    if (type == ICMP_UNREACH && code == ICMP_UNREACH_NEEDFRAG && destifp != nullptr) {
      icp->icmp_hun.ih_pmtu.ipm_nextmtu = htons(static_cast<std::uint16_t>(destifp->if_data.ifi_mtu));
    }
  }
  auto* quote = reinterpret_cast<std::uint8_t*>(icp) + ICMP_QUOTE_OFFSET;
  m_copydata(n, 0, quoted, quote);
  // The quoted header as it was on the wire.
  auto* qip = reinterpret_cast<ip*>(quote);
  qip->ip_len = htons(oip->ip_len);
  qip->ip_off = htons(oip->ip_off);
  qip->ip_id = htons(oip->ip_id);
  nip->ip_vhl = IP_VHL_BORING();
  nip->ip_tos = oip->ip_tos;
  nip->ip_p = IPPROTO_ICMP;
  nip->ip_len = static_cast<std::uint16_t>(total);
  // Addressed as the offending packet came; the reflection turns it round
  // and picks this host's address.
  nip->ip_src = oip->ip_src;
  nip->ip_dst = oip->ip_dst;
  mbuf_free_chain(n);
  icmp_send_back(m);
}

void icmp_receive(mbuf* m, int hlen) {
  ip* h = mtod<ip>(m);
  const int icmplen = h->ip_len;
  if (icmplen < ICMP_MINLEN) {
    ++g_icmpstat.icps_tooshort;
    mbuf_free_chain(m);
    return;
  }
  const int need = hlen + std::min(icmplen, ICMP_ADVLENMIN);
  if (m->m_len < need) {
    m = m_pullup(m, need);
    if (m == nullptr) {
      ++g_icmpstat.icps_tooshort;
      return;
    }
    h = mtod<ip>(m);
  }
  m->m_data += hlen;
  m->m_len -= hlen;
  const bool bad_sum = in_cksum_chain(m, icmplen) != 0;
  m->m_data -= hlen;
  m->m_len += hlen;
  if (bad_sum) {
    ++g_icmpstat.icps_checksum;
    mbuf_free_chain(m);
    return;
  }
  auto* icp = reinterpret_cast<icmp*>(m->m_data + hlen);
  const int type = icp->icmp_type;
  const int code = icp->icmp_code;
  if (type > ICMP_MAXTYPE) {
    rip_deliver(m, hlen, IPPROTO_ICMP);
    return;
  }
  ++g_icmpstat.icps_inhist[type];
  int cmd = -1;
  switch (type) {
    case ICMP_UNREACH:
      switch (code) {
        case 0:
        case 1:
        case 5:
        case 6:
        case 7:
        case 8:
        case 11:
        case 12:
        case 14:
        case 15:
          cmd = PRC_UNREACH_NET;
          break;
        case ICMP_UNREACH_NEEDFRAG:
          cmd = PRC_MSGSIZE;
          break;
        case 2:
        case 3:
          cmd = PRC_UNREACH_PORT;
          break;
        case 9:
        case 10:
        case 13:
          cmd = PRC_UNREACH_ADMIN_PROHIB;
          break;
        default:
          ++g_icmpstat.icps_badcode;
          break;
      }
      break;
    case ICMP_TIMXCEED:
      if (code > 1) {
        ++g_icmpstat.icps_badcode;
      } else {
        cmd = PRC_TIMXCEED_INTRANS + code;
      }
      break;
    case ICMP_PARAMPROB:
      if (code > 1) {
        ++g_icmpstat.icps_badcode;
      } else {
        cmd = PRC_PARAMPROB;
      }
      break;
    case ICMP_SOURCEQUENCH:
      if (code != 0) {
        ++g_icmpstat.icps_badcode;
      } else {
        cmd = PRC_QUENCH;
      }
      break;
    case ICMP_ECHO:
    case ICMP_TSTAMP: {
      if (!icmp_echo_bcast && (m->m_flags & (M_BCAST | M_MCAST))) {
        ++g_icmpstat.icps_bmcastecho;
        break;
      }
      if (type == ICMP_TSTAMP) {
        if (icmplen < ICMP_TSLEN) {
          ++g_icmpstat.icps_badlen;
          break;
        }
        icp->icmp_type = ICMP_TSTAMPREPLY;
        icp->icmp_dun.id_ts.its_rtime = ip_time_ms();
        icp->icmp_dun.id_ts.its_ttime = icp->icmp_dun.id_ts.its_rtime;
      } else {
        icp->icmp_type = ICMP_ECHOREPLY;
      }
      goto reflect;
    }
    case ICMP_MASKREQ: {
      if (!icmp_answer_mask || icmplen < ICMP_MASKLEN) break;
      ifnet* rcvif = m->mh.m_pkthdr.rcvif;
      sockaddr_in dst = make_sockaddr_in(0);
      dst.sin_addr = h->ip_dst;
      ifaddr* ifa = ifaddr_best_on_iface(reinterpret_cast<sockaddr*>(&dst), rcvif);
      if (ifa == nullptr || ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET) break;
      auto* ia = reinterpret_cast<ipv4_ifaddr*>(ifa);
      icp->icmp_type = ICMP_MASKREPLY;
      icp->icmp_dun.id_mask = ia->ia_sockmask.sin_addr.s_addr;
      if (h->ip_src.s_addr == INADDR_ANY) {
        if (rcvif->if_flags & IFF_BROADCAST) {
          h->ip_src = ia->ia_dstaddr.sin_addr;
        } else if (rcvif->if_flags & IFF_POINTOPOINT) {
          h->ip_src = ia->ia_dstaddr.sin_addr;
        }
      }
      goto reflect;
    }
    case ICMP_REDIRECT: {
      const in_addr gateway = icp->icmp_hun.ih_gwaddr;
      const in_addr target = icp->icmp_dun.id_ip.ip_dst;
      if (icmp_log_redirects) {
        char from[16];
        char to[16];
        std::memcpy(from, inet_ntoa(h->ip_src.s_addr), sizeof(from));
        std::memcpy(to, inet_ntoa(target.s_addr), sizeof(to));
        OSPrimDebugPrint("icmp redirect from %s: %s => %s\n", from, to, inet_ntoa(gateway.s_addr));
      }
      if (icmp_ignore_redirects) break;
      if (code > 3) {
        ++g_icmpstat.icps_badcode;
        break;
      }
      if (icmplen < ICMP_ADVLENMIN || ip_hlen(&icp->icmp_dun.id_ip) < static_cast<int>(sizeof(ip)) ||
          icmplen < ICMP_MINLEN + ip_hlen(&icp->icmp_dun.id_ip) + 8) {
        ++g_icmpstat.icps_badlen;
        break;
      }
      sockaddr_in dst = make_sockaddr_in(0);
      dst.sin_addr = target;
      sockaddr_in gw = make_sockaddr_in(0);
      gw.sin_addr = gateway;
      sockaddr_in src = make_sockaddr_in(0);
      src.sin_addr = h->ip_src;
      route_apply_redirect(reinterpret_cast<sockaddr*>(&dst), reinterpret_cast<sockaddr*>(&gw), nullptr,
                           static_cast<int>(RTF_GATEWAY | RTF_HOST), reinterpret_cast<sockaddr*>(&src), nullptr);
      domain_ctl_broadcast(PRC_REDIRECT_HOST, reinterpret_cast<sockaddr*>(&dst));
      break;
    }
    default:
      break;
  }
  if (cmd >= 0) {
    // An error about one of our packets: its quoted header names the
    // connection, and the protocol that sent it is told.
    const ip* qip = &icp->icmp_dun.id_ip;
    if (icmplen < ICMP_ADVLENMIN || ip_hlen(qip) < static_cast<int>(sizeof(ip)) ||
        icmplen < ICMP_MINLEN + ip_hlen(qip) + 8) {
      ++g_icmpstat.icps_badlen;
      mbuf_free_chain(m);
      return;
    }
    if (cmd == PRC_MSGSIZE) update_path_mtu(qip->ip_dst.s_addr, ntohs(icp->icmp_hun.ih_pmtu.ipm_nextmtu));
    sockaddr_in quoted_dst = make_sockaddr_in(0);
    quoted_dst.sin_addr = qip->ip_dst;
    proto_switch* pr = ip_proto_entry(qip->ip_p);
    if (pr != nullptr && pr->pr_ctlinput != nullptr) {
      pr->pr_ctlinput(cmd, reinterpret_cast<sockaddr*>(&quoted_dst), const_cast<ip*>(qip));
    }
  }
  rip_deliver(m, hlen, IPPROTO_ICMP);
  return;
reflect:
  h->ip_len = static_cast<std::uint16_t>(h->ip_len + hlen);
  ++g_icmpstat.icps_reflect;
  ++g_icmpstat.icps_outhist[icp->icmp_type];
  icmp_send_back(m);
}

void icmp_send_back(mbuf* m) {
  ip* h = mtod<ip>(m);
  const std::uint32_t src = ntohl(h->ip_src.s_addr);
  ifnet* rcvif = m->mh.m_pkthdr.rcvif;
  const bool from_loopback = rcvif != nullptr && (rcvif->if_flags & IFF_LOOPBACK);
  // No answer to a source that is a group, experimental, or "this
  // network"; 127/8 only over the loopback interface, as it came.
  if (IN_MULTICAST(src) || (src >> 28) == 0xF || (src >> 24) == 0 || ((src >> 24) == 127 && !from_loopback)) {
    mbuf_free_chain(m);
    return;
  }
  const std::uint32_t t = h->ip_dst.s_addr;
  ipv4_ifaddr* ia = local_record(t);
  if (ia == nullptr) {
    for (ipv4_ifaddr* p = in_ifaddr_list(); p != nullptr; p = p->ia_next) {
      if ((p->ia_ifa.ifa_ifp->if_flags & IFF_BROADCAST) && p->ia_dstaddr.sin_addr.s_addr == t) {
        ia = p;
        break;
      }
    }
  }
  std::uint32_t reply_src = 0;
  if (ia != nullptr) {
    reply_src = IA_SIN_ADDR(ia);
  } else {
    // The address of the interface the answer leaves through.
    sockaddr_in back = make_sockaddr_in(0);
    back.sin_addr = h->ip_src;
    rtentry* rt = rtalloc1(reinterpret_cast<sockaddr*>(&back), 1, 0);
    if (rt != nullptr) {
      if (rt->rt_ifa != nullptr && rt->rt_ifa->ifa_addr != nullptr && rt->rt_ifa->ifa_addr->sa_family == AF_INET) {
        reply_src = reinterpret_cast<const sockaddr_in*>(rt->rt_ifa->ifa_addr)->sin_addr.s_addr;
      }
      rtfree(rt);
    }
    if (reply_src == 0) {
      mbuf_free_chain(m);
      return;
    }
  }
  h->ip_dst = h->ip_src;
  h->ip_src.s_addr = reply_src;
  h->ip_ttl = IPDEFTTL;
  mbuf* opts = kept_options(h);
  const int olen = ip_hlen(h) - static_cast<int>(sizeof(ip));
  if (olen > 0) {
    ip_remove_options(m);
    h = mtod<ip>(m);
    h->ip_len = static_cast<std::uint16_t>(h->ip_len - olen);
  }
  icmp_send(m, opts);
  if (opts != nullptr) mbuf_free_chain(opts);
}

}  // namespace zektcp
