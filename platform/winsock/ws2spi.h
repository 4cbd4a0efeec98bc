// The WinSock service-provider side: the provider catalog (WSC*), the
// switch's upcalls (WPU*) and the SAN service-provider interface that a
// WinSock Direct provider implements (WSPStartupEx, its procedure table
// and the SAN extension functions).
//
// The catalog is per host ("catalog.txt" in the host directory): the
// built-in TCP/IP and UDP/IP entries (1001, 1002) and the entries that
// WSCInstallProvider adds. The SAN switch loads a provider whose id is a
// value of HKLM\SYSTEM\CurrentControlSet\Services\Winsock\Parameters\TCP on SAN
// and hands it stream sockets (docs/user-platform.md, "The SAN switch").
#pragma once

#include "platform/winsock/winsock2.h"

struct WSATHREADID {
  HANDLE ThreadHandle;
  DWORD_PTR Reserved;
};
using LPWSATHREADID = WSATHREADID*;
using WPARAM = UINT_PTR;
using LPARAM = LONG_PTR;
using PDWORD_PTR = DWORD_PTR*;

inline constexpr int WSPDESCRIPTION_LEN = 255;
struct WSPDATA {
  WORD wVersion;
  WORD wHighVersion;
  WCHAR szDescription[WSPDESCRIPTION_LEN + 1];
};
using LPWSPDATA = WSPDATA*;

using LPBLOCKINGCALLBACK = BOOL (*)(DWORD_PTR dwContext);

