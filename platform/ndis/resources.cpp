// PCI configuration space, register windows, memory, shared memory,
// events and delays, timers and work items.
#include <cstring>

#include "platform/ndis/internal.h"

using plat::ndis::Adapter;

// ---- PCI configuration space --------------------------------------------------------------------
namespace {

// Dword accesses of the function's configuration space, for any byte range.
ULONG bus_access(NDIS_HANDLE handle, ULONG space, ULONG offset, void* buffer, ULONG length, bool write) {
  Adapter& adapter = plat::ndis::adapter_of(handle);
  const plat::PciFunction& f = adapter.function_;
  if (space != PCI_WHICHSPACE_CONFIG || buffer == nullptr || offset >= 4096 || length > 4096 - offset) return 0;
  auto& bus = plat::ndis::Ndis::current().kernel().pci();
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  for (ULONG done = 0; done < length;) {
    const ULONG at = offset + done;
    const ULONG dword = at & ~3u;
    const ULONG skip = at - dword;
    const ULONG take = std::min<ULONG>(4 - skip, length - done);
    std::uint32_t value = bus.read_config(f.bus, f.device, f.function, dword);
    if (write) {
      if (take != 4) {
        std::memcpy(reinterpret_cast<std::uint8_t*>(&value) + skip, bytes + done, take);
      } else {
        std::memcpy(&value, bytes + done, 4);
      }
      bus.write_config(f.bus, f.device, f.function, dword, value);
    } else {
      std::memcpy(bytes + done, reinterpret_cast<std::uint8_t*>(&value) + skip, take);
    }
    done += take;
  }
  return length;
}

}  // namespace

ULONG NdisMGetBusData(NDIS_HANDLE handle, ULONG WhichSpace, ULONG Offset, PVOID Buffer, ULONG Length) {
  return bus_access(handle, WhichSpace, Offset, Buffer, Length, false);
}

ULONG NdisMSetBusData(NDIS_HANDLE handle, ULONG WhichSpace, ULONG Offset, PVOID Buffer, ULONG Length) {
  return bus_access(handle, WhichSpace, Offset, Buffer, Length, true);
}

// ---- Register windows --------------------------------------------------------------------------------
NDIS_STATUS NdisMMapIoSpace(PVOID* VirtualAddress, NDIS_HANDLE handle, NDIS_PHYSICAL_ADDRESS PhysicalAddress,
                            UINT Length) {
  Adapter& adapter = plat::ndis::adapter_of(handle);
  *VirtualAddress = MmMapIoSpace(PhysicalAddress, Length, MmNonCached);
  if (*VirtualAddress == nullptr) return NDIS_STATUS_RESOURCES;
  plat::ndis::hold(&adapter, [](auto& h) { ++h.mappings; });
  return NDIS_STATUS_SUCCESS;
}

void NdisMUnmapIoSpace(NDIS_HANDLE handle, PVOID VirtualAddress, UINT Length) {
  Adapter& adapter = plat::ndis::adapter_of(handle);
  MmUnmapIoSpace(VirtualAddress, Length);
  plat::ndis::hold(&adapter, [](auto& h) { --h.mappings; });
}

// ---- Memory ----------------------------------------------------------------------------------------------
PVOID NdisAllocateMemoryWithTagPriority(NDIS_HANDLE, UINT Length, ULONG Tag, EX_POOL_PRIORITY) {
  if (Length == 0) return nullptr;
  return ExAllocatePoolWithTag(NonPagedPool, Length, Tag);
}

void NdisFreeMemory(PVOID VirtualAddress, UINT, UINT) {
  if (VirtualAddress != nullptr) ExFreePool(VirtualAddress);
}

