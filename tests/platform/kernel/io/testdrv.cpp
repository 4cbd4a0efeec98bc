// A small driver for the I/O manager's tests: buffered, direct and neither
// requests, a cancel-safe queue with insert contexts, completion from a DPC
// and from another process's request, pages and a doorbell page mapped into
// processes, and DMA into a caller's locked pages.
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/kernel/driver.h"
#include "platform/kernel/io/iomgr.h"
#include "platform/kernel/kernel.h"
#include "tests/platform/kernel/io/testdrv.h"

namespace {

constexpr ULONG kTag = MAKEFOURCC_LE('T', 's', 't', 'D');

// The test device's registers: it records every write.
class Recorder final : public plat::MmioHandler {
 public:
  std::uint64_t mmio_read(std::uint64_t, unsigned) override { return 0; }
  void mmio_write(std::uint64_t offset, std::uint64_t value, unsigned) override {
    std::lock_guard lock(mu);
    writes.push_back({offset, value});
  }
  std::mutex mu;
  std::vector<testdrv::DoorbellWrite> writes;
};

struct Mapping {
  PMDL mdl;
  PVOID user;
  PVOID page;  // null for the doorbell page
};

struct FileContext {
  Mapping page{};
  Mapping doorbell{};
};

struct Extension {
  LIST_ENTRY queue;
  KSPIN_LOCK lock;
  IO_CSQ csq;
  KEVENT wake;
  PUCHAR registers;
  Recorder* recorder;
  LONG mappings;
};

PDEVICE_OBJECT g_device;
char16_t g_computer_name[32];

Extension* ext(PDEVICE_OBJECT device) { return static_cast<Extension*>(device->DeviceExtension); }
Extension* ext_of(PIO_CSQ csq) { return CONTAINING_RECORD(csq, Extension, csq); }

// ---- The queue's callbacks: the key is kept in DriverContext[0]; a peek
// context with its low bit set selects the requests of one file object.
NTSTATUS csq_insert(PIO_CSQ csq, PIRP irp, PVOID key) {
  irp->Tail.Overlay.DriverContext[0] = key;
  InsertTailList(&ext_of(csq)->queue, &irp->Tail.Overlay.ListEntry);
  return STATUS_SUCCESS;
}
void csq_remove(PIO_CSQ, PIRP irp) { RemoveEntryList(&irp->Tail.Overlay.ListEntry); }
PIRP csq_peek(PIO_CSQ csq, PIRP irp, PVOID peek) {
  LIST_ENTRY* head = &ext_of(csq)->queue;
  LIST_ENTRY* entry = irp == nullptr ? head->Flink : irp->Tail.Overlay.ListEntry.Flink;
  for (; entry != head; entry = entry->Flink) {
    PIRP candidate = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    const auto wanted = reinterpret_cast<ULONG_PTR>(peek);
    if (peek == nullptr) return candidate;
    if ((wanted & 1) != 0) {
      if (reinterpret_cast<ULONG_PTR>(IoGetCurrentIrpStackLocation(candidate)->FileObject) == (wanted & ~1ull)) {
        return candidate;
      }
    } else if (candidate->Tail.Overlay.DriverContext[0] == peek) {
      return candidate;
    }
  }
  return nullptr;
}
void csq_acquire(PIO_CSQ csq, PKIRQL irql) { KeAcquireSpinLock(&ext_of(csq)->lock, irql); }
void csq_release(PIO_CSQ csq, KIRQL irql) { KeReleaseSpinLock(&ext_of(csq)->lock, irql); }
void csq_complete_cancelled(PIO_CSQ, PIRP irp) {
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

struct DpcContext {
  KTIMER timer;
  KDPC dpc;
  PIRP irp;
  std::uint64_t value;
};

void dpc_complete(KDPC*, PVOID context, PVOID, PVOID) {
  auto* c = static_cast<DpcContext*>(context);
  std::memcpy(c->irp->AssociatedIrp.SystemBuffer, &c->value, sizeof c->value);
  complete(c->irp, STATUS_SUCCESS, sizeof c->value);
  ExFreePoolWithTag(c, kTag);
}

void unmap(Mapping& mapping) {
  if (mapping.mdl == nullptr) return;
  MmUnmapLockedPages(mapping.user, mapping.mdl);
  IoFreeMdl(mapping.mdl);
  if (mapping.page != nullptr) ExFreePoolWithTag(mapping.page, kTag);
  InterlockedDecrement(&ext(g_device)->mappings);
  mapping = Mapping{};
}

NTSTATUS map(PVOID kernel, Mapping& mapping, PVOID page) {
  PMDL mdl = IoAllocateMdl(kernel, PAGE_SIZE, FALSE, FALSE, nullptr);
  if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  MmBuildMdlForNonPagedPool(mdl);
  PVOID user = MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
  if (user == nullptr) {
    IoFreeMdl(mdl);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  mapping = Mapping{mdl, user, page};
  InterlockedIncrement(&ext(g_device)->mappings);
  return STATUS_SUCCESS;
}

NTSTATUS device_control(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  void* buffer = irp->AssociatedIrp.SystemBuffer;
  auto* file = static_cast<FileContext*>(stack->FileObject->FsContext);
  Extension* e = ext(device);
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case testdrv::kEcho:
      return complete(irp, STATUS_SUCCESS, in);
    case testdrv::kStatus: {
      if (in < sizeof(testdrv::StatusRequest)) return complete(irp, STATUS_INVALID_PARAMETER, 0);
      testdrv::StatusRequest request;
      std::memcpy(&request, buffer, sizeof request);
      std::memset(buffer, static_cast<int>(request.fill), in > out ? in : out);
      return complete(irp, request.status, request.information);
    }
    case testdrv::kPend: {
      if (in < sizeof(testdrv::Key)) return complete(irp, STATUS_INVALID_PARAMETER, 0);
      testdrv::Key key;
      std::memcpy(&key, buffer, sizeof key);
      NTSTATUS status = IoCsqInsertIrpEx(&e->csq, irp, nullptr, reinterpret_cast<PVOID>(key.key));
      if (!NT_SUCCESS(status)) return complete(irp, status, 0);
      return STATUS_PENDING;
    }
    case testdrv::kComplete: {
      if (in < sizeof(testdrv::CompleteRequest) || out < 4) return complete(irp, STATUS_INVALID_PARAMETER, 0);
      testdrv::CompleteRequest request;
      std::memcpy(&request, buffer, sizeof request);
      if (request.key == 0) return complete(irp, STATUS_INVALID_PARAMETER, 0);
      std::uint32_t count = 0;
      while (PIRP pended = IoCsqRemoveNextIrp(&e->csq, reinterpret_cast<PVOID>(request.key))) {
        std::memcpy(pended->AssociatedIrp.SystemBuffer, &request.value, sizeof request.value);
        complete(pended, request.status, sizeof request.value);
        ++count;
        if (!request.all) break;
      }
      std::memcpy(buffer, &count, sizeof count);
      return complete(irp, STATUS_SUCCESS, sizeof count);
    }
    case testdrv::kPendDpc: {
      if (in < sizeof(testdrv::DpcRequest) || out < 8) return complete(irp, STATUS_INVALID_PARAMETER, 0);
      auto* c = static_cast<DpcContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(DpcContext), kTag));
      if (c == nullptr) return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
      testdrv::DpcRequest request;
      std::memcpy(&request, buffer, sizeof request);
      c->irp = irp;
      c->value = request.value;
      KeInitializeTimer(&c->timer);
      KeInitializeDpc(&c->dpc, &dpc_complete, c);
      IoMarkIrpPending(irp);
      LARGE_INTEGER due;
      due.QuadPart = -static_cast<LONGLONG>(request.ms) * 10'000;
      KeSetTimer(&c->timer, due, &c->dpc);
      return STATUS_PENDING;
    }
    case testdrv::kPool: {
      if (out < sizeof(testdrv::PoolReply)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      auto& kernel = plat::Kernel::current();
      testdrv::PoolReply reply{kernel.pool().blocks_in_use(), kernel.pool().bytes_in_use(),
                               plat::IoManager::current().irps_in_flight(), static_cast<std::uint64_t>(e->mappings)};
      // This request's own buffer and IRP are not counted.
      reply.blocks -= 2;
      reply.requests -= 1;
      std::memcpy(buffer, &reply, sizeof reply);
      return complete(irp, STATUS_SUCCESS, sizeof reply);
    }
    case testdrv::kMapPage: {
      if (out < sizeof(testdrv::Address) || file->page.mdl != nullptr)
        return complete(irp, STATUS_INVALID_DEVICE_STATE, 0);
      PVOID page = ExAllocatePoolWithTag(NonPagedPool, PAGE_SIZE, kTag);
      if (page == nullptr) return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
      std::memset(page, 0, PAGE_SIZE);
      NTSTATUS status = map(page, file->page, page);
      if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(page, kTag);
        return complete(irp, status, 0);
      }
      testdrv::Address reply{reinterpret_cast<std::uint64_t>(file->page.user)};
      std::memcpy(buffer, &reply, sizeof reply);
      return complete(irp, STATUS_SUCCESS, sizeof reply);
    }
    case testdrv::kFillPage: {
      if (in < sizeof(testdrv::Fill) || file->page.page == nullptr)
        return complete(irp, STATUS_INVALID_DEVICE_STATE, 0);
      testdrv::Fill fill;
      std::memcpy(&fill, buffer, sizeof fill);
      std::memset(file->page.page, static_cast<int>(fill.byte), PAGE_SIZE);
      return complete(irp, STATUS_SUCCESS, 0);
    }
    case testdrv::kUnmapPage:
      unmap(file->page);
      return complete(irp, STATUS_SUCCESS, 0);
    case testdrv::kMapDoorbell: {
      if (out < sizeof(testdrv::Address) || file->doorbell.mdl != nullptr)
        return complete(irp, STATUS_INVALID_DEVICE_STATE, 0);
      NTSTATUS status = map(e->registers + testdrv::kDoorbellPage * PAGE_SIZE, file->doorbell, nullptr);
      if (!NT_SUCCESS(status)) return complete(irp, status, 0);
      testdrv::Address reply{reinterpret_cast<std::uint64_t>(file->doorbell.user)};
      std::memcpy(buffer, &reply, sizeof reply);
      return complete(irp, STATUS_SUCCESS, sizeof reply);
    }
    case testdrv::kUnmapDoorbell:
      unmap(file->doorbell);
      return complete(irp, STATUS_SUCCESS, 0);
    case testdrv::kDoorbells: {
      if (out < 8) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      std::lock_guard lock(e->recorder->mu);
      const std::size_t room = (out - 8) / sizeof(testdrv::DoorbellWrite);
      const std::size_t n = std::min(room, e->recorder->writes.size());
      auto* log = static_cast<testdrv::DoorbellLog*>(buffer);
      log->count = static_cast<std::uint32_t>(e->recorder->writes.size());
      for (std::size_t i = 0; i < n; ++i) {
        log->writes[i] = e->recorder->writes[i];
        log->writes[i].offset -= testdrv::kDoorbellPage * PAGE_SIZE;
      }
      return complete(irp, STATUS_SUCCESS, 8 + n * sizeof(testdrv::DoorbellWrite));
    }
    case testdrv::kWait: {
      if (out < 4) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      NTSTATUS waited = KeWaitForSingleObject(&e->wake, UserRequest, UserMode, TRUE, nullptr);
      std::memcpy(buffer, &waited, sizeof waited);
      return complete(irp, STATUS_SUCCESS, sizeof waited);
    }
    case testdrv::kWake:
      KeSetEvent(&e->wake, IO_NO_INCREMENT, FALSE);
      return complete(irp, STATUS_SUCCESS, 0);
    case testdrv::kNeitherSum: {
      // No guard here: a bad address raises, and the I/O manager completes the request.
      const void* input = stack->Parameters.DeviceIoControl.Type3InputBuffer;
      ProbeForRead(input, in, 1);
      ProbeForWrite(irp->UserBuffer, sizeof(std::uint64_t), 1);
      std::vector<unsigned char> bytes(in);
      NTSTATUS status = PlatCopyFromUser(bytes.data(), input, in);
      if (!NT_SUCCESS(status)) return complete(irp, status, 0);
      std::uint64_t sum = 0;
      for (unsigned char b : bytes) sum += b;
      status = PlatCopyToUser(irp->UserBuffer, &sum, sizeof sum);
      return complete(irp, status, NT_SUCCESS(status) ? sizeof sum : 0);
    }
    case testdrv::kOutDirect: {
      if (in < 1 || irp->MdlAddress == nullptr) return complete(irp, STATUS_INVALID_PARAMETER, 0);
      auto* target = static_cast<unsigned char*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
      if (target == nullptr) return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
      std::memset(target, static_cast<unsigned char*>(buffer)[0], MmGetMdlByteCount(irp->MdlAddress));
      return complete(irp, STATUS_SUCCESS, MmGetMdlByteCount(irp->MdlAddress));
    }
    case testdrv::kDmaUser: {
      testdrv::DmaRequest request;
      NTSTATUS status = PlatCopyFromUser(&request, stack->Parameters.DeviceIoControl.Type3InputBuffer,
                                         in < sizeof request ? 0 : sizeof request);
      if (in < sizeof request || !NT_SUCCESS(status)) return complete(irp, STATUS_INVALID_PARAMETER, 0);
      PMDL mdl = IoAllocateMdl(reinterpret_cast<PVOID>(request.address), request.length, FALSE, FALSE, nullptr);
      if (mdl == nullptr) return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
      try {
        MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
      } catch (const plat::SehException& x) {
        IoFreeMdl(mdl);
        return complete(irp, x.code, 0);
      }
      // As the adapter would: page by page through the frame numbers.
      auto& memory = plat::Kernel::current().memory();
      PPFN_NUMBER pfns = MmGetMdlPfnArray(mdl);
      ULONG done = 0, offset = MmGetMdlByteOffset(mdl);
      std::vector<unsigned char> chunk(PAGE_SIZE, static_cast<unsigned char>(request.byte));
      for (ULONG i = 0; done < request.length; ++i) {
        const ULONG n = std::min<ULONG>(PAGE_SIZE - offset, request.length - done);
        if (!memory.dma_write((static_cast<std::uint64_t>(pfns[i]) << PAGE_SHIFT) + offset, chunk.data(), n)) {
          status = STATUS_UNSUCCESSFUL;
        }
        done += n;
        offset = 0;
      }
      MmUnlockPages(mdl);
      IoFreeMdl(mdl);
      return complete(irp, status, 0);
    }
    case testdrv::kWho: {
      if (out < sizeof(testdrv::WhoReply)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      testdrv::WhoReply reply{};
      reply.process_id = reinterpret_cast<std::uint64_t>(PsGetCurrentProcessId());
      reply.thread_id = reinterpret_cast<std::uint64_t>(PsGetCurrentThreadId());
      reply.process_object = reinterpret_cast<std::uint64_t>(PsGetProcessId(PsGetCurrentProcess()));
      PEPROCESS requestor = IoGetRequestorProcess(irp);
      reply.requestor = requestor != nullptr ? reinterpret_cast<std::uint64_t>(PsGetProcessId(requestor)) : 0;
      std::memcpy(reply.computer_name, g_computer_name, sizeof reply.computer_name);
      std::memcpy(buffer, &reply, sizeof reply);
      return complete(irp, STATUS_SUCCESS, sizeof reply);
    }
    case testdrv::kQueryValue: {
      if (in < sizeof(testdrv::ValueQuery) || out < sizeof(testdrv::ValueReply)) {
        return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      }
      testdrv::ValueQuery query;
      std::memcpy(&query, buffer, sizeof query);
      query.key[std::size(query.key) - 1] = 0;
      query.name[std::size(query.name) - 1] = 0;
      testdrv::ValueReply reply{};
      UNICODE_STRING key_name, value_name;
      RtlInitUnicodeString(&key_name, query.key);
      RtlInitUnicodeString(&value_name, query.name);
      OBJECT_ATTRIBUTES attributes;
      InitializeObjectAttributes(&attributes, &key_name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
      HANDLE key = nullptr;
      reply.status = ZwOpenKey(&key, KEY_READ, &attributes);
      if (NT_SUCCESS(reply.status)) {
        alignas(8) UCHAR info[offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + sizeof reply.data];
        ULONG length = 0;
        reply.status = ZwQueryValueKey(key, &value_name, KeyValuePartialInformation, info, sizeof info, &length);
        if (NT_SUCCESS(reply.status)) {
          auto* partial = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(info);
          reply.type = partial->Type;
          reply.length = partial->DataLength;
          std::memcpy(reply.data, partial->Data, partial->DataLength);
        }
        ZwClose(key);
      }
      std::memcpy(buffer, &reply, sizeof reply);
      return complete(irp, STATUS_SUCCESS, sizeof reply);
    }
    default:
      return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS create(PDEVICE_OBJECT, PIRP irp) {
  auto* context = static_cast<FileContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(FileContext), kTag));
  if (context == nullptr) return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  *context = FileContext{};
  IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext = context;
  return complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS cleanup(PDEVICE_OBJECT device, PIRP irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  // The file's pended requests end as cancelled.
  const auto peek = reinterpret_cast<PVOID>(reinterpret_cast<ULONG_PTR>(file) | 1);
  while (PIRP pended = IoCsqRemoveNextIrp(&ext(device)->csq, peek)) complete(pended, STATUS_CANCELLED, 0);
  auto* context = static_cast<FileContext*>(file->FsContext);
  unmap(context->page);
  unmap(context->doorbell);
  return complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS close(PDEVICE_OBJECT, PIRP irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  ExFreePoolWithTag(file->FsContext, kTag);
  file->FsContext = nullptr;
  return complete(irp, STATUS_SUCCESS, 0);
}

void unload(PDRIVER_OBJECT) {
  // A completing DPC may still be running the end of IoCompleteRequest:
  // let it finish before the driver (and the host's I/O manager) goes.
  KeFlushQueuedDpcs();
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, u"\\DosDevices\\zektest");
  IoDeleteSymbolicLink(&link);
  Extension* e = ext(g_device);
  MmUnmapIoSpace(e->registers, 2 * PAGE_SIZE);
  plat::Kernel::current().io_space().remove_range(testdrv::kRegisterBase);
  delete e->recorder;
  IoDeleteDevice(g_device);
  g_device = nullptr;
}

}  // namespace

// The computer name, read as a driver of this system reads it: absolute,
// optional key, direct value, an empty default.
void read_computer_name() {
  UNICODE_STRING value{0, sizeof g_computer_name - 2, g_computer_name};
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
  table[0].Name = const_cast<PWSTR>(u"ComputerName");
  table[0].EntryContext = &value;
  table[0].DefaultType = REG_SZ;
  table[0].DefaultData = const_cast<char16_t*>(u"");
  table[0].DefaultLength = 64;
  std::memset(g_computer_name, 0, sizeof g_computer_name);
  RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
                         u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName",
                         table, nullptr, nullptr);
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  read_computer_name();
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, u"\\Device\\zektest");
  RtlInitUnicodeString(&link, u"\\DosDevices\\zektest");
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &g_device);
  if (!NT_SUCCESS(status)) return status;
  Extension* e = ext(g_device);
  InitializeListHead(&e->queue);
  KeInitializeSpinLock(&e->lock);
  KeInitializeEvent(&e->wake, SynchronizationEvent, FALSE);
  IoCsqInitializeEx(&e->csq, &csq_insert, &csq_remove, &csq_peek, &csq_acquire, &csq_release, &csq_complete_cancelled);
  e->recorder = new Recorder;
  plat::Kernel::current().io_space().add_range(testdrv::kRegisterBase, 2 * PAGE_SIZE, e->recorder);
  PHYSICAL_ADDRESS base;
  base.QuadPart = static_cast<LONGLONG>(testdrv::kRegisterBase);
  e->registers = static_cast<PUCHAR>(MmMapIoSpace(base, 2 * PAGE_SIZE, MmNonCached));
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    unload(driver);
    return status;
  }
  driver->MajorFunction[IRP_MJ_CREATE] = &create;
  driver->MajorFunction[IRP_MJ_CLEANUP] = &cleanup;
  driver->MajorFunction[IRP_MJ_CLOSE] = &close;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = &device_control;
  driver->DriverUnload = &unload;
  g_device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}
