// Byte order, address text and name resolution. Names are resolved by the
// C library's resolver (found in libc itself: in a WinSock process the
// plain names are this library's), and its answers are given back in
// WinSock's layouts and numbers.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/winsock/internal.h"
#include "platform/winsock/winsock2.h"

namespace {

// glibc's own layout of its resolver's answer.
struct LibcAddrInfo {
  int ai_flags;
  int ai_family;
  int ai_socktype;
  int ai_protocol;
  unsigned ai_addrlen;
  void* ai_addr;
  char* ai_canonname;
  LibcAddrInfo* ai_next;
};
constexpr int kLibcInet6 = 10;

struct Libc {
  int (*getaddrinfo)(const char*, const char*, const LibcAddrInfo*, LibcAddrInfo**) = nullptr;
  void (*freeaddrinfo)(LibcAddrInfo*) = nullptr;
  int (*getnameinfo)(const void*, unsigned, char*, unsigned, char*, unsigned, int) = nullptr;
  int (*inet_pton)(int, const char*, void*) = nullptr;
  const char* (*inet_ntop)(int, const void*, char*, unsigned) = nullptr;
};

const Libc& libc() {
  static const Libc table = [] {
    Libc t;
    void* handle = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) return t;
    t.getaddrinfo = reinterpret_cast<decltype(t.getaddrinfo)>(dlsym(handle, "getaddrinfo"));
    t.freeaddrinfo = reinterpret_cast<decltype(t.freeaddrinfo)>(dlsym(handle, "freeaddrinfo"));
    t.getnameinfo = reinterpret_cast<decltype(t.getnameinfo)>(dlsym(handle, "getnameinfo"));
    t.inet_pton = reinterpret_cast<decltype(t.inet_pton)>(dlsym(handle, "inet_pton"));
    t.inet_ntop = reinterpret_cast<decltype(t.inet_ntop)>(dlsym(handle, "inet_ntop"));
    return t;
  }();
  return table;
}

// The resolver's errors as WinSock's.
int from_eai(int error) {
  switch (error) {
    case 0:
      return 0;
    case -1:
      return EAI_BADFLAGS;
    case -2:
    case -5:
      return EAI_NONAME;
    case -3:
      return EAI_AGAIN;
    case -4:
      return EAI_FAIL;
    case -6:
    case -9:
      return EAI_FAMILY;
    case -7:
      return EAI_SOCKTYPE;
    case -8:
      return EAI_SERVICE;
    case -10:
      return EAI_MEMORY;
    default:
      return EAI_FAIL;
  }
}

// The answers this library handed out, so that a foreign pointer is not freed.
std::mutex& results_mu() {
  static auto* mu = new std::mutex;
  return *mu;
}
std::set<addrinfo*>& results() {
  static auto* s = new std::set<addrinfo*>;
  return *s;
}

// Parses a BSD-style IPv4 address: up to four parts, each decimal, octal
// (leading 0) or hex (leading 0x), the last filling the remaining bytes.
bool parse_ipv4(const char* text, std::uint32_t* out) {
  std::uint32_t parts[4];
  int n = 0;
  const char* p = text;
  for (;;) {
    if (n == 4 || *p == '\0') return false;
    int base = 10;
    if (*p == '0') {
      base = 8;
      if (p[1] == 'x' || p[1] == 'X') {
        base = 16;
        p += 2;
        if (!std::isxdigit(static_cast<unsigned char>(*p))) return false;
      }
    }
    std::uint64_t v = 0;
    const char* start = p;
    while (*p != '\0' && *p != '.') {
      int d;
      if (*p >= '0' && *p <= '9')
        d = *p - '0';
      else if (base == 16 && std::isxdigit(static_cast<unsigned char>(*p)))
        d = std::tolower(*p) - 'a' + 10;
      else
        return false;
      if (d >= base) return false;
      v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
      if (v > 0xFFFFFFFFull) return false;
      ++p;
    }
    if (p == start && base != 8) return false;
    parts[n++] = static_cast<std::uint32_t>(v);
    if (*p == '\0') break;
    ++p;
  }
  std::uint32_t host;
  switch (n) {
    case 1:
      host = parts[0];
      break;
    case 2:
      if (parts[0] > 0xFF || parts[1] > 0xFFFFFF) return false;
      host = parts[0] << 24 | parts[1];
      break;
    case 3:
      if (parts[0] > 0xFF || parts[1] > 0xFF || parts[2] > 0xFFFF) return false;
      host = parts[0] << 24 | parts[1] << 16 | parts[2];
      break;
    default:
      for (int i = 0; i < 4; ++i) {
        if (parts[i] > 0xFF) return false;
      }
      host = parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | parts[3];
  }
  *out = __builtin_bswap32(host);
  return true;
}

}  // namespace

