// Hardware objects that the miniport (zekhnic) and the proxy driver
// (zekproxy) share by pointer: the device object of one PCI function, the
// board's scratchpad object, the control queue pair with its completion
// contexts and pending requests, the completion queue and event queue
// objects, the base object and the per-function hardware information record
// (NIC_HW_INFO) that holds them all. The miniport builds them; the proxy
// driver reaches them through the NIC-proxy record (include/zek/nicproxy.h).
// Both drivers compile the hardware-interface module against these
// definitions, so one layout serves both.
//
// Fields are fixed-width; pointers are 64-bit. Where a record is the
// miniport's alone beyond the fields named here, the record says so and
// keeps room for it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/hw/cqp.h"
#include "include/zek/osprim.h"
#include "include/zek/status.h"

// ---- Signatures ---------------------------------------------------------------------------------
inline constexpr std::uint32_t MIFH_DEVICE_GUARD = 0x20202020;      // four blanks, at both ends of MifhDeviceObj
inline constexpr std::uint32_t NIC_HW_INFO_SIGNATURE = 0x48574946;  // "HWIF"
inline constexpr std::uint32_t NIC_HW_INFO_VERSION = 6000;
inline constexpr std::uint32_t MIFH_BASE_SIGNATURE = 0x42415345;  // "BASE"
inline constexpr std::uint32_t MIFH_BASE_VERSION = 104;
inline constexpr std::uint32_t MIFH_SCRATCHPAD_SIGNATURE = 0x53435241;  // "SCRA"
inline constexpr std::uint32_t MIFH_CQ_SIGNATURE = 0x7BB8C9C9;          // completion-queue object
inline constexpr std::uint32_t MIFH_PD_MAGIC = 0xC273BDBD;              // protection-domain object

// ---- Lock routines ------------------------------------------------------------------------------
// The control-queue-pair lock routines (CommonNicAcquireSpinlockFunction /
// CommonNicReleaseSpinlockFunction, proxy/rdma/hw/locks.h) and the
// index-register lock routines have this one shape: they take an
// OS-primitive spin-lock object and return 0 or the failing status. The
// miniport stores them in the device object; the control queue pair copies
// the first pair. A null routine takes no lock.
using MifhLockRoutine = ZekStatus (*)(OSPrimSpinlockObject* lock);

struct MifhCqpObject;
struct MifhAeqObject;

// ---- Board scratchpad object ----------------------------------------------------------------------
// One per board, shared by its PCI functions. Its spin-lock object is the
// adapter's hardware semaphore; the value is the scratchpad that the
// resource managers keep their owner in.
struct HwScratchpadObj {
  std::uint32_t Signature;       // MIFH_SCRATCHPAD_SIGNATURE
  std::uint32_t ReferenceCount;  // functions of the board holding it
  std::uint32_t BoardKey;        // low four bytes of the board's first MAC address
  std::uint32_t Reserved;
  std::uint64_t Value;
  OSPrimSpinlockObject Lock;
};
static_assert(offsetof(HwScratchpadObj, Signature) == 0);

// ---- Device object --------------------------------------------------------------------------------
// The hardware device object of one PCI function. Everything that reads or
// writes the adapter's registers takes it. It begins and ends with a guard
// word of four blanks, which the proxy driver checks before it trusts the
// record: a record overwritten from either side shows at once.
// A protection domain's page of the user doorbell window.
inline constexpr std::uint32_t ZEK_DOORBELL_PAGE_BYTES = 4096;

struct MifhDeviceObj {
  std::uint32_t GuardStart;   // MIFH_DEVICE_GUARD
  std::uint32_t Zero;         // 0 at initialisation
  std::uint32_t PciFunction;  // F: index/data pair 0x50 + 8F / 0x54 + 8F, status index 8F + 64
  std::uint32_t FunctionRegisterBits8to15;
  std::uint32_t FunctionRegisterBits3to7;
  std::uint32_t MacPause;
  std::uint32_t ChipRevision;
  std::uint32_t EnabledInterruptMask;
  std::uint32_t EnabledInterruptMaskComplement;
  std::uint32_t LastInterruptStatus;
  void* MiniportAdapterHandle;

