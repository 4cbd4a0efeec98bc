// The proxy driver in-process: a kernel on the virtual clock with scattered
// physical memory, an I/O manager and a registry beside it, and this test
// process standing in for a user process. Tests load and unload the driver
// themselves (DriverEntry and the unload routine run as in a host).
#pragma once

#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "include/zek/ioctl.h"
#include "platform/kernel/driver.h"
#include "platform/kernel/io/iomgr.h"
#include "platform/kernel/registry.h"
#include "proxy/core/fault_injection.h"
#include "proxy/core/zpx.h"
#include "tests/support/io_fixture.h"  // FakeLink, AsCaller

inline constexpr char16_t kComputerNameKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName";

class ProxyTest : public KernelTest {
 protected:
  plat::KernelOptions options() override {
    plat::KernelOptions o = KernelTest::options();
    o.memory.scattered = true;
    o.memory.bytes = std::size_t{256} << 20;  // a host's memory: the driver starts the host stack
    return o;
  }

  void SetUp() override {
    KernelTest::SetUp();
    if (HasFatalFailure()) return;
    g_ZpxInjectedFault = ZpxFaultStep::None;
    OSPrimLogRingClear();
    io_ = std::make_unique<plat::IoManager>(kernel());
    registry_ = std::make_unique<plat::Registry>();
    registry_->set_string(kComputerNameKey, u"ComputerName", u"HOSTA");
    link_ = std::make_shared<FakeLink>();
    process_ = io_->attach_process(getpid(), link_);
  }

  void TearDown() override {
    if (process_) io_->detach_process(*process_);
    process_.reset();
    if (driver_ != nullptr) unload();
    io_.reset();
    registry_.reset();
    g_ZpxInjectedFault = ZpxFaultStep::None;
    KernelTest::TearDown();
  }

  NTSTATUS load() { return io_->load_driver("zekproxy", &DriverEntry, &driver_); }
  void unload() {
    io_->unload_driver(driver_);
    driver_ = nullptr;
  }

  plat::Caller caller(std::int64_t thread = 0) const {
    return plat::Caller{process_, thread != 0 ? thread : static_cast<std::int64_t>(syscall(SYS_gettid))};
  }

  std::uint64_t open(bool overlapped = true) {
    std::uint64_t file = 0;
    EXPECT_EQ(io_->user_open(caller(), "zekproxy", 0, 0, overlapped, &file), STATUS_SUCCESS);
    return file;
  }
  void close(std::uint64_t file) { EXPECT_EQ(io_->user_close(caller(), file), STATUS_SUCCESS); }
  PFILE_OBJECT file_object(std::uint64_t file) {
    std::lock_guard lock(process_->mu_);
    return process_->files_.at(file);
  }

  // Sends a request as the process would; returns its id. Thread ids stand
  // for the process's threads (CancelIo cancels one thread's requests).
  std::uint64_t send(std::uint64_t file, ULONG code, const void* in, ULONG in_length, void* out, ULONG out_length,
                     std::int64_t thread = 0) {
    return send_user_ioctl(*io_, caller(thread), ++next_request_, file, code, in, in_length, out, out_length);
  }

  // A request that completes before the dispatch routine returns.
  FakeLink::Completion call(std::uint64_t file, ULONG code, void* record, ULONG in_length, ULONG out_length) {
    const std::uint64_t id = send(file, code, record, in_length, record, out_length);
    EXPECT_TRUE(link_->completed(id)) << "request 0x" << std::hex << code << " did not complete at once";
    return link_->completion(id, 0).value_or(FakeLink::Completion{STATUS_UNSUCCESSFUL, 0, false});
  }
  template <typename Record>
  FakeLink::Completion call(std::uint64_t file, ULONG code, Record* record) {
    return call(file, code, record, sizeof *record, sizeof *record);
  }

  bool pending(std::uint64_t id) { return link_->dispatched(id) == STATUS_PENDING && !link_->completed(id); }

  // A request from a kernel-mode caller (the system process).
  NTSTATUS kernel_call(ULONG code, void* record, ULONG in_length, ULONG out_length, ULONG_PTR* information = nullptr) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\zekproxy");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device);
    if (!NT_SUCCESS(status)) return status;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, record, in_length, record, out_length, FALSE, &done, &iosb);
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      status = iosb.Status;
    }
    if (information != nullptr) *information = iosb.Information;
    ObDereferenceObject(file);
    return status;
  }

  static std::string ring_text() {
    std::string bytes(OSPrimLogRingSize(), '\0');
    OSPrimLogRingRead(0, bytes.data(), OSPrimLogRingSize());
    return bytes.substr(0, bytes.find('\0'));
  }

  std::unique_ptr<plat::IoManager> io_;
  std::unique_ptr<plat::Registry> registry_;
  PDRIVER_OBJECT driver_ = nullptr;
  std::shared_ptr<FakeLink> link_;
  std::shared_ptr<plat::UserProcess> process_;
  std::uint64_t next_request_ = 0;
};

// The driver loaded, and one handle of this process open on its device.
class LoadedProxyTest : public ProxyTest {
 protected:
  void SetUp() override {
    ProxyTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(load(), STATUS_SUCCESS);
    file_ = open();
  }
  std::uint64_t file_ = 0;
};
