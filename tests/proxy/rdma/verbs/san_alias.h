// The SAN address of a test's adapter on the host stack: the stack does not
// run on adapters yet, so the verbs' tests put the address on its loopback
// interface, where the verbs' address list reads it. The request is the
// stack's address-add (SIOCAIFADDR) with a /24 mask.
#pragma once

#include <cstdint>
#include <cstring>

#include "proxy/tcpip/net/if.h"
#include "proxy/tcpip/sockaddr.h"

namespace verbstest {

inline zektcp::ifaliasreq san_alias_request(std::uint32_t host_order) {
  zektcp::ifaliasreq request{};
  std::strncpy(request.ifra_name, "lo0", sizeof request.ifra_name);
  const zektcp::sockaddr_in a = zektcp::make_sockaddr_in(host_order);
  const zektcp::sockaddr_in m = zektcp::make_sockaddr_in(0xFFFFFF00);
  const zektcp::sockaddr_in b = zektcp::make_sockaddr_in(host_order | 0xFF);
  std::memcpy(&request.ifra_addr, &a, sizeof a);
  std::memcpy(&request.ifra_mask, &m, sizeof m);
  std::memcpy(&request.ifra_broadaddr, &b, sizeof b);
  return request;
}

}  // namespace verbstest
