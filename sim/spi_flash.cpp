#include "sim/spi_flash.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zeksim {

using namespace zekhw;

SpiFlash::SpiFlash(const std::string& path, const StorageTiming& timing, const Log& log)
    : timing_(timing), log_(log), path_(path) {
  if (!path_.empty()) {
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) log_("flash file %s: %s; the flash is kept in memory only", path_.c_str(), std::strerror(errno));
  }
  if (fd_ < 0) {
    path_.clear();
    fd_ = ::memfd_create("zek-flash", MFD_CLOEXEC);
  }
  struct stat st {};
  if (fd_ >= 0 && ::fstat(fd_, &st) == 0 && st.st_size != kFlashBytes) {
    if (st.st_size != 0) {
      log_("flash file %s holds %lld bytes, not %u: erased", path_.c_str(), static_cast<long long>(st.st_size),
           kFlashBytes);
    }
    if (::ftruncate(fd_, 0) != 0 || ::ftruncate(fd_, kFlashBytes) != 0) {
      log_("flash file %s cannot be sized: %s", path_.c_str(), std::strerror(errno));
    }
  }
}

SpiFlash::~SpiFlash() {
  if (fd_ >= 0) ::close(fd_);
}

void SpiFlash::refuse(const char* why, std::uint32_t value) {
  ++refused_;
  log_("flash command 0x%08x refused: %s", value, why);
}

void SpiFlash::read_bytes(std::uint32_t address, std::uint8_t* out, std::size_t n) const {
  if (fd_ < 0 || ::pread(fd_, out, n, address) != static_cast<ssize_t>(n)) std::memset(out, 0, n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(~out[i]);
}

void SpiFlash::write_bytes(std::uint32_t address, const std::uint8_t* in, std::size_t n) {
  std::uint8_t stored[kFlashPageBytes];
  for (std::size_t i = 0; i < n; ++i) stored[i] = static_cast<std::uint8_t>(~in[i]);
  if (fd_ < 0 || ::pwrite(fd_, stored, n, address) != static_cast<ssize_t>(n)) {
    log_("flash file %s: bytes at 0x%06x not kept: %s", path_.c_str(), address, std::strerror(errno));
  }
}

std::uint32_t SpiFlash::word(std::uint32_t byte_address) const {
  std::uint8_t b[4];
  for (unsigned i = 0; i < 4; ++i) read_bytes((byte_address + i) & kFlashAddressMask, &b[i], 1);
  return b[0] | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24;
}

std::uint8_t SpiFlash::status(Nanos now) const {
  return static_cast<std::uint8_t>((now < wip_until_ ? kFlashStatusWip : 0) | (write_enabled_ ? kFlashStatusWel : 0) |
                                   protect_);
}

std::uint32_t SpiFlash::read_control(Nanos now) {
  return (now < busy_until_ ? kFlashBusy : 0) | (protect_ == 0 && now >= wip_until_ ? kFlashUnprotected : 0);
}

std::uint32_t SpiFlash::read_data(Nanos now) {
  if (delivering_ && now >= busy_until_) {
    data_ = pending_;
    delivering_ = false;
  }
  return data_;
}

void SpiFlash::write_data(std::uint32_t value, bool buffered) {
  if (!buffered) {
    buffer_.assign(1, value);  // the last word written is the one programmed
    return;
  }
  if (buffer_.size() >= kFlashBufferWords) {
    ++refused_;
    log_("flash data 0x%08x dropped: the program buffer holds %u words", value, kFlashBufferWords);
    return;
  }
  buffer_.push_back(value);
}

// Programs the buffered words from `address`, wrapping within its page.
void SpiFlash::program(std::uint32_t address) {
  if (programs_.size() >= kProgramLog) programs_.erase(programs_.begin());
  programs_.push_back(address);
  const std::uint32_t page = address & ~(kFlashPageBytes - 1);
  std::uint32_t offset = address & (kFlashPageBytes - 1);
  for (std::uint32_t w : buffer_) {
    for (unsigned i = 0; i < 4; ++i, offset = (offset + 1) % kFlashPageBytes) {
      std::uint8_t old;
      read_bytes(page + offset, &old, 1);
      const auto now = static_cast<std::uint8_t>(old & (w >> (8 * i)));
      write_bytes(page + offset, &now, 1);
    }
  }
}

void SpiFlash::erase(std::uint32_t first, std::uint32_t bytes) {
  if (fd_ >= 0 && ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, first, bytes) == 0) return;
  // No hole punching here: write the erased bytes out.
  std::vector<std::uint8_t> ff(kFlashPageBytes, 0xFF);
  for (std::uint32_t a = first; a < first + bytes; a += kFlashPageBytes) write_bytes(a, ff.data(), ff.size());
}

void SpiFlash::write_control(std::uint32_t value, Nanos now) {
  if (now < busy_until_) return refuse("the controller is busy", value);
  const auto opcode = static_cast<std::uint8_t>(value >> kFlashOpcodeShift);
  const std::uint32_t address = value & kFlashAddressMask;
  if (!flash_opcode_known(opcode)) return refuse("unknown opcode", value);
  busy_until_ = now + timing_.flash_command;
  const bool in_progress = now < wip_until_;
  switch (opcode) {
    case kFlashWriteEnable:
      if (!in_progress) write_enabled_ = true;
      break;
    case kFlashReadStatus:
      pending_ = status(now);
      delivering_ = true;
      break;
    case kFlashRead: {
      if (in_progress) return refuse("a program or erase is in progress", value);
      pending_ = word(address);
      delivering_ = true;
      break;
    }
    case kFlashWriteStatus:
    case kFlashPageProgram:
    case kFlashSectorErase:
    case kFlashChipErase: {
      if (in_progress) return refuse("a program or erase is in progress", value);
      if (!write_enabled_) return refuse("no write enable", value);
      write_enabled_ = false;
      if (opcode == kFlashWriteStatus) {
        protect_ = static_cast<std::uint8_t>((buffer_.empty() ? 0 : buffer_.back()) & kFlashStatusProtect);
        buffer_.clear();
        wip_until_ = now + timing_.flash_status;
        break;
      }
      if (protect_ != 0) {
        buffer_.clear();
        return refuse("the flash is protected", value);
      }
      if (opcode == kFlashPageProgram) {
        program(address);
        buffer_.clear();
        wip_until_ = now + timing_.flash_program;
      } else if (opcode == kFlashSectorErase) {
        erase(address & ~(kFlashSectorBytes - 1), kFlashSectorBytes);
        wip_until_ = now + timing_.flash_sector_erase;
      } else {
        erase(0, kFlashBytes);
        wip_until_ = now + timing_.flash_chip_erase;
      }
      break;
    }
    default:
      break;
  }
}

}  // namespace zeksim
