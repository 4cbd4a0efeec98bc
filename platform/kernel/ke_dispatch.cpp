// Dispatcher objects, waits, alerts, DPCs, timers, time and processors.
#include <functional>
#include <optional>

#include "platform/kernel/fault.h"
#include "platform/kernel/kernel.h"

using plat::fault;
using plat::Kernel;
using plat::ObjectKind;
using plat::this_thread;

namespace {

plat::Dispatcher& dispatcher() { return Kernel::current().dispatcher(); }

DISPATCHER_HEADER* checked(PVOID object, const char* what, const SrcLoc& where) {
  auto* header = static_cast<DISPATCHER_HEADER*>(object);
  if (header == nullptr) fault(where, "%s on a null object", what);
  if (header->WaitListHead.Flink == nullptr)
    fault(where, "%s on an object %p that was never initialised", what, object);
  return header;
}

// A wait that can block is a fault at DISPATCH_LEVEL and above; a wait with
// a zero time-out only polls and is allowed at DISPATCH_LEVEL.
void check_may_block(const char* what, PLARGE_INTEGER timeout, const SrcLoc& where) {
  const KIRQL irql = this_thread().irql;
  const bool poll = timeout != nullptr && timeout->QuadPart == 0;
  if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !poll)) {
    fault(where, "%s at IRQL %u would block at DISPATCH_LEVEL or above", what, irql);
  }
}

std::optional<std::int64_t> deadline_of(PLARGE_INTEGER timeout) {
  if (timeout == nullptr) return std::nullopt;
  return dispatcher().deadline_from(timeout->QuadPart);
}

}  // namespace

// ---- Threads ------------------------------------------------------------------

PKTHREAD KeGetCurrentThread() { return plat::current_kthread(); }

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
  KPRIORITY old = Thread->Priority;
  Thread->Priority = Priority;
  return old;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) { return Thread->Priority; }
void KeEnterCriticalRegion() {}
void KeLeaveCriticalRegion() {}

BOOLEAN KeAlertThread(PKTHREAD Thread, KPROCESSOR_MODE AlertMode) {
  return dispatcher().alert(Thread, AlertMode) ? TRUE : FALSE;
}

// ---- Events, semaphores, mutexes --------------------------------------------------

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  plat::Dispatcher::init_header(
      &Event->Header, Type == NotificationEvent ? ObjectKind::NotificationEvent : ObjectKind::SynchronizationEvent,
      State ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
  return dispatcher().set_state(checked(Event, "KeSetEvent", SrcLoc::current()), 1);
}

LONG KeResetEvent(PRKEVENT Event) {
  return dispatcher().set_state(checked(Event, "KeResetEvent", SrcLoc::current()), 0);
}
void KeClearEvent(PRKEVENT Event) { dispatcher().set_state(checked(Event, "KeClearEvent", SrcLoc::current()), 0); }
LONG KeReadStateEvent(PRKEVENT Event) {
  return dispatcher().read_state(checked(Event, "KeReadStateEvent", SrcLoc::current()));
}

LONG KePulseEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
  checked(Event, "KePulseEvent", SrcLoc::current());
  return dispatcher().pulse_event(Event);
}

void KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
  plat::Dispatcher::init_header(&Semaphore->Header, ObjectKind::Semaphore, Count);
  Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY, LONG Adjustment, BOOLEAN, const SrcLoc& where) {
  checked(Semaphore, "KeReleaseSemaphore", where);
  return dispatcher().release_semaphore(Semaphore, Adjustment, where);
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
  return dispatcher().read_state(checked(Semaphore, "KeReadStateSemaphore", SrcLoc::current()));
}

void KeInitializeMutex(PRKMUTEX Mutex, ULONG) {
  plat::Dispatcher::init_header(&Mutex->Header, ObjectKind::Mutant, 1);
  Mutex->OwnerThread = nullptr;
  Mutex->Abandoned = FALSE;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN, const SrcLoc& where) {
  checked(Mutex, "KeReleaseMutex", where);
  return dispatcher().release_mutex(Mutex, plat::current_kthread(), where);
}

LONG KeReadStateMutex(PRKMUTEX Mutex) {
  return dispatcher().read_state(checked(Mutex, "KeReadStateMutex", SrcLoc::current()));
}

