// The socket layer, driven directly over a small test protocol that joins
// two sockets: pool, options, buffers, send and receive, queues and close.
#include <cstring>
#include <numeric>
#include <string>

#include "tests/proxy/tcpip/tcpip_fixture.h"

namespace {

using namespace zektcp;

// ---- The test protocol: a pair of sockets -----------------------------------------------------
struct PairPcb {
  bool used;
  socket* peer;
};
PairPcb g_pcbs[64];
bool g_hold_sends;  // sends stay in the sender's buffer (as unacknowledged data)

PairPcb* pcb_of(socket* so) { return static_cast<PairPcb*>(so->so_pcb); }

int pair_attach(socket* so, int, process*) {
  for (PairPcb& p : g_pcbs) {
    if (!p.used) {
      p = PairPcb{true, nullptr};
      so->so_pcb = &p;
      return reserve_socket_buffers(so, 4096, 4096);
    }
  }
  return BSD_ENOBUFS;
}

void unlink_pcb(socket* so) {
  PairPcb* pcb = pcb_of(so);
  if (pcb == nullptr) return;
  if (pcb->peer != nullptr) {
    if (PairPcb* other = pcb_of(pcb->peer)) other->peer = nullptr;
    mark_socket_disconnected(pcb->peer);
  }
  *pcb = PairPcb{};
  so->so_pcb = nullptr;
}

int pair_detach(socket* so) {
  unlink_pcb(so);
  return 0;
}

// As a real protocol aborts: the control block goes and the socket layer
// frees the socket if nothing else refers to it.
int pair_abort(socket* so) {
  unlink_pcb(so);
  sofree(so);
  return 0;
}

int pair_connect2(socket* a, socket* b) {
  pcb_of(a)->peer = b;
  pcb_of(b)->peer = a;
  mark_socket_connected(a);
  mark_socket_connected(b);
  return 0;
}

int pair_disconnect(socket* so) {
  mark_socket_disconnected(so);
  return 0;
}

int pair_send(socket* so, int, mbuf* m, sockaddr* addr, mbuf* control, process*) {
  mbuf_free_chain(control);
  if (g_hold_sends) {
    append_to_socket_buffer(&so->so_snd, m);
    return 0;
  }
  socket* peer = pcb_of(so) != nullptr ? pcb_of(so)->peer : nullptr;
  if (peer == nullptr) {
    mbuf_free_chain(m);
    return BSD_ENOTCONN;
  }
  if (so->so_proto->pr_flags & PR_ADDR) {
    sockaddr_in from = make_sockaddr_in(0x7F000001, 9);
    if (!sbappendaddr(&peer->so_rcv, reinterpret_cast<sockaddr*>(&from), m, nullptr)) {
      mbuf_free_chain(m);
      return BSD_ENOBUFS;
    }
  } else {
    append_to_socket_buffer(&peer->so_rcv, m);
  }
  wake_socket_readers(peer);
  return 0;
}

int pair_poll(socket* so, int events, ucred* cred, process*) { return poll_socket(so, events, cred, nullptr); }

user_req_table g_pair_reqs = {
    pair_abort,  nullptr,         pair_attach, nullptr,        nullptr,           pair_connect2, nullptr,
    pair_detach, pair_disconnect, nullptr,     nullptr,        nullptr,           nullptr,       pair_send,
    nullptr,     nullptr,         nullptr,     send_on_socket, receive_on_socket, pair_poll,
};

proto_switch g_pair_sw[] = {
    {SOCK_STREAM, nullptr, 1, PR_CONNREQUIRED, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
     nullptr, &g_pair_reqs},
    {SOCK_DGRAM, nullptr, 2, PR_ATOMIC | PR_ADDR, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
     nullptr, nullptr, &g_pair_reqs},
};
domain g_pair_domain = {AF_LOCAL, "pair", nullptr, nullptr, nullptr, g_pair_sw, g_pair_sw + 2, nullptr, nullptr, 0, 0};

class SocketTest : public TcpipTest {
 protected:
  void SetUp() override {
    TcpipTest::SetUp();
    for (PairPcb& p : g_pcbs) p = PairPcb{};
    g_hold_sends = false;
    ASSERT_EQ(domaininit(&g_pair_domain), 0);
  }

