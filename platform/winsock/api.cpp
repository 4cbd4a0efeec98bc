// The WinSock routines: arguments checked as WinSock checks them, then the
// native engine (native.cpp, reactor.cpp) or the SAN switch.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "platform/winsock/catalog.h"
#include "platform/winsock/internal.h"
#include "platform/winsock/sanswitch.h"
#include "platform/winsock/ws2spi.h"

namespace plat::ws {
namespace {

std::atomic<int> g_starts{0};

template <typename T>
T fail(int error, T result) {
  WSASetLastError(error);
  return result;
}

int fail(int error) { return fail(error, SOCKET_ERROR); }

// The socket of a handle, with the checks every call makes.
std::shared_ptr<Socket> checked(SOCKET s, int* error) {
  if (!started()) {
    *error = WSANOTINITIALISED;
    return nullptr;
  }
  auto socket = socket_of(s);
  if (!socket || socket->closing.load()) {
    *error = WSAENOTSOCK;
    return nullptr;
  }
  return socket;
}

// A caller's address, checked for its length and family.
int take_address(const Socket& s, const sockaddr* name, int namelen, Address* out) {
  if (name == nullptr || namelen < static_cast<int>(sizeof(sockaddr))) return WSAEFAULT;
  const int family = name->sa_family;
  const int needed =
      family == AF_INET6 ? static_cast<int>(sizeof(sockaddr_in6)) : static_cast<int>(sizeof(sockaddr_in));
  if (family != s.family) return family == AF_INET || family == AF_INET6 ? WSAEAFNOSUPPORT : WSAEAFNOSUPPORT;
  if (namelen < needed) return WSAEFAULT;
  std::memcpy(out->bytes.data(), name, static_cast<std::size_t>(needed));
  out->length = needed;
  return 0;
}

// An address for the caller; WSAEFAULT when its buffer is short.
int give_address(const Address& address, sockaddr* name, int* namelen) {
  if (name == nullptr || namelen == nullptr) return WSAEFAULT;
  if (*namelen < address.length) return WSAEFAULT;
  std::memcpy(name, address.bytes.data(), static_cast<std::size_t>(address.length));
  *namelen = address.length;
  return 0;
}

bool windows_flags_ok(int flags) { return (flags & ~(MSG_OOB | MSG_PEEK | MSG_DONTROUTE | MSG_WAITALL)) == 0; }

// WSABUFs as byte spans; WSAEFAULT for a buffer without memory.
template <typename Byte>
int spans_of(LPWSABUF buffers, DWORD count, std::vector<std::span<Byte>>* out) {
  if (count != 0 && buffers == nullptr) return WSAEFAULT;
  for (DWORD i = 0; i < count; ++i) {
    if (buffers[i].len != 0 && buffers[i].buf == nullptr) return WSAEFAULT;
    out->emplace_back(reinterpret_cast<Byte*>(buffers[i].buf), buffers[i].len);
  }
  return 0;
}

int do_send(const std::shared_ptr<Socket>& s, std::span<const std::span<const std::byte>> buffers, int flags,
            const Address* to, std::size_t* sent) {
  if (san_carried(*s)) {
    if (to != nullptr) return WSAEISCONN;
    return san_send(*s, buffers, flags, sent);
  }
  return native_send(*s, buffers, flags, to, sent);
}

int do_recv(const std::shared_ptr<Socket>& s, std::span<const std::span<std::byte>> buffers, int flags, Address* from,
            std::size_t* received) {
  if (san_carried(*s)) return san_recv(*s, buffers, flags, received);
  return native_recv(*s, buffers, flags, from, received);
}

// The socket's own address, or its peer's.
int name_of(SOCKET s, bool peer, sockaddr* name, int* namelen) {
  int error = 0;
  auto socket = checked(s, &error);
  if (!socket) return fail(error);
  Use use(*socket);
  Address address;
  error = san_carried(*socket) ? san_name(*socket, peer, &address) : native_name(*socket, peer, &address);
  if (error == 0) error = give_address(address, name, namelen);
  return error == 0 ? 0 : fail(error);
}

void close_socket(Socket& s) {
  if (s.closing.exchange(true)) return;
  const std::uint64_t one = 1;
  if (s.wake >= 0) {
    const ssize_t ignored = ::write(s.wake, &one, sizeof one);  // blocked calls on the socket end
    (void)ignored;
  }
  if (s.fd >= 0) abort_pending(s);
  if (s.busy.load() > 0) native_interrupt(s);  // a call blocked in Linux on it ends
  san_close(s);
  {
    std::unique_lock lock(s.mu);
    s.idle.wait_for(lock, std::chrono::seconds(5), [&] { return s.busy.load() == 0; });
  }
  native_close(s);
}

}  // namespace

Use::~Use() {
  if (s_.busy.fetch_sub(1) == 1 && s_.closing.load()) {
    std::lock_guard lock(s_.mu);
    s_.idle.notify_all();
  }
}

Socket::~Socket() {
  if (fd >= 0) ::close(fd);
  if (wake >= 0) ::close(wake);
}

void Socket::handle_closed() { close_socket(*this); }

std::shared_ptr<Socket> socket_of(std::uintptr_t handle) {
  return plat::user::shared::object_as<Socket>(reinterpret_cast<HANDLE>(handle));
}

std::uintptr_t insert_socket(const std::shared_ptr<Socket>& socket) {
  const std::shared_ptr<plat::user::Object> object = socket;
  return reinterpret_cast<std::uintptr_t>(zek_user_insert_handle(&object));
}

bool started() { return g_starts.load() > 0; }

}  // namespace plat::ws

