// The board's EEPROM, flash, PHYs and link: the register hooks that reach
// them and the board's own accessors (the models are in eeprom.h,
// spi_flash.h and phy.h).
#include "sim/board.h"

namespace zeksim {

using namespace zekhw;

std::uint32_t Board::eeprom_command(const RegisterAccess&) { return eeprom_->read_command(engine_now()); }
void Board::eeprom_command_written(const RegisterAccess& a) { eeprom_->write_command(a.value, engine_now()); }
std::uint32_t Board::eeprom_data(const RegisterAccess&) { return eeprom_->read_data(engine_now()); }
void Board::eeprom_data_written(const RegisterAccess& a) { eeprom_->write_data(a.value); }

std::uint16_t Board::eeprom_word(unsigned address) {
  std::lock_guard lock(mu_);
  return eeprom_->word(address);
}

void Board::set_eeprom_word(unsigned address, std::uint16_t value) {
  std::lock_guard lock(mu_);
  eeprom_->set_word(address, value);
}

std::uint64_t Board::storage_refusals() {
  std::lock_guard lock(mu_);
  return eeprom_->refused();
}

}  // namespace zeksim
