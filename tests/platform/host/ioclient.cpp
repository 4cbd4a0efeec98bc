// A second process for the host tests: talks to the test driver through
// the user runtime, as a tool would.
//
//   zekioclient complete KEY VALUE    completes requests pended under KEY; exit code = how many
//   zekioclient pend-and-exit KEY     pends a request under KEY and ends with it pending
//   zekioclient wait                  blocks in the driver until woken or killed
//   zekioclient open                  exit code = GetLastError of opening the device
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/user/win32.h"
#include "tests/platform/kernel/io/testdrv.h"

namespace {

HANDLE open_device(DWORD flags) {
  return CreateFileA("\\\\.\\zektest", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, flags, nullptr);
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
  if (command == "wait") {
    HANDLE device = open_device(0);
    if (device == INVALID_HANDLE_VALUE) return 101;
    NTSTATUS waited = 0;
    DWORD bytes = 0;
    DeviceIoControl(device, testdrv::kWait, nullptr, 0, &waited, sizeof waited, &bytes, nullptr);
    return 0;
  }
  std::fprintf(stderr, "zekioclient: unknown command %s\n", command.c_str());
  return 100;
}
