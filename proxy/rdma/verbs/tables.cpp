// The verbs' routine tables, their status texts and function names, and
// their start and stop.
#include "include/zek/registry.h"
#include "proxy/core/zpx.h"
#include "proxy/rdma/verbs/mpa.h"
#include "proxy/rdma/verbs/verbs.h"

namespace {

struct Text {
  ZekStatus code;
  const char* text;
};
constexpr Text kTexts[] = {
    {IWARP_STATUS_A_INVALID_ADAPTER_ADDRESS, "IWARP_STATUS_A_INVALID_ADAPTER_ADDRESS"},
    {IWARP_STATUS_A_INVALID_RNIC_HANDLE, "IWARP_STATUS_A_INVALID_RNIC_HANDLE"},
    {IWARP_STATUS_PD_INVALID_PD_ID, "IWARP_STATUS_PD_INVALID_PD_ID"},
    {IWARP_STATUS_PD_PD_IN_USE, "IWARP_STATUS_PD_PD_IN_USE"},
    {IWARP_STATUS_CQ_INVALID_HANDLE, "IWARP_STATUS_CQ_INVALID_HANDLE"},
    {IWARP_STATUS_CQ_TOOMANY_CQES_REQUESTED, "IWARP_STATUS_CQ_TOOMANY_CQES_REQUESTED"},
    {IWARP_STATUS_CQ_IN_USE, "IWARP_STATUS_CQ_IN_USE"},
    {IWARP_STATUS_CQ_EMPTY, "IWARP_STATUS_CQ_EMPTY"},
    {IWARP_STATUS_CQ_INVALID_NOTIFY_MODE, "IWARP_STATUS_CQ_INVALID_NOTIFY_MODE"},
    {IWARP_STATUS_CQ_COULD_NOT_RESIZE_CQ, "IWARP_STATUS_CQ_COULD_NOT_RESIZE_CQ"},
    {IWARP_STATUS_SRQ_INVALID_HANDLE, "IWARP_STATUS_SRQ_INVALID_HANDLE"},
    {IWARP_STATUS_SRQ_NUM_WORK_REQ_TOO_LARGE, "IWARP_STATUS_SRQ_NUM_WORK_REQ_TOO_LARGE"},
    {IWARP_STATUS_SRQ_SGES_PER_SRQ_TOO_LARGE, "IWARP_STATUS_SRQ_SGES_PER_SRQ_TOO_LARGE"},
    {IWARP_STATUS_SRQ_SRQ_LIMIT_OUT_OF_RANGE, "IWARP_STATUS_SRQ_SRQ_LIMIT_OUT_OF_RANGE"},
    {IWARP_STATUS_SRQ_COULD_NOT_RESIZE_SRQ, "IWARP_STATUS_SRQ_COULD_NOT_RESIZE_SRQ"},
    {IWARP_STATUS_SRQ_QPS_STILL_ASSOC, "IWARP_STATUS_SRQ_QPS_STILL_ASSOC"},
    {IWARP_STATUS_QP_INVALID_HANDLE, "IWARP_STATUS_QP_INVALID_HANDLE"},
    {IWARP_STATUS_QP_INVALID_ORD, "IWARP_STATUS_QP_INVALID_ORD"},
    {IWARP_STATUS_QP_INVALID_IRD, "IWARP_STATUS_QP_INVALID_IRD"},
    {IWARP_STATUS_QP_INVALID_NUM_WORK_REQS, "IWARP_STATUS_QP_INVALID_NUM_WORK_REQS"},
    {IWARP_STATUS_QP_INVALID_NUM_SGES, "IWARP_STATUS_QP_INVALID_NUM_SGES"},
    {IWARP_STATUS_QP_CANNOT_MODIFY_ATTRIBUTE, "IWARP_STATUS_QP_CANNOT_MODIFY_ATTRIBUTE"},
    {IWARP_STATUS_QP_INVALID_STATE, "IWARP_STATUS_QP_INVALID_STATE"},
    {IWARP_STATUS_QP_INVALID_LLP_STREAM, "IWARP_STATUS_QP_INVALID_LLP_STREAM"},
    {IWARP_STATUS_QP_UNABLE_TO_CHANGE_STATE, "IWARP_STATUS_QP_UNABLE_TO_CHANGE_STATE"},
    {IWARP_STATUS_QP_ALREADY_IN_USE, "IWARP_STATUS_QP_ALREADY_IN_USE"},
    {IWARP_STATUS_QP_MEM_WINDOW_STILL_BOUND, "IWARP_STATUS_QP_MEM_WINDOW_STILL_BOUND"},
    {IWARP_STATUS_QP_TOOMANY_WRS_POSTED, "IWARP_STATUS_QP_TOOMANY_WRS_POSTED"},
    {IWARP_STATUS_QP_INVALID_OP_TYPE, "IWARP_STATUS_QP_INVALID_OP_TYPE"},
    {IWARP_STATUS_QP_INVALID_QP_STATE, "IWARP_STATUS_QP_INVALID_QP_STATE"},
    {IWARP_STATUS_QP_INVALID_SGL_LEN, "IWARP_STATUS_QP_INVALID_SGL_LEN"},
    {IWARP_STATUS_QP_POST_REC_WITH_SRQ, "IWARP_STATUS_QP_POST_REC_WITH_SRQ"},
    {IWARP_STATUS_QP_INVALID_MESSAGE_SIZE, "IWARP_STATUS_QP_INVALID_MESSAGE_SIZE"},
    {IWARP_STATUS_MR_INVALID_VA, "IWARP_STATUS_MR_INVALID_VA"},
    {IWARP_STATUS_MR_INVALID_LENGTH, "IWARP_STATUS_MR_INVALID_LENGTH"},
    {IWARP_STATUS_MR_INVALID_ACCESS_RIGHTS, "IWARP_STATUS_MR_INVALID_ACCESS_RIGHTS"},
    {IWARP_STATUS_MR_INVALID_PBE, "IWARP_STATUS_MR_INVALID_PBE"},
    {IWARP_STATUS_MR_INVALID_STAG, "IWARP_STATUS_MR_INVALID_STAG"},
    {IWARP_STATUS_MR_INVALID_FBO, "IWARP_STATUS_MR_INVALID_FBO"},
    {IWARP_STATUS_MR_MY_STILL_BOUND, "IWARP_STATUS_MR_MY_STILL_BOUND"},
};

// The 128 texts by the code's low 16 bits (built at start: the registry
// keeps the pointers for as long as the texts are registered).
const char* g_texts[IWARP_VERBS_MESSAGE_COUNT];

constexpr const char* kNames[IWARP_FUNCTION_NAME_COUNT] = {
    "K_IWARP_INIT",
    "K_IWARP_CLEANUP",
    "K_IWARP_OPEN",
    "K_IWARP_CLOSE",
    "K_IWARP_QUERY",
    "K_IWARP_SET_ASYNC_HANDLER",
    "K_IWARP_PD_ALLOCATE",
    "K_IWARP_PD_DEALLOCATE",
    "K_IWARP_CQ_CREATE",
    "K_IWARP_CQ_DESTROY",
    "K_IWARP_CQ_QUERY",
    "K_IWARP_CQ_MODIFY",
    "K_IWARP_CQ_POLL_COMPLETION",
    "K_IWARP_CQ_SET_COMPL_HANDLER",
    "K_IWARP_CQ_REQUEST_NOTIFICATION",
    "K_IWARP_SRQ_CREATE",
    "K_IWARP_SRQ_DESTROY",
    "K_IWARP_SRQ_QUERY",
    "K_IWARP_SRQ_MODIFY",
    "K_IWARP_QP_CREATE",
    "K_IWARP_QP_DESTROY",
    "K_IWARP_QP_QUERY",
    "K_IWARP_QP_MODIFY",
    "K_IWARP_QP_POST_SQ",
    "K_IWARP_QP_POST_RQ",
    "K_IWARP_MR_ALLOC_NONSHARED_STAG",
    "K_IWARP_MR_REGISTER_NONSHARED",
    "K_IWARP_MR_REREGISTER_NONSHARED",
    "K_IWARP_MR_REGISTER_SHARED",
    "K_IWARP_MR_QUERY",
    "K_IWARP_MR_DEALLOC",
    "K_IWARP_MW_ALLOC",
    "K_IWARP_MW_QUERY",
};

// The two tables differ in the open's form and in the registration forms
// (which come with the registration verbs): slots of operations not in this
// build are null.
struct RegistrationForms {
  ZekVerbMrRegister reg, physical;
  ZekVerbMrReregister rereg, rereg_physical;
};
constexpr RegistrationForms kUserForms{&zek_mr_register_nonshared_user, &zek_mr_register_physical_user,
                                       &zek_mr_reregister_nonshared_user, &zek_mr_reregister_physical_user};
constexpr RegistrationForms kKernelForms{&zek_mr_register_nonshared_kernel, &zek_mr_register_physical_kernel,
                                         &zek_mr_reregister_nonshared_kernel, &zek_mr_reregister_physical_kernel};

ZekVerbsInterface make_table(ZekVerbOpen open, const RegistrationForms& forms) {
  ZekVerbsInterface t{};
  t.Header = {ZEK_SIG_INTERFACE_TABLE, ZEK_VERBS_TABLE_BYTES};
  t.AdapterAddrs = &zek_adapter_addrs;
  t.Open = open;
  t.Close = &zek_close;
  t.Query = &zek_query;
  t.SetAsyncHandler = &zek_set_async_handler;
  t.SetContext = &zek_set_context;
  t.GetContext = &zek_get_context;
  t.PdAllocate = &zek_pd_allocate;
  t.PdDeallocate = &zek_pd_deallocate;
  t.CqCreate = &zek_cq_create;
  t.CqDestroy = &zek_cq_destroy;
  t.CqQuery = &zek_cq_query;
  t.CqModify = &zek_cq_modify;
  t.CqPollCompletion = &zek_cq_poll_completion;
  t.CqSetComplHandler = &zek_cq_set_compl_handler;
  t.CqRequestNotification = &zek_cq_request_notification;
  t.SrqCreate = t.SrqDestroy = t.SrqQuery = t.SrqModify = &zek_srq_not_supported;
  // The MPA start-up frames (slots 20-23).
  t.IetfCreateRequest = reinterpret_cast<void*>(&zek_ietf_create_request);
  t.IetfParseRequest = reinterpret_cast<void*>(&zek_ietf_parse_request);
  t.IetfCreateResponse = reinterpret_cast<void*>(&zek_ietf_create_response);
  t.IetfParseResponse = reinterpret_cast<void*>(&zek_ietf_parse_response);
  t.QpCreate = &zek_qp_create;
  t.QpDestroy = &zek_qp_destroy;
  t.QpModify = &zek_qp_modify;
  t.QpQuery = &zek_qp_query;
  t.QpPostSq = &zek_qp_post_sq;
  t.QpPostRq = &zek_qp_post_rq;
  t.MrAllocNonsharedStag = &zek_mr_alloc_nonshared_STag;
  t.MrRegisterNonshared = forms.reg;
  t.MrRegisterNonsharedPhysical = forms.physical;
  t.MrReregisterNonshared = forms.rereg;
  t.MrReregisterNonsharedPhysical = forms.rereg_physical;
  t.MrRegisterShared = &zek_mr_register_shared;
  t.MrQuery = &zek_mr_query;
  t.MrDealloc = &zek_mr_dealloc;
  t.MwAlloc = &zek_mw_alloc;
  t.MwQuery = &zek_mw_query;
  return t;
}

const ZekVerbsInterface g_user_table = make_table(&zek_open_user, kUserForms);
const ZekVerbsInterface g_kernel_table = make_table(&zek_open_kernel, kKernelForms);

std::uint32_t g_use_count;

}  // namespace

