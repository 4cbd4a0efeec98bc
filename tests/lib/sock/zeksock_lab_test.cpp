// zeksock end to end: a user program of a zekhost making socket calls into
// the proxy driver's stack over the loopback interface, and the driver's
// checks of what a process sends it.
#include <openssl/sha.h>
#include <sys/mman.h>

#include <array>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "include/zek/ioctl.h"
#include "platform/user/win32.h"
#include "tests/lib/sock/zeksock_fixture.h"

namespace {

using Digest = std::array<std::uint8_t, SHA256_DIGEST_LENGTH>;

constexpr int kSolSocket = 0xFFFF;
constexpr int kSoReuseAddr = 0x4;
constexpr int kSoError = 0x1007;
constexpr int kSoRcvBuf = 0x1002;
constexpr int kIpProtoTcp = 6;
constexpr int kTcpNoDelay = 1;
constexpr int kEInProgress = 36;
constexpr int kEBadf = 9;
constexpr int kEFault = 14;
constexpr int kEInval = 22;

TEST_F(ZeksockLab, TcpEchoOfTenMegabytesComesBackWithTheSameChecksum) {
  constexpr std::size_t kBytes = 10 << 20;
  std::vector<std::uint8_t> data(kBytes);
  std::mt19937 random(20);
  for (auto& b : data) b = static_cast<std::uint8_t>(random());
  std::uint16_t port = 0;
  const std::int64_t l = listener(&port);

  std::thread echo([&] {
    ZekSanAddress peer{};
    std::uint32_t length = sizeof(peer);
    const std::int64_t a = t_->accept(l, &peer, &length);
    ASSERT_GE(a, 0) << zek_errno;
    std::vector<std::uint8_t> buffer(64 << 10);
    for (;;) {
      const int n = t_->recv(a, buffer.data(), static_cast<int>(buffer.size()), 0);
      ASSERT_GE(n, 0) << zek_errno;
      if (n == 0) break;
      ASSERT_TRUE(send_all(a, buffer.data(), static_cast<std::size_t>(n)));
    }
    EXPECT_EQ(t_->shutdown(a, 1), 0);
    EXPECT_EQ(t_->close(a), 0);
  });

  const std::int64_t c = connected_to(port);
  std::thread sender([&] {
    EXPECT_TRUE(send_all(c, data.data(), data.size()));
    EXPECT_EQ(t_->shutdown(c, 1), 0) << zek_errno;
  });
  std::vector<std::uint8_t> echoed;
  echoed.reserve(kBytes);
  std::vector<std::uint8_t> buffer(100 << 10);
  for (;;) {
    const int n = t_->recv(c, buffer.data(), static_cast<int>(buffer.size()), 0);
    ASSERT_GE(n, 0) << zek_errno;
    if (n == 0) break;
    echoed.insert(echoed.end(), buffer.begin(), buffer.begin() + n);
  }
  sender.join();
  echo.join();
  Digest got{}, want{};
  SHA256(echoed.data(), echoed.size(), got.data());
  SHA256(data.data(), data.size(), want.data());
  EXPECT_EQ(echoed.size(), kBytes);
  EXPECT_EQ(got, want);
  EXPECT_EQ(t_->close(c), 0);
  EXPECT_EQ(t_->close(l), 0);
}

TEST_F(ZeksockLab, AcceptGivesThePeersAddressAndSmallReadsTakeOnlyWhatArrived) {
  std::uint16_t port = 0;
  const std::int64_t l = listener(&port);
  const std::int64_t c = connected_to(port);
  ZekSanAddress peer{};
  std::uint32_t length = sizeof(peer);
  const std::int64_t a = t_->accept(l, &peer, &length);
  ASSERT_GE(a, 0) << zek_errno;
  ZekSanAddress mine{};
  std::uint32_t mine_length = sizeof(mine);
  ASSERT_EQ(t_->getsockname(c, &mine, &mine_length), 0);
  EXPECT_EQ(length, 16u);
  EXPECT_EQ(peer.Family, mine.Family);  // length byte 16, family 2
  EXPECT_EQ(peer.Address, kLoopback);
  EXPECT_EQ(peer.Port, mine.Port);
  ZekSanAddress name{};
  std::uint32_t name_length = sizeof(name);
  ASSERT_EQ(t_->getpeername(a, &name, &name_length), 0);
  EXPECT_EQ(std::memcmp(&name, &peer, sizeof(name)), 0);

  // A read of 100 bytes of which 5 arrived leaves the rest of the buffer alone.
  ASSERT_EQ(t_->send(c, "hello", 5, 0), 5);
  std::uint8_t buffer[100];
  std::memset(buffer, 0xEE, sizeof(buffer));
  ASSERT_EQ(t_->recv(a, buffer, sizeof(buffer), 0), 5);
  EXPECT_EQ(std::memcmp(buffer, "hello", 5), 0);
  EXPECT_EQ(buffer[5], 0xEE);
  for (std::int64_t s : {a, c, l}) t_->close(s);
}

TEST_F(ZeksockLab, UdpDatagramsKeepTheirBoundariesAndTheSendersAddress) {
  const std::int64_t x = t_->socket(2, 2, 0);
  const std::int64_t y = t_->socket(2, 2, 0);
  ASSERT_GE(x, 0);
  ASSERT_GE(y, 0);
  ZekSanAddress ax = sockaddr_in_of(kLoopback, 0), ay = ax;
  ASSERT_EQ(t_->bind(x, &ax, sizeof(ax)), 0);
  ASSERT_EQ(t_->bind(y, &ay, sizeof(ay)), 0);
  std::uint32_t length = sizeof(ax);
  ASSERT_EQ(t_->getsockname(x, &ax, &length), 0);
  length = sizeof(ay);
  ASSERT_EQ(t_->getsockname(y, &ay, &length), 0);
  std::vector<std::uint8_t> big(1000, 0x5A);
  ASSERT_EQ(t_->sendto(x, "one", 3, 0, &ay, sizeof(ay)), 3);
  ASSERT_EQ(t_->sendto(x, big.data(), static_cast<int>(big.size()), 0, &ay, sizeof(ay)), 1000);
  std::uint8_t buffer[2000];
  ZekSanAddress from{};
  std::uint32_t from_length = sizeof(from);
  ASSERT_EQ(t_->recvfrom(y, buffer, sizeof(buffer), 0, &from, &from_length), 3);
  EXPECT_EQ(std::memcmp(buffer, "one", 3), 0);
  EXPECT_EQ(from_length, 16u);
  EXPECT_EQ(from.Port, ax.Port);
  EXPECT_EQ(from.Address, kLoopback);
  ASSERT_EQ(t_->recvfrom(y, buffer, sizeof(buffer), 0, &from, &from_length), 1000);
  EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 1000), big);

  // A message with two vector entries arrives as one datagram.
  char first[] = "ab", second[] = "cde";
  ZekIovec iov[2] = {{reinterpret_cast<std::uint64_t>(first), 2}, {reinterpret_cast<std::uint64_t>(second), 3}};
  ZekMsgHdr message{};
  message.Name = reinterpret_cast<std::uint64_t>(&ay);
  message.NameLength = sizeof(ay);
  message.Iov = reinterpret_cast<std::uint64_t>(iov);
  message.IovCount = 2;
  ASSERT_EQ(t_->sendmsg(x, &message, 0), 5) << zek_errno;
  char out1[3] = {}, out2[10] = {};
  ZekIovec in[2] = {{reinterpret_cast<std::uint64_t>(out1), 3}, {reinterpret_cast<std::uint64_t>(out2), 10}};
  ZekSanAddress source{};
  ZekMsgHdr received{};
  received.Name = reinterpret_cast<std::uint64_t>(&source);
  received.NameLength = sizeof(source);
  received.Iov = reinterpret_cast<std::uint64_t>(in);
  received.IovCount = 2;
  ASSERT_EQ(t_->recvmsg(y, &received, 0), 5) << zek_errno;
  EXPECT_EQ(std::string(out1, 3) + std::string(out2, 2), "abcde");
  EXPECT_EQ(received.NameLength, 16u);
  EXPECT_EQ(source.Port, ax.Port);
  t_->close(x);
  t_->close(y);
}

