// The host stack's SYN-cache statistics, read as a user program of the host
// reads them (IOCTL_TCP_GET_STATS on the proxy driver's device; ZEK_HOST
// names the host). Kept apart from the tests' Linux sockets: the stack's
// headers and the system's share names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace linuxpeer {

struct SynCacheCounts {
  std::uint32_t added = 0;           // entries made for SYNs
  std::uint32_t cache_overflow = 0;  // entries pushed out of a full cache
  std::uint32_t cookies_sent = 0;    // SYN-ACKs that carried a cookie
};

// None when the device cannot be reached.
std::optional<SynCacheCounts> host_syn_cache();

// Where each count is in the statistics block (32-bit words).
struct SynCacheWords {
  std::size_t added, cache_overflow, cookies_sent;
};
extern const SynCacheWords kSynCacheWords;

}  // namespace linuxpeer
