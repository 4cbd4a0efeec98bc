// Memory of the calling process: probes and copies.
#include "platform/kernel/io/usermem.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/fault.h"
#include "platform/kernel/io/procmem.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/process.h"
#include "platform/kernel/thread.h"

namespace plat::procmem {
namespace {

constexpr std::size_t kChunk = 1u << 20;

template <bool Write>
bool transfer(pid_t pid, std::uint64_t address, void* local, std::size_t length) {
  auto* bytes = static_cast<char*>(local);
  while (length != 0) {
    const std::size_t n = std::min(length, kChunk);
    iovec here{bytes, n};
    iovec there{reinterpret_cast<void*>(address), n};
    ssize_t done =
        Write ? process_vm_writev(pid, &here, 1, &there, 1, 0) : process_vm_readv(pid, &here, 1, &there, 1, 0);
    if (done <= 0) {
      if (done < 0 && errno == EINTR) continue;
      return false;
    }
    bytes += done;
    address += static_cast<std::uint64_t>(done);
    length -= static_cast<std::size_t>(done);
  }
  return true;
}

}  // namespace

bool read(pid_t pid, std::uint64_t address, void* destination, std::size_t length) {
  if (length == 0) return true;
  if (address + length < address) return false;
  return transfer<false>(pid, address, destination, length);
}

bool write(pid_t pid, std::uint64_t address, const void* source, std::size_t length) {
  if (length == 0) return true;
  if (address + length < address) return false;
  return transfer<true>(pid, address, const_cast<void*>(source), length);
}

bool accessible(pid_t pid, std::uint64_t address, std::size_t length, Access access) {
  if (length == 0) return true;
  const std::uint64_t end = address + length;
  if (end < address) return false;
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  if (!maps) return false;
  std::string line;
  std::uint64_t covered = address;  // everything below is known accessible
  while (std::getline(maps, line)) {
    unsigned long long lo = 0, hi = 0;
    char perms[5] = {};
    if (std::sscanf(line.c_str(), "%llx-%llx %4s", &lo, &hi, perms) != 3) continue;
    if (hi <= covered) continue;
    if (lo > covered) return false;  // a hole
    const bool ok = perms[0] == 'r' && (access == Access::Read || perms[1] == 'w');
    if (!ok) return false;
    covered = hi;
    if (covered >= end) return true;
  }
  return false;
}

pid_t current_pid() {
  PEPROCESS process = PsGetCurrentProcess();
  if (process == nullptr || process->Impl == nullptr) return 0;
  return static_cast<pid_t>(reinterpret_cast<intptr_t>(process->UniqueProcessId));
}

namespace {

// One thread for the host marks each watched life gone when its pidfd
// becomes ready (the process has exited).
class Watcher {
 public:
  static Watcher& instance() {
    static auto* watcher = new Watcher;  // never destroyed: lives as long as the host
    return *watcher;
  }
  void add(Life* life, std::atomic<bool>* gone) {
    std::lock_guard lock(mu_);
    lives_[life] = gone;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = life;
    epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, life->pidfd(), &ev);
  }
  void remove(Life* life) {
    std::lock_guard lock(mu_);
    if (lives_.erase(life) != 0) epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, life->pidfd(), nullptr);
  }

 private:
  Watcher() : epoll_fd_(epoll_create1(EPOLL_CLOEXEC)) {
    std::thread([this] { run(); }).detach();
  }
  void run() {
    epoll_event events[16];
    for (;;) {
      const int n = epoll_wait(epoll_fd_, events, 16, -1);
      std::lock_guard lock(mu_);
      for (int i = 0; i < n; ++i) {
        auto it = lives_.find(static_cast<Life*>(events[i].data.ptr));
        if (it == lives_.end()) continue;
        it->second->store(true, std::memory_order_release);
        epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, it->first->pidfd(), nullptr);
        lives_.erase(it);
      }
    }
  }
  const int epoll_fd_;
  std::mutex mu_;
  std::map<Life*, std::atomic<bool>*> lives_;
};

}  // namespace

