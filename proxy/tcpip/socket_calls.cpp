// The socket calls over the descriptor table (see socket_calls.h).
//
// Every call that names a descriptor holds its open-file record for the
// call's length: a close (or the clean-up of a process that died) drops the
// table's reference, and the socket is closed when the last reference goes,
// so a call in progress never finds its socket freed under it.
#include "proxy/tcpip/socket_calls.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "proxy/tcpip/net/if.h"
#include "proxy/tcpip/netinet/in.h"
#include "proxy/tcpip/netinet/in_pcb.h"
#include "proxy/tcpip/netinet/tcp_var.h"
#include "proxy/tcpip/socket/socket.h"

namespace zektcp {

namespace {

constexpr std::uint32_t kSetToeState = 0xC00469C8;
constexpr std::uint32_t kGetToeState = 0xC00469C9;
constexpr int kStackIovecs = 8;

std::uintptr_t current_pid() { return reinterpret_cast<std::uintptr_t>(PsGetCurrentProcessId()); }

// The socket-call lock for a scope; `ok` is false when it could not be taken.
class CallLock {
 public:
  CallLock() : ok(AcquireBdcLock() == 0) {
    if (!ok) OSPrimDebugPrint("Function[%s] Line[%d]\n", __func__, __LINE__);
  }
  ~CallLock() {
    if (ok) ReleaseBdcLock();
  }
  CallLock(const CallLock&) = delete;
  CallLock& operator=(const CallLock&) = delete;
  const bool ok;
};

filedesc* table() { return stack_process()->p_fd; }

// The open-file record of a descriptor of the calling process, or an error.
int lookup(int s, file** out) {
  filedesc* fdp = table();
  if (fdp == nullptr || s < 0 || s >= fdp->fd_nfiles) return BSD_EBADF;
  file* fp = fdp->fd_ofiles[s];
  if (fp == nullptr || fp->f_owner_pid != current_pid()) return BSD_EBADF;
  if (fp->f_type != DTYPE_SOCKET) return BSD_ENOTSOCK;
  if (fp->f_data == nullptr) return BSD_EBADF;
  *out = fp;
  return 0;
}

// A descriptor's socket, held for the scope (released under the lock: the
// holder is declared after the CallLock).
class Held {
 public:
  explicit Held(int s) : error(take(s, &fp_)) {}
  ~Held() {
    if (fp_ != nullptr && error == 0) fdrop(fp_, stack_process());
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  socket* so() const { return static_cast<socket*>(fp_->f_data); }
  file* fp() const { return fp_; }

 private:
  static int take(int s, file** fp) {
    const int error = lookup(s, fp);
    if (error == 0) ++(*fp)->f_count;
    return error;
  }
  file* fp_ = nullptr;  // declared before `error`, whose initialiser sets it

 public:
  const int error;
};

// Empties a table slot and keeps the table's hints right.
void clear_slot(int s) {
  filedesc* fdp = table();
  fdp->fd_ofiles[s] = nullptr;
  fdp->fd_ofileflags[s] = 0;
  if (s < fdp->fd_freefile) fdp->fd_freefile = s;
  while (fdp->fd_lastfile >= 0 && fdp->fd_ofiles[fdp->fd_lastfile] == nullptr) --fdp->fd_lastfile;
}

void fill_slot(int s, file* fp) {
  filedesc* fdp = table();
  fdp->fd_ofiles[s] = fp;
  if (s > fdp->fd_lastfile) fdp->fd_lastfile = s;
}

// A descriptor for a new socket; the record is the socket's from here on.
int install(socket* so, int* fd) {
  file* fp = nullptr;
  const int error = alloc_open_file(stack_process(), &fp, fd);
  if (error != 0) return error;
  fp->f_flag = FREAD | FWRITE;
  fp->f_type = DTYPE_SOCKET;
  fp->f_data = so;
  fp->f_ops = &socketops;
  so->so_pid = fp->f_owner_pid;
  return 0;
}

// A socket that got no descriptor is closed again.
void discard(socket* so) {
  so->so_state &= ~SS_NOFDREF;
  soclose(so);
}

// A copy of the caller's socket address with its length byte set.
struct AddressCopy {
  union {
    sockaddr sa;
    std::uint8_t bytes[ZEK_SOCKADDR_AREA];
  };
};

int copy_address(const void* address, int length, AddressCopy* out) {
  if (length >= static_cast<int>(ZEK_SOCKADDR_AREA)) return BSD_ENAMETOOLONG;
  if (address == nullptr || length < 2) return BSD_EINVAL;
  std::memset(out->bytes, 0, sizeof(out->bytes));
  std::memcpy(out->bytes, address, static_cast<std::size_t>(length));
  out->sa.sa_len = static_cast<std::uint8_t>(length);
  return 0;
}

// Copies an address the stack allocated out to the caller and frees it.
void give_address(sockaddr* sa, void* address, int* length) {
  int copied = 0;
  if (sa != nullptr && address != nullptr && length != nullptr && *length > 0) {
    copied = std::min<int>(*length, sa->sa_len);
    std::memcpy(address, sa, static_cast<std::size_t>(copied));
  }
  if (length != nullptr) *length = copied;
  if (sa != nullptr) OSPrimMemFreePtr(sa);
}

int result(int error, int value) { return error != 0 ? -error : value; }

// A transfer that moved bytes before it was interrupted or would block
// reports the bytes.
int transfer_result(int error, std::int64_t moved) {
  if (error != 0 && moved > 0 && (error == 1 || error == BSD_EINTR || error == BSD_EWOULDBLOCK)) error = 0;
  return error != 0 ? -error : static_cast<int>(moved);
}

// A vector's total length, or -1 when negative or too long for one call.
std::int64_t vector_length(const iovec* iov, int count) {
  std::int64_t total = 0;
  for (int i = 0; i < count; ++i) {
    if (iov[i].iov_len > static_cast<std::size_t>(INT_MAX)) return -1;
    total += static_cast<std::int64_t>(iov[i].iov_len);
    if (total > INT_MAX) return -1;
  }
  return total;
}

int recvit(int s, iovec* iov, int count, int* flags, void* from, int* fromlen) {
  CallLock lock;
  if (!lock.ok) return -1;
  Held held(s);
  if (held.error != 0) return -held.error;
  if (fromlen != nullptr && *fromlen < 0) return -BSD_EINVAL;
  const std::int64_t total = vector_length(iov, count);
  if (total < 0) return -BSD_EINVAL;
  socket* so = held.so();
  uio u{iov, count, 0, total, UIO_SYSSPACE, UIO_READ, KeGetCurrentThread()};
  sockaddr* sa = nullptr;
  const int error =
      so->so_proto->pr_usrreqs->pru_soreceive(so, from != nullptr ? &sa : nullptr, &u, nullptr, nullptr, flags);
  if (from != nullptr) give_address(sa, from, fromlen);
  return transfer_result(error, total - u.uio_resid);
}

int sendit(int s, iovec* iov, int count, int flags, const void* to, int tolen) {
  CallLock lock;
  if (!lock.ok) return -1;
  Held held(s);
  if (held.error != 0) return -held.error;
  AddressCopy address;
  if (to != nullptr) {
    const int error = copy_address(to, tolen, &address);
    if (error != 0) return -error;
  }
  const std::int64_t total = vector_length(iov, count);
  if (total < 0) return -BSD_EINVAL;
  socket* so = held.so();
  uio u{iov, count, 0, total, UIO_SYSSPACE, UIO_WRITE, KeGetCurrentThread()};
  const int error = so->so_proto->pr_usrreqs->pru_sosend(so, to != nullptr ? &address.sa : nullptr, &u, nullptr,
                                                         nullptr, flags, stack_process());
  if (error != 0) OSPrimDebugPrint("sendit: error %d shandle (%xh) \n", error, static_cast<unsigned>(s));
  return transfer_result(error, total - u.uio_resid);
}

// A message header's vector as kernel vector entries: on the stack for
// short vectors, allocated for long ones.
class Vector {
 public:
  int build(const ZekMsgHdr* message) {
    if (message->IovCount < 0 || message->IovCount > ZEK_MSG_IOV_MAX) return BSD_EMSGSIZE;
    count = message->IovCount;
    if (count > 0 && message->Iov == 0) return BSD_EFAULT;
    entries = count <= kStackIovecs
                  ? local_
                  : static_cast<iovec*>(OSPrimMemAllocPtr(sizeof(iovec) * static_cast<std::size_t>(count)));
    if (entries == nullptr) return BSD_ENOBUFS;
    const auto* source = reinterpret_cast<const ZekIovec*>(message->Iov);
    for (int i = 0; i < count; ++i) {
      entries[i].iov_base = reinterpret_cast<void*>(source[i].Base);
      entries[i].iov_len = static_cast<std::size_t>(source[i].Length);
    }
    return 0;
  }
  ~Vector() {
    if (entries != nullptr && entries != local_) OSPrimMemFreePtr(entries);
  }
  iovec* entries = nullptr;
  int count = 0;

