// The control requests of the proxy driver's device "zekproxy": every code
// of every family, the record size the family's handler reads and writes,
// and the records that user mode and the driver exchange.
//
// Codes are CTL_CODE(0x12, function, METHOD_BUFFERED, read | write), that is
// 0x12C000 | function << 2, except the address-list request 0x444260C4. One
// record serves as input and output; the driver writes the operation's status
// into the record and returns the record's bytes.
//
// The table ZekIoctlTable lists every code once, with its family, its record
// size (0 where the family's own description gives none) and whether only
// kernel-mode callers may send it. The driver routes by it; clients may use
// it to size their records.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Families -----------------------------------------------------------------------
enum class ZekIoctlFamily : std::uint8_t {
  SOCKET_USER,         // socket calls from user mode
  SOCKET_COMBINED,     // socket calls served by the kernel handler, then the user one
  SOCKET_KERNEL,       // socket calls whose records carry kernel addresses (kernel callers only)
  SOCKET_TABLE,        // the kernel socket-call routine table (kernel callers only)
  CLEANUP_CONTEXT,     // attach a per-process clean-up context to the handle
  VERBS,               // iWARP verbs
  VERBS_USER_ACCESS,   // iWARP verbs that map objects into the caller
  KERNEL_VERBS_TABLE,  // the kernel verbs routine table (kernel callers only)
  HARDWARE_OBJECTS,    // single hardware-interface operations
  MANAGEMENT,          // adapters, counters, flash, EEPROM, review
  LOG,                 // the driver's fast log ring
  NOTIFICATION,        // error-QP information and forced event processing
  PROCESS_CLEANUP,     // release the calling process's verbs resources
  ND_QUEUE,            // NetworkDirect requests that wait in the driver's queue
  ND_VERBS,            // NetworkDirect requests that call the verbs
  EVENT_SLOT,          // the twenty event slots
  MCRQ,                // multicast receive queue
  ADDRESS_LIST,        // the SAN address list
};

struct ZekIoctlInfo {
  std::uint32_t code;
  const char* name;
  ZekIoctlFamily family;
  std::uint32_t record_bytes;
  bool kernel_only;
};

