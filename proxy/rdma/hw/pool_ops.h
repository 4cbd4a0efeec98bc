// The pools' operations under the names the rest of the driver calls them
// by: one create, allocate and free per pool of the pool table (pools.h),
// taking the size class where the pool has classes. An allocation answers
// null when its pool is empty and cannot grow.
#pragma once

#include <cstdint>

#include "proxy/rdma/hw/pools.h"

ZekStatus mifh_create_mbuf_pool(std::uint32_t count);
MifhMbuf* mifh_allocate_mbuf();
void mifh_free_mbuf(MifhMbuf* mbuf);

ZekStatus mifh_create_iwarp_pd_object_pool(std::uint32_t count);
ZekStatus mifh_allocate_pd_object(void** out);
void mifh_free_iwarp_pd_object(void* pd);

ZekStatus mifh_create_cq_object_pool(std::uint32_t count);
void* mifh_allocate_cq_object();
void mifh_free_cq_object(void* cq);

ZekStatus mifh_create_iwarp_cq_pool(std::uint32_t entries, std::uint32_t count);
void* mifh_allocate_iwarp_cq(std::uint32_t entries);
ZekStatus mifh_create_nic_cq_pool(std::uint32_t entries, std::uint32_t count);

ZekStatus mifh_create_qp_object_pool(std::uint32_t count);
void* mifh_allocate_qp_object();
void mifh_free_qp_object(void* qp);

ZekStatus mifh_create_iwarptoe_qp_host_context_pool(std::uint32_t count);
void* mifh_allocate_iwarptoe_qp_host_context();
void mifh_free_iwarptoe_qp_host_context(void* context);
ZekStatus mifh_create_nic_qp_host_context_pool(std::uint32_t count);
void* mifh_allocate_nic_qp_host_context();

ZekStatus mifh_create_iwarp_sq_pool(std::uint32_t wqes, std::uint32_t count);
void* mifh_allocate_iwarp_sq(std::uint32_t wqes);
void mifh_free_iwarp_sq(void* sq, std::uint32_t wqes);
ZekStatus mifh_create_iwarp_rq_pool(std::uint32_t wqes, std::uint32_t count);
void* mifh_allocate_iwarp_rq(std::uint32_t wqes);
void mifh_free_iwarp_rq(void* rq, std::uint32_t wqes);
ZekStatus mifh_create_nic_sq_pool(std::uint32_t wqes, std::uint32_t count);
void* mifh_allocate_nic_sq(std::uint32_t wqes);
ZekStatus mifh_create_nic_rq_pool(std::uint32_t wqes, std::uint32_t count);
void* mifh_allocate_nic_rq(std::uint32_t wqes);
ZekStatus mifh_create_toe_sq_pool(std::uint32_t wqes, std::uint32_t count);
void mifh_free_toe_sq(void* sq, std::uint32_t wqes);
ZekStatus mifh_create_toe_rq_pool(std::uint32_t wqes, std::uint32_t count);
void mifh_free_toe_rq(void* rq, std::uint32_t wqes);

ZekStatus mifh_create_q2_buffer_pool(std::uint32_t count);
void* mifh_allocate_q2_buffer();
void mifh_free_q2_buffer(void* buffer);

ZekStatus mifh_create_pbl_buffer_pool(std::uint32_t class_bytes, std::uint32_t count);
// Stores the address through `out` as well.
void* mifh_allocate_pbl_buffer(std::uint32_t bytes, void** out);
void mifh_free_pbl_buffer(void* buffer, std::uint32_t bytes);

ZekStatus mifh_allocate_fast_register_swcontext_pool(std::uint32_t count);
void* mifh_allocate_staginfo_buffer();
void mifh_free_staginfo_buffer(void* buffer);
void mifh_free_iwarp_adapter(void* adapter);
void* mifh_allocate_IrpContext_buffer();
void mifh_free_IrpContext_buffer(void* buffer);
void* mifh_allocate_aynccontext_buffer();
void mifh_free_aynccontext_buffer(void* buffer);
void mifh_free_stagallocinfo_buffer(void* buffer);
void mifh_free_errorqpobjectqueue_buffer(void* buffer);
void* mifh_allocate_IFR_buffer();
void* mifh_allocate_cqp_pend_q();
void mifh_free_cqp_pend_q(void* buffer);