void NdisMAllocateSharedMemory(NDIS_HANDLE handle, ULONG Length, BOOLEAN, PVOID* VirtualAddress,
                               PNDIS_PHYSICAL_ADDRESS PhysicalAddress) {
  Adapter& adapter = plat::ndis::adapter_of(handle);
  *VirtualAddress = nullptr;
  PhysicalAddress->QuadPart = 0;
  if (Length == 0) return;
  PHYSICAL_ADDRESS highest;
  highest.QuadPart = -1;
  void* block = MmAllocateContiguousMemory(Length, highest);
  if (block == nullptr) return;
  *VirtualAddress = block;
  *PhysicalAddress = MmGetPhysicalAddress(block);
  plat::ndis::hold(&adapter, [](auto& h) { ++h.shared_blocks; });
}

void NdisMFreeSharedMemory(NDIS_HANDLE handle, ULONG, BOOLEAN, PVOID VirtualAddress, NDIS_PHYSICAL_ADDRESS) {
  Adapter& adapter = plat::ndis::adapter_of(handle);
  if (VirtualAddress == nullptr) return;
  MmFreeContiguousMemory(VirtualAddress);
  plat::ndis::hold(&adapter, [](auto& h) { --h.shared_blocks; });
}

// ---- Events and delays ---------------------------------------------------------------------------------
void NdisInitializeEvent(PNDIS_EVENT Event) { KeInitializeEvent(&Event->Event, NotificationEvent, FALSE); }
void NdisSetEvent(PNDIS_EVENT Event) { KeSetEvent(&Event->Event, 0, FALSE); }
void NdisResetEvent(PNDIS_EVENT Event) { KeClearEvent(&Event->Event); }

BOOLEAN NdisWaitEvent(PNDIS_EVENT Event, UINT MsToWait, const SrcLoc& where) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -static_cast<LONGLONG>(MsToWait) * 10'000;
  const NTSTATUS status =
      KeWaitForSingleObject(&Event->Event, Executive, KernelMode, FALSE, MsToWait == 0 ? nullptr : &timeout, where);
  return status == STATUS_WAIT_0 ? TRUE : FALSE;
}

void NdisMSleep(ULONG MicrosecondsToSleep, const SrcLoc& where) {
  LARGE_INTEGER interval;
  interval.QuadPart = -static_cast<LONGLONG>(MicrosecondsToSleep) * 10;
  KeDelayExecutionThread(KernelMode, FALSE, &interval, where);
}

void NdisStallExecution(ULONG MicrosecondsToStall) { KeStallExecutionProcessor(MicrosecondsToStall); }

void NdisGetCurrentSystemTime(PLARGE_INTEGER SystemTime) { KeQuerySystemTime(SystemTime); }

// ---- Timers -------------------------------------------------------------------------------------------------
namespace plat::ndis {

struct Timer {
  KTIMER timer;
  KDPC dpc;
  NDIS_TIMER_FUNCTION routine;
  PVOID context;
  Adapter* adapter;
};

namespace {
void timer_dpc(KDPC*, PVOID context, PVOID, PVOID) {
  auto* timer = static_cast<Timer*>(context);
  timer->routine(nullptr, timer->context, nullptr, nullptr);
}
}  // namespace

}  // namespace plat::ndis

NDIS_STATUS NdisAllocateTimerObject(NDIS_HANDLE handle, PNDIS_TIMER_CHARACTERISTICS characteristics,
                                    PNDIS_HANDLE pTimerObject) {
  if (characteristics == nullptr || pTimerObject == nullptr || characteristics->TimerFunction == nullptr ||
      characteristics->Header.Type != NDIS_OBJECT_TYPE_TIMER_CHARACTERISTICS) {
    return NDIS_STATUS_INVALID_PARAMETER;
  }
  auto* timer = static_cast<plat::ndis::Timer*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(plat::ndis::Timer), characteristics->AllocationTag));
  if (timer == nullptr) return NDIS_STATUS_RESOURCES;
  std::memset(timer, 0, sizeof *timer);
  timer->routine = characteristics->TimerFunction;
  timer->context = characteristics->FunctionContext;
  timer->adapter = plat::ndis::try_adapter_of(handle);
  KeInitializeTimerEx(&timer->timer, NotificationTimer);
  KeInitializeDpc(&timer->dpc, &plat::ndis::timer_dpc, timer);
  plat::ndis::hold(timer->adapter, [](auto& h) { ++h.timers; });
  *pTimerObject = timer;
  return NDIS_STATUS_SUCCESS;
}

