// The control-queue-pair lock routines. The miniport stores their addresses
// in the device object and the CQP object copies them, so both drivers
// serialise their control requests on the same spin-lock object. Each has
// the shape of MifhLockRoutine (include/zek/mifh.h): the status of the
// OS-primitive acquire or release, logged when it fails.
#pragma once

#include "include/zek/mifh.h"

ZekStatus CommonNicAcquireSpinlockFunction(OSPrimSpinlockObject* lock);
ZekStatus CommonNicReleaseSpinlockFunction(OSPrimSpinlockObject* lock);
