// The kernel iWARP verbs' object layer (library zekverbs, compiled into the
// proxy driver): the verbs adapter that a client opens on one attached
// adapter and the driver-wide list of opened adapters, protection domains,
// completion contexts (the wait for a control request), completion queues
// with their ring of flushed queue pairs, queue pairs (create, destroy,
// query), the two routine tables and the per-process clean-up.
//
//   adapter.cpp       opened adapters, open, close, query, contexts, handlers, the lists
//   addresses.cpp     the SAN addresses of the host stack (zek_adapter_addrs)
//   pd.cpp            protection domains
//   comp_context.cpp  completion contexts and ZpxCompleteSynchVerbs
//   cq.cpp            completion queues, the error ring and polling
//   qp.cpp            queue pairs
//   post.cpp          posting send and receive work requests
//   mr.cpp            memory regions, STag records, deallocation of any STag
//   mw.cpp            memory windows
//   tables.cpp        the routine tables, texts and names, start and stop
//
// Records exchanged with callers are include/zek/verbs.h. Every handle is
// looked up on the opened adapter's own lists before it is used; a verb
// holds its adapter (a reference counted under the opened-adapter list's
// lock) for as long as it runs, so a close waits for the verbs running on
// the adapter and never frees it under them.
//
// Lock order: the opened-adapter list lock, then one adapter's list lock.
// No list lock is held across a wait for the adapter.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "include/zek/mifh.h"
#include "include/zek/osprim.h"
#include "include/zek/verbs.h"
#include "platform/kernel/driver.h"
#include "proxy/core/async_events.h"
#include "proxy/core/notify_ring.h"
#include "proxy/core/osprim/osprim_kernel.h"
#include "proxy/rdma/hw/async_events.h"
#include "proxy/rdma/hw/qp.h"
#include "proxy/rdma/rm/rm.h"

inline constexpr std::uint32_t ZEK_IWARP_ADAPTER_MAGIC = 0x9E62ADAD;
inline constexpr std::uint32_t ZEK_COMP_CONTEXT_SIGNATURE = 0x434F4D50;  // "COMP"
inline constexpr std::uint32_t ZEK_IWARP_ADAPTER_BYTES = 157536;         // its pool's element
inline constexpr std::uint32_t ZEK_PD_OBJECT_BYTES = 272;                // its pool's element
inline constexpr std::uint32_t ZEK_COMP_CONTEXT_BYTES = 144;             // its pool's element

// ---- Lists ------------------------------------------------------------------------------------------------
// An element of an adapter's list (or the list of opened adapters): the
// object it belongs to in Data.
struct ZekVerbsLink {
  ZekVerbsLink* Next;
  ZekVerbsLink* Prev;
  void* Data;
};
struct ZekVerbsList {
  ZekVerbsLink* First;
  ZekVerbsLink* Last;
};
void ZekVerbsListAppend(ZekVerbsList* list, ZekVerbsLink* link, void* data);
void ZekVerbsListRemove(ZekVerbsList* list, ZekVerbsLink* link);
bool ZekVerbsListHolds(const ZekVerbsList* list, const void* data);

// ---- Completion context --------------------------------------------------------------------------------------
struct ZekIwarpAdapter;
struct ZekCompContext {
  MifhCqpCompletionContext Hw;      // named in the control request; Argument = this context
  std::uint32_t Signature;          // ZEK_COMP_CONTEXT_SIGNATURE while on the adapter's list
  std::atomic<std::uint8_t> State;  // ZEK_COMP_*: waiting, completed, abandoned
  std::uint8_t Reserved[3];
  ZekCompContext* Next;
  ZekCompContext* Prev;
  MifhQpObject* Qp;  // a queue-pair destruction's queue pair
  ZekIwarpAdapter* Adapter;
  OSPrimEvent Event;
  void* PendingRequest;  // a control request that waits instead of a thread (not in this build)
  void* StagRecord;
  void* AllocInfo;
};
static_assert(sizeof(ZekCompContext) <= ZEK_COMP_CONTEXT_BYTES);
inline constexpr std::uint8_t ZEK_COMP_WAITING = 0;
inline constexpr std::uint8_t ZEK_COMP_COMPLETED = 1;
inline constexpr std::uint8_t ZEK_COMP_ABANDONED = 2;

