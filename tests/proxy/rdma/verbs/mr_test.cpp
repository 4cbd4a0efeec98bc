// Memory regions and windows through the kernel verbs table, against the
// adapter model's STag table: registrations of every page-list form as the
// adapter holds them, the rights rules, shared registrations and the order
// of their deallocation, queries, and nothing left behind on any path.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "include/hw/cqp.h"
#include "include/hw/stag.h"
#include "platform/kernel/mm.h"
#include "tests/proxy/rdma/verbs/verbs_fixture.h"

namespace {

using verbstest::OpenAdapterTest;

constexpr std::uint32_t kPage = 4096;

class MrTest : public OpenAdapterTest {
 protected:
  void SetUp() override {
    OpenAdapterTest::SetUp();
    if (HasFatalFailure()) return;
    pd_id_ = static_cast<ZekPd*>(o_.pd)->Hw.PdId;
  }
  std::optional<zeksim::MemoryEntry> entry(std::uint32_t stag) { return board_->stag_entry(zekhw::stag_index(stag)); }
  // The control request at ring slot `slot`.
  zekhw::MifhStagWqe control(std::uint32_t slot) const {
    zekhw::MifhStagWqe w;
    std::memcpy(&w, &fn_->cqp_ring[slot % fn_->cqp->RingIndex.Size], sizeof w);
    return w;
  }
  std::uint32_t cqp_head() const { return fn_->cqp->RingIndex.Head; }
  // The managers' counts: MR numbers in use, page-list chunks in use.
  std::pair<std::uint32_t, std::uint32_t> counts() {
    ZekMrteQuery q{};
    EXPECT_EQ(MRTE_Serf_QueryResourceAllocation(static_cast<ZekIwarpAdapter*>(adapter_)->Mrte, &q), ZEK_STATUS_PASS);
    return {in_use()[ZEK_RES_MR], q.Used256 + q.Used4k};
  }

  std::uint32_t pd_id_ = 0;
};

// Physical page lists of every form, as the adapter takes them: the pages
// of the region, their size, the offset of its first byte, its length,
// key, rights and PD; and a kernel buffer, contiguous or not.
TEST_F(MrTest, RegistrationsReachTheAdapterInEveryPageListForm) {
  auto scattered = [](std::uint32_t n, std::uint64_t size) {
    std::vector<std::uint64_t> pages(n);
    for (std::uint32_t i = 0; i < n; ++i) pages[i] = 0x4000'0000 + std::uint64_t{(i * 7919) % (n * 2)} * size;
    return pages;
  };
  struct Case {
    const char* what;
    std::vector<std::uint64_t> pages;
    std::uint32_t page_size;
    std::uint64_t va;
    std::uint32_t length;
    std::vector<std::uint64_t> expected;  // the adapter's pages
    std::uint64_t expected_page;
  };
  std::vector<Case> cases;
  {
    auto p = scattered(5, kPage);
    cases.push_back({"one level, 4 KB pages", p, kPage, 0x10'0000'0123, 5 * kPage - 0x200, p, kPage});
  }
  {
    auto p = scattered(600, kPage);
    cases.push_back({"two levels, 4 KB pages", p, kPage, 0x20'0000'0000, 600 * kPage, p, kPage});
  }
  {
    auto p = scattered(3, 2u << 20);
    cases.push_back({"2 MB pages", p, 2u << 20, 0x40'0020'0000 + 77, (5u << 20) + 10, p, 2u << 20});
  }
  {
    // 8 KB pages, re-expressed in 4 KB ones.
    auto p = scattered(3, 2 * kPage);
    std::vector<std::uint64_t> four;
    for (std::uint64_t page : p) {
      four.push_back(page);
      four.push_back(page + kPage);
    }
    cases.push_back({"8 KB pages, chunked into 4 KB", p, 2 * kPage, 0x30'0000'0000, 6 * kPage, four, kPage});
  }
  const auto baseline = counts();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ZekMrRegisterRequest r{};
    r.Address = c.va;
    r.Length = c.length;
    r.Access = 0xF;
    r.Key = 0x6D;
    r.PageList = c.pages.data();
    r.PageCount = static_cast<std::uint32_t>(c.pages.size());
    r.PageSize = c.page_size;
    std::uint32_t stag = 0;
    std::uint64_t address = 0;
    ASSERT_EQ(table()->MrRegisterNonsharedPhysical(adapter_, o_.pd, &r, &stag, &address), ZEK_STATUS_PASS)
        << log_text();
    EXPECT_EQ(zekhw::stag_key(stag), 0x6D);
    EXPECT_EQ(address, c.va);
    const auto e = entry(stag);
    ASSERT_TRUE(e.has_value());
    EXPECT_TRUE(e->valid);
    EXPECT_FALSE(e->window);
    EXPECT_EQ(e->pd, pd_id_);
    EXPECT_EQ(e->key, 0x6D);
    EXPECT_EQ(e->access, 0xFu);
    EXPECT_FALSE(e->zero_based);
    EXPECT_EQ(e->va, c.va);
    EXPECT_EQ(e->length, c.length);
    EXPECT_EQ(e->page_bytes, c.expected_page);
    EXPECT_EQ(e->fbo, c.va % c.expected_page);
    std::vector<std::uint64_t> held(e->pages.begin(), e->pages.begin() + std::min(e->pages.size(), c.expected.size()));
    EXPECT_EQ(held, c.expected);
    EXPECT_EQ(table()->MrDealloc(adapter_, stag), ZEK_STATUS_PASS);
    EXPECT_FALSE(entry(stag).has_value());
    EXPECT_EQ(counts(), baseline) << "number and page-list chunks back";
  }

