// The posted-write rings of register pages mapped into processes: writes
// reach the device in ring order; what a process puts in a ring is not
// trusted; a device that drains rings itself is given the ring, and its
// writer wakes it only while it sleeps.
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "platform/common/postring.h"
#include "platform/kernel/io/usermap.h"
#include "tests/support/kernel_fixture.h"

namespace {

class Registers final : public plat::MmioHandler {
 public:
  std::uint64_t mmio_read(std::uint64_t, unsigned) override { return 0; }
  void mmio_write(std::uint64_t offset, std::uint64_t value, unsigned size) override {
    std::lock_guard lock(mu);
    writes.push_back({offset, value, size});
  }
  struct Write {
    std::uint64_t offset, value;
    unsigned size;
  };
  std::vector<Write> snapshot() {
    std::lock_guard lock(mu);
    return writes;
  }
  std::mutex mu;
  std::vector<Write> writes;
};

class RegisterRing : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    ASSERT_TRUE(kernel().io_space().add_range(kBase, 2 * PAGE_SIZE, &device_));
    PHYSICAL_ADDRESS base;
    base.QuadPart = kBase;
    window_ = static_cast<PUCHAR>(MmMapIoSpace(base, 2 * PAGE_SIZE, MmNonCached));
    rings_ = std::make_unique<plat::RegisterRings>(kernel().memory());
    auto created = rings_->create({window_, window_ + PAGE_SIZE});
    ASSERT_TRUE(created);
    ring_ = *created;
    // The ring as the process sees it: its own mapping of the ring's segment.
    void* ring = mmap(nullptr, ring_.bytes, PROT_READ | PROT_WRITE, MAP_SHARED, ring_.segment_fd,
                      static_cast<off_t>(ring_.offset));
    ASSERT_NE(ring, MAP_FAILED);
    header_ = static_cast<plat::postring::Header*>(ring);
  }
  void TearDown() override {
    if (header_ != nullptr) munmap(header_, ring_.bytes);
    rings_.reset();
    MmUnmapIoSpace(window_, 2 * PAGE_SIZE);
    kernel().io_space().remove_range(kBase);
    KernelTest::TearDown();
  }

  // What the user register accessor does, with any slot contents.
  void post(std::uint64_t offset, std::uint64_t value, std::uint32_t size) {
    auto& reserved = header_->reserved;
    const std::uint64_t n = plat::postring::atomic(reserved).fetch_add(1);
    while (n - plat::postring::atomic(header_->consumed).load() >= header_->slots) std::this_thread::yield();
    plat::postring::Slot& slot = plat::postring::slots_of(header_)[n % header_->slots];
    slot.offset = offset;
    slot.value = value;
    slot.size = size;
    plat::postring::atomic(slot.sequence).store(n + 1, std::memory_order_release);
    std::uint64_t one = 1;
    ASSERT_EQ(write(ring_.wake_fd, &one, sizeof one), 8);
  }

  static constexpr std::uint64_t kBase = 0xE000'0000;
  Registers device_;
  PUCHAR window_ = nullptr;
  std::unique_ptr<plat::RegisterRings> rings_;
  plat::RegisterRings::Created ring_{};
  plat::postring::Header* header_ = nullptr;
};

TEST_F(RegisterRing, WritesReachTheDeviceInOrderAcrossItsPages) {
  for (std::uint64_t i = 0; i < 300; ++i) post(i % 2 == 0 ? 0 : PAGE_SIZE + 16, i, 4);  // more than the ring holds
  ASSERT_TRUE(eventually([&] { return device_.snapshot().size() == 300; }));
  auto writes = device_.snapshot();
  for (std::uint64_t i = 0; i < 300; ++i) {
    EXPECT_EQ(writes[i].value, i);
    EXPECT_EQ(writes[i].offset, i % 2 == 0 ? 0u : PAGE_SIZE + 16);
  }
  EXPECT_EQ(rings_->writes_applied(), 300u);
}

TEST_F(RegisterRing, SlotsOutsideTheMappingOrOfABadSizeAreRefused) {
  post(2 * PAGE_SIZE, 1, 4);  // past the mapped pages
  post(2, 2, 4);              // misaligned
  post(0, 3, 3);              // no such width
  post(8, 4, 8);              // a good one after them
  ASSERT_TRUE(eventually([&] { return rings_->writes_applied() + rings_->writes_refused() == 4; }));
  EXPECT_EQ(rings_->writes_refused(), 3u);
  auto writes = device_.snapshot();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].value, 4u);
  EXPECT_EQ(writes[0].size, 8u);
}

