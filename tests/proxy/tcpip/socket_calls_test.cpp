// The stack's socket calls over its loopback interface, in-process on the
// virtual clock: their limits, descriptors (dup, close, another process's,
// a process's clean-up), and the waits of poll and of a blocked receive.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "proxy/tcpip/socket_calls.h"
#include "tests/proxy/tcpip/bdc_locked.h"
#include "tests/proxy/tcpip/tcpip_fixture.h"

namespace {

using namespace zektcp;

constexpr int kStream = 1;

// Waits (bounded) for a condition another thread brings about.
template <typename F>
bool eventually(F condition) {
  for (int i = 0; i < 10000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return condition();
}
constexpr int kDgram = 2;

class SocketCallsTest : public TcpipTest {
 protected:
  zektcp::TcpipConfig config() override {
    zektcp::TcpipConfig c = TcpipTest::config();
    c.mbufs.mbufs = 1024;
    c.mbufs.clusters = 256;
    c.sockets = 32;
    return c;
  }

  void TearDown() override {
    for (int s = 0; s < 32; ++s) {
      if (file* fp = slot(s); fp != nullptr && fp->f_owner_pid != pid()) fp->f_owner_pid = pid();
      sys_close(s);
    }
    TcpipTest::TearDown();
  }

  static std::uintptr_t pid() { return reinterpret_cast<std::uintptr_t>(PsGetCurrentProcessId()); }
  static file* slot(int s) { return stack_process()->p_fd->fd_ofiles[s]; }
  static socket* socket_of(int s) { return static_cast<socket*>(slot(s)->f_data); }

  static sockaddr_in loopback(std::uint16_t port = 0) { return make_sockaddr_in(0x7F000001, port); }

  // A listener on 127.0.0.1; its port in *port.
  static int listener(std::uint16_t* port, int backlog = 4) {
    const int l = sys_socket(AF_INET, kStream, 0);
    sockaddr_in a = loopback();
    EXPECT_EQ(sys_bind(l, &a, sizeof(a)), 0);
    EXPECT_EQ(sys_listen(l, backlog), 0);
    int length = sizeof(a);
    EXPECT_EQ(sys_getsockname(l, &a, &length), 0);
    *port = ntohs(a.sin_port);
    return l;
  }

  // {client, accepted} over lo0.
  static std::pair<int, int> tcp_pair() {
    std::uint16_t port = 0;
    const int l = listener(&port);
    const int c = sys_socket(AF_INET, kStream, 0);
    const sockaddr_in a = loopback(port);
    EXPECT_EQ(sys_connect(c, &a, sizeof(a)), 0);
    const int s = sys_accept(l, nullptr, nullptr);
    EXPECT_GE(s, 0);
    sys_close(l);
    return {c, s};
  }
};

TEST_F(SocketCallsTest, ListenSetsTheQueueLimitFromTheBacklog) {
  struct Case {
    int backlog;
    int limit;
  };
  for (const Case c : {Case{0, 128}, Case{1, 0}, Case{5, 4}, Case{129, 128}, Case{-7, 128}, Case{100000, 128}}) {
    std::uint16_t port = 0;
    const int l = listener(&port, c.backlog);
    EXPECT_EQ(socket_of(l)->so_qlimit, c.limit) << c.backlog;
    EXPECT_NE(socket_of(l)->so_options & SO_ACCEPTCONN, 0);
    sys_close(l);
  }
}

TEST_F(SocketCallsTest, AddressAndVectorLimits) {
  const int s = sys_socket(AF_INET, kDgram, 0);
  std::uint8_t address[300] = {};
  const sockaddr_in sin = loopback();
  std::memcpy(address, &sin, sizeof(sin));
  EXPECT_EQ(sys_bind(s, address, 256), -BSD_ENAMETOOLONG);
  EXPECT_EQ(sys_connect(s, address, 256), -BSD_ENAMETOOLONG);
  EXPECT_EQ(sys_bind(s, address, 1), -BSD_EINVAL);
  char byte = 0;
  std::vector<ZekIovec> iov(1024, ZekIovec{reinterpret_cast<std::uint64_t>(&byte), 1});
  ZekMsgHdr message{};
  message.Iov = reinterpret_cast<std::uint64_t>(iov.data());
  for (const int count : {1024, -1}) {
    message.IovCount = count;
    EXPECT_EQ(sys_recvmsg(s, &message, MSG_DONTWAIT), -BSD_EMSGSIZE) << count;
    EXPECT_EQ(sys_sendmsg(s, &message, 0), -BSD_EMSGSIZE) << count;
  }
  std::vector<ZekPollFd> entries(2);
  EXPECT_EQ(sys_poll(entries.data(), ZEK_POLL_MAX + 1, 0), -BSD_EINVAL);
  EXPECT_EQ(sys_select(ZEK_SELECT_MAX + 1, nullptr, nullptr, nullptr, nullptr), -BSD_EINVAL);
  const ZekTimeval bad{0, 1'000'000};
  EXPECT_EQ(sys_select(1, nullptr, nullptr, nullptr, &bad), -BSD_EINVAL);
  EXPECT_EQ(sys_fcntl_com(s, 99, 0), -BSD_EINVAL);
  EXPECT_EQ(sys_shutdown(s, 3), -BSD_EINVAL);
  EXPECT_EQ(sys_setsocketopt(s, SOL_SOCKET, SO_REUSEADDR, nullptr, 4), -BSD_EFAULT);
  sys_close(s);
}

TEST_F(SocketCallsTest, BadAndForeignDescriptorsGiveBadDescriptor) {
  const int mine = sys_socket(AF_INET, kDgram, 0);
  const int theirs = sys_socket(AF_INET, kDgram, 0);
  slot(theirs)->f_owner_pid = pid() + 1;
  char buffer[4];
  int length = sizeof(buffer);
  for (const int s : {theirs, -1, ZEK_SOCKET_DESCRIPTORS, 31}) {
    EXPECT_EQ(sys_send(s, "x", 1, 0), -BSD_EBADF) << s;
    EXPECT_EQ(sys_getsockname(s, buffer, &length), -BSD_EBADF) << s;
    EXPECT_EQ(sys_close(s), -BSD_EBADF) << s;
    EXPECT_EQ(sys_dup(s), -BSD_EBADF) << s;
  }
  // dup2 may neither reach past the table nor replace another process's descriptor.
  EXPECT_EQ(sys_dup2(mine, ZEK_SOCKET_DESCRIPTORS), -BSD_EBADF);
  EXPECT_EQ(sys_dup2(mine, -2), -BSD_EBADF);
  EXPECT_EQ(sys_dup2(mine, theirs), -BSD_EBADF);
  EXPECT_EQ(slot(theirs)->f_owner_pid, pid() + 1);
  // A poll entry of another process is not a socket of the caller's.
  ZekPollFd entry{theirs, ZEK_POLLOUT, 0};
  EXPECT_EQ(sys_poll(&entry, 1, 0), 1);
  EXPECT_EQ(entry.Revents, ZEK_POLLNVAL);
  slot(theirs)->f_owner_pid = pid();
  sys_close(theirs);
  sys_close(mine);
}

TEST_F(SocketCallsTest, ClosingOneOfTwoDescriptorsLeavesTheSocketToTheOther) {
  auto [c, s] = tcp_pair();
  const std::uint32_t files = open_files_in_use();
  const int d = sys_dup(c);
  ASSERT_GE(d, 0);
  const int target = 20;
  ASSERT_EQ(sys_dup2(c, target), target);
  EXPECT_EQ(open_files_in_use(), files);  // one record, three descriptors
  ASSERT_EQ(sys_close(c), 0);
  ASSERT_EQ(sys_close(d), 0);
  ASSERT_EQ(sys_send(target, "abc", 3, 0), 3);
  char buffer[8];
  ASSERT_EQ(sys_recv(s, buffer, sizeof(buffer), 0), 3);
  EXPECT_EQ(sys_send(c, "x", 1, 0), -BSD_EBADF);
  ASSERT_EQ(sys_close(target), 0);
  EXPECT_EQ(open_files_in_use(), files - 1);
  EXPECT_EQ(sys_recv(s, buffer, sizeof(buffer), 0), 0);  // the last close sent the end of the stream
  sys_close(s);
}

TEST_F(SocketCallsTest, APartialNonBlockingSendReportsTheBytesItTook) {
  auto [c, s] = tcp_pair();
  ASSERT_EQ(sys_fcntl_com(c, ZEK_F_SETFL, ZEK_O_NONBLOCK), 0);
  std::vector<std::uint8_t> data(1 << 20, 0x42);
  const int sent = sys_send(c, data.data(), static_cast<int>(data.size()), 0);
  EXPECT_GT(sent, 0);
  EXPECT_LT(sent, static_cast<int>(data.size()));
  // The peer does not read: once its window and the send buffer are full
  // (input over the loopback may run as soon as a call ends, so a send
  // may still find room that the peer's window made), sends take nothing.
  int result = 0;
  for (int i = 0; i < 16 && (result = sys_send(c, data.data(), static_cast<int>(data.size()), 0)) > 0; ++i) {
    EXPECT_LT(result, static_cast<int>(data.size()));
  }
  EXPECT_EQ(result, -BSD_EWOULDBLOCK);
  sys_close(c);
  sys_close(s);
}

TEST_F(SocketCallsTest, APollTimeOutUnderTenMillisecondsWaitsTen) {
  const int s = sys_socket(AF_INET, kDgram, 0);
  sockaddr_in a = loopback();
  ASSERT_EQ(sys_bind(s, &a, sizeof(a)), 0);
  std::atomic<int> result{-100};
  const auto start = clock().now();
  std::atomic<std::int64_t> ended{0};
  std::thread poller([&] {
    ZekPollFd entry{s, ZEK_POLLIN, 0};
    result = sys_poll(&entry, 1, 1);
    ended = clock().now();
  });
  // The virtual clock moves in small steps until the poll gives up.
  for (int i = 0; i < 2000 && result == -100; ++i) {
    clock().advance(plat::Clock::kUnitsPerMs / 2);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  poller.join();
  EXPECT_EQ(result, 0);
  EXPECT_GE(ended - start, 10 * plat::Clock::kUnitsPerMs);
  sys_close(s);
}

// The wait lasts the caller's time-out, not the stack ticks around it: it
// ends no earlier and, past scheduling, no later; a zero time-out never
// sleeps, however long nothing becomes ready.
TEST_F(SocketCallsTest, PollAndSelectEndAtTheCallersTimeOutAndZeroNeverSleeps) {
  const int s = sys_socket(AF_INET, kDgram, 0);
  sockaddr_in a = loopback();
  ASSERT_EQ(sys_bind(s, &a, sizeof(a)), 0);
  constexpr std::int64_t kMs = plat::Clock::kUnitsPerMs;
  for (const bool use_select : {false, true}) {
    for (const int timeout : {0, 10, 25, 104, 333}) {
      SCOPED_TRACE(std::string(use_select ? "select " : "poll ") + std::to_string(timeout) + " ms");
      std::atomic<int> result{-100};
      const std::int64_t start = clock().now();
      std::atomic<std::int64_t> ended{0};
      std::thread waiter([&] {
        if (use_select) {
          std::uint8_t set[4] = {};
          set[s / 8] = static_cast<std::uint8_t>(1u << (s % 8));
          const ZekTimeval tv{timeout / 1000, (timeout % 1000) * 1000};
          result = sys_select(s + 1, set, nullptr, nullptr, &tv);
        } else {
          ZekPollFd entry{s, ZEK_POLLIN, 0};
          result = sys_poll(&entry, 1, timeout);
        }
        ended = clock().now();
      });
      if (timeout == 0) {
        // Returns with the clock standing still.
        EXPECT_TRUE(eventually([&] { return result != -100; }));
      }
      // The clock moves in quarter milliseconds, each step once the waiter
      // sleeps (its sleep object is on the socket and has a sleeper).
      auto asleep = [&] {
        BdcLocked lock;
        const OSPrimSleepObject* poller = socket_of(s)->so_rcv.sb_poller;
        return poller != nullptr && poller->Sleepers > 0;
      };
      for (int i = 0; i < 4 * (timeout + 100) && result == -100; ++i) {
        for (int spin = 0; spin < 200 && result == -100 && !asleep(); ++spin) {
          std::this_thread::sleep_for(std::chrono::microseconds(250));
        }
        clock().advance(kMs / 4);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      waiter.join();
      EXPECT_EQ(result, 0);
      EXPECT_GE(ended - start, timeout * kMs);
      EXPECT_LE(ended - start, timeout * kMs + 5 * kMs)
          << "the wait ran past its time-out by " << (ended - start) / kMs - timeout << " ms";
    }
  }
  sys_close(s);
}

TEST_F(SocketCallsTest, CleanupClosesOnlyTheProcessesSocketsAndWakesItsBlockedCalls) {
  const int mine = sys_socket(AF_INET, kDgram, 0);
  ASSERT_EQ(mine, 0);  // descriptor 0 is the process's like any other
  auto [c, s] = tcp_pair();
  const int other = sys_socket(AF_INET, kDgram, 0);
  slot(other)->f_owner_pid = pid() + 1;
  std::atomic<int> received{-100};
  std::thread reader([&] {
    char buffer[16];
    received = sys_recv(s, buffer, sizeof(buffer), 0);
  });
  // The reader waits in the stack (its socket's buffer flags it).
  ASSERT_TRUE(eventually([&] { return (socket_of(s)->so_rcv.sb_flags & SB_WAIT) != 0; }));
  EXPECT_EQ(cleanup_sockets(pid()), 3);
  reader.join();
  EXPECT_EQ(received, 0);
  EXPECT_EQ(slot(mine), nullptr);
  EXPECT_NE(slot(other), nullptr);
  EXPECT_EQ(slot(c), nullptr);
  EXPECT_EQ(slot(s), nullptr);
  EXPECT_EQ(sockets_held_by(pid() + 1), 1);
  slot(other)->f_owner_pid = pid();
}

TEST_F(SocketCallsTest, AddressTextAndTheKernelTable) {
  EXPECT_EQ(sys_inet_addr("10.1"), htonl(0x0A000001));
  EXPECT_EQ(sys_inet_addr("256.1.1.1"), 0xFFFFFFFFu);
  char text[ZEK_INET_TEXT];
  ASSERT_EQ(sys_inet_ntoa_buf(htonl(0xC0000201), text), 0);
  EXPECT_STREQ(text, "192.0.2.1");
  const ZekKernelSocketTable* table = kernel_socket_table();
  EXPECT_EQ(table->socket, &sys_socket);
  EXPECT_EQ(table->recv, &sys_recv);
  EXPECT_EQ(table->poll, &sys_poll);
  EXPECT_EQ(table->dup2, &sys_dup2);
}

}  // namespace