  // Kernel buffers: one page (contiguous) and five (the pool's pages are scattered).
  for (std::uint32_t pages : {1u, 5u}) {
    SCOPED_TRACE(pages);
    std::uint8_t* b = buffer(pages * kPage);
    ZekMrRegisterRequest r{};
    r.Address = reinterpret_cast<std::uint64_t>(b) + 8;
    r.Length = pages * kPage - 8;
    r.Access = ZEK_ACCESS_LOCAL_READ | ZEK_ACCESS_REMOTE_READ;
    r.Key = 0x12;
    std::uint32_t stag = 0;
    std::uint64_t address = 0;
    ASSERT_EQ(table()->MrRegisterNonshared(adapter_, o_.pd, &r, &stag, &address), ZEK_STATUS_PASS) << log_text();
    const auto e = entry(stag);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->va, r.Address);
    EXPECT_EQ(e->length, r.Length);
    EXPECT_EQ(e->access, r.Access);
    // The adapter reaches the buffer's first byte through the pages it holds.
    const std::uint64_t first = e->pages.at(e->fbo / e->page_bytes) + e->fbo % e->page_bytes;
    EXPECT_EQ(first, static_cast<std::uint64_t>(MmGetPhysicalAddress(b + 8).QuadPart));
    EXPECT_EQ(table()->MrDealloc(adapter_, stag), ZEK_STATUS_PASS);
  }
  EXPECT_EQ(counts(), baseline);
}

// The rights rules: some local right; remote read needs local read, remote
// write local write. Refused requests take nothing.
TEST_F(MrTest, RightsThatBreakTheRulesAreRefused) {
  std::uint8_t* b = buffer(kPage);
  const auto baseline = counts();
  const struct {
    std::uint32_t access;
    ZekStatus status;
  } cases[] = {
      {0, IWARP_STATUS_MR_INVALID_ACCESS_RIGHTS},
      {ZEK_ACCESS_REMOTE_READ | ZEK_ACCESS_REMOTE_WRITE, IWARP_STATUS_MR_INVALID_ACCESS_RIGHTS},
      {ZEK_ACCESS_LOCAL_READ | ZEK_ACCESS_REMOTE_WRITE, IWARP_STATUS_MR_INVALID_ACCESS_RIGHTS},
      {ZEK_ACCESS_LOCAL_WRITE | ZEK_ACCESS_REMOTE_READ, IWARP_STATUS_MR_INVALID_ACCESS_RIGHTS},
      {ZEK_ACCESS_LOCAL_READ, ZEK_STATUS_PASS},
      {ZEK_ACCESS_LOCAL_WRITE | ZEK_ACCESS_REMOTE_WRITE, ZEK_STATUS_PASS},
      {0xF, ZEK_STATUS_PASS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.access);
    ZekMrRegisterRequest r{};
    r.Address = reinterpret_cast<std::uint64_t>(b);
    r.Length = kPage;
    r.Access = c.access;
    std::uint32_t stag = 0;
    EXPECT_EQ(table()->MrRegisterNonshared(adapter_, o_.pd, &r, &stag, nullptr), c.status);
    if (c.status == ZEK_STATUS_PASS) {
      EXPECT_EQ(entry(stag)->access, c.access);
      EXPECT_EQ(table()->MrDealloc(adapter_, stag), ZEK_STATUS_PASS);
    }
    EXPECT_EQ(counts(), baseline);
  }
}

