// The socket-call control requests: zeksock's requests (records whose
// pointers are the calling process's addresses) and kernel callers'
// requests (kernel addresses), each turned into one of the host stack's
// socket calls (proxy/tcpip/socket_calls.h), and the kernel socket-call
// table.
//
// A user request never lets the stack near the caller's memory: every
// length, count and pointer in its record is checked against the record's
// own limits (include/zek/sockets.h), the data is copied through kernel
// buffers that the handler owns and frees on every path, and a pointer the
// process cannot back fails the call with EFAULT. A request whose record
// cannot be served at all fails as a request; otherwise the call's result,
// success or error, goes into the record.
#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

#include "include/zek/ioctl.h"
#include "include/zek/sockets.h"
#include "platform/kernel/io/usermem.h"
#include "proxy/core/zpx.h"
#include "proxy/tcpip/bsd_errno.h"
#include "proxy/tcpip/offload.h"
#include "proxy/tcpip/socket_calls.h"

namespace {

using namespace zektcp;

constexpr ULONG kServed = 0;
constexpr ULONG kNotServed = 1;
constexpr ULONG kBadRecord = 2;

// A kernel buffer the handler owns for one call.
class Bounce {
 public:
  explicit Bounce(std::size_t bytes) : bytes_(bytes) {
    if (bytes > 0) data_ = static_cast<std::uint8_t*>(OSPrimMemAllocPtr(static_cast<std::uint32_t>(bytes)));
  }
  ~Bounce() {
    if (data_ != nullptr) OSPrimMemFreePtr(data_);
  }
  Bounce(const Bounce&) = delete;
  Bounce& operator=(const Bounce&) = delete;
  bool ok() const { return bytes_ == 0 || data_ != nullptr; }
  std::uint8_t* data() const { return data_; }
  std::size_t size() const { return bytes_; }

 private:
  std::size_t bytes_;
  std::uint8_t* data_ = nullptr;
};

// A kernel buffer for a call's data. Buffers of a transfer chunk are kept
// for the next call (at most ZEK_TRANSFER_BUFFERS_KEPT of them) instead of
// being allocated and cleared for every request: a receive that takes a
// few segments otherwise pays for clearing a whole chunk. Their old
// contents never leave the kernel: a send copies in exactly the bytes it
// sends, a receive copies out exactly the bytes it received.
class TransferBuffer {
 public:
  explicit TransferBuffer(std::size_t bytes) : bytes_(bytes) {
    if (bytes == 0) return;
    if (bytes > ZEK_TRANSFER_CHUNK) return;  // never asked for; fails ok()
    data_ = take();
  }
  ~TransferBuffer() {
    if (data_ != nullptr) give_back(data_);
  }
  TransferBuffer(const TransferBuffer&) = delete;
  TransferBuffer& operator=(const TransferBuffer&) = delete;
  bool ok() const { return bytes_ == 0 || data_ != nullptr; }
  std::uint8_t* data() const { return data_; }
  std::size_t size() const { return bytes_; }

  // Frees the kept buffers (the driver's unload).
  static void release_kept() {
    for (;;) {
      std::uint8_t* block = nullptr;
      {
        Guard guard;
        if (kept_count_ > 0) block = kept_[--kept_count_];
      }
      if (block == nullptr) return;
      OSPrimMemFreePtr(block);
    }
  }

 private:
  struct Guard {
    Guard() { KeAcquireSpinLock(&lock_, &irql_); }
    ~Guard() { KeReleaseSpinLock(&lock_, irql_); }
    KIRQL irql_;
  };

  static std::uint8_t* take() {
    {
      Guard guard;
      if (kept_count_ > 0) return kept_[--kept_count_];
    }
    return static_cast<std::uint8_t*>(OSPrimMemAllocPtr(ZEK_TRANSFER_CHUNK));
  }

  static void give_back(std::uint8_t* block) {
    {
      Guard guard;
      if (kept_count_ < ZEK_TRANSFER_BUFFERS_KEPT) {
        kept_[kept_count_++] = block;
        return;
      }
    }
    OSPrimMemFreePtr(block);
  }

  static inline KSPIN_LOCK lock_ = 0;
  static inline std::uint8_t* kept_[ZEK_TRANSFER_BUFFERS_KEPT] = {};
  static inline std::uint32_t kept_count_ = 0;

