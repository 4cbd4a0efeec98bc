// zekhnic: the adapter block, the driver's globals and the routines of the
// miniport's frame (entry and unload, initialise, halt, pause, restart,
// shutdown, PnP events, the link indication) and of its registry
// configuration. One adapter block per PCI function.
//
// The hardware bring-up and teardown are in miniport/bringup.h, the
// interrupt path and the send and receive paths in miniport/datapath.h, OID
// requests and the control devices in miniport/oid.h and miniport/control.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/zek/mifh.h"
#include "include/zek/nicproxy.h"
#include "include/zek/osprim.h"
#include "miniport/oid_state.h"
#include "platform/ndis/ndis.h"

inline constexpr ULONG ZEK_POOL_TAG = 0x4B45485A;  // "ZHEK"

// PCI identity of the adapter.
inline constexpr std::uint16_t ZEK_VENDOR_ID = 0x1678;
inline constexpr std::uint16_t ZEK_DEVICE_ID = 0x0100;
inline constexpr std::uint16_t ZEK_PCI_COMMAND_WANTED = 0x47;  // I/O, memory, bus master, parity
inline constexpr std::uint32_t ZEK_PCI_FUNCTION_REGISTER = 0x4C;
inline constexpr ULONG ZEK_REGISTER_WINDOW_BYTES = 4096;
// The third memory range of a function, when there is one, is its
// configuration window: the capability words the device initialisation reads.
inline constexpr unsigned ZEK_CONFIG_WINDOW = 2;

// ---- The registry values inside the NIC-proxy record -----------------------------------------------
// The record of include/zek/nicproxy.h continues with the miniport's own
// area, where the keyword table stores the registry values: each at its
// place in the record (checked below), read and written by name. The
// keyword table takes each value's offset and size from the record.
inline constexpr std::uint32_t ZEK_PROXY_RECORD_BYTES = 1512;

struct ZekProxyRecord {
  NicProxyInterface Shared;
  std::uint8_t Reserved248[1240 - sizeof(NicProxyInterface)];
  std::uint32_t OffloadEnable;        // checksum offload
  std::uint32_t DebugLevel;           // copied to the driver's debug level
  std::uint32_t Tuning;               // tuning profile
  std::uint32_t LimitMaxReadReqSize;  // PCI Express read-request limit
  std::uint32_t SendQueueSize;        // NIC send ring and send buffers
  std::uint32_t RecvQueueSize;        // NIC receive ring and receive buffers
  std::uint8_t Reserved1264[8];
  std::uint32_t ToeSendQueueSize;  // offloaded-TCP send queue size class
  std::uint32_t ToeRecvQueueSize;  // offloaded-TCP receive queue size class
  std::uint32_t ToeImmediateAck;
  std::uint32_t ToeWindowUpdateFrequency;
  std::uint8_t Reserved1288[20];
  std::uint32_t AeqElem;  // asynchronous event queue entries
  std::uint32_t Reserved1312;
  std::uint32_t CeqElem;  // completion event queue entries
  std::uint32_t Reserved1320;
  std::uint32_t Ceq2Elem;  // second completion event queue entries
  std::uint32_t Reserved1328;
  std::uint32_t CeqRssElem;  // receive-scaling completion event queue entries
  std::uint32_t Reserved1336;
  std::uint32_t ContrlQpElem;  // control queue pair entries
  std::uint32_t Reserved1344;
  std::uint32_t ControlCompQElem;  // control completion queue entries
  std::uint8_t Reserved1352[1463 - 1352];
  std::uint8_t JumboFrames;  // 9000-byte frames
  std::uint8_t Lso;          // large-send offload
  std::uint8_t Dhcp0;        // the proxy driver's SAN address comes from DHCP
  std::uint8_t Dhcp1;        // read and kept
  std::uint8_t Reserved1467[1488 - 1467];
  std::uint32_t AlignHeaders;
  std::uint32_t RdmaOoo;  // RDMA out-of-order placement
  std::uint8_t Reserved1496[8];
  std::uint32_t MacPause;     // MAC pause frames
  std::uint32_t VlanEnabled;  // the VLAN ID; 0 = no VLAN
};
static_assert(sizeof(ZekProxyRecord) == ZEK_PROXY_RECORD_BYTES);
static_assert(offsetof(ZekProxyRecord, Shared) == 0);
static_assert(offsetof(ZekProxyRecord, OffloadEnable) == 1240);
static_assert(offsetof(ZekProxyRecord, DebugLevel) == 1244);
static_assert(offsetof(ZekProxyRecord, Tuning) == 1248);
static_assert(offsetof(ZekProxyRecord, LimitMaxReadReqSize) == 1252);
static_assert(offsetof(ZekProxyRecord, SendQueueSize) == 1256);
static_assert(offsetof(ZekProxyRecord, RecvQueueSize) == 1260);
static_assert(offsetof(ZekProxyRecord, ToeSendQueueSize) == 1272);
static_assert(offsetof(ZekProxyRecord, ToeRecvQueueSize) == 1276);
static_assert(offsetof(ZekProxyRecord, ToeImmediateAck) == 1280);
static_assert(offsetof(ZekProxyRecord, ToeWindowUpdateFrequency) == 1284);
static_assert(offsetof(ZekProxyRecord, AeqElem) == 1308);
static_assert(offsetof(ZekProxyRecord, CeqElem) == 1316);
static_assert(offsetof(ZekProxyRecord, Ceq2Elem) == 1324);
static_assert(offsetof(ZekProxyRecord, CeqRssElem) == 1332);
static_assert(offsetof(ZekProxyRecord, ContrlQpElem) == 1340);
static_assert(offsetof(ZekProxyRecord, ControlCompQElem) == 1348);
static_assert(offsetof(ZekProxyRecord, JumboFrames) == 1463);
static_assert(offsetof(ZekProxyRecord, Lso) == 1464);
static_assert(offsetof(ZekProxyRecord, Dhcp0) == 1465);
static_assert(offsetof(ZekProxyRecord, Dhcp1) == 1466);
static_assert(offsetof(ZekProxyRecord, AlignHeaders) == 1488);
static_assert(offsetof(ZekProxyRecord, RdmaOoo) == 1492);
static_assert(offsetof(ZekProxyRecord, MacPause) == 1504);
static_assert(offsetof(ZekProxyRecord, VlanEnabled) == 1508);

