#include "platform/ndis/host.h"

#include <sys/stat.h>
#include <thread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/ndis/internal.h"

namespace plat::ndis {
namespace {

std::atomic<Ndis*> current_ndis{nullptr};

std::string hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

NTSTATUS ndis_entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = &Ndis::dispatch;
  driver->MajorFunction[IRP_MJ_CLOSE] = &Ndis::dispatch;
  driver->MajorFunction[IRP_MJ_CLEANUP] = &Ndis::dispatch;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = &Ndis::dispatch;
  return STATUS_SUCCESS;
}

// The first bytes of an NDIS device's extension name its adapter (null for
// NDIS's own control device).
struct DeviceExtension {
  Adapter* adapter;
};

// NDIS's unload routine for a miniport driver: its adapters are halted
// first, then the miniport's unload handler runs.
void miniport_unload(PDRIVER_OBJECT driver) {
  Ndis& ndis = Ndis::current();
  ndis.stop_adapters(driver);
  MiniportDriver* miniport = ndis.miniport_of(driver);
  if (miniport == nullptr) return;
  if (miniport->handlers.UnloadHandler != nullptr) miniport->handlers.UnloadHandler(driver);
  // A miniport that did not deregister itself is deregistered now.
  if (ndis.miniport_of(driver) != nullptr) ndis.deregister_miniport(ndis.miniport_of(driver));
}

bool lifecycle_state(AdapterState s) {
  return s == AdapterState::Paused || s == AdapterState::Running || s == AdapterState::Restarting ||
         s == AdapterState::Pausing;
}

}  // namespace

const char* to_string(AdapterState state) {
  switch (state) {
    case AdapterState::Initializing:
      return "initializing";
    case AdapterState::InitFailed:
      return "init-failed";
    case AdapterState::Paused:
      return "paused";
    case AdapterState::Restarting:
      return "restarting";
    case AdapterState::Running:
      return "running";
    case AdapterState::Pausing:
      return "pausing";
    case AdapterState::Halting:
      return "halting";
    case AdapterState::Halted:
      return "halted";
  }
  return "?";
}

// ---- Adapter observers ------------------------------------------------------------------------
AdapterState Adapter::state() const {
  std::lock_guard lock(mu_);
  return state_;
}
bool Adapter::reset_in_progress() const {
  std::lock_guard lock(mu_);
  return reset_pending_;
}
NDIS_STATUS Adapter::init_status() const {
  std::lock_guard lock(mu_);
  return init_status_;
}
Attributes Adapter::attributes() const {
  std::lock_guard lock(mu_);
  return attributes_;
}
std::vector<StatusRecord> Adapter::status_indications() const {
  std::lock_guard lock(mu_);
  return statuses_;
}
std::vector<ErrorLogEntry> Adapter::error_log() const {
  std::lock_guard lock(mu_);
  return error_log_;
}
Holdings Adapter::holdings() const {
  std::lock_guard lock(mu_);
  return holdings_;
}
std::uint64_t Adapter::hang_checks() const {
  std::lock_guard lock(mu_);
  return hang_checks_;
}
std::uint64_t Adapter::resets() const {
  std::lock_guard lock(mu_);
  return resets_;
}
std::vector<std::vector<std::uint8_t>> Adapter::received_frames() const {
  std::lock_guard lock(mu_);
  return received_;
}
std::vector<std::pair<NET_BUFFER_LIST*, NDIS_STATUS>> Adapter::send_completions() const {
  std::lock_guard lock(mu_);
  return send_completions_;
}
std::vector<Adapter::ReceiveInfo> Adapter::received_info() const {
  std::lock_guard lock(mu_);
  return received_info_;
}
std::uint64_t Adapter::receive_count() const {
  std::lock_guard lock(mu_);
  return receive_count_;
}
std::uint64_t Adapter::receive_bytes() const {
  std::lock_guard lock(mu_);
  return receive_bytes_;
}
std::uint64_t Adapter::send_completion_count() const {
  std::lock_guard lock(mu_);
  return send_completion_count_;
}
void Adapter::delay_send_completions(std::chrono::milliseconds delay) {
  send_completion_delay_ms_.store(delay.count());
}

void Adapter::keep_records(bool keep) {
  std::lock_guard lock(mu_);
  keep_records_ = keep;
}
void Adapter::hold_receives(bool hold) {
  std::lock_guard lock(mu_);
  hold_receives_ = hold;
}

