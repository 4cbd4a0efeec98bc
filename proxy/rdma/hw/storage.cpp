#include "proxy/rdma/hw/storage.h"

#include <algorithm>

#include "include/hw/pci.h"
#include "include/hw/storage.h"
#include "platform/kernel/ke.h"
#include "proxy/core/osprim/osprim_kernel.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/hw/status.h"

using namespace zekhw;

namespace {

MifhPciConfigRead g_pci_read = nullptr;
MifhPciConfigWrite g_pci_write = nullptr;

bool device_ok(const MifhDeviceObj* d) { return !ZekIsBadPointer(d) && d->RegisterWindow != nullptr; }

void stall() { KeStallExecutionProcessor(MIFH_STORAGE_STALL_US); }

// Polls the flash controller until it is idle: true, or false after the bound.
bool flash_idle(MifhDeviceObj* d) {
  for (std::uint32_t i = 0; i < MIFH_FLASH_POLLS; ++i) {
    stall();
    if ((mifh_read_reg(d, kRegFlashCommand) & kFlashBusy) == 0) return true;
  }
  return false;
}

// Waits until the flash's write-in-progress bit is clear: 0 or -1.
int flash_wait(MifhDeviceObj* d, std::uint32_t delay_us) {
  for (std::uint32_t i = 0; i < MIFH_FLASH_POLLS; ++i) {
    const int wip = mifh_flash_read_status(d);
    if (wip < 0) return -1;
    if (wip == 0) return 0;
    if (delay_us != 0) OSPrimSleepDelay(nullptr, delay_us);
  }
  ZEK_LOG_FAILURE("flash: still writing after %u status reads\n", MIFH_FLASH_POLLS);
  return -1;
}

// Clears the block protection until the controller reports it ready to program.
int flash_unprotect(MifhDeviceObj* d) {
  for (std::uint32_t i = 0; i < MIFH_FLASH_POLLS; ++i) {
    if ((mifh_read_reg(d, kRegFlashCommand) & kFlashUnprotected) != 0) return 0;
    mifh_write_reg(d, kRegFlashData, 0);
    if (mifh_flash_command(d, kFlashWriteEnable, 0) != 0 || mifh_flash_command(d, kFlashWriteStatus, 0) != 0) {
      return -1;
    }
  }
  ZEK_LOG_FAILURE("flash: the block protection does not clear\n");
  return -1;
}

// One program of `n` words at `address`, after the unprotect step.
int flash_program(MifhDeviceObj* d, const std::uint32_t* words, std::uint32_t n, std::uint32_t repeat,
                  std::uint32_t address) {
  if (flash_unprotect(d) != 0) return -1;
  for (std::uint32_t i = 0; i < n; ++i) {
    for (std::uint32_t r = 0; r < repeat; ++r) mifh_write_reg(d, kRegFlashData, words[i]);
  }
  if (mifh_flash_command(d, kFlashWriteEnable, 0) != 0 || mifh_flash_command(d, kFlashPageProgram, address) != 0) {
    return -1;
  }
  return flash_wait(d, 0);
}

bool flash_range_ok(std::uint32_t byteAddress, std::uint32_t count) {
  return byteAddress % 4 == 0 && byteAddress <= kFlashBytes && count <= (kFlashBytes - byteAddress) / 4;
}

bool eeprom_range_ok(std::uint32_t address, std::uint32_t count) {
  return address <= kEepromWords && count <= kEepromWords - address;
}

// ---- The EEPROM's register path ----

bool eeprom_reg_idle(MifhDeviceObj* d, std::uint32_t bit) {
  for (std::uint32_t i = 0; i < MIFH_EEPROM_POLLS; ++i) {
    if ((mifh_read_reg(d, kRegEepromCommand) & bit) == 0) return true;
    stall();
  }
  ZEK_LOG_FAILURE("EEPROM: no answer\n");
  return false;
}

int eeprom_reg_read(MifhDeviceObj* d, std::uint32_t address, std::uint16_t* words, std::uint32_t count) {
  if (!eeprom_reg_idle(d, kEepromRead)) return -1;
  for (std::uint32_t j = 0; j < count; ++j) {
    mifh_write_reg(d, kRegEepromCommand, ((address + j) & kEepromAddressMask) | kEepromRead);
    stall();
    if (!eeprom_reg_idle(d, kEepromRead)) return -1;
    words[j] = static_cast<std::uint16_t>(mifh_read_reg(d, kRegEepromData) & kEepromDataMask);
  }
  return 0;
}

// words null: 0xFFFF in every word.
int eeprom_reg_write(MifhDeviceObj* d, std::uint32_t address, const std::uint16_t* words, std::uint32_t count) {
  if (!eeprom_reg_idle(d, kEepromWrite)) return -1;
  for (std::uint32_t j = 0; j < count; ++j) {
    mifh_write_reg(d, kRegEepromData, words != nullptr ? words[j] : 0xFFFF);
    stall();
    mifh_write_reg(d, kRegEepromCommand, ((address + j) & kEepromAddressMask) | kEepromWrite);
    stall();
    if (!eeprom_reg_idle(d, kEepromWrite)) return -1;
  }
  return 0;
}

// ---- The EEPROM's PCI-configuration path ----

bool pci_idle(MifhDeviceObj* d, std::uint32_t bits) {
  for (std::uint32_t i = 0; i < MIFH_EEPROM_POLLS; ++i) {
    std::uint32_t v = 0;
    if (g_pci_read(d, kPciCfgEepromAddress, &v) != ZEK_STATUS_PASS) return false;
    if ((v & bits) == 0) return true;
    stall();
  }
  ZEK_LOG_FAILURE("EEPROM: no answer through PCI configuration space\n");
  return false;
}

// One transfer: the enable key, the words, then 0 in the command dword
// whatever happened (the controller is left disabled).
int eeprom_pci(MifhDeviceObj* d, std::uint32_t address, std::uint16_t* read_into, const std::uint16_t* write_from,
               bool write, std::uint32_t count) {
  if (g_pci_read == nullptr || g_pci_write == nullptr) {
    ZEK_LOG_FAILURE("EEPROM: no PCI configuration access\n");
    return -1;
  }
  auto transfer = [&]() -> int {
    if (g_pci_write(d, kPciCfgEepromAddress, kPciEepromEnable) != ZEK_STATUS_PASS) return -1;
    if (!pci_idle(d, kEepromRead | kEepromWrite)) return -1;
    for (std::uint32_t j = 0; j < count; ++j) {
      const std::uint32_t a = (address + j) & kEepromAddressMask;
      if (write) {
        if (g_pci_write(d, kPciCfgEepromData, write_from != nullptr ? write_from[j] : 0xFFFF) != ZEK_STATUS_PASS) {
          return -1;
        }
        stall();
        if (g_pci_write(d, kPciCfgEepromAddress, a | kPciEepromWrite) != ZEK_STATUS_PASS) return -1;
        stall();
        if (!pci_idle(d, kEepromWrite)) return -1;
      } else {
        if (g_pci_write(d, kPciCfgEepromAddress, a | kPciEepromRead) != ZEK_STATUS_PASS) return -1;
        stall();
        if (!pci_idle(d, kEepromRead)) return -1;
        std::uint32_t v = 0;
        if (g_pci_read(d, kPciCfgEepromData, &v) != ZEK_STATUS_PASS) return -1;
        read_into[j] = static_cast<std::uint16_t>(v & kEepromDataMask);
      }
    }
    return 0;
  };
  const int result = transfer();
  if (g_pci_write(d, kPciCfgEepromAddress, 0) != ZEK_STATUS_PASS) return -1;
  return result;
}

}  // namespace

