// The host side of the NDIS stand-in: one Ndis per host, beside the I/O
// manager. It binds miniports to the PCI functions of the simulated
// adapters, drives each adapter through its lifecycle in the order NDIS
// does, runs the hang check, carries OID requests (also those that kernel
// callers send as IOCTL_NDIS_QUERY_GLOBAL_STATS to an adapter's device),
// stands in for the bound protocol, and keeps what the miniport reported
// (attributes, status indications, error-log entries) for tests.
//
// Lifecycle, as NDIS drives it:
//   initialise -> Paused -> restart -> Running -> pause -> Paused -> ... -> halt
// A restart or pause that pends ends with NdisMRestartComplete /
// NdisMPauseComplete; a reset that pends with NdisMResetComplete. The hang
// check runs every CheckForHangTimeInSeconds (default 2) while the adapter
// is Paused or Running and no reset is in progress; TRUE starts a reset.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel/io/iomgr.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/registry.h"
#include "platform/ndis/ndis.h"

namespace plat::ndis {

enum class AdapterState { Initializing, InitFailed, Paused, Restarting, Running, Pausing, Halting, Halted };
const char* to_string(AdapterState state);

struct ErrorLogEntry {
  NDIS_ERROR_CODE code;
  std::vector<ULONG> values;
};

struct StatusRecord {
  NDIS_STATUS code;
  std::vector<std::uint8_t> buffer;
};

// What the miniport declared with NdisMSetMiniportAttributes.
struct Attributes {
  std::optional<NDIS_MINIPORT_ADAPTER_REGISTRATION_ATTRIBUTES> registration;
  std::optional<NDIS_MINIPORT_ADAPTER_GENERAL_ATTRIBUTES> general;  // pointers cleared
  std::vector<NDIS_OID> supported_oids;
  std::vector<std::uint8_t> default_offload;  // the records' bytes
  std::vector<std::uint8_t> hardware_offload;
};

// What an adapter still holds of NDIS's resources; all zero after a clean halt.
struct Holdings {
  std::size_t mappings = 0;
  std::size_t shared_blocks = 0;
  std::size_t interrupts = 0;
  std::size_t dma = 0;
  std::size_t timers = 0;
  std::size_t work_items = 0;
  std::size_t pools = 0;
  std::size_t configurations = 0;
  bool empty() const {
    return mappings + shared_blocks + interrupts + dma + timers + work_items + pools + configurations == 0;
  }
};

struct MiniportDriver;
struct Interrupt;
struct Timer;

// One miniport adapter (a PCI function bound to a miniport): NDIS's record
// of it. The NDIS_HANDLE that the miniport gets is its address.
class Adapter {
 public:
  Adapter() = default;
  Adapter(const Adapter&) = delete;
  Adapter& operator=(const Adapter&) = delete;

  const std::string& name() const { return name_; }  // "<adapter>.<function>"
  const PciFunction& function() const { return function_; }
  AdapterState state() const;
  bool reset_in_progress() const;
  NDIS_STATUS init_status() const;
  NDIS_HANDLE context() const { return context_; }   // MiniportAdapterContext
  PDEVICE_OBJECT device() const { return device_; }  // "\Device\{NetCfgInstanceId}", or null
  Attributes attributes() const;
  std::vector<StatusRecord> status_indications() const;
  std::vector<ErrorLogEntry> error_log() const;
  Holdings holdings() const;
  std::uint64_t hang_checks() const;
  std::uint64_t resets() const;
  // Frames the protocol received (copied), and the send completions it saw.
  std::vector<std::vector<std::uint8_t>> received_frames() const;
  std::vector<std::pair<NET_BUFFER_LIST*, NDIS_STATUS>> send_completions() const;
  // Lists the protocol keeps; while holding, indicated lists stay with it
  // until Ndis::return_receives (or a pause) gives them back.
  void hold_receives(bool hold);
  // The per-list information of each received frame (in the order of
  // received_frames()): the 802.1Q and the checksum slots' values.
  struct ReceiveInfo {
    ULONG_PTR ieee8021q;
    ULONG_PTR checksum;
  };
  std::vector<ReceiveInfo> received_info() const;
  // Frames and bytes received and send completions seen, also while the
  // records are not kept.
  std::uint64_t receive_count() const;
  std::uint64_t receive_bytes() const;
  std::uint64_t send_completion_count() const;
  // Whether the protocol keeps the received frames and the send completions
  // (it does by default); a long run only counts them.
  void keep_records(bool keep);
  // Makes each send completion take this long before the protocol sees it,
  // as a slow or preempted completing thread would (0: at once).
  void delay_send_completions(std::chrono::milliseconds delay);
  // Bounds on what is kept, so that a host that runs long under traffic
  // does not grow without end: past them, frames and completions are only
  // counted (the first frame not kept is said once in the host's log).
  static constexpr std::size_t kKeptFramesMax = 16384;
  static constexpr std::size_t kKeptFrameBytesMax = std::size_t{64} << 20;
  static constexpr std::size_t kKeptCompletionsMax = 65536;

