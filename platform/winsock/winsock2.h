// WinSock 2 for the processes of a simulated host (library zekws2_32).
//
// Native sockets are Linux sockets. A host's native address is the
// loopback alias that zekhost gives it (127.0.10.N): a socket bound to
// INADDR_ANY or 127.0.0.1 is bound to that address, and one that connects
// or sends unbound is first bound to it, so two hosts' native traffic is
// real TCP and UDP between their addresses. Stream sockets may instead be
// carried by an installed WinSock Direct provider through the SAN switch
// (docs/user-platform.md). Errors are WinSock's (WSAGetLastError).
//
// The routines have C linkage under their WinSock names, as the real
// library's do; in a process that links this library, socket(), send()
// and the others are WinSock's. A program includes this header instead of
// Linux's socket headers. glibc declares fd_set, struct timeval, u_long and
// select() in headers every C++ program includes: here those names stand
// for WinSock's own (and select() is still exported as "select").
#pragma once

#include <sys/select.h>  // glibc's fd_set and select, before this header renames its own

#include "platform/user/win32.h"

#undef FD_SETSIZE
#undef FD_SET
#undef FD_CLR
#undef FD_ISSET
#undef FD_ZERO
#define fd_set zek_ws_fd_set
#define timeval zek_ws_timeval
#define select zek_ws_select
#define u_long zek_ws_u_long  // glibc's u_long is 64 bits

using u_char = unsigned char;
using u_short = unsigned short;
using u_int = unsigned int;
using u_long = std::uint32_t;  // 32 bits, as on Windows
using UINT_PTR = std::uintptr_t;
using SOCKET = UINT_PTR;
using GROUP = unsigned int;
using WSAEVENT = HANDLE;
using LPWSAOVERLAPPED = OVERLAPPED*;
using WSAOVERLAPPED = OVERLAPPED;
using LPINT = int*;
using PINT = int*;
using ADDRESS_FAMILY = u_short;

inline constexpr SOCKET INVALID_SOCKET = ~SOCKET{0};
inline constexpr int SOCKET_ERROR = -1;

// ---- Addresses -------------------------------------------------------------------------

inline constexpr int AF_UNSPEC = 0;
inline constexpr int AF_UNIX = 1;
inline constexpr int AF_INET = 2;
inline constexpr int AF_INET6 = 23;
inline constexpr int PF_INET = AF_INET;
inline constexpr int SOCK_STREAM = 1;
inline constexpr int SOCK_DGRAM = 2;
inline constexpr int SOCK_RAW = 3;
inline constexpr int IPPROTO_IP = 0;
inline constexpr int IPPROTO_TCP = 6;
inline constexpr int IPPROTO_UDP = 17;
inline constexpr int IPPROTO_IPV6 = 41;

struct in_addr {
  union {
    struct {
      u_char s_b1, s_b2, s_b3, s_b4;
    } S_un_b;
    struct {
      u_short s_w1, s_w2;
    } S_un_w;
    u_long S_addr;
  } S_un;
};
#define s_addr S_un.S_addr
using IN_ADDR = in_addr;

inline constexpr u_long INADDR_ANY = 0;
inline constexpr u_long INADDR_LOOPBACK = 0x7f000001;
inline constexpr u_long INADDR_NONE = 0xffffffff;
inline constexpr u_long INADDR_BROADCAST = 0xffffffff;

struct sockaddr {
  ADDRESS_FAMILY sa_family;
  char sa_data[14];
};
using SOCKADDR = sockaddr;
using PSOCKADDR = sockaddr*;
using LPSOCKADDR = sockaddr*;

struct sockaddr_in {
  ADDRESS_FAMILY sin_family;
  u_short sin_port;
  in_addr sin_addr;
  char sin_zero[8];
};
using SOCKADDR_IN = sockaddr_in;
using PSOCKADDR_IN = sockaddr_in*;

