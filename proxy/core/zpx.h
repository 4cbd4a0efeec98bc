// The proxy driver's frame: what its entry, unload, IRP routines, request
// dispatcher and inline request handlers share.
//
// The driver keeps one control device, "\Device\zekproxy" with the DOS name
// "\DosDevices\zekproxy". Its extension holds the flags that unload walks
// backwards, the saved registry path and the cancel-safe queue of pended
// control requests. Driver-wide globals point at the extension and hold the
// node name and the driver-wide locks, as a driver image does.
#pragma once

#include <cstdint>

#include "include/zek/ioctl.h"
#include "include/zek/osprim.h"
#include "platform/kernel/driver.h"
#include "proxy/core/osprim/osprim_kernel.h"
#include "proxy/rdma/rm/rm.h"

// "PxNz": the saved registry path.
inline constexpr ULONG ZPX_REGISTRY_PATH_TAG = MAKEFOURCC_LE('P', 'x', 'N', 'z');
static_assert(ZPX_REGISTRY_PATH_TAG == 0x7A4E7850);

inline constexpr const char* ZPX_MODULE_NAME = "zekproxy";
inline constexpr const WCHAR* ZPX_DEVICE_NAME = u"\\Device\\zekproxy";
inline constexpr const WCHAR* ZPX_LINK_NAME = u"\\DosDevices\\zekproxy";

// ---- Device extension ----------------------------------------------------------------
struct ZpxDeviceExtension {
  UCHAR LibrariesInitialized;  // ZEK_common_init succeeded
  UCHAR TdiRegistered;         // the TDI client registration is in place
  PDEVICE_OBJECT DeviceObject;
  UNICODE_STRING RegistryPath;  // paged-pool copy, tag "PxNz"
  UCHAR LinkCreated;
  UCHAR DeviceCreated;
  UCHAR RegistryPathSaved;
  UCHAR AeqStarted;  // the asynchronous-event thread runs (proxy/core/async_events.h)
  // The pended-request queue.
  LIST_ENTRY IrpList;
  KSPIN_LOCK IrpListLock;
  IO_CSQ Csq;
};

// The extension of the control device while the driver is loaded.
extern ZpxDeviceExtension* g_ZpxExtension;

// ---- Node name -------------------------------------------------------------------------
// The computer name with "_IWARP" behind it; empty when the name was missing
// or not 1 to 63 characters long. The host stack's DHCP client sends it.
inline constexpr ULONG ZPX_NODE_NAME_MAX = 63;
extern CHAR g_ZpxNodeName[ZPX_NODE_NAME_MAX + 8];
extern ULONG g_ZpxNodeNameLength;

// ---- Driver-wide locks ---------------------------------------------------------------
// The first is the host stack's (soft-interrupt thread, DHCP client, bottom
// half), the second the resource managers'.
extern OSPrimSpinlockObject g_ZpxStackLock;
extern OSPrimSpinlockObject g_ZpxManagerLock;

// ---- Entry, unload and the control device -------------------------------------------------
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
void ZpxSanUnload(PDRIVER_OBJECT DriverObject);
PDEVICE_OBJECT ZpxCreateDeviceObject(PDRIVER_OBJECT DriverObject);
// Undoes, by the extension's flags and in reverse order, what the entry
// built; a null device does nothing.
void ZpxDeleteDeviceObject(PDEVICE_OBJECT DeviceObject);

