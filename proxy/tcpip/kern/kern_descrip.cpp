// The descriptor table and its open-file records. One process record
// serves every caller; each open-file record keeps its owner's process id.
#include <cstring>

#include "proxy/tcpip/kern/kern_internal.h"

namespace zektcp {

namespace {

int bad_rw(file*, void*, ucred*, int, process*) { return BSD_EBADF; }
int bad_ioctl(file*, std::uint32_t, void*, process*) { return BSD_EBADF; }
int bad_poll(file*, int, ucred*, process*) { return 0; }
int bad_kqfilter(file*, void*) { return 0; }
int bad_stat(file*, void*, process*) { return BSD_EBADF; }
int bad_close(file*, process*) { return BSD_EBADF; }

}  // namespace

const fileops badfileops = {bad_rw, bad_rw, bad_ioctl, bad_poll, bad_kqfilter, bad_stat, bad_close};

process* stack_process() { return &g_kern.proc; }
std::uint32_t open_files_in_use() { return g_kern.nfiles; }

void crhold(ucred* cred) { ++cred->cr_ref; }

void crfree(ucred* cred) {
  if (cred->cr_ref <= 0) panic("Freeing already free credential! %p", static_cast<void*>(cred));
  --cred->cr_ref;
}

int fdalloc(process* p, int start, int* index) {
  filedesc* fdp = p->p_fd;
  const int limit = p->p_fdlimit < fdp->fd_nfiles ? p->p_fdlimit : fdp->fd_nfiles;
  if (start < 0) start = 0;
  for (int pass = 0; pass < 2; ++pass) {
    // First from the hint upward, then once more from 0: a table whose top
    // is taken wraps to the slots freed below.
    const int first = pass == 0 ? (start > fdp->fd_freefile ? start : fdp->fd_freefile) : 0;
    for (int i = first; i < limit; ++i) {
      if (fdp->fd_ofiles[i] != nullptr) continue;
      fdp->fd_ofileflags[i] = 0;
      if (i > fdp->fd_lastfile) fdp->fd_lastfile = i;
      if (start <= fdp->fd_freefile) fdp->fd_freefile = i;
      *index = i;
      return 0;
    }
  }
  ZEK_LOG_FAILURE("fdalloc: expand the socket handle list\n");
  return BSD_EMFILE;
}

int alloc_open_file(process* p, file** out, int* index) {
  *out = nullptr;
  if (g_kern.nfiles >= FD_TABLE_SIZE) return BSD_ENFILE;
  ++g_kern.nfiles;
  auto* fp = static_cast<file*>(OSPrimMemAllocPtr(sizeof(file)));
  if (fp == nullptr) {
    --g_kern.nfiles;
    return BSD_ENOBUFS;
  }
  int i = 0;
  const int error = fdalloc(p, p->p_fd->fd_freefile, &i);
  if (error != 0) {
    --g_kern.nfiles;
    OSPrimMemFreePtr(fp);
    return error;
  }
  fp->f_count = 1;
  p->p_fd->fd_freefile = i + 1;
  fp->f_cred = p->p_ucred;
  crhold(fp->f_cred);
  fp->f_ops = &badfileops;
  fp->f_owner_pid = reinterpret_cast<std::uintptr_t>(PsGetCurrentProcessId());
  p->p_fd->fd_ofiles[i] = fp;
  *out = fp;
  *index = i;
  return 0;
}

int fdrop(file* fp, process* p) {
  if (--fp->f_count > 0) return 0;
  if (fp->f_count < 0) panic("fdrop: count < 0");
  int error = 0;
  if (fp->f_ops != &badfileops) error = fp->f_ops->fo_close(fp, p);
  if (fp->f_count != 0) panic("ffree: fp_fcount not 0!");
  crfree(fp->f_cred);
  --g_kern.nfiles;
  OSPrimMemFreePtr(fp);
  return error;
}

int descrip_start() {
  std::memset(&g_kern.proc, 0, sizeof(g_kern.proc));
  std::memset(&g_kern.cred, 0, sizeof(g_kern.cred));
  std::memset(&g_kern.uinfo, 0, sizeof(g_kern.uinfo));
  g_kern.cred.cr_ref = 1;
  g_kern.cred.cr_uidinfo = &g_kern.uinfo;
  g_kern.fd.fd_ofiles = static_cast<file**>(OSPrimMemAllocPtr(FD_TABLE_SIZE * sizeof(file*)));
  g_kern.fd.fd_ofileflags = static_cast<std::uint8_t*>(OSPrimMemAllocPtr(FD_TABLE_SIZE));
  if (g_kern.fd.fd_ofiles == nullptr || g_kern.fd.fd_ofileflags == nullptr) {
    descrip_stop();
    return BSD_ENOMEM;
  }
  g_kern.fd.fd_nfiles = FD_TABLE_SIZE;
  g_kern.fd.fd_lastfile = -1;
  g_kern.fd.fd_freefile = 0;
  g_kern.proc.p_ucred = &g_kern.cred;
  g_kern.proc.p_fd = &g_kern.fd;
  g_kern.proc.p_fdlimit = FD_TABLE_SIZE;
  g_kern.nfiles = 0;
  return 0;
}

void descrip_stop() {
  // Records left open are released with the table: nothing runs their close
  // routine any more once the socket layer is gone.
  if (g_kern.fd.fd_ofiles != nullptr) {
    for (std::uint32_t i = 0; i < FD_TABLE_SIZE; ++i) {
      file* fp = g_kern.fd.fd_ofiles[i];
      if (fp == nullptr) continue;
      for (std::uint32_t j = i; j < FD_TABLE_SIZE; ++j) {
        if (g_kern.fd.fd_ofiles[j] == fp) g_kern.fd.fd_ofiles[j] = nullptr;
      }
      OSPrimMemFreePtr(fp);
    }
    OSPrimMemFreePtr(g_kern.fd.fd_ofiles);
  }
  if (g_kern.fd.fd_ofileflags != nullptr) OSPrimMemFreePtr(g_kern.fd.fd_ofileflags);
  g_kern.fd = filedesc{};
  g_kern.nfiles = 0;
}

}  // namespace zektcp
