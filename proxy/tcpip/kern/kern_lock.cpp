// The stack's locks. The socket-call and network locks record their owner
// thread, so that a sleeper can tell whether it is the one holding the
// socket-call lock.
#include "proxy/tcpip/kern/kern_internal.h"

namespace zektcp {

namespace {

int acquire(StackLock* lock, int line, PKTHREAD self) {
  const ZekStatus status = OSPrimSyncAcquireSpinlockObject(&lock->Object);
  if (status != ZEK_STATUS_PASS) {
    OSPrimDebugPrint("AcquireBdcLock:failed Line[%d]\n", line);
    return static_cast<int>(status);
  }
  lock->Held = 1;
  lock->Owner = self;
  return 0;
}

int acquire(StackLock* lock, int line) { return acquire(lock, line, KeGetCurrentThread()); }

int release(StackLock* lock, int line, PKTHREAD self) {
  if (lock->Owner != self) {
    OSPrimDebugPrint("ReleaseBdcLock:failed Line[%d]\n", line);
    return static_cast<int>(ZEK_OSPRIM_FAILURE);
  }
  lock->Held = 0;
  lock->Owner = nullptr;
  const ZekStatus status = OSPrimSyncReleaseSpinlockObject(&lock->Object);
  if (status != ZEK_STATUS_PASS) {
    OSPrimDebugPrint("ReleaseBdcLock:failed Line[%d]\n", line);
    return static_cast<int>(status);
  }
  return 0;
}

int release(StackLock* lock, int line) { return release(lock, line, KeGetCurrentThread()); }

}  // namespace

int AcquireBdcLock() { return acquire(&g_kern.bdc, __LINE__); }
int ReleaseBdcLock() {
  PKTHREAD self = KeGetCurrentThread();
  if (g_kern.bdc.Owner == self) softint_before_release();
  return release(&g_kern.bdc, __LINE__, self);
}
int AcquireBdcNetLock() { return acquire(&g_kern.net, __LINE__); }
int ReleaseBdcNetLock() { return release(&g_kern.net, __LINE__); }

bool BdcLockHeldByCaller() { return g_kern.bdc.Held != 0 && g_kern.bdc.Owner == KeGetCurrentThread(); }
bool BdcNetLockHeldByCaller() { return BdcNetLockHeldBy(KeGetCurrentThread()); }
void AcquireBdcNetLockAs(PKTHREAD self) { acquire(&g_kern.net, __LINE__, self); }
void ReleaseBdcNetLockAs(PKTHREAD self) { release(&g_kern.net, __LINE__, self); }
bool BdcNetLockHeldBy(PKTHREAD self) { return g_kern.net.Held != 0 && g_kern.net.Owner == self; }

void AcquireListLock() { OSPrimSyncAcquireSpinlockObject(&g_kern.list_lock); }
void ReleaseListLock() { OSPrimSyncReleaseSpinlockObject(&g_kern.list_lock); }
void AcquireQueueLock(QueueLock* lock) {
  KIRQL irql;
  KeAcquireSpinLock(&lock->Lock, &irql);
  lock->Irql = irql;
}

void ReleaseQueueLock(QueueLock* lock) { KeReleaseSpinLock(&lock->Lock, lock->Irql); }

void AcquireInputLock() {
  OSPrimSyncAcquireSpinlockObject(&g_kern.input_lock);
  g_kern.input_owner = KeGetCurrentThread();
}
void ReleaseInputLock() {
  if (g_kern.input_owner == KeGetCurrentThread()) softint_before_input_release(g_kern.input_lock.SavedIrql);
  g_kern.input_owner = nullptr;
  OSPrimSyncReleaseSpinlockObject(&g_kern.input_lock);
}

}  // namespace zektcp
