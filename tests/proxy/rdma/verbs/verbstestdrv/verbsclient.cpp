// zekverbsclient: asks the kernel verbs client driver of the host that
// ZEK_HOST names to run the verbs on the adapter with a SAN address.
//
//   zekverbsclient A.B.C.D [leave-open]
//   zekverbsclient rdma accept LOCAL PORT [crc] [markers] [bench WRITES PINGPONGS]
//   zekverbsclient rdma connect LOCAL PEER PORT [crc] [markers] [bench WRITES PINGPONGS]
//
// Prints the driver's report (leave-open: opens an adapter with objects and
// leaves it open; rdma: one end of an RDMA connection between two hosts,
// LOCAL this host's SAN address, PEER the other's). Exit code 0 when every
// check passed, 1 when one failed or the request did, 3 while the driver
// has nothing to run the verbs on yet (no verbs, or no attached adapter
// with the address).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/user/win32.h"
#include "tests/proxy/rdma/verbs/verbstestdrv/verbstestdrv.h"

namespace {

bool address_of(const char* text, std::uint32_t* out) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (std::sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d) != 4 || a > 255 || b > 255 || c > 255 || d > 255) return false;
  *out = a << 24 | b << 16 | c << 8 | d;
  return true;
}

int usage() {
  std::fprintf(stderr,
               "usage: zekverbsclient A.B.C.D [leave-open]\n"
               "       zekverbsclient rdma accept LOCAL PORT [crc] [markers] [bench WRITES PINGPONGS]\n"
               "       zekverbsclient rdma connect LOCAL PEER PORT [crc] [markers] [bench WRITES PINGPONGS]\n");
  return 2;
}

// The RDMA request from the command line; false when it is malformed.
bool rdma_request(int argc, char** argv, verbstest::RdmaRequest* q) {
  *q = {};
  q->WaitMs = 60'000;
  int next = 3;
  if (argc < 5) return false;
  const std::string role = argv[2];
  if (!address_of(argv[next++], &q->Local)) return false;
  if (role == "accept") {
    q->Role = verbstest::kRoleAccept;
  } else if (role == "connect") {
    q->Role = verbstest::kRoleConnect;
    if (argc < 6 || !address_of(argv[next++], &q->Peer)) return false;
  } else {
    return false;
  }
  const long port = std::strtol(argv[next++], nullptr, 10);
  if (port <= 0 || port > 65535) return false;
  q->Port = static_cast<std::uint16_t>(port);
  for (; next < argc; ++next) {
    const std::string option = argv[next];
    if (option == "crc") {
      q->Flags |= verbstest::kRdmaCrc;
    } else if (option == "markers") {
      q->Flags |= verbstest::kRdmaMarkers;
    } else if (option == "bench" && next + 2 < argc) {
      const long writes = std::strtol(argv[++next], nullptr, 10);
      const long trips = std::strtol(argv[++next], nullptr, 10);
      if (writes < 0 || writes > 65535 || trips < 0 || trips > 65535) return false;
      q->Flags |= verbstest::kRdmaBench;
      q->Writes = static_cast<std::uint16_t>(writes);
      q->PingPongs = static_cast<std::uint16_t>(trips);
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const bool rdma = argc >= 2 && std::string(argv[1]) == "rdma";
  const bool leave_open = !rdma && argc == 3 && std::string(argv[2]) == "leave-open";
  std::uint32_t address = 0;
  verbstest::RdmaRequest request{};
  if (rdma) {
    if (!rdma_request(argc, argv, &request)) return usage();
  } else if ((argc != 2 && !leave_open) || !address_of(argv[1], &address)) {
    return usage();
  }
  HANDLE device =
      CreateFileA("\\\\.\\zekverbstest", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    std::printf("no device (error %u)\n", static_cast<unsigned>(GetLastError()));
    return 3;
  }
  std::vector<char> report(verbstest::kReportBytes);
  DWORD bytes = 0;
  const ULONG code = rdma ? verbstest::kRdma : leave_open ? verbstest::kLeaveOpen : verbstest::kRun;
  void* input = rdma ? static_cast<void*>(&request) : static_cast<void*>(&address);
  const DWORD input_bytes = rdma ? sizeof request : sizeof address;
  const BOOL ok = DeviceIoControl(device, code, input, input_bytes, report.data(), static_cast<DWORD>(report.size()),
                                  &bytes, nullptr);
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