using namespace plat::ws;

// ---- Start-up ----------------------------------------------------------------------------------

int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData) {
  const BYTE major = LOBYTE(wVersionRequested);
  const BYTE minor = HIBYTE(wVersionRequested);
  if (major < 1) return WSAVERNOTSUPPORTED;
  if (lpWSAData == nullptr) return WSAEFAULT;
  const bool beyond = major > 2 || (major == 2 && minor > 2);
  std::memset(lpWSAData, 0, sizeof *lpWSAData);
  lpWSAData->wVersion = beyond ? MAKEWORD(2, 2) : wVersionRequested;
  lpWSAData->wHighVersion = MAKEWORD(2, 2);
  std::strcpy(lpWSAData->szDescription, "WinSock 2.0 (zek)");
  std::strcpy(lpWSAData->szSystemStatus, "Running");
  if (g_starts.fetch_add(1) == 0) duplicate_open_inbox();
  return 0;
}

int WSACleanup() {
  int count = g_starts.load();
  do {
    if (count == 0) return fail(WSANOTINITIALISED);
  } while (!g_starts.compare_exchange_weak(count, count - 1));
  if (count == 1) san_cleanup();
  return 0;
}

int WSAGetLastError() { return static_cast<int>(GetLastError()); }
void WSASetLastError(int iError) { SetLastError(static_cast<DWORD>(iError)); }

// ---- Sockets -------------------------------------------------------------------------------------

SOCKET WSASocketW(int af, int type, int protocol, LPWSAPROTOCOL_INFOW lpProtocolInfo, GROUP, DWORD) {
  if (!started()) return fail(WSANOTINITIALISED, INVALID_SOCKET);
  if (lpProtocolInfo != nullptr) {
    if (af == FROM_PROTOCOL_INFO) af = lpProtocolInfo->iAddressFamily;
    if (type == FROM_PROTOCOL_INFO) type = lpProtocolInfo->iSocketType;
    if (protocol == FROM_PROTOCOL_INFO) protocol = lpProtocolInfo->iProtocol;
    if (lpProtocolInfo->dwProviderReserved != 0) {
      // A socket another process handed over (WSADuplicateSocket).
      if (lpProtocolInfo->dwCatalogEntryId != kTcpEntry && lpProtocolInfo->dwCatalogEntryId != kUdpEntry) {
        return fail(WSAEOPNOTSUPP, INVALID_SOCKET);
      }
      const int fd = duplicate_receive(lpProtocolInfo->dwProviderReserved);
      if (fd < 0) return fail(WSAEINVAL, INVALID_SOCKET);
      auto s = native_wrap(fd, af, type, protocol);
      if (!s) {
        ::close(fd);
        return fail(WSAEMFILE, INVALID_SOCKET);
      }
      s->bound = true;
      return insert_socket(s);
    }
  }
  std::shared_ptr<Socket> s;
  if (const int error = native_create(af, type, protocol, &s); error != 0) return fail(error, INVALID_SOCKET);
  return insert_socket(s);
}

