// A second process for the host tests: talks to the test driver through
// the user runtime, as a tool would.
//
//   zekioclient complete KEY VALUE    completes requests pended under KEY; exit code = how many
//   zekioclient pend-and-exit KEY     pends a request under KEY and ends with it pending
//   zekioclient wait                  blocks in the driver until woken or killed
//   zekioclient open                  exit code = GetLastError of opening the device
//   zekioclient hostile WHAT          turns on what the host handed it (see hostile()); exit code 0
//                                     when every attempt was refused, 1 when one got through
//   zekioclient fork-child            a forked child uses the parent's handle, then its own:
//                                     0 when the first fails with ERROR_INVALID_HANDLE and the second works
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/common/postring.h"

#include "platform/user/win32.h"
#include "tests/platform/kernel/io/testdrv.h"

namespace {

HANDLE open_device(DWORD flags) {
  return CreateFileA("\\\\.\\zektest", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, flags, nullptr);
}

// The file behind the mapping at `address` (the process's own view of what
// the host handed it), opened through /proc/self/map_files; -1 when the
// system does not allow that.
int file_of_mapping(std::uint64_t address, std::string* line_out = nullptr) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    unsigned long lo = 0, hi = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx", &lo, &hi) != 2 || lo > address || address >= hi) continue;
    if (line_out != nullptr) *line_out = line;
    return open(("/proc/self/map_files/" + line.substr(0, line.find(' '))).c_str(), O_RDWR | O_CLOEXEC);
  }
  return -1;
}

// The first shared mapping of a host segment other than `except`: the
// posted-write ring of a doorbell mapping.
void* ring_mapping(std::uint64_t except) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    unsigned long lo = 0, hi = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx", &lo, &hi) != 2 || lo == except) continue;
    if (line.find("rw-s") != std::string::npos && line.find("zek-segment") != std::string::npos) {
      return reinterpret_cast<void*>(lo);
    }
  }
  return nullptr;
}

