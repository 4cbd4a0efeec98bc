// The socket calls of the host TCP/IP stack as other deliverables reach
// them: the records of the socket-call control requests (zeksock and kernel
// callers send them to the proxy driver's device), the message header, the
// poll entry and the select sets, the kernel socket-call routine table, and
// the decisions this system takes where the calls' contract leaves room.
//
// Every record is read in and written back whole; sockets travel as u64
// descriptors, pointers as u64 addresses of the sender's space (user
// addresses for the *_USER codes, kernel addresses for the *_KERNEL codes),
// and a result is the call's value: >= 0, or a BSD error number negated.
// The control request itself succeeds unless the record is malformed.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Limits and decisions --------------------------------------------------------------------
// A socket address travels inline in at most this many bytes (bind, connect).
inline constexpr std::uint32_t ZEK_SOCKADDR_AREA = 256;
// Longest socket address a call accepts (a length of 256 gives ENAMETOOLONG).
inline constexpr std::uint32_t ZEK_SOCKADDR_MAX = 255;
// Bytes of data that a recv or send record carries inline.
inline constexpr std::uint32_t ZEK_INLINE_DATA = 256;
// Bytes of an option value that a getsockopt or setsockopt record carries.
inline constexpr std::uint32_t ZEK_INLINE_OPTION = 8;
// Entries of a message header's vector (1024 or more gives EMSGSIZE).
inline constexpr std::int32_t ZEK_MSG_IOV_MAX = 1023;
// Descriptors: the stack's table holds 8192; a poll array holds at most as
// many entries, a select set at most as many bits.
inline constexpr std::int32_t ZEK_SOCKET_DESCRIPTORS = 8192;
inline constexpr std::int32_t ZEK_POLL_MAX = ZEK_SOCKET_DESCRIPTORS;
inline constexpr std::int32_t ZEK_SELECT_MAX = ZEK_SOCKET_DESCRIPTORS;
// A non-zero poll or select time-out shorter than this is raised to it.
inline constexpr std::int32_t ZEK_MIN_WAIT_MS = 10;
// The driver moves a user transfer through a kernel buffer of at most this
// many bytes at a time: a larger recv returns what one buffer took, a
// larger stream send is carried in several, a larger datagram is refused
// (EMSGSIZE).
inline constexpr std::uint32_t ZEK_TRANSFER_CHUNK = 256 * 1024;
// Transfer buffers the driver keeps between requests for reuse (each of
// ZEK_TRANSFER_CHUNK bytes; freed when the driver unloads).
inline constexpr std::uint32_t ZEK_TRANSFER_BUFFERS_KEPT = 8;
// A user interface-list request (SIOCGIFCONF) fills at most this many bytes.
inline constexpr std::uint32_t ZEK_IFCONF_MAX = 64 * 1024;

// Decisions where the calls' contract is silent or unsafe, and what this
// system does instead:
//   - Sockets belong to the process that made them: a call naming another
//     process's descriptor fails with EBADF, as an unknown one does.
//   - close drops one descriptor: a socket lives while a descriptor (dup,
//     dup2) or a call in progress still refers to it. dup2's target must lie
//     in the table (else EBADF) and must not be another process's.
//   - accept fails with the BSD error number negated, as every call does.
//   - Two sockets of one host address talk over the stack's TCP like any
//     other pair: no shortcut, no limit on what a connection carries.
//   - A process's sockets are shut down and closed when its handle on the
//     driver is cleaned up (it closed it or died); a call it had in progress
//     returns first.

// ---- Calls' own records ------------------------------------------------------------------------
// A message header as the caller lays it out (48 bytes) and its vector
// entries (16 bytes).
struct ZekIovec {
  std::uint64_t Base;
  std::uint64_t Length;
};
static_assert(sizeof(ZekIovec) == 16);

struct ZekMsgHdr {
  std::uint64_t Name;
  std::uint32_t NameLength;
  std::uint32_t Reserved1;
  std::uint64_t Iov;
  std::int32_t IovCount;
  std::uint32_t Reserved2;
  std::uint64_t Control;
  std::uint32_t ControlLength;
  std::int32_t Flags;
};
static_assert(offsetof(ZekMsgHdr, NameLength) == 8);
static_assert(offsetof(ZekMsgHdr, Iov) == 16);
static_assert(offsetof(ZekMsgHdr, IovCount) == 24);
static_assert(offsetof(ZekMsgHdr, Control) == 32);
static_assert(offsetof(ZekMsgHdr, ControlLength) == 40);
static_assert(offsetof(ZekMsgHdr, Flags) == 44);
static_assert(sizeof(ZekMsgHdr) == 48);