TEST_F(ZeksockLab, PollAndSelectReportOnlyTheSocketsThatAreReady) {
  std::vector<std::pair<std::int64_t, std::int64_t>> pairs;
  for (int i = 0; i < 3; ++i) pairs.push_back(tcp_pair());
  ASSERT_EQ(t_->send(pairs[1].first, "x", 1, 0), 1);

  std::vector<ZekPollFd> entries;
  for (auto& p : pairs) entries.push_back({static_cast<std::int32_t>(p.second), ZEK_POLLIN, 0});
  ASSERT_EQ(t_->poll(entries.data(), 3, 5000), 1) << zek_errno;
  EXPECT_EQ(entries[0].Revents, 0);
  EXPECT_NE(entries[1].Revents & ZEK_POLLIN, 0);
  EXPECT_EQ(entries[2].Revents, 0);

  int count = 0;
  std::uint8_t read_set[1024] = {};
  for (auto& p : pairs) {
    read_set[p.second / 8] = static_cast<std::uint8_t>(read_set[p.second / 8] | (1u << (p.second % 8)));
    count = std::max(count, static_cast<int>(p.second) + 1);
  }
  const ZekTimeval timeout{5, 0};
  ASSERT_EQ(t_->select(count, read_set, nullptr, nullptr, &timeout), 1) << zek_errno;
  for (auto& p : pairs) {
    const bool set = (read_set[p.second / 8] >> (p.second % 8)) & 1;
    EXPECT_EQ(set, p.second == pairs[1].second) << p.second;
  }

  // Nothing ready: a short time-out ends with 0; a waiting poll wakes when
  // data comes.
  entries[1].Fd = static_cast<std::int32_t>(pairs[0].second);
  char c = 0;
  ASSERT_EQ(t_->recv(pairs[1].second, &c, 1, 0), 1);
  EXPECT_EQ(t_->poll(entries.data(), 3, 1), 0);
  std::thread late([&] { t_->send(pairs[2].first, "y", 1, 0); });
  EXPECT_EQ(t_->poll(entries.data(), 3, -1), 1);
  EXPECT_NE(entries[2].Revents & ZEK_POLLIN, 0);
  late.join();
  for (auto& p : pairs) {
    t_->close(p.first);
    t_->close(p.second);
  }
}