  // ---- The stand-in's own state ----------------------------------------------------------
  std::string name_;
  PciFunction function_;
  std::u16string key_;  // registry key of the adapter's keywords
  MiniportDriver* driver_ = nullptr;
  NDIS_HANDLE context_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  std::vector<std::uint8_t> resources_;  // NDIS_RESOURCE_LIST

  mutable std::mutex mu_;
  std::condition_variable cv_;
  AdapterState state_ = AdapterState::Halted;
  NDIS_STATUS init_status_ = NDIS_STATUS_SUCCESS;
  NDIS_STATUS restart_status_ = NDIS_STATUS_SUCCESS;
  bool reset_pending_ = false;
  bool removal_requested_ = false;
  bool in_initialize_ = false;
  Attributes attributes_;
  std::vector<StatusRecord> statuses_;
  std::vector<ErrorLogEntry> error_log_;
  Holdings holdings_;
  std::uint64_t hang_checks_ = 0;
  std::uint64_t resets_ = 0;
  UINT hang_seconds_ = 2;
  std::vector<std::vector<std::uint8_t>> received_;
  std::vector<std::pair<NET_BUFFER_LIST*, NDIS_STATUS>> send_completions_;
  bool hold_receives_ = false;
  bool keep_records_ = true;
  std::atomic<std::int64_t> send_completion_delay_ms_{0};
  std::vector<ReceiveInfo> received_info_;
  std::size_t kept_bytes_ = 0;  // of received_
  bool said_not_kept_ = false;  // the bound was reached and said
  std::uint64_t receive_count_ = 0;
  std::uint64_t receive_bytes_ = 0;
  std::uint64_t send_completion_count_ = 0;
  std::vector<NET_BUFFER_LIST*> held_;
  std::size_t lent_ = 0;  // indicated lists not yet returned

  // One OID request at a time reaches the miniport.
  std::mutex oid_mu_;
  NDIS_OID_REQUEST* oid_pending_ = nullptr;
  NDIS_STATUS oid_status_ = NDIS_STATUS_SUCCESS;
  bool oid_done_ = false;

  KTIMER hang_timer_{};
  KDPC hang_dpc_{};
  WORK_QUEUE_ITEM removal_item_{};
};

class Ndis {
 public:
  using LogLine = std::function<void(std::string_view)>;
  struct Options {
    // Grant message-based interrupts to miniports that ask for them.
    bool message_interrupts = true;
    // How long the host waits (real time) for a pended restart, pause or
    // reset to complete before it gives up on an adapter at shutdown.
    std::chrono::milliseconds completion_wait{30'000};
  };

  Ndis(Kernel& kernel, IoManager& io, LogLine log, Options options);
  Ndis(Kernel& kernel, IoManager& io, LogLine log) : Ndis(kernel, io, std::move(log), Options{}) {}
  ~Ndis();
  Ndis(const Ndis&) = delete;
  Ndis& operator=(const Ndis&) = delete;

  static Ndis& current();
  static Ndis* try_current();

  // Binds the driver to every PCI function whose driver is its service
  // (the driver object's name), initialises each adapter and restarts those
  // that initialised. Returns the number of adapters bound. A driver that
  // registered no miniport binds nothing.
  std::size_t start_adapters(PDRIVER_OBJECT driver);
  // Pauses (when running) and halts every adapter of the driver, newest
  // first; the driver's unload does it too.
  void stop_adapters(PDRIVER_OBJECT driver);