SOCKET WSASocketA(int af, int type, int protocol, void* lpProtocolInfo, GROUP g, DWORD dwFlags) {
  if (lpProtocolInfo != nullptr) return fail(WSAEOPNOTSUPP, INVALID_SOCKET);  // only the wide form takes one here
  return WSASocketW(af, type, protocol, nullptr, g, dwFlags);
}

SOCKET socket(int af, int type, int protocol) {
  return WSASocketW(af, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
}

int closesocket(SOCKET s) {
  if (!started()) return fail(WSANOTINITIALISED);
  // Only a socket's handle is closed here: anything else keeps its handle.
  if (!plat::user::shared::object_as<Socket>(reinterpret_cast<HANDLE>(s))) return fail(WSAENOTSOCK);
  std::shared_ptr<plat::user::Object> object;
  auto socket = zek_user_remove_handle(reinterpret_cast<HANDLE>(s), &object) ? std::dynamic_pointer_cast<Socket>(object)
                                                                             : nullptr;
  if (!socket) return fail(WSAENOTSOCK);  // closed by another thread meanwhile
  close_socket(*socket);
  return 0;
}

int bind(SOCKET s, const sockaddr* name, int namelen) {
  int error = 0;
  auto socket = checked(s, &error);
  if (!socket) return fail(error);
  Use use(*socket);
  Address address;
  if ((error = take_address(*socket, name, namelen, &address)) != 0) return fail(error);
  if ((error = native_bind(*socket, address)) != 0) return fail(error);
  san_after_bind(socket);
  return 0;
}

int listen(SOCKET s, int backlog) {
  int error = 0;
  auto socket = checked(s, &error);
  if (!socket) return fail(error);
  Use use(*socket);
  if (san_carried(*socket)) return fail(WSAEISCONN);
  if (socket->type != SOCK_STREAM) return fail(WSAEOPNOTSUPP);
  if (!socket->bound.load()) return fail(WSAEINVAL);
  // The provider listens first: a connection that its side refuses has no
  // native listener to fall back on yet, and is tried again.
  san_listen(socket, backlog);
  if ((error = native_listen(*socket, backlog)) != 0) {
    san_close(*socket);
    return fail(error);
  }
  return 0;
}

SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen) {
  int error = 0;
  auto socket = checked(s, &error);
  if (!socket) return fail(error, INVALID_SOCKET);
  Use use(*socket);
  if (addr != nullptr && (addrlen == nullptr || *addrlen < static_cast<int>(sizeof(sockaddr_in)))) {
    return fail(WSAEFAULT, INVALID_SOCKET);
  }
  if (socket->type != SOCK_STREAM) return fail(WSAEOPNOTSUPP, INVALID_SOCKET);
  std::shared_ptr<Socket> accepted;
  Address peer;
  error = san_listening(*socket) ? san_accept(socket, &accepted, &peer) : native_accept(*socket, &accepted, &peer);
  if (error != 0) return fail(error, INVALID_SOCKET);
  if (addr != nullptr) {
    const int n = std::min(*addrlen, peer.length);
    std::memcpy(addr, peer.bytes.data(), static_cast<std::size_t>(n));
    *addrlen = peer.length;
  } else if (addrlen != nullptr) {
    *addrlen = peer.length;
  }
  return insert_socket(accepted);
}