u_short htons(u_short hostshort) { return __builtin_bswap16(hostshort); }
u_short ntohs(u_short netshort) { return __builtin_bswap16(netshort); }
u_long htonl(u_long hostlong) { return __builtin_bswap32(hostlong); }
u_long ntohl(u_long netlong) { return __builtin_bswap32(netlong); }

unsigned long inet_addr(const char* cp) {
  std::uint32_t address;
  if (cp == nullptr || !parse_ipv4(cp, &address)) return INADDR_NONE;
  return address;
}

char* inet_ntoa(in_addr in) {
  thread_local char text[16];
  const auto* b = reinterpret_cast<const unsigned char*>(&in.S_un.S_addr);
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return text;
}

int inet_pton(int Family, const char* pszAddrString, void* pAddrBuf) {
  if (pszAddrString == nullptr || pAddrBuf == nullptr) {
    WSASetLastError(WSAEFAULT);
    return -1;
  }
  if (Family == AF_INET) {
    // Only the four dotted decimal parts here.
    unsigned b[4];
    char extra = 0;
    if (std::sscanf(pszAddrString, "%3u.%3u.%3u.%3u%c", &b[0], &b[1], &b[2], &b[3], &extra) != 4) return 0;
    for (unsigned v : b) {
      if (v > 255) return 0;
    }
    for (const char* p = pszAddrString; *p != '\0'; ++p) {
      if (!(std::isdigit(static_cast<unsigned char>(*p)) || *p == '.')) return 0;
    }
    auto* out = static_cast<unsigned char*>(pAddrBuf);
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(b[i]);
    return 1;
  }
  if (Family == AF_INET6 && libc().inet_pton != nullptr) return libc().inet_pton(kLibcInet6, pszAddrString, pAddrBuf);
  WSASetLastError(WSAEAFNOSUPPORT);
  return -1;
}

const char* inet_ntop(int Family, const void* pAddr, char* pStringBuf, std::size_t StringBufSize) {
  if (pAddr == nullptr || pStringBuf == nullptr) {
    WSASetLastError(WSAEFAULT);
    return nullptr;
  }
  if (Family == AF_INET) {
    char text[16];
    const auto* b = static_cast<const unsigned char*>(pAddr);
    const int n = std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    if (StringBufSize < static_cast<std::size_t>(n) + 1) {
      WSASetLastError(WSA_INVALID_PARAMETER);
      return nullptr;
    }
    std::memcpy(pStringBuf, text, static_cast<std::size_t>(n) + 1);
    return pStringBuf;
  }
  if (Family == AF_INET6 && libc().inet_ntop != nullptr) {
    const char* r = libc().inet_ntop(kLibcInet6, pAddr, pStringBuf, static_cast<unsigned>(StringBufSize));
    if (r == nullptr) WSASetLastError(WSA_INVALID_PARAMETER);
    return r;
  }
  WSASetLastError(WSAEAFNOSUPPORT);
  return nullptr;
}

