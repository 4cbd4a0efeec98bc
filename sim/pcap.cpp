#include "sim/pcap.h"

#include <sys/time.h>

#include <cstdint>

namespace zeksim {

namespace {

struct GlobalHeader {
  std::uint32_t magic = 0xA1B2C3D4;
  std::uint16_t version_major = 2;
  std::uint16_t version_minor = 4;
  std::int32_t thiszone = 0;
  std::uint32_t sigfigs = 0;
  std::uint32_t snaplen = 65535;
  std::uint32_t network = 1;  // Ethernet
};
static_assert(sizeof(GlobalHeader) == 24);

struct RecordHeader {
  std::uint32_t seconds;
  std::uint32_t microseconds;
  std::uint32_t captured;
  std::uint32_t length;
};
static_assert(sizeof(RecordHeader) == 16);

}  // namespace

PcapWriter::~PcapWriter() {
  if (file_ != nullptr) std::fclose(file_);
}

bool PcapWriter::open(const std::string& path) {
  std::lock_guard lock(mu_);
  if (file_ != nullptr) std::fclose(file_);
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) return false;
  const GlobalHeader header;
  std::fwrite(&header, sizeof header, 1, file_);
  std::fflush(file_);
  return true;
}

void PcapWriter::write(std::span<const std::byte> frame) {
  timeval now{};
  gettimeofday(&now, nullptr);
  const auto length = static_cast<std::uint32_t>(frame.size());
  const RecordHeader record{static_cast<std::uint32_t>(now.tv_sec), static_cast<std::uint32_t>(now.tv_usec),
                            length < 65535 ? length : 65535, length};
  std::lock_guard lock(mu_);
  if (file_ == nullptr) return;
  std::fwrite(&record, sizeof record, 1, file_);
  std::fwrite(frame.data(), 1, record.captured, file_);
  std::fflush(file_);
  ++records_;
}

}  // namespace zeksim