int connect(SOCKET s, const sockaddr* name, int namelen) {
  int error = 0;
  auto socket = checked(s, &error);
  if (!socket) return fail(error);
  Use use(*socket);
  Address address;
  if ((error = take_address(*socket, name, namelen, &address)) != 0) return fail(error);
  if (san_carried(*socket)) return fail(WSAEISCONN);
  if (socket->type == SOCK_STREAM && address.family() == AF_INET && address.ipv4() == 0) {
    return fail(WSAEADDRNOTAVAIL);  // no host is called 0.0.0.0
  }
  bool carried = false;
  if (socket->type == SOCK_STREAM && !socket->listening.load()) {
    error = san_connect(socket, address, &carried);
    if (carried) return error == 0 ? 0 : fail(error);
  }
  if ((error = native_connect(*socket, address)) != 0) return fail(error);
  return 0;
}

int shutdown(SOCKET s, int how) {
  int error = 0;
  auto socket = checked(s, &error);
  if (!socket) return fail(error);
  Use use(*socket);
  if (how < SD_RECEIVE || how > SD_BOTH) return fail(WSAEINVAL);
  error = san_carried(*socket) ? san_shutdown(*socket, how) : native_shutdown(*socket, how);
  return error == 0 ? 0 : fail(error);
}

int getsockname(SOCKET s, sockaddr* name, int* namelen) { return name_of(s, false, name, namelen); }

int getpeername(SOCKET s, sockaddr* name, int* namelen) { return name_of(s, true, name, namelen); }

int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
  int error = 0;
  auto socket = checked(s, &error);
  if (!socket) return fail(error);
  Use use(*socket);
  if (optval == nullptr || optlen == nullptr || *optlen < 0) return fail(WSAEFAULT);
  int length = 0;
  error = native_get_option(
      *socket, level, optname,
      std::span<std::byte>(reinterpret_cast<std::byte*>(optval), static_cast<std::size_t>(*optlen)), &length);
  if (error != 0) return fail(error);
  *optlen = length;
  return 0;
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  int error = 0;
  auto socket = checked(s, &error);
  if (!socket) return fail(error);
  Use use(*socket);
  if (optval == nullptr || optlen < 0) return fail(WSAEFAULT);
  error = native_set_option(
      *socket, level, optname,
      std::span<const std::byte>(reinterpret_cast<const std::byte*>(optval), static_cast<std::size_t>(optlen)));
  return error == 0 ? 0 : fail(error);
}

int ioctlsocket(SOCKET s, long cmd, u_long* argp) {
  int error = 0;
  auto socket = checked(s, &error);
  if (!socket) return fail(error);
  Use use(*socket);
  if (argp == nullptr) return fail(WSAEFAULT);
  switch (cmd) {
    case FIONBIO:
      socket->nonblocking = *argp != 0;
      return 0;
    case FIONREAD: {
      std::uint32_t bytes = 0;
      error = san_carried(*socket) ? san_available(*socket, &bytes) : native_available(*socket, &bytes);
      if (error != 0) return fail(error);
      *argp = bytes;
      return 0;
    }
    case SIOCATMARK:
      *argp = 1;  // no urgent data is ever kept apart
      return 0;
    default:
      return fail(WSAEINVAL);
  }
}

