// Memory of the calling process: probes and copies.
#include "platform/kernel/io/usermem.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/kernel/io/procmem.h"
#include "platform/kernel/process.h"

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
  const pid_t pid = procmem::current_pid();
  if (pid != 0 && !procmem::accessible(pid, address, Length, access)) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
}

}  // namespace

void ProbeForRead(const volatile void* Address, SIZE_T Length, ULONG Alignment) {
  probe(Address, Length, Alignment, procmem::Access::Read);
}

void ProbeForWrite(volatile void* Address, SIZE_T Length, ULONG Alignment) {
  probe(Address, Length, Alignment, procmem::Access::Write);
}

NTSTATUS PlatCopyFromUser(PVOID KernelDestination, const void* UserSource, SIZE_T Length) {
  if (Length == 0) return STATUS_SUCCESS;
  if (UserSource == nullptr || KernelDestination == nullptr) return STATUS_ACCESS_VIOLATION;
  const pid_t pid = procmem::current_pid();
  if (pid == 0) {
    std::memcpy(KernelDestination, UserSource, Length);
    return STATUS_SUCCESS;
  }
  return procmem::read(pid, reinterpret_cast<std::uint64_t>(UserSource), KernelDestination, Length)
             ? STATUS_SUCCESS
             : STATUS_ACCESS_VIOLATION;
}

NTSTATUS PlatCopyToUser(PVOID UserDestination, const void* KernelSource, SIZE_T Length) {
  if (Length == 0) return STATUS_SUCCESS;
  if (UserDestination == nullptr || KernelSource == nullptr) return STATUS_ACCESS_VIOLATION;
  const pid_t pid = procmem::current_pid();
  if (pid == 0) {
    std::memcpy(UserDestination, KernelSource, Length);
    return STATUS_SUCCESS;
  }
  return procmem::write(pid, reinterpret_cast<std::uint64_t>(UserDestination), KernelSource, Length)
             ? STATUS_SUCCESS
             : STATUS_ACCESS_VIOLATION;
}
