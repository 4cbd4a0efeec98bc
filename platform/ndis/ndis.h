// The NDIS stand-in as a miniport driver sees it: registration and the
// handler table, miniport attributes, configuration, PCI configuration
// space and translated resources, register windows, shared memory,
// interrupts, scatter-gather DMA, net buffer lists, send completion and
// receive indication, OID requests, status indications, timers, work
// items, control devices and the error log.
//
// Names, shapes and numbers follow the routines the miniport calls; each
// record carries only the members that code here uses. The host side (how
// adapters are bound and driven, and what tests observe) is host.h.
#pragma once

#include <cstdint>

#include "platform/kernel/driver.h"
#include "platform/kernel/interrupt.h"
#include "platform/ndis/ndis_status.h"

using NDIS_HANDLE = void*;
using PNDIS_HANDLE = NDIS_HANDLE*;
using NDIS_OID = ULONG;
using NDIS_STRING = UNICODE_STRING;
using PNDIS_STRING = NDIS_STRING*;
using NDIS_PHYSICAL_ADDRESS = PHYSICAL_ADDRESS;
using PNDIS_PHYSICAL_ADDRESS = NDIS_PHYSICAL_ADDRESS*;
using NDIS_PORT_NUMBER = ULONG;
using NDIS_ERROR_CODE = ULONG;
using PUINT = UINT*;

// A counted UTF-16 constant for keywords and names.
#define NDIS_STRING_CONST(x) \
  NDIS_STRING { sizeof(u"" x) - 2, sizeof(u"" x), const_cast<PWSTR>(u"" x) }

// ---- Object headers -------------------------------------------------------------------------------
struct NDIS_OBJECT_HEADER {
  UCHAR Type;
  UCHAR Revision;
  USHORT Size;
};

inline constexpr UCHAR NDIS_OBJECT_TYPE_DEFAULT = 0x80;
inline constexpr UCHAR NDIS_OBJECT_TYPE_SG_DMA_DESCRIPTION = 0x83;
inline constexpr UCHAR NDIS_OBJECT_TYPE_MINIPORT_INTERRUPT = 0x84;
inline constexpr UCHAR NDIS_OBJECT_TYPE_MINIPORT_DRIVER_CHARACTERISTICS = 0x8A;
inline constexpr UCHAR NDIS_OBJECT_TYPE_TIMER_CHARACTERISTICS = 0x97;
inline constexpr UCHAR NDIS_OBJECT_TYPE_MINIPORT_ADAPTER_REGISTRATION_ATTRIBUTES = 0x9E;
inline constexpr UCHAR NDIS_OBJECT_TYPE_MINIPORT_ADAPTER_GENERAL_ATTRIBUTES = 0x9F;
inline constexpr UCHAR NDIS_OBJECT_TYPE_MINIPORT_ADAPTER_OFFLOAD_ATTRIBUTES = 0xA0;

// ---- Resources ---------------------------------------------------------------------------------------
inline constexpr UCHAR CmResourceTypeInterrupt = 2;
inline constexpr UCHAR CmResourceTypeMemory = 3;
inline constexpr USHORT CM_RESOURCE_INTERRUPT_LATCHED = 0x0001;
inline constexpr USHORT CM_RESOURCE_INTERRUPT_MESSAGE = 0x0002;

struct CM_PARTIAL_RESOURCE_DESCRIPTOR {
  UCHAR Type;
  UCHAR ShareDisposition;
  USHORT Flags;
  union {
    struct {
      PHYSICAL_ADDRESS Start;
      ULONG Length;
    } Memory;
    struct {
      ULONG Level;
      ULONG Vector;
      KAFFINITY Affinity;
    } Interrupt;
  } u;
};

struct CM_PARTIAL_RESOURCE_LIST {
  USHORT Version;
  USHORT Revision;
  ULONG Count;
  CM_PARTIAL_RESOURCE_DESCRIPTOR PartialDescriptors[1];
};
using NDIS_RESOURCE_LIST = CM_PARTIAL_RESOURCE_LIST;
using PNDIS_RESOURCE_LIST = NDIS_RESOURCE_LIST*;

// ---- Handlers and their parameter records ---------------------------------------------------------------
struct NDIS_MINIPORT_INIT_PARAMETERS {
  NDIS_OBJECT_HEADER Header;
  ULONG Flags;
  PNDIS_RESOURCE_LIST AllocatedResources;
  ULONG IfIndex;
};
using PNDIS_MINIPORT_INIT_PARAMETERS = NDIS_MINIPORT_INIT_PARAMETERS*;

struct NDIS_MINIPORT_PAUSE_PARAMETERS {
  NDIS_OBJECT_HEADER Header;
  ULONG Flags;
  ULONG PauseReason;
};
using PNDIS_MINIPORT_PAUSE_PARAMETERS = NDIS_MINIPORT_PAUSE_PARAMETERS*;

struct NDIS_MINIPORT_RESTART_PARAMETERS {
  NDIS_OBJECT_HEADER Header;
  ULONG Flags;
};
using PNDIS_MINIPORT_RESTART_PARAMETERS = NDIS_MINIPORT_RESTART_PARAMETERS*;

enum NDIS_HALT_ACTION {
  NdisHaltDeviceDisabled,
  NdisHaltDeviceInstanceDeInstalled,
  NdisHaltDevicePoweredDown,
  NdisHaltDeviceSurpriseRemoved,
  NdisHaltDeviceFailed,
  NdisHaltDeviceInitializationFailed,
  NdisHaltDeviceStopped,
};

enum NDIS_SHUTDOWN_ACTION { NdisShutdownPowerOff, NdisShutdownBugCheck };

enum NDIS_DEVICE_PNP_EVENT {
  NdisDevicePnPEventQueryRemoved,
  NdisDevicePnPEventRemoved,
  NdisDevicePnPEventSurpriseRemoved,
  NdisDevicePnPEventQueryStopped,
  NdisDevicePnPEventStopped,
  NdisDevicePnPEventPowerProfileChanged,
  NdisDevicePnPEventFilterListChanged,
  NdisDevicePnPEventMaximum,
};

