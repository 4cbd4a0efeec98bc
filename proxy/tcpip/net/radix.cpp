// The routing tree (see radix.h for its shape).
#include "proxy/tcpip/net/radix.h"

#include <cstdlib>
#include <cstring>

#include "proxy/tcpip/bsd_errno.h"

namespace zektcp {

struct radix_trie_node {
  radix_trie_node* parent;
  radix_trie_node* child[2];
  std::uint16_t len;                 // prefix length in bits
  std::uint8_t bits[RADIX_MAX_KEY];  // key bytes from the offset; bits past len are 0
  radix_node* routes;
};

namespace {

void* default_alloc(std::size_t bytes) { return std::calloc(1, bytes); }
void default_release(void* block) { std::free(block); }
void no_pin(radix_node*) {}

radix_hooks g_hooks = {default_alloc, default_release, no_pin, no_pin};

constexpr int kMaxDepth = RADIX_MAX_KEY * 8 + 1;

struct KeyView {
  std::uint8_t rel[RADIX_MAX_KEY];  // key bytes from the offset
  int bits;                         // bits that take part
};

int key_bytes(const radix_node_head* head) { return head->rnh_pktsize - head->rnh_addrsize; }

void extract(const void* sa, const radix_node_head* head, std::uint8_t* out) {
  const auto* bytes = static_cast<const std::uint8_t*>(sa);
  const int len = bytes[0];
  const int n = key_bytes(head);
  for (int j = 0; j < n; ++j) {
    const int i = head->rnh_addrsize + j;
    out[j] = i < len ? bytes[i] : 0;
  }
  for (int j = n; j < RADIX_MAX_KEY; ++j) out[j] = 0;
}

int bit_at(const std::uint8_t* rel, int i) { return (rel[i >> 3] >> (7 - (i & 7))) & 1; }

int leading_ones(const std::uint8_t* mask_rel, int total_bits) {
  int i = 0;
  while (i < total_bits && bit_at(mask_rel, i)) ++i;
  return i;
}

int popcount_bytes(const std::uint8_t* rel, int n) {
  int count = 0;
  for (int j = 0; j < n; ++j) count += __builtin_popcount(rel[j]);
  return count;
}

// First bit in [from, limit) where a and b differ, or limit.
int common_prefix(const std::uint8_t* a, const std::uint8_t* b, int from, int limit) {
  for (int i = from; i < limit; ++i) {
    if (bit_at(a, i) != bit_at(b, i)) return i;
  }
  return limit;
}

radix_trie_node* new_trie_node(const std::uint8_t* rel, int len, radix_trie_node* parent) {
  auto* n = static_cast<radix_trie_node*>(g_hooks.alloc(sizeof(radix_trie_node)));
  if (n == nullptr) return nullptr;
  n->parent = parent;
  n->len = static_cast<std::uint16_t>(len);
  for (int i = 0; i < len; ++i) {
    if (bit_at(rel, i)) n->bits[i >> 3] |= static_cast<std::uint8_t>(0x80 >> (i & 7));
  }
  return n;
}

void replace_child(radix_trie_node* parent, radix_trie_node* old_child, radix_trie_node* new_child) {
  for (auto*& c : parent->child) {
    if (c == old_child) c = new_child;
  }
}

// The prefix length and set bits of a route's mask (a host route has none).
void mask_shape(const void* mask, const radix_node_head* head, std::uint8_t* mask_rel, int* prefix, int* ones) {
  const int total = key_bytes(head) * 8;
  if (mask == nullptr) {
    std::memset(mask_rel, 0xFF, RADIX_MAX_KEY);
    *prefix = total;
    *ones = total;
    return;
  }
  extract(mask, head, mask_rel);
  *prefix = leading_ones(mask_rel, total);
  *ones = popcount_bytes(mask_rel, key_bytes(head));
}

// A route's key under its mask, relative to the tree's key offset, with the
// mask's shape.
struct MaskedKey {
  std::uint8_t rel[RADIX_MAX_KEY];
  std::uint8_t mask_rel[RADIX_MAX_KEY];
  int prefix = 0;
  int ones = 0;
};

MaskedKey masked_key(const void* key, const void* mask, const radix_node_head* head) {
  MaskedKey mk;
  extract(key, head, mk.rel);
  mask_shape(mask, head, mk.mask_rel, &mk.prefix, &mk.ones);
  for (int j = 0; j < RADIX_MAX_KEY; ++j) mk.rel[j] &= mk.mask_rel[j];
  return mk;
}

bool same_mask(const radix_node* rn, const void* mask, const radix_node_head* head) {
  if (rn->rn_mask == nullptr || mask == nullptr) return rn->rn_mask == nullptr && mask == nullptr;
  std::uint8_t a[RADIX_MAX_KEY];
  std::uint8_t b[RADIX_MAX_KEY];
  extract(rn->rn_mask, head, a);
  extract(mask, head, b);
  return std::memcmp(a, b, static_cast<std::size_t>(key_bytes(head))) == 0;
}

// Does the route cover the key (relative bytes)?
bool route_covers(const radix_node* rn, const std::uint8_t* rel, const radix_node_head* head) {
  std::uint8_t rk[RADIX_MAX_KEY];
  extract(rn->rn_key, head, rk);
  const int n = key_bytes(head);
  if (rn->rn_mask == nullptr) return std::memcmp(rk, rel, static_cast<std::size_t>(n)) == 0;
  std::uint8_t m[RADIX_MAX_KEY];
  extract(rn->rn_mask, head, m);
  for (int j = 0; j < n; ++j) {
    if ((rel[j] & m[j]) != (rk[j] & m[j])) return false;
  }
  return true;
}

bool same_masked_key(const radix_node* rn, const void* key, const void* mask, const radix_node_head* head) {
  std::uint8_t a[RADIX_MAX_KEY];
  std::uint8_t b[RADIX_MAX_KEY];
  std::uint8_t m[RADIX_MAX_KEY];
  extract(rn->rn_key, head, a);
  extract(key, head, b);
  if (mask == nullptr) {
    std::memset(m, 0xFF, sizeof(m));
  } else {
    extract(mask, head, m);
  }
  for (int j = 0; j < key_bytes(head); ++j) {
    if ((a[j] & m[j]) != (b[j] & m[j])) return false;
  }
  return true;
}

radix_trie_node* find_node(const std::uint8_t* rel, int prefix, radix_node_head* head) {
  radix_trie_node* node = head->rnh_top;
  while (node != nullptr) {
    if (node->len == prefix) return node;
    if (node->len > prefix) return nullptr;
    radix_trie_node* c = node->child[bit_at(rel, node->len)];
    if (c == nullptr) return nullptr;
    const int limit = c->len < prefix ? c->len : prefix;
    if (common_prefix(rel, c->bits, node->len, limit) != limit) return nullptr;
    node = c;
  }
  return nullptr;
}

void prune(radix_trie_node* n, radix_node_head* head) {
  while (n != head->rnh_top && n->routes == nullptr) {
    radix_trie_node* parent = n->parent;
    if (n->child[0] != nullptr && n->child[1] != nullptr) return;
    radix_trie_node* only = n->child[0] != nullptr ? n->child[0] : n->child[1];
    replace_child(parent, n, only);
    if (only != nullptr) only->parent = parent;
    g_hooks.release(n);
    if (only != nullptr) return;
    n = parent;
  }
}

void free_subtree(radix_trie_node* n) {
  if (n == nullptr) return;
  free_subtree(n->child[0]);
  free_subtree(n->child[1]);
  g_hooks.release(n);
}

// Collects the routes of a subtree, parents before children.
void collect(radix_trie_node* root, radix_node** out, std::uint32_t capacity, std::uint32_t* count) {
  radix_trie_node* stack[kMaxDepth * 2];
  int top = 0;
  if (root != nullptr) stack[top++] = root;
  while (top > 0) {
    radix_trie_node* n = stack[--top];
    for (radix_node* rn = n->routes; rn != nullptr; rn = rn->rn_dupedkey) {
      if (*count < capacity) out[(*count)++] = rn;
    }
    if (n->child[1] != nullptr) stack[top++] = n->child[1];
    if (n->child[0] != nullptr) stack[top++] = n->child[0];
  }
}

int walk(radix_node_head* head, radix_trie_node* root, const void* key, const void* mask, walktree_f_t f, void* arg) {
  const std::uint32_t capacity = head->rnh_count;
  if (capacity == 0 || root == nullptr) return 0;
  auto** list = static_cast<radix_node**>(g_hooks.alloc(capacity * sizeof(radix_node*)));
  if (list == nullptr) return BSD_ENOBUFS;
  std::uint32_t count = 0;
  collect(root, list, capacity, &count);
  for (std::uint32_t i = 0; i < count; ++i) g_hooks.walk_pin(list[i]);
  int error = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    radix_node* rn = list[i];
    if (error != 0 || !(rn->rn_flags & RNF_ACTIVE)) continue;  // gone meanwhile
    if (key != nullptr && !same_masked_key(rn, key, mask, head)) continue;
    error = f(rn, arg);
  }
  for (std::uint32_t i = 0; i < count; ++i) g_hooks.walk_unpin(list[i]);
  g_hooks.release(list);
  return error;
}

radix_node* add_slot(const void* key, const void* mask, radix_node_head* head, radix_node* nodes) {
  return radix_add_route(key, mask, head, nodes);
}
radix_node* del_slot(const void* key, const void* mask, radix_node_head* head) { return rn_delete(key, mask, head); }
radix_node* match_slot(const void* key, radix_node_head* head) { return radix_match(key, head); }

}  // namespace

