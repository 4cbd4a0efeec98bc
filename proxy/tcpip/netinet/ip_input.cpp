// IPv4 input (RFC 791): header checks, acceptance for this host, fragment
// reassembly (in the spirit of RFC 815, with overlaps trimmed), and the
// hand-over to the protocol through the protocol switch. This stack is a
// host: datagrams for others are counted and dropped.
#include <cstring>

#include "proxy/tcpip/netinet/in.h"
#include "proxy/tcpip/netinet/ip_var.h"

namespace zektcp {

ipstat g_ipstat;

namespace {

// A datagram being reassembled; kept in an mbuf of its own.
struct ipq {
  ipq* next;
  ipq** prevp;
  mbuf* self;        // the mbuf that holds this record
  std::uint8_t ttl;  // slow ticks left
  std::uint8_t p;
  std::uint16_t id;
  std::uint32_t src;  // network order
  std::uint32_t dst;
  mbuf* frags;  // by offset, linked through m_nextpkt
  std::uint8_t nfrags;
};
static_assert(sizeof(ipq) <= MLEN);

struct IpState {
  std::uint8_t protox[IPPROTO_MAX];  // protocol -> index in the Internet switch
  ipq* buckets[IPREASS_NHASH];
  int nipq;
  int maxnipq;
  int maxfragsperpacket;
};

IpState g_ip;

// A fragment's header stays in front of its data; these read and write its
// data length and byte offset (host order).
ip* frag_header(mbuf* m) { return static_cast<ip*>(m->mh.m_pkthdr.header); }
int frag_len(mbuf* m) { return frag_header(m)->ip_len; }
int frag_off(mbuf* m) { return frag_header(m)->ip_off; }

// The source as loaded from the packet: its two lowest nibbles, with the id.
int bucket_of(std::uint32_t src, std::uint16_t id) {
  const std::uint32_t s = (src & 0xF) | (((src >> 8) & 0xF) << 4);
  return static_cast<int>((s ^ id) & (IPREASS_NHASH - 1));
}

void reass_free(ipq* fp) {
  mbuf_free_packets(fp->frags);
  *fp->prevp = fp->next;
  if (fp->next != nullptr) fp->next->prevp = fp->prevp;
  --g_ip.nipq;
  mbuf_free_one(fp->self);
}

ipq* oldest_in(int bucket) {
  ipq* fp = g_ip.buckets[bucket];
  if (fp == nullptr) return nullptr;
  while (fp->next != nullptr) fp = fp->next;  // new ones go in at the head
  return fp;
}

// Makes room for one more datagram: the oldest of its bucket goes, else
// the oldest of the first bucket that has any.
void evict_for(int bucket) {
  ipq* victim = oldest_in(bucket);
  for (int b = 0; victim == nullptr && b < IPREASS_NHASH; ++b) victim = oldest_in(b);
  if (victim == nullptr) return;
  g_ipstat.ips_fragdropped += victim->nfrags;
  reass_free(victim);
}

// Adds a fragment (its header in front, fields in host order: the data
// length and the byte offset) to its datagram; the whole datagram when it
// is complete, else null.
mbuf* ip_reassemble(mbuf* m, ipq* fp, int bucket) {
  ip* h = mtod<ip>(m);
  const int hlen = ip_hlen(h);
  m->m_data += hlen;
  m->m_len -= hlen;
  m->mh.m_pkthdr.header = h;
  if (fp == nullptr) {
    mbuf* t = nullptr;
    if (GetMBuf(&t, M_DONTWAIT, MT_FTABLE) != 0) {
      ++g_ipstat.ips_fragdropped;
      mbuf_free_chain(m);
      return nullptr;
    }
    fp = reinterpret_cast<ipq*>(t->m_dat);
    fp->self = t;
    fp->next = g_ip.buckets[bucket];
    fp->prevp = &g_ip.buckets[bucket];
    if (fp->next != nullptr) fp->next->prevp = &fp->next;
    g_ip.buckets[bucket] = fp;
    ++g_ip.nipq;
    fp->ttl = IPFRAGTTL;
    fp->p = h->ip_p;
    fp->id = h->ip_id;
    fp->src = h->ip_src.s_addr;
    fp->dst = h->ip_dst.s_addr;
    fp->nfrags = 1;
    fp->frags = m;
    m->m_nextpkt = nullptr;
    return nullptr;  // a fragment alone is never the whole datagram
  }
  ++fp->nfrags;
  // The fragments before and after the new one.
  mbuf* prev = nullptr;
  mbuf* q = fp->frags;
  while (q != nullptr && frag_off(q) <= h->ip_off) {
    prev = q;
    q = q->m_nextpkt;
  }
  if (prev != nullptr) {
    const int overlap = frag_off(prev) + frag_len(prev) - h->ip_off;
    if (overlap > 0) {
      if (overlap >= h->ip_len) {
        ++g_ipstat.ips_fragdropped;
        --fp->nfrags;
        mbuf_free_chain(m);
        return nullptr;
      }
      mbuf_trim(m, overlap);
      h->ip_off = static_cast<std::uint16_t>(h->ip_off + overlap);
      h->ip_len = static_cast<std::uint16_t>(h->ip_len - overlap);
    }
  }
  while (q != nullptr && h->ip_off + h->ip_len > frag_off(q)) {
    const int overlap = h->ip_off + h->ip_len - frag_off(q);
    if (overlap < frag_len(q)) {
      ip* qh = frag_header(q);
      qh->ip_off = static_cast<std::uint16_t>(qh->ip_off + overlap);
      qh->ip_len = static_cast<std::uint16_t>(qh->ip_len - overlap);
      mbuf_trim(q, overlap);
      break;
    }
    mbuf* covered = q;
    q = q->m_nextpkt;
    covered->m_nextpkt = nullptr;
    mbuf_free_chain(covered);
    ++g_ipstat.ips_fragdropped;
    --fp->nfrags;
  }
  m->m_nextpkt = q;
  if (prev != nullptr) {
    prev->m_nextpkt = m;
  } else {
    fp->frags = m;
  }

  // Complete when the pieces run from 0 without a gap to one without
  // more-fragments.
  int expect = 0;
  bool complete = false;
  for (mbuf* f = fp->frags; f != nullptr; f = f->m_nextpkt) {
    if (frag_off(f) != expect) break;
    expect += frag_len(f);
    if (!(f->m_flags & M_FRAG)) {
      complete = f->m_nextpkt == nullptr;
      break;
    }
  }
  if (!complete) {
    if (fp->nfrags > g_ip.maxfragsperpacket) {
      g_ipstat.ips_fragdropped += fp->nfrags;
      reass_free(fp);
    }
    return nullptr;
  }
  mbuf* first = fp->frags;
  ip* fh = frag_header(first);
  const int fhlen = ip_hlen(fh);
  if (expect + fhlen > IP_MAXPACKET) {
    ++g_ipstat.ips_toolong;
    g_ipstat.ips_fragdropped += fp->nfrags;
    reass_free(fp);
    return nullptr;
  }
  mbuf* rest = first->m_nextpkt;
  first->m_nextpkt = nullptr;
  fp->frags = nullptr;
  std::int64_t csum_data = first->mh.m_pkthdr.csum_data;
  std::int32_t csum_flags = first->mh.m_pkthdr.csum_flags;
  while (rest != nullptr) {
    mbuf* next = rest->m_nextpkt;
    rest->m_nextpkt = nullptr;
    csum_flags &= rest->mh.m_pkthdr.csum_flags;
    csum_data += rest->mh.m_pkthdr.csum_data;
    m_tag_delete_chain(rest, nullptr);
    rest->m_flags &= ~M_PKTHDR;
    mbuf_join_chains(first, rest);
    rest = next;
  }
  while (csum_data >> 16) csum_data = (csum_data & 0xFFFF) + (csum_data >> 16);
  first->mh.m_pkthdr.csum_flags = csum_flags;
  first->mh.m_pkthdr.csum_data = static_cast<std::int32_t>(csum_data);
  fh->ip_len = static_cast<std::uint16_t>(expect);
  fh->ip_off = 0;
  first->m_flags &= ~M_FRAG;
  reass_free(fp);
  // The header goes back in front of the data.
  first->m_data -= fhlen;
  first->m_len += fhlen;
  first->mh.m_pkthdr.len = m_length(first);
  return first;
}

// Whether a configured (non-loopback, non-zero) address exists: until one
// does, unicast datagrams are taken whatever their destination, which is
// what a DHCP client before its lease relies on.
bool has_configured_address() {
  for (ipv4_ifaddr* ia = in_ifaddr_list(); ia != nullptr; ia = ia->ia_next) {
    if (ia->ia_ifa.ifa_ifp != nullptr && !(ia->ia_ifa.ifa_ifp->if_flags & IFF_LOOPBACK) &&
        IA_SIN_ADDR(ia) != INADDR_ANY) {
      return true;
    }
  }
  return false;
}

bool member_of(std::uint32_t group, ifnet* ifp) {
  for (in_multi* inm = in_multi_list(); inm != nullptr; inm = inm->inm_next) {
    if (inm->inm_addr == group && inm->inm_ifp == ifp) return true;
  }
  return false;
}

enum class Acceptance { Ours, NotMember, NotOurs };

Acceptance accept_for_host(mbuf* m, ip* h) {
  ifnet* rcvif = m->mh.m_pkthdr.rcvif;
  const std::uint32_t dst = h->ip_dst.s_addr;
  if (!has_configured_address() && !(m->m_flags & (M_BCAST | M_MCAST))) return Acceptance::Ours;
  for (ipv4_ifaddr* ia = in_ifaddr_hash_chain(dst); ia != nullptr; ia = ia->ia_hash_next) {
    if (IA_SIN_ADDR(ia) == dst) {
      ++ia->ia_ifa.ifa_ipackets;
      ia->ia_ifa.ifa_ibytes += h->ip_len;
      return Acceptance::Ours;
    }
  }
  if (rcvif != nullptr && (rcvif->if_flags & IFF_BROADCAST)) {
    for (ifaddr* ifa = rcvif->if_addrhead; ifa != nullptr; ifa = ifa->ifa_next) {
      if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET) continue;
      auto* ia = reinterpret_cast<ipv4_ifaddr*>(ifa);
      if (ia->ia_dstaddr.sin_addr.s_addr == dst || ia->ia_netbroadcast == ntohl(dst)) return Acceptance::Ours;
    }
  }
  if (IN_MULTICAST(ntohl(dst))) return member_of(dst, rcvif) ? Acceptance::Ours : Acceptance::NotMember;
  if (dst == INADDR_BROADCAST || dst == INADDR_ANY) return Acceptance::Ours;
  return Acceptance::NotOurs;
}

}  // namespace

