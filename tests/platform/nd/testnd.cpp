// A NetworkDirect provider for the loader's tests: a class factory, a
// provider that serves the host's native address, and an adapter whose
// completion queues pend their notifications in the test driver (\\.\zektest),
// so that they complete through the platform. What the tests do not use
// answers ND_NOT_SUPPORTED.
#include <atomic>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/nd/nd.h"
#include "tests/platform/hostnative.h"
#include "tests/platform/kernel/io/testdrv.h"

namespace {

std::atomic<int> g_objects{0};  // class factories and providers alive

template <typename Interface>
class Counted : public Interface {
 public:
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~Counted() = default;
  // Answers IUnknown and the interfaces in `ids`.
  HRESULT answer(REFIID riid, void** out, std::initializer_list<GUID> ids) {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    bool known = riid == IID_IUnknown;
    for (const auto& id : ids) known = known || riid == id;
    if (!known) return E_NOINTERFACE;
    *out = this;
    AddRef();
    return S_OK;
  }

 private:
  std::atomic<ULONG> refs_{1};
};

class Adapter;

class Cq final : public Counted<INDCompletionQueue> {
 public:
  Cq(Adapter* adapter, std::uint64_t key);
  HRESULT QueryInterface(REFIID riid, void** out) override { return answer(riid, out, {IID_INDCompletionQueue}); }
  HRESULT CancelOverlappedRequests() override;
  HRESULT GetOverlappedResult(OVERLAPPED* ov, SIZE_T* bytes, BOOL wait) override;
  HRESULT Resize(SIZE_T entries) override { return entries == 0 ? ND_INVALID_PARAMETER : ND_SUCCESS; }
  HRESULT Notify(DWORD type, OVERLAPPED* ov) override;
  SIZE_T GetResults(ND_RESULT*[], SIZE_T) override { return 0; }

 private:
  ~Cq() override;
  Adapter* adapter_;
  std::uint64_t key_;
  std::uint64_t out_ = 0;  // the driver's answer lands here
};

class Adapter final : public Counted<INDAdapter> {
 public:
  Adapter(INDProvider* provider, HANDLE device, sockaddr_in address)
      : provider_(provider), device_(device), address_(address) {
    provider_->AddRef();
  }
  HRESULT QueryInterface(REFIID riid, void** out) override { return answer(riid, out, {IID_INDAdapter}); }
  HRESULT CancelOverlappedRequests() override { return CancelIo(device_) ? ND_SUCCESS : ND_UNSUCCESSFUL; }
  HRESULT GetOverlappedResult(OVERLAPPED* ov, SIZE_T* bytes, BOOL wait) override {
    DWORD n = 0;
    ::GetOverlappedResult(device_, ov, &n, wait);
    if (bytes != nullptr) *bytes = n;
    return static_cast<HRESULT>(ov->Internal);
  }
  HANDLE GetFileHandle() override { return device_; }
  HRESULT Query(DWORD version, ND_ADAPTER_INFO* info, SIZE_T* size) override {
    if (version != 1) return ND_NOT_SUPPORTED;
    if (size == nullptr) return ND_INVALID_PARAMETER;
    if (info == nullptr || *size < sizeof(ND_ADAPTER_INFO1)) {
      *size = sizeof(ND_ADAPTER_INFO1);
      return ND_BUFFER_OVERFLOW;
    }
    *info = ND_ADAPTER_INFO1{};
    info->VendorId = 0x1678;
    info->DeviceId = 0x100;
    info->MaxCqEntries = 1024;
    *size = sizeof(ND_ADAPTER_INFO1);
    return ND_SUCCESS;
  }
  HRESULT Control(DWORD, const void*, SIZE_T, void*, SIZE_T, SIZE_T*, OVERLAPPED*) override { return ND_NOT_SUPPORTED; }
  HRESULT CreateCompletionQueue(SIZE_T entries, INDCompletionQueue** cq) override {
    if (cq == nullptr || entries == 0 || entries > 1024) return ND_INVALID_PARAMETER;
    *cq = new Cq(this, next_key_ += 2);
    return ND_SUCCESS;
  }
  HRESULT RegisterMemory(const void*, SIZE_T, OVERLAPPED*, ND_MR_HANDLE*) override { return ND_NOT_SUPPORTED; }
  HRESULT DeregisterMemory(ND_MR_HANDLE, OVERLAPPED*) override { return ND_NOT_SUPPORTED; }
  HRESULT CreateMemoryWindow(ND_RESULT*, INDMemoryWindow**) override { return ND_NOT_SUPPORTED; }
  HRESULT CreateConnector(INDConnector**) override { return ND_NOT_SUPPORTED; }
  HRESULT Listen(SIZE_T, INT, USHORT, USHORT*, INDListen**) override { return ND_NOT_SUPPORTED; }