// ---- Verbs adapter --------------------------------------------------------------------------------------------
struct ZekIwarpAdapter {
  std::uint32_t Magic;  // ZEK_IWARP_ADAPTER_MAGIC while open
  std::uint32_t Reserved0;
  ZekVerbsLink Link;  // on the list of opened adapters
  BaseDeviceObj* Base;
  MifhDeviceObj* Device;
  ZekLarmit* Larmit;  // the local resource manager
  ZekMrte* Mrte;      // the memory-region table manager
  void* ThirdHandle;  // the adapter's GIM
  ZekVerbsAsyncHandler AsyncHandler;
  OSPrimEvent BlockingEvent;  // user opens only
  std::uint8_t BlockingEventValid;
  std::uint8_t Closing;
  std::uint8_t KernelClient;
  std::uint8_t DestroyInterrupted;
  std::uint32_t Reserved1;
  ZekVerbsList StagList;
  ZekVerbsList PdList;
  ZekVerbsList CqList;
  ZekVerbsList QpList;
  ZekVerbsList SecureHandleList;
  OSPrimSpinlockObject QPListSpinlock;
  OSPrimSpinlockObject CQListSpinlock;
  OSPrimSpinlockObject PDListSpinlock;
  OSPrimSpinlockObject StagListSpinlock;
  OSPrimSpinlockObject SecureHandleListSpinlock;
  OSPrimSpinlockObject SixthSpinlock;  // guards the adapter-wide error ring
  void* ClientContext;
  ZekIwarpAdapter* Self;
  MifhAsyncEventRing AsyncEvents;  // AsyncEventSpinlock inside
  std::uint32_t ErrorPosition;     // the adapter's error ring: position 0, last 999
  std::uint32_t ErrorLast;
  void* StackInterface;
  HANDLE OwningProcess;
  ZekCompContext* CompFirst;
  ZekCompContext* CompLast;
  OSPrimSpinlockObject CompContextSpinLock;
  // Verbs running on the adapter (taken and given back under the
  // opened-adapter list's lock): close waits for them.
  std::uint32_t Users;
  std::uint32_t Reserved2;
  MifhQpObject* QpTable[ZEK_VERBS_QP_TABLE_SIZE];
  // The completion notification ring and its wait (user opens).
  ZpxNotifyState Notify;
};
static_assert(sizeof(ZekIwarpAdapter) <= ZEK_IWARP_ADAPTER_BYTES);

// ---- Protection domain (in its pool's 272-byte object) ----------------------------------------------------------
inline constexpr std::uint8_t ZEK_PD_USER_ACCESS = 0x01;
struct ZekPd {
  MifhPdObject Hw;  // the hardware set-up
  ZekPd* Self;
  ZekVerbsLink Link;
  std::atomic<std::uint32_t> Qps;
  std::atomic<std::uint32_t> NonSharedMrs;
  std::atomic<std::uint32_t> SharedMrs;
  std::atomic<std::uint32_t> Mws;
  ZekVerbsList SharedRefs;
  std::uint8_t Flags;  // ZEK_PD_USER_ACCESS
  std::uint8_t Reserved[7];
  void* UserPart;  // what the domain mapped into its process (proxy/core/user_mapping.h)
};
static_assert(sizeof(ZekPd) <= ZEK_PD_OBJECT_BYTES);

// ---- Completion queue (the verbs' part of the CQ object) ---------------------------------------------------------
struct ZekCqVerbs {
  std::uint32_t DeviceNumber;
  std::uint32_t SlotCount;  // entries + 1
  ZekVerbsCqHandler Handler;
  void* HandlerContext;
  void* ClientContext;
  ZekIwarpAdapter* Adapter;
  void* ClientHandle;
  ZekVerbsLink Link;
  std::atomic<std::uint32_t> AttachedQueues;
  std::uint32_t ErrorPosition;  // next slot to write
  std::uint32_t ErrorLast;      // slot consumed most recently
  std::uint32_t Reserved;
  std::uint64_t* ErrorRing;  // ZEK_VERBS_ERROR_RING_SLOTS entries (ZekErrorEntry)
  OSPrimSpinlockObject ErrorLock;
  void* OwnRing;   // non-null: the ring is pages of its own (a user-access CQ's), freed with the CQ
  void* UserPart;  // what the CQ mapped into its process (proxy/core/user_mapping.h)
  std::uint8_t LargeChunk;
  // Completion notification (a CQ with a user completion handler): the
  // identifier that goes into the adapter's ring, the handler's user
  // address, and the mark of a notification that found the ring full
  // (under the adapter's notification lock).
  std::uint8_t NotifyMissed;
  std::uint64_t NotifyId;
  std::uint64_t UserHandler;
};
static_assert(sizeof(ZekCqVerbs) <= sizeof(MifhCqObject::OwnerArea));
inline ZekCqVerbs* ZekCqOf(MifhCqObject* cq) { return reinterpret_cast<ZekCqVerbs*>(cq->OwnerArea); }

