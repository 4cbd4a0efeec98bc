// The driver's TDI client and its list of adapter addresses: registration at
// entry, the address and power handlers, the attach request with the private
// OID, the address-list request, and the teardown at unload.
//
// An interface that does not answer the attach request (another driver's)
// is ignored. An adapter of the miniport answers with its NIC-proxy record,
// and the driver attaches to it (proxy/core/attach.h). An address entry
// stays after a failed attach, so the adapter's next announcement attaches
// again.
#include <cstring>

#include "include/zek/nicproxy.h"
#include "platform/ndis/ndis.h"
#include "platform/tdi/tdi.h"
#include "proxy/core/attach.h"
#include "proxy/core/fault_injection.h"
#include "proxy/core/zpx.h"

namespace {

struct ZpxAddressEntry {
  LIST_ENTRY Links;
  TDI_ADDRESS_IP Address;  // as announced
  UCHAR Pad[2];
  NicProxyInterface* Record;
  ULONG AdapterContext;
};

LIST_ENTRY g_addresses;
OSPrimSpinlockObject g_address_lock;
HANDLE g_tdi_handle;

constexpr USHORT kTdiIpv4Length = TDI_ADDRESS_LENGTH_IP;

bool is_ipv4(const TA_ADDRESS* address) {
  return address != nullptr && address->AddressLength == kTdiIpv4Length && address->AddressType == TDI_ADDRESS_TYPE_IP;
}

}  // namespace

// ---- The attach request -----------------------------------------------------------------------------------
bool OpenByDeviceName(PUNICODE_STRING TdiDeviceName, NicProxyInterfaceRequest* Request) {
  // The TDI name is "\Device\Tcpip_" and the adapter's name: a shorter one
  // names no adapter.
  const std::size_t chars = TdiDeviceName == nullptr ? 0 : TdiDeviceName->Length / sizeof(WCHAR);
  if (TdiDeviceName == nullptr || TdiDeviceName->Buffer == nullptr || chars <= TDI_TCPIP_DEVICE_PREFIX_CHARS ||
      chars > ZPX_MAX_DEVICE_NAME_CHARS) {
    ZEK_LOG_FAILURE("OpenByDeviceName: device name of %u characters names no adapter\n", static_cast<unsigned>(chars));
    return false;
  }
  WCHAR name[ZPX_MAX_DEVICE_NAME_CHARS + 16] = u"\\Device\\";
  const std::size_t prefix = 8;
  const std::size_t rest = chars - TDI_TCPIP_DEVICE_PREFIX_CHARS;
  std::memcpy(name + prefix, TdiDeviceName->Buffer + TDI_TCPIP_DEVICE_PREFIX_CHARS, rest * sizeof(WCHAR));
  UNICODE_STRING device_name{};
  device_name.Buffer = name;
  device_name.Length = static_cast<USHORT>((prefix + rest) * sizeof(WCHAR));
  device_name.MaximumLength = device_name.Length;

  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &device_name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE handle = nullptr;
  IO_STATUS_BLOCK iosb{};
  NTSTATUS status = ZwCreateFile(&handle, MAXIMUM_ALLOWED, &attributes, &iosb, nullptr, 0,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0, nullptr, 0);
  if (!NT_SUCCESS(status)) return false;
  PFILE_OBJECT file = nullptr;
  status = ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, reinterpret_cast<PVOID*>(&file), nullptr);
  if (!NT_SUCCESS(status)) {
    ZEK_LOG_FAILURE("Couldn't translate handle to object %08X\n", static_cast<unsigned>(status));
    ZwClose(handle);
    return false;
  }
  ULONG oid = OID_ZEK_NIC_PROXY_INTERFACE;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  iosb = IO_STATUS_BLOCK{};
  PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_NDIS_QUERY_GLOBAL_STATS, device, &oid, sizeof oid, Request,
                                           sizeof *Request, FALSE, &done, &iosb);
  bool answered = false;
  if (irp != nullptr) {
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      status = iosb.Status;
    } else if (NT_SUCCESS(status) && iosb.Information != sizeof *Request) {
      status = STATUS_INVALID_DEVICE_REQUEST;
    }
    answered = status == STATUS_SUCCESS && Request->Signature == NIC_PROXY_ANSWER_SIGNATURE;
  }
  ObDereferenceObject(file);
  ZwClose(handle);
  return answered;
}

