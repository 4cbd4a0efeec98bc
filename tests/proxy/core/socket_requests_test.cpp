// The socket-call requests in-process, this test process standing in for the
// user process: inline and copied transfers, a message that fails halfway
// (the kernel's leak check at the end sees that nothing stayed allocated),
// a process's sockets going with its handle, and kernel callers' echo
// through the kernel socket table.
#include <sys/mman.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "include/zek/sockets.h"
#include "proxy/tcpip/socket_calls.h"
#include "tests/proxy/core/proxy_fixture.h"

namespace {

constexpr std::uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in memory order

ZekSanAddress loopback(std::uint16_t port_network_order = 0) {
  ZekSanAddress a{};
  a.Family = static_cast<std::uint16_t>(16 | (2 << 8));
  a.Port = port_network_order;
  a.Address = kLoopback;
  return a;
}

class SocketRequests : public ProxyTest {
 protected:
  void SetUp() override {
    ProxyTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(load(), STATUS_SUCCESS);
    file_ = open(false);
  }
  void TearDown() override {
    if (file_ != 0) close(file_);
    ProxyTest::TearDown();
  }

  std::int64_t user_socket(int type) {
    ZekSocketRecord r{2, type, 0, 0, 0};
    EXPECT_EQ(call(file_, IOCTL_ZEK_SOCKET_USER, &r).status, STATUS_SUCCESS);
    return r.Result;
  }
  // A bound datagram socket; its address in *address.
  std::int64_t bound_udp(ZekSanAddress* address) {
    const std::int64_t s = user_socket(2);
    ZekAddressRecord bind{};
    bind.Socket = static_cast<std::uint64_t>(s);
    *address = loopback();
    std::memcpy(bind.Address, address, sizeof(*address));
    bind.Length = sizeof(*address);
    EXPECT_EQ(call(file_, IOCTL_ZEK_BIND_USER, &bind).status, STATUS_SUCCESS);
    EXPECT_EQ(bind.Result, 0);
    ZekNameRecord name{static_cast<std::uint64_t>(s), {}, 16, 0};
    EXPECT_EQ(call(file_, IOCTL_ZEK_GETSOCKETNAME_USER, &name).status, STATUS_SUCCESS);
    std::memcpy(address, name.Address, sizeof(*address));
    return s;
  }
  int sendto(std::int64_t s, const void* data, int length, const ZekSanAddress& to) {
    ZekSendToRecord r{static_cast<std::uint64_t>(s),
                      reinterpret_cast<std::uint64_t>(&to),
                      reinterpret_cast<std::uint64_t>(data),
                      length,
                      0,
                      sizeof(to),
                      0};
    EXPECT_EQ(call(file_, IOCTL_ZEK_SENDTO_USER, &r).status, STATUS_SUCCESS);
    return r.Result;
  }
  void close_socket(std::int64_t s) {
    ZekCloseRecord r{static_cast<std::uint64_t>(s), 0, 0};
    EXPECT_EQ(call(file_, IOCTL_ZEK_CLOSE_USER, &r).status, STATUS_SUCCESS);
  }

