// The cost of one verbs control request from a user process (through the
// user runtime's DeviceIoControl into a real zekhost and back), beside a
// plain Unix-socket echo between two processes measured in the same run.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "include/zek/ioctl.h"
#include "include/zek/verbs_requests.h"
#include "platform/user/win32.h"
#include "tests/support/lab.h"

namespace {

// One host with one attached adapter, for the whole run.
class Host {
 public:
  bool start(std::string* error) {
    lab_ = zeklab::make_temp_dir("verbs-bench-lab");
    dir_ = zeklab::make_temp_dir("verbs-bench");
    {
      std::ofstream conf(dir_ / "host.conf");
      conf << "[host]\nname = verbsbench\nmemory_mb = 128\nlab = " << lab_.string()
           << "\n\n[adapter nic0]\nfunctions = 1\nf0.IPADDRESS0 = 10.79.3.1\n\n"
           << "[driver zekhnic]\npath = " << ZEK_HNIC_DRIVER << "\n\n[driver zekproxy]\npath = " << ZEK_PROXY_DRIVER
           << "\n";
    }
    host_ = zeklab::spawn_host(dir_);
    if (!zeklab::eventually([&] { return zeklab::host_ready(dir_); }, 60'000, 100)) {
      *error = "the host did not start";
      return false;
    }
    setenv("ZEK_HOST", dir_.c_str(), 1);
    return true;
  }
  ~Host() {
    if (host_ > 0) zeklab::terminate(host_);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    std::filesystem::remove_all(lab_, ec);
  }

 private:
  std::filesystem::path lab_, dir_;
  pid_t host_ = -1;
};

// The caller's adapter and one CQ on it, on a handle of this process.
struct Verbs {
  HANDLE proxy = INVALID_HANDLE_VALUE;
  std::uint64_t adapter = 0;
  std::uint64_t cq = 0;

  template <typename T>
  bool send(DWORD code, T* record) {
    DWORD bytes = 0;
    return DeviceIoControl(proxy, code, record, sizeof(T), record, sizeof(T), &bytes, nullptr) != FALSE;
  }
  bool open(std::string* error) {
    proxy = CreateFileA("\\\\.\\zekproxy", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (proxy == INVALID_HANDLE_VALUE) {
      *error = "no zekproxy";
      return false;
    }
    ZekVerbsAddress addresses[4] = {};
    // The adapter's address reaches the host stack a little after the start.
    zeklab::eventually(
        [&] {
          ZekVreqAdapterAddrs a{reinterpret_cast<std::uint64_t>(addresses), 4, 0, 0, 0, 0xFFFF};
          return send(IOCTL_ZEK_IWARP_ADAPTER_ADDRS, &a) && a.Status == 0 && a.Count >= 1 && addresses[0].Ipv4 != 0;
        },
        30'000, 100);
    ZekVreqOpen o{};
    std::memcpy(o.Selector, &addresses[0], sizeof o.Selector);
    if (!send(IOCTL_ZEK_IWARP_OPEN, &o) || o.Status != 0) {
      *error = "the open failed";
      return false;
    }
    adapter = o.Adapter;
    ZekVreqCqCreate c{};
    c.Adapter = adapter;
    c.Requested = 32;
    if (!send(IOCTL_ZEK_IWARP_CQ_CREATE, &c) || c.Status != 0) {
      *error = "the CQ create failed";
      return false;
    }
    cq = c.Cq;
    return true;
  }
  ~Verbs() {
    if (proxy != INVALID_HANDLE_VALUE) CloseHandle(proxy);  // the clean-up context closes the adapter
  }
};

Verbs* verbs(benchmark::State& state) {
  static std::unique_ptr<Host> host;
  static std::unique_ptr<Verbs> v;
  if (v == nullptr) {
    std::string error;
    host = std::make_unique<Host>();
    if (!host->start(&error)) {
      state.SkipWithError(error.c_str());
      return nullptr;
    }
    v = std::make_unique<Verbs>();
    if (!v->open(&error)) {
      state.SkipWithError(error.c_str());
      v.reset();
      return nullptr;
    }
  }
  return v.get();
}

// CQ_QUERY: the adapter and the CQ looked up as the caller's, the verb, the
// 32-byte record back.
void BM_VerbsCqQuery(benchmark::State& state) {
  Verbs* v = verbs(state);
  if (v == nullptr) return;
  for (auto _ : state) {
    ZekVreqCqQuery r{v->adapter, v->cq, 0, 0, 0xFFFF};
    if (!v->send(IOCTL_ZEK_IWARP_CQ_QUERY, &r) || r.Status != 0) {
      state.SkipWithError("CQ_QUERY failed");
      break;
    }
  }
}
BENCHMARK(BM_VerbsCqQuery)->UseRealTime()->Unit(benchmark::kMicrosecond);

// QUERY: the 312-byte adapter attributes.
void BM_VerbsQuery(benchmark::State& state) {
  Verbs* v = verbs(state);
  if (v == nullptr) return;
  for (auto _ : state) {
    ZekVreqQuery r{};
    r.Adapter = v->adapter;
    if (!v->send(IOCTL_ZEK_IWARP_QUERY, &r) || r.Status != 0) {
      state.SkipWithError("QUERY failed");
      break;
    }
  }
}
BENCHMARK(BM_VerbsQuery)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The baseline: a 32-byte message to another process over a Unix socket and
// its echo back.
void BM_UnixSocketEcho(benchmark::State& state) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
    state.SkipWithError("socketpair");
    return;
  }
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    char buffer[32];
    for (;;) {
      if (read(fds[1], buffer, sizeof buffer) != sizeof buffer) _exit(0);
      if (write(fds[1], buffer, sizeof buffer) != sizeof buffer) _exit(0);
    }
  }
  close(fds[1]);
  char message[32] = {1};
  for (auto _ : state) {
    if (write(fds[0], message, sizeof message) != sizeof message ||
        read(fds[0], message, sizeof message) != sizeof message) {
      state.SkipWithError("echo");
      break;
    }
  }
  close(fds[0]);
  waitpid(child, nullptr, 0);
}
BENCHMARK(BM_UnixSocketEcho)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
BENCHMARK_MAIN();
