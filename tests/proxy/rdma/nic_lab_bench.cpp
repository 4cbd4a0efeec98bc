// Frames per second and bytes per second of 1514-byte frames from one host
// to another over the lab wire, through the driver NIC queue pairs: this
// process sends through host A's test driver; host B's counters say what
// arrived.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "platform/user/win32.h"
#include "tests/proxy/rdma/nic_lab.h"
#include "tests/proxy/rdma/nictestdrv/nictestdrv.h"

namespace {

std::uint64_t rx_frames(const niclab::Lab& lab) {
  const std::string out = lab.client(1, "counters").output;
  const auto at = out.find("rx_frames=");
  return at == std::string::npos ? 0 : std::stoull(out.substr(at + 10));
}

void BM_FramesBetweenHosts(benchmark::State& state) {
  // Destroyed at exit: the hosts stop and their lab directory goes.
  static std::unique_ptr<niclab::Lab> lab;
  if (lab == nullptr) {
    lab = std::make_unique<niclab::Lab>();
    std::string error;
    if (!lab->start(&error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    setenv("ZEK_HOST", lab->dir(0).c_str(), 1);
  }
  HANDLE device = CreateFileA("\\\\.\\zeknictest", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    state.SkipWithError("no test driver on host A");
    return;
  }
  std::vector<std::uint8_t> frame(1514, 0x5A);
  unsigned mac[6];
  std::sscanf(lab->mac(1).c_str(), "%x:%x:%x:%x:%x:%x", &mac[0], &mac[1], &mac[2], &mac[3], &mac[4], &mac[5]);
  for (int i = 0; i < 6; ++i) frame[i] = static_cast<std::uint8_t>(mac[i]);
  frame[12] = 0x88;
  frame[13] = 0xB5;
  const std::uint64_t before = rx_frames(*lab);
  std::uint64_t sent = 0;
  // A send waits while no transmit buffer is free, and for no more than
  // kStall without one coming free; any other refusal ends the run.
  constexpr auto kStall = std::chrono::seconds(10);
  bool refused = false;
  for (auto _ : state) {
    DWORD bytes = 0;
    const auto stalled_after = std::chrono::steady_clock::now() + kStall;
    while (!DeviceIoControl(device, nictest::kSend, frame.data(), 1514, nullptr, 0, &bytes, nullptr)) {
      if (GetLastError() != ERROR_NO_SYSTEM_RESOURCES || std::chrono::steady_clock::now() > stalled_after) {
        refused = true;
        break;
      }
      std::this_thread::yield();
    }
    if (refused) {
      state.SkipWithError("host A refused a send");
      break;
    }
    ++sent;
  }
  // The measurement ends when host B has every frame.
  niclab::Lab::eventually([&] { return rx_frames(*lab) >= before + sent; }, 60000);
  state.SetItemsProcessed(static_cast<std::int64_t>(sent));
  state.SetBytesProcessed(static_cast<std::int64_t>(sent) * 1514);
  state.counters["received"] = static_cast<double>(rx_frames(*lab) - before);
  CloseHandle(device);
}
BENCHMARK(BM_FramesBetweenHosts)->Iterations(20000)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