// An error-ring entry in one word: the queue-pair object (2048-aligned) with
// the send-side bit (0) and the check bit (1) in its low bits. Zero is empty.
inline constexpr std::uint64_t ZEK_ERROR_ENTRY_SEND = 1;
inline constexpr std::uint64_t ZEK_ERROR_ENTRY_CHECK = 2;

// ---- Queue pair (the verbs' part of the QP object) -----------------------------------------------------------------
inline constexpr std::uint32_t ZEK_QP_VERBS_OFFSET = 512;
// Flag bits (ZekQpVerbs::Flags).
enum : std::uint32_t {
  ZEK_QPV_IRD_HELD = 1u << 0,
  ZEK_QPV_TCP_CONTEXT_SET = 1u << 1,
  ZEK_QPV_FLUSH_PENDING = 1u << 2,
  ZEK_QPV_DESTROY_PENDING = 1u << 3,
  ZEK_QPV_SEND_SIDE_FLUSH = 1u << 4,
  ZEK_QPV_FLUSH_STARTED = 1u << 5,
  ZEK_QPV_LOOPBACK = 1u << 6,
  ZEK_QPV_USER_MAPPED = 1u << 7,
  ZEK_QPV_SEND_RESET = 1u << 8,
  ZEK_QPV_RECV_RESET = 1u << 9,
  ZEK_QPV_MODIFYING = 1u << 10,     // a modify runs (one at a time)
  ZEK_QPV_STREAM_STAG = 1u << 11,   // StreamStag is registered with the adapter
  ZEK_QPV_STREAM_INDEX = 1u << 12,  // StreamStag's index is held
};
struct ZekQpVerbs {
  ZekPd* Pd;
  MifhCqObject* SendCq;
  MifhCqObject* RecvCq;
  void* Terminate;  // the terminate buffer (its pool's element)
  void* DmaArea;    // 320 bytes
  void* ClientContext;
  ZekIwarpAdapter* Adapter;
  std::uint64_t Socket;
  std::uint32_t Ord;
  std::uint32_t Ird;
  std::uint32_t CreateFlags;
  std::uint32_t IrdResource;
  std::uint32_t RdmaMode;
  std::uint32_t Flags;  // ZEK_QPV_*
  std::uint32_t TerminateStatus;
  std::uint32_t SendFlushPoint;
  std::uint32_t RecvFlushPoint;
  std::uint32_t SendRestart;
  std::uint32_t RecvRestart;
  std::uint32_t StreamStag;
  std::uint8_t State;        // ZekQpState
  std::uint8_t FeatureBits;  // bit 0 and bit 1: the create features; bit 2: the third
  std::uint8_t Reserved[6];
  ZekVerbsLink Link;
  void* PeerQp;                          // a loopback pair's other queue pair
  void* UserPart;                        // what the queue pair mapped into its process (proxy/core/user_mapping.h)
  void* OwnRings;                        // non-null: both rings are pages of their own (a user-access queue pair's)
  ZpxAeqQpState AeqState;                // the asynchronous-event processing's state of the queue pair
  std::atomic<std::uint32_t> EventRefs;  // references of the asynchronous-event processing
  MifhAsyncEventRecord AsyncEvent;       // the queue pair's event record in its adapter's event ring
  void* StreamBuffer;                    // the last streaming message (DMA memory), StreamStag names it
  std::uint32_t ConnectionState;         // ZEK_QP_CONNECTION_RUNNING once the connection is the adapter's
  std::uint32_t StreamLength;
  // The connection has ended (ZekQpConnectionEnded); a new hand-over clears it.
  std::atomic<std::uint8_t> ConnectionEnded;
};
static_assert(sizeof(MifhQpObject) <= ZEK_QP_VERBS_OFFSET);
static_assert(ZEK_QP_VERBS_OFFSET + sizeof(ZekQpVerbs) <= MIFH_QP_OBJECT_BYTES);
inline ZekQpVerbs* ZekQpOf(MifhQpObject* qp) {
  return reinterpret_cast<ZekQpVerbs*>(reinterpret_cast<std::uint8_t*>(qp) + ZEK_QP_VERBS_OFFSET);
}

