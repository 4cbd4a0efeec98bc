// The provider catalog and the WSC* routines.
#include "platform/winsock/catalog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/common/hostdir.h"
#include "platform/common/sharedfile.h"
#include "platform/common/text.h"
#include "platform/winsock/internal.h"

namespace plat::ws {
namespace {

constexpr DWORD kFirstInstalledId = 1003;
// The built-in provider's id.
constexpr GUID kNativeProvider = {0x7a656b00, 0x5753, 0x4e41, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};

WSAPROTOCOL_INFOW built_in(DWORD id, int type, int protocol, DWORD flags, DWORD message_size,
                           std::u16string_view name) {
  WSAPROTOCOL_INFOW info{};
  info.dwServiceFlags1 = flags;
  info.ProviderId = kNativeProvider;
  info.dwCatalogEntryId = id;
  info.ProtocolChain.ChainLen = BASE_PROTOCOL;
  info.iVersion = 2;
  info.iAddressFamily = AF_INET;
  info.iMaxSockAddr = 16;
  info.iMinSockAddr = 16;
  info.iSocketType = type;
  info.iProtocol = protocol;
  info.iNetworkByteOrder = 0;
  info.dwMessageSize = message_size;
  name.copy(reinterpret_cast<char16_t*>(info.szProtocol), WSAPROTOCOL_LEN);
  return info;
}

std::vector<CatalogEntry> built_ins() {
  return {
      {built_in(
           kTcpEntry, SOCK_STREAM, IPPROTO_TCP,
           XP1_GUARANTEED_DELIVERY | XP1_GUARANTEED_ORDER | XP1_GRACEFUL_CLOSE | XP1_EXPEDITED_DATA | XP1_IFS_HANDLES,
           0, u"Native TCP/IP"),
       {}},
      {built_in(kUdpEntry, SOCK_DGRAM, IPPROTO_UDP,
                XP1_CONNECTIONLESS | XP1_MESSAGE_ORIENTED | XP1_SUPPORT_BROADCAST | XP1_IFS_HANDLES, 65507,
                u"Native UDP/IP"),
       {}},
  };
}

// The entries installed in this process, when it has no host.
struct Local {
  std::mutex mu;
  std::vector<CatalogEntry> installed;
  DWORD next = kFirstInstalledId;
};

Local& local() {
  static auto* l = new Local;
  return *l;
}

std::unique_ptr<SharedFile> host_catalog() {
  const std::string file = host_file("catalog.txt");
  if (file.empty()) return nullptr;
  return std::make_unique<SharedFile>(file);
}

// Reads the installed entries; a spoiled file reads as none.
void read_installed(std::vector<CatalogEntry>* installed, DWORD* next) {
  installed->clear();
  *next = kFirstInstalledId;
  if (auto file = host_catalog()) {
    std::string text, error;
    if (!file->read(&text) || !parse_catalog(text, installed, next, &error)) installed->clear();
    return;
  }
  std::lock_guard lock(local().mu);
  *installed = local().installed;
  *next = local().next;
}

// Changes the installed entries in one step; change answers whether to keep the change.
bool change_installed(const std::function<bool(std::vector<CatalogEntry>&, DWORD&)>& change) {
  if (auto file = host_catalog()) {
    bool changed = false;
    const bool written = file->update([&](std::string& text) {
      std::vector<CatalogEntry> installed;
      DWORD next = kFirstInstalledId;
      std::string error;
      if (!parse_catalog(text, &installed, &next, &error)) installed.clear();
      changed = change(installed, next);
      if (changed) text = format_catalog(installed, next);
      return changed;
    });
    return changed && written;
  }
  std::lock_guard lock(local().mu);
  return change(local().installed, local().next);
}

std::string escape(std::u16string_view name) {
  std::string out;
  for (char c : to_utf8(name)) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\' || u < 0x20 || u == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", u);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

std::u16string unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
      out += static_cast<char>(std::strtoul(std::string(text.substr(i + 2, 2)).c_str(), nullptr, 16));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return to_u16(out);
}

std::u16string name_of(const WSAPROTOCOL_INFOW& info) {
  std::u16string name;
  for (int i = 0; i <= WSAPROTOCOL_LEN && info.szProtocol[i] != 0; ++i) name.push_back(info.szProtocol[i]);
  return name;
}

std::string trim(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\t')) text.remove_suffix(1);
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  return std::string(text);
}

// The fields of an entry line: "key=value" pairs, the name last.
bool parse_entry(std::string_view text, WSAPROTOCOL_INFOW* info) {
  const auto name_at = text.find(" name=");
  if (name_at == std::string_view::npos) return false;
  const std::u16string name = unescape(text.substr(name_at + 6));
  if (name.size() > WSAPROTOCOL_LEN) return false;
  name.copy(reinterpret_cast<char16_t*>(info->szProtocol), WSAPROTOCOL_LEN);
  std::string fields(text.substr(0, name_at));
  struct Field {
    const char* key;
    void* target;
    bool is_int;
  };
  std::string chain;
  const Field table[] = {
      {"flags1", &info->dwServiceFlags1, false},
      {"flags2", &info->dwServiceFlags2, false},
      {"flags3", &info->dwServiceFlags3, false},
      {"flags4", &info->dwServiceFlags4, false},
      {"provider_flags", &info->dwProviderFlags, false},
      {"version", &info->iVersion, true},
      {"family", &info->iAddressFamily, true},
      {"maxaddr", &info->iMaxSockAddr, true},
      {"minaddr", &info->iMinSockAddr, true},
      {"type", &info->iSocketType, true},
      {"protocol", &info->iProtocol, true},
      {"maxoffset", &info->iProtocolMaxOffset, true},
      {"order", &info->iNetworkByteOrder, true},
      {"security", &info->iSecurityScheme, true},
      {"message", &info->dwMessageSize, false},
      {"reserved", &info->dwProviderReserved, false},
  };
  std::size_t seen = 0;
  std::size_t start = 0;
  while (start < fields.size()) {
    auto end = fields.find(' ', start);
    if (end == std::string::npos) end = fields.size();
    const std::string pair = fields.substr(start, end - start);
    start = end + 1;
    if (pair.empty()) continue;
    const auto equals = pair.find('=');
    if (equals == std::string::npos) return false;
    const std::string key = pair.substr(0, equals);
    const std::string value = pair.substr(equals + 1);
    if (key == "chain") {
      chain = value;
      continue;
    }
    bool known = false;
    for (const auto& f : table) {
      if (key != f.key) continue;
      char* stop = nullptr;
      const long long v = std::strtoll(value.c_str(), &stop, 0);
      if (stop == value.c_str() || *stop != '\0') return false;
      const auto v32 = static_cast<std::uint32_t>(v);
      std::memcpy(f.target, &v32, 4);
      known = true;
      ++seen;
    }
    if (!known) return false;
  }
  // The chain: "N" or "N:e1,e2,...".
  if (!chain.empty()) {
    char* stop = nullptr;
    info->ProtocolChain.ChainLen = static_cast<int>(std::strtol(chain.c_str(), &stop, 10));
    if (info->ProtocolChain.ChainLen < 0 || info->ProtocolChain.ChainLen > MAX_PROTOCOL_CHAIN) return false;
    int i = 0;
    while (*stop == ':' || *stop == ',') {
      if (i >= MAX_PROTOCOL_CHAIN) return false;
      info->ProtocolChain.ChainEntries[i++] = static_cast<DWORD>(std::strtoul(stop + 1, &stop, 10));
    }
  }
  return seen == std::size(table);
}

std::string format_entry(const WSAPROTOCOL_INFOW& i) {
  char text[512];
  std::snprintf(text, sizeof text,
                "flags1=0x%x flags2=0x%x flags3=0x%x flags4=0x%x provider_flags=0x%x version=%d family=0x%x "
                "maxaddr=%d minaddr=%d type=0x%x protocol=0x%x maxoffset=%d order=%d security=%d message=0x%x "
                "reserved=0x%x chain=%d",
                i.dwServiceFlags1, i.dwServiceFlags2, i.dwServiceFlags3, i.dwServiceFlags4, i.dwProviderFlags,
                i.iVersion, static_cast<unsigned>(i.iAddressFamily), i.iMaxSockAddr, i.iMinSockAddr,
                static_cast<unsigned>(i.iSocketType), static_cast<unsigned>(i.iProtocol), i.iProtocolMaxOffset,
                i.iNetworkByteOrder, i.iSecurityScheme, i.dwMessageSize, i.dwProviderReserved,
                i.ProtocolChain.ChainLen);
  std::string out = text;
  const int n = std::min(std::max(i.ProtocolChain.ChainLen, 0), MAX_PROTOCOL_CHAIN);
  for (int k = 0; k < n; ++k) out += (k == 0 ? ":" : ",") + std::to_string(i.ProtocolChain.ChainEntries[k]);
  return out + " name=" + escape(name_of(i));
}

}  // namespace

std::string guid_text(const GUID& id) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", id.Data1, id.Data2, id.Data3,
                id.Data4[0], id.Data4[1], id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
  return text;
}

