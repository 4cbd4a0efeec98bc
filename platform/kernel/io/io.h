// The I/O manager (platform/kernel/io/), a folder of the kernel image:
//
//   io.h            for drivers: the objects and routines below (this header)
//   mdl.h           memory descriptor lists: kernel memory, register windows
//                   and locked pages of a calling process
//   usermem.h       the calling process's memory: probes and copies
//   usermap.h       pages and register pages mapped into user processes
//   procmem.h       another Linux process's memory by pid, under the above
//   iomgr.h         the host side: devices and DOS names, loaded drivers,
//                   user processes and the requests they send
//   io_internal.h, mdl_internal.h   private to this folder's files
//
// Drivers include platform/kernel/driver.h, which brings these in with the
// kernel core.
//
// I/O manager for drivers: driver and device objects, DOS names, file
// objects, IRPs and their stack locations, completion and cancellation,
// cancel-safe queues, kernel-mode callers of other drivers and work items.
//
// An IRP that comes from a user process runs in that process's context (its
// process and thread ids, PsGetCurrentProcess) on a host thread at
// PASSIVE_LEVEL; a dispatch routine that lets an exception escape (a failed
// probe raises one, see usermem.h) has the request completed with the
// exception's status instead of stopping the host.
#pragma once

#include "platform/common/ioctl.h"
#include "platform/kernel/io/mdl.h"
#include "platform/kernel/nt.h"

struct DRIVER_OBJECT;
struct DEVICE_OBJECT;
struct FILE_OBJECT;
struct IRP;
struct IO_STACK_LOCATION;
using PDRIVER_OBJECT = DRIVER_OBJECT*;
using PDEVICE_OBJECT = DEVICE_OBJECT*;
using PFILE_OBJECT = FILE_OBJECT*;
using PIRP = IRP*;
using PIO_STACK_LOCATION = IO_STACK_LOCATION*;

using PDRIVER_DISPATCH = NTSTATUS (*)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
using PDRIVER_UNLOAD = void (*)(PDRIVER_OBJECT DriverObject);
using PDRIVER_CANCEL = void (*)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
using PDRIVER_INITIALIZE = NTSTATUS (*)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

inline constexpr UCHAR IRP_MJ_CREATE = 0x00;
inline constexpr UCHAR IRP_MJ_CLOSE = 0x02;
inline constexpr UCHAR IRP_MJ_READ = 0x03;
inline constexpr UCHAR IRP_MJ_WRITE = 0x04;
inline constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0e;
inline constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0f;
inline constexpr UCHAR IRP_MJ_CLEANUP = 0x12;
inline constexpr UCHAR IRP_MJ_MAXIMUM_FUNCTION = 0x1b;

inline constexpr ULONG FILE_DEVICE_SECURE_OPEN = 0x00000100;
inline constexpr ULONG DO_BUFFERED_IO = 0x00000004;
inline constexpr ULONG DO_EXCLUSIVE = 0x00000008;
inline constexpr ULONG DO_DIRECT_IO = 0x00000010;
inline constexpr ULONG DO_DEVICE_INITIALIZING = 0x00000080;

inline constexpr CCHAR IO_NO_INCREMENT = 0;
inline constexpr CCHAR IO_NETWORK_INCREMENT = 2;

inline constexpr ACCESS_MASK FILE_ALL_ACCESS = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FF;
inline constexpr ACCESS_MASK FILE_READ_DATA = 0x0001;
inline constexpr ACCESS_MASK FILE_WRITE_DATA = 0x0002;
inline constexpr ACCESS_MASK MAXIMUM_ALLOWED = 0x02000000;
inline constexpr ULONG FILE_SHARE_READ = 0x00000001;
inline constexpr ULONG FILE_SHARE_WRITE = 0x00000002;
inline constexpr ULONG FILE_OPEN = 0x00000001;
inline constexpr ULONG FILE_SYNCHRONOUS_IO_NONALERT = 0x00000020;
inline constexpr ULONG FILE_NON_DIRECTORY_FILE = 0x00000040;
inline constexpr ULONG FILE_ATTRIBUTE_NORMAL = 0x00000080;
inline constexpr ULONG FILE_OPENED = 0x00000001;

struct IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
};
using PIO_STATUS_BLOCK = IO_STATUS_BLOCK*;

struct DRIVER_OBJECT {
  SHORT Type;
  SHORT Size;
  PDEVICE_OBJECT DeviceObject;  // the driver's devices, newest first
  ULONG Flags;
  PVOID DriverStart;
  UNICODE_STRING DriverName;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
  void* Impl;  // the I/O manager's record
};

