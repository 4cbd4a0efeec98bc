#include "sim/eeprom.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zeksim {

using namespace zekhw;

namespace {

// Fills one section at word t: its length at t + 1 and its tag at t + 2.
void put_section(EepromImage& e, unsigned t, std::uint8_t length, std::uint16_t tag) {
  for (unsigned w = t; w < t + 4u * length && w < kEepromWords; ++w) e[w] = 0;
  e[t + kEepromSectionLength] = length;
  e[t + kEepromSectionTag] = tag;
}

// Sets u32 word n of a section read as the drivers read it (word 2n high, 2n + 1 low).
void put_u32(EepromImage& e, unsigned t, unsigned n, std::uint32_t value) {
  e[t + 2 * n] = static_cast<std::uint16_t>(value >> 16);
  e[t + 2 * n + 1] = static_cast<std::uint16_t>(value & 0xFFFF);
}

std::uint32_t per_function_bytes(const std::array<std::uint8_t, 4>& bytes) {
  return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[2]} << 8 | bytes[3];
}

// A MAC block: bytes 0-1 and the count, then bytes 2-5.
void put_mac_block(EepromImage& e, unsigned t, unsigned n, const std::array<std::uint8_t, 6>& mac) {
  put_u32(e, t, n, (image::kMacCount << 16) | std::uint32_t{mac[0]} << 8 | mac[1]);
  put_u32(e, t, n + 1, std::uint32_t{mac[2]} << 24 | std::uint32_t{mac[3]} << 16 | std::uint32_t{mac[4]} << 8 | mac[5]);
}

}  // namespace

EepromImage default_eeprom_image(const BoardConfig& config) {
  EepromImage e;
  e.fill(0xFFFF);
  e[0] = eeprom_control_with_parity(image::kBase);
  for (unsigned w = 1; w <= 8u * image::kBase; ++w) e[w] = 0;
  unsigned t = 8u * image::kBase + 1;
  for (unsigned i = 0; i < kEepromSections; ++i) {
    const std::uint16_t tag = kEepromSectionOrder[i];
    put_section(e, t, image::kLengths[i], tag);
    if (tag == kTagSw) {
      // The same software section in every copy.
      put_u32(e, t, sw::kTag, std::uint32_t{kTagSw} << 16);
      put_mac_block(e, t, sw::kMacBlock1, config.mac);
      std::array<std::uint8_t, 6> second = config.mac;
      second[5] = static_cast<std::uint8_t>(second[5] + image::kMacCount);
      put_mac_block(e, t, sw::kMacBlock2, second);
      put_u32(e, t, sw::kPhyTypes, per_function_bytes(config.phy_types));
      put_u32(e, t, sw::kLimits, (std::uint32_t{64} << 16) | 64);
      put_u32(e, t, sw::kMdioAddresses, per_function_bytes(config.mdio_addresses));
    }
    if (tag == kTagNf) {
      put_u32(e, t, 1, std::uint32_t{kTagNf} << 16);
      put_u32(e, t, nf::kVersions,
              std::uint32_t{image::kFirmwareMajor} << 24 | std::uint32_t{image::kFirmwareMinor} << 16 |
                  std::uint32_t{image::kEepromMajor} << 8 | image::kEepromMinor);
    }
    t += 4u * image::kLengths[i];
  }
  return e;
}

Eeprom::Eeprom(std::string path, const EepromImage& image, const StorageTiming& timing, const Log& log)
    : path_(std::move(path)), timing_(timing), log_(log), words_(image) {
  if (path_.empty()) return;
  const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    log_("EEPROM file %s: %s; the EEPROM is kept in memory only", path_.c_str(), std::strerror(errno));
    path_.clear();
    return;
  }
  EepromImage stored{};
  const ssize_t got = ::pread(fd, stored.data(), sizeof stored, 0);
  if (got == static_cast<ssize_t>(sizeof stored)) {
    words_ = stored;
  } else {
    if (got != 0)
      log_("EEPROM file %s holds %zd bytes, not %zu: the default image replaces it", path_.c_str(), got, sizeof stored);
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, words_.data(), sizeof words_, 0) != static_cast<ssize_t>(sizeof words_)) {
      log_("EEPROM file %s cannot be written: %s", path_.c_str(), std::strerror(errno));
    }
  }
  ::close(fd);
}

void Eeprom::set_word(unsigned address, std::uint16_t value) {
  address &= kEepromAddressMask;
  words_[address] = value;
  if (path_.empty()) return;
  const int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0 || ::pwrite(fd, &words_[address], sizeof value, off_t{2} * address) != sizeof value) {
    log_("EEPROM file %s: word %u not kept: %s", path_.c_str(), address, std::strerror(errno));
  }
  if (fd >= 0) ::close(fd);
}

void Eeprom::finish(Path& path, Nanos now) {
  if (now < path.busy_until) return;
  if (path.reading) path.data = path.pending;
  path.reading = false;
  path.command &= ~(kEepromRead | kEepromWrite);
}

std::uint32_t Eeprom::status(Path& path, Nanos now) {
  finish(path, now);
  return path.command;
}

std::uint32_t Eeprom::data(Path& path, Nanos now) {
  finish(path, now);
  return path.data;
}

void Eeprom::command(Path& path, std::uint32_t value, Nanos now) {
  finish(path, now);
  const unsigned address = value & kEepromAddressMask;
  const bool read = (value & kEepromRead) != 0, write = (value & kEepromWrite) != 0;
  if (!read && !write) {
    path.command = value | (path.command & (kEepromRead | kEepromWrite));  // a running command stays busy
    return;
  }
  if ((path.command & (kEepromRead | kEepromWrite)) != 0 || (read && write)) {
    ++refused_;
    log_("EEPROM command 0x%08x refused: %s", value, read && write ? "read and write at once" : "the EEPROM is busy");
    return;
  }
  path.command = value;
  if (dead_) {
    path.busy_until = Nanos::max();
    return;
  }
  if (read) {
    path.pending = words_[address];
    path.reading = true;
    path.busy_until = now + timing_.eeprom_read;
  } else {
    set_word(address, static_cast<std::uint16_t>(path.data & kEepromDataMask));
    path.busy_until = now + timing_.eeprom_write;
  }
}

void Eeprom::write_pci_command(std::uint32_t value, Nanos now) {
  if ((value & (kEepromRead | kEepromWrite)) != 0 && (value & kPciEepromEnable) != kPciEepromEnable) {
    ++refused_;
    log_("EEPROM command 0x%08x through PCI configuration space refused: no enable key", value);
    return;
  }
  command(pci_path_, value, now);
}

}  // namespace zeksim
