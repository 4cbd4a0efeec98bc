// Linux's TCP sockets for the tests that run the host stack's TCP against
// Linux's: non-blocking listen, connect, accept, send and receive, opened
// by the thread that moved into the test's namespace. Standard types only,
// so a test can include it beside the host stack's headers.
#pragma once

#include <cstdint>
#include <vector>

namespace linuxpeer {

// A listening socket on `address`:`port` (host order); -1 when it cannot be made.
int tcp_listen(std::uint32_t address, std::uint16_t port);
// A connect under way to `address`:`port`; -1 when it cannot be started.
int tcp_connect(std::uint32_t address, std::uint16_t port);
// A connection the listener completed, or -1 (never blocks).
int tcp_accept(int listener);
// Whether a connect under way has completed (0), is still going (1) or failed (-1).
int tcp_connect_state(int fd);
// Sends what fits now; the bytes taken (0 when the buffer is full), -1 on error.
long tcp_send(int fd, const std::uint8_t* data, std::size_t len);
// Appends what is waiting to `out`; false once the peer has closed (or on error).
bool tcp_receive(int fd, std::vector<std::uint8_t>* out);
void tcp_shutdown_write(int fd);
void tcp_close(int fd);

}  // namespace linuxpeer
