// NetworkDirect, version 1: the interfaces a NetworkDirect provider
// implements, as abstract classes with reference counting (IUnknown), in the
// platform's slot order; the records they exchange; and (library zeknd) how
// an application finds a provider: through the host's WinSock catalog.
//
// A provider is a shared library that exports DllGetClassObject and
// DllCanUnloadNow. Its catalog entry (WSCInstallProvider) is hidden, of
// address family AF_INET or AF_INET6 and of socket type -1 (it offers no
// WinSock sockets); the entry's provider id is what ZekNdOpenProvider takes.
// Asynchronous requests complete through the platform: an OVERLAPPED that
// the provider's requests on its device handle (GetFileHandle) carry, with
// its event, the handle's completion port and GetOverlappedResult.
#pragma once

#include "platform/winsock/winsock2.h"

using HRESULT = LONG;
using UINT32 = std::uint32_t;
using UINT64 = std::uint64_t;
using REFIID = const GUID&;
using REFCLSID = const GUID&;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110);

// NetworkDirect statuses (NTSTATUS values).
inline constexpr HRESULT ND_SUCCESS = 0;
inline constexpr HRESULT ND_PENDING = 0x103;
inline constexpr HRESULT ND_BUFFER_OVERFLOW = static_cast<HRESULT>(0x80000005);
inline constexpr HRESULT ND_DEVICE_BUSY = static_cast<HRESULT>(0x80000011);
inline constexpr HRESULT ND_NO_MORE_ENTRIES = static_cast<HRESULT>(0x8000001A);
inline constexpr HRESULT ND_UNSUCCESSFUL = static_cast<HRESULT>(0xC0000001);
inline constexpr HRESULT ND_ACCESS_VIOLATION = static_cast<HRESULT>(0xC0000005);
inline constexpr HRESULT ND_INVALID_HANDLE = static_cast<HRESULT>(0xC0000008);
inline constexpr HRESULT ND_INVALID_PARAMETER = static_cast<HRESULT>(0xC000000D);
inline constexpr HRESULT ND_NO_MEMORY = static_cast<HRESULT>(0xC0000017);
inline constexpr HRESULT ND_INVALID_PARAMETER_MIX = static_cast<HRESULT>(0xC0000030);
inline constexpr HRESULT ND_DATA_OVERRUN = static_cast<HRESULT>(0xC000003C);
inline constexpr HRESULT ND_SHARING_VIOLATION = static_cast<HRESULT>(0xC0000043);
inline constexpr HRESULT ND_INSUFFICIENT_RESOURCES = static_cast<HRESULT>(0xC000009A);
inline constexpr HRESULT ND_DEVICE_NOT_READY = static_cast<HRESULT>(0xC00000A3);
inline constexpr HRESULT ND_IO_TIMEOUT = static_cast<HRESULT>(0xC00000B5);
inline constexpr HRESULT ND_NOT_SUPPORTED = static_cast<HRESULT>(0xC00000BB);
inline constexpr HRESULT ND_INTERNAL_ERROR = static_cast<HRESULT>(0xC00000E5);
inline constexpr HRESULT ND_INVALID_PARAMETER_1 = static_cast<HRESULT>(0xC00000EF);
inline constexpr HRESULT ND_INVALID_PARAMETER_2 = static_cast<HRESULT>(0xC00000F0);
inline constexpr HRESULT ND_INVALID_PARAMETER_3 = static_cast<HRESULT>(0xC00000F1);
inline constexpr HRESULT ND_INVALID_PARAMETER_4 = static_cast<HRESULT>(0xC00000F2);
inline constexpr HRESULT ND_INVALID_PARAMETER_5 = static_cast<HRESULT>(0xC00000F3);
inline constexpr HRESULT ND_INVALID_PARAMETER_6 = static_cast<HRESULT>(0xC00000F4);
inline constexpr HRESULT ND_INVALID_PARAMETER_7 = static_cast<HRESULT>(0xC00000F5);
inline constexpr HRESULT ND_INVALID_PARAMETER_8 = static_cast<HRESULT>(0xC00000F6);
inline constexpr HRESULT ND_INVALID_PARAMETER_9 = static_cast<HRESULT>(0xC00000F7);
inline constexpr HRESULT ND_INVALID_PARAMETER_10 = static_cast<HRESULT>(0xC00000F8);
inline constexpr HRESULT ND_CANCELED = static_cast<HRESULT>(0xC0000120);
inline constexpr HRESULT ND_REMOTE_ERROR = static_cast<HRESULT>(0xC000013D);
inline constexpr HRESULT ND_INVALID_ADDRESS = static_cast<HRESULT>(0xC0000141);
inline constexpr HRESULT ND_INVALID_DEVICE_STATE = static_cast<HRESULT>(0xC0000184);
inline constexpr HRESULT ND_INVALID_BUFFER_SIZE = static_cast<HRESULT>(0xC0000206);
inline constexpr HRESULT ND_TOO_MANY_ADDRESSES = static_cast<HRESULT>(0xC0000209);
inline constexpr HRESULT ND_ADDRESS_ALREADY_EXISTS = static_cast<HRESULT>(0xC000020A);
inline constexpr HRESULT ND_CONNECTION_REFUSED = static_cast<HRESULT>(0xC0000236);
inline constexpr HRESULT ND_CONNECTION_INVALID = static_cast<HRESULT>(0xC000023A);
inline constexpr HRESULT ND_CONNECTION_ACTIVE = static_cast<HRESULT>(0xC000023B);
inline constexpr HRESULT ND_HOST_UNREACHABLE = static_cast<HRESULT>(0xC000023D);
inline constexpr HRESULT ND_CONNECTION_ABORTED = static_cast<HRESULT>(0xC0000241);
inline constexpr HRESULT ND_DEVICE_REMOVED = static_cast<HRESULT>(0xC00002B6);

