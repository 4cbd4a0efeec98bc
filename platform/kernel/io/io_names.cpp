// The I/O manager's namespace: drivers, devices and DOS names.
#include <algorithm>
#include <cstring>

#include "platform/kernel/fault.h"
#include "platform/kernel/io/io_internal.h"
#include "platform/kernel/io/usermap.h"

namespace plat {
namespace {

std::atomic<IoManager*> current_io{nullptr};

void destroy_device(void* body) {
  auto* device = static_cast<DEVICE_OBJECT*>(body);
  delete device_impl(device);
  if (device->DeviceExtension != nullptr) ExFreePoolWithTag(device->DeviceExtension, kDeviceTag);
  destroy_object<DEVICE_OBJECT>(body);
}

NTSTATUS invalid_request(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

char16_t upcase(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

}  // namespace

const OBJECT_TYPE kDeviceObjectType{"Device", &destroy_device};

IoManager::IoManager(Kernel& kernel) : kernel_(kernel) {
  KeInitializeSpinLock(&cancel_lock_);
  rings_ = std::make_unique<RegisterRings>(kernel.memory());
  IoManager* expected = nullptr;
  if (!current_io.compare_exchange_strong(expected, this)) {
    fault(SrcLoc::current(), "a second I/O manager started in one host");
  }
}

IoManager::~IoManager() {
  // Drivers still loaded are unloaded newest first, as the host does.
  while (!drivers_.empty()) unload_driver(drivers_.back());
  rings_.reset();
  current_io.store(nullptr);
}

IoManager& IoManager::current() {
  IoManager* io = current_io.load(std::memory_order_acquire);
  if (io == nullptr) fault(SrcLoc::current(), "no I/O manager is running in this host");
  return *io;
}

IoManager* IoManager::try_current() { return current_io.load(std::memory_order_acquire); }

std::u16string IoManager::key_of(std::u16string_view name) {
  std::u16string key(name);
  for (auto& c : key) c = upcase(c);
  // The DOS-name directories are one.
  for (std::u16string_view prefix : {std::u16string_view(u"\\DOSDEVICES\\"), std::u16string_view(u"\\GLOBAL??\\")}) {
    if (key.starts_with(prefix)) return u"\\??\\" + key.substr(prefix.size());
  }
  return key;
}

NTSTATUS IoManager::load_driver(std::string_view name, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* out) {
  auto* driver = new DRIVER_OBJECT{};
  auto* impl = new DriverImpl{u"\\Driver\\" + to_u16(name),
                              u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\" + to_u16(name)};
  driver->Type = 4;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->Impl = impl;
  driver->DriverName.Buffer = impl->name.data();
  driver->DriverName.Length = static_cast<USHORT>(impl->name.size() * 2);
  driver->DriverName.MaximumLength = driver->DriverName.Length;
  for (auto& routine : driver->MajorFunction) routine = &invalid_request;
  UNICODE_STRING path;
  path.Buffer = impl->registry_path.data();
  path.Length = static_cast<USHORT>(impl->registry_path.size() * 2);
  path.MaximumLength = path.Length;
  NTSTATUS status;
  try {
    status = entry(driver, &path);
  } catch (const SehException& e) {
    status = e.code;
  }
  if (!NT_SUCCESS(status)) {
    DbgPrint("I/O manager: DriverEntry of %.*s failed (0x%08x)\n", static_cast<int>(name.size()), name.data(),
             static_cast<unsigned>(status));
    // A failed entry has torn down what it built; devices it left behind go.
    while (driver->DeviceObject != nullptr) IoDeleteDevice(driver->DeviceObject);
    delete impl;
    delete driver;
    return status;
  }
  {
    std::lock_guard lock(mu_);
    drivers_.push_back(driver);
  }
  *out = driver;
  return status;
}

void IoManager::unload_driver(PDRIVER_OBJECT driver) {
  {
    std::lock_guard lock(mu_);
    auto it = std::find(drivers_.begin(), drivers_.end(), driver);
    if (it == drivers_.end()) return;
    drivers_.erase(it);
  }
  // Completions from DPCs still queued or running, and the closes they defer
  // to the worker threads, reach the driver before it goes.
  KeFlushQueuedDpcs();
  kernel_.workers().drain();
  if (driver->DriverUnload != nullptr) {
    try {
      driver->DriverUnload(driver);
    } catch (const SehException& e) {
      DbgPrint("I/O manager: unload of %s raised 0x%08x\n", to_utf8(view_of(&driver->DriverName)).c_str(),
               static_cast<unsigned>(e.code));
    }
  }
  if (driver->DeviceObject != nullptr) {
    DbgPrint("I/O manager: %s left devices behind at unload; deleting them\n",
             to_utf8(view_of(&driver->DriverName)).c_str());
    while (driver->DeviceObject != nullptr) IoDeleteDevice(driver->DeviceObject);
  }
  delete static_cast<DriverImpl*>(driver->Impl);
  delete driver;
}

NTSTATUS IoManager::insert_device(std::u16string_view name, PDEVICE_OBJECT device) {
  std::lock_guard lock(mu_);
  auto [it, inserted] = names_.try_emplace(key_of(name));
  if (!inserted) return STATUS_OBJECT_NAME_COLLISION;
  it->second.device = device;
  return STATUS_SUCCESS;
}

void IoManager::remove_device(PDEVICE_OBJECT device) {
  std::lock_guard lock(mu_);
  for (auto it = names_.begin(); it != names_.end(); ++it) {
    if (it->second.device == device) {
      names_.erase(it);
      return;
    }
  }
}

NTSTATUS IoManager::create_link(std::u16string_view link, std::u16string_view target) {
  if (link.empty() || target.empty()) return STATUS_OBJECT_NAME_INVALID;
  std::lock_guard lock(mu_);
  auto [it, inserted] = names_.try_emplace(key_of(link));
  if (!inserted) return STATUS_OBJECT_NAME_COLLISION;
  it->second.target = std::u16string(target);
  return STATUS_SUCCESS;
}

NTSTATUS IoManager::delete_link(std::u16string_view link) {
  std::lock_guard lock(mu_);
  auto it = names_.find(key_of(link));
  if (it == names_.end() || it->second.device != nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  names_.erase(it);
  return STATUS_SUCCESS;
}

PDEVICE_OBJECT IoManager::reference_device(std::u16string_view name) {
  std::lock_guard lock(mu_);
  std::u16string key = key_of(name);
  for (int depth = 0; depth < 8; ++depth) {
    auto it = names_.find(key);
    if (it == names_.end()) return nullptr;
    if (it->second.device != nullptr) {
      reference(it->second.device);
      return it->second.device;
    }
    key = key_of(it->second.target);
  }
  return nullptr;  // a loop of links
}

std::size_t IoManager::processes() const {
  std::lock_guard lock(mu_);
  std::size_t n = 0;
  for (auto& [pid, weak] : processes_) n += weak.expired() ? 0 : 1;
  return n;
}

}  // namespace plat

using plat::IoManager;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
  if (DriverObject == nullptr || DeviceObject == nullptr) return STATUS_INVALID_PARAMETER;
  *DeviceObject = nullptr;
  auto* device = plat::create_object<DEVICE_OBJECT>(plat::kDeviceObjectType);
  std::memset(device, 0, sizeof *device);
  auto* impl = new plat::DeviceImpl;
  device->Impl = impl;
  device->Type = 3;
  device->Size = sizeof(DEVICE_OBJECT);
  device->DriverObject = DriverObject;
  device->DeviceType = DeviceType;
  device->Characteristics = DeviceCharacteristics;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  device->StackSize = 1;
  if (DeviceExtensionSize != 0) {
    device->DeviceExtension = ExAllocatePoolWithTag(NonPagedPool, DeviceExtensionSize, plat::kDeviceTag);
    if (device->DeviceExtension == nullptr) {
      plat::dereference(device);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(device->DeviceExtension, 0, DeviceExtensionSize);
  }
  if (DeviceName != nullptr && DeviceName->Length != 0) {
    impl->name = std::u16string(plat::view_of(DeviceName));
    NTSTATUS status = IoManager::current().insert_device(impl->name, device);
    if (!NT_SUCCESS(status)) {
      plat::dereference(device);
      return status;
    }
  }
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  if (DeviceObject == nullptr) return;
  auto* impl = plat::device_impl(DeviceObject);
  if (impl->deleted)
    plat::fault(SrcLoc::current(), "IoDeleteDevice(%p): deleted twice", static_cast<void*>(DeviceObject));
  impl->deleted = true;
  IoManager::current().remove_device(DeviceObject);
  PDRIVER_OBJECT driver = DeviceObject->DriverObject;
  for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
    if (*link == DeviceObject) {
      *link = DeviceObject->NextDevice;
      break;
    }
  }
  plat::dereference(DeviceObject);  // the device's own reference; open files keep it alive
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  return IoManager::current().create_link(plat::view_of(SymbolicLinkName), plat::view_of(DeviceName));
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  return IoManager::current().delete_link(plat::view_of(SymbolicLinkName));
}
