// Kernel-mode callers, the namespace, cancel-safe queue corner cases and
// work items.
#include <cstring>

#include "tests/support/io_fixture.h"

namespace {

using KernelCaller = IoTest;

UNICODE_STRING name_of(const char16_t* text) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, text);
  return s;
}

// Sends a built request and waits for it, as a driver does.
NTSTATUS send_built(PDEVICE_OBJECT device, PFILE_OBJECT file, ULONG code, void* in, ULONG in_length, void* out,
                    ULONG out_length, IO_STATUS_BLOCK* iosb, bool* pended = nullptr) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(code, device, in, in_length, out, out_length, FALSE, &event, iosb);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->FileObject = file;
  NTSTATUS status = IoCallDriver(device, irp);
  if (pended != nullptr) *pended = status == STATUS_PENDING;
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb->Status;
  }
  return status;
}

TEST_F(KernelCaller, OpensADeviceByNameAndSendsItABuiltRequest) {
  UNICODE_STRING name = name_of(u"\\Device\\ZekTest");
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device), STATUS_SUCCESS);
  EXPECT_EQ(device, file->DeviceObject);
  char in[24] = "a kernel caller", out[8] = {};
  IO_STATUS_BLOCK iosb{};
  // The output holds 8 bytes: no more come back, whatever the driver says.
  EXPECT_EQ(send_built(device, file, testdrv::kEcho, in, sizeof in, out, sizeof out, &iosb), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 8u);
  EXPECT_EQ(std::memcmp(out, "a kernel", 8), 0);
  ObDereferenceObject(file);  // the driver's close follows
  EXPECT_EQ(io_->irps_in_flight(), 0u);
}

TEST_F(KernelCaller, APendedBuiltRequestSignalsItsEventWhenAnotherRequestCompletesIt) {
  UNICODE_STRING name = name_of(u"\\DosDevices\\zektest");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE handle = nullptr;
  IO_STATUS_BLOCK open_status{};
  ASSERT_EQ(ZwCreateFile(&handle, FILE_ALL_ACCESS, &attributes, &open_status, nullptr, 0,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0, nullptr, 0),
            STATUS_SUCCESS);
  PVOID object = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &object, nullptr), STATUS_SUCCESS);
  auto* file = static_cast<PFILE_OBJECT>(object);
  PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file);

  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  testdrv::Key key{0x78};
  std::uint64_t out = 0;
  IO_STATUS_BLOCK iosb{};
  PIRP irp =
      IoBuildDeviceIoControlRequest(testdrv::kPend, device, &key, sizeof key, &out, sizeof out, FALSE, &event, &iosb);
  IoGetNextIrpStackLocation(irp)->FileObject = file;
  ASSERT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
  EXPECT_EQ(KeReadStateEvent(&event), 0);

  testdrv::CompleteRequest complete{0x78, 0x1234, STATUS_SUCCESS, 0};
  std::uint32_t count = 0;
  IO_STATUS_BLOCK other{};
  EXPECT_EQ(send_built(device, file, testdrv::kComplete, &complete, sizeof complete, &count, sizeof count, &other),
            STATUS_SUCCESS);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 8u);
  EXPECT_EQ(out, 0x1234u);
  ObDereferenceObject(file);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

TEST_F(KernelCaller, ARequestCancelledBeforeItIsQueuedCompletesCancelledAtOnce) {
  UNICODE_STRING name = name_of(u"\\Device\\zektest");
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device), STATUS_SUCCESS);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  testdrv::Key key{6};
  std::uint64_t out = 0;
  IO_STATUS_BLOCK iosb{};
  PIRP irp =
      IoBuildDeviceIoControlRequest(testdrv::kPend, device, &key, sizeof key, &out, sizeof out, FALSE, &event, &iosb);
  IoGetNextIrpStackLocation(irp)->FileObject = file;
  EXPECT_FALSE(IoCancelIrp(irp));  // no cancel routine yet: only the flag
  IoCallDriver(device, irp);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
  ObDereferenceObject(file);
}

TEST_F(KernelCaller, NamesResolveThroughLinksAndCollide) {
  UNICODE_STRING device_name = name_of(u"\\Device\\zektest");
  UNICODE_STRING second = name_of(u"\\GLOBAL??\\zekalias");
  UNICODE_STRING third = name_of(u"\\??\\zekalias2");
  ASSERT_EQ(IoCreateSymbolicLink(&second, &device_name), STATUS_SUCCESS);
  EXPECT_EQ(IoCreateSymbolicLink(&second, &device_name), STATUS_OBJECT_NAME_COLLISION);
  ASSERT_EQ(IoCreateSymbolicLink(&third, &second), STATUS_SUCCESS);  // a link to a link
  std::uint64_t file = 0;
  EXPECT_EQ(io_->user_open(caller(), "ZEKALIAS2", 0, 0, false, &file), STATUS_SUCCESS);
  EXPECT_EQ(io_->user_close(caller(), file), STATUS_SUCCESS);
  PDEVICE_OBJECT duplicate = nullptr;
  EXPECT_EQ(IoCreateDevice(driver_, 0, &device_name, FILE_DEVICE_UNKNOWN, 0, FALSE, &duplicate),
            STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(duplicate, nullptr);
  EXPECT_EQ(IoDeleteSymbolicLink(&third), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&third), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(io_->user_open(caller(), "zekalias2", 0, 0, false, &file), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(IoDeleteSymbolicLink(&second), STATUS_SUCCESS);
  PFILE_OBJECT f = nullptr;
  PDEVICE_OBJECT d = nullptr;
  UNICODE_STRING missing = name_of(u"\\Device\\nothing");
  EXPECT_EQ(IoGetDeviceObjectPointer(&missing, 0, &f, &d), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(KernelCaller, AnUnnamedDeviceWithAnExtensionIsZeroedAndDeletedWithItsDriver) {
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver_, 100, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  auto* extension = static_cast<unsigned char*>(device->DeviceExtension);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(extension[i], 0);
  EXPECT_EQ(driver_->DeviceObject, device);  // newest first
  // The driver's unload does not know it: the I/O manager deletes it at unload (the fixture's leak check).
}

struct WorkRecord {
  KEVENT done;
  KIRQL irql;
  PDEVICE_OBJECT device;
  PVOID context;
};

void work_routine(PDEVICE_OBJECT device, PVOID context) {
  auto* record = static_cast<WorkRecord*>(context);
  record->irql = KeGetCurrentIrql();
  record->device = device;
  KeSetEvent(&record->done, IO_NO_INCREMENT, FALSE);
}

TEST_F(KernelCaller, WorkItemsRunAtPassiveLevelOnAWorkerThread) {
  WorkRecord record{};
  KeInitializeEvent(&record.done, NotificationEvent, FALSE);
  PDEVICE_OBJECT device = driver_->DeviceObject;
  PIO_WORKITEM item = IoAllocateWorkItem(device);
  ASSERT_NE(item, nullptr);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);  // queued from a DPC-level caller
  IoQueueWorkItem(item, &work_routine, DelayedWorkQueue, &record);
  KeLowerIrql(old);
  ASSERT_EQ(KeWaitForSingleObject(&record.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  kernel().workers().drain();
  EXPECT_EQ(record.irql, PASSIVE_LEVEL);
  EXPECT_EQ(record.device, device);
  IoFreeWorkItem(item);
}

}  // namespace