  std::size_t bytes_;
  std::uint8_t* data_ = nullptr;
};

void* user(std::uint64_t address) { return reinterpret_cast<void*>(address); }

bool copy_in(void* to, std::uint64_t from, std::size_t bytes) {
  if (bytes == 0) return true;
  if (from == 0) return false;
  return NT_SUCCESS(PlatCopyFromUser(to, user(from), bytes));
}

bool copy_out(std::uint64_t to, const void* from, std::size_t bytes) {
  if (bytes == 0) return true;
  if (to == 0) return false;
  return NT_SUCCESS(PlatCopyToUser(user(to), from, bytes));
}

// Whether the caller can take `bytes` at `to` (checked before data is
// consumed from a socket, so that a bad buffer loses nothing).
bool writable(std::uint64_t to, std::size_t bytes) {
  if (to == 0) return false;
  try {
    ProbeForWrite(user(to), bytes, 1);
    return true;
  } catch (const plat::SehException&) {
    return false;
  }
}

int as_int(std::uint64_t socket) {
  return socket > static_cast<std::uint64_t>(INT_MAX) ? -1 : static_cast<int>(socket);
}

// ---- Data transfers ----------------------------------------------------------------------------------
// A receive of at most one chunk into the caller's buffer.
int receive_into(int s, std::uint64_t data, std::int32_t length, int flags, void* from, int* fromlen) {
  const std::size_t bytes = std::min<std::size_t>(static_cast<std::size_t>(length), ZEK_TRANSFER_CHUNK);
  if (!writable(data, bytes)) return -BSD_EFAULT;
  TransferBuffer buffer(bytes);
  if (!buffer.ok()) return -BSD_ENOBUFS;
  const int moved = from != nullptr ? sys_recvfrom(s, buffer.data(), static_cast<int>(bytes), flags, from, fromlen)
                                    : sys_recv(s, buffer.data(), static_cast<int>(bytes), flags);
  if (moved > 0 && !copy_out(data, buffer.data(), static_cast<std::size_t>(moved))) return -BSD_EFAULT;
  return moved;
}

// A send from the caller's buffer, chunk by chunk; a chunk that goes short
// or fails ends it (bytes already sent are reported).
int send_from(int s, std::uint64_t data, std::int32_t length, int flags) {
  TransferBuffer buffer(std::min<std::size_t>(static_cast<std::size_t>(length), ZEK_TRANSFER_CHUNK));
  if (!buffer.ok()) return -BSD_ENOBUFS;
  std::int64_t sent = 0;
  while (sent < length) {
    const std::size_t bytes = std::min<std::size_t>(static_cast<std::size_t>(length - sent), buffer.size());
    if (!copy_in(buffer.data(), data + static_cast<std::uint64_t>(sent), bytes)) {
      return sent > 0 ? static_cast<int>(sent) : -BSD_EFAULT;
    }
    const int n = sys_send(s, buffer.data(), static_cast<int>(bytes), flags);
    if (n < 0) return sent > 0 ? static_cast<int>(sent) : n;
    sent += n;
    if (static_cast<std::size_t>(n) < bytes) break;
  }
  return static_cast<int>(sent);
}

// ---- User records -------------------------------------------------------------------------------------
// An offloaded connection's bytes go straight between the caller's buffer
// (mapped and probed by the offloaded call) and the adapter; short ones
// through the record's inline bytes.
int offloaded_transfer(int s, ZekTransferRecord* r, bool receive) {
  const auto length = static_cast<std::uint32_t>(r->Length);
  const bool in_line = length <= ZEK_INLINE_DATA;
  void* user = reinterpret_cast<void*>(static_cast<std::uintptr_t>(r->Data));
  if (receive) return zektcp::OffLoadRecv(s, in_line ? r->Inline : user, length, r->Flags, in_line ? 0 : 1);
  return zektcp::OffLoadSend(s, in_line ? r->Inline : user, length, r->Flags, in_line ? 0 : 1);
}

ULONG user_recv(ZekTransferRecord* r) {
  if (r->Length <= 0) {
    ZEK_LOG_FAILURE("ZEKPROXY: Buffer length error\n");
    return static_cast<ULONG>(STATUS_INVALID_PARAMETER);
  }
  const int s = as_int(r->Socket);
  if (zektcp::IsSocketOffloaded(s) != 0) {
    r->Result = offloaded_transfer(s, r, true);
  } else if (static_cast<std::uint32_t>(r->Length) <= ZEK_INLINE_DATA) {
    r->Result = sys_recv(s, r->Inline, r->Length, r->Flags);
  } else {
    r->Result = receive_into(s, r->Data, r->Length, r->Flags, nullptr, nullptr);
    if (r->Result == -BSD_EFAULT) ZEK_LOG_FAILURE("ZEKPROXY:IOCTL_ZEK_RECV_USER map failed %xh\n", r->Result);
  }
  return kServed;
}

ULONG user_send(ZekTransferRecord* r) {
  if (r->Length < 0) return static_cast<ULONG>(STATUS_INVALID_PARAMETER);
  if (r->Length == 0) return kServed;
  const int s = as_int(r->Socket);
  if (zektcp::IsSocketOffloaded(s) != 0) {
    r->Result = offloaded_transfer(s, r, false);
    return kServed;
  }
  r->Result = static_cast<std::uint32_t>(r->Length) <= ZEK_INLINE_DATA ? sys_send(s, r->Inline, r->Length, r->Flags)
                                                                       : send_from(s, r->Data, r->Length, r->Flags);
  return kServed;
}

ULONG user_recvfrom(ZekRecvFromRecord* r) {
  if (r->Length <= 0) {
    ZEK_LOG_FAILURE("ZEKPROXY: Buffer length error\n");
    return static_cast<ULONG>(STATUS_INVALID_PARAMETER);
  }
  std::uint8_t address[16] = {};  // an IPv4 socket address
  std::uint32_t length = 0;
  const bool want_address = r->Address != 0 && r->AddressLength != 0;
  if (want_address && !copy_in(&length, r->AddressLength, sizeof(length))) {
    ZEK_LOG_FAILURE("ZEKPROXY:IOCTL_ZEK_RECVFROM_USER map2 failed %xh\n", BSD_EFAULT);
    r->Result = -BSD_EFAULT;
    return kServed;
  }
  int address_length = static_cast<int>(std::min<std::uint32_t>(length, sizeof(address)));
  r->Result = receive_into(as_int(r->Socket), r->Data, r->Length, r->Flags, want_address ? address : nullptr,
                           want_address ? &address_length : nullptr);
  if (r->Result >= 0 && want_address) {
    const auto out_length = static_cast<std::uint32_t>(address_length);
    if (!copy_out(r->Address, address, out_length) || !copy_out(r->AddressLength, &out_length, sizeof(out_length))) {
      ZEK_LOG_FAILURE("ZEKPROXY:IOCTL_ZEK_RECVFROM_USER map1 failed %xh\n", BSD_EFAULT);
      r->Result = -BSD_EFAULT;
    }
  }
  return kServed;
}

ULONG user_sendto(ZekSendToRecord* r) {
  if (r->Length < 0) return static_cast<ULONG>(STATUS_INVALID_PARAMETER);
  if (r->Length == 0) return kServed;
  if (static_cast<std::uint32_t>(r->Length) > ZEK_TRANSFER_CHUNK) {
    r->Result = -BSD_EMSGSIZE;
    return kServed;
  }
  std::uint8_t address[ZEK_SOCKADDR_AREA] = {};
  const void* to = nullptr;
  if (r->Address != 0) {
    if (r->AddressLength < 0 || static_cast<std::uint32_t>(r->AddressLength) > ZEK_SOCKADDR_MAX) {
      r->Result = r->AddressLength < 0 ? -BSD_EINVAL : -BSD_ENAMETOOLONG;
      return kServed;
    }
    if (!copy_in(address, r->Address, static_cast<std::size_t>(r->AddressLength))) {
      ZEK_LOG_FAILURE("ZEKPROXY:IOCTL_ZEK_SENDTO_USER map1 failed %xh\n", BSD_EFAULT);
      r->Result = -BSD_EFAULT;
      return kServed;
    }
    to = address;
  }
  TransferBuffer buffer(static_cast<std::size_t>(r->Length));
  if (!buffer.ok()) {
    r->Result = -BSD_ENOBUFS;
  } else if (!copy_in(buffer.data(), r->Data, buffer.size())) {
    ZEK_LOG_FAILURE("ZEKPROXY:IOCTL_ZEK_SENDTO_USER map failed %xh\n", BSD_EFAULT);
    r->Result = -BSD_EFAULT;
  } else {
    r->Result = sys_sendto(as_int(r->Socket), buffer.data(), r->Length, r->Flags, to, r->AddressLength);
  }
  return kServed;
}

// A message call: the header, its vector and its name come in through
// kernel copies; the data travels through one kernel buffer.
struct UserMessage {
  ZekMsgHdr header{};
  std::unique_ptr<Bounce> vector;  // the caller's vector, copied
  ZekIovec* iov = nullptr;
  std::uint8_t name[ZEK_SOCKADDR_AREA] = {};
  std::size_t total = 0;

