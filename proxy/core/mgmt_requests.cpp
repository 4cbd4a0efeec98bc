// CommonMgmtIoctl: the management requests of the control device (adapters,
// ports and nodes, counters, the debug table, flash, EEPROM, the reset
// pulse, versions, link state, review tables) and, through mgmt_log.cpp,
// the three log requests. Records and the decisions behind them are in
// include/zek/mgmt.h.
//
// A management handle is found among the driver's attached adapters before
// anything is read through it: the driver walks its adapter slots, enters
// the slot's detach guard and compares the slot's adapter information with
// the handle. While the request holds the guard a detach of that adapter
// waits for it, so nothing the request uses is freed under it. A handle
// that names no attached adapter is answered with status 1.
//
// Flash and EEPROM sequences and the reset pulse run under the board's
// flash or EEPROM manager lock (refused, never waited for, when another
// request holds it: the refusal's status goes into the record and the
// hardware is not touched). They run at PASSIVE_LEVEL with no spin lock
// held, so their polls and the reset pulse's one-second waits are full
// waits; the index-register lock is taken only around the one indexed
// access inside the flash write, by the hardware interface itself.
#include <cstring>
#include <optional>

#include "include/zek/mgmt.h"
#include "platform/kernel/se.h"
#include "proxy/core/attach_internal.h"
#include "proxy/core/zpx.h"
#include "proxy/rdma/hw/counters.h"
#include "proxy/rdma/hw/phy.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/hw/storage.h"
#include "proxy/rdma/verbs/resource_counts.h"

namespace {

constexpr std::uint32_t kOk = ZEK_MGMT_STATUS_SUCCESS;
constexpr std::uint32_t kFail = ZEK_MGMT_STATUS_FAILURE;

// ---- Adapters by handle -------------------------------------------------------------------------------

// An attached adapter held against its detach for one request.
class HeldAdapter {
 public:
  HeldAdapter() = default;
  HeldAdapter(const HeldAdapter&) = delete;
  HeldAdapter& operator=(const HeldAdapter&) = delete;
  ~HeldAdapter() { release(); }

  // Holds the attached adapter that `match` accepts; false when none does.
  template <typename Match>
  bool hold(Match match) {
    release();
    for (ZpxAdapterSlot& slot : g_ZpxAdapterSlots) {
      if (slot.Record.load() == nullptr || !ZpxDetachGuardEnter(&slot.Guard)) continue;
      ProxyAdapterInfo* info = slot.Record.load() != nullptr ? slot.Info : nullptr;
      if (info != nullptr && info->Signature == ZPX_ADAPTER_INFO_SIGNATURE && info->Hw != nullptr &&
          info->Hw->Device != nullptr && match(info)) {
        slot_ = &slot;
        info_ = info;
        return true;
      }
      ZpxDetachGuardLeave(&slot.Guard);
    }
    return false;
  }
  bool hold_handle(std::uint64_t handle) {
    return handle != 0 &&
           hold([handle](const ProxyAdapterInfo* info) { return reinterpret_cast<std::uint64_t>(info) == handle; });
  }
  void release() {
    if (slot_ != nullptr) ZpxDetachGuardLeave(&slot_->Guard);
    slot_ = nullptr;
    info_ = nullptr;
  }
  ProxyAdapterInfo* info() const { return info_; }
  MifhDeviceObj* device() const { return info_->Hw->Device; }
  const ZpxAdapterManagers& managers() const { return info_->Hw->Managers; }

