// A host in one test: the kernel on the virtual clock, a registry in
// memory, the I/O manager, simulated adapters on the PCI bus and NDIS.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/host/adapters.h"
#include "platform/kernel/io/iomgr.h"
#include "platform/kernel/registry.h"
#include "platform/ndis/host.h"
#include "tests/support/kernel_fixture.h"

class NdisTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    registry_ = std::make_unique<plat::Registry>();
    io_ = std::make_unique<plat::IoManager>(kernel());
    adapters_ = std::make_unique<plat::host::SimulatedAdapters>(
        kernel().machine(), [this](std::string_view line) { log(line); }, plat::host::SimulatedAdapters::Lab{},
        registry_.get());
    ndis_ = std::make_unique<plat::ndis::Ndis>(kernel(), *io_, [this](std::string_view line) { log(line); });
  }
  void TearDown() override {
    ndis_.reset();
    io_.reset();
    adapters_.reset();
    registry_.reset();
    KernelTest::TearDown();
  }

  void add_board(const std::string& name, std::vector<std::pair<std::string, std::string>> entries) {
    plat::host::Section section;
    section.kind = "adapter";
    section.name = name;
    section.entries = std::move(entries);
    std::string error;
    ASSERT_TRUE(adapters_->add(section, &error)) << error;
  }

  void log(std::string_view line) {
    std::lock_guard lock(log_mu_);
    log_ += std::string(line) + "\n";
  }
  std::string host_log() {
    std::lock_guard lock(log_mu_);
    return log_;
  }

  std::unique_ptr<plat::Registry> registry_;
  std::unique_ptr<plat::IoManager> io_;
  std::unique_ptr<plat::host::SimulatedAdapters> adapters_;
  std::unique_ptr<plat::ndis::Ndis> ndis_;
  std::mutex log_mu_;
  std::string log_;
};
