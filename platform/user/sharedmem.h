// Memory a process shares with its host: the backing of the runtime's
// heaps, so that the pages a driver locks for the adapter (a registration,
// a direct buffer) are the process's own pages seen by the host as well,
// not a copy.
//
// One memory file per process ("zek-user-memory"), sealed against
// shrinking and growing, mapped shared once; blocks are carved from it. The
// host finds the file behind an address in the process's mappings and maps
// the same pages while they are locked. Freed runs of pages go back to the
// system (hole punching): a block freed while a driver still holds it
// locked leaves the host's mapping with zero pages, never with another
// process's data.
//
// Without the file (memfd unavailable), blocks come from the C library and
// the host reaches them by pid, as any other memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat::user::shared {

// The address space the file may cover; pages cost only once touched.
inline constexpr std::size_t kArenaBytes = std::size_t{64} << 30;
// Blocks up to this size come from per-size lists; larger ones are whole pages.
inline constexpr std::size_t kLargestSmallBlock = 2048;

// A block of at least `bytes` (zeroed when asked), or null.
void* allocate(std::size_t bytes, bool zero);
// False when block is not one allocate() gave and has not been freed.
bool release(void* block);
// Whether the address lies in the shared file's mapping.
bool contains(const void* address);

}  // namespace plat::user::shared