std::shared_ptr<Life> Life::watch(pid_t pid) {
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return nullptr;
  std::shared_ptr<Life> life(new Life(pid, fd));
  if (life->gone()) return nullptr;
  Watcher::instance().add(life.get(), &life->gone_);
  return life;
}

Life::~Life() {
  Watcher::instance().remove(this);
  close(pidfd_);
}

bool Life::gone() const {
  if (gone_.load(std::memory_order_acquire)) return true;
  // A pidfd reads as ready once its process has exited.
  pollfd p{pidfd_, POLLIN, 0};
  if (poll(&p, 1, 0) != 0) gone_.store(true, std::memory_order_release);
  return gone_.load(std::memory_order_acquire);
}

namespace {

struct MapsLine {
  std::uint64_t lo = 0, hi = 0, offset = 0, inode = 0;
  unsigned dev_major = 0, dev_minor = 0;
  char perms[5] = {};
  std::string path;
};

// The line of /proc/PID/maps whose mapping holds [address, end), if one does.
std::optional<MapsLine> mapping_holding(pid_t pid, std::uint64_t address, std::uint64_t end) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  std::string text;
  while (std::getline(maps, text)) {
    MapsLine line;
    unsigned long long lo = 0, hi = 0, offset = 0, inode = 0;
    int path_at = 0;
    if (std::sscanf(text.c_str(), "%llx-%llx %4s %llx %x:%x %llu %n", &lo, &hi, line.perms, &offset, &line.dev_major,
                    &line.dev_minor, &inode, &path_at) < 7) {
      continue;
    }
    if (hi <= address) continue;
    if (lo > address || hi < end) return std::nullopt;
    line.lo = lo;
    line.hi = hi;
    line.offset = offset;
    line.inode = inode;
    if (path_at > 0 && static_cast<std::size_t>(path_at) <= text.size()) line.path = text.substr(path_at);
    return line;
  }
  return std::nullopt;
}

// A descriptor of the process's open file with that device and inode, or -1.
int descriptor_of(const Life& life, const MapsLine& line) {
  const std::string dir = "/proc/" + std::to_string(life.pid()) + "/fd";
  DIR* fds = opendir(dir.c_str());
  if (fds == nullptr) return -1;
  int found = -1;
  while (dirent* entry = readdir(fds)) {
    if (entry->d_name[0] == '.') continue;
    struct stat st {};
    if (stat((dir + "/" + entry->d_name).c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_ino != line.inode ||
        major(st.st_dev) != line.dev_major || minor(st.st_dev) != line.dev_minor)
      continue;
    const int number = std::atoi(entry->d_name);
    found = static_cast<int>(syscall(SYS_pidfd_getfd, life.pidfd(), number, 0));
    if (found < 0) found = open((dir + "/" + entry->d_name).c_str(), O_RDWR | O_CLOEXEC);
    break;
  }
  closedir(fds);
  return found;
}

}  // namespace

std::shared_ptr<SharedPages> SharedPages::map(const Life& life, std::uint64_t address, std::size_t bytes, bool write) {
  if (bytes == 0 || address % 4096 != 0 || bytes % 4096 != 0 || address + bytes < address) return nullptr;
  const auto line = mapping_holding(life.pid(), address, address + bytes);
  // Only a shared mapping of a memory file: anything else (stack, static,
  // private heap) has no pages the host can share.
  if (!line || line->perms[0] != 'r' || line->perms[3] != 's' || line->path.rfind("/memfd:", 0) != 0) return nullptr;
  const bool writable = line->perms[1] == 'w';
  if (write && !writable) return nullptr;
  const int fd = descriptor_of(life, *line);
  if (fd < 0) return nullptr;
  const std::uint64_t file_offset = line->offset + (address - line->lo);
  struct stat st {};
  const int seals = fcntl(fd, F_GET_SEALS);
  std::byte* data = nullptr;
  // Sealed against shrinking, the file cannot be cut under the host's
  // mapping (a host access would fault); the process keeps every other power
  // over its own memory.
  if (fstat(fd, &st) == 0 && st.st_ino == line->inode && major(st.st_dev) == line->dev_major &&
      minor(st.st_dev) == line->dev_minor && seals >= 0 && (seals & F_SEAL_SHRINK) != 0 &&
      static_cast<std::uint64_t>(st.st_size) >= file_offset + bytes) {
    void* at =
        mmap(nullptr, bytes, PROT_READ | (writable ? PROT_WRITE : 0), MAP_SHARED, fd, static_cast<off_t>(file_offset));
    if (at != MAP_FAILED) data = static_cast<std::byte*>(at);
  }
  close(fd);
  if (data == nullptr) return nullptr;
  return std::shared_ptr<SharedPages>(new SharedPages(data, bytes, writable));
}