bool parse_guid(const std::string& text, GUID* id) {
  unsigned d1, d2, d3, b[8];
  char close = 0;
  if (text.size() != 38 ||
      std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%c", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3],
                  &b[4], &b[5], &b[6], &b[7], &close) != 12 ||
      close != '}') {
    return false;
  }
  id->Data1 = d1;
  id->Data2 = static_cast<std::uint16_t>(d2);
  id->Data3 = static_cast<std::uint16_t>(d3);
  for (int i = 0; i < 8; ++i) id->Data4[i] = static_cast<std::uint8_t>(b[i]);
  return true;
}

std::string format_catalog(const std::vector<CatalogEntry>& installed, DWORD next_id) {
  std::string out =
      "; The WinSock provider catalog of this host (WSCInstallProvider).\nnext = " + std::to_string(next_id) + "\n";
  const GUID* last = nullptr;
  for (const auto& e : installed) {
    if (last == nullptr || !(*last == e.info.ProviderId)) {
      out += "\n[provider " + guid_text(e.info.ProviderId) + "]\npath = " + escape(e.path) + "\n";
      last = &e.info.ProviderId;
    }
    out += "entry " + std::to_string(e.info.dwCatalogEntryId) + " = " + format_entry(e.info) + "\n";
  }
  return out;
}

