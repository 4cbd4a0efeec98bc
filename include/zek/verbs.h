// The kernel iWARP verbs as their callers see them: the verbs statuses, the
// routine table through which the verbs are published (two of them: the
// user forms under IWARP_VERBS_INTERFACE and the kernel forms under
// IWARP_KERNEL_VERBS_INTERFACE, include/zek/interfaces.h), and the records
// the verbs read and write (SAN addresses, adapter attributes, queue-pair
// create input, output and query, completions).
//
// Handles: the adapter, protection-domain and completion-queue handles are
// the addresses of the driver's objects; a queue-pair handle is the queue
// pair's id. No verb trusts a handle: each is looked up on the opened
// adapter's own lists (the adapter on the list of opened adapters) before
// it is used, so a freed or forged handle answers its INVALID status.
//
// Where the verbs' own rules leave a choice, the choice is a named constant
// or a documented field below (see also docs/drivers.md, "Kernel verbs").
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/zek/interfaces.h"
#include "include/zek/status.h"

// ---- Statuses ------------------------------------------------------------------------------------------
// 0 success; 1 general failure; 2 a required pointer missing; 4 out of
// memory (ZEK_STATUS_RES_INSUFFICIENT_SW); 12 a requested count of zero
// (ZEK_STATUS_A_INVALID_IDENTIFIER); and the group below.
inline constexpr ZekStatus IWARP_STATUS_A_INVALID_ADAPTER_ADDRESS = 0x50010;
inline constexpr ZekStatus IWARP_STATUS_A_INVALID_RNIC_HANDLE = 0x50012;
inline constexpr ZekStatus IWARP_STATUS_PD_INVALID_PD_ID = 0x50020;
inline constexpr ZekStatus IWARP_STATUS_PD_PD_IN_USE = 0x50021;
inline constexpr ZekStatus IWARP_STATUS_CQ_INVALID_HANDLE = 0x50030;
inline constexpr ZekStatus IWARP_STATUS_CQ_TOOMANY_CQES_REQUESTED = 0x50031;
inline constexpr ZekStatus IWARP_STATUS_CQ_IN_USE = 0x50032;
inline constexpr ZekStatus IWARP_STATUS_CQ_EMPTY = 0x50033;
inline constexpr ZekStatus IWARP_STATUS_CQ_INVALID_NOTIFY_MODE = 0x50034;
inline constexpr ZekStatus IWARP_STATUS_CQ_COULD_NOT_RESIZE_CQ = 0x50035;
inline constexpr ZekStatus IWARP_STATUS_SRQ_INVALID_HANDLE = 0x50040;
inline constexpr ZekStatus IWARP_STATUS_SRQ_NUM_WORK_REQ_TOO_LARGE = 0x50041;
inline constexpr ZekStatus IWARP_STATUS_SRQ_SGES_PER_SRQ_TOO_LARGE = 0x50042;
inline constexpr ZekStatus IWARP_STATUS_SRQ_SRQ_LIMIT_OUT_OF_RANGE = 0x50043;
inline constexpr ZekStatus IWARP_STATUS_SRQ_COULD_NOT_RESIZE_SRQ = 0x50044;
inline constexpr ZekStatus IWARP_STATUS_SRQ_QPS_STILL_ASSOC = 0x50045;
inline constexpr ZekStatus IWARP_STATUS_QP_INVALID_HANDLE = 0x50050;
inline constexpr ZekStatus IWARP_STATUS_QP_INVALID_ORD = 0x50051;
inline constexpr ZekStatus IWARP_STATUS_QP_INVALID_IRD = 0x50052;
inline constexpr ZekStatus IWARP_STATUS_QP_INVALID_NUM_WORK_REQS = 0x50053;
inline constexpr ZekStatus IWARP_STATUS_QP_INVALID_NUM_SGES = 0x50054;
inline constexpr ZekStatus IWARP_STATUS_QP_CANNOT_MODIFY_ATTRIBUTE = 0x50055;
inline constexpr ZekStatus IWARP_STATUS_QP_INVALID_STATE = 0x50056;
inline constexpr ZekStatus IWARP_STATUS_QP_INVALID_LLP_STREAM = 0x50057;
inline constexpr ZekStatus IWARP_STATUS_QP_UNABLE_TO_CHANGE_STATE = 0x50058;
inline constexpr ZekStatus IWARP_STATUS_QP_ALREADY_IN_USE = 0x50059;
inline constexpr ZekStatus IWARP_STATUS_QP_MEM_WINDOW_STILL_BOUND = 0x5005A;
inline constexpr ZekStatus IWARP_STATUS_QP_TOOMANY_WRS_POSTED = 0x5005B;
inline constexpr ZekStatus IWARP_STATUS_QP_INVALID_OP_TYPE = 0x5005C;
inline constexpr ZekStatus IWARP_STATUS_QP_INVALID_QP_STATE = 0x5005D;
inline constexpr ZekStatus IWARP_STATUS_QP_INVALID_SGL_LEN = 0x5005E;
inline constexpr ZekStatus IWARP_STATUS_QP_POST_REC_WITH_SRQ = 0x5005F;
inline constexpr ZekStatus IWARP_STATUS_QP_INVALID_MESSAGE_SIZE = 0x50060;
inline constexpr ZekStatus IWARP_STATUS_MR_INVALID_VA = 0x50070;
inline constexpr ZekStatus IWARP_STATUS_MR_INVALID_LENGTH = 0x50071;
inline constexpr ZekStatus IWARP_STATUS_MR_INVALID_ACCESS_RIGHTS = 0x50072;
inline constexpr ZekStatus IWARP_STATUS_MR_INVALID_PBE = 0x50073;
inline constexpr ZekStatus IWARP_STATUS_MR_INVALID_STAG = 0x50074;
inline constexpr ZekStatus IWARP_STATUS_MR_INVALID_FBO = 0x50075;
inline constexpr ZekStatus IWARP_STATUS_MR_MY_STILL_BOUND = 0x50076;
// Beyond the group's 128 texts (no text of their own).
inline constexpr ZekStatus IWARP_STATUS_BAD_MPA_FRAME = 0x50083;
inline constexpr ZekStatus IWARP_STATUS_STREAM_MESSAGE_TOO_LARGE = 0x50084;
// The group's message table: 128 entries by the code's low 16 bits.
inline constexpr std::uint32_t IWARP_VERBS_MESSAGE_COUNT = 128;
inline constexpr const char* IWARP_VERBS_UNKNOWN_TEXT = "UNKNOWN IWARP ERROR";
// The function-name group ZEK_GROUP_IWARP_FUNCTIONS: "K_IWARP_INIT" to "K_IWARP_MW_QUERY".
inline constexpr std::uint32_t IWARP_FUNCTION_NAME_COUNT = 33;

