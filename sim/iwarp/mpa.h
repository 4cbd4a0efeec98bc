// MPA framing (RFC 5044) of an offloaded connection once it is in RDMA mode:
// FPDUs {ULPDU_Length, ULPDU, pad to 4, CRC32c} with markers every 512
// octets of the TCP stream when the receiver asked for them. Markers and
// CRC are as the start-up frames negotiated (the host exchanges those and
// tells the adapter the result):
// - markers go in the direction whose receiver asked for them (M bit of
//   that side's frame), counted from the first octet of the first FPDU in
//   that direction; a marker's FPDUPTR is the distance back from the marker
//   to the start of the FPDU it lies in, and a marker that falls where an
//   FPDU begins precedes the FPDU's header with FPDUPTR 0;
// - the CRC is sent and checked in both directions when either side asked
//   for it, else the field carries zero and is not checked. It covers every
//   stream octet of the FPDU before the CRC field, markers included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "sim/iwarp/bytes.h"

namespace zeksim {

inline constexpr std::uint32_t kMpaMarkerInterval = 512;
inline constexpr std::uint32_t kMpaMarkerBytes = 4;
inline constexpr std::uint32_t kMpaLengthBytes = 2;
inline constexpr std::uint32_t kMpaCrcBytes = 4;
inline constexpr std::uint32_t kMpaMaxUlpdu = 0xFFFF;

struct MpaSettings {
  bool crc = true;
  bool send_markers = false;     // the peer wants markers
  bool receive_markers = false;  // this side asked for markers
};

// Largest ULPDU whose FPDU, markers included, fits in `emss` stream octets
// wherever it starts (RFC 5044's MULPDU), rounded down to a multiple of 4.
std::uint32_t mpa_max_ulpdu(std::uint32_t emss, bool markers);

// Stream octets an FPDU of `ulpdu` bytes takes when it starts at stream
// position `pos` (relative to the marker base).
std::uint32_t mpa_fpdu_stream_bytes(std::uint32_t ulpdu, std::uint32_t pos, bool markers);

class MpaSender {
 public:
  // `marker_base`: TCP sequence number of the first octet of the first FPDU.
  MpaSender(const MpaSettings& settings, std::uint32_t marker_base) : settings_(settings), marker_base_(marker_base) {}

  // Fills `dest` with payload octets from payload offset `offset`; false if
  // they could not be had (the FPDU is then not built).
  using PayloadFill = std::function<bool(std::span<std::byte> dest, std::size_t offset)>;

  // Builds one FPDU that starts at TCP sequence number `seq`, carrying the
  // DDP/RDMAP header and `payload_bytes` octets from `fill`, in `buffer`'s
  // room when it has some. Empty on a fill failure.
  Bytes build(std::uint32_t seq, std::span<const std::byte> header, std::size_t payload_bytes, const PayloadFill& fill,
              Bytes buffer = {}) const;

  const MpaSettings& settings() const { return settings_; }

 private:
  MpaSettings settings_;
  std::uint32_t marker_base_;
};

enum class MpaError {
  None,
  Crc,     // the CRC does not match
  Marker,  // a marker whose FPDUPTR does not point at the FPDU's start
};

class MpaReceiver {
 public:
  // `marker_base`: TCP sequence number of the first octet of the first FPDU
  // the peer sends.
  MpaReceiver(const MpaSettings& settings, std::uint32_t marker_base, std::uint32_t next_seq)
      : settings_(settings), marker_base_(marker_base), pos_(next_seq - marker_base) {}

  // Called for every whole ULPDU in order; the span is valid during the call.
  using Deliver = std::function<void(std::span<const std::byte> ulpdu)>;

  // Takes in-order stream octets. Stops at the first error and reports it;
  // after an error the receiver takes nothing more.
  MpaError feed(std::span<const std::byte> bytes, const Deliver& deliver);
  bool failed() const { return error_ != MpaError::None; }
  std::uint64_t fpdus() const { return fpdus_; }

 private:
  MpaError fail(MpaError e) { return error_ = e; }
  bool at_marker() const { return settings_.receive_markers && pos_ % kMpaMarkerInterval == 0; }

  MpaSettings settings_;
  std::uint32_t marker_base_;
  std::uint32_t pos_;             // stream position of the next octet, relative to the marker base
  std::uint32_t fpdu_start_ = 0;  // stream position where the current FPDU began
  bool in_fpdu_ = false;
  std::uint32_t marker_have_ = 0;
  std::byte marker_[kMpaMarkerBytes]{};
  std::vector<std::byte> fpdu_;  // the current FPDU's octets without markers
  std::uint32_t fpdu_need_ = 0;  // its total length once the length field is in (0 before)
  std::uint32_t crc_state_ = 0;  // CRC over the FPDU's stream octets so far, markers included
  MpaError error_ = MpaError::None;
  std::uint64_t fpdus_ = 0;
};

}  // namespace zeksim
