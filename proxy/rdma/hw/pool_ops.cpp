// The pools' operations under the names the rest of the driver calls them by.
#include "proxy/rdma/hw/pool_ops.h"

#include "proxy/rdma/hw/status.h"

ZekStatus mifh_create_mbuf_pool(std::uint32_t count) { return mifh_pool_create(MIFH_POOL_MBUF, 0, count); }
MifhMbuf* mifh_allocate_mbuf() { return static_cast<MifhMbuf*>(mifh_pool_allocate(MIFH_POOL_MBUF, 0)); }
void mifh_free_mbuf(MifhMbuf* mbuf) { mifh_pool_free(MIFH_POOL_MBUF, mbuf, 0); }

ZekStatus mifh_create_iwarp_pd_object_pool(std::uint32_t count) {
  return mifh_pool_create(MIFH_POOL_PD_OBJECT, 0, count);
}
ZekStatus mifh_allocate_pd_object(void** out) {
  if (ZekIsBadPointer(out)) return MIFH_STATUS_FAIL;
  *out = mifh_pool_allocate(MIFH_POOL_PD_OBJECT, 0);
  if (*out == nullptr) {
    ZEK_LOG_FAILURE(" mifh_pd_allocate: Couldn't allocate buf for PD Object \n");
    return MIFH_STATUS_FAIL;
  }
  return MIFH_STATUS_SUCCESS;
}
void mifh_free_iwarp_pd_object(void* pd) { mifh_pool_free(MIFH_POOL_PD_OBJECT, pd, 0); }

ZekStatus mifh_create_cq_object_pool(std::uint32_t count) { return mifh_pool_create(MIFH_POOL_CQ_OBJECT, 0, count); }
void* mifh_allocate_cq_object() { return mifh_pool_allocate(MIFH_POOL_CQ_OBJECT, 0); }
void mifh_free_cq_object(void* cq) { mifh_pool_free(MIFH_POOL_CQ_OBJECT, cq, 0); }

ZekStatus mifh_create_iwarp_cq_pool(std::uint32_t entries, std::uint32_t count) {
  return mifh_pool_create(MIFH_POOL_IWARP_CQ, entries, count);
}
void* mifh_allocate_iwarp_cq(std::uint32_t entries) {
  return mifh_pool_allocate(MIFH_POOL_IWARP_CQ, mifh_iwarp_cq_class(entries));
}
ZekStatus mifh_create_nic_cq_pool(std::uint32_t entries, std::uint32_t count) {
  return mifh_pool_create(MIFH_POOL_NIC_CQ, entries, count);
}

ZekStatus mifh_create_qp_object_pool(std::uint32_t count) { return mifh_pool_create(MIFH_POOL_QP_OBJECT, 0, count); }
void* mifh_allocate_qp_object() { return mifh_pool_allocate(MIFH_POOL_QP_OBJECT, 0); }
void mifh_free_qp_object(void* qp) { mifh_pool_free(MIFH_POOL_QP_OBJECT, qp, 0); }

ZekStatus mifh_create_iwarptoe_qp_host_context_pool(std::uint32_t count) {
  return mifh_pool_create(MIFH_POOL_IWARPTOE_QP_CONTEXT, 0, count);
}
void* mifh_allocate_iwarptoe_qp_host_context() { return mifh_pool_allocate(MIFH_POOL_IWARPTOE_QP_CONTEXT, 0); }
void mifh_free_iwarptoe_qp_host_context(void* context) { mifh_pool_free(MIFH_POOL_IWARPTOE_QP_CONTEXT, context, 0); }
ZekStatus mifh_create_nic_qp_host_context_pool(std::uint32_t count) {
  return mifh_pool_create(MIFH_POOL_NIC_QP_CONTEXT, 0, count);
}
void* mifh_allocate_nic_qp_host_context() { return mifh_pool_allocate(MIFH_POOL_NIC_QP_CONTEXT, 0); }