// The procedure table, in the platform's order.
struct WSPPROC_TABLE {
  SOCKET(*lpWSPAccept)
  (SOCKET s, sockaddr* addr, LPINT addrlen, LPCONDITIONPROC lpfnCondition, DWORD_PTR dwCallbackData, LPINT lpErrno);
  INT(*lpWSPAddressToString)
  (LPSOCKADDR lpsaAddress, DWORD dwAddressLength, LPWSAPROTOCOL_INFOW lpProtocolInfo, LPWSTR lpszAddressString,
   LPDWORD lpdwAddressStringLength, LPINT lpErrno);
  int (*lpWSPAsyncSelect)(SOCKET s, HWND hWnd, unsigned int wMsg, long lEvent, LPINT lpErrno);
  int (*lpWSPBind)(SOCKET s, const sockaddr* name, int namelen, LPINT lpErrno);
  int (*lpWSPCancelBlockingCall)(LPINT lpErrno);
  int (*lpWSPCleanup)(LPINT lpErrno);
  int (*lpWSPCloseSocket)(SOCKET s, LPINT lpErrno);
  int (*lpWSPConnect)(SOCKET s, const sockaddr* name, int namelen, LPWSABUF lpCallerData, LPWSABUF lpCalleeData,
                      LPQOS lpSQOS, LPQOS lpGQOS, LPINT lpErrno);
  int (*lpWSPDuplicateSocket)(SOCKET s, DWORD dwProcessId, LPWSAPROTOCOL_INFOW lpProtocolInfo, LPINT lpErrno);
  int (*lpWSPEnumNetworkEvents)(SOCKET s, WSAEVENT hEventObject, LPWSANETWORKEVENTS lpNetworkEvents, LPINT lpErrno);
  int (*lpWSPEventSelect)(SOCKET s, WSAEVENT hEventObject, long lNetworkEvents, LPINT lpErrno);
  BOOL(*lpWSPGetOverlappedResult)
  (SOCKET s, LPWSAOVERLAPPED lpOverlapped, LPDWORD lpcbTransfer, BOOL fWait, LPDWORD lpdwFlags, LPINT lpErrno);
  int (*lpWSPGetPeerName)(SOCKET s, sockaddr* name, LPINT namelen, LPINT lpErrno);
  int (*lpWSPGetSockName)(SOCKET s, sockaddr* name, LPINT namelen, LPINT lpErrno);
  int (*lpWSPGetSockOpt)(SOCKET s, int level, int optname, char* optval, LPINT optlen, LPINT lpErrno);
  BOOL (*lpWSPGetQOSByName)(SOCKET s, LPWSABUF lpQOSName, LPQOS lpQOS, LPINT lpErrno);
  int (*lpWSPIoctl)(SOCKET s, DWORD dwIoControlCode, LPVOID lpvInBuffer, DWORD cbInBuffer, LPVOID lpvOutBuffer,
                    DWORD cbOutBuffer, LPDWORD lpcbBytesReturned, LPWSAOVERLAPPED lpOverlapped,
                    LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine, LPWSATHREADID lpThreadId, LPINT lpErrno);
  SOCKET(*lpWSPJoinLeaf)
  (SOCKET s, const sockaddr* name, int namelen, LPWSABUF lpCallerData, LPWSABUF lpCalleeData, LPQOS lpSQOS,
   LPQOS lpGQOS, DWORD dwFlags, LPINT lpErrno);
  int (*lpWSPListen)(SOCKET s, int backlog, LPINT lpErrno);
  int (*lpWSPRecv)(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesRecvd, LPDWORD lpFlags,
                   LPWSAOVERLAPPED lpOverlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine,
                   LPWSATHREADID lpThreadId, LPINT lpErrno);
  int (*lpWSPRecvDisconnect)(SOCKET s, LPWSABUF lpInboundDisconnectData, LPINT lpErrno);
  int (*lpWSPRecvFrom)(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesRecvd, LPDWORD lpFlags,
                       sockaddr* lpFrom, LPINT lpFromlen, LPWSAOVERLAPPED lpOverlapped,
                       LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine, LPWSATHREADID lpThreadId, LPINT lpErrno);
  int (*lpWSPSelect)(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, const timeval* timeout,
                     LPINT lpErrno);
  int (*lpWSPSend)(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesSent, DWORD dwFlags,
                   LPWSAOVERLAPPED lpOverlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine,
                   LPWSATHREADID lpThreadId, LPINT lpErrno);
  int (*lpWSPSendDisconnect)(SOCKET s, LPWSABUF lpOutboundDisconnectData, LPINT lpErrno);
  int (*lpWSPSendTo)(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesSent, DWORD dwFlags,
                     const sockaddr* lpTo, int iTolen, LPWSAOVERLAPPED lpOverlapped,
                     LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine, LPWSATHREADID lpThreadId, LPINT lpErrno);
  int (*lpWSPSetSockOpt)(SOCKET s, int level, int optname, const char* optval, int optlen, LPINT lpErrno);
  int (*lpWSPShutdown)(SOCKET s, int how, LPINT lpErrno);
  SOCKET(*lpWSPSocket)
  (int af, int type, int protocol, LPWSAPROTOCOL_INFOW lpProtocolInfo, GROUP g, DWORD dwFlags, LPINT lpErrno);
  INT(*lpWSPStringToAddress)
  (LPWSTR AddressString, INT AddressFamily, LPWSAPROTOCOL_INFOW lpProtocolInfo, LPSOCKADDR lpAddress,
   LPINT lpAddressLength, LPINT lpErrno);
};
using LPWSPPROC_TABLE = WSPPROC_TABLE*;
static_assert(sizeof(WSPPROC_TABLE) == 30 * sizeof(void*));

