// The radix tree on its own, with no stack and no kernel: the memory and
// walk pins it takes through its hooks, longest-prefix match, and what a
// walk does when its callback deletes routes or memory runs out.
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "proxy/tcpip/bsd_errno.h"
#include "proxy/tcpip/net/radix.h"
#include "proxy/tcpip/sockaddr.h"

namespace {

using namespace zektcp;

constexpr std::uint32_t ipv4(int a, int b, int c, int d) {
  return (static_cast<std::uint32_t>(a) << 24) | (static_cast<std::uint32_t>(b) << 16) |
         (static_cast<std::uint32_t>(c) << 8) | static_cast<std::uint32_t>(d);
}

// What the hooks saw: blocks handed out and not yet returned, pins held,
// and whether the next allocations fail.
struct HookLog {
  std::set<void*> live;
  std::vector<radix_node*> pinned;
  std::vector<radix_node*> unpinned;
  int fail_from = -1;  // allocations from this count on fail; -1: none
  int allocations = 0;
};
HookLog* g_log = nullptr;

void* logged_alloc(std::size_t bytes) {
  if (g_log->fail_from >= 0 && g_log->allocations >= g_log->fail_from) return nullptr;
  ++g_log->allocations;
  void* block = std::calloc(1, bytes);
  g_log->live.insert(block);
  return block;
}
void logged_release(void* block) {
  EXPECT_EQ(g_log->live.erase(block), 1u) << "a block the tree did not get from its hook";
  std::free(block);
}
void logged_pin(radix_node* rn) { g_log->pinned.push_back(rn); }
void logged_unpin(radix_node* rn) { g_log->unpinned.push_back(rn); }

// A route: its leaf first, then its key and mask as IPv4 socket addresses.
struct Route {
  radix_node leaf{};
  sockaddr_in key{};
  sockaddr_in mask{};
  int id = 0;
};

class RadixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_log = &log_;
    const radix_hooks hooks = {logged_alloc, logged_release, logged_pin, logged_unpin};
    radix_set_hooks(&hooks);
    void* head = nullptr;
    ASSERT_EQ(rn_inithead(&head, 32), 1);  // IPv4 keys start at byte 4
    head_ = static_cast<radix_node_head*>(head);
  }

  void TearDown() override {
    rn_freehead(head_);
    EXPECT_TRUE(log_.live.empty()) << log_.live.size() << " blocks not returned";
    radix_set_hooks(nullptr);
    g_log = nullptr;
  }

  // A route under the mask (host order); no mask makes a host route.
  Route* add(std::uint32_t address, std::optional<std::uint32_t> mask, int id) {
    auto r = std::make_unique<Route>();
    r->key = make_sockaddr_in(address);
    r->id = id;
    if (mask.has_value()) r->mask = make_sockaddr_in(*mask);
    if (radix_add_route(&r->key, mask.has_value() ? &r->mask : nullptr, head_, &r->leaf) == nullptr) return nullptr;
    routes_.push_back(std::move(r));
    return routes_.back().get();
  }

  int match(std::uint32_t address) {
    const sockaddr_in key = make_sockaddr_in(address);
    radix_node* rn = radix_match(&key, head_);
    return rn != nullptr ? reinterpret_cast<Route*>(rn)->id : 0;
  }

  HookLog log_;
  radix_node_head* head_ = nullptr;
  std::vector<std::unique_ptr<Route>> routes_;
};

