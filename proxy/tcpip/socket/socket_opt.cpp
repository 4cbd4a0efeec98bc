// Socket options, polling, event notes, stat, accept filters and the
// socket's open-file operations.
#include <cstring>

#include "proxy/tcpip/socket/socket.h"

namespace zektcp {

namespace {

accept_filter* g_accept_filters;

int copy_in(sockopt* opt, void* out, std::size_t need) {
  if (opt->sopt_valsize < need || opt->sopt_val == nullptr) return BSD_EINVAL;
  std::memcpy(out, opt->sopt_val, need);
  return 0;
}

int copy_out(sockopt* opt, const void* in, std::size_t len) {
  if (opt->sopt_val == nullptr) {
    opt->sopt_valsize = 0;
    return 0;
  }
  if (len > opt->sopt_valsize) len = opt->sopt_valsize;
  std::memcpy(opt->sopt_val, in, len);
  opt->sopt_valsize = len;
  return 0;
}

int protocol_ctloutput(socket* so, sockopt* opt) {
  if (so->so_proto != nullptr && so->so_proto->pr_ctloutput != nullptr) return so->so_proto->pr_ctloutput(so, opt);
  return BSD_ENOPROTOOPT;
}

accept_filter* find_filter(const char* name) {
  for (accept_filter* f = g_accept_filters; f != nullptr; f = f->accf_next) {
    if (std::strncmp(f->accf_name, name, sizeof(f->accf_name)) == 0) return f;
  }
  return nullptr;
}

int set_accept_filter(socket* so, sockopt* opt) {
  if (!(so->so_options & SO_ACCEPTCONN)) return BSD_EINVAL;
  if (opt->sopt_val == nullptr) {
    // Removes the filter.
    accept_filter_release(so);
    so->so_options &= ~SO_ACCEPTFILTER;
    return 0;
  }
  if (so->so_accf != nullptr) return BSD_EINVAL;
  accept_filter_arg arg{};
  const int error = copy_in(opt, &arg, sizeof(arg));
  if (error != 0) return error;
  arg.af_name[sizeof(arg.af_name) - 1] = '\0';
  arg.af_arg[sizeof(arg.af_arg) - 1] = '\0';
  accept_filter* filter = find_filter(arg.af_name);
  if (filter == nullptr) return BSD_ENOENT;
  auto* accf = static_cast<socket_accf*>(OSPrimMemAllocPtr(sizeof(socket_accf)));
  if (accf == nullptr) return BSD_ENOBUFS;
  if (arg.af_arg[0] != '\0') {
    const std::size_t len = std::strlen(arg.af_arg) + 1;
    accf->so_accept_filter_str = static_cast<char*>(OSPrimMemAllocPtr(static_cast<std::uint32_t>(len)));
    if (accf->so_accept_filter_str == nullptr) {
      OSPrimMemFreePtr(accf);
      return BSD_ENOBUFS;
    }
    std::memcpy(accf->so_accept_filter_str, arg.af_arg, len);
  }
  if (filter->accf_create != nullptr) {
    accf->so_accept_filter_arg = filter->accf_create(so, arg.af_arg);
    if (accf->so_accept_filter_arg == nullptr) {
      if (accf->so_accept_filter_str != nullptr) OSPrimMemFreePtr(accf->so_accept_filter_str);
      OSPrimMemFreePtr(accf);
      return BSD_EINVAL;
    }
  }
  accf->so_accept_filter = filter;
  so->so_accf = accf;
  so->so_options |= SO_ACCEPTFILTER;
  return 0;
}

int set_timeout(socket* so, sockopt* opt) {
  timeval tv{};
  const int error = copy_in(opt, &tv, sizeof(tv));
  if (error != 0) return error;
  const std::int64_t rate = tick_rate();
  if (tv.tv_sec < 0 || tv.tv_sec > 0x7FFF / rate || tv.tv_usec < 0 || tv.tv_usec > 999'999) return BSD_EDOM;
  std::int64_t ticks = tv.tv_sec * rate + tv.tv_usec / (1'000'000 / rate);
  if (ticks == 0 && tv.tv_usec != 0) ticks = 1;
  if (ticks > 0x7FFF) return BSD_EDOM;
  if (opt->sopt_name == SO_SNDTIMEO) {
    so->so_snd.sb_timeo = static_cast<std::int16_t>(ticks);
  } else {
    so->so_rcv.sb_timeo = static_cast<std::int16_t>(ticks);
  }
  return 0;
}

}  // namespace

void accept_filter_release(socket* so) {
  socket_accf* accf = so->so_accf;
  if (accf == nullptr) return;
  if (accf->so_accept_filter != nullptr && accf->so_accept_filter->accf_destroy != nullptr) {
    accf->so_accept_filter->accf_destroy(so);
  }
  if (accf->so_accept_filter_str != nullptr) OSPrimMemFreePtr(accf->so_accept_filter_str);
  OSPrimMemFreePtr(accf);
  so->so_accf = nullptr;
}

int accept_filter_register(accept_filter* filter) {
  if (find_filter(filter->accf_name) != nullptr) return BSD_EEXIST;
  filter->accf_next = g_accept_filters;
  g_accept_filters = filter;
  return 0;
}

void accept_filter_unregister(accept_filter* filter) {
  for (accept_filter** link = &g_accept_filters; *link != nullptr; link = &(*link)->accf_next) {
    if (*link == filter) {
      *link = filter->accf_next;
      return;
    }
  }
}

int set_socket_option(socket* so, sockopt* opt) {
  if (opt->sopt_level != SOL_SOCKET) return protocol_ctloutput(so, opt);
  int error = 0;
  switch (opt->sopt_name) {
    case SO_ACCEPTFILTER:
      error = set_accept_filter(so, opt);
      break;
    case SO_LINGER: {
      linger l{};
      error = copy_in(opt, &l, sizeof(l));
      if (error != 0) break;
      so->so_linger = static_cast<std::int16_t>(l.l_linger);
      if (l.l_onoff) {
        so->so_options |= SO_LINGER;
      } else {
        so->so_options &= ~SO_LINGER;
      }
      break;
    }
    case SO_DEBUG:
    case SO_KEEPALIVE:
    case SO_DONTROUTE:
    case SO_USELOOPBACK:
    case SO_BROADCAST:
    case SO_REUSEADDR:
    case SO_REUSEPORT:
    case SO_OOBINLINE:
    case SO_TIMESTAMP: {
      std::int32_t value = 0;
      error = copy_in(opt, &value, sizeof(value));
      if (error != 0) break;
      if (value) {
        so->so_options |= static_cast<std::int16_t>(opt->sopt_name);
      } else {
        so->so_options &= static_cast<std::int16_t>(~opt->sopt_name);
      }
      break;
    }
    case SO_SNDBUF:
    case SO_RCVBUF:
    case SO_SNDLOWAT:
    case SO_RCVLOWAT: {
      std::int32_t value = 0;
      error = copy_in(opt, &value, sizeof(value));
      if (error != 0) break;
      if (value < 1) {
        error = BSD_EINVAL;
        break;
      }
      switch (opt->sopt_name) {
        case SO_SNDBUF:
          if (!send_sbreserve(&so->so_snd, static_cast<std::uint32_t>(value), so)) error = BSD_ENOBUFS;
          break;
        case SO_RCVBUF:
          if (!recv_sbreserve(&so->so_rcv, static_cast<std::uint32_t>(value), so)) error = BSD_ENOBUFS;
          break;
        case SO_SNDLOWAT:
          so->so_snd.sb_lowat = value > static_cast<std::int32_t>(so->so_snd.sb_hiwat)
                                    ? static_cast<std::int32_t>(so->so_snd.sb_hiwat)
                                    : value;
          break;
        default:
          so->so_rcv.sb_lowat = value > static_cast<std::int32_t>(so->so_rcv.sb_hiwat)
                                    ? static_cast<std::int32_t>(so->so_rcv.sb_hiwat)
                                    : value;
          break;
      }
      break;
    }
    case SO_SNDTIMEO:
    case SO_RCVTIMEO:
      error = set_timeout(so, opt);
      break;
    default:
      error = BSD_ENOPROTOOPT;
      break;
  }
  if (error == 0 && so->so_proto != nullptr && so->so_proto->pr_ctloutput != nullptr) {
    so->so_proto->pr_ctloutput(so, opt);
  }
  return error;
}

int get_socket_option(socket* so, sockopt* opt) {
  if (opt->sopt_level != SOL_SOCKET) return protocol_ctloutput(so, opt);
  std::int32_t value = 0;
  switch (opt->sopt_name) {
    case SO_ACCEPTFILTER: {
      if (!(so->so_options & SO_ACCEPTCONN)) return BSD_EINVAL;
      accept_filter_arg arg{};
      if (so->so_accf != nullptr && so->so_accf->so_accept_filter != nullptr) {
        const char* name = so->so_accf->so_accept_filter->accf_name;
        std::memcpy(arg.af_name, name, strnlen(name, sizeof(arg.af_name) - 1));
        if (const char* text = so->so_accf->so_accept_filter_str) {
          std::memcpy(arg.af_arg, text, strnlen(text, sizeof(arg.af_arg) - 1));
        }
      }
      return copy_out(opt, &arg, sizeof(arg));
    }
    case SO_LINGER: {
      linger l{so->so_options & SO_LINGER, so->so_linger};
      return copy_out(opt, &l, sizeof(l));
    }
    case SO_USELOOPBACK:
    case SO_DONTROUTE:
    case SO_DEBUG:
    case SO_KEEPALIVE:
    case SO_REUSEADDR:
    case SO_REUSEPORT:
    case SO_BROADCAST:
    case SO_OOBINLINE:
    case SO_TIMESTAMP:
    case SO_ACCEPTCONN:
      value = so->so_options & opt->sopt_name;
      break;
    case SO_TYPE:
      value = so->so_type;
      break;
    case SO_ERROR:
      value = so->so_error;
      so->so_error = 0;
      break;
    case SO_SNDBUF:
      value = static_cast<std::int32_t>(so->so_snd.sb_hiwat);
      break;
    case SO_RCVBUF:
      value = static_cast<std::int32_t>(so->so_rcv.sb_hiwat);
      break;
    case SO_SNDLOWAT:
      value = so->so_snd.sb_lowat;
      break;
    case SO_RCVLOWAT:
      value = so->so_rcv.sb_lowat;
      break;
    case SO_SNDTIMEO:
    case SO_RCVTIMEO: {
      const std::int64_t ticks = opt->sopt_name == SO_SNDTIMEO ? so->so_snd.sb_timeo : so->so_rcv.sb_timeo;
      timeval tv;
      tv.tv_sec = ticks / tick_rate();
      tv.tv_usec = (ticks % tick_rate()) * stack_tick_ms() * 1000;
      return copy_out(opt, &tv, sizeof(tv));
    }
    default:
      return BSD_ENOPROTOOPT;
  }
  return copy_out(opt, &value, sizeof(value));
}

int poll_socket(socket* so, int events, ucred*, OSPrimSleepObject* poller) {
  int revents = 0;
  const bool readable = static_cast<std::int32_t>(so->so_rcv.sb_cc) >= so->so_rcv.sb_lowat ||
                        (so->so_state & SS_CANTRCVMORE) || so->so_comp != nullptr || so->so_error != 0;
  if ((events & (POLLIN | POLLRDNORM)) && readable) revents |= events & (POLLIN | POLLRDNORM);
  const bool writable = (sbspace(&so->so_snd) >= so->so_snd.sb_lowat &&
                         ((so->so_state & SS_ISCONNECTED) || !(so->so_proto->pr_flags & PR_CONNREQUIRED))) ||
                        (so->so_state & SS_CANTSENDMORE) || so->so_error != 0;
  if ((events & POLLOUT) && writable) revents |= POLLOUT;
  if ((events & (POLLPRI | POLLRDBAND)) && (so->so_oobmark != 0 || (so->so_state & SS_RCVATMARK))) {
    revents |= events & (POLLPRI | POLLRDBAND);
  }
  if (revents == 0 && poller != nullptr) {
    if (events & (POLLIN | POLLPRI | POLLRDNORM | POLLRDBAND)) {
      so->so_rcv.sb_poller = poller;
      so->so_rcv.sb_flags |= SB_SEL;
    }
    if (events & POLLOUT) {
      so->so_snd.sb_poller = poller;
      so->so_snd.sb_flags |= SB_SEL;
    }
  }
  return revents;
}

void poll_socket_forget(socket* so, OSPrimSleepObject* poller) {
  for (sockbuf* sb : {&so->so_rcv, &so->so_snd}) {
    if (sb->sb_poller == poller) {
      sb->sb_poller = nullptr;
      sb->sb_flags &= ~SB_SEL;
    }
  }
}

int attach_socket_event_filter(socket* so, knote* kn) {
  sockbuf* sb = nullptr;
  switch (kn->kn_filter) {
    case EVFILT_READ:
      sb = &so->so_rcv;
      break;
    case EVFILT_WRITE:
      sb = &so->so_snd;
      break;
    default:
      return 1;
  }
  kn->kn_so = so;
  AcquireListLock();
  kn->kn_next = sb->sb_notes;
  sb->sb_notes = kn;
  sb->sb_flags |= SB_KNOTE;
  ReleaseListLock();
  return 0;
}

void detach_socket_event_filter(knote* kn) {
  socket* so = kn->kn_so;
  if (so == nullptr) return;
  sockbuf* sb = kn->kn_filter == EVFILT_READ ? &so->so_rcv : &so->so_snd;
  AcquireListLock();
  for (knote** link = &sb->sb_notes; *link != nullptr; link = &(*link)->kn_next) {
    if (*link == kn) {
      *link = kn->kn_next;
      break;
    }
  }
  if (sb->sb_notes == nullptr) sb->sb_flags &= ~SB_KNOTE;
  ReleaseListLock();
  kn->kn_so = nullptr;
}

int socket_event_ready(knote* kn) {
  socket* so = kn->kn_so;
  if (so == nullptr) return 0;
  if (kn->kn_filter == EVFILT_READ) {
    if (so->so_options & SO_ACCEPTCONN) {
      kn->kn_data = so->so_qlen;
      return so->so_comp != nullptr;
    }
    kn->kn_data = so->so_rcv.sb_cc;
    if (so->so_state & SS_CANTRCVMORE) {
      kn->kn_flags |= EV_EOF;
      return 1;
    }
    const std::int64_t lowat = kn->kn_sdata != 0 ? kn->kn_sdata : so->so_rcv.sb_lowat;
    return kn->kn_data >= lowat;
  }
  kn->kn_data = sbspace(&so->so_snd);
  if (so->so_state & SS_CANTSENDMORE) {
    kn->kn_flags |= EV_EOF;
    return 1;
  }
  if (!(so->so_state & SS_ISCONNECTED) && (so->so_proto->pr_flags & PR_CONNREQUIRED)) return 0;
  const std::int64_t lowat = kn->kn_sdata != 0 ? kn->kn_sdata : so->so_snd.sb_lowat;
  return kn->kn_data >= lowat;
}

// ---- The socket's open-file operations --------------------------------------------------------
namespace {

socket* socket_of(file* fp) { return static_cast<socket*>(fp->f_data); }

int soo_read(file* fp, void* u, ucred*, int, process*) {
  socket* so = socket_of(fp);
  if (so == nullptr) return BSD_EBADF;
  return so->so_proto->pr_usrreqs->pru_soreceive(so, nullptr, static_cast<uio*>(u), nullptr, nullptr, nullptr);
}

int soo_write(file* fp, void* u, ucred*, int, process* p) {
  socket* so = socket_of(fp);
  if (so == nullptr) return BSD_EBADF;
  return so->so_proto->pr_usrreqs->pru_sosend(so, nullptr, static_cast<uio*>(u), nullptr, nullptr, 0, p);
}

int soo_ioctl(file*, std::uint32_t, void*, process*) { return 0; }

int soo_poll(file* fp, int events, ucred* cred, process* p) {
  socket* so = socket_of(fp);
  if (so == nullptr) return POLLNVAL;
  return so->so_proto->pr_usrreqs->pru_sopoll(so, events, cred, p);
}

int soo_kqfilter(file* fp, void* note) {
  socket* so = socket_of(fp);
  if (so == nullptr) return 1;
  return attach_socket_event_filter(so, static_cast<knote*>(note));
}

int soo_stat(file* fp, void* out, process*) {
  socket* so = socket_of(fp);
  if (so == nullptr) return BSD_EBADF;
  auto* st = static_cast<socket_stat*>(out);
  *st = socket_stat{};
  st->st_mode = 0xC000;
  if (!(so->so_state & SS_CANTRCVMORE) || so->so_rcv.sb_cc != 0) st->st_mode |= 0x124;
  if (!(so->so_state & SS_CANTSENDMORE)) st->st_mode |= 0x92;
  st->st_size = so->so_rcv.sb_cc;
  if (so->so_cred != nullptr) st->st_uid = static_cast<std::uint32_t>(so->so_cred->cr_uid);
  if (so->so_proto->pr_usrreqs->pru_sense != nullptr) return so->so_proto->pr_usrreqs->pru_sense(so, st);
  return 0;
}

int soo_close(file* fp, process*) {
  fp->f_ops = &badfileops;
  int error = 0;
  if (socket* so = socket_of(fp)) error = soclose(so);
  fp->f_data = nullptr;
  return error;
}

}  // namespace

const fileops socketops = {soo_read, soo_write, soo_ioctl, soo_poll, soo_kqfilter, soo_stat, soo_close};

}  // namespace zektcp
