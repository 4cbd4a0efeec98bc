// A sequence of frames through Ethernet input: ARP, IPv4 (with or without
// its checksums and length made right, so the fuzzer gets past the first
// checks and into options, reassembly and the protocols), or raw frames;
// with the clock moved between them so time-outs run too.
//
// Input: records of [control][length, 2 bytes big-endian][bytes]. Control:
//   bits 0-1  0 raw Ethernet frame, 1 ARP payload, 2 IPv4 packet made right,
//             3 IPv4 packet as it is
//   bit 2     (IPv4 made right) leave the header checksum as given
//   bit 3     (IPv4 made right) leave the transport checksum as given
//   bit 4     (ARP, IPv4) to the broadcast address instead of ours
//   bit 5     one second passes first
//   bit 6     31 seconds pass first (reassembly and ARP time-outs)
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/stack_harness.h"

namespace {

constexpr int kMaxRecords = 64;

// Makes an IPv4 packet consistent enough to pass the header checks: the
// total length is the real one, and the checksums are right unless the
// control asks otherwise.
void make_right(Bytes& p, std::uint8_t control) {
  if (p.size() < 20) return;
  p[0] = static_cast<std::uint8_t>(0x40 | std::max<std::uint8_t>(p[0] & 0x0F, 5));
  const std::size_t hlen = (p[0] & 0x0F) * 4u;
  if (hlen > p.size()) return;
  put16(p, 2, static_cast<std::uint16_t>(p.size()));
  if (!(control & 0x04)) fuzzing::fix_checksum(p, 10, 0, hlen);
  if (control & 0x08) return;
  const std::uint16_t off = get16(p, 6);
  if ((off & 0x3FFF) != 0) return;  // a fragment's transport checksum covers the whole datagram
  const std::size_t l4 = p.size() - hlen;
  switch (p[9]) {
    case 1:  // ICMP
    case 2:  // IGMP
      fuzzing::fix_checksum(p, hlen + 2, hlen, l4);
      break;
    case 6:  // TCP
      fuzzing::fix_checksum(p, hlen + 16, hlen, l4, fuzzing::pseudo_header_sum(p, 6, l4));
      break;
    case 17:  // UDP
      if (l4 >= 8) put16(p, hlen + 4, static_cast<std::uint16_t>(l4));
      fuzzing::fix_checksum(p, hlen + 6, hlen, l4, fuzzing::pseudo_header_sum(p, 17, l4));
      break;
    default:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::start_stack();
  std::size_t at = 0;
  for (int record = 0; record < kMaxRecords && at + 3 <= size; ++record) {
    const std::uint8_t control = data[at];
    std::size_t length = (std::size_t{data[at + 1]} << 8) | data[at + 2];
    at += 3;
    if (length > size - at) length = size - at;
    Bytes bytes(data + at, data + at + length);
    at += length;

    if (control & 0x20) fuzzing::advance_seconds(1);
    if (control & 0x40) fuzzing::advance_seconds(31);
    const Mac& to = (control & 0x10) ? kBroadcastMac : kOurMac;
    switch (control & 0x03) {
      case 0:
        fuzzing::feed_frame(bytes.data(), bytes.size());
        break;
      case 1: {
        const Bytes frame = ether(to, kPeerMac, 0x0806, bytes);
        fuzzing::feed_frame(frame.data(), frame.size());
        break;
      }
      case 2:
        make_right(bytes, control);
        [[fallthrough]];
      case 3: {
        const Bytes frame = ether(to, kPeerMac, 0x0800, bytes);
        fuzzing::feed_frame(frame.data(), frame.size());
        break;
      }
    }
  }
  fuzzing::drain();
  return 0;
}
