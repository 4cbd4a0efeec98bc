// The DHCP client's messages and its reply parser: the options of each
// message in their order, and replies the parser must refuse without
// reading past what arrived.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "proxy/tcpip/dhcp_client.h"

namespace {

using namespace zektcp;

constexpr std::uint8_t kMac[6] = {0x02, 0, 0, 0, 0x12, 0x34};
constexpr std::uint32_t kXid = 0x01020304;

// The option codes of a message, in order, up to the end option.
std::vector<int> codes(const std::uint8_t* m) {
  std::vector<int> out;
  for (std::size_t at = DHCP_OPTIONS_AT; at < DHCP_MESSAGE_BYTES && m[at] != 255; at += 2 + m[at + 1]) {
    out.push_back(m[at]);
  }
  return out;
}

TEST(DhcpMessages, EachTypeCarriesItsOptionsInOrder) {
  DhcpMessageFields f;
  f.xid = kXid;
  std::memcpy(f.mac, kMac, 6);
  f.requested_address = 0x3200A8C0;
  f.server = 0x0100A8C0;
  struct Case {
    DhcpType type;
    std::vector<int> options;
  };
  const Case cases[] = {
      {DHCP_DISCOVER, {53, 57, 116, 61, 50, 12, 55}},
      {DHCP_REQUEST, {53, 57, 54, 61, 50, 12, 55}},
      {DHCP_DECLINE, {53, 54, 61, 50}},
      {DHCP_RELEASE, {53, 57, 54, 61, 12}},
  };
  for (const Case& c : cases) {
    std::uint8_t m[DHCP_MESSAGE_BYTES];
    ASSERT_EQ(dhcp_build_message(m, c.type, f), DHCP_MESSAGE_BYTES);
    EXPECT_EQ(codes(m), c.options) << int{c.type};
    EXPECT_EQ(m[0], 1);
    EXPECT_EQ(m[DHCP_OPTIONS_AT + 2], c.type);
    EXPECT_EQ(std::memcmp(m + 28, kMac, 6), 0);
  }
  f.broadcast = true;
  std::uint8_t m[DHCP_MESSAGE_BYTES];
  dhcp_build_message(m, DHCP_DISCOVER, f);
  EXPECT_EQ(m[10], 0x80);
  // The host name: the base and the last two MAC bytes in hexadecimal.
  const std::uint8_t* at = m + DHCP_OPTIONS_AT;
  while (*at != 12) at += 2 + at[1];
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(at + 2), at[1]), "ZEK1234");
}

// A server's acknowledgement, with the options given.
std::vector<std::uint8_t> reply(std::vector<std::uint8_t> options) {
  std::vector<std::uint8_t> m(DHCP_OPTIONS_AT, 0);
  m[0] = 2;
  m[1] = 1;
  m[2] = 6;
  m[4] = 1, m[5] = 2, m[6] = 3, m[7] = 4;
  m[16] = 192, m[17] = 0, m[18] = 2, m[19] = 50;
  std::memcpy(m.data() + 28, kMac, 6);
  m[236] = 99, m[237] = 130, m[238] = 83, m[239] = 99;
  for (const std::uint8_t b : options) m.push_back(b);
  return m;
}

TEST(DhcpMessages, TheParserTakesWellFormedRepliesOnly) {
  const std::vector<std::uint8_t> ack = {53, 1,   5,  0, 0,   1, 4, 255, 255, 255, 0, 51, 4, 0,  0,
                                         0,  120, 54, 4, 192, 0, 2, 1,   58,  4,   0, 0,  0, 60, 255};
  DhcpReply r;
  auto good = reply(ack);
  ASSERT_TRUE(dhcp_parse_reply(good.data(), good.size(), kXid, kMac, &r));
  EXPECT_EQ(r.type, DHCP_ACK);
  EXPECT_EQ(r.lease, 120u);
  EXPECT_EQ(r.renewal, 60u);
  EXPECT_EQ(r.your_address, 0x3202'00C0u);
  EXPECT_EQ(r.server, 0x0102'00C0u);

  struct Case {
    const char* what;
    std::vector<std::uint8_t> message;
    std::size_t cut;  // bytes received (0: all)
  };
  auto wrong = [&](std::size_t at, std::uint8_t value) {
    auto m = reply(ack);
    m[at] = value;
    return m;
  };
  const Case cases[] = {
      {"a length past what arrived", reply({53, 1, 5, 51, 200, 0, 0}), 0},
      {"an option cut after its code", reply({53, 1, 5, 51}), 0},
      {"no end option", reply({53, 1, 5}), 0},
      {"no message type", reply({51, 4, 0, 0, 0, 1, 255}), 0},
      {"a request, not a reply", wrong(0, 1), 0},
      {"another transaction", wrong(7, 9), 0},
      {"another client's hardware address", wrong(33, 0x35), 0},
      {"no magic cookie", wrong(236, 0), 0},
      {"shorter than the fixed part", reply(ack), 200},
      {"cut in the middle of the options", reply(ack), DHCP_OPTIONS_AT + 12},
  };
  for (const Case& c : cases) {
    const std::size_t length = c.cut != 0 ? c.cut : c.message.size();
    EXPECT_FALSE(dhcp_parse_reply(c.message.data(), length, kXid, kMac, &r)) << c.what;
  }
  // Pad bytes are single bytes.
  auto padded = reply({0, 0, 53, 1, 2, 0, 255});
  ASSERT_TRUE(dhcp_parse_reply(padded.data(), padded.size(), kXid, kMac, &r));
  EXPECT_EQ(r.type, DHCP_OFFER);
}

TEST(DhcpMessages, TimeOutsAndTheFallBackAddress) {
  int total = 0;
  for (int i = 0; i < DHCP_DISCOVER_TRIES; ++i) total += dhcp_receive_timeout(i);
  EXPECT_EQ(total, 3 + 7 + 17 + 22 * 15);
  const std::uint8_t mac[6] = {0, 0, 0, 0, 0x12, 0x34};
  EXPECT_EQ(dhcp_fallback_address(mac), 0x3412FEA9u);  // 169.254.18.52
  const std::uint8_t edge[6] = {0, 0, 0, 0, 0, 0xFF};
  EXPECT_EQ(dhcp_fallback_address(edge), 0xFF01FEA9u);  // 169.254.1.255: never the reserved 169.254.0/24
}

}  // namespace
