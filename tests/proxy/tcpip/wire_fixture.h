// One Ethernet adapter interface of the stack on a test wire: what the
// stack sends is captured frame by frame, and the test plays the other
// hosts by putting frames on the wire (through Ethernet input and a round
// of the soft-interrupt thread). The adapter's own ARP table is a small
// table of the fixture's. Helpers build and read the frames.
#pragma once

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "proxy/tcpip/net/if_ether.h"
#include "proxy/tcpip/net/rtsock.h"
#include "proxy/tcpip/netinet/in.h"
#include "tests/proxy/tcpip/tcpip_fixture.h"

using Bytes = std::vector<std::uint8_t>;

struct Mac {
  std::uint8_t b[6];
  bool operator==(const Mac& o) const { return std::memcmp(b, o.b, 6) == 0; }
};

inline constexpr Mac kOurMac = {{0x02, 0x5A, 0x00, 0x00, 0x00, 0x01}};
inline constexpr Mac kPeerMac = {{0x02, 0x5A, 0x00, 0x00, 0x00, 0x02}};
inline constexpr Mac kBroadcastMac = {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
inline constexpr std::uint32_t kOurIp = ipv4(192, 0, 2, 1);
inline constexpr std::uint32_t kPeerIp = ipv4(192, 0, 2, 2);
inline constexpr std::uint32_t kNetmask = ipv4(255, 255, 255, 0);

// ---- Building packets (all fields given in host order) -------------------------------------------
inline void put16(Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v >> 8);
  b[at + 1] = static_cast<std::uint8_t>(v);
}
inline void put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}
inline std::uint16_t get16(const Bytes& b, std::size_t at) {
  return static_cast<std::uint16_t>((b.at(at) << 8) | b.at(at + 1));
}
inline std::uint32_t get32(const Bytes& b, std::size_t at) {
  return (static_cast<std::uint32_t>(get16(b, at)) << 16) | get16(b, at + 2);
}

