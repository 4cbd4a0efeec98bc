// Two TCP endpoints of the one stack, each behind its own point-to-point
// interface ("pa0" 192.0.2.1 <-> "pb0" 192.0.2.2): what one interface sends
// is put on a wire and delivered, possibly impaired, as received on the
// other. The wire is seeded: it drops, duplicates, reorders and delays
// packets by chance, the same way on every run, and the clock the owner
// moves (`tick_clock`) drives every TCP timer. No test framework: the
// GoogleTest fixture and the benchmarks share it.
#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "proxy/tcpip/kern/kern.h"
#include "proxy/tcpip/net/if.h"
#include "proxy/tcpip/netinet/in.h"
#include "proxy/tcpip/netinet/tcp_var.h"
#include "proxy/tcpip/socket/mbuf.h"
#include "proxy/tcpip/socket/socket.h"
#include "proxy/tcpip/stack.h"
#include "tests/proxy/tcpip/bdc_locked.h"
#include "tests/proxy/tcpip/packets.h"

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint32_t kHostA = ipv4(192, 0, 2, 1);
inline constexpr std::uint32_t kHostB = ipv4(192, 0, 2, 2);

struct WireImpairment {
  double loss = 0;       // chance a packet is lost
  double duplicate = 0;  // chance it arrives twice
  double reorder = 0;    // chance it is held back behind the next ones
  int max_delay_ticks = 0;
  std::uint32_t seed = 1;
};

// A packet on the wire, as the IP layer sent it.
struct WirePacket {
  Bytes bytes;
  int to = 0;  // 0: arrives on pa0, 1: on pb0
  std::int64_t due = 0;
};

// Socket calls that never block (the caller also runs the wire).
// A non-blocking send of as much as fits, to `to` where given; the bytes
// taken (0 on an error other than "would block").
inline std::size_t socket_send_some(zektcp::socket* so, const void* data, std::size_t len, int flags = 0,
                                    const zektcp::sockaddr_in* to = nullptr) {
  // The stack only reads what it sends.
  zektcp::iovec iov{const_cast<void*>(data), len};
  zektcp::uio u{&iov, 1, 0, static_cast<std::int64_t>(len), zektcp::UIO_SYSSPACE, zektcp::UIO_WRITE, nullptr};
  zektcp::sockaddr_in dst{};
  if (to != nullptr) dst = *to;
  BdcLocked lock;
  const std::int16_t saved = so->so_state;
  so->so_state |= zektcp::SS_NBIO;
  const int error = zektcp::send_on_socket(so, to != nullptr ? reinterpret_cast<zektcp::sockaddr*>(&dst) : nullptr, &u,
                                           nullptr, nullptr, flags, zektcp::stack_process());
  so->so_state = static_cast<std::int16_t>((so->so_state & ~zektcp::SS_NBIO) | (saved & zektcp::SS_NBIO));
  if (error != 0 && error != zektcp::BSD_EWOULDBLOCK) return 0;
  return len - static_cast<std::size_t>(u.uio_resid);
}

// A non-blocking receive into `buffer`: the bytes received, and the error
// (0, or the socket's).
inline std::size_t socket_receive_into(zektcp::socket* so, void* buffer, std::size_t max, int* error = nullptr,
                                       int flags = 0) {
  zektcp::iovec iov{buffer, max};
  zektcp::uio u{&iov, 1, 0, static_cast<std::int64_t>(max), zektcp::UIO_SYSSPACE, zektcp::UIO_READ, nullptr};
  int f = zektcp::MSG_DONTWAIT | flags;
  int e;
  {
    BdcLocked lock;
    e = zektcp::receive_on_socket(so, nullptr, &u, nullptr, nullptr, &f);
  }
  if (error != nullptr) *error = e;
  return max - static_cast<std::size_t>(u.uio_resid);
}

inline std::size_t tcp_send_some(zektcp::socket* so, const std::uint8_t* data, std::size_t len, int flags = 0) {
  return socket_send_some(so, data, len, flags);
}

