// Kernel executive core with the names drivers use: IRQL, spin locks,
// dispatcher objects and waits, DPCs, timers, time and processors.
//
// Blocking is checked: any wait with a time-out other than zero, any delay
// and any acquisition of a blocking object at DISPATCH_LEVEL or above stops
// the host with the caller's place, as a real kernel stops with a bug check.
#pragma once

#include "platform/common/interlocked.h"
#include "platform/common/ntstatus.h"
#include "platform/common/srcloc.h"
#include "platform/common/wintypes.h"

// ---- IRQL -----------------------------------------------------------------
inline constexpr KIRQL PASSIVE_LEVEL = 0;
inline constexpr KIRQL LOW_LEVEL = 0;
inline constexpr KIRQL APC_LEVEL = 1;
inline constexpr KIRQL DISPATCH_LEVEL = 2;
inline constexpr KIRQL DEVICE_LEVEL_BASE = 3;  // first device (interrupt) level
inline constexpr KIRQL PROFILE_LEVEL = 27;
inline constexpr KIRQL CLOCK_LEVEL = 28;
inline constexpr KIRQL IPI_LEVEL = 29;
inline constexpr KIRQL POWER_LEVEL = 30;
inline constexpr KIRQL HIGH_LEVEL = 31;

KIRQL KeGetCurrentIrql();
void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql, const SrcLoc& where = SrcLoc::current());
void KeLowerIrql(KIRQL NewIrql, const SrcLoc& where = SrcLoc::current());
KIRQL KeRaiseIrqlToDpcLevel(const SrcLoc& where = SrcLoc::current());

using KPROCESSOR_MODE = CHAR;
inline constexpr KPROCESSOR_MODE KernelMode = 0;
inline constexpr KPROCESSOR_MODE UserMode = 1;

// ---- Spin locks -----------------------------------------------------------
// A spin lock is one pointer-sized word: 0 when free, otherwise its owner's
// thread. Acquiring a lock that the calling thread already holds is a
// deadlock and stops the host; so does releasing a lock held by another.
using KSPIN_LOCK = ULONG_PTR;
using PKSPIN_LOCK = KSPIN_LOCK*;

struct KLOCK_QUEUE_HANDLE {
  PKSPIN_LOCK Lock;
  KIRQL OldIrql;
};
using PKLOCK_QUEUE_HANDLE = KLOCK_QUEUE_HANDLE*;

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql, const SrcLoc& where = SrcLoc::current());
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock, const SrcLoc& where = SrcLoc::current());
void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql, const SrcLoc& where = SrcLoc::current());
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, const SrcLoc& where = SrcLoc::current());
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock, const SrcLoc& where = SrcLoc::current());
BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, const SrcLoc& where = SrcLoc::current());
// TRUE when the lock is free.
BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock);
void KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle,
                                    const SrcLoc& where = SrcLoc::current());
void KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle, const SrcLoc& where = SrcLoc::current());
void KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle,
                                              const SrcLoc& where = SrcLoc::current());
void KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle,
                                                const SrcLoc& where = SrcLoc::current());

// ---- Threads ----------------------------------------------------------------
struct _KTHREAD;
using KTHREAD = _KTHREAD;
using PKTHREAD = KTHREAD*;
using PRKTHREAD = KTHREAD*;
using ETHREAD = KTHREAD;
using PETHREAD = KTHREAD*;

PKTHREAD KeGetCurrentThread();
KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
KPRIORITY KeQueryPriorityThread(PKTHREAD Thread);
void KeEnterCriticalRegion();
void KeLeaveCriticalRegion();

// ---- Dispatcher objects -------------------------------------------------------
struct DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Reserved[3];
  LONG SignalState;
  LIST_ENTRY WaitListHead;
};

enum EVENT_TYPE { NotificationEvent, SynchronizationEvent };
enum TIMER_TYPE { NotificationTimer, SynchronizationTimer };

struct KEVENT {
  DISPATCHER_HEADER Header;
};
using PKEVENT = KEVENT*;
using PRKEVENT = KEVENT*;

struct KSEMAPHORE {
  DISPATCHER_HEADER Header;
  LONG Limit;
};
using PKSEMAPHORE = KSEMAPHORE*;
using PRKSEMAPHORE = KSEMAPHORE*;

struct KMUTEX {
  DISPATCHER_HEADER Header;  // SignalState 1 = free, <= 0 = owned (recursion depth)
  PKTHREAD OwnerThread;
  BOOLEAN Abandoned;
};
using KMUTANT = KMUTEX;
using PKMUTEX = KMUTEX*;
using PRKMUTEX = KMUTEX*;

