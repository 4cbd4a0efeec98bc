// A WinSock Direct provider for the switch's tests. It behaves towards the
// switch as a SAN provider does: sockets created through the create-handle
// upcall, bind refusing ports 0 and 3935, connect and accept reported as
// FD_CONNECT and FD_ACCEPT, data only from registered memory, every transfer
// completed through the complete-overlapped upcall, and message semantics:
// a message that finds no posted receive breaks the connection, as an RDMA
// send would. The first receive of a connection hands it over: the
// accepting side sends "READY", the connecting side's first receive waits
// for it. Its "SAN" is Unix stream sockets named after the address and port.
//
// It serves the host's native address (host.conf) and writes what it does
// to "testsan.log" in the host directory.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/winsock/ws2spi.h"
#include "tests/platform/hostnative.h"
#include "tests/platform/winsock/testsan_wire.h"

namespace {

WSPUPCALLTABLEEX g_upcalls{};
std::atomic<int> g_starts{0};
std::mutex g_log_mu;

void log(const std::string& line) {
  const char* dir = std::getenv("ZEK_HOST");
  if (dir == nullptr) return;
  std::lock_guard lock(g_log_mu);
  std::ofstream(std::string(dir) + "/testsan.log", std::ios::app) << "[" << getpid() << "] " << line << "\n";
}

std::string text_of(std::uint32_t address, std::uint16_t port) {
  const auto* b = reinterpret_cast<const unsigned char*>(&address);
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", b[0], b[1], b[2], b[3], ntohs(port));
  return text;
}

using testsan::read_all;
using testsan::write_all;

struct Hello {
  std::uint32_t address;
  std::uint16_t port;
  std::uint16_t zero;
};

struct Registration {
  char* base;
  DWORD length;
};

struct Posted {
  LPWSAOVERLAPPED overlapped;
  char* buffer;
  DWORD length;
};

struct TestSocket {
  std::mutex mu;
  int state = 1;                   // 1 created, 2 bound, 3 connecting, 4 connected, 5 listening
  SOCKET handle = INVALID_SOCKET;  // the switch's
  DWORD catalog = 0;
  std::uint32_t address = 0;
  std::uint16_t port = 0;
  WSAEVENT accept_event = nullptr, connect_event = nullptr;
  int fd = -1;  // the connection, or the listening socket
  bool accepting = false;
  bool handed_over = false;
  bool broken = false;
  int connect_result = 0;
  bool connect_reported = true;
  int unreported_accepts = 0;
  std::deque<int> accepted;  // connections waiting for WSPAccept
  std::vector<Registration*> registrations;
  std::deque<Posted> receives;
  std::deque<Posted> sends;
  std::condition_variable send_cv;
  std::thread listener, receiver, sender, connector;
  std::uint64_t bytes_in = 0, bytes_out = 0;
  alignas(8) char address_list[64];
};

std::mutex g_sockets_mu;
std::set<TestSocket*> g_sockets;

TestSocket* check(SOCKET s, LPINT error) {
  std::lock_guard lock(g_sockets_mu);
  auto* t = reinterpret_cast<TestSocket*>(s);
  if (g_sockets.count(t) == 0) {
    *error = WSAENOTSOCK;
    return nullptr;
  }
  return t;
}

bool registered(TestSocket& t, const char* buffer, DWORD length) {
  for (auto* r : t.registrations) {
    if (buffer >= r->base && buffer + length <= r->base + r->length) return true;
  }
  return false;
}

void complete(TestSocket& t, LPWSAOVERLAPPED overlapped, DWORD error, DWORD bytes) {
  if (reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & 1) {
    overlapped->OffsetHigh = error;
    overlapped->InternalHigh = bytes;
    overlapped->Internal = 0;
    SetEvent(reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~ULONG_PTR{1}));
    return;
  }
  overlapped->Internal = 0;
  int e = 0;
  g_upcalls.lpWPUCompleteOverlappedRequest(t.handle, overlapped, error, bytes, &e);
}

