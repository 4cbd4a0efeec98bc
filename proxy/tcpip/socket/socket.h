// The socket layer (socket/): a fixed pool of socket records, socket
// buffers, the connection queues of listening sockets, generic send and
// receive, options, polling and event filters, and close. It sits between
// the socket calls and the protocols, and runs under the socket-call lock
// except while it sleeps. This header brings the whole folder: the mbufs
// that carry the data (mbuf.h) and the protocol domains through which a
// socket reaches its protocol (domain.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "proxy/tcpip/kern/kern.h"
#include "proxy/tcpip/socket/domain.h"
#include "proxy/tcpip/socket/mbuf.h"

namespace zektcp {

inline constexpr std::uint32_t SOCKET_SIGNATURE = 0x98765432;
inline constexpr std::uint32_t SOCKET_POOL_SIZE = 8192;
inline constexpr std::uint32_t SB_MAX = 0x200000;  // largest socket buffer
inline constexpr int SOMAXCONN = 128;
inline constexpr int OOB_ALLOWANCE = 1024;
inline constexpr int MAX_SONAME = 224;  // a datagram's address
inline constexpr int LOOPBACK_BYTES = 500;
inline constexpr std::uint32_t SOCKET_TAKEN_OVER = 102;

// so_state
inline constexpr std::int16_t SS_NOFDREF = 0x001;
inline constexpr std::int16_t SS_ISCONNECTED = 0x002;
inline constexpr std::int16_t SS_ISCONNECTING = 0x004;
inline constexpr std::int16_t SS_ISDISCONNECTING = 0x008;
inline constexpr std::int16_t SS_CANTSENDMORE = 0x010;
inline constexpr std::int16_t SS_CANTRCVMORE = 0x020;
inline constexpr std::int16_t SS_RCVATMARK = 0x040;
inline constexpr std::int16_t SS_NBIO = 0x100;
inline constexpr std::int16_t SS_ASYNC = 0x200;
inline constexpr std::int16_t SS_ISCONFIRMING = 0x400;
inline constexpr std::int16_t SS_INCOMP = 0x800;
inline constexpr std::int16_t SS_COMP = 0x1000;

// Socket-level options (level SOL_SOCKET).
inline constexpr int SOL_SOCKET = 0xFFFF;
inline constexpr int SO_DEBUG = 0x1;
inline constexpr int SO_ACCEPTCONN = 0x2;
inline constexpr int SO_REUSEADDR = 0x4;
inline constexpr int SO_KEEPALIVE = 0x8;
inline constexpr int SO_DONTROUTE = 0x10;
inline constexpr int SO_BROADCAST = 0x20;
inline constexpr int SO_USELOOPBACK = 0x40;
inline constexpr int SO_LINGER = 0x80;
inline constexpr int SO_OOBINLINE = 0x100;
inline constexpr int SO_REUSEPORT = 0x200;
inline constexpr int SO_TIMESTAMP = 0x400;
inline constexpr int SO_ACCEPTFILTER = 0x1000;
inline constexpr int SO_SNDBUF = 0x1001;
inline constexpr int SO_RCVBUF = 0x1002;
inline constexpr int SO_SNDLOWAT = 0x1003;
inline constexpr int SO_RCVLOWAT = 0x1004;
inline constexpr int SO_SNDTIMEO = 0x1005;
inline constexpr int SO_RCVTIMEO = 0x1006;
inline constexpr int SO_ERROR = 0x1007;
inline constexpr int SO_TYPE = 0x1008;

// Send and receive flags.
inline constexpr int MSG_OOB = 0x1;
inline constexpr int MSG_PEEK = 0x2;
inline constexpr int MSG_DONTROUTE = 0x4;
inline constexpr int MSG_EOR = 0x8;
inline constexpr int MSG_TRUNC = 0x10;
inline constexpr int MSG_CTRUNC = 0x20;
inline constexpr int MSG_WAITALL = 0x40;
inline constexpr int MSG_DONTWAIT = 0x80;
inline constexpr int MSG_EOF = 0x100;

// Poll events.
inline constexpr int POLLIN = 0x0001;
inline constexpr int POLLPRI = 0x0002;
inline constexpr int POLLOUT = 0x0004;
inline constexpr int POLLRDNORM = 0x0040;
inline constexpr int POLLRDBAND = 0x0080;
inline constexpr int POLLNVAL = 0x0020;

// sb_flags
inline constexpr std::uint16_t SB_LOCK = 0x01;
inline constexpr std::uint16_t SB_WANT = 0x02;
inline constexpr std::uint16_t SB_WAIT = 0x04;
inline constexpr std::uint16_t SB_SEL = 0x08;
inline constexpr std::uint16_t SB_ASYNC = 0x10;
inline constexpr std::uint16_t SB_UPCALL = 0x20;
inline constexpr std::uint16_t SB_NOINTR = 0x40;
inline constexpr std::uint16_t SB_AIO = 0x80;
inline constexpr std::uint16_t SB_KNOTE = 0x100;

struct socket;

// An event note (read filter -1, write filter -2).
inline constexpr int EVFILT_READ = -1;
inline constexpr int EVFILT_WRITE = -2;
struct knote {
  knote* kn_next;
  socket* kn_so;
  int kn_filter;
  std::int64_t kn_data;    // bytes (or queued connections) available
  std::int32_t kn_sdata;   // the note's own low-water mark, 0 = the buffer's
  std::uint32_t kn_flags;  // EV_EOF when the socket cannot go on
};
inline constexpr std::uint32_t EV_EOF = 0x8000;

struct sockbuf {
  std::uint32_t sb_cc;     // bytes in the buffer
  std::uint32_t sb_hiwat;  // its size
  std::uint32_t sb_mbcnt;  // storage in use
  std::uint32_t sb_mbmax;
  std::int32_t sb_lowat;
  mbuf* sb_mb;  // first record
  std::uint16_t sb_flags;
  OSPrimSleepObject* sb_poller;  // the poller recorded (SB_SEL)
  knote* sb_notes;
  std::int16_t sb_timeo;  // ticks, 0 = none
  OSPrimSleepObject sb_sleep;
};

// The offload state block handed to the adapter's queue-pair context
// builder: nine flag bytes, three padding bytes, then 53 words.
struct OffloadStateBlock {
  std::uint8_t flags[9];
  std::uint8_t pad[3];
  std::uint32_t words[53];  // word n of the block is words[n - 1]
};
static_assert(sizeof(OffloadStateBlock) == 224);
static_assert(offsetof(OffloadStateBlock, words) == 12);
inline constexpr int OFFLOAD_WORD_CONN_STATE = 14;
inline constexpr int OFFLOAD_WORD_KEEPALIVE = 19;
inline constexpr int OFFLOAD_WORD_FLAG = 43;

struct accept_filter {
  accept_filter* accf_next;
  char accf_name[16];
  void (*accf_callback)(socket* so, void* arg, int waitflag);
  void* (*accf_create)(socket* so, char* arg);
  void (*accf_destroy)(socket* so);
};

struct socket_accf {
  accept_filter* so_accept_filter;
  void* so_accept_filter_arg;
  char* so_accept_filter_str;
};

struct accept_filter_arg {
  char af_name[16];
  char af_arg[256 - 16];
};
static_assert(sizeof(accept_filter_arg) == 256);

struct linger {
  std::int32_t l_onoff;
  std::int32_t l_linger;
};

struct socket {
  std::int16_t so_type;
  std::int16_t so_options;
  std::int16_t so_linger;  // seconds
  std::int16_t so_state;
  void* so_pcb;
  proto_switch* so_proto;
  socket* so_head;    // the listener this socket is queued on
  socket* so_incomp;  // incomplete connections (listener)
  socket* so_comp;    // complete connections (listener)
  socket* so_list_next;
  socket** so_list_prevp;
  std::int16_t so_qlen;
  std::int16_t so_incqlen;
  std::int16_t so_qlimit;
  std::int16_t so_timeo;
  std::uint16_t so_error;
  std::int32_t so_oobmark;
  sockbuf so_rcv;
  sockbuf so_snd;
  void (*so_upcall)(socket* so, void* arg, int waitflag);
  void* so_upcallarg;
  ucred* so_cred;
  socket_accf* so_accf;
  std::uint32_t so_gencnt;