// ---- Handles ------------------------------------------------------------------------------------
Adapter* try_adapter_of(NDIS_HANDLE handle) {
  Ndis* ndis = Ndis::try_current();
  if (ndis == nullptr || handle == nullptr) return nullptr;
  for (Adapter* a : ndis->adapters()) {
    if (a == handle) return a;
  }
  return nullptr;
}

Adapter& adapter_of(NDIS_HANDLE handle, const SrcLoc& where) {
  Adapter* adapter = try_adapter_of(handle);
  if (adapter == nullptr) fault(where, "NDIS: %p is not a miniport adapter handle", handle);
  return *adapter;
}

// ---- Construction ---------------------------------------------------------------------------------
Ndis::Ndis(Kernel& kernel, IoManager& io, LogLine log, Options options)
    : kernel_(kernel), io_(io), log_(std::move(log)), options_(options) {
  Ndis* expected = nullptr;
  if (!current_ndis.compare_exchange_strong(expected, this)) {
    fault(SrcLoc::current(), "NDIS: a second NDIS in one host");
  }
  if (!NT_SUCCESS(io_.load_driver("NDIS", &ndis_entry, &ndis_driver_))) {
    fault(SrcLoc::current(), "NDIS: its driver object could not be created");
  }
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\NDIS");
  if (NT_SUCCESS(IoCreateDevice(ndis_driver_, sizeof(DeviceExtension), &name, FILE_DEVICE_PHYSICAL_NETCARD, 0, FALSE,
                                &control_device_))) {
    static_cast<DeviceExtension*>(control_device_->DeviceExtension)->adapter = nullptr;
  }
}

Ndis::~Ndis() {
  std::vector<PDRIVER_OBJECT> drivers;
  {
    std::lock_guard lock(mu_);
    for (auto& d : drivers_) drivers.push_back(d->object);
  }
  for (auto it = drivers.rbegin(); it != drivers.rend(); ++it) stop_adapters(*it);
  if (control_device_ != nullptr) IoDeleteDevice(control_device_);
  io_.unload_driver(ndis_driver_);
  current_ndis.store(nullptr);
}

Ndis& Ndis::current() {
  Ndis* ndis = current_ndis.load(std::memory_order_acquire);
  if (ndis == nullptr) fault(SrcLoc::current(), "NDIS is not running in this host");
  return *ndis;
}

Ndis* Ndis::try_current() { return current_ndis.load(std::memory_order_acquire); }

void Ndis::log(std::string_view line) {
  if (log_) log_(line);
}

// ---- Miniport drivers ------------------------------------------------------------------------------
MiniportDriver* Ndis::register_miniport(PDRIVER_OBJECT driver, NDIS_HANDLE context,
                                        const NDIS_MINIPORT_DRIVER_CHARACTERISTICS& characteristics) {
  std::lock_guard lock(mu_);
  for (auto& d : drivers_) {
    if (d->object == driver) return nullptr;
  }
  auto miniport = std::make_unique<MiniportDriver>();
  miniport->object = driver;
  std::string name = to_utf8(view_of(&driver->DriverName));
  const std::string prefix = "\\Driver\\";
  miniport->service = name.starts_with(prefix) ? name.substr(prefix.size()) : name;
  miniport->context = context;
  miniport->handlers = characteristics;
  miniport->unload = driver->DriverUnload;
  driver->DriverUnload = &miniport_unload;
  drivers_.push_back(std::move(miniport));
  return drivers_.back().get();
}

void Ndis::deregister_miniport(MiniportDriver* driver) {
  std::unique_ptr<MiniportDriver> gone;
  {
    std::lock_guard lock(mu_);
    for (auto it = drivers_.begin(); it != drivers_.end(); ++it) {
      if (it->get() != driver) continue;
      for (auto& a : adapters_) {
        if (a->driver_ == driver) {
          fault(SrcLoc::current(), "NDIS: miniport %s deregistered while adapter %s is bound", driver->service.c_str(),
                a->name_.c_str());
        }
      }
      gone = std::move(*it);
      drivers_.erase(it);
      break;
    }
  }
  if (gone && gone->object->DriverUnload == &miniport_unload) gone->object->DriverUnload = gone->unload;
}

MiniportDriver* Ndis::miniport_of(PDRIVER_OBJECT driver) const {
  std::lock_guard lock(mu_);
  for (auto& d : drivers_) {
    if (d->object == driver) return d.get();
  }
  return nullptr;
}

