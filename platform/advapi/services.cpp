// The service control manager's routines: handles for managers and
// services (every process), and the dispatcher of a service program.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/advapi/advapi.h"
#include "platform/advapi/hostregistry.h"
#include "platform/advapi/svccore.h"
#include "platform/common/lxsock.h"
#include "platform/common/text.h"

namespace plat::advapi {
namespace {

// ---- Handles ------------------------------------------------------------------------

struct ScObject {
  bool manager;
  DWORD access;
  std::string host;
  std::u16string name;  // services
};

std::mutex& sc_mu() {
  static auto* mu = new std::mutex;
  return *mu;
}

std::set<ScObject*>& sc_objects() {
  static auto* s = new std::set<ScObject*>;
  return *s;
}

SC_HANDLE new_handle(ScObject object) {
  auto* o = new ScObject(std::move(object));
  std::lock_guard lock(sc_mu());
  sc_objects().insert(o);
  return reinterpret_cast<SC_HANDLE>(o);
}

// A copy of the handle's object; false (ERROR_INVALID_HANDLE set) for a bad one.
bool object_of(SC_HANDLE handle, bool manager, ScObject* out) {
  std::lock_guard lock(sc_mu());
  auto* o = reinterpret_cast<ScObject*>(handle);
  if (sc_objects().count(o) == 0 || o->manager != manager) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  *out = *o;
  return true;
}

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

DWORD generic_rights(DWORD desired, DWORD all, DWORD read, DWORD write, DWORD execute) {
  DWORD rights = desired & (all | DELETE | 0x000E0000);
  if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) rights |= all;
  if (desired & GENERIC_READ) rights |= read;
  if (desired & GENERIC_WRITE) rights |= write;
  if (desired & GENERIC_EXECUTE) rights |= execute;
  return rights;
}

scm::Database database_of(const std::string& host) { return scm::Database(store_for(host), host); }

void fill(LPSERVICE_STATUS out, const scm::Status& s) {
  *out = SERVICE_STATUS{s.type, s.state, s.accepted, s.win32_exit, s.specific_exit, s.checkpoint, s.wait_hint};
}

bool local_machine(LPCSTR name) {
  if (name == nullptr || *name == '\0') return true;
  std::string bare = name;
  if (bare.starts_with("\\\\")) bare = bare.substr(2);
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  return bare == "." || bare == host || bare == "localhost";
}

// ---- The dispatcher of a service program ------------------------------------------------

constexpr SERVICE_STATUS_HANDLE kStatusHandle = 0x5E41;

struct Dispatcher {
  std::mutex mu;
  bool running = false;
  std::string host;
  std::u16string name;
  std::vector<std::string> args;
  LPHANDLER_FUNCTION handler = nullptr;
  bool registered = false;
  scm::Status status;
  int wake = -1;  // eventfd: the service reported SERVICE_STOPPED
  LPSERVICE_MAIN_FUNCTIONA main = nullptr;
};

Dispatcher& dispatcher() {
  static auto* d = new Dispatcher;
  return *d;
}

// Answers one control request: the handler runs here, on the dispatcher's thread.
void serve_control(int connection) {
  pollfd p{connection, POLLIN, 0};
  std::uint32_t code = 0;
  if (::poll(&p, 1, 5000) <= 0 || lx::recvfrom(connection, &code, sizeof code, 0, nullptr, nullptr) != sizeof code) {
    return;
  }
  Dispatcher& d = dispatcher();
  LPHANDLER_FUNCTION handler;
  scm::Status status;
  {
    std::lock_guard lock(d.mu);
    handler = d.handler;
    status = d.status;
  }
  std::uint32_t reply = ERROR_SUCCESS;
  if (handler == nullptr) {
    reply = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  } else if (code == SERVICE_CONTROL_STOP && (status.accepted & SERVICE_ACCEPT_STOP) == 0) {
    reply = ERROR_INVALID_SERVICE_CONTROL;
  } else {
    handler(code);
  }
  lx::sendto(connection, &reply, sizeof reply, MSG_NOSIGNAL, nullptr, 0);
}

DWORD service_main_thread(LPVOID) {
  Dispatcher& d = dispatcher();
  std::vector<std::string> args;
  args.push_back(to_utf8(d.name));
  args.insert(args.end(), d.args.begin(), d.args.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  d.main(static_cast<DWORD>(args.size()), argv.data());
  return 0;
}

}  // namespace
}  // namespace plat::advapi

using namespace plat::advapi;
namespace scm = plat::scm;

SC_HANDLE OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess) {
  if (!local_machine(lpMachineName)) {
    SetLastError(RPC_S_SERVER_UNAVAILABLE);
    return nullptr;
  }
  if (lpDatabaseName != nullptr && !plat::equal_folded(plat::to_u16(lpDatabaseName), u"ServicesActive")) {
    SetLastError(ERROR_DATABASE_DOES_NOT_EXIST);
    return nullptr;
  }
  const DWORD rights =
      generic_rights(dwDesiredAccess, SC_MANAGER_ALL_ACCESS & 0x3F, SC_MANAGER_ENUMERATE_SERVICE | 0x10,
                     SC_MANAGER_CREATE_SERVICE | 0x20, SC_MANAGER_CONNECT | 0x08);
  return new_handle(ScObject{true, rights | SC_MANAGER_CONNECT, plat::host_directory(), {}});
}