BOOLEAN NdisSetTimerObject(NDIS_HANDLE TimerObject, LARGE_INTEGER DueTime, LONG MillisecondsPeriod,
                           PVOID FunctionContext) {
  auto* timer = static_cast<plat::ndis::Timer*>(TimerObject);
  if (FunctionContext != nullptr) timer->context = FunctionContext;
  return KeSetTimerEx(&timer->timer, DueTime, MillisecondsPeriod, &timer->dpc);
}

BOOLEAN NdisCancelTimerObject(NDIS_HANDLE TimerObject) {
  auto* timer = static_cast<plat::ndis::Timer*>(TimerObject);
  const BOOLEAN was_queued = KeCancelTimer(&timer->timer);
  // A timer that has fired but whose routine has not started yet is stopped too.
  const BOOLEAN dpc_removed = KeRemoveQueueDpc(&timer->dpc);
  return was_queued || dpc_removed ? TRUE : FALSE;
}

void NdisFreeTimerObject(NDIS_HANDLE TimerObject) {
  auto* timer = static_cast<plat::ndis::Timer*>(TimerObject);
  if (timer == nullptr) return;
  NdisCancelTimerObject(timer);
  KeFlushQueuedDpcs();
  plat::ndis::hold(timer->adapter, [](auto& h) { --h.timers; });
  ExFreePool(timer);
}

// ---- Work items -------------------------------------------------------------------------------------------------
namespace plat::ndis {

struct WorkItem {
  PIO_WORKITEM item;
  NDIS_IO_WORKITEM_ROUTINE routine;
  PVOID context;
  Adapter* adapter;
};

namespace {
void work_routine(PDEVICE_OBJECT, PVOID context) {
  auto* work = static_cast<WorkItem*>(context);
  work->routine(work->context, work);
}
}  // namespace

}  // namespace plat::ndis

NDIS_HANDLE NdisAllocateIoWorkItem(NDIS_HANDLE handle) {
  Adapter* adapter = plat::ndis::try_adapter_of(handle);
  PDEVICE_OBJECT device = adapter != nullptr && adapter->device_ != nullptr
                              ? adapter->device_
                              : plat::ndis::Ndis::current().control_device();
  auto* work = static_cast<plat::ndis::WorkItem*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(plat::ndis::WorkItem), plat::ndis::kNdisTag));
  if (work == nullptr) return nullptr;
  work->item = IoAllocateWorkItem(device);
  if (work->item == nullptr) {
    ExFreePoolWithTag(work, plat::ndis::kNdisTag);
    return nullptr;
  }
  work->routine = nullptr;
  work->context = nullptr;
  work->adapter = adapter;
  plat::ndis::hold(adapter, [](auto& h) { ++h.work_items; });
  return work;
}

void NdisQueueIoWorkItem(NDIS_HANDLE handle, NDIS_IO_WORKITEM_ROUTINE Routine, PVOID WorkItemContext) {
  auto* work = static_cast<plat::ndis::WorkItem*>(handle);
  work->routine = Routine;
  work->context = WorkItemContext;
  IoQueueWorkItem(work->item, &plat::ndis::work_routine, DelayedWorkQueue, work);
}

void NdisFreeIoWorkItem(NDIS_HANDLE handle) {
  auto* work = static_cast<plat::ndis::WorkItem*>(handle);
  if (work == nullptr) return;
  IoFreeWorkItem(work->item);
  plat::ndis::hold(work->adapter, [](auto& h) { --h.work_items; });
  ExFreePoolWithTag(work, plat::ndis::kNdisTag);
}