std::vector<Adapter*> Ndis::adapters() const {
  std::lock_guard lock(mu_);
  std::vector<Adapter*> out;
  for (auto& a : adapters_) out.push_back(a.get());
  return out;
}

Adapter* Ndis::find(std::string_view name) const {
  std::lock_guard lock(mu_);
  for (auto& a : adapters_) {
    if (a->name_ == name) return a.get();
  }
  return nullptr;
}

// ---- Binding ----------------------------------------------------------------------------------------
std::size_t Ndis::start_adapters(PDRIVER_OBJECT driver) {
  MiniportDriver* miniport = miniport_of(driver);
  if (miniport == nullptr) return 0;
  std::vector<Adapter*> bound;
  for (const PciFunction& f : kernel_.pci().functions()) {
    if (lower(f.driver) != lower(miniport->service)) continue;
    auto adapter = std::make_unique<Adapter>();
    adapter->name_ = f.adapter + "." + std::to_string(f.function);
    adapter->function_ = f;
    adapter->key_ = f.driver_key;
    adapter->driver_ = miniport;

    // The translated resources: the memory ranges in BAR order, then the
    // interrupt, which allows messages.
    const std::size_t count = f.memory.size() + 1;
    adapter->resources_.assign(sizeof(CM_PARTIAL_RESOURCE_LIST) + count * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR), 0);
    auto* list = reinterpret_cast<CM_PARTIAL_RESOURCE_LIST*>(adapter->resources_.data());
    list->Version = 1;
    list->Revision = 1;
    list->Count = static_cast<ULONG>(count);
    std::size_t i = 0;
    for (const PciMemoryResource& m : f.memory) {
      auto& d = list->PartialDescriptors[i++];
      d.Type = CmResourceTypeMemory;
      d.u.Memory.Start.QuadPart = static_cast<LONGLONG>(m.start);
      d.u.Memory.Length = static_cast<ULONG>(m.length);
    }
    auto& irq = list->PartialDescriptors[i];
    irq.Type = CmResourceTypeInterrupt;
    irq.Flags = CM_RESOURCE_INTERRUPT_MESSAGE;
    irq.u.Interrupt.Level = f.interrupt_irql;
    irq.u.Interrupt.Vector = f.interrupt_vector;
    irq.u.Interrupt.Affinity = 1;

    // The adapter's device, named after its NetCfgInstanceId.
    std::u16string device_name;
    if (Registry* registry = Registry::try_current(); registry != nullptr && !f.driver_key.empty()) {
      auto id = registry->get(f.driver_key, u"NetCfgInstanceId");
      if (id && id->type == REG_SZ && id->data.size() >= 2) {
        std::u16string text(reinterpret_cast<const char16_t*>(id->data.data()), id->data.size() / 2);
        while (!text.empty() && text.back() == 0) text.pop_back();
        if (!text.empty()) device_name = u"\\Device\\" + text;
      }
    }
    if (!device_name.empty()) {
      UNICODE_STRING name;
      name.Buffer = device_name.data();
      name.Length = name.MaximumLength = static_cast<USHORT>(device_name.size() * 2);
      PDEVICE_OBJECT device = nullptr;
      NTSTATUS status =
          IoCreateDevice(ndis_driver_, sizeof(DeviceExtension), &name, FILE_DEVICE_PHYSICAL_NETCARD, 0, FALSE, &device);
      if (NT_SUCCESS(status)) {
        static_cast<DeviceExtension*>(device->DeviceExtension)->adapter = adapter.get();
        adapter->device_ = device;
      } else {
        log("ndis: " + adapter->name_ + ": device " + to_utf8(device_name) + " not created (" +
            hex(static_cast<std::uint32_t>(status)) + ")");
      }
    } else {
      log("ndis: " + adapter->name_ + ": no NetCfgInstanceId; the adapter has no device");
    }
    Adapter* raw = adapter.get();
    {
      std::lock_guard lock(mu_);
      adapters_.push_back(std::move(adapter));
    }
    bound.push_back(raw);
  }
  for (Adapter* adapter : bound) {
    if (initialize(*adapter) == NDIS_STATUS_SUCCESS) restart(*adapter);
  }
  return bound.size();
}