SharedPages::~SharedPages() { munmap(data_, bytes_); }

}  // namespace plat::procmem

using namespace plat;

void ExRaiseStatus(NTSTATUS Status) { throw SehException{Status}; }

PVOID MmGetHighestUserAddress() { return reinterpret_cast<PVOID>(MM_USER_PROBE_ADDRESS - 1); }

namespace {

void probe(const volatile void* Address, SIZE_T Length, ULONG Alignment, procmem::Access access) {
  if (Length == 0) return;
  const auto address = reinterpret_cast<ULONG_PTR>(Address);
  if (Alignment != 0 && (address & (Alignment - 1)) != 0) ExRaiseStatus(STATUS_DATATYPE_MISALIGNMENT);
  const ULONG_PTR end = address + Length;
  if (end < address || end > MM_USER_PROBE_ADDRESS) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
  // Kernel memory is never the caller's, and the system process has none.
  const pid_t pid = procmem::current_pid();
  if (pid == 0 || Kernel::current().memory().in_kernel_window(const_cast<const void*>(Address)) ||
      !procmem::accessible(pid, address, Length, access)) {
    ExRaiseStatus(STATUS_ACCESS_VIOLATION);
  }
}

// Copies with the calling process's memory; in the system process (no user
// memory) and for kernel addresses, nothing is copied.
NTSTATUS copy_user(void* kernel, std::uint64_t user, SIZE_T length, bool to_user) {
  if (length == 0) return STATUS_SUCCESS;
  if (user == 0 || kernel == nullptr || user + length < user || user + length > MM_USER_PROBE_ADDRESS) {
    return STATUS_ACCESS_VIOLATION;
  }
  const pid_t pid = procmem::current_pid();
  if (pid == 0 || Kernel::current().memory().in_kernel_window(reinterpret_cast<const void*>(user))) {
    return STATUS_ACCESS_VIOLATION;
  }
  const bool done = to_user ? procmem::write(pid, user, kernel, length) : procmem::read(pid, user, kernel, length);
  return done ? STATUS_SUCCESS : STATUS_ACCESS_VIOLATION;
}

}  // namespace

void plat::require_irql_at_most(const char* routine, KIRQL highest, const SrcLoc& where) {
  const KIRQL irql = this_thread().irql;
  if (irql > highest) fault(where, "%s at IRQL %u: it runs at IRQL %u or below", routine, irql, highest);
}

void plat::require_user_irql(const char* routine, const SrcLoc& where) {
  require_irql_at_most(routine, APC_LEVEL, where);
}

void ProbeForRead(const volatile void* Address, SIZE_T Length, ULONG Alignment, const SrcLoc& where) {
  plat::require_user_irql("ProbeForRead", where);
  probe(Address, Length, Alignment, procmem::Access::Read);
}

void ProbeForWrite(volatile void* Address, SIZE_T Length, ULONG Alignment, const SrcLoc& where) {
  plat::require_user_irql("ProbeForWrite", where);
  probe(Address, Length, Alignment, procmem::Access::Write);
}

NTSTATUS PlatCopyFromUser(PVOID KernelDestination, const void* UserSource, SIZE_T Length, const SrcLoc& where) {
  plat::require_user_irql("PlatCopyFromUser", where);
  return copy_user(KernelDestination, reinterpret_cast<std::uint64_t>(UserSource), Length, false);
}

NTSTATUS PlatCopyToUser(PVOID UserDestination, const void* KernelSource, SIZE_T Length, const SrcLoc& where) {
  plat::require_user_irql("PlatCopyToUser", where);
  return copy_user(const_cast<void*>(KernelSource), reinterpret_cast<std::uint64_t>(UserDestination), Length, true);
}
