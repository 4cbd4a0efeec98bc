// Requests the dispatcher serves itself: the event slots, the NetworkDirect
// requests that wait in the pended-request queue, and the kernel verbs
// table.
#include "include/zek/interfaces.h"
#include "include/zek/registry.h"
#include "proxy/core/zpx.h"

namespace {

bool is_bad_key(ULONG64 key) { return key == 0 || key == ZEK_UNINITIALISED_POINTER; }

PIO_CSQ queue() { return &g_ZpxExtension->Csq; }

}  // namespace

// Event slots: a request parks in its slot until a request of the same
// process on the same slot completes it; each process has slots of its own.
// A parked request is in the pended-request queue, so cancelling it
// (CancelIo, its process ending) takes it out of the slot. A slot holds one
// request: parking into an occupied slot, or completing an empty one, is
// refused. A command that is not one of the three completes this request
// with that value only when it is an error status.
NTSTATUS ZpxEventSlotRequest(PIRP Irp, void* Record, ULONG Code, ULONG_PTR* Bytes) {
  auto* record = static_cast<ZekEventSlotRecord*>(Record);
  const ULONG slot = ZekParkedSlotOf(Code);
  ZpxQueueKey key{ZPX_QUEUE_SLOT, slot, ZpxCallerOwner()};
  const ULONG command = record->Command;
  switch (command) {
    case ZEK_EVENT_SLOT_PARK: {
      record->Slot = slot;
      Irp->IoStatus.Information = sizeof(ZekEventSlotRecord);
      Irp->IoStatus.Status = STATUS_PENDING;
      const NTSTATUS status = IoCsqInsertIrpEx(queue(), Irp, nullptr, &key);
      if (!NT_SUCCESS(status)) {
        ZEK_LOG_FAILURE("ZpxEventSlotRequest: slot %u already holds a request\n", slot);
        return status;
      }
      return STATUS_PENDING;
    }
    case ZEK_EVENT_SLOT_SIGNAL:
    case ZEK_EVENT_SLOT_CANCEL: {
      PIRP parked = IoCsqRemoveNextIrp(queue(), &key);
      if (parked == nullptr) {
        ZEK_LOG_FAILURE("ZpxEventSlotRequest: slot %u holds no request\n", slot);
        return STATUS_INVALID_DEVICE_STATE;
      }
      parked->IoStatus.Status = command == ZEK_EVENT_SLOT_SIGNAL ? STATUS_SUCCESS : STATUS_CANCELLED;
      parked->IoStatus.Information = 0;
      IoCompleteRequest(parked, IO_NO_INCREMENT);
      *Bytes = sizeof(ZekEventSlotRecord);
      return STATUS_SUCCESS;
    }
    default:
      if (NT_ERROR(command)) return static_cast<NTSTATUS>(command);
      ZEK_LOG_FAILURE("ZpxEventSlotRequest: slot %u command 0x%x is not an error status\n", slot, command);
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS ZpxMcrqSlotProtocol(PIRP Irp, void* Record, ULONG Code, ULONG_PTR* Bytes) {
  const ULONG command = static_cast<const ZekEventSlotRecord*>(Record)->Command;
  const ULONG slot = ZekParkedSlotOf(Code);
  if (command == ZEK_EVENT_SLOT_PARK) {
    const ULONG_PTR bytes = *Bytes;
    const NTSTATUS status = ZpxEventSlotRequest(Irp, Record, Code, Bytes);
    if (status != STATUS_PENDING) *Bytes = bytes;
    return status == STATUS_PENDING ? status : STATUS_SUCCESS;
  }
  if (command == ZEK_EVENT_SLOT_SIGNAL || command == ZEK_EVENT_SLOT_CANCEL) {
    ZpxQueueKey key{ZPX_QUEUE_SLOT, slot, ZpxCallerOwner()};
    if (PIRP parked = IoCsqRemoveNextIrp(queue(), &key)) {
      parked->IoStatus.Status = command == ZEK_EVENT_SLOT_SIGNAL ? STATUS_SUCCESS : STATUS_CANCELLED;
      parked->IoStatus.Information = 0;
      IoCompleteRequest(parked, IO_NO_INCREMENT);
    }
  }
  return STATUS_SUCCESS;
}

// A completion notification or a connection wait: the request waits under
// the record's key until ZpxCompleteQueuedIrps completes it, or it is
// cancelled. A key whose object belongs to another process is refused.
NTSTATUS ZpxPendKeyedRequest(PIRP Irp, void* Record, ULONG Code) {
  const bool notification = Code == IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION;
  if (ZekIsBadPointer(Record)) {
    ZEK_LOG_FAILURE(notification ? "IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION: pParm is NULL\n"
                                 : "IOCTL_ZEK_IWARP_NDI_WAIT_ON_CONNECTION_REQUEST: pParm is NULL\n");
    return STATUS_UNSUCCESSFUL;
  }
  const ULONG64 key = static_cast<const ZekNdWaitRecord*>(Record)->Key;
  if (is_bad_key(key)) {
    ZEK_LOG_FAILURE(notification ? "IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION: CQHandle\n"
                                 : "IOCTL_ZEK_IWARP_NDI_WAIT_ON_CONNECTION_REQUEST: bad ConnectionHandle\n");
    return STATUS_UNSUCCESSFUL;
  }
  const ULONG64 caller = ZpxCallerOwner();
  const ULONG64 owner = ZpxQueueKeyOwner(key);
  if (owner != ZPX_ANY_OWNER && owner != caller) {
    ZEK_LOG_FAILURE(
        "%s: key 0x%llx belongs to another process\n",
        notification ? "IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION" : "IOCTL_ZEK_IWARP_NDI_WAIT_ON_CONNECTION_REQUEST",
        static_cast<unsigned long long>(key));
    return STATUS_ACCESS_DENIED;
  }
  Irp->IoStatus.Information = 0;
  ZpxQueueKey queue_key{ZPX_QUEUE_CONTEXT, key, caller};
  const NTSTATUS status = IoCsqInsertIrpEx(queue(), Irp, nullptr, &queue_key);
  return NT_SUCCESS(status) ? STATUS_PENDING : status;
}

NTSTATUS ZekIwarpCancelCompletionNotification(PIRP, void* Record, ULONG_PTR* Bytes) {
  if (ZekIsBadPointer(Record)) {
    ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_CANCEL_COMPLETION_NOTIFICATION: pParm is NULL\n");
    return STATUS_UNSUCCESSFUL;
  }
  if (ZekIsBadPointer(Bytes)) {
    ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_CANCEL_COMPLETION_NOTIFICATION: pBytesReturned\n");
    return STATUS_UNSUCCESSFUL;
  }
  auto* record = static_cast<ZekNdCancelNotificationRecord*>(Record);
  if (is_bad_key(record->CQHandle)) {
    ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_CANCEL_COMPLETION_NOTIFICATION: CQHandle\n");
    return STATUS_UNSUCCESSFUL;
  }
  ZpxCompleteQueuedIrpsOf(ZpxCallerOwner(), record->CQHandle, 1, TRUE);  // the caller's own waits only
  record->Status = 0;
  *Bytes = ZEK_ND_CANCEL_NOTIFICATION_BYTES_RETURNED;
  return STATUS_SUCCESS;
}

NTSTATUS ZekIwarpCompleteConnectionRequest(PIRP, void* Record, ULONG_PTR* Bytes) {
  if (ZekIsBadPointer(Record)) {
    ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_NDI_COMPLETE_CONNECTION_REQUEST: pParm is NULL\n");
    return STATUS_UNSUCCESSFUL;
  }
  if (ZekIsBadPointer(Bytes)) {
    ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_NDI_COMPLETE_CONNECTION_REQUEST: pBytesReturned\n");
    return STATUS_UNSUCCESSFUL;
  }
  const auto* record = static_cast<const ZekNdCompleteConnectionRecord*>(Record);
  if (!is_bad_key(record->ConnectionHandle)) {
    ZpxCompleteQueuedIrpsOf(ZpxCallerOwner(), record->ConnectionHandle, record->Status, FALSE);
  }
  *Bytes = sizeof(ZekNdCompleteConnectionRecord);
  return STATUS_SUCCESS;
}

// The kernel verbs table, as the verbs registered it with the interface
// manager; without it the request is not supported.
NTSTATUS ZpxGetKernelVerbsTable(void* Record, ULONG_PTR* Bytes) {
  void* table = nullptr;
  if (ZEK_GetInterface(IWARP_KERNEL_VERBS_INTERFACE, &table) != ZEK_STATUS_PASS || table == nullptr) {
    return STATUS_NOT_SUPPORTED;
  }
  static_cast<ZekRoutineTableRecord*>(Record)->Table = reinterpret_cast<std::uint64_t>(table);
  *Bytes = sizeof(ZekRoutineTableRecord);
  return STATUS_SUCCESS;
}
