// ZpxProcessSanIoctl: the control device's request dispatcher.
//
// Every code the driver knows is in ZekIoctlTable with its family and
// record size. Before a handler runs, the dispatcher refuses what it must
// not serve:
//   - a code it does not know, or of a family not in the driver yet:
//     STATUS_NOT_SUPPORTED;
//   - a kernel-only request (records with kernel addresses, routine tables)
//     from user mode: STATUS_ACCESS_DENIED;
//   - anything but the log requests while the libraries are down:
//     STATUS_DEVICE_NOT_READY;
//   - buffers shorter than the code's record: STATUS_BUFFER_TOO_SMALL.
// Handlers then read and write a record of their full size in the system
// buffer, and the byte count never exceeds the output length.
#include "proxy/core/zpx.h"

#include "platform/kernel/io/usermem.h"
#include "proxy/core/notify.h"
#include "proxy/core/verbs_requests.h"
#include "proxy/rdma/hw/mcrq.h"

namespace {

// What a family's requests need of the request buffers.
struct Sizes {
  ULONG input;
  ULONG output;
};

// Families served by the driver today.
bool is_served(ZekIoctlFamily family) {
  switch (family) {
    case ZekIoctlFamily::CLEANUP_CONTEXT:
    case ZekIoctlFamily::KERNEL_VERBS_TABLE:
    case ZekIoctlFamily::LOG:
    case ZekIoctlFamily::MANAGEMENT:
    case ZekIoctlFamily::PROCESS_CLEANUP:
    case ZekIoctlFamily::ND_QUEUE:
    case ZekIoctlFamily::EVENT_SLOT:
    case ZekIoctlFamily::ADDRESS_LIST:
    case ZekIoctlFamily::SOCKET_USER:
    case ZekIoctlFamily::SOCKET_COMBINED:
    case ZekIoctlFamily::SOCKET_KERNEL:
    case ZekIoctlFamily::SOCKET_TABLE:
    case ZekIoctlFamily::HARDWARE_OBJECTS:
    case ZekIoctlFamily::MCRQ:
    case ZekIoctlFamily::VERBS:
    case ZekIoctlFamily::VERBS_USER_ACCESS:
    case ZekIoctlFamily::ND_VERBS:
      return true;
    default:
      return false;
  }
}

Sizes sizes_of(const ZekIoctlInfo& info) {
  switch (info.code) {
    case IOCTL_ZEK_CLEAR_LOG_BUF:  // reads nothing
      return {0, ZEK_CLEAR_LOG_BUF_BYTES_RETURNED};
    case IOCTL_ZEK_IWARP_GET_KERNEL_VERBS:
      return {0, sizeof(ZekRoutineTableRecord)};
    case IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION:
    case IOCTL_ZEK_IWARP_NDI_WAIT_ON_CONNECTION_REQUEST:
      return {sizeof(ZekNdWaitRecord), 0};
    case IOCTL_ZEK_IWARP_CANCEL_COMPLETION_NOTIFICATION:
      return {sizeof(ZekNdCancelNotificationRecord), ZEK_ND_CANCEL_NOTIFICATION_BYTES_RETURNED};
    case IOCTL_ZEK_GET_SAN_ADDRESS_LIST:  // the handler checks its output length
      return {0, 0};
    case IOCTL_ZEK_GET_SOCKET_TABLE:
      return {0, sizeof(ZekRoutineTableRecord)};
    case IOCTL_ZEK_IWARP_NDI_ASYNC_MR_DEALLOC:  // answers nothing
      return {sizeof(ZekNdAsyncDeallocRecord), 0};
    default:
      return {info.record_bytes, info.record_bytes};
  }
}

NTSTATUS route(PIRP irp, const ZekIoctlInfo& info, void* record, ULONG_PTR* bytes) {
  if (ZpxIsNotifyRequest(info.code)) return ZpxNotifyRequest(irp, info.code, record, bytes);
  switch (info.family) {
    case ZekIoctlFamily::CLEANUP_CONTEXT:
      return ZpxAllocCleanupContext(irp);
    case ZekIoctlFamily::KERNEL_VERBS_TABLE:
      return ZpxGetKernelVerbsTable(record, bytes);
    case ZekIoctlFamily::LOG:
    case ZekIoctlFamily::MANAGEMENT: {
      const NTSTATUS status = ZpxMappedHandlerStatus(CommonMgmtIoctl(record, info.code, bytes));
      if (!NT_SUCCESS(status)) *bytes = 0;
      return status;
    }
    case ZekIoctlFamily::PROCESS_CLEANUP:
      ZpxReleaseProcessIwarpResources(PsGetCurrentProcessId());
      return STATUS_SUCCESS;
    case ZekIoctlFamily::ND_QUEUE:
      switch (info.code) {
        case IOCTL_ZEK_IWARP_CANCEL_COMPLETION_NOTIFICATION:
          return ZekIwarpCancelCompletionNotification(irp, record, bytes);
        case IOCTL_ZEK_IWARP_NDI_COMPLETE_CONNECTION_REQUEST:
          return ZekIwarpCompleteConnectionRequest(irp, record, bytes);
        default:
          return ZpxPendKeyedRequest(irp, record, info.code);
      }
    case ZekIoctlFamily::EVENT_SLOT:
      return ZpxEventSlotRequest(irp, record, info.code, bytes);
    case ZekIoctlFamily::SOCKET_USER:
    case ZekIoctlFamily::SOCKET_COMBINED:
    case ZekIoctlFamily::SOCKET_KERNEL: {
      const NTSTATUS status = ZpxMappedHandlerStatus(ZekCommonTcpipIoctl(record, info.code, bytes));
      if (!NT_SUCCESS(status)) *bytes = 0;
      return status;
    }
    case ZekIoctlFamily::SOCKET_TABLE:
      return ZpxGetSocketTable(record, bytes);
    case ZekIoctlFamily::HARDWARE_OBJECTS: {
      const NTSTATUS status = ZpxMappedHandlerStatus(CommonMifhIoctl(record, info.code, bytes, irp));
      if (!NT_SUCCESS(status)) *bytes = 0;
      return status;
    }
    case ZekIoctlFamily::VERBS:
    case ZekIoctlFamily::VERBS_USER_ACCESS: {
      const NTSTATUS status = ZpxMappedHandlerStatus(CommonIwarpIoctl(record, info.code, bytes, irp));
      if (!NT_SUCCESS(status)) *bytes = 0;
      return status;
    }
    case ZekIoctlFamily::ND_VERBS:
      switch (info.code) {
        case IOCTL_ZEK_IWARP_NDI_ASYNC_MR_NONSHARED:
          return ZekAsyncIwarpAsyncMrNonshared(record, bytes);
        case IOCTL_ZEK_IWARP_NDI_ASYNC_MR_DEALLOC:
          return ZekAsyncIwarpAsyncMrDealloc(record, bytes);
        default:
          return ZekIwarpNotifyDisconnect(irp, record);
      }
    case ZekIoctlFamily::MCRQ: {
      const PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
      if (ZEK_k_mcrq_poll_completion_ioctl(record, info.code, bytes, file) != 0) return STATUS_NOT_SUPPORTED;
      return ZpxMcrqSlotProtocol(irp, record, info.code, bytes);
    }
    case ZekIoctlFamily::ADDRESS_LIST:
      return PxSanpAlCopyList(record, IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength,
                              bytes);
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

// The checks in front of every handler; STATUS_SUCCESS lets the request through.
NTSTATUS admit(PIRP irp, const ZekIoctlInfo& info, ULONG input, ULONG output) {
  if (info.kernel_only && irp->RequestorMode != KernelMode) {
    ZEK_LOG_FAILURE("ZpxProcessSanIoctl: %s (0x%x) refused to a user-mode caller\n", info.name, info.code);
    return STATUS_ACCESS_DENIED;
  }
  if (!is_served(info.family) && !ZpxIsNotifyRequest(info.code)) {
    ZEK_LOG_FAILURE("ZpxProcessSanIoctl: default:\n");
    return STATUS_NOT_SUPPORTED;
  }
  const ZpxDeviceExtension* extension = g_ZpxExtension;
  if (info.family != ZekIoctlFamily::LOG && (extension == nullptr || !extension->LibrariesInitialized)) {
    ZEK_LOG_FAILURE("ZpxProcessSanIoctl: %s (0x%x) refused: the libraries are not initialised\n", info.name, info.code);
    return STATUS_DEVICE_NOT_READY;
  }
  const Sizes sizes = sizes_of(info);
  if (input < sizes.input || output < sizes.output) {
    ZEK_LOG_FAILURE("ZpxProcessSanIoctl: %s (0x%x) buffers in %u out %u, record needs in %u out %u\n", info.name,
                    info.code, input, output, sizes.input, sizes.output);
    return STATUS_BUFFER_TOO_SMALL;
  }
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ZpxMappedHandlerStatus(ULONG Result) {
  if (Result == 0) return STATUS_SUCCESS;
  const auto status = static_cast<NTSTATUS>(Result);
  return NT_ERROR(status) ? status : STATUS_NOT_SUPPORTED;
}

NTSTATUS ZpxProcessSanIoctl(PDEVICE_OBJECT, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG input = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG output = stack->Parameters.DeviceIoControl.OutputBufferLength;
  void* record = Irp->AssociatedIrp.SystemBuffer;
  const ULONG method = METHOD_FROM_CTL_CODE(code);
  if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
    OSPrimMemoryLogging("PxSanIoctl: IOCTL method %d not supported", static_cast<int>(method));
  }

  ULONG_PTR bytes = 0;
  NTSTATUS status;
  try {
    const ZekIoctlInfo* info = ZekIoctlLookup(code);
    if (info == nullptr) {
      ZEK_LOG_FAILURE("ZpxProcessSanIoctl: default:\n");
      status = STATUS_NOT_SUPPORTED;
    } else {
      status = admit(Irp, *info, input, output);
      if (NT_SUCCESS(status)) status = route(Irp, *info, record, &bytes);
    }
  } catch (const plat::SehException& e) {
    ZEK_LOG_FAILURE("Zekproxy: ZpxProcessSanIoctl: Exception %xh on IOCTL %xh\n", static_cast<unsigned>(e.code), code);
    status = e.code;
    bytes = 0;
  }
  if (status == STATUS_PENDING) return status;  // queued: another path completes it
  Irp->IoStatus.Status = status;
  Irp->IoStatus.Information = bytes <= output ? bytes : output;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}