void Ndis::stop_adapters(PDRIVER_OBJECT driver) {
  MiniportDriver* miniport = miniport_of(driver);
  if (miniport == nullptr) return;
  std::vector<Adapter*> mine;
  for (Adapter* a : adapters()) {
    if (a->driver_ == miniport) mine.push_back(a);
  }
  for (auto it = mine.rbegin(); it != mine.rend(); ++it) {
    Adapter& adapter = **it;
    // A removal the miniport asked for may be on its way: let it finish.
    kernel_.workers().drain();
    if (adapter.state() == AdapterState::Restarting || adapter.state() == AdapterState::Pausing) {
      if (!wait_for(adapter, adapter.state() == AdapterState::Restarting ? AdapterState::Running : AdapterState::Paused,
                    options_.completion_wait)) {
        log("ndis: " + adapter.name_ + ": a pended restart or pause never completed");
      }
    }
    if (adapter.state() == AdapterState::Running) pause(adapter);
    if (adapter.state() == AdapterState::Paused || adapter.state() == AdapterState::Pausing) halt(adapter);
    remove_adapter(adapter);
  }
}

void Ndis::remove_adapter(Adapter& adapter) {
  const Holdings left = adapter.holdings();
  if (!left.empty()) {
    log("ndis: " + adapter.name_ + ": left behind " + std::to_string(left.mappings) + " mapping(s), " +
        std::to_string(left.shared_blocks) + " shared block(s), " + std::to_string(left.interrupts) +
        " interrupt(s), " + std::to_string(left.dma) + " DMA registration(s), " + std::to_string(left.timers) +
        " timer(s), " + std::to_string(left.work_items) + " work item(s), " + std::to_string(left.pools) +
        " pool(s), " + std::to_string(left.configurations) + " open configuration(s)");
  }
  if (adapter.device_ != nullptr) IoDeleteDevice(adapter.device_);
  std::lock_guard lock(mu_);
  for (auto it = adapters_.begin(); it != adapters_.end(); ++it) {
    if (it->get() == &adapter) {
      adapters_.erase(it);
      break;
    }
  }
}

// ---- Lifecycle ------------------------------------------------------------------------------------------
NDIS_STATUS Ndis::initialize(Adapter& adapter) {
  {
    std::lock_guard lock(adapter.mu_);
    adapter.state_ = AdapterState::Initializing;
    adapter.in_initialize_ = true;
  }
  NDIS_MINIPORT_INIT_PARAMETERS parameters{};
  parameters.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof(NDIS_MINIPORT_INIT_PARAMETERS)};
  parameters.AllocatedResources = reinterpret_cast<PNDIS_RESOURCE_LIST>(adapter.resources_.data());
  parameters.IfIndex = static_cast<ULONG>(adapter.function_.bus * 8 + adapter.function_.function + 1);
  const NDIS_STATUS status =
      adapter.driver_->handlers.InitializeHandlerEx(&adapter, adapter.driver_->context, &parameters);
  bool registered = false;
  {
    std::lock_guard lock(adapter.mu_);
    adapter.in_initialize_ = false;
    adapter.init_status_ = status;
    registered = adapter.attributes_.registration.has_value();
    if (status == NDIS_STATUS_SUCCESS && !registered) {
      adapter.init_status_ = NDIS_STATUS_BAD_CHARACTERISTICS;
    }
    adapter.state_ = adapter.init_status_ == NDIS_STATUS_SUCCESS ? AdapterState::Paused : AdapterState::InitFailed;
  }
  if (status == NDIS_STATUS_SUCCESS && !registered) {
    // NDIS cannot use an adapter without its context: it halts it at once.
    log("ndis: " + adapter.name_ + ": initialize succeeded without registration attributes; halted");
    adapter.driver_->handlers.HaltHandlerEx(adapter.context_, NdisHaltDeviceInitializationFailed);
    return NDIS_STATUS_BAD_CHARACTERISTICS;
  }
  if (status != NDIS_STATUS_SUCCESS) {
    log("ndis: " + adapter.name_ + ": initialize failed with " + hex(static_cast<std::uint32_t>(status)));
    return status;
  }
  log("ndis: " + adapter.name_ + ": initialized");
  start_hang_timer(adapter);
  return status;
}

NDIS_STATUS Ndis::restart(Adapter& adapter) {
  {
    std::lock_guard lock(adapter.mu_);
    if (adapter.state_ != AdapterState::Paused) return NDIS_STATUS_FAILURE;
    adapter.state_ = AdapterState::Restarting;
  }
  NDIS_MINIPORT_RESTART_PARAMETERS parameters{};
  parameters.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof(parameters)};
  const NDIS_STATUS status = adapter.driver_->handlers.RestartHandler(adapter.context_, &parameters);
  if (status != NDIS_STATUS_PENDING) complete_restart(adapter, status);
  return status;
}

