// The OS-primitive contract (OSPrim*, the locked list, the failure log).
//
// Two builds implement this one contract under the same names: the kernel
// build, compiled into both drivers (zekosprim, proxy/core/osprim), and the
// user-mode build in zekbase. Code written once for both builds (the
// registries in lib/common/registry) calls only what is declared here.
//
// Build choice: a kernel build defines ZEK_KERNEL_BUILD=1 (the zekosprim
// target carries it to everything that links it); a user-mode build leaves it
// undefined. It selects the objects' signatures and what sits behind an event
// and a blocking object (a kernel event, or a semaphore handle of the user
// runtime). The list head, its node, the spin-lock object and the tracked
// allocation header have one layout in both builds.
//
// The contract is written in fixed-width types and the platform's basic
// types only: it includes no kernel header, so code written for both builds
// never sees the kernel. The kernel build's kernel objects are opaque here
// (OSPrimKernelEvent); its private header (proxy/core/osprim/osprim_kernel.h)
// checks that they fit and reaches them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/zek/export.h"
#include "include/zek/signatures.h"
#include "include/zek/status.h"
#include "platform/common/wintypes.h"

#if defined(ZEK_KERNEL_BUILD) && ZEK_KERNEL_BUILD
#define ZEK_OSPRIM_KERNEL 1
inline constexpr std::uint32_t ZEK_SIG_SPINLOCK = ZEK_SIG_SPINLOCK_KERNEL;
inline constexpr std::uint32_t ZEK_SIG_BLOCKING = ZEK_SIG_BLOCKING_KERNEL;
#else
#define ZEK_OSPRIM_KERNEL 0
inline constexpr std::uint32_t ZEK_SIG_SPINLOCK = ZEK_SIG_SPINLOCK_USER;
inline constexpr std::uint32_t ZEK_SIG_BLOCKING = ZEK_SIG_BLOCKING_USER;
#endif

// ---- Spin-lock object ---------------------------------------------------------
// Kernel build: a kernel spin lock; the IRQL it was taken from is kept in the
// object, so one object is never taken twice at once. User-mode build: a
// semaphore handle (initial count 1) stands in for the lock word.
struct OSPrimSpinlockObject {
  std::uint32_t Signature;  // ZEK_SIG_SPINLOCK while valid, 0 once destroyed
  union {
    std::uintptr_t SpinLock;  // KSPIN_LOCK (kernel build)
    void* Semaphore;          // HANDLE (user-mode build)
  };
  std::uint8_t SavedIrql;
};
static_assert(offsetof(OSPrimSpinlockObject, Signature) == 0);
static_assert(offsetof(OSPrimSpinlockObject, SpinLock) == 8);
static_assert(offsetof(OSPrimSpinlockObject, SavedIrql) == 16);

// ---- Locked list ----------------------------------------------------------------
// Nodes begin with {next, prev}; next points towards newer nodes. The list
// links caller-owned nodes and never allocates. Empty = both ends null.
struct ZekListNode {
  ZekListNode* Next;
  ZekListNode* Prev;
};

struct ZekListHead {
  ZekListNode* Tail;        // most recently inserted node
  ZekListNode* Head;        // oldest node
  std::uint32_t Signature;  // ZEK_SIG_LIST_HEAD
  OSPrimSpinlockObject Lock;
};
static_assert(offsetof(ZekListHead, Tail) == 0);
static_assert(offsetof(ZekListHead, Head) == 8);
static_assert(offsetof(ZekListHead, Signature) == 16);
static_assert(offsetof(ZekListHead, Lock) == 24);

// ---- Blocking object and event ------------------------------------------------------
#if ZEK_OSPRIM_KERNEL
// Room for one kernel dispatcher event (KEVENT) of the kernel build, which
// only the kernel build's own sources reach (OSPrimKeEvent).
struct OSPrimKernelEvent {
  alignas(8) std::uint8_t Storage[24];
};
#endif

struct OSPrimBlockingObject {
  std::uint32_t Signature;  // ZEK_SIG_BLOCKING while valid
#if ZEK_OSPRIM_KERNEL
  OSPrimKernelEvent Event;  // synchronization event: signalled = free
#else
  HANDLE Semaphore;
#endif
};