struct in6_addr {
  union {
    u_char Byte[16];
    u_short Word[8];
  } u;
};
struct sockaddr_in6 {
  ADDRESS_FAMILY sin6_family;
  u_short sin6_port;
  u_long sin6_flowinfo;
  in6_addr sin6_addr;
  u_long sin6_scope_id;
};

struct sockaddr_storage {
  ADDRESS_FAMILY ss_family;
  char ss_pad1[6];
  std::int64_t ss_align;
  char ss_pad2[112];
};
using SOCKADDR_STORAGE = sockaddr_storage;

static_assert(sizeof(sockaddr_in) == 16 && sizeof(sockaddr_in6) == 28 && sizeof(sockaddr_storage) == 128);

struct SOCKET_ADDRESS {
  LPSOCKADDR lpSockaddr;
  INT iSockaddrLength;
};
using PSOCKET_ADDRESS = SOCKET_ADDRESS*;
using LPSOCKET_ADDRESS = SOCKET_ADDRESS*;
struct SOCKET_ADDRESS_LIST {
  INT iAddressCount;
  SOCKET_ADDRESS Address[1];
};
using LPSOCKET_ADDRESS_LIST = SOCKET_ADDRESS_LIST*;

struct addrinfo {
  int ai_flags;
  int ai_family;
  int ai_socktype;
  int ai_protocol;
  std::size_t ai_addrlen;
  char* ai_canonname;
  sockaddr* ai_addr;
  addrinfo* ai_next;
};
using ADDRINFOA = addrinfo;
using PADDRINFOA = addrinfo*;
inline constexpr int AI_PASSIVE = 0x01;
inline constexpr int AI_CANONNAME = 0x02;
inline constexpr int AI_NUMERICHOST = 0x04;
inline constexpr int AI_NUMERICSERV = 0x08;
inline constexpr int NI_NUMERICHOST = 0x02;
inline constexpr int NI_NUMERICSERV = 0x08;
inline constexpr int NI_MAXHOST = 1025;
inline constexpr int NI_MAXSERV = 32;

// ---- Options and controls ----------------------------------------------------------------

inline constexpr int SOL_SOCKET = 0xffff;
inline constexpr int SO_DEBUG = 0x0001;
inline constexpr int SO_ACCEPTCONN = 0x0002;
inline constexpr int SO_REUSEADDR = 0x0004;
inline constexpr int SO_KEEPALIVE = 0x0008;
inline constexpr int SO_DONTROUTE = 0x0010;
inline constexpr int SO_BROADCAST = 0x0020;
inline constexpr int SO_LINGER = 0x0080;
inline constexpr int SO_OOBINLINE = 0x0100;
inline constexpr int SO_DONTLINGER = ~SO_LINGER;
inline constexpr int SO_EXCLUSIVEADDRUSE = ~SO_REUSEADDR;
inline constexpr int SO_SNDBUF = 0x1001;
inline constexpr int SO_RCVBUF = 0x1002;
inline constexpr int SO_SNDTIMEO = 0x1005;
inline constexpr int SO_RCVTIMEO = 0x1006;
inline constexpr int SO_ERROR = 0x1007;
inline constexpr int SO_TYPE = 0x1008;
inline constexpr int SO_GROUP_ID = 0x2001;
inline constexpr int SO_GROUP_PRIORITY = 0x2002;
inline constexpr int SO_MAX_MSG_SIZE = 0x2003;
inline constexpr int SO_PROTOCOL_INFOA = 0x2004;
inline constexpr int SO_PROTOCOL_INFOW = 0x2005;
inline constexpr int SO_UPDATE_ACCEPT_CONTEXT = 0x700B;
inline constexpr int SO_UPDATE_CONNECT_CONTEXT = 0x7010;
inline constexpr int TCP_NODELAY = 0x0001;
inline constexpr int IP_TTL = 4;

struct linger {
  u_short l_onoff;
  u_short l_linger;
};

inline constexpr int MSG_OOB = 0x1;
inline constexpr int MSG_PEEK = 0x2;
inline constexpr int MSG_DONTROUTE = 0x4;
inline constexpr int MSG_WAITALL = 0x8;
inline constexpr int MSG_PARTIAL = 0x8000;