void mifh_set_pci_config_access(MifhPciConfigRead read, MifhPciConfigWrite write) {
  g_pci_read = read;
  g_pci_write = write;
}

std::uint32_t mifh_flash_command(MifhDeviceObj* d, std::uint8_t opcode, std::uint32_t address) {
  if (!device_ok(d) || !flash_opcode_known(opcode)) return 1;
  if (!flash_idle(d)) {
    ZEK_LOG_FAILURE("flash: the controller stays busy before opcode 0x%x\n", opcode);
    return 1;
  }
  const std::uint32_t word = std::uint32_t{opcode} << kFlashOpcodeShift;
  mifh_write_reg(d, kRegFlashCommand, flash_opcode_addressed(opcode) ? word | (address & kFlashAddressMask) : word);
  // The data register holds the command's word only once the controller is done.
  if (!flash_idle(d)) {
    ZEK_LOG_FAILURE("flash: the controller stays busy after opcode 0x%x\n", opcode);
    return 1;
  }
  return 0;
}

int mifh_flash_read_status(MifhDeviceObj* d) {
  if (mifh_flash_command(d, kFlashReadStatus, 0) != 0) return -1;
  return (mifh_read_reg(d, kRegFlashData) & kFlashStatusWip) != 0 ? 1 : 0;
}

