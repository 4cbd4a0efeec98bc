// Register routing: mapped windows are never dereferenced; every access
// reaches the device's handler synchronously, with its offset and width.
#include <vector>

#include "platform/kernel/hal.h"
#include "tests/support/kernel_fixture.h"

namespace {

struct Access {
  bool write;
  std::uint64_t offset;
  std::uint64_t value;
  unsigned size;
  bool operator==(const Access&) const = default;
};

class RecordingDevice : public plat::MmioHandler {
 public:
  std::vector<Access> log;
  std::uint64_t mmio_read(std::uint64_t offset, unsigned size) override {
    log.push_back({false, offset, 0, size});
    return 0xA0000000u + offset;
  }
  void mmio_write(std::uint64_t offset, std::uint64_t value, unsigned size) override {
    log.push_back({true, offset, value, size});
  }
};

class MmioTest : public KernelTest {
 protected:
  static constexpr std::uint64_t kBar = 0xF000'0000;
  RecordingDevice device;
  void SetUp() override {
    KernelTest::SetUp();
    ASSERT_TRUE(kernel().io_space().add_range(kBar, 0x10000, &device));
  }
  PVOID map(std::uint64_t offset, SIZE_T bytes) {
    PHYSICAL_ADDRESS pa;
    pa.QuadPart = static_cast<LONGLONG>(kBar + offset);
    return MmMapIoSpace(pa, bytes, MmNonCached);
  }
};

TEST_F(MmioTest, AccessesReachTheHandlerInOrderWithOffsetAndWidth) {
  auto* regs = static_cast<UCHAR*>(map(0x1000, 0x1000));
  ASSERT_NE(regs, nullptr);
  WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(regs + 0x40), 0x01800010);
  EXPECT_EQ(READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(regs + 0x44)), 0xA0001044u);
  WRITE_REGISTER_UCHAR(regs + 3, 0x7F);
  WRITE_REGISTER_USHORT(reinterpret_cast<volatile USHORT*>(regs + 6), 0xBEEF);
  WRITE_REGISTER_ULONG64(reinterpret_cast<volatile ULONG64*>(regs + 8), 0x1122334455667788ull);
  ULONG buffer[2] = {5, 6};
  WRITE_REGISTER_BUFFER_ULONG(reinterpret_cast<volatile ULONG*>(regs + 0x50), buffer, 2);
  std::vector<Access> expected{{true, 0x1040, 0x01800010, 4},
                               {false, 0x1044, 0, 4},
                               {true, 0x1003, 0x7F, 1},
                               {true, 0x1006, 0xBEEF, 2},
                               {true, 0x1008, 0x1122334455667788ull, 8},
                               {true, 0x1050, 5, 4},
                               {true, 0x1050, 6, 4}};
  EXPECT_EQ(device.log, expected);
  MmUnmapIoSpace(regs, 0x1000);
}

TEST_F(MmioTest, MappingKeepsTheByteOffsetAndRefusesUnclaimedRanges) {
  auto* regs = static_cast<UCHAR*>(map(0x20, 0x40));
  ASSERT_NE(regs, nullptr);
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(regs) % PAGE_SIZE, 0x20u);
  READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(regs));
  EXPECT_EQ(device.log.back().offset, 0x20u);
  EXPECT_EQ(map(0xFFF0, 0x20), nullptr) << "runs past the claimed range";
  PHYSICAL_ADDRESS elsewhere;
  elsewhere.QuadPart = 0xE000'0000;
  EXPECT_EQ(MmMapIoSpace(elsewhere, 4, MmNonCached), nullptr);
  EXPECT_FALSE(kernel().io_space().remove_range(kBar)) << "still mapped";
  MmUnmapIoSpace(regs, 0x40);
  EXPECT_TRUE(kernel().io_space().remove_range(kBar));
}

using MmioDeathTest = MmioTest;

TEST_F(MmioDeathTest, StrayAccessesStop) {
  EXPECT_DEATH(
      {
        auto* regs = static_cast<UCHAR*>(map(0, 0x100));
        READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(regs + 0x100));
      },
      "outside every mapped register window");
  EXPECT_DEATH(
      {
        auto* regs = static_cast<UCHAR*>(map(0, 0x100));
        WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(regs + 2), 1);
      },
      "not aligned to 4 bytes");
  EXPECT_DEATH(
      {
        auto* regs = static_cast<volatile ULONG*>(map(0, 0x100));
        regs[0] = 1;  // a plain store instead of the accessor
      },
      "");
}

}  // namespace
