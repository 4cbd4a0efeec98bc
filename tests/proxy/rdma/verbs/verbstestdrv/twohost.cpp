// One end of an RDMA connection between two hosts, run by the kernel verbs
// client driver as a kernel client runs it: the verbs through the kernel
// verbs table, the connection through the kernel socket-call table.
//
//  1. Open the verbs adapter on this host's SAN address; a PD, a CQ and a
//     queue pair (idle).
//  2. TCP over the host stack: the accepting end listens on its SAN address
//     and takes one connection, the connecting end connects to the peer
//     (again while the peer is not listening yet), each bounded by WaitMs.
//  3. The MPA start-up frames, built and read with the table's MPA
//     operations: the connecting end sends the request, the accepting end
//     answers with the reply. The private data of each carries a record of
//     its end (queue pair, region STag, address and length) and a pattern
//     the other end checks byte for byte.
//  4. The hand-over of the connection to the adapter (the modify to RTS
//     with the socket); the accepting end's reply leaves as the hand-over's
//     last streaming message.
#include <cstring>

#include "include/hw/qp_context.h"
#include "include/zek/mpa.h"
#include "proxy/tcpip/sockaddr.h"
#include "proxy/tcpip/socket/socket.h"
#include "tests/proxy/rdma/verbs/verbstestdrv/kernel_client.h"

