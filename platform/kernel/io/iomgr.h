// The host side of the I/O manager: the namespace of devices and DOS names,
// the loaded drivers, the user processes that talk to the host and the
// requests they send. The zekhost program drives it; unit tests create one
// beside their kernel.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/common/hostproto.h"
#include "platform/kernel/io/io.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/process.h"

namespace plat {

class RegisterRings;

// How the I/O manager reaches a user process: the host's connection to it,
// or a stand-in in tests. Calls after the process has gone fail quietly.
class ProcessLink {
 public:
  virtual ~ProcessLink() = default;
  virtual void send_pending(std::uint64_t request, NTSTATUS returned) = 0;
  virtual void send_complete(std::uint64_t request, NTSTATUS status, std::uint64_t information,
                             bool pending_returned) = 0;
  // A completion that carries the output (a request that asked for its
  // output inline: only links that accept such requests get them).
  virtual void send_complete_inline(std::uint64_t request, NTSTATUS status, std::span<const std::byte> output,
                                    bool pending_returned) {
    send_complete(request, status, output.size(), pending_returned);
  }
  // Upcalls, answered by the process: the user address, or 0. The
  // descriptors stay the caller's; the process gets copies. Memory: the
  // sealed segment of exactly the pages to map, mapped whole.
  virtual std::uint64_t map_memory(int segment_fd, std::size_t pages) = 0;
  // Registers: `pages` inaccessible pages, written through the ring at
  // ring_offset in the sealed segment ring_fd; wake_fd wakes the host.
  virtual std::uint64_t map_registers(std::size_t pages, int ring_fd, std::uint64_t ring_offset,
                                      std::uint64_t ring_bytes, int wake_fd) = 0;
  virtual bool unmap(std::uint64_t address, std::size_t pages) = 0;
};

// A mapping of kernel pages into a user process.
struct UserMapping {
  std::uint64_t address = 0;  // page-aligned
  std::size_t pages = 0;
  std::uint64_t ring = 0;  // register mappings: the ring's id in RegisterRings
};

// A user process known to the host.
class UserProcess {
 public:
  UserProcess(pid_t pid, std::shared_ptr<ProcessLink> link);
  ~UserProcess();
  UserProcess(const UserProcess&) = delete;
  UserProcess& operator=(const UserProcess&) = delete;

  pid_t pid() const { return pid_; }
  PEPROCESS eprocess() { return eprocess_; }
  ProcessLink& link() { return *link_; }
  bool alive() const { return alive_.load(); }

  // The I/O manager's own state of the process (its files use it).
  const pid_t pid_;
  PEPROCESS eprocess_;
  std::shared_ptr<ProcessLink> link_;
  std::atomic<bool> alive_{true};

  // Files and mappings: looked up by every request (shared), changed by
  // opens, closes and mappings.
  std::shared_mutex mu_;
  std::unordered_map<std::uint64_t, PFILE_OBJECT> files_;  // referenced
  std::uint64_t next_file_ = 0;
  std::map<std::uint64_t, UserMapping> mappings_;
  // Requests in progress; a lock of their own, so that one thread's
  // requests do not wait for another's file lookups.
  std::mutex requests_mu_;
  // Held only for a few pointer operations (no allocation under it).
  std::condition_variable idle_cv_;    // dispatching_ became empty
  LIST_ENTRY pending_{};               // requests sent and not yet completed (their origins' links)
  std::vector<PKTHREAD> dispatching_;  // host threads running a request of this process
};

// What the user-request entry points need to know of the caller.
struct Caller {
  std::shared_ptr<UserProcess> process;
  std::int64_t thread_id;
  // Where the request's Pending and Complete go: the connection it came on
  // when that is not the process's own (a thread's direct connection).
  std::shared_ptr<ProcessLink> reply_link = nullptr;
};

class IoManager {
 public:
  explicit IoManager(Kernel& kernel);
  ~IoManager();
  IoManager(const IoManager&) = delete;
  IoManager& operator=(const IoManager&) = delete;

  static IoManager& current();
  static IoManager* try_current();

  Kernel& kernel() { return kernel_; }

  // ---- Drivers -------------------------------------------------------------
  // Creates the driver object "\Driver\NAME" and calls its entry with the
  // registry path "\REGISTRY\Machine\System\CurrentControlSet\Services\NAME".
  NTSTATUS load_driver(std::string_view name, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver);
  // Calls the unload routine and releases the driver object.
  void unload_driver(PDRIVER_OBJECT driver);

  // ---- Namespace ------------------------------------------------------------
  NTSTATUS insert_device(std::u16string_view name, PDEVICE_OBJECT device);
  void remove_device(PDEVICE_OBJECT device);
  NTSTATUS create_link(std::u16string_view link, std::u16string_view target);
  NTSTATUS delete_link(std::u16string_view link);
  // A device by name (device names and DOS names), referenced; or null.
  PDEVICE_OBJECT reference_device(std::u16string_view name);

  // ---- User processes ---------------------------------------------------------
  std::shared_ptr<UserProcess> attach_process(pid_t pid, std::shared_ptr<ProcessLink> link);
  // The attached process with that pid, while it is alive; or null.
  std::shared_ptr<UserProcess> find_process(pid_t pid);
  // The process has gone (or the host stops): its pended requests are
  // cancelled, requests still running in the driver are alerted, then every
  // file it held gets cleanup and close in its context, and its mappings and
  // register rings are dropped. Waits (real time, bounded) for the requests
  // running in drivers to return.
  void detach_process(UserProcess& process);
  std::size_t processes() const;

  // ---- User requests (on host threads, in the caller's context) --------------------
  NTSTATUS user_open(const Caller& caller, std::string_view name, ULONG desired_access, ULONG share_access,
                     bool overlapped, std::uint64_t* file);
  // Sends Pending and Complete through the process's link.
  // inline_input: the input bytes that came with the request (kIoctlInlineInput).
  void user_ioctl(const Caller& caller, const proto::Ioctl& request, std::span<const std::byte> inline_input = {});
  // CancelIo: cancels the pended requests of that thread on that file.
  NTSTATUS user_cancel(const Caller& caller, std::uint64_t file);
  // The last CloseHandle: cleanup now; close when the file's last reference goes.
  NTSTATUS user_close(const Caller& caller, std::uint64_t file);

  // ---- Internals shared by the I/O manager's files ------------------------------------
  KSPIN_LOCK* cancel_lock() { return &cancel_lock_; }
  RegisterRings& register_rings() { return *rings_; }
  std::shared_ptr<UserProcess> process_of(PEPROCESS process);

  // Requests sent to a file object and not yet released (tests use it).
  std::size_t irps_in_flight() const { return irps_in_flight_.load(); }
  std::atomic<std::size_t> irps_in_flight_{0};

 private:
  struct Entry {
    PDEVICE_OBJECT device = nullptr;  // a device, or
    std::u16string target;            // a symbolic link
  };
  static std::u16string key_of(std::u16string_view name);

  Kernel& kernel_;
  KSPIN_LOCK cancel_lock_ = 0;
  std::unique_ptr<RegisterRings> rings_;
  mutable std::mutex mu_;
  std::map<std::u16string, Entry> names_;
  std::map<pid_t, std::weak_ptr<UserProcess>> processes_;
  std::vector<PDRIVER_OBJECT> drivers_;
};

}  // namespace plat