int WSAIoctl(SOCKET s, DWORD dwIoControlCode, LPVOID lpvInBuffer, DWORD cbInBuffer, LPVOID lpvOutBuffer,
             DWORD cbOutBuffer, LPDWORD lpcbBytesReturned, LPWSAOVERLAPPED lpOverlapped,
             LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) {
  int error = 0;
  auto socket = checked(s, &error);
  if (!socket) return fail(error);
  Use use(*socket);
  if (lpCompletionRoutine != nullptr) return fail(WSAEOPNOTSUPP);
  if (lpcbBytesReturned == nullptr && lpOverlapped == nullptr) return fail(WSAEFAULT);
  DWORD returned = 0;
  switch (dwIoControlCode) {
    case static_cast<DWORD>(FIONBIO):
    case static_cast<DWORD>(FIONREAD): {
      u_long value = 0;
      if (dwIoControlCode == static_cast<DWORD>(FIONBIO)) {
        if (lpvInBuffer == nullptr || cbInBuffer < sizeof(u_long)) return fail(WSAEFAULT);
        std::memcpy(&value, lpvInBuffer, sizeof value);
      } else if (lpvOutBuffer == nullptr || cbOutBuffer < sizeof(u_long)) {
        return fail(WSAEFAULT);
      }
      if (ioctlsocket(s, static_cast<long>(dwIoControlCode), &value) != 0) return SOCKET_ERROR;
      if (dwIoControlCode == static_cast<DWORD>(FIONREAD)) {
        std::memcpy(lpvOutBuffer, &value, sizeof value);
        returned = sizeof value;
      }
      break;
    }
    case SIO_ADDRESS_LIST_QUERY: {
      // The host's native address, the one local address of its sockets.
      const auto native = native_address();
      const DWORD count = native ? 1 : 0;
      const DWORD needed = static_cast<DWORD>(sizeof(SOCKET_ADDRESS_LIST) + count * sizeof(sockaddr_in));
      if (lpvOutBuffer == nullptr || cbOutBuffer < needed) {
        if (lpcbBytesReturned != nullptr) *lpcbBytesReturned = needed;
        return fail(WSAEFAULT);
      }
      auto* list = static_cast<SOCKET_ADDRESS_LIST*>(lpvOutBuffer);
      list->iAddressCount = static_cast<INT>(count);
      if (native) {
        auto* address = reinterpret_cast<sockaddr_in*>(static_cast<char*>(lpvOutBuffer) + sizeof(SOCKET_ADDRESS_LIST));
        std::memset(address, 0, sizeof *address);
        address->sin_family = AF_INET;
        address->sin_addr.s_addr = *native;
        list->Address[0].lpSockaddr = reinterpret_cast<sockaddr*>(address);
        list->Address[0].iSockaddrLength = sizeof *address;
      }
      returned = needed;
      break;
    }
    default:
      return fail(WSAEINVAL);
  }
  if (lpcbBytesReturned != nullptr) *lpcbBytesReturned = returned;
  if (lpOverlapped != nullptr) complete(*socket, lpOverlapped, 0, returned);  // done at once, reported as usual
  return 0;
}

// ---- Data ----------------------------------------------------------------------------------------

int send(SOCKET s, const char* buf, int len, int flags) {
  int error = 0;
  auto socket = checked(s, &error);
  if (!socket) return fail(error);
  Use use(*socket);
  if (len < 0 || (buf == nullptr && len > 0)) return fail(WSAEFAULT);
  if (!windows_flags_ok(flags) || (flags & MSG_WAITALL)) return fail(WSAEOPNOTSUPP);
  const std::span<const std::byte> one(reinterpret_cast<const std::byte*>(buf), static_cast<std::size_t>(len));
  std::size_t sent = 0;
  if ((error = do_send(socket, std::span(&one, 1), flags, nullptr, &sent)) != 0) return fail(error);
  return static_cast<int>(sent);
}

int recv(SOCKET s, char* buf, int len, int flags) {
  int error = 0;
  auto socket = checked(s, &error);
  if (!socket) return fail(error);
  Use use(*socket);
  if (len < 0 || (buf == nullptr && len > 0)) return fail(WSAEFAULT);
  if (!windows_flags_ok(flags)) return fail(WSAEOPNOTSUPP);
  const std::span<std::byte> one(reinterpret_cast<std::byte*>(buf), static_cast<std::size_t>(len));
  std::size_t received = 0;
  error = do_recv(socket, std::span(&one, 1), flags, nullptr, &received);
  if (error != 0 && !(error == WSAEMSGSIZE && received > 0)) return fail(error);
  if (error == WSAEMSGSIZE) {
    WSASetLastError(error);
    return SOCKET_ERROR;
  }
  return static_cast<int>(received);
}