// A poll entry (8 bytes). Events: POLLIN 0x1, POLLPRI 0x2, POLLOUT 0x4,
// POLLNVAL 0x20 (a bad descriptor), POLLRDNORM 0x40, POLLRDBAND 0x80.
struct ZekPollFd {
  std::int32_t Fd;
  std::int16_t Events;
  std::int16_t Revents;
};
static_assert(sizeof(ZekPollFd) == 8);
inline constexpr std::int16_t ZEK_POLLIN = 0x1;
inline constexpr std::int16_t ZEK_POLLPRI = 0x2;
inline constexpr std::int16_t ZEK_POLLOUT = 0x4;
inline constexpr std::int16_t ZEK_POLLNVAL = 0x20;

// A select set is a bit set: descriptor n is bit n % 8 of byte n / 8; the
// call reads and writes (count + 7) / 8 bytes of each set it is given.
inline constexpr std::uint32_t ZekSelectSetBytes(std::int32_t count) {
  return count <= 0 ? 0 : static_cast<std::uint32_t>(count + 7) / 8;
}
// The select time-out: seconds and microseconds (8 bytes).
struct ZekTimeval {
  std::int32_t Seconds;
  std::int32_t Microseconds;
};
static_assert(sizeof(ZekTimeval) == 8);

// ---- Request records -----------------------------------------------------------------------------
struct ZekSocketPairRecord {  // IOCTL_ZEK_SOCKETPAIR_*
  std::int32_t Domain;
  std::int32_t Type;
  std::int32_t Protocol;
  std::int32_t Result;
  std::uint64_t Pair;  // pointer to two i32
};
static_assert(offsetof(ZekSocketPairRecord, Result) == 12);
static_assert(offsetof(ZekSocketPairRecord, Pair) == 16);
static_assert(sizeof(ZekSocketPairRecord) == 24);

struct ZekSocketRecord {  // IOCTL_ZEK_SOCKET_*
  std::int32_t Domain;
  std::int32_t Type;
  std::int64_t Result;  // the new socket
  std::int32_t Protocol;
  std::uint32_t Zero;
};
static_assert(offsetof(ZekSocketRecord, Result) == 8);
static_assert(offsetof(ZekSocketRecord, Protocol) == 16);
static_assert(sizeof(ZekSocketRecord) == 24);

struct ZekAddressRecord {  // IOCTL_ZEK_BIND_*, IOCTL_ZEK_CONNECT_*
  std::uint64_t Socket;
  std::uint8_t Address[ZEK_SOCKADDR_AREA];
  std::uint32_t Length;
  std::int32_t Result;
};
static_assert(offsetof(ZekAddressRecord, Address) == 8);
static_assert(offsetof(ZekAddressRecord, Length) == 264);
static_assert(offsetof(ZekAddressRecord, Result) == 268);
static_assert(sizeof(ZekAddressRecord) == 272);

struct ZekSocketIntRecord {  // IOCTL_ZEK_LISTEN_*, IOCTL_ZEK_SHUTDOWN_*
  std::uint64_t Socket;
  std::int32_t Value;  // backlog or how
  std::int32_t Result;
};
static_assert(offsetof(ZekSocketIntRecord, Result) == 12);
static_assert(sizeof(ZekSocketIntRecord) == 16);

struct ZekAcceptRecord {  // IOCTL_ZEK_ACCEPT_*
  std::uint64_t Socket;
  std::uint8_t Address[ZEK_SOCKADDR_AREA];  // out
  std::int64_t Result;                      // the new socket
  std::uint32_t Length;                     // in and out
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekAcceptRecord, Result) == 264);
static_assert(offsetof(ZekAcceptRecord, Length) == 272);
static_assert(sizeof(ZekAcceptRecord) == 280);

struct ZekNameRecord {  // IOCTL_ZEK_GETSOCKETNAME_*, IOCTL_ZEK_GETPEERNAME_*
  std::uint64_t Socket;
  std::uint8_t Address[16];  // out
  std::uint32_t Length;      // in and out
  std::int32_t Result;
};
static_assert(offsetof(ZekNameRecord, Length) == 24);
static_assert(offsetof(ZekNameRecord, Result) == 28);
static_assert(sizeof(ZekNameRecord) == 32);

struct ZekTransferRecord {  // IOCTL_ZEK_RECV_*, IOCTL_ZEK_SEND_*
  std::uint64_t Socket;
  std::uint64_t Data;  // the caller's buffer
  std::uint8_t Inline[ZEK_INLINE_DATA];
  std::int32_t Length;
  std::int32_t Flags;
  std::int32_t Result;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekTransferRecord, Inline) == 16);
