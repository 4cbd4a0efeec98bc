// zeksock: the library entry, the module u_sockets with its routine table,
// and the transport of one socket call to the proxy driver.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "include/zek/ioctl.h"
#include "include/zek/zekbase.h"
#include "include/zek/zeksock.h"
#include "platform/user/win32.h"

namespace {

constexpr int kEBADF = 9;
constexpr int kEFAULT = 14;
constexpr std::size_t kPathMax = 260;

// ---- Module state ---------------------------------------------------------------------------------
std::mutex g_module_lock;
std::uint32_t g_uses;  // under g_module_lock
char g_path[kPathMax];
HANDLE g_global = INVALID_HANDLE_VALUE;
// Bumped by every first init: a thread's handle of an earlier generation
// (another device, or a closed library) is not used again.
std::atomic<std::uint64_t> g_generation{0};

// A thread's own handle on the device, opened by its first call.
struct ThreadHandle {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::uint64_t generation = 0;
  ~ThreadHandle() { drop(); }
  void drop() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
  }
};
thread_local ThreadHandle t_handle;

HANDLE open_device(const char* path) {
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                     nullptr);
}

HANDLE thread_handle() {
  const std::uint64_t generation = g_generation.load(std::memory_order_acquire);
  if (t_handle.handle != INVALID_HANDLE_VALUE && t_handle.generation == generation) return t_handle.handle;
  t_handle.drop();
  char path[kPathMax];
  {
    std::lock_guard lock(g_module_lock);
    std::memcpy(path, g_path, sizeof(path));
  }
  t_handle.handle = open_device(path);
  if (t_handle.handle == INVALID_HANDLE_VALUE) {
    std::printf("Creating file failed, error %x\n", static_cast<unsigned>(GetLastError()));
    std::fflush(stdout);
  }
  t_handle.generation = generation;
  return t_handle.handle;
}

// Sends one record; false (zek_errno 9) when the driver could not be reached.
bool transport(std::uint32_t code, void* record, std::uint32_t bytes) {
  HANDLE device = thread_handle();
  if (device == INVALID_HANDLE_VALUE) {
    std::printf("SocketIOCTL failed Unable to open file \n");
    std::fflush(stdout);
    zek_errno = kEBADF;
    return false;
  }
  DWORD returned = 0;
  if (!DeviceIoControl(device, code, record, bytes, record, bytes, &returned, nullptr)) {
    std::printf("SocketIOCTL failed on IOCTL %xh, error %x\n", code, static_cast<unsigned>(GetLastError()));
    std::fflush(stdout);
    zek_errno = kEBADF;
    return false;
  }
  return true;
}

template <typename Record>
bool call(std::uint32_t code, Record* record) {
  return transport(code, record, sizeof(Record));
}

template <typename T>
T answer(T result) {
  if (result < 0) {
    zek_errno = static_cast<std::int32_t>(-result);
    return -1;
  }
  return result;
}

int refuse() {
  zek_errno = kEFAULT;
  return -1;
}

std::uint64_t address_of(const void* p) { return reinterpret_cast<std::uint64_t>(p); }

// ---- The routines ------------------------------------------------------------------------------------
int u_socketpair(int domain, int type, int protocol, int* sockets) {
  if (sockets == nullptr) return refuse();
  ZekSocketPairRecord r{domain, type, protocol, 0, address_of(sockets)};
  if (!call(IOCTL_ZEK_SOCKETPAIR_USER, &r)) return -1;
  return answer(r.Result);
}

std::int64_t u_socket(int domain, int type, int protocol) {
  ZekSocketRecord r{domain, type, 0, protocol, 0};
  if (!call(IOCTL_ZEK_SOCKET_USER, &r)) return -1;
  return answer(r.Result);
}

int address_call(std::uint32_t code, std::int64_t s, const void* address, int length) {
  if (address == nullptr || length < 1 || length > static_cast<int>(ZEK_SOCKADDR_MAX)) return refuse();
  ZekAddressRecord r{};
  r.Socket = static_cast<std::uint64_t>(s);
  std::memcpy(r.Address, address, static_cast<std::size_t>(length));
  r.Length = static_cast<std::uint32_t>(length);
  if (!call(code, &r)) return -1;
  return answer(r.Result);
}

int u_bind(std::int64_t s, const void* address, int length) {
  return address_call(IOCTL_ZEK_BIND_USER, s, address, length);
}
int u_connect(std::int64_t s, const void* address, int length) {
  return address_call(IOCTL_ZEK_CONNECT_USER, s, address, length);
}