// ---- Adapter state -----------------------------------------------------------------------------------
enum ZekNdisState : std::uint32_t {
  ZEK_STATE_HALTED = 0,
  ZEK_STATE_SHUTDOWN = 1,
  ZEK_STATE_INITIALIZING = 2,
  ZEK_STATE_PAUSED = 3,
  ZEK_STATE_RESTARTING = 4,
  ZEK_STATE_RUNNING = 5,
  ZEK_STATE_PAUSING = 6,
  ZEK_STATE_HALTING = 7,
};
enum ZekDataPath : std::uint32_t { ZEK_DATAPATH_PAUSED = 0, ZEK_DATAPATH_PAUSING = 1, ZEK_DATAPATH_RUNNING = 2 };

inline constexpr std::uint32_t ZEK_FLAG_INTERRUPT_REGISTERED = 0x00000008;
inline constexpr std::uint32_t ZEK_FLAG_NON_RECOVERABLE = 0x00800000;
inline constexpr std::uint32_t ZEK_FLAG_RESET_IN_PROGRESS = 0x01000000;
inline constexpr std::uint32_t ZEK_FLAG_LINK_DOWN = 0x02000000;
inline constexpr std::uint32_t ZEK_FLAG_HARDWARE_ERROR = 0x04000000;
inline constexpr std::uint32_t ZEK_FLAG_REMOVAL = 0x08000000;
inline constexpr std::uint32_t ZEK_FLAG_HALT_IN_PROGRESS = 0x10000000;

inline constexpr std::uint32_t ZEK_LINK_INDICATED_DOWN = 0xDDDD;
inline constexpr std::uint32_t ZEK_LINK_INDICATED_UP = 0x5A5A;

struct ZekRegisterWindow {
  volatile std::uint8_t* Va;
  NDIS_PHYSICAL_ADDRESS Pa;
  ULONG Length;
};

// One block of non-cached shared memory: as allocated, and its start moved
// up to the next 4096-byte boundary (the address the queue uses; virtual
// and physical name the same byte).
struct ZekSharedBlock {
  void* Va;
  NDIS_PHYSICAL_ADDRESS Pa;
  ULONG Length;
  std::uint8_t* Aligned;
  std::uint64_t AlignedPa;
};

struct ZekSharedTimer;
struct CardTables;
struct ZekMdioLock;
struct ZekLinkLock;
struct ZekMulticastResources;
struct ZekSendPath;
struct ZekRecvPath;