  // 0, or the error the call fails with.
  int load(std::uint64_t message) {
    if (!copy_in(&header, message, sizeof(header))) return BSD_EFAULT;
    if (header.IovCount < 0 || header.IovCount > ZEK_MSG_IOV_MAX) return BSD_EMSGSIZE;
    if (header.NameLength > ZEK_SOCKADDR_MAX) return BSD_ENAMETOOLONG;
    if (header.IovCount > 0) {
      const std::size_t bytes = sizeof(ZekIovec) * static_cast<std::size_t>(header.IovCount);
      vector = std::make_unique<Bounce>(bytes);
      if (!vector->ok()) return BSD_ENOBUFS;
      iov = reinterpret_cast<ZekIovec*>(vector->data());
      if (!copy_in(iov, header.Iov, bytes)) return BSD_EFAULT;
    }
    for (int i = 0; i < header.IovCount; ++i) {
      if (iov[i].Length > INT_MAX) return BSD_EINVAL;
      total += iov[i].Length;
      if (total > INT_MAX) return BSD_EINVAL;
    }
    return 0;
  }
};

ULONG user_sendmsg(ZekMsgRecord* r) {
  UserMessage m;
  int error = m.load(r->Message);
  if (error == 0 && m.header.ControlLength != 0) error = BSD_EOPNOTSUPP;
  if (error == 0 && m.total > ZEK_TRANSFER_CHUNK) error = BSD_EMSGSIZE;
  if (error == 0 && m.header.NameLength != 0 && !copy_in(m.name, m.header.Name, m.header.NameLength)) {
    error = BSD_EFAULT;
  }
  TransferBuffer buffer(error == 0 ? m.total : 0);
  if (error == 0 && !buffer.ok()) error = BSD_ENOBUFS;
  std::size_t at = 0;
  for (int i = 0; error == 0 && i < m.header.IovCount; ++i) {
    if (!copy_in(buffer.data() + at, m.iov[i].Base, m.iov[i].Length)) error = BSD_EFAULT;
    at += m.iov[i].Length;
  }
  if (error != 0) {
    if (error == BSD_EFAULT) ZEK_LOG_FAILURE("ZEKPROXY:ZpxMsgHdrMapper failed\n");
    r->Result = -error;
    return kServed;
  }
  ZekIovec one{reinterpret_cast<std::uint64_t>(buffer.data()), m.total};
  ZekMsgHdr kernel{};
  kernel.Name = m.header.NameLength != 0 ? reinterpret_cast<std::uint64_t>(m.name) : 0;
  kernel.NameLength = m.header.NameLength;
  kernel.Iov = reinterpret_cast<std::uint64_t>(&one);
  kernel.IovCount = 1;
  r->Result = sys_sendmsg(as_int(r->Socket), &kernel, r->Flags);
  return kServed;
}

ULONG user_recvmsg(ZekMsgRecord* r) {
  UserMessage m;
  int error = m.load(r->Message);
  const std::size_t bytes = std::min<std::size_t>(m.total, ZEK_TRANSFER_CHUNK);
  // Every buffer the data may land in must be the caller's to write.
  std::size_t left = bytes;
  for (int i = 0; error == 0 && i < m.header.IovCount && left > 0; ++i) {
    const std::size_t part = std::min<std::size_t>(left, m.iov[i].Length);
    if (part > 0 && !writable(m.iov[i].Base, part)) error = BSD_EFAULT;
    left -= part;
  }
  if (error == 0 && m.header.NameLength != 0 && !writable(m.header.Name, m.header.NameLength)) error = BSD_EFAULT;
  TransferBuffer buffer(error == 0 ? bytes : 0);
  if (error == 0 && !buffer.ok()) error = BSD_ENOBUFS;
  if (error != 0) {
    if (error == BSD_EFAULT) ZEK_LOG_FAILURE("ZEKPROXY:ZpxMsgHdrMapper failed\n");
    r->Result = -error;
    return kServed;
  }
  ZekIovec one{reinterpret_cast<std::uint64_t>(buffer.data()), bytes};
  ZekMsgHdr kernel{};
  kernel.Name = m.header.NameLength != 0 ? reinterpret_cast<std::uint64_t>(m.name) : 0;
  kernel.NameLength = m.header.NameLength;
  kernel.Iov = reinterpret_cast<std::uint64_t>(&one);
  kernel.IovCount = 1;
  const int moved = sys_recvmsg(as_int(r->Socket), &kernel, r->Flags);
  r->Result = moved;
  if (moved < 0) return kServed;
  std::size_t at = 0;
  for (int i = 0; i < m.header.IovCount && at < static_cast<std::size_t>(moved); ++i) {
    const std::size_t part = std::min<std::size_t>(static_cast<std::size_t>(moved) - at, m.iov[i].Length);
    if (!copy_out(m.iov[i].Base, buffer.data() + at, part)) r->Result = -BSD_EFAULT;
    at += part;
  }
  m.header.NameLength = kernel.NameLength;
  m.header.ControlLength = 0;
  m.header.Flags = kernel.Flags;
  if ((kernel.NameLength != 0 && !copy_out(m.header.Name, m.name, kernel.NameLength)) ||
      !copy_out(r->Message, &m.header, sizeof(m.header))) {
    r->Result = -BSD_EFAULT;
  }
  return kServed;
}

ULONG user_read(ZekReadWriteRecord* r) {
  if (r->Length <= 0) return static_cast<ULONG>(STATUS_INVALID_PARAMETER);
  const int s = as_int(r->Socket);
  void* user = reinterpret_cast<void*>(static_cast<std::uintptr_t>(r->Data));
  r->Result = zektcp::IsSocketOffloaded(s) != 0
                  ? zektcp::OffLoadRecv(s, user, static_cast<std::uint32_t>(r->Length), 0, 1)
                  : receive_into(s, r->Data, r->Length, 0, nullptr, nullptr);
  if (r->Result < 0) ZEK_LOG_FAILURE("ZEKPROXY:IOCTL_ZEK_READ_USER recv failed %xh\n", r->Result);
  return kServed;
}

ULONG user_write(ZekReadWriteRecord* r) {
  if (r->Length < 0) return static_cast<ULONG>(STATUS_INVALID_PARAMETER);
  const int s = as_int(r->Socket);
  const void* user = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(r->Data));
  if (r->Length > 0) {
    r->Result = zektcp::IsSocketOffloaded(s) != 0
                    ? zektcp::OffLoadSend(s, user, static_cast<std::uint32_t>(r->Length), 0, 1)
                    : send_from(s, r->Data, r->Length, 0);
  }
  return kServed;
}

