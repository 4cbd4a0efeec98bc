// Pages the host maps into this process, on the host's upcalls: physical
// memory pages (shared with the host through its memfd) and register pages
// (inaccessible; written through the posted-write ring, regaccess.h).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace plat::user {

// The user address of the new mapping, or 0.
std::uint64_t map_memory(int memfd, std::span<const std::uint64_t> offsets);
// Takes ownership of wake_fd. host_pid: the host that drains the ring (a
// writer waiting for room gives up when the host has gone).
std::uint64_t map_registers(int memfd, std::size_t pages, std::uint64_t ring_offset, std::uint64_t ring_bytes,
                            int wake_fd, pid_t host_pid);
bool unmap(std::uint64_t address, std::size_t pages);

}  // namespace plat::user