// ---- TDI handlers --------------------------------------------------------------------------------------------------
namespace {

// Sends a request of `command` to the interface; the record, or null when
// no adapter of the miniport answered.
NicProxyInterface* ask(PUNICODE_STRING DeviceName, ULONG command) {
  NicProxyInterfaceRequest request{NIC_PROXY_REQUEST_SIGNATURE, sizeof(NicProxyInterfaceRequest), command, 0, nullptr};
  if (!OpenByDeviceName(DeviceName, &request)) return nullptr;
  return static_cast<NicProxyInterface*>(request.Interface);
}

// Whether the address list has an entry of `ipv4`.
bool holds_address(std::uint32_t ipv4) {
  if (g_addresses.Flink == nullptr) return false;  // no TDI client: no entries
  bool found = false;
  OSPrimSyncAcquireSpinlockObject(&g_address_lock);
  for (LIST_ENTRY* e = g_addresses.Flink; e != &g_addresses && !found; e = e->Flink) {
    found = CONTAINING_RECORD(e, ZpxAddressEntry, Links)->Address.in_addr == ipv4;
  }
  OSPrimSyncReleaseSpinlockObject(&g_address_lock);
  return found;
}

bool from_miniport(PTDI_PNP_CONTEXT Context) {
  if (Context == nullptr || Context->ContextSize < sizeof(ULONG)) return false;
  ULONG value = 0;
  std::memcpy(&value, Context->ContextData, sizeof value);
  return value == ZPX_CUSTOM_OID_RESPONSE;
}

}  // namespace

void PxSanAddAddress(PTA_ADDRESS Address, PUNICODE_STRING DeviceName, PTDI_PNP_CONTEXT Context) {
  if (!is_ipv4(Address)) return;
  // The adapter answers "UADD" with its record and a hold of the record's
  // attach gate for this driver, which ProxyAddNic or this handler gives
  // back.
  NicProxyInterface* record = ask(DeviceName, NIC_PROXY_COMMAND_ADD);
  if (record == nullptr) return;  // not an adapter of the miniport
  TDI_ADDRESS_IP ip{};
  std::memcpy(&ip, Address->Address, sizeof ip);

  OSPrimSyncAcquireSpinlockObject(&g_address_lock);
  ZpxAddressEntry* known = nullptr;
  for (LIST_ENTRY* e = g_addresses.Flink; e != &g_addresses; e = e->Flink) {
    auto* entry = CONTAINING_RECORD(e, ZpxAddressEntry, Links);
    if (entry->Address.in_addr == ip.in_addr || entry->Record == record) {
      known = entry;
      break;
    }
  }
  if (known != nullptr) {
    known->Address = ip;
    known->Record = record;
  }
  OSPrimSyncReleaseSpinlockObject(&g_address_lock);

  if (known == nullptr) {
    void* block = nullptr;
    if (OSPrimMemAllocate(&block, sizeof(ZpxAddressEntry)) != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("Couldn't allocate entry\n");
      NicProxyGateLeave(&record->Gate);
      return;
    }
    auto* entry = static_cast<ZpxAddressEntry*>(block);
    std::memset(entry, 0, sizeof *entry);
    entry->Address = ip;
    entry->Record = record;
    entry->AdapterContext = static_cast<ULONG>(reinterpret_cast<std::uintptr_t>(record->Adapter));
    OSPrimSyncAcquireSpinlockObject(&g_address_lock);
    InsertHeadList(&g_addresses, &entry->Links);
    OSPrimSyncReleaseSpinlockObject(&g_address_lock);
  }
  record->AddressKey = ip.in_addr;
  if (ZpxRecordAttached(record)) {
    // A further address of an attached adapter raises its interface; no
    // second attach.
    NicProxyGateLeave(&record->Gate);
    ZpxMarkInterfaceUp(record);
    return;
  }
  // A new adapter, or one whose earlier attach failed: attach (again).
  __atomic_store_n(&record->AttachProgress, NIC_PROXY_PROGRESS_ATTACHING, __ATOMIC_RELEASE);
  if (const ZekStatus status = ProxyAddNic(record); status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("PxSanAddAddress: ProxyAddNic returned error (0x%x)\n", status);
  }
}

