#include "sim/tap_device.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace zeksim {

namespace {

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

ifreq request_for(const std::string& name) {
  ifreq req{};
  std::strncpy(req.ifr_name, name.c_str(), IFNAMSIZ - 1);
  return req;
}

void set_inet(sockaddr* field, std::uint32_t address) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(address);
  std::memcpy(field, &sin, sizeof sin);
}

}  // namespace

TapDevice open_tap_device(const TapDeviceSettings& settings, std::string* error) {
  TapDevice device;
  if (settings.name.empty() || settings.name.size() >= IFNAMSIZ) {
    *error = "the device name '" + settings.name + "' must have 1 to " + std::to_string(IFNAMSIZ - 1) + " characters";
    return device;
  }
  if (settings.mtu < kTapMinMtu || settings.mtu > kTapMaxMtu) {
    *error = "the MTU " + std::to_string(settings.mtu) + " is outside " + std::to_string(kTapMinMtu) + " to " +
             std::to_string(kTapMaxMtu);
    return device;
  }
  if (settings.prefix < 0 || settings.prefix > 32) {
    *error = "the prefix /" + std::to_string(settings.prefix) + " is outside 0 to 32";
    return device;
  }
  const int fd = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = failure("cannot open /dev/net/tun");
    return device;
  }
  ifreq req = request_for(settings.name);
  req.ifr_flags = IFF_TAP | IFF_NO_PI;
  if (::ioctl(fd, TUNSETIFF, &req) != 0) {
    *error = failure("cannot create the TAP device " + settings.name);
    ::close(fd);
    return device;
  }
  // Best effort: a kernel without IPv6 has no such file.
  if (!settings.ipv6) std::ofstream("/proc/sys/net/ipv6/conf/" + settings.name + "/disable_ipv6") << "1\n";

  const int control = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (control < 0) {
    *error = failure("socket");
    ::close(fd);
    return device;
  }
  std::string why;
  auto ask = [&](unsigned long code, ifreq& r, const char* what) {
    if (why.empty() && ::ioctl(control, code, &r) != 0) why = failure(what);
  };
  req = request_for(settings.name);
  req.ifr_mtu = static_cast<int>(settings.mtu);
  ask(SIOCSIFMTU, req, "cannot set the TAP device's MTU");
  if (settings.address != 0) {
    req = request_for(settings.name);
    set_inet(&req.ifr_addr, settings.address);
    ask(SIOCSIFADDR, req, "cannot give the TAP device its address");
    req = request_for(settings.name);
    set_inet(&req.ifr_netmask, settings.prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - settings.prefix));
    ask(SIOCSIFNETMASK, req, "cannot set the TAP device's mask");
  }
  req = request_for(settings.name);
  ask(SIOCGIFFLAGS, req, "cannot read the TAP device's flags");
  req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
  ask(SIOCSIFFLAGS, req, "cannot bring the TAP device up");
  req = request_for(settings.name);
  ask(SIOCGIFHWADDR, req, "cannot read the TAP device's MAC");
  ::close(control);
  if (!why.empty()) {
    *error = why;
    ::close(fd);
    return device;
  }
  std::memcpy(device.mac.data(), req.ifr_hwaddr.sa_data, 6);
  device.fd = fd;
  return device;
}

}  // namespace zeksim