static_assert(offsetof(ZekTransferRecord, Length) == 272);
static_assert(offsetof(ZekTransferRecord, Flags) == 276);
static_assert(offsetof(ZekTransferRecord, Result) == 280);
static_assert(sizeof(ZekTransferRecord) == 288);

struct ZekRecvFromRecord {  // IOCTL_ZEK_RECVFROM_*
  std::uint64_t Socket;
  std::uint64_t AddressLength;  // pointer to a u32
  std::uint64_t Data;
  std::int32_t Length;
  std::int32_t Flags;
  std::uint64_t Address;  // pointer to a 16-byte address
  std::int32_t Result;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekRecvFromRecord, Data) == 16);
static_assert(offsetof(ZekRecvFromRecord, Length) == 24);
static_assert(offsetof(ZekRecvFromRecord, Address) == 32);
static_assert(offsetof(ZekRecvFromRecord, Result) == 40);
static_assert(sizeof(ZekRecvFromRecord) == 48);

struct ZekSendToRecord {  // IOCTL_ZEK_SENDTO_*
  std::uint64_t Socket;
  std::uint64_t Address;  // pointer to the address
  std::uint64_t Data;
  std::int32_t Length;
  std::int32_t Flags;
  std::int32_t AddressLength;
  std::int32_t Result;
};
static_assert(offsetof(ZekSendToRecord, AddressLength) == 32);
static_assert(offsetof(ZekSendToRecord, Result) == 36);
static_assert(sizeof(ZekSendToRecord) == 40);

struct ZekMsgRecord {  // IOCTL_ZEK_RECVMSG_*, IOCTL_ZEK_SENDMSG_*
  std::uint64_t Socket;
  std::uint64_t Message;  // pointer to a ZekMsgHdr
  std::int32_t Flags;
  std::int32_t Result;
};
static_assert(offsetof(ZekMsgRecord, Flags) == 16);
static_assert(offsetof(ZekMsgRecord, Result) == 20);
static_assert(sizeof(ZekMsgRecord) == 24);

struct ZekOptionRecord {  // IOCTL_ZEK_GETSOCKOPT_*, IOCTL_ZEK_SETSOCKOPT_*
  std::uint64_t Socket;
  std::int32_t Level;
  std::int32_t Name;
  std::uint8_t Value[ZEK_INLINE_OPTION];
  std::uint32_t Length;  // getsockopt: in and out
  std::int32_t Result;
};
static_assert(offsetof(ZekOptionRecord, Value) == 16);
static_assert(offsetof(ZekOptionRecord, Length) == 24);
static_assert(offsetof(ZekOptionRecord, Result) == 28);
static_assert(sizeof(ZekOptionRecord) == 32);

struct ZekReadWriteRecord {  // IOCTL_ZEK_READ_*, IOCTL_ZEK_WRITE_*
  std::uint64_t Socket;
  std::uint64_t Data;
  std::int32_t Length;
  std::int32_t Result;
};
static_assert(offsetof(ZekReadWriteRecord, Result) == 20);
static_assert(sizeof(ZekReadWriteRecord) == 24);

struct ZekIoctlCallRecord {  // IOCTL_ZEK_IOCTL_*
  std::uint64_t Socket;
  std::uint32_t Request;  // its bits 16-28 give the argument's length
  std::uint32_t Zero;
  std::uint64_t Argument;
  std::int32_t Result;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekIoctlCallRecord, Argument) == 16);
static_assert(offsetof(ZekIoctlCallRecord, Result) == 24);
static_assert(sizeof(ZekIoctlCallRecord) == 32);
inline constexpr std::uint32_t ZekIoctlArgumentBytes(std::uint32_t request) { return (request >> 16) & 0x1FFF; }

struct ZekFcntlRecord {  // IOCTL_ZEK_FCNTL_*
  std::uint64_t Socket;
  std::int32_t Command;  // 3 get (4 = non-blocking), 4 set (bit 4 of Argument)
  std::int32_t Argument;
  std::int32_t Result;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekFcntlRecord, Result) == 16);
static_assert(sizeof(ZekFcntlRecord) == 24);
inline constexpr std::int32_t ZEK_F_GETFL = 3;
inline constexpr std::int32_t ZEK_F_SETFL = 4;
inline constexpr std::int32_t ZEK_O_NONBLOCK = 4;

