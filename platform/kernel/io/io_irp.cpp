// IRPs: allocation, the call into a driver, completion and cancellation;
// file objects; kernel-mode callers of other drivers; work items.
#include <dlfcn.h>

#include <algorithm>
#include <cstring>

#include "platform/kernel/fault.h"
#include "platform/kernel/io/io_internal.h"
#include "platform/kernel/io/procmem.h"
#include "platform/kernel/io/usermem.h"
#include "platform/kernel/thread.h"

namespace plat {
namespace {

// The last reference of a file object: the driver's close request (and the
// cleanup request when no handle ever sent it), at PASSIVE_LEVEL.
void finish_file(PFILE_OBJECT file) {
  FileImpl* impl = file_impl(file);
  PDEVICE_OBJECT device = file->DeviceObject;
  if (impl->create_done) {
    if (!impl->cleanup_sent) send_file_request(file, IRP_MJ_CLEANUP);
    send_file_request(file, IRP_MJ_CLOSE);
    device_impl(device)->opens.fetch_sub(1);
  }
  delete impl;
  destroy_object<FILE_OBJECT>(file);
  dereference(device);
}

struct DeferredClose {
  WORK_QUEUE_ITEM item;
  PFILE_OBJECT file;
};

void deferred_close(PVOID context) {
  auto* work = static_cast<DeferredClose*>(context);
  finish_file(work->file);
  delete work;
}

void destroy_file(void* body) {
  auto* file = static_cast<FILE_OBJECT*>(body);
  if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
    // The last request of the file completed at DISPATCH_LEVEL: close later.
    auto* work = new DeferredClose{{}, file};
    ExInitializeWorkItem(&work->item, &deferred_close, work);
    ExQueueWorkItem(&work->item, DelayedWorkQueue);
    return;
  }
  finish_file(file);
}

// The caller's output: Information bytes (never more than the output
// length) on success and warnings, nothing on errors.
ULONG_PTR copy_back_length(PIRP irp, ULONG output_length) {
  if (NT_ERROR(irp->IoStatus.Status)) return 0;
  return std::min<ULONG_PTR>(irp->IoStatus.Information, output_length);
}

// The request's locked pages unlocked, and the request no longer the
// process's in progress.
void unlock_pages_and_forget(PIRP irp, IrpOrigin* origin, UserProcess& process) {
  for (PMDL mdl = irp->MdlAddress; mdl != nullptr; mdl = mdl->Next) {
    if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);  // writes the kernel's changes back first
  }
  std::lock_guard lock(process.requests_mu_);
  if (origin->pending_link.Flink != nullptr) {
    RemoveEntryList(&origin->pending_link);
    origin->pending_link = LIST_ENTRY{};
  }
}

void complete_user(PIRP irp, IrpOrigin* origin) {
  UserProcess& process = *origin->process;
  NTSTATUS status = irp->IoStatus.Status;
  ULONG_PTR information = irp->IoStatus.Information;
  if (origin->method == METHOD_BUFFERED) {
    information = copy_back_length(irp, origin->output_length);
    if (origin->inline_output) {
      // The output travels with the completion; the caller's thread copies it.
      unlock_pages_and_forget(irp, origin, process);
      ProcessLink& link = origin->reply_link ? *origin->reply_link : process.link();
      link.send_complete_inline(
          origin->request, status,
          std::span<const std::byte>(static_cast<const std::byte*>(irp->AssociatedIrp.SystemBuffer), information),
          irp->PendingReturned != FALSE);
      return;
    }
    // The I/O manager's own copy, at whatever IRQL the request completes:
    // not a driver's reach into user memory.
    if (information != 0) {
      if (!process.alive()) {
        // The process's connection has ended (it died, or the host is
        // stopping): its output cannot reach it, so the request did not
        // complete for it.
        status = STATUS_CANCELLED;
        information = 0;
      } else if (!procmem::write(process.pid(), origin->user_output, irp->AssociatedIrp.SystemBuffer, information)) {
        status = STATUS_ACCESS_VIOLATION;
        information = 0;
      }
    }
  } else if (NT_ERROR(status)) {
    information = 0;
  }
  unlock_pages_and_forget(irp, origin, process);
  ProcessLink& link = origin->reply_link ? *origin->reply_link : process.link();
  link.send_complete(origin->request, status, information, irp->PendingReturned != FALSE);
}