enum KWAIT_REASON {
  Executive = 0,
  FreePage,
  PageIn,
  PoolAllocation,
  DelayExecution,
  Suspended,
  UserRequest,
  WrExecutive,
};

enum WAIT_TYPE { WaitAll, WaitAny };

struct KWAIT_BLOCK {
  LIST_ENTRY WaitListEntry;
  PKTHREAD Thread;
  PVOID Object;
  USHORT WaitKey;
  UCHAR WaitType;
};
using PKWAIT_BLOCK = KWAIT_BLOCK*;

inline constexpr ULONG THREAD_WAIT_OBJECTS = 3;
inline constexpr ULONG MAXIMUM_WAIT_OBJECTS = 64;

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
LONG KeResetEvent(PRKEVENT Event);
void KeClearEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);
LONG KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);

void KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
// Releasing beyond the limit is a driver fault and stops the host.
LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait,
                        const SrcLoc& where = SrcLoc::current());
LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore);

void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
// Releasing a mutex the caller does not own stops the host.
LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait, const SrcLoc& where = SrcLoc::current());
LONG KeReadStateMutex(PRKMUTEX Mutex);

// Timeout: null waits forever; negative is relative (100 ns units); positive
// is an absolute system time. Returns STATUS_WAIT_0 + n, STATUS_ABANDONED_WAIT_0
// + n, STATUS_TIMEOUT, STATUS_ALERTED or STATUS_USER_APC.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout, const SrcLoc& where = SrcLoc::current());
NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray, const SrcLoc& where = SrcLoc::current());
#define KeWaitForMutexObject KeWaitForSingleObject

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval,
                                const SrcLoc& where = SrcLoc::current());

// Alerts a thread. AlertMode KernelMode ends an alertable wait with
// STATUS_ALERTED; UserMode delivers a user APC, which ends an alertable
// user-mode wait with STATUS_USER_APC (how a dying process interrupts its
// waits). An alert that finds no such wait stays pending for the next one.
BOOLEAN KeAlertThread(PKTHREAD Thread, KPROCESSOR_MODE AlertMode);

// ---- DPCs ---------------------------------------------------------------------
struct KDPC;
using PKDPC = KDPC*;
using PRKDPC = KDPC*;
using PKDEFERRED_ROUTINE = void (*)(KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);

enum KDPC_IMPORTANCE { LowImportance, MediumImportance, HighImportance, MediumHighImportance };

struct KDPC {
  UCHAR Type;
  UCHAR Importance;
  USHORT Number;  // target processor, or 0xFFFF for the default
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  PVOID DpcData;  // non-null while queued
  ULONG64 QueueSequence;
};

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
void KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance);
void KeSetTargetProcessorDpc(PRKDPC Dpc, CHAR Number);
// Returns once every DPC queued before the call has run. PASSIVE_LEVEL only.
void KeFlushQueuedDpcs(const SrcLoc& where = SrcLoc::current());

// ---- Timers -------------------------------------------------------------------
struct KTIMER {
  DISPATCHER_HEADER Header;
  ULARGE_INTEGER DueTime;  // interrupt time of the next expiry
  LIST_ENTRY TimerListEntry;
  PKDPC Dpc;
  LONG Period;  // milliseconds, 0 for one-shot
  BOOLEAN Inserted;
};
using PKTIMER = KTIMER*;

void KeInitializeTimer(PKTIMER Timer);
void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
// Returns TRUE when the timer was already queued (it is re-armed).
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
// Returns TRUE when the timer was queued (and is now cancelled).
BOOLEAN KeCancelTimer(PKTIMER Timer);
BOOLEAN KeReadStateTimer(PKTIMER Timer);

// ---- Time -----------------------------------------------------------------------
// System time: 100 ns units since 1 January 1601. Interrupt time: 100 ns
// units since the host started. The tick count advances once every
// KeQueryTimeIncrement() 100 ns units.
void KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
ULONGLONG KeQueryInterruptTime();
void KeQueryTickCount(PLARGE_INTEGER TickCount);
ULONG KeQueryTimeIncrement();
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
// Busy-waits. On the virtual clock it advances time instead, so a bounded
// poll costs nothing.
void KeStallExecutionProcessor(ULONG MicroSeconds);

// ---- Processors and bug checks ------------------------------------------------------
ULONG KeGetCurrentProcessorNumber();
ULONG KeQueryActiveProcessorCount(PVOID ActiveProcessors);

[[noreturn]] void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4,
                               const SrcLoc& where = SrcLoc::current());