  // Mapped windows. Registers are reached only through the register accessors.
  volatile std::uint8_t* RegisterWindow;  // 4 KB register window (BAR0)
  volatile std::uint8_t* DoorbellWindow;  // user doorbell pages (BAR1)
  std::uint32_t DoorbellWindowLength;
  std::uint32_t Reserved0;
  std::uint64_t DoorbellWindowPa;
  volatile std::uint8_t* ConfigWindow;  // capability words at 0x1C and 0x20 (BAR2)

  void* CqpHostContext;  // the CQP context block
  std::uint8_t HardwareReady;
  std::uint8_t Reserved1[3];
  std::uint32_t Tuning;
  OSPrimSpinlockObject* MdioLock;  // the board's MDIO lock
  OSPrimSpinlockObject* PhyLock;   // the board's link lock
  HwScratchpadObj* Scratchpad;
  MifhCqpObject* Cqp;
  MifhAeqObject* Aeq;  // set by the miniport, and by the proxy's hardware-object AEQ request

  // Interrupts: (1 << port | 0x30) << 24 | (1 << F) << 16 | (0x101 << F), and its parts.
  std::uint32_t InterruptWord;
  std::uint16_t InterruptQueueBits;
  std::uint8_t InterruptFunctionBit;
  std::uint8_t InterruptPortBit;
  std::uint8_t InterruptFlags[4];

  // MAC blocks from the EEPROM software section; the first low word is the board key.
  std::uint32_t MacBlock1Low;
  std::uint16_t MacBlock1High;
  std::uint8_t MacBlock1Count;
  std::uint8_t Reserved2;
  std::uint32_t MacBlock2Low;
  std::uint16_t MacBlock2High;
  std::uint8_t MacBlock2Count;
  std::uint8_t Reserved3;
  std::uint8_t MacAddress[6];  // the adapter's MAC address
  std::uint16_t Reserved4;

  // Protection domains served by the user doorbell window.
  std::uint32_t FirstPdId;  // the first protection domain of the user doorbell window
  std::uint32_t PdCount;    // its pages (ZEK_DOORBELL_PAGE_BYTES each), one per domain

  // Device limits stored by the device initialisation.
  std::uint32_t QpCountBase;
  std::uint32_t QpByteSize;
  std::uint32_t MaxOrd;
  std::uint32_t MaxIrd;
  std::uint32_t MaxSqWr;
  std::uint32_t MaxRqWr;
  std::uint32_t MaxStreamMessage;
  std::uint32_t Limit15Low;  // two 15-bit values of software-section word 9
  std::uint32_t Limit15High;
  std::uint32_t SizePow2;       // 2^9 .. 2^18
  std::uint32_t ArpEntryCount;  // TOE ARP-cache entries: sizes the board's ARP table
  std::uint32_t IpEntryCount;   // local IP-address entries: sizes the board's IP table
  std::uint32_t IdentificationWord[2];
  std::uint8_t FlashVersion[2];
  std::uint8_t EepromVersion[2];
  std::uint8_t VersionBytes[4];  // firmware major, minor, EEPROM major, minor

  // Port, PHY and board.
  std::uint8_t Port;     // bit 0 selects the second SerDes; x 512 the counter block
  std::uint8_t PhyType;  // 0 to 9
  std::uint8_t PhyMdioAddress;
  std::uint8_t MdioDevice;
  std::uint8_t BufferFlags;  // statistics, per-node, EEPROM allocated, EEPROM words swapped
  std::uint8_t TimerCleared;
  std::uint8_t InitFlags[2];
  std::uint8_t IwarpKnobs[5];
  std::uint8_t BasePort;  // copied into queue-pair contexts with the three bytes below
  std::uint8_t ConfigBytes[3];
  std::uint8_t LinkAllowed;  // last link result written by the proxy
  std::uint8_t LanesInSync;
  std::uint8_t LinkResult;  // the last link test's result (1 up, 0 down)
  std::uint32_t LaneRetryCounter;
  std::uint32_t BoardType;     // 5 selects the second SerDes and drain forms
  std::uint32_t FailoverType;  // drains only when 2
  std::uint32_t FrameSizeWord;
  std::uint32_t PortMode;  // global control bits 8-9: 0, 1 = two ports, 3 = four ports
  std::uint32_t PortCountField;
  std::uint32_t AnotherFunctionRunning;
  std::uint32_t StateWord;  // 7: the NIC queue-pair destruction sets bit 15 of idx 0x5000 again
  std::uint32_t Initialised;
  std::uint32_t SerdesThresholds;
  std::uint32_t Reserved6;
  std::uint64_t HashTableBase;  // connection hash in adapter memory
  std::uint64_t HashChainBase;

