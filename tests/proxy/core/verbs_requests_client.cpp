// A user process for the verbs requests' lab test: opens "\\.\zekproxy"
// through the user runtime and drives the verbs control requests.
//
//   zekvreqclient sequence          the whole sequence, then hostile records
//   zekvreqclient hold              makes one of each object, prints its
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

std::uint32_t destroy(DWORD code, std::uint64_t adapter, std::uint64_t object) {
  ZekVreqObject r{adapter, object, 0xFFFF, 0};
  check(send(code, &r), "a destroy is answered");
  return r.Status;
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
