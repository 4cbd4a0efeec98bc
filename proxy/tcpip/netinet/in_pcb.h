// Internet protocol control blocks: the local and foreign address and port
// of every TCP, UDP and raw IP socket, its cached route, IP options and
// multicast options; a table per protocol with a list, a hash by 4-tuple
// and a hash by local port; binding (with the ephemeral port ranges),
// connecting and the look-ups. Addresses and ports are in network order.
// All of it runs under the socket-call lock; hash and list links change
// under the network lock as well.
#pragma once

#include <cstdint>

#include "proxy/tcpip/netinet/ip_var.h"

namespace zektcp {

struct inpcb;
struct inpcbport;

// The IPv4 address in the last 4 bytes of a 16-byte address field.
struct in_addr_field {
  std::uint32_t pad[3];
  in_addr addr;
};
static_assert(sizeof(in_addr_field) == 16);

struct inpcb_table {
  inpcb** hashbase;  // 4-tuple hash
  std::uint32_t hashmask;
  inpcbport** porthashbase;  // local-port hash
  std::uint32_t porthashmask;
  inpcb** listhead;
  std::uint16_t last_default_port;
  std::uint16_t last_low_port;
  std::uint16_t last_high_port;
  std::uint32_t count;
  std::uint64_t gencnt;
};

struct inpcbport {
  inpcbport* phd_next;
  inpcbport** phd_prevp;
  inpcb* phd_pcblist;
  std::uint16_t phd_port;
};
static_assert(sizeof(inpcbport) == 32);

// pcb_flags
inline constexpr std::uint32_t PCBF_RECVOPTS = 0x1;
inline constexpr std::uint32_t PCBF_RECVRETOPTS = 0x2;
inline constexpr std::uint32_t PCBF_RECVDSTADDR = 0x4;
inline constexpr std::uint32_t PCBF_HDRINCL = 0x8;
inline constexpr std::uint32_t PCBF_HIGH_PORTS = 0x10;
inline constexpr std::uint32_t PCBF_LOW_PORTS = 0x20;
inline constexpr std::uint32_t PCBF_ANON_PORT = 0x40;
inline constexpr std::uint32_t PCBF_RECVIF = 0x80;
inline constexpr std::uint32_t PCBF_TRANSLATOR = 0x200;
inline constexpr std::uint32_t PCBF_CONTROLOPTS = PCBF_RECVOPTS | PCBF_RECVRETOPTS | PCBF_RECVDSTADDR | PCBF_RECVIF;

inline constexpr std::uint8_t INP_IPV4 = 1;

struct inpcb {
  inpcb* inp_hash_next;
  inpcb** inp_hash_prevp;
  inpcb* inp_list_next;
  inpcb** inp_list_prevp;
  // The connection record.
  std::uint8_t inp_ep_flags;
  std::uint8_t inp_ep_len;
  std::uint16_t inp_ep_pad;
  std::uint16_t inp_fport;
  std::uint16_t inp_lport;
  in_addr_field inp_faddr_field;
  in_addr_field inp_laddr_field;
  route_cache inp_route;
  void* inp_ppcb;  // the protocol's own block (TCP's control block)
  inpcb_table* inp_table;
  socket* inp_socket;
  std::uint8_t inp_vflag;
  std::uint8_t inp_ip_ttl;
  std::uint8_t inp_ip_p;
  std::uint8_t inp_ip_tos;
  std::uint32_t inp_flags;
  mbuf* inp_options;
  ip_moptions* inp_moptions;
  inpcb* inp_port_next;
  inpcb** inp_port_prevp;
  inpcbport* inp_phd;
  std::uint64_t inp_gencnt;
  std::uint32_t inp_icmp_filter;  // raw ICMP sockets: bit n keeps type n out
};

// One block per socket for every protocol: the control block, then room
// for TCP's control block and its callouts.
inline constexpr std::uint32_t INPCB_BLOCK_BYTES = 816;
static_assert(sizeof(inpcb) <= INPCB_BLOCK_BYTES);

inline in_addr& inp_faddr(inpcb* inp) { return inp->inp_faddr_field.addr; }
inline in_addr& inp_laddr(inpcb* inp) { return inp->inp_laddr_field.addr; }
inline inpcb* sotoinpcb(socket* so) { return static_cast<inpcb*>(so->so_pcb); }

// Ephemeral port ranges (host order).
inline constexpr std::uint16_t IPPORT_RESERVED_LOW = 600;
inline constexpr std::uint16_t IPPORT_RESERVED_HIGH = 1023;
inline constexpr std::uint16_t IPPORT_USERRESERVED_FIRST = 1024;
inline constexpr std::uint16_t IPPORT_USERRESERVED_LAST = 5000;
inline constexpr std::uint16_t IPPORT_HIFIRSTAUTO = 49152;
inline constexpr std::uint16_t IPPORT_HILASTAUTO = 65535;

// A table with hashes of `hash_elements` chains (a power of two not above).
int inpcb_table_init(inpcb_table* table, inpcb** listhead, int hash_elements);
// Frees every block left in the table, then the hashes (stack stop).
void inpcb_table_stop(inpcb_table* table);

int inpcb_alloc(socket* so, inpcb_table* table);
int inpcb_bind(inpcb* inp, sockaddr* nam, ucred* cred);
int inpcb_pick_local_addr(inpcb* inp, sockaddr* nam, std::uint32_t* local_addr);
int inpcb_connect(inpcb* inp, sockaddr* nam, ucred* cred);
void inpcb_disconnect(inpcb* inp);
void inpcb_free(inpcb* inp);
int inpcb_local_sockaddr(socket* so, sockaddr** nam);
int inpcb_peer_sockaddr(socket* so, sockaddr** nam);
void inpcb_notify_all(inpcb_table* table, std::uint32_t faddr, int error, void (*notify)(inpcb*, int));
void inpcb_purge_mcast_if(inpcb_table* table, ifnet* ifp);
void inpcb_route_losing(inpcb* inp);
void inpcb_route_changed(inpcb* inp, int error);
inpcb* inpcb_lookup_local(inpcb_table* table, std::uint32_t laddr, std::uint16_t lport, bool wildcard_ok);
inpcb* inpcb_lookup(inpcb_table* table, std::uint32_t faddr, std::uint16_t fport, std::uint32_t laddr,
                    std::uint16_t lport, bool wildcard_ok, ifnet* ifp);
int inpcb_insert_hash(inpcb* inp);
void inpcb_rehash(inpcb* inp);
// The usual error notification: the socket's error is set and its readers
// and writers woken.
void inpcb_socket_notify(inpcb* inp, int error);

// ---- Initial sequence numbers, MD5 and random numbers ------------------------------------------
struct md5_ctx {
  std::uint32_t state[4];
  std::uint32_t count[2];  // bits, low word first
  std::uint8_t buffer[64];
};
void md5_init(md5_ctx* ctx);
void md5_add_bytes(md5_ctx* ctx, const void* data, std::uint32_t len);
void md5_get_digest(std::uint8_t digest[16], md5_ctx* ctx);
void md5_process_block(std::uint32_t state[4], const std::uint8_t block[64]);

std::uint32_t rc4rand_u32();
std::uint8_t rc4rand_byte();
void rc4rand_stir();
// The initial send sequence number of an active open from this block's
// 4-tuple (the TCP control block sits in the same block).
std::uint32_t tcp_make_isn(const inpcb* inp);
void isn_set_reseed_interval(std::uint32_t seconds);
void in_rand_reset();

}  // namespace zektcp
