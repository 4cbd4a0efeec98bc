// Requests from user processes: open, control requests, CancelIo, close,
// and the end of a process.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>

#include "platform/kernel/fault.h"
#include "platform/kernel/io/io_internal.h"
#include "platform/kernel/io/usermem.h"

namespace plat {
namespace {

void destroy_process(void* body) { destroy_object<_EPROCESS>(body); }

HANDLE as_handle(std::int64_t id) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(id)); }

// The largest buffered request the host accepts (a record, a log copy).
constexpr ULONG kMaxBufferedLength = 64u << 20;

}  // namespace

const OBJECT_TYPE kProcessObjectType{"Process", &destroy_process};

UserProcess::UserProcess(pid_t pid, std::shared_ptr<ProcessLink> link) : pid_(pid), link_(std::move(link)) {
  InitializeListHead(&pending_);
  dispatching_.reserve(16);
  eprocess_ = create_object<_EPROCESS>(kProcessObjectType);
  std::memset(eprocess_, 0, sizeof *eprocess_);
  eprocess_->UniqueProcessId = as_handle(pid);
  eprocess_->Impl = this;
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  std::strncpy(eprocess_->ImageFileName, name.c_str(), sizeof eprocess_->ImageFileName - 1);
}

UserProcess::~UserProcess() {
  eprocess_->Impl = nullptr;
  dereference(eprocess_);
}

std::shared_ptr<UserProcess> IoManager::attach_process(pid_t pid, std::shared_ptr<ProcessLink> link) {
  auto process = std::make_shared<UserProcess>(pid, std::move(link));
  std::lock_guard lock(mu_);
  processes_[pid] = process;
  return process;
}

std::shared_ptr<UserProcess> IoManager::find_process(pid_t pid) {
  std::lock_guard lock(mu_);
  auto it = processes_.find(pid);
  if (it == processes_.end()) return nullptr;
  auto process = it->second.lock();
  return process && process->alive() ? process : nullptr;
}

std::shared_ptr<UserProcess> IoManager::process_of(PEPROCESS eprocess) {
  if (eprocess == nullptr || eprocess->Impl == nullptr) return nullptr;
  std::lock_guard lock(mu_);
  auto it = processes_.find(static_cast<pid_t>(reinterpret_cast<intptr_t>(eprocess->UniqueProcessId)));
  if (it == processes_.end()) return nullptr;
  auto process = it->second.lock();
  return process && process->eprocess() == eprocess ? process : nullptr;
}

void IoManager::detach_process(UserProcess& process) {
  process.alive_.store(false);
  process.eprocess_->Terminating = TRUE;
  // End what the process still has in the drivers: requests running in a
  // user-mode wait are alerted, pended requests are cancelled. Repeat until
  // nothing runs any more, because a running request may pend another.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    std::vector<PKTHREAD> running;
    std::vector<PIRP> pending;
    {
      std::lock_guard lock(process.requests_mu_);
      running = process.dispatching_;
      for (PLIST_ENTRY e = process.pending_.Flink; e != &process.pending_; e = e->Flink) {
        IrpOrigin* origin = CONTAINING_RECORD(e, IrpOrigin, pending_link);
        origin->refs.fetch_add(1);
        pending.push_back(origin->irp);
      }
      for (PKTHREAD thread : running) KeAlertThread(thread, UserMode);
    }
    for (PIRP irp : pending) {
      IoCancelIrp(irp);
      release_request(irp);
    }
    std::unique_lock lock(process.requests_mu_);
    if (process.dispatching_.empty()) break;
    process.idle_cv_.wait_for(lock, std::chrono::milliseconds(10));
    if (process.dispatching_.empty()) break;
    if (std::chrono::steady_clock::now() > give_up) {
      DbgPrint("I/O manager: process %d: %zu request(s) still running in drivers after it ended\n",
               static_cast<int>(process.pid()), process.dispatching_.size());
      break;
    }
  }
  // Cleanup of every file it held, in its context; close follows when the
  // last request of each file has gone.
  std::unordered_map<std::uint64_t, PFILE_OBJECT> files;
  {
    std::lock_guard lock(process.mu_);
    files.swap(process.files_);
  }
  {
    ClientContext context(as_handle(process.pid()), nullptr, process.eprocess());
    for (auto& [id, file] : files) {
      send_file_request(file, IRP_MJ_CLEANUP);
      file_impl(file)->cleanup_sent = true;
      dereference(file);
    }
  }
  UserMaps::forget_all(process);
  std::lock_guard lock(mu_);
  auto it = processes_.find(process.pid());
  if (it != processes_.end() && it->second.lock().get() == &process) processes_.erase(it);
}