TEST_F(ZeksockLab, NonBlockingConnectCompletesAndReportsWritable) {
  std::uint16_t port = 0;
  const std::int64_t l = listener(&port);
  const std::int64_t s = t_->socket(2, 1, 0);
  ASSERT_EQ(t_->fcntl(s, ZEK_F_SETFL, ZEK_O_NONBLOCK), 0);
  EXPECT_EQ(t_->fcntl(s, ZEK_F_GETFL, 0), ZEK_O_NONBLOCK);
  const ZekSanAddress a = sockaddr_in_of(kLoopback, port);
  const int r = t_->connect(s, &a, sizeof(a));
  if (r != 0) {
    EXPECT_EQ(zek_errno, kEInProgress);
  }
  ZekPollFd entry{static_cast<std::int32_t>(s), ZEK_POLLOUT, 0};
  ASSERT_EQ(t_->poll(&entry, 1, 10000), 1);
  EXPECT_NE(entry.Revents & ZEK_POLLOUT, 0);
  std::int32_t error = -1;
  std::uint32_t length = sizeof(error);
  ASSERT_EQ(t_->getsockopt(s, kSolSocket, kSoError, &error, &length), 0);
  EXPECT_EQ(error, 0);
  // With nothing queued a non-blocking receive would block.
  const std::int64_t accepted = t_->accept(l, nullptr, nullptr);
  char c;
  EXPECT_EQ(t_->recv(s, &c, 1, 0), -1);
  EXPECT_EQ(zek_errno, 35);
  for (std::int64_t x : {accepted, s, l}) t_->close(x);
}