#if ZEK_OSPRIM_KERNEL
// An auto-reset event: a set wakes one waiter, or stays until the next wait.
struct OSPrimEvent {
  std::uint32_t Signature;  // ZEK_SIG_EVENT while valid, 0 once destroyed
  OSPrimKernelEvent Event;  // synchronization event
};
static_assert(sizeof(OSPrimEvent) == 32);
static_assert(offsetof(OSPrimEvent, Event) == 8);
#else
// The user-mode build's event is the handle of a 0..1 semaphore.
using OSPrimEvent = HANDLE;
#endif

// ---- Tracked allocation header ---------------------------------------------------------
// In front of every tracked allocation; the caller gets the address behind it.
// Every live header is on one list of the module (driver-wide in the
// kernel); a free finds the header on that list before it touches it.
enum : std::uint32_t { OSPRIM_MEM_PAGED = 0, OSPRIM_MEM_NONPAGED = 1, OSPRIM_MEM_CONTIGUOUS = 2 };

struct OSPrimMemHeader {
  std::uint32_t Signature;  // ZEK_SIG_MEM_HEADER while live, ZEK_SIG_MEM_HEADER_FREED once freed
  OSPrimMemHeader* Next;    // towards newer allocations
  OSPrimMemHeader* Prev;
  const char* AllocFile;      // cleared in this build
  const char* FreeFile;       // cleared in this build
  std::uint32_t Kind;         // OSPRIM_MEM_*
  std::uint32_t Size;         // including the header
  std::uint32_t AllocLine;    // cleared in this build
  std::uint32_t FreeLine;     // cleared in this build
  OSPrimMemHeader* HashNext;  // chain of the address index used by the free check
};
static_assert(sizeof(OSPrimMemHeader) == 64, "a block behind the header keeps the alignment of the block it is in");

// ---- Ring index record ----------------------------------------------------------------------
// Index of a ring of fixed-size entries shared with the adapter. Entries in
// use = (Head + Size - Tail) % Size; full when one slot is left; empty when
// Head == Tail.
struct ZEK_OSPRIM_RING {
  std::uint32_t Head;  // next slot the producer fills
  std::uint32_t Tail;  // next slot the consumer takes
  std::uint32_t Size;  // number of slots
};
static_assert(offsetof(ZEK_OSPRIM_RING, Head) == 0);
static_assert(offsetof(ZEK_OSPRIM_RING, Tail) == 4);
static_assert(offsetof(ZEK_OSPRIM_RING, Size) == 8);
static_assert(sizeof(ZEK_OSPRIM_RING) == 12);

// ---- Module init and cleanup (use-counted) ---------------------------------------------------
ZEK_EXPORT ZekStatus ZEK_Init_c_osprims(std::uint32_t hint);
// Last use: frees every tracked block still allocated. Without a matching
// init: logged, ZEK_OSPRIM_FAILURE.
ZEK_EXPORT ZekStatus ZEK_Cleanup_c_osprims();

// ---- Locked list (every operation takes the list's own lock) ----------------------------------
ZEK_EXPORT ZekStatus ZekInitializeListHead(ZekListHead* head);
// A head without its signature is initialised first (and the omission logged).
ZEK_EXPORT ZekStatus ZekInsertTailList(ZekListHead* head, ZekListNode* node);
ZEK_EXPORT ZekListNode* ZekRemoveTailList(ZekListHead* head);  // newest, or null
ZEK_EXPORT ZekListNode* ZekRemoveHeadList(ZekListHead* head);  // oldest, or null
// Unlinks the node and clears its links; ZEK_OSPRIM_FAILURE when it is not on the list.
ZEK_EXPORT ZekStatus ZekRemoveEntryList(ZekListHead* head, ZekListNode* node);
ZEK_EXPORT BOOLEAN ZekIsListEmpty(ZekListHead* head);

