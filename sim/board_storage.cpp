// The board's EEPROM, flash, PHYs and link: the register hooks that reach
// them and the board's own accessors (the models are in eeprom.h,
// spi_flash.h and phy.h).
#include "sim/board.h"

#include "include/hw/phy.h"

namespace zeksim {

using namespace zekhw;

std::uint32_t Board::eeprom_command(const RegisterAccess&) { return eeprom_->read_command(engine_now()); }
void Board::eeprom_command_written(const RegisterAccess& a) { eeprom_->write_command(a.value, engine_now()); }
std::uint32_t Board::eeprom_data(const RegisterAccess&) { return eeprom_->read_data(engine_now()); }
void Board::eeprom_data_written(const RegisterAccess& a) { eeprom_->write_data(a.value); }

std::uint32_t Board::flash_control(const RegisterAccess&) { return flash_->read_control(engine_now()); }
void Board::flash_control_written(const RegisterAccess& a) { flash_->write_control(a.value, engine_now()); }
std::uint32_t Board::flash_data(const RegisterAccess&) { return flash_->read_data(engine_now()); }
void Board::flash_data_written(const RegisterAccess& a) { flash_->write_data(a.value, flash_buffered()); }

// The controller buffers 8 words unless the EEPROM's flash-mode word selects
// the register's choice and idx 0x8E8 does not have both buffered bits set.
bool Board::flash_buffered() const {
  const bool by_register = (eeprom_->word(flash_mode_word(eeprom_->word(0))) & kEepromFlashModeSelect) != 0;
  return !by_register || (registers_.kept(Space::Indexed, 0, kIdxFlashMode) & kFlashModeBuffered) == kFlashModeBuffered;
}

std::uint32_t Board::flash_word(std::uint32_t byte_address) {
  std::lock_guard lock(reg_mu_);
  return flash_->word(byte_address);
}

std::vector<std::uint32_t> Board::flash_programs() {
  std::lock_guard lock(reg_mu_);
  return flash_->programs();
}

std::uint8_t Board::flash_status() {
  std::lock_guard lock(reg_mu_);
  return flash_->status(engine_now());
}

std::uint32_t Board::mdio_frame(const RegisterAccess&) { return mdio_.read_frame(engine_now()); }
void Board::mdio_frame_written(const RegisterAccess& a) { mdio_.write_frame(a.value, engine_now(), link_locked()); }
// Port p's MAC interrupt status: the link-change bits, and on port 0 the
// MDIO done bit.
std::uint32_t Board::mdio_done(const RegisterAccess& a) {
  return (a.instance == 0 ? mdio_.read_done(engine_now()) : 0) | mac_status_[a.instance % kPorts];
}
void Board::mdio_done_written(const RegisterAccess& a) {
  if (a.instance == 0) {
    mdio_.read_done(engine_now());
    mdio_.clear_done(a.value);
  }
  mac_status_[a.instance % kPorts] &= ~a.value;
}

// The lane words: the bits the drivers write are kept; the status bits are
// the link's (sync and status of every lane while it is up) and the ready
// bits are set on a board whose lanes come up by themselves (they do not
// wait for a peer), else they read as written.
std::uint32_t Board::lane_status(const RegisterAccess& a) {
  const std::uint32_t link = link_locked() ? kLaneSyncBits | kLaneStatusLow | kLaneStatusHigh : 0;
  return (lane_words_[a.offset == kIdxLaneStatus1][0] & ~(kLaneSyncBits | kLaneStatusLow | kLaneStatusHigh)) | link;
}
void Board::lane_status_written(const RegisterAccess& a) { lane_words_[a.offset == kIdxLaneStatus1][0] = a.value; }
std::uint32_t Board::lane_ready(const RegisterAccess& a) {
  return lane_words_[a.offset == kIdxLaneReady1][1] | (config_.lanes_ready ? kLaneReadyBits : 0);
}
void Board::lane_ready_written(const RegisterAccess& a) { lane_words_[a.offset == kIdxLaneReady1][1] = a.value; }

std::vector<MdioWrite> Board::mdio_writes() {
  std::lock_guard lock(reg_mu_);
  return mdio_.writes();
}

void Board::set_carrier(bool peer_present) {
  set_link([&] { carrier_ = peer_present; });
}

void Board::set_link_allowed(bool allowed) {
  set_link([&] { link_allowed_ = allowed; });
}

void Board::set_link(const std::function<void()>& change) {
  {
    std::lock_guard lock(reg_mu_);
    const bool before = link_locked();
    change();
    if (link_locked() == before) return;
    log_("link %s", link_locked() ? "up" : "down");
    for (std::uint32_t& status : mac_status_) status |= link_locked() ? kMacStatusLinkUp : kMacStatusLinkDown;
    for (unsigned f = 0; f < functions_.size(); ++f) {
      registers_.set_bits(Space::Registers, f, kRegFunctionFlags, 1u << f);
      raise(f, 1u << (kIntrLinkShift + (f & 3)));
    }
  }
  deliver_interrupts();
}

bool Board::link_up() {
  std::lock_guard lock(reg_mu_);
  return link_locked();
}

std::uint16_t Board::eeprom_word(unsigned address) {
  std::lock_guard lock(reg_mu_);
  return eeprom_->word(address);
}

void Board::set_eeprom_word(unsigned address, std::uint16_t value) {
  std::lock_guard lock(reg_mu_);
  eeprom_->set_word(address, value);
}

std::uint64_t Board::storage_refusals() {
  std::lock_guard lock(reg_mu_);
  return eeprom_->refused() + flash_->refused();
}

}  // namespace zeksim