bool parse_catalog(const std::string& text, std::vector<CatalogEntry>* installed, DWORD* next_id, std::string* error) {
  installed->clear();
  *next_id = kFirstInstalledId;
  GUID provider{};
  std::u16string path;
  bool in_provider = false;
  int number = 0;
  std::size_t start = 0;
  auto bad = [&](const char* what) {
    *error = "line " + std::to_string(number) + ": " + what;
    return false;
  };
  while (start < text.size()) {
    const auto end = text.find('\n', start);
    const std::string line =
        trim(std::string_view(text).substr(start, end == std::string::npos ? std::string::npos : end - start));
    start = end == std::string::npos ? text.size() : end + 1;
    ++number;
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.starts_with("[provider ") && line.back() == ']') {
      if (!parse_guid(line.substr(10, line.size() - 11), &provider)) return bad("a provider is [provider {GUID}]");
      in_provider = true;
      path.clear();
      continue;
    }
    const auto equals = line.find('=');
    if (equals == std::string::npos) return bad("expected key = value");
    const std::string key = trim(std::string_view(line).substr(0, equals));
    const std::string value = trim(std::string_view(line).substr(equals + 1));
    if (key == "next") {
      *next_id = static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 10));
    } else if (key == "path" && in_provider) {
      path = unescape(value);
    } else if (key.starts_with("entry ") && in_provider) {
      CatalogEntry entry{};
      if (!parse_entry(value, &entry.info)) return bad("an entry's fields do not read");
      entry.info.ProviderId = provider;
      entry.info.dwCatalogEntryId = static_cast<DWORD>(std::strtoul(key.c_str() + 6, nullptr, 10));
      entry.path = path;
      installed->push_back(entry);
    } else {
      return bad("unknown entry");
    }
  }
  return true;
}

std::vector<CatalogEntry> catalog_entries() {
  std::vector<CatalogEntry> all = built_ins();
  std::vector<CatalogEntry> installed;
  DWORD next;
  read_installed(&installed, &next);
  all.insert(all.end(), installed.begin(), installed.end());
  return all;
}

std::optional<CatalogEntry> catalog_entry(DWORD id) {
  for (auto& e : catalog_entries()) {
    if (e.info.dwCatalogEntryId == id) return e;
  }
  return std::nullopt;
}

std::optional<CatalogEntry> catalog_provider(const GUID& id) {
  for (auto& e : catalog_entries()) {
    if (e.info.ProviderId == id) return e;
  }
  return std::nullopt;
}

}  // namespace plat::ws

using namespace plat::ws;

namespace {

int fail(LPINT lpErrno, int error) {
  if (lpErrno != nullptr) *lpErrno = error;
  return SOCKET_ERROR;
}

int enumerate(LPINT lpiProtocols, LPWSAPROTOCOL_INFOW buffer, LPDWORD length, bool hidden, int* error) {
  if (length == nullptr) {
    *error = WSAEFAULT;
    return SOCKET_ERROR;
  }
  std::vector<WSAPROTOCOL_INFOW> chosen;
  for (const auto& e : catalog_entries()) {
    if (!hidden && (e.info.dwProviderFlags & PFL_HIDDEN)) continue;
    if (lpiProtocols != nullptr) {
      bool wanted = false;
      for (const int* p = lpiProtocols; *p != 0; ++p) wanted = wanted || *p == e.info.iProtocol;
      if (!wanted) continue;
    }
    chosen.push_back(e.info);
  }
  const DWORD needed = static_cast<DWORD>(chosen.size() * sizeof(WSAPROTOCOL_INFOW));
  if (buffer == nullptr || *length < needed) {
    *length = needed;
    *error = WSAENOBUFS;
    return SOCKET_ERROR;
  }
  std::memcpy(buffer, chosen.data(), needed);
  *length = needed;
  return static_cast<int>(chosen.size());
}

}  // namespace