void Ndis::complete_restart(Adapter& adapter, NDIS_STATUS status) {
  {
    std::lock_guard lock(adapter.mu_);
    if (adapter.state_ != AdapterState::Restarting) {
      fault(SrcLoc::current(), "NDIS: %s completed a restart that was not pending", adapter.name_.c_str());
    }
    adapter.restart_status_ = status;
    adapter.state_ = status == NDIS_STATUS_SUCCESS ? AdapterState::Running : AdapterState::Paused;
  }
  adapter.cv_.notify_all();
  log("ndis: " + adapter.name_ +
      (status == NDIS_STATUS_SUCCESS ? ": running"
                                     : ": restart failed with " + hex(static_cast<std::uint32_t>(status))));
}

NDIS_STATUS Ndis::pause(Adapter& adapter) {
  {
    std::lock_guard lock(adapter.mu_);
    if (adapter.state_ != AdapterState::Running) return NDIS_STATUS_FAILURE;
    adapter.state_ = AdapterState::Pausing;
  }
  // The protocol gives back what it holds before the miniport pauses.
  return_receives(adapter);
  NDIS_MINIPORT_PAUSE_PARAMETERS parameters{};
  parameters.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof(parameters)};
  const NDIS_STATUS status = adapter.driver_->handlers.PauseHandler(adapter.context_, &parameters);
  if (status != NDIS_STATUS_PENDING) complete_pause(adapter);
  return status;
}

void Ndis::complete_pause(Adapter& adapter) {
  {
    std::lock_guard lock(adapter.mu_);
    if (adapter.state_ != AdapterState::Pausing) {
      fault(SrcLoc::current(), "NDIS: %s completed a pause that was not pending", adapter.name_.c_str());
    }
    adapter.state_ = AdapterState::Paused;
  }
  adapter.cv_.notify_all();
}

void Ndis::halt(Adapter& adapter, NDIS_HALT_ACTION action) {
  {
    std::lock_guard lock(adapter.mu_);
    if (adapter.state_ != AdapterState::Paused) {
      fault(SrcLoc::current(), "NDIS: halt of %s while %s", adapter.name_.c_str(), to_string(adapter.state_));
    }
  }
  stop_hang_timer(adapter);
  if (adapter.reset_in_progress() && !wait_for(adapter, AdapterState::Paused, options_.completion_wait)) {
    log("ndis: " + adapter.name_ + ": halting with a reset that never completed");
  }
  {
    std::lock_guard lock(adapter.mu_);
    if (adapter.lent_ != 0) {
      fault(SrcLoc::current(), "NDIS: %s halted with %zu received list(s) still with the protocol",
            adapter.name_.c_str(), adapter.lent_);
    }
    adapter.state_ = AdapterState::Halting;
  }
  adapter.driver_->handlers.HaltHandlerEx(adapter.context_, action);
  {
    std::lock_guard lock(adapter.mu_);
    adapter.state_ = AdapterState::Halted;
  }
  adapter.cv_.notify_all();
  log("ndis: " + adapter.name_ + ": halted");
}

NDIS_STATUS Ndis::reset(Adapter& adapter) {
  {
    std::lock_guard lock(adapter.mu_);
    if (!lifecycle_state(adapter.state_)) return NDIS_STATUS_FAILURE;
    if (adapter.reset_pending_) return NDIS_STATUS_RESET_IN_PROGRESS;
    if (adapter.driver_->handlers.ResetHandlerEx == nullptr) return NDIS_STATUS_NOT_SUPPORTED;
    adapter.reset_pending_ = true;
    ++adapter.resets_;
  }
  BOOLEAN addressing = FALSE;
  const NDIS_STATUS status = adapter.driver_->handlers.ResetHandlerEx(adapter.context_, &addressing);
  if (status != NDIS_STATUS_PENDING) complete_reset(adapter, status);
  return status;
}

void Ndis::complete_reset(Adapter& adapter, NDIS_STATUS status) {
  {
    std::lock_guard lock(adapter.mu_);
    if (!adapter.reset_pending_) {
      fault(SrcLoc::current(), "NDIS: %s completed a reset that was not pending", adapter.name_.c_str());
    }
    adapter.reset_pending_ = false;
  }
  adapter.cv_.notify_all();
  log("ndis: " + adapter.name_ + ": reset complete with " + hex(static_cast<std::uint32_t>(status)));
}