 private:
  iovec local_[kStackIovecs];
};

}  // namespace

// ---- Creation ----------------------------------------------------------------------------------------
int sys_socket(int domain, int type, int protocol) {
  CallLock lock;
  if (!lock.ok) return -1;
  socket* so = nullptr;
  int error = create_socket(domain, &so, type, protocol, stack_process());
  if (error != 0) return -error;
  int fd = -1;
  error = install(so, &fd);
  if (error != 0) {
    discard(so);
    return -error;
  }
  return fd;
}

int sys_socketpair(int domain, int type, int protocol, int* pair) {
  if (pair == nullptr) return -BSD_EFAULT;
  int first = sys_socket(domain, type, protocol);
  if (first < 0) return first;
  int second = sys_socket(domain, type, protocol);
  if (second < 0) {
    sys_close(first);
    return second;
  }
  int error = 0;
  {
    CallLock lock;
    if (!lock.ok) return -1;
    Held a(first);
    Held b(second);
    if (a.error != 0 || b.error != 0) {
      error = BSD_EBADF;
    } else {
      auto connect2 = a.so()->so_proto->pr_usrreqs->pru_connect2;
      error = connect2 == nullptr ? BSD_EOPNOTSUPP : connect2(a.so(), b.so());
      if (error == 0 && type == SOCK_DGRAM) error = connect2(b.so(), a.so());
    }
  }
  if (error != 0) {
    sys_close(first);
    sys_close(second);
    return -error;
  }
  pair[0] = first;
  pair[1] = second;
  return 0;
}

int sys_bind(int s, const void* address, int length) {
  CallLock lock;
  if (!lock.ok) return -1;
  Held held(s);
  if (held.error != 0) return -held.error;
  AddressCopy copy;
  int error = copy_address(address, length, &copy);
  if (error == 0) error = held.so()->so_proto->pr_usrreqs->pru_bind(held.so(), &copy.sa, stack_process());
  return result(error, 0);
}

int sys_connect(int s, const void* address, int length) {
  CallLock lock;
  if (!lock.ok) return -1;
  Held held(s);
  if (held.error != 0) return -held.error;
  socket* so = held.so();
  if ((so->so_state & SS_NBIO) && (so->so_state & SS_ISCONNECTING)) return -BSD_EALREADY;
  AddressCopy copy;
  int error = copy_address(address, length, &copy);
  if (error != 0) return -error;
  if (so->so_options & SO_ACCEPTCONN) return -BSD_EOPNOTSUPP;
  if (so->so_state & (SS_ISCONNECTED | SS_ISCONNECTING)) {
    auto disconnect = so->so_proto->pr_usrreqs->pru_disconnect;
    if ((so->so_proto->pr_flags & PR_CONNREQUIRED) || disconnect == nullptr || disconnect(so) != 0) {
      return -BSD_EISCONN;
    }
  }
  error = so->so_proto->pr_usrreqs->pru_connect(so, &copy.sa, stack_process());
  if (error != 0) return -error;
  if ((so->so_state & SS_NBIO) && (so->so_state & SS_ISCONNECTING)) return -BSD_EINPROGRESS;
  while ((so->so_state & SS_ISCONNECTING) && so->so_error == 0 && !(so->so_state & SS_CANTRCVMORE)) {
    if (OSPrimTSleep(0, &so->so_sleep) != 0) {
      error = BSD_EINTR;
      break;
    }
  }
  if (error == 0) {
    error = so->so_error;
    so->so_error = 0;
    if (error == 0 && !(so->so_state & SS_ISCONNECTED) && (so->so_proto->pr_flags & PR_CONNREQUIRED)) {
      error = BSD_ECONNABORTED;
    }
  }
  return result(error, 0);
}

int sys_listen(int s, int backlog) {
  CallLock lock;
  if (!lock.ok) return -1;
  Held held(s);
  if (held.error != 0) return -held.error;
  socket* so = held.so();
  const int error = so->so_proto->pr_usrreqs->pru_listen(so, stack_process());
  if (error != 0) return -error;
  if (so->so_comp == nullptr) so->so_options |= SO_ACCEPTCONN;
  const int limit = backlog - 1;
  so->so_qlimit = static_cast<std::int16_t>(limit < 0 || limit > SOMAXCONN ? SOMAXCONN : limit);
  return 0;
}

int sys_accept(int s, void* address, int* length) {
  CallLock lock;
  if (!lock.ok) return -1;
  Held held(s);
  if (held.error != 0) return -held.error;
  if (length != nullptr && *length < 0) return -BSD_EINVAL;
  socket* head = held.so();
  if (!(head->so_options & SO_ACCEPTCONN)) return -BSD_EINVAL;
  if ((head->so_state & SS_NBIO) && head->so_comp == nullptr) return -BSD_EWOULDBLOCK;
  while (head->so_comp == nullptr && head->so_error == 0) {
    if (head->so_state & SS_CANTRCVMORE) {
      head->so_error = BSD_ECONNABORTED;
      break;
    }
    if (OSPrimTSleep(0, &head->so_sleep) != 0) return -BSD_EINTR;
  }
  if (head->so_error != 0) {
    const int error = head->so_error;
    head->so_error = 0;
    return -error;
  }
  socket* so = head->so_comp;
  soqremque(so, 1);
  if (!(so->so_state & SS_NOFDREF)) panic("soaccept: !NOFDREF");
  so->so_state &= ~SS_NOFDREF;
  int fd = -1;
  const int error = install(so, &fd);
  if (error != 0) {
    soclose(so);
    return -error;
  }
  sockaddr* sa = nullptr;
  if (so->so_proto->pr_usrreqs->pru_accept(so, &sa) != 0) sa = nullptr;
  give_address(sa, address, length);
  return fd;
}

// ---- Names ------------------------------------------------------------------------------------------------
int sys_getsockname(int s, void* address, int* length) {
  CallLock lock;
  if (!lock.ok) return -1;
  Held held(s);
  if (held.error != 0) return -held.error;
  if (length == nullptr || *length < 0) return -BSD_EINVAL;
  sockaddr* sa = nullptr;
  const int error = held.so()->so_proto->pr_usrreqs->pru_sockaddr(held.so(), &sa);
  if (error != 0) return -error;
  give_address(sa, address, length);
  return 0;
}

int sys_getpeername(int s, void* address, int* length) {
  CallLock lock;
  if (!lock.ok) return -1;
  Held held(s);
  if (held.error != 0) return -held.error;
  if (length == nullptr || *length < 0) return -BSD_EINVAL;
  socket* so = held.so();
  if (!(so->so_state & (SS_ISCONNECTED | SS_ISCONFIRMING))) return -BSD_ENOTCONN;
  sockaddr* sa = nullptr;
  const int error = so->so_proto->pr_usrreqs->pru_peeraddr(so, &sa);
  if (error != 0) return -error;
  give_address(sa, address, length);
  return 0;
}

// ---- Data ---------------------------------------------------------------------------------------------------
int sys_recv(int s, void* buffer, int length, int flags) {
  if (length < 0) return -BSD_EINVAL;
  iovec iov{buffer, static_cast<std::size_t>(length)};
  return recvit(s, &iov, 1, &flags, nullptr, nullptr);
}

int sys_recvfrom(int s, void* buffer, int length, int flags, void* address, int* address_length) {
  if (length < 0) return -BSD_EINVAL;
  iovec iov{buffer, static_cast<std::size_t>(length)};
  if (address != nullptr && address_length == nullptr) return -BSD_EFAULT;
  return recvit(s, &iov, 1, &flags, address, address_length);
}

int sys_recvmsg(int s, ZekMsgHdr* message, int flags) {
  if (message == nullptr) return -BSD_EFAULT;
  Vector vector;
  const int error = vector.build(message);
  if (error != 0) return -error;
  int length = static_cast<int>(std::min<std::uint32_t>(message->NameLength, INT_MAX));
  void* name = reinterpret_cast<void*>(message->Name);
  const int moved = recvit(s, vector.entries, vector.count, &flags, name, name != nullptr ? &length : nullptr);
  if (moved >= 0) {
    message->NameLength = name != nullptr ? static_cast<std::uint32_t>(length) : 0;
    message->ControlLength = 0;
    message->Flags = flags;
  }
  return moved;
}

int sys_send(int s, const void* buffer, int length, int flags) {
  if (length < 0) return -BSD_EINVAL;
  iovec iov{const_cast<void*>(buffer), static_cast<std::size_t>(length)};
  return sendit(s, &iov, 1, flags, nullptr, 0);
}

int sys_sendto(int s, const void* buffer, int length, int flags, const void* address, int address_length) {
  if (length < 0) return -BSD_EINVAL;
  iovec iov{const_cast<void*>(buffer), static_cast<std::size_t>(length)};
  return sendit(s, &iov, 1, flags, address, address_length);
}

int sys_sendmsg(int s, const ZekMsgHdr* message, int flags) {
  if (message == nullptr) return -BSD_EFAULT;
  Vector vector;
  const int error = vector.build(message);
  if (error != 0) return -error;
  const void* name = reinterpret_cast<const void*>(message->Name);
  const int length = static_cast<int>(std::min<std::uint32_t>(message->NameLength, INT_MAX));
  return sendit(s, vector.entries, vector.count, flags, name, length);
}

int sys_read(int s, void* buffer, int length) { return sys_recv(s, buffer, length, 0); }
int sys_write(int s, const void* buffer, int length) { return sys_send(s, buffer, length, 0); }

int sys_shutdown(int s, int how) {
  CallLock lock;
  if (!lock.ok) return -1;
  Held held(s);
  if (held.error != 0) return -held.error;
  if (how < 0 || how > 2) return -BSD_EINVAL;
  socket* so = held.so();
  if (how != 1) flush_socket_receive(so);
  if (how != 0) return result(so->so_proto->pr_usrreqs->pru_shutdown(so), 0);
  return 0;
}

// ---- Options and control ------------------------------------------------------------------------------
int sys_getsockopt(int s, int level, int name, void* value, int* length) {
  CallLock lock;
  if (!lock.ok) return -1;
  Held held(s);
  if (held.error != 0) return -held.error;
  if (length == nullptr || *length < 0) return -BSD_EINVAL;
  sockopt opt{SOPT_GET, level, name, value, static_cast<std::size_t>(*length), stack_process()};
  const int error = get_socket_option(held.so(), &opt);
  if (error == 0) *length = static_cast<int>(opt.sopt_valsize);
  return result(error, 0);
}

int sys_setsocketopt(int s, int level, int name, const void* value, int length) {
  CallLock lock;
  if (!lock.ok) return -1;
  Held held(s);
  if (held.error != 0) return -held.error;
  if (length < 0) return -BSD_EINVAL;
  if (value == nullptr && length != 0) return -BSD_EFAULT;
  sockopt opt{SOPT_SET, level, name, const_cast<void*>(value), static_cast<std::size_t>(length), stack_process()};
  return result(set_socket_option(held.so(), &opt), 0);
}

int sys_ioctl(int s, std::uint32_t request, void* argument) {
  CallLock lock;
  if (!lock.ok) return -1;
  Held held(s);
  if (held.error != 0) return -held.error;
  socket* so = held.so();
  if (request == kSetToeState) return -BSD_EOPNOTSUPP;  // the adapter offload is not in this stack
  if (request == kGetToeState) {
    inpcb* inp = sotoinpcb(so);
    tcp_ctl_block* tp = inp != nullptr && so->so_proto->pr_protocol == IPPROTO_TCP ? intotcpcb(inp) : nullptr;
    return tp != nullptr ? static_cast<int>(tp->offload_state) : 1;
  }
  if (argument == nullptr) return -BSD_EINVAL;
  const std::uint32_t group = (request >> 8) & 0xFF;
  if (group == 'i' || group == 'f') return result(iface_ioctl(so, request, argument, stack_process()), 0);
  return result(in_control(so, request, argument, nullptr, stack_process()), 0);
}

int sys_fcntl_com(int s, int command, int argument) {
  CallLock lock;
  if (!lock.ok) return -1;
  Held held(s);
  if (held.error != 0) return -held.error;
  switch (command) {
    case ZEK_F_GETFL:
      return (held.so()->so_state & SS_NBIO) ? ZEK_O_NONBLOCK : 0;
    case ZEK_F_SETFL:
      socket_set_nbio(held.so(), (argument & ZEK_O_NONBLOCK) != 0);
      return 0;
    default:
      return -BSD_EINVAL;
  }
}

// ---- Descriptors -----------------------------------------------------------------------------------------
int sys_close(int s) {
  CallLock lock;
  if (!lock.ok) return -1;
  file* fp = nullptr;
  const int error = lookup(s, &fp);
  if (error != 0) return -error;
  clear_slot(s);
  return result(fdrop(fp, stack_process()), 0);
}

int sys_dup(int s) {
  CallLock lock;
  if (!lock.ok) return -1;
  file* fp = nullptr;
  int error = lookup(s, &fp);
  if (error != 0) return -error;
  int fd = -1;
  error = fdalloc(stack_process(), 0, &fd);
  if (error != 0) return -error;
  ++fp->f_count;
  fill_slot(fd, fp);
  return fd;
}

int sys_dup2(int s, int target) {
  CallLock lock;
  if (!lock.ok) return -1;
  file* fp = nullptr;
  const int error = lookup(s, &fp);
  if (error != 0) return -error;
  filedesc* fdp = table();
  if (target < 0 || target >= fdp->fd_nfiles || target >= stack_process()->p_fdlimit) return -BSD_EBADF;
  if (target == s) return target;
  file* previous = fdp->fd_ofiles[target];
  if (previous != nullptr && previous->f_owner_pid != current_pid()) return -BSD_EBADF;
  ++fp->f_count;
  fill_slot(target, fp);
  if (previous != nullptr) fdrop(previous, stack_process());
  return target;
}

// ---- Addresses as text ---------------------------------------------------------------------------------
std::uint32_t sys_inet_addr(const char* text) { return ZekInetAddr(text); }

int sys_inet_ntoa_buf(std::uint32_t address, char* text) {
  if (text == nullptr) return -BSD_EFAULT;
  ZekInetNtoa(address, text);
  return 0;
}

// ---- For the stack's users ---------------------------------------------------------------------------------
int get_socket_quad(int s, std::uint32_t* local_address, std::uint32_t* foreign_address, std::uint16_t* local_port,
                    std::uint16_t* foreign_port) {
  *local_address = *foreign_address = 0;
  *local_port = *foreign_port = 0;
  filedesc* fdp = table();
  if (fdp == nullptr || s < 0 || s >= fdp->fd_nfiles) return 1;
  file* fp = fdp->fd_ofiles[s];
  if (fp == nullptr || fp->f_type != DTYPE_SOCKET || fp->f_data == nullptr) return 1;
  inpcb* inp = sotoinpcb(static_cast<socket*>(fp->f_data));
  if (inp == nullptr) return 0;
  *local_address = ntohl(inp_laddr(inp).s_addr);
  *foreign_address = ntohl(inp_faddr(inp).s_addr);
  *local_port = ntohs(inp->inp_lport);
  *foreign_port = ntohs(inp->inp_fport);
  return 0;
}

int cleanup_sockets(std::uintptr_t process_id) {
  CallLock lock;
  if (!lock.ok) return -1;
  filedesc* fdp = table();
  if (fdp == nullptr) return 0;
  int dropped = 0;
  // Every descriptor the process owns, descriptor 0 too: the driver's own
  // socket there has an owner of its own.
  for (int s = 0; s < fdp->fd_nfiles; ++s) {
    file* fp = fdp->fd_ofiles[s];
    if (fp == nullptr || fp->f_owner_pid != process_id) continue;
    if (auto* so = static_cast<socket*>(fp->f_data)) {
      // Calls still in progress for the process return now; the close
      // follows when the last of them lets go.
      socantrcvmore(so);
      socantsendmore(so);
      OSPrimWakeup(&so->so_sleep);
    } else {
      OSPrimDebugPrint("handle[%d] fp[%p] so is null \n", s, static_cast<void*>(fp));
    }
    clear_slot(s);
    fdrop(fp, stack_process());
    ++dropped;
  }
  return dropped;
}

int sockets_held_by(std::uintptr_t process_id) {
  CallLock lock;
  if (!lock.ok) return -1;
  filedesc* fdp = table();
  if (fdp == nullptr) return 0;
  int held = 0;
  for (int s = 0; s < fdp->fd_nfiles; ++s) {
    if (fdp->fd_ofiles[s] != nullptr && fdp->fd_ofiles[s]->f_owner_pid == process_id) ++held;
  }
  return held;
}

}  // namespace zektcp
