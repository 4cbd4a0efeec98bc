// Cancel-safe queues. The queue's own lock (the driver's callbacks) guards
// the queue; the cancel routine that the queue installs on each IRP
// decides, through the IRP's cancel-routine word, whether a canceller or a
// remover owns an IRP.
#include "platform/kernel/fault.h"
#include "platform/kernel/io/io.h"

namespace {

constexpr ULONG kCsqType = 1;
constexpr ULONG kCsqTypeEx = 2;
constexpr ULONG kCsqContextType = 3;

// The IRP's last driver-context word points at the queue, or at the
// caller's insert context record (which points at the queue).
PIO_CSQ csq_of(PIRP irp) {
  auto* word = static_cast<ULONG*>(irp->Tail.Overlay.DriverContext[3]);
  if (word == nullptr) return nullptr;
  if (*word == kCsqContextType) return reinterpret_cast<PIO_CSQ_IRP_CONTEXT>(word)->Csq;
  return reinterpret_cast<PIO_CSQ>(word);
}

void detach_context(PIRP irp) {
  auto* word = static_cast<ULONG*>(irp->Tail.Overlay.DriverContext[3]);
  if (word != nullptr && *word == kCsqContextType) reinterpret_cast<PIO_CSQ_IRP_CONTEXT>(word)->Irp = nullptr;
  irp->Tail.Overlay.DriverContext[3] = nullptr;
}

void csq_cancel_routine(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  PIO_CSQ csq = csq_of(irp);
  KIRQL irql;
  csq->CsqAcquireLock(csq, &irql);
  csq->CsqRemoveIrp(csq, irp);
  detach_context(irp);
  csq->CsqReleaseLock(csq, irql);
  csq->CsqCompleteCanceledIrp(csq, irp);
}

NTSTATUS insert(PIO_CSQ csq, PIRP irp, PIO_CSQ_IRP_CONTEXT context, PVOID insert_context) {
  KIRQL irql;
  csq->CsqAcquireLock(csq, &irql);
  NTSTATUS status = STATUS_SUCCESS;
  if (csq->Type == kCsqTypeEx) {
    status = reinterpret_cast<PIO_CSQ_INSERT_IRP_EX>(csq->CsqInsertIrp)(csq, irp, insert_context);
  } else {
    reinterpret_cast<PIO_CSQ_INSERT_IRP>(csq->CsqInsertIrp)(csq, irp);
  }
  if (!NT_SUCCESS(status)) {
    csq->CsqReleaseLock(csq, irql);
    return status;
  }
  if (context != nullptr) {
    context->Type = kCsqContextType;
    context->Irp = irp;
    context->Csq = csq;
    irp->Tail.Overlay.DriverContext[3] = context;
  } else {
    irp->Tail.Overlay.DriverContext[3] = csq;
  }
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, &csq_cancel_routine);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    // Cancelled before the routine was in place, and nobody else took it.
    csq->CsqRemoveIrp(csq, irp);
    detach_context(irp);
    csq->CsqReleaseLock(csq, irql);
    csq->CsqCompleteCanceledIrp(csq, irp);
    return STATUS_SUCCESS;
  }
  csq->CsqReleaseLock(csq, irql);
  return STATUS_SUCCESS;
}

NTSTATUS initialize(PIO_CSQ Csq, ULONG type, PVOID insert, PIO_CSQ_REMOVE_IRP remove, PIO_CSQ_PEEK_NEXT_IRP peek,
                    PIO_CSQ_ACQUIRE_LOCK acquire, PIO_CSQ_RELEASE_LOCK release,
                    PIO_CSQ_COMPLETE_CANCELED_IRP complete) {
  if (Csq == nullptr || insert == nullptr || remove == nullptr || peek == nullptr || acquire == nullptr ||
      release == nullptr || complete == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  Csq->Type = type;
  Csq->CsqInsertIrp = insert;
  Csq->CsqRemoveIrp = remove;
  Csq->CsqPeekNextIrp = peek;
  Csq->CsqAcquireLock = acquire;
  Csq->CsqReleaseLock = release;
  Csq->CsqCompleteCanceledIrp = complete;
  Csq->ReservePointer = nullptr;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS IoCsqInitialize(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP CsqInsertIrp, PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                         PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                         PIO_CSQ_RELEASE_LOCK CsqReleaseLock, PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp) {
  return initialize(Csq, kCsqType, reinterpret_cast<PVOID>(CsqInsertIrp), CsqRemoveIrp, CsqPeekNextIrp, CsqAcquireLock,
                    CsqReleaseLock, CsqCompleteCanceledIrp);
}

NTSTATUS IoCsqInitializeEx(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP_EX CsqInsertIrp, PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                           PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                           PIO_CSQ_RELEASE_LOCK CsqReleaseLock, PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp) {
  return initialize(Csq, kCsqTypeEx, reinterpret_cast<PVOID>(CsqInsertIrp), CsqRemoveIrp, CsqPeekNextIrp,
                    CsqAcquireLock, CsqReleaseLock, CsqCompleteCanceledIrp);
}

void IoCsqInsertIrp(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context) { insert(Csq, Irp, Context, nullptr); }

NTSTATUS IoCsqInsertIrpEx(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context, PVOID InsertContext) {
  return insert(Csq, Irp, Context, InsertContext);
}

PIRP IoCsqRemoveNextIrp(PIO_CSQ Csq, PVOID PeekContext) {
  KIRQL irql;
  Csq->CsqAcquireLock(Csq, &irql);
  PIRP irp = Csq->CsqPeekNextIrp(Csq, nullptr, PeekContext);
  while (irp != nullptr) {
    if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
      Csq->CsqRemoveIrp(Csq, irp);
      detach_context(irp);
      break;
    }
    // Being cancelled: its cancel routine will take it out.
    irp = Csq->CsqPeekNextIrp(Csq, irp, PeekContext);
  }
  Csq->CsqReleaseLock(Csq, irql);
  return irp;
}

PIRP IoCsqRemoveIrp(PIO_CSQ Csq, PIO_CSQ_IRP_CONTEXT Context) {
  KIRQL irql;
  Csq->CsqAcquireLock(Csq, &irql);
  PIRP irp = Context != nullptr ? Context->Irp : nullptr;
  if (irp != nullptr) {
    if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
      Csq->CsqRemoveIrp(Csq, irp);
      detach_context(irp);
    } else {
      irp = nullptr;  // being cancelled
    }
  }
  Csq->CsqReleaseLock(Csq, irql);
  return irp;
}
