// What the kernel verbs client driver's two parts share: the report they
// write (one line a check) and the routine tables a kernel caller asks the
// proxy driver for.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "include/zek/sockets.h"
#include "include/zek/verbs.h"
#include "platform/kernel/driver.h"
#include "tests/proxy/rdma/verbs/verbstestdrv/verbstestdrv.h"

namespace verbstest {

class Report {
 public:
  void check(const char* name, std::uint64_t got, std::uint64_t want) {
    line("%s got=0x%llx want=0x%llx %s\n", name, static_cast<unsigned long long>(got),
         static_cast<unsigned long long>(want), got == want ? "ok" : "FAIL");
    if (got != want) ++failures_;
  }
  // A check of a condition without a value to show.
  void expect(const char* name, bool holds) {
    line("%s %s\n", name, holds ? "ok" : "FAIL");
    if (!holds) ++failures_;
  }
  void line(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    text_ += buffer;
  }
  int failures() const { return failures_; }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
  int failures_ = 0;
};

// The kernel verbs table and the kernel socket-call table; null when the
// proxy driver offers either not.
struct KernelTables {
  const ZekVerbsInterface* verbs;
  const ZekKernelSocketTable* sockets;
};
KernelTables kernel_tables();

ZekVerbsAddress verbs_address(std::uint32_t host_order);

// The RDMA session between two hosts (kRdma): false when there is nothing
// to run it on yet (no tables, or no adapter with the local address).
bool run_rdma(const RdmaRequest& request, Report& r);

}  // namespace verbstest
