// The routing socket: its messages for address, route and interface
// changes, the "get" request, and the requests it refuses.
#include "tests/proxy/tcpip/wire_fixture.h"

namespace {

using namespace zektcp;

class RtsockTest : public WireTest {
 protected:
  socket* routing_socket(int family = 0) {
    socket* so = nullptr;
    BdcLocked lock;
    EXPECT_EQ(create_socket(AF_ROUTE, &so, SOCK_RAW, family, stack_process()), 0);
    if (so != nullptr) sockets_.push_back(so);
    return so;
  }

  // Every message waiting on a routing socket.
  std::vector<Bytes> messages(socket* so) {
    std::vector<Bytes> out;
    for (;;) {
      Received r = receive(so);
      if (r.error != 0) break;
      out.push_back(std::move(r.data));
    }
    return out;
  }

  static std::uint8_t type_of(const Bytes& m) { return m.at(3); }

  // A get request for a destination (and mask), with room for the reply's
  // addresses.
  static Bytes get_request(std::uint32_t dst, std::uint32_t mask = 0, int addrs = RTA_DST) {
    rt_msghdr h{};
    h.rtm_version = RTM_VERSION;
    h.rtm_type = RTM_GET;
    h.rtm_seq = 42;
    h.rtm_addrs = addrs | (mask != 0 ? RTA_NETMASK : 0);
    Bytes m(sizeof(h));
    const sockaddr_in d = make_sockaddr_in(dst);
    const auto* dp = reinterpret_cast<const std::uint8_t*>(&d);
    m.insert(m.end(), dp, dp + sizeof(d));
    if (mask != 0) {
      const sockaddr_in k = make_sockaddr_in(mask);
      const auto* kp = reinterpret_cast<const std::uint8_t*>(&k);
      m.insert(m.end(), kp, kp + sizeof(k));
    }
    h.rtm_msglen = static_cast<std::uint16_t>(m.size());
    std::memcpy(m.data(), &h, sizeof(h));
    return m;
  }