// The adapter block. The NIC-proxy record begins 40 bytes into it.
struct ZEK_ADAPTER {
  ZEK_ADAPTER* Next;
  ZEK_ADAPTER* Prev;
  NDIS_HANDLE InterruptHandle;
  NDIS_HANDLE DmaHandle;
  NDIS_HANDLE LinkTimer;
  ZekProxyRecord Proxy;

  NDIS_SPIN_LOCK ResetLock;
  NDIS_SPIN_LOCK SendLock;
  NDIS_SPIN_LOCK AdapterLock;
  NIC_HW_INFO* HwInfo;
  NDIS_HANDLE MiniportAdapterHandle;

  // The register window, the doorbell window and, when the function has a
  // third memory range, the configuration window (ZEK_CONFIG_WINDOW).
  ZekRegisterWindow Window[3];
  ULONG InterruptLevel;
  ULONG InterruptVector;
  KAFFINITY InterruptAffinity;
  BOOLEAN MessageInterruptsPossible;
  NDIS_INTERRUPT_TYPE InterruptType;

  // PCI: the function-number register and its fields; the chip revision.
  std::uint32_t FunctionRegister;
  std::uint32_t PciFunction;  // bits 0-2
  std::uint32_t FunctionBits3to7;
  std::uint32_t FunctionBits8to15;
  std::uint32_t ChipRevision;
  std::uint16_t SubsystemVendorId;
  std::uint16_t SubsystemId;

  // MAC addresses.
  std::uint8_t CurrentMac[6];
  std::uint8_t PermanentMac[6];
  std::uint8_t SanMac[6];
  std::uint8_t BaseMac[6];
  BOOLEAN NetworkAddressOverride;
  std::uint32_t BoardKey;  // low four bytes of the board's MAC
  std::uint16_t BoardMacHigh;

  // Link state.
  std::uint32_t LinkDown;  // 1 = down
  std::uint32_t PreviousLinkDown;
  std::uint32_t LinkChanged;
  std::uint32_t LinkIndicated;  // ZEK_LINK_INDICATED_*
  std::uint32_t LinkUpCount;
  volatile LONG LinkDpcRunning;
  NDIS_EVENT LinkDpcDone;

  volatile std::uint32_t NdisState;  // ZekNdisState
  volatile std::uint32_t DataPath;   // ZekDataPath
  std::uint32_t Flags;               // under the adapter lock
  volatile LONG HardwareReady;
  volatile LONG DpcRunning;
  // Set by the halt before it calls the proxy driver's detach: the DPC
  // calls no proxy slot once it is set.
  volatile LONG ProxySlotsClosed;

  // Frame sizes.
  ULONG64 LinkSpeed;
  ULONG MaxFrameSize;
  ULONG LookaheadSize;
  ULONG MtuSize;
  ULONG RxBufferSize;

  // Receive buffers held by NDIS and the event the halt waits on.
  volatile LONG RxReturnCount;
  NDIS_EVENT RxReturnEvent;
  NDIS_EVENT ResetDoneEvent;

  NDIS_HANDLE IoWorkItem;

  // Bring-up: the queue blocks, what of them was created on the adapter
  // (ZEK_BUILT_* bits), and what the bring-up read.
  ZekSharedBlock Blocks[10];
  BOOLEAN ResourcesAllocated;
  BOOLEAN BoardRegistered;  // counted in the driver's table of boards in bring-up
  BOOLEAN LoadCounted;      // the adapter's load count includes this function
  std::uint32_t Built;
  std::uint32_t EepromMajor;
  std::uint32_t PhyType;
  std::uint32_t MemFreeNic;
  std::uint32_t Flags8E8[3];  // indexed register 0x8E8: bit 0, bit 1, bits 2-3

  // The reset chain's control requests (destroy the NIC queue pair and its
  // completion queue, create both again); they live as long as the adapter.
  MifhCqpCompletionContext ResetContext[4];
  volatile LONG ResetChainDone;  // 1 when the chain ended, 2 when it failed
  // The reset was the data-path start's, not NDIS's: its completion
  // indicates the link again instead of completing an NDIS reset.
  BOOLEAN ResetForDataPath;

  // The multicast list of the last set request.
  std::uint8_t MulticastList[32][6];
  std::uint32_t MulticastCount;