int WSCInstallProvider(LPGUID lpProviderId, const WCHAR* lpszProviderDllPath,
                       const WSAPROTOCOL_INFOW* lpProtocolInfoList, DWORD dwNumberOfEntries, LPINT lpErrno) {
  if (lpProviderId == nullptr || lpszProviderDllPath == nullptr || lpProtocolInfoList == nullptr) {
    return fail(lpErrno, WSAEFAULT);
  }
  if (dwNumberOfEntries == 0 || *lpszProviderDllPath == 0) return fail(lpErrno, WSAEINVAL);
  const GUID id = *lpProviderId;
  const std::u16string path(reinterpret_cast<const char16_t*>(lpszProviderDllPath));
  bool duplicate = false;
  const bool done = change_installed([&](std::vector<CatalogEntry>& installed, DWORD& next) {
    for (const auto& e : installed) duplicate = duplicate || e.info.ProviderId == id;
    if (duplicate) return false;
    for (DWORD i = 0; i < dwNumberOfEntries; ++i) {
      CatalogEntry entry{lpProtocolInfoList[i], path};
      entry.info.ProviderId = id;
      entry.info.dwCatalogEntryId = next++;
      installed.push_back(entry);
    }
    return true;
  });
  if (duplicate) return fail(lpErrno, WSAEINVAL);  // an id may be installed once
  if (!done) return fail(lpErrno, WSANO_RECOVERY);
  if (lpErrno != nullptr) *lpErrno = 0;
  return 0;
}

int WSCDeinstallProvider(LPGUID lpProviderId, LPINT lpErrno) {
  if (lpProviderId == nullptr) return fail(lpErrno, WSAEFAULT);
  const GUID id = *lpProviderId;
  const bool done = change_installed([&](std::vector<CatalogEntry>& installed, DWORD&) {
    const auto before = installed.size();
    std::erase_if(installed, [&](const CatalogEntry& e) { return e.info.ProviderId == id; });
    return installed.size() != before;
  });
  if (!done) return fail(lpErrno, WSAEINVAL);  // not installed
  if (lpErrno != nullptr) *lpErrno = 0;
  return 0;
}

int WSCEnumProtocols(LPINT lpiProtocols, LPWSAPROTOCOL_INFOW lpProtocolBuffer, LPDWORD lpdwBufferLength,
                     LPINT lpErrno) {
  int error = 0;
  const int n = enumerate(lpiProtocols, lpProtocolBuffer, lpdwBufferLength, true, &error);
  if (n == SOCKET_ERROR) return fail(lpErrno, error);
  return n;
}

int WSAEnumProtocolsW(LPINT lpiProtocols, LPWSAPROTOCOL_INFOW lpProtocolBuffer, LPDWORD lpdwBufferLength) {
  if (!started()) {
    WSASetLastError(WSANOTINITIALISED);
    return SOCKET_ERROR;
  }
  int error = 0;
  const int n = enumerate(lpiProtocols, lpProtocolBuffer, lpdwBufferLength, false, &error);
  if (n == SOCKET_ERROR) WSASetLastError(error);
  return n;
}

int WSCGetProviderPath(LPGUID lpProviderId, WCHAR* lpszProviderDllPath, LPINT lpProviderDllPathLen, LPINT lpErrno) {
  if (lpProviderId == nullptr || lpProviderDllPathLen == nullptr) return fail(lpErrno, WSAEFAULT);
  auto entry = catalog_provider(*lpProviderId);
  if (!entry || entry->path.empty()) return fail(lpErrno, WSAEINVAL);
  const int needed = static_cast<int>(entry->path.size() + 1);
  if (lpszProviderDllPath == nullptr || *lpProviderDllPathLen < needed) {
    *lpProviderDllPathLen = needed;
    return fail(lpErrno, WSAEFAULT);
  }
  std::memcpy(lpszProviderDllPath, entry->path.c_str(), needed * sizeof(WCHAR));
  *lpProviderDllPathLen = needed;
  if (lpErrno != nullptr) *lpErrno = 0;
  return 0;
}
