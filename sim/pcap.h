// A capture file in the classic pcap format (link type Ethernet), one record
// per frame, flushed as it is written so that an analyser can read the file
// while the host runs and after it is killed.
#pragma once

#include <cstddef>
#include <cstdio>
#include <mutex>
#include <span>
#include <string>

namespace zeksim {

class PcapWriter {
 public:
  PcapWriter() = default;
  ~PcapWriter();
  PcapWriter(const PcapWriter&) = delete;
  PcapWriter& operator=(const PcapWriter&) = delete;

  // Creates (truncates) the file and writes the header; false with errno set.
  bool open(const std::string& path);
  bool is_open() const { return file_ != nullptr; }
  void write(std::span<const std::byte> frame);
  std::uint64_t records() const { return records_; }

 private:
  std::mutex mu_;
  std::FILE* file_ = nullptr;
  std::uint64_t records_ = 0;
};

}  // namespace zeksim