  // Per-board objects this function holds a reference on.
  ZekSharedTimer* SharedTimer;
  CardTables* Tables;
  ZekMdioLock* MdioLock;
  ZekLinkLock* LinkLock;
  ZekMulticastResources* Multicast;
  HwScratchpadObj* Scratchpad;

  // The per-adapter device's names: "\Device\" and "\DosDevices\" + prefix + NetCfgInstanceId.
  WCHAR DeviceName[128];
  WCHAR SymbolicName[128];
  WCHAR InstanceId[64];
  BOOLEAN DeviceNamesSet;
  BOOLEAN DeviceRegistered;
  BOOLEAN ListLinked;

  // ---- The data path (miniport/datapath.h) ----
  ZekSendPath* Send;       // under SendLock
  ZekRecvPath* Recv;       // under AdapterLock
  NDIS_SPIN_LOCK CcqLock;  // serialises the control completions' processing
  ULONG PacketFilter;      // NDIS_PACKET_TYPE_* bits
  ULONG DpcBudgetMs;       // the DPC's time budget (ZEK_DPC_BUDGET_MS)
  LONGLONG DpcStartTime;
  std::uint64_t DpcCount;        // DPC runs
  std::uint64_t DpcPasses;       // completed (unmasked) passes
  std::uint64_t IsrOurs;         // interrupts claimed
  std::uint64_t IsrForeign;      // interrupts that were not the function's
  std::uint64_t NoOpsPosted;     // DPCs that handed work on to a new interrupt
  std::uint64_t AsyncEvents;     // AEQ entries taken
  std::uint64_t LinkDownEvents;  // the link changes the DPC took from the MAC status (bits 1 and 2)
  std::uint64_t LinkUpEvents;
  std::uint32_t DpcLoopMax;
  BOOLEAN InterruptsEnabled;

  // OID requests, statistics, the control devices and the SerDes timer (miniport/oid.h).
  ZekOidState Oid;
};
static_assert(offsetof(ZEK_ADAPTER, Proxy) == NIC_PROXY_ADAPTER_OFFSET);

// ---- Driver globals ------------------------------------------------------------------------------------
struct ZekDriverGlobals {
  NDIS_HANDLE DriverHandle;
  ZEK_ADAPTER* ListHead;
  ZEK_ADAPTER* ListTail;
  std::uint32_t AdapterCount;
  OSPrimSpinlockObject ListLock;
  OSPrimSpinlockObject SharedResourceLock;  // per-board object tables
  OSPrimSpinlockObject ThirdLock;
  std::uint32_t DebugLevel;
  volatile LONG DeviceRegistrationFlag;
  // Boards with a function in bring-up or running, by board key, under the
  // shared-resource lock: the first function of a board resets it, the others
  // do not, also when they initialise at the same time.
  struct {
    std::uint32_t BoardKey;
    std::uint32_t Functions;
  } Boards[16];
};
extern ZekDriverGlobals g_Zek;

// ---- Entry points ------------------------------------------------------------------------------------------
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
void ZekUnload(PDRIVER_OBJECT DriverObject);
NDIS_STATUS ZekInitialize(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportDriverContext,
                          PNDIS_MINIPORT_INIT_PARAMETERS InitParameters);
void ZekHalt(NDIS_HANDLE MiniportAdapterContext, NDIS_HALT_ACTION HaltAction);
NDIS_STATUS ZekPause(NDIS_HANDLE MiniportAdapterContext, PNDIS_MINIPORT_PAUSE_PARAMETERS PauseParameters);
NDIS_STATUS ZekRestart(NDIS_HANDLE MiniportAdapterContext, PNDIS_MINIPORT_RESTART_PARAMETERS RestartParameters);
void ZekShutdown(NDIS_HANDLE MiniportAdapterContext, NDIS_SHUTDOWN_ACTION ShutdownAction);
void MPPnPEventNotify(NDIS_HANDLE MiniportAdapterContext, PNET_DEVICE_PNP_EVENT NetDevicePnPEvent);
void ZekCancelOidRequest(NDIS_HANDLE MiniportAdapterContext, PVOID RequestId);
// The hang check, every second: TRUE (NDIS resets) for a hardware error once
// the hardware is ready, a stalled send ring, or frames the adapter still
// holds when the link has been down for ZEK_LINK_DOWN_CHECKS checks;
// otherwise it refreshes the link and answers FALSE.
BOOLEAN MPCheckForHang(NDIS_HANDLE MiniportAdapterContext);
// MiniportResetEx and the adapter reset: the NIC queue pair and its
// completion queue are destroyed and created again; NDIS hears of the end
// through NdisMResetComplete (OSResetComplete).
NDIS_STATUS ZekReset(NDIS_HANDLE MiniportAdapterContext, PBOOLEAN AddressingReset);
NDIS_STATUS ZekAdapterReset(ZEK_ADAPTER* adapter);
void OSResetComplete(ZEK_ADAPTER* adapter, NDIS_STATUS status);
// The data path's start: the same reset on the reset's work item, ending in
// the link's indication instead of NdisMResetComplete. False when a reset
// already runs (it fills the rings again itself) or the adapter has failed.
bool ZekDataPathReset(ZEK_ADAPTER* adapter);
// Reads the port's link under the board's link lock and indicates a change.
void ZekRefreshLink(ZEK_ADAPTER* adapter);

