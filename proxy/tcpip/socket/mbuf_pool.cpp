// The mbuf and cluster supply: pools carved at start, free lists under the
// network lock, reserve areas as the last fall-back, and the counters.
#include <cstring>

#include "proxy/tcpip/socket/domain.h"
#include "proxy/tcpip/socket/mbuf_internal.h"

namespace zektcp {

namespace {

struct ReserveArea {
  void* mbuf_block;
  std::uint8_t* mbuf_cursor;
  std::uint8_t* mbuf_end;
  void* cluster_block;
  std::uint8_t* cluster_cursor;
  std::uint8_t* cluster_end;
};

struct MbufState {
  OSPrimSpinlockObject reserve_lock;
  mbuf* mfree;
  mcl_slot* mclfree;
  mbstat stat;
  void* carved;  // general-pool blocks, linked through their first word
  ReserveArea areas[MB_RESERVE_AREAS];
  std::uint32_t mbuf_area;
  std::uint32_t cluster_area;
  std::uint32_t areas_allocated;
  std::uint32_t cluster_soft_limit;
};

MbufState g_mb;

std::uint8_t* align_up(std::uint8_t* p, std::uintptr_t alignment) {
  const auto value = reinterpret_cast<std::uintptr_t>(p);
  return reinterpret_cast<std::uint8_t*>((value + alignment - 1) & ~(alignment - 1));
}

// A general-pool block: a link word, then the items from `alignment` on.
std::uint8_t* carve_general(std::uint32_t bytes, std::uintptr_t alignment) {
  auto* block = static_cast<std::uint8_t*>(OSPrimMemAllocPtr(bytes + sizeof(void*) + alignment));
  if (block == nullptr) return nullptr;
  *reinterpret_cast<void**>(block) = g_mb.carved;
  g_mb.carved = block;
  return align_up(block + sizeof(void*), alignment);
}

// Carves `bytes` from the reserve areas' mbuf or cluster part, moving on to
// the next area when the current one is used up; a drop is counted when all
// are. `routine` names the caller in the debug prints.
std::uint8_t* carve_reserve(std::uint32_t bytes, std::uint32_t MbufState::*current, std::uint8_t* ReserveArea::*cursor,
                            std::uint8_t* ReserveArea::*end, const char* routine) {
  OSPrimSyncAcquireSpinlockObject(&g_mb.reserve_lock);
  std::uint8_t* result = nullptr;
  while (g_mb.*current < g_mb.areas_allocated) {
    ReserveArea& area = g_mb.areas[g_mb.*current];
    if (area.*cursor + bytes <= area.*end) {
      result = area.*cursor;
      area.*cursor += bytes;
      break;
    }
    OSPrimDebugPrint("func[%s,%d] \n", routine, __LINE__);
    ++(g_mb.*current);
  }
  if (result == nullptr) {
    OSPrimDebugPrint("%s returning NULL CurrentIndex=%d MaxArrayIndex=%d\n", routine, g_mb.*current,
                     g_mb.areas_allocated);
    ++g_mb.stat.m_drops;
  }
  OSPrimSyncReleaseSpinlockObject(&g_mb.reserve_lock);
  return result;
}

std::uint8_t* carve_reserve_mbufs(std::uint32_t bytes) {
  return carve_reserve(bytes, &MbufState::mbuf_area, &ReserveArea::mbuf_cursor, &ReserveArea::mbuf_end,
                       "OSPrimAllocMbufSpecial");
}

std::uint8_t* carve_reserve_clusters(std::uint32_t bytes) {
  return carve_reserve(bytes, &MbufState::cluster_area, &ReserveArea::cluster_cursor, &ReserveArea::cluster_end,
                       "OSPrimAllocClusterSpecial");
}

// The network lock is held.
int mget_locked(mbuf** out, int how, int type, bool header) {
  *out = nullptr;
  if (type <= MT_FREE || type >= MT_NTYPES) {
    // A type outside the counts is refused, never counted.
    OSPrimDebugPrint(header ? "MGETHDR: type of range \n" : "MGET: type of range \n");
    return BSD_EINVAL;
  }
  if (g_mb.mfree == nullptr) {
    OSPrimAllocMbufSpecial(1, how);
    if (g_mb.mfree == nullptr && how == M_WAIT) m_reclaim();
  }
  mbuf* m = g_mb.mfree;
  if (m == nullptr) return BSD_ENOBUFS;
  g_mb.mfree = m->m_next;
  --g_mb.stat.m_mtypes[MT_FREE];
  ++g_mb.stat.m_mtypes[type];
  m->m_next = nullptr;
  m->m_nextpkt = nullptr;
  m->m_len = 0;
  m->m_type = static_cast<std::int16_t>(type);
  if (header) {
    m->m_flags = M_PKTHDR;
    std::memset(&m->mh.m_pkthdr, 0, sizeof(m->mh.m_pkthdr));
    m->m_data = m->mh.m_pktdat;
  } else {
    m->m_flags = 0;
    m->m_data = m->m_dat;
  }
  *out = m;
  return 0;
}

int mget_common(mbuf** out, int how, int type, bool header) {
  NetLockScope lock;
  return mget_locked(out, how, type, header);
}

}  // namespace

int mbuf_get_locked(mbuf** out, int how, int type, bool header) {
  int error = mget_locked(out, how, type, header);
  if (error == 0 || error == BSD_EINVAL) return error;
  OSPrimDebugPrint(header ? "GetMBufHdr retry part \n" : "GetMBuf retry part \n");
  error = mget_locked(out, how, type, header);
  if (error == 0) return 0;
  if (how == M_WAIT) {
    error = mget_locked(out, M_DONTWAIT, type, header);
    if (error == 0) {
      ++g_mb.stat.m_wait;
    } else {
      ++g_mb.stat.m_drops;
    }
  }
  return error;
}

void* OSPrimAllocMbufSpecial(std::uint32_t n, int reserve) {
  if (n == 0) return nullptr;
  NetLockScope lock;
  const std::uint32_t bytes = n * MSIZE;
  std::uint8_t* first = reserve != 0 ? carve_reserve_mbufs(bytes) : carve_general(bytes, MSIZE);
  if (first == nullptr) return nullptr;
  for (std::uint32_t i = n; i > 0; --i) {
    auto* m = reinterpret_cast<mbuf*>(first + (i - 1) * MSIZE);
    std::memset(static_cast<void*>(m), 0, sizeof(*m));
    m->m_type = MT_FREE;
    m->m_next = g_mb.mfree;
    g_mb.mfree = m;
  }
  g_mb.stat.m_mbufs += n;
  g_mb.stat.m_mtypes[MT_FREE] += n;
  return first;
}

void* OSPrimAllocClusterSpecial(std::uint32_t n, int reserve) {
  if (n == 0) return nullptr;
  NetLockScope lock;
  // Carving past the soft limit still happens; it is counted as a drop.
  if (g_mb.stat.m_clusters + n > g_mb.cluster_soft_limit) ++g_mb.stat.m_drops;
  const std::uint32_t bytes = n * MCLSLOT;
  std::uint8_t* first = reserve != 0 ? carve_reserve_clusters(bytes) : carve_general(bytes, 16);
  if (first == nullptr) return nullptr;
  for (std::uint32_t i = n; i > 0; --i) {
    auto* slot = reinterpret_cast<mcl_slot*>(first + (i - 1) * MCLSLOT);
    slot->refcount = 0;
    slot->signature = MCL_SIGNATURE;
    slot->next = g_mb.mclfree;
    g_mb.mclfree = slot;
  }
  g_mb.stat.m_clusters += n;
  g_mb.stat.m_clfree += n;
  return first;
}

int MGet(mbuf** out, int how, int type) { return mget_common(out, how, type, false); }
int MGetHdr(mbuf** out, int how, int type) { return mget_common(out, how, type, true); }
int GetMBuf(mbuf** out, int how, int type) {
  NetLockScope lock;
  return mbuf_get_locked(out, how, type, false);
}

int GetMBufHdr(mbuf** out, int how, int type) {
  NetLockScope lock;
  return mbuf_get_locked(out, how, type, true);
}

void MclAlloc(mbuf* m, int how) {
  NetLockScope lock;
  mbuf_cluster_locked(m, how);
}

void mbuf_cluster_locked(mbuf* m, int how) {
  if (g_mb.mclfree == nullptr) {
    ZEK_LOG_FAILURE("Func[%s,%d] mclfree is NULL \n", "MclAlloc", __LINE__);
    OSPrimAllocClusterSpecial(1, how);
    ZEK_LOG_FAILURE("Func[%s,%d] mclfree is NULL \n", "MclAlloc", __LINE__);
  }
  mcl_slot* slot = g_mb.mclfree;
  if (slot != nullptr) {
    g_mb.mclfree = slot->next;
    slot->next = nullptr;
    if (slot->signature != MCL_SIGNATURE) {
      ZEK_LOG_FAILURE("Func[%s,%d] pmcl[%08X] signature[%08X]\n", "MclAlloc", __LINE__,
                      static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(slot)), slot->signature);
      OSPrimDebugPrint("MCLALLOC:Signature Mismatch\n");
      slot = nullptr;
    } else {
      ++slot->refcount;
      --g_mb.stat.m_clfree;
    }
  }
  if (slot == nullptr) {
    OSPrimDebugPrint("MclAlloc: NULL \n");
    return;
  }
  m->mh.m_ext.ext_buf = slot->data;
  m->mh.m_ext.ext_free = nullptr;
  m->mh.m_ext.ext_args = nullptr;
  m->mh.m_ext.ext_size = MCLBYTES;
  m->m_data = slot->data;
  m->m_flags |= M_EXT;
}

