// Mbufs: 256-byte buffers chained into packets, with 2048-byte clusters for
// larger data. Pools are carved at start and kept on free lists under the
// network lock; sixteen reserve areas are the last fall-back.
#pragma once

#include <cstddef>
#include <cstdint>

#include "proxy/tcpip/kern/kern.h"

namespace zektcp {

inline constexpr int MSIZE = 256;
inline constexpr int MLEN = 224;   // data bytes of a plain mbuf
inline constexpr int MHLEN = 184;  // data bytes of a packet-header mbuf
inline constexpr int MCLBYTES = 2048;
inline constexpr int MCLSLOT = 2064;  // link, count, signature, data
inline constexpr int MINCLSIZE = MHLEN + 1;
inline constexpr std::uint32_t MCL_SIGNATURE = 0x4D434C55;  // "MCLU"
inline constexpr int M_COPYALL = 1'000'000'000;

// Allocation: M_WAIT may carve from the general pool; M_DONTWAIT uses the
// reserve areas.
inline constexpr int M_WAIT = 0;
inline constexpr int M_DONTWAIT = 1;

enum : std::int16_t {
  MT_FREE = 0,
  MT_DATA = 1,
  MT_HEADER = 2,
  MT_SOCKET = 3,
  MT_PCB = 4,
  MT_RTABLE = 5,
  MT_HTABLE = 6,
  MT_ATABLE = 7,
  MT_SONAME = 8,
  MT_SOOPTS = 10,
  MT_FTABLE = 11,
  MT_RIGHTS = 12,
  MT_IFADDR = 13,
  MT_CONTROL = 14,
  MT_OOBDATA = 15,
};
inline constexpr int MT_NTYPES = 16;

enum : std::int16_t {
  M_EXT = 0x0001,
  M_PKTHDR = 0x0002,
  M_EOR = 0x0004,
  M_RDONLY = 0x0008,
  M_PROTO1 = 0x0010,
  M_PROTO2 = 0x0020,
  M_BCAST = 0x0100,
  M_MCAST = 0x0200,
  M_FRAG = 0x0400,
  M_FIRSTFRAG = 0x0800,
  M_LASTFRAG = 0x1000,
};
inline constexpr std::int16_t M_COPYFLAGS =
    M_PKTHDR | M_EOR | M_PROTO1 | M_PROTO2 | M_BCAST | M_MCAST | M_FRAG | M_FIRSTFRAG | M_LASTFRAG;

struct ifnet;
struct mbuf;

// A tag on a packet: its data follows the record.
struct m_tag {
  m_tag* m_tag_next;
  std::uint16_t m_tag_id;
  std::uint16_t m_tag_len;
  std::uint32_t m_tag_cookie;
};

struct pkthdr {
  ifnet* rcvif;
  void* header;
  std::int32_t len;
  std::int32_t csum_flags;
  std::int32_t csum_data;
  std::int32_t reserved;
  m_tag* tags;
};
static_assert(sizeof(pkthdr) == 40);

using ext_free_routine = void (*)(void* buffer, void* argument);

struct mbuf_ext {
  std::uint8_t* ext_buf;
  ext_free_routine ext_free;
  void* ext_args;
  std::uint32_t ext_size;
};

struct mbuf {
  mbuf* m_next;
  mbuf* m_nextpkt;
  std::uint8_t* m_data;
  std::int32_t m_len;
  std::int16_t m_type;
  std::int16_t m_flags;
  union {
    struct {
      pkthdr m_pkthdr;
      union {
        mbuf_ext m_ext;
        std::uint8_t m_pktdat[MHLEN];
      };
    } mh;
    std::uint8_t m_dat[MLEN];
  };
};
static_assert(sizeof(mbuf) == MSIZE);
static_assert(offsetof(mbuf, m_dat) == 32);

template <typename T>
T* mtod(mbuf* m) {
  return reinterpret_cast<T*>(m->m_data);
}

// A cluster slot: the data address is what an mbuf keeps as its external
// buffer; the count and signature sit 8 and 4 bytes in front of it.
struct mcl_slot {
  mcl_slot* next;
  std::uint32_t refcount;
  std::uint32_t signature;
  std::uint8_t data[MCLBYTES];
};
static_assert(sizeof(mcl_slot) == MCLSLOT);

struct mbstat {
  std::uint32_t m_mtypes[MT_NTYPES];  // [0] counts free mbufs
  std::uint32_t m_mbufs;              // mbufs carved
  std::uint32_t m_clusters;           // clusters carved
  std::uint32_t m_clfree;             // free clusters
  std::uint32_t m_drops;
  std::uint32_t m_wait;
  std::uint32_t m_drain;
};

inline constexpr std::uint32_t MB_RESERVE_AREAS = 16;
inline constexpr std::uint32_t MB_RESERVE_CLUSTERS = 63;  // per area
inline constexpr std::uint32_t MB_RESERVE_MBUFS = 508;    // per area
inline constexpr std::uint32_t MB_CLUSTER_SOFT_LIMIT = 10240;

struct MbufPoolConfig {
  std::uint32_t mbufs = 10240;
  std::uint32_t clusters = 10240;
  std::uint32_t reserve_areas = MB_RESERVE_AREAS;
};

int mbuf_start(const MbufPoolConfig& config);
void mbuf_stop();
const mbstat& mbuf_stats();
// Blocks carved from the general pool and reserve areas in use (for leak checks).
std::uint32_t mbuf_free_list_length();
std::uint32_t cluster_free_list_length();

void* OSPrimAllocMbufSpecial(std::uint32_t n, int reserve);
void* OSPrimAllocClusterSpecial(std::uint32_t n, int reserve);
int MGet(mbuf** out, int how, int type);
int MGetHdr(mbuf** out, int how, int type);
int GetMBuf(mbuf** out, int how, int type);
int GetMBufHdr(mbuf** out, int how, int type);
void MclAlloc(mbuf* m, int how);
void MCLFREE1(std::uint8_t* buffer);
// Frees one mbuf and returns the next of its packet. An mbuf that is free
// already is refused (logged, left alone) and null is returned.
mbuf* mbuf_free_one(mbuf* m);
void mbuf_free_chain(mbuf* m);
// Frees a queue of packets linked by m_nextpkt, each with its chain.
void mbuf_free_packets(mbuf* m);
void m_reclaim();

// The drain routine m_reclaim runs: the protocol domains install theirs.
void mbuf_set_drain(void (*drain)());

// ---- Chain routines ----------------------------------------------------------------
bool mbuf_is_shared(const mbuf* m);
int M_LEADINGSPACE(const mbuf* m);
int M_TRAILINGSPACE(const mbuf* m);
// Places len bytes at the end of the mbuf's data area (rounded down to 4).
void M_ALIGN_END(mbuf* m, int len);
int m_length(const mbuf* m);

mbuf* m_copym(mbuf* m, int off, int len, int how);
int m_copydata(const mbuf* m, int off, int len, void* cp);
mbuf* m_pullup(mbuf* m, int len);
int m_move_pkthdr(mbuf* to, mbuf* from);
int m_dup_pkthdr(mbuf* to, mbuf* from, int how);
m_tag* m_tag_alloc(std::uint32_t cookie, int id, int len);
void m_tag_prepend(mbuf* m, m_tag* t);
void m_tag_delete(mbuf* m, m_tag* t);
void m_tag_delete_chain(mbuf* m, m_tag* t);
mbuf* mbuf_clone_packet(mbuf* m);
mbuf* mbuf_join_chains(mbuf* first, mbuf* second);
void mbuf_trim(mbuf* m, int count);
int mbuf_store_data(mbuf* m, int offset, int length, const void* data);
mbuf* mbuf_push_front(mbuf* m, int length, int how);
// Makes room for `length` bytes in front of the packet: in the first mbuf
// when it has the room, else in a new one (mbuf_push_front). The packet
// length grows with it. On failure the chain is freed and null returned.
mbuf* m_prepend(mbuf* m, int length, int how);
// A new packet holding a copy of `length` bytes (a header mbuf, then
// clusters); the receiving interface is recorded. Null when the pools are
// empty.
mbuf* mbuf_from_bytes(const void* data, int length, ifnet* rcvif, int how);

}  // namespace zektcp
