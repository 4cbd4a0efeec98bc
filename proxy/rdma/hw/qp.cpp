// Queue-pair and protection-domain control operations.
#include "proxy/rdma/hw/qp.h"

#include <atomic>
#include <cstring>

#include "include/hw/cqp.h"
#include "include/hw/registers.h"
#include "include/hw/wqe.h"
#include "proxy/rdma/hw/control_qp.h"
#include "proxy/rdma/hw/doorbell.h"
#include "proxy/rdma/hw/pool_ops.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/hw/ring.h"
#include "proxy/rdma/hw/status.h"

namespace {

int size_code(std::uint32_t wqes) {
  for (int c = 0; c < 4; ++c) {
    if (zekhw::kQpRingSizes[c] == wqes) return c;
  }
  return -1;
}
int efb_code(std::uint32_t efb) {
  switch (efb) {
    case 0:
      return 0;
    case 1:
      return 1;
    case 2:
      return 2;
    case 4:
      return 3;
    default:
      return -1;
  }
}

std::uint64_t pa_of(const void* va) {
  std::uint32_t low = 0, high = 0;
  if (va == nullptr || OSPrimGetPaFromVa(va, &low, &high) != ZEK_STATUS_PASS) return 0;
  return (std::uint64_t{high} << 32) | low;
}

bool qp_ok(const MifhQpObject* qp) {
  return !ZekIsBadPointer(qp) && !ZekIsBadPointer(qp->Device) && !ZekIsBadPointer(qp->Device->Cqp);
}

zekhw::MifhCqpWqe qp_request(const MifhQpObject* qp, std::uint32_t op_word, MifhCqpCompletionContext* context) {
  zekhw::MifhCqpWqe wqe{};
  wqe.op_word = op_word;
  wqe.object_word = qp->QpId;
  wqe.completion_context = reinterpret_cast<std::uint64_t>(context);
  wqe.physical_address = qp->HostContextPa;
  return wqe;
}

// Bytes 32-63 of a create or modify request, from the attribute values in
// their order there: +48 and +56 stay 0 when the value for +44 is set, and
// +60 is written only with its flag byte.
void put_attribute_words(zekhw::MifhCqpWqe& wqe, std::uint64_t at32, std::uint32_t at40, std::uint32_t at44,
                         std::uint64_t at48, std::uint32_t at56, std::uint16_t at60, std::uint8_t with60) {
  zekhw::MifhCqpQpAttributeWords words{};
  words.value32 = at32;
  words.value40 = at40;
  words.value44 = at44;
  words.value48 = at44 != 0 ? 0 : at48;
  words.value56 = at44 != 0 ? 0 : at56;
  words.value60 = with60 != 0 ? at60 : 0;
  std::memcpy(reinterpret_cast<std::uint8_t*>(&wqe) + zekhw::kCqpQpAttributeOffset, &words, sizeof words);
}

ZekStatus lock(OSPrimSpinlockObject* l) { return OSPrimSyncAcquireSpinlockObject(l); }
void unlock(OSPrimSpinlockObject* l) { OSPrimSyncReleaseSpinlockObject(l); }

// Flag changes are made under the QP lock, so two callers never both post.
bool test_and_set(MifhQpObject* qp, std::uint32_t flag) {
  if (lock(&qp->QpLock) != ZEK_STATUS_PASS) return false;
  const bool was = (qp->QpFlags & flag) != 0;
  qp->QpFlags |= flag;
  unlock(&qp->QpLock);
  return !was;
}

std::uint32_t tcp_value(const std::uint8_t* record, unsigned offset) {
  std::uint32_t v;
  std::memcpy(&v, record + offset, 4);
  return v;
}

}  // namespace

// ---- Protection domains ----------------------------------------------------------------------------

ZekStatus mifh_pd_init(void* adapter, MifhPdObject* pd, std::uint32_t pd_id) {
  if (ZekIsBadPointer(pd)) return MIFH_STATUS_FAIL;
  if (pd_id > MIFH_MAX_PD_ID) {
    ZEK_LOG_FAILURE("mifh_pd_init: invalid PdId (0x%x)\n", pd_id);
    return MIFH_STATUS_INVALID_PD;
  }
  pd->Device = static_cast<MifhDeviceObj*>(adapter);
  pd->PdId = pd_id;
  pd->Magic = MIFH_PD_MAGIC;
  pd->Zero[0] = pd->Zero[1] = pd->Zero[2] = 0;
  return MIFH_STATUS_SUCCESS;
}

// ---- Memory ---------------------------------------------------------------------------------------

namespace {

void init_object(MifhQpObject* qp, MifhDeviceObj* device, void* sq, void* rq, void* context, std::uint32_t sq_wqes,
                 std::uint32_t rq_wqes, std::uint8_t type) {
  qp->Device = device;
  qp->Sq = sq;
  qp->Rq = rq;
  qp->HostContext = context;
  qp->SqPa = pa_of(sq);
  qp->RqPa = pa_of(rq);
  qp->HostContextPa = pa_of(context);
  qp->SqWqeCount = sq_wqes;
  qp->RqWqeCount = rq_wqes;
  qp->QpType = type;
  qp->HwState = MIFH_QP_ALLOCATED;
  OSPrimSyncInitSpinlockObject(&qp->QpLock);
  OSPrimSyncInitSpinlockObject(&qp->SqLock);
  OSPrimSyncInitSpinlockObject(&qp->RqLock);
}

}  // namespace