void ZpxDropAddressEntry(std::uint32_t ipv4) {
  if (g_addresses.Flink == nullptr) return;  // no TDI client: no entries
  OSPrimSyncAcquireSpinlockObject(&g_address_lock);
  ZpxAddressEntry* gone = nullptr;
  for (LIST_ENTRY* e = g_addresses.Flink; e != &g_addresses; e = e->Flink) {
    auto* entry = CONTAINING_RECORD(e, ZpxAddressEntry, Links);
    if (entry->Address.in_addr == ipv4) {
      RemoveEntryList(e);
      gone = entry;
      break;
    }
  }
  OSPrimSyncReleaseSpinlockObject(&g_address_lock);
  if (gone != nullptr) OSPrimMemFree(gone);
}

void PxSanDelAddress(PTA_ADDRESS Address, PUNICODE_STRING DeviceName, PTDI_PNP_CONTEXT Context) {
  if (!is_ipv4(Address)) return;
  TDI_ADDRESS_IP ip{};
  std::memcpy(&ip, Address->Address, sizeof ip);
  // An address the list does not hold (one an adapter had before its
  // current one, or never announced) changes nothing: its adapter keeps its
  // attach and its entry, and is not asked.
  if (!holds_address(ip.in_addr)) {
    OSPrimDebugPrint("PxSanDelAddress: address 0x%x has no entry; nothing to remove\n", ip.in_addr);
    return;
  }
  // A removal the miniport reports itself only drops the entry.
  if (!from_miniport(Context)) {
    if (NicProxyInterface* record = ask(DeviceName, NIC_PROXY_COMMAND_DELETE)) {
      if (record->LinkUp == 0) {
        // The interface only goes down; the adapter stays attached and
        // keeps its entry.
        if (ZpxRecordAttached(record)) {
          ZekNicDisableInterface(record);
          return;
        }
      } else if (ZpxRecordAttached(record)) {
        ProxyDisableInterface(record);
        ProxyRemoveNic(record);
      }
    }
  }
  // The address is gone, whoever reported it: its entry goes too.
  ZpxDropAddressEntry(ip.in_addr);
}

NTSTATUS PxSanPnPPowerHandler(PUNICODE_STRING DeviceName, PNET_PNP_EVENT PowerEvent, PTDI_PNP_CONTEXT Context1,
                              PTDI_PNP_CONTEXT Context2) {
  // Set and query power are refused only while the kernel verbs hold an
  // adapter open; without verbs every event succeeds.
  return STATUS_SUCCESS;
}

// ---- Registration and teardown
// ---------------------------------------------------------------------------------------
NTSTATUS ZpxTdiRegister() {
  InitializeListHead(&g_addresses);
  OSPrimSyncInitSpinlockObject(&g_address_lock);
  UNICODE_STRING client_name;
  RtlInitUnicodeString(&client_name, u"zekproxy");
  TDI_CLIENT_INTERFACE_INFO info{};
  info.MajorTdiVersion = 2;
  info.MinorTdiVersion = 0;
  info.ClientName = &client_name;
  info.PnPPowerHandler = &PxSanPnPPowerHandler;
  info.AddAddressHandlerV2 = &PxSanAddAddress;
  info.DelAddressHandlerV2 = &PxSanDelAddress;
  const NTSTATUS status = ZpxFaultAt(ZpxFaultStep::TdiRegister)
                              ? STATUS_UNSUCCESSFUL
                              : TdiRegisterPnPHandlers(&info, sizeof info, &g_tdi_handle);
  if (!NT_SUCCESS(status)) {
    ZEK_LOG_FAILURE("DriverEntry:OSInit returned ZekResult  (0x%x)\n", ZEK_STATUS_FAIL);
    g_tdi_handle = nullptr;
  }
  return status;
}