// ---- Limits ------------------------------------------------------------------------------------------------
// Queue pairs reachable through an adapter's handle table: ids 0 to 8191.
// A queue pair whose id is not below this is refused at creation (its
// handle could never be used).
inline constexpr std::uint32_t ZEK_VERBS_QP_TABLE_SIZE = 8192;
// SAN addresses: at most 256 asked for; an open looks at the first 24.
inline constexpr std::uint32_t ZEK_VERBS_MAX_ADDRESSES = 256;
inline constexpr std::uint32_t ZEK_VERBS_OPEN_ADDRESSES = 24;
// Completion-queue entries: a CQ has one slot more than it reports and the
// adapter takes at most 32768 slots, so a request is capped at 32767.
inline constexpr std::uint32_t ZEK_VERBS_MAX_CQ_ENTRIES = 32767;
// Scatter-gather entries of a work request.
inline constexpr std::uint32_t ZEK_VERBS_MAX_SGES = 4;
// A work queue keeps two slots free: usable = ring size - 2. The ring is the
// smallest of 4, 32, 128, 512 whose usable part holds the request; a
// request above 510 is refused (IWARP_STATUS_QP_INVALID_NUM_WORK_REQS).
inline constexpr std::uint32_t ZEK_VERBS_WQ_RESERVED = 2;
// The error ring of a CQ: queue pairs whose work requests come back flushed.
inline constexpr std::uint32_t ZEK_VERBS_ERROR_RING_SLOTS = 1000;

// ---- Queue-pair states --------------------------------------------------------------------------------------
enum ZekQpState : std::uint8_t {
  ZEK_QP_STATE_IDLE = 1,
  ZEK_QP_STATE_RTS = 2,
  ZEK_QP_STATE_CLOSING = 3,
  ZEK_QP_STATE_TERMINATE = 5,
  ZEK_QP_STATE_ERROR = 6,
};

// ---- Records ------------------------------------------------------------------------------------------------
// A SAN address as zek_adapter_addrs writes it: the host stack's socket
// address of 16 bytes (length byte, family byte).
struct ZekVerbsAddress {
  std::uint8_t Length;  // 16
  std::uint8_t Family;  // 2 (AF_INET)
  std::uint16_t Port;   // network order
  std::uint32_t Ipv4;   // network order
  std::uint8_t Zero[8];
};
static_assert(sizeof(ZekVerbsAddress) == 16);
static_assert(offsetof(ZekVerbsAddress, Family) == 1);
static_assert(offsetof(ZekVerbsAddress, Ipv4) == 4);
inline constexpr std::uint8_t ZEK_AF_INET = 2;