  void TearDown() override {
    if (started_) {
      BdcLocked lock;
      for (socket* so : open_) {
        if (socket_is_live(so) && !(so->so_state & SS_NOFDREF)) soclose(so);
      }
      EXPECT_EQ(socket_pool_free_count(), config_.sockets);
    }
    TcpipTest::TearDown();
  }

  socket* make(std::int16_t type = SOCK_STREAM) {
    socket* so = nullptr;
    BdcLocked lock;
    EXPECT_EQ(create_socket(AF_LOCAL, &so, type, 0, stack_process()), 0);
    if (so != nullptr) open_.push_back(so);
    return so;
  }

  std::pair<socket*, socket*> pair(std::int16_t type = SOCK_STREAM) {
    socket* a = make(type);
    socket* b = make(type);
    BdcLocked lock;
    pair_connect2(a, b);
    return {a, b};
  }

  static int send_bytes(socket* so, const std::string& data, int flags = 0, sockaddr* to = nullptr,
                        std::int64_t* left = nullptr) {
    std::string copy = data;
    iovec iov{copy.data(), copy.size()};
    uio u{&iov, 1, 0, static_cast<std::int64_t>(copy.size()), UIO_SYSSPACE, UIO_WRITE, nullptr};
    BdcLocked lock;
    const int error = send_on_socket(so, to, &u, nullptr, nullptr, flags, stack_process());
    if (left != nullptr) *left = u.uio_resid;
    return error;
  }

  static int receive_bytes(socket* so, std::size_t max, std::string* out, int flags = 0, sockaddr** from = nullptr) {
    std::string buffer(max, '\0');
    iovec iov{buffer.data(), buffer.size()};
    uio u{&iov, 1, 0, static_cast<std::int64_t>(max), UIO_SYSSPACE, UIO_READ, nullptr};
    BdcLocked lock;
    int f = flags;
    const int error = receive_on_socket(so, from, &u, nullptr, nullptr, &f);
    buffer.resize(max - static_cast<std::size_t>(u.uio_resid));
    *out = buffer;
    return error;
  }

  static std::string text(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
    return s;
  }

  static int setopt(socket* so, int name, const void* value, std::size_t size) {
    sockopt opt{SOPT_SET, SOL_SOCKET, name, const_cast<void*>(value), size, nullptr};
    BdcLocked lock;
    return set_socket_option(so, &opt);
  }

  static int getopt(socket* so, int name, void* value, std::size_t* size) {
    sockopt opt{SOPT_GET, SOL_SOCKET, name, value, *size, nullptr};
    BdcLocked lock;
    const int error = get_socket_option(so, &opt);
    *size = opt.sopt_valsize;
    return error;
  }