int int_call(std::uint32_t code, std::int64_t s, int value) {
  ZekSocketIntRecord r{static_cast<std::uint64_t>(s), value, 0};
  if (!call(code, &r)) return -1;
  return answer(r.Result);
}

int u_listen(std::int64_t s, int backlog) { return int_call(IOCTL_ZEK_LISTEN_USER, s, backlog); }
int u_shutdown(std::int64_t s, int how) { return int_call(IOCTL_ZEK_SHUTDOWN_USER, s, how); }

std::int64_t u_accept(std::int64_t s, void* address, std::uint32_t* length) {
  ZekAcceptRecord r{};
  r.Socket = static_cast<std::uint64_t>(s);
  r.Length = address != nullptr && length != nullptr ? std::min<std::uint32_t>(*length, ZEK_SOCKADDR_AREA) : 0;
  if (!call(IOCTL_ZEK_ACCEPT_USER, &r)) return -1;
  if (r.Result >= 0 && address != nullptr && length != nullptr) {
    const std::uint32_t copied = std::min<std::uint32_t>(r.Length, *length);
    std::memcpy(address, r.Address, copied);
    *length = copied;
  }
  return answer(r.Result);
}

int name_call(std::uint32_t code, std::int64_t s, void* address, std::uint32_t* length) {
  if (address == nullptr || length == nullptr || *length == 0) return refuse();
  ZekNameRecord r{};
  r.Socket = static_cast<std::uint64_t>(s);
  r.Length = std::min<std::uint32_t>(*length, sizeof(r.Address));
  if (!call(code, &r)) return -1;
  if (r.Result >= 0) {
    const std::uint32_t copied = std::min<std::uint32_t>(r.Length, *length);
    std::memcpy(address, r.Address, copied);
    *length = copied;
  }
  return answer(r.Result);
}

int u_getsockname(std::int64_t s, void* address, std::uint32_t* length) {
  return name_call(IOCTL_ZEK_GETSOCKETNAME_USER, s, address, length);
}
int u_getpeername(std::int64_t s, void* address, std::uint32_t* length) {
  return name_call(IOCTL_ZEK_GETPEERNAME_USER, s, address, length);
}

int u_recv(std::int64_t s, void* buffer, int length, int flags) {
  if (buffer == nullptr || length <= 0) return refuse();
  ZekTransferRecord r{};
  r.Socket = static_cast<std::uint64_t>(s);
  r.Data = address_of(buffer);
  r.Length = length;
  r.Flags = flags;
  if (!call(IOCTL_ZEK_RECV_USER, &r)) return -1;
  // Inline data: only what arrived is the caller's.
  if (r.Result > 0 && static_cast<std::uint32_t>(length) <= ZEK_INLINE_DATA) {
    std::memcpy(buffer, r.Inline, static_cast<std::size_t>(std::min(r.Result, length)));
  }
  return answer(r.Result);
}

int u_send(std::int64_t s, const void* buffer, int length, int flags) {
  if (length < 0 || (buffer == nullptr && length > 0)) return refuse();
  ZekTransferRecord r{};
  r.Socket = static_cast<std::uint64_t>(s);
  r.Data = address_of(buffer);
  r.Length = length;
  r.Flags = flags;
  if (length > 0 && static_cast<std::uint32_t>(length) <= ZEK_INLINE_DATA) {
    std::memcpy(r.Inline, buffer, static_cast<std::size_t>(length));
  }
  if (!call(IOCTL_ZEK_SEND_USER, &r)) return -1;
  return answer(r.Result);
}

int u_recvfrom(std::int64_t s, void* buffer, int length, int flags, void* address, std::uint32_t* address_length) {
  if (buffer == nullptr || length <= 0) return refuse();
  ZekRecvFromRecord r{};
  r.Socket = static_cast<std::uint64_t>(s);
  r.Data = address_of(buffer);
  r.Length = length;
  r.Flags = flags;
  r.Address = address_of(address);
  r.AddressLength = address_of(address_length);
  if (!call(IOCTL_ZEK_RECVFROM_USER, &r)) return -1;
  return answer(r.Result);
}

