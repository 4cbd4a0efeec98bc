// One end of the notification stress between two hosts: a user process that
// moves data between its queue pairs and its peer's (a process on the other
// host) through the verbs requests alone, and learns of every completion
// through the event wait.
//
//   zeknotifystress accept|connect LOCAL PEER PORT SYNC NAME QPS WRITES SENDS
//
// The process opens the adapter of its SAN address LOCAL, makes a PD, a
// region over a heap buffer, QPS CQs (each with a user completion handler,
// so its completions are notified) and QPS queue pairs, queue pair i sending
// into CQ i and receiving into CQ i + 1 (so a CQ serves two queues). Each
// queue pair takes a host-stack TCP connection with the peer (the accepting
// end listens on LOCAL:PORT, the connecting end connects to PEER:PORT), over
// which both ends first exchange their region's STag and address; then the
// connection is handed to the adapter.
//
// Once both ends have handed over and posted SENDS receives on every queue
// pair (a barrier through files SYNC/NAME.ROLE.STAGE), a producer thread
// posts, on every queue pair, WRITES signalled RDMA writes into the peer's
// region and SENDS sends (never more than the peer's posted receives), the
// send ring never over-full; a consumer thread waits through the event wait,
// and for every CQ it is told of polls until empty, arms the CQ again and
// polls once more. Every work request's id must be completed exactly once,
// with success, and nothing else; no asynchronous event must come. The whole
// run is bounded: past a deadline the terminate request releases the
// consumer and the missing completions are reported. Then the ends meet once
// more and take everything down.
//
// Output: "FAILED: ..." lines, a "notified N waits M completions C" line,
// and "F failures". Exit code 0 when every check held.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "include/zek/ioctl.h"
#include "include/zek/notify.h"
#include "include/zek/verbs_requests.h"
#include "include/zek/zekbase.h"
#include "include/zek/zeksock.h"
#include "platform/user/win32.h"
#include "tests/support/proxy_client.h"