struct DEVICE_OBJECT {
  SHORT Type;
  USHORT Size;
  LONG ReferenceCount;
  PDRIVER_OBJECT DriverObject;
  PDEVICE_OBJECT NextDevice;
  PDEVICE_OBJECT AttachedDevice;
  PIRP CurrentIrp;
  ULONG Flags;
  ULONG Characteristics;
  PVOID DeviceExtension;
  DEVICE_TYPE DeviceType;
  CCHAR StackSize;
  ULONG AlignmentRequirement;
  void* Impl;
};

struct FILE_OBJECT {
  SHORT Type;
  SHORT Size;
  PDEVICE_OBJECT DeviceObject;
  PVOID FsContext;  // the driver's context words
  PVOID FsContext2;
  PVOID Vpb;
  BOOLEAN DeletePending;
  BOOLEAN SharedRead;
  BOOLEAN SharedWrite;
  ULONG Flags;
  UNICODE_STRING FileName;
  void* Impl;
};

inline constexpr ULONG FO_SYNCHRONOUS_IO = 0x00000002;

extern POBJECT_TYPE* IoFileObjectType;
extern POBJECT_TYPE* IoDeviceObjectType;

struct IO_SECURITY_CONTEXT;

struct IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      IO_SECURITY_CONTEXT* SecurityContext;
      ULONG Options;
      USHORT FileAttributes;
      USHORT ShareAccess;
      ULONG EaLength;
    } Create;
    struct {
      ULONG OutputBufferLength;
      ULONG InputBufferLength;
      ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  PFILE_OBJECT FileObject;
};

inline constexpr UCHAR SL_PENDING_RETURNED = 0x01;
inline constexpr CCHAR kIrpMaxStack = 4;

struct IRP {
  SHORT Type;
  USHORT Size;
  PMDL MdlAddress;
  ULONG Flags;
  union {
    IRP* MasterIrp;
    LONG IrpCount;
    PVOID SystemBuffer;
  } AssociatedIrp;
  LIST_ENTRY ThreadListEntry;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CHAR StackCount;
  CHAR CurrentLocation;  // 1-based; StackCount + 1 before the first IoCallDriver
  BOOLEAN Cancel;
  KIRQL CancelIrql;
  PIO_STATUS_BLOCK UserIosb;
  PKEVENT UserEvent;
  PDRIVER_CANCEL CancelRoutine;
  PVOID UserBuffer;
  struct {
    struct {
      PVOID DriverContext[4];
      PETHREAD Thread;
      LIST_ENTRY ListEntry;
      PIO_STACK_LOCATION CurrentStackLocation;
      PFILE_OBJECT OriginalFileObject;
    } Overlay;
  } Tail;
  IO_STACK_LOCATION Stack[kIrpMaxStack];
  void* Impl;  // the I/O manager's record of where the request came from
};

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) { return Irp->Tail.Overlay.CurrentStackLocation; }
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) { return Irp->Tail.Overlay.CurrentStackLocation - 1; }
inline void IoMarkIrpPending(PIRP Irp) { IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED; }
inline void IoSkipCurrentIrpStackLocation(PIRP Irp) {
  ++Irp->CurrentLocation;
  ++Irp->Tail.Overlay.CurrentStackLocation;
}
void IoCopyCurrentIrpStackLocationToNext(PIRP Irp);

// ---- Driver and device objects -------------------------------------------------
// Names are case-insensitive. A name already in use gives
// STATUS_OBJECT_NAME_COLLISION. The extension is zeroed.
NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject);
// The device leaves the namespace at once; its object lives until the last
// file object opened on it is gone.
void IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
// DOS names ("\DosDevices\NAME", "\??\NAME" or "\GLOBAL??\NAME") in the host's namespace.
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);

// ---- IRPs -----------------------------------------------------------------------
PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
void IoFreeIrp(PIRP Irp);
// Completes the request: buffered output goes back to the caller (the
// Information count, never more than the output length, on success and on
// warnings, nothing on errors), the caller is told, the IRP is released.
// Completing an IRP twice stops the host.
void IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost, const SrcLoc& where = SrcLoc::current());
#define IofCompleteRequest IoCompleteRequest
NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, const SrcLoc& where = SrcLoc::current());
#define IofCallDriver IoCallDriver

