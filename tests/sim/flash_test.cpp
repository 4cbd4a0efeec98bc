// The adapter's SPI flash: the command set with its protection, write
// enable and busy timing, buffered and single-word programming, erase, and
// the sparse file that keeps the array across a restart.
#include <sys/stat.h>

#include <chrono>

#include "tests/sim/storage_fixture.h"

namespace {

using namespace zekhw;
using namespace std::chrono_literals;

class FlashTest : public StorageBoardTest {
 public:
  // A command once the controller is idle, as the driver issues it.
  void command(std::uint8_t opcode, std::uint32_t address = 0) {
    for (int looks = 0; (rd(kRegFlashCommand) & kFlashBusy) != 0; ++looks) {
      ASSERT_LT(looks, 100);
      advance(1us);
    }
    wr(kRegFlashCommand, std::uint32_t{opcode} << kFlashOpcodeShift | address);
  }
  // The flash's status register through the controller.
  std::uint32_t read_status() {
    command(kFlashReadStatus);
    advance(10us);
    return rd(kRegFlashData);
  }
  void wait_idle() {
    for (int looks = 0; (read_status() & kFlashStatusWip) != 0; ++looks) {
      ASSERT_LT(looks, 10000);
      advance(100us);
    }
  }
  void unprotect() {
    wr(kRegFlashData, 0);
    command(kFlashWriteEnable);
    command(kFlashWriteStatus);
    wait_idle();
    ASSERT_NE(rd(kRegFlashCommand) & kFlashUnprotected, 0u);
  }
  void program(std::uint32_t address, std::initializer_list<std::uint32_t> words) {
    for (std::uint32_t w : words) wr(kRegFlashData, w);
    command(kFlashWriteEnable);
    command(kFlashPageProgram, address);
    wait_idle();
  }
  std::uint32_t read(std::uint32_t address) {
    command(kFlashRead, address);
    advance(10us);
    return rd(kRegFlashData);
  }
};

TEST_F(FlashTest, ProtectedAtPowerUpUntilTheStatusRegisterIsWritten) {
  EXPECT_EQ(rd(kRegFlashCommand) & kFlashUnprotected, 0u);
  program(0, {0x12345678});
  EXPECT_EQ(board().flash_word(0), 0xFFFF'FFFFu) << "a protected flash is not programmed";
  EXPECT_GE(board().storage_refusals(), 1u);
  // A status write needs the write-enable latch.
  wr(kRegFlashData, 0);
  command(kFlashWriteStatus);
  EXPECT_EQ(rd(kRegFlashCommand) & kFlashUnprotected, 0u);
  unprotect();
  program(0, {0x12345678});
  EXPECT_EQ(board().flash_word(0), 0x12345678u);
}

TEST_F(FlashTest, AReadDeliversItsWordOnlyWhenTheControllerIsDone) {
  unprotect();
  program(0x100, {0xCAFEF00D});
  wr(kRegFlashData, 0);  // leaves a known word in the register
  command(kFlashRead, 0x100);
  EXPECT_NE(rd(kRegFlashCommand) & kFlashBusy, 0u);
  EXPECT_NE(rd(kRegFlashData), 0xCAFEF00Du) << "stale until the controller is done";
  // A command while busy is refused.
  const std::uint64_t refused = board().storage_refusals();
  wr(kRegFlashCommand, std::uint32_t{kFlashRead} << kFlashOpcodeShift);
  EXPECT_EQ(board().storage_refusals(), refused + 1);
  advance(10us);
  EXPECT_EQ(rd(kRegFlashData), 0xCAFEF00Du);
}

TEST_F(FlashTest, ProgrammingAndsEightBufferedWordsAndWrapsWithinThePage) {
  unprotect();
  program(0x0, {0xFFFF0000, 0x0000FFFF});
  program(0x0, {0xFF00FF00});
  EXPECT_EQ(board().flash_word(0), 0xFF000000u) << "bits only go from 1 to 0";
  EXPECT_EQ(board().flash_word(4), 0x0000FFFFu);
  // Eight words from 16 bytes before a page end: the last four wrap to the page start.
  program(0x2F0, {1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_EQ(board().flash_word(0x2FC), 4u);
  EXPECT_EQ(board().flash_word(0x200), 5u);
  EXPECT_EQ(board().flash_word(0x20C), 8u);
  EXPECT_EQ(board().flash_word(0x300), 0xFFFF'FFFFu) << "nothing reaches the next page";
  // A ninth word is dropped.
  const std::uint64_t refused = board().storage_refusals();
  program(0x400, {1, 2, 3, 4, 5, 6, 7, 8, 9});
  EXPECT_EQ(board().storage_refusals(), refused + 1);
  EXPECT_EQ(board().flash_word(0x420), 0xFFFF'FFFFu);
}

TEST_F(FlashTest, SingleWordModeProgramsTheLastWordWritten) {
  // The EEPROM's flash-mode word hands the choice to idx 0x8E8, which does not buffer.
  const unsigned w = flash_mode_word(board().eeprom_word(0));
  board().set_eeprom_word(w, board().eeprom_word(w) | kEepromFlashModeSelect);
  idx_wr(kIdxFlashMode, 0x4);
  unprotect();
  program(0x40, {0x11111111, 0x22222222, 0x00000042});
  EXPECT_EQ(board().flash_word(0x40), 0x42u);
  EXPECT_EQ(board().flash_word(0x44), 0xFFFF'FFFFu);
  idx_wr(kIdxFlashMode, kFlashModeBuffered);
  program(0x80, {0x11111111, 0x22222222});
  EXPECT_EQ(board().flash_word(0x84), 0x22222222u) << "both bits set: buffered again";
}

TEST_F(FlashTest, EraseTakesItsTimeAndClearsOnlyItsSector) {
  unprotect();
  program(0x0FFFC, {0});
  program(0x10000, {0});
  command(kFlashWriteEnable);
  command(kFlashSectorErase, 1u << kFlashSectorShift);
  EXPECT_NE(read_status() & kFlashStatusWip, 0u);
  const std::uint64_t refused = board().storage_refusals();
  program(0x20000, {0});
  EXPECT_GT(board().storage_refusals(), refused) << "no program while the erase runs";
  wait_idle();
  EXPECT_EQ(read(0x10000), 0xFFFF'FFFFu);
  EXPECT_EQ(read(0x0FFFC), 0u) << "the sector before is untouched";
  command(kFlashWriteEnable);
  command(kFlashChipErase);
  wait_idle();
  EXPECT_EQ(read(0x0FFFC), 0xFFFF'FFFFu);
}

TEST_F(FlashTest, TheArraySurvivesARestartInASparseFile) {
  unprotect();
  program(0xFFFFF0, {0xA1B2C3D4});
  start();
  EXPECT_EQ(board().flash_word(0xFFFFF0), 0xA1B2C3D4u);
  EXPECT_EQ(board().flash_word(0x800000), 0xFFFF'FFFFu) << "never written: erased";
  struct stat st {};
  ASSERT_EQ(::stat((dir_ + "/nic0.flash").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, kFlashBytes);
  EXPECT_LT(st.st_blocks * 512, 1 << 20) << "holes, not 16 MB on disk";
  EXPECT_EQ(rd(kRegFlashCommand) & kFlashUnprotected, 0u) << "protected again after the power cycle";
}

TEST_F(FlashTest, OpcodesOutsideTheSetAreRefused) {
  for (std::uint8_t opcode : {0x00, 0x03, 0x20, 0x9F, 0xFF}) {
    const std::uint64_t refused = board().storage_refusals();
    command(opcode);
    EXPECT_EQ(board().storage_refusals(), refused + 1) << std::hex << int{opcode};
    EXPECT_EQ(rd(kRegFlashCommand) & kFlashBusy, 0u) << "a refused command leaves the controller idle";
  }
}

}  // namespace
