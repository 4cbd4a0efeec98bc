// A user process for the notification lab test: opens "\\.\zekproxy"
// through the user runtime and sends the notification requests with
// handles that are not its own verbs objects (null, the uninitialised
// pointer, a forged kernel address, a real kernel object of another kind,
// an address of its own memory) and short records. Each must get its clear
// answer; the host must stay up.
//
//   zeknotifyclient hostile
//
// Exit code 0 when every check held (each failure is printed).
#include <cstdint>
#include <cstdio>
#include <string>

#include "include/zek/ioctl.h"
#include "include/zek/mgmt.h"
#include "include/zek/notify.h"
#include "include/zek/verbs.h"
#include "platform/user/win32.h"
#include "tests/support/proxy_client.h"

namespace {

using proxyclient::check;
using proxyclient::g_failures;
using proxyclient::g_proxy;
using proxyclient::send;

// A real kernel object that is not a verbs adapter: the management handle.
std::uint64_t management_handle() {
  std::uint64_t handle = 0;
  ZekMgmtOpenAdapterRecord r{};
  r.HandleAddress = reinterpret_cast<std::uint64_t>(&handle);
  r.AdapterNumber = 0;
  check(send(IOCTL_ZEK_MGMT_OPEN_ADAPTER, &r) && r.Status == 0 && handle != 0, "the management handle");
  return handle;
}

void hostile() {
  std::uint64_t own = 0;
  const struct {
    const char* what;
    std::uint64_t handle;
  } handles[] = {
      {"null", 0},
      {"the uninitialised pointer", 0xCCCCCCCC},
      {"a forged kernel address", 0xFFFF800012345000ull},
      {"the management handle", management_handle()},
      {"an address of this process", reinterpret_cast<std::uint64_t>(&own)},
  };
  for (const auto& h : handles) {
    const std::string what = std::string(" with ") + h.what;
    ZekAsyncEventRecord wait{};
    wait.Adapter = h.handle;
    wait.Count = 0xC0C0;
    check(send(IOCTL_ZEK_IWARP_WAIT_ON_ASYNC_FUNCTION_CALL, &wait), "the wait is answered" + what);
    check(wait.Status == IWARP_STATUS_A_INVALID_RNIC_HANDLE, "the wait's status" + what);
    check(wait.Count == 0xC0C0, "the wait's count is kept" + what);
    ZekTerminateWaitRecord terminate{h.handle, 0xFFFF, 0};
    check(send(IOCTL_IWARP_TERMINATE_CQ_POLL_THREAD, &terminate) &&
              terminate.Status == IWARP_STATUS_A_INVALID_RNIC_HANDLE,
          "the terminate request" + what);
    ZekQueryAsyncErrorRecord query{h.handle, 0, {}, 0xFFFF, 0};
    check(send(IOCTL_ZEK_IWARP_QUERY_ASYNC_ERROR, &query) && query.Status == IWARP_STATUS_A_INVALID_RNIC_HANDLE,
          "the asynchronous-error query" + what);
    ZekErrorQpInfoRecord info{h.handle, 77, 0, 0};
    const bool answered = send(IOCTL_ZEK_IWARP_GET_ERROR_QP_INFO, &info);
    check(h.handle == 0 || h.handle == 0xCCCCCCCC ? !answered : answered && info.Empty == 1 && info.QpClient == 77,
          "the error-QP information" + what);
    ZekForceProcessAeqRecord force{h.handle, 0xFF, 0};
    const bool forced = send(IOCTL_ZEK_IWARP_FORCE_PROCESS_AEQ, &force);
    check(h.handle == 0 || h.handle == 0xCCCCCCCC ? !forced : forced && force.Status == 1,
          "the forced event processing" + what);
  }
  // Records shorter than their code's fail before any handler.
  ZekAsyncEventRecord wait{};
  check(!send(IOCTL_ZEK_IWARP_WAIT_ON_ASYNC_FUNCTION_CALL, &wait, 1632), "a short wait record is refused");
  ZekTerminateWaitRecord terminate{};
  check(!send(IOCTL_IWARP_TERMINATE_CQ_POLL_THREAD, &terminate, 8), "a short terminate record is refused");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::string(argv[1]) != "hostile") return 2;
  g_proxy = CreateFileA("\\\\.\\zekproxy", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (g_proxy == INVALID_HANDLE_VALUE) {
    std::printf("FAILED: opening zekproxy (%lu)\n", static_cast<unsigned long>(GetLastError()));
    return 2;
  }
  hostile();
  CloseHandle(g_proxy);
  std::printf("%d failures\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
