// Records the I/O manager keeps behind the driver-visible objects. Private
// to the I/O manager's files.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/kernel/io/iomgr.h"
#include "platform/kernel/io/usermem.h"

namespace plat {

extern const OBJECT_TYPE kFileObjectType;
extern const OBJECT_TYPE kDeviceObjectType;
extern const OBJECT_TYPE kProcessObjectType;

inline constexpr ULONG kIrpTag = MAKEFOURCC_LE('I', 'r', 'p', ' ');
inline constexpr ULONG kSystemBufferTag = MAKEFOURCC_LE('I', 'o', 'S', 'b');
inline constexpr ULONG kMdlTag = MAKEFOURCC_LE('M', 'd', 'l', ' ');
inline constexpr ULONG kWorkItemTag = MAKEFOURCC_LE('I', 'o', 'W', 'i');
inline constexpr ULONG kDeviceTag = MAKEFOURCC_LE('D', 'e', 'v', 'i');

struct DriverImpl {
  std::u16string name;
  std::u16string registry_path;
};

struct DeviceImpl {
  std::u16string name;  // empty for an unnamed device
  bool deleted = false;
  std::atomic<int> opens{0};
};

struct FileImpl {
  std::shared_ptr<UserProcess> process;  // null for a kernel-mode open
  bool overlapped = false;
  bool cleanup_sent = false;
  bool create_done = false;  // the driver accepted the create: close is owed
};

// Where a request came from, and what its completion must do.
struct IrpOrigin {
  enum class Kind { User, KernelBuilt, Internal };
  Kind kind;
  std::atomic<int> refs{1};  // completion and any canceller
  std::atomic<bool> completed{false};
  // User requests.
  std::shared_ptr<UserProcess> process;
  std::shared_ptr<ProcessLink> reply_link;  // null: the process's link
  PIRP irp = nullptr;
  LIST_ENTRY pending_link{};  // in the process's pending_ while linked (under its requests_mu_)
  std::uint64_t request = 0;
  std::int64_t thread_id = 0;
  std::uint64_t user_output = 0;
  ULONG output_length = 0;
  ULONG method = METHOD_BUFFERED;
  bool overlapped = false;
  bool inline_output = false;  // the output goes back with the completion
  // Kernel-built requests: the caller's output buffer.
  PVOID kernel_output = nullptr;
  // Internal requests (create, cleanup, close): signalled on completion.
  KEVENT done;
  NTSTATUS final_status = STATUS_SUCCESS;
  ULONG_PTR final_information = 0;
};

inline IrpOrigin* origin_of(PIRP irp) { return static_cast<IrpOrigin*>(irp->Impl); }
inline FileImpl* file_impl(PFILE_OBJECT file) { return static_cast<FileImpl*>(file->Impl); }
inline DeviceImpl* device_impl(PDEVICE_OBJECT device) { return static_cast<DeviceImpl*>(device->Impl); }

// An IRP with its stack ready for IoCallDriver to `device`, referencing the file.
PIRP allocate_request(PDEVICE_OBJECT device, PFILE_OBJECT file, IrpOrigin* origin, KPROCESSOR_MODE mode);
// Drops the origin's reference; the last one frees the IRP and its buffers.
void release_request(PIRP irp);
// Sends create, cleanup or close to the file's device and waits for it.
NTSTATUS send_file_request(PFILE_OBJECT file, UCHAR major, ULONG share_access = 0, ULONG options = 0);
// A new file object on `device` (referenced once, for the caller).
PFILE_OBJECT create_file_object(PDEVICE_OBJECT device, std::shared_ptr<UserProcess> process, bool overlapped);
// Calls a dispatch routine, turning an escaped exception into the request's status.
NTSTATUS guarded_call(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS resolve_and_open(std::u16string_view name, std::shared_ptr<UserProcess> process, bool overlapped,
                          ULONG share_access, ULONG options, PFILE_OBJECT* file);

// User mappings and their undoing, for the process's exit.
struct UserMaps {
  static void forget_all(UserProcess& process);
};

}  // namespace plat