 private:
  ZpxAdapterSlot* slot_ = nullptr;
  ProxyAdapterInfo* info_ = nullptr;
};

std::uint32_t attached_adapters() {
  std::uint32_t n = 0;
  for (const ZpxAdapterSlot& slot : g_ZpxAdapterSlots) {
    if (slot.Record.load() != nullptr && slot.Info != nullptr) ++n;
  }
  return n;
}

void log_bad_handle() { ZEK_LOG_FAILURE("CommonMgmtIoctl(): Bad AdapterMgmtHandle\n"); }

// ---- Caller memory --------------------------------------------------------------------------------------

// A buffer of the calling process mapped for the kernel for exactly the
// length the request states; unmapped when it goes.
class CallerBuffer {
 public:
  CallerBuffer() = default;
  CallerBuffer(const CallerBuffer&) = delete;
  CallerBuffer& operator=(const CallerBuffer&) = delete;
  ~CallerBuffer() {
    if (system_ != nullptr) OSPrimUnMapIt(&map_);
  }
  // False (logged) when the range cannot be mapped; a length of 0 maps nothing.
  bool map(std::uint64_t address, std::uint64_t length, const char* what) {
    if (length == 0) return true;
    if (address == 0 || length > UINT32_MAX ||
        OSPrimMapIt(reinterpret_cast<void*>(address), static_cast<std::uint32_t>(length), &map_, &system_) !=
            ZEK_STATUS_PASS) {
      system_ = nullptr;
      ZEK_LOG_FAILURE("CommonMgmtIoctl: %s x%llx (0x%llx bytes) cannot be mapped\n", what,
                      static_cast<unsigned long long>(address), static_cast<unsigned long long>(length));
      return false;
    }
    return true;
  }
  template <typename T>
  T* as() const {
    return static_cast<T*>(system_);
  }

 private:
  OSPrimMapRecord map_{};
  void* system_ = nullptr;
};

// Writes one value through a mapping of the caller's pointer: true, or
// false (logged) when the pointer is null or cannot be mapped.
template <typename T>
bool write_out(std::uint64_t address, const T& value, const char* null_message) {
  if (address == 0 || ZekIsBadPointer(reinterpret_cast<void*>(address))) {
    ZEK_LOG_FAILURE("%s", null_message);
    return false;
  }
  CallerBuffer out;
  if (!out.map(address, sizeof(T), "result address")) return false;
  std::memcpy(out.as<void>(), &value, sizeof(T));
  return true;
}

// ---- Privilege ------------------------------------------------------------------------------------------

// Kernel-mode callers (system threads) and processes that run as the
// administrator (effective user id 0), as the platform's privilege check
// decides: a process that dropped its privileges is not privileged, whoever
// owns its /proc entry.
bool caller_privileged() {
  if (PsIsSystemThread(PsGetCurrentThread())) return true;
  return SeSinglePrivilegeCheck(SE_TCB_PRIVILEGE, UserMode) != FALSE;
}

bool refuse_unprivileged(bool privileged, ULONG code) {
  if (privileged) return false;
  ZEK_LOG_FAILURE("CommonMgmtIoctl: request 0x%x refused: it changes the adapter and the caller is not privileged\n",
                  code);
  return true;
}

// ---- The board's device locks -------------------------------------------------------------------------------

// The flash or EEPROM manager lock of the adapter's board, taken for one
// request. A refusal (held by another request) is not waited for.
class DeviceLock {
 public:
  DeviceLock(const ZekDeviceLockTable* table, ZekGim* gim) : table_(table), gim_(gim) {
    status_ = table_ == nullptr || g_ZpxGimTable == nullptr || gim_ == nullptr ? ZEK_STATUS_BAD_PTR
                                                                               : table_->Lock(g_ZpxGimTable, gim_);
  }
  DeviceLock(const DeviceLock&) = delete;
  DeviceLock& operator=(const DeviceLock&) = delete;
  ~DeviceLock() {
    if (status_ == ZEK_STATUS_PASS) table_->Release(g_ZpxGimTable, gim_);
  }
  ZekStatus status() const { return status_; }