// ---- Codes ----------------------------------------------------------------------------------
inline constexpr std::uint32_t IOCTL_ZEK_SOCKETPAIR_USER = 0x12C880;
inline constexpr std::uint32_t IOCTL_ZEK_SOCKET_USER = 0x12C884;
inline constexpr std::uint32_t IOCTL_ZEK_BIND_USER = 0x12C888;
inline constexpr std::uint32_t IOCTL_ZEK_CONNECT_USER = 0x12C88C;
inline constexpr std::uint32_t IOCTL_ZEK_LISTEN_USER = 0x12C890;
inline constexpr std::uint32_t IOCTL_ZEK_ACCEPT_USER = 0x12C894;
inline constexpr std::uint32_t IOCTL_ZEK_GETSOCKETNAME_USER = 0x12C898;
inline constexpr std::uint32_t IOCTL_ZEK_GETPEERNAME_USER = 0x12C89C;
inline constexpr std::uint32_t IOCTL_ZEK_RECV_USER = 0x12C8A0;
inline constexpr std::uint32_t IOCTL_ZEK_RECVFROM_USER = 0x12C8A4;
inline constexpr std::uint32_t IOCTL_ZEK_RECVMSG_USER = 0x12C8A8;
inline constexpr std::uint32_t IOCTL_ZEK_SEND_USER = 0x12C8AC;
inline constexpr std::uint32_t IOCTL_ZEK_SENDTO_USER = 0x12C8B0;
inline constexpr std::uint32_t IOCTL_ZEK_SENDMSG_USER = 0x12C8B4;
inline constexpr std::uint32_t IOCTL_ZEK_SHUTDOWN_USER = 0x12C8B8;
inline constexpr std::uint32_t IOCTL_ZEK_GETSOCKOPT_USER = 0x12C8BC;
inline constexpr std::uint32_t IOCTL_ZEK_SETSOCKOPT_USER = 0x12C8C0;
inline constexpr std::uint32_t IOCTL_ZEK_INET_ADDR_USER = 0x12C8C4;
inline constexpr std::uint32_t IOCTL_ZEK_READ_USER = 0x12C8C8;
inline constexpr std::uint32_t IOCTL_ZEK_WRITE_USER = 0x12C8CC;
inline constexpr std::uint32_t IOCTL_ZEK_IOCTL_USER = 0x12C8D0;
inline constexpr std::uint32_t IOCTL_ZEK_FCNTL_USER = 0x12C8D4;
inline constexpr std::uint32_t IOCTL_ZEK_SELECT_USER = 0x12C8D8;
inline constexpr std::uint32_t IOCTL_ZEK_POLL_USER = 0x12C8DC;
inline constexpr std::uint32_t IOCTL_ZEK_SOCKET_OP_E0_USER = 0x12C8E0;
inline constexpr std::uint32_t IOCTL_ZEK_SOCKETPAIR_KERNEL = 0x12C900;
inline constexpr std::uint32_t IOCTL_ZEK_SOCKET_KERNEL = 0x12C904;
inline constexpr std::uint32_t IOCTL_ZEK_BIND_KERNEL = 0x12C908;
inline constexpr std::uint32_t IOCTL_ZEK_CONNECT_KERNEL = 0x12C90C;
inline constexpr std::uint32_t IOCTL_ZEK_LISTEN_KERNEL = 0x12C910;
inline constexpr std::uint32_t IOCTL_ZEK_ACCEPT_KERNEL = 0x12C914;
inline constexpr std::uint32_t IOCTL_ZEK_GETSOCKETNAME_KERNEL = 0x12C918;
inline constexpr std::uint32_t IOCTL_ZEK_GETPEERNAME_KERNEL = 0x12C91C;
inline constexpr std::uint32_t IOCTL_ZEK_RECV_KERNEL = 0x12C920;
inline constexpr std::uint32_t IOCTL_ZEK_RECVFROM_KERNEL = 0x12C924;
inline constexpr std::uint32_t IOCTL_ZEK_RECVMSG_KERNEL = 0x12C928;
inline constexpr std::uint32_t IOCTL_ZEK_SEND_KERNEL = 0x12C92C;
inline constexpr std::uint32_t IOCTL_ZEK_SENDTO_KERNEL = 0x12C930;
inline constexpr std::uint32_t IOCTL_ZEK_SENDMSG_KERNEL = 0x12C934;
inline constexpr std::uint32_t IOCTL_ZEK_SHUTDOWN_KERNEL = 0x12C938;
inline constexpr std::uint32_t IOCTL_ZEK_GETSOCKOPT_KERNEL = 0x12C93C;
inline constexpr std::uint32_t IOCTL_ZEK_SETSOCKOPT_KERNEL = 0x12C940;
inline constexpr std::uint32_t IOCTL_ZEK_INET_ADDR_KERNEL = 0x12C944;
inline constexpr std::uint32_t IOCTL_ZEK_CLOSE_USER = 0x12C948;
inline constexpr std::uint32_t IOCTL_ZEK_CLOSE_KERNEL = 0x12C94C;
inline constexpr std::uint32_t IOCTL_ZEK_READ_KERNEL = 0x12C950;
inline constexpr std::uint32_t IOCTL_ZEK_WRITE_KERNEL = 0x12C954;
inline constexpr std::uint32_t IOCTL_ZEK_IOCTL_KERNEL = 0x12C958;
inline constexpr std::uint32_t IOCTL_ZEK_FCNTL_KERNEL = 0x12C95C;
inline constexpr std::uint32_t IOCTL_ZEK_SELECT_KERNEL = 0x12C960;
inline constexpr std::uint32_t IOCTL_ZEK_POLL_KERNEL = 0x12C964;
inline constexpr std::uint32_t IOCTL_ZEK_SOCKET_OP_68_KERNEL = 0x12C968;
inline constexpr std::uint32_t IOCTL_ZEK_TCPIP_CC00 = 0x12CC00;
inline constexpr std::uint32_t IOCTL_ZEK_TCPIP_CC04 = 0x12CC04;
inline constexpr std::uint32_t IOCTL_ZEK_BIND2_KERNEL = 0x12D000;
inline constexpr std::uint32_t IOCTL_TCP_GET_STATS = 0x12D004;
inline constexpr std::uint32_t IOCTL_ZEK_TCPIP_008 = 0x12D008;
inline constexpr std::uint32_t IOCTL_ZEK_GET_SOCKET_TABLE = 0x12D00C;
inline constexpr std::uint32_t IOCTL_ZEK_DUP = 0x12D010;
inline constexpr std::uint32_t IOCTL_ZEK_DUP2 = 0x12D014;
inline constexpr std::uint32_t IOCTL_ZEK_TCPIP_018 = 0x12D018;
inline constexpr std::uint32_t IOCTL_ZEK_TCPIP_01C = 0x12D01C;
inline constexpr std::uint32_t IOCTL_ZEK_ALLOC_CLEANUP_CONTEXT = 0x12D020;
// The user-mode dup and dup2 (records as IOCTL_ZEK_DUP and IOCTL_ZEK_DUP2,
// which are kernel callers' codes); zeksock sends these.
inline constexpr std::uint32_t IOCTL_ZEK_USER_DUP = IOCTL_ZEK_TCPIP_018;
inline constexpr std::uint32_t IOCTL_ZEK_USER_DUP2 = IOCTL_ZEK_TCPIP_01C;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_OPEN = 0x12D080;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_CLOSE = 0x12D084;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_QUERY = 0x12D088;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_SET_ASYNC_HANDLER = 0x12D08C;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_PD_ALLOCATE = 0x12D090;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_PD_DEALLOCATE = 0x12D094;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_CQ_CREATE = 0x12D098;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_CQ_DESTROY = 0x12D09C;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_CQ_QUERY = 0x12D0A0;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_CQ_MODIFY = 0x12D0A4;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_CQ_POLL_COMPLETION = 0x12D0C0;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_SET_COMPL_HANDLER = 0x12D0C4;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_CQ_REQUEST_NOTIFICATION = 0x12D0C8;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_SRQ_CREATE = 0x12D0CC;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_SRQ_DESTROY = 0x12D0D0;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_SRQ_QUERY = 0x12D0D4;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_SRQ_MODIFY = 0x12D0D8;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_QP_CREATE = 0x12D0DC;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_QP_DESTROY = 0x12D0E0;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_QP_QUERY = 0x12D0E4;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_QP_MODIFY = 0x12D100;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_QP_POST_SQ = 0x12D104;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_QP_POST_RQ = 0x12D108;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_MR_ALLOC_NONSHARED_STAG = 0x12D10C;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_MR_REGISTER_NON_SHARED = 0x12D110;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_MR_REREGISTER_NON_SHARED = 0x12D114;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_MR_REGISTER_SHARED = 0x12D118;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_MR_QUERY = 0x12D11C;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_MR_DEALLOC = 0x12D120;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_MW_ALLOC = 0x12D124;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_MW_QUERY = 0x12D140;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_WAIT_ON_ASYNC_FUNCTION_CALL = 0x12D144;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_QUERY_ASYNC_ERROR = 0x12D150;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_PD_ALLOCATE_W_USER_ACCESS = 0x12D154;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_QP_CREATE_W_USER_ACCESS = 0x12D158;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_PD_DEALLOCATE_W_USER_ACCESS = 0x12D15C;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_QP_DESTROY_W_USER_ACCESS = 0x12D160;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_CQ_CREATE_W_USER_ACCESS = 0x12D18C;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_CQ_DESTROY_W_USER_ACCESS = 0x12D190;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_GET_KERNEL_VERBS = 0x12D194;
inline constexpr std::uint32_t IOCTL_ZEK_MIFH_AEQ_INIT = 0x12D198;
inline constexpr std::uint32_t IOCTL_ZEK_MIFH_CEQ_INIT = 0x12D19C;
inline constexpr std::uint32_t IOCTL_ZEK_MIFH_CCQ_INIT = 0x12D1A0;
inline constexpr std::uint32_t IOCTL_ZEK_MIFH_PD_INIT = 0x12D1A4;
inline constexpr std::uint32_t IOCTL_ZEK_MIFH_CQP_INIT = 0x12D1C0;
inline constexpr std::uint32_t IOCTL_ZEK_MIFH_CQP_CREATE = 0x12D1C4;
inline constexpr std::uint32_t IOCTL_ZEK_MIFH_CCEQ_CREATE = 0x12D1C8;
inline constexpr std::uint32_t IOCTL_ZEK_MIFH_AEQ_CREATE = 0x12D1CC;
inline constexpr std::uint32_t IOCTL_ZEK_MIFH_CCQ_CREATE = 0x12D1D0;
inline constexpr std::uint32_t IOCTL_ZEK_MIFH_CQP_ALLOCATE = 0x12D1D4;
inline constexpr std::uint32_t IOCTL_ZEK_MIFH_CQP_POST_SQ = 0x12D1D8;
inline constexpr std::uint32_t IOCTL_ZEK_MIFH_CQP_DESTROY = 0x12D1DC;
inline constexpr std::uint32_t IOCTL_ZEK_MIFH_CQP_DEALLOCATE = 0x12D1E0;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_ADAPTER_ADDRS = 0x12D1E4;
inline constexpr std::uint32_t IOCTL_ZEK_MIFH_LMI_ACCESS = 0x12D20C;
inline constexpr std::uint32_t IOCTL_ZEK_MIFH_210 = 0x12D210;
inline constexpr std::uint32_t IOCTL_ZEK_MIFH_UPLOAD_TCP_CONTEXT = 0x12D214;
inline constexpr std::uint32_t IOCTL_ZEK_MIFH_UPLOAD_TCP_CONTEXT_BY_QP = 0x12D218;
inline constexpr std::uint32_t IOCTL_ZEK_MGMT_GET_NUM_ADAPTERS = 0x12D224;
inline constexpr std::uint32_t IOCTL_ZEK_MGMT_OPEN_ADAPTER = 0x12D240;
inline constexpr std::uint32_t IOCTL_ZEK_MGMT_CLOSE_ADAPTER = 0x12D244;
inline constexpr std::uint32_t IOCTL_ZEK_MGMT_GET_NUM_PORTS = 0x12D248;
inline constexpr std::uint32_t IOCTL_ZEK_MGMT_GET_NUM_NODES = 0x12D24C;
inline constexpr std::uint32_t IOCTL_ZEK_MGMT_GET_PSTAT = 0x12D250;
inline constexpr std::uint32_t IOCTL_ZEK_MGMT_SET_PSTAT = 0x12D254;
inline constexpr std::uint32_t IOCTL_ZEK_MGMT_GET_NSTAT = 0x12D258;
inline constexpr std::uint32_t IOCTL_ZEK_MGMT_SET_NSTAT = 0x12D25C;
inline constexpr std::uint32_t IOCTL_ZEK_MGMT_GET_DEBUG = 0x12D260;
inline constexpr std::uint32_t IOCTL_ZEK_MGMT_SET_DEBUG = 0x12D264;
inline constexpr std::uint32_t IOCTL_ZEK_MGMT_FLASH_WRITE = 0x12D268;
inline constexpr std::uint32_t IOCTL_ZEK_MGMT_FLASH_READ = 0x12D26C;
inline constexpr std::uint32_t IOCTL_ZEK_MGMT_FLASH_ERASE = 0x12D270;
inline constexpr std::uint32_t IOCTL_ZEK_MGMT_EEPROM_WRITE = 0x12D274;
inline constexpr std::uint32_t IOCTL_ZEK_MGMT_EEPROM_READ = 0x12D278;
inline constexpr std::uint32_t IOCTL_ZEK_MGMT_EEPROM_ERASE = 0x12D27C;
inline constexpr std::uint32_t IOCTL_ZEK_MGMT_RESET_WAIT = 0x12D280;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_GET_ERROR_QP_INFO = 0x12D284;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_FORCE_PROCESS_AEQ = 0x12D288;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_QP_FLUSH_RQ = 0x12D28C;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_IS_QP_RQ_EMPTY = 0x12D290;
inline constexpr std::uint32_t IOCTL_IWARP_TERMINATE_CQ_POLL_THREAD = 0x12D294;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_DUP_CQ = 0x12D298;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_DUP_QP = 0x12D29C;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_DUP_PD = 0x12D2A0;
inline constexpr std::uint32_t IOCTL_ZEK_MGMT_FLASH_GET_VERSION = 0x12D2A4;
inline constexpr std::uint32_t IOCTL_ZEK_GET_LOG_BUF_SIZE = 0x12D2A8;
inline constexpr std::uint32_t IOCTL_ZEK_READ_LOG_BUF = 0x12D2AC;
inline constexpr std::uint32_t IOCTL_ZEK_CLEAR_LOG_BUF = 0x12D2B0;
inline constexpr std::uint32_t IOCTL_ZEK_MGMT_GET_PCTRL = 0x12D2B8;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_2C0 = 0x12D2C0;
inline constexpr std::uint32_t IOCTL_ZEK_MGMT_REVIEW_GET = 0x12D2C4;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_PROCESS_CLEANUP = 0x12D2C8;
inline constexpr std::uint32_t IOCTL_ZEK_MGMT_EEPROM_GET_VERSION = 0x12D2CC;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION = 0x12D2D0;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_CANCEL_COMPLETION_NOTIFICATION = 0x12D2D4;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_NDI_WAIT_ON_CONNECTION_REQUEST = 0x12D2D8;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_NDI_COMPLETE_CONNECTION_REQUEST = 0x12D2DC;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_NDI_ASYNC_MR_NONSHARED = 0x12D2E0;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_NDI_ASYNC_MR_DEALLOC = 0x12D2E4;
inline constexpr std::uint32_t IOCTL_ZEK_IWARP_NDI_NOTIFY_DISCONNECT = 0x12D2E8;
inline constexpr std::uint32_t IOCTL_ZEK_EVENT_SLOT_0 = 0x12D340;
inline constexpr std::uint32_t IOCTL_ZEK_EVENT_SLOT_1 = 0x12D344;
inline constexpr std::uint32_t IOCTL_ZEK_EVENT_SLOT_2 = 0x12D348;
inline constexpr std::uint32_t IOCTL_ZEK_EVENT_SLOT_3 = 0x12D34C;
inline constexpr std::uint32_t IOCTL_ZEK_EVENT_SLOT_4 = 0x12D350;
inline constexpr std::uint32_t IOCTL_ZEK_EVENT_SLOT_5 = 0x12D354;
inline constexpr std::uint32_t IOCTL_ZEK_EVENT_SLOT_6 = 0x12D358;
inline constexpr std::uint32_t IOCTL_ZEK_EVENT_SLOT_7 = 0x12D35C;
inline constexpr std::uint32_t IOCTL_ZEK_EVENT_SLOT_8 = 0x12D360;
inline constexpr std::uint32_t IOCTL_ZEK_EVENT_SLOT_9 = 0x12D364;
inline constexpr std::uint32_t IOCTL_ZEK_EVENT_SLOT_10 = 0x12D368;
inline constexpr std::uint32_t IOCTL_ZEK_EVENT_SLOT_11 = 0x12D36C;
inline constexpr std::uint32_t IOCTL_ZEK_EVENT_SLOT_12 = 0x12D370;
inline constexpr std::uint32_t IOCTL_ZEK_EVENT_SLOT_13 = 0x12D374;
inline constexpr std::uint32_t IOCTL_ZEK_EVENT_SLOT_14 = 0x12D378;
inline constexpr std::uint32_t IOCTL_ZEK_EVENT_SLOT_15 = 0x12D37C;
inline constexpr std::uint32_t IOCTL_ZEK_EVENT_SLOT_16 = 0x12D380;
inline constexpr std::uint32_t IOCTL_ZEK_EVENT_SLOT_17 = 0x12D384;
inline constexpr std::uint32_t IOCTL_ZEK_EVENT_SLOT_18 = 0x12D388;
inline constexpr std::uint32_t IOCTL_ZEK_EVENT_SLOT_19 = 0x12D38C;
inline constexpr std::uint32_t IOCTL_ZEK_MCRQ_GET_ADAPTER = 0x12D400;
inline constexpr std::uint32_t IOCTL_ZEK_MCRQ_OPEN_USER = 0x12D404;
inline constexpr std::uint32_t IOCTL_ZEK_MCRQ_CLOSE = 0x12D40C;
inline constexpr std::uint32_t IOCTL_ZEK_MCRQ_POLL_COMPLETION = 0x12D410;
inline constexpr std::uint32_t IOCTL_ZEK_MCRQ_ARM = 0x12D414;
inline constexpr std::uint32_t IOCTL_ZEK_MCRQ_DRAIN = 0x12D418;
inline constexpr std::uint32_t IOCTL_ZEK_MCRQ_WAKE_DRAIN = 0x12D41C;
inline constexpr std::uint32_t IOCTL_ZEK_MCRQ_RELEASE_BUFFERS = 0x12D420;
inline constexpr std::uint32_t IOCTL_ZEK_GET_SAN_ADDRESS_LIST = 0x444260C4;