SC_HANDLE CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName, DWORD dwDesiredAccess,
                         DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl, LPCSTR lpBinaryPathName, LPCSTR,
                         LPDWORD lpdwTagId, LPCSTR, LPCSTR lpServiceStartName, LPCSTR) {
  ScObject manager;
  if (!object_of(hSCManager, true, &manager)) return nullptr;
  if ((manager.access & SC_MANAGER_CREATE_SERVICE) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (lpServiceName == nullptr || !scm::valid_name(plat::to_u16(lpServiceName))) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  const DWORD kind = dwServiceType & ~0x100u;  // SERVICE_INTERACTIVE_PROCESS is accepted and means nothing here
  if (lpBinaryPathName == nullptr || *lpBinaryPathName == '\0' ||
      (kind != SERVICE_WIN32_OWN_PROCESS && kind != SERVICE_WIN32_SHARE_PROCESS) || dwStartType < SERVICE_AUTO_START ||
      dwStartType > SERVICE_DISABLED || dwErrorControl > SERVICE_ERROR_CRITICAL || lpdwTagId != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  scm::Config config;
  config.name = plat::to_u16(lpServiceName);
  config.display_name = lpDisplayName != nullptr ? plat::to_u16(lpDisplayName) : config.name;
  config.image_path = plat::to_u16(lpBinaryPathName);
  config.object_name = lpServiceStartName != nullptr ? plat::to_u16(lpServiceStartName) : u"LocalSystem";
  config.type = dwServiceType;
  config.start = dwStartType;
  config.error_control = dwErrorControl;
  auto database = database_of(manager.host);
  if (const DWORD error = database.create(config); error != ERROR_SUCCESS) {
    SetLastError(error);
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return new_handle(ScObject{false, generic_rights(dwDesiredAccess, SERVICE_ALL_ACCESS & 0x1FF, 0x0D, 0x02, 0x1F0),
                             manager.host, config.name});
}

SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
  ScObject manager;
  if (!object_of(hSCManager, true, &manager)) return nullptr;
  if (lpServiceName == nullptr || !scm::valid_name(plat::to_u16(lpServiceName))) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  auto database = database_of(manager.host);
  database.sweep();
  auto config = database.find(plat::to_u16(lpServiceName));
  if (!config) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  return new_handle(ScObject{false, generic_rights(dwDesiredAccess, SERVICE_ALL_ACCESS & 0x1FF, 0x0D, 0x02, 0x1F0),
                             manager.host, config->name});
}

BOOL StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors) {
  ScObject service;
  if (!object_of(hService, false, &service)) return FALSE;
  if ((service.access & SERVICE_START) == 0) return fail(ERROR_ACCESS_DENIED);
  if (dwNumServiceArgs != 0 && lpServiceArgVectors == nullptr) return fail(ERROR_INVALID_PARAMETER);
  auto database = database_of(service.host);
  auto config = database.find(service.name);
  if (!config) return fail(ERROR_SERVICE_DOES_NOT_EXIST);
  std::vector<std::string> args;
  for (DWORD i = 0; i < dwNumServiceArgs; ++i) args.emplace_back(lpServiceArgVectors[i] ? lpServiceArgVectors[i] : "");
  const DWORD error = scm::start(service.host, *config, args);
  return error == ERROR_SUCCESS ? TRUE : fail(error);
}

BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
  ScObject service;
  if (!object_of(hService, false, &service)) return FALSE;
  if (lpServiceStatus == nullptr) return fail(ERROR_INVALID_PARAMETER);
  DWORD needed = 0;
  switch (dwControl) {
    case SERVICE_CONTROL_STOP:
      needed = SERVICE_STOP;
      break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      needed = SERVICE_PAUSE_CONTINUE;
      break;
    case SERVICE_CONTROL_INTERROGATE:
      needed = SERVICE_INTERROGATE;
      break;
    default:
      if (dwControl < 128 || dwControl > 255) return fail(ERROR_INVALID_PARAMETER);
      needed = SERVICE_USER_DEFINED_CONTROL;
  }
  if ((service.access & needed) == 0) return fail(ERROR_ACCESS_DENIED);
  if (!database_of(service.host).find(service.name)) return fail(ERROR_SERVICE_DOES_NOT_EXIST);
  const DWORD error = scm::control(service.host, service.name, dwControl);
  fill(lpServiceStatus, scm::current_status(service.host, service.name));
  return error == ERROR_SUCCESS ? TRUE : fail(error);
}

BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  ScObject service;
  if (!object_of(hService, false, &service)) return FALSE;
  if ((service.access & SERVICE_QUERY_STATUS) == 0) return fail(ERROR_ACCESS_DENIED);
  if (lpServiceStatus == nullptr) return fail(ERROR_INVALID_PARAMETER);
  fill(lpServiceStatus, scm::current_status(service.host, service.name));
  return TRUE;
}