// Delivers the connection's messages into posted receives.
void receive_loop(TestSocket* t) {
  for (;;) {
    std::uint32_t length = 0;
    bool ok = read_all(t->fd, &length, sizeof length);
    std::vector<char> message(ok ? length : 0);
    ok = ok && read_all(t->fd, message.data(), length);
    std::unique_lock lock(t->mu);
    if (!ok) {
      // The peer went: what is posted ends, as a flushed queue would.
      if (!t->broken) log("peer gone after " + std::to_string(t->bytes_in) + " bytes in");
      t->broken = true;
      auto receives = std::move(t->receives);
      lock.unlock();
      for (auto& r : receives) complete(*t, r.overlapped, WSAEDISCON, 0);
      return;
    }
    if (t->receives.empty()) {
      log("overrun: a message found no posted receive");
      t->broken = true;
      lock.unlock();
      testsan::shut(t->fd);
      continue;
    }
    Posted r = t->receives.front();
    t->receives.pop_front();
    if (length > r.length) {
      log("a message larger than its receive");
      t->broken = true;
      lock.unlock();
      complete(*t, r.overlapped, WSAEMSGSIZE, 0);
      continue;
    }
    std::memcpy(r.buffer, message.data(), length);
    t->bytes_in += length;
    lock.unlock();
    complete(*t, r.overlapped, 0, length);
  }
}

void send_loop(TestSocket* t) {
  for (;;) {
    Posted s;
    {
      std::unique_lock lock(t->mu);
      t->send_cv.wait(lock, [&] { return !t->sends.empty() || t->fd < 0 || t->broken; });
      if (t->sends.empty()) return;
      s = t->sends.front();
      t->sends.pop_front();
    }
    const std::uint32_t length = s.length;
    const bool ok = write_all(t->fd, &length, sizeof length) && write_all(t->fd, s.buffer, length);
    {
      std::lock_guard lock(t->mu);
      if (ok) t->bytes_out += length;
    }
    if (!ok) log("send failed after " + std::to_string(t->bytes_out) + " bytes out");
    complete(*t, s.overlapped, ok ? 0 : WSAECONNRESET, ok ? length : 0);
  }
}

void start_data(TestSocket* t) {
  t->receiver = std::thread(receive_loop, t);
  t->sender = std::thread(send_loop, t);
}

// ---- The procedure table -----------------------------------------------------------------------

SOCKET WSPSocketT(int af, int type, int protocol, LPWSAPROTOCOL_INFOW info, GROUP, DWORD, LPINT error) {
  if (af != AF_INET) {
    *error = WSAEAFNOSUPPORT;
    return INVALID_SOCKET;
  }
  if (type != SOCK_STREAM || (protocol != 0 && protocol != IPPROTO_TCP)) {
    *error = WSAEPROTONOSUPPORT;
    return INVALID_SOCKET;
  }
  auto* t = new TestSocket;
  t->catalog = info->dwCatalogEntryId;
  t->handle = g_upcalls.lpWPUCreateSocketHandle(t->catalog, reinterpret_cast<DWORD_PTR>(t), error);
  if (t->handle == INVALID_SOCKET) {
    delete t;
    return INVALID_SOCKET;
  }
  std::lock_guard lock(g_sockets_mu);
  g_sockets.insert(t);
  return reinterpret_cast<SOCKET>(t);
}

int WSPBindT(SOCKET s, const sockaddr* name, int namelen, LPINT error) {
  TestSocket* t = check(s, error);
  if (t == nullptr) return SOCKET_ERROR;
  if (name == nullptr || namelen != 16 || name->sa_family != AF_INET) {
    *error = WSAEFAULT;
    return SOCKET_ERROR;
  }
  const auto* sin = reinterpret_cast<const sockaddr_in*>(name);
  if (sin->sin_port == 0 || ntohs(sin->sin_port) == 3935) {
    *error = WSAEINVAL;  // the switch keeps these on native TCP
    return SOCKET_ERROR;
  }
  std::lock_guard lock(t->mu);
  if (t->state != 1) {
    *error = WSAEINVAL;
    return SOCKET_ERROR;
  }
  t->address = sin->sin_addr.s_addr;
  t->port = sin->sin_port;
  t->state = 2;
  log("bind " + text_of(t->address, t->port));
  return 0;
}