struct ZekSelectRecord {  // IOCTL_ZEK_SELECT_*
  std::int32_t Count;
  std::uint32_t Reserved1;
  std::uint64_t ReadSet;
  std::uint64_t WriteSet;
  std::uint64_t ExceptSet;
  std::uint64_t Timeout;  // pointer to a ZekTimeval; 0 waits without limit
  std::int32_t Result;
  std::uint32_t Reserved2;
};
static_assert(offsetof(ZekSelectRecord, ReadSet) == 8);
static_assert(offsetof(ZekSelectRecord, Timeout) == 32);
static_assert(offsetof(ZekSelectRecord, Result) == 40);
static_assert(sizeof(ZekSelectRecord) == 48);

struct ZekPollRecord {    // IOCTL_ZEK_POLL_*
  std::uint64_t Entries;  // pointer to Count ZekPollFd
  std::int32_t Count;
  std::int32_t Timeout;  // milliseconds, -1 without limit
  std::int32_t Result;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekPollRecord, Count) == 8);
static_assert(offsetof(ZekPollRecord, Timeout) == 12);
static_assert(offsetof(ZekPollRecord, Result) == 16);
static_assert(sizeof(ZekPollRecord) == 24);

struct ZekCloseRecord {  // IOCTL_ZEK_CLOSE_*, IOCTL_ZEK_DUP, user dup
  std::uint64_t Socket;
  std::int32_t Result;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekCloseRecord, Result) == 8);
static_assert(sizeof(ZekCloseRecord) == 16);

struct ZekDup2Record {  // IOCTL_ZEK_DUP2, user dup2
  std::uint64_t Socket;
  std::uint64_t Target;
  std::int32_t Result;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekDup2Record, Result) == 16);
static_assert(sizeof(ZekDup2Record) == 24);

struct ZekInetAddrRecord {  // IOCTL_ZEK_INET_ADDR_KERNEL
  std::uint64_t Text;       // pointer to the dotted text
  std::uint32_t Result;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekInetAddrRecord, Result) == 8);
static_assert(sizeof(ZekInetAddrRecord) == 16);

// IOCTL_TCP_GET_STATS: the stack's TCP statistics into the caller's buffer,
// at most BufferLength bytes of the ZEK_TCP_STATS_BYTES block.
struct ZekTcpStatsRecord {
  std::uint64_t Buffer;
  std::uint8_t Reserved1[16];
  std::uint32_t BufferLength;
  std::uint32_t Reserved2;
};
static_assert(offsetof(ZekTcpStatsRecord, BufferLength) == 24);
static_assert(sizeof(ZekTcpStatsRecord) == 32);
inline constexpr std::uint32_t ZEK_TCP_STATS_BYTES = 324;

// IOCTL_ZEK_TCPIP_008: the interface entry at position Index among the
// interfaces that have a link-level address.
struct ZekInterfaceEntryRecord {
  std::uint8_t LinkAddress[54];  // out: the link-level socket address
  std::uint8_t Address[16];      // out: the interface's first IPv4 socket address
  std::uint8_t Reserved1[2];
  std::uint32_t Index;       // in
  std::uint32_t LinkLength;  // out: 54 when found, else 0
  std::uint32_t Flags;       // out: the interface flags
};
static_assert(offsetof(ZekInterfaceEntryRecord, Address) == 54);
static_assert(offsetof(ZekInterfaceEntryRecord, Index) == 72);
static_assert(offsetof(ZekInterfaceEntryRecord, LinkLength) == 76);
static_assert(offsetof(ZekInterfaceEntryRecord, Flags) == 80);
static_assert(sizeof(ZekInterfaceEntryRecord) == 84);

// The interface-list request's argument (SIOCGIFCONF, 0xC0106924): the
// buffer's length in bytes (in: its size, out: what was filled) and its
// address; each entry is a 16-byte name and a length-prefixed address.
struct ZekIfconf {
  std::int32_t Length;
  std::uint32_t Reserved;
  std::uint64_t Buffer;
};
static_assert(offsetof(ZekIfconf, Buffer) == 8);
static_assert(sizeof(ZekIfconf) == 16);
inline constexpr std::uint32_t ZEK_SIOCGIFCONF = 0xC0106924;

// Bytes of IOCTL_ZEK_TCPIP_CC00's answer (it does nothing).
inline constexpr std::uint32_t ZEK_TCPIP_CC00_BYTES = 4;

