// The host's simulated adapters: functions on the PCI bus with their
// configuration space, windows and interrupt vectors, and interrupts
// delivered from the board to a connected service routine at device IRQL.
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>

#include "include/hw/pci.h"
#include "include/hw/registers.h"
#include "platform/host/adapters.h"
#include "platform/kernel/interrupt.h"
#include "sim/board.h"
#include "sim/lab_wire.h"
#include "tests/support/kernel_fixture.h"

namespace {

using plat::host::Section;
using plat::host::SimulatedAdapters;

Section adapter_section(const std::string& name, std::vector<std::pair<std::string, std::string>> entries) {
  Section s;
  s.kind = "adapter";
  s.name = name;
  s.entries = std::move(entries);
  return s;
}

class AdaptersTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    adapters_ =
        std::make_unique<SimulatedAdapters>(kernel().machine(), [this](std::string_view line) { log_ += line; });
  }
  void TearDown() override {
    adapters_.reset();
    KernelTest::TearDown();
  }
  std::unique_ptr<SimulatedAdapters> adapters_;
  std::string log_;
};

TEST_F(AdaptersTest, FunctionsAppearOnTheBusWithWindowsAndVectors) {
  std::string error;
  ASSERT_TRUE(adapters_->add(adapter_section("nic0", {{"functions", "2"}}), &error)) << error;
  ASSERT_TRUE(adapters_->add(adapter_section("nic1", {{"driver", "other"}}), &error)) << error;
  auto functions = kernel().pci().functions();
  ASSERT_EQ(functions.size(), 3u);
  EXPECT_EQ(functions[0].adapter, "nic0");
  EXPECT_EQ(functions[0].driver, "zekhnic");
  EXPECT_EQ(functions[2].driver, "other");
  EXPECT_NE(functions[0].interrupt_vector, functions[1].interrupt_vector);
  EXPECT_GT(functions[0].interrupt_irql, DISPATCH_LEVEL);

  for (const auto& f : functions) {
    const std::uint32_t id = kernel().pci().read_config(f.bus, f.device, f.function, zekhw::kPciCfgVendorDevice);
    EXPECT_EQ(id & 0xFFFF, zekhw::kPciVendorId);
    ASSERT_EQ(f.memory.size(), 3u);
    // The register window answers through the register accessors.
    PHYSICAL_ADDRESS pa;
    pa.QuadPart = static_cast<LONGLONG>(f.memory[0].start);
    auto* regs = static_cast<UCHAR*>(MmMapIoSpace(pa, f.memory[0].length, MmNonCached));
    ASSERT_NE(regs, nullptr);
    EXPECT_EQ(READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(regs + zekhw::kRegIntrMask)),
              zekhw::kIntrCauseBits);
    MmUnmapIoSpace(regs, f.memory[0].length);
  }
  EXPECT_EQ(kernel().pci().read_config(9, 0, 0, 0), 0xFFFFFFFFu) << "no function there";
}

