// One IPv4 datagram of a fixed transport protocol (FUZZ_PROTOCOL: UDP, ICMP
// or IGMP, one program each) from the peer, with the fuzzer choosing its
// IP options, its payload and which of its fields are left wrong. The IP
// header is made right unless asked otherwise, so the input reaches the
// protocol's own parser; options reach the IP options parser first.
//
// Input: [control][options length][options][payload]. Control:
//   bit 0  to the joined group (or, for UDP, the subnet broadcast) instead of ours
//   bit 1  leave the IP header checksum wrong
//   bit 2  leave the transport checksum as given
//   bit 3  a first fragment (more fragments), bit 4 a last fragment at offset 8
//   bits 5-7  the time to live, in 32s
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/stack_harness.h"

#ifndef FUZZ_PROTOCOL
#error "FUZZ_PROTOCOL names the transport protocol"
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::start_stack();
  if (size < 2) return 0;
  const std::uint8_t control = data[0];
  const std::size_t options = std::min<std::size_t>(std::min<std::size_t>(data[1], 40), size - 2) & ~std::size_t{3};
  IpFields f;
  f.proto = FUZZ_PROTOCOL;
  f.ttl = static_cast<std::uint8_t>((control >> 5) * 32 + 1);
  f.id = static_cast<std::uint16_t>(size);
  if (control & 0x01) f.dst = FUZZ_PROTOCOL == 17 ? ipv4(192, 0, 2, 255) : fuzzing::kGroup;
  if (control & 0x08) f.off = 0x2000;
  if (control & 0x10) f.off = 1;
  f.bad_sum = (control & 0x02) != 0;
  f.options.assign(data + 2, data + 2 + options);
  Bytes payload(data + 2 + options, data + size);
  if (!(control & 0x04) && f.off == 0) {
    Bytes header = ipv4_packet(f, {});
    switch (FUZZ_PROTOCOL) {
      case 17:
        if (payload.size() >= 8) {
          put16(payload, 4, static_cast<std::uint16_t>(payload.size()));
          fuzzing::fix_checksum(payload, 6, 0, payload.size(), fuzzing::pseudo_header_sum(header, 17, payload.size()));
        }
        break;
      default:
        fuzzing::fix_checksum(payload, 2, 0, payload.size());
        break;
    }
  }
  fuzzing::feed_ip(ipv4_packet(f, payload));
  fuzzing::drain();
  return 0;
}
