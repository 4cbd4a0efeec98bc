// The host's request path against a plain Unix-socket echo in the same run
// (the floor any request over the host's socket stands on):
// - the round trip of one 64-byte DeviceIoControl to a driver in zekhost
//   against a 64-byte echo between two processes;
// - requests per second with 1, 4 and 16 threads in one process, each
//   thread with its own handle, against as many threads each with an echo
//   process of its own;
// - requests per second of 16 processes at once against 16 echo pairs;
// - the same request on an overlapped handle (the process's main
//   connection and its reader thread), with 1 and 4 threads.
#include <benchmark/benchmark.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/user/win32.h"
#include "tests/platform/kernel/io/testdrv.h"
#include "tests/support/lab.h"

namespace {

constexpr int kProcesses = 16;
constexpr int kRequestsPerProcess = 2000;

HANDLE open_device() {
  return CreateFileA("\\\\.\\zektest", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

bool request(HANDLE device) {
  char in[64] = {1}, out[64];
  DWORD bytes = 0;
  const bool ok = DeviceIoControl(device, testdrv::kEcho, in, sizeof in, out, sizeof out, &bytes, nullptr);
  benchmark::DoNotOptimize(out);
  return ok;
}

// One echo process on the other end of a socket pair; the near end.
struct Echo {
  int fd = -1;
  pid_t pid = -1;
  Echo() {
    int fds[2];
    socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds);
    pid = fork();
    if (pid == 0) {
      // Only its own end: an echo must see its peer close, whatever other
      // threads forked meanwhile.
      dup2(fds[1], 100);
      close_range(3, 99, 0);
      close_range(101, ~0u, 0);
      char buffer[64];
      for (;;) {
        ssize_t n = recv(100, buffer, sizeof buffer, 0);
        if (n <= 0 || send(100, buffer, static_cast<std::size_t>(n), 0) != n) _exit(0);
      }
    }
    close(fds[1]);
    fd = fds[0];
  }
  ~Echo() {
    close(fd);
    waitpid(pid, nullptr, 0);
  }
  void round_trip() {
    char message[64] = {1}, reply[64];
    send(fd, message, sizeof message, 0);
    recv(fd, reply, sizeof reply, 0);
    benchmark::DoNotOptimize(reply);
  }
};

void BM_DeviceIoControl64(benchmark::State& state) {
  HANDLE device = open_device();
  if (device == INVALID_HANDLE_VALUE) {
    state.SkipWithError("no host");
    return;
  }
  for (auto _ : state) {
    if (!request(device)) {
      state.SkipWithError("request failed");
      break;
    }
  }
  CloseHandle(device);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DeviceIoControl64)->UseRealTime()->Threads(1)->Threads(4)->Threads(16);

// The same request on an overlapped handle: it goes on the process's main
// connection (its reader thread hands the completion to the caller).
void BM_DeviceIoControl64Overlapped(benchmark::State& state) {
  HANDLE device = CreateFileA("\\\\.\\zektest", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (device == INVALID_HANDLE_VALUE || event == nullptr) {
    state.SkipWithError("no host");
    return;
  }
  for (auto _ : state) {
    char in[64] = {1}, out[64];
    DWORD bytes = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    if (!DeviceIoControl(device, testdrv::kEcho, in, sizeof in, out, sizeof out, &bytes, &overlapped) &&
        (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(device, &overlapped, &bytes, TRUE))) {
      state.SkipWithError("request failed");
      break;
    }
    benchmark::DoNotOptimize(out);
  }
  CloseHandle(event);
  CloseHandle(device);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DeviceIoControl64Overlapped)->UseRealTime()->Threads(1)->Threads(4);

void BM_UnixSocketEcho64(benchmark::State& state) {
  Echo echo;
  for (auto _ : state) echo.round_trip();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UnixSocketEcho64)->UseRealTime()->Threads(1)->Threads(4)->Threads(16);

// kProcesses processes at once, each doing kRequestsPerProcess round trips;
// `work` is what one process does. Items: the round trips of all of them.
template <typename Work>
void run_processes(benchmark::State& state, Work work) {
  for (auto _ : state) {
    // The children start together once all are forked.
    auto* go = static_cast<std::atomic<int>*>(
        mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    new (go) std::atomic<int>(0);
    std::vector<pid_t> children;
    for (int i = 0; i < kProcesses; ++i) {
      const pid_t child = fork();
      if (child == 0) {
        while (go->load() == 0) {
        }
        _exit(work() ? 0 : 1);
      }
      children.push_back(child);
    }
    const auto start = std::chrono::steady_clock::now();
    go->store(1);
    bool failed = false;
    for (pid_t child : children) {
      int status = 0;
      waitpid(child, &status, 0);
      failed = failed || !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    munmap(go, sizeof(std::atomic<int>));
    if (failed) state.SkipWithError("a process failed");
  }
  state.SetItemsProcessed(state.iterations() * kProcesses * kRequestsPerProcess);
}

void BM_DeviceIoControl64Processes(benchmark::State& state) {
  run_processes(state, [] {
    HANDLE device = open_device();
    if (device == INVALID_HANDLE_VALUE) return false;
    for (int i = 0; i < kRequestsPerProcess; ++i) {
      if (!request(device)) return false;
    }
    return true;
  });
}
BENCHMARK(BM_DeviceIoControl64Processes)->UseManualTime()->Iterations(3);

void BM_UnixSocketEcho64Processes(benchmark::State& state) {
  run_processes(state, [] {
    Echo echo;
    for (int i = 0; i < kRequestsPerProcess; ++i) echo.round_trip();
    return true;
  });
}
BENCHMARK(BM_UnixSocketEcho64Processes)->UseManualTime()->Iterations(3);

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