// The interface requests a process may make: flat records only (the
// interface list, whose buffer pointer is handled here, is the one record
// with a pointer that is served).
bool user_ioctl_allowed(std::uint32_t request) {
  constexpr std::uint32_t kListClones = 0xC0106978;
  constexpr std::uint32_t kMediaStatus = 0xC331693B;
  if (request == kListClones || request == kMediaStatus) return false;
  const std::uint32_t bytes = ZekIoctlArgumentBytes(request);
  return bytes == 0 || bytes == 4 || bytes == 32 || bytes == 64;
}

ULONG user_ioctl(ZekIoctlCallRecord* r) {
  const int s = as_int(r->Socket);
  if (r->Request == ZEK_SIOCGIFCONF) {
    ZekIfconf conf{};
    if (!copy_in(&conf, r->Argument, sizeof(conf))) {
      r->Result = -BSD_EFAULT;
      return kServed;
    }
    if (conf.Length < 0) {
      r->Result = -BSD_EINVAL;
      return kServed;
    }
    Bounce buffer(std::min<std::size_t>(static_cast<std::size_t>(conf.Length), ZEK_IFCONF_MAX));
    if (!buffer.ok()) {
      r->Result = -BSD_ENOBUFS;
      return kServed;
    }
    struct {
      std::int32_t length;
      char* buffer;
    } kernel{static_cast<std::int32_t>(buffer.size()), reinterpret_cast<char*>(buffer.data())};
    static_assert(sizeof(kernel) == sizeof(ZekIfconf));
    r->Result = sys_ioctl(s, r->Request, &kernel);
    if (r->Result >= 0) {
      conf.Length = kernel.length;
      if (!copy_out(conf.Buffer, buffer.data(), static_cast<std::size_t>(kernel.length)) ||
          !copy_out(r->Argument, &conf, sizeof(conf))) {
        r->Result = -BSD_EFAULT;
      }
    }
    return kServed;
  }
  if (!user_ioctl_allowed(r->Request)) {
    r->Result = -BSD_EOPNOTSUPP;
    return kServed;
  }
  const std::uint32_t bytes = ZekIoctlArgumentBytes(r->Request);
  std::uint8_t argument[64] = {};
  if (bytes > 0 && !copy_in(argument, r->Argument, bytes)) {
    r->Result = -BSD_EFAULT;
    return kServed;
  }
  r->Result = IoctlOrToeState(s, r->Request, bytes > 0 ? argument : nullptr);
  constexpr std::uint32_t kOut = 0x40000000;
  if (r->Result >= 0 && bytes > 0 && (r->Request & kOut) && !copy_out(r->Argument, argument, bytes)) {
    r->Result = -BSD_EFAULT;
  }
  return kServed;
}

