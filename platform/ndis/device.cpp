// Control devices of a miniport driver (NdisRegisterDeviceEx). NDIS takes
// the driver object's dispatch entries and routes each request to the
// table registered with the device it is sent to; an open is checked
// against the device's SDDL string first.
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "platform/ndis/internal.h"

namespace plat::ndis {
namespace {

constexpr std::uint32_t kDeviceMagic = 0x4E444556;  // "NDEV"

// At the start of the device extension; the miniport's part follows.
struct RegisteredDevice {
  std::uint32_t magic;
  PDEVICE_OBJECT device;
  std::array<PDRIVER_DISPATCH, IRP_MJ_MAXIMUM_FUNCTION + 1> dispatch;
  bool kernel_only;  // the SDDL admits SYSTEM and no user
  bool admins;       // ... administrators
  bool everyone;
  std::u16string symbolic;
};
constexpr std::size_t kHeaderBytes = (sizeof(RegisteredDevice) + 15) & ~std::size_t{15};

RegisteredDevice* registered(PDEVICE_OBJECT device) {
  auto* r = static_cast<RegisteredDevice*>(device->DeviceExtension);
  return r != nullptr && r->magic == kDeviceMagic ? r : nullptr;
}

bool user_is_root(PEPROCESS process) {
  const auto pid = reinterpret_cast<std::uintptr_t>(PsGetProcessId(process));
  struct stat st {};
  const std::string path = "/proc/" + std::to_string(pid);
  return ::stat(path.c_str(), &st) == 0 && st.st_uid == 0;
}

NTSTATUS route(PDEVICE_OBJECT device, PIRP irp) {
  RegisteredDevice* r = registered(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
  if (r != nullptr && stack->MajorFunction == IRP_MJ_CREATE) {
    // An open is the I/O manager's own request on the caller's behalf: a
    // user's open comes in user mode, in the caller's process context.
    PEPROCESS requestor = IoGetRequestorProcess(irp);
    if (requestor == nullptr && irp->RequestorMode == UserMode) requestor = PsGetCurrentProcess();
    const bool admitted =
        requestor == nullptr || r->everyone || (r->admins && !r->kernel_only && user_is_root(requestor));
    if (!admitted) {
      status = STATUS_ACCESS_DENIED;
      irp->IoStatus.Status = status;
      irp->IoStatus.Information = 0;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
  }
  if (r != nullptr && r->dispatch[stack->MajorFunction] != nullptr)
    return r->dispatch[stack->MajorFunction](device, irp);
  if (stack->MajorFunction == IRP_MJ_CREATE || stack->MajorFunction == IRP_MJ_CLOSE ||
      stack->MajorFunction == IRP_MJ_CLEANUP) {
    status = STATUS_SUCCESS;
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// The trustees of "(A;;GA;;;XX)" entries.
void read_sddl(std::u16string_view sddl, RegisteredDevice* r) {
  r->kernel_only = true;
  for (std::size_t at = sddl.find(u'('); at != std::u16string_view::npos; at = sddl.find(u'(', at + 1)) {
    const std::size_t end = sddl.find(u')', at);
    if (end == std::u16string_view::npos) break;
    const std::u16string_view ace = sddl.substr(at + 1, end - at - 1);
    if (!ace.starts_with(u"A;")) continue;
    const std::u16string_view trustee = ace.substr(ace.rfind(u';') + 1);
    if (trustee == u"BA") {
      r->admins = true;
      r->kernel_only = false;
    } else if (trustee == u"WD" || trustee == u"AU" || trustee == u"IU") {
      r->everyone = true;
      r->kernel_only = false;
    }
  }
}

}  // namespace
}  // namespace plat::ndis

NDIS_STATUS NdisRegisterDeviceEx(NDIS_HANDLE NdisObjectHandle, PNDIS_DEVICE_OBJECT_ATTRIBUTES attributes,
                                 PDEVICE_OBJECT* pDeviceObject, PNDIS_HANDLE NdisDeviceHandle) {
  using plat::ndis::RegisteredDevice;
  auto* miniport = static_cast<plat::ndis::MiniportDriver*>(NdisObjectHandle);
  if (miniport == nullptr || attributes == nullptr || attributes->DeviceName == nullptr || pDeviceObject == nullptr ||
      NdisDeviceHandle == nullptr) {
    return NDIS_STATUS_INVALID_PARAMETER;
  }
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status =
      IoCreateDevice(miniport->object, static_cast<ULONG>(plat::ndis::kHeaderBytes + attributes->ExtensionSize),
                     attributes->DeviceName, 0x12, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto* r = new (device->DeviceExtension) RegisteredDevice{};
  r->magic = plat::ndis::kDeviceMagic;
  r->device = device;
  for (std::size_t i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
    r->dispatch[i] = attributes->MajorFunctions != nullptr ? attributes->MajorFunctions[i] : nullptr;
  }
  if (attributes->DefaultSDDLString != nullptr) {
    plat::ndis::read_sddl(plat::view_of(attributes->DefaultSDDLString), r);
  } else {
    r->everyone = true;
  }
  if (attributes->SymbolicName != nullptr) {
    status = IoCreateSymbolicLink(attributes->SymbolicName, attributes->DeviceName);
    if (!NT_SUCCESS(status)) {
      r->~RegisteredDevice();
      IoDeleteDevice(device);
      return status;
    }
    r->symbolic = std::u16string(plat::view_of(attributes->SymbolicName));
  }
  for (auto& entry : miniport->object->MajorFunction) entry = &plat::ndis::route;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  *pDeviceObject = device;
  *NdisDeviceHandle = device;
  return NDIS_STATUS_SUCCESS;
}

void NdisDeregisterDeviceEx(NDIS_HANDLE NdisDeviceHandle) {
  auto* device = static_cast<PDEVICE_OBJECT>(NdisDeviceHandle);
  if (device == nullptr) return;
  if (auto* r = plat::ndis::registered(device)) {
    if (!r->symbolic.empty()) {
      UNICODE_STRING link;
      link.Buffer = r->symbolic.data();
      link.Length = link.MaximumLength = static_cast<USHORT>(r->symbolic.size() * 2);
      IoDeleteSymbolicLink(&link);
    }
    r->magic = 0;
    r->~RegisteredDevice();
  }
  IoDeleteDevice(device);
}

PVOID NdisGetDeviceReservedExtension(PDEVICE_OBJECT DeviceObject) {
  return static_cast<std::uint8_t*>(DeviceObject->DeviceExtension) + plat::ndis::kHeaderBytes;
}
