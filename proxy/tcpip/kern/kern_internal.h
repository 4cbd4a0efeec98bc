// State of the stack's kernel emulation, shared by its source files only.
#pragma once

#include "proxy/tcpip/kern/kern.h"

namespace zektcp {

struct KernState {
  StackLock bdc;
  StackLock net;
  OSPrimSpinlockObject list_lock;
  OSPrimSpinlockObject callout_lock;
  OSPrimSpinlockObject input_lock;
  std::uint32_t tick_ms;

  // Callouts: CALLOUT_RECORDS records followed by the wheel, one allocation.
  callout* records;
  callout_bucket* wheel;
  callout* free_list;
  std::uint32_t free_count;
  callout* next_visit;  // the record SoftClock visits next, or null
  std::uint32_t softticks;
  PKTHREAD softclock_thread;  // the thread running a callout handler
  KTIMER clock_timer;
  KDPC clock_dpc;
  bool clock_armed;

  // Soft-interrupt thread.
  volatile LONG netisr;
  netisr_handler isr[32];
  KEVENT softint_event;
  // Set by the thread just before it waits: a scheduler sets the event only
  // then, so a thread already at work costs its schedulers nothing.
  volatile LONG softint_sleeping;
  volatile LONG softint_exit;
  bool softint_in_progress;
  HANDLE softint_thread;
  PKTHREAD input_owner;        // the thread holding the stack input lock, or null
  PKTHREAD softint_thread_id;  // the soft-interrupt thread itself, once it runs

  // The one process record, its credential and descriptor table.
  process proc;
  ucred cred;
  uidinfo uinfo;
  filedesc fd;
  std::uint32_t nfiles;
};

extern KernState g_kern;

int callout_start();
void callout_stop();
int softint_start();
void softint_stop();
// Called by the holder of the socket-call lock just before it releases it:
// runs the pending soft interrupts on this thread when the stack input lock
// is free, or wakes the soft-interrupt thread.
void softint_before_release();
// Called by the holder of the stack input lock just before it releases it,
// with the level it goes back to: runs the pending soft interrupts on this
// thread when it may take the socket-call lock, or wakes the thread.
void softint_before_input_release(KIRQL level_after);
// Wakes the soft-interrupt thread if input is pending (a path that releases
// the socket-call lock without softint_before_release: the clock DPC).
void softint_kick();
int descrip_start();
void descrip_stop();

}  // namespace zektcp