NTSTATUS IoManager::user_open(const Caller& caller, std::string_view name, ULONG, ULONG share_access, bool overlapped,
                              std::uint64_t* file_id) {
  UserProcess& process = *caller.process;
  if (name.empty() || name.size() >= proto::kMaxName) return STATUS_OBJECT_NAME_INVALID;
  ClientContext context(as_handle(process.pid()), as_handle(caller.thread_id), process.eprocess());
  PFILE_OBJECT file = nullptr;
  NTSTATUS status =
      resolve_and_open(u"\\??\\" + to_u16(name), caller.process, overlapped, share_access, FILE_OPEN << 24, &file);
  if (!NT_SUCCESS(status)) return status;
  {
    std::lock_guard lock(process.mu_);
    if (process.alive()) {
      *file_id = ++process.next_file_;
      process.files_.emplace(*file_id, file);
      return status;
    }
  }
  // The process went while its open was in the driver.
  send_file_request(file, IRP_MJ_CLEANUP);
  file_impl(file)->cleanup_sent = true;
  dereference(file);
  return STATUS_DELETE_PENDING;
}

void IoManager::user_ioctl(const Caller& caller, const proto::Ioctl& request, std::span<const std::byte> inline_input) {
  UserProcess& process = *caller.process;
  PFILE_OBJECT file = nullptr;
  {
    std::shared_lock lock(process.mu_);
    auto it = process.files_.find(request.file);
    if (it != process.files_.end()) {
      file = it->second;
      reference(file);
    }
  }
  ProcessLink& link = caller.reply_link ? *caller.reply_link : process.link();
  if (file == nullptr) {
    link.send_complete(request.request, STATUS_INVALID_HANDLE, 0, false);
    return;
  }
  PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file);
  auto* origin = new IrpOrigin{IrpOrigin::Kind::User};
  origin->process = caller.process;
  origin->reply_link = caller.reply_link;
  origin->request = request.request;
  origin->thread_id = caller.thread_id;
  origin->user_output = request.output;
  origin->output_length = request.output_length;
  origin->method = METHOD_FROM_CTL_CODE(request.code);
  origin->overlapped = file_impl(file)->overlapped;
  const bool buffered = origin->method == METHOD_BUFFERED;
  origin->inline_output =
      buffered && (request.overlapped & proto::kIoctlInlineOutput) != 0 && request.output_length <= proto::kMaxInline;
  const bool input_inline =
      buffered && (request.overlapped & proto::kIoctlInlineInput) != 0 && inline_input.size() == request.input_length;
  const bool overlapped = origin->overlapped;
  PIRP irp = allocate_request(device, file, origin, UserMode);
  dereference(file);  // the request holds the file now
  if (irp == nullptr) {
    delete origin;
    link.send_complete(request.request, STATUS_INSUFFICIENT_RESOURCES, 0, false);
    return;
  }
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  stack->FileObject = file;
  stack->Parameters.DeviceIoControl.IoControlCode = request.code;
  stack->Parameters.DeviceIoControl.InputBufferLength = request.input_length;
  stack->Parameters.DeviceIoControl.OutputBufferLength = request.output_length;

  PKTHREAD self = current_kthread();
  {
    std::lock_guard lock(process.requests_mu_);
    origin->irp = irp;
    InsertTailList(&process.pending_, &origin->pending_link);
    process.dispatching_.push_back(self);
  }
  ClientContext context(as_handle(process.pid()), as_handle(caller.thread_id), process.eprocess());
  // The buffers, as the method asks; a failure completes the request at once.
  NTSTATUS status = STATUS_SUCCESS;
  void* input = reinterpret_cast<void*>(request.input);
  switch (origin->method) {
    case METHOD_BUFFERED: {
      const ULONG length = std::max(request.input_length, request.output_length);
      if (length > kMaxBufferedLength) {
        status = STATUS_INSUFFICIENT_RESOURCES;
      } else if (length != 0) {
        void* buffer = ExAllocatePoolWithTag(NonPagedPool, length, kSystemBufferTag);
        if (buffer == nullptr) {
          status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
          irp->AssociatedIrp.SystemBuffer = buffer;
          std::memset(buffer, 0, length);
          if (input_inline) {
            std::memcpy(buffer, inline_input.data(), request.input_length);
          } else if (request.input_length != 0) {
            status = PlatCopyFromUser(buffer, input, request.input_length);
          }
        }
      }
      break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (request.input_length != 0) {
        void* buffer = request.input_length > kMaxBufferedLength
                           ? nullptr
                           : ExAllocatePoolWithTag(NonPagedPool, request.input_length, kSystemBufferTag);
        if (buffer == nullptr) {
          status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
          irp->AssociatedIrp.SystemBuffer = buffer;
          status = PlatCopyFromUser(buffer, input, request.input_length);
        }
      }
      if (NT_SUCCESS(status) && request.output_length != 0) {
        PMDL mdl = IoAllocateMdl(reinterpret_cast<void*>(request.output), request.output_length, FALSE, FALSE, irp);
        if (mdl == nullptr) {
          status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
          try {
            MmProbeAndLockPages(mdl, UserMode, origin->method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
          } catch (const SehException& e) {
            status = e.code;
          }
        }
      }
      break;
    default:
      stack->Parameters.DeviceIoControl.Type3InputBuffer = input;
      irp->UserBuffer = reinterpret_cast<void*>(request.output);
      break;
  }
  NTSTATUS returned;
  if (!NT_SUCCESS(status)) {
    // Not sent to the driver: complete it here, as the system service would fail it.
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    returned = status;
  } else {
    returned = guarded_call(device, irp);
  }
  {
    std::lock_guard lock(process.requests_mu_);
    auto& running = process.dispatching_;
    if (auto it = std::find(running.begin(), running.end(), self); it != running.end()) running.erase(it);
  }
  process.idle_cv_.notify_all();
  if (overlapped) link.send_pending(request.request, returned);
}

NTSTATUS IoManager::user_cancel(const Caller& caller, std::uint64_t file_id) {
  UserProcess& process = *caller.process;
  std::vector<PIRP> mine;
  PFILE_OBJECT file = nullptr;
  {
    std::shared_lock lock(process.mu_);
    auto it = process.files_.find(file_id);
    if (it == process.files_.end()) return STATUS_INVALID_HANDLE;
    file = it->second;
  }
  {
    // Only compared: a request of the file holds it.
    std::lock_guard lock(process.requests_mu_);
    for (PLIST_ENTRY e = process.pending_.Flink; e != &process.pending_; e = e->Flink) {
      IrpOrigin* origin = CONTAINING_RECORD(e, IrpOrigin, pending_link);
      PIRP irp = origin->irp;
      if (irp->Tail.Overlay.OriginalFileObject == file && origin->thread_id == caller.thread_id) {
        origin->refs.fetch_add(1);
        mine.push_back(irp);
      }
    }
  }
  ClientContext context(as_handle(process.pid()), as_handle(caller.thread_id), process.eprocess());
  for (PIRP irp : mine) {
    IoCancelIrp(irp);
    release_request(irp);
  }
  return STATUS_SUCCESS;
}

NTSTATUS IoManager::user_close(const Caller& caller, std::uint64_t file_id) {
  UserProcess& process = *caller.process;
  PFILE_OBJECT file = nullptr;
  {
    std::lock_guard lock(process.mu_);
    auto it = process.files_.find(file_id);
    if (it == process.files_.end()) return STATUS_INVALID_HANDLE;
    file = it->second;
    process.files_.erase(it);
  }
  ClientContext context(as_handle(process.pid()), as_handle(caller.thread_id), process.eprocess());
  send_file_request(file, IRP_MJ_CLEANUP);
  file_impl(file)->cleanup_sent = true;
  dereference(file);
  return STATUS_SUCCESS;
}

}  // namespace plat