// ---- Waits ---------------------------------------------------------------------------

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout, const SrcLoc& where) {
  check_may_block("KeWaitForSingleObject", Timeout, where);
  checked(Object, "KeWaitForSingleObject", where);
  KWAIT_BLOCK block{};
  return dispatcher().wait(plat::current_kthread(), 1, &Object, WaitAny, WaitMode, Alertable != FALSE,
                           deadline_of(Timeout), &block);
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray, const SrcLoc& where) {
  check_may_block("KeWaitForMultipleObjects", Timeout, where);
  if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS) fault(where, "KeWaitForMultipleObjects of %u objects", Count);
  KWAIT_BLOCK local[THREAD_WAIT_OBJECTS]{};
  if (WaitBlockArray == nullptr) {
    if (Count > THREAD_WAIT_OBJECTS) {
      fault(where, "KeWaitForMultipleObjects of %u objects without a wait block array", Count);
    }
    WaitBlockArray = local;
  }
  for (ULONG i = 0; i < Count; ++i) checked(Object[i], "KeWaitForMultipleObjects", where);
  return dispatcher().wait(plat::current_kthread(), Count, Object, WaitType, WaitMode, Alertable != FALSE,
                           deadline_of(Timeout), WaitBlockArray);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval,
                                const SrcLoc& where) {
  const KIRQL irql = this_thread().irql;
  if (irql >= DISPATCH_LEVEL) fault(where, "KeDelayExecutionThread at IRQL %u", irql);
  if (Interval == nullptr) fault(where, "KeDelayExecutionThread without an interval");
  plat::Dispatcher& d = dispatcher();
  const std::int64_t deadline = d.deadline_from(Interval->QuadPart);
  if (d.clock().is_virtual()) {
    // On the virtual clock a delay is time passing: the delaying thread moves
    // the clock to its deadline. Pending alerts still end it first.
    const std::int64_t now = d.clock().now();
    NTSTATUS status = d.wait(plat::current_kthread(), 0, nullptr, WaitAny, WaitMode, Alertable != FALSE, now, nullptr);
    if (status != STATUS_TIMEOUT) return status;
    d.clock().advance_to(deadline);
    return STATUS_SUCCESS;
  }
  NTSTATUS status =
      d.wait(plat::current_kthread(), 0, nullptr, WaitAny, WaitMode, Alertable != FALSE, deadline, nullptr);
  return status == STATUS_TIMEOUT ? STATUS_SUCCESS : status;
}

// ---- DPCs ------------------------------------------------------------------------------

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  *Dpc = KDPC{};
  Dpc->Type = 0x13;
  Dpc->Importance = MediumImportance;
  Dpc->Number = 0xFFFF;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  if (Dpc->DeferredRoutine == nullptr)
    fault(SrcLoc::current(), "KeInsertQueueDpc of an uninitialised DPC %p", static_cast<void*>(Dpc));
  return Kernel::current().dpcs().insert(Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) { return Kernel::current().dpcs().remove(Dpc) ? TRUE : FALSE; }
void KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) { Dpc->Importance = static_cast<UCHAR>(Importance); }
void KeSetTargetProcessorDpc(PRKDPC Dpc, CHAR Number) { Dpc->Number = static_cast<USHORT>(static_cast<UCHAR>(Number)); }

void KeFlushQueuedDpcs(const SrcLoc& where) {
  if (this_thread().irql >= DISPATCH_LEVEL) fault(where, "KeFlushQueuedDpcs at IRQL %u", this_thread().irql);
  Kernel::current().dpcs().flush();
}

// ---- Timers ----------------------------------------------------------------------------

void KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  *Timer = KTIMER{};
  plat::Dispatcher::init_header(
      &Timer->Header, Type == NotificationTimer ? ObjectKind::NotificationTimer : ObjectKind::SynchronizationTimer, 0);
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  checked(Timer, "KeSetTimer", SrcLoc::current());
  if (Period < 0) fault(SrcLoc::current(), "KeSetTimerEx with a negative period %d", Period);
  plat::Dispatcher& d = dispatcher();
  return d.set_timer(Timer, d.deadline_from(DueTime.QuadPart), Period, Dpc) ? TRUE : FALSE;
}

BOOLEAN KeCancelTimer(PKTIMER Timer) { return dispatcher().cancel_timer(Timer) ? TRUE : FALSE; }
BOOLEAN KeReadStateTimer(PKTIMER Timer) { return dispatcher().read_state(&Timer->Header) > 0 ? TRUE : FALSE; }

// ---- Time ------------------------------------------------------------------------------

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = Kernel::current().clock().system_time(); }
ULONGLONG KeQueryInterruptTime() { return static_cast<ULONGLONG>(Kernel::current().clock().now()); }

void KeQueryTickCount(PLARGE_INTEGER TickCount) {
  TickCount->QuadPart = static_cast<LONGLONG>(Kernel::current().clock().tick_count());
}

ULONG KeQueryTimeIncrement() { return Kernel::current().clock().time_increment(); }

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  if (PerformanceFrequency != nullptr) PerformanceFrequency->QuadPart = plat::Clock::kUnitsPerSecond;
  LARGE_INTEGER value;
  value.QuadPart = Kernel::current().clock().now();
  return value;
}

void KeStallExecutionProcessor(ULONG MicroSeconds) {
  Kernel::current().clock().stall(static_cast<std::int64_t>(MicroSeconds) * plat::Clock::kUnitsPerUs);
}

// ---- Processors --------------------------------------------------------------------------

ULONG KeGetCurrentProcessorNumber() {
  const auto& state = this_thread();
  if (state.cpu >= 0) return static_cast<ULONG>(state.cpu);
  const unsigned n = Kernel::current().dpcs().processors();
  return static_cast<ULONG>(std::hash<const void*>{}(plat::current_kthread()) % n);
}

ULONG KeQueryActiveProcessorCount(PVOID ActiveProcessors) {
  const unsigned n = Kernel::current().dpcs().processors();
  if (ActiveProcessors != nullptr) *static_cast<ULONG_PTR*>(ActiveProcessors) = (ULONG_PTR{1} << n) - 1;
  return n;
}