  // The index-register lock and its routines; both drivers take it around
  // every indexed access, so no index write of one interleaves with the other's
  // data access.
  OSPrimSpinlockObject IndexRegLock;
  MifhLockRoutine IndexRegAcquire;
  MifhLockRoutine IndexRegRelease;
  // The control-queue-pair lock routines, copied into the CQP object.
  MifhLockRoutine CqpAcquire;
  MifhLockRoutine CqpRelease;

  // EEPROM and statistics buffers.
  void* EepromSection;
  void* EepromBuffer;
  std::uint32_t* StatisticsBuffer;
  std::uint32_t* PerNodeCounters;
  std::uint32_t EepromBufferSize;   // 2048
  std::uint32_t StatisticsEntries;  // 216
  std::uint32_t PerNodeStride;      // 512
  std::uint32_t TimerInterval10;

  // 64-bit counter accumulators: 26 adapter slots, then per-port blocks.
  std::uint64_t* AdapterCounterAccumulators;
  std::uint64_t* PortCounterAccumulators;
  std::uint32_t PortCounterStride;
  std::uint32_t GuardEnd;  // MIFH_DEVICE_GUARD
};
static_assert(offsetof(MifhDeviceObj, GuardStart) == 0);

// True when both guard words read four blanks.
inline bool MifhDeviceGuardsIntact(const MifhDeviceObj* device) {
  return device != nullptr && device->GuardStart == MIFH_DEVICE_GUARD && device->GuardEnd == MIFH_DEVICE_GUARD;
}

// ---- Control queue pair ---------------------------------------------------------------------------
// The completion context of one control request, owned by the requester and
// named in bytes 16-23 of the request. The CCQ processing calls the early
// routine, fills the codes, then calls the completion routine.
struct MifhCqpCompletionContext;
using MifhCqpCompletionRoutine = void (*)(void* argument);
using MifhCqpEarlyRoutine = void (*)(const zekhw::MifhCqe* entry, std::uint32_t slot, std::uint32_t codes,
                                     std::uint32_t slot_again);

struct MifhCqpCompletionContext {
  MifhCqpCompletionRoutine CompletionRoutine;
  MifhCqpEarlyRoutine EarlyRoutine;
  void* Argument;
  std::uint16_t MajorCode;
  std::uint16_t MinorCode;
  std::uint8_t ExtraByte;
  std::uint8_t Reserved0[3];
  std::uint32_t ResultWord;  // CCQ entry bytes 16-19
  std::uint8_t ErrorFlag;
  std::uint8_t OpCode;
  std::uint8_t Reserved1[6];
};
static_assert(offsetof(MifhCqpCompletionContext, CompletionRoutine) == 0);
static_assert(offsetof(MifhCqpCompletionContext, EarlyRoutine) == 8);
static_assert(offsetof(MifhCqpCompletionContext, Argument) == 16);
static_assert(offsetof(MifhCqpCompletionContext, MajorCode) == 24);
static_assert(offsetof(MifhCqpCompletionContext, MinorCode) == 26);
static_assert(offsetof(MifhCqpCompletionContext, ExtraByte) == 28);
static_assert(offsetof(MifhCqpCompletionContext, ResultWord) == 32);
static_assert(offsetof(MifhCqpCompletionContext, ErrorFlag) == 36);
static_assert(offsetof(MifhCqpCompletionContext, OpCode) == 37);

// A control request held while the CQP ring is full (pending-queue pool element).
struct MifhCqpPendingRequest {
  ZekListNode Links;
  zekhw::MifhCqpWqe Wqe;
};
static_assert(offsetof(MifhCqpPendingRequest, Wqe) == 16);
static_assert(sizeof(MifhCqpPendingRequest) <= 88);

