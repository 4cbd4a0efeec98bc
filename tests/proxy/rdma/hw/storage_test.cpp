// The EEPROM and flash routines against the adapter model: the programming
// groups, the two EEPROM paths, and the faults of the sequences mended
// (stale data words, unchecked ranges, page wrap, erase of a protected flash).
#include <chrono>
#include <vector>

#include "tests/proxy/rdma/hw/storage_fixture.h"

namespace {

using namespace zekhw;

std::vector<std::uint32_t> pattern(std::uint32_t count, std::uint32_t seed) {
  std::vector<std::uint32_t> w(count);
  for (std::uint32_t i = 0; i < count; ++i) w[i] = seed + 0x01010101u * i;
  return w;
}

struct WriteCase {
  const char* what;
  bool single_word;  // the EEPROM and idx 0x8E8 choose one word per program
  std::uint32_t address, count;
  std::vector<std::uint32_t> programs;  // byte addresses of the page programs
};

class FlashWriteTest : public StorageHwTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(FlashWriteTest, ProgramsTheGroupsAndLandsEveryWord) {
  const WriteCase& c = GetParam();
  HwFunction& fn = device(0);
  if (c.single_word) {
    const unsigned w = flash_mode_word(board().eeprom_word(0));
    board().set_eeprom_word(w, board().eeprom_word(w) | kEepromFlashModeSelect);
  }
  const auto words = pattern(c.count, 0x10203040);
  ASSERT_EQ(mifh_flash_write(&fn.device, words.data(), c.address, c.count), 0);
  EXPECT_EQ(board().flash_programs(), c.programs);
  for (std::uint32_t i = 0; i < c.count; ++i) EXPECT_EQ(board().flash_word(c.address + 4 * i), words[i]) << i;
  EXPECT_EQ(board().flash_word(c.address + 4 * c.count), 0xFFFF'FFFFu) << "nothing past the words";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FlashWriteTest,
    ::testing::Values(WriteCase{"nine words: a group and one word 32 bytes on", false, 0, 9, {0, 32}},
                      WriteCase{"no words: nothing programmed", false, 0x100, 0, {}},
                      WriteCase{"sixteen words: two groups", false, 0x1000, 16, {0x1000, 0x1020}},
                      WriteCase{"a group across a page end is split there", false, 0xF0, 8, {0xF0, 0x100}},
                      WriteCase{"single-word mode: one program per word", true, 0x40, 3, {0x40, 0x44, 0x48}},
                      WriteCase{"the last words of the flash", false, kFlashBytes - 8, 2, {kFlashBytes - 8}}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST_F(StorageHwTest, FlashRangesThatWouldWrapOrMisalignAreRefused) {
  HwFunction& fn = device(0);
  const auto words = pattern(4, 1);
  std::uint32_t out[4] = {};
  struct Bad {
    std::uint32_t address, count;
  } cases[] = {{2, 1}, {kFlashBytes - 4, 2}, {kFlashBytes, 1}, {0xFFFF'FFFC, 4}};
  for (const Bad& b : cases) {
    SCOPED_TRACE(b.address);
    EXPECT_EQ(mifh_flash_write(&fn.device, words.data(), b.address, b.count), -1);
    EXPECT_EQ(mifh_flash_write_page(&fn.device, words.data(), b.address, b.count), -1);
    EXPECT_EQ(mifh_flash_read(&fn.device, out, b.address, b.count), -1);
  }
  EXPECT_TRUE(board().flash_programs().empty());
  EXPECT_EQ(board().flash_word(0), 0xFFFF'FFFFu) << "nothing wrapped onto the start";
}

TEST_F(StorageHwTest, ReadsTakeTheWordOnceTheControllerIsDone) {
  HwFunction& fn = device(0);
  const auto words = pattern(9, 0xA0B0C0D0);
  ASSERT_EQ(mifh_flash_write(&fn.device, words.data(), 0x2000, 9), 0);
  std::vector<std::uint32_t> back(9);
  ASSERT_EQ(mifh_flash_read(&fn.device, back.data(), 0x2000, 9), 0);
  EXPECT_EQ(back, words) << "every word its own, none the one before";
}

TEST_F(StorageHwTest, ASectorEraseOfAProtectedFlashErases) {
  HwFunction& fn = device(0);
  const auto words = pattern(2, 0);
  // The last word of sector 1 and the first of sector 2; then the block
  // protection back on, as at power-up.
  ASSERT_EQ(mifh_flash_write(&fn.device, words.data(), 0x1FFFC, 2), 0);
  mifh_write_reg(&fn.device, kRegFlashData, kFlashStatusProtect);
  ASSERT_EQ(mifh_flash_command(&fn.device, kFlashWriteEnable, 0), 0u);
  ASSERT_EQ(mifh_flash_command(&fn.device, kFlashWriteStatus, 0), 0u);
  ASSERT_EQ(board().flash_status() & kFlashStatusProtect, kFlashStatusProtect);
  EXPECT_EQ(mifh_flash_erase_sector(&fn.device, 1), 0);
  EXPECT_EQ(board().flash_word(0x1FFFC), 0xFFFF'FFFFu) << "sector 1 erased";
  EXPECT_EQ(board().flash_word(0x20000), words[1]) << "sector 2 untouched";
  EXPECT_EQ(mifh_flash_erase_sector(&fn.device, 256), -1) << "no sector 256 in 16 MB";
}

class SlowFlashTest : public StorageHwTest {
 public:
  void adjust(zeksim::BoardConfig& c) override { c.timing.flash_command = std::chrono::hours(1); }
};

TEST_F(SlowFlashTest, AControllerThatStaysBusyFailsTheCommand) {
  HwFunction& fn = device(0);
  EXPECT_EQ(mifh_flash_command(&fn.device, kFlashWriteEnable, 0), 1u) << "idle before, but busy after it";
  EXPECT_EQ(board().flash_status() & kFlashStatusWel, kFlashStatusWel) << "the command was sent";
  EXPECT_EQ(mifh_flash_command(&fn.device, kFlashWriteEnable, 0), 1u) << "busy before it";
  EXPECT_EQ(mifh_flash_read_status(&fn.device), -1);
  EXPECT_EQ(mifh_flash_command(&fn.device, 0x9F, 0), 1u) << "an opcode outside the set is not sent";
}

// ---- EEPROM ----

TEST_F(StorageHwTest, BothEepromPathsReadAndWriteTheSameWords) {
  HwFunction& fn = device(1);
  for (std::uint32_t path : {MIFH_EEPROM_PATH_REGISTER, MIFH_EEPROM_PATH_PCI}) {
    SCOPED_TRACE(path);
    const std::uint16_t words[3] = {0x1111, static_cast<std::uint16_t>(0x2222 + path), 0x3333};
    ASSERT_EQ(mifh_eeprom_write_words(&fn.device, words, 1021, 3, path), 0);
    std::uint16_t back[3] = {};
    const std::uint32_t other = path == MIFH_EEPROM_PATH_PCI ? MIFH_EEPROM_PATH_REGISTER : MIFH_EEPROM_PATH_PCI;
    ASSERT_EQ(mifh_eeprom_read_words(&fn.device, 1021, back, 3, other), 0);
    EXPECT_EQ(std::vector<std::uint16_t>(back, back + 3), std::vector<std::uint16_t>(words, words + 3));
    ASSERT_EQ(mifh_eeprom_write_word(&fn.device, 1022, 2, path), 0);
    EXPECT_EQ(board().eeprom_word(1021), 0x1111);
    EXPECT_EQ(board().eeprom_word(1022), 0xFFFF);
    EXPECT_EQ(board().eeprom_word(1023), 0xFFFF);
    EXPECT_EQ(board().pci_read(1, kPciCfgEepromAddress), 0u) << "the PCI path is left disabled";
  }
  EXPECT_EQ(board().storage_refusals(), 0u) << "no command while the EEPROM was busy";
}

TEST_F(StorageHwTest, EepromRangesPastTheLastWordAreRefusedInsteadOfWrapping) {
  HwFunction& fn = device(0);
  const std::uint16_t control = board().eeprom_word(0);
  const std::uint16_t words[2] = {0xDEAD, 0xBEEF};
  std::uint16_t out[2] = {};
  for (std::uint32_t path : {MIFH_EEPROM_PATH_REGISTER, MIFH_EEPROM_PATH_PCI}) {
    EXPECT_EQ(mifh_eeprom_write_words(&fn.device, words, 1023, 2, path), -1);
    EXPECT_EQ(mifh_eeprom_write_word(&fn.device, 1024, 1, path), -1);
    EXPECT_EQ(mifh_eeprom_read_words(&fn.device, 1023, out, 2, path), -1);
    EXPECT_EQ(mifh_eeprom_read_words(&fn.device, 1024, out, 0, path), 0) << "nothing to read at the end";
  }
  EXPECT_EQ(board().eeprom_word(0), control) << "the control word is not overwritten";
}

TEST_F(StorageHwTest, ThePciPathNeedsTheDriversConfigurationAccess) {
  HwFunction& fn = device(0);
  mifh_set_pci_config_access(nullptr, nullptr);
  std::uint16_t word = 0;
  EXPECT_EQ(mifh_eeprom_read_words(&fn.device, 0, &word, 1, MIFH_EEPROM_PATH_PCI), -1);
  EXPECT_EQ(mifh_eeprom_read_words(&fn.device, 0, &word, 1, MIFH_EEPROM_PATH_REGISTER), 0);
  EXPECT_EQ(word, board().eeprom_word(0));
}

}  // namespace
