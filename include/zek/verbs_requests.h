// The iWARP verbs control requests: the records a user verbs client sends on
// the control device (0x12D080-0x12D2A0 and the six user-access codes), one
// buffer for input and output each. Offsets are bytes from the record's
// start; integers little-endian; pointers are addresses in the calling
// process; handles are what an earlier request returned (adapter, PD and CQ
// handles are object addresses, a queue-pair handle is the queue pair's id).
//
// Decisions where the description leaves room or would be unsafe (the host
// trusts no process):
//   - Every adapter handle must be a user open of the calling process (a
//     kernel client's open, another process's, a closed or forged one
//     answers IWARP_STATUS_A_INVALID_RNIC_HANDLE); PD, CQ and QP handles are
//     then looked up on that adapter's own lists and table, so a handle of
//     another process, a freed handle or a forged pointer answers its
//     INVALID status. Nothing is read through a handle before it is found.
//   - Every user pointer is probed and mapped for exactly the length its
//     record gives; a pointer that cannot be mapped fails the request
//     (STATUS_NOT_SUPPORTED) with nothing written back.
//   - Counts are bounded before they are multiplied: at most
//     ZEK_VREQ_MAX_ADDRESSES addresses, a second address buffer of at most
//     ZEK_VREQ_MAX_ADDRESS_TEXT bytes.
//   - The user completion handler of a CQ is a user address: it is never
//     handed to the kernel verbs as a routine. A CQ with a user handler gets
//     ZPX_CQCallbackFunc as its callback, and its identifier in the adapter's
//     notification ring is its CQ handle (the value the client knows it by).
//   - Opening an adapter attaches a clean-up context to the handle the
//     request came on (as IOCTL_ZEK_ALLOC_CLEANUP_CONTEXT does), so the
//     process's verbs objects are released when that handle is closed or
//     the process ends, never left behind; an open that cannot have one is
//     refused (status 4).
//   - The user-access forms map into the process exactly the memory of the
//     object: each ring (CQ ring, send and receive queue) of a user-access
//     object is a page-aligned allocation of its own, mapped whole; the QP
//     and CQ pages are one zeroed page each; the PD's doorbell page is its
//     domain's page of the adapter's doorbell window. A mapping record is
//     never overwritten: a second mapping into the same record is refused.
//   - Any failure after a user-access object was made destroys it again and
//     undoes every mapping made for it: nothing is left behind.
//   - A destroy goes to the verb first; the object's mappings and pages go
//     with the object (its release), so a destroy the verb refuses leaves the
//     object whole and usable. A user-access queue pair's pages thus stay
//     while the queue pair lives (also when the verb reported an error).
//   - Mappings are undone in the process they were made for; an object
//     released from another context (a detach, the driver's stop) leaves the
//     view to that process's end, and the memory behind it is not reused
//     while the process still maps it.
//   - The send queue's first request slot keeps the driver's own tag (the
//     queue-pair object): completions the driver reads name only objects it
//     checks (the poll takes a queue pair from a completion's tag only when
//     it is a live queue-pair object of the CQ's device).
//   - The STag 0 access request (a non-zero u32 at +48 of the creation
//     attributes) is refused to every caller of these requests (status 1 in
//     the record; the request fails).
//   - The shared-receive-queue codes answer status 1 after mapping their
//     optional buffers; 0x12D2C0 is not served (STATUS_NOT_SUPPORTED).
//   - The duplicate-object codes (DUP_CQ, DUP_QP, DUP_PD: another process
//     taking a user-mapped object over) are not served
//     (STATUS_NOT_SUPPORTED): every object is its opening process's only,
//     and the host cannot tell a process a socket was duplicated to from
//     any other.
//   - Posting (QP_POST_SQ, QP_POST_RQ) converts every request of the array,
//     not only the first: each request and its scatter-gather list are
//     copied from the caller once (at most ZEK_VERBS_MAX_SGES entries, the
//     count checked before the list is read) and the verb sees only the
//     copies. At most ZEK_VREQ_MAX_POST requests per call (more fails the
//     request). A request the conversion refuses (too many entries, a list
//     not in the caller's memory) ends the batch as the verb's own refusals
//     do: the requests before it are posted and counted, its status is the
//     record's. A fast registration's physical page list is a kernel
//     client's only: from these requests the pointer is never followed.
//     A user-access queue pair is posted to through its own mapped rings:
//     these requests refuse it (IWARP_STATUS_QP_INVALID_HANDLE).
//   - A required output pointer (MR_ALLOC_NONSHARED_STAG's STag) of 0 is
//     refused before the verb runs (ZEK_STATUS_BAD_PTR), so no STag is made
//     that the caller cannot name.
//   - Registrations from these requests are of the caller's own buffers
//     (pinned through its locked memory for the region's life); physical
//     page lists and kernel buffers are refused by the verbs.
//   - The STag of MR_REREGISTER_NON_SHARED and MR_DEALLOC must name a region
//     or window of the caller's adapter (request refused otherwise); the
//     two values answered are the record's address and length.
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/zek/verbs.h"

