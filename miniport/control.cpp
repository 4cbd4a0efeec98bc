// The control devices and their requests.
#include "miniport/control.h"

#include <cstring>

#include "miniport/datapath.h"
#include "miniport/oid.h"
#include "proxy/rdma/hw/failover.h"
#include "proxy/rdma/hw/phy.h"
#include "proxy/rdma/hw/qp.h"
#include "proxy/rdma/hw/reg_access.h"

namespace {

constexpr char16_t kSddl[] = u"D:P(A;;GA;;;SY)(A;;GA;;;BA)";
constexpr char16_t kControlName[] = u"\\Device\\ZEKMINI";
constexpr char16_t kControlLink[] = u"\\DosDevices\\ZEKMINI";
constexpr std::uint32_t kWqeBytes = 64;

NDIS_HANDLE g_control_handle = nullptr;
PDEVICE_OBJECT g_control_device = nullptr;

UNICODE_STRING counted(const char16_t* text) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, const_cast<PWSTR>(text));
  return s;
}

// A device registered with the driver's dispatch for every request.
NDIS_STATUS register_device(const char16_t* name, const char16_t* link, PDEVICE_OBJECT* device, NDIS_HANDLE* handle) {
  static PDRIVER_DISPATCH dispatch[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
  dispatch[IRP_MJ_CREATE] = ZekIoctl;
  dispatch[IRP_MJ_CLOSE] = ZekIoctl;
  dispatch[IRP_MJ_CLEANUP] = ZekIoctl;
  dispatch[IRP_MJ_DEVICE_CONTROL] = ZekIoctl;
  UNICODE_STRING device_name = counted(name), symbolic = counted(link), sddl = counted(kSddl);
  NDIS_DEVICE_OBJECT_ATTRIBUTES attributes{};
  attributes.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, 56};
  attributes.DeviceName = &device_name;
  attributes.SymbolicName = &symbolic;
  attributes.MajorFunctions = dispatch;
  attributes.ExtensionSize = 0;
  attributes.DefaultSDDLString = &sddl;
  const NDIS_STATUS status = NdisRegisterDeviceEx(g_Zek.DriverHandle, &attributes, device, handle);
  if (status == NDIS_STATUS_SUCCESS) (*device)->Flags |= DO_BUFFERED_IO;
  return status;
}

// The adapter a request names (function + board key), counted as in use
// until release(); null when no adapter has that number.
ZEK_ADAPTER* acquire_by_number(std::uint32_t number) {
  OSPrimSyncAcquireSpinlockObject(&g_Zek.ListLock);
  ZEK_ADAPTER* found = nullptr;
  for (ZEK_ADAPTER* a = g_Zek.ListHead; a != nullptr; a = a->Next) {
    if (a->PciFunction + a->BoardKey == number && a->HwInfo != nullptr) {
      found = a;
      InterlockedIncrement(&a->Oid.QueriesRunning);
      break;
    }
  }
  OSPrimSyncReleaseSpinlockObject(&g_Zek.ListLock);
  return found;
}

ZEK_ADAPTER* acquire_by_device(PDEVICE_OBJECT device) {
  OSPrimSyncAcquireSpinlockObject(&g_Zek.ListLock);
  ZEK_ADAPTER* found = nullptr;
  for (ZEK_ADAPTER* a = g_Zek.ListHead; a != nullptr; a = a->Next) {
    if (a->Oid.Device == device && device != nullptr) {
      found = a;
      InterlockedIncrement(&a->Oid.QueriesRunning);
      break;
    }
  }
  OSPrimSyncReleaseSpinlockObject(&g_Zek.ListLock);
  return found;
}

void release(ZEK_ADAPTER* adapter) {
  if (adapter != nullptr) InterlockedDecrement(&adapter->Oid.QueriesRunning);
}

// The functions of the adapter's board that the driver runs, by function number.
void board_functions(std::uint32_t board, ZEK_ADAPTER* out[4]) {
  for (int i = 0; i < 4; ++i) out[i] = nullptr;
  OSPrimSyncAcquireSpinlockObject(&g_Zek.ListLock);
  for (ZEK_ADAPTER* a = g_Zek.ListHead; a != nullptr; a = a->Next) {
    if (a->BoardKey == board && a->PciFunction < 4) out[a->PciFunction] = a;
  }
  OSPrimSyncReleaseSpinlockObject(&g_Zek.ListLock);
}

