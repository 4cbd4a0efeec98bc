// Queue pairs and protection domains: the queue-pair object, its memory from
// the pools, its host context (NIC and iWARP forms), the control requests
// that create, modify, destroy, flush and upload it, LMI access to the
// adapter's memory, NIC posting, and the return of its memory.
//
// Control requests are posted on the device's CQP between its lock routines
// (control_qp.h). Create, modify, destroy, flush and upload queue when the ring has
// no slot; NIC create and LMI access fail with MIFH_STATUS_NO_WQE instead.
#pragma once

#include <cstdint>

#include "include/hw/nic.h"
#include "include/hw/qp_context.h"
#include "include/zek/mifh.h"

inline constexpr std::uint32_t MIFH_QP_SIGNATURE = 0x197F9B9B;
inline constexpr std::uint8_t MIFH_QP_TYPE_IWARP = 1;
inline constexpr std::uint8_t MIFH_QP_TYPE_NIC = 5;
inline constexpr std::uint32_t MIFH_MAX_PD_ID = 0x7FFF;
inline constexpr unsigned MIFH_NIC_MAX_FRAGMENTS = 5;

// Hardware-interface states of a queue pair.
enum : std::uint32_t {
  MIFH_QP_ALLOCATED = 1,
  MIFH_QP_BEING_CREATED = 6,
  MIFH_QP_CREATED = 7,
  MIFH_QP_UPLOAD_POSTED = 13,
  MIFH_QP_UPLOADED = 14,
};
// Flag bits (QpFlags).
enum : std::uint32_t {
  MIFH_QPF_DESTROY_POSTED = 1u << 0,
  MIFH_QPF_SQ_FLUSHED = 1u << 1,
  MIFH_QPF_RQ_FLUSHED = 1u << 2,
  MIFH_QPF_MODIFY3_SEEN = 1u << 3,
  MIFH_QPF_UPLOADED = 1u << 4,
  MIFH_QPF_QUARANTINED = 1u << 5,  // the adapter may still use its memory: never returned to the pools
  MIFH_QPF_OWN_RINGS = 1u << 6,    // its rings are pages of their own (mapped into a process), not the pools'
};
// Error flags of the data path (ErrorFlags).
inline constexpr std::uint8_t MIFH_QP_SQ_ERROR = 1u << 7;
inline constexpr std::uint8_t MIFH_QP_RQ_ERROR = 1u << 6;
// User flags: the user side must map the ring anew after a resize.
inline constexpr std::uint32_t MIFH_QP_REMAP_SQ = 1u << 1;
inline constexpr std::uint32_t MIFH_QP_REMAP_RQ = 1u << 2;

// The queue-pair object (from the queue-pair object pool, 2048-aligned, so
// that a completion tag's low 9 bits hold the ring index).
struct MifhQpObject {
  MifhDeviceObj* Device;
  std::uint32_t QpId;
  std::uint32_t Signature;  // MIFH_QP_SIGNATURE once initialised
  void* Sq;
  void* Rq;
  std::uint64_t SqPa;
  std::uint64_t RqPa;
  std::uint64_t HostContextPa;
  void* HostContext;  // 8 KB, page aligned
  std::uint32_t SqWqeCount;
  std::uint32_t RqWqeCount;
  std::uint32_t Word38;     // host-context word 38 (set with the connection)
  std::uint32_t HashIndex;  // connection-hash index (word 35)
  std::uint32_t LocalAddress;
  std::uint32_t RemoteAddress;
  std::uint16_t LocalPort;
  std::uint16_t RemotePort;
  std::uint8_t QpType;      // MIFH_QP_TYPE_*
  std::uint8_t EfbSize;     // 0, 1, 2 or 4
  std::uint8_t SwState;     // 1 idle, 6 error
  std::uint8_t Word6Byte;   // host-context word 6 without offload
  std::uint32_t HwState;    // MIFH_QP_*
  std::uint32_t QueueKind;  // 5 NIC, 1 iWARP
  std::uint32_t QpFlags;    // MIFH_QPF_*
  OSPrimSpinlockObject QpLock;
  OSPrimSpinlockObject SqLock;
  OSPrimSpinlockObject RqLock;
  OSPrimSpinlockObject Locks[3];  // the verbs' own
  void* UploadBuffer;
  MifhCqpCompletionContext* UploadContext;
  ZEK_OSPRIM_RING SqRing;
  ZEK_OSPRIM_RING RqRing;
  std::uint8_t ErrorFlags;     // MIFH_QP_SQ_ERROR, MIFH_QP_RQ_ERROR
  std::uint8_t TerminateSeen;  // a CQE carried bit 30
  std::uint8_t UserQp;         // rings the mapped doorbell page
  std::uint8_t Reserved0;
  std::uint32_t FailedSqIndex;
  std::uint32_t FailedRqIndex;
  std::uint32_t SignallingWord;      // non-zero: reads are signalled only when asked
  std::uint32_t UserFlags;           // MIFH_QP_REMAP_*
  std::uint64_t ReadBytes;           // running RDMA-read byte count (the read fence)
  volatile std::uint32_t* Doorbell;  // register 0x40 of the device, or the user's doorbell page
  std::uint32_t Reserved1[2];
};
static_assert(sizeof(MifhQpObject) <= MIFH_QP_OBJECT_BYTES);

