// Where a process finds its host: the directory that ZEK_HOST names holds
// the host's shared files (docs/host.md).
#pragma once

#include <cstdlib>
#include <string>

namespace plat {

// The host directory of this process; empty when it belongs to no host.
inline std::string host_directory() {
  const char* dir = std::getenv("ZEK_HOST");
  return dir != nullptr ? std::string(dir) : std::string();
}

// A file of the host directory; empty when there is no host.
inline std::string host_file(const char* name) {
  std::string dir = host_directory();
  return dir.empty() ? dir : dir + "/" + name;
}

}  // namespace plat
