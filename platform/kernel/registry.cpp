// The host's registry store and the driver routines that read it.
#include "platform/kernel/registry.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/kernel/fault.h"
#include "platform/kernel/kernel.h"

namespace plat {
namespace {

std::atomic<Registry*> current_registry{nullptr};

}  // namespace

Registry::Registry(std::string file) : RegistryStore(std::move(file)) {
  Registry* expected = nullptr;
  if (!current_registry.compare_exchange_strong(expected, this)) {
    fault(SrcLoc::current(), "a second registry opened in one host");
  }
}

Registry::~Registry() { current_registry.store(nullptr); }

Registry* Registry::try_current() { return current_registry.load(std::memory_order_acquire); }

}  // namespace plat

// ---- Driver routines ---------------------------------------------------------------

using plat::Registry;

namespace {

struct KeyObject {
  std::u16string path;
};
void destroy_key(void* body) { plat::destroy_object<KeyObject>(body); }
const OBJECT_TYPE kKeyType{"Key", &destroy_key};

std::u16string wide(PCWSTR text) {
  std::u16string out;
  if (text != nullptr) {
    while (*text != 0) out.push_back(*text++);
  }
  return out;
}

bool base_of(ULONG relative_to, PCWSTR path, std::u16string* out) {
  static constexpr std::u16string_view kMachine = u"\\Registry\\Machine\\";
  std::u16string p = wide(path);
  switch (relative_to & ~RTL_REGISTRY_OPTIONAL) {
    case RTL_REGISTRY_ABSOLUTE:
      *out = p;
      return true;
    case RTL_REGISTRY_SERVICES:
      *out = std::u16string(kMachine) + u"System\\CurrentControlSet\\Services\\" + p;
      return true;
    case RTL_REGISTRY_CONTROL:
      *out = std::u16string(kMachine) + u"System\\CurrentControlSet\\Control\\" + p;
      return true;
    case RTL_REGISTRY_WINDOWS_NT:
      *out = std::u16string(kMachine) + u"Software\\Microsoft\\Windows NT\\CurrentVersion\\" + p;
      return true;
    case RTL_REGISTRY_DEVICEMAP:
      *out = std::u16string(kMachine) + u"Hardware\\DeviceMap\\" + p;
      return true;
    case RTL_REGISTRY_HANDLE: {
      NTSTATUS status;
      void* body = plat::Kernel::current().handles().reference(const_cast<PWSTR>(path), &kKeyType, &status);
      if (body == nullptr) return false;
      *out = static_cast<KeyObject*>(body)->path;
      plat::dereference(body);
      return true;
    }
    default:
      return false;
  }
}

// Stores a value into a direct entry.
NTSTATUS store_direct(const RTL_QUERY_REGISTRY_TABLE& entry, ULONG type, const std::byte* data, ULONG length) {
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    auto* target = static_cast<PUNICODE_STRING>(entry.EntryContext);
    ULONG chars = 0;
    while ((chars + 1) * 2 <= length && (data[chars * 2] != std::byte{0} || data[chars * 2 + 1] != std::byte{0}))
      ++chars;
    const ULONG bytes = chars * 2;
    if (bytes > 0xFFFC) return STATUS_BUFFER_TOO_SMALL;
    if (target->Buffer == nullptr) {
      auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + 2, MAKEFOURCC_LE('S', 't', 'r', 'g')));
      if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
      target->Buffer = buffer;
      target->MaximumLength = static_cast<USHORT>(bytes + 2);
    } else if (target->MaximumLength < bytes + 2) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(target->Buffer, data, bytes);
    target->Buffer[chars] = 0;
    target->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
  }
  if (type == REG_DWORD || type == REG_QWORD) {
    std::memcpy(entry.EntryContext, data, std::min<ULONG>(length, type == REG_DWORD ? 4 : 8));
    return STATUS_SUCCESS;
  }
  // Other types: the entry's first LONG, negated, is the size of its buffer.
  LONG size;
  std::memcpy(&size, entry.EntryContext, sizeof size);
  if (size >= 0) return STATUS_INVALID_PARAMETER;
  if (static_cast<ULONG>(-size) < length) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(entry.EntryContext, data, length);
  return STATUS_SUCCESS;
}

NTSTATUS deliver(const RTL_QUERY_REGISTRY_TABLE& entry, PCWSTR name, ULONG type, const std::byte* data, ULONG length,
                 PVOID context) {
  if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) return store_direct(entry, type, data, length);
  return entry.QueryRoutine(const_cast<PWSTR>(name), type, const_cast<std::byte*>(data), length, context,
                            entry.EntryContext);
}