// ---- The frame's own routines -----------------------------------------------------------------------------
// A zeroed adapter block with its NIC_HW_INFO, locks, events and work item; null on failure.
ZEK_ADAPTER* MpAllocateAdapter(NDIS_HANDLE MiniportAdapterHandle);
// PCI configuration and translated resources (step 4 of initialisation).
NDIS_STATUS MpFindAdapter(ZEK_ADAPTER* adapter, PNDIS_RESOURCE_LIST resources);
// Maps the windows MpFindAdapter found (step 5 of initialisation).
NDIS_STATUS MpMapWindows(ZEK_ADAPTER* adapter);
// Frees whatever of the adapter exists, in the order halt needs; tolerates
// a partly built adapter.
void MpFreeAdapter(ZEK_ADAPTER* adapter);
// Halt's step with the proxy driver: waits (bounded) for an attach in
// progress or holding the record, closes the attach gate and the proxy's
// slots to the DPC, waits for the DPC, then calls the detach routine unless
// the proxy detached by itself or an attach still holds the record (that
// attach undoes itself; see the attach gate in include/zek/nicproxy.h).
void MpDetachProxy(ZEK_ADAPTER* adapter);
// Frees the blocks of halted adapters whose attach holds are all back (the
// halt of an adapter whose record was still held keeps its block); answers
// how many are still held. Unloading forgets those, which stay allocated.
std::uint32_t ZekFreeReleasedAdapterBlocks(BOOLEAN unloading);
// How long the halt waits for an attach in progress, and for the DPC.
inline constexpr ULONG ZEK_ATTACH_WAIT_MS = 30'000;
inline constexpr ULONG ZEK_DPC_WAIT_MS = 10'000;

// Sets the link-down state the PHY reported and indicates a change to NDIS:
// up only after a down indication, down only after an up indication, and
// nothing while the link DPC runs or while the adapter restarts or resets.
void ZekSetLinkState(ZEK_ADAPTER* adapter, BOOLEAN link_down);
// Sets this function's receive-enable bit (indexed register 0x6010).
void ZekEnableNicReception(ZEK_ADAPTER* adapter);

// The adapter list.
void ZekListAppend(ZEK_ADAPTER* adapter);
void ZekListRemove(ZEK_ADAPTER* adapter);
// The adapter whose PCI function is the given one, or null.
ZEK_ADAPTER* ZekFindAdapterByFunction(std::uint32_t function);

// ---- Registry configuration ------------------------------------------------------------------------------
struct ZekKeyword {
  NDIS_STRING Keyword;
  std::uint32_t Required;
  std::uint32_t Offset;  // of the value's field in the NIC-proxy record (ZekProxyRecord)
  std::uint32_t Size;    // the field's size: 1, 2 or 4
  std::uint32_t Default;
  std::uint32_t Minimum;
  std::uint32_t Maximum;
};
inline constexpr std::size_t ZEK_KEYWORD_COUNT = 24;
extern const ZekKeyword ZekKeywordTable[ZEK_KEYWORD_COUNT];

// Reads the keywords, NetworkAddress, IPADDRESS0, NetMask0 and the device
// names; closes the configuration. NDIS_STATUS_FAILURE only for a missing
// required keyword (none is required).
NDIS_STATUS ZekReadRegParameters(ZEK_ADAPTER* adapter, NDIS_HANDLE configuration);
// Dotted-decimal text to a host-order address (1 to 4 parts); all ones when
// it does not parse.
std::uint32_t ZekInetAddr(const char* text);