void radix_set_hooks(const radix_hooks* hooks) {
  const radix_hooks chosen = hooks != nullptr ? *hooks : radix_hooks{};
  g_hooks.alloc = chosen.alloc != nullptr ? chosen.alloc : default_alloc;
  g_hooks.release = chosen.release != nullptr ? chosen.release : default_release;
  g_hooks.walk_pin = chosen.walk_pin != nullptr ? chosen.walk_pin : no_pin;
  g_hooks.walk_unpin = chosen.walk_unpin != nullptr ? chosen.walk_unpin : no_pin;
}

int radix_mask_ones(const void* mask, int offset_bytes) {
  if (mask == nullptr) return 0;
  const auto* bytes = static_cast<const std::uint8_t*>(mask);
  int count = 0;
  for (int i = offset_bytes; i < bytes[0]; ++i) count += __builtin_popcount(bytes[i]);
  return count;
}

bool radix_mask_refines(const void* m, const void* n) {
  const auto* a = static_cast<const std::uint8_t*>(m);
  const auto* b = static_cast<const std::uint8_t*>(n);
  const int len = a[0] > b[0] ? a[0] : b[0];
  bool differ = false;
  for (int i = 2; i < len; ++i) {
    const std::uint8_t x = i < a[0] ? a[i] : 0;
    const std::uint8_t y = i < b[0] ? b[i] : 0;
    if ((x & y) != y) return false;
    if (x != y) differ = true;
  }
  return differ;
}

