// One end of an RDMA connection between two hosts, run by the kernel verbs
// client driver as a kernel client runs it: the verbs through the kernel
// verbs table, the connection through the kernel socket-call table.
//
//  1. Open the verbs adapter on this host's SAN address; a PD, a CQ, a
//     queue pair (idle), a region over a kernel buffer (every right), a
//     memory window and an STag for fast registration; receives posted.
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
//  5. The operations, the connecting end leading and small Sends (control
//     messages) keeping the two ends in step: Send/Receive both ways, RDMA
//     Write, RDMA Read, a window bound by the accepting end and written
//     through, Send with Invalidate of that window, a fast registration
//     written through and invalidated locally, unsignalled sends, and the
//     flush of the receives left when each end moves its queue pair to
//     ERROR. Each end checks every byte that lands in its own memory.
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
  std::uint32_t Seed;  // the pattern below (and the source area's) is made from it
  std::uint8_t Pattern[32];
};
static_assert(sizeof(EndRecord) == 64);
constexpr char kMagic[8] = "zekrdma";

// Each end's buffer, one region: the source area (its pattern), the sink
// (where the peer writes and what it reads), the receive slots and the
// control messages sent.
constexpr std::uint32_t kSource = 0;
constexpr std::uint32_t kSourceBytes = 1u << 20;
constexpr std::uint32_t kSink = kSourceBytes;
constexpr std::uint32_t kSinkBytes = 1u << 20;
constexpr std::uint32_t kSlots = kSink + kSinkBytes;
constexpr std::uint32_t kSlotBytes = 32 * 1024;
constexpr std::uint32_t kSlotCount = 24;
constexpr std::uint32_t kControl = kSlots + kSlotBytes * kSlotCount;
constexpr std::uint32_t kControlBytes = 4096;
constexpr std::uint32_t kBufferBytes = kControl + kControlBytes;
constexpr ULONG kPoolTag = 0x41445A4B;  // "KZDA"

// Where the accepting end binds its window and fast-registers (in its sink).
constexpr std::uint32_t kWindowAt = kSink + 0x80F00;
constexpr std::uint32_t kWindowBytes = 0x3000;
constexpr std::uint32_t kFastAt = kSink + 0xC0000;
constexpr std::uint32_t kFastBytes = 0x5000;
constexpr std::uint8_t kFastKey = 0x3C;
constexpr std::uint32_t kFastPages = 8;  // page-list entries of its STag
constexpr std::uint8_t kWindowKey = 0x5A;
constexpr std::uint32_t kUnsignalled = 8;
constexpr std::uint32_t kUnsignalledBytes = 1000;

// Control messages (the payload of a small Send).
enum Control : std::uint32_t {
  kWritten = 1,  // the connecting end's write is done: A = offset in the peer's sink, B = bytes
  kWindow,       // the window is bound: A = STag, B = bytes, Address
  kFast,         // the fast registration is done: A = STag, B = bytes, Address
  kChecked,      // the accepting end checked what the step left in its memory
  kBye,
};
struct ControlMessage {
  std::uint32_t Kind;
  std::uint32_t A;
  std::uint32_t B;
  std::uint32_t Reserved;
  std::uint64_t Address;
};

std::uint8_t pattern_byte(std::uint32_t seed, std::size_t i) {
  return static_cast<std::uint8_t>((i * 31 + seed * 7 + i / 4091) & 0xFF);
}