void Ndis::shutdown(Adapter& adapter, NDIS_SHUTDOWN_ACTION action) {
  if (adapter.driver_->handlers.ShutdownHandlerEx != nullptr && lifecycle_state(adapter.state())) {
    adapter.driver_->handlers.ShutdownHandlerEx(adapter.context_, action);
  }
}

void Ndis::pnp_event(Adapter& adapter, NDIS_DEVICE_PNP_EVENT event) {
  if (adapter.driver_->handlers.DevicePnPEventNotifyHandler == nullptr || !lifecycle_state(adapter.state())) return;
  NET_DEVICE_PNP_EVENT record{};
  record.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof(record)};
  record.DevicePnPEvent = event;
  adapter.driver_->handlers.DevicePnPEventNotifyHandler(adapter.context_, &record);
}

bool Ndis::wait_for(Adapter& adapter, AdapterState state, std::chrono::milliseconds limit) {
  std::unique_lock lock(adapter.mu_);
  return adapter.cv_.wait_for(lock, limit, [&] { return adapter.state_ == state && !adapter.reset_pending_; });
}

// ---- Hang check ------------------------------------------------------------------------------------------
BOOLEAN Ndis::check_for_hang(Adapter& adapter) {
  {
    std::lock_guard lock(adapter.mu_);
    if (adapter.driver_->handlers.CheckForHangHandlerEx == nullptr || adapter.reset_pending_ ||
        (adapter.state_ != AdapterState::Running && adapter.state_ != AdapterState::Paused)) {
      return FALSE;
    }
    ++adapter.hang_checks_;
  }
  const BOOLEAN hung = adapter.driver_->handlers.CheckForHangHandlerEx(adapter.context_);
  if (hung) {
    log("ndis: " + adapter.name_ + ": hang check asks for a reset");
    reset(adapter);
  }
  return hung;
}

void Ndis::hang_timer_dpc(KDPC*, PVOID context, PVOID, PVOID) {
  auto* adapter = static_cast<Adapter*>(context);
  if (Ndis* ndis = try_current()) ndis->check_for_hang(*adapter);
}

void Ndis::start_hang_timer(Adapter& adapter) {
  UINT seconds = 2;
  {
    std::lock_guard lock(adapter.mu_);
    if (adapter.attributes_.registration && adapter.attributes_.registration->CheckForHangTimeInSeconds != 0) {
      seconds = adapter.attributes_.registration->CheckForHangTimeInSeconds;
    }
    adapter.hang_seconds_ = seconds;
  }
  if (adapter.driver_->handlers.CheckForHangHandlerEx == nullptr) return;
  KeInitializeTimerEx(&adapter.hang_timer_, NotificationTimer);
  KeInitializeDpc(&adapter.hang_dpc_, &Ndis::hang_timer_dpc, &adapter);
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(seconds) * 10'000'000;
  KeSetTimerEx(&adapter.hang_timer_, due, static_cast<LONG>(seconds * 1000), &adapter.hang_dpc_);
}

void Ndis::stop_hang_timer(Adapter& adapter) {
  if (adapter.driver_->handlers.CheckForHangHandlerEx == nullptr) return;
  KeCancelTimer(&adapter.hang_timer_);
  KeFlushQueuedDpcs();
}

// ---- Removal -----------------------------------------------------------------------------------------------
void Ndis::request_removal(Adapter& adapter) {
  {
    std::lock_guard lock(adapter.mu_);
    if (adapter.removal_requested_) return;
    adapter.removal_requested_ = true;
  }
  log("ndis: " + adapter.name_ + ": the miniport asks for its removal");
  ExInitializeWorkItem(&adapter.removal_item_, &Ndis::removal_work, &adapter);
  ExQueueWorkItem(&adapter.removal_item_, DelayedWorkQueue);
}

void Ndis::removal_work(PVOID context) {
  auto* adapter = static_cast<Adapter*>(context);
  Ndis& ndis = current();
  // The reset that asked for the removal ends first.
  ndis.wait_for(*adapter, adapter->state(), ndis.options_.completion_wait);
  if (adapter->state() == AdapterState::Restarting)
    ndis.wait_for(*adapter, AdapterState::Running, ndis.options_.completion_wait);
  if (adapter->state() == AdapterState::Running) ndis.pause(*adapter);
  if (adapter->state() == AdapterState::Pausing)
    ndis.wait_for(*adapter, AdapterState::Paused, ndis.options_.completion_wait);
  if (adapter->state() == AdapterState::Paused) ndis.halt(*adapter, NdisHaltDeviceFailed);
}