// A non-blocking receive of at most `max` bytes.
inline Bytes tcp_receive_some(zektcp::socket* so, int* error = nullptr, std::size_t max = 1 << 20, int flags = 0) {
  Bytes out(max);
  out.resize(socket_receive_into(so, out.data(), max, error, flags));
  return out;
}

class TcpPair {
 public:
  virtual ~TcpPair() = default;

 protected:
  // The pair's stack configuration: pools for a megabyte in flight.
  static zektcp::TcpipConfig pair_config(zektcp::TcpipConfig c) {
    c.mbufs.mbufs = 4096;
    c.mbufs.clusters = 1024;
    c.sockets = 64;
    return c;
  }

  // Moves the clock by whole stack ticks and runs what fell due.
  virtual void tick_clock(std::int64_t ticks) = 0;
  // Something the pair cannot go on from.
  virtual void pair_failure(const std::string& what) = 0;

  // Both interfaces up with their addresses.
  bool open_pair() {
    self_ = this;
    return attach(0, "pa", kHostA, kHostB) && attach(1, "pb", kHostB, kHostA);
  }

  // Closes what the pair's owner left open and takes the interfaces down.
  void close_pair() {
    {
      BdcLocked lock;
      for (zektcp::socket* so : sockets_) {
        if (zektcp::socket_is_live(so) && !(so->so_state & zektcp::SS_NOFDREF)) zektcp::soclose(so);
      }
      for (auto& i : ifs_) {
        if (i.if_signature == zektcp::IFNET_SIGNATURE) zektcp::iface_detach(&i);
      }
    }
    zektcp::softint_round();
    sockets_.clear();
    self_ = nullptr;
  }

  // ---- The interfaces and the wire -----------------------------------------------------------
  static int ptp_output(zektcp::ifnet* ifp, zektcp::mbuf* m, zektcp::sockaddr*, zektcp::rtentry*) {
    WirePacket p;
    if (!self_->spare_.empty()) {
      // A delivered packet's buffer again: no allocation per packet.
      p.bytes = std::move(self_->spare_.back());
      self_->spare_.pop_back();
    }
    p.bytes.resize(static_cast<std::size_t>(m->mh.m_pkthdr.len));
    zektcp::m_copydata(m, 0, m->mh.m_pkthdr.len, p.bytes.data());
    zektcp::mbuf_free_chain(m);
    p.to = ifp == &self_->ifs_[0] ? 1 : 0;
    self_->sent_.push_back(std::move(p));
    return 0;
  }

  static int ptp_ioctl(zektcp::ifnet* ifp, std::uint32_t cmd, void*) {
    if (cmd == zektcp::SIOCSIFADDR) {
      ifp->if_flags |= zektcp::IFF_UP | zektcp::IFF_RUNNING;
      ifp->if_xflags |= zektcp::IFF_UP | zektcp::IFF_RUNNING;
      return 0;
    }
    return cmd == zektcp::SIOCSIFFLAGS ? 0 : zektcp::BSD_EINVAL;
  }

  bool attach(int i, const char* name, std::uint32_t local, std::uint32_t remote) {
    zektcp::ifnet* ifp = &ifs_[i];
    *ifp = zektcp::ifnet{};
    ifp->if_softc = ifp;
    ifp->if_name = name;
    ifp->if_flags = zektcp::IFF_POINTOPOINT | zektcp::IFF_MULTICAST;
    ifp->if_data.ifi_type = 1;  // other
    ifp->if_data.ifi_mtu = 1500;
    ifp->if_snd.ifq_maxlen = 512;
    ifp->if_output = ptp_output;
    ifp->if_ioctl = ptp_ioctl;
    ifp->if_signature = zektcp::IFNET_SIGNATURE;
    BdcLocked lock;
    if (zektcp::if_attach(ifp) != 0) return false;
    zektcp::ifaliasreq req{};
    zektcp::iface_full_name(ifp, req.ifra_name);
    const zektcp::sockaddr_in a = zektcp::make_sockaddr_in(local);
    const zektcp::sockaddr_in d = zektcp::make_sockaddr_in(remote);
    std::memcpy(&req.ifra_addr, &a, sizeof(a));
    std::memcpy(&req.ifra_broadaddr, &d, sizeof(d));
    return zektcp::in_control(nullptr, zektcp::SIOCAIFADDR, &req, ifp, nullptr) == 0;
  }