struct NET_DEVICE_PNP_EVENT {
  NDIS_OBJECT_HEADER Header;
  NDIS_PORT_NUMBER PortNumber;
  NDIS_DEVICE_PNP_EVENT DevicePnPEvent;
  PVOID InformationBuffer;
  ULONG InformationBufferLength;
};
using PNET_DEVICE_PNP_EVENT = NET_DEVICE_PNP_EVENT*;

struct NET_BUFFER_LIST;
struct NET_BUFFER;
using PNET_BUFFER_LIST = NET_BUFFER_LIST*;
using PNET_BUFFER = NET_BUFFER*;
struct NDIS_OID_REQUEST;
using PNDIS_OID_REQUEST = NDIS_OID_REQUEST*;

using MINIPORT_SET_OPTIONS = NDIS_STATUS (*)(NDIS_HANDLE NdisDriverHandle, NDIS_HANDLE DriverContext);
using MINIPORT_INITIALIZE = NDIS_STATUS (*)(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportDriverContext,
                                            PNDIS_MINIPORT_INIT_PARAMETERS MiniportInitParameters);
using MINIPORT_HALT = void (*)(NDIS_HANDLE MiniportAdapterContext, NDIS_HALT_ACTION HaltAction);
using MINIPORT_UNLOAD = void (*)(PDRIVER_OBJECT DriverObject);
using MINIPORT_PAUSE = NDIS_STATUS (*)(NDIS_HANDLE MiniportAdapterContext,
                                       PNDIS_MINIPORT_PAUSE_PARAMETERS PauseParameters);
using MINIPORT_RESTART = NDIS_STATUS (*)(NDIS_HANDLE MiniportAdapterContext,
                                         PNDIS_MINIPORT_RESTART_PARAMETERS RestartParameters);
using MINIPORT_OID_REQUEST = NDIS_STATUS (*)(NDIS_HANDLE MiniportAdapterContext, PNDIS_OID_REQUEST OidRequest);
using MINIPORT_SEND_NET_BUFFER_LISTS = void (*)(NDIS_HANDLE MiniportAdapterContext, PNET_BUFFER_LIST NetBufferList,
                                                NDIS_PORT_NUMBER PortNumber, ULONG SendFlags);
using MINIPORT_RETURN_NET_BUFFER_LISTS = void (*)(NDIS_HANDLE MiniportAdapterContext, PNET_BUFFER_LIST NetBufferLists,
                                                  ULONG ReturnFlags);
using MINIPORT_CANCEL_SEND = void (*)(NDIS_HANDLE MiniportAdapterContext, PVOID CancelId);
using MINIPORT_CHECK_FOR_HANG = BOOLEAN (*)(NDIS_HANDLE MiniportAdapterContext);
using MINIPORT_RESET = NDIS_STATUS (*)(NDIS_HANDLE MiniportAdapterContext, PBOOLEAN AddressingReset);
using MINIPORT_DEVICE_PNP_EVENT_NOTIFY = void (*)(NDIS_HANDLE MiniportAdapterContext,
                                                  PNET_DEVICE_PNP_EVENT NetDevicePnPEvent);
using MINIPORT_SHUTDOWN = void (*)(NDIS_HANDLE MiniportAdapterContext, NDIS_SHUTDOWN_ACTION ShutdownAction);
using MINIPORT_CANCEL_OID_REQUEST = void (*)(NDIS_HANDLE MiniportAdapterContext, PVOID RequestId);

struct NDIS_MINIPORT_DRIVER_CHARACTERISTICS {
  NDIS_OBJECT_HEADER Header;
  UCHAR MajorNdisVersion;
  UCHAR MinorNdisVersion;
  UCHAR MajorDriverVersion;
  UCHAR MinorDriverVersion;
  ULONG Flags;
  MINIPORT_SET_OPTIONS SetOptionsHandler;
  MINIPORT_INITIALIZE InitializeHandlerEx;
  MINIPORT_HALT HaltHandlerEx;
  MINIPORT_UNLOAD UnloadHandler;
  MINIPORT_PAUSE PauseHandler;
  MINIPORT_RESTART RestartHandler;
  MINIPORT_OID_REQUEST OidRequestHandler;
  MINIPORT_SEND_NET_BUFFER_LISTS SendNetBufferListsHandler;
  MINIPORT_RETURN_NET_BUFFER_LISTS ReturnNetBufferListsHandler;
  MINIPORT_CANCEL_SEND CancelSendHandler;
  MINIPORT_CHECK_FOR_HANG CheckForHangHandlerEx;
  MINIPORT_RESET ResetHandlerEx;
  MINIPORT_DEVICE_PNP_EVENT_NOTIFY DevicePnPEventNotifyHandler;
  MINIPORT_SHUTDOWN ShutdownHandlerEx;
  MINIPORT_CANCEL_OID_REQUEST CancelOidRequestHandler;
};
static_assert(sizeof(NDIS_MINIPORT_DRIVER_CHARACTERISTICS) == 136);
using PNDIS_MINIPORT_DRIVER_CHARACTERISTICS = NDIS_MINIPORT_DRIVER_CHARACTERISTICS*;

// ---- Driver registration ------------------------------------------------------------------------------
// Mandatory handlers: initialise, halt, pause, restart. A null data-path or
// OID handler makes NDIS answer those requests with NDIS_STATUS_NOT_SUPPORTED.
NDIS_STATUS NdisMRegisterMiniportDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath,
                                        NDIS_HANDLE MiniportDriverContext,
                                        PNDIS_MINIPORT_DRIVER_CHARACTERISTICS MiniportDriverCharacteristics,
                                        PNDIS_HANDLE NdisMiniportDriverHandle);
void NdisMDeregisterMiniportDriver(NDIS_HANDLE NdisMiniportDriverHandle);