inline constexpr std::uint32_t ZEK_VREQ_MAX_ADDRESSES = 256;
inline constexpr std::uint32_t ZEK_VREQ_MAX_ADDRESS_TEXT = 64;
// The QP and CQ pages.
inline constexpr std::uint32_t ZEK_VREQ_PAGE_BYTES = 4096;
// Bytes of the user pointers' targets.
inline constexpr std::uint32_t ZEK_VREQ_QP_CREATE_BYTES = 88;
inline constexpr std::uint32_t ZEK_VREQ_QP_ATTRIBUTES_BYTES = 168;
inline constexpr std::uint32_t ZEK_VREQ_COMPLETION_BYTES = 40;
inline constexpr std::uint32_t ZEK_VREQ_SRQ_BUFFER_BYTES = 24;
// Offset of the STag 0 access request in the creation attributes.
inline constexpr std::uint32_t ZEK_VREQ_STAG0_OFFSET = 48;

// IOCTL_ZEK_IWARP_OPEN (40).
struct ZekVreqOpen {
  std::uint64_t Adapter;      // out
  std::uint8_t Selector[8];   // in: the first 8 bytes of the SAN address (length, family, port, IPv4)
  std::uint8_t Untouched[8];  //
  std::uint64_t ClientValue;  // in
  std::uint32_t Status;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekVreqOpen, Selector) == 8);
static_assert(offsetof(ZekVreqOpen, ClientValue) == 24);
static_assert(offsetof(ZekVreqOpen, Status) == 32);
static_assert(sizeof(ZekVreqOpen) == 40);

// IOCTL_ZEK_IWARP_CLOSE, IOCTL_IWARP_TERMINATE_CQ_POLL_THREAD (16).
struct ZekVreqAdapter {
  std::uint64_t Adapter;
  std::uint32_t Status;
  std::uint32_t Kept;
};
static_assert(sizeof(ZekVreqAdapter) == 16);

// IOCTL_ZEK_IWARP_QUERY (312).
struct ZekVreqQuery {
  std::uint64_t Adapter;
  ZekAdapterAttributes Attributes;  // out
  std::uint32_t Status;
};
static_assert(offsetof(ZekVreqQuery, Attributes) == 8);
static_assert(offsetof(ZekVreqQuery, Status) == 308);
static_assert(sizeof(ZekVreqQuery) == 312);

// IOCTL_ZEK_IWARP_SET_ASYNC_HANDLER (32).
struct ZekVreqSetAsyncHandler {
  std::uint64_t Adapter;
  std::uint64_t Handler;   // in: a user address, only handed back
  std::uint64_t Previous;  // out
  std::uint32_t Status;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekVreqSetAsyncHandler, Status) == 24);
static_assert(sizeof(ZekVreqSetAsyncHandler) == 32);

// IOCTL_ZEK_IWARP_PD_ALLOCATE (32).
struct ZekVreqPdAllocate {
  std::uint64_t Adapter;
  std::uint64_t Pd;  // out
  std::uint64_t ClientValue;
  std::uint32_t Status;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekVreqPdAllocate, Status) == 24);
static_assert(sizeof(ZekVreqPdAllocate) == 32);