ULONG user_select(ZekSelectRecord* r) {
  if (r->Count < 0 || r->Count > ZEK_SELECT_MAX) {
    r->Result = -BSD_EINVAL;
    return kServed;
  }
  const std::size_t bytes = ZekSelectSetBytes(r->Count);
  const std::uint64_t pointers[3] = {r->ReadSet, r->WriteSet, r->ExceptSet};
  Bounce sets(bytes * 3);
  if (!sets.ok()) {
    r->Result = -BSD_ENOBUFS;
    return kServed;
  }
  std::uint8_t* kernel[3] = {};
  for (int i = 0; i < 3; ++i) {
    if (pointers[i] == 0) continue;
    kernel[i] = sets.data() + bytes * static_cast<std::size_t>(i);
    if (!copy_in(kernel[i], pointers[i], bytes)) {
      r->Result = -BSD_EFAULT;
      return kServed;
    }
  }
  ZekTimeval timeout{};
  if (r->Timeout != 0 && !copy_in(&timeout, r->Timeout, sizeof(timeout))) {
    r->Result = -BSD_EFAULT;
    return kServed;
  }
  r->Result = sys_select(r->Count, kernel[0], kernel[1], kernel[2], r->Timeout != 0 ? &timeout : nullptr);
  for (int i = 0; i < 3 && r->Result >= 0; ++i) {
    if (kernel[i] != nullptr && !copy_out(pointers[i], kernel[i], bytes)) r->Result = -BSD_EFAULT;
  }
  return kServed;
}

ULONG user_poll(ZekPollRecord* r) {
  if (r->Count < 0 || r->Count > ZEK_POLL_MAX) {
    r->Result = -BSD_EINVAL;
    return kServed;
  }
  const std::size_t bytes = sizeof(ZekPollFd) * static_cast<std::size_t>(r->Count);
  Bounce entries(bytes);
  if (!entries.ok()) {
    r->Result = -BSD_ENOBUFS;
    return kServed;
  }
  auto* kernel = reinterpret_cast<ZekPollFd*>(entries.data());
  if (!copy_in(kernel, r->Entries, bytes)) {
    r->Result = -BSD_EFAULT;
    return kServed;
  }
  r->Result = sys_poll(kernel, r->Count, r->Timeout);
  if (r->Result >= 0 && !copy_out(r->Entries, kernel, bytes)) r->Result = -BSD_EFAULT;
  return kServed;
}

ULONG user_tcp_stats(ZekTcpStatsRecord* r) {
  std::uint8_t block[ZEK_TCP_STATS_BYTES];
  tcp_stats_block(block);
  if (!copy_out(r->Buffer, block, std::min<std::size_t>(r->BufferLength, sizeof(block)))) {
    ZEK_LOG_FAILURE("ZEKPROXY:IOCTL_TCP_GET_STATS map failed %xh\n", static_cast<unsigned>(STATUS_ACCESS_VIOLATION));
    return static_cast<ULONG>(STATUS_ACCESS_VIOLATION);
  }
  return kServed;
}

ULONG user_socketpair(ZekSocketPairRecord* r) {
  int pair[2] = {-1, -1};
  const int result = sys_socketpair(r->Domain, r->Type, r->Protocol, pair);
  if (result < 0) return static_cast<ULONG>(STATUS_UNSUCCESSFUL);
  if (!copy_out(r->Pair, pair, sizeof(pair))) {
    sys_close(pair[0]);
    sys_close(pair[1]);
    r->Result = -BSD_EFAULT;
    return kServed;
  }
  r->Result = 0;
  return kServed;
}