// ---- The protocol's side -----------------------------------------------------------------------------------
NDIS_STATUS Ndis::oid_request(Adapter& adapter, NDIS_OID_REQUEST& request) {
  if (adapter.driver_->handlers.OidRequestHandler == nullptr) return NDIS_STATUS_NOT_SUPPORTED;
  if (!lifecycle_state(adapter.state())) return NDIS_STATUS_CLOSING;
  std::lock_guard one(adapter.oid_mu_);
  {
    std::lock_guard lock(adapter.mu_);
    adapter.oid_pending_ = &request;
    adapter.oid_done_ = false;
  }
  NDIS_STATUS status = adapter.driver_->handlers.OidRequestHandler(adapter.context_, &request);
  std::unique_lock lock(adapter.mu_);
  if (status == NDIS_STATUS_PENDING) {
    adapter.cv_.wait(lock, [&] { return adapter.oid_done_; });
    status = adapter.oid_status_;
  }
  adapter.oid_pending_ = nullptr;
  return status;
}

void Ndis::complete_oid(Adapter& adapter, NDIS_OID_REQUEST* request, NDIS_STATUS status) {
  {
    std::lock_guard lock(adapter.mu_);
    if (adapter.oid_pending_ != request) {
      fault(SrcLoc::current(), "NDIS: %s completed an OID request that was not pending", adapter.name_.c_str());
    }
    adapter.oid_status_ = status;
    adapter.oid_done_ = true;
  }
  adapter.cv_.notify_all();
}

void Ndis::send(Adapter& adapter, NET_BUFFER_LIST* lists) {
  NDIS_STATUS refusal = NDIS_STATUS_SUCCESS;
  if (adapter.driver_->handlers.SendNetBufferListsHandler == nullptr) {
    refusal = NDIS_STATUS_NOT_SUPPORTED;
  } else if (adapter.state() != AdapterState::Running) {
    refusal = NDIS_STATUS_PAUSED;
  }
  if (refusal != NDIS_STATUS_SUCCESS) {
    for (NET_BUFFER_LIST* l = lists; l != nullptr; l = l->Next) l->Status = refusal;
    send_complete(adapter, lists);
    return;
  }
  adapter.driver_->handlers.SendNetBufferListsHandler(adapter.context_, lists, 0, 0);
}

void Ndis::send_complete(Adapter& adapter, NET_BUFFER_LIST* lists) {
  if (const std::int64_t delay = adapter.send_completion_delay_ms_.load(); delay > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  }
  std::lock_guard lock(adapter.mu_);
  for (NET_BUFFER_LIST* l = lists; l != nullptr; l = l->Next) {
    ++adapter.send_completion_count_;
    if (adapter.keep_records_ && adapter.send_completions_.size() < Adapter::kKeptCompletionsMax) {
      adapter.send_completions_.emplace_back(l, l->Status);
    }
  }
}

void Ndis::indicate_receive(Adapter& adapter, NET_BUFFER_LIST* lists, ULONG flags) {
  const bool resources = (flags & NDIS_RECEIVE_FLAGS_RESOURCES) != 0;
  std::vector<NET_BUFFER_LIST*> to_return;
  {
    std::lock_guard lock(adapter.mu_);
    for (NET_BUFFER_LIST* l = lists; l != nullptr; l = l->Next) {
      for (NET_BUFFER* nb = l->FirstNetBuffer; nb != nullptr; nb = nb->Next) {
        ++adapter.receive_count_;
        adapter.receive_bytes_ += nb->DataLength;
        if (!adapter.keep_records_) continue;
        if (adapter.received_.size() >= Adapter::kKeptFramesMax ||
            adapter.kept_bytes_ + nb->DataLength > Adapter::kKeptFrameBytesMax) {
          if (!adapter.said_not_kept_) {
            adapter.said_not_kept_ = true;
            log("ndis: adapter " + adapter.name_ + ": the protocol keeps no more received frames; it counts them");
          }
          continue;
        }
        adapter.kept_bytes_ += nb->DataLength;
        adapter.received_info_.push_back(
            {reinterpret_cast<ULONG_PTR>(l->NetBufferListInfo[Ieee8021QNetBufferListInfo]),
             reinterpret_cast<ULONG_PTR>(l->NetBufferListInfo[TcpIpChecksumNetBufferListInfo])});
        std::vector<std::uint8_t> frame;
        frame.reserve(nb->DataLength);
        ULONG offset = nb->CurrentMdlOffset;
        ULONG left = nb->DataLength;
        for (PMDL mdl = nb->CurrentMdl; mdl != nullptr && left > 0; mdl = mdl->Next) {
          const auto* bytes = static_cast<const std::uint8_t*>(MmGetMdlVirtualAddress(mdl));
          const ULONG take = std::min(left, MmGetMdlByteCount(mdl) - std::min(offset, MmGetMdlByteCount(mdl)));
          frame.insert(frame.end(), bytes + offset, bytes + offset + take);
          left -= take;
          offset = 0;
        }
        adapter.received_.push_back(std::move(frame));
      }
      if (!resources) {
        ++adapter.lent_;
        if (adapter.hold_receives_) {
          adapter.held_.push_back(l);
        } else {
          to_return.push_back(l);
        }
      }
    }
  }
  // The protocol gives back at once what it did not keep, as its own return.
  for (NET_BUFFER_LIST* l : to_return) {
    l->Next = nullptr;
    return_lists(adapter, l);
  }
}