// The adapter attributes (zek_query, 300 bytes, zeroed first).
struct ZekAdapterAttributes {
  std::uint32_t MaxQps;             // 0
  std::uint32_t MaxSqWr;            // 4: the adapter's maximum less 2
  std::uint32_t MaxRqWr;            // 8: the adapter's maximum less 2
  std::uint32_t MaxSges;            // 12
  std::uint32_t MaxCqs;             // 16
  std::uint32_t MaxCqEntries;       // 20
  std::uint32_t MaxOrd;             // 24
  std::uint32_t MaxIrd;             // 28
  std::uint32_t MaxMrs;             // 32
  std::uint32_t MaxMws;             // 36
  std::uint32_t MaxPds;             // 40
  std::uint32_t MaxStreamMessage;   // 44
  std::uint32_t Reserved48[4];      // 48
  std::uint32_t Zero64;             // 64
  std::uint32_t Zero68;             // 68
  std::uint32_t Reserved72[11];     // 72
  std::uint32_t Zero116;            // 116
  std::uint32_t Reserved120[2];     // 120
  std::uint32_t PageSizes;          // 128: 0x4000
  std::uint32_t Reserved132[2];     // 132
  std::uint32_t Four140;            // 140: 4
  std::uint32_t Reserved144[9];     // 144
  std::uint32_t Zero180;            // 180
  std::uint32_t Zero184;            // 184
  std::uint32_t PortMode;           // 188: 2 for port mode 1, 4 for port mode 3, else 1
  std::uint8_t BasePort;            // 192: the device's base port byte
  std::uint8_t PhyType;             // 193
  std::uint8_t Reserved194[2];      // 194
  std::uint32_t Zero196;            // 196
  std::uint32_t Zero200;            // 200
  std::uint32_t Fifteen204;         // 204: 15
  std::uint32_t Value1024;          // 208: 1024
  std::uint32_t Identity[5];        // 212: the device object's first five words
  std::uint32_t MaxStreamMessage2;  // 232: 64 (zek_query)
  std::uint8_t Zero236[64];         // 236: zero (zek_query)
};
static_assert(sizeof(ZekAdapterAttributes) == 300);
static_assert(offsetof(ZekAdapterAttributes, Zero64) == 64);
static_assert(offsetof(ZekAdapterAttributes, Zero116) == 116);
static_assert(offsetof(ZekAdapterAttributes, PageSizes) == 128);
static_assert(offsetof(ZekAdapterAttributes, Four140) == 140);
static_assert(offsetof(ZekAdapterAttributes, Zero180) == 180);
static_assert(offsetof(ZekAdapterAttributes, Zero196) == 196);
static_assert(offsetof(ZekAdapterAttributes, Zero200) == 200);
static_assert(offsetof(ZekAdapterAttributes, Fifteen204) == 204);
static_assert(offsetof(ZekAdapterAttributes, Value1024) == 208);
static_assert(offsetof(ZekAdapterAttributes, Identity) == 212);
static_assert(offsetof(ZekAdapterAttributes, MaxStreamMessage2) == 232);
static_assert(offsetof(ZekAdapterAttributes, Zero236) == 236);

// The queue-pair create input (the fields as the verb reads them).
struct ZekQpCreateInput {
  std::uint64_t SendCq;  // 0: completion-queue handle
  std::uint64_t RecvCq;  // 8: completion-queue handle
  std::uint64_t Pd;      // 16: protection-domain handle
  std::uint8_t Reserved24[12];
  std::uint32_t SqSize;      // 36
  std::uint32_t RqSize;      // 40
  std::uint32_t Flags;       // 44
  std::uint32_t Feature48;   // 48: non-zero enables a context feature (QP flag bit 1)
  std::uint32_t Feature52;   // 52: non-zero enables a context feature (QP flag bit 0)
  std::uint32_t SqSges;      // 56: at most 4
  std::uint32_t RqSges;      // 60: at most 4
  std::uint32_t RdmaWSges;   // 64: at most 4
  std::uint32_t Ord;         // 68
  std::uint32_t Ird;         // 72
  std::uint32_t RdmaMode;    // 76
  std::uint8_t Reserved[8];  // 80: to the 88 bytes of the user records
};
static_assert(sizeof(ZekQpCreateInput) == 88);
static_assert(offsetof(ZekQpCreateInput, Pd) == 16);
static_assert(offsetof(ZekQpCreateInput, SqSize) == 36);
static_assert(offsetof(ZekQpCreateInput, Flags) == 44);
static_assert(offsetof(ZekQpCreateInput, SqSges) == 56);
static_assert(offsetof(ZekQpCreateInput, Ord) == 68);
static_assert(offsetof(ZekQpCreateInput, RdmaMode) == 76);