// PD_DEALLOCATE, CQ_DESTROY, QP_DESTROY, QP_FLUSH_RQ and the three
// user-access destroys (24).
struct ZekVreqObject {
  std::uint64_t Adapter;
  std::uint64_t Object;
  std::uint32_t Status;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekVreqObject, Status) == 16);
static_assert(sizeof(ZekVreqObject) == 24);

// IOCTL_ZEK_IWARP_CQ_CREATE (72).
struct ZekVreqCqCreate {
  std::uint64_t Adapter;
  std::uint64_t Cq;  // out
  std::uint64_t ClientValue;
  std::uint32_t Size;  // out: the entries granted
  std::uint32_t Reserved28;
  std::uint64_t Handler;  // a user address (0: no notification)
  std::uint64_t HandlerContext;
  std::uint32_t Requested;  // the entries asked for (the verb's requested count)
  std::uint8_t Untouched[12];
  std::uint32_t Status;
  std::uint32_t Reserved68;
};
static_assert(offsetof(ZekVreqCqCreate, Size) == 24);
static_assert(offsetof(ZekVreqCqCreate, Handler) == 32);
static_assert(offsetof(ZekVreqCqCreate, Requested) == 48);
static_assert(offsetof(ZekVreqCqCreate, Status) == 64);
static_assert(sizeof(ZekVreqCqCreate) == 72);

// IOCTL_ZEK_IWARP_CQ_QUERY (32).
struct ZekVreqCqQuery {
  std::uint64_t Adapter;
  std::uint64_t Cq;
  std::uint64_t Handler;  // out: the user completion-handler address
  std::uint32_t Entries;  // out
  std::uint32_t Status;
};
static_assert(offsetof(ZekVreqCqQuery, Entries) == 24);
static_assert(offsetof(ZekVreqCqQuery, Status) == 28);
static_assert(sizeof(ZekVreqCqQuery) == 32);

// IOCTL_ZEK_IWARP_CQ_MODIFY (32).
struct ZekVreqCqModify {
  std::uint64_t Adapter;
  std::uint64_t Cq;
  std::uint32_t Size;  // out
  std::uint32_t Requested;
  std::uint32_t Status;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekVreqCqModify, Requested) == 20);
static_assert(offsetof(ZekVreqCqModify, Status) == 24);
static_assert(sizeof(ZekVreqCqModify) == 32);

// IOCTL_ZEK_IWARP_CQ_POLL_COMPLETION (32).
struct ZekVreqCqPoll {
  std::uint64_t Adapter;
  std::uint64_t Cq;
  std::uint64_t Completion;  // user pointer to 40 bytes, or 0
  std::uint32_t Status;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekVreqCqPoll, Status) == 24);
static_assert(sizeof(ZekVreqCqPoll) == 32);

// IOCTL_ZEK_IWARP_SET_COMPL_HANDLER (40).
struct ZekVreqSetComplHandler {
  std::uint64_t Adapter;
  std::uint64_t Cq;
  std::uint64_t Handler;  // a user address (0: no notification)
  std::uint64_t HandlerContext;
  std::uint32_t Status;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekVreqSetComplHandler, Status) == 32);
static_assert(sizeof(ZekVreqSetComplHandler) == 40);

// IOCTL_ZEK_IWARP_CQ_REQUEST_NOTIFICATION (24).
struct ZekVreqCqNotify {
  std::uint64_t Adapter;
  std::uint64_t Cq;
  std::uint32_t Type;
  std::uint32_t Status;
};
static_assert(offsetof(ZekVreqCqNotify, Status) == 20);
static_assert(sizeof(ZekVreqCqNotify) == 24);

// IOCTL_ZEK_IWARP_QP_CREATE (48).
struct ZekVreqQpCreate {
  std::uint64_t Adapter;
  std::uint64_t CreateAttributes;  // user pointer, 88 bytes (ZekQpCreateInput)
  std::uint64_t Attributes;        // user pointer, 168 bytes (ZekQpAttributes), out
  std::uint64_t HandleOut;         // user pointer, 8 bytes, out
  std::uint64_t ClientValue;
  std::uint32_t Status;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekVreqQpCreate, ClientValue) == 32);
static_assert(offsetof(ZekVreqQpCreate, Status) == 40);
static_assert(sizeof(ZekVreqQpCreate) == 48);