// ---- Spin-lock and blocking objects (null or a wrong signature: ZEK_OSPRIM_FAILURE) ------------
// Init sets up an object that does not carry the signature yet; one that does
// is left as it is (it may be in use).
ZEK_EXPORT ZekStatus OSPrimSyncInitSpinlockObject(OSPrimSpinlockObject* object);
ZEK_EXPORT ZekStatus OSPrimSyncAcquireSpinlockObject(OSPrimSpinlockObject* object);
ZEK_EXPORT ZekStatus OSPrimSyncReleaseSpinlockObject(OSPrimSpinlockObject* object);
ZEK_EXPORT ZekStatus OSPrimSyncDestroySpinlockObject(OSPrimSpinlockObject* object);
ZEK_EXPORT ZekStatus OSPrimSyncInitBlockingObject(OSPrimBlockingObject* object);
ZEK_EXPORT ZekStatus OSPrimSyncAcquireBlockingObject(OSPrimBlockingObject* object);
ZEK_EXPORT ZekStatus OSPrimSyncReleaseBlockingObject(OSPrimBlockingObject* object);
ZEK_EXPORT ZekStatus OSPrimSyncDestroyBlockingObject(OSPrimBlockingObject* object);

// ---- Events ------------------------------------------------------------------------------------
ZEK_EXPORT ZekStatus OSPrimInitEvent(OSPrimEvent* event);
// Kernel build: UserWait makes it an alertable user-mode wait, which a dying
// caller process ends (ZEK_OSPRIM_FAILURE).
ZEK_EXPORT ZekStatus OSPrimWaitForEvent(OSPrimEvent* event, BOOLEAN UserWait = FALSE);
ZEK_EXPORT ZekStatus OSPrimSetEvent(OSPrimEvent* event);
ZEK_EXPORT ZekStatus OSPrimDestroyEvent(OSPrimEvent* event);

// ---- Memory ------------------------------------------------------------------------------------
// Zeroed blocks (tracked in the kernel build; in the user-mode build they
// come from the library's private heap). Size 0 or a bad out pointer fails.
ZEK_EXPORT ZekStatus OSPrimMemAllocate(void** out, std::uint32_t size);
ZEK_EXPORT ZekStatus OSPrimMemFree(void* block);
// Kernel build: physically contiguous. User-mode build: as OSPrimMemAllocate.
ZEK_EXPORT ZekStatus OSPrimMemDMAAllocate(void** out, std::uint32_t size);
ZEK_EXPORT ZekStatus OSPrimMemDMAFree(void* block);
// Physical address of a kernel address, split in two halves. The user-mode
// build has none and answers ZEK_OSPRIM_FAILURE.
ZEK_EXPORT ZekStatus OSPrimGetPaFromVa(const void* address, std::uint32_t* low, std::uint32_t* high);

// ---- Time and threads ----------------------------------------------------------------------------
// Waits at least the given time, except where the caller may not wait: in
// the kernel build, above APC_LEVEL (a spin lock held, a DPC), the thread
// cannot sleep and a delay of ZEK_SLEEP_STALL_MAX_US or more is a busy stall
// of ZEK_SLEEP_STALL_MAX_US only. Shorter delays are busy stalls at any IRQL.
// A caller that needs the whole of a long delay calls at PASSIVE_LEVEL.
inline constexpr std::uint32_t ZEK_SLEEP_STALL_MAX_US = 50;
ZEK_EXPORT ZekStatus OSPrimSleepDelay(void* context, std::uint32_t microseconds);
ZEK_EXPORT ZekStatus OsPrimJoinThread(HANDLE thread);

// ---- Logging ---------------------------------------------------------------------------------------
// Kernel build: OSPrimDebugPrint prints nothing and OSPrimMemoryLogging
// writes one record to the driver's fast log ring. User-mode build: both
// write nothing unless the library's log mask lets them through, into its
// memory log and to the debugger output (include/zek/zekbase.h).
ZEK_EXPORT void OSPrimDebugPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
ZEK_EXPORT void OSPrimMemoryLogging(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Every failure is logged as two records: "func[<routine>] Line[<line>]: "
// naming the routine that failed and its source line, then the message.
#define ZEK_LOG_FAILURE(...)                                          \
  do {                                                                \
    OSPrimMemoryLogging("func[%s] Line[%d]: \n", __func__, __LINE__); \
    OSPrimMemoryLogging(__VA_ARGS__);                                 \
  } while (0)
