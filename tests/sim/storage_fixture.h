// A board on its own physical memory and a manual clock, with its EEPROM
// and flash kept in a scratch directory, so that a test can restart it and
// move its time by hand. Registers are reached through the bus side.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "include/hw/pci.h"
#include "include/hw/registers.h"
#include "include/hw/storage.h"
#include "sim/board.h"

class StorageBoardTest : public ::testing::Test {
 public:
  void SetUp() override {
    char dir[] = "/tmp/zek-storage-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    dir_ = dir;
    start();
  }
  void TearDown() override {
    board_.reset();
    std::filesystem::remove_all(dir_);
  }

  virtual zeksim::BoardConfig config() {
    zeksim::BoardConfig c;
    c.functions = 2;
    c.clock = &clock_;
    c.storage = dir_ + "/nic0";
    c.log = [this](std::string_view line) { log_ += std::string(line) + "\n"; };
    return c;
  }
  // (Re)starts the board: a power cycle that keeps the files.
  void start() {
    board_.reset();
    board_ = std::make_unique<zeksim::Board>(memory_, config());
  }

  zeksim::Board& board() { return *board_; }
  std::uint32_t rd(std::uint32_t offset, unsigned f = 0) {
    return static_cast<std::uint32_t>(board_->mmio_read(f, zeksim::Window::Registers, offset, 4));
  }
  void wr(std::uint32_t offset, std::uint32_t value, unsigned f = 0) {
    board_->mmio_write(f, zeksim::Window::Registers, offset, value, 4);
  }
  std::uint32_t idx_rd(std::uint32_t index, unsigned f = 0) {
    wr(zekhw::index_register(f), index, f);
    return rd(zekhw::data_register(f), f);
  }
  void idx_wr(std::uint32_t index, std::uint32_t value, unsigned f = 0) {
    wr(zekhw::index_register(f), index, f);
    wr(zekhw::data_register(f), value, f);
  }
  void advance(zeksim::Nanos by) { clock_.advance(by); }

  plat::PhysicalMemory memory_{plat::PhysicalMemory::Options{.bytes = std::size_t{16} << 20}};
  zeksim::ManualClock clock_;
  std::string dir_;
  std::string log_;
  std::unique_ptr<zeksim::Board> board_;
};
