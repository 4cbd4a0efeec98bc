// zekbase: what the user-mode base library offers every other user-mode
// library, the service and the tools.
//
//   - the library entry (ZEK_InitLib_Base / ZEK_CleanupLib_Base) and the
//     use-counted module pairs of the OS-primitive layer;
//   - the user-mode build of the OS-primitive contract (include/zek/osprim.h:
//     memory, spin-lock and blocking objects, events, the locked list,
//     sleeps, thread join, logging) and what only the user-mode build has,
//     declared below (shared events, thread creation, the chained hash
//     table, the raw-data dump, the answers to the kernel-only operations);
//   - the status-message and function-name registries and the interface
//     manager (include/zek/registry.h);
//   - the data exports zek_errno and the fast-log triple.
//
// Everything the library exports is marked ZEK_EXPORT here or in the headers
// above (include/zek/export.h): a C name and nothing else.
//
// Results are ZekStatus values: 0 for success, ZEK_OSPRIM_FAILURE (all ones)
// for a refused or failed primitive.
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/zek/osprim.h"
#include "include/zek/registry.h"
#include "include/zek/status.h"
#include "platform/common/wintypes.h"

#if ZEK_OSPRIM_KERNEL
#error "zekbase.h is the user-mode build's header; the drivers use include/zek/osprim.h"
#endif

// ---- Library entry ---------------------------------------------------------------
// The version word that every ZEK_InitLib_* call must carry.
inline constexpr std::uint32_t ZEK_ABI_COOKIE = 0x3DEC008A;
// ZEK_Init_c_osprims' hint when ZEK_InitLib_Base is given 0.
inline constexpr std::uint32_t ZEK_BASE_DEFAULT_HINT = 4096;

// Prints "WasCalled was <earlier calls>\n" to standard output, then refuses a
// wrong cookie (ZEK_STATUS_FAIL) or initialises the OS primitives, the
// status-message registry and the interface manager in that order. The first
// failing module's status is returned; the modules before it stay
// initialised.
ZEK_EXPORT ZekStatus ZEK_InitLib_Base(std::uint32_t hint, std::uint32_t cookie);
// Cleans the three modules up in reverse order; stops at the first failure
// and returns its status.
ZEK_EXPORT ZekStatus ZEK_CleanupLib_Base();

// ---- Data exports -------------------------------------------------------------------
// The error number of the last socket call of the process (set by zeksock,
// read by zekverbs and zekdirect).
ZEK_EXPORT std::int32_t zek_errno;

// The memory log: a text ring of ZEK_FAST_LOG_BYTES inside the library.
// Records are "[<sequence>] pid[<pid>,<tid>] <message>" with the message cut
// to ZEK_FAST_LOG_MESSAGE_MAX characters and no terminating zero; a record
// that does not fit before the ring's end goes to its start.
// ___ZEK_FAST_LOG_INDEX is where the next record goes. ___ZEK_FAST_LOG_MASK
// selects where the library's log lines go; it starts at 0, and then every
// log line of the library is dropped.
inline constexpr std::uint32_t ZEK_FAST_LOG_BYTES = 64 * 1024;
inline constexpr std::uint32_t ZEK_FAST_LOG_MESSAGE_MAX = 512;
inline constexpr std::uint32_t ZEK_LOG_MASK_MEMORY = 0x1;    // OSPrimMemoryLogging records into the memory log
inline constexpr std::uint32_t ZEK_LOG_MASK_DEBUGGER = 0x2;  // OSPrimDebugPrint lines to the debugger output
ZEK_EXPORT char* ___ZEK_FAST_LOG;
ZEK_EXPORT std::uint32_t ___ZEK_FAST_LOG_INDEX;
ZEK_EXPORT std::uint32_t ___ZEK_FAST_LOG_MASK;

// ---- Memory (the contract's operations are in osprim.h) ---------------------------------
// Both copy and clear do nothing when a pointer is null.
ZEK_EXPORT void OSPrimMemCopy(void* destination, const void* source, std::uint32_t bytes);
ZEK_EXPORT void OSPrimMemClear(void* block, std::uint32_t bytes);
// *out = *in rounded up to a multiple of alignment (a power of two).
// ZEK_OSPRIM_FAILURE for a null pointer, *in == 0, an alignment that is not
// a power of two, or a result that does not fit in 64 bits.
ZEK_EXPORT ZekStatus OSPrimMemAlign(std::uint64_t* out, const std::uint64_t* in, std::uint64_t alignment);

