// What the NDIS routines share inside the stand-in.
#pragma once

#include "platform/common/srcloc.h"
#include "platform/kernel/fault.h"
#include "platform/ndis/host.h"

namespace plat::ndis {

// The adapter behind a miniport adapter handle; a handle NDIS never gave
// out stops the host, as a bad handle would crash a real one.
Adapter& adapter_of(NDIS_HANDLE handle, const SrcLoc& where = SrcLoc::current());
// The adapter, or null for a handle that is not an adapter's (a driver
// handle, or none).
Adapter* try_adapter_of(NDIS_HANDLE handle);

// Pool tag of the stand-in's own blocks ("Ndis").
inline constexpr ULONG kNdisTag = 0x7369644E;

// Changes one holding count under the adapter's lock.
template <typename F>
void hold(Adapter* adapter, F change) {
  if (adapter == nullptr) return;
  std::lock_guard lock(adapter->mu_);
  change(adapter->holdings_);
}

}  // namespace plat::ndis
