// TCP of the host stack: the control block that lives inside every TCP
// protocol control block, its five timers, the start-up values, the user
// requests the socket layer drives, input (checks, SYN cache hand-off,
// header prediction, the RFC 9293 state machine, RFC 5681 congestion
// control with fast retransmit and recovery, RFC 7323 window scaling and
// timestamps, reassembly), output (Nagle, silly-window avoidance, persist)
// and the SYN cache with its SYN cookies.
//
// Everything runs under the socket-call lock: the socket calls, the
// soft-interrupt thread (input) and the clock (timers). A connection whose
// offload state is OFFLOAD_STATE_ADAPTER belongs to the adapter: no timer,
// no input and no output of the stack touches it.
//
// Departures from the RFCs that this stack keeps on purpose:
//  - TIME-WAIT lasts 2 x 3 s, not 2 x 2 min.
//  - Keepalive runs on every connection, whether or not SO_KEEPALIVE is set.
//  - Delayed acknowledgements are off: every in-order segment is acked.
//  - Timestamps are never asked for on an active open; a passive open
//    answers them when the peer offers them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "proxy/tcpip/netinet/in.h"
#include "proxy/tcpip/netinet/tcp.h"

namespace zektcp {

// ---- Tunables (stack ticks; tcp_init sets them from the tick rate) ----------------------------
struct TcpTunables {
  std::uint32_t default_mss;          // 512
  std::uint32_t min_rto;              // 1 s
  std::uint32_t rto_margin;           // 1/5 s, added to every time-out
  std::uint32_t delayed_ack_ticks;    // 1/10 s
  std::uint32_t connect_timeout;      // 75 s
  std::uint32_t keepalive_idle;       // 7200 s
  std::uint32_t keepalive_interval;   // 75 s
  std::uint32_t idle_limit;           // 8 x keepalive_interval
  std::uint32_t persist_idle_limit;   // 7200 s
  std::uint32_t max_seg_lifetime;     // 3 s: TIME-WAIT lasts twice this
  std::uint32_t use_delayed_ack;      // 0
  std::uint32_t silent_drop;          // 0: a segment for no connection gets a reset
  std::uint32_t bw_limit_on;          // 0
  std::uint32_t send_reserve;         // 32768
  std::uint32_t recv_reserve;         // 57344
  std::uint32_t log_unmatched_level;  // 0
};
extern TcpTunables tcp_tun;

// Back-off of the retransmission time-out, indexed by the back-off shift.
inline constexpr int TCP_MAX_BACKOFF_SHIFT = 12;
extern const std::uint32_t tcp_syn_rto_mult[TCP_MAX_BACKOFF_SHIFT + 1];
extern const std::uint32_t tcp_rto_mult[TCP_MAX_BACKOFF_SHIFT + 1];
inline constexpr std::uint32_t TCP_RTO_MULT_SUM = 511;
inline constexpr std::uint32_t TCP_MAX_RTO_SECONDS = 64;
inline constexpr std::uint32_t TCP_INITIAL_WINDOW = 0x3FFFC000;  // 65535 << 14

// The out-of-order queue of a connection holds no more bytes than the
// receive buffer has free and at most this many segments, so that a remote
// peer cannot pin the shared mbuf pool with pieces it never fills in front
// of. The segment that fills the hole at the front is always taken.
inline constexpr std::uint32_t TCP_REASS_MAX_SEGMENTS = 256;

// RST and SYN acceptance on a synchronised connection follows RFC 5961:
// only a RST whose sequence is exactly the next expected one resets; one
// elsewhere inside the window, and any SYN, draws a challenge ACK, sent at
// most this many times a second.
inline constexpr std::uint32_t TCP_CHALLENGE_ACKS_PER_SECOND = 100;

// ---- The control block ------------------------------------------------------------------------
// conn_flags
inline constexpr std::uint32_t TCPF_ACK_NOW = 0x1;
inline constexpr std::uint32_t TCPF_DELACK = 0x2;
inline constexpr std::uint32_t TCPF_NO_DELAY = 0x4;
inline constexpr std::uint32_t TCPF_NO_OPTIONS = 0x8;
inline constexpr std::uint32_t TCPF_WANT_WSCALE = 0x20;
inline constexpr std::uint32_t TCPF_GOT_WSCALE = 0x40;
inline constexpr std::uint32_t TCPF_WANT_TSTAMP = 0x80;
inline constexpr std::uint32_t TCPF_GOT_TSTAMP = 0x100;
inline constexpr std::uint32_t TCPF_SEND_SYN = 0x400;
inline constexpr std::uint32_t TCPF_SEND_FIN = 0x800;
inline constexpr std::uint32_t TCPF_NO_PUSH = 0x1000;
inline constexpr std::uint32_t TCPF_MORE_DATA = 0x10000;
inline constexpr std::uint32_t TCPF_WAS_IDLE = 0x40000;
inline constexpr std::uint32_t TCPF_ZERO_WND_SENT = 0x80000;
// oob_flags
inline constexpr std::uint8_t OOB_HAVE_BYTE = 1;
inline constexpr std::uint8_t OOB_BYTE_TAKEN = 2;

struct tseg_qent {
  tseg_qent* next;
  tseg_qent* prev;
  std::int32_t len;
  tcp_seq seq;  // host order, the segment's first byte
  std::uint8_t fin;
  mbuf* m;  // the data alone
};

struct tcp_ctl_block {
  tseg_qent* reass_queue;
  std::uint32_t reass_bytes;     // bytes held out of order
  std::uint32_t reass_segments;  // and their pieces
  std::uint32_t dup_ack_count;
  callout* retransmit_timer;
  callout* persist_timer;
  callout* keepalive_timer;
  callout* two_msl_timer;
  callout* delayed_ack_timer;
  inpcb* owning_inpcb;
  std::uint32_t offload_state;
  std::uint32_t conn_state;
  std::uint32_t conn_flags;
  std::uint32_t force_send;
  tcp_seq snd_una, snd_max, snd_nxt, snd_up, snd_wl1, snd_wl2, iss, irs, rcv_nxt, rcv_right_edge;
  std::uint32_t rcv_wnd;
  tcp_seq rcv_up;
  std::uint32_t snd_wnd, snd_cwnd, bw_window, ssthresh, bw_estimate;
  tcp_seq recover, rto_high_seq;
  std::uint32_t mss_with_opts;
  std::uint32_t last_rcv_tick, start_tick, rtt_start_tick;
  tcp_seq rtt_seq;
  std::uint32_t bw_start_tick;
  tcp_seq bw_seq;
  std::int32_t rto, snd_mss, srtt, rttvar, backoff_shift, min_rto, best_rtt;
  std::uint32_t rtt_sample_count, max_snd_window;
  std::int32_t soft_error;
  std::uint8_t oob_flags, oob_byte, snd_wnd_shift, rcv_wnd_shift, req_rcv_shift, peer_snd_shift;
  std::uint32_t ts_recent, ts_recent_age;
  tcp_seq last_ack_sent;
  std::uint32_t saved_cwnd, saved_ssthresh;
  tcp_seq saved_rto_high_seq;
  std::uint32_t bad_rexmit_deadline;
  std::uint32_t rto_count;  // retransmission time-outs over the connection's life
  std::uint32_t challenge_second, challenge_count;
};

// The record of a TCP socket: the PCB, the control block, the callouts.
struct tcp_pcb_record {
  inpcb inp;
  tcp_ctl_block tcb;
  callout timers[5];
};
static_assert(sizeof(tcp_pcb_record) <= INPCB_BLOCK_BYTES);

inline tcp_ctl_block* intotcpcb(inpcb* inp) { return static_cast<tcp_ctl_block*>(inp->inp_ppcb); }
inline tcp_ctl_block* sototcpcb(socket* so) {
  inpcb* inp = sotoinpcb(so);
  return inp != nullptr ? intotcpcb(inp) : nullptr;
}
inline socket* tp_socket(tcp_ctl_block* tp) { return tp->owning_inpcb->inp_socket; }
inline bool tcp_offloaded(const tcp_ctl_block* tp) { return tp->offload_state == OFFLOAD_STATE_ADAPTER; }

// ---- Statistics ------------------------------------------------------------------------------
struct tcpstat {
  std::uint32_t connattempt, accepts, connects, drops, conndrops, closed;
  std::uint32_t segstimed, rttupdated, delack, timeoutdrop, rexmttimeo, persisttimeo, keeptimeo, keepprobe, keepdrops;
  std::uint32_t sndtotal, sndpack, sndbyte, sndrexmitpack, sndrexmitbyte, sndacks, sndprobe, sndurg, sndwinup, sndctrl;
  std::uint32_t rcvtotal, rcvpack, rcvbyte, rcvbadsum, rcvbadoff, rcvshort, rcvduppack, rcvdupbyte, rcvpartduppack,
      rcvoopack, rcvoobyte, rcvpackafterwin, rcvbyteafterwin, rcvafterclose, rcvwinprobe, rcvdupack, rcvacktoomuch,
      rcvackpack, rcvackbyte, rcvwinupd, rcvbadopt;
  std::uint32_t predack, preddat;
  std::uint32_t pawsdrop, reassfull, badrst, badsyn, challenge_acks, urgbad, noport;
  std::uint32_t mturesent, listendrop, persistdrop;
  std::uint32_t sc_added, sc_retransmitted, sc_dupsyn, sc_dropped, sc_completed, sc_bucketoverflow, sc_cacheoverflow,
      sc_reset, sc_stale, sc_aborted, sc_badack, sc_unreach, sc_zonefail, sc_sendcookie, sc_recvcookie;
};
extern tcpstat g_tcpstat;

// ---- Parsed options of a segment ------------------------------------------------------------
inline constexpr std::uint32_t OPTF_TSTAMP = 0x1;
inline constexpr std::uint32_t OPTF_CC = 0x2;
inline constexpr std::uint32_t OPTF_CCNEW = 0x4;
inline constexpr std::uint32_t OPTF_CCECHO = 0x8;
inline constexpr std::uint32_t OPTF_MSS = 0x10;
inline constexpr std::uint32_t OPTF_WSCALE = 0x20;
inline constexpr std::uint32_t OPTF_BAD = 0x80000000;  // an option whose length does not fit

struct tcpopt {
  std::uint32_t opt_flags;
  std::uint32_t opt_tsval, opt_tsecr, opt_cc, opt_ccecho;
  std::uint16_t opt_mss;
  std::uint8_t opt_wscale;
};

// ---- Control blocks, timers, requests ------------------------------------------------------
extern inpcb_table tcbinfo;
extern user_req_table tcp_usrreqs;

void tcp_init();
void tcp_stop();  // stack stop: every connection goes, then the SYN cache
void tcp_slow_timer();
void tcp_drain();
tcp_ctl_block* tcp_create_cb(inpcb* inp);
void tcp_build_template(tcp_ctl_block* tp, ip* iph, tcphdr* th);
void tcp_send_control(tcp_ctl_block* tp, const tcpiphdr* hdr, mbuf* m, tcp_seq ack, tcp_seq seq, std::uint8_t flags);
tcp_ctl_block* tcp_drop_conn(tcp_ctl_block* tp, int error);
tcp_ctl_block* tcp_close_conn(tcp_ctl_block* tp);
void tcp_notify(inpcb* inp, int error);
void tcp_ctl_notify(int cmd, sockaddr* sa, void* extra);
void tcp_quench(inpcb* inp, int error);
void tcp_drop_syn_sent(inpcb* inp, int error);
void tcp_mtudisc(inpcb* inp, int error);
rtentry* tcp_route_lookup(inpcb* inp);
void tcp_stop_timers(tcp_ctl_block* tp);
int tcp_sockopt(socket* so, sockopt* opt);
// The current retransmission value: max(min_rto, ((srtt >> 3) + rttvar) >> 2).
std::int32_t tcp_rexmt_value(const tcp_ctl_block* tp);
int tcp_active_open(tcp_ctl_block* tp, sockaddr* nam, process* p);
tcp_ctl_block* tcp_close_by_user(tcp_ctl_block* tp);
tcp_ctl_block* tcp_start_disconnect(tcp_ctl_block* tp);

// TCP socket options (level IPPROTO_TCP).
inline constexpr int TCP_NODELAY = 1;
inline constexpr int TCP_MAXSEG = 2;
inline constexpr int TCP_HOLD_PUSH = 4;
inline constexpr int TCP_NO_OPTIONS = 8;

// Timers: each is a callout of the record; these arm and stop them.
enum TcpTimer : int { TT_REXMT = 0, TT_PERSIST = 1, TT_KEEP = 2, TT_2MSL = 3, TT_DELACK = 4 };
void tcp_timer_arm(tcp_ctl_block* tp, TcpTimer which, std::int32_t ticks);
void tcp_timer_stop(tcp_ctl_block* tp, TcpTimer which);
bool tcp_timer_active(const tcp_ctl_block* tp, TcpTimer which);
void tcp_timer_rexmt(void* arg);
void tcp_timer_persist(void* arg);
void tcp_timer_keep(void* arg);
void tcp_timer_2msl(void* arg);
void tcp_timer_delack(void* arg);

// ---- Output ---------------------------------------------------------------------------------
int tcp_output(tcp_ctl_block* tp, socket* so);
void tcp_setpersist(tcp_ctl_block* tp);
// The flags a segment carries in each state.
extern const std::uint8_t tcp_state_out_flags[TCP_NSTATES];
// The MSS this host offers on a SYN for the connection's route.
std::uint32_t tcp_mss_to_offer(inpcb* inp);

// ---- Input ----------------------------------------------------------------------------------
void tcp_input(mbuf* m, int iphlen);
void tcp_parse_options(tcpopt* to, const std::uint8_t* cp, int cnt, bool syn);
void tcp_rtt_sample(tcp_ctl_block* tp, std::int32_t rtt);
void tcp_set_mss(tcp_ctl_block* tp, int offer);
// A socket by its 4-tuple (host order); null when there is none or its
// record is not a live socket.
extern "C" socket* QuadToSocket(std::uint16_t local_port, std::uint16_t foreign_port, std::uint32_t local_addr,
                                std::uint32_t foreign_addr);

// ---- SYN cache and SYN cookies ---------------------------------------------------------------
inline constexpr std::uint32_t SYNCACHE_HASHSIZE = 512;
inline constexpr std::uint32_t SYNCACHE_BUCKETLIMIT = 30;
inline constexpr std::uint32_t SYNCACHE_CACHELIMIT = 15359;
inline constexpr std::uint32_t SYNCACHE_MAXREXMTS = 3;
inline constexpr int SYNCACHE_TIMER_SLOTS = 4;
inline constexpr int SYNCOOKIE_SECRET_SLOTS = 32;
extern const std::uint16_t tcp_syncookie_mss_table[4];

inline constexpr std::uint8_t SYNF_NO_OPTIONS = 0x01;
inline constexpr std::uint8_t SYNF_WSCALE = 0x02;
inline constexpr std::uint8_t SYNF_TSTAMP = 0x04;
inline constexpr std::uint8_t SYNF_UNREACHABLE = 0x10;

struct syncache_endpoints {
  std::uint16_t fport, lport;  // network order
  std::uint32_t faddr, laddr;  // network order
};

struct syncache {
  std::uint64_t listen_gen;
  tcp_ctl_block* listen_cb;
  syncache_endpoints ep;
  std::uint32_t peer_tstamp, peer_isn, local_isn, rexmit_due;
  std::uint16_t timer_slot, peer_mss, offered_window;
  std::uint8_t peer_wscale, local_wscale, entry_flags, rexmits;
  syncache* bucket_next;
  syncache** bucket_prevp;
  syncache* timer_next;
  syncache** timer_prevp;
};

void syncache_init();
void syncache_stop();
// A SYN for a listening socket: 1 when the cache took it (the chain is
// consumed), 0 when the caller must drop the segment.
int syncache_enter_syn(const syncache_endpoints& ep, const tcpopt& to, const tcphdr* th, socket* listen_so, mbuf* m);
// The ACK that completes a handshake: the new socket, or null (with
// *reset set when the segment must be answered with a reset).
socket* syncache_complete(const syncache_endpoints& ep, const tcphdr* th, socket* listen_so, bool* reset);
// A RST for a listening socket: drops a matching entry whose window holds it.
void syncache_reset(const syncache_endpoints& ep, const tcphdr* th);
// ICMP for an embryonic connection.
void syncache_unreach(const syncache_endpoints& ep, tcp_seq quoted_seq);
std::uint32_t syncache_count();
std::uint32_t syncookie_make(const syncache* sc);
// Entries of one listener's PCB vanish when the listener goes.
void syncache_forget_listener(tcp_ctl_block* listener);

}  // namespace zektcp
