// zekwiretap: Linux's own stack as one more port of a lab's wire.
//
//   zekwiretap --lab LABDIR [--name PORT] [--device DEV] [--address A.B.C.D/P]
//              [--mtu N] [--capture FILE] [--lossless] [--impair SETTINGS]
//   (each option with a value also as --OPTION=VALUE)
//
// Makes the TAP device DEV in the network namespace the program runs in
// (run it with `ip netns exec NS` so that Linux's side stays in NS), gives
// it the address when one is asked for, and bridges it to the lab's wire as
// the port PORT (LABDIR/wire/PORT.sock): tap_port.h says how. Prints one
// line once the port is on the wire, serves until SIGTERM or SIGINT, then
// prints what it carried and exits with 0 (1 when it cannot start, 2 for a
// bad command line). The device goes with the program.
#include <arpa/inet.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <utility>

#include "sim/tap_device.h"
#include "sim/tap_port.h"

namespace {

constexpr const char* kUsage =
    "usage: zekwiretap --lab LABDIR [--name PORT] [--device DEV] [--address A.B.C.D/P]\n"
    "                  [--mtu N] [--capture FILE] [--lossless] [--impair SETTINGS]\n"
    "\n"
    "Makes the TAP device DEV (default zektap0) in this network namespace and\n"
    "joins it to the wire of the lab LABDIR as the port PORT (default: DEV).\n"
    "--address gives the device an IPv4 address, --mtu its MTU (68 to 9000,\n"
    "default 1500: the port carries frames up to MTU + 18 bytes), --capture\n"
    "writes what the port carries to a pcap file, --lossless waits for a peer\n"
    "that does not read instead of dropping, --impair loses, duplicates,\n"
    "reorders or delays Linux's frames on their way to the wire (as host.conf's\n"
    "impair: loss=0.01,duplicate=0.005,reorder=0.02,delay=1ms,jitter=500us,seed=7).\n"
    "Run it with `ip netns exec NS` to keep Linux's side inside the namespace NS.\n"
    "SIGTERM stops it.\n";

struct Options {
  std::string lab, name, capture;
  zeksim::TapDeviceSettings device;
  zeksim::ImpairmentSettings impair;
  bool lossless = false;
};

bool parse_address(const std::string& text, zeksim::TapDeviceSettings* device) {
  const auto slash = text.find('/');
  const std::string address = text.substr(0, slash);
  in_addr in{};
  if (::inet_pton(AF_INET, address.c_str(), &in) != 1) return false;
  device->address = ntohl(in.s_addr);
  if (slash == std::string::npos) return true;
  const std::string prefix = text.substr(slash + 1);
  if (prefix.empty() || prefix.size() > 2 || prefix.find_first_not_of("0123456789") != std::string::npos) return false;
  device->prefix = std::stoi(prefix);
  return device->prefix <= 32;
}

bool parse_mtu(const std::string& text, unsigned* mtu) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *mtu = static_cast<unsigned>(std::stoul(text));
  return true;
}

// "--NAME=VALUE" as NAME and VALUE; any other argument as itself.
std::pair<std::string, std::optional<std::string>> split_option(const std::string& arg) {
  const auto equals = arg.find('=');
  if (!arg.starts_with("--") || equals == std::string::npos) return {arg, std::nullopt};
  return {arg.substr(0, equals), arg.substr(equals + 1)};
}

// False with the exit code when the program should not go on.
bool parse(int argc, char** argv, Options* options, int* exit_code) {
  *exit_code = 2;
  std::string why;  // what is wrong with a value, where its parser says
  // The options that take a value, each with what it sets (false: a bad value).
  const std::pair<const char*, std::function<bool(const std::string&)>> with_value[] = {
      {"--lab", [&](const std::string& v) { return options->lab = v, true; }},
      {"--name", [&](const std::string& v) { return options->name = v, true; }},
      {"--device", [&](const std::string& v) { return options->device.name = v, true; }},
      {"--capture", [&](const std::string& v) { return options->capture = v, true; }},
      {"--address", [&](const std::string& v) { return parse_address(v, &options->device); }},
      {"--mtu", [&](const std::string& v) { return parse_mtu(v, &options->device.mtu); }},
      {"--impair", [&](const std::string& v) { return zeksim::parse_impairment(v, &options->impair, &why); }},
  };
  for (int i = 1; i < argc; ++i) {
    const auto [name, inline_value] = split_option(argv[i]);
    if (name == "--help" || name == "-h") {
      std::fputs(kUsage, stdout);
      *exit_code = 0;
      return false;
    }
    if (name == "--lossless" && !inline_value) {
      options->lossless = true;
      continue;
    }
    const auto option =
        std::find_if(std::begin(with_value), std::end(with_value), [&](const auto& o) { return name == o.first; });
    if (option == std::end(with_value)) {
      std::fprintf(stderr, "zekwiretap: unknown option '%s'\n%s", name.c_str(), kUsage);
      return false;
    }
    if (!inline_value && i + 1 >= argc) {
      std::fprintf(stderr, "zekwiretap: missing value for '%s'\n%s", name.c_str(), kUsage);
      return false;
    }
    const std::string value = inline_value ? *inline_value : argv[++i];
    if (!option->second(value)) {
      std::fprintf(stderr, "zekwiretap: bad value '%s' for %s%s%s\n", value.c_str(), name.c_str(),
                   why.empty() ? "" : ": ", why.c_str());
      return false;
    }
  }
  if (options->lab.empty()) {
    std::fprintf(stderr, "zekwiretap: no lab directory (--lab)\n%s", kUsage);
    return false;
  }
  if (options->name.empty()) options->name = options->device.name;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int exit_code = 0;
  if (!parse(argc, argv, &options, &exit_code)) return exit_code;
  // The signals that stop the program are taken by sigwait below: blocked
  // before any thread starts, so that every thread inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  std::string error;
  const zeksim::TapDevice device = zeksim::open_tap_device(options.device, &error);
  if (device.fd < 0) {
    std::fprintf(stderr, "zekwiretap: %s\n", error.c_str());
    return 1;
  }
  zeksim::TapPort port(device.fd,
                       zeksim::TapPort::Settings{options.lab, options.name, options.capture, options.lossless,
                                                 options.device.mtu, options.impair},
                       [](std::string_view line) {
                         std::fprintf(stderr, "zekwiretap: %.*s\n", static_cast<int>(line.size()), line.data());
                       });
  if (!port.start(&error)) {
    std::fprintf(stderr, "zekwiretap: %s\n", error.c_str());
    return 1;
  }
  const auto& m = device.mac;
  std::printf("zekwiretap: device %s (%02x:%02x:%02x:%02x:%02x:%02x) is port %s of the wire %s\n",
              options.device.name.c_str(), m[0], m[1], m[2], m[3], m[4], m[5], port.wire().socket_path().c_str(),
              options.lab.c_str());
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stop_signals, &signal);
  port.stop();
  zeksim::LabWire& wire = port.wire();
  std::printf(
      "zekwiretap: %llu frames from the device, %llu to it, %llu it refused; %llu oversize, %llu dropped for a "
      "peer that did not read\n",
      static_cast<unsigned long long>(port.frames_from_device()),
      static_cast<unsigned long long>(port.frames_to_device()), static_cast<unsigned long long>(port.frames_refused()),
      static_cast<unsigned long long>(wire.frames_oversize()), static_cast<unsigned long long>(wire.frames_dropped()));
  return 0;
}
