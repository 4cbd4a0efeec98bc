// A tool-like process for the control-device tests: opens zekhnic's
// "\\.\ZEKMINI" and an adapter's own device through the user runtime, runs
// a table of requests and checks each answer, then drops its privileges and
// tries to open the control device again.
//
//   zekminiclient DEVICE    DEVICE: the per-adapter device's DOS name (function 1 of the board)
//
// Exit code 0 when every case answered as expected (each failure is printed).
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/user/win32.h"

namespace {

int g_failures = 0;

void check(bool ok, const std::string& what) {
  if (!ok) {
    std::printf("FAILED: %s (last error %lu)\n", what.c_str(), static_cast<unsigned long>(GetLastError()));
    ++g_failures;
  }
}

HANDLE open(const std::string& name) {
  return CreateFileA(("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

struct Reply {
  bool ok;
  DWORD bytes;
  DWORD error;
  std::vector<std::uint8_t> data;
};

Reply ioctl(HANDLE h, DWORD code, std::vector<std::uint8_t> data, DWORD in, DWORD out) {
  data.resize(std::max<std::size_t>({data.size(), std::size_t{in}, std::size_t{out}}), 0);
  DWORD bytes = 0xFFFF;
  SetLastError(0);
  const BOOL ok = DeviceIoControl(h, code, data.data(), in, data.data(), out, &bytes, nullptr);
  return {ok != FALSE, bytes, GetLastError(), data};
}

std::vector<std::uint8_t> record(std::uint32_t adapter, std::uint32_t where, std::size_t size = 24) {
  std::vector<std::uint8_t> r(size, 0);
  std::memcpy(r.data() + 4, &adapter, 4);
  std::memcpy(r.data() + 12, &where, 4);
  return r;
}
std::uint32_t u32(const Reply& r, std::size_t at) {
  std::uint32_t v = 0;
  if (at + 4 <= r.data.size()) std::memcpy(&v, r.data.data() + at, 4);
  return v;
}

constexpr DWORD kReadIndexed = 0x22A400, kReadReg = 0x22A408, kVersions = 0x22A420, kInfo = 0x22A428,
                kEventRing = 0x22A42C, kEntry = 0x22A434, kGetFailover = 0x22A438, kSetFailover = 0x22A43C,
                kQueryOid = 0x172800, kNop = 0x226004;
constexpr std::uint32_t kPermanentAddress = 0x01010101, kSupportedList = 0x00010101;
constexpr std::uint32_t kNoAdapter = 0xFFFFFFFF, kInvalidLength = 0xC0010014, kBufferTooShort = 0xC0010016;

std::vector<std::uint8_t> oid(std::uint32_t number) {
  std::vector<std::uint8_t> r(12, 0);
  std::memcpy(r.data(), &number, 4);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  HANDLE control = open("ZEKMINI");
  HANDLE device = open(argv[1]);
  if (control == INVALID_HANDLE_VALUE || device == INVALID_HANDLE_VALUE) {
    std::printf("FAILED: opening the devices (%lu)\n", static_cast<unsigned long>(GetLastError()));
    return 2;
  }

  // The adapter's number (function + board key) from its permanent address:
  // the board's address with the function added to its last two bytes.
  Reply r = ioctl(device, kQueryOid, oid(kPermanentAddress), 12, 12 + 6);
  check(r.ok && r.bytes == 18 && u32(r, 4) == 0 && u32(r, 8) == 6, "permanent address through the adapter's device");
  const std::uint8_t* mac = r.data.data() + 12;
  const std::uint32_t low16 = ((std::uint32_t{mac[4]} << 8 | mac[5]) - 1) & 0xFFFF;
  const std::uint32_t number = 1 + (std::uint32_t{mac[2]} << 24 | std::uint32_t{mac[3]} << 16 | low16);

  r = ioctl(control, kQueryOid, oid(kPermanentAddress), 12, 18);
  check(!r.ok && r.error == ERROR_NOT_FOUND, "an OID query on the control device finds no adapter");
  r = ioctl(device, kQueryOid, oid(kPermanentAddress), 12, 8);
  check(!r.ok && r.error == ERROR_INSUFFICIENT_BUFFER, "an OID query without room for its header");
  // The data area is the larger buffer's: an answer that fits the input but
  // not the output comes back as the header alone, with the bytes needed.
  r = ioctl(device, kQueryOid, oid(kSupportedList), 12 + 220, 12 + 100);
  check(r.ok && r.bytes == 12 && u32(r, 4) == kInvalidLength && u32(r, 8) == 220,
        "an answer that does not fit: the header only, with the bytes needed");
  r = ioctl(device, kQueryOid, oid(kSupportedList), 12, 12 + 100);
  check(r.ok && r.bytes == 12 && u32(r, 4) == kBufferTooShort && u32(r, 8) == 220,
        "a data area too short for the answer: the handler's status and the bytes needed");

  struct Case {
    const char* name;
    DWORD code;
    std::vector<std::uint8_t> data;
    DWORD in, out;
    bool ok;
    DWORD error;  // when not ok
    DWORD bytes;  // when ok
    std::uint32_t status;
  } const cases[] = {
      {"register", kReadReg, record(number, 0x30), 24, 24, true, 0, 24, 0},
      {"register of no adapter", kReadReg, record(0x12345, 0x30), 24, 24, true, 0, 24, kNoAdapter},
      {"register beyond the window", kReadReg, record(number, 4096), 24, 24, false, ERROR_INVALID_PARAMETER, 0, 0},
      {"unaligned register", kReadReg, record(number, 2), 24, 24, false, ERROR_INVALID_PARAMETER, 0, 0},
      {"short record", kReadReg, record(number, 0x30), 23, 23, false, ERROR_INSUFFICIENT_BUFFER, 0, 0},
      {"oversized record", kReadReg, record(number, 0x30, 32), 32, 32, false, ERROR_BAD_LENGTH, 0, 0},
      {"indexed register", kReadIndexed, record(number, 0x800 + 8 * 9), 24, 24, true, 0, 24, 0},
      {"versions", kVersions, std::vector<std::uint8_t>{0, 0, 0, 0}, 20, 20, true, 0, 20, 0},
      {"information", kInfo, record(number, 0, 84), 84, 84, true, 0, 84, 0},
      {"information of no adapter", kInfo, record(7, 0, 84), 84, 84, true, 0, 0, 0},
      {"send request 0", kEntry, record(number, 0, 80), 80, 80, true, 0, 80, 0},
      {"send request past the ring", kEntry, record(number, 100000, 80), 80, 80, false, ERROR_INVALID_PARAMETER, 0, 0},
      {"event ring entry", kEventRing, record(number, 0), 24, 24, true, 0, 24, 0},
      {"event ring entry past the ring", kEventRing, record(number, 1u << 30), 24, 24, false, ERROR_INVALID_PARAMETER,
       0, 0},
      {"no-op", kNop, {}, 0, 0, true, 0, 0, 0},
      {"unknown code", 0x22A500, record(number, 0), 24, 24, false, ERROR_GEN_FAILURE, 0, 0},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> data = c.data;
    if (c.code == kVersions) std::memcpy(data.data(), &number, 4);
    r = ioctl(control, c.code, data, c.in, c.out);
    if (c.ok) {
      check(r.ok && r.bytes == c.bytes, std::string(c.name) + ": bytes " + std::to_string(r.bytes));
      const std::size_t status_at = c.code == kVersions ? 4 : 8;
      if (c.bytes != 0) check(u32(r, status_at) == c.status, std::string(c.name) + ": status word");
    } else {
      check(!r.ok && r.error == c.error, std::string(c.name) + ": refused");
    }
  }
  r = ioctl(control, kReadIndexed, record(number, 0x800 + 8 * 9), 24, 24);
  check(u32(r, 16) == 0x4C495645, "the load marker through the indexed read");
  r = ioctl(control, kInfo, record(number, 0, 84), 84, 84);
  check(u32(r, 72) == 0, "the information record's unused word is written");

  // Failover stored with enable 0, and read back; nothing applied.
  std::vector<std::uint8_t> failover(12, 0);
  failover[0] = 1;
  r = ioctl(control, kSetFailover, failover, 12, 12);
  check(r.ok && r.bytes == 12 && u32(r, 8) == 0, "failover stored");
  r = ioctl(control, kGetFailover, std::vector<std::uint8_t>(12, 0xEE), 12, 12);
  check(r.ok && r.bytes == 12 && u32(r, 0) == 1 && r.data[4] == 0 && u32(r, 8) == 0, "failover read back");
  r = ioctl(control, kGetFailover, std::vector<std::uint8_t>(16, 0), 16, 16);
  check(!r.ok && r.error == ERROR_BAD_LENGTH, "an oversized failover record");
  CloseHandle(device);
  CloseHandle(control);

  // Without privileges the control device does not open.
  if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) {
    std::printf("FAILED: dropping privileges\n");
    return 3;
  }
  prctl(PR_SET_DUMPABLE, 1);  // the process's /proc entry belongs to its user again
  for (const std::string& name : {std::string("ZEKMINI"), std::string(argv[1])}) {
    HANDLE again = open(name);
    const DWORD error = GetLastError();
    check(again == INVALID_HANDLE_VALUE && error == ERROR_ACCESS_DENIED,
          "an unprivileged open of " + name + " is refused (error " + std::to_string(error) + ", uid " +
              std::to_string(geteuid()) + ")");
    if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
  }
  std::printf("%d failures\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