// ---- Attributes -------------------------------------------------------------------------------------
inline constexpr ULONG NDIS_MINIPORT_ATTRIBUTES_HARDWARE_DEVICE = 0x00000001;
inline constexpr ULONG NDIS_MINIPORT_ATTRIBUTES_BUS_MASTER = 0x00000040;
inline constexpr ULONG NdisInterfacePci = 5;

struct NDIS_MINIPORT_ADAPTER_REGISTRATION_ATTRIBUTES {
  NDIS_OBJECT_HEADER Header;
  NDIS_HANDLE MiniportAdapterContext;
  ULONG AttributeFlags;
  UINT CheckForHangTimeInSeconds;
  ULONG InterfaceType;
};

enum NDIS_MEDIUM { NdisMedium802_3 = 0 };
inline constexpr ULONG NdisPhysicalMedium802_3 = 14;
enum NET_IF_MEDIA_CONNECT_STATE { MediaConnectStateUnknown, MediaConnectStateConnected, MediaConnectStateDisconnected };
enum NET_IF_MEDIA_DUPLEX_STATE { MediaDuplexStateUnknown, MediaDuplexStateHalf, MediaDuplexStateFull };

struct NDIS_MINIPORT_ADAPTER_GENERAL_ATTRIBUTES {
  NDIS_OBJECT_HEADER Header;
  ULONG Flags;
  NDIS_MEDIUM MediaType;
  ULONG PhysicalMediumType;
  ULONG MtuSize;
  ULONG64 MaxXmitLinkSpeed;
  ULONG64 XmitLinkSpeed;
  ULONG64 MaxRcvLinkSpeed;
  ULONG64 RcvLinkSpeed;
  NET_IF_MEDIA_CONNECT_STATE MediaConnectState;
  NET_IF_MEDIA_DUPLEX_STATE MediaDuplexState;
  ULONG LookaheadSize;
  PVOID PowerManagementCapabilities;
  ULONG MacOptions;
  ULONG SupportedPacketFilters;
  ULONG MaxMulticastListSize;
  USHORT MacAddressLength;
  UCHAR PermanentMacAddress[32];
  UCHAR CurrentMacAddress[32];
  PVOID RecvScaleCapabilities;
  ULONG AccessType;
  ULONG DirectionType;
  ULONG ConnectionType;
  ULONG IfType;
  BOOLEAN IfConnectorPresent;
  ULONG SupportedStatistics;
  ULONG SupportedPauseFunctions;
  ULONG DataBackFillSize;
  ULONG ContextBackFillSize;
  NDIS_OID* SupportedOidList;
  ULONG SupportedOidListLength;  // bytes
  ULONG AutoNegotiationFlags;
};

// The offload records are copied as the bytes their headers give.
struct NDIS_MINIPORT_ADAPTER_OFFLOAD_ATTRIBUTES {
  NDIS_OBJECT_HEADER Header;
  const NDIS_OBJECT_HEADER* DefaultOffloadConfiguration;
  const NDIS_OBJECT_HEADER* HardwareOffloadCapabilities;
  const NDIS_OBJECT_HEADER* DefaultTcpConnectionOffloadConfiguration;
  const NDIS_OBJECT_HEADER* TcpConnectionOffloadHardwareCapabilities;
};

// Any of the three records above, told apart by Header.Type.
union NDIS_MINIPORT_ADAPTER_ATTRIBUTES {
  NDIS_MINIPORT_ADAPTER_REGISTRATION_ATTRIBUTES RegistrationAttributes;
  NDIS_MINIPORT_ADAPTER_GENERAL_ATTRIBUTES GeneralAttributes;
  NDIS_MINIPORT_ADAPTER_OFFLOAD_ATTRIBUTES OffloadAttributes;
};
using PNDIS_MINIPORT_ADAPTER_ATTRIBUTES = NDIS_MINIPORT_ADAPTER_ATTRIBUTES*;

// Called from MiniportInitializeEx only; the registration attributes come first.
NDIS_STATUS NdisMSetMiniportAttributes(NDIS_HANDLE MiniportAdapterHandle,
                                       PNDIS_MINIPORT_ADAPTER_ATTRIBUTES MiniportAttributes);

// ---- Configuration -----------------------------------------------------------------------------------
struct NDIS_CONFIGURATION_OBJECT {
  NDIS_OBJECT_HEADER Header;
  NDIS_HANDLE NdisHandle;
  ULONG Flags;
};
using PNDIS_CONFIGURATION_OBJECT = NDIS_CONFIGURATION_OBJECT*;

enum NDIS_PARAMETER_TYPE {
  NdisParameterInteger,
  NdisParameterHexInteger,
  NdisParameterString,
  NdisParameterMultiString,
  NdisParameterBinary,
};

struct BINARY_DATA {
  USHORT Length;
  PVOID Buffer;
};

struct NDIS_CONFIGURATION_PARAMETER {
  NDIS_PARAMETER_TYPE ParameterType;
  union {
    ULONG IntegerData;
    NDIS_STRING StringData;
    BINARY_DATA BinaryData;
  } ParameterData;
};
using PNDIS_CONFIGURATION_PARAMETER = NDIS_CONFIGURATION_PARAMETER*;

// The adapter's keywords live in its registry key. A parameter read stays
// valid until the configuration handle is closed.
NDIS_STATUS NdisOpenConfigurationEx(PNDIS_CONFIGURATION_OBJECT ConfigObject, PNDIS_HANDLE ConfigurationHandle);
// Integer and hex-integer reads parse a string value (decimal, or hex for
// the second and for a "0x" prefix); the parameter's type tells what the
// value was when it was not text: an integer value read as a string comes
// back as NdisParameterInteger.
void NdisReadConfiguration(NDIS_STATUS* Status, PNDIS_CONFIGURATION_PARAMETER* ParameterValue,
                           NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword, NDIS_PARAMETER_TYPE ParameterType);