// The queue-pair attribute block: the create output and the query answer
// (168 bytes).
struct ZekQpAttributes {
  std::uint64_t SendCq;  // 0: create: the CQ's client handle; query: its id
  std::uint64_t RecvCq;  // 8
  std::uint64_t Pd;      // 16
  std::uint8_t Reserved24[4];
  std::uint32_t SqSize;     // 28: usable send work requests
  std::uint32_t RqSize;     // 32: usable receive work requests
  std::uint32_t Flags;      // 36
  std::uint32_t Feature48;  // 40
  std::uint32_t Feature52;  // 44
  std::uint32_t SqSges;     // 48: 4
  std::uint32_t RqSges;     // 52: 4
  std::uint32_t RdmaWSges;  // 56: 4
  std::uint32_t Ord;        // 60
  std::uint32_t Ird;        // 64
  std::uint8_t Reserved68[4];
  std::uint64_t Zero72;        // 72
  std::uint32_t Zero80;        // 80
  std::uint32_t Zero84;        // 84
  std::uint32_t State;         // 88: create: 1
  std::uint32_t Feature92;     // 92: terminate/error: the third feature bit
  std::uint8_t Terminate[64];  // 96: terminate/error: the terminate bytes
  std::uint64_t Socket;        // 160: any state but IDLE
};
static_assert(sizeof(ZekQpAttributes) == 168);
static_assert(offsetof(ZekQpAttributes, SqSize) == 28);
static_assert(offsetof(ZekQpAttributes, Flags) == 36);
static_assert(offsetof(ZekQpAttributes, SqSges) == 48);
static_assert(offsetof(ZekQpAttributes, Ord) == 60);
static_assert(offsetof(ZekQpAttributes, Zero72) == 72);
static_assert(offsetof(ZekQpAttributes, State) == 88);
static_assert(offsetof(ZekQpAttributes, Terminate) == 96);
static_assert(offsetof(ZekQpAttributes, Socket) == 160);

// A completion (40 bytes).
struct ZekWorkCompletion {
  std::uint64_t WrId;
  std::uint64_t Qp;  // the queue pair's handle (its id)
  std::uint32_t OpCode;
  std::uint32_t Length;
  std::uint32_t Status;  // 0 success, 1 error or flushed
  std::uint32_t ImmediateFlag;
  std::uint32_t Immediate;
  std::uint32_t Reserved;
};
static_assert(sizeof(ZekWorkCompletion) == 40);
static_assert(offsetof(ZekWorkCompletion, OpCode) == 16);
static_assert(offsetof(ZekWorkCompletion, Status) == 24);
static_assert(offsetof(ZekWorkCompletion, Immediate) == 32);
// The receive op code of a completion.
inline constexpr std::uint32_t ZEK_WC_RECEIVE = 7;

// ---- Queue-pair modify (zek_qp_modify) ----------------------------------------------------------------------
// The attribute mask: a mask of 0 selects every attribute. The RDMA mode is
// taken only while the queue pair is idle (elsewhere the change is logged and
// ignored).
inline constexpr std::uint32_t ZEK_QP_MODIFY_STATE = 1u << 0;
inline constexpr std::uint32_t ZEK_QP_MODIFY_ORD = 1u << 1;
inline constexpr std::uint32_t ZEK_QP_MODIFY_IRD = 1u << 2;
inline constexpr std::uint32_t ZEK_QP_MODIFY_SQ_SIZE = 1u << 3;
inline constexpr std::uint32_t ZEK_QP_MODIFY_RQ_SIZE = 1u << 4;
inline constexpr std::uint32_t ZEK_QP_MODIFY_RDMA_MODE = 1u << 7;
// The connection-state word of a queue pair that took a connection over.
inline constexpr std::uint32_t ZEK_QP_CONNECTION_RUNNING = 11;
// The device's largest last streaming message when its description gives
// none (an MPA reply with the most private data RFC 5044 allows fits).
inline constexpr std::uint32_t ZEK_STREAM_MESSAGE_DEFAULT_MAX = 1024;
// Unacknowledged bytes of the connection hold the hand-over back (the
// adapter could not send them again): the modify waits for their
// acknowledgement this long, then fails with the connection unchanged.
inline constexpr std::uint32_t ZEK_HANDOVER_ACK_WAIT_MS = 2000;

// The modify input (80 bytes).
struct ZekQpModifyInput {
  std::uint32_t Mask;    // 0: ZEK_QP_MODIFY_*
  std::int32_t State;    // 4: the new state (ZekQpState)
  std::uint32_t Ord;     // 8
  std::uint32_t Ird;     // 12
  std::uint32_t SqSize;  // 16
  std::uint32_t RqSize;  // 20
  std::uint32_t Reserved24[2];
  std::uint64_t Socket;    // 32: the host stack's socket of the connection (IDLE to RTS)
  std::uint32_t RdmaMode;  // 40
  std::uint32_t Reserved44;
  const void* Message;          // 48: the last streaming message (IDLE to RTS)
  std::uint32_t MessageLength;  // 56: 0 = none
  std::uint8_t Reserved60[20];
};
static_assert(sizeof(ZekQpModifyInput) == 80);
static_assert(offsetof(ZekQpModifyInput, State) == 4);
static_assert(offsetof(ZekQpModifyInput, RqSize) == 20);
static_assert(offsetof(ZekQpModifyInput, Socket) == 32);
static_assert(offsetof(ZekQpModifyInput, RdmaMode) == 40);
static_assert(offsetof(ZekQpModifyInput, Message) == 48);
static_assert(offsetof(ZekQpModifyInput, MessageLength) == 56);