inline constexpr DWORD ND_OP_FLAG_SILENT_SUCCESS = 0x00000001;
inline constexpr DWORD ND_OP_FLAG_READ_FENCE = 0x00000002;
inline constexpr DWORD ND_OP_FLAG_SEND_AND_SOLICIT_EVENT = 0x00000004;
inline constexpr DWORD ND_OP_FLAG_ALLOW_READ = 0x00000008;
inline constexpr DWORD ND_OP_FLAG_ALLOW_WRITE = 0x00000010;
inline constexpr DWORD ND_CQ_NOTIFY_ERRORS = 0;
inline constexpr DWORD ND_CQ_NOTIFY_ANY = 1;
inline constexpr DWORD ND_CQ_NOTIFY_SOLICITED = 2;

// The identifiers the provider's classes answer.
inline constexpr GUID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID IID_INDProvider = {0x0c5dd316, 0x5fdf, 0x47e6, {0xb2, 0xd0, 0x2a, 0x6e, 0xda, 0x8d, 0x39, 0xdd}};
inline constexpr GUID IID_INDAdapter = {0xa023c5a0, 0x5b73, 0x43bc, {0x8d, 0x20, 0x33, 0xaa, 0x07, 0xe9, 0x51, 0x0f}};
inline constexpr GUID IID_INDCompletionQueue = {
    0x1245a633, 0x2a32, 0x473a, {0x83, 0x0c, 0xe0, 0x5d, 0x1f, 0x86, 0x9d, 0x02}};
inline constexpr GUID IID_INDEndpoint = {0xdbd00eab, 0xb679, 0x44a9, {0xbd, 0x65, 0xe8, 0x2f, 0x3d, 0xe1, 0x2d, 0x1a}};
inline constexpr GUID IID_INDListen = {0xbb902588, 0xba3f, 0x4441, {0x9f, 0xe1, 0x3b, 0x67, 0x95, 0xe4, 0xe6, 0x68}};
inline constexpr GUID IID_INDMemoryWindow = {
    0x070fe1f5, 0x0ab5, 0x4361, {0x88, 0xdb, 0x97, 0x4b, 0xa7, 0x04, 0xd4, 0xb9}};
// The connector's identifier is this platform's own: no description the
// system was written from gives its value.
inline constexpr GUID IID_INDConnector = {0x7a656b00, 0x4e44, 0x4301, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};

// ---- Records -----------------------------------------------------------------------------

struct ND_MR;  // a registration, the provider's
using ND_MR_HANDLE = ND_MR*;

struct ND_ADAPTER_INFO1 {
  UINT32 VendorId;
  UINT32 DeviceId;
  SIZE_T MaxInboundSge;
  SIZE_T MaxInboundRequests;
  SIZE_T MaxInboundLength;
  SIZE_T MaxOutboundSge;
  SIZE_T MaxOutboundRequests;
  SIZE_T MaxOutboundLength;
  SIZE_T MaxInlineData;
  SIZE_T MaxInboundReadLimit;
  SIZE_T MaxOutboundReadLimit;
  SIZE_T MaxCqEntries;
  SIZE_T MaxRegistrationSize;
  SIZE_T MaxWindowSize;
  SIZE_T LargeRequestThreshold;
  SIZE_T MaxCallerData;
  SIZE_T MaxCalleeData;
};
using ND_ADAPTER_INFO = ND_ADAPTER_INFO1;
static_assert(sizeof(ND_ADAPTER_INFO1) == 128);