  std::uint64_t file_ = 0;
};

TEST_F(SocketRequests, AShortReceiveTravelsInlineALongOneThroughTheCallersBuffer) {
  ZekSanAddress a{}, b{};
  const std::int64_t x = bound_udp(&a);
  const std::int64_t y = bound_udp(&b);
  struct Case {
    int length;
    bool is_inline;
  };
  for (const Case c : {Case{100, true}, Case{300, false}}) {
    std::vector<std::uint8_t> data(static_cast<std::size_t>(c.length));
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 1);
    ASSERT_EQ(sendto(x, data.data(), c.length, b), c.length);
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(c.length), 0);
    ZekTransferRecord r{};
    r.Socket = static_cast<std::uint64_t>(y);
    r.Data = reinterpret_cast<std::uint64_t>(buffer.data());
    r.Length = c.length;
    ASSERT_EQ(call(file_, IOCTL_ZEK_RECV_USER, &r).status, STATUS_SUCCESS);
    EXPECT_EQ(r.Result, c.length);
    const std::vector<std::uint8_t> inline_part(r.Inline, r.Inline + std::min(c.length, 256));
    if (c.is_inline) {
      EXPECT_EQ(inline_part, data);
      EXPECT_EQ(buffer, std::vector<std::uint8_t>(data.size(), 0));  // the library copies it out
    } else {
      EXPECT_EQ(buffer, data);
      EXPECT_EQ(inline_part, std::vector<std::uint8_t>(256, 0));
    }
  }
  // A send of nothing succeeds and leaves the record as it was.
  ZekSendToRecord empty{static_cast<std::uint64_t>(x), 0, 0, 0, 0, 0, 77};
  ASSERT_EQ(call(file_, IOCTL_ZEK_SENDTO_USER, &empty).status, STATUS_SUCCESS);
  EXPECT_EQ(empty.Result, 77);
  close_socket(x);
  close_socket(y);
}

// The driver keeps its transfer buffers between requests: a receive hands
// out only the bytes it took, never what an earlier, longer one left there.
TEST_F(SocketRequests, AReceiveGivesOnlyItsOwnBytesThoughItsBufferIsKept) {
  ZekSanAddress a{}, b{};
  const std::int64_t x = bound_udp(&a);
  const std::int64_t y = bound_udp(&b);
  struct Case {
    int length;
    std::uint8_t fill;
  };
  for (const Case c : {Case{4000, 0xAA}, Case{400, 0x11}, Case{257, 0x22}}) {
    const std::vector<std::uint8_t> data(static_cast<std::size_t>(c.length), c.fill);
    ASSERT_EQ(sendto(x, data.data(), c.length, b), c.length);
    std::vector<std::uint8_t> buffer(4000, 0);
    ZekTransferRecord r{};
    r.Socket = static_cast<std::uint64_t>(y);
    r.Data = reinterpret_cast<std::uint64_t>(buffer.data());
    r.Length = static_cast<std::int32_t>(buffer.size());
    ASSERT_EQ(call(file_, IOCTL_ZEK_RECV_USER, &r).status, STATUS_SUCCESS);
    ASSERT_EQ(r.Result, c.length);
    std::vector<std::uint8_t> expected(buffer.size(), 0);
    std::fill_n(expected.begin(), c.length, c.fill);
    EXPECT_EQ(buffer, expected) << c.length;
  }
  close_socket(x);
  close_socket(y);
}

TEST_F(SocketRequests, AMessageThatFailsHalfwayReleasesEverythingItTook) {
  ZekSanAddress a{}, b{};
  const std::int64_t x = bound_udp(&a);
  const std::int64_t y = bound_udp(&b);
  void* hole = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(hole, MAP_FAILED);
  char data[64] = "payload";
  std::vector<ZekIovec> iov(16, ZekIovec{reinterpret_cast<std::uint64_t>(data), sizeof(data)});
  iov[9].Base = reinterpret_cast<std::uint64_t>(hole);
  ZekMsgHdr message{};
  message.Name = reinterpret_cast<std::uint64_t>(&b);
  message.NameLength = sizeof(b);
  message.Iov = reinterpret_cast<std::uint64_t>(iov.data());
  message.IovCount = 16;
  ZekMsgRecord send{static_cast<std::uint64_t>(x), reinterpret_cast<std::uint64_t>(&message), 0, 0};
  ASSERT_EQ(call(file_, IOCTL_ZEK_SENDMSG_USER, &send).status, STATUS_SUCCESS);
  EXPECT_EQ(send.Result, -14);
  // The receive side: its second buffer is not there, so nothing is taken.
  ASSERT_EQ(sendto(x, data, sizeof(data), b), static_cast<int>(sizeof(data)));
  iov[9].Base = reinterpret_cast<std::uint64_t>(data);
  iov[0].Length = 4;
  iov[1].Base = reinterpret_cast<std::uint64_t>(hole);
  ZekMsgRecord recv{static_cast<std::uint64_t>(y), reinterpret_cast<std::uint64_t>(&message), 0, 0};
  message.Name = 0;
  message.NameLength = 0;
  ASSERT_EQ(call(file_, IOCTL_ZEK_RECVMSG_USER, &recv).status, STATUS_SUCCESS);
  EXPECT_EQ(recv.Result, -14);
  iov[1].Base = reinterpret_cast<std::uint64_t>(data);
  ASSERT_EQ(call(file_, IOCTL_ZEK_RECVMSG_USER, &recv).status, STATUS_SUCCESS);
  EXPECT_EQ(recv.Result, static_cast<int>(sizeof(data)));
  munmap(hole, 4096);
  close_socket(x);
  close_socket(y);
}

