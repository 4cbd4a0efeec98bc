// Memory of the calling process.
//
// The kernel never dereferences a user address: a user process's memory is
// reached with process_vm_readv/process_vm_writev on its pid, or, for pages
// locked in memory the process shares (mdl.h), through the host's own
// mapping of them. The model:
//
// - ProbeForRead, ProbeForWrite and MmProbeAndLockPages raise, as on
//   Windows: they throw plat::SehException with the status. A driver guards
//   them with try/catch; the I/O manager's dispatch guard turns an exception
//   that escapes a dispatch routine into the request's completion status.
// - The copy routines return a status and never raise.
//
// - Every routine here runs at APC_LEVEL or below; called higher, it stops
//   the host naming the caller's place, as a bug check would.
// - The system process has no user memory, and kernel memory is never the
//   caller's: probes of it raise STATUS_ACCESS_VIOLATION and copies return
//   it (a kernel-mode requestor's buffer is reached directly, not through
//   these routines).
#pragma once

#include "platform/kernel/ke.h"
#include "platform/kernel/nt.h"

namespace plat {
// The exception a failed probe raises (the status is the exception code).
struct SehException {
  NTSTATUS code;
};
// Stop the host when the calling thread runs above APC_LEVEL (above
// `highest`), naming the routine and the caller's place.
void require_user_irql(const char* routine, const SrcLoc& where);
void require_irql_at_most(const char* routine, KIRQL highest, const SrcLoc& where);
}  // namespace plat

// Raises an exception with the status.
[[noreturn]] void ExRaiseStatus(NTSTATUS Status);

// The highest user address, as on 64-bit Windows.
inline constexpr ULONG_PTR MM_USER_PROBE_ADDRESS = 0x7FFFFFFF0000ull;
PVOID MmGetHighestUserAddress();

// Length 0 checks nothing. A misaligned address raises
// STATUS_DATATYPE_MISALIGNMENT; a range outside user space, or (for a user
// process) not readable / writable in it, raises STATUS_ACCESS_VIOLATION.
void ProbeForRead(const volatile void* Address, SIZE_T Length, ULONG Alignment,
                  const SrcLoc& where = SrcLoc::current());
void ProbeForWrite(volatile void* Address, SIZE_T Length, ULONG Alignment, const SrcLoc& where = SrcLoc::current());

// Copies between kernel memory and the calling process's memory:
// STATUS_SUCCESS, or STATUS_ACCESS_VIOLATION when any byte is not there.
NTSTATUS PlatCopyFromUser(PVOID KernelDestination, const void* UserSource, SIZE_T Length,
                          const SrcLoc& where = SrcLoc::current());
NTSTATUS PlatCopyToUser(PVOID UserDestination, const void* KernelSource, SIZE_T Length,
                        const SrcLoc& where = SrcLoc::current());
