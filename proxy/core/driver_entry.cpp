// The driver's entry and unload: the node name, the control device and its
// DOS name, the pended-request queue, the saved registry path, the
// driver-wide locks and the libraries.
//
// Only the control device, the queue and the registry path can fail the
// load. A failed library initialisation is logged and the driver stays
// loaded: the log requests still work (they show why), every other request
// is refused as not ready. Unload walks the extension's flags backwards, so a
// partial start is torn down to exactly what was built.
#include <cstring>

#include "platform/kernel/io/usermem.h"
#include "proxy/core/async_events.h"
#include "proxy/core/fault_injection.h"
#include "proxy/core/zpx.h"

ZpxDeviceExtension* g_ZpxExtension;
CHAR g_ZpxNodeName[ZPX_NODE_NAME_MAX + 8];
ULONG g_ZpxNodeNameLength;
OSPrimSpinlockObject g_ZpxStackLock;
OSPrimSpinlockObject g_ZpxManagerLock;
ZpxFaultStep g_ZpxInjectedFault;
ULONG g_ZpxFaultAfter;

namespace {

constexpr const char* kBuildLabel = "VORLA BUILD 0";
constexpr const char* kRevision = "1.0.0.0";
constexpr const char* kBuildId = "zekproxy";
constexpr const char* kSuffix = "_IWARP";
constexpr const WCHAR* kComputerNameKey =
    u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName";

void print_banner() {
  DbgPrint("ZEKPROXY:Built On %s %s\n", __DATE__, __TIME__);
  DbgPrint("    %s    \n", kBuildLabel);
  DbgPrint("ZEK_TIMESTAMP_REVISION = [%s]\n", kRevision);
  DbgPrint("ZEK_TIMESTAMP_BUILD    = [%s]\n", kBuildId);
  DbgPrint("ZEK_TIMESTAMP_STRING   = [%s %s]\n", __DATE__, __TIME__);
}

// The node name: the computer name and "_IWARP". Any failure leaves it empty
// and is not reported.
void read_node_name() {
  g_ZpxNodeNameLength = 0;
  std::memset(g_ZpxNodeName, 0, sizeof g_ZpxNodeName);
  static const WCHAR kEmpty[32] = {};
  UNICODE_STRING name{};
  RTL_QUERY_REGISTRY_TABLE query[2] = {};
  query[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
  query[0].Name = const_cast<PWSTR>(u"ComputerName");
  query[0].EntryContext = &name;
  query[0].DefaultType = REG_SZ;
  query[0].DefaultData = const_cast<WCHAR*>(kEmpty);
  query[0].DefaultLength = sizeof kEmpty;
  const NTSTATUS status =
      RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, kComputerNameKey, query, nullptr, nullptr);
  if (!NT_SUCCESS(status)) return;
  ANSI_STRING ansi{};
  if (NT_SUCCESS(RtlUnicodeStringToAnsiString(&ansi, &name, TRUE))) {
    if (ansi.Length >= 1 && ansi.Length <= ZPX_NODE_NAME_MAX) {
      std::memcpy(g_ZpxNodeName, ansi.Buffer, ansi.Length);
      std::memcpy(g_ZpxNodeName + ansi.Length, kSuffix, std::strlen(kSuffix));
      g_ZpxNodeNameLength = ansi.Length + static_cast<ULONG>(std::strlen(kSuffix));
    }
    RtlFreeAnsiString(&ansi);
  }
  RtlFreeUnicodeString(&name);
}

NTSTATUS save_registry_path(ZpxDeviceExtension* extension, PUNICODE_STRING path) {
  const USHORT bytes = static_cast<USHORT>(path->Length + sizeof(WCHAR));
  void* copy = ZpxFaultAt(ZpxFaultStep::SaveRegistryPath)
                   ? nullptr
                   : ExAllocatePoolWithTag(PagedPool, bytes, ZPX_REGISTRY_PATH_TAG);
  if (copy == nullptr) {
    ZEK_LOG_FAILURE("ZpxSaveRegistryPath: ExAllocatePoolWithTag failed");
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  std::memset(copy, 0, bytes);
  std::memcpy(copy, path->Buffer, path->Length);
  extension->RegistryPath.Buffer = static_cast<PWSTR>(copy);
  extension->RegistryPath.Length = path->Length;
  extension->RegistryPath.MaximumLength = bytes;
  extension->RegistryPathSaved = TRUE;
  return STATUS_SUCCESS;
}

// Brings up the libraries; on failure the driver stays loaded with them down.
void init_libraries(ZpxDeviceExtension* extension) {
  const ZekStatus status = ZEK_common_init();
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("ZpxInitLibraries: ZEK_common_init return failure \n");
    ZEK_LOG_FAILURE("DriverEntry:ZpxInitLibraries returned ZekResult  (0x%x)\n", ZEK_STATUS_FAIL);
    return;
  }
  extension->LibrariesInitialized = TRUE;
}

NTSTATUS entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  print_banner();
  read_node_name();