inline constexpr int SD_RECEIVE = 0;
inline constexpr int SD_SEND = 1;
inline constexpr int SD_BOTH = 2;
inline constexpr int SOMAXCONN = 0x7fffffff;

inline constexpr long FIONREAD = 0x4004667F;
inline constexpr long FIONBIO = static_cast<long>(0x8004667EU);
inline constexpr long SIOCATMARK = 0x40047307;
inline constexpr DWORD SIO_GET_EXTENSION_FUNCTION_POINTER = 0xC8000006;
inline constexpr DWORD SIO_ADDRESS_LIST_QUERY = 0x48000016;
inline constexpr DWORD SIO_GET_QOS = 0xC8000007;
inline constexpr DWORD SIO_GET_GROUP_QOS = 0xC8000008;
inline constexpr DWORD SIO_SET_QOS = 0x8800000B;
inline constexpr DWORD SIO_SET_GROUP_QOS = 0x8800000C;

// ---- select ----------------------------------------------------------------------------

inline constexpr u_int FD_SETSIZE = 64;
struct timeval {
  LONG tv_sec;
  LONG tv_usec;
};
typedef struct fd_set {
  u_int fd_count;
  SOCKET fd_array[FD_SETSIZE];
} fd_set;

extern "C" int __WSAFDIsSet(SOCKET fd, fd_set* set);

#define FD_ZERO(set) ((set)->fd_count = 0)
#define FD_ISSET(fd, set) __WSAFDIsSet(static_cast<SOCKET>(fd), (set))
#define FD_SET(fd, set)                                              \
  do {                                                               \
    u_int zek_i_;                                                    \
    for (zek_i_ = 0; zek_i_ < (set)->fd_count; ++zek_i_)             \
      if ((set)->fd_array[zek_i_] == static_cast<SOCKET>(fd)) break; \
    if (zek_i_ == (set)->fd_count && (set)->fd_count < FD_SETSIZE)   \
      (set)->fd_array[(set)->fd_count++] = static_cast<SOCKET>(fd);  \
  } while (0)
#define FD_CLR(fd, set)                                               \
  do {                                                                \
    for (u_int zek_i_ = 0; zek_i_ < (set)->fd_count; ++zek_i_) {      \
      if ((set)->fd_array[zek_i_] == static_cast<SOCKET>(fd)) {       \
        (set)->fd_array[zek_i_] = (set)->fd_array[--(set)->fd_count]; \
        break;                                                        \
      }                                                               \
    }                                                                 \
  } while (0)

// ---- Start-up, buffers, protocol information ----------------------------------------------

inline constexpr int WSADESCRIPTION_LEN = 256;
inline constexpr int WSASYS_STATUS_LEN = 128;
struct WSADATA {  // the 64-bit layout
  WORD wVersion;
  WORD wHighVersion;
  unsigned short iMaxSockets;
  unsigned short iMaxUdpDg;
  char* lpVendorInfo;
  char szDescription[WSADESCRIPTION_LEN + 1];
  char szSystemStatus[WSASYS_STATUS_LEN + 1];
};
using LPWSADATA = WSADATA*;
constexpr WORD MAKEWORD(BYTE low, BYTE high) { return static_cast<WORD>(low | (high << 8)); }
constexpr BYTE LOBYTE(WORD w) { return static_cast<BYTE>(w & 0xFF); }
constexpr BYTE HIBYTE(WORD w) { return static_cast<BYTE>(w >> 8); }

