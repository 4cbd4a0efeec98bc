// WinSock in one process: native sockets, their errors, overlapped
// transfers, select, names, the catalog and duplicated sockets.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/winsock/ws2spi.h"

namespace {

class WinSock : public ::testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  }
  void TearDown() override { EXPECT_EQ(WSACleanup(), 0); }

  static sockaddr_in loopback(u_short port = 0) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
  }
  // A listening socket on 127.0.0.1 and its address.
  static SOCKET listener(sockaddr_in* where) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = loopback();
    EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << WSAGetLastError();
    EXPECT_EQ(listen(s, 8), 0) << WSAGetLastError();
    int length = sizeof *where;
    EXPECT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(where), &length), 0);
    return s;
  }
  // A connected pair: client and accepted server side.
  static void pair(SOCKET* client, SOCKET* server) {
    sockaddr_in where;
    SOCKET l = listener(&where);
    *client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(*client, reinterpret_cast<sockaddr*>(&where), sizeof where), 0) << WSAGetLastError();
    *server = accept(l, nullptr, nullptr);
    ASSERT_NE(*server, INVALID_SOCKET) << WSAGetLastError();
    closesocket(l);
  }
};

TEST(WinSockStartup, CallsBeforeStartupAndBadVersionsAreRefused) {
  EXPECT_EQ(socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
  EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
  WSADATA data;
  EXPECT_EQ(WSAStartup(MAKEWORD(0, 0), &data), WSAVERNOTSUPPORTED);
  EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), nullptr), WSAEFAULT);
  ASSERT_EQ(WSAStartup(MAKEWORD(3, 0), &data), 0);  // a later version gets the highest there is
  EXPECT_EQ(data.wVersion, MAKEWORD(2, 2));
  ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
  EXPECT_EQ(data.wVersion, MAKEWORD(1, 1));
  EXPECT_EQ(WSACleanup(), 0);
  EXPECT_EQ(WSACleanup(), 0);
  EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
}

