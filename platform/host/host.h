// One simulated host: everything a zekhost process owns, started in the order
// a machine comes up and stopped in reverse.
//
//   host.h      this object: directory, configuration, kernel, registry,
//               adapters, I/O manager, NDIS, drivers and the kernel socket
//   config.h    host.conf, the host's configuration file
//   adapters.h  the simulated adapters, plugged into the machine's bus
//   server.h    the kernel socket that user processes connect to, and the log
//
// The host directory holds host.conf, host.lock (one host per directory),
// host.log, registry.txt and kernel.sock, adapters.txt (the adapters that
// came up, for IP Helper) and services/ (the services' state), and what the
// host's processes share: objects.shm, catalog.txt, eventlog.txt
// (docs/host.md).
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/config.h"
#include "platform/kernel/driver.h"

namespace plat {
class IoManager;
class Kernel;
class Registry;
namespace ndis {
class Ndis;
}
namespace tdi {
class Tdi;
}
}  // namespace plat

namespace plat::host {

class Log;
class Server;
class SimulatedAdapters;

// What the command line gives. Empty name, native and lab keep what
// host.conf says (or the defaults); given ones are written to it.
struct HostOptions {
  std::string dir;  // the host directory, created when missing
  std::string name;
  std::string native;
  std::string lab;
};

class Host {
 public:
  explicit Host(HostOptions options);
  // Stops whatever start() brought up.
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Brings the host up: the directory and its lock, host.conf, the kernel
  // and registry, the adapters on the bus, the I/O manager and NDIS, the
  // drivers host.conf names (in order; one that does not load is logged and
  // skipped), the adapter list and the kernel socket; then the auto-start
  // services start, one after the other, on a thread of their own. False
  // with a message when the host cannot run; what was started is stopped
  // again by the destructor.
  bool start(std::string* error);
  // Stops the services, stops serving processes, unloads the drivers newest
  // first, takes the adapters off the bus, saves the registry and stops the
  // kernel.
  void stop();

  // The zekhost program: start, serve until SIGTERM or SIGINT, stop. The
  // process's exit code: 0 after a clean stop, 1 when the host cannot start.
  int run();

 private:
  struct LoadedDriver {
    std::string name;
    void* image = nullptr;
    PDRIVER_OBJECT object = nullptr;
  };

  bool open_directory(std::string* error);
  bool configure(std::string* error);
  bool start_kernel(std::string* error);
  void load_drivers();
  void write_adapter_list();
  // The SAN address of each running adapter of `driver` (its IPADDRESS0
  // keyword) announced to the host's TDI clients, or every address of its
  // adapters withdrawn (before the adapters halt).
  void announce_addresses(const std::string& driver, bool up);
  bool serve(std::string* error);
  void start_services();
  void stop_services();

  HostOptions options_;
  std::string dir_;  // absolute
  int lock_fd_ = -1;
  Config config_;
  std::string name_;
  std::string native_;
  std::size_t memory_mb_ = 256;
  bool ready_ = false;
  bool listed_adapters_ = false;

  std::unique_ptr<Log> log_;
  std::unique_ptr<Kernel> kernel_;
  std::unique_ptr<Registry> registry_;
  std::unique_ptr<SimulatedAdapters> adapters_;
  std::unique_ptr<IoManager> io_;
  std::unique_ptr<ndis::Ndis> ndis_;
  std::unique_ptr<tdi::Tdi> tdi_;
  std::vector<LoadedDriver> drivers_;
  std::unique_ptr<Server> server_;
  std::thread service_starter_;
  std::atomic<bool> stop_starting_{false};
};

}  // namespace plat::host