TEST_F(ZeksockLab, OptionsAreSetAndReadBackAndOversizedValuesAreRefused) {
  const std::int64_t s = t_->socket(2, 1, 0);
  struct Case {
    int level, name;
  };
  for (const Case c : {Case{kSolSocket, kSoReuseAddr}, Case{kIpProtoTcp, kTcpNoDelay}}) {
    const std::int32_t one = 1;
    ASSERT_EQ(t_->setsockopt(s, c.level, c.name, &one, sizeof(one)), 0) << c.name << " " << zek_errno;
    std::int32_t value = 0;
    std::uint32_t length = sizeof(value);
    ASSERT_EQ(t_->getsockopt(s, c.level, c.name, &value, &length), 0);
    EXPECT_NE(value, 0) << c.name;
    EXPECT_EQ(length, 4u);
  }
  std::int32_t size = 0;
  std::uint32_t length = sizeof(size);
  ASSERT_EQ(t_->getsockopt(s, kSolSocket, kSoRcvBuf, &size, &length), 0);
  EXPECT_GT(size, 0);
  // The value area holds 8 bytes: a 9-byte value is refused before sending.
  const std::uint8_t nine[9] = {};
  EXPECT_EQ(t_->setsockopt(s, kSolSocket, kSoReuseAddr, nine, 9), -1);
  EXPECT_EQ(zek_errno, kEFault);
  t_->close(s);
}

TEST_F(ZeksockLab, ShutdownOfTheSendSideGivesThePeerEndOfStreamWhileItStillAnswers) {
  auto [c, a] = tcp_pair();
  ASSERT_EQ(t_->send(c, "last", 4, 0), 4);
  ASSERT_EQ(t_->shutdown(c, 1), 0);
  char buffer[16];
  ASSERT_EQ(t_->recv(a, buffer, sizeof(buffer), 0), 4);
  EXPECT_EQ(t_->recv(a, buffer, sizeof(buffer), 0), 0);
  ASSERT_EQ(t_->send(a, "reply", 5, 0), 5);
  ASSERT_EQ(t_->recv(c, buffer, sizeof(buffer), 0), 5);
  EXPECT_EQ(t_->send(c, "more", 4, 0), -1);
  EXPECT_EQ(zek_errno, 32);  // EPIPE
  EXPECT_EQ(t_->shutdown(c, 3), -1);
  EXPECT_EQ(zek_errno, kEInval);
  t_->close(a);
  t_->close(c);
}

TEST_F(ZeksockLab, DupKeepsTheSocketOpenUntilItsLastDescriptorCloses) {
  auto [c, a] = tcp_pair();
  const int d = t_->dup(c);
  ASSERT_GE(d, 0) << zek_errno;
  ASSERT_EQ(t_->close(c), 0);
  ASSERT_EQ(t_->send(d, "via dup", 7, 0), 7);
  char buffer[16];
  ASSERT_EQ(t_->recv(a, buffer, sizeof(buffer), 0), 7);
  EXPECT_EQ(t_->send(c, "x", 1, 0), -1);
  EXPECT_EQ(zek_errno, kEBadf);
  EXPECT_EQ(t_->dup2(d, ZEK_SOCKET_DESCRIPTORS), -1);
  EXPECT_EQ(zek_errno, kEBadf);
  ASSERT_EQ(t_->close(d), 0);
  EXPECT_EQ(t_->recv(a, buffer, sizeof(buffer), 0), 0);
  t_->close(a);
}

TEST_F(ZeksockLab, SocketStatisticsAndTheInterfaceListDescribeTheStack) {
  HANDLE device = CreateFileA("\\\\.\\zekproxy", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  auto connects = [&] {
    std::uint32_t block[ZEK_TCP_STATS_BYTES / 4] = {};
    ZekTcpStatsRecord r{};
    r.Buffer = reinterpret_cast<std::uint64_t>(block);
    r.BufferLength = sizeof(block);
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(device, IOCTL_TCP_GET_STATS, &r, sizeof(r), &r, sizeof(r), &returned, nullptr));
    return block[0] + block[2];  // connection attempts and connections made
  };
  const std::uint32_t before = connects();
  auto [c, a] = tcp_pair();
  EXPECT_GT(connects(), before);
  // A buffer shorter than the block takes only its length.
  struct {
    std::uint8_t head[4];
    std::uint8_t tail[4];
  } two{};
  std::memset(&two, 0xCC, sizeof(two));
  ZekTcpStatsRecord r{};
  r.Buffer = reinterpret_cast<std::uint64_t>(&two);
  r.BufferLength = 4;
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(device, IOCTL_TCP_GET_STATS, &r, sizeof(r), &r, sizeof(r), &returned, nullptr));
  EXPECT_EQ(two.tail[0], 0xCC);
  CloseHandle(device);

  std::uint8_t list[1024] = {};
  ZekIfconf conf{static_cast<std::int32_t>(sizeof(list)), 0, reinterpret_cast<std::uint64_t>(list)};
  ASSERT_EQ(t_->ioctl(c, ZEK_SIOCGIFCONF, &conf), 0) << zek_errno;
  ASSERT_GT(conf.Length, 0);
  bool loopback = false;
  for (std::int32_t at = 0; at + 18 <= conf.Length;) {
    const char* name = reinterpret_cast<const char*>(list + at);
    const std::uint8_t length = list[at + 16];
    const std::uint8_t family = list[at + 17];
    std::uint32_t address = 0;
    std::memcpy(&address, list + at + 20, 4);
    if (std::string(name) == "lo0" && family == 2 && address == kLoopback) loopback = true;
    at += 16 + std::max<int>(length, 16);
  }
  EXPECT_TRUE(loopback);
  t_->close(a);
  t_->close(c);
}