// ---- Kernel-only operations: fixed answers in user mode ---------------------------------
// (OSPrimGetPaFromVa, declared in osprim.h, answers ZEK_OSPRIM_FAILURE.)
ZEK_EXPORT void OSPrimFlushDataCacheVa(void* address, std::uint32_t bytes);
ZEK_EXPORT void OSPrimInvalidateDataCacheVa(void* address, std::uint32_t bytes);
// A process already sees its own memory: mapping hands back the address it
// was given (when systemAddress is not null) and pins nothing.
ZEK_EXPORT ZekStatus OSPrimMapIt(void* address, std::uint32_t bytes, void* mapRecord, void** systemAddress);
ZEK_EXPORT ZekStatus OSPrimUnMapIt(void* mapRecord);
ZEK_EXPORT ZekStatus OSPrimUserMLock(void* address, std::uint64_t bytes);
ZEK_EXPORT ZekStatus OSPrimUserMUnLock(void* address, std::uint64_t bytes);
ZEK_EXPORT ZekStatus OSPrimSleepLibInit();

// ---- Shared events (an auto-reset Win32 event) -------------------------------------------
// False in this build: no event is shared with the kernel.
ZEK_EXPORT BOOLEAN OSPrimIsSharedEventSupported();
ZEK_EXPORT ZekStatus OSPrimCreateSharedEvent(HANDLE* event);
ZEK_EXPORT ZekStatus OSPrimSetSharedEventInUserMode(HANDLE event);
// Waits without a time limit: 0 when signalled, else ZEK_OSPRIM_FAILURE.
ZEK_EXPORT ZekStatus OSPrimWaitOnSharedUserEvent(HANDLE event);
ZEK_EXPORT ZekStatus OSPrimDestroySharedEvent(HANDLE event);

// ---- Threads --------------------------------------------------------------------------
using OSPrimThreadRoutine = DWORD (*)(void* argument);
// A thread with the default stack size that starts at once; its handle goes
// to *thread (the caller closes it with CloseHandle when done with it).
ZEK_EXPORT ZekStatus OSPrimCreateThread(HANDLE* thread, OSPrimThreadRoutine start, void* argument);

// ---- Raw-data dump ----------------------------------------------------------------------
// Hands a hex dump of at most the first ZEK_RAW_DATA_MAX bytes to
// OSPrimDebugPrint, one line per 16 bytes.
inline constexpr std::uint32_t ZEK_RAW_DATA_MAX = 896;
ZEK_EXPORT void OSPrimDebugPrintRawData(const char* title, std::uint32_t count, const std::uint8_t* data);

// ---- Chained hash table ------------------------------------------------------------------
// The caller owns the table record; the table allocates its bucket array and
// its nodes. Keys go to bucket key % BucketCount; a bucket is a chain with
// the newest node first, so of two equal keys the newer one is found first.
// The data pointers stay the caller's.
struct OSPrimHashNode {
  void* Data;
  std::uint32_t Key;
  OSPrimHashNode* Next;
};
static_assert(offsetof(OSPrimHashNode, Data) == 0);
static_assert(offsetof(OSPrimHashNode, Key) == 8);
static_assert(offsetof(OSPrimHashNode, Next) == 16);

struct OSPrimHashTable {
  OSPrimHashNode** Buckets;
  std::uint32_t BucketCount;
  OSPrimSpinlockObject Lock;
};
static_assert(offsetof(OSPrimHashTable, Buckets) == 0);
static_assert(offsetof(OSPrimHashTable, BucketCount) == 8);
static_assert(offsetof(OSPrimHashTable, Lock) == 16);

// ZEK_OSPRIM_FAILURE for a null table, no buckets, or no memory.
ZEK_EXPORT ZekStatus OSPrimHashInit(OSPrimHashTable* table, std::uint32_t buckets);
ZEK_EXPORT ZekStatus OSPrimHashInsert(OSPrimHashTable* table, void* data, std::uint32_t key);
ZEK_EXPORT void* OSPrimHashFind(OSPrimHashTable* table, std::uint32_t key);    // newest match, or null
ZEK_EXPORT void* OSPrimHashRemove(OSPrimHashTable* table, std::uint32_t key);  // unlinks the newest match
// Frees the nodes and the bucket array (not the data) and destroys the lock.
ZEK_EXPORT ZekStatus OSPrimHashDestroy(OSPrimHashTable* table);