struct Request {
  PIRP irp;
  void* buffer;
  ULONG in;
  ULONG out;
};

// The record's size against both buffers: success, too small or oversized.
NTSTATUS sized(const Request& r, ULONG size) {
  if (r.buffer == nullptr || r.in < size || r.out < size) return STATUS_BUFFER_TOO_SMALL;
  if (r.in > size || r.out > size) return ZEK_CONTROL_STATUS_OVERSIZED;
  return STATUS_SUCCESS;
}

bool window_offset_ok(std::uint32_t offset) { return offset < ZEK_DIAG_WINDOW_BYTES && offset % 4 == 0; }

// A request on one adapter's record: its size checked, the adapter found by
// its number and held while `fill` runs, the record written back. With no
// such adapter the status word says so and `not_found_bytes` are returned.
template <typename Record, typename Fill>
NTSTATUS adapter_request(const Request& r, ULONG* bytes, ULONG not_found_bytes, Fill fill) {
  NTSTATUS status = sized(r, sizeof(Record));
  if (!NT_SUCCESS(status)) return status;
  Record rec;
  std::memcpy(&rec, r.buffer, sizeof rec);
  ZEK_ADAPTER* adapter = acquire_by_number(rec.Adapter);
  if (adapter == nullptr) {
    rec.Status = ZEK_CONTROL_NO_ADAPTER;
    std::memcpy(r.buffer, &rec, sizeof rec);
    *bytes = not_found_bytes;
    return STATUS_SUCCESS;
  }
  rec.Status = 0;
  status = fill(adapter, rec);
  release(adapter);
  if (!NT_SUCCESS(status)) return status;
  std::memcpy(r.buffer, &rec, sizeof rec);
  *bytes = sizeof rec;
  return STATUS_SUCCESS;
}

// The register and PHY requests (24-byte record).
NTSTATUS register_request(ULONG code, const Request& r, ULONG* bytes) {
  return adapter_request<ZekControlRecord>(
      r, bytes, sizeof(ZekControlRecord), [code](ZEK_ADAPTER* adapter, ZekControlRecord& rec) {
        MifhDeviceObj* device = &adapter->HwInfo->Device;
        switch (code) {
          case IOCTL_ZEKMINI_READ_INDEXED:
            mifh_read_indexed(device, rec.Where, &rec.Value);
            return STATUS_SUCCESS;
          case IOCTL_ZEKMINI_WRITE_TABLE_ENTRY:
            mifh_write_indexed(device, rec.Where, rec.Value);
            return STATUS_SUCCESS;
          case IOCTL_ZEKMINI_READ_REG:
          case IOCTL_ZEKMINI_WRITE_REG:
            if (!window_offset_ok(rec.Where) || device->RegisterWindow == nullptr) return STATUS_INVALID_PARAMETER;
            if (code == IOCTL_ZEKMINI_READ_REG) {
              rec.Value = mifh_read_reg(device, rec.Where);
            } else {
              mifh_write_reg(device, rec.Where, rec.Value);
            }
            return STATUS_SUCCESS;
          case IOCTL_ZEKMINI_A42C:
          case IOCTL_ZEKMINI_A430: {
            const MifhCeqObject& ceq = code == IOCTL_ZEKMINI_A42C ? adapter->HwInfo->Ceq1 : adapter->HwInfo->Ceq0;
            if (ceq.Ring == nullptr || rec.Where >= ceq.ElementCount) return STATUS_INVALID_PARAMETER;
            std::memcpy(&rec.Value, &ceq.Ring[rec.Where], 8);  // the value and the next four bytes
            return STATUS_SUCCESS;
          }
          case IOCTL_ZEKMINI_READ_PHY_REG: {
            std::uint16_t value = 0xFFFF;
            mdio_read_c45(device, rec.PhyDevice, rec.PhyRegister, &value);
            rec.Value = value;
            OSPrimDebugPrint("func[%s,%d] Read page[%04X] reg[%04X] data[%04X]\n", __func__, __LINE__, rec.PhyDevice,
                             rec.PhyRegister, value);
            return STATUS_SUCCESS;
          }
          default:  // IOCTL_ZEKMINI_WRITE_PHY_REG
            if (mifh_write_10G_phy_reg(device, rec.PhyDevice, rec.PhyRegister, static_cast<std::uint16_t>(rec.Value)) !=
                0) {
              rec.Status = 1;
            }
            OSPrimDebugPrint("func[%s,%d] Write page[%04X] reg[%04X] data[%04X]\n", __func__, __LINE__, rec.PhyDevice,
                             rec.PhyRegister, rec.Value & 0xFFFF);
            return STATUS_SUCCESS;
        }
      });
}

