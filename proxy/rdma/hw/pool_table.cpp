// The pool table. Sizes are bytes; page alignment is 4096.
#include "proxy/rdma/hw/pool_table.h"

namespace {

constexpr std::uint32_t kPage = 4096;
constexpr std::uint32_t kObjectGrowthSlab = 0x81000;

constexpr MifhPoolSpec object_pool(const char* creator, const char* allocator, const char* freer, std::uint32_t bytes,
                                   std::uint32_t growth, std::uint32_t clear_take, std::uint32_t clear_return) {
  MifhPoolSpec s{};
  s.Creator = creator;
  s.Allocator = allocator;
  s.Freer = freer;
  s.WrongClassFormat = "%s: wrong element size (0x%x)\n";
  s.Source = MifhSlabSource::Object;
  s.Align = 1;
  s.Addend = bytes;
  s.Multiplier = 1;
  s.StartSlab = kObjectGrowthSlab;
  s.GrowthSlab = kObjectGrowthSlab;
  s.GrowthCount = growth;
  s.ClearOnTake = clear_take;
  s.ClearOnReturn = clear_return;
  return s;
}

constexpr MifhPoolSpec queue_pool(const char* creator, const char* allocator, const char* freer,
                                  const char* wrong_format, const char* empty_format, std::uint32_t addend,
                                  std::uint32_t multiplier, std::uint32_t slab, std::uint32_t growth) {
  MifhPoolSpec s{};
  s.Creator = creator;
  s.Allocator = allocator;
  s.Freer = freer;
  s.WrongClassFormat = wrong_format;
  s.EmptyFormat = empty_format;
  s.Source = MifhSlabSource::Dma;
  s.Align = kPage;
  s.ClassCount = 4;
  s.Classes[0] = 4;
  s.Classes[1] = 32;
  s.Classes[2] = 128;
  s.Classes[3] = 512;
  s.Addend = addend;
  s.Multiplier = multiplier;
  s.StartSlab = slab;
  s.GrowthSlab = slab;
  s.GrowthCount = growth;
  return s;
}

constexpr MifhPoolSpec with_wrong_forms(MifhPoolSpec s, const char* alloc_form, const char* free_form) {
  s.AllocWrongFormat = alloc_form;
  s.FreeWrongFormat = free_form;
  return s;
}

constexpr MifhPoolSpec mbuf_pool() {
  MifhPoolSpec s =
      object_pool("mifh_create_mbuf_pool", "mifh_allocate_mbuf", "mifh_free_mbuf", sizeof(MifhMbuf), 1000, 0, 0);
  s.Source = MifhSlabSource::Descriptor;
  s.StartSlab = 0x8000;
  s.GrowthSlab = 0x8000;
  return s;
}

constexpr MifhPoolSpec pd_pool() {
  MifhPoolSpec s = object_pool("mifh_create_iwarp_pd_object_pool", "mifh_allocate_pd_object",
                               "mifh_free_iwarp_pd_object", 272, 1, 272, 272);
  s.Source = MifhSlabSource::OwnBlock;
  s.Align = 8;
  s.Stride = 272;
  s.BlockBytesPerObject = 280;
  return s;
}

constexpr MifhPoolSpec cq_object_pool() {
  // 496 bytes carved, 488 used.
  MifhPoolSpec s =
      object_pool("mifh_create_cq_object_pool", "mifh_allocate_cq_object", "mifh_free_cq_object", 496, 1, 488, 488);
  s.Align = 8;
  s.StartSlab = MIFH_SLAB_G;
  s.GrowthSlab = MIFH_SLAB_G;
  return s;
}

constexpr MifhPoolSpec iwarp_cq_pool() {
  MifhPoolSpec s = queue_pool("mifh_create_iwarp_cq_pool", "mifh_allocate_iwarp_cq", "mifh_free_iwarp_cq",
                              "%s: wrong CQ entry size (0x%x)\n", nullptr, 128, 32, kObjectGrowthSlab, 1);
  s.ClassCount = 8;
  const std::uint32_t classes[8] = {32, 64, 512, 1024, 4096, 8192, 16384, 65536};
  for (unsigned i = 0; i < 8; ++i) s.Classes[i] = classes[i];
  return s;
}

constexpr MifhPoolSpec nic_cq_pool() {
  MifhPoolSpec s = queue_pool("mifh_create_nic_cq_pool", "mifh_allocate_nic_cq", "mifh_free_nic_cq",
                              "%s: wrong CQ entry size (0x%x)\n",
                              "mifh_allocate_nic_cq: nic cq pool entry count (%d)is empty\n", 256, 16, 0x201000, 0);
  s.ClassCount = 2;
  s.Classes[0] = 512;
  s.Classes[1] = 1024;
  s.Classes[2] = s.Classes[3] = 0;
  return s;
}

constexpr MifhPoolSpec qp_object_pool() {
  MifhPoolSpec s =
      object_pool("mifh_create_qp_object_pool", "mifh_allocate_qp_object", "mifh_free_qp_object", 1232, 32, 1232, 1232);
  s.Source = MifhSlabSource::OwnBlock;
  s.Align = 2048;  // the smallest power of two not below 1232
  s.Stride = 2048;
  s.BlockBytesPerObject = 2048;
  s.BlockExtraBytes = 2048;
  return s;
}

constexpr MifhPoolSpec context_pool(const char* creator, const char* allocator, const char* freer,
                                    const char* empty_format, std::uint32_t growth_slab, std::uint32_t growth) {
  MifhPoolSpec s = object_pool(creator, allocator, freer, 8192, growth, 0, 0);
  s.EmptyFormat = empty_format;
  s.Source = MifhSlabSource::Dma;
  s.Align = kPage;
  s.StartSlab = MIFH_SLAB_G;
  s.GrowthSlab = growth_slab;
  return s;
}

constexpr MifhPoolSpec q2_pool() {
  MifhPoolSpec s =
      object_pool("mifh_create_q2_buffer_pool", "mifh_allocate_q2_buffer", "mifh_free_q2_buffer", 1152, 16, 0, 1024);
  s.Source = MifhSlabSource::Dma;
  s.Align = 128;
  return s;
}

constexpr MifhPoolSpec pbl_pool() {
  MifhPoolSpec s =
      object_pool("mifh_create_pbl_buffer_pool", "mifh_allocate_pbl_buffer", "mifh_free_pbl_buffer", 8, 1, 0, 0);
  s.WrongClassFormat = "%s: wrong pbl buffer size(0x%x)\n";
  s.Source = MifhSlabSource::Dma;
  s.Align = 8;
  s.ClassCount = 6;
  const std::uint32_t classes[6] = {1024, 4096, 8192, 65536, 0x100000, 0x400000};
  for (unsigned i = 0; i < 6; ++i) s.Classes[i] = classes[i];
  return s;
}

}  // namespace