ULONG user_handler(void* record, ULONG code, ULONG_PTR* bytes) {
  const ZekIoctlInfo* info = ZekIoctlLookup(code);
  ULONG served = kServed;
  switch (code) {
    case IOCTL_ZEK_SOCKETPAIR_USER:
      served = user_socketpair(static_cast<ZekSocketPairRecord*>(record));
      break;
    case IOCTL_ZEK_SOCKET_USER: {
      auto* r = static_cast<ZekSocketRecord*>(record);
      r->Result = sys_socket(r->Domain, r->Type, r->Protocol);
      r->Zero = 0;
      break;
    }
    case IOCTL_ZEK_BIND_USER:
    case IOCTL_ZEK_CONNECT_USER: {
      auto* r = static_cast<ZekAddressRecord*>(record);
      const int length =
          r->Length > ZEK_SOCKADDR_AREA ? static_cast<int>(ZEK_SOCKADDR_AREA) : static_cast<int>(r->Length);
      r->Result = code == IOCTL_ZEK_BIND_USER ? sys_bind(as_int(r->Socket), r->Address, length)
                                              : sys_connect(as_int(r->Socket), r->Address, length);
      break;
    }
    case IOCTL_ZEK_LISTEN_USER: {
      auto* r = static_cast<ZekSocketIntRecord*>(record);
      r->Result = sys_listen(as_int(r->Socket), r->Value);
      break;
    }
    case IOCTL_ZEK_SHUTDOWN_USER: {
      auto* r = static_cast<ZekSocketIntRecord*>(record);
      r->Result = ShutdownOrOffLoadShutdown(as_int(r->Socket), r->Value);
      break;
    }
    case IOCTL_ZEK_ACCEPT_USER: {
      auto* r = static_cast<ZekAcceptRecord*>(record);
      int length = static_cast<int>(std::min<std::uint32_t>(r->Length, ZEK_SOCKADDR_AREA));
      r->Result = sys_accept(as_int(r->Socket), r->Address, &length);
      r->Length = r->Result >= 0 ? static_cast<std::uint32_t>(length) : 0;
      break;
    }
    case IOCTL_ZEK_GETSOCKETNAME_USER:
    case IOCTL_ZEK_GETPEERNAME_USER: {
      auto* r = static_cast<ZekNameRecord*>(record);
      int length = static_cast<int>(std::min<std::uint32_t>(r->Length, sizeof(r->Address)));
      r->Result = code == IOCTL_ZEK_GETSOCKETNAME_USER ? sys_getsockname(as_int(r->Socket), r->Address, &length)
                                                       : sys_getpeername(as_int(r->Socket), r->Address, &length);
      r->Length = r->Result >= 0 ? static_cast<std::uint32_t>(length) : 0;
      break;
    }
    case IOCTL_ZEK_RECV_USER:
      served = user_recv(static_cast<ZekTransferRecord*>(record));
      break;
    case IOCTL_ZEK_SEND_USER:
      served = user_send(static_cast<ZekTransferRecord*>(record));
      break;
    case IOCTL_ZEK_RECVFROM_USER:
      served = user_recvfrom(static_cast<ZekRecvFromRecord*>(record));
      break;
    case IOCTL_ZEK_SENDTO_USER:
      served = user_sendto(static_cast<ZekSendToRecord*>(record));
      break;
    case IOCTL_ZEK_RECVMSG_USER:
      served = user_recvmsg(static_cast<ZekMsgRecord*>(record));
      break;
    case IOCTL_ZEK_SENDMSG_USER:
      served = user_sendmsg(static_cast<ZekMsgRecord*>(record));
      break;
    case IOCTL_ZEK_GETSOCKOPT_USER: {
      auto* r = static_cast<ZekOptionRecord*>(record);
      int length = static_cast<int>(std::min<std::uint32_t>(r->Length, ZEK_INLINE_OPTION));
      r->Result = sys_getsockopt(as_int(r->Socket), r->Level, r->Name, r->Value, &length);
      r->Length = r->Result >= 0 ? static_cast<std::uint32_t>(length) : 0;
      break;
    }
    case IOCTL_ZEK_SETSOCKOPT_USER: {
      auto* r = static_cast<ZekOptionRecord*>(record);
      r->Result = r->Length > ZEK_INLINE_OPTION
                      ? -BSD_EINVAL
                      : sys_setsocketopt(as_int(r->Socket), r->Level, r->Name, r->Value, static_cast<int>(r->Length));
      break;
    }
    case IOCTL_ZEK_READ_USER:
      served = user_read(static_cast<ZekReadWriteRecord*>(record));
      break;
    case IOCTL_ZEK_WRITE_USER:
      served = user_write(static_cast<ZekReadWriteRecord*>(record));
      break;
    case IOCTL_ZEK_IOCTL_USER:
      served = user_ioctl(static_cast<ZekIoctlCallRecord*>(record));
      break;
    case IOCTL_ZEK_FCNTL_USER: {
      auto* r = static_cast<ZekFcntlRecord*>(record);
      r->Result = sys_fcntl_com(as_int(r->Socket), r->Command, r->Argument);
      break;
    }
    case IOCTL_ZEK_SELECT_USER:
      served = user_select(static_cast<ZekSelectRecord*>(record));
      break;
    case IOCTL_ZEK_POLL_USER:
      served = user_poll(static_cast<ZekPollRecord*>(record));
      break;
    case IOCTL_ZEK_CLOSE_USER: {
      auto* r = static_cast<ZekCloseRecord*>(record);
      r->Result = sys_close(as_int(r->Socket));
      break;
    }
    case IOCTL_TCP_GET_STATS:
      served = user_tcp_stats(static_cast<ZekTcpStatsRecord*>(record));
      break;
    case IOCTL_ZEK_TCPIP_008: {
      auto* r = static_cast<ZekInterfaceEntryRecord*>(record);
      r->LinkLength = 0;
      interface_entry(r->Index, r);
      break;
    }
    case IOCTL_ZEK_USER_DUP: {
      auto* r = static_cast<ZekCloseRecord*>(record);
      r->Result = sys_dup(as_int(r->Socket));
      break;
    }
    case IOCTL_ZEK_USER_DUP2: {
      auto* r = static_cast<ZekDup2Record*>(record);
      r->Result =
          r->Target > static_cast<std::uint64_t>(INT_MAX) ? -BSD_EBADF : sys_dup2(as_int(r->Socket), as_int(r->Target));
      break;
    }
    default:
      return kNotServed;
  }
  if (served == kServed && info != nullptr) *bytes = info->record_bytes;
  return served;
}

// ---- Kernel records -----------------------------------------------------------------------------------
template <typename T>
T* kernel_pointer(std::uint64_t address) {
  return reinterpret_cast<T*>(address);
}