// ---- The opened adapters ----------------------------------------------------------------------------------------
// Start and stop of the list and the global locks (the verbs' start step).
ZekStatus ZekVerbsGlobalsInit();
void ZekVerbsGlobalsCleanup();
// 0 when the adapter is on the list of opened adapters, non-zero when not
// (or the lock's status).
extern "C" ZekStatus FindIwarpAdapter(void* adapter);
// Takes the adapter for a verb: true when it is open and not closing (the
// verb then gives it back with ZekAdapterRelease). `message` is logged
// when it is not.
bool ZekAdapterAcquire(void* adapter, const char* message);
void ZekAdapterRelease(ZekIwarpAdapter* adapter);
// A verb's hold on its adapter for its own duration.
class ZekAdapterHold {
 public:
  ZekAdapterHold(void* adapter, const char* message)
      : adapter_(ZekAdapterAcquire(adapter, message) ? static_cast<ZekIwarpAdapter*>(adapter) : nullptr) {}
  ~ZekAdapterHold() {
    if (adapter_ != nullptr) ZekAdapterRelease(adapter_);
  }
  ZekAdapterHold(const ZekAdapterHold&) = delete;
  ZekAdapterHold& operator=(const ZekAdapterHold&) = delete;
  explicit operator bool() const { return adapter_ != nullptr; }
  ZekIwarpAdapter* get() const { return adapter_; }

 private:
  ZekIwarpAdapter* adapter_;
};
// The queue pair of a handle on any opened adapter (the asynchronous-event
// processing); null when none.
extern "C" MifhQpObject* GetQPObjectFromQPId(std::uint32_t qp_id);
// The hardware ids of the queue pairs on the opened adapters' lists, each
// with its adapter's device, at most `max`, collected under the
// opened-adapter lock and each adapter's QP-list lock: the number written.
std::uint32_t ZekCollectQpIds(std::uint32_t* ids, MifhDeviceObj** devices, std::uint32_t max);
// The CQ of a handle on one of the process's own user opens, its adapter
// held (*adapter; ZekAdapterRelease gives it back); null when there is none.
MifhCqObject* ZekHoldOwnCq(std::uint64_t handle, HANDLE process, ZekIwarpAdapter** adapter);
// The owner of a pended-request key that names a verbs object (an adapter,
// a CQ or a QP of an open adapter): the process of its adapter (0 for a
// kernel client's); ZPX_ANY_OWNER when it names none. The verbs install it
// as the pended-request queue's owner routine while they run.
std::uint64_t ZekVerbsKeyOwner(std::uint64_t key);
// The asynchronous-event processing's lookups over the adapters opened on
// the event's device (queue-pair and CQ ids are each device's own, so two
// functions of a board have objects of the same id): the queue pair of an id
// with a reference taken under its adapter's list lock (ZekQpEventRelease
// gives it back; the queue pair's destroy waits for its references), and the
// CQ of an id with its adapter held.
MifhQpObject* ZekQpEventReference(const MifhDeviceObj* device, std::uint32_t qp_id);
void ZekQpEventRelease(MifhQpObject* qp);
MifhCqObject* ZekHoldCqOfId(const MifhDeviceObj* device, std::uint32_t cq_id, ZekIwarpAdapter** adapter);
// Installs (or with false removes) the verbs' routines of the
// asynchronous-event processing.
void ZekVerbsAsyncEvents(bool install);
// The queue pair of a handle on this adapter: the table entry, when the
// queue pair is also on the adapter's list; null otherwise.
MifhQpObject* ZekQpOfHandle(ZekIwarpAdapter* adapter, std::uint64_t handle);
// The same, referenced as the asynchronous-event processing references it
// (ZekQpEventRelease gives it back; its destroy waits for the reference).
MifhQpObject* ZekQpReference(ZekIwarpAdapter* adapter, std::uint64_t handle);
// A queue pair's connection has ended: its peer closed or reset it, it timed
// out, the close the host asked for finished, or the queue pair went to
// error or terminate. The queue pair is marked so and, for a user process's
// adapter, its disconnect notifications complete with success (kernel
// clients have none). Called by the asynchronous-event processing and by a
// modify that resets a running connection.
void ZekQpConnectionEnded(ZekIwarpAdapter* adapter, MifhQpObject* qp);
bool ZekQpConnectionHasEnded(MifhQpObject* qp);

// The list operations (each under its list's lock).
extern "C" ZekStatus InsertInPdList(ZekIwarpAdapter* adapter, ZekPd* pd);
extern "C" ZekStatus RemoveFromPdList(ZekIwarpAdapter* adapter, ZekPd* pd);
extern "C" ZekStatus FindPDObject(ZekIwarpAdapter* adapter, const void* pd);
extern "C" ZekStatus InsertInCQList(ZekIwarpAdapter* adapter, MifhCqObject* cq);
extern "C" ZekStatus RemoveFromCQList(ZekIwarpAdapter* adapter, MifhCqObject* cq);
extern "C" ZekStatus FindCQObject(ZekIwarpAdapter* adapter, const void* cq);
extern "C" ZekStatus InsertInQPList(ZekIwarpAdapter* adapter, MifhQpObject* qp);
extern "C" ZekStatus RemoveFromQPList(ZekIwarpAdapter* adapter, MifhQpObject* qp);
extern "C" ZekStatus FindQPObject(ZekIwarpAdapter* adapter, const void* qp);

