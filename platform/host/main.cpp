// zekhost: one simulated Windows host in one Linux process.
//
//   zekhost --dir DIR [--name NAME] [--native ADDR] [--lab LABDIR]
//
// Creates or reuses the host directory, loads the drivers its configuration
// names, serves user processes on DIR/kernel.sock and logs to DIR/host.log.
// SIGTERM (or SIGINT) unloads the drivers, newest first, and exits with 0.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/adapters.h"
#include "platform/host/config.h"
#include "platform/host/server.h"
#include "platform/kernel/driver.h"
#include "platform/kernel/io/iomgr.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/registry.h"
#include "platform/ndis/host.h"

namespace {

using plat::host::Config;
using plat::host::Log;

constexpr const char* kUsage =
    "usage: zekhost --dir DIR [--name NAME] [--native ADDR] [--lab LABDIR]\n"
    "\n"
    "Runs one simulated host in DIR (created when missing; ZEK_HOST gives the\n"
    "default). --name sets the host's computer name, --native its native IPv4\n"
    "address (a loopback alias such as 127.0.10.1), --lab the lab directory\n"
    "shared with the other hosts; each is kept in DIR/host.conf. The drivers\n"
    "that host.conf names are loaded in order. SIGTERM stops the host.\n";

struct Options {
  std::string dir, name, native, lab;
};

bool parse(int argc, char** argv, Options* options, int* exit_code) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      *exit_code = 0;
      return false;
    }
    std::string* target = arg == "--dir" ? &options->dir
                          : arg == "--name" ? &options->name
                          : arg == "--native" ? &options->native
                          : arg == "--lab" ? &options->lab
                                           : nullptr;
    if (target == nullptr || i + 1 >= argc) {
      std::fprintf(stderr, "zekhost: %s '%s'\n%s", target == nullptr ? "unknown option" : "missing value for",
                   arg.c_str(), kUsage);
      *exit_code = 2;
      return false;
    }
    *target = argv[++i];
  }
  if (options->dir.empty()) {
    if (const char* env = std::getenv("ZEK_HOST")) options->dir = env;
  }
  if (options->dir.empty()) {
    std::fprintf(stderr, "zekhost: no host directory (--dir or ZEK_HOST)\n%s", kUsage);
    *exit_code = 2;
    return false;
  }
  return true;
}

bool valid_name(const std::string& name) {
  if (name.empty() || name.size() > 63) return false;
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
  }
  return true;
}