// The Internet checksum of bytes, as the 16-bit value to write big-endian.
inline std::uint16_t cksum(const Bytes& b, std::size_t from, std::size_t len, std::uint32_t seed = 0) {
  std::uint64_t sum = seed;
  for (std::size_t i = 0; i < len; i += 2) {
    sum += static_cast<std::uint32_t>(b[from + i] << 8) | (i + 1 < len ? b[from + i + 1] : 0);
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

inline Bytes ether(const Mac& dst, const Mac& src, std::uint16_t type, const Bytes& payload) {
  Bytes f(14);
  std::memcpy(f.data(), dst.b, 6);
  std::memcpy(f.data() + 6, src.b, 6);
  put16(f, 12, type);
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}

struct IpFields {
  std::uint32_t src = kPeerIp;
  std::uint32_t dst = kOurIp;
  std::uint8_t proto = 17;
  std::uint8_t ttl = 64;
  std::uint16_t id = 1;
  std::uint16_t off = 0;  // flags and fragment offset (in 8-byte units)
  std::uint8_t tos = 0;
  Bytes options;       // padded by the caller to a multiple of 4
  int total_len = -1;  // -1: the real length
  int version = 4;
  int hlen_words = -1;  // -1: from the options
  bool bad_sum = false;
};

inline Bytes ipv4_packet(const IpFields& f, const Bytes& payload) {
  const std::size_t hlen = 20 + f.options.size();
  Bytes p(hlen);
  const int hwords = f.hlen_words >= 0 ? f.hlen_words : static_cast<int>(hlen / 4);
  p[0] = static_cast<std::uint8_t>((f.version << 4) | (hwords & 0xF));
  p[1] = f.tos;
  put16(p, 2, static_cast<std::uint16_t>(f.total_len >= 0 ? f.total_len : static_cast<int>(hlen + payload.size())));
  put16(p, 4, f.id);
  put16(p, 6, f.off);
  p[8] = f.ttl;
  p[9] = f.proto;
  put32(p, 12, f.src);
  put32(p, 16, f.dst);
  std::copy(f.options.begin(), f.options.end(), p.begin() + 20);
  std::uint16_t sum = cksum(p, 0, hlen);
  if (f.bad_sum) sum ^= 0x5555;
  put16(p, 10, sum);
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

inline Bytes udp_datagram(std::uint32_t src, std::uint32_t dst, std::uint16_t sport, std::uint16_t dport,
                          const Bytes& data, bool with_sum = true) {
  Bytes u(8);
  put16(u, 0, sport);
  put16(u, 2, dport);
  put16(u, 4, static_cast<std::uint16_t>(8 + data.size()));
  u.insert(u.end(), data.begin(), data.end());
  if (with_sum) {
    const std::uint32_t pseudo = (src >> 16) + (src & 0xFFFF) + (dst >> 16) + (dst & 0xFFFF) + 17 + u.size();
    std::uint16_t sum = cksum(u, 0, u.size(), pseudo);
    if (sum == 0) sum = 0xFFFF;
    put16(u, 6, sum);
  }
  return u;
}

inline Bytes icmp_message(std::uint8_t type, std::uint8_t code, std::uint32_t rest, const Bytes& data) {
  Bytes m(8 + data.size());
  m[0] = type;
  m[1] = code;
  put32(m, 4, rest);
  std::copy(data.begin(), data.end(), m.begin() + 8);
  put16(m, 2, cksum(m, 0, m.size()));
  return m;
}

inline Bytes arp_packet(std::uint16_t op, const Mac& sha, std::uint32_t spa, const Mac& tha, std::uint32_t tpa,
                        std::uint16_t hrd = 1) {
  Bytes a(28);
  put16(a, 0, hrd);
  put16(a, 2, 0x0800);
  a[4] = 6;
  a[5] = 4;
  put16(a, 6, op);
  std::memcpy(a.data() + 8, sha.b, 6);
  put32(a, 14, spa);
  std::memcpy(a.data() + 18, tha.b, 6);
  put32(a, 24, tpa);
  return a;
}

// ---- Reading frames -----------------------------------------------------------------------------
struct Frame {
  Bytes bytes;
  Mac dst() const {
    Mac m;
    std::memcpy(m.b, bytes.data(), 6);
    return m;
  }
  Mac src() const {
    Mac m;
    std::memcpy(m.b, bytes.data() + 6, 6);
    return m;
  }
  std::uint16_t type() const { return get16(bytes, 12); }
  bool is_ip() const { return type() == 0x0800; }
  bool is_arp() const { return type() == 0x0806; }
  // IPv4 fields (the IP header starts at 14).
  std::size_t ip_hlen() const { return (bytes.at(14) & 0xF) * 4u; }
  std::uint8_t proto() const { return bytes.at(23); }
  std::uint32_t ip_src() const { return get32(bytes, 26); }
  std::uint32_t ip_dst() const { return get32(bytes, 30); }
  std::uint16_t ip_len() const { return get16(bytes, 16); }
  std::uint16_t ip_id() const { return get16(bytes, 18); }
  std::uint16_t ip_off() const { return get16(bytes, 20); }
  std::uint8_t ttl() const { return bytes.at(22); }
  std::size_t l4() const { return 14 + ip_hlen(); }
  bool ip_sum_ok() const { return cksum(bytes, 14, ip_hlen()) == 0; }
  Bytes l4_bytes() const { return Bytes(bytes.begin() + static_cast<long>(l4()), bytes.begin() + 14 + ip_len()); }
  // ARP fields.
  std::uint16_t arp_op() const { return get16(bytes, 20); }
  std::uint32_t arp_spa() const { return get32(bytes, 28); }
  std::uint32_t arp_tpa() const { return get32(bytes, 38); }
  Mac arp_sha() const {
    Mac m;
    std::memcpy(m.b, bytes.data() + 22, 6);
    return m;
  }
  Mac arp_tha() const {
    Mac m;
    std::memcpy(m.b, bytes.data() + 32, 6);
    return m;
  }
};

// ---- The adapter and its fixture ----------------------------------------------------------------
struct TestAdapter {
  zektcp::arpcom ac{};
  std::deque<Frame> sent;
  bool refuse_transmit = false;  // the driver has no transmit buffer
  int start_calls = 0;
  // The adapter's ARP table: address (host order), MAC; capacity and refusals.
  struct ArpSlot {
    std::uint32_t ip;
    Mac mac;
  };
  std::vector<ArpSlot> arp_table;
  std::size_t arp_capacity = 16;
  bool refuse_add = false;
  int adds = 0;
  int deletes = 0;
  std::vector<std::uint32_t> deleted;
};

class WireTest : public TcpipTest {
 protected:
  zektcp::TcpipConfig config() override {
    zektcp::TcpipConfig c = TcpipTest::config();
    c.mbufs.mbufs = 1024;
    c.mbufs.clusters = 256;
    c.sockets = 32;
    return c;
  }

  void SetUp() override {
    TcpipTest::SetUp();
    if (HasFatalFailure()) return;
    attach(&adapter_, kOurMac, 0);
    ASSERT_EQ(add_address(&adapter_, kOurIp, kNetmask), 0);
    adapter_.sent.clear();  // the announcement of the address
  }

  void TearDown() override {
    if (started_) {
      {
        BdcLocked lock;
        for (zektcp::socket* so : sockets_) {
          if (zektcp::socket_is_live(so) && !(so->so_state & zektcp::SS_NOFDREF)) zektcp::soclose(so);
        }
        for (TestAdapter* a : attached_) zektcp::iface_detach(&a->ac.ac_if);
      }
      softint_round_now();
    }
    sockets_.clear();
    TcpipTest::TearDown();
  }

  // ---- The driver side ---------------------------------------------------------------------------
  static TestAdapter* adapter_of(zektcp::ifnet* ifp) { return reinterpret_cast<TestAdapter*>(ifp); }

  static int start(zektcp::ifnet* ifp) {
    TestAdapter* a = adapter_of(ifp);
    ++a->start_calls;
    if (a->refuse_transmit) return 0;
    while (zektcp::mbuf* m = zektcp::if_dequeue(&ifp->if_snd)) {
      Frame f;
      f.bytes.resize(static_cast<std::size_t>(m->mh.m_pkthdr.len));
      zektcp::m_copydata(m, 0, m->mh.m_pkthdr.len, f.bytes.data());
      zektcp::mbuf_free_chain(m);
      ++ifp->if_data.ifi_opackets;
      a->sent.push_back(std::move(f));
    }
    return 1;
  }

  static std::uint32_t add_arp(void* ctx, const std::uint8_t* mac, std::uint32_t ip, std::uint32_t, std::uint8_t) {
    auto* a = static_cast<TestAdapter*>(ctx);
    ++a->adds;
    if (a->refuse_add) return 0xFFFFFFFF;
    for (const auto& s : a->arp_table) {
      if (s.ip == ip) return 0xFFFFFFFF;
    }
    // The miniport's rule: a full table answers 0, as does index 0.
    if (a->arp_table.size() >= a->arp_capacity) return 0;
    Mac m;
    std::memcpy(m.b, mac, 6);
    a->arp_table.push_back({ip, m});
    return static_cast<std::uint32_t>(a->arp_table.size() - 1);
  }

  static std::uint32_t del_arp(void* ctx, std::uint32_t ip) {
    auto* a = static_cast<TestAdapter*>(ctx);
    ++a->deletes;
    a->deleted.push_back(ip);
    for (auto it = a->arp_table.begin(); it != a->arp_table.end(); ++it) {
      if (it->ip == ip) {
        a->arp_table.erase(it);
        return 1;
      }
    }
    return 0;
  }

  static std::uint32_t arp_index(void* ctx, std::uint32_t ip, std::uint32_t* index) {
    auto* a = static_cast<TestAdapter*>(ctx);
    for (std::size_t i = 0; i < a->arp_table.size(); ++i) {
      if (a->arp_table[i].ip == ip) {
        *index = static_cast<std::uint32_t>(i);
        return 0;
      }
    }
    return 1;
  }

  void attach(TestAdapter* a, const Mac& mac, std::uint16_t unit) {
    a->ac.ac_if.if_softc = &a->ac.ac_if;
    a->ac.ac_if.if_name = "ZEK";
    a->ac.ac_if.if_unit = unit;
    a->ac.ac_if.if_start = start;
    a->ac.ac_if.if_flags = zektcp::IFF_RUNNING;
    a->ac.ac_context = a;
    a->ac.ac_add_arp = add_arp;
    a->ac.ac_del_arp = del_arp;
    a->ac.ac_arp_index = arp_index;
    BdcLocked lock;
    ASSERT_EQ(zektcp::ether_ifattach(&a->ac, mac.b), 0);
    attached_.push_back(a);
  }

  static int add_address(TestAdapter* a, std::uint32_t address, std::uint32_t mask) {
    zektcp::ifaliasreq req{};
    zektcp::iface_full_name(&a->ac.ac_if, req.ifra_name);
    const zektcp::sockaddr_in sin = zektcp::make_sockaddr_in(address);
    const zektcp::sockaddr_in m = zektcp::make_sockaddr_in(mask);
    std::memcpy(&req.ifra_addr, &sin, sizeof(sin));
    std::memcpy(&req.ifra_mask, &m, sizeof(m));
    BdcLocked lock;
    return zektcp::in_control(nullptr, zektcp::SIOCAIFADDR, &req, &a->ac.ac_if, nullptr);
  }

  zektcp::ifnet* ifp() { return &adapter_.ac.ac_if; }

  // ---- The wire ----------------------------------------------------------------------------------
  static void softint_round_now() { zektcp::softint_round(); }

  // A frame arrives (through Ethernet input, as the driver's receive path
  // hands it over) and the stack processes it.
  void inject(const Bytes& frame, TestAdapter* a = nullptr) {
    queue_frame(frame, a);
    softint_round_now();
  }

  void queue_frame(const Bytes& frame, TestAdapter* a = nullptr) {
    if (a == nullptr) a = &adapter_;
    ASSERT_GE(frame.size(), 14u);
    zektcp::mbuf* m =
        zektcp::mbuf_from_bytes(frame.data(), static_cast<int>(frame.size()), &a->ac.ac_if, zektcp::M_DONTWAIT);
    ASSERT_NE(m, nullptr);
    zektcp::ether_header eh;
    std::memcpy(&eh, frame.data(), sizeof(eh));
    zektcp::mbuf_trim(m, zektcp::ETHER_HDR_LEN);
    zektcp::AcquireInputLock();
    zektcp::ether_if_input(&a->ac.ac_if, &eh, m);
    zektcp::ReleaseInputLock();
  }

  void inject_ip(const IpFields& f, const Bytes& payload, const Mac& dst = kOurMac) {
    inject(ether(dst, kPeerMac, 0x0800, ipv4_packet(f, payload)));
  }

  // The peer answers our ARP request (or announces itself).
  void peer_arp_reply(const Mac& mac = kPeerMac, std::uint32_t ip = kPeerIp) {
    inject(ether(kOurMac, mac, 0x0806, arp_packet(2, mac, ip, kOurMac, kOurIp)));
  }

  // The frames sent so far that match, taken off the capture.
  std::vector<Frame> take(const std::function<bool(const Frame&)>& match = nullptr, TestAdapter* a = nullptr) {
    if (a == nullptr) a = &adapter_;
    std::vector<Frame> out;
    for (auto it = a->sent.begin(); it != a->sent.end();) {
      if (!match || match(*it)) {
        out.push_back(*it);
        it = a->sent.erase(it);
      } else {
        ++it;
      }
    }
    return out;
  }

  static bool arp_request_for(const Frame& f, std::uint32_t target) {
    return f.is_arp() && f.arp_op() == 1 && f.arp_tpa() == target;
  }

  // ---- Sockets -----------------------------------------------------------------------------------
  zektcp::socket* make_socket(int type, int proto = 0) {
    zektcp::socket* so = nullptr;
    BdcLocked lock;
    EXPECT_EQ(zektcp::create_socket(zektcp::AF_INET, &so, type, proto, zektcp::stack_process()), 0);
    if (so != nullptr) sockets_.push_back(so);
    return so;
  }

  void close_socket(zektcp::socket* so) {
    BdcLocked lock;
    zektcp::soclose(so);
  }

  static int bind(zektcp::socket* so, std::uint32_t address, std::uint16_t port) {
    zektcp::sockaddr_in sin = zektcp::make_sockaddr_in(address, port);
    BdcLocked lock;
    return so->so_proto->pr_usrreqs->pru_bind(so, reinterpret_cast<zektcp::sockaddr*>(&sin), zektcp::stack_process());
  }

  static int connect(zektcp::socket* so, std::uint32_t address, std::uint16_t port) {
    zektcp::sockaddr_in sin = zektcp::make_sockaddr_in(address, port);
    BdcLocked lock;
    return so->so_proto->pr_usrreqs->pru_connect(so, reinterpret_cast<zektcp::sockaddr*>(&sin),
                                                 zektcp::stack_process());
  }

  static int set_option(zektcp::socket* so, int level, int name, const void* value, std::size_t size) {
    zektcp::sockopt opt{zektcp::SOPT_SET, level, name, const_cast<void*>(value), size, zektcp::stack_process()};
    BdcLocked lock;
    return zektcp::set_socket_option(so, &opt);
  }

  static int send_to(zektcp::socket* so, const Bytes& data, std::uint32_t address = 0, std::uint16_t port = 0) {
    Bytes copy = data;
    zektcp::iovec iov{copy.data(), copy.size()};
    zektcp::uio u{&iov, 1, 0, static_cast<std::int64_t>(copy.size()), zektcp::UIO_SYSSPACE, zektcp::UIO_WRITE, nullptr};
    zektcp::sockaddr_in sin = zektcp::make_sockaddr_in(address, port);
    BdcLocked lock;
    return zektcp::send_on_socket(so, address != 0 ? reinterpret_cast<zektcp::sockaddr*>(&sin) : nullptr, &u, nullptr,
                                  nullptr, 0, zektcp::stack_process());
  }

  struct Received {
    int error = 0;
    Bytes data;
    std::uint32_t from = 0;
    std::uint16_t port = 0;
    int flags = 0;
  };

  // A non-blocking receive.
  static Received receive(zektcp::socket* so, std::size_t max = 70000) {
    Received r;
    r.data.resize(max);
    zektcp::iovec iov{r.data.data(), r.data.size()};
    zektcp::uio u{&iov, 1, 0, static_cast<std::int64_t>(max), zektcp::UIO_SYSSPACE, zektcp::UIO_READ, nullptr};
    zektcp::sockaddr* from = nullptr;
    int flags = zektcp::MSG_DONTWAIT;
    {
      BdcLocked lock;
      r.error = zektcp::receive_on_socket(so, &from, &u, nullptr, nullptr, &flags);
    }
    r.flags = flags;
    r.data.resize(max - static_cast<std::size_t>(u.uio_resid));
    if (from != nullptr) {
      const auto* sin = reinterpret_cast<const zektcp::sockaddr_in*>(from);
      r.from = zektcp::ntohl(sin->sin_addr.s_addr);
      r.port = zektcp::ntohs(sin->sin_port);
      OSPrimMemFreePtr(from);
    }
    return r;
  }

  static Bytes text(std::size_t n, std::uint8_t seed = 0) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i * 31 + seed) & 0xFF);
    return b;
  }

  TestAdapter adapter_;
  std::vector<TestAdapter*> attached_;
  std::vector<zektcp::socket*> sockets_;
};
