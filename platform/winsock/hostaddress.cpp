// The host's native address: the loopback alias that host.conf gives it.
#include <arpa/inet.h>

#include <map>
#include <mutex>
#include <string>

#include "platform/common/hostdir.h"
#include "platform/common/sharedfile.h"
#include "platform/winsock/internal.h"

namespace plat::ws {
namespace {

std::string trim(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && (text[start] == ' ' || text[start] == '\t')) ++start;
  return text.substr(start);
}

// "native = A.B.C.D" of the "[host]" section.
std::optional<std::uint32_t> read_native(const std::string& dir) {
  std::string text;
  if (!read_whole_file(dir + "/host.conf", &text)) return std::nullopt;
  bool in_host = false;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find('\n', start);
    const std::string line = trim(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    start = end == std::string::npos ? text.size() : end + 1;
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      in_host = line == "[host]";
      continue;
    }
    const auto equals = line.find('=');
    if (!in_host || equals == std::string::npos || trim(line.substr(0, equals)) != "native") continue;
    // A '#' after a blank starts a trailing comment, as zekhost reads it.
    std::string value = line.substr(equals + 1);
    for (std::size_t i = 1; i < value.size(); ++i) {
      if (value[i] == '#' && (value[i - 1] == ' ' || value[i - 1] == '\t')) {
        value.erase(i);
        break;
      }
    }
    in_addr a{};
    if (inet_pton(AF_INET, trim(value).c_str(), &a) != 1) return std::nullopt;
    return a.s_addr;
  }
  return std::nullopt;
}

constexpr std::uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network order

}  // namespace

std::optional<std::uint32_t> native_address() {
  static std::mutex mu;
  static std::map<std::string, std::optional<std::uint32_t>> cache;
  const std::string dir = host_directory();
  if (dir.empty()) return std::nullopt;
  std::lock_guard lock(mu);
  auto it = cache.find(dir);
  if (it == cache.end()) it = cache.emplace(dir, read_native(dir)).first;
  return it->second;
}

int local_address_for_bind(Address* address) {
  if (address->family() != kAfInet) return kOk;
  const auto native = native_address();
  if (!native) return kOk;
  const std::uint32_t ip = address->ipv4();
  if (ip == 0 || ip == kLoopback) {
    *address = Address::ipv4(*native, address->port());
    return kOk;
  }
  // Another loopback alias belongs to another host.
  if ((ntohl(ip) >> 24) == 127 && ip != *native) return kEaddrnotavail;
  return kOk;
}

void remote_address_for_connect(Address* address) {
  if (address->family() != kAfInet) return;
  const auto native = native_address();
  if (!native) return;
  const std::uint32_t ip = address->ipv4();
  if (ip == 0 || ip == kLoopback) *address = Address::ipv4(*native, address->port());
}

}  // namespace plat::ws