// ---- Verbs ------------------------------------------------------------------------------------------------------
extern "C" {
ZekStatus zek_adapter_addrs(ZekVerbsAddress* entries, std::uint32_t* count, const char* address);
ZekStatus zek_open(void** adapter, const ZekVerbsAddress* address, std::uint32_t kernel);
ZekStatus zek_open_user(void** adapter, const ZekVerbsAddress* address);
ZekStatus zek_open_kernel(void** adapter, const ZekVerbsAddress* address);
ZekStatus zek_close(void* adapter);
ZekStatus zek_query(void* adapter, ZekAdapterAttributes* attributes);
ZekStatus zek_query_old(void* adapter, ZekAdapterAttributes* attributes);
ZekStatus zek_set_async_handler(void* adapter, ZekVerbsAsyncHandler handler, ZekVerbsAsyncHandler* previous);
ZekStatus zek_set_context(void* adapter, std::uint64_t object, std::uint32_t kind, void* value);
ZekStatus zek_get_context(void* adapter, std::uint64_t object, std::uint32_t kind, void** value);
ZekStatus zek_pd_allocate(void* adapter, void** pd);
ZekStatus zek_pd_allocate_u_k_access(void* adapter, void** pd, std::uint32_t user_access);
ZekStatus zek_pd_deallocate(void* adapter, void* pd);
ZekStatus zek_async_cq_create(void* adapter, void** cq, std::uint32_t* entries, ZekVerbsCqHandler handler,
                              void* handler_context, std::uint32_t requested, std::uint32_t mode, void* client_handle);
ZekStatus zek_cq_create(void* adapter, void** cq, std::uint32_t* entries, ZekVerbsCqHandler handler,
                        void* handler_context, std::uint32_t requested);
ZekStatus zek_cq_destroy(void* adapter, void* cq);
ZekStatus zek_cq_query(void* adapter, void* cq, ZekVerbsCqHandler* handler, std::uint32_t* entries);
ZekStatus zek_cq_modify(void* adapter, void* cq, std::uint32_t* entries, std::uint32_t requested);
ZekStatus zek_cq_poll_completion(void* adapter, void* cq, ZekWorkCompletion* completion);
ZekStatus zek_cq_set_compl_handler(void* adapter, void* cq, ZekVerbsCqHandler handler, void* context);
ZekStatus zek_cq_request_notification(void* adapter, void* cq, std::uint32_t mode);
ZekStatus zek_qp_create(void* adapter, const ZekQpCreateInput* input, ZekQpAttributes* output, std::uint64_t* qp);
ZekStatus zek_qp_destroy(void* adapter, std::uint64_t qp);
ZekStatus zek_qp_destroy_2(ZekIwarpAdapter* adapter, MifhQpObject* qp, std::uint32_t keep);
ZekStatus zek_qp_query(void* adapter, std::uint64_t qp, ZekQpAttributes* info);
ZekStatus zek_qp_modify(void* adapter, std::uint64_t qp, const ZekQpModifyInput* input, ZekQpModifyOutput* output);
ZekStatus zek_qp_rq_flush(void* adapter, std::uint64_t qp, void* unused1, void* unused2);
ZekStatus zek_is_qp_rq_empty(void* adapter, std::uint64_t qp, std::uint8_t* empty);
ZekStatus zek_srq_not_supported();
void zek_cleanup_iwarp_resources(HANDLE process_id);
// Start and stop of the verbs (the driver's start step): the globals, the
// message set and function names, the two routine tables, the per-process
// clean-up routine.
ZekStatus ZEK_Init_Verbs();
ZekStatus ZEK_Cleanup_Verbs();
}

// ---- The user-access forms (the control requests') ----------------------------------------------------------
// As zek_async_cq_create and zek_qp_create, with `own_pages`: the CQ ring,
// or both work-queue rings, are page-aligned allocations of their own that
// may be mapped into a process whole (proxy/core/user_mapping.h), freed with
// the object; a user-access queue pair is also marked as one whose rings the
// process writes.
ZekStatus ZekCqCreateEx(void* adapter, void** cq, std::uint32_t* entries, ZekVerbsCqHandler handler,
                        void* handler_context, std::uint32_t requested, std::uint32_t mode, void* client_handle,
                        bool own_pages);
ZekStatus ZekQpCreateEx(void* adapter, const ZekQpCreateInput* input, ZekQpAttributes* output, std::uint64_t* qp,
                        bool own_pages);