// The NIC attributes of mifh_nic_qp_setcontext: {u16 0, u16 CQ id, u16 QP id,
// u8, u8, u8, u8 PCI function} for the driver's NIC QP; bytes 6..9 go to
// word 0 of the context.
struct MifhNicContextAttributes {
  std::uint8_t Byte0;  // from bit 18 (1 for the multicast receive queue)
  std::uint8_t Reserved1;
  std::uint16_t CqId;
  std::uint16_t QpId;
  std::uint8_t Byte6;        // bits 0-5
  std::uint8_t Byte7;        // bits 16-17
  std::uint8_t Byte8;        // bit 15
  std::uint8_t PciFunction;  // bits 12-14
};
static_assert(sizeof(MifhNicContextAttributes) == 10);
static_assert(offsetof(MifhNicContextAttributes, CqId) == 2);
static_assert(offsetof(MifhNicContextAttributes, QpId) == 4);
static_assert(offsetof(MifhNicContextAttributes, Byte6) == 6);
static_assert(offsetof(MifhNicContextAttributes, PciFunction) == 9);

// The iWARP context attributes of mifh_iwarp_qp_setcontext.
struct MifhIwarpContextAttributes {
  std::uint8_t Offload;  // 0: the offload form (TcpState names the exported TCP state)
  std::uint8_t Byte1;    // flag bit 23
  std::uint8_t Byte2;    // flag bits 24-27 (24-26 with offload)
  std::uint8_t Reserved3;
  std::uint8_t CqIdsValid;           // bytes 4-7 of the context carry the CQ ids
  std::uint8_t Byte5, Byte6, Byte7;  // flag bits 28, 29, 30
  std::uint8_t Byte8;                // word 40 bit 27
  std::uint8_t Byte9;                // word 40 bit 26
  std::uint8_t Byte10;               // flag bits 0-2
  std::uint8_t Reserved11;
  std::uint16_t SqCqId;
  std::uint16_t RqCqId;
  std::uint8_t Reserved16[6];
  std::uint8_t Byte22;  // word 6 bits 10-15 with offload
  std::uint8_t Reserved23[5];
  std::uint8_t Byte28;  // word 40 bits 0-15
  std::uint8_t Byte29;  // word 40 bits 16-24
  std::uint8_t Byte30;  // word 40 bits 28-29
  std::uint8_t Reserved31;
  std::uint32_t Word32;    // word 41
  std::uint32_t PdId;      // word 39: the protection domain the adapter checks STags against
  std::uint64_t Q2Pa;      // bytes 144-151
  std::uint8_t* TcpState;  // the exported TCP state (offload form)
};

// The iWARP create attributes (bytes 30..36 flags, words at 0, 8, 16, 20, 24, 28).
struct MifhIwarpCreateAttributes {
  std::uint64_t Value0;       // -> +32
  std::uint64_t Value8;       // -> +48 (0 when Value24 is non-zero)
  std::uint32_t Value16;      // -> +40; bit 9 with Value20
  std::uint32_t Value20;      // -> +56 (0 when Value24 is non-zero)
  std::uint32_t Value24;      // -> +44
  std::uint16_t Value28;      // -> +60 when Byte36
  std::uint8_t InitialState;  // byte 30 -> bits 28-30
  std::uint8_t Byte31;        // bit 11
  std::uint8_t Byte32;        // bit 10
  std::uint8_t Byte33;        // bit 15
  std::uint8_t Byte34;        // bits 21-27
  std::uint8_t Byte35;        // bit 8
  std::uint8_t Byte36;        // bit 20
  std::uint8_t Reserved[3];
};
static_assert(offsetof(MifhIwarpCreateAttributes, Value28) == 28);
static_assert(offsetof(MifhIwarpCreateAttributes, InitialState) == 30);
static_assert(offsetof(MifhIwarpCreateAttributes, Byte36) == 36);