TEST_F(AdaptersTest, BadSectionsAreRefusedWithAMessage) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> entries;
    const char* message;
  };
  const Case cases[] = {
      {{{"functions", "5"}}, "functions must be 1 to 4, not '5'"},
      {{{"functions", "two"}}, "functions must be 1 to 4"},
      {{{"revision", "3"}}, "revision must be 4 to 5"},
      {{{"port_mode", "4"}}, "port_mode must be 0 to 3"},
      {{{"impair", "loss=0.1"}}, "impair needs the port on the lab wire"},
      {{{"lossless", "maybe"}}, "lossless must be yes or no"},
      {{{"max_frame", "9023"}}, "max_frame must be 60 to 9022, not '9023'"},
      {{{"max_frame", "59"}}, "max_frame must be 60 to 9022"},
      {{{"max_frame", "1518"}}, "max_frame needs the port on the lab wire"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(adapters_->add(adapter_section("bad", c.entries), &error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
  std::string error;
  ASSERT_TRUE(adapters_->add(adapter_section("nic0", {}), &error));
  EXPECT_FALSE(adapters_->add(adapter_section("nic0", {}), &error));
  EXPECT_NE(error.find("configured twice"), std::string::npos);
  EXPECT_EQ(kernel().pci().functions().size(), 1u);
}

// A port's maximum frame from host.conf: a larger frame from the wire is
// dropped and counted, one within it taken.
TEST_F(AdaptersTest, APortCarriesFramesUpToItsMaximumFrame) {
  char pattern[] = "/tmp/zekmaxframe-XXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  std::filesystem::create_directories(dir + "/lab");
  {
    SimulatedAdapters lab_adapters(
        kernel().machine(), [](std::string_view) {}, SimulatedAdapters::Lab{dir + "/lab", "hosta", dir});
    std::string error;
    ASSERT_TRUE(lab_adapters.add(adapter_section("nic0", {{"max_frame", "1518"}}), &error)) << error;
    const int peer = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(peer, 0);
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    const std::string path = dir + "/lab/wire/hosta-nic0.sock";
    std::strncpy(to.sun_path, path.c_str(), sizeof to.sun_path - 1);
    for (const std::size_t length : {1519u, 1518u}) {
      std::vector<std::uint8_t> frame(length, 0xFF);  // broadcast
      EXPECT_EQ(::sendto(peer, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                static_cast<ssize_t>(length));
    }
    ::close(peer);
    zeksim::LabWire* wire = lab_adapters.wire(0);
    ASSERT_NE(wire, nullptr);
    EXPECT_TRUE(eventually([&] { return wire->frames_oversize() == 1 && wire->frames_received() == 1; }, 30000))
        << wire->frames_oversize() << " oversize, " << wire->frames_received() << " received";
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

struct IsrRecord {
  volatile UCHAR* regs;
  std::atomic<int> calls{0};
  KIRQL irql = 0;
};

BOOLEAN test_isr(PKINTERRUPT, PVOID context) {
  auto* r = static_cast<IsrRecord*>(context);
  r->irql = KeGetCurrentIrql();
  // Acknowledge: clear every pending cause bit, which lowers the line.
  auto* cause = reinterpret_cast<volatile ULONG*>(r->regs + zekhw::kRegIntrCause);
  WRITE_REGISTER_ULONG(cause, READ_REGISTER_ULONG(cause));
  r->calls++;
  return TRUE;
}

TEST_F(AdaptersTest, AnUnmaskedCauseRunsTheServiceRoutineAtDeviceLevel) {
  std::string error;
  ASSERT_TRUE(adapters_->add(adapter_section("nic0", {{"functions", "2"}}), &error)) << error;
  const auto f = kernel().pci().functions()[1];
  PHYSICAL_ADDRESS pa;
  pa.QuadPart = static_cast<LONGLONG>(f.memory[0].start);
  IsrRecord record;
  record.regs = static_cast<UCHAR*>(MmMapIoSpace(pa, f.memory[0].length, MmNonCached));
  PKINTERRUPT interrupt = nullptr;
  ASSERT_EQ(IoConnectInterrupt(&interrupt, test_isr, &record, nullptr, f.interrupt_vector, f.interrupt_irql,
                               f.interrupt_irql, LevelSensitive, FALSE, 1, FALSE),
            STATUS_SUCCESS);

  // Masked: nothing is delivered.
  adapters_->board(0).inject_interrupt(1, zekhw::intr_aeq_bit(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(record.calls, 0);
  // Master enable on, AEQ bit unmasked: the pending cause interrupts at once.
  WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(record.regs + zekhw::kRegIntrMask),
                       zekhw::kIntrMasterEnable | (zekhw::kIntrCauseBits & ~zekhw::intr_aeq_bit(1)));
  ASSERT_TRUE(eventually([&] { return record.calls == 1; }));
  EXPECT_EQ(record.irql, f.interrupt_irql);
  EXPECT_FALSE(adapters_->board(0).interrupt_line(1));
  // A second edge is a second call.
  adapters_->board(0).inject_interrupt(1, zekhw::intr_aeq_bit(1));
  ASSERT_TRUE(eventually([&] { return record.calls == 2; }));

  IoDisconnectInterrupt(interrupt);
  MmUnmapIoSpace(const_cast<UCHAR*>(record.regs), f.memory[0].length);
  EXPECT_EQ(kernel().machine().interrupts().dropped(), 0u);
}

}  // namespace