// zek_close for the process's own user open only: IWARP_STATUS_A_INVALID_RNIC_HANDLE
// for any other adapter (checked under the list's lock, with the close).
ZekStatus ZekCloseOwn(void* adapter, HANDLE process);
// The process's own user open, held (ZekAdapterRelease gives it back); null otherwise.
ZekIwarpAdapter* ZekHoldOwnAdapter(std::uint64_t handle, HANDLE process);

// The routine table of the user forms or of the kernel forms.
const ZekVerbsInterface* ZekVerbsTable(bool kernel);
// Closes every adapter still open (the verbs' stop: kernel clients may
// leave theirs).
void ZekCloseAllAdapters();
// The attached adapter of `device` is being detached: every verbs adapter
// open on it is closed on the software side alone (no request goes to the
// adapter; what it may still write is kept, never reused), before the
// managers and the device it names are gone.
void ZekDetachAdaptersOf(const MifhDeviceObj* device);
// A CQ of an adapter being detached: its number and error ring go back; its
// ring and object are kept.
void ZekCqForget(ZekIwarpAdapter* adapter, MifhCqObject* cq);

// ---- Completion contexts ----------------------------------------------------------------------------------
extern "C" ZekStatus ZpxInitializeCompEventContext(ZekCompContext** context, ZekIwarpAdapter* adapter);
extern "C" ZekStatus ZpxDestroyCompEventContext(ZekCompContext* context, ZekIwarpAdapter* adapter, std::uint32_t keep);
extern "C" void ZpxCompleteSynchVerbs(void* context);
// The waiting rule: waits for the context's completion. 0 when it
// completed without an error; 1 when the adapter reported an error (logged
// with `verb`'s message) or the wait was interrupted (the context is then
// abandoned and stays on the adapter's list: `*abandoned` is set). The
// context is destroyed unless abandoned.
// `codes`, when given, receives the completion's codes (major, minor, extra byte).
ZekStatus ZekWaitCompContext(ZekIwarpAdapter* adapter, ZekCompContext* context, const char* verb,
                             bool* abandoned = nullptr, MifhCqpCompletionContext* codes = nullptr);
// Adapter close: every context still listed (abandoned waits) is made
// unreachable for the control queue pair, a queue pair whose destruction
// waited on it finishes its second stage, and the context is freed.
void ZekFinishDeferredContexts(ZekIwarpAdapter* adapter);
// Test seam: a wait that returns as if the caller's thread were interrupted
// (the next wait of this process only). Never set outside tests.
extern std::atomic<int> g_ZekVerbsInterruptNextWait;

// ---- Internal forms (the adapter held, used by close) ---------------------------------------------------------------
ZekStatus ZekCqDestroyHeld(ZekIwarpAdapter* adapter, MifhCqObject* cq);
ZekStatus ZekPdDeallocateHeld(ZekIwarpAdapter* adapter, ZekPd* pd);
ZekStatus ZekQpDestroyHeld(ZekIwarpAdapter* adapter, MifhQpObject* qp);
// Queues a queue pair's flush on its CQ's error ring: 0, or 1 when the ring
// is full (logged, nothing queued).
extern "C" ZekStatus InsertInErrorQPList(MifhCqObject* cq, MifhQpObject* qp, std::uint8_t send_side,
                                         std::uint8_t check);
// Drops a queue pair's entries from a CQ's error ring (its destruction).
void ZekErrorRingForget(MifhCqObject* cq, MifhQpObject* qp);
// 0 with a flushed completion, 1 when there is none.
extern "C" ZekStatus ProcessErrorQPWqe(MifhCqObject* cq, ZekWorkCompletion* completion);
// ---- Queue-pair modify (modify.cpp) ------------------------------------------------------------------------------
// The context attributes of a queue pair as create and modify write them
// (its CQ ids, features, port selector, `ord`, IRD, RDMA mode, terminate
// buffer).
void ZekQpContextAttributes(MifhQpObject* qp, std::uint32_t ord, MifhIwarpContextAttributes* attributes);
// The modify under an adapter already held (the close's move of an RTS
// queue pair to CLOSING, mask state only).
ZekStatus ZekQpModifyHeld(ZekIwarpAdapter* adapter, MifhQpObject* qp, const ZekQpModifyInput* input,
                          ZekQpModifyOutput* output);
// Gives back the last streaming message's region and buffer (destroy).
void ZekQpDropStreamMessage(ZekIwarpAdapter* adapter, MifhQpObject* qp);

// The QP-destroy lock that serialises second stages.
OSPrimSpinlockObject* ZekQpDestroySpinlock();