// ---- The kernel socket-call routine table ------------------------------------------------------
// IOCTL_ZEK_GET_SOCKET_TABLE writes its address (ZekRoutineTableRecord).
// Kernel callers pass kernel addresses; addresses are BSD socket addresses.
struct ZekKernelSocketTable {
  int (*socketpair)(int domain, int type, int protocol, int* pair);
  int (*socket)(int domain, int type, int protocol);
  int (*bind)(int s, const void* address, int length);
  int (*connect)(int s, const void* address, int length);
  int (*listen)(int s, int backlog);
  int (*accept)(int s, void* address, int* length);
  int (*getsockname)(int s, void* address, int* length);
  int (*getpeername)(int s, void* address, int* length);
  int (*recv)(int s, void* buffer, int length, int flags);
  int (*recvfrom)(int s, void* buffer, int length, int flags, void* address, int* address_length);
  int (*recvmsg)(int s, ZekMsgHdr* message, int flags);
  int (*send)(int s, const void* buffer, int length, int flags);
  int (*sendto)(int s, const void* buffer, int length, int flags, const void* address, int address_length);
  int (*sendmsg)(int s, const ZekMsgHdr* message, int flags);
  int (*shutdown)(int s, int how);
  int (*getsockopt)(int s, int level, int name, void* value, int* length);
  int (*setsockopt)(int s, int level, int name, const void* value, int length);
  std::uint32_t (*inet_addr)(const char* text);
  int (*poll)(ZekPollFd* entries, int count, int timeout_ms);
  int (*close)(int s);
  int (*read)(int s, void* buffer, int length);
  int (*write)(int s, const void* buffer, int length);
  int (*ioctl)(int s, std::uint32_t request, void* argument);
  int (*fcntl)(int s, int command, int argument);
  int (*select)(int count, std::uint8_t* read_set, std::uint8_t* write_set, std::uint8_t* except_set,
                const ZekTimeval* timeout);
  int (*inet_ntoa_buf)(std::uint32_t address, char* text);
  int (*dup)(int s);
  int (*dup2)(int s, int target);
};
static_assert(sizeof(ZekKernelSocketTable) == 28 * sizeof(void*));
static_assert(offsetof(ZekKernelSocketTable, recv) == 8 * sizeof(void*));
static_assert(offsetof(ZekKernelSocketTable, poll) == 18 * sizeof(void*));
static_assert(offsetof(ZekKernelSocketTable, dup2) == 27 * sizeof(void*));

// ---- Addresses as text (the same rules in the driver and in zeksock) -------------------------
// Dotted decimal text to a network-order address (the text 1.2.3.4 gives
// the bytes 1, 2, 3, 4 in memory): up to four parts, each but the last
// below 256; the last fills the rest (one part: 32 bits, two: 24, three:
// 16, four: 8). Empty text gives 0; any other character, a fifth part or a
// part out of range gives 0xFFFFFFFF.
inline std::uint32_t ZekInetAddr(const char* text) {
  constexpr std::uint32_t kBad = 0xFFFFFFFF;
  if (text == nullptr) return kBad;
  if (*text == '\0') return 0;
  std::uint64_t parts[4] = {};
  int count = 0;
  for (const char* p = text;;) {
    if (*p < '0' || *p > '9' || count == 4) return kBad;
    std::uint64_t value = 0;
    while (*p >= '0' && *p <= '9') {
      value = value * 10 + static_cast<std::uint64_t>(*p++ - '0');
      if (value > 0xFFFFFFFFu) return kBad;
    }
    parts[count++] = value;
    if (*p == '\0') break;
    if (*p++ != '.') return kBad;
  }
  constexpr std::uint64_t kLastMax[4] = {0xFFFFFFFF, 0xFFFFFF, 0xFFFF, 0xFF};
  std::uint32_t host = 0;
  for (int i = 0; i + 1 < count; ++i) {
    if (parts[i] > 255) return kBad;
    host |= static_cast<std::uint32_t>(parts[i]) << (24 - 8 * i);
  }
  if (parts[count - 1] > kLastMax[count - 1]) return kBad;
  host |= static_cast<std::uint32_t>(parts[count - 1]);
  return __builtin_bswap32(host);
}

// "%d.%d.%d.%d" of the address's bytes in memory order into `text` (at
// least ZEK_INET_TEXT bytes).
inline constexpr std::size_t ZEK_INET_TEXT = 16;
inline void ZekInetNtoa(std::uint32_t address, char* text) {
  const std::uint8_t b[4] = {static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
                             static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 24)};
  char* out = text;
  for (int i = 0; i < 4; ++i) {
    const unsigned v = b[i];
    if (v >= 100) *out++ = static_cast<char>('0' + v / 100);
    if (v >= 10) *out++ = static_cast<char>('0' + v / 10 % 10);
    *out++ = static_cast<char>('0' + v % 10);
    *out++ = i < 3 ? '.' : '\0';
  }
}
