// The one control device of a test driver that zekhost loads
// (\Device\NAME, reached by user programs as \\.\NAME): creation with its
// DOS name, the requests every such driver passes, completion, removal.
#pragma once

#include "platform/kernel/driver.h"

namespace zektest {

inline NTSTATUS complete_irp(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Create, cleanup and close: nothing to do.
inline NTSTATUS pass_irp(PDEVICE_OBJECT, PIRP irp) { return complete_irp(irp, STATUS_SUCCESS, 0); }

// Creates the device `device_name` (u"\\Device\\NAME") with the DOS name
// `link_name` (u"\\DosDevices\\NAME"), its control requests going to
// `control`, and the driver's unload routine; the device in *device.
inline NTSTATUS create_test_device(PDRIVER_OBJECT driver, const char16_t* device_name, const char16_t* link_name,
                                   PDRIVER_DISPATCH control, PDRIVER_UNLOAD unload, PDEVICE_OBJECT* device) {
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, device_name);
  RtlInitUnicodeString(&link, link_name);
  const NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, device);
  if (!NT_SUCCESS(status)) return status;
  IoCreateSymbolicLink(&link, &name);
  driver->MajorFunction[IRP_MJ_CREATE] = &pass_irp;
  driver->MajorFunction[IRP_MJ_CLEANUP] = &pass_irp;
  driver->MajorFunction[IRP_MJ_CLOSE] = &pass_irp;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = control;
  driver->DriverUnload = unload;
  (*device)->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

inline void delete_test_device(const char16_t* link_name, PDEVICE_OBJECT device) {
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, link_name);
  IoDeleteSymbolicLink(&link);
  IoDeleteDevice(device);
}

}  // namespace zektest