TEST_F(WinSock, AStreamCarriesDataBothWaysAndEndsWithZero) {
  SOCKET client, server;
  pair(&client, &server);
  const char hello[] = "hello";
  EXPECT_EQ(send(client, hello, sizeof hello, 0), static_cast<int>(sizeof hello));
  char buffer[16] = {};
  EXPECT_EQ(recv(server, buffer, sizeof hello, MSG_WAITALL), static_cast<int>(sizeof hello));
  EXPECT_STREQ(buffer, "hello");
  sockaddr_in a{}, b{};
  int la = sizeof a, lb = sizeof b;
  EXPECT_EQ(getsockname(client, reinterpret_cast<sockaddr*>(&a), &la), 0);
  EXPECT_EQ(getpeername(server, reinterpret_cast<sockaddr*>(&b), &lb), 0);
  EXPECT_EQ(a.sin_port, b.sin_port);
  EXPECT_EQ(shutdown(client, SD_SEND), 0);
  EXPECT_EQ(recv(server, buffer, sizeof buffer, 0), 0);
  EXPECT_EQ(send(client, hello, sizeof hello, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAESHUTDOWN);
  closesocket(client);
  closesocket(server);
}

TEST_F(WinSock, BadCallsGetTheWinSockErrorAndNeverCrash) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  SOCKET udp = socket(AF_INET, SOCK_DGRAM, 0);
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const SOCKET not_socket = reinterpret_cast<SOCKET>(event);
  sockaddr_in a = loopback();
  sockaddr_in taken;
  SOCKET l = listener(&taken);
  sockaddr_in refused = loopback(1);  // nothing listens on port 1
  char buffer[8];
  int optlen = 2;
  u_long arg = 0;
  struct Case {
    const char* what;
    std::function<bool()> call;  // true when it failed as a call fails
    int error;
  };
  const Case cases[] = {
      {"socket of an unknown family", [] { return socket(99, SOCK_STREAM, 0) == INVALID_SOCKET; }, WSAEAFNOSUPPORT},
      {"socket of an unknown type", [] { return socket(AF_INET, 99, 0) == INVALID_SOCKET; }, WSAESOCKTNOSUPPORT},
      {"stream with UDP", [] { return socket(AF_INET, SOCK_STREAM, IPPROTO_UDP) == INVALID_SOCKET; }, WSAEPROTOTYPE},
      {"send on an event handle", [&] { return send(not_socket, "x", 1, 0) == SOCKET_ERROR; }, WSAENOTSOCK},
      {"closesocket of an event", [&] { return closesocket(not_socket) == SOCKET_ERROR; }, WSAENOTSOCK},
      {"a made-up handle", [] { return recv(0x12345678, nullptr, 0, 0) == SOCKET_ERROR; }, WSAENOTSOCK},
      {"bind without an address", [&] { return bind(s, nullptr, 16) == SOCKET_ERROR; }, WSAEFAULT},
      {"bind with a short address", [&] { return bind(s, reinterpret_cast<sockaddr*>(&a), 8) == SOCKET_ERROR; },
       WSAEFAULT},
      {"bind to an address in use",
       [&] { return bind(s, reinterpret_cast<sockaddr*>(&taken), sizeof taken) == SOCKET_ERROR; }, WSAEADDRINUSE},
      {"listen before bind", [&] { return listen(s, 1) == SOCKET_ERROR; }, WSAEINVAL},
      {"name before bind",
       [&] {
         sockaddr_in n;
         int len = sizeof n;
         return getsockname(s, reinterpret_cast<sockaddr*>(&n), &len) == SOCKET_ERROR;
       },
       WSAEINVAL},
      {"peer of an unconnected socket",
       [&] {
         sockaddr_in n;
         int len = sizeof n;
         return getpeername(s, reinterpret_cast<sockaddr*>(&n), &len) == SOCKET_ERROR;
       },
       WSAENOTCONN},
      {"accept on a socket that does not listen", [&] { return accept(s, nullptr, nullptr) == INVALID_SOCKET; },
       WSAEINVAL},
      {"connect where nothing listens",
       [&] { return connect(s, reinterpret_cast<sockaddr*>(&refused), sizeof refused) == SOCKET_ERROR; },
       WSAECONNREFUSED},
      {"recv with an unknown flag", [&] { return recv(s, buffer, 1, 0x40) == SOCKET_ERROR; }, WSAEOPNOTSUPP},
#ifndef __SANITIZE_ADDRESS__
      // (AddressSanitizer's own send() checks the buffer before the call reaches WinSock.)
      {"send of a negative length", [&] { return send(s, buffer, -1, 0) == SOCKET_ERROR; }, WSAEFAULT},
#endif
      {"an unknown option", [&] { return setsockopt(s, SOL_SOCKET, 0x3333, buffer, 4) == SOCKET_ERROR; },
       WSAENOPROTOOPT},
      {"an option into a short buffer",
       [&] { return getsockopt(s, SOL_SOCKET, SO_REUSEADDR, buffer, &optlen) == SOCKET_ERROR; }, WSAEFAULT},
      {"an unknown control", [&] { return ioctlsocket(s, 0x1234, &arg) == SOCKET_ERROR; }, WSAEINVAL},
      {"shutdown of an unknown kind", [&] { return shutdown(s, 7) == SOCKET_ERROR; }, WSAEINVAL},
      {"listen on a datagram socket",
       [&] {
         bind(udp, reinterpret_cast<sockaddr*>(&a), sizeof a);
         return listen(udp, 1) == SOCKET_ERROR;
       },
       WSAEOPNOTSUPP},
  };
  for (const auto& c : cases) {
    WSASetLastError(0);
    EXPECT_TRUE(c.call()) << c.what;
    EXPECT_EQ(WSAGetLastError(), c.error) << c.what;
  }
  EXPECT_TRUE(SetEvent(event));  // the event survived being taken for a socket
  CloseHandle(event);
  closesocket(s);
  closesocket(udp);
  closesocket(l);
  EXPECT_EQ(closesocket(s), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}

TEST_F(WinSock, ANonBlockingSocketSaysItWouldBlock) {
  sockaddr_in where;
  SOCKET l = listener(&where);
  u_long on = 1;
  ASSERT_EQ(ioctlsocket(l, FIONBIO, &on), 0);
  EXPECT_EQ(accept(l, nullptr, nullptr), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  SOCKET c = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(ioctlsocket(c, FIONBIO, &on), 0);
  const int r = connect(c, reinterpret_cast<sockaddr*>(&where), sizeof where);
  EXPECT_TRUE(r == 0 || WSAGetLastError() == WSAEWOULDBLOCK);
  fd_set writable;
  FD_ZERO(&writable);
  FD_SET(c, &writable);
  timeval wait{10, 0};
  EXPECT_EQ(select(0, nullptr, &writable, nullptr, &wait), 1);
  EXPECT_TRUE(FD_ISSET(c, &writable));
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(l, &readable);
  EXPECT_EQ(select(0, &readable, nullptr, nullptr, &wait), 1);
  SOCKET a = accept(l, nullptr, nullptr);
  ASSERT_NE(a, INVALID_SOCKET);
  char byte;
  EXPECT_EQ(recv(a, &byte, 1, 0), SOCKET_ERROR);  // the accepted socket is non-blocking too
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  u_long available = 99;
  EXPECT_EQ(ioctlsocket(a, FIONREAD, &available), 0);
  EXPECT_EQ(available, 0u);
  for (SOCKET s : {l, c, a}) closesocket(s);
}

TEST_F(WinSock, ClosingASocketEndsTheCallsBlockedOnIt) {
  sockaddr_in where;
  SOCKET l = listener(&where);
  std::atomic<int> accept_error{0};
  std::thread acceptor([&] {
    if (accept(l, nullptr, nullptr) == INVALID_SOCKET) accept_error = WSAGetLastError();
  });
  SOCKET client, server;
  pair(&client, &server);
  std::atomic<int> recv_error{0};
  std::thread reader([&] {
    char b;
    if (recv(server, &b, 1, 0) == SOCKET_ERROR) recv_error = WSAGetLastError();
  });
  // (Both calls are blocked or about to be; closing ends them either way.)
  std::this_thread::yield();
  closesocket(l);
  closesocket(server);
  acceptor.join();
  reader.join();
  EXPECT_NE(accept_error.load(), 0);
  EXPECT_NE(recv_error.load(), 0);
  closesocket(client);
}

TEST_F(WinSock, AReceiveTimeOutEndsTheWait) {
  SOCKET client, server;
  pair(&client, &server);
  DWORD timeout = 50;
  ASSERT_EQ(setsockopt(server, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout), 0);
  DWORD read_back = 0;
  int length = sizeof read_back;
  EXPECT_EQ(getsockopt(server, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&read_back), &length), 0);
  EXPECT_EQ(read_back, 50u);
  char b;
  EXPECT_EQ(recv(server, &b, 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAETIMEDOUT);
  closesocket(client);
  closesocket(server);
}

TEST_F(WinSock, DatagramsArriveWholeOrTruncatedWithMsgSize) {
  SOCKET a = socket(AF_INET, SOCK_DGRAM, 0);
  SOCKET b = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in where = loopback();
  ASSERT_EQ(bind(b, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
  int length = sizeof where;
  getsockname(b, reinterpret_cast<sockaddr*>(&where), &length);
  EXPECT_EQ(sendto(a, "datagram", 8, 0, reinterpret_cast<sockaddr*>(&where), sizeof where), 8);
  char buffer[16];
  sockaddr_in from{};
  int from_length = sizeof from;
  EXPECT_EQ(recvfrom(b, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &from_length), 8);
  EXPECT_EQ(from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(sendto(a, "datagram", 8, 0, reinterpret_cast<sockaddr*>(&where), sizeof where), 8);
  EXPECT_EQ(recvfrom(b, buffer, 4, 0, nullptr, nullptr), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEMSGSIZE);
  EXPECT_EQ(std::string(buffer, 4), "data");
  closesocket(a);
  closesocket(b);
}

TEST_F(WinSock, SelectReportsWhatIsReadyOrTimesOut) {
  SOCKET client, server;
  pair(&client, &server);
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(server, &readable);
  timeval instant{0, 0};
  EXPECT_EQ(select(0, &readable, nullptr, nullptr, &instant), 0);
  EXPECT_EQ(readable.fd_count, 0u);
  send(client, "x", 1, 0);
  FD_SET(server, &readable);
  FD_SET(client, &readable);
  timeval wait{10, 0};
  EXPECT_EQ(select(0, &readable, nullptr, nullptr, &wait), 1);
  EXPECT_TRUE(FD_ISSET(server, &readable));
  EXPECT_FALSE(FD_ISSET(client, &readable));
  fd_set bad;
  FD_ZERO(&bad);
  FD_SET(static_cast<SOCKET>(0x7654320), &bad);
  EXPECT_EQ(select(0, &bad, nullptr, nullptr, &instant), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(select(0, nullptr, nullptr, nullptr, &instant), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  closesocket(client);
  closesocket(server);
}

TEST_F(WinSock, OverlappedTransfersCompleteThroughEventsAndPorts) {
  SOCKET client, server;
  pair(&client, &server);
  HANDLE port = CreateIoCompletionPort(reinterpret_cast<HANDLE>(server), nullptr, 77, 0);
  ASSERT_NE(port, nullptr) << GetLastError();
  char buffer[32] = {};
  WSABUF wsabuf{sizeof buffer, buffer};
  OVERLAPPED ov{};
  ov.hEvent = WSACreateEvent();
  DWORD flags = 0, bytes = 0;
  ASSERT_EQ(WSARecv(server, &wsabuf, 1, nullptr, &flags, &ov, nullptr), SOCKET_ERROR);
  ASSERT_EQ(WSAGetLastError(), WSA_IO_PENDING);
  EXPECT_FALSE(WSAGetOverlappedResult(server, &ov, &bytes, FALSE, &flags));
  EXPECT_EQ(WSAGetLastError(), WSA_IO_INCOMPLETE);
  EXPECT_EQ(send(client, "overlapped", 10, 0), 10);
  EXPECT_EQ(WaitForSingleObject(ov.hEvent, 10000), WAIT_OBJECT_0);
  EXPECT_TRUE(WSAGetOverlappedResult(server, &ov, &bytes, TRUE, &flags));
  EXPECT_EQ(bytes, 10u);
  EXPECT_EQ(std::string(buffer, 10), "overlapped");
  ULONG_PTR key = 0;
  LPOVERLAPPED done = nullptr;
  ASSERT_TRUE(GetQueuedCompletionStatus(port, &bytes, &key, &done, 10000));
  EXPECT_EQ(key, 77u);
  EXPECT_EQ(done, &ov);
  // A send that goes at once still reports its completion.
  char out[] = "back";
  WSABUF outbuf{4, out};
  OVERLAPPED ov2{};
  ASSERT_EQ(WSASend(server, &outbuf, 1, &bytes, 0, &ov2, nullptr), 0);
  EXPECT_EQ(bytes, 4u);
  ASSERT_TRUE(GetQueuedCompletionStatus(port, &bytes, &key, &done, 10000));
  EXPECT_EQ(done, &ov2);
  // Closing the socket aborts what waits.
  OVERLAPPED ov3{};
  ov3.hEvent = WSACreateEvent();
  ASSERT_EQ(WSARecv(server, &wsabuf, 1, nullptr, &flags, &ov3, nullptr), SOCKET_ERROR);
  ASSERT_EQ(WSAGetLastError(), WSA_IO_PENDING);
  closesocket(server);
  EXPECT_EQ(WaitForSingleObject(ov3.hEvent, 10000), WAIT_OBJECT_0);
  EXPECT_FALSE(GetQueuedCompletionStatus(port, &bytes, &key, &done, 10000));
  EXPECT_EQ(done, &ov3);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(WSA_OPERATION_ABORTED));
  // No completion routines here.
  EXPECT_EQ(WSARecv(client, &wsabuf, 1, nullptr, &flags, &ov, [](DWORD, DWORD, LPWSAOVERLAPPED, DWORD) {}),
            SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEOPNOTSUPP);
  WSACloseEvent(ov.hEvent);
  WSACloseEvent(ov3.hEvent);
  CloseHandle(port);
  closesocket(client);
}

TEST_F(WinSock, CloseHandleOfASocketClosesIt) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_TRUE(CloseHandle(reinterpret_cast<HANDLE>(s)));
  EXPECT_EQ(send(s, "x", 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}

struct AddrCase {
  const char* text;
  unsigned long expected;  // network order
};

TEST(WinSockNames, AddressTextIsReadAsTheClassicRoutinesReadIt) {
  const AddrCase cases[] = {
      {"127.0.10.1", 0x010A007Fu}, {"1.2.3", 0x03000201u},     {"0x7f.1", 0x0100007Fu}, {"010.0.0.1", 0x01000008u},
      {"4294967295", 0xFFFFFFFFu}, {"256.1.1.1", INADDR_NONE}, {"", INADDR_NONE},       {"1.2.3.4.5", INADDR_NONE},
      {"a.b.c.d", INADDR_NONE},    {"1..2", INADDR_NONE},
  };
  for (const auto& c : cases) EXPECT_EQ(inet_addr(c.text), c.expected) << c.text;
  EXPECT_EQ(inet_addr(nullptr), INADDR_NONE);
  in_addr a;
  a.s_addr = inet_addr("10.77.0.254");
  EXPECT_STREQ(inet_ntoa(a), "10.77.0.254");
  unsigned char v4[4];
  EXPECT_EQ(inet_pton(AF_INET, "192.0.2.1", v4), 1);
  EXPECT_EQ(inet_pton(AF_INET, "1.2.3", v4), 0);  // pton takes four parts only
  unsigned char v6[16];
  EXPECT_EQ(inet_pton(AF_INET6, "::1", v6), 1);
  EXPECT_EQ(v6[15], 1);
  char text[64];
  EXPECT_STREQ(inet_ntop(AF_INET6, v6, text, sizeof text), "::1");
  EXPECT_EQ(inet_ntop(AF_INET, v4, text, 4), nullptr);
  EXPECT_EQ(inet_pton(77, "1.2.3.4", v4), -1);
  EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);
  EXPECT_EQ(htons(0x1234), 0x3412);
  EXPECT_EQ(ntohl(htonl(0x01020304u)), 0x01020304u);
}

TEST_F(WinSock, NamesResolveIntoWinSocksLayout) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  ASSERT_EQ(getaddrinfo("127.0.10.5", "3935", &hints, &result), 0);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->ai_family, AF_INET);
  EXPECT_EQ(result->ai_addrlen, sizeof(sockaddr_in));
  const auto* sin = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
  EXPECT_EQ(sin->sin_family, AF_INET);
  EXPECT_EQ(ntohs(sin->sin_port), 3935);
  EXPECT_EQ(sin->sin_addr.s_addr, inet_addr("127.0.10.5"));
  freeaddrinfo(result);
  hints.ai_family = AF_INET6;
  hints.ai_flags = AI_NUMERICHOST;
  ASSERT_EQ(getaddrinfo("::1", nullptr, &hints, &result), 0);
  EXPECT_EQ(result->ai_family, AF_INET6);
  EXPECT_EQ(result->ai_addr->sa_family, AF_INET6);
  freeaddrinfo(result);
  EXPECT_EQ(getaddrinfo(nullptr, nullptr, nullptr, &result), EAI_NONAME);
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_family = AF_INET;
  EXPECT_EQ(getaddrinfo("not-a-number", nullptr, &hints, &result), EAI_NONAME);
  hints.ai_family = 99;
  EXPECT_EQ(getaddrinfo("127.0.0.1", nullptr, &hints, &result), EAI_FAMILY);
  addrinfo foreign{};
  freeaddrinfo(&foreign);  // not one of ours: left alone
  freeaddrinfo(nullptr);
  sockaddr_in a = loopback(80);
  char host[64], service[16];
  EXPECT_EQ(getnameinfo(reinterpret_cast<sockaddr*>(&a), sizeof a, host, sizeof host, service, sizeof service,
                        NI_NUMERICHOST | NI_NUMERICSERV),
            0);
  EXPECT_STREQ(host, "127.0.0.1");
  EXPECT_STREQ(service, "80");
}

class WinSockHost : public WinSock {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zek-ws-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::ofstream(dir_ / "host.conf") << "[host]\nname = WSHOST\nnative = 127.0.10.77   # the host's address\n";
    setenv("ZEK_HOST", dir_.c_str(), 1);
    WinSock::SetUp();
  }
  void TearDown() override {
    WinSock::TearDown();
    unsetenv("ZEK_HOST");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::filesystem::path dir_;
};

TEST_F(WinSockHost, SocketsUseTheHostsNativeAddress) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  sockaddr_in bound{};
  int length = sizeof bound;
  ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length), 0);
  EXPECT_EQ(bound.sin_addr.s_addr, inet_addr("127.0.10.77"));
  ASSERT_EQ(listen(s, 1), 0);
  // A client that does not bind speaks from the host's address too, and
  // 127.0.0.1 is this host.
  SOCKET c = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to = loopback(ntohs(bound.sin_port));
  ASSERT_EQ(connect(c, reinterpret_cast<sockaddr*>(&to), sizeof to), 0) << WSAGetLastError();
  sockaddr_in peer{};
  length = sizeof peer;
  SOCKET a = accept(s, reinterpret_cast<sockaddr*>(&peer), &length);
  ASSERT_NE(a, INVALID_SOCKET);
  EXPECT_EQ(peer.sin_addr.s_addr, inet_addr("127.0.10.77"));
  // Another host's address is not this host's.
  SOCKET other = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in elsewhere{};
  elsewhere.sin_family = AF_INET;
  elsewhere.sin_addr.s_addr = inet_addr("127.0.10.78");
  EXPECT_EQ(bind(other, reinterpret_cast<sockaddr*>(&elsewhere), sizeof elsewhere), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEADDRNOTAVAIL);
  char list[64];
  DWORD bytes = 0;
  ASSERT_EQ(WSAIoctl(s, SIO_ADDRESS_LIST_QUERY, nullptr, 0, list, sizeof list, &bytes, nullptr, nullptr), 0);
  const auto* addresses = reinterpret_cast<SOCKET_ADDRESS_LIST*>(list);
  ASSERT_EQ(addresses->iAddressCount, 1);
  EXPECT_EQ(reinterpret_cast<sockaddr_in*>(addresses->Address[0].lpSockaddr)->sin_addr.s_addr,
            inet_addr("127.0.10.77"));
  EXPECT_EQ(WSAIoctl(s, SIO_ADDRESS_LIST_QUERY, nullptr, 0, list, 8, &bytes, nullptr, nullptr), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
  for (SOCKET x : {s, c, a, other}) closesocket(x);
}

TEST_F(WinSockHost, TheCatalogKeepsWhatIsInstalledInTheHost) {
  GUID id = {0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};
  WSAPROTOCOL_INFOW info{};
  info.dwServiceFlags1 = 0x2E;
  info.dwProviderFlags = PFL_HIDDEN;
  info.iVersion = 1;
  info.iAddressFamily = 0x64774342;
  info.iMaxSockAddr = info.iMinSockAddr = 16;
  info.iSocketType = 0x73534342;
  info.iProtocol = 0x70534342;
  info.iNetworkByteOrder = 1;
  info.dwMessageSize = 1;
  std::u16string_view(u"Test Proto").copy(reinterpret_cast<char16_t*>(info.szProtocol), 255);
  const WCHAR* path = reinterpret_cast<const WCHAR*>(u"/opt/provider.so");
  int error = 0;
  ASSERT_EQ(WSCInstallProvider(&id, path, &info, 1, &error), 0) << error;
  EXPECT_EQ(WSCInstallProvider(&id, path, &info, 1, &error), SOCKET_ERROR);
  EXPECT_EQ(error, WSAEINVAL);
  EXPECT_EQ(WSCInstallProvider(&id, nullptr, &info, 1, &error), SOCKET_ERROR);
  EXPECT_EQ(error, WSAEFAULT);
  // All entries, the hidden one among them.
  DWORD length = 0;
  EXPECT_EQ(WSCEnumProtocols(nullptr, nullptr, &length, &error), SOCKET_ERROR);
  EXPECT_EQ(error, WSAENOBUFS);
  EXPECT_EQ(length, 3 * sizeof(WSAPROTOCOL_INFOW));
  std::vector<WSAPROTOCOL_INFOW> entries(3);
  ASSERT_EQ(WSCEnumProtocols(nullptr, entries.data(), &length, &error), 3);
  EXPECT_EQ(entries[2].ProviderId, id);
  EXPECT_EQ(entries[2].iSocketType, 0x73534342);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(entries[2].szProtocol)), u"Test Proto");
  EXPECT_GE(entries[2].dwCatalogEntryId, 1003u);
  // The file in the host directory holds it for every process.
  EXPECT_NE(std::ifstream(dir_ / "catalog.txt").peek(), EOF);
  // Applications see only what is not hidden.
  length = static_cast<DWORD>(entries.size() * sizeof(WSAPROTOCOL_INFOW));
  EXPECT_EQ(WSAEnumProtocolsW(nullptr, entries.data(), &length), 2);
  int tcp_only[] = {IPPROTO_TCP, 0};
  length = static_cast<DWORD>(entries.size() * sizeof(WSAPROTOCOL_INFOW));
  EXPECT_EQ(WSAEnumProtocolsW(tcp_only, entries.data(), &length), 1);
  WCHAR back[64];
  int back_length = 64;
  ASSERT_EQ(WSCGetProviderPath(&id, back, &back_length, &error), 0);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(back)), u"/opt/provider.so");
  back_length = 3;
  EXPECT_EQ(WSCGetProviderPath(&id, back, &back_length, &error), SOCKET_ERROR);
  EXPECT_EQ(back_length, 17);
  EXPECT_EQ(WSCDeinstallProvider(&id, &error), 0);
  EXPECT_EQ(WSCDeinstallProvider(&id, &error), SOCKET_ERROR);
  EXPECT_EQ(error, WSAEINVAL);
  length = static_cast<DWORD>(entries.size() * sizeof(WSAPROTOCOL_INFOW));
  EXPECT_EQ(WSCEnumProtocols(nullptr, entries.data(), &length, &error), 2);
}

TEST_F(WinSock, ASocketHandedToAProcessWorksThere) {
  SOCKET client, server;
  pair(&client, &server);
  WSAPROTOCOL_INFOW info{};
  // To this very process: its own inbox.
  ASSERT_EQ(WSADuplicateSocketW(client, GetCurrentProcessId(), &info), 0) << WSAGetLastError();
  SOCKET copy = WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0, 0);
  ASSERT_NE(copy, INVALID_SOCKET) << WSAGetLastError();
  closesocket(client);  // the copy keeps the connection
  EXPECT_EQ(send(copy, "dup", 3, 0), 3);
  char buffer[4] = {};
  EXPECT_EQ(recv(server, buffer, 3, 0), 3);
  EXPECT_STREQ(buffer, "dup");
  // A token no one sent, and a process without WinSock.
  EXPECT_EQ(WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0, 0), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  EXPECT_EQ(WSADuplicateSocketW(copy, 1, &info), SOCKET_ERROR);  // init has no inbox
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  EXPECT_EQ(WSADuplicateSocketW(copy, GetCurrentProcessId(), nullptr), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
  closesocket(copy);
  closesocket(server);
}

}  // namespace
