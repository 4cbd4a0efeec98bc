// The SAN switch: stream sockets whose local address an installed WinSock
// Direct provider serves are offered to that provider, through its
// procedure table and the switch's upcalls; what the provider cannot carry
// stays on native TCP. docs/user-platform.md describes the switch's protocol.
#pragma once

#include <memory>
#include <span>

#include "platform/winsock/internal.h"

namespace plat::ws {

// After the native bind: a provider that serves the bound address gets its
// own socket bound to the same address and port.
void san_after_bind(const std::shared_ptr<Socket>& s);
// Before the native listen: the provider listens too.
void san_listen(const std::shared_ptr<Socket>& s, int backlog);
// True when the switch takes part in the socket's accept.
bool san_listening(Socket& s);
// The next connection, whichever side brings it first.
int san_accept(const std::shared_ptr<Socket>& s, std::shared_ptr<Socket>* out, Address* peer);
// Connects through the provider when one serves the socket's address;
// *carried tells whether it did (when it did not, the caller connects natively).
int san_connect(const std::shared_ptr<Socket>& s, const Address& to, bool* carried);

// For a socket the provider carries.
bool san_carried(Socket& s);
int san_send(Socket& s, std::span<const std::span<const std::byte>> buffers, int flags, std::size_t* sent);
int san_recv(Socket& s, std::span<const std::span<std::byte>> buffers, int flags, std::size_t* received);
int san_shutdown(Socket& s, int how);
int san_name(Socket& s, bool peer, Address* out);
int san_available(Socket& s, std::uint32_t* bytes);
// The overlapped transfers of a carried socket, run in order by a thread of the socket.
int san_overlapped(const std::shared_ptr<Socket>& s, bool send, std::span<const std::span<std::byte>> buffers,
                   int flags, LPOVERLAPPED overlapped);
// select: an fd that is readable while the socket (listening or carried)
// has something to read or accept; and whether it has.
int san_ready_fd(Socket& s);
bool san_readable(Socket& s);
// Closes the provider's part of the socket.
void san_close(Socket& s);
// The last WSACleanup: the providers are cleaned up and unloaded.
void san_cleanup();

}  // namespace plat::ws
