// What the attach and detach sources share: the driver's 16 adapter slots.
// A slot outlives every adapter it serves, so the bottom half can find its
// adapter (and be shut out of it) without touching memory a detach frees.
#pragma once

#include <atomic>
#include <cstdint>

#include "proxy/core/attach.h"

struct ZpxAdapterSlot {
  std::uint32_t Used;                      // under the slot lock
  std::atomic<NicProxyInterface*> Record;  // set once the attach completed, cleared first by a detach
  ZpxDetachGuard Guard;                    // the bottom half's way in
  ProxyAdapterInfo* Info;
};
extern ZpxAdapterSlot g_ZpxAdapterSlots[ZPX_MAX_ADAPTERS];

// Frees the slot: it names no record and no adapter afterwards.
void ZpxFreeAdapterSlot(std::uint32_t index);
// Takes a completed attach out of sight: the record's event slots closed,
// the slot's record cleared, the bottom half shut out and waited for
// (PASSIVE_LEVEL). The undo comes after.
void ZpxWithdrawAttach(ProxyAdapterInfo* info);
// Takes down what an attach built, in the sound order, and frees the slot
// and both blocks. With `adapter_gone` (the miniport halted under the
// attach) nothing of the adapter is touched: what the adapter may still
// reach (queues, receive buffers) and what is tied to its objects (the
// managers) stays allocated, and that is logged.
void ZpxUndoAttach(ProxyAdapterInfo* info, bool adapter_gone);