// ---- What a process sends is checked -------------------------------------------------------------
class ZeksockRequests : public ZeksockLab {
 protected:
  void SetUp() override {
    ZeksockLab::SetUp();
    device_ = CreateFileA("\\\\.\\zekproxy", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(device_, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    if (device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
    ZeksockLab::TearDown();
  }
  template <typename Record>
  bool send(std::uint32_t code, Record* r) {
    DWORD returned = 0;
    return DeviceIoControl(device_, code, r, sizeof(*r), r, sizeof(*r), &returned, nullptr);
  }
  HANDLE device_ = INVALID_HANDLE_VALUE;
};

TEST_F(ZeksockRequests, OutOfRangeLengthsAndCountsGiveClearErrors) {
  const std::int64_t s = t_->socket(2, 1, 0);
  ZekAddressRecord bind{};
  bind.Socket = static_cast<std::uint64_t>(s);
  bind.Length = 0xFFFFFFFF;
  ASSERT_TRUE(send(IOCTL_ZEK_BIND_USER, &bind));
  EXPECT_EQ(bind.Result, -63);  // ENAMETOOLONG: longer than the address area

  ZekOptionRecord option{};
  option.Socket = static_cast<std::uint64_t>(s);
  option.Level = kSolSocket;
  option.Name = kSoReuseAddr;
  option.Length = 4096;
  ASSERT_TRUE(send(IOCTL_ZEK_SETSOCKOPT_USER, &option));
  EXPECT_EQ(option.Result, -kEInval);
  option.Length = 4096;
  ASSERT_TRUE(send(IOCTL_ZEK_GETSOCKOPT_USER, &option));
  EXPECT_EQ(option.Result, 0);
  EXPECT_EQ(option.Length, 4u);

  struct CountCase {
    std::int32_t count;
    std::int32_t result;
  };
  const std::int64_t u = t_->socket(2, 2, 0);  // a datagram socket can always send
  ZekPollFd two[2] = {{static_cast<std::int32_t>(u), ZEK_POLLOUT, 0}, {-1, 0, 0}};
  for (const CountCase c : {CountCase{0x7FFFFFFF, -kEInval}, CountCase{-1, -kEInval}, CountCase{2, 1}}) {
    ZekPollRecord poll{reinterpret_cast<std::uint64_t>(two), c.count, 0, 0, 0};
    ASSERT_TRUE(send(IOCTL_ZEK_POLL_USER, &poll));
    EXPECT_EQ(poll.Result, c.result) << c.count;
  }
  std::uint8_t set[8] = {};
  for (const CountCase c : {CountCase{ZEK_SELECT_MAX + 1, -kEInval}, CountCase{-5, -kEInval}}) {
    ZekSelectRecord select{};
    select.Count = c.count;
    select.ReadSet = reinterpret_cast<std::uint64_t>(set);
    ASSERT_TRUE(send(IOCTL_ZEK_SELECT_USER, &select));
    EXPECT_EQ(select.Result, c.result) << c.count;
  }
  // A receive of nothing is a malformed request.
  ZekTransferRecord recv{};
  recv.Socket = static_cast<std::uint64_t>(s);
  EXPECT_FALSE(send(IOCTL_ZEK_RECV_USER, &recv));
  t_->close(s);
  t_->close(u);
}

TEST_F(ZeksockRequests, AMessageWhoseSecondBufferIsNotThereFailsWholeAndTheHostGoesOn) {
  const std::int64_t x = t_->socket(2, 2, 0);
  const std::int64_t y = t_->socket(2, 2, 0);
  ZekSanAddress ay = sockaddr_in_of(kLoopback, 0);
  ASSERT_EQ(t_->bind(y, &ay, sizeof(ay)), 0);
  std::uint32_t length = sizeof(ay);
  ASSERT_EQ(t_->getsockname(y, &ay, &length), 0);
  void* hole = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(hole, MAP_FAILED);
  char good[] = "good";
  struct Case {
    std::uint64_t second;
    std::int32_t count;
    int error;
  };
  for (const Case c : {Case{reinterpret_cast<std::uint64_t>(hole), 2, kEFault}, Case{0x10, 2, kEFault},
                       Case{reinterpret_cast<std::uint64_t>(good), 1024, 40}}) {
    std::vector<ZekIovec> iov(1024, ZekIovec{reinterpret_cast<std::uint64_t>(good), 4});
    iov[1].Base = c.second;
    ZekMsgHdr message{};
    message.Name = reinterpret_cast<std::uint64_t>(&ay);
    message.NameLength = sizeof(ay);
    message.Iov = reinterpret_cast<std::uint64_t>(iov.data());
    message.IovCount = c.count;
    EXPECT_EQ(t_->sendmsg(x, &message, 0), -1);
    EXPECT_EQ(zek_errno, c.error);
  }
  // Nothing of the failed messages went out; the host serves on.
  ZekPollFd entry{static_cast<std::int32_t>(y), ZEK_POLLIN, 0};
  EXPECT_EQ(t_->poll(&entry, 1, 0), 0);
  EXPECT_EQ(t_->sendto(x, good, 4, 0, &ay, sizeof(ay)), 4);
  char buffer[8];
  EXPECT_EQ(t_->recv(y, buffer, sizeof(buffer), 0), 4);
  // A receive into memory the process does not have loses nothing.
  ASSERT_EQ(t_->sendto(x, good, 4, 0, &ay, sizeof(ay)), 4);
  EXPECT_EQ(t_->recv(y, hole, 1000, 0), -1);
  EXPECT_EQ(zek_errno, kEFault);
  EXPECT_EQ(t_->recv(y, buffer, sizeof(buffer), 0), 4);
  munmap(hole, 4096);
  t_->close(x);
  t_->close(y);
}

TEST_F(ZeksockRequests, CodesTheDriverDoesNotServeAreRefused) {
  std::uint8_t record[64] = {};
  DWORD returned = 0;
  for (std::uint32_t code : {IOCTL_ZEK_INET_ADDR_USER, IOCTL_ZEK_SOCKET_OP_E0_USER, IOCTL_ZEK_TCPIP_CC04,
                             IOCTL_ZEK_SOCKET_OP_68_KERNEL, IOCTL_ZEK_SOCKET_KERNEL, IOCTL_ZEK_GET_SOCKET_TABLE}) {
    EXPECT_FALSE(DeviceIoControl(device_, code, record, sizeof(record), record, sizeof(record), &returned, nullptr))
        << std::hex << code;
  }
  EXPECT_TRUE(DeviceIoControl(device_, IOCTL_ZEK_TCPIP_CC00, record, 4, record, 4, &returned, nullptr));
  EXPECT_EQ(returned, 4u);
}

// ---- Processes ---------------------------------------------------------------------------------------
TEST_F(ZeksockLab, AProcessKilledWithSocketsOpenLeavesNoneAndItsHandlesAreNotOthers) {
  std::uint16_t port = 0;
  const std::int64_t l = listener(&port);
  const std::filesystem::path out = dir_ / "child.txt";
  pid_t child = zeklab::spawn({ZEK_SOCK_CHILD, std::to_string(port)}, host_dir_, out);
  std::int64_t child_listener = -1;
  unsigned child_port = 0;
  ASSERT_TRUE(zeklab::eventually([&] {
    std::istringstream text(zeklab::read_file(out));
    return static_cast<bool>(text >> child_listener >> child_port);
  })) << zeklab::read_file(host_dir_ / "host.log");
  const std::int64_t a = t_->accept(l, nullptr, nullptr);
  ASSERT_GE(a, 0);

  // The child's descriptor is not this process's.
  EXPECT_EQ(t_->listen(child_listener, 1), -1);
  EXPECT_EQ(zek_errno, kEBadf);
  EXPECT_EQ(t_->close(child_listener), -1);
  EXPECT_EQ(zek_errno, kEBadf);

  zeklab::kill_child(child);
  // Its connection ends and its listener's port is free again.
  char c;
  EXPECT_EQ(t_->recv(a, &c, 1, 0), 0);
  const std::int64_t s = t_->socket(2, 1, 0);
  const ZekSanAddress again = sockaddr_in_of(kLoopback, static_cast<std::uint16_t>(child_port));
  EXPECT_TRUE(zeklab::eventually([&] { return t_->bind(s, &again, sizeof(again)) == 0; }));
  for (std::int64_t x : {s, a, l}) t_->close(x);
}

TEST_F(ZeksockLab, CallsFailWithBadDescriptorOnceTheHostHasGone) {
  zeklab::terminate(host_);
  host_ = -1;
  EXPECT_EQ(t_->socket(2, 1, 0), -1);
  EXPECT_EQ(zek_errno, kEBadf);
}

TEST(ZeksockWithoutHost, InitFailsAndLeavesNothingRegistered) {
  const std::filesystem::path none = zeklab::make_temp_dir("zeksock-nohost");
  setenv("ZEK_HOST", none.c_str(), 1);
  ASSERT_EQ(ZEK_InitLib_Base(0, ZEK_ABI_COOKIE), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_Init_u_sockets(ZEK_SOCKETS_DEVICE), ZEK_STATUS_FAIL);
  void* table = nullptr;
  EXPECT_NE(ZEK_GetInterface(ZEK_SOCKETS_INTERFACE, &table), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_CleanupLib_Base(), ZEK_STATUS_PASS);  // would fail with an interface still registered
  ZekSocketsInitParams params{0, 0};
  EXPECT_EQ(ZEK_InitLib_Sockets(&params, ZEK_ABI_COOKIE), ZEK_STATUS_FAIL);
  EXPECT_EQ(params.Hint, ZEK_BASE_DEFAULT_HINT);
  EXPECT_EQ(ZEK_InitLib_Base(0, ZEK_ABI_COOKIE), ZEK_STATUS_PASS);  // the failed init undid its modules
  EXPECT_EQ(ZEK_CleanupLib_Base(), ZEK_STATUS_PASS);
  EXPECT_NE(ZEK_CleanupLib_Base(), ZEK_STATUS_PASS);  // nothing more to clean up
  std::filesystem::remove_all(none);
}

// The driver and zeksock parse and format addresses with the same routines.
TEST(ZeksockText, InetAddrAndNtoaFollowTheDottedRules) {
  struct Case {
    const char* text;
    std::uint32_t value;
  };
  // Read as a little-endian u32: 10.1.2.3 is 0x0302010A.
  for (const Case c : {Case{"10.1.2.3", 0x0302010A}, Case{"10.1", 0x0100000A}, Case{"1.2.3.4", 0x04030201},
                       Case{"256.1.1.1", 0xFFFFFFFF}, Case{"1.2.3.4.5", 0xFFFFFFFF}, Case{"1.2.x", 0xFFFFFFFF},
                       Case{"", 0}, Case{"1.16777216", 0xFFFFFFFF}, Case{"4294967295", 0xFFFFFFFF},
                       Case{"1.2.65535", 0xFFFF0201}, Case{"1..2", 0xFFFFFFFF}}) {
    EXPECT_EQ(ZekInetAddr(c.text), c.value) << c.text;
  }
  char text[ZEK_INET_TEXT];
  ZekInetNtoa(0x0302010A, text);
  EXPECT_STREQ(text, "10.1.2.3");
  ZekInetNtoa(0xFFFFFFFF, text);
  EXPECT_STREQ(text, "255.255.255.255");
}

}  // namespace