struct WSABUF {
  u_long len;
  char* buf;
};
using LPWSABUF = WSABUF*;

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
using LPGUID = GUID*;
inline bool operator==(const GUID& a, const GUID& b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         __builtin_memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

inline constexpr int MAX_PROTOCOL_CHAIN = 7;
inline constexpr int BASE_PROTOCOL = 1;
inline constexpr int LAYERED_PROTOCOL = 0;
struct WSAPROTOCOLCHAIN {
  int ChainLen;
  DWORD ChainEntries[MAX_PROTOCOL_CHAIN];
};
inline constexpr int WSAPROTOCOL_LEN = 255;
struct WSAPROTOCOL_INFOW {
  DWORD dwServiceFlags1;
  DWORD dwServiceFlags2;
  DWORD dwServiceFlags3;
  DWORD dwServiceFlags4;
  DWORD dwProviderFlags;
  GUID ProviderId;
  DWORD dwCatalogEntryId;
  WSAPROTOCOLCHAIN ProtocolChain;
  int iVersion;
  int iAddressFamily;
  int iMaxSockAddr;
  int iMinSockAddr;
  int iSocketType;
  int iProtocol;
  int iProtocolMaxOffset;
  int iNetworkByteOrder;
  int iSecurityScheme;
  DWORD dwMessageSize;
  DWORD dwProviderReserved;
  WCHAR szProtocol[WSAPROTOCOL_LEN + 1];
};
using LPWSAPROTOCOL_INFOW = WSAPROTOCOL_INFOW*;
static_assert(sizeof(WSAPROTOCOL_INFOW) == 628);

inline constexpr DWORD XP1_CONNECTIONLESS = 0x00000001;
inline constexpr DWORD XP1_GUARANTEED_DELIVERY = 0x00000002;
inline constexpr DWORD XP1_GUARANTEED_ORDER = 0x00000004;
inline constexpr DWORD XP1_MESSAGE_ORIENTED = 0x00000008;
inline constexpr DWORD XP1_PSEUDO_STREAM = 0x00000010;
inline constexpr DWORD XP1_GRACEFUL_CLOSE = 0x00000020;
inline constexpr DWORD XP1_EXPEDITED_DATA = 0x00000040;
inline constexpr DWORD XP1_CONNECT_DATA = 0x00000080;
inline constexpr DWORD XP1_SUPPORT_BROADCAST = 0x00000200;
inline constexpr DWORD XP1_IFS_HANDLES = 0x00020000;
inline constexpr DWORD PFL_HIDDEN = 0x00000004;

inline constexpr DWORD WSA_FLAG_OVERLAPPED = 0x01;
inline constexpr int FROM_PROTOCOL_INFO = -1;

// Network events.
inline constexpr long FD_READ = 0x01;
inline constexpr long FD_WRITE = 0x02;
inline constexpr long FD_OOB = 0x04;
inline constexpr long FD_ACCEPT = 0x08;
inline constexpr long FD_CONNECT = 0x10;
inline constexpr long FD_CLOSE = 0x20;
inline constexpr int FD_READ_BIT = 0;
inline constexpr int FD_WRITE_BIT = 1;
inline constexpr int FD_OOB_BIT = 2;
inline constexpr int FD_ACCEPT_BIT = 3;
inline constexpr int FD_CONNECT_BIT = 4;
inline constexpr int FD_CLOSE_BIT = 5;
inline constexpr int FD_MAX_EVENTS = 10;
struct WSANETWORKEVENTS {
  long lNetworkEvents;
  int iErrorCode[FD_MAX_EVENTS];
};
using LPWSANETWORKEVENTS = WSANETWORKEVENTS*;

struct WSAQOS_ {  // QOS is never asked for here; the pointer type is kept
  char unused;
};
using LPQOS = WSAQOS_*;
using LPCONDITIONPROC = int (*)(LPWSABUF lpCallerId, LPWSABUF lpCallerData, LPQOS lpSQOS, LPQOS lpGQOS,
                                LPWSABUF lpCalleeId, LPWSABUF lpCalleeData, GROUP* g, DWORD_PTR dwCallbackData);
inline constexpr int CF_ACCEPT = 0;
inline constexpr int CF_REJECT = 1;
inline constexpr int CF_DEFER = 2;
using LPWSAOVERLAPPED_COMPLETION_ROUTINE = void (*)(DWORD dwError, DWORD cbTransferred, LPWSAOVERLAPPED lpOverlapped,
                                                    DWORD dwFlags);

inline constexpr HANDLE WSA_INVALID_EVENT = nullptr;
inline constexpr DWORD WSA_WAIT_EVENT_0 = WAIT_OBJECT_0;
inline constexpr DWORD WSA_WAIT_FAILED = WAIT_FAILED;
inline constexpr DWORD WSA_WAIT_TIMEOUT = WAIT_TIMEOUT;
inline constexpr DWORD WSA_INFINITE = INFINITE;

// ---- Errors ------------------------------------------------------------------------------

inline constexpr int WSA_INVALID_HANDLE = 6;
inline constexpr int WSA_NOT_ENOUGH_MEMORY = 8;
inline constexpr int WSA_INVALID_PARAMETER = 87;
inline constexpr int WSA_OPERATION_ABORTED = 995;
inline constexpr int WSA_IO_INCOMPLETE = 996;
inline constexpr int WSA_IO_PENDING = 997;
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEDESTADDRREQ = 10039;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEPROTOTYPE = 10041;
inline constexpr int WSAENOPROTOOPT = 10042;
inline constexpr int WSAEPROTONOSUPPORT = 10043;
inline constexpr int WSAESOCKTNOSUPPORT = 10044;
inline constexpr int WSAEOPNOTSUPP = 10045;
inline constexpr int WSAEPFNOSUPPORT = 10046;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAENETRESET = 10052;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSASYSNOTREADY = 10091;
inline constexpr int WSAVERNOTSUPPORTED = 10092;
inline constexpr int WSANOTINITIALISED = 10093;
inline constexpr int WSAEDISCON = 10101;
inline constexpr int WSAEINVALIDPROVIDER = 10105;
inline constexpr int WSAEPROVIDERFAILEDINIT = 10106;
inline constexpr int WSATYPE_NOT_FOUND = 10109;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSATRY_AGAIN = 11002;
inline constexpr int WSANO_RECOVERY = 11003;
inline constexpr int WSANO_DATA = 11004;
inline constexpr int EAI_AGAIN = WSATRY_AGAIN;
inline constexpr int EAI_BADFLAGS = WSAEINVAL;
inline constexpr int EAI_FAIL = WSANO_RECOVERY;
inline constexpr int EAI_FAMILY = WSAEAFNOSUPPORT;
inline constexpr int EAI_MEMORY = WSA_NOT_ENOUGH_MEMORY;
inline constexpr int EAI_NONAME = WSAHOST_NOT_FOUND;
inline constexpr int EAI_SERVICE = WSATYPE_NOT_FOUND;
inline constexpr int EAI_SOCKTYPE = WSAESOCKTNOSUPPORT;

extern "C" {

// ---- Start-up ------------------------------------------------------------------------------
// Versions 1.0 to 2.2; a process must start WinSock before any other call
// (WSANOTINITIALISED otherwise) and may start it several times.
int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData);
int WSACleanup();
int WSAGetLastError();  // the thread's last error, as GetLastError
void WSASetLastError(int iError);

// ---- Sockets -------------------------------------------------------------------------------
// A SOCKET is a handle of the process (CloseHandle and completion ports
// take it). Sockets are overlapped ones, as socket() makes them on Windows.
SOCKET socket(int af, int type, int protocol);
SOCKET WSASocketW(int af, int type, int protocol, LPWSAPROTOCOL_INFOW lpProtocolInfo, GROUP g, DWORD dwFlags);
SOCKET WSASocketA(int af, int type, int protocol, void* lpProtocolInfo, GROUP g, DWORD dwFlags);
int closesocket(SOCKET s);
int bind(SOCKET s, const sockaddr* name, int namelen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen);
int connect(SOCKET s, const sockaddr* name, int namelen);
int shutdown(SOCKET s, int how);
int getsockname(SOCKET s, sockaddr* name, int* namelen);
int getpeername(SOCKET s, sockaddr* name, int* namelen);
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int ioctlsocket(SOCKET s, long cmd, u_long* argp);
int WSAIoctl(SOCKET s, DWORD dwIoControlCode, LPVOID lpvInBuffer, DWORD cbInBuffer, LPVOID lpvOutBuffer,
             DWORD cbOutBuffer, LPDWORD lpcbBytesReturned, LPWSAOVERLAPPED lpOverlapped,
             LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine);

// ---- Data ------------------------------------------------------------------------------------
// With an OVERLAPPED the transfer runs in the background: SOCKET_ERROR with
// WSA_IO_PENDING, then the OVERLAPPED's event, the socket and its
// completion port as for a device. Completion routines are not supported
// (WSAEOPNOTSUPP): no APCs are queued on this platform.
int send(SOCKET s, const char* buf, int len, int flags);
int recv(SOCKET s, char* buf, int len, int flags);
int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen);
int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen);
int WSASend(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesSent, DWORD dwFlags,
            LPWSAOVERLAPPED lpOverlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine);