int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen) {
  int error = 0;
  auto socket = checked(s, &error);
  if (!socket) return fail(error);
  Use use(*socket);
  if (len < 0 || (buf == nullptr && len > 0)) return fail(WSAEFAULT);
  if (!windows_flags_ok(flags) || (flags & MSG_WAITALL)) return fail(WSAEOPNOTSUPP);
  Address address;
  const Address* target = nullptr;
  if (to != nullptr && socket->type == SOCK_DGRAM) {
    if ((error = take_address(*socket, to, tolen, &address)) != 0) return fail(error);
    target = &address;
  }
  const std::span<const std::byte> one(reinterpret_cast<const std::byte*>(buf), static_cast<std::size_t>(len));
  std::size_t sent = 0;
  if ((error = do_send(socket, std::span(&one, 1), flags, target, &sent)) != 0) return fail(error);
  return static_cast<int>(sent);
}

int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen) {
  int error = 0;
  auto socket = checked(s, &error);
  if (!socket) return fail(error);
  Use use(*socket);
  if (len < 0 || (buf == nullptr && len > 0)) return fail(WSAEFAULT);
  if (from != nullptr && (fromlen == nullptr || *fromlen < static_cast<int>(sizeof(sockaddr_in)))) {
    return fail(WSAEFAULT);
  }
  if (!windows_flags_ok(flags)) return fail(WSAEOPNOTSUPP);
  const std::span<std::byte> one(reinterpret_cast<std::byte*>(buf), static_cast<std::size_t>(len));
  std::size_t received = 0;
  Address source;
  error = do_recv(socket, std::span(&one, 1), flags, &source, &received);
  if (error != 0 && error != WSAEMSGSIZE) return fail(error);
  if (from != nullptr && source.length > 0) {
    const int n = std::min(*fromlen, source.length);
    std::memcpy(from, source.bytes.data(), static_cast<std::size_t>(n));
    *fromlen = source.length;
  }
  if (error == WSAEMSGSIZE) return fail(error);
  return static_cast<int>(received);
}

int WSASend(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesSent, DWORD dwFlags,
            LPWSAOVERLAPPED lpOverlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) {
  int error = 0;
  auto socket = checked(s, &error);
  if (!socket) return fail(error);
  Use use(*socket);
  if (lpCompletionRoutine != nullptr) return fail(WSAEOPNOTSUPP);  // no APCs here
  if (lpOverlapped == nullptr && lpNumberOfBytesSent == nullptr) return fail(WSAEFAULT);
  if (!windows_flags_ok(static_cast<int>(dwFlags)) || (dwFlags & MSG_WAITALL)) return fail(WSAEOPNOTSUPP);
  std::vector<std::span<const std::byte>> buffers;
  if ((error = spans_of(lpBuffers, dwBufferCount, &buffers)) != 0) return fail(error);
  std::size_t sent = 0;
  if (lpOverlapped != nullptr) {
    if (san_carried(*socket)) {
      std::vector<std::span<std::byte>> writable;
      for (auto& b : buffers) writable.emplace_back(const_cast<std::byte*>(b.data()), b.size());
      error = san_overlapped(socket, true, writable, static_cast<int>(dwFlags), lpOverlapped);
    } else {
      error = overlapped_send(socket, buffers, static_cast<int>(dwFlags), lpOverlapped, &sent);
    }
    if (error == 0 && lpNumberOfBytesSent != nullptr) *lpNumberOfBytesSent = static_cast<DWORD>(sent);
    return error == 0 ? 0 : fail(error);
  }
  if ((error = do_send(socket, buffers, static_cast<int>(dwFlags), nullptr, &sent)) != 0) return fail(error);
  *lpNumberOfBytesSent = static_cast<DWORD>(sent);
  return 0;
}