// IOCTL_ZEK_IWARP_QP_QUERY (32).
struct ZekVreqQpQuery {
  std::uint64_t Adapter;
  std::uint64_t Qp;
  std::uint64_t Attributes;  // user pointer, 168 bytes, out
  std::uint32_t Status;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekVreqQpQuery, Status) == 24);
static_assert(sizeof(ZekVreqQpQuery) == 32);

// IOCTL_ZEK_IWARP_QP_MODIFY (128). The last streaming message (Input.Message,
// a user pointer, Input.MessageLength bytes, at most ZEK_VREQ_MAX_STREAM_MESSAGE)
// is mapped whenever one is given; the socket of a hand-over must be the
// caller's own. A user-access queue pair's rings are mapped into its process
// for its life: a modify that would resize one is refused (status 1, the
// queue pair and its mappings unchanged), so no remap can fail half-way and
// the resize flags stay 0.
inline constexpr std::uint32_t ZEK_VREQ_MAX_STREAM_MESSAGE = 65536;
struct ZekVreqQpModify {
  std::uint64_t Adapter;
  std::uint64_t Qp;
  ZekQpModifyInput Input;    // 16
  ZekQpModifyOutput Output;  // 96: out on success
  std::uint32_t RqResized;   // 112: out
  std::uint32_t SqResized;   // 116: out
  std::uint32_t Status;      // 120
  std::uint32_t Kept;        // 124
};
static_assert(offsetof(ZekVreqQpModify, Input) == 16);
static_assert(offsetof(ZekVreqQpModify, Output) == 96);
static_assert(offsetof(ZekVreqQpModify, RqResized) == 112);
static_assert(offsetof(ZekVreqQpModify, Status) == 120);
static_assert(sizeof(ZekVreqQpModify) == 128);

// IOCTL_ZEK_IWARP_IS_QP_RQ_EMPTY (24).
struct ZekVreqRqEmpty {
  std::uint64_t Adapter;
  std::uint64_t Qp;
  std::uint8_t Empty;  // out: 1 when the receive queue is empty
  std::uint8_t Kept[3];
  std::uint32_t Status;
};
static_assert(offsetof(ZekVreqRqEmpty, Status) == 20);
static_assert(sizeof(ZekVreqRqEmpty) == 24);

// IOCTL_ZEK_IWARP_ADAPTER_ADDRS (32).
struct ZekVreqAdapterAddrs {
  std::uint64_t Addresses;  // user pointer to Count x 16 bytes
  std::uint32_t Count;      // in: capacity (1-256); out: the count
  std::uint32_t Reserved12;
  std::uint64_t AddressText;  // optional user pointer: the address wanted, as text
  std::uint32_t AddressTextLength;
  std::uint32_t Status;
};
static_assert(offsetof(ZekVreqAdapterAddrs, AddressText) == 16);
static_assert(offsetof(ZekVreqAdapterAddrs, Status) == 28);
static_assert(sizeof(ZekVreqAdapterAddrs) == 32);

// The shared-receive-queue codes: only the status offset and the optional
// buffers matter (status always 1).
inline constexpr std::uint32_t ZEK_VREQ_SRQ_CREATE_STATUS = 56;
inline constexpr std::uint32_t ZEK_VREQ_SRQ_DESTROY_STATUS = 16;
inline constexpr std::uint32_t ZEK_VREQ_SRQ_QUERY_STATUS = 24;
inline constexpr std::uint32_t ZEK_VREQ_SRQ_MODIFY_STATUS = 32;

// IOCTL_ZEK_IWARP_PD_ALLOCATE_W_USER_ACCESS (48).
struct ZekVreqPdAllocateUser {
  std::uint64_t Adapter;
  std::uint64_t ClientValue;
  std::uint64_t Pd;        // out
  std::uint32_t PdNumber;  // out
  std::uint32_t Reserved28;
  std::uint64_t Doorbell;  // out: the doorbell page's address in the process
  std::uint32_t Status;
  std::uint32_t Reserved44;
};
static_assert(offsetof(ZekVreqPdAllocateUser, PdNumber) == 24);
static_assert(offsetof(ZekVreqPdAllocateUser, Doorbell) == 32);
static_assert(offsetof(ZekVreqPdAllocateUser, Status) == 40);
static_assert(sizeof(ZekVreqPdAllocateUser) == 48);