const MifhPoolSpec g_mifh_pool_table[MIFH_POOL_COUNT] = {
    /* MIFH_POOL_MBUF */ mbuf_pool(),
    /* MIFH_POOL_PD_OBJECT */ pd_pool(),
    /* MIFH_POOL_CQ_OBJECT */ cq_object_pool(),
    /* MIFH_POOL_IWARP_CQ */ iwarp_cq_pool(),
    /* MIFH_POOL_NIC_CQ */ nic_cq_pool(),
    /* MIFH_POOL_QP_OBJECT */ qp_object_pool(),
    /* MIFH_POOL_IWARPTOE_QP_CONTEXT */
    context_pool("mifh_create_iwarptoe_qp_host_context_pool", "mifh_allocate_iwarptoe_qp_host_context",
                 "mifh_free_iwarptoe_qp_host_context", nullptr, kObjectGrowthSlab, 32),
    /* MIFH_POOL_NIC_QP_CONTEXT */
    context_pool("mifh_create_nic_qp_host_context_pool", "mifh_allocate_nic_qp_host_context",
                 "mifh_free_nic_qp_host_context",
                 "mifh_allocate_nic_qp_host_context: nic qp host context pool is empty\n", MIFH_SLAB_G, 0),
    /* MIFH_POOL_IWARP_SQ */
    with_wrong_forms(queue_pool("mifh_create_iwarp_sq_pool", "mifh_allocate_iwarp_sq", "mifh_free_iwarp_sq",
                                "%s: wrong sq entry size (0x%x)\n", nullptr, 32, 128, kObjectGrowthSlab, 16),
                     "mifh_allocate_iwarp_sq: wrong SQ entry size (0x%x)\n",
                     "mifh_free_iwarp_sq: wrong send wqe size (%d)\n"),
    /* MIFH_POOL_IWARP_RQ */
    with_wrong_forms(queue_pool("mifh_create_iwarp_rq_pool", "mifh_allocate_iwarp_rq", "mifh_free_iwarp_rq",
                                "%s: wrong rq entry size (0x%x)\n", nullptr, 32, 128, kObjectGrowthSlab, 16),
                     "mifh_allocate_iwarp_rq: wrong RQ entry size (0x%x)\n",
                     "mifh_free_iwarp_rq: wrong recv wqe size (%d)\n"),
    /* MIFH_POOL_NIC_SQ */
    queue_pool("mifh_create_nic_sq_pool", "mifh_allocate_nic_sq", "mifh_free_nic_sq",
               "%s: wrong sq entry size (0x%x)\n", "mifh_allocate_nic_sq: nic sq pool wqe count (%d)is empty\n", 64, 64,
               MIFH_SLAB_G, 0),
    /* MIFH_POOL_NIC_RQ */
    queue_pool("mifh_create_nic_rq_pool", "mifh_allocate_nic_rq", "mifh_free_nic_rq",
               "%s: wrong rq entry size (0x%x)\n", "mifh_allocate_nic_rq: nic rq pool wqe count (%d)is empty\n", 64, 64,
               MIFH_SLAB_G, 0),
    /* MIFH_POOL_TOE_SQ */
    queue_pool("mifh_create_toe_sq_pool", "mifh_allocate_toe_sq", "mifh_free_toe_sq",
               "%s: wrong sq entry size (0x%x)\n", "mifh_allocate_toe_sq: toe sq pool wqe count (%d)is empty\n", 32,
               128, MIFH_SLAB_G, 0),
    /* MIFH_POOL_TOE_RQ */
    queue_pool("mifh_create_toe_rq_pool", "mifh_allocate_toe_rq", "mifh_free_toe_rq",
               "%s: wrong rq entry size (0x%x)\n", "mifh_allocate_toe_rq: toe rq pool wqe count (%d)is empty\n", 32,
               128, MIFH_SLAB_G, 0),
    /* MIFH_POOL_Q2 */ q2_pool(),
    /* MIFH_POOL_PBL */ pbl_pool(),
    /* MIFH_POOL_FAST_REGISTER */
    object_pool("mifh_allocate_fast_register_swcontext_pool", "mifh_allocate_fast_register_swcontext",
                "mifh_free_fast_register_swcontext", 56, 1, 0, 0),
    /* MIFH_POOL_STAGINFO */
    object_pool("mifh_create_staginfo_pool", "mifh_allocate_staginfo_buffer", "mifh_free_staginfo_buffer", 312, 1, 0,
                312),
    /* MIFH_POOL_IWARP_ADAPTER */
    object_pool("mifh_create_iwarp_adapter_pool", "mifh_allocate_iwarp_adapter", "mifh_free_iwarp_adapter", 157536, 1,
                0, 157536),
    /* MIFH_POOL_IRP_CONTEXT */
    object_pool("mifh_create_IrpContext_pool", "mifh_allocate_IrpContext_buffer", "mifh_free_IrpContext_buffer", 24, 20,
                24, 24),
    /* MIFH_POOL_ASYNC_CONTEXT */
    object_pool("mifh_create_aynccontext_pool", "mifh_allocate_aynccontext_buffer", "mifh_free_aynccontext_buffer", 144,
                20, 144, 144),
    /* MIFH_POOL_STAGALLOC */
    object_pool("mifh_create_stagallocinfo_pool", "mifh_allocate_stagallocinfo_buffer",
                "mifh_free_stagallocinfo_buffer", 32, 1, 0, 32),
    /* MIFH_POOL_ERRORQP_QUEUE */
    object_pool("mifh_create_errorqpobjectqueue_pool", "mifh_allocate_errorqpobjectqueue_buffer",
                "mifh_free_errorqpobjectqueue_buffer", 8000, 1, 0, 8000),
    /* MIFH_POOL_IFR */
    object_pool("mifh_create_IFR_pool", "mifh_allocate_IFR_buffer", "mifh_free_IFR_buffer", 2496, 1, 2496, 0),
    /* MIFH_POOL_CQP_PEND */
    object_pool("mifh_create_cqp_pend_q_pool", "mifh_allocate_cqp_pend_q", "mifh_free_cqp_pend_q", 88, 1, 88, 88),
    /* MIFH_POOL_CLEANUP_CONTEXT */
    object_pool("mifh_create_cleanup_context_pool", "mifh_allocate_cleanup_context_buffer",
                "mifh_free_cleanup_context_buffer", 16, 1, 0, 0),
    /* MIFH_POOL_ASYNC_EVENT_PENDING */
    object_pool("mifh_create_async_event_pending_pool", "mifh_allocate_async_event_pending_buffer",
                "mifh_free_async_event_pending_buffer", 56, 1, 0, 0),
};