ULONG kernel_handler(void* record, ULONG code, ULONG_PTR* bytes) {
  const ZekIoctlInfo* info = ZekIoctlLookup(code);
  switch (code) {
    case IOCTL_ZEK_SOCKETPAIR_KERNEL: {
      auto* r = static_cast<ZekSocketPairRecord*>(record);
      r->Result = sys_socketpair(r->Domain, r->Type, r->Protocol, kernel_pointer<int>(r->Pair));
      break;
    }
    case IOCTL_ZEK_SOCKET_KERNEL: {
      auto* r = static_cast<ZekSocketRecord*>(record);
      r->Result = sys_socket(r->Domain, r->Type, r->Protocol);
      r->Zero = 0;
      break;
    }
    case IOCTL_ZEK_BIND_KERNEL:
    case IOCTL_ZEK_CONNECT_KERNEL: {
      auto* r = static_cast<ZekAddressRecord*>(record);
      const int length =
          r->Length > ZEK_SOCKADDR_AREA ? static_cast<int>(ZEK_SOCKADDR_AREA) : static_cast<int>(r->Length);
      r->Result = code == IOCTL_ZEK_BIND_KERNEL ? sys_bind(as_int(r->Socket), r->Address, length)
                                                : sys_connect(as_int(r->Socket), r->Address, length);
      break;
    }
    case IOCTL_ZEK_LISTEN_KERNEL: {
      auto* r = static_cast<ZekSocketIntRecord*>(record);
      r->Result = sys_listen(as_int(r->Socket), r->Value);
      break;
    }
    case IOCTL_ZEK_SHUTDOWN_KERNEL: {
      auto* r = static_cast<ZekSocketIntRecord*>(record);
      r->Result = ShutdownOrOffLoadShutdown(as_int(r->Socket), r->Value);
      break;
    }
    case IOCTL_ZEK_ACCEPT_KERNEL: {
      auto* r = static_cast<ZekAcceptRecord*>(record);
      int length = static_cast<int>(std::min<std::uint32_t>(r->Length, ZEK_SOCKADDR_AREA));
      r->Result = sys_accept(as_int(r->Socket), r->Address, &length);
      r->Length = static_cast<std::uint32_t>(std::max(length, 0));
      break;
    }
    case IOCTL_ZEK_GETSOCKETNAME_KERNEL:
    case IOCTL_ZEK_GETPEERNAME_KERNEL: {
      auto* r = static_cast<ZekNameRecord*>(record);
      int length = static_cast<int>(std::min<std::uint32_t>(r->Length, sizeof(r->Address)));
      r->Result = code == IOCTL_ZEK_GETSOCKETNAME_KERNEL ? sys_getsockname(as_int(r->Socket), r->Address, &length)
                                                         : sys_getpeername(as_int(r->Socket), r->Address, &length);
      r->Length = static_cast<std::uint32_t>(std::max(length, 0));
      break;
    }
    case IOCTL_ZEK_RECV_KERNEL:
    case IOCTL_ZEK_SEND_KERNEL: {
      auto* r = static_cast<ZekTransferRecord*>(record);
      void* data = r->Data != 0 ? kernel_pointer<void>(r->Data) : r->Inline;
      if (r->Data == 0 && static_cast<std::uint32_t>(r->Length) > ZEK_INLINE_DATA) return kBadRecord;
      r->Result = code == IOCTL_ZEK_RECV_KERNEL ? RecvOrOffLoadRecv(as_int(r->Socket), data, r->Length, r->Flags)
                                                : SendOrOffLoadSend(as_int(r->Socket), data, r->Length, r->Flags);
      break;
    }
    case IOCTL_ZEK_RECVFROM_KERNEL: {
      auto* r = static_cast<ZekRecvFromRecord*>(record);
      r->Result = sys_recvfrom(as_int(r->Socket), kernel_pointer<void>(r->Data), r->Length, r->Flags,
                               kernel_pointer<void>(r->Address), kernel_pointer<int>(r->AddressLength));
      break;
    }
    case IOCTL_ZEK_SENDTO_KERNEL: {
      auto* r = static_cast<ZekSendToRecord*>(record);
      r->Result = sys_sendto(as_int(r->Socket), kernel_pointer<void>(r->Data), r->Length, r->Flags,
                             kernel_pointer<void>(r->Address), r->AddressLength);
      break;
    }
    case IOCTL_ZEK_RECVMSG_KERNEL:
    case IOCTL_ZEK_SENDMSG_KERNEL: {
      auto* r = static_cast<ZekMsgRecord*>(record);
      r->Result = code == IOCTL_ZEK_RECVMSG_KERNEL
                      ? sys_recvmsg(as_int(r->Socket), kernel_pointer<ZekMsgHdr>(r->Message), r->Flags)
                      : sys_sendmsg(as_int(r->Socket), kernel_pointer<ZekMsgHdr>(r->Message), r->Flags);
      break;
    }
    case IOCTL_ZEK_GETSOCKOPT_KERNEL: {
      auto* r = static_cast<ZekOptionRecord*>(record);
      int length = static_cast<int>(std::min<std::uint32_t>(r->Length, ZEK_INLINE_OPTION));
      r->Result = sys_getsockopt(as_int(r->Socket), r->Level, r->Name, r->Value, &length);
      r->Length = static_cast<std::uint32_t>(std::max(length, 0));
      break;
    }
    case IOCTL_ZEK_SETSOCKOPT_KERNEL: {
      auto* r = static_cast<ZekOptionRecord*>(record);
      r->Result = r->Length > ZEK_INLINE_OPTION
                      ? -BSD_EINVAL
                      : sys_setsocketopt(as_int(r->Socket), r->Level, r->Name, r->Value, static_cast<int>(r->Length));
      break;
    }
    case IOCTL_ZEK_INET_ADDR_KERNEL: {
      auto* r = static_cast<ZekInetAddrRecord*>(record);
      r->Result = sys_inet_addr(kernel_pointer<const char>(r->Text));
      break;
    }
    case IOCTL_ZEK_CLOSE_KERNEL:
    case IOCTL_ZEK_DUP: {
      auto* r = static_cast<ZekCloseRecord*>(record);
      r->Result = code == IOCTL_ZEK_DUP ? sys_dup(as_int(r->Socket)) : sys_close(as_int(r->Socket));
      break;
    }
    case IOCTL_ZEK_DUP2: {
      auto* r = static_cast<ZekDup2Record*>(record);
      r->Result = sys_dup2(as_int(r->Socket), r->Target > INT_MAX ? -1 : static_cast<int>(r->Target));
      break;
    }
    case IOCTL_ZEK_READ_KERNEL:
    case IOCTL_ZEK_WRITE_KERNEL: {
      auto* r = static_cast<ZekReadWriteRecord*>(record);
      const int s = as_int(r->Socket);
      if (zektcp::IsSocketOffloaded(s) != 0 && r->Length >= 0) {
        const auto length = static_cast<std::uint32_t>(r->Length);
        r->Result = code == IOCTL_ZEK_READ_KERNEL ? zektcp::OffLoadRecv(s, kernel_pointer<void>(r->Data), length, 0, 0)
                                                  : zektcp::OffLoadSend(s, kernel_pointer<void>(r->Data), length, 0, 0);
        break;
      }
      r->Result = code == IOCTL_ZEK_READ_KERNEL ? sys_read(s, kernel_pointer<void>(r->Data), r->Length)
                                                : sys_write(s, kernel_pointer<void>(r->Data), r->Length);
      break;
    }
    case IOCTL_ZEK_IOCTL_KERNEL: {
      auto* r = static_cast<ZekIoctlCallRecord*>(record);
      r->Result = IoctlOrToeState(as_int(r->Socket), r->Request, kernel_pointer<void>(r->Argument));
      break;
    }
    case IOCTL_ZEK_FCNTL_KERNEL: {
      auto* r = static_cast<ZekFcntlRecord*>(record);
      r->Result = sys_fcntl_com(as_int(r->Socket), r->Command, r->Argument);
      break;
    }
    case IOCTL_ZEK_SELECT_KERNEL: {
      auto* r = static_cast<ZekSelectRecord*>(record);
      r->Result =
          sys_select(r->Count, kernel_pointer<std::uint8_t>(r->ReadSet), kernel_pointer<std::uint8_t>(r->WriteSet),
                     kernel_pointer<std::uint8_t>(r->ExceptSet), kernel_pointer<const ZekTimeval>(r->Timeout));
      break;
    }
    case IOCTL_ZEK_POLL_KERNEL: {
      auto* r = static_cast<ZekPollRecord*>(record);
      r->Result = sys_poll(kernel_pointer<ZekPollFd>(r->Entries), r->Count, r->Timeout);
      break;
    }
    case IOCTL_ZEK_BIND2_KERNEL:
      return kServed;
    default:
      return kNotServed;
  }
  if (info != nullptr) *bytes = info->record_bytes;
  return kServed;
}