namespace {

using proxyclient::check;
using proxyclient::g_failures;
using proxyclient::g_proxy;
using proxyclient::send;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kSqSize = 16;
constexpr std::uint32_t kSlot = 256;        // one receive's buffer
constexpr std::uint32_t kWriteArea = 4096;  // each queue pair's part of the peer's region
constexpr auto kBarrierLimit = std::chrono::seconds(60);
constexpr auto kRunLimit = std::chrono::seconds(90);

// Work-request ids: the queue pair, the kind and the sequence number.
enum Kind : std::uint64_t { kWrite = 1, kSend = 2, kReceive = 3 };
std::uint64_t wr_id(std::uint32_t qp, Kind kind, std::uint32_t seq) {
  return std::uint64_t{qp} << 40 | std::uint64_t{kind} << 32 | seq;
}
std::uint32_t send_length(std::uint32_t seq) { return 64 + seq % 128; }

struct Options {
  bool accepting = false;
  std::string local, peer, sync, name;
  std::uint16_t port = 0;
  std::uint32_t qps = 0, writes = 0, sends = 0;
};

// What each end tells the other over the connection before the hand-over.
struct EndRecord {
  std::uint32_t Magic;
  std::uint32_t Index;  // the queue pair's number on both ends
  std::uint32_t Stag;
  std::uint32_t Length;
  std::uint64_t Address;
};
constexpr std::uint32_t kMagic = 0x4E4F5446;

const ZekUserSocketTable* g_sock = nullptr;

// The consumer's own handle of the driver. Synchronous requests on one
// handle are carried out one after another, so the event wait, which
// blocks until something arrives, would hold up every post and the
// terminate request sent on the same handle.
HANDLE g_waiter = INVALID_HANDLE_VALUE;
template <typename T>
bool send_waiting(DWORD code, T* record) {
  DWORD bytes = 0;
  return DeviceIoControl(g_waiter, code, record, sizeof(T), record, sizeof(T), &bytes, nullptr) != FALSE;
}

// ---- The barrier between the two ends ------------------------------------------------------------------------
bool barrier(const Options& o, const std::string& stage) {
  const std::string mine = o.accepting ? "accept" : "connect";
  const std::string theirs = o.accepting ? "connect" : "accept";
  const std::filesystem::path dir(o.sync);
  std::ofstream(dir / (o.name + "." + mine + "." + stage)) << "here\n";
  const auto end = Clock::now() + kBarrierLimit;
  while (!std::filesystem::exists(dir / (o.name + "." + theirs + "." + stage))) {
    if (Clock::now() > end) {
      check(false, "the peer did not reach " + stage);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// ---- Sockets ---------------------------------------------------------------------------------------------------
ZekSanAddress socket_address(const std::string& text, std::uint16_t port) {
  ZekSanAddress a{};
  a.Family = static_cast<std::uint16_t>(16 | (2 << 8));
  a.Port = __builtin_bswap16(port);
  a.Address = g_sock->inet_addr(text.c_str());
  return a;
}

bool send_all(std::int64_t s, const void* data, std::size_t n) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (n > 0) {
    const int sent = g_sock->send(s, p, static_cast<int>(n), 0);
    if (sent <= 0) return false;
    p += sent;
    n -= static_cast<std::size_t>(sent);
  }
  return true;
}

bool recv_all(std::int64_t s, void* data, std::size_t n) {
  auto* p = static_cast<std::uint8_t*>(data);
  while (n > 0) {
    const int got = g_sock->recv(s, p, static_cast<int>(n), 0);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

// The connections of every queue pair, in order: the accepting end takes
// them on one listener, the connecting end makes them one after another.
std::vector<std::int64_t> connections(const Options& o) {
  std::vector<std::int64_t> out;
  if (o.accepting) {
    const std::int64_t l = g_sock->socket(2, 1, 0);
    const ZekSanAddress a = socket_address(o.local, o.port);
    check(l >= 0 && g_sock->bind(l, &a, sizeof a) == 0 && g_sock->listen(l, 8) == 0, "the listener");
    barrier(o, "listening");
    for (std::uint32_t i = 0; i < o.qps; ++i) {
      ZekSanAddress from{};
      std::uint32_t length = sizeof from;
      const std::int64_t s = g_sock->accept(l, &from, &length);
      check(s >= 0, "accepting connection " + std::to_string(i) + " (errno " + std::to_string(zek_errno) + ")");
      out.push_back(s);
    }
    g_sock->close(l);
  } else {
    barrier(o, "listening");
    for (std::uint32_t i = 0; i < o.qps; ++i) {
      const std::int64_t s = g_sock->socket(2, 1, 0);
      const ZekSanAddress from = socket_address(o.local, 0);
      const ZekSanAddress to = socket_address(o.peer, o.port);
      const bool ok = s >= 0 && g_sock->bind(s, &from, sizeof from) == 0 && g_sock->connect(s, &to, sizeof to) == 0;
      check(ok, "connection " + std::to_string(i) + " (errno " + std::to_string(zek_errno) + ")");
      out.push_back(s);
    }
  }
  return out;
}

// ---- Verbs -------------------------------------------------------------------------------------------------------
std::uint64_t open_adapter(const std::string& local) {
  ZekVerbsAddress address{};
  address.Length = 16;
  address.Family = ZEK_AF_INET;
  address.Ipv4 = g_sock->inet_addr(local.c_str());
  ZekVreqOpen r{};
  std::memcpy(r.Selector, &address, sizeof r.Selector);
  r.ClientValue = 0x57;
  r.Status = 0xFFFF;
  check(send(IOCTL_ZEK_IWARP_OPEN, &r) && r.Status == 0 && r.Adapter != 0,
        "the open of " + local + " (status " + std::to_string(r.Status) + ")");
  return r.Adapter;
}

std::uint32_t destroy(DWORD code, std::uint64_t adapter, std::uint64_t object) {
  ZekVreqObject r{adapter, object, 0xFFFF, 0};
  check(send(code, &r), "a destroy is answered");
  return r.Status;
}

struct QueuePair {
  std::uint64_t handle = 0;
  std::int64_t socket = -1;
  EndRecord peer{};
  // Posted by the producer, completed as the consumer saw it.
  std::uint32_t posted_sq = 0;
  std::atomic<std::uint32_t> completed_sq{0};
};

class End {
 public:
  explicit End(Options o) : o_(std::move(o)), qps_(o_.qps) {}

  void run() {
    adapter_ = open_adapter(o_.local);
    if (adapter_ == 0) return;
    if (!make_objects()) return;
    std::vector<std::int64_t> sockets = connections(o_);
    if (sockets.size() != o_.qps || g_failures != 0) return;
    for (std::uint32_t i = 0; i < o_.qps; ++i) qps_[i].socket = sockets[i];
    if (!exchange() || !hand_over()) return;
    post_receives();
    arm_all();
    if (!barrier(o_, "ready")) return;

    std::thread consumer([this] { consume(); });
    std::thread producer([this] { produce(); });
    // The run is bounded: past its deadline the consumer's wait is released.
    const auto end = Clock::now() + kRunLimit;
    while (!finished_.load() && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!finished_.load()) {
      check(false, "the completions did not all arrive in time");
      stop_.store(true);
      ZekTerminateWaitRecord t{adapter_, 0xFFFF, 0};
      check(send(IOCTL_IWARP_TERMINATE_CQ_POLL_THREAD, &t) && t.Status == 0, "the terminate request");
    }
    producer.join();
    if (!finished_.load()) std::printf("the producer stopped\n");
    consumer.join();
    if (!finished_.load()) std::printf("the consumer stopped\n");
    std::fflush(stdout);
    account();
    barrier(o_, "done");
  }

  void take_down() {
    for (QueuePair& q : qps_) {
      if (q.handle != 0) check(destroy(IOCTL_ZEK_IWARP_QP_DESTROY, adapter_, q.handle) == 0, "QP_DESTROY");
    }
    for (std::uint64_t cq : cqs_) check(destroy(IOCTL_ZEK_IWARP_CQ_DESTROY, adapter_, cq) == 0, "CQ_DESTROY");
    if (stag_ != 0) {
      ZekVreqMrDealloc d{adapter_, stag_, 0, 0, 0, 0xFFFF};
      check(send(IOCTL_ZEK_IWARP_MR_DEALLOC, &d) && d.Status == 0, "MR_DEALLOC");
    }
    if (pd_ != 0) check(destroy(IOCTL_ZEK_IWARP_PD_DEALLOCATE, adapter_, pd_) == 0, "PD_DEALLOCATE");
    if (adapter_ != 0) {
      ZekVreqAdapter close{adapter_, 0xFFFF, 0};
      check(send(IOCTL_ZEK_IWARP_CLOSE, &close) && close.Status == 0, "CLOSE");
    }
    for (QueuePair& q : qps_) {
      if (q.socket >= 0) g_sock->close(q.socket);
    }
    if (buffer_ != nullptr) HeapFree(GetProcessHeap(), 0, buffer_);
  }

 private:
  std::uint32_t region_bytes() const { return o_.qps * (kWriteArea + o_.sends * kSlot) + 4096; }
  std::uint64_t at(std::uint32_t offset) const { return reinterpret_cast<std::uint64_t>(buffer_) + offset; }
  // Where queue pair i's receives land, and where the peer writes for it.
  std::uint32_t receive_slot(std::uint32_t qp, std::uint32_t seq) const {
    return o_.qps * kWriteArea + (qp * o_.sends + seq) * kSlot;
  }
  std::uint32_t source() const { return region_bytes() - 4096; }

  bool make_objects() {
    ZekVreqPdAllocate pd{adapter_, 0, 0x2222, 0xFFFF, 0};
    check(send(IOCTL_ZEK_IWARP_PD_ALLOCATE, &pd) && pd.Status == 0, "PD_ALLOCATE");
    pd_ = pd.Pd;
    buffer_ = static_cast<std::uint8_t*>(HeapAlloc(GetProcessHeap(), 0, region_bytes()));
    check(buffer_ != nullptr, "the heap buffer");
    if (buffer_ == nullptr) return false;
    for (std::uint32_t i = 0; i < region_bytes(); ++i) buffer_[i] = static_cast<std::uint8_t>(i * 7 + 3);
    ZekVreqMrRegister r{};
    r.Adapter = adapter_;
    r.Pd = pd_;
    r.Region.Address = reinterpret_cast<std::uint64_t>(buffer_);
    r.Region.Length = region_bytes();
    r.Region.Access = ZEK_ACCESS_LOCAL_READ | ZEK_ACCESS_LOCAL_WRITE | ZEK_ACCESS_REMOTE_READ | ZEK_ACCESS_REMOTE_WRITE;
    r.Region.Key = 0x31;
    r.Status = 0xFFFF;
    check(send(IOCTL_ZEK_IWARP_MR_REGISTER_NON_SHARED, &r) && r.Status == 0, "the region");
    stag_ = r.Status == 0 ? r.Stag : 0;
    // Room for every completion a CQ can have outstanding: both queues it serves.
    const std::uint32_t entries = 2 * (kSqSize + o_.sends) + 8;
    for (std::uint32_t i = 0; i < o_.qps; ++i) {
      ZekVreqCqCreate cq{};
      cq.Adapter = adapter_;
      cq.Requested = entries;
      cq.Handler = 0x401000 + i;
      cq.Status = 0xFFFF;
      check(send(IOCTL_ZEK_IWARP_CQ_CREATE, &cq) && cq.Status == 0 && cq.Size >= entries, "CQ_CREATE");
      cqs_.push_back(cq.Cq);
    }
    for (std::uint32_t i = 0; i < o_.qps; ++i) {
      ZekQpCreateInput create{};
      create.Pd = pd_;
      create.SendCq = cqs_[i];
      create.RecvCq = cqs_[(i + 1) % o_.qps];
      create.SqSize = kSqSize;
      create.RqSize = o_.sends + 1;
      create.SqSges = create.RqSges = create.RdmaWSges = 1;
      create.Ord = create.Ird = 4;
      ZekQpAttributes attributes{};
      std::uint64_t handle = 0;
      ZekVreqQpCreate qp{adapter_,
                         reinterpret_cast<std::uint64_t>(&create),
                         reinterpret_cast<std::uint64_t>(&attributes),
                         reinterpret_cast<std::uint64_t>(&handle),
                         0x3300 + i,
                         0xFFFF,
                         0};
      check(send(IOCTL_ZEK_IWARP_QP_CREATE, &qp) && qp.Status == 0 && handle != 0,
            "QP_CREATE (status " + std::to_string(qp.Status) + ")");
      qps_[i].handle = handle;
      by_handle_[cqs_[i]] = i;
    }
    return g_failures == 0 && stag_ != 0;
  }

  // Each connection carries the two ends' records (the connecting end's first).
  bool exchange() {
    for (std::uint32_t i = 0; i < o_.qps; ++i) {
      QueuePair& q = qps_[i];
      const EndRecord mine{kMagic, i, stag_, region_bytes(), reinterpret_cast<std::uint64_t>(buffer_)};
      bool ok = true;
      if (o_.accepting) {
        ok = recv_all(q.socket, &q.peer, sizeof q.peer) && send_all(q.socket, &mine, sizeof mine);
      } else {
        ok = send_all(q.socket, &mine, sizeof mine) && recv_all(q.socket, &q.peer, sizeof q.peer);
      }
      check(ok && q.peer.Magic == kMagic && q.peer.Index == i && q.peer.Length == region_bytes(),
            "the peer's record on connection " + std::to_string(i));
    }
    return g_failures == 0;
  }

  bool hand_over() {
    for (std::uint32_t i = 0; i < o_.qps; ++i) {
      ZekVreqQpModify m{};
      m.Adapter = adapter_;
      m.Qp = qps_[i].handle;
      m.Input.Mask = ZEK_QP_MODIFY_STATE;
      m.Input.State = ZEK_QP_STATE_RTS;
      m.Input.Socket = static_cast<std::uint64_t>(qps_[i].socket);
      m.Status = 0xFFFF;
      check(send(IOCTL_ZEK_IWARP_QP_MODIFY, &m) && m.Status == 0,
            "the hand-over of connection " + std::to_string(i) + " (status " + std::to_string(m.Status) + ")");
    }
    return g_failures == 0 && barrier(o_, "handed");
  }

  void post_receives() {
    for (std::uint32_t i = 0; i < o_.qps; ++i) {
      std::vector<ZekSge> sges(o_.sends);
      std::vector<ZekRecvWr> requests(o_.sends);
      for (std::uint32_t s = 0; s < o_.sends; ++s) {
        sges[s] = {at(receive_slot(i, s)), kSlot, stag_};
        requests[s] = {wr_id(i, kReceive, s), &sges[s], 1, 0};
      }
      std::uint32_t posted = 0;
      ZekVreqPostRq r{adapter_,
                      qps_[i].handle,
                      reinterpret_cast<std::uint64_t>(requests.data()),
                      0,
                      reinterpret_cast<std::uint64_t>(&posted),
                      o_.sends,
                      0xFFFF};
      check(send(IOCTL_ZEK_IWARP_QP_POST_RQ, &r) && r.Status == 0 && posted == o_.sends,
            "the receives of queue pair " + std::to_string(i));
      for (std::uint32_t s = 0; s < o_.sends; ++s) expected(wr_id(i, kReceive, s));
    }
  }

  void arm(std::uint64_t cq) {
    ZekVreqCqNotify r{adapter_, cq, 0, 0xFFFF};
    check(send_waiting(IOCTL_ZEK_IWARP_CQ_REQUEST_NOTIFICATION, &r) && r.Status == 0, "CQ_REQUEST_NOTIFICATION");
  }
  void arm_all() {
    for (std::uint64_t cq : cqs_) arm(cq);
  }

  void expected(std::uint64_t id) {
    std::lock_guard lock(mu_);
    seen_[id];
    ++expected_;
  }

  // The producer: round after round, on every queue pair, a write into the
  // peer's region and (while the peer has receives left) a send, waiting
  // while the send ring is full.
  void produce() {
    const std::uint32_t rounds = std::max(o_.writes, o_.sends);
    for (std::uint32_t round = 0; round < rounds && !stop_.load(); ++round) {
      for (std::uint32_t i = 0; i < o_.qps && !stop_.load(); ++i) {
        QueuePair& q = qps_[i];
        if (round < o_.writes) {
          const std::uint32_t length = send_length(round);
          const ZekSge sge{at(source()), length, stag_};
          ZekSendWr w{};
          w.WrId = wr_id(i, kWrite, round);
          w.Op = ZEK_WR_RDMA_WRITE;
          w.Signalled = 1;
          w.Sgl = &sge;
          w.SgeCount = 1;
          w.Remote = q.peer.Address + i * kWriteArea + (round % 8) * 256;
          w.RemoteStag = q.peer.Stag;
          post(q, w);
        }
        if (round < o_.sends) {
          const ZekSge sge{at(source() + round % 64), send_length(round), stag_};
          ZekSendWr s{};
          s.WrId = wr_id(i, kSend, round);
          s.Op = ZEK_WR_SEND;
          s.Signalled = 1;
          s.Sgl = &sge;
          s.SgeCount = 1;
          post(q, s);
        }
      }
    }
  }

  void post(QueuePair& q, const ZekSendWr& request) {
    // Never more outstanding than the ring takes.
    while (q.posted_sq - q.completed_sq.load() >= kSqSize - 1) {
      if (stop_.load()) return;
      std::this_thread::yield();
    }
    expected(request.WrId);
    std::uint32_t posted = 0;
    ZekVreqPostSq p{
        adapter_, q.handle, reinterpret_cast<std::uint64_t>(&request), reinterpret_cast<std::uint64_t>(&posted),
        1,        0xFFFF};
    const bool ok = send(IOCTL_ZEK_IWARP_QP_POST_SQ, &p) && p.Status == 0 && posted == 1;
    check(ok, "posting work request " + std::to_string(request.WrId) + " (status " + std::to_string(p.Status) + ")");
    if (!ok) {
      stop_.store(true);
      return;
    }
    ++q.posted_sq;
  }

  // The consumer: the event wait, then each CQ it names drained, armed again
  // and drained once more, until every expected completion was seen.
  void consume() {
    while (!stop_.load()) {
      ZekAsyncEventRecord r{};
      r.Adapter = adapter_;
      r.Count = 0xC0C0;
      const bool ok = send_waiting(IOCTL_ZEK_IWARP_WAIT_ON_ASYNC_FUNCTION_CALL, &r);
      ++waits_;
      check(ok && r.Status == 0, "the event wait (status " + std::to_string(r.Status) + ")");
      if (!ok) break;
      std::uint32_t first = 0;
      std::memcpy(&first, r.Event, sizeof first);
      check(first == ZEK_NOTIFY_NO_EVENT, "an asynchronous event came (" + std::to_string(first) + ")");
      if (r.Count != 0xC0C0) {
        check(r.Count <= ZEK_NOTIFY_MAX_IDS, "the count is bounded");
        for (std::uint32_t k = 0; k < std::min(r.Count, ZEK_NOTIFY_MAX_IDS); ++k) {
          ++notified_;
          const std::uint64_t cq = r.Ids[k];
          if (!by_handle_.contains(cq)) {
            check(false, "an identifier that is none of this process's CQs");
            continue;
          }
          drain(cq);
          arm(cq);
          drain(cq);
        }
      }
      if (done()) {
        finished_.store(true);
        break;
      }
    }
  }

  void drain(std::uint64_t cq) {
    for (;;) {
      ZekWorkCompletion wc{};
      ZekVreqCqPoll poll{adapter_, cq, reinterpret_cast<std::uint64_t>(&wc), 0xFFFF, 0};
      if (!send_waiting(IOCTL_ZEK_IWARP_CQ_POLL_COMPLETION, &poll)) {
        check(false, "the poll is answered");
        return;
      }
      if (poll.Status == IWARP_STATUS_CQ_EMPTY) return;
      check(poll.Status == 0, "the poll's status " + std::to_string(poll.Status));
      if (poll.Status != 0) return;
      took(wc);
    }
  }

  void took(const ZekWorkCompletion& wc) {
    const auto qp = static_cast<std::uint32_t>(wc.WrId >> 40);
    const auto kind = static_cast<Kind>(wc.WrId >> 32 & 0xFF);
    const auto seq = static_cast<std::uint32_t>(wc.WrId);
    check(wc.Status == 0, "completion " + std::to_string(wc.WrId) + " failed (" + std::to_string(wc.Status) + ")");
    if (kind == kReceive) {
      check(wc.OpCode == ZEK_WC_RECEIVE && wc.Length == send_length(seq),
            "receive " + std::to_string(wc.WrId) + " of " + std::to_string(wc.Length) + " bytes");
      if (qp < o_.qps && wc.Length == send_length(seq)) {
        check(std::memcmp(buffer_ + receive_slot(qp, seq), buffer_ + source() + seq % 64, wc.Length) == 0,
              "the bytes of receive " + std::to_string(wc.WrId));
      }
    } else if (qp < o_.qps && (kind == kWrite || kind == kSend)) {
      qps_[qp].completed_sq.fetch_add(1);
    }
    ++completions_;
    std::lock_guard lock(mu_);
    auto it = seen_.find(wc.WrId);
    if (it == seen_.end()) {
      check(false, "a completion nothing asked for: " + std::to_string(wc.WrId));
      return;
    }
    ++it->second;
    if (it->second == 1) ++counted_;
  }

  bool done() {
    std::lock_guard lock(mu_);
    const std::uint64_t total = std::uint64_t{o_.qps} * (o_.writes + 2 * o_.sends);
    return expected_ == total && counted_ == total;
  }

  void account() {
    std::lock_guard lock(mu_);
    std::uint32_t missing = 0, repeated = 0;
    for (const auto& [id, times] : seen_) {
      if (times == 0 && ++missing <= 5) std::printf("missing %" PRIx64 "\n", id);
      if (times > 1 && ++repeated <= 5) std::printf("%" PRIx64 " completed %u times\n", id, times);
    }
    check(missing == 0, std::to_string(missing) + " completions missing");
    check(repeated == 0, std::to_string(repeated) + " completions repeated");
    check(expected_ == std::uint64_t{o_.qps} * (o_.writes + 2 * o_.sends), "every work request posted");
    std::printf("notified %" PRIu64 " waits %" PRIu64 " completions %" PRIu64 "\n", notified_.load(), waits_.load(),
                completions_.load());
  }

  Options o_;
  std::uint64_t adapter_ = 0, pd_ = 0;
  std::uint32_t stag_ = 0;
  std::uint8_t* buffer_ = nullptr;
  std::vector<std::uint64_t> cqs_;
  std::map<std::uint64_t, std::uint32_t> by_handle_;
  std::vector<QueuePair> qps_;
  std::atomic<bool> stop_{false}, finished_{false};
  std::atomic<std::uint64_t> notified_{0}, waits_{0}, completions_{0};
  std::mutex mu_;
  std::map<std::uint64_t, std::uint32_t> seen_;  // under mu_
  std::uint64_t expected_ = 0, counted_ = 0;     // under mu_
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 10) return 2;
  Options o;
  o.accepting = std::string(argv[1]) == "accept";
  o.local = argv[2];
  o.peer = argv[3];
  o.port = static_cast<std::uint16_t>(std::strtoul(argv[4], nullptr, 10));
  o.sync = argv[5];
  o.name = argv[6];
  o.qps = static_cast<std::uint32_t>(std::strtoul(argv[7], nullptr, 10));
  o.writes = static_cast<std::uint32_t>(std::strtoul(argv[8], nullptr, 10));
  o.sends = static_cast<std::uint32_t>(std::strtoul(argv[9], nullptr, 10));
  if (o.qps == 0 || o.qps > 16 || o.sends > 200 || o.writes > 100000) return 2;
  ZekSocketsInitParams params{0, 0};
  void* table = nullptr;
  if (ZEK_InitLib_Sockets(&params, ZEK_ABI_COOKIE) != ZEK_STATUS_PASS ||
      ZEK_GetInterface(ZEK_SOCKETS_INTERFACE, &table) != ZEK_STATUS_PASS) {
    std::printf("FAILED: zeksock does not start\n");
    return 3;
  }
  g_sock = static_cast<const ZekUserSocketTable*>(table);
  g_proxy = CreateFileA("\\\\.\\zekproxy", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  g_waiter = CreateFileA("\\\\.\\zekproxy", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (g_proxy == INVALID_HANDLE_VALUE || g_waiter == INVALID_HANDLE_VALUE) {
    std::printf("FAILED: opening zekproxy (%lu)\n", static_cast<unsigned long>(GetLastError()));
    return 2;
  }
  {
    End end(o);
    end.run();
    end.take_down();
  }
  CloseHandle(g_waiter);
  CloseHandle(g_proxy);
  ZEK_CleanupLib_Sockets();
  std::printf("%d failures\n", g_failures);
  std::fflush(stdout);
  return g_failures == 0 ? 0 : 1;
}