void mcl_add_ref(std::uint8_t* buffer) {
  NetLockScope lock;
  ++cluster_slot_of(buffer)->refcount;
}

void MCLFREE1(std::uint8_t* buffer) {
  NetLockScope lock;
  mbuf_cluster_free_locked(buffer);
}

void mbuf_cluster_free_locked(std::uint8_t* buffer) {
  mcl_slot* slot = cluster_slot_of(buffer);
  if (slot->signature != MCL_SIGNATURE) {
    OSPrimDebugPrint("Func[%s,%d] mp[%08X] p[%08X] signature[x%08X]  \n", "MCLFREE1", __LINE__,
                     static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(buffer)),
                     static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(slot)), slot->signature);
    return;
  }
  if (static_cast<std::int32_t>(slot->refcount) <= 0) {
    // A cluster released more often than it was taken: pushing it on the
    // free list again would hand it to two owners.
    OSPrimDebugPrint("mclfree=%p %p\n", static_cast<void*>(g_mb.mclfree), static_cast<void*>(slot));
    OSPrimDebugPrint("freeing free cluster\n");
    return;
  }
  if (--slot->refcount == 0) {
    slot->next = g_mb.mclfree;
    g_mb.mclfree = slot;
    ++g_mb.stat.m_clfree;
  }
}

