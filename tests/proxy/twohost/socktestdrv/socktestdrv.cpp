// A kernel client of the host stack's socket calls, loaded into a host
// beside zekhnic and zekproxy. On request it fetches the kernel socket-call
// table from the proxy driver (as kernel callers get it) and runs a TCP
// echo against a server on the other host: non-blocking sockets and poll,
// both directions at once, each direction's checksum compared.
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "include/zek/ioctl.h"
#include "include/zek/sockets.h"
#include "platform/kernel/driver.h"
#include "tests/proxy/twohost/socktestdrv/socktestdrv.h"
#include "tests/support/proxy_table.h"
#include "tests/support/test_device.h"

namespace {

PDEVICE_OBJECT g_device;
constexpr const char16_t* kDevice = u"\\Device\\zeksocktest";
constexpr const char16_t* kLink = u"\\DosDevices\\zeksocktest";
using zektest::complete_irp;

constexpr int kEWouldBlock = 35, kEInProgress = 36;
constexpr int kSolSocket = 0xFFFF, kSoError = 0x1007;

void line(std::string* report, const char* format, ...) __attribute__((format(printf, 2, 3)));
void line(std::string* report, const char* format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  *report += buffer;
}

// FNV-1a, 64 bits, continued over each piece.
std::uint64_t fnv(std::uint64_t hash, const std::uint8_t* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) hash = (hash ^ p[i]) * 0x100000001B3ull;
  return hash;
}
constexpr std::uint64_t kFnvStart = 0xCBF29CE484222325ull;

// The echo; false with the step that failed in the report.
bool echo(const ZekKernelSocketTable* t, const socktest::EchoRequest& request, std::string* report) {
  auto failed = [&](const char* step, int error) {
    line(report, "FAILED %s error %d\n", step, error);
    return false;
  };
  const int s = t->socket(2, 1, 0);
  if (s < 0) return failed("socket", s);
  struct Closer {
    const ZekKernelSocketTable* t;
    int s;
    ~Closer() { t->close(s); }
  } closer{t, s};
  if (t->fcntl(s, ZEK_F_SETFL, ZEK_O_NONBLOCK) != 0) return failed("fcntl", 0);
  ZekSanAddress to{};
  to.Family = static_cast<std::uint16_t>(16 | (2 << 8));
  to.Port = __builtin_bswap16(request.Port);
  to.Address = request.Address;
  int r = t->connect(s, &to, sizeof(to));
  if (r != 0 && r != -kEInProgress) return failed("connect", r);
  ZekPollFd entry{s, ZEK_POLLOUT, 0};
  if (t->poll(&entry, 1, 20000) != 1) return failed("connect completes", 0);
  int error = -1, length = sizeof(error);
  if ((r = t->getsockopt(s, kSolSocket, kSoError, &error, &length)) != 0 || error != 0) {
    return failed("SO_ERROR", r != 0 ? r : error);
  }
  std::vector<std::uint8_t> out(request.Bytes);
  std::uint32_t x = 0x9E3779B9;
  for (auto& b : out) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  const char ask = 'E';
  entry = {s, ZEK_POLLOUT, 0};
  if (t->poll(&entry, 1, 10000) != 1 || t->send(s, &ask, 1, 0) != 1) return failed("request", 0);
  std::vector<std::uint8_t> buffer(65536);
  std::size_t sent = 0, received = 0;
  std::uint64_t received_sum = kFnvStart;
  bool shut = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  for (;;) {
    if (std::chrono::steady_clock::now() > deadline) return failed("echo in time", 0);
    if (sent == out.size() && !shut) {
      if ((r = t->shutdown(s, 1)) != 0) return failed("shutdown", r);
      shut = true;
    }
    entry = {s, static_cast<std::int16_t>(ZEK_POLLIN | (shut ? 0 : ZEK_POLLOUT)), 0};
    if ((r = t->poll(&entry, 1, 10000)) < 0) return failed("poll", r);
    if (entry.Revents & ZEK_POLLIN) {
      const int n = t->recv(s, buffer.data(), static_cast<int>(buffer.size()), 0);
      if (n == 0) break;
      if (n > 0) {
        received_sum = fnv(received_sum, buffer.data(), static_cast<std::size_t>(n));
        received += static_cast<std::size_t>(n);
      } else if (n != -kEWouldBlock) {
        return failed("recv", n);
      }
    }
    if (!shut && (entry.Revents & ZEK_POLLOUT)) {
      const int n =
          t->send(s, out.data() + sent, static_cast<int>(std::min<std::size_t>(out.size() - sent, 1 << 16)), 0);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
      } else if (n != -kEWouldBlock) {
        return failed("send", n);
      }
    }
  }
  const std::uint64_t sent_sum = fnv(kFnvStart, out.data(), out.size());
  line(report, "bytes %zu %zu\nchecksum %016llx %016llx\n", sent, received, static_cast<unsigned long long>(sent_sum),
       static_cast<unsigned long long>(received_sum));
  return received == out.size() && received_sum == sent_sum;
}

NTSTATUS device_control(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  auto* buffer = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
  if (stack->Parameters.DeviceIoControl.IoControlCode != socktest::kEcho) {
    return complete_irp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  if (in != sizeof(socktest::EchoRequest) || out < socktest::kReportBytes) {
    return complete_irp(irp, STATUS_INVALID_PARAMETER, 0);
  }
  socktest::EchoRequest request;
  std::memcpy(&request, buffer, sizeof request);
  const auto* table = reinterpret_cast<const ZekKernelSocketTable*>(zektest::proxy_table(IOCTL_ZEK_GET_SOCKET_TABLE));
  if (table == nullptr) return complete_irp(irp, STATUS_DEVICE_NOT_READY, 0);
  std::string report;
  const bool ok = echo(table, request, &report);
  line(&report, "failures=%d\n", ok ? 0 : 1);
  const std::size_t n = std::min<std::size_t>(report.size(), socktest::kReportBytes);
  std::memcpy(buffer, report.data(), n);
  return complete_irp(irp, STATUS_SUCCESS, n);
}

void unload(PDRIVER_OBJECT) { zektest::delete_test_device(kLink, g_device); }

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  return zektest::create_test_device(driver, kDevice, kLink, &device_control, &unload, &g_device);
}