  void set_impairment(const WireImpairment& w) {
    impair_ = w;
    rng_.seed(w.seed);
  }

  // Puts what was sent on the wire (with the impairments) and delivers
  // what is due, until nothing more is on its way now.
  void pump() {
    std::uniform_real_distribution<double> coin(0, 1);
    for (int round = 0; round < 10000; ++round) {
      while (!sent_.empty()) {
        WirePacket p = std::move(sent_.front());
        sent_.pop_front();
        if (tap_) tap_(p);
        ++packets_;
        if (drop_ && drop_(p)) continue;
        if (impair_.loss > 0 && coin(rng_) < impair_.loss) continue;
        p.due = now_;
        if (impair_.max_delay_ticks > 0) p.due += static_cast<std::int64_t>(coin(rng_) * impair_.max_delay_ticks);
        if (impair_.reorder > 0 && coin(rng_) < impair_.reorder) p.due += 1;
        if (impair_.duplicate > 0 && coin(rng_) < impair_.duplicate) wire_.push_back(p);
        wire_.push_back(std::move(p));
      }
      bool delivered = false;
      // Delivered under the stack input lock, as an adapter's receive path
      // delivers: the input runs when the lock is released.
      zektcp::AcquireInputLock();
      for (auto it = wire_.begin(); it != wire_.end();) {
        if (it->due > now_) {
          ++it;
          continue;
        }
        deliver(*it);
        if (spare_.size() < kSpareBuffers) spare_.push_back(std::move(it->bytes));
        it = wire_.erase(it);
        delivered = true;
      }
      zektcp::ReleaseInputLock();
      if (delivered) zektcp::softint_round();
      if (sent_.empty() && !delivered) return;
    }
    pair_failure("the wire never went quiet");
  }

  void deliver(const WirePacket& p) {
    zektcp::mbuf* m =
        zektcp::mbuf_from_bytes(p.bytes.data(), static_cast<int>(p.bytes.size()), &ifs_[p.to], zektcp::M_DONTWAIT);
    if (m == nullptr) {
      ++pool_short_;
      return;  // the pool is short: as good as lost
    }
    if (zektcp::if_enqueue(&zektcp::ipintrq, m) != 0) {
      zektcp::mbuf_free_chain(m);
      return;
    }
    zektcp::schednetisr(zektcp::NETISR_IP);
  }

  // Runs the wire and the clock until `done` holds, for at most `ticks`.
  bool run_until(const std::function<bool()>& done, std::int64_t ticks = 60 * 100) {
    for (std::int64_t t = 0; t <= ticks; ++t) {
      pump();
      if (done()) return true;
      tick_clock(1);
      ++now_;
    }
    pump();
    return done();
  }

  void run_ticks(std::int64_t ticks) {
    run_until([] { return false; }, ticks);
  }

  // ---- Sockets -----------------------------------------------------------------------------------
  zektcp::socket* make_socket(int type = zektcp::SOCK_STREAM, int protocol = 0) {
    zektcp::socket* so = nullptr;
    BdcLocked lock;
    if (zektcp::create_socket(zektcp::AF_INET, &so, type, protocol, zektcp::stack_process()) != 0) {
      pair_failure("no socket");
    }
    if (so != nullptr) sockets_.push_back(so);
    return so;
  }

  static int bind(zektcp::socket* so, std::uint32_t address, std::uint16_t port) {
    zektcp::sockaddr_in sin = zektcp::make_sockaddr_in(address, port);
    BdcLocked lock;
    return so->so_proto->pr_usrreqs->pru_bind(so, reinterpret_cast<zektcp::sockaddr*>(&sin), zektcp::stack_process());
  }

  zektcp::socket* listener(std::uint32_t address, std::uint16_t port, int backlog = 8) {
    zektcp::socket* so = make_socket();
    if (so == nullptr) return nullptr;
    if (const int e = bind(so, address, port); e != 0)
      pair_failure("listener: bind failed, error " + std::to_string(e));
    BdcLocked lock;
    if (so->so_proto->pr_usrreqs->pru_listen(so, zektcp::stack_process()) != 0) pair_failure("listener: listen failed");
    so->so_options |= zektcp::SO_ACCEPTCONN;
    so->so_qlimit = static_cast<std::int16_t>(backlog);
    return so;
  }