// No Internet protocol joins two sockets, so a socketpair fails as a request
// and leaves no socket behind.
TEST_F(SocketRequests, AProcessesSocketsGoWithItsCleanupHandleAndAFailedSocketpairLeavesNone) {
  const std::uint64_t global = open(false);
  ASSERT_EQ(call(global, IOCTL_ZEK_ALLOC_CLEANUP_CONTEXT, nullptr, 0, 0).status, STATUS_SUCCESS);
  const auto pid = static_cast<std::uintptr_t>(getpid());
  const int before = zektcp::sockets_held_by(pid);
  int pair[2] = {-1, -1};
  for (const int type : {1, 2}) {
    ZekSocketPairRecord r{2, type, 0, 0, reinterpret_cast<std::uint64_t>(pair)};
    EXPECT_EQ(call(file_, IOCTL_ZEK_SOCKETPAIR_USER, &r).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(zektcp::sockets_held_by(pid), before);
  }
  user_socket(1);
  user_socket(2);
  EXPECT_EQ(zektcp::sockets_held_by(pid), before + 2);
  close(global);
  EXPECT_EQ(zektcp::sockets_held_by(pid), 0);
}

TEST_F(SocketRequests, KernelCallersEchoThroughTheKernelSocketTable) {
  ZekRoutineTableRecord record{};
  ASSERT_EQ(kernel_call(IOCTL_ZEK_GET_SOCKET_TABLE, &record, 0, sizeof(record)), STATUS_SUCCESS);
  const auto* t = reinterpret_cast<const ZekKernelSocketTable*>(record.Table);
  const int l = t->socket(2, 1, 0);
  ZekSanAddress a = loopback();
  ASSERT_EQ(t->bind(l, &a, sizeof(a)), 0);
  ASSERT_EQ(t->listen(l, 4), 0);
  int length = sizeof(a);
  ASSERT_EQ(t->getsockname(l, &a, &length), 0);
  std::thread echo([&] {
    const int s = t->accept(l, nullptr, nullptr);
    ASSERT_GE(s, 0);
    char buffer[4096];
    for (int n; (n = t->recv(s, buffer, sizeof(buffer), 0)) > 0;) {
      for (int sent = 0; sent < n;) sent += t->send(s, buffer + sent, n - sent, 0);
    }
    t->close(s);
  });
  const int c = t->socket(2, 1, 0);
  ASSERT_EQ(t->connect(c, &a, sizeof(a)), 0);
  std::vector<std::uint8_t> data(256 << 10);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13);
  std::thread sender([&] {
    for (std::size_t sent = 0; sent < data.size();) {
      const int n = t->send(c, data.data() + sent, static_cast<int>(data.size() - sent), 0);
      ASSERT_GT(n, 0);
      sent += static_cast<std::size_t>(n);
    }
    t->shutdown(c, 1);
  });
  std::vector<std::uint8_t> back;
  char buffer[8192];
  for (int n; (n = t->recv(c, buffer, sizeof(buffer), 0)) > 0;) back.insert(back.end(), buffer, buffer + n);
  sender.join();
  echo.join();
  EXPECT_EQ(back, data);
  t->close(c);
  t->close(l);
}

}  // namespace