// "NetworkAddress": 12 hex digits, optionally separated by '-' or ':'.
void NdisReadNetworkAddress(NDIS_STATUS* Status, PVOID* NetworkAddress, PUINT NetworkAddressLength,
                            NDIS_HANDLE ConfigurationHandle);
void NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle);

// ---- PCI configuration and register windows ------------------------------------------------------------
inline constexpr ULONG PCI_WHICHSPACE_CONFIG = 0;
// Bytes transferred; 0 for another space or a range beyond the 4 KB space.
ULONG NdisMGetBusData(NDIS_HANDLE NdisMiniportHandle, ULONG WhichSpace, ULONG Offset, PVOID Buffer, ULONG Length);
ULONG NdisMSetBusData(NDIS_HANDLE NdisMiniportHandle, ULONG WhichSpace, ULONG Offset, PVOID Buffer, ULONG Length);

NDIS_STATUS NdisMMapIoSpace(PVOID* VirtualAddress, NDIS_HANDLE MiniportAdapterHandle,
                            NDIS_PHYSICAL_ADDRESS PhysicalAddress, UINT Length);
void NdisMUnmapIoSpace(NDIS_HANDLE MiniportAdapterHandle, PVOID VirtualAddress, UINT Length);

inline void NdisReadRegisterUlong(volatile ULONG* Register, PULONG Data) { *Data = READ_REGISTER_ULONG(Register); }
inline void NdisWriteRegisterUlong(volatile ULONG* Register, ULONG Data) { WRITE_REGISTER_ULONG(Register, Data); }

// ---- Memory ---------------------------------------------------------------------------------------------
enum EX_POOL_PRIORITY { LowPoolPriority, NormalPoolPriority = 16, HighPoolPriority = 32 };
// Non-paged pool, not zeroed.
PVOID NdisAllocateMemoryWithTagPriority(NDIS_HANDLE NdisHandle, UINT Length, ULONG Tag, EX_POOL_PRIORITY Priority);
void NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags);
inline void NdisZeroMemory(PVOID Destination, SIZE_T Length) { __builtin_memset(Destination, 0, Length); }
inline void NdisMoveMemory(PVOID Destination, const void* Source, SIZE_T Length) {
  __builtin_memmove(Destination, Source, Length);
}

// Physically contiguous memory that the adapter reaches at *PhysicalAddress.
void NdisMAllocateSharedMemory(NDIS_HANDLE MiniportAdapterHandle, ULONG Length, BOOLEAN Cached, PVOID* VirtualAddress,
                               PNDIS_PHYSICAL_ADDRESS PhysicalAddress);
void NdisMFreeSharedMemory(NDIS_HANDLE MiniportAdapterHandle, ULONG Length, BOOLEAN Cached, PVOID VirtualAddress,
                           NDIS_PHYSICAL_ADDRESS PhysicalAddress);

// ---- Spin locks, events, delays --------------------------------------------------------------------------
struct NDIS_SPIN_LOCK {
  KSPIN_LOCK SpinLock;
  KIRQL OldIrql;
};
using PNDIS_SPIN_LOCK = NDIS_SPIN_LOCK*;
inline void NdisAllocateSpinLock(PNDIS_SPIN_LOCK Lock) { KeInitializeSpinLock(&Lock->SpinLock); }
inline void NdisFreeSpinLock(PNDIS_SPIN_LOCK) {}
inline void NdisAcquireSpinLock(PNDIS_SPIN_LOCK Lock, const SrcLoc& where = SrcLoc::current()) {
  KeAcquireSpinLock(&Lock->SpinLock, &Lock->OldIrql, where);
}
inline void NdisReleaseSpinLock(PNDIS_SPIN_LOCK Lock, const SrcLoc& where = SrcLoc::current()) {
  KeReleaseSpinLock(&Lock->SpinLock, Lock->OldIrql, where);
}
inline void NdisDprAcquireSpinLock(PNDIS_SPIN_LOCK Lock, const SrcLoc& where = SrcLoc::current()) {
  KeAcquireSpinLockAtDpcLevel(&Lock->SpinLock, where);
}
inline void NdisDprReleaseSpinLock(PNDIS_SPIN_LOCK Lock, const SrcLoc& where = SrcLoc::current()) {
  KeReleaseSpinLockFromDpcLevel(&Lock->SpinLock, where);
}

struct NDIS_EVENT {
  KEVENT Event;
};
using PNDIS_EVENT = NDIS_EVENT*;
void NdisInitializeEvent(PNDIS_EVENT Event);  // notification event, not signalled
void NdisSetEvent(PNDIS_EVENT Event);
void NdisResetEvent(PNDIS_EVENT Event);
// Milliseconds, 0 = no limit. TRUE when the event was signalled. PASSIVE_LEVEL.
BOOLEAN NdisWaitEvent(PNDIS_EVENT Event, UINT MsToWait, const SrcLoc& where = SrcLoc::current());

void NdisMSleep(ULONG MicrosecondsToSleep, const SrcLoc& where = SrcLoc::current());
void NdisStallExecution(ULONG MicrosecondsToStall);
void NdisGetCurrentSystemTime(PLARGE_INTEGER SystemTime);

// ---- Interrupts ---------------------------------------------------------------------------------------
enum NDIS_INTERRUPT_TYPE { NDIS_CONNECT_LINE_BASED = 1, NDIS_CONNECT_MESSAGE_BASED = 2 };

struct IO_INTERRUPT_MESSAGE_INFO_ENTRY {
  ULONG Vector;
  KIRQL Irql;
};
struct IO_INTERRUPT_MESSAGE_INFO {
  KIRQL UnifiedIrql;
  ULONG MessageCount;
  IO_INTERRUPT_MESSAGE_INFO_ENTRY MessageInfo[1];
};
using PIO_INTERRUPT_MESSAGE_INFO = IO_INTERRUPT_MESSAGE_INFO*;

