// zekverbsclient: asks the kernel verbs client driver of the host that
// ZEK_HOST names to run the verbs on the adapter with a SAN address.
//
//   zekverbsclient A.B.C.D [leave-open]
//
// Prints the driver's report (leave-open: opens an adapter with objects and
// leaves it open). Exit code 0 when every check passed, 1 when
// one failed or the request did, 3 while the driver has nothing to run the
// verbs on yet (no verbs, or no attached adapter with the address).
#include <cstdio>
#include <string>
#include <vector>

#include "platform/user/win32.h"
#include "tests/proxy/rdma/verbs/verbstestdrv/verbstestdrv.h"

int main(int argc, char** argv) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  const bool leave_open = argc == 3 && std::string(argv[2]) == "leave-open";
  if ((argc != 2 && !leave_open) || std::sscanf(argv[1], "%u.%u.%u.%u", &a, &b, &c, &d) != 4) {
    std::fprintf(stderr, "usage: zekverbsclient A.B.C.D [leave-open]\n");
    return 2;
  }
  HANDLE device =
      CreateFileA("\\\\.\\zekverbstest", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    std::printf("no device (error %u)\n", static_cast<unsigned>(GetLastError()));
    return 3;
  }
  const std::uint32_t address = a << 24 | b << 16 | c << 8 | d;
  std::vector<char> report(verbstest::kReportBytes);
  DWORD bytes = 0;
  const BOOL ok = DeviceIoControl(device, leave_open ? verbstest::kLeaveOpen : verbstest::kRun,
                                  const_cast<std::uint32_t*>(&address), sizeof address, report.data(),
                                  static_cast<DWORD>(report.size()), &bytes, nullptr);
  const DWORD error = ok ? 0 : GetLastError();
  CloseHandle(device);
  if (!ok) {
    std::printf("request failed (error %u)\n", static_cast<unsigned>(error));
    return error == ERROR_NOT_READY ? 3 : 1;
  }
  if (leave_open) {
    std::printf("left open\n");
    return 0;
  }
  const std::string text(report.data(), bytes);
  std::fputs(text.c_str(), stdout);
  return text.find("failures=0\n") != std::string::npos ? 0 : 1;
}