int rn_inithead(void** out, int offset_bits) {
  if (*out != nullptr) return 1;
  auto* head = static_cast<radix_node_head*>(g_hooks.alloc(sizeof(radix_node_head)));
  if (head == nullptr) return 0;
  head->rnh_addrsize = offset_bits / 8;
  head->rnh_pktsize = RADIX_MAX_KEY;
  std::uint8_t zero[RADIX_MAX_KEY] = {};
  head->rnh_top = new_trie_node(zero, 0, nullptr);
  if (head->rnh_top == nullptr) {
    g_hooks.release(head);
    return 0;
  }
  head->rnh_addaddr = add_slot;
  head->rnh_addpkt = add_slot;
  head->rnh_deladdr = del_slot;
  head->rnh_delpkt = del_slot;
  head->rnh_matchaddr = match_slot;
  head->rnh_lookup = radix_lookup;
  head->rnh_matchpkt = match_slot;
  head->rnh_walktree = rn_walktree;
  head->rnh_walktree_from = rn_walktree_from;
  head->rnh_close = nullptr;
  *out = head;
  return 1;
}

void rn_freehead(radix_node_head* head) {
  if (head == nullptr) return;
  free_subtree(head->rnh_top);
  g_hooks.release(head);
}

radix_node* radix_add_route(const void* key, const void* mask, radix_node_head* head, radix_node* leaf) {
  const MaskedKey mk = masked_key(key, mask, head);
  const std::uint8_t* rel = mk.rel;
  const int prefix = mk.prefix;

  radix_trie_node* node = head->rnh_top;
  radix_trie_node* target = nullptr;
  while (target == nullptr) {
    if (node->len == prefix) {
      target = node;
      break;
    }
    const int b = bit_at(rel, node->len);
    radix_trie_node* c = node->child[b];
    if (c == nullptr) {
      target = new_trie_node(rel, prefix, node);
      if (target == nullptr) return nullptr;
      node->child[b] = target;
      break;
    }
    const int limit = c->len < prefix ? c->len : prefix;
    const int cpl = common_prefix(rel, c->bits, node->len, limit);
    if (cpl == c->len) {
      node = c;
      continue;
    }
    // The new prefix parts from c's: a node at the common prefix takes c.
    radix_trie_node* split = new_trie_node(rel, cpl, node);
    if (split == nullptr) return nullptr;
    radix_trie_node* fresh = nullptr;
    if (cpl != prefix) {
      fresh = new_trie_node(rel, prefix, split);
      if (fresh == nullptr) {
        g_hooks.release(split);
        return nullptr;
      }
    }
    node->child[b] = split;
    c->parent = split;
    split->child[bit_at(c->bits, cpl)] = c;
    if (fresh != nullptr) {
      split->child[bit_at(rel, cpl)] = fresh;
      target = fresh;
    } else {
      target = split;
    }
  }

  for (radix_node* rn = target->routes; rn != nullptr; rn = rn->rn_dupedkey) {
    if (same_mask(rn, mask, head) && same_masked_key(rn, key, mask, head)) {
      prune(target, head);
      return nullptr;  // the same key and mask are in the tree already
    }
  }
  leaf->rn_key = static_cast<const std::uint8_t*>(key);
  leaf->rn_mask = static_cast<const std::uint8_t*>(mask);
  leaf->rn_bit = static_cast<std::int16_t>(-1 - prefix);
  leaf->rn_ones = static_cast<std::uint8_t>(mk.ones > 255 ? 255 : mk.ones);
  leaf->rn_flags = RNF_NORMAL | RNF_ACTIVE;
  leaf->rn_trie = target;
  radix_node** link = &target->routes;
  while (*link != nullptr && (*link)->rn_ones >= leaf->rn_ones) link = &(*link)->rn_dupedkey;
  leaf->rn_dupedkey = *link;
  *link = leaf;
  ++head->rnh_count;
  return leaf;
}