int WSARecv(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesRecvd, LPDWORD lpFlags,
            LPWSAOVERLAPPED lpOverlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine);
BOOL WSAGetOverlappedResult(SOCKET s, LPWSAOVERLAPPED lpOverlapped, LPDWORD lpcbTransfer, BOOL fWait,
                            LPDWORD lpdwFlags);
// At most FD_SETSIZE sockets a set; nfds is ignored, as on Windows.
int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, const timeval* timeout) __asm__("select");

// ---- Other processes ---------------------------------------------------------------------------
// The protocol information carries the socket to the process dwProcessId,
// whose WSASocket(FROM_PROTOCOL_INFO...) takes it; that process must have
// started WinSock (WSAEINVAL otherwise). Sockets the SAN switch carries
// cannot be duplicated (WSAEOPNOTSUPP).
int WSADuplicateSocketW(SOCKET s, DWORD dwProcessId, LPWSAPROTOCOL_INFOW lpProtocolInfo);

// ---- Events ------------------------------------------------------------------------------------
WSAEVENT WSACreateEvent();
BOOL WSACloseEvent(WSAEVENT hEvent);
BOOL WSASetEvent(WSAEVENT hEvent);
BOOL WSAResetEvent(WSAEVENT hEvent);
DWORD WSAWaitForMultipleEvents(DWORD cEvents, const WSAEVENT* lphEvents, BOOL fWaitAll, DWORD dwTimeout,
                               BOOL fAlertable);

