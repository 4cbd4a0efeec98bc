#include "sim/iwarp/mpa.h"

#include <algorithm>
#include <cstring>

#include "sim/iwarp/crc32c.h"

namespace zeksim {

namespace {

std::uint32_t padded(std::uint32_t ulpdu) { return (kMpaLengthBytes + ulpdu + 3) & ~3u; }

std::uint32_t fpdu_bytes(std::uint32_t ulpdu) { return padded(ulpdu) + kMpaCrcBytes; }

void put16(std::byte* p, std::uint32_t v) {
  p[0] = std::byte(v >> 8);
  p[1] = std::byte(v);
}
void put32(std::byte* p, std::uint32_t v) {
  p[0] = std::byte(v >> 24);
  p[1] = std::byte(v >> 16);
  p[2] = std::byte(v >> 8);
  p[3] = std::byte(v);
}

}  // namespace

std::uint32_t mpa_fpdu_stream_bytes(std::uint32_t ulpdu, std::uint32_t pos, bool markers) {
  std::uint32_t n = fpdu_bytes(ulpdu);
  if (!markers) return n;
  // Walk the FPDU's octets; a marker comes wherever the position is a multiple of 512.
  std::uint32_t total = 0;
  std::uint32_t p = pos;
  while (n > 0) {
    if (p % kMpaMarkerInterval == 0) {
      total += kMpaMarkerBytes;
      p += kMpaMarkerBytes;
    }
    const std::uint32_t to_marker = kMpaMarkerInterval - p % kMpaMarkerInterval;
    const std::uint32_t run = std::min(n, to_marker);
    total += run;
    p += run;
    n -= run;
  }
  return total;
}

std::uint32_t mpa_max_ulpdu(std::uint32_t emss, bool markers) {
  std::uint32_t room = emss;
  if (markers) room -= kMpaMarkerBytes * ((emss + kMpaMarkerInterval - 1) / kMpaMarkerInterval);
  if (room < kMpaLengthBytes + kMpaCrcBytes + 4) return 0;
  std::uint32_t ulpdu = (room - kMpaLengthBytes - kMpaCrcBytes) & ~3u;
  // ULPDU + 2 rounded up must not exceed room - CRC.
  while (ulpdu > 0 && fpdu_bytes(ulpdu) > room) ulpdu -= 4;
  return std::min(ulpdu, kMpaMaxUlpdu & ~3u);
}

Bytes MpaSender::build(std::uint32_t seq, std::span<const std::byte> header, std::size_t payload_bytes,
                       const PayloadFill& fill, Bytes buffer) const {
  const std::uint32_t ulpdu = static_cast<std::uint32_t>(header.size() + payload_bytes);
  const std::uint32_t pos = seq - marker_base_;
  const std::uint32_t body = fpdu_bytes(ulpdu);
  Bytes out = std::move(buffer);
  out.resize(mpa_fpdu_stream_bytes(ulpdu, pos, settings_.send_markers));
  // Lay the FPDU out without markers first (in place), then open the marker gaps.
  std::byte* p = out.data();
  put16(p, ulpdu);
  std::memcpy(p + kMpaLengthBytes, header.data(), header.size());
  std::byte* payload = p + kMpaLengthBytes + header.size();
  if (payload_bytes > 0 && !fill(std::span<std::byte>(payload, payload_bytes), 0)) return {};
  std::memset(payload + payload_bytes, 0, padded(ulpdu) - kMpaLengthBytes - ulpdu);
  put32(p + padded(ulpdu), 0);
  if (!settings_.send_markers || out.size() == body) {
    if (settings_.crc) put32(p + padded(ulpdu), crc32c(std::span<const std::byte>(p, padded(ulpdu))));
    return out;
  }
  // Markers: move the body's runs apart from the end backwards and write each marker.
  struct Run {
    std::uint32_t from, to, bytes;
  };
  std::vector<Run> runs;
  std::vector<std::uint32_t> marker_at;
  std::uint32_t src = 0, dst = 0, q = pos;
  while (src < body) {
    if (q % kMpaMarkerInterval == 0) {
      marker_at.push_back(dst);
      dst += kMpaMarkerBytes;
      q += kMpaMarkerBytes;
    }
    const std::uint32_t run = std::min(body - src, kMpaMarkerInterval - q % kMpaMarkerInterval);
    runs.push_back(Run{src, dst, run});
    src += run;
    dst += run;
    q += run;
  }
  for (auto it = runs.rbegin(); it != runs.rend(); ++it)
    std::memmove(out.data() + it->to, out.data() + it->from, it->bytes);
  for (std::uint32_t m : marker_at) {
    // FPDUPTR: octets from the FPDU's first octet back from the marker; the FPDU
    // starts at the marker when a marker opens it.
    out[m] = std::byte{0};
    out[m + 1] = std::byte{0};
    put16(out.data() + m + 2, m);
  }
  // The CRC covers every octet before it, the markers included (RFC 5044).
  if (settings_.crc)
    put32(out.data() + out.size() - kMpaCrcBytes,
          crc32c(std::span<const std::byte>(out).first(out.size() - kMpaCrcBytes)));
  return out;
}

MpaError MpaReceiver::feed(std::span<const std::byte> bytes, const Deliver& deliver) {
  if (error_ != MpaError::None) return error_;
  const std::byte* p = bytes.data();
  std::size_t n = bytes.size();
  while (n > 0) {
    // A marker (possibly split across calls).
    if (settings_.receive_markers && (marker_have_ > 0 || pos_ % kMpaMarkerInterval == 0)) {
      const std::uint32_t take = std::min<std::uint32_t>(kMpaMarkerBytes - marker_have_, static_cast<std::uint32_t>(n));
      std::memcpy(marker_ + marker_have_, p, take);
      marker_have_ += take;
      p += take;
      n -= take;
      pos_ += take;
      if (marker_have_ < kMpaMarkerBytes) break;
      marker_have_ = 0;
      const std::uint32_t marker_pos = pos_ - kMpaMarkerBytes;
      const std::uint32_t fpduptr =
          std::to_integer<std::uint32_t>(marker_[2]) << 8 | std::to_integer<std::uint32_t>(marker_[3]);
      if (!in_fpdu_) {
        in_fpdu_ = true;
        fpdu_start_ = marker_pos;
        crc_state_ = kCrc32cInit;
      }
      if (fpduptr != marker_pos - fpdu_start_) return fail(MpaError::Marker);
      crc_state_ = crc32c_update(crc_state_, marker_);
      continue;
    }
    // FPDU octets up to the next marker position.
    std::size_t run = n;
    if (settings_.receive_markers) run = std::min<std::size_t>(run, kMpaMarkerInterval - pos_ % kMpaMarkerInterval);
    if (!in_fpdu_) {
      in_fpdu_ = true;
      fpdu_start_ = pos_;
      crc_state_ = kCrc32cInit;
    }
    // Fast path: a whole FPDU at hand without markers in between.
    if (fpdu_.empty() && run >= kMpaLengthBytes) {
      const std::uint32_t len = std::to_integer<std::uint32_t>(p[0]) << 8 | std::to_integer<std::uint32_t>(p[1]);
      const std::uint32_t total = fpdu_bytes(len);
      if (run >= total) {
        if (settings_.crc) {
          std::uint32_t got;
          std::memcpy(&got, p + padded(len), 4);
          got = __builtin_bswap32(got);
          if (crc32c_final(crc32c_update(crc_state_, std::span<const std::byte>(p, padded(len)))) != got) {
            return fail(MpaError::Crc);
          }
        }
        ++fpdus_;
        deliver(std::span<const std::byte>(p + kMpaLengthBytes, len));
        p += total;
        n -= total;
        pos_ += total;
        in_fpdu_ = false;
        continue;
      }
    }
    // Slow path: gather the FPDU.
    std::size_t want = run;
    if (fpdu_need_ == 0) {
      want = std::min<std::size_t>(want, kMpaLengthBytes - fpdu_.size());
    } else {
      want = std::min<std::size_t>(want, fpdu_need_ - fpdu_.size());
    }
    // The CRC runs over everything before the CRC field.
    const std::size_t covered_end = fpdu_need_ == 0 ? SIZE_MAX : fpdu_need_ - kMpaCrcBytes;
    if (fpdu_.size() < covered_end) {
      const std::size_t n = std::min(want, covered_end - fpdu_.size());
      crc_state_ = crc32c_update(crc_state_, std::span<const std::byte>(p, n));
    }
    fpdu_.insert(fpdu_.end(), p, p + want);
    p += want;
    n -= want;
    pos_ += static_cast<std::uint32_t>(want);
    if (fpdu_need_ == 0 && fpdu_.size() == kMpaLengthBytes) {
      const std::uint32_t len =
          std::to_integer<std::uint32_t>(fpdu_[0]) << 8 | std::to_integer<std::uint32_t>(fpdu_[1]);
      fpdu_need_ = fpdu_bytes(len);
      fpdu_.reserve(fpdu_need_);
    }
    if (fpdu_need_ != 0 && fpdu_.size() == fpdu_need_) {
      const std::uint32_t len =
          std::to_integer<std::uint32_t>(fpdu_[0]) << 8 | std::to_integer<std::uint32_t>(fpdu_[1]);
      if (settings_.crc) {
        std::uint32_t got;
        std::memcpy(&got, fpdu_.data() + padded(len), 4);
        got = __builtin_bswap32(got);
        if (crc32c_final(crc_state_) != got) return fail(MpaError::Crc);
      }
      ++fpdus_;
      deliver(std::span<const std::byte>(fpdu_.data() + kMpaLengthBytes, len));
      fpdu_.clear();
      fpdu_need_ = 0;
      in_fpdu_ = false;
    }
  }
  return MpaError::None;
}

}  // namespace zeksim