// IOCTL_ZEK_IWARP_QP_CREATE_W_USER_ACCESS (320).
struct ZekVreqQpCreateUser {
  std::uint64_t Adapter;
  ZekQpCreateInput Create;     // 8
  ZekQpAttributes Attributes;  // 96: out
  std::uint64_t Qp;            // 264: out
  std::uint64_t Page;          // 272: in the client value, out the QP page's address
  std::uint64_t SqRing;        // 280: out
  std::uint64_t RqRing;        // 288: out
  std::uint32_t SqSize;        // 296: out: ring slots
  std::uint32_t RqSize;        // 300: out
  std::uint8_t SqTail;         // 304: out: the send queue's tail area (32-byte units)
  std::uint8_t Reserved305[3];
  std::uint32_t QpId;    // 308: out
  std::uint32_t Word2;   // 312: in, kept
  std::uint32_t Status;  // 316
};
static_assert(offsetof(ZekVreqQpCreateUser, Create) == 8);
static_assert(offsetof(ZekVreqQpCreateUser, Attributes) == 96);
static_assert(offsetof(ZekVreqQpCreateUser, Qp) == 264);
static_assert(offsetof(ZekVreqQpCreateUser, Page) == 272);
static_assert(offsetof(ZekVreqQpCreateUser, SqRing) == 280);
static_assert(offsetof(ZekVreqQpCreateUser, SqSize) == 296);
static_assert(offsetof(ZekVreqQpCreateUser, SqTail) == 304);
static_assert(offsetof(ZekVreqQpCreateUser, QpId) == 308);
static_assert(offsetof(ZekVreqQpCreateUser, Status) == 316);
static_assert(sizeof(ZekVreqQpCreateUser) == 320);

// IOCTL_ZEK_IWARP_CQ_CREATE_W_USER_ACCESS (80).
struct ZekVreqCqCreateUser {
  std::uint64_t Adapter;
  std::uint64_t Page;  // in: the client's completion context; out: the CQ page's address
  std::uint64_t Cq;    // out
  std::uint32_t Requested;
  std::uint32_t Size;     // out: entries granted
  std::uint64_t Handler;  // a user address (0: no notification)
  std::uint64_t HandlerContext;
  std::uint32_t CqId;  // out
  std::uint32_t Mode;  // the verb's mode word
  std::uint64_t Ring;  // out: the CQ ring's address
  std::uint8_t Untouched[8];
  std::uint32_t RingSlots;  // out: the ring's slots (entries + 1)
  std::uint32_t Status;
};
static_assert(offsetof(ZekVreqCqCreateUser, Requested) == 24);
static_assert(offsetof(ZekVreqCqCreateUser, Size) == 28);
static_assert(offsetof(ZekVreqCqCreateUser, CqId) == 48);
static_assert(offsetof(ZekVreqCqCreateUser, Mode) == 52);
static_assert(offsetof(ZekVreqCqCreateUser, Ring) == 56);
static_assert(offsetof(ZekVreqCqCreateUser, RingSlots) == 72);
static_assert(offsetof(ZekVreqCqCreateUser, Status) == 76);
static_assert(sizeof(ZekVreqCqCreateUser) == 80);

// IOCTL_ZEK_IWARP_NDI_ASYNC_MR_NONSHARED (ZekNdAsyncMrRecord,
// include/zek/ioctl.h): registers a buffer of the caller's own (Address,
// Value1 bytes; its access word's bits 0-3 are the region's rights, the rest
// ignored; Flag is the STag's key) on the caller's own adapter (Handle1) and
// PD (Handle2). The registration is carried out while the request is served:
// the request completes at once with the STag in Result (64 bytes), or fails
// (STATUS_UNSUCCESSFUL) with nothing made. A registration context of 0 is
// refused.
// IOCTL_ZEK_IWARP_NDI_ASYNC_MR_DEALLOC (ZekNdAsyncDeallocRecord, no output):
// deallocates a region of the caller's own adapter and completes at once;
// an STag the adapter has no region for fails the request.
inline constexpr std::uint32_t ZEK_VREQ_ND_ACCESS_MASK = 0xF;