void complete_kernel_built(PIRP irp, IrpOrigin* origin) {
  if (origin->method == METHOD_BUFFERED && origin->kernel_output != nullptr) {
    ULONG_PTR n = copy_back_length(irp, origin->output_length);
    if (n != 0) std::memcpy(origin->kernel_output, irp->AssociatedIrp.SystemBuffer, n);
    irp->IoStatus.Information = NT_ERROR(irp->IoStatus.Status) ? irp->IoStatus.Information : n;
  }
  if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
  PKEVENT event = irp->UserEvent;
  release_request(irp);
  if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // namespace

const OBJECT_TYPE kFileObjectType{"File", &destroy_file};

PIRP allocate_request(PDEVICE_OBJECT device, PFILE_OBJECT file, IrpOrigin* origin, KPROCESSOR_MODE mode) {
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  if (irp == nullptr) return nullptr;
  irp->Impl = origin;
  irp->RequestorMode = mode;
  irp->Tail.Overlay.Thread = current_kthread();
  irp->Tail.Overlay.OriginalFileObject = file;
  if (file != nullptr && origin->kind != IrpOrigin::Kind::Internal) reference(file);
  IoManager::current().irps_in_flight_.fetch_add(1);
  return irp;
}

void release_request(PIRP irp) {
  IrpOrigin* origin = origin_of(irp);
  if (origin->refs.fetch_sub(1) != 1) return;
  if (irp->AssociatedIrp.SystemBuffer != nullptr) ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag);
  while (irp->MdlAddress != nullptr) {
    PMDL next = irp->MdlAddress->Next;
    IoFreeMdl(irp->MdlAddress);
    irp->MdlAddress = next;
  }
  PFILE_OBJECT file = irp->Tail.Overlay.OriginalFileObject;
  const bool file_referenced = file != nullptr && origin->kind != IrpOrigin::Kind::Internal;
  delete origin;
  irp->Impl = nullptr;
  IoFreeIrp(irp);
  IoManager::current().irps_in_flight_.fetch_sub(1);
  if (file_referenced) dereference(file);
}