  std::vector<socket*> open_;
};

TEST_F(SocketTest, ThePoolRunsOutAndReusesTheOldestFreeRecordFirst) {
  std::vector<socket*> all;
  for (std::uint32_t i = 0; i < config_.sockets; ++i) all.push_back(make());
  socket* extra = nullptr;
  {
    BdcLocked lock;
    EXPECT_EQ(create_socket(AF_LOCAL, &extra, SOCK_STREAM, 0, stack_process()), BSD_ENOBUFS);
    EXPECT_EQ(socket_pool_free_count(), 0u);
    soclose(all[3]);
    soclose(all[7]);
  }
  EXPECT_FALSE(socket_is_live(all[3]));
  socket* next = make();
  EXPECT_EQ(next, all[3]);  // released first, so reused first
  EXPECT_TRUE(socket_is_live(next));
  EXPECT_EQ(next->so_signature, SOCKET_SIGNATURE);
}

TEST_F(SocketTest, CreationErrors) {
  socket* so = nullptr;
  BdcLocked lock;
  EXPECT_EQ(create_socket(AF_LOCAL, &so, SOCK_RAW, 0, stack_process()), BSD_EPROTONOSUPPORT);
  EXPECT_EQ(create_socket(AF_LOCAL, &so, SOCK_DGRAM, 1, stack_process()), BSD_EPROTONOSUPPORT);
  EXPECT_EQ(create_socket(29, &so, SOCK_STREAM, 0, stack_process()), BSD_EPROTONOSUPPORT);
  // The Internet domain has no stream protocol but TCP.
  EXPECT_EQ(create_socket(AF_INET, &so, SOCK_STREAM, 17, stack_process()), BSD_EPROTONOSUPPORT);
  EXPECT_EQ(so, nullptr);
}

TEST_F(SocketTest, OptionsSetAndGet) {
  socket* so = make();
  const linger on{1, 5};
  ASSERT_EQ(setopt(so, SO_LINGER, &on, sizeof(on)), 0);
  linger got{};
  std::size_t size = sizeof(got);
  ASSERT_EQ(getopt(so, SO_LINGER, &got, &size), 0);
  EXPECT_EQ(got.l_onoff, SO_LINGER);
  EXPECT_EQ(got.l_linger, 5);

  struct TimeoCase {
    zektcp::timeval tv;
    int error;
    std::int16_t ticks;
  };
  for (const TimeoCase c :
       {TimeoCase{{0, 1}, 0, 1}, TimeoCase{{0, 20000}, 0, 2}, TimeoCase{{3, 0}, 0, 300},
        TimeoCase{{40000, 0}, BSD_EDOM, 0}, TimeoCase{{0, 1000000}, BSD_EDOM, 0}, TimeoCase{{-1, 0}, BSD_EDOM, 0}}) {
    SCOPED_TRACE(testing::Message() << c.tv.tv_sec << "." << c.tv.tv_usec);
    so->so_snd.sb_timeo = 0;
    EXPECT_EQ(setopt(so, SO_SNDTIMEO, &c.tv, sizeof(c.tv)), c.error);
    EXPECT_EQ(so->so_snd.sb_timeo, c.ticks);
  }
  const std::int32_t too_big = 0x200001;
  EXPECT_EQ(setopt(so, SO_RCVBUF, &too_big, sizeof(too_big)), BSD_ENOBUFS);
  EXPECT_EQ(so->so_rcv.sb_hiwat, 4096u);
  const std::int32_t size_8k = 8192;
  EXPECT_EQ(setopt(so, SO_RCVBUF, &size_8k, sizeof(size_8k)), 0);
  EXPECT_EQ(so->so_rcv.sb_mbmax, 8u * 8192);
  const std::int16_t short_value = 1;
  EXPECT_EQ(setopt(so, SO_KEEPALIVE, &short_value, sizeof(short_value)), BSD_EINVAL);
  const std::int32_t one = 1;
  EXPECT_EQ(setopt(so, SO_KEEPALIVE, &one, sizeof(one)), 0);
  EXPECT_EQ(setopt(so, 0x4242, &one, sizeof(one)), BSD_ENOPROTOOPT);
  const std::int32_t big_lowat = 100000;
  EXPECT_EQ(setopt(so, SO_SNDLOWAT, &big_lowat, sizeof(big_lowat)), 0);
  EXPECT_EQ(so->so_snd.sb_lowat, 4096);  // capped at the buffer size

  std::int32_t value = 0;
  size = sizeof(value);
  ASSERT_EQ(getopt(so, SO_KEEPALIVE, &value, &size), 0);
  EXPECT_EQ(value, SO_KEEPALIVE);
  ASSERT_EQ(getopt(so, SO_TYPE, &value, &size), 0);
  EXPECT_EQ(value, SOCK_STREAM);
  so->so_error = BSD_ECONNRESET;
  ASSERT_EQ(getopt(so, SO_ERROR, &value, &size), 0);
  EXPECT_EQ(value, BSD_ECONNRESET);
  EXPECT_EQ(so->so_error, 0);
  zektcp::timeval tv{};
  size = sizeof(tv);
  so->so_rcv.sb_timeo = 150;
  ASSERT_EQ(getopt(so, SO_RCVTIMEO, &tv, &size), 0);
  EXPECT_EQ(tv.tv_sec, 1);
  EXPECT_EQ(tv.tv_usec, 500000);
  accept_filter_arg arg{};
  size = sizeof(arg);
  EXPECT_EQ(getopt(so, SO_ACCEPTFILTER, &arg, &size), BSD_EINVAL);  // not listening
}

TEST_F(SocketTest, BuffersAppendCompressAndDrop) {
  socket* so = make();
  sockbuf* sb = &so->so_rcv;
  BdcLocked lock;
  for (int i = 0; i < 3; ++i) {
    mbuf* m = nullptr;
    ASSERT_EQ(GetMBuf(&m, M_WAIT, MT_DATA), 0);
    std::memset(m->m_data, 'a' + i, 10);
    m->m_len = 10;
    append_to_socket_buffer(sb, m);
  }
  EXPECT_EQ(sb->sb_cc, 30u);
  EXPECT_EQ(sb->sb_mb->m_next, nullptr);  // compressed into one mbuf
  EXPECT_EQ(sb->sb_mbcnt, static_cast<std::uint32_t>(MSIZE));
  sbdrop(sb, 15);
  EXPECT_EQ(sb->sb_cc, 15u);
  EXPECT_EQ(sb->sb_mb->m_data[0], 'b');
  // A record that ends with end-of-record: the next append starts another.
  mbuf* eor = nullptr;
  ASSERT_EQ(GetMBuf(&eor, M_WAIT, MT_DATA), 0);
  eor->m_len = 5;
  eor->m_flags |= M_EOR;
  append_to_socket_buffer(sb, eor);
  mbuf* after = nullptr;
  ASSERT_EQ(GetMBuf(&after, M_WAIT, MT_DATA), 0);
  after->m_len = 7;
  append_to_socket_buffer(sb, after);
  ASSERT_NE(sb->sb_mb->m_nextpkt, nullptr);
  EXPECT_EQ(sb->sb_cc, 27u);
  sbdrop(sb, 20);
  EXPECT_EQ(sb->sb_cc, 7u);
  sbdrop(sb, 100);  // more than there is: everything, no stop
  EXPECT_EQ(sb->sb_cc, 0u);
  EXPECT_EQ(sb->sb_mb, nullptr);

  // Datagrams with their address.
  mbuf* data = nullptr;
  ASSERT_EQ(GetMBufHdr(&data, M_WAIT, MT_DATA), 0);
  data->m_len = data->mh.m_pkthdr.len = 100;
  sockaddr_in from = make_sockaddr_in(0x0A000001, 7);
  ASSERT_EQ(sbappendaddr(sb, reinterpret_cast<sockaddr*>(&from), data, nullptr), 1);
  EXPECT_EQ(sb->sb_mb->m_type, MT_SONAME);
  EXPECT_EQ(sb->sb_cc, 116u);
  std::uint8_t long_name[226] = {226, AF_LOCAL};
  mbuf* more = nullptr;
  ASSERT_EQ(GetMBufHdr(&more, M_WAIT, MT_DATA), 0);
  more->m_len = more->mh.m_pkthdr.len = 10;
  EXPECT_EQ(sbappendaddr(sb, reinterpret_cast<sockaddr*>(long_name), more, nullptr), 0);
  more->mh.m_pkthdr.len = 5000;  // more than the free space
  EXPECT_EQ(sbappendaddr(sb, reinterpret_cast<sockaddr*>(&from), more, nullptr), 0);
  mbuf_free_chain(more);
  sbflush(sb);
  EXPECT_EQ(sb->sb_cc, 0u);
  EXPECT_EQ(sb->sb_mbcnt, 0u);
}

TEST_F(SocketTest, ControlMbufsHaveTheirHeaderAndLimits) {
  std::vector<char> data(2100, 'x');
  struct Case {
    int size;
    bool ok;
    bool cluster;
  };
  for (const Case c : {Case{4, true, false}, Case{212, true, false}, Case{213, true, true}, Case{2036, true, true},
                       Case{2037, false, false}}) {
    SCOPED_TRACE(c.size);
    mbuf* m = make_control_mbuf(data.data(), c.size, 7, SOL_SOCKET);
    ASSERT_EQ(m != nullptr, c.ok);
    if (m == nullptr) continue;
    EXPECT_EQ((m->m_flags & M_EXT) != 0, c.cluster);
    EXPECT_EQ(m->m_type, MT_CONTROL);
    std::int32_t header[3];
    std::memcpy(header, m->m_data, sizeof(header));
    EXPECT_EQ(header[0], c.size + 12);
    EXPECT_EQ(header[1], SOL_SOCKET);
    EXPECT_EQ(header[2], 7);
    EXPECT_EQ(m->m_len, 12 + ((c.size + 3) & ~3));
    mbuf_free_chain(m);
  }
}

TEST_F(SocketTest, StreamDataArrivesInOrderAcrossClusters) {
  auto [a, b] = pair();
  const std::string data = text(3000);
  ASSERT_EQ(send_bytes(a, data), 0);
  EXPECT_EQ(b->so_rcv.sb_cc, 3000u);
  std::string got;
  ASSERT_EQ(receive_bytes(b, 1000, &got, MSG_PEEK), 0);
  EXPECT_EQ(got, data.substr(0, 1000));
  ASSERT_EQ(receive_bytes(b, 1000, &got), 0);
  EXPECT_EQ(got, data.substr(0, 1000));
  ASSERT_EQ(receive_bytes(b, 5000, &got), 0);
  EXPECT_EQ(got, data.substr(1000));
  EXPECT_EQ(b->so_rcv.sb_cc, 0u);
  socket_set_nbio(b, true);
  EXPECT_EQ(receive_bytes(b, 10, &got), BSD_EWOULDBLOCK);
}

TEST_F(SocketTest, DatagramsKeepTheirBoundariesAndAddresses) {
  auto [a, b] = pair(SOCK_DGRAM);
  sockaddr_in to = make_sockaddr_in(0x7F000001, 9);
  ASSERT_EQ(send_bytes(a, "first", 0, reinterpret_cast<sockaddr*>(&to)), 0);
  ASSERT_EQ(send_bytes(a, "second datagram", 0, reinterpret_cast<sockaddr*>(&to)), 0);
  std::string got;
  sockaddr* from = nullptr;
  int flags = 0;
  ASSERT_EQ(receive_bytes(b, 3, &got, flags, &from), 0);
  EXPECT_EQ(got, "fir");  // the rest of the datagram is dropped
  ASSERT_NE(from, nullptr);
  EXPECT_EQ(reinterpret_cast<sockaddr_in*>(from)->sin_port, htons(9));
  OSPrimMemFreePtr(from);
  ASSERT_EQ(receive_bytes(b, 100, &got), 0);
  EXPECT_EQ(got, "second datagram");
}

TEST_F(SocketTest, SendErrors) {
  auto [a, b] = pair(SOCK_DGRAM);
  EXPECT_EQ(send_bytes(a, text(5000)), BSD_EMSGSIZE);  // atomic, larger than the buffer
  socket* lone_dgram = make(SOCK_DGRAM);
  EXPECT_EQ(send_bytes(lone_dgram, "x"), BSD_EDESTADDRREQ);
  socket* lone_stream = make(SOCK_STREAM);
  EXPECT_EQ(send_bytes(lone_stream, "x"), BSD_ENOTCONN);
  auto [c, d] = pair();
  c->so_error = BSD_ECONNRESET;
  EXPECT_EQ(send_bytes(c, "x"), BSD_ECONNRESET);
  EXPECT_EQ(c->so_error, 0);
  {
    BdcLocked lock;
    socantsendmore(c);
  }
  EXPECT_EQ(send_bytes(c, "x"), BSD_EPIPE);
  (void)b;
  (void)d;
}

TEST_F(SocketTest, ANonBlockingSendWithoutSpaceWouldBlock) {
  auto [a, b] = pair();
  g_hold_sends = true;
  socket_set_nbio(a, true);
  std::int64_t left = 0;
  EXPECT_EQ(send_bytes(a, text(6000), 0, nullptr, &left), BSD_EWOULDBLOCK);
  EXPECT_EQ(left, 6000 - 4096);  // what fitted was taken
  EXPECT_EQ(a->so_snd.sb_cc, 4096u);
  EXPECT_EQ(send_bytes(a, "x"), BSD_EWOULDBLOCK);
  (void)b;
}

TEST_F(SocketTest, ABlockedReceiveIsWokenBySend) {
  auto [a, b] = pair();
  std::string got;
  std::atomic<int> result{-1};
  std::thread reader([&] { result = receive_bytes(b, 100, &got); });
  ASSERT_TRUE(eventually([&] { return b->so_rcv.sb_sleep.Sleepers == 1; }));
  ASSERT_EQ(send_bytes(a, "wake up"), 0);
  reader.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(got, "wake up");
}

TEST_F(SocketTest, AReceiveTimesOutAfterItsTimeout) {
  auto [a, b] = pair();
  const zektcp::timeval limit{0, 50000};  // 5 ticks
  ASSERT_EQ(setopt(b, SO_RCVTIMEO, &limit, sizeof(limit)), 0);
  std::atomic<int> result{-1};
  std::atomic<bool> done{false};
  std::thread reader([&] {
    std::string got;
    result = receive_bytes(b, 100, &got);
    done = true;
  });
  ASSERT_TRUE(eventually([&] { return b->so_rcv.sb_sleep.Sleepers == 1; }));
  for (int i = 0; i < 100 && !done; ++i) {
    clock().advance(config_.tick_ms * plat::Clock::kUnitsPerMs);
    eventually([&] { return done.load(); }, 2);
  }
  reader.join();
  EXPECT_EQ(result, BSD_EWOULDBLOCK);
  (void)a;
}

TEST_F(SocketTest, AcceptIsWokenWhenAConnectionCompletes) {
  socket* listener = make();
  listener->so_options |= SO_ACCEPTCONN;
  listener->so_qlimit = 5;
  socket* incoming = nullptr;
  {
    BdcLocked lock;
    incoming = sonewconn(listener, 0);
  }
  ASSERT_NE(incoming, nullptr);
  EXPECT_EQ(listener->so_incqlen, 1);
  EXPECT_EQ(listener->so_comp, nullptr);
  std::atomic<socket*> accepted{nullptr};
  std::thread acceptor([&] {
    BdcLocked lock;
    while (listener->so_comp == nullptr) {
      if (OSPrimTSleep(0, &listener->so_sleep) != 0) return;
    }
    accepted = listener->so_comp;
  });
  ASSERT_TRUE(eventually([&] { return listener->so_sleep.Sleepers == 1; }));
  {
    BdcLocked lock;
    mark_socket_connected(incoming);
  }
  acceptor.join();
  EXPECT_EQ(accepted.load(), incoming);
  EXPECT_EQ(listener->so_qlen, 1);
  EXPECT_EQ(listener->so_incqlen, 0);
  EXPECT_TRUE(incoming->so_state & SS_ISCONNECTED);
  // Closing the listener aborts what is queued.
  BdcLocked lock;
  soclose(listener);
  EXPECT_FALSE(socket_is_live(incoming));
}

// A connection on a listener's queue has no descriptor until it is
// accepted: when the protocol drops it (an embryonic one timing out) or the
// listener closes, it is freed and leaves the queue.
TEST_F(SocketTest, QueuedConnectionsHaveNoDescriptorAndGoWhenDroppedOrWithTheListener) {
  socket* listener = make();
  listener->so_options |= SO_ACCEPTCONN;
  listener->so_qlimit = 5;
  const std::uint32_t free_before = socket_pool_free_count();
  BdcLocked lock;
  socket* embryonic = sonewconn(listener, 0);
  socket* complete = sonewconn(listener, 0);
  ASSERT_NE(embryonic, nullptr);
  ASSERT_NE(complete, nullptr);
  EXPECT_TRUE(embryonic->so_state & SS_NOFDREF);
  mark_socket_connected(complete);
  EXPECT_TRUE(complete->so_state & SS_NOFDREF);
  // The protocol drops the embryonic connection.
  pair_abort(embryonic);
  EXPECT_FALSE(socket_is_live(embryonic));
  EXPECT_EQ(listener->so_incqlen, 0);
  EXPECT_EQ(listener->so_incomp, nullptr);
  EXPECT_EQ(socket_pool_free_count(), free_before - 1);
  // The listener closes with the completed one never accepted.
  soclose(listener);
  EXPECT_FALSE(socket_is_live(complete));
  EXPECT_EQ(socket_pool_free_count(), free_before + 1);
}

TEST_F(SocketTest, QueuedConnectionsRunThePoolOutAndAreReleasedWithTheListener) {
  socket* listener = make();
  listener->so_options |= SO_ACCEPTCONN;
  listener->so_qlimit = 100;
  int queued = 0;
  {
    BdcLocked lock;
    while (sonewconn(listener, 0) != nullptr) ++queued;
  }
  EXPECT_EQ(queued, static_cast<int>(config_.sockets) - 1);
  EXPECT_EQ(socket_pool_free_count(), 0u);
  BdcLocked lock;
  soclose(listener);
  EXPECT_EQ(socket_pool_free_count(), config_.sockets);
}

TEST_F(SocketTest, TheListenQueueStopsAtThreeHalvesOfItsLimit) {
  socket* listener = make();
  listener->so_options |= SO_ACCEPTCONN;
  listener->so_qlimit = 4;
  int queued = 0;
  {
    BdcLocked lock;
    while (sonewconn(listener, 0) != nullptr) ++queued;
  }
  EXPECT_EQ(queued, 7);  // accepted while the queues hold no more than 6
  BdcLocked lock;
  soclose(listener);
}

int g_filter_calls;
void* filter_create(socket*, char* arg) { return std::strcmp(arg, "refuse") == 0 ? nullptr : &g_filter_calls; }
void filter_callback(socket*, void*, int) { ++g_filter_calls; }
void filter_destroy(socket*) {}

TEST_F(SocketTest, AcceptFiltersOnlyOnListenersAndOnlyOnce) {
  accept_filter filter{nullptr, "dataready", filter_callback, filter_create, filter_destroy};
  ASSERT_EQ(accept_filter_register(&filter), 0);
  socket* listener = make();
  accept_filter_arg arg{};
  std::memcpy(arg.af_name, "dataready", 10);
  EXPECT_EQ(setopt(listener, SO_ACCEPTFILTER, &arg, sizeof(arg)), BSD_EINVAL);  // not listening
  listener->so_options |= SO_ACCEPTCONN;
  listener->so_qlimit = 5;
  accept_filter_arg unknown{};
  std::memcpy(unknown.af_name, "nosuch", 7);
  EXPECT_EQ(setopt(listener, SO_ACCEPTFILTER, &unknown, sizeof(unknown)), BSD_ENOENT);
  accept_filter_arg refused = arg;
  std::memcpy(refused.af_arg, "refuse", 7);
  EXPECT_EQ(setopt(listener, SO_ACCEPTFILTER, &refused, sizeof(refused)), BSD_EINVAL);
  ASSERT_EQ(setopt(listener, SO_ACCEPTFILTER, &arg, sizeof(arg)), 0);
  EXPECT_EQ(setopt(listener, SO_ACCEPTFILTER, &arg, sizeof(arg)), BSD_EINVAL);  // one at a time
  accept_filter_arg got{};
  std::size_t size = sizeof(got);
  ASSERT_EQ(getopt(listener, SO_ACCEPTFILTER, &got, &size), 0);
  EXPECT_STREQ(got.af_name, "dataready");
  // A completed connection goes to the filter, not yet to the complete queue.
  g_filter_calls = 0;
  {
    BdcLocked lock;
    socket* incoming = sonewconn(listener, 0);
    ASSERT_NE(incoming, nullptr);
    mark_socket_connected(incoming);
    EXPECT_EQ(g_filter_calls, 1);
    EXPECT_EQ(listener->so_comp, nullptr);
    EXPECT_TRUE(incoming->so_rcv.sb_flags & SB_UPCALL);
  }
  EXPECT_EQ(setopt(listener, SO_ACCEPTFILTER, nullptr, 0), 0);  // removed
  EXPECT_EQ(listener->so_accf, nullptr);
  accept_filter_unregister(&filter);
}

// A socket's receive side flushed from a protocol timer: the buffer lock
// cannot be waited for there, and a lock that another thread holds (a
// reader waiting for all its data) stays that thread's.
struct FlushFromTimer {
  socket* so;
  bool done;
};

void flush_in_handler(void* arg) {
  auto* f = static_cast<FlushFromTimer*>(arg);
  flush_socket_receive(f->so);
  f->done = true;
}

TEST_F(SocketTest, AReceiveFlushFromATimerLeavesAReadersLockAlone) {
  auto [a, b] = pair();
  ASSERT_EQ(send_bytes(a, "queued"), 0);
  ASSERT_EQ(b->so_rcv.sb_cc, 6u);
  b->so_rcv.sb_flags |= SB_LOCK;  // held by a reader
  FlushFromTimer f{b, false};
  callout c;
  callout_init(&c);
  {
    BdcLocked lock;
    callout_arm(&c, 1, flush_in_handler, &f);
  }
  advance_ticks(2);
  ASSERT_TRUE(f.done);
  EXPECT_TRUE(b->so_rcv.sb_flags & SB_LOCK);
  EXPECT_EQ(b->so_rcv.sb_cc, 0u);
  EXPECT_EQ(b->so_rcv.sb_mb, nullptr);
  EXPECT_TRUE(b->so_state & SS_CANTRCVMORE);
  b->so_rcv.sb_flags &= ~SB_LOCK;  // the reader leaves
}

TEST_F(SocketTest, ClosingASocketWakesItsSleepersWithADeadObject) {
  socket* so = make();
  std::atomic<int> result{-1};
  std::thread sleeper([&] { result = OSPrimTSleep(0, &so->so_sleep); });
  ASSERT_TRUE(eventually([&] { return so->so_sleep.Sleepers == 1; }));
  {
    BdcLocked lock;
    soclose(so);
  }
  sleeper.join();
  EXPECT_EQ(result, 1);
  EXPECT_FALSE(socket_is_live(so));
}

TEST_F(SocketTest, PollReportsReadinessAndWakesARecordedPoller) {
  auto [a, b] = pair();
  OSPrimSleepObject poller;
  OSPrimInitSleepObject(&poller);
  {
    BdcLocked lock;
    EXPECT_EQ(poll_socket(b, POLLIN | POLLOUT, nullptr, &poller), POLLOUT);
    EXPECT_EQ(poll_socket(b, POLLIN, nullptr, &poller), 0);
    EXPECT_TRUE(b->so_rcv.sb_flags & SB_SEL);
  }
  std::atomic<int> result{-1};
  std::thread waiter([&] { result = OSPrimTSleep(0, &poller); });
  ASSERT_TRUE(eventually([&] { return poller.Sleepers == 1; }));
  ASSERT_EQ(send_bytes(a, "data"), 0);
  waiter.join();
  EXPECT_EQ(result, 0);
  BdcLocked lock;
  EXPECT_EQ(poll_socket(b, POLLIN, nullptr, nullptr), POLLIN);
  EXPECT_FALSE(b->so_rcv.sb_flags & SB_SEL);
  socantrcvmore(a);
  EXPECT_EQ(poll_socket(a, POLLIN, nullptr, nullptr), POLLIN);  // end of stream reads
}

TEST_F(SocketTest, EventNotesFollowTheBuffers) {
  auto [a, b] = pair();
  knote note{};
  note.kn_filter = EVFILT_READ;
  BdcLocked lock;
  ASSERT_EQ(attach_socket_event_filter(b, &note), 0);
  EXPECT_TRUE(b->so_rcv.sb_flags & SB_KNOTE);
  EXPECT_EQ(socket_event_ready(&note), 0);
  ReleaseBdcLock();
  ASSERT_EQ(send_bytes(a, "abc"), 0);
  AcquireBdcLock();
  EXPECT_EQ(socket_event_ready(&note), 1);
  EXPECT_EQ(note.kn_data, 3);
  detach_socket_event_filter(&note);
  EXPECT_FALSE(b->so_rcv.sb_flags & SB_KNOTE);
  knote other{};
  other.kn_filter = 5;
  EXPECT_EQ(attach_socket_event_filter(b, &other), 1);
}

TEST_F(SocketTest, TheOffloadBlockStartsWithItsDefaults) {
  socket* so = make();
  const std::uint8_t flags[9] = {1, 1, 0, 1, 0, 0, 0, 1, 0};
  EXPECT_EQ(std::memcmp(so->so_offload.flags, flags, 9), 0);
  EXPECT_EQ(so->so_offload.words[OFFLOAD_WORD_CONN_STATE - 1], 1u);
  EXPECT_EQ(so->so_offload.words[OFFLOAD_WORD_KEEPALIVE - 1], 75u * tick_rate());
  EXPECT_EQ(so->so_offload.words[OFFLOAD_WORD_FLAG - 1], 1u);
}

}  // namespace
