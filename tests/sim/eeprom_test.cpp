// The adapter's EEPROM: the default image as the drivers parse it, both
// controller paths with their busy timing, and words that survive a restart
// of the board through the adapter's EEPROM file.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "sim/eeprom.h"
#include "tests/sim/storage_fixture.h"

namespace {

using namespace zekhw;
using namespace std::chrono_literals;

class EepromTest : public StorageBoardTest {
 public:
  // A read through the register path as a driver makes it, the clock moving 10 us per look.
  std::uint16_t read_word(unsigned address) {
    wr(kRegEepromCommand, address | kEepromRead);
    for (int looks = 0; (rd(kRegEepromCommand) & kEepromRead) != 0; ++looks) {
      EXPECT_LT(looks, 1000) << "the read never finishes";
      advance(10us);
    }
    return static_cast<std::uint16_t>(rd(kRegEepromData));
  }
  void write_word(unsigned address, std::uint16_t value) {
    wr(kRegEepromData, value);
    wr(kRegEepromCommand, address | kEepromWrite);
    for (int looks = 0; (rd(kRegEepromCommand) & kEepromWrite) != 0; ++looks) {
      ASSERT_LT(looks, 1000) << "the write never finishes";
      advance(10us);
    }
  }
  std::uint16_t pci_read_word(unsigned address, unsigned f = 0) {
    board().pci_write(f, kPciCfgEepromAddress, kPciEepromEnable);
    board().pci_write(f, kPciCfgEepromAddress, address | kPciEepromRead);
    for (int looks = 0; (board().pci_read(f, kPciCfgEepromAddress) & kEepromRead) != 0; ++looks) {
      EXPECT_LT(looks, 1000);
      advance(10us);
    }
    const auto word = static_cast<std::uint16_t>(board().pci_read(f, kPciCfgEepromData));
    board().pci_write(f, kPciCfgEepromAddress, 0);
    return word;
  }
};

// The image read back through the register path, in the drivers' buffer
// order (pairs 1-2, 3-4, ... exchanged), as the section search sees it.
std::vector<std::uint16_t> swapped(const zeksim::EepromImage& e) {
  std::vector<std::uint16_t> buf(e.begin(), e.end());
  for (unsigned k = 1; k + 1 < buf.size(); k += 2) std::swap(buf[k], buf[k + 1]);
  return buf;
}

std::uint32_t u32(const std::vector<std::uint16_t>& buf, unsigned start, unsigned n) {
  return buf[start + 2 * n] | std::uint32_t{buf[start + 2 * n + 1]} << 16;
}

TEST(EepromImageTest, DefaultImageHasTheLayoutTheDriversAndToolsParse) {
  zeksim::BoardConfig config;
  config.mac = {0x02, 0x11, 0x22, 0x33, 0x44, 0xF0};
  config.phy_types = {4, 2, 5, 9};
  config.mdio_addresses = {1, 2, 3, 4};
  const zeksim::EepromImage e = zeksim::default_eeprom_image(config);

  ASSERT_TRUE(eeprom_control_parity_ok(e[0]));
  EXPECT_EQ(e[0] & kEepromSecondCopy, 0) << "the first copies are the ones in use";
  // Every section in the fixed order, each starting where the last ended, below word 1024.
  unsigned t = 8u * (e[0] & kEepromBaseMask) + 1;
  for (std::uint16_t tag : kEepromSectionOrder) {
    ASSERT_LT(t + 2, kEepromWords);
    EXPECT_EQ(e[t + kEepromSectionTag], tag) << "section at word " << t;
    t += 4u * (e[t + kEepromSectionLength] & 0xFF);
  }
  EXPECT_LE(t, kEepromWords);

  // The miniport's search over the swapped buffer finds the first SW section.
  const auto buf = swapped(e);
  const unsigned p = 8u * (buf[0] & kEepromBaseMask) + 1;
  const unsigned s1 = p + 8u * (buf[p] & 0xFF);
  ASSERT_EQ(buf[s1 + 3], kTagSw);
  const unsigned s2 = s1 + 4u * (buf[s1] & 0xFF);
  EXPECT_EQ(buf[s2 + 3], kTagSw) << "the second copy is valid too";
  EXPECT_GE(4u * (buf[s1] & 0xFF), 2 * sw::kMinWords);
  EXPECT_EQ(u32(buf, s1, sw::kTag) >> 16, kTagSw);
  EXPECT_EQ(u32(buf, s1, sw::kTag) & 0xFF00, 0u) << "the fallback scan needs bits 8-15 clear";
  const std::uint32_t block = u32(buf, s1, sw::kMacBlock1), low = u32(buf, s1, sw::kMacBlock1Low);
  EXPECT_EQ(block & 0xFFFF, 0x0211u);
  EXPECT_EQ((block >> 16) & 0x1F, image::kMacCount);
  EXPECT_EQ(low, 0x223344F0u);
  EXPECT_NE(low & 0xFFFF, 0xFFFFu) << "not an erased address";
  EXPECT_EQ(u32(buf, s1, sw::kPhyTypes), 0x04020509u);
  EXPECT_EQ(u32(buf, s1, sw::kMdioAddresses), 0x01020304u);

  // The version scan: backwards for a u32 whose high half is "NF"; the next holds the versions.
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(buf.data());
  std::uint32_t versions = 0;
  for (int off = 2 * kEepromWords - 8; off >= 3; off -= 2) {
    std::uint32_t v;
    std::memcpy(&v, bytes + off, 4);
    if (v >> 16 == kTagNf) {
      std::memcpy(&versions, bytes + off + 4, 4);
      break;
    }
  }
  EXPECT_GE(versions >> 8 & 0xFF, kEepromMinMajor) << "the miniport refuses an older EEPROM";
  EXPECT_EQ(versions >> 24, image::kFirmwareMajor);
}

TEST_F(EepromTest, ReadsDeliverTheWordOnlyWhenTheyFinish) {
  const std::uint16_t word0 = board().eeprom_word(0);
  wr(kRegEepromData, 0x1234);
  wr(kRegEepromCommand, 0 | kEepromRead);
  EXPECT_NE(rd(kRegEepromCommand) & kEepromRead, 0u) << "busy right after the command";
  EXPECT_EQ(rd(kRegEepromData), 0x1234u) << "the word is not there before the read finishes";
  // A second command while busy is refused, and the first still delivers its word.
  wr(kRegEepromCommand, 5 | kEepromRead);
  EXPECT_EQ(board().storage_refusals(), 1u);
  advance(1ms);
  EXPECT_EQ(rd(kRegEepromCommand) & (kEepromRead | kEepromWrite), 0u);
  EXPECT_EQ(rd(kRegEepromData), word0);
}

TEST_F(EepromTest, AddressesWrapWithinTheThousandAndTwentyFourWords) {
  write_word(3, 0xBEEF);
  EXPECT_EQ(read_word(3 + kEepromWords), 0xBEEF) << "only bits 0-9 address";
  EXPECT_EQ(board().eeprom_word(3), 0xBEEF);
}

TEST_F(EepromTest, BothPathsReachTheSameWords) {
  write_word(700, 0xA5A5);
  EXPECT_EQ(pci_read_word(700, 1), 0xA5A5) << "function 1's configuration space, the board's EEPROM";
  // A write through configuration space, read through the registers.
  board().pci_write(0, kPciCfgEepromAddress, kPciEepromEnable);
  board().pci_write(0, kPciCfgEepromData, 0x5A5A);
  board().pci_write(0, kPciCfgEepromAddress, 701 | kPciEepromWrite);
  EXPECT_NE(board().pci_read(0, kPciCfgEepromAddress) & kEepromWrite, 0u);
  advance(1ms);
  EXPECT_EQ(board().pci_read(0, kPciCfgEepromAddress) & kEepromWrite, 0u);
  EXPECT_EQ(read_word(701), 0x5A5A);
  // Without the enable key a command is refused.
  board().pci_write(0, kPciCfgEepromAddress, 701 | kEepromRead);
  EXPECT_EQ(board().storage_refusals(), 1u);
}

TEST_F(EepromTest, WrittenWordsSurviveARestart) {
  const std::uint16_t untouched = board().eeprom_word(40);
  write_word(0x3FF, 0x1357);
  start();
  EXPECT_EQ(read_word(0x3FF), 0x1357);
  EXPECT_EQ(read_word(40), untouched);
  EXPECT_EQ(std::filesystem::file_size(dir_ + "/nic0.eeprom"), 2u * kEepromWords);
}

TEST_F(EepromTest, AFileOfTheWrongSizeIsReplacedByTheDefaultImage) {
  board_.reset();
  {
    const int fd = ::open((dir_ + "/nic0.eeprom").c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "short", 5), 5);
    ::close(fd);
  }
  start();
  EXPECT_EQ(board().eeprom_word(0), zeksim::default_eeprom_image(config())[0]);
  EXPECT_NE(log_.find("not 2048"), std::string::npos) << log_;
  EXPECT_EQ(std::filesystem::file_size(dir_ + "/nic0.eeprom"), 2u * kEepromWords);
}

}  // namespace