ZekStatus mifh_nic_qp_allocate(MifhQpObject** qp, MifhDeviceObj* device, void** sq, void** rq, void** host_context,
                               std::uint32_t sq_wqes, std::uint32_t rq_wqes, std::uint32_t efb_count) {
  if (ZekIsBadPointer(qp) || ZekIsBadPointer(sq) || ZekIsBadPointer(rq) || ZekIsBadPointer(host_context)) {
    return MIFH_STATUS_FAIL;
  }
  *qp = nullptr;
  if ((efb_count & 0xFF) != 0) {
    ZEK_LOG_FAILURE("mifh_nic_qp_allocate: invalid efb count (0x%x)\n", efb_count);
    return MIFH_STATUS_EFB;
  }
  auto* object = static_cast<MifhQpObject*>(mifh_allocate_qp_object());
  if (object == nullptr) {
    ZEK_LOG_FAILURE("mifh_nic_qp_allocate: Couldn't allocate buf for QP Object\n");
    return MIFH_STATUS_NO_OBJECT;
  }
  // The NIC queue pair always has 512 send and 512 receive requests.
  void* s = mifh_allocate_nic_sq(512);
  if (s == nullptr) {
    ZEK_LOG_FAILURE("mifh_nic_qp_allocate: Couldn't allocate buf for QP SQ\n");
    mifh_free_qp_object(object);
    return MIFH_STATUS_NO_MEMORY;
  }
  void* r = mifh_allocate_nic_rq(512);
  if (r == nullptr) {
    ZEK_LOG_FAILURE("mifh_nic_qp_allocate: Couldn't allocate buf for QP RQ\n");
    mifh_pool_free(MIFH_POOL_NIC_SQ, s, 512);
    mifh_free_qp_object(object);
    return MIFH_STATUS_NO_MEMORY;
  }
  void* c = mifh_allocate_nic_qp_host_context();
  if (c == nullptr) {
    ZEK_LOG_FAILURE("mifh_nic_qp_allocate: Couldn't allocate buf for QP host context\n");
    mifh_pool_free(MIFH_POOL_NIC_RQ, r, 512);
    mifh_pool_free(MIFH_POOL_NIC_SQ, s, 512);
    mifh_free_qp_object(object);
    return MIFH_STATUS_NO_MEMORY;
  }
  std::memset(s, 0, 512 * sizeof(zekhw::MifhNicSqWqe));
  std::memset(r, 0, 512 * sizeof(zekhw::MifhNicRqWqe));
  std::memset(c, 0, zekhw::kQpHostContextBytes);
  init_object(object, device, s, r, c, 512, 512, MIFH_QP_TYPE_NIC);
  *qp = object;
  *sq = s;
  *rq = r;
  *host_context = c;
  return MIFH_STATUS_SUCCESS;
}

namespace {

// The iWARP and TOE queue pairs: an object, two rings of 128-byte requests
// from the pools of their kind and an iWARP/TOE host context, all zeroed.
struct RingPools {
  const char* name;
  MifhPoolId sq, rq;
};

ZekStatus allocate_rings_and_context(const RingPools& kind, MifhQpObject** qp, MifhDeviceObj* device,
                                     std::uint32_t sq_wqes, std::uint32_t rq_wqes, std::uint32_t efb_count) {
  *qp = nullptr;
  if (size_code(sq_wqes) < 0) {
    ZEK_LOG_FAILURE("%s: invalid iwarp sq wqe size (0x%x)\n", kind.name, sq_wqes);
    return MIFH_STATUS_INVALID_WQE_COUNT;
  }
  if (size_code(rq_wqes) < 0) {
    ZEK_LOG_FAILURE("%s: invalid iwarp rq wqe size (0x%x)\n", kind.name, rq_wqes);
    return MIFH_STATUS_INVALID_WQE_COUNT;
  }
  if (efb_code(efb_count) < 0) {
    ZEK_LOG_FAILURE("%s: invalid efb count (0x%x)\n", kind.name, efb_count);
    return MIFH_STATUS_EFB;
  }
  auto* object = static_cast<MifhQpObject*>(mifh_allocate_qp_object());
  if (object == nullptr) {
    ZEK_LOG_FAILURE("%s: Couldn't allocate buf for QP Object\n", kind.name);
    return MIFH_STATUS_NO_OBJECT;
  }
  void* s = mifh_pool_allocate(kind.sq, sq_wqes);
  void* r = s == nullptr ? nullptr : mifh_pool_allocate(kind.rq, rq_wqes);
  void* c = r == nullptr ? nullptr : mifh_allocate_iwarptoe_qp_host_context();
  if (c == nullptr) {
    ZEK_LOG_FAILURE(s == nullptr   ? "%s: Couldn't allocate buf for QP SQ\n"
                    : r == nullptr ? "%s: Couldn't allocate buf for QP RQ\n"
                                   : "%s: Couldn't allocate buf for QP host context\n",
                    kind.name);
    if (r != nullptr) mifh_pool_free(kind.rq, r, rq_wqes);
    if (s != nullptr) mifh_pool_free(kind.sq, s, sq_wqes);
    mifh_free_qp_object(object);
    return MIFH_STATUS_NO_MEMORY;
  }
  std::memset(s, 0, std::size_t{sq_wqes} * sizeof(zekhw::MifhWqe));
  std::memset(r, 0, std::size_t{rq_wqes} * sizeof(zekhw::MifhWqe));
  std::memset(c, 0, zekhw::kQpHostContextBytes);
  init_object(object, device, s, r, c, sq_wqes, rq_wqes, MIFH_QP_TYPE_IWARP);
  object->EfbSize = static_cast<std::uint8_t>(efb_count);
  *qp = object;
  return MIFH_STATUS_SUCCESS;
}

}  // namespace

