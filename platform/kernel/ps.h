// Process and thread services for drivers.
#pragma once

#include "platform/kernel/ob.h"

struct CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
};
using PCLIENT_ID = CLIENT_ID*;

struct _EPROCESS;
using EPROCESS = _EPROCESS;
using PEPROCESS = EPROCESS*;

using PKSTART_ROUTINE = void (*)(PVOID StartContext);

extern POBJECT_TYPE* PsThreadType;

// Creates a system thread at PASSIVE_LEVEL in the system process. The handle
// is a kernel handle: reference the thread object through it to wait for the
// thread's end, and close it with ZwClose.
NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext);
// Ends the calling system thread. Only a system thread may call it.
[[noreturn]] NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus, const SrcLoc& where = SrcLoc::current());

// The process and thread ids of the caller: a system thread belongs to the
// system process (id 4); a request served for a user process carries that
// process's ids.
HANDLE PsGetCurrentProcessId();
HANDLE PsGetCurrentThreadId();
PETHREAD PsGetCurrentThread();
PEPROCESS PsGetCurrentProcess();
HANDLE PsGetProcessId(PEPROCESS Process);
HANDLE PsGetThreadId(PETHREAD Thread);
BOOLEAN PsIsSystemThread(PETHREAD Thread);