// The bytes of the lock block a CQP allocates for its spin-lock object.
inline constexpr std::uint32_t MIFH_CQP_LOCK_BLOCK_BYTES = 128;

struct MifhCqpObject {
  MifhDeviceObj* Device;
  void* DeviceHolder;   // the record through which the owner reaches the device object
  std::uint32_t CqpId;  // F or F + 8
  std::uint32_t Reserved0;
  zekhw::MifhCqpWqe* Ring;  // WQE slots of 64 bytes
  zekhw::MifhCqpHostContext* HostContext;
  std::uint64_t RingPa;
  std::uint64_t HostContextPa;
  std::uint8_t SizeCode;
  std::uint8_t FromPools;  // ring, context and object came from mifh_cqp_allocate
  std::uint8_t Reserved1[2];
  ZEK_OSPRIM_RING RingIndex;   // Head: next slot to fill; Tail: oldest request not yet completed
  std::uint32_t Four;          // 4 at init
  OSPrimSpinlockObject* Lock;  // inside a 128-byte block
  MifhLockRoutine Acquire;
  MifhLockRoutine Release;
  ZekListHead PendingQueue;  // requests waiting for a ring slot, oldest first
  // The completion context whose routines the CCQ processing is running
  // (0 when none): a requester that gives up on its context waits while it
  // is named here, so no routine runs on a context whose owner has gone.
  std::uint64_t Completing;
};

// ---- Completion queues ----------------------------------------------------------------------------
// Kind of a CQ object.
inline constexpr std::uint8_t MIFH_CQ_KIND_NIC = 1;
inline constexpr std::uint8_t MIFH_CQ_KIND_IWARP = 3;

// The asynchronous-event record inside each QP or CQ object.
inline constexpr std::uint32_t MIFH_ASYNC_EVENT_KIND = 2;
struct MifhAsyncEventRecord {
  std::uint32_t EventCode;
  std::uint32_t Kind;      // MIFH_ASYNC_EVENT_KIND
  std::uint64_t ObjectId;  // the object's id in its adapter's event ring
};
static_assert(sizeof(MifhAsyncEventRecord) == 16);
static_assert(offsetof(MifhAsyncEventRecord, EventCode) == 0);
static_assert(offsetof(MifhAsyncEventRecord, Kind) == 4);
static_assert(offsetof(MifhAsyncEventRecord, ObjectId) == 8);

// Bytes of a CQ object as its pool hands it out; the fields below use part
// of it and the rest is kept for the queue's owners (the NIC transmit ring,
// the verbs completion queue).
inline constexpr std::uint32_t MIFH_CQ_OBJECT_BYTES = 488;

struct MifhCqObject {
  MifhDeviceObj* Device;
  std::uint32_t CqId;
  std::uint32_t CeqId;
  void* Ring;  // entries of 32 (iWARP, CCQ) or 16 (NIC) bytes
  // Head: up to where the adapter may write (CCQ: next entry to read);
  // Tail: next entry to read.
  ZEK_OSPRIM_RING RingIndex;
  std::uint8_t Enable;
  std::uint8_t Kind;  // MIFH_CQ_KIND_*
  std::uint8_t Reserved0[2];
  std::uint64_t RingPa;
  volatile std::uint32_t* UserDoorbell;  // null for kernel CQs
  void* PageList;                        // virtually mapped CQs
  std::uint32_t Signature;               // MIFH_CQ_SIGNATURE
  std::uint32_t ElementCount;
  std::uint32_t ParameterWord;
  std::uint8_t FlagP;
  std::uint8_t FlagV;
  std::uint8_t Reserved1[2];
  MifhAsyncEventRecord AsyncEvent;
  std::uint8_t OwnerArea[MIFH_CQ_OBJECT_BYTES - 96];  // the NIC transmit ring or the verbs CQ's fields
};
static_assert(offsetof(MifhCqObject, AsyncEvent) == 80);
static_assert(sizeof(MifhCqObject) == MIFH_CQ_OBJECT_BYTES);

// ---- Event queues ---------------------------------------------------------------------------------
struct MifhCeqObject {
  MifhDeviceObj* Device;
  std::uint32_t CeqId;
  std::uint32_t ElementCount;
  std::uint64_t RingPa;
  std::uint64_t* Ring;        // 8-byte CEQEs
  ZEK_OSPRIM_RING RingIndex;  // the reader takes the entry at Tail
  std::uint32_t Reserved;
};

