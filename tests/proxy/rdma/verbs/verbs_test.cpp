// The kernel verbs' object layer against the simulated adapter, through the
// kernel routine table as a kernel client calls it: the tables and texts,
// the SAN address list, open and close, protection domains, completion
// queues and queue pairs with their limits and in-use rules, handles that
// are not the adapter's (closed, freed, forged, another adapter's), the
// per-process clean-up, polling with flushed completions, and an
// interrupted destroy finished by the close.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "include/zek/interfaces.h"
#include "proxy/rdma/hw/work_requests.h"
#include "tests/proxy/rdma/verbs/verbs_fixture.h"

namespace {

using verbstest::address_of;
using verbstest::VerbsTest;

// ---- Tables, texts, names ----------------------------------------------------------------------------------------
TEST_F(VerbsTest, BothTablesArePublishedWithTheirOwnOpenAndNoMadeUpSlots) {
  void* user = nullptr;
  void* kernel = nullptr;
  ASSERT_EQ(ZEK_GetInterface(IWARP_VERBS_INTERFACE, &user), ZEK_STATUS_PASS);
  ASSERT_EQ(ZEK_GetInterface(IWARP_KERNEL_VERBS_INTERFACE, &kernel), ZEK_STATUS_PASS);
  for (void* t : {user, kernel}) {
    const auto* table = static_cast<const ZekVerbsInterface*>(t);
    EXPECT_EQ(table->Header.Signature, 0x57524F55u);
    EXPECT_EQ(table->Header.ByteSize, 328u);
    EXPECT_EQ(table->SrqCreate(), ZEK_STATUS_FAIL);
    EXPECT_EQ(table->SrqModify(), ZEK_STATUS_FAIL);
    // Operations of later verbs are absent, not faked.
    EXPECT_EQ(table->QpModify, &zek_qp_modify);
    EXPECT_NE(table->QpPostSq, nullptr);
    EXPECT_NE(table->MwQuery, nullptr);
  }
  const auto* u = static_cast<const ZekVerbsInterface*>(user);
  const auto* k = static_cast<const ZekVerbsInterface*>(kernel);
  EXPECT_NE(u->Open, k->Open);
  // Each table registers its own kind of buffer; physical pages are the kernel's.
  EXPECT_NE(u->MrRegisterNonshared, k->MrRegisterNonshared);
  EXPECT_EQ(u->MrRegisterNonsharedPhysical(nullptr, nullptr, nullptr, nullptr, nullptr), ZEK_STATUS_FAIL);
  EXPECT_EQ(u->MrReregisterNonsharedPhysical(nullptr, nullptr, nullptr, nullptr, nullptr, 0), ZEK_STATUS_FAIL);

  const struct {
    ZekStatus code;
    const char* text;
  } texts[] = {
      {0x50012, "IWARP_STATUS_A_INVALID_RNIC_HANDLE"},
      {0x50021, "IWARP_STATUS_PD_PD_IN_USE"},
      {0x50050, "IWARP_STATUS_QP_INVALID_HANDLE"},
      {0x50076, "IWARP_STATUS_MR_MY_STILL_BOUND"},
      {0x50013, "UNKNOWN IWARP ERROR"},
      {0x5007F, "UNKNOWN IWARP ERROR"},
  };
  for (const auto& t : texts) EXPECT_STREQ(ZEK_GetErrorMessage(t.code), t.text) << std::hex << t.code;
  EXPECT_STREQ(ZEK_GetFunctionName(0x120000), "K_IWARP_INIT");
  EXPECT_STREQ(ZEK_GetFunctionName(0x120000 | 20 << 8), "K_IWARP_QP_DESTROY");
  EXPECT_STREQ(ZEK_GetFunctionName(0x120000 | 32 << 8), "K_IWARP_MW_QUERY");
}

// ---- SAN addresses ----------------------------------------------------------------------------------------
TEST_F(VerbsTest, TheAddressListHoldsTheSanAddressesOnly) {
  ZekVerbsAddress list[8] = {};
  std::uint32_t count = 8;
  ASSERT_EQ(zek_adapter_addrs(list, &count, nullptr), ZEK_STATUS_PASS);
  ASSERT_EQ(count, 2u) << "127.0.0.1 is never listed";
  // In the stack's interface order: the loopback interface's address, then
  // the adapter interface's.
  EXPECT_EQ(list[0].Ipv4, address_of(verbstest::kOtherAddress).Ipv4);
  EXPECT_EQ(list[1].Ipv4, address_of(verbstest::kSanAddress).Ipv4);
  EXPECT_EQ(list[0].Family, ZEK_AF_INET);
  EXPECT_EQ(list[0].Length, 16);

  const struct {
    const char* name;
    const char* address;
    std::uint32_t count;
    std::uint32_t expected_count;
    std::uint32_t first;  // host order
  } cases[] = {
      {"an exact address alone", "10.77.0.2", 8, 1, verbstest::kOtherAddress},
      {"every address of its subnet", "10.77.0.99", 8, 2, verbstest::kOtherAddress},
      {"the subnet, up to the count", "10.77.0.99", 1, 1, verbstest::kOtherAddress},
      {"no match: the first, and the count says one", "10.99.0.1", 8, 1, verbstest::kSanAddress},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ZekVerbsAddress out[8] = {};
    std::uint32_t n = c.count;
    ASSERT_EQ(zek_adapter_addrs(out, &n, c.address), ZEK_STATUS_PASS) << log_text();
    EXPECT_EQ(n, c.expected_count);
    EXPECT_EQ(out[0].Ipv4, address_of(c.first).Ipv4);
  }

  std::uint32_t n = 257;
  EXPECT_EQ(zek_adapter_addrs(list, &n, nullptr), ZEK_STATUS_RES_INSUFFICIENT_SW);
  n = 0;
  EXPECT_EQ(zek_adapter_addrs(list, &n, nullptr), ZEK_STATUS_BAD_PTR);
  n = 8;
  EXPECT_EQ(zek_adapter_addrs(nullptr, &n, nullptr), ZEK_STATUS_BAD_PTR);
  EXPECT_EQ(zek_adapter_addrs(list, nullptr, nullptr), ZEK_STATUS_BAD_PTR);
}

// ---- Open and close ---------------------------------------------------------------------------------------
TEST_F(VerbsTest, OpenTakesOnlyTheSanAddressOfAnAttachedAdapter) {
  const struct {
    const char* name;
    std::uint32_t address;
    ZekStatus status;
  } cases[] = {
      {"the attached adapter's SAN address", verbstest::kSanAddress, ZEK_STATUS_PASS},
      {"not a SAN address of the stack", verbstest::kNoAddress, IWARP_STATUS_A_INVALID_ADAPTER_ADDRESS},
      {"a SAN address with no adapter behind it", verbstest::kOtherAddress, ZEK_STATUS_FAIL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    void* adapter = nullptr;
    const ZekVerbsAddress a = address_of(c.address);
    EXPECT_EQ(table()->Open(&adapter, &a), c.status);
    EXPECT_EQ(adapter != nullptr, c.status == ZEK_STATUS_PASS);
    if (adapter != nullptr) {
      ZekAdapterAttributes attributes{};
      ASSERT_EQ(table()->Query(adapter, &attributes), ZEK_STATUS_PASS);
      EXPECT_EQ(attributes.MaxSqWr, 510u);
      EXPECT_EQ(attributes.MaxOrd, 64u);
      EXPECT_EQ(attributes.Fifteen204, 15u);
      EXPECT_EQ(attributes.Value1024, 1024u);
      EXPECT_EQ(attributes.MaxStreamMessage2, 64u);
      EXPECT_EQ(table()->Close(adapter), ZEK_STATUS_PASS);
    }
  }
}

// A closed adapter, or a pointer that never was one, is no adapter: every
// verb answers 0x50012 and touches nothing.
TEST_F(VerbsTest, AClosedOrForgedAdapterIsRefusedByEveryVerb) {
  void* closed = open();
  ASSERT_EQ(table()->Close(closed), ZEK_STATUS_PASS);
  std::uint8_t forged_bytes[512] = {};
  std::memcpy(forged_bytes, &ZEK_IWARP_ADAPTER_MAGIC, 4);
  for (void* adapter : {closed, static_cast<void*>(forged_bytes)}) {
    void* object = nullptr;
    std::uint32_t n = 0;
    ZekAdapterAttributes attributes{};
    ZekWorkCompletion wc{};
    ZekQpAttributes qa{};
    std::uint64_t handle = 0;
    const ZekQpCreateInput in = qp_input(nullptr, nullptr, nullptr);
    const std::vector<std::pair<const char*, ZekStatus>> results = {
        {"close", table()->Close(adapter)},
        {"query", table()->Query(adapter, &attributes)},
        {"set async handler", table()->SetAsyncHandler(adapter, nullptr, nullptr)},
        {"set context", table()->SetContext(adapter, reinterpret_cast<std::uint64_t>(adapter), 0, nullptr)},
        {"pd allocate", table()->PdAllocate(adapter, &object)},
        {"cq create", table()->CqCreate(adapter, &object, &n, nullptr, nullptr, 16)},
        {"cq poll", table()->CqPollCompletion(adapter, forged_bytes, &wc)},
        {"cq notify", table()->CqRequestNotification(adapter, forged_bytes, 0)},
        {"qp query", table()->QpQuery(adapter, 40, &qa)},
        {"qp create", zek_qp_create(adapter, &in, &qa, &handle)},
    };
    for (const auto& [verb, status] : results) EXPECT_EQ(status, IWARP_STATUS_A_INVALID_RNIC_HANDLE) << verb;
  }
}

// ---- Objects and their limits -----------------------------------------------------------------------------
TEST_F(VerbsTest, ObjectsAreCreatedQueriedAndDestroyed) {
  void* adapter = open();
  const std::vector<std::uint32_t> before = in_use();
  const Objects o = objects(adapter);
  ZekVerbsCqHandler handler = nullptr;
  std::uint32_t entries = 0;
  ASSERT_EQ(table()->CqQuery(adapter, o.cq, &handler, &entries), ZEK_STATUS_PASS);
  EXPECT_EQ(entries, 64u);

  ZekQpAttributes out{};
  std::uint64_t qp = 0;
  ZekQpCreateInput in = qp_input(o.pd, o.cq, o.cq, 30, 3);
  in.Flags = 0x11;
  in.Feature48 = 1;
  in.Ird = 3;
  ASSERT_EQ(table()->QpCreate(adapter, &in, &out, &qp), ZEK_STATUS_PASS) << log_text();
  EXPECT_GE(qp, 40u);
  EXPECT_LT(qp, ZEK_VERBS_QP_TABLE_SIZE);
  EXPECT_EQ(out.SendCq, reinterpret_cast<std::uint64_t>(o.cq)) << "the CQ's client handle";
  EXPECT_EQ(out.SqSize, 30u);
  EXPECT_EQ(out.RqSize, 30u);
  EXPECT_EQ(out.Ird, 8u);
  EXPECT_EQ(out.State, 1u);
  EXPECT_EQ(out.SqSges, 4u);

  ZekQpAttributes q{};
  std::memset(&q, 0xEE, sizeof q);
  ASSERT_EQ(table()->QpQuery(adapter, qp, &q), ZEK_STATUS_PASS);
  EXPECT_EQ(q.SendCq, static_cast<MifhCqObject*>(o.cq)->CqId);
  EXPECT_EQ(q.Pd, reinterpret_cast<std::uint64_t>(o.pd));
  EXPECT_EQ(q.SqSize, 30u);
  EXPECT_EQ(q.Flags, 0x11u);
  EXPECT_EQ(q.Feature48, 1u);
  EXPECT_EQ(q.State, ZEK_QP_STATE_IDLE);
  EXPECT_EQ(q.Socket, 0xEEEEEEEEEEEEEEEEull) << "an idle queue pair leaves the socket unwritten";

  void* value = nullptr;
  ASSERT_EQ(table()->SetContext(adapter, qp, ZEK_CONTEXT_QP, &q), ZEK_STATUS_PASS);
  ASSERT_EQ(table()->GetContext(adapter, qp, ZEK_CONTEXT_QP, &value), ZEK_STATUS_PASS);
  EXPECT_EQ(value, &q);
  ASSERT_EQ(table()->SetContext(adapter, reinterpret_cast<std::uint64_t>(o.cq), ZEK_CONTEXT_CQ, &out), ZEK_STATUS_PASS);
  ASSERT_EQ(table()->GetContext(adapter, reinterpret_cast<std::uint64_t>(o.cq), ZEK_CONTEXT_CQ, &value),
            ZEK_STATUS_PASS);
  EXPECT_EQ(value, &out);
  EXPECT_EQ(table()->SetContext(adapter, 0, 7, nullptr), ZEK_STATUS_FAIL);

  EXPECT_EQ(table()->QpDestroy(adapter, qp), ZEK_STATUS_PASS) << log_text();
  EXPECT_EQ(table()->CqDestroy(adapter, o.cq), ZEK_STATUS_PASS);
  EXPECT_EQ(table()->PdDeallocate(adapter, o.pd), ZEK_STATUS_PASS);
  EXPECT_EQ(in_use(), before);
  EXPECT_EQ(table()->Close(adapter), ZEK_STATUS_PASS);
}

// Every queue gets at least the work requests asked for (the smallest ring
// whose usable part, two slots less, holds them); more than the largest ring
// holds is refused.
TEST_F(VerbsTest, QueueSizesRoundUpAndIrdToItsClasses) {
  void* adapter = open();
  const Objects o = objects(adapter);
  const struct {
    std::uint32_t requested;
    std::uint32_t ird;
    ZekStatus status;
    std::uint32_t usable;
    std::uint32_t ird_out;
  } cases[] = {
      {0, 0, ZEK_STATUS_PASS, 2, 2},
      {2, 2, ZEK_STATUS_PASS, 2, 2},
      {3, 3, ZEK_STATUS_PASS, 30, 8},
      {30, 8, ZEK_STATUS_PASS, 30, 8},
      {31, 9, ZEK_STATUS_PASS, 126, 32},
      {126, 33, ZEK_STATUS_PASS, 126, 64},
      {127, 64, ZEK_STATUS_PASS, 510, 64},
      {510, 1, ZEK_STATUS_PASS, 510, 2},
      {511, 1, IWARP_STATUS_QP_INVALID_NUM_WORK_REQS, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.requested);
    ZekQpCreateInput in = qp_input(o.pd, o.cq, o.cq, c.requested, c.requested);
    in.Ird = c.ird;
    ZekQpAttributes out{};
    std::uint64_t qp = 0;
    const std::vector<std::uint32_t> before = in_use();
    ASSERT_EQ(table()->QpCreate(adapter, &in, &out, &qp), c.status) << log_text();
    if (c.status != ZEK_STATUS_PASS) {
      EXPECT_EQ(in_use(), before) << "nothing taken";
      continue;
    }
    EXPECT_EQ(out.SqSize, c.usable);
    EXPECT_EQ(out.RqSize, c.usable);
    EXPECT_GE(out.SqSize, c.requested);
    EXPECT_EQ(out.Ird, c.ird_out);
    EXPECT_EQ(table()->QpDestroy(adapter, qp), ZEK_STATUS_PASS);
  }
  EXPECT_EQ(table()->Close(adapter), ZEK_STATUS_PASS);
}

TEST_F(VerbsTest, AQueuePairBeyondTheLimitsIsRefusedAndNothingIsTaken) {
  void* adapter = open();
  const Objects o = objects(adapter);
  const std::vector<std::uint32_t> before = in_use();
  const struct {
    const char* name;
    void (*change)(ZekQpCreateInput&);
    ZekStatus status;
  } cases[] = {
      {"five send SGEs", [](ZekQpCreateInput& in) { in.SqSges = 5; }, IWARP_STATUS_QP_INVALID_NUM_SGES},
      {"five receive SGEs", [](ZekQpCreateInput& in) { in.RqSges = 5; }, IWARP_STATUS_QP_INVALID_NUM_SGES},
      {"five RDMA-write SGEs", [](ZekQpCreateInput& in) { in.RdmaWSges = 5; }, IWARP_STATUS_QP_INVALID_NUM_SGES},
      {"ORD above the adapter's", [](ZekQpCreateInput& in) { in.Ord = 65; }, IWARP_STATUS_QP_INVALID_ORD},
      {"IRD above the adapter's", [](ZekQpCreateInput& in) { in.Ird = 65; }, IWARP_STATUS_QP_INVALID_IRD},
      {"send queue at the adapter's maximum", [](ZekQpCreateInput& in) { in.SqSize = 512; },
       IWARP_STATUS_QP_INVALID_NUM_WORK_REQS},
      {"receive queue at the adapter's maximum", [](ZekQpCreateInput& in) { in.RqSize = 512; },
       IWARP_STATUS_QP_INVALID_NUM_WORK_REQS},
      {"no PD", [](ZekQpCreateInput& in) { in.Pd = 0; }, IWARP_STATUS_PD_INVALID_PD_ID},
      {"no send CQ", [](ZekQpCreateInput& in) { in.SendCq = 0; }, ZEK_STATUS_FAIL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ZekQpCreateInput in = qp_input(o.pd, o.cq, o.cq);
    c.change(in);
    ZekQpAttributes out{};
    std::uint64_t qp = 0;
    EXPECT_EQ(table()->QpCreate(adapter, &in, &out, &qp), c.status);
    EXPECT_EQ(in_use(), before);
  }
  EXPECT_EQ(table()->Close(adapter), ZEK_STATUS_PASS);
}

// ---- In-use rules -----------------------------------------------------------------------------------------
// A PD or CQ that a queue pair uses is refused and stays as it was: still
// the adapter's, freed once the queue pair is gone.
TEST_F(VerbsTest, APdOrCqInUseIsRefusedAndKept) {
  void* adapter = open();
  const Objects o = objects(adapter);
  const std::uint64_t qp = make_qp(adapter, o);
  ASSERT_NE(qp, 0u);
  EXPECT_EQ(table()->PdDeallocate(adapter, o.pd), IWARP_STATUS_PD_PD_IN_USE);
  EXPECT_EQ(table()->CqDestroy(adapter, o.cq), IWARP_STATUS_CQ_IN_USE);
  // Both are still usable: a second queue pair takes them.
  const std::uint64_t second = make_qp(adapter, o);
  ASSERT_NE(second, 0u);
  EXPECT_EQ(table()->QpDestroy(adapter, second), ZEK_STATUS_PASS);
  EXPECT_EQ(table()->QpDestroy(adapter, qp), ZEK_STATUS_PASS);
  EXPECT_EQ(table()->PdDeallocate(adapter, o.pd), ZEK_STATUS_PASS);
  EXPECT_EQ(table()->CqDestroy(adapter, o.cq), ZEK_STATUS_PASS);
  EXPECT_EQ(table()->Close(adapter), ZEK_STATUS_PASS);
}

// ---- Handles that are not the adapter's -------------------------------------------------------------------
TEST_F(VerbsTest, HandlesAreLookedUpNeverTrusted) {
  void* adapter = open();
  void* other = open();
  const Objects o = objects(adapter);
  const Objects theirs = objects(other);
  void* freed_cq = nullptr;
  void* freed_pd = nullptr;
  std::uint32_t entries = 0;
  ASSERT_EQ(table()->CqCreate(adapter, &freed_cq, &entries, nullptr, nullptr, 8), ZEK_STATUS_PASS);
  ASSERT_EQ(table()->CqDestroy(adapter, freed_cq), ZEK_STATUS_PASS);
  ASSERT_EQ(table()->PdAllocate(adapter, &freed_pd), ZEK_STATUS_PASS);
  ASSERT_EQ(table()->PdDeallocate(adapter, freed_pd), ZEK_STATUS_PASS);
  std::uint8_t forged[MIFH_CQ_OBJECT_BYTES] = {};
  std::memcpy(forged + offsetof(MifhCqObject, Signature), &MIFH_CQ_SIGNATURE, 4);

  for (void* cq : {freed_cq, static_cast<void*>(forged), theirs.cq}) {
    SCOPED_TRACE(cq == theirs.cq ? "another adapter's CQ" : cq == freed_cq ? "a freed CQ" : "a forged CQ");
    ZekWorkCompletion wc{};
    ZekVerbsCqHandler handler = nullptr;
    std::uint32_t n = 0;
    EXPECT_EQ(table()->CqDestroy(adapter, cq), IWARP_STATUS_CQ_INVALID_HANDLE);
    EXPECT_EQ(table()->CqPollCompletion(adapter, cq, &wc), IWARP_STATUS_CQ_INVALID_HANDLE);
    EXPECT_EQ(table()->CqRequestNotification(adapter, cq, 0), IWARP_STATUS_CQ_INVALID_HANDLE);
    EXPECT_EQ(table()->CqQuery(adapter, cq, &handler, &n), IWARP_STATUS_CQ_INVALID_HANDLE);
    EXPECT_EQ(table()->CqModify(adapter, cq, &n, 8), IWARP_STATUS_CQ_INVALID_HANDLE);
    EXPECT_EQ(table()->CqSetComplHandler(adapter, cq, nullptr, nullptr), IWARP_STATUS_CQ_INVALID_HANDLE);
    const ZekQpCreateInput in = qp_input(o.pd, cq, o.cq);
    ZekQpAttributes out{};
    std::uint64_t qp = 0;
    EXPECT_EQ(table()->QpCreate(adapter, &in, &out, &qp), IWARP_STATUS_CQ_INVALID_HANDLE);
  }
  for (void* pd : {freed_pd, theirs.pd}) {
    EXPECT_EQ(table()->PdDeallocate(adapter, pd), IWARP_STATUS_PD_INVALID_PD_ID);
    const ZekQpCreateInput in = qp_input(pd, o.cq, o.cq);
    ZekQpAttributes out{};
    std::uint64_t qp = 0;
    EXPECT_EQ(table()->QpCreate(adapter, &in, &out, &qp), IWARP_STATUS_PD_INVALID_PD_ID);
  }

  // Queue-pair handles: beyond the table, freed, another adapter's.
  const ZekQpCreateInput in = qp_input(theirs.pd, theirs.cq, theirs.cq);
  ZekQpAttributes out{};
  std::uint64_t their_qp = 0;
  ASSERT_EQ(table()->QpCreate(other, &in, &out, &their_qp), ZEK_STATUS_PASS);
  const ZekQpCreateInput mine = qp_input(o.pd, o.cq, o.cq);
  std::uint64_t freed_qp = 0;
  ASSERT_EQ(table()->QpCreate(adapter, &mine, &out, &freed_qp), ZEK_STATUS_PASS);
  ASSERT_EQ(table()->QpDestroy(adapter, freed_qp), ZEK_STATUS_PASS);
  for (std::uint64_t qp : {std::uint64_t{ZEK_VERBS_QP_TABLE_SIZE}, freed_qp, their_qp, ~std::uint64_t{0}}) {
    SCOPED_TRACE(qp);
    void* value = nullptr;
    std::uint8_t empty = 0;
    EXPECT_EQ(table()->SetContext(adapter, qp, ZEK_CONTEXT_QP, nullptr), IWARP_STATUS_QP_INVALID_HANDLE);
    EXPECT_EQ(table()->GetContext(adapter, qp, ZEK_CONTEXT_QP, &value), IWARP_STATUS_QP_INVALID_HANDLE);
    EXPECT_EQ(table()->QpQuery(adapter, qp, &out), IWARP_STATUS_QP_INVALID_HANDLE);
    EXPECT_EQ(table()->QpDestroy(adapter, qp), IWARP_STATUS_QP_INVALID_HANDLE);
    EXPECT_EQ(zek_is_qp_rq_empty(adapter, qp, &empty), IWARP_STATUS_QP_INVALID_HANDLE);
  }
  EXPECT_EQ(table()->QpQuery(other, their_qp, &out), ZEK_STATUS_PASS) << "still its own adapter's";
  EXPECT_EQ(table()->Close(other), ZEK_STATUS_PASS);
  EXPECT_EQ(table()->Close(adapter), ZEK_STATUS_PASS);
}

// ---- Close and the per-process clean-up -------------------------------------------------------------------
// Closing with objects open destroys queue pairs before completion queues
// and protection domains last; the resource managers' numbers all come back.
TEST_F(VerbsTest, CloseWithObjectsOpenLeavesTheManagersAtBaseline) {
  const std::vector<std::uint32_t> before = in_use();
  void* adapter = open();
  const Objects o = objects(adapter);
  void* spare_pd = nullptr;
  ASSERT_EQ(table()->PdAllocate(adapter, &spare_pd), ZEK_STATUS_PASS);
  for (int i = 0; i < 3; ++i) ASSERT_NE(make_qp(adapter, o), 0u);
  EXPECT_NE(in_use(), before);
  EXPECT_EQ(table()->Close(adapter), ZEK_STATUS_PASS) << log_text();
  EXPECT_EQ(in_use(), before);
  EXPECT_EQ(FindIwarpAdapter(adapter), ZEK_STATUS_FAIL);
}

// A close waits for the verbs running on its adapter: from its start no new
// verb reaches the adapter, and the running one keeps it until it is done.
TEST_F(VerbsTest, CloseWaitsForTheVerbsRunningOnItsAdapter) {
  void* adapter = open();
  auto* a = static_cast<ZekIwarpAdapter*>(adapter);
  ASSERT_TRUE(ZekAdapterAcquire(adapter, nullptr)) << "a verb under way";
  std::atomic<bool> closed{false};
  std::thread closer([&] {
    EXPECT_EQ(table()->Close(adapter), ZEK_STATUS_PASS);
    closed = true;
  });
  EXPECT_TRUE(eventually([&] {
    void* pd = nullptr;
    return table()->PdAllocate(adapter, &pd) == IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  }));
  EXPECT_FALSE(closed.load());
  EXPECT_EQ(a->Magic, ZEK_IWARP_ADAPTER_MAGIC) << "not freed under the running verb";
  ZekAdapterRelease(a);
  closer.join();
  EXPECT_TRUE(closed.load());
  EXPECT_EQ(FindIwarpAdapter(adapter), ZEK_STATUS_FAIL);
}

// An adapter detached while verbs adapters are open on it closes them
// first: nothing is left naming its managers or its device.
TEST_F(VerbsTest, ADetachClosesTheVerbsAdaptersOpenOnIt) {
  void* adapter = open();
  const Objects o = objects(adapter);
  const std::uint64_t qp = make_qp(adapter, o);
  ASSERT_NE(qp, 0u);
  ASSERT_EQ(ProxyRemoveNic(&record_), ZEK_STATUS_PASS) << log_text();
  ZekQpAttributes out{};
  EXPECT_EQ(FindIwarpAdapter(adapter), ZEK_STATUS_FAIL);
  EXPECT_EQ(table()->QpQuery(adapter, qp, &out), IWARP_STATUS_A_INVALID_RNIC_HANDLE);
  EXPECT_TRUE(logged("was open on the detached adapter"));
}

// The clean-up of a process closes the adapters it opened through the user
// table, and no other: a kernel client's adapter stays open.
TEST_F(VerbsTest, TheProcessCleanUpClosesThatProcessesAdaptersOnly) {
  void* user_table = nullptr;
  ASSERT_EQ(ZEK_GetInterface(IWARP_VERBS_INTERFACE, &user_table), ZEK_STATUS_PASS);
  const ZekVerbsAddress a = address_of(verbstest::kSanAddress);
  void* users = nullptr;
  ASSERT_EQ(static_cast<const ZekVerbsInterface*>(user_table)->Open(&users, &a), ZEK_STATUS_PASS);
  void* kernels = open();
  const std::vector<std::uint32_t> before = in_use();
  const Objects o = objects(users);
  (void)o;
  // Another process's clean-up finds nothing of it.
  zek_cleanup_iwarp_resources(reinterpret_cast<HANDLE>(std::uintptr_t{0x7FFF1234}));
  EXPECT_EQ(FindIwarpAdapter(users), ZEK_STATUS_PASS);
  // The handle's clean-up of this process, as IRP_MJ_CLEANUP runs it.
  ZpxReleaseProcessIwarpResources(PsGetCurrentProcessId());
  EXPECT_EQ(FindIwarpAdapter(users), ZEK_STATUS_FAIL);
  EXPECT_EQ(FindIwarpAdapter(kernels), ZEK_STATUS_PASS);
  EXPECT_EQ(in_use(), before);
  void* pd = nullptr;
  EXPECT_EQ(table()->PdAllocate(users, &pd), IWARP_STATUS_A_INVALID_RNIC_HANDLE);
  EXPECT_EQ(table()->Close(kernels), ZEK_STATUS_PASS);
}

// ---- Completion queues ------------------------------------------------------------------------------------
TEST_F(VerbsTest, ArmingModesAndTheSizeAModifyCanKeep) {
  void* adapter = open();
  const Objects o = objects(adapter);
  EXPECT_EQ(table()->CqRequestNotification(adapter, o.cq, 0), ZEK_STATUS_PASS);
  EXPECT_EQ(table()->CqRequestNotification(adapter, o.cq, 1), ZEK_STATUS_PASS);
  EXPECT_EQ(table()->CqRequestNotification(adapter, o.cq, 2), IWARP_STATUS_CQ_INVALID_NOTIFY_MODE);
  std::uint32_t entries = 0;
  EXPECT_EQ(table()->CqModify(adapter, o.cq, &entries, 64), ZEK_STATUS_PASS) << log_text();
  EXPECT_EQ(entries, 64u);
  entries = 0;
  EXPECT_EQ(table()->CqModify(adapter, o.cq, &entries, 128), IWARP_STATUS_CQ_COULD_NOT_RESIZE_CQ);
  EXPECT_EQ(entries, 0u) << "no size is reported that the adapter was not given";
  EXPECT_EQ(table()->CqModify(adapter, o.cq, &entries, 0), ZEK_STATUS_A_INVALID_IDENTIFIER);

  void* big = nullptr;
  ASSERT_EQ(table()->CqCreate(adapter, &big, &entries, nullptr, nullptr, 100000), ZEK_STATUS_PASS) << log_text();
  EXPECT_EQ(entries, ZEK_VERBS_MAX_CQ_ENTRIES);
  EXPECT_EQ(table()->CqCreate(adapter, &big, &entries, nullptr, nullptr, 0), ZEK_STATUS_A_INVALID_IDENTIFIER);
  EXPECT_EQ(table()->Close(adapter), ZEK_STATUS_PASS);
}

// Receive requests outstanding when the receive queue is flushed come back
// from the poll as flushed completions, in order, each once; then the CQ is
// empty.
TEST_F(VerbsTest, AFlushedReceiveQueueComesBackThroughThePoll) {
  void* adapter = open();
  const Objects o = objects(adapter);
  const std::uint64_t handle = make_qp(adapter, o);
  ASSERT_NE(handle, 0u);
  ZekWorkCompletion wc{};
  EXPECT_EQ(table()->CqPollCompletion(adapter, o.cq, &wc), IWARP_STATUS_CQ_EMPTY);

  // Three receives, written as the posting verbs will write them.
  MifhQpObject* qp = qp_object(adapter, handle);
  ASSERT_NE(qp, nullptr);
  for (std::uint64_t id : {0x101u, 0x102u, 0x103u}) {
    MifhWorkRequest wr{};
    wr.WrId = id;
    ASSERT_EQ(mifh_iwarp_post_receive(qp, &wr), ZEK_STATUS_PASS);
  }
  std::uint8_t empty = 1;
  ASSERT_EQ(zek_is_qp_rq_empty(adapter, handle, &empty), ZEK_STATUS_PASS);
  EXPECT_EQ(empty, 0);
  ASSERT_EQ(zek_qp_rq_flush(adapter, handle, nullptr, nullptr), ZEK_STATUS_PASS) << log_text();
  for (std::uint64_t id : {0x101u, 0x102u, 0x103u}) {
    ASSERT_EQ(table()->CqPollCompletion(adapter, o.cq, &wc), ZEK_STATUS_PASS);
    EXPECT_EQ(wc.WrId, id);
    EXPECT_EQ(wc.Status, 1u);
    EXPECT_EQ(wc.OpCode, ZEK_WC_RECEIVE);
    EXPECT_EQ(wc.Qp, handle);
  }
  EXPECT_EQ(table()->CqPollCompletion(adapter, o.cq, &wc), IWARP_STATUS_CQ_EMPTY);
  ASSERT_EQ(zek_is_qp_rq_empty(adapter, handle, &empty), ZEK_STATUS_PASS);
  EXPECT_EQ(empty, 1);
  EXPECT_EQ(zek_is_qp_rq_empty(adapter, handle, nullptr), ZEK_STATUS_BAD_PTR);
  EXPECT_EQ(table()->Close(adapter), ZEK_STATUS_PASS);
}

// The error ring takes 999 queue pairs; the 1000th is refused, not lost
// silently, and an entry of a destroyed queue pair is passed over.
TEST_F(VerbsTest, TheErrorRingReportsWhenFullAndForgetsDestroyedQueuePairs) {
  void* adapter = open();
  const Objects o = objects(adapter);
  const std::uint64_t handle = make_qp(adapter, o);
  ASSERT_NE(handle, 0u);
  MifhQpObject* qp = qp_object(adapter, handle);
  auto* cq = static_cast<MifhCqObject*>(o.cq);
  for (int i = 0; i < 999; ++i) ASSERT_EQ(InsertInErrorQPList(cq, qp, 0, 0), ZEK_STATUS_PASS) << i;
  EXPECT_EQ(InsertInErrorQPList(cq, qp, 0, 0), ZEK_STATUS_FAIL);
  // Its queues are empty: every entry is consumed without a completion.
  ZekWorkCompletion wc{};
  EXPECT_EQ(table()->CqPollCompletion(adapter, o.cq, &wc), IWARP_STATUS_CQ_EMPTY);
  EXPECT_EQ(InsertInErrorQPList(cq, qp, 0, 0), ZEK_STATUS_PASS);
  EXPECT_EQ(table()->QpDestroy(adapter, handle), ZEK_STATUS_PASS);
  EXPECT_EQ(table()->CqPollCompletion(adapter, o.cq, &wc), IWARP_STATUS_CQ_EMPTY);
  EXPECT_EQ(table()->Close(adapter), ZEK_STATUS_PASS);
}

// A flush queued to wait for the queue pair's flush point is not due before
// the tail reaches it: the poll returns at once and keeps the entry, which
// yields the flushed completions once it is due.
TEST_F(VerbsTest, AFlushNotYetDueIsKeptWithoutSpinning) {
  void* adapter = open();
  const Objects o = objects(adapter);
  const std::uint64_t handle = make_qp(adapter, o);
  ASSERT_NE(handle, 0u);
  MifhQpObject* qp = qp_object(adapter, handle);
  for (std::uint64_t id : {0x201u, 0x202u}) {
    MifhWorkRequest wr{};
    wr.WrId = id;
    ASSERT_EQ(mifh_iwarp_post_receive(qp, &wr), ZEK_STATUS_PASS);
  }
  ZekQpOf(qp)->RecvFlushPoint = qp->RqRing.Tail + 1;
  ASSERT_EQ(InsertInErrorQPList(static_cast<MifhCqObject*>(o.cq), qp, 0, 1), ZEK_STATUS_PASS);
  ZekWorkCompletion wc{};
  EXPECT_EQ(table()->CqPollCompletion(adapter, o.cq, &wc), IWARP_STATUS_CQ_EMPTY);
  EXPECT_EQ(table()->CqPollCompletion(adapter, o.cq, &wc), IWARP_STATUS_CQ_EMPTY) << "still kept";
  ZekQpOf(qp)->RecvFlushPoint = qp->RqRing.Tail;
  for (std::uint64_t id : {0x201u, 0x202u}) {
    ASSERT_EQ(table()->CqPollCompletion(adapter, o.cq, &wc), ZEK_STATUS_PASS);
    EXPECT_EQ(wc.WrId, id);
    EXPECT_EQ(wc.Status, 1u);
  }
  EXPECT_EQ(table()->CqPollCompletion(adapter, o.cq, &wc), IWARP_STATUS_CQ_EMPTY);
  EXPECT_EQ(table()->Close(adapter), ZEK_STATUS_PASS);
}

// ---- An interrupted wait ----------------------------------------------------------------------------------
// A destroy whose wait is interrupted leaves the queue pair to the close,
// which finishes it; its PD and CQ are then freed by the close too, and the
// managers' numbers all come back.
TEST_F(VerbsTest, AnInterruptedDestroyIsFinishedByTheClose) {
  const std::vector<std::uint32_t> before = in_use();
  void* adapter = open();
  const Objects o = objects(adapter);
  const std::uint64_t handle = make_qp(adapter, o);
  ASSERT_NE(handle, 0u);
  g_ZekVerbsInterruptNextWait = 1;
  EXPECT_EQ(table()->QpDestroy(adapter, handle), ZEK_STATUS_FAIL);
  EXPECT_TRUE(logged("zek_qp_destroy: Crtl-C is pressed"));
  EXPECT_EQ(table()->QpDestroy(adapter, handle), ZEK_STATUS_FAIL) << "its destroy is under way";
  EXPECT_EQ(table()->PdDeallocate(adapter, o.pd), IWARP_STATUS_PD_PD_IN_USE);
  EXPECT_EQ(table()->Close(adapter), ZEK_STATUS_PASS) << log_text();
  EXPECT_EQ(in_use(), before);
}

}  // namespace