// A wrong key leaves the source as it was; a share counts against its
// source, and the page list goes with the last of them, whichever order
// they are deallocated in.
TEST_F(MrTest, SharesKeepThePageListUntilTheLastGoes) {
  std::uint8_t* b = buffer(3 * kPage);
  auto source = [&] {
    ZekMrRegisterRequest r{};
    r.Address = reinterpret_cast<std::uint64_t>(b);
    r.Length = 3 * kPage;
    r.Access = 0xF;
    r.Key = 0x21;
    std::uint32_t stag = 0;
    EXPECT_EQ(table()->MrRegisterNonshared(adapter_, o_.pd, &r, &stag, nullptr), ZEK_STATUS_PASS) << log_text();
    return stag;
  };
  auto share = [&](std::uint32_t of, std::uint8_t key, std::uint32_t* stag) {
    ZekMrSharedRequest s{};
    s.Address = 0x5000'0000;
    s.Access = ZEK_ACCESS_LOCAL_READ | ZEK_ACCESS_REMOTE_READ;
    s.Key = key;
    return table()->MrRegisterShared(adapter_, o_.pd, &s, stag, of);
  };
  auto non_shared = [&](std::uint32_t stag) {
    ZekMrQueryInfo info{};
    EXPECT_EQ(table()->MrQuery(adapter_, &info, stag), ZEK_STATUS_PASS);
    return info.NonShared;
  };
  // Deallocation requests: whether each took the page list along.
  auto dealloc = [&](std::uint32_t stag) {
    const std::uint32_t slot = cqp_head();
    EXPECT_EQ(table()->MrDealloc(adapter_, stag), ZEK_STATUS_PASS) << log_text();
    const zekhw::MifhStagWqe w = control(slot);
    EXPECT_EQ(w.op_word & zekhw::kOpMask, zekhw::kOpDeallocateStag);
    return (w.op_word & zekhw::kStagDeallocPbl) != 0;
  };
  const auto baseline = counts();
  const std::uint32_t never = source();
  EXPECT_TRUE(dealloc(never)) << "a region never shared takes its page list along";

  const std::uint32_t s1 = source();
  std::uint32_t shared = 0;
  EXPECT_EQ(share(s1, 0x22, &shared), IWARP_STATUS_MR_INVALID_STAG) << "the source's key must be repeated";
  EXPECT_EQ(non_shared(s1), 1u) << "and a refused share leaves the source non-shared";
  ASSERT_EQ(share(s1, 0x21, &shared), ZEK_STATUS_PASS) << log_text();
  const auto e = entry(shared);
  ASSERT_TRUE(e.has_value());
  EXPECT_TRUE(e->shared);
  EXPECT_EQ(e->va, 0x5000'0000u);
  EXPECT_EQ(e->access, ZEK_ACCESS_LOCAL_READ | ZEK_ACCESS_REMOTE_READ);
  EXPECT_EQ(non_shared(s1), 0u);
  EXPECT_EQ(non_shared(shared), 0u);
  EXPECT_FALSE(dealloc(shared)) << "the share goes; its source keeps the list";
  EXPECT_TRUE(dealloc(s1)) << "then the source takes it along";

  // The other order: the source first, the last share takes the list.
  const std::uint32_t s2 = source();
  std::uint32_t a = 0, b2 = 0;
  ASSERT_EQ(share(s2, 0x21, &a), ZEK_STATUS_PASS);
  ASSERT_EQ(share(s2, 0x21, &b2), ZEK_STATUS_PASS);
  EXPECT_FALSE(dealloc(s2));
  EXPECT_FALSE(dealloc(a));
  EXPECT_TRUE(dealloc(b2));
  EXPECT_EQ(counts(), baseline);
  EXPECT_EQ(table()->PdDeallocate(adapter_, o_.pd), ZEK_STATUS_PASS) << "no region counts against the PD";
}

// Queries ask the adapter; a window's STag is not a region's, nor the
// other way round; unknown STags and freed ones are refused.
TEST_F(MrTest, QueriesAndDeallocationOfUnknownSTags) {
  std::uint8_t* b = buffer(kPage);
  ZekMrRegisterRequest r{};
  r.Address = reinterpret_cast<std::uint64_t>(b);
  r.Length = kPage;
  r.Access = ZEK_ACCESS_LOCAL_WRITE;
  r.Key = 0x99;
  r.Kept = 5;
  std::uint32_t region = 0, window = 0;
  ASSERT_EQ(table()->MrRegisterNonshared(adapter_, o_.pd, &r, &region, nullptr), ZEK_STATUS_PASS);
  ASSERT_EQ(table()->MwAlloc(adapter_, o_.pd, &window), ZEK_STATUS_PASS);
  ZekMrQueryInfo mr{};
  ASSERT_EQ(table()->MrQuery(adapter_, &mr, region), ZEK_STATUS_PASS);
  EXPECT_EQ(mr.Pd, reinterpret_cast<std::uint64_t>(o_.pd));
  EXPECT_EQ(mr.Access, ZEK_ACCESS_LOCAL_WRITE);
  EXPECT_EQ(mr.Valid, 1u);
  EXPECT_EQ(mr.NonShared, 1u);
  EXPECT_EQ(mr.Key, 0x99);
  EXPECT_EQ(mr.Address, r.Address);
  ZekMwQueryInfo mw{};
  ASSERT_EQ(table()->MwQuery(adapter_, &mw, window), ZEK_STATUS_PASS);
  EXPECT_EQ(mw.Valid, 0u) << "allocated, not bound";
  EXPECT_EQ(mw.Key, 0);
  EXPECT_EQ(table()->MrQuery(adapter_, &mr, window), IWARP_STATUS_MR_INVALID_STAG);
  EXPECT_EQ(table()->MwQuery(adapter_, &mw, region), IWARP_STATUS_MR_INVALID_STAG);
  EXPECT_EQ(table()->MrQuery(adapter_, nullptr, region), ZEK_STATUS_BAD_PTR);
  EXPECT_EQ(table()->MrQuery(adapter_, &mr, 0xFFFFFF00u), IWARP_STATUS_MR_INVALID_STAG);
  EXPECT_EQ(table()->MrDealloc(adapter_, 0xFFFFFF00u), ZEK_STATUS_FAIL);
  EXPECT_EQ(table()->MrDealloc(adapter_, window), ZEK_STATUS_PASS);
  EXPECT_EQ(table()->MrDealloc(adapter_, window), ZEK_STATUS_FAIL) << "once";
  EXPECT_EQ(table()->MrDealloc(adapter_, region), ZEK_STATUS_PASS);
  EXPECT_EQ(table()->MrQuery(adapter_, &mr, region), IWARP_STATUS_MR_INVALID_STAG);
  // Another adapter's STags are not this one's.
  void* other = open();
  const Objects o = objects(other);
  std::uint32_t theirs = 0;
  ASSERT_EQ(table()->MwAlloc(other, o.pd, &theirs), ZEK_STATUS_PASS);
  EXPECT_EQ(table()->MwQuery(adapter_, &mw, theirs), IWARP_STATUS_MR_INVALID_STAG);
  EXPECT_EQ(table()->MrDealloc(adapter_, theirs), ZEK_STATUS_FAIL);
  EXPECT_EQ(table()->MwAlloc(adapter_, o.pd, &theirs), IWARP_STATUS_PD_INVALID_PD_ID) << "nor its PDs";
  EXPECT_EQ(table()->Close(other), ZEK_STATUS_PASS);
}

// Nothing stays behind: not on a refusal of the translation manager, not
// for a caller's buffer the kernel cannot reach, not when the wait for the
// adapter is given up (the close settles it), not in a re-registration.
TEST_F(MrTest, FailedAndAbandonedRegistrationsLeaveNothingBehind) {
  std::uint8_t* b = buffer(2 * kPage);
  ZekMrRegisterRequest r{};
  r.Address = reinterpret_cast<std::uint64_t>(b);
  r.Length = 2 * kPage;
  r.Access = 0xF;
  std::uint32_t stag = 0;
  void* user_table = nullptr;
  ASSERT_EQ(ZEK_GetInterface(IWARP_VERBS_INTERFACE, &user_table), ZEK_STATUS_PASS);
  const auto* user = static_cast<const ZekVerbsInterface*>(user_table);
  const ZekVerbsAddress a = verbstest::address_of(verbstest::kSanAddress);
  void* users = nullptr;
  void* user_pd = nullptr;
  // Once through every path first: the pools the verbs draw from keep what they grew.
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(table()->MrRegisterNonshared(adapter_, o_.pd, &r, &stag, nullptr), ZEK_STATUS_PASS);
    ASSERT_EQ(table()->MrDealloc(adapter_, stag), ZEK_STATUS_PASS);
    ASSERT_EQ(user->Open(&users, &a), ZEK_STATUS_PASS);
    ASSERT_EQ(user->PdAllocate(users, &user_pd), ZEK_STATUS_PASS);
    EXPECT_EQ(user->Close(users), ZEK_STATUS_PASS);
  }
  const std::uint64_t blocks = kernel().pool().blocks_in_use();
  const auto baseline = counts();
  // More pages than a page list may hold.
  std::vector<std::uint64_t> many(ZEK_MRTE_MAX_ENTRIES + 1, 0x1000);
  ZekMrRegisterRequest p = r;
  p.PageList = many.data();
  p.PageCount = static_cast<std::uint32_t>(many.size());
  p.PageSize = kPage;
  p.Length = 0x7FFF0000;
  EXPECT_NE(table()->MrRegisterNonsharedPhysical(adapter_, o_.pd, &p, &stag, nullptr), ZEK_STATUS_PASS);
  // A user open registers its process's memory: a kernel buffer is refused
  // by the probe, and a kernel form is not a user open's to use.
  ASSERT_EQ(user->Open(&users, &a), ZEK_STATUS_PASS);
  ASSERT_EQ(user->PdAllocate(users, &user_pd), ZEK_STATUS_PASS);
  EXPECT_EQ(user->MrRegisterNonshared(users, user_pd, &r, &stag, nullptr), IWARP_STATUS_MR_INVALID_VA);
  EXPECT_EQ(table()->MrRegisterNonshared(users, user_pd, &r, &stag, nullptr), ZEK_STATUS_FAIL);
  EXPECT_EQ(user->Close(users), ZEK_STATUS_PASS);
  EXPECT_EQ(counts(), baseline);
  EXPECT_EQ(kernel().pool().blocks_in_use(), blocks) << kernel().pool().leak_report();

  // A re-registration gives a new STag of the new buffer.
  ASSERT_EQ(table()->MrRegisterNonshared(adapter_, o_.pd, &r, &stag, nullptr), ZEK_STATUS_PASS);
  ZekMrRegisterRequest smaller = r;
  smaller.Length = kPage;
  smaller.Key = 3;
  std::uint32_t again = 0;
  std::uint64_t at = 0;
  ASSERT_EQ(table()->MrReregisterNonshared(adapter_, o_.pd, &smaller, &at, &again, stag), ZEK_STATUS_PASS);
  EXPECT_EQ(zekhw::stag_key(again), 3);
  EXPECT_EQ(entry(again)->length, kPage);
  EXPECT_EQ(table()->MrReregisterNonshared(adapter_, o_.pd, &smaller, &at, &again, 0xFFFFFF00u),
            IWARP_STATUS_MR_INVALID_STAG);
  EXPECT_EQ(table()->MrDealloc(adapter_, again), ZEK_STATUS_PASS);

  // A wait given up: the record stays (the adapter may hold the region)
  // until the close deallocates it.
  g_ZekVerbsInterruptNextWait = 1;
  EXPECT_EQ(table()->MrRegisterNonshared(adapter_, o_.pd, &r, &stag, nullptr), ZEK_STATUS_FAIL);
  EXPECT_EQ(stag, 0u);
  g_ZekVerbsInterruptNextWait = 1;
  std::uint32_t window = 0;
  EXPECT_EQ(table()->MwAlloc(adapter_, o_.pd, &window), ZEK_STATUS_FAIL);
  EXPECT_EQ(table()->Close(adapter_), ZEK_STATUS_PASS);
  adapter_ = nullptr;
  EXPECT_EQ(in_use()[ZEK_RES_MR], baseline.first) << "the close deallocated both";
}

}  // namespace
