// The driver's side of one adapter function's control path, brought up with
// the hardware-interface module in the miniport's order: the device object,
// the control queue pair (CQP, id F), its completion queue (CCQ, id F), the
// control CEQ (id F), the AEQ (id F) and the proxy driver's CEQ (id F + 8).
// One helper for the in-process hardware-interface tests and for the NIC test
// driver, which plays a miniport's part in a host. Queue memory comes from
// the module's pools and the OS-primitive layer; take_down returns it all.
#pragma once

#include <cstdint>

#include "include/hw/events.h"
#include "proxy/rdma/hw/hwif.h"

namespace bringup {

// The physical address of memory from the OS-primitive layer.
inline std::uint64_t pa_of(const void* va) {
  std::uint32_t low = 0, high = 0;
  OSPrimGetPaFromVa(va, &low, &high);
  return (std::uint64_t{high} << 32) | low;
}

// Fills a device object as the miniport does, without any queue: the guards,
// the function, its three windows, and the index-register and CQP lock
// routines.
inline void init_device(MifhDeviceObj& d, unsigned function, volatile std::uint8_t* registers,
                        volatile std::uint8_t* doorbells, volatile std::uint8_t* config) {
  d.GuardStart = d.GuardEnd = MIFH_DEVICE_GUARD;
  d.PciFunction = function;
  d.RegisterWindow = registers;
  d.DoorbellWindow = doorbells;
  d.ConfigWindow = config;
  OSPrimSyncInitSpinlockObject(&d.IndexRegLock);
  d.IndexRegAcquire = CommonNicAcquireSpinlockFunction;
  d.IndexRegRelease = CommonNicReleaseSpinlockFunction;
  d.CqpAcquire = CommonNicAcquireSpinlockFunction;
  d.CqpRelease = CommonNicReleaseSpinlockFunction;
}

// An event-queue record over `ring` (`entries` elements), before its creation.
inline void init_ceq(MifhCeqObject& ceq, MifhDeviceObj& d, void* ring, std::uint32_t entries) {
  ceq.Device = &d;
  ceq.ElementCount = entries;
  ceq.RingPa = pa_of(ring);
  ceq.Ring = static_cast<std::uint64_t*>(ring);
  ceq.RingIndex = {0, 0, entries};
}
inline void init_aeq(MifhAeqObject& aeq, MifhDeviceObj& d, void* ring, std::uint32_t entries) {
  aeq.Device = &d;
  aeq.ElementCount = entries;
  aeq.RingPa = pa_of(ring);
  aeq.Ring = ring;
  aeq.RingIndex = {0, 0, entries};
}

// The step that failed, with the module's status; no step when all went well.
struct Failure {
  const char* step = nullptr;
  ZekStatus status = ZEK_STATUS_PASS;
  explicit operator bool() const { return step != nullptr; }
};

// The queues of the control path, and the memory behind the event queues.
struct ControlPath {
  MifhCqpObject* cqp = nullptr;
  zekhw::MifhCqpWqe* cqp_ring = nullptr;
  zekhw::MifhCqpHostContext* cqp_context = nullptr;
  MifhCqObject* ccq = nullptr;
  void* eq_rings[3] = {};  // the control CEQ's, the AEQ's, the proxy CEQ's
};

// The event-queue records, wherever the caller keeps them.
struct EventQueues {
  MifhCeqObject* control;
  MifhAeqObject* aeq;
  MifhCeqObject* proxy;
};

// The CQP with `wqes` slots, created on the adapter with id `cqp_id`.
// `holder` is the record that owns the device object (NIC_HW_INFO), or null.
inline Failure create_cqp(MifhDeviceObj& d, ControlPath& path, void* holder, std::uint32_t wqes, std::uint32_t cqp_id) {
  if (ZekStatus s = mifh_cqp_allocate(&d, &path.cqp, &path.cqp_ring, &path.cqp_context, wqes); s != 0) {
    return {"the CQP was not allocated", s};
  }
  if (ZekStatus s = mifh_cqp_init(&d, path.cqp, holder, path.cqp_ring, path.cqp_context, pa_of(path.cqp_ring),
                                  pa_of(path.cqp_context), wqes);
      s != 0) {
    return {"the CQP was not initialised", s};
  }
  if (ZekStatus s = mifh_cqp_create(path.cqp, cqp_id); s != 0) return {"the CQP was not created", s};
  return {};
}

// The CQP (id F) and the CCQ (id F, reporting to CEQ F).
inline Failure create_control_queues(MifhDeviceObj& d, ControlPath& path, void* holder, std::uint32_t cqp_wqes,
                                     std::uint32_t ccq_entries) {
  const std::uint32_t f = d.PciFunction;
  if (Failure failed = create_cqp(d, path, holder, cqp_wqes, f)) return failed;
  void* ring = nullptr;
  if (ZekStatus s = mifh_iwarp_cq_allocate(&path.ccq, &ring, ccq_entries); s != 0) {
    return {"the CCQ was not allocated", s};
  }
  if (ZekStatus s = mifh_iwarp_cq_init(&d, path.ccq, ring, pa_of(ring), ccq_entries, 0); s != 0) {
    return {"the CCQ was not initialised", s};
  }
  if (ZekStatus s = mifh_ccq_create(path.ccq, f, f); s != 0) return {"the CCQ was not created", s};
  return {};
}

// The control CEQ, the AEQ and the proxy driver's CEQ, each on a ring of its
// own. Their completions are left on the CCQ for the caller to retire.
inline Failure create_event_queues(MifhDeviceObj& d, ControlPath& path, const EventQueues& queues,
                                   std::uint32_t ceq_entries, std::uint32_t aeq_entries) {
  const std::uint32_t f = d.PciFunction;
  const std::uint32_t bytes[3] = {ceq_entries * 8, aeq_entries * std::uint32_t{sizeof(zekhw::MifhAeqe)},
                                  ceq_entries * 8};
  for (unsigned i = 0; i < 3; ++i) {
    if (ZekStatus s = OSPrimMemDMAAllocate(&path.eq_rings[i], bytes[i]); s != ZEK_STATUS_PASS) {
      return {"no memory for an event queue", s};
    }
  }
  init_ceq(*queues.control, d, path.eq_rings[0], ceq_entries);
  if (ZekStatus s = mifh_ceq_create(queues.control, f, 0); s != 0) return {"the control CEQ was not created", s};
  init_aeq(*queues.aeq, d, path.eq_rings[1], aeq_entries);
  if (ZekStatus s = mifh_aeq_create(queues.aeq, f, 0); s != 0) return {"the AEQ was not created", s};
  init_ceq(*queues.proxy, d, path.eq_rings[2], ceq_entries);
  if (ZekStatus s = mifh_ceq_create(queues.proxy, f + 8, 0); s != 0) return {"the proxy CEQ was not created", s};
  return {};
}

// Destroys the CQP on the adapter, once the CCQ's completions are retired,
// and returns every queue of the path to where it came from.
inline void take_down(MifhDeviceObj& d, ControlPath& path) {
  if (path.cqp != nullptr && path.cqp->Lock != nullptr && d.Cqp == path.cqp) {
    if (path.ccq != nullptr && path.ccq->Signature == MIFH_CQ_SIGNATURE) mifh_process_ccq(path.ccq);
    mifh_cqp_destroy(path.cqp);
  }
  if (path.ccq != nullptr) mifh_free_iwarp_cq(path.ccq);
  if (path.cqp != nullptr) mifh_free_cqp_object(path.cqp);
  for (void* ring : path.eq_rings) {
    if (ring != nullptr) OSPrimMemDMAFree(ring);
  }
  path = ControlPath{};
}

}  // namespace bringup