// ---- Posting, memory regions and memory windows (post.cpp, mr.cpp, mw.cpp) ----------------------------------
// The record of one STag (a memory region or window), on its adapter's STag
// list under StagListSpinlock; from its pool's 312-byte element. Every field
// is read and written under that lock, except the mapping and the region's
// set-up, which only the verb that owns the record (Busy) touches.
struct ZekPageList;
struct ZekStagRecord {
  ZekVerbsLink Link;
  ZekPd* Pd;
  ZekIwarpAdapter* Adapter;
  std::uint32_t Access;
  std::uint32_t Valid;
  std::uint32_t Index;
  std::uint32_t Length;
  std::uint32_t NonShared;    // 1: registered or allocated here and never shared
  std::uint32_t Kept;         // the request's kept word
  std::uint32_t SourceStag;   // a share's source region
  std::uint32_t PageEntries;  // an allocated STag's page-list room
  std::uint64_t Address;      // the region's first byte (its tagged address unless zero-based)
  std::uint8_t Key;
  std::uint8_t Mode;  // ZEK_MR_USER_BUFFER or ZEK_MR_KERNEL_BUFFER
  std::uint8_t IsRegion;
  std::uint8_t ZeroBased;
  std::uint8_t Mapped;       // Map holds the buffer (its pages locked for a user buffer)
  std::uint8_t SecuredUser;  // Map is a caller's buffer, secured
  std::uint8_t Busy;         // a verb works on the record: others see it as absent
  std::uint8_t Reserved;
  OSPrimMapRecord Map;
  ZekMrChunks Chunks;  // the page-list chunks the region took from the translation manager
  // A registration whose wait was given up: the page lists the adapter may
  // still read, released when the record is deallocated.
  ZekPageList* PendingPages;
  ZekMrAllocInfo* PendingInfo;
};
static_assert(sizeof(ZekStagRecord) <= 312);

// The shared-reference element of a PD: a region that was shared, and how
// many shares of it are alive.
struct ZekSharedRef {
  ZekVerbsLink Link;
  std::uint32_t Count;
  std::uint32_t SourceIndex;
};

// The STag record of an index on this adapter (kinds: regions, windows or
// any), not busy; under StagListSpinlock (the caller holds it).
enum class ZekStagKind { Region, Window, Any };
ZekStagRecord* ZekFindStagLocked(ZekIwarpAdapter* adapter, std::uint32_t index, ZekStagKind kind);
// Checks a local scatter-gather entry of a work request on `qp`'s PD:
// 0, IWARP_STATUS_MR_INVALID_STAG (no valid region of this adapter with
// that STag's index and key, another PD, or without `access`) or
// IWARP_STATUS_QP_INVALID_SGL_LEN (the range leaves the region or wraps).
ZekStatus ZekCheckLocalSge(ZekIwarpAdapter* adapter, const ZekPd* pd, const ZekSge& sge, std::uint32_t access);
// An STag the adapter invalidated on its own (a Send with Invalidate
// received, a read with local invalidation): its record is marked invalid.
void ZekStagInvalidated(ZekIwarpAdapter* adapter, std::uint32_t stag);

// A region's pages as the adapter takes them: the buffer is mapped (a
// caller's buffer locked and secured, a kernel buffer described) and its
// physical pages listed. The list is DMA memory (OSPrimMemDMAFree).
struct ZekPageList {
  std::uint64_t* Pages;
  std::uint32_t Count;
  std::uint32_t FirstOffset;
};
ZekStatus ZekMapRegion(std::uint64_t address, std::uint32_t length, std::uint32_t mode, OSPrimMapRecord* map,
                       ZekPageList* list);
void ZekUnmapRegion(OSPrimMapRecord* map, std::uint32_t mode);
// A caller's physical page list copied into DMA memory (room rounded to four entries).
ZekStatus ZekCopyPageList(const std::uint64_t* pages, std::uint32_t count, ZekPageList* list);

// The fast registrations in flight on a queue pair's send queue finish as
// flushed (its destruction, when the adapter no longer reads the ring).
void ZekFastRegForgetQp(MifhQpObject* qp);
// A flushed send request at `index` (the error ring's flush): a fast
// registration's pages are released and its poster's id replaces the
// context's address in `completion`.
void ZekFastRegFlushed(MifhQpObject* qp, std::uint32_t index, ZekWorkCompletion* completion);

// Sends one control request (`post` builds it with the context given) and
// waits for it: 0; 1 when it could not be sent or the adapter reported an
// error; *abandoned when the wait was given up (the adapter's state is then
// not known). `codes`, when given, receives the completion's codes.
using ZekControlPost = ZekStatus (*)(void* argument, MifhCqpCompletionContext* context);
ZekStatus ZekRunControl(ZekIwarpAdapter* adapter, const char* verb, ZekControlPost post, void* argument,
                        bool* abandoned, MifhCqpCompletionContext* codes = nullptr);
