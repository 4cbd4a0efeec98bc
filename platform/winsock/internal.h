// The WinSock stand-in's own parts, shared by its files. This header
// carries no WinSock or Linux socket type, so the files that face Linux and
// the files that face WinSock programs can both include it.
#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "platform/user/shared.h"

namespace plat::ws {

// Windows' numbers that the engine needs.
inline constexpr int kAfUnspec = 0;
inline constexpr int kAfUnix = 1;
inline constexpr int kAfInet = 2;
inline constexpr int kAfInet6 = 23;
inline constexpr int kSockStream = 1;
inline constexpr int kSockDgram = 2;
inline constexpr int kIpprotoTcp = 6;
inline constexpr int kIpprotoUdp = 17;

// WinSock errors the engine reports.
inline constexpr int kOk = 0;
inline constexpr int kInvalidHandle = 6;
inline constexpr int kNoMemory = 8;
inline constexpr int kAborted = 995;
inline constexpr int kIncomplete = 996;
inline constexpr int kPending = 997;
inline constexpr int kEintr = 10004;
inline constexpr int kEacces = 10013;
inline constexpr int kEfault = 10014;
inline constexpr int kEinval = 10022;
inline constexpr int kEmfile = 10024;
inline constexpr int kEwouldblock = 10035;
inline constexpr int kEalready = 10037;
inline constexpr int kEnotsock = 10038;
inline constexpr int kEmsgsize = 10040;
inline constexpr int kEprototype = 10041;
inline constexpr int kEnoprotoopt = 10042;
inline constexpr int kEprotonosupport = 10043;
inline constexpr int kEsocktnosupport = 10044;
inline constexpr int kEopnotsupp = 10045;
inline constexpr int kEafnosupport = 10047;
inline constexpr int kEaddrinuse = 10048;
inline constexpr int kEaddrnotavail = 10049;
inline constexpr int kEnetdown = 10050;
inline constexpr int kEconnaborted = 10053;
inline constexpr int kEconnreset = 10054;
inline constexpr int kEnobufs = 10055;
inline constexpr int kEisconn = 10056;
inline constexpr int kEnotconn = 10057;
inline constexpr int kEshutdown = 10058;
inline constexpr int kEtimedout = 10060;
inline constexpr int kEconnrefused = 10061;
inline constexpr int kNotinitialised = 10093;
inline constexpr int kEdiscon = 10101;

// A socket address in Windows' layout (the family as Windows numbers it).
struct Address {
  std::array<std::uint8_t, 128> bytes{};
  int length = 0;
  int family() const { return bytes[0] | (bytes[1] << 8); }
  // IPv4 only: the address and port in network order.
  std::uint32_t ipv4() const;
  std::uint16_t port() const;
  static Address ipv4(std::uint32_t address_network, std::uint16_t port_network);
};

struct SanLink;    // the SAN switch's part of a socket (switch.cpp)
struct PendingIo;  // an overlapped transfer waiting for its socket (reactor.cpp)

// One socket: a handle of the process's table.
struct Socket final : plat::user::IoObject {
  ~Socket() override;
  void handle_closed() override;  // CloseHandle of a socket closes it

  int fd = -1;  // the Linux socket; -1 for a socket that only the switch carries
  int family = 0;
  int type = 0;
  int protocol = 0;
  std::uint32_t catalog_entry = 0;
  int wake = -1;  // eventfd: closing, or (switch) something to look at
  std::atomic<bool> closing{false};
  std::atomic<bool> nonblocking{false};
  std::atomic<std::uint32_t> receive_timeout{0};  // milliseconds, 0: none
  std::atomic<std::uint32_t> send_timeout{0};
  std::atomic<bool> bound{false};
  std::atomic<bool> listening{false};
  std::atomic<bool> sending_shut{false};
  std::atomic<int> busy{0};  // calls in progress
  std::atomic<std::uint32_t> debug_option{0};

  std::mutex mu;  // the rest
  std::condition_variable idle;
  std::deque<std::shared_ptr<PendingIo>> reads;   // overlapped receives in order
  std::deque<std::shared_ptr<PendingIo>> writes;  // overlapped sends in order
  bool registered = false;                        // with the reactor
  std::shared_ptr<SanLink> san;                   // carried by a SAN provider
  bool san_decided = false;                       // the switch has looked at it
};

// The socket behind a handle; null (and no error set) when it is none.
std::shared_ptr<Socket> socket_of(std::uintptr_t handle);
std::uintptr_t insert_socket(const std::shared_ptr<Socket>& socket);

// A call on a socket: counts as busy until it returns, so closesocket waits
// for it (it wakes the call first).
class Use {
 public:
  explicit Use(Socket& s) : s_(s) { s_.busy.fetch_add(1); }
  ~Use();
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