  static int connect(zektcp::socket* so, std::uint32_t address, std::uint16_t port) {
    zektcp::sockaddr_in sin = zektcp::make_sockaddr_in(address, port);
    BdcLocked lock;
    return so->so_proto->pr_usrreqs->pru_connect(so, reinterpret_cast<zektcp::sockaddr*>(&sin),
                                                 zektcp::stack_process());
  }

  // The first completed connection of a listener, or null.
  zektcp::socket* accept(zektcp::socket* head) {
    BdcLocked lock;
    zektcp::socket* so = head->so_comp;
    if (so == nullptr) return nullptr;
    zektcp::soqremque(so, 1);
    so->so_state &= ~zektcp::SS_NOFDREF;
    sockets_.push_back(so);
    return so;
  }

  zektcp::socket* accept_within(zektcp::socket* head, std::int64_t ticks = 10 * 100) {
    zektcp::socket* so = nullptr;
    run_until([&] { return (so = accept(head)) != nullptr; }, ticks);
    return so;
  }

  static std::size_t send_some(zektcp::socket* so, const std::uint8_t* data, std::size_t len, int flags = 0) {
    return tcp_send_some(so, data, len, flags);
  }
  static Bytes receive_some(zektcp::socket* so, int* error = nullptr, std::size_t max = 1 << 20, int flags = 0) {
    return tcp_receive_some(so, error, max, flags);
  }

  void shutdown(zektcp::socket* so) {
    BdcLocked lock;
    so->so_proto->pr_usrreqs->pru_shutdown(so);
  }

  void close(zektcp::socket* so) {
    BdcLocked lock;
    zektcp::soclose(so);
  }

  static std::uint32_t state(zektcp::socket* so) {
    BdcLocked lock;
    zektcp::tcp_ctl_block* tp = zektcp::socket_is_live(so) ? zektcp::sototcpcb(so) : nullptr;
    return tp != nullptr ? tp->conn_state : zektcp::TCPS_CLOSED;
  }

  // Moves `data` from one socket to the other and `back` the other way at
  // the same time, reading everything each side receives.
  void exchange(zektcp::socket* a, zektcp::socket* b, const Bytes& data, const Bytes& back, Bytes* got_b, Bytes* got_a,
                std::int64_t ticks = 600 * 100) {
    std::size_t sent_a = 0, sent_b = 0;
    run_until(
        [&] {
          if (sent_a < data.size()) sent_a += send_some(a, data.data() + sent_a, data.size() - sent_a);
          if (sent_b < back.size()) sent_b += send_some(b, back.data() + sent_b, back.size() - sent_b);
          const Bytes rb = receive_some(b);
          got_b->insert(got_b->end(), rb.begin(), rb.end());
          const Bytes ra = receive_some(a);
          got_a->insert(got_a->end(), ra.begin(), ra.end());
          return got_b->size() >= data.size() && got_a->size() >= back.size();
        },
        ticks);
  }

  static Bytes pattern(std::size_t n, std::uint32_t seed) {
    Bytes b(n);
    std::mt19937 r(seed);
    for (auto& x : b) x = static_cast<std::uint8_t>(r());
    return b;
  }

  static inline TcpPair* self_ = nullptr;
  std::array<zektcp::ifnet, 2> ifs_{};
  std::deque<WirePacket> sent_;
  std::deque<WirePacket> wire_;
  WireImpairment impair_;
  std::mt19937 rng_;
  std::int64_t now_ = 0;
  std::uint64_t packets_ = 0;
  std::uint64_t pool_short_ = 0;
  static constexpr std::size_t kSpareBuffers = 1024;
  std::vector<Bytes> spare_;  // buffers of delivered packets, for the next ones
  std::function<void(const WirePacket&)> tap_;
  std::function<bool(const WirePacket&)> drop_;  // a packet it selects is lost
  std::vector<zektcp::socket*> sockets_;
};
