// The small kernel the host stack runs on (kern/, the bottom layer): its
// locks, sleep and wake-up, the callout wheel driven by the clock DPC, the
// network soft-interrupt thread, the descriptor table with its open-file
// records, and a few library routines. Everything above (mbufs, sockets,
// protocols) calls these instead of the host operating system; this folder
// is the only one of the stack that reaches the OS primitives directly.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "proxy/core/osprim/osprim_kernel.h"
#include "proxy/tcpip/bsd_errno.h"

namespace zektcp {

// ---- Locks ---------------------------------------------------------------------
// The socket-call lock ("Bdc") is held around every socket call and all
// protocol work, the network lock around the mbuf free lists and socket-buffer
// appends. Both know their owner thread, so a sleeper releases the socket-call
// lock only when it is the holder.
struct StackLock {
  OSPrimSpinlockObject Object;
  volatile std::uint32_t Held;  // 1 while held (the clock DPC adds 1 too)
  PKTHREAD Owner;               // the holding thread, null when free
};

int AcquireBdcLock();
int ReleaseBdcLock();
int AcquireBdcNetLock();
int ReleaseBdcNetLock();
bool BdcLockHeldByCaller();
bool BdcNetLockHeldByCaller();

// The network lock for a caller that knows its thread (looked up once).
void AcquireBdcNetLockAs(PKTHREAD self);
void ReleaseBdcNetLockAs(PKTHREAD self);
bool BdcNetLockHeldBy(PKTHREAD self);

// Takes the network lock for a scope unless the calling thread holds it
// already (the socket-buffer routines free and allocate while holding it).
// The thread is looked up once for the check, the hold and the release.
class NetLockScope {
 public:
  NetLockScope() : self_(KeGetCurrentThread()), taken_(!BdcNetLockHeldBy(self_)) {
    if (taken_) AcquireBdcNetLockAs(self_);
  }
  ~NetLockScope() {
    if (taken_) ReleaseBdcNetLockAs(self_);
  }
  NetLockScope(const NetLockScope&) = delete;
  NetLockScope& operator=(const NetLockScope&) = delete;