int mifh_flash_write_page(MifhDeviceObj* d, const std::uint32_t* words, std::uint32_t byteAddress,
                          std::uint32_t count) {
  if (!device_ok(d) || (count != 0 && words == nullptr) || !flash_range_ok(byteAddress, count)) return -1;
  if (flash_wait(d, 0) != 0) return -1;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (flash_program(d, &words[i], 1, MIFH_FLASH_PAGE_REPEAT, byteAddress + 4 * i) != 0) return -1;
  }
  return 0;
}

int mifh_flash_write(MifhDeviceObj* d, const std::uint32_t* words, std::uint32_t byteAddress, std::uint32_t count) {
  if (!device_ok(d) || (count != 0 && words == nullptr) || !flash_range_ok(byteAddress, count)) return -1;
  // The programming mode: the EEPROM word after the base length hands the
  // choice to idx 0x8E8, whose bits 2-3 both set keep the 8-word buffer.
  std::uint16_t control = 0, select = 0;
  if (eeprom_reg_read(d, 0, &control, 1) != 0) return -1;
  if (eeprom_reg_read(d, flash_mode_word(control) & kEepromAddressMask, &select, 1) != 0) return -1;
  if ((select & kEepromFlashModeSelect) != 0) {
    std::uint32_t mode = 0;
    if (mifh_read_indexed(d, kIdxFlashMode, &mode) != ZEK_STATUS_PASS) return -1;
    if ((mode & kFlashModeBuffered) != kFlashModeBuffered) return mifh_flash_write_page(d, words, byteAddress, count);
  }
  if (flash_wait(d, 0) != 0) return -1;
  // Groups of up to 8 words, none across a page boundary.
  std::uint32_t done = 0;
  while (done < count) {
    const std::uint32_t address = byteAddress + 4 * done;
    const std::uint32_t to_page_end = (kFlashPageBytes - address % kFlashPageBytes) / 4;
    const std::uint32_t n = std::min({kFlashBufferWords, count - done, to_page_end});
    if (flash_program(d, words + done, n, 1, address) != 0) return -1;
    done += n;
  }
  return 0;
}

int mifh_flash_read(MifhDeviceObj* d, std::uint32_t* words, std::uint32_t byteAddress, std::uint32_t count) {
  if (!device_ok(d) || (count != 0 && words == nullptr) || !flash_range_ok(byteAddress, count)) return -1;
  if (flash_wait(d, 0) != 0) return -1;
  for (std::uint32_t j = 0; j < count; ++j) {
    if (mifh_flash_command(d, kFlashRead, byteAddress + 4 * j) != 0) return -1;
    words[j] = mifh_read_reg(d, kRegFlashData);
  }
  return 0;
}

int mifh_flash_erase_sector(MifhDeviceObj* d, std::uint32_t sector) {
  if (!device_ok(d) || sector >= kFlashBytes / kFlashSectorBytes) return -1;
  if (flash_wait(d, 0) != 0 || flash_unprotect(d) != 0) return -1;
  if (mifh_flash_command(d, kFlashWriteEnable, 0) != 0 ||
      mifh_flash_command(d, kFlashSectorErase, sector << kFlashSectorShift) != 0) {
    return -1;
  }
  return flash_wait(d, MIFH_FLASH_ERASE_DELAY_US);
}

int mifh_eeprom_read_words(MifhDeviceObj* d, std::uint32_t address, std::uint16_t* words, std::uint32_t count,
                           std::uint32_t path) {
  if (!device_ok(d) || (count != 0 && words == nullptr) || !eeprom_range_ok(address, count)) return -1;
  return path != MIFH_EEPROM_PATH_PCI ? eeprom_reg_read(d, address, words, count)
                                      : eeprom_pci(d, address, words, nullptr, false, count);
}

int mifh_eeprom_write_words(MifhDeviceObj* d, const std::uint16_t* words, std::uint32_t address, std::uint32_t count,
                            std::uint32_t path) {
  if (!device_ok(d) || (count != 0 && words == nullptr) || !eeprom_range_ok(address, count)) return -1;
  return path != MIFH_EEPROM_PATH_PCI ? eeprom_reg_write(d, address, words, count)
                                      : eeprom_pci(d, address, nullptr, words, true, count);
}

int mifh_eeprom_write_word(MifhDeviceObj* d, std::uint32_t address, std::uint32_t count, std::uint32_t path) {
  if (!device_ok(d) || !eeprom_range_ok(address, count)) return -1;
  return path != MIFH_EEPROM_PATH_PCI ? eeprom_reg_write(d, address, nullptr, count)
                                      : eeprom_pci(d, address, nullptr, nullptr, true, count);
}