 private:
  const ZekDeviceLockTable* table_;
  ZekGim* gim_;
  ZekStatus status_;
};

// ---- The debug table ------------------------------------------------------------------------------------
struct DebugEntry {
  std::uint32_t First;   // read by GET_DEBUG
  std::uint32_t Second;  // written by SET_DEBUG
};
DebugEntry g_debug_table[ZEK_MGMT_DEBUG_ENTRIES];

DebugEntry* debug_entry(std::uint32_t index) {
  if (index < ZEK_MGMT_DEBUG_FIRST || index - ZEK_MGMT_DEBUG_FIRST >= ZEK_MGMT_DEBUG_ENTRIES) return nullptr;
  return &g_debug_table[index - ZEK_MGMT_DEBUG_FIRST];
}

// ---- The requests -------------------------------------------------------------------------------------------

void get_num_adapters(ZekMgmtNumAdaptersRecord* r) {
  r->Status = write_out(r->CountAddress, attached_adapters(), "CommonMgmtIoctl: pNumAdapters is NULL\n") ? kOk : kFail;
}

void open_adapter(ZekMgmtOpenAdapterRecord* r) {
  if (r->HandleAddress == 0 || ZekIsBadPointer(reinterpret_cast<void*>(r->HandleAddress))) {
    ZEK_LOG_FAILURE("CommonMgmtIoctl: pAdapterMgmtHandle is NULL\n");
    r->Status = kFail;
    return;
  }
  const std::uint32_t number = r->AdapterNumber;
  HeldAdapter adapter;
  if (!adapter.hold([number](const ProxyAdapterInfo* info) { return info->AdapterIndex == number; })) {
    r->Status = kFail;
    return;
  }
  const auto handle = reinterpret_cast<std::uint64_t>(adapter.info());
  if (!write_out(handle != 0 ? r->HandleAddress : 0, handle, "CommonMgmtIoctl: pAdapterMgmtHandle is NULL\n")) {
    r->Status = kFail;
    return;
  }
  const MifhDeviceObj* device = adapter.device();
  r->Identification[0] = device->IdentificationWord[0];
  r->Identification[1] = device->IdentificationWord[1];
  r->PciFunction = device->PciFunction;
  r->Status = kOk;
}

void get_num_ports(ZekMgmtCountRecord* r) {
  HeldAdapter adapter;
  if (!adapter.hold_handle(r->Handle)) {
    ZEK_LOG_FAILURE("func [%s %d] ZpxGetDevObjectFromMgmtAdapterHandle returned error %x \n", __func__, __LINE__,
                    ZEK_STATUS_FAIL);
    r->Status = kFail;
    return;
  }
  r->Status =
      write_out(r->CountAddress, ZekMgmtPortsOfMode(adapter.device()->PortMode), "CommonMgmtIoctl: pNumPorts is NULL\n")
          ? kOk
          : kFail;
}

void get_num_nodes(ZekMgmtCountRecord* r) {
  HeldAdapter adapter;
  if (!adapter.hold_handle(r->Handle)) {
    r->Status = kFail;
    return;
  }
  r->Status = write_out(r->CountAddress, ZEK_MGMT_NODES, "CommonMgmtIoctl: pNumNodes is NULL\n") ? kOk : kFail;
}

void get_stat(ZekStatsRequest* r, bool per_port) {
  HeldAdapter adapter;
  if (!adapter.hold_handle(r->Handle)) {
    r->Status = kFail;
    return;
  }
  std::uint64_t value = 0;
  const std::uint32_t status = per_port ? mifh_get_port_stat(adapter.device(), &value, r->Port, r->CounterId)
                                        : mifh_get_adapter_stat(adapter.device(), &value, r->CounterId);
  if (status == 0) r->Value = value;
  r->Status = status == 0 ? kOk : kFail;
}

void debug_request(ZekMgmtDebugRecord* r, bool set) {
  HeldAdapter adapter;
  if (!adapter.hold_handle(r->Handle)) {
    r->Status = kFail;
    return;
  }
  DebugEntry* entry = debug_entry(r->Index);
  if (!set && r->Index < ZEK_MGMT_DEBUG_ZERO_BELOW) {
    r->Value = 0;
    r->Status = kOk;
  } else if (entry == nullptr) {
    r->Status = kFail;
  } else if (set) {
    entry->Second = static_cast<std::uint32_t>(r->Value);
    r->Status = kOk;
  } else {
    r->Value = entry->First;
    r->Status = kOk;
  }
}

bool flash_range_ok(std::uint32_t address, std::uint32_t count) {
  return address % 4 == 0 && address <= ZEK_MGMT_FLASH_BYTES && count <= (ZEK_MGMT_FLASH_BYTES - address) / 4;
}

bool eeprom_range_ok(std::uint32_t address, std::uint32_t count) {
  return address <= ZEK_MGMT_EEPROM_WORDS && count <= ZEK_MGMT_EEPROM_WORDS - address;
}

// The path every flash, EEPROM and reset request takes to the hardware: a
// change only for a privileged caller, a handle of an attached adapter, a
// range inside the part, then `body` under the board's flash or EEPROM lock
// and, where given, the second lock too (a refusal's status goes into the
// record, the hardware untouched). The body answers whether the hardware
// sequence succeeded.
template <typename Body>
void hardware_request(std::uint32_t* status, std::uint64_t handle, ULONG code, bool changes, bool privileged,
                      bool range_ok, const ZekDeviceLockTable* lock_table, Body body,
                      const ZekDeviceLockTable* second_lock_table = nullptr) {
  *status = kFail;
  if (changes && refuse_unprivileged(privileged, code)) return;
  HeldAdapter adapter;
  if (!adapter.hold_handle(handle)) {
    log_bad_handle();
    return;
  }
  if (!range_ok) {
    ZEK_LOG_FAILURE("CommonMgmtIoctl: request 0x%x names a range outside the adapter's flash or EEPROM\n", code);
    return;
  }
  DeviceLock lock(lock_table, adapter.managers().Gim);
  if (lock.status() != ZEK_STATUS_PASS) {
    *status = lock.status();
    return;
  }
  std::optional<DeviceLock> second;
  if (second_lock_table != nullptr) {
    second.emplace(second_lock_table, adapter.managers().Gim);
    if (second->status() != ZEK_STATUS_PASS) {
      *status = second->status();
      return;
    }
  }
  *status = body(adapter.device()) ? kOk : kFail;
}

// A flash write reads the EEPROM's software section first (which programming
// path the part takes): it holds the EEPROM lock too, after the flash lock,
// so no EEPROM request's sequence interleaves with those reads.
void flash_transfer(ZekFlashRequest* r, bool write, bool privileged, ULONG code) {
  hardware_request(
      &r->Status, r->Handle, code, write, privileged, flash_range_ok(r->Address, r->Count), g_ZpxFlashTable,
      [r, write](MifhDeviceObj* device) {
        CallerBuffer words;
        if (!words.map(r->Data, std::uint64_t{r->Count} * 4, "flash data")) return false;
        auto* data = words.as<std::uint32_t>();
        return (write ? mifh_flash_write(device, data, r->Address, r->Count)
                      : mifh_flash_read(device, data, r->Address, r->Count)) == 0;
      },
      write ? g_ZpxEepromTable : nullptr);
}

void flash_erase(ZekFlashEraseRecord* r, bool privileged, ULONG code) {
  hardware_request(&r->Status, r->Handle, code, true, privileged, r->Sector < ZEK_MGMT_FLASH_SECTORS, g_ZpxFlashTable,
                   [r](MifhDeviceObj* device) { return mifh_flash_erase_sector(device, r->Sector) == 0; });
}

void eeprom_transfer(ZekEepromRequest* r, bool write, bool privileged, ULONG code) {
  hardware_request(&r->Status, r->Handle, code, write, privileged, eeprom_range_ok(r->Address, r->Count),
                   g_ZpxEepromTable, [r, write](MifhDeviceObj* device) {
                     CallerBuffer words;
                     if (!words.map(r->Data, std::uint64_t{r->Count} * 2, "EEPROM data")) return false;
                     auto* data = words.as<std::uint16_t>();
                     return (write ? mifh_eeprom_write_words(device, data, r->Address, r->Count, r->Path)
                                   : mifh_eeprom_read_words(device, r->Address, data, r->Count, r->Path)) == 0;
                   });
}

void eeprom_erase(ZekEepromEraseRecord* r, bool privileged, ULONG code) {
  hardware_request(
      &r->Status, r->Handle, code, true, privileged, eeprom_range_ok(r->Address, r->Count), g_ZpxEepromTable,
      [r](MifhDeviceObj* device) { return mifh_eeprom_write_word(device, r->Address, r->Count, r->Path) == 0; });
}

// The reset pulse with its full one-second waits, under the EEPROM lock and
// no spin lock.
void reset_wait(ZekMgmtHandleRecord* r, bool privileged, ULONG code) {
  hardware_request(&r->Status, r->Handle, code, true, privileged, true, g_ZpxEepromTable, [](MifhDeviceObj* device) {
    OSPrimSleepDelay(nullptr, ZEK_MGMT_RESET_WAIT_US);
    mifh_write_reg(device, ZEK_MGMT_RESET_REGISTER, ZEK_MGMT_RESET_PULSE);
    OSPrimSleepDelay(nullptr, ZEK_MGMT_RESET_WAIT_US);
    mifh_write_reg(device, ZEK_MGMT_RESET_REGISTER, 0);
    OSPrimSleepDelay(nullptr, ZEK_MGMT_RESET_WAIT_US);
    return true;
  });
}

void get_version(ZekMgmtVersionRecord* r, bool flash) {
  HeldAdapter adapter;
  if (!adapter.hold_handle(r->Handle)) {
    log_bad_handle();
    r->Status = kFail;
    return;
  }
  const MifhDeviceObj* device = adapter.device();
  const std::uint8_t* version = flash ? device->FlashVersion : device->EepromVersion;
  r->Version[0] = version[0];
  r->Version[1] = version[1];
  r->Status = kOk;
}

// The link state of the port `Port` of the handle's board: the link test of
// the attached function whose port number it is.
void get_port_control(ZekMgmtPortControlRecord* r) {
  HeldAdapter adapter;
  if (!adapter.hold_handle(r->Handle)) {
    log_bad_handle();
    r->Status = kFail;
    return;
  }
  MifhDeviceObj* own = adapter.device();
  const std::uint32_t port = r->Port;
  if (port >= ZekMgmtPortsOfMode(own->PortMode)) {
    ZEK_LOG_FAILURE("CommonMgmtIoctl: port %u is not a port of the adapter\n", port);
    r->Status = kFail;
    return;
  }
  HeldAdapter sibling;
  const bool found = own->Port == port ? true : sibling.hold([own, port](const ProxyAdapterInfo* info) {
    const MifhDeviceObj* d = info->Hw->Device;
    return d->Port == port && own->Scratchpad != nullptr && d->Scratchpad == own->Scratchpad;
  });
  if (!found) {
    ZEK_LOG_FAILURE("CommonMgmtIoctl: no attached function serves port %u\n", port);
    r->Status = kFail;
    return;
  }
  MifhDeviceObj* device = own->Port == port ? own : sibling.device();
  r->LinkState = phy_link_is_up(device) != 0 ? ZEK_MGMT_LINK_UP : ZEK_MGMT_LINK_DOWN;
  r->Status = kOk;
}

void review_get(ZekReviewRequest* r) {
  HeldAdapter adapter;
  if (!adapter.hold_handle(r->Handle)) {
    log_bad_handle();
    r->Status = kFail;
    return;
  }
  const ZekStatus status = zek_get_resource_counts(adapter.managers().Larmit, r->First, r->Second);
  r->Status = status == ZEK_STATUS_PASS ? kOk : kFail;
}

}  // namespace

