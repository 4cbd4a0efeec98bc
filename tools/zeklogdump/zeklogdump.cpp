// zeklogdump: dumps the proxy driver's fast log between two banners, or
// clears it.
//
//   zeklogdump        dump the log
//   zeklogdump -c     clear the log ("/c", "-C" and "/C" too)
//   zeklogdump -d     do nothing
//
// The first "c" or "d" option decides; other arguments and options are
// ignored. Every request opens the driver's device afresh. The exit code is
// 0 in every case; everything goes to standard output.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "include/zek/ioctl.h"
#include "platform/user/win32.h"

namespace {

constexpr DWORD kPiece = 4096;
constexpr DWORD kSizeRequestHint = 0x100000;

HANDLE open_device() {
  HANDLE device = CreateFileA("\\\\.\\zekproxy", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    std::printf("Creating file failed, error %x\n", static_cast<unsigned>(GetLastError()));
    std::printf("Unable to open file \n");
  }
  return device;
}

enum class Sent { NotOpened, Failed, Done };

// Sends one log request on a handle of its own.
Sent send(DWORD code, ZekLogBufParam* param, DWORD* returned) {
  *returned = 0;
  HANDLE device = open_device();
  if (device == INVALID_HANDLE_VALUE) return Sent::NotOpened;
  const BOOL ok = DeviceIoControl(device, code, param, sizeof *param, param, sizeof *param, returned, nullptr);
  CloseHandle(device);
  return ok != FALSE ? Sent::Done : Sent::Failed;
}

DWORD get_log_buf_size() {
  ZekLogBufParam param{0, 0, kSizeRequestHint, 0, 0};
  DWORD returned = 0;
  const Sent sent = send(IOCTL_ZEK_GET_LOG_BUF_SIZE, &param, &returned);
  if (sent == Sent::NotOpened) return 0;
  std::printf("BytesReturned %d \n", static_cast<int>(returned));
  if (sent == Sent::Done || returned == sizeof param) {
    std::printf("Param.size %d \n", static_cast<int>(param.Size));
    return param.Size;
  }
  std::printf("get_log_buf_size Failed \n");
  return 0;
}

bool read_log_buf(char* buffer, DWORD offset) {
  ZekLogBufParam param{reinterpret_cast<std::uint64_t>(buffer), offset, kPiece, 0, 0};
  DWORD returned = 0;
  const Sent sent = send(IOCTL_ZEK_READ_LOG_BUF, &param, &returned);
  if (sent == Sent::Failed) std::printf("IOCTL_TCP_GET_STATS Failed \n");
  return sent == Sent::Done;
}

void clear_log_buf() {
  ZekLogBufParam param{0, 0, 0, 0, 0};
  DWORD returned = 0;
  if (send(IOCTL_ZEK_CLEAR_LOG_BUF, &param, &returned) == Sent::Failed) std::printf("IOCTL_TCP_GET_STATS Failed \n");
}

void dump() {
  const DWORD size = get_log_buf_size();
  std::printf("Log buffer size x%x\n", static_cast<unsigned>(size));
  if (size == 0) {
    std::printf("Error reading size \n");
    return;
  }
  if (size % kPiece != 0) {
    std::printf("Buffer Needs to be multiple of 4k \n");
    return;
  }
  auto* buffer = static_cast<char*>(std::calloc(size, 1));
  if (buffer == nullptr) {
    std::printf("failed to get memory \n");
    return;
  }
  for (DWORD k = 0; k < size / kPiece; ++k) {
    if (!read_log_buf(buffer + k * kPiece, k * kPiece)) {
      std::printf("Error reading buffer %d \n", static_cast<int>(k));
      std::free(buffer);
      return;
    }
  }
  std::printf("*****************   Log Buffer Start   *****************************\n");
  // The text up to its first NUL, and never past the buffer: a ring that has
  // wrapped holds no NUL at all.
  const void* end = std::memchr(buffer, '\0', size);
  const std::size_t length = end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - buffer) : size;
  std::fwrite(buffer, 1, length, stdout);
  std::printf("*****************   Log Buffer End     *****************************\n");
  std::free(buffer);
}

}  // namespace

int main(int argc, char** argv) {
  char option = 0;
  for (int i = 1; i < argc && option == 0; ++i) {
    const char* argument = argv[i];
    if ((argument[0] == '-' || argument[0] == '/') && argument[1] != '\0') {
      const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(argument[1])));
      if (c == 'c' || c == 'd') option = c;
    }
  }
  if (option == 'c') {
    std::printf("calling clear \n");
    clear_log_buf();
  } else if (option != 'd') {
    dump();
  }
  std::fflush(stdout);
  return 0;
}
