// Processes, system threads, kernel handles and object references.
#include <cstring>

#include "platform/kernel/fault.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/process.h"

using plat::fault;
using plat::Kernel;
using plat::this_thread;

namespace {
POBJECT_TYPE thread_type = const_cast<OBJECT_TYPE*>(&plat::kThreadType);

void never_destroyed(void*) { fault(SrcLoc::current(), "the last reference to the system process was released"); }
const OBJECT_TYPE system_process_type{"Process", &never_destroyed};
}  // namespace

POBJECT_TYPE* PsThreadType = &thread_type;

// The system process is a real object (references on it are counted like
// any other), created on first use and alive for the life of the process.
PEPROCESS plat::system_process() {
  static PEPROCESS process = [] {
    auto* p = plat::create_object<_EPROCESS>(system_process_type);
    p->UniqueProcessId = reinterpret_cast<HANDLE>(plat::kSystemProcessId);
    std::strncpy(p->ImageFileName, "System", sizeof p->ImageFileName - 1);
    return p;
  }();
  return process;
}

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG, POBJECT_ATTRIBUTES, HANDLE, PCLIENT_ID ClientId,
                              PKSTART_ROUTINE StartRoutine, PVOID StartContext) {
  if (this_thread().irql != PASSIVE_LEVEL) {
    fault(SrcLoc::current(), "PsCreateSystemThread at IRQL %u", this_thread().irql);
  }
  if (ThreadHandle == nullptr || StartRoutine == nullptr) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = Kernel::current().threads().create(ThreadHandle, StartRoutine, StartContext);
  if (NT_SUCCESS(status) && ClientId != nullptr) {
    PVOID object = nullptr;
    if (NT_SUCCESS(ObReferenceObjectByHandle(*ThreadHandle, 0, thread_type, KernelMode, &object, nullptr))) {
      ClientId->UniqueProcess = static_cast<PKTHREAD>(object)->ProcessId;
      ClientId->UniqueThread = static_cast<PKTHREAD>(object)->ThreadId;
      ObDereferenceObject(object);
    }
  }
  return status;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus, const SrcLoc& where) {
  if (!plat::current_kthread()->SystemThread) fault(where, "PsTerminateSystemThread outside a system thread");
  throw plat::ThreadTermination{ExitStatus};
}

HANDLE PsGetCurrentProcessId() {
  const auto& state = this_thread();
  return state.process_id != nullptr ? state.process_id : plat::current_kthread()->ProcessId;
}

HANDLE PsGetCurrentThreadId() {
  const auto& state = this_thread();
  return state.thread_id != nullptr ? state.thread_id : plat::current_kthread()->ThreadId;
}

PETHREAD PsGetCurrentThread() { return plat::current_kthread(); }

PEPROCESS PsGetCurrentProcess() {
  const auto& state = this_thread();
  return state.process != nullptr ? state.process : plat::system_process();
}

HANDLE PsGetProcessId(PEPROCESS Process) { return Process->UniqueProcessId; }
HANDLE PsGetThreadId(PETHREAD Thread) { return Thread->ThreadId; }
BOOLEAN PsIsSystemThread(PETHREAD Thread) { return Thread->SystemThread; }

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK, POBJECT_TYPE ObjectType, KPROCESSOR_MODE, PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation) {
  NTSTATUS status = STATUS_INVALID_HANDLE;
  void* body = Kernel::current().handles().reference(Handle, ObjectType, &status);
  *Object = body;
  if (body != nullptr && HandleInformation != nullptr) {
    HandleInformation->HandleAttributes = 0;
    HandleInformation->GrantedAccess = 0x1FFFFF;
  }
  return status;
}

LONG_PTR ObReferenceObject(PVOID Object) {
  return static_cast<LONG_PTR>(plat::header_of(Object)->refs.fetch_add(1) + 1);
}

LONG_PTR ObDereferenceObject(PVOID Object) {
  const auto after = static_cast<LONG_PTR>(plat::header_of(Object)->refs.load() - 1);
  plat::dereference(Object);
  return after;
}

NTSTATUS ZwClose(HANDLE Handle) {
  return Kernel::current().handles().close(Handle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}