ZekStatus mifh_create_iwarp_sq_pool(std::uint32_t wqes, std::uint32_t count) {
  return mifh_pool_create(MIFH_POOL_IWARP_SQ, wqes, count);
}
void* mifh_allocate_iwarp_sq(std::uint32_t wqes) { return mifh_pool_allocate(MIFH_POOL_IWARP_SQ, wqes); }
void mifh_free_iwarp_sq(void* sq, std::uint32_t wqes) { mifh_pool_free(MIFH_POOL_IWARP_SQ, sq, wqes); }
ZekStatus mifh_create_iwarp_rq_pool(std::uint32_t wqes, std::uint32_t count) {
  return mifh_pool_create(MIFH_POOL_IWARP_RQ, wqes, count);
}
void* mifh_allocate_iwarp_rq(std::uint32_t wqes) { return mifh_pool_allocate(MIFH_POOL_IWARP_RQ, wqes); }
void mifh_free_iwarp_rq(void* rq, std::uint32_t wqes) { mifh_pool_free(MIFH_POOL_IWARP_RQ, rq, wqes); }
ZekStatus mifh_create_nic_sq_pool(std::uint32_t wqes, std::uint32_t count) {
  return mifh_pool_create(MIFH_POOL_NIC_SQ, wqes, count);
}
void* mifh_allocate_nic_sq(std::uint32_t wqes) { return mifh_pool_allocate(MIFH_POOL_NIC_SQ, wqes); }
ZekStatus mifh_create_nic_rq_pool(std::uint32_t wqes, std::uint32_t count) {
  return mifh_pool_create(MIFH_POOL_NIC_RQ, wqes, count);
}
void* mifh_allocate_nic_rq(std::uint32_t wqes) { return mifh_pool_allocate(MIFH_POOL_NIC_RQ, wqes); }
ZekStatus mifh_create_toe_sq_pool(std::uint32_t wqes, std::uint32_t count) {
  return mifh_pool_create(MIFH_POOL_TOE_SQ, wqes, count);
}
void mifh_free_toe_sq(void* sq, std::uint32_t wqes) { mifh_pool_free(MIFH_POOL_TOE_SQ, sq, wqes); }
ZekStatus mifh_create_toe_rq_pool(std::uint32_t wqes, std::uint32_t count) {
  return mifh_pool_create(MIFH_POOL_TOE_RQ, wqes, count);
}
void mifh_free_toe_rq(void* rq, std::uint32_t wqes) { mifh_pool_free(MIFH_POOL_TOE_RQ, rq, wqes); }

ZekStatus mifh_create_q2_buffer_pool(std::uint32_t count) { return mifh_pool_create(MIFH_POOL_Q2, 0, count); }
void* mifh_allocate_q2_buffer() { return mifh_pool_allocate(MIFH_POOL_Q2, 0); }
void mifh_free_q2_buffer(void* buffer) { mifh_pool_free(MIFH_POOL_Q2, buffer, 0); }

ZekStatus mifh_create_pbl_buffer_pool(std::uint32_t class_bytes, std::uint32_t count) {
  return mifh_pool_create(MIFH_POOL_PBL, class_bytes, count);
}
void* mifh_allocate_pbl_buffer(std::uint32_t bytes, void** out) {
  void* buffer = mifh_pool_allocate(MIFH_POOL_PBL, mifh_pbl_class(bytes));
  if (!ZekIsBadPointer(out)) *out = buffer;
  return buffer;
}
void mifh_free_pbl_buffer(void* buffer, std::uint32_t bytes) {
  mifh_pool_free(MIFH_POOL_PBL, buffer, mifh_pbl_class(bytes));
}

ZekStatus mifh_allocate_fast_register_swcontext_pool(std::uint32_t count) {
  return mifh_pool_create(MIFH_POOL_FAST_REGISTER, 0, count);
}
void* mifh_allocate_staginfo_buffer() { return mifh_pool_allocate(MIFH_POOL_STAGINFO, 0); }
void mifh_free_staginfo_buffer(void* buffer) { mifh_pool_free(MIFH_POOL_STAGINFO, buffer, 0); }
void mifh_free_iwarp_adapter(void* adapter) { mifh_pool_free(MIFH_POOL_IWARP_ADAPTER, adapter, 0); }
void* mifh_allocate_IrpContext_buffer() { return mifh_pool_allocate(MIFH_POOL_IRP_CONTEXT, 0); }
void mifh_free_IrpContext_buffer(void* buffer) { mifh_pool_free(MIFH_POOL_IRP_CONTEXT, buffer, 0); }
void* mifh_allocate_aynccontext_buffer() { return mifh_pool_allocate(MIFH_POOL_ASYNC_CONTEXT, 0); }
void mifh_free_aynccontext_buffer(void* buffer) { mifh_pool_free(MIFH_POOL_ASYNC_CONTEXT, buffer, 0); }
void mifh_free_stagallocinfo_buffer(void* buffer) { mifh_pool_free(MIFH_POOL_STAGALLOC, buffer, 0); }
void mifh_free_errorqpobjectqueue_buffer(void* buffer) { mifh_pool_free(MIFH_POOL_ERRORQP_QUEUE, buffer, 0); }
void* mifh_allocate_IFR_buffer() { return mifh_pool_allocate(MIFH_POOL_IFR, 0); }
void* mifh_allocate_cqp_pend_q() { return mifh_pool_allocate(MIFH_POOL_CQP_PEND, 0); }
void mifh_free_cqp_pend_q(void* buffer) { mifh_pool_free(MIFH_POOL_CQP_PEND, buffer, 0); }