// The switch's upcalls, in the platform's order. The switch answers every
// slot; the SAN interface uses 1 (close a socket handle), 3 (create one)
// and 15 (complete an overlapped request).
struct WSPUPCALLTABLEEX {
  BOOL (*lpWPUCloseEvent)(WSAEVENT hEvent, LPINT lpErrno);
  int (*lpWPUCloseSocketHandle)(SOCKET s, LPINT lpErrno);
  WSAEVENT (*lpWPUCreateEvent)(LPINT lpErrno);
  SOCKET (*lpWPUCreateSocketHandle)(DWORD dwCatalogEntryId, DWORD_PTR dwContext, LPINT lpErrno);
  int (*lpWPUFDIsSet)(SOCKET s, fd_set* fdset);
  int (*lpWPUGetProviderPath)(LPGUID lpProviderId, WCHAR* lpszProviderDllPath, LPINT lpProviderDllPathLen,
                              LPINT lpErrno);
  SOCKET (*lpWPUModifyIFSHandle)(DWORD dwCatalogEntryId, SOCKET ProposedHandle, LPINT lpErrno);
  BOOL (*lpWPUPostMessage)(HWND hWnd, unsigned int Msg, WPARAM wParam, LPARAM lParam);
  int (*lpWPUQueryBlockingCallback)(DWORD dwCatalogEntryId, LPBLOCKINGCALLBACK* lplpfnCallback, PDWORD_PTR lpdwContext,
                                    LPINT lpErrno);
  int (*lpWPUQuerySocketHandleContext)(SOCKET s, PDWORD_PTR lpContext, LPINT lpErrno);
  int (*lpWPUQueueApc)(LPWSATHREADID lpThreadId, void (*lpfnUserApc)(DWORD_PTR), DWORD_PTR dwContext, LPINT lpErrno);
  BOOL (*lpWPUResetEvent)(WSAEVENT hEvent, LPINT lpErrno);
  BOOL (*lpWPUSetEvent)(WSAEVENT hEvent, LPINT lpErrno);
  int (*lpWPUOpenCurrentThread)(LPWSATHREADID lpThreadId, LPINT lpErrno);
  int (*lpWPUCloseThread)(LPWSATHREADID lpThreadId, LPINT lpErrno);
  int (*lpWPUCompleteOverlappedRequest)(SOCKET s, LPWSAOVERLAPPED lpOverlapped, DWORD dwError, DWORD cbTransferred,
                                        LPINT lpErrno);
};
using LPWSPUPCALLTABLEEX = WSPUPCALLTABLEEX*;
static_assert(sizeof(WSPUPCALLTABLEEX) == 16 * sizeof(void*));

// The one entry of a WinSock Direct provider.
using LPWSPSTARTUPEX = int (*)(WORD wVersionRequested, LPWSPDATA lpWSPData, LPWSAPROTOCOL_INFOW lpProtocolInfo,
                               LPWSPUPCALLTABLEEX lpUpcallTable, LPWSPPROC_TABLE lpProcTable);

// ---- SAN extension functions (SIO_GET_EXTENSION_FUNCTION_POINTER) ------------------------------

inline constexpr GUID WSAID_REGISTERMEMORY = {
    0xc0b422f5, 0xf58c, 0x11d1, {0xad, 0x6c, 0x00, 0xc0, 0x4f, 0xa3, 0x4a, 0x2d}};
inline constexpr GUID WSAID_DEREGISTERMEMORY = {
    0xc0b422f6, 0xf58c, 0x11d1, {0xad, 0x6c, 0x00, 0xc0, 0x4f, 0xa3, 0x4a, 0x2d}};
inline constexpr GUID WSAID_REGISTERRDMAMEMORY = {
    0xc0b422f7, 0xf58c, 0x11d1, {0xad, 0x6c, 0x00, 0xc0, 0x4f, 0xa3, 0x4a, 0x2d}};
inline constexpr GUID WSAID_DEREGISTERRDMAMEMORY = {
    0xc0b422f8, 0xf58c, 0x11d1, {0xad, 0x6c, 0x00, 0xc0, 0x4f, 0xa3, 0x4a, 0x2d}};
inline constexpr GUID WSAID_RDMAWRITE = {0xc0b422f9, 0xf58c, 0x11d1, {0xad, 0x6c, 0x00, 0xc0, 0x4f, 0xa3, 0x4a, 0x2d}};
inline constexpr GUID WSAID_RDMAREAD = {0xc0b422fa, 0xf58c, 0x11d1, {0xad, 0x6c, 0x00, 0xc0, 0x4f, 0xa3, 0x4a, 0x2d}};
inline constexpr GUID WSAID_MEMORYREGISTRATIONCACHECALLBACK = {
    0xe5da4af8, 0xd824, 0x48cd, {0xa7, 0x99, 0x63, 0x37, 0xa9, 0x8e, 0xd2, 0xaf}};