void accept_loop(TestSocket* t) {
  for (;;) {
    const int fd = testsan::accept_one(t->fd);
    if (fd < 0) return;  // closed
    WSAEVENT event;
    {
      std::lock_guard lock(t->mu);
      t->accepted.push_back(fd);
      ++t->unreported_accepts;
      event = t->accept_event;
    }
    if (event != nullptr) SetEvent(event);
  }
}

int WSPListenT(SOCKET s, int backlog, LPINT error) {
  TestSocket* t = check(s, error);
  if (t == nullptr) return SOCKET_ERROR;
  std::lock_guard lock(t->mu);
  if (t->state != 2) {
    *error = t->state == 4 ? WSAEISCONN : WSAEINVAL;
    return SOCKET_ERROR;
  }
  bool in_use = false;
  t->fd = testsan::listen_on(t->address, t->port, backlog, &in_use);
  if (t->fd < 0) {
    *error = in_use ? WSAEADDRINUSE : WSAENETDOWN;
    return SOCKET_ERROR;
  }
  t->state = 5;
  t->listener = std::thread(accept_loop, t);
  log("listen " + text_of(t->address, t->port));
  return 0;
}

int WSPEventSelectT(SOCKET s, WSAEVENT event, long events, LPINT error) {
  TestSocket* t = check(s, error);
  if (t == nullptr) return SOCKET_ERROR;
  if (events == 0 || (events & ~(FD_ACCEPT | FD_CONNECT)) != 0) {
    *error = WSAEINVAL;
    return SOCKET_ERROR;
  }
  bool pending;
  {
    std::lock_guard lock(t->mu);
    if (events & FD_ACCEPT) t->accept_event = event;
    if (events & FD_CONNECT) t->connect_event = event;
    pending = (events & FD_ACCEPT) && t->unreported_accepts > 0;
  }
  if (pending) SetEvent(event);
  return 0;
}

int WSPEnumNetworkEventsT(SOCKET s, WSAEVENT, LPWSANETWORKEVENTS events, LPINT error) {
  TestSocket* t = check(s, error);
  if (t == nullptr) return SOCKET_ERROR;
  if (events == nullptr) {
    *error = WSAEFAULT;
    return SOCKET_ERROR;
  }
  std::memset(events, 0, sizeof *events);
  WSAEVENT again = nullptr;
  std::lock_guard lock(t->mu);
  if (!t->connect_reported) {
    t->connect_reported = true;
    events->lNetworkEvents = FD_CONNECT;
    events->iErrorCode[FD_CONNECT_BIT] = t->connect_result;
  } else if (t->unreported_accepts > 0) {
    --t->unreported_accepts;
    events->lNetworkEvents = FD_ACCEPT;
    if (t->unreported_accepts > 0) again = t->accept_event;  // one record at a time
  }
  if (again != nullptr) SetEvent(again);
  return 0;
}

SOCKET WSPAcceptT(SOCKET s, sockaddr* addr, LPINT addrlen, LPCONDITIONPROC condition, DWORD_PTR data, LPINT error) {
  TestSocket* t = check(s, error);
  if (t == nullptr) return INVALID_SOCKET;
  int fd;
  {
    std::lock_guard lock(t->mu);
    if (t->state != 5) {
      *error = WSAEINVAL;
      return INVALID_SOCKET;
    }
    if (t->accepted.empty()) {
      *error = WSAEWOULDBLOCK;
      return INVALID_SOCKET;
    }
    fd = t->accepted.front();
    t->accepted.pop_front();
  }
  Hello hello{};
  if (!read_all(fd, &hello, sizeof hello)) {
    ::close(fd);
    *error = WSAECONNRESET;
    return INVALID_SOCKET;
  }
  sockaddr_in caller{};
  caller.sin_family = AF_INET;
  caller.sin_addr.s_addr = hello.address;
  caller.sin_port = hello.port;
  WSABUF caller_id{sizeof caller, reinterpret_cast<char*>(&caller)};
  const std::uint32_t result = condition != nullptr
                                   ? static_cast<std::uint32_t>(condition(&caller_id, nullptr, nullptr, nullptr,
                                                                          nullptr, nullptr, nullptr, data))
                                   : CF_ACCEPT;
  if (!write_all(fd, &result, sizeof result) || result != CF_ACCEPT) {
    ::close(fd);
    *error = WSAECONNREFUSED;
    return INVALID_SOCKET;
  }
  WSAPROTOCOL_INFOW info{};
  info.dwCatalogEntryId = t->catalog;
  const SOCKET a = WSPSocketT(AF_INET, SOCK_STREAM, IPPROTO_TCP, &info, 0, 0, error);
  if (a == INVALID_SOCKET) {
    ::close(fd);
    return INVALID_SOCKET;
  }
  auto* n = reinterpret_cast<TestSocket*>(a);
  n->fd = fd;
  n->state = 4;
  n->accepting = true;
  n->address = t->address;
  n->port = t->port;
  if (addr != nullptr && addrlen != nullptr && *addrlen >= static_cast<int>(sizeof caller)) {
    std::memcpy(addr, &caller, sizeof caller);
    *addrlen = sizeof caller;
  }
  log("accept " + text_of(caller.sin_addr.s_addr, caller.sin_port) + " on " + text_of(t->address, t->port));
  return a;
}