mbuf* mbuf_free_one(mbuf* m) {
  if (m == nullptr) return nullptr;
  NetLockScope lock;
  return mbuf_free_one_locked(m);
}

mbuf* mbuf_free_one_locked(mbuf* m) {
  if (m == nullptr) return nullptr;
  if (m->m_type <= MT_FREE || m->m_type >= MT_NTYPES) {
    // Free already (or never an mbuf): its link is the free list's, so the
    // walk stops here and the free list stays as it is.
    ZEK_LOG_FAILURE("freeing free mbuf\n");
    OSPrimDebugPrint("freeing free mbuf\n");
    return nullptr;
  }
  --g_mb.stat.m_mtypes[m->m_type];
  if (m->m_flags & M_PKTHDR) m_tag_delete_chain(m, nullptr);
  if (m->m_flags & M_EXT) {
    if (m->mh.m_ext.ext_free != nullptr) {
      m->mh.m_ext.ext_free(m->mh.m_ext.ext_buf, m->mh.m_ext.ext_args);
    } else {
      mbuf_cluster_free_locked(m->mh.m_ext.ext_buf);
    }
  }
  mbuf* next = m->m_next;
  m->m_type = MT_FREE;
  m->m_flags = 0;
  m->m_len = 0;
  m->m_nextpkt = nullptr;
  m->m_next = g_mb.mfree;
  g_mb.mfree = m;
  ++g_mb.stat.m_mtypes[MT_FREE];
  return next;
}

