// The control device's IRP routines: create, cleanup, close and device
// control.
//
// A handle's file object carries, in its first context word, either an
// empty list head (the pair points at itself) or, once the process asked for
// one, its clean-up context. Cleanup of the last handle releases what the
// recorded process holds in the driver.
#include <atomic>

#include "proxy/core/zpx.h"
#include "proxy/rdma/hw/mcrq.h"

namespace {

NTSTATUS complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void make_empty_list_head(PFILE_OBJECT file) {
  file->FsContext = &file->FsContext;
  file->FsContext2 = &file->FsContext;
}

}  // namespace

NTSTATUS ZpxDispatchCreate(PDEVICE_OBJECT, PIRP Irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  if (file != nullptr) make_empty_list_head(file);
  return complete(Irp, STATUS_SUCCESS);
}

NTSTATUS ZpxDispatchClose(PDEVICE_OBJECT, PIRP Irp) { return complete(Irp, STATUS_SUCCESS); }

// Runs in the context of the closing process (or of the host, for a process
// that has gone). The multicast receive queues a handle owns are closed here
// too once that service is in the driver.
NTSTATUS ZpxDispatchCleanup(PDEVICE_OBJECT, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  ZEK_k_mcrq_close_file(file);  // the multicast receive queues opened on this handle
  if (ZpxResourceCleanupContext* context = ZpxCleanupContextOf(file)) {
    ZpxReleaseProcessResources(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(context->ProcessId)));
    make_empty_list_head(file);
    mifh_free_rsrc_cleanup_context_buffer(context);
  }
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS ZpxDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return ZpxProcessSanIoctl(DeviceObject, Irp);
}

namespace {

std::atomic<ZpxProcessCleanupRoutine> g_process_cleanup[ZPX_PROCESS_RESOURCE_KINDS];

void release(ZpxProcessResourceKind kind, HANDLE process) {
  if (ZpxProcessCleanupRoutine routine = g_process_cleanup[kind].load(std::memory_order_acquire)) routine(process);
}

}  // namespace

void ZpxSetProcessCleanupRoutine(ZpxProcessResourceKind Kind, ZpxProcessCleanupRoutine Routine) {
  if (Kind < ZPX_PROCESS_RESOURCE_KINDS) g_process_cleanup[Kind].store(Routine, std::memory_order_release);
}

void ZpxReleaseProcessIwarpResources(HANDLE ProcessId) { release(ZPX_PROCESS_IWARP, ProcessId); }

void ZpxReleaseProcessResources(HANDLE ProcessId) {
  release(ZPX_PROCESS_IWARP, ProcessId);
  release(ZPX_PROCESS_SOCKETS, ProcessId);
}
