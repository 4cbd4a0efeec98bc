// The routing tree: routes keyed by a socket address under a mask, with
// longest-prefix match. Keys are compared bit by bit from the family's
// offset (IPv4: from byte 4).
//
// The tree is a path-compressed binary trie. A route sits at the trie node
// whose prefix is the route key's leading bits covered by the mask's leading
// ones; the routes of one node are chained by decreasing mask specificity
// (a host route first). A match walks down the search key's path and tries
// the deepest node first, checking each route's full mask, so masks with
// holes still match correctly.
//
// A pure data structure: it needs the standard library and nothing of the
// stack's kernel. Its owner hands it memory and the walk pins through
// radix_set_hooks; the routing table does so before its first tree.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zektcp {

inline constexpr int RADIX_MAX_KEY = 32;  // bytes

// rn_flags
inline constexpr std::uint8_t RNF_NORMAL = 1;
inline constexpr std::uint8_t RNF_ROOT = 2;
inline constexpr std::uint8_t RNF_ACTIVE = 4;

struct radix_trie_node;

// The leaf of one route (the first member of the route record).
struct radix_node {
  radix_node* rn_dupedkey;      // next route of the same trie node
  radix_trie_node* rn_trie;     // the trie node that holds it, null when out of the tree
  const std::uint8_t* rn_key;   // a socket address
  const std::uint8_t* rn_mask;  // a socket address, null for a host route
  std::int16_t rn_bit;          // -1 - prefix length in bits
  std::uint8_t rn_flags;
  std::uint8_t rn_ones;  // set bits of the mask (all key bits for a host route)
};

using walktree_f_t = int (*)(radix_node* rn, void* arg);

struct radix_node_head {
  radix_trie_node* rnh_top;
  std::int32_t rnh_addrsize;  // offset of the key in bytes
  std::int32_t rnh_pktsize;   // largest key in bytes
  // Routine slots, in the tree's order.
  radix_node* (*rnh_addaddr)(const void* key, const void* mask, radix_node_head* head, radix_node* nodes);
  radix_node* (*rnh_addpkt)(const void* key, const void* mask, radix_node_head* head, radix_node* nodes);
  radix_node* (*rnh_deladdr)(const void* key, const void* mask, radix_node_head* head);
  radix_node* (*rnh_delpkt)(const void* key, const void* mask, radix_node_head* head);
  radix_node* (*rnh_matchaddr)(const void* key, radix_node_head* head);
  radix_node* (*rnh_lookup)(const void* key, const void* mask, radix_node_head* head);
  radix_node* (*rnh_matchpkt)(const void* key, radix_node_head* head);
  int (*rnh_walktree)(radix_node_head* head, walktree_f_t f, void* arg);
  int (*rnh_walktree_from)(radix_node_head* head, const void* key, const void* mask, walktree_f_t f, void* arg);
  void (*rnh_close)(radix_node* rn, radix_node_head* head);
  std::uint32_t rnh_count;  // routes in the tree
};

// Creates a tree whose keys start `offset_bits` into the socket address.
int rn_inithead(void** head, int offset_bits);
// Frees a tree and its trie nodes (the routes are the caller's).
void rn_freehead(radix_node_head* head);

radix_node* radix_add_route(const void* key, const void* mask, radix_node_head* head, radix_node* nodes);
radix_node* rn_delete(const void* key, const void* mask, radix_node_head* head);
radix_node* radix_match(const void* key, radix_node_head* head);
radix_node* radix_lookup(const void* key, const void* mask, radix_node_head* head);
// Visits every route (or every route at or below key/mask) and stops at the
// first non-zero result. The callback may delete the route it is given, and
// routes cloned from it.
int rn_walktree(radix_node_head* head, walktree_f_t f, void* arg);
int rn_walktree_from(radix_node_head* head, const void* key, const void* mask, walktree_f_t f, void* arg);

// True when mask m is at least as specific as n and differs (every bit of n
// is in m).
bool radix_mask_refines(const void* m, const void* n);
// Set bits of a mask from the key offset on.
int radix_mask_ones(const void* mask, int offset_bytes);

// What the tree takes from its owner. `alloc` gives zeroed memory or null,
// `release` returns it. A walk pins every route it will visit before the
// first callback and unpins them after the last, so the owner can keep a
// route deleted meanwhile until the last walk lets it go. Null slots (or
// null hooks) fall back to the C library's calloc and free and to no pins.
struct radix_hooks {
  void* (*alloc)(std::size_t bytes);
  void (*release)(void* block);
  void (*walk_pin)(radix_node* rn);
  void (*walk_unpin)(radix_node* rn);
};
void radix_set_hooks(const radix_hooks* hooks);

}  // namespace zektcp
