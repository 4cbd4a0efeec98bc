// zekhnic's hardware bring-up over the NDIS stand-in and a simulated board:
// the addresses and the multicast hash, the EEPROM's sections, the device
// initialisation, and initialisation with a failure injected at each step,
// which must take down exactly what was built.
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "include/hw/registers.h"
#include "miniport/adapter.h"
#include "miniport/bringup.h"
#include "miniport/hwobjects.h"
#include "proxy/core/osprim/osprim_kernel.h"
#include "proxy/rdma/hw/locks.h"
#include "proxy/rdma/hw/reg_access.h"
#include "sim/board.h"
#include "tests/support/ndis_fixture.h"

namespace {

// The driver's log ring as text, one record a line.
std::string log_ring() {
  std::string text(OSPrimLogRingSize(), '\0');
  text.resize(OSPrimLogRingRead(0, text.data(), static_cast<std::uint32_t>(text.size())));
  std::string out;
  for (char c : text) {
    if (c == '\0') {
      if (!out.empty() && out.back() != '\n') out += '\n';
    } else {
      out += c;
    }
  }
  return out;
}

class BringUpTest : public NdisTest {
 protected:
  void SetUp() override {
    NdisTest::SetUp();
    OSPrimLogRingClear();
  }
  void TearDown() override {
    ZekInjectBringUpFault(ZEK_STEP_NONE);
    if (driver_ != nullptr) io_->unload_driver(driver_);
    NdisTest::TearDown();
  }
  void load(std::vector<std::pair<std::string, std::string>> entries, unsigned functions = 1) {
    entries.emplace_back("functions", std::to_string(functions));
    add_board("nic0", entries);
    ASSERT_EQ(io_->load_driver("zekhnic", DriverEntry, &driver_), STATUS_SUCCESS);
    ASSERT_EQ(ndis_->start_adapters(driver_), functions);
  }
  PDRIVER_OBJECT driver_ = nullptr;
};

// An EEPROM image as the adapter holds it (words in the EEPROM's order):
// the control word, two "FW" copies of 8 words, two "SW" copies of 64 words
// and an "NF" section with the versions.
struct Image {
  static constexpr std::uint32_t kBase = 1;     // control word bits 0-6
  static constexpr std::uint32_t kFwStart = 9;  // 8 x base + 1
  static constexpr std::uint32_t kSw1 = 25;     // after two FW copies of 2 x 4 words
  static constexpr std::uint32_t kSw2 = 89;     // after the first SW copy of 16 x 4 words
  static constexpr std::uint32_t kNf = 301;
  std::uint16_t w[ZEK_EEPROM_WORDS] = {};

