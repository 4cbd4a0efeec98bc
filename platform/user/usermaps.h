// Pages the host maps into this process, on the host's upcalls: host
// memory pages (a sealed segment the host hands over with the upcall, of
// exactly those pages) and register pages (inaccessible; written through
// the posted-write ring, regaccess.h).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace plat::user {

// The user address of the new mapping, or 0. The segment must be exactly
// `pages` pages; it is closed here either way.
std::uint64_t map_memory(int segment_fd, std::size_t pages);
// Takes ownership of ring_fd (closed here) and wake_fd. host_pid: the host
// that drains the ring (a writer waiting for room gives up when the host
// has gone).
std::uint64_t map_registers(int ring_fd, std::size_t pages, std::uint64_t ring_offset, std::uint64_t ring_bytes,
                            int wake_fd, pid_t host_pid);
bool unmap(std::uint64_t address, std::size_t pages);

}  // namespace plat::user