inline constexpr DWORD MEM_READ = 1;
inline constexpr DWORD MEM_WRITE = 2;
inline constexpr DWORD MEM_READWRITE = 3;

struct WSABUFEX {
  u_long len;
  char* buf;
  HANDLE handle;
};
using LPWSABUFEX = WSABUFEX*;

using LPFN_WSPREGISTERMEMORY = HANDLE (*)(SOCKET s, PVOID lpBuffer, DWORD dwBufferLength, DWORD dwFlags, LPINT lpErrno);
using LPFN_WSPDEREGISTERMEMORY = int (*)(SOCKET s, HANDLE hRegistration, LPINT lpErrno);
using LPFN_WSPREGISTERRDMAMEMORY = int (*)(SOCKET s, PVOID lpBuffer, DWORD dwBufferLength, DWORD dwFlags,
                                           LPVOID lpRdmaBufferDescriptor, LPDWORD lpdwDescriptorLength, LPINT lpErrno);
using LPFN_WSPDEREGISTERRDMAMEMORY = int (*)(SOCKET s, LPVOID lpRdmaBufferDescriptor, DWORD dwDescriptorLength,
                                             LPINT lpErrno);
using LPFN_WSPRDMAWRITE = int (*)(SOCKET s, LPWSABUFEX lpBuffers, DWORD dwBufferCount, LPVOID lpTargetBufferDescriptor,
                                  DWORD dwTargetDescriptorLength, DWORD dwTargetBufferOffset,
                                  LPDWORD lpdwNumberOfBytesWritten, DWORD dwFlags, LPWSAOVERLAPPED lpOverlapped,
                                  LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine, LPWSATHREADID lpThreadId,
                                  LPINT lpErrno);
using LPFN_WSPRDMAREAD = LPFN_WSPRDMAWRITE;
using LPFN_WSPMEMORYREGISTRATIONCACHECALLBACK = int (*)(PVOID lpvAddress, SIZE_T Size, LPINT lpErrno);

extern "C" {

// ---- The provider catalog ------------------------------------------------------------------------
// WSAEINVAL for an id already installed (install) or not installed
// (deinstall), WSAEFAULT for missing arguments, WSAENOBUFS (with the size
// needed) for a short buffer.
int WSCInstallProvider(LPGUID lpProviderId, const WCHAR* lpszProviderDllPath,
                       const WSAPROTOCOL_INFOW* lpProtocolInfoList, DWORD dwNumberOfEntries, LPINT lpErrno);
int WSCDeinstallProvider(LPGUID lpProviderId, LPINT lpErrno);
int WSCEnumProtocols(LPINT lpiProtocols, LPWSAPROTOCOL_INFOW lpProtocolBuffer, LPDWORD lpdwBufferLength, LPINT lpErrno);
// The provider's library path (in *lpProviderDllPathLen characters at most).
int WSCGetProviderPath(LPGUID lpProviderId, WCHAR* lpszProviderDllPath, LPINT lpProviderDllPathLen, LPINT lpErrno);

// ---- The upcalls, for providers that look them up by name ----------------------------------------
int WPUCloseSocketHandle(SOCKET s, LPINT lpErrno);
SOCKET WPUCreateSocketHandle(DWORD dwCatalogEntryId, DWORD_PTR dwContext, LPINT lpErrno);
int WPUQuerySocketHandleContext(SOCKET s, PDWORD_PTR lpContext, LPINT lpErrno);
int WPUCompleteOverlappedRequest(SOCKET s, LPWSAOVERLAPPED lpOverlapped, DWORD dwError, DWORD cbTransferred,
                                 LPINT lpErrno);

}  // extern "C"