int u_sendto(std::int64_t s, const void* buffer, int length, int flags, const void* address, int address_length) {
  if (length < 0 || (buffer == nullptr && length > 0)) return refuse();
  ZekSendToRecord r{};
  r.Socket = static_cast<std::uint64_t>(s);
  r.Address = address_of(address);
  r.Data = address_of(buffer);
  r.Length = length;
  r.Flags = flags;
  r.AddressLength = address_length;
  if (!call(IOCTL_ZEK_SENDTO_USER, &r)) return -1;
  return answer(r.Result);
}

int msg_call(std::uint32_t code, std::int64_t s, const ZekMsgHdr* message, int flags) {
  if (message == nullptr) return refuse();
  ZekMsgRecord r{static_cast<std::uint64_t>(s), address_of(message), flags, 0};
  if (!call(code, &r)) return -1;
  return answer(r.Result);
}

int u_recvmsg(std::int64_t s, ZekMsgHdr* message, int flags) {
  return msg_call(IOCTL_ZEK_RECVMSG_USER, s, message, flags);
}
int u_sendmsg(std::int64_t s, const ZekMsgHdr* message, int flags) {
  return msg_call(IOCTL_ZEK_SENDMSG_USER, s, message, flags);
}

int u_getsockopt(std::int64_t s, int level, int name, void* value, std::uint32_t* length) {
  if (value == nullptr || length == nullptr) return refuse();
  ZekOptionRecord r{};
  r.Socket = static_cast<std::uint64_t>(s);
  r.Level = level;
  r.Name = name;
  r.Length = std::min<std::uint32_t>(*length, ZEK_INLINE_OPTION);
  if (!call(IOCTL_ZEK_GETSOCKOPT_USER, &r)) return -1;
  if (r.Result >= 0) {
    const std::uint32_t copied = std::min<std::uint32_t>(r.Length, *length);
    std::memcpy(value, r.Value, copied);
    *length = copied;
  }
  return answer(r.Result);
}

int u_setsockopt(std::int64_t s, int level, int name, const void* value, int length) {
  if (length < 0 || length > static_cast<int>(ZEK_INLINE_OPTION) || (value == nullptr && length > 0)) return refuse();
  ZekOptionRecord r{};
  r.Socket = static_cast<std::uint64_t>(s);
  r.Level = level;
  r.Name = name;
  if (length > 0) std::memcpy(r.Value, value, static_cast<std::size_t>(length));
  r.Length = static_cast<std::uint32_t>(length);
  if (!call(IOCTL_ZEK_SETSOCKOPT_USER, &r)) return -1;
  return answer(r.Result);
}

std::uint32_t u_inet_addr(const char* text) { return ZekInetAddr(text); }

// Formatted in the caller's buffer (no buffer of the library's own).
int u_inet_ntoa(std::uint32_t address, char* text) {
  if (text == nullptr) return refuse();
  ZekInetNtoa(address, text);
  return 0;
}

int u_poll(ZekPollFd* entries, int count, int timeout_ms) {
  if (count < 0 || (entries == nullptr && count > 0)) return refuse();
  ZekPollRecord r{address_of(entries), count, timeout_ms, 0, 0};
  if (!call(IOCTL_ZEK_POLL_USER, &r)) return -1;
  return answer(r.Result);
}

int u_close(std::int64_t s) {
  ZekCloseRecord r{static_cast<std::uint64_t>(s), 0, 0};
  if (!call(IOCTL_ZEK_CLOSE_USER, &r)) return -1;
  return answer(r.Result);
}

int rw_call(std::uint32_t code, std::int64_t s, const void* buffer, int length) {
  if (buffer == nullptr || length < 0) return refuse();
  ZekReadWriteRecord r{static_cast<std::uint64_t>(s), address_of(buffer), length, 0};
  if (!call(code, &r)) return -1;
  return answer(r.Result);
}

int u_read(std::int64_t s, void* buffer, int length) {
  if (length == 0) return refuse();
  return rw_call(IOCTL_ZEK_READ_USER, s, buffer, length);
}
int u_write(std::int64_t s, const void* buffer, int length) { return rw_call(IOCTL_ZEK_WRITE_USER, s, buffer, length); }

int u_ioctl(std::int64_t s, std::uint32_t request, void* argument) {
  ZekIoctlCallRecord r{static_cast<std::uint64_t>(s), request, 0, address_of(argument), 0, 0};
  if (!call(IOCTL_ZEK_IOCTL_USER, &r)) return -1;
  return answer(r.Result);
}

