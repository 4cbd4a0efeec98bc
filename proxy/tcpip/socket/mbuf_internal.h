// Helpers shared by the mbuf sources.
#pragma once

#include "proxy/tcpip/socket/mbuf.h"

namespace zektcp {

inline mcl_slot* cluster_slot_of(std::uint8_t* buffer) {
  return reinterpret_cast<mcl_slot*>(buffer - offsetof(mcl_slot, data));
}

// The end of the mbuf's own 256 bytes, for internal storage.
inline std::uint8_t* mbuf_internal_end(mbuf* m) { return reinterpret_cast<std::uint8_t*>(m) + MSIZE; }

// Adds a reference to a cluster (under the network lock).
void mcl_add_ref(std::uint8_t* buffer);

}  // namespace zektcp
