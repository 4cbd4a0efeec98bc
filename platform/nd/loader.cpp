// Finding NetworkDirect providers through the host's WinSock catalog.
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/nd/nd.h"
#include "platform/winsock/ws2spi.h"

namespace {

struct Loaded {
  GUID id;
  HMODULE module;
};

std::mutex& loaded_mu() {
  static auto* mu = new std::mutex;
  return *mu;
}

std::vector<Loaded>& loaded() {
  static auto* l = new std::vector<Loaded>;
  return *l;
}

// A NetworkDirect provider's entry: hidden, of an IP family, without a socket type of its own.
bool is_nd_entry(const WSAPROTOCOL_INFOW& info) {
  return (info.dwProviderFlags & PFL_HIDDEN) != 0 &&
         (info.iAddressFamily == AF_INET || info.iAddressFamily == AF_INET6) && info.iSocketType == -1;
}

std::vector<GUID> nd_providers() {
  std::vector<GUID> ids;
  DWORD length = 0;
  int error = 0;
  WSCEnumProtocols(nullptr, nullptr, &length, &error);
  std::vector<WSAPROTOCOL_INFOW> entries(length / sizeof(WSAPROTOCOL_INFOW) + 1);
  length = static_cast<DWORD>(entries.size() * sizeof(WSAPROTOCOL_INFOW));
  const int n = WSCEnumProtocols(nullptr, entries.data(), &length, &error);
  for (int i = 0; i < n; ++i) {
    if (!is_nd_entry(entries[static_cast<std::size_t>(i)])) continue;
    bool seen = false;
    for (const auto& id : ids) seen = seen || id == entries[static_cast<std::size_t>(i)].ProviderId;
    if (!seen) ids.push_back(entries[static_cast<std::size_t>(i)].ProviderId);
  }
  return ids;
}

bool same_address(const sockaddr* a, SIZE_T a_length, const sockaddr* b, INT b_length) {
  if (a->sa_family != b->sa_family) return false;
  if (a->sa_family == AF_INET) {
    return a_length >= sizeof(sockaddr_in) && b_length >= static_cast<INT>(sizeof(sockaddr_in)) &&
           reinterpret_cast<const sockaddr_in*>(a)->sin_addr.s_addr ==
               reinterpret_cast<const sockaddr_in*>(b)->sin_addr.s_addr;
  }
  if (a->sa_family == AF_INET6) {
    return a_length >= sizeof(sockaddr_in6) && b_length >= static_cast<INT>(sizeof(sockaddr_in6)) &&
           std::memcmp(&reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr,
                       &reinterpret_cast<const sockaddr_in6*>(b)->sin6_addr, sizeof(in6_addr)) == 0;
  }
  return false;
}

}  // namespace

HRESULT ZekNdEnumProviders(GUID* ids, SIZE_T* count) {
  if (count == nullptr) return ND_INVALID_PARAMETER;
  const auto found = nd_providers();
  const SIZE_T room = *count;
  *count = found.size();
  if (ids == nullptr || room < found.size()) return found.empty() ? ND_SUCCESS : ND_BUFFER_OVERFLOW;
  for (std::size_t i = 0; i < found.size(); ++i) ids[i] = found[i];
  return ND_SUCCESS;
}

HRESULT ZekNdOpenProvider(const GUID* pProviderId, INDProvider** ppProvider) {
  if (pProviderId == nullptr || ppProvider == nullptr) return ND_INVALID_PARAMETER;
  *ppProvider = nullptr;
  bool installed = false;
  for (const auto& id : nd_providers()) installed = installed || id == *pProviderId;
  if (!installed) return ND_NOT_SUPPORTED;
  GUID id = *pProviderId;
  WCHAR path[4096];
  int length = 4096, error = 0;
  if (WSCGetProviderPath(&id, path, &length, &error) != 0) return ND_NOT_SUPPORTED;
  HMODULE module = LoadLibraryW(path);
  if (module == nullptr) return ND_DEVICE_NOT_READY;
  auto get_class = reinterpret_cast<LPFN_DLLGETCLASSOBJECT>(GetProcAddress(module, "DllGetClassObject"));
  IClassFactory* factory = nullptr;
  HRESULT hr =
      get_class == nullptr ? ND_DEVICE_NOT_READY : get_class(id, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (hr == S_OK && factory != nullptr) {
    hr = factory->CreateInstance(nullptr, IID_INDProvider, reinterpret_cast<void**>(ppProvider));
    factory->Release();
  }
  if (hr != S_OK || *ppProvider == nullptr) {
    *ppProvider = nullptr;
    FreeLibrary(module);
    return hr != S_OK ? hr : ND_DEVICE_NOT_READY;
  }
  std::lock_guard lock(loaded_mu());
  loaded().push_back(Loaded{id, module});  // the provider's objects live in it
  return ND_SUCCESS;
}

HRESULT ZekNdOpenAdapter(const sockaddr* pAddress, SIZE_T AddressLength, INDAdapter** ppAdapter) {
  if (pAddress == nullptr || ppAdapter == nullptr || AddressLength < sizeof(sockaddr_in)) return ND_INVALID_PARAMETER;
  *ppAdapter = nullptr;
  for (const auto& id : nd_providers()) {
    INDProvider* provider = nullptr;
    if (ZekNdOpenProvider(&id, &provider) != ND_SUCCESS) continue;
    SIZE_T size = 0;
    std::vector<std::byte> buffer;
    HRESULT hr = provider->QueryAddressList(nullptr, &size);
    if (hr == ND_BUFFER_OVERFLOW && size > 0) {
      buffer.resize(size);
      hr = provider->QueryAddressList(reinterpret_cast<SOCKET_ADDRESS_LIST*>(buffer.data()), &size);
    }
    bool served = false;
    if (hr == ND_SUCCESS && !buffer.empty()) {
      const auto* list = reinterpret_cast<const SOCKET_ADDRESS_LIST*>(buffer.data());
      for (INT i = 0; i < list->iAddressCount; ++i) {
        const auto& a = list->Address[i];
        served = served ||
                 (a.lpSockaddr != nullptr && same_address(pAddress, AddressLength, a.lpSockaddr, a.iSockaddrLength));
      }
    }
    if (served) hr = provider->OpenAdapter(pAddress, AddressLength, ppAdapter);
    provider->Release();  // an adapter keeps its provider
    if (served) return hr;
  }
  return ND_INVALID_ADDRESS;
}

void ZekNdUnloadProviders() {
  std::lock_guard lock(loaded_mu());
  auto& modules = loaded();
  for (auto it = modules.begin(); it != modules.end();) {
    auto can_unload = reinterpret_cast<LPFN_DLLCANUNLOADNOW>(GetProcAddress(it->module, "DllCanUnloadNow"));
    if (can_unload != nullptr && can_unload() == S_OK) {
      FreeLibrary(it->module);
      it = modules.erase(it);
    } else {
      ++it;
    }
  }
}
