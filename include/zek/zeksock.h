// zeksock: the socket calls of the proxy driver's own TCP/IP stack for user
// processes (the SAN addresses).
//
// The calls are not exported by name: ZEK_Init_u_sockets publishes one table
// of 28 routines (ZekUserSocketTable) under interface id
// ZEK_SOCKETS_INTERFACE in the interface manager (zekbase), and its users
// fetch it with ZEK_GetInterface. Each routine sends one socket-call request
// (include/zek/sockets.h) to the device and returns the driver's result
// (>= 0), or -1 with zek_errno set to the BSD error number: the driver's,
// 9 when the device could not be reached, 14 for an argument the library
// refuses without sending anything. inet_addr and inet_ntoa work locally.
//
// The library ties the process's sockets to one handle it keeps open from
// the first init to the last cleanup: when that handle goes (the cleanup,
// or the process ending) the driver closes every socket the process left.
// Calls from several threads run side by side (each thread reaches the
// device through a handle of its own).
#pragma once

#include <cstdint>

#include "include/zek/export.h"
#include "include/zek/sockets.h"
#include "include/zek/status.h"

inline constexpr std::uint32_t ZEK_SOCKETS_INTERFACE = 0xD0000;
inline constexpr std::uint32_t ZEK_NATIVE_SOCKETS_INTERFACE = 0xE0000;
inline constexpr const char* ZEK_SOCKETS_TABLE_NAME = "u_Sockets";
inline constexpr const char* ZEK_SOCKETS_NAME_SET = "uSockets Functions";
inline constexpr const char* ZEK_SOCKETS_DEVICE = "\\\\.\\zekproxy";
// The alternative device of mode 1; no deliverable of this system creates it.
inline constexpr const char* ZEK_SOCKETS_ALTERNATIVE_DEVICE = "\\\\.\\ktcpip";

// ZEK_InitLib_Sockets' parameters. A hint of 0 becomes 4096 (written back).
struct ZekSocketsInitParams {
  std::uint32_t Hint;
  std::uint32_t Mode;  // 0: the proxy driver's device; other: the alternative device
};

// The routine table, in its fixed slot order. Sockets are the driver's
// socket numbers; addresses are BSD socket addresses (a length byte, the
// family, then the family's bytes).
struct ZekUserSocketTable {
  int (*socketpair)(int domain, int type, int protocol, int* sockets);
  std::int64_t (*socket)(int domain, int type, int protocol);
  int (*bind)(std::int64_t s, const void* address, int length);
  int (*connect)(std::int64_t s, const void* address, int length);
  int (*listen)(std::int64_t s, int backlog);
  std::int64_t (*accept)(std::int64_t s, void* address, std::uint32_t* length);
  int (*getsockname)(std::int64_t s, void* address, std::uint32_t* length);
  int (*getpeername)(std::int64_t s, void* address, std::uint32_t* length);
  int (*recv)(std::int64_t s, void* buffer, int length, int flags);
  int (*recvfrom)(std::int64_t s, void* buffer, int length, int flags, void* address, std::uint32_t* address_length);
  int (*recvmsg)(std::int64_t s, ZekMsgHdr* message, int flags);
  int (*send)(std::int64_t s, const void* buffer, int length, int flags);
  int (*sendto)(std::int64_t s, const void* buffer, int length, int flags, const void* address, int address_length);
  int (*sendmsg)(std::int64_t s, const ZekMsgHdr* message, int flags);
  int (*shutdown)(std::int64_t s, int how);
  int (*getsockopt)(std::int64_t s, int level, int name, void* value, std::uint32_t* length);
  int (*setsockopt)(std::int64_t s, int level, int name, const void* value, int length);
  std::uint32_t (*inet_addr)(const char* text);
  int (*poll)(ZekPollFd* entries, int count, int timeout_ms);
  int (*close)(std::int64_t s);
  int (*read)(std::int64_t s, void* buffer, int length);
  int (*write)(std::int64_t s, const void* buffer, int length);
  int (*ioctl)(std::int64_t s, std::uint32_t request, void* argument);
  int (*fcntl)(std::int64_t s, int command, int argument);
  int (*select)(int count, std::uint8_t* read_set, std::uint8_t* write_set, std::uint8_t* except_set,
                const ZekTimeval* timeout);
  int (*inet_ntoa)(std::uint32_t address, char* text);
  int (*dup)(std::int64_t s);
  int (*dup2)(std::int64_t s, std::int64_t target);
};
static_assert(sizeof(ZekUserSocketTable) == 28 * sizeof(void*));

// The library entry: refuses a cookie other than ZEK_ABI_COOKIE (1), then
// starts zekbase's three modules and the two socket modules in order; the
// first failure is returned, and every module started before it is stopped
// again.
ZEK_EXPORT ZekStatus ZEK_InitLib_Sockets(ZekSocketsInitParams* params, std::uint32_t cookie);
ZEK_EXPORT ZekStatus ZEK_CleanupLib_Sockets();

// The native-socket module: nothing to do (nothing registers its id).
ZEK_EXPORT ZekStatus ZEK_Init_u_ZEK2Native();
ZEK_EXPORT ZekStatus ZEK_Cleanup_u_ZEK2Native();

// Use-counted. The first init registers the name set and the table, opens
// the process's handle on the device at `path` and asks the driver to tie
// the process's clean-up to it; a device that cannot be opened fails the
// init (1) and leaves nothing registered. The cleanup that takes the count
// to 0 closes the handle (the driver closes the process's sockets) and
// removes table and names.
ZEK_EXPORT ZekStatus ZEK_Init_u_sockets(const char* path);
ZEK_EXPORT ZekStatus ZEK_Cleanup_u_sockets();
