// zek_adapter_addrs: the SAN IPv4 addresses of the host stack, read through
// its socket calls (the interface list and the netmask requests).
#include <cstring>

#include "proxy/rdma/hw/pool_ops.h"
#include "proxy/rdma/verbs/verbs.h"
#include "proxy/tcpip/net/if.h"
#include "proxy/tcpip/socket/domain.h"
#include "proxy/tcpip/socket_calls.h"

namespace {

using namespace zektcp;

constexpr std::uint32_t kIfrBufferBytes = 2496;
constexpr std::uint32_t kLoopback = 0x0100007F;  // 127.0.0.1, network order
constexpr std::size_t kNameBytes = IFNAMSIZ;

// An entry of the interface list: its name and its address (a socket
// address of its own length, at least the 16 bytes of a plain one).
struct Entry {
  const char* name;
  const sockaddr* address;
};

// The next entry at `offset` of `length` bytes; false at the end (fewer
// than 32 bytes left, or an entry running past the end).
bool next_entry(const std::uint8_t* buffer, std::int32_t length, std::int32_t* offset, Entry* out) {
  if (length - *offset < static_cast<std::int32_t>(kNameBytes + sizeof(sockaddr))) return false;
  const auto* address = reinterpret_cast<const sockaddr*>(buffer + *offset + kNameBytes);
  const std::int32_t step = static_cast<std::int32_t>(kNameBytes) +
                            std::max<std::int32_t>(address->sa_len, static_cast<std::int32_t>(sizeof(sockaddr)));
  if (*offset + step > length) return false;
  out->name = reinterpret_cast<const char*>(buffer + *offset);
  out->address = address;
  *offset += step;
  return true;
}

std::uint32_t ipv4_of(const sockaddr* address) {
  std::uint32_t v;
  std::memcpy(&v, reinterpret_cast<const std::uint8_t*>(address) + 4, 4);
  return v;
}

void put(ZekVerbsAddress* out, const sockaddr* address) {
  std::memset(out, 0, sizeof *out);
  out->Length = sizeof(ZekVerbsAddress);
  out->Family = ZEK_AF_INET;
  out->Ipv4 = ipv4_of(address);
}

// The netmask (network order) of the entry's own address: an interface with
// several addresses has one mask for each, and the request names the
// address. False when the request fails.
bool netmask_of(int s, const Entry& e, std::uint32_t* mask) {
  ifreq request{};
  std::memcpy(request.ifr_name, e.name, kNameBytes);
  std::memcpy(&request.ifr_ifru.ifru_addr, e.address, sizeof(sockaddr));
  if (sys_ioctl(s, SIOCGIFNETMASK, &request) != 0) return false;
  *mask = ipv4_of(&request.ifr_ifru.ifru_addr);
  return true;
}

}  // namespace

ZekStatus zek_adapter_addrs(ZekVerbsAddress* entries, std::uint32_t* count, const char* address) {
  if (ZekIsBadPointer(entries)) {
    ZEK_LOG_FAILURE("zek_adapter_addrs: Bad pAddrs \n");
    return ZEK_STATUS_BAD_PTR;
  }
  if (ZekIsBadPointer(count) || *count == 0) return ZEK_STATUS_BAD_PTR;
  if (*count > ZEK_VERBS_MAX_ADDRESSES) return ZEK_STATUS_RES_INSUFFICIENT_SW;
  std::uint32_t wanted = 0xFFFFFFFF;
  if (address != nullptr) {
    wanted = sys_inet_addr(address);
    if (wanted == 0xFFFFFFFF) return ZEK_STATUS_FAIL;
  }
  const int s = sys_socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return ZEK_STATUS_FAIL;
  auto* buffer = static_cast<std::uint8_t*>(mifh_allocate_IFR_buffer());
  if (buffer == nullptr) {
    ZEK_LOG_FAILURE("Could not Allocate Memory\n");
    sys_close(s);
    return ZEK_STATUS_FAIL;
  }
  std::memset(buffer, 0, kIfrBufferBytes);
  ifconf list{};
  list.ifc_len = kIfrBufferBytes;
  list.ifc_buf = reinterpret_cast<char*>(buffer);
  ZekStatus status = sys_ioctl(s, SIOC_GET_IFACE_LIST, &list) == 0 ? ZEK_STATUS_PASS : ZEK_STATUS_FAIL;
  const std::int32_t length = std::min<std::int32_t>(list.ifc_len, kIfrBufferBytes);
  std::uint32_t written = 0;
  bool exact = false;
  Entry first{};
  bool have_first = false;
  std::int32_t offset = 0;
  Entry e{};
  // Pass 1: every SAN address, or the exact match.
  while (status == ZEK_STATUS_PASS && next_entry(buffer, length, &offset, &e)) {
    if (e.address->sa_family != AF_INET || ipv4_of(e.address) == kLoopback) continue;
    if (!have_first) {
      first = e;
      have_first = true;
    }
    if (address == nullptr) {
      if (written < *count) put(&entries[written++], e.address);
    } else if (ipv4_of(e.address) == wanted) {
      put(&entries[0], e.address);
      written = 1;
      exact = true;
      break;
    }
  }
  // Pass 2: the addresses on the given address's subnet.
  if (status == ZEK_STATUS_PASS && address != nullptr && !exact) {
    offset = 0;
    while (next_entry(buffer, length, &offset, &e)) {
      if (e.address->sa_family != AF_INET || ipv4_of(e.address) == kLoopback) continue;
      std::uint32_t mask = 0;
      if (!netmask_of(s, e, &mask)) {
        status = ZEK_STATUS_FAIL;
        break;
      }
      if ((ipv4_of(e.address) & mask) == (wanted & mask) && written < *count) put(&entries[written++], e.address);
    }
    // Neither: the list's first address, and the count says one.
    if (status == ZEK_STATUS_PASS && written == 0 && have_first) {
      put(&entries[0], first.address);
      written = 1;
    }
  }
  if (status == ZEK_STATUS_PASS) *count = written;
  mifh_pool_free(MIFH_POOL_IFR, buffer, 0);
  sys_close(s);
  return status;
}
