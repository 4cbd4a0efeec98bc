#include "proxy/core/mifh_context_dump.h"

#include <cstdio>
#include <cstring>

#include "include/hw/qp_context.h"
#include "include/zek/mifh_requests.h"
#include "proxy/core/zpx.h"

namespace {

// The groups' field names, in the dump's order.
const char* const kLine0[] = {"fast_retransmission_req",
                              "zero_window",
                              "local_fence",
                              "rd_fence",
                              "keepalive_timer_set",
                              "keepalive_expired",
                              "retransmission_timeout",
                              "AckReq",
                              "fast_recovery",
                              "misc_cpu_work",
                              "persist_timer_timeout",
                              "RSWS_expired",
                              "SSWS_timer_set",
                              "SSWS_expired",
                              "SQ_head",
                              "SQ_tail",
                              "retrans_bit_vector",
                              "retrans_bit_vec_size",
                              "proc_retrans_timeout",
                              "gen_nxt_vector",
                              "suspend_tx",
                              "suspend_rx",
                              "tcp_reset_req",
                              "Q1_head",
                              "Q1_work_present",
                              "Q1_tail",
                              "terminate_req",
                              "process_SACK",
                              "Nonagle",
                              "eff_sacks",
                              "qp_tcp_state",
                              "prior_persist_timeout",
                              "retransmit_in_progress",
                              "SSWS_bucket",
                              "keepalive_ok",
                              "cpu_work_first",
                              "quad_valid",
                              "trim_ack",
                              "cancel_rto",
                              "KeepaliveProbeCnt",
                              "priority",
                              "wait_for_rcvFPDU",
                              "persist_timer_set",
                              "wqe_retransmit_in_progress",
                              "free_xmit_fifo",
                              "schedule_keepalive",
                              "tep_work",
                              "protocol",
                              "nic_index",
                              "tcp_fin_req",
                              "ORRQ_full",
                              "iwarp_state",
                              "Q1_full",
                              "Q2_Head",
                              "tx_work_type",
                              "probeCount",
                              "stop_at_snd_max",
                              "immediate_ack"};
const char* const kLine1[] = {"snd_max",         "snd_nxt",           "xmit_bc",    "rearm_ack_seq_change",
                              "retransmitCount", "new_snd_mss_valid", "new_snd_mss"};
const char* const kLine2[] = {"Q2_Base_0",         "Q2_Base_1",   "enable_rx", "stop_toed_req", "psh_rcvd",  "fin_rcvd",
                              "toed_work_present", "push_states", "RQ_tail",   "RQ_head",       "WQE_offset"};
const char* const kLine3[] = {"OOISC_active",
                              "out_of_order",
                              "data_in_oop_pipe",
                              "BS_enable",
                              "BS_size",
                              "BS_active",
                              "BS_table_index",
                              "oop_num",
                              "push_timer_set",
                              "RSWS_timer_set",
                              "push_bucket",
                              "dma_start",
                              "RSWS_bucket",
                              "dma_end",
                              "KeepaliveTimerEvents_0",
                              "KeepaliveTimerEvents_1",
                              "rcv_wnd_max"};
const char* const kLine4[] = {"ts_recent",      "ts_recent_age",  "last_ack_sent", "tx_sack_index",
                              "data_in_txpipe", "flush_required", "rtx_timer_set", "rtx_bucket"};
const char* const kLine5[] = {"snd_una", "rcv_nxt", "snd_wnd", "segment_received", "drop_out_of_order_seg",
                              "rto",     "rcv_wnd"};
const char* const kLine6[] = {"ssthresh", "cwnd", "snd_wl1", "snd_wl2"};
const char* const kLine7[] = {
    "max_snd_window",     "srtt",  "rcv_wnd_unadv", "rttvar",       "rcv_wnd_clamp", "delayed_ack_timer_set",
    "delayed_ack_bucket", "limit", "dupacks",       "rx_sack_index"};
const char* const kLine8[] = {"Send_MSN",           "Read_MSN",    "recovery_seq_num", "assume_aligned_headers",
                              "BindEnable",         "fpdu_offset", "PrivilegedEnable", "ORD_size",
                              "FastRegisterEnable", "ORR_cnt"};
const char* const kLine9[] = {"msg_seq_num_valid",  "notify_on_comp",    "proc_read",       "Xmit_head",
                              "keepalive_bucket",   "Q1_head_adv",       "msg_seq_num",     "RdRespMSN",
                              "clear_rexmit_queue", "Xmit_limit_valid",  "Xmit_limit",      "Xmit_tail",
                              "Xmit_head_valid_0",  "Xmit_head_valid_1", "iwarp_ver_index", "Q1_unscheduled_work",
                              "Xmit_base"};
const char* const kLine10[] = {"RcvSendMSN",     "RcvReadMSN", "Q1_seq_num",    "Q1_seq_num_valid", "Q1_limit",
                               "Q1_limit_valid", "Q1_max",     "Q1_tail_valid", "Q1_empty",         "Q1_una"};
const char* const kLine11[] = {"wndbuf_active",      "data_in_mrp_pipe", "reassembly_active", "reassembly_index",
                               "wndbuf_table_index", "winbuf_seq_num",   "dma_rcv_nxt",       "dma_seq"};
const char* const kLine12[] = {"Q1_base", "SQ_base_0", "SQ_base_1", "SQ_base_2", "RQ_base_0", "RQ_base_1"};
const char* const kLine13[] = {"virt_wq",
                               "vlan_enable",
                               "avoid_stretch_ack",
                               "WndbufDataInd_enable",
                               "NoRqWQERdZeroLenSend",
                               "FMR_translated_en",
                               "static_structs",
                               "pci_function",
                               "SQ_size",
                               "EFB_size",
                               "RQ_size",
                               "snd_mss",
                               "df_flag",
                               "ipv4",
                               "IEEE802_format",
                               "src_ip_addr_index",
                               "traffic_class_TOS",
                               "snd_wscale",
                               "wscale_ok",
                               "rcv_no_mpa_crc",
                               "rcv_no_markers",
                               "rcv_mrk_offset",
                               "sack_ok",
                               "snd_mrk_offset",
                               "rdmard_ok",
                               "rdmawr_rdresp_ok",
                               "iWARP_mode",
                               "IRD_size",
                               "snd_no_markers",
                               "pd_index",
                               "tstamp_ok",
                               "TxCmpQueueNum",
                               "RQ_WQE_minsize",
                               "RxCmpQueueNum"};
const char* const kLine14[] = {"bytes_acked", "rcvd_wo_ack", "rcv_mss", "vlan", "arp_index", "dst_ip_addr"};
const char* const kLine15[] = {"last_byte_sent",   "term_msg_bc", "bound_window_count",
                               "hop_limit_TTL",    "rcv_wscale",  "flow_label",
                               "tsval_tick_delta", "src_port",    "dst_port"};
const char* const kLine16[] = {"xmit_last_ack", "keepalive_timeout_ticks", "xmit_last_rcv_wnd", "fin_ae_seq_num",
                               "fin_ae_seq_num_valid"};
const char* const kLine17[] = {"ooo_rcv_wnd", "WndbufDataInd_outstanding", "WndbufDataInd_size"};
const char* const kLine18[] = {"RetransmissionStartTime",
                               "MaxRetransmissionTicks",
                               "MaxKeepaliveProbes",
                               "keepalive_interval",
                               "push_index",
                               "terminate_sent",
                               "fin_sent",
                               "cwnd_decay_behavior",
                               "OOISC_head",
                               "OOISC_base"};

struct Group {
  const char* const* names;
  std::size_t count;
};
template <std::size_t N>
constexpr Group group(const char* const (&names)[N]) {
  return {names, N};
}
const Group kGroups[] = {group(kLine0),  group(kLine1),  group(kLine2),  group(kLine3),  group(kLine4),
                         group(kLine5),  group(kLine6),  group(kLine7),  group(kLine8),  group(kLine9),
                         group(kLine10), group(kLine11), group(kLine12), group(kLine13), group(kLine14),
                         group(kLine15), group(kLine16), group(kLine17), group(kLine18)};
static_assert(sizeof kLine0 / sizeof *kLine0 == 58);
static_assert(sizeof kLine13 / sizeof *kLine13 == 34);

// Where a field sits in the adapter's context.
struct Place {
  const char* name;
  std::uint8_t word;
  std::uint8_t shift;
  std::uint8_t width;
  bool offload_only;  // words 6-35 of the offload form
};
const Place kPlaces[] = {
    {"EFB_size", 0, zekhw::kIwarpCtxEfbShift, 2, false},
    {"RQ_size", 0, zekhw::kIwarpCtxRqSizeShift, 2, false},
    {"SQ_size", 0, zekhw::kIwarpCtxSqSizeShift, 2, false},
    {"wscale_ok", 0, 19, 1, true},
    {"tstamp_ok", 0, 20, 1, true},
    {"TxCmpQueueNum", 1, 0, 16, false},
    {"RxCmpQueueNum", 1, 16, 16, false},
    {"SQ_base_0", 2, 0, 32, false},
    {"SQ_base_1", 3, 0, 32, false},
    {"RQ_base_0", 4, 0, 32, false},
    {"RQ_base_1", 5, 0, 32, false},
    {"src_ip_addr_index", 6, 10, 6, true},
    {"src_port", 7, 0, 16, true},
    {"dst_port", 7, 16, 16, true},
    {"dst_ip_addr", 8, 0, 32, true},
    {"snd_mss", 12, 16, 16, true},
    {"arp_index", 13, 16, 16, true},
    {"qp_tcp_state", 14, 28, 4, true},
    {"rcv_wscale", 15, 0, 8, true},
    {"snd_wscale", 15, 8, 8, true},
    {"keepalive_interval", 16, 0, 16, true},
    {"MaxKeepaliveProbes", 16, 16, 8, true},
    {"ts_recent", 17, 0, 32, true},
    {"ts_recent_age", 18, 0, 32, true},
    {"snd_nxt", 19, 0, 32, true},
    {"snd_wnd", 20, 0, 32, true},
    {"rcv_nxt", 21, 0, 32, true},
    {"rcv_wnd", 22, 0, 32, true},
    {"snd_max", 23, 0, 32, true},
    {"snd_una", 24, 0, 32, true},
    {"srtt", 25, 0, 32, true},
    {"ssthresh", 27, 0, 32, true},
    {"cwnd", 28, 0, 32, true},
    {"snd_wl1", 29, 0, 32, true},
    {"snd_wl2", 30, 0, 32, true},
    {"max_snd_window", 31, 0, 32, true},
    {"rto", 33, 0, 16, true},
    {"retransmitCount", 33, 16, 16, true},
    {"Q2_Base_0", 36, 0, 32, false},
    {"Q2_Base_1", 37, 0, 32, false},
};

std::uint32_t field(const char* name, const std::uint32_t* words, std::uint32_t count) {
  const bool offload = count > 0 && (words[0] & zekhw::kIwarpCtxOffloadBit) == 0;
  for (const Place& p : kPlaces) {
    if (std::strcmp(p.name, name) != 0) continue;
    if (p.word >= count || (p.offload_only && !offload)) return 0;
    const std::uint32_t mask = p.width >= 32 ? 0xFFFFFFFFu : (1u << p.width) - 1;
    return (words[p.word] >> p.shift) & mask;
  }
  return 0;
}

void print_sink(void*, const char* text) { OSPrimDebugPrint("%s", text); }

}  // namespace

