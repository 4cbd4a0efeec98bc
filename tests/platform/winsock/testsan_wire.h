// The test provider's "SAN": Unix stream sockets named after an address and
// port. No WinSock or Linux socket types cross this header.
#pragma once

#include <cstddef>
#include <cstdint>

namespace testsan {

// A listening socket for the address and port (network order); -1 and
// *in_use when the name is taken.
int listen_on(std::uint32_t address, std::uint16_t port, int backlog, bool* in_use);
int accept_one(int listener);  // -1 once the listener is shut
int connect_to(std::uint32_t address, std::uint16_t port);
bool read_all(int fd, void* data, std::size_t size);
bool write_all(int fd, const void* data, std::size_t size);
void shut(int fd);

}  // namespace testsan