// IOCTL_ZEK_IWARP_NDI_NOTIFY_DISCONNECT (ZekNdNotifyDisconnectRecord,
// include/zek/ioctl.h): waits (pended) until the queue pair's connection ends
// (completed with success) or the queue pair is destroyed (cancelled); the
// adapter must be the caller's own open and the queue pair one of its queue
// pairs, else STATUS_INVALID_HANDLE at once. The connection ends with the
// adapter's events that take the queue pair out of RTS or report the
// connection gone (the peer's FIN, reset or time-out, the end of a close the
// host asked for, a fault or termination that moves it to error), and with a
// modify of the process's own that moves a running connection to ERROR or
// TERMINATE (the adapter resets it and reports nothing). Every notification
// waiting on the queue pair completes; one asked for after the end completes
// at once.

// The QP page (one zeroed page a user-access queue pair has in the process).
inline constexpr std::uint32_t ZEK_QP_PAGE_SQ_RING = 24;
inline constexpr std::uint32_t ZEK_QP_PAGE_RQ_RING = 32;
inline constexpr std::uint32_t ZEK_QP_PAGE_SQ_BASE = 48;
inline constexpr std::uint32_t ZEK_QP_PAGE_SQ_ENTRIES = 64;
inline constexpr std::uint32_t ZEK_QP_PAGE_RQ_BASE = 72;
inline constexpr std::uint32_t ZEK_QP_PAGE_RQ_ENTRIES = 88;

// ---- Posting ----------------------------------------------------------------------------------------------
inline constexpr std::uint32_t ZEK_VREQ_MAX_POST = 16384;
inline constexpr std::uint32_t ZEK_VREQ_SEND_WR_BYTES = 72;
inline constexpr std::uint32_t ZEK_VREQ_RECV_WR_BYTES = 24;
inline constexpr std::uint32_t ZEK_VREQ_SGE_BYTES = 16;

// IOCTL_ZEK_IWARP_QP_POST_SQ (40).
struct ZekVreqPostSq {
  std::uint64_t Adapter;
  std::uint64_t Qp;
  std::uint64_t Requests;  // user pointer to Count x 72 bytes (ZekSendWr); 0 refused
  std::uint64_t Posted;    // optional user pointer to a u32: the requests posted
  std::uint32_t Count;
  std::uint32_t Status;
};
static_assert(offsetof(ZekVreqPostSq, Posted) == 24);
static_assert(offsetof(ZekVreqPostSq, Count) == 32);
static_assert(offsetof(ZekVreqPostSq, Status) == 36);
static_assert(sizeof(ZekVreqPostSq) == 40);

// IOCTL_ZEK_IWARP_QP_POST_RQ (48).
struct ZekVreqPostRq {
  std::uint64_t Adapter;
  std::uint64_t Qp;
  std::uint64_t Requests;  // user pointer to Count x 24 bytes (ZekRecvWr); 0 refused
  std::uint64_t Unused;    // the verb's fourth argument (not used)
  std::uint64_t Posted;    // optional user pointer to a u32
  std::uint32_t Count;
  std::uint32_t Status;
};
static_assert(offsetof(ZekVreqPostRq, Posted) == 32);
static_assert(offsetof(ZekVreqPostRq, Count) == 40);
static_assert(offsetof(ZekVreqPostRq, Status) == 44);
static_assert(sizeof(ZekVreqPostRq) == 48);

// ---- Memory regions and windows ------------------------------------------------------------------------
// The region description of the register requests: the first 24 bytes of a
// ZekMrRegisterRequest (a buffer of the caller's).
struct ZekVreqRegion {
  std::uint64_t Address;
  std::uint32_t Length;
  std::uint32_t Kept;
  std::uint32_t Access;  // ZEK_ACCESS_* bits
  std::uint8_t Key;
  std::uint8_t Reserved[3];
};
static_assert(sizeof(ZekVreqRegion) == 24);

