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

// The pool routines for a caller that holds the network lock already, so
// that a routine handling a whole chain takes the lock once rather than for
// every mbuf and cluster: GetMBuf / GetMBufHdr, MclAlloc, MCLFREE1 and
// mbuf_free_one.
int mbuf_get_locked(mbuf** out, int how, int type, bool header);
void mbuf_cluster_locked(mbuf* m, int how);
void mbuf_cluster_free_locked(std::uint8_t* buffer);
mbuf* mbuf_free_one_locked(mbuf* m);
inline void mcl_add_ref_locked(std::uint8_t* buffer) { ++cluster_slot_of(buffer)->refcount; }

}  // namespace zektcp