struct ND_RESULT {
  HRESULT Status;
  SIZE_T BytesTransferred;
};

struct ND_SGE {
  const void* pAddr;
  SIZE_T Length;
  ND_MR_HANDLE hMr;
};

struct ND_MW_DESCRIPTOR {
  UINT64 Base;    // big-endian
  UINT64 Length;  // big-endian
  UINT32 Token;
};

// ---- Interfaces ---------------------------------------------------------------------------

struct IUnknown {
  virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;  // objects go with their last Release
};

struct IClassFactory : IUnknown {
  virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
  virtual HRESULT LockServer(BOOL fLock) = 0;

 protected:
  ~IClassFactory() = default;
};

// The requests that an object pends in its provider's device.
struct INDOverlapped : IUnknown {
  virtual HRESULT CancelOverlappedRequests() = 0;
  virtual HRESULT GetOverlappedResult(OVERLAPPED* pOverlapped, SIZE_T* pNumberOfBytesTransferred, BOOL bWait) = 0;

 protected:
  ~INDOverlapped() = default;
};

struct INDCompletionQueue : INDOverlapped {
  virtual HRESULT Resize(SIZE_T nEntries) = 0;
  virtual HRESULT Notify(DWORD Type, OVERLAPPED* pOverlapped) = 0;
  virtual SIZE_T GetResults(ND_RESULT* ppResults[], SIZE_T nResults) = 0;

 protected:
  ~INDCompletionQueue() = default;
};

struct INDMemoryWindow : IUnknown {
 protected:
  ~INDMemoryWindow() = default;
};

struct INDEndpoint : IUnknown {
  virtual HRESULT Flush() = 0;
  virtual void StartRequestBatch() = 0;
  virtual void SubmitRequestBatch() = 0;
  virtual HRESULT Send(ND_RESULT* pResult, const ND_SGE* pSgl, SIZE_T nSge, DWORD Flags) = 0;
  virtual HRESULT SendAndInvalidate(ND_RESULT* pResult, const ND_SGE* pSgl, SIZE_T nSge,
                                    const ND_MW_DESCRIPTOR* pRemoteMwDescriptor, DWORD Flags) = 0;
  virtual HRESULT Receive(ND_RESULT* pResult, const ND_SGE* pSgl, SIZE_T nSge) = 0;
  virtual HRESULT Bind(ND_RESULT* pResult, ND_MR_HANDLE hMr, INDMemoryWindow* pMw, const void* pBuffer,
                       SIZE_T BufferSize, DWORD Flags, ND_MW_DESCRIPTOR* pMwDescriptor) = 0;
  virtual HRESULT Invalidate(ND_RESULT* pResult, INDMemoryWindow* pMw, DWORD Flags) = 0;
  virtual HRESULT Read(ND_RESULT* pResult, const ND_SGE* pSgl, SIZE_T nSge, const ND_MW_DESCRIPTOR* pRemoteMwDescriptor,
                       ULONGLONG Offset, DWORD Flags) = 0;
  virtual HRESULT Write(ND_RESULT* pResult, const ND_SGE* pSgl, SIZE_T nSge,
                        const ND_MW_DESCRIPTOR* pRemoteMwDescriptor, ULONGLONG Offset, DWORD Flags) = 0;

 protected:
  ~INDEndpoint() = default;
};

