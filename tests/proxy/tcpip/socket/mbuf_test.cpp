// Mbuf pools and chain routines, on tables of chains. Every test ends with
// the pools' counters where they started.
#include <cstring>
#include <numeric>

#include "tests/proxy/tcpip/tcpip_fixture.h"

namespace {

using namespace zektcp;

std::uint8_t pattern(int i) { return static_cast<std::uint8_t>((i * 7 + 3) % 251); }

class MbufTest : public TcpipTest {
 protected:
  void SetUp() override {
    TcpipTest::SetUp();
    start_ = mbuf_stats();
  }

  void TearDown() override {
    if (started_) {
      const mbstat& now = mbuf_stats();
      // Everything handed out came back.
      EXPECT_EQ(now.m_mtypes[MT_FREE], now.m_mbufs);
      EXPECT_EQ(mbuf_free_list_length(), now.m_mbufs);
      EXPECT_EQ(now.m_clfree, now.m_clusters);
      EXPECT_EQ(cluster_free_list_length(), now.m_clusters);
      for (int t = 1; t < MT_NTYPES; ++t) EXPECT_EQ(now.m_mtypes[t], 0u) << t;
    }
    TcpipTest::TearDown();
  }

  // A chain whose mbufs hold the given byte counts (a count above 224 gets
  // a cluster), filled with pattern(offset); the first has a packet header.
  static mbuf* chain(std::initializer_list<int> lengths) {
    mbuf* top = nullptr;
    mbuf** link = &top;
    int offset = 0;
    for (int len : lengths) {
      mbuf* m = nullptr;
      EXPECT_EQ(top == nullptr ? GetMBufHdr(&m, M_WAIT, MT_DATA) : GetMBuf(&m, M_WAIT, MT_DATA), 0);
      if (len > (top == nullptr ? MHLEN : MLEN)) {
        MclAlloc(m, M_WAIT);
        EXPECT_TRUE(m->m_flags & M_EXT);
      }
      for (int i = 0; i < len; ++i) m->m_data[i] = pattern(offset + i);
      m->m_len = len;
      offset += len;
      *link = m;
      link = &m->m_next;
    }
    top->mh.m_pkthdr.len = offset;
    return top;
  }

  static std::vector<std::uint8_t> bytes_of(const mbuf* m) {
    std::vector<std::uint8_t> out;
    for (; m != nullptr; m = m->m_next) out.insert(out.end(), m->m_data, m->m_data + m->m_len);
    return out;
  }

  static std::vector<std::uint8_t> expected(int off, int len) {
    std::vector<std::uint8_t> out;
    for (int i = 0; i < len; ++i) out.push_back(pattern(off + i));
    return out;
  }

  static std::uint32_t cluster_refs(const mbuf* m) {
    return reinterpret_cast<const mcl_slot*>(m->mh.m_ext.ext_buf - offsetof(mcl_slot, data))->refcount;
  }

