// What a kernel caller inside a host (a test driver) does to get one of the
// proxy driver's routine tables: an internal control request to
// \Device\zekproxy whose answer is the table's address.
#pragma once

#include <cstdint>

#include "include/zek/ioctl.h"
#include "platform/kernel/driver.h"

namespace zektest {

// The table's address, or 0 when the proxy driver is not there or refuses.
inline std::uint64_t proxy_table(ULONG code) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\zekproxy");
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT device = nullptr;
  if (!NT_SUCCESS(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &device))) return 0;
  ZekRoutineTableRecord record{};
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(code, device, nullptr, 0, &record, sizeof record, FALSE, &done, &iosb);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (irp != nullptr) {
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      status = iosb.Status;
    }
  }
  ObDereferenceObject(file);
  return NT_SUCCESS(status) ? record.Table : 0;
}

}  // namespace zektest
