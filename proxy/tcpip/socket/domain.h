// Protocol domains and the protocol switch: how the socket layer, IP input
// and ICMP reach every protocol's routines.
#pragma once

#include <cstddef>
#include <cstdint>

#include "proxy/tcpip/kern/kern.h"
#include "proxy/tcpip/sockaddr.h"
#include "proxy/tcpip/socket/mbuf.h"

namespace zektcp {

struct socket;
struct domain;
struct ifnet;

// A protocol's user requests, in the slot order the socket layer uses.
struct user_req_table {
  int (*pru_abort)(socket* so);
  int (*pru_accept)(socket* so, sockaddr** nam);
  int (*pru_attach)(socket* so, int proto, process* p);
  int (*pru_bind)(socket* so, sockaddr* nam, process* p);
  int (*pru_connect)(socket* so, sockaddr* nam, process* p);
  int (*pru_connect2)(socket* so1, socket* so2);
  int (*pru_control)(socket* so, std::uint32_t cmd, void* data, ifnet* ifp, process* p);
  int (*pru_detach)(socket* so);
  int (*pru_disconnect)(socket* so);
  int (*pru_listen)(socket* so, process* p);
  int (*pru_peeraddr)(socket* so, sockaddr** nam);
  int (*pru_rcvd)(socket* so, int flags);
  int (*pru_rcvoob)(socket* so, mbuf* m, int flags);
  int (*pru_send)(socket* so, int flags, mbuf* m, sockaddr* addr, mbuf* control, process* p);
  int (*pru_sense)(socket* so, void* stat);
  int (*pru_shutdown)(socket* so);
  int (*pru_sockaddr)(socket* so, sockaddr** nam);
  int (*pru_sosend)(socket* so, sockaddr* addr, uio* u, mbuf* top, mbuf* control, int flags, process* p);
  int (*pru_soreceive)(socket* so, sockaddr** paddr, uio* u, mbuf** mp0, mbuf** controlp, int* flagsp);
  int (*pru_sopoll)(socket* so, int events, ucred* cred, process* p);
};

// Send request flags (pru_send).
inline constexpr int PRUS_OOB = 0x1;
inline constexpr int PRUS_EOF = 0x2;
inline constexpr int PRUS_MORETOCOME = 0x4;

// Socket-option request of a protocol's control-output routine.
struct sockopt {
  int sopt_dir;  // SOPT_GET or SOPT_SET
  int sopt_level;
  int sopt_name;
  void* sopt_val;
  std::size_t sopt_valsize;
  process* sopt_p;
};
inline constexpr int SOPT_GET = 0;
inline constexpr int SOPT_SET = 1;

struct proto_switch {
  std::int16_t pr_type;
  domain* pr_domain;
  std::int16_t pr_protocol;
  std::int16_t pr_flags;
  void (*pr_input)(mbuf* m, int off);
  int (*pr_output)(mbuf* m, socket* so);
  void (*pr_ctlinput)(int cmd, sockaddr* addr, void* extra);
  int (*pr_ctloutput)(socket* so, sockopt* opt);
  void (*pr_reserved)();
  void (*pr_init)();
  void (*pr_fasttimo)();
  void (*pr_slowtimo)();
  void (*pr_drain)();
  user_req_table* pr_usrreqs;
};
static_assert(sizeof(proto_switch) == 104);
static_assert(offsetof(proto_switch, pr_input) == 24);
static_assert(offsetof(proto_switch, pr_usrreqs) == 96);

// pr_flags
inline constexpr std::int16_t PR_ATOMIC = 0x01;
inline constexpr std::int16_t PR_ADDR = 0x02;
inline constexpr std::int16_t PR_CONNREQUIRED = 0x04;
inline constexpr std::int16_t PR_IMPLOPCL = 0x08;
inline constexpr std::int16_t PR_WANTRCVD = 0x20;
inline constexpr std::int16_t PR_LASTHDR = 0x40;
inline constexpr std::int16_t PR_RIGHTS = 0x10;

// Socket types.
inline constexpr std::int16_t SOCK_STREAM = 1;
inline constexpr std::int16_t SOCK_DGRAM = 2;
inline constexpr std::int16_t SOCK_RAW = 3;

struct domain {
  std::int32_t dom_family;
  const char* dom_name;
  void (*dom_init)();
  int (*dom_externalize)(mbuf* rights);
  void (*dom_dispose)(mbuf* rights);
  proto_switch* dom_protosw;
  proto_switch* dom_protoswNPROTOSW;
  domain* dom_next;
  int (*dom_rtattach)(void** head, int offset);
  std::int32_t dom_rtoffset;  // bits
  std::int32_t dom_maxrtkey;  // bytes
};

extern std::int32_t largest_link_header;
extern std::int32_t largest_proto_header;
extern std::int32_t largest_header;
extern std::int32_t header_mbuf_data_room;

domain* domain_list();
int domaininit(domain* dp);
// Removes a domain added with domaininit (stack stop and tests).
void domain_remove(domain* dp);
domain* domain_find(int family);
proto_switch* domain_find_proto(int family, int protocol, int type);
// The first entry of the domain with that type (protocol 0 sockets).
proto_switch* domain_find_type(int family, int type);
void domain_ctl_broadcast(int command, sockaddr* addr);
void domain_drain_all();
void domain_slow_timer(void* unused);
void domain_fast_timer(void* unused);

// Starts the protocol ticks; stops them and forgets every domain.
void domain_start();
void domain_stop();

}  // namespace zektcp