void PxSanpAlDestroy() {
  if (g_tdi_handle == nullptr) {
    ZEK_LOG_FAILURE("PxSanAlDestroy: NULL TdiHandle!\n");
  } else {
    // A handle the TDI does not know is not registered: nothing to wait for.
    for (std::uint32_t tries = 0; tries < ZPX_TDI_DEREGISTER_TRIES; ++tries) {
      const NTSTATUS status = TdiDeregisterPnPHandlers(g_tdi_handle);
      if (NT_SUCCESS(status) || status == STATUS_INVALID_PARAMETER) break;
      ZEK_LOG_FAILURE("PxSanAlDestroy: Delaying due to bad status on Deregistering handlers\n");
      OSPrimSleepDelay(nullptr, ZPX_TDI_DEREGISTER_DELAY_US);
    }
    g_tdi_handle = nullptr;
  }
  // Every entry goes with its adapter. Only a record this driver has
  // attached is touched: the record of an adapter whose attach failed may
  // have gone with its adapter's halt.
  OSPrimSyncAcquireSpinlockObject(&g_address_lock);
  while (!IsListEmpty(&g_addresses)) {
    LIST_ENTRY* e = RemoveHeadList(&g_addresses);
    OSPrimSyncReleaseSpinlockObject(&g_address_lock);
    auto* entry = CONTAINING_RECORD(e, ZpxAddressEntry, Links);
    if (ZpxRecordAttached(entry->Record)) {
      ProxyDisableInterface(entry->Record);
      ProxyRemoveNic(entry->Record);
      entry->Record->AttachedByMiniport = 0;
    }
    OSPrimMemFree(entry);
    OSPrimSyncAcquireSpinlockObject(&g_address_lock);
  }
  OSPrimSyncReleaseSpinlockObject(&g_address_lock);
  ZpxRemoveAllNics();
  OSPrimSyncDestroySpinlockObject(&g_address_lock);
  g_addresses.Flink = g_addresses.Blink = nullptr;
}

NTSTATUS PxSanpAlCopyList(void* Buffer, ULONG Length, ULONG_PTR* Bytes) {
  *Bytes = 0;
  if (Buffer == nullptr || Length < sizeof(std::uint32_t)) {
    ZEK_LOG_FAILURE("CopyList: Not enough room for address count\n");
    return STATUS_BUFFER_TOO_SMALL;
  }
  auto* out = static_cast<std::uint8_t*>(Buffer);
  std::memset(out, 0, Length);
  std::uint32_t count = 0;
  NTSTATUS status = STATUS_SUCCESS;
  OSPrimSyncAcquireSpinlockObject(&g_address_lock);
  for (LIST_ENTRY* e = g_addresses.Flink; e != &g_addresses; e = e->Flink) {
    const std::size_t at = sizeof(std::uint32_t) + std::size_t{count} * sizeof(ZekSanAddress);
    if (at + sizeof(ZekSanAddress) > Length) {
      ZEK_LOG_FAILURE("CopyList: Output buffer too small\n");
      status = STATUS_BUFFER_OVERFLOW;
      break;
    }
    const auto* entry = CONTAINING_RECORD(e, ZpxAddressEntry, Links);
    ZekSanAddress address{};
    address.Family = 2;
    address.Port = entry->Address.sin_port;
    address.Address = entry->Address.in_addr;
    std::memcpy(out + at, &address, sizeof address);
    ++count;
  }
  OSPrimSyncReleaseSpinlockObject(&g_address_lock);
  std::memcpy(out, &count, sizeof count);
  *Bytes = sizeof(std::uint32_t) + std::size_t{count} * sizeof(ZekSanAddress);
  return status;
}