  Image() {
    w[0] = kBase;
    w[kFwStart + 1] = 2;
    w[kFwStart + 9] = 2;
  }
  // Software-section u32 word n of the copy at `start` (word 1 is the tag).
  void sw(std::uint32_t start, std::uint32_t n, std::uint32_t value) {
    w[start + 2 * n] = static_cast<std::uint16_t>(value >> 16);
    w[start + 2 * n + 1] = static_cast<std::uint16_t>(value);
  }
  void section(std::uint32_t start, bool tagged) {
    sw(start, 0, 16);  // length in units of 4 words
    sw(start, 1, tagged ? std::uint32_t{ZEK_SW_TAG} << 16 : 0);
  }
  void versions(std::uint8_t fw_major, std::uint8_t fw_minor, std::uint8_t ee_major, std::uint8_t ee_minor) {
    sw(kNf, 1, std::uint32_t{ZEK_NF_TAG} << 16 | 4);
    sw(kNf, 2, std::uint32_t{fw_major} << 24 | std::uint32_t{fw_minor} << 16 | std::uint32_t{ee_major} << 8 | ee_minor);
  }
  // A board: MAC block 1 = 00:12:34:56:<low16>, one PHY type for every function.
  static Image board(std::uint16_t mac_low16, std::uint8_t phy_type) {
    Image image;
    image.section(kSw1, true);
    image.section(kSw2, true);
    for (std::uint32_t start : {kSw1, kSw2}) {
      image.sw(start, 2, 4u << 16 | 0x0012);
      image.sw(start, 3, 0x3456'0000u | mac_low16);
      image.sw(start, 6, 0x01010101u * phy_type);
      image.sw(start, 28, 0x00010203);
      image.sw(start, 9, 0x0005'0003);
    }
    image.versions(2, 7, 4, 1);
    return image;
  }
};

// The buffer the driver keeps for an image: the swapped words.
std::vector<std::uint8_t> swapped(const Image& image) {
  std::vector<std::uint16_t> words(image.w, image.w + ZEK_EEPROM_WORDS);
  for (std::uint32_t i = 1; i + 1 < ZEK_EEPROM_WORDS; i += 2) std::swap(words[i], words[i + 1]);
  std::vector<std::uint8_t> bytes(ZEK_EEPROM_BYTES);
  std::memcpy(bytes.data(), words.data(), ZEK_EEPROM_BYTES);
  return bytes;
}

TEST(EepromSection, FoundByTheControlWordOrTheSerialSearch) {
  struct Case {
    const char* name;
    bool first_tagged, second_tagged, select_second, tag_elsewhere;
    ZekStatus status;
    std::uint32_t offset;  // bytes
    bool second;
  };
  const Case cases[] = {
      {"first copy", true, true, false, false, 0, 2 * Image::kSw1, false},
      {"second copy chosen and valid", true, true, true, false, 0, 2 * Image::kSw2, true},
      {"second copy chosen but not tagged", true, false, true, false, 0, 2 * Image::kSw1, false},
      // Without the first tag the search scans bytes for the tag word; the
      // section starts 4 bytes before it.
      {"serial search", false, false, false, true, 0, 1000 - 4, false},
      {"no section", false, false, false, false, 1, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Image image;
    image.section(Image::kSw1, c.first_tagged);
    image.section(Image::kSw2, c.second_tagged);
    if (c.select_second) image.w[0] |= 0x400;
    if (c.tag_elsewhere) image.w[502] = ZEK_SW_TAG;  // buffer word 501 after the swap
    const std::vector<std::uint8_t> buffer = swapped(image);
    std::uint32_t offset = 0;
    bool second = false;
    EXPECT_EQ(ZekEepromFindSwSection(buffer.data(), ZEK_EEPROM_BYTES, &offset, &second), c.status);
    if (c.status == 0) {
      EXPECT_EQ(offset, c.offset);
      EXPECT_EQ(second, c.second);
    }
  }
}

TEST(EepromSection, ACorruptLengthNeverReadsOutsideTheBuffer) {
  Image image;
  image.w[0] = 0x7F;  // base region of 127 x 8 words: past the end
  std::vector<std::uint8_t> buffer = swapped(image);
  std::uint32_t offset = 0;
  EXPECT_EQ(ZekEepromFindSwSection(buffer.data(), ZEK_EEPROM_BYTES, &offset, nullptr), 1u);
  Image long_fw;
  long_fw.w[Image::kFwStart + 1] = 0xFF;  // s1 = 9 + 8 x 255: past the end
  buffer = swapped(long_fw);
  EXPECT_EQ(ZekEepromFindSwSection(buffer.data(), ZEK_EEPROM_BYTES, &offset, nullptr), 1u);
}

TEST(EepromVersions, FromTheNfSectionAndNeverPastTheBuffer) {
  std::uint8_t versions[4] = {9, 9, 9, 9};
  std::vector<std::uint8_t> buffer = swapped(Image::board(0x0001, 2));
  EXPECT_TRUE(ZekEepromVersions(buffer.data(), ZEK_EEPROM_BYTES, versions));
  EXPECT_EQ(std::vector<int>(versions, versions + 4), (std::vector<int>{2, 7, 4, 1}));
  Image none;
  buffer = swapped(none);
  EXPECT_FALSE(ZekEepromVersions(buffer.data(), ZEK_EEPROM_BYTES, versions));
  EXPECT_EQ(std::vector<int>(versions, versions + 4), (std::vector<int>{0, 0, 0, 0}));
  // A marker in the buffer's last u32 has no version word after it: it is
  // not taken (the word after it would lie past the buffer).
  std::vector<std::uint8_t> small(64, 0);
  small[62] = 0x4E;
  small[63] = 0x46;
  EXPECT_FALSE(ZekEepromVersions(small.data(), static_cast<std::uint32_t>(small.size()), versions));
}

TEST(Addresses, PermanentAndSanAddressesWrapWithoutCarry) {
  struct Case {
    std::uint8_t mac[6];
    std::uint32_t add;
    std::uint8_t expected[6];
  };
  const Case cases[] = {
      {{0x00, 0x12, 0x34, 0x56, 0x00, 0x10}, 3, {0x00, 0x12, 0x34, 0x56, 0x00, 0x13}},
      {{0x00, 0x12, 0x34, 0x56, 0x00, 0xFF}, 1, {0x00, 0x12, 0x34, 0x56, 0x01, 0x00}},  // carry into byte 4
      {{0x00, 0x12, 0x34, 0x56, 0xFF, 0xFE}, 3, {0x00, 0x12, 0x34, 0x56, 0x00, 0x01}},  // none into byte 3
      {{0x00, 0x12, 0x34, 0x56, 0xFF, 0xFF}, 0, {0x00, 0x12, 0x34, 0x56, 0xFF, 0xFF}},
  };
  for (const Case& c : cases) {
    std::uint8_t out[6];
    ZekMacAddLow16(c.mac, c.add, out);
    EXPECT_EQ(std::memcmp(out, c.expected, 6), 0) << "add " << c.add;
  }
}

TEST(Addresses, AMulticastOrBroadcastPermanentAddressIsRefused) {
  const std::pair<std::array<std::uint8_t, 6>, ZekStatus> cases[] = {
      {{0x00, 0x12, 0x34, 0x56, 0x78, 0x9A}, 0},
      {{0x02, 0x00, 0x00, 0x00, 0x00, 0x01}, 0},  // locally administered is fine
      {{0x01, 0x12, 0x34, 0x56, 0x78, 0x9A}, 1},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 1},
  };
  for (const auto& [mac, status] : cases) EXPECT_EQ(ZekCheckPermanentAddress(mac.data()), status);
}

TEST(MulticastHash, IndexOfKnownAddresses) {
  const std::pair<std::array<std::uint8_t, 6>, std::uint32_t> cases[] = {
      {{0, 0, 0, 0, 0, 1}, 1},
      {{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01}, 14},
      {{0x01, 0x00, 0x5E, 0x7F, 0xFF, 0xFA}, 42},
      {{0x33, 0x33, 0x00, 0x00, 0x00, 0x01}, 50},
      {{0x01, 0x80, 0xC2, 0x00, 0x00, 0x00}, 25},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0},
  };
  for (const auto& [mac, index] : cases) {
    std::uint32_t got = 99;
    EXPECT_EQ(mifh_calculate_mchash_index(mac.data(), &got), 0u);
    EXPECT_EQ(got, index);
  }
  EXPECT_EQ(mifh_calculate_mchash_index(cases[0].first.data(), nullptr), 1u);
}

TEST(GlobalReset, ValueByPortMode) {
  // Bits 24-31 and 8-13 kept (0xAB000000 and the mode and port-count bits);
  // the rest composed from the mode.
  const std::pair<std::uint32_t, std::uint32_t> cases[] = {
      {0xAB000000 | 0x0000 | 0x00FF00C0, 0xAB000000 | 0x00EE0000 | 0x0000 | 0x1D},
      {0xAB000000 | 0x0100 | 0x00FF00C0, 0xAB000000 | 0x00CC0000 | 0x0100 | 0x3D},
      {0xAB000000 | 0x0200 | 0x0000F000, 0xAB000000 | 0x00000000 | 0x3200 | 0x3D},
      {0xAB000000 | 0x0300 | 0x00000C00, 0xAB000000 | 0x00000000 | 0x0F00 | 0x3D},
  };
  for (const auto& [current, expected] : cases) {
    EXPECT_EQ(ZekGlobalResetValue(current), expected) << std::hex << current;
  }
}

TEST(Ports, OfEachFunctionByPhyType) {
  const std::uint32_t cases[][3] = {{0, 2, 0}, {1, 2, 1}, {1, 5, 2}, {2, 2, 2}, {2, 5, 1}, {3, 5, 3}, {3, 9, 3}};
  for (const auto& c : cases) EXPECT_EQ(ZekPortOfFunction(c[0], c[1]), c[2]) << c[0] << " " << c[1];
}

// ---- Initialisation over a simulated board ---------------------------------------------------------
// On the real clock: the simulated board's engine runs in real time, and a
// bring-up wait of the virtual clock would pass before the engine has looked
// at the request.
class BoardBringUpTest : public BringUpTest {
 protected:
  plat::KernelOptions options() override {
    plat::KernelOptions o = BringUpTest::options();
    o.clock = plat::Clock::Mode::Real;
    return o;
  }
  void TearDown() override {
    ZekInjectEepromImage(nullptr);
    BringUpTest::TearDown();
  }
  // zekhnic over a board whose EEPROM holds `image`.
  void load_board(const Image& image, unsigned functions,
                  std::vector<std::pair<std::string, std::string>> entries = {}) {
    image_ = image;
    ZekInjectEepromImage(image_.w);
    load(std::move(entries), functions);
  }
  zeksim::Board& board() { return adapters_->board(0); }
  // An indexed register, through the last index pair, which no function uses.
  std::uint32_t indexed(std::uint32_t index) {
    constexpr unsigned kPair = 7;
    board().mmio_write(0, zeksim::Window::Registers, zekhw::index_register(kPair), index, 4);
    return static_cast<std::uint32_t>(board().mmio_read(0, zeksim::Window::Registers, zekhw::data_register(kPair), 4));
  }
  std::uint32_t scratchpad(unsigned n) { return indexed(zekhw::idx_scratchpad(n)); }
  std::uint64_t hash_registers() {
    return std::uint64_t{indexed(zekhw::kIdxMulticastHashHigh)} << 32 | indexed(zekhw::kIdxMulticastHashLow);
  }
  ZEK_ADAPTER* running(unsigned function) {
    for (plat::ndis::Adapter* a : ndis_->adapters()) {
      if (a->function().function == function && a->init_status() == NDIS_STATUS_SUCCESS) {
        return static_cast<ZEK_ADAPTER*>(a->context());
      }
    }
    return nullptr;
  }
  Image image_;
};

TEST_F(BoardBringUpTest, EveryFunctionComesUpAndHaltLeavesNothingOnTheAdapter) {
  load_board(Image::board(0x0010, 2), 4);
  for (plat::ndis::Adapter* a : ndis_->adapters()) {
    SCOPED_TRACE(a->name());
    EXPECT_EQ(a->init_status(), NDIS_STATUS_SUCCESS);
    const auto attributes = a->attributes();
    ASSERT_TRUE(attributes.registration.has_value());
    EXPECT_EQ(attributes.registration->AttributeFlags, 0x41u);
    EXPECT_EQ(attributes.registration->CheckForHangTimeInSeconds, 1u);
    EXPECT_TRUE(a->error_log().empty());
    EXPECT_TRUE(ndis_->wait_for(*a, plat::ndis::AdapterState::Running, std::chrono::seconds(60)))
        << plat::ndis::to_string(a->state()) << "\n"
        << log_ring() << host_log();
    const unsigned f = a->function().function;
    EXPECT_EQ(board().queue_status(f) & 0xF00, 0xF00u) << "CQP, CCQ, AEQ and CEQ of the function";
    auto* zek = static_cast<ZEK_ADAPTER*>(a->context());
    const std::uint8_t permanent[6] = {0x00, 0x12, 0x34, 0x56, 0x00, static_cast<std::uint8_t>(0x10 + f)};
    EXPECT_EQ(std::memcmp(zek->PermanentMac, permanent, 6), 0);
    EXPECT_EQ(std::memcmp(zek->CurrentMac, permanent, 6), 0);
  }
  EXPECT_EQ(scratchpad(ZEK_SCRATCHPAD_MARKER), ZEK_LOAD_MARKER);
  EXPECT_EQ(scratchpad(ZEK_SCRATCHPAD_LOADS), 4u);
  EXPECT_EQ(board().queue_pair_count(), 4u) << "one NIC queue pair per function";

  ndis_->stop_adapters(driver_);
  for (plat::ndis::Adapter* a : ndis_->adapters()) {
    EXPECT_TRUE(a->holdings().empty()) << a->name();
    EXPECT_EQ(board().queue_status(a->function().function) & 0xF00, 0u) << a->name();
  }
  EXPECT_EQ(board().queue_pair_count(), 0u);
  EXPECT_EQ(scratchpad(ZEK_SCRATCHPAD_LOADS), 0u);
  EXPECT_EQ(g_Zek.AdapterCount, 0u);
  io_->unload_driver(driver_);
  driver_ = nullptr;
  EXPECT_EQ(g_Zek.DriverHandle, nullptr);
}

// A failure at any step of the bring-up leaves the adapter as it was: no
// queue on the adapter, no shared memory, mapping or timer, the load count
// back where it was, and the step named in the driver's log.
TEST_F(BoardBringUpTest, AFailureAtEachStepUnwindsWhatWasBuilt) {
  struct Case {
    ZekBringUpStep step;
    std::uint32_t detail;
    const char* logged;
  };
  const Case cases[] = {
      {ZEK_STEP_DEVICE_OBJECT, 0, "CommonInitBaseObject failed"},
      {ZEK_STEP_DEVICE_INIT, 0, "CommonInitBaseObject failed"},
      {ZEK_STEP_BOARD_OBJECTS, 0, "CommonInitBaseObject failed"},
      {ZEK_STEP_ALLOCATE_BLOCKS, ZEK_BLOCK_AEQ, "NicAllocMifResources:failed"},
      {ZEK_STEP_ALLOCATE_BLOCKS, ZEK_BLOCK_NIC_SQ, "NicAllocMifResources:failed"},
      {ZEK_STEP_ALLOCATE_BLOCKS, ZEK_BLOCK_CQP_CONTEXT, "NicAllocMifResources:failed"},
      {ZEK_STEP_INIT_OBJECTS, 0, "NicInitializeMifBaseObjects:failed"},
      {ZEK_STEP_CREATE_CQP, 0, "NicCreateMifObjects:failed"},
      {ZEK_STEP_CREATE_CCQ, 0, "NicCreateMifObjects:failed"},
      {ZEK_STEP_CREATE_CEQ0, 0, "NicCreateMifObjects:failed"},
      {ZEK_STEP_CREATE_AEQ, 0, "NicCreateMifObjects:failed"},
      {ZEK_STEP_CREATE_CEQ1, 0, "NicCreateMifObjects:failed"},
      {ZEK_STEP_CREATE_NIC_CQ, 0, "NicCreateMifObjects:failed"},
      {ZEK_STEP_CREATE_NIC_QP, 0, "NicCreateMifObjects:failed"},
      {ZEK_STEP_MAC_ADDRESS, 0, "NICReadAdapterInfo failed"},
  };
  load_board(Image::board(0x0010, 2), 1);
  ASSERT_TRUE(ndis_->wait_for(*ndis_->adapters().back(), plat::ndis::AdapterState::Running, std::chrono::seconds(60)));
  ndis_->stop_adapters(driver_);
  for (const Case& c : cases) {
    SCOPED_TRACE("step " + std::to_string(c.step) + " (" + std::to_string(c.detail) + ")");
    OSPrimLogRingClear();
    ZekInjectBringUpFault(c.step, c.detail);
    ndis_->start_adapters(driver_);
    ZekInjectBringUpFault(ZEK_STEP_NONE);
    const plat::ndis::Adapter& adapter = *ndis_->adapters().back();  // each start binds anew
    EXPECT_EQ(adapter.init_status(), NDIS_STATUS_FAILURE);
    EXPECT_TRUE(adapter.holdings().empty());
    EXPECT_EQ(board().queue_status(0) & 0xF00, 0u);
    EXPECT_EQ(board().queue_pair_count(), 0u);
    EXPECT_EQ(scratchpad(ZEK_SCRATCHPAD_LOADS), 0u);
    EXPECT_NE(log_ring().find(c.logged), std::string::npos) << log_ring();
    EXPECT_EQ(g_Zek.AdapterCount, 0u);
  }
  // And the function still comes up afterwards.
  OSPrimLogRingClear();
  ndis_->start_adapters(driver_);
  EXPECT_EQ(ndis_->adapters().back()->init_status(), NDIS_STATUS_SUCCESS) << log_ring();
}

// The board's hash registers hold the OR of its functions' words, and each
// function's word follows its current list: a group that left the list is
// no longer accepted.
TEST_F(BoardBringUpTest, MulticastHashFollowsEachFunctionsListAndCombinesTheBoard) {
  load_board(Image::board(0x0010, 2), 2, {{"port_mode", "1"}});
  ZEK_ADAPTER* f0 = running(0);
  ZEK_ADAPTER* f1 = running(1);
  ASSERT_NE(f0, nullptr);
  ASSERT_NE(f1, nullptr);
  const std::uint8_t a[6] = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};  // index 14
  const std::uint8_t b[6] = {0x01, 0x00, 0x5E, 0x7F, 0xFF, 0xFA};  // index 42
  const std::uint8_t c[6] = {0x33, 0x33, 0x00, 0x00, 0x00, 0x01};  // index 50
  struct Step {
    ZEK_ADAPTER* adapter;
    std::vector<const std::uint8_t*> list;
    std::uint64_t expected;
  };
  const Step steps[] = {
      {f0, {a}, 1ull << 14},
      {f1, {c}, 1ull << 14 | 1ull << 50},
      {f0, {b}, 1ull << 42 | 1ull << 50},  // a left function 0's list
      {f1, {}, 1ull << 42},
      {f0, {a, b}, 1ull << 14 | 1ull << 42},
  };
  for (const Step& step : steps) {
    step.adapter->MulticastCount = static_cast<std::uint32_t>(step.list.size());
    for (std::size_t i = 0; i < step.list.size(); ++i) std::memcpy(step.adapter->MulticastList[i], step.list[i], 6);
    EXPECT_EQ(CommonSetMulticastList(step.adapter), 0u);
    EXPECT_EQ(hash_registers(), step.expected);
  }
  // 33 addresses are refused and change nothing.
  f0->MulticastCount = ZEK_MAX_MULTICAST + 1;
  EXPECT_EQ(CommonSetMulticastList(f0), 1u);
  EXPECT_EQ(hash_registers(), 1ull << 14 | 1ull << 42);
  f0->MulticastCount = 0;
}

// The per-slot masks and the destination-IP table refuse what lies outside
// them instead of writing a neighbour's bits.
TEST_F(BoardBringUpTest, SlotAndEntryLimitsAreChecked) {
  load_board(Image::board(0x0010, 2), 1);
  ZEK_ADAPTER* f0 = running(0);
  ASSERT_NE(f0, nullptr);
  MifhDeviceObj* device = &f0->HwInfo->Device;
  struct Case {
    const char* name;
    ZekStatus (*call)(MifhDeviceObj*);
    ZekStatus status;
    std::uint32_t index, expected;  // the register afterwards
  };
  const Case cases[] = {
      {"unicast-all slot 19", [](MifhDeviceObj* d) { return mifh_enable_unicast_all(d, 19, 1); }, 0,
       zekhw::kIdxAllUnicast, 1u << 19},
      {"unicast-all slot 20", [](MifhDeviceObj* d) { return mifh_enable_unicast_all(d, 20, 1); }, 1,
       zekhw::kIdxAllUnicast, 1u << 19},
      {"hash-enable slot 0", [](MifhDeviceObj* d) { return mifh_enable_multicast(d, 0, 1); }, 0,
       zekhw::kIdxMulticastHashEnable, 1},
      {"hash-enable slot 31", [](MifhDeviceObj* d) { return mifh_enable_multicast(d, 31, 1); }, 1,
       zekhw::kIdxMulticastHashEnable, 1},
      {"IP entry 31", [](MifhDeviceObj* d) { return mifh_set_dst_ip_addr(d, 31, 0xC0000201); }, 0,
       zekhw::idx_dest_ip(31), 0xC0000201},
      {"IP entry 32", [](MifhDeviceObj* d) { return mifh_set_dst_ip_addr(d, 32, 0xC0000202); }, 1,
       zekhw::idx_dest_ip(31), 0xC0000201},
      {"IP type of entry 17", [](MifhDeviceObj* d) { return mifh_set_dst_ip_addr_type(d, 17, 2); }, 0,
       zekhw::kIdxDestIpTypes + 4, 2u << 2},
      {"IP type 4", [](MifhDeviceObj* d) { return mifh_set_dst_ip_addr_type(d, 17, 4); }, 1, zekhw::kIdxDestIpTypes + 4,
       2u << 2},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.call(device), c.status) << c.name;
    EXPECT_EQ(indexed(c.index), c.expected) << c.name;
  }
}

