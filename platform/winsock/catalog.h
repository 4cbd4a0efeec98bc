// The WinSock provider catalog of a host: the built-in native entries and
// the entries that WSCInstallProvider added, kept in "catalog.txt" of the
// host directory (in the process when there is no host).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/winsock/ws2spi.h"

namespace plat::ws {

struct CatalogEntry {
  WSAPROTOCOL_INFOW info;
  std::u16string path;  // the provider's library; empty for the built-in entries
};

inline constexpr DWORD kTcpEntry = 1001;
inline constexpr DWORD kUdpEntry = 1002;

std::vector<CatalogEntry> catalog_entries();
std::optional<CatalogEntry> catalog_entry(DWORD id);
// The first entry that a provider installed.
std::optional<CatalogEntry> catalog_provider(const GUID& id);

// The catalog's text and back (for tests and the host).
std::string format_catalog(const std::vector<CatalogEntry>& installed, DWORD next_id);
bool parse_catalog(const std::string& text, std::vector<CatalogEntry>* installed, DWORD* next_id, std::string* error);

std::string guid_text(const GUID& id);  // {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}, lower case
bool parse_guid(const std::string& text, GUID* id);

}  // namespace plat::ws