int WSARecv(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesRecvd, LPDWORD lpFlags,
            LPWSAOVERLAPPED lpOverlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) {
  int error = 0;
  auto socket = checked(s, &error);
  if (!socket) return fail(error);
  Use use(*socket);
  if (lpCompletionRoutine != nullptr) return fail(WSAEOPNOTSUPP);
  if (lpFlags == nullptr || (lpOverlapped == nullptr && lpNumberOfBytesRecvd == nullptr)) return fail(WSAEFAULT);
  const int flags = static_cast<int>(*lpFlags);
  if (!windows_flags_ok(flags)) return fail(WSAEOPNOTSUPP);
  std::vector<std::span<std::byte>> buffers;
  if ((error = spans_of(lpBuffers, dwBufferCount, &buffers)) != 0) return fail(error);
  std::size_t received = 0;
  if (lpOverlapped != nullptr) {
    error = san_carried(*socket) ? san_overlapped(socket, false, buffers, flags, lpOverlapped)
                                 : overlapped_recv(socket, buffers, flags, lpOverlapped, &received);
    if (error == 0 && lpNumberOfBytesRecvd != nullptr) *lpNumberOfBytesRecvd = static_cast<DWORD>(received);
    return error == 0 ? 0 : fail(error);
  }
  error = do_recv(socket, buffers, flags, nullptr, &received);
  *lpNumberOfBytesRecvd = static_cast<DWORD>(received);
  *lpFlags = 0;
  if (error == WSAEMSGSIZE) *lpFlags = MSG_PARTIAL;
  return error == 0 ? 0 : fail(error);
}

BOOL WSAGetOverlappedResult(SOCKET s, LPWSAOVERLAPPED lpOverlapped, LPDWORD lpcbTransfer, BOOL fWait,
                            LPDWORD lpdwFlags) {
  int error = 0;
  auto socket = checked(s, &error);
  if (!socket) return fail(error, FALSE);
  if (lpOverlapped == nullptr || lpcbTransfer == nullptr || lpdwFlags == nullptr) return fail(WSAEFAULT, FALSE);
  if (overlapped_error(lpOverlapped) == WSA_IO_INCOMPLETE) {
    if (!fWait) return fail(WSA_IO_INCOMPLETE, FALSE);
    // The runtime's wait for an overlapped request (the socket is one of its
    // files); its result is read below from what the completion wrote.
    DWORD ignored = 0;
    GetOverlappedResult(reinterpret_cast<HANDLE>(s), lpOverlapped, &ignored, TRUE);
  }
  *lpcbTransfer = static_cast<DWORD>(lpOverlapped->InternalHigh);
  *lpdwFlags = lpOverlapped->Offset;
  error = overlapped_error(lpOverlapped);
  return error == 0 ? TRUE : fail(error, FALSE);
}

int __WSAFDIsSet(SOCKET fd, fd_set* set) {
  if (set == nullptr) return 0;
  for (u_int i = 0; i < set->fd_count && i < FD_SETSIZE; ++i) {
    if (set->fd_array[i] == fd) return 1;
  }
  return 0;
}