  // The port's fields.
  OSPrimSleepObject so_sleep;  // connection, linger and close waits
  std::uint32_t so_inuse;
  std::uint32_t so_signature;
  std::uintptr_t so_pid;
  std::uintptr_t so_tid;
  OffloadStateBlock so_offload;
  OSPrimSleepObject so_offload_send_sleep;
  OSPrimSleepObject so_offload_recv_sleep;
  OSPrimSleepObject so_offload_spare_sleep;
  void* so_offload_qp;
  void* so_offload_cq;
  std::uint32_t so_offload_sent;
  std::uint16_t so_offload_send_status[2];
  std::uint32_t so_offload_received;
  std::uint16_t so_offload_recv_status[2];
  std::uint32_t so_taken_over;  // SOCKET_TAKEN_OVER once a queue pair owns the connection
  void* so_owner_context;
  void (*so_owner_send_hook)(void* context, int unused);
  void (*so_owner_recv_hook)(void* context, int unused);
  void (*so_owner_release_hook)(void* context);
  std::uint8_t so_loopback;
  OSPrimEvent so_lb_event;
  std::uint8_t so_lb_buffer[LOOPBACK_BYTES];
  std::int32_t so_lb_unread;  // -1: the peer closed
  std::int32_t so_lb_read;
  std::int32_t so_lb_write;
};

// The offload state of a TCP control block, read by the socket layer at
// close and release; the TCP control block registers how to reach it.
inline constexpr std::uint32_t OFFLOAD_STATE_ADAPTER = 170;
inline constexpr std::uint32_t OFFLOAD_STATE_OFF = 85;
struct SocketOffloadHooks {
  // The offload state word of the socket's TCP control block, or null.
  std::uint32_t* (*offload_state_word)(socket* so);
  // The TCP state word the close sets to closed for an offloaded connection.
  std::uint32_t* (*tcp_state_word)(socket* so);
  int (*offload_free)(socket* so);  // releases the adapter's objects
};
void socket_set_offload_hooks(const SocketOffloadHooks* hooks);
// The offload bridge's release of a socket's adapter objects (kept across
// the protocol's own hook settings; null removes it). A socket that holds
// an offload queue pair of its own (not one taken over by an iWARP queue
// pair) has it released when the socket goes, whether or not its control
// block is still attached.
void socket_set_offload_free(int (*offload_free)(socket* so));

// ---- Pool ---------------------------------------------------------------------------------
int socket_pool_start(std::uint32_t sockets);
void socket_pool_stop();
std::uint32_t socket_pool_free_count();
socket* get_socket();
void put_socket(socket* so);
bool socket_is_live(const socket* so);

// ---- Lifecycle ------------------------------------------------------------------------------
extern const fileops socketops;
int create_socket(int dom, socket** aso, int type, int proto, process* p);
int soclose(socket* so);
void sofree(socket* so);
int abort_socket(socket* so);
void flush_socket_receive(socket* so);
void mark_socket_connected(socket* so);
void mark_socket_disconnected(socket* so);
void mark_socket_connecting(socket* so);
void mark_socket_disconnecting(socket* so);
void socantsendmore(socket* so);
void socantrcvmore(socket* so);
// A new socket on the listener's incomplete (connected = 0) or complete
// queue. It has no descriptor (SS_NOFDREF) until accept takes it off the
// complete queue and clears the flag.
socket* sonewconn(socket* head, int connstatus);
void soqinsque(socket* head, socket* so, int complete);
void soqremque(socket* so, int complete);
void socket_set_nbio(socket* so, bool on);

// ---- Send and receive -------------------------------------------------------------------------
int send_on_socket(socket* so, sockaddr* addr, uio* u, mbuf* top, mbuf* control, int flags, process* p);
int receive_on_socket(socket* so, sockaddr** paddr, uio* u, mbuf** mp0, mbuf** controlp, int* flagsp);

// ---- Options, poll, notes, stat -------------------------------------------------------------------
int set_socket_option(socket* so, sockopt* opt);
int get_socket_option(socket* so, sockopt* opt);
int poll_socket(socket* so, int events, ucred* cred, OSPrimSleepObject* poller);
// A poll call that ends takes its sleep object off the buffers it was recorded on.
void poll_socket_forget(socket* so, OSPrimSleepObject* poller);
int attach_socket_event_filter(socket* so, knote* kn);
void detach_socket_event_filter(knote* kn);
// Evaluates a note: non-zero when its condition holds (kn_data updated).
int socket_event_ready(knote* kn);
int accept_filter_register(accept_filter* filter);
void accept_filter_unregister(accept_filter* filter);
// Destroys the socket's accept filter, if it has one, and frees its record.
void accept_filter_release(socket* so);

struct socket_stat {
  std::uint32_t st_mode;
  std::uint32_t st_uid;
  std::uint32_t st_gid;
  std::int64_t st_size;
  std::uint32_t st_blksize;
};

// ---- Socket buffers ---------------------------------------------------------------------------------
int reserve_socket_buffers(socket* so, std::uint32_t sndcc, std::uint32_t rcvcc);
int recv_sbreserve(sockbuf* sb, std::uint32_t cc, socket* so);
int send_sbreserve(sockbuf* sb, std::uint32_t cc, socket* so);
void sbrelease(sockbuf* sb, socket* so);
std::int64_t sbspace(const sockbuf* sb);
void append_to_socket_buffer(sockbuf* sb, mbuf* m);
void sbappendrecord(sockbuf* sb, mbuf* m0);
int sbappendaddr(sockbuf* sb, const sockaddr* asa, mbuf* m0, mbuf* control);
int sbappendcontrol(sockbuf* sb, mbuf* m0, mbuf* control);
void sbcompress(sockbuf* sb, mbuf* m, mbuf* n);
void sbflush(sockbuf* sb);
void sbdrop(sockbuf* sb, int len);
void sbdroprecord(sockbuf* sb);
mbuf* make_control_mbuf(const void* p, int size, int type, int level);
int sblock(sockbuf* sb, int wait);
void sbunlock(sockbuf* sb);
int wait_socket_buffer(sockbuf* sb);
void wake_socket_buffer(socket* so, sockbuf* sb);
void wake_socket_readers(socket* so);
void wake_socket_writers(socket* so);

}  // namespace zektcp
