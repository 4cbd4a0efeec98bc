// The native address of the host a test provider runs in: "native" under
// [host] in the host directory's host.conf (network order; 0 without a host).
// For providers, which are loaded into WinSock programs (inet_addr is WinSock's).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

inline std::uint32_t host_native_address() {
  const char* dir = std::getenv("ZEK_HOST");
  if (dir == nullptr) return 0;
  std::ifstream in(std::string(dir) + "/host.conf");
  std::string line;
  bool host = false;
  while (std::getline(in, line)) {
    if (line.starts_with("[")) host = line.starts_with("[host]");
    if (host && line.starts_with("native")) {
      std::string value = line.substr(line.find('=') + 1);
      value.erase(0, value.find_first_not_of(' '));
      return static_cast<std::uint32_t>(inet_addr(value.c_str()));
    }
  }
  return 0;
}
