// The pended-request queue: the cancel-safe queue's callbacks and the
// completion of queued requests by key.
//
// A queued IRP keeps its key kind in DriverContext[1], its key in
// DriverContext[0] and its owner (the id of the process that sent it) in
// DriverContext[2]. A peek context is a ZpxQueueKey; a null peek context
// takes the first IRP whatever its key.
#include <atomic>

#include "proxy/core/zpx.h"

namespace {

std::atomic<ZpxQueueKeyOwnerRoutine> g_key_owner{nullptr};

ZpxDeviceExtension* extension_of(PIO_CSQ csq) { return CONTAINING_RECORD(csq, ZpxDeviceExtension, Csq); }

ULONG kind_of(PIRP irp) { return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[1])); }
ULONG64 key_of(PIRP irp) { return reinterpret_cast<ULONG64>(irp->Tail.Overlay.DriverContext[0]); }
ULONG64 owner_of(PIRP irp) { return reinterpret_cast<ULONG64>(irp->Tail.Overlay.DriverContext[2]); }

bool matches(PIRP irp, const ZpxQueueKey* key) {
  return key == nullptr || (kind_of(irp) == key->Kind && key_of(irp) == key->Key &&
                            (key->Owner == ZPX_ANY_OWNER || owner_of(irp) == key->Owner));
}

PIRP irp_of(LIST_ENTRY* entry) { return CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry); }

}  // namespace

// A parked-request slot (and an adapter's event wait) holds one request: a second one is refused here,
// under the queue's lock, so two parkers cannot both get in. A request
// already being cancelled no longer holds its slot.
NTSTATUS ZpxCsqInsertIrp(PIO_CSQ Csq, PIRP Irp, PVOID InsertContext) {
  const auto* key = static_cast<const ZpxQueueKey*>(InsertContext);
  LIST_ENTRY* head = &extension_of(Csq)->IrpList;
  if (key->Kind == ZPX_QUEUE_SLOT || key->Kind == ZPX_QUEUE_NOTIFY) {
    for (LIST_ENTRY* entry = head->Flink; entry != head; entry = entry->Flink) {
      PIRP queued = irp_of(entry);
      if (matches(queued, key) && !queued->Cancel) return STATUS_INVALID_DEVICE_STATE;
    }
  }
  Irp->Tail.Overlay.DriverContext[0] = reinterpret_cast<PVOID>(key->Key);
  Irp->Tail.Overlay.DriverContext[1] = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(key->Kind));
  Irp->Tail.Overlay.DriverContext[2] = reinterpret_cast<PVOID>(key->Owner);
  InsertTailList(head, &Irp->Tail.Overlay.ListEntry);
  return STATUS_SUCCESS;
}

void ZpxCsqRemoveIrp(PIO_CSQ, PIRP Irp) { RemoveEntryList(&Irp->Tail.Overlay.ListEntry); }

PIRP ZpxCsqPeekNextIrp(PIO_CSQ Csq, PIRP Irp, PVOID PeekContext) {
  LIST_ENTRY* head = &extension_of(Csq)->IrpList;
  const auto* key = static_cast<const ZpxQueueKey*>(PeekContext);
  for (LIST_ENTRY* entry = Irp == nullptr ? head->Flink : Irp->Tail.Overlay.ListEntry.Flink; entry != head;
       entry = entry->Flink) {
    if (matches(irp_of(entry), key)) return irp_of(entry);
  }
  return nullptr;
}

void ZpxCsqAcquireLock(PIO_CSQ Csq, PKIRQL Irql) { KeAcquireSpinLock(&extension_of(Csq)->IrpListLock, Irql); }

void ZpxCsqReleaseLock(PIO_CSQ Csq, KIRQL Irql) { KeReleaseSpinLock(&extension_of(Csq)->IrpListLock, Irql); }

void ZpxCsqCompleteCanceledIrp(PIO_CSQ, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_CANCELLED;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

void ZpxSetQueueKeyOwnerRoutine(ZpxQueueKeyOwnerRoutine Routine) { g_key_owner.store(Routine); }

ULONG64 ZpxCallerOwner() { return reinterpret_cast<ULONG64>(PsGetCurrentProcessId()); }

ULONG64 ZpxQueueKeyOwner(ULONG64 key) {
  const ZpxQueueKeyOwnerRoutine routine = g_key_owner.load();
  return routine == nullptr ? ZPX_ANY_OWNER : routine(key);
}

ULONG ZpxCompleteQueuedIrps(ULONG64 context, ULONG reason, BOOLEAN all) {
  return ZpxCompleteQueuedIrpsOf(ZpxQueueKeyOwner(context), context, reason, all);
}

ULONG ZpxCompleteQueuedIrpsOf(ULONG64 owner, ULONG64 context, ULONG reason, BOOLEAN all) {
  ZpxDeviceExtension* extension = g_ZpxExtension;
  if (context == 0 || extension == nullptr) return 0;
  ZpxQueueKey key{ZPX_QUEUE_CONTEXT, context, owner};
  ULONG completed = 0;
  while (PIRP irp = IoCsqRemoveNextIrp(&extension->Csq, &key)) {
    if (reason == ZPX_COMPLETE_SUCCESS) {
      irp->IoStatus.Status = STATUS_SUCCESS;  // the byte count set when it was queued stays
    } else {
      irp->IoStatus.Status = reason == ZPX_COMPLETE_REFUSED ? STATUS_CONNECTION_REFUSED : STATUS_CANCELLED;
      irp->IoStatus.Information = 0;
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ++completed;
    if (!all) break;
  }
  return completed;
}