TEST_F(RegisterRing, RemovingARingAppliesWhatItStillHolds) {
  // Published but not yet announced: the removal drains it.
  const std::uint64_t n = plat::postring::atomic(header_->reserved).fetch_add(1);
  plat::postring::Slot& slot = plat::postring::slots_of(header_)[n % header_->slots];
  slot = plat::postring::Slot{0, 4, 99, 4, 0};
  plat::postring::atomic(slot.sequence).store(n + 1);
  rings_->remove(ring_.id);
  EXPECT_EQ(rings_->rings(), 0u);
  ASSERT_EQ(device_.snapshot().size(), 1u);
  EXPECT_EQ(device_.snapshot()[0].value, 99u);
}

// A device that drains the rings of its pages itself (as the simulated
// adapter does on its engine thread).
class DrainingRegisters final : public plat::MmioHandler {
 public:
  std::uint64_t mmio_read(std::uint64_t, unsigned) override { return 0; }
  void mmio_write(std::uint64_t, std::uint64_t value, unsigned) override { values.push_back(value); }
  bool adopt(plat::PostedWrites* ring) override {
    adopted = ring;
    return true;
  }
  void release(plat::PostedWrites* ring) override {
    if (ring == adopted) adopted = nullptr;
    ++releases;
  }
  plat::PostedWrites* adopted = nullptr;
  int releases = 0;
  std::vector<std::uint64_t> values;
};

TEST_F(KernelTest, ADeviceThatDrainsRingsItselfIsGivenThemAndWokenOnlyWhileItSleeps) {
  constexpr std::uint64_t kBase = 0xE100'0000;
  DrainingRegisters device;
  ASSERT_TRUE(kernel().io_space().add_range(kBase, PAGE_SIZE, &device));
  PHYSICAL_ADDRESS base;
  base.QuadPart = kBase;
  auto* window = static_cast<PUCHAR>(MmMapIoSpace(base, PAGE_SIZE, MmNonCached));
  {
    plat::RegisterRings rings(kernel().memory());
    auto created = rings.create({window});
    ASSERT_TRUE(created);
    ASSERT_NE(device.adopted, nullptr);
    EXPECT_EQ(rings.adopted_rings(), 1u);
    auto* header = static_cast<plat::postring::Header*>(created->page);
    // The user accessor's protocol: publish, then wake only a sleeping host.
    auto post = [&](std::uint64_t value) {
      const std::uint64_t n = plat::postring::atomic(header->reserved).fetch_add(1);
      plat::postring::Slot& slot = plat::postring::slots_of(header)[n % header->slots];
      slot = plat::postring::Slot{0, 0, value, 4, 0};
      plat::postring::atomic(slot.sequence).store(n + 1, std::memory_order_release);
      std::atomic_thread_fence(std::memory_order_seq_cst);
      if (plat::postring::atomic(header->sleeping).load() == 0) return false;
      std::uint64_t one = 1;
      EXPECT_EQ(write(created->wake_fd, &one, sizeof one), 8);
      return true;
    };
    device.adopted->set_sleeping(false);
    EXPECT_FALSE(post(1)) << "an awake device is not woken";
    EXPECT_TRUE(device.adopted->pending());
    device.adopted->set_sleeping(true);
    EXPECT_TRUE(post(2)) << "a sleeping one is";
    EXPECT_EQ(device.adopted->drain(), 2u);
    EXPECT_FALSE(device.adopted->pending());
    EXPECT_EQ(device.values, (std::vector<std::uint64_t>{1, 2}));
    // Nothing else drains it: the ring thread never saw it.
    post(3);
    EXPECT_EQ(device.values.size(), 2u);
    // Removal takes it back from the device first, then applies what is left.
    rings.remove(created->id);
    EXPECT_EQ(device.releases, 1);
    EXPECT_EQ(device.values, (std::vector<std::uint64_t>{1, 2, 3}));
  }
  MmUnmapIoSpace(window, PAGE_SIZE);
  kernel().io_space().remove_range(kBase);
}

}  // namespace