int WSPConnectT(SOCKET s, const sockaddr* name, int namelen, LPWSABUF, LPWSABUF, LPQOS, LPQOS, LPINT error) {
  TestSocket* t = check(s, error);
  if (t == nullptr) return SOCKET_ERROR;
  if (name == nullptr || namelen != 16 || name->sa_family != AF_INET) {
    *error = WSAEFAULT;
    return SOCKET_ERROR;
  }
  const auto to = *reinterpret_cast<const sockaddr_in*>(name);
  std::lock_guard lock(t->mu);
  if (t->state != 2) {
    *error = t->state == 3 ? WSAEALREADY : t->state == 4 ? WSAEISCONN : WSAEINVAL;
    return SOCKET_ERROR;
  }
  t->state = 3;
  t->connect_reported = true;
  if (t->connector.joinable()) t->connector.join();
  t->connector = std::thread([t, to] {
    const int fd = testsan::connect_to(to.sin_addr.s_addr, to.sin_port);
    int result = WSAECONNREFUSED;
    if (fd >= 0) {
      Hello hello{t->address, t->port, 0};
      std::uint32_t answer = CF_REJECT;
      if (write_all(fd, &hello, sizeof hello) && read_all(fd, &answer, sizeof answer) && answer == CF_ACCEPT) {
        result = 0;
      }
    }
    WSAEVENT event;
    {
      std::lock_guard inner(t->mu);
      if (result == 0) {
        t->fd = fd;
        t->state = 4;
      } else {
        if (fd >= 0) ::close(fd);
        t->state = 2;
      }
      t->connect_result = result;
      t->connect_reported = false;
      event = t->connect_event;
    }
    log("connect to " + text_of(to.sin_addr.s_addr, to.sin_port) + (result == 0 ? " carried" : " refused"));
    if (event != nullptr) SetEvent(event);
  });
  *error = WSAEWOULDBLOCK;
  return SOCKET_ERROR;
}

int WSPRecvT(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD, LPDWORD, LPWSAOVERLAPPED overlapped,
             LPWSAOVERLAPPED_COMPLETION_ROUTINE, LPWSATHREADID, LPINT error) {
  TestSocket* t = check(s, error);
  if (t == nullptr) return SOCKET_ERROR;
  std::unique_lock lock(t->mu);
  if (t->state != 4) {
    *error = WSAENOTCONN;
    return SOCKET_ERROR;
  }
  if (t->broken) {
    *error = WSAECONNRESET;
    return SOCKET_ERROR;
  }
  if (count != 1 || overlapped == nullptr || !registered(*t, buffers[0].buf, buffers[0].len)) {
    *error = WSAEFAULT;
    return SOCKET_ERROR;
  }
  overlapped->Internal = STATUS_PENDING;
  t->receives.push_back(Posted{overlapped, buffers[0].buf, buffers[0].len});
  if (!t->handed_over) {
    // The first receive hands the connection over.
    t->handed_over = true;
    if (t->accepting) {
      write_all(t->fd, "READY", 5);
      start_data(t);
    } else {
      lock.unlock();
      char marker[5];
      const bool ok = read_all(t->fd, marker, 5) && std::memcmp(marker, "READY", 5) == 0;
      lock.lock();
      if (!ok) {
        t->broken = true;
        *error = WSAEDISCON;
        return SOCKET_ERROR;
      }
      start_data(t);
    }
  }
  *error = WSA_IO_PENDING;
  return SOCKET_ERROR;
}