  std::vector<Adapter*> adapters() const;
  Adapter* find(std::string_view name) const;

  // ---- Single lifecycle steps (PASSIVE_LEVEL) ----------------------------------------------
  // Each refuses a step that NDIS would not take in the adapter's state
  // with NDIS_STATUS_FAILURE and leaves the adapter alone.
  NDIS_STATUS restart(Adapter& adapter);
  NDIS_STATUS pause(Adapter& adapter);
  void halt(Adapter& adapter, NDIS_HALT_ACTION action = NdisHaltDeviceDisabled);
  NDIS_STATUS reset(Adapter& adapter);
  void shutdown(Adapter& adapter, NDIS_SHUTDOWN_ACTION action = NdisShutdownPowerOff);
  void pnp_event(Adapter& adapter, NDIS_DEVICE_PNP_EVENT event);
  // Runs one hang check now, as the timer would (a TRUE answer starts a reset).
  BOOLEAN check_for_hang(Adapter& adapter);
  // Waits (real time) until the adapter is in the state and no reset is pending.
  bool wait_for(Adapter& adapter, AdapterState state, std::chrono::milliseconds limit);

  // ---- The protocol's side ----------------------------------------------------------------
  // A synchronous OID request; a pended one is waited for.
  NDIS_STATUS oid_request(Adapter& adapter, NDIS_OID_REQUEST& request);
  // Sends a chain of lists; refused lists complete at once with the reason.
  void send(Adapter& adapter, NET_BUFFER_LIST* lists);
  // Returns the lists the protocol held.
  void return_receives(Adapter& adapter);

  // ---- For the NDIS routines -----------------------------------------------------------------
  Kernel& kernel() { return kernel_; }
  IoManager& io() { return io_; }
  const Options& options() const { return options_; }
  void log(std::string_view line);
  MiniportDriver* register_miniport(PDRIVER_OBJECT driver, NDIS_HANDLE context,
                                    const NDIS_MINIPORT_DRIVER_CHARACTERISTICS& characteristics);
  void deregister_miniport(MiniportDriver* driver);
  MiniportDriver* miniport_of(PDRIVER_OBJECT driver) const;
  void complete_restart(Adapter& adapter, NDIS_STATUS status);
  void complete_pause(Adapter& adapter);
  void complete_reset(Adapter& adapter, NDIS_STATUS status);
  void complete_oid(Adapter& adapter, NDIS_OID_REQUEST* request, NDIS_STATUS status);
  void request_removal(Adapter& adapter);
  void send_complete(Adapter& adapter, NET_BUFFER_LIST* lists);
  void indicate_receive(Adapter& adapter, NET_BUFFER_LIST* lists, ULONG flags);
  PDEVICE_OBJECT control_device() const { return control_device_; }
  PDRIVER_OBJECT driver_object() const { return ndis_driver_; }
  static NTSTATUS dispatch(PDEVICE_OBJECT device, PIRP irp);

 private:
  NDIS_STATUS initialize(Adapter& adapter);
  NDIS_STATUS query_global_stats(Adapter& adapter, PIRP irp);
  void start_hang_timer(Adapter& adapter);
  void stop_hang_timer(Adapter& adapter);
  static void hang_timer_dpc(KDPC* dpc, PVOID context, PVOID, PVOID);
  static void removal_work(PVOID context);
  void return_lists(Adapter& adapter, NET_BUFFER_LIST* lists);
  void remove_adapter(Adapter& adapter);

  Kernel& kernel_;
  IoManager& io_;
  LogLine log_;
  Options options_;
  PDRIVER_OBJECT ndis_driver_ = nullptr;
  PDEVICE_OBJECT control_device_ = nullptr;
  mutable std::mutex mu_;
  std::vector<std::unique_ptr<MiniportDriver>> drivers_;
  std::vector<std::unique_ptr<Adapter>> adapters_;
};

// A miniport driver known to NDIS.
struct MiniportDriver {
  PDRIVER_OBJECT object = nullptr;
  std::string service;
  NDIS_HANDLE context = nullptr;
  NDIS_MINIPORT_DRIVER_CHARACTERISTICS handlers{};
  PDRIVER_UNLOAD unload = nullptr;  // what the driver object had before NDIS took its unload
};

}  // namespace plat::ndis
