// The initial sequence numbers of active opens, the MD5 digest (RFC 1321)
// they and the SYN cookies use, and the stack's pseudo-random generator
// (an RC4 keystream, re-stirred with fresh key material now and then).
#include <algorithm>
#include <cstring>
#include <random>
#include <utility>

#include "proxy/tcpip/netinet/in_pcb.h"

namespace zektcp {

namespace {

// ---- MD5 ----------------------------------------------------------------------------------------
constexpr std::uint32_t kInit[4] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};
// The per-step shifts of the four rounds and the sine-derived constants.
constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
constexpr std::uint32_t kSine[64] = {
    0xD76AA478, 0xE8C7B756, 0x242070DB, 0xC1BDCEEE, 0xF57C0FAF, 0x4787C62A, 0xA8304613, 0xFD469501,
    0x698098D8, 0x8B44F7AF, 0xFFFF5BB1, 0x895CD7BE, 0x6B901122, 0xFD987193, 0xA679438E, 0x49B40821,
    0xF61E2562, 0xC040B340, 0x265E5A51, 0xE9B6C7AA, 0xD62F105D, 0x02441453, 0xD8A1E681, 0xE7D3FBC8,
    0x21E1CDE6, 0xC33707D6, 0xF4D50D87, 0x455A14ED, 0xA9E3E905, 0xFCEFA3F8, 0x676F02D9, 0x8D2A4C8A,
    0xFFFA3942, 0x8771F681, 0x6D9D6122, 0xFDE5380C, 0xA4BEEA44, 0x4BDECFA9, 0xF6BB4B60, 0xBEBFBC70,
    0x289B7EC6, 0xEAA127FA, 0xD4EF3085, 0x04881D05, 0xD9D4D039, 0xE6DB99E5, 0x1FA27CF8, 0xC4AC5665,
    0xF4292244, 0x432AFF97, 0xAB9423A7, 0xFC93A039, 0x655B59C3, 0x8F0CCC92, 0xFFEFF47D, 0x85845DD1,
    0x6FA87E4F, 0xFE2CE6E0, 0xA3014314, 0x4E0811A1, 0xF7537E82, 0xBD3AF235, 0x2AD7D2BB, 0xEB86D391};

std::uint32_t rotl(std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

std::uint32_t le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void put_le32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// ---- The generator and the ISN secret ---------------------------------------------------------------
struct RandState {
  std::uint8_t s[256];
  std::uint8_t i;
  std::uint8_t j;
  bool initialised;
  std::uint32_t calls;
  std::int64_t next_stir;  // seconds
};

struct IsnState {
  std::uint8_t secret[32];
  std::uint32_t last_reseed;      // ticks, 0 = never
  std::uint32_t reseed_interval;  // seconds, 0 = never again
  md5_ctx ctx;
};

RandState g_rand;
IsnState g_isn;

std::int64_t now_seconds() {
  timeval tv;
  perf_counter_timeval(&tv);
  return tv.tv_sec;
}

}  // namespace

void md5_init(md5_ctx* ctx) {
  std::memcpy(ctx->state, kInit, sizeof(kInit));
  ctx->count[0] = ctx->count[1] = 0;
}

void md5_process_block(std::uint32_t state[4], const std::uint8_t block[64]) {
  std::uint32_t x[16];
  for (int k = 0; k < 16; ++k) x[k] = le32(block + 4 * k);
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int step = 0; step < 64; ++step) {
    const int round = step / 16;
    std::uint32_t f;
    int word;
    switch (round) {
      case 0:
        f = (b & c) | (~b & d);
        word = step;
        break;
      case 1:
        f = (b & d) | (c & ~d);
        word = (5 * step + 1) % 16;
        break;
      case 2:
        f = b ^ c ^ d;
        word = (3 * step + 5) % 16;
        break;
      default:
        f = c ^ (b | ~d);
        word = (7 * step) % 16;
        break;
    }
    const std::uint32_t next = b + rotl(a + f + x[word] + kSine[step], kShift[round][step % 4]);
    a = d;
    d = c;
    c = b;
    b = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

void md5_add_bytes(md5_ctx* ctx, const void* data, std::uint32_t len) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  std::uint32_t have = (ctx->count[0] >> 3) & 63;
  const std::uint32_t bits = len << 3;
  ctx->count[0] += bits;
  if (ctx->count[0] < bits) ++ctx->count[1];
  ctx->count[1] += len >> 29;
  while (len > 0) {
    const std::uint32_t take = std::min<std::uint32_t>(64 - have, len);
    std::memcpy(ctx->buffer + have, p, take);
    have += take;
    p += take;
    len -= take;
    if (have == 64) {
      md5_process_block(ctx->state, ctx->buffer);
      have = 0;
    }
  }
}

void md5_get_digest(std::uint8_t digest[16], md5_ctx* ctx) {
  std::uint8_t length[8];
  put_le32(length, ctx->count[0]);
  put_le32(length + 4, ctx->count[1]);
  const std::uint32_t have = (ctx->count[0] >> 3) & 63;
  static constexpr std::uint8_t kPad[64] = {0x80};
  md5_add_bytes(ctx, kPad, have < 56 ? 56 - have : 120 - have);
  md5_add_bytes(ctx, length, 8);
  for (int k = 0; k < 4; ++k) put_le32(digest + 4 * k, ctx->state[k]);
  std::memset(ctx, 0, sizeof(*ctx));
}

std::uint8_t rc4rand_byte() {
  RandState& r = g_rand;
  r.i = static_cast<std::uint8_t>(r.i + 1);
  r.j = static_cast<std::uint8_t>(r.j + r.s[r.i]);
  std::swap(r.s[r.i], r.s[r.j]);
  return r.s[static_cast<std::uint8_t>(r.s[r.i] + r.s[r.j])];
}

void rc4rand_stir() {
  RandState& r = g_rand;
  std::uint8_t key[256];
  std::random_device source;
  for (std::size_t k = 0; k < sizeof(key); k += 4) {
    const std::uint32_t v = source();
    std::memcpy(key + k, &v, 4);
  }
  for (int n = 0; n < 256; ++n) {
    r.j = static_cast<std::uint8_t>(r.j + r.s[n] + key[n]);
    std::swap(r.s[n], r.s[r.j]);
  }
  r.next_stir = now_seconds() + 300;
  r.calls = 0;
}

std::uint32_t rc4rand_u32() {
  RandState& r = g_rand;
  if (!r.initialised) {
    for (int n = 0; n < 256; ++n) r.s[n] = static_cast<std::uint8_t>(n);
    r.i = r.j = 0;
    rc4rand_stir();
    r.initialised = true;
    for (int n = 0; n < 1024; ++n) rc4rand_byte();
  }
  if (++r.calls > 16384 || now_seconds() > r.next_stir) rc4rand_stir();
  std::uint32_t v = 0;
  for (int n = 0; n < 4; ++n) v |= static_cast<std::uint32_t>(rc4rand_byte()) << (8 * n);
  return v;
}

std::uint32_t tcp_make_isn(const inpcb* inp) {
  IsnState& s = g_isn;
  const std::uint32_t now = stack_ticks();
  if (s.last_reseed == 0 || (s.reseed_interval > 0 && now - s.last_reseed > s.reseed_interval * tick_rate())) {
    for (std::size_t k = 0; k < sizeof(s.secret); k += 4) {
      const std::uint32_t v = rc4rand_u32();
      std::memcpy(s.secret + k, &v, 4);
    }
    s.last_reseed = now != 0 ? now : 1;
  }
  md5_init(&s.ctx);
  md5_add_bytes(&s.ctx, &inp->inp_fport, 2);
  md5_add_bytes(&s.ctx, &inp->inp_lport, 2);
  md5_add_bytes(&s.ctx, &inp->inp_faddr_field.addr, 4);
  md5_add_bytes(&s.ctx, &inp->inp_laddr_field.addr, 4);
  md5_add_bytes(&s.ctx, s.secret, sizeof(s.secret));
  std::uint8_t digest[16];
  md5_get_digest(digest, &s.ctx);
  return le32(digest) + now * (1048576 / tick_rate());
}

void isn_set_reseed_interval(std::uint32_t seconds) { g_isn.reseed_interval = seconds; }

void in_rand_reset() {
  g_rand = RandState{};
  g_isn = IsnState{};
}

}  // namespace zektcp