  static rt_msghdr header(const Bytes& m) {
    rt_msghdr h{};
    std::memcpy(&h, m.data(), std::min(m.size(), sizeof(h)));
    return h;
  }
};

TEST_F(RtsockTest, AddressAndRouteChangesAreReported) {
  socket* so = routing_socket();
  TestAdapter second;
  attach(&second, Mac{{0x02, 0x5A, 0, 0, 2, 2}}, 1);
  ASSERT_EQ(add_address(&second, ipv4(198, 51, 100, 1), ipv4(255, 255, 255, 0)), 0);
  std::vector<std::uint8_t> types;
  for (const Bytes& m : messages(so)) {
    EXPECT_EQ(m.at(2), RTM_VERSION);
    EXPECT_EQ(get16(Bytes{m[1], m[0]}, 0), m.size());  // the length field is the message's length
    types.push_back(type_of(m));
  }
  // The arrival, then the address, then its route.
  ASSERT_GE(types.size(), 3u);
  EXPECT_EQ(types[0], RTM_IFANNOUNCE);
  const auto newaddr = std::find(types.begin(), types.end(), RTM_NEWADDR);
  ASSERT_NE(newaddr, types.end());
  EXPECT_NE(std::find(newaddr, types.end(), RTM_ADD), types.end());
  {
    BdcLocked lock;
    iface_detach(&second.ac.ac_if);
  }
  attached_.erase(std::find(attached_.begin(), attached_.end(), &second));
  types.clear();
  for (const Bytes& m : messages(so)) types.push_back(type_of(m));
  const auto deleted = std::find(types.begin(), types.end(), RTM_DELETE);
  ASSERT_NE(deleted, types.end());
  EXPECT_NE(std::find(deleted, types.end(), RTM_DELADDR), types.end());
  EXPECT_EQ(types.back(), RTM_IFANNOUNCE);
}

TEST_F(RtsockTest, AGetFindsTheRouteAndRepliesWithIt) {
  socket* so = routing_socket();
  messages(so);
  ASSERT_EQ(send_to(so, get_request(ipv4(192, 0, 2, 0), kNetmask, RTA_DST | RTA_IFP)), 0);
  const auto replies = messages(so);
  ASSERT_EQ(replies.size(), 1u);
  const rt_msghdr h = header(replies[0]);
  EXPECT_EQ(h.rtm_type, RTM_GET);
  EXPECT_EQ(h.rtm_errno, 0);
  EXPECT_EQ(h.rtm_seq, 42);
  EXPECT_TRUE(h.rtm_flags & static_cast<std::int32_t>(RTF_DONE));
  EXPECT_TRUE(h.rtm_flags & static_cast<std::int32_t>(RTF_UP));
  EXPECT_TRUE(h.rtm_addrs & RTA_GATEWAY);
  EXPECT_TRUE(h.rtm_addrs & RTA_IFP);
  EXPECT_EQ(h.rtm_index, ifp()->if_index);
  EXPECT_EQ(h.rtm_msglen, replies[0].size());
  EXPECT_EQ(h.rtm_rmx.rmx_mtu, 1500u);
  // No exact route: the error comes back to the sender and in the reply.
  ASSERT_EQ(send_to(so, get_request(ipv4(203, 0, 113, 0), kNetmask)), BSD_ESRCH);
  const auto missing = messages(so);
  ASSERT_EQ(missing.size(), 1u);
  EXPECT_EQ(header(missing[0]).rtm_errno, BSD_ESRCH);
}

TEST_F(RtsockTest, RequestsThatAreRefused) {
  socket* so = routing_socket();
  messages(so);
  // Anything but a get: not served, and no route changes.
  Bytes add = get_request(ipv4(203, 0, 113, 0), kNetmask);
  add[3] = RTM_ADD;
  EXPECT_EQ(send_to(so, add), BSD_EPERM);
  auto replies = messages(so);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(header(replies[0]).rtm_errno, BSD_EPERM);
  {
    sockaddr_in dst = make_sockaddr_in(ipv4(203, 0, 113, 5));
    BdcLocked lock;
    EXPECT_EQ(rtalloc1(reinterpret_cast<sockaddr*>(&dst), 0, 0), nullptr);
  }
  struct Case {
    const char* name;
    Bytes message;
    int error;
  };
  Bytes short_message = get_request(kPeerIp);
  short_message.resize(91);
  short_message[0] = 91;
  Bytes wrong_length = get_request(kPeerIp);
  wrong_length[0] = static_cast<std::uint8_t>(wrong_length[0] + 4);
  Bytes old_version = get_request(kPeerIp);
  old_version[2] = 4;
  Bytes past_the_end = get_request(kPeerIp);
  past_the_end[sizeof(rt_msghdr)] = 200;  // the destination's length runs past the message
  Bytes no_destination = get_request(kPeerIp);
  reinterpret_cast<rt_msghdr*>(no_destination.data())->rtm_addrs = RTA_GATEWAY;
  const Case cases[] = {{"91 bytes", short_message, BSD_EINVAL},
                        {"length field differs", wrong_length, BSD_EINVAL},
                        {"version 4", old_version, BSD_EPROTONOSUPPORT},
                        {"an address past the end", past_the_end, BSD_EINVAL},
                        {"no destination", no_destination, BSD_EINVAL}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(send_to(so, c.message), c.error);
  }
  messages(so);
  // A second attach of one socket is refused.
  BdcLocked lock;
  EXPECT_EQ(so->so_proto->pr_usrreqs->pru_attach(so, 0, stack_process()), BSD_EISCONN);
}

TEST_F(RtsockTest, TheOnlyListenerWithoutLoopbackGetsNoReply) {
  socket* so = routing_socket();
  messages(so);
  const int off = 0;
  ASSERT_EQ(set_option(so, SOL_SOCKET, SO_USELOOPBACK, &off, sizeof(off)), 0);
  ASSERT_EQ(send_to(so, get_request(ipv4(192, 0, 2, 0), kNetmask)), 0);
  EXPECT_TRUE(messages(so).empty());
  // With another listener the reply is made, and reaches only the other.
  socket* other = routing_socket();
  ASSERT_EQ(send_to(so, get_request(ipv4(192, 0, 2, 0), kNetmask)), 0);
  EXPECT_TRUE(messages(so).empty());
  EXPECT_EQ(messages(other).size(), 1u);
  // A listener for another family hears nothing of IPv4.
  socket* foreign = routing_socket(28);
  ASSERT_EQ(send_to(so, get_request(ipv4(192, 0, 2, 0), kNetmask)), 0);
  EXPECT_TRUE(messages(foreign).empty());
  EXPECT_EQ(route_listener_counts().any, 3u);
  EXPECT_EQ(route_listener_counts().ip6, 1u);
}

TEST_F(RtsockTest, MessageLengthsAndLayouts) {
  rt_addrinfo info{};
  sockaddr_in dst = make_sockaddr_in(kPeerIp);
  sockaddr_dl link{};
  link.sdl_len = 54;
  link.sdl_family = AF_LINK;
  info.rti_info[RTAX_DST] = reinterpret_cast<sockaddr*>(&dst);
  info.rti_info[RTAX_IFP] = reinterpret_cast<sockaddr*>(&link);
  EXPECT_EQ(rtsock_msg_copy(RTM_GET, &info, nullptr, 0), 92 + 16 + 56);
  EXPECT_EQ(rtsock_msg_copy(RTM_NEWADDR, &info, nullptr, 0), 20 + 16 + 56);
  EXPECT_EQ(rtsock_msg_copy(RTM_IFINFO, nullptr, nullptr, 0), 96);
  EXPECT_EQ(rtsock_msg_copy(RTM_NEWMADDR, nullptr, nullptr, 0), 16);
  EXPECT_EQ(rtsock_msg_copy(RTM_IFANNOUNCE, nullptr, nullptr, 0), 24);
  Bytes buf(92 + 16 + 56);
  rtsock_msg_copy(RTM_GET, &info, buf.data(), static_cast<int>(buf.size()));
  const rt_msghdr h = header(buf);
  EXPECT_EQ(h.rtm_msglen, buf.size());
  EXPECT_EQ(h.rtm_addrs, RTA_DST | RTA_IFP);
  EXPECT_EQ(buf[92], sizeof(sockaddr_in));
  EXPECT_EQ(buf[92 + 16], 54);
  rt_metrics in{};
  in.rmx_mtu = 1400;
  in.rmx_rtt = 9;
  rt_metrics out{};
  rtsock_set_metrics(RTV_MTU, &in, &out);
  EXPECT_EQ(out.rmx_mtu, 1400u);
  EXPECT_EQ(out.rmx_rtt, 0u);
}

}  // namespace