NTSTATUS guarded_call(PDEVICE_OBJECT device, PIRP irp) {
  try {
    return IoCallDriver(device, irp);
  } catch (const SehException& e) {
    IrpOrigin* origin = origin_of(irp);
    DbgPrint("I/O manager: a dispatch routine of %s raised 0x%08x\n",
             to_utf8(view_of(&device->DriverObject->DriverName)).c_str(), static_cast<unsigned>(e.code));
    const bool pended = irp->CurrentLocation <= irp->StackCount &&
                        (IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED) != 0;
    if (origin != nullptr && !origin->completed.load() && !pended) {
      IoSetCancelRoutine(irp, nullptr);
      irp->IoStatus.Status = e.code;
      irp->IoStatus.Information = 0;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return e.code;
  }
}

NTSTATUS send_file_request(PFILE_OBJECT file, UCHAR major, ULONG share_access, ULONG options) {
  PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file);
  auto* origin = new IrpOrigin{IrpOrigin::Kind::Internal};
  KeInitializeEvent(&origin->done, NotificationEvent, FALSE);
  FileImpl* impl = file_impl(file);
  PIRP irp = allocate_request(device, file, origin, impl->process ? UserMode : KernelMode);
  if (irp == nullptr) {
    delete origin;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = major;
  stack->FileObject = file;
  if (major == IRP_MJ_CREATE) {
    stack->Parameters.Create.ShareAccess = static_cast<USHORT>(share_access);
    stack->Parameters.Create.Options = options;
  }
  origin->refs.fetch_add(1);  // ours, until we have read the result
  guarded_call(device, irp);
  KeWaitForSingleObject(&origin->done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = origin->final_status;
  release_request(irp);
  return status;
}

PFILE_OBJECT create_file_object(PDEVICE_OBJECT device, std::shared_ptr<UserProcess> process, bool overlapped) {
  auto* file = create_object<FILE_OBJECT>(kFileObjectType);
  std::memset(file, 0, sizeof *file);
  file->Type = 5;
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = device;
  reference(device);
  file->Flags = overlapped ? 0 : FO_SYNCHRONOUS_IO;
  file->Impl = new FileImpl{std::move(process), overlapped};
  return file;
}

NTSTATUS resolve_and_open(std::u16string_view name, std::shared_ptr<UserProcess> process, bool overlapped,
                          ULONG share_access, ULONG options, PFILE_OBJECT* out) {
  *out = nullptr;
  PDEVICE_OBJECT device = IoManager::current().reference_device(name);
  if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  DeviceImpl* dimpl = device_impl(device);
  if ((device->Flags & DO_EXCLUSIVE) && dimpl->opens.load() > 0) {
    dereference(device);
    return STATUS_ACCESS_DENIED;
  }
  PFILE_OBJECT file = create_file_object(device, std::move(process), overlapped);
  dereference(device);
  NTSTATUS status = send_file_request(file, IRP_MJ_CREATE, share_access, options);
  if (!NT_SUCCESS(status)) {
    dereference(file);  // no close is owed for a refused create
    return status;
  }
  file_impl(file)->create_done = true;
  dimpl->opens.fetch_add(1);
  *out = file;
  return status;
}

}  // namespace plat

using plat::IoManager;
using plat::IrpOrigin;

namespace {
POBJECT_TYPE file_type = const_cast<OBJECT_TYPE*>(&plat::kFileObjectType);
POBJECT_TYPE device_type = const_cast<OBJECT_TYPE*>(&plat::kDeviceObjectType);
}  // namespace

POBJECT_TYPE* IoFileObjectType = &file_type;
POBJECT_TYPE* IoDeviceObjectType = &device_type;

void IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  *next = *current;
  next->Control = 0;
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
  if (StackSize < 1 || StackSize > kIrpMaxStack) {
    plat::fault(SrcLoc::current(), "IoAllocateIrp: %d stack locations (1 to %d supported)", StackSize, kIrpMaxStack);
  }
  auto* irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, sizeof(IRP), plat::kIrpTag));
  if (irp == nullptr) return nullptr;
  std::memset(irp, 0, sizeof *irp);
  irp->Type = 6;
  irp->Size = sizeof(IRP);
  irp->StackCount = StackSize;
  irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = irp->Stack + StackSize;
  InitializeListHead(&irp->ThreadListEntry);
  return irp;
}

void IoFreeIrp(PIRP Irp) { ExFreePoolWithTag(Irp, plat::kIrpTag); }

NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, const SrcLoc& where) {
  if (Irp->CurrentLocation <= 1)
    plat::fault(where, "IoCallDriver(%p): no stack location left", static_cast<void*>(Irp));
  --Irp->CurrentLocation;
  --Irp->Tail.Overlay.CurrentStackLocation;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  stack->DeviceObject = DeviceObject;
  const UCHAR major = stack->MajorFunction;
  PDRIVER_DISPATCH routine = DeviceObject->DriverObject->MajorFunction[major];
  plat::ThreadState& state = plat::this_thread();
  const KIRQL irql = state.irql;
  const int locks = state.spin_locks_held;
  const NTSTATUS status = routine(DeviceObject, Irp);
  // A dispatch routine gives back what it was given: the IRQL and the spin locks.
  if (state.irql != irql || state.spin_locks_held != locks) {
    Dl_info info{};
    const bool named = dladdr(reinterpret_cast<void*>(routine), &info) != 0 && info.dli_sname != nullptr;
    plat::fault(where,
                "dispatch routine %p (%s in %s, major function %u) returned at IRQL %u holding %d spin lock(s); it "
                "was called at IRQL %u holding %d",
                reinterpret_cast<void*>(routine), named ? info.dli_sname : "unnamed",
                info.dli_fname != nullptr ? info.dli_fname : "?", major, state.irql, state.spin_locks_held, irql,
                locks);
  }
  return status;
}

