// Messages a user writes on a routing socket: adds, deletes, changes, gets
// and locks of routes with whatever addresses, lengths and flags the fuzzer
// makes up. The message length in the header is made to match the bytes
// written unless the first input byte says otherwise, so the fuzzer reaches
// the address parsing and the routing table.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "proxy/tcpip/net/rtsock.h"
#include "tests/fuzz/stack_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::start_stack();
  if (size < 1) return 0;
  Bytes message(data + 1, data + size);
  if (!(data[0] & 0x01) && message.size() >= 2) {
    // rtm_msglen, in the host's order as the routing socket carries it.
    const auto length = static_cast<std::uint16_t>(message.size());
    std::memcpy(message.data(), &length, sizeof(length));
  }
  if (!(data[0] & 0x02) && message.size() >= 3) message[2] = zektcp::RTM_VERSION;
  fuzzing::feed_routing_message(message.data(), message.size());
  if (data[0] & 0x04) fuzzing::advance_seconds(1);
  fuzzing::drain();
  return 0;
}