struct INDConnector : INDOverlapped {
  virtual HRESULT CreateEndpoint(INDCompletionQueue* pInboundCq, INDCompletionQueue* pOutboundCq,
                                 SIZE_T nInboundEntries, SIZE_T nOutboundEntries, SIZE_T nInboundSge,
                                 SIZE_T nOutboundSge, SIZE_T InboundReadLimit, SIZE_T OutboundReadLimit,
                                 SIZE_T* pMaxInlineData, INDEndpoint** ppEndpoint) = 0;
  virtual HRESULT Connect(INDEndpoint* pEndpoint, const sockaddr* pAddress, SIZE_T AddressLength, INT Protocol,
                          USHORT LocalPort, const void* pPrivateData, SIZE_T PrivateDataLength,
                          OVERLAPPED* pOverlapped) = 0;
  virtual HRESULT CompleteConnect(OVERLAPPED* pOverlapped) = 0;
  virtual HRESULT Accept(INDEndpoint* pEndpoint, const void* pPrivateData, SIZE_T PrivateDataLength,
                         OVERLAPPED* pOverlapped) = 0;
  virtual HRESULT Reject(const void* pPrivateData, SIZE_T PrivateDataLength) = 0;
  virtual HRESULT GetConnectionData(SIZE_T* pInboundReadLimit, SIZE_T* pOutboundReadLimit, void* pPrivateData,
                                    SIZE_T* pPrivateDataLength) = 0;
  virtual HRESULT GetLocalAddress(sockaddr* pAddress, SIZE_T* pAddressLength) = 0;
  virtual HRESULT GetPeerAddress(sockaddr* pAddress, SIZE_T* pAddressLength) = 0;
  virtual HRESULT NotifyDisconnect(OVERLAPPED* pOverlapped) = 0;
  virtual HRESULT Disconnect(OVERLAPPED* pOverlapped) = 0;

 protected:
  ~INDConnector() = default;
};

struct INDListen : INDOverlapped {
  virtual HRESULT GetConnectionRequest(INDConnector* pConnector, OVERLAPPED* pOverlapped) = 0;

 protected:
  ~INDListen() = default;
};

struct INDAdapter : INDOverlapped {
  virtual HANDLE GetFileHandle() = 0;
  virtual HRESULT Query(DWORD VersionRequested, ND_ADAPTER_INFO* pInfo, SIZE_T* pBufferSize) = 0;
  virtual HRESULT Control(DWORD IoControlCode, const void* pInBuffer, SIZE_T InBufferSize, void* pOutBuffer,
                          SIZE_T OutBufferSize, SIZE_T* pBytesReturned, OVERLAPPED* pOverlapped) = 0;
  virtual HRESULT CreateCompletionQueue(SIZE_T nEntries, INDCompletionQueue** ppCq) = 0;
  virtual HRESULT RegisterMemory(const void* pBuffer, SIZE_T BufferSize, OVERLAPPED* pOverlapped,
                                 ND_MR_HANDLE* phMr) = 0;
  virtual HRESULT DeregisterMemory(ND_MR_HANDLE hMr, OVERLAPPED* pOverlapped) = 0;
  virtual HRESULT CreateMemoryWindow(ND_RESULT* pInvalidateResult, INDMemoryWindow** ppMw) = 0;
  virtual HRESULT CreateConnector(INDConnector** ppConnector) = 0;
  virtual HRESULT Listen(SIZE_T Backlog, INT Protocol, USHORT Port, USHORT* pAssignedPort, INDListen** ppListen) = 0;

 protected:
  ~INDAdapter() = default;
};

struct INDProvider : IUnknown {
  virtual HRESULT QueryAddressList(SOCKET_ADDRESS_LIST* pAddressList, SIZE_T* pBufferSize) = 0;
  virtual HRESULT OpenAdapter(const sockaddr* pAddress, SIZE_T AddressLength, INDAdapter** ppAdapter) = 0;

 protected:
  ~INDProvider() = default;
};

// What a provider library exports.
using LPFN_DLLGETCLASSOBJECT = HRESULT (*)(REFCLSID rclsid, REFIID riid, void** ppv);
using LPFN_DLLCANUNLOADNOW = HRESULT (*)();

extern "C" {

// ---- Finding a provider (zeknd) ------------------------------------------------------------
// The ids of the host's NetworkDirect providers, in catalog order: *count
// gets how many there are; ND_BUFFER_OVERFLOW when `ids` has room for fewer.
HRESULT ZekNdEnumProviders(GUID* ids, SIZE_T* count);
// Loads the provider whose catalog entry has this id and hands out its
// provider object (its class factory's INDProvider). ND_INVALID_PARAMETER
// for a missing argument, ND_NOT_SUPPORTED when no such provider is
// installed, ND_DEVICE_NOT_READY when its library cannot be loaded or has no
// class factory; otherwise the factory's own result.
HRESULT ZekNdOpenProvider(const GUID* pProviderId, INDProvider** ppProvider);
// The adapter of whichever provider serves the address (QueryAddressList);
// ND_INVALID_ADDRESS when none does.
HRESULT ZekNdOpenAdapter(const sockaddr* pAddress, SIZE_T AddressLength, INDAdapter** ppAdapter);
// Unloads the provider libraries whose DllCanUnloadNow says they may go.
void ZekNdUnloadProviders();

}  // extern "C"