bool bad_record(const void* record) { return ZekIsBadPointer(record); }

}  // namespace

ULONG ZekCommonTcpipIoctlKernel(void* Record, ULONG Code, ULONG_PTR* Bytes) {
  if (bad_record(Record)) {
    ZEK_LOG_FAILURE("CommonTcpipIoctlKernel: pParm is NULL\n");
    return kBadRecord;
  }
  if (Bytes == nullptr) {
    ZEK_LOG_FAILURE("CommonTcpipIoctlKernel: pBytesReturned\n");
    return kBadRecord;
  }
  return kernel_handler(Record, Code, Bytes);
}

ULONG ZekCommonTcpipIoctlUser(void* Record, ULONG Code, ULONG_PTR* Bytes) {
  if (bad_record(Record)) {
    ZEK_LOG_FAILURE("CommonTcpipIoctlUser: pParm is NULL\n");
    return kBadRecord;
  }
  if (Bytes == nullptr) {
    ZEK_LOG_FAILURE("CommonTcpipIoctlUser: pBytesReturned\n");
    return kBadRecord;
  }
  return user_handler(Record, Code, Bytes);
}

ULONG ZekCommonTcpipIoctl(void* Record, ULONG Code, ULONG_PTR* Bytes) {
  if (Code == IOCTL_ZEK_TCPIP_CC00) {
    *Bytes = ZEK_TCPIP_CC00_BYTES;
    return kServed;
  }
  if (ZekIoctlLookup(Code) != nullptr && ZekIoctlLookup(Code)->kernel_only) {
    return ZekCommonTcpipIoctlKernel(Record, Code, Bytes);
  }
  const ULONG result = ZekCommonTcpipIoctlUser(Record, Code, Bytes);
  if (result == kNotServed) ZEK_LOG_FAILURE("CommonTcpipIoctl: BAD IOCTL code\n");
  return result;
}

NTSTATUS ZpxGetSocketTable(void* Record, ULONG_PTR* Bytes) {
  static_cast<ZekRoutineTableRecord*>(Record)->Table =
      reinterpret_cast<std::uint64_t>(zektcp::OffloadKernelSocketTable());
  *Bytes = sizeof(ZekRoutineTableRecord);
  return STATUS_SUCCESS;
}

void ZpxReleaseProcessSockets(HANDLE ProcessId) { cleanup_sockets(reinterpret_cast<std::uintptr_t>(ProcessId)); }

void ZpxReleaseTransferBuffers() { TransferBuffer::release_kept(); }
