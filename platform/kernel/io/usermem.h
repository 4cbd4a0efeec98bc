// Memory of the calling process.
//
// The kernel never dereferences a user address: a user process's memory is
// reached with process_vm_readv/process_vm_writev on its pid. The model:
//
// - ProbeForRead, ProbeForWrite and MmProbeAndLockPages raise, as on
//   Windows: they throw plat::SehException with the status. A driver guards
//   them with try/catch; the I/O manager's dispatch guard turns an exception
//   that escapes a dispatch routine into the request's completion status.
// - The copy routines return a status and never raise.
//
// In the system process's context (a kernel-mode caller), "user" addresses
// are kernel addresses and the routines copy directly.
#pragma once

#include "platform/kernel/nt.h"

namespace plat {
// The exception a failed probe raises (the status is the exception code).
struct SehException {
  NTSTATUS code;
};
}  // namespace plat

// Raises an exception with the status.
[[noreturn]] void ExRaiseStatus(NTSTATUS Status);

// The highest user address, as on 64-bit Windows.
inline constexpr ULONG_PTR MM_USER_PROBE_ADDRESS = 0x7FFFFFFF0000ull;
PVOID MmGetHighestUserAddress();

// Length 0 checks nothing. A misaligned address raises
// STATUS_DATATYPE_MISALIGNMENT; a range outside user space, or (for a user
// process) not readable / writable in it, raises STATUS_ACCESS_VIOLATION.
void ProbeForRead(const volatile void* Address, SIZE_T Length, ULONG Alignment);
void ProbeForWrite(volatile void* Address, SIZE_T Length, ULONG Alignment);

// Copies between kernel memory and the calling process's memory:
// STATUS_SUCCESS, or STATUS_ACCESS_VIOLATION when any byte is not there.
NTSTATUS PlatCopyFromUser(PVOID KernelDestination, const void* UserSource, SIZE_T Length);
NTSTATUS PlatCopyToUser(PVOID UserDestination, const void* KernelSource, SIZE_T Length);