using MINIPORT_ISR = BOOLEAN (*)(NDIS_HANDLE MiniportInterruptContext, PBOOLEAN QueueDefaultInterruptDpc,
                                 PULONG TargetProcessors);
using MINIPORT_INTERRUPT_DPC = void (*)(NDIS_HANDLE MiniportInterruptContext, PVOID MiniportDpcContext,
                                        PVOID ReceiveThrottleParameters, PVOID NdisReserved2);
using MINIPORT_DISABLE_INTERRUPT = void (*)(NDIS_HANDLE MiniportInterruptContext);
using MINIPORT_ENABLE_INTERRUPT = void (*)(NDIS_HANDLE MiniportInterruptContext);
using MINIPORT_MESSAGE_INTERRUPT = BOOLEAN (*)(NDIS_HANDLE MiniportInterruptContext, ULONG MessageId,
                                               PBOOLEAN QueueDefaultInterruptDpc, PULONG TargetProcessors);
using MINIPORT_MESSAGE_INTERRUPT_DPC = void (*)(NDIS_HANDLE MiniportInterruptContext, ULONG MessageId,
                                                PVOID MiniportDpcContext, PVOID ReceiveThrottleParameters,
                                                PVOID NdisReserved2);
using MINIPORT_DISABLE_MESSAGE_INTERRUPT = void (*)(NDIS_HANDLE MiniportInterruptContext, ULONG MessageId);
using MINIPORT_ENABLE_MESSAGE_INTERRUPT = void (*)(NDIS_HANDLE MiniportInterruptContext, ULONG MessageId);

struct NDIS_MINIPORT_INTERRUPT_CHARACTERISTICS {
  NDIS_OBJECT_HEADER Header;
  MINIPORT_ISR InterruptHandler;
  MINIPORT_INTERRUPT_DPC InterruptDpcHandler;
  MINIPORT_DISABLE_INTERRUPT DisableInterruptHandler;
  MINIPORT_ENABLE_INTERRUPT EnableInterruptHandler;
  BOOLEAN MsiSupported;
  BOOLEAN MsiSyncWithAllMessages;
  MINIPORT_MESSAGE_INTERRUPT MessageInterruptHandler;
  MINIPORT_MESSAGE_INTERRUPT_DPC MessageInterruptDpcHandler;
  MINIPORT_DISABLE_MESSAGE_INTERRUPT DisableMessageInterruptHandler;
  MINIPORT_ENABLE_MESSAGE_INTERRUPT EnableMessageInterruptHandler;
  NDIS_INTERRUPT_TYPE InterruptType;            // out: what was granted
  PIO_INTERRUPT_MESSAGE_INFO MessageInfoTable;  // out: message-based only
};
static_assert(sizeof(NDIS_MINIPORT_INTERRUPT_CHARACTERISTICS) == 96);
using PNDIS_MINIPORT_INTERRUPT_CHARACTERISTICS = NDIS_MINIPORT_INTERRUPT_CHARACTERISTICS*;

// Message-based when the miniport supports messages, gives a message
// routine and the function's interrupt resource allows it; line-based
// otherwise. The service routine runs at the function's device IRQL; a
// DPC it asks for runs at DISPATCH_LEVEL, never twice at once per adapter.
NDIS_STATUS NdisMRegisterInterruptEx(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportInterruptContext,
                                     PNDIS_MINIPORT_INTERRUPT_CHARACTERISTICS MiniportInterruptCharacteristics,
                                     PNDIS_HANDLE NdisInterruptHandle);
// Returns once no service routine and no DPC of the interrupt runs. PASSIVE_LEVEL.
void NdisMDeregisterInterruptEx(NDIS_HANDLE NdisInterruptHandle);
BOOLEAN NdisMSynchronizeWithInterruptEx(NDIS_HANDLE NdisInterruptHandle, ULONG MessageId,
                                        PKSYNCHRONIZE_ROUTINE SynchronizeFunction, PVOID SynchronizeContext);

// ---- Scatter-gather DMA -------------------------------------------------------------------------------
struct SCATTER_GATHER_ELEMENT {
  PHYSICAL_ADDRESS Address;
  ULONG Length;
  ULONG_PTR Reserved;
};
struct SCATTER_GATHER_LIST {
  ULONG NumberOfElements;
  ULONG_PTR Reserved;
  SCATTER_GATHER_ELEMENT Elements[1];
};
using PSCATTER_GATHER_LIST = SCATTER_GATHER_LIST*;

using MINIPORT_PROCESS_SG_LIST = void (*)(PDEVICE_OBJECT DeviceObject, PVOID Reserved,
                                          PSCATTER_GATHER_LIST ScatterGatherListBuffer, PVOID Context);
using MINIPORT_ALLOCATE_SHARED_MEM_COMPLETE = void (*)(NDIS_HANDLE MiniportAdapterContext, PVOID VirtualAddress,
                                                       PNDIS_PHYSICAL_ADDRESS PhysicalAddress, ULONG Length,
                                                       PVOID Context);

inline constexpr ULONG NDIS_SG_DMA_64_BIT_ADDRESS = 0x00000001;
struct NDIS_SG_DMA_DESCRIPTION {
  NDIS_OBJECT_HEADER Header;
  ULONG Flags;
  ULONG MaximumPhysicalMapping;
  MINIPORT_PROCESS_SG_LIST ProcessSGListHandler;
  MINIPORT_ALLOCATE_SHARED_MEM_COMPLETE SharedMemAllocateCompleteHandler;
  ULONG ScatterGatherListSize;  // out: bytes of a list for one net buffer
};
using PNDIS_SG_DMA_DESCRIPTION = NDIS_SG_DMA_DESCRIPTION*;

NDIS_STATUS NdisMRegisterScatterGatherDma(NDIS_HANDLE MiniportAdapterHandle, PNDIS_SG_DMA_DESCRIPTION DmaDescription,
                                          PNDIS_HANDLE NdisMiniportDmaHandle);