// What a hostile process tries with the memory it was handed; 0 when the
// host's memory resisted every attempt.
int hostile(const std::string& what) {
  HANDLE device = open_device(0);
  if (device == INVALID_HANDLE_VALUE) return 101;
  DWORD bytes = 0;
  testdrv::Address page{};
  if (what == "truncate" || what == "grow" || what == "map-beyond") {
    if (!DeviceIoControl(device, testdrv::kMapPage, nullptr, 0, &page, sizeof page, &bytes, nullptr)) return 102;
    const int fd = file_of_mapping(page.address);
    if (what == "map-beyond") {
      // Stretch the mapping past the page it was given and touch the next
      // one: only this process may suffer for it.
      void* wider = mremap(reinterpret_cast<void*>(page.address), 4096, 2 * 4096, MREMAP_MAYMOVE);
      if (wider == MAP_FAILED) return 0;
      signal(SIGBUS, SIG_DFL);  // the process dies of it, whatever a sanitizer would do
      static_cast<volatile char*>(wider)[4096] = 1;
      return 1;  // the touch went through: it reached a page it was not given
    }
    if (fd < 0) return 0;  // the system keeps the file from it altogether
    const bool got_through = what == "truncate" ? ftruncate(fd, 0) == 0 : ftruncate(fd, 1 << 20) == 0;
    return got_through ? 1 : 0;
  }
  if (what == "keep-descriptors") {
    // After a mapping and its unmapping, any descriptor of host memory this
    // process still holds is one it could map or cut at will.
    if (!DeviceIoControl(device, testdrv::kMapPage, nullptr, 0, &page, sizeof page, &bytes, nullptr)) return 102;
    if (!DeviceIoControl(device, testdrv::kUnmapPage, nullptr, 0, nullptr, 0, &bytes, nullptr)) return 102;
    int held = 0;
    if (DIR* fds = opendir("/proc/self/fd")) {
      while (dirent* entry = readdir(fds)) {
        char target[128] = {};
        if (readlinkat(dirfd(fds), entry->d_name, target, sizeof target - 1) > 0 &&
            std::strstr(target, "/memfd:zek-") != nullptr && std::strstr(target, "zek-user-memory") == nullptr) {
          ++held;
        }
      }
      closedir(fds);
    }
    return held == 0 ? 0 : 1;
  }
  if (what == "forge-ring") {
    testdrv::Address doorbell{};
    if (!DeviceIoControl(device, testdrv::kMapDoorbell, nullptr, 0, &doorbell, sizeof doorbell, &bytes, nullptr)) {
      return 102;
    }
    auto* header = static_cast<plat::postring::Header*>(ring_mapping(doorbell.address));
    if (header == nullptr) return 103;
    // Indices far ahead and behind, slots that name offsets and sizes the
    // device does not have, then a wake-up of the host's ring thread.
    plat::postring::Slot* slots = plat::postring::slots_of(header);
    const std::uint32_t capacity = plat::postring::slot_capacity(4096);
    const std::uint64_t consumed = header->consumed;
    for (std::uint32_t i = 0; i < capacity; ++i) {
      slots[i].offset = (i % 2 != 0) ? ~0ull - i : 4096u * 1000u + i;
      slots[i].size = i % 7;
      slots[i].value = i;
      slots[i].sequence = consumed + 1 + i;
    }
    header->reserved = consumed - 5;
    header->slots = ~0u;
    for (int n = 0; n < 64; ++n) {
      DIR* fds = opendir("/proc/self/fd");
      while (dirent* entry = fds == nullptr ? nullptr : readdir(fds)) {
        std::uint64_t one = 1;
        char target[64] = {};
        if (readlinkat(dirfd(fds), entry->d_name, target, sizeof target - 1) > 0 &&
            std::strstr(target, "eventfd") != nullptr) {
          (void)!write(std::atoi(entry->d_name), &one, sizeof one);
        }
      }
      if (fds != nullptr) closedir(fds);
      header->consumed = ~0ull - static_cast<std::uint64_t>(n);
    }
    return 0;
  }
  return 100;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: zekioclient complete KEY VALUE | pend-and-exit KEY | wait | open\n");
    return 100;
  }
  const std::string command = argv[1];
  if (command == "open") {
    HANDLE device = open_device(0);
    return device == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : 0;
  }
  if (command == "complete" && argc == 4) {
    HANDLE device = open_device(0);
    if (device == INVALID_HANDLE_VALUE) return 101;
    testdrv::CompleteRequest request{std::strtoull(argv[2], nullptr, 0), std::strtoull(argv[3], nullptr, 0),
                                     STATUS_SUCCESS, 0};
    std::uint32_t count = 0;
    DWORD bytes = 0;
    if (!DeviceIoControl(device, testdrv::kComplete, &request, sizeof request, &count, sizeof count, &bytes, nullptr)) {
      return 102;
    }
    CloseHandle(device);
    return static_cast<int>(count);
  }
  if (command == "pend-and-exit" && argc == 3) {
    HANDLE device = open_device(FILE_FLAG_OVERLAPPED);
    if (device == INVALID_HANDLE_VALUE) return 101;
    testdrv::Key key{std::strtoull(argv[2], nullptr, 0)};
    static std::uint64_t out;
    static OVERLAPPED overlapped{};
    if (DeviceIoControl(device, testdrv::kPend, &key, sizeof key, &out, sizeof out, nullptr, &overlapped) ||
        GetLastError() != ERROR_IO_PENDING) {
      return 103;
    }
    std::printf("pended\n");
    return 0;  // ends with the request pending and the handle open
  }
  if (command == "fork-child") {
    HANDLE device = open_device(0);
    if (device == INVALID_HANDLE_VALUE) return 101;
    const pid_t child = fork();
    if (child == 0) {
      char in[8] = "child", out[8] = {};
      DWORD bytes = 0;
      if (DeviceIoControl(device, testdrv::kEcho, in, sizeof in, out, sizeof out, &bytes, nullptr)) _exit(1);
      if (GetLastError() != ERROR_INVALID_HANDLE) _exit(2);
      HANDLE own = open_device(0);
      if (own == INVALID_HANDLE_VALUE) _exit(3);
      if (!DeviceIoControl(own, testdrv::kEcho, in, sizeof in, out, sizeof out, &bytes, nullptr)) _exit(4);
      _exit(std::strcmp(out, "child") == 0 ? 0 : 5);
    }
    // The child has 30 seconds; one that hangs is killed.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        return 104;
      }
      usleep(2000);
    }
    // The parent's handle still works.
    char in[8] = "parent", out[8] = {};
    DWORD bytes = 0;
    if (!DeviceIoControl(device, testdrv::kEcho, in, sizeof in, out, sizeof out, &bytes, nullptr)) return 105;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 106;
  }
  if (command == "wait") {
    HANDLE device = open_device(0);
    if (device == INVALID_HANDLE_VALUE) return 101;
    NTSTATUS waited = 0;
    DWORD bytes = 0;
    DeviceIoControl(device, testdrv::kWait, nullptr, 0, &waited, sizeof waited, &bytes, nullptr);
    return 0;
  }
  if (command == "hostile" && argc == 3) return hostile(argv[2]);
  std::fprintf(stderr, "zekioclient: unknown command %s\n", command.c_str());
  return 100;
}
