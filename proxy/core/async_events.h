// Asynchronous events: the miniport's DPC hands each decoded event to
// ZpxQueueAEQ, which queues it on the driver's pending list; the driver's
// asynchronous-event thread takes them oldest first and processes each at
// PASSIVE_LEVEL.
//
// What an event does is decided by its id (ZpxDecideAsyncEvent, a table);
// carrying it out belongs to the kernel verbs, which own the queue pairs and
// completion queues. The verbs install their routines
// (ZpxSetAsyncEventHooks) when they start; until then events are queued,
// decided and logged, and nothing else happens.
//
// The QP-destroy lock (a spin lock) is held only while a queue pair is
// looked up and referenced and its event flags are read or written; the
// actions (modify to error, flush, signal), which wait for the adapter, run
// after it is released, with the reference keeping the queue pair alive.
#pragma once

#include <cstdint>

#include "include/zek/aeq_event.h"
#include "include/zek/mifh.h"
#include "include/zek/osprim.h"

// Pending entries are taken from a fixed pool created with the event thread;
// an entry goes back without any allocation. An event that finds the pool
// empty is dropped and logged.
inline constexpr std::uint32_t ZPX_AEQ_PENDING_ENTRIES = 1024;

// The event state a queue pair keeps for this processing.
inline constexpr std::uint8_t ZPX_QP_EVENT_SEEN = 0x08;
inline constexpr std::uint8_t ZPX_QP_EVENT_QUEUED = 0x40;
struct ZpxAeqQpState {
  std::uint8_t Flags;  // ZPX_QP_EVENT_SEEN, ZPX_QP_EVENT_QUEUED
  std::uint8_t LastTcpState;
  std::uint8_t LastIwarpState;
  std::uint8_t Type;          // 1: an iWARP queue pair of the verbs
  std::uint8_t FurtherState;  // the state byte event 1282 tests
  std::uint8_t HasUploadContext;
  std::uint16_t LastEventId;
};

// ---- What an event id asks for ----------------------------------------------------------------------
enum ZpxAeAction : std::uint32_t {
  ZPX_AE_IGNORE = 0,
  ZPX_AE_ERROR,           // modify to error, signal Code
  ZPX_AE_TERMINATE,       // modify to error; signal the mapped code, or map to a termination and flush
  ZPX_AE_CQ_EVENT,        // an asynchronous event record for the completion queue (code 32)
  ZPX_AE_CLOSE_FLUSH,     // type-1 queue pair: to state 6 when the event's iWARP state is 2, then flush
  ZPX_AE_TOE,             // an event of an offloaded TCP connection: logged
  ZPX_AE_IDLE,            // type-1 queue pair: software state idle
  ZPX_AE_SOFTWARE_ERROR,  // type-1 queue pair whose further state byte is below 3: software error
  ZPX_AE_SIGNAL,          // signal Code only
};

struct ZpxAeDecision {
  ZpxAeAction Action;
  std::uint32_t Code;  // verbs event code (ZPX_AE_TERMINATE: the map's code)
  bool Type1Only;      // the queue pair's type must be 1
};

// The decision for an event (id, inbound-RDMA flag, context word).
ZpxAeDecision ZpxDecideAsyncEvent(const ZekAsyncEvent* event);
// The verbs event code of a termination id (258-283, 516-518): 258, 259,
// 262, 263, 518 -> 27; 261 -> 19; 264, 266 -> 17; 265 -> 18; others 40.
std::uint32_t ZpxTerminationEventCode(std::uint16_t event_id);
// The termination code ZpxMapAeToEventType stores on the queue pair.
std::uint32_t ZpxMapAeToTerminationCode(std::uint16_t event_id);
// Whether an id is logged as it is processed (all but 1281-1283).
bool ZpxAsyncEventLogged(std::uint16_t event_id);

// ---- The verbs' routines ----------------------------------------------------------------------------------
struct ZpxAsyncEventHooks {
  // Under the QP-destroy lock: the queue pair with this id on the device
  // the event came from, referenced, and its event state; null when there
  // is none. Ids are the device's own: another function's queue pair of the
  // same id is not the event's.
  void* (*ReferenceQp)(MifhDeviceObj* device, std::uint32_t qp_id, ZpxAeqQpState** state);
  void (*DereferenceQp)(void* qp);
  // Whether a completion queue of this id exists on an open adapter of the
  // device; with `post`, also posts its asynchronous event record (code 32).
  bool (*CqEvent)(MifhDeviceObj* device, std::uint32_t cq_id, bool post);
  // Carries out a decision for a referenced queue pair, at PASSIVE_LEVEL,
  // with no lock of this module held.
  void (*Act)(MifhDeviceObj* context, void* qp, const ZekAsyncEvent* event, const ZpxAeDecision* decision);
};
// Null removes them (the verbs stop). Events being processed finish with
// the routines they started with.
void ZpxSetAsyncEventHooks(const ZpxAsyncEventHooks* hooks);

// ---- The driver's side ----------------------------------------------------------------------------------------
// The record slot the miniport's DPC calls for each event (DISPATCH_LEVEL).
void ZpxQueueAEQ(MifhDeviceObj* context, const ZekAsyncEvent* event);
// One event, at PASSIVE_LEVEL (the thread's work; tests call it directly).
void ZpxProcessAEQ(MifhDeviceObj* context, const ZekAsyncEvent* event);

// Start and stop of the machinery (driver entry and unload): the wake-up
// event and the pending list with its entries, then the thread; the stop
// sets the unloading flag, wakes the thread and joins it, then drops what is
// still queued.
NTSTATUS ZpxStartAsyncEvents();
void ZpxStopAsyncEvents();
// Wakes the event thread to process what is queued (the forced processing
// a client asks for).
void ZpxWakeAsyncEvents();
// Events queued and not yet processed (tests).
std::uint32_t ZpxPendingAsyncEvents();
// The driver-wide QP-destroy lock (the verbs take it around a destroy).
OSPrimSpinlockObject* ZpxQpDestroyLock();