int select(int, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, const timeval* timeout) {
  if (!started()) return fail(WSANOTINITIALISED);
  if (timeout != nullptr && (timeout->tv_sec < 0 || timeout->tv_usec < 0)) return fail(WSAEINVAL);
  struct Entry {
    SOCKET handle;
    std::shared_ptr<Socket> socket;
    fd_set* set;
    short events;
    bool ready = false;
  };
  std::vector<Entry> entries;
  for (auto [set, events] :
       {std::pair{readfds, short{POLLIN}}, std::pair{writefds, short{POLLOUT}}, std::pair{exceptfds, short{POLLPRI}}}) {
    if (set == nullptr) continue;
    if (set->fd_count > FD_SETSIZE) return fail(WSAEINVAL);
    for (u_int i = 0; i < set->fd_count; ++i) {
      auto socket = socket_of(set->fd_array[i]);
      if (!socket || socket->closing.load()) return fail(WSAENOTSOCK);
      entries.push_back({set->fd_array[i], socket, set, events});
    }
  }
  // Windows refuses a select with nothing to wait for.
  if (entries.empty()) return fail(WSAEINVAL);
  const auto deadline =
      std::chrono::steady_clock::now() +
      std::chrono::microseconds(
          timeout == nullptr ? 0 : static_cast<long long>(timeout->tv_sec) * 1000000 + timeout->tv_usec);
  for (;;) {
    std::vector<pollfd> polls;
    int ready = 0;
    for (auto& e : entries) {
      const bool switched = san_listening(*e.socket) || san_carried(*e.socket);
      if (switched && e.events == POLLIN) {
        e.ready = san_readable(*e.socket);
        polls.push_back({san_ready_fd(*e.socket), POLLIN, 0});
        if (!san_carried(*e.socket) && e.socket->fd >= 0) polls.push_back({e.socket->fd, POLLIN, 0});
      } else if (switched && e.events == POLLOUT) {
        e.ready = san_carried(*e.socket);  // a carried socket takes data; the send waits for credit itself
        polls.push_back({-1, 0, 0});
      } else {
        polls.push_back({e.socket->fd, e.events, 0});
      }
      ready += e.ready ? 1 : 0;
    }
    int wait_ms = -1;
    if (ready > 0) {
      wait_ms = 0;
    } else if (timeout != nullptr) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      wait_ms = left.count() <= 0 ? 0 : static_cast<int>(left.count()) + 1;
    }
    const int r = ::poll(polls.data(), polls.size(), wait_ms);
    if (r < 0 && errno == EINTR) continue;
    // Native readiness, read straight from poll.
    std::size_t k = 0;
    for (auto& e : entries) {
      const bool switched = san_listening(*e.socket) || san_carried(*e.socket);
      if (switched && e.events == POLLIN) {
        e.ready = san_readable(*e.socket);
        ++k;
        if (!san_carried(*e.socket) && e.socket->fd >= 0) {
          e.ready = e.ready || (polls[k].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
          ++k;
        }
      } else if (switched) {
        ++k;
      } else {
        e.ready = (polls[k].revents & (e.events | POLLHUP | POLLERR)) != 0 &&
                  !(e.events == POLLPRI && (polls[k].revents & POLLPRI) == 0);
        ++k;
      }
    }
    int count = 0;
    for (auto& e : entries) count += e.ready ? 1 : 0;
    if (count > 0 || (timeout != nullptr && std::chrono::steady_clock::now() >= deadline)) {
      for (auto* set : {readfds, writefds, exceptfds}) {
        if (set != nullptr) set->fd_count = 0;
      }
      for (auto& e : entries) {
        if (e.ready) e.set->fd_array[e.set->fd_count++] = e.handle;
      }
      return count;
    }
  }
}

// ---- Other processes ---------------------------------------------------------------------------

int WSADuplicateSocketW(SOCKET s, DWORD dwProcessId, LPWSAPROTOCOL_INFOW lpProtocolInfo) {
  int error = 0;
  auto socket = checked(s, &error);
  if (!socket) return fail(error);
  Use use(*socket);
  if (lpProtocolInfo == nullptr) return fail(WSAEFAULT);
  if (san_carried(*socket) || san_listening(*socket)) return fail(WSAEOPNOTSUPP);
  std::uint32_t token = 0;
  if ((error = duplicate_send(*socket, dwProcessId, &token)) != 0) return fail(error);
  auto entry = catalog_entry(socket->catalog_entry);
  if (!entry) return fail(WSAEINVAL);
  *lpProtocolInfo = entry->info;
  lpProtocolInfo->iAddressFamily = socket->family;
  lpProtocolInfo->dwProviderReserved = token;
  return 0;
}

// ---- Events ------------------------------------------------------------------------------------

WSAEVENT WSACreateEvent() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }
BOOL WSACloseEvent(WSAEVENT hEvent) { return CloseHandle(hEvent); }
BOOL WSASetEvent(WSAEVENT hEvent) { return SetEvent(hEvent); }
BOOL WSAResetEvent(WSAEVENT hEvent) { return ResetEvent(hEvent); }
DWORD WSAWaitForMultipleEvents(DWORD cEvents, const WSAEVENT* lphEvents, BOOL fWaitAll, DWORD dwTimeout, BOOL) {
  return WaitForMultipleObjects(cEvents, lphEvents, fWaitAll, dwTimeout);
}
