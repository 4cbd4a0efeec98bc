// The socket calls: the only way into the host stack from outside it (the
// proxy driver's socket-call requests, the kernel socket-call table, the
// stack's own bring-up). They follow the BSD system calls over the stack's
// descriptor table, each under the socket-call lock except while it
// sleeps, and return a non-negative value or a BSD error number negated
// (see include/zek/sockets.h for the records, limits and the decisions:
// sockets owned by their process, close per descriptor, no loopback
// shortcut).
//
// Addresses and buffers are kernel addresses. The names carry "sys_" so
// that they stay apart from the host C library's own calls.
#pragma once

#include <cstdint>

#include "include/zek/sockets.h"

namespace zektcp {

int sys_socketpair(int domain, int type, int protocol, int* pair);
int sys_socket(int domain, int type, int protocol);
int sys_bind(int s, const void* address, int length);
int sys_connect(int s, const void* address, int length);
int sys_listen(int s, int backlog);
int sys_accept(int s, void* address, int* length);
int sys_getsockname(int s, void* address, int* length);
int sys_getpeername(int s, void* address, int* length);
int sys_recv(int s, void* buffer, int length, int flags);
int sys_recvfrom(int s, void* buffer, int length, int flags, void* address, int* address_length);
int sys_recvmsg(int s, ZekMsgHdr* message, int flags);
int sys_send(int s, const void* buffer, int length, int flags);
int sys_sendto(int s, const void* buffer, int length, int flags, const void* address, int address_length);
int sys_sendmsg(int s, const ZekMsgHdr* message, int flags);
int sys_shutdown(int s, int how);
int sys_getsockopt(int s, int level, int name, void* value, int* length);
int sys_setsocketopt(int s, int level, int name, const void* value, int length);
// Dotted text to a network-order address; 0xFFFFFFFF for bad text.
std::uint32_t sys_inet_addr(const char* text);
int sys_poll(ZekPollFd* entries, int count, int timeout_ms);
int sys_close(int s);
int sys_read(int s, void* buffer, int length);
int sys_write(int s, const void* buffer, int length);
// Interface and address requests (SIOC*), under the lock like every call.
int sys_ioctl(int s, std::uint32_t request, void* argument);
int sys_fcntl_com(int s, int command, int argument);
int sys_select(int count, std::uint8_t* read_set, std::uint8_t* write_set, std::uint8_t* except_set,
               const ZekTimeval* timeout);
// "%d.%d.%d.%d" of the address's bytes in memory order, into at least 16 bytes.
int sys_inet_ntoa_buf(std::uint32_t address, char* text);
int sys_dup(int s);
int sys_dup2(int s, int target);

// The table handed to kernel callers, in its fixed slot order.
const ZekKernelSocketTable* kernel_socket_table();

// The descriptor's IPv4 addresses and ports, host order; 1 when it is not
// an open socket (the four are zero), 0 otherwise (zeros without a
// protocol control block).
int get_socket_quad(int s, std::uint32_t* local_address, std::uint32_t* foreign_address, std::uint16_t* local_port,
                    std::uint16_t* foreign_port);

// Shuts down and drops every descriptor the process owns (another owner's,
// such as the driver's own, stay); returns how many were dropped.
int cleanup_sockets(std::uintptr_t process_id);

// Descriptors in use by the process (for tests and the socket statistics).
int sockets_held_by(std::uintptr_t process_id);

}  // namespace zektcp

namespace zektcp {

// The TCP statistics block (ZEK_TCP_STATS_BYTES; counters the stack does
// not keep read 0).
void tcp_stats_block(std::uint8_t (&block)[ZEK_TCP_STATS_BYTES]);

// The interface at position `index` among those with a link-level address:
// its link-level socket address, its first IPv4 socket address and flags.
// False when there is none.
bool interface_entry(std::uint32_t index, ZekInterfaceEntryRecord* entry);

}  // namespace zektcp
