// Helpers shared by the mbuf sources.
#pragma once

#include "proxy/tcpip/socket/mbuf.h"

namespace zektcp {

// Takes the network lock unless the calling thread holds it already (the
// socket-buffer routines free and allocate while holding it).
class NetLockScope {
 public:
  NetLockScope() : taken_(!BdcNetLockHeldByCaller()) {
    if (taken_) AcquireBdcNetLock();
  }
  ~NetLockScope() {
    if (taken_) ReleaseBdcNetLock();
  }
  NetLockScope(const NetLockScope&) = delete;
  NetLockScope& operator=(const NetLockScope&) = delete;

 private:
  bool taken_;
};

inline mcl_slot* cluster_slot_of(std::uint8_t* buffer) {
  return reinterpret_cast<mcl_slot*>(buffer - offsetof(mcl_slot, data));
}

// The end of the mbuf's own 256 bytes, for internal storage.
inline std::uint8_t* mbuf_internal_end(mbuf* m) { return reinterpret_cast<std::uint8_t*>(m) + MSIZE; }

// Adds a reference to a cluster (under the network lock).
void mcl_add_ref(std::uint8_t* buffer);

}  // namespace zektcp