// The modify output: written from the input on success.
struct ZekQpModifyOutput {
  std::uint32_t SqSize;  // 0
  std::uint32_t RqSize;  // 4
  std::uint32_t Ord;     // 8
  std::uint32_t Ird;     // 12
};
static_assert(sizeof(ZekQpModifyOutput) == 16);

// Context kinds of zek_set_context and zek_get_context.
inline constexpr std::uint32_t ZEK_CONTEXT_ADAPTER = 0;
inline constexpr std::uint32_t ZEK_CONTEXT_CQ = 1;
inline constexpr std::uint32_t ZEK_CONTEXT_QP = 2;

// ---- Posting, memory regions and memory windows -------------------------------------------------------------
// A scatter-gather entry of a work request (16 bytes): the address lies in
// the region named by the STag (a virtual address, or an offset for a
// zero-based region).
struct ZekSge {
  std::uint64_t Address;
  std::uint32_t Length;
  std::uint32_t Stag;
};
static_assert(sizeof(ZekSge) == 16);

// Send-queue operations (ZekSendWr::Op).
enum ZekSendOp : std::int32_t {
  ZEK_WR_RDMA_WRITE = 0,
  ZEK_WR_RDMA_READ = 1,
  ZEK_WR_RDMA_READ_INVALIDATE = 2,  // RDMA read that invalidates its local STag when done
  ZEK_WR_SEND = 3,
  ZEK_WR_SEND_INVALIDATE = 4,
  ZEK_WR_SEND_SOLICITED = 5,
  ZEK_WR_SEND_SOLICITED_INVALIDATE = 6,
  ZEK_WR_BIND = 8,
  ZEK_WR_FAST_REGISTER = 9,
  ZEK_WR_LOCAL_INVALIDATE = 10,
  ZEK_WR_RDMA_WRITE_INLINE = 11,
  ZEK_WR_SEND_INLINE = 12,
};

// A send work request (72 bytes). The fields after the operation depend on
// it; the three forms share the first 16 bytes.
struct ZekSendWr {
  std::uint64_t WrId;       // 0: returned in the completion
  std::int32_t Op;          // 8: ZekSendOp
  std::int32_t Signalled;   // 12: non-zero: a completion is produced
  const ZekSge* Sgl;        // 16: the local data (inline forms: copied into the request, 64 bytes at most)
  std::uint32_t SgeCount;   // 24: at most ZEK_VERBS_MAX_SGES (reads: 1)
  std::uint32_t LocalStag;  // 28: RDMA read with invalidate: the STag invalidated when the read is done
  std::uint64_t Remote;     // 32: remote address; sends with invalidate: the STag to invalidate (low 32 bits)
  std::uint32_t Reserved40;
  std::uint32_t RemoteStag;  // 44
  std::uint8_t Flags;        // 48: bit 0: the solicited flag of writes and sends (bit 29 of the request)
  std::uint8_t Reserved49[23];
};
static_assert(sizeof(ZekSendWr) == 72);
static_assert(offsetof(ZekSendWr, Sgl) == 16);
static_assert(offsetof(ZekSendWr, SgeCount) == 24);
static_assert(offsetof(ZekSendWr, LocalStag) == 28);
static_assert(offsetof(ZekSendWr, Remote) == 32);
static_assert(offsetof(ZekSendWr, RemoteStag) == 44);
static_assert(offsetof(ZekSendWr, Flags) == 48);

// A memory-window bind (Op ZEK_WR_BIND), in the same 72 bytes. The window
// is bound to [Va, Va + Length) of the region; its STag gets the key Key.
struct ZekBindWr {
  std::uint64_t WrId;        // 0
  std::int32_t Op;           // 8
  std::int32_t Signalled;    // 12
  std::uint32_t RegionStag;  // 16: the memory region the window is bound in
  std::uint32_t Length;      // 20
  std::uint64_t Va;          // 24
  std::uint32_t Mode;        // 32: the bind mode (bits 6-17 of the request's first word)
  std::uint8_t RemoteRead;   // 36: the window allows remote reads
  std::uint8_t Reserved37[3];
  std::uint8_t RemoteWrite;  // 40: the window allows remote writes
  std::uint8_t Reserved41[3];
  std::uint32_t WindowStag;  // 44: the window (index << 8; its key is replaced by Key)
  std::uint8_t Key;          // 48: the window's new key
  std::uint8_t Reserved49[23];
};
static_assert(sizeof(ZekBindWr) == 72);
static_assert(offsetof(ZekBindWr, RegionStag) == 16);
static_assert(offsetof(ZekBindWr, Va) == 24);
static_assert(offsetof(ZekBindWr, Mode) == 32);
static_assert(offsetof(ZekBindWr, RemoteRead) == 36);
static_assert(offsetof(ZekBindWr, RemoteWrite) == 40);
static_assert(offsetof(ZekBindWr, WindowStag) == 44);
static_assert(offsetof(ZekBindWr, Key) == 48);