void Ndis::return_receives(Adapter& adapter) {
  std::vector<NET_BUFFER_LIST*> held;
  {
    std::lock_guard lock(adapter.mu_);
    held.swap(adapter.held_);
  }
  for (NET_BUFFER_LIST* l : held) {
    l->Next = nullptr;
    return_lists(adapter, l);
  }
}

void Ndis::return_lists(Adapter& adapter, NET_BUFFER_LIST* lists) {
  {
    std::lock_guard lock(adapter.mu_);
    for (NET_BUFFER_LIST* l = lists; l != nullptr; l = l->Next) --adapter.lent_;
  }
  if (adapter.driver_->handlers.ReturnNetBufferListsHandler != nullptr) {
    adapter.driver_->handlers.ReturnNetBufferListsHandler(adapter.context_, lists, 0);
  }
}

// ---- NDIS's devices ------------------------------------------------------------------------------------------
NTSTATUS Ndis::dispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  auto* extension = static_cast<DeviceExtension*>(device->DeviceExtension);
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
    if (extension->adapter == nullptr ||
        stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_NDIS_QUERY_GLOBAL_STATS) {
      status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
      status = current().query_global_stats(*extension->adapter, irp);
    }
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// The query-statistics OID that a kernel caller sends to an adapter's
// device: the caller's output buffer goes to the miniport as the query's
// information buffer (so a request record written there reaches it), and
// what the miniport writes comes back.
NDIS_STATUS Ndis::query_global_stats(Adapter& adapter, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (irp->RequestorMode != KernelMode) return STATUS_ACCESS_DENIED;
  if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(NDIS_OID) ||
      irp->AssociatedIrp.SystemBuffer == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  NDIS_OID oid;
  std::memcpy(&oid, irp->AssociatedIrp.SystemBuffer, sizeof oid);
  const ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;
  void* output = nullptr;
  if (length != 0) {
    if (irp->MdlAddress == nullptr) return STATUS_INVALID_PARAMETER;
    output = MmGetSystemAddressForMdlSafe(irp->MdlAddress, 0);
    if (output == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  }
  void* buffer = length != 0 ? ExAllocatePoolWithTag(NonPagedPool, length, kNdisTag) : nullptr;
  if (length != 0 && buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (buffer != nullptr) std::memcpy(buffer, output, length);
  NDIS_OID_REQUEST request{};
  request.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof(request)};
  request.RequestType = NdisRequestQueryStatistics;
  request.DATA.QUERY_INFORMATION.Oid = oid;
  request.DATA.QUERY_INFORMATION.InformationBuffer = buffer;
  request.DATA.QUERY_INFORMATION.InformationBufferLength = length;
  NDIS_STATUS status = oid_request(adapter, request);
  ULONG written = std::min<ULONG>(request.DATA.QUERY_INFORMATION.BytesWritten, length);
  if (status == NDIS_STATUS_SUCCESS) {
    if (written != 0) std::memcpy(output, buffer, written);
    irp->IoStatus.Information = written;
  } else if (status == NDIS_STATUS_BUFFER_TOO_SHORT || status == NDIS_STATUS_INVALID_LENGTH) {
    status = STATUS_BUFFER_TOO_SMALL;
  }
  if (buffer != nullptr) ExFreePoolWithTag(buffer, kNdisTag);
  return status;
}

}  // namespace plat::ndis
