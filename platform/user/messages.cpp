// FormatMessage: the texts of the system's error codes.
#include <algorithm>
#include <cstring>
#include <string>

#include "platform/user/runtime.h"

namespace {

struct Text {
  DWORD code;
  const char* text;
};

// One line per code the platform reports, in the system's manner: a
// sentence ending in a line break.
constexpr Text kTexts[] = {
    {0, "The operation completed successfully."},
    {1, "The function is not valid for this object."},
    {2, "The file or object was not found."},
    {3, "The path was not found."},
    {5, "Access is denied."},
    {6, "The handle is not valid."},
    {8, "There is not enough memory for this operation."},
    {13, "The data is not valid."},
    {21, "The device is not ready."},
    {31, "A device attached to the system is not working."},
    {50, "The request is not supported."},
    {87, "A parameter is not valid."},
    {111, "The buffer is too small for the data."},
    {122, "The data area passed to the call is too small."},
    {123, "The name is not valid."},
    {126, "The module was not found."},
    {127, "The procedure was not found."},
    {183, "An object of that name already exists."},
    {206, "The name is too long."},
    {232, "There is no data to return."},
    {234, "More data is available."},
    {259, "No more items are available."},
    {288, "The caller does not own the mutex."},
    {298, "Too many posts were made to a semaphore."},
    {995, "The I/O operation was aborted."},
    {996, "The overlapped I/O operation has not completed."},
    {997, "The overlapped I/O operation is in progress."},
    {1018, "The registry key was deleted."},
    {1052, "The service does not accept this control."},
    {1053, "The service did not answer the request in time."},
    {1056, "The service is already running."},
    {1058, "The service is disabled."},
    {1060, "The service does not exist."},
    {1061, "The service cannot accept controls now."},
    {1062, "The service has not been started."},
    {1063, "The process is not running as a service."},
    {1072, "The service has been marked for deletion."},
    {1073, "The service already exists."},
    {1078, "The display name is already used by another service."},
    {1114, "The library's initialisation routine failed."},
    {1225, "The remote host refused the connection."},
    {1305, "The revision level is unknown."},
    {1332, "An account name could not be mapped to a security identifier."},
    {10004, "A blocking call was interrupted."},
    {10009, "The file handle is not valid."},
    {10013, "Access to the socket was refused."},
    {10014, "A pointer argument is not valid."},
    {10022, "An argument is not valid."},
    {10024, "Too many sockets are open."},
    {10035, "The operation would block."},
    {10036, "A blocking operation is in progress."},
    {10037, "An operation is already in progress on the socket."},
    {10038, "The handle is not a socket."},
    {10039, "A destination address is required."},
    {10040, "The message is larger than the buffer."},
    {10041, "The protocol does not suit the socket type."},
    {10042, "The option is not known or not supported."},
    {10043, "The protocol is not supported."},
    {10044, "The socket type is not supported."},
    {10045, "The operation is not supported on this socket."},
    {10047, "The address family is not supported."},
    {10048, "The address is already in use."},
    {10049, "The address is not valid in this context."},
    {10050, "The network is down."},
    {10051, "The network cannot be reached."},
    {10053, "The connection was aborted by this host."},
    {10054, "The connection was reset by the remote host."},
    {10055, "No buffer space is available."},
    {10056, "The socket is already connected."},
    {10057, "The socket is not connected."},
    {10058, "The socket has been shut down."},
    {10060, "The connection attempt timed out."},
    {10061, "The remote host refused the connection."},
    {10065, "The host cannot be reached."},
    {10091, "The network subsystem is not ready."},
    {10092, "The requested WinSock version is not supported."},
    {10093, "WSAStartup has not been called."},
    {10101, "The remote side closed the connection gracefully."},
    {10104, "The service provider could not be loaded or initialised."},
    {11001, "The host is not known."},
};

const char* text_of(DWORD code) {
  for (const auto& t : kTexts) {
    if (t.code == code) return t.text;
  }
  return nullptr;
}

}  // namespace

DWORD FormatMessageA(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD, LPSTR lpBuffer, DWORD nSize, va_list*) {
  if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || lpBuffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);  // only the system's own texts are known here
    return 0;
  }
  const char* text = text_of(dwMessageId);
  if (text == nullptr) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  const std::string line = std::string(text) + "\r\n";
  const DWORD length = static_cast<DWORD>(line.size());
  if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    auto* block = static_cast<LPSTR>(LocalAlloc(LMEM_FIXED, std::max<DWORD>(length + 1, nSize)));
    if (block == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    std::memcpy(block, line.c_str(), length + 1);
    *reinterpret_cast<LPSTR*>(lpBuffer) = block;
    return length;
  }
  if (nSize < length + 1) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpBuffer, line.c_str(), length + 1);
  return length;
}
