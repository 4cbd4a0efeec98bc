// A user process for the verbs requests' lab test: opens "\\.\zekproxy"
// through the user runtime and drives the verbs control requests.
//
//   zekvreqclient sequence          the whole sequence (regions, windows and
//                                    posting too), then hostile records
//   zekvreqclient hold              makes one of each object (a registered
//                                    region and posted receives too), prints its
//                                    handles and "ready", then waits to be killed
//   zekvreqclient foreign A C Q P   another process's handles (adapter, CQ,
//                                    QP, PD): each request gets its INVALID status
//   zekvreqclient counts            the adapter's numbers in use (QP CQ MR PD
//                                    user-PD IRD)
//
// Exit code 0 when every check held (each failure is printed).
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "include/zek/ioctl.h"
#include "include/zek/mgmt.h"
#include "include/zek/verbs_requests.h"
#include "platform/user/win32.h"
#include "tests/support/proxy_client.h"

namespace {

using proxyclient::check;
using proxyclient::g_failures;
using proxyclient::g_proxy;
using proxyclient::send;

// The first SAN address and an open of it.
std::uint64_t open_adapter() {
  ZekVerbsAddress addresses[4] = {};
  ZekVreqAdapterAddrs a{reinterpret_cast<std::uint64_t>(addresses), 4, 0, 0, 0, 0xFFFF};
  check(send(IOCTL_ZEK_IWARP_ADAPTER_ADDRS, &a) && a.Status == 0 && a.Count >= 1, "the SAN addresses");
  ZekVreqOpen o{};
  std::memcpy(o.Selector, &addresses[0], sizeof o.Selector);
  o.ClientValue = 0x1111;
  o.Status = 0xFFFF;
  check(send(IOCTL_ZEK_IWARP_OPEN, &o) && o.Status == 0 && o.Adapter != 0, "the open");
  return o.Adapter;
}

struct Objects {
  std::uint64_t pd = 0, user_pd = 0, cq = 0, user_cq = 0, qp = 0, user_qp = 0;
  ZekVreqCqCreateUser ucq{};
  ZekVreqQpCreateUser uqp{};
  std::uint64_t doorbell = 0;
};

Objects make_objects(std::uint64_t adapter) {
  Objects o;
  ZekVreqPdAllocate pd{adapter, 0, 0x2222, 0xFFFF, 0};
  check(send(IOCTL_ZEK_IWARP_PD_ALLOCATE, &pd) && pd.Status == 0, "PD_ALLOCATE");
  o.pd = pd.Pd;
  ZekVreqPdAllocateUser upd{};
  upd.Adapter = adapter;
  upd.Status = 0xFFFF;
  check(send(IOCTL_ZEK_IWARP_PD_ALLOCATE_W_USER_ACCESS, &upd) && upd.Status == 0 && upd.Doorbell != 0,
        "PD_ALLOCATE_W_USER_ACCESS maps the doorbell page");
  o.user_pd = upd.Pd;
  o.doorbell = upd.Doorbell;
  ZekVreqCqCreate cq{};
  cq.Adapter = adapter;
  cq.Requested = 32;
  cq.Handler = 0x401000;
  cq.Status = 0xFFFF;
  check(send(IOCTL_ZEK_IWARP_CQ_CREATE, &cq) && cq.Status == 0 && cq.Size == 32, "CQ_CREATE");
  o.cq = cq.Cq;
  o.ucq.Adapter = adapter;
  o.ucq.Requested = 100;
  o.ucq.Handler = 0x402000;
  o.ucq.Status = 0xFFFF;
  check(send(IOCTL_ZEK_IWARP_CQ_CREATE_W_USER_ACCESS, &o.ucq) && o.ucq.Status == 0 && o.ucq.Ring != 0 &&
            o.ucq.Page != 0 && o.ucq.RingSlots == 101,
        "CQ_CREATE_W_USER_ACCESS maps the ring and the page");
  o.user_cq = o.ucq.Cq;
  ZekQpCreateInput create{};
  create.Pd = o.pd;
  create.SendCq = create.RecvCq = o.cq;
  create.SqSize = create.RqSize = 8;
  create.SqSges = create.RqSges = create.RdmaWSges = 2;
  create.Ord = create.Ird = 4;
  ZekQpAttributes attributes{};
  std::uint64_t handle = 0;
  ZekVreqQpCreate qp{adapter,
                     reinterpret_cast<std::uint64_t>(&create),
                     reinterpret_cast<std::uint64_t>(&attributes),
                     reinterpret_cast<std::uint64_t>(&handle),
                     0x3333,
                     0xFFFF,
                     0};
  check(send(IOCTL_ZEK_IWARP_QP_CREATE, &qp) && qp.Status == 0 && handle != 0 && attributes.SqSize >= 8, "QP_CREATE");
  o.qp = handle;
  o.uqp.Adapter = adapter;
  o.uqp.Create = create;
  o.uqp.Create.Pd = o.user_pd;
  o.uqp.Create.SendCq = o.uqp.Create.RecvCq = o.user_cq;
  o.uqp.Page = 0x4444;
  o.uqp.Status = 0xFFFF;
  check(send(IOCTL_ZEK_IWARP_QP_CREATE_W_USER_ACCESS, &o.uqp) && o.uqp.Status == 0 && o.uqp.Page != 0 &&
            o.uqp.SqRing != 0 && o.uqp.RqRing != 0,
        "QP_CREATE_W_USER_ACCESS maps the rings and the page");
  o.user_qp = o.uqp.Qp;
  return o;
}

// A buffer of the process's heap (memory the host reaches directly).
std::uint8_t* heap_buffer(std::size_t bytes) {
  auto* p = static_cast<std::uint8_t*>(HeapAlloc(GetProcessHeap(), 0, bytes));
  check(p != nullptr, "a heap buffer");
  if (p != nullptr) std::memset(p, 0, bytes);
  return p;
}

// The caller's buffer registered: its STag (0 when refused).
std::uint32_t register_region(std::uint64_t adapter, std::uint64_t pd, const void* address, std::uint32_t length,
                              std::uint32_t* status) {
  ZekVreqMrRegister r{};
  r.Adapter = adapter;
  r.Pd = pd;
  r.Region.Address = reinterpret_cast<std::uint64_t>(address);
  r.Region.Length = length;
  r.Region.Access = 0xF;
  r.Region.Key = 0x5C;
  r.Status = 0xFFFF;
  check(send(IOCTL_ZEK_IWARP_MR_REGISTER_NON_SHARED, &r), "MR_REGISTER_NON_SHARED is answered");
  *status = r.Status;
  return r.Status == 0 ? r.Stag : 0;
}

// Receive requests on a queue pair: each its own two-entry list in `buffer`.
std::uint32_t post_receives(std::uint64_t adapter, std::uint64_t qp, std::uint8_t* buffer, std::uint32_t stag,
                            std::uint32_t count, std::uint32_t* status) {
  ZekSge sges[8][2];
  ZekRecvWr requests[8];
  for (std::uint32_t i = 0; i < count && i < 8; ++i) {
    const auto base = reinterpret_cast<std::uint64_t>(buffer) + i * 1024;
    sges[i][0] = {base, 512, stag};
    sges[i][1] = {base + 512, 512, stag};
    requests[i] = {0xB00 + i, sges[i], 2, 0};
  }
  std::uint32_t posted = 0xEEEE;
  ZekVreqPostRq r{
      adapter, qp,    reinterpret_cast<std::uint64_t>(requests), 0, reinterpret_cast<std::uint64_t>(&posted),
      count,   0xFFFF};
  check(send(IOCTL_ZEK_IWARP_QP_POST_RQ, &r), "QP_POST_RQ is answered");
  *status = r.Status;
  return posted;
}

std::uint32_t destroy(DWORD code, std::uint64_t adapter, std::uint64_t object) {
  ZekVreqObject r{adapter, object, 0xFFFF, 0};
  check(send(code, &r), "a destroy is answered");
  return r.Status;
}

// Regions, windows and posting from this process: its heap buffer
// registered, queried through the adapter; receives posted with lists in its
// memory (they go with the queue pair's destroy); hostile posting records
// answered without posting.
void regions_and_posting(std::uint64_t adapter, const Objects& o) {
  constexpr std::uint32_t kBytes = 16 * 4096;
  std::uint8_t* buffer = heap_buffer(kBytes);
  if (buffer == nullptr) return;
  std::uint32_t status = 0;
  const std::uint32_t stag = register_region(adapter, o.pd, buffer, kBytes, &status);
  check(status == 0 && stag != 0, "a heap buffer is registered");
  ZekMrQueryInfo info{};
  ZekVreqStagQuery query{adapter, reinterpret_cast<std::uint64_t>(&info), stag, 0xFFFF};
  check(send(IOCTL_ZEK_IWARP_MR_QUERY, &query) && query.Status == 0 && info.Valid == 1 && info.Key == 0x5C &&
            info.Pd == o.pd,
        "MR_QUERY: the adapter knows the region");
  std::uint32_t unmapped = 0;
  register_region(adapter, o.pd, reinterpret_cast<const void*>(0x10000), 4096, &unmapped);
  check(unmapped != 0, "a range the process does not have is not registered");
  std::uint32_t window = 0;
  ZekVreqMwAlloc mw{adapter, o.pd, reinterpret_cast<std::uint64_t>(&window), 0xFFFF, 0};
  check(send(IOCTL_ZEK_IWARP_MW_ALLOC, &mw) && mw.Status == 0 && window != 0, "MW_ALLOC");
  ZekMwQueryInfo mw_info{};
  ZekVreqStagQuery mw_query{adapter, reinterpret_cast<std::uint64_t>(&mw_info), window, 0xFFFF};
  check(send(IOCTL_ZEK_IWARP_MW_QUERY, &mw_query) && mw_query.Status == 0 && mw_info.Pd == o.pd, "MW_QUERY");
  std::uint32_t allocated = 0, room = 0;
  ZekVreqMrAllocStag alloc{
      adapter, o.pd, 4, 0, reinterpret_cast<std::uint64_t>(&allocated), reinterpret_cast<std::uint64_t>(&room),
      0xFFFF,  0};
  check(send(IOCTL_ZEK_IWARP_MR_ALLOC_NONSHARED_STAG, &alloc) && alloc.Status == 0 && allocated != 0,
        "MR_ALLOC_NONSHARED_STAG");

  // Six receives, every list in this process: all converted and posted.
  const std::uint32_t posted = post_receives(adapter, o.qp, buffer, stag, 6, &status);
  check(status == 0 && posted == 6, "six receives posted (" + std::to_string(posted) + ")");
  ZekVreqRqEmpty empty{adapter, o.qp, 0, {}, 0xFFFF};
  check(send(IOCTL_ZEK_IWARP_IS_QP_RQ_EMPTY, &empty) && empty.Status == 0 && empty.Empty == 0,
        "the receive queue holds them");

  // Hostile posting records: nothing beyond them is posted.
  ZekSge over[5];
  for (auto& e : over) e = {reinterpret_cast<std::uint64_t>(buffer), 16, stag};
  const struct {
    const char* what;
    std::uint64_t qp;
    std::uint64_t list;
    std::uint32_t sges;
    std::uint32_t status;
  } cases[] = {
      {"five entries", o.qp, reinterpret_cast<std::uint64_t>(over), 5, IWARP_STATUS_QP_INVALID_NUM_SGES},
      {"an entry count near 2^32", o.qp, reinterpret_cast<std::uint64_t>(over), 0x80000001u,
       IWARP_STATUS_QP_INVALID_NUM_SGES},
      {"a list at a forged address", o.qp, 0xFFFF800012345000ull, 1, 2},
      {"a list the process does not have", o.qp, 0x10000, 1, 2},
      {"a user-access queue pair", o.user_qp, reinterpret_cast<std::uint64_t>(over), 1, IWARP_STATUS_QP_INVALID_HANDLE},
  };
  for (const auto& c : cases) {
    ZekSendWr request{};
    request.WrId = 1;
    request.Op = ZEK_WR_SEND;
    request.Sgl = reinterpret_cast<const ZekSge*>(c.list);
    request.SgeCount = c.sges;
    std::uint32_t count = 0xEEEE;
    ZekVreqPostSq sq{adapter, c.qp,  reinterpret_cast<std::uint64_t>(&request), reinterpret_cast<std::uint64_t>(&count),
                     1,       0xFFFF};
    check(send(IOCTL_ZEK_IWARP_QP_POST_SQ, &sq) && sq.Status == c.status && count == 0,
          std::string("posting ") + c.what + " (status " + std::to_string(sq.Status) + ")");
    ZekRecvWr receive{2, reinterpret_cast<const ZekSge*>(c.list), c.sges, 0};
    ZekVreqPostRq rq{adapter, c.qp, reinterpret_cast<std::uint64_t>(&receive), 0, 0, 1, 0xFFFF};
    check(send(IOCTL_ZEK_IWARP_QP_POST_RQ, &rq) && rq.Status == c.status,
          std::string("posting a receive with ") + c.what);
  }
  ZekVreqPostRq forged{adapter, o.qp, 0xFFFF800012345000ull, 0, 0, 1, 0xFFFF};
  check(!send(IOCTL_ZEK_IWARP_QP_POST_RQ, &forged) && forged.Status == 0xFFFF, "a forged request array");
  ZekVreqPostRq huge{adapter, o.qp, reinterpret_cast<std::uint64_t>(buffer), 0, 0, ZEK_VREQ_MAX_POST + 1, 0xFFFF};
  check(!send(IOCTL_ZEK_IWARP_QP_POST_RQ, &huge), "a count above the bound");
  ZekVreqPostRq past{adapter, o.qp, reinterpret_cast<std::uint64_t>(buffer), 0, 0, 1u << 20, 0xFFFF};
  check(!send(IOCTL_ZEK_IWARP_QP_POST_RQ, &past), "an array running out of the process");

  ZekVreqMrDealloc d{adapter, allocated, 0, 0, 0, 0xFFFF};
  check(send(IOCTL_ZEK_IWARP_MR_DEALLOC, &d) && d.Status == 0, "MR_DEALLOC of the allocated STag");
  ZekVreqMrDealloc w{adapter, window, 0, 0, 0, 0xFFFF};
  check(send(IOCTL_ZEK_IWARP_MR_DEALLOC, &w) && w.Status == 0, "MR_DEALLOC of the window");
  ZekVreqMrDealloc r{adapter, stag, 0, 0, 0, 0xFFFF};
  check(send(IOCTL_ZEK_IWARP_MR_DEALLOC, &r) && r.Status == 0 && r.OldLength == kBytes &&
            r.OldAddress == reinterpret_cast<std::uint64_t>(buffer),
        "MR_DEALLOC of the region");
  check(!send(IOCTL_ZEK_IWARP_MR_DEALLOC, &r), "MR_DEALLOC of a freed STag");
  HeapFree(GetProcessHeap(), 0, buffer);
}

void sequence() {
  const std::uint64_t adapter = open_adapter();
  ZekVreqQuery q{};
  q.Adapter = adapter;
  q.Status = 0xFFFF;
  check(send(IOCTL_ZEK_IWARP_QUERY, &q) && q.Status == 0 && q.Attributes.MaxSges == ZEK_VERBS_MAX_SGES, "QUERY");
  ZekVreqSetAsyncHandler h{adapter, 0x405000, 7, 0xFFFF, 0};
  check(send(IOCTL_ZEK_IWARP_SET_ASYNC_HANDLER, &h) && h.Status == 0 && h.Previous == 0, "SET_ASYNC_HANDLER");
  Objects o = make_objects(adapter);

  // The process sees its objects: the QP page names the rings it got, and
  // the send ring's first slot carries the queue pair's tag.
  if (o.uqp.Page == 0 || o.ucq.Ring == 0) return;  // reported above
  const auto* page = reinterpret_cast<const std::uint8_t*>(o.uqp.Page);
  std::uint64_t sq = 0, rq = 0;
  std::uint32_t sq_entries = 0;
  std::memcpy(&sq, page + ZEK_QP_PAGE_SQ_RING, 8);
  std::memcpy(&rq, page + ZEK_QP_PAGE_RQ_BASE, 8);
  std::memcpy(&sq_entries, page + ZEK_QP_PAGE_SQ_ENTRIES, 4);
  check(sq == o.uqp.SqRing && rq == o.uqp.RqRing && sq_entries == o.uqp.SqSize, "the QP page names the rings");
  std::uint64_t tag = 0;
  std::memcpy(&tag, reinterpret_cast<const std::uint8_t*>(o.uqp.SqRing) + 8, 8);
  check((tag & 1) == 1, "the send ring's first slot has the tag");
  const auto* cq_ring = reinterpret_cast<const std::uint32_t*>(o.ucq.Ring);
  check(cq_ring[7] == 0, "the CQ ring is empty");

  ZekVreqCqQuery cq_query{adapter, o.cq, 0, 0, 0xFFFF};
  check(send(IOCTL_ZEK_IWARP_CQ_QUERY, &cq_query) && cq_query.Status == 0 && cq_query.Handler == 0x401000 &&
            cq_query.Entries == 32,
        "CQ_QUERY answers the user handler");
  ZekVreqCqModify modify{adapter, o.cq, 0, 32, 0xFFFF, 0};
  check(send(IOCTL_ZEK_IWARP_CQ_MODIFY, &modify) && modify.Status == 0 && modify.Size == 32, "CQ_MODIFY");
  ZekVreqCqNotify arm{adapter, o.user_cq, 0, 0xFFFF};
  check(send(IOCTL_ZEK_IWARP_CQ_REQUEST_NOTIFICATION, &arm) && arm.Status == 0, "CQ_REQUEST_NOTIFICATION");
  ZekWorkCompletion wc{};
  ZekVreqCqPoll poll{adapter, o.cq, reinterpret_cast<std::uint64_t>(&wc), 0xFFFF, 0};
  check(send(IOCTL_ZEK_IWARP_CQ_POLL_COMPLETION, &poll) && poll.Status == IWARP_STATUS_CQ_EMPTY, "an empty poll");
  ZekVreqSetComplHandler sch{adapter, o.cq, 0x406000, 9, 0xFFFF, 0};
  check(send(IOCTL_ZEK_IWARP_SET_COMPL_HANDLER, &sch) && sch.Status == 0, "SET_COMPL_HANDLER");
  ZekQpAttributes attributes{};
  ZekVreqQpQuery qq{adapter, o.user_qp, reinterpret_cast<std::uint64_t>(&attributes), 0xFFFF, 0};
  check(send(IOCTL_ZEK_IWARP_QP_QUERY, &qq) && qq.Status == 0 && attributes.State == ZEK_QP_STATE_IDLE, "QP_QUERY");
  ZekVreqRqEmpty empty{adapter, o.qp, 0, {}, 0xFFFF};
  check(send(IOCTL_ZEK_IWARP_IS_QP_RQ_EMPTY, &empty) && empty.Status == 0 && empty.Empty == 1, "IS_QP_RQ_EMPTY");

  regions_and_posting(adapter, o);

  // Hostile records: forged pointers fail the request with nothing written;
  // over-long SGE counts and the STag 0 request are refused; bad counts.
  ZekVreqCqPoll forged{adapter, o.cq, 0xFFFF800012345000ull, 0xFFFF, 0};
  check(!send(IOCTL_ZEK_IWARP_CQ_POLL_COMPLETION, &forged) && forged.Status == 0xFFFF, "a forged completion pointer");
  ZekVreqQpQuery forged_query{adapter, o.qp, 0x1000, 0xFFFF, 0};
  check(!send(IOCTL_ZEK_IWARP_QP_QUERY, &forged_query), "a forged attribute pointer");
  ZekQpCreateInput create = o.uqp.Create;
  create.Pd = o.pd;
  create.SendCq = create.RecvCq = o.cq;
  create.SqSges = 5;
  std::uint64_t handle = 0;
  ZekVreqQpCreate bad{adapter,
                      reinterpret_cast<std::uint64_t>(&create),
                      reinterpret_cast<std::uint64_t>(&attributes),
                      reinterpret_cast<std::uint64_t>(&handle),
                      0,
                      0xFFFF,
                      0};
  check(send(IOCTL_ZEK_IWARP_QP_CREATE, &bad) && bad.Status == IWARP_STATUS_QP_INVALID_NUM_SGES && handle == 0,
        "an over-long SGE count");
  create.SqSges = 2;
  create.Feature48 = 1;
  check(!send(IOCTL_ZEK_IWARP_QP_CREATE, &bad) && handle == 0, "the STag 0 request");
  ZekVerbsAddress addresses[2];
  ZekVreqAdapterAddrs many{reinterpret_cast<std::uint64_t>(addresses), 257, 0, 0, 0, 0xFFFF};
  check(!send(IOCTL_ZEK_IWARP_ADAPTER_ADDRS, &many), "257 addresses");
  ZekVreqAdapterAddrs none{reinterpret_cast<std::uint64_t>(addresses), 0, 0, 0, 0, 0xFFFF};
  check(!send(IOCTL_ZEK_IWARP_ADAPTER_ADDRS, &none), "no room for addresses");
  ZekVreqOpen short_open{};
  check(!send(IOCTL_ZEK_IWARP_OPEN, &short_open, 32), "a short record");

  // Destroys; then the freed handles answer INVALID.
  check(destroy(IOCTL_ZEK_IWARP_CQ_DESTROY, adapter, o.cq) == IWARP_STATUS_CQ_IN_USE, "a CQ in use stays");
  check(destroy(IOCTL_ZEK_IWARP_QP_DESTROY_W_USER_ACCESS, adapter, o.user_qp) == 0, "QP_DESTROY_W_USER_ACCESS");
  check(destroy(IOCTL_ZEK_IWARP_QP_DESTROY, adapter, o.qp) == 0, "QP_DESTROY");
  check(destroy(IOCTL_ZEK_IWARP_CQ_DESTROY_W_USER_ACCESS, adapter, o.user_cq) == 0, "CQ_DESTROY_W_USER_ACCESS");
  check(destroy(IOCTL_ZEK_IWARP_CQ_DESTROY, adapter, o.cq) == 0, "CQ_DESTROY");
  check(destroy(IOCTL_ZEK_IWARP_PD_DEALLOCATE_W_USER_ACCESS, adapter, o.user_pd) == 0, "PD_DEALLOCATE_W_USER_ACCESS");
  check(destroy(IOCTL_ZEK_IWARP_PD_DEALLOCATE, adapter, o.pd) == 0, "PD_DEALLOCATE");
  check(destroy(IOCTL_ZEK_IWARP_QP_DESTROY, adapter, o.qp) == IWARP_STATUS_QP_INVALID_HANDLE, "a freed QP");
  check(destroy(IOCTL_ZEK_IWARP_CQ_DESTROY, adapter, o.cq) == IWARP_STATUS_CQ_INVALID_HANDLE, "a freed CQ");
  check(destroy(IOCTL_ZEK_IWARP_PD_DEALLOCATE, adapter, o.pd) == IWARP_STATUS_PD_INVALID_PD_ID, "a freed PD");
  ZekVreqAdapter close{adapter, 0xFFFF, 0};
  check(send(IOCTL_ZEK_IWARP_CLOSE, &close) && close.Status == 0, "CLOSE");
  check(send(IOCTL_ZEK_IWARP_CLOSE, &close) && close.Status == IWARP_STATUS_A_INVALID_RNIC_HANDLE, "a closed adapter");
  ZekVreqQuery closed{};
  closed.Adapter = adapter;
  check(send(IOCTL_ZEK_IWARP_QUERY, &closed) && closed.Status == IWARP_STATUS_A_INVALID_RNIC_HANDLE,
        "QUERY on a closed adapter");
}

void hold() {
  const std::uint64_t adapter = open_adapter();
  const Objects o = make_objects(adapter);
  // A region (its pages locked), a window and posted receives go with it.
  std::uint8_t* buffer = heap_buffer(8 * 4096);
  std::uint32_t status = 0;
  const std::uint32_t stag = register_region(adapter, o.pd, buffer, 8 * 4096, &status);
  check(stag != 0, "the holder's region");
  std::uint32_t window = 0;
  ZekVreqMwAlloc mw{adapter, o.pd, reinterpret_cast<std::uint64_t>(&window), 0xFFFF, 0};
  check(send(IOCTL_ZEK_IWARP_MW_ALLOC, &mw) && mw.Status == 0, "the holder's window");
  check(post_receives(adapter, o.qp, buffer, stag, 4, &status) == 4, "the holder's receives");
  std::printf("handles %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 "\nready\n", adapter, o.user_cq, o.user_qp, o.pd);
  std::fflush(stdout);
  for (;;) pause();
}

void foreign(std::uint64_t adapter, std::uint64_t cq, std::uint64_t qp, std::uint64_t pd) {
  // Its own open first: the stranger's objects are not found through it either.
  const std::uint64_t own = open_adapter();
  for (const std::uint64_t a : {adapter, own}) {
    const std::uint32_t adapter_status = a == adapter ? IWARP_STATUS_A_INVALID_RNIC_HANDLE : 0;
    auto expect = [&](std::uint32_t object_status) { return a == adapter ? adapter_status : object_status; };
    const std::string which = a == adapter ? " through the stranger's adapter" : " through its own adapter";
    check(destroy(IOCTL_ZEK_IWARP_CQ_DESTROY_W_USER_ACCESS, a, cq) == expect(IWARP_STATUS_CQ_INVALID_HANDLE),
          "a foreign CQ" + which);
    check(destroy(IOCTL_ZEK_IWARP_QP_DESTROY_W_USER_ACCESS, a, qp) == expect(IWARP_STATUS_QP_INVALID_HANDLE),
          "a foreign QP" + which);
    check(destroy(IOCTL_ZEK_IWARP_PD_DEALLOCATE, a, pd) == expect(IWARP_STATUS_PD_INVALID_PD_ID),
          "a foreign PD" + which);
    ZekWorkCompletion wc{};
    ZekVreqCqPoll poll{a, cq, reinterpret_cast<std::uint64_t>(&wc), 0xFFFF, 0};
    check(send(IOCTL_ZEK_IWARP_CQ_POLL_COMPLETION, &poll) && poll.Status == expect(IWARP_STATUS_CQ_INVALID_HANDLE),
          "polling a foreign CQ" + which);
  }
  ZekVreqAdapter close{adapter, 0xFFFF, 0};
  check(send(IOCTL_ZEK_IWARP_CLOSE, &close) && close.Status == IWARP_STATUS_A_INVALID_RNIC_HANDLE,
        "closing a foreign adapter");
}

void counts() {
  std::uint64_t handle = 0;
  ZekMgmtOpenAdapterRecord open{};
  open.HandleAddress = reinterpret_cast<std::uint64_t>(&handle);
  check(send(IOCTL_ZEK_MGMT_OPEN_ADAPTER, &open) && open.Status == 0, "the management handle");
  ZekReviewRequest review{};
  review.Handle = handle;
  check(send(IOCTL_ZEK_MGMT_REVIEW_GET, &review) && review.Status == 0, "the review");
  std::printf("counts");
  for (int i = 8; i < 14; ++i) std::printf(" %u", review.First[i]);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string mode = argv[1];
  g_proxy = CreateFileA("\\\\.\\zekproxy", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (g_proxy == INVALID_HANDLE_VALUE) {
    std::printf("FAILED: opening zekproxy (%lu)\n", static_cast<unsigned long>(GetLastError()));
    return 2;
  }
  if (mode == "sequence") {
    sequence();
  } else if (mode == "hold") {
    hold();
  } else if (mode == "foreign" && argc == 6) {
    foreign(std::strtoull(argv[2], nullptr, 10), std::strtoull(argv[3], nullptr, 10),
            std::strtoull(argv[4], nullptr, 10), std::strtoull(argv[5], nullptr, 10));
  } else if (mode == "counts") {
    counts();
  } else {
    return 2;
  }
  CloseHandle(g_proxy);
  std::printf("%d failures\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