int getaddrinfo(const char* pNodeName, const char* pServiceName, const addrinfo* pHints, addrinfo** ppResult) {
  if (ppResult == nullptr) {
    WSASetLastError(WSA_INVALID_PARAMETER);
    return WSA_INVALID_PARAMETER;
  }
  *ppResult = nullptr;
  auto give = [](int error) {
    WSASetLastError(error);
    return error;
  };
  if (pNodeName == nullptr && pServiceName == nullptr) return give(EAI_NONAME);
  LibcAddrInfo hints{};
  if (pHints != nullptr) {
    if (pHints->ai_addrlen != 0 || pHints->ai_canonname != nullptr || pHints->ai_addr != nullptr ||
        pHints->ai_next != nullptr) {
      return give(WSAEINVAL);
    }
    if (pHints->ai_flags & ~(AI_PASSIVE | AI_CANONNAME | AI_NUMERICHOST | AI_NUMERICSERV)) return give(EAI_BADFLAGS);
    if (pHints->ai_family != AF_UNSPEC && pHints->ai_family != AF_INET && pHints->ai_family != AF_INET6) {
      return give(EAI_FAMILY);
    }
    hints.ai_flags = (pHints->ai_flags & (AI_PASSIVE | AI_CANONNAME | AI_NUMERICHOST)) |
                     ((pHints->ai_flags & AI_NUMERICSERV) ? 0x400 : 0);  // glibc's AI_NUMERICSERV
    hints.ai_family = pHints->ai_family == AF_INET6 ? kLibcInet6 : pHints->ai_family;
    hints.ai_socktype = pHints->ai_socktype;
    hints.ai_protocol = pHints->ai_protocol;
  }
  if (libc().getaddrinfo == nullptr) return give(EAI_FAIL);
  LibcAddrInfo* answer = nullptr;
  const int error = from_eai(libc().getaddrinfo(pNodeName, pServiceName, &hints, &answer));
  if (error != 0) return give(error);
  addrinfo* head = nullptr;
  addrinfo** tail = &head;
  for (const LibcAddrInfo* a = answer; a != nullptr; a = a->ai_next) {
    const std::size_t name = a->ai_canonname != nullptr ? std::strlen(a->ai_canonname) + 1 : 0;
    auto* block = static_cast<char*>(std::calloc(1, sizeof(addrinfo) + a->ai_addrlen + name));
    if (block == nullptr) break;
    auto* out = reinterpret_cast<addrinfo*>(block);
    out->ai_flags = a->ai_flags;
    out->ai_family = a->ai_family == kLibcInet6 ? AF_INET6 : a->ai_family;
    out->ai_socktype = a->ai_socktype;
    out->ai_protocol = a->ai_protocol;
    out->ai_addrlen = a->ai_addrlen;
    out->ai_addr = reinterpret_cast<sockaddr*>(block + sizeof(addrinfo));
    std::memcpy(out->ai_addr, a->ai_addr, a->ai_addrlen);
    out->ai_addr->sa_family = static_cast<ADDRESS_FAMILY>(out->ai_family);
    if (name != 0) {
      out->ai_canonname = block + sizeof(addrinfo) + a->ai_addrlen;
      std::memcpy(out->ai_canonname, a->ai_canonname, name);
    }
    *tail = out;
    tail = &out->ai_next;
  }
  libc().freeaddrinfo(answer);
  if (head == nullptr) return give(EAI_MEMORY);
  std::lock_guard lock(results_mu());
  results().insert(head);
  *ppResult = head;
  return 0;
}

void freeaddrinfo(addrinfo* pAddrInfo) {
  {
    std::lock_guard lock(results_mu());
    if (results().erase(pAddrInfo) == 0) return;  // not ours to free
  }
  while (pAddrInfo != nullptr) {
    addrinfo* next = pAddrInfo->ai_next;
    std::free(pAddrInfo);
    pAddrInfo = next;
  }
}

int getnameinfo(const sockaddr* pSockaddr, int SockaddrLength, char* pNodeBuffer, DWORD NodeBufferSize,
                char* pServiceBuffer, DWORD ServiceBufferSize, int Flags) {
  auto give = [](int error) {
    WSASetLastError(error);
    return error;
  };
  if (pSockaddr == nullptr || SockaddrLength < static_cast<int>(sizeof(sockaddr_in))) return give(WSAEFAULT);
  if (pNodeBuffer == nullptr && pServiceBuffer == nullptr) return give(EAI_NONAME);
  if (libc().getnameinfo == nullptr) return give(EAI_FAIL);
  plat::ws::Address address;
  address.length = std::min<int>(SockaddrLength, 128);
  std::memcpy(address.bytes.data(), pSockaddr, static_cast<std::size_t>(address.length));
  std::array<std::uint8_t, 128> linux_address;
  unsigned length = 0;
  if (!plat::ws::to_linux(address, &linux_address, &length)) return give(EAI_FAMILY);
  // Windows' NI_ bits as glibc's.
  int flags = 0;
  if (Flags & 0x01) flags |= 4;   // NI_NOFQDN
  if (Flags & 0x02) flags |= 1;   // NI_NUMERICHOST
  if (Flags & 0x04) flags |= 8;   // NI_NAMEREQD
  if (Flags & 0x08) flags |= 2;   // NI_NUMERICSERV
  if (Flags & 0x10) flags |= 16;  // NI_DGRAM
  return give(from_eai(libc().getnameinfo(linux_address.data(), length, pNodeBuffer, NodeBufferSize, pServiceBuffer,
                                          ServiceBufferSize, flags)));
}
