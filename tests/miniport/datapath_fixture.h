// Two boards on the lab wire in one process, each with zekhnic bound to its
// function, and the NDIS stand-in's protocol side sending and receiving
// through them: the miniport's data path end to end. Used by the data-path
// tests and the data-path benchmark.
#pragma once

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "miniport/adapter.h"
#include "miniport/datapath.h"
#include "platform/host/adapters.h"
#include "platform/kernel/io/iomgr.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/registry.h"
#include "platform/ndis/host.h"
#include "sim/board.h"
#include "tests/miniport/nbl_sender.h"

namespace datapath {

using Entries = std::vector<std::pair<std::string, std::string>>;

inline bool wait_until(const std::function<bool()>& condition, int milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return condition();
}

// An Ethernet frame: destination, source, type, then bytes from `seed`.
inline std::vector<std::uint8_t> frame(const std::uint8_t* destination, const std::uint8_t* source, std::uint16_t type,
                                       std::size_t length, std::uint8_t seed) {
  std::vector<std::uint8_t> f(length);
  std::memcpy(f.data(), destination, 6);
  std::memcpy(f.data() + 6, source, 6);
  f[12] = static_cast<std::uint8_t>(type >> 8);
  f[13] = static_cast<std::uint8_t>(type);
  for (std::size_t i = 14; i < length; ++i) f[i] = static_cast<std::uint8_t>(seed + i);
  return f;
}

// The two hosts' boards and their miniports.
class TwoBoards {
 public:
  using LogLine = std::function<void(std::string_view)>;

  TwoBoards(plat::Kernel& kernel, LogLine log) : kernel_(kernel), log_(std::move(log)) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/zekdp-XXXXXX";
    dir_ = mkdtemp(pattern.data());
    std::filesystem::create_directories(dir_ + "/lab");
    std::filesystem::create_directories(dir_ + "/host");
    registry_ = std::make_unique<plat::Registry>();
    io_ = std::make_unique<plat::IoManager>(kernel_);
    adapters_ = std::make_unique<plat::host::SimulatedAdapters>(
        kernel_.machine(), log_, plat::host::SimulatedAdapters::Lab{dir_ + "/lab", "host", dir_ + "/host"},
        registry_.get());
    ndis_ = std::make_unique<plat::ndis::Ndis>(kernel_, *io_, log_);
  }
  ~TwoBoards() {
    if (driver_ != nullptr) io_->unload_driver(driver_);
    ndis_.reset();
    io_.reset();
    adapters_.reset();
    registry_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Both boards, zekhnic over them, both adapters running with the link up.
  bool start(const Entries& a, const Entries& b, std::string* error) {
    for (const auto& [name, entries] : {std::pair{"nic0", a}, std::pair{"nic1", b}}) {
      plat::host::Section section;
      section.kind = "adapter";
      section.name = name;
      section.entries = entries;
      if (!adapters_->add(section, error)) return false;
    }
    if (io_->load_driver("zekhnic", DriverEntry, &driver_) != STATUS_SUCCESS) {
      *error = "zekhnic did not load";
      return false;
    }
    if (ndis_->start_adapters(driver_) != 2) {
      *error = "not two adapters";
      return false;
    }
    for (int i = 0; i < 2; ++i) {
      if (!ndis_->wait_for(ndis(i), plat::ndis::AdapterState::Running, std::chrono::seconds(60))) {
        *error = ndis(i).name() + " does not run";
        return false;
      }
      ZEK_ADAPTER* z = zek(i);
      if (!wait_until([z] { return z->LinkIndicated == ZEK_LINK_INDICATED_UP; }, 60000)) {
        *error = ndis(i).name() + ": no link";
        return false;
      }
      // No OID path sets the packet filter yet: it is set in the adapter block.
      z->PacketFilter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST | NDIS_PACKET_TYPE_MULTICAST;
    }
    return true;
  }

  plat::ndis::Adapter& ndis(int i) { return *ndis_->adapters().at(static_cast<std::size_t>(i)); }
  ZEK_ADAPTER* zek(int i) { return static_cast<ZEK_ADAPTER*>(ndis(i).context()); }
  const std::uint8_t* mac(int i) { return zek(i)->CurrentMac; }
  plat::ndis::Ndis& host() { return *ndis_; }
  zeksim::Board& board(int i) { return adapters_->board(static_cast<std::size_t>(i)); }
  void stop() {
    if (driver_ != nullptr) io_->unload_driver(driver_);
    driver_ = nullptr;
  }

 private:
  plat::Kernel& kernel_;
  LogLine log_;
  std::string dir_;
  std::unique_ptr<plat::Registry> registry_;
  std::unique_ptr<plat::IoManager> io_;
  std::unique_ptr<plat::host::SimulatedAdapters> adapters_;
  std::unique_ptr<plat::ndis::Ndis> ndis_;
  PDRIVER_OBJECT driver_ = nullptr;
};

}  // namespace datapath
