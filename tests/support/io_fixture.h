// An I/O manager beside the test's kernel, the test driver loaded, and this
// test process standing in for a user process (its own memory is the
// "caller's", reached through the same process_vm calls as any other).
#pragma once

#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "platform/kernel/driver.h"
#include "platform/kernel/io/iomgr.h"
#include "platform/kernel/io/usermem.h"
#include "platform/kernel/registry.h"
#include "tests/platform/kernel/io/testdrv.h"
#include "tests/support/kernel_fixture.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);

// What the I/O manager tells the "process"; memory pages are mapped here
// from the segment handed over, as the user runtime maps them.
class FakeLink final : public plat::ProcessLink {
 public:
  struct Completion {
    NTSTATUS status;
    std::uint64_t information;
    bool pending_returned;
  };

  void send_pending(std::uint64_t request, NTSTATUS returned) override {
    std::lock_guard lock(mu_);
    dispatched_[request] = returned;
    cv_.notify_all();
  }
  void send_complete(std::uint64_t request, NTSTATUS status, std::uint64_t information,
                     bool pending_returned) override {
    std::lock_guard lock(mu_);
    completions_[request] = Completion{status, information, pending_returned};
    cv_.notify_all();
  }
  std::uint64_t map_memory(int segment_fd, std::size_t pages) override {
    void* base = mmap(nullptr, pages * 4096, PROT_READ | PROT_WRITE, MAP_SHARED, segment_fd, 0);
    if (base == MAP_FAILED) return 0;
    std::lock_guard lock(mu_);
    ++maps_;
    return reinterpret_cast<std::uint64_t>(base);
  }
  std::uint64_t map_registers(std::size_t, int, std::uint64_t, std::uint64_t, int) override { return 0; }
  bool unmap(std::uint64_t address, std::size_t pages) override {
    munmap(reinterpret_cast<void*>(address), pages * 4096);
    std::lock_guard lock(mu_);
    ++unmaps_;
    return true;
  }

  // Waits (real time, bounded) for the request's completion.
  std::optional<Completion> completion(std::uint64_t request, int ms = 5000) {
    std::unique_lock lock(mu_);
    cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return completions_.count(request) != 0; });
    auto it = completions_.find(request);
    if (it == completions_.end()) return std::nullopt;
    return it->second;
  }
  bool completed(std::uint64_t request) {
    std::lock_guard lock(mu_);
    return completions_.count(request) != 0;
  }
  std::optional<NTSTATUS> dispatched(std::uint64_t request) {
    std::lock_guard lock(mu_);
    auto it = dispatched_.find(request);
    if (it == dispatched_.end()) return std::nullopt;
    return it->second;
  }
  int maps() {
    std::lock_guard lock(mu_);
    return maps_;
  }
  int unmaps() {
    std::lock_guard lock(mu_);
    return unmaps_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::map<std::uint64_t, Completion> completions_;
  std::map<std::uint64_t, NTSTATUS> dispatched_;
  int maps_ = 0, unmaps_ = 0;
};

// Sends a device-control request as a process would (request id `id`);
// returns the id.
inline std::uint64_t send_user_ioctl(plat::IoManager& io, const plat::Caller& caller, std::uint64_t id,
                                     std::uint64_t file, ULONG code, const void* in, ULONG in_length, void* out,
                                     ULONG out_length) {
  plat::proto::Ioctl request{};
  request.request = id;
  request.file = file;
  request.code = code;
  request.input = reinterpret_cast<std::uint64_t>(in);
  request.input_length = in_length;
  request.output = reinterpret_cast<std::uint64_t>(out);
  request.output_length = out_length;
  io.user_ioctl(caller, request);
  return id;
}

// Runs the rest of the scope as a request of the test's "process".
class AsCaller {
 public:
  explicit AsCaller(plat::UserProcess& process)
      : context_(reinterpret_cast<HANDLE>(static_cast<intptr_t>(process.pid())),
                 reinterpret_cast<HANDLE>(syscall(SYS_gettid)), process.eprocess()) {}

 private:
  plat::ClientContext context_;
};

inline NTSTATUS raised(const std::function<void()>& f) {
  try {
    f();
  } catch (const plat::SehException& e) {
    return e.code;
  }
  return STATUS_SUCCESS;
}

class IoTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    if (HasFatalFailure()) return;
    io_ = std::make_unique<plat::IoManager>(kernel());
    registry_ = std::make_unique<plat::Registry>();
    ASSERT_EQ(io_->load_driver("zektest", &DriverEntry, &driver_), STATUS_SUCCESS);
    link_ = std::make_shared<FakeLink>();
    process_ = io_->attach_process(getpid(), link_);
  }

  void TearDown() override {
    if (process_) io_->detach_process(*process_);
    process_.reset();
    io_.reset();  // unloads the driver
    registry_.reset();
    KernelTest::TearDown();
  }

  plat::Caller caller(std::int64_t thread = 0) const {
    return plat::Caller{process_, thread != 0 ? thread : static_cast<std::int64_t>(syscall(SYS_gettid))};
  }

  std::uint64_t open(bool overlapped = false, const char* name = "zektest") {
    std::uint64_t file = 0;
    EXPECT_EQ(io_->user_open(caller(), name, 0, 0, overlapped, &file), STATUS_SUCCESS);
    return file;
  }

  // Sends a request as the process would; returns its id.
  std::uint64_t send(std::uint64_t file, ULONG code, const void* in, ULONG in_length, void* out, ULONG out_length,
                     std::int64_t thread = 0) {
    return send_user_ioctl(*io_, caller(thread), ++next_request_, file, code, in, in_length, out, out_length);
  }

  // A request that completes before the dispatch routine returns.
  FakeLink::Completion call(std::uint64_t file, ULONG code, const void* in, ULONG in_length, void* out,
                            ULONG out_length) {
    std::uint64_t id = send(file, code, in, in_length, out, out_length);
    EXPECT_TRUE(link_->completed(id)) << "request " << id << " did not complete at once";
    return link_->completion(id, 0).value_or(FakeLink::Completion{STATUS_UNSUCCESSFUL, 0, false});
  }

  std::unique_ptr<plat::IoManager> io_;
  std::unique_ptr<plat::Registry> registry_;
  PDRIVER_OBJECT driver_ = nullptr;
  std::shared_ptr<FakeLink> link_;
  std::shared_ptr<plat::UserProcess> process_;
  std::uint64_t next_request_ = 0;
};