int WSPSendT(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD, DWORD, LPWSAOVERLAPPED overlapped,
             LPWSAOVERLAPPED_COMPLETION_ROUTINE, LPWSATHREADID, LPINT error) {
  TestSocket* t = check(s, error);
  if (t == nullptr) return SOCKET_ERROR;
  std::lock_guard lock(t->mu);
  if (t->state != 4 || !t->handed_over) {
    *error = WSAENOTCONN;
    return SOCKET_ERROR;
  }
  if (t->broken) {
    *error = WSAECONNRESET;
    return SOCKET_ERROR;
  }
  if (count != 1 || overlapped == nullptr || !registered(*t, buffers[0].buf, buffers[0].len)) {
    *error = WSAEFAULT;
    return SOCKET_ERROR;
  }
  overlapped->Internal = STATUS_PENDING;
  t->sends.push_back(Posted{overlapped, buffers[0].buf, buffers[0].len});
  t->send_cv.notify_all();
  *error = WSA_IO_PENDING;
  return SOCKET_ERROR;
}

BOOL WSPGetOverlappedResultT(SOCKET s, LPWSAOVERLAPPED overlapped, LPDWORD bytes, BOOL, LPDWORD flags, LPINT error) {
  if (check(s, error) == nullptr) return FALSE;
  if (overlapped->Internal == STATUS_PENDING) {
    *error = WSA_IO_INCOMPLETE;
    return FALSE;
  }
  *bytes = static_cast<DWORD>(overlapped->InternalHigh);
  *flags = 0;
  *error = static_cast<int>(overlapped->OffsetHigh);
  return *error == 0;
}

HANDLE register_memory(SOCKET s, PVOID buffer, DWORD length, DWORD flags, LPINT error) {
  TestSocket* t = check(s, error);
  if (t == nullptr) return nullptr;
  if (buffer == nullptr || (flags & ~MEM_READWRITE) != 0) {
    *error = WSAEINVAL;
    return nullptr;
  }
  std::lock_guard lock(t->mu);
  if (t->state != 4) {
    *error = WSAENOTCONN;
    return nullptr;
  }
  auto* r = new Registration{static_cast<char*>(buffer), length};
  t->registrations.push_back(r);
  return r;
}

int deregister_memory(SOCKET s, HANDLE handle, LPINT error) {
  TestSocket* t = check(s, error);
  if (t == nullptr) return SOCKET_ERROR;
  std::lock_guard lock(t->mu);
  auto it = std::find(t->registrations.begin(), t->registrations.end(), static_cast<Registration*>(handle));
  if (it != t->registrations.end()) {
    delete *it;
    t->registrations.erase(it);
  }
  return 0;
}