bool loopback(const std::string& address) {
  in_addr a{};
  return inet_pton(AF_INET, address.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

int fail(const char* format, const std::string& detail) {
  std::fprintf(stderr, "zekhost: ");
  std::fprintf(stderr, format, detail.c_str());
  std::fprintf(stderr, "\n");
  return 1;
}

struct LoadedDriver {
  std::string name;
  void* image = nullptr;
  PDRIVER_OBJECT object = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int exit_code = 0;
  if (!parse(argc, argv, &options, &exit_code)) return exit_code;

  std::error_code ec;
  std::filesystem::create_directories(options.dir, ec);
  if (ec) return fail("cannot create the host directory: %s", ec.message());
  const std::string dir = std::filesystem::absolute(options.dir).string();

  // One host per directory.
  int lock_fd = ::open((dir + "/host.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock_fd < 0 || flock(lock_fd, LOCK_EX | LOCK_NB) != 0) return fail("another zekhost serves %s", dir);

  Config config;
  std::string error;
  const std::string config_path = dir + "/host.conf";
  if (!config.load(config_path, &error)) return fail("%s", error);
  auto& host = config.section("host");
  if (!options.name.empty()) host.set("name", options.name);
  if (!options.native.empty()) host.set("native", options.native);
  if (!options.lab.empty()) host.set("lab", std::filesystem::absolute(options.lab).string());
  if (!host.get("name")) {
    std::string name = std::filesystem::path(dir).filename().string();
    for (auto& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    host.set("name", valid_name(name) ? name : "ZEKHOST");
  }
  if (!host.get("native")) host.set("native", "127.0.10.1");
  const std::string name = *host.get("name");
  const std::string native = *host.get("native");
  if (!valid_name(name)) return fail("invalid host name '%s' (1 to 63 letters, digits, '-' or '_')", name);
  if (!loopback(native)) return fail("the native address '%s' is not a loopback alias (127.x.y.z)", native);
  std::size_t memory_mb = 256;
  if (auto text = host.get("memory_mb")) memory_mb = std::strtoul(text->c_str(), nullptr, 10);
  if (memory_mb < 16 || memory_mb > 16384) return fail("memory_mb must be 16 to 16384, not %s", *host.get("memory_mb"));
  if (!config.save(config_path)) return fail("cannot write %s", config_path);

  // SIGTERM and SIGINT are taken by the main thread only.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Log log(dir + "/host.log");
  log.line("starting host %s (native %s) in %s, pid %d", name.c_str(), native.c_str(), dir.c_str(),
           static_cast<int>(getpid()));
  plat::KernelOptions kernel_options;
  kernel_options.clock = plat::Clock::Mode::Real;
  kernel_options.memory.bytes = memory_mb << 20;
  kernel_options.debug_output = [&log](std::string_view text) { log.raw(text); };
  auto kernel = std::make_unique<plat::Kernel>(kernel_options);

  auto registry = std::make_unique<plat::Registry>(dir + "/registry.txt");
  if (!registry->load(&error)) return fail("%s", error);
  const std::u16string wide_name = plat::to_u16(name);
  registry->set_string(u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName",
                       u"ComputerName", wide_name);
  registry->set_string(u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\ComputerName\\ComputerName",
                       u"ComputerName", wide_name);

  // The simulated adapters are on the bus before the drivers load, as
  // devices are enumerated before their drivers start.
  auto adapters = std::make_unique<plat::host::SimulatedAdapters>(
      kernel->machine(), [&log](std::string_view line) { log.line("%.*s", static_cast<int>(line.size()), line.data()); },
      plat::host::SimulatedAdapters::Lab{host.get("lab").value_or(""), name, dir}, registry.get());
  for (const auto* section : config.all("adapter")) {
    if (!adapters->add(*section, &error)) return fail("%s", error);
  }

  auto io = std::make_unique<plat::IoManager>(*kernel);
  // NDIS binds each miniport to the PCI functions that name it, once the
  // miniport's DriverEntry has registered it.
  auto ndis = std::make_unique<plat::ndis::Ndis>(
      *kernel, *io, [&log](std::string_view line) { log.line("%.*s", static_cast<int>(line.size()), line.data()); });
  std::vector<LoadedDriver> drivers;
  for (const auto* section : config.all("driver")) {
    auto path = section->get("path");
    if (!path) {
      log.line("driver %s: no path; not loaded", section->name.c_str());
      continue;
    }
    std::filesystem::path image(*path);
    if (image.is_relative()) image = std::filesystem::path(dir) / image;
    void* handle = dlopen(image.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      log.line("driver %s: %s", section->name.c_str(), dlerror());
      std::fprintf(stderr, "zekhost: driver %s not loaded (see host.log)\n", section->name.c_str());
      continue;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(handle, "DriverEntry"));
    if (entry == nullptr) {
      log.line("driver %s: %s exports no DriverEntry", section->name.c_str(), image.c_str());
      dlclose(handle);
      continue;
    }
    PDRIVER_OBJECT object = nullptr;
    NTSTATUS status = io->load_driver(section->name, entry, &object);
    if (!NT_SUCCESS(status)) {
      log.line("driver %s: DriverEntry failed with 0x%08x", section->name.c_str(), static_cast<unsigned>(status));
      dlclose(handle);
      continue;
    }
    log.line("driver %s loaded from %s", section->name.c_str(), image.c_str());
    drivers.push_back(LoadedDriver{section->name, handle, object});
    if (const std::size_t bound = ndis->start_adapters(object); bound != 0) {
      log.line("driver %s: %zu adapter(s) bound", section->name.c_str(), bound);
    }
  }

  plat::host::Server server(*io, log);
  if (!server.listen(dir + "/" + plat::proto::kSocketName)) {
    return fail("cannot listen on the kernel socket: %s", std::strerror(errno));
  }
  log.line("ready");

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  log.line("stopping on signal %d", signal_number);
  server.stop();
  for (auto it = drivers.rbegin(); it != drivers.rend(); ++it) {
    ndis->stop_adapters(it->object);
    io->unload_driver(it->object);
    log.line("driver %s unloaded", it->name.c_str());
  }
  ndis.reset();
  io.reset();
  adapters.reset();
  for (auto it = drivers.rbegin(); it != drivers.rend(); ++it) dlclose(it->image);
  registry->save();
  registry.reset();
  kernel.reset();
  log.line("stopped");
  return 0;
}