// The entry's default, or nothing.
NTSTATUS deliver_default(const RTL_QUERY_REGISTRY_TABLE& entry, PVOID context) {
  if (entry.DefaultType == REG_NONE) return STATUS_SUCCESS;
  ULONG length = entry.DefaultLength;
  if (entry.DefaultType == REG_SZ || entry.DefaultType == REG_EXPAND_SZ) {
    // A string default ends at its terminator, whatever DefaultLength says.
    const auto* text = static_cast<const WCHAR*>(entry.DefaultData);
    ULONG chars = 0;
    const ULONG limit = length == 0 ? 0x7FFE : length / 2;
    while (text != nullptr && chars < limit && text[chars] != 0) ++chars;
    std::u16string copy(text != nullptr ? text : u"", chars);
    copy.push_back(u'\0');
    return deliver(entry, entry.Name, entry.DefaultType, reinterpret_cast<const std::byte*>(copy.data()),
                   static_cast<ULONG>(copy.size() * 2), context);
  }
  return deliver(entry, entry.Name, entry.DefaultType, static_cast<const std::byte*>(entry.DefaultData), length,
                 context);
}

}  // namespace

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                PVOID) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    plat::fault(SrcLoc::current(), "RtlQueryRegistryValues at IRQL %u", KeGetCurrentIrql());
  }
  Registry* registry = Registry::try_current();
  std::u16string base;
  if (QueryTable == nullptr || !base_of(RelativeTo, Path, &base)) return STATUS_INVALID_PARAMETER;
  const bool key_there = registry != nullptr && registry->key_exists(base);
  if (!key_there && !(RelativeTo & RTL_REGISTRY_OPTIONAL)) return STATUS_OBJECT_NAME_NOT_FOUND;
  std::u16string key = base;
  for (auto* entry = QueryTable; entry->QueryRoutine != nullptr || entry->Name != nullptr; ++entry) {
    if (entry->Flags & RTL_QUERY_REGISTRY_TOPKEY) key = base;
    if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
      key = base + u"\\" + wide(entry->Name);
      continue;
    }
    if (!(entry->Flags & RTL_QUERY_REGISTRY_DIRECT) && entry->QueryRoutine == nullptr) continue;
    if ((entry->Flags & RTL_QUERY_REGISTRY_DIRECT) && (entry->Name == nullptr || entry->EntryContext == nullptr)) {
      return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (entry->Name == nullptr) {
      // Every value of the key.
      if (registry != nullptr) {
        for (auto& [name, value] : registry->values(key)) {
          std::u16string z = name;
          status =
              deliver(*entry, z.c_str(), value.type, value.data.data(), static_cast<ULONG>(value.data.size()), Context);
          if (!NT_SUCCESS(status)) return status;
        }
      }
      continue;
    }
    std::optional<Registry::Value> value;
    if (registry != nullptr) value = registry->get(key, wide(entry->Name));
    if (value) {
      status = deliver(*entry, entry->Name, value->type, value->data.data(), static_cast<ULONG>(value->data.size()),
                       Context);
    } else if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) {
      return STATUS_OBJECT_NAME_NOT_FOUND;
    } else {
      status = deliver_default(*entry, Context);
    }
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK, POBJECT_ATTRIBUTES ObjectAttributes) {
  if (KeyHandle == nullptr || ObjectAttributes == nullptr || ObjectAttributes->ObjectName == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  std::u16string path(plat::view_of(ObjectAttributes->ObjectName));
  if (ObjectAttributes->RootDirectory != nullptr) {
    std::u16string root;
    if (!base_of(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(ObjectAttributes->RootDirectory), &root)) {
      return STATUS_INVALID_HANDLE;
    }
    path = root + u"\\" + path;
  }
  Registry* registry = Registry::try_current();
  if (registry == nullptr || !registry->key_exists(path)) return STATUS_OBJECT_NAME_NOT_FOUND;
  auto* key = plat::create_object<KeyObject>(kKeyType, KeyObject{path});
  *KeyHandle = plat::Kernel::current().handles().insert(key);
  plat::dereference(key);
  return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, KEY_VALUE_INFORMATION_CLASS Class,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  if (ResultLength == nullptr) return STATUS_INVALID_PARAMETER;
  NTSTATUS status;
  void* body = plat::Kernel::current().handles().reference(KeyHandle, &kKeyType, &status);
  if (body == nullptr) return status;
  std::u16string path = static_cast<KeyObject*>(body)->path;
  plat::dereference(body);
  std::u16string name(plat::view_of(ValueName));
  Registry* registry = Registry::try_current();
  auto value = registry != nullptr ? registry->get(path, name) : std::nullopt;
  if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
  const ULONG data_length = static_cast<ULONG>(value->data.size());
  const ULONG name_length = static_cast<ULONG>(name.size() * 2);
  std::vector<std::byte> out;
  ULONG fixed = 0;
  switch (Class) {
    case KeyValueBasicInformation: {
      fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
      out.resize(fixed + name_length);
      KEY_VALUE_BASIC_INFORMATION head{0, value->type, name_length, {}};
      std::memcpy(out.data(), &head, fixed);
      std::memcpy(out.data() + fixed, name.data(), name_length);
      break;
    }
    case KeyValueFullInformation: {
      fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
      const ULONG data_offset = (fixed + name_length + 7) & ~7u;
      out.resize(data_offset + data_length);
      KEY_VALUE_FULL_INFORMATION head{0, value->type, data_offset, data_length, name_length, {}};
      std::memcpy(out.data(), &head, fixed);
      std::memcpy(out.data() + fixed, name.data(), name_length);
      std::memcpy(out.data() + data_offset, value->data.data(), data_length);
      break;
    }
    case KeyValuePartialInformation: {
      fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
      out.resize(fixed + data_length);
      KEY_VALUE_PARTIAL_INFORMATION head{0, value->type, data_length, {}};
      std::memcpy(out.data(), &head, fixed);
      std::memcpy(out.data() + fixed, value->data.data(), data_length);
      break;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
  *ResultLength = static_cast<ULONG>(out.size());
  if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
  if (KeyValueInformation == nullptr) return STATUS_INVALID_PARAMETER;
  std::memcpy(KeyValueInformation, out.data(), std::min<std::size_t>(Length, out.size()));
  return Length < out.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}