TEST_F(RadixTest, TheLongestPrefixWinsAndMasksWithHolesMatchOnEveryBit) {
  ASSERT_NE(add(0, 0, 1), nullptr);
  ASSERT_NE(add(ipv4(10, 0, 0, 0), ipv4(255, 0, 0, 0), 2), nullptr);
  ASSERT_NE(add(ipv4(10, 1, 2, 0), ipv4(255, 255, 255, 0), 3), nullptr);
  ASSERT_NE(add(ipv4(10, 1, 2, 3), std::nullopt, 4), nullptr);
  ASSERT_NE(add(ipv4(10, 0, 5, 0), ipv4(255, 0, 255, 0), 5), nullptr);
  EXPECT_EQ(add(ipv4(10, 1, 2, 0), ipv4(255, 255, 255, 0), 6), nullptr);  // the same key and mask again
  EXPECT_EQ(head_->rnh_count, 5u);
  struct Case {
    std::uint32_t address;
    int route;
  };
  const Case cases[] = {
      {ipv4(10, 1, 2, 3), 4},  {ipv4(10, 1, 2, 4), 3}, {ipv4(10, 77, 5, 1), 5},
      {ipv4(10, 77, 6, 1), 2}, {ipv4(11, 0, 0, 1), 1},
  };
  for (const Case& c : cases) EXPECT_EQ(match(c.address), c.route) << std::hex << c.address;

  const sockaddr_in key = make_sockaddr_in(ipv4(10, 1, 2, 0));
  const sockaddr_in mask = make_sockaddr_in(ipv4(255, 255, 255, 0));
  radix_node* gone = rn_delete(&key, &mask, head_);
  ASSERT_NE(gone, nullptr);
  EXPECT_EQ(reinterpret_cast<Route*>(gone)->id, 3);
  EXPECT_FALSE(gone->rn_flags & RNF_ACTIVE);
  EXPECT_EQ(match(ipv4(10, 1, 2, 4)), 2);
  EXPECT_EQ(match(ipv4(10, 1, 2, 3)), 4);  // the host route stays
  EXPECT_EQ(rn_delete(&key, &mask, head_), nullptr);
}

TEST_F(RadixTest, AWalkPinsEveryRouteAndSkipsOnesItsCallbackDeleted) {
  for (int i = 1; i <= 4; ++i) ASSERT_NE(add(ipv4(10, i, 0, 0), ipv4(255, 255, 0, 0), i), nullptr);
  struct Walk {
    radix_node_head* head;
    std::vector<int> seen;
    std::size_t pinned_at_first = 0;
  } walk{head_, {}, 0};
  const auto visit = [](radix_node* rn, void* arg) {
    auto* w = static_cast<Walk*>(arg);
    if (w->seen.empty()) {
      w->pinned_at_first = g_log->pinned.size();
      // Deletes every other route while the walk holds them.
      for (int i = 1; i <= 4; ++i) {
        const sockaddr_in key = make_sockaddr_in(ipv4(10, i, 0, 0));
        const sockaddr_in mask = make_sockaddr_in(ipv4(255, 255, 0, 0));
        if (reinterpret_cast<Route*>(rn)->id != i) rn_delete(&key, &mask, w->head);
      }
    }
    w->seen.push_back(reinterpret_cast<Route*>(rn)->id);
    return 0;
  };
  EXPECT_EQ(rn_walktree(head_, visit, &walk), 0);
  EXPECT_EQ(walk.pinned_at_first, 4u);  // all pinned before the first callback
  EXPECT_EQ(walk.seen.size(), 1u);      // the deleted ones were not visited
  EXPECT_EQ(std::multiset<radix_node*>(log_.pinned.begin(), log_.pinned.end()),
            std::multiset<radix_node*>(log_.unpinned.begin(), log_.unpinned.end()));
  EXPECT_EQ(head_->rnh_count, 1u);
}

TEST_F(RadixTest, WithoutMemoryAnAddFailsAndAWalkReportsNoBuffers) {
  ASSERT_NE(add(ipv4(10, 0, 0, 0), ipv4(255, 0, 0, 0), 1), nullptr);
  log_.fail_from = log_.allocations;
  EXPECT_EQ(add(ipv4(192, 168, 0, 0), ipv4(255, 255, 0, 0), 2), nullptr);
  EXPECT_EQ(head_->rnh_count, 1u);
  const auto never = [](radix_node*, void*) { return 1; };
  EXPECT_EQ(rn_walktree(head_, never, nullptr), BSD_ENOBUFS);
  EXPECT_TRUE(log_.pinned.empty());
  log_.fail_from = -1;
  EXPECT_NE(add(ipv4(192, 168, 0, 0), ipv4(255, 255, 0, 0), 2), nullptr);
  EXPECT_EQ(match(ipv4(192, 168, 1, 1)), 2);
}

}  // namespace