void ZpxFormatQPContext(std::uint32_t qp_id, const std::uint32_t* words, std::uint32_t count, ZpxDumpSink sink,
                        void* sink_context) {
  char line[128];
  std::snprintf(line, sizeof line, "\nContext Dump for QP ID = %d\n", static_cast<int>(qp_id));
  sink(sink_context, line);
  sink(sink_context, "\n--------------------> Raw u32 <----------------------\n");
  for (std::uint32_t i = 0; i < count; ++i) {
    std::snprintf(line, sizeof line, "0x%08X, ", words[i]);
    sink(sink_context, line);
  }
  for (std::size_t g = 0; g < sizeof kGroups / sizeof *kGroups; ++g) {
    std::snprintf(line, sizeof line, "\n--------------------> LINE %zu <----------------------\n", g);
    sink(sink_context, line);
    for (std::size_t i = 0; i < kGroups[g].count; ++i) {
      const char* name = kGroups[g].names[i];
      std::snprintf(line, sizeof line, "%s = 0x%x\n", name, field(name, words, count));
      sink(sink_context, line);
    }
  }
}

extern "C" void ZpxDumpQPContext(std::uint32_t qp_id, const void* context) {
  if (context == nullptr) return;
  std::uint32_t words[MIFH_REQ_UPLOAD_FULL_BYTES / 4];
  std::memcpy(words, context, sizeof words);
  ZpxFormatQPContext(qp_id, words, MIFH_REQ_UPLOAD_FULL_BYTES / 4, &print_sink, nullptr);
}