void NdisMDeregisterScatterGatherDma(NDIS_HANDLE NdisMiniportDmaHandle);
// Builds the list of the net buffer's data in ScatterGatherListBuffer (or
// in its own memory when that is null or too small) and calls the
// miniport's ProcessSGListHandler at DISPATCH_LEVEL before it returns.
NDIS_STATUS NdisMAllocateNetBufferSGList(NDIS_HANDLE NdisMiniportDmaHandle, PNET_BUFFER NetBuffer, PVOID Context,
                                         ULONG Flags, PVOID ScatterGatherListBuffer, ULONG ScatterGatherListBufferSize);
void NdisMFreeNetBufferSGList(NDIS_HANDLE NdisMiniportDmaHandle, PSCATTER_GATHER_LIST ScatterGatherListBuffer,
                              PNET_BUFFER NetBuffer);

// ---- Net buffer lists, net buffers, MDLs ------------------------------------------------------------------
struct NET_BUFFER {
  NET_BUFFER* Next;
  PMDL CurrentMdl;
  ULONG CurrentMdlOffset;
  ULONG DataLength;
  PMDL MdlChain;
  ULONG DataOffset;
  NDIS_HANDLE NdisPoolHandle;
  PVOID ProtocolReserved[6];
  PVOID MiniportReserved[4];
  PHYSICAL_ADDRESS DataPhysicalAddress;
};

enum NDIS_NET_BUFFER_LIST_INFO {
  TcpIpChecksumNetBufferListInfo,
  TcpLargeSendNetBufferListInfo,
  ClassificationHandleNetBufferListInfo,
  Ieee8021QNetBufferListInfo,
  NetBufferListCancelId,
  MediaSpecificInformation,
  NetBufferListFrameType,
  NetBufferListHashValue,
  NetBufferListHashInfo,
  MaxNetBufferListInfo,
};
inline constexpr NDIS_NET_BUFFER_LIST_INFO NetBufferListProtocolId = NetBufferListFrameType;

struct NET_BUFFER_LIST {
  NET_BUFFER_LIST* Next;
  NET_BUFFER* FirstNetBuffer;
  PVOID Context;
  NET_BUFFER_LIST* ParentNetBufferList;
  NDIS_HANDLE NdisPoolHandle;
  PVOID ProtocolReserved[4];
  PVOID MiniportReserved[2];
  PVOID Scratch;
  NDIS_HANDLE SourceHandle;
  ULONG NblFlags;
  LONG ChildRefCount;
  ULONG Flags;
  NDIS_STATUS Status;
  PVOID NetBufferListInfo[MaxNetBufferListInfo];
};

// The values the per-list information slots hold.
union NDIS_NET_BUFFER_LIST_8021Q_INFO {
  struct {
    ULONG UserPriority : 3;
    ULONG CanonicalFormatId : 1;
    ULONG VlanId : 12;
    ULONG Reserved : 16;
  } TagHeader;
  PVOID Value;
};
static_assert(sizeof(NDIS_NET_BUFFER_LIST_8021Q_INFO) == sizeof(PVOID));

union NDIS_TCP_IP_CHECKSUM_NET_BUFFER_LIST_INFO {
  struct {
    ULONG IsIPv4 : 1;
    ULONG IsIPv6 : 1;
    ULONG TcpChecksum : 1;
    ULONG UdpChecksum : 1;
    ULONG IpHeaderChecksum : 1;
    ULONG Reserved : 11;
    ULONG TcpHeaderOffset : 10;
  } Transmit;
  struct {
    ULONG TcpChecksumFailed : 1;
    ULONG UdpChecksumFailed : 1;
    ULONG IpChecksumFailed : 1;
    ULONG TcpChecksumSucceeded : 1;
    ULONG UdpChecksumSucceeded : 1;
    ULONG IpChecksumSucceeded : 1;
    ULONG Loopback : 1;
  } Receive;
  PVOID Value;
};
static_assert(sizeof(NDIS_TCP_IP_CHECKSUM_NET_BUFFER_LIST_INFO) == sizeof(PVOID));

// The large-send slot's value: the MSS in bits 0-19 (0: no large send).
inline ULONG NDIS_LSO_MSS(PVOID value) { return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(value) & 0xFFFFF); }

// NetBufferListProtocolId of a list of the TCP/IP protocol.
inline constexpr UCHAR NDIS_PROTOCOL_ID_TCP_IP = 0x02;

// Packet-filter bits.
inline constexpr ULONG NDIS_PACKET_TYPE_DIRECTED = 0x00000001;
inline constexpr ULONG NDIS_PACKET_TYPE_MULTICAST = 0x00000002;
inline constexpr ULONG NDIS_PACKET_TYPE_ALL_MULTICAST = 0x00000004;
inline constexpr ULONG NDIS_PACKET_TYPE_BROADCAST = 0x00000008;
inline constexpr ULONG NDIS_PACKET_TYPE_PROMISCUOUS = 0x00000020;

// A net buffer's MDL describes only the first Length bytes of its memory.
inline void NdisAdjustMdlLength(PMDL Mdl, UINT Length) { Mdl->ByteCount = Length; }