void IoCompleteRequest(PIRP Irp, CCHAR, const SrcLoc& where) {
  if (Irp->CancelRoutine != nullptr) {
    plat::fault(where, "IoCompleteRequest(%p) with a cancel routine still set", static_cast<void*>(Irp));
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    plat::fault(where, "IoCompleteRequest(%p) with STATUS_PENDING", static_cast<void*>(Irp));
  }
  IrpOrigin* origin = plat::origin_of(Irp);
  if (origin != nullptr && origin->completed.exchange(true)) {
    plat::fault(where, "IoCompleteRequest(%p): the request was completed twice", static_cast<void*>(Irp));
  }
  // Unwind the stack, carrying the pending marks up.
  BOOLEAN pending = FALSE;
  while (Irp->CurrentLocation <= Irp->StackCount) {
    if (IoGetCurrentIrpStackLocation(Irp)->Control & SL_PENDING_RETURNED) pending = TRUE;
    IoSkipCurrentIrpStackLocation(Irp);
  }
  Irp->PendingReturned = pending;
  if (origin == nullptr) return;  // an IRP its sender allocated: the sender frees it
  switch (origin->kind) {
    case IrpOrigin::Kind::User:
      plat::complete_user(Irp, origin);
      plat::release_request(Irp);
      break;
    case IrpOrigin::Kind::KernelBuilt:
      plat::complete_kernel_built(Irp, origin);
      break;
    case IrpOrigin::Kind::Internal:
      origin->final_status = Irp->IoStatus.Status;
      origin->final_information = Irp->IoStatus.Information;
      KeSetEvent(&origin->done, IO_NO_INCREMENT, FALSE);
      plat::release_request(Irp);
      break;
  }
}

void IoAcquireCancelSpinLock(PKIRQL Irql, const SrcLoc& where) {
  KeAcquireSpinLock(IoManager::current().cancel_lock(), Irql, where);
}

void IoReleaseCancelSpinLock(KIRQL Irql, const SrcLoc& where) {
  KeReleaseSpinLock(IoManager::current().cancel_lock(), Irql, where);
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  return reinterpret_cast<PDRIVER_CANCEL>(InterlockedExchangePointer(
      reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine), reinterpret_cast<PVOID>(CancelRoutine)));
}

BOOLEAN IoCancelIrp(PIRP Irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
  return TRUE;
}

PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) {
  if (FileObject == nullptr) return nullptr;
  PDEVICE_OBJECT device = FileObject->DeviceObject;
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK, PFILE_OBJECT* FileObject,
                                  PDEVICE_OBJECT* DeviceObject) {
  if (ObjectName == nullptr || FileObject == nullptr || DeviceObject == nullptr) return STATUS_INVALID_PARAMETER;
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    plat::fault(SrcLoc::current(), "IoGetDeviceObjectPointer at IRQL %u", KeGetCurrentIrql());
  }
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = plat::resolve_and_open(plat::view_of(ObjectName), nullptr, false,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN << 24, &file);
  if (!NT_SUCCESS(status)) return status;
  // The handle the open used is closed at once: cleanup follows now, close
  // when the caller drops the file object.
  plat::send_file_request(file, IRP_MJ_CLEANUP);
  plat::file_impl(file)->cleanup_sent = true;
  *FileObject = file;
  *DeviceObject = IoGetRelatedDeviceObject(file);
  return STATUS_SUCCESS;
}