// Only the first function of a board to start resets it, also when two
// start at once; a seventeenth board is refused.
TEST_F(BoardBringUpTest, OnlyTheFirstFunctionOfABoardCountsAsFirst) {
  load_board(Image::board(0x0010, 2), 1);
  ndis_->stop_adapters(driver_);
  std::vector<ZEK_ADAPTER> adapters(18);
  for (std::size_t i = 0; i < adapters.size(); ++i) adapters[i].BoardKey = i < 2 ? 0x1111 : 0x2000 + i;
  bool full = false;
  EXPECT_FALSE(ZekRegisterBoard(&adapters[0], &full));
  EXPECT_TRUE(ZekRegisterBoard(&adapters[1], &full));
  for (std::size_t i = 2; i < 17; ++i) {
    EXPECT_FALSE(ZekRegisterBoard(&adapters[i], &full));
    EXPECT_FALSE(full) << i;
  }
  EXPECT_FALSE(ZekRegisterBoard(&adapters[17], &full));
  EXPECT_TRUE(full);
  EXPECT_FALSE(adapters[17].BoardRegistered);
  // The first function leaves; the second still runs, so a third is not first.
  ZekReleaseBoard(&adapters[0]);
  ZEK_ADAPTER third{};
  third.BoardKey = 0x1111;
  EXPECT_TRUE(ZekRegisterBoard(&third, &full));
  for (auto& a : adapters) ZekReleaseBoard(&a);
  ZekReleaseBoard(&third);
  EXPECT_FALSE(ZekRegisterBoard(&third, &full)) << "the board has no function left";
  ZekReleaseBoard(&third);
}