inline NET_BUFFER*& NET_BUFFER_NEXT_NB(NET_BUFFER* nb) { return nb->Next; }
inline PMDL& NET_BUFFER_FIRST_MDL(NET_BUFFER* nb) { return nb->MdlChain; }
inline PMDL& NET_BUFFER_CURRENT_MDL(NET_BUFFER* nb) { return nb->CurrentMdl; }
inline ULONG& NET_BUFFER_CURRENT_MDL_OFFSET(NET_BUFFER* nb) { return nb->CurrentMdlOffset; }
inline ULONG& NET_BUFFER_DATA_LENGTH(NET_BUFFER* nb) { return nb->DataLength; }
inline ULONG& NET_BUFFER_DATA_OFFSET(NET_BUFFER* nb) { return nb->DataOffset; }
inline PVOID* NET_BUFFER_MINIPORT_RESERVED(NET_BUFFER* nb) { return nb->MiniportReserved; }
inline NET_BUFFER_LIST*& NET_BUFFER_LIST_NEXT_NBL(NET_BUFFER_LIST* nbl) { return nbl->Next; }
inline NET_BUFFER*& NET_BUFFER_LIST_FIRST_NB(NET_BUFFER_LIST* nbl) { return nbl->FirstNetBuffer; }
inline NDIS_STATUS& NET_BUFFER_LIST_STATUS(NET_BUFFER_LIST* nbl) { return nbl->Status; }
inline PVOID& NET_BUFFER_LIST_INFO(NET_BUFFER_LIST* nbl, NDIS_NET_BUFFER_LIST_INFO id) {
  return nbl->NetBufferListInfo[id];
}
inline PVOID* NET_BUFFER_LIST_MINIPORT_RESERVED(NET_BUFFER_LIST* nbl) { return nbl->MiniportReserved; }

struct NET_BUFFER_LIST_POOL_PARAMETERS {
  NDIS_OBJECT_HEADER Header;
  UCHAR ProtocolId;
  BOOLEAN fAllocateNetBuffer;
  USHORT ContextSize;
  ULONG PoolTag;
  ULONG DataSize;
};
using PNET_BUFFER_LIST_POOL_PARAMETERS = NET_BUFFER_LIST_POOL_PARAMETERS*;

// A pool counts what it has out; freeing a pool with lists still out stops the host.
NDIS_HANDLE NdisAllocateNetBufferListPool(NDIS_HANDLE NdisHandle, PNET_BUFFER_LIST_POOL_PARAMETERS Parameters);
void NdisFreeNetBufferListPool(NDIS_HANDLE PoolHandle);
// One list with one net buffer describing DataLength bytes of MdlChain from DataOffset.
PNET_BUFFER_LIST NdisAllocateNetBufferAndNetBufferList(NDIS_HANDLE PoolHandle, USHORT ContextSize,
                                                       USHORT ContextBackFill, PMDL MdlChain, ULONG DataOffset,
                                                       SIZE_T DataLength);
void NdisFreeNetBufferList(PNET_BUFFER_LIST NetBufferList);

// An MDL of non-paged memory (pool or shared memory).
PMDL NdisAllocateMdl(NDIS_HANDLE NdisHandle, PVOID VirtualAddress, UINT Length);
void NdisFreeMdl(PMDL Mdl);

inline constexpr ULONG NDIS_SEND_FLAGS_DISPATCH_LEVEL = 0x00000001;
inline constexpr ULONG NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL = 0x00000001;
inline constexpr ULONG NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL = 0x00000001;
inline constexpr ULONG NDIS_RECEIVE_FLAGS_RESOURCES = 0x00000002;
inline constexpr ULONG NDIS_RETURN_FLAGS_DISPATCH_LEVEL = 0x00000001;

void NdisMSendNetBufferListsComplete(NDIS_HANDLE MiniportAdapterHandle, PNET_BUFFER_LIST NetBufferLists,
                                     ULONG SendCompleteFlags);
// With NDIS_RECEIVE_FLAGS_RESOURCES the lists are the miniport's again when
// the call returns; otherwise they come back through its return handler.
void NdisMIndicateReceiveNetBufferLists(NDIS_HANDLE MiniportAdapterHandle, PNET_BUFFER_LIST NetBufferLists,
                                        NDIS_PORT_NUMBER PortNumber, ULONG NumberOfNetBufferLists, ULONG ReceiveFlags);

// ---- OID requests ---------------------------------------------------------------------------------------
enum NDIS_REQUEST_TYPE {
  NdisRequestQueryInformation = 0,
  NdisRequestSetInformation = 1,
  NdisRequestQueryStatistics = 2,
  NdisRequestMethod = 12,
};

struct NDIS_OID_REQUEST {
  NDIS_OBJECT_HEADER Header;
  NDIS_REQUEST_TYPE RequestType;
  NDIS_PORT_NUMBER PortNumber;
  UINT Timeout;
  PVOID RequestId;
  NDIS_HANDLE RequestHandle;
  union {
    struct {
      NDIS_OID Oid;
      PVOID InformationBuffer;
      UINT InformationBufferLength;
      UINT BytesWritten;
      UINT BytesNeeded;
    } QUERY_INFORMATION;
    struct {
      NDIS_OID Oid;
      PVOID InformationBuffer;
      UINT InformationBufferLength;
      UINT BytesRead;
      UINT BytesNeeded;
    } SET_INFORMATION;
    struct {
      NDIS_OID Oid;
      PVOID InformationBuffer;
      ULONG InputBufferLength;
      ULONG OutputBufferLength;
      ULONG MethodId;
      UINT BytesWritten;
      UINT BytesRead;
      UINT BytesNeeded;
    } METHOD_INFORMATION;
  } DATA;
  PVOID MiniportReserved[2];
};

void NdisMOidRequestComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_OID_REQUEST OidRequest, NDIS_STATUS Status);

// IOCTL_NDIS_QUERY_GLOBAL_STATS on "\Device\{NetCfgInstanceId}": input the
// OID (4 bytes), output (direct) the caller's buffer, whose contents reach
// the miniport as the query's information buffer. Kernel callers only.
inline constexpr ULONG IOCTL_NDIS_QUERY_GLOBAL_STATS = 0x00170002;

// ---- Status indications -----------------------------------------------------------------------------------
struct NDIS_STATUS_INDICATION {
  NDIS_OBJECT_HEADER Header;
  NDIS_HANDLE SourceHandle;
  NDIS_PORT_NUMBER PortNumber;
  NDIS_STATUS StatusCode;
  ULONG Flags;
  NDIS_HANDLE DestinationHandle;
  PVOID RequestId;
  PVOID StatusBuffer;
  ULONG StatusBufferSize;
};
using PNDIS_STATUS_INDICATION = NDIS_STATUS_INDICATION*;
void NdisMIndicateStatusEx(NDIS_HANDLE MiniportAdapterHandle, PNDIS_STATUS_INDICATION StatusIndication);