 private:
  PKTHREAD self_;
  bool taken_;
};

// The list lock (short list surgery) and the callout lock; the stack input
// lock (receive path, soft-interrupt rounds, DHCP steps, detach).
void AcquireListLock();
void ReleaseListLock();
void AcquireInputLock();
void ReleaseInputLock();

// A short lock around a packet queue that the receive path, the output
// path and the soft-interrupt thread share (innermost; zero is free).
struct QueueLock {
  KSPIN_LOCK Lock;
  KIRQL Irql;  // valid while held
};
void AcquireQueueLock(QueueLock* lock);
void ReleaseQueueLock(QueueLock* lock);

// ---- Sleep objects -------------------------------------------------------------
inline constexpr std::uint32_t OSPRIM_SLEEP_SIGNATURE = 0x66666666;

// One waiter of a sleep object; lives on the sleeper's stack while it sleeps.
struct SleepWaiter {
  SleepWaiter* Next;
  KEVENT Event;
  bool Woken;
  bool Dead;  // woken because the object died
};

// A wake-up wakes every sleeper (as a BSD wakeup does); a sleep object whose
// signature is no longer OSPRIM_SLEEP_SIGNATURE is dead and its sleepers fail.
struct OSPrimSleepObject {
  KSPIN_LOCK WaitLock;  // guards the waiter list (innermost lock)
  SleepWaiter* Waiters;
  volatile std::uint32_t Abort;  // set: the next sleep fails once
  volatile std::uint32_t Sleepers;
  volatile std::uint32_t Signature;
};

void OSPrimInitSleepObject(OSPrimSleepObject* object);
// Wakes every current sleeper. Returns the number woken.
std::uint32_t OSPrimWakeup(OSPrimSleepObject* object);
// Wakes every sleeper and marks the object dead.
void OSPrimKillSleepObject(OSPrimSleepObject* object);
bool OSPrimSleepObjectAlive(const OSPrimSleepObject* object);
// Sleeps until woken, for at most `ticks` stack ticks (0: no limit). Returns
// 0 when woken, 1 on time-out, abort, an abnormal wait result or a dead
// object, and at once with 1 where no thread may wait (a callout handler, or
// DISPATCH_LEVEL once the socket-call lock is given up). The socket-call
// lock is released during the wait only when the caller holds it, and
// retaken before the return.
int OSPrimTSleep(std::int32_t ticks, OSPrimSleepObject* object);
// The same for at most `microseconds` (> 0) of the host clock instead of
// whole ticks, for a caller's own time-out (poll, select); a time-out
// returns 2, so that the caller can tell it from an interrupted wait (1).
int OSPrimSleepFor(std::int64_t microseconds, OSPrimSleepObject* object);

// ---- Clock ----------------------------------------------------------------------
// Stack ticks advance once per calibrated interval (10 or 15 ms).
std::uint32_t stack_tick_ms();
std::uint32_t tick_rate();    // ticks per second: 100 or 66
std::uint32_t stack_ticks();  // the current tick count
std::uint32_t soft_ticks();   // the last tick SoftClock processed
// Seconds since the host started, from 1 (the route and ARP clocks, whose
// expiry times use 0 for "never"; fits 32 bits).
std::int64_t stack_time_seconds();

struct timeval {
  std::int64_t tv_sec;
  std::int64_t tv_usec;
};
void perf_counter_timeval(timeval* tv);
// The time of day: seconds and microseconds since 1970-01-01 UTC.
void stack_time_of_day(timeval* tv);
int timeval_to_ticks(const timeval* tv);

// ---- Callouts ---------------------------------------------------------------------
inline constexpr std::uint32_t CALLOUT_RECORDS = 8768;
inline constexpr std::uint32_t CALLOUT_BUCKETS = 16384;
inline constexpr std::uint32_t CALLOUT_MASK = CALLOUT_BUCKETS - 1;

enum : std::uint32_t { CALLOUT_LOCAL_ALLOC = 0x1, CALLOUT_ACTIVE = 0x2, CALLOUT_PENDING = 0x4 };

using callout_handler = void (*)(void* argument);

struct callout {
  callout* c_next;
  callout** c_prev;  // address of the previous record's next link
  std::int32_t c_time;
  callout_handler c_func;
  void* c_arg;
  std::uint32_t c_flags;
};

struct callout_bucket {
  callout* first;
  callout** last;  // address of the last next link
};

void callout_init(callout* c);  // a record owned by its user (not from the free list)
callout* timeout(callout_handler handler, void* argument, std::int32_t ticks);
void callout_arm(callout* c, std::int32_t ticks, callout_handler handler, void* argument);
int callout_disarm(callout* c);
bool callout_pending(const callout* c);
// Whether the callout is pending with this handler and argument at the tick
// that arming it now with `ticks` would give. Read without the callout lock:
// for callouts whose every arm, stop and run happens under one lock the
// caller holds (a connection's timers: the socket-call lock).
bool callout_due_after(const callout* c, std::int32_t ticks, callout_handler handler, void* argument);
void callout_init_table();
// Runs the due callouts; the caller holds the socket-call lock.
void SoftClock();
void softclock_dpc(KDPC* dpc, PVOID context, PVOID argument1, PVOID argument2);
// Records still on the free list (for the "timeout table full" check).
std::uint32_t callout_free_count();

// ---- Soft interrupts ----------------------------------------------------------------
inline constexpr std::uint32_t NETISR_IP = 2;
inline constexpr std::uint32_t NETISR_ARP = 18;
// Rounds a releasing holder of the socket-call lock runs on its own thread
// at most (each round's output over the loopback is the next round's
// input) before it leaves the rest to the soft-interrupt thread.
inline constexpr std::uint32_t SOFTINT_DIRECT_ROUNDS = 16;
using netisr_handler = void (*)();
int register_netisr(std::uint32_t bit, netisr_handler handler);
void unregister_netisr(std::uint32_t bit);
// Marks the protocol's input pending and wakes the soft-interrupt thread.
void schednetisr(std::uint32_t bit);
// One round of the soft-interrupt thread, run by the caller (tests).
void softint_round();

// ---- Credentials, process and descriptors ---------------------------------------------
struct uidinfo {
  std::int32_t ui_uid;
  std::int64_t ui_sbsize;  // socket-buffer bytes accounted
};

struct ucred {
  std::int32_t cr_ref;
  std::int32_t cr_uid;
  uidinfo* cr_uidinfo;
  std::uint32_t cr_restricted_addr;  // network order; 0 = none
};

struct file;
struct process;

// Slot order: read, write, ioctl, poll, event filter, stat, close.
struct fileops {
  int (*fo_read)(file* fp, void* uio, ucred* cred, int flags, process* p);
  int (*fo_write)(file* fp, void* uio, ucred* cred, int flags, process* p);
  int (*fo_ioctl)(file* fp, std::uint32_t com, void* data, process* p);
  int (*fo_poll)(file* fp, int events, ucred* cred, process* p);
  int (*fo_kqfilter)(file* fp, void* note);
  int (*fo_stat)(file* fp, void* stat, process* p);
  int (*fo_close)(file* fp, process* p);
};

inline constexpr std::uint32_t DTYPE_SOCKET = 2;
inline constexpr std::uint32_t FREAD = 1;
inline constexpr std::uint32_t FWRITE = 2;

struct file {
  std::uint32_t f_type;
  std::uint32_t f_flag;
  ucred* f_cred;
  const fileops* f_ops;
  void* f_data;
  std::int32_t f_count;
  std::uintptr_t f_owner_pid;
};

inline constexpr std::uint32_t FD_TABLE_SIZE = 8192;

struct filedesc {
  file** fd_ofiles;
  std::uint8_t* fd_ofileflags;
  std::int32_t fd_nfiles;
  std::int32_t fd_lastfile;
  std::int32_t fd_freefile;
};

struct process {
  ucred* p_ucred;
  filedesc* p_fd;
  std::int32_t p_fdlimit;  // descriptor limit (at most FD_TABLE_SIZE)
  std::int64_t p_retval;
};

extern const fileops badfileops;
process* stack_process();
std::uint32_t open_files_in_use();

int alloc_open_file(process* p, file** out, int* index);
int fdalloc(process* p, int start, int* index);
int fdrop(file* fp, process* p);
void crhold(ucred* cred);
void crfree(ucred* cred);

// ---- Library routines -------------------------------------------------------------------
// Stops the host: an internal inconsistency of the stack.
[[noreturn]] void panic(const char* format, ...) __attribute__((format(printf, 1, 2)));

struct list_head_entry {
  void* first;
};
void* alloc_hash_table(int elements, std::uint32_t* mask);
void free_hash_table(void* table);

enum uio_seg_t : std::int32_t { UIO_USERSPACE = 0, UIO_SYSSPACE = 1, UIO_NOCOPY = 2 };
enum uio_rw_t : std::int32_t { UIO_READ = 0, UIO_WRITE = 1 };

struct iovec {
  void* iov_base;
  std::size_t iov_len;
};

struct uio {
  iovec* uio_iov;
  std::int32_t uio_iovcnt;
  std::int64_t uio_offset;
  std::int64_t uio_resid;
  uio_seg_t uio_segflg;
  uio_rw_t uio_rw;
  PKTHREAD uio_td;
};

// UIO_READ copies from the buffer into the vector, UIO_WRITE from the vector
// into the buffer. User-space segments are not addressable here: the socket
// requests copy user data into kernel buffers before they reach the stack,
// so a user segment gives BSD_EFAULT.
int uiomove(void* buffer, int count, uio* u);

int charge_user_sbsize(uidinfo* ui, std::uint32_t* hiwat, std::uint32_t to, std::uint32_t max);
int check_credential_address(const ucred* cred, int flag, std::uint32_t* address);
const char* inet_ntoa(std::uint32_t address_network_order);
int bcmp_bytes(const void* a, const void* b, std::size_t length);

// The thread flag a copy sets while it runs (no dead-lock detection).
inline constexpr std::uint32_t TDP_NODEADLOCK = 0x800000;

// ---- Module lifecycle (called by the stack's init and cleanup) -----------------------------
int kern_start(std::uint32_t tick_ms);
void kern_start_clock();
void kern_stop();

}  // namespace zektcp