void ip_init() {
  g_ip = IpState{};
  proto_switch* raw = nullptr;
  for (proto_switch* pr = inetdomain.dom_protosw; pr < inetdomain.dom_protoswNPROTOSW; ++pr) {
    if (pr->pr_type == SOCK_RAW && pr->pr_protocol == IPPROTO_RAW) {
      raw = pr;
      break;
    }
  }
  if (raw == nullptr) panic("ip_init");
  const auto raw_index = static_cast<std::uint8_t>(raw - inetdomain.dom_protosw);
  for (std::uint8_t& slot : g_ip.protox) slot = raw_index;
  for (proto_switch* pr = inetdomain.dom_protosw; pr < inetdomain.dom_protoswNPROTOSW; ++pr) {
    if (pr->pr_protocol != 0 && pr->pr_protocol != IPPROTO_RAW && pr->pr_protocol < IPPROTO_MAX) {
      g_ip.protox[pr->pr_protocol] = static_cast<std::uint8_t>(pr - inetdomain.dom_protosw);
    }
  }
  g_ip.maxnipq = IP_MAXFRAGPACKETS;
  g_ip.maxfragsperpacket = IP_MAXFRAGSPERPACKET;
  std::memset(&g_ipstat, 0, sizeof(g_ipstat));
  ip_id_init();
  ipintrq.ifq_maxlen = IFQ_MAXLEN;
  register_netisr(NETISR_IP, ip_queue_handler);
}