  mbstat start_;
};

TEST_F(MbufTest, CopyDataAcrossBoundaries) {
  mbuf* m = chain({10, 20, 30, 2000, 5});
  struct Case {
    int off, len;
    int error;
  };
  for (const Case c : {Case{0, 10, 0}, Case{5, 10, 0}, Case{9, 2, 0}, Case{10, 20, 0}, Case{25, 40, 0},
                       Case{0, 2065, 0}, Case{2064, 1, 0}, Case{2065, 0, 0}, Case{2000, 66, BSD_EINVAL},
                       Case{-1, 4, BSD_EINVAL}, Case{0, -4, BSD_EINVAL}}) {
    SCOPED_TRACE(testing::Message() << c.off << "+" << c.len);
    std::vector<std::uint8_t> out(c.len > 0 ? c.len : 1, 0xEE);
    EXPECT_EQ(m_copydata(m, c.off, c.len, out.data()), c.error);
    if (c.error == 0) {
      out.resize(c.len);
      EXPECT_EQ(out, expected(c.off, c.len));
    } else {
      EXPECT_EQ(out[0], 0xEE);  // nothing copied
    }
  }
  mbuf_free_chain(m);
}

TEST_F(MbufTest, CopymCopiesRangesAndSharesClusters) {
  struct Case {
    int off, len;
    bool ok;
  };
  for (const Case c : {Case{0, M_COPYALL, true}, Case{0, 30, true}, Case{15, 40, true}, Case{60, 500, true},
                       Case{100, 1965, true}, Case{0, 2066, false}, Case{2066, 1, false}, Case{-1, 1, false}}) {
    SCOPED_TRACE(testing::Message() << c.off << "+" << c.len);
    mbuf* m = chain({10, 20, 30, 2000, 5});
    mbuf* copy = m_copym(m, c.off, c.len, M_WAIT);
    if (!c.ok) {
      EXPECT_EQ(copy, nullptr);
      mbuf_free_chain(m);
      continue;
    }
    ASSERT_NE(copy, nullptr);
    const int len = c.len == M_COPYALL ? 2065 - c.off : c.len;
    EXPECT_EQ(bytes_of(copy), expected(c.off, len));
    if (c.off == 0) {
      ASSERT_TRUE(copy->m_flags & M_PKTHDR);
      EXPECT_EQ(copy->mh.m_pkthdr.len, len);
    }
    mbuf* cluster = m->m_next->m_next->m_next;
    const bool covers_cluster = c.off < 2060 && c.off + len > 60;
    EXPECT_EQ(cluster_refs(cluster), covers_cluster ? 2u : 1u);
    mbuf_free_chain(copy);
    EXPECT_EQ(cluster_refs(cluster), 1u);
    mbuf_free_chain(m);
  }
}

TEST_F(MbufTest, ASharedClusterIsFreeOnlyAfterItsLastRelease) {
  mbuf* m = chain({1500});
  mbuf* copy = m_copym(m, 0, M_COPYALL, M_WAIT);
  ASSERT_NE(copy, nullptr);
  EXPECT_TRUE(mbuf_is_shared(m));
  EXPECT_EQ(M_TRAILINGSPACE(m), 0);  // a shared cluster is not written
  const std::uint32_t free_clusters = mbuf_stats().m_clfree;
  mbuf_free_chain(m);
  EXPECT_EQ(mbuf_stats().m_clfree, free_clusters);
  EXPECT_FALSE(mbuf_is_shared(copy));
  mbuf_free_chain(copy);
  EXPECT_EQ(mbuf_stats().m_clfree, free_clusters + 1);
}

TEST_F(MbufTest, DoubleFreesAreRefused) {
  mbuf* m = nullptr;
  ASSERT_EQ(GetMBuf(&m, M_WAIT, MT_DATA), 0);
  mbuf_free_one(m);
  const std::uint32_t free_mbufs = mbuf_stats().m_mtypes[MT_FREE];
  const std::uint32_t listed = mbuf_free_list_length();
  EXPECT_EQ(mbuf_free_one(m), nullptr);
  EXPECT_EQ(mbuf_stats().m_mtypes[MT_FREE], free_mbufs);
  EXPECT_EQ(mbuf_free_list_length(), listed);
  // The next two allocations are two different buffers.
  mbuf* a = nullptr;
  mbuf* b = nullptr;
  ASSERT_EQ(GetMBuf(&a, M_WAIT, MT_DATA), 0);
  ASSERT_EQ(GetMBuf(&b, M_WAIT, MT_DATA), 0);
  EXPECT_NE(a, b);
  mbuf_free_one(a);
  mbuf_free_one(b);

  // A cluster released twice is not pushed twice either.
  mbuf* c = chain({1000});
  std::uint8_t* buffer = c->mh.m_ext.ext_buf;
  mbuf_free_chain(c);
  const std::uint32_t free_clusters = mbuf_stats().m_clfree;
  MCLFREE1(buffer);
  EXPECT_EQ(mbuf_stats().m_clfree, free_clusters);
  EXPECT_EQ(cluster_free_list_length(), free_clusters);
}

TEST_F(MbufTest, TypesOutsideTheCountsAreRefused) {
  mbuf* m = reinterpret_cast<mbuf*>(1);
  EXPECT_EQ(MGet(&m, M_WAIT, 16), BSD_EINVAL);
  EXPECT_EQ(m, nullptr);
  EXPECT_EQ(GetMBufHdr(&m, M_WAIT, 0), BSD_EINVAL);
  EXPECT_EQ(mbuf_stats().m_mtypes[MT_FREE], start_.m_mtypes[MT_FREE]);
}

TEST_F(MbufTest, PullupMakesTheFrontContiguous) {
  struct Case {
    int len;
    bool ok;
  };
  for (const Case c :
       {Case{5, true}, Case{10, true}, Case{25, true}, Case{60, true}, Case{184, true}, Case{185, false}}) {
    SCOPED_TRACE(c.len);
    mbuf* m = chain({10, 20, 30, 200});
    mbuf* pulled = m_pullup(m, c.len);
    if (!c.ok) {
      EXPECT_EQ(pulled, nullptr);  // the chain is freed
      continue;
    }
    ASSERT_NE(pulled, nullptr);
    EXPECT_GE(pulled->m_len, c.len);
    EXPECT_TRUE(pulled->m_flags & M_PKTHDR);
    EXPECT_EQ(pulled->mh.m_pkthdr.len, 260);
    EXPECT_EQ(bytes_of(pulled), expected(0, 260));
    mbuf_free_chain(pulled);
  }
  mbuf* short_chain = chain({10, 20});
  EXPECT_EQ(m_pullup(short_chain, 40), nullptr);
}

TEST_F(MbufTest, TrimFromEitherEndFixesTheHeaderLength) {
  struct Case {
    int count;
    int off;  // first byte left
    int len;  // bytes left
  };
  for (const Case c : {Case{0, 0, 60}, Case{5, 5, 55}, Case{10, 10, 50}, Case{45, 45, 15}, Case{70, 60, 0},
                       Case{-5, 0, 55}, Case{-30, 0, 30}, Case{-45, 0, 15}, Case{-80, 0, 0}}) {
    SCOPED_TRACE(c.count);
    mbuf* m = chain({10, 20, 30});
    mbuf_trim(m, c.count);
    EXPECT_EQ(m->mh.m_pkthdr.len, c.len);
    EXPECT_EQ(m_length(m), c.len);
    EXPECT_EQ(bytes_of(m), expected(c.off, c.len));
    mbuf_free_chain(m);
  }
}

TEST_F(MbufTest, StorePastTheEndZeroFillsTheGap) {
  mbuf* m = chain({10});
  const std::uint8_t data[4] = {0xA1, 0xA2, 0xA3, 0xA4};
  EXPECT_EQ(mbuf_store_data(m, 300, 4, data), 0);
  EXPECT_EQ(m->mh.m_pkthdr.len, 304);
  const std::vector<std::uint8_t> all = bytes_of(m);
  ASSERT_EQ(all.size(), 304u);
  EXPECT_EQ(std::vector<std::uint8_t>(all.begin(), all.begin() + 10), expected(0, 10));
  EXPECT_TRUE(std::all_of(all.begin() + 10, all.begin() + 300, [](std::uint8_t b) { return b == 0; }));
  EXPECT_EQ(std::vector<std::uint8_t>(all.begin() + 300, all.end()), std::vector<std::uint8_t>(data, data + 4));
  // Inside the chain it overwrites and leaves the length.
  EXPECT_EQ(mbuf_store_data(m, 2, 4, data), 0);
  EXPECT_EQ(m->mh.m_pkthdr.len, 304);
  EXPECT_EQ(m->m_data[2], 0xA1);
  mbuf_free_chain(m);
}

TEST_F(MbufTest, PushFrontPlacesShortDataAtTheAlignedEnd) {
  for (const int len : {1, 14, 20, 40, 184}) {
    SCOPED_TRACE(len);
    mbuf* m = chain({10, 20});
    mbuf* front = mbuf_push_front(m, len, M_WAIT);
    ASSERT_NE(front, nullptr);
    EXPECT_EQ(front->m_next, m);
    EXPECT_TRUE(front->m_flags & M_PKTHDR);
    EXPECT_FALSE(m->m_flags & M_PKTHDR);
    EXPECT_EQ(front->m_data - front->mh.m_pktdat, (MHLEN - len) & ~3);
    EXPECT_EQ(front->m_len, len);
    EXPECT_EQ(front->mh.m_pkthdr.len, 30 + len);
    mbuf_free_chain(front);
  }
  mbuf* m = chain({10});
  EXPECT_EQ(mbuf_push_front(m, MHLEN + 1, M_WAIT), nullptr);  // chain freed
}

TEST_F(MbufTest, JoinCopiesWhatFitsAndLinksTheRest) {
  mbuf* first = chain({10});
  mbuf* small = nullptr;
  ASSERT_EQ(GetMBuf(&small, M_WAIT, MT_DATA), 0);
  std::memset(small->m_data, 0x55, 20);
  small->m_len = 20;
  mbuf* joined = mbuf_join_chains(first, small);
  EXPECT_EQ(joined, first);
  EXPECT_EQ(first->m_next, nullptr);  // copied in, freed
  EXPECT_EQ(first->m_len, 30);
  mbuf* big = chain({1000});
  mbuf_join_chains(first, big);
  EXPECT_EQ(first->m_next, big);  // a cluster is linked, not copied
  mbuf_free_chain(first);
}

TEST_F(MbufTest, CloneSharesExternalStorageAndCopiesTags) {
  mbuf* m = chain({100, 1500});
  m_tag* tag = m_tag_alloc(7, 3, 4);
  ASSERT_NE(tag, nullptr);
  std::memcpy(tag + 1, "tag!", 4);
  m_tag_prepend(m, tag);
  mbuf* clone = mbuf_clone_packet(m);
  ASSERT_NE(clone, nullptr);
  EXPECT_EQ(bytes_of(clone), bytes_of(m));
  EXPECT_EQ(cluster_refs(m->m_next), 2u);
  ASSERT_NE(clone->mh.m_pkthdr.tags, nullptr);
  EXPECT_NE(clone->mh.m_pkthdr.tags, tag);
  EXPECT_EQ(std::memcmp(clone->mh.m_pkthdr.tags + 1, "tag!", 4), 0);
  mbuf_free_chain(clone);
  mbuf_free_chain(m);
}

class MbufSupplyTest : public MbufTest {};

TEST_F(MbufSupplyTest, AnExhaustedReserveFailsAndCountsADrop) {
  int carved = 0;
  const std::uint32_t drops = mbuf_stats().m_drops;
  while (OSPrimAllocMbufSpecial(1, 1) != nullptr) ++carved;
  EXPECT_EQ(carved, 2 * static_cast<int>(MB_RESERVE_MBUFS));  // two areas in this fixture
  EXPECT_EQ(mbuf_stats().m_drops, drops + 1);
  EXPECT_EQ(OSPrimAllocMbufSpecial(1, 1), nullptr);
  EXPECT_EQ(mbuf_stats().m_drops, drops + 2);
}

TEST_F(MbufSupplyTest, CarvingPastTheClusterLimitCountsADropAndStillCarves) {
  const std::uint32_t drops = mbuf_stats().m_drops;
  const std::uint32_t carved = mbuf_stats().m_clusters;
  EXPECT_NE(OSPrimAllocClusterSpecial(1, 0), nullptr);
  EXPECT_EQ(mbuf_stats().m_clusters, carved + 1);
  EXPECT_EQ(mbuf_stats().m_drops, drops + 1);
}

TEST_F(MbufSupplyTest, EmptyListsCarveFromTheGeneralPoolForWaitingCallers) {
  std::vector<mbuf*> held;
  // Take every cluster there is; a waiting caller still gets one.
  const std::uint32_t clusters = mbuf_stats().m_clusters;
  for (std::uint32_t i = 0; i <= clusters; ++i) {
    mbuf* m = nullptr;
    ASSERT_EQ(GetMBuf(&m, M_WAIT, MT_DATA), 0);
    MclAlloc(m, M_WAIT);
    EXPECT_TRUE(m->m_flags & M_EXT) << i;
    held.push_back(m);
  }
  EXPECT_EQ(mbuf_stats().m_clusters, clusters + 1);
  // Every mbuf too: the general pool supplies the waiting caller.
  const std::uint32_t mbufs = mbuf_stats().m_mbufs;
  while (mbuf_stats().m_mtypes[MT_FREE] > 0) {
    mbuf* m = nullptr;
    ASSERT_EQ(GetMBuf(&m, M_DONTWAIT, MT_DATA), 0);
    held.push_back(m);
  }
  mbuf* m = nullptr;
  ASSERT_EQ(GetMBuf(&m, M_WAIT, MT_DATA), 0);
  held.push_back(m);
  EXPECT_EQ(mbuf_stats().m_mbufs, mbufs + 1);
  for (mbuf* h : held) mbuf_free_one(h);
}

}  // namespace