  driver->DriverUnload = &ZpxSanUnload;
  driver->MajorFunction[IRP_MJ_CREATE] = &ZpxDispatchCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = &ZpxDispatchClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = &ZpxDispatchDeviceControl;
  driver->MajorFunction[IRP_MJ_CLEANUP] = &ZpxDispatchCleanup;

  PDEVICE_OBJECT device = ZpxCreateDeviceObject(driver);
  if (device == nullptr) {
    ZEK_LOG_FAILURE("DriverEntry:ZpxCreateDeviceObject coldn't create device object\n");
    return STATUS_UNSUCCESSFUL;
  }
  auto* extension = static_cast<ZpxDeviceExtension*>(device->DeviceExtension);
  g_ZpxExtension = extension;
  extension->DeviceObject = device;
  InitializeListHead(&extension->IrpList);
  KeInitializeSpinLock(&extension->IrpListLock);
  NTSTATUS status = ZpxFaultAt(ZpxFaultStep::CsqInitialize)
                        ? STATUS_INSUFFICIENT_RESOURCES
                        : IoCsqInitializeEx(&extension->Csq, &ZpxCsqInsertIrp, &ZpxCsqRemoveIrp, &ZpxCsqPeekNextIrp,
                                            &ZpxCsqAcquireLock, &ZpxCsqReleaseLock, &ZpxCsqCompleteCanceledIrp);
  if (!NT_SUCCESS(status)) {
    ZEK_LOG_FAILURE("DriverEntry:IoCsqInitialize returned ntStatus (0x%x)\n", static_cast<unsigned>(status));
    ZpxDeleteDeviceObject(device);
    return status;
  }
  status = save_registry_path(extension, registry_path);
  if (!NT_SUCCESS(status)) {
    ZEK_LOG_FAILURE("DriverEntry:ZpxSaveRegistryPath returned ntStatus (0x%x)\n", static_cast<unsigned>(status));
    ZpxDeleteDeviceObject(device);
    return status;
  }

  OSPrimSyncInitSpinlockObject(&g_ZpxStackLock);
  OSPrimSyncInitSpinlockObject(&g_ZpxManagerLock);
  init_libraries(extension);
  OSPrimMemoryLogging("DriverEntry: %s started, node name [%s], libraries %s\n", ZPX_MODULE_NAME, g_ZpxNodeName,
                      extension->LibrariesInitialized ? "initialised" : "not initialised");
  // The TDI client; a failure is logged and the driver stays loaded.
  extension->TdiRegistered = TRUE;
  if (!NT_SUCCESS(ZpxTdiRegister())) extension->TdiRegistered = FALSE;
  // The asynchronous-event thread, its wake-up event, pending list and the
  // QP-destroy lock; a failure is logged and the driver stays loaded.
  if (KeGetCurrentIrql() == PASSIVE_LEVEL && NT_SUCCESS(ZpxStartAsyncEvents())) extension->AeqStarted = TRUE;
  return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  try {
    return entry(DriverObject, RegistryPath);
  } catch (const plat::SehException& e) {
    ZEK_LOG_FAILURE("Zekproxy: Driverentry Exception %xh \n", static_cast<unsigned>(e.code));
    return e.code;
  }
}