 private:
  Socket& s_;
};

// ---- Start-up --------------------------------------------------------------------------
bool started();
int startup();   // WSAStartup's count
void cleanup();  // WSACleanup's

// ---- The host's native address --------------------------------------------------------
// Network order; nothing without a host (no rewriting then).
std::optional<std::uint32_t> native_address();
// An address as this host's sockets see it: INADDR_ANY and 127.0.0.1 are
// the host's native address. False (kEaddrnotavail) for a local address
// that is not the host's.
int local_address_for_bind(Address* address);
void remote_address_for_connect(Address* address);

// ---- Native sockets (native.cpp) -----------------------------------------------------------
int native_create(int family, int type, int protocol, std::shared_ptr<Socket>* out);
// Wraps a Linux socket (accepted or duplicated).
std::shared_ptr<Socket> native_wrap(int fd, int family, int type, int protocol);
int native_bind(Socket& s, Address address);
int native_listen(Socket& s, int backlog);
int native_accept(Socket& s, std::shared_ptr<Socket>* out, Address* peer);
// One look: kEwouldblock when no connection waits.
int native_accept_once(Socket& s, std::shared_ptr<Socket>* out, Address* peer);
int native_connect(Socket& s, Address address);
// Blocking transfers (or would-block for a non-blocking socket); flags are Windows'.
int native_send(Socket& s, std::span<const std::span<const std::byte>> buffers, int flags, const Address* to,
                std::size_t* sent);
int native_recv(Socket& s, std::span<const std::span<std::byte>> buffers, int flags, Address* from,
                std::size_t* received);
int native_shutdown(Socket& s, int how);
int native_name(Socket& s, bool peer, Address* out);
int native_get_option(Socket& s, int level, int name, std::span<std::byte> value, int* length);
int native_set_option(Socket& s, int level, int name, std::span<const std::byte> value);
int native_available(Socket& s, std::uint32_t* bytes);
void native_close(Socket& s);
// Ends the calls that other threads have in progress on the socket (closesocket).
void native_interrupt(Socket& s);
// Waits until the socket's fd is ready for `events` (poll bits) or the socket
// closes or (timeout_ms > 0) time runs out: kOk, kEintr, kEtimedout.
int wait_ready(Socket& s, short events, std::uint32_t timeout_ms, int extra_fd = -1);

// ---- Overlapped transfers (reactor.cpp) ------------------------------------------------------
// Starts an overlapped transfer: done at once (kOk, the OVERLAPPED
// completed and its packet posted), failed at once (the error, nothing
// posted), or kPending.
int overlapped_send(const std::shared_ptr<Socket>& s, std::span<const std::span<const std::byte>> buffers, int flags,
                    LPOVERLAPPED overlapped, std::size_t* sent);
int overlapped_recv(const std::shared_ptr<Socket>& s, std::span<const std::span<std::byte>> buffers, int flags,
                    LPOVERLAPPED overlapped, std::size_t* received);
// Completes every pending transfer of the socket with WSA_OPERATION_ABORTED.
void abort_pending(Socket& s);
// Completes an OVERLAPPED of a socket (the event, the socket, its port).
void complete(Socket& s, LPOVERLAPPED overlapped, int error, std::size_t bytes);
// The WinSock error an OVERLAPPED carries, or kIncomplete.
int overlapped_error(LPOVERLAPPED overlapped);

// ---- Errors (errors.cpp) -----------------------------------------------------------------------
int from_errno(int error);
// Windows' socket address of a Linux one and back (the family number differs).
bool to_linux(const Address& address, std::array<std::uint8_t, 128>* out, unsigned* length);
Address from_linux(const void* address, unsigned length);

// ---- Duplicated sockets (duplicate.cpp) ------------------------------------------------------
// Sends the socket's fd to process `pid`; the token it gets there.
int duplicate_send(Socket& s, std::uint32_t pid, std::uint32_t* token);
// The fd that the process `pid` sent under `token`, or -1.
int duplicate_receive(std::uint32_t token);
// The process's inbox for duplicated sockets (at start-up).
void duplicate_open_inbox();

}  // namespace plat::ws