// IOCTL_ZEK_IWARP_MR_ALLOC_NONSHARED_STAG (48).
struct ZekVreqMrAllocStag {
  std::uint64_t Adapter;
  std::uint64_t Pd;
  std::uint32_t Entries;  // the page-list room
  std::uint32_t Access;
  std::uint64_t Stag;          // user pointer to a u32 (out), required
  std::uint64_t PageListSize;  // optional user pointer to a u32 (out)
  std::uint32_t Status;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekVreqMrAllocStag, Stag) == 24);
static_assert(offsetof(ZekVreqMrAllocStag, Status) == 40);
static_assert(sizeof(ZekVreqMrAllocStag) == 48);

// IOCTL_ZEK_IWARP_MR_REGISTER_NON_SHARED (56).
struct ZekVreqMrRegister {
  std::uint64_t Adapter;
  std::uint64_t Pd;
  ZekVreqRegion Region;
  std::uint32_t Stag;       // 40: out
  std::uint32_t Written44;  // 44: out, 0
  std::uint32_t Status;     // 48
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekVreqMrRegister, Region) == 16);
static_assert(offsetof(ZekVreqMrRegister, Stag) == 40);
static_assert(offsetof(ZekVreqMrRegister, Status) == 48);
static_assert(sizeof(ZekVreqMrRegister) == 56);

// IOCTL_ZEK_IWARP_MR_REREGISTER_NON_SHARED (72).
struct ZekVreqMrReregister {
  std::uint64_t Adapter;
  std::uint64_t Pd;
  ZekVreqRegion Region;
  std::uint32_t NewStag;     // 40: out
  std::uint32_t Written44;   // 44: out, 0
  std::uint32_t Stag;        // 48: in
  std::uint32_t Reserved52;  //
  std::uint64_t OldAddress;  // 56: out: the record's address before the call
  std::uint32_t OldLength;   // 64: out: its length
  std::uint32_t Status;      // 68
};
static_assert(offsetof(ZekVreqMrReregister, Stag) == 48);
static_assert(offsetof(ZekVreqMrReregister, OldAddress) == 56);
static_assert(offsetof(ZekVreqMrReregister, Status) == 68);
static_assert(sizeof(ZekVreqMrReregister) == 72);

// IOCTL_ZEK_IWARP_MR_REGISTER_SHARED (56).
struct ZekVreqMrShared {
  std::uint64_t Adapter;
  std::uint64_t Pd;
  ZekMrSharedRequest Request;  // 16
  std::uint32_t Stag;          // 40: out, the new STag
  std::uint32_t Existing;      // 44: in, the region shared
  std::uint32_t Status;        // 48
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekVreqMrShared, Stag) == 40);
static_assert(offsetof(ZekVreqMrShared, Status) == 48);
static_assert(sizeof(ZekVreqMrShared) == 56);

// IOCTL_ZEK_IWARP_MR_QUERY and IOCTL_ZEK_IWARP_MW_QUERY (24).
struct ZekVreqStagQuery {
  std::uint64_t Adapter;
  std::uint64_t Info;  // user pointer: 32 bytes (ZekMrQueryInfo) or 24 (ZekMwQueryInfo), out
  std::uint32_t Stag;
  std::uint32_t Status;
};
static_assert(offsetof(ZekVreqStagQuery, Stag) == 16);
static_assert(sizeof(ZekVreqStagQuery) == 24);

// IOCTL_ZEK_IWARP_MR_DEALLOC (32): regions and windows.
struct ZekVreqMrDealloc {
  std::uint64_t Adapter;
  std::uint32_t Stag;
  std::uint32_t Reserved12;
  std::uint64_t OldAddress;  // 16: out: the record's address before the call
  std::uint32_t OldLength;   // 24: out
  std::uint32_t Status;      // 28
};
static_assert(offsetof(ZekVreqMrDealloc, OldAddress) == 16);
static_assert(offsetof(ZekVreqMrDealloc, Status) == 28);
static_assert(sizeof(ZekVreqMrDealloc) == 32);

// IOCTL_ZEK_IWARP_MW_ALLOC (32).
struct ZekVreqMwAlloc {
  std::uint64_t Adapter;
  std::uint64_t Pd;
  std::uint64_t Stag;  // user pointer to a u32 (out); 0: no verb, the status kept
  std::uint32_t Status;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekVreqMwAlloc, Status) == 24);
static_assert(sizeof(ZekVreqMwAlloc) == 32);