ULONG ZpxCommonMgmtIoctl(void* Record, ULONG Code, ULONG_PTR* Bytes, BOOLEAN Privileged) {
  if (ZekIsBadPointer(Record)) {
    ZEK_LOG_FAILURE("CommonMgmtIoctl: pParm is NULL\n");
    return static_cast<ULONG>(STATUS_INVALID_PARAMETER);
  }
  if (ZekIsBadPointer(Bytes)) {
    ZEK_LOG_FAILURE("CommonMgmtIoctl: pBytesReturned\n");
    return static_cast<ULONG>(STATUS_INVALID_PARAMETER);
  }
  *Bytes = 0;
  const ZekIoctlInfo* info = ZekIoctlLookup(Code);
  if (info != nullptr && info->family == ZekIoctlFamily::LOG) return ZpxMgmtLogRequest(Record, Code, Bytes);
  if (info == nullptr || info->family != ZekIoctlFamily::MANAGEMENT) {
    ZEK_LOG_FAILURE("CommonMgmtIoctl: bad function code (0x%x)\n", Code);
    return 1;
  }
  const bool privileged = Privileged != FALSE;
  switch (Code) {
    case IOCTL_ZEK_MGMT_GET_NUM_ADAPTERS:
      get_num_adapters(static_cast<ZekMgmtNumAdaptersRecord*>(Record));
      break;
    case IOCTL_ZEK_MGMT_OPEN_ADAPTER:
      open_adapter(static_cast<ZekMgmtOpenAdapterRecord*>(Record));
      break;
    case IOCTL_ZEK_MGMT_CLOSE_ADAPTER: {
      // Nothing is held for a handle: closing only checks it.
      auto* r = static_cast<ZekMgmtHandleRecord*>(Record);
      HeldAdapter adapter;
      if (!adapter.hold_handle(r->Handle)) log_bad_handle();
      r->Status = adapter.info() != nullptr ? kOk : kFail;
      break;
    }
    case IOCTL_ZEK_MGMT_GET_NUM_PORTS:
      get_num_ports(static_cast<ZekMgmtCountRecord*>(Record));
      break;
    case IOCTL_ZEK_MGMT_GET_NUM_NODES:
      get_num_nodes(static_cast<ZekMgmtCountRecord*>(Record));
      break;
    case IOCTL_ZEK_MGMT_GET_PSTAT:
    case IOCTL_ZEK_MGMT_GET_NSTAT:
      get_stat(static_cast<ZekStatsRequest*>(Record), Code == IOCTL_ZEK_MGMT_GET_NSTAT);
      break;
    case IOCTL_ZEK_MGMT_SET_PSTAT:
    case IOCTL_ZEK_MGMT_SET_NSTAT:
      static_cast<ZekStatsRequest*>(Record)->Status = kFail;  // the counters are read-only
      break;
    case IOCTL_ZEK_MGMT_GET_DEBUG:
    case IOCTL_ZEK_MGMT_SET_DEBUG:
      debug_request(static_cast<ZekMgmtDebugRecord*>(Record), Code == IOCTL_ZEK_MGMT_SET_DEBUG);
      break;
    case IOCTL_ZEK_MGMT_FLASH_WRITE:
    case IOCTL_ZEK_MGMT_FLASH_READ:
      flash_transfer(static_cast<ZekFlashRequest*>(Record), Code == IOCTL_ZEK_MGMT_FLASH_WRITE, privileged, Code);
      break;
    case IOCTL_ZEK_MGMT_FLASH_ERASE:
      flash_erase(static_cast<ZekFlashEraseRecord*>(Record), privileged, Code);
      break;
    case IOCTL_ZEK_MGMT_EEPROM_WRITE:
    case IOCTL_ZEK_MGMT_EEPROM_READ:
      eeprom_transfer(static_cast<ZekEepromRequest*>(Record), Code == IOCTL_ZEK_MGMT_EEPROM_WRITE, privileged, Code);
      break;
    case IOCTL_ZEK_MGMT_EEPROM_ERASE:
      eeprom_erase(static_cast<ZekEepromEraseRecord*>(Record), privileged, Code);
      break;
    case IOCTL_ZEK_MGMT_RESET_WAIT:
      reset_wait(static_cast<ZekMgmtHandleRecord*>(Record), privileged, Code);
      break;
    case IOCTL_ZEK_MGMT_FLASH_GET_VERSION:
    case IOCTL_ZEK_MGMT_EEPROM_GET_VERSION:
      get_version(static_cast<ZekMgmtVersionRecord*>(Record), Code == IOCTL_ZEK_MGMT_FLASH_GET_VERSION);
      break;
    case IOCTL_ZEK_MGMT_GET_PCTRL:
      get_port_control(static_cast<ZekMgmtPortControlRecord*>(Record));
      break;
    case IOCTL_ZEK_MGMT_REVIEW_GET:
      review_get(static_cast<ZekReviewRequest*>(Record));
      break;
    default:
      ZEK_LOG_FAILURE("CommonMgmtIoctl: bad function code (0x%x)\n", Code);
      return 1;
  }
  *Bytes = info->record_bytes;
  return 0;
}

ULONG CommonMgmtIoctl(void* Record, ULONG Code, ULONG_PTR* Bytes) {
  return ZpxCommonMgmtIoctl(Record, Code, Bytes, caller_privileged() ? TRUE : FALSE);
}