PDEVICE_OBJECT ZpxCreateDeviceObject(PDRIVER_OBJECT DriverObject) {
  UNICODE_STRING device_name;
  RtlInitUnicodeString(&device_name, ZPX_DEVICE_NAME);
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = ZpxFaultAt(ZpxFaultStep::CreateDevice)
                        ? STATUS_INSUFFICIENT_RESOURCES
                        : IoCreateDevice(DriverObject, sizeof(ZpxDeviceExtension), &device_name, FILE_DEVICE_UNKNOWN,
                                         FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) {
    ZEK_LOG_FAILURE("ZpxCreateDeviceObject: IoCreateDevice failed ntStatus (0x%x)\n", static_cast<unsigned>(status));
    return nullptr;
  }
  auto* extension = static_cast<ZpxDeviceExtension*>(device->DeviceExtension);
  std::memset(extension, 0, sizeof *extension);
  extension->DeviceCreated = TRUE;
  UNICODE_STRING link_name;
  RtlInitUnicodeString(&link_name, ZPX_LINK_NAME);
  status = ZpxFaultAt(ZpxFaultStep::CreateLink) ? STATUS_INSUFFICIENT_RESOURCES
                                                : IoCreateSymbolicLink(&link_name, &device_name);
  if (!NT_SUCCESS(status)) {
    // The device is still usable by its own name.
    ZEK_LOG_FAILURE("ZpxCreateDeviceObject: IoCreateSymbolicLink  failed ntStatus (0x%x)\n",
                    static_cast<unsigned>(status));
  } else {
    extension->LinkCreated = TRUE;
  }
  return device;
}

namespace {

// Requests still queued when the driver goes (kernel-mode callers' ones:
// user processes have gone, and their requests with them) end cancelled.
void cancel_queued(ZpxDeviceExtension* extension) {
  while (PIRP irp = IoCsqRemoveNextIrp(&extension->Csq, nullptr)) {
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

}  // namespace

void ZpxDeleteDeviceObject(PDEVICE_OBJECT DeviceObject) {
  if (DeviceObject == nullptr) return;
  auto* extension = static_cast<ZpxDeviceExtension*>(DeviceObject->DeviceExtension);
  // The adapters are detached first, which closes the record slots through
  // which the miniport's DPC queues events; then the event thread stops,
  // before anything it may reach is torn down.
  if (extension->TdiRegistered) {
    PxSanpAlDestroy();
    extension->TdiRegistered = FALSE;
  }
  if (extension->AeqStarted) {
    ZpxStopAsyncEvents();
    extension->AeqStarted = FALSE;
  }
  if (extension->Csq.CsqPeekNextIrp != nullptr) cancel_queued(extension);
  if (extension->LibrariesInitialized) {
    ZpxDestroyCleanupContextPool();
    ZEK_common_cleanup(ZPX_MODULE_NAME);
    extension->LibrariesInitialized = FALSE;
  }
  if (extension->RegistryPathSaved) {
    ExFreePoolWithTag(extension->RegistryPath.Buffer, ZPX_REGISTRY_PATH_TAG);
    extension->RegistryPath = UNICODE_STRING{};
    extension->RegistryPathSaved = FALSE;
  }
  if (extension->LinkCreated) {
    UNICODE_STRING link_name;
    RtlInitUnicodeString(&link_name, ZPX_LINK_NAME);
    IoDeleteSymbolicLink(&link_name);
    extension->LinkCreated = FALSE;
  }
  if (extension->DeviceCreated) {
    extension->DeviceCreated = FALSE;
    if (g_ZpxExtension == extension) g_ZpxExtension = nullptr;
    IoDeleteDevice(DeviceObject);
  }
}

void ZpxSanUnload(PDRIVER_OBJECT DriverObject) {
  try {
    ZpxDeleteDeviceObject(DriverObject->DeviceObject);
  } catch (const plat::SehException& e) {
    ZEK_LOG_FAILURE("ZpxSanUnload: Exception %xh \n", static_cast<unsigned>(e.code));
  }
}