radix_node* radix_lookup(const void* key, const void* mask, radix_node_head* head) {
  const MaskedKey mk = masked_key(key, mask, head);
  const std::uint8_t* rel = mk.rel;
  const int prefix = mk.prefix;
  radix_trie_node* node = find_node(rel, prefix, head);
  if (node == nullptr) return nullptr;
  for (radix_node* rn = node->routes; rn != nullptr; rn = rn->rn_dupedkey) {
    if (same_mask(rn, mask, head) && same_masked_key(rn, key, mask, head)) return rn;
  }
  return nullptr;
}

radix_node* rn_delete(const void* key, const void* mask, radix_node_head* head) {
  radix_node* leaf = radix_lookup(key, mask, head);
  if (leaf == nullptr) return nullptr;
  radix_trie_node* node = leaf->rn_trie;
  for (radix_node** link = &node->routes; *link != nullptr; link = &(*link)->rn_dupedkey) {
    if (*link == leaf) {
      *link = leaf->rn_dupedkey;
      break;
    }
  }
  leaf->rn_dupedkey = nullptr;
  leaf->rn_trie = nullptr;
  leaf->rn_flags &= static_cast<std::uint8_t>(~RNF_ACTIVE);
  --head->rnh_count;
  prune(node, head);
  return leaf;
}

radix_node* radix_match(const void* key, radix_node_head* head) {
  std::uint8_t rel[RADIX_MAX_KEY];
  extract(key, head, rel);
  radix_trie_node* path[kMaxDepth];
  int depth = 0;
  radix_trie_node* node = head->rnh_top;
  while (node != nullptr && depth < kMaxDepth) {
    path[depth++] = node;
    radix_trie_node* c = node->child[bit_at(rel, node->len)];
    if (c == nullptr || common_prefix(rel, c->bits, node->len, c->len) != c->len) break;
    node = c;
  }
  // Deepest first: the longest prefix wins; within a node the most
  // specific mask comes first.
  while (depth > 0) {
    for (radix_node* rn = path[--depth]->routes; rn != nullptr; rn = rn->rn_dupedkey) {
      if (route_covers(rn, rel, head)) return rn;
    }
  }
  return nullptr;
}

int rn_walktree(radix_node_head* head, walktree_f_t f, void* arg) {
  return walk(head, head->rnh_top, nullptr, nullptr, f, arg);
}

int rn_walktree_from(radix_node_head* head, const void* key, const void* mask, walktree_f_t f, void* arg) {
  const MaskedKey mk = masked_key(key, mask, head);
  const std::uint8_t* rel = mk.rel;
  const int prefix = mk.prefix;
  // The subtree whose prefixes extend key/mask's leading bits.
  radix_trie_node* node = head->rnh_top;
  while (node != nullptr && node->len < prefix) {
    radix_trie_node* c = node->child[bit_at(rel, node->len)];
    if (c == nullptr) return 0;
    const int limit = c->len < prefix ? c->len : prefix;
    if (common_prefix(rel, c->bits, node->len, limit) != limit) return 0;
    node = c;
  }
  return walk(head, node, key, mask, f, arg);
}

}  // namespace zektcp