  HANDLE device() const { return device_; }

 private:
  ~Adapter() override {
    CloseHandle(device_);
    provider_->Release();
  }
  INDProvider* provider_;
  HANDLE device_;
  sockaddr_in address_;
  std::atomic<std::uint64_t> next_key_{0x7E00};
};

Cq::Cq(Adapter* adapter, std::uint64_t key) : adapter_(adapter), key_(key) { adapter_->AddRef(); }
Cq::~Cq() { adapter_->Release(); }

HRESULT Cq::CancelOverlappedRequests() { return CancelIo(adapter_->device()) ? ND_SUCCESS : ND_UNSUCCESSFUL; }

HRESULT Cq::GetOverlappedResult(OVERLAPPED* ov, SIZE_T* bytes, BOOL wait) {
  return adapter_->GetOverlappedResult(ov, bytes, wait);
}

HRESULT Cq::Notify(DWORD, OVERLAPPED* ov) {
  if (ov == nullptr) return ND_INVALID_PARAMETER;
  ov->Internal = static_cast<ULONG_PTR>(ND_PENDING);
  testdrv::Key key{key_};
  if (DeviceIoControl(adapter_->device(), testdrv::kPend, &key, sizeof key, &out_, sizeof out_, nullptr, ov)) {
    return ND_SUCCESS;
  }
  return GetLastError() == ERROR_IO_PENDING ? ND_PENDING : ND_UNSUCCESSFUL;
}

class Provider final : public Counted<INDProvider> {
 public:
  Provider() { ++g_objects; }
  HRESULT QueryInterface(REFIID riid, void** out) override { return answer(riid, out, {IID_INDProvider}); }
  HRESULT QueryAddressList(SOCKET_ADDRESS_LIST* list, SIZE_T* size) override {
    if (size == nullptr) return ND_INVALID_PARAMETER;
    const SIZE_T needed = sizeof(SOCKET_ADDRESS_LIST) + sizeof(sockaddr_in);
    if (list == nullptr || *size < needed) {
      *size = needed;
      return ND_BUFFER_OVERFLOW;
    }
    auto* address = reinterpret_cast<sockaddr_in*>(reinterpret_cast<char*>(list) + sizeof(SOCKET_ADDRESS_LIST));
    std::memset(address, 0, sizeof *address);
    address->sin_family = AF_INET;
    address->sin_addr.s_addr = host_native_address();
    list->iAddressCount = 1;
    list->Address[0].lpSockaddr = reinterpret_cast<sockaddr*>(address);
    list->Address[0].iSockaddrLength = sizeof *address;
    *size = needed;
    return ND_SUCCESS;
  }
  HRESULT OpenAdapter(const sockaddr* address, SIZE_T length, INDAdapter** adapter) override {
    if (address == nullptr || adapter == nullptr || length < sizeof(sockaddr_in)) return ND_INVALID_PARAMETER;
    const auto* sin = reinterpret_cast<const sockaddr_in*>(address);
    if (sin->sin_family != AF_INET || sin->sin_addr.s_addr != host_native_address()) return ND_INVALID_ADDRESS;
    HANDLE device = CreateFileA("\\\\.\\zektest", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) return ND_DEVICE_NOT_READY;
    *adapter = new Adapter(this, device, *sin);
    return ND_SUCCESS;
  }

 private:
  ~Provider() override { --g_objects; }
};

class Factory final : public Counted<IClassFactory> {
 public:
  Factory() { ++g_objects; }
  HRESULT QueryInterface(REFIID riid, void** out) override { return answer(riid, out, {IID_IClassFactory}); }
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    if (!(riid == IID_INDProvider)) return E_NOINTERFACE;
    *out = static_cast<INDProvider*>(new Provider);
    return S_OK;
  }
  HRESULT LockServer(BOOL) override { return S_OK; }

 private:
  ~Factory() override { --g_objects; }
};

}  // namespace

extern "C" HRESULT DllGetClassObject(REFCLSID, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  *ppv = nullptr;
  if (!(riid == IID_IClassFactory)) return E_NOINTERFACE;
  *ppv = static_cast<IClassFactory*>(new Factory);
  return S_OK;
}

extern "C" HRESULT DllCanUnloadNow() { return g_objects.load() == 0 ? S_OK : S_FALSE; }