proto_switch* ip_proto_entry(int protocol) {
  if (protocol < 0 || protocol >= IPPROTO_MAX || inetdomain.dom_protosw == inetdomain.dom_protoswNPROTOSW)
    return nullptr;
  return &inetdomain.dom_protosw[g_ip.protox[protocol]];
}

void ip_queue_handler() {
  // The queue is taken whole under one hold of its lock, oldest first, and
  // again for what arrived meanwhile, until it is empty.
  while (mbuf* batch = if_dequeue_all(&ipintrq)) {
    while (mbuf* m = batch) {
      batch = m->m_nextpkt;
      m->m_nextpkt = nullptr;
      if (!(m->m_flags & M_PKTHDR) || m->mh.m_pkthdr.rcvif == nullptr ||
          m->mh.m_pkthdr.rcvif->if_signature != IFNET_SIGNATURE) {
        mbuf_free_chain(m);
        if_requeue_front(&ipintrq, batch);
        return;  // the rest waits for the next round
      }
      ip_input(m);
    }
  }
}

void ip_input(mbuf* m) {
  ++g_ipstat.ips_total;
  if (!(m->m_flags & M_PKTHDR) || m->mh.m_pkthdr.len < static_cast<std::int32_t>(sizeof(ip))) {
    ++g_ipstat.ips_tooshort;
    mbuf_free_chain(m);
    return;
  }
  if (m->m_len < static_cast<std::int32_t>(sizeof(ip))) {
    m = m_pullup(m, sizeof(ip));
    if (m == nullptr) {
      ++g_ipstat.ips_toosmall;
      return;
    }
  }
  ip* h = mtod<ip>(m);
  if (IP_VHL_V(h->ip_vhl) != IPVERSION) {
    ++g_ipstat.ips_badvers;
    mbuf_free_chain(m);
    return;
  }
  const int hlen = ip_hlen(h);
  if (hlen < static_cast<int>(sizeof(ip))) {
    ++g_ipstat.ips_badhlen;
    mbuf_free_chain(m);
    return;
  }
  if (hlen > m->m_len) {
    m = m_pullup(m, hlen);
    if (m == nullptr) {
      ++g_ipstat.ips_badhlen;
      return;
    }
    h = mtod<ip>(m);
  }
  ifnet* rcvif = m->mh.m_pkthdr.rcvif;
  const bool loopback_in = rcvif != nullptr && (rcvif->if_flags & IFF_LOOPBACK);
  if (!loopback_in && ((ntohl(h->ip_src.s_addr) >> 24) == 127 || (ntohl(h->ip_dst.s_addr) >> 24) == 127)) {
    ++g_ipstat.ips_badaddr;
    mbuf_free_chain(m);
    return;
  }
  const std::int32_t flags = m->mh.m_pkthdr.csum_flags;
  const bool bad_sum = (flags & CSUM_IP_CHECKED) ? !(flags & CSUM_IP_VALID) : in_cksum_bytes(h, hlen) != 0;
  if (bad_sum) {
    ++g_ipstat.ips_badsum;
    mbuf_free_chain(m);
    return;
  }
  h->ip_len = ntohs(h->ip_len);
  if (h->ip_len < hlen) {
    ++g_ipstat.ips_badlen;
    mbuf_free_chain(m);
    return;
  }
  h->ip_id = ntohs(h->ip_id);
  h->ip_off = ntohs(h->ip_off);
  if (m->mh.m_pkthdr.len < h->ip_len) {
    ++g_ipstat.ips_tooshort;
    mbuf_free_chain(m);
    return;
  }
  if (m->mh.m_pkthdr.len > h->ip_len) mbuf_trim(m, h->ip_len - m->mh.m_pkthdr.len);

  if (hlen > static_cast<int>(sizeof(ip)) && ip_process_options(m)) return;

  switch (accept_for_host(m, h)) {
    case Acceptance::Ours:
      break;
    case Acceptance::NotMember:
      ++g_ipstat.ips_notmember;
      mbuf_free_chain(m);
      return;
    case Acceptance::NotOurs:
      ++g_ipstat.ips_cantforward;
      mbuf_free_chain(m);
      return;
  }

  int off = hlen;
  if (h->ip_off & (IP_MF | IP_OFFMASK)) {
    if (g_ip.maxnipq == 0) {
      ++g_ipstat.ips_fragments;
      ++g_ipstat.ips_fragdropped;
      mbuf_free_chain(m);
      return;
    }
    const int bucket = bucket_of(h->ip_src.s_addr, h->ip_id);
    ipq* fp = g_ip.buckets[bucket];
    while (fp != nullptr &&
           !(fp->id == h->ip_id && fp->src == h->ip_src.s_addr && fp->dst == h->ip_dst.s_addr && fp->p == h->ip_p)) {
      fp = fp->next;
    }
    if (fp == nullptr && g_ip.nipq >= g_ip.maxnipq) evict_for(bucket);
    h->ip_len = static_cast<std::uint16_t>(h->ip_len - hlen);
    if (h->ip_off & IP_MF) {
      // Every fragment but the last carries a whole number of 8-byte units.
      if (h->ip_len == 0 || (h->ip_len & 7) != 0) {
        ++g_ipstat.ips_toosmall;
        mbuf_free_chain(m);
        return;
      }
      m->m_flags |= M_FRAG;
    } else {
      m->m_flags &= ~M_FRAG;
    }
    h->ip_off = static_cast<std::uint16_t>((h->ip_off & IP_OFFMASK) << 3);
    ++g_ipstat.ips_fragments;
    m = ip_reassemble(m, fp, bucket);
    if (m == nullptr) return;
    ++g_ipstat.ips_reassembled;
    h = mtod<ip>(m);
    off = ip_hlen(h);
  } else {
    h->ip_len = static_cast<std::uint16_t>(h->ip_len - hlen);
  }
  ++g_ipstat.ips_delivered;
  proto_switch* pr = &inetdomain.dom_protosw[g_ip.protox[h->ip_p]];
  if (pr->pr_input != nullptr) {
    pr->pr_input(m, off);
  } else {
    ++g_ipstat.ips_noproto;
    mbuf_free_chain(m);
  }
}