inline constexpr ULONG NDIS_PAUSE_SEND_AND_RECEIVE = 3;
struct NDIS_LINK_STATE {
  NDIS_OBJECT_HEADER Header;
  NET_IF_MEDIA_CONNECT_STATE MediaConnectState;
  NET_IF_MEDIA_DUPLEX_STATE MediaDuplexState;
  ULONG64 XmitLinkSpeed;
  ULONG64 RcvLinkSpeed;
  ULONG PauseFunctions;
  ULONG AutoNegotiationFlags;
};
static_assert(sizeof(NDIS_LINK_STATE) == 40);

// ---- Completions of pended operations and removal -----------------------------------------------------------
void NdisMRestartComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status);
void NdisMPauseComplete(NDIS_HANDLE MiniportAdapterHandle);
void NdisMResetComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status, BOOLEAN AddressingReset);
// Asks NDIS to pause (when running) and halt the adapter; NDIS does it later
// on a worker thread.
NDIS_STATUS NdisMRemoveMiniport(NDIS_HANDLE MiniportAdapterHandle);

// ---- Timers and work items -------------------------------------------------------------------------------
using NDIS_TIMER_FUNCTION = void (*)(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                                     PVOID SystemSpecific3);
struct NDIS_TIMER_CHARACTERISTICS {
  NDIS_OBJECT_HEADER Header;
  ULONG AllocationTag;
  NDIS_TIMER_FUNCTION TimerFunction;
  PVOID FunctionContext;
};
static_assert(sizeof(NDIS_TIMER_CHARACTERISTICS) == 24);
using PNDIS_TIMER_CHARACTERISTICS = NDIS_TIMER_CHARACTERISTICS*;

NDIS_STATUS NdisAllocateTimerObject(NDIS_HANDLE NdisHandle, PNDIS_TIMER_CHARACTERISTICS TimerCharacteristics,
                                    PNDIS_HANDLE pTimerObject);
// DueTime: negative relative or positive absolute (100 ns); the routine runs
// at DISPATCH_LEVEL. A null FunctionContext keeps the allocation's. TRUE
// when the timer was still queued (it is re-armed).
BOOLEAN NdisSetTimerObject(NDIS_HANDLE TimerObject, LARGE_INTEGER DueTime, LONG MillisecondsPeriod,
                           PVOID FunctionContext);
// TRUE only when the timer was queued and now will not run.
BOOLEAN NdisCancelTimerObject(NDIS_HANDLE TimerObject);
// Cancels and waits for a running routine to return. PASSIVE_LEVEL.
void NdisFreeTimerObject(NDIS_HANDLE TimerObject);

using NDIS_IO_WORKITEM_ROUTINE = void (*)(PVOID WorkItemContext, NDIS_HANDLE NdisIoWorkItemHandle);
NDIS_HANDLE NdisAllocateIoWorkItem(NDIS_HANDLE NdisObjectHandle);
// The routine runs at PASSIVE_LEVEL on a system worker thread.
void NdisQueueIoWorkItem(NDIS_HANDLE NdisIoWorkItemHandle, NDIS_IO_WORKITEM_ROUTINE Routine, PVOID WorkItemContext);
void NdisFreeIoWorkItem(NDIS_HANDLE NdisIoWorkItemHandle);

// ---- Control devices ----------------------------------------------------------------------------------------
struct GUID;
struct NDIS_DEVICE_OBJECT_ATTRIBUTES {
  NDIS_OBJECT_HEADER Header;
  PNDIS_STRING DeviceName;
  PNDIS_STRING SymbolicName;
  PDRIVER_DISPATCH* MajorFunctions;  // IRP_MJ_MAXIMUM_FUNCTION + 1 entries; null entries fail the request
  ULONG ExtensionSize;
  PCUNICODE_STRING DefaultSDDLString;
  const GUID* DeviceClassGuid;
};
using PNDIS_DEVICE_OBJECT_ATTRIBUTES = NDIS_DEVICE_OBJECT_ATTRIBUTES*;

// A device of the miniport driver with its own dispatch table. The SDDL
// string admits callers at open: kernel callers are SYSTEM ("SY"); a user
// process is an administrator ("BA") when it runs as root; "WD" admits
// everyone. A caller it does not admit gets STATUS_ACCESS_DENIED.
NDIS_STATUS NdisRegisterDeviceEx(NDIS_HANDLE NdisObjectHandle, PNDIS_DEVICE_OBJECT_ATTRIBUTES DeviceObjectAttributes,
                                 PDEVICE_OBJECT* pDeviceObject, PNDIS_HANDLE NdisDeviceHandle);
void NdisDeregisterDeviceEx(NDIS_HANDLE NdisDeviceHandle);
PVOID NdisGetDeviceReservedExtension(PDEVICE_OBJECT DeviceObject);

// ---- Error log ------------------------------------------------------------------------------------------------
inline constexpr NDIS_ERROR_CODE NDIS_ERROR_CODE_RESOURCE_CONFLICT = 0xC0001388;
inline constexpr NDIS_ERROR_CODE NDIS_ERROR_CODE_OUT_OF_RESOURCES = 0xC0001389;
inline constexpr NDIS_ERROR_CODE NDIS_ERROR_CODE_DRIVER_FAILURE = 0xC000138A;
inline constexpr NDIS_ERROR_CODE NDIS_ERROR_CODE_ADAPTER_NOT_FOUND = 0xC000138B;
inline constexpr NDIS_ERROR_CODE NDIS_ERROR_CODE_INTERRUPT_CONNECT = 0xC000138C;

// The values are ULONGs; at most 16 are kept.
void NdisWriteErrorLogEntry(NDIS_HANDLE NdisAdapterHandle, NDIS_ERROR_CODE ErrorCode, ULONG NumberOfErrorValues, ...);
