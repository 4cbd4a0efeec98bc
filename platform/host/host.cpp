#include "platform/host/host.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <optional>

#include "platform/advapi/svccore.h"
#include "platform/common/sharedfile.h"
#include "platform/host/adapters.h"
#include "platform/host/server.h"
#include "platform/iphlpapi/adapterlist.h"
#include "platform/kernel/io/iomgr.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/registry.h"
#include "platform/ndis/host.h"
#include "platform/tdi/host.h"

namespace plat::host {
namespace {

bool valid_name(const std::string& name) {
  if (name.empty() || name.size() > 63) return false;
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
  }
  return true;
}

// The log of the host this process runs, for the last words of an
// uncaught exception.
std::atomic<Log*> the_log{nullptr};

[[noreturn]] void terminate_logged() {
  std::string what = "an uncaught exception";
  if (auto current = std::current_exception()) {
    try {
      std::rethrow_exception(current);
    } catch (const std::exception& e) {
      what = std::string("an uncaught exception: ") + e.what();
    } catch (...) {
    }
  }
  std::fprintf(stderr, "zekhost: stopped by %s\n", what.c_str());
  if (Log* log = the_log.load()) log->line("stopped by %s", what.c_str());
  std::abort();
}

bool loopback(const std::string& address) {
  in_addr a{};
  return inet_pton(AF_INET, address.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

}  // namespace

Host::Host(HostOptions options) : options_(std::move(options)) {}

Host::~Host() { stop(); }

bool Host::start(std::string* error) {
  if (!open_directory(error) || !configure(error) || !start_kernel(error)) return false;
  load_drivers();
  write_adapter_list();
  if (!serve(error)) return false;
  ready_ = true;
  log_->line("ready");
  start_services();
  return true;
}

int Host::run() {
  // SIGTERM and SIGINT (and SIGUSR1) are taken by this thread only: they
  // are blocked before any thread of the host starts, and every thread
  // inherits that.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::string error;
  if (!start(&error)) {
    std::fprintf(stderr, "zekhost: %s\n", error.c_str());
    if (log_) log_->line("cannot start: %s", error.c_str());
    return 1;
  }
  std::printf("zekhost: host %s serves %s (processes set ZEK_HOST=%s); its log is %s/host.log\n", name_.c_str(),
              dir_.c_str(), dir_.c_str(), dir_.c_str());
  std::fflush(stdout);
  // SIGUSR1 sent with a value (sigqueue) steps the host's clock forward by
  // that many seconds, for tests of the drivers' long timers.
  int signal_number = 0;
  for (;;) {
    siginfo_t info{};
    signal_number = sigwaitinfo(&stop_signals, &info);
    if (signal_number != SIGUSR1) {
      if (signal_number > 0) break;
      continue;
    }
    const int seconds = info.si_code == SI_QUEUE ? info.si_value.sival_int : 0;
    if (seconds <= 0) {
      log_->line("SIGUSR1 without a number of seconds: the clock stays");
      continue;
    }
    kernel_->clock().step_forward(std::int64_t{seconds} * Clock::kUnitsPerSecond);
    log_->line("clock stepped forward %d s", seconds);
  }
  log_->line("stopping on signal %d", signal_number);
  stop();
  return 0;
}

// One host per directory: the directory is created when missing and locked
// for the host's life.
bool Host::open_directory(std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(options_.dir, ec);
  if (ec) {
    *error = "cannot create the host directory " + options_.dir + ": " + ec.message();
    return false;
  }
  dir_ = std::filesystem::absolute(options_.dir).string();
  // Only a lock another process holds means another host: a lock file that
  // cannot be opened (a directory the host may not write) is said as such.
  const std::string lock_path = dir_ + "/host.lock";
  lock_fd_ = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock_fd_ < 0) {
    *error = "cannot open " + lock_path + ": " + std::strerror(errno);
    return false;
  }
  if (flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
    *error = errno == EWOULDBLOCK ? "another zekhost serves " + dir_
                                  : "cannot lock " + lock_path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

// host.conf, checked, with the command line's settings and the defaults
// filled in. A file the host makes holds everything it chose; a file the
// user wrote gets only the settings the command line changed, each on its
// own line, and keeps every other line as it was.
bool Host::configure(std::string* error) {
  const std::string path = dir_ + "/host.conf";
  std::error_code ec;
  const bool existed = std::filesystem::exists(path, ec);
  if (!config_.load(path, error)) return false;
  auto& host = config_.section("host");
  if (!config_.check_keys(host, {"name", "native", "lab", "memory_mb"}, error)) return false;
  for (const auto* driver : config_.all("driver")) {
    if (!config_.check_keys(*driver, {"path"}, error)) return false;
    if (driver->name.empty()) {
      *error = config_.where(*driver) + "a driver section names its driver: [driver NAME]";
      return false;
    }
    if (driver->get("path").value_or("").empty()) {
      *error = config_.where(*driver, "path") + "[driver " + driver->name + "] needs a path";
      return false;
    }
  }
  for (const auto* adapter : config_.all("adapter")) {
    if (adapter->name.empty()) {
      *error = config_.where(*adapter) + "an adapter section names its adapter: [adapter NAME]";
      return false;
    }
  }
  std::vector<std::pair<std::string, std::string>> given;
  auto take = [&](const char* key, const std::string& value) {
    if (value.empty() || host.get(key) == value) return;
    host.set(key, value);
    given.emplace_back(key, value);
  };
  take("name", options_.name);
  take("native", options_.native);
  if (!options_.lab.empty()) take("lab", std::filesystem::absolute(options_.lab).string());
  if (!host.get("name")) {
    std::string name = std::filesystem::path(dir_).filename().string();
    for (auto& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    host.set("name", valid_name(name) ? name : "ZEKHOST");
  }
  if (!host.get("native")) host.set("native", "127.0.10.1");
  name_ = *host.get("name");
  native_ = *host.get("native");
  if (!valid_name(name_)) {
    *error = config_.where(host, "name") + "invalid host name '" + name_ + "' (1 to 63 letters, digits, '-' or '_')";
    return false;
  }
  if (!loopback(native_)) {
    *error = config_.where(host, "native") + "the native address '" + native_ + "' is not a loopback alias (127.x.y.z)";
    return false;
  }
  if (auto text = host.get("memory_mb")) {
    unsigned long megabytes = 0;
    if (!parse_decimal(*text, 16, 16384, &megabytes)) {
      *error = config_.where(host, "memory_mb") + "memory_mb must be a number of megabytes, 16 to 16384, not '" +
               *text + "'";
      return false;
    }
    memory_mb_ = megabytes;
  }
  const bool written = existed ? given.empty() || Config::update_file(path, "host", given) : config_.save(path);
  if (!written) {
    *error = "cannot write " + path;
    return false;
  }
  return true;
}

// The kernel on the real clock, the registry with the computer name, and
// the simulated adapters on the bus: devices are enumerated before their
// drivers start. Then the I/O manager and NDIS, which binds each miniport to
// the PCI functions that name it once its DriverEntry has registered it.
bool Host::start_kernel(std::string* error) {
  log_ = std::make_unique<Log>(dir_ + "/host.log");
  the_log = log_.get();
  std::set_terminate(terminate_logged);
  log_->line("starting host %s (native %s) in %s, pid %d", name_.c_str(), native_.c_str(), dir_.c_str(),
             static_cast<int>(getpid()));
  auto log_line = [this](std::string_view line) { log_->line("%.*s", static_cast<int>(line.size()), line.data()); };

  KernelOptions kernel_options;
  kernel_options.clock = Clock::Mode::Real;
  kernel_options.memory.bytes = memory_mb_ << 20;
  kernel_options.debug_output = [this](std::string_view text) { log_->raw(text); };
  kernel_ = std::make_unique<Kernel>(kernel_options);

  registry_ = std::make_unique<Registry>(dir_ + "/registry.txt");
  if (!registry_->load(error)) {
    registry_.reset();  // unsaved: the file stays as it is, for its owner to mend
    return false;
  }
  const std::u16string wide_name = to_u16(name_);
  registry_->set_string(u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName",
                        u"ComputerName", wide_name);
  registry_->set_string(u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\ComputerName\\ComputerName",
                        u"ComputerName", wide_name);

  adapters_ = std::make_unique<SimulatedAdapters>(
      kernel_->machine(), log_line,
      SimulatedAdapters::Lab{config_.section("host").get("lab").value_or(""), name_, dir_}, registry_.get());
  for (const auto* section : config_.all("adapter")) {
    if (!adapters_->add(*section, error)) {
      *error = config_.where(*section) + *error;
      return false;
    }
  }

  io_ = std::make_unique<IoManager>(*kernel_);
  ndis_ = std::make_unique<ndis::Ndis>(*kernel_, *io_, log_line);
  tdi_ = std::make_unique<tdi::Tdi>();
  return true;
}

// The drivers host.conf names, in order. One that cannot be loaded is
// logged and skipped; the host runs without it.
void Host::load_drivers() {
  for (const auto* section : config_.all("driver")) {
    const char* name = section->name.c_str();
    auto path = section->get("path");  // configure() made sure there is one
    std::filesystem::path image(*path);
    if (image.is_relative()) image = std::filesystem::path(dir_) / image;
    void* handle = dlopen(image.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const std::string dlerror_text = dlerror();
      log_->line("driver %s: %s", name, dlerror_text.c_str());
      std::fprintf(stderr, "zekhost: driver %s not loaded: %s\n", name, dlerror_text.c_str());
      continue;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(handle, "DriverEntry"));
    if (entry == nullptr) {
      log_->line("driver %s: %s exports no DriverEntry", name, image.c_str());
      std::fprintf(stderr, "zekhost: driver %s not loaded: %s exports no DriverEntry\n", name, image.c_str());
      dlclose(handle);
      continue;
    }
    PDRIVER_OBJECT object = nullptr;
    NTSTATUS status = io_->load_driver(section->name, entry, &object);
    if (!NT_SUCCESS(status)) {
      log_->line("driver %s: DriverEntry failed with 0x%08x", name, static_cast<unsigned>(status));
      std::fprintf(stderr, "zekhost: driver %s not loaded: its DriverEntry failed with 0x%08x\n", name,
                   static_cast<unsigned>(status));
      dlclose(handle);
      continue;
    }
    log_->line("driver %s loaded from %s", name, image.c_str());
    drivers_.push_back(LoadedDriver{section->name, handle, object});
    if (const std::size_t bound = ndis_->start_adapters(object); bound != 0) {
      log_->line("driver %s: %zu adapter(s) bound", name, bound);
      announce_addresses(section->name, true);
    }
  }
}

namespace {

// A string value of the registry, without its terminating zeros.
std::optional<std::u16string> registry_text(Registry& registry, std::u16string_view key, std::u16string_view name) {
  auto value = registry.get(key, name);
  if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
  std::u16string text(value->data.size() / 2, u'\0');
  std::memcpy(text.data(), value->data.data(), text.size() * 2);
  while (!text.empty() && text.back() == u'\0') text.pop_back();
  return text;
}

}  // namespace

void Host::announce_addresses(const std::string& driver, bool up) {
  for (ndis::Adapter* adapter : ndis_->adapters()) {
    if (adapter->function().driver != driver) continue;
    const auto interface = registry_text(*registry_, adapter->function().driver_key, u"NetCfgInstanceId");
    if (!interface || interface->empty()) continue;
    if (!up) {
      tdi_->delete_adapter(*interface);
      continue;
    }
    // A restart that pends (the miniport's bring-up ends with its link timer)
    // is waited for, bounded: the address belongs to a running adapter.
    if (adapter->state() == ndis::AdapterState::Restarting) {
      ndis_->wait_for(*adapter, ndis::AdapterState::Running, std::chrono::seconds(10));
    }
    if (adapter->state() != ndis::AdapterState::Running) continue;
    const auto text = registry_text(*registry_, adapter->function().driver_key, u"IPADDRESS0");
    in_addr address{};
    if (!text || inet_pton(AF_INET, to_utf8(*text).c_str(), &address) != 1 || address.s_addr == 0) continue;
    tdi_->add_address(*interface, address.s_addr);
    log_->line("adapter %s: address %s announced", adapter->name().c_str(), to_utf8(*text).c_str());
  }
}

// The adapters that came up, in the order NDIS bound them, for IP Helper:
// each with the MAC address its miniport reported and its NetCfgInstanceId;
// the first holds the host's native address.
void Host::write_adapter_list() {
  std::vector<iphlp::Adapter> list;
  for (ndis::Adapter* adapter : ndis_->adapters()) {
    const auto state = adapter->state();
    if (state != ndis::AdapterState::Running && state != ndis::AdapterState::Paused) continue;
    const auto general = adapter->attributes().general;
    if (!general || general->MacAddressLength == 0) continue;
    iphlp::Adapter entry;
    entry.index = static_cast<std::uint32_t>(list.size() + 1);
    if (auto id = registry_text(*registry_, adapter->function().driver_key, u"NetCfgInstanceId")) {
      entry.name = to_utf8(*id);
    }
    entry.description = adapter->function().driver + " adapter " + adapter->name();
    const std::size_t length = std::min<std::size_t>(general->MacAddressLength, 8);
    entry.mac.assign(general->CurrentMacAddress, general->CurrentMacAddress + length);
    if (list.empty()) entry.native = iphlp::Address{native_, "255.0.0.0"};
    list.push_back(std::move(entry));
  }
  const std::string path = dir_ + "/adapters.txt";
  SharedFile file(path);
  if (!file.update([&](std::string& text) {
        text = iphlp::format_adapter_list(list);
        return true;
      })) {
    log_->line("cannot write %s", path.c_str());
    return;
  }
  listed_adapters_ = true;
  if (!list.empty()) log_->line("%zu adapter(s) listed in adapters.txt", list.size());
}

bool Host::serve(std::string* error) {
  server_ = std::make_unique<Server>(*io_, *log_);
  if (!server_->listen(dir_ + "/" + proto::kSocketName)) {
    *error = std::string("cannot listen on the kernel socket: ") + std::strerror(errno);
    return false;
  }
  return true;
}

// The auto-start services, on a thread of their own: the host serves while
// they come up, and waits for none of them.
void Host::start_services() {
  stop_starting_ = false;
  service_starter_ = std::thread([this] {
    scm::Database database(*registry_, dir_);
    scm::start_automatic(
        database, [this](const std::string& line) { log_->line("%s", line.c_str()); }, &stop_starting_);
  });
}

// Every running service of the host stops (or is killed) before the host
// stops serving: a service may still need its devices while it stops.
void Host::stop_services() {
  if (service_starter_.joinable()) {
    stop_starting_ = true;
    service_starter_.join();
  }
  if (!registry_ || !ready_) return;
  scm::Database database(*registry_, dir_);
  scm::stop_all(database, [this](const std::string& line) { log_->line("%s", line.c_str()); });
}

void Host::stop() {
  stop_services();
  if (server_) server_->stop();
  for (auto it = drivers_.rbegin(); it != drivers_.rend(); ++it) {
    announce_addresses(it->name, false);  // withdrawn before the adapters halt
    ndis_->stop_adapters(it->object);
    io_->unload_driver(it->object);
    log_->line("driver %s unloaded", it->name.c_str());
  }
  server_.reset();
  ndis_.reset();
  tdi_.reset();
  io_.reset();
  adapters_.reset();
  // The images go after the I/O manager, which may still call into them.
  for (auto it = drivers_.rbegin(); it != drivers_.rend(); ++it) dlclose(it->image);
  drivers_.clear();
  if (listed_adapters_) ::unlink((dir_ + "/adapters.txt").c_str());
  listed_adapters_ = false;
  if (registry_) registry_->save();
  registry_.reset();
  // What the drivers and the host left in the pool: nothing, when all is well.
  if (kernel_ && log_) {
    if (const std::string leaks = kernel_->pool().leak_report(); !leaks.empty()) {
      log_->line("pool blocks still allocated at shutdown:");
      log_->raw(leaks);
      std::fprintf(stderr, "zekhost: pool blocks still allocated at shutdown:\n%s", leaks.c_str());
    }
  }
  kernel_.reset();
  if (log_ && ready_) log_->line("stopped");
  ready_ = false;
  the_log = nullptr;
  log_.reset();
  if (lock_fd_ >= 0) {
    ::close(lock_fd_);
    lock_fd_ = -1;
  }
}

}  // namespace plat::host
