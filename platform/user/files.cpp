// Device handles: CreateFile, DeviceIoControl, overlapped results,
// CancelIo, CloseHandle and completion ports.
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>

#include "platform/user/hostlink.h"
#include "platform/user/runtime.h"
#include "platform/user/shared.h"

namespace plat::user {
namespace {

constexpr std::string_view kDevicePrefix = "\\\\.\\";

HANDLE event_of(LPOVERLAPPED overlapped) {
  return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~static_cast<ULONG_PTR>(1));
}

bool posts_packet(LPOVERLAPPED overlapped) { return (reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & 1) == 0; }

ULONG_PTR load(ULONG_PTR& field) { return std::atomic_ref<ULONG_PTR>(field).load(std::memory_order_acquire); }

// The result of a finished request, as the caller sees it.
BOOL finish(NTSTATUS status) {
  if (NT_SUCCESS(status)) return TRUE;
  SetLastError(plat_nt_status_to_win32(status));
  return FALSE;
}

std::string utf8_of(LPCWSTR text) {
  std::string out;
  for (; text != nullptr && *text != 0; ++text) {
    char32_t c = *text;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

}  // namespace

void complete_overlapped(IoObject& file, LPOVERLAPPED overlapped, NTSTATUS status, ULONG_PTR information, bool signal) {
  std::atomic_ref<ULONG_PTR>(overlapped->InternalHigh).store(information, std::memory_order_relaxed);
  std::atomic_ref<ULONG_PTR>(overlapped->Internal)
      .store(static_cast<ULONG_PTR>(static_cast<ULONG>(status)), std::memory_order_release);
  if (signal) {
    HANDLE event = event_of(overlapped);
    if (event != nullptr) {
      if (auto e = handles().get_as<Event>(event)) {
        e->state = true;
        notify_key(e.get());
      }
    } else {
      file.completion_signal = true;
      notify_key(&file);
    }
    if (file.port && posts_packet(overlapped)) {
      file.port->packets.push_back(Packet{static_cast<DWORD>(information), file.key, overlapped, status});
      notify_key(file.port.get());
    }
  }
  notify_key(overlapped);
}

}  // namespace plat::user

// ---- Shared with the platform's other user-mode libraries ----------------------------------

HANDLE zek_user_insert_handle(const std::shared_ptr<plat::user::Object>* object) {
  return object != nullptr && *object ? plat::user::handles().insert(*object) : nullptr;
}

BOOL zek_user_reference_handle(HANDLE handle, std::shared_ptr<plat::user::Object>* object) {
  if (object == nullptr) return FALSE;
  *object = plat::user::handles().get(handle);
  return *object ? TRUE : FALSE;
}

BOOL zek_user_remove_handle(HANDLE handle, std::shared_ptr<plat::user::Object>* object) {
  if (object == nullptr) return FALSE;
  *object = plat::user::handles().remove(handle);
  return *object ? TRUE : FALSE;
}

void zek_user_complete_overlapped(plat::user::IoObject* file, LPOVERLAPPED overlapped, NTSTATUS status,
                                  ULONG_PTR information, BOOL signal) {
  plat::user::WaitLock held;
  plat::user::complete_overlapped(*file, overlapped, status, information, signal != FALSE);
}

using namespace plat::user;

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES, DWORD,
                   DWORD dwFlagsAndAttributes, HANDLE) {
  if (lpFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string_view path(lpFileName);
  if (!path.starts_with(kDevicePrefix) || path.size() == kDevicePrefix.size()) {
    SetLastError(ERROR_PATH_NOT_FOUND);  // only devices are files here
    return INVALID_HANDLE_VALUE;
  }
  const bool overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
  std::uint64_t id = 0;
  std::shared_ptr<HostLink> link;
  NTSTATUS status = STATUS_DEVICE_REMOVED;
  // A connection to a host that has just gone fails once; a new host may be there.
  for (int attempt = 0; attempt < 2 && status == STATUS_DEVICE_REMOVED; ++attempt) {
    link = HostLink::acquire();
    if (!link) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    status = link->open(path.substr(kDevicePrefix.size()), dwDesiredAccess, dwShareMode, overlapped, &id);
  }
  if (!NT_SUCCESS(status)) {
    SetLastError(status == STATUS_DEVICE_REMOVED ? ERROR_FILE_NOT_FOUND : plat_nt_status_to_win32(status));
    return INVALID_HANDLE_VALUE;
  }
  auto file = std::make_shared<File>();
  file->link = link;
  file->id = id;
  file->overlapped = overlapped;
  SetLastError(ERROR_SUCCESS);
  return handles().insert(file);
}

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE hTemplateFile) {
  if (lpFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string name = utf8_of(lpFileName);
  return CreateFileA(name.c_str(), dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,
                     dwFlagsAndAttributes, hTemplateFile);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  auto file = handles().get_as<File>(hDevice);
  if (!file) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (file->overlapped && lpOverlapped == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!file->overlapped) {
    // One request at a time per handle, as for a synchronous file object.
    std::lock_guard serial(file->sync);
    NTSTATUS direct_status = STATUS_SUCCESS;
    std::uint64_t direct_bytes = 0;
    if (lpOverlapped == nullptr &&
        file->link->direct_ioctl(file, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                                 &direct_status, &direct_bytes)) {
      if (lpBytesReturned != nullptr) *lpBytesReturned = static_cast<DWORD>(NT_ERROR(direct_status) ? 0 : direct_bytes);
      return finish(direct_status);
    }
    auto inflight =
        file->link->start_ioctl(file, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize, nullptr);
    std::unique_lock lock(wait_mutex());
    inflight->done.wait(lock, [&] { return inflight->completed; });
    const NTSTATUS status = inflight->status;
    const ULONG_PTR bytes = NT_ERROR(status) ? 0 : inflight->information;
    if (lpBytesReturned != nullptr) *lpBytesReturned = static_cast<DWORD>(bytes);
    if (lpOverlapped != nullptr) {
      lpOverlapped->InternalHigh = bytes;
      lpOverlapped->Internal = static_cast<ULONG>(status);
      if (auto e = handles().get_as<Event>(event_of(lpOverlapped))) {
        e->state = true;
        notify_key(e.get());
      }
    }
    lock.unlock();
    return finish(status);
  }
  std::atomic_ref<ULONG_PTR>(lpOverlapped->Internal).store(static_cast<ULONG>(STATUS_PENDING));
  lpOverlapped->InternalHigh = 0;
  if (HANDLE event = event_of(lpOverlapped)) ResetEvent(event);
  {
    std::lock_guard lock(wait_mutex());
    file->completion_signal = false;
  }
  auto inflight = file->link->start_ioctl(file, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                                          lpOverlapped);
  WaitLock held;
  while (!inflight->dispatched && !(inflight->completed && !inflight->pending_returned)) {
    wait_key(held.lock(), inflight.get());
  }
  if (inflight->dispatched && inflight->returned == STATUS_PENDING) {
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  if (inflight->completed) {
    if (lpBytesReturned != nullptr)
      *lpBytesReturned = static_cast<DWORD>(NT_ERROR(inflight->status) ? 0 : inflight->information);
    return finish(inflight->status);
  }
  if (lpBytesReturned != nullptr) *lpBytesReturned = 0;
  return finish(inflight->returned);
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
  auto file = handles().get_as<IoObject>(hFile);
  if (!file || lpOverlapped == nullptr) {
    SetLastError(file ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (static_cast<NTSTATUS>(load(lpOverlapped->Internal)) == STATUS_PENDING) {
    if (!bWait) {
      SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    HANDLE event = event_of(lpOverlapped);
    if (event != nullptr) WaitForSingleObject(event, INFINITE);
    WaitLock held;
    while (static_cast<NTSTATUS>(load(lpOverlapped->Internal)) == STATUS_PENDING) wait_key(held.lock(), lpOverlapped);
  }
  const auto status = static_cast<NTSTATUS>(load(lpOverlapped->Internal));
  if (lpNumberOfBytesTransferred != nullptr)
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
  return finish(status);
}

BOOL CancelIo(HANDLE hFile) {
  auto file = handles().get_as<File>(hFile);
  if (!file) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return finish(file->link->cancel(file->id));
}

BOOL CloseHandle(HANDLE hObject) {
  if (hObject == GetCurrentProcess() || hObject == GetCurrentThread()) return TRUE;
  auto object = handles().remove(hObject);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (auto file = std::dynamic_pointer_cast<File>(object)) {
    // The last handle of the file: the driver's cleanup runs before this returns.
    if (!file->link->broken()) file->link->close(file->id);
  } else if (auto port = std::dynamic_pointer_cast<Port>(object)) {
    WaitLock lock;
    port->closed = true;
    notify_key(port.get());
  } else if (auto io = std::dynamic_pointer_cast<IoObject>(object)) {
    io->handle_closed();
  }
  return TRUE;
}

HANDLE CreateIoCompletionPort(HANDLE FileHandle, HANDLE ExistingCompletionPort, ULONG_PTR CompletionKey, DWORD) {
  if (FileHandle == INVALID_HANDLE_VALUE) {
    if (ExistingCompletionPort != nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    return handles().insert(std::make_shared<Port>());
  }
  auto file = handles().get_as<IoObject>(FileHandle);
  if (!file) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!file->overlapped) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::shared_ptr<Port> port;
  if (ExistingCompletionPort != nullptr) {
    port = handles().get_as<Port>(ExistingCompletionPort);
    if (!port) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
  } else {
    port = std::make_shared<Port>();
  }
  {
    std::lock_guard lock(wait_mutex());
    if (file->port) {
      SetLastError(ERROR_INVALID_PARAMETER);  // a file belongs to one port
      return nullptr;
    }
    file->port = port;
    file->key = CompletionKey;
  }
  return ExistingCompletionPort != nullptr ? ExistingCompletionPort : handles().insert(port);
}

BOOL GetQueuedCompletionStatus(HANDLE CompletionPort, LPDWORD lpNumberOfBytesTransferred, PULONG_PTR lpCompletionKey,
                               LPOVERLAPPED* lpOverlapped, DWORD dwMilliseconds) {
  auto port = handles().get_as<Port>(CompletionPort);
  if (lpOverlapped != nullptr) *lpOverlapped = nullptr;
  if (!port) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
  WaitLock held;
  auto& lock = held.lock();
  auto ready = [&] { return !port->packets.empty() || port->closed; };
  while (!ready()) {
    if (dwMilliseconds == INFINITE) {
      wait_key(lock, port.get());
    } else if (!wait_key(lock, port.get(), deadline)) {
      break;
    }
  }
  if (port->packets.empty()) {
    SetLastError(port->closed ? ERROR_ABANDONED_WAIT_0 : WAIT_TIMEOUT);
    return FALSE;
  }
  Packet packet = port->packets.front();
  port->packets.pop_front();
  lock.unlock();
  if (lpNumberOfBytesTransferred != nullptr) *lpNumberOfBytesTransferred = packet.bytes;
  if (lpCompletionKey != nullptr) *lpCompletionKey = packet.key;
  if (lpOverlapped != nullptr) *lpOverlapped = packet.overlapped;
  return finish(packet.status);
}

BOOL PostQueuedCompletionStatus(HANDLE CompletionPort, DWORD dwNumberOfBytesTransferred, ULONG_PTR dwCompletionKey,
                                LPOVERLAPPED lpOverlapped) {
  auto port = handles().get_as<Port>(CompletionPort);
  if (!port) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  WaitLock lock;
  port->packets.push_back(Packet{dwNumberOfBytesTransferred, dwCompletionKey, lpOverlapped, STATUS_SUCCESS});
  notify_key(port.get());
  return TRUE;
}
