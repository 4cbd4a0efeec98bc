// A kernel on the virtual clock, with scattered physical memory so that only
// memory that is really contiguous looks contiguous, and helpers to read the
// driver's fast log ring.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "proxy/core/osprim/osprim_kernel.h"
#include "tests/support/kernel_fixture.h"

class OsprimTest : public KernelTest {
 protected:
  plat::KernelOptions options() override {
    plat::KernelOptions o = KernelTest::options();
    o.memory.scattered = true;
    return o;
  }

  void SetUp() override {
    KernelTest::SetUp();
    OSPrimLogRingClear();
  }

  // The whole ring.
  static std::string ring_bytes() {
    std::string bytes(OSPrimLogRingSize(), '\0');
    EXPECT_EQ(OSPrimLogRingRead(0, bytes.data(), OSPrimLogRingSize()), OSPrimLogRingSize());
    return bytes;
  }

  // The text written since the last clear, while it has not wrapped.
  static std::string ring_text() {
    std::string bytes = ring_bytes();
    return bytes.substr(0, bytes.find('\0'));
  }

  // The prefix the calling thread's record number `sequence` carries.
  static std::string prefix(unsigned long sequence) {
    char text[64];
    std::snprintf(text, sizeof(text), "[%lu] pid[%04x,%04x] ", sequence,
                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(PsGetCurrentProcessId())),
                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(PsGetCurrentThreadId())));
    return text;
  }
};

// Runs `body` at DISPATCH_LEVEL on the calling thread.
template <typename F>
void at_dispatch(F body) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  body();
  KeLowerIrql(old);
}