NTSTATUS versions_request(const Request& r, ULONG* bytes) {
  return adapter_request<ZekVersionRecord>(r, bytes, 0, [](ZEK_ADAPTER* adapter, ZekVersionRecord& rec) {
    for (int i = 0; i < 3; ++i) rec.Bits[i] = adapter->Flags8E8[i];
    return STATUS_SUCCESS;
  });
}

NTSTATUS info_request(const Request& r, ULONG* bytes) {
  return adapter_request<ZekInfoRecord>(r, bytes, 0, [](ZEK_ADAPTER* adapter, ZekInfoRecord& rec) {
    const ZekInfoRecord head = rec;
    std::memset(&rec, 0, sizeof rec);  // every byte returned is written
    rec.Reserved = head.Reserved;
    rec.Adapter = head.Adapter;
    rec.DpcCalls = static_cast<std::uint32_t>(adapter->DpcCount);
    rec.InterruptsClaimed = static_cast<std::uint32_t>(adapter->IsrOurs);
    rec.InterruptsNotClaimed = static_cast<std::uint32_t>(adapter->IsrForeign);
    rec.DpcPassesCompleted = static_cast<std::uint32_t>(adapter->DpcPasses);
    const auto* qp = reinterpret_cast<const MifhQpObject*>(adapter->HwInfo->NicQp);
    rec.SendRing[0] = qp->SqRing.Head;
    rec.SendRing[1] = qp->SqRing.Tail;
    if (adapter->Send != nullptr) rec.SendCompletions = static_cast<std::uint32_t>(adapter->Send->Completions);
    if (adapter->Recv != nullptr) rec.Receives = static_cast<std::uint32_t>(adapter->Recv->Frames);
    return STATUS_SUCCESS;
  });
}

NTSTATUS entry_request(const Request& r, ULONG* bytes) {
  return adapter_request<ZekEntryRecord>(r, bytes, 0, [](ZEK_ADAPTER* adapter, ZekEntryRecord& rec) {
    std::memset(rec.Wqe, 0, sizeof rec.Wqe);
    const auto* qp = reinterpret_cast<const MifhQpObject*>(adapter->HwInfo->NicQp);
    if (qp->Sq == nullptr) return STATUS_SUCCESS;  // no ring: nothing copied
    if (rec.Index >= qp->SqWqeCount) return STATUS_INVALID_PARAMETER;
    std::memcpy(rec.Wqe, static_cast<const std::uint8_t*>(qp->Sq) + std::size_t{kWqeBytes} * rec.Index, kWqeBytes);
    return STATUS_SUCCESS;
  });
}

