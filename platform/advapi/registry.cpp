// The Reg* routines over the host's registry store.
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/advapi/advapi.h"
#include "platform/advapi/hostregistry.h"
#include "platform/common/text.h"

namespace plat::advapi {
namespace {

struct OpenKey {
  std::string host;  // the host directory the key belongs to
  std::u16string path;
  REGSAM access;
};

struct KeyTable {
  std::mutex mu;
  std::map<ULONG_PTR, OpenKey> keys;
  ULONG_PTR next = 0x100;
};

KeyTable& key_table() {
  static auto* table = new KeyTable;
  return *table;
}

constexpr REGSAM kAllKeyRights = 0x3F;

REGSAM granted(REGSAM desired) {
  REGSAM rights = desired & kAllKeyRights;
  if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) rights |= kAllKeyRights;
  if (desired & GENERIC_READ) rights |= KEY_READ & kAllKeyRights;
  if (desired & GENERIC_WRITE) rights |= KEY_WRITE & kAllKeyRights;
  if (desired & GENERIC_EXECUTE) rights |= KEY_EXECUTE & kAllKeyRights;
  return rights;
}

const char16_t* root_path(HKEY key) {
  switch (reinterpret_cast<ULONG_PTR>(key)) {
    case 0x80000000:
      return u"\\Registry\\Machine\\Software\\Classes";
    case 0x80000001:
      return u"\\Registry\\User\\.Default";
    case 0x80000002:
      return u"\\Registry\\Machine";
    case 0x80000003:
      return u"\\Registry\\User";
    default:
      return nullptr;
  }
}

bool is_root(HKEY key) { return root_path(key) != nullptr; }

// The key a handle stands for; ERROR_INVALID_HANDLE for a bad handle.
LSTATUS lookup(HKEY key, OpenKey* out) {
  if (const char16_t* root = root_path(key)) {
    *out = OpenKey{host_directory(), root, kAllKeyRights};
    return ERROR_SUCCESS;
  }
  auto& table = key_table();
  std::lock_guard lock(table.mu);
  auto it = table.keys.find(reinterpret_cast<ULONG_PTR>(key));
  if (it == table.keys.end()) return ERROR_INVALID_HANDLE;
  *out = it->second;
  return ERROR_SUCCESS;
}

HKEY insert(OpenKey key) {
  auto& table = key_table();
  std::lock_guard lock(table.mu);
  const ULONG_PTR value = table.next;
  table.next += 4;
  table.keys.emplace(value, std::move(key));
  return reinterpret_cast<HKEY>(value);
}

bool has_control(std::u16string_view text) {
  for (char16_t c : text) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// The full path of a subkey; an error for a name Windows refuses.
LSTATUS subkey_path(const OpenKey& base, std::u16string_view sub, std::u16string* out) {
  if (!sub.empty() && sub.front() == u'\\') return ERROR_BAD_PATHNAME;
  if (has_control(sub)) return ERROR_INVALID_PARAMETER;
  while (!sub.empty() && sub.back() == u'\\') sub.remove_suffix(1);
  *out = sub.empty() ? base.path : base.path + u"\\" + std::u16string(sub);
  return ERROR_SUCCESS;
}

// A handle's key, checked for existence and for the rights an operation needs.
LSTATUS usable(HKEY key, REGSAM needed, OpenKey* out) {
  if (LSTATUS error = lookup(key, out); error != ERROR_SUCCESS) return error;
  if ((out->access & needed) != needed) return ERROR_ACCESS_DENIED;
  if (!is_root(key) && !store_for(out->host).key_exists(out->path)) return ERROR_KEY_DELETED;
  return ERROR_SUCCESS;
}

bool is_text(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::u16string u16_of_bytes(const std::vector<std::byte>& data) {
  std::u16string text(data.size() / 2, u'\0');
  std::memcpy(text.data(), data.data(), text.size() * 2);
  return text;
}

std::vector<std::byte> bytes_of_u16(std::u16string_view text) {
  std::vector<std::byte> data(text.size() * 2);
  std::memcpy(data.data(), text.data(), data.size());
  return data;
}

LSTATUS open_key(HKEY hKey, std::u16string_view sub, REGSAM samDesired, PHKEY phkResult) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  OpenKey base;
  if (LSTATUS error = lookup(hKey, &base); error != ERROR_SUCCESS) return error;
  if (sub.empty() && is_root(hKey)) {
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  std::u16string path;
  if (LSTATUS error = subkey_path(base, sub, &path); error != ERROR_SUCCESS) return error;
  auto& store = store_for(base.host);
  if (!store.key_exists(path)) return ERROR_FILE_NOT_FOUND;
  *phkResult = insert(OpenKey{base.host, store.key_path(path), granted(samDesired)});
  return ERROR_SUCCESS;
}

LSTATUS create_key(HKEY hKey, const std::u16string* sub, REGSAM samDesired, PHKEY phkResult, LPDWORD disposition) {
  if (phkResult == nullptr || sub == nullptr) return ERROR_INVALID_PARAMETER;
  OpenKey base;
  if (LSTATUS error = lookup(hKey, &base); error != ERROR_SUCCESS) return error;
  std::u16string path;
  if (LSTATUS error = subkey_path(base, *sub, &path); error != ERROR_SUCCESS) return error;
  auto& store = store_for(base.host);
  const bool exists = store.key_exists(path);
  if (!exists) {
    if ((base.access & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
    if (!is_root(hKey) && !store.key_exists(base.path)) return ERROR_KEY_DELETED;
    if (!store.create_key(path) && !store.key_exists(path)) return ERROR_INVALID_PARAMETER;
  }
  if (disposition != nullptr) *disposition = exists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  *phkResult = insert(OpenKey{base.host, store.key_path(path), granted(samDesired)});
  return ERROR_SUCCESS;
}

// Copies a value out as RegQueryValueEx does: the size always, the data
// when it fits.
LSTATUS give_value(DWORD type, const std::vector<std::byte>& data, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpType != nullptr) *lpType = type;
  if (lpcbData == nullptr) return lpData == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
  const DWORD size = static_cast<DWORD>(data.size());
  const DWORD room = *lpcbData;
  *lpcbData = size;
  if (lpData == nullptr) return ERROR_SUCCESS;
  if (room < size) return ERROR_MORE_DATA;
  std::memcpy(lpData, data.data(), size);
  return ERROR_SUCCESS;
}

LSTATUS query_value(HKEY hKey, std::u16string_view name, bool narrow, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  OpenKey key;
  if (LSTATUS error = usable(hKey, KEY_QUERY_VALUE, &key); error != ERROR_SUCCESS) return error;
  auto value = store_for(key.host).get(key.path, name);
  if (!value) return ERROR_FILE_NOT_FOUND;
  if (narrow && is_text(value->type)) {
    const std::string text = to_utf8(u16_of_bytes(value->data));
    std::vector<std::byte> bytes(text.size());
    std::memcpy(bytes.data(), text.data(), text.size());
    return give_value(value->type, bytes, lpType, lpData, lpcbData);
  }
  return give_value(value->type, value->data, lpType, lpData, lpcbData);
}

LSTATUS set_value(HKEY hKey, std::u16string_view name, DWORD type, const BYTE* lpData, DWORD cbData, bool narrow) {
  if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
  OpenKey key;
  if (LSTATUS error = usable(hKey, KEY_SET_VALUE, &key); error != ERROR_SUCCESS) return error;
  std::vector<std::byte> data(cbData);
  if (cbData != 0) std::memcpy(data.data(), lpData, cbData);
  if (narrow && is_text(type)) {
    data = bytes_of_u16(to_u16(std::string_view(reinterpret_cast<const char*>(lpData), cbData)));
  }
  if (!store_for(key.host).set(key.path, name, type, data)) return ERROR_INVALID_PARAMETER;
  return ERROR_SUCCESS;
}

LSTATUS delete_key(HKEY hKey, const std::u16string* sub) {
  if (sub == nullptr) return ERROR_INVALID_PARAMETER;
  OpenKey base;
  if (LSTATUS error = lookup(hKey, &base); error != ERROR_SUCCESS) return error;
  std::u16string path;
  if (LSTATUS error = subkey_path(base, *sub, &path); error != ERROR_SUCCESS) return error;
  if (sub->empty() && is_root(hKey)) return ERROR_ACCESS_DENIED;  // the roots stay
  switch (store_for(base.host).delete_key(path)) {
    case RegistryStore::DeleteResult::Deleted:
      return ERROR_SUCCESS;
    case RegistryStore::DeleteResult::HasSubkeys:
      return ERROR_ACCESS_DENIED;
    case RegistryStore::DeleteResult::NotFound:
      break;
  }
  return ERROR_FILE_NOT_FOUND;
}

LSTATUS delete_value(HKEY hKey, std::u16string_view name) {
  OpenKey key;
  if (LSTATUS error = usable(hKey, KEY_SET_VALUE, &key); error != ERROR_SUCCESS) return error;
  return store_for(key.host).delete_value(key.path, name) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

// The index-th subkey's name, or an error.
LSTATUS subkey_at(HKEY hKey, DWORD index, std::u16string* name) {
  OpenKey key;
  if (LSTATUS error = usable(hKey, KEY_ENUMERATE_SUB_KEYS, &key); error != ERROR_SUCCESS) return error;
  auto names = store_for(key.host).subkeys(key.path);
  if (index >= names.size()) return ERROR_NO_MORE_ITEMS;
  *name = names[index];
  return ERROR_SUCCESS;
}

template <typename Char, typename Text>
LSTATUS give_name(const Text& text, Char* buffer, LPDWORD count) {
  if (buffer == nullptr || count == nullptr) return ERROR_INVALID_PARAMETER;
  if (*count < text.size() + 1) return ERROR_MORE_DATA;
  for (std::size_t i = 0; i < text.size(); ++i) buffer[i] = static_cast<Char>(text[i]);
  buffer[text.size()] = 0;
  *count = static_cast<DWORD>(text.size());
  return ERROR_SUCCESS;
}

std::u16string wide(LPCSTR text) { return to_u16(text); }
std::u16string wide(LPCWSTR text) { return std::u16string(text); }

template <typename Char>
std::unique_ptr<std::u16string> optional_wide(const Char* text) {
  return text == nullptr ? nullptr : std::make_unique<std::u16string>(wide(text));
}

}  // namespace
}  // namespace plat::advapi

using namespace plat::advapi;

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  return open_key(hKey, lpSubKey == nullptr ? u"" : wide(lpSubKey), samDesired, phkResult);
}

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  return open_key(hKey, lpSubKey == nullptr ? u"" : wide(lpSubKey), samDesired, phkResult);
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired, const SECURITY_ATTRIBUTES*,
                        PHKEY phkResult, LPDWORD lpdwDisposition) {
  return create_key(hKey, optional_wide(lpSubKey).get(), samDesired, phkResult, lpdwDisposition);
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM samDesired,
                        const SECURITY_ATTRIBUTES*, PHKEY phkResult, LPDWORD lpdwDisposition) {
  return create_key(hKey, optional_wide(lpSubKey).get(), samDesired, phkResult, lpdwDisposition);
}

LSTATUS RegCloseKey(HKEY hKey) {
  if (is_root(hKey)) return ERROR_SUCCESS;
  auto& table = key_table();
  std::lock_guard lock(table.mu);
  return table.keys.erase(reinterpret_cast<ULONG_PTR>(hKey)) != 0 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  return query_value(hKey, lpValueName == nullptr ? u"" : wide(lpValueName), true, lpType, lpData, lpcbData);
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  return query_value(hKey, lpValueName == nullptr ? u"" : wide(lpValueName), false, lpType, lpData, lpcbData);
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
  return set_value(hKey, lpValueName == nullptr ? u"" : wide(lpValueName), dwType, lpData, cbData, true);
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
  return set_value(hKey, lpValueName == nullptr ? u"" : wide(lpValueName), dwType, lpData, cbData, false);
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) { return delete_key(hKey, optional_wide(lpSubKey).get()); }
LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) { return delete_key(hKey, optional_wide(lpSubKey).get()); }

LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  return delete_value(hKey, lpValueName == nullptr ? u"" : wide(lpValueName));
}

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  return delete_value(hKey, lpValueName == nullptr ? u"" : wide(lpValueName));
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD, LPSTR lpClass,
                      LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  std::u16string name;
  if (LSTATUS error = subkey_at(hKey, dwIndex, &name); error != ERROR_SUCCESS) return error;
  if (LSTATUS error = give_name(plat::to_utf8(name), lpName, lpcchName); error != ERROR_SUCCESS) return error;
  if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) {
    *lpClass = 0;
    *lpcchClass = 0;
  }
  if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = FILETIME{};
  return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD, LPWSTR lpClass,
                      LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  std::u16string name;
  if (LSTATUS error = subkey_at(hKey, dwIndex, &name); error != ERROR_SUCCESS) return error;
  if (LSTATUS error = give_name(name, lpName, lpcchName); error != ERROR_SUCCESS) return error;
  if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) {
    *lpClass = 0;
    *lpcchClass = 0;
  }
  if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = FILETIME{};
  return ERROR_SUCCESS;
}
