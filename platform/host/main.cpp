// zekhost: one simulated Windows host in one Linux process.
//
//   zekhost --dir DIR [--name NAME] [--native ADDR] [--lab LABDIR]
//   (each option also as --OPTION=VALUE)
//
// Creates or reuses the host directory, loads the drivers its configuration
// names, serves user processes on DIR/kernel.sock and logs to DIR/host.log.
// SIGTERM (or SIGINT) unloads the drivers, newest first, and exits with 0.
// The host itself is platform/host/host.h; this file reads the command line.
#include <sys/prctl.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "platform/host/host.h"

namespace {

constexpr const char* kUsage =
    "usage: zekhost --dir DIR [--name NAME] [--native ADDR] [--lab LABDIR]\n"
    "\n"
    "Runs one simulated host in DIR (created when missing; ZEK_HOST gives the\n"
    "default). --name sets the host's computer name, --native its native IPv4\n"
    "address (a loopback alias such as 127.0.10.1), --lab the lab directory\n"
    "shared with the other hosts; each is kept in DIR/host.conf. Each option\n"
    "may also be written --OPTION=VALUE. The drivers that host.conf names are\n"
    "loaded in order. SIGTERM stops the host.\n";

bool parse(int argc, char** argv, plat::host::HostOptions* options, int* exit_code) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    // "--dir=DIR" as well as "--dir DIR".
    std::optional<std::string> inline_value;
    if (const auto equals = arg.find('='); arg.starts_with("--") && equals != std::string::npos) {
      inline_value = arg.substr(equals + 1);
      arg.erase(equals);
    }
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      *exit_code = 0;
      return false;
    }
    std::string* target = arg == "--dir"      ? &options->dir
                          : arg == "--name"   ? &options->name
                          : arg == "--native" ? &options->native
                          : arg == "--lab"    ? &options->lab
                                              : nullptr;
    if (target == nullptr || (!inline_value && i + 1 >= argc)) {
      std::fprintf(stderr, "zekhost: %s '%s'\n%s", target == nullptr ? "unknown option" : "missing value for",
                   arg.c_str(), kUsage);
      *exit_code = 2;
      return false;
    }
    *target = inline_value ? *inline_value : argv[++i];
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

}  // namespace

int main(int argc, char** argv) {
  plat::host::HostOptions options;
  int exit_code = 0;
  if (!parse(argc, argv, &options, &exit_code)) return exit_code;
  // The host's descriptors (its physical memory among them) are not for its
  // processes to open through /proc, even under the same user.
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  // Each allocation that may be mapped into a process holds a descriptor
  // (its sealed segment): the host takes all the descriptors it may have.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  return plat::host::Host(std::move(options)).run();
}