NTSTATUS IoCreateFile(PHANDLE FileHandle, ACCESS_MASK, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER, ULONG, ULONG ShareAccess, ULONG Disposition,
                      ULONG CreateOptions, PVOID, ULONG, int, PVOID, ULONG) {
  if (FileHandle == nullptr || ObjectAttributes == nullptr || ObjectAttributes->ObjectName == nullptr ||
      IoStatusBlock == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    plat::fault(SrcLoc::current(), "IoCreateFile at IRQL %u", KeGetCurrentIrql());
  PFILE_OBJECT file = nullptr;
  const bool overlapped = (CreateOptions & FILE_SYNCHRONOUS_IO_NONALERT) == 0;
  NTSTATUS status = plat::resolve_and_open(plat::view_of(ObjectAttributes->ObjectName), nullptr, overlapped,
                                           ShareAccess, (Disposition << 24) | (CreateOptions & 0xFFFFFF), &file);
  IoStatusBlock->Status = status;
  IoStatusBlock->Information = NT_SUCCESS(status) ? FILE_OPENED : 0;
  if (!NT_SUCCESS(status)) return status;
  *FileHandle = plat::Kernel::current().handles().insert(file);
  plat::dereference(file);  // the handle holds it now
  return status;
}

NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                      ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength) {
  return IoCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, AllocationSize, FileAttributes,
                      ShareAccess, CreateDisposition, CreateOptions, EaBuffer, EaLength, 0, nullptr, 0);
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  if (DeviceObject == nullptr) return nullptr;
  auto* origin = new IrpOrigin{IrpOrigin::Kind::KernelBuilt};
  origin->kernel_output = OutputBuffer;
  origin->output_length = OutputBufferLength;
  origin->method = METHOD_FROM_CTL_CODE(IoControlCode);
  PIRP irp = plat::allocate_request(DeviceObject, nullptr, origin, KernelMode);
  if (irp == nullptr) {
    delete origin;
    return nullptr;
  }
  irp->UserEvent = Event;
  irp->UserIosb = IoStatusBlock;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  bool ok = true;
  switch (origin->method) {
    case METHOD_BUFFERED: {
      const ULONG length = std::max(InputBufferLength, OutputBufferLength);
      if (length != 0) {
        void* buffer = ExAllocatePoolWithTag(NonPagedPool, length, plat::kSystemBufferTag);
        ok = buffer != nullptr;
        if (ok) {
          std::memset(buffer, 0, length);
          if (InputBuffer != nullptr) std::memcpy(buffer, InputBuffer, InputBufferLength);
          irp->AssociatedIrp.SystemBuffer = buffer;
        }
      }
      break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (InputBufferLength != 0 && InputBuffer != nullptr) {
        void* buffer = ExAllocatePoolWithTag(NonPagedPool, InputBufferLength, plat::kSystemBufferTag);
        ok = buffer != nullptr;
        if (ok) {
          std::memcpy(buffer, InputBuffer, InputBufferLength);
          irp->AssociatedIrp.SystemBuffer = buffer;
        }
      }
      if (ok && OutputBufferLength != 0 && OutputBuffer != nullptr) {
        PMDL mdl = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp);
        ok = mdl != nullptr;
        if (ok) MmBuildMdlForNonPagedPool(mdl);
      }
      break;
    default:
      stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
      irp->UserBuffer = OutputBuffer;
      break;
  }
  if (!ok) {
    plat::release_request(irp);
    return nullptr;
  }
  return irp;
}

PEPROCESS IoGetRequestorProcess(PIRP Irp) {
  IrpOrigin* origin = plat::origin_of(Irp);
  if (origin == nullptr || origin->kind != IrpOrigin::Kind::User) return nullptr;
  return origin->process->eprocess();
}

// ---- Work items ----------------------------------------------------------------

struct IO_WORKITEM {
  WORK_QUEUE_ITEM item;
  PDEVICE_OBJECT device;
  PIO_WORKITEM_ROUTINE routine;
  PVOID context;
  LONG queued;
};

namespace {
void run_work_item(PVOID parameter) {
  auto* work = static_cast<IO_WORKITEM*>(parameter);
  PDEVICE_OBJECT device = work->device;
  PIO_WORKITEM_ROUTINE routine = work->routine;
  PVOID context = work->context;
  InterlockedExchange(&work->queued, 0);
  // The routine may free the work item: nothing of it is touched after the call.
  routine(device, context);
  ObDereferenceObject(device);
}
}  // namespace

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  auto* work = static_cast<IO_WORKITEM*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(IO_WORKITEM), plat::kWorkItemTag));
  if (work == nullptr) return nullptr;
  std::memset(work, 0, sizeof *work);
  work->device = DeviceObject;
  return work;
}

void IoFreeWorkItem(PIO_WORKITEM IoWorkItem) { ExFreePoolWithTag(IoWorkItem, plat::kWorkItemTag); }

void IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context, const SrcLoc& where) {
  if (InterlockedExchange(&IoWorkItem->queued, 1) != 0) {
    plat::fault(where, "IoQueueWorkItem(%p): the work item is already queued", static_cast<void*>(IoWorkItem));
  }
  IoWorkItem->routine = WorkerRoutine;
  IoWorkItem->context = Context;
  ObReferenceObject(IoWorkItem->device);
  ExInitializeWorkItem(&IoWorkItem->item, &run_work_item, IoWorkItem);
  ExQueueWorkItem(&IoWorkItem->item, QueueType);
}