struct MifhAeqObject {
  MifhDeviceObj* Device;
  std::uint32_t AeqId;
  std::uint32_t ElementCount;
  std::uint64_t RingPa;
  void* Ring;  // 16-byte AEQEs
  ZEK_OSPRIM_RING RingIndex;
  std::uint32_t Reserved;
};

// ---- Base object and hardware information ---------------------------------------------------------
struct MifhPdObject {
  MifhDeviceObj* Device;
  std::uint32_t PdId;
  std::uint32_t Magic;  // MIFH_PD_MAGIC
  std::uint32_t Zero[3];
  std::uint32_t Reserved;
};

struct BaseDeviceObj {
  std::uint32_t Signature;  // MIFH_BASE_SIGNATURE
  std::uint32_t Version;    // MIFH_BASE_VERSION
  MifhCeqObject* Ceq0;
  MifhCeqObject* Ceq1;
  MifhCeqObject* Ceq2;
  MifhAeqObject* Aeq;
  MifhCqpObject* Cqp;
  MifhCqObject* Ccq;
  MifhPdObject* Pd;
  MifhDeviceObj* Device;
};
static_assert(offsetof(BaseDeviceObj, Signature) == 0);
static_assert(offsetof(BaseDeviceObj, Version) == 4);
static_assert(offsetof(BaseDeviceObj, Ceq0) == 8);
static_assert(offsetof(BaseDeviceObj, Ceq1) == 16);
static_assert(offsetof(BaseDeviceObj, Ceq2) == 24);
static_assert(offsetof(BaseDeviceObj, Aeq) == 32);
static_assert(offsetof(BaseDeviceObj, Cqp) == 40);
static_assert(offsetof(BaseDeviceObj, Ccq) == 48);
static_assert(offsetof(BaseDeviceObj, Pd) == 56);
static_assert(offsetof(BaseDeviceObj, Device) == 64);

// Bytes of a queue-pair object (its layout comes with the queue-pair operations).
inline constexpr std::uint32_t MIFH_QP_OBJECT_BYTES = 1232;

// One per PCI function, built zeroed by the miniport with its adapter block.
struct NIC_HW_INFO {
  std::uint32_t Signature;  // NIC_HW_INFO_SIGNATURE
  std::uint32_t Version;    // NIC_HW_INFO_VERSION
  void* CardTables;         // the board's ARP and IP tables
  MifhAeqObject Aeq;
  MifhCeqObject Ceq0;  // the miniport's, id F
  MifhCeqObject Ceq1;  // the proxy driver's bottom half, id F + 8
  MifhCeqObject Ceq2;  // neither initialised nor created
  MifhCqObject Ccq;
  MifhCqpObject Cqp;
  MifhDeviceObj Device;
  MifhCqObject NicCq;                                   // the miniport's NIC completion queue
  alignas(8) std::uint8_t NicQp[MIFH_QP_OBJECT_BYTES];  // the miniport's NIC queue pair
  MifhPdObject Pd;
  MifhCqpCompletionContext NicQpCreateContext;
  void (*NicReinitialise)(void* adapter);
  void* Adapter;
  std::uint8_t SharedTimerImage[19];
  std::uint8_t Reserved[5];
  BaseDeviceObj Base;
  std::uint32_t DeviceObjectInitialised;
  std::uint32_t Reserved2;
  // The proxy driver's own NIC queue pair and its completion queue (ids F + 24),
  // linked here while they exist.
  std::uint32_t ProxyNicQpId;
  std::uint32_t ProxyNicCqId;
  void* ProxyNicQp;
  MifhCqObject* ProxyNicCq;
  // Processes the function's control completions on behalf of a waiter that
  // cannot sleep (the NIC queue-pair destruction); set by the CCQ's owner,
  // which serialises it with its own processing. May be null.
  void (*ControlDrain)(void* context);
  void* ControlDrainContext;
};
static_assert(offsetof(NIC_HW_INFO, Signature) == 0);
static_assert(offsetof(NIC_HW_INFO, Version) == 4);
static_assert(offsetof(NIC_HW_INFO, CardTables) == 8);