ZekStatus mifh_iwarp_qp_allocate(MifhQpObject** qp, MifhDeviceObj* device, void** sq, void** rq, void** host_context,
                                 std::uint32_t sq_wqes, std::uint32_t rq_wqes, std::uint32_t efb_count) {
  if (ZekIsBadPointer(qp) || ZekIsBadPointer(sq) || ZekIsBadPointer(rq) || ZekIsBadPointer(host_context)) {
    return MIFH_STATUS_FAIL;
  }
  const ZekStatus status = allocate_rings_and_context(
      {"mifh_iwarp_qp_allocate", MIFH_POOL_IWARP_SQ, MIFH_POOL_IWARP_RQ}, qp, device, sq_wqes, rq_wqes, efb_count);
  if (status != MIFH_STATUS_SUCCESS) return status;
  *sq = (*qp)->Sq;
  *rq = (*qp)->Rq;
  *host_context = (*qp)->HostContext;
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_toe_qp_allocate(MifhQpObject** qp, MifhDeviceObj* device, std::uint32_t sq_wqes, std::uint32_t rq_wqes) {
  if (ZekIsBadPointer(qp)) return MIFH_STATUS_FAIL;
  const ZekStatus status = allocate_rings_and_context({"mifh_toe_qp_allocate", MIFH_POOL_TOE_SQ, MIFH_POOL_TOE_RQ}, qp,
                                                      device, sq_wqes, rq_wqes, 0);
  if (status != MIFH_STATUS_SUCCESS) return status;
  (*qp)->SqRing = {0, 0, sq_wqes};
  (*qp)->RqRing = {0, 0, rq_wqes};
  return MIFH_STATUS_SUCCESS;
}

namespace {

// A queue pair whose destroy the adapter never confirmed keeps its memory:
// the adapter may still read its rings and write its context.
bool quarantined(const MifhQpObject* qp, const char* caller) {
  if ((qp->QpFlags & MIFH_QPF_QUARANTINED) == 0) return false;
  ZEK_LOG_FAILURE("%s: QP id (%d) is quarantined; its memory is not returned\n", caller, qp->QpId);
  return true;
}

void free_queue(MifhPoolId pool, void* ring, std::uint32_t wqes, const char* format) {
  if (ring == nullptr) return;
  if (size_code(wqes) < 0) {
    ZEK_LOG_FAILURE(format, wqes);
    return;
  }
  mifh_pool_free(pool, ring, wqes);
}

}  // namespace

void mifh_free_nic_sq(MifhQpObject* qp) {
  if (ZekIsBadPointer(qp) || quarantined(qp, "mifh_free_nic_sq")) return;
  free_queue(MIFH_POOL_NIC_SQ, qp->Sq, qp->SqWqeCount, "mifh_free_nic_sq: wrong send wqe size (%d)\n");
  free_queue(MIFH_POOL_NIC_RQ, qp->Rq, qp->RqWqeCount, "mifh_free_nic_sq: wrong recv wqe size (%d)\n");
  if (qp->HostContext != nullptr) mifh_pool_free(MIFH_POOL_NIC_QP_CONTEXT, qp->HostContext, 0);
  mifh_free_qp_object(qp);
}

void mifh_free_toe_sq(MifhQpObject* qp) {
  if (ZekIsBadPointer(qp) || quarantined(qp, "mifh_free_toe_sq")) return;
  free_queue(MIFH_POOL_TOE_SQ, qp->Sq, qp->SqWqeCount, "mifh_free_toe_sq: wrong send wqe size (%d)\n");
  free_queue(MIFH_POOL_TOE_RQ, qp->Rq, qp->RqWqeCount, "mifh_free_toe_sq: wrong recv wqe size (%d)\n");
  if (qp->HostContext != nullptr) mifh_free_iwarptoe_qp_host_context(qp->HostContext);
  mifh_free_qp_object(qp);
}

void mifh_free_iwarp_virtual_sq(MifhQpObject* qp) {
  if (ZekIsBadPointer(qp) || quarantined(qp, "mifh_free_iwarp_virtual_sq")) return;
  free_queue(MIFH_POOL_IWARP_SQ, qp->Sq, qp->SqWqeCount, "mifh_free_iwarp_virtual_sq: wrong send wqe size (%d)\n");
  free_queue(MIFH_POOL_IWARP_RQ, qp->Rq, qp->RqWqeCount, "mifh_free_iwarp_virtual_sq: wrong recv wqe size (%d)\n");
  if (qp->HostContext != nullptr) mifh_free_iwarptoe_qp_host_context(qp->HostContext);
  mifh_free_qp_object(qp);
}

// ---- Host contexts ----------------------------------------------------------------------------------

namespace {

ZekStatus check_sizes(const MifhQpObject* qp, const char* caller, int* sq, int* rq, int* efb) {
  *sq = size_code(qp->SqWqeCount);
  *rq = size_code(qp->RqWqeCount);
  *efb = efb_code(qp->EfbSize);
  if (*sq < 0) {
    ZEK_LOG_FAILURE("%s: Wrong SQ Size (%x) \n", caller, qp->SqWqeCount);
    return MIFH_STATUS_INVALID_WQE_COUNT;
  }
  if (*rq < 0) {
    ZEK_LOG_FAILURE("%s: Wrong RQ Size (%x) \n", caller, qp->RqWqeCount);
    return MIFH_STATUS_INVALID_WQE_COUNT;
  }
  if (*efb < 0) {
    ZEK_LOG_FAILURE("%s: Wrong EFB Size (%x) \n", caller, qp->EfbSize);
    return MIFH_STATUS_INVALID_WQE_COUNT;
  }
  return MIFH_STATUS_SUCCESS;
}

}  // namespace

ZekStatus mifh_nic_qp_setcontext(MifhQpObject* qp, const MifhNicContextAttributes* a) {
  if (ZekIsBadPointer(qp) || ZekIsBadPointer(a) || qp->HostContext == nullptr) return MIFH_STATUS_FAIL;
  int sq, rq, efb;
  if (ZekStatus s = check_sizes(qp, "mifh_nic_qp_setcontext", &sq, &rq, &efb); s != MIFH_STATUS_SUCCESS) return s;
  zekhw::MifhNicQpContext c{};
  c.word0 = zekhw::nic_context_word0(a->Byte6, static_cast<std::uint8_t>(efb), static_cast<std::uint8_t>(rq),
                                     static_cast<std::uint8_t>(sq), a->PciFunction, a->Byte8, a->Byte7, a->Byte0);
  c.word1 = 0;
  c.sq_pa = qp->SqPa;
  c.rq_pa = qp->RqPa;
  std::memcpy(qp->HostContext, &c, sizeof c);
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_iwarp_qp_setcontext(MifhQpObject* qp, const MifhIwarpContextAttributes* a) {
  if (ZekIsBadPointer(qp) || ZekIsBadPointer(a) || qp->HostContext == nullptr) return MIFH_STATUS_FAIL;
  int sq, rq, efb;
  if (ZekStatus s = check_sizes(qp, "mifh_iwarp_qp_setcontext", &sq, &rq, &efb); s != MIFH_STATUS_SUCCESS) return s;
  const bool offload = a->Offload != 0;
  if (offload && ZekIsBadPointer(a->TcpState)) return MIFH_STATUS_FAIL;
  const std::uint8_t* t = a->TcpState;
  const std::uint32_t device_value = qp->Device != nullptr ? qp->Device->PciFunction & 7 : 0;
  zekhw::MifhIwarpQpContext c{};
  std::uint32_t f = (a->Byte10 & 7u) | std::uint32_t(efb) << zekhw::kIwarpCtxEfbShift |
                    std::uint32_t(rq) << zekhw::kIwarpCtxRqSizeShift |
                    std::uint32_t(sq) << zekhw::kIwarpCtxSqSizeShift | device_value << zekhw::kIwarpCtxDeviceShift |
                    (a->Byte1 & 1u) << 23 | (a->Byte5 & 1u) << 28 | (a->Byte6 & 1u) << 29 | (a->Byte7 & 1u) << 30;
  if (!offload) {
    c.flags = zekhw::kIwarpCtxFlagsNoOffload | f | (a->Byte2 & 0xFu) << 24;
  } else {
    c.flags = zekhw::kIwarpCtxFlagsOffload | f | (t[0] & 1u) << 3 | (t[2] & 1u) << 5 | (t[12] & 7u) << 16 |
              ((tcp_value(t, 0x4C) != 0 || tcp_value(t, 0x48) != 0) ? 1u << 19 : 0u) | (t[4] & 1u) << 20 |
              (t[5] & 1u) << 21 | (t[6] & 1u) << 22 | (a->Byte2 & 7u) << 24 | (t[8] & 1u) << 27;
  }
  if (a->CqIdsValid != 0) {
    c.sq_cq_id = a->SqCqId;
    c.rq_cq_id = a->RqCqId;
  }
  c.sq_pa = qp->SqPa;
  c.rq_pa = qp->RqPa;
  auto& w = c.conn;
  using zekhw::ctx_conn;
  if (!offload) {
    w[ctx_conn(6)] = std::uint32_t{qp->Word6Byte} << 16;
    w[ctx_conn(7)] = std::uint32_t{qp->RemotePort} << 16 | qp->LocalPort;
    w[ctx_conn(8)] = qp->RemoteAddress;
    w[ctx_conn(15)] = device_value << 16;
    w[ctx_conn(35)] = qp->HashIndex;
  } else {
    // With offload, bump value 0x70 (the next send sequence) by one when no
    // timestamp is pending and its low two bits are clear.
    if (tcp_value(t, 0x4C) == 0 && (tcp_value(t, 0x70) & 3) == 0) {
      const std::uint32_t next = tcp_value(t, 0x70) + 1;
      std::memcpy(a->TcpState + 0x70, &next, 4);
    }
    auto v = [&](unsigned off) { return tcp_value(t, off); };
    w[ctx_conn(6)] = (v(0x14) & 0xFF) | (v(0xB0) & 3) << 8 | (a->Byte22 & 0x3Fu) << 10 | (v(0x18) & 0xFF) << 16 |
                     (v(0x10) & 0xFF) << 24;
    w[ctx_conn(7)] = v(0x20) << 16 | (v(0x1C) & 0xFFFF);
    for (unsigned i = 0; i < 4; ++i) w[ctx_conn(8 + i)] = v(0x24 + 4 * i);
    w[ctx_conn(12)] = v(0x34) << 16;
    w[ctx_conn(13)] = v(0x3C) << 16 | (v(0x38) & 0xFFFF);
    w[ctx_conn(14)] = v(0x40) << 28 | v(0x44);
    w[ctx_conn(15)] = (v(0x4C) & 0xFF) | (v(0x48) & 0xFF) << 8 | (device_value & 0xFF) << 16;
    w[ctx_conn(16)] = (v(0x54) & 0xFFFF) | (v(0x50) & 0xFF) << 16 | (v(0x58) & 0xFF) << 24;
    for (unsigned i = 0; i < 16; ++i) w[ctx_conn(17 + i)] = v(0x5C + 4 * i);
    w[ctx_conn(33)] = v(0x9C) << 16 | (v(0xA0) & 0xFFFF);
    w[ctx_conn(34)] = v(0xA8) << 16 | (v(0xA4) & 0xFFFF);
    w[ctx_conn(35)] = v(0xAC);
  }
  c.q2_pa = a->Q2Pa;
  c.word38 = qp->Word38;
  c.word39 = a->PdId;
  c.word40 = std::uint32_t{a->Byte28} | std::uint32_t{a->Byte29} << 16 | (offload ? (a->Offload & 1u) << 25 : 0u) |
             (a->Byte9 & 1u) << 26 | (a->Byte8 & 1u) << 27 | (a->Byte30 & 3u) << 28 | 0xC0000000u;
  c.word41 = a->Word32;
  c.qp_object = reinterpret_cast<std::uint64_t>(qp);
  std::memcpy(qp->HostContext, &c, sizeof c);
  return MIFH_STATUS_SUCCESS;
}

// ---- Control requests ---------------------------------------------------------------------------------

ZekStatus mifh_nic_qp_create(MifhQpObject* qp, void*, MifhCqpCompletionContext* context) {
  if (!qp_ok(qp)) return MIFH_STATUS_FAIL;
  // The multicast receive queue's NIC QP has an id of its own below the range.
  if (qp->QpId != zekhw::kMcrqQpId && (qp->QpId < zekhw::kNicQpFirst || qp->QpId > zekhw::kNicQpLast)) {
    ZEK_LOG_FAILURE("mifh_nic_qp_create: invalid nic qp id (0x%x)\n", qp->QpId);
    return MIFH_STATUS_INVALID_ID;
  }
  qp->QpType = MIFH_QP_TYPE_NIC;
  const zekhw::MifhCqpWqe wqe = qp_request(qp, zekhw::kOpWordCreateNicQp, context);
  return mifh_cqp_post(qp->Device->Cqp, &wqe, MifhPostMode::Failing, "mifh_nic_qp_create");
}

ZekStatus mifh_iwarp_qp_create(MifhQpObject* qp, const MifhIwarpCreateAttributes* a, std::uint32_t qp_id,
                               MifhCqpCompletionContext* context) {
  if (!qp_ok(qp) || ZekIsBadPointer(a)) return MIFH_STATUS_FAIL;
  if (qp_id < zekhw::kIwarpQpFirst || qp_id > zekhw::kIwarpQpLast) {
    ZEK_LOG_FAILURE("mifh_iwarp_qp_create: invalid nic qp id (0x%x)\n", qp_id);
    return MIFH_STATUS_INVALID_ID;
  }
  qp->HwState = MIFH_QP_BEING_CREATED;
  qp->QpId = qp_id;
  qp->QpType = MIFH_QP_TYPE_IWARP;
  const std::uint32_t op = zekhw::kOpCreateQp | (a->Byte35 & 1u) << 8 |
                           ((a->Value16 != 0 || a->Value20 != 0) ? zekhw::kQpWordBit9 : 0u) | (a->Byte32 & 1u) << 10 |
                           (a->Byte31 & 1u) << 11 | (a->Byte33 & 1u) << 15 |
                           zekhw::kQpTypeIwarp << zekhw::kQpTypeShift | (a->Byte36 & 1u) << 20 |
                           (a->Byte34 & 0x7Fu) << 21 | (a->InitialState & zekhw::kQpStateMask) << zekhw::kQpStateShift;
  zekhw::MifhCqpWqe wqe = qp_request(qp, op, context);
  put_attribute_words(wqe, a->Value0, a->Value16, a->Value24, a->Value8, a->Value20, a->Value28, a->Byte36);
  const ZekStatus status = mifh_cqp_post(qp->Device->Cqp, &wqe, MifhPostMode::Queueing, "mifh_iwarp_qp_create");
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("mifh_iwarp_qp_create: mifh_cqp_post_sq() returned error (0x%x)\n", status);
    return status;
  }
  qp->HwState = MIFH_QP_CREATED;
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_iwarp_qp_modify(MifhQpObject* qp, const MifhIwarpModifyAttributes* a,
                               MifhCqpCompletionContext* context) {
  if (!qp_ok(qp) || ZekIsBadPointer(a)) return MIFH_STATUS_FAIL;
  if (lock(&qp->QpLock) != ZEK_STATUS_PASS) return MIFH_STATUS_FAIL;
  std::uint8_t next = a->NextState == zekhw::kQpTerminate ? std::uint8_t{zekhw::kQpError} : a->NextState;
  if (next == zekhw::kQpClosing) {
    if ((qp->QpFlags & MIFH_QPF_MODIFY3_SEEN) != 0) {
      // A second modify to closing posts nothing: its caller is woken at once.
      unlock(&qp->QpLock);
      if (context != nullptr && context->CompletionRoutine != nullptr) context->CompletionRoutine(context->Argument);
      return MIFH_STATUS_SUCCESS;
    }
    qp->QpFlags |= MIFH_QPF_MODIFY3_SEEN;
  }
  unlock(&qp->QpLock);
  OSPrimMemoryLogging("mifh_iwarp_qp_modify qp id 0x%x next state %x host context %x %x\n", qp->QpId, next,
                      static_cast<std::uint32_t>(qp->HostContextPa >> 32),
                      static_cast<std::uint32_t>(qp->HostContextPa));
  const std::uint32_t op =
      zekhw::kOpModifyQp | (a->Byte43 & 1u) << 8 | ((a->Value24 != 0 || a->Value28 != 0) ? zekhw::kQpWordBit9 : 0u) |
      (a->Byte44 & 1u) << 10 | (a->Byte45 & 1u) << 11 | (a->Byte48 & 1u) << 15 |
      zekhw::kQpTypeIwarp << zekhw::kQpTypeShift | (a->Byte46 & 1u) << 20 | (a->Byte49 & 0x7Fu) << 21 |
      (next & zekhw::kQpStateMask) << zekhw::kQpStateShift | (a->Byte47 & 1u) << 31;
  zekhw::MifhCqpWqe wqe = qp_request(qp, op, context);
  put_attribute_words(wqe, a->Value0, a->Value24, a->Value32, a->Value8, a->Value28, a->Value40, a->Byte46);
  ZekStatus status = mifh_cqp_post(qp->Device->Cqp, &wqe, MifhPostMode::Queueing, "mifh_iwarp_qp_modify");
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("mifh_iwarp_qp_modify: mifh_cqp_post_sq() returned error (0x%x)\n", status);
    return status;
  }
  if (next == zekhw::kQpClosing || next == zekhw::kQpError) {
    status = mifh_iwarp_qp_flush_wqes(qp, true, true, nullptr);
    if (status != MIFH_STATUS_SUCCESS) {
      ZEK_LOG_FAILURE("mifh_iwarp_qp_modify: mifh_iwarp_qp_flush_wqes() returned error (0x%x)\n", status);
      return status;
    }
  }
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_iwarp_qp_destroy_1(MifhQpObject* qp, MifhCqpCompletionContext* context, std::uint32_t option) {
  if (!qp_ok(qp)) {
    ZEK_LOG_FAILURE("mifh_iwarp_qp_destroy_1:\n");
    return MIFH_STATUS_FAIL;
  }
  if (!test_and_set(qp, MIFH_QPF_DESTROY_POSTED)) {
    ZEK_LOG_FAILURE("mifh_iwarp_qp_destroy: qp id (%d) is destroyed too many times\n", qp->QpId);
    return MIFH_STATUS_FAIL;
  }
  const zekhw::MifhCqpWqe wqe = qp_request(qp, zekhw::kOpWordDestroyIwarpQp | (option & 1u) << 14, context);
  return mifh_cqp_post(qp->Device->Cqp, &wqe, MifhPostMode::Queueing, "mifh_iwarp_qp_destroy_1");
}

ZekStatus mifh_iwarp_qp_flush_wqes(MifhQpObject* qp, bool flush_sq, bool flush_rq, MifhCqpCompletionContext* context) {
  if (!qp_ok(qp)) return MIFH_STATUS_FAIL;
  if (lock(&qp->QpLock) != ZEK_STATUS_PASS) return MIFH_STATUS_FAIL;
  const bool sq = flush_sq && (qp->QpFlags & MIFH_QPF_SQ_FLUSHED) == 0;
  const bool rq = flush_rq && (qp->QpFlags & MIFH_QPF_RQ_FLUSHED) == 0;
  if (sq) qp->QpFlags |= MIFH_QPF_SQ_FLUSHED;
  if (rq) qp->QpFlags |= MIFH_QPF_RQ_FLUSHED;
  unlock(&qp->QpLock);
  if (!sq && !rq) return MIFH_STATUS_SUCCESS;
  // The whole slot is written: nothing of an earlier request stays behind.
  zekhw::MifhCqpWqe wqe =
      qp_request(qp, zekhw::kOpFlush | (sq ? zekhw::kFlushSq : 0u) | (rq ? zekhw::kFlushRq : 0u), context);
  wqe.physical_address = 0;
  return mifh_cqp_post(qp->Device->Cqp, &wqe, MifhPostMode::Queueing, "mifh_iwarp_qp_flush_wqes");
}

ZekStatus mifh_qp_upload_context(MifhQpObject* qp) {
  if (!qp_ok(qp) || qp->UploadBuffer == nullptr) return MIFH_STATUS_FAIL;
  qp->HwState = MIFH_QP_UPLOAD_POSTED;
  zekhw::MifhCqpWqe wqe = qp_request(
      qp, zekhw::kUploadByObject | zekhw::kOpUploadQpContext | std::uint32_t{qp->QpType} << zekhw::kQpTypeShift,
      qp->UploadContext);
  wqe.physical_address = pa_of(qp->UploadBuffer);
  const ZekStatus status = mifh_cqp_post(qp->Device->Cqp, &wqe, MifhPostMode::Queueing, "mifh_qp_upload_context");
  if (status == MIFH_STATUS_SUCCESS) {
    qp->QpFlags |= MIFH_QPF_UPLOADED;
    qp->HwState = MIFH_QP_UPLOADED;
  }
  return status;
}

ZekStatus mifh_qp_upload_context1(MifhCqpObject* cqp, MifhCqpCompletionContext* context, std::uint64_t buffer_pa,
                                  std::uint32_t qp_id, std::uint32_t option) {
  if (ZekIsBadPointer(cqp)) {
    ZEK_LOG_FAILURE("mifh_qp_upload_context1: pgCQPObj is NULL\n");
    return MIFH_STATUS_FAIL;
  }
  // NIC queue pairs are the ids below 40; 40 is the first iWARP id.
  const std::uint32_t type = qp_id < zekhw::kIwarpQpFirst ? 0x50013u : 0x10013u;
  zekhw::MifhCqpWqe wqe{};
  wqe.op_word = (option & 1u) << 30 | type;
  wqe.object_word = qp_id;
  wqe.completion_context = reinterpret_cast<std::uint64_t>(context);
  wqe.physical_address = buffer_pa;
  return mifh_cqp_post(cqp, &wqe, MifhPostMode::Queueing, "mifh_qp_upload_context1");
}

ZekStatus mifh_LMI_access(MifhCqpObject* cqp, std::uint64_t buffer_pa, MifhCqpCompletionContext* context,
                          std::uint32_t address, std::uint32_t length, std::uint32_t kind, std::uint32_t option) {
  if (ZekIsBadPointer(cqp)) return MIFH_STATUS_FAIL;
  zekhw::MifhCqpWqe wqe{};
  wqe.op_word = zekhw::kOpLmiAccess | (kind & zekhw::kLmiKindMask) << zekhw::kLmiKindShift | (option & 1u) << 31;
  wqe.object_word = address;
  wqe.completion_context = reinterpret_cast<std::uint64_t>(context);
  wqe.operation_word = buffer_pa;
  wqe.parameter_word = length;
  return mifh_cqp_post(cqp, &wqe, MifhPostMode::Failing, "mifh_LMI_access");
}

// ---- NIC posting ----------------------------------------------------------------------------------------

ZekStatus mifh_nic_qp_post_sq(MifhQpObject* qp, const MifhNicSendRequest* request) {
  if (ZekIsBadPointer(qp) || ZekIsBadPointer(request) || qp->Sq == nullptr) return MIFH_STATUS_FAIL;
  const std::uint32_t count = request->FragmentCount;
  if (count > MIFH_NIC_MAX_FRAGMENTS) {
    ZEK_LOG_FAILURE("mifh_nic_qp_post_sq: frag Count (%d) is more than supported frag count (%d)\n", count,
                    MIFH_NIC_MAX_FRAGMENTS);
    return MIFH_STATUS_INVALID_COUNT;
  }
  if (count > 0 && ZekIsBadPointer(request->Fragments)) return MIFH_STATUS_FAIL;
  if (ZekRingIsFull(&qp->SqRing)) {
    ZEK_LOG_FAILURE("mifh_nic_qp_post_sq: QP SQ is full\n");
    OSPrimMemoryLogging("mifh_nic_qp_post_sq: SQ Address(x%p) Head (0x%x) Tail (0x%x) size[0x%x]\n", qp->Sq,
                        qp->SqRing.Head, qp->SqRing.Tail, qp->SqRing.Size);
    return MIFH_STATUS_NO_WQE;
  }
  // Built whole, zeroed first: the adapter counts fragments by their
  // lengths, so nothing of the slot's previous request may remain.
  zekhw::MifhNicSqWqe w{};
  w.flags = request->Flags28 | request->Flags80 | (request->Flag22 & 1u) << 22 |
            (request->VlanTagPresent & 0x7Fu) << 23 | (request->NoChecksum & 1u) << 30 |
            (request->VlanInsert & 1u) << 31;
  w.total_length = request->TotalLength;
  const std::uint32_t vlan = request->VlanTagPresent != 0 ? request->VlanTag : 0;
  auto len = [&](unsigned i) { return i < count ? request->Fragments[i].Length & 0xFFFF : 0u; };
  w.frag0_vlan = len(0) << 16 | vlan;
  w.frag2_frag1 = len(2) << 16 | len(1);
  w.frag4_frag3 = len(4) << 16 | len(3);
  for (unsigned i = 0; i < count; ++i) w.fragment[i] = request->Fragments[i].Address;
  auto* ring = static_cast<zekhw::MifhNicSqWqe*>(qp->Sq);
  ring[qp->SqRing.Head] = w;
  OSPRIM_RING_MOVE_HEAD(&qp->SqRing);
  mifh_write_wqe_doorbell(qp->Device, nullptr, qp->QpId, 1, true);
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_nic_qp_post_rq(MifhQpObject* qp, std::uint32_t count, std::uint32_t* posted) {
  if (ZekIsBadPointer(qp) || ZekIsBadPointer(posted)) return MIFH_STATUS_FAIL;
  std::uint32_t n = 0;
  while (n < count) {
    if (ZekRingIsFull(&qp->RqRing)) {
      ZEK_LOG_FAILURE("mifh_nic_qp_post_rq: QP RQ is full H[%d] T[%d] Size[%d]\n", qp->RqRing.Head, qp->RqRing.Tail,
                      qp->RqRing.Size);
      break;
    }
    OSPRIM_RING_MOVE_HEAD(&qp->RqRing);
    ++n;
  }
  *posted = n;
  if (n > 0) mifh_write_wqe_doorbell(qp->Device, nullptr, qp->QpId, n, false);
  return n == count ? MIFH_STATUS_SUCCESS : MIFH_STATUS_NO_WQE;
}

// ---- Software state --------------------------------------------------------------------------------------

ZekStatus mifh_update_sw_qp_state_to_idle(MifhQpObject* qp) {
  if (ZekIsBadPointer(qp) || lock(&qp->QpLock) != ZEK_STATUS_PASS) return MIFH_STATUS_FAIL;
  qp->SwState = zekhw::kQpIdle;
  unlock(&qp->QpLock);
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_update_sw_qp_state_to_error(MifhQpObject* qp) {
  if (ZekIsBadPointer(qp) || lock(&qp->QpLock) != ZEK_STATUS_PASS) return MIFH_STATUS_FAIL;
  qp->SwState = zekhw::kQpError;
  unlock(&qp->QpLock);
  const ZekStatus status = mifh_iwarp_qp_flush_wqes(qp, true, true, nullptr);
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("mifh_update_sw_qp_state_to_error: mifh_iwarp_qp_flush_wqes() returned error (0x%x)\n", status);
  }
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_iwarp_qp_modify_to_error(MifhQpObject* qp) {
  if (!qp_ok(qp)) return MIFH_STATUS_FAIL;
  zekhw::MifhCqpWqe wqe = qp_request(qp,
                                     zekhw::kOpModifyQp | zekhw::kQpTypeIwarp << zekhw::kQpTypeShift |
                                         std::uint32_t{zekhw::kQpError} << zekhw::kQpStateShift | zekhw::kModifyFlag31,
                                     nullptr);
  const ZekStatus status =
      mifh_cqp_post(qp->Device->Cqp, &wqe, MifhPostMode::Queueing, "mifh_iwarp_qp_modify_to_error");
  if (status != MIFH_STATUS_SUCCESS) return status;
  if (lock(&qp->QpLock) != ZEK_STATUS_PASS) return MIFH_STATUS_FAIL;
  qp->SwState = zekhw::kQpError;
  unlock(&qp->QpLock);
  return MIFH_STATUS_SUCCESS;
}
