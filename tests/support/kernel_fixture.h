// A kernel on the virtual clock for one test. At the end the test's pool,
// contiguous memory and register mappings must all be returned.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>

#include "platform/kernel/kernel.h"
#include "platform/kernel/nt.h"

class KernelTest : public ::testing::Test {
 protected:
  virtual plat::KernelOptions options() {
    plat::KernelOptions o;
    o.clock = plat::Clock::Mode::Virtual;
    o.memory.bytes = std::size_t{32} << 20;
    o.debug_output = [this](std::string_view text) {
      std::lock_guard lock(debug_mu_);
      debug_text_ += text;
    };
    return o;
  }

  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    kernel_ = std::make_unique<plat::Kernel>(options());
  }

  void TearDown() override {
    if (!kernel_) return;
    KeFlushQueuedDpcs();
    EXPECT_EQ(kernel_->pool().blocks_in_use(), 0u) << kernel_->pool().leak_report();
    EXPECT_EQ(kernel_->contiguous().bytes_in_use(), 0u);
    EXPECT_EQ(kernel_->io_space().mappings(), 0u);
    kernel_.reset();
  }

  plat::Kernel& kernel() { return *kernel_; }
  plat::Clock& clock() { return kernel_->clock(); }

  std::string debug_text() {
    std::lock_guard lock(debug_mu_);
    return debug_text_;
  }

  static LARGE_INTEGER relative_ms(LONGLONG ms) {
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10'000;
    return t;
  }

  std::unique_ptr<plat::Kernel> kernel_;
  std::mutex debug_mu_;
  std::string debug_text_;
};

// Waits in real time (bounded) until `condition` holds; for observing other threads.
template <typename F>
bool eventually(F condition, int milliseconds = 5000) {
  for (int i = 0; i < milliseconds * 10; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return condition();
}
