// The bottom half's pass over the driver's completion event queue: each
// entry names a completion queue, which goes to the NIC step (NIC queues) or
// to its owner's callback (the verbs' iWARP queues). A pass never runs much
// longer than ZPX_BH_BUDGET_MS: past it the pass posts a no-op on the control
// queue pair, whose completion interrupts again, and returns; the miniport's
// DPC calls the bottom half again for the rest.
#pragma once

#include <cstdint>

#include "include/zek/mifh.h"

inline constexpr std::uint64_t ZPX_BH_BUDGET_MS = 1000;

struct ZpxBottomHalfRoutines {
  void (*Nic)(void* context, MifhCqObject* cq);    // the NIC step
  void (*Iwarp)(void* context, MifhCqObject* cq);  // the owner's callback of an iWARP queue
  void* Context;
};

// Answers the entries handled; *yielded tells whether the budget ended the
// pass (and the no-op was posted).
std::uint32_t ZpxBottomHalfCeqPass(MifhDeviceObj* device, MifhCeqObject* ceq, MifhCqpObject* cqp,
                                   const ZpxBottomHalfRoutines* routines, bool* yielded);
