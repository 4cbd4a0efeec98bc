// The Internet checksum (RFC 1071): the 16-bit one's-complement of the
// one's-complement sum of the data taken as big-endian 16-bit words. The
// sums here are kept as numbers of those words; results are returned in
// the byte order they take in the packet, so a caller stores them as they
// are, and a sum over data that carries a correct checksum comes out 0.
#include <cstring>

#include "proxy/tcpip/netinet/ip_var.h"

namespace zektcp {

namespace {

// A running sum over bytes that may arrive in pieces of any length: `odd`
// says that the last piece ended in the middle of a word.
struct Sum {
  std::uint64_t value = 0;
  bool odd = false;

  void add(const std::uint8_t* p, int len) {
    if (len <= 0) return;
    if (odd) {
      value += p[0];  // the second byte of the word the last piece began
      ++p;
      --len;
      odd = false;
    }
    // The whole words, summed in the machine's own order eight bytes at a
    // time and turned round once: the one's-complement sum of byte-swapped
    // words is the byte-swapped sum (RFC 1071).
    const int whole = len & ~1;
    value += swap16(fold(native_sum(p, whole)));
    if (len != whole) {
      value += static_cast<std::uint32_t>(p[whole]) << 8;
      odd = true;
    }
  }

  // The sum of an even number of bytes taken as words in the machine's
  // order (little-endian: the first byte of a word is its low byte).
  static std::uint64_t native_sum(const std::uint8_t* p, int len) {
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    while (len >= 16) {
      std::uint64_t w[2];
      std::memcpy(w, p, sizeof(w));
      a += (w[0] & 0xFFFFFFFF) + (w[0] >> 32);
      b += (w[1] & 0xFFFFFFFF) + (w[1] >> 32);
      p += 16;
      len -= 16;
    }
    a += b;
    while (len >= 4) {
      std::uint32_t w;
      std::memcpy(&w, p, sizeof(w));
      a += w;
      p += 4;
      len -= 4;
    }
    if (len >= 2) a += static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8);
    return a;
  }

  static std::uint16_t fold(std::uint64_t v) {
    while (v >> 16) v = (v & 0xFFFF) + (v >> 16);
    return static_cast<std::uint16_t>(v);
  }

  static std::uint32_t swap16(std::uint16_t v) { return static_cast<std::uint32_t>(((v & 0xFF) << 8) | (v >> 8)); }

  std::uint16_t folded() const { return fold(value); }
};

// The checksum of `len` bytes of a chain from `off`; false when the chain
// is shorter.
bool sum_range(const mbuf* m, int off, int len, Sum* sum) {
  while (m != nullptr && off >= m->m_len) {
    off -= m->m_len;
    m = m->m_next;
  }
  while (len > 0 && m != nullptr) {
    int count = m->m_len - off;
    if (count > len) count = len;
    sum->add(m->m_data + off, count);
    len -= count;
    off = 0;
    m = m->m_next;
  }
  return len == 0;
}

std::uint16_t finish(const Sum& sum) { return htons(static_cast<std::uint16_t>(~sum.folded())); }

}  // namespace

std::uint16_t in_cksum_bytes(const void* data, int len) {
  Sum sum;
  sum.add(static_cast<const std::uint8_t*>(data), len);
  return finish(sum);
}

std::uint16_t in_cksum_chain(const mbuf* m, int len) {
  Sum sum;
  if (!sum_range(m, 0, len, &sum)) OSPrimDebugPrint("cksum: out of data\n");
  return finish(sum);
}

std::uint16_t in_cksum_range(const mbuf* m, int off, int len, std::uint16_t seed) {
  Sum sum;
  sum.value = ntohs(seed);
  if (!sum_range(m, off, len, &sum)) OSPrimDebugPrint("cksum: out of data\n");
  return finish(sum);
}

std::uint16_t in_cksum_iphdr(const ip* h) { return in_cksum_bytes(h, sizeof(ip)); }

std::uint16_t in_pseudo(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
  Sum sum;
  for (const std::uint32_t word : {a, b, c}) sum.add(reinterpret_cast<const std::uint8_t*>(&word), 4);
  return htons(sum.folded());
}

void in_cksum_skip(mbuf* m) {
  const auto* h = mtod<ip>(m);
  const int hlen = ip_hlen(h);
  const int len = static_cast<int>(h->ip_len) - hlen;
  const int field = hlen + m->mh.m_pkthdr.csum_data;
  Sum sum;
  if (len < 0 || !sum_range(m, hlen, len, &sum)) {
    OSPrimDebugPrint("in_cksum_skip: out of data %d \n", len);
    return;
  }
  std::uint16_t csum = finish(sum);
  // A UDP checksum of 0 means "none": a computed 0 is sent as all ones.
  if (csum == 0 && (m->mh.m_pkthdr.csum_flags & CSUM_UDP)) csum = 0xFFFF;
  if (field + 2 > m_length(m)) {
    OSPrimDebugPrint("delayed m_pullup, m->len: %d  off: %d  p: %d\n", m->m_len, hlen, field);
    return;
  }
  mbuf_store_data(m, field, 2, &csum);
}

}  // namespace zektcp