int u_fcntl(std::int64_t s, int command, int argument) {
  ZekFcntlRecord r{static_cast<std::uint64_t>(s), command, argument, 0, 0};
  if (!call(IOCTL_ZEK_FCNTL_USER, &r)) return -1;
  return answer(r.Result);
}

int u_select(int count, std::uint8_t* read_set, std::uint8_t* write_set, std::uint8_t* except_set,
             const ZekTimeval* timeout) {
  ZekSelectRecord r{};
  r.Count = count;
  r.ReadSet = address_of(read_set);
  r.WriteSet = address_of(write_set);
  r.ExceptSet = address_of(except_set);
  r.Timeout = address_of(timeout);
  if (!call(IOCTL_ZEK_SELECT_USER, &r)) return -1;
  return answer(r.Result);
}

int u_dup(std::int64_t s) {
  ZekCloseRecord r{static_cast<std::uint64_t>(s), 0, 0};
  if (!call(IOCTL_ZEK_USER_DUP, &r)) return -1;
  return answer(r.Result);
}

int u_dup2(std::int64_t s, std::int64_t target) {
  ZekDup2Record r{static_cast<std::uint64_t>(s), static_cast<std::uint64_t>(target), 0, 0};
  if (!call(IOCTL_ZEK_USER_DUP2, &r)) return -1;
  return answer(r.Result);
}

constexpr ZekUserSocketTable kTable = {
    u_socketpair,  u_socket,     u_bind,       u_connect,   u_listen,    u_accept, u_getsockname,
    u_getpeername, u_recv,       u_recvfrom,   u_recvmsg,   u_send,      u_sendto, u_sendmsg,
    u_shutdown,    u_getsockopt, u_setsockopt, u_inet_addr, u_poll,      u_close,  u_read,
    u_write,       u_ioctl,      u_fcntl,      u_select,    u_inet_ntoa, u_dup,    u_dup2,
};

// Index n + 2 names slot n; the last two slots have no name.
constexpr const char* kNames[] = {
    "INIT_U_SOCKETS", "CLEANUP_U_SOCKETS", "SOCKETPAIR_USER", "SOCKET_USER",        "BIND_USER",
    "CONNECT_USER",   "LISTEN_USER",       "ACCEPT_USER",     "GETSOCKETNAME_USER", "GETPEERNAME_USER",
    "RECV_USER",      "RECVFROM_USER",     "RECVMSG_USER",    "SEND_USER",          "SENDTO_USER",
    "SENDMSG_USER",   "SHUTDOWN_USER",     "GETSOCKOPT_USER", "SETSOCKOPT_USER",    "INET_ADDR_USER",
    "POLL_USER",      "CLOSE_USER",        "READ_USER",       "WRITE_USER",         "IOCTL_USER",
    "FCNTL_USER",     "SELECT_USER",       "INET_NTOA_USER",
};
static_assert(sizeof(kNames) / sizeof(kNames[0]) == 28);

}  // namespace

// ---- Modules ----------------------------------------------------------------------------------------------
ZekStatus ZEK_Init_u_ZEK2Native() { return ZEK_STATUS_PASS; }
ZekStatus ZEK_Cleanup_u_ZEK2Native() { return ZEK_STATUS_PASS; }

ZekStatus ZEK_Init_u_sockets(const char* path) {
  std::lock_guard lock(g_module_lock);
  if (g_uses > 0) {
    ++g_uses;
    return ZEK_STATUS_PASS;
  }
  if (path == nullptr || std::strlen(path) >= kPathMax) return ZEK_STATUS_FAIL;
  (void)ZEK_RegisterFunctionNames(ZEK_SOCKETS_INTERFACE, kNames, sizeof(kNames) / sizeof(kNames[0]),
                                  ZEK_SOCKETS_NAME_SET);
  const ZekStatus status = ZEK_RegisterInterface(ZEK_SOCKETS_INTERFACE, &kTable, ZEK_SOCKETS_TABLE_NAME);
  if (status != ZEK_STATUS_PASS) {
    ZEK_DeregisterFunctionNames(ZEK_SOCKETS_INTERFACE);
    return status;
  }
  std::snprintf(g_path, sizeof(g_path), "%s", path);
  g_global = open_device(g_path);
  if (g_global == INVALID_HANDLE_VALUE) {
    std::printf("Unable to open file handle for zekproxy device\n");
    std::fflush(stdout);
    OSPrimMemoryLogging("ZEK_Init_u_sockets: Couldn't open global handle to zekproxy device\n");
    ZEK_DeregisterInterface(ZEK_SOCKETS_INTERFACE);
    ZEK_DeregisterFunctionNames(ZEK_SOCKETS_INTERFACE);
    return ZEK_STATUS_FAIL;
  }
  std::uint32_t zero = 0;
  DWORD returned = 0;
  if (!DeviceIoControl(g_global, IOCTL_ZEK_ALLOC_CLEANUP_CONTEXT, &zero, sizeof(zero), &zero, sizeof(zero), &returned,
                       nullptr)) {
    std::printf("ZEK_Init_u_sockets: IOCTL_ZEK_ALLOC_CLEANUP_CONTEXT failed, error %x\n",
                static_cast<unsigned>(GetLastError()));
    std::fflush(stdout);
  }
  g_generation.fetch_add(1, std::memory_order_acq_rel);
  g_uses = 1;
  return ZEK_STATUS_PASS;
}