// ---- Names and addresses -------------------------------------------------------------------------
u_short htons(u_short hostshort);
u_short ntohs(u_short netshort);
u_long htonl(u_long hostlong);
u_long ntohl(u_long netlong);
// INADDR_NONE for text that is not an address.
unsigned long inet_addr(const char* cp);
// The text, in a buffer of the calling thread.
char* inet_ntoa(in_addr in);
int inet_pton(int Family, const char* pszAddrString, void* pAddrBuf);
const char* inet_ntop(int Family, const void* pAddr, char* pStringBuf, std::size_t StringBufSize);
// Names the system resolves (numeric addresses, "localhost", /etc/hosts,
// DNS); the result list is this library's, freed with freeaddrinfo. The
// error is the WinSock one (EAI_NONAME is WSAHOST_NOT_FOUND).
int getaddrinfo(const char* pNodeName, const char* pServiceName, const addrinfo* pHints, addrinfo** ppResult);
void freeaddrinfo(addrinfo* pAddrInfo);
int getnameinfo(const sockaddr* pSockaddr, int SockaddrLength, char* pNodeBuffer, DWORD NodeBufferSize,
                char* pServiceBuffer, DWORD ServiceBufferSize, int Flags);

// ---- Protocols ---------------------------------------------------------------------------------
// The catalog's entries that are not hidden (WSCEnumProtocols lists all).
int WSAEnumProtocolsW(LPINT lpiProtocols, LPWSAPROTOCOL_INFOW lpProtocolBuffer, LPDWORD lpdwBufferLength);

}  // extern "C"