// A local invalidation (Op ZEK_WR_LOCAL_INVALIDATE).
struct ZekLocalInvalidateWr {
  std::uint64_t WrId;      // 0
  std::int32_t Op;         // 8
  std::int32_t Signalled;  // 12
  std::uint32_t Stag;      // 16
  std::uint8_t Reserved20[52];
};
static_assert(sizeof(ZekLocalInvalidateWr) == 72);

// A fast registration (Op ZEK_WR_FAST_REGISTER) of an STag allocated with
// zek_mr_alloc_nonshared_STag: the region is a kernel client's buffer
// (Buffer, Length; its address is the region's), or, with Buffer 0, a list
// of PageCount physical pages of PageSize bytes (kernel clients only) whose
// region starts at Va (its offset in the first page is Va % PageSize).
struct ZekFastRegisterWr {
  std::uint64_t WrId;      // 0
  std::int32_t Op;         // 8
  std::uint8_t Signalled;  // 12
  std::uint8_t Reserved13[3];
  const std::uint64_t* PageList;  // 16: physical page addresses (Buffer 0)
  std::uint32_t PageCount;        // 24
  std::uint32_t PageSize;         // 28: 4096, 2 MB, or a multiple of 4096
  std::uint32_t ZeroBased;        // 32: tagged offsets count from the region's first byte
  std::uint32_t Length;           // 36
  std::uint64_t Va;               // 40: the region's address (page-list form)
  std::uint64_t Buffer;           // 48: the buffer, 0 = the page list
  std::uint32_t Access;           // 56: ZEK_ACCESS_* bits
  std::uint32_t Stag;             // 60: index << 8 (the key is Key)
  std::uint8_t Key;               // 64
  std::uint8_t Reserved65[7];
};
static_assert(sizeof(ZekFastRegisterWr) == 72);
static_assert(offsetof(ZekFastRegisterWr, PageList) == 16);
static_assert(offsetof(ZekFastRegisterWr, Length) == 36);
static_assert(offsetof(ZekFastRegisterWr, Buffer) == 48);
static_assert(offsetof(ZekFastRegisterWr, Access) == 56);
static_assert(offsetof(ZekFastRegisterWr, Stag) == 60);
static_assert(offsetof(ZekFastRegisterWr, Key) == 64);

// A receive work request (24 bytes).
struct ZekRecvWr {
  std::uint64_t WrId;
  const ZekSge* Sgl;
  std::uint32_t SgeCount;
  std::uint32_t Reserved;
};
static_assert(sizeof(ZekRecvWr) == 24);

// Access rights of regions and windows.
inline constexpr std::uint32_t ZEK_ACCESS_LOCAL_READ = 1u << 0;
inline constexpr std::uint32_t ZEK_ACCESS_LOCAL_WRITE = 1u << 1;
inline constexpr std::uint32_t ZEK_ACCESS_REMOTE_READ = 1u << 2;
inline constexpr std::uint32_t ZEK_ACCESS_REMOTE_WRITE = 1u << 3;

// A registration request. The first 24 bytes are the region description
// of the user form (a buffer of the caller's process); the rest is the
// kernel physical form's: with a page list the region is those physical
// pages and starts at Address (its offset in the first page is Address %
// PageSize).
struct ZekMrRegisterRequest {
  std::uint64_t Address;  // 0: the buffer, the region's first byte
  std::uint32_t Length;   // 8
  std::uint32_t Kept;     // 12: kept in the region's record
  std::uint32_t Access;   // 16: ZEK_ACCESS_* bits
  std::uint8_t Key;       // 20
  std::uint8_t Reserved21[3];
  const std::uint64_t* PageList;  // 24: physical page addresses, or null
  std::uint32_t PageCount;        // 32
  std::uint32_t PageSize;         // 36: 4096, 2 MB, or a multiple of 4096
};
static_assert(sizeof(ZekMrRegisterRequest) == 40);
static_assert(offsetof(ZekMrRegisterRequest, Key) == 20);
static_assert(offsetof(ZekMrRegisterRequest, PageList) == 24);

// A shared registration: a new STag for the pages of an existing region.
struct ZekMrSharedRequest {
  std::uint64_t Address;    // 0: the region's address as the new STag gives it (not zero-based)
  std::uint32_t ZeroBased;  // 8
  std::uint32_t Access;     // 12
  std::uint8_t Key;         // 16: the source region's key, which the request must repeat; also the new STag's
  std::uint8_t Reserved17[7];
};
static_assert(sizeof(ZekMrSharedRequest) == 24);

// Registration modes (where the buffer lives).
inline constexpr std::uint32_t ZEK_MR_USER_BUFFER = 0;
inline constexpr std::uint32_t ZEK_MR_KERNEL_BUFFER = 1;