ZekStatus ZEK_Cleanup_u_sockets() {
  std::lock_guard lock(g_module_lock);
  if (g_uses == 0) return ZEK_STATUS_PASS;
  if (--g_uses > 0) return ZEK_STATUS_PASS;
  g_generation.fetch_add(1, std::memory_order_acq_rel);
  t_handle.drop();
  if (g_global != INVALID_HANDLE_VALUE) CloseHandle(g_global);
  g_global = INVALID_HANDLE_VALUE;
  ZEK_DeregisterInterface(ZEK_SOCKETS_INTERFACE);
  ZEK_DeregisterFunctionNames(ZEK_SOCKETS_INTERFACE);
  return ZEK_STATUS_PASS;
}

// ---- Library entry -----------------------------------------------------------------------------------
ZekStatus ZEK_InitLib_Sockets(ZekSocketsInitParams* params, std::uint32_t cookie) {
  if (cookie != ZEK_ABI_COOKIE || params == nullptr) return ZEK_STATUS_FAIL;
  if (params->Hint == 0) params->Hint = ZEK_BASE_DEFAULT_HINT;
  struct Step {
    const char* failure;
    ZekStatus (*cleanup)();
  };
  const Step steps[] = {
      {"ZEK_Init_c_osprims failed withe the error '%s'\n", &ZEK_Cleanup_c_osprims},
      {"ZEK_Init_c_err_msgs failed withe the error '%s'\n", &ZEK_Cleanup_c_err_msgs},
      {"ZEK_Init_c_if_mngr failed withe the error '%s'\n", &ZEK_Cleanup_c_if_mngr},
      {"ZEK_Init_u_ZEK2Native failed withe the error '%s'\n", &ZEK_Cleanup_u_ZEK2Native},
      {"ZEK_Init_u_sockets failed with the error '%s'\n", &ZEK_Cleanup_u_sockets},
  };
  const char* path = params->Mode != 0 ? ZEK_SOCKETS_ALTERNATIVE_DEVICE : ZEK_SOCKETS_DEVICE;
  for (int i = 0; i < 5; ++i) {
    ZekStatus status = ZEK_STATUS_PASS;
    switch (i) {
      case 0:
        status = ZEK_Init_c_osprims(params->Hint);
        break;
      case 1:
        status = ZEK_Init_c_err_msgs();
        break;
      case 2:
        status = ZEK_Init_c_if_mngr();
        break;
      case 3:
        status = ZEK_Init_u_ZEK2Native();
        break;
      default:
        status = ZEK_Init_u_sockets(path);
        break;
    }
    if (status != ZEK_STATUS_PASS) {
      OSPrimDebugPrint(steps[i].failure, ZEK_GetErrorMessage(status));
      for (int j = i - 1; j >= 0; --j) steps[j].cleanup();
      return status;
    }
  }
  return ZEK_STATUS_PASS;
}

ZekStatus ZEK_CleanupLib_Sockets() {
  for (ZekStatus (*cleanup)() : {&ZEK_Cleanup_u_ZEK2Native, &ZEK_Cleanup_u_sockets, &ZEK_Cleanup_c_if_mngr,
                                 &ZEK_Cleanup_c_err_msgs, &ZEK_Cleanup_c_osprims}) {
    const ZekStatus status = cleanup();
    if (status != ZEK_STATUS_PASS) return status;
  }
  return ZEK_STATUS_PASS;
}
