// The round trip of a 64-byte DeviceIoControl to a driver in zekhost,
// against a plain Unix-socket echo of 64 bytes between two processes in
// the same run (the floor any request over the host's socket stands on).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/user/win32.h"
#include "tests/platform/kernel/io/testdrv.h"
#include "tests/support/lab.h"

namespace {

void BM_DeviceIoControl64(benchmark::State& state) {
  HANDLE device = CreateFileA("\\\\.\\zektest", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    state.SkipWithError("no host");
    return;
  }
  char in[64] = {1}, out[64];
  DWORD bytes = 0;
  for (auto _ : state) {
    if (!DeviceIoControl(device, testdrv::kEcho, in, sizeof in, out, sizeof out, &bytes, nullptr)) {
      state.SkipWithError("request failed");
      break;
    }
    benchmark::DoNotOptimize(out);
  }
  CloseHandle(device);
}
BENCHMARK(BM_DeviceIoControl64)->UseRealTime();

void BM_UnixSocketEcho64(benchmark::State& state) {
  int fds[2];
  socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds);
  pid_t echo = fork();
  if (echo == 0) {
    close(fds[0]);
    char buffer[64];
    for (;;) {
      ssize_t n = recv(fds[1], buffer, sizeof buffer, 0);
      if (n <= 0 || send(fds[1], buffer, static_cast<std::size_t>(n), 0) != n) _exit(0);
    }
  }
  close(fds[1]);
  char message[64] = {1}, reply[64];
  for (auto _ : state) {
    send(fds[0], message, sizeof message, 0);
    recv(fds[0], reply, sizeof reply, 0);
    benchmark::DoNotOptimize(reply);
  }
  close(fds[0]);
  waitpid(echo, nullptr, 0);
}
BENCHMARK(BM_UnixSocketEcho64)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path dir = zeklab::make_temp_dir("zekhost-bench");
  if (dir.empty()) return 1;
  std::ofstream(dir / "host.conf") << "[host]\nname = BENCH\n\n[driver zektest]\npath = " << ZEK_TEST_DRIVER << "\n";
  const pid_t host = zeklab::spawn_host(dir);
  zeklab::eventually([&] { return zeklab::host_ready(dir); });
  setenv("ZEK_HOST", dir.c_str(), 1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const int code = zeklab::terminate(host);
  std::filesystem::remove_all(dir);
  return code;
}