// The modify attributes (56 bytes).
struct MifhIwarpModifyAttributes {
  std::uint64_t Value0;  // -> +32
  std::uint64_t Value8;  // -> +48 (0 when Value32 is non-zero)
  std::uint8_t Reserved16[8];
  std::uint32_t Value24;  // -> +40; bit 9 with Value28
  std::uint32_t Value28;  // -> +56 (0 when Value32 is non-zero)
  std::uint32_t Value32;  // -> +44
  std::uint8_t Reserved36[4];
  std::uint16_t Value40;   // -> +60 when Byte46
  std::uint8_t NextState;  // byte 42 (5 is sent as 6)
  std::uint8_t Byte43;     // bit 8
  std::uint8_t Byte44;     // bit 10
  std::uint8_t Byte45;     // bit 11
  std::uint8_t Byte46;     // bit 20
  std::uint8_t Byte47;     // bit 31
  std::uint8_t Byte48;     // bit 15
  std::uint8_t Byte49;     // bits 21-27
  std::uint8_t Reserved50[6];
};
static_assert(sizeof(MifhIwarpModifyAttributes) == 56);
static_assert(offsetof(MifhIwarpModifyAttributes, Value24) == 24);
static_assert(offsetof(MifhIwarpModifyAttributes, Value40) == 40);
static_assert(offsetof(MifhIwarpModifyAttributes, NextState) == 42);
static_assert(offsetof(MifhIwarpModifyAttributes, Byte49) == 49);

// One element of a kernel scatter/gather list.
struct MifhSglElement {
  std::uint64_t Address;
  std::uint32_t Length;
  std::uint32_t Reserved;
};
static_assert(sizeof(MifhSglElement) == 16);

// The NIC send request of mifh_nic_qp_post_sq (96 bytes). Word 0 of the work
// request = Flags28 | Flags80 | Flag22 << 22 | VlanTagPresent << 23 |
// NoChecksum << 30 | VlanInsert << 31 (the flag bytes as the NIC send
// request's word 0 describes them: word 3 carries the VLAN tag, no checksum
// offload, insert the tag); word 1 = TotalLength. The two flag words and bit
// 22 have no described meaning: they pass into word 0 as they are.
struct MifhNicSendRequest {
  const MifhSglElement* Fragments;
  std::uint32_t FragmentCount;
  std::uint32_t Reserved12;
  std::uint64_t Reserved16;
  std::uint32_t TotalLength;
  std::uint32_t Flags28;        // ORed into word 0
  std::uint16_t VlanTag;        // into word 3 when VlanTagPresent is set
  std::uint8_t Flag22;          // bit 22
  std::uint8_t VlanTagPresent;  // bit 23 (bits 23-29 take the byte): word 3 carries VlanTag
  std::uint8_t NoChecksum;      // bit 30: no checksum offload
  std::uint8_t VlanInsert;      // bit 31: the adapter inserts the tag
  std::uint8_t Reserved38[42];
  std::uint32_t Flags80;  // ORed into word 0
  std::uint8_t Reserved84[12];
};
static_assert(sizeof(MifhNicSendRequest) == 96);
static_assert(offsetof(MifhNicSendRequest, Fragments) == 0);
static_assert(offsetof(MifhNicSendRequest, FragmentCount) == 8);
static_assert(offsetof(MifhNicSendRequest, TotalLength) == 24);
static_assert(offsetof(MifhNicSendRequest, Flags28) == 28);
static_assert(offsetof(MifhNicSendRequest, VlanTag) == 32);
static_assert(offsetof(MifhNicSendRequest, Flag22) == 34);
static_assert(offsetof(MifhNicSendRequest, VlanTagPresent) == 35);
static_assert(offsetof(MifhNicSendRequest, NoChecksum) == 36);
static_assert(offsetof(MifhNicSendRequest, VlanInsert) == 37);
static_assert(offsetof(MifhNicSendRequest, Flags80) == 80);

// Protection domains: MIFH_STATUS_SUCCESS; MIFH_STATUS_INVALID_PD for an id
// above MIFH_MAX_PD_ID.
ZekStatus mifh_pd_init(void* adapter, MifhPdObject* pd, std::uint32_t pd_id);

