// The service control manager's core, shared by advapi's service routines
// (in every process) and by zekhost (which starts the auto-start services
// and stops every running service before it exits). It needs nothing of
// the Win32 runtime.
//
// A service is the key "\Registry\Machine\System\CurrentControlSet\Services\NAME"
// of the host's registry with the values Type, Start, ErrorControl,
// ImagePath, DisplayName and ObjectName. Its run-time state is in the host
// directory:
//   services/NAME.status   pid, start time and the status the service last set
//   services/NAME.log      the service program's output
//   services/NAME.lock     held while the service is being started
// and a service program listens for controls on an abstract Unix socket
// whose name is made from the host directory and the service name.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/regstore.h"

namespace plat::scm {

inline constexpr std::u16string_view kServicesKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";

// The fields of a service's status, as SERVICE_STATUS lays them out.
struct Status {
  std::uint32_t type = 0;
  std::uint32_t state = 0;  // SERVICE_STOPPED (1) ... SERVICE_PAUSED (7)
  std::uint32_t accepted = 0;
  std::uint32_t win32_exit = 0;
  std::uint32_t specific_exit = 0;
  std::uint32_t checkpoint = 0;
  std::uint32_t wait_hint = 0;
};

inline constexpr std::uint32_t kStopped = 1;
inline constexpr std::uint32_t kStartPending = 2;
inline constexpr std::uint32_t kStopPending = 3;
inline constexpr std::uint32_t kRunning = 4;
inline constexpr std::uint32_t kAcceptStop = 1;
inline constexpr std::uint32_t kControlStop = 1;
inline constexpr std::uint32_t kAutoStart = 2;
inline constexpr std::uint32_t kDisabled = 4;

struct Config {
  std::u16string name;  // as created
  std::u16string display_name;
  std::u16string image_path;
  std::u16string object_name;
  std::uint32_t type = 0;
  std::uint32_t start = 0;
  std::uint32_t error_control = 0;
  bool delete_pending = false;
};

// The services of a host: keys of its registry.
class Database {
 public:
  Database(RegistryStore& registry, std::string host_dir) : registry_(registry), host_dir_(std::move(host_dir)) {}

  std::optional<Config> find(std::u16string_view name);
  std::vector<Config> all();
  // A Win32 error: ERROR_SERVICE_EXISTS, ERROR_DUPLICATE_SERVICE_NAME,
  // ERROR_SERVICE_MARKED_FOR_DELETE.
  std::uint32_t create(const Config& config);
  // Deletes the service, or marks it when it still runs (it goes when it stops).
  std::uint32_t remove(std::u16string_view name);
  // Removes the services marked for deletion that no longer run.
  void sweep();

  const std::string& host_dir() const { return host_dir_; }

 private:
  RegistryStore& registry_;
  std::string host_dir_;
};

// A name Windows accepts for a service (1 to 256 characters, no slashes).
bool valid_name(std::u16string_view name);

// The status of a service as its program last set it; a service whose
// process is gone is stopped (with ERROR_PROCESS_ABORTED when it ended
// without saying so). `pid` receives the live process, or 0.
Status current_status(const std::string& host_dir, std::u16string_view name, pid_t* pid = nullptr);

// The service program's side: where it records its status.
bool write_status(const std::string& host_dir, std::u16string_view name, const Status& status);
// The name of the service's control socket (abstract namespace, leading NUL).
std::string control_socket_name(const std::string& host_dir, std::u16string_view name);

// Starts the service's program as a process of the host and waits (at most
// `patience`) until it has called its dispatcher. A Win32 error:
// ERROR_SERVICE_ALREADY_RUNNING, ERROR_SERVICE_DISABLED,
// ERROR_FILE_NOT_FOUND (no such program), ERROR_SERVICE_REQUEST_TIMEOUT.
// When *cancel turns true during the wait, a program that has not yet
// called its dispatcher is killed and the start fails with
// ERROR_SERVICE_REQUEST_TIMEOUT.
std::uint32_t start(const std::string& host_dir, const Config& config, const std::vector<std::string>& args,
                    std::chrono::milliseconds patience = std::chrono::seconds(30),
                    const std::atomic<bool>* cancel = nullptr);

// Sends a control to the running service and waits (at most `patience`)
// for its handler to return. A Win32 error: ERROR_SERVICE_NOT_ACTIVE,
// ERROR_INVALID_SERVICE_CONTROL, ERROR_SERVICE_CANNOT_ACCEPT_CTRL,
// ERROR_SERVICE_REQUEST_TIMEOUT.
std::uint32_t control(const std::string& host_dir, std::u16string_view name, std::uint32_t code,
                      std::chrono::milliseconds patience = std::chrono::seconds(30));

// The host's part. Starts every auto-start service, one after the other,
// until *cancel turns true; stops every running service, all at once (the
// stop control, then SIGTERM, then SIGKILL, so that the whole takes at
// most `patience` and two seconds more).
using Log = std::function<void(const std::string&)>;
void start_automatic(Database& database, const Log& log, const std::atomic<bool>* cancel = nullptr);
void stop_all(Database& database, const Log& log, std::chrono::milliseconds patience = std::chrono::seconds(10));

}  // namespace plat::scm
