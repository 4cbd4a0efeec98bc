// The registry store of a host, one per host directory for the life of the
// process (the host's "registry.txt"; an in-memory store without a host).
#pragma once

#include <string>

#include "platform/common/hostdir.h"
#include "platform/common/regstore.h"

namespace plat::advapi {

RegistryStore& store_for(const std::string& host_dir);
inline RegistryStore& host_registry() { return store_for(host_directory()); }

}  // namespace plat::advapi