NTSTATUS ZpxDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ZpxDispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ZpxDispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ZpxDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// ---- The pended-request queue ----------------------------------------------------------------
// Requests wait under a key of one of two kinds: a 64-bit context (a
// completion-queue handle, a NetworkDirect connection handle, a memory-region
// context), which ZpxCompleteQueuedIrps completes; or a parked-request slot,
// which only the slot protocol completes. The kind keeps the two apart, so a
// small connection handle never meets a slot number.
//
// Every waiting request also belongs to the process that sent it (its id,
// taken when it is queued), and a process's own requests reach only its own
// waits: cancelling or completing a notification or connection wait, and
// signalling or cancelling a parked slot, touch the caller's requests and
// never another process's under the same key. Parked slots are per process:
// slot n of one process is not slot n of another. Completions from inside
// the driver (a completion queue's callback, an asynchronous event) name the
// object; when the service that owns the key's objects has installed its
// owner routine, only the owner's waits are completed and another process
// cannot wait under that key at all.
enum ZpxQueueKind : ULONG {
  ZPX_QUEUE_CONTEXT = 1,
  ZPX_QUEUE_SLOT = 2,
  // An adapter's event wait (proxy/core/notify.h): one at a time per adapter.
  ZPX_QUEUE_NOTIFY = 3,
};
// The owner word of a key that matches a request of any process.
inline constexpr ULONG64 ZPX_ANY_OWNER = ~ULONG64{0};
struct ZpxQueueKey {
  ULONG Kind;
  ULONG64 Key;
  ULONG64 Owner;  // a process id, or ZPX_ANY_OWNER
};
// The owner of a wait key: the process whose object the key names, or
// ZPX_ANY_OWNER when the key names no object the service knows. Installed
// by the service whose objects are waited on (the verbs: completion queues
// and connections); null removes it.
using ZpxQueueKeyOwnerRoutine = ULONG64 (*)(ULONG64 Key);
void ZpxSetQueueKeyOwnerRoutine(ZpxQueueKeyOwnerRoutine Routine);
// The calling process's owner word.
ULONG64 ZpxCallerOwner();
// The owner of `Key` by the installed routine; ZPX_ANY_OWNER without one.
ULONG64 ZpxQueueKeyOwner(ULONG64 Key);

NTSTATUS ZpxCsqInsertIrp(PIO_CSQ Csq, PIRP Irp, PVOID InsertContext);
void ZpxCsqRemoveIrp(PIO_CSQ Csq, PIRP Irp);
PIRP ZpxCsqPeekNextIrp(PIO_CSQ Csq, PIRP Irp, PVOID PeekContext);
void ZpxCsqAcquireLock(PIO_CSQ Csq, PKIRQL Irql);
void ZpxCsqReleaseLock(PIO_CSQ Csq, KIRQL Irql);
void ZpxCsqCompleteCanceledIrp(PIO_CSQ Csq, PIRP Irp);

// Completion reasons of ZpxCompleteQueuedIrps.
inline constexpr ULONG ZPX_COMPLETE_SUCCESS = 0;   // success, byte count kept
inline constexpr ULONG ZPX_COMPLETE_REFUSED = 90;  // 0xC0000236, 0 bytes; any other reason cancels
// Completes the next request queued under `context` (every one with `all`)
// and answers how many were completed. A null context does nothing. Only
// the waits of the key's owner are completed (any process's when no owner
// routine is installed or the key names no known object).
ULONG ZpxCompleteQueuedIrps(ULONG64 context, ULONG reason, BOOLEAN all);
// The same, for the waits of process `owner` only (ZPX_ANY_OWNER: any).
ULONG ZpxCompleteQueuedIrpsOf(ULONG64 owner, ULONG64 context, ULONG reason, BOOLEAN all);

// ---- Control requests ----------------------------------------------------------------------------
NTSTATUS ZpxProcessSanIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Inline handlers. Each gets the request's system buffer, already checked
// against the code's record size, and returns the request's status; one that
// returns STATUS_PENDING has queued the IRP and must not touch it again.
NTSTATUS ZpxEventSlotRequest(PIRP Irp, void* Record, ULONG Code, ULONG_PTR* Bytes);
NTSTATUS ZpxPendKeyedRequest(PIRP Irp, void* Record, ULONG Code);
NTSTATUS ZekIwarpCancelCompletionNotification(PIRP Irp, void* Record, ULONG_PTR* Bytes);
NTSTATUS ZekIwarpCompleteConnectionRequest(PIRP Irp, void* Record, ULONG_PTR* Bytes);
NTSTATUS ZpxAllocCleanupContext(PIRP Irp);
// The parked-slot protocol that follows a multicast-receive-queue request
// (include/zek/mcrq.h): parks on 0x103, completes or cancels the caller's
// request parked in the slot on 0 or 0xC0000120; otherwise, and when
// nothing is parked, the request completes with its record.
NTSTATUS ZpxMcrqSlotProtocol(PIRP Irp, void* Record, ULONG Code, ULONG_PTR* Bytes);
NTSTATUS ZpxGetKernelVerbsTable(void* Record, ULONG_PTR* Bytes);