// What zek_mr_query writes (32 bytes) and zek_mw_query (24 bytes).
struct ZekMrQueryInfo {
  std::uint64_t Pd;  // the PD handle
  std::uint32_t Access;
  std::uint32_t Valid;      // the adapter's answer: 1 when the STag is valid
  std::uint32_t NonShared;  // 1 unless the region is a share or has been shared
  std::uint8_t Key;         // the adapter's answer
  std::uint8_t Reserved21[3];
  std::uint64_t Address;  // the region's address (an allocated STag: its page-list entries)
};
static_assert(sizeof(ZekMrQueryInfo) == 32);
struct ZekMwQueryInfo {
  std::uint64_t Pd;
  std::uint32_t Access;
  std::uint32_t Valid;
  std::uint8_t Key;
  std::uint8_t Reserved17[7];
};
static_assert(sizeof(ZekMwQueryInfo) == 24);

// Limits of posting and registration.
// The largest message of a work request, and of inline data.
inline constexpr std::uint32_t ZEK_VERBS_MAX_MESSAGE = 0x7FC00000;
inline constexpr std::uint32_t ZEK_VERBS_MAX_INLINE = 64;
// An RDMA read names one local entry (the adapter's read request has room for one).
inline constexpr std::uint32_t ZEK_VERBS_MAX_READ_SGES = 1;
// STag indexes are 24 bits.
inline constexpr std::uint32_t ZEK_VERBS_MAX_STAG_INDEX = 0xFFFFFF;

// ---- The routine table -------------------------------------------------------------------------------------
using ZekVerbsAsyncHandler = void (*)(void* adapter, void* event);
using ZekVerbsCqHandler = void (*)(void* context, void* cq);

using ZekVerbAdapterAddrs = ZekStatus (*)(ZekVerbsAddress* entries, std::uint32_t* count, const char* address);
using ZekVerbOpen = ZekStatus (*)(void** adapter, const ZekVerbsAddress* address);
using ZekVerbClose = ZekStatus (*)(void* adapter);
using ZekVerbQuery = ZekStatus (*)(void* adapter, ZekAdapterAttributes* attributes);
using ZekVerbSetAsyncHandler = ZekStatus (*)(void* adapter, ZekVerbsAsyncHandler handler,
                                             ZekVerbsAsyncHandler* previous);
using ZekVerbSetContext = ZekStatus (*)(void* adapter, std::uint64_t object, std::uint32_t kind, void* value);
using ZekVerbGetContext = ZekStatus (*)(void* adapter, std::uint64_t object, std::uint32_t kind, void** value);
using ZekVerbPdAllocate = ZekStatus (*)(void* adapter, void** pd);
using ZekVerbPdDeallocate = ZekStatus (*)(void* adapter, void* pd);
using ZekVerbCqCreate = ZekStatus (*)(void* adapter, void** cq, std::uint32_t* entries, ZekVerbsCqHandler handler,
                                      void* handler_context, std::uint32_t requested);
using ZekVerbCqDestroy = ZekStatus (*)(void* adapter, void* cq);
using ZekVerbCqQuery = ZekStatus (*)(void* adapter, void* cq, ZekVerbsCqHandler* handler, std::uint32_t* entries);
using ZekVerbCqModify = ZekStatus (*)(void* adapter, void* cq, std::uint32_t* entries, std::uint32_t requested);
using ZekVerbCqPoll = ZekStatus (*)(void* adapter, void* cq, ZekWorkCompletion* completion);
using ZekVerbCqSetHandler = ZekStatus (*)(void* adapter, void* cq, ZekVerbsCqHandler handler, void* context);
using ZekVerbCqNotify = ZekStatus (*)(void* adapter, void* cq, std::uint32_t mode);
using ZekVerbQpCreate = ZekStatus (*)(void* adapter, const ZekQpCreateInput* input, ZekQpAttributes* output,
                                      std::uint64_t* qp);
using ZekVerbQpDestroy = ZekStatus (*)(void* adapter, std::uint64_t qp);
using ZekVerbQpQuery = ZekStatus (*)(void* adapter, std::uint64_t qp, ZekQpAttributes* info);
using ZekVerbQpModify = ZekStatus (*)(void* adapter, std::uint64_t qp, const ZekQpModifyInput* input,
                                      ZekQpModifyOutput* output);
using ZekVerbNotSupported = ZekStatus (*)();
using ZekVerbQpPostSq = ZekStatus (*)(void* adapter, std::uint64_t qp, const ZekSendWr* requests, std::uint32_t* posted,
                                      std::uint32_t count);
using ZekVerbQpPostRq = ZekStatus (*)(void* adapter, std::uint64_t qp, const ZekRecvWr* requests, void* unused,
                                      std::uint32_t* posted, std::uint32_t count);
using ZekVerbMrAllocStag = ZekStatus (*)(void* adapter, void* pd, std::uint32_t entries, std::uint32_t access,
                                         std::uint32_t* stag, std::uint32_t* page_list_size);