// ---- Cancellation ----------------------------------------------------------------
// One host-wide cancel spin lock. A cancel routine is called holding it and
// must release it with IoReleaseCancelSpinLock(Irp->CancelIrql).
void IoAcquireCancelSpinLock(PKIRQL Irql, const SrcLoc& where = SrcLoc::current());
void IoReleaseCancelSpinLock(KIRQL Irql, const SrcLoc& where = SrcLoc::current());
PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine);
BOOLEAN IoCancelIrp(PIRP Irp);

// ---- Cancel-safe queues ---------------------------------------------------------
struct IO_CSQ;
using PIO_CSQ = IO_CSQ*;
struct IO_CSQ_IRP_CONTEXT {
  ULONG Type;
  PIRP Irp;
  PIO_CSQ Csq;
};
using PIO_CSQ_IRP_CONTEXT = IO_CSQ_IRP_CONTEXT*;

using PIO_CSQ_INSERT_IRP = void (*)(PIO_CSQ Csq, PIRP Irp);
using PIO_CSQ_INSERT_IRP_EX = NTSTATUS (*)(PIO_CSQ Csq, PIRP Irp, PVOID InsertContext);
using PIO_CSQ_REMOVE_IRP = void (*)(PIO_CSQ Csq, PIRP Irp);
using PIO_CSQ_PEEK_NEXT_IRP = PIRP (*)(PIO_CSQ Csq, PIRP Irp, PVOID PeekContext);
using PIO_CSQ_ACQUIRE_LOCK = void (*)(PIO_CSQ Csq, PKIRQL Irql);
using PIO_CSQ_RELEASE_LOCK = void (*)(PIO_CSQ Csq, KIRQL Irql);
using PIO_CSQ_COMPLETE_CANCELED_IRP = void (*)(PIO_CSQ Csq, PIRP Irp);

struct IO_CSQ {
  ULONG Type;
  PVOID CsqInsertIrp;  // PIO_CSQ_INSERT_IRP or, for IoCsqInitializeEx, PIO_CSQ_INSERT_IRP_EX
  PIO_CSQ_REMOVE_IRP CsqRemoveIrp;
  PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp;
  PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock;
  PIO_CSQ_RELEASE_LOCK CsqReleaseLock;
  PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp;
  PVOID ReservePointer;
};

NTSTATUS IoCsqInitialize(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP CsqInsertIrp, PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                         PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                         PIO_CSQ_RELEASE_LOCK CsqReleaseLock, PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp);
NTSTATUS IoCsqInitializeEx(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP_EX CsqInsertIrp, PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                           PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                           PIO_CSQ_RELEASE_LOCK CsqReleaseLock, PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp);
// Marks the IRP pending and queues it. An IRP already cancelled is handed
// to the complete-cancelled callback at once.
void IoCsqInsertIrp(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context);
NTSTATUS IoCsqInsertIrpEx(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context, PVOID InsertContext);
PIRP IoCsqRemoveNextIrp(PIO_CSQ Csq, PVOID PeekContext);
PIRP IoCsqRemoveIrp(PIO_CSQ Csq, PIO_CSQ_IRP_CONTEXT Context);

// ---- Kernel-mode callers -----------------------------------------------------------
// Opens a device by name ("\Device\NAME" or a DOS name) for a kernel caller.
// The file object holds a reference that the caller drops with
// ObDereferenceObject; the cleanup and close requests follow when it goes.
NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess, PFILE_OBJECT* FileObject,
                                  PDEVICE_OBJECT* DeviceObject);
// Opens a device and returns a kernel handle to its file object (close it
// with ZwClose). Only devices can be opened.
NTSTATUS IoCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                      ULONG ShareAccess, ULONG Disposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength,
                      int CreateFileType, PVOID InternalParameters, ULONG Options);
NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                      ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength);
PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject);
// A device-control IRP for a kernel caller. Buffers are the caller's kernel
// memory. When it completes, the output (METHOD_BUFFERED) is copied back,
// *IoStatusBlock is filled and Event is set; the IRP is then released.
PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock);

// ---- Work items ---------------------------------------------------------------------
struct IO_WORKITEM;
using PIO_WORKITEM = IO_WORKITEM*;
using PIO_WORKITEM_ROUTINE = void (*)(PDEVICE_OBJECT DeviceObject, PVOID Context);
PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject);
void IoFreeWorkItem(PIO_WORKITEM IoWorkItem);
// Runs the routine on a system worker thread at PASSIVE_LEVEL; the device
// object stays referenced until it has run.
void IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context, const SrcLoc& where = SrcLoc::current());

// The process that sent the request (null for a kernel-mode request).
PEPROCESS IoGetRequestorProcess(PIRP Irp);