void ip_slow_timer() {
  for (ipq*& head : g_ip.buckets) {
    for (ipq* fp = head; fp != nullptr;) {
      ipq* next = fp->next;
      if (--fp->ttl == 0) {
        g_ipstat.ips_fragtimeout += fp->nfrags;
        reass_free(fp);
      }
      fp = next;
    }
  }
  for (int b = 0; b < IPREASS_NHASH && g_ip.nipq > g_ip.maxnipq; ++b) {
    while (g_ip.buckets[b] != nullptr && g_ip.nipq > g_ip.maxnipq) {
      g_ipstat.ips_fragdropped += g_ip.buckets[b]->nfrags;
      reass_free(g_ip.buckets[b]);
    }
  }
  ip_flow_slow_timer();
}

void ip_drain_queues() {
  for (ipq*& head : g_ip.buckets) {
    while (head != nullptr) {
      g_ipstat.ips_fragdropped += head->nfrags;
      reass_free(head);
    }
  }
  in_rtqdrain();
}

int ip_reass_queue_count() { return g_ip.nipq; }

void ip_stop() {
  unregister_netisr(NETISR_IP);
  for (ipq*& head : g_ip.buckets) {
    while (head != nullptr) reass_free(head);
  }
  ip_route_cache_release();
  ip_flow_stop();
}

}  // namespace zektcp