std::uint64_t now_ns() {
  LARGE_INTEGER frequency;
  const LARGE_INTEGER ticks = KeQueryPerformanceCounter(&frequency);
  return static_cast<std::uint64_t>(static_cast<long double>(ticks.QuadPart) * 1e9L /
                                    static_cast<long double>(frequency.QuadPart));
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
    if (buffer_ != nullptr) ExFreePoolWithTag(buffer_, kPoolTag);
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
    for (void* slot : {reinterpret_cast<void*>(v_->QpModify), reinterpret_cast<void*>(v_->QpPostSq),
                       reinterpret_cast<void*>(v_->QpPostRq), reinterpret_cast<void*>(v_->MrRegisterNonshared),
                       reinterpret_cast<void*>(v_->MrAllocNonsharedStag), reinterpret_cast<void*>(v_->MwAlloc),
                       reinterpret_cast<void*>(v_->MrDealloc), reinterpret_cast<void*>(v_->MwQuery),
                       reinterpret_cast<void*>(v_->MrQuery)}) {
      if (slot == nullptr) {
        r_.expect("the verbs table offers modify, posting, regions and windows", false);
        return false;
      }
    }
    std::uint32_t entries = 0;
    if (!ok("pd allocate", v_->PdAllocate(adapter_, &pd_))) return false;
    if (!ok("cq create", v_->CqCreate(adapter_, &cq_, &entries, nullptr, nullptr, 512))) return false;
    ZekQpCreateInput in{};
    in.Pd = reinterpret_cast<std::uint64_t>(pd_);
    in.SendCq = in.RecvCq = reinterpret_cast<std::uint64_t>(cq_);
    in.SqSize = in.RqSize = 126;
    in.SqSges = in.RqSges = in.RdmaWSges = 4;
    in.Ord = in.Ird = 8;
    ZekQpAttributes out{};
    if (!ok("qp create", v_->QpCreate(adapter_, &in, &out, &qp_))) return false;
    buffer_ = static_cast<std::uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, kBufferBytes, kPoolTag));
    if (buffer_ == nullptr) {
      r_.expect("a buffer of the pool", false);
      return false;
    }
    std::memset(buffer_, 0, kBufferBytes);
    for (std::uint32_t i = 0; i < kSourceBytes; ++i) buffer_[kSource + i] = pattern_byte(q_.Local, i);
    ZekMrRegisterRequest mr{};
    mr.Address = reinterpret_cast<std::uint64_t>(buffer_);
    mr.Length = kBufferBytes;
    mr.Access = ZEK_ACCESS_LOCAL_READ | ZEK_ACCESS_LOCAL_WRITE | ZEK_ACCESS_REMOTE_READ | ZEK_ACCESS_REMOTE_WRITE;
    mr.Key = static_cast<std::uint8_t>(q_.Local);
    if (!ok("register the buffer", v_->MrRegisterNonshared(adapter_, pd_, &mr, &stag_, &address_))) return false;
    length_ = kBufferBytes;
    if (!ok("window allocate", v_->MwAlloc(adapter_, pd_, &window_))) return false;
    std::uint32_t list = 0;
    if (!ok("STag allocate for fast registration",
            v_->MrAllocNonsharedStag(adapter_, pd_, kFastPages, 0, &fast_, &list))) {
      return false;
    }
    // Every receive slot gets a receive before the hand-over, so nothing the
    // peer sends finds none.
    for (std::uint32_t i = 0; i < kSlotCount; ++i) {
      if (!post_receive(i)) return false;
    }
    return true;
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
    r_.line("MPA %s: CRC %s, markers to this end %s, to the peer %s; peer queue pair %u, region 0x%x of %u bytes\n",
            accepting() ? "request read, reply built" : "request sent, reply read", crc_ ? "on" : "off",
            my_markers_ ? "on" : "off", peer_markers_ ? "on" : "off", peer_.Qp, peer_.Stag, peer_.Length);
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

  // The operations, each end's part (or the timed runs).
  bool operations() {
    if ((q_.Flags & kRdmaBench) != 0) return accepting() ? bench_accept_side() : bench_connect_side();
    return accepting() ? accept_side() : connect_side();
  }

  bool accepting() const { return q_.Role == kRoleAccept; }

 private:
  // ---- The connecting end ---------------------------------------------------------------------------------
  bool connect_side() {
    // Send/Receive: 20000 bytes to the peer, 30000 back (with the solicited event).
    if (!send_data(ZEK_WR_SEND, kSource + 100, 20000, true)) return false;
    if (!receive_data("receive of the peer's send", kSource + 0x7000, 30000)) return false;
    // RDMA Write of 150000 bytes into the peer's sink, then a Send saying so.
    if (!write_remote("RDMA write", kSource + 0x10000, 150000, peer_.Address + kSink + 0x123, peer_.Stag)) {
      return false;
    }
    if (!send_control({kWritten, 0x123, 150000, 0, 0}) || !expect_control("the peer checked the write", kChecked)) {
      return false;
    }
    // RDMA Read of 60000 bytes of the peer's source area.
    if (!read_remote(kSink + 0x40, 60000, peer_.Address + kSource + 0x20000, peer_.Stag)) return false;
    r_.expect("RDMA read: the peer's bytes, every one", matches(kSink + 0x40, 60000, peer_.Seed, 0x20000));
    // Through the peer's window, then a Send with Invalidate of it.
    ControlMessage window{};
    if (!expect_control("the peer's window", kWindow, &window)) return false;
    if (!write_remote("RDMA write through the peer's window", kSource + 0x30000, window.B, window.Address, window.A)) {
      return false;
    }
    if (!send_data(ZEK_WR_SEND_INVALIDATE, kSource + 0x31000, 64, true, window.A)) return false;
    if (!expect_control("the peer checked the window", kChecked)) return false;
    // Into the peer's fast registration.
    ControlMessage fast{};
    if (!expect_control("the peer's fast registration", kFast, &fast)) return false;
    if (!write_remote("RDMA write into the fast registration", kSource + 0x50000, fast.B, fast.Address, fast.A)) {
      return false;
    }
    if (!send_control({kWritten, 0, fast.B, 0, 0}) ||
        !expect_control("the peer checked the fast registration", kChecked)) {
      return false;
    }
    // Unsignalled sends: only the last of the batch completes.
    if (!unsignalled_sends()) return false;
    // The goodbye is answered, and the answer's completion waited for,
    // before the move to ERROR resets the connection: neither end's last
    // send can then be cut off by the other's reset.
    if (!expect_control("the peer's goodbye", kBye)) return false;
    // The answer's completion means the peer's end has acknowledged it,
    // and with it already its own goodbye: only then may this end's move to
    // ERROR reset the connection.
    if (!send_control({kChecked, 0, 0, 0, 0})) return false;
    return flush_on_close();
  }

  // ---- The accepting end -----------------------------------------------------------------------------------
  bool accept_side() {
    if (!receive_data("receive of the peer's send", kSource + 100, 20000)) return false;
    if (!send_data(ZEK_WR_SEND_SOLICITED, kSource + 0x7000, 30000, true)) return false;
    ControlMessage written{};
    if (!expect_control("the peer's write is done", kWritten, &written)) return false;
    r_.expect("RDMA write: the peer's bytes in the sink, every one",
              matches(kSink + written.A, written.B, peer_.Seed, 0x10000) && untouched(kSink, written.A) &&
                  untouched(kSink + written.A + written.B, 0x1000));
    if (!send_control({kChecked, 0, 0, 0, 0})) return false;
    // A window over a page boundary of the sink, remote write only.
    ZekBindWr bind{};
    bind.WrId = 0xB1;
    bind.Op = ZEK_WR_BIND;
    bind.Signalled = 1;
    bind.RegionStag = stag_;
    bind.Length = kWindowBytes;
    bind.Va = address_ + kWindowAt;
    bind.RemoteWrite = 1;
    bind.WindowStag = window_ & ~0xFFu;
    bind.Key = kWindowKey;
    if (!post_send(reinterpret_cast<const ZekSendWr*>(&bind), "bind the window")) return false;
    if (!send_completion("bind the window", 0xB1)) return false;
    const std::uint32_t window = (window_ & ~0xFFu) | kWindowKey;
    ZekMwQueryInfo w{};
    r_.check("the bound window's query", v_->MwQuery(adapter_, &w, window), 0);
    r_.check("  valid", w.Valid, 1);
    if (!send_control({kWindow, window, kWindowBytes, 0, address_ + kWindowAt})) return false;
    // The peer writes through it, then invalidates it with its Send.
    ZekWorkCompletion c{};
    if (!receive_completion("receive of the send with invalidate", &c)) return false;
    r_.check("  the invalidated STag reported", c.ImmediateFlag != 0 ? c.Immediate : 0, window);
    r_.expect(
        "  its 64 bytes as sent",
        c.Length == 64 && matches(kSlots + static_cast<std::uint32_t>(c.WrId) * kSlotBytes, 64, peer_.Seed, 0x31000));
    r_.expect("RDMA write through the window: the peer's bytes, every one",
              matches(kWindowAt, kWindowBytes, peer_.Seed, 0x30000) && untouched(kWindowAt - 0x100, 0x100) &&
                  untouched(kWindowAt + kWindowBytes, 0x100));
    r_.check("the invalidated window's query", v_->MwQuery(adapter_, &w, window), 0);
    r_.check("  valid", w.Valid, 0);
    if (!send_control({kChecked, 0, 0, 0, 0})) return false;
    // A fast registration over the kernel buffer, remote read and write.
    ZekFastRegisterWr fr{};
    fr.WrId = 0xF1;
    fr.Op = ZEK_WR_FAST_REGISTER;
    fr.Signalled = 1;
    fr.Length = kFastBytes;
    fr.Buffer = reinterpret_cast<std::uint64_t>(buffer_ + kFastAt);
    fr.Access = ZEK_ACCESS_LOCAL_READ | ZEK_ACCESS_LOCAL_WRITE | ZEK_ACCESS_REMOTE_READ | ZEK_ACCESS_REMOTE_WRITE;
    fr.Stag = fast_ & ~0xFFu;
    fr.Key = kFastKey;
    if (!post_send(reinterpret_cast<const ZekSendWr*>(&fr), "fast register")) return false;
    if (!send_completion("fast register", 0xF1)) return false;
    const std::uint32_t fast = (fast_ & ~0xFFu) | kFastKey;
    if (!send_control({kFast, fast, kFastBytes, 0, reinterpret_cast<std::uint64_t>(buffer_ + kFastAt)})) {
      return false;
    }
    if (!expect_control("the peer's write into the fast registration is done", kWritten)) return false;
    r_.expect("RDMA write into the fast registration: the peer's bytes, every one",
              matches(kFastAt, kFastBytes, peer_.Seed, 0x50000) && untouched(kFastAt + kFastBytes, 0x100));
    ZekLocalInvalidateWr inv{};
    inv.WrId = 0x11;
    inv.Op = ZEK_WR_LOCAL_INVALIDATE;
    inv.Signalled = 1;
    inv.Stag = fast;
    if (!post_send(reinterpret_cast<const ZekSendWr*>(&inv), "local invalidate")) return false;
    if (!send_completion("local invalidate", 0x11)) return false;
    ZekMrQueryInfo m{};
    r_.check("the invalidated fast registration's query", v_->MrQuery(adapter_, &m, fast), 0);
    r_.check("  valid", m.Valid, 0);
    if (!send_control({kChecked, 0, 0, 0, 0})) return false;
    // The peer's unsignalled sends, each checked.
    bool all = true;
    for (std::uint32_t i = 0; i < kUnsignalled; ++i) {
      all = receive_data("receive of an unsignalled send", kSource + 0x60000 + i * kUnsignalledBytes, kUnsignalledBytes,
                         false) &&
            all;
    }
    r_.expect("unsignalled sends: every message, every byte", all);
    if (!send_control({kBye, 0, 0, 0, 0}) || !expect_control("the peer's answer to the goodbye", kChecked)) {
      return false;
    }
    // The peer moves to ERROR once its answer is acknowledged; this end
    // waits for that reset, so its own cannot cut the answer off.
    r_.expect("the peer's reset moves the queue pair to ERROR", wait_state(ZEK_QP_STATE_ERROR));
    return flush_on_close();
  }

  // ---- The timed runs -------------------------------------------------------------------------------------
  // RDMA Writes of 1 MiB from the source area into the peer's sink, up to
  // 16 in flight; then the 8-byte ping-pong.
  bool bench_connect_side() {
    constexpr std::uint32_t kInFlight = 16;
    const std::uint64_t start = now_ns();
    std::uint32_t posted = 0, done = 0;
    while (done < q_.Writes) {
      while (posted < q_.Writes && posted - done < kInFlight) {
        const ZekSge sge{address_ + kSource, kSourceBytes, stag_};
        ZekSendWr wr{};
        wr.WrId = ++send_id_;
        wr.Op = ZEK_WR_RDMA_WRITE;
        wr.Signalled = 1;
        wr.Sgl = &sge;
        wr.SgeCount = 1;
        wr.Remote = peer_.Address + kSink;
        wr.RemoteStag = peer_.Stag;
        if (!post_send(&wr, "timed RDMA write")) return false;
        ++posted;
      }
      ZekWorkCompletion c{};
      if (!wait_completion(false, &c) || c.Status != 0) {
        r_.expect("timed RDMA write completes", false);
        return false;
      }
      ++done;
    }
    const std::uint64_t elapsed = now_ns() - start;
    r_.line("bench write bytes=%llu ns=%llu\n",
            static_cast<unsigned long long>(std::uint64_t{q_.Writes} * kSourceBytes),
            static_cast<unsigned long long>(elapsed));
    const std::uint64_t trips_start = now_ns();
    for (std::uint32_t i = 1; i <= q_.PingPongs; ++i) {
      if (!ping(i) || !await_pong(i)) return false;
    }
    const std::uint64_t trips = now_ns() - trips_start;
    r_.line("bench pingpong trips=%u ns=%llu\n", q_.PingPongs, static_cast<unsigned long long>(trips));
    return reap() && send_control({kBye, 0, 0, 0, 0});
  }

  bool bench_accept_side() {
    for (std::uint32_t i = 1; i <= q_.PingPongs; ++i) {
      if (!await_pong(i) || !ping(i)) return false;
    }
    if (!reap() || !expect_control("the peer's goodbye", kBye)) return false;
    // The ping-pong wrote the first word.
    r_.expect("the sink holds the peer's 1 MiB writes, every byte",
              q_.Writes == 0 || matches(kSink + 8, kSinkBytes - 8, peer_.Seed, 8));
    return true;
  }

  // One 8-byte RDMA Write of `value` into the first word of the peer's
  // sink; its completion is taken later (at most 32 wait).
  bool ping(std::uint64_t value) {
    std::memcpy(buffer_ + kControl + 64, &value, sizeof value);
    const ZekSge sge{address_ + kControl + 64, 8, stag_};
    ZekSendWr wr{};
    wr.WrId = ++send_id_;
    wr.Op = ZEK_WR_RDMA_WRITE;
    wr.Signalled = 1;
    wr.Sgl = &sge;
    wr.SgeCount = 1;
    wr.Remote = peer_.Address + kSink;
    wr.RemoteStag = peer_.Stag;
    if (!post_send(&wr, "8-byte RDMA write")) return false;
    ++unreaped_;
    for (ZekWorkCompletion c{}; unreaped_ > 0 && v_->CqPollCompletion(adapter_, cq_, &c) == 0;) {
      if (c.OpCode == ZEK_WC_RECEIVE) {
        receives_.put(c);
      } else {
        --unreaped_;
      }
    }
    while (unreaped_ > 32) {
      ZekWorkCompletion c{};
      if (!wait_completion(false, &c)) return false;
      --unreaped_;
    }
    return true;
  }

  // The completions of the timed writes not taken yet.
  bool reap() {
    for (ZekWorkCompletion c{}; unreaped_ > 0; --unreaped_) {
      if (!wait_completion(false, &c) || c.Status != 0) {
        r_.expect("8-byte RDMA writes complete", false);
        return false;
      }
    }
    return true;
  }

  // Until the peer's write of `value` lands in the first word of the sink.
  bool await_pong(std::uint64_t value) {
    const auto* word = reinterpret_cast<const std::uint64_t*>(buffer_ + kSink);
    const std::uint64_t end = now_ns() + std::uint64_t{q_.WaitMs} * 1'000'000;
    for (std::uint32_t spins = 0; __atomic_load_n(word, __ATOMIC_ACQUIRE) != value; ++spins) {
      if ((spins & 0xFFF) == 0 && now_ns() > end) {
        r_.line("8-byte RDMA write %llu: not there within the wait FAIL\n", static_cast<unsigned long long>(value));
        r_.expect("ping-pong", false);
        return false;
      }
    }
    return true;
  }

  // ---- Steps both ends take -------------------------------------------------------------------------------
  bool unsignalled_sends() {
    ZekSge sge[kUnsignalled];
    ZekSendWr wr[kUnsignalled];
    for (std::uint32_t i = 0; i < kUnsignalled; ++i) {
      sge[i] = {address_ + kSource + 0x60000 + i * kUnsignalledBytes, kUnsignalledBytes, stag_};
      wr[i] = {};
      wr[i].WrId = 0x500 + i;
      wr[i].Op = ZEK_WR_SEND;
      wr[i].Signalled = i + 1 == kUnsignalled;
      wr[i].Sgl = &sge[i];
      wr[i].SgeCount = 1;
    }
    std::uint32_t posted = 0;
    r_.check("post of a batch of sends, the last signalled", v_->QpPostSq(adapter_, qp_, wr, &posted, kUnsignalled), 0);
    r_.check("  posted", posted, kUnsignalled);
    ZekWorkCompletion c{};
    if (!wait_completion(false, &c)) {
      r_.expect("the batch's completion", false);
      return false;
    }
    r_.check("  the only completion is the signalled one's", c.WrId, 0x500 + kUnsignalled - 1);
    r_.check("  its status", c.Status, 0);
    // The unsignalled ones would have come before it: whatever the CQ holds
    // now (the peer's messages may be there) has no send completion.
    for (ZekWorkCompletion more{}; v_->CqPollCompletion(adapter_, cq_, &more) == 0;) {
      (more.OpCode == ZEK_WC_RECEIVE ? receives_ : sends_).put(more);
    }
    r_.check("  and no other send completion", sends_.count, 0);
    return true;
  }

  // The queue pair to ERROR: every receive still posted comes back flushed,
  // in order, and nothing else.
  // The queue pair's state, 0 when the query fails.
  std::uint32_t state() {
    ZekQpAttributes q{};
    return v_->QpQuery(adapter_, qp_, &q) == 0 ? q.State : 0;
  }

  bool wait_state(std::uint32_t wanted) {
    for (std::uint32_t waited = 0; state() != wanted; ++waited) {
      if (waited >= q_.WaitMs) return false;
      sleep_ms(1);
    }
    return true;
  }

  bool flush_on_close() {
    // A queue pair the peer's reset already moved to ERROR has its
    // receives flushed by that move; a modify that meets the reset's own
    // (busy) waits for it to end.
    if (state() != ZEK_QP_STATE_ERROR) {
      ZekQpModifyInput in{};
      in.Mask = ZEK_QP_MODIFY_STATE;
      in.State = ZEK_QP_STATE_ERROR;
      ZekQpModifyOutput out{};
      ZekStatus s = v_->QpModify(adapter_, qp_, &in, &out);
      if (s == IWARP_STATUS_QP_ALREADY_IN_USE && wait_state(ZEK_QP_STATE_ERROR)) s = 0;
      r_.check("modify to ERROR", s, 0);
    }
    const std::uint32_t outstanding = kSlotCount - received_;
    std::uint32_t flushed = 0;
    bool in_order = true;
    ZekWorkCompletion c{};
    while (flushed < outstanding && wait_completion(true, &c)) {
      in_order = in_order && c.Status != 0 && c.WrId == received_ + flushed;
      ++flushed;
    }
    r_.check("flushed receives", flushed, outstanding);
    r_.expect("  each flushed, in order", in_order);
    r_.check("  then the CQ is empty", v_->CqPollCompletion(adapter_, cq_, &c), IWARP_STATUS_CQ_EMPTY);
    return true;
  }

  bool post_receive(std::uint32_t slot) {
    const ZekSge sge{address_ + kSlots + slot * kSlotBytes, kSlotBytes, stag_};
    const ZekRecvWr wr{slot, &sge, 1, 0};
    std::uint32_t posted = 0;
    const ZekStatus status = v_->QpPostRq(adapter_, qp_, &wr, nullptr, &posted, 1);
    if (status != 0 || posted != 1) {
      r_.check("post receive", status, 0);
      return false;
    }
    return true;
  }

  bool post_send(const ZekSendWr* wr, const char* name) {
    std::uint32_t posted = 0;
    const ZekStatus status = v_->QpPostSq(adapter_, qp_, wr, &posted, 1);
    if (status != 0 || posted != 1) {
      r_.check(name, status, 0);
      return false;
    }
    return true;
  }

  // A Send (or another send operation) of `bytes` of this end's buffer.
  bool send_data(std::int32_t op, std::uint32_t at, std::uint32_t bytes, bool signalled, std::uint32_t invalidate = 0) {
    const ZekSge sge{address_ + at, bytes, stag_};
    ZekSendWr wr{};
    wr.WrId = ++send_id_;
    wr.Op = op;
    wr.Signalled = signalled ? 1 : 0;
    wr.Sgl = &sge;
    wr.SgeCount = 1;
    wr.Remote = invalidate;
    const char* name = op == ZEK_WR_SEND_INVALIDATE  ? "send with invalidate"
                       : op == ZEK_WR_SEND_SOLICITED ? "send with solicited event"
                                                     : "send";
    if (!post_send(&wr, name)) return false;
    return !signalled || send_completion(name, wr.WrId);
  }

  bool send_control(const ControlMessage& m) {
    std::memcpy(buffer_ + kControl, &m, sizeof m);
    return send_data(ZEK_WR_SEND, kControl, sizeof m, true);
  }

  bool write_remote(const char* name, std::uint32_t at, std::uint32_t bytes, std::uint64_t remote,
                    std::uint32_t remote_stag) {
    const ZekSge sge{address_ + at, bytes, stag_};
    ZekSendWr wr{};
    wr.WrId = ++send_id_;
    wr.Op = ZEK_WR_RDMA_WRITE;
    wr.Signalled = 1;
    wr.Sgl = &sge;
    wr.SgeCount = 1;
    wr.Remote = remote;
    wr.RemoteStag = remote_stag;
    return post_send(&wr, name) && send_completion(name, wr.WrId);
  }

  bool read_remote(std::uint32_t at, std::uint32_t bytes, std::uint64_t remote, std::uint32_t remote_stag) {
    const ZekSge sge{address_ + at, bytes, stag_};
    ZekSendWr wr{};
    wr.WrId = ++send_id_;
    wr.Op = ZEK_WR_RDMA_READ;
    wr.Signalled = 1;
    wr.Sgl = &sge;
    wr.SgeCount = 1;
    wr.Remote = remote;
    wr.RemoteStag = remote_stag;
    return post_send(&wr, "RDMA read") && send_completion("RDMA read", wr.WrId);
  }

  // The next completion of the send (false) or receive (true) side, waited
  // for at most WaitMs; the other side's completions wait their turn.
  bool wait_completion(bool receive, ZekWorkCompletion* out) {
    Pending& mine = receive ? receives_ : sends_;
    for (std::uint32_t waited = 0;;) {
      if (mine.take(out)) return true;
      ZekWorkCompletion c{};
      const ZekStatus status = v_->CqPollCompletion(adapter_, cq_, &c);
      if (status == 0) {
        (c.OpCode == ZEK_WC_RECEIVE ? receives_ : sends_).put(c);
        continue;
      }
      if (status != IWARP_STATUS_CQ_EMPTY || waited >= q_.WaitMs) return false;
      sleep_ms(1);
      ++waited;
    }
  }

  bool send_completion(const char* name, std::uint64_t id) {
    ZekWorkCompletion c{};
    if (!wait_completion(false, &c)) {
      r_.line("%s: no completion within the wait FAIL\n", name);
      r_.expect(name, false);
      return false;
    }
    if (c.WrId != id || c.Status != 0) {
      r_.line("%s: completion of 0x%llx with status 0x%x FAIL\n", name, static_cast<unsigned long long>(c.WrId),
              c.Status);
      r_.expect(name, false);
      return false;
    }
    r_.line("%s ok\n", name);
    return true;
  }

  // The next receive; its slot gets no new receive (the flush counts them).
  bool receive_completion(const char* name, ZekWorkCompletion* c) {
    if (!wait_completion(true, c)) {
      r_.line("%s: no completion within the wait FAIL\n", name);
      r_.expect(name, false);
      return false;
    }
    if (c->WrId != received_ || c->Status != 0) {
      r_.line("%s: completion of 0x%llx with status 0x%x (slot %u expected) FAIL\n", name,
              static_cast<unsigned long long>(c->WrId), c->Status, received_);
      r_.expect(name, false);
      return false;
    }
    ++received_;
    return true;
  }

  // A receive of `bytes` that must equal the peer's source area from `from`.
  bool receive_data(const char* name, std::uint32_t from, std::uint32_t bytes, bool report = true) {
    ZekWorkCompletion c{};
    if (!receive_completion(name, &c)) return false;
    const bool intact =
        c.Length == bytes && matches(kSlots + static_cast<std::uint32_t>(c.WrId) * kSlotBytes, bytes, peer_.Seed, from);
    if (report || !intact) {
      r_.line("%s: %u bytes%s %s\n", name, c.Length, intact ? ", every byte as sent" : " differ",
              intact ? "ok" : "FAIL");
      if (!intact) r_.expect(name, false);
    }
    return intact;
  }

  bool expect_control(const char* name, std::uint32_t kind, ControlMessage* out = nullptr) {
    ZekWorkCompletion c{};
    if (!receive_completion(name, &c)) return false;
    ControlMessage m{};
    std::memcpy(&m, buffer_ + kSlots + c.WrId * kSlotBytes, sizeof m);
    if (c.Length != sizeof m || m.Kind != kind) {
      r_.line("%s: a message of %u bytes, kind %u FAIL\n", name, c.Length, m.Kind);
      r_.expect(name, false);
      return false;
    }
    if (out != nullptr) *out = m;
    return true;
  }

  // `bytes` of this end's buffer at `at` equal the pattern of `seed` from `from`.
  bool matches(std::uint32_t at, std::uint32_t bytes, std::uint32_t seed, std::uint32_t from) const {
    if (at + static_cast<std::uint64_t>(bytes) > kBufferBytes) return false;
    for (std::uint32_t i = 0; i < bytes; ++i) {
      if (buffer_[at + i] != pattern_byte(seed, from + i)) return false;
    }
    return true;
  }
  // Nothing landed there (the sink starts zeroed).
  bool untouched(std::uint32_t at, std::uint32_t bytes) const {
    for (std::uint32_t i = 0; i < bytes; ++i) {
      if (buffer_[at + i] != 0) return false;
    }
    return true;
  }

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
    if (std::memcmp(peer_.Magic, kMagic, sizeof kMagic) != 0) return false;
    // The connecting end knows whom it called; the accepting end learns the
    // peer's address from the record.
    if (!accepting() && peer_.Seed != q_.Peer) return false;
    for (std::size_t i = 0; i < sizeof peer_.Pattern; ++i) {
      if (peer_.Pattern[i] != pattern_byte(peer_.Seed, i)) return false;
    }
    return true;
  }

  // Completions polled while another side's was waited for.
  struct Pending {
    ZekWorkCompletion items[64];
    std::uint32_t head = 0;
    std::uint32_t count = 0;
    void put(const ZekWorkCompletion& c) {
      if (count == 64) return;  // more than the session ever has outstanding
      items[(head + count++) % 64] = c;
    }
    bool take(ZekWorkCompletion* out) {
      if (count == 0) return false;
      *out = items[head];
      head = (head + 1) % 64;
      --count;
      return true;
    }
  };

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
  std::uint8_t* buffer_ = nullptr;
  std::uint32_t stag_ = 0;
  std::uint64_t address_ = 0;
  std::uint32_t length_ = 0;
  std::uint32_t window_ = 0;
  std::uint32_t fast_ = 0;
  std::uint64_t send_id_ = 0x100;
  std::uint32_t received_ = 0;  // receives completed (slots in order)
  std::uint32_t unreaped_ = 0;  // timed writes whose completion was not taken yet
  Pending sends_;
  Pending receives_;
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
  if (session.objects() && session.connect() && session.exchange_startup_frames() && session.hand_over()) {
    session.operations();
  }
  return true;
}

}  // namespace verbstest