inline constexpr std::uint32_t ZEK_EVENT_SLOT_FIRST = IOCTL_ZEK_EVENT_SLOT_0;
inline constexpr std::uint32_t ZEK_EVENT_SLOT_COUNT = 20;
// Parked-request slot of an event-slot or multicast-receive-queue code:
// (code - 0x12D340) / 4 (0..19 for the event slots; 48, 49, 51..56 for the
// multicast receive queue).
inline constexpr std::uint32_t ZekParkedSlotOf(std::uint32_t code) { return (code - ZEK_EVENT_SLOT_FIRST) / 4; }

// ---- The routing table ---------------------------------------------------------------------------
inline constexpr ZekIoctlInfo ZekIoctlTable[] = {
    {IOCTL_ZEK_SOCKETPAIR_USER, "IOCTL_ZEK_SOCKETPAIR_USER", ZekIoctlFamily::SOCKET_USER, 24, false},
    {IOCTL_ZEK_SOCKET_USER, "IOCTL_ZEK_SOCKET_USER", ZekIoctlFamily::SOCKET_USER, 24, false},
    {IOCTL_ZEK_BIND_USER, "IOCTL_ZEK_BIND_USER", ZekIoctlFamily::SOCKET_USER, 272, false},
    {IOCTL_ZEK_CONNECT_USER, "IOCTL_ZEK_CONNECT_USER", ZekIoctlFamily::SOCKET_COMBINED, 272, false},
    {IOCTL_ZEK_LISTEN_USER, "IOCTL_ZEK_LISTEN_USER", ZekIoctlFamily::SOCKET_USER, 16, false},
    {IOCTL_ZEK_ACCEPT_USER, "IOCTL_ZEK_ACCEPT_USER", ZekIoctlFamily::SOCKET_USER, 280, false},
    {IOCTL_ZEK_GETSOCKETNAME_USER, "IOCTL_ZEK_GETSOCKETNAME_USER", ZekIoctlFamily::SOCKET_USER, 32, false},
    {IOCTL_ZEK_GETPEERNAME_USER, "IOCTL_ZEK_GETPEERNAME_USER", ZekIoctlFamily::SOCKET_USER, 32, false},
    {IOCTL_ZEK_RECV_USER, "IOCTL_ZEK_RECV_USER", ZekIoctlFamily::SOCKET_COMBINED, 288, false},
    {IOCTL_ZEK_RECVFROM_USER, "IOCTL_ZEK_RECVFROM_USER", ZekIoctlFamily::SOCKET_COMBINED, 48, false},
    {IOCTL_ZEK_RECVMSG_USER, "IOCTL_ZEK_RECVMSG_USER", ZekIoctlFamily::SOCKET_COMBINED, 24, false},
    {IOCTL_ZEK_SEND_USER, "IOCTL_ZEK_SEND_USER", ZekIoctlFamily::SOCKET_COMBINED, 288, false},
    {IOCTL_ZEK_SENDTO_USER, "IOCTL_ZEK_SENDTO_USER", ZekIoctlFamily::SOCKET_COMBINED, 40, false},
    {IOCTL_ZEK_SENDMSG_USER, "IOCTL_ZEK_SENDMSG_USER", ZekIoctlFamily::SOCKET_COMBINED, 24, false},
    {IOCTL_ZEK_SHUTDOWN_USER, "IOCTL_ZEK_SHUTDOWN_USER", ZekIoctlFamily::SOCKET_USER, 16, false},
    {IOCTL_ZEK_GETSOCKOPT_USER, "IOCTL_ZEK_GETSOCKOPT_USER", ZekIoctlFamily::SOCKET_USER, 32, false},
    {IOCTL_ZEK_SETSOCKOPT_USER, "IOCTL_ZEK_SETSOCKOPT_USER", ZekIoctlFamily::SOCKET_USER, 32, false},
    {IOCTL_ZEK_INET_ADDR_USER, "IOCTL_ZEK_INET_ADDR_USER", ZekIoctlFamily::SOCKET_USER, 16, false},
    {IOCTL_ZEK_READ_USER, "IOCTL_ZEK_READ_USER", ZekIoctlFamily::SOCKET_USER, 24, false},
    {IOCTL_ZEK_WRITE_USER, "IOCTL_ZEK_WRITE_USER", ZekIoctlFamily::SOCKET_USER, 24, false},
    {IOCTL_ZEK_IOCTL_USER, "IOCTL_ZEK_IOCTL_USER", ZekIoctlFamily::SOCKET_USER, 32, false},
    {IOCTL_ZEK_FCNTL_USER, "IOCTL_ZEK_FCNTL_USER", ZekIoctlFamily::SOCKET_USER, 24, false},
    {IOCTL_ZEK_SELECT_USER, "IOCTL_ZEK_SELECT_USER", ZekIoctlFamily::SOCKET_USER, 48, false},
    {IOCTL_ZEK_POLL_USER, "IOCTL_ZEK_POLL_USER", ZekIoctlFamily::SOCKET_USER, 24, false},
    {IOCTL_ZEK_SOCKET_OP_E0_USER, "IOCTL_ZEK_SOCKET_OP_E0_USER", ZekIoctlFamily::SOCKET_USER, 0, false},
    {IOCTL_ZEK_SOCKETPAIR_KERNEL, "IOCTL_ZEK_SOCKETPAIR_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 24, true},
    {IOCTL_ZEK_SOCKET_KERNEL, "IOCTL_ZEK_SOCKET_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 24, true},
    {IOCTL_ZEK_BIND_KERNEL, "IOCTL_ZEK_BIND_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 272, true},
    {IOCTL_ZEK_CONNECT_KERNEL, "IOCTL_ZEK_CONNECT_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 272, true},
    {IOCTL_ZEK_LISTEN_KERNEL, "IOCTL_ZEK_LISTEN_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 16, true},
    {IOCTL_ZEK_ACCEPT_KERNEL, "IOCTL_ZEK_ACCEPT_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 280, true},
    {IOCTL_ZEK_GETSOCKETNAME_KERNEL, "IOCTL_ZEK_GETSOCKETNAME_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 32, true},
    {IOCTL_ZEK_GETPEERNAME_KERNEL, "IOCTL_ZEK_GETPEERNAME_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 32, true},
    {IOCTL_ZEK_RECV_KERNEL, "IOCTL_ZEK_RECV_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 288, true},
    {IOCTL_ZEK_RECVFROM_KERNEL, "IOCTL_ZEK_RECVFROM_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 48, true},
    {IOCTL_ZEK_RECVMSG_KERNEL, "IOCTL_ZEK_RECVMSG_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 24, true},
    {IOCTL_ZEK_SEND_KERNEL, "IOCTL_ZEK_SEND_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 288, true},
    {IOCTL_ZEK_SENDTO_KERNEL, "IOCTL_ZEK_SENDTO_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 40, true},
    {IOCTL_ZEK_SENDMSG_KERNEL, "IOCTL_ZEK_SENDMSG_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 24, true},
    {IOCTL_ZEK_SHUTDOWN_KERNEL, "IOCTL_ZEK_SHUTDOWN_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 16, true},
    {IOCTL_ZEK_GETSOCKOPT_KERNEL, "IOCTL_ZEK_GETSOCKOPT_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 32, true},
    {IOCTL_ZEK_SETSOCKOPT_KERNEL, "IOCTL_ZEK_SETSOCKOPT_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 32, true},
    {IOCTL_ZEK_INET_ADDR_KERNEL, "IOCTL_ZEK_INET_ADDR_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 16, true},
    {IOCTL_ZEK_CLOSE_USER, "IOCTL_ZEK_CLOSE_USER", ZekIoctlFamily::SOCKET_USER, 16, false},
    {IOCTL_ZEK_CLOSE_KERNEL, "IOCTL_ZEK_CLOSE_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 16, true},
    {IOCTL_ZEK_READ_KERNEL, "IOCTL_ZEK_READ_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 24, true},
    {IOCTL_ZEK_WRITE_KERNEL, "IOCTL_ZEK_WRITE_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 24, true},
    {IOCTL_ZEK_IOCTL_KERNEL, "IOCTL_ZEK_IOCTL_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 32, true},
    {IOCTL_ZEK_FCNTL_KERNEL, "IOCTL_ZEK_FCNTL_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 24, true},
    {IOCTL_ZEK_SELECT_KERNEL, "IOCTL_ZEK_SELECT_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 48, true},
    {IOCTL_ZEK_POLL_KERNEL, "IOCTL_ZEK_POLL_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 24, true},
    {IOCTL_ZEK_SOCKET_OP_68_KERNEL, "IOCTL_ZEK_SOCKET_OP_68_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 0, true},
    {IOCTL_ZEK_TCPIP_CC00, "IOCTL_ZEK_TCPIP_CC00", ZekIoctlFamily::SOCKET_COMBINED, 4, false},
    {IOCTL_ZEK_TCPIP_CC04, "IOCTL_ZEK_TCPIP_CC04", ZekIoctlFamily::SOCKET_COMBINED, 0, false},
    {IOCTL_ZEK_BIND2_KERNEL, "IOCTL_ZEK_BIND2_KERNEL", ZekIoctlFamily::SOCKET_KERNEL, 0, true},
    {IOCTL_TCP_GET_STATS, "IOCTL_TCP_GET_STATS", ZekIoctlFamily::SOCKET_USER, 32, false},
    {IOCTL_ZEK_TCPIP_008, "IOCTL_ZEK_TCPIP_008", ZekIoctlFamily::SOCKET_USER, 84, false},
    {IOCTL_ZEK_GET_SOCKET_TABLE, "IOCTL_ZEK_GET_SOCKET_TABLE", ZekIoctlFamily::SOCKET_TABLE, 8, true},
    {IOCTL_ZEK_DUP, "IOCTL_ZEK_DUP", ZekIoctlFamily::SOCKET_KERNEL, 16, true},
    {IOCTL_ZEK_DUP2, "IOCTL_ZEK_DUP2", ZekIoctlFamily::SOCKET_KERNEL, 24, true},
    {IOCTL_ZEK_TCPIP_018, "IOCTL_ZEK_TCPIP_018", ZekIoctlFamily::SOCKET_USER, 16, false},
    {IOCTL_ZEK_TCPIP_01C, "IOCTL_ZEK_TCPIP_01C", ZekIoctlFamily::SOCKET_USER, 24, false},
    {IOCTL_ZEK_ALLOC_CLEANUP_CONTEXT, "IOCTL_ZEK_ALLOC_CLEANUP_CONTEXT", ZekIoctlFamily::CLEANUP_CONTEXT, 0, false},
    {IOCTL_ZEK_IWARP_OPEN, "IOCTL_ZEK_IWARP_OPEN", ZekIoctlFamily::VERBS, 40, false},
    {IOCTL_ZEK_IWARP_CLOSE, "IOCTL_ZEK_IWARP_CLOSE", ZekIoctlFamily::VERBS, 16, false},
    {IOCTL_ZEK_IWARP_QUERY, "IOCTL_ZEK_IWARP_QUERY", ZekIoctlFamily::VERBS, 312, false},
    {IOCTL_ZEK_IWARP_SET_ASYNC_HANDLER, "IOCTL_ZEK_IWARP_SET_ASYNC_HANDLER", ZekIoctlFamily::VERBS, 32, false},
    {IOCTL_ZEK_IWARP_PD_ALLOCATE, "IOCTL_ZEK_IWARP_PD_ALLOCATE", ZekIoctlFamily::VERBS, 32, false},
    {IOCTL_ZEK_IWARP_PD_DEALLOCATE, "IOCTL_ZEK_IWARP_PD_DEALLOCATE", ZekIoctlFamily::VERBS, 24, false},
    {IOCTL_ZEK_IWARP_CQ_CREATE, "IOCTL_ZEK_IWARP_CQ_CREATE", ZekIoctlFamily::VERBS, 72, false},
    {IOCTL_ZEK_IWARP_CQ_DESTROY, "IOCTL_ZEK_IWARP_CQ_DESTROY", ZekIoctlFamily::VERBS, 24, false},
    {IOCTL_ZEK_IWARP_CQ_QUERY, "IOCTL_ZEK_IWARP_CQ_QUERY", ZekIoctlFamily::VERBS, 32, false},
    {IOCTL_ZEK_IWARP_CQ_MODIFY, "IOCTL_ZEK_IWARP_CQ_MODIFY", ZekIoctlFamily::VERBS, 32, false},
    {IOCTL_ZEK_IWARP_CQ_POLL_COMPLETION, "IOCTL_ZEK_IWARP_CQ_POLL_COMPLETION", ZekIoctlFamily::VERBS, 32, false},
    {IOCTL_ZEK_IWARP_SET_COMPL_HANDLER, "IOCTL_ZEK_IWARP_SET_COMPL_HANDLER", ZekIoctlFamily::VERBS, 40, false},
    {IOCTL_ZEK_IWARP_CQ_REQUEST_NOTIFICATION, "IOCTL_ZEK_IWARP_CQ_REQUEST_NOTIFICATION", ZekIoctlFamily::VERBS, 24,
     false},
    {IOCTL_ZEK_IWARP_SRQ_CREATE, "IOCTL_ZEK_IWARP_SRQ_CREATE", ZekIoctlFamily::VERBS, 64, false},
    {IOCTL_ZEK_IWARP_SRQ_DESTROY, "IOCTL_ZEK_IWARP_SRQ_DESTROY", ZekIoctlFamily::VERBS, 24, false},
    {IOCTL_ZEK_IWARP_SRQ_QUERY, "IOCTL_ZEK_IWARP_SRQ_QUERY", ZekIoctlFamily::VERBS, 32, false},
    {IOCTL_ZEK_IWARP_SRQ_MODIFY, "IOCTL_ZEK_IWARP_SRQ_MODIFY", ZekIoctlFamily::VERBS, 40, false},
    {IOCTL_ZEK_IWARP_QP_CREATE, "IOCTL_ZEK_IWARP_QP_CREATE", ZekIoctlFamily::VERBS, 48, false},
    {IOCTL_ZEK_IWARP_QP_DESTROY, "IOCTL_ZEK_IWARP_QP_DESTROY", ZekIoctlFamily::VERBS, 24, false},
    {IOCTL_ZEK_IWARP_QP_QUERY, "IOCTL_ZEK_IWARP_QP_QUERY", ZekIoctlFamily::VERBS, 32, false},
    {IOCTL_ZEK_IWARP_QP_MODIFY, "IOCTL_ZEK_IWARP_QP_MODIFY", ZekIoctlFamily::VERBS, 128, false},
    {IOCTL_ZEK_IWARP_QP_POST_SQ, "IOCTL_ZEK_IWARP_QP_POST_SQ", ZekIoctlFamily::VERBS, 40, false},
    {IOCTL_ZEK_IWARP_QP_POST_RQ, "IOCTL_ZEK_IWARP_QP_POST_RQ", ZekIoctlFamily::VERBS, 48, false},
    {IOCTL_ZEK_IWARP_MR_ALLOC_NONSHARED_STAG, "IOCTL_ZEK_IWARP_MR_ALLOC_NONSHARED_STAG", ZekIoctlFamily::VERBS, 48,
     false},
    {IOCTL_ZEK_IWARP_MR_REGISTER_NON_SHARED, "IOCTL_ZEK_IWARP_MR_REGISTER_NON_SHARED", ZekIoctlFamily::VERBS, 56,
     false},
    {IOCTL_ZEK_IWARP_MR_REREGISTER_NON_SHARED, "IOCTL_ZEK_IWARP_MR_REREGISTER_NON_SHARED", ZekIoctlFamily::VERBS, 72,
     false},
    {IOCTL_ZEK_IWARP_MR_REGISTER_SHARED, "IOCTL_ZEK_IWARP_MR_REGISTER_SHARED", ZekIoctlFamily::VERBS, 56, false},
    {IOCTL_ZEK_IWARP_MR_QUERY, "IOCTL_ZEK_IWARP_MR_QUERY", ZekIoctlFamily::VERBS, 24, false},
    {IOCTL_ZEK_IWARP_MR_DEALLOC, "IOCTL_ZEK_IWARP_MR_DEALLOC", ZekIoctlFamily::VERBS, 32, false},
    {IOCTL_ZEK_IWARP_MW_ALLOC, "IOCTL_ZEK_IWARP_MW_ALLOC", ZekIoctlFamily::VERBS, 32, false},
    {IOCTL_ZEK_IWARP_MW_QUERY, "IOCTL_ZEK_IWARP_MW_QUERY", ZekIoctlFamily::VERBS, 24, false},
    {IOCTL_ZEK_IWARP_WAIT_ON_ASYNC_FUNCTION_CALL, "IOCTL_ZEK_IWARP_WAIT_ON_ASYNC_FUNCTION_CALL", ZekIoctlFamily::VERBS,
     1640, false},
    {IOCTL_ZEK_IWARP_QUERY_ASYNC_ERROR, "IOCTL_ZEK_IWARP_QUERY_ASYNC_ERROR", ZekIoctlFamily::VERBS, 40, false},
    {IOCTL_ZEK_IWARP_PD_ALLOCATE_W_USER_ACCESS, "IOCTL_ZEK_IWARP_PD_ALLOCATE_W_USER_ACCESS",
     ZekIoctlFamily::VERBS_USER_ACCESS, 48, false},
    {IOCTL_ZEK_IWARP_QP_CREATE_W_USER_ACCESS, "IOCTL_ZEK_IWARP_QP_CREATE_W_USER_ACCESS",
     ZekIoctlFamily::VERBS_USER_ACCESS, 320, false},
    {IOCTL_ZEK_IWARP_PD_DEALLOCATE_W_USER_ACCESS, "IOCTL_ZEK_IWARP_PD_DEALLOCATE_W_USER_ACCESS",
     ZekIoctlFamily::VERBS_USER_ACCESS, 24, false},
    {IOCTL_ZEK_IWARP_QP_DESTROY_W_USER_ACCESS, "IOCTL_ZEK_IWARP_QP_DESTROY_W_USER_ACCESS",
     ZekIoctlFamily::VERBS_USER_ACCESS, 24, false},
    {IOCTL_ZEK_IWARP_CQ_CREATE_W_USER_ACCESS, "IOCTL_ZEK_IWARP_CQ_CREATE_W_USER_ACCESS",
     ZekIoctlFamily::VERBS_USER_ACCESS, 80, false},
    {IOCTL_ZEK_IWARP_CQ_DESTROY_W_USER_ACCESS, "IOCTL_ZEK_IWARP_CQ_DESTROY_W_USER_ACCESS",
     ZekIoctlFamily::VERBS_USER_ACCESS, 24, false},
    {IOCTL_ZEK_IWARP_GET_KERNEL_VERBS, "IOCTL_ZEK_IWARP_GET_KERNEL_VERBS", ZekIoctlFamily::KERNEL_VERBS_TABLE, 8, true},
    {IOCTL_ZEK_MIFH_AEQ_INIT, "IOCTL_ZEK_MIFH_AEQ_INIT", ZekIoctlFamily::HARDWARE_OBJECTS, 40, false},
    {IOCTL_ZEK_MIFH_CEQ_INIT, "IOCTL_ZEK_MIFH_CEQ_INIT", ZekIoctlFamily::HARDWARE_OBJECTS, 40, false},
    {IOCTL_ZEK_MIFH_CCQ_INIT, "IOCTL_ZEK_MIFH_CCQ_INIT", ZekIoctlFamily::HARDWARE_OBJECTS, 40, false},
    {IOCTL_ZEK_MIFH_PD_INIT, "IOCTL_ZEK_MIFH_PD_INIT", ZekIoctlFamily::HARDWARE_OBJECTS, 24, false},
    {IOCTL_ZEK_MIFH_CQP_INIT, "IOCTL_ZEK_MIFH_CQP_INIT", ZekIoctlFamily::HARDWARE_OBJECTS, 64, false},
    {IOCTL_ZEK_MIFH_CQP_CREATE, "IOCTL_ZEK_MIFH_CQP_CREATE", ZekIoctlFamily::HARDWARE_OBJECTS, 16, false},
    {IOCTL_ZEK_MIFH_CCEQ_CREATE, "IOCTL_ZEK_MIFH_CCEQ_CREATE", ZekIoctlFamily::HARDWARE_OBJECTS, 24, false},
    {IOCTL_ZEK_MIFH_AEQ_CREATE, "IOCTL_ZEK_MIFH_AEQ_CREATE", ZekIoctlFamily::HARDWARE_OBJECTS, 24, false},
    {IOCTL_ZEK_MIFH_CCQ_CREATE, "IOCTL_ZEK_MIFH_CCQ_CREATE", ZekIoctlFamily::HARDWARE_OBJECTS, 24, false},
    {IOCTL_ZEK_MIFH_CQP_ALLOCATE, "IOCTL_ZEK_MIFH_CQP_ALLOCATE", ZekIoctlFamily::HARDWARE_OBJECTS, 32, false},
    {IOCTL_ZEK_MIFH_CQP_POST_SQ, "IOCTL_ZEK_MIFH_CQP_POST_SQ", ZekIoctlFamily::HARDWARE_OBJECTS, 16, false},
    {IOCTL_ZEK_MIFH_CQP_DESTROY, "IOCTL_ZEK_MIFH_CQP_DESTROY", ZekIoctlFamily::HARDWARE_OBJECTS, 16, false},
    {IOCTL_ZEK_MIFH_CQP_DEALLOCATE, "IOCTL_ZEK_MIFH_CQP_DEALLOCATE", ZekIoctlFamily::HARDWARE_OBJECTS, 16, false},
    {IOCTL_ZEK_IWARP_ADAPTER_ADDRS, "IOCTL_ZEK_IWARP_ADAPTER_ADDRS", ZekIoctlFamily::VERBS, 32, false},
    {IOCTL_ZEK_MIFH_LMI_ACCESS, "IOCTL_ZEK_MIFH_LMI_ACCESS", ZekIoctlFamily::HARDWARE_OBJECTS, 32, false},
    {IOCTL_ZEK_MIFH_210, "IOCTL_ZEK_MIFH_210", ZekIoctlFamily::HARDWARE_OBJECTS, 0, false},
    {IOCTL_ZEK_MIFH_UPLOAD_TCP_CONTEXT, "IOCTL_ZEK_MIFH_UPLOAD_TCP_CONTEXT", ZekIoctlFamily::HARDWARE_OBJECTS, 24,
     false},
    {IOCTL_ZEK_MIFH_UPLOAD_TCP_CONTEXT_BY_QP, "IOCTL_ZEK_MIFH_UPLOAD_TCP_CONTEXT_BY_QP",
     ZekIoctlFamily::HARDWARE_OBJECTS, 24, false},
    {IOCTL_ZEK_MGMT_GET_NUM_ADAPTERS, "IOCTL_ZEK_MGMT_GET_NUM_ADAPTERS", ZekIoctlFamily::MANAGEMENT, 16, false},
    {IOCTL_ZEK_MGMT_OPEN_ADAPTER, "IOCTL_ZEK_MGMT_OPEN_ADAPTER", ZekIoctlFamily::MANAGEMENT, 32, false},
    {IOCTL_ZEK_MGMT_CLOSE_ADAPTER, "IOCTL_ZEK_MGMT_CLOSE_ADAPTER", ZekIoctlFamily::MANAGEMENT, 16, false},
    {IOCTL_ZEK_MGMT_GET_NUM_PORTS, "IOCTL_ZEK_MGMT_GET_NUM_PORTS", ZekIoctlFamily::MANAGEMENT, 24, false},
    {IOCTL_ZEK_MGMT_GET_NUM_NODES, "IOCTL_ZEK_MGMT_GET_NUM_NODES", ZekIoctlFamily::MANAGEMENT, 24, false},
    {IOCTL_ZEK_MGMT_GET_PSTAT, "IOCTL_ZEK_MGMT_GET_PSTAT", ZekIoctlFamily::MANAGEMENT, 32, false},
    {IOCTL_ZEK_MGMT_SET_PSTAT, "IOCTL_ZEK_MGMT_SET_PSTAT", ZekIoctlFamily::MANAGEMENT, 32, false},
    {IOCTL_ZEK_MGMT_GET_NSTAT, "IOCTL_ZEK_MGMT_GET_NSTAT", ZekIoctlFamily::MANAGEMENT, 32, false},
    {IOCTL_ZEK_MGMT_SET_NSTAT, "IOCTL_ZEK_MGMT_SET_NSTAT", ZekIoctlFamily::MANAGEMENT, 32, false},
    {IOCTL_ZEK_MGMT_GET_DEBUG, "IOCTL_ZEK_MGMT_GET_DEBUG", ZekIoctlFamily::MANAGEMENT, 32, false},
    {IOCTL_ZEK_MGMT_SET_DEBUG, "IOCTL_ZEK_MGMT_SET_DEBUG", ZekIoctlFamily::MANAGEMENT, 32, false},
    {IOCTL_ZEK_MGMT_FLASH_WRITE, "IOCTL_ZEK_MGMT_FLASH_WRITE", ZekIoctlFamily::MANAGEMENT, 32, false},
    {IOCTL_ZEK_MGMT_FLASH_READ, "IOCTL_ZEK_MGMT_FLASH_READ", ZekIoctlFamily::MANAGEMENT, 32, false},
    {IOCTL_ZEK_MGMT_FLASH_ERASE, "IOCTL_ZEK_MGMT_FLASH_ERASE", ZekIoctlFamily::MANAGEMENT, 16, false},
    {IOCTL_ZEK_MGMT_EEPROM_WRITE, "IOCTL_ZEK_MGMT_EEPROM_WRITE", ZekIoctlFamily::MANAGEMENT, 32, false},
    {IOCTL_ZEK_MGMT_EEPROM_READ, "IOCTL_ZEK_MGMT_EEPROM_READ", ZekIoctlFamily::MANAGEMENT, 32, false},
    {IOCTL_ZEK_MGMT_EEPROM_ERASE, "IOCTL_ZEK_MGMT_EEPROM_ERASE", ZekIoctlFamily::MANAGEMENT, 24, false},
    {IOCTL_ZEK_MGMT_RESET_WAIT, "IOCTL_ZEK_MGMT_RESET_WAIT", ZekIoctlFamily::MANAGEMENT, 16, false},
    {IOCTL_ZEK_IWARP_GET_ERROR_QP_INFO, "IOCTL_ZEK_IWARP_GET_ERROR_QP_INFO", ZekIoctlFamily::NOTIFICATION, 24, false},
    {IOCTL_ZEK_IWARP_FORCE_PROCESS_AEQ, "IOCTL_ZEK_IWARP_FORCE_PROCESS_AEQ", ZekIoctlFamily::NOTIFICATION, 16, false},
    {IOCTL_ZEK_IWARP_QP_FLUSH_RQ, "IOCTL_ZEK_IWARP_QP_FLUSH_RQ", ZekIoctlFamily::VERBS, 24, false},
    {IOCTL_ZEK_IWARP_IS_QP_RQ_EMPTY, "IOCTL_ZEK_IWARP_IS_QP_RQ_EMPTY", ZekIoctlFamily::VERBS, 24, false},
    {IOCTL_IWARP_TERMINATE_CQ_POLL_THREAD, "IOCTL_IWARP_TERMINATE_CQ_POLL_THREAD", ZekIoctlFamily::VERBS, 16, false},
    {IOCTL_ZEK_IWARP_DUP_CQ, "IOCTL_ZEK_IWARP_DUP_CQ", ZekIoctlFamily::VERBS, 40, false},
    {IOCTL_ZEK_IWARP_DUP_QP, "IOCTL_ZEK_IWARP_DUP_QP", ZekIoctlFamily::VERBS, 48, false},
    {IOCTL_ZEK_IWARP_DUP_PD, "IOCTL_ZEK_IWARP_DUP_PD", ZekIoctlFamily::VERBS, 40, false},
    {IOCTL_ZEK_MGMT_FLASH_GET_VERSION, "IOCTL_ZEK_MGMT_FLASH_GET_VERSION", ZekIoctlFamily::MANAGEMENT, 16, false},
    {IOCTL_ZEK_GET_LOG_BUF_SIZE, "IOCTL_ZEK_GET_LOG_BUF_SIZE", ZekIoctlFamily::LOG, 24, false},
    {IOCTL_ZEK_READ_LOG_BUF, "IOCTL_ZEK_READ_LOG_BUF", ZekIoctlFamily::LOG, 24, false},
    {IOCTL_ZEK_CLEAR_LOG_BUF, "IOCTL_ZEK_CLEAR_LOG_BUF", ZekIoctlFamily::LOG, 4, false},
    {IOCTL_ZEK_MGMT_GET_PCTRL, "IOCTL_ZEK_MGMT_GET_PCTRL", ZekIoctlFamily::MANAGEMENT, 24, false},
    {IOCTL_ZEK_IWARP_2C0, "IOCTL_ZEK_IWARP_2C0", ZekIoctlFamily::VERBS, 0, false},
    {IOCTL_ZEK_MGMT_REVIEW_GET, "IOCTL_ZEK_MGMT_REVIEW_GET", ZekIoctlFamily::MANAGEMENT, 144, false},
    {IOCTL_ZEK_IWARP_PROCESS_CLEANUP, "IOCTL_ZEK_IWARP_PROCESS_CLEANUP", ZekIoctlFamily::PROCESS_CLEANUP, 0, false},
    {IOCTL_ZEK_MGMT_EEPROM_GET_VERSION, "IOCTL_ZEK_MGMT_EEPROM_GET_VERSION", ZekIoctlFamily::MANAGEMENT, 16, false},
    {IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION, "IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION",
     ZekIoctlFamily::ND_QUEUE, 8, false},
    {IOCTL_ZEK_IWARP_CANCEL_COMPLETION_NOTIFICATION, "IOCTL_ZEK_IWARP_CANCEL_COMPLETION_NOTIFICATION",
     ZekIoctlFamily::ND_QUEUE, 8, false},
    {IOCTL_ZEK_IWARP_NDI_WAIT_ON_CONNECTION_REQUEST, "IOCTL_ZEK_IWARP_NDI_WAIT_ON_CONNECTION_REQUEST",
     ZekIoctlFamily::ND_QUEUE, 8, false},
    {IOCTL_ZEK_IWARP_NDI_COMPLETE_CONNECTION_REQUEST, "IOCTL_ZEK_IWARP_NDI_COMPLETE_CONNECTION_REQUEST",
     ZekIoctlFamily::ND_QUEUE, 16, false},
    {IOCTL_ZEK_IWARP_NDI_ASYNC_MR_NONSHARED, "IOCTL_ZEK_IWARP_NDI_ASYNC_MR_NONSHARED", ZekIoctlFamily::ND_VERBS, 64,
     false},
    {IOCTL_ZEK_IWARP_NDI_ASYNC_MR_DEALLOC, "IOCTL_ZEK_IWARP_NDI_ASYNC_MR_DEALLOC", ZekIoctlFamily::ND_VERBS, 24, false},
    {IOCTL_ZEK_IWARP_NDI_NOTIFY_DISCONNECT, "IOCTL_ZEK_IWARP_NDI_NOTIFY_DISCONNECT", ZekIoctlFamily::ND_VERBS, 16,
     false},
    {IOCTL_ZEK_EVENT_SLOT_0, "IOCTL_ZEK_EVENT_SLOT_0", ZekIoctlFamily::EVENT_SLOT, 8, false},
    {IOCTL_ZEK_EVENT_SLOT_1, "IOCTL_ZEK_EVENT_SLOT_1", ZekIoctlFamily::EVENT_SLOT, 8, false},
    {IOCTL_ZEK_EVENT_SLOT_2, "IOCTL_ZEK_EVENT_SLOT_2", ZekIoctlFamily::EVENT_SLOT, 8, false},
    {IOCTL_ZEK_EVENT_SLOT_3, "IOCTL_ZEK_EVENT_SLOT_3", ZekIoctlFamily::EVENT_SLOT, 8, false},
    {IOCTL_ZEK_EVENT_SLOT_4, "IOCTL_ZEK_EVENT_SLOT_4", ZekIoctlFamily::EVENT_SLOT, 8, false},
    {IOCTL_ZEK_EVENT_SLOT_5, "IOCTL_ZEK_EVENT_SLOT_5", ZekIoctlFamily::EVENT_SLOT, 8, false},
    {IOCTL_ZEK_EVENT_SLOT_6, "IOCTL_ZEK_EVENT_SLOT_6", ZekIoctlFamily::EVENT_SLOT, 8, false},
    {IOCTL_ZEK_EVENT_SLOT_7, "IOCTL_ZEK_EVENT_SLOT_7", ZekIoctlFamily::EVENT_SLOT, 8, false},
    {IOCTL_ZEK_EVENT_SLOT_8, "IOCTL_ZEK_EVENT_SLOT_8", ZekIoctlFamily::EVENT_SLOT, 8, false},
    {IOCTL_ZEK_EVENT_SLOT_9, "IOCTL_ZEK_EVENT_SLOT_9", ZekIoctlFamily::EVENT_SLOT, 8, false},
    {IOCTL_ZEK_EVENT_SLOT_10, "IOCTL_ZEK_EVENT_SLOT_10", ZekIoctlFamily::EVENT_SLOT, 8, false},
    {IOCTL_ZEK_EVENT_SLOT_11, "IOCTL_ZEK_EVENT_SLOT_11", ZekIoctlFamily::EVENT_SLOT, 8, false},
    {IOCTL_ZEK_EVENT_SLOT_12, "IOCTL_ZEK_EVENT_SLOT_12", ZekIoctlFamily::EVENT_SLOT, 8, false},
    {IOCTL_ZEK_EVENT_SLOT_13, "IOCTL_ZEK_EVENT_SLOT_13", ZekIoctlFamily::EVENT_SLOT, 8, false},
    {IOCTL_ZEK_EVENT_SLOT_14, "IOCTL_ZEK_EVENT_SLOT_14", ZekIoctlFamily::EVENT_SLOT, 8, false},
    {IOCTL_ZEK_EVENT_SLOT_15, "IOCTL_ZEK_EVENT_SLOT_15", ZekIoctlFamily::EVENT_SLOT, 8, false},
    {IOCTL_ZEK_EVENT_SLOT_16, "IOCTL_ZEK_EVENT_SLOT_16", ZekIoctlFamily::EVENT_SLOT, 8, false},
    {IOCTL_ZEK_EVENT_SLOT_17, "IOCTL_ZEK_EVENT_SLOT_17", ZekIoctlFamily::EVENT_SLOT, 8, false},
    {IOCTL_ZEK_EVENT_SLOT_18, "IOCTL_ZEK_EVENT_SLOT_18", ZekIoctlFamily::EVENT_SLOT, 8, false},
    {IOCTL_ZEK_EVENT_SLOT_19, "IOCTL_ZEK_EVENT_SLOT_19", ZekIoctlFamily::EVENT_SLOT, 8, false},
    {IOCTL_ZEK_MCRQ_GET_ADAPTER, "IOCTL_ZEK_MCRQ_GET_ADAPTER", ZekIoctlFamily::MCRQ, 264, false},
    {IOCTL_ZEK_MCRQ_OPEN_USER, "IOCTL_ZEK_MCRQ_OPEN_USER", ZekIoctlFamily::MCRQ, 128, false},
    {IOCTL_ZEK_MCRQ_CLOSE, "IOCTL_ZEK_MCRQ_CLOSE", ZekIoctlFamily::MCRQ, 16, false},
    {IOCTL_ZEK_MCRQ_POLL_COMPLETION, "IOCTL_ZEK_MCRQ_POLL_COMPLETION", ZekIoctlFamily::MCRQ, 24, false},
    {IOCTL_ZEK_MCRQ_ARM, "IOCTL_ZEK_MCRQ_ARM", ZekIoctlFamily::MCRQ, 16, false},
    {IOCTL_ZEK_MCRQ_DRAIN, "IOCTL_ZEK_MCRQ_DRAIN", ZekIoctlFamily::MCRQ, 272, false},
    {IOCTL_ZEK_MCRQ_WAKE_DRAIN, "IOCTL_ZEK_MCRQ_WAKE_DRAIN", ZekIoctlFamily::MCRQ, 16, false},
    {IOCTL_ZEK_MCRQ_RELEASE_BUFFERS, "IOCTL_ZEK_MCRQ_RELEASE_BUFFERS", ZekIoctlFamily::MCRQ, 16, false},
    {IOCTL_ZEK_GET_SAN_ADDRESS_LIST, "IOCTL_ZEK_GET_SAN_ADDRESS_LIST", ZekIoctlFamily::ADDRESS_LIST, 4, false},
};
inline constexpr std::size_t ZEK_IOCTL_COUNT = sizeof(ZekIoctlTable) / sizeof(ZekIoctlTable[0]);
static_assert(ZEK_IOCTL_COUNT == 192);

// The entry of a code, or null for a code the driver does not know. The
// table is sorted by code.
constexpr const ZekIoctlInfo* ZekIoctlLookup(std::uint32_t code) {
  std::size_t low = 0, high = ZEK_IOCTL_COUNT;
  while (low < high) {
    const std::size_t middle = (low + high) / 2;
    if (ZekIoctlTable[middle].code < code) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low < ZEK_IOCTL_COUNT && ZekIoctlTable[low].code == code ? &ZekIoctlTable[low] : nullptr;
}

// ---- Records ----------------------------------------------------------------------------------------

// IOCTL_ZEK_GET_LOG_BUF_SIZE, IOCTL_ZEK_READ_LOG_BUF, IOCTL_ZEK_CLEAR_LOG_BUF.
struct ZekLogBufParam {
  std::uint64_t Buffer;  // read: destination address in the calling process
  std::uint32_t Offset;  // read: byte offset in the log
  std::uint32_t Size;    // size: the log's size (out); read: bytes to copy (in), bytes copied (out)
  std::uint32_t Status;  // returned as sent
  std::uint32_t Unused;
};
static_assert(offsetof(ZekLogBufParam, Buffer) == 0);
static_assert(offsetof(ZekLogBufParam, Offset) == 8);
static_assert(offsetof(ZekLogBufParam, Size) == 12);
static_assert(offsetof(ZekLogBufParam, Status) == 16);
static_assert(sizeof(ZekLogBufParam) == 24);
inline constexpr std::uint32_t ZEK_LOG_BUF_BYTES = 0x400000;
inline constexpr std::uint32_t ZEK_CLEAR_LOG_BUF_BYTES_RETURNED = 4;

// IOCTL_ZEK_EVENT_SLOT_n: a command, and the slot number the driver writes
// back when it parks the request.
inline constexpr std::uint32_t ZEK_EVENT_SLOT_PARK = 0x103;         // park this request in the slot
inline constexpr std::uint32_t ZEK_EVENT_SLOT_SIGNAL = 0;           // complete the parked request with success
inline constexpr std::uint32_t ZEK_EVENT_SLOT_CANCEL = 0xC0000120;  // complete the parked request as cancelled
struct ZekEventSlotRecord {
  std::uint32_t Command;  // one of the above, or an error status for this request
  std::uint32_t Slot;     // out when parked
};
static_assert(offsetof(ZekEventSlotRecord, Command) == 0);
static_assert(offsetof(ZekEventSlotRecord, Slot) == 4);
static_assert(sizeof(ZekEventSlotRecord) == 8);

// IOCTL_ZEK_GET_SOCKET_TABLE, IOCTL_ZEK_IWARP_GET_KERNEL_VERBS (kernel callers).
struct ZekRoutineTableRecord {
  std::uint64_t Table;  // out: the routine table's kernel address
};
static_assert(sizeof(ZekRoutineTableRecord) == 8);

// ---- NetworkDirect requests that stay pending in the driver ------------------------------------
// Every one completes with success, 0xC0000236 (refused) or 0xC0000120 (cancelled).

// IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION and
// IOCTL_ZEK_IWARP_NDI_WAIT_ON_CONNECTION_REQUEST: the key (completion-queue
// or connection handle) comes first; the provider's own fields follow and
// the driver does not read them.
struct ZekNdWaitRecord {
  std::uint64_t Key;
};
static_assert(offsetof(ZekNdWaitRecord, Key) == 0);

// IOCTL_ZEK_IWARP_CANCEL_COMPLETION_NOTIFICATION: 8 bytes are returned.
struct ZekNdCancelNotificationRecord {
  std::uint64_t CQHandle;
  std::uint32_t Status;  // the driver writes 0
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekNdCancelNotificationRecord, CQHandle) == 0);
static_assert(offsetof(ZekNdCancelNotificationRecord, Status) == 8);
inline constexpr std::uint32_t ZEK_ND_CANCEL_NOTIFICATION_BYTES_RETURNED = 8;

// IOCTL_ZEK_IWARP_NDI_COMPLETE_CONNECTION_REQUEST: 16 bytes are returned.
inline constexpr std::uint32_t ZEK_ND_CONNECTION_ACCEPT = 0;
inline constexpr std::uint32_t ZEK_ND_CONNECTION_REFUSE = 90;  // any other value cancels
struct ZekNdCompleteConnectionRecord {
  std::uint64_t ConnectionHandle;
  std::uint32_t Status;  // how the waiting request completes
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekNdCompleteConnectionRecord, ConnectionHandle) == 0);
static_assert(offsetof(ZekNdCompleteConnectionRecord, Status) == 8);
static_assert(sizeof(ZekNdCompleteConnectionRecord) == 16);

// IOCTL_ZEK_IWARP_NDI_ASYNC_MR_NONSHARED: 64 bytes are returned on completion.
struct ZekNdAsyncMrRecord {
  std::uint64_t MRContext;  // the queue key
  std::uint64_t Handle1;    // passed to the registration
  std::uint64_t Handle2;
  std::int32_t Result;  // written by the registration
  std::uint32_t Reserved1;
  std::uint64_t Address;
  std::uint32_t Value1;  // copied into the registration parameters
  std::uint32_t Value2;
  std::uint32_t Value3;
  std::uint8_t Flag;
  std::uint8_t Reserved2[11];
};
static_assert(offsetof(ZekNdAsyncMrRecord, MRContext) == 0);
static_assert(offsetof(ZekNdAsyncMrRecord, Result) == 24);
static_assert(offsetof(ZekNdAsyncMrRecord, Address) == 32);
static_assert(offsetof(ZekNdAsyncMrRecord, Flag) == 52);
static_assert(sizeof(ZekNdAsyncMrRecord) == 64);

// IOCTL_ZEK_IWARP_NDI_ASYNC_MR_DEALLOC.
struct ZekNdAsyncDeallocRecord {
  std::uint64_t MRContext;
  std::uint64_t Adapter;
  std::uint32_t STag;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekNdAsyncDeallocRecord, Adapter) == 8);
static_assert(offsetof(ZekNdAsyncDeallocRecord, STag) == 16);
static_assert(sizeof(ZekNdAsyncDeallocRecord) == 24);

// IOCTL_ZEK_IWARP_NDI_NOTIFY_DISCONNECT.
struct ZekNdNotifyDisconnectRecord {
  std::uint64_t Adapter;
  std::uint32_t QPIndex;  // below 8192
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekNdNotifyDisconnectRecord, QPIndex) == 8);
static_assert(sizeof(ZekNdNotifyDisconnectRecord) == 16);

// IOCTL_ZEK_GET_SAN_ADDRESS_LIST: a u32 count, then one 16-byte IPv4 socket
// address per entry.
struct ZekSanAddress {
  std::uint16_t Family;  // 2
  std::uint16_t Port;
  std::uint32_t Address;
  std::uint8_t Zero[8];
};
static_assert(offsetof(ZekSanAddress, Port) == 2);
static_assert(offsetof(ZekSanAddress, Address) == 4);
static_assert(sizeof(ZekSanAddress) == 16);