namespace verbstest {
namespace {

using MpaBuild = ZekStatus (*)(const ZekMpaParameters*, void*, std::uint32_t, void*);
using MpaParse = ZekStatus (*)(ZekMpaParameters*, const void*, std::uint32_t, void*);

// The private data of each end's start-up frame.
struct EndRecord {
  char Magic[8];  // "zekrdma"
  std::uint32_t Qp;
  std::uint32_t Stag;
  std::uint64_t Address;
  std::uint32_t Length;
  std::uint32_t Seed;  // the pattern below is made from it
  std::uint8_t Pattern[32];
};
static_assert(sizeof(EndRecord) == 64);
constexpr char kMagic[8] = "zekrdma";

std::uint8_t pattern_byte(std::uint32_t seed, std::size_t i) {
  return static_cast<std::uint8_t>((i * 31 + seed * 7 + i / 4091) & 0xFF);
}

void sleep_ms(std::uint32_t ms) {
  LARGE_INTEGER interval;
  interval.QuadPart = -static_cast<LONGLONG>(ms) * 10'000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

class Session {
 public:
  Session(const KernelTables& t, const RdmaRequest& request, Report& r)
      : v_(t.verbs), s_(t.sockets), q_(request), r_(r) {}
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() {
    if (socket_ >= 0) s_->close(socket_);
    if (listener_ >= 0) s_->close(listener_);
    if (adapter_ != nullptr) r_.check("close", v_->Close(adapter_), 0);
  }

  // False when there is no adapter with the address yet.
  bool open() {
    const ZekVerbsAddress address = verbs_address(q_.Local);
    if (v_->Open(&adapter_, &address) != 0) {
      adapter_ = nullptr;
      return false;
    }
    r_.line("role %s, SAN address %u.%u.%u.%u\n", accepting() ? "accept" : "connect", q_.Local >> 24,
            q_.Local >> 16 & 0xFF, q_.Local >> 8 & 0xFF, q_.Local & 0xFF);
    return true;
  }

  bool objects() {
    std::uint32_t entries = 0;
    if (!ok("pd allocate", v_->PdAllocate(adapter_, &pd_))) return false;
    if (!ok("cq create", v_->CqCreate(adapter_, &cq_, &entries, nullptr, nullptr, 256))) return false;
    ZekQpCreateInput in{};
    in.Pd = reinterpret_cast<std::uint64_t>(pd_);
    in.SendCq = in.RecvCq = reinterpret_cast<std::uint64_t>(cq_);
    in.SqSize = in.RqSize = 126;
    in.SqSges = in.RqSges = in.RdmaWSges = 4;
    in.Ord = in.Ird = 8;
    ZekQpAttributes out{};
    return ok("qp create", v_->QpCreate(adapter_, &in, &out, &qp_));
  }

  // The TCP connection over the host stack.
  bool connect() {
    const int s = s_->socket(zektcp::AF_INET, 1 /* stream */, 0);
    if (!positive("socket", s)) return false;
    if (accepting()) {
      listener_ = s;
      const int on = 1;
      s_->setsockopt(s, zektcp::SOL_SOCKET, zektcp::SO_REUSEADDR, &on, sizeof on);
      const zektcp::sockaddr_in local = zektcp::make_sockaddr_in(q_.Local, q_.Port);
      if (!ok("bind", s_->bind(s, &local, sizeof local))) return false;
      if (!ok("listen", s_->listen(s, 1))) return false;
      r_.line("listening on port %u\n", q_.Port);
      if (!readable(s)) {
        r_.expect("a connection within the wait", false);
        return false;
      }
      zektcp::sockaddr_in peer{};
      int length = sizeof peer;
      socket_ = s_->accept(s, &peer, &length);
      if (!positive("accept", socket_)) return false;
      const std::uint32_t from = __builtin_bswap32(peer.sin_addr.s_addr);
      r_.line("accepted a connection from %u.%u.%u.%u port %u\n", from >> 24, from >> 16 & 0xFF, from >> 8 & 0xFF,
              from & 0xFF, __builtin_bswap16(peer.sin_port));
      s_->close(listener_);
      listener_ = -1;
      return true;
    }
    socket_ = s;
    const zektcp::sockaddr_in local = zektcp::make_sockaddr_in(q_.Local, 0);
    if (!ok("bind", s_->bind(s, &local, sizeof local))) return false;
    const zektcp::sockaddr_in peer = zektcp::make_sockaddr_in(q_.Peer, q_.Port);
    // The peer may not listen yet: a refused connect is tried again on a
    // new socket until the wait runs out.
    for (std::uint32_t waited = 0;; waited += 100) {
      const int result = s_->connect(socket_, &peer, sizeof peer);
      if (result == 0) break;
      if (waited >= q_.WaitMs) return ok("connect", result);
      s_->close(socket_);
      sleep_ms(100);
      socket_ = s_->socket(zektcp::AF_INET, 1, 0);
      if (!positive("socket", socket_) || !ok("bind", s_->bind(socket_, &local, sizeof local))) return false;
    }
    r_.line("connected to %u.%u.%u.%u port %u\n", q_.Peer >> 24, q_.Peer >> 16 & 0xFF, q_.Peer >> 8 & 0xFF,
            q_.Peer & 0xFF, q_.Port);
    return true;
  }

  // The MPA start-up frames: the request from the connecting end, the reply
  // from the accepting end, each with its end's record as private data.
  bool exchange_startup_frames() {
    const auto build_request = reinterpret_cast<MpaBuild>(v_->IetfCreateRequest);
    const auto build_reply = reinterpret_cast<MpaBuild>(v_->IetfCreateResponse);
    const auto parse_request = reinterpret_cast<MpaParse>(v_->IetfParseRequest);
    const auto parse_reply = reinterpret_cast<MpaParse>(v_->IetfParseResponse);
    if (build_request == nullptr || build_reply == nullptr || parse_request == nullptr || parse_reply == nullptr) {
      r_.expect("the verbs table offers the MPA start-up frames", false);
      return false;
    }
    ZekMpaParameters mine{};
    mine.PrivateDataLength = sizeof(EndRecord);
    mine.Crc = (q_.Flags & kRdmaCrc) != 0;
    mine.Markers = (q_.Flags & kRdmaMarkers) != 0;
    std::uint8_t frame[ZEK_MPA_HEADER_BYTES + sizeof(EndRecord)];
    fill_record(frame + ZEK_MPA_HEADER_BYTES);
    ZekMpaParameters theirs{};
    std::uint8_t received[ZEK_MPA_HEADER_BYTES];
    if (!accepting()) {
      if (!ok("build the MPA request", build_request(&mine, frame, sizeof frame, nullptr))) return false;
      if (!send_all("send the MPA request", frame, sizeof frame)) return false;
      if (!receive_all("the MPA reply", received, sizeof received)) return false;
      r_.check("the reply read as a request", parse_request(&theirs, received, sizeof received, nullptr),
               ZEK_MPA_STATUS_BAD_FRAME);
      if (!ok("read the MPA reply", parse_reply(&theirs, received, sizeof received, nullptr))) return false;
      r_.check("the reply accepts", theirs.Reject, 0);
    } else {
      if (!receive_all("the MPA request", received, sizeof received)) return false;
      r_.check("the request read as a reply", parse_reply(&theirs, received, sizeof received, nullptr),
               ZEK_MPA_STATUS_BAD_FRAME);
      if (!ok("read the MPA request", parse_request(&theirs, received, sizeof received, nullptr))) return false;
      // CRC when either end asks for it (RFC 5044); markers as each end asks.
      mine.Crc = mine.Crc || theirs.Crc;
      if (!ok("build the MPA reply", build_reply(&mine, frame, sizeof frame, nullptr))) return false;
    }
    r_.check("the peer's private data length", theirs.PrivateDataLength, sizeof(EndRecord));
    if (theirs.PrivateDataLength != sizeof(EndRecord)) return false;
    if (!receive_all("the peer's private data", &peer_, sizeof peer_)) return false;
    r_.expect("the peer's private data, every byte", peer_record_intact());
    crc_ = mine.Crc || theirs.Crc;
    my_markers_ = mine.Markers != 0;
    peer_markers_ = theirs.Markers != 0;
    r_.line("MPA %s: CRC %s, markers to this end %s, to the peer %s; peer queue pair %u\n",
            accepting() ? "request read, reply built" : "request sent, reply read", crc_ ? "on" : "off",
            my_markers_ ? "on" : "off", peer_markers_ ? "on" : "off", peer_.Qp);
    reply_ = accepting();
    std::memcpy(reply_frame_, frame, sizeof frame);
    return true;
  }

  // The hand-over: the queue pair takes the connection (IDLE to RTS with the
  // socket) in the RDMA mode the start-up frames agreed. The accepting end
  // hands its reply to the modify as the last streaming message, so it
  // leaves ahead of the first FPDU and nothing the connecting end sends
  // after reading it can reach the host stack.
  bool hand_over() {
    if (v_->QpModify == nullptr) {
      r_.expect("the verbs table offers the modify", false);
      return false;
    }
    ZekQpModifyInput in{};
    in.Mask = ZEK_QP_MODIFY_STATE | ZEK_QP_MODIFY_RDMA_MODE;
    in.State = ZEK_QP_STATE_RTS;
    in.Socket = static_cast<std::uint64_t>(socket_);
    in.RdmaMode = zekhw::kMpaModeRdma | (crc_ ? zekhw::kMpaModeCrc : 0) |
                  (peer_markers_ ? zekhw::kMpaModeSendMarkers : 0) | (my_markers_ ? zekhw::kMpaModeReceiveMarkers : 0);
    if (reply_) {
      in.Message = reply_frame_;
      in.MessageLength = sizeof reply_frame_;
    }
    ZekQpModifyOutput out{};
    if (!ok("hand-over (modify to RTS with the socket)", v_->QpModify(adapter_, qp_, &in, &out))) return false;
    ZekQpAttributes q{};
    r_.check("queue pair state after the hand-over", v_->QpQuery(adapter_, qp_, &q) == 0 ? q.State : 0,
             ZEK_QP_STATE_RTS);
    r_.check("the queue pair's socket", q.Socket, static_cast<std::uint64_t>(socket_));
    r_.line("hand-over: the adapter carries the connection (RDMA mode 0x%x%s)\n", in.RdmaMode,
            reply_ ? ", the MPA reply as its last streaming message" : "");
    return true;
  }

  bool accepting() const { return q_.Role == kRoleAccept; }

 private:
  bool ok(const char* name, std::int64_t status) {
    r_.check(name, static_cast<std::uint64_t>(status), 0);
    return status == 0;
  }
  bool positive(const char* name, int value) {
    if (value >= 0) return true;
    r_.check(name, static_cast<std::uint64_t>(static_cast<std::int64_t>(value)), 0);
    return false;
  }
  // A bounded wait for data (or a connection) on `s`.
  bool readable(int s) {
    ZekPollFd entry{s, ZEK_POLLIN, 0};
    return s_->poll(&entry, 1, static_cast<int>(q_.WaitMs)) == 1 && (entry.Revents & ZEK_POLLIN) != 0;
  }
  bool send_all(const char* name, const void* data, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (n > 0) {
      const int sent = s_->send(socket_, p, static_cast<int>(n), 0);
      if (sent <= 0) {
        r_.check(name, static_cast<std::uint64_t>(static_cast<std::int64_t>(sent)), n);
        return false;
      }
      p += sent;
      n -= static_cast<std::size_t>(sent);
    }
    return true;
  }
  // Exactly `n` bytes, each piece waited for at most WaitMs.
  bool receive_all(const char* name, void* data, std::size_t n) {
    auto* p = static_cast<std::uint8_t*>(data);
    while (n > 0) {
      const int got = readable(socket_) ? s_->recv(socket_, p, static_cast<int>(n), 0) : -1;
      if (got <= 0) {
        r_.line("%s: %s FAIL\n", name, got == 0 ? "the peer closed" : "nothing within the wait");
        r_.expect(name, false);
        return false;
      }
      p += got;
      n -= static_cast<std::size_t>(got);
    }
    return true;
  }
  void fill_record(std::uint8_t* at) const {
    EndRecord e{};
    std::memcpy(e.Magic, kMagic, sizeof kMagic);
    e.Qp = static_cast<std::uint32_t>(qp_);
    e.Stag = stag_;
    e.Address = address_;
    e.Length = length_;
    e.Seed = q_.Local;
    for (std::size_t i = 0; i < sizeof e.Pattern; ++i) e.Pattern[i] = pattern_byte(e.Seed, i);
    std::memcpy(at, &e, sizeof e);
  }
  bool peer_record_intact() const {
    if (std::memcmp(peer_.Magic, kMagic, sizeof kMagic) != 0 || peer_.Seed != q_.Peer) {
      // The accepting end learns the peer's address from the record itself.
      if (!accepting() || std::memcmp(peer_.Magic, kMagic, sizeof kMagic) != 0) return false;
    }
    for (std::size_t i = 0; i < sizeof peer_.Pattern; ++i) {
      if (peer_.Pattern[i] != pattern_byte(peer_.Seed, i)) return false;
    }
    return true;
  }

  const ZekVerbsInterface* v_;
  const ZekKernelSocketTable* s_;
  const RdmaRequest q_;
  Report& r_;
  void* adapter_ = nullptr;
  void* pd_ = nullptr;
  void* cq_ = nullptr;
  std::uint64_t qp_ = 0;
  int listener_ = -1;
  int socket_ = -1;
  std::uint32_t stag_ = 0;
  std::uint64_t address_ = 0;
  std::uint32_t length_ = 0;
  EndRecord peer_{};
  bool crc_ = false;
  bool my_markers_ = false;
  bool peer_markers_ = false;
  bool reply_ = false;  // the accepting end's reply still to go (with the hand-over)
  std::uint8_t reply_frame_[ZEK_MPA_HEADER_BYTES + sizeof(EndRecord)] = {};
};

}  // namespace

bool run_rdma(const RdmaRequest& request, Report& r) {
  const KernelTables t = kernel_tables();
  if (t.verbs == nullptr || t.sockets == nullptr) return false;
  Session session(t, request, r);
  if (!session.open()) return false;
  if (session.objects() && session.connect() && session.exchange_startup_frames()) session.hand_over();
  return true;
}

}  // namespace verbstest
