// A service program for the service tests. Its first argument picks its
// behaviour:
//   (none)     reports RUNNING, accepts stop, ends on SERVICE_CONTROL_STOP
//   no-stop    reports RUNNING without accepting stop (the host must end it otherwise)
//   no-connect ends at once without calling the dispatcher
// It records what happens in "testservice-NAME.txt" of the host directory:
// "started ARGS", "control N", "stopping", "stopped".
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/advapi/advapi.h"

namespace {

SERVICE_STATUS_HANDLE g_status = 0;
HANDLE g_stop = nullptr;
bool g_accept_stop = true;
std::string g_record;

void record(const std::string& line) {
  FILE* f = std::fopen(g_record.c_str(), "a");
  if (f == nullptr) return;
  std::fprintf(f, "%s\n", line.c_str());
  std::fclose(f);
}

void report(DWORD state, DWORD checkpoint = 0) {
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS,
                        state,
                        state == SERVICE_RUNNING && g_accept_stop ? SERVICE_ACCEPT_STOP : 0,
                        0,
                        0,
                        checkpoint,
                        0};
  if (!SetServiceStatus(g_status, &status)) record("SetServiceStatus failed " + std::to_string(GetLastError()));
}

void handler(DWORD control) {
  record("control " + std::to_string(control));
  if (control == SERVICE_CONTROL_STOP) {
    report(SERVICE_STOP_PENDING, 1);
    record("stopping");
    SetEvent(g_stop);
  } else if (control == SERVICE_CONTROL_INTERROGATE) {
    report(SERVICE_RUNNING);
  }
}

void service_main(DWORD argc, LPSTR* argv) {
  g_status = RegisterServiceCtrlHandlerA(argv[0], handler);
  if (g_status == 0) {
    record("RegisterServiceCtrlHandler failed " + std::to_string(GetLastError()));
    return;
  }
  report(SERVICE_START_PENDING, 1);
  std::string args;
  for (DWORD i = 0; i < argc; ++i) args += std::string(i == 0 ? "" : " ") + argv[i];
  record("started " + args);
  report(SERVICE_RUNNING);
  WaitForSingleObject(g_stop, INFINITE);
  record("stopped");
  report(SERVICE_STOPPED);
}

}  // namespace

int main(int argc, char** argv) {
  const char* host = std::getenv("ZEK_HOST");
  const char* name = std::getenv("ZEK_SERVICE");
  g_record = std::string(host != nullptr ? host : ".") + "/testservice-" + (name != nullptr ? name : "none") + ".txt";
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "no-connect") return 3;
  g_accept_stop = mode != "no-stop";
  g_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SERVICE_TABLE_ENTRYA table[] = {{const_cast<LPSTR>("ZekTestService"), service_main}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherA(table)) {
    std::fprintf(stderr, "StartServiceCtrlDispatcher: %u\n", static_cast<unsigned>(GetLastError()));
    return 2;
  }
  return 0;
}