// Ring sizes the queues cannot take fail the bring-up with the status the
// hardware interface gives them, and leave nothing.
TEST_F(BoardBringUpTest, QueueSizesOutsideTheirRangesAreRefused) {
  struct Case {
    const char* name;
    std::uint32_t ZekProxyRecord::*field;
    std::uint32_t value;
    ZekStatus status;
  };
  const Case cases[] = {
      {"ContrlQpElem 64", &ZekProxyRecord::ContrlQpElem, 64, 9},
      {"SendQueueSize 256", &ZekProxyRecord::SendQueueSize, 256, 9},
      {"RecvQueueSize 128", &ZekProxyRecord::RecvQueueSize, 128, 9},
      {"CeqElem 0", &ZekProxyRecord::CeqElem, 0, 6},
      {"Ceq2Elem 32769", &ZekProxyRecord::Ceq2Elem, 32769, 6},
      {"AeqElem 0x20001", &ZekProxyRecord::AeqElem, 0x20001, 6},
      {"ControlCompQElem 0", &ZekProxyRecord::ControlCompQElem, 0, 0x50054},
  };
  // The function's own initialisation fails at once, so that the test has
  // the NDIS adapter to itself.
  ZekInjectBringUpFault(ZEK_STEP_DEVICE_OBJECT);
  load_board(Image::board(0x0010, 2), 1);
  ZekInjectBringUpFault(ZEK_STEP_NONE);
  plat::ndis::Adapter& ndis_adapter = *ndis_->adapters().back();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ZEK_ADAPTER* adapter = MpAllocateAdapter(&ndis_adapter);
    NDIS_CONFIGURATION_OBJECT object{
        {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof(NDIS_CONFIGURATION_OBJECT)}, &ndis_adapter, 0};
    NDIS_HANDLE config = nullptr;
    ASSERT_EQ(NdisOpenConfigurationEx(&object, &config), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(ZekReadRegParameters(adapter, config), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(MpFindAdapter(adapter, reinterpret_cast<PNDIS_RESOURCE_LIST>(ndis_adapter.resources_.data())),
              NDIS_STATUS_SUCCESS);
    ASSERT_EQ(MpMapWindows(adapter), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(CommonInitBaseObject(adapter), 0u);
    adapter->Proxy.*c.field = c.value;
    EXPECT_EQ(mifh_hw_init(adapter), c.status);
    MpFreeAdapter(adapter);
    EXPECT_TRUE(ndis_adapter.holdings().empty());
    EXPECT_EQ(board().queue_status(0) & 0xF00, 0u);
    EXPECT_EQ(scratchpad(ZEK_SCRATCHPAD_LOADS), 0u);
  }
}

// A reset rests the SerDes maintenance timer (chip revision 4) while it
// rebuilds the NIC, and arms it again when it is over.
TEST_F(BoardBringUpTest, TheResetRestsTheSerdesTimerUntilItIsOver) {
  load_board(Image::board(0x0010, 2), 1);
  plat::ndis::Adapter& adapter = *ndis_->adapters().back();
  ASSERT_TRUE(ndis_->wait_for(adapter, plat::ndis::AdapterState::Running, std::chrono::seconds(60)));
  auto* zek = static_cast<ZEK_ADAPTER*>(adapter.context());
  ASSERT_NE(zek->Oid.SerdesTimer, nullptr) << "revision 4 runs the maintenance timer";
  board().stop();  // the reset's chain waits for the adapter
  EXPECT_EQ(ndis_->reset(adapter), NDIS_STATUS_PENDING);
  EXPECT_FALSE(NdisCancelTimerObject(zek->Oid.SerdesTimer)) << "the timer still ran during the reset";
  board().start();
  const std::string done = adapter.name() + ": reset complete with 0x00000000";
  ASSERT_TRUE(eventually([&] { return host_log().find(done) != std::string::npos; }, 60000)) << log_ring();
  EXPECT_TRUE(NdisCancelTimerObject(zek->Oid.SerdesTimer)) << "the timer was not armed again";
}

// Chip revision 5 sets its ports up with its own sequence instead of the
// first SerDes form: both ports' transmit words, and the PHY type's bits.
TEST_F(BoardBringUpTest, RevisionFivePortsGetTheirOwnSetUp) {
  load_board(Image::board(0x0010, 5), 2, {{"revision", "5"}});
  for (plat::ndis::Adapter* a : ndis_->adapters()) {
    ASSERT_TRUE(ndis_->wait_for(*a, plat::ndis::AdapterState::Running, std::chrono::seconds(60))) << log_ring();
  }
  for (const std::uint32_t port : {0u, 1u}) {
    SCOPED_TRACE("port " + std::to_string(port));
    const std::uint32_t block = 0x200 * port;
    EXPECT_EQ(indexed(0x2834 + block), 0xFFu);
    EXPECT_EQ(indexed(0x2808 + block) & 0xF00700, 0x100u) << "PHY type 5: bit 8 set, bits 9-10 and 20-23 clear";
    EXPECT_EQ(indexed(0x2810 + block), 0u) << "nothing of the first SerDes form";
  }
}

// A reset destroys the NIC queue pair and its completion queue and creates
// both again; the function runs afterwards with the same queues on the
// adapter, and a second reset works as well.
TEST_F(BoardBringUpTest, TheResetChainCreatesTheNicQueuesAgain) {
  load_board(Image::board(0x0010, 2), 2);
  plat::ndis::Adapter& adapter = *ndis_->adapters().back();
  ASSERT_TRUE(ndis_->wait_for(adapter, plat::ndis::AdapterState::Running, std::chrono::seconds(60)));
  const unsigned f = adapter.function().function;
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE("reset " + std::to_string(round));
    OSPrimLogRingClear();
    EXPECT_EQ(ndis_->reset(adapter), NDIS_STATUS_PENDING);
    // The adapter may not leave the running state at all while it resets:
    // the completion's indication says the reset is over.
    const std::string done = adapter.name() + ": reset complete with 0x00000000";
    auto resets_done = [&] {
      const std::string log = host_log();
      int n = 0;
      for (auto at = log.find(done); at != std::string::npos; at = log.find(done, at + 1)) ++n;
      return n;
    };
    ASSERT_TRUE(eventually([&] { return resets_done() >= round; }, 60000)) << host_log() << log_ring();
    ASSERT_TRUE(ndis_->wait_for(adapter, plat::ndis::AdapterState::Running, std::chrono::seconds(60))) << log_ring();
    EXPECT_EQ(board().queue_pair_count(), 2u) << "each function's NIC queue pair, created again";
    EXPECT_EQ(board().queue_status(f) & 0xF00, 0xF00u);
    auto* zek = static_cast<ZEK_ADAPTER*>(adapter.context());
    EXPECT_EQ(zek->Flags & ZEK_FLAG_RESET_IN_PROGRESS, 0u);
    EXPECT_EQ(zek->ResetChainDone, 1);
    EXPECT_EQ(log_ring().find("failed"), std::string::npos) << log_ring();
  }
  ndis_->stop_adapters(driver_);
  EXPECT_EQ(board().queue_pair_count(), 0u);
  for (plat::ndis::Adapter* a : ndis_->adapters()) EXPECT_TRUE(a->holdings().empty());
}

}  // namespace
