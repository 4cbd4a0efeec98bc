// Demonstrates the host kernel on the real clock: a system thread and a
// periodic timer DPC meet on an event, a driver-style routine allocates
// contiguous memory and programs a small register window whose device DMAs
// into that memory by physical address.
#include <cstdio>
#include <cstring>

#include "platform/kernel/kernel.h"
#include "platform/kernel/nt.h"

namespace {

constexpr ULONG kTag = MAKEFOURCC_LE('D', 'e', 'm', 'o');

// A toy device: writing a physical address to offset 0 and a length to
// offset 8 makes it fill that memory with a pattern and count the request.
class PatternDevice : public plat::MmioHandler {
 public:
  explicit PatternDevice(plat::PhysicalMemory& memory) : memory_(memory) {}
  std::uint64_t mmio_read(std::uint64_t offset, unsigned) override { return offset == 0x10 ? requests_ : 0; }
  void mmio_write(std::uint64_t offset, std::uint64_t value, unsigned) override {
    if (offset == 0) address_ = value;
    if (offset == 8) {
      std::vector<unsigned char> bytes(value);
      for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>('A' + i % 26);
      if (memory_.dma_write(address_, bytes.data(), bytes.size())) ++requests_;
    }
  }

 private:
  plat::PhysicalMemory& memory_;
  std::uint64_t address_ = 0;
  std::uint32_t requests_ = 0;
};

struct Demo {
  KEVENT tick;
  KTIMER timer;
  KDPC dpc;
  LONG ticks;
};

void tick_dpc(KDPC*, PVOID context, PVOID, PVOID) {
  auto* demo = static_cast<Demo*>(context);
  std::printf("  timer DPC %d at IRQL %u on processor %u\n", InterlockedIncrement(&demo->ticks), KeGetCurrentIrql(),
              KeGetCurrentProcessorNumber());
  KeSetEvent(&demo->tick, 0, FALSE);
}

void worker(PVOID context) {
  auto* demo = static_cast<Demo*>(context);
  for (int i = 0; i < 3; ++i) {
    KeWaitForSingleObject(&demo->tick, Executive, KernelMode, FALSE, nullptr);
    std::printf("  system thread %p woke at IRQL %u\n", PsGetCurrentThreadId(), KeGetCurrentIrql());
  }
}

}  // namespace

int main() {
  plat::Kernel kernel;
  std::printf("zekplatdemo: host kernel on the real clock, %u processors\n", KeQueryActiveProcessorCount(nullptr));

  auto* demo = static_cast<Demo*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Demo), kTag));
  std::memset(demo, 0, sizeof *demo);
  KeInitializeEvent(&demo->tick, SynchronizationEvent, FALSE);
  KeInitializeTimer(&demo->timer);
  KeInitializeDpc(&demo->dpc, tick_dpc, demo);

  HANDLE thread_handle = nullptr;
  PsCreateSystemThread(&thread_handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, worker, demo);
  PVOID thread = nullptr;
  ObReferenceObjectByHandle(thread_handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
  ZwClose(thread_handle);

  LARGE_INTEGER due;
  due.QuadPart = -50 * 10'000;  // 50 ms
  KeSetTimerEx(&demo->timer, due, 50, &demo->dpc);
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(thread);
  KeCancelTimer(&demo->timer);
  KeFlushQueuedDpcs();

  PatternDevice device(kernel.memory());
  kernel.io_space().add_range(0xF000'0000, 0x1000, &device);
  PHYSICAL_ADDRESS bar;
  bar.QuadPart = 0xF000'0000;
  auto* regs = static_cast<UCHAR*>(MmMapIoSpace(bar, 0x1000, MmNonCached));
  PHYSICAL_ADDRESS highest;
  highest.QuadPart = -1;
  auto* buffer = static_cast<char*>(MmAllocateContiguousMemory(2 * PAGE_SIZE, highest));
  PHYSICAL_ADDRESS pa = MmGetPhysicalAddress(buffer);
  WRITE_REGISTER_ULONG64(reinterpret_cast<volatile ULONG64*>(regs), static_cast<ULONG64>(pa.QuadPart));
  WRITE_REGISTER_ULONG64(reinterpret_cast<volatile ULONG64*>(regs + 8), 26);
  std::printf("  device request count %u, buffer at physical 0x%llx reads \"%.26s\"\n",
              READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(regs + 0x10)),
              static_cast<unsigned long long>(pa.QuadPart), buffer);
  MmFreeContiguousMemory(buffer);
  MmUnmapIoSpace(regs, 0x1000);
  kernel.io_space().remove_range(0xF000'0000);

  ExFreePoolWithTag(demo, kTag);
  std::printf("zekplatdemo: pool blocks left %llu\n", static_cast<unsigned long long>(kernel.pool().blocks_in_use()));
  return kernel.pool().blocks_in_use() == 0 ? 0 : 1;
}