// The socket-call requests (socket_requests.cpp). Each returns 0 (served:
// the call's result is in the record, *Bytes the record's size), 1 (a code
// it does not serve), 2 (a null record or byte count) or the NTSTATUS error
// of a malformed record. The combined handler answers IOCTL_ZEK_TCPIP_CC00
// itself, kernel callers' codes with the kernel handler and the others with
// the user handler.
ULONG ZekCommonTcpipIoctlKernel(void* Record, ULONG Code, ULONG_PTR* Bytes);
ULONG ZekCommonTcpipIoctlUser(void* Record, ULONG Code, ULONG_PTR* Bytes);
ULONG ZekCommonTcpipIoctl(void* Record, ULONG Code, ULONG_PTR* Bytes);
// IOCTL_ZEK_GET_SOCKET_TABLE: the kernel socket-call table's address.
NTSTATUS ZpxGetSocketTable(void* Record, ULONG_PTR* Bytes);
// Closes what sockets the process left (the stack's per-process clean-up).
void ZpxReleaseProcessSockets(HANDLE ProcessId);
// Frees the transfer buffers the socket-call requests keep for reuse.
void ZpxReleaseTransferBuffers();

// The request status for the result of a handler whose result the
// dispatcher maps: 0 is success; 1 and 2 (the handlers' "failed" and
// "refused") and every other value that is not an NTSTATUS error are
// STATUS_NOT_SUPPORTED; an NTSTATUS error the handler chose is kept. Only 0
// lets a request succeed, and no result leaves a request pending.
NTSTATUS ZpxMappedHandlerStatus(ULONG Result);

// The management handler: the management requests (include/zek/mgmt.h)
// and the three log requests. 0: the request succeeds with the record as
// written (the outcome in its status word); 1: a code it does not serve
// (the dispatcher answers STATUS_NOT_SUPPORTED); an NTSTATUS error: the
// request fails with that status and nothing is returned. CommonMgmtIoctl
// takes the caller's privilege from the calling process (kernel threads
// and administrators are privileged); ZpxCommonMgmtIoctl is told it.
ULONG CommonMgmtIoctl(void* Record, ULONG Code, ULONG_PTR* Bytes);
ULONG ZpxCommonMgmtIoctl(void* Record, ULONG Code, ULONG_PTR* Bytes, BOOLEAN Privileged);
// The log requests' share of it (mgmt_log.cpp).
ULONG ZpxMgmtLogRequest(void* Record, ULONG Code, ULONG_PTR* Bytes);

// The hardware-object requests (mifh_requests.cpp): 0 when served (the
// outcome in the record's status, *Bytes the record's size), 1 for a code it
// does not know, STATUS_ACCESS_DENIED for a caller without the privilege.
ULONG CommonMifhIoctl(void* Record, ULONG Code, ULONG_PTR* Bytes, PIRP Irp);

// ---- Per-process resources ------------------------------------------------------------------
// What the driver holds for a process is released by the service that owns
// it: the verbs release its iWARP resources (zek_cleanup_iwarp_resources),
// the host stack its sockets (cleanup_sockets). Each service installs its
// routine when it starts and removes it (null) when it stops; a kind with
// no routine belongs to a service that is not running and holds nothing.
enum ZpxProcessResourceKind : ULONG {
  ZPX_PROCESS_IWARP = 0,
  ZPX_PROCESS_SOCKETS = 1,
  ZPX_PROCESS_RESOURCE_KINDS = 2,
};
using ZpxProcessCleanupRoutine = void (*)(HANDLE ProcessId);
void ZpxSetProcessCleanupRoutine(ZpxProcessResourceKind Kind, ZpxProcessCleanupRoutine Routine);
// IOCTL_ZEK_IWARP_PROCESS_CLEANUP: the process's iWARP resources only; its
// sockets stay open.
void ZpxReleaseProcessIwarpResources(HANDLE ProcessId);
// Cleanup of a handle with a clean-up context: the process's iWARP
// resources, then its sockets.
void ZpxReleaseProcessResources(HANDLE ProcessId);

