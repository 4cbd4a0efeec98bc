// The event log: one line per event in the host's "eventlog.txt".
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/advapi/advapi.h"
#include "platform/common/hostdir.h"
#include "platform/common/text.h"

namespace {

struct Source {
  std::string name;
  std::string host;
};

std::mutex& sources_mu() {
  static auto* mu = new std::mutex;
  return *mu;
}

std::set<Source*>& sources() {
  static auto* s = new std::set<Source*>;
  return *s;
}

bool local_machine(const std::string& server) {
  if (server.empty() || server == "." || server == "\\\\.") return true;
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  std::string bare = server.starts_with("\\\\") ? server.substr(2) : server;
  return bare == name || bare == "localhost";
}

const char* type_name(WORD type) {
  switch (type) {
    case EVENTLOG_SUCCESS:
      return "success";
    case EVENTLOG_ERROR_TYPE:
      return "error";
    case EVENTLOG_WARNING_TYPE:
      return "warning";
    case EVENTLOG_INFORMATION_TYPE:
      return "information";
    case EVENTLOG_AUDIT_SUCCESS:
      return "audit-success";
    case EVENTLOG_AUDIT_FAILURE:
      return "audit-failure";
    default:
      return nullptr;
  }
}

// Control characters and the separator are escaped, so one event stays one line.
std::string escaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\' || c == '|') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (u < 0x20 || u == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", u);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

HANDLE register_source(const std::string& server, const std::string& name) {
  if (!local_machine(server)) {
    SetLastError(RPC_S_SERVER_UNAVAILABLE);
    return nullptr;
  }
  auto* source = new Source{name, plat::host_directory()};
  std::lock_guard lock(sources_mu());
  sources().insert(source);
  return source;
}

Source* source_of(HANDLE handle) {
  std::lock_guard lock(sources_mu());
  auto* source = static_cast<Source*>(handle);
  return sources().count(source) != 0 ? source : nullptr;
}

BOOL report(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, const std::vector<std::string>& strings,
            DWORD dwDataSize, LPVOID lpRawData) {
  Source* source = source_of(hEventLog);
  if (source == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const char* kind = type_name(wType);
  if (kind == nullptr || (dwDataSize != 0 && lpRawData == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &utc);
  char head[256];
  std::snprintf(head, sizeof head, "%s %s %s pid %d event %u category %u:", stamp, kind, escaped(source->name).c_str(),
                static_cast<int>(getpid()), static_cast<unsigned>(dwEventID), static_cast<unsigned>(wCategory));
  std::string line = head;
  for (std::size_t i = 0; i < strings.size(); ++i) line += (i == 0 ? " " : " | ") + escaped(strings[i]);
  if (dwDataSize != 0) {
    line += " data=";
    const auto* bytes = static_cast<const unsigned char*>(lpRawData);
    for (DWORD i = 0; i < dwDataSize; ++i) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
      if (i != 0) line += ',';
      line += hex;
    }
  }
  line += '\n';
  // One write with O_APPEND: lines of several processes never mix.
  const int fd = source->host.empty() ? STDERR_FILENO
                                      : ::open((source->host + "/eventlog.txt").c_str(),
                                               O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  const ssize_t n = ::write(fd, line.data(), line.size());
  if (fd != STDERR_FILENO) ::close(fd);
  if (n != static_cast<ssize_t>(line.size())) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  return TRUE;
}

}  // namespace

HANDLE RegisterEventSourceA(LPCSTR lpUNCServerName, LPCSTR lpSourceName) {
  if (lpSourceName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return register_source(lpUNCServerName != nullptr ? lpUNCServerName : "", lpSourceName);
}

HANDLE RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName) {
  if (lpSourceName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return register_source(lpUNCServerName != nullptr ? plat::to_utf8(lpUNCServerName) : "", plat::to_utf8(lpSourceName));
}

BOOL DeregisterEventSource(HANDLE hEventLog) {
  std::lock_guard lock(sources_mu());
  auto* source = static_cast<Source*>(hEventLog);
  if (sources().erase(source) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  delete source;
  return TRUE;
}

BOOL ReportEventA(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID, WORD wNumStrings,
                  DWORD dwDataSize, LPCSTR* lpStrings, LPVOID lpRawData) {
  if (wNumStrings != 0 && lpStrings == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<std::string> strings;
  for (WORD i = 0; i < wNumStrings; ++i) strings.emplace_back(lpStrings[i] != nullptr ? lpStrings[i] : "");
  return report(hEventLog, wType, wCategory, dwEventID, strings, dwDataSize, lpRawData);
}

BOOL ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID, WORD wNumStrings,
                  DWORD dwDataSize, LPCWSTR* lpStrings, LPVOID lpRawData) {
  if (wNumStrings != 0 && lpStrings == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<std::string> strings;
  for (WORD i = 0; i < wNumStrings; ++i) strings.push_back(lpStrings[i] != nullptr ? plat::to_utf8(lpStrings[i]) : "");
  return report(hEventLog, wType, wCategory, dwEventID, strings, dwDataSize, lpRawData);
}