ZekStatus zek_srq_not_supported() { return ZEK_STATUS_FAIL; }

const ZekVerbsInterface* ZekVerbsTable(bool kernel) { return kernel ? &g_kernel_table : &g_user_table; }

ZekStatus ZEK_Init_Verbs() {
  if (g_use_count++ != 0) return ZEK_STATUS_PASS;
  for (const char*& t : g_texts) t = IWARP_VERBS_UNKNOWN_TEXT;
  for (const Text& t : kTexts) g_texts[ZekStatusIndex(t.code)] = t.text;
  ZekStatus status = ZekVerbsGlobalsInit();
  if (status == ZEK_STATUS_PASS) {
    status =
        ZEK_RegisterErrorMessages(ZEK_GROUP_IWARP_VERBS, g_texts, IWARP_VERBS_MESSAGE_COUNT, "Iwarp Verbs (silicon)");
    if (status == ZEK_STATUS_PASS) {
      status =
          ZEK_RegisterFunctionNames(ZEK_GROUP_IWARP_FUNCTIONS, kNames, IWARP_FUNCTION_NAME_COUNT, "IWarp Functions");
      if (status == ZEK_STATUS_PASS) {
        status = ZEK_RegisterInterface(IWARP_VERBS_INTERFACE, &g_user_table, "IWarp Verbs");
        if (status == ZEK_STATUS_PASS) {
          status = ZEK_RegisterInterface(IWARP_KERNEL_VERBS_INTERFACE, &g_kernel_table, "IWarp Kernel Verbs");
          if (status == ZEK_STATUS_PASS) {
            ZpxSetProcessCleanupRoutine(ZPX_PROCESS_IWARP, &zek_cleanup_iwarp_resources);
            ZekVerbsAsyncEvents(true);
            return ZEK_STATUS_PASS;
          }
          ZEK_DeregisterInterface(IWARP_VERBS_INTERFACE);
        }
        ZEK_DeregisterFunctionNames(ZEK_GROUP_IWARP_FUNCTIONS);
      }
      ZEK_DeregisterErrorMessages(ZEK_GROUP_IWARP_VERBS);
    }
    ZekVerbsGlobalsCleanup();
  }
  ZEK_LOG_FAILURE("ZEK_Init_Verbs: start-up failed (0x%x)\n", status);
  g_use_count = 0;
  return status;
}

ZekStatus ZEK_Cleanup_Verbs() {
  if (g_use_count == 0) return ZEK_STATUS_LIB_NOT_INITIALIZED;
  if (--g_use_count != 0) return ZEK_STATUS_PASS;
  ZpxSetProcessCleanupRoutine(ZPX_PROCESS_IWARP, nullptr);
  ZekVerbsAsyncEvents(false);
  ZekCloseAllAdapters();
  ZEK_DeregisterInterface(IWARP_KERNEL_VERBS_INTERFACE);
  ZEK_DeregisterInterface(IWARP_VERBS_INTERFACE);
  ZEK_DeregisterFunctionNames(ZEK_GROUP_IWARP_FUNCTIONS);
  ZEK_DeregisterErrorMessages(ZEK_GROUP_IWARP_VERBS);
  ZekVerbsGlobalsCleanup();
  return ZEK_STATUS_PASS;
}