using ZekVerbMrRegister = ZekStatus (*)(void* adapter, void* pd, const ZekMrRegisterRequest* request,
                                        std::uint32_t* stag, std::uint64_t* address);
using ZekVerbMrReregister = ZekStatus (*)(void* adapter, void* pd, const ZekMrRegisterRequest* request,
                                          std::uint64_t* address, std::uint32_t* new_stag, std::uint32_t stag);
using ZekVerbMrRegisterShared = ZekStatus (*)(void* adapter, void* pd, const ZekMrSharedRequest* request,
                                              std::uint32_t* stag, std::uint32_t existing);
using ZekVerbMrQuery = ZekStatus (*)(void* adapter, ZekMrQueryInfo* info, std::uint32_t stag);
using ZekVerbMrDealloc = ZekStatus (*)(void* adapter, std::uint32_t stag);
using ZekVerbMwAlloc = ZekStatus (*)(void* adapter, void* pd, std::uint32_t* stag);
using ZekVerbMwQuery = ZekStatus (*)(void* adapter, ZekMwQueryInfo* info, std::uint32_t stag);

inline constexpr std::uint32_t ZEK_VERBS_TABLE_SLOTS = 40;
inline constexpr std::uint32_t ZEK_VERBS_TABLE_BYTES = 328;

// The slots, 0-based. A slot of an operation that is not in this build is
// null (a caller checks before it calls); the shared receive queue and the
// user forms of the physical registrations are not supported and answer 1.
struct ZekVerbsInterface {
  ZekInterfaceHeader Header;  // ZEK_SIG_INTERFACE_TABLE, ZEK_VERBS_TABLE_BYTES
  ZekVerbAdapterAddrs AdapterAddrs;
  ZekVerbOpen Open;
  ZekVerbClose Close;
  ZekVerbQuery Query;
  ZekVerbSetAsyncHandler SetAsyncHandler;
  ZekVerbSetContext SetContext;
  ZekVerbGetContext GetContext;
  ZekVerbPdAllocate PdAllocate;
  ZekVerbPdDeallocate PdDeallocate;
  ZekVerbCqCreate CqCreate;
  ZekVerbCqDestroy CqDestroy;
  ZekVerbCqQuery CqQuery;
  ZekVerbCqModify CqModify;
  ZekVerbCqPoll CqPollCompletion;
  ZekVerbCqSetHandler CqSetComplHandler;
  ZekVerbCqNotify CqRequestNotification;
  ZekVerbNotSupported SrqCreate, SrqDestroy, SrqQuery, SrqModify;  // 16-19
  void* IetfCreateRequest;                                         // 20-23: the MPA start-up frames
  void* IetfParseRequest;
  void* IetfCreateResponse;
  void* IetfParseResponse;
  ZekVerbQpCreate QpCreate;  // 24
  ZekVerbQpDestroy QpDestroy;
  ZekVerbQpQuery QpQuery;
  ZekVerbQpModify QpModify;  // 27
  // Posting, regions and windows. The registration slots take the table's
  // own buffers: the caller's process's in the user table, kernel memory in
  // the kernel table; the physical forms (32, 34) answer 1 in the user table.
  ZekVerbQpPostSq QpPostSq;                           // 28
  ZekVerbQpPostRq QpPostRq;                           // 29
  ZekVerbMrAllocStag MrAllocNonsharedStag;            // 30
  ZekVerbMrRegister MrRegisterNonshared;              // 31
  ZekVerbMrRegister MrRegisterNonsharedPhysical;      // 32
  ZekVerbMrReregister MrReregisterNonshared;          // 33
  ZekVerbMrReregister MrReregisterNonsharedPhysical;  // 34
  ZekVerbMrRegisterShared MrRegisterShared;           // 35
  ZekVerbMrQuery MrQuery;                             // 36
  ZekVerbMrDealloc MrDealloc;                         // 37
  ZekVerbMwAlloc MwAlloc;                             // 38
  ZekVerbMwQuery MwQuery;                             // 39
};
static_assert(sizeof(ZekVerbsInterface) == ZEK_VERBS_TABLE_BYTES);
static_assert(offsetof(ZekVerbsInterface, AdapterAddrs) == 8);
static_assert(offsetof(ZekVerbsInterface, CqCreate) == 8 + 9 * 8);
static_assert(offsetof(ZekVerbsInterface, SrqCreate) == 8 + 16 * 8);
static_assert(offsetof(ZekVerbsInterface, IetfCreateRequest) == 8 + 20 * 8);
static_assert(offsetof(ZekVerbsInterface, QpCreate) == 8 + 24 * 8);
static_assert(offsetof(ZekVerbsInterface, QpPostSq) == 8 + 28 * 8);
static_assert(offsetof(ZekVerbsInterface, MrAllocNonsharedStag) == 8 + 30 * 8);
static_assert(offsetof(ZekVerbsInterface, MwQuery) == 8 + 39 * 8);