// Asks the adapter about an STag index: 0 with its valid flag and key;
// IWARP_STATUS_MR_INVALID_STAG when the adapter has no such entry; 1.
ZekStatus ZekAskAdapterAboutStag(ZekIwarpAdapter* adapter, std::uint32_t index, const char* verb, std::uint32_t* valid,
                                 std::uint8_t* key);
// A new record with an index of its own (not listed yet): 0, 1 when no
// index is left, 4 when no record can be had (the index goes back).
ZekStatus ZekTakeStagRecord(ZekIwarpAdapter* adapter, ZekPd* pd, bool region, const char* verb, ZekStagRecord** out);
void ZekLinkStagRecord(ZekIwarpAdapter* adapter, ZekStagRecord* record);
void ZekDestroyStagRecord(ZekIwarpAdapter* adapter, ZekStagRecord* record, bool listed);

// Adapter close: every window, then every region, is deallocated.
void ZekDeleteAllStags(ZekIwarpAdapter* adapter);
// A detach: the records go and their indexes go back; what the adapter may
// still reach (locked pages, page lists) is kept, never reused.
void ZekForgetAllStags(ZekIwarpAdapter* adapter);

extern "C" {
ZekStatus zek_qp_post_sq(void* adapter, std::uint64_t qp, const ZekSendWr* requests, std::uint32_t* posted,
                         std::uint32_t count);
ZekStatus zek_qp_post_rq(void* adapter, std::uint64_t qp, const ZekRecvWr* requests, void* unused,
                         std::uint32_t* posted, std::uint32_t count);
ZekStatus zek_mr_alloc_nonshared_STag(void* adapter, void* pd, std::uint32_t entries, std::uint32_t access,
                                      std::uint32_t* stag, std::uint32_t* page_list_size);
ZekStatus zek_mr_register_nonshared(void* adapter, void* pd, const ZekMrRegisterRequest* request, std::uint32_t* stag,
                                    std::uint64_t* address, std::uint32_t mode);
ZekStatus zek_mr_register_nonshared_physical(void* adapter, void* pd, const ZekMrRegisterRequest* request,
                                             std::uint32_t* stag, std::uint64_t* address, std::uint32_t mode);
ZekStatus zek_mr_reregister_nonshared(void* adapter, void* pd, const ZekMrRegisterRequest* request,
                                      std::uint64_t* address, std::uint32_t* new_stag, std::uint32_t stag,
                                      std::uint32_t mode);
ZekStatus zek_mr_register_shared(void* adapter, void* pd, const ZekMrSharedRequest* request, std::uint32_t* stag,
                                 std::uint32_t existing);
ZekStatus zek_mr_query(void* adapter, ZekMrQueryInfo* info, std::uint32_t stag);
ZekStatus zek_mr_dealloc(void* adapter, std::uint32_t stag);
ZekStatus zek_mw_alloc(void* adapter, void* pd, std::uint32_t* stag);
ZekStatus zek_mw_query(void* adapter, ZekMwQueryInfo* info, std::uint32_t stag);
// The table forms (user forms in the user table, kernel forms in the kernel table).
ZekStatus zek_mr_register_nonshared_user(void* adapter, void* pd, const ZekMrRegisterRequest* request,
                                         std::uint32_t* stag, std::uint64_t* address);
ZekStatus zek_mr_register_nonshared_kernel(void* adapter, void* pd, const ZekMrRegisterRequest* request,
                                           std::uint32_t* stag, std::uint64_t* address);
ZekStatus zek_mr_register_physical_kernel(void* adapter, void* pd, const ZekMrRegisterRequest* request,
                                          std::uint32_t* stag, std::uint64_t* address);
ZekStatus zek_mr_register_physical_user(void* adapter, void* pd, const ZekMrRegisterRequest* request,
                                        std::uint32_t* stag, std::uint64_t* address);
ZekStatus zek_mr_reregister_nonshared_user(void* adapter, void* pd, const ZekMrRegisterRequest* request,
                                           std::uint64_t* address, std::uint32_t* new_stag, std::uint32_t stag);
ZekStatus zek_mr_reregister_nonshared_kernel(void* adapter, void* pd, const ZekMrRegisterRequest* request,
                                             std::uint64_t* address, std::uint32_t* new_stag, std::uint32_t stag);
ZekStatus zek_mr_reregister_physical_kernel(void* adapter, void* pd, const ZekMrRegisterRequest* request,
                                            std::uint64_t* address, std::uint32_t* new_stag, std::uint32_t stag);
ZekStatus zek_mr_reregister_physical_user(void* adapter, void* pd, const ZekMrRegisterRequest* request,
                                          std::uint64_t* address, std::uint32_t* new_stag, std::uint32_t stag);
}