// Queue-pair memory: MIFH_STATUS_SUCCESS; MIFH_STATUS_EFB for an EFB count
// the queue pair does not take; MIFH_STATUS_INVALID_WQE_COUNT for an iWARP
// ring size other than 4, 32, 128, 512; MIFH_STATUS_NO_OBJECT or
// MIFH_STATUS_NO_MEMORY when a pool is empty.
ZekStatus mifh_nic_qp_allocate(MifhQpObject** qp, MifhDeviceObj* device, void** sq, void** rq, void** host_context,
                               std::uint32_t sq_wqes, std::uint32_t rq_wqes, std::uint32_t efb_count);
ZekStatus mifh_iwarp_qp_allocate(MifhQpObject** qp, MifhDeviceObj* device, void** sq, void** rq, void** host_context,
                                 std::uint32_t sq_wqes, std::uint32_t rq_wqes, std::uint32_t efb_count);
// A TOE queue pair (toe_post.h): rings from the TOE queue pools, both
// starting at 0; its memory goes back with mifh_free_toe_sq.
ZekStatus mifh_toe_qp_allocate(MifhQpObject** qp, MifhDeviceObj* device, std::uint32_t sq_wqes, std::uint32_t rq_wqes);
void mifh_free_nic_sq(MifhQpObject* qp);
void mifh_free_toe_sq(MifhQpObject* qp);
void mifh_free_iwarp_virtual_sq(MifhQpObject* qp);

// Host contexts: MIFH_STATUS_SUCCESS, or MIFH_STATUS_INVALID_WQE_COUNT for
// a bad SQ, RQ or EFB size.
ZekStatus mifh_nic_qp_setcontext(MifhQpObject* qp, const MifhNicContextAttributes* attributes);
ZekStatus mifh_iwarp_qp_setcontext(MifhQpObject* qp, const MifhIwarpContextAttributes* attributes);

// Control requests: MIFH_STATUS_SUCCESS when on the ring or queued;
// MIFH_STATUS_INVALID_ID for a QP id out of range (NIC 16-39, iWARP
// 40-262143); MIFH_STATUS_FAIL for a null object, a QP lock that cannot be
// taken or a second destroy; otherwise what the post answers (control_qp.h).
ZekStatus mifh_nic_qp_create(MifhQpObject* qp, void* unused, MifhCqpCompletionContext* context);
ZekStatus mifh_iwarp_qp_create(MifhQpObject* qp, const MifhIwarpCreateAttributes* attributes, std::uint32_t qp_id,
                               MifhCqpCompletionContext* context);
ZekStatus mifh_iwarp_qp_modify(MifhQpObject* qp, const MifhIwarpModifyAttributes* attributes,
                               MifhCqpCompletionContext* context);
ZekStatus mifh_iwarp_qp_destroy_1(MifhQpObject* qp, MifhCqpCompletionContext* context, std::uint32_t option);
ZekStatus mifh_iwarp_qp_flush_wqes(MifhQpObject* qp, bool flush_sq, bool flush_rq, MifhCqpCompletionContext* context);
ZekStatus mifh_qp_upload_context(MifhQpObject* qp);
ZekStatus mifh_qp_upload_context1(MifhCqpObject* cqp, MifhCqpCompletionContext* context, std::uint64_t buffer_pa,
                                  std::uint32_t qp_id, std::uint32_t option);
ZekStatus mifh_LMI_access(MifhCqpObject* cqp, std::uint64_t buffer_pa, MifhCqpCompletionContext* context,
                          std::uint32_t address, std::uint32_t length, std::uint32_t kind, std::uint32_t option);

// NIC posting. post_sq: MIFH_STATUS_SUCCESS; MIFH_STATUS_INVALID_COUNT for
// more than 5 fragments (nothing written); MIFH_STATUS_NO_WQE when the ring
// is full. The whole 64-byte request is written, zeroed first, and the
// doorbell rung for one. post_rq: the caller has written the requests at
// the head; MIFH_STATUS_SUCCESS when all `count` were posted, else
// MIFH_STATUS_NO_WQE (with *posted).
ZekStatus mifh_nic_qp_post_sq(MifhQpObject* qp, const MifhNicSendRequest* request);
ZekStatus mifh_nic_qp_post_rq(MifhQpObject* qp, std::uint32_t count, std::uint32_t* posted);

// Software state: MIFH_STATUS_SUCCESS, or MIFH_STATUS_FAIL when the QP lock
// cannot be taken.
ZekStatus mifh_update_sw_qp_state_to_idle(MifhQpObject* qp);
ZekStatus mifh_update_sw_qp_state_to_error(MifhQpObject* qp);
ZekStatus mifh_iwarp_qp_modify_to_error(MifhQpObject* qp);
