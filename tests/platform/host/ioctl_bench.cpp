// The round trip of a 64-byte DeviceIoControl to a driver in zekhost,
// against a plain Unix-socket echo of 64 bytes between two processes in
// the same run (the floor any request over the host's socket stands on).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/user/win32.h"
#include "tests/platform/io/testdrv.h"

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

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

int main(int argc, char** argv) {
  char pattern[] = "/tmp/zekhost-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const std::filesystem::path dir = pattern;
  std::ofstream(dir / "host.conf") << "[host]\nname = BENCH\n\n[driver zektest]\npath = " << ZEK_TEST_DRIVER << "\n";
  pid_t host = fork();
  if (host == 0) {
    execl(ZEK_HOST_BINARY, "zekhost", "--dir", dir.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 1000 && read_file(dir / "host.log").find("ready") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  setenv("ZEK_HOST", dir.c_str(), 1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  kill(host, SIGTERM);
  int status = 0;
  waitpid(host, &status, 0);
  std::filesystem::remove_all(dir);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