void mbuf_free_chain(mbuf* m) {
  if (m == nullptr) return;
  NetLockScope lock;
  while (m != nullptr) m = mbuf_free_one_locked(m);
}

void mbuf_free_packets(mbuf* m) {
  if (m == nullptr) return;
  NetLockScope lock;
  while (m != nullptr) {
    mbuf* next = m->m_nextpkt;
    m->m_nextpkt = nullptr;
    for (mbuf* n = m; n != nullptr;) n = mbuf_free_one_locked(n);
    m = next;
  }
}

void m_reclaim() {
  OSPrimDebugPrint("m_reclaim: \n");
  domain_drain_all();
  ++g_mb.stat.m_drain;
}

const mbstat& mbuf_stats() { return g_mb.stat; }

std::uint32_t mbuf_free_list_length() {
  NetLockScope lock;
  std::uint32_t n = 0;
  for (mbuf* m = g_mb.mfree; m != nullptr; m = m->m_next) ++n;
  return n;
}

std::uint32_t cluster_free_list_length() {
  NetLockScope lock;
  std::uint32_t n = 0;
  for (mcl_slot* s = g_mb.mclfree; s != nullptr; s = s->next) ++n;
  return n;
}

int mbuf_start(const MbufPoolConfig& config) {
  std::memset(static_cast<void*>(&g_mb), 0, sizeof(g_mb));
  OSPrimSyncInitSpinlockObject(&g_mb.reserve_lock);
  g_mb.cluster_soft_limit = config.clusters;
  if (config.mbufs > 0 && OSPrimAllocMbufSpecial(config.mbufs, 0) == nullptr) {
    OSPrimDebugPrint("m_mballoc failed\n");
    mbuf_stop();
    return BSD_ENOBUFS;
  }
  if (config.clusters > 0 && OSPrimAllocClusterSpecial(config.clusters, 0) == nullptr) {
    OSPrimDebugPrint("m_clalloc failed\n");
    mbuf_stop();
    return BSD_ENOBUFS;
  }
  const std::uint32_t areas = config.reserve_areas > MB_RESERVE_AREAS ? MB_RESERVE_AREAS : config.reserve_areas;
  for (std::uint32_t i = 0; i < areas; ++i) {
    ReserveArea& area = g_mb.areas[i];
    const std::uint32_t mbuf_bytes = MB_RESERVE_MBUFS * MSIZE + 200;
    const std::uint32_t cluster_bytes = MB_RESERVE_CLUSTERS * MCLSLOT;
    area.mbuf_block = OSPrimMemAllocPtr(mbuf_bytes + MSIZE);
    area.cluster_block = OSPrimMemAllocPtr(cluster_bytes + 16);
    if (area.mbuf_block == nullptr || area.cluster_block == nullptr) {
      if (area.mbuf_block != nullptr) OSPrimMemFreePtr(area.mbuf_block);
      if (area.cluster_block != nullptr) OSPrimMemFreePtr(area.cluster_block);
      area = ReserveArea{};
      break;
    }
    area.mbuf_cursor = align_up(static_cast<std::uint8_t*>(area.mbuf_block), MSIZE);
    area.mbuf_end = area.mbuf_cursor + mbuf_bytes;
    area.cluster_cursor = align_up(static_cast<std::uint8_t*>(area.cluster_block), 16);
    area.cluster_end = area.cluster_cursor + cluster_bytes;
    ++g_mb.areas_allocated;
  }
  if (areas > 0 && g_mb.areas_allocated == 0) {
    mbuf_stop();
    return BSD_ENOBUFS;
  }
  return 0;
}

void mbuf_stop() {
  while (g_mb.carved != nullptr) {
    void* next = *static_cast<void**>(g_mb.carved);
    OSPrimMemFreePtr(g_mb.carved);
    g_mb.carved = next;
  }
  for (ReserveArea& area : g_mb.areas) {
    if (area.mbuf_block != nullptr) OSPrimMemFreePtr(area.mbuf_block);
    if (area.cluster_block != nullptr) OSPrimMemFreePtr(area.cluster_block);
    area = ReserveArea{};
  }
  OSPrimSyncDestroySpinlockObject(&g_mb.reserve_lock);
  std::memset(static_cast<void*>(&g_mb), 0, sizeof(g_mb));
}

}  // namespace zektcp