BOOL DeleteService(SC_HANDLE hService) {
  ScObject service;
  if (!object_of(hService, false, &service)) return FALSE;
  if ((service.access & DELETE) == 0) return fail(ERROR_ACCESS_DENIED);
  auto database = database_of(service.host);
  const DWORD error = database.remove(service.name);
  return error == ERROR_SUCCESS ? TRUE : fail(error);
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
  std::lock_guard lock(sc_mu());
  auto* o = reinterpret_cast<ScObject*>(hSCObject);
  if (sc_objects().erase(o) == 0) return fail(ERROR_INVALID_HANDLE);
  delete o;
  return TRUE;
}

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* lpServiceStartTable) {
  if (lpServiceStartTable == nullptr || lpServiceStartTable[0].lpServiceName == nullptr ||
      lpServiceStartTable[0].lpServiceProc == nullptr) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  const char* service = std::getenv("ZEK_SERVICE");
  const std::string host = plat::host_directory();
  if (service == nullptr || *service == '\0' || host.empty()) return fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  Dispatcher& d = dispatcher();
  {
    std::lock_guard lock(d.mu);
    if (d.running) return fail(ERROR_SERVICE_ALREADY_RUNNING);
    d.running = true;
    d.host = host;
    d.name = plat::to_u16(service);
    d.args.clear();
    if (const char* args = std::getenv("ZEK_SERVICE_ARGS"); args != nullptr && *args != '\0') {
      std::string all = args;
      std::size_t start = 0;
      for (;;) {
        const auto end = all.find('\x1f', start);
        d.args.push_back(all.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
      }
    }
    // The entry of this service, or (one service per process) the first.
    d.main = lpServiceStartTable[0].lpServiceProc;
    for (auto* e = lpServiceStartTable; e->lpServiceName != nullptr; ++e) {
      if (plat::equal_folded(plat::to_u16(e->lpServiceName), d.name)) d.main = e->lpServiceProc;
    }
    d.status = scm::Status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
  }
  const std::string socket_name = scm::control_socket_name(host, d.name);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socket_name.data(), socket_name.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket_name.size());
  const int listener = plat::lx::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (listener < 0 || plat::lx::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      plat::lx::listen(listener, 16) != 0) {
    const DWORD error =
        (listener >= 0 && errno == EADDRINUSE) ? ERROR_SERVICE_ALREADY_RUNNING : ERROR_NOT_ENOUGH_MEMORY;
    if (listener >= 0) ::close(listener);
    std::lock_guard lock(d.mu);
    d.running = false;
    return fail(error);
  }
  d.wake = ::eventfd(0, EFD_CLOEXEC);
  scm::write_status(host, d.name, d.status);  // the service has connected
  HANDLE main_thread = CreateThread(nullptr, 0, service_main_thread, nullptr, 0, nullptr);
  if (main_thread == nullptr) {
    ::close(listener);
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  for (;;) {
    pollfd p[2] = {{listener, POLLIN, 0}, {d.wake, POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) continue;
    if (p[1].revents & POLLIN) break;  // SERVICE_STOPPED
    if (p[0].revents & POLLIN) {
      const int connection = plat::lx::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection >= 0) {
        serve_control(connection);
        ::close(connection);
      }
    }
  }
  ::close(listener);
  CloseHandle(main_thread);
  std::lock_guard lock(d.mu);
  d.running = false;
  return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR lpServiceName, LPHANDLER_FUNCTION lpHandlerProc) {
  Dispatcher& d = dispatcher();
  std::lock_guard lock(d.mu);
  if (lpServiceName == nullptr || lpHandlerProc == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!d.running || !plat::equal_folded(plat::to_u16(lpServiceName), d.name)) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return 0;
  }
  d.handler = lpHandlerProc;
  d.registered = true;
  return kStatusHandle;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus) {
  Dispatcher& d = dispatcher();
  std::unique_lock lock(d.mu);
  if (hServiceStatus != kStatusHandle || !d.registered) return fail(ERROR_INVALID_HANDLE);
  if (lpServiceStatus == nullptr) return fail(ERROR_INVALID_PARAMETER);
  const SERVICE_STATUS& s = *lpServiceStatus;
  if (s.dwCurrentState < SERVICE_STOPPED || s.dwCurrentState > SERVICE_PAUSED) return fail(ERROR_INVALID_DATA);
  d.status = scm::Status{
      s.dwServiceType, s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode, s.dwServiceSpecificExitCode,
      s.dwCheckPoint,  s.dwWaitHint};
  const scm::Status status = d.status;
  const std::string host = d.host;
  const std::u16string name = d.name;
  const int wake = d.wake;
  lock.unlock();
  if (!scm::write_status(host, name, status)) return fail(ERROR_GEN_FAILURE);
  if (status.state == SERVICE_STOPPED && wake >= 0) {
    const std::uint64_t one = 1;
    const ssize_t ignored = ::write(wake, &one, sizeof one);
    (void)ignored;
  }
  return TRUE;
}