int WSPIoctlT(SOCKET s, DWORD code, LPVOID in, DWORD in_length, LPVOID out, DWORD out_length, LPDWORD returned,
              LPWSAOVERLAPPED, LPWSAOVERLAPPED_COMPLETION_ROUTINE, LPWSATHREADID, LPINT error) {
  TestSocket* t = check(s, error);
  if (t == nullptr) return SOCKET_ERROR;
  if (code == SIO_ADDRESS_LIST_QUERY) {
    // The list points into the socket, as the provider's does.
    auto* address = reinterpret_cast<sockaddr_in*>(t->address_list + 24);
    std::memset(t->address_list, 0, sizeof t->address_list);
    address->sin_family = AF_INET;
    address->sin_addr.s_addr = host_native_address();
    const DWORD needed = sizeof(SOCKET_ADDRESS_LIST);
    if (out == nullptr || out_length < needed) {
      *error = WSAEFAULT;
      return SOCKET_ERROR;
    }
    auto* list = static_cast<SOCKET_ADDRESS_LIST*>(out);
    list->iAddressCount = 1;
    list->Address[0].lpSockaddr = reinterpret_cast<sockaddr*>(address);
    list->Address[0].iSockaddrLength = sizeof *address;
    *returned = needed;
    return 0;
  }
  if (code == SIO_GET_EXTENSION_FUNCTION_POINTER) {
    if (in == nullptr || in_length != sizeof(GUID) || out == nullptr || out_length != sizeof(void*)) {
      *error = WSAEINVAL;
      return SOCKET_ERROR;
    }
    GUID id;
    std::memcpy(&id, in, sizeof id);
    void* function = nullptr;
    if (id == WSAID_REGISTERMEMORY) function = reinterpret_cast<void*>(&register_memory);
    if (id == WSAID_DEREGISTERMEMORY) function = reinterpret_cast<void*>(&deregister_memory);
    if (function == nullptr) {
      *error = WSAEINVAL;
      return SOCKET_ERROR;
    }
    std::memcpy(out, &function, sizeof function);
    *returned = sizeof function;
    return 0;
  }
  *error = WSAENOPROTOOPT;
  return SOCKET_ERROR;
}

int WSPCloseSocketT(SOCKET s, LPINT error) {
  TestSocket* t = check(s, error);
  if (t == nullptr) return SOCKET_ERROR;
  {
    std::lock_guard lock(g_sockets_mu);
    g_sockets.erase(t);
  }
  {
    std::lock_guard lock(t->mu);
    if (t->fd >= 0) testsan::shut(t->fd);
    t->broken = true;
    t->send_cv.notify_all();
  }
  for (auto* th : {&t->connector, &t->listener, &t->receiver, &t->sender}) {
    if (th->joinable()) th->join();
  }
  for (int fd : t->accepted) ::close(fd);
  if (t->fd >= 0) ::close(t->fd);
  if (t->state == 4) {
    log("close " + text_of(t->address, t->port) + " in " + std::to_string(t->bytes_in) + " out " +
        std::to_string(t->bytes_out));
  }
  for (auto* r : t->registrations) delete r;
  int e = 0;
  g_upcalls.lpWPUCloseSocketHandle(t->handle, &e);
  delete t;
  return 0;
}

int WSPCleanupT(LPINT error) {
  int count = g_starts.load();
  do {
    if (count == 0) {
      *error = WSANOTINITIALISED;
      return SOCKET_ERROR;
    }
  } while (!g_starts.compare_exchange_weak(count, count - 1));
  return 0;
}

}  // namespace

extern "C" int WSPStartupEx(WORD version, LPWSPDATA data, LPWSAPROTOCOL_INFOW, LPWSPUPCALLTABLEEX upcalls,
                            LPWSPPROC_TABLE procs) {
  if (version < MAKEWORD(2, 2)) return WSAVERNOTSUPPORTED;
  if (std::getenv("ZEK_TESTSAN_REFUSE") != nullptr) return WSASYSNOTREADY;
  g_upcalls = *upcalls;
  data->wVersion = MAKEWORD(2, 2);
  data->wHighVersion = MAKEWORD(2, 2);
  std::u16string_view(u"test SAN provider").copy(reinterpret_cast<char16_t*>(data->szDescription), 255);
  *procs = WSPPROC_TABLE{};
  procs->lpWSPAccept = WSPAcceptT;
  procs->lpWSPBind = WSPBindT;
  procs->lpWSPCleanup = WSPCleanupT;
  procs->lpWSPCloseSocket = WSPCloseSocketT;
  procs->lpWSPConnect = WSPConnectT;
  procs->lpWSPEnumNetworkEvents = WSPEnumNetworkEventsT;
  procs->lpWSPEventSelect = WSPEventSelectT;
  procs->lpWSPGetOverlappedResult = WSPGetOverlappedResultT;
  procs->lpWSPIoctl = WSPIoctlT;
  procs->lpWSPListen = WSPListenT;
  procs->lpWSPRecv = WSPRecvT;
  procs->lpWSPSend = WSPSendT;
  procs->lpWSPSocket = WSPSocketT;
  if (g_starts.fetch_add(1) == 0) log("startup");
  return 0;
}