// Applies an enabled failover mode to the board's functions: the mode's
// functions get their steering; the others only lose the link-down flag.
NTSTATUS apply_failover(ZEK_ADAPTER* named, std::uint32_t mode, ZekFailoverRequest* rec) {
  ZEK_ADAPTER* f[4];
  board_functions(named->BoardKey, f);
  const bool two = mode == 2;
  if (f[0] == nullptr || (two && f[2] == nullptr)) {
    rec->Status = 1;
    return STATUS_NO_SUCH_DEVICE;
  }
  for (std::uint32_t n = 0; n < 4; ++n) {
    ZEK_ADAPTER* a = f[n];
    if (a == nullptr) continue;
    MifhDeviceObj* device = &a->HwInfo->Device;
    if (n == 0 || (two && n == 2)) {
      if (two) {
        mifh_failover_mode2(device, a->LinkDown == 0);
      } else {
        mifh_failover_mode1(device, a->LinkDown == 0);
      }
    } else {
      NdisAcquireSpinLock(&a->AdapterLock);
      a->Flags &= ~ZEK_FLAG_LINK_DOWN;
      NdisReleaseSpinLock(&a->AdapterLock);
      a->LinkDown = 0;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS failover_request(ULONG code, const Request& r, ULONG* bytes) {
  NTSTATUS status = sized(r, sizeof(ZekFailoverRequest));
  if (!NT_SUCCESS(status)) return status;
  ZekFailoverRequest rec;
  std::memcpy(&rec, r.buffer, sizeof rec);
  if (code == IOCTL_ZEKMINI_GET_FAILOVER) {
    rec.Mode = mifh_failover_mode();
    rec.Enable = mifh_failover_enabled() ? 1 : 0;
  } else {
    mifh_set_failover(rec.Enable == 1, rec.Mode);
    if (rec.Enable == 1 && (rec.Mode == 1 || rec.Mode == 2)) {
      ZEK_ADAPTER* any = nullptr;
      OSPrimSyncAcquireSpinlockObject(&g_Zek.ListLock);
      any = g_Zek.ListHead;
      if (any != nullptr) InterlockedIncrement(&any->Oid.QueriesRunning);
      OSPrimSyncReleaseSpinlockObject(&g_Zek.ListLock);
      status = any != nullptr ? apply_failover(any, rec.Mode, &rec) : STATUS_NO_SUCH_DEVICE;
      release(any);
      if (!NT_SUCCESS(status)) return status;
    }
  }
  std::memset(rec.Reserved, 0, sizeof rec.Reserved);
  rec.Status = 0;
  std::memcpy(r.buffer, &rec, sizeof rec);
  *bytes = sizeof rec;
  return STATUS_SUCCESS;
}

NTSTATUS oid_request(PDEVICE_OBJECT device, const Request& r, ULONG* bytes) {
  if (r.buffer == nullptr || r.in < 4 || r.out < ZEK_CONTROL_OID_HEADER) return STATUS_BUFFER_TOO_SMALL;
  const ULONG larger = r.in > r.out ? r.in : r.out;
  if (larger - ZEK_CONTROL_OID_HEADER > ZEK_CONTROL_OID_MAX_DATA) return ZEK_CONTROL_STATUS_OVERSIZED;
  ZEK_ADAPTER* adapter = acquire_by_device(device);
  if (adapter == nullptr) return STATUS_NOT_FOUND;
  auto* b = static_cast<std::uint8_t*>(r.buffer);
  std::uint32_t oid;
  std::memcpy(&oid, b, 4);
  const ULONG data_length = larger - ZEK_CONTROL_OID_HEADER;
  // The request may not run while NDIS would refuse it either.
  const std::uint32_t state = adapter->NdisState;
  ZekOidResult result{};
  if (state == ZEK_STATE_HALTED || state == ZEK_STATE_INITIALIZING || state == ZEK_STATE_HALTING) {
    result = {ZEK_OID_STATUS_NOT_READY, 0, 0};
  } else {
    result = MPQueryInformation(adapter, oid, data_length != 0 ? b + ZEK_CONTROL_OID_HEADER : nullptr, data_length);
  }
  release(adapter);
  std::uint32_t status = static_cast<std::uint32_t>(result.Status);
  std::uint32_t count = NT_SUCCESS(result.Status) ? result.Bytes : result.Needed;
  ULONG returned = ZEK_CONTROL_OID_HEADER;
  if (NT_SUCCESS(result.Status) && ZEK_CONTROL_OID_HEADER + std::uint64_t{result.Bytes} <= r.out) {
    returned += result.Bytes;
  } else if (NT_SUCCESS(result.Status)) {
    status = static_cast<std::uint32_t>(NDIS_STATUS_INVALID_LENGTH);
    count = result.Bytes;  // what the answer needs
  }
  std::memcpy(b + 4, &status, 4);
  std::memcpy(b + 8, &count, 4);
  *bytes = returned;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ZekIoctl(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = STATUS_SUCCESS;
  ULONG bytes = 0;
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
    const Request r{irp, irp->AssociatedIrp.SystemBuffer, stack->Parameters.DeviceIoControl.InputBufferLength,
                    stack->Parameters.DeviceIoControl.OutputBufferLength};
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    switch (code) {
      case IOCTL_ZEKMINI_READ_INDEXED:
      case IOCTL_ZEKMINI_WRITE_TABLE_ENTRY:
      case IOCTL_ZEKMINI_READ_REG:
      case IOCTL_ZEKMINI_WRITE_REG:
      case IOCTL_ZEKMINI_A42C:
      case IOCTL_ZEKMINI_A430:
      case IOCTL_ZEKMINI_READ_PHY_REG:
      case IOCTL_ZEKMINI_WRITE_PHY_REG:
        status = register_request(code, r, &bytes);
        break;
      case IOCTL_ZEKMINI_GET_ADAPTER_VERSIONS:
        status = versions_request(r, &bytes);
        break;
      case IOCTL_ZEKMINI_GET_ADAPTER_INFO:
        status = info_request(r, &bytes);
        break;
      case IOCTL_ZEKMINI_GET_RECORD_BY_INDEX:
        status = entry_request(r, &bytes);
        break;
      case IOCTL_ZEKMINI_GET_FAILOVER:
      case IOCTL_ZEKMINI_SET_FAILOVER:
        status = failover_request(code, r, &bytes);
        break;
      case IOCTL_ZEKMINI_QUERY_OID:
        status = oid_request(device, r, &bytes);
        break;
      case IOCTL_ZEKMINI_NOP_6004:
      case IOCTL_ZEKMINI_NOP_A0CB:
      case IOCTL_ZEKMINI_NOP_A0CF:
        break;
      default:
        status = STATUS_UNSUCCESSFUL;
        break;
    }
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = NT_ERROR(status) ? 0 : bytes;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NDIS_STATUS ZekRegisterDevice() {
  if (InterlockedCompareExchange(&g_Zek.DeviceRegistrationFlag, 1, 0) != 0) return NDIS_STATUS_SUCCESS;
  NDIS_STATUS status = NDIS_STATUS_SUCCESS;
  if (g_control_handle == nullptr) {
    status = register_device(kControlName, kControlLink, &g_control_device, &g_control_handle);
    if (status != NDIS_STATUS_SUCCESS) {
      ZEK_LOG_FAILURE("ZekRegisterDevice: NdisRegisterDeviceEx failed (0x%x)\n", static_cast<unsigned>(status));
      g_control_handle = nullptr;
      g_control_device = nullptr;
    }
  }
  InterlockedExchange(&g_Zek.DeviceRegistrationFlag, 0);
  return status;
}

void ZekDeregisterDevice() {
  while (InterlockedCompareExchange(&g_Zek.DeviceRegistrationFlag, 1, 0) != 0) NdisMSleep(1000);
  if (g_control_handle != nullptr) NdisDeregisterDeviceEx(g_control_handle);
  g_control_handle = nullptr;
  g_control_device = nullptr;
  InterlockedExchange(&g_Zek.DeviceRegistrationFlag, 0);
}

void ZekRegisterAdapterDevice(ZEK_ADAPTER* adapter) {
  if (!adapter->DeviceNamesSet) return;
  PDEVICE_OBJECT device = nullptr;
  NDIS_HANDLE handle = nullptr;
  while (InterlockedCompareExchange(&g_Zek.DeviceRegistrationFlag, 1, 0) != 0) NdisMSleep(1000);
  const NDIS_STATUS status = register_device(adapter->DeviceName, adapter->SymbolicName, &device, &handle);
  InterlockedExchange(&g_Zek.DeviceRegistrationFlag, 0);
  if (status != NDIS_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("ZekRegisterAdapterDevice: NdisRegisterDeviceEx failed (0x%x)\n", static_cast<unsigned>(status));
    return;
  }
  OSPrimSyncAcquireSpinlockObject(&g_Zek.ListLock);
  adapter->Oid.Device = device;
  adapter->Oid.DeviceHandle = handle;
  OSPrimSyncReleaseSpinlockObject(&g_Zek.ListLock);
  adapter->DeviceRegistered = TRUE;
}

void ZekDeregisterAdapterDevice(ZEK_ADAPTER* adapter) {
  // No new request finds the adapter; those that did end first.
  OSPrimSyncAcquireSpinlockObject(&g_Zek.ListLock);
  NDIS_HANDLE handle = adapter->Oid.DeviceHandle;
  adapter->Oid.Device = nullptr;
  adapter->Oid.DeviceHandle = nullptr;
  OSPrimSyncReleaseSpinlockObject(&g_Zek.ListLock);
  while (adapter->Oid.QueriesRunning != 0) NdisMSleep(1000);
  if (handle == nullptr) return;
  while (InterlockedCompareExchange(&g_Zek.DeviceRegistrationFlag, 1, 0) != 0) NdisMSleep(1000);
  NdisDeregisterDeviceEx(handle);
  InterlockedExchange(&g_Zek.DeviceRegistrationFlag, 0);
  adapter->DeviceRegistered = FALSE;
}