struct ZpxResourceCleanupContext {
  PFILE_OBJECT FileObject;
  ULONG64 ProcessId;
};
static_assert(sizeof(ZpxResourceCleanupContext) == 16);
// Null when no context can be had. Freeing never allocates and never loses
// the context.
ZpxResourceCleanupContext* mifh_allocate_rsrc_cleanup_context_buffer();
void mifh_free_rsrc_cleanup_context_buffer(ZpxResourceCleanupContext* Context);
// Whether a file object's context word points at a live context of the pool.
ZpxResourceCleanupContext* ZpxCleanupContextOf(PFILE_OBJECT FileObject);
// Releases the pool's memory (unload).
void ZpxDestroyCleanupContextPool();

// ---- TDI client and the adapter addresses ---------------------------------------------------------
// Registers the driver as TDI client "zekproxy" (version 2.0 address
// handlers); the list of adapter addresses starts empty.
NTSTATUS ZpxTdiRegister();
// Deregisters from TDI (retrying a refusal every 100 ms, at most
// ZPX_TDI_DEREGISTER_TRIES times; a handle TDI does not know is not
// registered) and frees every address entry.
inline constexpr std::uint32_t ZPX_TDI_DEREGISTER_TRIES = 100;
inline constexpr std::uint32_t ZPX_TDI_DEREGISTER_DELAY_US = 100000;
void PxSanpAlDestroy();
// IOCTL_ZEK_GET_SAN_ADDRESS_LIST: a u32 count and one 16-byte socket address
// per entry that fits; STATUS_BUFFER_TOO_SMALL below 4 bytes,
// STATUS_BUFFER_OVERFLOW when an entry did not fit. *Bytes never exceeds
// Length: the count is of the entries written.
NTSTATUS PxSanpAlCopyList(void* Buffer, ULONG Length, ULONG_PTR* Bytes);
// The longest interface device name the attach request opens.
inline constexpr std::size_t ZPX_MAX_DEVICE_NAME_CHARS = 255;

// ---- Library initialisation (use-counted steps) ----------------------------------------------------
ZekStatus ZEK_common_init();
void ZEK_common_cleanup(const char* ModuleName);

// The resource managers' tables, fetched from the interface manager at start.
extern const ZekGimTable* g_ZpxGimTable;
extern const ZekGlmiTable* g_ZpxGlmiTable;
extern const ZekGromitTable* g_ZpxGromitTable;
extern const ZekLarmitTable* g_ZpxLrmTable;
extern const ZekMrteTable* g_ZpxMrteTable;
extern const ZekDeviceLockTable* g_ZpxFlashTable;
extern const ZekDeviceLockTable* g_ZpxEepromTable;
extern const ZekIpaddrTable* g_ZpxIpaddrTable;

// The adapters the driver has added (attach puts each adapter's record here).
extern ZekListHead g_ZpxAddedAdapters;

// The system tick as calibrated at start: 10 or 15 ms, 100 or 66 a second.
extern ULONG g_ZpxTickMs;
extern ULONG g_ZpxTicksPerSecond;
// The tick for a tick-count difference over 100 ms: 15 ms when 100 / the
// difference is 11 to 16, else 10 ms (also for a difference of 0).
ULONG ZpxTickFromDifference(std::uint64_t difference);
// Two busy waits of 100 ms around a reading of the tick count.
void ZpxCalibrateTick();

// The host stack's transmit buffers: 512 of 1520 bytes in one tracked block.
inline constexpr std::uint32_t ZPX_XMIT_BUFFERS = 512;
inline constexpr std::uint32_t ZPX_XMIT_BUFFER_BYTES = 1520;
inline constexpr std::uint32_t ZPX_XMIT_BLOCK_BYTES = 779760;
static_assert(ZPX_XMIT_BLOCK_BYTES >= ZPX_XMIT_BUFFERS * ZPX_XMIT_BUFFER_BYTES + 63);
struct ZpxXmitDescriptor {
  std::uint32_t InUse;   // the send's completion word: 0 again when the adapter is done with it
  std::uint64_t Buffer;  // kernel address of the buffer
};
extern void* g_ZpxXmitBlock;
extern ZpxXmitDescriptor g_ZpxXmitDescriptors[ZPX_XMIT_BUFFERS];

// The lookup tables of CRC-32 (polynomial 0x04C11DB7) and CRC-32C
// (0x1EDC6F41), reflected.
extern std::uint32_t g_ZpxCrc32Table[256];
extern std::uint32_t g_ZpxCrc32cTable[256];
